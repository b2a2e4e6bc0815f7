// Capsules, the encapsulated exchange and the BIOS table read: bytes on the
// wire, failure table, sequence numbers, and the refusal of malformed replies.

#include "tests/driver_client/client_fixture.h"

namespace clienttest {
namespace {

using MiscCommon::IOCTL_MISC_BIOS_EXT_TABLE;

Bytes Table(size_t n) {
    Bytes t(n);
    for (size_t i = 0; i < n; ++i) {
        t[i] = static_cast<uint8_t>(0x80 + i);
    }
    return t;
}

TEST_F(ClientTest, CapsuleSizesAndLayout) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{0, 16}, {1, 24},  {8, 24},
                                                   {9, 32}, {26, 48}, {110, 128}};
    for (const auto& [n, size] : sizes) {
        const Bytes payload = Table(n);
        uint8_t* c = g_MiscCommon._InitializeMessageCapsule(n, n ? payload.data() : nullptr);
        ASSERT_NE(c, nullptr);
        Bytes expected = U32s({n, size, 0}, payload);
        expected.resize(size, 0);
        EXPECT_EQ(Bytes(c, c + size), expected) << n;
        platform::HeapRelease(c);
    }
    // A failed allocation, and a size no allocation can have, report 8.
    testplatform::FailAllocation(1);
    for (uint32_t n : {4u, 0xFFFFFFF0u}) {
        platform::SetLastErrorValue(77);
        g_MiscCommon._ClearErrorText();
        EXPECT_EQ(g_MiscCommon._InitializeMessageCapsule(n, nullptr), nullptr) << n;
        EXPECT_EQ(Text(), Prefixed("_InitializeMessageCapsule: HeapAlloc failed."));
        EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorNotEnoughMemory);
    }
    ExpectNoLeak();
}

TEST_F(ClientTest, CipherStepsRefuseMissingCapsuleOrKeyAndMalformedReplies) {
    uint8_t capsule[48] = {};
    capsule[4] = 48;
    EXPECT_EQ(g_MiscCommon._Encrypt(nullptr), 3u);
    EXPECT_EQ(Text(), Prefixed("_Encrypt: capsule is NULL"));
    EXPECT_EQ(g_MiscCommon._Decrypt(nullptr), 3u);
    EXPECT_EQ(Text(), Prefixed("_Decrypt: capsule is NULL"));
    EXPECT_EQ(g_MiscCommon._Encrypt(capsule), 8u);
    EXPECT_EQ(Text(), Prefixed("_Encrypt: BlowFish Context is not initialized."));
    EXPECT_EQ(g_MiscCommon._Decrypt(capsule), 8u);
    EXPECT_EQ(Text(), Prefixed("_Decrypt: BlowFish Context is not initialized."));

    OpenEncrypted();
    for (int i = 12; i < 44; ++i) {
        capsule[i] = static_cast<uint8_t>(i);
    }
    const Bytes plain(capsule, capsule + 48);
    ASSERT_EQ(g_MiscCommon._Encrypt(capsule), 0u);
    Bytes onWire(capsule, capsule + 48);
    EXPECT_TRUE(std::equal(onWire.begin(), onWire.begin() + 12, plain.begin()));
    EXPECT_TRUE(std::equal(onWire.end() - 4, onWire.end(), plain.end() - 4));
    DeviceCipherBlocks(onWire, 48, false);  // the device's view, little-endian halves
    EXPECT_EQ(onWire, plain);
    ASSERT_EQ(g_MiscCommon._Decrypt(capsule), 0u);
    EXPECT_EQ(Bytes(capsule, capsule + 48), plain);

    // A reply's CapsuleSize is refused before any block is touched when it is
    // short, off the 8-byte grid, or beyond the buffer; a capsule to send, whose
    // size bounds itself, only when it is short or off the grid.
    for (uint32_t bad : {0u, 8u, 15u, 20u, 44u, 56u, 0xFFFFFFF8u}) {
        SCOPED_TRACE(bad);
        for (int i = 0; i < 4; ++i) {
            capsule[4 + i] = static_cast<uint8_t>(bad >> (8 * i));
        }
        const Bytes before(capsule, capsule + 48);
        EXPECT_EQ(g_MiscCommon._Decrypt(capsule, 48), 2u);
        EXPECT_EQ(Text(), Prefixed(("_Decrypt: invalid CapsuleSize " + std::to_string(bad) +
                                    " for a buffer of 48 bytes.")
                                       .c_str()));
        if (bad < 48) {
            EXPECT_EQ(g_MiscCommon._Encrypt(capsule), 2u);
            EXPECT_EQ(
                Text(),
                Prefixed(("_Encrypt: invalid CapsuleSize " + std::to_string(bad) + ".").c_str()));
        }
        EXPECT_EQ(Bytes(capsule, capsule + 48), before);
    }
}

