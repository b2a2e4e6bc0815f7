// The calibration text reader: what "%04x " accepts, and what a partial file is.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "tests/app/app_test_support.h"

namespace apptest {
namespace {

const std::vector<uint16_t> kWords = {0x1234, 0x00AB, 0x0000, 0xFFFF, 0xA5C3, 0x0A0D,
                                      0x8000, 0x0001, 0x7F7F, 0xFEDC, 0xBA98, 0x7654,
                                      0x3210, 0x0F0F, 0xF0F0, 0x4321};

Bytes WordBytes(const std::vector<uint16_t>& words) {
    Bytes bytes(CALIBRATION_WORD_BYTES, 0);
    for (size_t i = 0; i < words.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    }
    return bytes;
}

// The words parsed from text, or an empty vector when it is refused.
Bytes Parse(const std::string& text) {
    Bytes words(CALIBRATION_WORD_BYTES, 0xEE);
    const bool parsed = ParseCalibrationText(reinterpret_cast<const uint8_t*>(text.data()),
                                             text.size(), words.data());
    if (!parsed) {
        EXPECT_EQ(words, Bytes(CALIBRATION_WORD_BYTES, 0)) << "refused words must be zero";
        return Bytes();
    }
    return words;
}

TEST(CalibrationTextTest, FormatIsTheReadOutsFile) {
    char text[CALIBRATION_TEXT_SIZE + 1];
    std::memset(text, 'X', sizeof(text));
    FormatCalibrationText(WordBytes(kWords).data(), text);
    EXPECT_EQ(text[CALIBRATION_TEXT_SIZE], 'X');  // exactly 80 bytes written
    EXPECT_EQ(std::string(text, CALIBRATION_TEXT_SIZE), ExpectedText(kWords));
}

TEST(CalibrationTextTest, AcceptsEveryLayoutOfTheSameWords) {
    const Bytes expected = WordBytes(kWords);
    std::string upper = ExpectedText(kWords);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    std::string lines, mixed, unpadded;
    for (size_t i = 0; i < kWords.size(); ++i) {
        char group[16];
        std::snprintf(group, sizeof(group), "%04x\r\n", kWords[i]);
        lines += group;
        std::snprintf(group, sizeof(group), i % 2 ? "\t\v%04X" : "\f %04x  ", kWords[i]);
        mixed += group;
        std::snprintf(group, sizeof(group), "%x ", kWords[i]);
        unpadded += group;
    }
    std::string runs;  // two words per run of eight digits
    for (size_t i = 0; i < kWords.size(); i += 2) {
        char group[16];
        std::snprintf(group, sizeof(group), "%04x%04x\n", kWords[i], kWords[i + 1]);
        runs += group;
    }
    const std::string texts[] = {
        ExpectedText(kWords),
        ExpectedText(kWords).substr(0, CALIBRATION_TEXT_SIZE - 1),  // no final space
        upper,
        lines,
        mixed,
        unpadded,
        runs,
        ExpectedText(kWords) + "zz trailing text, ignored\n\x01",
        ExpectedText(kWords) + "12345",  // a 17th group is not read
    };
    for (const std::string& text : texts) {
        EXPECT_EQ(Parse(text), expected) << text;
    }
    // "12345678" is the words 0x1234 and 0x5678.
    const Bytes split = Parse("12345678" + ExpectedText(kWords).substr(0, 70));
    ASSERT_FALSE(split.empty());
    EXPECT_EQ(Bytes(split.begin(), split.begin() + 4), Bytes({0x34, 0x12, 0x78, 0x56}));
}

TEST(CalibrationTextTest, RefusesWhatCannotGiveSixteenWords) {
    const std::string good = ExpectedText(kWords);
    const std::string refused[] = {
        "",
        "   \r\n\t ",
        good.substr(0, 15 * 5),                           // ends after 15 groups
        good.substr(0, 3 * 5) + "zz " + good.substr(20),  // fourth group not hexadecimal
        good.substr(0, 5) + "0x12 " + good.substr(10),    // no prefixes
        good.substr(0, 75) + "0X58",  // nor in the last group, where "0" alone would pass
        good.substr(0, 5) + "-123 " + good.substr(10),  // no signs
        good.substr(0, 12) + "g" + good.substr(12),     // a letter ends a group early
        good.substr(0, 7) + std::string(1, '\0') + good.substr(7),
        good.substr(0, 40) + "\x1a" + good.substr(40),  // no end-of-file mark
    };
    for (const std::string& text : refused) {
        EXPECT_TRUE(Parse(text).empty()) << text;
    }
    // A 16th group of fewer digits that the input cuts off is refused (the end of
    // file rule below).
    EXPECT_TRUE(Parse(good.substr(0, 15 * 5) + "4").empty());
}

TEST(CalibrationTextTest, PiecesGiveTheSameWordsAsTheWhole) {
    const std::string text = " 12345678\n" + ExpectedText(kWords);
    const Bytes whole = Parse(text);
    ASSERT_FALSE(whole.empty());
    for (size_t piece = 1; piece <= 7; ++piece) {
        CalibrationTextParser parser;
        CalibrationTextBegin(&parser);
        size_t fed = 0;
        bool wanted = true;
        while (wanted && fed < text.size()) {
            const size_t n = std::min(piece, text.size() - fed);
            wanted = CalibrationTextFeed(&parser,
                                         reinterpret_cast<const uint8_t*>(text.data()) + fed, n);
            fed += n;
        }
        EXPECT_FALSE(wanted) << "stops asking once 16 words are read";
        EXPECT_LT(fed, text.size());
        ASSERT_TRUE(CalibrationTextEnd(&parser)) << piece;
        EXPECT_EQ(Bytes(parser.words, parser.words + CALIBRATION_WORD_BYTES), whole) << piece;
    }
}

// How a file may end, and how its bytes may be encoded. Each text is read whole, then
// split in two at every offset, since a file arrives in chunks.
struct FileFormCase {
    const char* name;
    std::string bytes;
    int lastWord;  // word 15 when the text is accepted, -1 when it is refused
};

void PrintTo(const FileFormCase& c, std::ostream* os) {
    *os << c.name;
}

class CalibrationFileFormTest : public ::testing::TestWithParam<FileFormCase> {};

TEST_P(CalibrationFileFormTest, ReadsOrRefusesWhole) {
    const FileFormCase& c = GetParam();
    std::vector<uint16_t> words = kWords;
    words[15] = static_cast<uint16_t>(c.lastWord);
    const Bytes expected = c.lastWord < 0 ? Bytes() : WordBytes(words);
    EXPECT_EQ(Parse(c.bytes), expected);
    for (size_t cut = 1; cut < c.bytes.size(); ++cut) {
        CalibrationTextParser parser;
        CalibrationTextBegin(&parser);
        const auto* data = reinterpret_cast<const uint8_t*>(c.bytes.data());
        if (CalibrationTextFeed(&parser, data, cut)) {
            CalibrationTextFeed(&parser, data + cut, c.bytes.size() - cut);
        }
        ASSERT_EQ(CalibrationTextEnd(&parser), c.lastWord >= 0) << cut;
        if (c.lastWord >= 0) {
            EXPECT_EQ(Bytes(parser.words, parser.words + CALIBRATION_WORD_BYTES), expected) << cut;
        }
    }
}

// The first 15 groups of the read-out's text, and a 16th group as given.
std::string Ending(const std::string& last) {
    return ExpectedText(kWords).substr(0, 15 * 5) + last;
}

INSTANTIATE_TEST_SUITE_P(
    EndOfFile, CalibrationFileFormTest,
    ::testing::Values(FileFormCase{"four_digits_at_the_end", Ending("0258"), 0x0258},
                      FileFormCase{"four_digits_and_a_space", Ending("0258 "), 0x0258},
                      FileFormCase{"three_digits_cut_off", Ending("025"), -1},
                      FileFormCase{"one_digit_cut_off", Ending("0"), -1},
                      FileFormCase{"three_digits_and_a_line_break", Ending("258\r\n"), 0x0258},
                      FileFormCase{"one_digit_and_a_tab", Ending("7\t"), 7},
                      FileFormCase{"cut_after_fifteen_groups", Ending(""), -1}),
    [](const ::testing::TestParamInfo<FileFormCase>& info) {
        return std::string(info.param.name);
    });

// The read-out's text as PowerShell or Notepad would save it.
std::string Utf16(const std::string& text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xfe\xff" : "\xff\xfe";
    for (char c : text) {
        bytes += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
    }
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    ByteOrderMark, CalibrationFileFormTest,
    ::testing::Values(
        FileFormCase{"utf8", "\xef\xbb\xbf" + Ending("0258"), 0x0258},
        FileFormCase{"utf16le_with_line_break", Utf16(Ending("0258\r\n"), false), 0x0258},
        FileFormCase{"utf16be", Utf16(Ending("0258"), true), 0x0258},
        FileFormCase{"utf16le_cut_in_last_group", Utf16(Ending("025"), false), -1},
        FileFormCase{"utf16le_odd_length", Utf16(Ending("25"), false) + "\n", -1},
        FileFormCase{"utf16le_not_ascii", Utf16(Ending("0258"), false).replace(13, 1, "\x01"), -1},
        FileFormCase{"utf16le_not_ascii_after_the_words",
                     Utf16(Ending("0258 "), false) + "\xe9\x00", 0x0258},
        FileFormCase{"utf8_mark_twice", "\xef\xbb\xbf\xef\xbb\xbf" + Ending("0258"), -1},
        FileFormCase{"mark_cut_short", "\xef\xbb" + Ending("0258"), -1},
        FileFormCase{"utf16_mark_without_text", "\xff\xfe", -1},
        FileFormCase{"no_mark_one_byte", "1", -1}),
    [](const ::testing::TestParamInfo<FileFormCase>& info) {
        return std::string(info.param.name);
    });

}  // namespace
}  // namespace apptest
