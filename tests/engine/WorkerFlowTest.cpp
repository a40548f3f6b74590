// The whole job against the scripted server: each row is what the server answers, what the client must
// send, byte for byte, and how the job must end. The server's copy is compared with the local file after
// every job that reports completion.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "EngineTestSupport.h"
#include "Network/Command/FtpReplyReader.h"
#include "ScriptedPeer.h"

using namespace enginetest;
using Poster = FtpFilePoster;

namespace {

const int kComplete = 0;
const size_t kFileSize = 200000;  // a little over three blocks

struct Outcome {
    bool reported = false;
    Report final{};
    size_t finals = 0;
};

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

    void FreshSink() { sink_.reset(new RecordingSink); }

    WinsockSession winsock_;
    std::unique_ptr<RecordingSink> sink_{new RecordingSink};
};

using Lines = std::vector<std::string>;

Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Lines kLogin = {"USER bob\r\n", "PASS pw\r\n", "FEAT\r\n", "CLNT 2.1.0.35379 \r\n", "PWD\r\n"};
const Lines kStore = {"type I\r\n", "SIZE up.bin\r\n", "PASV\r\n",
                      "REST 0\r\n", "STOR up.bin\r\n", "QUIT\r\n"};
const Lines kAppend = {"type I\r\n", "SIZE up.bin\r\n", "PASV\r\n", "APPE up.bin\r\n", "QUIT\r\n"};
const Lines kQuit = {"QUIT\r\n"};

struct FlowCase {
    const char* name;
    std::function<void(PeerScript&)> script;
    const wchar_t* folder;
    Lines wire;
    int outcome;        // kComplete or the error code
    int64_t dataFrom;   // what the server got: the file from this offset; -1 nothing
    int ioTimeout = 0;  // a shortened I/O time-out for this row, 0 for the default
};

class FlowTable : public Flow {
protected:
    void Run(const FlowCase& c) {
        SCOPED_TRACE(c.name);
        FreshSink();
        std::unique_ptr<TimeoutScope> shortened;
        if (c.ioTimeout) shortened.reset(new TimeoutScope(30000, c.ioTimeout));
        PeerScript script;
        c.script(script);
        ScriptedPeer peer(script);
        LocalFile local(LocalBytes(kFileSize, 7));
        FtpFilePoster poster;
        const Outcome outcome = RunJob(poster, peer, local.Path(), kFileSize, c.folder, L"up.bin");
        ASSERT_TRUE(outcome.reported) << "no final report";
        EXPECT_EQ(1u, outcome.finals);
        if (c.outcome == kComplete) {
            EXPECT_EQ(Report::Complete, outcome.final.kind);
        } else {
            EXPECT_EQ(Report::Error, outcome.final.kind);
            EXPECT_EQ(c.outcome, outcome.final.errorCode);
        }
        EXPECT_EQ(9, outcome.final.taskId);
        EXPECT_EQ(c.wire, peer.Wire());
        if (c.dataFrom >= 0) {
            EXPECT_TRUE(peer.Data() == local.Bytes().substr(static_cast<size_t>(c.dataFrom)))
                << "the server got " << peer.Data().size() << " bytes";
        } else {
            EXPECT_EQ(0u, peer.Data().size());
        }
        if (peer.DataConnected() || c.dataFrom >= 0) {
            EXPECT_TRUE(peer.DataClosed()) << "data connection left open";
        }
    }
};

#define FLOW_TABLE(TestName, ...)               \
    TEST_F(FlowTable, TestName) {               \
        const FlowCase cases[] = {__VA_ARGS__}; \
        for (const FlowCase& c : cases) Run(c); \
    }

auto asIs = [](PeerScript&) {};

