#include "KorvaneTestSupport.h"

#include <ocidl.h>
#include <tlhelp32.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <memory>

#include "common/MessagePump.h"

namespace korvanetest {

namespace {
std::atomic<int> sequenceCounter{0};

Argument ToArgument(const VARIANT& value) {
    Argument a;
    a.type = value.vt;
    switch (value.vt) {
        case VT_BSTR:
            a.text =
                value.bstrVal ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal)) : std::wstring();
            break;
        case VT_DISPATCH:
            a.pointer = value.pdispVal;
            break;
        case VT_UI4:
            a.number = value.ulVal;
            break;
        case VT_UINT:
            a.number = value.uintVal;
            break;
        case VT_I4:
            a.number = value.lVal;
            break;
        default:
            break;
    }
    return a;
}

Call RecordCall(DISPID id, LCID lcid, WORD flags, DISPPARAMS* params) {
    Call call;
    call.sequence = NextSequence();
    call.dispid = id;
    call.lcid = lcid;
    call.flags = flags;
    call.thread = GetCurrentThreadId();
    call.tick = GetTickCount();
    if (params)
        for (UINT i = params->cArgs; i > 0; --i) call.arguments.push_back(ToArgument(params->rgvarg[i - 1]));
    return call;
}
}  // namespace

int NextSequence() { return ++sequenceCounter; }

// ---- CountedDispatch

