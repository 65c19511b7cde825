// Shared pieces of the socket component tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/Psock.h"
#include "tests/support/Helpers.h"
#include "tests/support/ScriptedPeer.h"

namespace nettest {

using testsupport::ExpectScriptDone;
using testsupport::Later;
using testsupport::MessageOf;
using testsupport::WaitUntil;

// Opens the protected state to the tests.
class TestSock : public TPowersock {
public:
    explicit TestSock(TComponent* AOwner = nullptr) : TPowersock(AOwner) {}
    using TPowersock::Canceled;
    using TPowersock::EventArrived;
    using TPowersock::LastEventOk;
    using TPowersock::SocketHandle;
    using TPowersock::TimedOut;
    using TPowersock::WindowHandle;
};

// Connects sock to the peer on 127.0.0.1.
inline void ConnectTo(TPowersock& sock, const testsupport::ScriptedPeer& peer)
{
    sock.Host = "127.0.0.1";
    sock.Port = peer.Port();
    sock.Connect();
}

}  // namespace nettest
