#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/MessageBoxRecorder.h"
#include "common/TestFiles.h"
#include "support/FileInfo.h"

namespace {

// Every FileInfo test runs with the message box replaced by a recorder (a real box would block the test).
class FileInfoTest : public ::testing::Test {
protected:
    testfiles::TempFolder folder_;
    testcommon::MessageBoxRecorder boxes_;
};

}  // namespace

TEST_F(FileInfoTest, MissingFileShowsTheErrorBoxAndMeasuresZero) {
    const std::wstring path = folder_.File(L"没有这个文件.bin");
    Tamsic::IO::FileInfo info(CString(path.c_str()));
    EXPECT_EQ(info.GetSize(), 0);
    ASSERT_EQ(boxes_.Boxes().size(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text, L"打开文件错误，错误码：2，文件路径：" + path);
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"000");
    EXPECT_EQ(boxes_.Boxes()[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(boxes_.Boxes()[0].owner, nullptr);
    EXPECT_FALSE(info.HasError()) << "FileInfo reports a missing file only through the box";
    EXPECT_STREQ(info.GetPath(), path.c_str());
}

TEST_F(FileInfoTest, EverySizeRequestMeasuresAnew) {
    const std::wstring path = folder_.File(L"grows.bin");
    ASSERT_TRUE(testfiles::WriteBytes(path, std::string(10, 'a')));
    Tamsic::IO::FileInfo info(CString(path.c_str()));
    EXPECT_EQ(info.GetSize(), 10);
    ASSERT_TRUE(testfiles::WriteBytes(path, std::string(70000, 'b')));
    EXPECT_EQ(info.GetSize(), 70000);
    ASSERT_TRUE(testfiles::WriteBytes(path, std::string()));
    EXPECT_EQ(info.GetSize(), 0);
    EXPECT_TRUE(boxes_.Boxes().empty());

    // Once the file is gone the box shows and the last size measured stays.
    ASSERT_TRUE(testfiles::WriteBytes(path, std::string(5, 'c')));
    EXPECT_EQ(info.GetSize(), 5);
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    EXPECT_EQ(info.GetSize(), 5);
    EXPECT_EQ(boxes_.Boxes().size(), 1u);
}

TEST_F(FileInfoTest, SizePastFourGibibytes) {
    const std::wstring path = folder_.File(L"large.bin");
    ASSERT_TRUE(testfiles::MakeSparseFile(path, 5000000000LL));
    Tamsic::IO::FileInfo info(CString(path.c_str()));
    EXPECT_EQ(info.GetSize(), 5000000000LL);
    EXPECT_TRUE(boxes_.Boxes().empty());
    ASSERT_TRUE(DeleteFileW(path.c_str()));
}

TEST_F(FileInfoTest, FolderShowsTheBoxWithTheRuntimesErrorNumber) {
    Tamsic::IO::FileInfo info(CString(folder_.Path().c_str()));
    EXPECT_EQ(info.GetSize(), 0);
    ASSERT_EQ(boxes_.Boxes().size(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text, L"打开文件错误，错误码：13，文件路径：" + folder_.Path());
    EXPECT_FALSE(info.HasError());
}
