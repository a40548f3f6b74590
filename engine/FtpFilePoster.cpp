#include "engine/FtpFilePoster.h"

#include <process.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "Biz/Log.h"
#include "Network/Command/FtpCommand.h"
#include "engine/SpeedCalculater.h"
#include "support/MapFile.h"
#include "support/Platform.h"
#include "support/SizeText.h"

namespace {
// Closes a connection whatever way the job leaves its scope.
class ClosingConnection {
public:
    explicit ClosingConnection(TcpConnection& connection) : connection_(connection) {}
    ~ClosingConnection() { connection_.Close(); }
    ClosingConnection(const ClosingConnection&) = delete;
    ClosingConnection& operator=(const ClosingConnection&) = delete;

private:
    TcpConnection& connection_;
};

bool IsPositiveCompletion(int code) { return code >= 200 && code < 300; }

// Milliseconds between reports while the socket drains after the last send. The tick moves in steps of up
// to 17 ms under Wine (16 on Windows): a wait that ends as the tick reaches a second after the last report
// may end a step short of a real second.
constexpr uint64_t kDrainReportEvery = 1000 + 20;

// After the last byte: the sending side is shut down and the data connection read to its end. The end may
// come only once the socket has handed on what it still holds (drain milliseconds at the link's rate) and
// the I/O time-out after that. False when the server reset it (it closed without reading everything), or
// the end did not come, or a stop was asked. Whatever the server sends back on it is dropped. A send of no
// bytes first asks for a reset that has come already (under Wine a reset that came before the shutdown shows
// only there). While the socket drains into a slow link (the drain milliseconds), waiting is called about
// once a second from firstReport on: the page still hears of the upload while its bytes move.
bool EndOfData(TcpConnection& data, const std::atomic<bool>& stop, uint64_t drain, uint64_t firstReport,
               const std::function<void()>& waiting) {
    const SOCKET socket = data.GetSocket();
    u_long nonBlocking = 1;
    if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) return false;
    if (::send(socket, "", 0, 0) != 0 || ::shutdown(socket, SD_SEND) != 0) return false;
    const uint64_t drained = GetTickCount64() + drain;
    const uint64_t deadline = TcpConnection::DeadlineAfter(drained, TcpConnection::GetIoTimeout());
    uint64_t report = firstReport;
    for (;;) {
        const bool draining = report <= drained + 1000;
        const bool beforeDeadline = deadline == TcpConnection::kNoDeadline || report < deadline;
        const TcpConnection::WaitOutcome outcome =
            TcpConnection::Wait(socket, TcpConnection::Readiness::Readable,
                                draining && beforeDeadline ? report : deadline, &stop);
        if (outcome == TcpConnection::WaitOutcome::TimedOut && draining && beforeDeadline) {
            waiting();
            report = GetTickCount64() + kDrainReportEvery;
            continue;
        }
        if (outcome != TcpConnection::WaitOutcome::Ready) return false;
        char piece[4096];
        const int received = ::recv(socket, piece, sizeof(piece), 0);
        if (received == 0) return true;
        // A reset shows as a failed receive.
        if (received < 0 && WSAGetLastError() != WSAEWOULDBLOCK) return false;
    }
}

// Keeps what the data socket holds to about half a second at the rate it takes bytes. Left to itself a
// platform grows a socket's send buffer to megabytes on a slow link with a deep queue (Linux to tcp_wmem's
// maximum, most of it in the first second); what it holds counts as posted at once but leaves at the link's
// pace, so the progress, the speed, a stop and the end of the transfer would all lag by that much. The
// bound starts small and grows as fast as the link takes bytes, fourfold at a step, so that a fast link is
// not held back for more than a moment.
class SendBacklog {
public:
    SendBacklog(SOCKET socket, int64_t start, uint64_t now)
        : socket_(socket),
          start_(start),
          startedAt_(now),
          mark_(start),
          markedAt_(now),
          taken_(start),
          now_(now) {
        SetLimit(kFirst);
    }

