// The Windows backend over the real services, run under Wine (or Windows): device
// discovery through SetupAPI and the registry, device I/O on a named pipe, the
// structured exceptions, the command line, and files with wide names.
#include <windows.h>

#include <setupapi.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

// <windows.h> maps ReplaceFile to ReplaceFileA/W; ours is the platform function.
#undef ReplaceFile

#include "platform/platform.h"
#include "platform/windows/platform_windows.h"
#include "tests/platform/scoped_win.h"

namespace {

using platform_windows::ScopedDevInfo;
using platform_windows::ScopedKernelHandle;
using platform_windows::ScopedRegKey;

int g_argc = 0;
char** g_argv = nullptr;

// The misc driver's interface class; no such driver exists where the tests run.
constexpr platform::Guid kMiscInterface = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};
// A class of the tests' own, under which a device is registered for a test.
constexpr platform::Guid kTestInterface = {
    0x5E7A1C3B, 0x0D42, 0x4F6E, {0x9B, 0x11, 0x3C, 0x58, 0x7A, 0x20, 0xE4, 0x91}};

GUID ToGuid(const platform::Guid& guid) {
    GUID result;
    std::memcpy(&result, &guid, sizeof(result));
    return result;
}

// ---------------------------------------------------------------------------
// Discovery

TEST(WindowsDiscovery, NoMiscDriverGivesAnEmptySetAndNoMoreItems) {
    platform::DeviceInfoSet set = platform::OpenDeviceInfoSet(&kMiscInterface);
    ASSERT_NE(set, nullptr);
    platform::DeviceInterface deviceInterface{};
    EXPECT_FALSE(platform::EnumDeviceInterface(set, &kMiscInterface, 0, &deviceInterface));
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorNoMoreItems);
    // Releasing the set leaves the error for the caller to report.
    platform::DestroyDeviceInfoSet(set);
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorNoMoreItems);
    platform::DestroyDeviceInfoSet(nullptr);
}

// Arguments the backend refuses itself, before any system call: each leaves its own
// error, not the value from before (1234) nor what the system would say.
TEST(WindowsDiscovery, ArgumentsRefusedBeforeTheSystemIsAsked) {
    platform::DeviceInfoSet set = platform::OpenDeviceInfoSet(&kMiscInterface);
    ASSERT_NE(set, nullptr);
    platform::DeviceInterface deviceInterface{};
    platform::DeviceInfo deviceInfo{};
    uint8_t detail[8] = {};
    uint32_t size = 8;
    wchar_t text[4];
    const struct {
        const char* what;
        std::function<bool()> call;  // true when the call failed
        uint32_t error;
    } rows[] = {
        {"OpenDeviceInfoSet(null)", [] { return platform::OpenDeviceInfoSet(nullptr) == nullptr; },
         87},
        {"EnumDeviceInterface(null set)",
         [&] {
             return !platform::EnumDeviceInterface(nullptr, &kMiscInterface, 0, &deviceInterface);
         },
         87},
        {"GetDeviceInterfaceDetail(null set)",
         [&] {
             return !platform::GetDeviceInterfaceDetail(nullptr, &deviceInterface, nullptr, 0,
                                                        nullptr, nullptr);
         },
         87},
        {"GetDeviceInterfaceDetail(detail shorter than its fixed part)",
         [&] {
             return !platform::GetDeviceInterfaceDetail(set, &deviceInterface, detail, 4, nullptr,
                                                        nullptr);
         },
         1784},
        {"OpenDriverKey(null set)",
         [&] { return platform::OpenDriverKey(nullptr, &deviceInfo) == nullptr; }, 87},
        {"QueryRegistryString(null key)",
         [&] { return platform::QueryRegistryString(nullptr, L"x", text, &size) == 87; }, 1234},
        {"OpenDevice(null)",
         [] { return platform::OpenDevice(nullptr) == platform::InvalidDeviceHandle(); }, 87},
    };
    for (const auto& row : rows) {
        platform::SetLastErrorValue(1234);
        EXPECT_TRUE(row.call()) << row.what;
        EXPECT_EQ(platform::GetLastErrorValue(), row.error) << row.what;
    }
    platform::DestroyDeviceInfoSet(set);
}

