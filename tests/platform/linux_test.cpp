// The Linux backend against a tiny in-test device server in a temporary
// MISC_DEVICE_ROOT: registry order and presence, DriverVersion, open status,
// frames, and replies that break the rules.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/platform_linux.h"
#include "platform/linux/wide_utf8.h"
#include "platform/platform.h"
#include "tests/support/le_words.h"

namespace {

using testsupport::Bytes;
using testsupport::U32s;
const platform::Guid kGuid = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};

void Send(int fd, const Bytes& b) {
    ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
}
Bytes Receive(int fd, size_t n) {
    Bytes b(n);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = recv(fd, b.data() + got, n - got, 0);
        if (r <= 0) {
            break;
        }
        got += static_cast<size_t>(r);
    }
    b.resize(got);
    return b;
}

// A listening device socket; each connection is handed to handler in turn.
class FakeDevice {
  public:
    FakeDevice(const std::string& path, std::function<void(int)> handler) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
        EXPECT_EQ(listen(fd_, 4), 0);
        thread_ = std::thread([this, handler] {
            for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0; close(c)) {
                handler(c);
            }
        });
    }
    ~FakeDevice() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }

  private:
    int fd_;
    std::thread thread_;
};

class LinuxBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        char root[] = "/tmp/quellix-linux-XXXXXX";
        ASSERT_NE(mkdtemp(root), nullptr);
        root_ = root;
        classFolder_ = root_ + "/{80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}";
        setenv("MISC_DEVICE_ROOT", root, 1);
    }
    void TearDown() override {
        platform::linuxbackend::SetExchangeTimeoutMilliseconds(
            platform::linuxbackend::kDefaultExchangeTimeoutMs);
        unsetenv("MISC_DEVICE_ROOT");
        ASSERT_EQ(std::system(("rm -rf " + root_).c_str()), 0);
    }
    std::string Interface(const std::string& name) {
        mkdir(classFolder_.c_str(), 0755);
        const std::string folder = classFolder_ + "/" + name;
        mkdir(folder.c_str(), 0755);
        return folder;
    }
    static std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
    // The driver key of the set's first interface, or null; di and info as the walk
    // to it left them.
    static platform::RegistryKey FirstDriverKey(platform::DeviceInfoSet set,
                                                platform::DeviceInterface* di,
                                                platform::DeviceInfo* info) {
        uint32_t required = 0;
        if (!platform::EnumDeviceInterface(set, &kGuid, 0, di)) {
            return nullptr;
        }
        platform::GetDeviceInterfaceDetail(set, di, nullptr, 0, &required, nullptr);
        std::vector<uint8_t> detail(required);
        if (!platform::GetDeviceInterfaceDetail(set, di, detail.data(), required, nullptr, info)) {
            return nullptr;
        }
        return platform::OpenDriverKey(set, info);
    }

    // The device path of interface `index`, or empty when there is none.
    std::wstring PathOf(uint32_t index) {
        platform::DeviceInfoSet set = platform::OpenDeviceInfoSet(&kGuid);
        EXPECT_NE(set, nullptr);
        platform::DeviceInterface di;
        std::wstring path;
        if (platform::EnumDeviceInterface(set, &kGuid, index, &di)) {
            uint32_t required = 0;
            EXPECT_FALSE(
                platform::GetDeviceInterfaceDetail(set, &di, nullptr, 0, &required, nullptr));
            EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorInsufficientBuffer);
            std::vector<uint8_t> detail(required);
            platform::DeviceInfo info;
            EXPECT_TRUE(platform::GetDeviceInterfaceDetail(set, &di, detail.data(), required,
                                                           nullptr, &info));
            path = platform::DevicePathOf(detail.data());
        } else {
            EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorNoMoreItems);
        }
        platform::DestroyDeviceInfoSet(set);
        return path;
    }

    // Opens the one device, whose server sends open status 0 and then runs frames.
    platform::DeviceHandle Open(const std::string& folder) {
        platform::DeviceHandle h = platform::OpenDevice(Wide(folder + "/device").c_str());
        EXPECT_NE(h, platform::InvalidDeviceHandle());
        return h;
    }

    std::string root_, classFolder_;
};

