// The upload object a page creates as Tamsic.Korvane (Tamsic.Korvane64 in the 64-bit build): it uploads one
// local file to an FTP server, or computes its MD5 or CRC-32, on worker threads of its engine objects, and
// tells the page through the _IKorvaneEvents connection point and the script functions OnPost and
// OnStateChanged.
//
// Everything the page sees happens on the page's thread. A worker's report writes the object's state and then
// hands the page's thread a request to raise the event (PageThreadDelivery), waiting until it is raised; the
// script functions are called through the object's own IKorvane taken out of the Global Interface Table,
// whose proxy carries the call to the page's thread.
//
// Lifetime: every running worker holds a reference to the object and a module lock (PageThreadDelivery's
// work count), taken on the page's thread when it starts and dropped there once the worker has sent its last
// report (or, for a stopped run that reports nothing, once the page's thread sees that it will not report
// any more). So a page that lets go of a busy object leaves it alive until its work is over, and an idle
// object goes as soon as the page lets go of it.
//
// The upload, the MD5 check and the CRC-32 check run on engine objects of their own, so one of each may run
// at once; a second start of a kind that runs changes nothing. A start asked while a stopped run of the same
// kind is still ending, or while a run's last report is under way (from inside a callback, say), waits in the
// object and is carried out on the page's thread once that run's work has ended; nothing waits for a worker
// inside a callback. Like a direct start it keeps the settings the page had made at its call; a later call of
// the same kind while it waits replaces them, and a Stop drops it.
#pragma once

#include <windows.h>

#include <dispex.h>
#include <objsafe.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "classlib/CString.h"
#include "classlib/ComConnectionPoint.h"
#include "classlib/ComDispatch.h"
#include "classlib/ComObject.h"
#include "classlib/ComSite.h"
#include "com/KorvaneEvents.h"
#include "com/Korvane_i.h"
#include "com/PageThreadDelivery.h"
#include "com/resource.h"
#include "engine/Crc32.h"
#include "engine/Crc32Event.h"
#include "engine/KorvaneEvent.h"
#include "engine/Md5Checker.h"
#include "engine/Md5CheckerEvent.h"
#include "support/CriticalSection.h"

class FtpFilePoster;

// A counted reference to a page's script value (a function or the Object value). Workers test it for null
// without a lock; the page's thread alone changes it.
class ScriptValue {
public:
    ScriptValue() = default;
    ~ScriptValue() { Set(nullptr); }
    ScriptValue(const ScriptValue&) = delete;
    ScriptValue& operator=(const ScriptValue&) = delete;

    // The pointer already held changes nothing; otherwise the new one is referenced and the old released.
    void Set(IDispatchEx* value) {
        IDispatchEx* old = value_.load();
        if (old == value) return;
        if (value) value->AddRef();
        value_.store(value);
        if (old) old->Release();
    }
    IDispatchEx* Get() const { return value_.load(); }

private:
    std::atomic<IDispatchEx*> value_{nullptr};
};

// Which reports of the MD5 check reach the page once the page has stopped a run: none from the stop on. The
// run's work ends when its final report has been delivered, or, for a stopped run, once no report of it is
// under way any more.
class StoppableRunGate {
public:
    // Page's thread, before a run starts.
    void Open();
    // Page's thread: the run did not start after all.
    void Close();
    // Worker: false when the report is to be dropped. A final report that gets in ends the run's work.
    bool Enter(bool finalReport);
    void Leave();
    // Page's thread: true when an open run was stopped before its final report got in; its work then ends
    // through TakeStoppedIdle.
    bool Stop();
    // Page's thread: true once for a stopped run, when none of its reports is under way.
    bool TakeStoppedIdle();
    // Page's thread: the stopped run's worker is known to have ended; true when there was one.
    bool ForgetStopped();
    // Page's thread: a stopped run's work has not ended yet.
    bool StopPending();

private:
    Tamsic::Threading::CriticalSection lock_;
    bool open_ = false;
    bool dropping_ = false;
    bool finalTaken_ = false;
    bool stopPending_ = false;
    int underWay_ = 0;
};

