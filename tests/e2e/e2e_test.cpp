// The quellix program end to end against misc-driver-sim: read-out, write-back,
// dumps, driver faults, bad arguments, and the failures that must not cost data.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <future>
#include <string>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

enum class Mode { Plain, Encrypted };

void PrintTo(Mode mode, std::ostream* os) {
    *os << (mode == Mode::Plain ? "plain" : "encrypted");
}

// The 80-byte calibration text for the words of a table (bytes 5 to 36).
std::string TextFor(const Bytes& table) {
    std::string text;
    for (int i = 0; i < 16; ++i) {
        char group[8];
        std::snprintf(group, sizeof(group), "%02x%02x ", table[6 + 2 * i], table[5 + 2 * i]);
        text += group;
    }
    return text;
}

// What a text-mode stream stores for bytes: 0x0D before every 0x0A.
Bytes TextMode(const Bytes& bytes) {
    Bytes stored;
    for (uint8_t byte : bytes) {
        if (byte == 0x0A) {
            stored.push_back(0x0D);
        }
        stored.push_back(byte);
    }
    return stored;
}

// A table holding calibration data with line-feed bytes in it.
Bytes CustomTable() {
    Bytes table(110);
    for (size_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<uint8_t>(i * 37 + 11);
        if (table[i] == 0x0A) {
            table[i] = 0x0B;  // only the line feeds placed below
        }
    }
    table[0] = 0x80;
    table[1] = 0x00;
    table[2] = 0xEE;
    table[3] = 0x01;
    table[4] = 0x02;
    table[6] = 0x0A;   // word 0 high byte
    table[13] = 0x0A;  // word 4 low byte
    table[60] = 0x0A;  // beyond the words
    return table;
}

class E2eTest : public ::testing::TestWithParam<Mode>, protected Workspace {
  protected:
    void SetUp() override { ASSERT_FALSE(temp.path().empty()); }
    void TearDown() override { EXPECT_TRUE(simulator.Stop()) << "simulator did not stop cleanly"; }

    void StartSimulator(std::vector<std::string> arguments = {}) {
        if (GetParam() == Mode::Plain) {
            arguments.push_back("--no-encryption");
        }
        arguments.push_back("--trace");
        ASSERT_TRUE(simulator.Start(root, table, log, arguments)) << ReadText(log);
    }
    // One run of quellix in the work folder; it must end by itself with code 0.
    std::string Run(const std::vector<std::string>& arguments, long fileSizeLimit = -1) {
        RunOptions options;
        options.workFolder = work;
        options.deviceRoot = root;
        options.fileSizeLimit = fileSizeLimit;
        const Outcome outcome = RunQuellix(arguments, options);
        EXPECT_TRUE(EndedWith(outcome, 0, log));
        return outcome.output;
    }
    int EncapsulatedExchanges() { return CountExchanges(ReadText(log), kEncapsulated); }
    size_t WorkEntries() const {
        const std::filesystem::directory_iterator entries(work);
        return static_cast<size_t>(std::distance(begin(entries), end(entries)));
    }

    Simulator simulator;
};

TEST_P(E2eTest, ReadOutWritesTheTableWords) {
    StartSimulator();
    EXPECT_EQ(Run({}), "");
    const Bytes current = ReadBytes(table);
    ASSERT_EQ(current.size(), 110u);
    EXPECT_EQ(ReadText(work / "calibfrombios.bin"), TextFor(current));
    EXPECT_EQ(WorkEntries(), 1u);
}

