#include "platform/Windows.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimerEvent>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/Internal.h"

namespace win {
namespace {

class Dispatcher;

struct Window {
    WNDPROC proc;
    void* pointer = nullptr;
    Dispatcher* dispatcher = nullptr;
    std::thread::id owner;
    int busy = 0;  // calls of proc running now (nested ones included)
    bool dead = false;
};

struct TimerEntry {
    UINT elapse;
    uint64_t generation;  // changes on every SetTimer, so a stale Qt timer knows it is stale
};

using TimerKey = std::pair<HWND, UINT_PTR>;

// Process-wide state. Never destroyed: lookups and other threads may still
// touch it while the process exits.
struct Registry {
    std::mutex mutex;
    std::condition_variable idle;  // a window's busy count dropped
    std::unordered_map<HWND, Window> windows;
    std::map<TimerKey, TimerEntry> timers;
    HWND nextHandle = 1;
    uint64_t nextGeneration = 1;
    TExceptionHandler exceptionHandler;
    std::function<void(HWND)> destroyedHook;
};

Registry& R()
{
    static Registry* registry = new Registry;
    return *registry;
}

// Caller holds the registry mutex.
Window* FindLive(HWND h)
{
    auto it = R().windows.find(h);
    return it == R().windows.end() || it->second.dead ? nullptr : &it->second;
}

const QEvent::Type kPostedMessage = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kSentMessage = static_cast<QEvent::Type>(QEvent::registerEventType());

struct PostedMessage : QEvent {
    PostedMessage(HWND h, UINT m, WPARAM w, LPARAM l, std::function<bool()> check)
        : QEvent(kPostedMessage), hwnd(h), msg(m), wParam(w), lParam(l), stillValid(std::move(check))
    {
    }
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    std::function<bool()> stillValid;
};

// A message sent from another thread; the sender waits on it.
struct SendState {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    LRESULT result = 0;
    void Finish(LRESULT r)
    {
        std::lock_guard lock(mutex);
        if (!done) {
            result = r;
            done = true;
        }
        cv.notify_all();
    }
};

struct SentMessage : QEvent {
    SentMessage(HWND h, UINT m, WPARAM w, LPARAM l, std::shared_ptr<SendState> s)
        : QEvent(kSentMessage), hwnd(h), msg(m), wParam(w), lParam(l), state(std::move(s))
    {
    }
    // Also runs when the event is discarded undelivered, so the sender never hangs.
    ~SentMessage() override { state->Finish(0); }
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<SendState> state;
};

// Calls the window procedure of a live window on its own thread.
LRESULT Dispatch(HWND h, UINT msg, WPARAM w, LPARAM l)
{
    WNDPROC proc;
    {
        std::lock_guard lock(R().mutex);
        Window* win = FindLive(h);
        if (!win)
            return 0;
        ++win->busy;
        proc = win->proc;
    }
    struct Leave {
        HWND h;
        ~Leave()
        {
            std::lock_guard lock(R().mutex);
            auto it = R().windows.find(h);
            if (it != R().windows.end() && --it->second.busy == 0 && it->second.dead)
                R().windows.erase(it);
            R().idle.notify_all();
        }
    } leave{h};
    return proc(h, msg, w, l);
}

// One per thread that owns windows: receives their posted messages and runs
// their Qt timers.
class Dispatcher : public QObject {
public:
    ~Dispatcher() override
    {
        // The thread is ending: its windows can never be served again.
        std::lock_guard lock(R().mutex);
        for (auto& [h, w] : R().windows)
            if (w.dispatcher == this)
                w.dead = true;
    }

