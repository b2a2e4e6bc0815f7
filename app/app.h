// The application: options, result codes and the two calibration operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Result codes of the application. 1, 3 and 8 to 11 have messages but no
// operation of this program produces them.
constexpr int RESULT_SUCCESS = 0;
constexpr int RESULT_TS_DEVICE_FAILED = 1;
constexpr int RESULT_TABLE_NOT_FETCHED = 2;
constexpr int RESULT_TABLE_CHECKSUM = 3;
constexpr int RESULT_INVALID_TABLE = 4;
constexpr int RESULT_REGISTRY_WRITE_ERROR = 5;
constexpr int RESULT_INVALID_ARGUMENT = 6;
constexpr int RESULT_OPEN_DRIVER_FAILED = 7;
constexpr int RESULT_HIDD_GUID = 8;
constexpr int RESULT_CLASS_DEVS_FAILED = 9;
constexpr int RESULT_ENABLE_DEVICE_FAILED = 10;
constexpr int RESULT_DEVICE_NOT_FOUND = 11;
constexpr int RESULT_FILE_FAILED = 12;

// Sizes of the table record, the calibration text and the image.
constexpr uint32_t TABLE5_SIZE = 110;
constexpr uint32_t CALIBRATION_WORDS = 16;
constexpr uint32_t CALIBRATION_WORD_BYTES = 2 * CALIBRATION_WORDS;
constexpr uint32_t CALIBRATION_TEXT_SIZE = 80;
constexpr uint32_t CALIBRATION_IMAGE_SIZE = 115;
// The file name buffer: 259 characters and a terminator.
constexpr uint32_t FILE_NAME_CHARS = 260;

// Offsets of the calibration words in the table record and in the image.
constexpr uint32_t TABLE5_WORDS_OFFSET = 5;
constexpr uint32_t IMAGE_WORDS_OFFSET = 1;
// Bytes of the image that the write-back's raw dump holds.
constexpr uint32_t IMAGE_DUMP_SIZE = 110;

// Step results of the write-back's driver steps.
constexpr uint32_t STEP_SUCCESS = 0;
constexpr uint32_t STEP_CALL_FAILED = 10000;    // + the MiscStatus of the call
constexpr uint32_t STEP_STATUS_FAILED = 20000;  // + the reply's Status byte
constexpr uint32_t STEP_NOT_ACCEPTED = 20003;   // subfunction 0 not accepted
constexpr uint32_t STEP_IMAGE_REFUSED = 6;      // subfunction 1 refused the image

// Set by -readtest: the operations also write their raw dumps.
extern int ReadTestMode;

// The message of a result code; "General failure" for codes without one.
const wchar_t* ResultMessage(int resultCode);

// The entry function's whole work: reads the command line through the platform
// layer, runs one operation, shows the result with -debug. Returns 0, or with
// -exitcode the run's result code.
int QuellixMain();

// Read-out: Table 5 to "calibfrombios.bin" (and "atoa.txt" with ReadTestMode).
// The file is written to a new temporary of a unique name in the same folder, on
// the disk, and moved over the old one only when complete, so a failed write leaves
// the previous file untouched (result 12). A link named "calibfrombios.bin" is
// replaced, not written through; a read-only one is kept (result 12).
// fileName, when given, is written instead of "calibfrombios.bin" (the temporary is
// then made in that file's folder).
int ReadOutCalibration(const wchar_t* fileName = nullptr);
// Writes the 16 groups of the calibration text for the 32 word bytes (word i low
// byte at 2i) to file, flushes them to the disk and closes the file. Returns 0 when
// every write, the flush and the close succeeded, non-zero otherwise (a null file
// included).
int WriteCalibrationText(const uint8_t* words, std::FILE* file);

// Write-back: the calibration file fileName to the BIOS through the driver. A file
// from which 16 groups cannot be read is refused with 12 before anything is sent.
// With backupName, the table's words are first read out to that file, and a
// read-out that fails (2, 4 or 12) is the result with nothing sent. With verify,
// after three successful steps the table is read again and its marker and words
// compared with the image: a difference or a failed read is result 5.
int WriteBackCalibration(const wchar_t* fileName, const wchar_t* backupName = nullptr,
                         bool verify = false);
// Whether Table 5, read again, holds the image's marker and words (table bytes 4
// to 36 equal image bytes 0 to 32). False as well when the table cannot be read.
bool TableHoldsImage(const uint8_t* image);
// Sends subfunction 0; returns a step result (0 success).
uint32_t CheckWriteTarget();
// Sends subfunctions 1 and 2 with the image; returns a step result (0 success).
uint32_t WriteCalibrationImage(const uint8_t* image);

// Writes size bytes to the file name in binary mode with 0x0D stored before every
// 0x0A, as a text-mode stream stores them, so the dump is the same on every
// platform. A file that cannot be created is skipped; errors are not reported.
void WriteRawDump(const wchar_t* name, const uint8_t* bytes, size_t size);

// --- the calibration text file -------------------------------------------------

// The 80 characters of the calibration text for the 32 word bytes (word i low byte
// at 2i): each word as four lower-case hexadecimal digits, high byte first, and a
// space. No terminator is written.
void FormatCalibrationText(const uint8_t* words, char* text);

// Reads the 16 words of a calibration text as "%04x " reads them 16 times: white
// space skipped, then one to four hexadecimal digits of either case, so a run of
// eight digits is two words. Anything after the 16th word is ignored. Signs and the
// "0x" prefix, which the C library would also take, are refused. Fed in pieces
// so that a file is read in chunks and only as far as needed.
// A file that begins with a byte-order mark (UTF-8, UTF-16 LE or BE, as Notepad
// and PowerShell write them) is decoded first; UTF-16 text that is not plain ASCII
// is refused.
struct CalibrationTextParser {
    uint32_t encoding;  // how the bytes are decoded; undecided until the mark is known
    uint32_t held;      // bytes kept in hold: a possible mark, half a UTF-16 unit
    uint8_t hold[3];
    uint32_t group;   // words completed so far
    uint32_t digits;  // digits of the word being read; 0 between words
    uint32_t value;   // the word being read
    bool failed;      // a word could not be converted
    uint8_t words[CALIBRATION_WORD_BYTES];
};
void CalibrationTextBegin(CalibrationTextParser* parser);
// Takes the next size bytes. Returns true while more input is wanted, false once
// the 16 words are complete or a word has failed (later bytes are ignored).
bool CalibrationTextFeed(CalibrationTextParser* parser, const uint8_t* data, size_t size);
// The end of the input. True when all 16 words were converted; their bytes are then
// in parser->words (word i low byte at 2i). False otherwise, with the words zeroed.
// A group of fewer than four digits that the end of the input cuts off is refused:
// only four digits or white space end a word at the end of a file.
bool CalibrationTextEnd(CalibrationTextParser* parser);
// The whole text at once: true and the 32 word bytes in words, or false.
bool ParseCalibrationText(const uint8_t* data, size_t size, uint8_t* words);
