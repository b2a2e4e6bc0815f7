#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/sha1.h"
#include "test_util.h"

namespace {

std::vector<uint8_t> Text(const char* text) {
    return std::vector<uint8_t>(text, text + std::strlen(text));
}

// Feeds the message in pieces that end at the given offsets; returns the digest.
std::string DigestInPieces(const std::vector<uint8_t>& message, const std::vector<size_t>& cuts) {
    Sha1Context ctx;
    Sha1Initialize(&ctx);
    size_t from = 0;
    for (size_t to : cuts) {
        Sha1Update(&ctx, message.data() + from, static_cast<uint32_t>(to - from));
        from = to;
    }
    Sha1Update(&ctx, message.data() + from, static_cast<uint32_t>(message.size() - from));
    Sha1Final(&ctx);
    uint8_t digest[SHA1_DIGEST_SIZE];
    Sha1GetDigest(&ctx, digest);
    return ToHex(digest, sizeof digest);
}

struct HashVector {
    const char* text;  // the message, repeated to `length` bytes
    size_t length;
    const char* digest;
};
// FIPS 180-1's three messages, the empty message, and FIPS 180-2's 112-byte one.
const HashVector kHashVectors[] = {
    {"abc", 3, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 56,
     "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {"", 0, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnop"
     "qrsmnopqrstnopqrstu",
     112, "a49b2446a02c645bf419f995b67091253a04a259"},
};

TEST(Sha1, PublishedDigestsInOneShotBytewiseAndSplitAtEveryOffset) {
    for (const bool accelerated : {false, true}) {
        for (const HashVector& v : kHashVectors) {
            SCOPED_TRACE(v.digest);
            SCOPED_TRACE(Sha1SetAccelerated(accelerated) ? "SHA instructions" : "portable");
            const std::vector<uint8_t> message =
                v.length == 0 ? std::vector<uint8_t>() : Repeat(Text(v.text), v.length);
            EXPECT_EQ(DigestInPieces(message, {}), v.digest);
            uint8_t oneShot[SHA1_DIGEST_SIZE];
            Sha1Digest(message.data(), static_cast<uint32_t>(message.size()), oneShot);
            EXPECT_EQ(ToHex(oneShot, sizeof oneShot), v.digest);
            std::vector<size_t> everyByte;
            for (size_t i = 1; i < message.size(); ++i) {
                everyByte.push_back(i);
            }
            EXPECT_EQ(DigestInPieces(message, everyByte), v.digest);
            if (message.size() <= 1000) {
                for (size_t cut = 0; cut <= message.size(); ++cut) {
                    // Cutting twice at the same offset adds an empty piece.
                    ASSERT_EQ(DigestInPieces(message, {cut, cut}), v.digest) << "cut at " << cut;
                }
            }
        }
    }
}

// Both compressions must leave the whole context alike, the working block included.
TEST(Sha1, InstructionsAndPortableRoundsLeaveTheSameContext) {
    std::vector<uint8_t> message(1000);
    for (size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    for (uint32_t size = 64; size <= message.size(); size += 67) {
        Sha1Context contexts[2];
        for (int accelerated = 0; accelerated < 2; ++accelerated) {
            const bool inUse = Sha1SetAccelerated(accelerated == 1);
            ASSERT_TRUE(accelerated == 1 || !inUse) << "the portable rounds are the ones compared";
            std::memset(&contexts[accelerated], 0, sizeof(Sha1Context));
            Sha1Initialize(&contexts[accelerated]);
            Sha1Update(&contexts[accelerated], message.data(), size);
        }
        ASSERT_EQ(0, std::memcmp(&contexts[0], &contexts[1], sizeof(Sha1Context))) << size;
    }
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// The instructions are in use exactly where allowed and present; the compiler's
// own processor probe says whether they are.
TEST(Sha1, InstructionsAreUsedWhereAllowedAndPresent) {
    __builtin_cpu_init();
    EXPECT_FALSE(Sha1SetAccelerated(false));
    EXPECT_EQ(Sha1SetAccelerated(true), __builtin_cpu_supports("sha") != 0);
}
#endif

TEST(Sha1, FinalClearsTheRunningStateAndKeepsTheDigest) {
    Sha1Context ctx;
    std::memset(&ctx, 0xA5, sizeof ctx);
    Sha1Initialize(&ctx);
    const std::vector<uint8_t> secret = Repeat(Text("secret"), 100);
    Sha1Update(&ctx, secret.data(), static_cast<uint32_t>(secret.size()));
    Sha1Final(&ctx);

    const uint8_t zeros[64] = {};
    EXPECT_EQ(0, std::memcmp(ctx.Buffer, zeros, sizeof ctx.Buffer));
    EXPECT_EQ(0, std::memcmp(ctx.Block, zeros, sizeof ctx.Block));
    EXPECT_EQ(0u, ctx.Count[0]);
    EXPECT_EQ(0u, ctx.Count[1]);
    // The state holds the compression of a zero block into a zero state, which
    // is the same whatever was hashed before.
    Sha1Context other;
    Sha1Initialize(&other);
    Sha1Final(&other);
    EXPECT_EQ(0, std::memcmp(ctx.State, other.State, sizeof ctx.State));
    EXPECT_NE(0, std::memcmp(ctx.State, zeros, sizeof ctx.State));

    // The digest survives a new Initialize and Update until the next Final.
    const std::string digest = ToHex(ctx.Digest, SHA1_DIGEST_SIZE);
    Sha1Initialize(&ctx);
    Sha1Update(&ctx, secret.data(), 10);
    uint8_t out[SHA1_DIGEST_SIZE];
    EXPECT_EQ(&ctx, Sha1GetDigest(&ctx, out));
    EXPECT_EQ(ToHex(out, sizeof out), digest);
}

TEST(Sha1, BitCountCarriesIntoTheHighWord) {
    Sha1Context ctx;
    Sha1Initialize(&ctx);
    ctx.Count[0] = 0xFFFFFFF0;  // 2^32 bits less two bytes: block position 62
    ctx.Count[1] = 6;
    const uint8_t bytes[3] = {1, 2, 3};
    Sha1Update(&ctx, bytes, sizeof bytes);
    EXPECT_EQ(8u, ctx.Count[0]);
    EXPECT_EQ(7u, ctx.Count[1]);
    EXPECT_EQ(3, ctx.Buffer[0]);  // the third byte began a new block
}

TEST(Sha1, NullArgumentsDoNothing) {
    EXPECT_EQ(nullptr, Sha1Initialize(nullptr));
    Sha1Update(nullptr, reinterpret_cast<const uint8_t*>("x"), 1);
    Sha1Final(nullptr);
    uint8_t out[SHA1_DIGEST_SIZE] = {1};
    EXPECT_EQ(nullptr, Sha1GetDigest(nullptr, out));
    Sha1Context ctx;
    Sha1Initialize(&ctx);
    Sha1Update(&ctx, nullptr, 1000);
    EXPECT_EQ(0u, ctx.Count[0]);
    // HmacSha1 writes no MAC when anything is null, even with a zero length.
    HmacSha1(&ctx, out, 4, nullptr, 0, out);
    HmacSha1(&ctx, nullptr, 0, out, 4, out);
    HmacSha1(nullptr, out, 4, out, 4, out);
    HmacSha1(&ctx, out, 4, out, 4, nullptr);
    const uint8_t untouched[SHA1_DIGEST_SIZE] = {1};
    EXPECT_EQ(0, std::memcmp(out, untouched, sizeof out));
}

struct MacVector {
    const char* keyHex;  // repeated to keyLength bytes
    size_t keyLength;
    const char* text;  // the message, repeated to messageLength bytes
    size_t messageLength;
    const char* mac;
};
// RFC 2202's seven HMAC-SHA1 cases.
const MacVector kMacVectors[] = {
    {"0b", 20, "Hi There", 8, "b617318655057264e28bc0b6fb378c8ef146be00"},
    {"4a656665", 4, "what do ya want for nothing?", 28, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
    {"aa", 20, "\xdd", 50, "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
    {"0102030405060708090a0b0c0d0e0f10111213141516171819", 25, "\xcd", 50,
     "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
    {"0c", 20, "Test With Truncation", 20, "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
    {"aa", 80, "Test Using Larger Than Block-Size Key - Hash Key First", 54,
     "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
    {"aa", 80, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data", 73,
     "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
};

TEST(HmacSha1, Rfc2202CasesAndTheContextIsLeftWipedAndReady) {
    for (const MacVector& v : kMacVectors) {
        SCOPED_TRACE(v.mac);
        const std::vector<uint8_t> key = Repeat(FromHex(v.keyHex), v.keyLength);
        const std::vector<uint8_t> message = Repeat(Text(v.text), v.messageLength);
        Sha1Context ctx;
        std::memset(&ctx, 0xA5, sizeof ctx);
        uint8_t mac[SHA1_DIGEST_SIZE];
        HmacSha1(&ctx, key.data(), static_cast<uint32_t>(key.size()), message.data(),
                 static_cast<uint32_t>(message.size()), mac);
        EXPECT_EQ(ToHex(mac, sizeof mac), v.mac);
        // No trace of the padded key in the buffer or the working block; the
        // context is initialised and its digest field holds the MAC.
        const uint8_t zeros[64] = {};
        EXPECT_EQ(0, std::memcmp(ctx.Buffer, zeros, sizeof ctx.Buffer));
        EXPECT_EQ(0, std::memcmp(ctx.Block, zeros, sizeof ctx.Block));
        EXPECT_EQ(0x67452301u, ctx.State[0]);
        EXPECT_EQ(0u, ctx.Count[0]);
        EXPECT_EQ(ToHex(ctx.Digest, SHA1_DIGEST_SIZE), v.mac);
    }
}

}  // namespace
