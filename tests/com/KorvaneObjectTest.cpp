// The upload object through its vtable, as a C++ page would use it: members, validation, local checks,
// script functions, events, lifetime and the message boxes. Uploads to servers are in KorvaneUploadTest.cpp.
#include "KorvaneFixture.h"
#include "common/ObjectSafetyChecks.h"

#include <objsafe.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <functional>

using namespace korvanetest;
using ::testing::ElementsAre;

namespace {

const std::wstring kFetchFailed = L"从全局GIT中获取指针失败";
// One AES-128 block (key "7D2A9C41-3B6E-4a") that decrypts to a NUL first byte, made with
//   printf '\0nul-first-block' | openssl enc -aes-128-ecb -nopad -K 37443241394334312d334236452d3461 | base64
const wchar_t kEncryptedEmptyName[] = L"AuFZEp2+D+DWgA80MLrtWA==";
// MD5 of 1 GiB of zero bytes: head -c 1073741824 /dev/zero | md5sum
const wchar_t kZeroGibMd5[] = L"cd573cfaace07e7949bc0c46028904ff";
// CRC-32 of the same, from gzip's trailer: head -c 1073741824 /dev/zero | gzip -c | tail -c 8 | od -An -tu4
// -N4
const wchar_t kZeroGibCrc[] = L"1533330096";
const int64_t kGib = 1073741824;
const int64_t kMaxFileSize = 20 * kGib;
// A check that must report progress must last over a second. MD5 runs at about a gigabyte a second at the
// very best, so a file of 2 GiB lasts long enough on any machine (1 GiB only just did here). Its MD5:
// head -c 2147483648 /dev/zero | md5sum
const int64_t kProgressFileSize = 2 * kGib;
const wchar_t kProgressFileMd5[] = L"a981130cf2b7e09f4686dc273cf7187e";

// Tests the object's getters write into out-values a caller did not initialise.
VARIANT GarbageVariant() {
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x1));
    return v;
}

}  // namespace

// ---- a new object

TEST_F(KorvaneTest, NewObjectReadsItsInitialValues) {
    EXPECT_EQ(GetErrorCode(korvane), 0u);
    EXPECT_EQ(GetMd5Percent(korvane), 0);
    EXPECT_EQ(GetText(korvane, &IKorvane::get_FileLength), L"0");
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), L"");
    EXPECT_EQ(GetText(korvane, &IKorvane::get_CRC), L"");

    // Out-values arrive uninitialised: the getters must write them without clearing what they held.
    VARIANT md5 = GarbageVariant(), crc = GarbageVariant();
    ASSERT_EQ(korvane->get_SupportMd5(&md5), S_OK);
    ASSERT_EQ(korvane->get_SupportCrc(&crc), S_OK);
    EXPECT_EQ(md5.vt, VT_I4);
    EXPECT_EQ(md5.lVal, 1);
    EXPECT_EQ(crc.vt, VT_I4);
    EXPECT_EQ(crc.lVal, 1);

    BSTR log = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x1));
    ASSERT_EQ(korvane->get_LogData(&log), S_OK);
    ASSERT_NE(log, reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x1))) << "LogData left its out-value unset";
    EXPECT_EQ(Bstr(log), L"");
    SysFreeString(log);
}

// A caller that passes no place for the value gets E_POINTER from every getter, and nothing is written.
TEST_F(KorvaneTest, EveryGetterRefusesANullOutPointer) {
    // Some values to read, so a getter that wrote anyway would have something to write.
    Listen();
    PutText(korvane, &IKorvane::put_LocalFile, MakeFile(L"small.bin", 100));
    const struct {
        const char* name;
        std::function<HRESULT()> get;
    } getters[] = {
        {"SupportCrc", [&] { return korvane->get_SupportCrc(nullptr); }},
        {"SupportMd5", [&] { return korvane->get_SupportMd5(nullptr); }},
        {"Md5Percent", [&] { return korvane->get_Md5Percent(nullptr); }},
        {"ErrorCode", [&] { return korvane->get_ErrorCode(nullptr); }},
        {"FileLength", [&] { return korvane->get_FileLength(nullptr); }},
        {"MD5", [&] { return korvane->get_MD5(nullptr); }},
        {"CRC", [&] { return korvane->get_CRC(nullptr); }},
        {"LogData", [&] { return korvane->get_LogData(nullptr); }},
    };
    for (const auto& getter : getters) EXPECT_EQ(getter.get(), E_POINTER) << getter.name;
    // The object goes on answering.
    EXPECT_EQ(GetText(korvane, &IKorvane::get_FileLength), L"100");
}

