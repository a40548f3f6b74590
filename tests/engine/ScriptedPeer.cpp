#include "ScriptedPeer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace enginetest {
namespace {
// No session of a test lasts longer; a peer that hears nothing for this long gives up.
const int kPeerPatience = 60000;

std::string VerbOf(const std::string& line) {
    std::string verb;
    for (char c : line) {
        if (c == ' ' || c == '\r' || c == '\n') break;
        verb += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return verb;
}

bool Readable(SOCKET s, int waitMilliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait{waitMilliseconds / 1000, (waitMilliseconds % 1000) * 1000};
    return ::select(0, &readable, nullptr, nullptr, &wait) == 1;
}
}  // namespace

ScriptedPeer::ScriptedPeer(PeerScript script) : script_(std::move(script)) {
    thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() { Join(); }

void ScriptedPeer::Join() {
    if (thread_.joinable()) thread_.join();
}

std::vector<std::string> ScriptedPeer::Wire() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wire_;
}

std::string ScriptedPeer::Data() {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
}

bool ScriptedPeer::Accepted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

bool ScriptedPeer::DataConnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dataConnected_;
}

bool ScriptedPeer::ReadLine(SOCKET s, std::string& pending, std::string& line) {
    for (;;) {
        const std::string::size_type end = pending.find('\n');
        if (end != std::string::npos) {
            line = pending.substr(0, end + 1);
            pending.erase(0, end + 1);
            return true;
        }
        if (!Readable(s, kPeerPatience)) return false;
        char piece[4096];
        const int n = ::recv(s, piece, sizeof(piece), 0);
        if (n <= 0) return false;
        pending.append(piece, static_cast<size_t>(n));
    }
}

void ScriptedPeer::Answer(SOCKET s, const PeerReply& reply, bool& open) {
    std::vector<std::string> pieces = reply.pieces;
    if (!reply.cuts.empty()) {
        std::string whole;
        for (const std::string& piece : reply.pieces) whole += piece;
        pieces.clear();
        size_t from = 0;
        for (int cut : reply.cuts) {
            const size_t at = std::min(static_cast<size_t>(cut), whole.size());
            if (at <= from) continue;
            pieces.push_back(whole.substr(from, at - from));
            from = at;
        }
        pieces.push_back(whole.substr(from));
    }
    if (reply.delayMilliseconds > 0) Sleep(static_cast<DWORD>(reply.delayMilliseconds));
    for (const std::string& piece : pieces) {
        if (reply.pauseMilliseconds > 0) Sleep(static_cast<DWORD>(reply.pauseMilliseconds));
        SendText(s, piece);
    }
    if (reply.act == PeerReply::Close) {
        // Only the peer's half: the client reads the end, and what it still sends is recorded.
        shutdown(s, SD_SEND);
        open = false;
    }
}

PeerScript ScriptFor(const faultcases::Case& c) {
    using faultcases::Step;
    PeerScript script;
    script.replies["CLNT"] = Say("200 Noted.\r\n");
    for (const Step& step : c.server) {
        if (step.verb == faultcases::kData) {
            script.data = PeerScript::NeverRead;
            continue;
        }
        PeerReply& reply = step.verb == faultcases::kGreeting ? script.greeting
                           : step.verb == faultcases::kFinal  ? script.finalReply
                                                              : script.replies[step.verb];
        if (!step.text.empty() || step.act != Step::Say) reply.pieces = {};
        if (!step.text.empty()) reply.pieces = {step.text};
        reply.act = step.act == Step::Say      ? PeerReply::Answer
                    : step.act == Step::Silent ? PeerReply::Silent
                                               : PeerReply::Close;
        reply.cuts = step.cuts;
        reply.pauseMilliseconds = step.cuts.empty() ? 0 : step.gap;
        reply.delayMilliseconds = step.delay;
    }
    return script;
}

bool ScriptedPeer::DataReset() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dataReset_;
}

bool ScriptedPeer::DataClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dataClosed_;
}

void ScriptedPeer::Receive(SOCKET data) {
    for (;;) {
        if (!Readable(data, kPeerPatience)) return;
        char piece[65536];
        const int n = ::recv(data, piece, sizeof(piece), 0);
        std::lock_guard<std::mutex> lock(mutex_);
        if (n == 0) dataClosed_ = true;
        if (n <= 0) return;
        data_.append(piece, static_cast<size_t>(n));
    }
}

