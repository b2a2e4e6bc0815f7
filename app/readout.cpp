// The read-out: BIOS extension table 5 to the calibration text file.
#include <cstring>
#include <cwchar>

#include "app/app.h"
#include "driver_client/misc_common.h"
#include "platform/platform.h"

namespace {

const wchar_t kCalibrationFile[] = L"calibfrombios.bin";
const wchar_t kTableDumpFile[] = L"atoa.txt";

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

uint64_t Mix(uint64_t x) {
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
        const uint64_t value = Mix(seed + attempt);
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

// Writes a file in full to a new temporary in the same folder, through write (which
// closes the file and says whether everything reached it), and then puts it in place
// of name in one step, so that a failure never costs the technician a good file and
// nothing planted at a name is written through. False when the file was not replaced;
// the temporary is then gone again.
template <typename Write>
bool ReplaceThroughTemporary(const wchar_t* name, Write write) {
    TempName tempName;
    std::FILE* file = CreateTemporary(name, tempName);
    if (file == nullptr) {
        return false;
    }
    if (!write(file) || !RetryWhileHeld([&] { return platform::ReplaceFile(tempName, name); })) {
        // Only the file this run created goes.
        RetryWhileHeld([&] { return platform::RemoveFile(tempName); });
        return false;
    }
    return true;
}

// The header that marks a table holding calibration data; byte 2 is not examined.
bool HasCalibrationHeader(const uint8_t* table) {
    return table[0] == 0x80 && table[1] == 0x00 && table[3] == 0x01 && table[4] == 0x02;
}

}  // namespace

void WriteRawDump(const wchar_t* name, const uint8_t* bytes, size_t size) {
    // A dump is a test aid: a failure leaves things as they were and is not reported.
    ReplaceThroughTemporary(name, [&](std::FILE* file) {
        bool written = true;
        for (size_t i = 0; i < size && written; ++i) {
            written = (bytes[i] != 0x0A || std::fputc(0x0D, file) != EOF) &&
                      std::fputc(bytes[i], file) != EOF;
        }
        written = platform::FlushFileToDisk(file) && written;
        return std::fclose(file) == 0 && written;
    });
}

int WriteCalibrationText(const uint8_t* words, std::FILE* file) {
    if (file == nullptr) {
        return 1;
    }
    char text[CALIBRATION_TEXT_SIZE];
    FormatCalibrationText(words, text);
    bool written = std::fwrite(text, 1, sizeof(text), file) == sizeof(text);
    written = platform::FlushFileToDisk(file) && written;
    written = std::fclose(file) == 0 && written;
    return written ? 0 : 1;
}

int ReadOutCalibration(const wchar_t* fileName) {
    uint8_t table[TABLE5_SIZE];
    std::memset(table, 0, sizeof(table));
    const uint32_t size = TABLE5_SIZE;
    if (MiscCommon::g_MiscCommon.GetBiosExtensionTable2(table, &size) != MiscCommon::MISC_SUCCESS) {
        return RESULT_TABLE_NOT_FETCHED;
    }

    // The dump comes before the header test so that a refused table can be seen.
    if (ReadTestMode != 0) {
        WriteRawDump(kTableDumpFile, table, sizeof(table));
    }

    if (!HasCalibrationHeader(table)) {
        return RESULT_INVALID_TABLE;
    }

    const uint8_t* words = table + TABLE5_WORDS_OFFSET;
    if (!ReplaceThroughTemporary(
            fileName != nullptr ? fileName : kCalibrationFile,
            [&](std::FILE* file) { return WriteCalibrationText(words, file) == 0; })) {
        return RESULT_FILE_FAILED;
    }
    return RESULT_SUCCESS;
}