// Registers a device with one interface of kTestInterface and a driver key holding
// "DriverVersion", so the whole discovery path runs against the real SetupAPI.
class RegisteredDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        devices_.Reset(SetupDiCreateDeviceInfoList(/*ClassGuid=*/nullptr, /*hwndParent=*/nullptr));
        ASSERT_TRUE(devices_.IsValid()) << GetLastError();
        info_.cbSize = sizeof(info_);
        const GUID systemClass = {
            0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
        ASSERT_TRUE(SetupDiCreateDeviceInfoW(devices_.Get(),
                                             /*DeviceName=*/L"ROOT\\QUELLIXTEST\\0000",
                                             &systemClass, /*DeviceDescription=*/nullptr,
                                             /*hwndParent=*/nullptr, /*CreationFlags=*/0, &info_))
            << GetLastError();
        ASSERT_TRUE(SetupDiRegisterDeviceInfo(devices_.Get(), &info_, /*Flags=*/0,
                                              /*CompareProc=*/nullptr, /*CompareContext=*/nullptr,
                                              /*DupDeviceInfoData=*/nullptr))
            << GetLastError();
        registered_ = true;
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof(iface);
        const GUID testClass = ToGuid(kTestInterface);
        ASSERT_TRUE(SetupDiCreateDeviceInterfaceW(devices_.Get(), &info_, &testClass,
                                                  /*ReferenceString=*/nullptr,
                                                  /*CreationFlags=*/0, &iface))
            << GetLastError();
        ScopedRegKey key(SetupDiCreateDevRegKeyW(devices_.Get(), &info_, DICS_FLAG_GLOBAL,
                                                 /*HwProfile=*/0, DIREG_DRV,
                                                 /*InfHandle=*/nullptr,
                                                 /*InfSectionName=*/nullptr));
        ASSERT_TRUE(key.IsValid()) << GetLastError();
        const wchar_t version[] = L"9.8.7.6";
        ASSERT_EQ(RegSetValueExW(key.Get(), L"DriverVersion", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(version), sizeof(version)),
                  ERROR_SUCCESS);
    }

    // A driver that starts enables its interface, which marks it Linked under the
    // interface's registry key; Wine takes that as present. Do what the driver would.
    void MarkPresent() {
        HKEY created = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInterfaceControlKey, 0, nullptr, 0,
                                  KEY_WRITE, nullptr, &created, nullptr),
                  ERROR_SUCCESS);
        ScopedRegKey control(created);
        const DWORD linked = 1;
        ASSERT_EQ(RegSetValueExW(control.Get(), L"Linked", 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&linked), sizeof(linked)),
                  ERROR_SUCCESS);
    }

    void TearDown() override {
        if (registered_) {
            SetupDiRemoveDevice(devices_.Get(), &info_);
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, kInterfaceClassKey);
        }
    }

    static constexpr const wchar_t* kInterfaceClassKey =
        L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
        L"{5e7a1c3b-0d42-4f6e-9b11-3c587a20e491}";
    static constexpr const wchar_t* kInterfaceControlKey =
        L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
        L"{5e7a1c3b-0d42-4f6e-9b11-3c587a20e491}\\"
        L"##?#ROOT#QUELLIXTEST#0000#{5e7a1c3b-0d42-4f6e-9b11-3c587a20e491}\\#\\Control";

    ScopedDevInfo devices_;
    SP_DEVINFO_DATA info_{};
    bool registered_ = false;
};

