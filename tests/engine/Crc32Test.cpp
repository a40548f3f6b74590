#include <gtest/gtest.h>

#include <memory>
#include <new>

#include "CheckTestSupport.h"
#include "engine/Crc32.h"

namespace {

const Report kComplete{"complete", 0};
const Report kError{"error", 0};

struct Crc32Fixture {
    Crc32Recorder sink;
    std::unique_ptr<Crc32> crc{new Crc32};
    Crc32Fixture() { crc->SetSink(&sink); }

    bool Check(const CString& path) {
        const int before = sink.FinalCount();
        return crc->Start(path) && sink.WaitForFinal(before + 1);
    }
};

}  // namespace

TEST(Crc32, TableIsTheReflectedCrc32TableBuiltFromThePolynomial) {
    Crc32 crc;
    const uint32_t* table = crc.GetTable();
    EXPECT_EQ(table[0], 0u);
    EXPECT_EQ(table[1], 0x77073096u);
    EXPECT_EQ(table[255], 0x2D02EF8Du);
    // The same table the other way round: shifting right with the reversed polynomial.
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        EXPECT_EQ(table[i], r) << "entry " << i;
    }
}

TEST(Crc32, ChecksRunTheFoldingWhereTheProcessorHasIt) {
    Crc32 crc;
    EXPECT_EQ(crc.GetMethod(), Crc32::HasFolding() ? Crc32Method::Folding : Crc32Method::Table);
}

// The register carries over from one piece to the next, as the check hands it one read after another: any
// split, aligned or not, gives the checksum of the whole, by either method, and either method may go on from
// where the other stopped.
TEST(Crc32, MethodsCarryTheRegisterAcrossPieces) {
    std::vector<Crc32Method> methods{Crc32Method::Table};
    if (Crc32::HasFolding()) methods.push_back(Crc32Method::Folding);
    const std::string text = PatternBytes(3000, 7);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text.data());
    Crc32 crc;
    const uint32_t whole = crc.Update(0xFFFFFFFFu, bytes, text.size(), Crc32Method::Table);
    const size_t splits[] = {0, 1, 15, 16, 17, 63, 64, 65, 127, 1000, 2047, 2999, 3000};
    for (Crc32Method first : methods)
        for (Crc32Method second : methods)
            for (size_t split : splits) {
                const uint32_t part = crc.Update(0xFFFFFFFFu, bytes, split, first);
                EXPECT_EQ(crc.Update(part, bytes + split, text.size() - split, second), whole)
                    << "split at " << split << ", methods " << static_cast<int>(first) << "/"
                    << static_cast<int>(second);
            }
}

TEST(Crc32, GivesTheChecksumAsUnsignedDecimalText) {
    struct Case {
        std::string bytes;
        const wchar_t* text;
    } cases[] = {
        {"123456789", L"3421780262"},  // the check value, 0xCBF43926
        {"", L"0"},
        {"g", L"30677878"},  // below 10^9: fewer digits, no padding
        {"a", L"3904355907"},
        {std::string(8, '\0') + "tail", L"648457518"},
    };
    ScratchFolder folder;
    Crc32Fixture f;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        ASSERT_TRUE(f.Check(folder.Write(L"crc.bin", c.bytes)));
        EXPECT_EQ(f.sink.Reports().back(), kComplete);
        EXPECT_STREQ(f.crc->GetResult(), c.text);
        EXPECT_EQ(f.crc->GetState(), Crc32::StateComplete);
    }
    EXPECT_EQ(f.sink.Reports(), std::vector<Report>(std::size(cases), kComplete)) << "no progress, ever";
}

TEST(Crc32, FileThatCannotBeOpenedFailsWith200) {
    ScratchFolder folder;
    const CString held = folder.Write(L"held.bin", "being written");
    HANDLE writer = CreateFileW(held, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const CString paths[] = {folder.PathOf(L"missing.bin"), held, folder.PathOf(L"")};
    Crc32Fixture f;
    for (const CString& path : paths) {
        SCOPED_TRACE(Narrow(path));
        ASSERT_TRUE(f.Check(path));
        EXPECT_EQ(f.sink.Reports().back(), kError);
        EXPECT_EQ(f.crc->GetState(), Crc32::StateFailed);
        EXPECT_EQ(f.crc->GetErrorCode(), 200);
        EXPECT_TRUE(f.crc->GetResult().IsEmpty());
    }
    CloseHandle(writer);
}

TEST(Crc32, ReadThatFailsPartWayFailsWith200) {
    PipeFile pipe;
    ASSERT_TRUE(pipe.IsOpen());
    Crc32Fixture f;
    ASSERT_TRUE(f.crc->Start(pipe.Path()));
    ASSERT_TRUE(pipe.Accept());
    ASSERT_TRUE(pipe.Write(std::string(1000, 'x')));
    pipe.Drain();
    pipe.Disconnect();
    ASSERT_TRUE(f.sink.WaitForFinal(1));
    EXPECT_EQ(f.sink.Reports(), std::vector<Report>{kError})
        << "the checksum of part of the file passed as complete";
    EXPECT_EQ(f.crc->GetErrorCode(), 200);
    EXPECT_TRUE(f.crc->GetResult().IsEmpty());
}

namespace {
void* NoBuffer(size_t) { return nullptr; }
// An allocation that throws, as new does when memory runs out.
void* ThrowingBuffer(size_t) { throw std::bad_alloc(); }
}  // namespace

// Also when the allocation throws on the worker: the run ends with its report, and the process goes on.
TEST(Crc32, ARunWithoutItsBufferFailsWith200) {
    ScratchFolder folder;
    const CString path = folder.Write(L"some.bin", "123456789");
    const struct {
        const char* name;
        Crc32::Allocator allocator;
    } allocators[] = {{"no buffer", &NoBuffer}, {"a throwing allocation", &ThrowingBuffer}};
    for (const auto& a : allocators) {
        SCOPED_TRACE(a.name);
        Crc32Fixture f;
        const Crc32::Allocator previous = Crc32::SetBlockAllocator(a.allocator);
        ASSERT_TRUE(f.crc->Start(path));
        const bool reported = f.sink.WaitForFinal(1, 10000);
        Crc32::SetBlockAllocator(previous);
        ASSERT_TRUE(reported) << "the run ended without a report";
        EXPECT_EQ(f.sink.Reports(), std::vector<Report>{kError});
        EXPECT_EQ(f.crc->GetErrorCode(), 200);
        EXPECT_TRUE(f.crc->GetResult().IsEmpty());
        // The check is free again, and with a buffer it completes.
        ASSERT_TRUE(f.crc->Start(path));
        ASSERT_TRUE(f.sink.WaitForFinal(2));
        EXPECT_STREQ(f.crc->GetResult(), L"3421780262");
    }
}
