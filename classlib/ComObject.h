// COM objects of the server: the object root with its reference count and interface table, the plain and
// the aggregated object, the creator, the co-class and the standard class factory.
//
// A class T derives from CComObjectRootEx<ThreadModel>, CComCoClass<T, &CLSID_x> and its interfaces, and
// declares its QueryInterface table:
//     static const ComInterfaceEntry* GetInterfaceTable();
// an array in answer order ending with {nullptr, nullptr}; the first entry also serves as IUnknown. T's
// IUnknown methods come from CComObject<T> (plain) or CComContainedObject<T> (inside CComAggObject<T>).
#pragma once

#include <windows.h>

#include <unknwn.h>

#include <climits>
#include <new>

#include "classlib/ComModule.h"
#include "classlib/ComResult.h"

// Plain reference counts: the object lives in one single-threaded apartment.
class CComSingleThreadModel {
public:
    static ULONG Increment(LONG* count) { return static_cast<ULONG>(++*count); }
    static ULONG Decrement(LONG* count) { return static_cast<ULONG>(--*count); }
};

struct ComInterfaceEntry {
    const IID* iid;
    IUnknown* (*cast)(void* object);  // object is the T*
};

// The entry's cast: T* to the interface I (give IDispatch through the dual interface that carries it).
template <class T, class I>
IUnknown* ComInterfaceCast(void* object) {
    return static_cast<I*>(static_cast<T*>(object));
}

class CComObjectRootBase {
public:
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}
    static void ObjectMain(bool /*starting*/) {}

    void SetOuterUnknown(IUnknown* outer) { outer_ = outer; }
    IUnknown* GetOuterUnknown() const { return outer_; }

    // QueryInterface over an explicit table: the out-pointer is cleared first; IUnknown is the first entry.
    static HRESULT InternalQueryInterface(void* object, const ComInterfaceEntry* table, REFIID iid,
                                          void** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!table || !table->iid) return E_NOINTERFACE;
        for (const ComInterfaceEntry* entry = table; entry->iid; ++entry) {
            if (InlineIsEqualGUID(iid, IID_IUnknown) || InlineIsEqualGUID(iid, *entry->iid)) {
                IUnknown* found = entry->cast(object);
                found->AddRef();
                *out = found;
                return S_OK;
            }
        }
        return E_NOINTERFACE;
    }

protected:
    LONG refCount_ = 0;
    IUnknown* outer_ = nullptr;  // the controlling object when aggregated
};

template <class ThreadModel>
class CComObjectRootEx : public CComObjectRootBase {
public:
    using ThreadModelType = ThreadModel;

    ULONG InternalAddRef() { return ThreadModel::Increment(&refCount_); }
    ULONG InternalRelease() { return ThreadModel::Decrement(&refCount_); }
    ULONG OuterAddRef() { return outer_->AddRef(); }
    ULONG OuterRelease() { return outer_->Release(); }
    HRESULT OuterQueryInterface(REFIID iid, void** out) { return outer_->QueryInterface(iid, out); }
};

// The object's identity: its first table entry. AddRef and Release through it reach the right count, the
// object's own or the controlling object's.
template <class T>
IUnknown* ComGetUnknown(T* object) {
    return T::GetInterfaceTable()[0].cast(object);
}

template <class T>
HRESULT ComQueryInterface(T* object, REFIID iid, void** out) {
    return CComObjectRootBase::InternalQueryInterface(object, T::GetInterfaceTable(), iid, out);
}

// Holds one module lock for as long as it lives: the first base of an object, so the lock is taken
// before the class is built and dropped only after its destructor has run.
class CComModuleLock {
public:
    CComModuleLock() { CAtlModule::Get()->Lock(); }
    ~CComModuleLock() { CAtlModule::Get()->Unlock(); }
    CComModuleLock(const CComModuleLock&) = delete;
    CComModuleLock& operator=(const CComModuleLock&) = delete;
};

// A plain (not aggregated) object of class Base.
template <class Base>
class CComObject : private CComModuleLock, public Base {
public:
    CComObject() = default;
    virtual ~CComObject() {
        this->refCount_ =
            -(LONG_MAX / 2);  // a reference taken and dropped in FinalRelease must not delete twice
        this->FinalRelease();
    }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override {
        return ComQueryInterface<Base>(this, iid, out);
    }
    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override {
        const ULONG count = this->InternalRelease();
        if (count == 0) delete this;
        return count;
    }

    // Builds the object and runs FinalConstruct; the result holds no reference yet (count 0).
    static HRESULT CreateInstance(CComObject** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        // A member's constructor may throw when memory runs out; no exception leaves the creation.
        CComObject* object = nullptr;
        KORVANE_RETURN_IF_FAILED(Guarded([&] { object = new (std::nothrow) CComObject(); }));
        if (!object) return E_OUTOFMEMORY;
        // FinalConstruct may hand out and drop references: a temporary one keeps the object alive meanwhile.
        object->InternalAddRef();
        const HRESULT hr = Guarded([&] { return object->FinalConstruct(); });
        object->InternalRelease();
        if (FAILED(hr)) {
            delete object;
            return hr;
        }
        *out = object;
        return S_OK;
    }
};

