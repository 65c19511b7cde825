// The socket unit's listening server: TNMGeneralServer and the thread that
// serves each accepted connection.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "net/Psock.h"

// A list of components with its own lock.
class TClientList {
public:
    std::vector<TComponent*>& LockList()
    {
        lock_.lock();
        return items_;
    }
    void UnlockList() { lock_.unlock(); }

private:
    std::mutex lock_;
    std::vector<TComponent*> items_;
};

// Listens on Port and hands every accepted connection to a per-connection
// component of its own class, served by Serve on a thread of its own. All
// that component does, its notifications and time-out included, happens on
// that thread; the OnConnect and OnDisconnect it copies from the server reach
// the server's handlers on the user-interface thread, with the component as
// Sender. Finished components are freed on the user-interface thread.
class TNMGeneralServer : public TPowersock {
public:
    explicit TNMGeneralServer(TComponent* AOwner);
    ~TNMGeneralServer() override;

    TPowersock* Create(TComponent* AOwner) const override;
    // A server does not connect.
    void Connect() override;
    // Cancels every per-connection component; the server itself goes on.
    void Abort() override;
    // The protocol of one connection; does nothing here.
    virtual void Serve();

    // Starts listening (outside design mode).
    void Loaded() override;
    // The server's OnAcceptReady handler.
    void ServerAccept(TObject* Sender);

    TNotifyEvent OnClientContact;
    // Only in a server whose owner is not itself a server.
    std::unique_ptr<TClientList> ClientList;
    // In a per-connection component: its thread and the server that accepted it.
    InstantiateServethread* ServerThread = nullptr;
    TNMGeneralServer* ListeningServer = nullptr;

protected:
    // Cancels the per-connection components, waits until every serving thread
    // has ended and frees the components; the server stops handing out new
    // ones. The destructor does this; a descendant whose Serve uses members
    // of the listening server must do it first in its own destructor.
    void ReleaseAllServethreads();

private:
    friend class InstantiateServethread;

    // Serving threads not yet released (guarded by ServerLock), and the window
    // of the user-interface thread through which they hand their components
    // back to be freed there.
    std::vector<InstantiateServethread*> serveThreads_;
    HWND releaseWindow_{};
};

// Serves one accepted connection on its own thread and frees itself (and the
// per-connection component) when Serve returns.
class InstantiateServethread : public TObject {
public:
    InstantiateServethread(TNMGeneralServer* Server, uint16_t Socket);
    ~InstantiateServethread() override;

    TNMGeneralServer* ClientComponent = nullptr;

protected:
    virtual void Execute();

private:
    // Starts the thread, which was held back while the component was set up.
    void Resume();
    // On the serving thread: before Serve the component's notification window
    // and timer become that thread's; after Serve they are destroyed there.
    void TakeOver();
    void GiveBack();
    void Run();

    struct Worker;
    friend class TNMGeneralServer;
    std::unique_ptr<Worker> worker_;
};
