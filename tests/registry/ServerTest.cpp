// The server DLL in process: its exports, the merged proxy/stub's factory, the class factory, aggregation,
// the upload object's interface table and the class-library behaviour behind IObjectSafety,
// ISupportErrorInfo, IObjectWithSite, the connection point and dispatch through the registered type library.
#include <dispex.h>
#include <objsafe.h>
#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <vector>

#include "DualInterfaces.h"
#include "ServerFixture.h"
#include "classlib/Owners.h"

namespace {

// A COM object of the test's own that counts its references; what it answers is set per test. Methods a
// test does not expect fail it.
class CountedUnknown : public IDispatch {
public:
    explicit CountedUnknown(std::vector<IID> answers = {}) : answers_(std::move(answers)) {}
    virtual ~CountedUnknown() = default;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (InlineIsEqualGUID(iid, IID_IUnknown)) {
            *out = static_cast<IUnknown*>(this);
        } else {
            for (const IID& answered : answers_) {
                if (InlineIsEqualGUID(iid, answered)) *out = static_cast<IDispatch*>(this);
            }
        }
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the test's stack
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return Unexpected("GetTypeInfoCount"); }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return Unexpected("GetTypeInfo"); }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return Unexpected("GetIDsOfNames");
    }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return Unexpected("Invoke");
    }

    ULONG refs() const { return refs_; }

protected:
    static HRESULT Unexpected(const char* what) {
        ADD_FAILURE() << "unexpected call of " << what;
        return E_NOTIMPL;
    }

private:
    ULONG refs_ = 1;  // the test's own
    std::vector<IID> answers_;
};

// The controlling object of an aggregate: it hands every interface but IUnknown to the inner object.
class Outer : public CountedUnknown {
public:
    IUnknown* inner = nullptr;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!InlineIsEqualGUID(iid, IID_IUnknown) && inner) return inner->QueryInterface(iid, out);
        return CountedUnknown::QueryInterface(iid, out);
    }
};

// The module whose image holds an address (a function table), or null.
HMODULE ModuleOf(const void* address) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(address), &module);
    return module;
}

IUnknown* Identity(IUnknown* p) {
    IUnknown* identity = nullptr;
    EXPECT_EQ(p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    if (identity) identity->Release();
    return identity;
}

struct NamedIid {
    const char* name;
    const IID* iid;
};

}  // namespace

