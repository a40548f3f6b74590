#include "engine/FtpFilePoster.h"

#include <process.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "Biz/Log.h"
#include "Network/Command/FtpCommand.h"
#include "engine/SpeedCalculater.h"
#include "support/MapFile.h"
#include "support/Platform.h"
#include "support/SizeText.h"

namespace {
// Closes a connection whatever way the job leaves its scope.
class ClosingConnection {
public:
    explicit ClosingConnection(TcpConnection& connection) : connection_(connection) {}
    ~ClosingConnection() { connection_.Close(); }
    ClosingConnection(const ClosingConnection&) = delete;
    ClosingConnection& operator=(const ClosingConnection&) = delete;

private:
    TcpConnection& connection_;
};

bool IsPositiveCompletion(int code) { return code >= 200 && code < 300; }

// After the last block: the sending side is shut down and the data connection read to its end, within the
// I/O time-out. False when the server reset it (it closed without reading everything), or the end did not
// come. Whatever the server sends back on it is dropped. A send of no bytes first asks for a reset that has
// come already (under Wine a reset that came before the shutdown shows only there); the end is then watched
// as a network event, whose error code tells a reset from an orderly close.
bool EndOfData(TcpConnection& data, const std::atomic<bool>& abandoned) {
    const SOCKET socket = data.GetSocket();
    const HANDLE event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) return false;
    bool ended = false;
    if (::send(socket, "", 0, 0) == 0 && WSAEventSelect(socket, event, FD_READ | FD_CLOSE) == 0 &&
        ::shutdown(socket, SD_SEND) == 0) {
        const ULONGLONG since = GetTickCount64();
        const int limit = TcpConnection::GetIoTimeout();
        for (;;) {
            if (abandoned) break;
            DWORD wait = 100;
            if (limit > 0) {
                const ULONGLONG passed = GetTickCount64() - since;
                if (passed >= static_cast<ULONGLONG>(limit)) break;
                if (static_cast<ULONGLONG>(limit) - passed < wait)
                    wait = static_cast<DWORD>(static_cast<ULONGLONG>(limit) - passed);
            }
            if (WaitForSingleObject(event, wait) != WAIT_OBJECT_0) continue;
            WSANETWORKEVENTS happened;
            if (WSAEnumNetworkEvents(socket, event, &happened) != 0) break;
            if (happened.lNetworkEvents & FD_CLOSE) {
                ended = happened.iErrorCode[FD_CLOSE_BIT] == 0;
                break;
            }
            if (happened.lNetworkEvents & FD_READ) {
                char piece[4096];
                const int received = ::recv(socket, piece, sizeof(piece), 0);
                if (received == 0) {
                    ended = true;
                    break;
                }
                if (received < 0 && WSAGetLastError() != WSAEWOULDBLOCK) break;
            }
        }
    }
    WSAEventSelect(socket, nullptr, 0);
    WSACloseEvent(event);
    return ended;
}
}  // namespace

FtpFilePoster::FtpFilePoster() = default;

FtpFilePoster::~FtpFilePoster() {
    // A job that ends now reports to nobody: the owner is going away.
    abandoned_ = true;
    stop_ = true;
    worker_.WaitForAll();
}

void FtpFilePoster::SetEvent(KorvaneEvent* event) {
    if (!running_) event_ = event;
}

void FtpFilePoster::SetTaskId(int taskId) {
    if (!running_) taskId_ = taskId;
}

void FtpFilePoster::SetFileSize(const int64_t& size) {
    if (!running_) fileSize_ = size;
}

void FtpFilePoster::SetServer(CString host, unsigned short port, CString userName, CString password) {
    if (running_) return;
    userName_ = userName;
    password_ = password;
    control_.SetAddress(host, static_cast<short>(port));
}

void FtpFilePoster::SetError(const int& code) {
    state_ = Failed;
    errorCode_ = code;
}

void FtpFilePoster::AddState(const unsigned& bits) { state_ |= bits; }

