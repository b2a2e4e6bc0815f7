// _Initialize against a scripted driver whose side the oracle computes.
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "crypto/bigint.h"
#include "driver_client/misc_common.h"
#include "platform/test/test_platform.h"
#include "session/handshake.h"
#include "tests/session/oracle.h"

namespace {

using MiscCommon::CMiscCommon;
using oracle::Bytes;

constexpr uint32_t kSid = 0xA1B2C3D4;
const platform::SystemTime kTime = {2026, 6, 0, 7, 12, 34, 56, 789};
constexpr int64_t kCounter = 0x0123456789ABCDEFLL;
constexpr uint32_t kCloseError = 999;

Bytes Slice(const Bytes& bytes, size_t at, size_t size) {
    return Bytes(bytes.begin() + at, bytes.begin() + at + size);
}

// The driver: answers Ini1/Ini2/Ini3 as the contract says, with knobs to
// misbehave at each step. Everything it computes comes from the oracle.
struct Driver {
    // Behaviour.
    testplatform::Reply probe{true, 0, {}};
    Bytes y = oracle::Number(0x1234567);  // the driver's exponent
    Bytes chosenYd;                       // sent instead of 2^y when set
    Bytes nd = Bytes(24, 0x5A);
    int failStep = 0;  // 1..3: that request fails with failError
    uint32_t failError = 31;
    int shortStep = 0;       // 1..3: that reply is one byte short
    int flipProofByte = -1;  // this byte of Pd is changed
    bool swapConfirmation = false;
    // What it saw and derived.
    Bytes yc, nc, yd, km, kek, ks;
    bool clientProofValid = false;
    std::vector<uint32_t> closedSids;
    uint32_t x[3] = {};  // the client's exponent, for Z when Yd is chosen

