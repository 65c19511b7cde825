#include "tests/support/OAuthServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {
namespace {

// Python's start-up; generous for sanitizer builds.
constexpr int kStartTimeoutMs = 20000;
constexpr int kCommandTimeoutMs = 10000;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace

OAuthServer::OAuthServer(const Options& options)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const std::vector<std::string> args{VELTROW_PYTHON, std::string(VELTROW_SUPPORT_DIR) + "/oauth_server.py",
                                        TokenFile(), "--client-id", options.ClientID, "--client-secret",
                                        options.ClientSecret, "--expires-in", std::to_string(options.ExpiresIn)};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (rc != 0)
        throw std::runtime_error("cannot start oauth_server.py");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    unsigned port = 0;
    while (std::chrono::steady_clock::now() < deadline && port == 0) {
        Drain(100);
        for (const auto& line : Lines(output_))
            std::sscanf(line.c_str(), "port %u", &port);
    }
    if (port == 0 || port > 65535)
        throw std::runtime_error("oauth_server.py gave no port: " + output_);
    port_ = static_cast<uint16_t>(port);
}

OAuthServer::~OAuthServer()
{
    // End of input ends the server; a kill only if it does not go.
    close(stdinFd_);
    int status = 0;
    for (int i = 0; i < 250 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        Drain(20);
    if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    close(stdoutFd_);
}

std::string OAuthServer::AuthorizeUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/authorize"; }
std::string OAuthServer::TokenUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/token"; }
std::string OAuthServer::Browser() { return std::string(VELTROW_SUPPORT_DIR) + "/oauth_browser.py"; }

void OAuthServer::Command(const std::string& line)
{
    const int acknowledged = Count("ok");
    const std::string text = line + "\n";
    if (write(stdinFd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("oauth_server.py took no command");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCommandTimeoutMs);
    while (Count("ok") == acknowledged && std::chrono::steady_clock::now() < deadline)
        Drain(100);
    if (Count("ok") == acknowledged)
        throw std::runtime_error("oauth_server.py did not acknowledge " + line);
}

void OAuthServer::Drain(int timeoutMs)
{
    pollfd p{stdoutFd_, POLLIN, 0};
    for (int wait = timeoutMs; poll(&p, 1, wait) > 0; wait = 0) {
        char buffer[4096];
        const ssize_t n = read(stdoutFd_, buffer, sizeof buffer);
        if (n <= 0)
            return;
        output_.append(buffer, static_cast<size_t>(n));
    }
}

int OAuthServer::Count(const std::string& report)
{
    Drain(0);
    int n = 0;
    for (const auto& line : Lines(output_))
        n += line == report ? 1 : 0;
    return n;
}

std::vector<std::string> OAuthServer::Secrets()
{
    Drain(0);
    std::vector<std::string> secrets;
    for (const auto& line : Lines(output_))
        if (line.rfind("secret ", 0) == 0 && line.size() > 7)
            secrets.push_back(line.substr(7));
    return secrets;
}

}  // namespace testsupport
