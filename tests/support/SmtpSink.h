// A real SMTP server for whole-message tests: runs smtp_sink.py (Debian's
// aiosmtpd) on 127.0.0.1 with a port of its own choosing and gives access to
// every message it accepted. Also a runner for Python check scripts, so tests
// can verify messages with Python's email package, a decoder independent of
// ours.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct SinkMessage {
    std::string Helo;                  // argument of the session's HELO
    std::string MailFrom;              // MAIL FROM address, without the brackets
    std::vector<std::string> RcptTos;  // accepted RCPT TO addresses, in order
    std::string Data;                  // message bytes as received, transparency dots removed
    std::string Path;                  // file holding Data (for Python checks)
    bool Tls = false;                  // the message came over an encrypted connection
    std::string AuthLogin;             // login name the session authenticated with, "" if none
};

class SmtpSink {
public:
    struct Options {
        // RCPT TO addresses containing one of these texts are answered 550.
        std::vector<std::string> RefuseRcpt;
        // A certificate and key (PEM files): the server offers STARTTLS with
        // them, or speaks TLS from the first byte with ImplicitTls.
        std::string CertFile, KeyFile;
        bool RequireStartTls = false;  // refuses mail before STARTTLS
        bool ImplicitTls = false;
        // AUTH accepting exactly this pair, offered only over TLS unless AuthInClear.
        std::string Login, Password;
        std::vector<std::string> AuthMechanisms;  // offered ones; empty: PLAIN and LOGIN
        bool AuthInClear = false;
        bool AuthOnlyInClear = false;  // offered before STARTTLS, not after
        bool StallAuth = false;  // AUTH is never answered
        // XOAUTH2 accepting only the token this file holds (OAuthServer
        // writes it); a refusal goes through the JSON challenge.
        std::string XOAuth2TokenFile;
        // The SIZE offered after EHLO (RFC 1870); 0: aiosmtpd's own.
        int64_t SizeLimit = 0;
    };

    // Starts the server and waits (bounded) for its port; throws
    // std::runtime_error when it cannot be started.
    SmtpSink();
    explicit SmtpSink(const Options& options);
    // Stops the server (bounded: end of input, then a kill) and removes the folder.
    ~SmtpSink();
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    uint16_t Port() const { return port_; }
    const std::string& Folder() const { return folder_; }

    // True once at least n messages were stored; false after timeoutMs.
    bool WaitForMessages(size_t n, int timeoutMs = 10000);
    size_t MessageCount() const;  // messages stored so far
    SinkMessage Message(size_t index) const;  // 0-based; throws std::out_of_range
    std::vector<SinkMessage> Messages() const;
    // What the server wrote to stderr so far (for failure messages).
    std::string ServerLog() const;

private:
    void Stop();
    // Waits up to timeoutMs for server output; false at its end or time-out.
    bool DrainOutput(int timeoutMs);

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    uint16_t port_ = 0;
    std::string folder_;
    std::string pending_;  // server output not yet consumed
};

struct PythonResult {
    int ExitCode = -1;   // -1 when the script was killed or could not start
    std::string Output;  // stdout and stderr together
};

// Runs script with /usr/bin/python3 ("-c"), args as sys.argv[1:], bounded by
// timeoutMs (then killed).
PythonResult RunPython(const std::string& script, const std::vector<std::string>& args = {},
                       int timeoutMs = 30000);

// Runs args (args[0] a full path) bounded by timeoutMs (then killed), output
// as RunPython's.
PythonResult RunProgram(const std::vector<std::string>& args, int timeoutMs = 30000);

// Reads a whole file; throws std::runtime_error when it cannot be opened.
std::string ReadWholeFile(const std::string& path);

// n bytes of every value, the same for the same seed: file content that no
// text rule of the message may touch.
std::string RandomBytes(size_t n, unsigned seed);

// A fresh folder under /tmp, removed with everything in it by the destructor.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return path_; }
    // Writes bytes to Path()/name (name may hold non-ASCII bytes); returns the full path.
    std::string Write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

}  // namespace testsupport