    // Brings the Qt timer of (h, id) in line with the registry. Owner thread only.
    void Reconcile(TimerKey key)
    {
        std::lock_guard lock(R().mutex);
        auto entry = R().timers.find(key);
        auto running = byKey_.find(key);
        if (running != byKey_.end() &&
            (entry == R().timers.end() || running->second.second != entry->second.generation)) {
            killTimer(running->second.first);
            byId_.erase(running->second.first);
            byKey_.erase(running);
            running = byKey_.end();
        }
        if (entry != R().timers.end() && running == byKey_.end()) {
            int id = startTimer(std::chrono::milliseconds(entry->second.elapse), Qt::PreciseTimer);
            if (id != 0) {
                byKey_[key] = {id, entry->second.generation};
                byId_[id] = key;
            }
        }
    }

protected:
    bool event(QEvent* e) override
    {
        // Messages are posted under the registry lock; taking it here makes that
        // ordering visible to ThreadSanitizer, which cannot see Qt's own lock.
        { std::lock_guard lock(R().mutex); }
        if (e->type() == kPostedMessage) {
            auto* m = static_cast<PostedMessage*>(e);
            if (!m->stillValid || m->stillValid())
                Dispatch(m->hwnd, m->msg, m->wParam, m->lParam);
            return true;
        }
        if (e->type() == kSentMessage) {
            auto* m = static_cast<SentMessage*>(e);
            m->state->Finish(Dispatch(m->hwnd, m->msg, m->wParam, m->lParam));
            return true;
        }
        return QObject::event(e);
    }

    void timerEvent(QTimerEvent* e) override
    {
        auto it = byId_.find(e->timerId());
        if (it == byId_.end()) {
            killTimer(e->timerId());
            return;
        }
        const TimerKey key = it->second;
        {
            std::lock_guard lock(R().mutex);
            auto entry = R().timers.find(key);
            if (entry == R().timers.end() || entry->second.generation != byKey_[key].second) {
                killTimer(e->timerId());
                byKey_.erase(key);
                byId_.erase(it);
                return;
            }
        }
        Dispatch(key.first, WM_TIMER, key.second, 0);
    }

private:
    std::map<TimerKey, std::pair<int, uint64_t>> byKey_;  // Qt timer id and generation
    std::map<int, TimerKey> byId_;
};

thread_local std::unique_ptr<Dispatcher> tDispatcher;

Dispatcher* ThisThreadsDispatcher()
{
    if (!tDispatcher)
        tDispatcher = std::make_unique<Dispatcher>();
    return tDispatcher.get();
}

// Runs Reconcile on the timer's owner thread: at once when that is us,
// otherwise queued to it.
void ReconcileTimer(Dispatcher* d, std::thread::id owner, TimerKey key)
{
    if (owner == std::this_thread::get_id())
        d->Reconcile(key);
    else
        QMetaObject::invokeMethod(d, [d, key] { d->Reconcile(key); }, Qt::QueuedConnection);
}

}  // namespace

void EnsureApplication()
{
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "veltrow";
    static char* argv[] = {name, nullptr};
    // Kept for the life of the process, like the GUI's own application object.
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
}

HWND CreateHiddenWindow(WNDPROC proc)
{
    if (!proc)
        return 0;
    EnsureApplication();
    Dispatcher* d = ThisThreadsDispatcher();
    std::lock_guard lock(R().mutex);
    HWND h = R().nextHandle++;
    Window& w = R().windows[h];
    w.proc = std::move(proc);
    w.dispatcher = d;
    w.owner = std::this_thread::get_id();
    return h;
}

bool DestroyWindow(HWND hWnd)
{
    std::function<void(HWND)> destroyed;
    {
        std::unique_lock lock(R().mutex);
        Window* w = FindLive(hWnd);
        if (!w)
            return false;
        w->dead = true;
        for (auto it = R().timers.lower_bound({hWnd, 0}); it != R().timers.end() && it->first.first == hWnd;)
            it = R().timers.erase(it);
        // Another thread must not free what the running procedure still uses.
        if (w->owner != std::this_thread::get_id())
            R().idle.wait(lock, [hWnd] {
                auto it = R().windows.find(hWnd);
                return it == R().windows.end() || it->second.busy == 0;
            });
        auto it = R().windows.find(hWnd);
        if (it != R().windows.end() && it->second.busy == 0)
            R().windows.erase(it);
        destroyed = R().destroyedHook;
    }
    if (destroyed)
        destroyed(hWnd);
    return true;
}

bool IsWindow(HWND hWnd)
{
    std::lock_guard lock(R().mutex);
    return FindLive(hWnd) != nullptr;
}

void SetWindowPointer(HWND hWnd, void* value)
{
    std::lock_guard lock(R().mutex);
    if (Window* w = FindLive(hWnd))
        w->pointer = value;
}

void* GetWindowPointer(HWND hWnd)
{
    std::lock_guard lock(R().mutex);
    Window* w = FindLive(hWnd);
    return w ? w->pointer : nullptr;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

bool PostMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return platform_detail::PostChecked(hWnd, msg, wParam, lParam, nullptr);
}

LRESULT SendMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto state = std::make_shared<SendState>();
    {
        std::lock_guard lock(R().mutex);
        Window* w = FindLive(hWnd);
        if (!w)
            return 0;
        if (w->owner != std::this_thread::get_id()) {
            QCoreApplication::postEvent(w->dispatcher, new SentMessage(hWnd, msg, wParam, lParam, state));
        } else {
            state.reset();
        }
    }
    if (!state)
        return Dispatch(hWnd, msg, wParam, lParam);
    std::unique_lock lock(state->mutex);
    state->cv.wait(lock, [&] { return state->done; });
    return state->result;
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT elapseMs)
{
    Dispatcher* d;
    std::thread::id owner;
    {
        std::lock_guard lock(R().mutex);
        Window* w = FindLive(hWnd);
        if (!w)
            return 0;
        R().timers[{hWnd, nIDEvent}] = {elapseMs == 0 ? 1 : elapseMs, R().nextGeneration++};
        d = w->dispatcher;
        owner = w->owner;
    }
    ReconcileTimer(d, owner, {hWnd, nIDEvent});
    return nIDEvent == 0 ? 1 : nIDEvent;
}

