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
}  // namespace

FtpFilePoster::FtpFilePoster() = default;

FtpFilePoster::~FtpFilePoster() {
    // A job that ends now reports to nobody: the owner is going away.
    abandoned_ = true;
    stop_ = true;
    if (worker_) {
        if (workerId_ != GetCurrentThreadId()) WaitForSingleObject(worker_, INFINITE);
        CloseHandle(worker_);
    }
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
    if (running_) return false;
    if (worker_) {
        CloseHandle(worker_);
        worker_ = nullptr;
    }
    // Nothing of an earlier job counts for this one.
    stop_ = false;
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
    unsigned id = 0;
    const uintptr_t handle = _beginthreadex(nullptr, 0, &FtpFilePoster::ThreadProc, this, 0, &id);
    if (!handle) {
        running_ = false;
        return false;
    }
    worker_ = reinterpret_cast<HANDLE>(handle);
    workerId_ = id;
    return true;
}

unsigned __stdcall FtpFilePoster::ThreadProc(void* argument) {
    FtpFilePoster* poster = static_cast<FtpFilePoster*>(argument);
    poster->RunJob();

    // Take the outcome before the poster is free again: from here on the worker does not touch it, so the
    // owner may start the next job from inside the report.
    const unsigned state = poster->state_;
    const int taskId = poster->taskId_;
    const int errorCode = poster->errorCode_;
    KorvaneEvent* event = poster->abandoned_ ? nullptr : poster->event_;
    poster->running_ = false;

    if (event) {
        if (state & AllSent)
            event->postComplete(taskId);
        else if (state & Failed)
            event->postError(taskId, errorCode);
    }
    ReleaseLogThreadData();
    return 0;
}

void FtpFilePoster::RunJob() {
    control_.Startup();
    if (control_.Connect()) AddState(Connected);
    ClosingConnection closeControl(control_);
    FtpCommand command(this);

    if (state_ & Connected)
        command.RecvWelcome();
    else
        SetError(ReceiveFailed);  // no greeting can come over a connection that does not stand

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

    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    command.Pasv(address);
    TcpConnection data(address);
    {
        ClosingConnection closeData(data);
        if (Proceeding() && (state_ & PassiveReady) && !data.Connect()) SetError(TransferFailed);

        if (posted_ <= 0) {
            command.Rest();
            command.Stor();
        } else {
            command.Appe();
        }
        // A 1xx (or 350) opens the transfer and the server's final word comes after it; a 2xx is that word.
        const bool finalReplyOwed = !IsPositiveCompletion(response_.GetCode());

        if (Proceeding() && (state_ & PassiveReady)) SendFile(data);
        data.Close();

        if (Proceeding() && (state_ & PassiveReady)) {
            state_ &= ~static_cast<unsigned>(PassiveReady);
            // Only the server can say the file is stored: 226 or 250 after the data connection closed.
            if (finalReplyOwed) {
                std::string reply;
                FtpResponse finalReply;
                if (command.RecvRaw(reply)) finalReply.Parse(reply);
                if (!IsPositiveCompletion(finalReply.GetCode())) SetError(TransferFailed);
            }
        }
    }

    command.Quit();
    control_.Close();
    control_.Cleanup();

    // Every way through ends in one of these; a job must not end silently unless it was stopped.
    if ((state_ & (AllSent | Failed | Stopped)) == 0) SetError(TransferFailed);
}

void FtpFilePoster::SendFile(TcpConnection& data) {
    Tamsic::IO::MapFile file;
    if (!file.Open(localPath_)) {
        SetError(FileNotMapped);
        return;
    }
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
