#include "tests/support/SecretService.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {
namespace {

// Bus and daemon start in well under a second; sanitizer runs are slower.
constexpr int kStartTimeoutMs = 15000;
constexpr int kStopTimeoutMs = 5000;

}  // namespace

PrivateSecretService::PrivateSecretService()
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    const std::string log = home_.Path() + "/service.log";
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    std::vector<std::string> args{"/usr/bin/dbus-run-session", "--", "/bin/bash",
                                  std::string(VELTROW_SUPPORT_DIR) + "/secret_service.sh", home_.Path()};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start dbus-run-session");
    }
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (got.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{stdoutFd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[512];
        const ssize_t n = ::read(stdoutFd_, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    if (!got.starts_with("bus ") || got.find('\n') == std::string::npos) {
        std::string why;
        try {
            why = ReadWholeFile(log);
        } catch (const std::exception&) {
        }
        Stop();
        throw std::runtime_error("private Secret Service did not start: " + why);
    }
    address_ = got.substr(4, got.find('\n') - 4);
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

namespace {

// The secret store's library speaks to the session bus through GLib, whose
// shared session-bus connection raises SIGTERM in its process when the bus
// goes away. A test's private bus goes away at the end of every test that
// used it: told beforehand, the connection just closes, and the next test's
// store connects to its own bus. GLib is loaded already where a store used
// it; where none did there is nothing to tell.
void KeepProcessWhenBusCloses()
{
    void* gio = dlopen("libgio-2.0.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (!gio)
        return;
    using BusGet = void* (*)(int, void*, void**);
    using SetExitOnClose = void (*)(void*, int);
    using Unref = void (*)(void*);
    const auto busGet = reinterpret_cast<BusGet>(dlsym(gio, "g_bus_get_sync"));
    const auto setExit = reinterpret_cast<SetExitOnClose>(dlsym(gio, "g_dbus_connection_set_exit_on_close"));
    const auto unref = reinterpret_cast<Unref>(dlsym(gio, "g_object_unref"));
    constexpr int SessionBus = 2;  // G_BUS_TYPE_SESSION
    if (busGet && setExit && unref) {
        if (void* connection = busGet(SessionBus, nullptr, nullptr)) {
            setExit(connection, 0);
            unref(connection);
        }
    }
    dlclose(gio);
}

}  // namespace

PrivateSecretService::~PrivateSecretService() { Stop(); }

void PrivateSecretService::Stop()
{
    KeepProcessWhenBusCloses();
    if (stdinFd_ >= 0)
        ::close(stdinFd_);
    stdinFd_ = -1;
    if (pid_ > 0) {
        int status = 0;
        bool ended = false;
        for (int waited = 0; waited < kStopTimeoutMs && !ended; waited += 10) {
            ended = waitpid(pid_, &status, WNOHANG) == pid_;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (stdoutFd_ >= 0)
        ::close(stdoutFd_);
    stdoutFd_ = -1;
}

std::string PrivateSecretService::Search(const std::string& name, const std::string& value) const
{
    return RunProgram({"/usr/bin/secret-tool", "search", "--all", "--unlock", name, value}, 10000).Output;
}

}  // namespace testsupport
