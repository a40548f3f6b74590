// The whole job against the in-process scripted server: the shared fault cases (FaultCases.h), then the
// cases that need this server (exact bytes on the wire, a data connection it resets, a stop at each step).
// The server's copy is compared with the local file after every job that reports completion.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "EngineTestSupport.h"
#include "FaultCases.h"
#include "Network/Command/FtpReplyReader.h"
#include "ScriptedPeer.h"
#include "common/TestFiles.h"

using namespace enginetest;
using faultcases::Join;
using faultcases::kFileSize;
using faultcases::kLoginWithoutUtf8;
using faultcases::kQuit;
using faultcases::kStore;
using faultcases::kUpToPasv;
using faultcases::Lines;
using Poster = FtpFilePoster;

namespace {

struct Outcome {
    bool reported = false;
    Report final{};
    size_t finals = 0;
};

// The lines as they must stand on the wire: each ends with CR LF.
Lines WithCrLf(const Lines& lines) {
    Lines wire;
    for (const std::string& line : lines) wire.push_back(line + "\r\n");
    return wire;
}

class Flow : public ::testing::Test {
protected:
    Outcome RunJob(FtpFilePoster& poster, ScriptedPeer& peer, const std::wstring& localPath, int64_t fileSize,
                   const CString& folder, const CString& file, const CString& user = L"bob",
                   const CString& password = L"pw") {
        poster.SetEvent(sink_.get());
        poster.SetTaskId(9);
        poster.SetFileSize(fileSize);
        poster.SetServer(L"127.0.0.1", peer.Port(), user, password);
        Outcome outcome;
        if (!poster.Post(localPath.c_str(), folder, file)) return outcome;
        outcome.reported = sink_->WaitForFinal();
        peer.Join();
        const std::vector<Report> finals = sink_->Finals();
        outcome.finals = finals.size();
        if (!finals.empty()) outcome.final = finals[0];
        return outcome;
    }

    // A server that takes 256 KiB a second, behind a small receive window.
    static PeerScript SlowReader() {
        PeerScript script;
        script.data = PeerScript::ReadSlowly;
        script.readRate = 256 * 1024;
        return script;
    }

    // Starts the upload of local to the peer, reporting to sink; false when Post refused it.
    static bool StartJob(FtpFilePoster& poster, KorvaneEvent& sink, ScriptedPeer& peer,
                         const LocalFile& local, int taskId) {
        poster.SetEvent(&sink);
        poster.SetTaskId(taskId);
        poster.SetFileSize(static_cast<int64_t>(local.Bytes().size()));
        poster.SetServer(L"127.0.0.1", peer.Port(), L"bob", L"pw");
        return poster.Post(local.Path().c_str(), L"", L"up.bin");
    }

    // Plays one fault case: the peer runs script, the job must end as the case says.
    void Play(const faultcases::Case& c, const PeerScript& script) {
        SCOPED_TRACE(c.name);
        FreshSink();
        std::unique_ptr<TimeoutScope> shortened;
        if (c.ioTimeout) shortened.reset(new TimeoutScope(30000, c.ioTimeout));
        ScriptedPeer peer(script);
        LocalFile local(LocalBytes(c.fileSize, 7));
        FtpFilePoster poster;
        const Outcome outcome =
            RunJob(poster, peer, local.Path(), static_cast<int64_t>(c.fileSize), c.folder, faultcases::kFile);
        ASSERT_TRUE(outcome.reported) << "no final report";
        EXPECT_EQ(1u, outcome.finals);
        if (c.outcome == faultcases::kComplete) {
            EXPECT_EQ(Report::Complete, outcome.final.kind) << "error " << outcome.final.errorCode;
        } else {
            EXPECT_EQ(Report::Error, outcome.final.kind);
            EXPECT_EQ(c.outcome, outcome.final.errorCode);
        }
        EXPECT_EQ(9, outcome.final.taskId);
        EXPECT_EQ(WithCrLf(c.commands), peer.Wire());
        if (c.received >= 0) {
            EXPECT_TRUE(peer.Data() == local.Bytes().substr(static_cast<size_t>(c.received)))
                << "the server got " << peer.Data().size() << " bytes";
        } else if (c.received == faultcases::kNothing) {
            EXPECT_EQ(0u, peer.Data().size());
        }
        if (peer.DataConnected() || c.received >= 0) {
            EXPECT_TRUE(peer.DataClosed()) << "data connection left open";
        }
    }

