#include "LabClient.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace ftplab {

namespace {

const char kStateVariable[] = "KORVANE_LAB_STATE";
const int kReplyTimeoutMs = 120000;  // starting a real server takes well under a second

std::string Describe(const std::string& what) {
    return "ftplab: " + what + " (Winsock error " + std::to_string(WSAGetLastError()) + ")";
}

long long ToNumber(const std::map<std::string, std::string>& reply, const std::string& key) {
    auto found = reply.find(key);
    if (found == reply.end()) {
        return 0;
    }
    char* end = nullptr;
    long long value = std::strtoll(found->second.c_str(), &end, 10);
    if (end == found->second.c_str() || *end != '\0') {
        throw std::runtime_error("ftplab: reply field " + key + " is not a number: " + found->second);
    }
    return value;
}

std::string Text(const std::map<std::string, std::string>& reply, const std::string& key) {
    auto found = reply.find(key);
    return found == reply.end() ? std::string() : found->second;
}

std::string Cuts(const std::vector<int>& cuts) {
    std::string text;
    for (int cut : cuts) {
        if (!text.empty()) {
            text += ',';
        }
        text += std::to_string(cut);
    }
    return text;
}

}  // namespace

// ------------------------------------------------------------ ScriptBuilder

std::string ScriptBuilder::Key(const std::string& verb, int occurrence, const std::string& field) {
    std::string key = verb;
    if (occurrence > 0) {
        key += '#' + std::to_string(occurrence);
    }
    return key + '.' + field;
}

ScriptBuilder& ScriptBuilder::Set(const std::string& key, const std::string& value) {
    entries_.emplace_back(key, value);
    return *this;
}

ScriptBuilder& ScriptBuilder::Reply(const std::string& verb, const std::string& text, int occurrence) {
    return Set(Key(verb, occurrence, "reply"), text);
}

ScriptBuilder& ScriptBuilder::Split(const std::string& verb, const std::vector<int>& cuts, int gapMs,
                                    int occurrence) {
    Set(Key(verb, occurrence, "split"), Cuts(cuts));
    return Set(Key(verb, occurrence, "gap"), std::to_string(gapMs));
}

ScriptBuilder& ScriptBuilder::Delay(const std::string& verb, int ms, int occurrence) {
    return Set(Key(verb, occurrence, "delay"), std::to_string(ms));
}

ScriptBuilder& ScriptBuilder::Silent(const std::string& verb, int occurrence) {
    return Set(Key(verb, occurrence, "action"), "silent");
}

ScriptBuilder& ScriptBuilder::Mute(const std::string& verb, int occurrence) {
    return Set(Key(verb, occurrence, "action"), "mute");
}

ScriptBuilder& ScriptBuilder::Close(const std::string& verb, int occurrence) {
    return Set(Key(verb, occurrence, "action"), "close");
}

ScriptBuilder& ScriptBuilder::ReplyThenClose(const std::string& verb, const std::string& text,
                                             int occurrence) {
    Reply(verb, text, occurrence);
    return Set(Key(verb, occurrence, "action"), "reply-close");
}

ScriptBuilder& ScriptBuilder::Effect(const std::string& verb, bool apply, int occurrence) {
    return Set(Key(verb, occurrence, "effect"), apply ? "yes" : "no");
}

ScriptBuilder& ScriptBuilder::Greeting(const std::string& text) { return Reply("GREETING", text); }

ScriptBuilder& ScriptBuilder::SplitGreeting(const std::vector<int>& cuts, int gapMs) {
    return Split("GREETING", cuts, gapMs);
}

ScriptBuilder& ScriptBuilder::DelayGreeting(int ms) { return Delay("GREETING", ms); }

ScriptBuilder& ScriptBuilder::SilentGreeting() { return Silent("GREETING"); }

ScriptBuilder& ScriptBuilder::MuteGreeting() { return Mute("GREETING"); }

ScriptBuilder& ScriptBuilder::CloseOnConnect() { return Close("GREETING"); }

