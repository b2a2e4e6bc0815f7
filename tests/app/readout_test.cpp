// The read-out: table checks, the calibration text file, the raw dump, and that a
// failure never costs the existing file.
#include <algorithm>
#include <set>
#include <string>

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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
    // The names in the working folder, so that no temporary can be left unseen.
    static std::set<std::string> Names() {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(".")) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
};

using Call = testplatform::Call;
const std::set<std::string> kJustTheFile = {"calibfrombios.bin"};

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
    EXPECT_EQ(Names(), kJustTheFile);
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
#ifndef _WIN32
    // A link planted at the dump's name is replaced, not written through.
    WriteFileBytes("outside", kOldText);
    std::filesystem::create_symlink("outside", "atoa.txt");
#endif
    EXPECT_EQ(ReadOutCalibration(), RESULT_SUCCESS);
#ifndef _WIN32
    EXPECT_EQ(ReadFileBytes("outside"), Text(kOldText));
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status("atoa.txt")));
#endif

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
    EXPECT_EQ(Names(), std::set<std::string>({"atoa.txt", "calibfrombios.bin"}));
}

// A failed write, flush to the disk or replace must neither destroy the previous
// file, nor leave the temporary behind, nor be reported as done. A replace or
// removal that fails as a file held by a scanner does is tried again for about a
// second; other failures are not waited for.
TEST_F(ReadOutTest, FailedWriteKeepsTheOldFile) {
    using platform::kErrorAccessDenied;
    const struct {
        Call call;
        uint32_t error;
        int times;
        int result;
        size_t pauses;
        size_t files;
    } rows[] = {
        {Call::CreateNewFile, platform::kErrorGenFailure, 1, RESULT_FILE_FAILED, 0, 1},
        {Call::FlushFileToDisk, platform::kErrorGenFailure, 1, RESULT_FILE_FAILED, 0, 1},
        {Call::ReplaceFile, platform::kErrorFileReadOnly, 1, RESULT_FILE_FAILED, 0, 1},
        {Call::ReplaceFile, platform::kErrorSharingViolation, 19, RESULT_SUCCESS, 19, 1},
        {Call::ReplaceFile, kErrorAccessDenied, 20, RESULT_FILE_FAILED, 19, 1},
        // After a replace that failed at once; held for good, the temporary stays.
        {Call::RemoveFile, platform::kErrorSharingViolation, 3, RESULT_FILE_FAILED, 3, 1},
        {Call::RemoveFile, kErrorAccessDenied, 20, RESULT_FILE_FAILED, 19, 2},
    };
    WriteFileBytes("calibfrombios.bin", kOldText);
    testplatform::SetFileWritesFail(true);
    EXPECT_EQ(ReadOutCalibration(), RESULT_FILE_FAILED);
    EXPECT_EQ(ReadFileBytes("calibfrombios.bin"), Text(kOldText));
    EXPECT_EQ(Names(), kJustTheFile);
    testplatform::SetFileWritesFail(false);
    for (const auto& row : rows) {
        WriteFileBytes("calibfrombios.bin", kOldText);
        testplatform::FailCall(row.call, row.error, row.times);
        if (row.call == Call::RemoveFile) {
            testplatform::FailCall(Call::ReplaceFile, platform::kErrorGenFailure, 1);
        }
        const size_t before = testplatform::Sleeps().size();
        EXPECT_EQ(ReadOutCalibration(), row.result) << row.error;
        EXPECT_EQ(ReadFileBytes("calibfrombios.bin"),
                  Text(row.result == RESULT_SUCCESS ? ExpectedText({}) : kOldText));
        const std::vector<uint32_t> pauses(testplatform::Sleeps().begin() + before,
                                           testplatform::Sleeps().end());
        EXPECT_EQ(pauses, std::vector<uint32_t>(row.pauses, 50)) << row.error;
        EXPECT_EQ(Names().size(), row.files) << row.error;
    }
}