TEST_F(KorvaneTest, AnswersItsInterfacesAndSafetyOptions) {
    CComPtr<IDispatch> dispatch;
    ASSERT_EQ(korvane->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(dispatch.Get()), static_cast<IUnknown*>(korvane.Get()));
    for (const IID* iid :
         {&IID_IObjectSafety, &IID_ISupportErrorInfo, &IID_IConnectionPointContainer, &IID_IObjectWithSite}) {
        CComPtr<IUnknown> answered;
        EXPECT_EQ(korvane->QueryInterface(*iid, answered.ReceiveVoid()), S_OK);
    }
    CComPtr<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(korvane->QueryInterface(IID_ISupportErrorInfo, errorInfo.ReceiveVoid()), S_OK);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IKorvane), S_OK);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

    CComPtr<IObjectSafety> safety;
    ASSERT_EQ(korvane->QueryInterface(IID_IObjectSafety, safety.ReceiveVoid()), S_OK);
    testcommon::ExpectSafeForUntrustedCallersOnly(safety, IID_IDispatch);
}

// ---- the check before every start

struct ValidationCase {
    const char* name;
    const wchar_t* ip;
    enum { NoFile, SmallFile, MissingFile, EmptyFile } local;
    const wchar_t* remote;
    bool encryptedEmptyName;
    UINT code;
};

const ValidationCase kValidationCases[] = {
    {"a new object", L"", ValidationCase::NoFile, L"", false, 201},
    {"no server address", L"", ValidationCase::SmallFile, L"r.bin", false, 10},
    {"no remote file", L"127.0.0.1", ValidationCase::SmallFile, L"", false, 9},
    {"several fail: the last test's code stays", L"", ValidationCase::SmallFile, L"", false, 9},
    {"no local file path: its size 0 fails last", L"127.0.0.1", ValidationCase::NoFile, L"r.bin", false, 201},
    {"a local file that cannot be opened reads as size 0", L"127.0.0.1", ValidationCase::MissingFile,
     L"r.bin", false, 201},
    {"an empty local file", L"127.0.0.1", ValidationCase::EmptyFile, L"r.bin", false, 201},
    {"a user name that decrypts to nothing", L"127.0.0.1", ValidationCase::SmallFile, L"r.bin", true, 11},
};

enum class Starter { Post, Md5Check, CrcCheck };

// Every start validates the same way; a failure is told at once, on the calling thread, before the call
// returns: one PostStateChanged(FileID, 3) per sink, then one OnStateChanged(Object, 3).
TEST_F(KorvaneTest, FailedValidationTellsThePageBeforeTheCallReturns) {
    MessageBoxRecorder boxes;  // the missing file's message
    const std::wstring small = MakeFile(L"small.bin", 100);
    const std::wstring empty = MakeFile(L"empty.bin", 0);
    for (Starter starter : {Starter::Post, Starter::Md5Check, Starter::CrcCheck}) {
        for (const ValidationCase& c : kValidationCases) {
            SCOPED_TRACE(std::string(c.name) + (starter == Starter::Post       ? " (Post)"
                                                : starter == Starter::Md5Check ? " (MD5 check)"
                                                                               : " (CRC check)"));
            advise.reset();
            korvane = CreateKorvane();
            events = Make<EventRecorder>();
            states = Make<FunctionRecorder>();
            Listen();
            ASSERT_EQ(korvane->put_FileID(7), S_OK);
            ASSERT_EQ(PutText(korvane, &IKorvane::put_IP, c.ip), S_OK);
            ASSERT_EQ(PutText(korvane, &IKorvane::put_RemoteFile, c.remote), S_OK);
            if (c.local == ValidationCase::SmallFile) PutText(korvane, &IKorvane::put_LocalFile, small);
            if (c.local == ValidationCase::EmptyFile) PutText(korvane, &IKorvane::put_LocalFile, empty);
            if (c.local == ValidationCase::MissingFile)
                PutText(korvane, &IKorvane::put_LocalFile, TestFolder() + L"\\missing.bin");
            if (c.encryptedEmptyName) {
                ASSERT_EQ(korvane->put_Encryption(VARIANT_TRUE), S_OK);
                ASSERT_EQ(PutText(korvane, &IKorvane::put_UserName, kEncryptedEmptyName), S_OK);
            }
            if (starter == Starter::Post) {
                ASSERT_EQ(korvane->Post(), S_OK);
            } else {
                PutText(korvane, &IKorvane::put_CrypType, starter == Starter::Md5Check ? L"md5" : L"crc");
                ASSERT_EQ(korvane->FileCheck(), S_OK);
            }
            // Nothing pumped: all of it happened inside the call.
            EXPECT_EQ(GetErrorCode(korvane), c.code);
            ASSERT_EQ(events->events.size(), 1u);
            ExpectStateChangedEvent(events->events[0], 7, 3);
            ASSERT_EQ(states->calls.size(), 1u);
            ExpectStateCall(states->calls[0], 3, PageObject());
            EXPECT_LT(events->events[0].sequence, states->calls[0].sequence) << "the event comes first";
            EXPECT_TRUE(progress->calls.empty());
        }
    }
}

