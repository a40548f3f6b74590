#include <gtest/gtest.h>

#include <string>

#include "CheckTestSupport.h"
#include "engine/MD5.h"

namespace {

struct Vector {
    const char* message;
    const char* digest;
};

// The test suite of RFC 1321, appendix A.5.
const Vector kRfcSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

std::string DigestInPieces(const std::string& message, size_t piece) {
    MD5 digest;
    for (size_t at = 0; at < message.size(); at += piece)
        digest.Update(reinterpret_cast<const uint8_t*>(message.data()) + at,
                      std::min(piece, message.size() - at));
    return digest.ToString();
}

}  // namespace

TEST(MD5, GivesTheDigestsOfTheRfcSuite) {
    for (const Vector& v : kRfcSuite) {
        SCOPED_TRACE(v.message);
        EXPECT_EQ(Md5Of(v.message), v.digest);
    }
}

TEST(MD5, GivesTheSameDigestWhateverThePiecesOfTheMessage) {
    // Piece sizes across the 64-byte block: the buffer must carry the rest of a piece into the next Update.
    const std::string million(1000000, 'a');
    for (size_t piece : {1, 3, 55, 56, 63, 64, 65, 127, 4096, 65536}) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(DigestInPieces(million, piece), "7707d6ae4e027c70eea2a935c2296f21");
    }
    const std::string last = kRfcSuite[6].message;
    for (size_t cut = 0; cut <= last.size(); ++cut) {
        MD5 digest;
        digest.Update(reinterpret_cast<const uint8_t*>(last.data()), cut);
        digest.Update(reinterpret_cast<const uint8_t*>(last.data()) + cut, last.size() - cut);
        EXPECT_EQ(digest.ToString(), kRfcSuite[6].digest) << "cut at " << cut;
    }
}

TEST(MD5, ToStringPadsOnceAndResetStartsOver) {
    MD5 digest;
    digest.Update(reinterpret_cast<const uint8_t*>("abc"), 3);
    EXPECT_EQ(digest.ToString(), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(digest.ToString(), "900150983cd24fb0d6963f7d28e17f72");

    digest.Reset();
    digest.Update(reinterpret_cast<const uint8_t*>("a"), 1);
    EXPECT_EQ(digest.ToString(), "0cc175b9c0f1b6a831c399e269772661");
}

TEST(MD5, BytesToHexWritesTwoLowerCaseDigitsPerByteHighHalfFirst) {
    const uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff, 0x5c};
    EXPECT_EQ(MD5::BytesToHex(bytes, sizeof bytes), "000fa0ff5c");
    EXPECT_EQ(MD5::BytesToHex(bytes, 0), "");
}
