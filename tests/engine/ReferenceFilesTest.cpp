// The checkers against Python's hashlib and zlib, over the files make_check_files.py wrote at build time.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "CheckTestSupport.h"
#include "engine/Crc32.h"
#include "engine/Md5Checker.h"

#define KORVANE_WIDEN2(text) L##text
#define KORVANE_WIDEN(text) KORVANE_WIDEN2(text)

namespace {

struct ReferenceFile {
    std::string name;
    long long size;
    std::string md5;
    std::string crc;
    CString path;
};

std::vector<ReferenceFile> LoadReferenceFiles() {
    std::vector<ReferenceFile> files;
    std::ifstream list(KORVANE_CHECK_FILES "/expected.txt");
    ReferenceFile file;
    while (list >> file.name >> file.size >> file.md5 >> file.crc) {
        file.path = CString(KORVANE_WIDEN(KORVANE_CHECK_FILES)) + L"/";
        for (char c : file.name) file.path += static_cast<wchar_t>(c);
        file.path += L".bin";
        files.push_back(file);
    }
    return files;
}

std::string ReadWhole(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The methods this processor can run: the tables always, the folding where it has the instructions.
std::vector<Crc32Method> RunnableMethods() {
    std::vector<Crc32Method> methods{Crc32Method::Table};
    if (Crc32::HasFolding()) methods.push_back(Crc32Method::Folding);
    return methods;
}

const char* NameOf(Crc32Method method) { return method == Crc32Method::Table ? "table" : "folding"; }

uint32_t Crc32Of(const Crc32& crc, Crc32Method method, const std::string& bytes, size_t offset,
                 size_t length) {
    return ~crc.Update(0xFFFFFFFFu, reinterpret_cast<const uint8_t*>(bytes.data()) + offset, length, method);
}

}  // namespace

TEST(ReferenceFiles, Md5CheckerAgreesWithHashlib) {
    const std::vector<ReferenceFile> files = LoadReferenceFiles();
    ASSERT_GE(files.size(), 10u) << "reference files missing in " KORVANE_CHECK_FILES;
    FakeTick tick(0, 0);
    Md5Recorder sink;
    Md5Checker checker;
    checker.SetSink(&sink);
    int finals = 0;
    for (const ReferenceFile& file : files) {
        SCOPED_TRACE(file.name);
        checker.SetFilePath(file.path);
        ASSERT_TRUE(checker.Start());
        ASSERT_TRUE(sink.WaitForFinal(++finals));
        if (file.size == 0) {
            EXPECT_EQ(sink.Reports().back().what, "error");
            EXPECT_EQ(checker.GetErrorCode(), 201);
        } else {
            EXPECT_EQ(sink.Reports().back().what, "complete");
            EXPECT_EQ(Narrow(checker.GetResult()), file.md5);
        }
    }
}

TEST(ReferenceFiles, Crc32AgreesWithZlib) {
    const std::vector<ReferenceFile> files = LoadReferenceFiles();
    ASSERT_GE(files.size(), 10u) << "reference files missing in " KORVANE_CHECK_FILES;
    Crc32Recorder sink;
    Crc32 crc;
    crc.SetSink(&sink);
    int finals = 0;
    for (const ReferenceFile& file : files) {
        SCOPED_TRACE(file.name);
        ASSERT_TRUE(crc.Start(file.path));
        ASSERT_TRUE(sink.WaitForFinal(++finals));
        EXPECT_EQ(sink.Reports().back().what, "complete");
        EXPECT_EQ(Narrow(crc.GetResult()), file.crc);
    }
}

// Every start within 16 bytes of alignment, and lengths through every step of the folding (under 64 bytes,
// whole 64-byte rounds, 16-byte rounds after them, tails under 16).
TEST(ReferenceFiles, Crc32MethodsAgreeWithZlibOnEverySpan) {
    const std::string bytes = ReadWhole(KORVANE_CHECK_FILES "/spans.bin");
    ASSERT_EQ(bytes.size(), 6000u);
    std::ifstream list(KORVANE_CHECK_FILES "/spans.txt");
    Crc32 crc;
    size_t offset, length;
    uint32_t expected;
    int spans = 0;
    while (list >> offset >> length >> expected) {
        ++spans;
        ASSERT_LE(offset + length, bytes.size());
        for (Crc32Method method : RunnableMethods())
            ASSERT_EQ(Crc32Of(crc, method, bytes, offset, length), expected)
                << NameOf(method) << " at offset " << offset << ", length " << length;
    }
    EXPECT_GT(spans, 7000) << "spans.txt incomplete";
}

TEST(ReferenceFiles, Crc32MethodsAgreeWithZlibOnWholeFiles) {
    const std::vector<ReferenceFile> files = LoadReferenceFiles();
    ASSERT_GE(files.size(), 10u) << "reference files missing in " KORVANE_CHECK_FILES;
    Crc32 crc;
    for (const ReferenceFile& file : files) {
        const std::string bytes = ReadWhole((KORVANE_CHECK_FILES "/" + file.name + ".bin").c_str());
        ASSERT_EQ(static_cast<long long>(bytes.size()), file.size) << file.name;
        for (Crc32Method method : RunnableMethods())
            EXPECT_EQ(std::to_string(Crc32Of(crc, method, bytes, 0, bytes.size())), file.crc)
                << NameOf(method) << " on " << file.name;
    }
}