TEST_F(KorvaneTest, ABlankServerAddressPassesTheCheck) {
    Listen();
    PutText(korvane, &IKorvane::put_IP, L"   ");
    PutText(korvane, &IKorvane::put_RemoteFile, L"r.bin");
    PutText(korvane, &IKorvane::put_LocalFile, MakeFile(L"small.bin", 100));
    PutText(korvane, &IKorvane::put_CrypType, L"crc");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    EXPECT_EQ(ReadState(korvane, *states), 5) << "the check started";
    ASSERT_TRUE(PumpUntil([&] { return StateSeen(6); }, 10000));
    EXPECT_TRUE(events->events.empty()) << "a passed check raises no event";
}

TEST_F(KorvaneTest, SizeLimitIsTwentyGibibytesInclusive) {
    Listen();
    PutText(korvane, &IKorvane::put_IP, L"127.0.0.1");
    PutText(korvane, &IKorvane::put_RemoteFile, L"r.bin");

    PutText(korvane, &IKorvane::put_LocalFile, MakeSparseFile(L"over.bin", kMaxFileSize + 1));
    EXPECT_EQ(GetText(korvane, &IKorvane::get_FileLength), L"21474836481");
    ASSERT_EQ(korvane->Post(), S_OK);
    EXPECT_EQ(GetErrorCode(korvane), 100u);
    EXPECT_THAT(StatesSeen(), ElementsAre(3));

    // Exactly the limit passes: the MD5 check starts (and is stopped at once; it never reads 20 GiB).
    PutText(korvane, &IKorvane::put_LocalFile, MakeSparseFile(L"limit.bin", kMaxFileSize));
    EXPECT_EQ(GetText(korvane, &IKorvane::get_FileLength), L"21474836480");
    PutText(korvane, &IKorvane::put_CrypType, L"MD5");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    EXPECT_EQ(ReadState(korvane, *states), 5);
    ASSERT_EQ(korvane->Stop(), S_OK);
    EXPECT_EQ(events->events.size(), 1u) << "only the failed Post's event";
}

// ---- FileCheck and Stop

TEST_F(KorvaneTest, CrypTypeChoosesTheCheckIgnoringCase) {
    const std::wstring file = MakeFile(L"data.bin", 70000);
    const struct {
        const wchar_t* crypType;
        int check;  // 0 MD5, 1 CRC, 2 nothing
    } cases[] = {{L"Md5", 0}, {L"MD5", 0}, {L"md5", 0},  {L"CRC", 1},
                 {L"crc", 1}, {L"", 2},    {L"sha1", 2}, {L"md5 ", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(std::wstring(L"CrypType \"") + c.crypType + L"\""));
        advise.reset();
        korvane = CreateKorvane();
        events = Make<EventRecorder>();
        states = Make<FunctionRecorder>();
        Listen();
        PutText(korvane, &IKorvane::put_IP, L"127.0.0.1");
        PutText(korvane, &IKorvane::put_RemoteFile, L"r.bin");
        PutText(korvane, &IKorvane::put_LocalFile, file);
        PutText(korvane, &IKorvane::put_CrypType, c.crypType);
        ASSERT_EQ(korvane->FileCheck(), S_OK);
        if (c.check == 2) {
            Pump(300);
            EXPECT_TRUE(states->calls.empty()) << "nothing starts, nothing is told";
            EXPECT_EQ(ReadState(korvane, *states), 0);
        } else {
            ASSERT_TRUE(PumpUntil([&] { return StateSeen(6); }, 10000));
            EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), c.check == 0 ? FileMd5(file) : L"");
            EXPECT_EQ(GetText(korvane, &IKorvane::get_CRC), c.check == 1 ? FileCrc32(file) : L"");
        }
        EXPECT_TRUE(events->events.empty()) << "file checks raise no connection-point event";
    }
}