FLOW_TABLE(
    MainPaths,
    {"a new file into a nested folder", asIs, L"/in//deep/",
     Join({kLogin, {"MKD in\r\n", "cwd in\r\n", "MKD deep\r\n", "cwd deep\r\n"}, kStore}), kComplete, 0},
    {"no folder", asIs, L"", Join({kLogin, kStore}), kComplete, 0},
    {"folders that already exist",
     [](PeerScript& s) { s.replies["MKD"] = Say("550 Create directory operation failed.\r\n"); }, L"in",
     Join({kLogin, {"MKD in\r\n", "cwd in\r\n"}, kStore}), kComplete, 0},
    {"CLNT accepted: OPTS UTF8 ON follows", [](PeerScript& s) { s.replies["CLNT"] = Say("200 Noted.\r\n"); },
     L"",
     Join({{"USER bob\r\n", "PASS pw\r\n", "FEAT\r\n", "CLNT 2.1.0.35379 \r\n", "OPTS UTF8 ON\r\n",
            "PWD\r\n"},
           kStore}),
     kComplete, 0},
    {"USER answered 230: no PASS", [](PeerScript& s) { s.replies["USER"] = Say("230 Welcome.\r\n"); }, L"",
     Join({{"USER bob\r\n", "FEAT\r\n", "CLNT 2.1.0.35379 \r\n", "PWD\r\n"}, kStore}), kComplete, 0},
    {"resume: only the rest is sent", [](PeerScript& s) { s.replies["SIZE"] = Say("213 70001\r\n"); }, L"",
     Join({kLogin, kAppend}), kComplete, 70001},
    {"the server holds the whole file", [](PeerScript& s) { s.replies["SIZE"] = Say("213 200000\r\n"); }, L"",
     Join({kLogin, kAppend}), kComplete, 200000},
    {"the server holds a larger file: anew", [](PeerScript& s) { s.replies["SIZE"] = Say("213 200001\r\n"); },
     L"", Join({kLogin, kStore}), kComplete, 0},
    {"SIZE below 0 counts as 0", [](PeerScript& s) { s.replies["SIZE"] = Say("213 -40\r\n"); }, L"",
     Join({kLogin, kStore}), kComplete, 0},
    {"a multi-line final reply",
     [](PeerScript& s) {
         s.finalReply = InPieces({"226-File successfully transferred\r\n", "226 0.003 seconds\r\n"}, 30);
     },
     L"", Join({kLogin, kStore}), kComplete, 0},
    {"the transfer opened with 125",
     [](PeerScript& s) { s.replies["STOR"] = Say("125 Data connection already open.\r\n"); }, L"",
     Join({kLogin, kStore}), kComplete, 0})

// Refusals the job goes past: none of these replies counts as a failure.
FLOW_TABLE(RefusalsThatDoNotEndTheJob,
           {"FEAT refused", [](PeerScript& s) { s.replies["FEAT"] = Say("500 Unknown command.\r\n"); }, L"",
            Join({kLogin, kStore}), kComplete, 0},
           {"PWD refused", [](PeerScript& s) { s.replies["PWD"] = Say("550 No.\r\n"); }, L"",
            Join({kLogin, kStore}), kComplete, 0},
           {"type I refused", [](PeerScript& s) { s.replies["TYPE"] = Say("504 No.\r\n"); }, L"",
            Join({kLogin, kStore}), kComplete, 0},
           {"REST refused", [](PeerScript& s) { s.replies["REST"] = Say("502 No.\r\n"); }, L"",
            Join({kLogin, kStore}), kComplete, 0},
           {"OPTS refused",
            [](PeerScript& s) {
                s.replies["CLNT"] = Say("200 Noted.\r\n");
                s.replies["OPTS"] = Say("501 No.\r\n");
            },
            L"",
            Join({{"USER bob\r\n", "PASS pw\r\n", "FEAT\r\n", "CLNT 2.1.0.35379 \r\n", "OPTS UTF8 ON\r\n",
                   "PWD\r\n"},
                  kStore}),
            kComplete, 0})

