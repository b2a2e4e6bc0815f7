// The platform layer over the real Windows services: SetupAPI and the driver's
// registry key to find the misc driver, CreateFileW and DeviceIoControl to talk to
// it, and the process heap, clock, structured exceptions, command line, message box
// and wide-character file functions of the C runtime.
//
// Every function is a thin pass-through that keeps the Win32 result and last-error
// value. The release functions keep the caller's last-error value, so a caller may
// clean up before it reports the failure it met.
#include "platform/platform.h"

#include <windows.h>

#include <setupapi.h>
#include <shellapi.h>

#include <cstring>
#include <cwchar>

#include "platform/internal/files.h"
#include "platform/windows/platform_windows.h"
#include "platform/scoped.h"

// <windows.h> maps ReplaceFile to ReplaceFileA/W; ours is the platform function.
#undef ReplaceFile

namespace platform {

static_assert(sizeof(Guid) == sizeof(GUID), "Guid mirrors GUID");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) <= sizeof(DeviceInterface::opaque),
              "SP_DEVICE_INTERFACE_DATA fits the opaque record");
static_assert(sizeof(SP_DEVINFO_DATA) <= sizeof(DeviceInfo::opaque),
              "SP_DEVINFO_DATA fits the opaque record");
static_assert(alignof(SP_DEVICE_INTERFACE_DATA) <= alignof(DeviceInterface), "alignment");
static_assert(alignof(SP_DEVINFO_DATA) <= alignof(DeviceInfo), "alignment");
static_assert(sizeof(SystemTime) == sizeof(SYSTEMTIME), "SystemTime mirrors SYSTEMTIME");
static_assert(kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER, "error codes");
static_assert(kErrorNoMoreItems == ERROR_NO_MORE_ITEMS, "error codes");

namespace {

GUID ToGuid(const Guid* guid) {
    GUID result;
    std::memcpy(&result, guid, sizeof(result));
    return result;
}

SP_DEVICE_INTERFACE_DATA* InterfaceData(DeviceInterface* record) {
    return reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(record->opaque);
}

SP_DEVINFO_DATA* InfoData(DeviceInfo* record) {
    return reinterpret_cast<SP_DEVINFO_DATA*>(record->opaque);
}

}  // namespace

// ---------------------------------------------------------------------------
// Device discovery

