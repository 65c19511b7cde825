#include "cli/StopSignals.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "rtl/Exception.h"

namespace {

volatile sig_atomic_t lastSignal = 0;
int writeEnd = -1;

// Written by the destructor: the watcher ends.
constexpr unsigned char Quit = 0;

extern "C" void NoteSignal(int Signal)
{
    const int saved = errno;
    lastSignal = Signal;
    const unsigned char byte = static_cast<unsigned char>(Signal);
    // A full pipe already holds a wake-up: the byte may be dropped.
    (void)!::write(writeEnd, &byte, 1);
    errno = saved;
}

}  // namespace

TStopSignals::TStopSignals()
{
    if (::pipe2(pipe_, O_CLOEXEC) != 0 || ::pipe2(loop_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw Exception("シグナルを受け取る準備ができません");
    // The handler never waits; the watcher does.
    ::fcntl(pipe_[1], F_SETFL, O_NONBLOCK);
    lastSignal = 0;
    writeEnd = pipe_[1];
    notifier_ = std::make_unique<QSocketNotifier>(loop_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
    watcher_ = std::thread([this] { Watch(); });
    struct sigaction action {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, &oldInt_);
    ::sigaction(SIGTERM, &action, &oldTerm_);
}

TStopSignals::~TStopSignals()
{
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
    const unsigned char quit = Quit;
    (void)!::write(pipe_[1], &quit, 1);
    watcher_.join();
    notifier_.reset();
    writeEnd = -1;
    for (int fd : {pipe_[0], pipe_[1], loop_[0], loop_[1]})
        ::close(fd);
}

bool TStopSignals::Stopped() const { return lastSignal != 0; }

int TStopSignals::LastSignal() const { return lastSignal; }

void TStopSignals::Immediate(int ExitCode, const std::string& Said)
{
    const std::lock_guard lock(mutex_);
    immediate_ = true;
    exitCode_ = ExitCode;
    said_ = Said;
}

void TStopSignals::Immediate(bool On)
{
    const std::lock_guard lock(mutex_);
    immediate_ = On;
}

bool TStopSignals::IsImmediate() const
{
    const std::lock_guard lock(mutex_);
    return immediate_;
}

void TStopSignals::Watch()
{
    // The signals go to the other threads: a blocking read of the terminal
    // on the main one must still be cut short by them.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    for (;;) {
        unsigned char byte = Quit;
        const ssize_t n = ::read(pipe_[0], &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || byte == Quit)
            return;
        // Held to the end: whoever turns the immediate stop off waits here
        // and then finds the process gone, or it stays.
        const std::lock_guard lock(mutex_);
        if (immediate_) {
            std::fprintf(stderr, "%s\n", said_.c_str());
            std::fflush(stderr);
            std::fflush(stdout);
            // Nothing is recorded yet: no destructor need run, and none may
            // wait (for the list's reader, a DNS lookup's thread).
            ::_exit(exitCode_);
        }
        // A full pipe already holds a wake-up: the byte may be dropped.
        (void)!::write(loop_[1], &byte, 1);
    }
}

void TStopSignals::Drain()
{
    unsigned char bytes[64];
    ssize_t n;
    while ((n = ::read(loop_[0], bytes, sizeof bytes)) > 0)
        for (ssize_t i = 0; i < n; ++i)
            if (OnStop)
                OnStop(bytes[i]);
}