TEST_F(RegisteredDevice, InterfaceDetailPathAndDriverVersion) {
    // Registered but not started: only present devices are asked for.
    platform::DeviceInfoSet absent = platform::OpenDeviceInfoSet(&kTestInterface);
    ASSERT_NE(absent, nullptr);
    platform::DeviceInterface deviceInterface{};
    EXPECT_FALSE(platform::EnumDeviceInterface(absent, &kTestInterface, 0, &deviceInterface));
    platform::DestroyDeviceInfoSet(absent);

    MarkPresent();
    platform::DeviceInfoSet set = platform::OpenDeviceInfoSet(&kTestInterface);
    ASSERT_NE(set, nullptr);
    ASSERT_TRUE(platform::EnumDeviceInterface(set, &kTestInterface, 0, &deviceInterface))
        << platform::GetLastErrorValue();

    // The size query fails with ERROR_INSUFFICIENT_BUFFER and names the size.
    uint32_t required = 0;
    EXPECT_FALSE(
        platform::GetDeviceInterfaceDetail(set, &deviceInterface, nullptr, 0, &required, nullptr));
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorInsufficientBuffer);
    ASSERT_GT(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));

    void* detail = platform::HeapAllocZeroed(required);
    ASSERT_NE(detail, nullptr);
    platform::DeviceInfo deviceInfo{};
    uint32_t second = 0;
    ASSERT_TRUE(platform::GetDeviceInterfaceDetail(set, &deviceInterface, detail, required, &second,
                                                   &deviceInfo))
        << platform::GetLastErrorValue();
    const std::wstring path = platform::DevicePathOf(detail);
    EXPECT_EQ(path.rfind(L"\\\\?\\", 0), 0u) << "device paths are \\\\?\\ paths";
    EXPECT_NE(path.find(L"{5e7a1c3b-0d42-4f6e-9b11-3c587a20e491}"), std::wstring::npos);

    // The device information record names the registered device: its driver key.
    platform::RegistryKey key = platform::OpenDriverKey(set, &deviceInfo);
    ASSERT_NE(key, nullptr) << platform::GetLastErrorValue();
    wchar_t version[256] = {};
    uint32_t size = 256;
    EXPECT_EQ(platform::QueryRegistryString(key, L"DriverVersion", version, &size), 0u);
    EXPECT_STREQ(version, L"9.8.7.6");
    EXPECT_EQ(size, sizeof(L"9.8.7.6"));
    // At most the bytes the caller allows are written.
    wchar_t small[4] = {L'x', L'x', L'x', L'x'};
    size = 4;
    EXPECT_EQ(platform::QueryRegistryString(key, L"DriverVersion", small, &size),
              platform::kErrorMoreData);
    EXPECT_EQ(small[2], L'x');
    size = 256;
    EXPECT_EQ(platform::QueryRegistryString(key, L"NoSuchValue", version, &size),
              platform::kErrorFileNotFound);
    platform::CloseRegistryKey(key);

    // Only one interface is registered.
    platform::DeviceInterface next{};
    EXPECT_FALSE(platform::EnumDeviceInterface(set, &kTestInterface, 1, &next));
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorNoMoreItems);

    platform::HeapRelease(detail);
    platform::DestroyDeviceInfoSet(set);
}

// ---------------------------------------------------------------------------
// Device I/O, on a named pipe: a kernel object that answers I/O-control requests.

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\quellix-platform-test";
// From the driver kit's ntifs.h: CTL_CODE(FILE_DEVICE_NAMED_PIPE, 3, METHOD_BUFFERED,
// FILE_READ_DATA), answered with four ULONGs of pipe state and then the data.
constexpr uint32_t kPipePeek = 0x11400C;
constexpr uint32_t kPeekHeader = 16;

TEST(WindowsDeviceIo, MissingDeviceFailsWithFileNotFound) {
    platform::DeviceHandle device = platform::OpenDevice(L"\\\\.\\QuellixNoSuchDevice");
    EXPECT_EQ(device, platform::InvalidDeviceHandle());
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorFileNotFound);
    // Closing nothing is harmless and keeps the error.
    platform::CloseDevice(device);
    platform::CloseDevice(nullptr);
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorFileNotFound);
}

