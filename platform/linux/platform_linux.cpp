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
#include <climits>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "common/le_bytes.h"
#include "platform/linux/wide_utf8.h"
#include "platform/internal/backend_records.h"
#include "platform/internal/files.h"
#include "platform/linux/linux_internal.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr const char* kDefaultRoot = "/run/misc-device";
constexpr const char* kDeviceEntry = "device";
// Registry values are small texts; anything larger is not one.
constexpr size_t kMaxValueFileBytes = 64 * 1024;

std::atomic<uint32_t> g_exchangeTimeoutMs{linuxbackend::kDefaultExchangeTimeoutMs};
thread_local uint32_t t_lastError = 0;

using linuxinternal::kKeyTag;
using linuxinternal::kRecordTag;
using linuxinternal::kSetTag;
using linuxinternal::MonotonicMs;
using linuxinternal::ScopedDescriptor;
using linuxinternal::ScopedMalloc;
using linuxinternal::Tagged;

// The set's interfaces are the folders classFolder/names[i], names in order.
struct InfoSet {
    uint32_t tag = kSetTag;
    char classFolder[PATH_MAX] = {};
    char** names = nullptr;  // heap copies, from malloc
    size_t count = 0;
};

struct DriverKey {
    uint32_t tag = kKeyTag;
    char folder[PATH_MAX] = {};
};

// The enumeration records carry the interface index behind a marker.
struct InterfaceRecord {
    uint32_t tag;
    uint32_t index;
};
static_assert(sizeof(InterfaceRecord) <= sizeof(DeviceInterface), "record fits");

InfoSet* AsSet(DeviceInfoSet set) {
    return Tagged<InfoSet>(set, kSetTag);
}

DriverKey* AsKey(RegistryKey key) {
    return Tagged<DriverKey>(key, kKeyTag);
}

// Why a handle was refused: null is a missing argument, as the Windows backend
// reports it; anything else is a handle of another type (or none of ours).
uint32_t RefusedHandleError(const void* handle) {
    return handle == nullptr ? kErrorInvalidParameter : kErrorInvalidHandle;
}

