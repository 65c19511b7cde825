// The fault matrix: a server that misbehaves in every phase of a two-message
// run, driven through the real main window, with a broken connection ended
// and, for the phases of a transaction, opened again. In every cell the run
// ends (Abort where the server stalls, the reply time-out where it falls
// silent), Edit3 counts exactly the messages the server accepted, no message
// goes out twice, a message whose "." went out without a clear verdict is
// 不明, only a failed connection shows an error box, and the next Send
// against a good server works. A 4xx to a message defers it: the run sends
// it once more after a short wait and the server then takes it. The RSET
// and MAIL phases also run pipelined (EHLO over TLS): there any fault but a
// longer reply breaks the connection, and a go-ahead after a refused command
// gets no byte but the close.
#include <algorithm>
#include <optional>
#include <set>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/Main.h"
#include "engine/run/SendRun.h"
#include "engine/account/SettingsFile.h"
#include "smtp/NMsmtp.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/Certificates.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TlsRelay.h"

using namespace apptest;
using testsupport::ScriptedPeer;

namespace {

enum class Phase { Greeting, Helo, Rset, Mail, Rcpt, Data, Text, AfterDot, Quit };
enum class Fault { Close, Reset, Stall, Silent, Garbage, HugeLine, Garbled, MultiLine, Temporary, Permanent };

struct PhaseCase {
    Phase phase;
    const char* name;
    const char* command;  // what the client sends in this phase ("" for none)
    const char* code;     // the good reply's code
    bool perMessage;      // the phase recurs per message; the fault hits the second
};

const PhaseCase kPhases[] = {
    {Phase::Greeting, "Greeting", "", "220", false},
    {Phase::Helo, "Helo", "HELO pc01", "250", false},
    {Phase::Rset, "Rset", "RSET", "250", true},
    {Phase::Mail, "Mail", "MAIL FROM:<taro@example.jp>", "250", true},
    {Phase::Rcpt, "Rcpt", "RCPT TO:<b@example.jp>", "250", true},
    {Phase::Data, "Data", "DATA", "354", true},
    {Phase::Text, "Text", "", "250", true},
    {Phase::AfterDot, "AfterDot", "", "250", true},
    {Phase::Quit, "Quit", "QUIT", "221", false},
};

struct FaultCase {
    Fault fault;
    const char* name;
    const char* reply;  // the reply line of the faults that are one
};

const FaultCase kFaults[] = {
    {Fault::Close, "close", ""},
    {Fault::Reset, "reset", ""},
    {Fault::Stall, "stall, then Abort", ""},
    {Fault::Silent, "silence until the reply time-out", ""},
    {Fault::Garbage, "garbage without line end", ""},
    {Fault::HugeLine, "a 1 MiB line", ""},
    {Fault::Garbled, "code 600", "600 out of range"},
    {Fault::Garbled, "code 999", "999 stored"},
    {Fault::Garbled, "code 2500", "2500 stored"},
    {Fault::Garbled, "code beyond 16 bits", "99999 stored"},
    {Fault::Garbled, "a reply without code", "message not queued"},
    {Fault::MultiLine, "a multi-line reply", ""},
    {Fault::Temporary, "4xx", "451 4.3.0 try again later"},
    {Fault::Permanent, "5xx", "554 5.7.1 refused"},
};

// A pipelined group's commands in a refusal the component must not take
// for the server's verdict.
const FaultCase kBadSequence{Fault::Permanent, "503", "503 5.5.1 bad sequence"};

// The reply time-out of the silent cells: long beside a loopback reply.
constexpr int32_t kSilentTimeoutMs = 1000;

size_t Count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + part.size()))
        ++n;
    return n;
}

// How the faulty cell leaves the run.
enum class Ends {
    Sent,          // both messages delivered
    Deferred,      // the second deferred, then delivered
    Refused,       // the second refused
    Unknown,       // the second's "." went out without a clear verdict: 不明
    Broken,        // the connection broke before the second's "."
    Stopped,       // Abort
    NotConnected,  // the connection never opened
};

