// The control channel over a real loopback connection that the test holds the server end of: the reply
// reader, then every command as a row of what the server has queued, what must go out on the wire and what
// the record shows afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "Biz/Log.h"
#include "Network/Command/FtpCommand.h"
#include "Network/Command/FtpReplyReader.h"
#include "common/AnsiCodePageSeam.h"
#include "engine/EngineTestSupport.h"

using namespace enginetest;
using Poster = FtpFilePoster;

namespace {

// A poster whose control connection is connected to a socket the test answers on.
class ControlPair : public ::testing::Test {
protected:
    void SetUp() override {
        poster_.control_.SetAddress(CString(L"127.0.0.1"), static_cast<short>(listener_.Port()));
        ASSERT_TRUE(poster_.control_.Connect());
        server_ = listener_.Accept();
        ASSERT_NE(INVALID_SOCKET, server_);
        poster_.userName_ = L"bob";
        poster_.password_ = L"pw";
        poster_.remoteFile_ = L"up.bin";
        poster_.remoteFolder_ = L"a";
        poster_.fileSize_ = 5000;
    }
    void TearDown() override {
        if (server_ != INVALID_SOCKET) closesocket(server_);
        poster_.control_.Close();
    }

    // What the client sent: everything up to a marker the test sends on the client's socket, so nothing
    // waits on a quiet line.
    std::string Wire() {
        static const char kMarker[] = "#END#";
        ::send(poster_.control_.GetSocket(), kMarker, 5, 0);
        std::string all;
        while (all.size() < 5 || all.compare(all.size() - 5, 5, kMarker) != 0) {
            char piece[4096];
            const int n = ::recv(server_, piece, sizeof(piece), 0);
            if (n <= 0) break;
            all.append(piece, static_cast<size_t>(n));
        }
        if (all.size() >= 5) all.resize(all.size() - 5);
        return all;
    }

    WinsockSession winsock_;
    LoopbackListener listener_;
    PosterProbe poster_;
    SOCKET server_ = INVALID_SOCKET;
};

// --- The reply reader ---------------------------------------------------------------------------------

TEST_F(ControlPair, ReaderJoinsPiecesIntoOneReply) {
    std::thread server([this] {
        // A banner in three writes, the way pyftpdlib splits long banners; pauses make them separate.
        const char* pieces[] = {"220-Welcome to", " the lab\r\n220-second line\r\n22", "0 ready\r\n"};
        for (const char* p : pieces) {
            SendText(server_, p);
            Sleep(50);
        }
    });
    FtpReplyReader reader(poster_.control_.GetSocket());
    std::string reply;
    EXPECT_EQ(FtpReplyReader::Complete, reader.Read(reply));
    server.join();
    EXPECT_EQ("220-Welcome to the lab\r\n220-second line\r\n220 ready\r\n", reply);
}

TEST_F(ControlPair, ReaderKeepsWhatFollowsAReplyForTheNextRead) {
    SendText(server_, "331 Password required\r\n230 Logged in\r\n150 Ok");
    FtpReplyReader reader(poster_.control_.GetSocket());
    std::string reply;
    ASSERT_EQ(FtpReplyReader::Complete, reader.Read(reply));
    EXPECT_EQ("331 Password required\r\n", reply);
    EXPECT_EQ("230 Logged in\r\n150 Ok", reader.Pending());
    ASSERT_EQ(FtpReplyReader::Complete, reader.Read(reply));
    EXPECT_EQ("230 Logged in\r\n", reply);
    SendText(server_, " to send\r\n");
    ASSERT_EQ(FtpReplyReader::Complete, reader.Read(reply));
    EXPECT_EQ("150 Ok to send\r\n", reply);
}

TEST_F(ControlPair, ReaderRefusesAReplyLongerThanItsBound) {
    std::thread server([this] {
        const std::string endless(FtpReplyReader::kMaxReply + 8192, 'x');
        SendText(server_, "211-" + endless);
    });
    FtpReplyReader reader(poster_.control_.GetSocket());
    std::string reply;
    EXPECT_EQ(FtpReplyReader::TooLong, reader.Read(reply));
    server.join();
}

TEST_F(ControlPair, ReaderGivesUpOnASilentServer) {
    TimeoutScope shortWait(30000, 300);
    SendText(server_, "220 half a rep");
    FtpReplyReader reader(poster_.control_.GetSocket());
    std::string reply;
    EXPECT_EQ(FtpReplyReader::TimedOut, reader.Read(reply));
    EXPECT_TRUE(reply.empty());
}

TEST_F(ControlPair, ReaderReportsAClosedConnection) {
    SendText(server_, "220 half a rep");
    shutdown(server_, SD_SEND);
    FtpReplyReader reader(poster_.control_.GetSocket());
    std::string reply;
    EXPECT_EQ(FtpReplyReader::Closed, reader.Read(reply));
}

TEST_F(ControlPair, ReaderDeadlineCountsFromTheStartNotFromTheLastByte) {
    // A server that drips its reply a byte at a time, each byte well within the time-out, the whole reply
    // well beyond it.
    TimeoutScope shortWait(30000, 800);
    std::atomic<bool> done{false};
    std::thread server([&] {
        const std::string text = "220 Ready, one byte at a time.\r\n";
        for (size_t i = 0; i < text.size() && !done; ++i) {
            SendText(server_, text.substr(i, 1));
            Sleep(100);
        }
    });
    FtpReplyReader reader(poster_.control_.GetSocket());
    std::string reply;
    EXPECT_EQ(FtpReplyReader::TimedOut, reader.Read(reply));
    done = true;
    server.join();
}

TEST_F(ControlPair, ReaderWaitEndsWhenAStopIsAsked) {
    SendText(server_, "220 half a rep");
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        Sleep(200);
        stop = true;
    });
    FtpReplyReader reader(poster_.control_.GetSocket());
    std::string reply;
    EXPECT_EQ(FtpReplyReader::Stopped, reader.Read(reply, GetTickCount64(), &stop));
    stopper.join();
    // Without a stop to watch, the same wait goes on to the deadline.
    TimeoutScope shortWait(30000, 300);
    EXPECT_EQ(FtpReplyReader::TimedOut, reader.Read(reply, GetTickCount64(), nullptr));
}

