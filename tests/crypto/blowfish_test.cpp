#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/blowfish.h"
#include "test_util.h"

namespace {

uint32_t BigEndianWord(const std::vector<uint8_t>& bytes, size_t at) {
    return (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) |
           (uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}

BlowfishContext Keyed(const std::vector<uint8_t>& key) {
    BlowfishContext ctx;
    EXPECT_TRUE(BlowfishInitialize(&ctx, key.data(), static_cast<uint32_t>(key.size())));
    return ctx;
}

bool SameContext(const BlowfishContext& a, const BlowfishContext& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The published ECB known-answer vectors (key, plaintext, ciphertext; halves read
// big-endian) whose keys give the same key words under the sign-extending
// schedule: no key byte of 0x80 or more follows a byte other than 0xFF within its
// group of four. Those are the keys 0000..., FFFF..., 3000..., 1111...,
// 0101..., 1F1F1F1F0E0E0E0E.
const char* const kEcbVectors[][3] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
};

TEST(Blowfish, InitialTablesAreTheDigitsOfPi) {
    EXPECT_EQ(0x243F6A88u, kBlowfishInitialTables.P[0]);
    EXPECT_EQ(0x85A308D3u, kBlowfishInitialTables.P[1]);
    EXPECT_EQ(0x3AC372E6u, kBlowfishInitialTables.S[3][255]);
}

TEST(Blowfish, PublishedVectorsEncipherAndDecipher) {
    for (const auto& v : kEcbVectors) {
        SCOPED_TRACE(v[0]);
        const BlowfishContext ctx = Keyed(FromHex(v[0]));
        const std::vector<uint8_t> plain = FromHex(v[1]);
        const std::vector<uint8_t> cipher = FromHex(v[2]);
        uint32_t left = BigEndianWord(plain, 0);
        uint32_t right = BigEndianWord(plain, 4);
        ASSERT_TRUE(BlowfishEncipher(&ctx, &left, &right));
        EXPECT_EQ(BigEndianWord(cipher, 0), left);
        EXPECT_EQ(BigEndianWord(cipher, 4), right);
        ASSERT_TRUE(BlowfishDecipher(&ctx, &left, &right));
        EXPECT_EQ(BigEndianWord(plain, 0), left);
        EXPECT_EQ(BigEndianWord(plain, 4), right);
    }
}

TEST(Blowfish, KeyBytesAreSignExtended) {
    // A fourth byte of 0x80 or more makes the first key word 0xFFFFFFxx whatever
    // the three bytes before it; 0xFF bytes in front give that word directly.
    EXPECT_TRUE(
        SameContext(Keyed(FromHex("0123458011223344")), Keyed(FromHex("FFFFFF8011223344"))));
    EXPECT_TRUE(
        SameContext(Keyed(FromHex("7A00C3F011223344")), Keyed(FromHex("FFFFFFF011223344"))));
    // A high byte in the second position only fills the first position.
    EXPECT_TRUE(SameContext(Keyed(FromHex("129A5634")), Keyed(FromHex("FF9A5634"))));
    // A high byte in the first position changes nothing, and high bits matter.
    EXPECT_FALSE(SameContext(Keyed(FromHex("80123456")), Keyed(FromHex("FF123456"))));
    EXPECT_FALSE(
        SameContext(Keyed(FromHex("0123458011223344")), Keyed(FromHex("0123457F11223344"))));
    // So this published vector does not hold under the sign-extending schedule.
    const BlowfishContext ctx = Keyed(FromHex("0123456789ABCDEF"));
    uint32_t left = 0x11111111, right = 0x11111111;
    BlowfishEncipher(&ctx, &left, &right);
    EXPECT_FALSE(left == 0x61F9C380u && right == 0x2281B096u);
}

TEST(Blowfish, KeyLengthAndCycling) {
    const std::vector<uint8_t> key20 = FromHex("000102030405060708090A0B0C0D0E0F10111213");
    const std::vector<uint8_t> key16(key20.begin(), key20.begin() + 16);
    EXPECT_TRUE(SameContext(Keyed(key20), Keyed(key16)));
    // A 5-byte key runs on across word boundaries (bytes 0-3, then 4 0 1 2, ...),
    // so it acts as its doubled 10-byte form; 16 bytes of it restart elsewhere.
    const std::vector<uint8_t> key5 = FromHex("0102030405");
    EXPECT_FALSE(SameContext(Keyed(key5), Keyed(Repeat(key5, 16))));
    EXPECT_TRUE(SameContext(Keyed(key5), Keyed(FromHex("01020304050102030405"))));
}

TEST(Blowfish, DecipherInvertsEncipherAndNullsAreRefused) {
    const BlowfishContext ctx = Keyed(FromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F"));
    uint32_t left = 1, right = 2;
    for (int i = 0; i < 100; ++i) {  // 100 chained encipherments, then back
        BlowfishEncipher(&ctx, &left, &right);
    }
    EXPECT_FALSE(left == 1 && right == 2);
    for (int i = 0; i < 100; ++i) {
        BlowfishDecipher(&ctx, &left, &right);
    }
    EXPECT_EQ(1u, left);
    EXPECT_EQ(2u, right);
    EXPECT_FALSE(BlowfishEncipher(nullptr, &left, &right));
    EXPECT_FALSE(BlowfishEncipher(&ctx, nullptr, &right));
    EXPECT_FALSE(BlowfishDecipher(&ctx, &left, nullptr));
    EXPECT_FALSE(BlowfishDecipher(nullptr, &left, &right));
    EXPECT_FALSE(BlowfishInitialize(nullptr, reinterpret_cast<const uint8_t*>("k"), 1));
    EXPECT_EQ(1u, left);
    EXPECT_EQ(2u, right);
}

// The block loop reads each 8 bytes as two little-endian words, left first, and
// leaves the bytes past its count alone; a refused cipher touches nothing.
TEST(Blowfish, BlocksRunInLittleEndianWordsAndStopAtTheCount) {
    const BlowfishContext ctx = Keyed(FromHex("0123456789ABCDEF"));
    std::vector<uint8_t> data(20);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(0x11 * i + 3);
    }
    const std::vector<uint8_t> plain = data;
    EXPECT_EQ(BlowfishEncipherBlocks(&ctx, data.data(), 2), 2u);
    for (size_t block = 0; block < 2; ++block) {
        const uint8_t* p = plain.data() + 8 * block;
        uint32_t left = p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
        uint32_t right = p[4] | p[5] << 8 | p[6] << 16 | uint32_t{p[7]} << 24;
        BlowfishEncipher(&ctx, &left, &right);
        const uint8_t* q = data.data() + 8 * block;
        EXPECT_EQ(q[0] | q[1] << 8 | q[2] << 16 | uint32_t{q[3]} << 24, left) << block;
        EXPECT_EQ(q[4] | q[5] << 8 | q[6] << 16 | uint32_t{q[7]} << 24, right) << block;
    }
    EXPECT_TRUE(std::equal(data.begin() + 16, data.end(), plain.begin() + 16));
    EXPECT_EQ(BlowfishDecipherBlocks(&ctx, data.data(), 2), 2u);
    EXPECT_EQ(data, plain);

    EXPECT_EQ(BlowfishEncipherBlocks(nullptr, data.data(), 2), 0u);
    EXPECT_EQ(BlowfishDecipherBlocks(nullptr, data.data(), 2), 0u);
    EXPECT_EQ(data, plain);
}

}  // namespace
