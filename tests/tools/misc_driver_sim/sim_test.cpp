// The simulated driver's request handling, in process: the real client talks to
// it through the test backend's responder, and raw frames probe its checks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "crypto/bigint.h"
#include "driver_client/misc_common.h"
#include "platform/test/test_platform.h"
#include "tests/session/oracle.h"
#include "tools/misc_driver_sim/sim.h"

namespace {

using MiscCommon::CMiscCommon;
using oracle::Bytes;

// A reproducible random source, so a failing run can be replayed.
uint64_t g_randomState = 1;
void CountingRandom(uint8_t* out, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        g_randomState = g_randomState * 6364136223846793005ull + 1442695040888963407ull;
        out[i] = uint8_t(g_randomState >> 56);
    }
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testplatform::Reset();
        g_randomState = 1;
        char pattern[] = "/tmp/sim_table_XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        unlink(pattern);
        tablePath = pattern;
        device = std::make_shared<misc_sim::Device>();
        device->config.tablePath = tablePath;
        device->config.random = CountingRandom;
        ASSERT_TRUE(misc_sim::EnsureTable(tablePath));
        Serve();
        // The misc-function calls go through the global client: give each test a
        // fresh one, as a new process would have.
        client = &MiscCommon::g_MiscCommon;
        client->CloseDriver();
        client->~CMiscCommon();
        new (client) CMiscCommon();
        LastMiscStatus = 0;
        ASSERT_EQ(client->OpenDriver(), 0u);
    }

    void TearDown() override {
        client->CloseDriver();
        testplatform::SetResponder(nullptr);
        unlink(tablePath.c_str());
    }

    // The device answers the client's exchanges, each request first passed to alter
    // when given.
    void Serve(std::function<void(misc_sim::Request*)> alter = nullptr) {
        std::shared_ptr<misc_sim::Device> d = device;
        testplatform::SetResponder([d, alter](const testplatform::Exchange& e) {
            misc_sim::Request request;
            request.code = e.code;
            request.input = e.input;
            request.outSize = e.outSize;
            if (alter) {
                alter(&request);
            }
            const misc_sim::Reply reply = misc_sim::HandleRequest(d.get(), request);
            return testplatform::Reply{reply.ok != 0, reply.error, reply.output};
        });
    }

    // One request straight to the device, past the client.
    misc_sim::Reply Send(uint32_t code, const Bytes& input, uint32_t outSize) {
        return misc_sim::HandleRequest(device.get(), misc_sim::Request{code, input, outSize});
    }

    // A new handle for a new handshake, as after a reopen.
    void Reopen() {
        client->CloseDriver();
        misc_sim::ResetHandle(&device->handle);
        ASSERT_EQ(client->OpenDriver(), 0u);
    }

    std::wstring Text() const { return client->LastErrorText; }

    Bytes Table() const {
        std::vector<uint8_t> table;
        EXPECT_TRUE(misc_sim::LoadTable(tablePath, &table));
        return table;
    }

    uint32_t ReadTable(uint8_t* buffer) {
        std::memset(buffer, 0, 110);
        const uint32_t size = 110;
        return client->GetBiosExtensionTable2(buffer, &size);
    }

    std::string tablePath;
    std::shared_ptr<misc_sim::Device> device;
    CMiscCommon* client = nullptr;
};