// Runs first, in a process with nothing alive yet (CTest runs every test in a process of its own).
TEST_F(ServerTest, CanUnloadNowFollowsObjectsFactoriesAndServerLocks) {
    ASSERT_EQ(dll().DllCanUnloadNow(), S_OK) << "nothing of the DLL is alive yet";

    CComPtr<IClassFactory> factory;
    ASSERT_EQ(dll().DllGetClassObject(CLSID_Korvane, IID_IClassFactory, factory.ReceiveVoid()), S_OK);
    EXPECT_EQ(dll().DllCanUnloadNow(), S_FALSE) << "a client holds the class factory";
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Release();
    EXPECT_EQ(dll().DllCanUnloadNow(), S_FALSE) << "the server is locked";

    ASSERT_EQ(dll().DllGetClassObject(CLSID_Korvane, IID_IClassFactory, factory.ReceiveVoid()), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Release();
    EXPECT_EQ(dll().DllCanUnloadNow(), S_OK) << "lock and factory released";

    CComPtr<IKorvane> object;
    ASSERT_EQ(Create(IID_IKorvane, &object), S_OK);
    EXPECT_EQ(dll().DllCanUnloadNow(), S_FALSE) << "an upload object is alive";
}

// The merged proxy/stub: its factory is served first, under the IID of IKorvane, and is the one the registry
// names for every dual interface; the DLL stays loaded while a proxy or stub it made lives.
TEST_F(ServerTest, ProxyStubFactoryMarshalsTheDualInterfacesAndHoldsTheDll) {
    ASSERT_EQ(dll().DllCanUnloadNow(), S_OK) << "nothing of the DLL is alive yet";
    CComPtr<IPSFactoryBuffer> factory;
    ASSERT_EQ(dll().DllGetClassObject(ProxyStubFactoryClsid(), IID_IPSFactoryBuffer, factory.ReceiveVoid()),
              S_OK);
    EXPECT_EQ(dll().DllCanUnloadNow(), S_FALSE) << "a client holds the proxy/stub's factory";
    CComPtr<IPSFactoryBuffer> registered;
    ASSERT_EQ(CoGetClassObject(ProxyStubFactoryClsid(), CLSCTX_INPROC_SERVER, nullptr, IID_IPSFactoryBuffer,
                               registered.ReceiveVoid()),
              S_OK);
    EXPECT_EQ(Identity(registered), Identity(factory)) << "the registry leads to this DLL's own factory";
    registered.Release();

    struct Made {
        std::unique_ptr<CountedUnknown> server;
        CComPtr<IRpcStubBuffer> stub;
        CComPtr<IRpcProxyBuffer> proxy;
        IUnknown* proxied = nullptr;  // counted on outer
    };
    CountedUnknown outer;
    std::vector<Made> made;
    for (const DualInterface& dual : kDualInterfaces) {
        SCOPED_TRACE(dual.name);
        CLSID marshaller = CLSID_NULL;
        EXPECT_EQ(CoGetPSClsid(*dual.iid, &marshaller), S_OK);
        EXPECT_TRUE(InlineIsEqualGUID(marshaller, ProxyStubFactoryClsid()))
            << "the interface is not marshalled by the DLL's proxy/stub";
        Made m;
        m.server.reset(new CountedUnknown({*dual.iid}));
        EXPECT_EQ(factory->CreateStub(*dual.iid, m.server.get(), &m.stub), S_OK);
        EXPECT_EQ(factory->CreateProxy(&outer, *dual.iid, &m.proxy, reinterpret_cast<void**>(&m.proxied)),
                  S_OK);
        if (m.proxied) {
            EXPECT_EQ(ModuleOf(*reinterpret_cast<void**>(m.proxied)), dll().module)
                << "the proxy's function table is not the DLL's";
        }
        made.push_back(std::move(m));
    }
    // The dispinterface of the events is dispatched, not marshalled by the proxy/stub.
    CLSID marshaller = CLSID_NULL;
    EXPECT_EQ(CoGetPSClsid(DIID__IKorvaneEvents, &marshaller), S_OK);
    EXPECT_FALSE(InlineIsEqualGUID(marshaller, ProxyStubFactoryClsid()));
    factory.Release();

    EXPECT_EQ(dll().DllCanUnloadNow(), S_FALSE) << "proxies and stubs of the DLL are alive";
    for (Made& m : made) {
        if (m.proxied) m.proxied->Release();
        m.proxy.Release();
    }
    EXPECT_EQ(dll().DllCanUnloadNow(), S_FALSE) << "stubs of the DLL are alive";
    for (Made& m : made) {
        m.stub.Release();
        EXPECT_EQ(m.server->refs(), 1u) << "the stub let go of its object";
    }
    EXPECT_EQ(outer.refs(), 1u) << "the proxies let go of their outer object";
    EXPECT_EQ(dll().DllCanUnloadNow(), S_OK) << "every proxy and stub is gone";
}

TEST_F(ServerTest, GetClassObjectAnswersOnlyTheClassesItServes) {
    void* out = Garbage();
    const CLSID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(dll().DllGetClassObject(unknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr) << "the out-pointer is cleared";
    out = Garbage();
    EXPECT_EQ(dll().DllGetClassObject(ProxyStubFactoryClsid(), IID_IClassFactory, &out),
              CLASS_E_CLASSNOTAVAILABLE)
        << "the proxy/stub's factory is no class factory, and no class has its CLSID";
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(dll().DllGetClassObject(CLSID_Korvane, IID_IClassFactory, nullptr), E_POINTER);
    // The proxy/stub's own lookup would write through the null pointer.
    EXPECT_EQ(dll().DllGetClassObject(ProxyStubFactoryClsid(), IID_IPSFactoryBuffer, nullptr), E_POINTER);
    EXPECT_EQ(dll().DllGetClassObject(unknown, IID_IClassFactory, nullptr), E_POINTER);

    out = Garbage();
    EXPECT_EQ(dll().DllGetClassObject(CLSID_Korvane, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    CComPtr<IClassFactory> first, second;
    CComPtr<IUnknown> unknownOfFactory;
    ASSERT_EQ(dll().DllGetClassObject(CLSID_Korvane, IID_IClassFactory, first.ReceiveVoid()), S_OK);
    ASSERT_EQ(dll().DllGetClassObject(CLSID_Korvane, IID_IClassFactory, second.ReceiveVoid()), S_OK);
    ASSERT_EQ(dll().DllGetClassObject(CLSID_Korvane, IID_IUnknown, unknownOfFactory.ReceiveVoid()), S_OK);
    EXPECT_EQ(first.Get(), second.Get()) << "one factory per class, kept by the module";
    EXPECT_EQ(Identity(first), unknownOfFactory.Get());
}

TEST_F(ServerTest, ClassFactoryCreatesPlainObjectsAndRefusesBadAggregation) {
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(dll().DllGetClassObject(CLSID_Korvane, IID_IClassFactory, factory.ReceiveVoid()), S_OK);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IKorvane, nullptr), E_POINTER);

    Outer outer;
    void* out = Garbage();
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IKorvane, &out), CLASS_E_NOAGGREGATION)
        << "an aggregate must be asked for IUnknown";
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outer.refs(), 1u) << "a refused aggregation keeps no reference to the outer object";

    out = Garbage();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPersist, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    CComPtr<IKorvane> a, b;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IKorvane, a.ReceiveVoid()), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IKorvane, b.ReceiveVoid()), S_OK);
    EXPECT_NE(Identity(a), Identity(b)) << "every CreateInstance builds a new object";

    // A page creates the object by its ProgID, through the registry, in this same DLL.
