// Faults against the lab's scripted server (Python, on loopback): replies in pieces, multi-line replies,
// delays, silence, a closed line, refusals and the final reply after the data transfer. Each row is the
// script, the command lines the server must have received (in order, exactly) and how the job ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "LabTestSupport.h"

using namespace enginetest;
using Poster = FtpFilePoster;
using Lines = std::vector<std::string>;

namespace {

const int kComplete = 0;
const size_t kSize = 150000;

Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The lab's scripted server accepts CLNT, so OPTS UTF8 ON follows it.
const Lines kLogin = {"USER u", "PASS p", "FEAT", "CLNT 2.1.0.35379 ", "OPTS UTF8 ON", "PWD"};
const Lines kFolder = {"MKD in", "cwd in"};
const Lines kStore = {"type I", "SIZE f.bin", "PASV", "REST 0", "STOR f.bin", "QUIT"};

struct FaultCase {
    const char* name;
    std::function<void(ftplab::ScriptBuilder&)> script;
    Lines commands;
    int outcome;        // kComplete or the error code
    bool stored;        // the server holds the whole file afterwards
    int ioTimeout = 0;  // a shortened I/O time-out, 0 for the default
};

class LabFaults : public ::testing::Test {
protected:
    void Run(const FaultCase& c) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<TimeoutScope> shortened;
        if (c.ioTimeout) shortened.reset(new TimeoutScope(30000, c.ioTimeout));
        ftplab::ScriptBuilder script;
        script.Credentials("u", "p");
        c.script(script);
        const ftplab::Server server = lab_.StartScripted(script);
        LocalFile local(LocalBytes(kSize, 21));
        const JobResult job = RunLabJob(server.port, "u", "p", local, kSize, L"in", L"f.bin");
        ASSERT_TRUE(job.reported) << "no final report";
        EXPECT_EQ(1u, job.finals);
        if (c.outcome == kComplete) {
            EXPECT_EQ(Report::Complete, job.final.kind) << "error " << job.final.errorCode;
        } else {
            EXPECT_EQ(Report::Error, job.final.kind);
            EXPECT_EQ(c.outcome, job.final.errorCode);
        }
        EXPECT_EQ(c.commands, lab_.Commands(server.id));
        const ftplab::FileInfo stored = lab_.RemoteFile(server.id, "in/f.bin", true);
        if (c.stored) {
            EXPECT_TRUE(stored.exists && stored.data == local.Bytes()) << "the server's copy differs";
        }
        lab_.Stop(server.id);
    }

    WinsockSession winsock_;
    ftplab::FtpLab lab_;
};

#define FAULT_TABLE(TestName, ...)               \
    TEST_F(LabFaults, TestName) {                \
        const FaultCase cases[] = {__VA_ARGS__}; \
        for (const FaultCase& c : cases) Run(c); \
    }

using Script = ftplab::ScriptBuilder;

FAULT_TABLE(
    RepliesInPiecesAndOnManyLines,
    {"the plain server", [](Script&) {}, Join({kLogin, kFolder, kStore}), kComplete, true},
    {"greeting and replies cut into pieces",
     [](Script& s) {
         s.SplitGreeting({3, 9}, 60)
             .Split("PASS", {2, 5}, 60)
             .Split("FEAT", {4, 14, 20}, 60)
             .Split("PASV", {10, 30}, 60);
     },
     Join({kLogin, kFolder, kStore}), kComplete, true},
    {"multi-line replies",
     [](Script& s) {
         s.Greeting("220-Korvane lab\r\n220-second line\r\n220 Ready.\r\n")
             .Reply("PASS", "230-Welcome back.\r\n230-No mail.\r\n230 Login successful.\r\n")
             .Reply("PWD", "257-\"/\" is where you are\r\n257 \"/\"\r\n");
     },
     Join({kLogin, kFolder, kStore}), kComplete, true},
    {"a multi-line final reply in pieces",
     [](Script& s) {
         s.FinalReply("226-File successfully transferred\r\n226 0.003 seconds\r\n").SplitFinal({6, 40}, 60);
     },
     Join({kLogin, kFolder, kStore}), kComplete, true})

FAULT_TABLE(
    DelaysAndSilence,
    {"PASS answered after 1.5 s", [](Script& s) { s.Delay("PASS", 1500); }, Join({kLogin, kFolder, kStore}),
     kComplete, true},
    {"SIZE answered after 1.5 s", [](Script& s) { s.Delay("SIZE", 1500); }, Join({kLogin, kFolder, kStore}),
     kComplete, true},
    {"the final reply after 1.5 s", [](Script& s) { s.FinalDelay(1500); }, Join({kLogin, kFolder, kStore}),
     kComplete, true},
    {"no greeting", [](Script& s) { s.SilentGreeting(); }, {"QUIT"}, Poster::ReceiveFailed, false, 1000},
    {"no reply to PWD", [](Script& s) { s.Silent("PWD"); }, Join({kLogin, {"QUIT"}}), Poster::ReceiveFailed,
     false, 1000},
    {"no final reply", [](Script& s) { s.NoFinalReply(); }, Join({kLogin, kFolder, kStore}),
     Poster::TransferFailed, false, 1000})