TEST(WindowsDeviceIo, ExchangeDeliversOutputAlsoWithAFailure) {
    ScopedKernelHandle server(CreateNamedPipeW(
        kPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
        /*nMaxInstances=*/1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(server.IsValid()) << GetLastError();
    platform::DeviceHandle device = platform::OpenDevice(kPipeName);
    ASSERT_NE(device, platform::InvalidDeviceHandle()) << platform::GetLastErrorValue();

    // Opened without sharing: the one instance is taken.
    EXPECT_EQ(platform::OpenDevice(kPipeName), platform::InvalidDeviceHandle());

    const char message[] = "0123456789";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(server.Get(), message, 10, &written, nullptr));
    ASSERT_EQ(written, 10u);

    const uint32_t header = kPeekHeader;
    std::vector<uint8_t> out(header + 64, 0xEE);
    uint32_t returned = 0;
    ASSERT_TRUE(platform::DeviceControl(device, kPipePeek, nullptr, 0, out.data(),
                                        static_cast<uint32_t>(out.size()), &returned))
        << platform::GetLastErrorValue();
    EXPECT_EQ(returned, header + 10);
    EXPECT_EQ(std::memcmp(out.data() + header, message, 10), 0);

    // Room for part of the message: the call fails with ERROR_MORE_DATA and still
    // delivers, and counts, what fitted.
    std::vector<uint8_t> part(header + 4, 0xEE);
    returned = 0;
    EXPECT_FALSE(platform::DeviceControl(device, kPipePeek, nullptr, 0, part.data(),
                                         static_cast<uint32_t>(part.size()), &returned));
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorMoreData);
    EXPECT_EQ(returned, header + 4);
    EXPECT_EQ(std::memcmp(part.data() + header, message, 4), 0);

    // A code the pipe does not know.
    returned = 1;
    EXPECT_FALSE(platform::DeviceControl(device, 0x222000, nullptr, 0, nullptr, 0, &returned));
    EXPECT_NE(platform::GetLastErrorValue(), platform::kErrorSuccess);
    EXPECT_EQ(returned, 0u);

    platform::SetLastErrorValue(1234);
    platform::CloseDevice(device);
    EXPECT_EQ(platform::GetLastErrorValue(), 1234u);
    // The client end is gone: the server can no longer write to it.
    EXPECT_FALSE(WriteFile(server.Get(), message, 10, &written, nullptr));
}

// ---------------------------------------------------------------------------
// Heap and last error

TEST(WindowsHeap, ZeroedBlocksAndReleaseKeepsTheLastError) {
    auto* block = static_cast<uint8_t*>(platform::HeapAllocZeroed(4168));
    ASSERT_NE(block, nullptr);
    for (size_t i = 0; i < 4168; ++i) {
        ASSERT_EQ(block[i], 0) << i;
    }
    platform::SetLastErrorValue(platform::kErrorGenFailure);
    platform::HeapRelease(block);
    platform::HeapRelease(nullptr);
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorGenFailure);
    EXPECT_EQ(GetLastError(), platform::kErrorGenFailure);

    // Windows' HeapAlloc sets no value when it fails (Wine's does): ours always does.
    platform::SetLastErrorValue(platform::kErrorInsufficientBuffer);
    EXPECT_EQ(platform::HeapAllocZeroed(~static_cast<size_t>(0) - 4096), nullptr);
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorNotEnoughMemory);
}

// ---------------------------------------------------------------------------
// Structured exceptions

DWORD g_seenCode = 0;
DWORD g_seenFlags = 0xFFFFFFFF;

LONG CALLBACK LetDivisionContinue(EXCEPTION_POINTERS* info) {
    g_seenCode = info->ExceptionRecord->ExceptionCode;
    g_seenFlags = info->ExceptionRecord->ExceptionFlags;
    return info->ExceptionRecord->ExceptionCode == EXCEPTION_INT_DIVIDE_BY_ZERO
               ? EXCEPTION_CONTINUE_EXECUTION
               : EXCEPTION_CONTINUE_SEARCH;
}

