// CallMiscFunction and CallMiscSubfunction: packets on the wire, the busy retry,
// and the failure table.

#include "tests/driver_client/client_fixture.h"

namespace clienttest {
namespace {

constexpr int kFail = -1;

// A device that answers misc-function packets with the given statuses in turn
// (kFail: the exchange fails), turning every data byte over.
void SetMiscDevice(std::vector<int> statuses) {
    auto turn = std::make_shared<size_t>(0);
    SetCapsuleDevice(
        [statuses, turn](const Inner& in) {
            const int status = statuses.at(std::min(*turn, statuses.size() - 1));
            ++*turn;
            if (status == kFail) {
                return Answer{false, 1167, {}};
            }
            Bytes reply = in.input;
            reply[0] = static_cast<uint8_t>(status);
            for (size_t i = 10; i < reply.size(); ++i) {
                reply[i] ^= 0xFF;
            }
            return Answer{true, 0, reply};
        },
        true);
}

TEST_F(ClientTest, WriteBackPacketsOnTheWire) {
    const struct {
        uint16_t length, subfunction;
        size_t capsule, replyBuffer;
    } steps[] = {{7, 0, 64, 40}, {124, 1, 176, 152}, {123, 2, 176, 152}};
    OpenEncrypted();
    SetMiscDevice({0});
    for (size_t s = 0; s < 3; ++s) {
        Bytes data(steps[s].length);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i * 3);
        }
        const Bytes original = data;
        ASSERT_EQ(CallMiscSubfunction(steps[s].length, steps[s].subfunction, data.data()), 0u);
        const testplatform::Exchange& x = testplatform::Exchanges().at(s);
        EXPECT_EQ(x.input.size(), steps[s].capsule);
        EXPECT_EQ(x.outSize, steps[s].replyBuffer);
        const Inner in = Decode(x, true);
        EXPECT_EQ(in.sequence, s);
        EXPECT_EQ(in.code, MiscCommon::IOCTL_MISC_FUNCTION);
        const uint8_t size = static_cast<uint8_t>(10 + steps[s].length);
        Bytes packet = {
            0x14, 0x01, size, 0, size, 0, 0, 0, static_cast<uint8_t>(steps[s].subfunction), 0};
        packet.insert(packet.end(), original.begin(), original.end());
        EXPECT_EQ(in.input, packet);
        EXPECT_EQ(in.outputLength, packet.size());
        for (size_t i = 0; i < data.size(); ++i) {
            ASSERT_EQ(data[i], original[i] ^ 0xFF);  // the reply data came back
        }
    }
    ExpectNoLeak();
}

struct RetryCase {
    const char* name;
    std::vector<int> statuses;
    uint32_t result;
    size_t exchanges;
    uint8_t lastMiscStatus;  // 0x33: left as it was
    bool dataReplaced;
};

void PrintTo(const RetryCase& c, std::ostream* os) {
    *os << c.name << " " << ::testing::PrintToString(c.statuses);
}

const RetryCase kRetries[] = {
    {"busy, then done", {4, 0}, 0, 2, 0, true},
    {"busy twice", {4, 4}, 0, 2, 4, false},
    {"busy, then the exchange fails", {4, kFail}, 2, 2, 0x33, false},
    {"other status", {7}, 0, 1, 7, false},
    {"done", {0}, 0, 1, 0, true},
    {"exchange fails", {kFail}, 2, 1, 0x33, false},
};

class BusyRetryTest : public ClientTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(BusyRetryTest, BusyReplyIsSentOnceMoreAfterAPause) {
    const RetryCase& c = GetParam();
    OpenEncrypted();
    g_MiscCommon.SequenceNumber = 40;
    SetMiscDevice(c.statuses);
    LastMiscStatus = 0x33;
    g_MiscCommon._SetErrorText("stale");
    uint8_t data[7] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(CallMiscSubfunction(7, 0, data), c.result);
    EXPECT_EQ(LastMiscStatus, c.lastMiscStatus);
    EXPECT_EQ(data[0], c.dataReplaced ? 0xFE : 1);
    EXPECT_EQ(Text(), c.result == 0 ? L"" : Prefixed("CallMiscFunction: DeviceIoControl failed."));
    const auto& xs = testplatform::Exchanges();
    ASSERT_EQ(xs.size(), c.exchanges);
    EXPECT_EQ(testplatform::Sleeps(),
              c.exchanges == 2 ? std::vector<uint32_t>{100} : std::vector<uint32_t>{});
    if (c.exchanges == 2) {
        // The retry repeats the first request, under the next sequence number.
        const Inner first = Decode(xs[0], true), second = Decode(xs[1], true);
        EXPECT_EQ(first.input, second.input);
        EXPECT_EQ(first.sequence, 40u);
        EXPECT_EQ(second.sequence, 41u);
    }
    ExpectNoLeak();
}

INSTANTIATE_TEST_SUITE_P(Replies, BusyRetryTest, ::testing::ValuesIn(kRetries), RowName<RetryCase>);

TEST_F(ClientTest, MiscFunctionChecks) {
    uint8_t packet[10] = {};
    platform::SetLastErrorValue(61);
    EXPECT_EQ(g_MiscCommon.CallMiscFunction(packet, 10), 8u);
    EXPECT_EQ(Text(), Prefixed("CallMiscFunction: _hDevice is NULL"));
    LastMiscStatus = 0x21;
    EXPECT_EQ(CallMiscSubfunction(1, 0, packet), 8u);
    EXPECT_EQ(LastMiscStatus, 0x21);

    OpenPlain();
    platform::SetLastErrorValue(61);
    EXPECT_EQ(g_MiscCommon.CallMiscFunction(nullptr, 10), 3u);
    EXPECT_EQ(Text(), Prefixed("CallMiscFunction: pPacket is NULL"));
    EXPECT_EQ(g_MiscCommon.CallMiscFunction(packet, 0), 3u);
    EXPECT_EQ(Text(), Prefixed("CallMiscFunction: sizePacket is '0'"));
    EXPECT_EQ(platform::GetLastErrorValue(), 61u);
    testplatform::FailAllocation(1);
    EXPECT_EQ(g_MiscCommon.CallMiscFunction(packet, 10), 5u);
    EXPECT_EQ(Text(), Prefixed("CallMiscFunction: HeapAlloc failed."));
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorNotEnoughMemory);

    // The packet of CallMiscSubfunction itself: no text, nothing recorded.
    testplatform::FailAllocation(1);
    g_MiscCommon._SetErrorText("kept");
    EXPECT_EQ(CallMiscSubfunction(1, 0, packet), 5u);
    EXPECT_EQ(Text(), Prefixed("kept"));
    EXPECT_EQ(LastMiscStatus, 0x21);
    EXPECT_TRUE(testplatform::Exchanges().empty());
    ExpectNoLeak();
}

}  // namespace
}  // namespace clienttest
