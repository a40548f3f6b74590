// The registered type library DovrinLib read back as a client sees it, and the DLL's other resources.
// Runs with LANG=zh_CN.UTF-8: the help strings are stored in code page 936 and read in the ANSI code page.
#include <windows.h>

#include <oleauto.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "ServerFixture.h"
#include "classlib/Owners.h"

namespace {

std::string Utf8(const wchar_t* text) {
    if (!text) return "<null>";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    return out;
}

struct Documentation {
    std::string name, help;
    bool hasHelpFile = false;
};

Documentation DocumentationOf(ITypeInfo* info, MEMBERID id) {
    CComBSTR name, help, file;
    Documentation d;
    EXPECT_EQ(info->GetDocumentation(id, &name, &help, nullptr, &file), S_OK);
    d.name = Utf8(name);
    d.help = help ? Utf8(help) : "";
    d.hasHelpFile = file != nullptr;
    return d;
}

// Names of a function as GetNames gives them: the function's, then its parameters'.
std::vector<std::string> NamesOf(ITypeInfo* info, MEMBERID id) {
    BSTR names[8] = {};
    UINT count = 0;
    EXPECT_EQ(info->GetNames(id, names, 8, &count), S_OK);
    std::vector<std::string> out;
    for (UINT i = 0; i < count; ++i) {
        out.push_back(Utf8(names[i]));
        SysFreeString(names[i]);
    }
    return out;
}

// A type's attributes and documentation as the library gives them.
struct Type {
    TYPEKIND kind;
    const char* name;
    WORD flags;
    const char* help;
    const IID* guid;
    int functions = -1;  // -1: not checked
};

void ExpectType(ITypeInfo* info, const Type& t) {
    ASSERT_TRUE(info);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->typekind, t.kind);
    EXPECT_EQ(attributes->wTypeFlags, t.flags);
    EXPECT_TRUE(InlineIsEqualGUID(attributes->guid, *t.guid));
    if (t.functions >= 0) {
        EXPECT_EQ(attributes->cFuncs, t.functions) << "no members";
    }
    info->ReleaseTypeAttr(attributes);
    const Documentation d = DocumentationOf(info, MEMBERID_NIL);
    EXPECT_EQ(d.name, t.name);
    EXPECT_EQ(d.help, t.help);
}

// A coclass's two interfaces: the default one, then the default source.
void ExpectDefaultAndSource(ITypeInfo* coclass, const char* defaultInterface, const char* sourceInterface) {
    ASSERT_TRUE(coclass);
    const char* names[] = {defaultInterface, sourceInterface};
    const INT expectedFlags[] = {IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE};
    for (UINT i = 0; i < 2; ++i) {
        INT flags = 0;
        HREFTYPE ref = 0;
        CComPtr<ITypeInfo> type;
        ASSERT_EQ(coclass->GetImplTypeFlags(i, &flags), S_OK);
        ASSERT_EQ(coclass->GetRefTypeOfImplType(i, &ref), S_OK);
        ASSERT_EQ(coclass->GetRefTypeInfo(ref, &type), S_OK);
        EXPECT_EQ(DocumentationOf(type, MEMBERID_NIL).name, names[i]);
        EXPECT_EQ(flags, expectedFlags[i]) << names[i];
    }
}

// One function of a dual interface's interface part.
struct Member {
    const char* name;
    MEMBERID id;
    INVOKEKIND kind;
    VARTYPE type;  // of the one parameter, or VT_EMPTY: parameters not checked here
};

