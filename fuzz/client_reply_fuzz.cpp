// libFuzzer target: the client's handling of whatever the device sends back to
// an encapsulated request (capsule validation, deciphering, copy-out), on the
// test backend, in plain and enciphered mode, for a few output sizes.
//
// Input: one control byte, then the device's reply bytes (the backend truncates
// them to the reply buffer, as the real frame check does). Control bits:
//   0     session enciphered
//   1-2   output size: 0, 8, 110 or 200 bytes
//   3     the device reports success (else failure, error 31)
//   4-5   operation: EncapsuledDeviceIoControl, GetBiosExtensionTable2,
//         CallMiscSubfunction (the same reply for the first call and its retry)
//
// Beyond not crashing, it checks that no more than the output size is reported,
// that every heap block of the exchange is released, and that the sequence
// number moves only when the device answered.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/blowfish.h"
#include "driver_client/misc_common.h"
#include "platform/test/test_platform.h"

namespace {

using MiscCommon::g_MiscCommon;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "client_reply_fuzz: %s\n", what);
        std::abort();
    }
}

const uint8_t kKey[16] = {0x3c, 0x11, 0x9a, 0x42, 0x07, 0xee, 0x5d, 0x80,
                          0x21, 0x6b, 0xf4, 0x19, 0xc8, 0x33, 0x90, 0x0f};

void StartSession(bool enciphered) {
    g_MiscCommon.CloseDriver();
    testplatform::Reset();
    g_MiscCommon.SessionId = 0;
    g_MiscCommon.SequenceNumber = 0;
    g_MiscCommon.EncryptionEnabled = enciphered ? 1 : 0;
    Check(g_MiscCommon.OpenDriver() == MiscCommon::MISC_SUCCESS, "open");
    if (enciphered) {
        auto* ctx =
            static_cast<BlowfishContext*>(platform::HeapAllocZeroed(sizeof(BlowfishContext)));
        Check(ctx != nullptr && BlowfishInitialize(ctx, kKey, sizeof kKey), "key");
        g_MiscCommon.SessionCipher = ctx;
        g_MiscCommon.SessionId = 0x5EC0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    static const uint32_t kOutSizes[4] = {0, 8, 110, 200};
    const uint8_t control = data[0];
    const bool enciphered = (control & 1) != 0;
    const uint32_t outSize = kOutSizes[(control >> 1) & 3];
    const bool ok = (control & 8) != 0;
    const int operation = (control >> 4) & 3;
    const std::vector<uint8_t> reply(data + 1, data + size);

    StartSession(enciphered);
    testplatform::SetResponder([&](const testplatform::Exchange&) {
        testplatform::Reply r;
        r.ok = ok;
        r.error = ok ? 0 : platform::kErrorGenFailure;
        r.output = reply;
        return r;
    });
    const int blocks = testplatform::LiveBlockCount();

    if (operation == 0 || operation == 3) {
        // Exactly the output size, so that any overrun is caught.
        std::vector<uint8_t> out(outSize);
        uint32_t returned = 0xFFFFFFFF;
        const uint8_t in[3] = {1, 2, 3};
        const bool result = g_MiscCommon.EncapsuledDeviceIoControl(
            0x222944, in, sizeof in, outSize ? out.data() : nullptr, outSize, &returned);
        Check(returned <= outSize, "count beyond the output buffer");
        Check(!result || ok, "success that the device did not report");
    } else if (operation == 1) {
        std::vector<uint8_t> table(outSize);
        const uint32_t tableSize = outSize;
        const MiscCommon::MiscStatus status =
            g_MiscCommon.GetBiosExtensionTable2(outSize ? table.data() : nullptr, &tableSize);
        Check(status == MiscCommon::MISC_SUCCESS || status == MiscCommon::MISC_FAILED ||
                  status == MiscCommon::MISC_INVALID_ARGUMENT,
              "table status");
    } else {
        std::vector<uint8_t> misc(outSize > 0 ? outSize : 1, 0x5A);
        const MiscCommon::MiscStatus status =
            CallMiscSubfunction(static_cast<uint16_t>(misc.size()), 1, misc.data());
        Check(status == MiscCommon::MISC_SUCCESS || status == MiscCommon::MISC_FAILED,
              "misc status");
        Check(testplatform::Exchanges().size() <= 2, "more than one retry");
    }

    Check(testplatform::LiveBlockCount() == blocks, "heap block not released");
    const size_t exchanges = testplatform::Exchanges().size();
    Check(g_MiscCommon.SequenceNumber <= exchanges, "sequence number ran ahead");
    if (ok) {
        Check(g_MiscCommon.SequenceNumber == exchanges, "answered exchange not counted");
    }
    g_MiscCommon.CloseDriver();
    return 0;
}
