#include "com/FtpDroper.h"

#include <shlwapi.h>

#include <new>
#include <string>

#include "classlib/ComResult.h"
#include "com/KorvaneIdentity.h"

namespace {

// OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE |
// OLEMISC_RECOMPOSEONRESIZE, written in decimal under the class's MiscStatus\1 key.
constexpr const wchar_t* kMiscStatus = L"131473";

constexpr SIZEL kTwoInches{5080, 5080};  // HIMETRIC

// The name at index of the dropped list, at its full length; false when there is none.
bool DroppedName(HDROP drop, UINT index, std::wstring& name) {
    const UINT length = DragQueryFileW(drop, index, nullptr, 0);
    name.assign(static_cast<size_t>(length) + 1, L'\0');
    const UINT copied = DragQueryFileW(drop, index, &name[0], length + 1);
    name.resize(copied);
    return copied > 0;
}

}  // namespace

CFtpDroper::CFtpDroper() {
    m_bWindowOnly = true;
    m_sizeExtent = kTwoInches;
    m_sizeNatural = kTwoInches;
    EnableDropTarget(true);
}

CFtpDroper::~CFtpDroper() {
    dropTargetWindow_.Reset();
    droppedFiles_.Destroy();
    onFileDrop_.Release();
}

HRESULT CFtpDroper::UpdateRegistry(bool registering) {
    const RegistryReplacement replacements[] = {
        KORVANE_CLASS_REPLACEMENTS(FtpDroper), {L"OLEMISC", kMiscStatus}, {nullptr, nullptr}};
    return CAtlModule::Get()->UpdateRegistryFromResource(IDR_FTPDROPER, registering, replacements);
}

const ComInterfaceEntry* CFtpDroper::GetInterfaceTable() {
    static const ComInterfaceEntry table[] = {
        {&IID_IFtpDroper, &ComInterfaceCast<CFtpDroper, IFtpDroper>},
        {&IID_IDispatch, &ComInterfaceCast<CFtpDroper, IFtpDroper>},
        {&IID_IViewObjectEx, &ComInterfaceCast<CFtpDroper, IViewObjectEx>},
        {&IID_IViewObject2, &ComInterfaceCast<CFtpDroper, IViewObjectEx>},
        {&IID_IViewObject, &ComInterfaceCast<CFtpDroper, IViewObjectEx>},
        {&IID_IOleInPlaceObjectWindowless, &ComInterfaceCast<CFtpDroper, IOleInPlaceObjectWindowless>},
        {&IID_IOleInPlaceObject, &ComInterfaceCast<CFtpDroper, IOleInPlaceObjectWindowless>},
        {&IID_IOleWindow, &ComInterfaceCast<CFtpDroper, IOleInPlaceObjectWindowless>},
        {&IID_IOleInPlaceActiveObject, &ComInterfaceCast<CFtpDroper, IOleInPlaceActiveObject>},
        {&IID_IOleControl, &ComInterfaceCast<CFtpDroper, IOleControl>},
        {&IID_IOleObject, &ComInterfaceCast<CFtpDroper, IOleObject>},
        {&IID_IPersistStreamInit, &ComInterfaceCast<CFtpDroper, IPersistStreamInit>},
        {&IID_IPersist, &ComInterfaceCast<CFtpDroper, IPersistStreamInit>},
        {&IID_IConnectionPointContainer, &ComInterfaceCast<CFtpDroper, IConnectionPointContainer>},
        {&IID_IObjectWithSite, &ComInterfaceCast<CFtpDroper, IObjectWithSite>},
        {nullptr, nullptr},
    };
    return table;
}

const ConnectionPointEntry* CFtpDroper::GetConnectionPointTable() {
    static const ConnectionPointEntry table[] = {
        {&DIID__IFtpDroperEvents, &ConnectionPointOf<CFtpDroper, CProxy_IFtpDroperEvents<CFtpDroper>>},
        {nullptr, nullptr},
    };
    return table;
}

