// Connection points: the container a client asks for an event interface's point, the point that keeps the
// advised sinks in a growable array, and the enumerators of both.
//
// A class T with events derives from IConnectionPointContainerImpl<T> and from one
// IConnectionPointImpl<T, &DIID_x> per event interface (usually through its event proxy), and declares
//     static const ConnectionPointEntry* GetConnectionPointTable();
// an array ending with {nullptr, nullptr}, built with ConnectionPointOf<T, IConnectionPointImpl<...>>.
#pragma once

#include <windows.h>

#include <ocidl.h>
#include <olectl.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "classlib/ComObject.h"
#include "classlib/ComResult.h"

// The sinks of one connection point: a growable array of interface pointers where a free slot holds null.
// A cookie is the slot's index plus one. It takes no references itself: the point adds and releases them.
class CComDynamicUnkArray {
public:
    CComDynamicUnkArray() = default;
    CComDynamicUnkArray(const CComDynamicUnkArray&) = delete;
    CComDynamicUnkArray& operator=(const CComDynamicUnkArray&) = delete;
    ~CComDynamicUnkArray() { std::free(slots_); }

    // The cookie of the slot that now holds the pointer, or 0 when the array cannot grow.
    DWORD Add(IUnknown* sink) {
        for (int i = 0; i < size_; ++i) {
            if (!slots_[i]) {
                slots_[i] = sink;
                return static_cast<DWORD>(i + 1);
            }
        }
        if (size_ >= kMaxSize) return 0;
        const int grown = size_ == 0 ? 1 : size_ * 2;
        auto* slots = static_cast<IUnknown**>(std::realloc(slots_, sizeof(IUnknown*) * grown));
        if (!slots) return 0;
        for (int i = size_; i < grown; ++i) slots[i] = nullptr;
        slots_ = slots;
        const int index = size_;
        size_ = grown;
        slots_[index] = sink;
        return static_cast<DWORD>(index + 1);
    }
    // False when the cookie names no held pointer.
    bool Remove(DWORD cookie) {
        if (cookie == 0 || cookie > static_cast<DWORD>(size_) || !slots_[cookie - 1]) return false;
        slots_[cookie - 1] = nullptr;
        return true;
    }
    // The number of slots, free ones included.
    int GetSize() const { return size_; }
    // Null for a free slot or an index outside the array.
    IUnknown* GetAt(int index) const { return index >= 0 && index < size_ ? slots_[index] : nullptr; }

private:
    static constexpr int kMaxSize = 1 << 20;  // cookies stay small and the array bounded
    IUnknown** slots_ = nullptr;
    int size_ = 0;
};