TEST_F(SimTest, EncryptedSessionReadsAndWritesTheTable) {
    ASSERT_EQ(client->_Initialize(), 0u);
    ASSERT_NE(client->SessionCipher, nullptr);
    EXPECT_EQ(client->SessionId, device->handle.sid);
    EXPECT_EQ(device->handle.phase, misc_sim::Phase::Established);

    uint8_t table[110];
    ASSERT_EQ(ReadTable(table), 0u);
    EXPECT_EQ(Bytes(table, table + 110), misc_sim::DefaultTable());
    // The request travelled enciphered: its inner header is not on the wire in clear.
    const auto& sent = testplatform::Exchanges().back();
    ASSERT_EQ(sent.code, MiscCommon::IOCTL_MISC_ENCAPSULATED);
    ASSERT_EQ(sent.input.size(), 48u);
    EXPECT_EQ(oracle::Le32(sent.input.data()), 26u);  // the header stays clear
    EXPECT_NE(oracle::Le32(sent.input.data() + 16), 26u);
    EXPECT_NE(oracle::Le32(sent.input.data() + 20), MiscCommon::IOCTL_MISC_BIOS_EXT_TABLE);

    // Write-back of a new image through subfunctions 0, 1 and 2.
    uint8_t sub0[7] = {1, 0, 5, 0, 0, 0x80, 0};
    ASSERT_EQ(CallMiscSubfunction(7, 0, sub0), 0u);
    EXPECT_EQ(LastMiscStatus, 0);
    EXPECT_EQ(sub0[6], 1);
    uint8_t sub1[124] = {1, 0, 5, 0, 0, 0x80, 115, 0, 0x02};
    for (int i = 0; i < 32; ++i) {
        sub1[9 + i] = uint8_t(0xA0 + i);
    }
    ASSERT_EQ(CallMiscSubfunction(124, 1, sub1), 0u);
    EXPECT_EQ(LastMiscStatus, 0);
    EXPECT_EQ(sub1[123], 1);
    ASSERT_EQ(CallMiscSubfunction(123, 2, sub1), 0u);
    EXPECT_EQ(LastMiscStatus, 0);
    Bytes expected = misc_sim::DefaultTable();
    std::memcpy(expected.data() + 4, sub1 + 8, 33);
    EXPECT_EQ(Table(), expected);
    EXPECT_EQ(client->SequenceNumber, 4u);
    EXPECT_EQ(device->handle.expectedSequence, 4u);
}

// A driver takes each handshake message only with an output buffer of exactly its
// reply's size; the client's messages fail at the step whose buffer was changed.
TEST_F(SimTest, HandshakeOutputBuffersOfAnyOtherSizeAreRefused) {
    const struct {
        char step;
        uint32_t outSize;
        const wchar_t* failure;
    } cases[] = {{'1', 4096, L"DeviceIoControl failed."},
                 {'1', 161, L"DeviceIoControl failed."},
                 {'2', 64, L"DeviceIoControl (phase2) failed."},
                 {'2', 21, L"DeviceIoControl (phase2) failed."},
                 {'3', 16, L"DeviceIoControl (phase3) failed."},
                 {'3', 9, L"DeviceIoControl (phase3) failed."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "Ini" << c.step << " with " << c.outSize);
        Reopen();
        Serve([&c](misc_sim::Request* r) {
            if (r->input.size() >= 4 && r->input[3] == c.step) {
                r->outSize = c.outSize;
            }
        });
        EXPECT_EQ(client->_Initialize(), 2u);
        EXPECT_EQ(Text(), std::wstring(L"MiscCommon::CMiscCommon::_Initialize: ") + c.failure);
    }
}

// When no key pair can be made, Ini1 is refused and nothing of the attempts
// (an exponent, a public value never computed) is kept.
TEST_F(SimTest, WithoutAKeyPairIni1IsRefusedAndNothingIsKept) {
    device->config.faults.noKeyPair = true;
    EXPECT_EQ(client->_Initialize(), 2u);
    EXPECT_EQ(Text(), L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl failed.");
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorGenFailure);
    const misc_sim::KeyPair& pair = device->prepared;
    EXPECT_FALSE(pair.ready);
    EXPECT_EQ(Bytes(pair.yd, pair.yd + sizeof pair.yd), Bytes(sizeof pair.yd, 0));
    for (uint32_t word : pair.exponent) {
        EXPECT_EQ(word, 0u);
    }
    EXPECT_EQ(device->handle.phase, misc_sim::Phase::None);

    device->config.faults.noKeyPair = false;
    Reopen();
    EXPECT_EQ(client->_Initialize(), 0u);
}

TEST_F(SimTest, SubfunctionTwoMustCarryWhatSubfunctionOneReturned) {
    ASSERT_EQ(client->_Initialize(), 0u);
    uint8_t sub1[124] = {1, 0, 5, 0, 0, 0x80, 115, 0, 0x02, 0x11};
    ASSERT_EQ(CallMiscSubfunction(124, 1, sub1), 0u);
    sub1[20] ^= 1;
    ASSERT_EQ(CallMiscSubfunction(123, 2, sub1), 0u);
    EXPECT_NE(LastMiscStatus, 0);
    EXPECT_EQ(Table(), misc_sim::DefaultTable());
}

