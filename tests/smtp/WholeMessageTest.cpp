// Whole messages through a real SMTP server (aiosmtpd on loopback), read back
// with Python's email package, a decoder independent of ours.


#include "charset/CodePage.h"
#include "rtl/Exception.h"
#include "smtp/PostMessage.h"
#include "tests/smtp/SmtpTest.h"
#include "tests/support/SmtpSink.h"

using namespace smtptest;
using testsupport::RandomBytes;
using testsupport::SmtpSink;
using testsupport::TempFolder;

namespace {

const std::string kCheckScript = std::string(VELTROW_SOURCE_DIR) + "/tests/smtp/check_mail.py";

// The description check_mail.py gives of a stored message.
std::string Describe(const testsupport::SinkMessage& message, const std::vector<std::string>& attachments = {})
{
    std::vector<std::string> args{kCheckScript, message.Path};
    args.insert(args.end(), attachments.begin(), attachments.end());
    const auto result = testsupport::RunPython(
        "import runpy, sys; sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')", args);
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    return result.Output;
}

}  // namespace

TEST(SmtpWholeMessage, PlainAndMultipartOverOneConnection)
{
    SmtpSink sink;
    TempFolder dir;
    const std::string binary = dir.Write("photo.jpg", RandomBytes(300 * 1024 + 7, 1));
    const std::string empty = dir.Write("empty.dat", "");
    const std::string japanese = dir.Write("日本語の資料.txt", "中身\r\n");
    std::string longName;
    for (int i = 0; i < 30; ++i)
        longName += "長";
    const std::string longFile = dir.Write(longName + ".bin", RandomBytes(1000, 2));

    TestSmtp smtp;
    ConnectTo(smtp, sink);
    TPostMessage& m = *smtp.PostMessage;
    m.FromName = "Taro ";
    m.FromAddress = "taro@example.test";
    m.Subject = "Plain";
    m.LocalProgram = "Veltrow";
    m.ToAddress->Add("Hanako <hanako@example.test>");
    m.ToBlindCarbonCopy->Add("hidden@example.test");
    m.SetLinesBody(TStringList{"first", ".", "..two dots", "", ".", "last"});
    smtp.SendMail();

    m.Subject = "With files";
    m.ToAddress->Add("ken@example.test");
    m.SetLinesAttachments(TStringList{binary, empty, japanese, longFile});
    smtp.SendMail();
    EXPECT_EQ(m.Attachments->Count(), 0);
    smtp.Disconnect();

    ASSERT_TRUE(sink.WaitForMessages(2)) << sink.ServerLog();
    const auto plain = sink.Message(0);
    EXPECT_EQ(plain.Helo, "client.test");
    EXPECT_EQ(plain.MailFrom, "taro@example.test");
    EXPECT_EQ(plain.RcptTos, std::vector<std::string>({"hanako@example.test", "hidden@example.test"}));
    EXPECT_EQ(Describe(plain),
              "header From: Taro <taro@example.test>\n"
              "header To: Hanako <hanako@example.test>\n"
              "header Subject: Plain\n"
              "header X-Mailer: Veltrow\n"
              "header Mime-Version: 1.0\n"
              "header Content-Type: text/plain; charset=us-ascii\n"
              "type: text/plain\n"
              "charset: us-ascii\n"
              "text: b'\\r\\nfirst\\r\\n.\\r\\n..two dots\\r\\n\\r\\n.\\r\\nlast\\r\\n'\n"
              "defects: none\n");

    const auto multi = sink.Message(1);
    EXPECT_EQ(multi.RcptTos, std::vector<std::string>({"ken@example.test"}));
    const std::string b = smtp.Boundary;
    EXPECT_EQ(Describe(multi, {binary, empty, japanese, longFile}),
              "header From: Taro <taro@example.test>\n"
              "header To: ken@example.test\n"
              "header Subject: With files\n"
              "header X-Mailer: Veltrow\n"
              "header Mime-Version: 1.0\n"
              "header Content-Type: multipart/mixed; boundary=\"" + b + "\"\n"
              "type: multipart/mixed\n"
              // The line break before a delimiter belongs to the delimiter.
              "preamble: ''\n"
              "epilogue: ''\n"
              "part 0: text/plain charset=us-ascii cte=\n"
              "text: b'first\\r\\n.\\r\\n..two dots\\r\\n\\r\\n.\\r\\nlast'\n"
              "part 1: application/octet-stream cte=base64 name='photo.jpg' filename='photo.jpg' "
              "disposition=attachment\n"
              "bytes: match (307207)\n"
              "part 2: application/octet-stream cte=base64 name='empty.dat' filename='empty.dat' "
              "disposition=attachment\n"
              "bytes: match (0)\n"
              "part 3: application/octet-stream cte=base64 name='日本語の資料.txt' filename='日本語の資料.txt' "
              "disposition=attachment\n"
              "bytes: match (8)\n"
              "part 4: application/octet-stream cte=base64 name='" + longName + ".bin' filename='" + longName +
              ".bin' disposition=attachment\n"
              "bytes: match (1000)\n"
              "defects: none\n");
}

