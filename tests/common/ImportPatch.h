// Replaces one function that a loaded module imports, by rewriting the module's import address table, so a
// test can watch what the code inside a DLL calls (the DLL exports no seam of its own). The old entry comes
// back when the patch goes.
#pragma once

#include <windows.h>

#include <cstring>

class ImportPatch {
public:
    ImportPatch(HMODULE module, const char* dllName, const char* functionName, const void* replacement) {
        slot_ = FindSlot(module, dllName, functionName);
        if (!slot_) return;
        original_ = *slot_;
        Write(reinterpret_cast<ULONG_PTR>(replacement));
    }
    ~ImportPatch() {
        if (slot_) Write(original_);
    }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool Applied() const { return slot_ != nullptr; }

private:
    static ULONG_PTR* FindSlot(HMODULE module, const char* dllName, const char* functionName) {
        if (!module) return nullptr;
        BYTE* base = reinterpret_cast<BYTE*>(module);
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (dir.VirtualAddress == 0) return nullptr;
        // Where the function lives now, for tables whose names were stripped by binding.
        HMODULE target = GetModuleHandleA(dllName);
        const FARPROC current = target ? GetProcAddress(target, functionName) : nullptr;
        for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
            if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dllName) != 0) continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
                base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
            for (; slots->u1.Function; ++names, ++slots) {
                bool match = false;
                if (d->OriginalFirstThunk && !IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                    auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                    match = std::strcmp(reinterpret_cast<const char*>(byName->Name), functionName) == 0;
                } else {
                    match = current && slots->u1.Function == reinterpret_cast<ULONG_PTR>(current);
                }
                if (match) return reinterpret_cast<ULONG_PTR*>(&slots->u1.Function);
            }
        }
        return nullptr;
    }

    void Write(ULONG_PTR value) {
        DWORD old = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &old);
        InterlockedExchangePointer(reinterpret_cast<void**>(slot_), reinterpret_cast<void*>(value));
        VirtualProtect(slot_, sizeof *slot_, old, &old);
    }

    ULONG_PTR* slot_ = nullptr;
    ULONG_PTR original_ = 0;
};