ScriptBuilder& ScriptBuilder::NeverAccept() { return Set("accept", "no"); }

ScriptBuilder& ScriptBuilder::Credentials(const std::string& user, const std::string& password) {
    Set("user", user);
    return Set("pass", password);
}

ScriptBuilder& ScriptBuilder::ForTransfers(const std::string& verb, int occurrence, const std::string& field,
                                           const std::string& value) {
    if (!verb.empty()) {
        return Set(Key(verb, occurrence, field), value);
    }
    Set(Key("STOR", occurrence, field), value);
    return Set(Key("APPE", occurrence, field), value);
}

ScriptBuilder& ScriptBuilder::FinalReply(const std::string& text, const std::string& verb, int occurrence) {
    return ForTransfers(verb, occurrence, "final", text);
}

ScriptBuilder& ScriptBuilder::NoFinalReply(const std::string& verb, int occurrence) {
    return ForTransfers(verb, occurrence, "final.action", "none");
}

ScriptBuilder& ScriptBuilder::MuteAfterTransfer(const std::string& verb, int occurrence) {
    return ForTransfers(verb, occurrence, "final.action", "mute");
}

ScriptBuilder& ScriptBuilder::CloseAfterTransfer(const std::string& verb, int occurrence) {
    return ForTransfers(verb, occurrence, "final.action", "close");
}

ScriptBuilder& ScriptBuilder::FinalDelay(int ms, const std::string& verb, int occurrence) {
    return ForTransfers(verb, occurrence, "final.delay", std::to_string(ms));
}

ScriptBuilder& ScriptBuilder::SplitFinal(const std::vector<int>& cuts, int gapMs, const std::string& verb,
                                         int occurrence) {
    ForTransfers(verb, occurrence, "final.split", Cuts(cuts));
    return ForTransfers(verb, occurrence, "final.gap", std::to_string(gapMs));
}

ScriptBuilder& ScriptBuilder::CloseDataAfter(long long bytes, const std::string& verb, int occurrence) {
    return ForTransfers(verb, occurrence, "close_after", std::to_string(bytes));
}

ScriptBuilder& ScriptBuilder::NeverAcceptData(int occurrence) {
    return Set(Key("PASV", occurrence, "accept"), "no");
}

ScriptBuilder& ScriptBuilder::IdleSeconds(int seconds) { return Set("idle", std::to_string(seconds)); }

// ------------------------------------------------------------------- FtpLab

bool FtpLab::Configured() {
    const char* value = std::getenv(kStateVariable);
    return value != nullptr && *value != '\0';
}

FtpLab::FtpLab() : socket_(static_cast<std::uintptr_t>(INVALID_SOCKET)) {
    if (!Configured()) {
        throw std::runtime_error(std::string("ftplab: ") + kStateVariable +
                                 " is not set; the test needs FIXTURES_REQUIRED ftplab and "
                                 "ENVIRONMENT KORVANE_LAB_STATE=<state file>");
    }
    Connect(std::getenv(kStateVariable));
}

FtpLab::FtpLab(const std::string& stateFile) : socket_(static_cast<std::uintptr_t>(INVALID_SOCKET)) {
    Connect(stateFile);
}

FtpLab::~FtpLab() {
    // Closing the connection makes the controller stop this lab's servers.
    if (static_cast<SOCKET>(socket_) != INVALID_SOCKET) {
        closesocket(static_cast<SOCKET>(socket_));
    }
    if (started_) {
        WSACleanup();
    }
}