FAULT_TABLE(TheLineGoesDown,
            {"at USER", [](Script& s) { s.Close("USER"); }, {"USER u", "QUIT"}, Poster::UserRejected, false},
            {"at PASV", [](Script& s) { s.Close("PASV"); },
             Join({kLogin, kFolder, {"type I", "SIZE f.bin", "PASV", "QUIT"}}), Poster::PassiveFailed, false},
            {"after the transfer", [](Script& s) { s.CloseAfterTransfer(); }, Join({kLogin, kFolder, kStore}),
             Poster::TransferFailed, false})

FAULT_TABLE(Refusals,
            {"USER",
             [](Script& s) { s.Reply("USER", "530 Not this user.\r\n"); },
             {"USER u", "QUIT"},
             Poster::UserRejected,
             false},
            {"PASS",
             [](Script& s) { s.Reply("PASS", "530 Login incorrect.\r\n"); },
             {"USER u", "PASS p", "QUIT"},
             Poster::PassRejected,
             false},
            {"cwd", [](Script& s) { s.Reply("CWD", "550 No.\r\n"); },
             Join({kLogin, {"MKD in", "cwd in", "QUIT"}}), Poster::TransferFailed, false},
            {"PASV", [](Script& s) { s.Reply("PASV", "500 No.\r\n"); },
             Join({kLogin, kFolder, {"type I", "SIZE f.bin", "PASV", "QUIT"}}), Poster::PassiveFailed, false},
            {"STOR", [](Script& s) { s.Reply("STOR", "553 Could not create file.\r\n"); },
             Join({kLogin, kFolder, kStore}), Poster::TransferFailed, false},
            {"final 451", [](Script& s) { s.FinalReply("451 Local error in processing.\r\n"); },
             Join({kLogin, kFolder, kStore}), Poster::TransferFailed, false},
            {"FEAT, CLNT, type I and REST: none of them ends the job",
             [](Script& s) {
                 s.Reply("FEAT", "500 No.\r\n")
                     .Reply("CLNT", "500 No.\r\n")
                     .Reply("TYPE", "504 No.\r\n")
                     .Reply("REST", "502 No.\r\n");
             },
             Join({{"USER u", "PASS p", "FEAT", "CLNT 2.1.0.35379 ", "PWD"}, kFolder, kStore}), kComplete,
             true})

TEST_F(LabFaults, ADataConnectionNobodyReadsEndsWith16) {
    TimeoutScope shortened(30000, 1500);
    const ftplab::Server server = lab_.StartScripted(Script().Credentials("u", "p").NeverAcceptData());
    const size_t size = 48u << 20;
    LocalFile local(LocalBytes(size, 22));
    const JobResult job = RunLabJob(server.port, "u", "p", local, size, L"", L"f.bin");
    ASSERT_TRUE(job.reported);
    EXPECT_EQ(Report::Error, job.final.kind);
    EXPECT_EQ(Poster::TransferFailed, job.final.errorCode);
    EXPECT_EQ(Join({kLogin, {"type I", "SIZE f.bin", "PASV", "REST 0", "STOR f.bin", "QUIT"}}),
              lab_.Commands(server.id));
}

TEST_F(LabFaults, AResumeAgainstTheScriptedStoreSendsOnlyTheRest) {
    const ftplab::Server server = lab_.StartScripted(Script().Credentials("u", "p"));
    LocalFile local(LocalBytes(kSize, 23));
    lab_.PutFile(server.id, "in/f.bin", local.Bytes().substr(0, 4097));
    const JobResult job = RunLabJob(server.port, "u", "p", local, kSize, L"in", L"f.bin");
    ASSERT_TRUE(job.reported);
    EXPECT_EQ(Report::Complete, job.final.kind) << "error " << job.final.errorCode;
    EXPECT_EQ(Join({kLogin, kFolder, {"type I", "SIZE f.bin", "PASV", "APPE f.bin", "QUIT"}}),
              lab_.Commands(server.id));
    const std::vector<ftplab::Transfer> transfers = lab_.Transfers(server.id, 1);
    ASSERT_EQ(1u, transfers.size());
    EXPECT_EQ(4097, transfers[0].offset);
    EXPECT_EQ(static_cast<long long>(kSize - 4097), transfers[0].bytes);
    EXPECT_TRUE(lab_.RemoteFile(server.id, "in/f.bin", true).data == local.Bytes());
}

TEST_F(LabFaults, AStopDuringTheTransferThenAResumeLeavesTheServersCopyWhole) {
    // The server is still writing the first transfer's bytes a while after its data connection closed.
    const ftplab::Server server =
        lab_.StartScripted(Script().Credentials("u", "p").Set("STOR#1.store_delay", "1500"));
    // Three views and a little: the stop comes with the first block's report, and the view under way is the
    // last that goes out.
    const size_t size = 3 * 65536 * FtpFilePoster::kBlocksPerView + 123;
    LocalFile local(LocalBytes(size, 24));
    const JobResult job = StopThenPostAgain(server.port, "u", "p", local, L"", L"f.bin");
    ASSERT_TRUE(job.reported);
    EXPECT_EQ(Report::Complete, job.final.kind) << "error " << job.final.errorCode;
    ASSERT_EQ(2u, lab_.Transfers(server.id, 2, 10000).size());
    const ftplab::FileInfo stored = lab_.RemoteFile(server.id, "f.bin", true);
    EXPECT_EQ(static_cast<long long>(size), stored.size);
    EXPECT_TRUE(stored.data == local.Bytes()) << "the server's copy differs";
    const std::vector<std::string> commands = lab_.Commands(server.id);
    EXPECT_EQ(1, std::count(commands.begin(), commands.end(), std::string("APPE f.bin")));
}

}  // namespace