bool KillTimer(HWND hWnd, UINT_PTR nIDEvent)
{
    Dispatcher* d;
    std::thread::id owner;
    {
        std::lock_guard lock(R().mutex);
        if (R().timers.erase({hWnd, nIDEvent}) == 0)
            return false;
        Window* w = FindLive(hWnd);
        if (!w)
            return true;
        d = w->dispatcher;
        owner = w->owner;
    }
    ReconcileTimer(d, owner, {hWnd, nIDEvent});
    return true;
}

void Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void ProcessMessages()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void SetExceptionHandler(TExceptionHandler handler)
{
    std::lock_guard lock(R().mutex);
    R().exceptionHandler = std::move(handler);
}

void HandleException(const std::exception& e)
{
    TExceptionHandler handler;
    {
        std::lock_guard lock(R().mutex);
        handler = R().exceptionHandler;
    }
    if (handler)
        handler(e);
    else
        std::fprintf(stderr, "%s\n", e.what());
}

}  // namespace win

namespace platform_detail {

void SetWindowDestroyedHook(std::function<void(win::HWND)> hook)
{
    using namespace win;
    std::lock_guard lock(R().mutex);
    R().destroyedHook = std::move(hook);
}

bool PostChecked(win::HWND hWnd, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam,
                 std::function<bool()> stillValid)
{
    using namespace win;
    // Posting under the registry lock keeps the dispatcher alive meanwhile.
    std::lock_guard lock(R().mutex);
    Window* w = FindLive(hWnd);
    if (!w)
        return false;
    QCoreApplication::postEvent(w->dispatcher, new PostedMessage(hWnd, msg, wParam, lParam, std::move(stillValid)));
    return true;
}

}  // namespace platform_detail
