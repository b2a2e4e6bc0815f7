// The in-process test backend: every platform function of platform/platform.h,
// driven by the controls of test_platform.h. Nothing here touches a real device
// or sleeps; files are real files.

#include "platform/test/test_platform.h"

// files.h brings the system headers of the file functions, <windows.h> on Windows.
#include "platform/internal/backend_records.h"
#include "platform/internal/files.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

namespace {

constexpr wchar_t kDefaultDevicePath[] = L"\\\\?\\root#misc#0000#{80dcc0c5}";

// What a test scripts and what the backend records for it: Reset starts it afresh.
struct Script {
    // registry
    bool present = true;
    bool versionMissing = false;
    std::wstring version = L"1.0.0.0";
    std::wstring path = kDefaultDevicePath;
    uint32_t openError = 0;
    std::map<testplatform::Call, std::pair<uint32_t, int>> failures;  // error, times left

    // device
    testplatform::Responder responder;
    std::vector<testplatform::Exchange> exchanges;
    int openCount = 0;
    int closeCount = 0;
    uintptr_t openHandle = 0;  // 0: no handle open

    // heap
    int failNth = 0;
    int allocationCount = 0;
    testplatform::ReleaseInspector inspector;

    // clock
    platform::SystemTime time = {};
    int64_t performanceCount = 0;
    std::vector<uint32_t> sleeps;

    // fatal conditions
    bool divideContinues = false;
    int divideCount = 0;

    // command line, message box, files
    std::vector<std::wstring> commandLine = {L"quellix"};
    std::vector<std::pair<std::wstring, std::wstring>> messageBoxes;
    bool fileWritesFail = false;
    std::function<void(const wchar_t*)> createHook;
};

// What outlives a test: objects that outlive one (the global client's text
// buffer) own some of the heap blocks, and a set, key or block released after a
// Reset must still be known.
struct Kept {
    std::set<uintptr_t> liveSets;
    std::set<uintptr_t> liveKeys;
    uintptr_t nextToken = 0x1000;
    std::unordered_map<void*, size_t> blocks;
};

struct State {
    Script script;
    Kept kept;
};

// Constructed on first use and never destroyed, so that global objects of the
// code under test may call the platform from their own constructors and
// destructors in any order.
State& BackendState() {
    static State* state = new State();
    return *state;
}

Script& CurrentScript() {
    return BackendState().script;
}

Kept& KeptState() {
    return BackendState().kept;
}

thread_local uint32_t t_lastError = 0;

bool Failing(testplatform::Call call, uint32_t* error) {
    const auto it = CurrentScript().failures.find(call);
    if (it == CurrentScript().failures.end()) {
        return false;
    }
    *error = it->second.first;
    if (it->second.second > 0 && --it->second.second == 0) {
        CurrentScript().failures.erase(it);
    }
    return true;
}

// Failing for a call that reports through the last-error value.
bool FailsAsScripted(testplatform::Call call) {
    uint32_t error = 0;
    if (!Failing(call, &error)) {
        return false;
    }
    t_lastError = error;
    return true;
}

bool IsLiveSet(platform::DeviceInfoSet set) {
    return KeptState().liveSets.count(reinterpret_cast<uintptr_t>(set)) != 0;
}

uintptr_t NewToken() {
    KeptState().nextToken += 16;
    return KeptState().nextToken;
}

}  // namespace

// ===========================================================================
// Controls

