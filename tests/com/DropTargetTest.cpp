// The drop target on its own, as a COM object of its own: its IUnknown, its reference count that frees it at
// zero, a target that was never enabled, and the default drop hook.
#include <windows.h>

#include <ole2.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "com/DropTarget.h"

namespace {

// Notes its own end and what reached its drop hook.
class WatchedTarget : public CIDropTargetImpl {
public:
    explicit WatchedTarget(bool* destroyed, bool enable = true) : destroyed_(destroyed) {
        EnableDropTarget(enable);
    }
    ~WatchedTarget() override { *destroyed_ = true; }
    HRESULT OnDropFiles(HDROP drop) override {
        dropped = drop;
        return S_OK;
    }
    HDROP dropped = nullptr;

private:
    bool* destroyed_;
};

// A file list of one name, offered in global memory.
class OneFile : public IDataObject {
public:
    STDMETHODIMP QueryInterface(REFIID, void** out) override {
        if (out) *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (QueryGetData(format) != S_OK) return DV_E_FORMATETC;
        const wchar_t name[] = L"C:\\one.txt\0";
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + sizeof name);
        auto* files = static_cast<DROPFILES*>(GlobalLock(memory));
        files->pFiles = sizeof(DROPFILES);
        files->fWide = TRUE;
        memcpy(files + 1, name, sizeof name);
        GlobalUnlock(memory);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = memory;
        medium->pUnkForRelease = nullptr;
        handed = memory;
        return S_OK;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC* format) override {
        return format && format->cfFormat == CF_HDROP && (format->tymed & TYMED_HGLOBAL) ? S_OK
                                                                                         : DV_E_FORMATETC;
    }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }
    HGLOBAL handed = nullptr;
};

TEST(DropTargetTest, AnswersIUnknownAndIDropTargetAndGoesAtZero) {
    bool destroyed = false;
    auto* target = new WatchedTarget(&destroyed);
    IDropTarget* answered = nullptr;
    ASSERT_EQ(target->QueryInterface(IID_IDropTarget, reinterpret_cast<void**>(&answered)), S_OK);
    EXPECT_EQ(answered, static_cast<IDropTarget*>(target));
    IUnknown* identity = nullptr;
    ASSERT_EQ(target->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    void* other = reinterpret_cast<void*>(static_cast<uintptr_t>(0xDEADBEEF));
    EXPECT_EQ(target->QueryInterface(IID_IDataObject, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr) << "the out-pointer is cleared";
    EXPECT_EQ(target->QueryInterface(IID_IDropTarget, nullptr), E_POINTER);
    EXPECT_EQ(target->AddRef(), 3u);
    EXPECT_EQ(target->Release(), 2u);
    EXPECT_EQ(identity->Release(), 1u);
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(answered->Release(), 0u);
    EXPECT_TRUE(destroyed) << "the last Release destroys it through its virtual destructor";
}

TEST(DropTargetTest, NeverEnabledTargetAcceptsNothing) {
    bool destroyed = false;
    WatchedTarget target(&destroyed, false);
    OneFile data;
    const POINTL point{0, 0};
    DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    EXPECT_EQ(target.DragEnter(&data, 0, point, &effect), S_OK);
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
    effect = DROPEFFECT_COPY;
    EXPECT_EQ(target.Drop(&data, 0, point, &effect), S_FALSE);
    EXPECT_EQ(target.dropped, nullptr);
    EXPECT_EQ(target.DragOver(0, point, nullptr), E_INVALIDARG) << "no effect to write";
}

TEST(DropTargetTest, DropHandsTheMediumsOwnHandleToTheHook) {
    bool destroyed = false;
    WatchedTarget target(&destroyed);
    OneFile data;
    const POINTL point{0, 0};
    DWORD effect = DROPEFFECT_COPY;
    ASSERT_EQ(target.DragEnter(&data, 0, point, &effect), S_OK);
    effect = DROPEFFECT_COPY | DROPEFFECT_LINK;
    ASSERT_EQ(target.Drop(&data, 0, point, &effect), S_OK);
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
    EXPECT_EQ(target.dropped, static_cast<HDROP>(data.handed))
        << "the global handle itself, not its locked address";
}

}  // namespace
