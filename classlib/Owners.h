// Every owner of what the system takes and must give back, in one place: one generic unique owner with a
// kind per resource (a handle, a file or search handle, a socket, a mapped view, a registry key, a Winsock
// start-up, an apartment, a drag-and-drop registration, a window timer), the few that need more (a counted
// interface reference, a BSTR, a VARIANT, a SAFEARRAY and its data, a storage medium, a global memory lock,
// a painting device context), the two locks and the one scoped hold of either. No code of ours outside this
// header pairs an acquire with its release by hand where an owner can do it.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <ole2.h>
#include <oleauto.h>
#include <unknwn.h>

#include "classlib/ComResult.h"

#include <memory>
#include <utility>

// ---- the generic unique owner

// Owns one resource of a kind. Kind gives the Handle type, the Empty() value that stands for no resource
// and Close(handle), which gives one back. Move-only; the resource is closed when the owner goes or is
// reset, never twice.
template <class Kind>
class UniqueOwner {
public:
    using Handle = typename Kind::Handle;

    UniqueOwner() = default;
    explicit UniqueOwner(Handle handle) : handle_(handle) {}
    UniqueOwner(UniqueOwner&& other) noexcept : handle_(other.Detach()) {}
    UniqueOwner& operator=(UniqueOwner&& other) noexcept {
        if (this != std::addressof(other)) Reset(other.Detach());
        return *this;
    }
    UniqueOwner(const UniqueOwner&) = delete;
    UniqueOwner& operator=(const UniqueOwner&) = delete;
    ~UniqueOwner() { Reset(); }

    Handle Get() const { return handle_; }
    explicit operator bool() const { return !(handle_ == Kind::Empty()); }
    // Hands the resource out without closing it; the owner is empty afterwards.
    Handle Detach() { return std::exchange(handle_, Kind::Empty()); }
    // Closes what it holds, if anything, and takes handle instead.
    void Reset(Handle handle = Kind::Empty()) {
        const Handle old = std::exchange(handle_, handle);
        if (!(old == Kind::Empty())) Kind::Close(old);
    }
    // For out-parameters: closes what it holds and lets the callee write the new handle.
    Handle* Receive() {
        Reset();
        return &handle_;
    }

private:
    Handle handle_ = Kind::Empty();
};

// A kind whose empty value is the handle type's zero (a null pointer, 0 or false).
template <class H, auto CloseFunction>
struct ZeroEmptyKind {
    using Handle = H;
    static constexpr H Empty() { return H{}; }
    static void Close(H handle) { CloseFunction(handle); }
};

