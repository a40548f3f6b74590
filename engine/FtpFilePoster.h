// One upload job: where the file is and where it goes, who logs in, how far the transfer has come, which
// protocol steps succeeded and which error ended the job. Post runs the job on a worker thread, which
// reports once at the end through KorvaneEvent (and with progress while the file goes out).
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "Network/Command/FtpResponse.h"
#include "Network/TcpConnection.h"
#include "classlib/CString.h"
#include "engine/ErrorCodes.h"
#include "engine/KorvaneEvent.h"
#include "engine/WorkerThread.h"

class FtpCommand;
namespace Tamsic {
namespace IO {
class MapFile;
}
}  // namespace Tamsic

class FtpFilePoster {
public:
    // PosterState: the protocol steps that succeeded. SetError and a stop replace the whole set.
    enum PosterState : unsigned {
        FeatDone = 0x1,
        Connected = 0x2,
        UserAccepted = 0x4,
        Stopped = 0x8,
        Failed = 0x10,
        RestAccepted = 0x200,
        PassiveReady = 0x800,
        AllSent = 0x1000,
        LoggedIn = 0x8000,
        ClntAccepted = 0x10000,
        FolderReady = 0x40000,
        FolderEntered = 0x80000,
    };

    // Why a job failed: the upload codes of PageErrorCode.
    using PostErrorCode = PageErrorCode;

    // The send loop maps this many blocks (of the allocation granularity) per view of the file: under Wine a
    // view's mapping, page faults and unmapping cost less per byte the larger it is, up to a few MiB.
    static constexpr int kBlocksPerView = 64;

    FtpFilePoster();
    // Stops a transfer in progress and waits for the worker to end.
    virtual ~FtpFilePoster();
    FtpFilePoster(const FtpFilePoster&) = delete;
    FtpFilePoster& operator=(const FtpFilePoster&) = delete;

    // The job's settings. While a job runs they change nothing: the worker reads them on its own thread.
    void SetEvent(KorvaneEvent* event);
    void SetTaskId(int taskId);
    void SetFileSize(const int64_t& size);
    // Resolves the host at once, on the calling thread.
    void SetServer(CString host, unsigned short port, CString userName, CString password);

    // Starts a job from a clean record. False when a job is still running (nothing changes then) or when
    // the worker cannot be started. The previous job's worker is waited for first, unless it reported its
    // outcome: then this call may come from inside that report (on the worker, or on a thread the report
    // calls into), and the worker is kept for the destructor to wait for.
    bool Post(CString localPath, CString remoteFolder, CString remoteFile);
    // Asks the job to stop: before its next command, or within a tenth of a second while it waits for a
    // connect, a reply or room in the data socket. After a stop only QUIT goes to the server; a stop during
    // the transfer first closes the data connection and waits for the server's reply to it, so that the
    // server's copy has settled when the job ends. A stopped job reports nothing.
    void Stop() { stop_ = true; }
    bool IsRunning() const { return worker_.IsRunning(); }

    void SetError(const int& code);
    void AddState(const unsigned& bits);
    unsigned GetState() const { return state_; }
    int GetErrorCode() const { return errorCode_; }
    int GetTaskId() const { return taskId_; }

    // Progress texts, read by the owner's progress handler on the worker thread.
    CString GetPostedText() const;
    CString GetRemainingTimeText() const;
    CString GetPercentText() const;

protected:
    friend class FtpCommand;
    friend class WorkerThread;

    // One job on its worker: the exchange, then the outcome settled and reported.
    void Run(bool& settled);
    // A job that threw before its outcome was settled ends as one whose commands could not be sent (a
    // stopped job still ends silently).
    void SettleAfterFault();
    // Takes the outcome before the poster is free again, then reports it: from then on the worker does not
    // touch the poster, so the owner may start the next job from inside the report.
    void SettleAndReport(bool& settled);
    // The whole exchange, from connect to close.
    void RunJob();
    // Streams the local file from posted onwards over the data connection. Returns how long, in
    // milliseconds, what the socket may still hold takes to leave at the rate the link took bytes.
    uint64_t SendFile(TcpConnection& data, Tamsic::IO::MapFile& file);
    // True while the job may go on: no error ended it and no stop replaced the state.
    bool Proceeding() const { return (state_ & (Failed | Stopped)) == 0; }
    // As Proceeding; a stop request not yet seen stops the job here.
    bool ProceedingUnlessStopped() {
        if (Proceeding() && stop_) state_ = Stopped;
        return Proceeding();
    }

    KorvaneEvent* event_ = nullptr;
    bool utf8_ = false;
    std::atomic<bool> stop_{false};
    int taskId_ = 0;
    unsigned state_ = 0;
    int errorCode_ = 0;
    int64_t fileSize_ = 0;
    int64_t posted_ = 0;
    double speed_ = 0;
    // When the send loop's last progress report went out (or its pass began), by GetTickCount64.
    uint64_t lastReportAt_ = 0;
    CString localPath_;
    CString remoteFile_;
    CString remoteFolder_;
    CString userName_;
    CString password_;
    FtpResponse response_;
    TcpConnection control_;

    // A job ends at once when the poster goes: without a report and without waiting for the server.
    WorkerThread worker_;
};
