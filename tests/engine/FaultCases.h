// Server faults as data, played by both scripted servers: the in-process peer (WorkerFlowTest.cpp) and the
// lab's scripted server (LabFaultTest.cpp). Each row is what the server does at each step, the command lines
// the client must send (in order, without their CR LF) and how the job ends.
//
// The server of these rows logs in user kUser with kPassword and answers CLNT with 200, so OPTS UTF8 ON
// follows it; every other reply is the server's own unless a step says otherwise.
#pragma once

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "Network/Command/FtpReplyReader.h"
#include "engine/FtpFilePoster.h"

namespace faultcases {

using Lines = std::vector<std::string>;

const char kUser[] = "bob";
const char kPassword[] = "pw";
const wchar_t kFile[] = L"up.bin";
const size_t kFileSize = 200000;  // a little over three blocks

inline Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The login when the server accepts CLNT, and when it refuses it.
const Lines kLogin = {"USER bob", "PASS pw", "FEAT", "CLNT 2.1.0.35379 ", "OPTS UTF8 ON", "PWD"};
const Lines kLoginWithoutUtf8 = {"USER bob", "PASS pw", "FEAT", "CLNT 2.1.0.35379 ", "PWD"};
const Lines kFolderIn = {"MKD in", "cwd in"};
const Lines kStore = {"type I", "SIZE up.bin", "PASV", "REST 0", "STOR up.bin", "QUIT"};
const Lines kAppend = {"type I", "SIZE up.bin", "PASV", "APPE up.bin", "QUIT"};
const Lines kUpToPasv = {"type I", "SIZE up.bin", "PASV", "QUIT"};
const Lines kQuit = {"QUIT"};

// Steps that are not a command's reply.
const char kGreeting[] = "GREETING";
const char kFinal[] = "FINAL";  // the reply after the data transfer (to STOR and APPE alike)
const char kData[] = "DATA";    // the data connection; only Silent: the server never reads it

// What the server does at one step.
struct Step {
    enum Act { Say, Silent, Hangup };
    std::string verb;  // an FTP verb in upper case, kGreeting, kFinal or kData
    Act act = Say;
    // Say: the reply, empty for the server's own; Hangup: what goes out before the line goes down.
    std::string text;
    std::vector<int> cuts;  // the reply goes out in pieces, cut at these byte offsets
    int gap = 0;            // milliseconds between the pieces
    int delay = 0;          // milliseconds before the reply
};

inline Step Say(const std::string& verb, const std::string& text) { return Step{verb, Step::Say, text}; }
inline Step InPieces(const std::string& verb, const std::string& text, std::vector<int> cuts, int gap) {
    return Step{verb, Step::Say, text, std::move(cuts), gap};
}
inline Step Late(const std::string& verb, int delay, const std::string& text = "") {
    return Step{verb, Step::Say, text, {}, 0, delay};
}
inline Step Silence(const std::string& verb) { return Step{verb, Step::Silent}; }
inline Step Hangup(const std::string& verb, const std::string& partial = "") {
    return Step{verb, Step::Hangup, partial};
}

const int kComplete = 0;
// What the server got of the file, when not the file from an offset on.
const int64_t kNothing = -1;  // no byte
const int64_t kSome = -2;     // some part, not compared

struct Case {
    const char* name;
    std::vector<Step> server;
    const wchar_t* folder;
    Lines commands;
    int outcome;        // kComplete or the error code
    int64_t received;   // the server got the file from this offset on, or kNothing or kSome
    int ioTimeout = 0;  // a shortened I/O time-out for this row, 0 for the default
    size_t fileSize = kFileSize;
};

using Poster = FtpFilePoster;
// The I/O time-out of the rows where the server falls silent: short enough that the rows do not wait the
// default minute, and long enough that every reply before the silence comes within it on a loaded machine,
// where the row would otherwise end a step early with the same error.
const int kSilenceTimeout = 5000;
const std::string kEndless(FtpReplyReader::kMaxReply, 'x');

// clang-format off
inline const std::vector<Case> kCases = {
    // Main paths.
    {"a new file into a nested folder", {}, L"/in//deep/",
     Join({kLogin, {"MKD in", "cwd in", "MKD deep", "cwd deep"}, kStore}), kComplete, 0},
    {"no folder", {}, L"", Join({kLogin, kStore}), kComplete, 0},
    {"USER answered 230: no PASS", {Say("USER", "230 Welcome.\r\n")}, L"",
     Join({{"USER bob", "FEAT", "CLNT 2.1.0.35379 ", "OPTS UTF8 ON", "PWD"}, kStore}), kComplete, 0},
    {"resume: only the rest is sent", {Say("SIZE", "213 70001\r\n")}, L"", Join({kLogin, kAppend}),
     kComplete, 70001},
    {"the server holds the whole file", {Say("SIZE", "213 200000\r\n")}, L"", Join({kLogin, kAppend}),
     kComplete, 200000},
    {"the server holds a larger file: anew", {Say("SIZE", "213 200001\r\n")}, L"", Join({kLogin, kStore}),
     kComplete, 0},
    {"SIZE below 0 counts as 0", {Say("SIZE", "213 -40\r\n")}, L"", Join({kLogin, kStore}), kComplete, 0},
    {"the transfer opened with 125", {Say("STOR", "125 Data connection already open.\r\n")}, L"",
     Join({kLogin, kStore}), kComplete, 0},

    // Replies in pieces and on many lines.
    {"greeting and replies cut into pieces",
     {InPieces(kGreeting, "220-Welcome to the lab\r\n220-Second line\r\n220 Ready.\r\n", {11, 43}, 40),
      InPieces("PASS", "230-Welcome back\r\n230 Login successful.\r\n", {18}, 40),
      InPieces("FEAT", "211-Features:\r\n SIZE\r\n UTF8\r\n211 End\r\n", {22, 34}, 40),
      InPieces("SIZE", "213 70001\r\n", {5}, 40),
      InPieces("PASV", "", {10, 30}, 60)},
     L"", Join({kLogin, kAppend}), kComplete, 70001},
    {"multi-line replies",
     {Say(kGreeting, "220-Korvane lab\r\n220-second line\r\n220 Ready.\r\n"),
      Say("PASS", "230-Welcome back.\r\n230-No mail.\r\n230 Login successful.\r\n"),
      Say("PWD", "257-\"/\" is where you are\r\n257 \"/\"\r\n")},
     L"in", Join({kLogin, kFolderIn, kStore}), kComplete, 0},
    {"a multi-line final reply in pieces",
     {InPieces(kFinal, "226-File successfully transferred\r\n226 0.003 seconds\r\n", {6, 40}, 60)},
     L"in", Join({kLogin, kFolderIn, kStore}), kComplete, 0},

    // Refusals the job goes past.
    {"FEAT refused", {Say("FEAT", "500 Unknown command.\r\n")}, L"", Join({kLogin, kStore}), kComplete, 0},
    {"CLNT refused: no OPTS UTF8 ON", {Say("CLNT", "500 Unknown command.\r\n")}, L"",
     Join({kLoginWithoutUtf8, kStore}), kComplete, 0},
    {"OPTS refused", {Say("OPTS", "501 No.\r\n")}, L"", Join({kLogin, kStore}), kComplete, 0},
    {"PWD refused", {Say("PWD", "550 No.\r\n")}, L"", Join({kLogin, kStore}), kComplete, 0},
    {"type I refused", {Say("TYPE", "504 No.\r\n")}, L"", Join({kLogin, kStore}), kComplete, 0},
    {"REST refused", {Say("REST", "502 No.\r\n")}, L"", Join({kLogin, kStore}), kComplete, 0},
    {"FEAT, CLNT, type I and REST refused together",
     {Say("FEAT", "500 No.\r\n"), Say("CLNT", "500 No.\r\n"), Say("TYPE", "504 No.\r\n"),
      Say("REST", "502 No.\r\n")},
     L"in", Join({kLoginWithoutUtf8, kFolderIn, kStore}), kComplete, 0},

    // After the first error only QUIT goes out, and that error is the one reported.
    {"user name refused", {Say("USER", "530 Not this user.\r\n")}, L"in", {"USER bob", "QUIT"},
     PageErrorCode::UserRejected, kNothing},
    {"password refused",
     {Say("PASS", "530 Login incorrect.\r\n"), Say("STOR", "530 Please login with USER and PASS.\r\n")},
     L"in", {"USER bob", "PASS pw", "QUIT"}, PageErrorCode::PassRejected, kNothing},
    {"a folder that cannot be entered", {Say("CWD", "550 Failed to change directory.\r\n")}, L"in/deep",
     Join({kLogin, {"MKD in", "cwd in", "QUIT"}}), PageErrorCode::TransferFailed, kNothing},
    {"PASV refused", {Say("PASV", "500 No.\r\n")}, L"in", Join({kLogin, kFolderIn, kUpToPasv}),
     PageErrorCode::PassiveFailed, kNothing},
    {"227 without a port", {Say("PASV", "227 Entering Passive Mode (127,0,0,1).\r\n")}, L"",
     Join({kLogin, kUpToPasv}), PageErrorCode::PassiveFailed, kNothing},
    {"STOR refused", {Say("STOR", "553 Could not create file.\r\n")}, L"in",
     Join({kLogin, kFolderIn, kStore}), PageErrorCode::TransferFailed, kNothing},
    {"APPE refused", {Say("SIZE", "213 100\r\n"), Say("APPE", "550 No.\r\n")}, L"", Join({kLogin, kAppend}),
     PageErrorCode::TransferFailed, kNothing},
    {"APPE answered 350", {Say("SIZE", "213 100\r\n"), Say("APPE", "350 Pending.\r\n")}, L"",
     Join({kLogin, kAppend}), PageErrorCode::TransferFailed, kNothing},
    {"final reply 451", {Say(kFinal, "451 Failure writing to local file.\r\n")}, L"in",
     Join({kLogin, kFolderIn, kStore}), PageErrorCode::TransferFailed, 0},
    {"final reply 552", {Say(kFinal, "552 Quota exceeded.\r\n")}, L"", Join({kLogin, kStore}),
     PageErrorCode::TransferFailed, 0},
    {"FEAT list cut off by a hang-up", {Hangup("FEAT", "211-Features:\r\n SIZE\r\n")}, L"",
     {"USER bob", "PASS pw", "FEAT", "QUIT"}, PageErrorCode::SendFailed, kNothing},
    {"FEAT list without end", {Say("FEAT", "211-Features:\r\n" + kEndless + "\r\n")}, L"",
     {"USER bob", "PASS pw", "FEAT", "QUIT"}, PageErrorCode::SendFailed, kNothing},
    {"a PWD reply without end", {Say("PWD", "257-" + kEndless + "xxxxxxxxxx")}, L"", Join({kLogin, kQuit}),
     PageErrorCode::ReceiveFailed, kNothing},

    // Replies that come late.
    {"PASS answered after 1.5 s", {Late("PASS", 1500)}, L"in", Join({kLogin, kFolderIn, kStore}),
     kComplete, 0},
    {"CLNT answered after 1.6 s: OPTS UTF8 ON still follows it", {Late("CLNT", 1600, "200 Noted.\r\n")},
     L"", Join({kLogin, kStore}), kComplete, 0},
    {"PWD answered after 1.5 s", {Late("PWD", 1500)}, L"", Join({kLogin, kStore}), kComplete, 0},
    {"SIZE answered after 1.6 s: the resume still follows it", {Late("SIZE", 1600, "213 70001\r\n")}, L"",
     Join({kLogin, kAppend}), kComplete, 70001},
    {"the final reply after 1.5 s", {Late(kFinal, 1500)}, L"in", Join({kLogin, kFolderIn, kStore}),
     kComplete, 0},

    // Silence.
    {"no greeting", {Silence(kGreeting)}, L"", kQuit, PageErrorCode::ReceiveFailed, kNothing, kSilenceTimeout},
    {"silence after PASS", {Silence("PASS")}, L"", {"USER bob", "PASS pw", "QUIT"}, PageErrorCode::ReceiveFailed,
     kNothing, kSilenceTimeout},
    {"silence after PWD", {Silence("PWD")}, L"in", Join({kLogin, kQuit}), PageErrorCode::ReceiveFailed, kNothing,
     kSilenceTimeout},
    {"silence after STOR", {Silence("STOR")}, L"", Join({kLogin, kStore}), PageErrorCode::ReceiveFailed, kNothing,
     kSilenceTimeout},
    {"no final reply: silence", {Silence(kFinal)}, L"", Join({kLogin, kStore}), PageErrorCode::TransferFailed, 0,
     kSilenceTimeout},
    {"a data connection the server never reads", {Silence(kData)}, L"", Join({kLogin, kStore}),
     PageErrorCode::TransferFailed, kSome, kSilenceTimeout, 48u << 20},

    // The line goes down; the client's QUIT still reaches the server's half of it.
    {"the line goes down after USER", {Hangup("USER")}, L"", {"USER bob", "QUIT"}, PageErrorCode::UserRejected,
     kNothing},
    {"the line goes down after PASV", {Hangup("PASV")}, L"in", Join({kLogin, kFolderIn, kUpToPasv}),
     PageErrorCode::PassiveFailed, kNothing},
    {"no final reply: the line goes down", {Hangup(kFinal)}, L"in", Join({kLogin, kFolderIn, kStore}),
     PageErrorCode::TransferFailed, 0},
};
// clang-format on

// Test output names a row by its name.
inline void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// The row's name as a test name: letters and digits, the rest as single underscores.
inline std::string TestName(const Case& c) {
    std::string name;
    for (const char* p = c.name; *p; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p)))
            name += *p;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    return name;
}

}  // namespace faultcases
