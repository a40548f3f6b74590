// Owners of the COM resources the server code handles: a counted interface reference, a BSTR, a VARIANT
// and a critical section with its hold. Each releases what it owns when it goes, so no code of ours pairs
// AddRef/Release, SysAllocString/SysFreeString or Enter/Leave by hand.
#pragma once

#include <windows.h>

#include <oleauto.h>
#include <unknwn.h>

#include <memory>
#include <utility>

#include "classlib/ComResult.h"

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

// Holds a critical section for one scope.
template <class Section>
class CComCritSecLock {
public:
    explicit CComCritSecLock(Section& section) : section_(section) { section_.Lock(); }
    ~CComCritSecLock() { section_.Unlock(); }
    CComCritSecLock(const CComCritSecLock&) = delete;
    CComCritSecLock& operator=(const CComCritSecLock&) = delete;

private:
    Section& section_;
};
