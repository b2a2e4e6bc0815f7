// libFuzzer target: the calibration file reader on arbitrary bytes.
//
// Beyond not crashing, it checks the reader against the C library: whenever the
// reader accepts a file, sixteen "%4x " conversions by sscanf must give the same
// words from the text behind any byte-order mark (the reader's grammar is a strict
// subset of what sscanf takes), reading in
// pieces must agree with reading at once, and the words written out again must
// read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/app.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "calibration_text_fuzz: %s\n", what);
        std::abort();
    }
}

// The text behind a byte-order mark, worked out apart from the reader: the bytes
// after a UTF-8 mark, or the UTF-16 units after a UTF-16 one, each unit above 0x7F
// as a byte that no conversion takes.
std::vector<char> DecodedText(const uint8_t* data, size_t size) {
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        return std::vector<char>(data + 3, data + size);
    }
    const bool le = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    const bool be = size >= 2 && data[0] == 0xFE && data[1] == 0xFF;
    if (!le && !be) {
        return std::vector<char>(data, data + size);
    }
    std::vector<char> text;
    for (size_t i = 2; i + 1 < size; i += 2) {
        const unsigned unit = le ? data[i] | (data[i + 1] << 8) : (data[i] << 8) | data[i + 1];
        text.push_back(unit > 0x7F ? '!' : static_cast<char>(unit));
    }
    return text;
}

// The words as sscanf reads them from the decoded text; false when it stops short
// of 16.
bool ScanfWords(const uint8_t* data, size_t size, uint8_t* words) {
    std::vector<char> text = DecodedText(data, size);
    text.push_back('\0');
    const char* at = text.data();
    for (uint32_t i = 0; i < CALIBRATION_WORDS; ++i) {
        unsigned value = 0;
        int used = 0;
        if (std::sscanf(at, "%4x %n", &value, &used) != 1) {
            return false;
        }
        at += used;
        words[2 * i] = static_cast<uint8_t>(value & 0xFF);
        words[2 * i + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t words[CALIBRATION_WORD_BYTES];
    const bool parsed = ParseCalibrationText(data, size, words);

    // In pieces whose size the first byte chooses.
    const size_t piece = size > 0 ? 1 + data[0] % 7 : 1;
    CalibrationTextParser parser;
    CalibrationTextBegin(&parser);
    for (size_t at = 0; at < size; at += piece) {
        const size_t n = size - at < piece ? size - at : piece;
        if (!CalibrationTextFeed(&parser, data + at, n)) {
            break;
        }
    }
    Check(CalibrationTextEnd(&parser) == parsed, "pieces and whole disagree");
    Check(std::memcmp(parser.words, words, sizeof(words)) == 0, "pieces give other words");

    if (!parsed) {
        static const uint8_t kZero[CALIBRATION_WORD_BYTES] = {};
        Check(std::memcmp(words, kZero, sizeof(words)) == 0, "refused input left words");
        return 0;
    }

    uint8_t scanned[CALIBRATION_WORD_BYTES];
    Check(ScanfWords(data, size, scanned), "accepted what sscanf refuses");
    Check(std::memcmp(scanned, words, sizeof(words)) == 0, "words differ from sscanf's");

    char text[CALIBRATION_TEXT_SIZE];
    FormatCalibrationText(words, text);
    uint8_t again[CALIBRATION_WORD_BYTES];
    Check(ParseCalibrationText(reinterpret_cast<const uint8_t*>(text), sizeof(text), again),
          "own text refused");
    Check(std::memcmp(again, words, sizeof(words)) == 0, "own text reads back otherwise");
    return 0;
}
