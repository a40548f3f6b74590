#include "Network/Command/FtpCommand.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <list>

#include "Biz/Log.h"
#include "engine/FtpFilePoster.h"
#include "support/TextConvert.h"

namespace {
// Log sites keep the numbers the log readers know them by.
const char kSource[] = "Network/Command/FtpCommand.cpp";
const int kSentLine = 22;
const int kReplyLine = 56;
const int kCollectedLine = 94;

// Only the bytes before a NUL count as reply text.
void CutAtNul(std::string& text) {
    const std::string::size_type nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
}

bool CodeIn(int code, std::initializer_list<int> accepted) {
    for (int c : accepted)
        if (code == c) return true;
    return false;
}
}  // namespace

// Built right after the connect: the greeting's deadline counts from there.
FtpCommand::FtpCommand(FtpFilePoster* poster)
    : socket_(poster->control_.GetSocket()), poster_(poster), reader_(socket_), sentAt_(GetTickCount64()) {}

bool FtpCommand::MayRun(unsigned bit) const {
    const unsigned state = poster_->GetState();
    if (state & (FtpFilePoster::Failed | FtpFilePoster::Stopped)) return false;
    // A stop asked for before this step: nothing more but QUIT goes to the server.
    if (poster_->stop_) {
        poster_->state_ = FtpFilePoster::Stopped;
        return false;
    }
    return bit == 0 || (state & bit) != 0;
}

bool FtpCommand::SendCommand(const std::string& line) {
    // The password never reaches the log.
    KORVANE_LOG(kLogDebug, kSource, kSentLine,
                EscapeWireText(line.compare(0, 5, "PASS ") == 0 ? std::string("PASS ****\r\n") : line));
    sentAt_ = GetTickCount64();
    const char* data = line.data();
    int left = static_cast<int>(line.size());
    while (left > 0) {
        const int sent = ::send(socket_, data, left, 0);
        if (sent == SOCKET_ERROR || sent == 0) {
            poster_->SetError(FtpFilePoster::SendFailed);
            return false;
        }
        data += sent;
        left -= sent;
    }
    return true;
}

bool FtpCommand::Receive(std::string& reply, bool collected, bool stoppable) {
    // One deadline for the whole reply, counted from the command's send.
    const FtpReplyReader::Outcome outcome =
        reader_.Read(reply, sentAt_, stoppable ? &poster_->stop_ : nullptr);
    switch (outcome) {
        case FtpReplyReader::Complete:
            break;
        case FtpReplyReader::Closed:
            // No reply: parsed as empty, code 0; what each command does then is in its own table.
            reply.clear();
            break;
        case FtpReplyReader::Stopped:
            poster_->state_ = FtpFilePoster::Stopped;
            return false;
        case FtpReplyReader::Failed:
        case FtpReplyReader::TimedOut:
        case FtpReplyReader::TooLong:
            poster_->SetError(FtpFilePoster::ReceiveFailed);
            return false;
    }
    // Server bytes go into the log escaped: a reply cannot forge a record of its own.
    KORVANE_LOG(kLogDebug, kSource, collected ? kCollectedLine : kReplyLine, EscapeWireText(reply));
    CutAtNul(reply);
    std::string parsed = reply;
    poster_->response_.Parse(parsed);
    return true;
}

bool FtpCommand::RecvResponse(std::string& reply) { return Receive(reply, false, true); }

bool FtpCommand::RecvAllResponse(std::string& reply) { return Receive(reply, true, true); }

void FtpCommand::RecvWelcome() {
    std::string greeting;
    RecvResponse(greeting);
}

bool FtpCommand::RecvRaw(std::string& reply, const std::atomic<bool>* stop) {
    // No command goes before it: the deadline counts from now. The job's stop request does not cut the wait
    // short: this is the reply that tells the server's copy has settled.
    if (reader_.Read(reply, GetTickCount64(), stop) != FtpReplyReader::Complete) {
        reply.clear();
        return false;
    }
    KORVANE_LOG(kLogDebug, kSource, kReplyLine, EscapeWireText(reply));
    CutAtNul(reply);
    return true;
}

bool FtpCommand::EncodeArgument(const CString& text, bool utf8, std::string& out, bool exact) {
    const wchar_t* s = text.GetString();
    for (int i = 0; i < text.GetLength(); ++i) {
        if (s[i] == L'\r' || s[i] == L'\n' || s[i] == L'\0') {
            poster_->SetError(FtpFilePoster::SendFailed);
            return false;
        }
    }
    if (exact) {
        // A remote name that the connection's encoding cannot hold would land on another name ("??.bin").
        if (!WideToCodePageExact(s, text.GetLength(), utf8 ? CP_UTF8 : CP_THREAD_ACP, out)) {
            poster_->SetError(FtpFilePoster::SendFailed);
            return false;
        }
    } else if (utf8) {
        CStringToUtf8(text, out);
    } else {
        out = WideToCodePage(s, text.GetLength(), CP_THREAD_ACP);
    }
    if (out.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        poster_->SetError(FtpFilePoster::SendFailed);
        return false;
    }
    return true;
}