TEST(WindowsExceptions, DivideByZeroIsContinuable) {
    PVOID handler = AddVectoredExceptionHandler(/*First=*/1, LetDivisionContinue);
    ASSERT_NE(handler, nullptr);
    platform::RaiseIntegerDivideByZero();
    RemoveVectoredExceptionHandler(handler);
    EXPECT_EQ(g_seenCode, static_cast<DWORD>(EXCEPTION_INT_DIVIDE_BY_ZERO));
    EXPECT_EQ(g_seenFlags, 0u);
}

// Exit codes of the death tests' children.
constexpr UINT kOverflowNoncontinuable = 71;
constexpr UINT kSomethingElse = 72;
constexpr UINT kReturned = 73;

LONG CALLBACK ExitOnOverflow(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    const bool overflow = record->ExceptionCode == EXCEPTION_INT_OVERFLOW &&
                          record->ExceptionFlags == EXCEPTION_NONCONTINUABLE &&
                          record->NumberParameters == 0;
    ExitProcess(overflow ? kOverflowNoncontinuable : kSomethingElse);
}

LONG CALLBACK ContinueAnything(EXCEPTION_POINTERS*) {
    return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(WindowsExceptionsDeathTest, OverflowIsNoncontinuableAndNeverReturns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            AddVectoredExceptionHandler(/*First=*/1, ExitOnOverflow);
            platform::RaiseIntegerOverflow();
        },
        ::testing::ExitedWithCode(kOverflowNoncontinuable), "");
    // Even when a vectored handler (which the system does not hold to the flag)
    // resumes execution, the arithmetic does not go on with an overflowed value: the
    // process ends at once with the exception's code (not abort()'s 3, whose runtime
    // box a windowless program would show).
    EXPECT_EXIT(
        {
            AddVectoredExceptionHandler(/*First=*/1, ContinueAnything);
            platform::RaiseIntegerOverflow();
            ExitProcess(kReturned);
        },
        ::testing::ExitedWithCode(static_cast<int>(EXCEPTION_INT_OVERFLOW)), "");
}

// ---------------------------------------------------------------------------
// Command line

TEST(WindowsCommandLine, SplitLikeTheRuntimeWithQuotes) {
    int count = 0;
    wchar_t** arguments = platform::CommandLineArguments(&count);
    ASSERT_NE(arguments, nullptr);
    // The C runtime split the same command line into main's arguments (ASCII here).
    ASSERT_EQ(count, g_argc);
    for (int i = 0; i < count; ++i) {
        const std::string narrow(g_argv[i]);
        EXPECT_EQ(std::wstring(arguments[i]), std::wstring(narrow.begin(), narrow.end())) << i;
    }
    EXPECT_NE(std::wstring(arguments[0]).find(L"platform_windows_test"), std::wstring::npos);
    // The test is started with these arguments (see CMakeLists.txt): one with a
    // space, which the command line carries in quotes, and a quote inside one.
    std::vector<std::wstring> rest;
    for (int i = 1; i < count; ++i) {
        if (std::wstring(arguments[i]).rfind(L"--gtest_", 0) != 0) {
            rest.push_back(arguments[i]);
        }
    }
    const std::vector<std::wstring> expected = {L"-calibfile", L"C:\\cal dir\\calib file.txt",
                                                L"say \"hi\""};
    EXPECT_EQ(rest, expected);
    // Read in place as well: a word of the line, quotes aside, matches whole.
    EXPECT_TRUE(platform::CommandLineHasArgument(L"-calibfile"));
    EXPECT_FALSE(platform::CommandLineHasArgument(L"-calib"));
    EXPECT_FALSE(platform::CommandLineHasArgument(L"-exitcode"));
    platform::SetLastErrorValue(77);
    platform::FreeCommandLineArguments(arguments);
    platform::FreeCommandLineArguments(nullptr);
    EXPECT_EQ(platform::GetLastErrorValue(), 77u);
}

