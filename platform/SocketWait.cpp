// The wait of the socket component's operations: until the socket can go on
// or the thread has an event to handle (user input, a timer tick, a posted
// notification), whichever comes first, without waking up in between; and
// the deferred end of read holds.

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <poll.h>

#include <cerrno>
#include <mutex>

#include "platform/Internal.h"
#include "platform/ShortLook.h"
#include "platform/SocketTable.h"
#include "platform/Windows.h"
#include "platform/Winsock.h"

namespace {

// A released read hold takes effect when the thread is about to sleep, or
// after this at the latest.
constexpr int kReleaseLatestMs = 50;

// One notifier per direction for the socket waited on last. They stay on
// between waits, since every switch wakes the event loop once more; one that
// fires outside a wait (data that nobody waits for yet), or a second time in
// one wait (a nested event loop, such as a message box, while data waits
// unread), turns itself off, or it would fire again and again. Owned by the
// application object, so none outlives it; application thread only.
struct Notifiers {
    QPointer<QSocketNotifier> read, write;
    bool waiting = false;
    int fired = 0;  // activations within the current wait
};
Notifiers tN;

QSocketNotifier* Prepare(QPointer<QSocketNotifier>& slot, int fd, QSocketNotifier::Type type, bool wanted)
{
    if (slot && slot->socket() != fd)
        delete slot.data();
    if (!wanted) {
        if (slot && slot->isEnabled())
            slot->setEnabled(false);
        return nullptr;
    }
    if (!slot) {
        slot = new QSocketNotifier(fd, type, QCoreApplication::instance());
        QSocketNotifier* n = slot.data();
        QObject::connect(n, &QSocketNotifier::activated, n, [n] {
            if (!tN.waiting || ++tN.fired > 1)
                n->setEnabled(false);
        });
    }
    if (!slot->isEnabled())
        slot->setEnabled(true);
    return slot.data();
}

bool OnApplicationThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread() &&
           QAbstractEventDispatcher::instance() != nullptr;
}

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Only a wait for data looks first: room to send comes from the peer's
// reading, which has no reason to be quick.
bool LooksFirst(long events)
{
    return (events & winsock::FD_READ) != 0 && (events & (winsock::FD_WRITE | winsock::FD_CONNECT)) == 0;
}

}  // namespace

namespace platform_detail {

bool ShortLook(int fd, short want)
{
    thread_local TShortLookPolicy policy;
    if (!policy.ShouldLook())
        return false;
    const auto until = std::chrono::steady_clock::now() + ShortLookBudget;
    bool found = false;
    for (;;) {
        pollfd p{fd, want, 0};
        const int r = ::poll(&p, 1, 0);
        if (r < 0 && errno != EINTR)
            break;  // the sleeping wait reports it
        found = r > 0;
        if (found || std::chrono::steady_clock::now() >= until)
            break;
        // About a microsecond between two looks, without a system call.
        for (int i = 0; i < 16; ++i)
            CpuRelax();
    }
    policy.Looked(found);
    return found;
}

}  // namespace platform_detail

namespace winsock {

void WaitForSocketOrEvent(SOCKET s, long events, int fallbackMs)
{
    // Only the application's thread has the event loop that wakes this wait;
    // elsewhere nothing but the socket can end it.
    const bool looks = LooksFirst(events) && s < 0xFFFF;
    if (!OnApplicationThread() || s >= 0xFFFF) {
        if (!looks || !platform_detail::ShortLook(static_cast<int>(s), POLLIN))
            WaitForSocketOrTimeout(s, events, fallbackMs);
        win::ProcessMessages();
        return;
    }
    const int fd = static_cast<int>(s);
    if (events & FD_READ) {
        // What a TLS session has decrypted already is readable now, though
        // the descriptor has nothing: no waiting then.
        std::unique_lock lock(detail::T().mutex);
        const detail::Sock* sock = detail::Find(fd);
        if (sock && sock->tlsPending) {
            lock.unlock();
            win::ProcessMessages();
            return;
        }
    }
    if (looks && platform_detail::ShortLook(fd, POLLIN)) {
        win::ProcessMessages();  // what is pending, without sleeping
        return;
    }
    Prepare(tN.read, fd, QSocketNotifier::Read, events & (FD_READ | FD_CLOSE | FD_ACCEPT));
    Prepare(tN.write, fd, QSocketNotifier::Write, events & (FD_WRITE | FD_CONNECT));
    // A handler inside may wait in its turn; the outer wait counts on.
    const Notifiers outer = {nullptr, nullptr, tN.waiting, tN.fired};
    tN.waiting = true;
    tN.fired = 0;
    struct Restore {
        const Notifiers& outer;
        ~Restore()
        {
            tN.waiting = outer.waiting;
            tN.fired = outer.fired;
        }
    } restore{outer};
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

}  // namespace winsock

namespace platform_detail {

void ForgetSocket(int fd)
{
    if (!OnApplicationThread())
        return;
    for (QPointer<QSocketNotifier>* slot : {&tN.read, &tN.write})
        if (*slot && (*slot)->socket() == fd)
            delete slot->data();
}

bool ReleaseWhenIdle()
{
    if (!OnApplicationThread())
        return false;
    // When the thread is about to sleep; and at the latest after a while, for
    // a thread that handles its events without ever sleeping in Qt.
    static QPointer<QAbstractEventDispatcher> hooked;
    static QPointer<QTimer> fallback;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (hooked != dispatcher) {
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, &ApplyPendingReleases);
        hooked = dispatcher;
    }
    if (!fallback) {
        fallback = new QTimer(QCoreApplication::instance());
        fallback->setSingleShot(true);
        fallback->setInterval(kReleaseLatestMs);
        QObject::connect(fallback.data(), &QTimer::timeout, fallback.data(), &ApplyPendingReleases);
    }
    if (!fallback->isActive())
        fallback->start();
    return true;
}

}  // namespace platform_detail
