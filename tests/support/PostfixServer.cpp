#include "tests/support/PostfixServer.h"
#include "tests/support/ScriptedPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr const char* DaemonDir = "/usr/lib/postfix/sbin";
constexpr int PollMs = 20;

// Only the services a message needs on its way to the discard transport, and
// the log's own; all run without a chroot, which the folder lacks.
constexpr const char* MasterCf =
    "cleanup   unix  n - n - 0 cleanup\n"
    "qmgr      unix  n - n 300 1 qmgr\n"
    "tlsmgr    unix  - - n 1000? 1 tlsmgr\n"
    "rewrite   unix  - - n - - trivial-rewrite\n"
    "bounce    unix  - - n - 0 bounce\n"
    "defer     unix  - - n - 0 bounce\n"
    "trace     unix  - - n - 0 bounce\n"
    "verify    unix  - - n - 1 verify\n"
    "proxymap  unix  - - n - - proxymap\n"
    "error     unix  - - n - - error\n"
    "retry     unix  - - n - - error\n"
    "discard   unix  - - n - - discard\n"
    "anvil     unix  - - n - 1 anvil\n"
    "scache    unix  - - n - 1 scache\n"
    "postlog   unix-dgram n - n - 1 postlogd\n";

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void Copy(const std::string& from, const std::string& to, uid_t owner)
{
    std::ofstream(to, std::ios::binary) << ReadAll(from);
    if (::chown(to.c_str(), owner, static_cast<gid_t>(-1)) != 0 || ::chmod(to.c_str(), 0600) != 0)
        throw std::runtime_error("PostfixServer: cannot hand " + to + " to postfix");
}

// Everything the child needs is made before the fork: the test process has
// threads, so the child may only make system calls until exec.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& config, int connection = -1,
            const passwd* user = nullptr)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::string env = "MAIL_CONFIG=" + config;
    char* envp[] = {env.data(), nullptr};
    const uid_t uid = user ? user->pw_uid : 0;
    const gid_t gid = user ? user->pw_gid : 0;
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    if (connection >= 0) {
        ::dup2(connection, 0);
        ::dup2(connection, 1);
    }
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    if (user && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
        ::_exit(126);
    ::execve(args[0], args.data(), envp);
    ::_exit(127);
}

int Wait(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string PostfixServer::Unavailable()
{
    if (::access((std::string(DaemonDir) + "/master").c_str(), X_OK) != 0 || !::getpwnam("postfix"))
        return "Postfix is not installed (scripts/setup.sh installs it)";
    if (::geteuid() != 0)
        return "Postfix's master runs only as root";
    return {};
}

PostfixServer::PostfixServer(const std::string& Settings, const std::string& CertFile, const std::string& KeyFile)
{
    const passwd* postfix = ::getpwnam("postfix");
    if (!postfix)
        throw std::runtime_error("PostfixServer: no postfix user");
    const std::string dir = folder_.Path();
    // The daemons run as postfix and must reach the queue inside.
    ::chmod(dir.c_str(), 0755);
    const std::string queue = dir + "/queue", data = dir + "/data";
    for (const std::string& d : {queue, data})
        if (::mkdir(d.c_str(), 0755) != 0 || ::chown(d.c_str(), postfix->pw_uid, postfix->pw_gid) != 0)
            throw std::runtime_error("PostfixServer: cannot make " + d);
    Copy(CertFile, dir + "/cert.pem", postfix->pw_uid);
    Copy(KeyFile, dir + "/key.pem", postfix->pw_uid);
    std::ofstream(dir + "/main.cf") << "compatibility_level = 3.6\n"
                                       "queue_directory = " << queue << "\n"
                                       "data_directory = " << data << "\n"
                                       "mail_owner = postfix\n"
                                       "myhostname = mx.test.invalid\n"
                                       "mydestination =\n"
                                       "relay_domains =\n"
                                       "inet_interfaces = loopback-only\n"
                                       "inet_protocols = ipv4\n"
                                       "mynetworks = 127.0.0.0/8\n"
                                       "default_transport = discard\n"
                                       "alias_maps =\n"
                                       "alias_database =\n"
                                       "notify_classes =\n"
                                       "maillog_file_prefixes = " << dir << "\n"
                                       "maillog_file = " << dir << "/maillog\n"
                                       "smtpd_client_connection_count_limit = 0\n"
                                       "smtpd_client_connection_rate_limit = 0\n"
                                       "smtpd_tls_security_level = may\n"
                                       "smtpd_tls_cert_file = " << dir << "/cert.pem\n"
                                       "smtpd_tls_key_file = " << dir << "/key.pem\n"
                                    << Settings << "\n";
    std::ofstream(dir + "/master.cf") << MasterCf;
    // Makes the queue's folders.
    if (Wait(Spawn({"/usr/sbin/postfix", "-c", dir, "check"}, dir)) != 0)
        throw std::runtime_error("PostfixServer: postfix check failed in " + dir);
    master_ = Spawn({std::string(DaemonDir) + "/master", "-c", dir, "-d"}, dir);

    listenFd_ = ListenLoopback(8, port_);
    acceptor_ = std::thread([this] { Serve(); });
}

PostfixServer::~PostfixServer()
{
    stop_ = true;
    acceptor_.join();
    for (pid_t pid : smtpds_) {
        ::kill(pid, SIGTERM);
        Wait(pid);
    }
    if (master_ > 0) {
        // The master ends its daemons before it exits.
        ::kill(master_, SIGTERM);
        Wait(master_);
    }
    ::close(listenFd_);
}

void PostfixServer::Serve()
{
    const passwd* postfix = ::getpwnam("postfix");
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, PollMs) <= 0)
            continue;
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        // As the postfix user an smtpd on its standard input serves it as a
        // network client, not as a local submission.
        smtpds_.push_back(Spawn({std::string(DaemonDir) + "/smtpd", "-n", "smtp", "-t", "inet", "-S"},
                                folder_.Path(), client, postfix));
        ::close(client);
    }
}

std::string PostfixServer::Log() const { return ReadAll(folder_.Path() + "/maillog"); }

}  // namespace testsupport