TEST_P(E2eTest, WriteBackStoresTheWordsAndNothingElse) {
    StartSimulator();
    const Bytes before = ReadBytes(table);
    WriteText(work / "new.txt",
              "0001 0002 0003 0004 0005 0006 0007 0008\r\n"
              "ABCD EF01 2345 6789 0a0b 0C0D fffe 7fff\r\n");
    EXPECT_EQ(Run({"-debug", "-calibfile", "new.txt"}), "");

    Bytes expected = before;
    const uint16_t words[16] = {1,      2,      3,      4,      5,      6,      7,      8,
                                0xABCD, 0xEF01, 0x2345, 0x6789, 0x0A0B, 0x0C0D, 0xFFFE, 0x7FFF};
    for (int i = 0; i < 16; ++i) {
        expected[5 + 2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
        expected[6 + 2 * i] = static_cast<uint8_t>(words[i] >> 8);
    }
    EXPECT_EQ(ReadBytes(table), expected);
}

TEST_P(E2eTest, RoundTripChangesTheWords) {
    StartSimulator();
    Run({});
    const std::string first = ReadText(work / "calibfrombios.bin");
    ASSERT_EQ(first.size(), 80u);

    // A technician's edit: every digit moved on by one, in upper case.
    std::string edited = first;
    for (char& c : edited) {
        if (c != ' ') {
            c = "123456789ABCDEF0"[c <= '9' ? c - '0' : c - 'a' + 10];
        }
    }
    WriteText(work / "edited.txt", edited);
    EXPECT_EQ(Run({"-debug", "-calibfile", "edited.txt"}), "");

    std::filesystem::remove(work / "calibfrombios.bin");
    EXPECT_EQ(Run({"-debug"}), "");
    std::string lower = edited;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(ReadText(work / "calibfrombios.bin"), lower);
    EXPECT_NE(lower, first);
}

TEST_P(E2eTest, ReadtestDumpsBothWays) {
    const Bytes custom = CustomTable();
    WriteBytes(table, custom);
    StartSimulator();
    EXPECT_EQ(Run({"-readtest"}), "");
    EXPECT_EQ(ReadBytes(work / "atoa.txt"), TextMode(custom));
    EXPECT_EQ(ReadBytes(work / "atoa.txt").size(), 113u);
    EXPECT_EQ(ReadText(work / "calibfrombios.bin"), TextFor(custom));

    EXPECT_EQ(Run({"-calibfile", "calibfrombios.bin", "-readtest", "-debug"}), "");
    Bytes image(110, 0);
    image[0] = 0x02;
    std::copy(custom.begin() + 5, custom.begin() + 37, image.begin() + 1);
    EXPECT_EQ(ReadBytes(work / "maet.txt"), TextMode(image));
    EXPECT_EQ(ReadBytes(table), custom);  // the same words written back
}

TEST_P(E2eTest, BadHeaderKeepsTheOldFile) {
    StartSimulator({"--fault", "bad-header"});
    WriteText(work / "calibfrombios.bin", "an earlier read-out");
    EXPECT_EQ(Run({"-debug", "-readtest"}), "Quellix: Invalid Table5 Data (No Calibration data)\n");
    EXPECT_EQ(ReadText(work / "calibfrombios.bin"), "an earlier read-out");
    EXPECT_TRUE(std::filesystem::exists(work / "atoa.txt"));  // dumped before the test
}

TEST_P(E2eTest, BusyDriverIsAskedOnceMore) {
    StartSimulator({"--busy", "1"});
    std::string text;
    for (int i = 0; i < 16; ++i) {
        text += "00" + std::to_string(10 + i) + "\n";
    }
    WriteText(work / "words.txt", text);
    EXPECT_EQ(Run({"-debug", "-calibfile", "words.txt"}), "");
    EXPECT_EQ(ReadBytes(table)[5], 0x10);
    EXPECT_EQ(ReadBytes(table)[35], 0x25);
    EXPECT_EQ(EncapsulatedExchanges(), 4);  // subfunction 0 twice, then 1 and 2
}

TEST_P(E2eTest, DriverBusyTwiceIsRegistryWriteError) {
    StartSimulator({"--busy", "2"});
    const Bytes before = ReadBytes(table);
    WriteText(work / "edited.txt",
              "1111 2222 3333 4444 5555 6666 7777 8888 "
              "9999 aaaa bbbb cccc dddd eeee ffff 0000 ");
    EXPECT_EQ(Run({"-debug", "-calibfile", "edited.txt"}), "Quellix: Registry Write Error\n");
    EXPECT_EQ(ReadBytes(table), before);
}

TEST_P(E2eTest, RefusedCommitIsRegistryWriteError) {
    StartSimulator({"--fault", "status=2:9"});
    const Bytes before = ReadBytes(table);
    Run({});
    std::string text = ReadText(work / "calibfrombios.bin");
    text[0] = text[0] == 'f' ? '0' : 'f';
    WriteText(work / "edited.txt", text);
    EXPECT_EQ(Run({"-debug", "-calibfile", "edited.txt"}), "Quellix: Registry Write Error\n");
    EXPECT_EQ(ReadBytes(table), before);
}

TEST_P(E2eTest, NoDevice) {
    // No simulator: the root holds no device.
    EXPECT_EQ(Run({"-readtest", "-debug"}), "Quellix: Failed to open Misc Driver\n");
    EXPECT_EQ(Run({}), "");
    EXPECT_TRUE(std::filesystem::is_empty(work));
}

TEST_P(E2eTest, BadArguments) {
    StartSimulator();
    EXPECT_EQ(Run({"-debug", "-calibfile"}), "Quellix: Invalid Argument\n");
    EXPECT_EQ(Run({"-calibfile", "-debug"}), "");  // parsing stopped before -debug
    EXPECT_EQ(Run({"/debug", "-debug"}), "Quellix: Invalid Argument\n");
    EXPECT_EQ(Run({"-debug", "-calibfile", std::string(260, 'n')}), "Quellix: Invalid Argument\n");
    EXPECT_EQ(EncapsulatedExchanges(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(work));
}

// A failed write must not destroy the previous read-out nor be reported as done.
TEST_P(E2eTest, WriteFailureKeepsTheOldFile) {
    if (UnderRunner()) {
        GTEST_SKIP() << "needs a file-size limit, which would bind the runner and Wine too";
    }
    StartSimulator();
    const std::string old = "a good earlier read-out, longer than what may now be written";
    WriteText(work / "calibfrombios.bin", old);
    for (long limit : {0L, 40L, 79L}) {
        EXPECT_EQ(Run({"-debug"}, limit), "Quellix: Failed to Open Binary file\n") << limit;
        EXPECT_EQ(ReadText(work / "calibfrombios.bin"), old) << limit;
        EXPECT_EQ(WorkEntries(), 1u) << limit;
    }
    // With room for the 80 bytes it works.
    EXPECT_EQ(Run({"-debug"}, 80), "");
    EXPECT_EQ(ReadText(work / "calibfrombios.bin"), TextFor(ReadBytes(table)));
}

// What another user plants in the folder: a link, a FIFO, a folder at the old
// fixed temporary name, a link named calibfrombios.bin. Nothing is written through,
// nothing hangs, nothing planted is removed, and the read-out works.
TEST_P(E2eTest, PlantedNamesAreNeitherFollowedNorRemoved) {
    StartSimulator();
    const std::filesystem::path outside = temp.path() / "outside",
                                planted = work / "calibfrombios.bin.tmp";
    WriteText(outside, "not ours");
    std::filesystem::create_symlink(outside, work / "calibfrombios.bin");
    for (int kind = 0; kind < 3; ++kind) {
        if (kind == 0) {
            std::filesystem::create_symlink(outside, planted);
        } else if (kind == 1) {
            ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
        } else {
            std::filesystem::create_directory(planted);
        }
        EXPECT_EQ(Run({"-debug"}), "") << kind;
        EXPECT_EQ(ReadText(outside), "not ours") << kind;
        EXPECT_TRUE(std::filesystem::is_regular_file(
            std::filesystem::symlink_status(work / "calibfrombios.bin")));
        EXPECT_EQ(ReadText(work / "calibfrombios.bin"), TextFor(ReadBytes(table))) << kind;
        EXPECT_EQ(WorkEntries(), 2u) << kind;
        std::filesystem::remove(planted);
    }
}

// Runs in one folder against two devices at once all succeed and leave one file.
TEST_P(E2eTest, ConcurrentRunsInOneFolder) {
    StartSimulator();
    Workspace second;
    Simulator secondSimulator;
    WriteBytes(second.table, CustomTable());
    std::vector<std::string> arguments;
    if (GetParam() == Mode::Plain) {
        arguments.push_back("--no-encryption");
    }
    ASSERT_TRUE(secondSimulator.Start(second.root, second.table, second.log, arguments));
    for (int round = 0; round < 8; ++round) {
        auto other = std::async(std::launch::async, [&] {
            RunOptions options;
            options.workFolder = work;
            options.deviceRoot = second.root;
            return RunQuellix({"-debug"}, options);
        });
        EXPECT_EQ(Run({"-debug"}), "") << round;
        const Outcome secondRun = other.get();
        EXPECT_TRUE(EndedWith(secondRun, 0, second.log)) << round;
        EXPECT_EQ(secondRun.output, "") << round;
        const std::string text = ReadText(work / "calibfrombios.bin");
        EXPECT_TRUE(text == TextFor(ReadBytes(table)) || text == TextFor(CustomTable())) << round;
        EXPECT_EQ(WorkEntries(), 1u) << round;
    }
    EXPECT_TRUE(secondSimulator.Stop());
}

// A calibfrombios.bin that the user may not write is kept. Root may write any file,
// so when the tests run as root the Linux program runs as nobody. A Windows program
// keeps a file with the read-only attribute, which Wine gives a file without write
// bits whoever runs it; Wine itself cannot run as nobody in root's prefix.
TEST_P(E2eTest, ReadOnlyFileIsKept) {
    StartSimulator();
    RunOptions options;
    options.workFolder = work;
    options.deviceRoot = root;
    if (geteuid() == 0 && !UnderRunner()) {
        options.uid = 65534;
        std::filesystem::permissions(temp.path(), std::filesystem::perms::all);
        ASSERT_EQ(chown(work.c_str(), 65534, 65534), 0);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            ASSERT_EQ(chown(entry.path().c_str(), 65534, 65534), 0);
        }
    }
    for (bool readOnly : {true, false}) {
        WriteText(work / "calibfrombios.bin", "an earlier read-out");
        ASSERT_EQ(chmod((work / "calibfrombios.bin").c_str(), readOnly ? 0444 : 0666), 0);
        EXPECT_EQ(RunQuellix({"-debug"}, options).output,
                  readOnly ? "Quellix: Failed to Open Binary file\n" : "");
        EXPECT_EQ(ReadText(work / "calibfrombios.bin"),
                  readOnly ? "an earlier read-out" : TextFor(ReadBytes(table)));
        EXPECT_EQ(WorkEntries(), 1u);
    }
}

// Without a readable /proc (a container, a namespace) the arguments still count.
TEST_P(E2eTest, ArgumentsWithoutProc) {
    if (UnderRunner()) {
        GTEST_SKIP() << "the Linux program's own argument passing: a Windows program reads "
                        "GetCommandLineW, and Wine needs /proc to run at all";
    }
    RunOptions options;
    options.workFolder = work;
    options.deviceRoot = root;
    options.hideProc = true;
    const Outcome outcome = RunQuellix({"-bogus", "-debug"}, options);
    if (outcome.exitCode == 125) {
        GTEST_SKIP() << "no mount namespace here";
    }
    // A sanitizer build's runtime adds its own complaints about the missing /proc.
    EXPECT_NE(outcome.output.find("Quellix: Invalid Argument\n"), std::string::npos)
        << outcome.output;
}

// A file that cannot give 16 words must never reach the driver.
TEST_P(E2eTest, PartialFileIsRefusedBeforeTheDriver) {
    StartSimulator();
    const Bytes before = ReadBytes(table);
    const std::string whole =
        "0001 0002 0003 0004 0005 0006 0007 0008 0009 000a 000b 000c 000d 000e 000f 0258 ";
    const std::string bad[] = {"", "0001 0002 0003",
                               "0001 0002 0003 zz 0005 0006 0007 0008 "
                               "0009 000a 000b 000c 000d 000e 000f 0010",
                               // a copy cut short inside its last group
                               whole.substr(0, 76), whole.substr(0, 77), whole.substr(0, 78)};
    for (const std::string& text : bad) {
        WriteText(work / "bad.txt", text);
        EXPECT_EQ(Run({"-debug", "-readtest", "-calibfile", "bad.txt"}),
                  "Quellix: Failed to Open Binary file\n")
            << text;
    }
    EXPECT_EQ(Run({"-debug", "-calibfile", "missing.txt"}),
              "Quellix: Failed to Open Binary file\n");
    EXPECT_EQ(EncapsulatedExchanges(), 0);
    EXPECT_EQ(ReadBytes(table), before);
    EXPECT_FALSE(std::filesystem::exists(work / "maet.txt"));
}

// Only a regular file is read as a calibration file, and anything else is refused at
// once, before anything is sent: a FIFO or a device could keep the read waiting for
// good, holding the driver's only handle. A device name means a device only to a
// Windows program, and a FIFO would hold Wine's own open.
TEST_P(E2eTest, OnlyAFileIsReadAsCalibrationFile) {
    StartSimulator();
    ASSERT_EQ(mkfifo((work / "fifo").c_str(), 0666), 0);
    std::filesystem::create_directory(work / "folder");
    const struct {
        const char* name;
        bool windowsName;
    } cases[] = {{"fifo", false}, {"/dev/null", false}, {"/dev/zero", false}, {"folder", false},
                 {"COM1", true},  {"CON", true},        {"NUL", true}};
    for (const auto& c : cases) {
        if (c.windowsName == UnderRunner()) {
            EXPECT_EQ(Run({"-debug", "-calibfile", c.name}),
                      "Quellix: Failed to Open Binary file\n")
                << c.name;
        }
    }
    EXPECT_EQ(EncapsulatedExchanges(), 0);
}

TEST_P(E2eTest, NonAsciiFileName) {
    StartSimulator();
    const std::string name = "\xd0\xba\xd0\xb0\xd0\xbb\xd0\xb8\xd0\xb1\xe2\x82\xac.txt";
    WriteText(work / name,
              "00aa 00bb 00cc 00dd 00ee 00ff 0011 0022 "
              "0033 0044 0055 0066 0077 0088 0099 00a0");
    EXPECT_EQ(Run({"-debug", "-calibfile", name}), "");
    EXPECT_EQ(ReadBytes(table)[5], 0xAA);
    EXPECT_EQ(ReadBytes(table)[35], 0xA0);
}

// A name that is not UTF-8 opens that file, not the one that a lossy
// conversion would name (U+FFFD in UTF-8).
TEST_P(E2eTest, FileNameThatIsNotUtf8OpensThatFile) {
    if (UnderRunner()) {
        GTEST_SKIP() << "Windows names are UTF-16: Wine hands the program U+FFFD for the byte, "
                        "so no Windows program can name this file";
    }
    StartSimulator();
    WriteText(work / "\xff",
              "1111 2222 3333 4444 5555 6666 7777 8888 "
              "9999 aaaa bbbb cccc dddd eeee ffff 0101");
    WriteText(work / "\xef\xbf\xbd",
              "dead dead dead dead dead dead dead dead "
              "dead dead dead dead dead dead dead dead");
    EXPECT_EQ(Run({"-debug", "-calibfile", "\xff"}), "");
    const Bytes stored = ReadBytes(table);
    EXPECT_EQ(stored[5], 0x11);
    EXPECT_EQ(stored[8], 0x22);
    EXPECT_EQ(stored[36], 0x01);
}

// -exitcode: the process exit code is the run's result, for scripts.
TEST_P(E2eTest, ExitcodeReportsTheResult) {
    StartSimulator({"--busy", "2"});
    WriteText(work / "words.txt",
              "1111 2222 3333 4444 5555 6666 7777 8888 "
              "9999 aaaa bbbb cccc dddd eeee ffff 0000 ");
    RunOptions options;
    options.workFolder = work;
    options.deviceRoot = root;
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
    } cases[] = {
        {{"-calibfile", "words.txt", "-exitcode"}, 5},  // busy twice
        {{"-exitcode"}, 0},
        {{"-exitcode", "-calibfile", "missing.txt"}, 12},
        {{"-bogus", "-exitcode"}, 6},
        // -exitcode counts even where parsing stopped: an empty variable in
        // "-calibfile %CAL% -exitcode" must not read as success.
        {{"-calibfile", "-exitcode"}, 6},
        {{"-backup", "-exitcode"}, 6},
    };
    for (const auto& c : cases) {
        const Outcome outcome = RunQuellix(c.arguments, options);
        EXPECT_TRUE(EndedWith(outcome, c.exitCode, log)) << testing::PrintToString(c.arguments);
        EXPECT_EQ(outcome.output, "") << testing::PrintToString(c.arguments);
    }
    options.deviceRoot = work / "no-devices";
    EXPECT_TRUE(EndedWith(RunQuellix({"-exitcode"}, options), 7));
}

