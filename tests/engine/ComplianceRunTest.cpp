// What a run owes the law and the large mailbox providers, end to end
// through the engine: the opt-out list, the unsubscribe headers and the
// footer as aiosmtpd receives them (read back with Python's email package),
// the refusal of advertising mail that lacks a required item, and the
// sender domain's check with its question.
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "engine/account/DomainCheck.h"
#include "engine/journal/Journal.h"
#include "engine/list/OptOut.h"
#include "engine/compose/Preview.h"
#include "tests/engine/DnsServer.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ScriptedPeer.h"

namespace enginetest {
namespace {

using testsupport::SmtpSink;

// Lines 6 to 17 of the settings: 6 to 12 as their defaults, unless Charset.
std::string Compliance(const std::string& Unsubscribe, const std::string& Url, bool Advertising,
                       const std::string& Postal = "東京都千代田区1-1", const std::string& Contact = "03-1234-5678",
                       const std::string& Charset = "")
{
    return "\r\n\r\n" + Charset + "\r\n\r\n\r\n\r\n\r\n" + Unsubscribe + "\r\n" + Url + "\r\n" +
           (Advertising ? "yes" : "no") + "\r\n" + Postal + "\r\n" + Contact + "\r\n";
}

// The journal's rows by line: outcome and reason.
std::map<int, std::pair<std::string, std::string>> JournalRows(const std::string& Path)
{
    std::string text = testsupport::ReadWholeFile(Path);
    if (text.starts_with("\xEF\xBB\xBF"))
        text.erase(0, 3);
    std::map<int, std::pair<std::string, std::string>> rows;
    const auto records = ParseCsv(text);
    for (size_t i = 1; i < records.size(); ++i)
        rows[std::stoi(records[i][0])] = {records[i][2], records[i][3]};
    return rows;
}

class ComplianceRunTest : public EngineTest {};

TEST_F(ComplianceRunTest, TheConfirmationWarnsOfNoOneClickUrlAndOfADomainTheLoginDoesNotShare)
{
    const std::string oneClick = "ワンクリックの配信停止URL（設定.txt の 14 行目）がありません。";
    const std::string alignment = "送信者のアドレスのドメイン（example.jp）が、ログイン名のドメイン（";
    const struct {
        const char* name;
        bool advertising;
        std::string url, login;  // lines 14 and 7
        std::vector<std::string> warned;
    } cases[] = {
        {"neither", false, "", "", {}},
        {"advertising without a URL", true, "", "", {oneClick}},
        {"advertising with one", true, "https://example.jp/stop", "", {}},
        {"a login on a subdomain aligns", false, "", "soumu@mail.example.jp", {}},
        {"letter case does not matter", false, "", "SOUMU@EXAMPLE.JP", {}},
        {"a login name that is no address says nothing", false, "", "soumu", {}},
        {"both", true, "", "soumu@other.example.com", {oneClick, alignment + "other.example.com）と違います。"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A login needs STARTTLS; nothing connects in a dry run.
        const std::string security = c.login.empty() ? "" : "starttls";
        WriteSettings(2525, security + "\r\n" + c.login + Compliance("", c.url, c.advertising).substr(2));
        const std::optional<TDryRun> dry = engine->DryRun(Request("a@example.jp\r\n"), 1);
        ASSERT_TRUE(dry.has_value());
        ASSERT_EQ(dry->Outline.Warnings.size(), c.warned.size());
        const std::string text = ConfirmText(dry->Outline);
        for (size_t i = 0; i < c.warned.size(); ++i) {
            EXPECT_NE(dry->Outline.Warnings[i].find(c.warned[i]), std::string::npos) << dry->Outline.Warnings[i];
            EXPECT_NE(text.find("注意: " + dry->Outline.Warnings[i]), std::string::npos) << text;
        }
        EXPECT_TRUE(text.ends_with("送信しますか？")) << text;
    }
}

TEST_F(ComplianceRunTest, OptedOutEntriesGetNoMessageAndTheirOwnJournalRow)
{
    SmtpSink sink;
    WriteSettings(sink.Port());
    // Each form an office pastes into the list, each matched in any letter case.
    WriteFile(OptOutFileName, "# 停止の申し出\r\nHanako@EXAMPLE.jp\r\nken@example.jp\r\n"
                              "mailto:watanabe@theta.example.jp?subject=unsubscribe\r\n <Sato@Example.JP.> \r\n");
    engine->Send(Request("a@example.jp\r\nHanako@Example.JP\r\nKen <ken@example.jp>\r\nKEN@example.jp\r\n"
                         "Watanabe@theta.example.jp\r\nsato@example.jp\r\nb@example.jp\r\n"));

    ASSERT_EQ(ui.Confirmations.size(), 1u);
    EXPECT_EQ(ui.Confirmations[0].Messages, 2);
    EXPECT_EQ(ui.Confirmations[0].OptedOut, 5);
    EXPECT_NE(ConfirmText(ui.Confirmations[0]).find("配信停止 5 件"), std::string::npos);
    ASSERT_EQ(ui.Summaries.size(), 1u);
    const TOutcomeCounts& counts = ui.Summaries[0].Counts;
    EXPECT_EQ(counts[TOutcome::Sent], 2);
    EXPECT_EQ(counts[TOutcome::OptedOut], 5);
    EXPECT_NE(SummaryText(counts, "").find("配信停止 5 件"), std::string::npos);
    std::multiset<std::string> recipients;
    for (const testsupport::SinkMessage& m : sink.Messages())
        recipients.insert(m.RcptTos.begin(), m.RcptTos.end());
    EXPECT_EQ(recipients, (std::multiset<std::string>{"a@example.jp", "b@example.jp"}));
    const auto rows = JournalRows(ui.Summaries[0].JournalPath);
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows.at(1).first, "送信済み");
    EXPECT_EQ(rows.at(2), (std::pair<std::string, std::string>{"配信停止", "配信停止.txt にあるアドレスです"}));
    for (int line = 3; line <= 6; ++line)
        EXPECT_EQ(rows.at(line).first, "配信停止") << line;
    EXPECT_EQ(rows.at(7).first, "送信済み");
}

// A zero byte in any file the run reads stops it before connecting, naming
// the file and the line: nothing after it is dropped, nothing is mailed.
TEST_F(ComplianceRunTest, AZeroByteInAnyFileTheRunReadsIsRefusedAtItsLine)
{
    const std::string nul(1, '\0');
    struct Case {
        const char* file;  // in the profile folder
        std::string bytes;
        const char* list;  // the list's file name
        bool advertising;
        std::string said;
    };
    // "a", then "b", U+0000, "@x.jp" in UTF-16 with its mark.
    static const char kUtf16[] = "\xFF\xFE" "a\0\n\0b\0\0\0@\0x\0.\0j\0p\0";
    const std::string Utf16(kUtf16, sizeof kUtf16 - 1);
    const std::string settings = "127.0.0.1\r\n%PORT%\r\npc01\r\nTa" + nul + "ro\r\ntaro@example.jp\r\n";
    const Case cases[] = {
        {"設定.txt", settings, "list.txt", false, "設定.txt の 4 行目: NUL 文字 (0x00) があります"},
        {OptOutFileName, "a@example.jp\r\nx" + nul + "@example.jp\r\nb@example.jp\r\n", "list.txt", false,
         "配信停止.txt の 2 行目: NUL 文字 (0x00) があります"},
        {"フッター.txt", "{{送信者名}}\n{{住所}}" + nul + "\n{{問い合わせ先}}\n配信停止は {{配信停止先}} へ\n", "list.txt", true,
         "フッター.txt の 2 行目: NUL 文字 (0x00) があります"},
        {"list.txt", "a@example.jp\r\nb@example.jp" + nul + "\r\n", "list.txt", false,
         "宛先 2 行目: NUL 文字 (0x00) があります"},
        {"list.txt", Utf16, "list.txt", false, "宛先 2 行目: NUL 文字 (0x00) があります"},
        {"list.csv", "メールアドレス,名前\r\na@example.jp,山" + nul + "田\r\nb@example.jp,川\r\n", "list.csv", false,
         "list.csv の 2 行目の B 列: NUL 文字 (0x00) があります"},
        {"list.tsv", "メールアドレス\t名前\na" + nul + "@example.jp\t山田\n", "list.tsv", false,
         "list.tsv の 2 行目の A 列: NUL 文字 (0x00) があります"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        SmtpSink sink;
        WriteSettings(sink.Port(), Compliance("", "", c.advertising));
        WriteFile(OptOutFileName, "# なし\r\n");
        WriteFile("フッター.txt", "{{送信者名}}\n{{住所}}\n{{問い合わせ先}}\n配信停止は {{配信停止先}} へ\n");
        std::string bytes = c.bytes;
        if (const size_t port = bytes.find("%PORT%"); port != std::string::npos)
            bytes.replace(port, 6, std::to_string(sink.Port()));
        WriteFile("list.txt", "a@example.jp\r\nb@example.jp\r\n");
        WriteFile(c.file, bytes);
        ui.Failures.clear();
        TSendRequest request{profile.Path() + "/" + c.list, "件名", "本文\n", {}, {}};
        const std::string said = SendFailure(request) + (ui.Failures.empty() ? "" : ui.Failures.back());
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        EXPECT_EQ(sink.MessageCount(), 0u);
        EXPECT_TRUE(ui.Confirmations.empty());
    }
}

TEST_F(ComplianceRunTest, UnsubscribeHeadersAsPythonReadsThem)
{
    struct Case {
        const char* name;
        std::string unsubscribe, url;  // lines 13 and 14
        std::string entry;   // of a text list; with Csv, the data row of a CSV list
        bool csv;
        std::string mailto;  // the address of the mailto URI
        std::string m, n;    // the https URI's parameters, decoded; empty: no https URI
    };
    const Case cases[] = {
        {"mailto to line 5 alone", "", "", "a@example.jp", false, "taro@example.jp", "", ""},
        {"mailto to line 13 and the row's merged, encoded URL", "stop@example.jp",
         "https://example.jp/stop?m={{メールアドレス}}&n={{氏名}}", "山田 花子 <hanako+news@example.jp>", false,
         "stop@example.jp", "hanako+news@example.jp", "山田 花子"},
        {"a table's columns merged", "", "https://example.jp/stop?m={{メールアドレス}}&n={{会社名}}",
         "ken@example.jp,青空 & 海=1", true, "taro@example.jp", "ken@example.jp", "青空 & 海=1"},
    };
    SmtpSink sink;
    std::vector<std::string> args;
    for (const Case& c : cases) {
        WriteSettings(sink.Port(), Compliance(c.unsubscribe, c.url, false));
        if (c.csv)
            engine->Send({WriteFile("list.csv", "メールアドレス,会社名\r\n" + c.entry + "\r\n"), "件名", "本文\n"});
        else
            engine->Send(Request(c.entry + "\r\n"));
        ASSERT_TRUE(sink.WaitForMessages(args.size() + 1));
        args.push_back(sink.Message(args.size()).Path);
    }
    const auto result = testsupport::RunPython(R"(
import email, email.policy, re, sys, urllib.parse
for path in sys.argv[1:]:
    raw = open(path, 'rb').read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    # Every header line within 78 but a URL on a line of its own, and no
    # upper-case %XX that a spam filter reads as a template.
    head = raw.split(b'\r\n\r\n')[0]
    assert all(len(l) <= 78 or b' ' not in l.strip() for l in head.split(b'\r\n')), head
    assert not re.search(rb'%([0-9A-F][A-F]|[A-F][0-9])', head), head
    uris = [u.strip().strip('<>') for u in str(msg['List-Unsubscribe']).split(',')]
    mailto = urllib.parse.urlsplit(uris[0])
    subject = urllib.parse.parse_qs(mailto.query)['subject'][0]
    https = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(uris[1]).query)) if len(uris) > 1 else {}
    print(mailto.scheme, mailto.path, subject, https.get('m', ''), https.get('n', ''), msg['List-Unsubscribe-Post'], sep='|')
)",
                                               args);
    ASSERT_EQ(result.ExitCode, 0) << result.Output;
    std::string expected;
    for (const Case& c : cases)
        expected += "mailto|" + c.mailto + "|unsubscribe|" + c.m + "|" + c.n + "|" +
                    (c.url.empty() ? "None" : "List-Unsubscribe=One-Click") + "\n";
    EXPECT_EQ(result.Output, expected);
}

TEST_F(ComplianceRunTest, TheFooterFollowsEveryBodyOnceInTheCharsetOfTheWholeMessage)
{
    struct Case {
        const char* name;
        bool advertising;
        std::string postal;
        std::vector<std::string> charsets;  // of the two messages
    };
    // The second entry's name is beyond JIS X 0208 (髙); ① in the footer
    // takes every message to UTF-8.
    const Case cases[] = {
        {"advertising, footer within JIS X 0208", true, "東京都千代田区1-1", {"iso-2022-jp", "utf-8"}},
        {"advertising, footer beyond it", true, "東京都千代田区①", {"utf-8", "utf-8"}},
        {"not advertising: no footer", false, "東京都千代田区1-1", {"iso-2022-jp", "utf-8"}},
    };
    SmtpSink sink;
    std::vector<std::string> args;
    for (const Case& c : cases) {
        WriteSettings(sink.Port(), Compliance("", "", c.advertising, c.postal));
        engine->Send(Request("a@example.jp\r\n髙橋 <b@example.jp>\r\n", "お知らせ", "本文です。\n"));
        ASSERT_TRUE(sink.WaitForMessages(args.size() / 2 + 2));
        for (int i = 0; i < 2; ++i) {
            args.push_back(sink.Message(args.size() / 2).Path);
            args.push_back(c.postal);
        }
    }
    const auto result = testsupport::RunPython(R"(
import email, email.policy, sys
for path, postal in zip(sys.argv[1::2], sys.argv[2::2]):
    msg = email.message_from_bytes(open(path, 'rb').read(), policy=email.policy.default)
    body = msg.get_content().replace('\r\n', '\n').lstrip('\n')
    shown = ['このメールは Taro から', '配信停止先：taro@example.jp', '住所：' + postal, '窓口：03-1234-5678']
    print(msg.get_content_charset(), body.startswith('本文です。\n\n') or body == '本文です。\n',
          *[body.count(s) for s in shown], sep='|')
)",
                                               args);
    ASSERT_EQ(result.ExitCode, 0) << result.Output;
    std::string expected;
    for (const Case& c : cases)
        for (const std::string& charset : c.charsets)
            expected += charset + "|True" + (c.advertising ? "|1|1|1|1\n" : "|0|0|0|0\n");
    EXPECT_EQ(result.Output, expected);
}