// The BIOS table request, plain and enciphered: the exact 48-byte capsule.
class BiosTableRequestTest : public ClientTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BiosTableRequestTest, OnTheWire) {
    const bool enciphered = GetParam();
    enciphered ? OpenEncrypted() : OpenPlain();
    g_MiscCommon.SessionId = 0x55;
    g_MiscCommon.SequenceNumber = 7;
    SetCapsuleDevice([](const Inner&) { return Answer{true, 0, Table(110)}; }, enciphered);
    uint8_t buffer[110] = {};
    const uint32_t size = 110;
    ASSERT_EQ(g_MiscCommon.GetBiosExtensionTable2(buffer, &size), 0u);
    EXPECT_EQ(Bytes(buffer, buffer + 110), Table(110));
    EXPECT_EQ(g_MiscCommon.SequenceNumber, 8u);

    const testplatform::Exchange& x = testplatform::Exchanges().at(0);
    EXPECT_EQ(x.code, MiscCommon::IOCTL_MISC_ENCAPSULATED);
    EXPECT_EQ(x.outSize, 128u);
    Bytes expected = U32s({26, 48, 0x55, 7, 26, IOCTL_MISC_BIOS_EXT_TABLE, 2, 110}, {5, 0});
    expected.resize(48, 0);
    const Bytes wire = x.input;
    EXPECT_EQ(Decode(x, enciphered).capsule, expected);
    EXPECT_EQ(wire != expected, enciphered);  // enciphered means changed
    ExpectNoLeak();
}

INSTANTIATE_TEST_SUITE_P(Modes, BiosTableRequestTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Enciphered" : "Plain";
                         });

struct ExchangeCase {
    const char* name;
    std::function<void()> arrange;  // after the device is set up
    Answer answer;
    uint32_t outSize;
    bool result;
    uint32_t lastError;
    const char* text;  // null: the text stays empty
    uint32_t bytesReturned;
    uint32_t sequenceAfter;  // from 5
    size_t exchanges;
};

void PrintTo(const ExchangeCase& c, std::ostream* os) {
    *os << c.name;
}

const ExchangeCase kExchangeOutcomes[] = {
    {"success", nullptr, {true, 0, Table(10)}, 16, true, 0xABCD, nullptr, 10, 6, 1},
    {"empty payload", nullptr, {true, 0, {}}, 16, true, 0xABCD, nullptr, 0, 6, 1},
    {"driver failure, data delivered",
     nullptr,
     {false, 1117, Table(3)},
     16,
     false,
     1117,
     nullptr,
     3,
     6,
     1},
    {"payload too long",
     nullptr,
     {true, 0, Table(9)},
     8,
     false,
     platform::kErrorMoreData,
     nullptr,
     8,
     6,
     1},
    {"PayloadLength beyond the buffer",
     nullptr,
     {true, 0, Table(8), 0x7FFFFFFF},
     8,
     false,
     platform::kErrorMoreData,
     nullptr,
     8,
     6,
     1},
    {"eleven bytes",
     nullptr,
     {false, 31, Table(8), -1, -1, 11},
     8,
     false,
     31,
     "EncapsuledDeviceIoControl: Invalid structure returned. size = 11",
     0,
     6,
     1},
    {"nothing returned",
     nullptr,
     {false, 21, {}, -1, -1, 0},
     8,
     false,
     21,
     "EncapsuledDeviceIoControl: Invalid structure returned. size = 0",
     0,
     5,
     1},
    {"request alloc",
     [] { testplatform::FailAllocation(1); },
     {},
     8,
     false,
     platform::kErrorNotEnoughMemory,
     "EncapsuledDeviceIoControl: HeapAlloc failed.",
     0,
     5,
     0},
    {"capsule alloc",
     [] { testplatform::FailAllocation(2); },
     {},
     8,
     false,
     platform::kErrorNotEnoughMemory,
     "_InitializeMessageCapsule: HeapAlloc failed.",
     0,
     5,
     0},
    {"reply alloc",
     [] { testplatform::FailAllocation(3); },
     {},
     8,
     false,
     platform::kErrorNotEnoughMemory,
     "_InitializeMessageCapsule: HeapAlloc failed.",
     0,
     5,
     0},
};

