// Message assembly over the message record: header lines, the dot-stuffed
// body, the multipart form with its attachment parts, and the record itself.
// No connection is needed for any of this.

#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>

#include "codec/NMUUE.h"
#include "smtp/PostMessage.h"
#include "tests/smtp/SmtpTest.h"
#include "tests/support/SmtpSink.h"

using namespace smtptest;
using testsupport::TempFolder;

namespace {

struct HeaderCase {
    const char* what;
    std::function<void(TPostMessage&)> fill;
    Lines expected;
};

}  // namespace

TEST(SmtpAssembleMail, HeaderLines)
{
    const HeaderCase cases[] = {
        {"every field",
         [](TPostMessage& m) {
             FillAddresses(m);
             m.Subject = "=?iso-2022-jp?B?GyRCJDMkcxsoQg==?=";
             m.LocalProgram = "Veltrow";
             m.ReplyTo = "reply@example.test";
             m.Date = "Mon, 1 Jan 2024 09:00:00 +0900";
         },
         {"From: Taro <taro@example.test>", "To: a@example.test, Hanako <hanako@example.test>",
          "CC: c@example.test", "Subject: =?iso-2022-jp?B?GyRCJDMkcxsoQg==?=", "X-Mailer: Veltrow",
          "Reply-To: reply@example.test", "Date: Mon, 1 Jan 2024 09:00:00 +0900", "Mime-Version: 1.0",
          "Content-Type: text/plain; charset=us-ascii"}},
        {"no name, no subject, no program",
         [](TPostMessage& m) { Address(m); },
         {"From: <taro@example.test>", "To: a@example.test", "Mime-Version: 1.0",
          "Content-Type: text/plain; charset=us-ascii"}},
        {"a Message-ID, a name with specials",
         [](TPostMessage& m) {
             Address(m);
             m.FromName = "Yamada, Taro";
             m.Date = "Mon, 1 Jan 2024 09:00:00 +0900";
             m.MessageID = "<1.2@example.test>";
         },
         {"From: \"Yamada, Taro\" <taro@example.test>", "To: a@example.test", "Date: Mon, 1 Jan 2024 09:00:00 +0900",
          "Message-ID: <1.2@example.test>", "Mime-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"}},
        {"copy recipients only, no sender",
         [](TPostMessage& m) {
             m.ToCarbonCopy->Add("c1@example.test");
             m.ToCarbonCopy->Add("c2@example.test");
         },
         {"From: <>", "CC: c1@example.test, c2@example.test", "Mime-Version: 1.0",
          "Content-Type: text/plain; charset=us-ascii"}},
    };
    for (const auto& c : cases) {
        TestSmtp smtp;
        c.fill(*smtp.PostMessage);
        smtp.AssembleMail();
        EXPECT_EQ(LinesOf(*smtp.FinalHeader), c.expected) << c.what;
    }
}