TEST_F(KorvaneTest, StopOutsideARunDoesNothing) {
    Listen();
    ASSERT_EQ(korvane->Stop(), S_OK);
    EXPECT_EQ(ReadState(korvane, *states), 0);

    ASSERT_EQ(korvane->Post(), S_OK);  // fails its check: state 3
    ASSERT_EQ(korvane->Stop(), S_OK);
    EXPECT_EQ(ReadState(korvane, *states), 3);

    PutText(korvane, &IKorvane::put_IP, L"127.0.0.1");
    PutText(korvane, &IKorvane::put_RemoteFile, L"r.bin");
    PutText(korvane, &IKorvane::put_LocalFile, MakeFile(L"data.bin", 1000));
    PutText(korvane, &IKorvane::put_CrypType, L"crc");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return StateSeen(6); }, 10000));
    const size_t told = states->calls.size();
    ASSERT_EQ(korvane->Stop(), S_OK);
    Pump(300);
    EXPECT_EQ(states->calls.size(), told);
    EXPECT_EQ(ReadState(korvane, *states), 6);
}

// ---- setters

TEST_F(KorvaneTest, FlagsCountOnlyVariantTrue) {
    Listen();
    PutText(korvane, &IKorvane::put_IP, L"127.0.0.1");
    PutText(korvane, &IKorvane::put_RemoteFile, L"r.bin");
    PutText(korvane, &IKorvane::put_LocalFile, MakeFile(L"data.bin", 1000));
    PutText(korvane, &IKorvane::put_CrypType, L"crc");

    // Encryption 1 is off: the name is stored as passed, and the check passes.
    ASSERT_EQ(korvane->put_Encryption(1), S_OK);
    PutText(korvane, &IKorvane::put_UserName, kEncryptedEmptyName);
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    EXPECT_EQ(ReadState(korvane, *states), 5);
    ASSERT_TRUE(PumpUntil([&] { return StateSeen(6); }, 10000));
    // VARIANT_TRUE is on: the same text decrypts to an empty name.
    ASSERT_EQ(korvane->put_Encryption(VARIANT_TRUE), S_OK);
    PutText(korvane, &IKorvane::put_UserName, kEncryptedEmptyName);
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    EXPECT_EQ(GetErrorCode(korvane), 11u);

    // Debug 1 is off: LogFile opens nothing; VARIANT_TRUE first, and it does. Setting Debug afterwards
    // opens nothing either.
    const std::wstring offLog = TestFolder() + L"\\off.log";
    const std::wstring onLog = TestFolder() + L"\\on.log";
    const std::wstring lateLog = TestFolder() + L"\\late.log";
    ASSERT_EQ(korvane->put_Debug(1), S_OK);
    PutText(korvane, &IKorvane::put_LogFile, offLog);
    EXPECT_EQ(GetFileAttributesW(offLog.c_str()), INVALID_FILE_ATTRIBUTES) << "Debug 1 opened the log";
    ASSERT_EQ(korvane->put_Debug(VARIANT_FALSE), S_OK);
    PutText(korvane, &IKorvane::put_LogFile, lateLog);
    ASSERT_EQ(korvane->put_Debug(VARIANT_TRUE), S_OK);
    EXPECT_EQ(GetFileAttributesW(lateLog.c_str()), INVALID_FILE_ATTRIBUTES)
        << "Debug set later opened the log";
    PutText(korvane, &IKorvane::put_LogFile, onLog);
    EXPECT_NE(GetFileAttributesW(onLog.c_str()), INVALID_FILE_ATTRIBUTES)
        << "Debug VARIANT_TRUE opened nothing";

    // Stored, read by nothing.
    EXPECT_EQ(korvane->put_AutoCreateFolder(1), S_OK);
    EXPECT_EQ(korvane->put_AutoCreateFolder(VARIANT_TRUE), S_OK);
    EXPECT_EQ(korvane->put_Passive(5), S_OK);
}

TEST_F(KorvaneTest, ReferenceSettersKeepOneReference) {
    using Setter = HRESULT (STDMETHODCALLTYPE IKorvane::*)(IDispatchEx*);
    for (Setter setter : {&IKorvane::put_Object, &IKorvane::put_OnPost, &IKorvane::put_OnStateChanged}) {
        CComPtr<FunctionRecorder> first = Make<FunctionRecorder>();
        CComPtr<FunctionRecorder> second = Make<FunctionRecorder>();
        ASSERT_EQ((korvane->*setter)(first), S_OK);
        EXPECT_EQ(first->References(), 2);
        ASSERT_EQ((korvane->*setter)(first), S_OK);
        EXPECT_EQ(first->References(), 2) << "the same pointer again took another reference";
        ASSERT_EQ((korvane->*setter)(second), S_OK);
        EXPECT_EQ(first->References(), 1) << "the old pointer was not released";
        EXPECT_EQ(second->References(), 2);
        ASSERT_EQ((korvane->*setter)(nullptr), S_OK);
        EXPECT_EQ(second->References(), 1) << "null did not release";
        ASSERT_EQ((korvane->*setter)(second), S_OK);
        korvane.Release();
        EXPECT_EQ(second->References(), 1) << "the object's end did not release it";
        korvane = CreateKorvane();
    }
}

