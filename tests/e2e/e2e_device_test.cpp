// The device contract end to end through the platform layer: device-probe against a
// scripted device. Under Wine (scripts/test-windows.sh) the probe is the Windows
// build, and the bridge driver stands between it and the device; the expectations
// are the same, so Linux and Windows must agree on every line.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/le_words.h"

namespace e2e {
namespace {

using testsupport::AppendLe32;

const std::string kClass = "{80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}";

std::string Hex(const Bytes& bytes) {
    std::string text;
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

// A reply frame as the device sends it; `returned` may lie about the bytes.
Bytes Reply(uint32_t ok, uint32_t error, const Bytes& output, int returned = -1) {
    Bytes frame;
    AppendLe32(&frame, ok);
    AppendLe32(&frame, error);
    AppendLe32(&frame, returned < 0 ? static_cast<uint32_t>(output.size())
                                    : static_cast<uint32_t>(returned));
    frame.insert(frame.end(), output.begin(), output.end());
    return frame;
}

// One connection, scripted: the open status, then one reply per request frame (an
// empty reply hangs up instead). Records the frames it got, in hexadecimal, and
// "closed" once the client ends the connection.
class ScriptedDevice {
  public:
    bool Listen(const std::filesystem::path& folder) {
        std::filesystem::create_directories(folder);
        const std::string path = (folder / "device").string();
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) {
            return false;
        }
        path.copy(address.sun_path, path.size());
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return listener_ >= 0 &&
               bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
               listen(listener_, 4) == 0;
    }
    void Serve(uint32_t openStatus, std::vector<Bytes> replies) {
        seen_.clear();
        thread_ = std::thread([this, openStatus, replies] { Run(openStatus, replies); });
    }
    // What the device saw, once the client is done.
    std::vector<std::string> Finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return seen_;
    }
    ~ScriptedDevice() {
        Finish();
        if (listener_ >= 0) {
            close(listener_);
        }
    }

