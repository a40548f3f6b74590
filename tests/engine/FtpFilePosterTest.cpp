// The job record, its progress texts and the life of its worker, against peers the test makes itself.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "EngineTestSupport.h"

using namespace enginetest;
using Poster = FtpFilePoster;

namespace {

TEST(FtpFilePosterRecord, SetErrorReplacesTheStateAndAddStateOrsIn) {
    const struct {
        unsigned before;
        int error;          // 0: no SetError
        unsigned addLater;  // 0: no AddState
        unsigned after;
        int code;
    } cases[] = {
        {0x8007, 7, 0, 0x10, 7},
        {0, 21, 0x200, 0x210, 21},
        {0x1000 | 0x8000, 16, 0, 0x10, 16},
        {0x2, 0, 0x4, 0x6, 0},
    };
    for (const auto& c : cases) {
        PosterProbe poster;
        poster.state_ = c.before;
        if (c.error) poster.SetError(c.error);
        if (c.addLater) poster.AddState(c.addLater);
        EXPECT_EQ(c.after, poster.GetState()) << std::hex << c.before;
        if (c.error) {
            EXPECT_EQ(c.code, poster.GetErrorCode());
        }
    }
}

TEST(FtpFilePosterRecord, ProgressTextsFollowTheCountsAndTheSpeed) {
    const struct {
        int64_t fileSize;
        int64_t posted;
        double speed;
        const wchar_t* postedText;
        const wchar_t* percent;
        const wchar_t* remaining;
    } cases[] = {
        {3, 0, 0, L"0Bytes", L"0%", L"00:00:00"},
        {3, 1, 0, L"1Bytes", L"33%", L"00:00:00"},
        {3, 3, 1, L"3Bytes", L"100%", L"00:00:00"},
        {30000000, 29999999, 0, L"28.61MB", L"100%", L"00:00:00"},  // single precision reaches 100
        {30000000, 15000000, 1000000, L"14.31MB", L"50%", L"00:00:15"},
        {1000000, 0, 300000, L"0Bytes", L"0%", L"00:00:03"},
        {104862843 * 2LL, 104862843, 1048576, L"100.00MB", L"50%", L"00:01:40"},
        {2048, 1536, 512, L"1.50KB", L"75%", L"00:00:01"},
        {5LL * 3600 * 1000, 0, 1000, L"0Bytes", L"0%", L"05:00:00"},
    };
    for (const auto& c : cases) {
        PosterProbe poster;
        poster.fileSize_ = c.fileSize;
        poster.posted_ = c.posted;
        poster.speed_ = c.speed;
        EXPECT_STREQ(c.postedText, poster.GetPostedText().GetString()) << c.posted << " of " << c.fileSize;
        EXPECT_STREQ(c.percent, poster.GetPercentText().GetString()) << c.posted << " of " << c.fileSize;
        EXPECT_STREQ(c.remaining, poster.GetRemainingTimeText().GetString())
            << c.posted << " of " << c.fileSize;
    }
}

// A server that accepts the control connection and never says a word.
class SilentServer : public ::testing::Test {
protected:
    void Start(FtpFilePoster& poster, int taskId) {
        poster.SetEvent(&sink_);
        poster.SetTaskId(taskId);
        poster.SetFileSize(1000);
        poster.SetServer(L"127.0.0.1", listener_.Port(), L"bob", L"pw");
        ASSERT_TRUE(poster.Post(L"C:\\nothing.bin", L"in", L"up.bin"));
        peer_ = listener_.Accept();
        ASSERT_NE(INVALID_SOCKET, peer_);
    }
    void TearDown() override {
        if (peer_ != INVALID_SOCKET) closesocket(peer_);
    }