namespace owner_kinds {
inline void CloseHandleOf(HANDLE handle) { CloseHandle(handle); }
inline void UnmapView(const void* base) { UnmapViewOfFile(base); }
inline void CloseKey(HKEY key) { RegCloseKey(key); }
inline void RevokeDropTarget(HWND window) { RevokeDragDrop(window); }
// In Owners.cpp, the one unit of the class library that includes the socket headers (they must come before
// <windows.h>, which every other unit includes first).
void CloseSocket(UINT_PTR socket);
void EndWinsock(bool started);
inline void LeaveApartment(bool) { CoUninitialize(); }

// Handles whose "none" is INVALID_HANDLE_VALUE: those of CreateFile and FindFirstFile.
struct File {
    using Handle = HANDLE;
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
struct Find {
    using Handle = HANDLE;
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { FindClose(handle); }
};
// SOCKET is a UINT_PTR; INVALID_SOCKET is its all-ones value.
struct Socket {
    using Handle = UINT_PTR;
    static constexpr UINT_PTR Empty() { return ~static_cast<UINT_PTR>(0); }
    static void Close(UINT_PTR socket) { CloseSocket(socket); }
};
}  // namespace owner_kinds

// One timer of a window: SetTimer's window and identifier.
struct WindowTimer {
    HWND window = nullptr;
    UINT_PTR id = 0;
    bool operator==(const WindowTimer& other) const { return window == other.window && id == other.id; }
};
namespace owner_kinds {
struct Timer {
    using Handle = WindowTimer;
    static constexpr WindowTimer Empty() { return WindowTimer{}; }
    static void Close(WindowTimer timer) { KillTimer(timer.window, timer.id); }
};
}  // namespace owner_kinds

// A kernel handle whose "none" is null: a thread, an event, a file mapping.
using UniqueHandle = UniqueOwner<ZeroEmptyKind<HANDLE, &owner_kinds::CloseHandleOf>>;
// A handle from CreateFile.
using UniqueFileHandle = UniqueOwner<owner_kinds::File>;
// A search of FindFirstFile.
using UniqueFindHandle = UniqueOwner<owner_kinds::Find>;
using UniqueSocket = UniqueOwner<owner_kinds::Socket>;
// A view of MapViewOfFile (its base address).
using UniqueMappedView = UniqueOwner<ZeroEmptyKind<const void*, &owner_kinds::UnmapView>>;
using UniqueRegistryKey = UniqueOwner<ZeroEmptyKind<HKEY, &owner_kinds::CloseKey>>;
// A window registered as a drop target (RegisterDragDrop).
using UniqueDropTargetRegistration = UniqueOwner<ZeroEmptyKind<HWND, &owner_kinds::RevokeDropTarget>>;
using UniqueWindowTimer = UniqueOwner<owner_kinds::Timer>;
// True for a WSAStartup that succeeded: each is matched by one WSACleanup.
using UniqueWinsockStartup = UniqueOwner<ZeroEmptyKind<bool, &owner_kinds::EndWinsock>>;
// True for a CoInitializeEx that succeeded (S_OK or S_FALSE): each is matched by one CoUninitialize.
using UniqueApartment = UniqueOwner<ZeroEmptyKind<bool, &owner_kinds::LeaveApartment>>;

// ---- owners that need more than a close function

// Drops the reference a raw pointer holds and clears the pointer first: for a reference kept where an owner
// cannot live (a constant-initialised static, an entry of a plain table).
template <class T>
void ReleaseAndClear(T*& pointer) {
    if (T* old = std::exchange(pointer, nullptr)) old->Release();
}

// A counted reference to an interface: assignment takes a new reference before it drops the old one.
template <class T>
class CComPtr {
public:
    CComPtr() = default;
    CComPtr(T* p) : p_(p) {
        if (p_) p_->AddRef();
    }
    CComPtr(const CComPtr& other) : CComPtr(other.p_) {}
    CComPtr(CComPtr&& other) noexcept : p_(other.Detach()) {}
    ~CComPtr() { Release(); }

    CComPtr& operator=(T* p) {
        if (p) p->AddRef();
        T* old = p_;
        p_ = p;
        if (old) old->Release();
        return *this;
    }
    CComPtr& operator=(const CComPtr& other) { return *this = other.p_; }
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != std::addressof(other)) Attach(other.Detach());
        return *this;
    }

    operator T*() const { return p_; }
    T* operator->() const { return p_; }
    T* Get() const { return p_; }
    // For out-parameters: the owner must be empty, since the callee overwrites the pointer.
    T** operator&() { return &p_; }
    void** ReceiveVoid() { return reinterpret_cast<void**>(&p_); }

    // Takes over a reference the caller already holds.
    void Attach(T* p) {
        T* old = p_;
        p_ = p;
        if (old) old->Release();
    }
    T* Detach() { return std::exchange(p_, nullptr); }
    void Release() {
        if (T* old = std::exchange(p_, nullptr)) old->Release();
    }
    // Hands out a new reference.
    HRESULT CopyTo(T** out) const {
        if (!out) return E_POINTER;
        *out = p_;
        if (p_) p_->AddRef();
        return S_OK;
    }
    template <class Q>
    HRESULT QueryInterface(REFIID iid, Q** out) const {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!p_) return E_NOINTERFACE;
        return p_->QueryInterface(iid, reinterpret_cast<void**>(out));
    }

private:
    T* p_ = nullptr;
};

// A BSTR this code owns. Null stands for the empty text, as automation allows.
class CComBSTR {
public:
    CComBSTR() = default;
    explicit CComBSTR(const wchar_t* text) : text_(text ? SysAllocString(text) : nullptr) {}
    CComBSTR(const wchar_t* text, UINT length) : text_(SysAllocStringLen(text, length)) {}
    CComBSTR(const CComBSTR& other) : text_(other.Copy()) {}
    CComBSTR(CComBSTR&& other) noexcept : text_(other.Detach()) {}
    ~CComBSTR() { Empty(); }
    CComBSTR& operator=(const CComBSTR& other) {
        if (this != std::addressof(other)) Attach(other.Copy());
        return *this;
    }
    CComBSTR& operator=(CComBSTR&& other) noexcept {
        if (this != std::addressof(other)) Attach(other.Detach());
        return *this;
    }