class ExchangeOutcomeTest : public ClientTest,
                            public ::testing::WithParamInterface<ExchangeCase> {};

// Every outcome of EncapsuledDeviceIoControl in plain mode: result, last error,
// text, count, sequence number, and that all three blocks are released. A
// successful exchange leaves the last-error value as the device call did (the
// 0xABCD set before it).
TEST_P(ExchangeOutcomeTest, AsTheTableSays) {
    const ExchangeCase& c = GetParam();
    OpenPlain();
    g_MiscCommon.SequenceNumber = 5;
    SetCapsuleDevice([&c](const Inner&) { return c.answer; }, false);
    if (c.arrange) {
        c.arrange();
    }
    platform::SetLastErrorValue(0xABCD);
    Bytes out(c.outSize, 0xEE);
    uint32_t returned = 99;
    const uint8_t in[3] = {1, 2, 3};
    EXPECT_EQ(
        g_MiscCommon.EncapsuledDeviceIoControl(0x1234, in, 3, out.data(), c.outSize, &returned),
        c.result);
    EXPECT_EQ(platform::GetLastErrorValue(), c.lastError);
    EXPECT_EQ(Text(), c.text ? Prefixed(c.text) : L"");
    EXPECT_EQ(returned, c.bytesReturned);
    const Bytes sent = Table(c.answer.payload.size());
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + c.bytesReturned, sent.begin()));
    EXPECT_EQ(g_MiscCommon.SequenceNumber, c.sequenceAfter);
    EXPECT_EQ(testplatform::Exchanges().size(), c.exchanges);
    ExpectNoLeak();
}

INSTANTIATE_TEST_SUITE_P(Rows, ExchangeOutcomeTest, ::testing::ValuesIn(kExchangeOutcomes),
                         RowName<ExchangeCase>);

TEST_F(ClientTest, ExchangeArgumentChecksSendNothing) {
    OpenPlain();
    uint8_t b[8] = {};
    uint32_t returned = 42;
    struct {
        const void* in;
        uint32_t inSize;
        void* out;
        uint32_t outSize;
        uint32_t* ret;
    } const bad[] = {{b, 0, nullptr, 0, &returned},
                     {nullptr, 4, nullptr, 0, &returned},
                     {nullptr, 0, nullptr, 5, &returned},
                     {nullptr, 0, b, 0, &returned},
                     {nullptr, 0, nullptr, 0, nullptr}};
    for (const auto& a : bad) {
        EXPECT_FALSE(
            g_MiscCommon.EncapsuledDeviceIoControl(1, a.in, a.inSize, a.out, a.outSize, a.ret));
        EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorInvalidParameter);
        EXPECT_EQ(Text(), Prefixed("EncapsuledDeviceIoControl: Invalid Argument(s)."));
    }
    EXPECT_EQ(returned, 42u);
    g_MiscCommon.EncryptionEnabled = 1;  // on, but no cipher
    EXPECT_FALSE(g_MiscCommon.EncapsuledDeviceIoControl(1, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorAccessDenied);
    EXPECT_EQ(Text(), Prefixed("EncapsuledDeviceIoControl: Session Not Initialized."));
    EXPECT_EQ(returned, 42u);
    EXPECT_TRUE(testplatform::Exchanges().empty());
    EXPECT_EQ(g_MiscCommon.SequenceNumber, 0u);
}