bool FtpFilePoster::Post(CString localPath, CString remoteFolder, CString remoteFile) {
    if (running_ || busy_) return false;
    // The previous worker settled its job. One that reported may still be inside its report, and this call
    // may come from there: it is kept, and the destructor waits for it. One that ended silently (stopped)
    // is about to end and is waited for now.
    busy_ = true;
    const bool ended = !reported_ && worker_.WaitForEnd();
    busy_ = false;
    if (ended)
        worker_.Close();
    else
        worker_.Keep();

    // Nothing of an earlier job counts for this one.
    stop_ = false;
    reported_ = false;
    state_ = 0;
    errorCode_ = 0;
    utf8_ = false;
    posted_ = 0;
    speed_ = 0;
    response_.Clear();
    localPath_ = localPath;
    remoteFolder_ = remoteFolder;
    remoteFile_ = remoteFile;

    running_ = true;
    if (!worker_.Begin(&FtpFilePoster::ThreadProc, this)) {
        running_ = false;
        return false;
    }
    return true;
}

unsigned __stdcall FtpFilePoster::ThreadProc(void* argument) {
    FtpFilePoster* poster = static_cast<FtpFilePoster*>(argument);
    bool settled = false;
    auto settleAndReport = [&] {
        // Take the outcome before the poster is free again: from here on the worker does not touch it, so
        // the owner may start the next job from inside the report.
        const unsigned state = poster->state_;
        const int taskId = poster->taskId_;
        const int errorCode = poster->errorCode_;
        KorvaneEvent* event = poster->abandoned_ ? nullptr : poster->event_;
        if (event && (state & (AllSent | Failed))) poster->reported_ = true;
        settled = true;
        poster->running_ = false;

        if (event) {
            if (state & AllSent)
                event->postComplete(taskId);
            else if (state & Failed)
                event->postError(taskId, errorCode);
        }
    };
    WorkerThread::RunJob(
        [&] {
            poster->RunJob();
            settleAndReport();
        },
        [&] {
            // A fault inside the report comes after the job ended; one before ends the job as one whose
            // commands could not be sent (a stopped job still ends silently).
            if (settled) return;
            poster->control_.Close();
            poster->control_.Cleanup();
            if ((poster->state_ & Stopped) == 0) poster->SetError(SendFailed);
            settleAndReport();
        });
    return 0;
}

void FtpFilePoster::RunJob() {
    control_.Startup();
    if (control_.Connect(&stop_))
        AddState(Connected);
    else if (stop_)
        state_ = Stopped;
    else
        SetError(SendFailed);  // refused, unreachable or no answer in time: no command can go out
    const bool controlConnected = (state_ & Connected) != 0;
    ClosingConnection closeControl(control_);
    FtpCommand command(this);

    if (controlConnected) command.RecvWelcome();
    command.User();
    command.Pass();
    command.Feat();
    command.Clnt();
    if (state_ & ClntAccepted) command.OptsUtf8();
    command.Pwd();
    if (!remoteFolder_.IsEmpty()) {
        // The make-path step walks the folder member through the components, so it gets its own copy.
        const CString path = remoteFolder_;
        command.MakeRemotePath(path);
    }
    // Binary mode before SIZE: pyftpdlib (and others) refuse SIZE in ASCII mode, and resume needs it.
    command.Type();
    command.Size();

    // The local file is opened before the server is told to store anything: a file that went away or is
    // locked since it was measured must not leave an emptied copy on the server.
    Tamsic::IO::MapFile file;
    if (ProceedingUnlessStopped() && !file.Open(localPath_)) SetError(FileNotMapped);

    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    command.Pasv(address);
    TcpConnection data(address);
    {
        ClosingConnection closeData(data);
        if (ProceedingUnlessStopped() && (state_ & PassiveReady) && !data.Connect(&stop_)) {
            if (stop_)
                state_ = Stopped;
            else
                SetError(TransferFailed);
        }

        if (posted_ <= 0) {
            command.Rest();
            command.Stor();
        } else {
            command.Appe();
        }
        // The server accepted the transfer. A 1xx (or 350) opens it and the server's final word comes after
        // it; a 2xx is that word.
        const bool finalReplyOwed = Proceeding() && !IsPositiveCompletion(response_.GetCode());

        if (Proceeding() && (state_ & PassiveReady)) SendFile(data, file);
        file.Close();

        if (Proceeding() && (state_ & PassiveReady)) {
            state_ &= ~static_cast<unsigned>(PassiveReady);
            // A server that took part of the file and closed (a reset) shows only here: the sends went into
            // the socket's buffers.
            if (!EndOfData(data, abandoned_)) SetError(TransferFailed);
            data.Close();
            // Only the server can say the file is stored: 226 or 250 after the data connection closed.
            if (Proceeding() && finalReplyOwed) {
                std::string reply;
                FtpResponse finalReply;
                if (command.RecvRaw(reply, &abandoned_)) finalReply.Parse(reply);
                if (!IsPositiveCompletion(finalReply.GetCode())) SetError(TransferFailed);
            }
        } else if (finalReplyOwed && controlConnected && !abandoned_) {
            // The transfer was cut short (a stop or a failure in the send loop) while the server is still
            // writing what reached it. Its reply to the aborted transfer, whatever the code, tells that its
            // copy has settled: a resume that asked SIZE before would send bytes the server already has.
            data.Close();
            std::string reply;
            command.RecvRaw(reply, &abandoned_);
        }
    }

    // Over a connection that never stood there is nobody to say goodbye to (and a send on a socket whose
    // connect was cut short would wait for that connect).
    if (controlConnected) command.Quit();
    control_.Close();
    control_.Cleanup();

    // Every way through ends in one of these; a job must not end silently unless it was stopped.
    if ((state_ & (AllSent | Failed | Stopped)) == 0) SetError(TransferFailed);
}