const char kNewWords[] =
    "0001 0002 0003 0004 0005 0006 0007 0008 0009 000a 000b 000c 000d 000e 000f 0258 ";

// Table 5's words as the calibration text, from the simulator's table file.
std::string TableText(const std::filesystem::path& table) {
    return TextFor(ReadBytes(table));
}

// -verify reads the table back: a driver that accepts the three steps and keeps
// nothing, or keeps a changed word, is caught. Without -verify no read is made.
TEST_P(E2eTest, VerifyCatchesAWriteThatWasNotKept) {
    const struct {
        const char* fault;
        bool verify;
        int exitCode;
    } cases[] = {
        {nullptr, true, 0},
        {"lost-write", true, 5},
        {"changed-word", true, 5},
        {"lost-write", false, 0},
    };
    WriteText(work / "new.txt", kNewWords);
    RunOptions options;
    options.workFolder = work;
    options.deviceRoot = root;
    for (const auto& c : cases) {
        const std::string name = c.fault != nullptr ? c.fault : "no fault";
        WriteBytes(table, CustomTable());
        StartSimulator(c.fault != nullptr ? std::vector<std::string>{"--fault", c.fault}
                                          : std::vector<std::string>{});
        std::vector<std::string> arguments = {"-calibfile", "new.txt", "-exitcode", "-debug"};
        if (c.verify) {
            arguments.push_back("-verify");
        }
        const int exchangesBefore = EncapsulatedExchanges();
        const Outcome outcome = RunQuellix(arguments, options);
        EXPECT_EQ(outcome.exitCode, c.exitCode) << name;
        EXPECT_EQ(outcome.output, c.exitCode == 0 ? "" : "Quellix: Registry Write Error\n") << name;
        EXPECT_EQ(EncapsulatedExchanges() - exchangesBefore, c.verify ? 4 : 3) << name;
        EXPECT_EQ(TableText(table) == kNewWords, c.fault == nullptr) << name;
        EXPECT_TRUE(simulator.Stop()) << name;
    }
    // With a read-out, -verify changes nothing.
    StartSimulator();
    EXPECT_EQ(Run({"-verify", "-debug"}), "");
    EXPECT_EQ(ReadText(work / "calibfrombios.bin"), TableText(table));
}