TEST_F(ClientTest, EmptyExchangeAndSharedBufferAndWrappingSequence) {
    OpenEncrypted();
    g_MiscCommon.SequenceNumber = 0xFFFFFFFF;
    SetCapsuleDevice([](const Inner& in) { return Answer{true, 0, in.input}; }, true);
    uint32_t returned = 0;
    EXPECT_TRUE(g_MiscCommon.EncapsuledDeviceIoControl(0x99, nullptr, 0, nullptr, 0, &returned));
    const testplatform::Exchange& x = testplatform::Exchanges().at(0);
    EXPECT_EQ(x.input.size(), 40u);
    EXPECT_EQ(x.outSize, 16u);
    EXPECT_EQ(Le32(&Decode(x, true).capsule[16]), 24u);
    EXPECT_EQ(g_MiscCommon.SequenceNumber, 0u);

    // One buffer as input and output: the echo replaces the request.
    uint8_t both[5] = {9, 8, 7, 6, 5};
    EXPECT_TRUE(g_MiscCommon.EncapsuledDeviceIoControl(0x99, both, 5, both, 5, &returned));
    EXPECT_EQ(returned, 5u);
    EXPECT_EQ(Bytes(both, both + 5), (Bytes{9, 8, 7, 6, 5}));
    EXPECT_EQ(Decode(testplatform::Exchanges().at(1), true).sequence, 0u);
    ExpectNoLeak();
}

// A reply capsule whose own CapsuleSize cannot be right fails as a deciphering
// failure; nothing is copied out.
class MalformedReplyCapsuleTest : public ClientTest, public ::testing::WithParamInterface<long> {};

TEST_P(MalformedReplyCapsuleTest, IsRefused) {
    const long size = GetParam();
    OpenEncrypted();
    SetCapsuleDevice([size](const Inner&) { return Answer{true, 0, Table(110), -1, size}; }, true);
    uint8_t buffer[110] = {};
    uint32_t returned = 0;
    EXPECT_FALSE(g_MiscCommon.EncapsuledDeviceIoControl(1, nullptr, 0, buffer, 110, &returned));
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorInternalError);
    EXPECT_EQ(Text().rfind(Prefixed("_Decrypt: "), 0), 0u);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(Bytes(buffer, buffer + 110), Bytes(110, 0));
    EXPECT_EQ(g_MiscCommon.SequenceNumber, 1u);
    ExpectNoLeak();
}

INSTANTIATE_TEST_SUITE_P(CapsuleSizes, MalformedReplyCapsuleTest,
                         ::testing::Values(8L, 20L, 136L, 0xFFF0L),
                         [](const ::testing::TestParamInfo<long>& info) {
                             return "CapsuleSize" + std::to_string(info.param);
                         });

TEST_F(ClientTest, BiosTableFailures) {
    uint8_t buffer[110] = {};
    const uint32_t size110 = 110, size0 = 0;
    EXPECT_EQ(g_MiscCommon.GetBiosExtensionTable2(buffer, &size110), 8u);  // not open
    OpenPlain();
    platform::SetLastErrorValue(3);
    EXPECT_EQ(g_MiscCommon.GetBiosExtensionTable2(buffer, nullptr), 3u);
    EXPECT_EQ(g_MiscCommon.GetBiosExtensionTable2(nullptr, &size0), 3u);
    EXPECT_EQ(Text(), L"");
    EXPECT_EQ(platform::GetLastErrorValue(), 3u);
    EXPECT_TRUE(testplatform::Exchanges().empty());

    const std::wstring failed = Prefixed("GetBiosExtensionTable2: DeviceIoControl failed.");
    EXPECT_EQ(g_MiscCommon.GetBiosExtensionTable2(nullptr, &size110), 2u);
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorInvalidParameter);
    EXPECT_EQ(Text(), failed);

    // A failed exchange with a well-formed reply still delivers its data.
    SetCapsuleDevice([](const Inner&) { return Answer{false, 1117, Table(4)}; }, false);
    EXPECT_EQ(g_MiscCommon.GetBiosExtensionTable2(buffer, &size110), 2u);
    EXPECT_EQ(platform::GetLastErrorValue(), 1117u);
    EXPECT_EQ(Bytes(buffer, buffer + 4), Table(4));
    SetCapsuleDevice([](const Inner&) { return Answer{true, 0, Table(111)}; }, false);
    EXPECT_EQ(g_MiscCommon.GetBiosExtensionTable2(buffer, &size110), 2u);
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorMoreData);
    EXPECT_EQ(Bytes(buffer, buffer + 110), Table(110));
    ExpectNoLeak();
}

}  // namespace
}  // namespace clienttest
