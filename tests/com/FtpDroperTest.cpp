// The drop-area control as a page hosts it: in the system's own container window (atl.dll's "AtlAxWin"
// class, titled with the ProgID) on a thread that initialised OLE, under the test run's X display. Drops go
// through the drop target the platform keeps for the control's window (its "OleDropTargetInterface"
// property), with data objects of the test's own; the page's function is a C++ recorder, since the system
// JScript never runs a function called with a VT_UINT argument. The control's COM side (interface table,
// aggregation, persistence, the out-parameter of GetSelectedFiles) is checked on plain objects.
#include <winsock2.h>

#include <windows.h>

#include <objsafe.h>
#include <ole2.h>
#include <olectl.h>
#include <oleidl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "KorvaneTestSupport.h"
#include "classlib/Owners.h"
#include "com/Korvane_i.h"
#include "common/AggregationChecks.h"
#include "common/ImportPatch.h"
#include "common/MessagePump.h"
#include "common/TestFiles.h"

namespace {

using korvanetest::Call;
using korvanetest::FunctionRecorder;

#ifdef KORVANE_64BIT
const wchar_t kProgId[] = L"Tamsic.FtpDroper64";
const wchar_t kDllName[] = L"Korvane64.dll";
#else
const wchar_t kProgId[] = L"Tamsic.FtpDroper";
const wchar_t kDllName[] = L"Korvane.dll";
#endif

constexpr DWORD kControlStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
constexpr int kHostWidth = 300;
constexpr int kHostHeight = 180;

// A global memory block holding a DROPFILES list of wide names, as the shell hands it over.
HGLOBAL MakeFileList(const std::vector<std::wstring>& names) {
    // Each name with its NUL, then one more NUL; an empty list is a lone double NUL.
    size_t characters = 1;
    for (const std::wstring& name : names) characters += name.size() + 1;
    characters = std::max<size_t>(characters, 2);
    HGLOBAL memory =
        GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + characters * sizeof(wchar_t));
    if (!memory) return nullptr;
    auto* files = static_cast<DROPFILES*>(GlobalLock(memory));
    files->pFiles = sizeof(DROPFILES);
    files->fWide = TRUE;
    auto* at = reinterpret_cast<wchar_t*>(files + 1);
    for (const std::wstring& name : names) {
        name.copy(at, name.size());
        at += name.size() + 1;
    }
    GlobalUnlock(memory);
    return memory;
}

// A data object of the test's own: a file list (CF_HDROP in global memory) of the given names, or, with
// offerFileList false, nothing the control takes. It lives on the test's stack.
class FileListData : public IDataObject {
public:
    explicit FileListData(std::vector<std::wstring> names = {}) : names(std::move(names)) {}

    std::vector<std::wstring> names;
    bool offerFileList = true;
    bool getDataFails = false;
    int getDataCalls = 0;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!InlineIsEqualGUID(iid, IID_IUnknown) && !InlineIsEqualGUID(iid, IID_IDataObject))
            return E_NOINTERFACE;
        *out = static_cast<IDataObject*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override {
        ++getDataCalls;
        if (!format || !medium) return E_INVALIDARG;
        if (getDataFails || QueryGetData(format) != S_OK) return DV_E_FORMATETC;
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = MakeFileList(names);
        medium->pUnkForRelease = nullptr;
        return medium->hGlobal ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC* format) override {
        if (!format) return E_INVALIDARG;
        const bool fileList = format->cfFormat == CF_HDROP && (format->tymed & TYMED_HGLOBAL) &&
                              format->dwAspect == DVASPECT_CONTENT;
        return offerFileList && fileList ? S_OK : DV_E_FORMATETC;
    }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
        if (out) out->ptd = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }
};

// What GetSelectedFiles gives: VT_EMPTY, or the paths of its array.
struct SelectedFiles {
    VARTYPE type = VT_EMPTY;
    std::vector<std::wstring> paths;
    bool allTexts = true;
};

SelectedFiles ReadSelectedFiles(IFtpDroper* control) {
    SelectedFiles selected;
    CComVariant files;
    EXPECT_EQ(control->GetSelectedFiles(&files), S_OK);
    selected.type = files.vt;
    if (files.vt != (VT_ARRAY | VT_VARIANT) || !files.parray) return selected;
    EXPECT_EQ(SafeArrayGetDim(files.parray), 1u);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(files.parray, 1, &lower);
    SafeArrayGetUBound(files.parray, 1, &upper);
    EXPECT_EQ(lower, 0);
    for (LONG i = lower; i <= upper; ++i) {
        CComVariant element;
        EXPECT_EQ(SafeArrayGetElement(files.parray, &i, &element), S_OK);
        if (element.vt != VT_BSTR) {
            selected.allTexts = false;
            continue;
        }
        selected.paths.emplace_back(element.bstrVal, SysStringLen(element.bstrVal));
    }
    return selected;
}

std::string Text(const std::vector<std::wstring>& paths) {
    std::string out = "[";
    for (const std::wstring& path : paths) {
        out += (out.size() > 1 ? ", " : "") +
               korvanetest::Utf8(path.size() > 60 ? path.substr(0, 60) + L"..." : path);
    }
    return out + "]";
}

