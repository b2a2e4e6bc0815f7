// The Linux backend: the device registry is a folder tree, each device a
// Unix-domain stream socket that speaks the request/reply frames of the device
// contract; the rest maps onto POSIX.

#include "platform/linux/platform_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "common/le_bytes.h"
#include "common/wide_utf8.h"
#include "platform/internal/backend_records.h"
#include "platform/internal/files.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr const char* kDefaultRoot = "/run/misc-device";
constexpr const char* kDeviceEntry = "device";
// Every handle is a heap record whose first word names its type, so that a
// handle of one type passed where another is expected is refused with
// ERROR_INVALID_HANDLE instead of being read as the wrong record. A released
// record has its tag cleared first.
constexpr uint32_t kSetTag = 0x54455351;     // "QSET": a device-information set
constexpr uint32_t kKeyTag = 0x59454B51;     // "QKEY": a driver registry key
constexpr uint32_t kDeviceTag = 0x56454451;  // "QDEV": an open device
constexpr uint32_t kRecordTag = 0x43455251;  // "QREC": an enumeration record
constexpr size_t kFrameHeaderSize = 12;
// Registry values are small texts; anything larger is not one.
constexpr size_t kMaxValueFileBytes = 64 * 1024;

std::atomic<uint32_t> g_exchangeTimeoutMs{linuxbackend::kDefaultExchangeTimeoutMs};
thread_local uint32_t t_lastError = 0;

struct InfoSet {
    uint32_t tag = kSetTag;
    std::vector<std::string> interfaces;  // folders of the present interfaces, in order
};

struct DriverKey {
    uint32_t tag = kKeyTag;
    std::string folder;
};

struct Device {
    uint32_t tag = kDeviceTag;
    int fd = -1;
    bool broken = false;  // the stream lost its framing; every later exchange fails
};

// The enumeration records carry the interface index behind a marker.
struct InterfaceRecord {
    uint32_t tag;
    uint32_t index;
};
static_assert(sizeof(InterfaceRecord) <= sizeof(DeviceInterface), "record fits");

// The record behind a handle when it is one of type T (tagged `tag`), else null.
// The tag is read as bytes, before the pointer is taken for a T.
template <typename T>
T* Tagged(void* handle, uint32_t tag) {
    uint32_t found = 0;
    if (handle != nullptr && handle != InvalidDeviceHandle()) {
        std::memcpy(&found, handle, sizeof found);
    }
    return found == tag ? static_cast<T*>(handle) : nullptr;
}

InfoSet* AsSet(DeviceInfoSet set) {
    return Tagged<InfoSet>(set, kSetTag);
}

DriverKey* AsKey(RegistryKey key) {
    return Tagged<DriverKey>(key, kKeyTag);
}

Device* AsDevice(DeviceHandle handle) {
    return Tagged<Device>(handle, kDeviceTag);
}

// Why a handle was refused: null is a missing argument, as the Windows backend
// reports it; anything else is a handle of another type (or none of ours).
uint32_t RefusedHandleError(const void* handle) {
    return handle == nullptr ? kErrorInvalidParameter : kErrorInvalidHandle;
}

bool ReadRecord(const uint8_t* opaque, const InfoSet* set, uint32_t* index) {
    InterfaceRecord record;
    std::memcpy(&record, opaque, sizeof record);
    if (record.tag != kRecordTag || record.index >= set->interfaces.size()) {
        return false;
    }
    *index = record.index;
    return true;
}

void WriteRecord(uint8_t* opaque, size_t size, uint32_t index) {
    std::memset(opaque, 0, size);
    const InterfaceRecord record = {kRecordTag, index};
    std::memcpy(opaque, &record, sizeof record);
}

// The set behind a handle and the interface index its record names (a
// DeviceInterface or a DeviceInfo of that set); null, with the last-error value
// set as Windows sets it, when either is not ours.
template <typename Record>
InfoSet* SetOfRecord(DeviceInfoSet set, const Record* record, uint32_t* index) {
    InfoSet* s = AsSet(set);
    if (s == nullptr) {
        t_lastError = RefusedHandleError(set);
        return nullptr;
    }
    if (record == nullptr || !ReadRecord(record->opaque, s, index)) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    return s;
}