// The error codes are Windows' own numbers: callers, scripts and the device's open
// status see them as numbers, so each is pinned here once.
TEST(ErrorNumbers, AreTheWindowsOnes) {
    const std::pair<uint32_t, uint32_t> codes[] = {
        {platform::kErrorSuccess, 0},           {platform::kErrorInvalidFunction, 1},
        {platform::kErrorFileNotFound, 2},      {platform::kErrorAccessDenied, 5},
        {platform::kErrorInvalidHandle, 6},     {platform::kErrorNotEnoughMemory, 8},
        {platform::kErrorGenFailure, 31},       {platform::kErrorSharingViolation, 32},
        {platform::kErrorNotSupported, 50},     {platform::kErrorFileExists, 80},
        {platform::kErrorInvalidParameter, 87}, {platform::kErrorInsufficientBuffer, 122},
        {platform::kErrorMoreData, 234},        {platform::kErrorNoMoreItems, 259},
        {platform::kErrorInternalError, 1359},  {platform::kErrorFileReadOnly, 6009},
    };
    for (const auto& [code, number] : codes) {
        EXPECT_EQ(code, number);
    }
    // A device that did not open is Windows' INVALID_HANDLE_VALUE, every bit set: the
    // Windows backend hands CreateFileW's result on as it is.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(platform::InvalidDeviceHandle()), ~uintptr_t{0});
}

// The counter counts nanoseconds of a monotonic clock, past every pause; a null
// count is refused.
TEST(LinuxClock, CounterRunsInNanosecondsAndRefusesNull) {
    int64_t before = 0;
    int64_t after = 0;
    ASSERT_TRUE(platform::QueryPerformanceCount(&before));
    platform::SleepMilliseconds(2);
    ASSERT_TRUE(platform::QueryPerformanceCount(&after));
    EXPECT_GE(after - before, 2000000);
    EXPECT_FALSE(platform::QueryPerformanceCount(nullptr));
}

TEST_F(LinuxBackend, RegistryListsPresentInterfacesInByteOrder) {
    EXPECT_EQ(PathOf(0), L"");  // no class folder: an empty set
    const std::string b = Interface("b"), upperC = Interface("C"), plain = Interface("a");
    std::ofstream(Interface("a2") + "/device") << "not a socket";
    FakeDevice d1(b + "/device", [](int) {}), d2(upperC + "/device", [](int) {});
    EXPECT_EQ(PathOf(0), Wide(upperC + "/device"));
    EXPECT_EQ(PathOf(1), Wide(b + "/device"));
    EXPECT_EQ(PathOf(2), L"");

    // A root of one character is that folder ("." here), not the default.
    const std::string before = std::filesystem::current_path();
    ASSERT_EQ(chdir(root_.c_str()), 0);
    setenv("MISC_DEVICE_ROOT", ".", 1);
    const std::wstring relative = PathOf(0);
    ASSERT_EQ(chdir(before.c_str()), 0);
    EXPECT_EQ(relative, Wide("." + upperC.substr(root_.size()) + "/device"));
}