TEST_F(SimTest, BusyAnswersStatusFourAndTheRetryUsesTheNextSequenceNumber) {
    device->config.busy = 1;
    ASSERT_EQ(client->_Initialize(), 0u);
    uint8_t sub0[7] = {1, 0, 5, 0, 0, 0x80, 0};
    ASSERT_EQ(CallMiscSubfunction(7, 0, sub0), 0u);
    EXPECT_EQ(LastMiscStatus, 0);
    EXPECT_EQ(testplatform::Sleeps(), std::vector<uint32_t>{100});
    EXPECT_EQ(client->SequenceNumber, 2u);
    EXPECT_EQ(device->handle.expectedSequence, 2u);
}

TEST_F(SimTest, PlainDriverRefusesTheProbeAndServesCapsulesInClear) {
    device->config.encryption = false;
    ASSERT_EQ(client->_Initialize(), 0u);
    EXPECT_EQ(client->EncryptionEnabled, 0);
    uint8_t table[110];
    ASSERT_EQ(ReadTable(table), 0u);
    EXPECT_EQ(Bytes(table, table + 110), misc_sim::DefaultTable());
}

// The bad-header fault serves byte 3 of the table (the header's 01) as 00 and
// changes nothing else.
TEST_F(SimTest, BadHeaderFaultClearsByteThreeOnly) {
    device->config.encryption = false;
    device->config.faults.badHeader = true;
    ASSERT_EQ(client->_Initialize(), 0u);
    uint8_t table[110];
    ASSERT_EQ(ReadTable(table), 0u);
    Bytes expected = misc_sim::DefaultTable();
    expected[3] = 0x00;
    EXPECT_EQ(Bytes(table, table + 110), expected);
}

// --- raw frames -----------------------------------------------------------------

Bytes Frame(uint32_t code, const Bytes& input, uint32_t outSize) {
    Bytes frame(12);
    oracle::PutLe32(frame.data(), code);
    oracle::PutLe32(frame.data() + 4, uint32_t(input.size()));
    oracle::PutLe32(frame.data() + 8, outSize);
    frame.insert(frame.end(), input.begin(), input.end());
    return frame;
}

TEST(SimFrames, ReaderCutsFramesAndClosesOnOversize) {
    misc_sim::FrameReader reader;
    misc_sim::Request request;
    const Bytes first = Frame(0x222000, {}, 0);
    const Bytes second = Frame(0x222004, {1, 2, 3, 4}, 0);
    reader.pending = oracle::Concat(first, second);
    reader.pending.pop_back();  // the second frame is one byte short
    ASSERT_EQ(misc_sim::NextFrame(&reader, &request), misc_sim::ReadResult::Frame);
    EXPECT_EQ(request.code, 0x222000u);
    EXPECT_EQ(misc_sim::NextFrame(&reader, &request), misc_sim::ReadResult::NeedMore);
    reader.pending.push_back(4);
    ASSERT_EQ(misc_sim::NextFrame(&reader, &request), misc_sim::ReadResult::Frame);
    EXPECT_EQ(request.input, (Bytes{1, 2, 3, 4}));

    for (uint32_t field : {4u, 8u}) {
        misc_sim::FrameReader big;
        big.pending = Frame(0x222008, {}, 0);
        oracle::PutLe32(big.pending.data() + field, misc_sim::kMaxFrameData + 1);
        EXPECT_EQ(misc_sim::NextFrame(&big, &request), misc_sim::ReadResult::Close) << field;
    }
}

// A plain-mode capsule for the table request with a chosen sequence number.
Bytes TableCapsule(uint32_t sequence, uint32_t sessionId = 0) {
    Bytes capsule(48, 0);
    oracle::PutLe32(capsule.data(), 26);
    oracle::PutLe32(capsule.data() + 4, 48);
    oracle::PutLe32(capsule.data() + 8, sessionId);
    oracle::PutLe32(capsule.data() + 12, sequence);
    oracle::PutLe32(capsule.data() + 16, 26);
    oracle::PutLe32(capsule.data() + 20, MiscCommon::IOCTL_MISC_BIOS_EXT_TABLE);
    oracle::PutLe32(capsule.data() + 24, 2);
    oracle::PutLe32(capsule.data() + 28, 110);
    capsule[32] = 5;
    return capsule;
}

