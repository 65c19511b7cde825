#include "cli/StopSignals.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "rtl/Exception.h"

namespace {

volatile sig_atomic_t lastSignal = 0;
int writeEnd = -1;

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
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw Exception("シグナルを受け取る準備ができません");
    lastSignal = 0;
    writeEnd = pipe_[1];
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
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
    notifier_.reset();
    writeEnd = -1;
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

bool TStopSignals::Stopped() const { return lastSignal != 0; }

int TStopSignals::LastSignal() const { return lastSignal; }

void TStopSignals::Drain()
{
    unsigned char bytes[64];
    ssize_t n;
    while ((n = ::read(pipe_[0], bytes, sizeof bytes)) > 0)
        for (ssize_t i = 0; i < n; ++i)
            if (OnStop)
                OnStop(bytes[i]);
}
