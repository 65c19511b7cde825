#include "tests/support/SmtpSink.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {
namespace {

// The interpreter with Debian's packages; the python3 on PATH lacks aiosmtpd.
constexpr const char* kPython = VELTROW_PYTHON;
// Python start-up plus the aiosmtpd import; generous for sanitizer builds.
constexpr int kStartTimeoutMs = 20000;
// How long the server gets to leave after its stdin closed before it is killed.
constexpr int kStopTimeoutMs = 5000;

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads what fd has within timeoutMs; returns false at end of file or time-out.
bool ReadSome(int fd, std::string& out, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0)
        return false;
    char buf[4096];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    out.append(buf, static_cast<size_t>(n));
    return true;
}

// Starts argv with stdin from inFd (or /dev/null when -1), stdout to outFd and
// stderr to errPath (or outFd when empty).
pid_t Spawn(const std::vector<std::string>& args, int inFd, int outFd, const std::string& errPath)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (inFd >= 0)
        posix_spawn_file_actions_adddup2(&fa, inFd, 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outFd, 1);
    if (errPath.empty())
        posix_spawn_file_actions_adddup2(&fa, outFd, 2);
    else
        posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // A test's sockets must not live on in the child: a peer would never see them close.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);

    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

// Waits for pid up to timeoutMs while draining outFd; kills it when it does not end.
int Reap(pid_t pid, int outFd, std::string* out, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string sink;
    // The child closes its end when it exits: end of file is the signal.
    while (RemainingMs(deadline) > 0 && ReadSome(outFd, out ? *out : sink, RemainingMs(deadline)))
        sink.clear();
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        bool ended = false;
        // The pipe may close a moment before the exit; give it a short, bounded grace.
        for (int i = 0; i < 50 && !ended; ++i) {
            ended = waitpid(pid, &status, WNOHANG) == pid;
            if (!ended)
                usleep(2000);
        }
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MakeTempFolder(const char* prefix)
{
    std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("cannot create a temporary folder");
    return tmpl;
}

std::string MessageBase(const std::string& folder, size_t index)
{
    char name[16];
    std::snprintf(name, sizeof name, "/%04zu", index + 1);
    return folder + name;
}

void AddTlsOptions(const SmtpSink::Options& options, std::vector<std::string>& args)
{
    auto add = [&args](bool on, std::initializer_list<std::string> words) {
        if (on)
            args.insert(args.end(), words);
    };
    add(!options.CertFile.empty(), {"--cert", options.CertFile, "--key", options.KeyFile});
    add(options.RequireStartTls, {"--require-starttls"});
    add(options.ImplicitTls, {"--implicit-tls"});
    add(!options.Login.empty(), {"--login", options.Login, "--password", options.Password});
    for (const auto& m : options.AuthMechanisms)
        add(true, {"--auth-mechanism", m});
    add(options.AuthInClear, {"--auth-in-clear"});
    add(options.AuthOnlyInClear, {"--auth-only-in-clear"});
    add(options.StallAuth, {"--stall-auth"});
    add(!options.XOAuth2TokenFile.empty(), {"--xoauth2-token-file", options.XOAuth2TokenFile});
    add(options.SizeLimit > 0, {"--size", std::to_string(options.SizeLimit)});
}

}  // namespace

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(gen() & 0xFF);
    return bytes;
}

SmtpSink::SmtpSink() : SmtpSink(Options{}) {}

SmtpSink::SmtpSink(const Options& options)
{
    folder_ = MakeTempFolder("veltrow-sink");
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> args{kPython, std::string(VELTROW_SUPPORT_DIR) + "/smtp_sink.py", folder_};
    for (const auto& r : options.RefuseRcpt) {
        args.push_back("--refuse-rcpt");
        args.push_back(r);
    }
    AddTlsOptions(options, args);
    try {
        pid_ = Spawn(args, in[0], out[1], folder_ + "/server.log");
    } catch (...) {
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
        std::filesystem::remove_all(folder_);
        throw;
    }
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];

    auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (pending_.find('\n') == std::string::npos && RemainingMs(deadline) > 0)
        if (!ReadSome(stdoutFd_, pending_, RemainingMs(deadline)))
            break;
    unsigned port = 0;
    size_t eol = pending_.find('\n');
    if (eol == std::string::npos || std::sscanf(pending_.c_str(), "port %u", &port) != 1 || port == 0 ||
        port > 65535) {
        std::string log = ServerLog();
        Stop();
        throw std::runtime_error("SMTP sink did not start: " + log);
    }
    port_ = static_cast<uint16_t>(port);
    pending_.erase(0, eol + 1);
}

