#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/TestFiles.h"
#include "support/MapFile.h"

namespace {

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 65536 + 3) & 0xFF);
    return bytes;
}

class MapFileTest : public ::testing::Test {
protected:
    testfiles::TempFolder folder_;
};

// Reads the file the way both callers do: a buffer of granularity + 1 bytes, blocks of granularity, until 0.
// Checks every block's bytes and the zeros that follow them, and returns the block lengths.
std::vector<long long> ReadAllBlocks(const std::wstring& path, const std::string& content) {
    Tamsic::IO::MapFile map;
    EXPECT_TRUE(map.Open(CString(path.c_str())));
    const int length = static_cast<int>(map.GetAllocationGranularity());
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vector<long long> blocks;
    size_t position = 0;
    for (int guard = 0; guard < 100; ++guard) {
        std::fill(buffer.begin(), buffer.end(), '\xCC');  // stale bytes the read must clear
        const long long n = map.Read(buffer.data(), length);
        blocks.push_back(n);
        if (n == 0) {
            EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(length)),
                      std::string(static_cast<size_t>(length), '\0'))
                << "the read at the end clears the buffer too";
            break;
        }
        EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(n)),
                  content.substr(position, static_cast<size_t>(n)))
            << "block at " << position;
        EXPECT_EQ(std::string(buffer.data() + n, static_cast<size_t>(length - n)),
                  std::string(static_cast<size_t>(length - n), '\0'))
            << "the rest of the block at " << position << " must be zeros";
        position += static_cast<size_t>(n);
    }
    EXPECT_EQ(map.Read(buffer.data(), length), 0) << "the end stays the end";
    EXPECT_FALSE(map.HasError());
    map.Close();
    return blocks;
}

}  // namespace

TEST_F(MapFileTest, GranularityIsTheSystemsAllocationGranularity) {
    Tamsic::IO::MapFile map;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    EXPECT_EQ(map.GetAllocationGranularity(), info.dwAllocationGranularity);
    EXPECT_GT(map.GetAllocationGranularity(), 0u);
}

TEST_F(MapFileTest, ThreeBlocksAndOneByte) {
    const size_t g = Tamsic::IO::MapFile().GetAllocationGranularity();
    const std::wstring path = folder_.File(L"3g+1.bin");
    const std::string content = Pattern(3 * g + 1);
    ASSERT_TRUE(testfiles::WriteBytes(path, content));
    const long long full = static_cast<long long>(g);
    EXPECT_EQ(ReadAllBlocks(path, content), (std::vector<long long>{full, full, full, 1, 0}));
}

TEST_F(MapFileTest, ExactlyTwoBlocks) {
    const size_t g = Tamsic::IO::MapFile().GetAllocationGranularity();
    const std::wstring path = folder_.File(L"2g.bin");
    const std::string content = Pattern(2 * g);
    ASSERT_TRUE(testfiles::WriteBytes(path, content));
    const long long full = static_cast<long long>(g);
    EXPECT_EQ(ReadAllBlocks(path, content), (std::vector<long long>{full, full, 0}));
}

TEST_F(MapFileTest, FileSmallerThanOneBlock) {
    const std::wstring path = folder_.File(L"small.bin");
    ASSERT_TRUE(testfiles::WriteBytes(path, "abc"));
    EXPECT_EQ(ReadAllBlocks(path, "abc"), (std::vector<long long>{3, 0}));
}

TEST_F(MapFileTest, MissingFileFailsToOpenWithOneThenReadFailsWithThree) {
    Tamsic::IO::MapFile map;
    EXPECT_FALSE(map.Open(CString(folder_.File(L"missing.bin").c_str())));
    EXPECT_TRUE(map.HasError());
    EXPECT_EQ(map.GetErrorCode(), 1);
    char buffer[16];
    // Callers read on after a failed Open; the read must end their loop at once.
    EXPECT_EQ(map.Read(buffer, sizeof(buffer)), 0);
    EXPECT_EQ(map.GetErrorCode(), 3);
    EXPECT_EQ(map.GetOffset(), 0);
    map.Close();
}

TEST_F(MapFileTest, FileHeldWithoutSharedReadingFailsToOpenWithOne) {
    const std::wstring path = folder_.File(L"locked.bin");
    ASSERT_TRUE(testfiles::WriteBytes(path, Pattern(100)));
    HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    Tamsic::IO::MapFile map;
    EXPECT_FALSE(map.Open(CString(path.c_str())));
    EXPECT_EQ(map.GetErrorCode(), 1);
    CloseHandle(exclusive);
}