bool ReadRecord(const uint8_t* opaque, const InfoSet* set, uint32_t* index) {
    InterfaceRecord record;
    std::memcpy(&record, opaque, sizeof record);
    if (record.tag != kRecordTag || record.index >= set->count) {
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

const char* Root() {
    const char* root = std::getenv("MISC_DEVICE_ROOT");
    return root != nullptr && root[0] != '\0' ? root : kDefaultRoot;
}

// Joins two parts of a path with a slash into path; false when it does not fit.
bool JoinPath(char (&path)[PATH_MAX], const char* first, const char* second) {
    const int n = std::snprintf(path, sizeof path, "%s/%s", first, second);
    return n >= 0 && static_cast<size_t>(n) < sizeof path;
}

bool ClassFolderOf(const Guid& g, char (&folder)[PATH_MAX]) {
    char name[40];
    std::snprintf(name, sizeof name, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return JoinPath(folder, Root(), name);
}

// The folder of interface index of the set; false when the path does not fit.
bool InterfaceFolder(const InfoSet* set, uint32_t index, char (&folder)[PATH_MAX]) {
    return JoinPath(folder, set->classFolder, set->names[index]);
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

uint32_t linuxinternal::ExchangeTimeoutMs() {
    return g_exchangeTimeoutMs;
}

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

namespace {

// Adds a copy of name to the set's names; false when memory runs out.
bool AddName(InfoSet* set, const char* name) {
    auto** names = static_cast<char**>(std::realloc(set->names, (set->count + 1) * sizeof(char*)));
    if (names == nullptr) {
        return false;
    }
    set->names = names;
    set->names[set->count] = strdup(name);
    if (set->names[set->count] == nullptr) {
        return false;
    }
    ++set->count;
    return true;
}

// Whether the entry name of the class folder is an interface: a folder holding the
// device's socket.
bool IsInterface(const InfoSet* set, const char* name) {
    char folder[PATH_MAX];
    char device[PATH_MAX];
    struct stat folderStat;
    struct stat deviceStat;
    return JoinPath(folder, set->classFolder, name) && JoinPath(device, folder, kDeviceEntry) &&
           stat(folder, &folderStat) == 0 && S_ISDIR(folderStat.st_mode) &&
           lstat(device, &deviceStat) == 0 && S_ISSOCK(deviceStat.st_mode);
}

// Takes the interfaces of the class folder into the set, in the byte-wise order of
// their names. Returns 0 or a Windows error code.
uint32_t ReadInterfaces(InfoSet* set) {
    DIR* dir = opendir(set->classFolder);
    if (dir == nullptr) {
        // No class folder: no device of the class, not a failure.
        return errno == ENOENT ? kErrorSuccess : internal::ErrnoToWindows(errno);
    }
    uint32_t error = kErrorSuccess;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 &&
            IsInterface(set, entry->d_name) && !AddName(set, entry->d_name)) {
            error = kErrorNotEnoughMemory;
            break;
        }
    }
    closedir(dir);
    // strcmp compares as unsigned bytes: the byte-wise order of the contract.
    std::sort(set->names, set->names + set->count,
              [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
    return error;
}

void FreeInfoSet(InfoSet* set) {
    for (size_t i = 0; i < set->count; ++i) {
        std::free(set->names[i]);
    }
    std::free(set->names);
    set->tag = 0;
    delete set;
}

}  // namespace

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
    const uint32_t error = ClassFolderOf(*interfaceClass, set->classFolder)
                               ? ReadInterfaces(set)
                               : static_cast<uint32_t>(kErrorFileNotFound);
    if (error != kErrorSuccess) {
        t_lastError = error;
        FreeInfoSet(set);
        return nullptr;
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
    FreeInfoSet(s);
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
    if (index >= s->count) {
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
    char folder[PATH_MAX];
    char device[PATH_MAX];
    wchar_t path[PATH_MAX];
    if (!InterfaceFolder(s, index, folder) || !JoinPath(device, folder, kDeviceEntry) ||
        !wide_utf8::FromUtf8(device, std::strlen(device), path, PATH_MAX)) {
        t_lastError = kErrorGenFailure;
        return false;
    }
    const size_t length = std::wcslen(path);
    const size_t needed = internal::DetailSizeFor(length);
    if (requiredSize != nullptr) {
        *requiredSize = static_cast<uint32_t>(needed);
    }
    if (detail == nullptr || detailSize < needed) {
        t_lastError = detail == nullptr && detailSize != 0 ? kErrorInvalidParameter
                                                           : kErrorInsufficientBuffer;
        return false;
    }
    internal::WriteDetail(detail, path, length);
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
    if (!InterfaceFolder(s, index, key->folder)) {
        delete key;
        t_lastError = kErrorGenFailure;
        return nullptr;
    }
    return key;
}

namespace {

// Reads the value file at path, a regular file of at most kMaxValueFileBytes, into
// content (that many bytes) and its size into *size. An interrupted read is made
// again until the deadline of a device call. Returns 0 or a Windows error code.
uint32_t ReadValueFile(const char* path, char* content, size_t* size) {
    const ScopedDescriptor file(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    const int fd = file.Get();
    if (fd < 0) {
        return internal::ErrnoToWindows(errno);
    }
    const int64_t deadline = MonotonicMs() + g_exchangeTimeoutMs;
    struct stat st;
    bool readable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    *size = 0;
    while (readable) {
        const ssize_t n = read(fd, content + *size, kMaxValueFileBytes + 1 - *size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN) && MonotonicMs() < deadline) {
            continue;
        }
        if (n <= 0) {
            readable = n == 0;
            break;
        }
        *size += static_cast<size_t>(n);
        readable = *size <= kMaxValueFileBytes;
    }
    return readable ? kErrorSuccess : kErrorGenFailure;
}

// Answers a registry query with the text of the value file at path, its last line
// feed left out.
uint32_t AnswerFromValueFile(const char* path, wchar_t* buffer, uint32_t* sizeBytes) {
    const ScopedMalloc<char> contentBlock(static_cast<char*>(std::malloc(kMaxValueFileBytes + 1)));
    const ScopedMalloc<wchar_t> textBlock(
        static_cast<wchar_t*>(std::malloc((kMaxValueFileBytes + 1) * sizeof(wchar_t))));
    char* const content = contentBlock.get();
    wchar_t* const text = textBlock.get();
    size_t size = 0;
    uint32_t error = content == nullptr || text == nullptr ? kErrorNotEnoughMemory
                                                           : ReadValueFile(path, content, &size);
    if (error == kErrorSuccess) {
        if (size > 0 && content[size - 1] == '\n') {
            --size;
        }
        // A byte never becomes more than one character.
        wide_utf8::FromUtf8(content, size, text, kMaxValueFileBytes + 1);
        error = internal::AnswerRegistryText(text, std::wcslen(text), buffer, sizeBytes);
    }
    return error;
}

}  // namespace

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
    char name[NAME_MAX + 1];
    char file[PATH_MAX];
    if (!wide_utf8::ToUtf8(valueName, name, sizeof name) || name[0] == '\0' ||
        std::strchr(name, '/') != nullptr || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0 || !JoinPath(file, k->folder, name)) {
        return kErrorFileNotFound;
    }
    return AnswerFromValueFile(file, buffer, sizeBytes);
}

void CloseRegistryKey(RegistryKey key) {
    DriverKey* k = AsKey(key);
    if (k != nullptr) {
        k->tag = 0;
        delete k;
    }
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
    // Interrupted, the pause goes on until its end, and no longer.
    const int64_t end = MonotonicMs() + milliseconds;
    for (int64_t left = milliseconds; left > 0; left = end - MonotonicMs()) {
        const timespec pause = {static_cast<time_t>(left / 1000),
                                static_cast<long>(left % 1000) * 1000000};
        if (nanosleep(&pause, nullptr) == 0 || errno != EINTR) {
            return;
        }
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

namespace {

// A heap copy of the UTF-8 argument as wide characters; null when memory runs out.
wchar_t* WideArgument(const char* argument) {
    struct Counter {
        size_t size = 0;
        Counter& operator+=(wchar_t) {
            ++size;
            return *this;
        }
    } counter;
    const size_t length = std::strlen(argument);
    wide_utf8::DecodeUtf8(argument, length, counter);
    auto* wide = static_cast<wchar_t*>(std::calloc(counter.size + 1, sizeof(wchar_t)));
    if (wide != nullptr) {
        wide_utf8::FromUtf8(argument, length, wide, counter.size + 1);
    }
    return wide;
}

// Writes text to stderr as UTF-8, in pieces, without allocating.
void PutWide(const wchar_t* text) {
    char piece[256];
    wchar_t one[2] = {};
    for (size_t i = 0; text != nullptr && text[i] != L'\0'; ++i) {
        one[0] = text[i];
        wide_utf8::ToUtf8(one, piece, sizeof piece);
        std::fputs(piece, stderr);
    }
}

}  // namespace

wchar_t** CommandLineArguments(int* count) {
    if (g_argv == nullptr) {
        t_lastError = kErrorInvalidParameter;
        return nullptr;
    }
    int argc = 0;
    while (argc < g_argc && g_argv[argc] != nullptr) {
        ++argc;
    }
    auto** array =
        static_cast<wchar_t**>(std::calloc(static_cast<size_t>(argc) + 1, sizeof(wchar_t*)));
    for (int i = 0; array != nullptr && i < argc; ++i) {
        array[i] = WideArgument(g_argv[i]);
        if (array[i] == nullptr) {
            internal::FreeArgumentArray(array);
            array = nullptr;
        }
    }
    if (array == nullptr) {
        t_lastError = kErrorNotEnoughMemory;
    } else if (count != nullptr) {
        *count = argc;
    }
    return array;
}

void FreeCommandLineArguments(wchar_t** arguments) {
    internal::FreeArgumentArray(arguments);
}

bool CommandLineHasArgument(const wchar_t* argument) {
    for (int i = 1; g_argv != nullptr && i < g_argc && g_argv[i] != nullptr; ++i) {
        size_t k = 0;
        while (argument[k] != L'\0' && static_cast<wchar_t>(g_argv[i][k]) == argument[k]) {
            ++k;
        }
        if (argument[k] == L'\0' && g_argv[i][k] == '\0') {
            return true;
        }
    }
    return false;
}

void ShowMessageBox(const wchar_t* text, const wchar_t* caption) {
    PutWide(caption != nullptr ? caption : L"Quellix");
    PutWide(L": ");
    PutWide(text);
    std::fputc('\n', stderr);
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

}  // namespace platform