TEST_F(KorvaneTest, TextsEndAtTheirFirstNul) {
    Listen();
    const std::wstring file = MakeFile(L"data.bin", 1234);
    ASSERT_EQ(PutText(korvane, &IKorvane::put_LocalFile, file + std::wstring(L"\0junk", 5)), S_OK);
    EXPECT_EQ(GetText(korvane, &IKorvane::get_FileLength), L"1234");
    // An address that starts with a NUL is empty.
    PutText(korvane, &IKorvane::put_IP,
            std::wstring(L"\0"
                         L"127.0.0.1",
                         10));
    PutText(korvane, &IKorvane::put_RemoteFile, L"r.bin");
    ASSERT_EQ(korvane->Post(), S_OK);
    EXPECT_EQ(GetErrorCode(korvane), 10u);
    // A null BSTR is the empty text.
    ASSERT_EQ(korvane->put_RemoteFile(nullptr), S_OK);
    PutText(korvane, &IKorvane::put_IP, L"127.0.0.1");
    ASSERT_EQ(korvane->Post(), S_OK);
    EXPECT_EQ(GetErrorCode(korvane), 9u);
}

TEST_F(KorvaneTest, LocalFileReadsTheSizeWhenSetOnly) {
    const std::wstring file = MakeFile(L"data.bin", 100);
    PutText(korvane, &IKorvane::put_LocalFile, file);
    EXPECT_EQ(GetText(korvane, &IKorvane::get_FileLength), L"100");
    MakeFile(L"data.bin", 5000);
    EXPECT_EQ(GetText(korvane, &IKorvane::get_FileLength), L"100");
    PutText(korvane, &IKorvane::put_LocalFile, file);
    EXPECT_EQ(GetText(korvane, &IKorvane::get_FileLength), L"5000");
}

TEST_F(KorvaneTest, ALocalFileThatCannotBeOpenedShowsItsBox) {
    MessageBoxRecorder boxes;
    ASSERT_TRUE(boxes.Applied()) << "the DLL's import of MessageBoxW was not found";
    const std::wstring missing = TestFolder() + L"\\missing.bin";
    PutText(korvane, &IKorvane::put_LocalFile, missing);
    EXPECT_EQ(GetText(korvane, &IKorvane::get_FileLength), L"0");
    const auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, L"打开文件错误，错误码：2，文件路径：" + missing);
    EXPECT_EQ(shown[0].caption, L"000");
    EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_OK));
}

// ---- the two script functions, called by the page itself

TEST_F(KorvaneTest, FireOnPostGivesObjectThenSpeedBeforePostedLength) {
    Listen();
    CComBSTR posted(L"posted"), speed(L"speed"), percent(L"50%"), time(L"00:00:07");
    ASSERT_EQ(korvane->FireOnPost(posted, speed, percent, time), S_OK);
    ASSERT_EQ(progress->calls.size(), 1u);
    ExpectOnPostCall(progress->calls[0], {L"speed", L"posted", L"50%", L"00:00:07"});
    EXPECT_TRUE(states->calls.empty());

    // Without a function nothing is called, and the call still succeeds.
    ASSERT_EQ(korvane->put_OnPost(nullptr), S_OK);
    EXPECT_EQ(korvane->FireOnPost(posted, speed, percent, time), S_OK);
    EXPECT_EQ(progress->calls.size(), 1u);
}

TEST_F(KorvaneTest, FireStateChangedGivesObjectAndTheCurrentState) {
    ASSERT_EQ(korvane->put_OnStateChanged(states), S_OK);
    ASSERT_EQ(korvane->FireStateChanged(), S_OK);
    ASSERT_EQ(states->calls.size(), 1u);
    ExpectStateCall(states->calls[0], 0, nullptr);  // Object not set: a VT_DISPATCH null
    ASSERT_EQ(korvane->put_Object(page), S_OK);
    ASSERT_EQ(korvane->Post(), S_OK);  // state 3, and one call from the failed check
    ASSERT_EQ(korvane->FireStateChanged(), S_OK);
    ASSERT_EQ(states->calls.size(), 3u);
    ExpectStateCall(states->calls[2], 3, PageObject());

    ASSERT_EQ(korvane->put_OnStateChanged(nullptr), S_OK);
    EXPECT_EQ(korvane->FireStateChanged(), S_OK);
    EXPECT_EQ(states->calls.size(), 3u);
}

