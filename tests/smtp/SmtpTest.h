// Shared pieces of the SMTP component tests.
#pragma once

#include <gtest/gtest.h>

#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "smtp/NMsmtp.h"
#include "tests/support/Helpers.h"
#include "tests/support/ScriptedPeer.h"

namespace smtptest {

using testsupport::ExpectScriptDone;
using testsupport::MessageOf;
using Lines = std::vector<std::string>;

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

// The sender of the messages the tests send.
inline const std::string kSender = "taro@example.test";

// Sender and the four kinds of recipient entry: a bare address, a display
// form, a copy and a blind copy.
inline void FillAddresses(TPostMessage& m)
{
    m.FromName = "Taro ";
    m.FromAddress = kSender;
    m.ToAddress->Add("a@example.test");
    m.ToAddress->Add("Hanako <hanako@example.test>");
    m.ToCarbonCopy->Add("c@example.test");
    m.ToBlindCarbonCopy->Add("hidden@example.test");
}

// The smallest complete message: kSender to one recipient.
inline void Address(TPostMessage& m, const std::string& to = "a@example.test")
{
    m.FromAddress = kSender;
    m.ToAddress->Add(to);
}

// Greeting and HELO as a plain server answers them.
inline testsupport::ScriptedPeer& Greet(testsupport::ScriptedPeer& peer, const std::string& helo = "client.test")
{
    return peer.Accept().SendLine("220 mail.test ready").Expect("HELO " + helo).SendLine("250 mail.test");
}

// The server side of a transaction from kSender up to DATA's go-ahead, every
// command accepted.
inline testsupport::ScriptedPeer& AcceptEnvelope(testsupport::ScriptedPeer& peer,
                                                 const Lines& recipients = {"a@example.test"})
{
    peer.Expect("RSET").SendLine("250 ok").Expect("MAIL FROM:<" + kSender + ">").SendLine("250 ok");
    for (const std::string& r : recipients)
        peer.Expect("RCPT TO:<" + r + ">").SendLine("250 ok");
    return peer.Expect("DATA").SendLine("354 go");
}

// A whole accepted transaction; the message text before the final "." goes
// to data.
inline testsupport::ScriptedPeer& AcceptMail(testsupport::ScriptedPeer& peer,
                                             const Lines& recipients = {"a@example.test"},
                                             std::string* data = nullptr)
{
    return AcceptEnvelope(peer, recipients).ExpectUntil("\r\n.\r\n", data).SendLine("250 queued");
}

// Connects to a scripted peer or a real server on 127.0.0.1.
template <typename Server>
void ConnectTo(TNMSMTP& smtp, const Server& server, const std::string& helo = "client.test")
{
    smtp.Host = "127.0.0.1";
    smtp.Port = server.Port();
    smtp.UserID = helo;
    smtp.Connect();
}

// A component connected to a server, its events recorded from the start.
struct Session {
    template <typename Server>
    explicit Session(const Server& server)
    {
        trace.Attach(smtp);
        ConnectTo(smtp, server);
    }
    TestSmtp smtp;
    Trace trace;
};

inline Lines LinesOf(const TStringList& list) { return list.Lines(); }

}  // namespace smtptest