HRESULT STDMETHODCALLTYPE CountedDispatch::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (InlineIsEqualGUID(iid, IID_IUnknown) || InlineIsEqualGUID(iid, IID_IDispatch) ||
        InlineIsEqualGUID(iid, IID_IDispatchEx) || Answers(iid)) {
        *out = static_cast<IDispatchEx*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CountedDispatch::Release() {
    const LONG n = InterlockedDecrement(&references_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

HRESULT STDMETHODCALLTYPE CountedDispatch::GetTypeInfoCount(UINT* count) {
    if (count) *count = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CountedDispatch::Invoke(DISPID id, REFIID, LCID lcid, WORD flags,
                                                  DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*) {
    if (result) VariantInit(result);
    return OnCall(false, id, lcid, flags, params);
}

HRESULT STDMETHODCALLTYPE CountedDispatch::InvokeEx(DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
                                                    VARIANT* result, EXCEPINFO*, IServiceProvider*) {
    if (result) VariantInit(result);
    return OnCall(true, id, lcid, flags, params);
}

HRESULT FunctionRecorder::OnCall(bool invokeEx, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params) {
    EXPECT_TRUE(invokeEx) << "a script function was called through IDispatch::Invoke, not InvokeEx";
    calls.push_back(RecordCall(id, lcid, flags, params));
    if (onCall) onCall(calls.back());
    return S_OK;
}

HRESULT EventRecorder::OnCall(bool invokeEx, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params) {
    EXPECT_FALSE(invokeEx) << "an event was raised through InvokeEx";
    const bool known = id == kPostComplete || id == kPostError || id == kPostProcess ||
                       id == kPostConnected || id == kPostStateChanged;
    EXPECT_TRUE(known) << "event with DISPID " << id << ", which _IKorvaneEvents does not have";
    events.push_back(RecordCall(id, lcid, flags, params));
    if (onEvent) onEvent(events.back());
    return S_OK;
}

std::vector<Call> EventRecorder::Named(DISPID id) const {
    std::vector<Call> found;
    for (const Call& e : events)
        if (e.dispid == id) found.push_back(e);
    return found;
}

// ---- Advise

Advise::Advise(IUnknown* object, IUnknown* sink) {
    CComPtr<IConnectionPointContainer> container;
    result_ = object->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid());
    if (FAILED(result_)) return;
    result_ = container->FindConnectionPoint(DIID__IKorvaneEvents, &point_);
    if (FAILED(result_)) return;
    result_ = point_->Advise(sink, &cookie_);
}

Advise::~Advise() {
    if (point_ && cookie_) point_->Unadvise(cookie_);
}

// ---- MessageBoxRecorder

MessageBoxRecorder::MessageBoxRecorder() : testcommon::MessageBoxRecorder(LoadServerModule()) {}

// ---- PageThreadTest

void PageThreadTest::SetUp() {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    pageThread_ = GetCurrentThreadId();
}

void PageThreadTest::TearDown() {
    // Whatever a test left running ends before the apartment does.
    Pump(50);
    CoUninitialize();
    folder_.reset();
}

CComPtr<IKorvane> PageThreadTest::CreateKorvane() {
    CComPtr<IKorvane> korvane;
    const HRESULT hr =
        CoCreateInstance(CLSID_Korvane, nullptr, CLSCTX_INPROC_SERVER, IID_IKorvane, korvane.ReceiveVoid());
    EXPECT_EQ(hr, S_OK) << "CoCreateInstance(CLSID_Korvane)";
    return korvane;
}

void PageThreadTest::Pump(DWORD milliseconds) { testcommon::PumpMessages(milliseconds); }

bool PageThreadTest::PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    return testcommon::PumpMessagesUntil(done, timeoutMs);
}

bool PageThreadTest::WaitUntilServerCanUnload(DWORD timeoutMs) {
    return PumpUntil([] { return ServerCanUnloadNow() == S_OK; }, timeoutMs);
}

HMODULE ServerModule() { return GetModuleHandleW(KORVANE_TEST_DLL_NAME); }

HMODULE LoadServerModule() {
    // The DLL is loaded by the first object; load it the same way if no object was made yet.
    if (!ServerModule()) {
        CComPtr<IUnknown> object;
        CoCreateInstance(CLSID_Korvane, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.ReceiveVoid());
    }
    return ServerModule();
}

HRESULT ServerCanUnloadNow() {
    HMODULE module = ServerModule();
    if (!module) return E_UNEXPECTED;
    auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    return canUnload ? canUnload() : E_UNEXPECTED;
}

std::wstring PageThreadTest::TestFolder() {
    // Under Z:\tmp, so the FTP lab finds the files by their Unix paths.
    if (!folder_) folder_.reset(new testfiles::TempFolder(L"Z:\\tmp\\korvane-object-tests"));
    return folder_->Path();
}

std::wstring PageThreadTest::MakeFile(const std::wstring& name, int64_t size) {
    const std::wstring path = TestFolder() + L"\\" + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << "cannot create " << Utf8(path);
    std::vector<char> block(1 << 20);
    int64_t written = 0;
    while (written < size) {
        const DWORD n =
            static_cast<DWORD>(std::min<int64_t>(static_cast<int64_t>(block.size()), size - written));
        // A pattern that differs per block, so a misplaced block changes the digest.
        for (DWORD i = 0; i < n; ++i) block[i] = static_cast<char>((written + i) * 131 + (written >> 20));
        DWORD done = 0;
        WriteFile(file, block.data(), n, &done, nullptr);
        written += done;
        if (done == 0) break;
    }
    CloseHandle(file);
    return path;
}

std::wstring PageThreadTest::MakeSparseFile(const std::wstring& name, int64_t size) {
    const std::wstring path = TestFolder() + L"\\" + name;
    EXPECT_TRUE(testfiles::MakeSparseFile(path, size)) << "cannot create " << Utf8(path);
    return path;
}

std::string PageThreadTest::UnixPath(const std::wstring& windowsPath) {
    std::wstring path = windowsPath;
    if (path.size() >= 2 && (path[0] == L'Z' || path[0] == L'z') && path[1] == L':') path.erase(0, 2);
    for (wchar_t& c : path)
        if (c == L'\\') c = L'/';
    return Utf8(path);
}

// ---- helpers

void ExpectOnThread(const std::vector<Call>& calls, DWORD thread, const char* what) {
    for (const Call& c : calls)
        EXPECT_EQ(c.thread, thread) << what << " #" << c.sequence << " (DISPID " << c.dispid
                                    << ") arrived on another thread than the page's";
}

std::wstring FileMd5(const std::wstring& path) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    std::wstring hex;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return hex;
    if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
        HANDLE file =
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        std::vector<BYTE> block(1 << 20);
        DWORD got = 0;
        while (file != INVALID_HANDLE_VALUE &&
               ReadFile(file, block.data(), static_cast<DWORD>(block.size()), &got, nullptr) && got > 0)
            CryptHashData(hash, block.data(), got, 0);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        BYTE digest[16];
        DWORD length = sizeof digest;
        if (CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0)) {
            wchar_t two[3];
            for (DWORD i = 0; i < length; ++i) {
                swprintf(two, 3, L"%02x", digest[i]);
                hex += two;
            }
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return hex;
}

std::wstring FileCrc32(const std::wstring& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    uint32_t crc = 0xFFFFFFFFu;
    std::vector<BYTE> block(1 << 20);
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE &&
           ReadFile(file, block.data(), static_cast<DWORD>(block.size()), &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i) {
            crc ^= block[i];
            for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    wchar_t text[16];
    swprintf(text, 16, L"%lu", static_cast<unsigned long>(~crc));
    return text;
}

std::wstring Bstr(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

std::wstring GetText(IKorvane* korvane, HRESULT (STDMETHODCALLTYPE IKorvane::*getter)(BSTR*)) {
    CComBSTR text;
    EXPECT_EQ((korvane->*getter)(&text), S_OK);
    return Bstr(text);
}

UINT GetErrorCode(IKorvane* korvane) {
    UINT code = 0xDEADBEEF;
    EXPECT_EQ(korvane->get_ErrorCode(&code), S_OK);
    return code;
}

LONG GetMd5Percent(IKorvane* korvane) {
    LONG percent = -12345;
    EXPECT_EQ(korvane->get_Md5Percent(&percent), S_OK);
    return percent;
}

std::wstring Narrow(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Utf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                            nullptr);
    return out;
}

HRESULT PutText(IKorvane* korvane, HRESULT (STDMETHODCALLTYPE IKorvane::*setter)(BSTR),
                const std::wstring& text) {
    CComBSTR value(text.data(), static_cast<UINT>(text.size()));
    return (korvane->*setter)(value);
}

LONG ReadState(IKorvane* korvane, FunctionRecorder& onStateChanged) {
    const size_t before = onStateChanged.calls.size();
    EXPECT_EQ(korvane->FireStateChanged(), S_OK);
    if (onStateChanged.calls.size() != before + 1) return -1;
    const Call call = onStateChanged.calls.back();
    onStateChanged.calls.pop_back();
    return call.arguments.size() == 2 ? static_cast<LONG>(call.arguments[1].number) : -1;
}

int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    const DWORD self = GetCurrentProcessId();
    if (Thread32First(snapshot, &entry)) {
        do {
            if (entry.th32OwnerProcessID == self) ++count;
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return count;
}

HRESULT BreakKorvaneMarshalling() {
    const CLSID nowhere = {0x6b0a3a3c, 0x1e59, 0x4c43, {0x9d, 0x61, 0x2f, 0x4e, 0x0b, 0x7d, 0x21, 0x55}};
    return CoRegisterPSClsid(IID_IKorvane, nowhere);
}

}  // namespace korvanetest