TEST(SmtpWholeMessage, UuencodedAttachmentsArriveWhole)
{
    SmtpSink sink;
    TempFolder dir;
    // Every tail length, the one whose line starts with "." (14 bytes) included.
    std::vector<std::string> files;
    for (size_t n : {1u, 14u, 45u, 59u, 1000u})
        files.push_back(dir.Write(Format("u%zu.bin", n), RandomBytes(n, static_cast<unsigned>(n))));
    TestSmtp smtp;
    ConnectTo(smtp, sink);
    smtp.EncodeType = uuCode;
    TPostMessage& m = *smtp.PostMessage;
    Address(m, "hanako@example.test");
    for (const std::string& f : files)
        m.Attachments->Add(f);
    smtp.SendMail();
    smtp.Disconnect();

    ASSERT_TRUE(sink.WaitForMessages(1)) << sink.ServerLog();
    const std::string description = Describe(sink.Message(0), files);
    size_t matches = 0;
    for (size_t pos = 0; (pos = description.find("bytes: match", pos)) != std::string::npos; ++pos)
        ++matches;
    EXPECT_EQ(matches, files.size()) << description;
    EXPECT_NE(description.find("cte=x-uuencode name='u14.bin'"), std::string::npos) << description;
    EXPECT_NE(description.find("defects: none"), std::string::npos) << description;
}

TEST(SmtpWholeMessage, RefusedRecipientAtARealServer)
{
    SmtpSink::Options options;
    options.RefuseRcpt = {"nobody"};
    SmtpSink sink(options);
    TestSmtp smtp;
    ConnectTo(smtp, sink);
    std::vector<std::string> refused;
    smtp.OnRecipientNotFound = [&](const std::string& r) { refused.push_back(r); };
    TPostMessage& m = *smtp.PostMessage;
    m.FromAddress = "taro@example.test";
    m.SetLinesTo(TStringList{"Nobody <nobody@example.test>", "hanako@example.test"});
    smtp.SendMail();
    smtp.Disconnect();
    EXPECT_EQ(refused, std::vector<std::string>({"Nobody <nobody@example.test>"}));
    ASSERT_TRUE(sink.WaitForMessages(1)) << sink.ServerLog();
    EXPECT_EQ(sink.Message(0).RcptTos, std::vector<std::string>({"hanako@example.test"}));
}

TEST(SmtpWholeMessage, LongJapaneseLinesArriveExactlyAsBase64)
{
    // 2,000 characters: about 4,000 octets as ISO-2022-JP, far over a line's 998.
    std::string line;
    for (int i = 0; i < 400; ++i)
        line += "日本語の文";
    const std::vector<std::string> body{"短い行", line, ".", ""};

    SmtpSink sink;
    TestSmtp smtp;
    ConnectTo(smtp, sink);
    smtp.Charset = "iso-2022-jp";
    TPostMessage& m = *smtp.PostMessage;
    Address(m);
    for (const std::string& l : body)
        m.Body->Add(BodyLineToIso2022Jp(Utf8ToCp932(l)));
    smtp.SendMail();
    smtp.Disconnect();
    ASSERT_TRUE(sink.WaitForMessages(1)) << sink.ServerLog();

    const std::string raw = testsupport::ReadWholeFile(sink.Message(0).Path);
    size_t longest = 0;
    for (size_t pos = 0; pos < raw.size();) {
        size_t end = raw.find('\n', pos);
        end = end == std::string::npos ? raw.size() : end;
        longest = std::max(longest, end - pos);
        pos = end + 1;
    }
    EXPECT_LE(longest, 999u) << "octets before the LF, CR included";

    const auto result = testsupport::RunPython(
        "import email, email.policy, sys\n"
        "msg = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)\n"
        "assert not msg.defects, msg.defects\n"
        "print(msg['Content-Transfer-Encoding'], msg.get_param('charset'))\n"
        "sys.stdout.buffer.write(msg.get_payload(decode=True).decode('iso-2022-jp', 'strict').encode('utf-8'))\n",
        {sink.Message(0).Path});
    ASSERT_EQ(result.ExitCode, 0) << result.Output;
    std::string expected = "base64 iso-2022-jp\n";
    for (const std::string& l : body)
        expected += l + "\r\n";
    EXPECT_EQ(result.Output, expected);
}