// ---- file checks

TEST_F(KorvaneCheckTest, Md5CheckCompletesWithTheDigest) {
    const std::wstring file = MakeFile(L"data.bin", 300000);
    Prepare(file, L"md5");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(WaitForEnd());
    ASSERT_EQ(states->calls.size(), 1u) << "a short check reports only its end";
    ExpectStateCall(states->calls[0], 6, PageObject());
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), FileMd5(file));
    EXPECT_EQ(GetText(korvane, &IKorvane::get_CRC), L"");
    EXPECT_EQ(GetMd5Percent(korvane), 0);
    EXPECT_TRUE(events->events.empty());
}

TEST_F(KorvaneCheckTest, CrcCheckCompletesWithTheChecksum) {
    const std::wstring file = MakeFile(L"data.bin", 300001);
    Prepare(file, L"crc");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(WaitForEnd());
    ASSERT_EQ(states->calls.size(), 1u) << "the CRC check reports no progress";
    ExpectStateCall(states->calls[0], 6, PageObject());
    EXPECT_EQ(GetText(korvane, &IKorvane::get_CRC), FileCrc32(file));
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), L"");
    EXPECT_TRUE(events->events.empty());
}

TEST_F(KorvaneCheckTest, AFileGoneBeforeTheCheckFailsWithTheCheckersCode) {
    MessageBoxRecorder boxes;
    for (const wchar_t* crypType : {L"crc", L"md5"}) {
        SCOPED_TRACE(Utf8(crypType));
        states = Make<FunctionRecorder>();
        const std::wstring file = MakeFile(L"gone.bin", 5000);
        Prepare(file, crypType);
        ASSERT_TRUE(DeleteFileW(file.c_str()));
        ASSERT_EQ(korvane->FileCheck(), S_OK);
        ASSERT_TRUE(WaitForEnd());
        ASSERT_EQ(states->calls.size(), 1u);
        ExpectStateCall(states->calls[0], 3, PageObject());
        // The CRC check cannot open it (200); the MD5 check measures it as empty (201).
        EXPECT_EQ(GetErrorCode(korvane), std::wstring(crypType) == L"crc" ? 200u : 201u);
    }
    // Only the MD5 check measures the file, with the size's message.
    EXPECT_EQ(boxes.WithCaption(L"000").size(), 1u);
}

// A check long enough to report progress: once a second at most, state 5 with Md5Percent rising, then 6.
TEST_F(KorvaneCheckTest, LongMd5CheckReportsProgressThenCompletion) {
    const std::wstring file = MakeSparseFile(L"zeros.bin", kProgressFileSize);
    Prepare(file, L"md5");
    std::vector<LONG> percents;
    states->onCall = [&](const Call& call) {
        if (call.arguments.size() == 2 && call.arguments[1].number == 5)
            percents.push_back(GetMd5Percent(korvane));
    };
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(WaitForEnd(120000));
    const std::vector<LONG> seen = StatesSeen();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.back(), 6);
    for (size_t i = 0; i + 1 < seen.size(); ++i) EXPECT_EQ(seen[i], 5) << "report " << i;
    // On a loaded machine a second may add less than a whole percent (the first report may show 0), so two
    // reports in a row may show one figure: it never falls, and over the check it rises.
    for (size_t i = 0; i < percents.size(); ++i) {
        EXPECT_GE(percents[i], 0);
        EXPECT_LT(percents[i], 100);
        if (i > 0) {
            EXPECT_GE(percents[i], percents[i - 1]) << "Md5Percent fell";
        }
    }
    if (percents.size() >= 2) {
        EXPECT_GT(percents.back(), percents.front()) << "Md5Percent did not rise";
    }
    for (size_t i = 1; i + 1 < states->calls.size(); ++i)
        EXPECT_GE(states->calls[i].tick - states->calls[i - 1].tick, 900u) << "progress came sooner than 1 s";
    ExpectOnThread(states->calls, pageThread_, "OnStateChanged");
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), kProgressFileMd5);
    EXPECT_TRUE(events->events.empty());

    // The next checks start from the last percent: a short MD5 check and a CRC check leave it.
    const LONG last = GetMd5Percent(korvane);
    PutText(korvane, &IKorvane::put_LocalFile, MakeFile(L"small.bin", 1000));
    for (const wchar_t* crypType : {L"md5", L"crc"}) {
        states->calls.clear();
        PutText(korvane, &IKorvane::put_CrypType, crypType);
        ASSERT_EQ(korvane->FileCheck(), S_OK);
        ASSERT_TRUE(WaitForEnd());
        EXPECT_EQ(GetMd5Percent(korvane), last) << Utf8(crypType);
    }
}

