// host.exe: runs one script in the system's JScript or VBScript engine the way a web page's thread runs its
// script: on a single-threaded apartment whose thread keeps dispatching window messages while the script
// waits, so that calls carried in from worker threads (an upload object's callbacks) run on it.
//
//   host.exe file.js|file.vbs [args...]       (a .vbs file is VBScript, anything else JScript)
//
// The script sees the named item Host:
//   Host.Echo(text, ...)             prints the texts joined by blanks and a line end on stdout (UTF-8,
//                                    unbuffered)
//   Host.Sleep(ms)                   waits, dispatching window messages (and so incoming COM calls) meanwhile
//   Host.Quit(code)                  ends the script; the process exits with code
//   Host.ConnectObject(obj, prefix)  advises a sink on obj's connection point; event E calls prefix + "E"
//   Host.DisconnectObject(obj)       unadvises the sinks that ConnectObject put on obj
//   Host.ThreadId()                  the calling thread's id
//   Host.Arg(i), Host.ArgCount()     the command line after the script's path
//   Host.EventTypes()                inside an event function: the VARIANT types of the event's arguments,
//                                    first argument first, e.g. "VT_UI4,VT_I4"
//   Host.CreateObject(progid)        CoCreateInstance (a "{CLSID}" text works too), for objects the page's
//                                    security check would refuse
//   Host.Embed(progid)               shows the control in the system's container window ("AtlAxWin" of
//                                    atl.dll, titled with the ProgID or "{CLSID}"), as a page's <object>
//                                    does; returns its IDispatch
//   Host.DropFiles(control, path...) drags a file list (CF_HDROP) of the paths onto the control's window
//                                    through the drop target registered for it; returns Drop's HRESULT
// and, for scripts made from a page's HTML (tests/host/page.py):
//   Host.Element(obj)                obj as a page's <object> element holds it: attachEvent, detachEvent
//                                    and object of the element's own, every other name obj's
//   Host.Field(id, name, text)       gives the page's element id the property name, without printing it
//   Host.When(pattern, code[, s])    a step of the page: once the script has run, the host keeps
//                                    dispatching messages as a page's thread does and carries out the steps
//                                    in turn; each waits (at most s seconds, 120 by default) for a printed
//                                    line that matches pattern (ECMAScript syntax; an empty pattern matches
//                                    at once) and then runs code in the script's engine, as a click on a
//                                    button runs its onclick code. An empty code ends the page.
// and the named item document, a stand-in for the page's: document.getElementById(id) gives an element
// whose properties read as given (Host.Field) or last written, the empty text else; each write prints
// "#id.name = text".
// ActiveXObject (and VBScript's CreateObject) works too: the host answers the engine's security questions as
// a page's browser does, and only lets a script create an object that agrees to be safe for untrusted callers
// (or that has no IObjectSafety).
//
// Exit code: Quit's code, else 0. A script error prints "file(line,column): ..." on stderr and exits 2; an
// event function that failed prints its error and exits 3 (its Sleep calls fail from then on, ending the
// script); a page step that waited in vain exits 4.
#include <windows.h>

#include <activscp.h>
#include <dispex.h>
#include <objsafe.h>
#include <olectl.h>
#include <shlobj.h>
#include <urlmon.h>

#include <cwchar>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "common/MessagePump.h"

namespace {

// Two identifiers MinGW's libuuid does not carry.
const GUID kConfirmObjectSafety = {
    0x10200490, 0xfa38, 0x11d0, {0xac, 0x0e, 0x00, 0xa0, 0xc9, 0x0f, 0xff, 0xc0}};
#ifdef _WIN64
const IID kIActiveScriptParse = {
    0xc7ef7658, 0xe1ee, 0x480e, {0x97, 0xea, 0xd5, 0x2c, 0xb4, 0xd7, 0x6d, 0x17}};
#else
const IID kIActiveScriptParse = {
    0xbb1a2ae2, 0xa4f9, 0x11cf, {0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64}};
#endif

enum ExitCode : int {
    kExitOk = 0,
    kExitScriptError = 2,
    kExitEventError = 3,
    kExitPageTimeout = 4,
    kExitUsage = 64
};

// One owned COM reference.
template <class T>
class Ref {
public:
    Ref() = default;
    Ref(const Ref& other) : p_(other.p_) {
        if (p_) p_->AddRef();
    }
    Ref& operator=(Ref other) {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Reset(); }
    // Takes a reference the caller already owns.
    static Ref Adopt(T* p) {
        Ref r;
        r.p_ = p;
        return r;
    }
    void Reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    T** Put() {
        Reset();
        return &p_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

struct Bstr {
    BSTR text = nullptr;
    Bstr() = default;
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(text); }
    std::wstring Str() const { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }
};

struct Variant : VARIANT {
    Variant() { VariantInit(this); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { VariantClear(this); }
};

struct ExcepInfo : EXCEPINFO {
    ExcepInfo() : EXCEPINFO() {}
    ExcepInfo(const ExcepInfo&) = delete;
    ExcepInfo& operator=(const ExcepInfo&) = delete;
    ~ExcepInfo() {
        SysFreeString(bstrSource);
        SysFreeString(bstrDescription);
        SysFreeString(bstrHelpFile);
    }
    void FillIn() {
        if (pfnDeferredFillIn) pfnDeferredFillIn(this);
        pfnDeferredFillIn = nullptr;
    }
    std::wstring Description() const {
        return bstrDescription ? std::wstring(bstrDescription) : std::wstring(L"(no description)");
    }
};

// Text goes out as UTF-8 bytes (a pipe or file is read by the Linux side), or as wide text to a console.
void Write(DWORD stdHandle, const std::wstring& text) {
    HANDLE h = GetStdHandle(stdHandle);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return;
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(h, &mode)) {
        WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr,
                            nullptr);
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    FlushFileBuffers(h);
}

std::wstring HresultText(HRESULT hr) {
    wchar_t buf[16];
    swprintf(buf, 16, L"0x%08lx", static_cast<unsigned long>(hr));
    return buf;
}

std::wstring VarTypeName(VARTYPE vt) {
    static const struct {
        VARTYPE vt;
        const wchar_t* name;
    } kNames[] = {{VT_EMPTY, L"VT_EMPTY"},     {VT_NULL, L"VT_NULL"},
                  {VT_I2, L"VT_I2"},           {VT_I4, L"VT_I4"},
                  {VT_R4, L"VT_R4"},           {VT_R8, L"VT_R8"},
                  {VT_BSTR, L"VT_BSTR"},       {VT_DISPATCH, L"VT_DISPATCH"},
                  {VT_BOOL, L"VT_BOOL"},       {VT_VARIANT, L"VT_VARIANT"},
                  {VT_UNKNOWN, L"VT_UNKNOWN"}, {VT_I1, L"VT_I1"},
                  {VT_UI1, L"VT_UI1"},         {VT_UI2, L"VT_UI2"},
                  {VT_UI4, L"VT_UI4"},         {VT_I8, L"VT_I8"},
                  {VT_UI8, L"VT_UI8"},         {VT_INT, L"VT_INT"},
                  {VT_UINT, L"VT_UINT"}};
    std::wstring prefix;
    if (vt & VT_BYREF) prefix += L"VT_BYREF|";
    if (vt & VT_ARRAY) prefix += L"VT_ARRAY|";
    VARTYPE base = vt & VT_TYPEMASK;
    for (const auto& n : kNames)
        if (n.vt == base) return prefix + n.name;
    wchar_t buf[16];
    swprintf(buf, 16, L"VT_%u", static_cast<unsigned>(base));
    return prefix + buf;
}

class ScriptHost;

// What a sink does with an event: the event's name in the object's type library, its arguments as the object
// sent them (last first), and the result to fill in.
using EventHandler = std::function<HRESULT(const std::wstring& event, DISPPARAMS* params, VARIANT* result)>;

// A reference-counted IDispatch of the host's own; the engine and the page's objects may keep it.
class CountedDispatch : public IDispatch {
public:
    virtual ~CountedDispatch() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch && !Answers(riid)) return E_NOINTERFACE;
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }

protected:
    // An interface besides IUnknown and IDispatch that this object answers as its IDispatch.
    virtual bool Answers(REFIID) const { return false; }

private:
    LONG refs_ = 1;
};