// -backup keeps what the BIOS held before anything is sent, and a read-out can be
// written to any file; a backup that fails stops the write-back.
TEST_P(E2eTest, BackupKeepsTheOldWordsFirst) {
    WriteBytes(table, CustomTable());
    StartSimulator();
    const std::filesystem::path folder = work / "per machine";
    std::filesystem::create_directory(folder);
    WriteText(work / "new.txt", kNewWords);
    WriteText(folder / "old.txt", "an older backup");
    const std::string backup = (folder / "old.txt").string();

    EXPECT_EQ(Run({"-debug", "-calibfile", "new.txt", "-backup", backup, "-verify"}), "");
    EXPECT_EQ(ReadText(folder / "old.txt"), TextFor(CustomTable()));
    EXPECT_EQ(TableText(table), kNewWords);

    // A read-out to the file named, with its temporary in that file's folder.
    EXPECT_EQ(Run({"-backup", backup}), "");
    EXPECT_EQ(ReadText(folder / "old.txt"), kNewWords);
    EXPECT_FALSE(std::filesystem::exists(work / "calibfrombios.bin"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);

    // Nothing is sent when the backup cannot be made; bad names are refused.
    const int exchangesBefore = EncapsulatedExchanges();
    EXPECT_EQ(Run({"-debug", "-calibfile", "new.txt", "-backup", "missing/old.txt"}),
              "Quellix: Failed to Open Binary file\n");
    EXPECT_EQ(EncapsulatedExchanges() - exchangesBefore, 1);  // the backup's read only
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"-calibfile", "new.txt", "-backup", "-debug"},
          {"-backup", std::string(260, 'n'), "-debug"},
          {"-debug", "-backup"}}) {
        EXPECT_EQ(Run(arguments), "Quellix: Invalid Argument\n");
    }
    EXPECT_EQ(EncapsulatedExchanges() - exchangesBefore, 1);
    EXPECT_TRUE(simulator.Stop());

    WriteText(work / "changed.txt",
              "0000 0000 0000 0000 0000 0000 0000 0000 "
              "0000 0000 0000 0000 0000 0000 0000 0000");
    StartSimulator({"--fault", "bad-header"});
    EXPECT_EQ(Run({"-debug", "-calibfile", "changed.txt", "-backup", backup}),
              "Quellix: Invalid Table5 Data (No Calibration data)\n");
    EXPECT_EQ(TableText(table), kNewWords);
    EXPECT_EQ(ReadText(folder / "old.txt"), kNewWords);
}