Ends Of(const PhaseCase& p, const FaultCase& f, bool pipelined = false)
{
    if (f.fault == Fault::MultiLine || p.phase == Phase::Quit)
        return Ends::Sent;
    if (f.fault == Fault::Stall)
        return Ends::Stopped;
    // A refused RSET or MAIL leaves the group out of step: nothing of it
    // counts, whatever the server said to the rest.
    if (pipelined)
        return Ends::Broken;
    if (!p.perMessage)
        return Ends::NotConnected;
    if (f.fault == Fault::Temporary)
        return Ends::Deferred;
    if (f.fault == Fault::Permanent)
        return Ends::Refused;
    // A reply in the text is read after the "." went out.
    if (p.phase == Phase::Text || p.phase == Phase::AfterDot)
        return Ends::Unknown;
    // A recipient refused with a reply that could be read still goes on to
    // DATA; a code beyond 16 bits cannot be read at all.
    if (p.phase == Phase::Rcpt && f.fault == Fault::Garbled && std::string(f.reply) != "99999 stored")
        return Ends::Refused;
    return Ends::Broken;
}

// The good exchange of a phase: what the server expects, then its reply.
void Good(ScriptedPeer& peer, const PhaseCase& p, const std::string& rcpt)
{
    switch (p.phase) {
    case Phase::Greeting: peer.SendLine("220 ready"); return;
    case Phase::Helo: peer.Expect("HELO pc01").SendLine("250 hello"); return;
    case Phase::Rset: peer.Expect("RSET").SendLine("250 OK"); return;
    case Phase::Mail: peer.Expect("MAIL FROM:<taro@example.jp>").SendLine("250 OK"); return;
    case Phase::Rcpt: peer.Expect("RCPT TO:<" + rcpt + ">").SendLine("250 OK"); return;
    case Phase::Data: peer.Expect("DATA").SendLine("354 go ahead"); return;
    case Phase::Text: peer.ExpectUntil("\r\n.\r\n"); return;
    case Phase::AfterDot: peer.SendLine("250 queued"); return;
    case Phase::Quit: peer.Expect("QUIT").SendLine("221 bye"); return;
    }
}

// What follows the faulty exchange of a phase.
enum class After { GoOn, Retry, Reopen, Done };

After Faulty(ScriptedPeer& peer, const PhaseCase& p, const FaultCase& f, bool reconnects)
{
    // What the server has read when it misbehaves.
    if (p.phase == Phase::Text)
        peer.ExpectUntil("\r\n");  // the first header line of the text
    else if (p.phase == Phase::Rcpt)
        peer.Expect("RCPT TO:<b@example.jp>");
    else if (*p.command)
        peer.Expect(p.command);
    switch (f.fault) {
    case Fault::Close: peer.Close(); break;
    case Fault::Reset: peer.Reset(); break;
    case Fault::Stall: peer.WaitForRelease(); return After::Done;
    case Fault::Silent: break;  // the script ends with the connection open
    case Fault::Garbage: peer.Send("garbage without line end").Close(); break;
    case Fault::HugeLine: peer.Send(std::string(1 << 20, 'x') + "\r\n"); break;
    case Fault::MultiLine:
        peer.SendLine(std::string(p.code) + "-first line").SendLine(std::string(p.code) + " last line");
        if (p.phase == Phase::Text)
            peer.ExpectUntil("\r\n.\r\n");
        return After::GoOn;
    default: peer.SendLine(f.reply); break;
    }
    const Ends ends = Of(p, f);
    if (ends == Ends::Broken)
        return reconnects ? After::Reopen : After::Done;
    if (f.fault == Fault::Silent || f.fault == Fault::Close || f.fault == Fault::Reset || f.fault == Fault::Garbage)
        return After::Done;
    if (p.phase == Phase::Text)
        peer.ExpectUntil("\r\n.\r\n");  // the early reply is the one read after "."
    // A refused recipient does not end the transaction: DATA gets the refusal.
    if (p.phase == Phase::Rcpt)
        peer.Expect("DATA").SendLine("554 5.5.1 no valid recipients");
    if (ends == Ends::Deferred)
        return After::Retry;
    // The component says QUIT after a failed greeting or HELO, the run after
    // its last message on a connection still open.
    peer.Expect("QUIT").SendLine("221 bye");
    return After::Done;
}

