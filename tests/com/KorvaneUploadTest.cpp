// Uploads through the object to real FTP servers (pyftpdlib, vsftpd) and scripted ones from the FTP lab:
// every event and script call, their arguments, their order and the thread they arrive on; refusals, stops,
// the object's lifetime while an upload runs, and the message box when the object cannot be fetched.
#include "KorvaneFixture.h"

#include <gmock/gmock.h>

#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "LabClient.h"

using namespace korvanetest;
using ::testing::ElementsAre;

namespace {

const char kUser[] = "kvobjtest";
const char kPassword[] = "Obj-Pass-1";
const std::wstring kFetchFailed = L"从全局GIT中获取指针失败";
const int64_t kMib = 1048576;
// Big enough that the send loop runs for more than a second, so progress is reported: the servers take it
// at most kLongUploadRate bytes a second (the engine alone moves it within a second).
const int64_t kLongUpload = 768 * kMib;
const int64_t kLongUploadRate = 256 * kMib;

bool Matches(const std::wstring& text, const wchar_t* pattern) {
    return std::regex_match(text, std::wregex(pattern));
}

class KorvaneUploadTest : public KorvaneTest {
protected:
    // Points the object at a server of the lab. The port is given 65536 higher: only its low 16 bits count.
    void Target(const ftplab::Server& server, const wchar_t* folder, const std::wstring& file,
                const std::wstring& localFile, const char* user = kUser, const char* password = kPassword) {
        PutText(korvane, &IKorvane::put_IP, L"127.0.0.1");
        ASSERT_EQ(korvane->put_Port(static_cast<ULONG>(server.port) + 65536u), S_OK);
        PutText(korvane, &IKorvane::put_UserName, Narrow(user));
        PutText(korvane, &IKorvane::put_UserPass, Narrow(password));
        PutText(korvane, &IKorvane::put_RemoteFolder, folder);
        PutText(korvane, &IKorvane::put_RemoteFile, file);
        PutText(korvane, &IKorvane::put_LocalFile, localFile);
    }
    bool WaitForEnd(DWORD timeoutMs = 180000) {
        return PumpUntil([&] { return StateSeen(2) || StateSeen(3); }, timeoutMs);
    }
    // Waits until the object's references to the recorders are gone: the object has been freed.
    bool WaitUntilFreed(DWORD timeoutMs) {
        return PumpUntil([&] { return states->References() == 1 && page->References() == 1; }, timeoutMs);
    }

