// The shared fault cases (FaultCases.h) against the lab's scripted server (Python, on loopback), then the
// cases only it can play: a file already on the server, a server that is still writing its copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "FaultCases.h"
#include "LabTestSupport.h"

using namespace enginetest;
using namespace faultcases;
using Script = ftplab::ScriptBuilder;

namespace {

const size_t kSize = 150000;

std::string Joined(const std::vector<int>& cuts) {
    std::string text;
    for (int cut : cuts) text += (text.empty() ? "" : ",") + std::to_string(cut);
    return text;
}

// The lab's script for one step: the fields of its verb, or the "final." fields of STOR and APPE.
void Add(const Step& step, Script& script) {
    if (step.verb == kData) {
        script.NeverAcceptData();
        return;
    }
    const bool final = step.verb == kFinal;
    const std::vector<std::string> verbs =
        final ? std::vector<std::string>{"STOR", "APPE"} : std::vector<std::string>{step.verb};
    for (const std::string& verb : verbs) {
        const std::string prefix = verb + (final ? ".final" : "");
        const std::string field = final ? verb + ".final." : verb + ".";
        if (!step.text.empty()) script.Set(final ? prefix : prefix + ".reply", step.text);
        if (!step.cuts.empty()) {
            script.Set(field + "split", Joined(step.cuts));
            script.Set(field + "gap", std::to_string(step.gap));
        }
        if (step.delay) script.Set(field + "delay", std::to_string(step.delay));
        if (step.act == Step::Silent) script.Set(field + "action", "silent");
        if (step.act == Step::Hangup)
            script.Set(field + "action", step.text.empty() ? "close" : "reply-close");
    }
}

class LabFaults : public ::testing::Test {
protected:
    WinsockSession winsock_;
    ftplab::FtpLab lab_;
};

class SharedFaults : public LabFaults, public ::testing::WithParamInterface<Case> {};

TEST_P(SharedFaults, LabServerPlaysTheCase) {
    const Case& c = GetParam();
    std::unique_ptr<TimeoutScope> shortened;
    if (c.ioTimeout) shortened.reset(new TimeoutScope(30000, c.ioTimeout));
    Script script;
    script.Credentials(kUser, kPassword);
    for (const Step& step : c.server) Add(step, script);
    const ftplab::Server server = lab_.StartScripted(script);
    LocalFile local(LocalBytes(c.fileSize, 21));
    const JobResult job =
        RunLabJob(server.port, kUser, kPassword, local, static_cast<int64_t>(c.fileSize), c.folder, kFile);
    ASSERT_TRUE(job.reported) << "no final report";
    EXPECT_EQ(1u, job.finals);
    if (c.outcome == kComplete) {
        EXPECT_EQ(Report::Complete, job.final.kind) << "error " << job.final.errorCode;
    } else {
        EXPECT_EQ(Report::Error, job.final.kind);
        EXPECT_EQ(c.outcome, job.final.errorCode);
    }
    EXPECT_EQ(c.commands, lab_.Commands(server.id));
    if (c.received >= 0) {
        const std::vector<ftplab::Transfer> transfers = lab_.Transfers(server.id, 1, 5000, true);
        ASSERT_EQ(1u, transfers.size());
        const std::string expected = local.Bytes().substr(static_cast<size_t>(c.received));
        EXPECT_TRUE(transfers[0].data == expected) << "the server got " << transfers[0].bytes << " bytes";
        if (c.outcome == kComplete) {
            const ftplab::FileInfo stored = lab_.RemoteFile(server.id, transfers[0].path.substr(1), true);
            EXPECT_TRUE(stored.exists && stored.data == expected) << "the server's copy differs";
        }
    } else if (c.received == kNothing) {
        for (const ftplab::Transfer& t : lab_.Transfers(server.id)) EXPECT_EQ(0, t.bytes);
    }
    lab_.Stop(server.id);
}

INSTANTIATE_TEST_SUITE_P(FaultCases, SharedFaults, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return TestName(info.param); });

TEST_F(LabFaults, AResumeAgainstTheScriptedStoreSendsOnlyTheRest) {
    const ftplab::Server server = lab_.StartScripted(Script().Credentials(kUser, kPassword));
    LocalFile local(LocalBytes(kSize, 23));
    lab_.PutFile(server.id, "in/up.bin", local.Bytes().substr(0, 4097));
    const JobResult job = RunLabJob(server.port, kUser, kPassword, local, kSize, L"in", kFile);
    ASSERT_TRUE(job.reported);
    EXPECT_EQ(Report::Complete, job.final.kind) << "error " << job.final.errorCode;
    EXPECT_EQ(Join({kLogin, kFolderIn, kAppend}), lab_.Commands(server.id));
    const std::vector<ftplab::Transfer> transfers = lab_.Transfers(server.id, 1);
    ASSERT_EQ(1u, transfers.size());
    EXPECT_EQ(4097, transfers[0].offset);
    EXPECT_EQ(static_cast<long long>(kSize - 4097), transfers[0].bytes);
    EXPECT_TRUE(lab_.RemoteFile(server.id, "in/up.bin", true).data == local.Bytes());
}

TEST_F(LabFaults, AStopDuringTheTransferThenAResumeLeavesTheServersCopyWhole) {
    // The server is still writing the first transfer's bytes a while after its data connection closed.
    const ftplab::Server server =
        lab_.StartScripted(Script().Credentials(kUser, kPassword).Set("STOR#1.store_delay", "1500"));
    // Three views and a little: the stop comes with the first block's report, and the view under way is the
    // last that goes out.
    const size_t size = 3 * 65536 * FtpFilePoster::kBlocksPerView + 123;
    LocalFile local(LocalBytes(size, 24));
    const JobResult job = StopThenPostAgain(server.port, kUser, kPassword, local, L"", kFile);
    ASSERT_TRUE(job.reported);
    EXPECT_EQ(Report::Complete, job.final.kind) << "error " << job.final.errorCode;
    ASSERT_EQ(2u, lab_.Transfers(server.id, 2, 10000).size());
    const ftplab::FileInfo stored = lab_.RemoteFile(server.id, "up.bin", true);
    EXPECT_EQ(static_cast<long long>(size), stored.size);
    EXPECT_TRUE(stored.data == local.Bytes()) << "the server's copy differs";
    const std::vector<std::string> commands = lab_.Commands(server.id);
    EXPECT_EQ(1, std::count(commands.begin(), commands.end(), std::string("APPE up.bin")));
}

}  // namespace