// The function in vtable slot `slot` after IDispatch's seven: its DISPID, kind, place and HRESULT, and the
// one parameter m.type names: [in] for a setter, an [out, retval] pointer otherwise.
void ExpectVtableMember(ITypeInfo* vtablePart, UINT slot, const Member& m) {
    FUNCDESC* f = nullptr;
    ASSERT_EQ(vtablePart->GetFuncDesc(slot, &f), S_OK);
    EXPECT_EQ(f->memid, m.id);
    EXPECT_EQ(f->invkind, m.kind);
    EXPECT_EQ(f->oVft, static_cast<SHORT>((7 + slot) * sizeof(void*))) << "vtable order";
    EXPECT_EQ(f->elemdescFunc.tdesc.vt, VT_HRESULT);
    if (m.type != VT_EMPTY) {
        EXPECT_EQ(f->cParams, 1);
    }
    if (m.type != VT_EMPTY && f->cParams == 1) {
        const ELEMDESC& param = f->lprgelemdescParam[0];
        if (m.kind == INVOKE_PROPERTYPUT) {
            EXPECT_EQ(param.tdesc.vt, m.type);
            EXPECT_EQ(param.paramdesc.wParamFlags, PARAMFLAG_FIN);
        } else {
            EXPECT_EQ(param.tdesc.vt, VT_PTR);
            EXPECT_EQ(param.tdesc.lptdesc->vt, m.type);
            EXPECT_EQ(param.paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
        }
    }
    vtablePart->ReleaseFuncDesc(f);
}

class TypeLibraryTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(GetACP(), 936u) << "the test must run with LANG=zh_CN.UTF-8";
        ASSERT_EQ(LoadRegTypeLib(LIBID_DovrinLib, 1, 0, 0, &library), S_OK) << "the library is registered";
    }
    // The interface part of a dual interface, checked: an interface type with the dual flags and this many
    // functions after IDispatch's.
    void VtablePartOf(ITypeInfo* dispatchPart, WORD functions, CComPtr<ITypeInfo>& vtablePart) {
        HREFTYPE ref = 0;
        ASSERT_EQ(dispatchPart->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK)
            << "a dual interface";
        ASSERT_EQ(dispatchPart->GetRefTypeInfo(ref, &vtablePart), S_OK);
        TYPEATTR* attributes = nullptr;
        ASSERT_EQ(vtablePart->GetTypeAttr(&attributes), S_OK);
        EXPECT_EQ(attributes->typekind, TKIND_INTERFACE);
        EXPECT_EQ(attributes->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION |
                                              TYPEFLAG_FDISPATCHABLE);
        const WORD count = attributes->cFuncs;
        vtablePart->ReleaseTypeAttr(attributes);
        ASSERT_EQ(count, functions);
    }
    CComPtr<ITypeInfo> TypeAt(UINT index) {
        CComPtr<ITypeInfo> info;
        EXPECT_EQ(library->GetTypeInfo(index, &info), S_OK) << index;
        return info;
    }
    CComPtr<ITypeLib> library;
};

TEST_F(TypeLibraryTest, LibraryIdentity) {
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
    EXPECT_TRUE(InlineIsEqualGUID(attributes->guid, LIBID_DovrinLib));
    EXPECT_EQ(attributes->wMajorVerNum, 1);
    EXPECT_EQ(attributes->wMinorVerNum, 0);
    EXPECT_EQ(attributes->lcid, 0u) << "language-neutral";
#ifdef KORVANE_64BIT
    EXPECT_EQ(attributes->syskind, SYS_WIN64);
#else
    EXPECT_EQ(attributes->syskind, SYS_WIN32);
#endif
    // The loader adds LIBFLAG_FHASDISKIMAGE for a library read from a file; the library itself sets none.
    EXPECT_EQ(attributes->wLibFlags & ~LIBFLAG_FHASDISKIMAGE, 0);
    library->ReleaseTLibAttr(attributes);

    CComBSTR name, help, file;
    ASSERT_EQ(library->GetDocumentation(-1, &name, &help, nullptr, &file), S_OK);
    EXPECT_EQ(Utf8(name), "DovrinLib");
    EXPECT_EQ(Utf8(help), "Dovrin 1.0 类型库");
    EXPECT_EQ(static_cast<BSTR>(file), nullptr) << "no help file";
}