// The control's own view of itself: the window it made, the drop target registered for it.
HWND ControlWindowOf(IUnknown* control) {
    CComPtr<IOleWindow> window;
    HWND handle = nullptr;
    if (SUCCEEDED(control->QueryInterface(IID_IOleWindow, window.ReceiveVoid()))) window->GetWindow(&handle);
    return handle;
}

IDropTarget* RegisteredDropTarget(HWND window) {
    return static_cast<IDropTarget*>(GetPropW(window, L"OleDropTargetInterface"));
}

// The module lock count of the server as DllCanUnloadNow tells it (the DLL COM loaded for the container).
HRESULT ServerCanUnloadNow() {
    HMODULE module = GetModuleHandleW(kDllName);
    if (!module) return E_FAIL;
    auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    return canUnload ? canUnload() : E_FAIL;
}

// A folder of the test's own with files and subfolders, removed afterwards.
class TempTree {
public:
    // An empty file.
    std::wstring File(const std::wstring& name) {
        const std::wstring path = folder_.File(name);
        testfiles::WriteBytes(path, std::string());
        return path;
    }
    std::wstring Folder(const std::wstring& name) {
        const std::wstring path = folder_.File(name);
        CreateDirectoryW(path.c_str(), nullptr);
        return path;
    }

private:
    testfiles::TempFolder folder_;
};

// The control in the system's container on this thread, as a page's browser shows it.
class HostedDropAreaTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(GetEnvironmentVariableW(L"DISPLAY", nullptr, 0), 0u)
            << "the test needs the run's X display (CTest sets DISPLAY for it)";
        ASSERT_EQ(OleInitialize(nullptr), S_OK);
        oleEntered_ = true;
        atl_ = LoadLibraryW(L"atl.dll");
        ASSERT_NE(atl_, nullptr);
        auto init =
            reinterpret_cast<BOOL(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(atl_, "AtlAxWinInit")));
        getControl_ = reinterpret_cast<HRESULT(WINAPI*)(HWND, IUnknown**)>(
            reinterpret_cast<void*>(GetProcAddress(atl_, "AtlAxGetControl")));
        ASSERT_TRUE(init && getControl_);
        ASSERT_TRUE(init());

        WNDCLASSW frameClass{};
        frameClass.lpfnWndProc = DefWindowProcW;
        frameClass.hInstance = GetModuleHandleW(nullptr);
        frameClass.lpszClassName = L"KorvaneTestFrame";
        frameClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
        RegisterClassW(&frameClass);
        frame_ = CreateWindowExW(0, L"KorvaneTestFrame", L"page", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                 kHostWidth + 80, kHostHeight + 100, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(frame_, nullptr) << GetLastError();
        host_ = CreateWindowExW(0, L"AtlAxWin", kProgId, WS_CHILD | WS_VISIBLE, 20, 20, kHostWidth,
                                kHostHeight, frame_, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(host_, nullptr) << GetLastError();
        testcommon::PumpMessages(100);
        CComPtr<IUnknown> unknown;
        ASSERT_EQ(getControl_(host_, &unknown), S_OK);
        ASSERT_EQ(unknown.QueryInterface(IID_IFtpDroper, &control_), S_OK);
        window_ = ControlWindowOf(control_);
        ASSERT_NE(window_, nullptr) << "the control is active in place with a window";
        dropTarget_ = RegisteredDropTarget(window_);
        ASSERT_NE(dropTarget_.Get(), nullptr) << "a drop target is registered for the control's window";
    }
    void TearDown() override {
        dropTarget_.Release();
        control_.Release();
        if (frame_) DestroyWindow(frame_);
        testcommon::PumpMessages(20);
        if (oleEntered_) OleUninitialize();
    }

    // Drags data over the control and drops it; the effect Drop wrote back goes to effect.
    HRESULT DragAndDrop(IDataObject* data, DWORD keys = 0, DWORD allowed = DROPEFFECT_COPY | DROPEFFECT_MOVE,
                        DWORD* effect = nullptr) {
        return DragAndDropOn(dropTarget_, data, keys, allowed, effect);
    }
    static HRESULT DragAndDropOn(IDropTarget* target, IDataObject* data, DWORD keys, DWORD allowed,
                                 DWORD* effect) {
        const POINTL point{30, 30};
        DWORD offered = allowed;
        EXPECT_EQ(target->DragEnter(data, keys, point, &offered), S_OK);
        offered = allowed;
        EXPECT_EQ(target->DragOver(keys, point, &offered), S_OK);
        offered = allowed;
        const HRESULT hr = target->Drop(data, keys, point, &offered);
        if (effect) *effect = offered;
        return hr;
    }
    HRESULT Drop(const std::vector<std::wstring>& names) {
        FileListData data(names);
        return DragAndDrop(&data);
    }

    HMODULE atl_ = nullptr;
    HRESULT(WINAPI* getControl_)(HWND, IUnknown**) = nullptr;
    HWND frame_ = nullptr;
    HWND host_ = nullptr;
    HWND window_ = nullptr;
    CComPtr<IFtpDroper> control_;
    CComPtr<IDropTarget> dropTarget_;

private:
    bool oleEntered_ = false;
};