// A launcher's CreateProcess(NULL, line) hands an unquoted program path over as it
// is: the program's own path at the start of the line stays one argument.
TEST(WindowsCommandLine, UnquotedProgramPathStaysWhole) {
    const wchar_t module[] = L"C:\\Program Files\\Q x\\quellix.exe";
    const struct {
        const wchar_t* line;
        std::vector<std::wstring> expected;
    } rows[] = {
        {L"C:\\Program Files\\Q x\\quellix.exe -debug\t-calibfile \"a b.txt\" c\\\"d",
         {module, L"-debug", L"-calibfile", L"a b.txt", L"c\"d"}},
        {L"c:\\program files\\q X\\QUELLIX.EXE", {L"c:\\program files\\q X\\QUELLIX.EXE"}},
        {L"\"C:\\Program Files\\Q x\\quellix.exe\" -debug", {module, L"-debug"}},
        // Not the program's path: split as always.
        {L"C:\\Program Files\\Q x\\quellix.exe2 -debug",
         {L"C:\\Program", L"Files\\Q", L"x\\quellix.exe2", L"-debug"}},
        {L"C:\\Program", {L"C:\\Program"}},
    };
    for (const auto& row : rows) {
        int count = -1;
        wchar_t** arguments = platform::windowsbackend::SplitCommandLine(row.line, module, &count);
        ASSERT_NE(arguments, nullptr);
        const std::vector<std::wstring> got(arguments, arguments + count);
        EXPECT_EQ(got, row.expected);
        EXPECT_EQ(arguments[count], nullptr);
        platform::FreeCommandLineArguments(arguments);
    }
}

// The child's part of the test below: 0 when the program's own path, spaces and
// all, is argument 0 and the one argument after it follows.
constexpr char kOwnPathArgument[] = "--check-own-path";
int CheckOwnPath() {
    wchar_t module[MAX_PATH];
    if (GetModuleFileNameW(nullptr, module, MAX_PATH) == 0) {
        return 99;
    }
    int count = 0;
    wchar_t** arguments = platform::CommandLineArguments(&count);
    const bool whole = arguments != nullptr && count == 2 && _wcsicmp(arguments[0], module) == 0 &&
                       std::wcscmp(arguments[1], L"--check-own-path") == 0;
    platform::FreeCommandLineArguments(arguments);
    return whole ? 0 : 10 + count;
}

// Started from a folder with a space in its name by a line that names it unquoted,
// as a launcher may start quellix.exe, the program finds its own path as one
// argument.
TEST(WindowsCommandLine, UnquotedPathWithASpaceStaysWholeForTheProgram) {
    wchar_t self[MAX_PATH];
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring folder =
        std::wstring(temp) + L"quellix cmd " + std::to_wstring(GetCurrentProcessId());
    const std::wstring copy = folder + L"\\platform test.exe";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
    ASSERT_TRUE(CopyFileW(self, copy.c_str(), /*bFailIfExists=*/TRUE)) << GetLastError();
    std::wstring line = copy + L" --check-own-path";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};
    // The program named apart: without it Wine would quote the path on the line.
    const BOOL started = CreateProcessW(copy.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &child);
    const DWORD startError = GetLastError();
    DWORD exitCode = 0;
    if (started) {
        WaitForSingleObject(child.hProcess, 60000);
        GetExitCodeProcess(child.hProcess, &exitCode);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
    ASSERT_TRUE(started) << startError;
    EXPECT_EQ(exitCode, 0u);
}

// ---------------------------------------------------------------------------
// Files with wide names

class WideFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        dir_ = std::wstring(temp) + L"quellix-files-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr)) << GetLastError();
    }
    void TearDown() override {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((dir_ + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                DeleteFileW((dir_ + L"\\" + found.cFileName).c_str());
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        RemoveDirectoryW(dir_.c_str());
    }
    std::wstring Path(const std::wstring& name) const { return dir_ + L"\\" + name; }

    static std::string ReadAll(const std::wstring& path, const char* mode) {
        std::string data;
        std::FILE* file = platform::OpenFile(path.c_str(), mode);
        if (file == nullptr) {
            return "<missing>";
        }
        char buffer[256];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
            data.append(buffer, n);
        }
        std::fclose(file);
        return data;
    }

    std::wstring dir_;
};

TEST_F(WideFiles, NamesKeepEveryWideCharacter) {
    // Latin, Greek and CJK letters: none has a one-byte form in the ANSI code page.
    const std::wstring name = L"kalibrierung_\u00e4\u03a9\u4e2d.txt";
    std::FILE* file = platform::OpenFile(Path(name).c_str(), "w");
    ASSERT_NE(file, nullptr);
    ASSERT_GE(std::fputs("1234 ", file), 0);
    ASSERT_EQ(std::fclose(file), 0);

    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(Path(L"kalibrierung_*").c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::wstring(found.cFileName), name);
    EXPECT_FALSE(FindNextFileW(find, &found)) << "exactly one file";
    FindClose(find);
    EXPECT_EQ(ReadAll(Path(name), "r"), "1234 ");
}

TEST_F(WideFiles, TextModeWritesCarriageReturnBeforeLineFeed) {
    const std::wstring path = Path(L"atoa.txt");
    std::FILE* file = platform::OpenFile(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    const char bytes[] = {'\x80', '\x0a', '\x00', '\x0a'};
    ASSERT_EQ(std::fwrite(bytes, sizeof(bytes), 1, file), 1u);
    ASSERT_EQ(std::fclose(file), 0);
    EXPECT_EQ(ReadAll(path, "rb"), std::string("\x80\x0d\x0a\x00\x0d\x0a", 6));
    EXPECT_EQ(ReadAll(path, "r"), std::string(bytes, 4));
}

TEST_F(WideFiles, ReplaceAndRemove) {
    const std::wstring from = Path(L"new \u00e9.tmp");
    const std::wstring to = Path(L"calib \u00e9.bin");
    for (const auto& [path, text] : {std::pair{from, "new"}, std::pair{to, "old"}}) {
        std::FILE* file = platform::OpenFile(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs(text, file);
        ASSERT_EQ(std::fclose(file), 0);
    }
    EXPECT_TRUE(platform::ReplaceFile(from.c_str(), to.c_str()));
    EXPECT_EQ(ReadAll(to, "r"), "new");
    EXPECT_EQ(ReadAll(from, "r"), "<missing>");

    EXPECT_FALSE(platform::ReplaceFile(from.c_str(), to.c_str()));
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorFileNotFound);
    EXPECT_EQ(ReadAll(to, "r"), "new") << "a failed replace leaves the target alone";

    EXPECT_TRUE(platform::RemoveFile(to.c_str()));
    EXPECT_FALSE(platform::RemoveFile(to.c_str()));
    EXPECT_EQ(platform::OpenFile(to.c_str(), "r"), nullptr);
    EXPECT_EQ(platform::OpenFile(to.c_str(), "wwwwwwwwwwwwwwwwwwww"), nullptr);
}

// Only a disk file is opened for reading: a device could keep the read waiting.
TEST_F(WideFiles, OnlyADiskFileIsOpenedForReading) {
    for (const wchar_t* device : {L"NUL", L"CON", L"CONIN$"}) {
        platform::SetLastErrorValue(0);
        EXPECT_EQ(platform::OpenFile(device, "rb"), nullptr) << device;
        EXPECT_NE(platform::GetLastErrorValue(), 0u) << device;
    }
    platform::SetLastErrorValue(0);
    EXPECT_EQ(platform::OpenFile(L"NUL", "rb"), nullptr);
    EXPECT_EQ(platform::GetLastErrorValue(), platform::kErrorNotSupported);
}

// A failure the backend finds itself, not a system call, still becomes the last-error
// value: nothing stale from before is left to be reported.
TEST_F(WideFiles, FailuresFoundWithoutTheSystemSetTheLastError) {
    const std::wstring from = Path(L"new.tmp");
    const std::wstring readOnly = Path(L"calibfrombios.bin");
    for (const std::wstring& path : {from, readOnly}) {
        std::FILE* file = platform::OpenFile(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fclose(file), 0);
    }
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    const struct {
        const char* what;
        std::function<bool()> call;
        uint32_t error;
    } rows[] = {
        {"CreateNewFile(null)", [] { return platform::CreateNewFile(nullptr) != nullptr; }, 87},
        {"FlushFileToDisk(null)", [] { return platform::FlushFileToDisk(nullptr); }, 87},
        {"ReplaceFile(null, ...)", [&] { return platform::ReplaceFile(nullptr, from.c_str()); },
         87},
        {"RemoveFile(null)", [] { return platform::RemoveFile(nullptr); }, 87},
        {"ReplaceFile onto a read-only file",
         [&] { return platform::ReplaceFile(from.c_str(), readOnly.c_str()); }, 6009},
    };
    for (const auto& row : rows) {
        platform::SetLastErrorValue(1234);
        EXPECT_FALSE(row.call()) << row.what;
        EXPECT_EQ(platform::GetLastErrorValue(), row.error) << row.what;
    }
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// ---------------------------------------------------------------------------
// Leaks: every test runs twice (CMakeLists.txt passes --gtest_repeat=2). The first
// round lets the system libraries make what they keep for the process; in the
// second, a test must end with as many handles and process-heap blocks as it began
// with, so a release the backend skips (a key, a device set, a device handle, a
// heap or LocalAlloc block) fails the test that made it.

size_t BusyHeapBlocks() {
    HANDLE heap = GetProcessHeap();
    size_t busy = 0;
    if (!HeapLock(heap)) {
        return 0;
    }
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry)) {
        busy += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0 ? 1 : 0;
    }
    HeapUnlock(heap);
    return busy;
}