void FtpLab::Connect(const std::string& stateFile) {
    std::string path = !stateFile.empty() && stateFile[0] == '/' ? WindowsPath(stateFile) : stateFile;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        throw std::runtime_error("ftplab: cannot open the state file " + path +
                                 " (is the lab.start fixture running?)");
    }
    char buffer[256] = {};
    size_t length = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    // The state file is one line: "port=NNNN pid=NNNN".
    std::string state(buffer, length);
    size_t at = state.find("port=");
    int port = at == std::string::npos ? 0 : std::atoi(state.c_str() + at + 5);
    if (port <= 0 || port > 65535) {
        throw std::runtime_error("ftplab: no port in the state file " + path + ": " + state);
    }

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw std::runtime_error("ftplab: WSAStartup failed");
    }
    started_ = true;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        throw std::runtime_error(Describe("socket failed"));
    }
    socket_ = static_cast<std::uintptr_t>(s);
    DWORD timeout = kReplyTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
        throw std::runtime_error(
            Describe("cannot connect to the controller on port " + std::to_string(port)));
    }
}

std::string FtpLab::Escape(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c >= 0x21 && c <= 0x7e && c != '%') {
            text += static_cast<char>(c);
        } else {
            text += '%';
            text += digits[c >> 4];
            text += digits[c & 15];
        }
    }
    return text;
}

std::string FtpLab::Unescape(const std::string& text) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            bytes += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

std::string FtpLab::WindowsPath(const std::string& unixPath) {
    std::string path = unixPath;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    // Wine maps the Unix root to drive Z:.
    return !unixPath.empty() && unixPath[0] == '/' ? "Z:" + path : path;
}

std::string FtpLab::ReadLine() {
    SOCKET s = static_cast<SOCKET>(socket_);
    for (;;) {
        size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        char buffer[65536];
        int got = ::recv(s, buffer, sizeof buffer, 0);
        if (got == 0) {
            throw std::runtime_error("ftplab: the controller closed the connection");
        }
        if (got == SOCKET_ERROR) {
            throw std::runtime_error(Describe("no reply from the controller"));
        }
        pending_.append(buffer, static_cast<size_t>(got));
    }
}

std::map<std::string, std::string> FtpLab::Request(const std::string& op, const Fields& fields) {
    std::string line = op;
    for (const auto& field : fields) {
        line += ' ' + Escape(field.first) + '=' + Escape(field.second);
    }
    line += '\n';
    SOCKET s = static_cast<SOCKET>(socket_);
    for (size_t sent = 0; sent < line.size();) {
        int n = ::send(s, line.data() + sent, static_cast<int>(line.size() - sent), 0);
        if (n == SOCKET_ERROR) {
            throw std::runtime_error(Describe("cannot send to the controller"));
        }
        sent += static_cast<size_t>(n);
    }
    std::string reply = ReadLine();
    std::map<std::string, std::string> result;
    size_t space = reply.find(' ');
    std::string word = reply.substr(0, space);
    while (space != std::string::npos) {
        size_t next = reply.find(' ', space + 1);
        std::string token =
            reply.substr(space + 1, next == std::string::npos ? std::string::npos : next - space - 1);
        size_t equals = token.find('=');
        if (equals != std::string::npos) {
            result[token.substr(0, equals)] = Unescape(token.substr(equals + 1));
        }
        space = next;
    }
    if (word != "ok") {
        std::string message = result.count("message") ? result["message"] : reply;
        throw std::runtime_error("ftplab " + op + ": " + message);
    }
    return result;
}

Server FtpLab::ToServer(const std::map<std::string, std::string>& reply) {
    Server server;
    server.id = static_cast<int>(ToNumber(reply, "id"));
    server.kind = Text(reply, "kind");
    server.port = static_cast<int>(ToNumber(reply, "port"));
    server.root = Text(reply, "root");
    server.pid = static_cast<int>(ToNumber(reply, "pid"));
    server.pasvLow = static_cast<int>(ToNumber(reply, "pasv_low"));
    server.pasvHigh = static_cast<int>(ToNumber(reply, "pasv_high"));
    return server;
}

FileInfo FtpLab::ToFileInfo(const std::map<std::string, std::string>& reply) {
    FileInfo info;
    info.exists = Text(reply, "exists") == "1";
    info.size = ToNumber(reply, "size");
    info.md5 = Text(reply, "md5");
    info.data = Text(reply, "data");
    return info;
}