    ftplab::FtpLab lab;
};

class KorvaneRealServerTest : public KorvaneUploadTest, public ::testing::WithParamInterface<const char*> {};

// The whole road of one upload, with the events and the script calls a page gets from it.
TEST_P(KorvaneRealServerTest, UploadTellsThePageEverythingOnItsThread) {
    const ftplab::Server server = lab.StartReal(GetParam(), kUser, kPassword, kLongUploadRate);
    const std::wstring local = MakeFile(L"upload.bin", kLongUpload);
    Listen();
    ASSERT_EQ(korvane->put_FileID(4000000000u), S_OK);
    // The remote name ends at its NUL.
    Target(server, L"in/deep", std::wstring(L"f.bin\0junk", 10), local);
    ASSERT_EQ(korvane->Post(), S_OK);
    EXPECT_EQ(ReadState(korvane, *states), 1);
    std::vector<UINT> errorCodeAtStateCall;
    states->onCall = [&](const Call&) { errorCodeAtStateCall.push_back(GetErrorCode(korvane)); };
    ASSERT_TRUE(WaitForEnd());
    Pump(300);

    // The function hears the end once; the progress went to OnPost.
    ASSERT_THAT(StatesSeen(), ElementsAre(2));
    ExpectStateCall(states->calls[0], 2, PageObject());
    EXPECT_EQ(errorCodeAtStateCall, std::vector<UINT>{0});

    // Events: progress reports, then PostComplete with the FileID, as VT_UI4.
    ASSERT_GE(events->events.size(), 2u);
    const std::vector<Call> process = events->Named(kPostProcess);
    ASSERT_GE(process.size(), 1u) << "no progress in an upload of " << kLongUpload << " bytes";
    ASSERT_EQ(events->events.size(), process.size() + 1);
    const Call& complete = events->events.back();
    EXPECT_EQ(complete.dispid, kPostComplete);
    ASSERT_EQ(complete.arguments.size(), 1u);
    EXPECT_EQ(complete.arguments[0].type, VT_UI4);
    EXPECT_EQ(complete.arguments[0].number, 4000000000LL);
    EXPECT_LT(complete.sequence, states->calls[0].sequence) << "the event comes before the function";

    // Each progress event is followed at once by its OnPost call with the same texts, Object first and
    // speed before the posted length.
    ASSERT_EQ(progress->calls.size(), process.size());
    for (size_t i = 0; i < process.size(); ++i) {
        SCOPED_TRACE("progress report " + std::to_string(i));
        const Call& event = process[i];
        ASSERT_EQ(event.arguments.size(), 5u);
        EXPECT_EQ(event.arguments[0].type, VT_UI4);
        EXPECT_EQ(event.arguments[0].number, 4000000000LL);
        for (size_t a = 1; a < 5; ++a) EXPECT_EQ(event.arguments[a].type, VT_BSTR);
        const std::wstring& speed = event.arguments[1].text;
        const std::wstring& posted = event.arguments[2].text;
        EXPECT_TRUE(Matches(speed, L"[0-9]+\\.[0-9]{2}(KB|MB|GB)|[0-9]+Bytes")) << Utf8(speed);
        EXPECT_TRUE(Matches(posted, L"[0-9]+\\.[0-9]{2}(KB|MB)")) << Utf8(posted);
        EXPECT_TRUE(Matches(event.arguments[3].text, L"([0-9]{1,2}|100)%")) << Utf8(event.arguments[3].text);
        EXPECT_TRUE(Matches(event.arguments[4].text, L"[0-9]{2}:[0-9]{2}:[0-9]{2}"))
            << Utf8(event.arguments[4].text);

        const Call& call = progress->calls[i];
        EXPECT_EQ(call.sequence, event.sequence + 1) << "OnPost does not follow its event";
        ExpectOnPostCall(call, {speed, posted, event.arguments[3].text, event.arguments[4].text});
    }
    ExpectOnThread(events->events, pageThread_, "event");
    ExpectOnThread(progress->calls, pageThread_, "OnPost");
    ExpectOnThread(states->calls, pageThread_, "OnStateChanged");
    EXPECT_TRUE(events->Named(kPostConnected).empty());

    const ftplab::FileInfo sent = lab.RemoteFile(server.id, "in/deep/f.bin");
    ASSERT_TRUE(sent.exists) << "no in/deep/f.bin on the server";
    EXPECT_EQ(sent.size, kLongUpload);
    EXPECT_EQ(sent.md5, Utf8(FileMd5(local)));
    EXPECT_EQ(GetErrorCode(korvane), 0u);
}

INSTANTIATE_TEST_SUITE_P(Servers, KorvaneRealServerTest, ::testing::Values("pyftpdlib", "vsftpd"));

// Encryption first, then the encrypted name and password: the server sees the decrypted ones.
TEST_F(KorvaneUploadTest, EncryptedCredentialsLogInDecrypted) {
    // printf 'korvane\0\0\0\0\0\0\0\0\0' | openssl enc -aes-128-ecb -nopad -K
    // 37443241394334312d334236452d3461 | base64 printf 'Pass-2015\0\0\0\0\0\0\0' | openssl enc -aes-128-ecb
    // -nopad -K 37443241394334312d334236452d3461 | base64
    const ftplab::Server server =
        lab.StartScripted(ftplab::ScriptBuilder().Credentials("korvane", "Pass-2015"));
    Listen();
    ASSERT_EQ(korvane->put_Encryption(VARIANT_TRUE), S_OK);
    Target(server, L"", L"secret.bin", MakeFile(L"secret.bin", 3000),
           "yg2DICshg/FRaKsD5x9HSQ==", "NFnrRZad2h4iDzCsQ3e7JA==");
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(WaitForEnd(60000));
    EXPECT_THAT(StatesSeen(), ElementsAre(2));
    const std::vector<std::string> commands = lab.Commands(server.id);
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0], "USER korvane");
    EXPECT_EQ(commands[1], "PASS Pass-2015");
    EXPECT_TRUE(lab.RemoteFile(server.id, "secret.bin").exists);
}

