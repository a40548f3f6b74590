// Sockets for tests: the socket library held for a test, a listening socket on 127.0.0.1 at a port the system
// chooses, a port where nothing listens, and the owner of a socket the test accepted.
#pragma once

#include <winsock2.h>

#include "classlib/Owners.h"

// Keeps the socket library started for the test's own sockets.
class SocketLibrary {
public:
    SocketLibrary() : started_(WSAStartup(0x0202, &data_) == 0) {}
    bool Started() const { return started_.Get(); }

private:
    WSADATA data_;
    UniqueWinsockStartup started_;
};

// Closes the socket it holds when it goes; stands for the socket in the calls of a test.
class OwnedSocket : public UniqueSocket {
public:
    explicit OwnedSocket(SOCKET s = INVALID_SOCKET) : UniqueSocket(s) {}
    operator SOCKET() const { return Get(); }
};

class LoopbackListener {
public:
    // receiveBuffer: the SO_RCVBUF of the connections it accepts, set before they are made so that the
    // window is small from the first (0: the platform's own).
    explicit LoopbackListener(int receiveBuffer = 0) : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        if (receiveBuffer > 0)
            ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                         sizeof(receiveBuffer));
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
    unsigned short Port() const { return port_; }
    // The peer of the next connection a client makes, waited for at most waitMilliseconds; INVALID_SOCKET
    // when none came. The caller owns the peer (see OwnedSocket).
    SOCKET Accept(int waitMilliseconds = 60000) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        timeval wait{waitMilliseconds / 1000, (waitMilliseconds % 1000) * 1000};
        if (::select(0, &readable, nullptr, nullptr, &wait) != 1) return INVALID_SOCKET;
        return ::accept(socket_, nullptr, nullptr);
    }
    // Stops listening: a connect to the port is refused from now on.
    void Close() { socket_.Reset(); }

private:
    OwnedSocket socket_;
    unsigned short port_ = 0;
};

// A loopback port that was free a moment ago and where nothing listens now.
inline unsigned short ClosedLoopbackPort() {
    const OwnedSocket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int size = sizeof(address);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}