TEST_F(TypeLibraryTest, TypesInOrder) {
    // The library stores dual, nonextensible, oleautomation and dispatchable for IKorvane; the loader reports
    // oleautomation on the interface side of a dual only (checked below).
    const WORD dualFlags = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    const Type types[] = {
        {TKIND_DISPATCH, "_IKorvaneEvents", TYPEFLAG_FDISPATCHABLE, "_IKorvaneEvents 接口",
         &DIID__IKorvaneEvents},
        {TKIND_COCLASS, "Korvane", TYPEFLAG_FCANCREATE, "Korvane Class", &CLSID_Korvane},
        {TKIND_DISPATCH, "IKorvane", dualFlags, "IKorvane 接口", &IID_IKorvane},
        {TKIND_INTERFACE, "IDispatchEx", TYPEFLAG_FDISPATCHABLE, "", &IID_IDispatchEx},
        {TKIND_INTERFACE, "IServiceProvider", 0, "", &IID_IServiceProvider},
        // The drop-area control.
        {TKIND_DISPATCH, "_IFtpDroperEvents", TYPEFLAG_FDISPATCHABLE, "_IFtpDroperEvents 接口",
         &DIID__IFtpDroperEvents},
        {TKIND_COCLASS, "FtpDroper", TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, "FtpDroper Class",
         &CLSID_FtpDroper},
        {TKIND_DISPATCH, "IFtpDroper", dualFlags, "IFtpDroper 接口", &IID_IFtpDroper},
    };
    // The upload object's types come first; the other classes' follow them.
    ASSERT_GE(library->GetTypeInfoCount(), sizeof types / sizeof types[0]);
    for (UINT i = 0; i < sizeof types / sizeof types[0]; ++i) {
        SCOPED_TRACE(types[i].name);
        ExpectType(TypeAt(i), types[i]);
    }
}

TEST_F(TypeLibraryTest, CoclassNamesItsDefaultAndSourceInterfaces) {
    struct Coclass {
        UINT index;
        const char* defaultInterface;
        const char* sourceInterface;
    };
    const Coclass coclasses[] = {
        {1, "IKorvane", "_IKorvaneEvents"},
        {6, "IFtpDroper", "_IFtpDroperEvents"},
    };
    for (const Coclass& c : coclasses) {
        SCOPED_TRACE(c.defaultInterface);
        ExpectDefaultAndSource(TypeAt(c.index), c.defaultInterface, c.sourceInterface);
    }
}

// The control's interface: a setter that keeps the page's function and a method that hands out the list;
// its event interface has no members.
TEST_F(TypeLibraryTest, IFtpDroperMembers) {
    CComPtr<ITypeInfo> dispatchPart = TypeAt(7);
    ASSERT_TRUE(dispatchPart);
    CComPtr<ITypeInfo> vtablePart;
    ASSERT_NO_FATAL_FAILURE(VtablePartOf(dispatchPart, 2, vtablePart));

    ExpectVtableMember(vtablePart, 0, {"OnFileDrop", 1, INVOKE_PROPERTYPUT, VT_PTR});
    EXPECT_EQ(NamesOf(vtablePart, 1), std::vector<std::string>{"OnFileDrop"});
    EXPECT_EQ(DocumentationOf(vtablePart, 1).help, "方法 OnFileDrop");

    ExpectVtableMember(vtablePart, 1, {"GetSelectedFiles", 2, INVOKE_FUNC, VT_VARIANT});
    EXPECT_EQ(NamesOf(vtablePart, 2), (std::vector<std::string>{"GetSelectedFiles", "var"}));
    EXPECT_EQ(DocumentationOf(vtablePart, 2).help, "方法GetSelectedFiles");

    CComPtr<ITypeInfo> events = TypeAt(5);
    ASSERT_TRUE(events);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(events->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->cFuncs, 0);
    EXPECT_EQ(attributes->cVars, 0);
    events->ReleaseTypeAttr(attributes);
}