// A blank or all-blank user name is ignored, also when credentials arrive encrypted (before anything is
// decrypted): a new object logs in with its own "anonymous".
TEST_F(KorvaneUploadTest, ABlankUserNameLogsInAsAnonymous) {
    const ftplab::Server server =
        lab.StartScripted(ftplab::ScriptBuilder().Credentials("anonymous", "guest"));
    const std::wstring local = MakeFile(L"anonymous.bin", 3000);
    const struct {
        const char* name;
        const wchar_t* userName;
        bool encryption;
    } cases[] = {
        {"empty", L"", false},
        {"spaces", L"   ", false},
        {"spaces and tabs", L" \t \t", false},
        {"empty, encrypted", L"", true},
        {"spaces, encrypted", L"   ", true},
        {"spaces and tabs, encrypted", L"\t  ", true},
    };
    int connection = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        advise.reset();
        korvane = CreateKorvane();
        ASSERT_TRUE(korvane);
        states->calls.clear();
        events->events.clear();
        Listen();
        Target(server, L"", L"anonymous.bin", local, "", "guest");
        if (c.encryption) {
            ASSERT_EQ(korvane->put_Encryption(VARIANT_TRUE), S_OK);
        }
        PutText(korvane, &IKorvane::put_UserName, c.userName);
        ASSERT_EQ(korvane->Post(), S_OK);
        ASSERT_TRUE(WaitForEnd(60000));
        EXPECT_THAT(StatesSeen(), ElementsAre(2));
        const std::vector<std::string> commands = lab.Commands(server.id, connection++);
        ASSERT_GE(commands.size(), 2u);
        EXPECT_EQ(commands[0], "USER anonymous");
        EXPECT_EQ(commands[1], "PASS guest");
    }
}

// The progress events come to the advised sinks whether or not the page set OnPost.
TEST_F(KorvaneUploadTest, ProgressEventsComeWithoutOnPost) {
    const ftplab::Server server = lab.StartReal("pyftpdlib", kUser, kPassword, kLongUploadRate);
    const std::wstring local = MakeFile(L"quiet.bin", kLongUpload);
    Listen();
    ASSERT_EQ(korvane->put_OnPost(nullptr), S_OK);
    ASSERT_EQ(korvane->put_FileID(9), S_OK);
    Target(server, L"", L"quiet.bin", local);
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(WaitForEnd());
    Pump(300);
    EXPECT_THAT(StatesSeen(), ElementsAre(2));
    const std::vector<Call> process = events->Named(kPostProcess);
    ASSERT_GE(process.size(), 1u) << "no progress in an upload of " << kLongUpload << " bytes";
    for (const Call& event : process) {
        ASSERT_EQ(event.arguments.size(), 5u);
        EXPECT_EQ(event.arguments[0].number, 9);
        EXPECT_TRUE(Matches(event.arguments[3].text, L"([0-9]{1,2}|100)%")) << Utf8(event.arguments[3].text);
    }
    EXPECT_EQ(events->events.size(), process.size() + 1);
    EXPECT_EQ(events->events.back().dispid, kPostComplete);
    EXPECT_TRUE(progress->calls.empty());
    ExpectOnThread(events->events, pageThread_, "event");
    EXPECT_EQ(lab.RemoteFile(server.id, "quiet.bin").md5, Utf8(FileMd5(local)));
}