// Lines holding encoded words fold before a blank where they would pass 76
// characters; words come sized by the encoders (the first 67 at most).
TEST(SmtpAssembleMail, LinesWithEncodedWordsFoldAt76)
{
    const auto w = [](size_t n) { return "=?UTF-8?B?" + std::string(n - 12, 'A') + "?="; };
    const std::string addr = "<hanako.yamada@example.test>";
    const std::string longAddr = "<" + std::string(80, 'l') + "@example.test>";
    struct Case {
        const char* what;
        std::string subject, fromName, to;
        std::string subjectLine, fromLine, toLine;
    } cases[] = {
        {"exactly 76", w(67), w(59) + " ", w(72), "Subject: " + w(67), "From: " + w(59) + " <a@x.test>",
         "To: " + w(72)},
        {"the address moves", "s", w(67) + " ", w(67) + " " + addr, "Subject: s",
         "From: " + w(67) + "\r\n <a@x.test>", "To: " + w(67) + "\r\n " + addr},
        {"folds kept, the last line folds", w(67) + "\r\n " + w(75) + " " + w(20), w(20) + "\r\n " + w(75) + " ",
         w(20) + " " + w(30) + " " + w(30) + " " + longAddr, "Subject: " + w(67) + "\r\n " + w(75) + "\r\n " + w(20),
         "From: " + w(20) + "\r\n " + w(75) + "\r\n <a@x.test>",
         "To: " + w(20) + " " + w(30) + "\r\n " + w(30) + "\r\n " + longAddr},
        {"no encoded word: folded at 78 all the same", std::string(80, 's'), "Taro ", "Taro Yamada " + longAddr,
         "Subject: " + std::string(80, 's'), "From: Taro <a@x.test>", "To: Taro Yamada\r\n " + longAddr},
        {"plain text folds at 78, never after the field name alone",
         std::string(60, 's') + " " + std::string(8, 't') + " u", "", "a@x.test",
         "Subject: " + std::string(60, 's') + " " + std::string(8, 't') + "\r\n u", "From: <a@x.test>", "To: a@x.test"},
        {"trailing blanks stay on their line", w(60) + "     ", "", "a@x.test", "Subject: " + w(60) + "     ",
         "From: <a@x.test>", "To: a@x.test"},
    };
    for (const Case& c : cases) {
        TestSmtp smtp;
        TPostMessage& m = *smtp.PostMessage;
        m.Subject = c.subject;
        m.FromName = c.fromName;
        m.FromAddress = "a@x.test";
        m.ToAddress->Add(c.to);
        smtp.AssembleMail();
        EXPECT_EQ(smtp.FinalHeader->Get(0), c.fromLine) << c.what;
        EXPECT_EQ(smtp.FinalHeader->Get(1), c.toLine) << c.what;
        EXPECT_EQ(smtp.FinalHeader->Get(2), c.subjectLine) << c.what;
    }
}

TEST(SmtpAssembleMail, NamesStandApartFromTheirAddressesAndNoLinePasses998)
{
    const struct {
        std::string fromName, to, replyTo;
        std::vector<std::string> lines;  // From, To and Reply-To as written
    } cases[] = {
        {"Veltrow Sales", "Hanako<h@x.test>", "Sales<s@x.test>",
         {"From: Veltrow Sales <a@x.test>", "To: Hanako <h@x.test>", "Reply-To: Sales <s@x.test>"}},
        {"Yamada, Taro", "\"Yamada, Taro\"<t@x.test>", "s@x.test",
         {"From: \"Yamada, Taro\" <a@x.test>", "To: \"Yamada, Taro\" <t@x.test>", "Reply-To: s@x.test"}},
        {"", "\"a<b\" <c@x.test>", "<s@x.test>", {"From: <a@x.test>", "To: \"a<b\" <c@x.test>", "Reply-To: <s@x.test>"}},
    };
    for (const auto& c : cases) {
        TestSmtp smtp;
        TPostMessage& m = *smtp.PostMessage;
        m.FromName = c.fromName;
        m.FromAddress = "a@x.test";
        m.ToAddress->Add(c.to);
        m.ReplyTo = c.replyTo;
        smtp.AssembleMail();
        const std::vector<std::string> lines = LinesOf(*smtp.FinalHeader);
        for (const std::string& line : c.lines)
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    }
    // A token no blank can break: 998 octets with the field name still go.
    for (const size_t length : {989u, 990u}) {
        TestSmtp smtp;
        smtp.PostMessage->FromAddress = "a@x.test";
        smtp.PostMessage->Subject = std::string(length, 's');
        if (length == 989u)
            EXPECT_NO_THROW(smtp.AssembleMail());
        else
            EXPECT_THROW(smtp.AssembleMail(), Exception);
    }
}

TEST(SmtpAssembleMail, ContentTypeFollowsSubTypeAndCharset)
{
    const std::pair<TSubType, const char*> cases[] = {
        {mtPlain, "text/plain"},
        {mtEnriched, "text/enriched"},
        {mtSgml, "text/sgml"},
        {mtTabSeperated, "text/tab-separated-values"},
        {mtHtml, "text/html"},
    };
    for (const auto& [subType, type] : cases) {
        TestSmtp smtp;
        smtp.SubType = subType;
        smtp.Charset = "iso-2022-jp";
        smtp.AssembleMail();
        EXPECT_EQ(smtp.FinalHeader->Get(smtp.FinalHeader->Count() - 1),
                  std::string("Content-Type: ") + type + "; charset=iso-2022-jp");
    }
}

