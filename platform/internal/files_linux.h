// The Linux side of platform/internal/files.h, which includes it; not to be
// included on its own.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/linux/wide_utf8.h"
#include "platform/platform.h"

namespace platform {
namespace internal {

// A file call interrupted by a signal is made again for as long as the replace
// waits for a file held for a moment; then it fails as any other failure does.
constexpr int64_t kInterruptedFileCallMs = 1000;

inline int64_t FileClockMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Runs call (a system call that fails with -1 and errno) until it does not fail
// with EINTR or EAGAIN, or the time for an interrupted file call is over.
template <typename Call>
auto RetryInterrupted(Call call) -> decltype(call()) {
    const int64_t deadline = FileClockMs() + kInterruptedFileCallMs;
    for (;;) {
        const auto result = call();
        if (result != -1 || (errno != EINTR && errno != EAGAIN) || FileClockMs() >= deadline) {
            return result;
        }
    }
}

// The streams of OpenFileNamed and CreateNewFileNamed run their system calls here,
// so that an interrupted call is made again rather than failing the stream. The
// cookie is the descriptor.
inline int CookieFd(void* cookie) {
    return static_cast<int>(reinterpret_cast<intptr_t>(cookie));
}

inline ssize_t CookieRead(void* cookie, char* buffer, size_t size) {
    return RetryInterrupted([&] { return read(CookieFd(cookie), buffer, size); });
}

// Writes all of the buffer and then puts it on the disk, so that a flush that
// succeeds has the file's data on the disk. 0 on failure, as the stream expects.
inline ssize_t CookieWrite(void* cookie, const char* buffer, size_t size) {
    const int fd = CookieFd(cookie);
    for (size_t done = 0; done < size;) {
        const ssize_t n = RetryInterrupted([&] { return write(fd, buffer + done, size - done); });
        if (n <= 0) {
            return 0;
        }
        done += static_cast<size_t>(n);
    }
    return RetryInterrupted([&] { return fsync(fd); }) == 0 ? static_cast<ssize_t>(size) : 0;
}

// An interrupted close has released the descriptor all the same on Linux: once
// more could close another one.
inline int CookieClose(void* cookie) {
    return close(CookieFd(cookie)) == 0 || errno == EINTR ? 0 : -1;
}

// The stream over fd, which it then owns; null (fd closed) when memory runs out.
inline std::FILE* StreamOver(int fd, const char* mode, cookie_io_functions_t functions) {
    std::FILE* file =
        fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), mode, functions);
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

// Only a regular file is opened for reading: a FIFO, a terminal or a device could
// keep the read waiting for good, so the name is opened without waiting and refused
// (ERROR_NOT_SUPPORTED) when it is anything else.
inline uint32_t OpenFileForReading(const char* path, const char* mode, std::FILE** file) {
    const int fd =
        RetryInterrupted([&] { return open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (fd < 0) {
        return ErrnoToWindows(errno);
    }
    struct stat st;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags == -1 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return kErrorNotSupported;
    }
    *file = StreamOver(fd, mode, {CookieRead, nullptr, nullptr, CookieClose});
    return *file != nullptr ? 0 : kErrorNotEnoughMemory;
}

inline uint32_t OpenFileNamed(const wchar_t* name, const char* mode, std::FILE** file) {
    *file = nullptr;
    char path[PATH_MAX];
    if (!wide_utf8::ToUtf8(name, path, sizeof path)) {
        return kErrorGenFailure;
    }
    if (mode[0] == 'r' && std::strchr(mode, '+') == nullptr) {
        return OpenFileForReading(path, mode, file);
    }
    *file = std::fopen(path, mode);
    return *file != nullptr ? 0 : ErrnoToWindows(errno);
}

inline uint32_t CreateNewFileNamed(const wchar_t* name, std::FILE** file) {
    *file = nullptr;
    char path[PATH_MAX];
    if (!wide_utf8::ToUtf8(name, path, sizeof path)) {
        return kErrorGenFailure;
    }
    // O_EXCL fails on any existing name, a link, a FIFO or a folder included.
    const int fd = RetryInterrupted(
        [&] { return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666); });
    if (fd < 0) {
        return ErrnoToWindows(errno);
    }
    *file = StreamOver(fd, "wb", {nullptr, CookieWrite, nullptr, CookieClose});
    if (*file == nullptr) {
        unlink(path);
        return kErrorNotEnoughMemory;
    }
    return 0;
}

// A stream of CreateNewFileNamed is on the disk once flushed; another one is put
// there with fsync.
inline uint32_t FlushFileData(std::FILE* file) {
    if (std::fflush(file) != 0) {
        return ErrnoToWindows(errno);
    }
    const int fd = fileno(file);
    return fd < 0 || RetryInterrupted([&] { return fsync(fd); }) == 0 ? 0 : ErrnoToWindows(errno);
}

inline uint32_t ReplaceFileNamed(const wchar_t* from, const wchar_t* to) {
    char source[PATH_MAX];
    char target[PATH_MAX];
    if (!wide_utf8::ToUtf8(from, source, sizeof source) ||
        !wide_utf8::ToUtf8(to, target, sizeof target)) {
        return kErrorGenFailure;
    }
    // rename() needs only the folder's permission, so it would replace a file this
    // user may not write. A link is replaced itself: where it points does not matter.
    struct stat st;
    if (lstat(target, &st) == 0 && !S_ISLNK(st.st_mode) &&
        faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0) {
        return errno == EACCES || errno == EROFS ? kErrorFileReadOnly : ErrnoToWindows(errno);
    }
    if (RetryInterrupted([&] { return std::rename(source, target); }) != 0) {
        return ErrnoToWindows(errno);
    }
    // The rename reaches the disk with its folder (MOVEFILE_WRITE_THROUGH on
    // Windows). The file is in place already, so a failure here changes nothing.
    char* slash = std::strrchr(target, '/');
    if (slash != nullptr) {
        slash[1] = '\0';
    }
    const int fd = open(slash != nullptr ? target : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        RetryInterrupted([&] { return fsync(fd); });
        close(fd);
    }
    return 0;
}

inline uint32_t RemoveFileNamed(const wchar_t* name) {
    char path[PATH_MAX];
    if (!wide_utf8::ToUtf8(name, path, sizeof path)) {
        return kErrorGenFailure;
    }
    return RetryInterrupted([&] { return unlink(path); }) == 0 ? 0 : ErrnoToWindows(errno);
}

}  // namespace internal
}  // namespace platform