TEST_F(KorvaneUploadTest, RefusedPasswordIsReportedAndItsCodeOutlivesTheNextStart) {
    const ftplab::Server server = lab.StartReal("pyftpdlib", kUser, kPassword);
    Listen();
    ASSERT_EQ(korvane->put_FileID(7), S_OK);
    Target(server, L"", L"f.bin", MakeFile(L"f.bin", 5000), kUser, "wrong");
    std::vector<UINT> errorCodeAtEvent;
    events->onEvent = [&](const Call&) { errorCodeAtEvent.push_back(GetErrorCode(korvane)); };
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(WaitForEnd(60000));
    Pump(200);

    ASSERT_EQ(events->events.size(), 1u);
    const Call& error = events->events[0];
    EXPECT_EQ(error.dispid, kPostError);
    ASSERT_EQ(error.arguments.size(), 2u);
    EXPECT_EQ(error.arguments[0].type, VT_UI4);
    EXPECT_EQ(error.arguments[0].number, 7);
    EXPECT_EQ(error.arguments[1].type, VT_UI4);
    EXPECT_EQ(error.arguments[1].number, 6) << "the password was refused";
    EXPECT_EQ(errorCodeAtEvent, std::vector<UINT>{6}) << "ErrorCode is written before the event";
    ASSERT_THAT(StatesSeen(), ElementsAre(3));
    ExpectStateCall(states->calls[0], 3, PageObject());
    EXPECT_LT(error.sequence, states->calls[0].sequence);
    EXPECT_EQ(GetErrorCode(korvane), 6u);

    // A start that passes its check leaves the old code while it uploads, and after.
    PutText(korvane, &IKorvane::put_UserPass, Narrow(kPassword));
    ASSERT_EQ(korvane->Post(), S_OK);
    EXPECT_EQ(ReadState(korvane, *states), 1);
    EXPECT_EQ(GetErrorCode(korvane), 6u);
    ASSERT_TRUE(PumpUntil([&] { return StateSeen(2); }, 60000));
    EXPECT_EQ(GetErrorCode(korvane), 6u);
}

TEST_F(KorvaneUploadTest, APostWhileTheUploadRunsChangesNothing) {
    const ftplab::Server server = lab.StartReal("pyftpdlib", kUser, kPassword);
    Listen();
    ASSERT_EQ(korvane->put_FileID(7), S_OK);
    const std::wstring local = MakeFile(L"f.bin", kLongUpload);
    Target(server, L"", L"f.bin", local);
    ASSERT_EQ(korvane->Post(), S_OK);
    // A second Post, with settings that would fail the check, is refused whole.
    ASSERT_EQ(korvane->put_FileID(8), S_OK);
    PutText(korvane, &IKorvane::put_IP, L"");
    ASSERT_EQ(korvane->Post(), S_OK);
    EXPECT_TRUE(events->Named(kPostStateChanged).empty());
    EXPECT_TRUE(states->calls.empty());
    EXPECT_EQ(GetErrorCode(korvane), 0u);
    EXPECT_EQ(ReadState(korvane, *states), 1);

    ASSERT_TRUE(WaitForEnd());
    Pump(300);
    EXPECT_THAT(StatesSeen(), ElementsAre(2));
    ASSERT_EQ(events->Named(kPostComplete).size(), 1u);
    EXPECT_EQ(events->Named(kPostComplete)[0].arguments[0].number, 7) << "the running upload kept its FileID";
    EXPECT_EQ(lab.RemoteFile(server.id, "f.bin").md5, Utf8(FileMd5(local)));
}

TEST_F(KorvaneUploadTest, AnUploadAndACheckRunAtOnce) {
    const ftplab::Server server = lab.StartReal("vsftpd", kUser, kPassword);
    Listen();
    const std::wstring local = MakeFile(L"both.bin", kLongUpload);
    Target(server, L"", L"both.bin", local);
    ASSERT_EQ(korvane->Post(), S_OK);
    PutText(korvane, &IKorvane::put_CrypType, L"md5");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return !events->Named(kPostComplete).empty() && StateSeen(6); }, 180000));
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), FileMd5(local));
    EXPECT_EQ(lab.RemoteFile(server.id, "both.bin").md5, Utf8(FileMd5(local)));
    EXPECT_TRUE(events->Named(kPostError).empty());
}