TEST_F(LinuxBackend, DriverVersionRules) {
    const std::string folder = Interface("dev");
    FakeDevice device(folder + "/device", [](int) {});
    const struct {
        bool exists;
        std::string content;
        std::wstring value;  // empty: the query fails
    } cases[] = {{true, "1.2.3.4\n", L"1.2.3.4"},
                 {true, "x\n\n", L"x\n"},
                 {true, "5.0", L"5.0"},
                 {true, "\xC3\xA9t\xC3\xA9", L"\u00e9t\u00e9"},
                 {false, "", L""},
                 {true, std::string(127, '7'), std::wstring(127, L'7')},
                 {true, std::string(128, '8') + "\n", L""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        std::remove((folder + "/DriverVersion").c_str());
        if (c.exists) {
            std::ofstream(folder + "/DriverVersion") << c.content;
        }
        platform::DeviceInfoSet set = platform::OpenDeviceInfoSet(&kGuid);
        platform::DeviceInterface di;
        platform::DeviceInfo info;
        platform::RegistryKey key = FirstDriverKey(set, &di, &info);
        ASSERT_NE(key, nullptr);
        wchar_t buffer[256] = {};
        uint32_t size = 256;
        const uint32_t rc = platform::QueryRegistryString(key, L"DriverVersion", buffer, &size);
        EXPECT_EQ(rc == 0, !c.value.empty());
        if (rc == 0) {
            EXPECT_EQ(std::wstring(buffer), c.value);
        }
        platform::CloseRegistryKey(key);
        platform::DestroyDeviceInfoSet(set);
    }
}

// A value name is a file of the key's own folder, whole: each name below would reach
// a readable file if it were taken as a path or cut short to fit.
TEST_F(LinuxBackend, RegistryTakesOnlyWholeNamesInTheKeysFolder) {
    const std::string folder = Interface("dev");
    FakeDevice device(folder + "/device", [](int) {});
    const std::string longest(NAME_MAX, 'v');
    std::ofstream(folder + "/" + longest) << "1.0";
    std::ofstream(folder + "/../DriverVersion") << "9.9";
    std::filesystem::create_directory(folder + "/sub");
    std::ofstream(folder + "/sub/DriverVersion") << "9.9";
    platform::DeviceInfoSet set = platform::OpenDeviceInfoSet(&kGuid);
    platform::DeviceInterface di;
    platform::DeviceInfo info;
    platform::RegistryKey key = FirstDriverKey(set, &di, &info);
    ASSERT_NE(key, nullptr);
    wchar_t text[16] = {};
    uint32_t size = sizeof text;
    for (const std::wstring& name : {std::wstring(L""), std::wstring(L"."), std::wstring(L".."),
                                     std::wstring(L"../DriverVersion"),
                                     std::wstring(L"sub/DriverVersion"), Wide(longest + "v")}) {
        SCOPED_TRACE(testing::Message() << name.size() << " characters");
        EXPECT_EQ(platform::QueryRegistryString(key, name.c_str(), text, &size),
                  platform::kErrorFileNotFound);
    }
    EXPECT_EQ(platform::QueryRegistryString(key, Wide(longest).c_str(), text, &size), 0u);
    EXPECT_EQ(std::wstring(text), L"1.0");
    platform::CloseRegistryKey(key);
    platform::DestroyDeviceInfoSet(set);
}

// A device root whose class folder does not fit in PATH_MAX bytes is refused, never
// cut short to a folder of another name; one byte less still fits (no such folder:
// an empty set).
TEST_F(LinuxBackend, ClassFolderMustFitWhole) {
    const size_t folderPart = classFolder_.size() - root_.size();  // "/{...}"
    for (const bool fits : {true, false}) {
        const size_t rootLength = PATH_MAX - folderPart - (fits ? 1 : 0);
        std::string root = root_;
        while (rootLength - root.size() > 201) {
            root += "/" + std::string(100, 'r');
        }
        root += "/" + std::string(rootLength - root.size() - 1, 'r');
        setenv("MISC_DEVICE_ROOT", root.c_str(), 1);
        platform::SetLastErrorValue(0);
        platform::DeviceInfoSet set = platform::OpenDeviceInfoSet(&kGuid);
        EXPECT_EQ(set != nullptr, fits) << root.size();
        EXPECT_EQ(platform::GetLastErrorValue(), fits ? 0u : platform::kErrorFileNotFound);
        platform::DestroyDeviceInfoSet(set);
    }
}

TEST_F(LinuxBackend, OpenStatus) {
    const std::string folder = Interface("dev");
    const std::wstring path = Wide(folder + "/device");
    EXPECT_EQ(platform::OpenDevice(path.c_str()), platform::InvalidDeviceHandle());
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorFileNotFound);
    {
        FakeDevice refusing(folder + "/device",
                            [](int fd) { Send(fd, U32s({platform::kErrorSharingViolation})); });
        EXPECT_EQ(platform::OpenDevice(path.c_str()), platform::InvalidDeviceHandle());
        EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorSharingViolation);
    }
    // The socket file is left behind with nobody listening.
    EXPECT_EQ(platform::OpenDevice(path.c_str()), platform::InvalidDeviceHandle());
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorGenFailure);
    unlink((folder + "/device").c_str());

    platform::linuxbackend::SetExchangeTimeoutMilliseconds(50);
    FakeDevice silent(folder + "/device", [](int fd) { Receive(fd, 1); });
    EXPECT_EQ(platform::OpenDevice(path.c_str()), platform::InvalidDeviceHandle());
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorGenFailure);
}

// A device whose queue of pending connections is full, because it stopped
// accepting, must not hold the open for good.
TEST_F(LinuxBackend, DeviceThatStopsAcceptingFailsTheOpenAtTheDeadline) {
    const std::string path = Interface("dev") + "/device";
    const int server = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(server, 0), 0);
    std::vector<int> queued;
    for (int i = 0; i < 64; ++i) {
        const int c = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const bool full = connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
        queued.push_back(c);
        if (full) {
            ASSERT_EQ(errno, EAGAIN);
            break;
        }
    }
    platform::linuxbackend::SetExchangeTimeoutMilliseconds(100);
    EXPECT_EQ(platform::OpenDevice(Wide(path).c_str()), platform::InvalidDeviceHandle());
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorGenFailure);
    for (int c : queued) {
        close(c);
    }
    close(server);
}