// After the first error only QUIT goes out, and that error is the one reported.
FLOW_TABLE(
    FailuresEndTheExchange,
    {"user name refused",
     [](PeerScript& s) { s.replies["USER"] = Say("530 Not this user.\r\n"); },
     L"in",
     {"USER bob\r\n", "QUIT\r\n"},
     Poster::UserRejected,
     -1},
    {"password refused",
     [](PeerScript& s) {
         s.replies["PASS"] = Say("530 Login incorrect.\r\n");
         s.replies["STOR"] = Say("530 Please login with USER and PASS.\r\n");
     },
     L"in",
     {"USER bob\r\n", "PASS pw\r\n", "QUIT\r\n"},
     Poster::PassRejected,
     -1},
    {"PASV refused", [](PeerScript& s) { s.replies["PASV"] = Say("500 No.\r\n"); }, L"",
     Join({kLogin, {"type I\r\n", "SIZE up.bin\r\n", "PASV\r\n", "QUIT\r\n"}}), Poster::PassiveFailed, -1},
    {"227 without a port",
     [](PeerScript& s) { s.replies["PASV"] = Say("227 Entering Passive Mode (127,0,0,1).\r\n"); }, L"",
     Join({kLogin, {"type I\r\n", "SIZE up.bin\r\n", "PASV\r\n", "QUIT\r\n"}}), Poster::PassiveFailed, -1},
    {"the data port refuses",
     [](PeerScript& s) {
         const unsigned short port = ClosedPort();
         char text[96];
         std::snprintf(text, sizeof(text), "227 Entering Passive Mode (127,0,0,1,%u,%u).\r\n", port / 256,
                       port % 256);
         s.replies["PASV"] = Say(text);
     },
     L"", Join({kLogin, {"type I\r\n", "SIZE up.bin\r\n", "PASV\r\n", "QUIT\r\n"}}), Poster::TransferFailed,
     -1},
    {"STOR refused", [](PeerScript& s) { s.replies["STOR"] = Say("553 Could not create file.\r\n"); }, L"",
     Join({kLogin, kStore}), Poster::TransferFailed, -1},
    {"APPE refused",
     [](PeerScript& s) {
         s.replies["SIZE"] = Say("213 100\r\n");
         s.replies["APPE"] = Say("550 No.\r\n");
     },
     L"", Join({kLogin, kAppend}), Poster::TransferFailed, -1},
    {"APPE answered 350",
     [](PeerScript& s) {
         s.replies["SIZE"] = Say("213 100\r\n");
         s.replies["APPE"] = Say("350 Pending.\r\n");
     },
     L"", Join({kLogin, kAppend}), Poster::TransferFailed, -1},
    {"a folder that cannot be entered",
     [](PeerScript& s) { s.replies["CWD"] = Say("550 Failed to change directory.\r\n"); }, L"in/deep",
     Join({kLogin, {"MKD in\r\n", "cwd in\r\n", "QUIT\r\n"}}), Poster::TransferFailed, -1},
    {"final reply 451", [](PeerScript& s) { s.finalReply = Say("451 Failure writing to local file.\r\n"); },
     L"", Join({kLogin, kStore}), Poster::TransferFailed, 0},
    {"final reply 552", [](PeerScript& s) { s.finalReply = Say("552 Quota exceeded.\r\n"); }, L"",
     Join({kLogin, kStore}), Poster::TransferFailed, 0},
    {"no final reply: the line goes down", [](PeerScript& s) { s.finalReply = Hangup(); }, L"",
     Join({kLogin, {"type I\r\n", "SIZE up.bin\r\n", "PASV\r\n", "REST 0\r\n", "STOR up.bin\r\n"}}),
     Poster::TransferFailed, 0},
    {"no final reply: silence", [](PeerScript& s) { s.finalReply = Silence(); }, L"", Join({kLogin, kStore}),
     Poster::TransferFailed, 0, 1500},
    {"FEAT list cut off by a close",
     [](PeerScript& s) { s.replies["FEAT"] = Hangup("211-Features:\r\n SIZE\r\n"); },
     L"",
     {"USER bob\r\n", "PASS pw\r\n", "FEAT\r\n"},
     Poster::SendFailed,
     -1},
    {"FEAT list without end",
     [](PeerScript& s) {
         s.replies["FEAT"] = Say("211-Features:\r\n" + std::string(FtpReplyReader::kMaxReply, 'x') + "\r\n");
     },
     L"",
     {"USER bob\r\n", "PASS pw\r\n", "FEAT\r\n", "QUIT\r\n"},
     Poster::SendFailed,
     -1},
    {"a PWD reply without end",
     [](PeerScript& s) { s.replies["PWD"] = Say("257-" + std::string(FtpReplyReader::kMaxReply + 10, 'x')); },
     L"", Join({kLogin, kQuit}), Poster::ReceiveFailed, -1})

