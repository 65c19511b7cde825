// Shared pieces of the SMTP component tests.
#pragma once

#include <gtest/gtest.h>

#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "smtp/NMsmtp.h"
#include "tests/support/ScriptedPeer.h"

namespace smtptest {

// Opens the protected state to the tests.
class TestSmtp : public TNMSMTP {
public:
    explicit TestSmtp(TComponent* AOwner = nullptr) : TNMSMTP(AOwner) {}
    using TNMSMTP::Boundary;
    using TNMSMTP::Busy;
    using TNMSMTP::Canceled;

    std::string Body() const
    {
        return std::string(BodyStream->Memory(), static_cast<size_t>(BodyStream->Size()));
    }
};

// Records the component's events in the order they fire.
struct Trace {
    std::vector<std::string> events;

    void Attach(TNMSMTP& s)
    {
        s.OnConnect = [this](TObject*) { events.push_back("connect"); };
        s.OnDisconnect = [this](TObject*) { events.push_back("disconnect"); };
        s.OnSendStart = [this](TObject*) { events.push_back("start"); };
        s.OnSuccess = [this](TObject*) { events.push_back("success"); };
        s.OnFailure = [this](TObject*) { events.push_back("failure"); };
        s.OnRecipientNotFound = [this](const std::string& r) { events.push_back("not found " + r); };
        s.OnEncodeStart = [this](const std::string& f) { events.push_back("encode start " + f); };
        s.OnEncodeEnd = [this](const std::string& f) { events.push_back("encode end " + f); };
        s.OnAttachmentNotFound = [this](const std::string& f) { events.push_back("missing " + f); };
        s.OnMailListReturn = [this](const std::string& a) { events.push_back("list " + a); };
    }
};

// The message of the exception of type E that f raises, or "" when it returns.
template <typename E, typename F>
std::string MessageOf(F&& f)
{
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    }
    return std::string();
}

// Greeting and HELO as a plain server answers them.
inline testsupport::ScriptedPeer& Greet(testsupport::ScriptedPeer& peer, const std::string& helo = "client.test")
{
    return peer.Accept().SendLine("220 mail.test ready").Expect("HELO " + helo).SendLine("250 mail.test");
}

inline void ConnectTo(TNMSMTP& smtp, const testsupport::ScriptedPeer& peer, const std::string& helo = "client.test")
{
    smtp.Host = "127.0.0.1";
    smtp.Port = peer.Port();
    smtp.UserID = helo;
    smtp.Connect();
}

inline void ExpectScriptDone(testsupport::ScriptedPeer& peer)
{
    ASSERT_TRUE(peer.WaitDone(10000)) << "script did not end";
    EXPECT_EQ(peer.Failure(), "");
    EXPECT_TRUE(peer.ScriptUsedUp());
}

inline std::vector<std::string> LinesOf(const TStringList& list) { return list.Lines(); }

}  // namespace smtptest