// --- The commands, as wire tables ---------------------------------------------------------------------

struct CommandCase {
    const char* name;
    unsigned stateBefore;
    const char* queued;  // what the server has already answered
    std::function<void(FtpCommand&)> run;
    const char* wire;  // what must have gone out, byte for byte
    unsigned stateAfter;
    int errorCode;  // checked when stateAfter is Failed
};

const unsigned kIn = Poster::Connected | Poster::LoggedIn;

class Commands : public ControlPair {
public:
    void Run(const CommandCase& c) {
        SCOPED_TRACE(c.name);
        poster_.state_ = c.stateBefore;
        SendText(server_, c.queued);
        {
            FtpCommand command(&poster_);
            c.run(command);
        }
        EXPECT_EQ(c.wire, Wire());
        EXPECT_EQ(c.stateAfter, poster_.GetState()) << std::hex << poster_.GetState();
        if (c.stateAfter == Poster::Failed) {
            EXPECT_EQ(c.errorCode, poster_.GetErrorCode());
        }
    }
};

// Each case gets a fresh connection, so an unread reply cannot leak into the next row.
#define COMMAND_TABLE(TestName, ...)               \
    TEST_F(Commands, TestName) {                   \
        const CommandCase cases[] = {__VA_ARGS__}; \
        for (const CommandCase& c : cases) {       \
            TearDown();                            \
            SetUp();                               \
            Run(c);                                \
        }                                          \
    }

auto user = [](FtpCommand& c) { c.User(); };
auto pass = [](FtpCommand& c) { c.Pass(); };
auto feat = [](FtpCommand& c) { c.Feat(); };
auto clnt = [](FtpCommand& c) { c.Clnt(); };
auto pwd = [](FtpCommand& c) { c.Pwd(); };
auto mkd = [](FtpCommand& c) { c.Mkd(); };
auto cwd = [](FtpCommand& c) { c.Cwd(); };
auto type = [](FtpCommand& c) { c.Type(); };
auto rest = [](FtpCommand& c) { c.Rest(); };
auto stor = [](FtpCommand& c) { c.Stor(); };
auto appe = [](FtpCommand& c) { c.Appe(); };
auto quit = [](FtpCommand& c) { c.Quit(); };
auto pasv = [](FtpCommand& c) {
    sockaddr_in a{};
    c.Pasv(a);
};