class CKorvane : public CComObjectRootEx<CComSingleThreadModel>,
                 public CComCoClass<CKorvane, &CLSID_Korvane>,
                 public ISupportErrorInfo,
                 public IConnectionPointContainerImpl<CKorvane>,
                 public CProxy_IKorvaneEvents<CKorvane>,
                 public IObjectWithSiteImpl<CKorvane>,
                 public IDispatchImpl<IKorvane, &IID_IKorvane, &LIBID_DovrinLib, 1, 0>,
                 public IObjectSafetyImpl<CKorvane, INTERFACESAFE_FOR_UNTRUSTED_CALLER>,
                 public KorvaneEvent,
                 public Md5CheckerEvent,
                 public Crc32Event,
                 private PageThreadDelivery::Client {
public:
    // PostState: what State holds, as OnStateChanged and PostStateChanged report it.
    enum PostState : LONG {
        StateReset = 0,
        StateUploading = 1,
        StateUploaded = 2,
        StateError = 3,
        StateConnected = 4,
        StateChecking = 5,
        StateChecked = 6,
    };
    // The codes the object's own checks write, among every page-visible code in engine/ErrorCodes.h.
    using ValidationErrorCode = PageErrorCode;

    CKorvane();
    ~CKorvane();

    static HRESULT UpdateRegistry(bool registering);
    static const ComInterfaceEntry* GetInterfaceTable();
    static const ConnectionPointEntry* GetConnectionPointTable();

    // Creates the delivery's message-only window on the creating (page's) thread and makes sure the process's
    // Global Interface Table can be had and the engine objects exist: a failure of any fails the creation.
    HRESULT FinalConstruct();

    // The credential decryption: the first with any key text, the second with the object's.
    static std::string DecryptCredential(const std::string& base64, const std::string& keyText);
    CString DecryptCredentialText(const CString& text) const;

    // ISupportErrorInfo
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID iid) override;

    // IKorvane, in vtable order
    STDMETHOD(get_SupportCrc)(VARIANT* pVal) override;
    STDMETHOD(get_SupportMd5)(VARIANT* pVal) override;
    STDMETHOD(get_Md5Percent)(LONG* pVal) override;
    STDMETHOD(get_ErrorCode)(UINT* pVal) override;
    STDMETHOD(get_FileLength)(BSTR* pVal) override;
    STDMETHOD(get_MD5)(BSTR* pVal) override;
    STDMETHOD(get_CRC)(BSTR* pVal) override;
    STDMETHOD(put_Object)(IDispatchEx* newVal) override;
    STDMETHOD(put_LocalFile)(BSTR newVal) override;
    STDMETHOD(put_RemoteFolder)(BSTR newVal) override;
    STDMETHOD(put_RemoteFile)(BSTR newVal) override;
    STDMETHOD(put_UserName)(BSTR newVal) override;
    STDMETHOD(put_UserPass)(BSTR newVal) override;
    STDMETHOD(put_FileID)(ULONG newVal) override;
    STDMETHOD(put_IP)(BSTR newVal) override;
    STDMETHOD(put_Port)(ULONG newVal) override;
    STDMETHOD(put_Passive)(LONG newVal) override;
    STDMETHOD(put_OnPost)(IDispatchEx* newVal) override;
    STDMETHOD(put_OnStateChanged)(IDispatchEx* newVal) override;
    STDMETHOD(put_AutoCreateFolder)(VARIANT_BOOL newVal) override;
    STDMETHOD(put_CrypType)(BSTR newVal) override;
    STDMETHOD(put_Encryption)(VARIANT_BOOL newVal) override;
    STDMETHOD(put_Debug)(VARIANT_BOOL newVal) override;
    STDMETHOD(put_LogFile)(BSTR newVal) override;
    STDMETHOD(get_LogData)(BSTR* pVal) override;
    STDMETHOD(FireOnPost)(BSTR postedLength, BSTR speed, BSTR percent, BSTR time) override;
    STDMETHOD(FireStateChanged)() override;
    STDMETHOD(Post)() override;
    STDMETHOD(Stop)() override;
    STDMETHOD(FileCheck)() override;

    // KorvaneEvent (upload worker)
    void postComplete(int taskId) override;
    void postError(int taskId, int errorCode) override;
    void postProcess(int taskId, int64_t posted, CString speed) override;
    void postConnect(int taskId) override;
    // Md5CheckerEvent (MD5 worker)
    void md5Process(int percent) override;
    void md5Complete() override;
    void md5Error() override;
    // Crc32Event (CRC-32 worker)
    void crcError() override;
    void crcComplete() override;
    void crcProcess(int percent) override;

