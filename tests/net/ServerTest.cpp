// The listening server: Listen and Accept, per-connection components served
// on threads of their own, Abort and destruction while clients are connected.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "net/Server.h"
#include "tests/net/NetTest.h"

using namespace nettest;

namespace {

// A plain blocking loopback client; every read gives up after a few seconds.
class Client {
public:
    Client() = default;
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connect(uint16_t port)
    {
        Close();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    void Send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // The next line with its line end; "" when the connection ended (closed or
    // reset), "<timeout>" when nothing came.
    std::string ReadLine()
    {
        std::string line;
        char c;
        while (line.empty() || line.back() != '\n') {
            const ssize_t n = ::recv(fd_, &c, 1, 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET))
                return line;
            if (n < 0)
                return "<timeout>";
            line += c;
        }
        return line;
    }
    int Fd() const { return fd_; }
    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// What the serving threads report, kept apart from the server so it may
// outlive it.
struct Record {
    std::mutex mutex;
    std::vector<std::string> endings;
    std::vector<std::thread::id> closeThreads;

    void Add(const std::string& ending)
    {
        std::lock_guard lock(mutex);
        endings.push_back(ending);
    }
    size_t Count()
    {
        std::lock_guard lock(mutex);
        return endings.size();
    }
    std::vector<std::string> Endings()
    {
        std::lock_guard lock(mutex);
        return endings;
    }
};

// A server whose per-connection components run the listening server's
// ServeWith (set before any client comes, read-only afterwards).
class TestServer : public TNMGeneralServer {
public:
    explicit TestServer(TComponent* AOwner = nullptr) : TNMGeneralServer(AOwner) {}
    // Serve uses ServeWith and record of the listening server.
    ~TestServer() override { ReleaseAllServethreads(); }
    TPowersock* Create(TComponent* AOwner) const override { return new TestServer(AOwner); }

    void Serve() override
    {
        auto* server = static_cast<TestServer*>(ListeningServer);
        if (server != nullptr && server->ServeWith)
            server->ServeWith(*this, *server->record);
    }

    uint16_t BoundPort() const
    {
        sockaddr_in address{};
        int length = sizeof address;
        winsock::getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&address), &length);
        return winsock::ntohs(address.sin_port);
    }
    size_t Clients()
    {
        const size_t n = ClientList->LockList().size();
        ClientList->UnlockList();
        return n;
    }
    std::vector<TestServer*> ClientComponents()
    {
        std::vector<TestServer*> result;
        for (TComponent* c : ClientList->LockList())
            result.push_back(static_cast<TestServer*>(c));
        ClientList->UnlockList();
        return result;
    }

    using TNMGeneralServer::Canceled;

    std::function<void(TestServer& self, Record& record)> ServeWith;
    std::shared_ptr<Record> record = std::make_shared<Record>();
    int contacts = 0;
};

// Echoes every line until the peer closes or the wait is canceled.
void Echo(TestServer& self, Record& record)
{
    try {
        for (int i = 0; i < 1000; ++i) {
            const std::string line = self.ReadLn();
            if (line.empty()) {
                record.Add("closed");
                return;
            }
            self.Write(line);
        }
        record.Add("too many lines");
    } catch (const EAbortError&) {
        // Canceled while reading or, after the reply went out, while sending.
        record.Add("aborted");
        throw;
    } catch (const ESockError& e) {
        record.Add(e.Message());
        throw;
    }
}

// A listening server on a free loopback port, counting its contacts.
std::unique_ptr<TestServer> StartServer(std::function<void(TestServer&, Record&)> serve)
{
    auto server = std::make_unique<TestServer>();
    server->ServeWith = std::move(serve);
    TestServer* s = server.get();
    server->OnClientContact = [s](TObject* Sender) {
        EXPECT_EQ(Sender, s);
        ++s->contacts;
    };
    server->Loaded();
    return server;
}

// Connects a client and waits until the server has accepted it.
void Contact(TestServer& server, Client& client)
{
    const int before = server.contacts;
    ASSERT_TRUE(client.Connect(server.BoundPort()));
    ASSERT_TRUE(WaitUntil([&] { return server.contacts == before + 1; }));
}

}  // namespace

TEST(Server, CreatedInCodeListensOnlyFromLoaded)
{
    // A set Port is needed here, so it is taken below the kernel's range for
    // port 0, which every other test's server uses: none of them can hold it.
    // Something else on the machine may, so a taken number means another one.
    unsigned low = 32768, high = 60999;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
    const unsigned first = std::max(1024u, low / 2);
    ASSERT_GT(low, first);
    std::mt19937 pick{std::random_device{}()};
    std::unique_ptr<TestServer> owned;
    Client client;
    for (int attempt = 0; attempt < 20 && !owned; ++attempt) {
        const auto port = static_cast<uint16_t>(first + pick() % (low - first));
        owned = std::make_unique<TestServer>();
        TestServer* s = owned.get();
        s->Port = port;
        s->ServeWith = Echo;
        s->OnClientContact = [s](TObject*) { ++s->contacts; };
        EXPECT_EQ(s->BoundPort(), 0);  // nothing bound, so nothing listens yet
        if (client.Connect(port)) {
            owned.reset();  // someone else's
            continue;
        }
        s->Loaded();
        if (s->BoundPort() != port)
            owned.reset();
    }
    ASSERT_TRUE(owned) << "never listened on its set Port";
    TestServer& server = *owned;
    EXPECT_EQ(server.GetRemoteIP(), "0.0.0.0");  // bound to every local address
    Contact(server, client);
    client.Send("ping\r\n");
    EXPECT_EQ(client.ReadLine(), "ping\r\n");
}