// This process's handles as the system lists them (Wine's GetProcessHandleCount
// always answers 0).
size_t OpenHandles() {
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    struct Entry {
        ULONG process;
        UCHAR type, flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct List {
        ULONG count;
        Entry entries[1];
    };
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<uint8_t> buffer(1 << 16);
    LONG status;
    ULONG needed = 0;
    while ((status = query(kSystemHandleInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()), &needed)) == kInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        return 0;
    }
    const auto* list = reinterpret_cast<const List*>(buffer.data());
    size_t own = 0;
    for (ULONG i = 0; i < list->count; ++i) {
        own += list->entries[i].process == GetCurrentProcessId() ? 1 : 0;
    }
    return own;
}

class LeakCheck : public ::testing::EmptyTestEventListener {
    void OnTestIterationStart(const ::testing::UnitTest&, int iteration) override {
        checking_ = iteration > 0;
    }
    void OnTestStart(const ::testing::TestInfo&) override {
        handles_ = OpenHandles();
        blocks_ = BusyHeapBlocks();
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        if (checking_) {
            EXPECT_EQ(OpenHandles(), handles_) << "handles left open";
            EXPECT_EQ(BusyHeapBlocks(), blocks_) << "process-heap blocks left allocated";
        }
    }
    bool checking_ = false;
    size_t handles_ = 0;
    size_t blocks_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    g_argc = argc;
    g_argv = argv;
    std::vector<char*> copy(argv, argv + argc);  // gtest edits the array it is given
    if (argc > 1 && std::strcmp(argv[argc - 1], kOwnPathArgument) == 0) {
        return CheckOwnPath();
    }
    ::testing::InitGoogleTest(&argc, copy.data());
    ::testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck);
    return RUN_ALL_TESTS();
}