TEST(SmtpAssembleMail, LinesThePreviousHeaderHeldAreDiscarded)
{
    TestSmtp smtp;
    smtp.Charset = "iso-2022-jp";
    smtp.SetFinalHeader(TExStringList{"MIME-Version: 1.0", "Content-Type: text/plain; charset=\"iso-2022-jp\""});
    EXPECT_EQ(smtp.FinalHeader->Count(), 2);
    smtp.PostMessage->FromAddress = "a@example.test";
    smtp.AssembleMail();
    EXPECT_EQ(LinesOf(*smtp.FinalHeader),
              Lines({"From: <a@example.test>", "Mime-Version: 1.0", "Content-Type: text/plain; charset=iso-2022-jp"}));
}

TEST(SmtpAssembleMail, BodyLinesAreDotStuffed)
{
    TestSmtp smtp;
    smtp.AssembleMail();
    EXPECT_EQ(smtp.Body(), "") << "an empty body leaves the stream empty";

    smtp.PostMessage->SetLinesBody(TStringList{".", "..x", " .", "", "plain", ".end"});
    smtp.AssembleMail();
    EXPECT_EQ(smtp.Body(), "..\r\n...x\r\n .\r\n\r\nplain\r\n..end\r\n");
    // Assembling again rebuilds, it does not append.
    smtp.AssembleMail();
    EXPECT_EQ(smtp.Body(), "..\r\n...x\r\n .\r\n\r\nplain\r\n..end\r\n");
}

namespace {

// The bytes a base64 body carries, checked line by line on the way.
std::string DecodedBase64Body(const std::string& Body)
{
    std::string joined;
    for (size_t pos = 0; pos < Body.size();) {
        const size_t end = Body.find("\r\n", pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated base64 line";
            break;
        }
        EXPECT_LE(end - pos, 76u);
        joined += Body.substr(pos, end - pos);
        pos = end + 2;
    }
    TNMUUProcessor decoder(nullptr);
    decoder.Method = uuMime;
    TStringStream source(joined);
    TStringStream target;
    decoder.SourceStream = &source;
    decoder.TargetStream = &target;
    decoder.Decode();
    return target.DataString();
}

}  // namespace

TEST(SmtpAssembleMail, BodyGoesBase64WhenAskedOrWhenALineIsTooLong)
{
    const std::string max(998, 'x');
    struct Case {
        const char* what;
        Lines body;
        bool flag;
        bool attach;
        bool base64;
    } cases[] = {
        {"998 octets fit", {max, "y"}, false, false, false},
        {"999 octets do not", {"a", max + "x", "b"}, false, false, true},
        {"998 with a leading dot become 999", {"." + max.substr(1)}, false, false, true},
        {"a long line of Japanese", {std::string(1446, '\x1b')}, false, false, true},
        {"asked for", {"ab", ".", ""}, true, false, true},
        {"asked for, empty body", {}, true, false, true},
        {"text part of a multipart message", {max + "x"}, false, true, true},
        {"multipart, short lines", {"ab"}, false, true, false},
    };
    TempFolder dir;
    const std::string file = dir.Write("f.txt", "f");
    for (const auto& c : cases) {
        TestSmtp smtp;
        smtp.Charset = "iso-2022-jp";
        TPostMessage& m = *smtp.PostMessage;
        m.Base64Body = c.flag;
        for (const std::string& line : c.body)
            m.Body->Add(line);
        if (c.attach)
            m.Attachments->Add(file);
        smtp.AssembleMail();

        std::string text;
        for (const std::string& line : c.body)
            text += line + "\r\n";
        const std::string body = smtp.Body();
        std::string part = body;
        if (c.attach) {
            const std::string partHeader = "Content-Type: text/plain; charset=iso-2022-jp\r\n" +
                                           std::string(c.base64 ? "Content-Transfer-Encoding: base64\r\n" : "") +
                                           "\r\n";
            const size_t start = body.find(partHeader);
            ASSERT_NE(start, std::string::npos) << c.what << "\n" << body;
            part = body.substr(start + partHeader.size(), body.find("--" + smtp.Boundary, start) - start -
                                                               partHeader.size());
            EXPECT_EQ(LinesOf(*smtp.FinalHeader).back().rfind("Content-Type: multipart/mixed", 0), 0u) << c.what;
        } else {
            EXPECT_EQ(LinesOf(*smtp.FinalHeader).back(),
                      c.base64 ? "Content-Transfer-Encoding: base64" : "Content-Type: text/plain; charset=iso-2022-jp")
                << c.what;
        }
        if (c.base64)
            EXPECT_EQ(DecodedBase64Body(part), text) << c.what;
        else
            EXPECT_EQ(part, text) << c.what;  // no line in these begins with "."
    }

    TestSmtp known;  // one known encoding
    known.PostMessage->Base64Body = true;
    known.PostMessage->Body->Add("ab");
    known.AssembleMail();
    EXPECT_EQ(known.Body(), "YWINCg==\r\n");
}