// Base inside an aggregate: its IUnknown methods are the controlling object's.
template <class Base>
class CComContainedObject : public Base {
public:
    explicit CComContainedObject(IUnknown* outer) { this->SetOuterUnknown(outer); }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override { return this->OuterQueryInterface(iid, out); }
    STDMETHOD_(ULONG, AddRef)() override { return this->OuterAddRef(); }
    STDMETHOD_(ULONG, Release)() override { return this->OuterRelease(); }
};

// An aggregated object: its own IUnknown is the non-delegating one the controlling object holds; every
// other interface comes from the contained Base and delegates to the controlling object.
template <class Base>
class CComAggObject : private CComModuleLock, public IUnknown {
public:
    explicit CComAggObject(IUnknown* outer) : contained_(outer) {}
    virtual ~CComAggObject() {
        refCount_ = -(LONG_MAX / 2);
        contained_.FinalRelease();
    }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (InlineIsEqualGUID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return ComQueryInterface<Base>(&contained_, iid, out);
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }
    STDMETHOD_(ULONG, Release)() override {
        const LONG count = InterlockedDecrement(&refCount_);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    static HRESULT CreateInstance(IUnknown* outer, CComAggObject** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!outer) return E_INVALIDARG;
        CComAggObject* object = nullptr;
        KORVANE_RETURN_IF_FAILED(Guarded([&] { object = new (std::nothrow) CComAggObject(outer); }));
        if (!object) return E_OUTOFMEMORY;
        object->AddRef();
        const HRESULT hr = Guarded([&] { return object->contained_.FinalConstruct(); });
        object->refCount_--;
        if (FAILED(hr)) {
            delete object;
            return hr;
        }
        *out = object;
        return S_OK;
    }

private:
    LONG refCount_ = 0;
    CComContainedObject<Base> contained_;
};

// Creation for a class factory: the plain object without an outer object, the aggregated one with it.
template <class T>
class CComCreator {
public:
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) {
            if (!InlineIsEqualGUID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
            CComAggObject<T>* object = nullptr;
            KORVANE_RETURN_IF_FAILED(CComAggObject<T>::CreateInstance(outer, &object));
            const CComPtr<CComAggObject<T>> hold(object);
            return hold->QueryInterface(iid, out);
        }
        CComObject<T>* object = nullptr;
        KORVANE_RETURN_IF_FAILED(CComObject<T>::CreateInstance(&object));
        // Going, the hold frees the object when the interface was refused.
        const CComPtr<CComObject<T>> hold(object);
        return hold->QueryInterface(iid, out);
    }
};

template <class T, const CLSID* pclsid>
class CComCoClass {
public:
    static constexpr const CLSID* ObjectClassId = pclsid;
    static const CLSID& GetObjectCLSID() { return *pclsid; }
    static HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) {
        return CComCreator<T>::CreateInstance(outer, iid, out);
    }
};

// The standard class factory. The module's object map holds the first reference; every further one (a
// client's) holds a module lock, so the DLL stays loaded while a client keeps a factory.
class CComClassFactory final : public IClassFactory {
public:
    using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

    static HRESULT Create(CreateFunction create, REFIID iid, void** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        auto* factory = new (std::nothrow) CComClassFactory(create);
        if (!factory) return E_OUTOFMEMORY;
        CComPtr<CComClassFactory> hold;
        hold.Attach(factory);  // the reference it was made with
        return hold->QueryInterface(iid, out);
    }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!InlineIsEqualGUID(iid, IID_IUnknown) && !InlineIsEqualGUID(iid, IID_IClassFactory))
            return E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override {
        const LONG count = InterlockedIncrement(&refCount_);
        if (count == 2) CAtlModule::Get()->Lock();
        return static_cast<ULONG>(count);
    }
    STDMETHOD_(ULONG, Release)() override {
        const LONG count = InterlockedDecrement(&refCount_);
        if (count == 1) CAtlModule::Get()->Unlock();
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer && !InlineIsEqualGUID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        return create_(outer, iid, out);
    }
    STDMETHOD(LockServer)(BOOL lock) override {
        if (lock) {
            CAtlModule::Get()->Lock();
        } else {
            CAtlModule::Get()->Unlock();
        }
        return S_OK;
    }

private:
    explicit CComClassFactory(CreateFunction create) : refCount_(1), create_(create) {}
    ~CComClassFactory() = default;

    LONG refCount_;
    CreateFunction create_;
};

// The object-map entry of class T: T::UpdateRegistry(bool) applies its script; creation through its creator.
template <class T>
constexpr CAtlObjMapEntry ObjectMapEntryFor() {
    return CAtlObjMapEntry{T::ObjectClassId, &T::UpdateRegistry, &T::CreateInstance, &T::ObjectMain, nullptr};
}