// Linux names are bytes. One that is not valid UTF-8 reaches the system call
// unchanged, so it names the same file or device, never a look-alike.
TEST_F(LinuxBackend, NamesThatAreNotUtf8KeepTheirBytes) {
    namespace u = wide_utf8;
    EXPECT_EQ(u::FromUtf8("\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e"), L"\u00e9\u20ac\U0001D11E");
    std::vector<std::string> names = {
        "\xff",     "a\xc3",     "\xc0\xaf",     "\xed\xa0\x80", "\xf4\x90\x80\x80",
        "\xe2\x82", "\x80\x80z", "\xef\xbf\xbd", "\xf0\x9d\x84", "\xe2\x82\xac\xff"};
    std::mt19937 random(7);
    for (int i = 0; i < 5000; ++i) {
        std::string name(random() % 12, '\0');
        for (char& c : name) {
            c = static_cast<char>(random() % 3 == 0 ? 1 + random() % 0x7F : 0x80 + random() % 0x80);
        }
        names.push_back(name);
    }
    for (const std::string& name : names) {
        ASSERT_EQ(u::ToUtf8(u::FromUtf8(name).c_str()), name);
    }
    EXPECT_NE(u::FromUtf8("\xff"), u::FromUtf8("\xef\xbf\xbd"));

    std::ofstream(root_ + "/\xff") << "mine";
    std::ofstream(root_ + "/\xef\xbf\xbd") << "look-alike";
    std::FILE* f = platform::OpenFile(u::FromUtf8(root_ + "/\xff").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char text[16] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text - 1, f), 4u);
    std::fclose(f);
    EXPECT_STREQ(text, "mine");

    const std::string folder = Interface("\xff");
    FakeDevice device(folder + "/device", [](int fd) {
        Send(fd, Bytes(4, 0));
        Receive(fd, 1);
    });
    const std::wstring path = PathOf(0);
    EXPECT_EQ(path, u::FromUtf8(folder + "/device"));
    platform::DeviceHandle h = platform::OpenDevice(path.c_str());
    EXPECT_NE(h, platform::InvalidDeviceHandle());
    platform::CloseDevice(h);
}

TEST_F(LinuxBackend, FramesBothWays) {
    const std::string folder = Interface("dev");
    Bytes seen1, seen2;
    FakeDevice device(folder + "/device", [&](int fd) {
        Send(fd, Bytes(4, 0));
        seen1 = Receive(fd, 17);
        Send(fd, U32s({1, 0, 3}, {7, 8, 9}));
        seen2 = Receive(fd, 12);
        Send(fd, U32s({0, 5, 0}));
        Receive(fd, 1);  // until the client closes
    });
    platform::DeviceHandle h = Open(folder);
    uint8_t in[5] = {1, 2, 3, 4, 5}, out[16] = {};
    uint32_t got = 99;
    EXPECT_TRUE(platform::DeviceControl(h, 0x222008, in, 5, out, 16, &got));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{7, 8, 9, 0}));
    EXPECT_EQ(seen1, U32s({0x222008, 5, 16}, {1, 2, 3, 4, 5}));

    EXPECT_FALSE(platform::DeviceControl(h, 0x222000, nullptr, 0, nullptr, 0, &got));
    EXPECT_EQ(platform::GetLastErrorValue(), 5u);
    EXPECT_EQ(got, 0u);
    platform::CloseDevice(h);
    EXPECT_EQ(seen2, U32s({0x222000, 0, 0}));
}