TEST_F(KorvaneUploadTest, StopDuringTheTransferEndsItSilently) {
    const ftplab::Server server = lab.StartReal("pyftpdlib", kUser, kPassword);
    Listen();
    const int64_t size = 4096 * kMib;
    Target(server, L"", L"stopped.bin", MakeSparseFile(L"stopped.bin", size));
    size_t toldAtStop = 0, eventsAtStop = 0, progressAtStop = 0;
    events->onEvent = [&](const Call& event) {
        if (event.dispid == kPostProcess && eventsAtStop == 0) {
            EXPECT_EQ(korvane->Stop(), S_OK);
            eventsAtStop = events->events.size();
            progressAtStop = progress->calls.size();
            toldAtStop = states->calls.size();
        }
    };
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return eventsAtStop > 0; }, 60000)) << "no progress to stop at";
    Pump(3000);
    EXPECT_EQ(events->events.size(), eventsAtStop) << "an event came after the stop";
    EXPECT_EQ(progress->calls.size(), progressAtStop) << "OnPost was called after the stop";
    EXPECT_EQ(states->calls.size(), toldAtStop);
    EXPECT_EQ(ReadState(korvane, *states), 1);
    const ftplab::FileInfo partial = lab.RemoteFile(server.id, "stopped.bin");
    EXPECT_LT(partial.size, size);

    // The stopped upload keeps nothing alive.
    advise.reset();
    korvane.Release();
    EXPECT_TRUE(WaitUntilFreed(5000)) << "a stopped upload kept the released object";
    EXPECT_TRUE(WaitUntilServerCanUnload()) << "the DLL cannot unload after the upload";
}

TEST_F(KorvaneUploadTest, AnObjectReleasedDuringAnUploadFinishesItThenGoes) {
    const ftplab::Server server = lab.StartReal("vsftpd", kUser, kPassword, kLongUploadRate);
    const std::wstring local = MakeFile(L"released.bin", kLongUpload);
    Listen();
    // A first upload, to its end, starts the threads the platform keeps for COM and sockets; the count
    // after it is the one to come back to.
    Target(server, L"drop", L"warm.bin", MakeFile(L"warm.bin", 1000));
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(WaitForEnd(60000));
    Pump(300);
    events->events.clear();
    states->calls.clear();
    const int threadsBefore = ThreadCount();
    PutText(korvane, &IKorvane::put_RemoteFile, L"released.bin");
    PutText(korvane, &IKorvane::put_LocalFile, local);
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return !events->Named(kPostProcess).empty(); }, 60000));

    // The page lets go; the sink stays advised as long as the object lives.
    advise->Abandon();
    korvane.Release();
    EXPECT_EQ(ServerCanUnloadNow(), S_FALSE) << "the DLL could unload under a running upload";
    ASSERT_TRUE(PumpUntil([&] { return !events->Named(kPostComplete).empty(); }, 180000));
    EXPECT_TRUE(PumpUntil([&] { return StateSeen(2); }, 5000)) << "OnStateChanged did not hear the end";
    EXPECT_TRUE(WaitUntilFreed(5000)) << "the object outlived its upload";
    EXPECT_TRUE(PumpUntil([&] { return events->References() == 1; }, 1000)) << "the sink was not released";
    EXPECT_TRUE(WaitUntilServerCanUnload()) << "the DLL cannot unload after the upload";
    // Threads the platform started for the run (its thread pool's) idle out after about five seconds: the
    // count is given well beyond that to come back. A thread of ours that never ends still fails it.
    EXPECT_TRUE(PumpUntil([&] { return ThreadCount() <= threadsBefore; }, kThreadsIdleDeadline))
        << ThreadCount() << " threads, " << threadsBefore << " before";
    ExpectOnThread(events->events, pageThread_, "event");
    EXPECT_EQ(lab.RemoteFile(server.id, "drop/released.bin").md5, Utf8(FileMd5(local)));
}

