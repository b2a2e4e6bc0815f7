// Differential tests against OpenSSL on seeded random inputs.
#include <algorithm>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/blowfish.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include "crypto/blowfish.h"
#include "crypto/sha1.h"
#include "test_util.h"

namespace {

std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t size, unsigned limit = 256) {
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(rng() % limit);
    }
    return bytes;
}

TEST(Oracle, Sha1OnRandomMessagesInRandomPieces) {
    std::mt19937 rng(20240601);
    for (int n = 0; n < 3000; ++n) {
        // Odd cases on the portable rounds, even ones on the SHA instructions.
        Sha1SetAccelerated(n % 2 == 0);
        const size_t size = n % 10 == 0 ? rng() % 5000 : rng() % 300;
        const std::vector<uint8_t> message = RandomBytes(rng, size);
        Sha1Context ctx;
        Sha1Initialize(&ctx);
        for (size_t at = 0; at < size;) {
            const size_t piece = std::min<size_t>(rng() % 150, size - at);
            Sha1Update(&ctx, message.data() + at, static_cast<uint32_t>(piece));
            at += piece;
        }
        Sha1Final(&ctx);
        uint8_t ours[20], theirs[20];
        Sha1GetDigest(&ctx, ours);
        SHA1(message.data(), size, theirs);
        ASSERT_EQ(ToHex(ours, 20), ToHex(theirs, 20)) << "message size " << size;
    }
    Sha1SetAccelerated(true);
}

TEST(Oracle, HmacSha1OnRandomKeysAroundTheBlockSize) {
    std::mt19937 rng(7);
    for (int n = 0; n < 3000; ++n) {
        const size_t keySize = n % 2 == 0 ? 56 + rng() % 16 : rng() % 200;
        const std::vector<uint8_t> key = RandomBytes(rng, keySize + 1);  // never empty storage
        const std::vector<uint8_t> message = RandomBytes(rng, rng() % 300 + 1);
        const uint32_t messageSize = static_cast<uint32_t>(rng() % message.size());
        Sha1Context ctx;
        uint8_t ours[20], theirs[20];
        unsigned int theirSize = 0;
        HmacSha1(&ctx, key.data(), static_cast<uint32_t>(keySize), message.data(), messageSize,
                 ours);
        HMAC(EVP_sha1(), key.data(), static_cast<int>(keySize), message.data(), messageSize, theirs,
             &theirSize);
        ASSERT_EQ(ToHex(ours, 20), ToHex(theirs, 20)) << "key size " << keySize;
    }
}

void ExpectSameCipher(const BlowfishContext& ours, const BF_KEY& theirs, std::mt19937& rng) {
    for (int block = 0; block < 4; ++block) {
        uint32_t left = rng(), right = rng();
        BF_LONG words[2] = {left, right};
        BlowfishEncipher(&ours, &left, &right);
        BF_encrypt(words, &theirs);
        ASSERT_EQ(words[0], left);
        ASSERT_EQ(words[1], right);
        BlowfishDecipher(&ours, &left, &right);
        BF_decrypt(words, &theirs);
        ASSERT_EQ(words[0], left);
        ASSERT_EQ(words[1], right);
    }
}

TEST(Oracle, BlowfishOnRandomKeysBelow0x80) {
    std::mt19937 rng(1993);
    for (int n = 0; n < 2000; ++n) {
        const size_t size = 1 + rng() % 20;
        const std::vector<uint8_t> key = RandomBytes(rng, size, 0x80);
        BlowfishContext ours;
        BlowfishInitialize(&ours, key.data(), static_cast<uint32_t>(size));
        BF_KEY theirs;
        BF_set_key(&theirs, static_cast<int>(std::min<size_t>(size, 16)), key.data());
        ASSERT_NO_FATAL_FAILURE(ExpectSameCipher(ours, theirs, rng)) << "key size " << size;
    }
}

// With 16-byte keys (the session's) the key words never straddle the cycle, so
// every key has a published equivalent: in each group of four, the bytes before
// the last one of 0x80 or more become 0xFF.
TEST(Oracle, BlowfishSixteenByteKeysMatchTheirSignExtendedEquivalents) {
    std::mt19937 rng(16);
    for (int n = 0; n < 2000; ++n) {
        const std::vector<uint8_t> key = RandomBytes(rng, 16);
        std::vector<uint8_t> equivalent = key;
        for (size_t group = 0; group < 16; group += 4) {
            for (size_t i = 1; i < 4; ++i) {
                if (key[group + i] >= 0x80) {
                    std::fill(equivalent.begin() + group, equivalent.begin() + group + i, 0xFF);
                }
            }
        }
        BlowfishContext ours;
        BlowfishInitialize(&ours, key.data(), 16);
        BF_KEY theirs;
        BF_set_key(&theirs, 16, equivalent.data());
        ASSERT_NO_FATAL_FAILURE(ExpectSameCipher(ours, theirs, rng)) << ToHex(key.data(), 16);
    }
}

}  // namespace