// Replies that break the frame rules fail with 31 and no bytes, and the handle
// is of no further use.
TEST_F(LinuxBackend, MalformedRepliesFailCleanly) {
    const std::string folder = Interface("dev");
    platform::linuxbackend::SetExchangeTimeoutMilliseconds(50);
    const std::vector<Bytes> replies = {
        {1, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9},  // 9 > outSize 8
        {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},                             // ok is 2
        {1, 0, 0, 0, 0, 0},                                               // short header
        {1, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 1, 2, 3},                    // short output
        {},                                                               // closed at once
        {0xFF},                                                           // silent: times out
    };
    for (size_t i = 0; i < replies.size(); ++i) {
        SCOPED_TRACE(i);
        const Bytes reply = replies[i];
        const bool silent = reply.size() == 1;
        FakeDevice device(folder + "/device", [&](int fd) {
            Send(fd, Bytes(4, 0));
            Receive(fd, 12);
            if (!silent) {
                Send(fd, reply);
                shutdown(fd, SHUT_WR);
            }
            Receive(fd, 1);
        });
        platform::DeviceHandle h = Open(folder);
        uint8_t out[8] = {};
        uint32_t got = 99;
        EXPECT_FALSE(platform::DeviceControl(h, 1, nullptr, 0, out, 8, &got));
        EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorGenFailure);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(Bytes(out, out + 8), Bytes(8, 0));
        EXPECT_FALSE(platform::DeviceControl(h, 1, nullptr, 0, out, 8, &got));
        platform::CloseDevice(h);
        unlink((folder + "/device").c_str());
    }
}

// A device that hangs up mid-exchange fails it at once, not at the deadline.
TEST_F(LinuxBackend, DeviceThatClosesFailsTheExchangeAtOnce) {
    const std::string folder = Interface("dev");
    platform::linuxbackend::SetExchangeTimeoutMilliseconds(20000);
    FakeDevice device(folder + "/device", [](int fd) {
        Send(fd, Bytes(4, 0));
        Receive(fd, 12);
        shutdown(fd, SHUT_WR);
        Receive(fd, 1);
    });
    platform::DeviceHandle h = Open(folder);
    uint32_t got = 99;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::DeviceControl(h, 1, nullptr, 0, nullptr, 0, &got));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorGenFailure);
    platform::CloseDevice(h);
}

// Each handle type is refused where another is expected, with 6, and is left as
// it was: still usable, and released only by its own function.
TEST_F(LinuxBackend, HandlesOfOneTypeAreRefusedAsAnother) {
    const std::string folder = Interface("dev");
    std::ofstream(folder + "/DriverVersion") << "1.0";
    FakeDevice server(folder + "/device", [](int fd) {
        Send(fd, Bytes(4, 0));
        while (Receive(fd, 12).size() == 12) {
            Send(fd, U32s({1, 0, 0}));
        }
    });
    platform::DeviceInfoSet set = platform::OpenDeviceInfoSet(&kGuid);
    platform::DeviceInterface di;
    platform::DeviceInfo info;
    platform::RegistryKey key = FirstDriverKey(set, &di, &info);
    ASSERT_NE(key, nullptr);
    uint32_t required = 0;
    platform::DeviceHandle device = Open(folder);

    uint32_t got = 0;
    wchar_t text[16];
    uint32_t size = sizeof text;
    const std::function<bool(void*)> misuses[] = {
        [&](void* h) { return platform::DeviceControl(h, 1, nullptr, 0, nullptr, 0, &got); },
        [&](void* h) { return platform::EnumDeviceInterface(h, &kGuid, 0, &di); },
        [&](void* h) {
            return platform::GetDeviceInterfaceDetail(h, &di, nullptr, 0, &required, nullptr);
        },
        [&](void* h) { return platform::OpenDriverKey(h, &info) != nullptr; },
        [&](void* h) {
            return platform::QueryRegistryString(h, L"DriverVersion", text, &size) !=
                   platform::kErrorInvalidHandle;
        },
        [&](void* h) { return platform::CloseDevice(h), false; },
        [&](void* h) { return platform::DestroyDeviceInfoSet(h), false; },
    };
    // Each function with the two handle types it does not take.
    void* const handles[] = {device, set, set, set, key, device, set};
    for (size_t i = 0; i < std::size(misuses); ++i) {
        for (void* wrong : {set, key, device}) {
            if (wrong == handles[i]) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << "function " << i << " with " << wrong);
            platform::SetLastErrorValue(0);
            EXPECT_FALSE(misuses[i](wrong));
            // The registry reports through its result and leaves the last error alone.
            EXPECT_EQ(platform::GetLastErrorValue(), i == 4 ? 0u : platform::kErrorInvalidHandle);
        }
    }
    platform::CloseRegistryKey(set);
    platform::CloseRegistryKey(device);
    // Records that no enumeration filled, or none at all, are refused too.
    platform::DeviceInterface blankInterface = {};
    platform::DeviceInfo blankInfo = {};
    for (platform::DeviceInterface* record :
         {&blankInterface, static_cast<platform::DeviceInterface*>(nullptr)}) {
        platform::SetLastErrorValue(0);
        EXPECT_FALSE(
            platform::GetDeviceInterfaceDetail(set, record, nullptr, 0, &required, nullptr));
        EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorInvalidParameter);
    }
    for (platform::DeviceInfo* record : {&blankInfo, static_cast<platform::DeviceInfo*>(nullptr)}) {
        platform::SetLastErrorValue(0);
        EXPECT_EQ(platform::OpenDriverKey(set, record), nullptr);
        EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorInvalidParameter);
    }
    // No handle at all is ignored, and quietly.
    platform::SetLastErrorValue(0);
    platform::CloseDevice(nullptr);
    platform::CloseDevice(platform::InvalidDeviceHandle());
    platform::DestroyDeviceInfoSet(nullptr);
    platform::CloseRegistryKey(nullptr);
    EXPECT_EQ(platform::GetLastErrorValue(), 0u);

    EXPECT_TRUE(platform::DeviceControl(device, 1, nullptr, 0, nullptr, 0, &got));
    EXPECT_TRUE(platform::EnumDeviceInterface(set, &kGuid, 0, &di));
    EXPECT_EQ(platform::QueryRegistryString(key, L"DriverVersion", text, &size), 0u);
    EXPECT_EQ(std::wstring(text), L"1.0");
    platform::CloseRegistryKey(key);
    platform::DestroyDeviceInfoSet(set);
    platform::CloseDevice(device);
}