// ---- starts and calls from inside the page's callbacks

// Where a page asks for a new upload from inside a callback of the running one.
struct UploadRestartCase {
    const char* name;
    // The callback: OnPost, or the event with this DISPID.
    DISPID event;
    bool stopFirst;
};

void PrintTo(const UploadRestartCase& c, std::ostream* out) { *out << c.name; }

class KorvaneUploadRestartTest : public KorvaneUploadTest,
                                 public ::testing::WithParamInterface<UploadRestartCase> {};

// The callback returns at once; the new upload runs once the old one's worker is out of the way, and the
// page hears its events as usual, on its own thread.
TEST_P(KorvaneUploadRestartTest, AStartFromInsideACallbackIsCarriedOut) {
    const UploadRestartCase& c = GetParam();
    const ftplab::Server server = lab.StartReal("pyftpdlib", kUser, kPassword);
    Listen();
    ASSERT_EQ(korvane->put_FileID(1), S_OK);
    // A stopped upload must still be sending when it is stopped: a file that takes long.
    const std::wstring first =
        c.stopFirst ? MakeSparseFile(L"first.bin", 4096 * kMib) : MakeFile(L"first.bin", kLongUpload);
    const std::wstring second = MakeFile(L"second.bin", 100000);
    Target(server, L"", L"first.bin", first);
    bool restarted = false;
    auto restart = [&] {
        if (restarted) return;
        restarted = true;
        if (c.stopFirst) {
            EXPECT_EQ(korvane->Stop(), S_OK);
        }
        ASSERT_EQ(korvane->put_FileID(2), S_OK);
        PutText(korvane, &IKorvane::put_RemoteFile, L"second.bin");
        PutText(korvane, &IKorvane::put_LocalFile, second);
        EXPECT_EQ(korvane->Post(), S_OK);
    };
    if (c.event == DISPID_VALUE)
        progress->onCall = [&](const Call&) { restart(); };
    else
        events->onEvent = [&](const Call& event) {
            if (event.dispid == c.event) restart();
        };
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return restarted; }, 120000))
        << "no callback to restart from; error code " << GetErrorCode(korvane) << ", last state "
        << (StatesSeen().empty() ? -1 : StatesSeen().back());
    auto secondComplete = [&] {
        for (const Call& event : events->Named(kPostComplete))
            if (event.arguments.size() == 1 && event.arguments[0].number == 2) return true;
        return false;
    };
    ASSERT_TRUE(PumpUntil(secondComplete, 120000)) << "the start asked inside the callback was lost";
    ASSERT_TRUE(PumpUntil([&] { return !StatesSeen().empty() && StatesSeen().back() == 2; }, 5000));
    EXPECT_EQ(lab.RemoteFile(server.id, "second.bin").md5, Utf8(FileMd5(second)));
    EXPECT_TRUE(events->Named(kPostError).empty());
    ExpectOnThread(events->events, pageThread_, "event");
    ExpectOnThread(progress->calls, pageThread_, "OnPost");
    ExpectOnThread(states->calls, pageThread_, "OnStateChanged");
    advise.reset();
    korvane.Release();
    EXPECT_TRUE(WaitUntilFreed(5000)) << "the object outlived its uploads";
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks, KorvaneUploadRestartTest,
    ::testing::Values(UploadRestartCase{"StopThenPostInsideOnPost", DISPID_VALUE, true},
                      UploadRestartCase{"StopThenPostInsidePostProcess", kPostProcess, true},
                      UploadRestartCase{"PostInsidePostComplete", kPostComplete, false}),
    [](const ::testing::TestParamInfo<UploadRestartCase>& info) { return std::string(info.param.name); });

