// The server side of the socket unit: Listen and Accept of TPowersock, the
// listening server TNMGeneralServer and the thread that serves one accepted
// connection.
//
// Threads. Accepting runs on the user-interface thread, each Serve on a thread
// of its own. A per-connection component is built on the user-interface
// thread, but while it is served everything it does happens on its serving
// thread: before Serve starts, that thread gives the component a notification
// window and a timer of its own thread, so the component's socket
// notifications and time-out ticks are handled inside Serve's own waits, as
// they would be on a single thread. Handled on the user-interface thread they
// would run under Serve: a close notice peeks into IoBuffer and replaces the
// socket while Serve reads it. The only thing the user-interface thread does
// to a served component is set its Canceled flag (an atomic).
//
// Release. When Serve returns, the serving thread destroys the windows it made
// and posts its component back to the listening server's release window; the
// user-interface thread joins the thread and frees the component there. So a
// component is built and freed on the thread that owns WinsockUsers and the
// server's component list, and never freed while its thread still runs. The
// server's destructor cancels the components and waits for their threads.
//
// OnConnect and OnDisconnect, copied from the server into each per-connection
// component, reach the server's handlers on the user-interface thread (posted
// through the same window, so before the component's release).

#include <QEventLoop>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/Psock.h"
#include "net/Psock_p.h"
#include "net/Server.h"
#include "rtl/Narrow.h"

std::recursive_mutex ServerLock;

namespace {

// Messages of a listening server's release window.
constexpr win::UINT WM_SERVETHREADDONE = win::WM_USER + 103;  // wParam: the finished thread
constexpr win::UINT WM_CLIENTCONNECT = win::WM_USER + 104;    // wParam: the component
constexpr win::UINT WM_CLIENTDISCONNECT = win::WM_USER + 105; // wParam: the component

// Listening sockets are told of pending connections only.
constexpr long kAcceptMask = winsock::FD_ACCEPT;

}  // namespace

// ---------------------------------------------------------------------------
// Listen and Accept

void TPowersock::Listen(bool UseAltMessage)
{
    StatusMessage(8, "Listening");
    RemoteAddress.sin_family = AF_INET;
    RemoteAddress.sin_port = winsock::htons(Narrow<uint16_t>(Port));
    RemoteAddress.sin_addr.s_addr = winsock::inet_addr("0.0.0.0");
    EventArrived = false;
    // A port in use shows only as the absence of accept notifications.
    winsock::bind(SocketHandle, reinterpret_cast<const sockaddr*>(&RemoteAddress), sizeof RemoteAddress);
    winsock::WSAAsyncSelect(SocketHandle, WindowHandle,
                            UseAltMessage ? psock::WM_WAITFORRESPONSE : psock::WM_ASYNCHRONOUSPROCESS,
                            kAcceptMask);
    winsock::listen(SocketHandle, 1);
}

