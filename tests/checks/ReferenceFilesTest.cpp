// The checkers against Python's hashlib and zlib, over the files make_check_files.py wrote at build time.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

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
