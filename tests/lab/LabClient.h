// Client of the FTP lab controller (tests/lab/ftplab.py) for test executables
// that run under Wine: they cannot start Linux servers, so they ask the
// controller over loopback TCP.  Narrow strings throughout; texts are bytes.
//
//   ftplab::FtpLab lab;  // finds the controller through KORVANE_LAB_STATE
//   ftplab::Server srv = lab.StartReal("vsftpd", "labuser", "secret");
//   ftplab::Server fake = lab.StartScripted(
//       ftplab::ScriptBuilder().Reply("PASS", "530 Login incorrect.\r\n"));
//   std::vector<std::string> lines = lab.Commands(fake.id);
//
// Servers live as long as the FtpLab that started them (its connection to the
// controller), unless stopped earlier.  Every failure throws
// std::runtime_error carrying the controller's message.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace ftplab {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Server {
    int id = 0;
    std::string kind;  // "pyftpdlib", "vsftpd", "pureftpd" or "scripted"
    int port = 0;      // control port on 127.0.0.1
    std::string root;  // the user's root folder on the server, a Unix path
    int pid = 0;
    int pasvLow = 0;  // passive port range of a real server
    int pasvHigh = 0;
};

struct FileInfo {
    bool exists = false;
    long long size = 0;
    std::string md5;   // lower-case hex
    std::string data;  // only when asked for
};

// One upload that a scripted server received, complete or cut short.
struct Transfer {
    std::string verb;      // "STOR" or "APPE"
    std::string name;      // the argument as sent
    std::string path;      // the server-side path it resolved to, from the root
    long long offset = 0;  // where the bytes went: REST for STOR, the old size for APPE
    long long bytes = 0;
    std::string md5;
    bool aborted = false;  // the server closed the data connection early
    int connection = 0;    // control connection number, from 1
    std::string data;      // only when asked for
};

// The behaviour of a scripted server, as data.  A verb is an FTP verb in any
// case ("cwd" and "CWD" are one) or "GREETING".  Occurrence 0 means every
// one; N means the N-th of that verb in the instance (for GREETING: the N-th
// connection).  Transfer settings with an empty verb apply to STOR and APPE
// alike (each counts its own occurrences).
class ScriptBuilder {
public:
    ScriptBuilder& Reply(const std::string& verb, const std::string& text, int occurrence = 0);
    ScriptBuilder& Split(const std::string& verb, const std::vector<int>& cuts, int gapMs = 200,
                         int occurrence = 0);
    ScriptBuilder& Delay(const std::string& verb, int ms, int occurrence = 0);
    ScriptBuilder& Silent(const std::string& verb, int occurrence = 0);
    ScriptBuilder& Mute(const std::string& verb, int occurrence = 0);
    ScriptBuilder& Close(const std::string& verb, int occurrence = 0);
    ScriptBuilder& ReplyThenClose(const std::string& verb, const std::string& text, int occurrence = 0);
    ScriptBuilder& Effect(const std::string& verb, bool apply, int occurrence = 0);

    ScriptBuilder& Greeting(const std::string& text);
    ScriptBuilder& SplitGreeting(const std::vector<int>& cuts, int gapMs = 200);
    ScriptBuilder& DelayGreeting(int ms);
    ScriptBuilder& SilentGreeting();
    ScriptBuilder& MuteGreeting();
    ScriptBuilder& CloseOnConnect();
    ScriptBuilder& NeverAccept();
    ScriptBuilder& Credentials(const std::string& user, const std::string& password);

    ScriptBuilder& FinalReply(const std::string& text, const std::string& verb = "", int occurrence = 0);
    ScriptBuilder& NoFinalReply(const std::string& verb = "", int occurrence = 0);
    ScriptBuilder& MuteAfterTransfer(const std::string& verb = "", int occurrence = 0);
    ScriptBuilder& CloseAfterTransfer(const std::string& verb = "", int occurrence = 0);
    ScriptBuilder& FinalDelay(int ms, const std::string& verb = "", int occurrence = 0);
    ScriptBuilder& SplitFinal(const std::vector<int>& cuts, int gapMs = 200, const std::string& verb = "",
                              int occurrence = 0);
    ScriptBuilder& CloseDataAfter(long long bytes, const std::string& verb = "", int occurrence = 0);
    ScriptBuilder& NeverAcceptData(int occurrence = 0);

    ScriptBuilder& IdleSeconds(int seconds);
    ScriptBuilder& Set(const std::string& key, const std::string& value);
    const Fields& Entries() const { return entries_; }

private:
    static std::string Key(const std::string& verb, int occurrence, const std::string& field);
    ScriptBuilder& ForTransfers(const std::string& verb, int occurrence, const std::string& field,
                                const std::string& value);
    Fields entries_;
};

class FtpLab {
public:
    FtpLab();                                       // the state file named by KORVANE_LAB_STATE
    explicit FtpLab(const std::string& stateFile);  // a Unix or a Windows path
    ~FtpLab();
    FtpLab(const FtpLab&) = delete;
    FtpLab& operator=(const FtpLab&) = delete;

    static bool Configured();  // KORVANE_LAB_STATE is set

    // kind: "pyftpdlib", "vsftpd" or "pureftpd". maxRate: for vsftpd and pyftpdlib, the most bytes per
    // second an upload may move (0: no limit).
    Server StartReal(const std::string& kind, const std::string& user, const std::string& password,
                     long long maxRate = 0);
    Server StartScripted(const ScriptBuilder& script = ScriptBuilder());
    void Stop(int id);

    // Command lines a scripted server received, without their CR LF; a last
    // piece without CR LF comes as it is.  connection 0: all, in order.
    // Waits up to waitClosedMs for the connections to end first, so a QUIT
    // sent just before the client closed is included.
    std::vector<std::string> Commands(int id, int connection = 0, int waitClosedMs = 3000);
    std::string ControlBytes(int id, int connection = 0, int waitClosedMs = 3000);
    int Connections(int id);
    // Waits up to waitMs for at least waitForCount transfers to complete.
    std::vector<Transfer> Transfers(int id, int waitForCount = 0, int waitMs = 5000, bool withData = false);

    FileInfo RemoteFile(int id, const std::string& relativePath, bool withData = false);
    FileInfo LocalFile(const std::string& unixPath, bool withData = false);
    // Files put on a server belong to the server's user, so it can append.
    void PutFile(int id, const std::string& relativePath, const std::string& bytes);
    void PutFileFrom(int id, const std::string& relativePath, const std::string& unixPath,
                     long long length = -1);
    void MakeFolder(int id, const std::string& relativePath);
    int DeadPort();  // a port on 127.0.0.1 where nothing listens

    std::map<std::string, std::string> Request(const std::string& op, const Fields& fields = Fields());

    static std::string WindowsPath(const std::string& unixPath);  // "/tmp/x" -> "Z:\\tmp\\x"
    static std::string Escape(const std::string& bytes);
    static std::string Unescape(const std::string& text);

private:
    void Connect(const std::string& stateFile);
    std::string ReadLine();
    static Server ToServer(const std::map<std::string, std::string>& reply);
    static FileInfo ToFileInfo(const std::map<std::string, std::string>& reply);

    std::uintptr_t socket_;  // a SOCKET; kept out of this header so it needs no <winsock2.h>
    bool started_ = false;
    std::string pending_;
};

}  // namespace ftplab