void FtpFilePoster::SendFile(TcpConnection& data, Tamsic::IO::MapFile& file) {
    const int block = static_cast<int>(file.GetAllocationGranularity());
    // Wine charges each view and each send a fixed cost that outweighs the bytes of one block, so the file
    // is read kBlocksPerView blocks per view and each view goes to the socket in one send. The block stays
    // the unit of the count: posted, the speed and the progress report move block by block, as before.
    const int viewLength = block * kBlocksPerView;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(viewLength) + 1]());
    if (!buffer) {
        SetError(FileNotMapped);
        return;
    }
    // The server holds the bytes before posted already.
    if (posted_ > 0) file.SetOffset(posted_);

    SpeedCalculater calculater;
    calculater.Reset(posted_);
    DWORD lastReport = Tamsic::Platform::GetTick();
    const SOCKET socket = data.GetSocket();

    while (posted_ < fileSize_) {
        // A stop is seen before each view: at most one view goes out after it was asked.
        if (stop_) {
            state_ = Stopped;
            break;
        }
        const int64_t left = fileSize_ - posted_;
        const int wanted = left < viewLength ? static_cast<int>(left) : viewLength;
        const int64_t read = file.Read(buffer.get(), wanted);
        if (read <= 0) {
            // The file ended (or a view failed) before the size the job was given.
            SetError(FileNotMapped);
            break;
        }
        int64_t handed = 0;
        while (handed < read) {
            // A blocking send may take less than it was given; the rest goes in the next call.
            const int sent = ::send(socket, buffer.get() + handed, static_cast<int>(read - handed), 0);
            if (sent == SOCKET_ERROR || sent == 0) break;
            handed += sent;
        }
        // What the socket took, block by block.
        for (int64_t counted = 0; counted < handed;) {
            const int64_t n = handed - counted < block ? handed - counted : block;
            counted += n;
            posted_ += n;
            speed_ = static_cast<double>(calculater.Calculate(posted_));
            const DWORD now = Tamsic::Platform::GetTick();
            // After a stop request the job reports nothing more.
            if (static_cast<DWORD>(now - lastReport) >= 1000 && !stop_) {
                lastReport = now;
                if (event_) event_->postProcess(taskId_, posted_, FormatByteSize(speed_));
            }
        }
        if (handed < read) {
            SetError(TransferFailed);
            break;
        }
    }
    file.Close();
    if (Proceeding() && posted_ >= fileSize_) AddState(AllSent);
}

CString FtpFilePoster::GetPostedText() const { return FormatByteSize(static_cast<double>(posted_)); }

CString FtpFilePoster::GetRemainingTimeText() const {
    if (!(speed_ > 0)) return CString(L"00:00:00");
    const double seconds = static_cast<double>(fileSize_ - posted_) / speed_;
    return FormatSeconds(static_cast<double>(static_cast<int64_t>(seconds)));
}

CString FtpFilePoster::GetPercentText() const {
    if (posted_ == fileSize_) return CString(L"100%");
    if (fileSize_ <= 0) return CString(L"0%");
    // Through single precision: 29,999,999 of 30,000,000 shows as 100%.
    const float value =
        static_cast<float>(static_cast<double>(posted_) / static_cast<double>(fileSize_) * 100.0);
    CString text;
    text.Format(L"%d%%", static_cast<int>(value));
    return text;
}
