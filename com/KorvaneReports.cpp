// The upload object's reports: a worker's report sets the object's state and has the page's thread raise the
// event, then calls the page's script functions through the object's own interface from the Global Interface
// Table.
#include <winsock2.h>

#include "com/Korvane.h"

#include "classlib/ComResult.h"
#include "com/ApartmentScope.h"
#include "engine/FtpFilePoster.h"
#include "support/Platform.h"

namespace {

const wchar_t kFetchFailedText[] = L"从全局GIT中获取指针失败";

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

// ---- the script functions, on the page's thread

namespace {

// Calls a page's function with arguments (the last element is the first argument); what it returns is
// dropped.
void CallScriptFunction(IDispatchEx* function, VARIANT* arguments, UINT count) {
    DISPPARAMS params = {arguments, nullptr, count, 0};
    CComVariant ignored;
    function->InvokeEx(DISPID_VALUE, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &ignored, nullptr,
                       nullptr);
}

}  // namespace

STDMETHODIMP CKorvane::FireOnPost(BSTR postedLength, BSTR speed, BSTR percent, BSTR time) {
    CallbackScope callback(pageCallbacks_);
    // Held for the call: the function may clear OnPost while it runs.
    CComPtr<IDispatchEx> function(onPost_.Get());
    if (!function) return S_OK;
    // The function gets (Object, speed, postedLength, percent, time): the last element is the first argument.
    VARIANT arguments[5];
    arguments[4].vt = VT_DISPATCH;
    arguments[4].pdispVal = object_.Get();
    const BSTR texts[4] = {time, percent, postedLength, speed};
    for (int i = 0; i < 4; ++i) {
        arguments[i].vt = VT_BSTR;
        arguments[i].bstrVal = texts[i];
    }
    // The texts stay the caller's and Object is not referenced again: the arguments are not cleared.
    CallScriptFunction(function, arguments, 5);
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
    CallScriptFunction(function, arguments, 2);
    return S_OK;
}

void CKorvane::RaiseEvent(const RaiseRequest& request) {
    if (closing_) return;
    CallbackScope callback(pageCallbacks_);
    switch (request.event) {
        case DISPID_KORVANE_POST_COMPLETE:
            Fire_PostComplete(request.taskId);
            break;
        case DISPID_KORVANE_POST_ERROR:
            Fire_PostError(request.taskId, request.errorCode);
            break;
        case DISPID_KORVANE_POST_PROCESS:
            // A report that waited while the page stopped the upload stays unheard.
            if (!uploadStopRequested_)
                Fire_PostProcess(request.taskId, request.speed, request.postedLength, request.percent,
                                 request.time);
            break;
        case DISPID_KORVANE_POST_CONNECTED:
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
        Guarded([&] {
            UploadStateReport(L"postComplete", RaiseRequest(this, DISPID_KORVANE_POST_COMPLETE, taskId));
        });
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
            UploadStateReport(L"postError",
                              RaiseRequest(this, DISPID_KORVANE_POST_ERROR, static_cast<ULONG>(taskId),
                                           static_cast<ULONG>(errorCode)));
        });
    }
    delivery_.WorkDone(UploadWork);
}

void CKorvane::postConnect(int taskId) {
    if (closing_) return;
    state_ = StateConnected;
    Guarded([&] {
        UploadStateReport(L"postConnect", RaiseRequest(this, DISPID_KORVANE_POST_CONNECTED, taskId));
    });
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
        RaiseRequest request(this, DISPID_KORVANE_POST_PROCESS, static_cast<ULONG>(taskId), 0, speedText,
                             postedLength, percent, time);
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
