#include "tests/support/SecretService.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace testsupport {
namespace {

// Bus and daemon start in well under a second; sanitizer runs are slower.
constexpr int kAnswerTimeoutMs = 15000;

// The tests' session bus: dbus-run-session running secret_service.sh, which
// takes its commands on stdin. Never stopped: the process's end closes the
// pipe, and the script, the daemon and the bus go after it, when no
// connection of this process can be hurt by the bus closing any more.
class PrivateBus {
public:
    static PrivateBus& Get()
    {
        static PrivateBus* bus = new PrivateBus();  // outlives every test, on purpose
        return *bus;
    }
    const std::string& Address() const { return address_; }
    // Sends command and returns the script's one-line answer (bounded).
    std::string Ask(const std::string& command)
    {
        const std::string line = command + "\n";
        if (::write(stdinFd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            throw std::runtime_error("private bus script is gone: " + Log());
        return ReadLine();
    }
    std::string Log() const
    {
        try {
            return ReadWholeFile(folder_.Path() + "/bus.log");
        } catch (const std::exception&) {
            return "";
        }
    }

private:
    PrivateBus()
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        const std::string log = folder_.Path() + "/bus.log";
        posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addclosefrom_np(&fa, 3);
        const std::string dir = VELTROW_SUPPORT_DIR;
        std::vector<std::string> args{"/usr/bin/dbus-run-session", "--config-file=" + dir + "/secret_bus.conf",
                                      "--", "/bin/bash", dir + "/secret_service.sh"};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        stdinFd_ = in[1];
        stdoutFd_ = out[0];
        if (rc != 0)
            throw std::runtime_error("cannot start dbus-run-session");
        const std::string first = ReadLine();
        if (!first.starts_with("bus "))
            throw std::runtime_error("private session bus did not start: " + Log());
        address_ = first.substr(4);
    }
    std::string ReadLine()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
        while (pending_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{stdoutFd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buf[512];
            const ssize_t n = ::read(stdoutFd_, buf, sizeof buf);
            if (n <= 0)
                break;
            pending_.append(buf, static_cast<size_t>(n));
        }
        const size_t end = pending_.find('\n');
        if (end == std::string::npos)
            return "";
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
    }

    TempFolder folder_;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    std::string pending_;
    std::string address_;
};

// libsecret keeps its Secret Service client, with the session it opened at
// the daemon, for the whole process. Once that daemon has ended the session
// is gone with it: dropped, the next store opens one with the daemon then
// running, or finds none runs.
void ForgetSecretServiceClient()
{
    void* secret = dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (!secret)
        return;
    using Disconnect = void (*)();
    if (const auto disconnect = reinterpret_cast<Disconnect>(dlsym(secret, "secret_service_disconnect")))
        disconnect();
    dlclose(secret);
}

std::string DaemonLog(const std::string& home)
{
    try {
        return ReadWholeFile(home + "/daemon.log");
    } catch (const std::exception&) {
        return "";
    }
}

}  // namespace

PrivateSecretService::PrivateSecretService()
{
    PrivateBus& bus = PrivateBus::Get();
    address_ = bus.Address();
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    if (bus.Ask("start " + home_.Path()) != "ready") {
        const std::string why = DaemonLog(home_.Path()) + bus.Log();
        bus.Ask("stop");
        throw std::runtime_error("private Secret Service did not start: " + why);
    }
}

PrivateSecretService::~PrivateSecretService()
{
    PrivateBus::Get().Ask("stop");
    ForgetSecretServiceClient();
}

std::string PrivateSecretService::Search(const std::string& name, const std::string& value) const
{
    return RunProgram({"/usr/bin/secret-tool", "search", "--all", "--unlock", name, value}, 10000).Output;
}

}  // namespace testsupport