std::string Root() {
    const char* root = std::getenv("MISC_DEVICE_ROOT");
    return root != nullptr && root[0] != '\0' ? root : kDefaultRoot;
}

std::string GuidFolderName(const Guid& g) {
    char name[40];
    std::snprintf(name, sizeof name, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return name;
}

std::wstring DevicePathFor(const std::string& folder) {
    return wide_utf8::FromUtf8(folder + "/" + kDeviceEntry);
}

int64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for events or the deadline passes.
bool WaitFor(int fd, short events, int64_t deadline) {
    for (;;) {
        const int64_t left = deadline - MonotonicMs();
        if (left <= 0) {
            return false;
        }
        pollfd p = {fd, events, 0};
        const int n = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 60000)));
        if (n > 0) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Moves size bytes by repeated calls of step (one send or receive on fd, given where
// and how much is left) as fd becomes ready for events, until all have moved or the
// deadline passes.
template <typename Byte, typename Step>
bool TransferAll(int fd, short events, Byte* data, size_t size, int64_t deadline, Step step) {
    while (size > 0) {
        if (!WaitFor(fd, events, deadline)) {
            return false;
        }
        const ssize_t n = step(data, size);
        if (n == 0 && events == POLLIN) {
            return false;  // the device closed the connection
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SendAll(int fd, const uint8_t* data, size_t size, int64_t deadline) {
    return TransferAll(fd, POLLOUT, data, size, deadline, [fd](const uint8_t* at, size_t left) {
        // MSG_NOSIGNAL: a device that went away must not kill us with SIGPIPE.
        return send(fd, at, left, MSG_NOSIGNAL | MSG_DONTWAIT);
    });
}

bool ReceiveAll(int fd, uint8_t* data, size_t size, int64_t deadline) {
    return TransferAll(fd, POLLIN, data, size, deadline,
                       [fd](uint8_t* at, size_t left) { return recv(fd, at, left, MSG_DONTWAIT); });
}

std::string Utf8OrEmpty(const wchar_t* text) {
    return text != nullptr ? wide_utf8::ToUtf8(text) : std::string();
}

// Keeps a file operation's error as the last-error value; true when there is none.
bool KeepFileError(uint32_t error) {
    if (error != 0) {
        t_lastError = error;
    }
    return error == 0;
}

// main's arguments, handed over by SetCommandLine.
int g_argc = 0;
char** g_argv = nullptr;

}  // namespace

namespace linuxbackend {
void SetExchangeTimeoutMilliseconds(uint32_t milliseconds) {
    g_exchangeTimeoutMs = milliseconds;
}

void SetCommandLine(int argc, char** argv) {
    g_argc = argc;
    g_argv = argv;
}
}  // namespace linuxbackend

// ---------------------------------------------------------------------------
// Device registry

DeviceInfoSet OpenDeviceInfoSet(const Guid* interfaceClass) {
    if (interfaceClass == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    auto* set = new (std::nothrow) InfoSet();
    if (set == nullptr) {
        t_lastError = kErrorNotEnoughMemory;
        return nullptr;
    }
    const std::string classFolder = Root() + "/" + GuidFolderName(*interfaceClass);
    DIR* dir = opendir(classFolder.c_str());
    if (dir == nullptr) {
        if (errno == ENOENT) {
            return set;  // no class folder: no device of the class, not a failure
        }
        t_lastError = internal::ErrnoToWindows(errno);
        delete set;
        return nullptr;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    // std::string compares as unsigned bytes: the byte-wise order of the contract.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string folder = classFolder + "/" + name;
        const std::string device = folder + "/" + kDeviceEntry;
        struct stat folderStat;
        struct stat deviceStat;
        if (stat(folder.c_str(), &folderStat) == 0 && S_ISDIR(folderStat.st_mode) &&
            lstat(device.c_str(), &deviceStat) == 0 && S_ISSOCK(deviceStat.st_mode)) {
            set->interfaces.push_back(folder);
        }
    }
    return set;
}

void DestroyDeviceInfoSet(DeviceInfoSet set) {
    InfoSet* s = AsSet(set);
    if (s == nullptr) {
        if (set != nullptr) {
            t_lastError = kErrorInvalidHandle;
        }
        return;
    }
    s->tag = 0;
    delete s;
}

bool EnumDeviceInterface(DeviceInfoSet set, const Guid* interfaceClass, uint32_t index,
                         DeviceInterface* deviceInterface) {
    InfoSet* s = AsSet(set);
    if (s == nullptr) {
        t_lastError = RefusedHandleError(set);
        return false;
    }
    if (interfaceClass == nullptr || deviceInterface == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return false;
    }
    if (index >= s->interfaces.size()) {
        t_lastError = kErrorNoMoreItems;
        return false;
    }
    WriteRecord(deviceInterface->opaque, sizeof deviceInterface->opaque, index);
    return true;
}

bool GetDeviceInterfaceDetail(DeviceInfoSet set, DeviceInterface* deviceInterface, void* detail,
                              uint32_t detailSize, uint32_t* requiredSize, DeviceInfo* deviceInfo) {
    uint32_t index = 0;
    InfoSet* s = SetOfRecord(set, deviceInterface, &index);
    if (s == nullptr) {
        return false;
    }
    const std::wstring path = DevicePathFor(s->interfaces[index]);
    const size_t needed = internal::DetailSizeFor(path);
    if (requiredSize != nullptr) {
        *requiredSize = static_cast<uint32_t>(needed);
    }
    if (detail == nullptr || detailSize < needed) {
        t_lastError = detail == nullptr && detailSize != 0 ? kErrorInvalidParameter
                                                           : kErrorInsufficientBuffer;
        return false;
    }
    internal::WriteDetail(detail, path);
    if (deviceInfo != nullptr) {
        WriteRecord(deviceInfo->opaque, sizeof deviceInfo->opaque, index);
    }
    return true;
}

const wchar_t* DevicePathOf(const void* detail) {
    return internal::DetailPath(detail);
}

RegistryKey OpenDriverKey(DeviceInfoSet set, DeviceInfo* deviceInfo) {
    uint32_t index = 0;
    InfoSet* s = SetOfRecord(set, deviceInfo, &index);
    if (s == nullptr) {
        return nullptr;
    }
    auto* key = new (std::nothrow) DriverKey();
    if (key == nullptr) {
        t_lastError = kErrorNotEnoughMemory;
        return nullptr;
    }
    key->folder = s->interfaces[index];
    return key;
}

uint32_t QueryRegistryString(RegistryKey key, const wchar_t* valueName, wchar_t* buffer,
                             uint32_t* sizeBytes) {
    // The registry reports through its result, not the last-error value.
    DriverKey* k = AsKey(key);
    if (k == nullptr) {
        return kErrorInvalidHandle;
    }
    if (valueName == nullptr || sizeBytes == nullptr) {
        return kErrorInvalidParameter;
    }
    const std::string name = wide_utf8::ToUtf8(valueName);
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        return kErrorFileNotFound;
    }
    const std::string file = k->folder + "/" + name;
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return internal::ErrnoToWindows(errno);
    }
    struct stat st;
    std::string content;
    bool readable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    while (readable) {
        char chunk[512];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || content.size() + static_cast<size_t>(n) > kMaxValueFileBytes) {
            readable = false;
        } else if (n == 0) {
            break;
        } else {
            content.append(chunk, static_cast<size_t>(n));
        }
    }
    close(fd);
    if (!readable) {
        return kErrorGenFailure;
    }
    if (!content.empty() && content.back() == '\n') {
        content.pop_back();
    }
    return internal::AnswerRegistryText(wide_utf8::FromUtf8(content), buffer, sizeBytes);
}

void CloseRegistryKey(RegistryKey key) {
    DriverKey* k = AsKey(key);
    if (k != nullptr) {
        k->tag = 0;
        delete k;
    }
}

// ---------------------------------------------------------------------------
// Device I/O

DeviceHandle OpenDevice(const wchar_t* devicePath) {
    if (devicePath == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return InvalidDeviceHandle();
    }
    const std::string path = wide_utf8::ToUtf8(devicePath);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        t_lastError = path.empty() ? kErrorFileNotFound : kErrorGenFailure;
        return InvalidDeviceHandle();
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    // Non-blocking, so that a device that stopped accepting (its queue of
    // pending connections full) fails the open at the deadline instead of
    // holding us for good. Sends and receives wait with poll() anyway.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        t_lastError = kErrorGenFailure;
        return InvalidDeviceHandle();
    }
    const int64_t deadline = MonotonicMs() + g_exchangeTimeoutMs;
    int err;
    for (;;) {
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            err = 0;
            break;
        }
        err = errno;
        if (err == EAGAIN && MonotonicMs() < deadline) {
            poll(nullptr, 0, 10);  // the queue is full: ask again shortly
        } else if (err != EINTR) {
            break;
        }
    }
    if (err != 0) {
        close(fd);
        t_lastError = err == ENOENT   ? kErrorFileNotFound
                      : err == EACCES ? kErrorAccessDenied
                                      : kErrorGenFailure;
        return InvalidDeviceHandle();
    }
    uint8_t status[4];
    if (!ReceiveAll(fd, status, sizeof status, deadline)) {
        close(fd);
        t_lastError = kErrorGenFailure;
        return InvalidDeviceHandle();
    }
    if (LoadLe32(status) != 0) {
        close(fd);
        t_lastError = LoadLe32(status);
        return InvalidDeviceHandle();
    }
    auto* device = new (std::nothrow) Device();
    if (device == nullptr) {
        close(fd);
        t_lastError = kErrorNotEnoughMemory;
        return InvalidDeviceHandle();
    }
    device->fd = fd;
    return device;
}

