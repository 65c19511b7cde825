// One QCoreApplication for the whole engine test program: the run's timers,
// the secret store and the sign-in wait in event loops of their own, and no
// window is there to need more.
#include "tests/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include "engine/run/SendRun.h"
#include "rtl/SysUtils.h"
#include "smtp/NMsmtp.h"
#include "tests/support/ScriptedPeer.h"

namespace {

class CoreEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "engine_tests";
        static char* argv[] = {name, nullptr};
        app_ = new QCoreApplication(argc, argv);
    }
    void TearDown() override
    {
        delete app_;
        app_ = nullptr;
    }

private:
    QCoreApplication* app_ = nullptr;
};

[[maybe_unused]] const auto* const environment = ::testing::AddGlobalTestEnvironment(new CoreEnvironment);

}  // namespace

namespace enginetest {

TResumeChoice TTestFrontEnd::AskResume(const std::vector<TPlanEntry>& Lines, const TResumePoint& Point)
{
    Questions.push_back(ResumeQuestion(Lines, Point));
    return Resume;
}

bool TTestFrontEnd::ConfirmRun(const TRunOutline& Outline)
{
    Confirmations.push_back(Outline);
    return Confirm;
}

std::optional<std::string> TTestFrontEnd::AskPassword(const std::string& Login, const std::string& Server)
{
    PasswordsAsked.push_back(Login + "@" + Server);
    return Password;
}

bool TTestFrontEnd::TrustCertificate(const tls::ECertificateError&, const std::string&, const std::string& Question)
{
    Questions.push_back(Question);
    return Trust;
}

void TTestFrontEnd::Progress(int Sent, int Total)
{
    Progressed.push_back(std::to_string(Sent) + "/" + std::to_string(Total));
    if (AtProgress)
        AtProgress(Sent);
}

void TTestFrontEnd::Summary(const TRunSummary& Summary)
{
    Summaries.push_back({Summary.Plan->ListCounts(), Summary.JournalPath, Summary.Failure, Summary.Utf8});
}

EngineTest::EngineTest() : engine(std::make_unique<TSendEngine>(ui, TProfile{profile.Path()}))
{
    // Nothing in these tests may wait for a reconnect or retry in earnest.
    engine->Run().ReconnectDelaysMs = {};
    engine->Run().RetryDelayMs = 0;
}

EngineTest::~EngineTest() = default;

void EngineTest::WriteSettings(uint16_t Port, const std::string& Extension)
{
    WriteFile("設定.txt", "127.0.0.1\r\n" + std::to_string(Port) + "\r\npc01\r\nTaro\r\ntaro@example.jp\r\n" + Extension);
}

std::string EngineTest::WriteFile(const std::string& Name, const std::string& Bytes) const
{
    return profile.Write(Name, Bytes);
}

TSendRequest EngineTest::Request(const std::string& ListBytes, const std::string& Subject,
                                 const std::string& Body) const
{
    return {WriteFile("list.txt", ListBytes), Subject, Body, {}, {}};
}

std::string EngineTest::SendFailure(const TSendRequest& Request)
{
    try {
        engine->Send(Request);
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

void EngineTest::SendStoppedAfterFirst(const TSendRequest& Request)
{
    testsupport::ScriptedPeer first;
    first.SendLine("220 first").Expect("HELO pc01").SendLine("250 ok");
    first.Expect("RSET").SendLine("250 ok").Expect("MAIL FROM:<taro@example.jp>").SendLine("250 ok");
    first.Expect("RCPT TO:<a@example.jp>").SendLine("250 ok").Expect("DATA").SendLine("354 go");
    first.ExpectUntil("\r\n.\r\n").SendLine("250 queued").Expect("RSET").Close();
    first.Start();
    WriteSettings(first.Port());
    engine->Send(Request);
    EXPECT_TRUE(first.WaitDone());
    EXPECT_TRUE(first.ScriptUsedUp()) << first.Failure();
}

}  // namespace enginetest