TEST_F(KorvaneCheckTest, AFileCheckWhileACheckOfItsKindRunsIsRefused) {
    const std::wstring file = MakeSparseFile(L"zeros.bin", kGib);
    Prepare(file, L"md5");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    // A second start of the kind, even one that would fail its check, changes nothing.
    PutText(korvane, &IKorvane::put_LocalFile, MakeFile(L"small.bin", 10));
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    PutText(korvane, &IKorvane::put_IP, L"");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    EXPECT_EQ(GetErrorCode(korvane), 0u);
    EXPECT_EQ(ReadState(korvane, *states), 5);
    ASSERT_TRUE(WaitForEnd(120000));
    Pump(500);
    const std::vector<LONG> seen = StatesSeen();
    EXPECT_EQ(seen.back(), 6);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 6), 1) << "the refused starts ran a check of their own";
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), kZeroGibMd5) << "the running check went on";
    EXPECT_EQ(GetText(korvane, &IKorvane::get_CRC), L"");
}

// The two checks run on engine objects of their own: a check of the other kind starts while one runs, with
// its own validation, and the page hears both ends and reads both results.
TEST_F(KorvaneCheckTest, ACheckOfTheOtherKindRunsBesideTheFirst) {
    const std::wstring big = MakeSparseFile(L"zeros.bin", kGib);
    const std::wstring small = MakeFile(L"small.bin", 300001);
    struct Case {
        const char* name;
        const wchar_t* first;
        const std::wstring& firstFile;
        const wchar_t* second;
        const std::wstring& secondFile;
    };
    const Case cases[] = {
        {"md5 then crc in a row", L"md5", small, L"crc", small},
        {"crc while a long md5 runs", L"md5", big, L"crc", small},
        {"md5 while a long crc runs", L"crc", big, L"md5", small},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        advise.reset();
        korvane = CreateKorvane();
        ASSERT_TRUE(korvane);
        states->calls.clear();
        Prepare(c.firstFile, c.first);
        ASSERT_EQ(korvane->FileCheck(), S_OK);
        PutText(korvane, &IKorvane::put_LocalFile, c.secondFile);
        PutText(korvane, &IKorvane::put_CrypType, c.second);
        ASSERT_EQ(korvane->FileCheck(), S_OK);
        auto ends = [&] {
            const std::vector<LONG> seen = StatesSeen();
            return std::count(seen.begin(), seen.end(), 6) + std::count(seen.begin(), seen.end(), 3);
        };
        ASSERT_TRUE(PumpUntil([&] { return ends() >= 2; }, 120000)) << "a check was dropped";
        Pump(300);
        // A long MD5 check reports progress (5) as it goes.
        std::vector<LONG> ended = StatesSeen();
        ended.erase(std::remove(ended.begin(), ended.end(), 5), ended.end());
        EXPECT_THAT(ended, ElementsAre(6, 6));
        const bool md5First = std::wstring(c.first) == L"md5";
        const std::wstring& md5File = md5First ? c.firstFile : c.secondFile;
        const std::wstring& crcFile = md5First ? c.secondFile : c.firstFile;
        EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), &md5File == &big ? kZeroGibMd5 : FileMd5(md5File));
        EXPECT_EQ(GetText(korvane, &IKorvane::get_CRC), &crcFile == &big ? kZeroGibCrc : FileCrc32(crcFile));
        EXPECT_EQ(GetErrorCode(korvane), 0u);
    }
}

TEST_F(KorvaneCheckTest, StopEndsAnMd5CheckWithoutAReport) {
    Prepare(MakeSparseFile(L"zeros.bin", 4 * kGib), L"md5");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    Pump(200);
    ASSERT_EQ(korvane->Stop(), S_OK);
    const size_t told = states->calls.size();
    Pump(2500);
    EXPECT_EQ(states->calls.size(), told) << "a report came after the stop";
    EXPECT_EQ(ReadState(korvane, *states), 5);
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), L"");

    // The object can check again.
    const std::wstring small = MakeFile(L"small.bin", 4096);
    PutText(korvane, &IKorvane::put_LocalFile, small);
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), FileMd5(small));
}

