#include "engine/foundation/Md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace vorn;

namespace {

std::string Hex(const unsigned char digest[16]) {
    char out[32];
    MD5::ToHex(digest, out);
    return std::string(out, 32);
}

std::string Md5Hex(const std::string& s) {
    unsigned char d[16];
    MD5().Digest(s.data(), s.size(), d);
    return Hex(d);
}

std::string HmacHex(const std::string& msg, const std::string& key) {
    unsigned char d[16];
    MD5::Hmac(msg.data(), msg.size(), key.data(), key.size(), d);
    return Hex(d);
}

} // namespace

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
    EXPECT_EQ(Md5Hex(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

// Lengths around the padding boundaries (56 bytes left means a second padding block).
TEST(Md5, PaddingBoundaries) {
    EXPECT_EQ(Md5Hex(std::string(55, 'x')), "04364420e25c512fd958a70738aa8f72");
    EXPECT_EQ(Md5Hex(std::string(56, 'x')), "668a72d5ba17f08e62dabcafad6db14b");
    EXPECT_EQ(Md5Hex(std::string(63, 'x')), "7dc2ca208106a2f703567bdff99d8981");
    EXPECT_EQ(Md5Hex(std::string(64, 'x')), "c1bb4f81d892b2d57947682aeb252456");
    EXPECT_EQ(Md5Hex(std::string(119, 'x')), "ab347a5f68c8a443cfcddc633f12c24f");
    EXPECT_EQ(Md5Hex(std::string(120, 'x')), "fb98667f98096de92620b64f46e1c5b5");
    EXPECT_EQ(Md5Hex(std::string(128, 'x')), "d69cb61a6ee87200676eb0d4b90edbcb");
}

TEST(Md5, UpdateThenFinalEqualsDigest) {
    std::string s(200, 'x');
    unsigned char d[16];
    MD5 md;
    md.Update(s.data(), 128);
    md.Final(s.data() + 128, 72, d);
    EXPECT_EQ(Hex(d), Md5Hex(s));
    // Digest restarts the state each time.
    md.Digest("abc", 3, d);
    EXPECT_EQ(Hex(d), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, ToHexIsLowercaseHighNibbleFirst) {
    const unsigned char d[16] = {0x00, 0x01, 0x0f, 0x10, 0x7f, 0x80, 0x9a, 0xab,
                                 0xbc, 0xcd, 0xde, 0xef, 0xf0, 0xfe, 0xff, 0x5a};
    EXPECT_EQ(Hex(d), "00010f107f809aabbccddeeff0feff5a");
}

TEST(Md5, HmacRfc2202) {
    EXPECT_EQ(HmacHex("Hi There", std::string(16, '\x0b')), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(HmacHex("what do ya want for nothing?", "Jefe"), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(HmacHex(std::string(50, '\xdd'), std::string(16, '\xaa')), "56be34521d144c88dbb8c733f0e8b3f6");
    std::string key4;
    for (int i = 1; i <= 25; ++i)
        key4 += static_cast<char>(i);
    EXPECT_EQ(HmacHex(std::string(50, '\xcd'), key4), "697eaf0aca3a3aea3a75164746ffaa79");
    EXPECT_EQ(HmacHex("Test With Truncation", std::string(16, '\x0c')), "56461ef2342edc00f9bab995690efd4c");
    EXPECT_EQ(HmacHex("Test Using Larger Than Block-Size Key - Hash Key First", std::string(80, '\xaa')),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    EXPECT_EQ(HmacHex("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
                      std::string(80, '\xaa')),
              "6f630fad67cda0ee1fb1f562db3aa53e");
}

TEST(Md5, HmacKeyLongerThanBlockIsDigested) {
    auto digestOf = [](const std::string& k) {
        unsigned char d[16];
        MD5().Digest(k.data(), k.size(), d);
        return std::string(reinterpret_cast<char*>(d), 16);
    };
    std::string key65(65, 'k');
    EXPECT_EQ(HmacHex("msg", key65), HmacHex("msg", digestOf(key65)));
    std::string key64(64, 'k');
    EXPECT_NE(HmacHex("msg", key64), HmacHex("msg", digestOf(key64)));
    // A 64-byte key is used as it is: zero padding makes a shorter prefix differ.
    EXPECT_NE(HmacHex("msg", key64), HmacHex("msg", std::string(63, 'k')));
}