    testplatform::Reply operator()(const testplatform::Exchange& e) {
        testplatform::Reply reply;
        if (e.code == MiscCommon::IOCTL_MISC_CLOSE_SESSION) {
            closedSids.push_back(e.input.size() == 4 ? oracle::Le32(e.input.data()) : 0);
            // Its result is not examined; failing it shows whether the client
            // restores its own error value afterwards.
            return testplatform::Reply{false, kCloseError, {}};
        }
        if (e.code != MiscCommon::IOCTL_MISC_SESSION) {
            return testplatform::Reply{false, 1, {}};
        }
        if (e.input.empty()) {
            return probe;
        }
        const uint32_t tag = oracle::Le32(e.input.data());
        const int step = tag == 0x31696E49 ? 1 : tag == 0x32696E49 ? 2 : tag == 0x33696E49 ? 3 : 0;
        if (step == failStep) {
            return testplatform::Reply{false, failError, {}};
        }
        if (step == 1) {
            yc = Slice(e.input, 4, 132);
            nc = Slice(e.input, 136, 24);
            yd = chosenYd.empty() ? oracle::ModExp(oracle::Number(2), y) : chosenYd;
            km = oracle::Hmac(Bytes(oracle::kKa, oracle::kKa + 16), oracle::Concat(nc, nd));
            reply.output.resize(4);
            oracle::PutLe32(reply.output.data(), kSid);
            reply.output = oracle::Concat(oracle::Concat(reply.output, yd), nd);
        } else if (step == 2) {
            clientProofValid = Slice(e.input, 8, 20) == oracle::Hmac(km, oracle::Concat(yc, yd));
            reply.output = oracle::Hmac(km, oracle::Concat(yd, yc));
            if (flipProofByte >= 0) {
                reply.output[size_t(flipProofByte)] ^= 0x40;
            }
            const Bytes z =
                chosenYd.empty() ? oracle::ModExp(yc, y) : oracle::ModExp(yd, oracle::Exponent(x));
            kek = Slice(oracle::Sha1(z), 0, 16);
        } else if (step == 3) {
            const oracle::Cipher kekCipher(kek.data(), kek.size());
            ks.assign(16, 0);
            for (int block = 0; block < 2; ++block) {
                uint32_t left = oracle::Le32(e.input.data() + 8 + 8 * block);
                uint32_t right = oracle::Le32(e.input.data() + 12 + 8 * block);
                kekCipher.Decipher(&left, &right);
                oracle::PutLe32(ks.data() + 8 * block, left);
                oracle::PutLe32(ks.data() + 8 * block + 4, right);
            }
            const oracle::Cipher ksCipher(ks.data(), ks.size());
            uint32_t left = swapConfirmation ? 0x6373694D : 0x68747541;
            uint32_t right = swapConfirmation ? 0x68747541 : 0x6373694D;
            ksCipher.Encipher(&left, &right);
            reply.output.resize(8);
            oracle::PutLe32(reply.output.data(), left);
            oracle::PutLe32(reply.output.data() + 4, right);
        } else {
            return testplatform::Reply{false, 5, {}};
        }
        if (step == shortStep) {
            reply.output.pop_back();
        }
        return reply;
    }
};

struct Released {
    size_t size;
    bool allZero;
};

class HandshakeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testplatform::Reset();
        testplatform::SetSystemTime(kTime);
        testplatform::SetPerformanceCount(kCounter);
        draws = oracle::DrawsFor(kCounter, kTime);
        driver = std::make_shared<Driver>();
        std::memcpy(driver->x, draws.x, sizeof draws.x);
        std::shared_ptr<Driver> d = driver;
        testplatform::SetResponder([d](const testplatform::Exchange& e) { return (*d)(e); });
        testplatform::SetReleaseInspector([this](const uint8_t* block, size_t size) {
            bool zero = true;
            for (size_t i = 0; i < size; ++i) {
                zero = zero && block[i] == 0;
            }
            released.push_back({size, zero});
        });
        client = std::make_unique<CMiscCommon>();
        ASSERT_EQ(client->OpenDriver(), 0u);
        liveBefore = testplatform::LiveBlockCount();
        exchangesBefore = testplatform::Exchanges().size();
        released.clear();
    }

    void TearDown() override {
        client.reset();
        testplatform::SetReleaseInspector(nullptr);
        testplatform::SetResponder(nullptr);
    }

    // The exchanges of _Initialize, probe first.
    std::vector<testplatform::Exchange> Sent() const {
        const auto& all = testplatform::Exchanges();
        return std::vector<testplatform::Exchange>(all.begin() + long(exchangesBefore), all.end());
    }

    std::wstring Text() const { return client->LastErrorText; }

    void ExpectNoSession() const {
        EXPECT_EQ(client->SessionId, 0u);
        EXPECT_EQ(client->SessionCipher, nullptr);
        EXPECT_EQ(client->SequenceNumber, 0u);
        EXPECT_EQ(client->EncryptionEnabled, 1);
        EXPECT_EQ(testplatform::LiveBlockCount(), liveBefore);
    }

    void ExpectReleasedBlocksZero() const {
        for (const Released& r : released) {
            EXPECT_TRUE(r.allZero) << "a block of " << r.size << " bytes was released unwiped";
        }
    }

    bool ReleasedContext() const {
        for (const Released& r : released) {
            if (r.size == sizeof(BlowfishContext)) {
                return true;
            }
        }
        return false;
    }

    // Runs the handshake in a state the test owns, as _Initialize does, and checks
    // that none of its working values (the key material, x, Z, Km, KEK, Ks, ...)
    // is left in it. Releases a context left over, as the client does.
    session::HandshakeOutcome HandshakeInOwnState(session::HandshakeState* state) const {
        const session::HandshakeOutcome outcome = session::Handshake(client->_hDevice, state);
        const auto* work = reinterpret_cast<const uint8_t*>(&state->work);
        std::vector<size_t> left;
        for (size_t i = 0; i < sizeof state->work; ++i) {
            if (work[i] != 0) {
                left.push_back(i);
            }
        }
        EXPECT_TRUE(left.empty()) << left.size() << " bytes left, the first at offset "
                                  << left.front();
        if (outcome != session::HandshakeOutcome::kKeyed && state->context != nullptr) {
            platform::HeapRelease(state->context);
        }
        return outcome;
    }

    oracle::Draws draws;
    std::shared_ptr<Driver> driver;
    std::unique_ptr<CMiscCommon> client;
    int liveBefore = 0;
    size_t exchangesBefore = 0;
    std::vector<Released> released;
};