uint16_t TPowersock::Accept()
{
    StatusMessage(4, "Accepting");
    while (!EventArrived && !Canceled)
        SleepingCycle();
    if (Canceled)
        throw ESockError("Accepting Canceled");
    if (!LastEventOk)
        throw ESockError("Error creating Data Connection");

    TSockAddrIn peer{};
    int length = sizeof peer;
    const winsock::SOCKET accepted =
        winsock::accept(SocketHandle, reinterpret_cast<sockaddr*>(&peer), &length);
    uint16_t handle;
    try {
        handle = Narrow<uint16_t>(accepted);
    } catch (...) {
        if (accepted != winsock::INVALID_SOCKET)
            winsock::closesocket(accepted);
        throw;
    }
    winsock::WSAAsyncSelect(handle, WindowHandle, psock::WM_ASYNCHRONOUSPROCESS, psock::SocketEventMask);
    RemoteAddress = peer;
    if (Canceled) {
        // Nobody gets the new connection: do not leave it open.
        winsock::closesocket(handle);
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
    return handle;
}

// ---------------------------------------------------------------------------
// TNMGeneralServer

TNMGeneralServer::TNMGeneralServer(TComponent* AOwner) : TPowersock(AOwner)
{
    // A per-connection component is owned by its server and has no list.
    if (dynamic_cast<TNMGeneralServer*>(AOwner) != nullptr)
        return;
    ClientList = std::make_unique<TClientList>();
    releaseWindow_ = win::CreateHiddenWindow([this](win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM) {
        switch (msg) {
        case WM_SERVETHREADDONE: {
            // Its destructor joins the thread, then frees the component.
            delete reinterpret_cast<InstantiateServethread*>(wParam);
            break;
        }
        case WM_CLIENTCONNECT:
            if (OnConnect)
                OnConnect(reinterpret_cast<TPowersock*>(wParam));
            break;
        case WM_CLIENTDISCONNECT:
            if (OnDisconnect)
                OnDisconnect(reinterpret_cast<TPowersock*>(wParam));
            break;
        default:
            break;
        }
        return win::LRESULT{0};
    });
}

TNMGeneralServer::~TNMGeneralServer()
{
    Destroying();
    ReleaseAllServethreads();
    ClientList.reset();
}

TPowersock* TNMGeneralServer::Create(TComponent* AOwner) const
{
    return new TNMGeneralServer(AOwner);
}

void TNMGeneralServer::Connect()
{
}

void TNMGeneralServer::Abort()
{
    if (!ClientList) {
        // A per-connection component: its own time-out ends its wait.
        TPowersock::Abort();
        return;
    }
    std::vector<TComponent*>& clients = ClientList->LockList();
    // Only the flag: the components' status reports belong to their serving
    // threads.
    for (TComponent* client : clients)
        static_cast<TPowersock*>(client)->Canceled = true;
    ClientList->UnlockList();
}

void TNMGeneralServer::Serve()
{
}

void TNMGeneralServer::Loaded()
{
    TPowersock::Loaded();
    if (Designing())
        return;
    OnAcceptReady = [this](TObject* Sender) { ServerAccept(Sender); };
    Listen(false);
}

void TNMGeneralServer::ServerAccept(TObject* Sender)
{
    {
        std::lock_guard lock(ServerLock);
        try {
            // The accept notice on 1125 does not set EventArrived by itself.
            EventArrived = true;
            const uint16_t socket = Accept();
            new InstantiateServethread(this, socket);
        } catch (...) {
            // A failed or canceled accept is dropped; the contact still counts.
        }
    }
    if (OnClientContact)
        OnClientContact(Sender);
}

void TNMGeneralServer::ReleaseAllServethreads()
{
    OnAcceptReady = nullptr;
    try {
        Abort();
    } catch (...) {
    }
    // Pending hand-backs are dropped with the window; they are done here.
    if (releaseWindow_ != 0)
        win::DestroyWindow(releaseWindow_);
    releaseWindow_ = 0;
    std::vector<InstantiateServethread*> threads;
    {
        std::lock_guard lock(ServerLock);
        threads.swap(serveThreads_);
    }
    for (InstantiateServethread* thread : threads)
        delete thread;  // waits until its Serve has ended
}

// ---------------------------------------------------------------------------
// InstantiateServethread

struct InstantiateServethread::Worker {
    TNMGeneralServer* server = nullptr;
    uint16_t socket = INVALID_SOCKET_HANDLE;
    bool socketHandedOver = false;  // the component closes it from now on
    HWND releaseWindow{};
    std::thread thread;

    // The creating thread waits until the serving thread owns the component.
    std::mutex mutex;
    std::condition_variable changed;
    bool takenOver = false;
};

InstantiateServethread::InstantiateServethread(TNMGeneralServer* Server, uint16_t Socket)
    : worker_(std::make_unique<Worker>())
{
    worker_->server = Server;
    worker_->socket = Socket;
    worker_->releaseWindow = Server->releaseWindow_;
    {
        std::lock_guard lock(ServerLock);
        Server->serveThreads_.push_back(this);
    }
    try {
        TPowersock* made = Server->Create(Server);
        ClientComponent = dynamic_cast<TNMGeneralServer*>(made);
        if (ClientComponent == nullptr) {
            delete made;
            throw ESockError("not a server component");
        }
        TNMGeneralServer* client = ClientComponent;
        client->Connected = true;
        client->RemoteAddress = Server->RemoteAddress;
        // The server's handlers run on the user-interface thread.
        const HWND window = Server->releaseWindow_;
        if (Server->OnConnect)
            client->OnConnect = [window](TObject* Sender) {
                win::PostMessage(window, WM_CLIENTCONNECT, reinterpret_cast<win::WPARAM>(Sender), 0);
            };
        if (Server->OnDisconnect)
            client->OnDisconnect = [window](TObject* Sender) {
                win::PostMessage(window, WM_CLIENTDISCONNECT, reinterpret_cast<win::WPARAM>(Sender), 0);
            };
        client->ServerThread = this;
        winsock::closesocket(client->SocketHandle);
        client->SocketHandle = Socket;
        worker_->socketHandedOver = true;
        // The accepted socket inherits the listener's abortive close, which
        // would throw away a last reply still on its way when the component
        // is freed right after Serve.
        const linger graceful{0, 0};
        winsock::setsockopt(Socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&graceful),
                            sizeof graceful);
        if (Server->ClientList) {
            Server->ClientList->LockList().push_back(client);
            Server->ClientList->UnlockList();
        }
        winsock::WSAAsyncSelect(Socket, client->WindowHandle, psock::WM_ASYNCHRONOUSPROCESS,
                                psock::SocketEventMask);
        client->ListeningServer = Server;
    } catch (...) {
        // The thread still runs and hands back whatever was built.
    }
    Resume();
}