Server FtpLab::StartReal(const std::string& kind, const std::string& user, const std::string& password,
                         long long maxRate) {
    if (maxRate > 0)
        return ToServer(
            Request("start",
                    {{"kind", kind}, {"user", user}, {"pass", password}, {"rate", std::to_string(maxRate)}}));
    return ToServer(Request("start", {{"kind", kind}, {"user", user}, {"pass", password}}));
}

Server FtpLab::StartScripted(const ScriptBuilder& script) {
    return ToServer(Request("script", script.Entries()));
}

void FtpLab::Stop(int id) { Request("stop", {{"id", std::to_string(id)}}); }

std::string FtpLab::ControlBytes(int id, int connection, int waitClosedMs) {
    return Text(Request("commands", {{"id", std::to_string(id)},
                                     {"conn", std::to_string(connection)},
                                     {"wait", std::to_string(waitClosedMs)}}),
                "raw");
}

std::vector<std::string> FtpLab::Commands(int id, int connection, int waitClosedMs) {
    std::string raw = ControlBytes(id, connection, waitClosedMs);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = raw.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(raw.substr(start, end - start));
    }
    if (start < raw.size()) {
        lines.push_back(raw.substr(start));
    }
    return lines;
}

int FtpLab::Connections(int id) {
    return static_cast<int>(ToNumber(Request("commands", {{"id", std::to_string(id)}}), "connections"));
}

std::vector<Transfer> FtpLab::Transfers(int id, int waitForCount, int waitMs, bool withData) {
    auto reply = Request("transfers", {{"id", std::to_string(id)},
                                       {"count", std::to_string(waitForCount)},
                                       {"wait", std::to_string(waitMs)},
                                       {"data", withData ? "1" : "0"}});
    std::vector<Transfer> transfers;
    long long count = ToNumber(reply, "count");
    for (long long n = 0; n < count; ++n) {
        std::string prefix = "t" + std::to_string(n) + ".";
        Transfer t;
        t.verb = Text(reply, prefix + "verb");
        t.name = Text(reply, prefix + "name");
        t.path = Text(reply, prefix + "path");
        t.offset = ToNumber(reply, prefix + "offset");
        t.bytes = ToNumber(reply, prefix + "bytes");
        t.md5 = Text(reply, prefix + "md5");
        t.aborted = Text(reply, prefix + "aborted") == "1";
        t.connection = static_cast<int>(ToNumber(reply, prefix + "conn"));
        t.data = Text(reply, prefix + "data");
        transfers.push_back(t);
    }
    return transfers;
}

FileInfo FtpLab::RemoteFile(int id, const std::string& relativePath, bool withData) {
    return ToFileInfo(Request(
        "file", {{"id", std::to_string(id)}, {"path", relativePath}, {"data", withData ? "1" : "0"}}));
}

FileInfo FtpLab::LocalFile(const std::string& unixPath, bool withData) {
    return ToFileInfo(Request("stat", {{"path", unixPath}, {"data", withData ? "1" : "0"}}));
}

void FtpLab::PutFile(int id, const std::string& relativePath, const std::string& bytes) {
    Request("put", {{"id", std::to_string(id)}, {"path", relativePath}, {"data", bytes}});
}

void FtpLab::PutFileFrom(int id, const std::string& relativePath, const std::string& unixPath,
                         long long length) {
    Fields fields = {{"id", std::to_string(id)}, {"path", relativePath}, {"from", unixPath}};
    if (length >= 0) {
        fields.emplace_back("length", std::to_string(length));
    }
    Request("put", fields);
}

void FtpLab::MakeFolder(int id, const std::string& relativePath) {
    Request("mkdir", {{"id", std::to_string(id)}, {"path", relativePath}});
}

int FtpLab::DeadPort() { return static_cast<int>(ToNumber(Request("deadport"), "port")); }

}  // namespace ftplab
