// The file functions of platform.h that both real backends share: the argument
// checks and the system's calls (platform/internal/files.h), with the failure kept
// as the last-error value. OpenFile differs between the systems and stays in each
// backend.
#include "platform/internal/files.h"
#include "platform/platform.h"

namespace platform {

namespace {

// Keeps a file operation's error as the last-error value; true when there is none.
bool KeepFileError(uint32_t error) {
    if (error != 0) {
        SetLastErrorValue(error);
    }
    return error == 0;
}

}  // namespace

std::FILE* CreateNewFile(const wchar_t* name) {
    std::FILE* file = nullptr;
    KeepFileError(internal::CheckedCreateNewFile(name, &file));
    return file;
}

bool FlushFileToDisk(std::FILE* file) {
    return KeepFileError(internal::CheckedFlushFile(file));
}

bool ReplaceFile(const wchar_t* from, const wchar_t* to) {
    return KeepFileError(internal::CheckedReplaceFile(from, to));
}

bool RemoveFile(const wchar_t* name) {
    return KeepFileError(internal::CheckedRemoveFile(name));
}

}  // namespace platform
