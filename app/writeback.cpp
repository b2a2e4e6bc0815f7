// The write-back: a calibration text file to the BIOS in three driver steps.
#include <cstring>

#include "app/app.h"
#include "common/le_bytes.h"
#include "driver_client/misc_common.h"
#include "platform/platform.h"

namespace {

const wchar_t kImageDumpFile[] = L"maet.txt";

constexpr uint16_t kSubfunctionCheck = 0;
constexpr uint16_t kSubfunctionWrite = 1;
constexpr uint16_t kSubfunctionCommit = 2;

// Subfunction0Request: Prefix, Selector, Accepted.
constexpr uint16_t kCheckRequestSize = 7;
constexpr uint32_t kCheckAcceptedOffset = 6;
// Subfunction1Request: Prefix, Selector, ImageLength, Image, Accepted; subfunction
// 2 sends the same record without Accepted.
constexpr uint16_t kWriteRequestSize = 124;
constexpr uint32_t kWriteImageLengthOffset = 6;
constexpr uint32_t kWriteImageOffset = 8;
constexpr uint32_t kWriteAcceptedOffset = 123;
constexpr uint16_t kCommitRequestSize = 123;

constexpr uint16_t kPrefix = 1;
constexpr uint32_t kSelector = 0x80000005;

// Prefix and Selector, the start of both request records.
void PutRequestHead(uint8_t* request) {
    StoreLe16(request, kPrefix);
    StoreLe32(request + 2, kSelector);
}

// Reads the 16 words of the calibration file into words. False when the file
// cannot be opened or read, or does not hold 16 convertible words.
bool ReadCalibrationFile(const wchar_t* fileName, uint8_t* words) {
    std::FILE* file = platform::OpenFile(fileName, "rb");
    if (file == nullptr) {
        return false;
    }
    CalibrationTextParser parser;
    CalibrationTextBegin(&parser);
    uint8_t chunk[256];
    bool wanted = true;
    while (wanted) {
        const size_t got = std::fread(chunk, 1, sizeof(chunk), file);
        if (got == 0) {
            break;
        }
        wanted = CalibrationTextFeed(&parser, chunk, got);
    }
    const bool readError = wanted && std::ferror(file) != 0;
    std::fclose(file);
    const bool parsed = CalibrationTextEnd(&parser);
    if (readError || !parsed) {
        return false;
    }
    std::memcpy(words, parser.words, sizeof(parser.words));
    return true;
}

}  // namespace

uint32_t CheckWriteTarget() {
    uint8_t request[kCheckRequestSize];
    std::memset(request, 0, sizeof(request));
    PutRequestHead(request);
    request[kCheckAcceptedOffset] = 0;

    const MiscCommon::MiscStatus s =
        CallMiscSubfunction(kCheckRequestSize, kSubfunctionCheck, request);
    if (s != MiscCommon::MISC_SUCCESS) {
        return STEP_CALL_FAILED + s;
    }
    if (LastMiscStatus != 0) {
        return STEP_STATUS_FAILED + LastMiscStatus;
    }
    if (request[kCheckAcceptedOffset] != 1) {
        return STEP_NOT_ACCEPTED;
    }
    return STEP_SUCCESS;
}

uint32_t WriteCalibrationImage(const uint8_t* image) {
    if (image == nullptr) {
        return STEP_CALL_FAILED + MiscCommon::MISC_INVALID_ARGUMENT;
    }
    uint8_t request[kWriteRequestSize];
    std::memset(request, 0, sizeof(request));
    PutRequestHead(request);
    StoreLe16(request + kWriteImageLengthOffset, CALIBRATION_IMAGE_SIZE);
    std::memcpy(request + kWriteImageOffset, image, CALIBRATION_IMAGE_SIZE);
    request[kWriteAcceptedOffset] = 0;

    MiscCommon::MiscStatus s = CallMiscSubfunction(kWriteRequestSize, kSubfunctionWrite, request);
    if (s != MiscCommon::MISC_SUCCESS) {
        return STEP_CALL_FAILED + s;
    }
    if (LastMiscStatus != 0 || request[kWriteAcceptedOffset] != 1) {
        return STEP_IMAGE_REFUSED;
    }

    // The commit sends back what the driver returned for the image, not the image.
    s = CallMiscSubfunction(kCommitRequestSize, kSubfunctionCommit, request);
    if (s != MiscCommon::MISC_SUCCESS) {
        return STEP_CALL_FAILED + s;
    }
    if (LastMiscStatus != 0) {
        return STEP_STATUS_FAILED + LastMiscStatus;
    }
    return STEP_SUCCESS;
}

bool TableHoldsImage(const uint8_t* image) {
    uint8_t table[TABLE5_SIZE];
    std::memset(table, 0, sizeof(table));
    const uint32_t size = TABLE5_SIZE;
    if (image == nullptr ||
        MiscCommon::g_MiscCommon.GetBiosExtensionTable2(table, &size) != MiscCommon::MISC_SUCCESS) {
        return false;
    }
    // The image's first bytes are the table's from the marker (header byte 4) on.
    return std::memcmp(table + TABLE5_WORDS_OFFSET - IMAGE_WORDS_OFFSET, image,
                       IMAGE_WORDS_OFFSET + CALIBRATION_WORD_BYTES) == 0;
}

int WriteBackCalibration(const wchar_t* fileName, const wchar_t* backupName, bool verify) {
    if (fileName == nullptr) {
        return RESULT_FILE_FAILED;
    }
    uint8_t image[CALIBRATION_IMAGE_SIZE];
    std::memset(image, 0, sizeof(image));
    image[0] = 0x02;
    // A file that does not hold all 16 words is refused: a partly filled image
    // must never reach the BIOS.
    if (!ReadCalibrationFile(fileName, image + IMAGE_WORDS_OFFSET)) {
        return RESULT_FILE_FAILED;
    }
    // What the BIOS holds now is kept before anything can overwrite it.
    if (backupName != nullptr) {
        const int backup = ReadOutCalibration(backupName);
        if (backup != RESULT_SUCCESS) {
            return backup;
        }
    }

    int result = RESULT_SUCCESS;
    if (CheckWriteTarget() != STEP_SUCCESS || WriteCalibrationImage(image) != STEP_SUCCESS ||
        (verify && !TableHoldsImage(image))) {
        result = RESULT_REGISTRY_WRITE_ERROR;
    }

    if (ReadTestMode != 0) {
        WriteRawDump(kImageDumpFile, image, IMAGE_DUMP_SIZE);
    }
    return result;
}
