// The system's one wrapper of an IPv4 TCP socket: it resolves and keeps the peer address, connects, and
// hands the raw socket to whoever sends and receives. It owns no buffer.
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "classlib/CString.h"
#include "classlib/Owners.h"

class TcpConnection {
public:
    TcpConnection();
    explicit TcpConnection(const sockaddr_in& address);
    virtual ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    SOCKET GetSocket() const { return socket_.Get(); }
    const sockaddr_in& GetAddress() const { return address_; }
    void SetAddress(const CString& host, const short& port);

    // Starts the socket library (version 2.0); a failure is only logged. Each Startup that succeeded is
    // matched by one Cleanup; a Cleanup without one does nothing.
    void Startup();
    void Cleanup();

    // Opens a stream socket and connects it within the connect time-out. The socket is then blocking, with
    // the I/O time-out on its sends and receives, so a dead peer cannot hold the worker for ever. While stop
    // is given, a stop request ends the wait within a tenth of a second: the connect then fails, unless the
    // connection stood by the time the stop was seen.
    bool Connect(const std::atomic<bool>* stop = nullptr);
    // Closes the socket and forgets it: a second Close, or a stale handle, closes nothing else.
    void Close();

    // Time-outs in milliseconds (tests shorten them). A value of 0 or less waits without limit.
    static void SetTimeouts(int connectMilliseconds, int ioMilliseconds);
    static int GetConnectTimeout();
    static int GetIoTimeout();

    // What a wait is for. ConnectEnded: a non-blocking connect has ended, in success (writable) or failure.
    enum class Readiness { Readable, Writable, ConnectEnded };
    enum class WaitOutcome { Ready, TimedOut, Stopped, Failed };
    static constexpr uint64_t kNoDeadline = ~0ull;
    // How often a wait looks at the stop request.
    static constexpr int kStopSlice = 100;
    // The one wait of every socket operation: until the socket is ready, the deadline (a GetTickCount64
    // value, or kNoDeadline) has passed, or, while stop is given, a stop is asked (seen within a slice).
    static WaitOutcome Wait(SOCKET socket, Readiness readiness, uint64_t deadline,
                            const std::atomic<bool>* stop);
    // The deadline that lies milliseconds after since; kNoDeadline for a limit of 0 or less.
    static uint64_t DeadlineAfter(uint64_t since, int milliseconds);

private:
    UniqueSocket socket_;
    sockaddr_in address_;
    int startups_ = 0;
};
