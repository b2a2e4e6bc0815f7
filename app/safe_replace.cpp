// Putting a file in place safely: written in full to a new temporary beside it,
// then renamed over the old one (see safe_replace.h).
#include "app/safe_replace.h"

#include <cwchar>

#include "app/app.h"
#include "platform/platform.h"

namespace {

// The temporary is "calib", eight hexadecimal digits and ".tmp": no longer than
// "calibfrombios.bin", so wherever that name keeps within Windows' limit of 259
// characters for a path, the temporary's does too. A -backup name with a shorter
// last part near that limit can give a temporary beyond it, which Windows then
// refuses: result 12, nothing replaced.
constexpr size_t kTempNameChars = 17;
// The program runs as administrator in folders that others may write: the name is
// hard to guess and created new, and a name someone holds already is passed by.
constexpr uint32_t kTempNameAttempts = 100;
// Virus scanners, the search indexer and sync clients open a file just after it is
// closed; a rename or removal meanwhile fails with ERROR_ACCESS_DENIED or
// ERROR_SHARING_VIOLATION. Those are waited out for about a second.
constexpr int kHeldFileAttempts = 20;
constexpr uint32_t kHeldFilePauseMs = 50;

// SplitMix64: the golden-ratio step and its finalizer, which spreads consecutive
// seeds over all 64 bits, so that the names of successive attempts look unrelated.
uint64_t SplitMix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15u;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

// The temporary's name: the folder part of the target's name and the 17 characters.
using TempName = wchar_t[FILE_NAME_CHARS + kTempNameChars];

// The length of the folder part of a file name, up to its last separator. A
// backslash or a colon counts on every platform: where they are no separators, a
// name holding one lies in the current folder and so does the temporary.
size_t FolderLength(const wchar_t* name) {
    size_t length = 0;
    for (size_t i = 0; name[i] != L'\0'; ++i) {
        if (name[i] == L'/' || name[i] == L'\\' || name[i] == L':') {
            length = i + 1;
        }
    }
    return length;
}

// Creates the temporary in the folder of target and leaves its name in name. Null
// when no name could be created, with the last-error value of the last attempt.
std::FILE* CreateTemporary(const wchar_t* target, TempName& name) {
    const size_t folder = FolderLength(target);
    std::wmemcpy(name, target, folder);
    // The counter differs from run to run, the address with each start of the process.
    int64_t count = 0;
    platform::QueryPerformanceCount(&count);
    const uint64_t seed = static_cast<uint64_t>(count) ^ reinterpret_cast<uintptr_t>(&count);
    std::FILE* file = nullptr;
    for (uint32_t attempt = 0; attempt < kTempNameAttempts && file == nullptr; ++attempt) {
        const uint64_t value = SplitMix64(seed + attempt);
        std::wcscpy(name + folder, L"calib00000000.tmp");
        for (int digit = 0; digit < 8; ++digit) {
            name[folder + 5 + digit] = L"0123456789abcdef"[(value >> (4 * digit)) & 0xF];
        }
        file = platform::CreateNewFile(name);
        if (file == nullptr && platform::GetLastErrorValue() != platform::kErrorFileExists) {
            break;
        }
    }
    return file;
}

// Runs a file operation again while it fails as a file held for a moment does.
template <typename Operation>
bool RetryWhileHeld(Operation operation) {
    for (int attempt = 1;; ++attempt) {
        if (operation()) {
            return true;
        }
        const uint32_t error = platform::GetLastErrorValue();
        if ((error != platform::kErrorAccessDenied && error != platform::kErrorSharingViolation) ||
            attempt == kHeldFileAttempts) {
            return false;
        }
        platform::SleepMilliseconds(kHeldFilePauseMs);
    }
}

}  // namespace

bool ReplaceThroughTemporaryWith(const wchar_t* name, bool (*write)(std::FILE*, void*),
                                 void* context) {
    TempName tempName;
    std::FILE* file = CreateTemporary(name, tempName);
    if (file == nullptr) {
        return false;
    }
    if (!write(file, context) ||
        !RetryWhileHeld([&] { return platform::ReplaceFile(tempName, name); })) {
        // Only the file this run created goes.
        RetryWhileHeld([&] { return platform::RemoveFile(tempName); });
        return false;
    }
    return true;
}