    SocketLibrary winsock_;
    TimeoutScope shortWait_{30000, 1500};
    LoopbackListener listener_;
    RecordingSink sink_;
    SOCKET peer_ = INVALID_SOCKET;
};

TEST_F(SilentServer, NoGreetingEndsTheJobWith20AndOnlyQuitIsSent) {
    FtpFilePoster poster;
    Start(poster, 41);
    ASSERT_TRUE(sink_.WaitForFinal());
    const std::vector<Report> finals = sink_.Finals();
    ASSERT_EQ(1u, finals.size());
    EXPECT_EQ(Report::Error, finals[0].kind);
    EXPECT_EQ(41, finals[0].taskId);
    EXPECT_EQ(PageErrorCode::ReceiveFailed, finals[0].errorCode);
    EXPECT_NE(GetCurrentThreadId(), finals[0].threadId) << "reports come on the worker thread";
    EXPECT_EQ("QUIT\r\n", ReceiveUntilQuiet(peer_, 30000));
}

class NoServer : public ::testing::Test {
protected:
    SocketLibrary winsock_;
    RecordingSink sink_;
};

TEST_F(NoServer, ARefusedConnectionIsReportedAs7) {
    FtpFilePoster poster;
    poster.SetEvent(&sink_);
    poster.SetTaskId(3);
    poster.SetFileSize(10);
    poster.SetServer(L"localhost", ClosedLoopbackPort(), L"bob", L"pw");
    ASSERT_TRUE(poster.Post(L"C:\\nothing.bin", L"", L"up.bin"));
    ASSERT_TRUE(sink_.WaitForFinal());
    const std::vector<Report> reports = sink_.Reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(Report::Error, reports[0].kind);
    EXPECT_EQ(PageErrorCode::SendFailed, reports[0].errorCode);
}

TEST_F(NoServer, AJobStartsFromACleanRecord) {
    PosterProbe poster;
    poster.SetEvent(&sink_);
    poster.SetFileSize(10);
    poster.SetServer(L"127.0.0.1", ClosedLoopbackPort(), L"bob", L"pw");
    // What an earlier, completed job could have left.
    poster.state_ = Poster::AllSent | Poster::LoggedIn | Poster::ClntAccepted;
    poster.utf8_ = true;
    poster.posted_ = 10;
    poster.speed_ = 1234;
    ASSERT_TRUE(poster.Post(L"C:\\nothing.bin", L"", L"up.bin"));
    ASSERT_TRUE(sink_.WaitForFinal());
    const std::vector<Report> finals = sink_.Finals();
    ASSERT_EQ(1u, finals.size());
    EXPECT_EQ(Report::Error, finals[0].kind) << "a stale AllSent must not report completion";
    EXPECT_FALSE(poster.utf8_);
    EXPECT_EQ(0, poster.posted_);
    EXPECT_EQ(0, poster.speed_);
}

TEST_F(NoServer, AStopEndsAJobThatWaitsForItsConnect) {
    // A listener whose queue is full: the kernel drops the next connect's SYN, and the connect hangs.
    TimeoutScope longConnect(60000, 60000);
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::listen(listener, 0);
    int size = sizeof(address);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::vector<SOCKET> fillers;
    for (int i = 0; i < 4; ++i) {
        SOCKET filler = ::socket(AF_INET, SOCK_STREAM, 0);
        u_long nonBlocking = 1;
        ioctlsocket(filler, FIONBIO, &nonBlocking);
        ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        fillers.push_back(filler);
    }
    Sleep(200);

    FtpFilePoster poster;
    poster.SetEvent(&sink_);
    poster.SetFileSize(10);
    poster.SetServer(L"127.0.0.1", ntohs(address.sin_port), L"bob", L"pw");
    ASSERT_TRUE(poster.Post(L"C:\\nothing.bin", L"", L"up.bin"));
    Sleep(500);
    ASSERT_TRUE(poster.IsRunning()) << "the connect did not hang: the fixture shows nothing";
    const ULONGLONG stopped = GetTickCount64();
    poster.Stop();
    while (poster.IsRunning() && GetTickCount64() - stopped < 20000) Sleep(10);
    EXPECT_FALSE(poster.IsRunning()) << "the stop did not end the connect";
    EXPECT_TRUE(sink_.Reports().empty()) << "a stopped job reports nothing";
    for (SOCKET filler : fillers) closesocket(filler);
    closesocket(listener);
}

}  // namespace