    // taken: what the socket has taken in this pass so far; called after each send and each wait.
    void Took(int64_t taken, uint64_t now) {
        if (!firstAt_ && taken > start_) {
            first_ = taken;
            firstAt_ = now;
        }
        if (taken > taken_ && limit_) held_ = 2 * static_cast<int64_t>(limit_);
        taken_ = taken;
        now_ = now;
        const int64_t bytes = taken - mark_;
        const uint64_t span = now - markedAt_;
        // A measure spans several times what the socket holds, so that the bytes that filled it weigh
        // little, or a second on a slow link.
        if (span < kShortest ||
            (span < 1000 && bytes < 16 * static_cast<int64_t>(limit_ ? limit_ : kLargest)))
            return;
        // What filled room the bound had just made is no measure of the link.
        const int64_t moved = bytes > filling_ ? bytes - filling_ : 0;
        filling_ = bytes > filling_ ? 0 : filling_ - bytes;
        rate_ = static_cast<double>(moved) * 1000.0 / static_cast<double>(span);
        // The bound grows with one measure but shrinks with the mean of several: a measure just after the
        // bound was lowered sees the socket take nothing for a while.
        smoothed_ = measured_ ? (smoothed_ + rate_) / 2 : rate_;
        measured_ = true;
        mark_ = taken;
        markedAt_ = now;
        if (!limit_) return;
        double wanted = (rate_ > smoothed_ ? rate_ : smoothed_) * kHeldSeconds;
        if (wanted > kLargest) wanted = kLargest;
        if (wanted < kSmallest) wanted = kSmallest;
        // Each change makes the socket take more at once, or nothing for a while, which the speed would show:
        // the bound grows when it is too small and shrinks only when it is more than twice too large.
        if (wanted > limit_ * 1.25) {
            if (wanted > limit_ * 4.0) wanted = limit_ * 4.0;
        } else if (wanted < limit_ / 2.0) {
            if (wanted < limit_ * 0.75) wanted = limit_ * 0.75;
        } else {
            return;
        }
        const int size = static_cast<int>(wanted);
        SetLimit(size);
    }

    // Bytes a second the socket took of late (before the first measure: since it took the first bytes).
    double Rate() const {
        if (measured_) return rate_;
        if (!firstAt_) return 0;
        // Within the tick's millisecond the rate is at least what came in it.
        const uint64_t span = now_ > firstAt_ ? now_ - firstAt_ : 1;
        return static_cast<double>(taken_ - first_) * 1000.0 / static_cast<double>(span);
    }

    // How much to hand the socket at one send: a twentieth of a second at the rate it takes bytes; at least
    // a view on a fast link.
    int64_t Piece() const {
        if (!measured_) return kFirst;
        const double piece = rate_ * 0.05;
        if (piece < kSmallestPiece) return kSmallestPiece;
        return piece > 1e12 ? static_cast<int64_t>(1e12) : static_cast<int64_t>(piece);
    }

    // Whether bytes goes to the socket in one piece: the link is fast, or not known yet.
    bool Fast(int64_t bytes) const { return !measured_ || Piece() >= bytes; }
    // Whether the link is known to be slow: over the pass's first second or more, the socket took less than
    // bytes per twentieth of a second on average. A short or early measure says little (on a loaded machine
    // even loopback may take bytes slowly for a moment).
    bool Paced(int64_t bytes) const { return now_ - startedAt_ >= 1000 && Average() * 0.05 < bytes; }

    // How long what the socket may still hold takes to leave, at the rate it took bytes.
    uint64_t DrainMilliseconds() const {
        double rate = Rate() > Average() ? Rate() : Average();
        if (rate < kSlowest) rate = kSlowest;
        return static_cast<uint64_t>(static_cast<double>(held_) * 1000.0 / rate);
    }

private:
    static constexpr int kFirst = 8 * 1024;
    static constexpr int kSmallest = 8 * 1024;
    static constexpr int kSmallestPiece = 1024;
    static constexpr int kLargest = 4 * 1024 * 1024;
    static constexpr uint64_t kShortest = 20;  // milliseconds a measure spans at least
    static constexpr double kHeldSeconds = 0.4;
    static constexpr double kSlowest = 1024;  // bytes a second

