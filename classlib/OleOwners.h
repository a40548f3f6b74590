// Owners of what the OLE control code takes and must give back: a one-dimensional VARIANT SAFEARRAY held
// locked while it lives, a storage medium (ReleaseStgMedium), a hold of a global memory block's lock and a
// painting device context (BeginPaint/EndPaint).
#pragma once

#include <windows.h>

#include <objidl.h>
#include <oleauto.h>

#include <utility>

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