TEST_F(HostedDropAreaTest, ActivatesInPlaceInTheContainersWindowWithItsStyles) {
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(window_, GWL_STYLE)), kControlStyle);
    EXPECT_EQ(GetWindowLongW(window_, GWL_EXSTYLE) & ~WS_EX_NOPARENTNOTIFY, 0)
        << "no extended style of its own";
    EXPECT_EQ(GetParent(window_), host_) << "a child of the container's window";
    RECT client{};
    GetClientRect(window_, &client);
    EXPECT_EQ(client.right, kHostWidth);
    EXPECT_EQ(client.bottom, kHostHeight);
    EXPECT_FALSE(GetWindowLongW(window_, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) << "drops come through OLE only";

    CComPtr<IDropTarget> answered;
    EXPECT_EQ(control_.QueryInterface(IID_IDropTarget, &answered), E_NOINTERFACE)
        << "the drop target stays out of the interface table";
    CComPtr<IOleInPlaceActiveObject> active;
    ASSERT_EQ(control_.QueryInterface(IID_IOleInPlaceActiveObject, &active), S_OK);
    HWND activeWindow = nullptr;
    EXPECT_EQ(active->GetWindow(&activeWindow), S_OK);
    EXPECT_EQ(activeWindow, window_);

    CComPtr<IOleObject> object;
    ASSERT_EQ(control_.QueryInterface(IID_IOleObject, &object), S_OK);
    DWORD misc = 0;
    EXPECT_EQ(object->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
    EXPECT_EQ(misc, 131473u) << "from the class's MiscStatus\\1 key";
    CComPtr<IOleClientSite> site;
    EXPECT_EQ(object->GetClientSite(&site), S_OK);
    EXPECT_NE(site.Get(), nullptr) << "the container gave its site";
}

// Each window the control makes gets the drop target, and loses it before it goes: hide and show keep the
// window; in-place deactivation destroys it; activation again makes a new one with its own registration.
TEST_F(HostedDropAreaTest, DropTargetFollowsTheWindowThroughDeactivationAndActivation) {
    CComPtr<IOleObject> object;
    ASSERT_EQ(control_.QueryInterface(IID_IOleObject, &object), S_OK);
    CComPtr<IOleClientSite> site;
    ASSERT_EQ(object->GetClientSite(&site), S_OK);
    RECT position{0, 0, kHostWidth, kHostHeight};

    EXPECT_EQ(object->DoVerb(OLEIVERB_HIDE, nullptr, site, 0, host_, &position), S_OK);
    EXPECT_FALSE(IsWindowVisible(window_));
    EXPECT_EQ(object->DoVerb(OLEIVERB_SHOW, nullptr, site, 0, host_, &position), S_OK);
    EXPECT_TRUE(IsWindowVisible(window_));
    EXPECT_EQ(ControlWindowOf(control_), window_) << "the same window";

    CComPtr<IOleInPlaceObject> inPlace;
    ASSERT_EQ(control_.QueryInterface(IID_IOleInPlaceObject, &inPlace), S_OK);
    dropTarget_.Release();
    ASSERT_EQ(inPlace->InPlaceDeactivate(), S_OK);
    EXPECT_FALSE(IsWindow(window_));
    HWND none = reinterpret_cast<HWND>(1);
    EXPECT_EQ(inPlace->GetWindow(&none), E_FAIL);
    EXPECT_EQ(none, nullptr);

    ASSERT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site, 0, host_, &position), S_OK);
    const HWND again = ControlWindowOf(control_);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(again, GWL_STYLE)), kControlStyle);
    dropTarget_ = RegisteredDropTarget(again);
    ASSERT_NE(dropTarget_.Get(), nullptr) << "the new window has the drop target";
    ASSERT_EQ(Drop({L"C:\\again.txt"}), S_OK);
    EXPECT_EQ(ReadSelectedFiles(control_).paths, std::vector<std::wstring>{L"C:\\again.txt"});
    EXPECT_EQ(object->DoVerb(42, nullptr, site, 0, host_, &position), OLEOBJ_S_INVALIDVERB);
}

// The window's pixels as the screen shows them, top-down, 0x00RRGGBB.
struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<DWORD> pixels;
    DWORD At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x] & 0xFFFFFF; }
    static bool Dark(DWORD pixel) {
        return ((pixel >> 16) & 0xFF) < 96 && ((pixel >> 8) & 0xFF) < 96 && (pixel & 0xFF) < 96;
    }
};

Screenshot Capture(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    testcommon::PumpMessages(200);
    Screenshot shot;
    RECT client{};
    GetClientRect(window, &client);
    shot.width = client.right;
    shot.height = client.bottom;
    HDC windowDc = GetDC(window);
    HDC memoryDc = CreateCompatibleDC(windowDc);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = shot.width;
    info.bmiHeader.biHeight = -shot.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memoryDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memoryDc, bitmap);
    BitBlt(memoryDc, 0, 0, shot.width, shot.height, windowDc, 0, 0, SRCCOPY);
    GdiFlush();
    const DWORD* first = static_cast<const DWORD*>(bits);
    shot.pixels.assign(first, first + static_cast<size_t>(shot.width) * shot.height);
    SelectObject(memoryDc, old);
    DeleteObject(bitmap);
    DeleteDC(memoryDc);
    ReleaseDC(window, windowDc);
    return shot;
}