// Replies that come in pieces, late, or not at all.
FLOW_TABLE(
    ServerTiming,
    {"everything in pieces",
     [](PeerScript& s) {
         s.greeting = InPieces({"220-Welcome", " to the lab\r\n220-Second line\r\n22", "0 Ready.\r\n"}, 40);
         s.replies["PASS"] = InPieces({"230-Welcome back\r\n", "230 Login successful.\r\n"}, 40);
         s.replies["FEAT"] = InPieces({"211-Features:\r\n SIZE\r\n", " UTF8\r\n211 E", "nd\r\n"}, 40);
         s.replies["SIZE"] = InPieces({"213 7", "0001\r\n"}, 40);
     },
     L"", Join({kLogin, kAppend}), kComplete, 70001},
    {"a reply after a pause",
     [](PeerScript& s) { s.replies["PASS"] = Late("230 Login successful.\r\n", 400); }, L"",
     Join({kLogin, kStore}), kComplete, 0},
    {"SIZE answered after 1.6 s: the resume still follows it",
     [](PeerScript& s) { s.replies["SIZE"] = Late("213 70001\r\n", 1600); }, L"", Join({kLogin, kAppend}),
     kComplete, 70001},
    {"PWD answered after 1.5 s",
     [](PeerScript& s) { s.replies["PWD"] = Late("257 \"/\" is the current directory\r\n", 1500); }, L"",
     Join({kLogin, kStore}), kComplete, 0},
    {"CLNT answered after 1.6 s: OPTS UTF8 ON still follows it",
     [](PeerScript& s) { s.replies["CLNT"] = Late("200 Noted.\r\n", 1600); }, L"",
     Join({{"USER bob\r\n", "PASS pw\r\n", "FEAT\r\n", "CLNT 2.1.0.35379 \r\n", "OPTS UTF8 ON\r\n",
            "PWD\r\n"},
           kStore}),
     kComplete, 0},
    {"a reply dripped a byte at a time: one deadline for the whole reply",
     [](PeerScript& s) {
         std::vector<std::string> bytes;
         for (char c : std::string("230 Login successful, one byte at a time.\r\n"))
             bytes.push_back(std::string(1, c));
         s.replies["PASS"] = InPieces(bytes, 100);
     },
     L"",
     {"USER bob\r\n", "PASS pw\r\n", "QUIT\r\n"},
     Poster::ReceiveFailed,
     -1,
     1500},
    {"no greeting", [](PeerScript& s) { s.greeting = Silence(); }, L"", kQuit, Poster::ReceiveFailed, -1,
     1000},
    {"silence after PASS",
     [](PeerScript& s) { s.replies["PASS"] = Silence(); },
     L"",
     {"USER bob\r\n", "PASS pw\r\n", "QUIT\r\n"},
     Poster::ReceiveFailed,
     -1,
     1000},
    {"silence after STOR", [](PeerScript& s) { s.replies["STOR"] = Silence(); }, L"", Join({kLogin, kStore}),
     Poster::ReceiveFailed, -1, 1000},
    {"the line goes down after USER",
     [](PeerScript& s) { s.replies["USER"] = Hangup(); },
     L"",
     {"USER bob\r\n"},
     Poster::UserRejected,
     -1},
    {"the line goes down after PASV", [](PeerScript& s) { s.replies["PASV"] = Hangup(); }, L"",
     Join({kLogin, {"type I\r\n", "SIZE up.bin\r\n", "PASV\r\n"}}), Poster::PassiveFailed, -1})