    operator BSTR() const { return text_; }
    BSTR* operator&() { return &text_; }
    UINT Length() const { return SysStringLen(text_); }
    // A new BSTR with the same text, for an out-parameter; null when this one is null.
    BSTR Copy() const { return text_ ? SysAllocStringLen(text_, SysStringLen(text_)) : nullptr; }
    void Attach(BSTR text) {
        BSTR old = text_;
        text_ = text;
        if (old) SysFreeString(old);
    }
    BSTR Detach() { return std::exchange(text_, nullptr); }
    void Empty() {
        if (BSTR old = std::exchange(text_, nullptr)) SysFreeString(old);
    }

private:
    BSTR text_ = nullptr;
};

// A VARIANT that clears itself.
class CComVariant : public VARIANT {
public:
    CComVariant() { VariantInit(this); }
    CComVariant(const CComVariant&) = delete;
    CComVariant& operator=(const CComVariant&) = delete;
    ~CComVariant() { VariantClear(this); }
    HRESULT Clear() { return VariantClear(this); }
};
// An array of them is an array of VARIANTs, as DISPPARAMS takes it.
static_assert(sizeof(CComVariant) == sizeof(VARIANT), "a CComVariant adds nothing to its VARIANT");

// A SAFEARRAY this code owns: destroyed (with what its elements hold) when the owner goes, unless handed
// out with Detach.
class CComSafeArray {
public:
    CComSafeArray() = default;
    explicit CComSafeArray(SAFEARRAY* array) : array_(array) {}
    CComSafeArray(const CComSafeArray&) = delete;
    CComSafeArray& operator=(const CComSafeArray&) = delete;
    ~CComSafeArray() {
        if (array_) SafeArrayDestroy(array_);
    }

    SAFEARRAY* Get() const { return array_; }
    SAFEARRAY* Detach() { return std::exchange(array_, nullptr); }

private:
    SAFEARRAY* array_ = nullptr;
};

// The data of a SAFEARRAY, accessed (and so locked) for one scope.
template <class Element>
class CComSafeArrayData {
public:
    explicit CComSafeArrayData(SAFEARRAY* array) : array_(array) {
        void* data = nullptr;
        result_ = array_ ? SafeArrayAccessData(array_, &data) : E_INVALIDARG;
        if (SUCCEEDED(result_)) data_ = static_cast<Element*>(data);
    }
    CComSafeArrayData(const CComSafeArrayData&) = delete;
    CComSafeArrayData& operator=(const CComSafeArrayData&) = delete;
    ~CComSafeArrayData() {
        if (data_) SafeArrayUnaccessData(array_);
    }

    HRESULT Result() const { return result_; }
    Element* Get() const { return data_; }

private:
    SAFEARRAY* array_;
    Element* data_ = nullptr;
    HRESULT result_;
};

// A SAFEARRAY of VARIANT, one dimension, lower bound 0, kept locked (so its data stays put) from creation
// until it goes.
class CLockedVariantArray {
public:
    CLockedVariantArray() = default;
    ~CLockedVariantArray() { Destroy(); }
    CLockedVariantArray(const CLockedVariantArray&) = delete;
    CLockedVariantArray& operator=(const CLockedVariantArray&) = delete;