// An upload asked inside a callback waits for the run that reports, with the settings the page had made at
// its call: the file, the names, the FileID and the server settings the page sets right after it, for its
// next upload, do not reach it.
TEST_F(KorvaneUploadTest, AnUploadThatWaitsKeepsTheSettingsOfItsCall) {
    const ftplab::Server server = lab.StartReal("pyftpdlib", kUser, kPassword);
    Listen();
    ASSERT_EQ(korvane->put_FileID(1), S_OK);
    const std::wstring second = MakeFile(L"second.bin", 100000);
    const std::wstring third = MakeFile(L"third.bin", 3000);
    Target(server, L"", L"first.bin", MakeFile(L"first.bin", 5000));
    bool asked = false;
    events->onEvent = [&](const Call& event) {
        if (asked || event.dispid != kPostComplete) return;
        asked = true;
        ASSERT_EQ(korvane->put_FileID(2), S_OK);
        PutText(korvane, &IKorvane::put_RemoteFolder, L"next");
        PutText(korvane, &IKorvane::put_RemoteFile, L"second.bin");
        PutText(korvane, &IKorvane::put_LocalFile, second);
        EXPECT_EQ(korvane->Post(), S_OK);
        ASSERT_EQ(korvane->put_FileID(3), S_OK);
        PutText(korvane, &IKorvane::put_RemoteFolder, L"");
        PutText(korvane, &IKorvane::put_RemoteFile, L"third.bin");
        PutText(korvane, &IKorvane::put_LocalFile, third);
        PutText(korvane, &IKorvane::put_UserName, L"nobody");
        PutText(korvane, &IKorvane::put_UserPass, L"wrong");
        ASSERT_EQ(korvane->put_Port(static_cast<ULONG>(lab.DeadPort())), S_OK);
    };
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(PumpUntil(
        [&] { return events->Named(kPostComplete).size() + events->Named(kPostError).size() >= 2; }, 120000))
        << "the upload asked inside the callback was lost";
    Pump(300);
    const std::vector<Call> completes = events->Named(kPostComplete);
    ASSERT_EQ(completes.size(), 2u);
    EXPECT_EQ(completes[1].arguments[0].number, 2);
    EXPECT_TRUE(events->Named(kPostError).empty()) << "error " << GetErrorCode(korvane);
    EXPECT_THAT(StatesSeen(), ElementsAre(2, 2));
    EXPECT_EQ(lab.RemoteFile(server.id, "next/second.bin").md5, Utf8(FileMd5(second)));
    EXPECT_FALSE(lab.RemoteFile(server.id, "third.bin").exists);
    EXPECT_FALSE(lab.RemoteFile(server.id, "next/third.bin").exists);
}

// An object in the multithreaded apartment, reached from the page's thread through a proxy: method 1 sleeps
// a little, method 2 answers at once.
class OtherApartment {
public:
    OtherApartment() {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        quit_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            {
                CComPtr<Callee> callee;
                callee.Attach(new Callee);
                CoMarshalInterThreadInterfaceInStream(IID_IDispatch, static_cast<IDispatch*>(callee.Get()),
                                                      &stream_);
                SetEvent(ready_);
                WaitForSingleObject(quit_, INFINITE);
            }
            CoUninitialize();
        });
        WaitForSingleObject(ready_, INFINITE);
        if (stream_) CoGetInterfaceAndReleaseStream(stream_, IID_IDispatch, proxy.ReceiveVoid());
    }
    ~OtherApartment() {
        proxy.Release();
        SetEvent(quit_);
        thread_.join();
        CloseHandle(ready_);
        CloseHandle(quit_);
    }
    HRESULT Call(DISPID id) {
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        return proxy->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr,
                             nullptr);
    }

    CComPtr<IDispatch> proxy;

private:
    class Callee : public CountedDispatch {
    protected:
        HRESULT OnCall(bool, DISPID id, LCID, WORD, DISPPARAMS*) override {
            if (id == 1) Sleep(20);
            return S_OK;
        }
    };
    HANDLE ready_ = nullptr;
    HANDLE quit_ = nullptr;
    IStream* stream_ = nullptr;
    std::thread thread_;
};

