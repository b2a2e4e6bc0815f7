// The files of the read-out as both real backends create, flush, replace and
// remove them, shared with the in-process test backend so that its files behave as
// the real ones. Each function returns 0 or a Windows error code, which the caller
// keeps as its last-error value.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include <fcntl.h>
#include <io.h>
// <windows.h> maps ReplaceFile to ReplaceFileA/W; ours is the platform function.
#undef ReplaceFile
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/wide_utf8.h"
#endif

#include "platform/platform.h"

namespace platform {
namespace internal {

// The Windows error code for a C library or system call's errno. EEXIST is the
// file-creation failure; nothing else here meets it.
inline uint32_t ErrnoToWindows(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return kErrorFileNotFound;
        case EACCES:
        case EPERM:
            return kErrorAccessDenied;
        case EEXIST:
            return kErrorFileExists;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        default:
            return kErrorGenFailure;
    }
}

#ifdef _WIN32

// A failure whose code the system did not leave is still a failure.
inline uint32_t LastFileError() {
    const DWORD error = GetLastError();
    return error != 0 ? error : kErrorGenFailure;
}

inline uint32_t CreateNewFileNamed(const wchar_t* name, std::FILE** file) {
    *file = nullptr;
    // CREATE_NEW fails on any existing name. Without FILE_FLAG_OPEN_REPARSE_POINT
    // a link planted at the name would be followed, creating its target.
    HANDLE handle =
        CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, /*lpSecurityAttributes=*/nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return LastFileError();
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd == -1) {
        CloseHandle(handle);
    } else if ((*file = _fdopen(fd, "wb")) == nullptr) {
        _close(fd);
    }
    if (*file == nullptr) {
        DeleteFileW(name);
        return kErrorNotEnoughMemory;
    }
    return 0;
}

inline uint32_t FlushFileData(std::FILE* file) {
    if (std::fflush(file) != 0) {
        return LastFileError();
    }
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return FlushFileBuffers(handle) ? 0 : LastFileError();
}

inline uint32_t ReplaceFileNamed(const wchar_t* from, const wchar_t* to) {
    // Refused before the move, and with its own code: a read-only file must not
    // look like one that a scanner holds for a moment (ERROR_ACCESS_DENIED, which
    // the caller waits out), and Wine running as root would replace it.
    const DWORD attributes = GetFileAttributesW(to);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return kErrorFileReadOnly;
    }
    // MoveFileExW, not ReplaceFileW: one call whether or not `to` exists (ReplaceFileW
    // needs it), a rename that happens whole or not at all (ReplaceFileW can stop
    // halfway with the old file moved aside, ERROR_UNABLE_TO_MOVE_REPLACEMENT_2), a
    // link at `to` replaced rather than followed, and with MOVEFILE_WRITE_THROUGH it
    // returns only once the rename is on the disk. ReplaceFileW would also carry the
    // old file's attributes and security over, which a file planted by another user
    // should not give ours.
    if (!MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return LastFileError();
    }
    return 0;
}

inline uint32_t RemoveFileNamed(const wchar_t* name) {
    return DeleteFileW(name) ? 0 : LastFileError();
}

#else

inline uint32_t OpenFileNamed(const wchar_t* name, const char* mode, std::FILE** file) {
    *file = std::fopen(wide_utf8::ToUtf8(name).c_str(), mode);
    return *file != nullptr ? 0 : ErrnoToWindows(errno);
}

inline uint32_t CreateNewFileNamed(const wchar_t* name, std::FILE** file) {
    const std::string path = wide_utf8::ToUtf8(name);
    // O_EXCL fails on any existing name, a link, a FIFO or a folder included.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        *file = nullptr;
        return ErrnoToWindows(errno);
    }
    *file = fdopen(fd, "wb");
    if (*file == nullptr) {
        const int err = errno;
        unlink(path.c_str());
        close(fd);
        return ErrnoToWindows(err);
    }
    return 0;
}

inline uint32_t FlushFileData(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0 ? 0 : ErrnoToWindows(errno);
}

inline uint32_t ReplaceFileNamed(const wchar_t* from, const wchar_t* to) {
    const std::string target = wide_utf8::ToUtf8(to);
    // rename() needs only the folder's permission, so it would replace a file this
    // user may not write. A link is replaced itself: where it points does not matter.
    struct stat st;
    if (lstat(target.c_str(), &st) == 0 && !S_ISLNK(st.st_mode) &&
        faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        return errno == EACCES || errno == EROFS ? kErrorFileReadOnly : ErrnoToWindows(errno);
    }
    if (std::rename(wide_utf8::ToUtf8(from).c_str(), target.c_str()) != 0) {
        return ErrnoToWindows(errno);
    }
    // The rename reaches the disk with its folder (MOVEFILE_WRITE_THROUGH on
    // Windows). The file is in place already, so a failure here changes nothing.
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    return 0;
}

inline uint32_t RemoveFileNamed(const wchar_t* name) {
    return unlink(wide_utf8::ToUtf8(name).c_str()) == 0 ? 0 : ErrnoToWindows(errno);
}

#endif

}  // namespace internal
}  // namespace platform
