// The upload object's starts and stops: Post, FileCheck and Stop, the settings a start keeps, the starts
// that wait for a run of their kind to end, and what the page's thread does as the running work goes on.
#include <winsock2.h>

#include "com/Korvane.h"

#include <cwchar>

#include "classlib/ComResult.h"
#include "engine/FtpFilePoster.h"

using Tamsic::Threading::ScopedLock;

namespace {

// An engine object's start, after the object took its work hold: false when no worker was started, also
// when the start threw part-way (a text or the list of kept threads that found no memory).
template <class Start>
bool StartedWorker(Start&& start) noexcept {
    bool started = false;
    Guarded([&] { started = start(); });
    return started;
}

enum class CheckKind { None, Md5, Crc };

// CrypType, compared ignoring case: "md5" or "crc" names a check, any other text none.
CheckKind CheckKindOf(const CString& crypType) {
    if (_wcsicmp(crypType.GetString(), L"md5") == 0) return CheckKind::Md5;
    if (_wcsicmp(crypType.GetString(), L"crc") == 0) return CheckKind::Crc;
    return CheckKind::None;
}

}  // namespace

// ---- StoppableRunGate

void StoppableRunGate::Open() {
    ScopedLock hold(lock_);
    open_ = true;
    dropping_ = false;
    finalTaken_ = false;
}

void StoppableRunGate::Close() {
    ScopedLock hold(lock_);
    open_ = false;
}

bool StoppableRunGate::Enter(bool finalReport) {
    ScopedLock hold(lock_);
    if (dropping_ || !open_) return false;
    if (finalReport) {
        finalTaken_ = true;
        open_ = false;
    }
    ++underWay_;
    return true;
}

void StoppableRunGate::Leave() {
    ScopedLock hold(lock_);
    --underWay_;
}

bool StoppableRunGate::Stop() {
    ScopedLock hold(lock_);
    if (!open_) return false;
    open_ = false;
    dropping_ = true;
    stopPending_ = true;
    return true;
}

bool StoppableRunGate::TakeStoppedIdle() {
    ScopedLock hold(lock_);
    if (!stopPending_ || underWay_ != 0) return false;
    stopPending_ = false;
    return true;
}

bool StoppableRunGate::StopPending() {
    ScopedLock hold(lock_);
    return stopPending_;
}

bool StoppableRunGate::ForgetStopped() {
    ScopedLock hold(lock_);
    const bool pending = stopPending_;
    stopPending_ = false;
    return pending;
}

// ---- starting and stopping work

CKorvane::StartSettings CKorvane::CurrentSettings() const {
    StartSettings settings;
    settings.localFile = localFile_;
    settings.remoteFolder = remoteFolder_;
    settings.remoteFile = remoteFile_;
    settings.ip = ip_;
    settings.userName = userName_;
    settings.userPass = userPass_;
    settings.fileId = fileId_;
    settings.port = port_;
    settings.fileSize = fileSize_;
    return settings;
}

bool CKorvane::Validate(const StartSettings& settings) {
    state_ = StateReset;
    bool failed = false;
    // Every test runs; the code of the last one that fails stays.
    auto fail = [&](UINT code) {
        state_ = StateError;
        errorCode_ = code;
        failed = true;
    };
    if (settings.ip.IsEmpty()) fail(IpEmpty);
    if (settings.localFile.IsEmpty()) fail(LocalFileEmpty);
    if (settings.remoteFile.IsEmpty()) fail(RemoteFileEmpty);
    if (settings.userName.IsEmpty()) fail(UserNameEmpty);
    if (settings.fileSize > maxFileSize_) fail(FileTooLarge);
    if (settings.fileSize == 0) fail(FileEmpty);
    if (!failed) return true;
    Fire_PostStateChanged(settings.fileId, StateError);
    FireStateChanged();
    return false;
}

// Starts the run with the settings of this call now, or, when it may not start yet or an earlier start waits,
// keeps them for the moment it may.
template <class MayStart, class Start>
void CKorvane::StartNowOrLater(std::optional<StartSettings>& pending, MayStart mayStart, Start start) {
    StartSettings settings = CurrentSettings();
    if (pending || !(this->*mayStart)()) {
        DeferStart(pending, std::move(settings));
        return;
    }
    (this->*start)(settings);
}