namespace testplatform {

void Reset() {
    CurrentScript() = Script{};
    t_lastError = 0;
}

void SetDevicePresent(bool present) {
    CurrentScript().present = present;
}

void SetDriverVersion(const wchar_t* version) {
    CurrentScript().versionMissing = version == nullptr;
    CurrentScript().version = version != nullptr ? version : L"";
}

void SetDevicePath(const wchar_t* path) {
    CurrentScript().path = path != nullptr ? path : L"";
}

void SetOpenError(uint32_t error) {
    CurrentScript().openError = error;
}

void FailCall(Call call, uint32_t error, int times) {
    if (times != 0) {
        CurrentScript().failures[call] = {error, times};
    }
}

void SetResponder(Responder responder) {
    CurrentScript().responder = std::move(responder);
}

const std::vector<Exchange>& Exchanges() {
    return CurrentScript().exchanges;
}

int OpenCount() {
    return CurrentScript().openCount;
}

int CloseCount() {
    return CurrentScript().closeCount;
}

bool DeviceIsOpen() {
    return CurrentScript().openHandle != 0;
}

int LiveDeviceInfoSetCount() {
    return static_cast<int>(KeptState().liveSets.size());
}

int LiveRegistryKeyCount() {
    return static_cast<int>(KeptState().liveKeys.size());
}

void FailAllocation(int nth) {
    CurrentScript().failNth = nth;
}

int AllocationCount() {
    return CurrentScript().allocationCount;
}

int LiveBlockCount() {
    return static_cast<int>(KeptState().blocks.size());
}

void SetReleaseInspector(ReleaseInspector inspector) {
    CurrentScript().inspector = std::move(inspector);
}

void SetSystemTime(const platform::SystemTime& time) {
    CurrentScript().time = time;
}

void SetPerformanceCount(int64_t count) {
    CurrentScript().performanceCount = count;
}

const std::vector<uint32_t>& Sleeps() {
    return CurrentScript().sleeps;
}

void SetDivideByZeroContinues(bool continues) {
    CurrentScript().divideContinues = continues;
}

int DivideByZeroCount() {
    return CurrentScript().divideCount;
}

void SetCommandLine(const std::vector<std::wstring>& arguments) {
    CurrentScript().commandLine = arguments;
}

const std::vector<std::pair<std::wstring, std::wstring>>& MessageBoxes() {
    return CurrentScript().messageBoxes;
}

void SetFileWritesFail(bool fail) {
    CurrentScript().fileWritesFail = fail;
}

void SetCreateNewFileHook(std::function<void(const wchar_t* name)> hook) {
    CurrentScript().createHook = std::move(hook);
}

}  // namespace testplatform

// ===========================================================================
// The platform interface

