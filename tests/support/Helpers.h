// Helpers that several test folders share: bounded waits
// that keep the event loop running, actions run from inside a wait, the
// message of an expected failure and the scripted peer's end check.
#pragma once

#include <gtest/gtest.h>

#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "platform/Windows.h"
#include "rtl/SysUtils.h"
#include "tests/support/ScriptedPeer.h"

namespace testsupport {

// Processes window events until cond holds or timeoutMs passed.
inline bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 5000)
{
    const int64_t deadline = TickCount() + timeoutMs;
    while (!cond()) {
        if (TickCount() > deadline)
            return false;
        win::Sleep(1);
        win::ProcessMessages();
    }
    return true;
}

// Runs f inside the next wait of the component, as a posted event would. The
// returned timer must outlive nothing it captures: keep it in a variable
// declared after those objects, so a timer that never fired dies first.
[[nodiscard]] inline std::unique_ptr<QTimer> Later(int ms, std::function<void()> f)
{
    win::EnsureApplication();  // Qt's timers need the application object
    auto timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    QObject::connect(timer.get(), &QTimer::timeout, std::move(f));
    timer->start(ms);
    return timer;
}

// The message of the exception f raises, or "" when it returns.
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

// Checks that the peer's script ran to its end.
inline void ExpectScriptDone(testsupport::ScriptedPeer& peer)
{
    ASSERT_TRUE(peer.WaitDone(10000)) << "script did not end";
    EXPECT_EQ(peer.Failure(), "");
    EXPECT_TRUE(peer.ScriptUsedUp());
}

}  // namespace testsupport