// The whole script: two messages, the fault in its phase (in the second
// message for the phases of a transaction).
void Script(ScriptedPeer& peer, const PhaseCase& p, const FaultCase& f, bool reconnects)
{
    const std::vector<Phase> order{Phase::Greeting, Phase::Helo};
    const std::vector<Phase> message{Phase::Rset, Phase::Mail, Phase::Rcpt, Phase::Data, Phase::Text, Phase::AfterDot};
    auto good = [&peer](Phase ph, const std::string& rcpt) { Good(peer, kPhases[static_cast<size_t>(ph)], rcpt); };
    bool answered = false;  // an early reply in the text stands for the one after "."
    After after = After::GoOn;
    auto step = [&](Phase ph, int n) {
        const PhaseCase& c = kPhases[static_cast<size_t>(ph)];
        const bool hit = ph == p.phase && (!c.perMessage || n == 2);
        if (hit) {
            answered = ph == Phase::Text;
            after = Faulty(peer, c, f, reconnects);
            return after == After::GoOn;
        }
        if (!(ph == Phase::AfterDot && answered))
            good(ph, n == 1 ? "a@example.jp" : "b@example.jp");
        return true;
    };
    for (Phase ph : order)
        if (!step(ph, 0))
            return;
    for (int n = 1; n <= 2; ++n)
        for (Phase ph : message)
            if (!step(ph, n))
                break;
    if (after == After::Done)
        return;
    if (after == After::Reopen) {
        // The run opens the connection anew and sends the second message again.
        peer.Accept();
        good(Phase::Greeting, "");
        good(Phase::Helo, "");
    }
    if (after != After::GoOn) {
        // The deferred or broken message once more; the server takes it.
        for (Phase ph : message)
            good(ph, "b@example.jp");
    }
    step(Phase::Quit, 0);
}

const char* const kPipelinedGreeting = "250-hello\r\n250 PIPELINING\r\n";

std::string Group(const std::string& rcpt)
{
    return "RSET\r\nMAIL FROM:<taro@example.jp>\r\nRCPT TO:<" + rcpt + ">\r\nDATA\r\n";
}

// The faults after which the component goes on one command at a time: the
// server answered, but not as the group was written, or not in time.
bool FallsBack(const FaultCase& f)
{
    return f.fault == Fault::Silent || f.fault == Fault::Garbled || f.fault == Fault::Temporary ||
           f.fault == Fault::Permanent;
}

// The pipelined run: the second message's group comes with the first one's
// text, and the fault replaces the reply to its RSET or MAIL; the server
// takes every other command of the group, DATA included.
void PipelinedScript(ScriptedPeer& peer, const PhaseCase& p, const FaultCase& f, bool reconnects)
{
    peer.SendLine("220 ready").Expect("EHLO pc01").Send(kPipelinedGreeting);
    peer.ExpectGroup(Group("a@example.jp")).Send("250 OK\r\n250 OK\r\n250 OK\r\n354 go ahead\r\n");
    peer.ExpectUntil("\r\n.\r\n").ExpectGroup(Group("b@example.jp"));
    std::string before = "250 queued\r\n";
    if (p.phase == Phase::Mail)
        before += "250 OK\r\n";
    const std::string after = std::string(p.phase == Phase::Rset ? "250 OK\r\n" : "") + "250 OK\r\n354 go ahead\r\n";
    switch (f.fault) {
    case Fault::Close: peer.Send(before).Close(); break;
    case Fault::Reset: peer.Send(before).Reset(); break;
    case Fault::Stall: peer.Send(before).WaitForRelease(); return;
    case Fault::Silent: peer.Send(before); break;
    case Fault::Garbage: peer.Send(before + "garbage without line end").Close(); break;
    case Fault::HugeLine: peer.Send(before + std::string(1 << 20, 'x') + "\r\n"); break;
    case Fault::MultiLine:
        peer.Send(before + "250-first line\r\n250 last line\r\n" + after);
        peer.ExpectUntil("\r\n.\r\n").SendLine("250 queued").Expect("QUIT").SendLine("221 bye");
        return;
    default:
        // All in one write, as a pipelining server answers; the go-ahead
        // must get no byte but the close.
        peer.Send(before + f.reply + "\r\n" + after).ExpectClose();
        break;
    }
    if (!reconnects)
        return;
    peer.Accept().SendLine("220 ready").Expect("EHLO pc01").Send(kPipelinedGreeting);
    if (FallsBack(f)) {
        peer.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<taro@example.jp>").SendLine("250 OK");
        peer.Expect("RCPT TO:<b@example.jp>").SendLine("250 OK").Expect("DATA").SendLine("354 go ahead");
    } else {
        peer.ExpectGroup(Group("b@example.jp")).Send("250 OK\r\n250 OK\r\n250 OK\r\n354 go ahead\r\n");
    }
    peer.ExpectUntil("\r\n.\r\n").SendLine("250 queued").Expect("QUIT").SendLine("221 bye");
}