InstantiateServethread::~InstantiateServethread()
{
    if (worker_->thread.joinable())
        worker_->thread.join();
    std::lock_guard lock(ServerLock);
    TNMGeneralServer* server = worker_->server;
    auto& threads = server->serveThreads_;
    threads.erase(std::remove(threads.begin(), threads.end(), this), threads.end());
    if (ClientComponent != nullptr) {
        if (server->ClientList) {
            auto& clients = server->ClientList->LockList();
            clients.erase(std::remove(clients.begin(), clients.end(), ClientComponent), clients.end());
            server->ClientList->UnlockList();
        }
        delete ClientComponent;
        ClientComponent = nullptr;
    }
    if (!worker_->socketHandedOver)
        winsock::closesocket(worker_->socket);
}

void InstantiateServethread::Resume()
{
    Worker& w = *worker_;
    try {
        w.thread = std::thread([this] { Run(); });
    } catch (...) {
        // No thread: the connection is never served, only released.
        win::PostMessage(w.releaseWindow, WM_SERVETHREADDONE, reinterpret_cast<win::WPARAM>(this), 0);
        return;
    }
    std::unique_lock lock(w.mutex);
    w.changed.wait(lock, [&w] { return w.takenOver; });
}

// The serving thread's whole life.
void InstantiateServethread::Run()
{
    {
        // An event dispatcher for this thread's windows and timers.
        QEventLoop eventLoop;
        bool ownsComponent = false;
        try {
            TakeOver();
            ownsComponent = true;
        } catch (...) {
            // Served with windows of another thread it would race: not served.
        }
        {
            std::lock_guard lock(worker_->mutex);
            worker_->takenOver = true;
        }
        worker_->changed.notify_all();
        if (ownsComponent)
            Execute();
        try {
            GiveBack();
        } catch (...) {
        }
    }
    // Once posted, the user-interface thread may join and free us.
    win::PostMessage(worker_->releaseWindow, WM_SERVETHREADDONE, reinterpret_cast<win::WPARAM>(this), 0);
}

void InstantiateServethread::Execute()
{
    if (ClientComponent == nullptr)
        return;
    try {
        ClientComponent->Serve();
    } catch (...) {
    }
}

// On the serving thread, while the creating thread waits: the component's
// notification window and timer become this thread's.
void InstantiateServethread::TakeOver()
{
    TNMGeneralServer* client = ClientComponent;
    if (client == nullptr)
        return;
    const HWND window = PsockAllocateHWnd(client);
    if (window == 0)
        throw ESockError("no notification window");
    // Re-registering drops what was queued for the old window and reports
    // afresh what is still pending.
    if (worker_->socketHandedOver)
        winsock::WSAAsyncSelect(client->SocketHandle, window, psock::WM_ASYNCHRONOUSPROCESS,
                                psock::SocketEventMask);
    if (client->WindowHandle != 0)
        win::DestroyWindow(client->WindowHandle);
    client->WindowHandle = window;
    auto* timer = new TThreadTimer(client);
    timer->SetEnabled(false);
    timer->SetOnTimer([client](TObject* Sender) { client->TimerFired(Sender); });
    delete client->Timer;
    client->Timer = timer;
}

// On the serving thread after Serve: its windows go with it; the socket stays
// open until the component is freed.
void InstantiateServethread::GiveBack()
{
    TNMGeneralServer* client = ClientComponent;
    if (client == nullptr)
        return;
    if (client->SocketHandle != INVALID_SOCKET_HANDLE)
        winsock::WSAAsyncSelect(client->SocketHandle, 0, 0, 0);
    delete client->Timer;
    client->Timer = nullptr;
    if (client->WindowHandle != 0)
        win::DestroyWindow(client->WindowHandle);
    client->WindowHandle = 0;
}