#ifdef KORVANE_64BIT
    const wchar_t* progIds[] = {L"Tamsic.Korvane64", L"Tamsic.Korvane64.1"};
#else
    const wchar_t* progIds[] = {L"Tamsic.Korvane", L"Tamsic.Korvane.1"};
#endif
    for (const wchar_t* progId : progIds) {
        CLSID clsid = CLSID_NULL;
        EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
        EXPECT_TRUE(InlineIsEqualGUID(clsid, CLSID_Korvane));
    }
    CComPtr<IKorvane> registered;
    EXPECT_EQ(CoCreateInstance(CLSID_Korvane, nullptr, CLSCTX_INPROC_SERVER, IID_IKorvane,
                               registered.ReceiveVoid()),
              S_OK);
}

TEST_F(ServerTest, AggregatedObjectDelegatesToTheControllingObject) {
    Outer outer;
    CComPtr<IUnknown> inner;
    ASSERT_EQ(Create(IID_IUnknown, &inner, &outer), S_OK);
    outer.inner = inner;
    const ULONG outerRefs = outer.refs();

    CComPtr<IKorvane> korvane;
    ASSERT_EQ(inner->QueryInterface(IID_IKorvane, korvane.ReceiveVoid()), S_OK);
    EXPECT_EQ(outer.refs(), outerRefs + 1) << "an interface from the inner object counts on the outer one";
    EXPECT_EQ(Identity(korvane), static_cast<IUnknown*>(&outer))
        << "the aggregate's identity is the outer object";

    CComPtr<IUnknown> innerAgain;
    ASSERT_EQ(inner->QueryInterface(IID_IUnknown, innerAgain.ReceiveVoid()), S_OK);
    EXPECT_EQ(innerAgain.Get(), inner.Get()) << "the inner IUnknown answers IUnknown with itself";
    innerAgain.Release();

    // Through the outer object every table interface is reached.
    for (const IID* iid : {&IID_IDispatch, &IID_IObjectSafety, &IID_IConnectionPointContainer}) {
        CComPtr<IUnknown> p;
        EXPECT_EQ(outer.QueryInterface(*iid, p.ReceiveVoid()), S_OK);
    }
    korvane.Release();
    EXPECT_EQ(outer.refs(), outerRefs);

    outer.inner = nullptr;
    inner.Release();
    EXPECT_EQ(outer.refs(), 1u) << "the freed aggregate holds nothing of the outer object";
}

