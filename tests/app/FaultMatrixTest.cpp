// The fault matrix: a server that misbehaves in every phase of a two-message
// run, driven through the real main window. In every cell the run ends
// (Abort where the server stalls), Edit3 counts exactly the messages the
// server accepted, no message goes out twice, and the next Send against a
// good server works. A 4xx to a message defers it: the run sends it once
// more after a short wait and the server then takes it.
#include <algorithm>
#include <set>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/Main.h"
#include "app/SendRun.h"
#include "smtp/NMsmtp.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedPeer.h"

using namespace apptest;
using testsupport::ScriptedPeer;

namespace {

enum class Phase { Greeting, Helo, Rset, Mail, Rcpt, Data, Text, AfterDot, Quit };
enum class Fault { Close, Reset, Stall, Garbage, HugeLine, CodeOutOfRange, NoCode, MultiLine, Temporary, Permanent };

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

const std::pair<Fault, const char*> kFaults[] = {
    {Fault::Close, "close"},
    {Fault::Reset, "reset"},
    {Fault::Stall, "stall, then Abort"},
    {Fault::Garbage, "garbage without line end"},
    {Fault::HugeLine, "a 1 MiB line"},
    {Fault::CodeOutOfRange, "a code out of range"},
    {Fault::NoCode, "a reply without code"},
    {Fault::MultiLine, "a multi-line reply"},
    {Fault::Temporary, "4xx"},
    {Fault::Permanent, "5xx"},
};

size_t Count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + part.size()))
        ++n;
    return n;
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

// A 4xx to a message defers it: the run tries it again after the others.
bool Deferred(const PhaseCase& p, Fault f)
{
    return f == Fault::Temporary && p.perMessage;
}

// What follows the faulty exchange of a phase.
enum class After { GoOn, Retry, Done };

After Faulty(ScriptedPeer& peer, const PhaseCase& p, Fault f)
{
    // What the server has read when it misbehaves.
    if (p.phase == Phase::Text)
        peer.ExpectUntil("\r\n");  // the first header line of the text
    else if (p.phase == Phase::Rcpt)
        peer.Expect("RCPT TO:<b@example.jp>");
    else if (*p.command)
        peer.Expect(p.command);
    switch (f) {
    case Fault::Close: peer.Close(); return After::Done;
    case Fault::Reset: peer.Reset(); return After::Done;
    case Fault::Stall: peer.WaitForRelease(); return After::Done;
    case Fault::Garbage: peer.Send("garbage without line end").Close(); return After::Done;
    case Fault::HugeLine: peer.Send(std::string(1 << 20, 'x') + "\r\n"); break;
    case Fault::CodeOutOfRange: peer.SendLine("600 out of range"); break;
    case Fault::NoCode: peer.SendLine("message not queued"); break;
    case Fault::MultiLine: peer.SendLine(std::string(p.code) + "-first line").SendLine(std::string(p.code) + " last line"); break;
    case Fault::Temporary: peer.SendLine("451 4.3.0 try again later"); break;
    case Fault::Permanent: peer.SendLine("554 5.7.1 refused"); break;
    }
    if (p.phase == Phase::Text)
        peer.ExpectUntil("\r\n.\r\n");  // the early reply is the one read after "."
    if (f == Fault::MultiLine)
        return After::GoOn;
    // A refused recipient does not end the transaction: DATA gets the refusal.
    if (p.phase == Phase::Rcpt && f != Fault::HugeLine)
        peer.Expect("DATA").SendLine("554 5.5.1 no valid recipients");
    if (Deferred(p, f))
        return After::Retry;
    // The component says QUIT after a failed greeting or HELO; the window's
    // Abort says it on a connection a failure left open.
    peer.Expect("QUIT").SendLine("221 bye");
    return After::Done;
}