SmtpSink::~SmtpSink() { Stop(); }

void SmtpSink::Stop()
{
    if (stdinFd_ >= 0) {
        close(stdinFd_);
        stdinFd_ = -1;
    }
    if (pid_ > 0) {
        Reap(pid_, stdoutFd_, nullptr, kStopTimeoutMs);
        pid_ = -1;
    }
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
        stdoutFd_ = -1;
    }
    if (!folder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
}

bool SmtpSink::DrainOutput(int timeoutMs)
{
    if (stdoutFd_ < 0)
        return false;
    const bool more = ReadSome(stdoutFd_, pending_, timeoutMs);
    pending_.clear();  // the lines only say that something was stored
    return more;
}

bool SmtpSink::WaitForMessages(size_t n, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (MessageCount() < n) {
        // Ends early when the server is gone (end of its output).
        if (RemainingMs(deadline) == 0 || !DrainOutput(RemainingMs(deadline)))
            return MessageCount() >= n;
    }
    return true;
}

size_t SmtpSink::MessageCount() const
{
    size_t n = 0;
    while (std::filesystem::exists(MessageBase(folder_, n) + ".env"))
        ++n;
    return n;
}

SinkMessage SmtpSink::Message(size_t index) const
{
    std::string base = MessageBase(folder_, index);
    if (!std::filesystem::exists(base + ".env"))
        throw std::out_of_range("no message " + std::to_string(index));
    SinkMessage m;
    m.Path = base + ".eml";
    m.Data = ReadWholeFile(m.Path);
    std::istringstream env(ReadWholeFile(base + ".env"));
    std::string line;
    while (std::getline(env, line)) {
        if (line.rfind("HELO ", 0) == 0)
            m.Helo = line.substr(5);
        else if (line.rfind("MAIL FROM ", 0) == 0)
            m.MailFrom = line.substr(10);
        else if (line.rfind("RCPT TO ", 0) == 0)
            m.RcptTos.push_back(line.substr(8));
        else if (line == "TLS yes")
            m.Tls = true;
        else if (line.rfind("AUTH ", 0) == 0)
            m.AuthLogin = line.substr(5);
    }
    return m;
}

std::vector<SinkMessage> SmtpSink::Messages() const
{
    std::vector<SinkMessage> all;
    for (size_t i = 0, n = MessageCount(); i < n; ++i)
        all.push_back(Message(i));
    return all;
}

std::string SmtpSink::ServerLog() const
{
    try {
        return ReadWholeFile(folder_ + "/server.log");
    } catch (const std::exception&) {
        return std::string();
    }
}

PythonResult RunPython(const std::string& script, const std::vector<std::string>& args, int timeoutMs)
{
    std::vector<std::string> argv{kPython, "-c", script};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, timeoutMs);
}

PythonResult RunProgram(const std::vector<std::string>& argv, int timeoutMs)
{
    PythonResult result;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return result;
    pid_t pid;
    try {
        pid = Spawn(argv, -1, out[1], std::string());
    } catch (const std::exception& e) {
        close(out[0]);
        close(out[1]);
        result.Output = e.what();
        return result;
    }
    close(out[1]);
    result.ExitCode = Reap(pid, out[0], &result.Output, timeoutMs);
    close(out[0]);
    return result;
}

TempFolder::TempFolder() : path_(MakeTempFolder("veltrow-test")) {}

TempFolder::~TempFolder()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempFolder::Write(const std::string& name, const std::string& bytes) const
{
    std::string path = path_ + "/" + name;
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot create " + path);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
    return path;
}

}  // namespace testsupport