// The sink ConnectObject and attachEvent advise: it answers the object's source interface and hands each
// event, by its name, to its handler.
class EventSink : public CountedDispatch {
public:
    EventSink(EventHandler handler, const IID& events, Ref<ITypeInfo> eventsInfo)
        : handler_(std::move(handler)), events_(events), eventsInfo_(std::move(eventsInfo)) {}
    virtual ~EventSink() = default;

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) override;

protected:
    bool Answers(REFIID riid) const override { return riid == events_; }

private:
    EventHandler handler_;
    IID events_;
    Ref<ITypeInfo> eventsInfo_;
};

// An IDispatch that the ScriptHost owns as a member, a named item: it lives as long as the host, so its count
// only tells the engine that it may keep using it.
class HostOwnedDispatch : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch) return E_NOINTERFACE;
        *out = static_cast<IDispatch*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
};

// The named item "Host".
class HostObject : public HostOwnedDispatch {
public:
    explicit HostObject(ScriptHost& host) : host_(host) {}

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excep, UINT* argError) override;

private:
    ScriptHost& host_;
};

// A page's <object> element around the object it holds, as a browser hands it to the page's script: every
// name goes to the object, except the element's own members, matched as written:
//   attachEvent(event, function)  the function is called with the event's arguments each time the object
//                                 raises the event (one sink on the object's connection point serves all)
//   detachEvent(event, function)  no longer
//   object                        the object itself
class PageObjectElement : public CountedDispatch {
public:
    PageObjectElement(ScriptHost& host, Ref<IDispatch> object) : host_(host), object_(std::move(object)) {}

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excep, UINT* argError) override;

private:
    HRESULT Attach(const std::wstring& event, IDispatch* function);
    HRESULT RaiseToHandlers(const std::wstring& event, DISPPARAMS* params, VARIANT* result);

    ScriptHost& host_;
    Ref<IDispatch> object_;
    bool advised_ = false;
    std::vector<std::pair<std::wstring, Ref<IDispatch>>> handlers_;  // in the order attached
};

// An element of the stand-in page that the named item "document" hands out by id: any property can be read
// (a value the page's fields were given, else the empty text) and written (the page's output: each write
// prints "#id.name = text" and is kept). Names are matched ignoring case.
class PageElement : public CountedDispatch {
public:
    PageElement(ScriptHost& host, std::wstring id) : host_(host), id_(std::move(id)) {}

    // Sets a property without printing it: what the page's HTML (or the test) gives a field.
    void Preset(const std::wstring& name, const std::wstring& text) { values_[Find(name)].second = text; }

    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) override;

private:
    // The index of the property, added when new.
    size_t Find(const std::wstring& name);

    ScriptHost& host_;
    std::wstring id_;
    std::vector<std::pair<std::wstring, std::wstring>> values_;
};

// The named item "document": getElementById(id) gives the page's element of that id, made on first use.
class PageDocument : public HostOwnedDispatch {
public:
    explicit PageDocument(ScriptHost& host) : host_(host) {}
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) override;

private:
    ScriptHost& host_;
};

enum HostMember : DISPID {
    kEcho = 1,
    kSleep,
    kQuit,
    kConnectObject,
    kDisconnectObject,
    kThreadId,
    kArg,
    kArgCount,
    kEventTypes,
    kCreateObject,
    kEmbed,
    kDropFiles,
    kElement,
    kWhen,
    kField,
};

const struct {
    const wchar_t* name;
    DISPID id;
} kHostMembers[] = {{L"Echo", kEcho},
                    {L"Sleep", kSleep},
                    {L"Quit", kQuit},
                    {L"ConnectObject", kConnectObject},
                    {L"DisconnectObject", kDisconnectObject},
                    {L"ThreadId", kThreadId},
                    {L"Arg", kArg},
                    {L"ArgCount", kArgCount},
                    {L"EventTypes", kEventTypes},
                    {L"CreateObject", kCreateObject},
                    {L"Embed", kEmbed},
                    {L"DropFiles", kDropFiles},
                    {L"Element", kElement},
                    {L"When", kWhen},
                    {L"Field", kField}};