TEST(Server, TwoClientsInARowGiveTwoComponents)
{
    auto server = StartServer(Echo);
    Client first, second;
    Contact(*server, first);
    ASSERT_EQ(server->Clients(), 1u);
    Contact(*server, second);
    ASSERT_EQ(server->contacts, 2);

    const std::vector<TestServer*> clients = server->ClientComponents();
    ASSERT_EQ(clients.size(), 2u);
    EXPECT_NE(clients[0], clients[1]);
    for (TestServer* c : clients) {
        EXPECT_EQ(c->ListeningServer, server.get());
        EXPECT_NE(c->ServerThread, nullptr);
        EXPECT_EQ(c->ClientList, nullptr);
        EXPECT_EQ(c->Owner(), server.get());
        EXPECT_EQ(c->GetRemoteIP(), "127.0.0.1");
    }
    first.Send("one\r\n");
    second.Send("two\r\n");
    EXPECT_EQ(second.ReadLine(), "two\r\n");
    EXPECT_EQ(first.ReadLine(), "one\r\n");

    // A client that leaves ends its Serve; the component goes back and is freed.
    first.Close();
    ASSERT_TRUE(WaitUntil([&] { return server->Clients() == 1; }));
    EXPECT_EQ(server->record->Endings(), std::vector<std::string>{"closed"});
}

TEST(Server, EchoesSeveralClientsAtOnceAndDiesCleanlyUnderThem)
{
    auto server = StartServer(Echo);
    const std::shared_ptr<Record> record = server->record;
    Client clients[3];
    for (Client& c : clients)
        Contact(*server, c);
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 3; ++i)
            clients[i].Send("line " + std::to_string(round) + "/" + std::to_string(i) + "\r\n");
        for (int i = 2; i >= 0; --i)
            EXPECT_EQ(clients[i].ReadLine(), "line " + std::to_string(round) + "/" + std::to_string(i) + "\r\n");
    }

    server.reset();  // waits for every Serve to notice the cancel
    EXPECT_EQ(record->Endings(), std::vector<std::string>(3, "aborted"));
    for (Client& c : clients)
        EXPECT_EQ(c.ReadLine(), "");  // each connection was closed with its component
}

TEST(Server, AbortCancelsEveryPerConnectionComponent)
{
    // Watches its own flag without clearing it, unlike a canceled operation.
    auto server = StartServer([](TestServer& self, Record& record) {
        for (int i = 0; i < 5000 && !self.Canceled; ++i)
            win::Sleep(1);
        record.Add(self.Canceled ? "canceled" : "not canceled");
    });
    Client clients[3];
    for (Client& c : clients)
        Contact(*server, c);
    ASSERT_EQ(server->Clients(), 3u);

    server->Abort();
    EXPECT_FALSE(server->Canceled);  // the listening component goes on
    ASSERT_TRUE(WaitUntil([&] { return server->record->Count() == 3; }));
    EXPECT_EQ(server->record->Endings(), std::vector<std::string>(3, "canceled"));
    ASSERT_TRUE(WaitUntil([&] { return server->Clients() == 0; }));

    // And it still accepts.
    Client late;
    Contact(*server, late);
    EXPECT_EQ(server->Clients(), 1u);
}

// The per-connection component's notices and ticks are handled on its serving
// thread, inside Serve's own waits.
TEST(Server, NoticesAndTimeOutReachTheServingThread)
{
    auto server = StartServer([](TestServer& self, Record& record) {
        const std::thread::id me = std::this_thread::get_id();
        self.OnDisconnect = [&record, me](TObject*) {
            record.Add(std::this_thread::get_id() == me ? "close on serving thread" : "close elsewhere");
        };
        self.TimeOut = 100;
        try {
            self.ReadLn();  // nothing comes: the component's own timer ends the wait
        } catch (const EAbortError& e) {
            record.Add(e.Message());
        }
        self.TimeOut = 0;
        self.Writeln("bye");
        // Wait for the client's close as a notice, not as a read.
        for (int i = 0; i < 5000 && self.Connected; ++i) {
            win::Sleep(1);
            win::ProcessMessages();
        }
    });
    Client client;
    Contact(*server, client);
    EXPECT_EQ(client.ReadLine(), "bye\r\n");
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return server->Clients() == 0; }));
    EXPECT_EQ(server->record->Endings(),
              (std::vector<std::string>{"Socket readln aborted", "close on serving thread"}));
}