namespace classlib_detail {

// What an enumerator hands out, with the reference each copy carries.
inline void AddRefItem(CONNECTDATA& item) { item.pUnk->AddRef(); }
inline void ReleaseItem(CONNECTDATA& item) { ReleaseAndClear(item.pUnk); }
inline void AddRefItem(IConnectionPoint* item) { item->AddRef(); }
inline void ReleaseItem(IConnectionPoint* item) { ReleaseAndClear(item); }

// The enumerated items, fixed when the enumerator was made and shared with its clones.
template <class Item>
class Snapshot {
public:
    explicit Snapshot(std::vector<Item> items) : items_(std::move(items)) {}
    ~Snapshot() {
        for (Item& item : items_) ReleaseItem(item);
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    const std::vector<Item>& Items() const { return items_; }

private:
    std::vector<Item> items_;
};

// IEnumConnections / IEnumConnectionPoints over a snapshot. It holds a module lock while it lives.
template <class Interface, const IID* piid, class Item>
class SnapshotEnumerator final : private CComModuleLock, public Interface {
public:
    // Takes over the references the items carry.
    static HRESULT Create(std::vector<Item> items, Interface** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        std::shared_ptr<Snapshot<Item>> snapshot;
        // The snapshot releases the items when its shared count cannot be made.
        KORVANE_RETURN_IF_FAILED(
            Guarded([&] { snapshot.reset(new (std::nothrow) Snapshot<Item>(std::move(items))); }));
        if (!snapshot) {
            for (Item& item : items) ReleaseItem(item);
            return E_OUTOFMEMORY;
        }
        auto* enumerator = new (std::nothrow) SnapshotEnumerator(std::move(snapshot), 0);
        if (!enumerator) return E_OUTOFMEMORY;
        *out = enumerator;
        return S_OK;
    }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!InlineIsEqualGUID(iid, IID_IUnknown) && !InlineIsEqualGUID(iid, *piid)) return E_NOINTERFACE;
        *out = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }
    STDMETHOD_(ULONG, Release)() override {
        const LONG count = InterlockedDecrement(&refCount_);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    STDMETHOD(Next)(ULONG count, Item* items, ULONG* fetched) override {
        if (fetched) *fetched = 0;
        if (!items || (count > 1 && !fetched)) return E_POINTER;
        const std::vector<Item>& all = snapshot_->Items();
        ULONG done = 0;
        while (done < count && position_ < all.size()) {
            items[done] = all[position_++];
            AddRefItem(items[done]);
            ++done;
        }
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    STDMETHOD(Skip)(ULONG count) override {
        const size_t left = snapshot_->Items().size() - position_;
        if (count > left) {
            position_ = snapshot_->Items().size();
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }
    STDMETHOD(Reset)() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHOD(Clone)(Interface** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        auto* clone = new (std::nothrow) SnapshotEnumerator(snapshot_, position_);
        if (!clone) return E_OUTOFMEMORY;
        *out = clone;
        return S_OK;
    }

private:
    SnapshotEnumerator(std::shared_ptr<Snapshot<Item>> snapshot, size_t position)
        : snapshot_(std::move(snapshot)), position_(position) {}
    ~SnapshotEnumerator() = default;

    LONG refCount_ = 1;
    std::shared_ptr<Snapshot<Item>> snapshot_;
    size_t position_;
};

}  // namespace classlib_detail

// One connection point of class T for the event interface *piid. The point itself is a member with an
// identity of its own (QueryInterface answers IUnknown and IConnectionPoint); its references count on
// the object, so a client holding only the point keeps the object alive.
template <class T, const IID* piid, class CDV = CComDynamicUnkArray>
class IConnectionPointImpl {
public:
    IConnectionPointImpl() : point_(this) {}
    IConnectionPointImpl(const IConnectionPointImpl&) = delete;
    IConnectionPointImpl& operator=(const IConnectionPointImpl&) = delete;
    ~IConnectionPointImpl() {
        for (int i = 0; i < sinks_.GetSize(); ++i) {
            IUnknown* sink = sinks_.GetAt(i);
            ReleaseAndClear(sink);
        }
    }

    IConnectionPoint* GetConnectionPoint() { return &point_; }

protected:
    CDV sinks_;  // the advised sinks, each the pointer the sink gave for *piid

private:
    T* Owner() { return static_cast<T*>(this); }

    class Point final : public IConnectionPoint {
    public:
        explicit Point(IConnectionPointImpl* owner) : owner_(owner) {}

        STDMETHOD(QueryInterface)(REFIID iid, void** out) override {
            if (!out) return E_POINTER;
            *out = nullptr;
            if (!InlineIsEqualGUID(iid, IID_IUnknown) && !InlineIsEqualGUID(iid, IID_IConnectionPoint)) {
                return E_NOINTERFACE;
            }
            *out = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        STDMETHOD_(ULONG, AddRef)() override { return ComGetUnknown(owner_->Owner())->AddRef(); }
        STDMETHOD_(ULONG, Release)() override { return ComGetUnknown(owner_->Owner())->Release(); }

        STDMETHOD(GetConnectionInterface)(IID* iid) override {
            if (!iid) return E_POINTER;
            *iid = *piid;
            return S_OK;
        }
        STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** out) override {
            if (!out) return E_POINTER;
            *out = nullptr;
            return ComQueryInterface(owner_->Owner(), IID_IConnectionPointContainer,
                                     reinterpret_cast<void**>(out));
        }
        STDMETHOD(Advise)(IUnknown* sink, DWORD* cookie) override {
            if (!cookie) return E_POINTER;
            *cookie = 0;
            if (!sink) return E_POINTER;
            CComPtr<IUnknown> events;
            if (FAILED(sink->QueryInterface(*piid, events.ReceiveVoid())) || !events) {
                return CONNECT_E_CANNOTCONNECT;
            }
            const DWORD added = owner_->sinks_.Add(events);
            if (added == 0) return CONNECT_E_ADVISELIMIT;
            events.Detach();  // the sinks' array holds the reference now
            *cookie = added;
            return S_OK;
        }
        STDMETHOD(Unadvise)(DWORD cookie) override {
            IUnknown* sink = owner_->sinks_.GetAt(static_cast<int>(cookie) - 1);
            if (cookie == 0 || !owner_->sinks_.Remove(cookie)) return CONNECT_E_NOCONNECTION;
            ReleaseAndClear(sink);
            return S_OK;
        }
        STDMETHOD(EnumConnections)(IEnumConnections** out) override {
            if (!out) return E_POINTER;
            *out = nullptr;
            std::vector<CONNECTDATA> items;
            // The loop then cannot throw.
            KORVANE_RETURN_IF_FAILED(
                Guarded([&] { items.reserve(static_cast<size_t>(owner_->sinks_.GetSize())); }));
            for (int i = 0; i < owner_->sinks_.GetSize(); ++i) {
                if (IUnknown* sink = owner_->sinks_.GetAt(i)) {
                    sink->AddRef();
                    items.push_back(CONNECTDATA{sink, static_cast<DWORD>(i + 1)});
                }
            }
            return classlib_detail::SnapshotEnumerator<IEnumConnections, &IID_IEnumConnections,
                                                       CONNECTDATA>::Create(std::move(items), out);
        }

    private:
        IConnectionPointImpl* owner_;
    };

    Point point_;
};

struct ConnectionPointEntry {
    const IID* iid;
    IConnectionPoint* (*point)(void* object);  // object is the T*
};

template <class T, class PointImpl>
IConnectionPoint* ConnectionPointOf(void* object) {
    return static_cast<PointImpl*>(static_cast<T*>(object))->GetConnectionPoint();
}

template <class T>
class IConnectionPointContainerImpl : public IConnectionPointContainer {
public:
    STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        std::vector<IConnectionPoint*> items;
        size_t count = 0;
        for (const ConnectionPointEntry* entry = T::GetConnectionPointTable(); entry->iid; ++entry) ++count;
        KORVANE_RETURN_IF_FAILED(Guarded([&] { items.reserve(count); }));  // the loop then cannot throw
        for (const ConnectionPointEntry* entry = T::GetConnectionPointTable(); entry->iid; ++entry) {
            IConnectionPoint* point = entry->point(static_cast<T*>(this));
            point->AddRef();
            items.push_back(point);
        }
        return classlib_detail::SnapshotEnumerator<IEnumConnectionPoints, &IID_IEnumConnectionPoints,
                                                   IConnectionPoint*>::Create(std::move(items), out);
    }
    STDMETHOD(FindConnectionPoint)(REFIID iid, IConnectionPoint** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        for (const ConnectionPointEntry* entry = T::GetConnectionPointTable(); entry->iid; ++entry) {
            if (InlineIsEqualGUID(iid, *entry->iid)) {
                IConnectionPoint* point = entry->point(static_cast<T*>(this));
                point->AddRef();
                *out = point;
                return S_OK;
            }
        }
        return CONNECT_E_NOCONNECTION;
    }
};
