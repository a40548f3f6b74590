#include "engine/Crc32.h"

#include <cpuid.h>
#include <immintrin.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Biz/Log.h"

namespace {

uint32_t ReverseBits(uint32_t value, int width) {
    uint32_t reversed = 0;
    for (int k = 0; k < width; ++k)
        if (value & (1u << k)) reversed |= 1u << (width - 1 - k);
    return reversed;
}

inline uint32_t LoadLittleEndian(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The folding code alone is built for processors with PCLMULQDQ and SSE4.1; the rest of the library keeps the
// baseline of its target and calls it only where CPUID reports both. A 32-bit thread's stack may be aligned
// to four bytes only, so there the function aligns its own frame for the 16-byte registers it spills.
#ifdef KORVANE_64BIT
#define KORVANE_FOLDING_TARGET __attribute__((target("pclmul,sse4.1")))
#else
#define KORVANE_FOLDING_TARGET __attribute__((target("pclmul,sse4.1"), force_align_arg_pointer))
#endif

#define KORVANE_FOLDING_STEP __attribute__((target("pclmul,sse4.1"), always_inline)) inline

KORVANE_FOLDING_STEP __m128i Load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// A lane moved forward by k bits and added to the next 128: its low half times one constant, its high half
// times the other.
KORVANE_FOLDING_STEP __m128i Fold(__m128i lane, __m128i constants, __m128i next) {
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// Folds length bytes (a multiple of 16, at least 64) into the register crc by carry-less multiplication and
// reduces the remainder to the 32-bit register, bit for bit what the table method gives. Four lanes of 128
// bits run side by side, each folded 512 bits forward per step; then the lanes fold into one, the one
// 128-bit remainder folds to 64 bits and a Barrett reduction takes it to 32. Every constant is x to some
// power modulo the polynomial (or, for the reduction, the quotient of x^64 by it), bit-reflected like the
// register: x^(512+32) and x^(512-32) for the four-lane step, x^(128+32) and x^(128-32) for one lane,
// x^64 for the step to 64 bits, then the polynomial itself and floor(x^64 / P).
KORVANE_FOLDING_TARGET uint32_t FoldBlocks(uint32_t crc, const uint8_t* data, size_t length) {
    const __m128i fold4 = _mm_set_epi64x(0x1C6E41596LL, 0x154442BD4LL);
    const __m128i fold1 = _mm_set_epi64x(0x0CCAA009ELL, 0x1751997D0LL);
    const __m128i fold64 = _mm_set_epi64x(0, 0x163CD6124LL);
    const __m128i barrett = _mm_set_epi64x(0x1F7011641LL, 0x1DB710641LL);
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

    __m128i x0 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = Load(data + 16);
    __m128i x2 = Load(data + 32);
    __m128i x3 = Load(data + 48);
    data += 64;
    length -= 64;
    for (; length >= 64; data += 64, length -= 64) {
        x0 = Fold(x0, fold4, Load(data));
        x1 = Fold(x1, fold4, Load(data + 16));
        x2 = Fold(x2, fold4, Load(data + 32));
        x3 = Fold(x3, fold4, Load(data + 48));
    }
    x0 = Fold(x0, fold1, x1);
    x0 = Fold(x0, fold1, x2);
    x0 = Fold(x0, fold1, x3);
    for (; length >= 16; data += 16, length -= 16) x0 = Fold(x0, fold1, Load(data));

    // 128 bits to 64: the low half times x^(128-32) onto the high half, then the low 32 bits times x^64.
    x0 = _mm_xor_si128(_mm_clmulepi64_si128(x0, fold1, 0x10), _mm_srli_si128(x0, 8));
    x0 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x0, low32), fold64, 0x00), _mm_srli_si128(x0, 4));
    // Barrett: the quotient by the polynomial from its low 32 bits, times the polynomial, leaves the
    // remainder in bits 32..63.
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x0, low32), barrett, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), barrett, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x0, q), 1));
}

std::atomic<Crc32::Allocator> blockAllocator{nullptr};

// A run's stream and block buffer go whatever way the run leaves.
struct StreamCloser {
    void operator()(FILE* stream) const { std::fclose(stream); }
};
struct BlockFree {
    void operator()(uint8_t* block) const { std::free(block); }
};

}  // namespace

Crc32::Allocator Crc32::SetBlockAllocator(Allocator allocator) { return blockAllocator.exchange(allocator); }

bool Crc32::HasFolding() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    return (ecx & bit_PCLMUL) && (ecx & bit_SSE4_1);
}

Crc32::Crc32() : method_(HasFolding() ? Crc32Method::Folding : Crc32Method::Table) { BuildTable(); }

Crc32::~Crc32() {
    worker_.Abandon([] {});
}

// The register runs most significant bit first with the polynomial as written, on bit-reversed bytes, and
// each entry is reversed back: the table of the reflected CRC.
void Crc32::BuildTable() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = ReverseBits(i, 8) << 24;
        for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        table_[i] = ReverseBits(r, 32);
    }
    for (int i = 0; i < 256; ++i) {
        uint32_t r = table_[i];
        for (int k = 0; k < kSlices - 1; ++k) {
            r = table_[r & 0xFF] ^ (r >> 8);
            sliceTables_[k][i] = r;
        }
    }
}