    void FreshSink() { sink_.reset(new RecordingSink); }

    WinsockSession winsock_;
    std::unique_ptr<RecordingSink> sink_{new RecordingSink};
};

class SharedFaults : public Flow, public ::testing::WithParamInterface<faultcases::Case> {};

TEST_P(SharedFaults, ScriptedPeerPlaysTheCase) { Play(GetParam(), ScriptFor(GetParam())); }

INSTANTIATE_TEST_SUITE_P(FaultCases, SharedFaults, ::testing::ValuesIn(faultcases::kCases),
                         [](const ::testing::TestParamInfo<faultcases::Case>& info) {
                             return faultcases::TestName(info.param);
                         });

// A reply dripped a byte at a time, each byte well within the I/O time-out: one deadline for the whole reply.
std::vector<int> EveryByte(const std::string& text) {
    std::vector<int> cuts;
    for (size_t i = 1; i < text.size(); ++i) cuts.push_back(static_cast<int>(i));
    return cuts;
}
const std::string kDripped = "230 Login successful, one byte at a time.\r\n";

// Cases only this server plays: the lab's MKD makes the folder it is asked for, and its replies go out
// whole however they are cut.
const faultcases::Case kPeerCases[] = {
    {"folders that already exist",
     {faultcases::Say("MKD", "550 Create directory operation failed.\r\n")},
     L"in",
     Join({faultcases::kLogin, faultcases::kFolderIn, kStore}),
     faultcases::kComplete,
     0},
    {"a reply dripped a byte at a time",
     {faultcases::InPieces("PASS", kDripped, EveryByte(kDripped), 100)},
     L"",
     {"USER bob", "PASS pw", "QUIT"},
     PageErrorCode::ReceiveFailed,
     faultcases::kNothing,
     1500},
};

TEST_F(Flow, CasesOnlyThisServerPlays) {
    for (const faultcases::Case& c : kPeerCases) Play(c, ScriptFor(c));
}

TEST_F(Flow, ADataPortThatRefusesEndsWith16) {
    const unsigned short port = ClosedPort();
    char text[96];
    std::snprintf(text, sizeof(text), "227 Entering Passive Mode (127,0,0,1,%u,%u).\r\n", port / 256,
                  port % 256);
    const faultcases::Case c = {"the data port refuses",
                                {faultcases::Say("PASV", text)},
                                L"",
                                Join({faultcases::kLogin, kUpToPasv}),
                                PageErrorCode::TransferFailed,
                                faultcases::kNothing};
    Play(c, ScriptFor(c));
}

TEST_F(Flow, ALocalFileThatCannotBeOpenedIs14AndTheServerIsNeverToldToStore) {
    // Gone, or locked by another program, since the page measured it.
    LocalFile locked(LocalBytes(1000, 9));
    const HANDLE exclusive = CreateFileW(locked.Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, exclusive);
    const std::wstring paths[] = {L"C:\\no\\such\\file.bin", locked.Path()};
    for (const std::wstring& path : paths) {
        FreshSink();
        PeerScript script;
        script.replies["SIZE"] = Say("213 400\r\n");
        ScriptedPeer peer(script);
        FtpFilePoster poster;
        const Outcome outcome = RunJob(poster, peer, path, 1000, L"", L"up.bin");
        ASSERT_TRUE(outcome.reported);
        EXPECT_EQ(PageErrorCode::FileNotMapped, outcome.final.errorCode);
        EXPECT_EQ(WithCrLf(Join({kLoginWithoutUtf8, {"type I", "SIZE up.bin", "QUIT"}})), peer.Wire());
        EXPECT_FALSE(peer.DataConnected());
    }
    CloseHandle(exclusive);
}

TEST_F(Flow, ALocalFileShorterThanItsSizeIs14) {
    PeerScript script;
    ScriptedPeer peer(script);
    LocalFile local(LocalBytes(kFileSize, 5));
    FtpFilePoster poster;
    const Outcome outcome = RunJob(poster, peer, local.Path(), kFileSize + 1000, L"", L"up.bin");
    ASSERT_TRUE(outcome.reported);
    EXPECT_EQ(Report::Error, outcome.final.kind);
    EXPECT_EQ(PageErrorCode::FileNotMapped, outcome.final.errorCode);
    EXPECT_TRUE(peer.Data() == local.Bytes());
}

// A name with a line break would carry a command of its own; one that the ANSI code page (1252 here, the
// server refused CLNT) cannot hold would land on another name. Either ends the job with 7 before it is sent.
TEST_F(Flow, NamesThatCannotGoOutAsTheyAreEndTheJobWith7BeforeTheyAreSent) {
    const struct {
        const char* name;
        const wchar_t* user;
        const wchar_t* password;
        const wchar_t* folder;
        const wchar_t* file;
        Lines wire;
    } cases[] = {
        {"user name with a line break", L"bob\r\nDELE x", L"pw", L"", L"up.bin", kQuit},
        {"password with a line break", L"bob", L"pw\nDELE x", L"", L"up.bin", {"USER bob", "QUIT"}},
        {"folder with a line break", L"bob", L"pw", L"in/x\rDELE y", L"up.bin",
         Join({kLoginWithoutUtf8, {"MKD in", "cwd in", "QUIT"}})},
        {"file name with a line break", L"bob", L"pw", L"", L"up.bin\r\nDELE x",
         Join({kLoginWithoutUtf8, {"type I", "QUIT"}})},
        {"Chinese file name", L"bob", L"pw", L"", L"\x6587\x4EF6.bin",
         Join({kLoginWithoutUtf8, {"type I", "QUIT"}})},
        {"a look-alike (a macron a)", L"bob", L"pw", L"", L"\x0101.bin",
         Join({kLoginWithoutUtf8, {"type I", "QUIT"}})},
        {"Chinese folder", L"bob", L"pw", L"in/\x6587\x4EF6", L"up.bin",
         Join({kLoginWithoutUtf8, {"MKD in", "cwd in", "QUIT"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FreshSink();
        ScriptedPeer peer{PeerScript()};
        LocalFile local(LocalBytes(1000, 1));
        FtpFilePoster poster;
        const Outcome outcome =
            RunJob(poster, peer, local.Path(), 1000, c.folder, c.file, c.user, c.password);
        ASSERT_TRUE(outcome.reported);
        EXPECT_EQ(PageErrorCode::SendFailed, outcome.final.errorCode);
        EXPECT_EQ(WithCrLf(c.wire), peer.Wire());
        EXPECT_FALSE(peer.DataConnected());
    }
    // A name the code page holds goes out as it is.
    FreshSink();
    ScriptedPeer peer{PeerScript()};
    LocalFile local(LocalBytes(1000, 1));
    FtpFilePoster poster;
    const Outcome outcome = RunJob(poster, peer, local.Path(), 1000, L"", L"caf\x00E9.bin");
    ASSERT_TRUE(outcome.reported);
    EXPECT_EQ(Report::Complete, outcome.final.kind);
    EXPECT_EQ("SIZE caf\xE9.bin\r\n", peer.Wire()[6]);
}

TEST_F(Flow, NamesGoOutInUtf8AfterOptsUtf8) {
    PeerScript script;
    script.replies["CLNT"] = Say("200 Noted.\r\n");
    ScriptedPeer peer(script);
    LocalFile local(LocalBytes(1000, 2));
    FtpFilePoster poster;
    const Outcome outcome = RunJob(poster, peer, local.Path(), 1000, L"\x62a5\x544a", L"\x62a5\x544a.bin");
    ASSERT_TRUE(outcome.reported);
    EXPECT_EQ(Report::Complete, outcome.final.kind);
    const Lines wire = peer.Wire();
    ASSERT_GE(wire.size(), 8u);
    EXPECT_EQ("MKD \xE6\x8A\xA5\xE5\x91\x8A\r\n", wire[6]);
    EXPECT_EQ("SIZE \xE6\x8A\xA5\xE5\x91\x8A.bin\r\n", wire[9]);
}

TEST_F(Flow, ProgressReportsFollowTheTick) {
    const Tamsic::Platform::TickFunction previous = Tamsic::Platform::SetTickFunction(&SecondPerCall);
    PeerScript script;
    ScriptedPeer peer(script);
    const size_t size = 65536 * 3 + 32768;
    LocalFile local(LocalBytes(size, 4));
    FtpFilePoster poster;
    const Outcome outcome = RunJob(poster, peer, local.Path(), size, L"", L"up.bin");
    Tamsic::Platform::SetTickFunction(previous);
    ASSERT_TRUE(outcome.reported);
    EXPECT_EQ(Report::Complete, outcome.final.kind);
    EXPECT_TRUE(peer.Data() == local.Bytes());

    // The tick moves a second at the sample and another at the report: a block every two seconds.
    const struct {
        int64_t posted;
        const wchar_t* speed;
    } expected[] = {{65536, L"32.00KB"}, {131072, L"32.00KB"}, {196608, L"32.00KB"}, {229376, L"26.67KB"}};
    std::vector<Report> progress;
    for (const Report& r : sink_->Reports())
        if (r.kind == Report::Process) progress.push_back(r);
    ASSERT_EQ(4u, progress.size());
    for (size_t i = 0; i < progress.size(); ++i) {
        EXPECT_EQ(expected[i].posted, progress[i].posted) << i;
        EXPECT_EQ(expected[i].speed, progress[i].speed) << i;
        EXPECT_EQ(9, progress[i].taskId);
        EXPECT_EQ(outcome.final.threadId, progress[i].threadId) << "all reports come on the worker";
    }
    EXPECT_NE(GetCurrentThreadId(), outcome.final.threadId);
}

// The file goes out a view of several blocks at a time, but the count still moves block by block: from an
// unaligned resume offset, across the end of the first view, to the short last block.
TEST_F(Flow, ResumedProgressMovesBlockByBlockAcrossViews) {
    const Tamsic::Platform::TickFunction previous = Tamsic::Platform::SetTickFunction(&SecondPerCall);
    const int64_t block = 65536, resume = 70001;
    const size_t size = (FtpFilePoster::kBlocksPerView + 4) * block + 1234;
    PeerScript script;
    script.replies["SIZE"] = Say("213 70001\r\n");
    ScriptedPeer peer(script);
    LocalFile local(LocalBytes(size, 9));
    FtpFilePoster poster;
    const Outcome outcome = RunJob(poster, peer, local.Path(), size, L"", L"up.bin");
    Tamsic::Platform::SetTickFunction(previous);
    ASSERT_TRUE(outcome.reported);
    EXPECT_EQ(Report::Complete, outcome.final.kind);
    EXPECT_EQ(WithCrLf(Join({kLoginWithoutUtf8, faultcases::kAppend})), peer.Wire());
    EXPECT_TRUE(peer.Data() == local.Bytes().substr(resume))
        << "the server got " << peer.Data().size() << " bytes";

    std::vector<int64_t> expected;
    for (int64_t posted = resume + block; posted < static_cast<int64_t>(size); posted += block)
        expected.push_back(posted);
    expected.push_back(size);
    ASSERT_GT(expected.size(), static_cast<size_t>(FtpFilePoster::kBlocksPerView)) << "more than one view";
    std::vector<int64_t> progress;
    for (const Report& r : sink_->Reports())
        if (r.kind == Report::Process) progress.push_back(r.posted);
    EXPECT_EQ(expected, progress) << "one report per block: the tick moves a second per call";
}

// Records when each progress report came.
class TimedSink : public RecordingSink {
public:
    std::vector<ULONGLONG> progressAt;
    void postProcess(int taskId, int64_t posted, CString speed) override {
        progressAt.push_back(GetTickCount64());
        RecordingSink::postProcess(taskId, posted, speed);
    }
};

// Servers that read slowly: the file takes six seconds or more to go, several times the I/O time-out. The
// socket takes bytes all the while, so the transfer must not time out, and the page hears about it every
// second up to the completion. At 2 KiB a second what the socket holds after the last send takes seconds to
// leave, and the reports go on through that too.
TEST_F(Flow, AServerThatReadsSlowlyGetsTheFileWithReportsThroughoutAndNoTimeOut) {
    const struct {
        const char* name;
        size_t readRate;
        int window;
        size_t size;
        int ioTimeout;
    } cases[] = {
        {"256 KiB a second", 256 * 1024, 32 * 1024, 6 * 256 * 1024 + 777, 1500},
        {"2 KiB a second behind a small window", 2 * 1024, 1024, 10 * 2 * 1024 + 777, 3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TimeoutScope shortWait(30000, c.ioTimeout);
        PeerScript script = SlowReader();
        script.readRate = c.readRate;
        script.window = c.window;
        ScriptedPeer peer(script);
        LocalFile local(LocalBytes(c.size, 14));
        TimedSink timed;
        FtpFilePoster poster;
        const ULONGLONG began = GetTickCount64();
        ASSERT_TRUE(StartJob(poster, timed, peer, local, 9));
        ASSERT_TRUE(timed.WaitForFinal());
        const ULONGLONG ended = GetTickCount64();
        peer.Join();
        const std::vector<Report> finals = timed.Finals();
        ASSERT_EQ(1u, finals.size());
        EXPECT_EQ(Report::Complete, finals[0].kind) << "error " << finals[0].errorCode;
        EXPECT_TRUE(peer.Data() == local.Bytes()) << "the server got " << peer.Data().size() << " bytes";
        EXPECT_GE(ended - began, 3000u) << "the server read faster than it should: the test shows nothing";
        ASSERT_GE(timed.progressAt.size(), 3u) << "reports through the transfer";
        std::vector<ULONGLONG> heard = timed.progressAt;
        heard.push_back(ended);
        ULONGLONG previous = began;
        for (ULONGLONG at : heard) {
            if (at > began + 3000) {
                EXPECT_LE(at - previous, 2500u) << "a gap before the report at " << (at - began) << " ms";
            }
            previous = at;
        }
    }
}

// A stop while the last bytes still leave a slow link (the socket took the whole file, the reports say so)
// ends the job as a stop during the sends does: nothing more is reported. What the socket held still goes,
// and the server's reply settles its copy before QUIT.
TEST_F(Flow, AStopWhileTheLastBytesLeaveEndsTheJobSilently) {
    TimeoutScope shortWait(30000, 3000);
    PeerScript script = SlowReader();
    script.readRate = 2 * 1024;
    script.window = 1024;
    ScriptedPeer peer(script);
    const size_t size = 6 * 2 * 1024 + 777;
    LocalFile local(LocalBytes(size, 16));
    class StoppingAtTheEnd : public RecordingSink {
    public:
        FtpFilePoster* poster = nullptr;
        int64_t size = 0;
        std::atomic<bool> stopped{false};
        void postProcess(int taskId, int64_t posted, CString speed) override {
            RecordingSink::postProcess(taskId, posted, speed);
            if (posted == size && !stopped.exchange(true)) poster->Stop();
        }
    } sink;
    FtpFilePoster poster;
    sink.poster = &poster;
    sink.size = static_cast<int64_t>(size);
    ASSERT_TRUE(StartJob(poster, sink, peer, local, 5));
    const ULONGLONG began = GetTickCount64();
    while (poster.IsRunning() && GetTickCount64() - began < 30000) Sleep(10);
    ASSERT_FALSE(poster.IsRunning()) << "the job did not end";
    peer.Join();
    ASSERT_TRUE(sink.stopped) << "no report with the whole file taken";
    EXPECT_TRUE(sink.Finals().empty()) << "a report after the stop";
    const std::vector<Report> reports = sink.Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(static_cast<int64_t>(size), reports.back().posted)
        << "the report that stopped the job is the last";
    EXPECT_TRUE(peer.Data() == local.Bytes()) << "the server got " << peer.Data().size() << " bytes";
    EXPECT_EQ(WithCrLf(Join({kLoginWithoutUtf8, kStore})), peer.Wire());
}

// Another program cuts the local file short while it goes out: the pages of the mapped file past the new
// end can no longer be read. The job ends with 14, the server keeps a true prefix of the file, and the host
// process lives on (a copy out of the view would end it).
TEST_F(Flow, ALocalFileCutShortByAnotherProgramWhileItGoesOutIs14AndTheProcessLivesOn) {
    TimeoutScope shortWait(30000, 1500);
    ScriptedPeer peer(SlowReader());
    const size_t size = 12 * 1024 * 1024;
    LocalFile local(LocalBytes(size, 15));
    // At the first progress report the transfer is under way with most of the file still to go.
    class CuttingSink : public RecordingSink {
    public:
        explicit CuttingSink(const std::wstring& path) : path_(path) {}
        void postProcess(int taskId, int64_t posted, CString speed) override {
            if (!tried_) {
                tried_ = true;
                cut_ = testfiles::CutShortFromOutside(path_, 1000);
                cutAt_ = posted;
            }
            RecordingSink::postProcess(taskId, posted, speed);
        }
        bool cut_ = false;
        int64_t cutAt_ = 0;

    private:
        std::wstring path_;
        bool tried_ = false;
    } sink(local.Path());
    FtpFilePoster poster;
    ASSERT_TRUE(StartJob(poster, sink, peer, local, 4));
    ASSERT_TRUE(sink.WaitForFinal());
    peer.Join();
    if (!sink.cut_) GTEST_SKIP() << "no program here can cut a mapped file short";
    const std::vector<Report> finals = sink.Finals();
    ASSERT_EQ(1u, finals.size());
    EXPECT_EQ(Report::Error, finals[0].kind);
    EXPECT_EQ(PageErrorCode::FileNotMapped, finals[0].errorCode);
    ASSERT_LT(sink.cutAt_, static_cast<int64_t>(size) / 2) << "the cut came too late to show anything";
    EXPECT_LT(peer.Data().size(), size);
    EXPECT_TRUE(peer.Data() == local.Bytes().substr(0, peer.Data().size()))
        << "the server holds a true prefix of the file (" << peer.Data().size() << " bytes)";
}

TEST_F(Flow, AFileSentWithinASecondGetsNoProgressReport) {
    TickSeam frozen;
    PeerScript script;
    ScriptedPeer peer(script);
    LocalFile local(LocalBytes(kFileSize, 6));
    FtpFilePoster poster;
    const Outcome outcome = RunJob(poster, peer, local.Path(), kFileSize, L"", L"up.bin");
    ASSERT_TRUE(outcome.reported);
    EXPECT_EQ(Report::Complete, outcome.final.kind);
    EXPECT_EQ(1u, sink_->Reports().size());
}

TEST_F(Flow, AStoppedJobReportsNothingAndTheNextJobStartsAfresh) {
    const Tamsic::Platform::TickFunction previous = Tamsic::Platform::SetTickFunction(&SecondPerCall);
    StoppingSink stopping;
    // Three views and a little: the stop comes with the first block's report, inside the first view.
    const size_t view = 65536u * FtpFilePoster::kBlocksPerView;
    const size_t size = 3 * view + 5000;
    LocalFile local(LocalBytes(size, 8));
    {
        ScriptedPeer peer{PeerScript()};
        FtpFilePoster poster;
        stopping.poster = &poster;
        poster.SetEvent(&stopping);
        poster.SetFileSize(size);
        poster.SetServer(L"127.0.0.1", peer.Port(), L"bob", L"pw");
        ASSERT_TRUE(poster.Post(local.Path().c_str(), L"", L"up.bin"));
        peer.Join();
        // The session is over; the poster's destructor waits for the worker to end.
        EXPECT_EQ(WithCrLf(Join({kLoginWithoutUtf8, kStore})), peer.Wire());
        // On a fast link the view under way still goes, within a second, before the stop ends the
        // transfer; on a machine too loaded for loopback to count as fast, or to send the view in that
        // second, it ends where the socket stood. Either way the server holds a true prefix of the file.
        const size_t got = peer.Data().size();
        EXPECT_LE(got, view) << "the view under way, then the stop";
        EXPECT_GE(got, 65536u) << "the block the stop came with";
        EXPECT_TRUE(peer.Data() == local.Bytes().substr(0, got));
    }
    Tamsic::Platform::SetTickFunction(previous);
    EXPECT_TRUE(stopping.Finals().empty());
    EXPECT_EQ(1u, stopping.Reports().size())
        << "nothing reported after the stop, not even the view's other blocks";

    // A stop before Post counts for nothing: Post clears it.
    ScriptedPeer peer{PeerScript()};
    FtpFilePoster poster;
    poster.Stop();
    const Outcome outcome = RunJob(poster, peer, local.Path(), size, L"", L"up.bin");
    ASSERT_TRUE(outcome.reported);
    EXPECT_EQ(Report::Complete, outcome.final.kind);
    EXPECT_TRUE(peer.Data() == local.Bytes());
}

// Holds the worker in the progress report after the last block until the server has reset the data
// connection: the reset then comes after every send succeeded, and before the job looks at the connection.
class ResetWaitingSink : public RecordingSink {
public:
    ScriptedPeer* peer = nullptr;
    void postProcess(int taskId, int64_t posted, CString speed) override {
        for (int waited = 0; !peer->DataReset() && waited < 10000; waited += 10) Sleep(10);
        RecordingSink::postProcess(taskId, posted, speed);
    }
};

TEST_F(Flow, AServerThatResetsTheDataConnectionEarlyIs16EvenAfterA226) {
    // It reads 1,000 bytes of 50,000, drops the rest with a reset, and says the transfer is complete.
    const Tamsic::Platform::TickFunction previous = Tamsic::Platform::SetTickFunction(&SecondPerCall);
    PeerScript script;
    script.data = PeerScript::ReadSomeThenReset;
    script.resetAfter = 1000;
    ScriptedPeer peer(script);
    ResetWaitingSink waiting;
    waiting.peer = &peer;
    const size_t size = 50000;
    LocalFile local(LocalBytes(size, 12));
    FtpFilePoster poster;
    poster.SetEvent(&waiting);
    poster.SetTaskId(9);
    poster.SetFileSize(size);
    poster.SetServer(L"127.0.0.1", peer.Port(), L"bob", L"pw");
    ASSERT_TRUE(poster.Post(local.Path().c_str(), L"", L"up.bin"));
    const bool reported = waiting.WaitForFinal();
    Tamsic::Platform::SetTickFunction(previous);
    ASSERT_TRUE(reported);
    peer.Join();
    ASSERT_TRUE(peer.DataReset());
    const std::vector<Report> finals = waiting.Finals();
    ASSERT_EQ(1u, finals.size());
    EXPECT_EQ(Report::Error, finals[0].kind);
    EXPECT_EQ(PageErrorCode::TransferFailed, finals[0].errorCode);
    EXPECT_EQ(WithCrLf(Join({kLoginWithoutUtf8, kStore})), peer.Wire());
    EXPECT_EQ(1000u, peer.Data().size());
}

// Waits until done() holds, at most milliseconds.
bool WaitUntil(const std::function<bool()>& done, int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += 20) {
        if (done()) return true;
        Sleep(20);
    }
    return done();
}

TEST_F(Flow, AStopWhileTheJobWaitsForAReplySendsOnlyQuitAndEndsSilently) {
    // The reply deadline is far away: only the stop can end these waits in time.
    TimeoutScope longWait(30000, 30000);
    const struct {
        const char* verb;  // the command the server never answers
        const wchar_t* folder;
        Lines wire;
    } cases[] = {
        {"", L"", {"QUIT"}},  // the greeting
        {"USER", L"", {"USER bob", "QUIT"}},
        {"PASS", L"", {"USER bob", "PASS pw", "QUIT"}},
        {"FEAT", L"", {"USER bob", "PASS pw", "FEAT", "QUIT"}},
        {"CLNT", L"", {"USER bob", "PASS pw", "FEAT", "CLNT 2.1.0.35379 ", "QUIT"}},
        {"PWD", L"", Join({kLoginWithoutUtf8, kQuit})},
        {"MKD", L"in", Join({kLoginWithoutUtf8, {"MKD in", "QUIT"}})},
        {"CWD", L"in", Join({kLoginWithoutUtf8, {"MKD in", "cwd in", "QUIT"}})},
        {"TYPE", L"", Join({kLoginWithoutUtf8, {"type I", "QUIT"}})},
        {"SIZE", L"", Join({kLoginWithoutUtf8, {"type I", "SIZE up.bin", "QUIT"}})},
        {"PASV", L"", Join({kLoginWithoutUtf8, {"type I", "SIZE up.bin", "PASV", "QUIT"}})},
        {"REST", L"", Join({kLoginWithoutUtf8, {"type I", "SIZE up.bin", "PASV", "REST 0", "QUIT"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verb);
        FreshSink();
        PeerScript script;
        const std::string verb = c.verb;
        if (verb.empty())
            script.greeting = Silence();
        else
            script.replies[verb] = Silence();
        ScriptedPeer peer(script);
        LocalFile local(LocalBytes(1000, 3));
        FtpFilePoster poster;
        poster.SetEvent(sink_.get());
        poster.SetFileSize(1000);
        poster.SetServer(L"127.0.0.1", peer.Port(), L"bob", L"pw");
        ASSERT_TRUE(poster.Post(local.Path().c_str(), c.folder, L"up.bin"));
        // Once the command is out (or, for the greeting, once the server has accepted the connection), the
        // page stops.
        const size_t sent = c.wire.size() - 1;
        if (sent == 0)
            ASSERT_TRUE(WaitUntil([&] { return peer.Accepted(); }, 20000));
        else
            ASSERT_TRUE(WaitUntil([&] { return peer.Wire().size() >= sent; }, 20000));
        poster.Stop();
        EXPECT_TRUE(WaitUntil([&] { return !poster.IsRunning(); }, 10000))
            << "the stop did not end the wait for the reply";
        peer.Join();
        EXPECT_EQ(WithCrLf(c.wire), peer.Wire());
        // (At REST the data connection stands already; no transfer was asked for on it.)
        if (verb != "REST") {
            EXPECT_FALSE(peer.DataConnected()) << "no data connection after a stop";
        }
        EXPECT_TRUE(sink_->Reports().empty()) << "a stopped job reports nothing";

        // The page posts again on the same object: a whole upload.
        FreshSink();
        ScriptedPeer again{PeerScript()};
        const Outcome outcome = RunJob(poster, again, local.Path(), 1000, c.folder, L"up.bin");
        ASSERT_TRUE(outcome.reported);
        EXPECT_EQ(Report::Complete, outcome.final.kind) << "error " << outcome.final.errorCode;
        EXPECT_TRUE(again.Data() == local.Bytes());
    }
}

TEST_F(Flow, TheLineGoingDownAtAnyStepEndsTheJobWithOneErrorAndTheNextPostWorks) {
    TimeoutScope shortWait(30000, 5000);
    const char* verbs[] = {"",    "USER", "PASS", "FEAT", "CLNT", "PWD", "MKD",
                           "CWD", "TYPE", "SIZE", "PASV", "REST", "STOR"};
    for (const char* verb : verbs) {
        SCOPED_TRACE(*verb ? verb : "greeting");
        FreshSink();
        PeerScript script;
        if (*verb)
            script.replies[verb] = Hangup();
        else
            script.greeting = Hangup();
        ScriptedPeer peer(script);
        LocalFile local(LocalBytes(kFileSize, 10));
        FtpFilePoster poster;
        Outcome outcome = RunJob(poster, peer, local.Path(), kFileSize, L"in", L"up.bin");
        ASSERT_TRUE(outcome.reported);
        EXPECT_EQ(1u, outcome.finals);
        EXPECT_EQ(Report::Error, outcome.final.kind);
        EXPECT_EQ(0u, peer.Data().size());

        FreshSink();
        ScriptedPeer again{PeerScript()};
        outcome = RunJob(poster, again, local.Path(), kFileSize, L"in", L"up.bin");
        ASSERT_TRUE(outcome.reported);
        EXPECT_EQ(Report::Complete, outcome.final.kind) << "error " << outcome.final.errorCode;
        EXPECT_TRUE(again.Data() == local.Bytes());
    }
}

}  // namespace