void ScriptedPeer::ReceiveSlowly(SOCKET data) {
    // A small window: what the client sends waits on its own side, as it would behind a slow link.
    setsockopt(data, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&script_.window),
               sizeof(script_.window));
    const int slice = static_cast<int>(script_.readRate / 20 > 0 ? script_.readRate / 20 : 1);
    std::vector<char> piece(static_cast<size_t>(slice));
    for (;;) {
        const ULONGLONG began = GetTickCount64();
        int got = 0;
        while (got < slice) {
            if (!Readable(data, kPeerPatience)) return;
            const int n = ::recv(data, piece.data(), slice - got, 0);
            std::lock_guard<std::mutex> lock(mutex_);
            if (n == 0) dataClosed_ = true;
            if (n <= 0) return;
            data_.append(piece.data(), static_cast<size_t>(n));
            got += n;
        }
        const ULONGLONG spent = GetTickCount64() - began;
        if (spent < 50) Sleep(static_cast<DWORD>(50 - spent));
    }
}

void ScriptedPeer::ReceiveSomeThenReset(SOCKET data) {
    std::string got;
    while (got.size() < script_.resetAfter) {
        if (!Readable(data, kPeerPatience)) return;
        char piece[4096];
        const size_t want = std::min(sizeof(piece), script_.resetAfter - got.size());
        const int n = ::recv(data, piece, static_cast<int>(want), 0);
        if (n <= 0) return;
        got.append(piece, static_cast<size_t>(n));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        data_ = got;
    }
    // More is on its way: a close now, with unread bytes, is a reset.
    Readable(data, kPeerPatience);
    linger abortive{1, 0};
    setsockopt(data, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof(abortive));
}

void ScriptedPeer::Run() {
    SOCKET s = control_.Accept(kPeerPatience);
    if (s == INVALID_SOCKET) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        accepted_ = true;
    }
    SOCKET data = INVALID_SOCKET;
    bool dataUsed = false;
    // False once the peer's half of the line went down: lines are still recorded, none is answered.
    bool open = true;
    Answer(s, script_.greeting, open);
    std::string pending;
    std::string line;
    while (ReadLine(s, pending, line)) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            wire_.push_back(line);
        }
        if (!open) continue;
        const std::string verb = VerbOf(line);
        auto found = script_.replies.find(verb);
        if (verb == "PASV" && (found == script_.replies.end() ||
                               (found->second.act == PeerReply::Answer && found->second.pieces.empty()))) {
            passive_.reset(new LoopbackListener(script_.data == PeerScript::ReadSlowly ? script_.window : 0));
            const unsigned short port = passive_->Port();
            char text[96];
            std::snprintf(text, sizeof(text), "227 Entering Passive Mode (127,0,0,1,%u,%u).\r\n", port / 256,
                          port % 256);
            PeerReply reply = found == script_.replies.end() ? PeerReply() : found->second;
            reply.pieces = {text};
            Answer(s, reply, open);
            continue;
        }
        const PeerReply reply =
            found != script_.replies.end() ? found->second : Say("502 Not implemented.\r\n");
        const bool transfer = (verb == "STOR" || verb == "APPE") && reply.act == PeerReply::Answer &&
                              !reply.pieces.empty() &&
                              (reply.pieces[0][0] == '1' || reply.pieces[0][0] == '3');
        if (transfer && passive_) {
            data = passive_->Accept(kPeerPatience);
            std::lock_guard<std::mutex> lock(mutex_);
            dataConnected_ = data != INVALID_SOCKET;
        }
        if (reply.act == PeerReply::Silent) continue;  // and never answer it
        Answer(s, reply, open);
        if (verb == "QUIT") break;
        if (transfer && data != INVALID_SOCKET && script_.data != PeerScript::NeverRead) {
            if (script_.data == PeerScript::ReadAll)
                Receive(data);
            else if (script_.data == PeerScript::ReadSlowly)
                ReceiveSlowly(data);
            else
                ReceiveSomeThenReset(data);
            // A server closes the data connection once the transfer is over.
            closesocket(data);
            data = INVALID_SOCKET;
            if (script_.data == PeerScript::ReadSomeThenReset) {
                std::lock_guard<std::mutex> lock(mutex_);
                dataReset_ = true;
            }
            dataUsed = true;
            if (script_.finalReply.act != PeerReply::Silent) Answer(s, script_.finalReply, open);
        }
    }
    closesocket(s);
    // A data connection the transfer never used must have been closed by the client all the same.
    if (data == INVALID_SOCKET && passive_ && !dataUsed) {
        data = passive_->Accept(200);
        if (data != INVALID_SOCKET) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                dataConnected_ = true;
            }
            Receive(data);
        }
    } else if (data != INVALID_SOCKET && script_.data == PeerScript::NeverRead) {
        Receive(data);
    }
    if (data != INVALID_SOCKET) closesocket(data);
}

}  // namespace enginetest