// The interface part of the dual IKorvane: its functions in vtable order after IDispatch's seven.
TEST_F(TypeLibraryTest, IKorvaneMembersInVtableOrderWithTheirDispids) {
    // Methods' parameters are not checked here: FireOnPost's are below, the others have none.
    const Member members[] = {
        {"SupportCrc", 1, INVOKE_PROPERTYGET, VT_VARIANT},
        {"SupportMd5", 2, INVOKE_PROPERTYGET, VT_VARIANT},
        {"Md5Percent", 3, INVOKE_PROPERTYGET, VT_I4},
        {"ErrorCode", 4, INVOKE_PROPERTYGET, VT_UINT},
        {"FileLength", 5, INVOKE_PROPERTYGET, VT_BSTR},
        {"MD5", 6, INVOKE_PROPERTYGET, VT_BSTR},
        {"CRC", 7, INVOKE_PROPERTYGET, VT_BSTR},
        {"Object", 8, INVOKE_PROPERTYPUT, VT_PTR},
        {"LocalFile", 9, INVOKE_PROPERTYPUT, VT_BSTR},
        {"RemoteFolder", 10, INVOKE_PROPERTYPUT, VT_BSTR},
        {"RemoteFile", 11, INVOKE_PROPERTYPUT, VT_BSTR},
        {"UserName", 12, INVOKE_PROPERTYPUT, VT_BSTR},
        {"UserPass", 13, INVOKE_PROPERTYPUT, VT_BSTR},
        {"FileID", 14, INVOKE_PROPERTYPUT, VT_UI4},
        {"IP", 15, INVOKE_PROPERTYPUT, VT_BSTR},
        {"Port", 16, INVOKE_PROPERTYPUT, VT_UI4},
        {"Passive", 17, INVOKE_PROPERTYPUT, VT_I4},
        {"OnPost", 18, INVOKE_PROPERTYPUT, VT_PTR},
        {"OnStateChanged", 19, INVOKE_PROPERTYPUT, VT_PTR},
        {"AutoCreateFolder", 20, INVOKE_PROPERTYPUT, VT_BOOL},
        {"CrypType", 21, INVOKE_PROPERTYPUT, VT_BSTR},
        {"Encryption", 27, INVOKE_PROPERTYPUT, VT_BOOL},
        {"Debug", 28, INVOKE_PROPERTYPUT, VT_BOOL},
        {"LogFile", 29, INVOKE_PROPERTYPUT, VT_BSTR},
        {"LogData", 30, INVOKE_PROPERTYGET, VT_BSTR},
        {"FireOnPost", 22, INVOKE_FUNC, VT_EMPTY},
        {"FireStateChanged", 23, INVOKE_FUNC, VT_EMPTY},
        {"Post", 24, INVOKE_FUNC, VT_EMPTY},
        {"Stop", 25, INVOKE_FUNC, VT_EMPTY},
        {"FileCheck", 26, INVOKE_FUNC, VT_EMPTY},
    };
    CComPtr<ITypeInfo> dispatchPart = TypeAt(2);
    ASSERT_TRUE(dispatchPart);
    CComPtr<ITypeInfo> vtablePart;
    ASSERT_NO_FATAL_FAILURE(VtablePartOf(dispatchPart, 30, vtablePart));

    for (UINT i = 0; i < 30; ++i) {
        const Member& m = members[i];
        SCOPED_TRACE(m.name);
        ExpectVtableMember(vtablePart, i, m);
        if (m.kind == INVOKE_PROPERTYGET) {
            EXPECT_EQ(NamesOf(vtablePart, m.id).size(), 2u) << "the value has a name";
        } else if (m.kind == INVOKE_PROPERTYPUT) {
            EXPECT_EQ(NamesOf(vtablePart, m.id), std::vector<std::string>{m.name})
                << "setters name no parameter";
        }
        const bool property = m.kind != INVOKE_FUNC;
        EXPECT_EQ(DocumentationOf(vtablePart, m.id).help,
                  (property ? "属性 " : "方法") + std::string(m.name));
    }
    EXPECT_EQ(NamesOf(vtablePart, 22),
              (std::vector<std::string>{"FireOnPost", "postedLength", "speed", "percent", "time"}));
}

