// Reads whole FTP replies from the control socket, however the bytes arrive.
//
// A reply is complete as RFC 959 section 4.2 frames it: one line, or, when the first line is a code followed
// by "-", every line up to the one that starts with the same code and a blank. Bytes that arrive after a
// complete reply stay here for the next read, a reply in progress is bounded, and each reply has one
// deadline, however slowly its bytes trickle in.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <string>

class FtpReplyReader {
public:
    enum Outcome {
        Complete,  // a whole reply is in the string
        Closed,    // the server closed the connection before a whole reply came
        Failed,    // the wait or the receive failed
        TimedOut,  // the reply's deadline passed before it came whole
        TooLong,   // the reply in progress outgrew the bound
        Stopped,   // the stop request ended the wait
    };

    // Longest reply accepted; real servers stay far below it (a FEAT list is about 300 bytes).
    static const std::string::size_type kMaxReply = 64 * 1024;

    explicit FtpReplyReader(SOCKET socket) : socket_(socket) {}

    // Waits for one complete reply until the connection's I/O time-out has passed from now.
    Outcome Read(std::string& reply);
    // Waits for one complete reply until the I/O time-out has passed from since (a GetTickCount64 value:
    // when the command went out). While stop is given, a stop request ends the wait within a tenth of a
    // second.
    Outcome Read(std::string& reply, uint64_t since, const std::atomic<bool>* stop);

    // Length of the first complete reply at the front of text, or 0 while none is complete.
    static std::string::size_type CompleteLength(const std::string& text);

    // What arrived but no read has taken yet (tests look at it).
    const std::string& Pending() const { return pending_; }

private:
    // One wait and one receive appended to pending_; false with the reason when no byte came.
    bool Fill(uint64_t since, int limit, const std::atomic<bool>* stop, Outcome& failure);

    SOCKET socket_;
    std::string pending_;
};
