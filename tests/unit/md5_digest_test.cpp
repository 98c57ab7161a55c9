#include "md5_digest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Hex(const char* pszText) {
    return CMD5Digest(pszText).GetHex();
}

TEST(MD5Digest, MatchesTheRfc1321TestSuite) {
    EXPECT_EQ(Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Hex("1234567890123456789012345678901234567890123456789012345678901234567890"
                  "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(MD5Digest, MatchesTheRfc1939ApopExample) {
    EXPECT_EQ(Hex("<1896.697170952@dbc.mtview.ca.us>tanstaaf"), "c4c9334bac560ecc979e58001b3e22fb");
}

TEST(MD5Digest, HandlesEveryLengthAroundTheBlockBoundaries) {
    // Lengths 55, 56 and 64 take the padding into a second block.
    EXPECT_EQ(Hex(std::string(55, 'a').c_str()), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Hex(std::string(56, 'a').c_str()), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Hex(std::string(64, 'a').c_str()), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(Hex(std::string(1000, 'a').c_str()), "cabe45dcc9ae5b66ba86600cca6b8ba8");
}

TEST(MD5Digest, DigestsBytesBeyondAscii) {
    const unsigned char bytes[] = {0x00, 0xff, 0x80, 0x7f};
    EXPECT_STREQ(CMD5Digest(bytes, sizeof bytes).GetHex(), "35913419231430075897c28e5e159b65");
}

}  // namespace
