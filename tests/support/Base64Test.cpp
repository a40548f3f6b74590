#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/TestFiles.h"
#include "support/Base64.h"

namespace {
std::string Decode(const std::string& text) {
    return Base64Decode(text.data(), static_cast<int>(text.size()));
}
}  // namespace

TEST(Base64Decode, Groups) {
    const struct {
        std::string text;
        std::string bytes;
        const char* what;
    } cases[] = {
        {"TWFu", "Man", "a group without padding gives three bytes"},
        {"TWE=", "Ma", "a fourth '=' gives two"},
        {"TQ==", "M", "a third '=' gives one"},
        {"TQ=x", "M", "a third '=' ends the group whatever follows"},
        {"TWFuTWFu", "ManMan", "groups follow each other"},
        {"TWFu\r\nTWFu", "ManMan", "CR LF between groups is skipped"},
        {"\nTWFu\r\r\n\nTWE=\n", "ManMa", "line breaks anywhere a group would begin"},
        {"T\r\nu", std::string("\x4C\x00\x2E", 3), "CR and LF inside a group count as 0"},
        {"T\r\nuTWFu", std::string("\x4C\x00\x2E", 3) + "Man", "the group still takes four characters"},
        {"TW\nu", std::string("\x4D\x60\x2E", 3), "LF in the third place"},
        {"TWF\r", std::string("\x4D\x61\x40", 3), "CR in the fourth place"},
        {"!!!!", std::string(3, '\0'), "characters outside the alphabet count as 0"},
        {"=WFu",
         "\x01"
         "an",
         "'=' first counts as 0"},
        {"+/+/", "\xFB\xFF\xBF", "the two last letters of the alphabet"},
        {"PwD/EIB/Af4gDQo9AACqVQ==",
         std::string("\x3F\x00\xFF\x10\x80\x7F\x01\xFE\x20\x0D\x0A\x3D\x00\x00\xAA\x55", 16),
         "a credential block: 24 characters give 16 bytes, NULs included"},
    };
    for (const auto& c : cases) EXPECT_EQ(Decode(c.text), c.bytes) << c.what << ": [" << c.text << "]";
}

TEST(Base64Decode, EveryByteValueWithMimeLineBreaks) {
    const std::string text =
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\r\n"
        "OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3Bx\r\n"
        "cnN0dXZ3eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmq\r\n"
        "q6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj\r\n"
        "5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w==\r\n";
    std::string expected(256, '\0');
    for (int i = 0; i < 256; ++i) expected[static_cast<size_t>(i)] = static_cast<char>(i);
    EXPECT_EQ(Decode(text), expected);
}

TEST(Base64Decode, LengthBoundsTheText) {
    EXPECT_EQ(Base64Decode("TWFu", 0), "");
    EXPECT_EQ(Base64Decode("TWFu", -4), "");
    EXPECT_EQ(Base64Decode(nullptr, 8), "");
    EXPECT_EQ(Base64Decode("TWFuTWFu", 4), "Man") << "text after the length is not read";
    EXPECT_EQ(Base64Decode("\r\n", 2), "");
}

TEST(Base64Decode, ShortLastGroupDecodesWhatItHasAndReadsNoFurther) {
    // Each text ends where an inaccessible page begins: a read past the length would crash the test.
    const struct {
        const char* text;
        std::string bytes;
    } cases[] = {
        {"TWFuTWE", "ManMa"},                        // as if "TWE="
        {"TWFuTQ", "ManM"},                          // as if "TQ=="
        {"TWFuTQ=", "ManM"},  {"TWFuT", "Man\x4C"},  // one character still gives its high bits
        {"T", "\x4C"},        {"TWFu\r\n", "Man"},
    };
    for (const auto& c : cases) {
        const size_t length = std::strlen(c.text);
        testfiles::GuardedBuffer guarded(c.text, length);
        EXPECT_EQ(Base64Decode(guarded.As<char>(), static_cast<int>(length)), c.bytes)
            << "[" << c.text << "]";
    }
}