    double Average() const {
        const uint64_t span = now_ - startedAt_;
        return static_cast<double>(taken_ - start_) * 1000.0 / static_cast<double>(span ? span : 1);
    }

    void SetLimit(int size) {
        if (setsockopt(socket_, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof(size)) !=
            0)
            return;
        // Linux keeps twice the size asked for, its overhead included: at most that much is held once the
        // socket takes bytes under the new bound (after a lower bound, what the old one let in comes first).
        if (size > limit_) {
            held_ = 2 * static_cast<int64_t>(size);
            filling_ += 2 * static_cast<int64_t>(size - limit_);
        }
        limit_ = size;
    }

    SOCKET socket_;
    int limit_ = 0;  // the send buffer asked for; 0 when the platform refused a bound
    int64_t held_ = 2 * static_cast<int64_t>(kLargest);  // what the socket may hold at most
    int64_t start_;
    uint64_t startedAt_;
    int64_t mark_;
    uint64_t markedAt_;
    int64_t taken_;
    uint64_t now_;
    int64_t first_ = 0;     // the count when the socket first took bytes
    uint64_t firstAt_ = 0;  // and when
    double rate_ = 0;
    double smoothed_ = 0;
    int64_t filling_ = kFirst;  // bytes the socket takes at once to fill new room (and one piece past it)
    bool measured_ = false;
};
}  // namespace

FtpFilePoster::FtpFilePoster() = default;

FtpFilePoster::~FtpFilePoster() {
    // A job that ends now reports to nobody: the owner is going away.
    worker_.Abandon([&] { stop_ = true; });
}

void FtpFilePoster::SetEvent(KorvaneEvent* event) {
    if (!worker_.IsRunning()) event_ = event;
}

void FtpFilePoster::SetTaskId(int taskId) {
    if (!worker_.IsRunning()) taskId_ = taskId;
}

void FtpFilePoster::SetFileSize(const int64_t& size) {
    if (!worker_.IsRunning()) fileSize_ = size;
}

void FtpFilePoster::SetServer(CString host, unsigned short port, CString userName, CString password) {
    if (worker_.IsRunning()) return;
    userName_ = userName;
    password_ = password;
    control_.SetAddress(host, static_cast<short>(port));
}

void FtpFilePoster::SetError(const int& code) {
    state_ = Failed;
    errorCode_ = code;
}

void FtpFilePoster::AddState(const unsigned& bits) { state_ |= bits; }

bool FtpFilePoster::Post(CString localPath, CString remoteFolder, CString remoteFile) {
    return worker_.Start(
        this, [] { return false; },
        [&] {
            // Nothing of an earlier job counts for this one.
            stop_ = false;
            state_ = 0;
            errorCode_ = 0;
            utf8_ = false;
            posted_ = 0;
            speed_ = 0;
            response_.Clear();
            localPath_ = localPath;
            remoteFolder_ = remoteFolder;
            remoteFile_ = remoteFile;
        });
}

void FtpFilePoster::Run(bool& settled) {
    RunJob();
    SettleAndReport(settled);
}

void FtpFilePoster::SettleAfterFault() {
    control_.Close();
    control_.Cleanup();
    if ((state_ & Stopped) == 0) SetError(PageErrorCode::SendFailed);
    bool settled = false;
    SettleAndReport(settled);
}

void FtpFilePoster::SettleAndReport(bool& settled) {
    unsigned state = 0;
    int taskId = 0;
    int errorCode = 0;
    KorvaneEvent* event = nullptr;
    worker_.Settle(settled, [&] {
        state = state_;
        taskId = taskId_;
        errorCode = errorCode_;
        event = worker_.Abandoned() ? nullptr : event_;
        return event && (state & (AllSent | Failed));
    });
    if (event) {
        if (state & AllSent)
            event->postComplete(taskId);
        else if (state & Failed)
            event->postError(taskId, errorCode);
    }
}