TEST_F(TypeLibraryTest, EventsWithTheirDispidsAndArguments) {
    struct Event {
        const char* name;
        MEMBERID id;
        std::vector<std::string> names;
        std::vector<VARTYPE> types;
    };
    const Event events[] = {
        {"PostComplete", 1, {"PostComplete", "taskID"}, {VT_UI4}},
        {"PostError", 2, {"PostError", "taskID", "errCode"}, {VT_UI4, VT_UI4}},
        {"PostProcess",
         4,
         {"PostProcess", "taskID", "speed", "postedLen", "percent", "time"},
         {VT_UI4, VT_BSTR, VT_BSTR, VT_BSTR, VT_BSTR}},
        {"PostConnected", 5, {"PostConnected", "taskID"}, {VT_UI4}},
        {"PostStateChanged", 6, {"PostStateChanged", "taskID", "state"}, {VT_UI4, VT_I4}},
    };
    CComPtr<ITypeInfo> info = TypeAt(0);
    ASSERT_TRUE(info);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    ASSERT_EQ(attributes->cFuncs, 5);
    info->ReleaseTypeAttr(attributes);
    for (UINT i = 0; i < 5; ++i) {
        const Event& e = events[i];
        SCOPED_TRACE(e.name);
        FUNCDESC* f = nullptr;
        ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
        EXPECT_EQ(f->memid, e.id);
        EXPECT_EQ(f->invkind, INVOKE_FUNC);
        ASSERT_EQ(static_cast<size_t>(f->cParams), e.types.size());
        for (size_t p = 0; p < e.types.size(); ++p)
            EXPECT_EQ(f->lprgelemdescParam[p].tdesc.vt, e.types[p]) << p;
        info->ReleaseFuncDesc(f);
        EXPECT_EQ(NamesOf(info, e.id), e.names);
        EXPECT_EQ(DocumentationOf(info, e.id).help, "方法" + std::string(e.name));
    }
    MEMBERID none = 3;
    LPOLESTR name = const_cast<LPOLESTR>(L"PostComplete");
    EXPECT_EQ(info->GetIDsOfNames(&name, 1, &none), S_OK);
    EXPECT_EQ(none, 1);
}

TEST_F(TypeLibraryTest, PlatformInterfacesTheMembersTake) {
    struct Carried {
        UINT index;
        std::vector<std::string> functions;
    };
    const Carried carried[] = {
        {3,
         {"GetDispID", "RemoteInvokeEx", "DeleteMemberByName", "DeleteMemberByDispID", "GetMemberProperties",
          "GetMemberName", "GetNextDispID", "GetNameSpaceParent"}},
        {4, {"RemoteQueryService"}},
    };
    for (const Carried& c : carried) {
        CComPtr<ITypeInfo> info = TypeAt(c.index);
        ASSERT_TRUE(info);
        TYPEATTR* attributes = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
        std::vector<std::string> names;
        for (UINT i = 0; i < attributes->cFuncs; ++i) {
            FUNCDESC* f = nullptr;
            ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
            names.push_back(NamesOf(info, f->memid).at(0));
            info->ReleaseFuncDesc(f);
        }
        info->ReleaseTypeAttr(attributes);
        EXPECT_EQ(names, c.functions) << c.index;
    }
}

