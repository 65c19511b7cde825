// A loopback TCP peer that plays a script ("send this, expect that, close,
// wait") on its own thread, with plain blocking POSIX sockets so it never
// depends on the layer under test. Build the script, Start(), drive the client,
// then check ScriptUsedUp() and Failure().
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptedPeer {
public:
    // Binds 127.0.0.1 port 0 and listens with the given backlog.
    explicit ScriptedPeer(int backlog = 8);
    // Ends the script (bounded: every blocking step gives way within ~20 ms),
    // joins the thread and closes every socket.
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t Port() const { return port_; }

    // Script steps, queued before Start(). Steps after the first Accept act on
    // the connection it accepted; earlier connections stay open until the end.
    ScriptedPeer& Accept();                           // accept the next client (implicit first step if omitted)
    ScriptedPeer& Send(std::string bytes);            // "S:" raw bytes as given
    ScriptedPeer& SendLine(std::string line);         // "S:" line + CR LF
    ScriptedPeer& Expect(std::string line);           // "C:" next client line, CR LF stripped, must equal this
    ScriptedPeer& ExpectUntil(std::string terminator, std::string* out = nullptr);  // bytes before terminator
    ScriptedPeer& ExpectBytes(size_t n, std::string* out = nullptr);                // exactly n bytes
    // "C:" exactly these bytes, sent without waiting for the peer (which says
    // nothing meanwhile), and nothing after them yet: one pipelined group.
    ScriptedPeer& ExpectGroup(std::string bytes);
    ScriptedPeer& Wait(int ms);                       // "W:" pause
    ScriptedPeer& WaitForRelease();                   // stall until a Release() not used by an earlier such step, or destruction (no step time-out)
    ScriptedPeer& ExpectClose();                      // client closes (read gives 0 or reset) with no more data
    ScriptedPeer& Close();                            // "X:" graceful close (FIN)
    ScriptedPeer& Reset();                            // abortive close (RST), for reset cases

    void Release();                                   // lets one WaitForRelease step go on (counted, may come early)
    void Start();                                     // runs the script on the peer thread
    bool WaitDone(int timeoutMs = 10000);             // true once the script ended (used up or failed)
    bool ScriptUsedUp() const;                        // every step ran and matched
    std::string Failure() const;                      // first mismatch or time-out; empty if none
    std::string Received() const;                     // every byte the clients sent, in order
    void SetStepTimeout(int ms);                      // per step, default 10000 ms; a time-out is a failure
    int Connections() const;                          // clients accepted so far

private:
    enum class Kind { Accept, Send, Expect, ExpectUntil, ExpectBytes, Wait, WaitForRelease, ExpectClose, Close, Reset, ExpectGroup };
    struct Step {
        Kind kind;
        std::string text;
        size_t count = 0;
        std::string* out = nullptr;
    };

    void Run();
    std::string RunStep(const Step& step);           // empty on success, else the failure text
    std::string AcceptClient(int64_t deadline);
    // Reads more bytes into pending_; "" on success, else a failure text.
    std::string ReadMore(int64_t deadline);
    bool Stopping() const;

    int listenFd_ = -1;
    uint16_t port_ = 0;
    int conn_ = -1;
    std::vector<int> oldConns_;
    std::string pending_;  // received but not yet consumed by a step

    std::vector<Step> steps_;
    std::thread thread_;
    int stepTimeoutMs_ = 10000;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    int releases_ = 0;     // Release() calls
    int releasesUsed_ = 0; // taken by WaitForRelease steps
    bool done_ = false;
    bool usedUp_ = false;
    int connections_ = 0;
    std::string failure_;
    std::string received_;
};

// A loopback port that refuses connections, for "connection refused" cases:
// bound but never listening, so the kernel resets every connect, and the
// number stays taken while this lives (no test running alongside gets it).
// A socket listening on 127.0.0.1 at a port the kernel chose, which it keeps
// bound; Port receives the number. Throws std::runtime_error when it cannot.
int ListenLoopback(int backlog, uint16_t& port);

class RefusedPort {
public:
    RefusedPort();
    ~RefusedPort();
    RefusedPort(const RefusedPort&) = delete;
    RefusedPort& operator=(const RefusedPort&) = delete;
    uint16_t Port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A loopback listener whose accept queue is full (backlog 0, filled by its own
// unaccepted connections), so a further connect to Port() never completes.
class StalledListener {
public:
    StalledListener();
    ~StalledListener();
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;
    uint16_t Port() const { return port_; }

private:
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::vector<int> fillers_;
};

}  // namespace testsupport