TEST_F(SimTest, CapsuleChecksRefuseWithoutUsingASequenceNumber) {
    device->config.encryption = false;
    auto send = [&](const Bytes& capsule, uint32_t outSize) {
        return Send(MiscCommon::IOCTL_MISC_ENCAPSULATED, capsule, outSize);
    };
    misc_sim::Reply reply = send(TableCapsule(1), 128);  // expected 0
    EXPECT_EQ(reply.ok, 0u);
    EXPECT_EQ(reply.error, 5u);
    Bytes badSize = TableCapsule(0);
    oracle::PutLe32(badSize.data() + 4, 40);
    EXPECT_EQ(send(badSize, 128).error, 5u);
    EXPECT_EQ(send(TableCapsule(0, 7), 128).error, 5u);  // wrong SessionId
    // The reply capsule would be 128 bytes: a smaller buffer gets ERROR_MORE_DATA.
    reply = send(TableCapsule(0), 120);
    EXPECT_EQ(reply.error, 234u);
    EXPECT_TRUE(reply.output.empty());
    EXPECT_EQ(device->handle.expectedSequence, 0u);

    reply = send(TableCapsule(0), 128);
    ASSERT_EQ(reply.ok, 1u);
    ASSERT_EQ(reply.output.size(), 128u);
    EXPECT_EQ(oracle::Le32(reply.output.data()), 110u);
    EXPECT_EQ(oracle::Le32(reply.output.data() + 4), 128u);
    EXPECT_EQ(device->handle.expectedSequence, 1u);
    // A replay of the same number is refused.
    EXPECT_EQ(send(TableCapsule(0), 128).error, 5u);
}

// Ini2 is answered before the driver's exponentiation, which the server runs once
// the reply is sent; in process nobody does, so Ini3 works the secret out itself.
TEST_F(SimTest, Ini2IsAnsweredBeforeTheSharedSecretIsWorkedOut) {
    bool owedAtIni3 = false;
    Serve([&](misc_sim::Request* request) {
        if (request->input.size() >= 4 && std::memcmp(request->input.data(), "Ini3", 4) == 0) {
            owedAtIni3 = device->handle.kekOwed;
        }
    });
    ASSERT_EQ(client->_Initialize(), 0u);
    EXPECT_TRUE(owedAtIni3);
    EXPECT_FALSE(device->handle.kekOwed);
    const uint32_t wiped[6] = {};
    EXPECT_EQ(std::memcmp(device->handle.exponent, wiped, sizeof wiped), 0);
    EXPECT_EQ(device->handle.phase, misc_sim::Phase::Established);
}

// A shared secret the exponentiation cannot store (Z = p - 2 by an exponent of 1 keeps
// a spare word) refuses the Ini3 that follows, the secret worked out as the server
// does, once the Ini2 reply is out.
TEST_F(SimTest, Ini3IsRefusedWhenTheSharedSecretCannotBeWorkedOut) {
    uint32_t ini3Error = 0;
    std::shared_ptr<misc_sim::Device> d = device;
    testplatform::SetResponder([&ini3Error, d](const testplatform::Exchange& e) {
        const misc_sim::Reply reply =
            misc_sim::HandleRequest(d.get(), misc_sim::Request{e.code, e.input, e.outSize});
        const bool tagged = e.input.size() >= 4;
        if (tagged && std::memcmp(e.input.data(), "Ini2", 4) == 0) {
            uint32_t pMinus2[33];
            std::memcpy(pMinus2, kOakleyGroup2Prime, sizeof pMinus2);
            pMinus2[0] -= 2;
            std::memcpy(d->handle.yc, pMinus2, sizeof d->handle.yc);
            std::memset(d->handle.exponent, 0, sizeof d->handle.exponent);
            d->handle.exponent[0] = 1;
            EXPECT_FALSE(misc_sim::WorkOutKek(d.get()));
        }
        if (tagged && std::memcmp(e.input.data(), "Ini3", 4) == 0) {
            ini3Error = reply.error;
        }
        return testplatform::Reply{reply.ok != 0, reply.error, reply.output};
    });
    EXPECT_NE(client->_Initialize(), 0u);
    EXPECT_EQ(ini3Error, 31u);
    EXPECT_EQ(client->SessionCipher, nullptr);
}

