// Driver replies to the handshake, fed from the test backend into _Initialize.
// The fuzzer chooses each reply's success, length and bytes; optionally the
// driver proof is computed for whatever Yd it chose, so inputs get past the
// authentication to the Yd check, the key calculation and phase 3. Whatever the
// replies, the handshake must end with a status of its table, at most one
// close-session, every released block wiped, and nothing leaked.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/sha1.h"
#include "driver_client/misc_common.h"
#include "platform/test/test_platform.h"

namespace {

const uint8_t kKa[16] = {0xe4, 0xd9, 0x4e, 0x07, 0x32, 0x75, 0x53, 0x10,
                         0x27, 0x58, 0x05, 0xb6, 0x0e, 0x4b, 0xa4, 0x94};

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "handshake_reply_fuzz: %s\n", what);
        std::abort();
    }
}

// Takes bytes from the input; past its end, zeros.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    std::vector<uint8_t> Bytes(size_t n) {
        std::vector<uint8_t> out(n, 0);
        for (size_t i = 0; i < n; ++i) {
            out[i] = Byte();
        }
        return out;
    }
};

struct Script {
    uint8_t flags = 0;
    testplatform::Reply replies[3];
    bool computeProof = false;
    std::vector<uint8_t> nc, yc, nd, yd;  // for the computed proof
};

testplatform::Reply ReplyFrom(Input* in, uint8_t failBit, uint8_t flags, size_t fullLength) {
    testplatform::Reply reply;
    reply.ok = (flags & failBit) == 0;
    reply.error = reply.ok ? 0 : 1 + in->Byte();
    const uint8_t length = in->Byte();
    // Mostly the right length, sometimes any other.
    const size_t n = (length & 1) ? fullLength : length % (fullLength + 1);
    reply.output = in->Bytes(n);
    return reply;
}

}  // namespace

// Byte 0: bits 0-1 the probe's answer (ok, not supported, another error, ok),
// bits 2-4 make Ini1/Ini2/Ini3 fail, bit 5 computes the proof, bit 6 fails the
// allocation numbered by the next byte. Then for each of Ini1, Ini2, Ini3: an
// error byte when it fails, a length byte and the reply bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    Script script;
    script.flags = in.Byte();
    const int failAllocation = (script.flags & 0x40) ? 1 + in.Byte() % 4 : 0;
    script.computeProof = (script.flags & 0x20) != 0;
    script.replies[0] = ReplyFrom(&in, 0x04, script.flags, 160);
    script.replies[1] = ReplyFrom(&in, 0x08, script.flags, 20);
    script.replies[2] = ReplyFrom(&in, 0x10, script.flags, 8);

    testplatform::Reset();
    int closeRequests = 0;
    bool unwiped = false;
    testplatform::SetResponder([&](const testplatform::Exchange& e) {
        if (e.code == MiscCommon::IOCTL_MISC_CLOSE_SESSION) {
            ++closeRequests;
            return testplatform::Reply{true, 0, {}};
        }
        if (e.input.empty()) {
            switch (script.flags & 3) {
                case 1:
                    return testplatform::Reply{false, platform::kErrorNotSupported, {}};
                case 2:
                    return testplatform::Reply{false, 1, {}};
                default:
                    return testplatform::Reply{true, 0, {}};
            }
        }
        const uint8_t step = e.input[3];  // '1', '2' or '3'
        if (step == '1' && e.input.size() == 160) {
            script.yc.assign(e.input.begin() + 4, e.input.begin() + 136);
            script.nc.assign(e.input.begin() + 136, e.input.end());
            testplatform::Reply reply = script.replies[0];
            std::vector<uint8_t> full = reply.output;
            full.resize(160, 0);
            script.yd.assign(full.begin() + 4, full.begin() + 136);
            script.nd.assign(full.begin() + 136, full.end());
            return reply;
        }
        if (step == '2') {
            testplatform::Reply reply = script.replies[1];
            if (script.computeProof && reply.output.size() == 20 && script.yd.size() == 132) {
                Sha1Context sha;
                uint8_t km[20];
                std::vector<uint8_t> nonces = script.nc;
                nonces.insert(nonces.end(), script.nd.begin(), script.nd.end());
                HmacSha1(&sha, kKa, 16, nonces.data(), 48, km);
                std::vector<uint8_t> numbers = script.yd;
                numbers.insert(numbers.end(), script.yc.begin(), script.yc.end());
                HmacSha1(&sha, km, 20, numbers.data(), 264, reply.output.data());
            }
            return reply;
        }
        if (step == '3') {
            return script.replies[2];
        }
        return testplatform::Reply{false, 5, {}};
    });

    {
        MiscCommon::CMiscCommon client;
        if (client.OpenDriver() == MiscCommon::MISC_SUCCESS) {
            const int liveBefore = testplatform::LiveBlockCount();
            testplatform::SetReleaseInspector([&unwiped](const uint8_t* block, size_t blockSize) {
                // Only the handshake's key material must be wiped; the client's other
                // blocks (error text, detail record) are not released during _Initialize.
                for (size_t i = 0; i < blockSize; ++i) {
                    unwiped = unwiped || block[i] != 0;
                }
            });
            if (failAllocation > 0) {
                testplatform::FailAllocation(failAllocation);
            }
            const MiscCommon::MiscStatus status = client._Initialize();
            testplatform::FailAllocation(0);
            Check(status == 0 || status == 2 || status == 5 || status == 6, "status");
            Check(closeRequests <= 1, "more than one close-session");
            Check(!unwiped, "a block was released unwiped");
            if (status == 0 && client.EncryptionEnabled) {
                Check(client.SessionCipher != nullptr, "success without a cipher");
                Check(testplatform::LiveBlockCount() == liveBefore + 1, "blocks after success");
            } else {
                Check(client.SessionCipher == nullptr, "a cipher without a session");
                Check(client.SessionId == 0, "a session id without a session");
                Check(testplatform::LiveBlockCount() == liveBefore, "blocks leaked");
            }
        }
        testplatform::SetReleaseInspector(nullptr);
    }
    testplatform::SetResponder(nullptr);
    return 0;
}
