// The entry function: option parsing, the driver opening and the message box.
#include <algorithm>
#include <cwchar>
#include <functional>
#include <string>

#include "app/app.h"
#include "driver_client/misc_common.h"
#include "tests/app/app_test_support.h"

namespace apptest {
namespace {

using Boxes = std::vector<std::pair<std::wstring, std::wstring>>;

// What one run of the program did.
struct RunRecord {
    Boxes boxes;
    bool driverTouched;
    int exitCode;
};

class OptionsTest : public AppTest {
  protected:
    // One run of the program, as a new process, with these arguments after the
    // program path.
    RunRecord Run(const std::vector<std::wstring>& arguments) {
        FreshProcess();
        const size_t boxesBefore = testplatform::MessageBoxes().size();
        const size_t exchangesBefore = testplatform::Exchanges().size();
        const int opensBefore = testplatform::OpenCount();
        std::vector<std::wstring> commandLine = {L"C:\\Tools\\quellix.exe"};
        commandLine.insert(commandLine.end(), arguments.begin(), arguments.end());
        testplatform::SetCommandLine(commandLine);

        const int exitCode = QuellixMain();
        // Without -exitcode always 0, whatever happened.
        // wcscmp, not std::wstring's ==: valgrind has no stand-in for the AVX2 wmemcmp
        // behind it, which reads whole vectors past the string's end.
        if (std::none_of(arguments.begin(), arguments.end(), [](const std::wstring& argument) {
                return std::wcscmp(argument.c_str(), L"-exitcode") == 0;
            })) {
            EXPECT_EQ(exitCode, 0);
        }

        const Boxes& boxes = testplatform::MessageBoxes();
        return RunRecord{Boxes(boxes.begin() + static_cast<long>(boxesBefore), boxes.end()),
                         testplatform::OpenCount() != opensBefore ||
                             testplatform::Exchanges().size() != exchangesBefore,
                         exitCode};
    }
    static Boxes Box(const wchar_t* text) { return Boxes{{text, L"Quellix"}}; }
};

TEST_F(OptionsTest, NoArgumentsRunsTheReadOutAndShowsNothing) {
    driver.table = CalibrationTable({0x1234, 0x00AB});
    EXPECT_TRUE(Run({}).boxes.empty());
    const std::string expected = ExpectedText({0x1234, 0x00AB});
    EXPECT_EQ(ReadFileBytes("calibfrombios.bin"), Bytes(expected.begin(), expected.end()));

    // A failure without -debug shows nothing either.
    driver.tableFails = true;
    const RunRecord failed = Run({});
    EXPECT_TRUE(failed.driverTouched);
    EXPECT_TRUE(failed.boxes.empty());
    EXPECT_EQ(Run({L"-debug"}).boxes, Box(L"Failed to retrieve Table5"));
}

TEST_F(OptionsTest, DebugShowsOnlyFailures) {
    EXPECT_TRUE(Run({L"-debug"}).boxes.empty());
    EXPECT_TRUE(std::filesystem::exists("calibfrombios.bin"));

    driver.table[0] = 0x81;
    EXPECT_EQ(Run({L"-debug"}).boxes, Box(L"Invalid Table5 Data (No Calibration data)"));
}

TEST_F(OptionsTest, CalibfileWithoutNameIsRefusedBeforeTheDriver) {
    const RunRecord run = Run({L"-debug", L"-calibfile"});
    EXPECT_EQ(run.boxes, Box(L"Invalid Argument"));
    EXPECT_FALSE(run.driverTouched);
}

TEST_F(OptionsTest, CalibfileFollowedByAnOptionStopsParsingAtOnce) {
    // -debug is never looked at, so the refusal is silent.
    RunRecord run = Run({L"-calibfile", L"-debug"});
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_FALSE(run.driverTouched);
    EXPECT_FALSE(std::filesystem::exists("calibfrombios.bin"));

    // Nor is a later -readtest.
    run = Run({L"-calibfile", L"-x", L"-readtest"});
    EXPECT_EQ(ReadTestMode, 0);
    EXPECT_FALSE(run.driverTouched);
}

TEST_F(OptionsTest, UnknownArgumentIsRefusedButParsingGoesOn) {
    // Options are compared exactly and in full.
    for (const wchar_t* argument : {L"-verbose", L"-DEBUG", L"-debugx", L"debug", L"-", L""}) {
        const RunRecord run = Run({argument, L"-debug"});
        EXPECT_EQ(run.boxes, Box(L"Invalid Argument")) << argument;
        EXPECT_FALSE(run.driverTouched) << argument;
    }
    EXPECT_FALSE(std::filesystem::exists("calibfrombios.bin"));
}

TEST_F(OptionsTest, MissingDriverWithReadtestWritesNothing) {
    testplatform::SetDevicePresent(false);
    EXPECT_EQ(Run({L"-readtest", L"-debug"}).boxes, Box(L"Failed to open Misc Driver"));
    EXPECT_EQ(ReadTestMode, 1);
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

TEST_F(OptionsTest, FailedHandshakeIsFailedToOpenTheDriver) {
    // A driver that answers the probe with something other than "not supported"
    // and then refuses the first handshake message.
    testplatform::SetResponder([](const testplatform::Exchange&) {
        testplatform::Reply reply;
        reply.ok = false;
        reply.error = platform::kErrorAccessDenied;
        return reply;
    });
    EXPECT_EQ(Run({L"-debug"}).boxes, Box(L"Failed to open Misc Driver"));
    EXPECT_FALSE(std::filesystem::exists("calibfrombios.bin"));
}

TEST_F(OptionsTest, CalibfileRunsTheWriteBackWithTheLastName) {
    WriteFileBytes("good.txt", ExpectedText({0x0102, 2, 3}));
    EXPECT_TRUE(
        Run({L"-calibfile", L"missing.txt", L"-debug", L"-calibfile", L"good.txt"}).boxes.empty());
    ASSERT_EQ(driver.packets.size(), 3u);
    EXPECT_EQ(driver.packets[1].second[8 + 1], 0x02);  // word 0 of the image, low byte
    EXPECT_EQ(driver.packets[1].second[8 + 2], 0x01);
    EXPECT_FALSE(std::filesystem::exists("calibfrombios.bin"));

    EXPECT_EQ(Run({L"-debug", L"-calibfile", L"missing.txt"}).boxes,
              Box(L"Failed to Open Binary file"));
}

TEST_F(OptionsTest, OverlongFileNameIsAnInvalidArgument) {
    const std::wstring longest(FILE_NAME_CHARS - 1, L'a');
    RunRecord run = Run({L"-debug", L"-calibfile", longest + L"a"});
    EXPECT_EQ(run.boxes, Box(L"Invalid Argument"));
    EXPECT_FALSE(run.driverTouched);

    // The name is skipped as the file name it was meant to be, so what follows
    // still counts.
    run = Run({L"-calibfile", longest + L"a", L"-debug"});
    EXPECT_EQ(run.boxes, Box(L"Invalid Argument"));
    EXPECT_FALSE(run.driverTouched);

    // 259 characters fit; such a name cannot be opened here, which is result 12.
    run = Run({L"-debug", L"-calibfile", longest});
    EXPECT_EQ(run.boxes, Box(L"Failed to Open Binary file"));
    EXPECT_TRUE(run.driverTouched);
}

TEST_F(OptionsTest, ExitcodeMakesTheResultTheExitCode) {
    WriteFileBytes("good.txt", ExpectedText({1, 2, 3}));
    const std::function<void(FakeDriver&)> none = [](FakeDriver&) {};
    const std::function<void(FakeDriver&)> copyFails = [](FakeDriver&) {
        testplatform::FailCall(testplatform::Call::CommandLineArguments,
                               platform::kErrorNotEnoughMemory, 1);
    };
    const struct {
        std::vector<std::wstring> arguments;
        std::function<void(FakeDriver&)> setup;
        int exitCode;
    } cases[] = {
        {{L"-exitcode"}, none, 0},
        {{L"-exitcode"}, [](FakeDriver& d) { d.tableFails = true; }, 2},
        {{L"-exitcode"}, [](FakeDriver& d) { d.table[0] = 0x81; }, 4},
        {{L"-calibfile", L"good.txt", L"-exitcode"},
         [](FakeDriver& d) { d.steps[2].exchangeFails = true; },
         5},
        {{L"-exitcode", L"-calibfile", L"missing.txt"}, none, 12},
        {{L"-exitcode"}, [](FakeDriver&) { testplatform::SetDevicePresent(false); }, 7},
        // Parsed like -debug: a bad argument before it does not hide it...
        {{L"-bogus", L"-exitcode"}, none, 6},
        {{L"-exitcode", L"-calibfile"}, none, 6},
        // ...nor does parsing that stops at a missing file name.
        {{L"-calibfile", L"-exitcode"}, none, 6},
        {{L"-calibfile", L"-x", L"-exitcode"}, none, 6},
        {{L"-backup", L"-exitcode"}, none, 6},
        // -verify with a write-back whose table does not change afterwards.
        {{L"-calibfile", L"good.txt", L"-verify", L"-exitcode"}, none, 5},
        {{L"-calibfile", L"good.txt", L"-verify", L"-exitcode"},
         [](FakeDriver& d) {
             d.table = CalibrationTable({1, 2, 3});
         },
         0},
        {{L"-calibfile", L"good.txt", L"-verify", L"-exitcode"},
         [](FakeDriver& d) {
             d.table = CalibrationTable({1, 2, 3});
             d.table[4] = 0x03;  // the marker differs
         },
         5},
        {{L"-calibfile", L"good.txt", L"-verify", L"-exitcode"},
         [](FakeDriver& d) {
             d.table = CalibrationTable({1, 2, 3});
             d.table[36] = 0x01;  // word 15's high byte differs
         },
         5},
        // A read-back that fails is not a verified write.
        {{L"-calibfile", L"good.txt", L"-verify", L"-exitcode"},
         [](FakeDriver& d) { d.tableFails = true; },
         5},
        // A backup that cannot be read or kept stops the write-back with its result.
        {{L"-calibfile", L"good.txt", L"-backup", L"old.txt", L"-exitcode"},
         [](FakeDriver& d) { d.tableFails = true; },
         2},
        {{L"-calibfile", L"good.txt", L"-backup", L"none/old.txt", L"-exitcode"}, none, 12},
        // The usage alone, whatever else stands on the line.
        {{L"-exitcode", L"-calibfile", L"-help"}, none, 0},
        {{L"/?", L"-bogus", L"-exitcode"}, none, 0},
        // Options are compared exactly.
        {{L"-exitcodes"}, none, 0},
        // Arguments that could not be copied: -exitcode is still seen, nothing runs.
        {{L"-debug", L"-exitcode"}, copyFails, 6},
        {{L"-debug", L"-exitcodes"}, copyFails, 0},
    };
    for (const auto& c : cases) {
        driver = FakeDriver();
        testplatform::SetDevicePresent(true);
        c.setup(driver);
        const RunRecord run = Run(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << testing::PrintToString(c.arguments);
#ifndef _WIN32
        // The usage goes to standard output here, in a message box on Windows.
        EXPECT_TRUE(run.boxes.empty()) << testing::PrintToString(c.arguments);
#endif
        // Nothing reaches the driver after a refused backup.
        if (c.exitCode == 2 || c.exitCode == 12) {
            EXPECT_TRUE(driver.packets.empty()) << testing::PrintToString(c.arguments);
        }
    }
    // With -debug as well, the message is shown and the code returned.
    driver.tableFails = true;
    const RunRecord run = Run({L"-debug", L"-exitcode"});
    EXPECT_EQ(run.boxes, Box(L"Failed to retrieve Table5"));
    EXPECT_EQ(run.exitCode, 2);
}

TEST_F(OptionsTest, ReadtestAddsTheDump) {
    Run({L"-readtest"});
    EXPECT_EQ(ReadTestMode, 1);
    EXPECT_EQ(ReadFileBytes("atoa.txt"), driver.table);
    EXPECT_TRUE(std::filesystem::exists("calibfrombios.bin"));
}

// The message of every code, the ones no operation produces included, by number:
// the numbers are what -exitcode scripts and the field know.
TEST(ResultMessages, EveryCodeHasItsText) {
    const std::vector<std::pair<int, std::wstring>> table = {
        {0, L""},
        {1, L"Failed to Open TS Device"},
        {2, L"Failed to retrieve Table5"},
        {3, L"Table5 Checksum error"},
        {4, L"Invalid Table5 Data (No Calibration data)"},
        {5, L"Registry Write Error"},
        {6, L"Invalid Argument"},
        {7, L"Failed to open Misc Driver"},
        {8, L"HIDD Guid Error"},
        {9, L"SetupDiGetClassDevs Fail"},
        {10, L"Failed to enable/disable device"},
        {11, L"Failed to find VARNEL device"},
        {12, L"Failed to Open Binary file"},
        {13, L"General failure"},
        {-1, L"General failure"}};
    for (const auto& [code, text] : table) {
        EXPECT_STREQ(ResultMessage(code), text.c_str()) << code;
    }
}

}  // namespace
}  // namespace apptest
