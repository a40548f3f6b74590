// Calls into the upload object from a second apartment, the way its workers and a page's other threads make
// them: the interface crosses in a marshalled stream or through the Global Interface Table, and what arrives
// must be a proxy of the DLL's own merged proxy/stub (its function table lies in the DLL's image; the
// type-library marshaller's would lie in the system's). Texts, values, a failure, the IDispatch members and a
// script function passed as IDispatchEx* go through it; once everything is let go the DLL may unload.
#include "KorvaneFixture.h"

#include <gmock/gmock.h>

#include "DualInterfaces.h"

using namespace korvanetest;
using ::testing::ElementsAre;

namespace {

HMODULE ModuleOf(const void* address) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(address), &module);
    return module;
}

enum class Route { Stream, GlobalInterfaceTable };

struct RouteCase {
    const char* name;
    Route route;
    DWORD apartment;  // of the second thread
    // The second apartment hands the object a function of its own as IDispatchEx* and has the object call it
    // back. Only from the multithreaded apartment: a single-threaded one would have to serve that call while
    // its own call waits, which the object's workers never do, and under Wine that nesting hung once in a
    // full test run.
    bool passesAFunction;
};

const RouteCase kRoutes[] = {
    {"StreamToASingleThreadedApartment", Route::Stream, COINIT_APARTMENTTHREADED, false},
    {"StreamToTheMultithreadedApartment", Route::Stream, COINIT_MULTITHREADED, true},
    {"GlobalInterfaceTableToASingleThreadedApartment", Route::GlobalInterfaceTable, COINIT_APARTMENTTHREADED,
     false},
    {"GlobalInterfaceTableToTheMultithreadedApartment", Route::GlobalInterfaceTable, COINIT_MULTITHREADED,
     true},
};

struct ThreadWork {
    DWORD apartment;
    std::function<void()> work;
};

DWORD WINAPI RunThreadWork(void* context) {
    ThreadWork& work = *static_cast<ThreadWork*>(context);
    const HRESULT hr = CoInitializeEx(nullptr, work.apartment);
    EXPECT_EQ(hr, S_OK) << "the second thread's apartment";
    if (SUCCEEDED(hr)) {
        work.work();
        CoUninitialize();
    }
    return 0;
}

class KorvaneMarshallingTest : public KorvaneTest, public ::testing::WithParamInterface<RouteCase> {
protected:
    // Runs work on a new thread in the case's apartment while this thread, the object's, pumps messages so
    // that the calls the work makes into this apartment are served. Returns when the thread has ended.
    void RunInSecondApartment(std::function<void()> work) {
        ThreadWork context{GetParam().apartment, std::move(work)};
        HANDLE thread = CreateThread(nullptr, 0, &RunThreadWork, &context, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
            Pump(0);
        CloseHandle(thread);
    }
};

}  // namespace

TEST_P(KorvaneMarshallingTest, ASecondApartmentCallsTheObjectThroughTheDllsProxy) {
    const Route route = GetParam().route;
    for (const DualInterface& dual : kDualInterfaces) {
        CLSID marshaller = CLSID_NULL;
        ASSERT_EQ(CoGetPSClsid(*dual.iid, &marshaller), S_OK) << dual.name;
        EXPECT_TRUE(InlineIsEqualGUID(marshaller, ProxyStubFactoryClsid())) << dual.name;
    }

    CComPtr<IStream> stream;
    CComPtr<IGlobalInterfaceTable> git;
    DWORD cookie = 0;
    if (route == Route::Stream) {
        ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IKorvane, korvane, &stream), S_OK);
    } else {
        ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IGlobalInterfaceTable, git.ReceiveVoid()),
                  S_OK);
        ASSERT_EQ(git->RegisterInterfaceInGlobal(korvane, IID_IKorvane, &cookie), S_OK);
    }

    // The page's function, made in the second apartment and handed over as IDispatchEx*.
    CComPtr<FunctionRecorder> function = Make<FunctionRecorder>();
    RunInSecondApartment([&] {
        CComPtr<IKorvane> proxy;
        if (route == Route::Stream) {
            ASSERT_EQ(CoGetInterfaceAndReleaseStream(stream.Detach(), IID_IKorvane, proxy.ReceiveVoid()),
                      S_OK);
        } else {
            ASSERT_EQ(git->GetInterfaceFromGlobal(cookie, IID_IKorvane, proxy.ReceiveVoid()), S_OK);
        }
        ASSERT_NE(proxy.Get(), korvane.Get()) << "the object itself arrived, not a proxy";
        EXPECT_EQ(ModuleOf(*reinterpret_cast<void**>(proxy.Get())), ServerModule())
            << "the proxy is not one of the DLL's proxy/stub";

        EXPECT_EQ(GetText(proxy, &IKorvane::get_FileLength), L"0");
        EXPECT_EQ(GetErrorCode(proxy), 0u);
        EXPECT_EQ(GetMd5Percent(proxy), 0);
        CComVariant md5;
        EXPECT_EQ(proxy->get_SupportMd5(&md5), S_OK);
        EXPECT_EQ(md5.vt, VT_I4);
        EXPECT_EQ(md5.lVal, 1);

        CComBSTR posted(L"已上传 1.00MB"), speed(L"2.00KB"), percent(L"50%"), time(L"00:00:07");
        if (GetParam().passesAFunction) {
            EXPECT_EQ(proxy->put_OnPost(function), S_OK);
            EXPECT_EQ(proxy->FireOnPost(posted, speed, percent, time), S_OK);
            EXPECT_EQ(proxy->put_OnPost(nullptr), S_OK);
        } else {
            EXPECT_EQ(proxy->FireOnPost(posted, speed, percent, time), S_OK) << "without a function to call";
        }

        // The IDispatch members, and a failure carried back.
        LPOLESTR name = const_cast<LPOLESTR>(L"Post");
        DISPID id = -1;
        EXPECT_EQ(proxy->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
        EXPECT_EQ(id, 24);
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        EXPECT_EQ(proxy->Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
                  DISP_E_MEMBERNOTFOUND);
    });
    if (cookie) {
        EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    }

    if (GetParam().passesAFunction) {
        // The object called the function back in its apartment, through the platform's IDispatchEx proxy.
        ASSERT_EQ(function->calls.size(), 1u);
        const Call& call = function->calls[0];
        EXPECT_NE(call.thread, pageThread_);
        ASSERT_EQ(call.arguments.size(), 5u);
        std::vector<std::wstring> texts;
        for (size_t i = 1; i < 5; ++i) texts.push_back(call.arguments[i].text);
        EXPECT_THAT(texts, ElementsAre(L"2.00KB", L"已上传 1.00MB", L"50%", L"00:00:07"));
    }
    EXPECT_EQ(function->References(), 1) << "the object still holds the function";

    korvane.Release();
    EXPECT_EQ(ServerCanUnloadNow(), S_OK) << "a proxy or stub of the DLL outlived the calls";
}

INSTANTIATE_TEST_SUITE_P(Routes, KorvaneMarshallingTest, ::testing::ValuesIn(kRoutes),
                         [](const ::testing::TestParamInfo<RouteCase>& info) { return info.param.name; });