// The whole script: two messages, the fault in its phase (in the second
// message for the phases of a transaction).
void Script(ScriptedPeer& peer, const PhaseCase& p, Fault f)
{
    const std::vector<Phase> order{Phase::Greeting, Phase::Helo};
    const std::vector<Phase> message{Phase::Rset, Phase::Mail, Phase::Rcpt, Phase::Data, Phase::Text, Phase::AfterDot};
    bool answered = false;  // an early reply in the text stands for the one after "."
    After after = After::GoOn;
    auto step = [&](Phase ph, int n) {
        const PhaseCase& c = kPhases[static_cast<size_t>(ph)];
        const bool hit = ph == p.phase && (!c.perMessage || n == 2);
        if (hit) {
            answered = ph == Phase::Text;
            after = Faulty(peer, c, f);
            return after == After::GoOn;
        }
        if (!(ph == Phase::AfterDot && answered))
            Good(peer, c, n == 1 ? "a@example.jp" : "b@example.jp");
        return true;
    };
    for (Phase ph : order)
        if (!step(ph, 0))
            return;
    for (int n = 1; n <= 2; ++n)
        for (Phase ph : message)
            if (!step(ph, n))
                break;
    if (after == After::Retry) {
        // The deferred message once more, after the wait; the server takes it.
        for (Phase ph : message)
            Good(peer, kPhases[static_cast<size_t>(ph)], "b@example.jp");
    } else if (after == After::Done) {
        return;
    }
    step(Phase::Quit, 0);
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

int Accepted(const PhaseCase& p, Fault f)
{
    if (f == Fault::MultiLine || p.phase == Phase::Quit || Deferred(p, f))
        return 2;
    return p.perMessage ? 1 : 0;
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

class FaultMatrixTest : public AppTest, public ::testing::WithParamInterface<PhaseCase> {
protected:
    void Use(uint16_t port, const std::string& recipients)
    {
        // A broken connection ends the run here instead of being reopened
        // (the runs' own tests cover reconnecting).
        Form1->Run().ReconnectDelaysMs = {};
        Form1->Run().RetryDelayMs = 50;
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
    const PhaseCase& p = GetParam();
    for (const auto& [fault, what] : kFaults) {
        SCOPED_TRACE(std::string(p.name) + " x " + what);
        Boxes.clear();
        {
            ScriptedPeer bad;
            bad.SetStepTimeout(3000);
            Script(bad, p, fault);
            bad.Start();
            Use(bad.Port(), "a@example.jp\r\nb@example.jp\r\n");
            Watch watch;
            const int64_t start = NowMs();
            When abort([&] { return fault == Fault::Stall && Reached(bad, p); }, [] { Click(Form1->Button5); });
            Click(Form1->Button4);
            EXPECT_LT(NowMs() - start, 5000) << "the run did not end in time";
            EXPECT_EQ(fault == Fault::Stall, abort.Done());
            EXPECT_EQ(Progress(watch), Accepted(p, fault)) << ::testing::PrintToString(watch.progress);
            // One error box at most (the window's own notices may come with it).
            EXPECT_LE(std::count_if(Boxes.begin(), Boxes.end(), [](const auto& b) { return b.Type == mtError; }), 1)
                << ::testing::PrintToString(BoxTexts());
            if (fault == Fault::MultiLine) {
                EXPECT_TRUE(Boxes.empty()) << ::testing::PrintToString(BoxTexts());
            }
            // Only the deferred message goes out again.
            const size_t again = Deferred(p, fault) ? 1 : 0;
            const std::string got = bad.Received();
            EXPECT_LE(Count(got, "RCPT TO:<a@example.jp>"), 1u);
            EXPECT_LE(Count(got, "RCPT TO:<b@example.jp>"), 1u + again);
            EXPECT_LE(Count(got, "\r\n.\r\n"), 2u + again);
            if (Deferred(p, fault)) {
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

INSTANTIATE_TEST_SUITE_P(Phases, FaultMatrixTest, ::testing::ValuesIn(kPhases),
                         [](const ::testing::TestParamInfo<PhaseCase>& info) { return std::string(info.param.name); });

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