TEST(SmtpAssembleMail, MultipartFormWithAttachments)
{
    TempFolder dir;
    const std::string abc = dir.Write("abc.txt", "abc");
    const std::string empty = dir.Write("empty.bin", "");
    TestSmtp smtp;
    Trace trace;
    trace.Attach(smtp);
    smtp.SubType = mtHtml;  // the text part is text/plain all the same
    smtp.Charset = "iso-2022-jp";
    smtp.PostMessage->FromAddress = "a@example.test";
    smtp.PostMessage->SetLinesBody(TStringList{"hello", ".dot"});
    smtp.PostMessage->SetLinesAttachments(TStringList{abc, empty});
    smtp.AssembleMail();

    const std::string b = smtp.Boundary;
    ASSERT_EQ(b.size(), 35u);
    EXPECT_EQ(LinesOf(*smtp.FinalHeader), Lines({"From: <a@example.test>", "Mime-Version: 1.0",
                                                 "Content-Type: multipart/mixed; boundary=\"" + b + "\""}));
    EXPECT_EQ(smtp.Body(),
              "--" + b + "\r\nContent-Type: text/plain; charset=iso-2022-jp\r\n\r\n"
              "hello\r\n..dot\r\n"
              "--" + b + "\r\nContent-Type: application/octet-stream; name=\"abc.txt\"\r\n"
              "Content-Transfer-Encoding: base64\r\n"
              "Content-Disposition: attachment; filename=\"abc.txt\"\r\n\r\n"
              "YWJj\r\n"
              "--" + b + "\r\nContent-Type: application/octet-stream; name=\"empty.bin\"\r\n"
              "Content-Transfer-Encoding: base64\r\n"
              "Content-Disposition: attachment; filename=\"empty.bin\"\r\n\r\n"
              "--" + b + "--\r\n");
    EXPECT_EQ(trace.events, Lines({"encode start " + abc, "encode end " + abc, "encode start " + empty,
                                   "encode end " + empty}));
}

TEST(SmtpAssembleMail, BoundariesRepeatInEveryRun)
{
    const uint32_t saved = RandSeed;
    RandSeed = 0;  // as at program start
    TempFolder dir;
    TestSmtp smtp;
    smtp.PostMessage->Attachments->Add(dir.Write("a", "a"));
    std::vector<std::string> boundaries;
    for (int i = 0; i < 3; ++i) {
        smtp.AssembleMail();
        boundaries.push_back(smtp.Boundary);
    }
    RandSeed = saved;
    EXPECT_EQ(boundaries, Lines({"====================54535aavfgq====", "====================54535hejkcl====",
                                 "====================54535bvbhwj===="}));
    // Only "a" to "y" ever occur.
    RandSeed = 0;
    for (int i = 0; i < 10000; ++i) {
        const int32_t n = RandomNumber(25);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 24);
    }
    RandSeed = saved;
}