TEST_F(Flow, ADataConnectionTheServerStopsReadingEndsWith16) {
    TimeoutScope shortened(30000, 1500);
    PeerScript script;
    script.data = PeerScript::NeverRead;
    ScriptedPeer peer(script);
    // Far more than the socket buffers hold.
    const size_t size = 48u << 20;
    LocalFile local(LocalBytes(size, 3));
    FtpFilePoster poster;
    const Outcome outcome = RunJob(poster, peer, local.Path(), size, L"", L"up.bin");
    ASSERT_TRUE(outcome.reported);
    EXPECT_EQ(Report::Error, outcome.final.kind);
    EXPECT_EQ(Poster::TransferFailed, outcome.final.errorCode);
    EXPECT_EQ(Join({kLogin, kStore}), peer.Wire());
    EXPECT_TRUE(peer.DataClosed());
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
        EXPECT_EQ(Poster::FileNotMapped, outcome.final.errorCode);
        EXPECT_EQ(Join({kLogin, {"type I\r\n", "SIZE up.bin\r\n", "QUIT\r\n"}}), peer.Wire());
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
    EXPECT_EQ(Poster::FileNotMapped, outcome.final.errorCode);
    EXPECT_TRUE(peer.Data() == local.Bytes());
}

TEST_F(Flow, NamesWithLineBreaksEndTheJobWith7BeforeTheyAreSent) {
    const struct {
        const char* name;
        const wchar_t* user;
        const wchar_t* password;
        const wchar_t* folder;
        const wchar_t* file;
        Lines wire;
    } cases[] = {
        {"user name", L"bob\r\nDELE x", L"pw", L"", L"up.bin", kQuit},
        {"password", L"bob", L"pw\nDELE x", L"", L"up.bin", {"USER bob\r\n", "QUIT\r\n"}},
        {"folder", L"bob", L"pw", L"in/x\rDELE y", L"up.bin",
         Join({kLogin, {"MKD in\r\n", "cwd in\r\n", "QUIT\r\n"}})},
        {"file name", L"bob", L"pw", L"", L"up.bin\r\nDELE x", Join({kLogin, {"type I\r\n", "QUIT\r\n"}})},
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
        EXPECT_EQ(Poster::SendFailed, outcome.final.errorCode);
        EXPECT_EQ(c.wire, peer.Wire());
    }
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

    const struct {
        int64_t posted;
        const wchar_t* speed;
    } expected[] = {{65536, L"21.33KB"}, {131072, L"42.67KB"}, {196608, L"64.00KB"}, {229376, L"53.33KB"}};
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
    const size_t size = 20 * block + 1234;
    PeerScript script;
    script.replies["SIZE"] = Say("213 70001\r\n");
    ScriptedPeer peer(script);
    LocalFile local(LocalBytes(size, 9));
    FtpFilePoster poster;
    const Outcome outcome = RunJob(poster, peer, local.Path(), size, L"", L"up.bin");
    Tamsic::Platform::SetTickFunction(previous);
    ASSERT_TRUE(outcome.reported);
    EXPECT_EQ(Report::Complete, outcome.final.kind);
    EXPECT_EQ(Join({kLogin, kAppend}), peer.Wire());
    EXPECT_TRUE(peer.Data() == local.Bytes().substr(resume)) << "the server got " << peer.Data().size() << " bytes";

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

// Stops the job from its first progress report.
class StoppingSink : public RecordingSink {
public:
    FtpFilePoster* poster = nullptr;
    void postProcess(int taskId, int64_t posted, CString speed) override {
        poster->Stop();
        RecordingSink::postProcess(taskId, posted, speed);
    }
};

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
        EXPECT_EQ(Join({kLogin, kStore}), peer.Wire());
        EXPECT_EQ(view, peer.Data().size()) << "the view under way, then the stop";
    }
    Tamsic::Platform::SetTickFunction(previous);
    EXPECT_TRUE(stopping.Finals().empty());
    EXPECT_EQ(1u, stopping.Reports().size()) << "nothing reported after the stop, not even the view's other blocks";

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
    EXPECT_EQ(Poster::TransferFailed, finals[0].errorCode);
    EXPECT_EQ(Join({kLogin, kStore}), peer.Wire());
    EXPECT_EQ(1000u, peer.Data().size());
}