const PersistPropertyEntry* CFtpDroper::GetPropertyMap() {
    static const PersistPropertyEntry map[] = {
        {L"_cx", VT_UI4, sizeof(LONG),
         [](void* object) -> void* { return &static_cast<CFtpDroper*>(object)->m_sizeExtent.cx; }},
        {L"_cy", VT_UI4, sizeof(LONG),
         [](void* object) -> void* { return &static_cast<CFtpDroper*>(object)->m_sizeExtent.cy; }},
        {nullptr, VT_EMPTY, 0, nullptr},
    };
    return map;
}

HRESULT CFtpDroper::put_OnFileDrop(IDispatchEx* function) {
    if (function != onFileDrop_.Get()) onFileDrop_ = function;
    return S_OK;
}

HRESULT CFtpDroper::GetSelectedFiles(VARIANT* var) {
    if (!var) return E_POINTER;
    // An out-parameter: whatever it held is not the caller's value to free.
    VariantInit(var);
    if (!droppedFiles_) return S_OK;
    SAFEARRAY* copy = nullptr;
    const HRESULT hr = SafeArrayCopy(droppedFiles_.Get(), &copy);
    if (FAILED(hr) || !copy) {
        if (copy) SafeArrayDestroy(copy);
        return hr == E_OUTOFMEMORY ? E_OUTOFMEMORY : E_INVALIDARG;
    }
    var->vt = VT_ARRAY | VT_VARIANT;
    var->parray = copy;
    return S_OK;
}

HRESULT CFtpDroper::OnDraw(ControlDrawInfo& drawInfo) {
    const RECTL& bounds = *drawInfo.prcBounds;
    const HDC dc = drawInfo.hdcDraw;
    Rectangle(dc, bounds.left, bounds.top, bounds.right, bounds.bottom);
    SetTextAlign(dc, TA_CENTER | TA_BASELINE);
    TextOutW(dc, (bounds.right + bounds.left) / 2, (bounds.bottom + bounds.top) / 2, kPrompt,
             lstrlenW(kPrompt));
    return S_OK;
}

HRESULT CFtpDroper::OnDropFiles(HDROP drop) {
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    if (count < 1) return S_OK;
    // An empty list (a lone double NUL) is counted as one empty name by some DragQueryFileW: a list without
    // a name is no drop either.
    bool anyName = false;
    for (UINT index = 0; index < count && !anyName; ++index)
        anyName = DragQueryFileW(drop, index, nullptr, 0) > 0;
    if (!anyName) return S_OK;
    // Each drop replaces the list. When no new array can be made, the first append makes it.
    droppedFiles_.Destroy();
    droppedFiles_.Create();
    KORVANE_RETURN_IF_FAILED(Guarded([&]() -> HRESULT {
        std::wstring name;
        for (UINT index = 0; index < count; ++index) {
            if (!DroppedName(drop, index, name)) continue;
            if (PathIsRootW(name.c_str()) || PathIsDirectoryW(name.c_str())) continue;
            CComVariant path;
            path.vt = VT_BSTR;
            path.bstrVal = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
            if (!path.bstrVal) return E_OUTOFMEMORY;
            KORVANE_RETURN_IF_FAILED(droppedFiles_.Append(path));
        }
        return S_OK;
    }));
    if (onFileDrop_) {
        // The page's function may set another function or let go of the control while it runs.
        CComPtr<IUnknown> keepAlive(ControlUnknown());
        CComPtr<IDispatchEx> function = onFileDrop_;
        CComVariant argument;
        argument.vt = VT_UINT;
        argument.uintVal = 0;
        DISPPARAMS parameters{&argument, nullptr, 1, 0};
        CComVariant result;
        function->InvokeEx(DISPID_VALUE, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &result, nullptr,
                           nullptr);
    }
    return S_OK;
}

void CFtpDroper::OnControlWindowCreated() {
    const HWND window = ControlWindow();
    if (dropTargetWindow_ || !window) return;
    // Fails when the thread has not initialised OLE; the control then works without drops.
    if (SUCCEEDED(RegisterDragDrop(window, static_cast<IDropTarget*>(this)))) dropTargetWindow_.Reset(window);
}

void CFtpDroper::OnControlWindowGoing() { dropTargetWindow_.Reset(); }