COMMAND_TABLE(Login,
              {"USER 331", Poster::Connected, "331 Password required\r\n", user, "USER bob\r\n",
               Poster::Connected | Poster::UserAccepted, 0},
              {"USER 230", Poster::Connected, "230 No password needed\r\n", user, "USER bob\r\n", kIn, 0},
              {"USER refused", Poster::Connected, "530 Not this user\r\n", user, "USER bob\r\n",
               Poster::Failed, PageErrorCode::UserRejected},
              {"USER without a connection", 0, "", user, "", 0, 0},
              {"PASS 230", Poster::Connected | Poster::UserAccepted, "230 Logged in\r\n", pass, "PASS pw\r\n",
               Poster::Connected | Poster::UserAccepted | Poster::LoggedIn, 0},
              {"PASS refused", Poster::Connected | Poster::UserAccepted, "530 Login incorrect\r\n", pass,
               "PASS pw\r\n", Poster::Failed, PageErrorCode::PassRejected},
              {"PASS without USER's 331", Poster::Connected, "", pass, "", Poster::Connected, 0})

COMMAND_TABLE(FeaturesAndClient,
              {"FEAT list", kIn, "211-Features:\r\n SIZE\r\n UTF8\r\n211 End\r\n", feat, "FEAT\r\n",
               kIn | Poster::FeatDone, 0},
              {"FEAT single line", kIn, "211 No features\r\n", feat, "FEAT\r\n", kIn, 0},
              {"FEAT refused", kIn, "500 Unknown command\r\n", feat, "FEAT\r\n", kIn, 0},
              {"FEAT before login", Poster::Connected, "", feat, "", Poster::Connected, 0},
              {"CLNT 200", kIn, "200 Noted\r\n", clnt, "CLNT 2.1.0.35379 \r\n", kIn | Poster::ClntAccepted,
               0},
              {"CLNT refused", kIn, "500 Unknown command\r\n", clnt, "CLNT 2.1.0.35379 \r\n", kIn, 0},
              {"PWD 257", kIn, "257 \"/\" is the current directory\r\n", pwd, "PWD\r\n",
               kIn | Poster::FolderReady, 0},
              {"PWD refused", kIn, "550 No\r\n", pwd, "PWD\r\n", kIn, 0})

COMMAND_TABLE(Folders,
              {"MKD 257", kIn, "257 \"a\" created\r\n", mkd, "MKD a\r\n", kIn | Poster::FolderReady, 0},
              {"MKD 550: already there", kIn, "550 File exists\r\n", mkd, "MKD a\r\n",
               kIn | Poster::FolderReady, 0},
              {"MKD other refusal", kIn, "521 Exists\r\n", mkd, "MKD a\r\n", kIn, 0},
              {"cwd 250", kIn, "250 Okay\r\n", cwd, "cwd a\r\n", kIn | Poster::FolderEntered, 0},
              {"cwd refused", kIn, "550 No such folder\r\n", cwd, "cwd a\r\n", Poster::Failed,
               PageErrorCode::TransferFailed},
              {"path: each component made and entered", kIn, "257 ok\r\n250 ok\r\n550 exists\r\n250 ok\r\n",
               [](FtpCommand& c) { c.MakeRemotePath(L"/a//b/"); }, "MKD a\r\ncwd a\r\nMKD b\r\ncwd b\r\n",
               kIn | Poster::FolderReady | Poster::FolderEntered, 0},
              {"path: a refused cwd ends it", kIn, "257 ok\r\n550 no\r\n",
               [](FtpCommand& c) { c.MakeRemotePath(L"a/b/c"); }, "MKD a\r\ncwd a\r\n", Poster::Failed,
               PageErrorCode::TransferFailed},
              {"path: backslash is no delimiter", kIn, "257 ok\r\n250 ok\r\n",
               [](FtpCommand& c) { c.MakeRemotePath(L"x\\y"); }, "MKD x\\y\r\ncwd x\\y\r\n",
               kIn | Poster::FolderReady | Poster::FolderEntered, 0})