TEST_F(LinuxBackend, CommandLineMessageBoxAndFiles) {
    // The arguments are main's, handed over (no /proc): none before that.
    int count = 0;
    EXPECT_EQ(platform::CommandLineArguments(&count), nullptr);
    char program[] = "/opt/q x/quellix", option[] = "-calibfile", name[] = "cal \xff.txt";
    char* argv[] = {program, option, name, nullptr};
    platform::linuxbackend::SetCommandLine(3, argv);
    wchar_t** args = platform::CommandLineArguments(&count);
    EXPECT_TRUE(platform::CommandLineHasArgument(L"-calibfile"));
    EXPECT_FALSE(platform::CommandLineHasArgument(L"-calib"));
    EXPECT_FALSE(platform::CommandLineHasArgument(L"/opt/q x/quellix"));  // the program
    platform::linuxbackend::SetCommandLine(0, nullptr);
    ASSERT_NE(args, nullptr);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(std::wstring(args[0]), L"/opt/q x/quellix");
    EXPECT_EQ(std::wstring(args[1]), L"-calibfile");
    EXPECT_EQ(wide_utf8::ToUtf8(args[2]), name);
    EXPECT_EQ(args[3], nullptr);
    platform::FreeCommandLineArguments(args);

    testing::internal::CaptureStderr();
    platform::ShowMessageBox(L"Invalid Argument", L"Quellix");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Quellix: Invalid Argument\n");

    const std::wstring from = Wide(root_) + L"/\u00e9.tmp", to = Wide(root_) + L"/out.txt";
    for (const std::wstring* name : {&from, &to}) {
        std::FILE* f = platform::OpenFile(name->c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(name == &from ? "new" : "old", f);
        std::fclose(f);
    }
    EXPECT_TRUE(platform::ReplaceFile(from.c_str(), to.c_str()));
    std::ifstream in(root_ + "/out.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
    EXPECT_TRUE(platform::RemoveFile(to.c_str()));
    EXPECT_FALSE(platform::RemoveFile(to.c_str()));
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorFileNotFound);
    platform::SetLastErrorValue(0);
    EXPECT_EQ(platform::OpenFile(to.c_str(), "r"), nullptr);
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorFileNotFound);

    // Only a regular file is opened for reading; a FIFO is refused without waiting
    // for a writer.
    ASSERT_EQ(mkfifo((root_ + "/fifo").c_str(), 0666), 0);
    for (const wchar_t* other : {L"/dev/null", L"/", L"fifo"}) {
        const std::wstring path = other[0] == L'/' ? other : Wide(root_) + L"/" + other;
        EXPECT_EQ(platform::OpenFile(path.c_str(), "rb"), nullptr);
        EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorNotSupported);
    }
    std::FILE* f = platform::OpenFile(from.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("words", f);
    std::fclose(f);
    f = platform::OpenFile(from.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char text[8] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, f), 5u);
    EXPECT_STREQ(text, "words");
    std::fclose(f);
}

}  // namespace