TEST_F(MapFileTest, EmptyFileFailsToOpenWithTwo) {
    const std::wstring path = folder_.File(L"empty.bin");
    ASSERT_TRUE(testfiles::WriteBytes(path, std::string()));
    Tamsic::IO::MapFile map;
    EXPECT_FALSE(map.Open(CString(path.c_str())));
    EXPECT_EQ(map.GetErrorCode(), 2);
    char buffer[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(map.Read(buffer, sizeof(buffer)), 0);
    EXPECT_EQ(std::string(buffer, 8), std::string(8, '\0'))
        << "the buffer is cleared even when nothing is read";
    EXPECT_EQ(map.GetErrorCode(), 3);
    map.Close();
}

TEST_F(MapFileTest, ReadAfterCloseRaisesThree) {
    const std::wstring path = folder_.File(L"gone.bin");
    ASSERT_TRUE(testfiles::WriteBytes(path, Pattern(100)));
    Tamsic::IO::MapFile map;
    ASSERT_TRUE(map.Open(CString(path.c_str())));
    map.Close();
    char buffer[16];
    EXPECT_EQ(map.Read(buffer, sizeof(buffer)), 0);
    EXPECT_TRUE(map.HasError());
    EXPECT_EQ(map.GetErrorCode(), 3);
    EXPECT_EQ(map.GetOffset(), 0);
}

TEST_F(MapFileTest, ReadAtAnUnalignedOffset) {
    const size_t g = Tamsic::IO::MapFile().GetAllocationGranularity();
    const std::wstring path = folder_.File(L"resume.bin");
    const std::string content = Pattern(2 * g + 10);
    ASSERT_TRUE(testfiles::WriteBytes(path, content));
    Tamsic::IO::MapFile map;
    ASSERT_TRUE(map.Open(CString(path.c_str())));
    const int length = static_cast<int>(g);
    std::vector<char> buffer(g + 1);
    map.SetOffset(static_cast<long long>(g) + 5);
    ASSERT_EQ(map.Read(buffer.data(), length), static_cast<long long>(g));
    EXPECT_EQ(std::string(buffer.data(), g), content.substr(g + 5, g));
    EXPECT_EQ(map.Read(buffer.data(), length), 5);
    EXPECT_EQ(std::string(buffer.data(), 5), content.substr(2 * g + 5, 5));
    EXPECT_EQ(map.Read(buffer.data(), length), 0);
    EXPECT_FALSE(map.HasError());
    map.Close();
}

TEST_F(MapFileTest, OffsetsPastFourGibibytes) {
    const std::wstring path = folder_.File(L"large.bin");
    const long long size = 5000000000LL;
    const long long markerAt = 4500000001LL;  // neither a 32-bit value nor on a block boundary
    ASSERT_TRUE(testfiles::MakeSparseFile(path, size, markerAt, "MARK"));
    {
        Tamsic::IO::MapFile map;
        ASSERT_TRUE(map.Open(CString(path.c_str())));
        EXPECT_EQ(map.GetSize(), size);
        const int length = static_cast<int>(map.GetAllocationGranularity());
        std::vector<char> buffer(static_cast<size_t>(length) + 1);

        map.SetOffset(markerAt - 1);
        ASSERT_EQ(map.Read(buffer.data(), length), length);
        EXPECT_EQ(std::string(buffer.data(), 6), std::string("\0MARK\0", 6));

        map.SetOffset(size - 3);
        EXPECT_EQ(map.Read(buffer.data(), length), 3) << "the short last block past 4 GiB";
        EXPECT_EQ(map.Read(buffer.data(), length), 0);
        EXPECT_FALSE(map.HasError());
        map.Close();
    }
    ASSERT_TRUE(DeleteFileW(path.c_str()));
}

// Another program cuts the file short after it was mapped: the pages past the new end can no longer be read.
// A plain copy out of the view would end the process; the read fails with 3 instead, its buffer cleared, and
// a view handed out in place (for a socket) reads as unreadable memory rather than as bytes of the file.
TEST_F(MapFileTest, AFileCutShortAfterItWasMappedFailsTheReadWithThreeAndTheProcessLivesOn) {
    const size_t g = Tamsic::IO::MapFile().GetAllocationGranularity();
    const std::wstring path = folder_.File(L"cut.bin");
    const std::string content = Pattern(3 * g);
    ASSERT_TRUE(testfiles::WriteBytes(path, content));
    Tamsic::IO::MapFile map;
    ASSERT_TRUE(map.Open(CString(path.c_str())));
    if (!testfiles::CutShortFromOutside(path, 1000))
        GTEST_SKIP() << "no program here can cut a mapped file short";

    std::vector<char> buffer(g + 1, '\xCC');
    EXPECT_EQ(map.Read(buffer.data(), static_cast<int>(g)), 0);
    EXPECT_EQ(map.GetErrorCode(), 3);
    EXPECT_EQ(std::string(buffer.data(), g), std::string(g, '\0'))
        << "nothing of the block is passed off as read";

    int64_t count = 0;
    UniqueMappedView view;
    const char* bytes = map.MapNext(static_cast<int>(g), count, view);
    ASSERT_NE(bytes, nullptr) << "the view itself maps: only its pages are gone";
    EXPECT_EQ(count, static_cast<int64_t>(g));
    SIZE_T copied = 0;
    EXPECT_FALSE(
        ReadProcessMemory(GetCurrentProcess(), bytes, buffer.data(), static_cast<SIZE_T>(g), &copied));
    map.Close();
}