TEST(SmtpWholeMessage, StrictReadersAcceptIdsNamesAndFileNames)
{
    SmtpSink sink;
    TempFolder dir;
    const std::string file = dir.Write("日本語の資料 (2).txt", "abc");
    TestSmtp smtp;
    ConnectTo(smtp, sink);
    TPostMessage& m = *smtp.PostMessage;
    Address(m);
    m.FromName = "Yamada, Taro";
    for (int i = 0; i < 2; ++i) {
        m.MessageID = NewMessageID(m.FromAddress);
        m.ToAddress->Add("a@example.test");
        m.Attachments->Add(file);
        smtp.SendMail();
    }
    smtp.Disconnect();
    ASSERT_TRUE(sink.WaitForMessages(2)) << sink.ServerLog();

    // The defects left are those of the encoded words inside name="..." and
    // filename="..." next to the RFC 2231 filename*, kept on purpose for
    // the readers that look only there.
    const auto result = testsupport::RunPython(R"(
import email, email.header, email.policy, sys
for path in sys.argv[1:]:
    raw = open(path, 'rb').read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    frm = msg['From']
    print(len(frm.addresses), frm.addresses[0].display_name, frm.addresses[0].addr_spec)
    print(msg['Message-ID'])
    part = list(msg.iter_attachments())[0]
    old = email.message_from_bytes(raw).get_payload()[1].get_filename()
    print(part.get_filename(), str(email.header.make_header(email.header.decode_header(old))))
    for p in (msg, part, msg.get_payload()[0]):
        print(p.defects, [(n, str(d)) for n, v in p.items() for d in getattr(v, 'defects', ())
                          if not (n in ('Content-Type', 'Content-Disposition')
                                  and ('encoded' in str(d) or 'duplicate parameter' in str(d)))])
)",
                                               {sink.Message(0).Path, sink.Message(1).Path});
    ASSERT_EQ(result.ExitCode, 0) << result.Output;
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < result.Output.size();) {
        const size_t end = result.Output.find('\n', pos);
        lines.push_back(result.Output.substr(pos, end - pos));
        pos = end == std::string::npos ? result.Output.size() : end + 1;
    }
    ASSERT_EQ(lines.size(), 12u) << result.Output;
    for (size_t i : {0u, 6u}) {
        EXPECT_EQ(lines[i], "1 Yamada, Taro " + kSender);
        EXPECT_EQ(lines[i + 1].rfind("<", 0), 0u) << lines[i + 1];
        EXPECT_NE(lines[i + 1].find("@example.test>"), std::string::npos) << lines[i + 1];
        // Read right from RFC 2231 filename* and from RFC 2047 filename=.
        EXPECT_EQ(lines[i + 2], "日本語の資料 (2).txt 日本語の資料 (2).txt");
        for (size_t d = i + 3; d < i + 6; ++d)
            EXPECT_EQ(lines[d], "[] []") << result.Output;
    }
    EXPECT_NE(lines[1], lines[7]) << "Message-IDs repeat";
}

namespace {

// A file encoded as a caller encodes it once for a whole run.
std::shared_ptr<const TEncodedAttachment> EncodedPart(const std::string& Path, const std::string& Name,
                                                      const std::string& MediaType)
{
    TFileStream source(Path, fmOpenRead);
    auto text = std::make_shared<TMemoryStream>();
    TNMUUProcessor encoder(nullptr);
    encoder.SourceStream = &source;
    encoder.TargetStream = text.get();
    encoder.Encode();
    auto part = std::make_shared<TEncodedAttachment>();
    part->FileName = Name;
    part->MediaType = MediaType;
    part->EncodedSize = text->Size();
    part->Text = text;
    return part;
}

}  // namespace

TEST(SmtpWholeMessage, EncodedPartsGoOutWholeInEveryMessageAndTheirSizeIsKnownBeforehand)
{
    SmtpSink sink;
    TempFolder dir;
    const std::string file = dir.Write("photo.jpg", RandomBytes(3000, 3));
    const std::string pdf = dir.Write("a.pdf", RandomBytes(100 * 1024 + 1, 4));
    const std::string empty = dir.Write("empty", "");
    const auto invoice = EncodedPart(pdf, "請求書 2026年12月.pdf", "application/pdf");
    const auto nothing = EncodedPart(empty, "empty.png", "image/png");

    TestSmtp smtp;
    ConnectTo(smtp, sink);
    TPostMessage& m = *smtp.PostMessage;
    m.FromAddress = "taro@example.test";
    m.Subject = "Parts";
    m.SetLinesBody(TStringList{"本文", "two"});
    std::vector<int64_t> sizes;
    for (const char* to : {"a@example.test", "b@example.test"}) {
        m.ToAddress->Add(to);
        // The second message has no file of its own: only the encoded parts.
        if (sizes.empty())
            m.Attachments->Add(file);
        m.EncodedAttachments = {invoice, nothing};
        sizes.push_back(smtp.MessageSize());
        smtp.SendMail();
        EXPECT_TRUE(m.EncodedAttachments.empty());
    }
    smtp.Disconnect();

    ASSERT_TRUE(sink.WaitForMessages(2)) << sink.ServerLog();
    const std::vector<std::vector<std::string>> files{{file, pdf, empty}, {pdf, empty}};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const auto message = sink.Message(i);
        EXPECT_EQ(sizes[i], static_cast<int64_t>(message.Data.size()));
        const std::string description = Describe(message, files[i]);
        const size_t first = i == 0 ? 2 : 1;
        EXPECT_NE(description.find(Format("part %zu: application/pdf cte=base64 name='請求書 2026年12月.pdf' "
                                          "filename='請求書 2026年12月.pdf' disposition=attachment\n"
                                          "bytes: match (102401)\n"
                                          "part %zu: image/png cte=base64 name='empty.png' filename='empty.png' "
                                          "disposition=attachment\nbytes: match (0)\ndefects: none\n",
                                          first, first + 1)),
                  std::string::npos)
            << description;
    }
}
