// End-to-end support: the real quellix program against the real simulated misc
// driver, each test in its own temporary folder. Every child process is bounded
// by a timeout and always reaped.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

using Bytes = std::vector<uint8_t>;

// The misc driver's control codes, for CountExchanges.
constexpr uint32_t kSession = 0x222000;
constexpr uint32_t kCloseSession = 0x222004;
constexpr uint32_t kEncapsulated = 0x222008;

// A folder under the temporary directory, removed with everything in it.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// One test's places in its own TempFolder: the device root and quellix's work
// folder (both created), the simulator's table file and its log.
struct Workspace {
    Workspace();
    TempFolder temp;
    std::filesystem::path root, work, table, log;
};

// What a finished child process left.
struct Outcome {
    bool exited = false;  // ended by exit, not by a signal or the timeout
    int exitCode = -1;
    bool timedOut = false;
    std::string output;     // stdout and stderr together
    std::string runnerLog;  // what a runner saw of its own set-up (QUELLIX_WINE_RUN_LOG)
};

struct RunOptions {
    std::filesystem::path workFolder;  // the current directory of the child
    std::filesystem::path deviceRoot;  // MISC_DEVICE_ROOT
    long fileSizeLimit = -1;           // RLIMIT_FSIZE in bytes, SIGXFSZ ignored; -1 none
    int uid = -1;                      // run as this user and group (from root); -1 as we are
    bool hideProc = false;             // an empty /proc (own mount namespace); exit 125 if not
    int timeoutMs = 20000;
};

// Runs quellix with these arguments (after the program path) and waits for it.
//
// The program is the Linux quellix of this build, unless QUELLIX_E2E_PROGRAM names
// another one (quellix.exe, say); QUELLIX_E2E_RUNNER, when set, is a command that is
// given the program and its arguments to run (scripts/wine-run.sh runs a Windows
// program under Wine against the devices under MISC_DEVICE_ROOT). The child and
// whatever it starts form a process group, which a timeout ends as a whole.
Outcome RunQuellix(const std::vector<std::string>& arguments, const RunOptions& options);

// The same for device-probe (tests/e2e/device_probe.cpp), the platform layer's driver
// path step by step; QUELLIX_E2E_PROBE names the one to run through a runner, and
// without it there is none (ProbeAvailable() is false).
Outcome RunProbe(const std::vector<std::string>& arguments, const RunOptions& options);
bool ProbeAvailable();

// True when the program runs through QUELLIX_E2E_RUNNER. A run with a file-size
// limit cannot: the limit would bind the runner and Wine's own files as well, so a
// test that needs one skips itself under a runner (and RunQuellix refuses one).
bool UnderRunner();

// The simulated driver, started in a root folder; stopped (SIGTERM, then SIGKILL
// if it lingers) and reaped by Stop or the destructor. Its stderr goes to a log.
class Simulator {
  public:
    Simulator() = default;
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Starts `misc-driver-sim --root root --table table [arguments]` and waits for
    // its "ready" line. False when it does not come up in time.
    bool Start(const std::filesystem::path& root, const std::filesystem::path& table,
               const std::filesystem::path& log, const std::vector<std::string>& arguments);
    // Stops the simulator; true when it ended by itself after SIGTERM.
    bool Stop();

  private:
    pid_t pid_ = -1;
};

// For a failure message: how the run ended, everything it printed (a runner's own
// complaints included), and the last lines of the simulator's log when one is named.
std::string Describe(const Outcome& outcome, const std::filesystem::path& simulatorLog = {});

// Success when the run ended by itself with this exit code; otherwise Describe.
testing::AssertionResult EndedWith(const Outcome& outcome, int exitCode,
                                   const std::filesystem::path& simulatorLog = {});

// Whole-file helpers.
Bytes ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);
std::string ReadText(const std::filesystem::path& path);
void WriteText(const std::filesystem::path& path, const std::string& text);

// Lines of a simulator log that record an exchange with this I/O-control code.
int CountExchanges(const std::string& log, uint32_t code);

}  // namespace e2e