// A sink calls another apartment from inside PostProcess, PostComplete and PostError. The page's thread
// spends its waits inside calls to that apartment, so the events arrive while one of its calls is pending.
TEST_F(KorvaneUploadTest, ASinkCanCallAnotherApartmentFromEveryEvent) {
    OtherApartment other;
    ASSERT_TRUE(other.proxy);
    ASSERT_EQ(other.Call(2), S_OK);
    std::map<DISPID, std::vector<HRESULT>> answers;
    events->onEvent = [&](const Call& event) { answers[event.dispid].push_back(other.Call(2)); };
    auto waitInCalls = [&](const std::function<bool()>& done, DWORD timeoutMs) {
        const DWORD start = GetTickCount();
        while (!done() && GetTickCount() - start < timeoutMs) {
            other.Call(1);
            Pump(1);
        }
        return done();
    };
    const ftplab::Server server = lab.StartReal("pyftpdlib", kUser, kPassword, kLongUploadRate);
    Listen();
    Target(server, L"", L"called.bin", MakeFile(L"called.bin", kLongUpload));
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(waitInCalls([&] { return !events->Named(kPostComplete).empty(); }, 180000));
    PutText(korvane, &IKorvane::put_UserPass, L"wrong");
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(waitInCalls([&] { return !events->Named(kPostError).empty(); }, 60000));
    for (DISPID id : {kPostProcess, kPostComplete, kPostError}) {
        SCOPED_TRACE("event " + std::to_string(id));
        ASSERT_FALSE(answers[id].empty());
        for (HRESULT hr : answers[id]) EXPECT_EQ(hr, S_OK) << std::hex << hr;
    }
    ExpectOnThread(events->events, pageThread_, "event");
}

// The object cannot be marshalled in this apartment, so no worker can fetch it.
class KorvaneUploadFetchFailureTest : public WithoutMarshalling<KorvaneUploadTest> {};

TEST_F(KorvaneUploadFetchFailureTest, ProgressRaisesNothingAndTheEndShowsTheBoxOnlyWithOnStateChanged) {
    MessageBoxRecorder boxes;
    ASSERT_TRUE(boxes.Applied());
    const ftplab::Server server = lab.StartReal("pyftpdlib", kUser, kPassword, kLongUploadRate);
    Listen();
    Target(server, L"", L"boxed.bin", MakeFile(L"boxed.bin", kLongUpload));
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return !events->Named(kPostComplete).empty(); }, 180000));
    ASSERT_TRUE(PumpUntil([&] { return !boxes.WithCaption(L"postComplete").empty(); }, 5000));
    EXPECT_TRUE(events->Named(kPostProcess).empty())
        << "a progress report without the pointer raised its event";
    EXPECT_TRUE(progress->calls.empty());
    EXPECT_TRUE(states->calls.empty());
    for (const auto& box : boxes.Boxes()) {
        EXPECT_EQ(box.text, kFetchFailed);
        EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
    }

    // Without OnStateChanged the end fetches nothing, so it shows no box.
    const size_t completeBoxes = boxes.WithCaption(L"postComplete").size();
    ASSERT_EQ(korvane->put_OnStateChanged(nullptr), S_OK);
    PutText(korvane, &IKorvane::put_RemoteFile, L"boxed2.bin");
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return events->Named(kPostComplete).size() == 2; }, 180000));
    Pump(300);
    EXPECT_EQ(boxes.WithCaption(L"postComplete").size(), completeBoxes);
    EXPECT_FALSE(boxes.WithCaption(L"postProcess").empty()) << "no progress box in two uploads";
    EXPECT_TRUE(events->Named(kPostProcess).empty())
        << "a progress report without the pointer raised its event";

    // A failure with OnStateChanged set: its box bears the error handler's name; the event still comes.
    ASSERT_EQ(korvane->put_OnStateChanged(states), S_OK);
    PutText(korvane, &IKorvane::put_UserPass, L"wrong");
    ASSERT_EQ(korvane->Post(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return !boxes.WithCaption(L"postError").empty(); }, 60000));
    EXPECT_EQ(events->Named(kPostError).size(), 1u);
    EXPECT_TRUE(states->calls.empty());
    EXPECT_EQ(GetErrorCode(korvane), 6u);
}

}  // namespace