// Keeps the screenshot as a PPM file beside the test's working folder, for a person to look at.
void Keep(const Screenshot& shot, const char* path) {
    FILE* file = std::fopen(path, "wb");
    if (!file) return;
    std::fprintf(file, "P6\n%d %d\n255\n", shot.width, shot.height);
    for (int y = 0; y < shot.height; ++y) {
        for (int x = 0; x < shot.width; ++x) {
            const DWORD p = shot.At(x, y);
            const unsigned char rgb[3] = {static_cast<unsigned char>(p >> 16),
                                          static_cast<unsigned char>(p >> 8), static_cast<unsigned char>(p)};
            std::fwrite(rgb, 1, 3, file);
        }
    }
    std::fclose(file);
}

TEST_F(HostedDropAreaTest, ScreenshotShowsTheFrameAlongTheBoundsAndThePromptAroundTheCentre) {
    const Screenshot shot = Capture(window_);
    ASSERT_EQ(shot.width, kHostWidth);
    ASSERT_EQ(shot.height, kHostHeight);
    Keep(shot, "drop-area.ppm");

    // The frame: the device context's black pen along all four edges of the bounds.
    int frameGaps = 0;
    for (int x = 0; x < shot.width; ++x)
        frameGaps += !Screenshot::Dark(shot.At(x, 0)) + !Screenshot::Dark(shot.At(x, shot.height - 1));
    for (int y = 0; y < shot.height; ++y)
        frameGaps += !Screenshot::Dark(shot.At(0, y)) + !Screenshot::Dark(shot.At(shot.width - 1, y));
    EXPECT_EQ(frameGaps, 0) << "pixels of the frame that are not dark";
    // Inside the frame: the white brush, and dark pixels only where the prompt stands.
    const int centreX = shot.width / 2;
    const int centreY = shot.height / 2;
    int left = shot.width, right = -1, top = shot.height, bottom = -1, strays = 0, textPixels = 0;
    for (int y = 1; y < shot.height - 1; ++y) {
        for (int x = 1; x < shot.width - 1; ++x) {
            const DWORD p = shot.At(x, y);
            if (!Screenshot::Dark(p)) continue;
            const bool nearCentre = std::abs(x - centreX) < 120 && y > centreY - 30 && y < centreY + 10;
            if (!nearCentre) {
                ++strays;
                continue;
            }
            ++textPixels;
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    EXPECT_EQ(shot.At(3, 3), 0xFFFFFFu) << "the default white brush fills the area";
    EXPECT_EQ(strays, 0) << "dark pixels away from the prompt";
    ASSERT_GT(textPixels, 100) << "the prompt is drawn";
    EXPECT_LE(std::abs((left + right) / 2 - centreX), 3) << "centred: from x " << left << " to " << right;
    EXPECT_GT(right - left, 60) << "nine characters wide";
    EXPECT_LT(top, centreY) << "the text stands on a baseline at the middle";
    EXPECT_LE(bottom, centreY + 4) << "and does not hang below it";
}

// Drops in a row on one control: each row's names, what GetSelectedFiles gives afterwards, and whether the
// page's function was called.
TEST_F(HostedDropAreaTest, DropsFillTheListAndCallThePagesFunctionOnce) {
    TempTree tree;
    const std::wstring a = tree.File(L"a.txt");
    const std::wstring b = tree.File(L"b 两.bin");
    const std::wstring folder = tree.Folder(L"folder");
    const std::wstring inner = tree.File(L"folder\\inside.txt");
    const std::wstring otherFolder = tree.Folder(L"other");
    const std::wstring missing = tree.File(L"gone.txt");  // a name of a file that need not exist
    const std::wstring longPath =
        L"C:\\" + std::wstring(400, L'l') + L"\\" + std::wstring(595, L'm') + L".txt";
    ASSERT_EQ(longPath.size(), 1003u);

    auto* function = new FunctionRecorder();
    ASSERT_EQ(control_->put_OnFileDrop(function), S_OK);

    EXPECT_EQ(ReadSelectedFiles(control_).type, VT_EMPTY) << "before any drop";

    struct Row {
        const char* what;
        std::vector<std::wstring> dropped;
        VARTYPE type;
        std::vector<std::wstring> listed;
        size_t calls;  // of the function, in all so far
    };
    const Row rows[] = {
        {"no names before any drop: nothing changes", {}, VT_EMPTY, {}, 0},
        {"files and a folder: the files in the shell's order, the folder not entered",
         {b, folder, a},
         VT_ARRAY | VT_VARIANT,
         {b, a},
         1},
        {"folders and a drive root only: an empty array",
         {folder, L"C:\\", otherFolder},
         VT_ARRAY | VT_VARIANT,
         {},
         2},
        {"the next drop replaces the list", {inner, missing}, VT_ARRAY | VT_VARIANT, {inner, missing}, 3},
        {"no names: nothing changes, nothing is called", {}, VT_ARRAY | VT_VARIANT, {inner, missing}, 3},
        {"a path of 1003 characters arrives whole", {longPath, a}, VT_ARRAY | VT_VARIANT, {longPath, a}, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DWORD effect = 0;
        FileListData data(row.dropped);
        EXPECT_EQ(DragAndDrop(&data, 0, DROPEFFECT_COPY | DROPEFFECT_MOVE, &effect), S_OK);
        EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_COPY));
        const SelectedFiles selected = ReadSelectedFiles(control_);
        EXPECT_EQ(selected.type, row.type);
        EXPECT_TRUE(selected.allTexts) << "every element a VT_BSTR";
        EXPECT_EQ(selected.paths, row.listed) << Text(selected.paths);
        ASSERT_EQ(function->calls.size(), row.calls);
    }
    for (const Call& call : function->calls) {
        EXPECT_EQ(call.dispid, DISPID_VALUE);
        EXPECT_EQ(call.lcid, static_cast<LCID>(LOCALE_USER_DEFAULT));
        EXPECT_EQ(call.flags, DISPATCH_METHOD);
        ASSERT_EQ(call.arguments.size(), 1u) << "one positional argument";
        EXPECT_EQ(call.arguments[0].type, VT_UINT);
        EXPECT_EQ(call.arguments[0].number, 0);
    }
    control_->put_OnFileDrop(nullptr);
    function->Release();
}

TEST_F(HostedDropAreaTest, CopyOfTheListBelongsToTheCaller) {
    ASSERT_EQ(Drop({L"C:\\one.txt"}), S_OK);
    CComVariant before;
    ASSERT_EQ(control_->GetSelectedFiles(&before), S_OK);
    ASSERT_EQ(Drop({L"C:\\two.txt", L"C:\\three.txt"}), S_OK);
    ASSERT_EQ(before.vt, VT_ARRAY | VT_VARIANT);
    LONG upper = -1;
    SafeArrayGetUBound(before.parray, 1, &upper);
    EXPECT_EQ(upper, 0) << "a later drop does not change a copy handed out";
}

TEST_F(HostedDropAreaTest, DropWithoutAFunctionRebuildsTheListAndCallsNothing) {
    auto* function = new FunctionRecorder();
    ASSERT_EQ(control_->put_OnFileDrop(function), S_OK);
    ASSERT_EQ(control_->put_OnFileDrop(nullptr), S_OK);
    EXPECT_EQ(function->References(), 1) << "null let go of the function";
    ASSERT_EQ(Drop({L"C:\\x.txt"}), S_OK);
    EXPECT_EQ(ReadSelectedFiles(control_).paths, std::vector<std::wstring>{L"C:\\x.txt"});
    EXPECT_TRUE(function->calls.empty());
    function->Release();
}

TEST_F(HostedDropAreaTest, SettingTheSameFunctionAgainKeepsOneReference) {
    auto* function = new FunctionRecorder();
    ASSERT_EQ(control_->put_OnFileDrop(function), S_OK);
    EXPECT_EQ(function->References(), 2);
    ASSERT_EQ(control_->put_OnFileDrop(function), S_OK);
    EXPECT_EQ(function->References(), 2) << "the same function set twice";
    auto* other = new FunctionRecorder();
    ASSERT_EQ(control_->put_OnFileDrop(other), S_OK);
    EXPECT_EQ(function->References(), 1) << "the old one is let go";
    EXPECT_EQ(other->References(), 2);
    ASSERT_EQ(Drop({L"C:\\y.txt"}), S_OK);
    EXPECT_TRUE(function->calls.empty());
    EXPECT_EQ(other->calls.size(), 1u);
    control_->put_OnFileDrop(nullptr);
    function->Release();
    other->Release();
}

// The page's function lets go of itself while it runs (it sets OnFileDrop to null): the call in progress
// still holds it.
TEST_F(HostedDropAreaTest, FunctionThatClearsItselfWhileRunningStaysAliveForItsCall) {
    auto* function = new FunctionRecorder();
    ASSERT_EQ(control_->put_OnFileDrop(function), S_OK);
    bool ran = false;
    IFtpDroper* control = control_;
    function->onCall = [&](const Call&) {
        EXPECT_EQ(control->put_OnFileDrop(nullptr), S_OK);
        ran = true;
    };
    function->Release();  // only the control holds it now
    ASSERT_EQ(Drop({L"C:\\reentrant.txt"}), S_OK);
    EXPECT_TRUE(ran);
    ASSERT_EQ(Drop({L"C:\\after.txt"}), S_OK) << "no function any more";
    EXPECT_EQ(ReadSelectedFiles(control_).paths, std::vector<std::wstring>{L"C:\\after.txt"});
}

// The key-state rule of DragEnter and DragOver, and what Drop writes back: copy when the source allows it,
// else none, never move (a move answer tells the drag source to delete the user's files).
TEST_F(HostedDropAreaTest, EffectsFollowTheKeysWhileDraggingAndDropOnlyEverCopies) {
    struct Row {
        const char* what;
        DWORD keys;
        DWORD allowed;
        DWORD dragging;
        DWORD dropped;
    };
    const DWORD copy = DROPEFFECT_COPY, move = DROPEFFECT_MOVE, link = DROPEFFECT_LINK;
    const Row rows[] = {
        {"Ctrl and Shift, copy and move allowed", MK_CONTROL | MK_SHIFT, copy | move, copy, copy},
        {"link only allowed", 0, link, DROPEFFECT_NONE, DROPEFFECT_NONE},
        {"no key, copy and move allowed", 0, copy | move, move, copy},
        {"Shift, copy and move allowed", MK_SHIFT, copy | move, move, copy},
        {"Ctrl, move only allowed", MK_CONTROL, move, move, DROPEFFECT_NONE},
        {"Shift, copy only allowed", MK_SHIFT, copy, copy, copy},
        {"no key, copy and link allowed", 0, copy | link, copy, copy},
        {"no key, everything allowed", 0, copy | move | link, move, copy},
        {"Ctrl, everything allowed", MK_CONTROL, copy | move | link, copy, copy},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FileListData data({L"C:\\effect.txt"});
        const POINTL point{5, 5};
        DWORD effect = row.allowed;
        EXPECT_EQ(dropTarget_->DragEnter(&data, row.keys, point, &effect), S_OK);
        EXPECT_EQ(effect, row.dragging) << "DragEnter";
        effect = row.allowed;
        EXPECT_EQ(dropTarget_->DragOver(row.keys, point, &effect), S_OK);
        EXPECT_EQ(effect, row.dragging) << "DragOver";
        effect = row.allowed;
        EXPECT_EQ(dropTarget_->Drop(&data, row.keys, point, &effect), S_OK);
        EXPECT_EQ(effect, row.dropped) << "Drop";
    }
}

TEST_F(HostedDropAreaTest, DragWithoutAFileListIsRefused) {
    auto* function = new FunctionRecorder();
    ASSERT_EQ(control_->put_OnFileDrop(function), S_OK);
    ASSERT_EQ(Drop({L"C:\\kept.txt"}), S_OK);

    FileListData text({L"C:\\never.txt"});
    text.offerFileList = false;
    const POINTL point{5, 5};
    DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    EXPECT_EQ(dropTarget_->DragEnter(&text, MK_CONTROL, point, &effect), S_OK);
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
    effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    EXPECT_EQ(dropTarget_->DragOver(MK_CONTROL, point, &effect), S_OK);
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
    effect = DROPEFFECT_COPY | DROPEFFECT_MOVE;
    EXPECT_EQ(dropTarget_->Drop(&text, MK_CONTROL, point, &effect), S_FALSE);
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
    EXPECT_EQ(text.getDataCalls, 0) << "nothing is fetched from a refused drag";

    // A file list whose data cannot be fetched ends the drop quietly.
    FileListData failing({L"C:\\never.txt"});
    failing.getDataFails = true;
    EXPECT_EQ(DragAndDrop(&failing, 0, DROPEFFECT_COPY, &effect), S_OK);
    EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));

    EXPECT_EQ(ReadSelectedFiles(control_).paths, std::vector<std::wstring>{L"C:\\kept.txt"});
    EXPECT_EQ(function->calls.size(), 1u);
    control_->put_OnFileDrop(nullptr);
    function->Release();
}

