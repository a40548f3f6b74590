// The encrypted blocks below were made once with openssl, so the decryption is checked against an independent
// AES implementation. Key: the first 16 characters of the upload object's key text, "7D2A9C41-3B6E-4a":
//   K=37443241394334312d334236452d3461
//   printf 'Sixteen-byte-pw!' | openssl enc -aes-128-ecb -nopad -K $K | base64
//   printf 'ftpuser\0XXXXXXXX' | openssl enc -aes-128-ecb -nopad -K $K | base64
//   (printf 'ftpuser\0XXXXXXXX' | openssl enc -aes-128-ecb -nopad -K $K; printf tail) | base64
//   printf 'p\xe4ss\xf6rd\0\0\0\0\0\0\0\0\0' | openssl enc -aes-128-ecb -nopad -K $K | base64
//   printf 'shortkey!\0\0\0\0\0\0\0' | openssl enc -aes-128-ecb -nopad -K 73686f72740000000000000000000000 |
//   base64
// and the plain blocks that the decryption of a zero-filled block gives:
//   head -c 16 /dev/zero | openssl enc -d -aes-128-ecb -nopad -K $K | xxd -p
//   printf '\1\2\3\4\5\6\7\10\0\0\0\0\0\0\0\0' | openssl enc -d -aes-128-ecb -nopad -K $K | xxd -p
#include "com/Credential.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

const std::string kKeyText = "7D2A9C41-3B6E-4a5d-9E07-C15F28D64B93";

struct Case {
    const char* name;
    std::string base64;
    std::string keyText;
    std::string expected;
};

const Case kCases[] = {
    {"sixteen bytes without a NUL are kept whole", "sUmUKIIppfxdnqnHIQERhg==", kKeyText, "Sixteen-byte-pw!"},
    {"a short credential ends at its NUL; the bytes after it are not read",
     "1Fr5uR53kzdzdQJh/SBSnw==", kKeyText, "ftpuser"},
    {"only the first 16 of more decoded bytes are decrypted", "1Fr5uR53kzdzdQJh/SBSn3RhaWw=", kKeyText,
     "ftpuser"},
    {"empty input decrypts an all-zero block, up to its first NUL", "", kKeyText,
     std::string("\xdc\x01\x4c\xd3\xbb\x3c\x40", 7)},
    {"fewer than 16 decoded bytes are zero-filled", "AQIDBAUGBwg=", kKeyText,
     "\xee\xeb\x6c\x52\x5c\x46\xcc\xb2\xbd\xfb\x98\xca\xf8\x71\x43\x33"},
    {"a key text shorter than 16 bytes is zero-filled", "t3FG0kBgLCeQwfVcD/CwFg==", "short", "shortkey!"},
    {"only the first 16 bytes of the key text are the key",
     "sUmUKIIppfxdnqnHIQERhg==", "7D2A9C41-3B6E-4aXXXX", "Sixteen-byte-pw!"},
};

TEST(DecryptCredential, MatchesBlocksMadeByOpenssl) {
    for (const Case& c : kCases) {
        EXPECT_EQ(DecryptCredential(c.base64, c.keyText), c.expected) << c.name;
    }
}

TEST(DecryptCredential, ADifferentKeyGivesOtherBytes) {
    EXPECT_NE(DecryptCredential("sUmUKIIppfxdnqnHIQERhg==", "8D2A9C41-3B6E-4a"), "Sixteen-byte-pw!");
}

// The text form converts through the ANSI code page both ways (1252 in the tests' Wine prefix).
TEST(DecryptCredentialText, ConvertsThroughTheAnsiCodePage) {
    ASSERT_EQ(GetACP(), 1252u) << "the expected texts assume code page 1252";
    EXPECT_EQ(DecryptCredentialText(L"T5Eb45alzHJmCg+pnCE4Ug==", kKeyText), CString(L"p\u00e4ss\u00f6rd"));
    EXPECT_EQ(DecryptCredentialText(L"sUmUKIIppfxdnqnHIQERhg==", kKeyText), CString(L"Sixteen-byte-pw!"));
    EXPECT_EQ(DecryptCredentialText(L"", kKeyText), CString(L"\u00dc\u0001L\u00d3\u00bb<@"));
}

}  // namespace
