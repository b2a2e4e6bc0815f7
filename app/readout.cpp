// The read-out: BIOS extension table 5 to the calibration text file.
#include <cstring>

#include "app/app.h"
#include "app/safe_replace.h"
#include "driver_client/misc_common.h"
#include "platform/platform.h"

namespace {

const wchar_t kCalibrationFile[] = L"calibfrombios.bin";
const wchar_t kTableDumpFile[] = L"atoa.txt";

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