void FtpFilePoster::RunJob() {
    control_.Startup();
    if (control_.Connect(&stop_))
        AddState(Connected);
    else if (stop_)
        state_ = Stopped;
    else
        SetError(SendFailed);  // refused, unreachable or no answer in time: no command can go out
    const bool controlConnected = (state_ & Connected) != 0;
    ClosingConnection closeControl(control_);
    FtpCommand command(this);

    if (controlConnected) command.RecvWelcome();
    command.User();
    command.Pass();
    command.Feat();
    command.Clnt();
    if (state_ & ClntAccepted) command.OptsUtf8();
    command.Pwd();
    if (!remoteFolder_.IsEmpty()) {
        // The make-path step walks the folder member through the components, so it gets its own copy.
        const CString path = remoteFolder_;
        command.MakeRemotePath(path);
    }
    // Binary mode before SIZE: pyftpdlib (and others) refuse SIZE in ASCII mode, and resume needs it.
    command.Type();
    command.Size();

    // The local file is opened before the server is told to store anything: a file that went away or is
    // locked since it was measured must not leave an emptied copy on the server.
    Tamsic::IO::MapFile file;
    if (ProceedingUnlessStopped() && !file.Open(localPath_)) SetError(FileNotMapped);

    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    command.Pasv(address);
    TcpConnection data(address);
    {
        ClosingConnection closeData(data);
        if (ProceedingUnlessStopped() && (state_ & PassiveReady) && !data.Connect(&stop_)) {
            if (stop_)
                state_ = Stopped;
            else
                SetError(TransferFailed);
        }

        if (posted_ <= 0) {
            command.Rest();
            command.Stor();
        } else {
            command.Appe();
        }
        // The server accepted the transfer. A 1xx (or 350) opens it and the server's final word comes after
        // it; a 2xx is that word.
        const bool finalReplyOwed = Proceeding() && !IsPositiveCompletion(response_.GetCode());

        uint64_t drain = 0;
        if (Proceeding() && (state_ & PassiveReady)) drain = SendFile(data, file);
        file.Close();

        if (Proceeding() && (state_ & PassiveReady)) {
            state_ &= ~static_cast<unsigned>(PassiveReady);
            // A server that took part of the file and closed (a reset) shows only here: the sends went into
            // the socket's buffers.
            // The socket took the whole file: while what it holds drains into a slow link, a report says so
            // each second. A stop in that time ends the job as stopped, as one during the sends does: the
            // page asked to hear nothing more. The close still hands on what the socket holds, and the
            // server's reply settles its copy.
            const auto reportAll = [this] {
                if (event_ && !stop_) event_->postProcess(taskId_, posted_, FormatByteSize(speed_));
            };
            if (!EndOfData(data, stop_, drain, lastReportAt_ + kDrainReportEvery, reportAll)) {
                if (stop_)
                    state_ = Stopped;
                else
                    SetError(TransferFailed);
            }
            data.Close();
            // Only the server can say the file is stored: 226 or 250 after the data connection closed.
            if (finalReplyOwed && (Proceeding() || ((state_ & Stopped) && !worker_.Abandoned()))) {
                std::string reply;
                FtpResponse finalReply;
                if (command.RecvRaw(reply, &worker_.Abandoned(), Proceeding() ? 0 : drain))
                    finalReply.Parse(reply);
                if (Proceeding() && !IsPositiveCompletion(finalReply.GetCode())) SetError(TransferFailed);
            }
        } else if (finalReplyOwed && controlConnected && !worker_.Abandoned()) {
            // The transfer was cut short (a stop or a failure in the send loop) while the server is still
            // writing what reached it. Its reply to the aborted transfer, whatever the code, tells that its
            // copy has settled: a resume that asked SIZE before would send bytes the server already has.
            // After a stop the close hands on what the socket still holds first, at the link's pace.
            data.Close();
            std::string reply;
            command.RecvRaw(reply, &worker_.Abandoned(), (state_ & Stopped) ? drain : 0);
        }
    }

    // Over a connection that never stood there is nobody to say goodbye to (and a send on a socket whose
    // connect was cut short would wait for that connect).
    if (controlConnected) command.Quit();
    control_.Close();
    control_.Cleanup();

    // Every way through ends in one of these; a job must not end silently unless it was stopped.
    if ((state_ & (AllSent | Failed | Stopped)) == 0) SetError(TransferFailed);
}