TEST_F(SimTest, EncryptedDriverRefusesCapsulesBeforeTheHandshake) {
    const misc_sim::Reply reply = Send(MiscCommon::IOCTL_MISC_ENCAPSULATED, TableCapsule(0), 128);
    EXPECT_EQ(reply.ok, 0u);
    EXPECT_EQ(reply.error, 5u);
}

// The probe, a session request with no buffers, is answered as done by a driver that
// encrypts and refused as not supported by one that does not.
TEST_F(SimTest, TheProbeSaysWhetherTheDriverEncrypts) {
    for (const bool encryption : {true, false}) {
        device->config.encryption = encryption;
        const misc_sim::Reply reply = Send(MiscCommon::IOCTL_MISC_SESSION, {}, 0);
        EXPECT_EQ(reply.ok, encryption ? 1u : 0u);
        EXPECT_EQ(reply.error, encryption ? 0u : 50u);
    }
}

TEST_F(SimTest, HandshakeMessagesOutOfTurnOrMisshapenAreRefused) {
    auto send = [&](const Bytes& input, uint32_t outSize) {
        return Send(MiscCommon::IOCTL_MISC_SESSION, input, outSize);
    };
    Bytes ini2 = {'I', 'n', 'i', '2'};
    ini2.resize(28, 0);
    EXPECT_EQ(send(ini2, 20).error, 5u);  // before Ini1
    Bytes ini1 = {'I', 'n', 'i', '1'};
    ini1.resize(160, 0);
    ini1[4] = 2;
    EXPECT_EQ(send(Bytes(ini1.begin(), ini1.end() - 1), 160).error, 5u);  // 159 bytes
    Bytes badYc = ini1;
    badYc[4] = 1;  // Yc = 1
    EXPECT_EQ(send(badYc, 160).error, 5u);
    Bytes badTag = ini1;
    badTag[3] = '9';
    EXPECT_EQ(send(badTag, 160).error, 5u);
    for (size_t at : {156, 159}) {  // the four bytes after the client's nonce are zero
        Bytes openNonce = ini1;
        openNonce[at] = 1;
        EXPECT_EQ(send(openNonce, 160).error, 5u) << at;
    }
    const misc_sim::Reply reply = send(ini1, 160);
    ASSERT_EQ(reply.ok, 1u);
    ASSERT_EQ(reply.output.size(), 160u);
    // Ini2 with the wrong SID, then with a wrong proof.
    oracle::PutLe32(ini2.data() + 4, oracle::Le32(reply.output.data()) ^ 1);
    EXPECT_EQ(send(ini2, 20).error, 5u);
    oracle::PutLe32(ini2.data() + 4, oracle::Le32(reply.output.data()));
    EXPECT_EQ(send(ini2, 20).error, 5u);
    EXPECT_EQ(device->handle.phase, misc_sim::Phase::Offered);
}

// Ini1 takes a public value strictly between 1 and p - 1: the edges are refused, the
// values next to them taken.
TEST_F(SimTest, Ini1TakesAPublicValueStrictlyBetweenOneAndPMinusOne) {
    const struct {
        const char* name;
        uint32_t low;  // word 0: the others are the prime's, or zero for a small value
        bool small, taken;
    } rows[] = {{"1", 1, true, false},
                {"2", 2, true, true},
                {"p - 2", 0xFFFFFFFD, false, true},
                {"p - 1", 0xFFFFFFFE, false, false},
                {"p", 0xFFFFFFFF, false, false}};
    for (const auto& row : rows) {
        Bytes ini1 = {'I', 'n', 'i', '1'};
        ini1.resize(160, 0);
        for (uint32_t i = 1; i < 33 && !row.small; ++i) {
            oracle::PutLe32(ini1.data() + 4 + 4 * i, kOakleyGroup2Prime[i]);
        }
        oracle::PutLe32(ini1.data() + 4, row.low);
        const misc_sim::Reply reply = Send(MiscCommon::IOCTL_MISC_SESSION, ini1, 160);
        EXPECT_EQ(reply.ok, row.taken ? 1u : 0u) << "Yc = " << row.name;
        EXPECT_EQ(reply.error, row.taken ? 0u : 5u) << "Yc = " << row.name;
    }
}

