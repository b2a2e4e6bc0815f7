// The in-process test backend: every platform function of platform/platform.h,
// driven by the controls of test_platform.h. Nothing here touches a real device
// or sleeps; files are real files.

#include "platform/test/test_platform.h"

#include "platform/internal/backend_records.h"
#include "platform/internal/files.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

#ifdef _WIN32
// Files by their wide names, as the real backend opens them: _wfopen and MoveFileExW.
#include <windows.h>
// <windows.h> maps ReplaceFile to ReplaceFileA/W; ours is the platform function.
#undef ReplaceFile
#else
#include "common/wide_utf8.h"
#endif

namespace {

constexpr wchar_t kDefaultDevicePath[] = L"\\\\?\\root#misc#0000#{80dcc0c5}";

struct State {
    // registry
    bool present = true;
    bool versionMissing = false;
    std::wstring version = L"1.0.0.0";
    std::wstring path = kDefaultDevicePath;
    uint32_t openError = 0;
    std::map<testplatform::Call, std::pair<uint32_t, int>> failures;  // error, times left
    std::set<uintptr_t> liveSets;
    std::set<uintptr_t> liveKeys;
    uintptr_t nextToken = 0x1000;

    // device
    testplatform::Responder responder;
    std::vector<testplatform::Exchange> exchanges;
    int openCount = 0;
    int closeCount = 0;
    uintptr_t openHandle = 0;  // 0: no handle open

