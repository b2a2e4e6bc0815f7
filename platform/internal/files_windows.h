// The Windows side of platform/internal/files.h, which includes it; not to be
// included on its own.
#pragma once

#include <windows.h>

#include <fcntl.h>
#include <io.h>
// <windows.h> maps ReplaceFile to ReplaceFileA/W; ours is the platform function.
#undef ReplaceFile

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

namespace platform {
namespace internal {

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

}  // namespace internal
}  // namespace platform