TEST(SmtpAssembleMail, AttachmentNames)
{
    TempFolder dir;
    const std::string file = dir.Write("data.bin", "x");
    // The part header of the first attachment, for a path that names the file
    // as given. Paths from other systems cannot be opened here, so their
    // name is checked on the header written before the open fails.
    struct Case {
        std::string path;
        std::string type;         // the Content-Type line after the media type
        std::string disposition;  // the Content-Disposition line after "attachment;"
    } cases[] = {
        {file, " name=\"data.bin\"", " filename=\"data.bin\""},
        {"C:\\Users\\taro\\report.pdf", " name=\"report.pdf\"", " filename=\"report.pdf\""},
        {"D:setup.exe", " name=\"setup.exe\"", " filename=\"setup.exe\""},
        {"plain.txt", " name=\"plain.txt\"", " filename=\"plain.txt\""},
        // Both forms, lower-case hex, each line within 76.
        {"/srv/mail/日本語.txt", "\r\n name=\"=?UTF-8?B?5pel5pys6KqeLnR4dA==?=\"",
         "\r\n filename*0*=UTF-8''%e6%97%a5%e6%9c%ac%e8%aa%9e.txt;\r\n filename=\"=?UTF-8?B?5pel5pys6KqeLnR4dA==?=\""},
        {"/tmp/a\"b.txt", " name=\"=?UTF-8?B?YSJiLnR4dA==?=\"",
         " filename*0*=UTF-8''a%22b.txt;\r\n filename=\"=?UTF-8?B?YSJiLnR4dA==?=\""},
        {"/tmp/x\ny.txt", " name=\"=?UTF-8?B?eAp5LnR4dA==?=\"",
         " filename*0*=UTF-8''x%0ay.txt;\r\n filename=\"=?UTF-8?B?eAp5LnR4dA==?=\""},
        {"/tmp/a b%;=~.txt\x7f", " name=\"=?UTF-8?B?YSBiJTs9fi50eHR/?=\"",
         " filename*0*=UTF-8''a%20b%25%3b%3d~.txt%7f;\r\n filename=\"=?UTF-8?B?YSBiJTs9fi50eHR/?=\""},
        // What a reader would decode goes out encoded.
        {"=?UTF-8?B?QQ==?=.txt", "\r\n name=\"=?UTF-8?B?PT9VVEYtOD9CP1FRPT0/PS50eHQ=?=\"",
         "\r\n filename*0*=UTF-8''%3d%3fUTF-8%3fB%3fQQ%3d%3d%3f%3d.txt;\r\n"
         " filename=\"=?UTF-8?B?PT9VVEYtOD9CP1FRPT0/PS50eHQ=?=\""},
    };
    for (const auto& c : cases) {
        TestSmtp smtp;
        smtp.PostMessage->Attachments->Add(c.path);
        try {
            smtp.AssembleMail();
        } catch (const EFOpenError&) {
        }
        const std::string body = smtp.Body();
        EXPECT_NE(body.find("Content-Type: application/octet-stream;" + c.type + "\r\n"), std::string::npos)
            << c.path << "\n" << body;
        EXPECT_NE(body.find("Content-Disposition: attachment;" + c.disposition + "\r\n"), std::string::npos)
            << c.path << "\n" << body;
    }
}

