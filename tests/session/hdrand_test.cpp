#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/sha1.h"
#include "platform/test/test_platform.h"
#include "session/hdrand.h"

namespace {

std::vector<uint32_t> Draw(int count) {
    std::vector<uint32_t> values;
    for (int i = 0; i < count; ++i) {
        values.push_back(hdrand_get());
    }
    return values;
}

TEST(Hdrand, ZeroReadingsGiveThePublishedSequence) {
    testplatform::Reset();
    EXPECT_TRUE(hdrand_init());
    // The pool is SHA-1 of 24 zero bytes, d3399b72...; values at offsets 0, 4, 8,
    // 12, then 0 and 4 again.
    const std::vector<uint32_t> expected = {0x729B39D3, 0xF5AA7105, 0xBE7889C8,
                                            0x81A491B1, 0x042613A3, 0xD9ACDF89};
    EXPECT_EQ(Draw(6), expected);
    EXPECT_EQ(1, hdrand_test());
    // Seeding again with the same readings starts the same sequence over.
    EXPECT_TRUE(hdrand_init());
    EXPECT_EQ(Draw(6), expected);
}

void Sha1(const uint8_t* data, uint32_t size, uint8_t digest[20]) {
    Sha1Context ctx;
    Sha1Initialize(&ctx);
    Sha1Update(&ctx, data, size);
    Sha1Final(&ctx);
    Sha1GetDigest(&ctx, digest);
}

// The generator restated in one-shot hashes, to check the byte order of both
// readings and the refresh on readings that are not all zero.
std::vector<uint32_t> Model(const platform::SystemTime& time, int64_t count, int values) {
    uint8_t seed[24];
    for (int i = 0; i < 8; ++i) {
        seed[i] = static_cast<uint8_t>(static_cast<uint64_t>(count) >> (8 * i));
    }
    const uint16_t* fields = &time.wYear;
    for (int i = 0; i < 8; ++i) {
        seed[8 + 2 * i] = static_cast<uint8_t>(fields[i]);
        seed[9 + 2 * i] = static_cast<uint8_t>(fields[i] >> 8);
    }
    uint8_t pool[20];
    Sha1(seed, sizeof seed, pool);
    std::vector<uint32_t> out;
    uint32_t index = 0;
    for (int n = 0; n < values; ++n) {
        if (index == 16) {
            index = 0;
        }
        out.push_back(pool[index] | pool[index + 1] << 8 | pool[index + 2] << 16 |
                      static_cast<uint32_t>(pool[index + 3]) << 24);
        uint8_t refresh[20];
        std::memcpy(refresh, pool + 2, 16);
        for (int i = 0; i < 4; ++i) {
            refresh[16 + i] = static_cast<uint8_t>(index >> (8 * i));
        }
        Sha1(refresh, sizeof refresh, pool);
        index = (index + 4) % 20;
    }
    return out;
}

TEST(Hdrand, SeedsFromBothReadingsInRecordOrder) {
    testplatform::Reset();
    const platform::SystemTime time = {2024, 3, 5, 14, 23, 59, 58, 987};
    const int64_t count = 0x0123456789ABCDEFLL;
    testplatform::SetSystemTime(time);
    testplatform::SetPerformanceCount(count);
    hdrand_init();
    EXPECT_EQ(Draw(12), Model(time, count, 12));
}

}  // namespace
