// A listening socket on 127.0.0.1 at a port the system chooses, and a port where nothing listens.
#pragma once

#include <winsock2.h>

// Keeps the socket library started for the test's own sockets.
class SocketLibrary {
public:
    SocketLibrary() { started_ = WSAStartup(0x0202, &data_) == 0; }
    ~SocketLibrary() {
        if (started_) WSACleanup();
    }
    SocketLibrary(const SocketLibrary&) = delete;
    SocketLibrary& operator=(const SocketLibrary&) = delete;
    bool Started() const { return started_; }

private:
    WSADATA data_;
    bool started_ = false;
};

class LoopbackListener {
public:
    LoopbackListener() {
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            ::listen(socket_, 4) == 0) {
            int size = sizeof(address);
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size);
            port_ = ntohs(address.sin_port);
        }
    }
    ~LoopbackListener() {
        if (accepted_ != INVALID_SOCKET) closesocket(accepted_);
        if (socket_ != INVALID_SOCKET) closesocket(socket_);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    unsigned short Port() const { return port_; }
    // The peer of the connection the client made (blocks until it arrives).
    SOCKET Accept() {
        accepted_ = ::accept(socket_, nullptr, nullptr);
        return accepted_;
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
    SOCKET accepted_ = INVALID_SOCKET;
    unsigned short port_ = 0;
};

// A loopback port that was free a moment ago and where nothing listens now.
inline unsigned short ClosedLoopbackPort() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int size = sizeof(address);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    closesocket(s);
    return ntohs(address.sin_port);
}