// The picker's three types, in order, after the upload object's and last in the library.
TEST_F(TypeLibraryTest, PickerTypesInOrderAfterTheUploadObjects) {
    std::vector<std::string> names;
    for (UINT i = 0; i < library->GetTypeInfoCount(); ++i)
        names.push_back(DocumentationOf(TypeAt(i), MEMBERID_NIL).name);
    auto indexOf = [&](const char* name) {
        return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
    };
    const size_t events = indexOf("_IFtpPartitionEvents");
    ASSERT_LT(events, names.size());
    EXPECT_GT(events, indexOf("IServiceProvider"));
    EXPECT_EQ(indexOf("FtpPartition"), events + 1);
    EXPECT_EQ(indexOf("IFtpPartition"), events + 2);
    EXPECT_EQ(names.size(), events + 3) << "the picker's types are the last";

    const WORD dualFlags = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    const Type types[] = {
        {TKIND_DISPATCH, "_IFtpPartitionEvents", TYPEFLAG_FDISPATCHABLE, "_IFtpPartitionEvents 接口",
         &DIID__IFtpPartitionEvents, 0},
        {TKIND_COCLASS, "FtpPartition", TYPEFLAG_FCANCREATE, "FtpPartition Class", &CLSID_FtpPartition, 0},
        // The dispatch side of a dual: its functions are not counted.
        {TKIND_DISPATCH, "IFtpPartition", dualFlags, "IFtpPartition 接口", &IID_IFtpPartition},
    };
    for (UINT i = 0; i < 3; ++i) {
        SCOPED_TRACE(types[i].name);
        ExpectType(TypeAt(static_cast<UINT>(events) + i), types[i]);
    }
    ExpectDefaultAndSource(TypeAt(static_cast<UINT>(events) + 1), "IFtpPartition", "_IFtpPartitionEvents");
}

// The interface part of the dual IFtpPartition: its members in vtable order after IDispatch's seven.
TEST_F(TypeLibraryTest, IFtpPartitionMembersInVtableOrderWithTheirDispids) {
    const std::pair<Member, std::vector<std::string>> members[] = {
        {{"ShowDialog", 1, INVOKE_FUNC, VT_VARIANT}, {"ShowDialog", "var"}},
        {{"GetSelectedFiles", 2, INVOKE_FUNC, VT_VARIANT}, {"GetSelectedFiles", "var"}},
        {{"ShowFolder", 3, INVOKE_FUNC, VT_VARIANT}, {"ShowFolder", "var"}},
        {{"AllowMultiSelect", 4, INVOKE_PROPERTYPUT, VT_I4}, {"AllowMultiSelect"}},
        {{"FileFilter", 5, INVOKE_PROPERTYPUT, VT_BSTR}, {"FileFilter"}},
        {{"InitDir", 6, INVOKE_PROPERTYPUT, VT_BSTR}, {"InitDir"}},
        {{"Version", 7, INVOKE_PROPERTYGET, VT_BSTR}, {"Version", "val"}},
    };
    ITypeInfo* found = nullptr;
    ASSERT_EQ(library->GetTypeInfoOfGuid(IID_IFtpPartition, &found), S_OK);
    CComPtr<ITypeInfo> dispatchPart;
    dispatchPart.Attach(found);
    CComPtr<ITypeInfo> vtablePart;
    ASSERT_NO_FATAL_FAILURE(VtablePartOf(dispatchPart, 7, vtablePart));
    for (UINT i = 0; i < 7; ++i) {
        const Member& m = members[i].first;
        SCOPED_TRACE(m.name);
        ExpectVtableMember(vtablePart, i, m);
        EXPECT_EQ(NamesOf(vtablePart, m.id), members[i].second);
        EXPECT_EQ(DocumentationOf(vtablePart, m.id).help,
                  (m.kind == INVOKE_FUNC ? "方法" : "属性 ") + std::string(m.name));
    }
}

