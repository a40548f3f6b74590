#include <winsock2.h>

#include "com/Korvane.h"

#include <cwchar>
#include <new>

#include "Biz/Log.h"
#include "classlib/ComResult.h"
#include "com/ApartmentScope.h"
#include "com/Credential.h"
#include "com/DovrinModule.h"
#include "engine/FtpFilePoster.h"
#include "support/FileInfo.h"
#include "support/Platform.h"
#include "support/SizeText.h"

using Tamsic::Threading::ScopedLock;

namespace {

// _IKorvaneEvents
constexpr DISPID kPostComplete = 1;
constexpr DISPID kPostError = 2;
constexpr DISPID kPostProcess = 4;
constexpr DISPID kPostConnected = 5;

const wchar_t kFetchFailedText[] = L"从全局GIT中获取指针失败";

CComBSTR ToBstr(const CString& text) {
    return CComBSTR(text.GetString(), static_cast<UINT>(text.GetLength()));
}

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

// What a worker's report asks the page's thread to raise.
struct CKorvane::RaiseRequest : PageThreadDelivery::Request {
    RaiseRequest(CKorvane* object, DISPID event, ULONG taskId, ULONG errorCode = 0, BSTR speed = nullptr,
                 BSTR postedLength = nullptr, BSTR percent = nullptr, BSTR time = nullptr)
        : object(object),
          event(event),
          taskId(taskId),
          errorCode(errorCode),
          speed(speed),
          postedLength(postedLength),
          percent(percent),
          time(time) {}
    void Run() override { object->RaiseEvent(*this); }

