// Host names: gethostname, the blocking gethostbyname and the background
// lookups of WSAAsyncGetHostByName with their cancelling.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/Internal.h"
#include "platform/SocketTable.h"

namespace winsock {
namespace {

using detail::Fail;
using detail::Started;

// Winsock's own limit on addresses in a host entry.
constexpr size_t kMaxAddresses = 35;

struct HostResult {
    int error = 0;
    std::string name;
    std::vector<uint32_t> addresses;  // network order
};

bool EndsWithLabel(std::string name, const std::string& label)
{
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    return name == label || (name.size() > label.size() && name.ends_with("." + label));
}

HostResult Resolve(const std::string& name)
{
    HostResult r;
    r.name = name;
    // RFC 6761: names under "invalid" never exist and "localhost" is always
    // the loopback address; answer both without asking any resolver.
    if (EndsWithLabel(name, "invalid")) {
        r.error = WSAHOST_NOT_FOUND;
        return r;
    }
    if (EndsWithLabel(name, "localhost")) {
        r.addresses.push_back(htonl(INADDR_LOOPBACK));
        return r;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    switch (rc) {
    case 0:
        break;
    case EAI_NONAME:
        r.error = WSAHOST_NOT_FOUND;
        return r;
    case EAI_AGAIN:
        r.error = WSATRY_AGAIN;
        return r;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        r.error = WSANO_DATA;
        return r;
    case EAI_MEMORY:
        r.error = WSAENOBUFS;
        return r;
    default:
        r.error = WSANO_RECOVERY;
        return r;
    }
    if (list->ai_canonname && *list->ai_canonname)
        r.name = list->ai_canonname;
    for (addrinfo* a = list; a && r.addresses.size() < kMaxAddresses; a = a->ai_next) {
        uint32_t addr = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        if (std::find(r.addresses.begin(), r.addresses.end(), addr) == r.addresses.end())
            r.addresses.push_back(addr);
    }
    ::freeaddrinfo(list);
    if (r.addresses.empty())
        r.error = WSANO_DATA;
    return r;
}

// Bytes a host entry for r takes in a buffer.
size_t EntrySize(const HostResult& r)
{
    return sizeof(hostent) + sizeof(char*) + (r.addresses.size() + 1) * sizeof(char*) + 4 * r.addresses.size() +
           r.name.size() + 1;
}

// Lays a hostent with its lists and strings into buf (at least EntrySize
// bytes). Written with memcpy: the caller's buffer need not be aligned for us.
void WriteEntry(const HostResult& r, char* buf)
{
    char* aliases = buf + sizeof(hostent);
    char* addrList = aliases + sizeof(char*);
    char* addrs = addrList + (r.addresses.size() + 1) * sizeof(char*);
    char* name = addrs + 4 * r.addresses.size();
    char* null = nullptr;
    std::memcpy(aliases, &null, sizeof null);
    for (size_t i = 0; i < r.addresses.size(); ++i) {
        std::memcpy(addrs + 4 * i, &r.addresses[i], 4);
        char* p = addrs + 4 * i;
        std::memcpy(addrList + i * sizeof(char*), &p, sizeof p);
    }
    std::memcpy(addrList + r.addresses.size() * sizeof(char*), &null, sizeof null);
    std::memcpy(name, r.name.c_str(), r.name.size() + 1);
    hostent h{};
    h.h_name = name;
    h.h_aliases = reinterpret_cast<char**>(aliases);
    h.h_addrtype = AF_INET;
    h.h_length = 4;
    h.h_addr_list = reinterpret_cast<char**>(addrList);
    std::memcpy(buf, &h, sizeof h);
}

struct Lookup {
    win::HWND hwnd;
    win::UINT msg;
    char* buf;
    int buflen;
};

struct Lookups {
    std::mutex mutex;
    std::unordered_map<HANDLE, Lookup> running;  // canceled ones are removed
    HANDLE next = 1;
    std::atomic<int> threads{0};  // lookup threads that may still write or post
};

Lookups& L()
{
    static Lookups* lookups = new Lookups;
    return *lookups;
}

void FinishLookup(HANDLE task, const HostResult& r)
{
    std::lock_guard lock(L().mutex);
    auto it = L().running.find(task);
    if (it == L().running.end())
        return;  // canceled, or its window was destroyed
    const Lookup lookup = it->second;
    L().running.erase(it);
    int error = r.error;
    size_t length = 0;
    if (error == 0) {
        length = EntrySize(r);
        if (length > static_cast<size_t>(lookup.buflen))
            error = WSAENOBUFS;  // length then tells the size needed, as in Winsock
        else
            WriteEntry(r, lookup.buf);
    }
    win::PostMessage(lookup.hwnd, lookup.msg, static_cast<win::WPARAM>(task),
                     WSAMAKEASYNCREPLY(static_cast<unsigned>(std::min<size_t>(length, 0xFFFF)),
                                       static_cast<unsigned>(error)));
}

void CancelLookupsOfWindow(win::HWND hWnd)
{
    std::lock_guard lock(L().mutex);
    std::erase_if(L().running, [hWnd](const auto& entry) { return entry.second.hwnd == hWnd; });
}

}  // namespace

int gethostname(char* name, int namelen)
{
    if (!Started())
        return Fail(WSANOTINITIALISED);
    if (!name || namelen <= 0)
        return Fail(WSAEFAULT);
    return ::gethostname(name, static_cast<size_t>(namelen)) == 0 ? 0 : Fail(WSAEFAULT);
}

hostent* gethostbyname(const char* name)
{
    if (!Started()) {
        Fail(WSANOTINITIALISED);
        return nullptr;
    }
    if (!name) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    alignas(hostent) thread_local char entry[MAXGETHOSTSTRUCT];
    HostResult r = Resolve(name);
    if (r.error == 0 && EntrySize(r) > sizeof entry)
        r.error = WSAENOBUFS;
    if (r.error != 0) {
        Fail(r.error);
        return nullptr;
    }
    WriteEntry(r, entry);
    return reinterpret_cast<hostent*>(entry);
}

HANDLE WSAAsyncGetHostByName(win::HWND hWnd, win::UINT wMsg, const char* name, char* buf, int buflen)
{
    if (!Started()) {
        Fail(WSANOTINITIALISED);
        return 0;
    }
    if (!name || !buf || buflen < 0) {
        Fail(WSAEFAULT);
        return 0;
    }
    if (!win::IsWindow(hWnd)) {
        Fail(WSAEINVAL);
        return 0;
    }
    // Registered before the first lookup exists, so no window can go without
    // its lookups being canceled.
    static std::once_flag hooked;
    std::call_once(hooked, [] { platform_detail::SetWindowDestroyedHook(CancelLookupsOfWindow); });
    HANDLE task;
    {
        std::lock_guard lock(L().mutex);
        task = L().next++;
        L().running[task] = Lookup{hWnd, wMsg, buf, buflen};
    }
    ++L().threads;
    try {
        std::thread([task, n = std::string(name)] {
            FinishLookup(task, Resolve(n));
            --L().threads;
        }).detach();
    } catch (const std::system_error&) {
        --L().threads;
        std::lock_guard lock(L().mutex);
        L().running.erase(task);
        Fail(WSAENOBUFS);
        return 0;
    }
    return task;
}

int LookupThreadsRunning()
{
    return L().threads.load();
}

int WSACancelAsyncRequest(HANDLE task)
{
    std::lock_guard lock(L().mutex);
    if (L().running.erase(task))
        return 0;
    return Fail(task != 0 && task < L().next ? WSAEALREADY : WSAEINVAL);
}

}  // namespace winsock
