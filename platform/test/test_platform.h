// Controls of the in-process test backend.
//
// A test links quellix_platform_test instead of the real backend and scripts from
// here what the platform functions of platform/platform.h do: which device exists,
// what the device answers, which call fails with which error, which heap allocation
// fails, what the clock reads. The backend records what the code under test did
// (exchanges, sleeps, message boxes, released blocks) for the test to check.
// Nothing here sleeps or touches a real device; files are real files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace testplatform {

// Back to the defaults: one present device with DriverVersion "1.0.0.0" that
// opens, no responder, no faults, nothing recorded, clock readings all zero,
// command line just "quellix". Call it at the start of every test.
void Reset();

// The release functions (DestroyDeviceInfoSet, CloseRegistryKey, CloseDevice,
// HeapRelease, FreeCommandLineArguments) leave this as the last-error value, as a
// real backend's may leave anything: code that reports a failure after its
// clean-up must restore the value itself.
constexpr uint32_t kErrorLeftByRelease = 0x5EEDu;

// --- device registry -------------------------------------------------------------
void SetDevicePresent(bool present);
// The "DriverVersion" value; null makes the value missing.
void SetDriverVersion(const wchar_t* version);
// The device path the registry reports.
void SetDevicePath(const wchar_t* path);
// The error with which OpenDevice fails; 0 lets it open.
void SetOpenError(uint32_t error);

// --- failing a platform call ---------------------------------------------------
enum class Call {
    OpenDeviceInfoSet,
    EnumDeviceInterface,
    GetDeviceInterfaceDetailSize,  // the first call, with no record
    GetDeviceInterfaceDetail,      // the second call, with the record
    OpenDriverKey,
    QueryRegistryString,
    OpenDevice,
    CreateNewFile,
    FlushFileToDisk,
    ReplaceFile,
    RemoveFile,
    CommandLineArguments,  // as when memory runs out while the arguments are copied
};
// The next `times` calls of that kind (every later call when negative, until Reset)
// fail with error as their last-error value (or, for QueryRegistryString, its
// returned code), and do nothing else.
void FailCall(Call call, uint32_t error, int times = -1);

// --- device exchanges ----------------------------------------------------------
struct Exchange {
    uint32_t code;
    std::vector<uint8_t> input;  // the bytes sent
    uint32_t outSize;            // the size of the caller's output buffer
    bool hadOutBuffer;           // whether an output buffer was given at all
};
struct Reply {
    bool ok = true;
    uint32_t error = 0;           // last-error value when ok is false
    std::vector<uint8_t> output;  // bytes delivered; truncated to outSize
};
// Called for every DeviceControl on an open handle, in order. Without a responder
// every exchange fails with ERROR_GEN_FAILURE and no output.
using Responder = std::function<Reply(const Exchange&)>;
void SetResponder(Responder responder);
// Every DeviceControl call so far, with what was sent (a call on a handle that
// is not open is recorded too, and fails with ERROR_INVALID_HANDLE).
const std::vector<Exchange>& Exchanges();
// Number of OpenDevice and CloseDevice calls that opened or closed a handle.
int OpenCount();
int CloseCount();
// Whether a handle from OpenDevice is open now.
bool DeviceIsOpen();
// Device-information sets and registry keys opened and not yet released (these
// are not reset by Reset, so compare with a reading taken at the start).
int LiveDeviceInfoSetCount();
int LiveRegistryKeyCount();

// --- heap ------------------------------------------------------------------------
// Makes the nth allocation from now fail (1: the next one), with the last-error
// value ERROR_NOT_ENOUGH_MEMORY, as every backend's HeapAllocZeroed fails. 0 cancels.
void FailAllocation(int nth);
// Allocations made since Reset, and blocks still live (allocated, not released).
// Live blocks are not forgotten by Reset (global objects own some of them), so a
// test compares LiveBlockCount with a reading taken at its start.
int AllocationCount();
int LiveBlockCount();
// Called with a block's bytes just before it is released, so a test can check that
// a secret was wiped first.
using ReleaseInspector = std::function<void(const uint8_t* block, size_t size)>;
void SetReleaseInspector(ReleaseInspector inspector);

// --- clock -----------------------------------------------------------------------
void SetSystemTime(const platform::SystemTime& time);
void SetPerformanceCount(int64_t count);
// Durations passed to SleepMilliseconds, in order; the backend does not sleep.
const std::vector<uint32_t>& Sleeps();

// --- fatal conditions --------------------------------------------------------------
// By default both fatal conditions end the process (an overflow with abort(), a
// division by zero with SIGFPE), as on the real platform, for death tests. With
// continuing set, a division by zero is counted and returns instead.
void SetDivideByZeroContinues(bool continues);
int DivideByZeroCount();

// --- command line and message box --------------------------------------------------
// Argument 0 is the program.
void SetCommandLine(const std::vector<std::wstring>& arguments);
// (text, caption) of every message box shown.
const std::vector<std::pair<std::wstring, std::wstring>>& MessageBoxes();

// --- files ---------------------------------------------------------------------------
// While set, every OpenFile for writing succeeds but its writes fail (the stream is
// backed by /dev/full), to test write, flush and close failures.
void SetFileWritesFail(bool fail);
// Called with the name before each CreateNewFile creates it, so a test can plant
// something there first, as another user or another run might.
void SetCreateNewFileHook(std::function<void(const wchar_t* name)> hook);

}  // namespace testplatform
