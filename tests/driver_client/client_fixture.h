// Shared set-up of the driver-client tests: a clean global client on the test
// backend, and a scripted device that speaks capsules (optionally enciphered).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <initializer_list>
#include <string>
#include <vector>

#include "crypto/blowfish.h"
#include "driver_client/misc_common.h"
#include "platform/test/test_platform.h"
#include "tests/support/le_words.h"

namespace clienttest {

using MiscCommon::g_MiscCommon;
using testsupport::Bytes;
using testsupport::Le32;
using testsupport::U32s;

// A key whose bytes are all below 0x80, so the key schedule's sign extension
// plays no part.
const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// The device side's own copy of the session key; the client's is separate.
inline const BlowfishContext& DeviceCipher() {
    static BlowfishContext ctx;
    static bool keyed = BlowfishInitialize(&ctx, kKey, sizeof kKey);
    (void)keyed;
    return ctx;
}

// Runs the device's cipher over the whole blocks of bytes [12, capsuleSize - 4) of
// a capsule that the buffer holds.
inline void DeviceCipherBlocks(Bytes& capsule, uint32_t capsuleSize, bool encipher) {
    const size_t end = std::min<size_t>(capsuleSize >= 4 ? capsuleSize - 4 : 0, capsule.size());
    const uint32_t blocks = end > 12 ? static_cast<uint32_t>((end - 12) / 8) : 0;
    encipher ? BlowfishEncipherBlocks(&DeviceCipher(), capsule.data() + 12, blocks)
             : BlowfishDecipherBlocks(&DeviceCipher(), capsule.data() + 12, blocks);
}

// A request capsule as the device sees it, deciphered when the session is on.
struct Inner {
    Bytes capsule;  // the whole plain capsule
    uint32_t sequence, code, outputLength;
    Bytes input;
};

inline Inner Decode(const testplatform::Exchange& x, bool enciphered) {
    Inner in;
    in.capsule = x.input;
    if (enciphered) {
        DeviceCipherBlocks(in.capsule, static_cast<uint32_t>(in.capsule.size()), false);
    }
    const uint8_t* req = in.capsule.data() + 12;
    in.sequence = Le32(req);
    in.code = Le32(req + 8);
    in.outputLength = Le32(req + 16);
    in.input.assign(req + 20, req + 20 + Le32(req + 12));
    return in;
}

// What the scripted device answers to one inner request.
struct Answer {
    bool ok = true;
    uint32_t error = 0;
    Bytes payload;
    long payloadLength = -1;  // overrides PayloadLength when not -1
    long capsuleSize = -1;    // overrides CapsuleSize when not -1
    long truncate = -1;       // delivers only this many bytes when not -1
};

inline Bytes ReplyCapsule(const Answer& a, bool enciphered) {
    const uint32_t length = a.payloadLength >= 0 ? static_cast<uint32_t>(a.payloadLength)
                                                 : static_cast<uint32_t>(a.payload.size());
    Bytes c = testsupport::ReplyCapsule(a.payload, length);
    if (enciphered) {
        DeviceCipherBlocks(c, static_cast<uint32_t>(c.size()), true);
    }
    if (a.capsuleSize >= 0) {
        c[4] = static_cast<uint8_t>(a.capsuleSize);
        c[5] = static_cast<uint8_t>(a.capsuleSize >> 8);
    }
    if (a.truncate >= 0) {
        c.resize(static_cast<size_t>(a.truncate));
    }
    return c;
}

// A device that answers every encapsulated request through handler.
inline void SetCapsuleDevice(std::function<Answer(const Inner&)> handler, bool enciphered) {
    testplatform::SetResponder([handler, enciphered](const testplatform::Exchange& x) {
        testplatform::Reply reply;
        if (x.code != MiscCommon::IOCTL_MISC_ENCAPSULATED) {
            return reply;
        }
        const Answer a = handler(Decode(x, enciphered));
        reply.ok = a.ok;
        reply.error = a.error;
        reply.output = ReplyCapsule(a, enciphered);
        return reply;
    });
}

inline std::wstring Text() {
    return g_MiscCommon.LastErrorText;
}
inline std::wstring W(const char* s) {
    return std::wstring(s, s + std::strlen(s));
}
inline std::wstring Prefixed(const char* s) {
    return W("MiscCommon::CMiscCommon::") + W(s);
}

// A table row's name as a test name: its letters and digits, each run of anything
// else as one "_".
template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    std::string name;
    for (const char* at = info.param.name; *at != '\0'; ++at) {
        if (std::isalnum(static_cast<unsigned char>(*at))) {
            name += *at;
        } else if (name.empty() || name.back() != '_') {
            name += '_';
        }
    }
    return name;
}

class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Close with the handles of the previous test still known to the backend.
        g_MiscCommon.CloseDriver();
        if (g_MiscCommon.SessionCipher != nullptr) {
            platform::HeapRelease(g_MiscCommon.SessionCipher);
            g_MiscCommon.SessionCipher = nullptr;
        }
        testplatform::Reset();
        g_MiscCommon.SessionId = 0;
        g_MiscCommon.SequenceNumber = 0;
        g_MiscCommon.EncryptionEnabled = 1;
        platform::HeapRelease(g_MiscCommon._szVersion);
        g_MiscCommon._szVersion = nullptr;
        g_MiscCommon._ClearErrorText();
        baselineBlocks = testplatform::LiveBlockCount();
    }
    void TearDown() override { g_MiscCommon.CloseDriver(); }

    void OpenPlain() {
        ASSERT_EQ(g_MiscCommon.OpenDriver(), 0u);
        g_MiscCommon.EncryptionEnabled = 0;
        baselineBlocks = testplatform::LiveBlockCount();
    }
    void OpenEncrypted() {
        ASSERT_EQ(g_MiscCommon.OpenDriver(), 0u);
        auto* ctx =
            static_cast<BlowfishContext*>(platform::HeapAllocZeroed(sizeof(BlowfishContext)));
        ASSERT_TRUE(BlowfishInitialize(ctx, kKey, sizeof kKey));
        g_MiscCommon.SessionCipher = ctx;
        g_MiscCommon.SessionId = 0x11223344;
        baselineBlocks = testplatform::LiveBlockCount();
    }
    void ExpectNoLeak() { EXPECT_EQ(testplatform::LiveBlockCount(), baselineBlocks); }

    int baselineBlocks = 0;
};

}  // namespace clienttest
