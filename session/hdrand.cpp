#include "session/hdrand.h"

#include <cstring>

#include "common/le_bytes.h"
#include "crypto/sha1.h"
#include "crypto/wipe.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kPoolSize = SHA1_DIGEST_SIZE;

// The generator's process-wide state; zero until the first seeding.
struct HdrandState {
    uint32_t index;  // offset of the next value in the pool: 0, 4, 8, 12 or 16
    uint8_t pool[kPoolSize];
};
HdrandState g_hdrand;

}  // namespace

bool hdrand_init() {
    platform::SystemTime time = {};
    int64_t count = 0;
    platform::GetUtcSystemTime(&time);
    // Whether the counter could be read does not matter: its 8 bytes are hashed as
    // they are.
    platform::QueryPerformanceCount(&count);

    // Both readings are hashed in their little-endian record layout, whatever the
    // host's byte order: the counter's 8 bytes, then the time's 8 fields.
    uint8_t readings[8 + 16];
    const uint64_t counter = static_cast<uint64_t>(count);
    StoreLe32(readings, static_cast<uint32_t>(counter));
    StoreLe32(readings + 4, static_cast<uint32_t>(counter >> 32));
    const uint16_t fields[8] = {time.wYear, time.wMonth,  time.wDayOfWeek, time.wDay,
                                time.wHour, time.wMinute, time.wSecond,    time.wMilliseconds};
    for (int i = 0; i < 8; ++i) {
        StoreLe16(readings + 8 + 2 * i, fields[i]);
    }
    Sha1Digest(readings, sizeof readings, g_hdrand.pool);
    // The readings determine every value drawn from this seeding.
    SecureWipe(readings, sizeof readings);
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
    const uint32_t value = LoadLe32(g_hdrand.pool + index);

    // Refresh: the middle 16 pool bytes and the offset just used.
    uint8_t refresh[16 + 4];
    std::memcpy(refresh, g_hdrand.pool + 2, 16);
    StoreLe32(refresh + 16, index);
    Sha1Digest(refresh, sizeof refresh, g_hdrand.pool);
    SecureWipe(refresh, sizeof refresh);

    g_hdrand.index = (index + 4) % kPoolSize;
    return value;
}