    CKorvane* object;
    DISPID event;
    ULONG taskId;
    ULONG errorCode;
    BSTR speed;
    BSTR postedLength;
    BSTR percent;
    BSTR time;
};

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

// ---- creation, destruction, identity

CKorvane::CKorvane()
    : maxFileSize_(static_cast<int64_t>(20.0 * SizeGB)), poster_(new (std::nothrow) FtpFilePoster) {
    md5Checker_.SetSink(static_cast<Md5CheckerEvent*>(this));
    crcChecker_.SetSink(static_cast<Crc32Event*>(this));
}

CKorvane::~CKorvane() {
    // No worker of this object runs now (each holds a reference). A report that would still come in, of a
    // stopped run that the engine object is letting end, is dropped.
    closing_ = true;
    delivery_.Abandon();
    // The engine objects go next (each waits for its worker), then the window, then the texts and references.
}

HRESULT CKorvane::UpdateRegistry(bool registering) {
    return CAtlModule::Get()->UpdateRegistryFromResource(IDR_KORVANE, registering);
}

const ComInterfaceEntry* CKorvane::GetInterfaceTable() {
    static const ComInterfaceEntry table[] = {
        {&IID_IKorvane, &ComInterfaceCast<CKorvane, IKorvane>},
        {&IID_IDispatch, &ComInterfaceCast<CKorvane, IKorvane>},
        {&IID_IObjectSafety, &ComInterfaceCast<CKorvane, IObjectSafety>},
        {&IID_ISupportErrorInfo, &ComInterfaceCast<CKorvane, ISupportErrorInfo>},
        {&IID_IConnectionPointContainer, &ComInterfaceCast<CKorvane, IConnectionPointContainer>},
        {&IID_IObjectWithSite, &ComInterfaceCast<CKorvane, IObjectWithSite>},
        {nullptr, nullptr},
    };
    return table;
}

const ConnectionPointEntry* CKorvane::GetConnectionPointTable() {
    static const ConnectionPointEntry table[] = {
        {&DIID__IKorvaneEvents, &ConnectionPointOf<CKorvane, CProxy_IKorvaneEvents<CKorvane>>},
        {nullptr, nullptr},
    };
    return table;
}

HRESULT CKorvane::FinalConstruct() {
    CComPtr<IGlobalInterfaceTable> git;
    KORVANE_RETURN_IF_FAILED(CAtlModule::Get()->GetGITPtr(&git));
    if (!poster_) return E_OUTOFMEMORY;
    return delivery_.Create(this, static_cast<IKorvane*>(this), IID_IKorvane);
}

std::string CKorvane::DecryptCredential(const std::string& base64, const std::string& keyText) {
    return ::DecryptCredential(base64, keyText);
}

CString CKorvane::DecryptCredentialText(const CString& text) const {
    return ::DecryptCredentialText(text, keyText_);
}

STDMETHODIMP CKorvane::InterfaceSupportsErrorInfo(REFIID iid) {
    return InlineIsEqualGUID(iid, IID_IKorvane) ? S_OK : S_FALSE;
}

// ---- getters. Out-values are written, never cleared first: a caller need not initialise them.

STDMETHODIMP CKorvane::get_SupportCrc(VARIANT* pVal) {
    if (!pVal) return E_POINTER;
    VariantInit(pVal);
    pVal->vt = VT_I4;
    pVal->lVal = supportCrc_;
    return S_OK;
}

STDMETHODIMP CKorvane::get_SupportMd5(VARIANT* pVal) {
    if (!pVal) return E_POINTER;
    VariantInit(pVal);
    pVal->vt = VT_I4;
    pVal->lVal = supportMd5_;
    return S_OK;
}

STDMETHODIMP CKorvane::get_Md5Percent(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = md5Percent_;
    return S_OK;
}

STDMETHODIMP CKorvane::get_ErrorCode(UINT* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = errorCode_;
    return S_OK;
}

STDMETHODIMP CKorvane::get_FileLength(BSTR* pVal) {
    return Guarded([&] {
        if (!pVal) return E_POINTER;
        CString text;
        text.Format(L"%I64d", static_cast<long long>(fileSize_));
        *pVal = ToBstr(text).Detach();
        return S_OK;
    });
}

STDMETHODIMP CKorvane::get_MD5(BSTR* pVal) {
    return Guarded([&] {
        if (!pVal) return E_POINTER;
        *pVal = ToBstr(md5Checker_.GetResult()).Detach();
        return S_OK;
    });
}

STDMETHODIMP CKorvane::get_CRC(BSTR* pVal) {
    return Guarded([&] {
        if (!pVal) return E_POINTER;
        *pVal = ToBstr(crcChecker_.GetResult()).Detach();
        return S_OK;
    });
}

STDMETHODIMP CKorvane::get_LogData(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = SysAllocString(L"");
    return S_OK;
}

// ---- setters. A text is taken up to its first NUL, a null BSTR is the empty text (CString's own rule).

STDMETHODIMP CKorvane::put_Object(IDispatchEx* newVal) {
    object_.Set(newVal);
    return S_OK;
}

STDMETHODIMP CKorvane::put_LocalFile(BSTR newVal) {
    return Guarded([&] {
        localFile_ = CString(newVal);
        // The size is read here only; a file that cannot be opened reads as 0 after FileInfo's message.
        Tamsic::IO::FileInfo info(localFile_);
        fileSize_ = info.GetSize();
        return S_OK;
    });
}

STDMETHODIMP CKorvane::put_RemoteFolder(BSTR newVal) {
    return Guarded([&] {
        remoteFolder_ = CString(newVal);
        return S_OK;
    });
}

STDMETHODIMP CKorvane::put_RemoteFile(BSTR newVal) {
    return Guarded([&] {
        remoteFile_ = CString(newVal);
        return S_OK;
    });
}

STDMETHODIMP CKorvane::put_UserName(BSTR newVal) {
    return Guarded([&] {
        const CString text(newVal);
        CString trimmed(text);
        trimmed.TrimRight();
        trimmed.TrimLeft();
        // A blank name is ignored before any decryption: the previous name stays.
        if (trimmed.IsEmpty()) return S_OK;
        userName_ = encryption_ ? DecryptCredentialText(text) : text;
        return S_OK;
    });
}

STDMETHODIMP CKorvane::put_UserPass(BSTR newVal) {
    return Guarded([&] {
        const CString text(newVal);
        userPass_ = encryption_ ? DecryptCredentialText(text) : text;
        return S_OK;
    });
}

STDMETHODIMP CKorvane::put_FileID(ULONG newVal) {
    fileId_ = newVal;
    return S_OK;
}

STDMETHODIMP CKorvane::put_IP(BSTR newVal) {
    return Guarded([&] {
        ip_ = CString(newVal);
        return S_OK;
    });
}

STDMETHODIMP CKorvane::put_Port(ULONG newVal) {
    port_ = static_cast<unsigned short>(newVal & 0xFFFFu);
    return S_OK;
}

STDMETHODIMP CKorvane::put_Passive(LONG newVal) {
    passive_ = newVal;
    return S_OK;
}

STDMETHODIMP CKorvane::put_OnPost(IDispatchEx* newVal) {
    onPost_.Set(newVal);
    return S_OK;
}

STDMETHODIMP CKorvane::put_OnStateChanged(IDispatchEx* newVal) {
    onStateChanged_.Set(newVal);
    return S_OK;
}

STDMETHODIMP CKorvane::put_AutoCreateFolder(VARIANT_BOOL newVal) {
    autoCreateFolder_ = newVal == VARIANT_TRUE;
    return S_OK;
}

STDMETHODIMP CKorvane::put_CrypType(BSTR newVal) {
    return Guarded([&] {
        crypType_ = CString(newVal);
        return S_OK;
    });
}

STDMETHODIMP CKorvane::put_Encryption(VARIANT_BOOL newVal) {
    encryption_ = newVal == VARIANT_TRUE ? 1 : 0;
    return S_OK;
}

STDMETHODIMP CKorvane::put_Debug(VARIANT_BOOL newVal) {
    debug_ = newVal == VARIANT_TRUE;
    return S_OK;
}

STDMETHODIMP CKorvane::put_LogFile(BSTR newVal) {
    return Guarded([&] {
        // Opens nothing unless Debug was already on and the path is not empty.
        OpenLogFile(GetLogger(), debug_, std::wstring(CString(newVal).GetString()));
        return S_OK;
    });
}

// ---- the script functions, on the page's thread

STDMETHODIMP CKorvane::FireOnPost(BSTR postedLength, BSTR speed, BSTR percent, BSTR time) {
    CallbackScope callback(pageCallbacks_);
    // Held for the call: the function may clear OnPost while it runs.
    CComPtr<IDispatchEx> function(onPost_.Get());
    if (!function) return S_OK;
    // The function gets (Object, speed, postedLength, percent, time): the last element is the first argument.
    VARIANT arguments[5];
    arguments[4].vt = VT_DISPATCH;
    arguments[4].pdispVal = object_.Get();
    arguments[3].vt = VT_BSTR;
    arguments[3].bstrVal = speed;
    arguments[2].vt = VT_BSTR;
    arguments[2].bstrVal = postedLength;
    arguments[1].vt = VT_BSTR;
    arguments[1].bstrVal = percent;
    arguments[0].vt = VT_BSTR;
    arguments[0].bstrVal = time;
    DISPPARAMS params = {arguments, nullptr, 5, 0};
    CComVariant ignored;
    // The texts stay the caller's and Object is not referenced again: the arguments are not cleared.
    function->InvokeEx(DISPID_VALUE, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &ignored, nullptr,
                       nullptr);
    return S_OK;
}

STDMETHODIMP CKorvane::FireStateChanged() {
    CallbackScope callback(pageCallbacks_);
    CComPtr<IDispatchEx> function(onStateChanged_.Get());
    if (!function) return S_OK;
    VARIANT arguments[2];
    arguments[1].vt = VT_DISPATCH;
    arguments[1].pdispVal = object_.Get();
    arguments[0].vt = VT_I4;
    arguments[0].lVal = state_;
    DISPPARAMS params = {arguments, nullptr, 2, 0};
    CComVariant ignored;
    function->InvokeEx(DISPID_VALUE, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &ignored, nullptr,
                       nullptr);
    return S_OK;
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

STDMETHODIMP CKorvane::Post() {
    return Guarded([&] {
        CheckUploadSettled();
        // A running upload keeps the poster: the call changes nothing.
        if (uploadActive_ && !uploadStopRequested_) return S_OK;
        StartSettings settings = CurrentSettings();
        // A stopped upload that is still ending, an upload report under way (the page may be inside it), a
        // poster whose worker is still delivering its last report, a start that is telling the page its
        // validation, or an earlier start that waits: the start waits, so that nothing here waits for a
        // worker that waits for the page.
        if (pendingUpload_ || !UploadMayStart()) {
            DeferStart(pendingUpload_, std::move(settings));
            return S_OK;
        }
        StartUpload(settings);
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
    errorCode_ = FtpFilePoster::SendFailed;
    Fire_PostError(fileId, FtpFilePoster::SendFailed);
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
            StartSettings settings = CurrentSettings();
            if (pendingMd5_ || !Md5MayStart()) {
                DeferStart(pendingMd5_, std::move(settings));
                return S_OK;
            }
            StartMd5Check(settings);
        } else if (kind == CheckKind::Crc) {
            if (crcActive_) return S_OK;
            StartSettings settings = CurrentSettings();
            if (pendingCrc_ || !CrcMayStart()) {
                DeferStart(pendingCrc_, std::move(settings));
                return S_OK;
            }
            StartCrcCheck(settings);
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

void CKorvane::RaiseEvent(const RaiseRequest& request) {
    if (closing_) return;
    CallbackScope callback(pageCallbacks_);
    switch (request.event) {
        case kPostComplete:
            Fire_PostComplete(request.taskId);
            break;
        case kPostError:
            Fire_PostError(request.taskId, request.errorCode);
            break;
        case kPostProcess:
            // A report that waited while the page stopped the upload stays unheard.
            if (!uploadStopRequested_)
                Fire_PostProcess(request.taskId, request.speed, request.postedLength, request.percent,
                                 request.time);
            break;
        case kPostConnected:
            Fire_PostConnected(request.taskId);
            break;
    }
}

// ---- the workers' side of a report

void CKorvane::RaiseOnPageThread(RaiseRequest& request) {
    // Returns once the page's thread has raised the event to every sink, in the sinks' apartment, or the
    // object has abandoned its work.
    delivery_.Raise(request);
}

CComPtr<IKorvane> CKorvane::FetchFromGlobalTable(const wchar_t* caption) {
    CComPtr<IKorvane> korvane;
    if (FAILED(delivery_.FetchFromGlobalTable(IID_IKorvane, korvane.ReceiveVoid())) || !korvane) {
        korvane.Release();
        Tamsic::Platform::ShowMessageBox(nullptr, kFetchFailedText, caption, MB_OK);
    }
    return korvane;
}

void CKorvane::UploadStateReport(const wchar_t* caption, RaiseRequest request) {
    ReportScope report(reportsUnderWay_[UploadWork]);
    ApartmentScope apartment;
    RaiseOnPageThread(request);
    if (onStateChanged_.Get() && !closing_) {
        CComPtr<IKorvane> korvane = FetchFromGlobalTable(caption);
        if (korvane) korvane->FireStateChanged();
    }
}

// A final report is counted from before the run reads as over, so that a start asked meanwhile waits for
// it; the count ends before the work-done notice, the worker's last touch of the object.
void CKorvane::postComplete(int taskId) {
    if (closing_) return;
    {
        ReportScope report(reportsUnderWay_[UploadWork]);
        state_ = StateUploaded;
        uploadActive_ = false;
        Guarded([&] { UploadStateReport(L"postComplete", RaiseRequest(this, kPostComplete, taskId)); });
    }
    delivery_.WorkDone(UploadWork);
}

void CKorvane::postError(int taskId, int errorCode) {
    if (closing_) return;
    {
        ReportScope report(reportsUnderWay_[UploadWork]);
        state_ = StateError;
        errorCode_ = static_cast<UINT>(errorCode);
        uploadActive_ = false;
        Guarded([&] {
            UploadStateReport(L"postError", RaiseRequest(this, kPostError, static_cast<ULONG>(taskId),
                                                         static_cast<ULONG>(errorCode)));
        });
    }
    delivery_.WorkDone(UploadWork);
}

void CKorvane::postConnect(int taskId) {
    if (closing_) return;
    state_ = StateConnected;
    Guarded([&] { UploadStateReport(L"postConnect", RaiseRequest(this, kPostConnected, taskId)); });
}

void CKorvane::postProcess(int taskId, int64_t /*posted*/, CString speed) {
    if (closing_ || uploadStopRequested_) return;
    ReportScope report(reportsUnderWay_[UploadWork]);
    Guarded([&] {
        ApartmentScope apartment;
        // Fetched whatever OnPost holds; without the pointer the report raises nothing at all.
        CComPtr<IKorvane> korvane = FetchFromGlobalTable(L"postProcess");
        if (!korvane) return;
        // The texts come from the poster's own counters as they stand now, not from the report's byte
        // count.
        CComBSTR postedLength = ToBstr(poster_->GetPostedText());
        CComBSTR time = ToBstr(poster_->GetRemainingTimeText());
        CComBSTR speedText = ToBstr(speed);
        CComBSTR percent = ToBstr(poster_->GetPercentText());
        RaiseRequest request(this, kPostProcess, static_cast<ULONG>(taskId), 0, speedText, postedLength,
                             percent, time);
        RaiseOnPageThread(request);
        // A stop that the page made while the event was raised holds for this report's script call too.
        if (!uploadStopRequested_) korvane->FireOnPost(postedLength, speedText, percent, time);
    });
}

void CKorvane::CheckStateReport(WorkKind kind, const wchar_t* caption) {
    ReportScope report(reportsUnderWay_[kind]);
    Guarded([&] {
        ApartmentScope apartment;
        // Fetched whatever OnStateChanged holds: FireStateChanged then does nothing on the page's side.
        CComPtr<IKorvane> korvane = FetchFromGlobalTable(caption);
        if (korvane) korvane->FireStateChanged();
    });
}

void CKorvane::md5Process(int percent) {
    if (closing_ || !md5Gate_.Enter(false)) return;
    md5Percent_ = percent;
    state_ = StateChecking;
    CheckStateReport(Md5Work, L"md5Process");
    md5Gate_.Leave();
}

void CKorvane::md5Complete() {
    if (closing_ || !md5Gate_.Enter(true)) return;
    {
        ReportScope report(reportsUnderWay_[Md5Work]);
        state_ = StateChecked;
        md5Active_ = false;
        CheckStateReport(Md5Work, L"md5Complete");
        md5Gate_.Leave();
    }
    delivery_.WorkDone(Md5Work);
}

void CKorvane::md5Error() {
    if (closing_ || !md5Gate_.Enter(true)) return;
    {
        ReportScope report(reportsUnderWay_[Md5Work]);
        const UINT code = static_cast<UINT>(md5Checker_.GetErrorCode());
        state_ = StateError;
        errorCode_ = code;
        md5Active_ = false;
        CheckStateReport(Md5Work, L"md5Error");
        md5Gate_.Leave();
    }
    delivery_.WorkDone(Md5Work);
}

void CKorvane::crcError() {
    if (closing_) return;
    {
        ReportScope report(reportsUnderWay_[CrcWork]);
        // The CRC check's own code (200), not the MD5 checker's.
        const UINT code = static_cast<UINT>(crcChecker_.GetErrorCode());
        state_ = StateError;
        errorCode_ = code;
        crcActive_ = false;
        CheckStateReport(CrcWork, L"md5Error");
    }
    delivery_.WorkDone(CrcWork);
}

void CKorvane::crcComplete() {
    if (closing_) return;
    {
        ReportScope report(reportsUnderWay_[CrcWork]);
        state_ = StateChecked;
        crcActive_ = false;
        CheckStateReport(CrcWork, L"md5Complete");
    }
    delivery_.WorkDone(CrcWork);
}

void CKorvane::crcProcess(int percent) {
    // Crc32 never sends it; it would be an MD5 progress report.
    if (closing_) return;
    md5Percent_ = percent;
    state_ = StateChecking;
    CheckStateReport(CrcWork, L"md5Process");
}
