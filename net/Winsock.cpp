// Socket library start-up, the component's sockets, the error texts and the
// small address operations.

#include <cstring>

#include "net/Psock.h"
#include "net/Psock_p.h"
#include "rtl/Narrow.h"
#include "rtl/SysUtils.h"

int32_t WinsockUsers = 0;

const TWinsockMessage WinsockMessage[WinsockMessageCount] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};

namespace {

// GetLocalIP's buffer for the local host name: larger than any name the
// resolver gives back (a label is at most 63 bytes, the usual host name
// limit 64), and one byte is kept for the terminating zero.
constexpr size_t LocalHostNameSize = 200;

// A text field of the start-up record, up to its first zero byte.
std::string FieldText(const char* field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

std::string VersionText(uint16_t version)
{
    return IntToStr(version >> 8) + "." + IntToStr(version & 0xFF);
}

}  // namespace

void TPowersock::InitWinsock()
{
    StatusMessage(8, "Initializing Winsock");
    if (Designing())
        return;
    try {
        ++WinsockUsers;
        try {
            if (WinsockUsers == 1) {
                winsock::WSAStartup(winsock::MAKEWORD(1, 1), &WinsockData);
                WinsockInfo->Add("Version= " + VersionText(WinsockData.wVersion));
                WinsockInfo->Add("High Version= " + VersionText(WinsockData.wHighVersion));
                WinsockInfo->Add("Description= " +
                                 FieldText(WinsockData.szDescription, sizeof WinsockData.szDescription));
                WinsockInfo->Add("System= " +
                                 FieldText(WinsockData.szSystemStatus, sizeof WinsockData.szSystemStatus));
                WinsockInfo->Add("Max Sockets= " + IntToStr(WinsockData.iMaxSockets));
                WinsockInfo->Add("Max Udp pack size= " + IntToStr(WinsockData.iMaxUdpDg));
            }
            const winsock::SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            if (s == winsock::INVALID_SOCKET) {
                SocketHandle = INVALID_SOCKET_HANDLE;
            } else {
                try {
                    SocketHandle = Narrow<uint16_t>(s);
                } catch (...) {
                    winsock::closesocket(s);
                    throw;
                }
            }
            // Linger on with 0 seconds: closing the first socket is abortive.
            const linger abortive{1, 0};
            winsock::setsockopt(SocketHandle, SOL_SOCKET, SO_LINGER,
                                reinterpret_cast<const char*>(&abortive), sizeof abortive);
            if (SocketHandle == INVALID_SOCKET_HANDLE) {
                ErrorManager(winsock::WSAEWOULDBLOCK);
                throw ESockError("no socket");  // the failure left no error number
            }
            winsock::WSAAsyncSelect(SocketHandle, WindowHandle, psock::WM_ASYNCHRONOUSPROCESS,
                                    psock::SocketEventMask);
        } catch (...) {
            if (--WinsockUsers == 0)
                winsock::WSACleanup();
            throw;
        }
    } catch (...) {
        throw ESockError("Initializaton of windows sockets failed");
    }
}

uint16_t TPowersock::NewSocket()
{
    const winsock::SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    if (s == winsock::INVALID_SOCKET) {
        ErrorManager(winsock::WSAEWOULDBLOCK);
        return INVALID_SOCKET_HANDLE;
    }
    uint16_t handle;
    try {
        handle = Narrow<uint16_t>(s);
        if (handle == INVALID_SOCKET_HANDLE)
            throw ERangeError();
    } catch (...) {
        winsock::closesocket(s);
        throw;
    }
    winsock::WSAAsyncSelect(handle, WindowHandle, psock::WM_ASYNCHRONOUSPROCESS, psock::SocketEventMask);
    return handle;
}

std::string TPowersock::SocketErrorStr(uint16_t Error)
{
    StatusMessage(8, "Looking Up Error Message");
    std::string result;
    if (Error == 0)
        return result;
    // Every row is looked at; the number-0 row can never match here.
    for (const TWinsockMessage& row : WinsockMessage)
        if (row.ErrorNumber == Error)
            result = IntToStr(Error) + ":" + row.Text;
    if (result.empty())
        result = "Unknown Error No. " + IntToStr(Error);
    return result;
}

void TPowersock::SetWSAError(uint16_t Error, std::string Text)
{
    StatusMessage(8, "Setting Winsock Error");
    LastErrorNo = Error;
    if (Text.empty())
        Text = SocketErrorStr(Error);
    winsock::WSASetLastError(Error);
    if (OnSocketError)
        OnSocketError(this, Error, Text);
}

int32_t TPowersock::GetLastErrorNo()
{
    StatusMessage(8, "Getting LastError Number");
    return LastErrorNo;
}

void TPowersock::SetLastErrorNo(int32_t Value)
{
    StatusMessage(8, "Setting LastError Number");
    LastErrorNo = Value;
}

std::string TPowersock::GetRemoteIP()
{
    StatusMessage(8, "Getting Remote IP");
    return winsock::inet_ntoa(RemoteAddress.sin_addr);
}

std::string TPowersock::GetLocalIP()
{
    StatusMessage(8, "Getting Local IP");
    char name[LocalHostNameSize] = {};
    // The last byte stays zero whatever the platform writes.
    if (winsock::gethostname(name, sizeof name - 1) != 0)
        return std::string();
    const hostent* entry = winsock::gethostbyname(name);
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr ||
        entry->h_length < 4)
        return std::string();
    const auto* b = reinterpret_cast<const unsigned char*>(entry->h_addr_list[0]);
    return Format("%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
}

std::string TPowersock::GetLocalAddress()
{
    sockaddr_in local{};
    int size = sizeof local;
    winsock::getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&local), &size);
    std::string text = winsock::inet_ntoa(local.sin_addr);
    int replaced = 0;
    for (char& c : text)
        if (c == '.' && replaced < 3) {
            c = ',';
            ++replaced;
        }
    return text;
}

std::string TPowersock::GetPortString()
{
    sockaddr_in local{};
    int size = sizeof local;
    winsock::getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&local), &size);
    const uint16_t port = winsock::ntohs(local.sin_port);
    return Format(",%d,%d", port >> 8, port & 0xFF);
}

void TPowersock::Close(int32_t Socket)
{
    StatusMessage(8, "Closing Socket");
    winsock::closesocket(Narrow<winsock::SOCKET>(Socket));
}