  private:
    static bool Wait(int fd) {
        pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, 30000) == 1;
    }
    static bool ReadAll(int fd, uint8_t* data, size_t size) {
        while (size > 0) {
            if (!Wait(fd)) {
                return false;
            }
            const ssize_t n = read(fd, data, size);
            if (n <= 0) {
                return false;
            }
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    void Run(uint32_t openStatus, const std::vector<Bytes>& replies) {
        if (!Wait(listener_)) {
            return;
        }
        const int client = accept(listener_, nullptr, nullptr);
        Bytes status;
        AppendLe32(&status, openStatus);
        if (client < 0 || write(client, status.data(), 4) != 4) {
            return;
        }
        for (size_t i = 0; openStatus == 0; ++i) {
            Bytes frame(12);
            if (!ReadAll(client, frame.data(), 12)) {
                seen_.push_back("closed");
                break;
            }
            const uint32_t inSize = frame[4] | frame[5] << 8 | frame[6] << 16 | frame[7] << 24;
            frame.resize(12 + inSize);
            if (inSize > 4096 || !ReadAll(client, frame.data() + 12, inSize)) {
                break;
            }
            seen_.push_back(Hex(frame));
            if (i >= replies.size() || replies[i].empty()) {
                break;  // hang up without a reply
            }
            if (write(client, replies[i].data(), replies[i].size()) !=
                static_cast<ssize_t>(replies[i].size())) {
                break;
            }
        }
        close(client);
    }

    int listener_ = -1;
    std::thread thread_;
    std::vector<std::string> seen_;
};

struct DeviceCase {
    const char* name;
    uint32_t openStatus;
    std::vector<std::string> exchanges;  // device-probe's arguments
    std::vector<Bytes> replies;
    std::string probeOutput;             // after the "version" line
    std::vector<std::string> deviceSaw;  // frames in hexadecimal, then "closed"
    // Where Wine's differs: Wine 8 drops the status of a driver's IRP_MJ_CREATE and
    // opens the handle anyway, so the bridge fails its requests with the refusal.
    const char* underWine = nullptr;
};

void PrintTo(const DeviceCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceTest : public ::testing::Test, protected Workspace {
  protected:
    void SetUp() override {
        if (!ProbeAvailable()) {
            GTEST_SKIP() << "no device-probe for this runner (QUELLIX_E2E_PROBE)";
        }
    }
    std::string Probe(const std::vector<std::string>& arguments) {
        RunOptions options;
        options.workFolder = work;
        options.deviceRoot = root;
        const Outcome outcome = RunProbe(arguments, options);
        EXPECT_TRUE(outcome.exited && !outcome.timedOut) << Describe(outcome);
        return outcome.output;
    }
};

class DeviceContractTest : public DeviceTest, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(DeviceContractTest, ExchangesAsTheContractSays) {
    const DeviceCase& c = GetParam();
    ScriptedDevice device;
    ASSERT_TRUE(device.Listen(root / kClass / "misc0"));
    WriteText(root / kClass / "misc0" / "DriverVersion", "2.5.0\n");
    device.Serve(c.openStatus, c.replies);
    const std::string expected =
        UnderRunner() && c.underWine != nullptr ? c.underWine : c.probeOutput;
    EXPECT_EQ(Probe(c.exchanges), "version 2.5.0\n" + expected);
    EXPECT_EQ(device.Finish(), c.deviceSaw);
}

const Bytes kThree = {0xaa, 0xbb, 0xcc};

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceContractTest,
    ::testing::Values(
        DeviceCase{"Replies",
                   0,
                   {"222000::0", "222008:0102:4", "222008:03:8", "222000::0", "222004:01020304:0"},
                   {Reply(1, 0, {}), Reply(1, 0, kThree), Reply(0, 234, {0xdd, 0xee}),
                    Reply(0, 50, {}), Reply(0, 1234, {})},
                   "open\nok 0 -\nok 3 aabbcc\nfail 234 2 ddee\nfail 50 0 -\nfail 1234 0 -\n",
                   {"002022000000000000000000", "0820220002000000040000000102",
                    "08202200010000000800000003", "002022000000000000000000",
                    "04202200040000000000000001020304", "closed"}},
        // A reply longer than the buffer, or not a reply at all, breaks the stream:
        // that exchange and every later one on the handle fail with 31.
        DeviceCase{"ReplyLongerThanTheBuffer",
                   0,
                   {"222008:01:2", "222008:01:2"},
                   {Reply(1, 0, kThree)},
                   "open\nfail 31 0 -\nfail 31 0 -\n",
                   {"08202200010000000200000001", "closed"}},
        DeviceCase{"OkNeitherZeroNorOne",
                   0,
                   {"222000::4"},
                   {Reply(2, 0, {})},
                   "open\nfail 31 0 -\n",
                   {"002022000000000004000000", "closed"}},
        DeviceCase{"DeviceHangsUp",
                   0,
                   {"222000::4", "222000::4"},
                   {Bytes()},
                   "open\nfail 31 0 -\nfail 31 0 -\n",
                   {"002022000000000004000000"}},
        DeviceCase{"SharingViolation",
                   32,
                   {"222000::0"},
                   {},
                   "open error 32\n",
                   {},
                   "open\nfail 32 0 -\n"},
        DeviceCase{
            "AccessDenied", 5, {"222000::0"}, {}, "open error 5\n", {}, "open\nfail 5 0 -\n"},
        DeviceCase{"AnyOtherCode",
                   1234,
                   {"222000::0"},
                   {},
                   "open error 1234\n",
                   {},
                   "open\nfail 1234 0 -\n"}),
    [](const ::testing::TestParamInfo<DeviceCase>& info) { return std::string(info.param.name); });

// Discovery: the first present interface in byte order, with its own DriverVersion
// (one trailing newline dropped); a folder without a device socket is not present;
// a missing DriverVersion fails as file not found; no class folder, no interface.
TEST_F(DeviceTest, DiscoveryFindsTheFirstPresentInterface) {
    EXPECT_EQ(Probe({}), "no interface\n");

    std::filesystem::create_directories(root / kClass / "a");
    WriteText(root / kClass / "a" / "DriverVersion", "absent\n");
    ScriptedDevice second;
    ScriptedDevice third;
    ASSERT_TRUE(second.Listen(root / kClass / "b"));
    ASSERT_TRUE(third.Listen(root / kClass / "c"));
    WriteText(root / kClass / "b" / "DriverVersion", "B-1.0\n\n");
    WriteText(root / kClass / "c" / "DriverVersion", "C");
    second.Serve(0, {});
    EXPECT_EQ(Probe({}), "version B-1.0\\u000a\nopen\n");
    EXPECT_EQ(second.Finish(), std::vector<std::string>{"closed"});

    std::filesystem::remove(root / kClass / "b" / "DriverVersion");
    second.Serve(0, {});
    EXPECT_EQ(Probe({}), "version error 2\nopen\n");
    EXPECT_EQ(second.Finish(), std::vector<std::string>{"closed"});
}

}  // namespace
}  // namespace e2e