// The resources besides the type library: the project string, the version block, the manifest, the
// registration scripts.
TEST_F(ServerTest, ResourcesOfTheDll) {
    HMODULE module = dll().module;
    wchar_t text[64] = {};
    ASSERT_GT(LoadStringW(module, 100, text, 64), 0);
    EXPECT_STREQ(text, L"Dovrin");

    struct Resource {
        const wchar_t* type;
        UINT id;
        WORD language;
    };
    const Resource resources[] = {
        {L"TYPELIB", 1, 2052},
        {L"REGISTRY", 101, 2052},
        {L"REGISTRY", 102, 2052},
        {L"REGISTRY", 104, 2052},
        {L"REGISTRY", 105, 2052},
        {MAKEINTRESOURCEW(6), 7, 2052},  // the string table block of string 100
        {MAKEINTRESOURCEW(16), 1, 0x0804},
        {MAKEINTRESOURCEW(24), 2, 1033},
    };
    for (const Resource& r : resources) {
        EXPECT_NE(FindResourceExW(module, r.type, MAKEINTRESOURCEW(r.id), r.language), nullptr) << r.id;
    }
    // No bitmap 103.
    for (UINT absent : {103u}) {
        EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(absent), L"REGISTRY"), nullptr) << absent;
    }

    // The control's ToolboxBitmap32 entry names bitmap 103, which the DLL does not carry.
    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(103), MAKEINTRESOURCEW(2)), nullptr);

    HRSRC manifest = FindResourceExW(module, MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(2), 1033);
    ASSERT_NE(manifest, nullptr);
    const std::string xml(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                          SizeofResource(module, manifest));
    EXPECT_NE(xml.find("level=\"asInvoker\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("uiAccess=\"false\""), std::string::npos) << xml;
    EXPECT_EQ(xml.find("dependency"), std::string::npos) << "trust information only";
}

TEST_F(ServerTest, VersionBlock) {
    HMODULE module = dll().module;
    HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(16), MAKEINTRESOURCEW(1), 0x0804);
    ASSERT_NE(found, nullptr);
    // The block as the resource holds it: VS_VERSIONINFO, its fixed part at offset 40, then the strings.
    const auto* block = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    const DWORD size = SizeofResource(module, found);
    const auto* fixed = reinterpret_cast<const VS_FIXEDFILEINFO*>(block + 40);
    ASSERT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(3, 2));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(2015, 48));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(3, 2));
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(2015, 48));
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(fixed->dwFileSubtype, 0u);

    // Each string value in the block is its UTF-16 key, padding, then its text.
    const std::wstring all(reinterpret_cast<const wchar_t*>(block), size / sizeof(wchar_t));
    auto valueOf = [&](const std::wstring& key) -> std::wstring {
        size_t at = all.find(key + L'\0');
        if (at == std::wstring::npos) return L"<missing>";
        at += key.size() + 1;
        while (at < all.size() && all[at] == L'\0') ++at;
        return std::wstring(all.c_str() + at);
    };
    EXPECT_NE(all.find(std::wstring(L"080403a8") + L'\0'), std::wstring::npos) << "Chinese, code page 936";
#ifdef KORVANE_64BIT
    const wchar_t* description = L"FTP文件上传控件";
    const wchar_t* fileVersion = L"2,3,48,2015";
    const wchar_t* fileName = L"Korvane64.dll";
    const wchar_t* productName = L"Korvane64";
#else
    const wchar_t* description = L"FTP(x86)文件上传控件";
    const wchar_t* fileVersion = L"2.3.48.2015";
    const wchar_t* fileName = L"Korvane.dll";
    const wchar_t* productName = L"Korvane";
#endif
    EXPECT_EQ(valueOf(L"FileDescription"), description);
    EXPECT_EQ(valueOf(L"FileVersion"), fileVersion);
    EXPECT_EQ(valueOf(L"ProductVersion"), L"2,3,48,2015");
    EXPECT_EQ(valueOf(L"InternalName"), fileName);
    EXPECT_EQ(valueOf(L"OriginalFilename"), fileName);
    EXPECT_EQ(valueOf(L"ProductName"), productName);
    const size_t translation = all.find(std::wstring(L"Translation") + L'\0');
    ASSERT_NE(translation, std::wstring::npos);
    // The value follows the key and its padding to a 32-bit boundary: language, then code page.
    size_t at = translation + 12;
    while (at % 2) ++at;
    EXPECT_EQ(all[at], 0x0804);
    EXPECT_EQ(all[at + 1], 936);
}

}  // namespace