// When a stalled server is in the phase: what the client has sent by then.
bool Reached(const ScriptedPeer& peer, const PhaseCase& p)
{
    const std::string got = peer.Received();
    switch (p.phase) {
    case Phase::Greeting: return Form1->NMSMTP1->Connected;
    case Phase::Helo: return Count(got, "HELO") >= 1;
    case Phase::Text: return Count(got, "From: ") >= 2;
    case Phase::AfterDot: return Count(got, "\r\n.\r\n") >= 2;
    case Phase::Quit: return Count(got, "QUIT") >= 1;
    default: return Count(got, p.command) >= 2 || (p.phase == Phase::Rcpt && Count(got, p.command) >= 1);
    }
}

int Accepted(const PhaseCase& p, const FaultCase& f, bool reconnects, bool pipelined = false)
{
    switch (Of(p, f, pipelined)) {
    case Ends::Sent:
    case Ends::Deferred: return 2;
    case Ends::Broken: return reconnects ? 2 : 1;
    default: return p.perMessage ? 1 : 0;
    }
}

// The last "n/2" Edit3 showed; 0 when none.
int Progress(const Watch& watch)
{
    int sent = 0;
    for (const std::string& text : watch.progress)
        if (text.size() == 3 && text[1] == '/')
            sent = text[0] - '0';
    return sent;
}

struct Cell {
    PhaseCase phase;
    bool reconnects;
    bool pipelined = false;
};

void PrintTo(const Cell& c, std::ostream* os)
{
    *os << c.phase.name << (c.pipelined ? " pipelined" : "") << (c.reconnects ? " reconnecting" : "");
}

// Reopening happens between the messages of a run only: the other phases
// run with it off.
std::vector<Cell> Cells()
{
    std::vector<Cell> cells;
    for (const PhaseCase& p : kPhases) {
        cells.push_back({p, false});
        if (p.perMessage)
            cells.push_back({p, true});
    }
    for (Phase ph : {Phase::Rset, Phase::Mail})
        for (bool reconnects : {false, true})
            cells.push_back({kPhases[static_cast<size_t>(ph)], reconnects, true});
    return cells;
}

class FaultMatrixTest : public AppTest, public ::testing::WithParamInterface<Cell> {
protected:
    static void SetUpTestSuite() { testsupport::TestCertificates::Get().TrustAuthority(); }

    // Pipelined: EHLO over TLS through a relay (a plain session says HELO
    // and sends one command at a time).
    void Use(uint16_t port, const std::string& recipients, bool reconnects = false, int32_t replyTimeoutMs = 0,
             bool pipelined = false)
    {
        // One quick try at opening a broken connection again, or none.
        Form1->Run().ReconnectDelaysMs = reconnects ? std::vector<int64_t>{20} : std::vector<int64_t>{};
        Form1->Run().RetryDelayMs = 50;
        const int32_t t = replyTimeoutMs;
        Form1->NMSMTP1->ReplyTimeouts = t ? TSmtpTimeouts{t, t, t, t, t} : TSmtpTimeouts::Recommended();
        if (pipelined)
            WriteFile(SettingsFileName, "localhost\r\n" + std::to_string(port) + "\r\npc01\r\nTaro\r\ntaro@example.jp\r\ntls\r\n");
        else
            WriteSettings("127.0.0.1", std::to_string(port), "pc01", "Taro", "taro@example.jp");
        // A subject of its own: a run the last cell broke off is no run
        // to resume here.
        Form1->Edit2->setText(QString("subject %1").arg(++runs_));
        Form1->Memo1->setPlainText("body");
        Form1->Edit1->setText(QString::fromStdString(WriteRecipients(recipients)));
    }
    int runs_ = 0;
};