TEST_F(HandshakeTest, MessagesAreExactAndTheSessionIsKeyedWithKs) {
    client->_SetErrorText("earlier failure");
    ASSERT_EQ(client->_Initialize(), 0u);

    // Expected messages, from the oracle's own reading of the 12 draws.
    const Bytes x = oracle::Exponent(draws.x);
    const Bytes yc = oracle::ModExp(oracle::Number(2), x);
    Bytes ini1 = {'I', 'n', 'i', '1'};
    ini1 = oracle::Concat(ini1, yc);
    ini1 = oracle::Concat(ini1, Bytes(draws.nonce, draws.nonce + 20));
    ini1.resize(160, 0);
    const Bytes yd = oracle::ModExp(oracle::Number(2), driver->y);
    const Bytes km = oracle::Hmac(Bytes(oracle::kKa, oracle::kKa + 16),
                                  oracle::Concat(Slice(ini1, 136, 24), driver->nd));
    Bytes ini2 = {'I', 'n', 'i', '2', 0, 0, 0, 0};
    oracle::PutLe32(ini2.data() + 4, kSid);
    ini2 = oracle::Concat(ini2, oracle::Hmac(km, oracle::Concat(yc, yd)));
    const Bytes kek = Slice(oracle::Sha1(oracle::ModExp(yd, x)), 0, 16);
    const oracle::Cipher kekCipher(kek.data(), 16);
    Bytes ini3 = {'I', 'n', 'i', '3', 0, 0, 0, 0};
    oracle::PutLe32(ini3.data() + 4, kSid);
    for (int block = 0; block < 2; ++block) {
        uint32_t left = oracle::Le32(draws.ks + 8 * block);
        uint32_t right = oracle::Le32(draws.ks + 8 * block + 4);
        kekCipher.Encipher(&left, &right);
        ini3.resize(ini3.size() + 8);
        oracle::PutLe32(ini3.data() + ini3.size() - 8, left);
        oracle::PutLe32(ini3.data() + ini3.size() - 4, right);
    }

    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 4u);  // probe, Ini1, Ini2, Ini3; no close-session
    EXPECT_EQ(sent[0].code, MiscCommon::IOCTL_MISC_SESSION);
    EXPECT_TRUE(sent[0].input.empty());
    EXPECT_EQ(sent[0].outSize, 0u);
    EXPECT_FALSE(sent[0].hadOutBuffer);
    EXPECT_EQ(sent[1].input, ini1);
    EXPECT_EQ(sent[1].outSize, 160u);
    EXPECT_EQ(sent[2].input, ini2);
    EXPECT_EQ(sent[2].outSize, 20u);
    EXPECT_EQ(sent[3].input, ini3);
    EXPECT_EQ(sent[3].outSize, 8u);
    for (const auto& e : sent) {
        EXPECT_EQ(e.code, MiscCommon::IOCTL_MISC_SESSION);
    }
    EXPECT_TRUE(driver->clientProofValid);
    EXPECT_EQ(driver->ks, Bytes(draws.ks, draws.ks + 16));

    EXPECT_EQ(client->SessionId, kSid);
    EXPECT_EQ(client->SequenceNumber, 0u);
    EXPECT_EQ(client->EncryptionEnabled, 1);
    EXPECT_EQ(Text(), L"MiscCommon::CMiscCommon::earlier failure");
    ASSERT_NE(client->SessionCipher, nullptr);
    // The kept context is Ks's schedule: it agrees with the oracle on any block.
    const oracle::Cipher ksCipher(draws.ks, 16);
    uint32_t left = 0x01234567, right = 0x89ABCDEF;
    uint32_t expectLeft = left, expectRight = right;
    ASSERT_TRUE(BlowfishEncipher(client->SessionCipher, &left, &right));
    ksCipher.Encipher(&expectLeft, &expectRight);
    EXPECT_EQ(left, expectLeft);
    EXPECT_EQ(right, expectRight);

    // Only the working buffer was released during the handshake, wiped; the
    // context lives on as the session cipher.
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ(released[0].size, 264u);
    ExpectReleasedBlocksZero();
    EXPECT_EQ(testplatform::LiveBlockCount(), liveBefore + 1);

    // Closing ends the session with the driver and wipes the cipher.
    client->CloseDriver();
    ASSERT_EQ(driver->closedSids.size(), 1u);
    EXPECT_EQ(driver->closedSids[0], kSid);
    ExpectReleasedBlocksZero();
    EXPECT_TRUE(ReleasedContext());
}

