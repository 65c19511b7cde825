// SIGINT and SIGTERM as the user's Abort. The handler only notes the signal
// and writes a byte to a pipe; a socket notifier on the pipe's other end
// brings it into the Qt event loop, which the run's waits keep processing,
// and the stop is acted on there, never in the handler.
#pragma once

#include <csignal>
#include <functional>
#include <memory>

class QSocketNotifier;

class TStopSignals {
public:
    // Installs the handlers (without SA_RESTART, so that a blocking read of
    // the terminal returns). One object at a time.
    TStopSignals();
    // Puts the earlier handlers back.
    ~TStopSignals();
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    // Called from the event loop once per signal that arrived.
    std::function<void(int Signal)> OnStop;
    // A stop signal has arrived (also before the event loop saw it).
    bool Stopped() const;
    int LastSignal() const;

private:
    void Drain();

    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};
