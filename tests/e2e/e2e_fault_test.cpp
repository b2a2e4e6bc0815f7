// Faults injected into the quellix program itself (tests/e2e/fault_shim.c): an
// interrupted system call at each place that retries one, and a failed heap
// allocation at each allocation of a read-out and a write-back. Every run ends by
// itself, in time, with a result of the program's table, and reports success only
// for work that was done.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "tests/e2e/e2e_support.h"

namespace e2e {
namespace {

const char kOld[] = "an earlier read-out";

class FaultTest : public ::testing::Test, protected Workspace {
  protected:
    void SetUp() override {
#ifndef FAULT_SHIM_LIBRARY
        GTEST_SKIP() << "no fault injector in a sanitizer build";
#else
        if (UnderRunner()) {
            GTEST_SKIP() << "the injector is preloaded into the Linux program";
        }
        ASSERT_TRUE(simulator.Start(root, table, log, {"--trace"})) << ReadText(log);
#endif
    }

    // Runs quellix with the faults of the injector's QUELLIX_FAULTS.
    Outcome RunWith(const std::string& faults, const std::vector<std::string>& arguments,
                    const std::string& countFile = "") {
#ifdef FAULT_SHIM_LIBRARY
        setenv("LD_PRELOAD", FAULT_SHIM_LIBRARY, 1);
#endif
        setenv("QUELLIX_FAULTS", faults.c_str(), 1);
        setenv("QUELLIX_FAULT_COUNT", countFile.c_str(), 1);
        RunOptions options;
        options.workFolder = work;
        options.deviceRoot = root;
        options.timeoutMs = 15000;
        const Outcome outcome = RunQuellix(arguments, options);
        unsetenv("LD_PRELOAD");
        unsetenv("QUELLIX_FAULTS");
        unsetenv("QUELLIX_FAULT_COUNT");
        return outcome;
    }

    // A temporary of the read-out left in the work folder.
    bool StrayTemporary() const {
        for (const auto& entry : std::filesystem::directory_iterator(work)) {
            if (entry.path().extension() == ".tmp") {
                return true;
            }
        }
        return false;
    }

    // Allocations of one run without faults.
    long AllocationsOf(const std::vector<std::string>& arguments) {
        const Outcome outcome = RunWith("", arguments, (temp.path() / "count").string());
        EXPECT_TRUE(EndedWith(outcome, 0, log));
        return std::atol(ReadText(temp.path() / "count").c_str());
    }

    Simulator simulator;
};

TEST_F(FaultTest, PersistentInterruptionEndsWithinTheDeadline) {
    const std::string eintr = std::to_string(EINTR);
    const struct {
        std::string faults;
        bool writeBack;
        int exitCode;
    } cases[] = {
        {"connect:" + eintr, false, 7},
        {"poll:" + eintr, false, 7},
        {"recv:" + eintr + ":socket", false, 7},
        {"read:" + eintr + ":DriverVersion", false, 7},
        {"open:" + eintr + ":words.txt", true, 12},
        {"read:" + eintr + ":words.txt", true, 12},
        {"open:" + eintr + ":calib", false, 12},
        {"write:" + eintr + ":calib", false, 12},
        {"fsync:" + eintr + ":calib", false, 12},
        {"rename:" + eintr + ":calibfrombios", false, 12},
        // The pause between attempts at a file that looks held.
        {"rename:" + std::to_string(EACCES) + ":calibfrombios;nanosleep:" + eintr, false, 12},
        {"unlink:" + eintr + ":calib;rename:" + std::to_string(EIO), false, 12},
        // An interrupted close has closed the file all the same.
        {"close:" + eintr + ":calib", false, 0},
    };
    const std::string words =
        "0102 0304 0506 0708 090a 0b0c 0d0e 0f10 "
        "1112 1314 1516 1718 191a 1b1c 1d1e 1f20";
    WriteText(work / "words.txt", words);
    for (const auto& c : cases) {
        const Bytes before = ReadBytes(table);
        WriteText(work / "calibfrombios.bin", kOld);
        const Outcome outcome = RunWith(
            c.faults, c.writeBack ? std::vector<std::string>{"-exitcode", "-calibfile", "words.txt"}
                                  : std::vector<std::string>{"-exitcode"});
        EXPECT_TRUE(EndedWith(outcome, c.exitCode, log)) << c.faults;
        EXPECT_EQ(ReadBytes(table), before) << c.faults;
        EXPECT_EQ(ReadText(work / "calibfrombios.bin") == kOld, c.exitCode != 0) << c.faults;
        // Only a temporary that could not be removed stays.
        EXPECT_EQ(StrayTemporary(), c.faults.rfind("unlink", 0) == 0) << c.faults;
        for (const auto& entry : std::filesystem::directory_iterator(work)) {
            if (entry.path().extension() == ".tmp") {
                std::filesystem::remove(entry.path());
            }
        }
    }
}

// Each allocation from main's start fails once. Success must mean the work was done.
TEST_F(FaultTest, EveryAllocationFailureGivesAResult) {
    const std::set<int> readOutResults = {0, 2, 6, 7, 12}, writeBackResults = {0, 5, 6, 7, 12};
    const long readOut = AllocationsOf({"-exitcode"});
    RecordProperty("read-out allocations", static_cast<int>(readOut));
    const std::string expected = ReadText(work / "calibfrombios.bin");
    ASSERT_EQ(expected.size(), 80u);
    for (long n = 1; n <= readOut; ++n) {
        WriteText(work / "calibfrombios.bin", kOld);
        const Outcome outcome = RunWith("alloc:" + std::to_string(n), {"-exitcode"});
        ASSERT_TRUE(outcome.exited) << n << Describe(outcome, log);
        EXPECT_EQ(readOutResults.count(outcome.exitCode), 1u) << n << Describe(outcome, log);
        EXPECT_EQ(ReadText(work / "calibfrombios.bin"), outcome.exitCode == 0 ? expected : kOld)
            << n;
        EXPECT_FALSE(StrayTemporary()) << n;
    }
    const std::vector<std::string> writeBack = {"-exitcode", "-calibfile", "words.txt"};
    WriteText(work / "words.txt",
              "0000 0000 0000 0000 0000 0000 0000 0000 "
              "0000 0000 0000 0000 0000 0000 0000 0000");
    const long written = AllocationsOf(writeBack);
    RecordProperty("write-back allocations", static_cast<int>(written));
    for (long n = 1; n <= written; ++n) {
        // Words of this run only: a success that wrote nothing cannot pass for one.
        char word[24];
        std::snprintf(word, sizeof word, "%04lx ", n & 0xFFFF);
        std::string text;
        for (int i = 0; i < 16; ++i) {
            text += word;
        }
        WriteText(work / "words.txt", text);
        const Outcome outcome = RunWith("alloc:" + std::to_string(n), writeBack);
        ASSERT_TRUE(outcome.exited) << n << Describe(outcome, log);
        EXPECT_EQ(writeBackResults.count(outcome.exitCode), 1u) << n << Describe(outcome, log);
        const Bytes now = ReadBytes(table);
        if (outcome.exitCode == 0) {
            EXPECT_EQ(now[5] | now[6] << 8, n & 0xFFFF) << n;
        }
    }
}

}  // namespace
}  // namespace e2e
