#include "Network/Command/FtpReplyReader.h"

#include <cctype>

#include "Network/TcpConnection.h"

std::string::size_type FtpReplyReader::CompleteLength(const std::string& text) {
    const std::string::size_type firstEnd = text.find('\n');
    if (firstEnd == std::string::npos) return 0;
    const bool multiLine = text.size() >= 4 && std::isdigit(static_cast<unsigned char>(text[0])) &&
                           std::isdigit(static_cast<unsigned char>(text[1])) &&
                           std::isdigit(static_cast<unsigned char>(text[2])) && text[3] == '-';
    if (!multiLine) return firstEnd + 1;

    // "211-Features:" ... "211 End": only a line that starts with the same code and a blank closes it; lines
    // in between may start with anything, other codes included.
    const std::string closing = text.substr(0, 3) + " ";
    std::string::size_type lineStart = firstEnd + 1;
    while (lineStart < text.size()) {
        const std::string::size_type lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) return 0;
        if (text.compare(lineStart, closing.size(), closing) == 0) return lineEnd + 1;
        lineStart = lineEnd + 1;
    }
    return 0;
}

FtpReplyReader::Outcome FtpReplyReader::Read(std::string& reply) {
    return Read(reply, GetTickCount64(), nullptr);
}

FtpReplyReader::Outcome FtpReplyReader::Read(std::string& reply, uint64_t since,
                                             const std::atomic<bool>* stop) {
    reply.clear();
    const int limit = TcpConnection::GetIoTimeout();
    for (;;) {
        const std::string::size_type length = CompleteLength(pending_);
        if (length > kMaxReply) return TooLong;
        if (length > 0) {
            reply.assign(pending_, 0, length);
            pending_.erase(0, length);
            return Complete;
        }
        if (pending_.size() > kMaxReply) return TooLong;
        Outcome failure = Failed;
        if (!Fill(since, limit, stop, failure)) return failure;
    }
}

bool FtpReplyReader::Fill(uint64_t since, int limit, const std::atomic<bool>* stop, Outcome& failure) {
    failure = Failed;
    if (socket_ == INVALID_SOCKET) return false;
    switch (TcpConnection::Wait(socket_, TcpConnection::Readiness::Readable,
                                TcpConnection::DeadlineAfter(since, limit), stop)) {
        case TcpConnection::WaitOutcome::Ready:
            break;
        case TcpConnection::WaitOutcome::Stopped:
            failure = Stopped;
            return false;
        case TcpConnection::WaitOutcome::TimedOut:
            failure = TimedOut;
            return false;
        case TcpConnection::WaitOutcome::Failed:
            return false;
    }

    char piece[4096];
    const int received = ::recv(socket_, piece, sizeof(piece), 0);
    if (received <= 0) {
        if (received == 0)
            failure = Closed;
        else if (WSAGetLastError() == WSAETIMEDOUT)
            failure = TimedOut;
        return false;
    }
    pending_.append(piece, static_cast<std::string::size_type>(received));
    return true;
}
