// The application: options, result codes and the two calibration operations.
#pragma once

#include <cstdint>
#include <cstdio>

// Result codes of the application.
constexpr int RESULT_SUCCESS = 0;
constexpr int RESULT_TABLE_NOT_FETCHED = 2;
constexpr int RESULT_INVALID_TABLE = 4;
constexpr int RESULT_REGISTRY_WRITE_ERROR = 5;
constexpr int RESULT_INVALID_ARGUMENT = 6;
constexpr int RESULT_OPEN_DRIVER_FAILED = 7;
constexpr int RESULT_FILE_FAILED = 12;

// Sizes of the table record, the calibration text and the image.
constexpr uint32_t TABLE5_SIZE = 110;
constexpr uint32_t CALIBRATION_WORDS = 16;
constexpr uint32_t CALIBRATION_TEXT_SIZE = 80;
constexpr uint32_t CALIBRATION_IMAGE_SIZE = 115;
// The file name buffer: 259 characters and a terminator.
constexpr uint32_t FILE_NAME_CHARS = 260;

// Set by -readtest: the operations also write their raw dumps.
extern int ReadTestMode;

// The message of a result code; "General failure" for codes without one.
const wchar_t* ResultMessage(int resultCode);

// The entry function's whole work: reads the command line through the platform
// layer, runs one operation, shows the result with -debug. Always returns 0.
int QuellixMain();

// Read-out: Table 5 to "calibfrombios.bin" (and "atoa.txt" with ReadTestMode).
int ReadOutCalibration();
// Writes the 16 groups of the calibration text for the 32 word bytes (word i low
// byte at 2i) to file and closes it. Returns 0 when every write and the close
// succeeded, non-zero otherwise.
int WriteCalibrationText(const uint8_t* words, std::FILE* file);

// Write-back: the calibration file fileName to the BIOS through the driver.
int WriteBackCalibration(const wchar_t* fileName);
// Sends subfunction 0; returns a step result (0 success).
uint32_t CheckWriteTarget();
// Sends subfunctions 1 and 2 with the image; returns a step result (0 success).
uint32_t WriteCalibrationImage(const uint8_t* image);