DeviceInfoSet OpenDeviceInfoSet(const Guid* interfaceClass) {
    if (interfaceClass == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const GUID classGuid = ToGuid(interfaceClass);
    HDEVINFO set = SetupDiGetClassDevsW(&classGuid, /*Enumerator=*/nullptr, /*hwndParent=*/nullptr,
                                        /*Flags=*/DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return set;
}

void DestroyDeviceInfoSet(DeviceInfoSet set) {
    if (set == nullptr) {
        return;
    }
    KeepLastError keep;
    SetupDiDestroyDeviceInfoList(static_cast<HDEVINFO>(set));
}

bool EnumDeviceInterface(DeviceInfoSet set, const Guid* interfaceClass, uint32_t index,
                         DeviceInterface* deviceInterface) {
    if (set == nullptr || interfaceClass == nullptr || deviceInterface == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const GUID classGuid = ToGuid(interfaceClass);
    SP_DEVICE_INTERFACE_DATA* data = InterfaceData(deviceInterface);
    std::memset(data, 0, sizeof(*data));
    data->cbSize = sizeof(*data);
    return SetupDiEnumDeviceInterfaces(static_cast<HDEVINFO>(set), /*DeviceInfoData=*/nullptr,
                                       &classGuid, /*MemberIndex=*/index,
                                       /*DeviceInterfaceData=*/data) != FALSE;
}

bool GetDeviceInterfaceDetail(DeviceInfoSet set, DeviceInterface* deviceInterface, void* detail,
                              uint32_t detailSize, uint32_t* requiredSize, DeviceInfo* deviceInfo) {
    if (set == nullptr || deviceInterface == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    auto* detailData = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detail);
    if (detailData != nullptr) {
        // cbSize is the fixed part only, not the size of the whole record.
        if (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return false;
        }
        detailData->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    }
    SP_DEVINFO_DATA* infoData = nullptr;
    if (deviceInfo != nullptr) {
        infoData = InfoData(deviceInfo);
        std::memset(infoData, 0, sizeof(*infoData));
        infoData->cbSize = sizeof(*infoData);
    }
    DWORD required = 0;
    const BOOL ok = SetupDiGetDeviceInterfaceDetailW(
        static_cast<HDEVINFO>(set), /*DeviceInterfaceData=*/InterfaceData(deviceInterface),
        /*DeviceInterfaceDetailData=*/detailData, /*DeviceInterfaceDetailDataSize=*/detailSize,
        /*RequiredSize=*/&required, /*DeviceInfoData=*/infoData);
    if (requiredSize != nullptr) {
        *requiredSize = required;
    }
    return ok != FALSE;
}

const wchar_t* DevicePathOf(const void* detail) {
    if (detail == nullptr) {
        return nullptr;
    }
    return static_cast<const SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detail)->DevicePath;
}

RegistryKey OpenDriverKey(DeviceInfoSet set, DeviceInfo* deviceInfo) {
    if (set == nullptr || deviceInfo == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HKEY key =
        SetupDiOpenDevRegKey(static_cast<HDEVINFO>(set), /*DeviceInfoData=*/InfoData(deviceInfo),
                             /*Scope=*/DICS_FLAG_GLOBAL, /*HwProfile=*/0,
                             /*KeyType=*/DIREG_DRV, /*samDesired=*/KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return key;
}

uint32_t QueryRegistryString(RegistryKey key, const wchar_t* valueName, wchar_t* buffer,
                             uint32_t* sizeBytes) {
    if (key == nullptr || sizeBytes == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD size = *sizeBytes;
    const LSTATUS status = RegQueryValueExW(static_cast<HKEY>(key), /*lpValueName=*/valueName,
                                            /*lpReserved=*/nullptr, /*lpType=*/nullptr,
                                            /*lpData=*/reinterpret_cast<BYTE*>(buffer),
                                            /*lpcbData=*/&size);
    *sizeBytes = size;
    return static_cast<uint32_t>(status);
}

void CloseRegistryKey(RegistryKey key) {
    if (key == nullptr) {
        return;
    }
    KeepLastError keep;
    RegCloseKey(static_cast<HKEY>(key));
}

// ---------------------------------------------------------------------------
// Device I/O

DeviceHandle OpenDevice(const wchar_t* devicePath) {
    if (devicePath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return InvalidDeviceHandle();
    }
    HANDLE device = CreateFileW(devicePath, /*dwDesiredAccess=*/GENERIC_READ | GENERIC_WRITE,
                                /*dwShareMode=*/0, /*lpSecurityAttributes=*/nullptr,
                                /*dwCreationDisposition=*/OPEN_EXISTING,
                                /*dwFlagsAndAttributes=*/0, /*hTemplateFile=*/nullptr);
    return device;  // INVALID_HANDLE_VALUE is InvalidDeviceHandle().
}

void CloseDevice(DeviceHandle device) {
    if (device == nullptr || device == InvalidDeviceHandle()) {
        return;
    }
    KeepLastError keep;
    CloseHandle(static_cast<HANDLE>(device));
}

bool DeviceControl(DeviceHandle device, uint32_t ioControlCode, const void* inBuffer,
                   uint32_t inSize, void* outBuffer, uint32_t outSize, uint32_t* bytesReturned) {
    DWORD returned = 0;
    // DeviceIoControl takes a non-const input pointer but does not write through it.
    const BOOL ok = DeviceIoControl(
        static_cast<HANDLE>(device), /*dwIoControlCode=*/ioControlCode,
        /*lpInBuffer=*/const_cast<void*>(inBuffer), /*nInBufferSize=*/inSize,
        /*lpOutBuffer=*/outBuffer, /*nOutBufferSize=*/outSize, /*lpBytesReturned=*/&returned,
        /*lpOverlapped=*/nullptr);
    if (bytesReturned != nullptr) {
        *bytesReturned = returned;
    }
    return ok != FALSE;
}

// ---------------------------------------------------------------------------
// Process heap and the thread's last-error value

// HeapAlloc sets no last-error value when it fails (Wine's sets 8, Windows leaves
// whatever the previous call left); callers report the value, so set it here.
void* HeapAllocZeroed(size_t size) {
    void* block = HeapAlloc(GetProcessHeap(), /*dwFlags=*/HEAP_ZERO_MEMORY, /*dwBytes=*/size);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return block;
}

void HeapRelease(void* block) {
    if (block == nullptr) {
        return;
    }
    KeepLastError keep;
    HeapFree(GetProcessHeap(), /*dwFlags=*/0, /*lpMem=*/block);
}

uint32_t GetLastErrorValue() {
    return GetLastError();
}

void SetLastErrorValue(uint32_t error) {
    SetLastError(error);
}

// ---------------------------------------------------------------------------
// Clock and timing

void GetUtcSystemTime(SystemTime* time) {
    if (time == nullptr) {
        return;
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    std::memcpy(time, &now, sizeof(*time));
}

bool QueryPerformanceCount(int64_t* count) {
    LARGE_INTEGER value;
    value.QuadPart = 0;
    const BOOL ok = QueryPerformanceCounter(&value);
    if (count != nullptr) {
        *count = value.QuadPart;
    }
    return ok != FALSE;
}

void SleepMilliseconds(uint32_t milliseconds) {
    Sleep(milliseconds);
}

// ---------------------------------------------------------------------------
// Fatal conditions of the big-integer arithmetic

void RaiseIntegerOverflow() {
    RaiseException(/*dwExceptionCode=*/EXCEPTION_INT_OVERFLOW,
                   /*dwExceptionFlags=*/EXCEPTION_NONCONTINUABLE, /*nNumberOfArguments=*/0,
                   /*lpArguments=*/nullptr);
    // A handler that tries to continue gets EXCEPTION_NONCONTINUABLE_EXCEPTION instead,
    // but a vectored handler can resume all the same. Never return into the overflowed
    // arithmetic; and end quietly with the exception's code, since abort() in a
    // program without a console shows the C runtime's error box.
    TerminateProcess(GetCurrentProcess(), /*uExitCode=*/EXCEPTION_INT_OVERFLOW);
    ExitProcess(EXCEPTION_INT_OVERFLOW);  // not reached: TerminateProcess of ourselves
}

void RaiseIntegerDivideByZero() {
    RaiseException(/*dwExceptionCode=*/EXCEPTION_INT_DIVIDE_BY_ZERO, /*dwExceptionFlags=*/0,
                   /*nNumberOfArguments=*/0, /*lpArguments=*/nullptr);
}

// ---------------------------------------------------------------------------
// Command line and user interface

namespace {

// The program's own path (GetModuleFileNameW) in *path, a HeapAllocZeroed block;
// null when the system cannot tell it. False only when memory runs out.
bool ModulePath(wchar_t** path) {
    *path = nullptr;
    for (DWORD capacity = MAX_PATH; capacity <= 32768; capacity *= 2) {
        auto* block = static_cast<wchar_t*>(HeapAllocZeroed(capacity * sizeof(wchar_t)));
        if (block == nullptr) {
            return false;
        }
        const DWORD length = GetModuleFileNameW(nullptr, block, capacity);
        if (length > 0 && length < capacity) {
            *path = block;
            return true;
        }
        HeapRelease(block);
        if (length == 0) {
            return true;
        }
        // Cut short: ask again with more room.
    }
    return true;
}

// Whether a word of the line, between spaces or tabs and quotes around it aside, is
// argument. The line is read where it is.
bool LineHasArgument(const wchar_t* line, const wchar_t* argument) {
    const size_t length = std::wcslen(argument);
    const wchar_t* at = line;
    while (*at != L'\0') {
        while (*at == L' ' || *at == L'\t') {
            ++at;
        }
        const wchar_t* end = at;
        while (*end != L'\0' && *end != L' ' && *end != L'\t') {
            ++end;
        }
        const wchar_t* word = at;
        size_t size = static_cast<size_t>(end - at);
        if (size >= 2 && word[0] == L'"' && word[size - 1] == L'"') {
            ++word;
            size -= 2;
        }
        if (size == length && std::wcsncmp(word, argument, length) == 0) {
            return true;
        }
        at = end;
    }
    return false;
}

// The rest of a command line split behind a stand-in program name, so that it
// follows the rules for arguments: argument 0 of the result is the stand-in. Null
// with the last-error value set when it cannot be split.
wchar_t** SplitBehindStandIn(const wchar_t* rest, int* argc) {
    const size_t restLength = std::wcslen(rest);
    auto* line = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, (restLength + 2) * sizeof(wchar_t)));
    if (line == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    line[0] = L'x';
    std::memcpy(line + 1, rest, (restLength + 1) * sizeof(wchar_t));
    wchar_t** split = CommandLineToArgvW(line, argc);
    LocalFree(line);
    return split;
}

// The path, as the line spells it (pathLength characters at path), as argument 0
// and split's arguments 1 to argc - 1 after it, in one LocalAlloc block as
// CommandLineToArgvW gives: the pointers, then the texts. Null with the last-error
// value set when memory runs out.
wchar_t** JoinArguments(const wchar_t* path, size_t pathLength, wchar_t* const* split, int argc) {
    const size_t pointerBytes = (static_cast<size_t>(argc) + 1) * sizeof(wchar_t*);
    size_t chars = pathLength + 1;
    for (int i = 1; i < argc; ++i) {
        chars += std::wcslen(split[i]) + 1;
    }
    auto** argv =
        static_cast<wchar_t**>(LocalAlloc(LMEM_FIXED, pointerBytes + chars * sizeof(wchar_t)));
    if (argv == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    wchar_t* text = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(argv) + pointerBytes);
    for (int i = 0; i < argc; ++i) {
        const size_t length = i == 0 ? pathLength : std::wcslen(split[i]);
        std::memcpy(text, i == 0 ? path : split[i], length * sizeof(wchar_t));
        text[length] = L'\0';
        argv[i] = text;
        text += length + 1;
    }
    argv[argc] = nullptr;
    return argv;
}

}  // namespace

namespace windowsbackend {

wchar_t** SplitCommandLine(const wchar_t* commandLine, const wchar_t* modulePath, int* count) {
    if (count != nullptr) {
        *count = 0;
    }
    if (commandLine == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const size_t pathLength = modulePath != nullptr ? std::wcslen(modulePath) : 0;
    // The comparison stops at the line's end, so a match leaves the line that long;
    // wcschr finds the terminator too.
    const bool unquotedPath = pathLength > 0 &&
                              _wcsnicmp(commandLine, modulePath, pathLength) == 0 &&
                              std::wcschr(L" \t", commandLine[pathLength]) != nullptr;
    int argc = 0;
    wchar_t** argv = nullptr;
    if (!unquotedPath) {
        argv = CommandLineToArgvW(commandLine, &argc);
    } else {
        wchar_t** split = SplitBehindStandIn(commandLine + pathLength, &argc);
        if (split == nullptr) {
            return nullptr;
        }
        argv = JoinArguments(commandLine, pathLength, split, argc);
        KeepLastError keep;
        LocalFree(split);
    }
    if (argv != nullptr && count != nullptr) {
        *count = argc;
    }
    return argv;
}

}  // namespace windowsbackend

wchar_t** CommandLineArguments(int* count) {
    // A launcher may start us as CreateProcess(NULL, "C:\Program Files\...\quellix.exe
    // -debug"), unquoted; split at its spaces, the path would give unknown arguments.
    wchar_t* path = nullptr;
    if (!ModulePath(&path)) {
        return nullptr;
    }
    wchar_t** arguments = windowsbackend::SplitCommandLine(GetCommandLineW(), path, count);
    HeapRelease(path);
    return arguments;
}

bool CommandLineHasArgument(const wchar_t* argument) {
    return LineHasArgument(GetCommandLineW(), argument);
}

void FreeCommandLineArguments(wchar_t** arguments) {
    if (arguments == nullptr) {
        return;
    }
    KeepLastError keep;
    LocalFree(arguments);
}

void ShowMessageBox(const wchar_t* text, const wchar_t* caption) {
    // MB_SETFOREGROUND: a box from a process that was not given the foreground
    // (started by a script or a scheduler) would otherwise open behind other windows.
    MessageBoxW(/*hWnd=*/nullptr, /*lpText=*/text, /*lpCaption=*/caption,
                /*uType=*/MB_OK | MB_SETFOREGROUND);
}

// ---------------------------------------------------------------------------
// Files

namespace {

// Only a disk file is opened for reading: a serial port, the console or a pipe
// could keep the read waiting for good, so anything else (GetFileType) is refused
// with ERROR_NOT_SUPPORTED before it is read.
std::FILE* OpenDiskFileForReading(const wchar_t* name, const char* mode) {
    HANDLE handle = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    const int flags = _O_RDONLY | (std::strchr(mode, 'b') != nullptr ? _O_BINARY : _O_TEXT);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd == -1) {
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode);
    if (file == nullptr) {
        _close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return file;
}

}  // namespace

std::FILE* OpenFile(const wchar_t* name, const char* mode) {
    if (name == nullptr || mode == nullptr) {
        return nullptr;
    }
    if (mode[0] == 'r' && std::strchr(mode, '+') == nullptr) {
        return OpenDiskFileForReading(name, mode);
    }
    // fopen modes are a few ASCII letters ("r", "w", "rb", "w+t", ...). The copy
    // starts zero-filled and stops a character short of the end, so it is always
    // terminated.
    wchar_t wideMode[16] = {};
    for (size_t i = 0; mode[i] != '\0'; ++i) {
        if (i + 1 == sizeof(wideMode) / sizeof(wideMode[0])) {
            return nullptr;
        }
        wideMode[i] = static_cast<wchar_t>(static_cast<unsigned char>(mode[i]));
    }
    return _wfopen(name, wideMode);
}

}  // namespace platform
