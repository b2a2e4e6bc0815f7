// The calibration text file: 16 words as "%02x%02x " groups, and its reader.
#include <cstring>

#include "app/app.h"

namespace {

const char kHexDigits[] = "0123456789abcdef";

// White space as the C library's "C" locale knows it, which is what the format's
// blanks and the conversion skip.
bool IsSpace(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of a hexadecimal digit of either case, or -1.
int HexValue(uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void CompleteWord(CalibrationTextParser* parser) {
    parser->words[2 * parser->group] = static_cast<uint8_t>(parser->value & 0xFF);
    parser->words[2 * parser->group + 1] = static_cast<uint8_t>((parser->value >> 8) & 0xFF);
    parser->group++;
    parser->digits = 0;
    parser->value = 0;
}

bool Done(const CalibrationTextParser* parser) {
    return parser->failed || parser->group == CALIBRATION_WORDS;
}

enum Encoding : uint32_t { kUndecided, kBytes, kUtf16Le, kUtf16Be };

struct Mark {
    uint8_t bytes[3];
    uint32_t size;
    Encoding encoding;
};
const Mark kMarks[] = {{{0xEF, 0xBB, 0xBF}, 3, kBytes},
                       {{0xFF, 0xFE, 0}, 2, kUtf16Le},
                       {{0xFE, 0xFF, 0}, 2, kUtf16Be}};

// Takes one character of the text, as "%04x " reads it.
void TakeCharacter(CalibrationTextParser* parser, uint8_t c) {
    const int digit = HexValue(c);
    if (digit >= 0) {
        parser->value = parser->value * 16 + static_cast<uint32_t>(digit);
        if (++parser->digits == 4) {
            // The field width ends the word; a longer run starts the next one.
            CompleteWord(parser);
        }
        return;
    }
    if (parser->digits > 0) {
        if (parser->digits == 1 && parser->value == 0 && (c == 'x' || c == 'X')) {
            // The C library would take "0x" as a prefix and read on; we take
            // no prefixes, and must not read a different word from it.
            parser->failed = true;
            return;
        }
        // Any other byte ends the word without being consumed by it.
        CompleteWord(parser);
        if (Done(parser)) {
            return;
        }
    }
    if (!IsSpace(c)) {
        // A byte that cannot begin a hexadecimal number: the conversion fails.
        parser->failed = true;
    }
}

// The bytes held while the mark was undecided are text after all.
void ReleaseHeld(CalibrationTextParser* parser) {
    parser->encoding = kBytes;
    for (uint32_t i = 0; i < parser->held && !Done(parser); ++i) {
        TakeCharacter(parser, parser->hold[i]);
    }
    parser->held = 0;
}

// Holds the first bytes until they are a byte-order mark or cannot become one.
void DecideEncoding(CalibrationTextParser* parser, uint8_t byte) {
    parser->hold[parser->held++] = byte;
    bool possible = false;
    for (const Mark& mark : kMarks) {
        if (std::memcmp(parser->hold, mark.bytes, parser->held) != 0) {
            continue;
        }
        if (parser->held == mark.size) {
            parser->encoding = mark.encoding;
            parser->held = 0;
            return;
        }
        possible = true;
    }
    if (!possible) {
        ReleaseHeld(parser);
    }
}

// Takes one byte of the file, decoding it as the mark said.
void TakeByte(CalibrationTextParser* parser, uint8_t byte) {
    if (parser->encoding == kUndecided) {
        DecideEncoding(parser, byte);
    } else if (parser->encoding == kBytes) {
        TakeCharacter(parser, byte);
    } else if (parser->held == 0) {
        parser->hold[0] = byte;
        parser->held = 1;
    } else {
        parser->held = 0;
        const uint32_t unit = parser->encoding == kUtf16Le ? parser->hold[0] | (byte << 8)
                                                           : (parser->hold[0] << 8) | byte;
        if (unit > 0x7F) {
            parser->failed = true;  // never a digit nor white space
        } else {
            TakeCharacter(parser, static_cast<uint8_t>(unit));
        }
    }
}

}  // namespace

void FormatCalibrationText(const uint8_t* words, char* text) {
    for (uint32_t i = 0; i < CALIBRATION_WORDS; ++i) {
        const uint8_t high = words[2 * i + 1];
        const uint8_t low = words[2 * i];
        char* group = text + 5 * i;
        group[0] = kHexDigits[high >> 4];
        group[1] = kHexDigits[high & 0x0F];
        group[2] = kHexDigits[low >> 4];
        group[3] = kHexDigits[low & 0x0F];
        group[4] = ' ';
    }
}

void CalibrationTextBegin(CalibrationTextParser* parser) {
    std::memset(parser, 0, sizeof(*parser));
}

bool CalibrationTextFeed(CalibrationTextParser* parser, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size && !Done(parser); ++i) {
        TakeByte(parser, data[i]);
    }
    return !Done(parser);
}

bool CalibrationTextEnd(CalibrationTextParser* parser) {
    if (parser->held > 0) {
        // UTF-16 that ends inside a unit, or a file of one or two bytes that began
        // like a mark: neither can hold 16 words.
        parser->failed = true;
    }
    if (parser->digits > 0) {
        // The end of the input cut a group short: a copy interrupted at the end
        // would otherwise send a wrong last word. A shorter group that white space
        // ends is complete and was taken when that byte came.
        parser->failed = true;
    }
    if (parser->failed || parser->group < CALIBRATION_WORDS) {
        // Never hand on a partly filled set of words.
        parser->failed = true;
        std::memset(parser->words, 0, sizeof(parser->words));
        return false;
    }
    return true;
}

bool ParseCalibrationText(const uint8_t* data, size_t size, uint8_t* words) {
    CalibrationTextParser parser;
    CalibrationTextBegin(&parser);
    if (data != nullptr) {
        CalibrationTextFeed(&parser, data, size);
    }
    const bool parsed = CalibrationTextEnd(&parser);
    std::memcpy(words, parser.words, sizeof(parser.words));
    return parsed;
}