namespace platform {

DeviceInfoSet OpenDeviceInfoSet(const Guid* interfaceClass) {
    if (FailsAsScripted(testplatform::Call::OpenDeviceInfoSet)) {
        return nullptr;
    }
    if (interfaceClass == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    const uintptr_t token = NewToken();
    KeptState().liveSets.insert(token);
    return reinterpret_cast<DeviceInfoSet>(token);
}

void DestroyDeviceInfoSet(DeviceInfoSet set) {
    KeptState().liveSets.erase(reinterpret_cast<uintptr_t>(set));
    t_lastError = testplatform::kErrorLeftByRelease;
}

bool EnumDeviceInterface(DeviceInfoSet set, const Guid* interfaceClass, uint32_t index,
                         DeviceInterface* deviceInterface) {
    if (FailsAsScripted(testplatform::Call::EnumDeviceInterface)) {
        return false;
    }
    if (!IsLiveSet(set) || interfaceClass == nullptr || deviceInterface == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return false;
    }
    if (!CurrentScript().present || index != 0) {
        t_lastError = kErrorNoMoreItems;
        return false;
    }
    std::memset(deviceInterface->opaque, 0, sizeof deviceInterface->opaque);
    deviceInterface->opaque[0] = 1;
    return true;
}

bool GetDeviceInterfaceDetail(DeviceInfoSet set, DeviceInterface* deviceInterface, void* detail,
                              uint32_t detailSize, uint32_t* requiredSize, DeviceInfo* deviceInfo) {
    const bool sizeQuery = detail == nullptr && detailSize == 0;
    if (FailsAsScripted(sizeQuery ? testplatform::Call::GetDeviceInterfaceDetailSize
                                  : testplatform::Call::GetDeviceInterfaceDetail)) {
        return false;
    }
    if (!IsLiveSet(set) || deviceInterface == nullptr || deviceInterface->opaque[0] != 1) {
        t_lastError = kErrorInvalidParameter;
        return false;
    }
    const size_t needed = internal::DetailSizeFor(CurrentScript().path.size());
    if (requiredSize != nullptr) {
        *requiredSize = static_cast<uint32_t>(needed);
    }
    if (sizeQuery || detailSize < needed) {
        t_lastError = kErrorInsufficientBuffer;
        return false;
    }
    if (detail == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return false;
    }
    internal::WriteDetail(detail, CurrentScript().path.c_str(), CurrentScript().path.size());
    if (deviceInfo != nullptr) {
        std::memset(deviceInfo->opaque, 0, sizeof deviceInfo->opaque);
        deviceInfo->opaque[0] = 1;
    }
    return true;
}

const wchar_t* DevicePathOf(const void* detail) {
    return internal::DetailPath(detail);
}

RegistryKey OpenDriverKey(DeviceInfoSet set, DeviceInfo* deviceInfo) {
    if (FailsAsScripted(testplatform::Call::OpenDriverKey)) {
        return nullptr;
    }
    if (!IsLiveSet(set) || deviceInfo == nullptr || deviceInfo->opaque[0] != 1) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    const uintptr_t token = NewToken();
    KeptState().liveKeys.insert(token);
    return reinterpret_cast<RegistryKey>(token);
}

uint32_t QueryRegistryString(RegistryKey key, const wchar_t* valueName, wchar_t* buffer,
                             uint32_t* sizeBytes) {
    uint32_t error = 0;
    if (Failing(testplatform::Call::QueryRegistryString, &error)) {
        return error;
    }
    if (KeptState().liveKeys.count(reinterpret_cast<uintptr_t>(key)) == 0) {
        return kErrorInvalidHandle;
    }
    if (valueName == nullptr || sizeBytes == nullptr) {
        return kErrorInvalidParameter;
    }
    if (CurrentScript().versionMissing || std::wstring(valueName) != L"DriverVersion") {
        return kErrorFileNotFound;
    }
    return internal::AnswerRegistryText(CurrentScript().version.c_str(),
                                        CurrentScript().version.size(), buffer, sizeBytes);
}

void CloseRegistryKey(RegistryKey key) {
    KeptState().liveKeys.erase(reinterpret_cast<uintptr_t>(key));
    t_lastError = testplatform::kErrorLeftByRelease;
}

DeviceHandle OpenDevice(const wchar_t* devicePath) {
    if (FailsAsScripted(testplatform::Call::OpenDevice)) {
        return InvalidDeviceHandle();
    }
    if (CurrentScript().openError != 0) {
        t_lastError = CurrentScript().openError;
        return InvalidDeviceHandle();
    }
    if (devicePath == nullptr || !CurrentScript().present || CurrentScript().path != devicePath) {
        t_lastError = kErrorFileNotFound;
        return InvalidDeviceHandle();
    }
    if (CurrentScript().openHandle != 0) {
        // The device is opened without sharing.
        t_lastError = kErrorSharingViolation;
        return InvalidDeviceHandle();
    }
    CurrentScript().openHandle = NewToken();
    ++CurrentScript().openCount;
    return reinterpret_cast<DeviceHandle>(CurrentScript().openHandle);
}

void CloseDevice(DeviceHandle device) {
    if (device == nullptr || device == InvalidDeviceHandle()) {
        return;
    }
    // A handle left over from before a Reset is no longer known; ignore it.
    if (reinterpret_cast<uintptr_t>(device) == CurrentScript().openHandle) {
        CurrentScript().openHandle = 0;
        ++CurrentScript().closeCount;
    }
    t_lastError = testplatform::kErrorLeftByRelease;
}

bool DeviceControl(DeviceHandle device, uint32_t ioControlCode, const void* inBuffer,
                   uint32_t inSize, void* outBuffer, uint32_t outSize, uint32_t* bytesReturned) {
    testplatform::Exchange exchange;
    exchange.code = ioControlCode;
    if (inBuffer != nullptr) {
        const auto* in = static_cast<const uint8_t*>(inBuffer);
        exchange.input.assign(in, in + inSize);
    }
    exchange.outSize = outSize;
    exchange.hadOutBuffer = outBuffer != nullptr;
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    CurrentScript().exchanges.push_back(exchange);
    if (device == nullptr || reinterpret_cast<uintptr_t>(device) != CurrentScript().openHandle) {
        t_lastError = kErrorInvalidHandle;
        return false;
    }

    testplatform::Reply reply;
    if (CurrentScript().responder) {
        // A copy: the responder may itself call the controls.
        const testplatform::Responder responder = CurrentScript().responder;
        reply = responder(exchange);
    } else {
        reply.ok = false;
        reply.error = kErrorGenFailure;
    }
    size_t delivered = reply.output.size();
    if (outBuffer == nullptr) {
        delivered = 0;
    }
    if (delivered > outSize) {
        delivered = outSize;
    }
    if (delivered > 0) {
        std::memcpy(outBuffer, reply.output.data(), delivered);
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = static_cast<uint32_t>(delivered);
    }
    if (!reply.ok) {
        t_lastError = reply.error;
        return false;
    }
    return true;
}

void* HeapAllocZeroed(size_t size) {
    Script& s = CurrentScript();
    ++s.allocationCount;
    if (s.failNth > 0) {
        --s.failNth;
        if (s.failNth == 0) {
            t_lastError = kErrorNotEnoughMemory;
            return nullptr;
        }
    }
    void* block = std::calloc(size > 0 ? size : 1, 1);
    if (block == nullptr) {
        t_lastError = kErrorNotEnoughMemory;
        return nullptr;
    }
    KeptState().blocks[block] = size;
    return block;
}

void HeapRelease(void* block) {
    if (block == nullptr) {
        return;
    }
    Kept& k = KeptState();
    const auto it = k.blocks.find(block);
    if (it == k.blocks.end()) {
        std::fprintf(stderr, "test platform: HeapRelease of a block it did not allocate\n");
        std::abort();
    }
    const size_t size = it->second;
    k.blocks.erase(it);
    if (CurrentScript().inspector) {
        const testplatform::ReleaseInspector inspector = CurrentScript().inspector;
        inspector(static_cast<const uint8_t*>(block), size);
    }
    std::free(block);
    t_lastError = testplatform::kErrorLeftByRelease;
}

uint32_t GetLastErrorValue() {
    return t_lastError;
}

void SetLastErrorValue(uint32_t error) {
    t_lastError = error;
}

void GetUtcSystemTime(SystemTime* time) {
    if (time != nullptr) {
        *time = CurrentScript().time;
    }
}

bool QueryPerformanceCount(int64_t* count) {
    if (count == nullptr) {
        return false;
    }
    *count = CurrentScript().performanceCount;
    return true;
}

void SleepMilliseconds(uint32_t milliseconds) {
    CurrentScript().sleeps.push_back(milliseconds);
}

void RaiseIntegerOverflow() {
    std::fprintf(stderr, "Quellix: integer overflow\n");
    std::abort();
}

void RaiseIntegerDivideByZero() {
    if (CurrentScript().divideContinues) {
        ++CurrentScript().divideCount;
        return;
    }
    std::raise(SIGFPE);
}

wchar_t** CommandLineArguments(int* count) {
    if (FailsAsScripted(testplatform::Call::CommandLineArguments)) {
        return nullptr;
    }
    wchar_t** arguments = internal::NewArgumentArray(CurrentScript().commandLine, count);
    if (arguments == nullptr) {
        t_lastError = kErrorNotEnoughMemory;
    }
    return arguments;
}

bool CommandLineHasArgument(const wchar_t* argument) {
    const auto& line = CurrentScript().commandLine;
    return std::find(line.begin() + (line.empty() ? 0 : 1), line.end(), argument) != line.end();
}

void FreeCommandLineArguments(wchar_t** arguments) {
    internal::FreeArgumentArray(arguments);
    t_lastError = testplatform::kErrorLeftByRelease;
}

void ShowMessageBox(const wchar_t* text, const wchar_t* caption) {
    CurrentScript().messageBoxes.emplace_back(text != nullptr ? text : L"",
                                              caption != nullptr ? caption : L"");
}

std::FILE* OpenFile(const wchar_t* name, const char* mode) {
    if (name == nullptr || mode == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    const bool writing = std::strpbrk(mode, "wa+") != nullptr;
    if (writing && CurrentScript().fileWritesFail) {
#ifdef _WIN32
        // No device refuses writes there; a stream opened for reading does.
        return std::fopen("NUL", "r");
#else
        return std::fopen("/dev/full", mode);
#endif
    }
#ifdef _WIN32
    // fopen modes are a few ASCII letters.
    std::FILE* file = _wfopen(name, std::wstring(mode, mode + std::strlen(mode)).c_str());
    const uint32_t error = file != nullptr ? 0 : internal::ErrnoToWindows(errno);
#else
    std::FILE* file = nullptr;
    const uint32_t error = internal::OpenFileNamed(name, mode, &file);
#endif
    if (error != 0) {
        t_lastError = error;
    }
    return file;
}

// The file calls below fail as scripted, or do what the real backends do.
static bool FileCall(testplatform::Call call, bool argumentsValid,
                     const std::function<uint32_t()>& run) {
    uint32_t error = 0;
    if (!Failing(call, &error)) {
        error = argumentsValid ? run() : kErrorInvalidParameter;
    }
    if (error != 0) {
        t_lastError = error;
    }
    return error == 0;
}

std::FILE* CreateNewFile(const wchar_t* name) {
    std::FILE* file = nullptr;
    FileCall(testplatform::Call::CreateNewFile, name != nullptr, [&] {
        if (CurrentScript().createHook) {
            const auto hook = CurrentScript().createHook;
            hook(name);
        }
        uint32_t error = internal::CreateNewFileNamed(name, &file);
        if (error == 0 && CurrentScript().fileWritesFail) {
            // The file exists, but writes to the stream fail.
            std::fclose(file);
            file = OpenFile(name, "w");
        }
        return error;
    });
    return file;
}

bool FlushFileToDisk(std::FILE* file) {
    return FileCall(testplatform::Call::FlushFileToDisk, file != nullptr,
                    [&] { return internal::FlushFileData(file); });
}

bool ReplaceFile(const wchar_t* from, const wchar_t* to) {
    return FileCall(testplatform::Call::ReplaceFile, from != nullptr && to != nullptr,
                    [&] { return internal::ReplaceFileNamed(from, to); });
}

bool RemoveFile(const wchar_t* name) {
    return FileCall(testplatform::Call::RemoveFile, name != nullptr,
                    [&] { return internal::RemoveFileNamed(name); });
}

}  // namespace platform