void FtpCommand::User() {
    if (!MayRun(FtpFilePoster::Connected)) return;
    std::string name;
    if (!EncodeArgument(poster_->userName_, false, name)) return;
    std::string reply;
    if (!SendCommand("USER " + name + "\r\n") || !RecvResponse(reply)) return;
    const int code = poster_->response_.GetCode();
    if (code == 331)
        poster_->AddState(FtpFilePoster::UserAccepted);
    else if (code == 230)
        poster_->AddState(FtpFilePoster::LoggedIn);
    else
        poster_->SetError(FtpFilePoster::UserRejected);
}

void FtpCommand::Pass() {
    if (!MayRun(FtpFilePoster::UserAccepted)) return;
    std::string password;
    if (!EncodeArgument(poster_->password_, false, password)) return;
    std::string reply;
    if (!SendCommand("PASS " + password + "\r\n") || !RecvResponse(reply)) return;
    if (poster_->response_.GetCode() == 230)
        poster_->AddState(FtpFilePoster::LoggedIn);
    else
        poster_->SetError(FtpFilePoster::PassRejected);
}

void FtpCommand::Feat() {
    if (!MayRun(FtpFilePoster::LoggedIn)) return;
    if (!SendCommand("FEAT\r\n")) return;
    // The list is collected whole and then dropped: the response keeps the PASS reply.
    std::string features;
    switch (reader_.Read(features, sentAt_, &poster_->stop_)) {
        case FtpReplyReader::Complete:
            // "211-Features:" ... "211 End"; a single-line 211 or a 500 lists nothing.
            if (features.compare(0, 4, "211-") == 0) poster_->AddState(FtpFilePoster::FeatDone);
            break;
        case FtpReplyReader::TimedOut:
            poster_->SetError(FtpFilePoster::ReceiveFailed);
            break;
        case FtpReplyReader::Stopped:
            poster_->state_ = FtpFilePoster::Stopped;
            break;
        default:
            poster_->SetError(FtpFilePoster::SendFailed);
            break;
    }
}

void FtpCommand::Clnt() {
    if (!MayRun(FtpFilePoster::LoggedIn)) return;
    std::string reply;
    if (!SendCommand("CLNT 2.1.0.35379 \r\n") || !RecvAllResponse(reply)) return;
    if (poster_->response_.GetCode() == 200) poster_->AddState(FtpFilePoster::ClntAccepted);
}

void FtpCommand::OptsUtf8() {
    if (!MayRun(FtpFilePoster::LoggedIn)) return;
    std::string reply;
    if (!SendCommand("OPTS UTF8 ON\r\n") || !RecvResponse(reply)) return;
    poster_->utf8_ = poster_->response_.GetCode() == 200;
}

void FtpCommand::Pwd() {
    if (!MayRun(FtpFilePoster::LoggedIn)) return;
    std::string reply;
    if (!SendCommand("PWD\r\n") || !RecvResponse(reply)) return;
    if (poster_->response_.GetCode() == 257) poster_->AddState(FtpFilePoster::FolderReady);
}

void FtpCommand::Mkd() {
    if (!MayRun(FtpFilePoster::LoggedIn)) return;
    std::string name;
    if (!EncodeArgument(poster_->remoteFolder_, poster_->utf8_, name, true)) return;
    std::string reply;
    if (!SendCommand("MKD " + name + "\r\n") || !RecvResponse(reply)) return;
    // 550 is what servers answer for a folder that already exists; the cwd after it tells.
    const int code = poster_->response_.GetCode();
    if (code == 257 || code == 550) poster_->AddState(FtpFilePoster::FolderReady);
}

void FtpCommand::Cwd() {
    if (!MayRun(FtpFilePoster::LoggedIn)) return;
    std::string name;
    if (!EncodeArgument(poster_->remoteFolder_, poster_->utf8_, name, true)) return;
    std::string reply;
    if (!SendCommand("cwd " + name + "\r\n") || !RecvResponse(reply)) return;
    // A folder that cannot be entered would put the file somewhere the page did not ask for.
    if (poster_->response_.GetCode() == 250)
        poster_->AddState(FtpFilePoster::FolderEntered);
    else
        poster_->SetError(FtpFilePoster::TransferFailed);
}