COMMAND_TABLE(Transfer, {"type I", kIn, "200 Switching to Binary mode.\r\n", type, "type I\r\n", kIn, 0},
              {"type I refused", kIn, "504 No\r\n", type, "type I\r\n", kIn, 0},
              {"REST 350", kIn, "350 Restart position accepted (0).\r\n", rest, "REST 0\r\n",
               kIn | Poster::RestAccepted, 0},
              {"REST refused", kIn, "502 No\r\n", rest, "REST 0\r\n", kIn, 0},
              {"STOR 150", kIn, "150 Ok to send data.\r\n", stor, "STOR up.bin\r\n", kIn, 0},
              {"STOR 125", kIn, "125 Data connection already open.\r\n", stor, "STOR up.bin\r\n", kIn, 0},
              {"STOR 226", kIn, "226 Done\r\n", stor, "STOR up.bin\r\n", kIn, 0},
              {"STOR 250", kIn, "250 Done\r\n", stor, "STOR up.bin\r\n", kIn, 0},
              {"STOR 350", kIn, "350 Pending\r\n", stor, "STOR up.bin\r\n", kIn, 0},
              {"STOR refused", kIn, "553 Could not create file.\r\n", stor, "STOR up.bin\r\n", Poster::Failed,
               PageErrorCode::TransferFailed},
              {"APPE 150", kIn, "150 Ok to send data.\r\n", appe, "APPE up.bin\r\n", kIn, 0},
              {"APPE 350 is a refusal", kIn, "350 Pending\r\n", appe, "APPE up.bin\r\n", Poster::Failed,
               PageErrorCode::TransferFailed},
              {"APPE refused", kIn, "550 No\r\n", appe, "APPE up.bin\r\n", Poster::Failed,
               PageErrorCode::TransferFailed},
              {"PASV 227", kIn, "227 Entering Passive Mode (10,1,2,3,195,80).\r\n", pasv, "PASV\r\n",
               kIn | Poster::PassiveReady, 0},
              {"PASV refused", kIn, "500 No\r\n", pasv, "PASV\r\n", Poster::Failed,
               PageErrorCode::PassiveFailed},
              {"PASV port not parsable", kIn, "227 Entering Passive Mode (10,1,2,3,195)\r\n", pasv,
               "PASV\r\n", Poster::Failed, PageErrorCode::PassiveFailed},
              {"QUIT", kIn, "", quit, "QUIT\r\n", kIn, 0})

// After an error nothing but QUIT goes out, whichever command comes next.
COMMAND_TABLE(NothingButQuitAfterAnError, {"USER", Poster::Failed, "", user, "", Poster::Failed, 0},
              {"type I", Poster::Failed, "", type, "", Poster::Failed, 0},
              {"PASV", Poster::Failed, "", pasv, "", Poster::Failed, 0},
              {"REST", Poster::Failed, "", rest, "", Poster::Failed, 0},
              {"STOR", Poster::Failed, "", stor, "", Poster::Failed, 0},
              {"APPE", Poster::Failed, "", appe, "", Poster::Failed, 0},
              {"REST after a stop", Poster::Stopped, "", rest, "", Poster::Stopped, 0},
              {"QUIT", Poster::Failed, "", quit, "QUIT\r\n", Poster::Failed, 0})

TEST_F(Commands, PasvSendsTheDataToTheControlPeer) {
    poster_.state_ = kIn;
    SendText(server_, "227 Entering Passive Mode (192,168,1,10,195,80).\r\n");
    sockaddr_in address{};
    FtpCommand command(&poster_);
    EXPECT_TRUE(command.Pasv(address));
    EXPECT_EQ(AF_INET, address.sin_family);
    EXPECT_EQ(50000, ntohs(address.sin_port));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), address.sin_addr.s_addr) << "the address in the reply is not trusted";
}

struct SizeCase {
    const char* reply;
    int64_t posted;
};