// The script site, and the browser-like security manager the engine asks before ActiveXObject creates
// anything.
class ScriptHost : public IActiveScriptSite, public IServiceProvider, public IInternetHostSecurityManager {
public:
    ScriptHost(std::wstring scriptPath, std::wstring language, std::vector<std::wstring> args)
        : scriptPath_(std::move(scriptPath)),
          language_(std::move(language)),
          args_(std::move(args)),
          hostObject_(*this),
          document_(*this) {}

    int Run(const std::wstring& code);

    // Members of Host.
    HRESULT Echo(DISPPARAMS* params);
    HRESULT Sleep(DWORD ms);
    HRESULT Quit(int code);
    HRESULT ConnectObject(IDispatch* object, const std::wstring& prefix);
    HRESULT DisconnectObject(IDispatch* object);
    HRESULT When(const std::wstring& pattern, const std::wstring& code, int seconds);
    // The page's element of that id, made on first use.
    Ref<PageElement> Element(const std::wstring& id);
    // Whether the script's language names members exactly (JScript) or in any letter case (VBScript).
    bool ExactNames() const { return language_ == L"JScript"; }
    const std::vector<std::wstring>& Args() const { return args_; }
    const std::wstring& EventTypes() const { return eventTypes_; }
    bool Quitting() const { return quitting_; }

    // Advises a sink on the object's connection point (the first whose interface the object's type library
    // describes) that hands each event to handler; DisconnectObject and the end of the run unadvise it.
    HRESULT Advise(IDispatch* object, EventHandler handler);
    // Calls the script function named function with an event's arguments.
    HRESULT CallEvent(const std::wstring& function, DISPPARAMS* params, VARIANT* result);
    // Calls a script function object (DISPID_VALUE) with an event's arguments; what names it in a report.
    HRESULT CallFunction(IDispatch* function, const std::wstring& what, DISPPARAMS* params, VARIANT* result);
    // Prints a line of the script's output; the page's actions wait for the lines they name.
    void PrintLine(const std::wstring& line);

    // IUnknown: the host lives on main's stack for the whole run; the engine's references end at Close.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IActiveScriptSite)
            *out = static_cast<IActiveScriptSite*>(this);
        else if (riid == IID_IServiceProvider)
            *out = static_cast<IServiceProvider*>(this);
        else if (riid == IID_IInternetHostSecurityManager)
            *out = static_cast<IInternetHostSecurityManager*>(this);
        else
            return E_NOINTERFACE;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    // IActiveScriptSite
    HRESULT STDMETHODCALLTYPE GetLCID(LCID* lcid) override {
        if (lcid) *lcid = LOCALE_USER_DEFAULT;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item,
                                          ITypeInfo** info) override {
        if (item) *item = nullptr;
        if (info) *info = nullptr;
        IDispatch* named = nullptr;
        if (_wcsicmp(name, L"Host") == 0)
            named = &hostObject_;
        else if (_wcsicmp(name, L"document") == 0)
            named = &document_;
        else
            return TYPE_E_ELEMENTNOTFOUND;
        if ((mask & SCRIPTINFO_IUNKNOWN) && item) *item = named;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR* version) override {
        if (version) *version = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override;
    HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }

    // IServiceProvider
    HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (service == SID_SInternetHostSecurityManager) return QueryInterface(riid, out);
        return E_NOINTERFACE;
    }

    // IInternetHostSecurityManager
    HRESULT STDMETHODCALLTYPE GetSecurityId(BYTE*, DWORD*, DWORD_PTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ProcessUrlAction(DWORD, BYTE* policy, DWORD policySize, BYTE*, DWORD, DWORD,
                                               DWORD) override {
        if (policy && policySize >= sizeof(DWORD)) *reinterpret_cast<DWORD*>(policy) = URLPOLICY_ALLOW;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryCustomPolicy(REFGUID key, BYTE** policy, DWORD* policySize, BYTE* context,
                                                DWORD contextSize, DWORD) override;

private:
    // Calls a member of a script object with an event's arguments; a failure is reported and ends the run.
    HRESULT CallMember(IDispatch* target, DISPID id, const std::wstring& what, DISPPARAMS* params,
                       VARIANT* result);
    void DisconnectAll();
    // After the script: dispatches messages as a page's thread does, carrying out the actions of When in
    // turn, until the last one ends the page, an action waits too long, or the script fails or quits.
    void RunPage();

    // A step of the page: when a printed line matches pattern (at once when it is empty), run code; an
    // empty code ends the page.
    struct Action {
        std::wstring pattern;
        std::wregex regex;
        std::wstring code;
        DWORD limit;  // milliseconds to wait for the line, from when the step before ran
    };

    struct Connection {
        Ref<IUnknown> object;  // identity of the connected object
        Ref<IConnectionPoint> point;
        DWORD cookie;
    };

    std::wstring scriptPath_;
    std::wstring language_;
    std::vector<std::wstring> args_;
    HostObject hostObject_;
    PageDocument document_;
    std::map<std::wstring, Ref<PageElement>> elements_;
    std::vector<Action> actions_;
    size_t nextAction_ = 0;
    bool actionReady_ = false;
    DWORD actionArmed_ = 0;
    Ref<IActiveScript> engine_;
    Ref<IActiveScriptParse> parse_;
    Ref<IDispatch> global_;
    std::vector<Connection> connections_;
    std::wstring eventTypes_;
    bool quitting_ = false;
    bool eventFailed_ = false;
    int exitCode_ = kExitOk;
};

HRESULT STDMETHODCALLTYPE EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                            VARIANT* result, EXCEPINFO*, UINT*) {
    Bstr name;
    UINT count = 0;
    if (FAILED(eventsInfo_->GetNames(id, &name.text, 1, &count)) || count == 0) return DISP_E_MEMBERNOTFOUND;
    return handler_(name.Str(), params, result);
}

