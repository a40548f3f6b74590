// A scripted FTP server on 127.0.0.1 that runs on a thread of the test: it answers each command by its verb
// from a table the test fills, records every line and every data byte it received, and can misbehave on
// purpose (replies in pieces, pauses, silence, a closed line, a data connection it never reads). PlayCase
// sets it up for a row of the shared fault cases (FaultCases.h).
#pragma once

#include <winsock2.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EngineTestSupport.h"
#include "FaultCases.h"

namespace enginetest {

struct PeerReply {
    enum Act { Answer, Silent, Close };
    // Written one by one. PASV without pieces: its own 227 reply.
    std::vector<std::string> pieces;
    int pauseMilliseconds = 0;  // before each piece
    // Close: after the pieces, the peer's half of the line goes down; it still records what comes.
    Act act = Answer;
    std::vector<int> cuts;      // when given, the pieces joined go out cut at these byte offsets instead
    int delayMilliseconds = 0;  // before the first piece
};

inline PeerReply Say(const std::string& text) { return PeerReply{{text}, 0, PeerReply::Answer}; }
inline PeerReply InPieces(std::vector<std::string> pieces, int pauseMilliseconds) {
    return PeerReply{std::move(pieces), pauseMilliseconds, PeerReply::Answer};
}
inline PeerReply Late(const std::string& text, int pauseMilliseconds) {
    return PeerReply{{text}, pauseMilliseconds, PeerReply::Answer};
}
inline PeerReply Silence() { return PeerReply{{}, 0, PeerReply::Silent}; }
inline PeerReply Hangup(const std::string& partial = "") {
    return PeerReply{partial.empty() ? std::vector<std::string>{} : std::vector<std::string>{partial}, 0,
                     PeerReply::Close};
}

struct PeerScript {
    // ReadSomeThenReset: reads resetAfter bytes, waits until more has come, then closes with a reset (the
    // way a server that stops early drops what it did not read), and gives its final reply all the same.
    // ReadSlowly: reads readRate bytes a second, a twentieth of it at a time, from a small receive buffer
    // (a server behind a slow link).
    enum DataMode { ReadAll, NeverRead, ReadSomeThenReset, ReadSlowly };

    PeerReply greeting = Say("220 Scripted server ready.\r\n");
    // By verb in upper case; a verb without an entry gets "502 Not implemented.". PASV without an entry
    // opens a data port and names it in a 227 reply.
    std::map<std::string, PeerReply> replies = {
        {"USER", Say("331 Please specify the password.\r\n")},
        {"PASS", Say("230 Login successful.\r\n")},
        {"FEAT", Say("211-Features:\r\n SIZE\r\n UTF8\r\n REST STREAM\r\n211 End\r\n")},
        {"CLNT", Say("500 Unknown command.\r\n")},
        {"OPTS", Say("200 Always in UTF8 mode.\r\n")},
        {"PWD", Say("257 \"/\" is the current directory\r\n")},
        {"MKD", Say("257 \"dir\" created\r\n")},
        {"CWD", Say("250 Directory successfully changed.\r\n")},
        {"TYPE", Say("200 Switching to Binary mode.\r\n")},
        {"SIZE", Say("550 Could not get file size.\r\n")},
        {"REST", Say("350 Restart position accepted (0).\r\n")},
        {"STOR", Say("150 Ok to send data.\r\n")},
        {"APPE", Say("150 Ok to send data.\r\n")},
        {"QUIT", Say("221 Goodbye.\r\n")},
    };
    // After the data connection closed.
    PeerReply finalReply = Say("226 Transfer complete.\r\n");
    DataMode data = ReadAll;
    size_t resetAfter = 1000;
    size_t readRate = 256 * 1024;
    int window = 32 * 1024;  // ReadSlowly's receive buffer
};

// The script that plays one row of the shared fault cases: the peer's own replies, CLNT accepted, then the
// row's steps.
PeerScript ScriptFor(const faultcases::Case& c);

class ScriptedPeer {
public:
    explicit ScriptedPeer(PeerScript script);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    unsigned short Port() const { return control_.Port(); }
    // Waits for the session to end (the client's QUIT or close, or a minute of silence).
    void Join();
    std::vector<std::string> Wire();
    std::string Data();
    // The client's control connection has been accepted.
    bool Accepted();
    bool DataConnected();
    // The client closed the data connection it opened (checked once the session is over).
    bool DataClosed();
    // ReadSomeThenReset: the reset has gone out.
    bool DataReset();

private:
    void Run();
    bool ReadLine(SOCKET s, std::string& pending, std::string& line);
    void Answer(SOCKET s, const PeerReply& reply, bool& open);
    void Receive(SOCKET data);
    void ReceiveSomeThenReset(SOCKET data);
    void ReceiveSlowly(SOCKET data);

    PeerScript script_;
    LoopbackListener control_;
    std::unique_ptr<LoopbackListener> passive_;
    std::mutex mutex_;
    std::vector<std::string> wire_;
    std::string data_;
    bool accepted_ = false;
    bool dataConnected_ = false;
    bool dataClosed_ = false;
    bool dataReset_ = false;
    std::thread thread_;
};

}  // namespace enginetest