// SafeArrayRedim as the server imports it, failing from the given call on.
LONG g_redimCalls = 0;
LONG g_redimFailsFrom = 0;
HRESULT WINAPI FailingRedim(SAFEARRAY* array, SAFEARRAYBOUND* bound) {
    if (++g_redimCalls >= g_redimFailsFrom) return E_OUTOFMEMORY;
    return SafeArrayRedim(array, bound);
}

// SafeArrayCopy as the server imports it, failing with the given result.
HRESULT g_copyFailure = S_OK;
HRESULT WINAPI FailingCopy(SAFEARRAY*, SAFEARRAY** out) {
    *out = nullptr;
    return g_copyFailure;
}

TEST_F(HostedDropAreaTest, GetSelectedFilesTellsWhyItCouldNotCopyTheList) {
    ASSERT_EQ(Drop({L"C:\\copied.txt"}), S_OK);
    ImportPatch patch(GetModuleHandleW(kDllName), "oleaut32.dll", "SafeArrayCopy",
                      reinterpret_cast<const void*>(&FailingCopy));
    ASSERT_TRUE(patch.Applied());
    const struct {
        HRESULT copy;
        HRESULT answer;
    } rows[] = {
        {E_OUTOFMEMORY, E_OUTOFMEMORY}, {E_INVALIDARG, E_INVALIDARG}, {DISP_E_BADVARTYPE, E_INVALIDARG}};
    for (const auto& row : rows) {
        g_copyFailure = row.copy;
        CComVariant files;
        EXPECT_EQ(control_->GetSelectedFiles(&files), row.answer) << std::hex << row.copy;
        EXPECT_EQ(files.vt, VT_EMPTY) << "the caller's VARIANT is left empty";
    }
}

