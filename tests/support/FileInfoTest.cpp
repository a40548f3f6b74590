#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/FileInfo.h"
#include "support/Platform.h"
#include "support/TestFiles.h"

namespace {

struct ShownBox {
    HWND owner;
    std::wstring text;
    std::wstring caption;
    UINT type;
};
std::vector<ShownBox> shownBoxes;

int RecordBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    shownBoxes.push_back({owner, text ? text : L"<null>", caption ? caption : L"<null>", type});
    return IDOK;
}

// Every FileInfo test runs with the message box replaced by a recorder (a real box would block the test).
class FileInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        shownBoxes.clear();
        previous_ = Tamsic::Platform::SetMessageBoxFunction(RecordBox);
    }
    void TearDown() override { Tamsic::Platform::SetMessageBoxFunction(previous_); }

    testfiles::TempFolder folder_;
    Tamsic::Platform::MessageBoxFunction previous_ = nullptr;
};

}  // namespace

TEST_F(FileInfoTest, MissingFileShowsTheErrorBoxAndMeasuresZero) {
    const std::wstring path = folder_.File(L"没有这个文件.bin");
    Tamsic::IO::FileInfo info(CString(path.c_str()));
    EXPECT_EQ(info.GetSize(), 0);
    ASSERT_EQ(shownBoxes.size(), 1u);
    EXPECT_EQ(shownBoxes[0].text, L"打开文件错误，错误码：2，文件路径：" + path);
    EXPECT_EQ(shownBoxes[0].caption, L"000");
    EXPECT_EQ(shownBoxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(shownBoxes[0].owner, nullptr);
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
    EXPECT_TRUE(shownBoxes.empty());

    // Once the file is gone the box shows and the last size measured stays.
    ASSERT_TRUE(testfiles::WriteBytes(path, std::string(5, 'c')));
    EXPECT_EQ(info.GetSize(), 5);
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    EXPECT_EQ(info.GetSize(), 5);
    EXPECT_EQ(shownBoxes.size(), 1u);
}

TEST_F(FileInfoTest, SizePastFourGibibytes) {
    const std::wstring path = folder_.File(L"large.bin");
    ASSERT_TRUE(testfiles::MakeSparseFile(path, 5000000000LL));
    Tamsic::IO::FileInfo info(CString(path.c_str()));
    EXPECT_EQ(info.GetSize(), 5000000000LL);
    EXPECT_TRUE(shownBoxes.empty());
    ASSERT_TRUE(DeleteFileW(path.c_str()));
}

TEST_F(FileInfoTest, FolderShowsTheBoxWithTheRuntimesErrorNumber) {
    Tamsic::IO::FileInfo info(CString(folder_.Path().c_str()));
    EXPECT_EQ(info.GetSize(), 0);
    ASSERT_EQ(shownBoxes.size(), 1u);
    EXPECT_EQ(shownBoxes[0].text, L"打开文件错误，错误码：13，文件路径：" + folder_.Path());
    EXPECT_FALSE(info.HasError());
}