void CloseDevice(DeviceHandle handle) {
    Device* device = AsDevice(handle);
    if (device == nullptr) {
        if (handle != nullptr && handle != InvalidDeviceHandle()) {
            t_lastError = kErrorInvalidHandle;
        }
        return;
    }
    close(device->fd);
    device->tag = 0;
    delete device;
}

bool DeviceControl(DeviceHandle handle, uint32_t ioControlCode, const void* inBuffer,
                   uint32_t inSize, void* outBuffer, uint32_t outSize, uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    Device* device = AsDevice(handle);
    if (device == nullptr) {
        t_lastError = kErrorInvalidHandle;
        return false;
    }
    if (bytesReturned == nullptr || (inBuffer == nullptr && inSize != 0)) {
        t_lastError = kErrorInvalidParameter;
        return false;
    }
    const uint32_t capacity = outBuffer != nullptr ? outSize : 0;
    if (device->broken) {
        t_lastError = kErrorGenFailure;
        return false;
    }

    // The whole request goes out in one frame; the reply is read in full before
    // any of it reaches the caller's buffer.
    const size_t frameSize = kFrameHeaderSize + static_cast<size_t>(inSize);
    auto* frame = static_cast<uint8_t*>(std::malloc(frameSize));
    auto* output = static_cast<uint8_t*>(std::malloc(capacity > 0 ? capacity : 1));
    if (frame == nullptr || output == nullptr) {
        std::free(frame);
        std::free(output);
        t_lastError = kErrorNotEnoughMemory;
        return false;
    }
    StoreLe32(frame, ioControlCode);
    StoreLe32(frame + 4, inSize);
    StoreLe32(frame + 8, capacity);
    if (inSize > 0) {
        std::memcpy(frame + kFrameHeaderSize, inBuffer, inSize);
    }
    const int64_t deadline = MonotonicMs() + g_exchangeTimeoutMs;
    uint8_t reply[kFrameHeaderSize];
    uint32_t returned = 0;
    bool framed = false;
    if (SendAll(device->fd, frame, frameSize, deadline) &&
        ReceiveAll(device->fd, reply, sizeof reply, deadline)) {
        returned = LoadLe32(reply + 8);
        framed = LoadLe32(reply) <= 1 && returned <= capacity &&
                 ReceiveAll(device->fd, output, returned, deadline);
    }
    std::free(frame);
    if (!framed) {
        std::free(output);
        // Whatever follows on the stream can no longer be trusted.
        shutdown(device->fd, SHUT_RDWR);
        device->broken = true;
        t_lastError = kErrorGenFailure;
        return false;
    }
    if (returned > 0) {
        std::memcpy(outBuffer, output, returned);
    }
    std::free(output);
    *bytesReturned = returned;
    if (LoadLe32(reply) != 1) {
        t_lastError = LoadLe32(reply + 4);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Heap and last error

void* HeapAllocZeroed(size_t size) {
    void* block = std::calloc(size > 0 ? size : 1, 1);
    if (block == nullptr) {
        t_lastError = kErrorNotEnoughMemory;
    }
    return block;
}

void HeapRelease(void* block) {
    std::free(block);
}

uint32_t GetLastErrorValue() {
    return t_lastError;
}

void SetLastErrorValue(uint32_t error) {
    t_lastError = error;
}

// ---------------------------------------------------------------------------
// Clock and timing

void GetUtcSystemTime(SystemTime* time) {
    if (time == nullptr) {
        return;
    }
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc;
    const time_t seconds = ts.tv_sec;
    gmtime_r(&seconds, &utc);
    time->wYear = static_cast<uint16_t>(utc.tm_year + 1900);
    time->wMonth = static_cast<uint16_t>(utc.tm_mon + 1);
    time->wDayOfWeek = static_cast<uint16_t>(utc.tm_wday);
    time->wDay = static_cast<uint16_t>(utc.tm_mday);
    time->wHour = static_cast<uint16_t>(utc.tm_hour);
    time->wMinute = static_cast<uint16_t>(utc.tm_min);
    time->wSecond = static_cast<uint16_t>(utc.tm_sec);
    time->wMilliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

bool QueryPerformanceCount(int64_t* count) {
    timespec ts;
    if (count == nullptr || clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        return false;
    }
    *count = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    return true;
}

void SleepMilliseconds(uint32_t milliseconds) {
    timespec left = {static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// ---------------------------------------------------------------------------
// Fatal conditions

void RaiseIntegerOverflow() {
    std::fputs("Quellix: integer overflow\n", stderr);
    std::abort();
}

void RaiseIntegerDivideByZero() {
    std::raise(SIGFPE);
}

// ---------------------------------------------------------------------------
// Command line and user interface

wchar_t** CommandLineArguments(int* count) {
    if (g_argv == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    std::vector<std::wstring> args;
    for (int i = 0; i < g_argc && g_argv[i] != nullptr; ++i) {
        args.push_back(wide_utf8::FromUtf8(g_argv[i], std::strlen(g_argv[i])));
    }
    wchar_t** array = internal::NewArgumentArray(args, count);
    if (array == nullptr) {
        t_lastError = kErrorNotEnoughMemory;
    }
    return array;
}

void FreeCommandLineArguments(wchar_t** arguments) {
    internal::FreeArgumentArray(arguments);
}

void ShowMessageBox(const wchar_t* text, const wchar_t* caption) {
    const std::string line = (caption != nullptr ? Utf8OrEmpty(caption) : std::string("Quellix")) +
                             ": " + Utf8OrEmpty(text) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

// ---------------------------------------------------------------------------
// Files

std::FILE* OpenFile(const wchar_t* name, const char* mode) {
    std::FILE* file = nullptr;
    KeepFileError(name != nullptr && mode != nullptr ? internal::OpenFileNamed(name, mode, &file)
                                                     : kErrorInvalidParameter);
    return file;
}

std::FILE* CreateNewFile(const wchar_t* name) {
    std::FILE* file = nullptr;
    KeepFileError(name != nullptr ? internal::CreateNewFileNamed(name, &file)
                                  : kErrorInvalidParameter);
    return file;
}

bool FlushFileToDisk(std::FILE* file) {
    return KeepFileError(file != nullptr ? internal::FlushFileData(file) : kErrorInvalidParameter);
}

bool ReplaceFile(const wchar_t* from, const wchar_t* to) {
    return KeepFileError(from != nullptr && to != nullptr ? internal::ReplaceFileNamed(from, to)
                                                          : kErrorInvalidParameter);
}

bool RemoveFile(const wchar_t* name) {
    return KeepFileError(name != nullptr ? internal::RemoveFileNamed(name)
                                         : kErrorInvalidParameter);
}

}  // namespace platform