// Function 0x0114 serves subfunctions 0 to 2, each with room for its data; any other
// subfunction or function is refused (status 1), short data is a bad request (3).
TEST_F(SimTest, MiscFunctionsOutsideTheCalibrationStepsAreRefused) {
    device->config.encryption = false;
    ASSERT_EQ(client->_Initialize(), 0u);
    const struct {
        uint16_t function, subfunction, length;
        uint8_t status;
    } rows[] = {{0x0114, 0, 6, 3},      {0x0114, 1, 123, 3}, {0x0114, 3, 8, 1},
                {0x0114, 0xFFFF, 8, 1}, {0x0115, 0, 7, 1},   {0x0114, 0, 7, 0}};
    for (const auto& row : rows) {
        Bytes packet(MISC_PACKET_HEADER_SIZE + row.length, 0);
        const uint16_t size = uint16_t(packet.size());
        const uint16_t header[5] = {row.function, size, size, 0, row.subfunction};
        std::memcpy(packet.data(), header, sizeof header);
        ASSERT_EQ(client->CallMiscFunction(packet.data(), size), 0u);
        EXPECT_EQ(packet[0], row.status) << row.function << "/" << row.subfunction;
    }
}

// A request without input makes the shortest payload, 24 bytes: its inner code
// judges it. A shorter payload is refused as a capsule.
TEST_F(SimTest, TheShortestRequestReachesItsInnerCode) {
    device->config.encryption = false;
    const struct {
        uint32_t payloadLength, innerCode, error;
    } rows[] = {{24, MiscCommon::IOCTL_MISC_BIOS_EXT_TABLE, 87},
                {24, 0x222ABC, 1},
                {20, MiscCommon::IOCTL_MISC_BIOS_EXT_TABLE, 5}};
    for (const auto& row : rows) {
        Bytes capsule(MiscCommon::CapsuleSizeFor(row.payloadLength), 0);
        oracle::PutLe32(capsule.data(), row.payloadLength);
        oracle::PutLe32(capsule.data() + 4, uint32_t(capsule.size()));
        oracle::PutLe32(capsule.data() + 16, row.payloadLength);
        oracle::PutLe32(capsule.data() + 20, row.innerCode);
        oracle::PutLe32(capsule.data() + 28, 110);
        const misc_sim::Reply reply = Send(MiscCommon::IOCTL_MISC_ENCAPSULATED, capsule, 128);
        EXPECT_EQ(reply.ok, 0u);
        EXPECT_EQ(reply.error, row.error) << row.payloadLength << " bytes for " << row.innerCode;
    }
}

// Every byte of the driver's randomness is written: over 16 calls, each position
// moves off a marker at least once (a byte left alone fails, a random one does so
// with odds of 2^-128).
TEST(SimRandom, SystemRandomWritesEveryByte) {
    std::vector<bool> written(33, false);
    for (int call = 0; call < 16; ++call) {
        uint8_t bytes[34];
        std::memset(bytes, 0xA5, sizeof bytes);
        misc_sim::SystemRandom(bytes, 33);
        for (size_t i = 0; i < 33; ++i) {
            written[i] = written[i] || bytes[i] != 0xA5;
        }
        EXPECT_EQ(bytes[33], 0xA5) << "beyond the size";
    }
    EXPECT_EQ(written, std::vector<bool>(33, true));
}

TEST(SimTable, SaveReplacesTheFileWhole) {
    char pattern[] = "/tmp/sim_save_XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    const Bytes table(112, 0x33);
    ASSERT_TRUE(misc_sim::SaveTable(pattern, table));
    std::vector<uint8_t> loaded;
    ASSERT_TRUE(misc_sim::LoadTable(pattern, &loaded));
    EXPECT_EQ(loaded, table);
    EXPECT_NE(access((std::string(pattern) + ".new").c_str(), F_OK), 0);
    // A missing folder fails the save and leaves nothing behind.
    EXPECT_FALSE(misc_sim::SaveTable("/nonexistent-folder/t.bin", table));
    unlink(pattern);
    const Bytes defaults = misc_sim::DefaultTable();
    ASSERT_EQ(defaults.size(), 110u);
    EXPECT_EQ(Bytes(defaults.begin(), defaults.begin() + 5), (Bytes{0x80, 0x00, 0x6E, 0x01, 0x02}));
}

}  // namespace
