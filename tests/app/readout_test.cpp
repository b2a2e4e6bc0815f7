// The read-out: table checks, the calibration text file, the raw dump, and that a
// failure never costs the existing file.
#include <algorithm>
#include <string>

#include "app/app.h"
#include "tests/app/app_test_support.h"

namespace apptest {
namespace {

const char kOldText[] = "an earlier read-out that must survive";

class ReadOutTest : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        OpenClient();
    }
    static Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }
    static bool Exists(const char* name) { return std::filesystem::exists(name); }
};

TEST_F(ReadOutTest, WritesTheWordsHighByteFirst) {
    const std::vector<uint16_t> words = {0x1234, 0x00AB, 0x0000, 0xFFFF, 0xA5C3, 0x0A0D,
                                         0x8000, 0x0001, 0x7F7F, 0xFEDC, 0xBA98, 0x7654,
                                         0x3210, 0x0F0F, 0xF0F0, 0x4321};
    driver.table = CalibrationTable(words);
    WriteFileBytes("calibfrombios.bin", kOldText);

    EXPECT_EQ(ReadOutCalibration(), RESULT_SUCCESS);
    const Bytes text = ReadFileBytes("calibfrombios.bin");
    EXPECT_EQ(text, Text(ExpectedText(words)));
    EXPECT_EQ(text.size(), CALIBRATION_TEXT_SIZE);
    EXPECT_EQ(std::string(text.begin(), text.begin() + 10), "1234 00ab ");
    EXPECT_FALSE(Exists("atoa.txt"));
    EXPECT_FALSE(Exists("calibfrombios.bin.tmp"));
}

TEST_F(ReadOutTest, HeaderTest) {
    // Byte 2 is never examined.
    for (int byte2 : {0x00, 0x5A, 0xFF}) {
        driver.table[2] = static_cast<uint8_t>(byte2);
        EXPECT_EQ(ReadOutCalibration(), RESULT_SUCCESS) << byte2;
    }
    WriteFileBytes("calibfrombios.bin", kOldText);
    const Bytes good = driver.table;
    for (size_t at : {0u, 1u, 3u, 4u}) {
        driver.table = good;
        driver.table[at] ^= 0x40;
        EXPECT_EQ(ReadOutCalibration(), RESULT_INVALID_TABLE) << at;
        EXPECT_EQ(ReadFileBytes("calibfrombios.bin"), Text(kOldText)) << at;
    }
}

TEST_F(ReadOutTest, ShortTablesAreZeroFilled) {
    // A table of no bytes at all fails the header test, and is still dumped.
    driver.table.clear();
    ReadTestMode = 1;
    EXPECT_EQ(ReadOutCalibration(), RESULT_INVALID_TABLE);
    EXPECT_EQ(ReadFileBytes("atoa.txt"), Bytes(TABLE5_SIZE, 0));
    EXPECT_FALSE(Exists("calibfrombios.bin"));

    // A table that ends inside word 2 leaves that word's high byte and the rest 0.
    driver.table = CalibrationTable({0x1111, 0x2222, 0x3333, 0x4444});
    driver.table.resize(10);
    EXPECT_EQ(ReadOutCalibration(), RESULT_SUCCESS);
    EXPECT_EQ(ReadFileBytes("calibfrombios.bin"), Text(ExpectedText({0x1111, 0x2222, 0x0033})));
}

TEST_F(ReadOutTest, TableThatCannotBeFetchedWritesNothing) {
    WriteFileBytes("calibfrombios.bin", kOldText);
    ReadTestMode = 1;

    driver.tableFails = true;
    EXPECT_EQ(ReadOutCalibration(), RESULT_TABLE_NOT_FETCHED);

    // One byte longer than the record is a failure too.
    driver.tableFails = false;
    driver.table.resize(TABLE5_SIZE + 1, 0x11);
    EXPECT_EQ(ReadOutCalibration(), RESULT_TABLE_NOT_FETCHED);

    EXPECT_EQ(ReadFileBytes("calibfrombios.bin"), Text(kOldText));
    EXPECT_FALSE(Exists("atoa.txt"));
}

TEST_F(ReadOutTest, RawDumpStoresCarriageReturnBeforeEachLineFeed) {
    driver.table = CalibrationTable({0x0A0A, 0x0D0A});
    driver.table[100] = 0x0A;
    driver.table[109] = 0x0A;
    ReadTestMode = 1;
    EXPECT_EQ(ReadOutCalibration(), RESULT_SUCCESS);

    Bytes expected;
    for (uint8_t byte : driver.table) {
        if (byte == 0x0A) {
            expected.push_back(0x0D);
        }
        expected.push_back(byte);
    }
    const Bytes dump = ReadFileBytes("atoa.txt");
    EXPECT_EQ(dump, expected);
    EXPECT_EQ(dump.size(), TABLE5_SIZE + 5);
}

TEST_F(ReadOutTest, RawDumpThatCannotBeCreatedIsSkipped) {
    std::filesystem::create_directory("atoa.txt");
    ReadTestMode = 1;
    EXPECT_EQ(ReadOutCalibration(), RESULT_SUCCESS);
    EXPECT_TRUE(Exists("calibfrombios.bin"));
}

// A failed write must neither destroy the previous file nor be reported as done.
TEST_F(ReadOutTest, FailedWriteKeepsTheOldFile) {
    WriteFileBytes("calibfrombios.bin", kOldText);

    testplatform::SetFileWritesFail(true);
    EXPECT_EQ(ReadOutCalibration(), RESULT_FILE_FAILED);
    EXPECT_EQ(ReadFileBytes("calibfrombios.bin"), Text(kOldText));
    EXPECT_FALSE(Exists("calibfrombios.bin.tmp"));
    testplatform::SetFileWritesFail(false);

    testplatform::SetReplaceFails(true);
    EXPECT_EQ(ReadOutCalibration(), RESULT_FILE_FAILED);
    EXPECT_EQ(ReadFileBytes("calibfrombios.bin"), Text(kOldText));
    EXPECT_FALSE(Exists("calibfrombios.bin.tmp"));
    testplatform::SetReplaceFails(false);

    // Once writing works again, the file is replaced.
    EXPECT_EQ(ReadOutCalibration(), RESULT_SUCCESS);
    EXPECT_EQ(ReadFileBytes("calibfrombios.bin"), Text(ExpectedText({})));
}

TEST_F(ReadOutTest, FileThatCannotBeCreated) {
    // The temporary name is taken by a folder, so nothing can be created.
    std::filesystem::create_directory("calibfrombios.bin.tmp");
    WriteFileBytes("calibfrombios.bin", kOldText);
    EXPECT_EQ(ReadOutCalibration(), RESULT_FILE_FAILED);
    EXPECT_EQ(ReadFileBytes("calibfrombios.bin"), Text(kOldText));
}

TEST_F(ReadOutTest, WriteCalibrationTextReportsFailures) {
    const uint8_t words[CALIBRATION_WORD_BYTES] = {0x34, 0x12};
    EXPECT_NE(WriteCalibrationText(words, nullptr), 0);

    testplatform::SetFileWritesFail(true);
    std::FILE* full = platform::OpenFile(L"x.txt", "wb");
    ASSERT_NE(full, nullptr);
    EXPECT_NE(WriteCalibrationText(words, full), 0);  // and full is closed
    testplatform::SetFileWritesFail(false);

    std::FILE* file = platform::OpenFile(L"x.txt", "wb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(WriteCalibrationText(words, file), 0);
    EXPECT_EQ(ReadFileBytes("x.txt"), Text(ExpectedText({0x1234})));
}

}  // namespace
}  // namespace apptest