TEST(SmtpAssembleMail, LongNonAsciiNamesBecomeSeveralShortWords)
{
    std::string name;
    for (int i = 0; i < 40; ++i)
        name += "名";  // 3 bytes each: 120 bytes
    name += ".txt";
    TestSmtp smtp;
    smtp.PostMessage->Attachments->Add("/nowhere/" + name);
    EXPECT_THROW(smtp.AssembleMail(), EFOpenError);
    const std::string body = smtp.Body();
    const size_t start = body.find("name=\"") + 6;
    std::string words = body.substr(start, body.find('"', start) - start);
    std::erase(words, '\r');
    std::erase(words, '\n');
    size_t count = 0;
    for (size_t pos = 0; pos < words.size(); ++count) {
        size_t end = words.find(' ', pos);
        if (end == std::string::npos)
            end = words.size();
        const std::string word = words.substr(pos, end - pos);
        EXPECT_LE(word.size(), 64u) << word;
        EXPECT_EQ(word.rfind("=?UTF-8?B?", 0), 0u) << word;
        pos = end + 1;
    }
    EXPECT_EQ(count, 4u) << words;  // 39 + 39 + 39 + 7 bytes, cut between characters
}

TEST(SmtpAssembleMail, UuencodedPartsAreLabelledAndStuffed)
{
    TempFolder dir;
    // 45 + 14 bytes: the last line's length character for 14 bytes is ".".
    const std::string path = dir.Write("u.bin", std::string(59, 'A'));
    TestSmtp smtp;
    smtp.EncodeType = uuCode;
    smtp.PostMessage->Attachments->Add(path);
    smtp.AssembleMail();
    const std::string body = smtp.Body();
    EXPECT_NE(body.find("Content-Transfer-Encoding: x-uuencode\r\n"), std::string::npos);
    EXPECT_EQ(body.find("base64"), std::string::npos);
    EXPECT_NE(body.find("\r\n.."), std::string::npos) << body;
    EXPECT_EQ(body.find("\r\n.0"), std::string::npos) << "a line beginning with a single dot";
}

TEST(SmtpAssembleMail, MissingAttachment)
{
    TempFolder dir;
    const std::string good = dir.Write("good.txt", "good");
    const std::string missing = dir.Path() + "/missing.txt";
    TestSmtp smtp;
    Trace trace;
    trace.Attach(smtp);
    smtp.PostMessage->SetLinesAttachments(TStringList{good, missing});
    EXPECT_THROW(smtp.AssembleMail(), EFOpenError);
    EXPECT_EQ(trace.events, Lines({"encode start " + good, "encode end " + good, "missing " + missing}));

    // SendMail assembles first: the error comes before the connection check,
    // so nothing is sent and the lists stay.
    trace.events.clear();
    smtp.PostMessage->FromAddress = "a@example.test";
    smtp.PostMessage->ToAddress->Add("b@example.test");
    EXPECT_THROW(smtp.SendMail(), EFOpenError);
    EXPECT_FALSE(smtp.Busy);
    EXPECT_EQ(smtp.PostMessage->ToAddress->Count(), 1);
    EXPECT_EQ(smtp.PostMessage->Attachments->Count(), 2);
}

TEST(SmtpAssembleMail, SendAttachmentsCountsFromOne)
{
    TempFolder dir;
    TestSmtp smtp;
    smtp.PostMessage->SetLinesAttachments(TStringList{dir.Write("one", "1"), dir.Write("two", "2")});
    smtp.SendAttachments(2);
    EXPECT_NE(smtp.Body().find("name=\"two\""), std::string::npos);
    EXPECT_EQ(smtp.Body().find("name=\"one\""), std::string::npos);
    EXPECT_THROW(smtp.SendAttachments(3), EStringListError);
}

TEST(SmtpExtractAddress, Entries)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Taro Yamada <taro@example.test>", "taro@example.test"},
        {"<taro@example.test", "taro@example.test"},
        {"a <b@x> <c@y>", "b@x"},
        {"a <b@x <c@y>", "b@x "},
        {"taro@example.test", "taro@example.test"},
        {" spaced@example.test ", " spaced@example.test "},
        {"", ""},
        {"<>", ""},
        {"mailto: taro@example.test", " taro@example.test"},
        {"a:b:c", "b"},
        {"group:", ""},
    };
    for (const auto& [entry, address] : cases)
        EXPECT_EQ(TNMSMTP::ExtractAddress(entry), address) << entry;
}

