// The upload object's creation, identity and properties: what a page reads and sets between its calls.
#include <winsock2.h>

#include "com/Korvane.h"

#include <new>

#include "Biz/Log.h"
#include "classlib/ComResult.h"
#include "com/Credential.h"
#include "com/DovrinModule.h"
#include "com/KorvaneIdentity.h"
#include "engine/FtpFilePoster.h"
#include "support/FileInfo.h"
#include "support/SizeText.h"

CComBSTR CKorvane::ToBstr(const CString& text) {
    return CComBSTR(text.GetString(), static_cast<UINT>(text.GetLength()));
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
    const RegistryReplacement replacements[] = {KORVANE_CLASS_REPLACEMENTS(Korvane), {nullptr, nullptr}};
    return CAtlModule::Get()->UpdateRegistryFromResource(IDR_KORVANE, registering, replacements);
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

// ---- getters. Out-values are written, never cleared first: a caller need not initialise them; a null
// out-pointer is E_POINTER.

namespace {

template <class T, class V>
HRESULT WriteOut(T* out, const V& value) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
}

HRESULT WriteNumber(VARIANT* out, LONG value) {
    if (!out) return E_POINTER;
    VariantInit(out);
    out->vt = VT_I4;
    out->lVal = value;
    return S_OK;
}

// The text is made inside the guard: making it may fail for want of memory.
template <class MakeText>
HRESULT WriteText(BSTR* out, MakeText makeText) {
    return Guarded([&] {
        if (!out) return E_POINTER;
        *out = makeText().Detach();
        return S_OK;
    });
}

// A page's text, taken up to its first NUL (a null BSTR is the empty text); copying it may fail for want of
// memory.
HRESULT ReadText(CString& field, BSTR value) {
    return Guarded([&] {
        field = CString(value);
        return S_OK;
    });
}

}  // namespace

STDMETHODIMP CKorvane::get_SupportCrc(VARIANT* pVal) { return WriteNumber(pVal, supportCrc_); }

STDMETHODIMP CKorvane::get_SupportMd5(VARIANT* pVal) { return WriteNumber(pVal, supportMd5_); }

STDMETHODIMP CKorvane::get_Md5Percent(LONG* pVal) { return WriteOut(pVal, md5Percent_); }

STDMETHODIMP CKorvane::get_ErrorCode(UINT* pVal) { return WriteOut(pVal, errorCode_); }

STDMETHODIMP CKorvane::get_FileLength(BSTR* pVal) {
    return WriteText(pVal, [&] {
        CString text;
        text.Format(L"%I64d", static_cast<long long>(fileSize_));
        return ToBstr(text);
    });
}

STDMETHODIMP CKorvane::get_MD5(BSTR* pVal) {
    return WriteText(pVal, [&] { return ToBstr(md5Checker_.GetResult()); });
}

STDMETHODIMP CKorvane::get_CRC(BSTR* pVal) {
    return WriteText(pVal, [&] { return ToBstr(crcChecker_.GetResult()); });
}

STDMETHODIMP CKorvane::get_LogData(BSTR* pVal) {
    return WriteText(pVal, [] { return CComBSTR(L""); });
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

STDMETHODIMP CKorvane::put_RemoteFolder(BSTR newVal) { return ReadText(remoteFolder_, newVal); }

STDMETHODIMP CKorvane::put_RemoteFile(BSTR newVal) { return ReadText(remoteFile_, newVal); }

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

STDMETHODIMP CKorvane::put_IP(BSTR newVal) { return ReadText(ip_, newVal); }

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

STDMETHODIMP CKorvane::put_CrypType(BSTR newVal) { return ReadText(crypType_, newVal); }

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