    // heap: blocks survive Reset, since objects that outlive one test (the
    // global client's text buffer) own some of them.
    int failNth = 0;
    int allocationCount = 0;
    std::unordered_map<void*, size_t> blocks;
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

// Constructed on first use and never destroyed, so that global objects of the
// code under test may call the platform from their own constructors and
// destructors in any order.
State& S() {
    static State* state = new State();
    return *state;
}

thread_local uint32_t t_lastError = 0;

bool Failing(testplatform::Call call, uint32_t* error) {
    const auto it = S().failures.find(call);
    if (it == S().failures.end()) {
        return false;
    }
    *error = it->second.first;
    if (it->second.second > 0 && --it->second.second == 0) {
        S().failures.erase(it);
    }
    return true;
}

uintptr_t NewToken() {
    S().nextToken += 16;
    return S().nextToken;
}

uint32_t ErrnoToWindows(int err) {
    switch (err) {
        case ENOENT:
            return platform::kErrorFileNotFound;
        case EACCES:
            return platform::kErrorAccessDenied;
        default:
            return platform::kErrorGenFailure;
    }
}

}  // namespace

// ===========================================================================
// Controls

namespace testplatform {

void Reset() {
    State& s = S();
    s.present = true;
    s.versionMissing = false;
    s.version = L"1.0.0.0";
    s.path = kDefaultDevicePath;
    s.openError = 0;
    s.failures.clear();
    s.responder = nullptr;
    s.exchanges.clear();
    s.openCount = 0;
    s.closeCount = 0;
    s.openHandle = 0;
    s.failNth = 0;
    s.allocationCount = 0;
    s.inspector = nullptr;
    s.time = {};
    s.performanceCount = 0;
    s.sleeps.clear();
    s.divideContinues = false;
    s.divideCount = 0;
    s.commandLine = {L"quellix"};
    s.messageBoxes.clear();
    s.fileWritesFail = false;
    s.createHook = nullptr;
    t_lastError = 0;
}

void SetDevicePresent(bool present) {
    S().present = present;
}

void SetDriverVersion(const wchar_t* version) {
    S().versionMissing = version == nullptr;
    S().version = version != nullptr ? version : L"";
}

void SetDevicePath(const wchar_t* path) {
    S().path = path != nullptr ? path : L"";
}

void SetOpenError(uint32_t error) {
    S().openError = error;
}

void FailCall(Call call, uint32_t error, int times) {
    if (times != 0) {
        S().failures[call] = {error, times};
    }
}

void SetResponder(Responder responder) {
    S().responder = std::move(responder);
}

const std::vector<Exchange>& Exchanges() {
    return S().exchanges;
}

int OpenCount() {
    return S().openCount;
}

int CloseCount() {
    return S().closeCount;
}

bool DeviceIsOpen() {
    return S().openHandle != 0;
}

int LiveDeviceInfoSetCount() {
    return static_cast<int>(S().liveSets.size());
}

int LiveRegistryKeyCount() {
    return static_cast<int>(S().liveKeys.size());
}

void FailAllocation(int nth) {
    S().failNth = nth;
}

int AllocationCount() {
    return S().allocationCount;
}

int LiveBlockCount() {
    return static_cast<int>(S().blocks.size());
}

void SetReleaseInspector(ReleaseInspector inspector) {
    S().inspector = std::move(inspector);
}

void SetSystemTime(const platform::SystemTime& time) {
    S().time = time;
}

void SetPerformanceCount(int64_t count) {
    S().performanceCount = count;
}

const std::vector<uint32_t>& Sleeps() {
    return S().sleeps;
}

void SetDivideByZeroContinues(bool continues) {
    S().divideContinues = continues;
}

int DivideByZeroCount() {
    return S().divideCount;
}

void SetCommandLine(const std::vector<std::wstring>& arguments) {
    S().commandLine = arguments;
}

const std::vector<std::pair<std::wstring, std::wstring>>& MessageBoxes() {
    return S().messageBoxes;
}

void SetFileWritesFail(bool fail) {
    S().fileWritesFail = fail;
}

void SetCreateNewFileHook(std::function<void(const wchar_t* name)> hook) {
    S().createHook = std::move(hook);
}

}  // namespace testplatform

// ===========================================================================
// The platform interface

namespace platform {

DeviceInfoSet OpenDeviceInfoSet(const Guid* interfaceClass) {
    uint32_t error = 0;
    if (Failing(testplatform::Call::OpenDeviceInfoSet, &error)) {
        t_lastError = error;
        return nullptr;
    }
    if (interfaceClass == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    const uintptr_t token = NewToken();
    S().liveSets.insert(token);
    return reinterpret_cast<DeviceInfoSet>(token);
}

void DestroyDeviceInfoSet(DeviceInfoSet set) {
    S().liveSets.erase(reinterpret_cast<uintptr_t>(set));
    t_lastError = testplatform::kErrorLeftByRelease;
}

bool EnumDeviceInterface(DeviceInfoSet set, const Guid* interfaceClass, uint32_t index,
                         DeviceInterface* deviceInterface) {
    uint32_t error = 0;
    if (Failing(testplatform::Call::EnumDeviceInterface, &error)) {
        t_lastError = error;
        return false;
    }
    if (S().liveSets.count(reinterpret_cast<uintptr_t>(set)) == 0 || interfaceClass == nullptr ||
        deviceInterface == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return false;
    }
    if (!S().present || index != 0) {
        t_lastError = kErrorNoMoreItems;
        return false;
    }
    std::memset(deviceInterface->opaque, 0, sizeof deviceInterface->opaque);
    deviceInterface->opaque[0] = 1;
    return true;
}

bool GetDeviceInterfaceDetail(DeviceInfoSet set, DeviceInterface* deviceInterface, void* detail,
                              uint32_t detailSize, uint32_t* requiredSize, DeviceInfo* deviceInfo) {
    uint32_t error = 0;
    const bool sizeQuery = detail == nullptr && detailSize == 0;
    if (Failing(sizeQuery ? testplatform::Call::GetDeviceInterfaceDetailSize
                          : testplatform::Call::GetDeviceInterfaceDetail,
                &error)) {
        t_lastError = error;
        return false;
    }
    if (S().liveSets.count(reinterpret_cast<uintptr_t>(set)) == 0 || deviceInterface == nullptr ||
        deviceInterface->opaque[0] != 1) {
        t_lastError = kErrorInvalidParameter;
        return false;
    }
    const size_t needed = internal::DetailSizeFor(S().path);
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
    internal::WriteDetail(detail, S().path);
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
    uint32_t error = 0;
    if (Failing(testplatform::Call::OpenDriverKey, &error)) {
        t_lastError = error;
        return nullptr;
    }
    if (S().liveSets.count(reinterpret_cast<uintptr_t>(set)) == 0 || deviceInfo == nullptr ||
        deviceInfo->opaque[0] != 1) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    const uintptr_t token = NewToken();
    S().liveKeys.insert(token);
    return reinterpret_cast<RegistryKey>(token);
}

uint32_t QueryRegistryString(RegistryKey key, const wchar_t* valueName, wchar_t* buffer,
                             uint32_t* sizeBytes) {
    uint32_t error = 0;
    if (Failing(testplatform::Call::QueryRegistryString, &error)) {
        return error;
    }
    if (S().liveKeys.count(reinterpret_cast<uintptr_t>(key)) == 0) {
        return kErrorInvalidHandle;
    }
    if (valueName == nullptr || sizeBytes == nullptr) {
        return kErrorInvalidParameter;
    }
    if (S().versionMissing || std::wstring(valueName) != L"DriverVersion") {
        return kErrorFileNotFound;
    }
    return internal::AnswerRegistryText(S().version, buffer, sizeBytes);
}

void CloseRegistryKey(RegistryKey key) {
    S().liveKeys.erase(reinterpret_cast<uintptr_t>(key));
    t_lastError = testplatform::kErrorLeftByRelease;
}

DeviceHandle OpenDevice(const wchar_t* devicePath) {
    uint32_t error = 0;
    if (Failing(testplatform::Call::OpenDevice, &error)) {
        t_lastError = error;
        return InvalidDeviceHandle();
    }
    if (S().openError != 0) {
        t_lastError = S().openError;
        return InvalidDeviceHandle();
    }
    if (devicePath == nullptr || !S().present || S().path != devicePath) {
        t_lastError = kErrorFileNotFound;
        return InvalidDeviceHandle();
    }
    if (S().openHandle != 0) {
        // The device is opened without sharing.
        t_lastError = kErrorSharingViolation;
        return InvalidDeviceHandle();
    }
    S().openHandle = NewToken();
    ++S().openCount;
    return reinterpret_cast<DeviceHandle>(S().openHandle);
}

void CloseDevice(DeviceHandle device) {
    if (device == nullptr || device == InvalidDeviceHandle()) {
        return;
    }
    // A handle left over from before a Reset is no longer known; ignore it.
    if (reinterpret_cast<uintptr_t>(device) == S().openHandle) {
        S().openHandle = 0;
        ++S().closeCount;
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
    S().exchanges.push_back(exchange);
    if (device == nullptr || reinterpret_cast<uintptr_t>(device) != S().openHandle) {
        t_lastError = kErrorInvalidHandle;
        return false;
    }

    testplatform::Reply reply;
    if (S().responder) {
        // A copy: the responder may itself call the controls.
        const testplatform::Responder responder = S().responder;
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
    State& s = S();
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
    s.blocks[block] = size;
    return block;
}

void HeapRelease(void* block) {
    if (block == nullptr) {
        return;
    }
    State& s = S();
    const auto it = s.blocks.find(block);
    if (it == s.blocks.end()) {
        std::fprintf(stderr, "test platform: HeapRelease of a block it did not allocate\n");
        std::abort();
    }
    const size_t size = it->second;
    s.blocks.erase(it);
    if (s.inspector) {
        const testplatform::ReleaseInspector inspector = s.inspector;
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
        *time = S().time;
    }
}

bool QueryPerformanceCount(int64_t* count) {
    if (count == nullptr) {
        return false;
    }
    *count = S().performanceCount;
    return true;
}

void SleepMilliseconds(uint32_t milliseconds) {
    S().sleeps.push_back(milliseconds);
}

void RaiseIntegerOverflow() {
    std::fprintf(stderr, "Quellix: integer overflow\n");
    std::abort();
}

void RaiseIntegerDivideByZero() {
    if (S().divideContinues) {
        ++S().divideCount;
        return;
    }
    std::raise(SIGFPE);
}

wchar_t** CommandLineArguments(int* count) {
    return internal::NewArgumentArray(S().commandLine, count);
}

void FreeCommandLineArguments(wchar_t** arguments) {
    internal::FreeArgumentArray(arguments);
    t_lastError = testplatform::kErrorLeftByRelease;
}

void ShowMessageBox(const wchar_t* text, const wchar_t* caption) {
    S().messageBoxes.emplace_back(text != nullptr ? text : L"", caption != nullptr ? caption : L"");
}

std::FILE* OpenFile(const wchar_t* name, const char* mode) {
    if (name == nullptr || mode == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    const bool writing = std::strpbrk(mode, "wa+") != nullptr;
    if (writing && S().fileWritesFail) {
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
#else
    std::FILE* file = std::fopen(wide_utf8::ToUtf8(name).c_str(), mode);
#endif
    if (file == nullptr) {
        t_lastError = ErrnoToWindows(errno);
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
        if (S().createHook) {
            const auto hook = S().createHook;
            hook(name);
        }
        uint32_t error = internal::CreateNewFileNamed(name, &file);
        if (error == 0 && S().fileWritesFail) {
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
