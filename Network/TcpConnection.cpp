#include "Network/TcpConnection.h"

#include <atomic>
#include <cstring>

#include "Biz/Log.h"
#include "support/HostName.h"
#include "support/TextConvert.h"

namespace {
const char kSource[] = "Network/TcpConnection.cpp";
const char kStartupFailed[] =
    "\xB3\xF5\xCA\xBC\xBB\xAF\xCD\xF8\xC2\xE7\xBF\xE2\xCA\xA7\xB0\xDC";  // 初始化网络库失败
const char kStartupDone[] =
    "\xB3\xF5\xCA\xBC\xBB\xAF\xCD\xF8\xC2\xE7\xBF\xE2\xB3\xC9\xB9\xA6";  // 初始化网络库成功
// 连接服务器失败，错误码：
const char kConnectFailed[] =
    "\xC1\xAC\xBD\xD3\xB7\xFE\xCE\xF1\xC6\xF7\xCA\xA7\xB0\xDC\xA3\xAC\xB4\xED\xCE\xF3\xC2\xEB\xA3\xBA";

std::atomic<int> connectTimeout{30000};
std::atomic<int> ioTimeout{60000};
}  // namespace

TcpConnection::TcpConnection() { std::memset(&address_, 0, sizeof(address_)); }

TcpConnection::TcpConnection(const sockaddr_in& address) {
    std::memset(&address_, 0, sizeof(address_));
    address_.sin_family = address.sin_family;
    address_.sin_port = address.sin_port;
    address_.sin_addr = address.sin_addr;
}

// Only Close closes the socket: the object's end leaves an open socket to whoever took it with GetSocket.
TcpConnection::~TcpConnection() { socket_.Detach(); }

void TcpConnection::SetTimeouts(int connectMilliseconds, int ioMilliseconds) {
    connectTimeout = connectMilliseconds;
    ioTimeout = ioMilliseconds;
}
int TcpConnection::GetConnectTimeout() { return connectTimeout; }
int TcpConnection::GetIoTimeout() { return ioTimeout; }

uint64_t TcpConnection::DeadlineAfter(uint64_t since, int milliseconds) {
    return milliseconds > 0 ? since + static_cast<uint64_t>(milliseconds) : kNoDeadline;
}

TcpConnection::WaitOutcome TcpConnection::Wait(SOCKET socket, Readiness readiness, uint64_t deadline,
                                               const std::atomic<bool>* stop) {
    for (;;) {
        if (stop && stop->load()) return WaitOutcome::Stopped;
        uint64_t wait = kNoDeadline;
        if (deadline != kNoDeadline) {
            const uint64_t now = GetTickCount64();
            if (now >= deadline) return WaitOutcome::TimedOut;
            wait = deadline - now;
        }
        if (stop && wait > static_cast<uint64_t>(kStopSlice)) wait = kStopSlice;
        fd_set ready, failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(socket, &ready);
        FD_SET(socket, &failed);
        timeval slice{static_cast<long>(wait / 1000), static_cast<long>(wait % 1000) * 1000};
        timeval* limit = wait == kNoDeadline ? nullptr : &slice;
        int count = SOCKET_ERROR;
        switch (readiness) {
            case Readiness::Readable:
                count = ::select(0, &ready, nullptr, nullptr, limit);
                break;
            case Readiness::Writable:
                count = ::select(0, nullptr, &ready, nullptr, limit);
                break;
            case Readiness::ConnectEnded:
                // A connect that failed shows in the exception set, one that succeeded in the write set.
                count = ::select(0, nullptr, &ready, &failed, limit);
                break;
        }
        if (count == SOCKET_ERROR) return WaitOutcome::Failed;
        if (count > 0) return WaitOutcome::Ready;
    }
}

void TcpConnection::SetAddress(const CString& host, const short& port) {
    address_.sin_family = AF_INET;
    // Read in decimal, whatever leading zeros it has ("192.168.001.010" is 192.168.1.10); a text that is no
    // dotted quad of numbers up to 255 gives INADDR_NONE, and the connect fails.
    address_.sin_addr.s_addr = ParseDottedQuad(ResolveHostIp(host));
    address_.sin_port = htons(static_cast<unsigned short>(port));
}

void TcpConnection::Startup() {
    WSADATA data;
    if (WSAStartup(0x0002, &data) != 0) {
        KORVANE_LOG(kLogDebug, kSource, 56, WidenCp936(kStartupFailed));
        return;
    }
    ++startups_;
    KORVANE_LOG(kLogDebug, kSource, 60, WidenCp936(kStartupDone));
}

void TcpConnection::Cleanup() {
    if (startups_ <= 0) return;
    --startups_;
    WSACleanup();
}

bool TcpConnection::Connect(const std::atomic<bool>* stop) {
    Close();
    socket_.Reset(::socket(AF_INET, SOCK_STREAM, 0));
    const SOCKET handle = socket_.Get();
    bool connected = false;
    int error = 0;
    if (handle == INVALID_SOCKET) {
        error = WSAGetLastError();
    } else {
        const int limit = connectTimeout;
        u_long nonBlocking = limit > 0 ? 1 : 0;
        if (nonBlocking) ioctlsocket(handle, FIONBIO, &nonBlocking);
        if (::connect(handle, reinterpret_cast<const sockaddr*>(&address_), sizeof(address_)) !=
            SOCKET_ERROR) {
            connected = true;
        } else {
            error = WSAGetLastError();
            if (nonBlocking && error == WSAEWOULDBLOCK) {
                WaitOutcome outcome =
                    Wait(handle, Readiness::ConnectEnded, DeadlineAfter(GetTickCount64(), limit), stop);
                if (outcome == WaitOutcome::Stopped) {
                    // A stop still takes one look without waiting: a connection the server has accepted by
                    // then stands, and the job says QUIT on it instead of leaving the server a bare close.
                    fd_set writable;
                    FD_ZERO(&writable);
                    FD_SET(handle, &writable);
                    timeval now{0, 0};
                    if (::select(0, nullptr, &writable, nullptr, &now) > 0) outcome = WaitOutcome::Ready;
                }
                if (outcome == WaitOutcome::Ready) {
                    int soError = 0;
                    int size = sizeof(soError);
                    getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &size);
                    // Only a connected socket has a peer: a connect that ended in the exception set
                    // without an error recorded is a refusal all the same.
                    sockaddr_in peer;
                    int peerSize = sizeof(peer);
                    connected = soError == 0 &&
                                getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0;
                    error = connected ? 0 : (soError ? soError : WSAECONNREFUSED);
                } else {
                    error = outcome == WaitOutcome::Failed ? WSAGetLastError() : WSAETIMEDOUT;
                }
            }
        }
        u_long blocking = 0;
        ioctlsocket(handle, FIONBIO, &blocking);
        if (connected) {
            const DWORD io = ioTimeout > 0 ? static_cast<DWORD>(ioTimeout.load()) : 0;
            setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&io), sizeof(io));
            setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&io), sizeof(io));
        }
    }
    if (!connected) KORVANE_LOG(kLogDebug, kSource, 75, WidenCp936(kConnectFailed) << error);
    return connected;
}

void TcpConnection::Close() { socket_.Reset(); }