HRESULT STDMETHODCALLTYPE HostObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        if (i > 0) {
            hr = DISP_E_UNKNOWNNAME;  // members take no named arguments
            continue;
        }
        for (const auto& m : kHostMembers)
            if (_wcsicmp(names[0], m.name) == 0) ids[0] = m.id;
        if (ids[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

// Arguments arrive last first; Argument(params, 0) is the first one the script wrote.
VARIANT* Argument(DISPPARAMS* params, UINT index) {
    if (!params || index >= params->cArgs) return nullptr;
    return &params->rgvarg[params->cArgs - 1 - index];
}

HRESULT ArgumentAs(DISPPARAMS* params, UINT index, VARTYPE type, Variant& out) {
    VARIANT* arg = Argument(params, index);
    if (!arg) return DISP_E_BADPARAMCOUNT;
    return VariantChangeType(&out, arg, 0, type);
}

// A page's <object>: the control in the system's container window, in a frame window of the host's own.
// The windows live as long as the process.
HRESULT EmbedControl(const wchar_t* progId, IDispatch** out) {
    *out = nullptr;
    // Drag and drop needs OLE on the page's thread; it stays initialised for the process.
    const HRESULT ole = OleInitialize(nullptr);
    if (FAILED(ole)) return ole;
    HMODULE atl = LoadLibraryW(L"atl.dll");
    auto init =
        atl ? reinterpret_cast<BOOL(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")))
            : nullptr;
    auto getControl = atl ? reinterpret_cast<HRESULT(WINAPI*)(HWND, IUnknown**)>(
                                reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxGetControl")))
                          : nullptr;
    if (!init || !getControl || !init()) return E_FAIL;
    WNDCLASSW frameClass{};
    frameClass.lpfnWndProc = DefWindowProcW;
    frameClass.hInstance = GetModuleHandleW(nullptr);
    frameClass.lpszClassName = L"KorvaneScriptPage";
    RegisterClassW(&frameClass);
    HWND frame = CreateWindowExW(0, L"KorvaneScriptPage", L"page", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                 400, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!frame) return HRESULT_FROM_WIN32(GetLastError());
    HWND container = CreateWindowExW(0, L"AtlAxWin", progId, WS_CHILD | WS_VISIBLE, 10, 10, 300, 200, frame,
                                     nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!container) return HRESULT_FROM_WIN32(GetLastError());
    Ref<IUnknown> control;
    HRESULT hr = getControl(container, control.Put());
    if (FAILED(hr)) return hr;
    return control->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(out));
}

// What the shell offers while dragging files: a file list in global memory, nothing else.
class FileListData : public IDataObject {
public:
    explicit FileListData(std::vector<std::wstring> paths) : paths_(std::move(paths)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = (iid == IID_IUnknown || iid == IID_IDataObject) ? static_cast<IDataObject*>(this) : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on the caller's stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (!format || !medium) return E_INVALIDARG;
        if (QueryGetData(format) != S_OK) return DV_E_FORMATETC;
        size_t characters = 1;
        for (const std::wstring& path : paths_) characters += path.size() + 1;
        if (characters < 2) characters = 2;
        HGLOBAL memory =
            GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + characters * sizeof(wchar_t));
        if (!memory) return E_OUTOFMEMORY;
        auto* files = static_cast<DROPFILES*>(GlobalLock(memory));
        files->pFiles = sizeof(DROPFILES);
        files->fWide = TRUE;
        auto* at = reinterpret_cast<wchar_t*>(files + 1);
        for (const std::wstring& path : paths_) at += path.copy(at, path.size()) + 1;
        GlobalUnlock(memory);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = memory;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override {
        return format && format->cfFormat == CF_HDROP && (format->tymed & TYMED_HGLOBAL) ? S_OK
                                                                                         : DV_E_FORMATETC;
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

private:
    std::vector<std::wstring> paths_;
};

// Drags the paths over the control's window and drops them, as the shell does; Drop's result.
HRESULT DropFilesOn(IDispatch* control, std::vector<std::wstring> paths) {
    Ref<IOleWindow> window;
    HRESULT hr = control->QueryInterface(IID_IOleWindow, window.PutVoid());
    if (FAILED(hr)) return hr;
    HWND handle = nullptr;
    if (FAILED(hr = window->GetWindow(&handle))) return hr;
    auto* target = static_cast<IDropTarget*>(GetPropW(handle, L"OleDropTargetInterface"));
    if (!target) return E_FAIL;
    Ref<IDropTarget> held = Ref<IDropTarget>::Adopt(target);
    target->AddRef();
    FileListData data(std::move(paths));
    const POINTL point{20, 20};
    DWORD effect = DROPEFFECT_COPY;
    if (FAILED(hr = target->DragEnter(&data, 0, point, &effect))) return hr;
    effect = DROPEFFECT_COPY;
    if (FAILED(hr = target->DragOver(0, point, &effect))) return hr;
    effect = DROPEFFECT_COPY;
    return target->Drop(&data, 0, point, &effect);
}

HRESULT STDMETHODCALLTYPE HostObject::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                             VARIANT* result, EXCEPINFO*, UINT*) {
    // After Quit every call fails, so that the rest of the script does not run.
    if (host_.Quitting()) return E_ABORT;
    Variant a, b;
    HRESULT hr = S_OK;
    switch (id) {
        case kEcho:
            return host_.Echo(params);
        case kSleep:
            if (FAILED(hr = ArgumentAs(params, 0, VT_I4, a))) return hr;
            return host_.Sleep(V_I4(&a) < 0 ? 0 : static_cast<DWORD>(V_I4(&a)));
        case kQuit:
            if (Argument(params, 0) && FAILED(hr = ArgumentAs(params, 0, VT_I4, a))) return hr;
            return host_.Quit(Argument(params, 0) ? V_I4(&a) : 0);
        case kConnectObject:
            if (FAILED(hr = ArgumentAs(params, 0, VT_DISPATCH, a))) return hr;
            if (FAILED(hr = ArgumentAs(params, 1, VT_BSTR, b))) return hr;
            if (!V_DISPATCH(&a)) return E_INVALIDARG;
            return host_.ConnectObject(V_DISPATCH(&a), V_BSTR(&b) ? V_BSTR(&b) : L"");
        case kDisconnectObject:
            if (FAILED(hr = ArgumentAs(params, 0, VT_DISPATCH, a))) return hr;
            if (!V_DISPATCH(&a)) return E_INVALIDARG;
            return host_.DisconnectObject(V_DISPATCH(&a));
        case kThreadId:
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = static_cast<LONG>(GetCurrentThreadId());
            }
            return S_OK;
        case kArg: {
            if (FAILED(hr = ArgumentAs(params, 0, VT_I4, a))) return hr;
            const auto& args = host_.Args();
            if (V_I4(&a) < 0 || static_cast<size_t>(V_I4(&a)) >= args.size()) return DISP_E_BADINDEX;
            if (result) {
                V_VT(result) = VT_BSTR;
                V_BSTR(result) = SysAllocString(args[V_I4(&a)].c_str());
            }
            return S_OK;
        }
        case kArgCount:
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = static_cast<LONG>(host_.Args().size());
            }
            return S_OK;
        case kEventTypes:
            if (result) {
                V_VT(result) = VT_BSTR;
                V_BSTR(result) = SysAllocString(host_.EventTypes().c_str());
            }
            return S_OK;
        case kCreateObject: {
            if (FAILED(hr = ArgumentAs(params, 0, VT_BSTR, a))) return hr;
            CLSID clsid;
            const wchar_t* name = V_BSTR(&a) ? V_BSTR(&a) : L"";
            if (FAILED(hr = name[0] == L'{' ? CLSIDFromString(name, &clsid) : CLSIDFromProgID(name, &clsid)))
                return hr;
            Ref<IDispatch> object;
            if (FAILED(hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                             object.PutVoid())))
                return hr;
            if (result) {
                V_VT(result) = VT_DISPATCH;
                V_DISPATCH(result) = object.Get();
                object->AddRef();
            }
            return S_OK;
        }
        case kEmbed: {
            if (FAILED(hr = ArgumentAs(params, 0, VT_BSTR, a))) return hr;
            Ref<IDispatch> control;
            if (FAILED(hr = EmbedControl(V_BSTR(&a) ? V_BSTR(&a) : L"", control.Put()))) return hr;
            if (result) {
                V_VT(result) = VT_DISPATCH;
                V_DISPATCH(result) = control.Get();
                control->AddRef();
            }
            return S_OK;
        }
        case kDropFiles: {
            if (FAILED(hr = ArgumentAs(params, 0, VT_DISPATCH, a))) return hr;
            if (!V_DISPATCH(&a)) return E_INVALIDARG;
            std::vector<std::wstring> paths;
            for (UINT i = 1; i < params->cArgs; ++i) {
                Variant path;
                if (FAILED(hr = ArgumentAs(params, i, VT_BSTR, path))) return hr;
                paths.emplace_back(V_BSTR(&path) ? V_BSTR(&path) : L"");
            }
            hr = DropFilesOn(V_DISPATCH(&a), std::move(paths));
            if (result) {
                V_VT(result) = VT_I4;
                V_I4(result) = hr;
            }
            return S_OK;
        }
        case kElement: {
            if (FAILED(hr = ArgumentAs(params, 0, VT_DISPATCH, a))) return hr;
            if (!V_DISPATCH(&a)) return E_INVALIDARG;
            Ref<IDispatch> object = Ref<IDispatch>::Adopt(V_DISPATCH(&a));
            V_DISPATCH(&a)->AddRef();
            if (result) {
                V_VT(result) = VT_DISPATCH;
                V_DISPATCH(result) = new PageObjectElement(host_, object);
            }
            return S_OK;
        }
        case kWhen: {
            Variant code, seconds;
            if (FAILED(hr = ArgumentAs(params, 0, VT_BSTR, a))) return hr;
            if (FAILED(hr = ArgumentAs(params, 1, VT_BSTR, code))) return hr;
            if (Argument(params, 2) && FAILED(hr = ArgumentAs(params, 2, VT_I4, seconds))) return hr;
            return host_.When(V_BSTR(&a) ? V_BSTR(&a) : L"", V_BSTR(&code) ? V_BSTR(&code) : L"",
                              Argument(params, 2) ? V_I4(&seconds) : 0);
        }
        case kField: {
            Variant text;
            if (FAILED(hr = ArgumentAs(params, 0, VT_BSTR, a))) return hr;
            if (FAILED(hr = ArgumentAs(params, 1, VT_BSTR, b))) return hr;
            if (FAILED(hr = ArgumentAs(params, 2, VT_BSTR, text))) return hr;
            host_.Element(V_BSTR(&a) ? V_BSTR(&a) : L"")
                ->Preset(V_BSTR(&b) ? V_BSTR(&b) : L"", V_BSTR(&text) ? V_BSTR(&text) : L"");
            return S_OK;
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
}

// ---- the stand-in page

namespace {
constexpr DISPID kAttachEvent = 0x7F000001;
constexpr DISPID kDetachEvent = 0x7F000002;
constexpr DISPID kElementObject = 0x7F000003;
constexpr DISPID kGetElementById = 1;
}  // namespace

HRESULT STDMETHODCALLTYPE PageObjectElement::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count,
                                                           LCID lcid, DISPID* ids) {
    if (count == 1 && names && names[0]) {
        // JScript names members exactly; VBScript in any letter case.
        auto is = [&](const wchar_t* own) {
            return host_.ExactNames() ? wcscmp(names[0], own) == 0 : _wcsicmp(names[0], own) == 0;
        };
        const DISPID own = is(L"attachEvent")   ? kAttachEvent
                           : is(L"detachEvent") ? kDetachEvent
                           : is(L"object")      ? kElementObject
                                                : DISPID_UNKNOWN;
        if (own != DISPID_UNKNOWN) {
            ids[0] = own;
            return S_OK;
        }
    }
    return object_->GetIDsOfNames(riid, names, count, lcid, ids);
}

HRESULT STDMETHODCALLTYPE PageObjectElement::Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                                    DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                                    UINT* argError) {
    Variant event, function;
    HRESULT hr = S_OK;
    switch (id) {
        case kElementObject:
            if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
            if (result) {
                V_VT(result) = VT_DISPATCH;
                V_DISPATCH(result) = object_.Get();
                object_->AddRef();
            }
            return S_OK;
        case kAttachEvent:
        case kDetachEvent: {
            if (FAILED(hr = ArgumentAs(params, 0, VT_BSTR, event))) return hr;
            if (FAILED(hr = ArgumentAs(params, 1, VT_DISPATCH, function))) return hr;
            const std::wstring name = V_BSTR(&event) ? V_BSTR(&event) : L"";
            if (id == kAttachEvent) {
                hr = Attach(name, V_DISPATCH(&function));
            } else {
                for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
                    if (it->first == name && it->second.Get() == V_DISPATCH(&function)) {
                        handlers_.erase(it);
                        break;
                    }
                }
            }
            if (result) {
                V_VT(result) = VT_BOOL;
                V_BOOL(result) = SUCCEEDED(hr) ? VARIANT_TRUE : VARIANT_FALSE;
            }
            return S_OK;
        }
        default:
            return object_->Invoke(id, riid, lcid, flags, params, result, excep, argError);
    }
}