TEST_F(Commands, SizeGivesTheResumeOffset) {
    const SizeCase cases[] = {
        {"213 1200\r\n", 1200},
        {"213 5000\r\n", 5000},                  // the whole file is there: APPE sends nothing
        {"213 5001\r\n", 0},                     // larger than the local file: start anew
        {"213 -5\r\n", 0},                       // below 0 counts as 0
        {"213 99999999999999999999999\r\n", 0},  // clamps, then is larger than the file
        {"213 12ab\r\n", 12},
        {"213 \r\n", 0},
        {"550 No such file\r\n", 0},
    };
    for (const SizeCase& c : cases) {
        TearDown();
        SetUp();
        SCOPED_TRACE(c.reply);
        poster_.state_ = kIn;
        poster_.posted_ = 777;
        SendText(server_, c.reply);
        {
            FtpCommand command(&poster_);
            command.Size();
        }
        EXPECT_EQ("SIZE up.bin\r\n", Wire());
        EXPECT_EQ(c.posted, poster_.posted_);
        EXPECT_EQ(kIn, poster_.GetState());
    }
}

TEST_F(Commands, OptsUtf8SetsTheFlagFromTheReply) {
    const struct {
        const char* reply;
        bool before;
        bool after;
    } cases[] = {{"200 Always in UTF8 mode.\r\n", false, true}, {"501 No\r\n", true, false}};
    for (const auto& c : cases) {
        TearDown();
        SetUp();
        SCOPED_TRACE(c.reply);
        poster_.state_ = kIn;
        poster_.utf8_ = c.before;
        SendText(server_, c.reply);
        {
            FtpCommand command(&poster_);
            command.OptsUtf8();
        }
        EXPECT_EQ("OPTS UTF8 ON\r\n", Wire());
        EXPECT_EQ(c.after, poster_.utf8_);
    }
}

TEST_F(Commands, AReceiveThatTimesOutIsError20AndChangesNothingElse) {
    TimeoutScope shortWait(30000, 200);
    poster_.state_ = kIn;
    poster_.utf8_ = true;
    {
        FtpCommand command(&poster_);
        command.OptsUtf8();
    }
    EXPECT_EQ("OPTS UTF8 ON\r\n", Wire());
    EXPECT_EQ(Poster::Failed, poster_.GetState());
    EXPECT_EQ(PageErrorCode::ReceiveFailed, poster_.GetErrorCode());
    EXPECT_TRUE(poster_.utf8_);
}

TEST_F(Commands, AClosedLineAnswersWithCodeZero) {
    poster_.state_ = Poster::Connected;
    shutdown(server_, SD_SEND);
    {
        FtpCommand command(&poster_);
        command.User();
    }
    EXPECT_EQ("USER bob\r\n", Wire());
    EXPECT_EQ(Poster::Failed, poster_.GetState());
    EXPECT_EQ(PageErrorCode::UserRejected, poster_.GetErrorCode());
}