TEST(SmtpPostMessage, ListsAreCopiedAndClearedAsTheComponentSays)
{
    TestSmtp smtp;
    EXPECT_EQ(smtp.Port, 25);
    EXPECT_EQ(smtp.Charset, "us-ascii");
    EXPECT_EQ(smtp.SubType, mtPlain);
    EXPECT_EQ(smtp.EncodeType, uuMime);
    EXPECT_TRUE(smtp.ClearParams);
    EXPECT_FALSE(smtp.Busy);

    TPostMessage& m = *smtp.PostMessage;
    TStringList source{"x@example.test", "y@example.test"};
    m.SetLinesTo(source);
    m.SetLinesCC(source);
    m.SetLinesBCC(source);
    m.SetLinesBody(source);
    m.SetLinesAttachments(source);
    source.Clear();  // the record holds copies
    for (TStringList* list : {m.ToAddress.get(), m.ToCarbonCopy.get(), m.ToBlindCarbonCopy.get(), m.Body.get(),
                              m.Attachments.get()})
        EXPECT_EQ(list->Count(), 2);
    m.Subject = "s";
    smtp.ClearParameters();
    EXPECT_EQ(m.ToAddress->Count() + m.ToCarbonCopy->Count() + m.ToBlindCarbonCopy->Count() + m.Attachments->Count(), 0);
    EXPECT_EQ(m.Body->Count(), 2);
    EXPECT_EQ(m.Subject, "s");
}

TEST(SmtpPostMessage, VirtualCreateMakesAnSmtpComponent)
{
    TestSmtp smtp;
    std::unique_ptr<TPowersock> made(smtp.Create(nullptr));
    auto* other = dynamic_cast<TNMSMTP*>(made.get());
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->Port, 25);
}

TEST(SmtpPostMessage, DisplayNamesWithSpecialsAreQuoted)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Taro", "Taro"},
        {"Taro Yamada ", "Taro Yamada "},
        {"", ""},
        {"  ", "  "},
        {"=?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= ", "=?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= "},
        {"Yamada, Taro", "\"Yamada, Taro\""},
        {" J. Smith ", " \"J. Smith\" "},
        {"a@b", "\"a@b\""},
        {"(x) <y> [z] : ;", "\"(x) <y> [z] : ;\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"\"Yamada, Taro\"", "\"Yamada, Taro\""},
        {"\"a\\\"b\"", "\"a\\\"b\""},
        {"\"open", "\"\\\"open\""},
        {"\"end\\\"", "\"\\\"end\\\\\\\"\""},
        // Found by fuzz_assemble: a fold at the end stays outside the quotes.
        {"Yamada, Taro\r\n ", "\"Yamada, Taro\"\r\n "},
        {"\r\n J. Smith", "\r\n \"J. Smith\""},
        {"J.\r\n Smith", "\"J.\r\n Smith\""},
    };
    for (const auto& [name, written] : cases)
        EXPECT_EQ(DisplayName(name), written) << name;
}

TEST(SmtpPostMessage, MessageIdsAreUniqueAndTakeTheSendersDomain)
{
    const std::regex form(R"(<[0-9a-z]+\.[0-9a-z]+\.[0-9a-z]+\.[0-9a-z]+@([A-Za-z0-9-]+(\.[A-Za-z0-9-]+)*)>)");
    const std::pair<const char*, const char*> cases[] = {
        {"taro@example.jp", "example.jp"},
        {"\"a@b\"@mail.example.com", "mail.example.com"},
        {"taro@", nullptr},
        {"taro", nullptr},
        {"", nullptr},
        {"taro@例え.jp", nullptr},
        {"taro@[192.0.2.1]", nullptr},
        {"taro@a..b", nullptr},
        {"taro@.a", nullptr},
        {"taro@example.jp>", nullptr},
    };
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    for (const auto& [address, domain] : cases) {
        const std::string id = NewMessageID(address);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(id, match, form)) << address << " " << id;
        // Without a usable domain in the address, the host's name stands in.
        const std::string expected = domain ? domain : host;
        EXPECT_TRUE(match[1] == expected || (!domain && match[1] == "localhost")) << address << " " << id;
    }
    std::set<std::string> seen;
    const size_t length = NewMessageID("taro@example.jp").size();
    for (int i = 0; i < 20000; ++i) {
        const std::string id = NewMessageID("taro@example.jp");
        ASSERT_TRUE(seen.insert(id).second) << "repeated after " << i;
        // A size declared before the ID is drawn again must still hold.
        ASSERT_EQ(id.size(), length) << id;
    }
}