TEST_F(ServerTest, QueryInterfaceAnswersItsTableAndNothingElse) {
    CComPtr<IKorvane> object;
    ASSERT_EQ(Create(IID_IKorvane, &object), S_OK);
    const NamedIid answered[] = {
        {"IKorvane", &IID_IKorvane},
        {"IDispatch", &IID_IDispatch},
        {"IObjectSafety", &IID_IObjectSafety},
        {"ISupportErrorInfo", &IID_ISupportErrorInfo},
        {"IConnectionPointContainer", &IID_IConnectionPointContainer},
        {"IObjectWithSite", &IID_IObjectWithSite},
    };
    IUnknown* identity = Identity(object);
    EXPECT_EQ(identity, static_cast<IUnknown*>(object.Get())) << "the first table entry serves as IUnknown";
    for (const NamedIid& entry : answered) {
        CComPtr<IUnknown> p;
        EXPECT_EQ(object->QueryInterface(*entry.iid, p.ReceiveVoid()), S_OK) << entry.name;
        if (p) {
            EXPECT_EQ(Identity(p), identity) << entry.name << " has the object's identity";
        }
    }
    CComPtr<IUnknown> dispatch;
    ASSERT_EQ(object->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()), S_OK);
    EXPECT_EQ(dispatch.Get(), static_cast<IUnknown*>(object.Get())) << "IDispatch is IKorvane itself";

    const NamedIid refused[] = {
        {"IDispatchEx", &IID_IDispatchEx},
        {"IConnectionPoint", &IID_IConnectionPoint},
        {"IProvideClassInfo", &IID_IProvideClassInfo},
        {"IPersist", &IID_IPersist},
        {"IOleObject", &IID_IOleObject},
        {"IMarshal", &IID_IMarshal},
    };
    for (const NamedIid& entry : refused) {
        void* out = Garbage();
        EXPECT_EQ(object->QueryInterface(*entry.iid, &out), E_NOINTERFACE) << entry.name;
        EXPECT_EQ(out, nullptr) << entry.name << ": the out-pointer is cleared first";
    }
    EXPECT_EQ(object->QueryInterface(IID_IKorvane, nullptr), E_POINTER);
}

TEST_F(ServerTest, ObjectSafetySupportsUntrustedCallersOnly) {
    CComPtr<IObjectSafety> safety;
    ASSERT_EQ(Create(IID_IObjectSafety, &safety), S_OK);
    DWORD supported = 99, enabled = 99;
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER));
    EXPECT_EQ(enabled, 0u) << "nothing is enabled at first";
    supported = enabled = 99;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IPersist, &supported, &enabled), E_NOINTERFACE);
    EXPECT_EQ(supported, 0u);
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);

    struct Case {
        const char* what;
        const IID* iid;
        DWORD mask, options;
        HRESULT result;
        DWORD enabledAfter;
    };
    const DWORD caller = INTERFACESAFE_FOR_UNTRUSTED_CALLER, data = INTERFACESAFE_FOR_UNTRUSTED_DATA;
    const Case cases[] = {
        {"an interface the object does not answer", &IID_IPersist, caller, caller, E_NOINTERFACE, 0},
        {"an unsupported option in the mask", &IID_IDispatch, data, data, E_FAIL, 0},
        {"a supported and an unsupported option", &IID_IDispatch, caller | data, caller, E_FAIL, 0},
        {"enable untrusted callers", &IID_IDispatch, caller, caller, S_OK, caller},
        {"options outside the mask change nothing", &IID_IKorvane, 0, caller, S_OK, caller},
        {"bits of options outside the mask are ignored", &IID_IKorvane, caller, caller | data, S_OK, caller},
        {"disable untrusted callers", &IID_IKorvane, caller, 0, S_OK, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(safety->SetInterfaceSafetyOptions(*c.iid, c.mask, c.options), c.result) << c.what;
        ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
        EXPECT_EQ(enabled, c.enabledAfter) << c.what;
    }
}

TEST_F(ServerTest, SupportErrorInfoOnlyForIKorvane) {
    CComPtr<ISupportErrorInfo> info;
    ASSERT_EQ(Create(IID_ISupportErrorInfo, &info), S_OK);
    EXPECT_EQ(info->InterfaceSupportsErrorInfo(IID_IKorvane), S_OK);
    for (const IID* iid : {&IID_IDispatch, &IID_IUnknown, &IID_IObjectSafety, &IID_NULL}) {
        EXPECT_EQ(info->InterfaceSupportsErrorInfo(*iid), S_FALSE);
    }
}

