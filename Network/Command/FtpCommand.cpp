#include "Network/Command/FtpCommand.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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
            poster_->SetError(PageErrorCode::SendFailed);
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
            poster_->SetError(PageErrorCode::ReceiveFailed);
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

bool FtpCommand::RecvRaw(std::string& reply, const std::atomic<bool>* stop, uint64_t allowance) {
    // No command goes before it: the deadline counts from now (or from when the server can have had the
    // last byte). The job's stop request does not cut the wait short: this is the reply that tells the
    // server's copy has settled.
    if (reader_.Read(reply, GetTickCount64() + allowance, stop) != FtpReplyReader::Complete) {
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
            poster_->SetError(PageErrorCode::SendFailed);
            return false;
        }
    }
    if (exact) {
        // A remote name that the connection's encoding cannot hold would land on another name ("??.bin").
        if (!WideToCodePageExact(s, text.GetLength(), utf8 ? CP_UTF8 : CP_THREAD_ACP, out)) {
            poster_->SetError(PageErrorCode::SendFailed);
            return false;
        }
    } else if (utf8) {
        CStringToUtf8(text, out);
    } else {
        out = WideToCodePage(s, text.GetLength(), CP_THREAD_ACP);
    }
    if (out.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        poster_->SetError(PageErrorCode::SendFailed);
        return false;
    }
    return true;
}

// Each command step: what goes out, when, how its reply is read and what each code does. The steps with
// more to do (FEAT's list, OPTS's flag, SIZE's offset, PASV's address) run their row and then their own code.
struct FtpCommand::Step {
    // What follows the verb on the line.
    enum Argument {
        None,
        UserName,      // ANSI
        Password,      // ANSI
        RemoteFolder,  // UTF-8 once the server agreed, else ANSI; exactly or not at all
        RemoteFile,    // as RemoteFolder
        Offset,        // the posted count in decimal digits
    };
    // A reply code and the state bit it adds (0: none).
    struct Accept {
        int code;
        unsigned bit;
    };

    // The line's start as it goes on the wire, with the blank where an argument follows.
    const char* verb;
    Argument argument;
    unsigned gate;   // the state bit the step needs, 0 for none
    bool collected;  // the reply is logged as a collected one
    bool stoppable;  // a stop request ends the wait for the reply
    Accept accepted[5];
    int refused;  // the error for any other code; 0: any other code changes nothing
};

namespace {
using Poster = FtpFilePoster;
using Step = FtpCommand::Step;

// clang-format off
// One row a command: verb, argument, the bit it needs, collected reply, stop ends the wait, the accepted
// codes with the bit each adds, the error for any other code.
const Step kUser     = {"USER ",  Step::UserName,     Poster::Connected,    false, true,
                        {{331, Poster::UserAccepted}, {230, Poster::LoggedIn}}, PageErrorCode::UserRejected};
const Step kPass     = {"PASS ",  Step::Password,     Poster::UserAccepted, false, true,
                        {{230, Poster::LoggedIn}}, PageErrorCode::PassRejected};
const Step kFeat     = {"FEAT",   Step::None,         Poster::LoggedIn,     false, true, {}, 0};
const Step kClnt     = {"CLNT 2.1.0.35379 ", Step::None, Poster::LoggedIn,  true,  true,
                        {{200, Poster::ClntAccepted}}, 0};
const Step kOptsUtf8 = {"OPTS UTF8 ON", Step::None,   Poster::LoggedIn,     false, true, {}, 0};
const Step kPwd      = {"PWD",    Step::None,         Poster::LoggedIn,     false, true,
                        {{257, Poster::FolderReady}}, 0};
// 550 is what servers answer for a folder that already exists; the cwd after it tells.
const Step kMkd      = {"MKD ",   Step::RemoteFolder, Poster::LoggedIn,     false, true,
                        {{257, Poster::FolderReady}, {550, Poster::FolderReady}}, 0};
// A folder that cannot be entered would put the file somewhere the page did not ask for.
const Step kCwd      = {"cwd ",   Step::RemoteFolder, Poster::LoggedIn,     false, true,
                        {{250, Poster::FolderEntered}}, PageErrorCode::TransferFailed};
const Step kType     = {"type I", Step::None,         0,                    false, true, {}, 0};
const Step kSize     = {"SIZE ",  Step::RemoteFile,   Poster::LoggedIn,     true,  true, {}, 0};
const Step kPasv     = {"PASV",   Step::None,         0,                    false, true,
                        {{227, 0}}, PageErrorCode::PassiveFailed};
const Step kRest     = {"REST ",  Step::Offset,       0,                    false, true,
                        {{350, Poster::RestAccepted}}, 0};
// The transfer's opening reply: a stop does not cut its wait short.
const Step kStor     = {"STOR ",  Step::RemoteFile,   0,                    false, false,
                        {{125, 0}, {150, 0}, {226, 0}, {250, 0}, {350, 0}}, PageErrorCode::TransferFailed};
const Step kAppe     = {"APPE ",  Step::RemoteFile,   0,                    false, false,
                        {{125, 0}, {150, 0}, {226, 0}, {250, 0}}, PageErrorCode::TransferFailed};
// clang-format on
}  // namespace