// The usage, for each way of asking: nothing else happens, no driver is looked for.
TEST_P(E2eTest, HelpShowsTheUsageOnly) {
    RunOptions options;
    options.workFolder = work;
    options.deviceRoot = work / "no-devices";
    for (const char* help : {"-help", "--help", "-?", "/?"}) {
        const Outcome outcome = RunQuellix({"-exitcode", "-calibfile", help, "-readtest"}, options);
        EXPECT_EQ(outcome.exitCode, 0) << help;
        // Under Wine the box's text is seen in a trace that shortens it.
        const std::string first =
            std::string(UnderRunner() ? "Quellix: " : "") + "Quellix " + QUELLIX_VERSION + ": ";
        EXPECT_EQ(outcome.output.compare(0, first.size(), first), 0) << outcome.output;
        if (!UnderRunner()) {
            for (const char* line : {"\n-calibfile FILE ", "\n-backup FILE ", "\n-verify ",
                                     "\n-exitcode ", "\n-readtest ", "\n-debug ", "\n-help",
                                     "\n 5 Registry Write Error\n", "\n12 Failed to Open"}) {
                EXPECT_NE(outcome.output.find(line), std::string::npos) << line;
            }
        }
        EXPECT_TRUE(std::filesystem::is_empty(work)) << help;
    }
}

