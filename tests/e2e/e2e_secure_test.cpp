// The secure session end to end: the real quellix against the real simulator with
// encryption on, its faults, and the plain driver beside it.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

const char kOpenFailed[] = "Quellix: Failed to open Misc Driver\n";

std::string WordsText(const Bytes& table) {
    std::string text;
    for (int i = 0; i < 16; ++i) {
        char group[8];
        std::snprintf(group, sizeof group, "%02x%02x ", table[6 + 2 * i], table[5 + 2 * i]);
        text += group;
    }
    return text;
}

// The sequence numbers of the capsules the simulator answered, in order.
std::vector<int> AnsweredSequences(const std::string& log) {
    std::vector<int> numbers;
    size_t at = 0;
    while ((at = log.find(", seq ", at)) != std::string::npos) {
        at += 6;
        numbers.push_back(std::stoi(log.substr(at)));
    }
    return numbers;
}

class SecureE2eTest : public ::testing::Test, protected Workspace {
  protected:
    void TearDown() override { EXPECT_TRUE(simulator.Stop()); }

    void Start(std::vector<std::string> arguments = {}) {
        arguments.push_back("--trace");
        ASSERT_TRUE(simulator.Start(root, table, log, arguments)) << ReadText(log);
    }
    std::string Run(const std::vector<std::string>& arguments) {
        RunOptions options;
        options.workFolder = work;
        options.deviceRoot = root;
        const Outcome outcome = RunQuellix(arguments, options);
        EXPECT_TRUE(EndedWith(outcome, 0, log));
        return outcome.output;
    }
    std::string Log() { return ReadText(log); }

    Simulator simulator;
};

TEST_F(SecureE2eTest, EncryptedReadOutWriteBackAndRoundTrip) {
    Start();
    EXPECT_EQ(Run({"-debug"}), "");
    const Bytes original = ReadBytes(table);
    ASSERT_EQ(original.size(), 110u);
    EXPECT_EQ(ReadText(work / "calibfrombios.bin"), WordsText(original));
    // Probe and three handshake messages, one table request, one close-session.
    EXPECT_EQ(CountExchanges(Log(), kSession), 4);
    EXPECT_EQ(CountExchanges(Log(), kEncapsulated), 1);
    EXPECT_EQ(CountExchanges(Log(), kCloseSession), 1);
    EXPECT_NE(Log().find("session established"), std::string::npos);

    const std::string edited =
        "0123 4567 89ab cdef 0a0a 1111 2222 3333 4444 5555 6666 7777 8888 9999 aaaa bbbb ";
    WriteText(work / "edited.txt", edited);
    EXPECT_EQ(Run({"-debug", "-calibfile", "edited.txt"}), "");
    const Bytes written = ReadBytes(table);
    ASSERT_EQ(written.size(), 110u);
    EXPECT_EQ(WordsText(written), edited);
    // Only the header byte 4 and the words were replaced.
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 4),
              Bytes(original.begin(), original.begin() + 4));
    EXPECT_EQ(Bytes(written.begin() + 37, written.end()),
              Bytes(original.begin() + 37, original.end()));

    EXPECT_EQ(Run({"-debug"}), "");
    EXPECT_EQ(ReadText(work / "calibfrombios.bin"), edited);
    EXPECT_EQ(Log().find("expected"), std::string::npos);  // no capsule was refused
}

TEST_F(SecureE2eTest, SequenceNumbersRunOnAcrossTheBusyRetry) {
    Start({"--busy", "1"});
    Run({});
    EXPECT_EQ(Run({"-debug", "-calibfile", "calibfrombios.bin"}), "");
    // Run 1: the table at 0. Run 2, a new session: subfunction 0 busy at 0, its
    // retry at 1, subfunctions 1 and 2 at 2 and 3.
    EXPECT_EQ(AnsweredSequences(Log()), (std::vector<int>{0, 0, 1, 2, 3}));
    EXPECT_EQ(Log().find("expected"), std::string::npos);
}

struct FaultCase {
    const char* fault;
    bool closesSession;  // the client had a complete Ini1 reply
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << "--fault " << c.fault;
}

class SecureFaultTest : public SecureE2eTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SecureFaultTest, HandshakeFailureIsFailedToOpenMiscDriver) {
    Start({"--fault", GetParam().fault});
    WriteText(work / "calibfrombios.bin", "an earlier read-out");
    EXPECT_EQ(Run({"-debug", "-readtest"}), kOpenFailed);
    EXPECT_EQ(ReadText(work / "calibfrombios.bin"), "an earlier read-out");
    EXPECT_FALSE(std::filesystem::exists(work / "atoa.txt"));
    EXPECT_EQ(CountExchanges(Log(), kEncapsulated), 0);
    EXPECT_EQ(CountExchanges(Log(), kCloseSession), GetParam().closesSession ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, SecureFaultTest,
                         ::testing::Values(FaultCase{"wrong-proof", true},
                                           FaultCase{"swapped-confirmation", true},
                                           FaultCase{"yd=zero", true}, FaultCase{"yd=one", true},
                                           FaultCase{"yd=p-1", true}, FaultCase{"yd=p", true},
                                           FaultCase{"yd=sign", true}, FaultCase{"wrong-ka", true},
                                           FaultCase{"short-ini1", false}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             std::string name;
                             for (const char* c = info.param.fault; *c; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

TEST_F(SecureE2eTest, PlainDriverStillWorks) {
    Start({"--no-encryption"});
    EXPECT_EQ(Run({"-debug"}), "");
    EXPECT_EQ(ReadText(work / "calibfrombios.bin"), WordsText(ReadBytes(table)));
    EXPECT_EQ(CountExchanges(Log(), kSession), 1);  // the probe only
    EXPECT_EQ(CountExchanges(Log(), kCloseSession), 0);
    WriteText(work / "edited.txt",
              "1111 2222 3333 4444 5555 6666 7777 8888 9999 aaaa bbbb cccc dddd eeee ffff 0000 ");
    EXPECT_EQ(Run({"-debug", "-calibfile", "edited.txt"}), "");
    EXPECT_EQ(WordsText(ReadBytes(table)), ReadText(work / "edited.txt"));
}

TEST_F(SecureE2eTest, SecondHandleIsRefusedWhileOneIsOpen) {
    Start();
    const std::string path =
        (root / "{80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}" / "misc0" / "device").string();
    const int holder = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(connect(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    uint8_t status[4] = {1, 1, 1, 1};
    ASSERT_EQ(recv(holder, status, sizeof status, MSG_WAITALL), 4);
    EXPECT_EQ(status[0] | status[1] | status[2] | status[3], 0);  // opened

    EXPECT_EQ(Run({"-debug"}), kOpenFailed);  // sharing violation
    close(holder);
    // Once the handle is closed the device opens again.
    EXPECT_EQ(Run({"-debug"}), "");
}

}  // namespace
}  // namespace e2e
