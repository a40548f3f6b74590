// IPersistStreamInit (and IPersist) of a control T over its property map: T declares
//     static const PersistPropertyEntry* GetPropertyMap();
// an array ending with {nullptr, ...}; Save writes a format version and then each entry's bytes in map
// order, Load reads them back in the same order.
#pragma once

#include <windows.h>

#include <ocidl.h>

#include <cstring>

#include "classlib/ComControl.h"

struct PersistPropertyEntry {
    const wchar_t* name;
    VARTYPE type;                  // what the bytes hold, e.g. VT_UI4
    ULONG size;                    // bytes in the stream
    void* (*field)(void* object);  // object is the T*
};

template <class T>
class IPersistStreamInitImpl : public IPersistStreamInit {
public:
    static constexpr DWORD kStreamVersion = 1;
    static constexpr ULONG kMaxStreamBytes = 256;  // what a property map of plain values may add up to

    // IPersist
    STDMETHOD(GetClassID)(CLSID* out) override {
        if (!out) return E_POINTER;
        *out = T::GetObjectCLSID();
        return S_OK;
    }
    // IPersistStreamInit
    STDMETHOD(IsDirty)() override { return static_cast<T*>(this)->m_bRequiresSave ? S_OK : S_FALSE; }
    STDMETHOD(Load)(LPSTREAM stream) override {
        if (!stream) return E_POINTER;
        DWORD version = 0;
        KORVANE_RETURN_IF_FAILED(ReadAll(stream, &version, sizeof version));
        if (version > kStreamVersion) return E_FAIL;
        // Everything is read before anything is set, so a stream cut short changes nothing.
        BYTE values[kMaxStreamBytes];
        ULONG total = 0;
        for (const PersistPropertyEntry* entry = T::GetPropertyMap(); entry->name; ++entry) {
            if (entry->size > kMaxStreamBytes - total) return E_UNEXPECTED;
            KORVANE_RETURN_IF_FAILED(ReadAll(stream, values + total, entry->size));
            total += entry->size;
        }
        total = 0;
        for (const PersistPropertyEntry* entry = T::GetPropertyMap(); entry->name; ++entry) {
            std::memcpy(entry->field(static_cast<T*>(this)), values + total, entry->size);
            total += entry->size;
        }
        static_cast<T*>(this)->m_bRequiresSave = false;
        static_cast<T*>(this)->FireViewChange();
        return S_OK;
    }
    STDMETHOD(Save)(LPSTREAM stream, BOOL clearDirty) override {
        if (!stream) return E_POINTER;
        const DWORD version = kStreamVersion;
        KORVANE_RETURN_IF_FAILED(WriteAll(stream, &version, sizeof version));
        for (const PersistPropertyEntry* entry = T::GetPropertyMap(); entry->name; ++entry) {
            KORVANE_RETURN_IF_FAILED(WriteAll(stream, entry->field(static_cast<T*>(this)), entry->size));
        }
        if (clearDirty) static_cast<T*>(this)->m_bRequiresSave = false;
        return S_OK;
    }
    STDMETHOD(GetSizeMax)(ULARGE_INTEGER* size) override {
        if (!size) return E_POINTER;
        ULONGLONG total = sizeof(DWORD);
        for (const PersistPropertyEntry* entry = T::GetPropertyMap(); entry->name; ++entry)
            total += entry->size;
        size->QuadPart = total;
        return S_OK;
    }
    STDMETHOD(InitNew)() override { return S_OK; }

private:
    static HRESULT ReadAll(IStream* stream, void* into, ULONG size) {
        ULONG read = 0;
        const HRESULT hr = stream->Read(into, size, &read);
        if (FAILED(hr)) return hr;
        return read == size ? S_OK : STG_E_READFAULT;
    }
    static HRESULT WriteAll(IStream* stream, const void* from, ULONG size) {
        ULONG written = 0;
        const HRESULT hr = stream->Write(from, size, &written);
        if (FAILED(hr)) return hr;
        return written == size ? S_OK : STG_E_WRITEFAULT;
    }
};