HRESULT PageObjectElement::Attach(const std::wstring& event, IDispatch* function) {
    if (!function) return E_INVALIDARG;
    if (!advised_) {
        // The sink keeps the element; the end of the run unadvises it.
        Ref<PageObjectElement> self = Ref<PageObjectElement>::Adopt(this);
        AddRef();
        const HRESULT hr = host_.Advise(
            object_.Get(), [self](const std::wstring& name, DISPPARAMS* params, VARIANT* result) {
                return self->RaiseToHandlers(name, params, result);
            });
        if (FAILED(hr)) return hr;
        advised_ = true;
    }
    Ref<IDispatch> held = Ref<IDispatch>::Adopt(function);
    function->AddRef();
    handlers_.emplace_back(event, held);
    return S_OK;
}

HRESULT PageObjectElement::RaiseToHandlers(const std::wstring& event, DISPPARAMS* params, VARIANT* result) {
    // A handler may attach or detach others: the ones attached now are called.
    std::vector<Ref<IDispatch>> functions;
    for (const auto& handler : handlers_)
        if (handler.first == event) functions.push_back(handler.second);
    HRESULT hr = S_OK;
    for (const auto& function : functions)
        hr = host_.CallFunction(function.Get(), L"attachEvent function of " + event, params, result);
    return hr;
}