bool FtpCommand::Send(const Step& step) {
    if (!MayRun(step.gate)) return false;
    std::string argument;
    switch (step.argument) {
        case Step::None:
            break;
        case Step::UserName:
            if (!EncodeArgument(poster_->userName_, false, argument)) return false;
            break;
        case Step::Password:
            if (!EncodeArgument(poster_->password_, false, argument)) return false;
            break;
        case Step::RemoteFolder:
            if (!EncodeArgument(poster_->remoteFolder_, poster_->utf8_, argument, true)) return false;
            break;
        case Step::RemoteFile:
            if (!EncodeArgument(poster_->remoteFile_, poster_->utf8_, argument, true)) return false;
            break;
        case Step::Offset: {
            char digits[32];
            std::snprintf(digits, sizeof(digits), "%lld", static_cast<long long>(poster_->posted_));
            argument = digits;
            break;
        }
    }
    return SendCommand(step.verb + argument + "\r\n");
}

bool FtpCommand::Run(const Step& step) {
    std::string reply;
    if (!Send(step) || !Receive(reply, step.collected, step.stoppable)) return false;
    const int code = poster_->response_.GetCode();
    for (const Step::Accept& accept : step.accepted) {
        if (accept.code == 0) break;
        if (accept.code == code) {
            if (accept.bit != 0) poster_->AddState(accept.bit);
            return true;
        }
    }
    if (step.refused != 0) poster_->SetError(step.refused);
    return true;
}

void FtpCommand::User() { Run(kUser); }

void FtpCommand::Pass() { Run(kPass); }

void FtpCommand::Feat() {
    if (!Send(kFeat)) return;
    // The list is collected whole and then dropped: the response keeps the PASS reply.
    std::string features;
    switch (reader_.Read(features, sentAt_, &poster_->stop_)) {
        case FtpReplyReader::Complete:
            // "211-Features:" ... "211 End"; a single-line 211 or a 500 lists nothing.
            if (features.compare(0, 4, "211-") == 0) poster_->AddState(FtpFilePoster::FeatDone);
            break;
        case FtpReplyReader::TimedOut:
            poster_->SetError(PageErrorCode::ReceiveFailed);
            break;
        case FtpReplyReader::Stopped:
            poster_->state_ = FtpFilePoster::Stopped;
            break;
        default:
            poster_->SetError(PageErrorCode::SendFailed);
            break;
    }
}

void FtpCommand::Clnt() { Run(kClnt); }

void FtpCommand::OptsUtf8() {
    if (Run(kOptsUtf8)) poster_->utf8_ = poster_->response_.GetCode() == 200;
}

void FtpCommand::Pwd() { Run(kPwd); }

void FtpCommand::Mkd() { Run(kMkd); }

void FtpCommand::Cwd() { Run(kCwd); }

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

void FtpCommand::Type() { Run(kType); }

void FtpCommand::Size() {
    if (!Run(kSize)) return;
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
    if (!Run(kPasv) || poster_->response_.GetCode() != 227) return false;
    const unsigned short port = ParsePassivePort(poster_->response_.GetText());
    if (port == 0) {
        poster_->SetError(PageErrorCode::PassiveFailed);
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

void FtpCommand::Rest() { Run(kRest); }

void FtpCommand::Stor() { Run(kStor); }

void FtpCommand::Appe() { Run(kAppe); }

void FtpCommand::Quit() {
    // Not through SendCommand: a QUIT that cannot be sent changes nothing, and it is not logged.
    static const char kQuit[] = "QUIT\r\n";
    ::send(socket_, kQuit, 6, 0);
}
