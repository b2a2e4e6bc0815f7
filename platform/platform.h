// The platform layer: the few operating-system services Quellix uses.
//
// This is the only header of the layer. Each backend implements every function
// declared here in one source file: platform/windows/ over SetupAPI, the registry
// and DeviceIoControl; platform/linux/ over the device folder and Unix sockets of
// the device contract; platform/test/ in process, scripted by the tests. CMake
// links exactly one backend into each executable. Nothing outside platform/
// includes a system header of either operating system, but for the Windows entry
// point (app/windows/winmain.cpp).
//
// The functions keep Win32 semantics: failures leave a Windows error code as the
// thread's last-error value, handles are opaque, and heap blocks are zero-filled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace platform {

// Windows error codes, used on every platform.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorInternalError = 1359;
constexpr uint32_t kErrorFileReadOnly = 6009;

struct Guid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

// ---------------------------------------------------------------------------
// Device discovery (SetupAPI and the driver's registry key)

// A set of present device interfaces of one class; null when it could not be made.
using DeviceInfoSet = void*;
// An open driver registry key; null when it could not be opened.
using RegistryKey = void*;

// Backend-owned records, filled by the enumeration calls (SP_DEVICE_INTERFACE_DATA
// and SP_DEVINFO_DATA on Windows). Callers keep them as plain storage.
struct DeviceInterface {
    alignas(8) uint8_t opaque[32];
};
struct DeviceInfo {
    alignas(8) uint8_t opaque[32];
};

// SetupDiGetClassDevs(class, present devices, device interfaces). Null on failure,
// with the last-error value set. A class with no devices gives an empty set.
DeviceInfoSet OpenDeviceInfoSet(const Guid* interfaceClass);
// SetupDiDestroyDeviceInfoList. Null is ignored.
void DestroyDeviceInfoSet(DeviceInfoSet set);
// SetupDiEnumDeviceInterfaces: interface number `index` of the set. False when
// there is none (last error ERROR_NO_MORE_ITEMS) or on failure.
bool EnumDeviceInterface(DeviceInfoSet set, const Guid* interfaceClass, uint32_t index,
                         DeviceInterface* deviceInterface);
// SetupDiGetDeviceInterfaceDetailW. With detail null and detailSize 0 it fails with
// ERROR_INSUFFICIENT_BUFFER and stores the size the detail record needs in
// *requiredSize. With a record of that size (zero-filled, from HeapAllocZeroed) it
// fills the record and *deviceInfo. The record's format is the backend's own: read
// the device path from it with DevicePathOf.
bool GetDeviceInterfaceDetail(DeviceInfoSet set, DeviceInterface* deviceInterface, void* detail,
                              uint32_t detailSize, uint32_t* requiredSize, DeviceInfo* deviceInfo);
// The device path inside a detail record filled by GetDeviceInterfaceDetail.
const wchar_t* DevicePathOf(const void* detail);
// SetupDiOpenDevRegKey(global, driver key, read). Null on failure.
RegistryKey OpenDriverKey(DeviceInfoSet set, DeviceInfo* deviceInfo);
// RegQueryValueExW of a string value. *sizeBytes holds the buffer's capacity in
// bytes of UTF-16 text (two per character, terminator included) on entry, and the
// bytes stored on return. Returns 0 or a Windows error code, like the registry API.
uint32_t QueryRegistryString(RegistryKey key, const wchar_t* valueName, wchar_t* buffer,
                             uint32_t* sizeBytes);
// RegCloseKey. Null is ignored.
void CloseRegistryKey(RegistryKey key);

// ---------------------------------------------------------------------------
// Device I/O (CreateFileW, DeviceIoControl, CloseHandle)

using DeviceHandle = void*;
// The value of a handle that is not open (INVALID_HANDLE_VALUE).
inline DeviceHandle InvalidDeviceHandle() {
    return reinterpret_cast<DeviceHandle>(~static_cast<uintptr_t>(0));
}

