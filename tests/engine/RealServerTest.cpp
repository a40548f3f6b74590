// The upload against the real servers of the FTP lab: pyftpdlib, vsftpd and pure-ftpd, each started for the
// test on its own loopback port. Every upload that reports completion is compared with the local file.
#include <gtest/gtest.h>

#include "LabTestSupport.h"

using namespace enginetest;
using Poster = FtpFilePoster;

namespace {

// vsftpd logs in system users: the lab creates this one. Both targets' runs use the same password, so
// their servers may live side by side.
const char kUser[] = "korvaneeng";
const char kPassword[] = "Eng-upload-7";

class RealServer : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { server_ = lab_.StartReal(GetParam(), kUser, kPassword); }

    // The server's copy, byte for byte.
    void ExpectStored(const std::string& path, const LocalFile& local) {
        const ftplab::FileInfo stored = lab_.RemoteFile(server_.id, path, true);
        ASSERT_TRUE(stored.exists) << path;
        EXPECT_EQ(static_cast<long long>(local.Bytes().size()), stored.size);
        EXPECT_TRUE(stored.data == local.Bytes()) << path << " differs from the local file";
    }

    // A job that reported its completion, and the server's copy of its file.
    void ExpectCompleteAndStored(const JobResult& job, const std::string& path, const LocalFile& local) {
        ASSERT_TRUE(job.reported);
        EXPECT_EQ(Report::Complete, job.final.kind) << "error " << job.final.errorCode;
        ExpectStored(path, local);
    }

    SocketLibrary winsock_;
    ftplab::FtpLab lab_;
    ftplab::Server server_;
};

TEST_P(RealServer, ANewFileGoesIntoANestedFolder) {
    LocalFile local(LocalBytes(300001, 11));
    const JobResult job =
        RunLabJob(server_.port, kUser, kPassword, local, 300001, L"/up/deep//er/", L"new.bin");
    ExpectCompleteAndStored(job, "up/deep/er/new.bin", local);
    EXPECT_EQ(1u, job.finals);
    EXPECT_EQ(77, job.final.taskId);
}

TEST_P(RealServer, AResumedUploadSendsOnlyTheRest) {
    const size_t size = 400000;
    const size_t held = 100003;  // not a multiple of the block
    LocalFile local(LocalBytes(size, 12));
    lab_.PutFile(server_.id, "res/part.bin", local.Bytes().substr(0, held));

    // One second per tick call: the first report falls due after the first block, and shows where the
    // transfer started.
    const Tamsic::Platform::TickFunction previous = Tamsic::Platform::SetTickFunction(&SecondPerCall);
    const JobResult job = RunLabJob(server_.port, kUser, kPassword, local, size, L"res", L"part.bin");
    Tamsic::Platform::SetTickFunction(previous);

    ExpectCompleteAndStored(job, "res/part.bin", local);
    ASSERT_FALSE(job.progress.empty());
    EXPECT_EQ(static_cast<int64_t>(held + 65536), job.progress.front().posted);
    EXPECT_EQ(static_cast<int64_t>(size), job.progress.back().posted);
}

TEST_P(RealServer, AWrongPasswordIs6) {
    LocalFile local(LocalBytes(5000, 13));
    const JobResult job = RunLabJob(server_.port, kUser, "not-the-password", local, 5000, L"in", L"no.bin");
    ASSERT_TRUE(job.reported);
    EXPECT_EQ(1u, job.finals);
    EXPECT_EQ(Report::Error, job.final.kind);
    EXPECT_EQ(PageErrorCode::PassRejected, job.final.errorCode);
    EXPECT_FALSE(lab_.RemoteFile(server_.id, "in/no.bin").exists);
}

TEST_P(RealServer, AFileSmallerThanOneBlock) {
    LocalFile local(LocalBytes(1000, 14));
    const JobResult job = RunLabJob(server_.port, kUser, kPassword, local, 1000, L"", L"small.bin");
    ExpectCompleteAndStored(job, "small.bin", local);
}

// A second job on the same server replaces the file the first one stored.
TEST_P(RealServer, TheServerHoldsALargerFileSoTheUploadStartsAnew) {
    LocalFile local(LocalBytes(70000, 15));
    lab_.PutFile(server_.id, "big.bin", LocalBytes(90000, 16));
    const JobResult job = RunLabJob(server_.port, kUser, kPassword, local, 70000, L"", L"big.bin");
    ExpectCompleteAndStored(job, "big.bin", local);
}

// The page stops the upload during the transfer and posts it again at once: the resume must leave the
// server's copy whole, whatever the server still had on its way to the disk when the first job ended.
TEST_P(RealServer, AStopDuringTheTransferThenAPostAgainStoresTheWholeFile) {
    LocalFile local(LocalBytes(3000017, 17));
    const JobResult job = StopThenPostAgain(server_.port, kUser, kPassword, local, L"stop", L"again.bin");
    ASSERT_TRUE(job.reported) << "the first job reported, or the second did not";
    EXPECT_EQ(1u, job.finals);
    EXPECT_EQ(Report::Complete, job.final.kind) << "error " << job.final.errorCode;
    ExpectStored("stop/again.bin", local);
}

INSTANTIATE_TEST_SUITE_P(Lab, RealServer, ::testing::Values("pyftpdlib", "vsftpd", "pureftpd"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

}  // namespace
