// A run over a pipelined connection, through the main window to the scripted
// peer behind a TLS relay: which commands arrive together, what the journal
// records, and the fall back to one command at a time.

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "engine/journal/Journal.h"
#include "engine/account/SettingsFile.h"
#include "app/Main.h"
#include "engine/run/SendRun.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/Certificates.h"
#include "tests/support/Helpers.h"
#include "tests/support/PostfixServer.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TlsRelay.h"

using namespace apptest;
using testsupport::ScriptedPeer;
using testsupport::TestCertificates;

namespace {

const std::string From = "taro@example.jp";

std::string Group(const std::string& rcpt)
{
    return "RSET\r\nMAIL FROM:<" + From + ">\r\nRCPT TO:<" + rcpt + ">\r\nDATA\r\n";
}

void Greet(ScriptedPeer& peer)
{
    peer.Accept().SendLine("220 ready").Expect("EHLO pc01.example.jp").Send("250-hello\r\n250 PIPELINING\r\n");
}

// After the fall back: each message command by command, then QUIT.
void OneAtATime(ScriptedPeer& p, std::initializer_list<const char*> rcpts)
{
    for (const char* rcpt : rcpts) {
        p.Expect("RSET").SendLine("250 ok").Expect("MAIL FROM:<" + From + ">").SendLine("250 ok");
        p.Expect(std::string("RCPT TO:<") + rcpt + ">").SendLine("250 ok").Expect("DATA").SendLine("354 go");
        p.ExpectUntil("\r\n.\r\n").SendLine("250 queued");
    }
    p.Expect("QUIT").SendLine("221 bye");
}

// The verdict on a message's text, then the replies to the group that came
// with it.
std::string Replies(const std::string& verdict, const std::string& rcpt = "250 ok", const std::string& data = "354 go")
{
    return (verdict.empty() ? "" : verdict + "\r\n") + "250 ok\r\n250 ok\r\n" + rcpt + "\r\n" + data + "\r\n";
}

struct Case {
    const char* name;
    std::function<void(ScriptedPeer&)> script;
    std::vector<std::string> rows;  // line|outcome in the journal's order
    std::string notice;             // the status bar's remark
};

size_t Occurrences(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

const std::string kFallBack = "サーバーがパイプライン処理に対応していないため、コマンドを 1 つずつ送ります";

class PipelineRunTest : public AppTest {
protected:
    static void SetUpTestSuite() { TestCertificates::Get().TrustAuthority(); }

    // Sends to three entries through a TLS relay to the scripted peer; the
    // journal's rows as line|outcome.
    std::vector<std::string> SendThree(ScriptedPeer& peer)
    {
        peer.Start();
        const TestCertificates& certs = TestCertificates::Get();
        testsupport::TlsRelay relay(peer.Port(), certs.Cert("valid"), certs.Key("valid"));
        WriteFile(SettingsFileName, "localhost\r\n" + std::to_string(relay.Port()) +
                                        "\r\npc01.example.jp\r\nTaro\r\n" + From + "\r\ntls\r\n\r\n");
        Form1->Edit1->setText(QString::fromStdString(WriteRecipients("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\n")));
        Form1->Edit2->setText("hello");
        Form1->Run().ReconnectDelaysMs = {0};
        Form1->Run().RetryDelayMs = 300;
        Summaries.clear();
        Boxes.clear();
        Click(Form1->Button4);
        testsupport::ExpectScriptDone(peer);
        std::vector<std::string> rows;
        EXPECT_EQ(Summaries.size(), 1u) << (Boxes.empty() ? "" : Boxes.back().Text);
        EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text;
        if (Summaries.empty())
            return rows;
        const std::string summary = Summaries.back().Text;
        const std::string marker = "送信記録: ";
        for (const auto& r : ParseCsv(ReadFile(summary.substr(summary.find(marker) + marker.size()))))
            if (r.size() > 2 && r[0] != "行")
                rows.push_back(r[0] + "|" + r[2]);
        return rows;
    }
};

TEST_F(PipelineRunTest, GroupsOnTheWireAndTheJournal)
{
    const std::string notice = kFallBack;
    const Case cases[] = {
        {"three messages",
         [](ScriptedPeer& p) {
             Greet(p);
             p.ExpectGroup(Group("a@example.jp")).Send(Replies(""));
             p.ExpectUntil("\r\n.\r\n").ExpectGroup(Group("b@example.jp")).Send(Replies("250 a"));
             p.ExpectUntil("\r\n.\r\n").ExpectGroup(Group("c@example.jp")).Send(Replies("250 b"));
             p.ExpectUntil("\r\n.\r\n").SendLine("250 c").Expect("QUIT").SendLine("221 bye");
         },
         {"1|送信済み", "2|送信済み", "3|送信済み"},
         ""},
        {"refused RCPT, DATA refused",
         [](ScriptedPeer& p) {
             Greet(p);
             p.ExpectGroup(Group("a@example.jp")).Send(Replies(""));
             p.ExpectUntil("\r\n.\r\n").ExpectGroup(Group("b@example.jp"));
             p.Send(Replies("250 a", "550 5.1.1 no such user", "554 5.5.1 no valid recipients"));
             p.ExpectGroup(Group("c@example.jp")).Send(Replies(""));
             p.ExpectUntil("\r\n.\r\n").SendLine("250 c").Expect("QUIT").SendLine("221 bye");
         },
         {"1|送信済み", "2|拒否", "3|送信済み"},
         ""},
        {"refused RCPT, DATA answered 354",
         [](ScriptedPeer& p) {
             Greet(p);
             p.ExpectGroup(Group("a@example.jp")).Send(Replies(""));
             p.ExpectUntil("\r\n.\r\n").ExpectGroup(Group("b@example.jp"));
             p.Send(Replies("250 a", "550 5.1.1 no such user", "354 go"));
             p.ExpectGroup(".\r\n").SendLine("554 5.5.1 no valid recipients");
             p.ExpectGroup(Group("c@example.jp")).Send(Replies(""));
             p.ExpectUntil("\r\n.\r\n").SendLine("250 c").Expect("QUIT").SendLine("221 bye");
         },
         {"1|送信済み", "2|拒否", "3|送信済み"},
         ""},
        {"MAIL refused for later, its RCPT and DATA refused in step",
         [](ScriptedPeer& p) {
             Greet(p);
             p.ExpectGroup(Group("a@example.jp")).Send(Replies(""));
             p.ExpectUntil("\r\n.\r\n").ExpectGroup(Group("b@example.jp"));
             p.Send("250 a\r\n250 ok\r\n451 4.7.1 slow down\r\n503 5.5.1 need MAIL\r\n503 5.5.1 need MAIL\r\n");
             p.ExpectGroup(Group("c@example.jp")).Send(Replies(""));
             // The deferred message once more, with c's text or after it.
             p.ExpectUntil("\r\n.\r\n").SendLine("250 c").ExpectGroup(Group("b@example.jp")).Send(Replies(""));
             p.ExpectUntil("\r\n.\r\n").SendLine("250 b").Expect("QUIT").SendLine("221 bye");
         },
         {"1|送信済み", "3|送信済み", "2|送信済み"},
         ""},
        {"503 to a pipelined MAIL",
         [](ScriptedPeer& p) {
             Greet(p);
             p.ExpectGroup(Group("a@example.jp")).Send(Replies(""));
             p.ExpectUntil("\r\n.\r\n").ExpectGroup(Group("b@example.jp"));
             p.Send("250 a\r\n250 ok\r\n503 5.5.1 bad sequence\r\n503 5.5.1 bad sequence\r\n354 go\r\n");
             p.ExpectClose();
             // The rest of the run, one command at a time.
             Greet(p);
             OneAtATime(p, {"b@example.jp", "c@example.jp"});
         },
         {"1|送信済み", "2|送信済み", "3|送信済み"},
         notice},
        {"a reply that fits no command",
         [](ScriptedPeer& p) {
             Greet(p);
             p.ExpectGroup(Group("a@example.jp")).Send("354 go\r\n").ExpectClose();
             Greet(p);
             OneAtATime(p, {"a@example.jp", "b@example.jp", "c@example.jp"});
         },
         {"1|送信済み", "2|送信済み", "3|送信済み"},
         notice},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        c.script(peer);
        EXPECT_EQ(SendThree(peer), c.rows);
        EXPECT_EQ(Form1->findChild<QLabel*>("NoticeLabel")->text().toStdString(), c.notice);
    }
}

// A refused RSET or MAIL in a group whose other commands the server took:
// DATA's go-ahead gets no byte but the close (a lone "." would store an empty
// message), and the message goes once, whole, on the next connection, the
// rest one command at a time.
TEST_F(PipelineRunTest, RefusedResetOrMailClosesWithoutAnsweringTheGoAhead)
{
    const char* refusals[] = {"451 4.3.2 try later", "554 5.3.0 refused", "503 5.5.1 bad sequence"};
    for (const char* command : {"RSET", "MAIL"}) {
        for (const char* refusal : refusals) {
            SCOPED_TRACE(std::string(command) + " " + refusal);
            const std::string reset = command == std::string("RSET") ? refusal : "250 ok";
            const std::string mail = command == std::string("MAIL") ? refusal : "250 ok";
            ScriptedPeer peer;
            Greet(peer);
            peer.ExpectGroup(Group("a@example.jp")).Send(Replies(""));
            peer.ExpectUntil("\r\n.\r\n").ExpectGroup(Group("b@example.jp"));
            peer.Send("250 a\r\n" + reset + "\r\n" + mail + "\r\n250 ok\r\n354 go\r\n").ExpectClose();
            Greet(peer);
            OneAtATime(peer, {"b@example.jp", "c@example.jp"});
            EXPECT_EQ(SendThree(peer), (std::vector<std::string>{"1|送信済み", "2|送信済み", "3|送信済み"}));
            const std::string got = peer.Received();
            EXPECT_EQ(Occurrences(got, "\r\n.\r\n"), 3u) << "a message ended with a lone dot";
            EXPECT_EQ(Occurrences(got, "\r\nTo: b@example.jp\r\n"), 1u);
            EXPECT_EQ(Occurrences(got, "RCPT TO:<b@example.jp>"), 2u);
            EXPECT_EQ(Form1->findChild<QLabel*>("NoticeLabel")->text().toStdString(), kFallBack);
        }
    }
}

TEST_F(PipelineRunTest, PostfixTakesEveryMessageOnceWithoutAPipeliningComplaint)
{
    if (const std::string why = testsupport::PostfixServer::Unavailable(); !why.empty())
        GTEST_SKIP() << why;
    const TestCertificates& certs = TestCertificates::Get();
    testsupport::PostfixServer postfix("smtpd_forbid_unauth_pipelining = yes", certs.Cert("valid"), certs.Key("valid"));
    WriteFile(SettingsFileName, "localhost\r\n" + std::to_string(postfix.Port()) +
                                    "\r\npc01.example.jp\r\nTaro\r\n" + From + "\r\nstarttls\r\n\r\n");
    constexpr int Count = 200;
    std::string entries;
    for (int i = 0; i < Count; ++i)
        entries += "rcpt" + std::to_string(i) + "@example.jp\r\n";
    Form1->Edit1->setText(QString::fromStdString(WriteRecipients(entries)));
    Form1->Edit2->setText("hello");
    Click(Form1->Button4);
    ASSERT_EQ(Summaries.size(), 1u) << (Boxes.empty() ? "" : Boxes.back().Text);
    EXPECT_TRUE(Boxes.empty()) << Boxes.front().Text;
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    // The queue manager hands the messages on after the session.
    ASSERT_TRUE(WaitUntil([&] { return count(postfix.Log(), "status=sent") >= Count; }, 120000)) << postfix.Log();
    const std::string log = postfix.Log();
    EXPECT_EQ(log.find("pipelining"), std::string::npos) << log;
    EXPECT_NE(log.find("mail=200 rcpt=200 data=200 rset=200"), std::string::npos) << log;
    for (int i = 0; i < Count; ++i)
        EXPECT_EQ(count(log, "to=<rcpt" + std::to_string(i) + "@example.jp>"), 1u) << i;
}

}  // namespace