// The preview and the test send compose a row as the run does: its footer
// after the body and its List-Unsubscribe lines with the row's URL.
TEST_F(ComplianceRunTest, ThePreviewAndTheTestSendCarryTheRunsFooterAndHeaders)
{
    SmtpSink sink;
    WriteSettings(sink.Port(), Compliance("", "https://example.jp/stop?m={{メールアドレス}}", true));
    const TSendRequest request = Request("a@example.jp\r\nb@example.jp\r\n", "お知らせ", "本文です。\n");
    const std::unique_ptr<TListPreview> preview = engine->Preview(request);
    ASSERT_TRUE(preview);
    const TComposedRow row = preview->Compose(1);
    const std::string shown = ComposedText(row);
    EXPECT_NE(shown.find("\n\n本文です。\n\n" + row.Footer), std::string::npos) << shown;
    EXPECT_NE(row.Footer.find("住所：東京都千代田区1-1"), std::string::npos) << row.Footer;
    ASSERT_EQ(row.Headers.size(), 2u);
    for (const std::string& line : row.Headers)
        EXPECT_NE(shown.find("\n" + line + "\n"), std::string::npos) << shown;
    EXPECT_NE(row.Headers[0].find("<https://example.jp/stop?m=b%40example.jp>"), std::string::npos) << row.Headers[0];

    EXPECT_FALSE(engine->TestSend(request, 2, "").empty());
    ASSERT_TRUE(sink.WaitForMessages(1));
    const auto result = testsupport::RunPython(R"(
import email, email.policy, sys
msg = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)
body = msg.get_content().replace('\r\n', '\n').lstrip('\n')
print(msg['List-Unsubscribe'], msg['List-Unsubscribe-Post'], body.count('住所：東京都千代田区1-1'),
      body.startswith('本文です。\n\n'), sep='|')
)",
                                               {sink.Message(0).Path});
    ASSERT_EQ(result.ExitCode, 0) << result.Output;
    const std::string unsubscribe = "List-Unsubscribe: ", post = "List-Unsubscribe-Post: ";
    std::string unfolded = row.Headers[0].substr(unsubscribe.size());
    std::erase(unfolded, '\r');
    std::erase(unfolded, '\n');
    EXPECT_EQ(result.Output, unfolded + "|" + row.Headers[1].substr(post.size()) + "|1|True\n");
}

