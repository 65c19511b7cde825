// SIGINT and SIGTERM as the user's Abort. The handler only notes the signal
// and writes a byte to a pipe; a thread of its own reads it. Before the run
// has anything to record (no journal open, nothing sent), the stop is
// immediate: that thread ends the process at once, whatever the program is
// busy with (a long list being read, a DNS server that never answers).
// Otherwise it hands the stop to the Qt event loop, which the run's waits
// keep processing, and the stop is acted on there, never in the handler.
#pragma once

#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

    // From now on a stop signal ends the process at once with ExitCode,
    // after Said on standard error; Immediate(false) goes back to the
    // event loop's stop. Once Immediate(false) has returned, no stop ends
    // the process behind the caller's back.
    void Immediate(int ExitCode, const std::string& Said);
    void Immediate(bool On);
    bool IsImmediate() const;

private:
    void Watch();
    void Drain();

    int pipe_[2] = {-1, -1};  // the handler's
    int loop_[2] = {-1, -1};  // the watcher's to the event loop
    std::unique_ptr<QSocketNotifier> notifier_;
    mutable std::mutex mutex_;
    bool immediate_ = false;
    int exitCode_ = 0;
    std::string said_;
    std::thread watcher_;
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};