// Opens the device for reading and writing, without sharing. InvalidDeviceHandle()
// on failure, with the last-error value set.
DeviceHandle OpenDevice(const wchar_t* devicePath);
// Closes a handle from OpenDevice. Null and the invalid handle are ignored.
void CloseDevice(DeviceHandle device);
// One synchronous I/O-control exchange. Returns the success flag, stores the number
// of output bytes in *bytesReturned (output may arrive with a failure too), and on
// failure sets the last-error value.
bool DeviceControl(DeviceHandle device, uint32_t ioControlCode, const void* inBuffer,
                   uint32_t inSize, void* outBuffer, uint32_t outSize, uint32_t* bytesReturned);

// ---------------------------------------------------------------------------
// Process heap and the thread's last-error value

// HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size). Null on failure, with the
// last-error value ERROR_NOT_ENOUGH_MEMORY (HeapAlloc itself does not set one).
void* HeapAllocZeroed(size_t size);
// HeapFree. Null is ignored.
void HeapRelease(void* block);

uint32_t GetLastErrorValue();
void SetLastErrorValue(uint32_t error);

// ---------------------------------------------------------------------------
// Clock and timing

// The SYSTEMTIME record, UTC: eight 16-bit fields in this order.
struct SystemTime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};
static_assert(sizeof(SystemTime) == 16, "SYSTEMTIME is 16 bytes");

void GetUtcSystemTime(SystemTime* time);
// QueryPerformanceCounter: a 64-bit monotonic count.
bool QueryPerformanceCount(int64_t* count);
void SleepMilliseconds(uint32_t milliseconds);

// ---------------------------------------------------------------------------
// Fatal conditions of the big-integer arithmetic (RaiseException)

// EXCEPTION_INT_OVERFLOW, non-continuable: never returns.
[[noreturn]] void RaiseIntegerOverflow();
// EXCEPTION_INT_DIVIDE_BY_ZERO, continuable: returns only if a handler lets the
// process go on.
void RaiseIntegerDivideByZero();

// ---------------------------------------------------------------------------
// Command line and user interface

// The process's command line split into arguments; argument 0 is the program. On
// Windows GetCommandLineW split by CommandLineToArgvW's rules, with the program's own
// path kept whole when it opens the line unquoted; on Linux main's arguments, handed
// to the backend at start-up. Null on failure. Release the array with
// FreeCommandLineArguments.
wchar_t** CommandLineArguments(int* count);
void FreeCommandLineArguments(wchar_t** arguments);
// Whether an argument after the program is exactly `argument` (ASCII), read from the
// process's own command line in place and without allocating: what a run whose
// CommandLineArguments failed can still learn. On Windows a word of the line between
// spaces, quotes around it aside.
bool CommandLineHasArgument(const wchar_t* argument);
// MessageBoxW with no owner, OK only, brought to the foreground; waits until it
// is dismissed.
void ShowMessageBox(const wchar_t* text, const wchar_t* caption);

// ---------------------------------------------------------------------------
// Files, named by wide-character strings (_wfopen, CreateFileW and MoveFileExW on
// Windows). Failures set the last-error value.

// fopen with a wide-character name; mode as fopen's. Null on failure.
std::FILE* OpenFile(const wchar_t* name, const char* mode);
// Creates `name` as a new regular file and opens it for writing in binary mode.
// Fails with ERROR_FILE_EXISTS when anything already has the name; a link there is
// not followed (O_CREAT|O_EXCL|O_NOFOLLOW; CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT).
std::FILE* CreateNewFile(const wchar_t* name);
// Flushes the stream, then the file's data to the disk (fsync; FlushFileBuffers).
bool FlushFileToDisk(std::FILE* file);
// Renames `from` to `to` in one step, replacing `to` if it exists; a link at `to`
// is replaced itself, not written through. An existing `to` that this user could
// not open for writing (read-only) is left alone: ERROR_FILE_READ_ONLY.
bool ReplaceFile(const wchar_t* from, const wchar_t* to);
// Removes the file `name` (never a folder).
bool RemoveFile(const wchar_t* name);

}  // namespace platform