// What Windows writes: PowerShell 5.1's UTF-16 LE with a byte-order mark and a line
// break, Notepad's UTF-8 mark; text that is not plain ASCII is refused.
TEST_P(E2eTest, ByteOrderMarksAreDecoded) {
    StartSimulator();
    const std::string text = std::string(kNewWords) + "\r\n";
    std::string le = "\xff\xfe", be = "\xfe\xff";
    for (char c : text) {
        le += std::string{c, '\0'};
        be += std::string{'\0', c};
    }
    const struct {
        const char* name;
        std::string bytes;
        bool accepted;
    } cases[] = {
        {"utf-16le", le, true},
        {"utf-16be", be, true},
        {"utf-8", "\xef\xbb\xbf" + text, true},
        {"utf-16le not ascii", le.substr(0, 12) + "\xe9\x00" + le.substr(14), false},
        {"utf-16le cut in its last group", le.substr(0, 2 + 2 * 78), false},
    };
    for (const auto& c : cases) {
        WriteBytes(table, CustomTable());
        WriteBytes(work / "file.txt", Bytes(c.bytes.begin(), c.bytes.end()));
        EXPECT_EQ(Run({"-debug", "-calibfile", "file.txt"}),
                  c.accepted ? "" : "Quellix: Failed to Open Binary file\n")
            << c.name;
        EXPECT_EQ(TableText(table), c.accepted ? kNewWords : TextFor(CustomTable())) << c.name;
    }
}