STDMETHODIMP CKorvane::Post() {
    return Guarded([&] {
        CheckUploadSettled();
        // A running upload keeps the poster: the call changes nothing.
        if (uploadActive_ && !uploadStopRequested_) return S_OK;
        // A stopped upload that is still ending, an upload report under way (the page may be inside it), a
        // poster whose worker is still delivering its last report, a start that is telling the page its
        // validation, or an earlier start that waits: the start waits, so that nothing here waits for a
        // worker that waits for the page.
        StartNowOrLater(pendingUpload_, &CKorvane::UploadMayStart, &CKorvane::StartUpload);
        return S_OK;
    });
}

bool CKorvane::UploadMayStart() {
    CheckUploadSettled();
    return !uploadActive_ && reportsUnderWay_[UploadWork] == 0 && !poster_->IsRunning() && !starting_;
}

void CKorvane::StartUpload(const StartSettings& settings) {
    StartingScope starting(starting_);
    if (!Validate(settings)) return;
    state_ = StateUploading;
    uploadStopRequested_ = false;
    uploadActive_ = true;
    uploadUnsettled_ = true;
    delivery_.TakeWork(UploadWork);
    const bool started = StartedWorker([&] {
        poster_->SetEvent(static_cast<KorvaneEvent*>(this));
        poster_->SetFileSize(settings.fileSize);
        poster_->SetTaskId(static_cast<int>(settings.fileId));
        poster_->SetServer(settings.ip, settings.port, settings.userName, settings.userPass);
        return poster_->Post(settings.localFile, settings.remoteFolder, settings.remoteFile);
    });
    if (!started) {
        uploadActive_ = false;
        uploadUnsettled_ = false;
        Guarded([&] { UploadNotStarted(settings.fileId); });
        // Last: it may end the object.
        delivery_.EndWork(UploadWork);
    }
}

void CKorvane::UploadNotStarted(ULONG fileId) {
    // The job ends the way a job that could not send its commands ends.
    state_ = StateError;
    errorCode_ = PageErrorCode::SendFailed;
    Fire_PostError(fileId, PageErrorCode::SendFailed);
    FireStateChanged();
}

STDMETHODIMP CKorvane::Stop() {
    return Guarded([&] {
        const LONG state = state_;
        if (state == StateChecking) {
            // Also while a CRC check runs, which has no stop and runs to its end.
            md5Checker_.Stop();
            if (md5Gate_.Stop()) md5Active_ = false;
        } else if (state == StateUploading) {
            // Honoured while the file data goes out; no progress of this upload reaches the page any more.
            poster_->Stop();
            uploadStopRequested_ = true;
        }
        // A start that waits for a stopped run is stopped before it begins. Last: it may end the object's
        // last work, and the page holds the object while it calls.
        pendingUpload_.reset();
        pendingMd5_.reset();
        pendingCrc_.reset();
        ReleasePendingWork();
        return S_OK;
    });
}

STDMETHODIMP CKorvane::FileCheck() {
    return Guarded([&] {
        const CheckKind kind = CheckKindOf(crypType_);
        if (kind == CheckKind::Md5) {
            // A running MD5 check keeps the checker: the call changes nothing. A CRC-32 check may run beside
            // it, on its own engine object.
            if (md5Active_) return S_OK;
            StartNowOrLater(pendingMd5_, &CKorvane::Md5MayStart, &CKorvane::StartMd5Check);
        } else if (kind == CheckKind::Crc) {
            if (crcActive_) return S_OK;
            StartNowOrLater(pendingCrc_, &CKorvane::CrcMayStart, &CKorvane::StartCrcCheck);
        }
        return S_OK;
    });
}

bool CKorvane::Md5MayStart() {
    // A stopped MD5 check that is no longer in a report ends its work here; its worker ends at its next
    // block, which the checker's start waits for.
    CheckStoppedMd5();
    if (md5Active_ || md5Gate_.StopPending() || starting_) return false;
    // Inside a report of the check the checker's worker waits for the page: a start must not wait for it.
    return pageCallbacks_ == 0 || reportsUnderWay_[Md5Work] == 0;
}