    // Replaces what it holds by a new empty array.
    HRESULT Create() {
        Destroy();
        SAFEARRAYBOUND bound{0, 0};
        SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 1, &bound);
        if (!array) return E_OUTOFMEMORY;
        const HRESULT hr = SafeArrayLock(array);
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
        array_ = array;
        return S_OK;
    }
    void Destroy() {
        if (SAFEARRAY* array = std::exchange(array_, nullptr)) {
            SafeArrayUnlock(array);
            SafeArrayDestroy(array);
        }
    }
    // Appends a copy of value as the new last element; creates the array first when there is none. On
    // failure the array holds what it held before.
    HRESULT Append(const VARIANT& value) {
        if (!array_) {
            const HRESULT hr = Create();
            if (FAILED(hr)) return hr;
        }
        const ULONG count = Count();
        HRESULT hr = Resize(count + 1);
        if (FAILED(hr)) return hr;
        VARIANT* last = static_cast<VARIANT*>(array_->pvData) + count;
        VariantInit(last);
        hr = VariantCopy(last, const_cast<VARIANT*>(&value));
        if (FAILED(hr)) Resize(count);
        return hr;
    }
    ULONG Count() const { return array_ ? array_->rgsabound[0].cElements : 0; }
    SAFEARRAY* Get() const { return array_; }
    explicit operator bool() const { return array_ != nullptr; }

private:
    // The array must be unlocked to change its size; it is locked again on every path.
    HRESULT Resize(ULONG count) {
        SafeArrayUnlock(array_);
        SAFEARRAYBOUND bound{count, 0};
        const HRESULT hr = SafeArrayRedim(array_, &bound);
        SafeArrayLock(array_);
        return hr;
    }

    SAFEARRAY* array_ = nullptr;
};

// A storage medium filled by IDataObject::GetData, released when it goes.
class CStgMedium : public STGMEDIUM {
public:
    CStgMedium() : STGMEDIUM{} {}
    ~CStgMedium() {
        if (tymed != TYMED_NULL) ReleaseStgMedium(this);
    }
    CStgMedium(const CStgMedium&) = delete;
    CStgMedium& operator=(const CStgMedium&) = delete;
};

// Holds a global memory block's lock for one scope.
class CGlobalLock {
public:
    explicit CGlobalLock(HGLOBAL memory) : memory_(memory), data_(memory ? GlobalLock(memory) : nullptr) {}
    ~CGlobalLock() {
        if (data_) GlobalUnlock(memory_);
    }
    CGlobalLock(const CGlobalLock&) = delete;
    CGlobalLock& operator=(const CGlobalLock&) = delete;
    void* Data() const { return data_; }

private:
    HGLOBAL memory_;
    void* data_;
};

// The device context of one WM_PAINT.
class CPaintDC {
public:
    explicit CPaintDC(HWND window) : window_(window), dc_(BeginPaint(window, &paint_)) {}
    ~CPaintDC() { EndPaint(window_, &paint_); }
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    HDC Get() const { return dc_; }

private:
    HWND window_;
    PAINTSTRUCT paint_{};
    HDC dc_;
};

// ---- locks and the one scoped hold

// A slim reader/writer lock, taken exclusively; usable as a static (constant initialisation).
class SlimLock {
public:
    constexpr SlimLock() = default;
    SlimLock(const SlimLock&) = delete;
    SlimLock& operator=(const SlimLock&) = delete;
    void Lock() { AcquireSRWLockExclusive(&lock_); }
    void Unlock() { ReleaseSRWLockExclusive(&lock_); }
    // For a condition variable's sleep, which gives the lock up while it waits.
    SRWLOCK* Native() { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// A critical section that lives exactly as long as its owner.
class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&section_); }
    virtual ~CriticalSection() { DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Lock() { EnterCriticalSection(&section_); }
    void Unlock() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// A critical section whose initialisation can fail and say so, as the module's must.
class CComCriticalSection {
public:
    CComCriticalSection() = default;
    CComCriticalSection(const CComCriticalSection&) = delete;
    CComCriticalSection& operator=(const CComCriticalSection&) = delete;

    HRESULT Init() {
        if (!InitializeCriticalSectionAndSpinCount(&section_, 0)) return HRESULT_FROM_WIN32(GetLastError());
        initialised_ = true;
        return S_OK;
    }
    void Term() {
        if (initialised_) DeleteCriticalSection(&section_);
        initialised_ = false;
    }
    void Lock() { EnterCriticalSection(&section_); }
    void Unlock() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_{};
    bool initialised_ = false;
};

// Holds a lock (anything with Lock and Unlock) for one scope.
template <class Lockable>
class ScopedLock {
public:
    explicit ScopedLock(Lockable& lock) : lock_(lock) { lock_.Lock(); }
    ~ScopedLock() { lock_.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Lockable& lock_;
};
