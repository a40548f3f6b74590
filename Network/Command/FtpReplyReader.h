// Reads whole FTP replies from the control socket, however the bytes arrive.
//
// A reply is complete as RFC 959 section 4.2 frames it: one line, or, when the first line is a code followed
// by "-", every line up to the one that starts with the same code and a blank. Bytes that arrive after a
// complete reply stay here for the next read, a reply in progress is bounded, and every wait has a deadline.
#pragma once

#include <winsock2.h>

#include <string>

class FtpReplyReader {
public:
    enum Outcome {
        Complete,  // a whole reply is in the string
        Silent,    // the silence limit of ReadWithin passed first; the reply is still owed
        Closed,    // the server closed the connection before a whole reply came
        Failed,    // the wait or the receive failed
        TimedOut,  // nothing arrived within the inactivity time-out
        TooLong,   // the reply in progress outgrew the bound
    };

    // Longest reply accepted; real servers stay far below it (a FEAT list is about 300 bytes).
    static const std::string::size_type kMaxReply = 64 * 1024;

    explicit FtpReplyReader(SOCKET socket) : socket_(socket) {}

    // Waits for one complete reply; each wait for more bytes ends after the connection's I/O time-out.
    Outcome Read(std::string& reply);
    // Like Read, but each wait for more bytes ends after silenceMilliseconds. A reply that has not come whole
    // by then is owed: the next read drops it before it reads its own, so replies never shift by one.
    Outcome ReadWithin(std::string& reply, int silenceMilliseconds);

    // Length of the first complete reply at the front of text, or 0 while none is complete.
    static std::string::size_type CompleteLength(const std::string& text);

    // What arrived but no read has taken yet (tests look at it).
    const std::string& Pending() const { return pending_; }
    int Owed() const { return owed_; }

private:
    Outcome ReadOne(std::string& reply, int waitMilliseconds, bool silenceEnds);
    // One wait and one receive appended to pending_; false with the reason when no byte came.
    bool Fill(int waitMilliseconds, bool silenceEnds, Outcome& failure);

    SOCKET socket_;
    std::string pending_;
    int owed_ = 0;
};