// Handlers copied from the server run on the user-interface thread, with the
// per-connection component as sender, before that component is released.
TEST(Server, CopiedOnDisconnectRunsOnTheUserInterfaceThread)
{
    auto server = StartServer([](TestServer& self, Record&) {
        if (self.ReadLn() == "QUIT\r\n")
            self.Disconnect();
    });
    std::vector<TObject*> senders;
    bool listedWhenCalled = false;
    const std::thread::id ui = std::this_thread::get_id();
    TestServer* s = server.get();
    server->OnDisconnect = [&, s](TObject* Sender) {
        EXPECT_EQ(std::this_thread::get_id(), ui);
        senders.push_back(Sender);
        const auto clients = s->ClientComponents();
        listedWhenCalled = std::find(clients.begin(), clients.end(), Sender) != clients.end();
    };
    Client client;
    Contact(*server, client);
    TObject* component = server->ClientComponents().at(0);
    client.Send("QUIT\r\n");
    EXPECT_EQ(client.ReadLine(), "");
    ASSERT_TRUE(WaitUntil([&] { return server->Clients() == 0; }));
    EXPECT_EQ(senders, std::vector<TObject*>{component});
    EXPECT_TRUE(listedWhenCalled);
}

// Freeing the component right after Serve must not cut off what it sent last.
TEST(Server, LastReplySurvivesTheRelease)
{
    // More than a piece, less than loopback's socket buffers take, so Serve
    // ends while much of it still waits in the server's send queue.
    constexpr int32_t size = 512 * 1024;
    auto server = StartServer([](TestServer& self, Record& record) {
        TMemoryStream reply;
        reply.SetSize(size);
        std::fill(reply.Memory(), reply.Memory() + size, 'r');
        self.SendStream(reply);
        record.Add("sent");
    });
    Client client;
    Contact(*server, client);
    std::string got;
    char buffer[65536];
    for (int i = 0; i < 10000; ++i) {
        // Read on only once Serve has ended and its component is freed.
        if (got.size() > 65536 && server->Clients() != 0) {
            EXPECT_TRUE(WaitUntil([&] { return server->Clients() == 0; }));
        }
        const ssize_t n = ::recv(client.Fd(), buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        got.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(server->record->Endings(), std::vector<std::string>{"sent"});
    EXPECT_EQ(got.size(), static_cast<size_t>(size));
}

TEST(Server, FailedAcceptIsDroppedButStillCounts)
{
    auto server = StartServer(Echo);
    server->Cancel();  // the server's own Accept now refuses
    Client client;
    Contact(*server, client);
    EXPECT_EQ(server->Clients(), 0u);
}

// ---------------------------------------------------------------------------
// Listen and Accept on a plain component

namespace {

uint16_t LocalPort(TestSock& sock)
{
    sockaddr_in address{};
    int length = sizeof address;
    winsock::getsockname(sock.SocketHandle, reinterpret_cast<sockaddr*>(&address), &length);
    return winsock::ntohs(address.sin_port);
}

}  // namespace

TEST(Accept, AlternateMessageThenAcceptReturnsTheConnection)
{
    TestSock sock;
    int disconnects = 0;
    sock.OnDisconnect = [&](TObject*) { ++disconnects; };
    sock.Listen(true);
    Client client;
    ASSERT_TRUE(client.Connect(LocalPort(sock)));
    ASSERT_TRUE(WaitUntil([&] { return sock.EventArrived; }));
    // The accept notice on 1126 sets Connected and fires OnDisconnect.
    EXPECT_TRUE(sock.Connected);
    EXPECT_EQ(disconnects, 1);

    const uint16_t handle = sock.Accept();
    EXPECT_NE(handle, INVALID_SOCKET_HANDLE);
    EXPECT_EQ(sock.GetRemoteIP(), "127.0.0.1");
    EXPECT_NE(handle, sock.SocketHandle);  // the listener stays
    const std::string hello = "hello\r\n";
    EXPECT_EQ(winsock::send(handle, hello.data(), static_cast<int>(hello.size()), 0), 7);
    EXPECT_EQ(client.ReadLine(), hello);
    sock.Close(handle);
    EXPECT_EQ(client.ReadLine(), "");
}

TEST(Accept, CanceledFailedAndOutOfRange)
{
    TestSock sock;
    sock.Listen(false);
    sock.Cancel();
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.Accept(); }), "Accepting Canceled");
    EXPECT_TRUE(sock.Canceled);

    sock.Canceled = false;
    sock.EventArrived = true;
    sock.LastEventOk = false;
    EXPECT_EQ(MessageOf<ESockError>([&] { sock.Accept(); }), "Error creating Data Connection");

    sock.Port = 65536;
    EXPECT_THROW(sock.Listen(false), ERangeError);
}