bool CKorvane::CrcMayStart() const {
    return !crcActive_ && !starting_ && (pageCallbacks_ == 0 || reportsUnderWay_[CrcWork] == 0);
}

void CKorvane::StartMd5Check(const StartSettings& settings) {
    StartingScope starting(starting_);
    if (md5Active_) return;
    if (!Validate(settings)) return;
    state_ = StateChecking;
    md5Active_ = true;
    md5Gate_.Open();
    delivery_.TakeWork(Md5Work);
    const bool started = StartedWorker([&] {
        md5Checker_.SetFilePath(settings.localFile);
        return md5Checker_.Start();
    });
    if (!started) {
        md5Active_ = false;
        md5Gate_.Close();
        Guarded([&] { CheckNotStarted(Md5Checker::FileEmpty); });
        delivery_.EndWork(Md5Work);
        return;
    }
    // A stopped run's worker is over once Start returns: its work ends now, if the timer has not ended it.
    if (md5Gate_.ForgetStopped()) delivery_.EndWork(Md5Work);
}

void CKorvane::StartCrcCheck(const StartSettings& settings) {
    StartingScope starting(starting_);
    if (crcActive_) return;
    if (!Validate(settings)) return;
    state_ = StateChecking;
    crcActive_ = true;
    delivery_.TakeWork(CrcWork);
    const bool started = StartedWorker([&] { return crcChecker_.Start(settings.localFile); });
    if (!started) {
        crcActive_ = false;
        Guarded([&] { CheckNotStarted(Crc32::FileNotOpened); });
        delivery_.EndWork(CrcWork);
    }
}

void CKorvane::CheckNotStarted(UINT code) {
    // The check's own failure report, as when its file cannot be read.
    state_ = StateError;
    errorCode_ = code;
    FireStateChanged();
}

// ---- the page's thread: the running work

void CKorvane::OnWorkDone(int kind) {
    delivery_.EndWork(kind);
    RunPendingStarts();
}

void CKorvane::OnPoll() {
    CheckUploadSettled();
    CheckStoppedMd5();
    RunPendingStarts();
}

void CKorvane::DeferStart(std::optional<StartSettings>& pending, StartSettings settings) {
    // A later call replaces the settings of the start that waits: one start of a kind waits at most.
    pending = std::move(settings);
    // While a start waits the object keeps itself, and the timer that carries the start out runs.
    if (!pendingHeld_) {
        delivery_.TakeWork(PendingWork);
        pendingHeld_ = true;
    }
}

void CKorvane::ReleasePendingWork() {
    if (!pendingHeld_ || pendingUpload_ || pendingMd5_ || pendingCrc_) return;
    pendingHeld_ = false;
    delivery_.EndWork(PendingWork);
}

void CKorvane::RunPendingStarts() {
    if (closing_ || (!pendingUpload_ && !pendingMd5_ && !pendingCrc_)) return;
    // Each start that may begin is taken off the waiting ones first: its validation may call the page,
    // which may ask for the next start of its kind.
    auto take = [](std::optional<StartSettings>& pending) {
        StartSettings settings = std::move(*pending);
        pending.reset();
        return settings;
    };
    Guarded([&] {
        // The poster runs until its worker has delivered its last report.
        if (pendingUpload_ && UploadMayStart()) StartUpload(take(pendingUpload_));
        if (pendingMd5_ && Md5MayStart()) StartMd5Check(take(pendingMd5_));
        if (pendingCrc_ && CrcMayStart()) StartCrcCheck(take(pendingCrc_));
    });
    // Last: it may end the object's last work. A start that ran may have asked for the next one.
    ReleasePendingWork();
}

void CKorvane::CheckUploadSettled() {
    if (!uploadUnsettled_ || poster_->IsRunning()) return;
    uploadUnsettled_ = false;
    // The poster reports the end of a job only when it sent everything or failed; a stopped job ends
    // silently, and then its work ends here.
    if ((poster_->GetState() & (FtpFilePoster::AllSent | FtpFilePoster::Failed)) == 0) {
        uploadActive_ = false;
        delivery_.EndWork(UploadWork);
    }
}

void CKorvane::CheckStoppedMd5() {
    if (md5Gate_.TakeStoppedIdle()) delivery_.EndWork(Md5Work);
}