TEST_F(Flow, ARemoteNameTheAnsiCodePageCannotHoldIsNeverSent) {
    // Without UTF-8 (the server refused CLNT) names go out in the ANSI code page, 1252 here.
    const struct {
        const char* name;
        const wchar_t* folder;
        const wchar_t* file;
        Lines wire;
    } cases[] = {
        {"Chinese file name", L"", L"\x6587\x4EF6.bin", Join({kLogin, {"type I\r\n", "QUIT\r\n"}})},
        {"a look-alike (a macron a)", L"", L"\x0101.bin", Join({kLogin, {"type I\r\n", "QUIT\r\n"}})},
        {"Chinese folder", L"in/\x6587\x4EF6", L"up.bin",
         Join({kLogin, {"MKD in\r\n", "cwd in\r\n", "QUIT\r\n"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FreshSink();
        ScriptedPeer peer{PeerScript()};
        LocalFile local(LocalBytes(1000, 1));
        FtpFilePoster poster;
        const Outcome outcome = RunJob(poster, peer, local.Path(), 1000, c.folder, c.file);
        ASSERT_TRUE(outcome.reported);
        EXPECT_EQ(Poster::SendFailed, outcome.final.errorCode);
        EXPECT_EQ(c.wire, peer.Wire());
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
        {"", L"", {"QUIT\r\n"}},  // the greeting
        {"USER", L"", {"USER bob\r\n", "QUIT\r\n"}},
        {"PASS", L"", {"USER bob\r\n", "PASS pw\r\n", "QUIT\r\n"}},
        {"FEAT", L"", {"USER bob\r\n", "PASS pw\r\n", "FEAT\r\n", "QUIT\r\n"}},
        {"CLNT", L"", {"USER bob\r\n", "PASS pw\r\n", "FEAT\r\n", "CLNT 2.1.0.35379 \r\n", "QUIT\r\n"}},
        {"PWD", L"", Join({kLogin, kQuit})},
        {"MKD", L"in", Join({kLogin, {"MKD in\r\n", "QUIT\r\n"}})},
        {"CWD", L"in", Join({kLogin, {"MKD in\r\n", "cwd in\r\n", "QUIT\r\n"}})},
        {"TYPE", L"", Join({kLogin, {"type I\r\n", "QUIT\r\n"}})},
        {"SIZE", L"", Join({kLogin, {"type I\r\n", "SIZE up.bin\r\n", "QUIT\r\n"}})},
        {"PASV", L"", Join({kLogin, {"type I\r\n", "SIZE up.bin\r\n", "PASV\r\n", "QUIT\r\n"}})},
        {"REST", L"",
         Join({kLogin, {"type I\r\n", "SIZE up.bin\r\n", "PASV\r\n", "REST 0\r\n", "QUIT\r\n"}})},
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
        // Once the command is out (or, for the greeting, a moment after the connect), the page stops.
        const size_t sent = c.wire.size() - 1;
        if (sent == 0)
            Sleep(300);
        else
            ASSERT_TRUE(WaitUntil([&] { return peer.Wire().size() >= sent; }, 20000));
        poster.Stop();
        EXPECT_TRUE(WaitUntil([&] { return !poster.IsRunning(); }, 10000))
            << "the stop did not end the wait for the reply";
        peer.Join();
        EXPECT_EQ(c.wire, peer.Wire());
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