TEST_P(FaultMatrixTest, EveryFault)
{
    const PhaseCase& p = GetParam().phase;
    const bool reconnects = GetParam().reconnects;
    const bool pipelined = GetParam().pipelined;
    std::vector<FaultCase> faults(std::begin(kFaults), std::end(kFaults));
    if (pipelined)
        faults.push_back(kBadSequence);
    for (const FaultCase& f : faults) {
        SCOPED_TRACE(std::string(p.name) + " x " + f.name);
        const Ends ends = Of(p, f, pipelined);
        Boxes.clear();
        {
            ScriptedPeer bad;
            bad.SetStepTimeout(3000);
            if (pipelined)
                PipelinedScript(bad, p, f, reconnects);
            else
                Script(bad, p, f, reconnects);
            bad.Start();
            std::optional<testsupport::TlsRelay> relay;
            if (pipelined) {
                const auto& certs = testsupport::TestCertificates::Get();
                relay.emplace(bad.Port(), certs.Cert("valid"), certs.Key("valid"));
            }
            Use(relay ? relay->Port() : bad.Port(), "a@example.jp\r\nb@example.jp\r\n", reconnects,
                f.fault == Fault::Silent ? kSilentTimeoutMs : 0, pipelined);
            Watch watch;
            When abort([&] { return f.fault == Fault::Stall && Reached(bad, p); }, [] { Click(Form1->Button5); });
            Click(Form1->Button4);
            EXPECT_EQ(f.fault == Fault::Stall, abort.Done());
            EXPECT_EQ(Progress(watch), Accepted(p, f, reconnects, pipelined)) << ::testing::PrintToString(watch.progress);
            // An error box for a connection that never opened only (the
            // window's own notices may come with it); a failed QUIT after
            // every outcome is known is none.
            EXPECT_EQ(std::count_if(Boxes.begin(), Boxes.end(), [](const auto& b) { return b.Type == mtError; }),
                      ends == Ends::NotConnected ? 1 : 0)
                << ::testing::PrintToString(BoxTexts());
            if (f.fault == Fault::MultiLine) {
                EXPECT_TRUE(Boxes.empty()) << ::testing::PrintToString(BoxTexts());
            }
            if (ends != Ends::Stopped) {
                const std::string counts = Form1->findChild<QLabel*>("CountsLabel")->text().toStdString();
                EXPECT_EQ(counts.find("不明 1 件") != std::string::npos, ends == Ends::Unknown) << counts;
                // A group out of step leaves its message for the next connection.
                if (pipelined && ends == Ends::Broken && !reconnects) {
                    EXPECT_NE(counts.find("未送信 1 件"), std::string::npos) << counts;
                }
            }
            // A QUIT that fails after every outcome is known is told as
            // harmless; one the server closed at is no failure at all.
            if (p.phase == Phase::Quit && f.fault != Fault::Stall) {
                const bool failed =
                    f.fault != Fault::Close && f.fault != Fault::Garbage && f.fault != Fault::MultiLine;
                EXPECT_EQ(std::any_of(watch.status.begin(), watch.status.end(),
                                      [](const std::string& t) { return t.find("送り直す必要はありません") != std::string::npos; }),
                          failed)
                    << ::testing::PrintToString(watch.status);
            }
            // Only the deferred or broken message goes out again.
            const bool resent = ends == Ends::Deferred || (ends == Ends::Broken && reconnects);
            const size_t again = resent ? 1 : 0;
            const std::string got = bad.Received();
            EXPECT_LE(Count(got, "RCPT TO:<a@example.jp>"), 1u);
            EXPECT_LE(Count(got, "RCPT TO:<b@example.jp>"), 1u + again);
            EXPECT_LE(Count(got, "\r\n.\r\n"), 2u + again);
            // Pipelined, each message's text ends once: no lone "." after a
            // go-ahead, and the close the script expects came.
            if (pipelined && f.fault != Fault::Stall) {
                EXPECT_EQ(Count(got, "\r\n.\r\n"), static_cast<size_t>(Accepted(p, f, reconnects, true)));
            }
            const bool refusal = f.fault == Fault::Temporary || f.fault == Fault::Permanent;
            if (resent || (pipelined && refusal)) {
                EXPECT_TRUE(bad.WaitDone(3000));
                EXPECT_TRUE(bad.ScriptUsedUp()) << bad.Failure();
            }
            // A connection a failure left open is closed as the user would.
            if (Form1->NMSMTP1->Connected)
                Click(Form1->Button5);
            EXPECT_FALSE(Form1->NMSMTP1->Connected);
        }
        Boxes.clear();
        ScriptedPeer good;
        good.SendLine("220 ready").Expect("HELO pc01").SendLine("250 hello");
        good.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<taro@example.jp>").SendLine("250 OK");
        good.Expect("RCPT TO:<c@example.jp>").SendLine("250 OK").Expect("DATA").SendLine("354 go");
        good.ExpectUntil("\r\n.\r\n").SendLine("250 queued").Expect("QUIT").SendLine("221 bye");
        good.Start();
        Use(good.Port(), "c@example.jp\r\n");
        Watch watch;
        Click(Form1->Button4);
        EXPECT_TRUE(good.WaitDone(3000));
        EXPECT_TRUE(good.ScriptUsedUp()) << good.Failure();
        EXPECT_TRUE(Boxes.empty()) << ::testing::PrintToString(BoxTexts());
        EXPECT_EQ(Progress(watch), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Phases, FaultMatrixTest, ::testing::ValuesIn(Cells()),
                         [](const ::testing::TestParamInfo<Cell>& info) {
                             return std::string(info.param.phase.name) + (info.param.pipelined ? "Pipelined" : "") +
                                    (info.param.reconnects ? "Reconnecting" : "");
                         });

}  // namespace

// A reset right after the connection opens is reported the same way in
// every run, not sometimes as a failed connect.
TEST_F(FaultMatrixTest, AResetRightAfterTheConnectIsReportedOneWay)
{
    std::set<std::string> reports;
    for (int run = 0; run < 8; ++run) {
        Boxes.clear();
        ScriptedPeer peer;
        peer.Accept().Reset();
        peer.Start();
        Use(peer.Port(), "a@example.jp\r\n");
        Click(Form1->Button4);
        EXPECT_FALSE(Form1->NMSMTP1->Connected);
        reports.insert(::testing::PrintToString(BoxTexts()));
    }
    EXPECT_EQ(reports.size(), 1u) << ::testing::PrintToString(reports);
}

// A failed connect leaves a socket that cannot connect again; the next Send,
// with the settings corrected, must get a fresh one.
TEST_F(FaultMatrixTest, AfterAFailedConnectTheNextSendConnects)
{
    uint16_t closedPort = 0;
    {
        ScriptedPeer gone;  // a port that nothing listens on once it is gone
        closedPort = gone.Port();
    }
    Use(closedPort, "a@example.jp\r\n");
    Click(Form1->Button4);
    ASSERT_FALSE(Boxes.empty());
    EXPECT_FALSE(Form1->NMSMTP1->Connected);

    Boxes.clear();
    ScriptedPeer good;
    good.SendLine("220 ready").Expect("HELO pc01").SendLine("250 hello");
    good.Expect("RSET").SendLine("250 OK").Expect("MAIL FROM:<taro@example.jp>").SendLine("250 OK");
    good.Expect("RCPT TO:<a@example.jp>").SendLine("250 OK").Expect("DATA").SendLine("354 go");
    good.ExpectUntil("\r\n.\r\n").SendLine("250 queued").Expect("QUIT").SendLine("221 bye");
    good.Start();
    Use(good.Port(), "a@example.jp\r\n");
    Click(Form1->Button4);
    EXPECT_TRUE(good.WaitDone(3000));
    EXPECT_TRUE(good.ScriptUsedUp()) << good.Failure();
    EXPECT_TRUE(Boxes.empty()) << ::testing::PrintToString(BoxTexts());
}