TEST_F(Commands, ACommandThatCannotBeSentIsError7AndReadsNoReply) {
    // The server resets the connection; once the reset has arrived, no send can succeed.
    linger abort{1, 0};
    setsockopt(server_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
    closesocket(server_);
    server_ = INVALID_SOCKET;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(poster_.control_.GetSocket(), &readable);
    timeval wait{30, 0};
    ASSERT_EQ(1, ::select(0, &readable, nullptr, nullptr, &wait));
    poster_.state_ = kIn;
    std::string loginReply = "230 Logged in\r\n";
    poster_.response_.Parse(loginReply);
    {
        FtpCommand command(&poster_);
        command.Pwd();
    }
    EXPECT_EQ(Poster::Failed, poster_.GetState());
    EXPECT_EQ(PageErrorCode::SendFailed, poster_.GetErrorCode());
    EXPECT_EQ(230, poster_.response_.GetCode()) << "no reply was read";
}

TEST_F(Commands, FeatEndsWhenTheServerClosesMidList) {
    poster_.state_ = kIn;
    SendText(server_, "211-Features:\r\n SIZE\r\n");
    shutdown(server_, SD_SEND);
    {
        FtpCommand command(&poster_);
        command.Feat();
    }
    EXPECT_EQ("FEAT\r\n", Wire());
    EXPECT_EQ(Poster::Failed, poster_.GetState());
    EXPECT_EQ(PageErrorCode::SendFailed, poster_.GetErrorCode());
}

TEST_F(Commands, FeatKeepsThePassReplyAndLeavesTheNextReplyAlone) {
    poster_.state_ = kIn;
    std::string passReply = "230 Logged in\r\n";
    poster_.response_.Parse(passReply);
    // The list arrives in pieces, with the next reply in the same write as its end.
    std::thread server([this] {
        SendText(server_, "211-Features:\r\n MDTM\r\n");
        Sleep(50);
        SendText(server_, " SIZE\r\n211 E");
        Sleep(50);
        SendText(server_, "nd\r\n200 Noted\r\n");
    });
    {
        FtpCommand command(&poster_);
        command.Feat();
        EXPECT_EQ(kIn | Poster::FeatDone, poster_.GetState());
        EXPECT_EQ(230, poster_.response_.GetCode());
        command.Clnt();
    }
    server.join();
    EXPECT_EQ("FEAT\r\nCLNT 2.1.0.35379 \r\n", Wire());
    EXPECT_EQ(kIn | Poster::FeatDone | Poster::ClntAccepted, poster_.GetState());
}

TEST_F(Commands, AnOverlongReplyIsError20) {
    poster_.state_ = kIn;
    std::thread server(
        [this] { SendText(server_, "257-" + std::string(FtpReplyReader::kMaxReply + 100, 'x')); });
    {
        FtpCommand command(&poster_);
        command.Pwd();
    }
    server.join();
    EXPECT_EQ(Poster::Failed, poster_.GetState());
    EXPECT_EQ(PageErrorCode::ReceiveFailed, poster_.GetErrorCode());
}

TEST_F(Commands, NamesGoOutInUtf8OnceTheServerAgreed) {
    poster_.state_ = kIn;
    poster_.utf8_ = true;
    poster_.remoteFile_ = L"\x62a5\x544a.bin";  // 报告.bin
    SendText(server_, "150 Ok\r\n");
    {
        FtpCommand command(&poster_);
        command.Stor();
    }
    EXPECT_EQ("STOR \xE6\x8A\xA5\xE5\x91\x8A.bin\r\n", Wire());
}

// A system whose ANSI code page is UTF-8, and a server that never agreed to UTF-8 (it refused CLNT, as
// vsftpd, pure-ftpd and pyftpdlib do): names and folders go out in that code page, UTF-8, as they are.
TEST_F(Commands, NamesGoOutOnASystemWhoseAnsiCodePageIsUtf8) {
    const struct {
        const wchar_t* name;
        const char* bytes;
    } names[] = {
        {L"up.bin", "up.bin"},
        {L"caf\u00E9.bin", "caf\xC3\xA9.bin"},
        {L"\u6587\u4EF6.bin", "\xE6\x96\x87\xE4\xBB\xB6.bin"},  // 文件.bin
    };
    for (const auto& n : names) {
        for (bool folder : {false, true}) {
            TearDown();
            SetUp();
            SCOPED_TRACE(std::string(n.bytes) + (folder ? " as a folder" : " as a file"));
            testcommon::AnsiCodePageSeam utf8System(GetModuleHandleW(nullptr), CP_UTF8);
            ASSERT_TRUE(utf8System.Applied());
            poster_.state_ = kIn;
            poster_.utf8_ = false;
            (folder ? poster_.remoteFolder_ : poster_.remoteFile_) = n.name;
            SendText(server_, folder ? "257 created\r\n" : "150 Ok\r\n");
            {
                FtpCommand command(&poster_);
                if (folder)
                    command.Mkd();
                else
                    command.Stor();
            }
            EXPECT_EQ(std::string(folder ? "MKD " : "STOR ") + n.bytes + "\r\n", Wire());
            EXPECT_EQ(poster_.GetState() & Poster::Failed, 0u) << "error " << poster_.GetErrorCode();
        }
    }
}

// No page may smuggle a command of its own through a name.
TEST_F(Commands, ArgumentsWithLineBreaksOrNulAreNeverSent) {
    const wchar_t* hostile[] = {L"x\r\nDELE y", L"x\ny", L"x\ry"};
    struct Target {
        const char* name;
        CString PosterProbe::*field;
        unsigned stateBefore;
        std::function<void(FtpCommand&)> run;
    } targets[] = {
        {"user name", &PosterProbe::userName_, Poster::Connected, user},
        {"password", &PosterProbe::password_, Poster::Connected | Poster::UserAccepted, pass},
        {"folder component (MKD)", &PosterProbe::remoteFolder_, kIn, mkd},
        {"folder component (cwd)", &PosterProbe::remoteFolder_, kIn, cwd},
        {"file name (SIZE)", &PosterProbe::remoteFile_, kIn, [](FtpCommand& c) { c.Size(); }},
        {"file name (STOR)", &PosterProbe::remoteFile_, kIn, stor},
        {"file name (APPE)", &PosterProbe::remoteFile_, kIn, appe},
    };
    std::vector<CString> texts;
    for (const wchar_t* h : hostile) texts.push_back(h);
    texts.push_back(CString(L"x\0y", 3));
    for (const Target& t : targets) {
        for (const CString& text : texts) {
            TearDown();
            SetUp();
            SCOPED_TRACE(t.name);
            poster_.state_ = t.stateBefore;
            poster_.*(t.field) = text;
            {
                FtpCommand command(&poster_);
                t.run(command);
            }
            EXPECT_EQ("", Wire());
            EXPECT_EQ(Poster::Failed, poster_.GetState());
            EXPECT_EQ(PageErrorCode::SendFailed, poster_.GetErrorCode());
        }
    }
}

// What the log file holds after run, with CRs dropped (the file is written in text mode).
std::string LogOf(const std::function<void()>& run) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path =
        std::wstring(folder) + L"korvane-command-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    OpenLogFile(GetLogger(), true, path);
    run();
    GetLogger().removeAllAppenders();

    std::ifstream file(path.c_str(), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    file.close();
    DeleteFileW(path.c_str());
    std::string log;
    for (char c : content.str())
        if (c != '\r') log += c;
    return log;
}

TEST_F(Commands, TheLogShowsCommandsAndRepliesButNeverThePassword) {
    const std::string log = LogOf([this] {
        poster_.state_ = Poster::Connected;
        poster_.password_ = L"Secr3tWord";
        SendText(server_, "331 Password required\r\n230 Logged in\r\n200 Noted\r\n");
        {
            FtpCommand command(&poster_);
            command.User();
            command.Pass();
            command.Clnt();
        }
        Wire();
    });
    EXPECT_NE(std::string::npos, log.find("- USER bob [Network/Command/FtpCommand.cpp:22]\n")) << log;
    EXPECT_NE(std::string::npos, log.find("- PASS **** [Network/Command/FtpCommand.cpp:22]\n")) << log;
    EXPECT_NE(std::string::npos, log.find("- 331 Password required [Network/Command/FtpCommand.cpp:56]\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("- 200 Noted [Network/Command/FtpCommand.cpp:94]\n")) << log;
    EXPECT_EQ(std::string::npos, log.find("Secr3tWord")) << log;
}

TEST_F(Commands, ServerBytesInTheLogAreEscapedSoNoRecordCanBeForged) {
    // A reply that tries to clear the screen, to start a line of its own that looks like a record, and to
    // hide a tail behind a NUL.
    static const char kReply[] =
        "257-\"/\" \x1B[2J\rok\r\n12/10/26 12:00:00    - forged [x]\r\n257 end\0tail\x7F\r\n";
    const std::string reply(kReply, sizeof(kReply) - 1);
    const std::string log = LogOf([&] {
        poster_.state_ = Poster::LoggedIn;
        SendText(server_, reply);
        {
            FtpCommand command(&poster_);
            command.Pwd();
        }
        Wire();
    });
    EXPECT_EQ(std::string::npos, log.find("\n12/10/26 12:00:00    - forged")) << log;
    EXPECT_EQ(std::string::npos, log.find('\x1B')) << log;
    EXPECT_NE(
        std::string::npos,
        log.find("- 257-\"/\" \\x1B[2J\\rok\\r\\n12/10/26 12:00:00    - forged [x]\\r\\n257 end\\0tail\\x7F "
                 "[Network/Command/FtpCommand.cpp:56]\n"))
        << log;
    // The reply itself is still read up to its NUL.
    EXPECT_EQ(257, poster_.response_.GetCode());
}

}  // namespace