// Without --trace the simulator writes nothing: a whole run leaves its log empty.
TEST_P(E2eTest, SimulatorWithoutTraceIsQuiet) {
    const std::vector<std::string> arguments = GetParam() == Mode::Plain
                                                   ? std::vector<std::string>{"--no-encryption"}
                                                   : std::vector<std::string>{};
    ASSERT_TRUE(simulator.Start(root, table, log, arguments)) << ReadText(log);
    EXPECT_EQ(Run({}), "");
    EXPECT_EQ(ReadText(work / "calibfrombios.bin"), TextFor(ReadBytes(table)));
    EXPECT_EQ(ReadText(log), "");
}

// The simulator serves only a complete interface and only options it understands:
// a DriverVersion it cannot write (a folder in the way, a full disk) or a bad
// option stops it before it listens.
TEST(E2eSimulatorStart, RefusedWithoutItsVersionOrWithABadOption) {
    enum class Version { Writable, Folder, FullDisk };
    const struct {
        Version version;
        std::vector<std::string> arguments;
        const char* says;
    } rows[] = {{Version::Folder, {}, "cannot write"},
                {Version::FullDisk, {}, "cannot write"},
                {Version::Writable, {"--busy", "x"}, "usage"},
                {Version::Writable, {"--bogus"}, "usage"}};
    for (const auto& row : rows) {
        Workspace w;
        const std::filesystem::path folder =
            w.root / "{80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}" / "misc0";
        std::filesystem::create_directories(folder);
        if (row.version == Version::FullDisk) {
            std::filesystem::create_symlink("/dev/full", folder / "DriverVersion");
        } else if (row.version == Version::Folder) {
            std::filesystem::create_directory(folder / "DriverVersion");
        }
        Simulator simulator;
        EXPECT_FALSE(simulator.Start(w.root, w.table, w.log, row.arguments)) << row.says;
        EXPECT_NE(ReadText(w.log).find(row.says), std::string::npos) << ReadText(w.log);
        EXPECT_FALSE(std::filesystem::exists(folder / "device")) << row.says;
    }
}

INSTANTIATE_TEST_SUITE_P(Plain, E2eTest, ::testing::Values(Mode::Plain));
INSTANTIATE_TEST_SUITE_P(Encrypted, E2eTest, ::testing::Values(Mode::Encrypted));

}  // namespace
}  // namespace e2e