uint64_t FtpFilePoster::SendFile(TcpConnection& data, Tamsic::IO::MapFile& file) {
    const int block = static_cast<int>(file.GetAllocationGranularity());
    // Wine charges each view a fixed cost that outweighs the bytes of one block, so the file is mapped
    // kBlocksPerView blocks per view; the socket takes a view in as many sends as the link needs, straight
    // from the view. A send reports a page that can no longer be read (the file was cut short by another
    // program, or its share went away) as an error, where a copy out of the view would end the process.
    const int viewLength = block * kBlocksPerView;
    UniqueMappedView view;
    const char* viewBytes = nullptr;
    // The server holds the bytes before posted already.
    if (posted_ > 0) file.SetOffset(posted_);

    // Non-blocking: each send takes what the socket has room for at once, however slow the link, and the
    // loop sees a stop within a slice of its wait for room.
    const SOCKET socket = data.GetSocket();
    u_long nonBlocking = 1;
    if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        SetError(TransferFailed);
        return 0;
    }

    SpeedCalculater calculater;
    calculater.Reset(posted_);
    DWORD lastReport = Tamsic::Platform::GetTick();
    const int ioTimeout = TcpConnection::GetIoTimeout();
    uint64_t now = GetTickCount64();
    SendBacklog backlog(socket, posted_, now);
    // The socket's count: posted follows it at each block's end (from where the pass began) and, when a
    // report falls due in between, there.
    int64_t taken = posted_;
    int64_t blockEnd = posted_ + block < fileSize_ ? posted_ + block : fileSize_;
    lastReportAt_ = now;
    // The transfer fails only when the socket took nothing for the I/O time-out.
    uint64_t lastTaken = now;
    int64_t viewRead = 0;
    int64_t viewSent = 0;
    // A stop ends the transfer where it stands, except on a fast link (or before the link is known): there
    // the rest of the view under way still goes, within a second, so that the server's copy ends where a
    // view ends, as the views always did.
    bool finishingView = false;
    uint64_t finishBy = 0;

    // On a fast link the speed is sampled as posted moves. On one known to be slow (under a block a
    // twentieth of a second, about 1.3 MB/s, over the first second or more) the socket takes bytes in bursts,
    // as acks make room, and the loop waits in between: the speed is sampled from the socket's count as a
    // burst begins, so that a window holds whole bursts (one sampled at any moment would hold a burst more or
    // less than the time it spans), and by a report only after a quiet spell, so that a stalled link shows as
    // one.
    constexpr uint32_t kQuietSample = 2000;  // milliseconds
    auto count = [&](int64_t at) {
        posted_ = at;
        if (backlog.Paced(block))
            speed_ = static_cast<double>(calculater.Calculate(taken, kQuietSample));
        else
            speed_ = static_cast<double>(calculater.Calculate(posted_));
        const DWORD tick = Tamsic::Platform::GetTick();
        // After a stop request the job reports nothing more.
        if (static_cast<DWORD>(tick - lastReport) >= 1000 && !stop_) {
            lastReport = tick;
            lastReportAt_ = GetTickCount64();
            if (event_) event_->postProcess(taskId_, posted_, FormatByteSize(speed_));
        }
    };
    auto countDue = [&]() {
        while (blockEnd <= taken && posted_ < blockEnd) {
            count(blockEnd);
            blockEnd = blockEnd + block < fileSize_ ? blockEnd + block : fileSize_;
        }
        // A report falls due between two blocks' ends: the count moves to what the socket took. On a slow
        // link the socket may take nothing for a second while its bytes still leave: the report goes out all
        // the same.
        if (now >= lastReportAt_ + 1000) count(taken);
    };

    // Waits a slice at most for room in the socket; false when the transfer failed.
    bool roomSeen = false;
    auto waitForRoom = [&]() {
        const uint64_t idleDeadline = TcpConnection::DeadlineAfter(lastTaken, ioTimeout);
        const uint64_t sliceEnd = now + TcpConnection::kStopSlice;
        const TcpConnection::WaitOutcome outcome = TcpConnection::Wait(
            socket, TcpConnection::Readiness::Writable, idleDeadline < sliceEnd ? idleDeadline : sliceEnd,
            finishingView ? nullptr : &stop_);
        now = GetTickCount64();
        if (outcome == TcpConnection::WaitOutcome::Failed ||
            (outcome == TcpConnection::WaitOutcome::TimedOut && now >= idleDeadline)) {
            SetError(TransferFailed);
            return false;
        }
        roomSeen = outcome == TcpConnection::WaitOutcome::Ready;
        backlog.Took(taken, now);
        countDue();
        return true;
    };

    while (posted_ < fileSize_) {
        if (stop_) {
            if (!finishingView) {
                const int64_t rest = viewRead - viewSent;
                finishingView = rest > 0 && backlog.Fast(rest);
                finishBy = now + 1000;
            }
            if (!finishingView || viewSent == viewRead || now >= finishBy) {
                state_ = Stopped;
                break;
            }
        }
        if (viewSent == viewRead) {
            const int64_t left = fileSize_ - taken;
            const int wanted = left < viewLength ? static_cast<int>(left) : viewLength;
            viewBytes = file.MapNext(wanted, viewRead, view);
            viewSent = 0;
            if (!viewBytes || viewRead <= 0) {
                // The file ended (or a view failed) before the size the job was given.
                SetError(FileNotMapped);
                break;
            }
        }
        // On a slow link the socket gets small pieces, each only when it has room: one large send would
        // let it take far more than its bound at once.
        const int64_t rest = viewRead - viewSent;
        const int64_t piece = finishingView ? rest : backlog.Piece();
        if (piece < rest && !roomSeen) {
            if (!waitForRoom()) break;
            continue;
        }
        roomSeen = false;
        if (backlog.Paced(block)) speed_ = static_cast<double>(calculater.Calculate(taken));
        const int sent =
            ::send(socket, viewBytes + viewSent, static_cast<int>(piece < rest ? piece : rest), 0);
        now = GetTickCount64();
        if (sent > 0) {
            viewSent += sent;
            taken += sent;
            lastTaken = now;
            backlog.Took(taken, now);
            countDue();
            continue;
        }
        const int sendError = sent == SOCKET_ERROR ? WSAGetLastError() : 0;
        if (sendError == WSAEFAULT) {
            // The view's bytes are gone: the local file, not the link, failed.
            SetError(FileNotMapped);
            break;
        }
        if (sendError != WSAEWOULDBLOCK) {
            SetError(TransferFailed);
            break;
        }
        if (!waitForRoom()) break;
    }
    view.Reset();
    file.Close();
    // A stop that let the view under way finish ends the job as stopped, also when that view was the
    // file's last: the page asked to hear nothing more.
    if (finishingView && Proceeding() && !(state_ & Stopped)) state_ = Stopped;
    if (Proceeding() && posted_ >= fileSize_) AddState(AllSent);
    return backlog.DrainMilliseconds();
}

CString FtpFilePoster::GetPostedText() const { return FormatByteSize(static_cast<double>(posted_)); }

CString FtpFilePoster::GetRemainingTimeText() const {
    if (!(speed_ > 0)) return CString(L"00:00:00");
    const double seconds = static_cast<double>(fileSize_ - posted_) / speed_;
    return FormatSeconds(static_cast<double>(static_cast<int64_t>(seconds)));
}

CString FtpFilePoster::GetPercentText() const {
    if (posted_ == fileSize_) return CString(L"100%");
    if (fileSize_ <= 0) return CString(L"0%");
    // Through single precision: 29,999,999 of 30,000,000 shows as 100%.
    const float value =
        static_cast<float>(static_cast<double>(posted_) / static_cast<double>(fileSize_) * 100.0);
    CString text;
    text.Format(L"%d%%", static_cast<int>(value));
    return text;
}