TEST(SmtpPostMessage, LineBreaksInHeaderValuesAreRefused)
{
    const std::pair<const char*, std::function<void(TPostMessage&)>> cases[] = {
        {"FromName", [](TPostMessage& m) { m.FromName = "Taro\r\nBcc: x@evil.test"; }},
        {"FromAddress", [](TPostMessage& m) { m.FromAddress = "taro@example.test\n"; }},
        {"Subject", [](TPostMessage& m) { m.Subject = "hi\nX-Spam: no"; }},
        {"LocalProgram", [](TPostMessage& m) { m.LocalProgram = "\rV"; }},
        {"Date", [](TPostMessage& m) { m.Date = "Mon\r\n"; }},
        {"ReplyTo", [](TPostMessage& m) { m.ReplyTo = "r@x\r\n"; }},
        {"MessageID", [](TPostMessage& m) { m.MessageID = "<a@b>\r\n"; }},
        {"ToAddress entry 2", [](TPostMessage& m) { m.ToAddress->Add("b@example.test\r\nRCPT TO:<x@evil.test>"); }},
        {"ToCarbonCopy entry 1", [](TPostMessage& m) { m.ToCarbonCopy->Add("Ken\n <c@example.test>"); }},
        {"ToBlindCarbonCopy entry 1", [](TPostMessage& m) { m.ToBlindCarbonCopy->Add("d@example.test\r"); }},
        {"Subject", [](TPostMessage& m) { m.Subject = "a\r\n b\r\n"; }},
        {"Subject", [](TPostMessage& m) { m.Subject = "a\n b"; }},
        {"Subject", [](TPostMessage& m) { m.Subject = "a\r\nb"; }},
        {"FromAddress", [](TPostMessage& m) { m.FromAddress = "taro@example.test\r\n x"; }},
        {"ToAddress entry 2", [](TPostMessage& m) { m.ToAddress->Add("B\r\n <b@example.test\r\n x>"); }},
        {"ToBlindCarbonCopy entry 1", [](TPostMessage& m) { m.ToBlindCarbonCopy->Add("D\r\n <d@example.test>"); }},
    };
    for (const auto& [field, spoil] : cases) {
        TestSmtp smtp;
        Address(*smtp.PostMessage);
        spoil(*smtp.PostMessage);
        EXPECT_EQ(MessageOf<Exception>([&] { smtp.AssembleMail(); }), std::string(field) + " holds a line break");
        // SendMail assembles before anything goes out, even without a connection.
        EXPECT_EQ(MessageOf<Exception>([&] { smtp.SendMail(); }), std::string(field) + " holds a line break");
        EXPECT_FALSE(smtp.Busy);
    }
}

TEST(SmtpPostMessage, FoldedHeaderValuesPass)
{
    TestSmtp smtp;
    TPostMessage& m = *smtp.PostMessage;
    Address(m);
    m.Subject = "=?ISO-2022-JP?B?GyRCJDMbKEI=?=\r\n =?ISO-2022-JP?B?GyRCJHMbKEI=?=";
    m.FromName = "=?ISO-2022-JP?B?GyRCOzMbKEI=?=\r\n\t=?ISO-2022-JP?B?GyRCRUQbKEI=?= ";
    m.ToCarbonCopy->Add("Ken\r\n Ito <ken@example.test>");
    smtp.AssembleMail();
    EXPECT_EQ(smtp.FinalHeader->Get(0), "From: " + m.FromName + "<taro@example.test>");
    EXPECT_EQ(smtp.FinalHeader->Get(2), "CC: Ken\r\n Ito <ken@example.test>");
}