size_t PageElement::Find(const std::wstring& name) {
    for (size_t i = 0; i < values_.size(); ++i)
        if (_wcsicmp(values_[i].first.c_str(), name.c_str()) == 0) return i;
    values_.emplace_back(name, std::wstring());
    return values_.size() - 1;
}

HRESULT STDMETHODCALLTYPE PageElement::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (count != 1 || !names || !names[0]) return DISP_E_UNKNOWNNAME;
    ids[0] = static_cast<DISPID>(Find(names[0]) + 1);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PageElement::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                              VARIANT* result, EXCEPINFO*, UINT*) {
    if (id < 1 || static_cast<size_t>(id) > values_.size()) return DISP_E_MEMBERNOTFOUND;
    auto& property = values_[id - 1];
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        Variant text;
        HRESULT hr = ArgumentAs(params, 0, VT_BSTR, text);
        if (FAILED(hr)) return hr;
        property.second = V_BSTR(&text) ? std::wstring(V_BSTR(&text), SysStringLen(V_BSTR(&text))) : L"";
        host_.PrintLine(L"#" + id_ + L"." + property.first + L" = " + property.second);
        return S_OK;
    }
    if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    if (result) {
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocStringLen(property.second.data(), static_cast<UINT>(property.second.size()));
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PageDocument::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                                      DISPID* ids) {
    if (count != 1 || !names || !names[0] || _wcsicmp(names[0], L"getElementById") != 0) {
        if (ids) ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    ids[0] = kGetElementById;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PageDocument::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                               VARIANT* result, EXCEPINFO*, UINT*) {
    if (id != kGetElementById) return DISP_E_MEMBERNOTFOUND;
    Variant name;
    HRESULT hr = ArgumentAs(params, 0, VT_BSTR, name);
    if (FAILED(hr)) return hr;
    Ref<PageElement> element = host_.Element(V_BSTR(&name) ? V_BSTR(&name) : L"");
    if (result) {
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = element.Get();
        element->AddRef();
    }
    return S_OK;
}

HRESULT ScriptHost::Echo(DISPPARAMS* params) {
    std::wstring line;
    UINT count = params ? params->cArgs : 0;
    for (UINT i = 0; i < count; ++i) {
        Variant text;
        HRESULT hr = VariantChangeType(&text, Argument(params, i), VARIANT_ALPHABOOL, VT_BSTR);
        if (i > 0) line += L' ';
        if (SUCCEEDED(hr))
            line += V_BSTR(&text) ? V_BSTR(&text) : L"";
        else
            line += L"(" + VarTypeName(V_VT(Argument(params, i))) + L")";
    }
    PrintLine(line);
    return S_OK;
}

HRESULT ScriptHost::Sleep(DWORD ms) {
    return testcommon::PumpMessages(ms, [this] { return eventFailed_; }) ? S_OK : E_FAIL;
}

HRESULT ScriptHost::Quit(int code) {
    exitCode_ = code;
    quitting_ = true;
    return E_ABORT;  // unwinds the script; OnScriptError knows to stay quiet
}

HRESULT ScriptHost::Advise(IDispatch* object, EventHandler handler) {
    Ref<IConnectionPointContainer> container;
    HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
    if (FAILED(hr)) return hr;
    Ref<ITypeInfo> objectInfo;
    Ref<ITypeLib> library;
    UINT index = 0;
    if (FAILED(hr = object->GetTypeInfo(0, 0, objectInfo.Put()))) return hr;
    if (FAILED(hr = objectInfo->GetContainingTypeLib(library.Put(), &index))) return hr;

    Ref<IEnumConnectionPoints> points;
    if (FAILED(hr = container->EnumConnectionPoints(points.Put()))) return hr;
    Ref<IConnectionPoint> point;
    while (points->Next(1, point.Put(), nullptr) == S_OK) {
        IID events;
        Ref<ITypeInfo> eventsInfo;
        if (FAILED(point->GetConnectionInterface(&events))) continue;
        if (FAILED(library->GetTypeInfoOfGuid(events, eventsInfo.Put()))) continue;
        Ref<IUnknown> sink = Ref<IUnknown>::Adopt(new EventSink(std::move(handler), events, eventsInfo));
        DWORD cookie = 0;
        if (FAILED(hr = point->Advise(sink.Get(), &cookie))) return hr;
        Ref<IUnknown> identity;
        object->QueryInterface(IID_IUnknown, identity.PutVoid());
        connections_.push_back({identity, point, cookie});
        return S_OK;
    }
    return CONNECT_E_NOCONNECTION;
}

HRESULT ScriptHost::ConnectObject(IDispatch* object, const std::wstring& prefix) {
    return Advise(object, [this, prefix](const std::wstring& event, DISPPARAMS* params, VARIANT* result) {
        return CallEvent(prefix + event, params, result);
    });
}

HRESULT ScriptHost::DisconnectObject(IDispatch* object) {
    Ref<IUnknown> identity;
    object->QueryInterface(IID_IUnknown, identity.PutVoid());
    HRESULT hr = CONNECT_E_NOCONNECTION;
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->object.Get() == identity.Get()) {
            hr = it->point->Unadvise(it->cookie);
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
    return hr;
}

void ScriptHost::DisconnectAll() {
    // Moved out first: an Unadvise can release the last reference to an object, which may call back in.
    std::vector<Connection> connections;
    connections.swap(connections_);
    for (auto& c : connections) c.point->Unadvise(c.cookie);
}

HRESULT ScriptHost::CallEvent(const std::wstring& function, DISPPARAMS* params, VARIANT* result) {
    if (!global_) return E_UNEXPECTED;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(function.c_str());
    if (FAILED(global_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id)))
        return S_OK;  // the script does not listen to this event
    Ref<IDispatch> global = global_;
    return CallMember(global.Get(), id, L"event function " + function, params, result);
}