TEST_F(HandshakeTest, AKeyedSessionLeavesNoSecretInTheState) {
    session::HandshakeState state;
    ASSERT_EQ(HandshakeInOwnState(&state), session::HandshakeOutcome::kKeyed);
    EXPECT_EQ(state.sid, kSid);
    ASSERT_NE(state.context, nullptr);
    platform::HeapRelease(state.context);
}

// The context exists from Ini3 on; by the time Ini3 is on the wire the key-encryption
// key's schedule in it is wiped, not left for the driver's reply to wait on.
TEST_F(HandshakeTest, TheKekScheduleIsWipedBeforeIni3GoesOut) {
    session::HandshakeState state{};
    int withContext = 0;
    bool zero = true;
    std::shared_ptr<Driver> d = driver;
    testplatform::SetResponder([&, d](const testplatform::Exchange& e) {
        if (state.context != nullptr) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(state.context);
            ++withContext;
            for (size_t i = 0; i < sizeof(BlowfishContext); ++i) {
                zero = zero && bytes[i] == 0;
            }
        }
        return (*d)(e);
    });
    ASSERT_EQ(HandshakeInOwnState(&state), session::HandshakeOutcome::kKeyed);
    EXPECT_EQ(withContext, 1);
    EXPECT_TRUE(zero);
    platform::HeapRelease(state.context);
}

TEST_F(HandshakeTest, GroupPrimeIsRfc2409Group2) {
    Bytes ours(132);
    for (int i = 0; i < 33; ++i) {
        oracle::PutLe32(ours.data() + 4 * i, kOakleyGroup2Prime[i]);
    }
    EXPECT_EQ(ours, oracle::Prime());
}

TEST_F(HandshakeTest, ProbeNotSupportedMeansPlainMode) {
    driver->probe = testplatform::Reply{false, platform::kErrorNotSupported, {}};
    client->_SetErrorText("kept");
    EXPECT_EQ(client->_Initialize(), 0u);
    EXPECT_EQ(client->EncryptionEnabled, 0);
    EXPECT_EQ(client->SessionCipher, nullptr);
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Text(), L"MiscCommon::CMiscCommon::kept");
    EXPECT_EQ(testplatform::LiveBlockCount(), liveBefore);
}