TEST_F(HostedDropAreaTest, DropThatRunsOutOfMemoryKeepsWhatItAppendedAndFails) {
    auto* function = new FunctionRecorder();
    ASSERT_EQ(control_->put_OnFileDrop(function), S_OK);
    {
        g_redimCalls = 0;
        g_redimFailsFrom = 3;
        ImportPatch patch(GetModuleHandleW(kDllName), "oleaut32.dll", "SafeArrayRedim",
                          reinterpret_cast<const void*>(&FailingRedim));
        ASSERT_TRUE(patch.Applied());
        DWORD effect = 0;
        FileListData data({L"C:\\1.txt", L"C:\\2.txt", L"C:\\3.txt", L"C:\\4.txt"});
        EXPECT_EQ(DragAndDrop(&data, 0, DROPEFFECT_COPY, &effect), E_OUTOFMEMORY);
        EXPECT_EQ(effect, static_cast<DWORD>(DROPEFFECT_NONE));
    }
    const SelectedFiles selected = ReadSelectedFiles(control_);
    EXPECT_EQ(selected.paths, (std::vector<std::wstring>{L"C:\\1.txt", L"C:\\2.txt"}));
    EXPECT_TRUE(function->calls.empty()) << "a failed drop calls nothing";
    ASSERT_EQ(Drop({L"C:\\5.txt"}), S_OK) << "the next drop works again";
    EXPECT_EQ(ReadSelectedFiles(control_).paths, std::vector<std::wstring>{L"C:\\5.txt"});
    control_->put_OnFileDrop(nullptr);
    function->Release();
}

