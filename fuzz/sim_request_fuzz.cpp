// Byte streams into the simulated driver's request handling: frames cut by the
// frame reader, capsules in plain mode or under an installed session key (the
// fuzzer's capsules are enciphered for it, so their contents reach the inner
// requests), and handshake messages. Whatever comes in, the driver must answer
// within the caller's buffer, or close.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/le_bytes.h"
#include "crypto/blowfish.h"
#include "driver_client/misc_common.h"
#include "tools/misc_driver_sim/sim.h"

namespace {

const uint8_t kSessionKey[16] = {0x9c, 0x11, 0xf0, 0x42, 0x80, 0x7e, 0x03, 0xd5,
                                 0x66, 0xa1, 0x2b, 0xe8, 0x10, 0xc4, 0x5f, 0xff};
constexpr uint32_t kSessionId = 0x5EED1D00;

std::string g_tablePath;
BlowfishContext g_cipher;

void FixedRandom(uint8_t* out, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        out[i] = uint8_t(0xA5 ^ i);
    }
}

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "sim_request_fuzz: %s\n", what);
        std::abort();
    }
}

// Enciphers what would be the enciphered region of a capsule in this frame.
void EncipherFrame(std::vector<uint8_t>* frame) {
    const size_t size = frame->size() - 12;
    uint8_t* capsule = frame->data() + 12;
    if (size >= 16) {
        BlowfishEncipherBlocks(&g_cipher, capsule + 12, static_cast<uint32_t>((size - 16) / 8));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/sim_request_fuzz_XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0) {
        close(fd);
    }
    g_tablePath = pattern;
    BlowfishInitialize(&g_cipher, kSessionKey, sizeof kSessionKey);
    std::atexit([] { unlink(g_tablePath.c_str()); });
    return 0;
}

// Byte 0 picks the mode: bit 0 encryption on, bit 1 a session installed, bit 2
// the fuzzer's capsules enciphered, bits 3-4 a fault, bits 5-7 the busy count.
// Byte 1 is the chunk size with which the rest arrives, as a socket may cut it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // Every input starts from the default table; rewrite it only when a commit
    // changed it.
    std::vector<uint8_t> table;
    if (!misc_sim::LoadTable(g_tablePath, &table) || table != misc_sim::DefaultTable()) {
        misc_sim::SaveTable(g_tablePath, misc_sim::DefaultTable());
    }
    const uint8_t mode = data[0];
    const size_t chunk = data[1] == 0 ? 1 : data[1];
    misc_sim::Device device;
    device.config.tablePath = g_tablePath;
    device.config.random = FixedRandom;
    device.config.encryption = (mode & 1) != 0;
    device.config.busy = mode >> 5;
    switch ((mode >> 3) & 3) {
        case 1:
            device.config.faults.shortCapsule = true;
            break;
        case 2:
            device.config.faults.oversizedCapsule = true;
            break;
        case 3:
            device.config.faults.longTable = true;
            break;
        default:
            break;
    }
    if (mode & 2) {
        misc_sim::InstallSession(&device.handle, kSessionId, kSessionKey);
    }

    misc_sim::FrameReader reader;
    misc_sim::Request request;
    for (size_t at = 2; at < size; at += chunk) {
        const size_t take = size - at < chunk ? size - at : chunk;
        reader.pending.insert(reader.pending.end(), data + at, data + at + take);
        for (;;) {
            const misc_sim::ReadResult result = misc_sim::NextFrame(&reader, &request);
            if (result == misc_sim::ReadResult::NeedMore) {
                break;
            }
            if (result == misc_sim::ReadResult::Close) {
                misc_sim::ResetHandle(&device.handle);
                return 0;
            }
            if ((mode & 4) && request.code == MiscCommon::IOCTL_MISC_ENCAPSULATED) {
                std::vector<uint8_t> frame(12);
                frame.insert(frame.end(), request.input.begin(), request.input.end());
                EncipherFrame(&frame);
                request.input.assign(frame.begin() + 12, frame.end());
            }
            const misc_sim::Reply reply = misc_sim::HandleRequest(&device, request);
            Check(reply.ok <= 1, "ok is not 0 or 1");
            Check(reply.output.size() <= request.outSize, "reply longer than the buffer");
            Check(reply.ok == 0 || reply.error == 0, "success with an error code");
            const std::vector<uint8_t> bytes = misc_sim::EncodeReply(reply);
            Check(bytes.size() == 12 + reply.output.size(), "reply frame size");
        }
    }
    misc_sim::ResetHandle(&device.handle);
    return 0;
}