HRESULT ScriptHost::CallFunction(IDispatch* function, const std::wstring& what, DISPPARAMS* params,
                                 VARIANT* result) {
    return CallMember(function, DISPID_VALUE, what, params, result);
}

HRESULT ScriptHost::CallMember(IDispatch* target, DISPID id, const std::wstring& what, DISPPARAMS* params,
                               VARIANT* result) {
    std::wstring types;
    for (UINT i = 0; params && i < params->cArgs; ++i) {
        if (i > 0) types += L',';
        types += VarTypeName(V_VT(Argument(params, i)));
    }
    // Events can nest (an event function that sleeps); each sees its own argument types.
    std::wstring outerTypes = std::exchange(eventTypes_, types);
    ExcepInfo excep;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    HRESULT hr = target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params ? params : &none,
                                result, &excep, nullptr);
    eventTypes_ = std::move(outerTypes);
    if (FAILED(hr) && !quitting_) {
        excep.FillIn();
        Write(STD_ERROR_HANDLE, scriptPath_ + L": " + what + L" failed: " + excep.Description() + L" (" +
                                    HresultText(hr) + L")\n");
        eventFailed_ = true;
    }
    return hr;
}

void ScriptHost::PrintLine(const std::wstring& line) {
    Write(STD_OUTPUT_HANDLE, line + L"\n");
    if (actionReady_ || nextAction_ >= actions_.size()) return;
    // Each line of the text on its own, as a page's reader would see them.
    size_t start = 0;
    while (start <= line.size()) {
        size_t end = line.find(L'\n', start);
        if (end == std::wstring::npos) end = line.size();
        if (std::regex_search(line.begin() + start, line.begin() + end, actions_[nextAction_].regex)) {
            actionReady_ = true;
            return;
        }
        start = end + 1;
    }
}

HRESULT ScriptHost::When(const std::wstring& pattern, const std::wstring& code, int seconds) {
    Action action{pattern, std::wregex(), code, static_cast<DWORD>(seconds > 0 ? seconds : 120) * 1000};
    try {
        action.regex = std::wregex(pattern);
    } catch (const std::regex_error&) {
        return E_INVALIDARG;
    }
    actions_.push_back(std::move(action));
    if (actions_.size() == nextAction_ + 1) {
        actionReady_ = pattern.empty();
        actionArmed_ = GetTickCount();
    }
    return S_OK;
}

Ref<PageElement> ScriptHost::Element(const std::wstring& id) {
    auto found = elements_.find(id);
    if (found != elements_.end()) return found->second;
    Ref<PageElement> element = Ref<PageElement>::Adopt(new PageElement(*this, id));
    elements_[id] = element;
    return element;
}

void ScriptHost::RunPage() {
    while (!quitting_ && !eventFailed_ && exitCode_ == kExitOk && nextAction_ < actions_.size()) {
        if (actionReady_) {
            // The lines the step prints already count for the next one.
            const Action action = actions_[nextAction_++];
            actionReady_ = nextAction_ < actions_.size() && actions_[nextAction_].pattern.empty();
            actionArmed_ = GetTickCount();
            if (action.code.empty()) return;
            ExcepInfo excep;
            const HRESULT hr = parse_->ParseScriptText(action.code.c_str(), nullptr, nullptr, nullptr, 0, 0,
                                                       SCRIPTTEXT_ISVISIBLE, nullptr, &excep);
            if (FAILED(hr) && exitCode_ == kExitOk && !quitting_) {
                excep.FillIn();
                Write(STD_ERROR_HANDLE, scriptPath_ + L": page step \"" + action.code + L"\" failed: " +
                                            excep.Description() + L" (" + HresultText(hr) + L")\n");
                exitCode_ = kExitScriptError;
            }
            continue;
        }
        const Action& waiting = actions_[nextAction_];
        if (GetTickCount() - actionArmed_ >= waiting.limit) {
            Write(STD_ERROR_HANDLE, scriptPath_ + L": no line matched /" + waiting.pattern + L"/ within " +
                                        std::to_wstring(waiting.limit / 1000) + L" s\n");
            exitCode_ = kExitPageTimeout;
            return;
        }
        testcommon::PumpMessages(100, [this] { return actionReady_ || eventFailed_ || quitting_; });
    }
}