// ---- lifetime

TEST_F(KorvaneTest, AnIdleObjectGoesWithItsLastReference) {
    Listen();
    ASSERT_EQ(korvane->Post(), S_OK);  // work that failed its check leaves nothing running
    advise.reset();
    korvane.Release();
    EXPECT_EQ(states->References(), 1) << "the released object is still alive";
    EXPECT_EQ(page->References(), 1);
    EXPECT_EQ(events->References(), 1);
    EXPECT_EQ(ServerCanUnloadNow(), S_OK);
}

TEST_F(KorvaneCheckTest, AnObjectReleasedDuringACheckLivesUntilItsEnd) {
    // A first check, to its end, starts the threads the platform keeps for COM; the count after it is the
    // one to come back to.
    Prepare(MakeFile(L"warm.bin", 1000), L"md5");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(WaitForEnd());
    states->calls.clear();
    Pump(200);
    const int threadsBefore = ThreadCount();
    PutText(korvane, &IKorvane::put_LocalFile, MakeSparseFile(L"zeros.bin", kGib));
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    advise.reset();
    korvane.Release();
    EXPECT_EQ(ServerCanUnloadNow(), S_FALSE) << "the DLL could unload under a running check";
    EXPECT_GT(states->References(), 1) << "the object went while its check ran";
    // The page's function still hears the end; then the object goes, and its worker with it.
    ASSERT_TRUE(PumpUntil([&] { return StateSeen(6); }, 120000));
    ASSERT_TRUE(PumpUntil([&] { return states->References() == 1; }, 5000))
        << "the object outlived its check";
    EXPECT_EQ(page->References(), 1);
    EXPECT_TRUE(WaitUntilServerCanUnload()) << "the DLL cannot unload after the check";
    // Threads the platform started for the run (its thread pool's) idle out after about five seconds: the
    // count is given well beyond that to come back. A thread of ours that never ends still fails it.
    EXPECT_TRUE(PumpUntil([&] { return ThreadCount() <= threadsBefore; }, kThreadsIdleDeadline))
        << ThreadCount() << " threads, " << threadsBefore << " before";
}

TEST_F(KorvaneCheckTest, AnObjectReleasedAfterStoppingItsCheckGoesSoon) {
    Prepare(MakeSparseFile(L"zeros.bin", 4 * kGib), L"md5");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    Pump(100);
    ASSERT_EQ(korvane->Stop(), S_OK);
    advise.reset();
    korvane.Release();
    EXPECT_TRUE(PumpUntil([&] { return states->References() == 1; }, 3000))
        << "a stopped check kept the released object";
    EXPECT_TRUE(WaitUntilServerCanUnload()) << "the DLL cannot unload after the check";
}

// ---- the message box when the object cannot be taken out of the Global Interface Table

// The object cannot be marshalled in this apartment, so every fetch fails.
class KorvaneFetchFailureTest : public WithoutMarshalling<KorvaneCheckTest> {};

TEST_F(KorvaneFetchFailureTest, EveryCheckReportShowsTheBoxAndCallsNothing) {
    MessageBoxRecorder boxes;
    ASSERT_TRUE(boxes.Applied());
    Prepare(MakeSparseFile(L"zeros.bin", kProgressFileSize), L"md5");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.WithCaption(L"md5Complete").empty(); }, 120000));
    const auto progressBoxes = boxes.WithCaption(L"md5Process");
    EXPECT_FALSE(progressBoxes.empty()) << "no progress box in a check of 2 GiB";
    for (const auto& box : boxes.Boxes()) {
        EXPECT_EQ(box.text, kFetchFailed);
        EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
        EXPECT_NE(box.thread, pageThread_) << "the box belongs to the worker";
    }
    EXPECT_TRUE(states->calls.empty()) << "the function was called without the fetched pointer";
    // The fields were written all the same.
    EXPECT_EQ(ReadState(korvane, *states), 6);
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), kProgressFileMd5);
    EXPECT_GT(GetMd5Percent(korvane), 0);

    // A failed CRC check: its box bears the MD5 error handler's name.
    const std::wstring gone = MakeFile(L"gone.bin", 100);
    PutText(korvane, &IKorvane::put_LocalFile, gone);
    DeleteFileW(gone.c_str());
    PutText(korvane, &IKorvane::put_CrypType, L"crc");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.WithCaption(L"md5Error").empty(); }, 10000));
    EXPECT_EQ(GetErrorCode(korvane), 200u);
}