TEST_F(ServerTest, ObjectWithSiteHoldsTheSiteAsACountedReference) {
    CComPtr<IObjectWithSite> withSite;
    ASSERT_EQ(Create(IID_IObjectWithSite, &withSite), S_OK);
    void* out = Garbage();
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, &out), E_FAIL) << "no site yet";
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, nullptr), E_POINTER);

    CountedUnknown first({IID_IOleClientSite}), second;
    EXPECT_EQ(withSite->SetSite(&first), S_OK);
    EXPECT_EQ(first.refs(), 2u) << "the object keeps a reference to its site";
    CComPtr<IUnknown> site;
    EXPECT_EQ(withSite->GetSite(IID_IOleClientSite, site.ReceiveVoid()), S_OK) << "the site is asked";
    EXPECT_EQ(site.Get(), static_cast<IUnknown*>(static_cast<IDispatch*>(&first)));
    site.Release();
    out = Garbage();
    EXPECT_EQ(withSite->GetSite(IID_IPersist, &out), E_NOINTERFACE) << "the site's own answer";
    EXPECT_EQ(out, nullptr);

    EXPECT_EQ(withSite->SetSite(&second), S_OK);
    EXPECT_EQ(first.refs(), 1u) << "the old site is released";
    EXPECT_EQ(second.refs(), 2u);
    EXPECT_EQ(withSite->SetSite(nullptr), S_OK);
    EXPECT_EQ(second.refs(), 1u);
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, &out), E_FAIL);
}

class ConnectionPointTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(Create(IID_IConnectionPointContainer, &container), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(DIID__IKorvaneEvents, &point), S_OK);
    }
    CComPtr<IConnectionPointContainer> container;
    CComPtr<IConnectionPoint> point;
};