TEST_F(HostedDropAreaTest, CloseRevokesTheDropTargetAndDestroysTheWindow) {
    CComPtr<IOleObject> object;
    ASSERT_EQ(control_.QueryInterface(IID_IOleObject, &object), S_OK);
    CComPtr<IDropTarget> held = dropTarget_;
    ASSERT_EQ(object->Close(OLECLOSE_NOSAVE), S_OK);
    EXPECT_FALSE(IsWindow(window_)) << "the window goes with Close";
    EXPECT_EQ(ControlWindowOf(control_), nullptr);
    // A caller that kept the drop target can still drop on the closed control: the list is its own.
    ASSERT_EQ(DragAndDropOn(held, std::unique_ptr<FileListData>(new FileListData({L"C:\\late.txt"})).get(), 0,
                            DROPEFFECT_COPY, nullptr),
              S_OK);
    EXPECT_EQ(ReadSelectedFiles(control_).paths, std::vector<std::wstring>{L"C:\\late.txt"});
    held.Release();
    dropTarget_.Release();
    object.Release();
    control_.Release();
    DestroyWindow(frame_);
    frame_ = nullptr;
    testcommon::PumpMessages(50);
    EXPECT_EQ(ServerCanUnloadNow(), S_OK) << "nothing of the control is left alive";
}

TEST_F(HostedDropAreaTest, ReleasedWhileItsWindowLivesTheControlGoesWithTheContainer) {
    dropTarget_.Release();
    control_.Release();
    testcommon::PumpMessages(50);
    ASSERT_TRUE(IsWindow(window_)) << "the container still holds the control";
    // Drops still reach it through its window.
    CComPtr<IDropTarget> target = RegisteredDropTarget(window_);
    ASSERT_NE(target.Get(), nullptr);
    FileListData data({L"C:\\still.txt"});
    EXPECT_EQ(DragAndDropOn(target, &data, 0, DROPEFFECT_COPY, nullptr), S_OK);
    target.Release();
    EXPECT_EQ(ServerCanUnloadNow(), S_FALSE);
    DestroyWindow(frame_);
    frame_ = nullptr;
    testcommon::PumpMessages(50);
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_EQ(ServerCanUnloadNow(), S_OK) << "the control went with its container";
}

// The control as a plain COM object, on a page-like thread without a container.
class DropAreaObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        comEntered_ = true;
        ASSERT_EQ(CoCreateInstance(CLSID_FtpDroper, nullptr, CLSCTX_INPROC_SERVER, IID_IFtpDroper,
                                   control_.ReceiveVoid()),
                  S_OK);
    }
    void TearDown() override {
        control_.Release();
        if (comEntered_) CoUninitialize();
    }
    CComPtr<IFtpDroper> control_;

private:
    bool comEntered_ = false;
};

IUnknown* Identity(IUnknown* p) {
    CComPtr<IUnknown> identity;
    EXPECT_EQ(p->QueryInterface(IID_IUnknown, identity.ReceiveVoid()), S_OK);
    return identity.Get();
}

TEST_F(DropAreaObjectTest, QueryInterfaceAnswersItsTableAndNothingElse) {
    const IID* answered[] = {&IID_IFtpDroper,
                             &IID_IDispatch,
                             &IID_IViewObjectEx,
                             &IID_IViewObject2,
                             &IID_IViewObject,
                             &IID_IOleInPlaceObjectWindowless,
                             &IID_IOleInPlaceObject,
                             &IID_IOleWindow,
                             &IID_IOleInPlaceActiveObject,
                             &IID_IOleControl,
                             &IID_IOleObject,
                             &IID_IPersistStreamInit,
                             &IID_IPersist,
                             &IID_IConnectionPointContainer,
                             &IID_IObjectWithSite};
    IUnknown* identity = Identity(control_);
    EXPECT_EQ(identity, static_cast<IUnknown*>(control_.Get())) << "IFtpDroper serves as IUnknown";
    for (size_t i = 0; i < sizeof answered / sizeof answered[0]; ++i) {
        CComPtr<IUnknown> p;
        EXPECT_EQ(control_->QueryInterface(*answered[i], p.ReceiveVoid()), S_OK) << "table entry " << i;
        if (p) {
            EXPECT_EQ(Identity(p), identity);
        }
    }
    const IID* refused[] = {&IID_IDropTarget,    &IID_IObjectSafety,       &IID_ISupportErrorInfo,
                            &IID_IPersistStream, &IID_IPersistPropertyBag, &IID_IProvideClassInfo};
    for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
        void* out = reinterpret_cast<void*>(static_cast<uintptr_t>(0xDEADBEEF));
        EXPECT_EQ(control_->QueryInterface(*refused[i], &out), E_NOINTERFACE) << "refused entry " << i;
        EXPECT_EQ(out, nullptr);
    }
    CComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(control_.QueryInterface(IID_IConnectionPointContainer, &container), S_OK);
    CComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(DIID__IFtpDroperEvents, &point), S_OK);
}

TEST_F(DropAreaObjectTest, AggregatedControlCountsOnItsControllingObject) {
    testcommon::ExpectAggregatesUnderItsOuter(CLSID_FtpDroper, IID_IOleObject);
}