private:
    // A text for the page, at its full length.
    static CComBSTR ToBstr(const CString& text);
    // What keeps the object and its timer: running workers of each kind, and a start that waits.
    enum WorkKind : int { UploadWork, Md5Work, CrcWork, PendingWork };
    struct RaiseRequest;
    // What a start takes from the page's settings, copied at the page's call.
    struct StartSettings {
        CString localFile;
        CString remoteFolder;
        CString remoteFile;
        CString ip;
        CString userName;
        CString userPass;
        ULONG fileId = 0;
        unsigned short port = 21;
        int64_t fileSize = 0;
    };

    StartSettings CurrentSettings() const;
    bool Validate(const StartSettings& settings);
    void StartUpload(const StartSettings& settings);
    void StartMd5Check(const StartSettings& settings);
    void StartCrcCheck(const StartSettings& settings);
    // A worker that could not be started (or whose start failed part-way) ends its job at once with the
    // job's error report.
    void UploadNotStarted(ULONG fileId);
    void CheckNotStarted(UINT code);
    // Page's thread: a start that waits, with its settings, and the starts that waited for a run's work to
    // end, once it has.
    void DeferStart(std::optional<StartSettings>& pending, StartSettings settings);
    template <class MayStart, class Start>
    void StartNowOrLater(std::optional<StartSettings>& pending, MayStart mayStart, Start start);
    // Drops the waiting starts' hold on the object once none waits; it may end the object.
    void ReleasePendingWork();
    // Page's thread: a start of that kind may begin now; a run of its kind that is still ending, or a report
    // of its kind under way while the page is inside a callback, keeps it waiting (the engine object's start
    // could wait for a worker that waits for the page).
    bool UploadMayStart();
    bool Md5MayStart();
    bool CrcMayStart() const;
    void RunPendingStarts();
    // Counts a worker's report while it may call the page.
    class ReportScope {
    public:
        explicit ReportScope(std::atomic<int>& count) : count_(count) { ++count_; }
        ~ReportScope() { --count_; }
        ReportScope(const ReportScope&) = delete;
        ReportScope& operator=(const ReportScope&) = delete;

    private:
        std::atomic<int>& count_;
    };
    // Page's thread: counts the calls into the page that are under way.
    class CallbackScope {
    public:
        explicit CallbackScope(int& depth) : depth_(depth) { ++depth_; }
        ~CallbackScope() { --depth_; }
        CallbackScope(const CallbackScope&) = delete;
        CallbackScope& operator=(const CallbackScope&) = delete;

    private:
        int& depth_;
    };
    // Set while a start runs (its validation may call the page, which may ask for another start).
    class StartingScope {
    public:
        explicit StartingScope(bool& flag) : flag_(flag), outer_(flag) { flag_ = true; }
        ~StartingScope() { flag_ = outer_; }
        StartingScope(const StartingScope&) = delete;
        StartingScope& operator=(const StartingScope&) = delete;

    private:
        bool& flag_;
        bool outer_;
    };

    // Worker side of a report: raise the event on the page's thread, then call FireStateChanged through the
    // table (upload reports call it only while OnStateChanged is set).
    void UploadStateReport(const wchar_t* caption, RaiseRequest request);
    void CheckStateReport(WorkKind kind, const wchar_t* caption);
    void RaiseOnPageThread(RaiseRequest& request);
    // The page's thread raises the request's event (RaiseRequest::Run).
    void RaiseEvent(const RaiseRequest& request);
    // The object's own IKorvane out of the Global Interface Table, a proxy for the calling thread; null after
    // the message box that says the fetch failed.
    CComPtr<IKorvane> FetchFromGlobalTable(const wchar_t* caption);

    // PageThreadDelivery::Client, on the page's thread.
    void OnWorkDone(int kind) override;
    void OnPoll() override;
    // Page's thread: ends the work of runs that ended without a final report.
    void CheckUploadSettled();
    void CheckStoppedMd5();

    // The page's script values and settings.
    ScriptValue onPost_;
    ScriptValue object_;
    ScriptValue onStateChanged_;
    CString remoteFolder_;
    CString remoteFile_;
    CString localFile_;
    CString ip_;
    CString userName_{L"anonymous"};
    CString userPass_;
    CString crypType_{L"MD5"};
    std::string keyText_{"7D2A9C41-3B6E-4a5d-9E07-C15F28D64B93"};
    ULONG fileId_ = 0;
    unsigned short port_ = 21;
    // Written by workers' reports and read on the page's thread, each whole.
    std::atomic<LONG> state_{StateReset};
    std::atomic<UINT> errorCode_{0};
    std::atomic<LONG> md5Percent_{0};
    bool debug_ = false;
    LONG passive_ = 0;
    const LONG supportMd5_ = 1;
    const LONG supportCrc_ = 1;
    LONG encryption_ = 0;
    bool autoCreateFolder_ = false;
    int64_t fileSize_ = 0;
    int64_t maxFileSize_;

    // The page's thread's window, the running work and the Global Interface Table entry. It goes after the
    // engine objects: a worker of a stopped run that is still ending finds it abandoned.
    PageThreadDelivery delivery_;
    // Page's thread: a Post, an MD5 check and a CRC-32 check that wait for a run's work to end.
    std::optional<StartSettings> pendingUpload_;
    std::optional<StartSettings> pendingMd5_;
    std::optional<StartSettings> pendingCrc_;
    // The waiting starts hold one PendingWork.
    bool pendingHeld_ = false;
    bool starting_ = false;
    int pageCallbacks_ = 0;
    // Workers' reports of each kind that may be calling the page right now.
    std::atomic<int> reportsUnderWay_[3] = {};
    // From a start until its run's outcome is written (or a stop ended it): a second start is refused.
    std::atomic<bool> uploadActive_{false};
    std::atomic<bool> md5Active_{false};
    std::atomic<bool> crcActive_{false};
    // The upload was asked to stop: its progress reports no longer reach the page.
    std::atomic<bool> uploadStopRequested_{false};
    // The upload started last has not been seen settled by the page's thread yet.
    bool uploadUnsettled_ = false;
    StoppableRunGate md5Gate_;
    // Set when destruction begins: a report that still comes in is dropped.
    std::atomic<bool> closing_{false};

    // The engine objects, declared last so that they go first: each waits for its worker. The poster is
    // held through a pointer only so that this header does not bring in the socket headers; it lives exactly
    // as long as the object.
    std::unique_ptr<FtpFilePoster> poster_;
    Md5Checker md5Checker_;
    Crc32 crcChecker_;
};
