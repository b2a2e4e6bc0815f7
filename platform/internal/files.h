// The files of the read-out as both real backends create, flush, replace and
// remove them, shared with the in-process test backend so that its files behave as
// the real ones: one file per system (files_windows.h, files_linux.h) behind the
// mapping of errno and the argument checks here. Each function returns 0 or a
// Windows error code, which the caller keeps as its last-error value.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>

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

}  // namespace internal
}  // namespace platform

#ifdef _WIN32
#include "platform/internal/files_windows.h"
#else
#include "platform/internal/files_linux.h"
#endif

namespace platform {
namespace internal {

// The argument checks in front of the system's file calls, which both real
// backends make (platform/files.cpp): a missing argument is
// ERROR_INVALID_PARAMETER, as the system reports it.
inline uint32_t CheckedCreateNewFile(const wchar_t* name, std::FILE** file) {
    *file = nullptr;
    return name != nullptr ? CreateNewFileNamed(name, file) : kErrorInvalidParameter;
}

inline uint32_t CheckedFlushFile(std::FILE* file) {
    return file != nullptr ? FlushFileData(file) : kErrorInvalidParameter;
}

inline uint32_t CheckedReplaceFile(const wchar_t* from, const wchar_t* to) {
    return from != nullptr && to != nullptr ? ReplaceFileNamed(from, to) : kErrorInvalidParameter;
}

inline uint32_t CheckedRemoveFile(const wchar_t* name) {
    return name != nullptr ? RemoveFileNamed(name) : kErrorInvalidParameter;
}

}  // namespace internal
}  // namespace platform