uint32_t Crc32::Update(uint32_t crc, const uint8_t* data, size_t length, Crc32Method method) const {
    // Below 64 bytes there is nothing to fold; the tail under 16 bytes goes through the table.
    if (method == Crc32Method::Folding && length >= 64) {
        const size_t folded = length & ~static_cast<size_t>(15);
        crc = FoldBlocks(crc, data, folded);
        data += folded;
        length -= folded;
    }
    return UpdateByTable(crc, data, length);
}

// The same result as one table step per byte, crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8), sixteen bytes at
// a time: table k gives the effect of a byte followed by k zero bytes.
uint32_t Crc32::UpdateByTable(uint32_t crc, const uint8_t* data, size_t length) const {
    const uint32_t* const t0 = table_;
    const uint32_t(*const t)[256] = sliceTables_;
    for (; length >= 16; data += 16, length -= 16) {
        const uint32_t w0 = LoadLittleEndian(data) ^ crc;
        const uint32_t w1 = LoadLittleEndian(data + 4);
        const uint32_t w2 = LoadLittleEndian(data + 8);
        const uint32_t w3 = LoadLittleEndian(data + 12);
        crc = t[14][w0 & 0xFF] ^ t[13][(w0 >> 8) & 0xFF] ^ t[12][(w0 >> 16) & 0xFF] ^ t[11][w0 >> 24] ^
              t[10][w1 & 0xFF] ^ t[9][(w1 >> 8) & 0xFF] ^ t[8][(w1 >> 16) & 0xFF] ^ t[7][w1 >> 24] ^
              t[6][w2 & 0xFF] ^ t[5][(w2 >> 8) & 0xFF] ^ t[4][(w2 >> 16) & 0xFF] ^ t[3][w2 >> 24] ^
              t[2][w3 & 0xFF] ^ t[1][(w3 >> 8) & 0xFF] ^ t[0][(w3 >> 16) & 0xFF] ^ t0[w3 >> 24];
    }
    for (; length > 0; ++data, --length) crc = t0[(crc ^ *data) & 0xFF] ^ (crc >> 8);
    return crc;
}

bool Crc32::Start(const CString& path) {
    return worker_.Start(
        this, [] { return false; },
        [&] {
            narrowResult_.clear();
            wideResult_.Empty();
            blockSize_ = 0x100000;
            path_ = path;
        });
}

CString Crc32::GetResult() const {
    // While a run is going the result is empty by definition, and the worker may be writing it.
    if (worker_.IsRunning()) return CString();
    return wideResult_;
}

void Crc32::SetResult(const uint32_t& crc) {
    char narrow[256] = {};
    wchar_t wide[256] = {};
    _ultoa(crc, narrow, 10);
    _ultow(crc, wide, 10);
    narrowResult_ = narrow;
    wideResult_ = wide;
}

void Crc32::SettleAfterFault() {
    Crc32Event* const sink = sink_;
    bool settled = false;
    const bool report = worker_.Settle(settled, [&] {
        narrowResult_.clear();
        wideResult_.Empty();
        if (worker_.Abandoned()) return false;
        state_ = StateFailed;
        if (errorCode_ != FileNotOpened) errorCode_ = FileNotOpened;
        return true;
    });
    if (report) sink->crcError();
}

// One run. Once it clears the running flag a new Start may begin, so the report goes by what this stack
// holds, not by the object.
void Crc32::Run(bool& settled) {
    Crc32Event* const sink = sink_;
    const size_t blockSize = static_cast<size_t>(blockSize_);

    bool complete = false;
    FILE* opened = nullptr;
    if (_wfopen_s(&opened, path_.GetString(), L"rb") == 0 && opened) {
        const std::unique_ptr<FILE, StreamCloser> stream(opened);
        const Allocator allocate = blockAllocator.load();
        const std::unique_ptr<uint8_t, BlockFree> buffer(
            static_cast<uint8_t*>(allocate ? allocate(blockSize) : std::malloc(blockSize)));
        // Without a buffer there is no checksum: that is a failure like a file that cannot be read, never a
        // silent end that would leave the owner waiting for a report.
        bool readFailed = !buffer;
        if (buffer) {
            // The reads are whole blocks already: without the stream's own buffer they go to the file
            // directly, one copy fewer per byte.
            std::setvbuf(stream.get(), nullptr, _IONBF, 0);
            uint32_t crc = 0xFFFFFFFFu;
            size_t n;
            while (!worker_.Abandoned().load(std::memory_order_relaxed) &&
                   (n = std::fread(buffer.get(), 1, blockSize, stream.get())) > 0)
                crc = Update(crc, buffer.get(), n, method_);
            // A read that failed part-way must not pass for the end of the file.
            readFailed = std::ferror(stream.get()) != 0;
            if (!readFailed && !worker_.Abandoned().load(std::memory_order_relaxed)) SetResult(~crc);
        }
        complete = !readFailed;
    }
    const bool report = worker_.Settle(settled, [&] {
        if (worker_.Abandoned()) return false;
        if (complete) {
            state_ = StateComplete;
        } else {
            state_ = StateFailed;
            // The only code there is: written once, so a report of an earlier run that reads it meanwhile
            // never meets a write.
            if (errorCode_ != FileNotOpened) errorCode_ = FileNotOpened;
        }
        return true;
    });
    if (!report) return;
    if (complete)
        sink->crcComplete();
    else
        sink->crcError();
}