// Whatever another user or another run puts at a temporary's name just before it is
// created is passed by: not written through, not opened, not removed. A link named
// "calibfrombios.bin" is replaced, not written through.
TEST_F(ReadOutTest, PlantedNamesAreNeitherFollowedNorRemoved) {
    WriteFileBytes("outside", kOldText);
    std::filesystem::create_directory("calibfrombios.bin.tmp");  // the old fixed name
    std::vector<std::wstring> names;
    testplatform::SetCreateNewFileHook([&](const wchar_t* name) {
        names.push_back(name);
        const std::filesystem::path path(name);
        if (names.size() == 1) {
            std::filesystem::create_directory(path);
        } else if (names.size() == 2) {
            WriteFileBytes(path, "another run's temporary");
#ifndef _WIN32
        } else if (names.size() == 3) {
            std::filesystem::create_symlink("outside", path);
        } else if (names.size() == 4) {
            ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
#endif
        }
    });
#ifndef _WIN32
    std::filesystem::create_symlink("outside", "calibfrombios.bin");
#endif
    EXPECT_EQ(ReadOutCalibration(), RESULT_SUCCESS);
    const size_t planted = names.size() - 1;
    EXPECT_GE(planted, 2u);
    EXPECT_EQ(ReadFileBytes("calibfrombios.bin"), Text(ExpectedText({})));
    EXPECT_TRUE(
        std::filesystem::is_regular_file(std::filesystem::symlink_status("calibfrombios.bin")));
    EXPECT_EQ(ReadFileBytes("outside"), Text(kOldText));
    EXPECT_EQ(ReadFileBytes(names[1]), Text("another run's temporary"));
    const std::set<std::string> after = Names();
    EXPECT_EQ(after.size(), planted + 3);  // and "outside", the old name, the file
    for (const std::wstring& name : names) {
        EXPECT_LE(name.size(), std::wcslen(L"calibfrombios.bin"));
    }
    EXPECT_EQ(std::set<std::wstring>(names.begin(), names.end()).size(), names.size());

    // A run that fails removes only its own temporary.
    testplatform::FailCall(Call::ReplaceFile, platform::kErrorGenFailure, 1);
    EXPECT_EQ(ReadOutCalibration(), RESULT_FILE_FAILED);
    EXPECT_EQ(Names(), after);

    // Every name taken: the read-out gives up.
    testplatform::FailCall(Call::CreateNewFile, platform::kErrorFileExists);
    EXPECT_EQ(ReadOutCalibration(), RESULT_FILE_FAILED);
}

// An existing file that this user may not write is kept, as the direct write kept
// it; a link to one is replaced. Root may write any file, so on Linux the read-out
// runs as another user.
TEST_F(ReadOutTest, ReadOnlyFileIsKept) {
    using std::filesystem::perms;
    std::filesystem::permissions(folder, perms::all);
#ifndef _WIN32
    WriteFileBytes("outside", kOldText);
    std::filesystem::permissions("outside", perms::owner_read);
    std::filesystem::create_symlink("outside", "calibfrombios.bin");
    const bool rows[] = {false, true, false};  // read-only?
#else
    const bool rows[] = {true, false};
#endif
    for (bool readOnly : rows) {
        if (!std::filesystem::is_symlink("calibfrombios.bin")) {
            WriteFileBytes("calibfrombios.bin", kOldText);
            std::filesystem::permissions(
                "calibfrombios.bin",
                readOnly ? perms::owner_read | perms::group_read | perms::others_read : perms::all);
        }
        int result = -1;
#ifndef _WIN32
        if (geteuid() == 0) {
            std::fflush(nullptr);  // the child must not print the parent's buffers again
            const pid_t child = fork();
            if (child == 0) {
                const gid_t nobody = 65534;
                _exit(setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0
                          ? ReadOutCalibration()
                          : 100);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        } else
#endif
        {
            result = ReadOutCalibration();
        }
        EXPECT_EQ(result, readOnly ? RESULT_FILE_FAILED : RESULT_SUCCESS);
        EXPECT_EQ(ReadFileBytes("calibfrombios.bin"), Text(readOnly ? kOldText : ExpectedText({})));
        if (std::filesystem::exists("outside")) {
            EXPECT_EQ(ReadFileBytes("outside"), Text(kOldText));
            std::filesystem::remove("outside");
        }
        EXPECT_EQ(Names(), kJustTheFile);
        std::filesystem::permissions("calibfrombios.bin", perms::all);
    }
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