HRESULT STDMETHODCALLTYPE ScriptHost::OnScriptError(IActiveScriptError* error) {
    ExcepInfo excep;
    error->GetExceptionInfo(&excep);
    if (quitting_) return S_OK;
    excep.FillIn();
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    error->GetSourcePosition(&context, &line, &column);
    wchar_t position[48];
    swprintf(position, 48, L"(%lu,%ld)", line + 1, column + 1);
    HRESULT code = excep.scode ? excep.scode : static_cast<HRESULT>(excep.wCode);
    Write(STD_ERROR_HANDLE, scriptPath_ + position + L": script error " + HresultText(code) + L": " +
                                excep.Description() + L"\n");
    if (exitCode_ != kExitEventError) exitCode_ = kExitScriptError;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ScriptHost::QueryCustomPolicy(REFGUID key, BYTE** policy, DWORD* policySize,
                                                        BYTE* context, DWORD contextSize, DWORD) {
    if (!policy || !policySize) return E_POINTER;
    *policy = nullptr;
    *policySize = 0;
    if (key != kConfirmObjectSafety) return E_NOTIMPL;
    // As a page's browser does: an object is scripted only when it agrees to be safe for untrusted callers.
    DWORD verdict = URLPOLICY_ALLOW;
    if (context && contextSize >= sizeof(CONFIRMSAFETY)) {
        const CONFIRMSAFETY* confirm = reinterpret_cast<const CONFIRMSAFETY*>(context);
        Ref<IObjectSafety> safety;
        if (confirm->pUnk && SUCCEEDED(confirm->pUnk->QueryInterface(IID_IObjectSafety, safety.PutVoid())) &&
            FAILED(safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                     INTERFACESAFE_FOR_UNTRUSTED_CALLER)))
            verdict = URLPOLICY_DISALLOW;
    }
    DWORD* answer = static_cast<DWORD*>(CoTaskMemAlloc(sizeof(DWORD)));
    if (!answer) return E_OUTOFMEMORY;
    *answer = verdict;
    *policy = reinterpret_cast<BYTE*>(answer);
    *policySize = sizeof(DWORD);
    return S_OK;
}

int ScriptHost::Run(const std::wstring& code) {
    CLSID engineClass;
    HRESULT hr = CLSIDFromProgID(language_.c_str(), &engineClass);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(engineClass, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                              engine_.PutVoid());
    if (FAILED(hr)) {
        Write(STD_ERROR_HANDLE, L"cannot create the " + language_ + L" engine: " + HresultText(hr) + L"\n");
        return kExitUsage;
    }
    if (FAILED(hr = engine_->QueryInterface(kIActiveScriptParse, parse_.PutVoid()))) return kExitUsage;

    // The options a browser gives a page's engine; they are what lets ActiveXObject ask our security manager.
    Ref<IObjectSafety> safety;
    if (SUCCEEDED(engine_->QueryInterface(IID_IObjectSafety, safety.PutVoid()))) {
        const DWORD options =
            INTERFACESAFE_FOR_UNTRUSTED_DATA | INTERFACE_USES_DISPEX | INTERFACE_USES_SECURITY_MANAGER;
        safety->SetInterfaceSafetyOptions(kIActiveScriptParse, options, options);
    }
    if (FAILED(hr = engine_->SetScriptSite(static_cast<IActiveScriptSite*>(this))) ||
        FAILED(hr = parse_->InitNew()) || FAILED(hr = engine_->AddNamedItem(L"Host", SCRIPTITEM_ISVISIBLE)) ||
        FAILED(hr = engine_->AddNamedItem(L"document", SCRIPTITEM_ISVISIBLE)) ||
        FAILED(hr = engine_->GetScriptDispatch(nullptr, global_.Put()))) {
        Write(STD_ERROR_HANDLE, L"cannot set up the " + language_ + L" engine: " + HresultText(hr) + L"\n");
        return kExitUsage;
    }
    ExcepInfo excep;
    hr = parse_->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISVISIBLE, nullptr,
                                 &excep);
    if (SUCCEEDED(hr)) hr = engine_->SetScriptState(SCRIPTSTATE_CONNECTED);
    if (FAILED(hr) && exitCode_ == kExitOk && !quitting_) {
        // A failure the engine did not report through OnScriptError (a syntax error, with some engines).
        excep.FillIn();
        Write(STD_ERROR_HANDLE,
              scriptPath_ + L": script failed: " + excep.Description() + L" (" + HresultText(hr) + L")\n");
        exitCode_ = kExitScriptError;
    }
    if (SUCCEEDED(hr)) RunPage();
    if (eventFailed_) exitCode_ = kExitEventError;

    // Sinks hold the engine's functions and connected objects hold sinks: break that before closing.
    DisconnectAll();
    global_.Reset();
    engine_->Close();
    parse_.Reset();
    safety.Reset();
    engine_.Reset();
    elements_.clear();
    return exitCode_;
}

bool ReadScript(const std::wstring& path, std::wstring& code) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string bytes;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(file, buf, sizeof buf, &got, nullptr) && got > 0) bytes.append(buf, got);
    CloseHandle(file);
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    // Scripts are UTF-8; anything that is not valid UTF-8 is read in the ANSI code page, as cscript reads it.
    UINT codePage = CP_UTF8;
    DWORD flags = MB_ERR_INVALID_CHARS;
    int n = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n == 0 && !bytes.empty()) {
        codePage = CP_ACP;
        flags = 0;
        n = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    }
    code.assign(n, L'\0');
    if (n > 0)
        MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), &code[0], n);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        Write(STD_ERROR_HANDLE, L"usage: host.exe file.js|file.vbs [args...]\n");
        return kExitUsage;
    }
    std::wstring code;
    if (!ReadScript(argv[1], code)) {
        Write(STD_ERROR_HANDLE, std::wstring(L"cannot read ") + argv[1] + L"\n");
        return kExitUsage;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return kExitUsage;
    int exitCode;
    {
        // A .vbs file is VBScript, anything else JScript.
        const std::wstring path = argv[1];
        const bool vbscript = path.size() >= 4 && _wcsicmp(path.c_str() + path.size() - 4, L".vbs") == 0;
        ScriptHost host(path, vbscript ? L"VBScript" : L"JScript",
                        std::vector<std::wstring>(argv + 2, argv + argc));
        exitCode = host.Run(code);
    }
    CoUninitialize();
    return exitCode;
}