TEST_F(DropAreaObjectTest, StreamCarriesTheExtent) {
    CComPtr<IOleObject> object;
    ASSERT_EQ(control_.QueryInterface(IID_IOleObject, &object), S_OK);
    SIZEL size{};
    ASSERT_EQ(object->GetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(size.cx, 5080);
    EXPECT_EQ(size.cy, 5080);
    CComPtr<IViewObjectEx> view;
    ASSERT_EQ(control_.QueryInterface(IID_IViewObjectEx, &view), S_OK);
    DVEXTENTINFO info{sizeof info, DVEXTENT_CONTENT, {}};
    ASSERT_EQ(view->GetNaturalExtent(DVASPECT_CONTENT, -1, nullptr, nullptr, &info, &size), S_OK);
    EXPECT_EQ(size.cx, 5080);

    SIZEL set{1234, 4321};
    ASSERT_EQ(object->SetExtent(DVASPECT_CONTENT, &set), S_OK);
    CComPtr<IPersistStreamInit> persist;
    ASSERT_EQ(control_.QueryInterface(IID_IPersistStreamInit, &persist), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_OK);
    CComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ASSERT_EQ(persist->Save(stream, TRUE), S_OK);
    EXPECT_EQ(persist->IsDirty(), S_FALSE);
    ULARGE_INTEGER max{}, end{};
    ASSERT_EQ(persist->GetSizeMax(&max), S_OK);
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &end), S_OK);
    EXPECT_EQ(end.QuadPart, max.QuadPart);
    EXPECT_EQ(end.QuadPart, 12u) << "a format version, then _cx and _cy as VT_UI4";

    CComPtr<IPersistStreamInit> other;
    ASSERT_EQ(CoCreateInstance(CLSID_FtpDroper, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistStreamInit,
                               other.ReceiveVoid()),
              S_OK);
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr), S_OK);
    ASSERT_EQ(other->Load(stream), S_OK);
    CComPtr<IOleObject> loaded;
    ASSERT_EQ(other.QueryInterface(IID_IOleObject, &loaded), S_OK);
    ASSERT_EQ(loaded->GetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(size.cx, 1234);
    EXPECT_EQ(size.cy, 4321);

    // A stream cut short is refused.
    CComPtr<IStream> shortStream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &shortStream), S_OK);
    const DWORD version = 1;
    shortStream->Write(&version, sizeof version, nullptr);
    const LONG onlyWidth = 777;
    shortStream->Write(&onlyWidth, sizeof onlyWidth, nullptr);
    shortStream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    EXPECT_TRUE(FAILED(other->Load(shortStream)));
    ASSERT_EQ(loaded->GetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(size.cx, 1234) << "a stream cut short changes nothing";
}

// IViewObject::Draw hands the bounds to the drawing: the frame along them, white inside, nothing outside.
TEST_F(DropAreaObjectTest, DrawPaintsWithinTheBoundsItIsGiven) {
    CComPtr<IViewObject> view;
    ASSERT_EQ(control_.QueryInterface(IID_IViewObject, &view), S_OK);
    HDC dc = CreateCompatibleDC(nullptr);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof info.bmiHeader, 120, -80, 1, 32, BI_RGB};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(bitmap, nullptr);
    HGDIOBJ old = SelectObject(dc, bitmap);
    std::fill_n(static_cast<DWORD*>(bits), 120 * 80, 0x00FF00u);  // green: untouched
    const RECTL bounds{10, 20, 110, 70};
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr, nullptr, 0),
              S_OK);
    EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, nullptr, nullptr, nullptr, 0),
              E_INVALIDARG)
        << "no bounds and no window";
    EXPECT_EQ(
        view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, nullptr, &bounds, nullptr, nullptr, 0),
        E_INVALIDARG);
    GdiFlush();
    auto at = [&](int x, int y) { return static_cast<const DWORD*>(bits)[y * 120 + x] & 0xFFFFFF; };
    EXPECT_EQ(at(10, 40), 0u) << "left edge of the frame";
    EXPECT_EQ(at(109, 40), 0u) << "right edge";
    EXPECT_EQ(at(60, 20), 0u) << "top edge";
    EXPECT_EQ(at(60, 69), 0u) << "bottom edge";
    EXPECT_EQ(at(15, 25), 0xFFFFFFu) << "inside";
    EXPECT_EQ(at(5, 5), 0x00FF00u) << "outside the bounds";
    EXPECT_EQ(at(115, 75), 0x00FF00u) << "outside the bounds";
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

// GetSelectedFiles fills an out-parameter: what the caller's VARIANT held before is not freed.
TEST_F(DropAreaObjectTest, GetSelectedFilesIgnoresWhatTheOutVariantHeld) {
    auto* stale = new korvanetest::FunctionRecorder();
    VARIANT out;
    out.vt = VT_DISPATCH;
    out.pdispVal = stale;  // a value the caller no longer owns: its reference is not counted here
    stale->AddRef();       // the control must not release it
    EXPECT_EQ(control_->GetSelectedFiles(&out), S_OK);
    EXPECT_EQ(out.vt, VT_EMPTY) << "no drop yet";
    EXPECT_EQ(stale->References(), 2) << "the old content was not released";
    EXPECT_EQ(control_->GetSelectedFiles(nullptr), E_POINTER);
    stale->Release();
    stale->Release();
}

}  // namespace
