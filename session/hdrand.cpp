#include "session/hdrand.h"

#include "crypto/sha1.h"
#include "crypto/wipe.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kPoolSize = SHA1_DIGEST_SIZE;

// The generator's process-wide state; zero until the first seeding.
struct HdrandState {
    uint32_t index;  // offset of the next value in the pool: 0, 4, 8, 12 or 16
    uint8_t pool[kPoolSize];
    Sha1Context hash;
};
HdrandState g_hdrand;

void StoreLittleEndian32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

}  // namespace

bool hdrand_init() {
    platform::SystemTime time = {};
    int64_t count = 0;
    platform::GetUtcSystemTime(&time);
    // Whether the counter could be read does not matter: its 8 bytes are hashed as
    // they are.
    platform::QueryPerformanceCount(&count);

    // Both readings are hashed in their little-endian record layout, whatever the
    // host's byte order.
    uint8_t countBytes[8];
    const uint64_t counter = static_cast<uint64_t>(count);
    StoreLittleEndian32(countBytes, static_cast<uint32_t>(counter));
    StoreLittleEndian32(countBytes + 4, static_cast<uint32_t>(counter >> 32));
    const uint16_t fields[8] = {time.wYear, time.wMonth,  time.wDayOfWeek, time.wDay,
                                time.wHour, time.wMinute, time.wSecond,    time.wMilliseconds};
    uint8_t timeBytes[16];
    for (int i = 0; i < 8; ++i) {
        timeBytes[2 * i] = static_cast<uint8_t>(fields[i]);
        timeBytes[2 * i + 1] = static_cast<uint8_t>(fields[i] >> 8);
    }

    Sha1Initialize(&g_hdrand.hash);
    Sha1Update(&g_hdrand.hash, countBytes, sizeof countBytes);
    Sha1Update(&g_hdrand.hash, timeBytes, sizeof timeBytes);
    Sha1Final(&g_hdrand.hash);
    Sha1GetDigest(&g_hdrand.hash, g_hdrand.pool);
    // The readings determine every value drawn from this seeding.
    SecureWipe(countBytes, sizeof countBytes);
    SecureWipe(timeBytes, sizeof timeBytes);
    g_hdrand.index = 0;
    return true;
}

int hdrand_test() {
    return 1;
}

uint32_t hdrand_get() {
    if (g_hdrand.index + 4 > 19) {
        g_hdrand.index = 0;
    }
    const uint32_t index = g_hdrand.index;
    const uint8_t* at = g_hdrand.pool + index;
    const uint32_t value = static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
                           (static_cast<uint32_t>(at[2]) << 16) |
                           (static_cast<uint32_t>(at[3]) << 24);

    // Refresh: the middle 16 pool bytes and the offset just used.
    uint8_t indexBytes[4];
    StoreLittleEndian32(indexBytes, index);
    Sha1Initialize(&g_hdrand.hash);
    Sha1Update(&g_hdrand.hash, g_hdrand.pool + 2, 16);
    Sha1Update(&g_hdrand.hash, indexBytes, sizeof indexBytes);
    Sha1Final(&g_hdrand.hash);
    Sha1GetDigest(&g_hdrand.hash, g_hdrand.pool);

    g_hdrand.index = (index + 4) % kPoolSize;
    return value;
}
