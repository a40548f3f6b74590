#include "engine/Md5Checker.h"

#include <cstdint>
#include <memory>
#include <new>

#include "Biz/Log.h"
#include "engine/MD5.h"
#include "support/FileInfo.h"
#include "support/MapFile.h"
#include "support/Platform.h"

using Tamsic::Threading::ScopedLock;

namespace {

// The share of the file digested so far, truncated. The 64-bit build computes in single precision, the
// 32-bit build in double precision and rounds only the product, so an exact 53 % reads 52 in the one and 53
// in the other: the figures pages of each build have always shown.
int ProgressPercent(int64_t done, int64_t size) {
#ifdef KORVANE_64BIT
    return static_cast<int>(static_cast<float>(done) / static_cast<float>(size) * 100.0f);
#else
    return static_cast<int>(
        static_cast<float>(static_cast<double>(done) / static_cast<double>(size) * 100.0));
#endif
}

}  // namespace

Md5Checker::Md5Checker() = default;

Md5Checker::~Md5Checker() {
    // Nobody is left to hear the result.
    worker_.Abandon([&] {
        if (worker_.IsRunning()) state_ = Md5StateStopRequested;
    });
}

bool Md5Checker::Start() {
    return worker_.Start(
        this, [&] { return state_ == Md5StateStopRequested; },
        [&] {
            narrowResult_.clear();
            wideResult_.Empty();
            state_ = Md5StateIdle;
            runPath_ = path_;
        });
}

void Md5Checker::Stop() {
    ScopedLock hold(worker_.GetLock());
    state_ = Md5StateStopRequested;
}

CString Md5Checker::GetResult() const {
    ScopedLock hold(worker_.GetLock());
    return wideResult_;
}

int Md5Checker::GetErrorCode() const {
    ScopedLock hold(worker_.GetLock());
    return errorCode_;
}

Md5CheckerState Md5Checker::GetState() const {
    ScopedLock hold(worker_.GetLock());
    return state_;
}

bool Md5Checker::IsStopRequested() const { return GetState() == Md5StateStopRequested; }

void Md5Checker::SetResult(const std::string& hex) {
    narrowResult_ = hex;
    wideResult_.Empty();
    wchar_t wide[64] = {};
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, hex.c_str(), -1, wide, 64) > 0) wideResult_ = wide;
}

void Md5Checker::SettleAfterFault() {
    Md5CheckerEvent* const sink = sink_;
    bool settled = false;
    const bool report = worker_.Settle(settled, [&] {
        narrowResult_.clear();
        wideResult_.Empty();
        if (state_ == Md5StateStopRequested) return false;
        state_ = Md5StateFailed;
        errorCode_ = FileEmpty;
        return true;
    });
    if (report) sink->md5Error();
}

// One run. Everything the run needs is copied onto this stack first: once the outcome is settled under the
// lock, a new Start may begin, and from then on this worker reads and writes nothing of the checker.
void Md5Checker::Run(bool& settled) {
    Md5CheckerEvent* const sink = sink_;
    const CString path = runPath_;

    Tamsic::IO::FileInfo info(path);
    const int64_t size = info.GetSize();
    int64_t done = 0;
    std::string hex;
    if (size >= 1) {
        // The first stamp comes before the file is mapped: tests use that moment to change a file after it
        // was measured.
        DWORD stamp = Tamsic::Platform::GetTick();
        Tamsic::IO::MapFile file;
        file.Open(path);
        const int blockLength = static_cast<int>(file.GetAllocationGranularity());
        // The file is digested, stopped and reported block by block, but mapped kBlocksPerView blocks at a
        // time: under Wine each view costs about 140 us to map and unmap, which halved the speed with one
        // view per block, and mapping and unmapping 1 MiB views still took a fifth of the check's time.
        const int viewLength = blockLength * kBlocksPerView;
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[viewLength + 1]());
        MD5 digest;
        digest.Reset();
        int64_t inView = buffer ? file.Read(buffer.get(), viewLength) : 0;
        int64_t viewPosition = 0;
        bool stopped = false;
        while (inView > 0 && done < size && !stopped) {
            while (viewPosition < inView && done < size) {
                if (IsStopRequested()) {
                    stopped = true;
                    break;
                }
                const int64_t left = inView - viewPosition;
                const int64_t n = left < blockLength ? left : blockLength;
                digest.Update(buffer.get() + viewPosition, static_cast<size_t>(n));
                viewPosition += n;
                done += n;
                if (static_cast<DWORD>(Tamsic::Platform::GetTick() - stamp) >= 1000) {
                    const int percent = ProgressPercent(done, size);
                    if (!IsStopRequested()) sink->md5Process(percent);
                    // Counted from the report's return: however long the page took to hear it, the next
                    // report reaches the page a second after this one at the earliest.
                    stamp = Tamsic::Platform::GetTick();
                }
            }
            if (stopped || done >= size) break;
            inView = file.Read(buffer.get(), viewLength);
            viewPosition = 0;
        }
        file.Close();
        if (done == size) hex = digest.ToString();
    }

    Md5CheckerState outcome;
    worker_.Settle(settled, [&] {
        if (state_ == Md5StateStopRequested) {
            // Stopped, also when the stop fell on the last block: no digest of part of a file, no report.
        } else if (size >= 1 && done == size) {
            state_ = Md5StateComplete;
            SetResult(hex);
        } else {
            // Empty or unopenable, or the reads ended before the size that was measured or went past it
            // (the file changed, or a view could not be mapped).
            state_ = Md5StateFailed;
            errorCode_ = FileEmpty;
        }
        outcome = state_;
        return outcome == Md5StateComplete || outcome == Md5StateFailed;
    });
    // From here on nothing of the checker is touched: a new Start may begin once the run settled.
    if (outcome == Md5StateComplete)
        sink->md5Complete();
    else if (outcome == Md5StateFailed)
        sink->md5Error();
}