TEST_F(ComplianceRunTest, AdvertisingMailLackingARequiredItemIsRefusedBeforeConnecting)
{
    struct Case {
        const char* name;
        std::string settings;  // the whole file
        std::string footer;    // フッター.txt; empty: the built-in one
        std::string refusal;   // a part of the text
    };
    const std::string server = "127.0.0.1\r\n25\r\npc01\r\n";
    const std::string full = "{{送信者名}} {{住所}} {{問い合わせ先}} 配信停止 {{配信停止先}}";
    const Case cases[] = {
        {"line 4 empty", server + "\r\ntaro@example.jp\r\n" + Compliance("", "", true), "",
         "送信者名（設定.txt の 4 行目）が空です。"},
        {"line 16 empty", server + "Taro\r\ntaro@example.jp\r\n" + Compliance("", "", true, ""), "",
         "住所（設定.txt の 16 行目）が空です。"},
        {"line 17 empty", server + "Taro\r\ntaro@example.jp\r\n" + Compliance("", "", true, "東京都", " "), "",
         "問い合わせ先（設定.txt の 17 行目）が空です。"},
        {"footer without the postal address", server + "Taro\r\ntaro@example.jp\r\n" + Compliance("", "", true),
         "{{送信者名}} {{問い合わせ先}} {{配信停止先}}", "フッターに住所「東京都千代田区1-1」がありません。"},
        {"footer without the sender's name", server + "Taro\r\ntaro@example.jp\r\n" + Compliance("", "", true),
         "{{住所}} {{問い合わせ先}} {{配信停止先}}", "フッターに送信者名「Taro」がありません。"},
        {"footer without the contact", server + "Taro\r\ntaro@example.jp\r\n" + Compliance("", "", true),
         "{{送信者名}} {{住所}} {{配信停止先}}", "フッターに問い合わせ先「03-1234-5678」がありません。"},
        {"footer without a way to refuse", server + "Taro\r\ntaro@example.jp\r\n" + Compliance("", "", true),
         "{{送信者名}} {{住所}} {{問い合わせ先}}", "フッターに配信停止先「taro@example.jp」がありません。"},
        {"footer naming the target but not the right to refuse", server + "Taro\r\ntaro@example.jp\r\n" + Compliance("", "", true),
         "{{送信者名}} {{住所}} {{問い合わせ先}}\nご意見は {{配信停止先}} まで", "受信拒否できる旨がありません"},
        {"a field the list lacks", server + "Taro\r\ntaro@example.jp\r\n" + Compliance("", "https://example.jp/s?c={{会社名}}", false),
         "", "{{会社名}} は宛先リストにありません"},
        {"ISO-2022-JP chosen, footer beyond it",
         server + "Taro\r\ntaro@example.jp\r\n" + Compliance("", "", true, "東京都🍣", "03", "iso-2022-jp"), full,
         "宛先 1 行目のフッター 1 行目"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ui = TTestFrontEnd();
        testsupport::ScriptedPeer peer;  // says nothing: a connect would fail the Send differently
        peer.ExpectClose();
        peer.Start();
        std::string settings = c.settings;
        settings.replace(settings.find("\r\n25\r\n"), 6, "\r\n" + std::to_string(peer.Port()) + "\r\n");
        WriteFile("設定.txt", settings);
        std::filesystem::remove(std::filesystem::path(profile.Path()) / "フッター.txt");
        if (!c.footer.empty())
            WriteFile("フッター.txt", c.footer);
        const std::string failure = SendFailure(Request("a@example.jp\r\n"));
        EXPECT_NE(failure.find(c.refusal), std::string::npos) << failure;
        EXPECT_TRUE(ui.Confirmations.empty());
        EXPECT_EQ(peer.Connections(), 0);
    }
}

TEST_F(ComplianceRunTest, TheSenderDomainIsCheckedBeforeTheRunAndAMissingRecordAsked)
{
    struct Case {
        const char* name;
        QStringList records;
        bool answer;          // 続ける
        const char* asked;    // in the question; nullptr: none asked
        const char* noticed;  // in the notice; nullptr: none
        size_t sent;
    };
    const Case cases[] = {
        {"server silent: said, and the run goes on", {"--silent"}, false, nullptr, "1 秒以内に答えませんでした", 1},
        {"both records there", {"shop.co.jp=v=spf1 -all", "_dmarc.shop.co.jp=v=DMARC1; p=none"}, true, nullptr,
         nullptr, 1},
        {"DMARC missing, 中止", {"shop.co.jp=v=spf1 -all"}, false, "DMARC レコード", nullptr, 0},
        {"SPF missing, 続ける", {"shop.co.jp", "_dmarc.shop.co.jp=v=DMARC1; p=none"}, true, "SPF レコード", nullptr, 1},
    };
    SmtpSink sink;
    size_t before = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::DnsServer dns(c.records);
        if (dns.Denied())
            GTEST_SKIP() << "binding port 53 needs root";
        ui = TTestFrontEnd();
        ui.ContinueDomain = c.answer;
        engine->DomainCheck = {dns.Options().Nameserver, 1000};
        std::filesystem::remove(std::filesystem::path(profile.Path()) / DomainCheckFileName);
        WriteFile("設定.txt", "127.0.0.1\r\n" + std::to_string(sink.Port()) + "\r\npc01\r\nTaro\r\ntaro@shop.co.jp\r\n");
        engine->Send(Request("a@example.jp\r\n"));
        ASSERT_EQ(ui.Questions.size(), c.asked ? 1u : 0u);
        if (c.asked) {
            EXPECT_NE(ui.Questions[0].find(c.asked), std::string::npos) << ui.Questions[0];
        }
        EXPECT_EQ(ui.Notices.size(), c.noticed ? 1u : 0u);
        if (c.noticed && !ui.Notices.empty()) {
            EXPECT_NE(ui.Notices[0].find(c.noticed), std::string::npos) << ui.Notices[0];
        }
        EXPECT_EQ(ui.Confirmations.size(), c.sent);
        ASSERT_TRUE(sink.WaitForMessages(before + c.sent));
        before += c.sent;
        EXPECT_EQ(sink.MessageCount(), before);
    }
    // Once a day: the run after a complete check looks nothing up, and the
    // day's verdict (SPF missing) is asked about again, as a strict run
    // must refuse again.
    ui = TTestFrontEnd();
    ui.ContinueDomain = true;
    engine->Send(Request("b@example.jp\r\n"));
    ASSERT_EQ(ui.Questions.size(), 1u);
    EXPECT_NE(ui.Questions[0].find("SPF レコード"), std::string::npos) << ui.Questions[0];
    for (const std::string& status : ui.Statuses)
        EXPECT_EQ(status.find("確かめています"), std::string::npos) << status;
    EXPECT_EQ(ui.Confirmations.size(), 1u);
}

TEST_F(ComplianceRunTest, OnlyALoopbackNameserverIsTakenFromTheEnvironment)
{
    const struct {
        const char* value;
        bool taken;
    } cases[] = {{"127.3.4.5", true}, {"::1", true}, {"192.0.2.53", false}, {"dns.example.jp", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        setenv(DnsServerVariable, c.value, 1);
        try {
            EXPECT_EQ(TSendEngine(ui, TProfile{profile.Path()}).DomainCheck.Nameserver, c.value);
            EXPECT_TRUE(c.taken);
        } catch (const Exception& e) {
            EXPECT_FALSE(c.taken);
            EXPECT_NE(e.Message().find(DnsServerVariable), std::string::npos) << e.Message();
        }
    }
    unsetenv(DnsServerVariable);
}

}  // namespace
}  // namespace enginetest