TEST_F(ConnectionPointTest, ContainerHasOnePointForTheEvents) {
    IID iid = IID_NULL;
    EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(InlineIsEqualGUID(iid, DIID__IKorvaneEvents));
    CComPtr<IConnectionPointContainer> back;
    EXPECT_EQ(point->GetConnectionPointContainer(&back), S_OK);
    EXPECT_EQ(Identity(back), Identity(container));
    EXPECT_NE(Identity(point), Identity(container)) << "the point is an object of its own";

    IConnectionPoint* none = static_cast<IConnectionPoint*>(Garbage());
    EXPECT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, &none), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(container->FindConnectionPoint(DIID__IKorvaneEvents, nullptr), E_POINTER);

    CComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(&points), S_OK);
    IConnectionPoint* found[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(points->Next(2, found, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(found[0], point.Get());
    found[0]->Release();
    EXPECT_EQ(points->Reset(), S_OK);
    EXPECT_EQ(points->Skip(2), S_FALSE);
}

TEST_F(ConnectionPointTest, AdviseKeepsSinksThatAnswerTheEventInterface) {
    CountedUnknown stranger({IID_IDispatch});
    DWORD cookie = 77;
    EXPECT_EQ(point->Advise(&stranger, &cookie), CONNECT_E_CANNOTCONNECT)
        << "a sink without the event interface";
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(stranger.refs(), 1u);
    EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(point->Advise(&stranger, nullptr), E_POINTER);

    CountedUnknown a({DIID__IKorvaneEvents}), b({DIID__IKorvaneEvents}), c({DIID__IKorvaneEvents});
    DWORD cookieA = 0, cookieB = 0, cookieC = 0;
    ASSERT_EQ(point->Advise(&a, &cookieA), S_OK);
    ASSERT_EQ(point->Advise(&b, &cookieB), S_OK);
    EXPECT_NE(cookieA, 0u);
    EXPECT_NE(cookieA, cookieB);
    EXPECT_EQ(a.refs(), 2u) << "the point holds the sink";

    CComPtr<IEnumConnections> connections;
    ASSERT_EQ(point->EnumConnections(&connections), S_OK);
    CONNECTDATA data[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(data[0].dwCookie, cookieA);
    EXPECT_EQ(data[1].dwCookie, cookieB);
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
    connections.Release();

    EXPECT_EQ(point->Unadvise(cookieA), S_OK);
    EXPECT_EQ(a.refs(), 1u) << "Unadvise releases the sink";
    EXPECT_EQ(point->Unadvise(cookieA), CONNECT_E_NOCONNECTION) << "a cookie is good once";
    EXPECT_EQ(point->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(12345), CONNECT_E_NOCONNECTION);

    ASSERT_EQ(point->Advise(&c, &cookieC), S_OK);
    EXPECT_EQ(cookieC, cookieA) << "a freed slot is used again";
    EXPECT_EQ(point->Unadvise(cookieB), S_OK);
    EXPECT_EQ(point->Unadvise(cookieC), S_OK);
    EXPECT_EQ(b.refs(), 1u);
    EXPECT_EQ(c.refs(), 1u);
}

TEST_F(ServerTest, DispatchComesFromTheRegisteredTypeLibrary) {
    CComPtr<IDispatch> dispatch;
    ASSERT_EQ(Create(IID_IDispatch, &dispatch), S_OK);
    UINT count = 0;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    CComPtr<ITypeInfo> info;
    // A locale other than the library's neutral one still finds it.
    ASSERT_EQ(dispatch->GetTypeInfo(0, MAKELCID(0x0804, SORT_DEFAULT), &info), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(InlineIsEqualGUID(attributes->guid, IID_IKorvane));
    info->ReleaseTypeAttr(attributes);
    ITypeInfo* none = static_cast<ITypeInfo*>(Garbage());
    EXPECT_EQ(dispatch->GetTypeInfo(1, 0, &none), DISP_E_BADINDEX);
    EXPECT_EQ(none, nullptr);

    struct Name {
        const wchar_t* name;
        DISPID id;
    };
    const Name names[] = {
        {L"SupportCrc", 1},
        {L"SupportMd5", 2},
        {L"Md5Percent", 3},
        {L"ErrorCode", 4},
        {L"FileLength", 5},
        {L"MD5", 6},
        {L"CRC", 7},
        {L"Object", 8},
        {L"LocalFile", 9},
        {L"RemoteFolder", 10},
        {L"RemoteFile", 11},
        {L"UserName", 12},
        {L"UserPass", 13},
        {L"FileID", 14},
        {L"IP", 15},
        {L"Port", 16},
        {L"Passive", 17},
        {L"OnPost", 18},
        {L"OnStateChanged", 19},
        {L"AutoCreateFolder", 20},
        {L"CrypType", 21},
        {L"FireOnPost", 22},
        {L"FireStateChanged", 23},
        {L"Post", 24},
        {L"Stop", 25},
        {L"FileCheck", 26},
        {L"Encryption", 27},
        {L"Debug", 28},
        {L"LogFile", 29},
        {L"LogData", 30},
        {L"post", 24},
        {L"ip", 15},
    };
    for (const Name& n : names) {
        LPOLESTR name = const_cast<LPOLESTR>(n.name);
        DISPID id = -1;
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, 0x0409, &id), S_OK) << n.name;
        EXPECT_EQ(id, n.id) << n.name;
    }
    LPOLESTR unknown = const_cast<LPOLESTR>(L"Upload");
    DISPID id = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_IKorvane, &unknown, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);

    DISPPARAMS none0 = {nullptr, nullptr, 0, 0};
    CComVariant result;
    EXPECT_EQ(dispatch->Invoke(24, IID_NULL, 0, DISPATCH_METHOD, &none0, &result, nullptr, nullptr), S_OK)
        << "Post through Invoke reaches the vtable member";
    EXPECT_EQ(dispatch->Invoke(4, IID_NULL, 0, DISPATCH_PROPERTYGET, &none0, &result, nullptr, nullptr), S_OK)
        << "ErrorCode";

    VARIANT port;
    port.vt = VT_I4;
    port.lVal = 70000;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS setPort = {&port, &put, 1, 1};
    EXPECT_EQ(dispatch->Invoke(16, IID_NULL, 0, DISPATCH_PROPERTYPUT, &setPort, nullptr, nullptr, nullptr),
              S_OK)
        << "a script's number is converted to the member's type";
    EXPECT_EQ(dispatch->Invoke(16, IID_NULL, 0, DISPATCH_PROPERTYGET, &none0, &result, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND)
        << "Port has no getter";
    UINT argumentError = 0;
    EXPECT_EQ(dispatch->Invoke(22, IID_NULL, 0, DISPATCH_METHOD, &none0, &result, nullptr, &argumentError),
              DISP_E_BADPARAMCOUNT)
        << "FireOnPost takes four texts";
    EXPECT_EQ(dispatch->Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &none0, &result, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(dispatch->Invoke(24, IID_IKorvane, 0, DISPATCH_METHOD, &none0, &result, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
}