void FtpCommand::MakeRemotePath(const CString& path) {
    if (!MayRun(FtpFilePoster::LoggedIn)) return;
    std::list<CString> components;
    SplitCString(path, CString(L"/"), components);
    for (const CString& component : components) {
        if (!MayRun(FtpFilePoster::LoggedIn)) break;
        poster_->remoteFolder_ = component;
        Mkd();
        Cwd();
    }
}

void FtpCommand::Type() {
    if (!MayRun(0)) return;
    std::string reply;
    if (!SendCommand("type I\r\n")) return;
    RecvResponse(reply);
}

void FtpCommand::Size() {
    if (!MayRun(FtpFilePoster::LoggedIn)) return;
    std::string name;
    if (!EncodeArgument(poster_->remoteFile_, poster_->utf8_, name, true)) return;
    std::string reply;
    if (!SendCommand("SIZE " + name + "\r\n") || !RecvAllResponse(reply)) return;
    if (poster_->response_.GetCode() != 213) {
        poster_->posted_ = 0;
        return;
    }
    // "213 1048576": read as _atoi64 reads it (strtoll clamps at the range's ends the same way).
    long long size = std::strtoll(poster_->response_.GetText().c_str(), nullptr, 10);
    if (size < 0 || size > poster_->fileSize_) size = 0;
    poster_->posted_ = size;
}

unsigned short FtpCommand::ParsePassivePort(const std::string& text) {
    // "Entering Passive Mode (127,0,0,1,195,80)."; some servers leave out the parentheses, so without
    // them the numbers start at the first digit.
    std::string::size_type at = text.find('(');
    at = at == std::string::npos ? text.find_first_of("0123456789") : at + 1;
    if (at == std::string::npos) return 0;
    long numbers[6];
    for (int i = 0; i < 6; ++i) {
        while (at < text.size() && text[at] == ' ') ++at;
        if (at >= text.size() || text[at] < '0' || text[at] > '9') return 0;
        long value = 0;
        int digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
            value = value * 10 + (text[at] - '0');
            ++at;
            ++digits;
        }
        if (value > 255) return 0;
        numbers[i] = value;
        while (at < text.size() && text[at] == ' ') ++at;
        if (i < 5) {
            if (at >= text.size() || text[at] != ',') return 0;
            ++at;
        }
    }
    return static_cast<unsigned short>(numbers[4] * 256 + numbers[5]);
}

bool FtpCommand::Pasv(sockaddr_in& address) {
    if (!MayRun(0)) return false;
    std::string reply;
    if (!SendCommand("PASV\r\n") || !RecvResponse(reply)) return false;
    const unsigned short port =
        poster_->response_.GetCode() == 227 ? ParsePassivePort(poster_->response_.GetText()) : 0;
    if (port == 0) {
        poster_->SetError(FtpFilePoster::PassiveFailed);
        return false;
    }
    // The address in the reply is not trusted (a server behind NAT names its inner address, a hostile one
    // any host): the data goes to the peer of the control connection.
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr = poster_->control_.GetAddress().sin_addr;
    poster_->AddState(FtpFilePoster::PassiveReady);
    return true;
}

void FtpCommand::Rest() {
    if (!MayRun(0)) return;
    char digits[32];
    std::snprintf(digits, sizeof(digits), "%lld", static_cast<long long>(poster_->posted_));
    std::string reply;
    if (!SendCommand(std::string("REST ") + digits + "\r\n") || !RecvResponse(reply)) return;
    if (poster_->response_.GetCode() == 350) poster_->AddState(FtpFilePoster::RestAccepted);
}

void FtpCommand::Stor() {
    if (!MayRun(0)) return;
    std::string name;
    if (!EncodeArgument(poster_->remoteFile_, poster_->utf8_, name, true)) return;
    std::string reply;
    if (!SendCommand("STOR " + name + "\r\n") || !Receive(reply, false, false)) return;
    if (!CodeIn(poster_->response_.GetCode(), {125, 150, 226, 250, 350}))
        poster_->SetError(FtpFilePoster::TransferFailed);
}

void FtpCommand::Appe() {
    if (!MayRun(0)) return;
    std::string name;
    if (!EncodeArgument(poster_->remoteFile_, poster_->utf8_, name, true)) return;
    std::string reply;
    if (!SendCommand("APPE " + name + "\r\n") || !Receive(reply, false, false)) return;
    if (!CodeIn(poster_->response_.GetCode(), {125, 150, 226, 250}))
        poster_->SetError(FtpFilePoster::TransferFailed);
}

void FtpCommand::Quit() {
    // Not through SendCommand: a QUIT that cannot be sent changes nothing, and it is not logged.
    static const char kQuit[] = "QUIT\r\n";
    ::send(socket_, kQuit, 6, 0);
}