// Any other error of the probe still leads to the handshake.
class ProbeErrorTest : public HandshakeTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ProbeErrorTest, StillNegotiates) {
    driver->probe = testplatform::Reply{false, GetParam(), {}};
    EXPECT_EQ(client->_Initialize(), 0u);
    EXPECT_NE(client->SessionCipher, nullptr);
    EXPECT_EQ(Sent().size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Errors, ProbeErrorTest, ::testing::Values(1u, 5u, 31u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "Error" + std::to_string(info.param);
                         });

// One row of the failure table, as the client must leave things.
struct FailureCase {
    const char* name;
    void (*arrange)(Driver*);
    int failAllocation;  // 0: none
    uint32_t status;
    const char* text;
    bool closes;
    bool restores;
    // The last-error value afterwards: the one restored, or else what the last
    // call of the clean-up left (the close-session request, or the release of
    // the context).
    uint32_t lastError;
    int sessionRequests;  // probe and Ini messages sent
};

const FailureCase kFailures[] = {
    {"Ini1RequestFails", [](Driver* d) { d->failStep = 1, d->failError = 1167; }, 0, 2,
     "DeviceIoControl failed.", false, true, 1167, 2},
    {"Ini1ReplyShort", [](Driver* d) { d->shortStep = 1; }, 0, 2, "DeviceIoControl failed.", false,
     true, 0, 2},
    {"Phase2AllocationFails", [](Driver*) {}, 1, 5, "HeapAlloc (phase2) failed.", true, true,
     platform::kErrorNotEnoughMemory, 2},
    {"Ini2RequestFails", [](Driver* d) { d->failStep = 2, d->failError = 5; }, 0, 2,
     "DeviceIoControl (phase2) failed.", true, true, 5, 3},
    // A short reply restores the value as the request left it: a successful
    // request leaves what the release of the working buffer set.
    {"Ini2ReplyShort", [](Driver* d) { d->shortStep = 2; }, 0, 2,
     "DeviceIoControl (phase2) failed.", true, true, testplatform::kErrorLeftByRelease, 3},
    {"ProofFirstByteWrong", [](Driver* d) { d->flipProofByte = 0; }, 0, 6,
     "Driver Authentication Failed.", true, false, kCloseError, 3},
    {"ProofLastByteWrong", [](Driver* d) { d->flipProofByte = 19; }, 0, 6,
     "Driver Authentication Failed.", true, false, kCloseError, 3},
    {"YdZero", [](Driver* d) { d->chosenYd = oracle::Number(0); }, 0, 6,
     "Key Encryption Key calculation failed.", true, false, kCloseError, 3},
    {"YdOne", [](Driver* d) { d->chosenYd = oracle::Number(1); }, 0, 6,
     "Key Encryption Key calculation failed.", true, false, kCloseError, 3},
    {"YdPMinus1", [](Driver* d) { d->chosenYd = oracle::PrimePlus(-1); }, 0, 6,
     "Key Encryption Key calculation failed.", true, false, kCloseError, 3},
    {"YdP", [](Driver* d) { d->chosenYd = oracle::PrimePlus(0); }, 0, 6,
     "Key Encryption Key calculation failed.", true, false, kCloseError, 3},
    {"YdSignBitSet",
     [](Driver* d) {
         d->chosenYd = oracle::Number(5);
         d->chosenYd[131] = 0x80;
     },
     0, 6, "Key Encryption Key calculation failed.", true, false, kCloseError, 3},
    {"Phase3AllocationFails", [](Driver*) {}, 2, 5, "HeapAlloc (phase3) failed.", true, true,
     platform::kErrorNotEnoughMemory, 3},
    {"Ini3RequestFails", [](Driver* d) { d->failStep = 3, d->failError = 121; }, 0, 2,
     "DeviceIoControl (phase3) failed.", true, true, 121, 4},
    {"Ini3ReplyShort", [](Driver* d) { d->shortStep = 3; }, 0, 2,
     "DeviceIoControl (phase3) failed.", true, true, testplatform::kErrorLeftByRelease, 4},
    {"ConfirmationSwapped", [](Driver* d) { d->swapConfirmation = true; }, 0, 2,
     "BlowfishDecipher failed.", true, false, testplatform::kErrorLeftByRelease, 4},
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class HandshakeFailureTest : public HandshakeTest,
                             public ::testing::WithParamInterface<FailureCase> {};

TEST_P(HandshakeFailureTest, FailsAsTheTableSays) {
    const FailureCase& c = GetParam();
    c.arrange(driver.get());
    // A value the failure must overwrite when it restores, and that shows
    // through where it does not.
    platform::SetLastErrorValue(0xDEAD);
    if (c.failAllocation > 0) {
        testplatform::FailAllocation(c.failAllocation);
    }
    const uint32_t status = client->_Initialize();
    const uint32_t lastError = platform::GetLastErrorValue();
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(Text(), L"MiscCommon::CMiscCommon::_Initialize: " +
                          std::wstring(c.text, c.text + std::strlen(c.text)));
    EXPECT_EQ(lastError, c.lastError);

    const auto sent = Sent();
    int sessionRequests = 0;
    int closeRequests = 0;
    for (const auto& e : sent) {
        if (e.code == MiscCommon::IOCTL_MISC_SESSION) {
            ++sessionRequests;
        } else if (e.code == MiscCommon::IOCTL_MISC_CLOSE_SESSION) {
            ++closeRequests;
            EXPECT_EQ(e.outSize, 0u);
            EXPECT_FALSE(e.hadOutBuffer);
        }
    }
    EXPECT_EQ(sessionRequests, c.sessionRequests);
    EXPECT_EQ(closeRequests, c.closes ? 1 : 0);
    if (c.closes) {
        ASSERT_EQ(driver->closedSids.size(), 1u);
        EXPECT_EQ(driver->closedSids[0], kSid);
        EXPECT_EQ(sent.back().code, MiscCommon::IOCTL_MISC_CLOSE_SESSION);
    }
    ExpectNoSession();
    ExpectReleasedBlocksZero();
}

TEST_P(HandshakeFailureTest, LeavesNoSecretInTheState) {
    const FailureCase& c = GetParam();
    c.arrange(driver.get());
    if (c.failAllocation > 0) {
        testplatform::FailAllocation(c.failAllocation);
    }
    session::HandshakeState state;
    const session::HandshakeOutcome outcome = HandshakeInOwnState(&state);
    EXPECT_NE(outcome, session::HandshakeOutcome::kKeyed);
    EXPECT_NE(outcome, session::HandshakeOutcome::kPlain);
    // The driver holds a session exactly where the client must close it.
    EXPECT_EQ(state.haveSid, c.closes);
    EXPECT_EQ(testplatform::LiveBlockCount(), liveBefore);
}

INSTANTIATE_TEST_SUITE_P(Rows, HandshakeFailureTest, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(HandshakeTest, AFailureAfterTheContextWipesAndReleasesIt) {
    driver->swapConfirmation = true;
    EXPECT_EQ(client->_Initialize(), 2u);
    EXPECT_TRUE(ReleasedContext());
    ExpectReleasedBlocksZero();
}

TEST_F(HandshakeTest, NoKeyIsCalculatedForAWrongProof) {
    driver->flipProofByte = 7;
    const int allocationsBefore = testplatform::AllocationCount();
    EXPECT_EQ(client->_Initialize(), 6u);
    // Only the working buffer: the phase 3 context is never allocated.
    EXPECT_EQ(testplatform::AllocationCount(), allocationsBefore + 1);
}

TEST(PublicValueRange, OnlyValuesStrictlyBetweenOneAndPMinusOnePass) {
    Bytes signBit = oracle::Number(5);
    signBit[131] = 0x80;
    const struct {
        const char* name;
        Bytes value;
        bool inRange;
    } cases[] = {
        {"0", oracle::Number(0), false},         {"1", oracle::Number(1), false},
        {"2", oracle::Number(2), true},          {"p - 2", oracle::PrimePlus(-2), true},
        {"p - 1", oracle::PrimePlus(-1), false}, {"p", oracle::PrimePlus(0), false},
        {"sign bit set", signBit, false},
    };
    for (const auto& c : cases) {
        uint32_t words[33];
        for (int i = 0; i < 33; ++i) {
            words[i] = oracle::Le32(c.value.data() + 4 * i);
        }
        EXPECT_EQ(session::PublicValueInRange(words), c.inRange) << c.name;
    }
}

// 2 and p - 2 are the extreme values of Yd that pass; the driver computes Z from
// the client's exponent, which the oracle knows.
struct EdgeYd {
    const char* name;
    Bytes (*value)();
};

void PrintTo(const EdgeYd& c, std::ostream* os) {
    *os << c.name;
}

class EdgeYdTest : public HandshakeTest, public ::testing::WithParamInterface<EdgeYd> {};

TEST_P(EdgeYdTest, IsAccepted) {
    driver->chosenYd = GetParam().value();
    EXPECT_EQ(client->_Initialize(), 0u);
    EXPECT_NE(client->SessionCipher, nullptr);
    EXPECT_EQ(driver->ks, Bytes(draws.ks, draws.ks + 16));
}

INSTANTIATE_TEST_SUITE_P(
    JustInsideTheRange, EdgeYdTest,
    ::testing::Values(EdgeYd{"Two", [] { return oracle::Number(2); }},
                      EdgeYd{"PMinusTwo", [] { return oracle::PrimePlus(-2); }}),
    [](const ::testing::TestParamInfo<EdgeYd>& info) { return std::string(info.param.name); });

}  // namespace
