#include "tests/e2e/e2e_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until pid ends or the deadline passes. True, with its status, when it
// ended. Polls a pidfd when the kernel has them, else checks every few ms.
bool WaitUntil(pid_t pid, Clock::time_point deadline, int* status) {
#ifdef SYS_pidfd_open
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    const int pidfd = -1;
#endif
    for (;;) {
        const pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            if (pidfd >= 0) {
                close(pidfd);
            }
            return done == pid;
        }
        const int left = RemainingMs(deadline);
        if (left == 0) {
            if (pidfd >= 0) {
                close(pidfd);
            }
            return false;
        }
        if (pidfd >= 0) {
            pollfd fd = {pidfd, POLLIN, 0};
            poll(&fd, 1, left);
        } else {
            poll(nullptr, 0, left < 5 ? left : 5);
        }
    }
}

// Ends pid for good: SIGKILL and reap.
void Kill(pid_t pid) {
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) {
        pointers.push_back(&s[0]);
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The environment of the parent with MISC_DEVICE_ROOT replaced and, when there is
// one, the runner's log named.
std::vector<std::string> Environment(const std::filesystem::path& deviceRoot,
                                     const std::string& runnerLog) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "MISC_DEVICE_ROOT=", 17) != 0 &&
            std::strncmp(*e, "QUELLIX_WINE_RUN_LOG=", 21) != 0) {
            env.emplace_back(*e);
        }
    }
    env.push_back("MISC_DEVICE_ROOT=" + deviceRoot.string());
    if (!runnerLog.empty()) {
        env.push_back("QUELLIX_WINE_RUN_LOG=" + runnerLog);
    }
    return env;
}

// A file for the runner's log of one run, removed with its reading.
class RunnerLog {
  public:
    RunnerLog() {
        std::string pattern = "/tmp/quellix-e2e-runner-XXXXXX";
        const int fd = mkstemp(&pattern[0]);
        if (fd >= 0) {
            close(fd);
            path_ = pattern;
        }
    }
    ~RunnerLog() {
        if (!path_.empty()) {
            unlink(path_.c_str());
        }
    }
    RunnerLog(const RunnerLog&) = delete;
    RunnerLog& operator=(const RunnerLog&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace

TempFolder::TempFolder() {
    // Socket paths must stay short, so a long TMPDIR is not used.
    std::filesystem::path base = std::filesystem::temp_directory_path();
    if (base.string().size() > 40) {
        base = "/tmp";
    }
    std::string pattern = (base / "quellix-e2e-XXXXXX").string();
    if (mkdtemp(&pattern[0]) != nullptr) {
        path_ = pattern;
    }
}

TempFolder::~TempFolder() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

Workspace::Workspace()
    : root(temp.path() / "root"),
      work(temp.path() / "work"),
      table(temp.path() / "table5.bin"),
      log(temp.path() / "sim.log") {
    // Without a temporary folder the paths are relative: create nothing then.
    if (!temp.path().empty()) {
        std::filesystem::create_directory(root);
        std::filesystem::create_directory(work);
    }
}

const char* Setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

bool UnderRunner() {
    return Setting("QUELLIX_E2E_RUNNER") != nullptr;
}

namespace {

// Runs `program` (through the runner, when one is set) and waits for it.
Outcome RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const RunOptions& options) {
    Outcome outcome;
    std::vector<std::string> argv;
    if (UnderRunner()) {
        argv.push_back(Setting("QUELLIX_E2E_RUNNER"));
        if (options.fileSizeLimit >= 0) {
            ADD_FAILURE() << "a file-size limit cannot be given through a runner: skip the test "
                             "when e2e::UnderRunner()";
            return outcome;
        }
    }
    argv.push_back(program);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const RunnerLog runnerLog;
    std::vector<std::string> env =
        Environment(options.deviceRoot, UnderRunner() ? runnerLog.path() : std::string());
    std::vector<char*> argvPointers = Pointers(argv);
    std::vector<char*> envPointers = Pointers(env);
    const std::string folder = options.workFolder.string();

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        outcome.output = "pipe failed";
        return outcome;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        outcome.output = "fork failed";
        return outcome;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        setpgid(0, 0);
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        if (chdir(folder.c_str()) != 0) {
            _exit(126);
        }
        if (options.fileSizeLimit >= 0) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit),
                                  static_cast<rlim_t>(options.fileSizeLimit)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                _exit(126);
            }
        }
        // Private mounts first, so the empty /proc stays in the child's namespace.
        if (options.hideProc && (unshare(CLONE_NEWNS) != 0 ||
                                 mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                 mount("none", "/proc", "tmpfs", 0, nullptr) != 0)) {
            _exit(125);
        }
        if (options.uid >= 0 &&
            (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(options.uid)) != 0 ||
             setuid(static_cast<uid_t>(options.uid)) != 0)) {
            _exit(126);
        }
        execve(argvPointers[0], argvPointers.data(), envPointers.data());
        _exit(127);
    }
    close(pipeFds[1]);
    setpgid(pid, pid);  // also here: the group must exist before a timeout ends it

    // A runner may have to make its Wine prefix first, which takes a while.
    const int timeoutMs = UnderRunner() ? std::max(options.timeoutMs, 120000) : options.timeoutMs;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char chunk[4096];
    for (;;) {
        pollfd fd = {pipeFds[0], POLLIN, 0};
        const int ready = poll(&fd, 1, RemainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            outcome.timedOut = true;
            break;
        }
        const ssize_t got = read(pipeFds[0], chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        outcome.output.append(chunk, static_cast<size_t>(got));
    }
    close(pipeFds[0]);

    int status = 0;
    if (outcome.timedOut || !WaitUntil(pid, deadline, &status)) {
        outcome.timedOut = true;
        kill(-pid, SIGKILL);
        Kill(pid);
    }
    if (!runnerLog.path().empty()) {
        outcome.runnerLog = ReadText(runnerLog.path());
    }
    if (outcome.timedOut) {
        return outcome;
    }
    outcome.exited = WIFEXITED(status);
    outcome.exitCode = outcome.exited ? WEXITSTATUS(status) : -1;
    return outcome;
}

}  // namespace

Outcome RunQuellix(const std::vector<std::string>& arguments, const RunOptions& options) {
    const char* program = Setting("QUELLIX_E2E_PROGRAM");
    return RunProgram(program != nullptr ? program : QUELLIX_BINARY, arguments, options);
}

bool ProbeAvailable() {
    return !UnderRunner() || Setting("QUELLIX_E2E_PROBE") != nullptr;
}

Outcome RunProbe(const std::vector<std::string>& arguments, const RunOptions& options) {
    const char* program = Setting("QUELLIX_E2E_PROBE");
    return RunProgram(program != nullptr ? program : DEVICE_PROBE_BINARY, arguments, options);
}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(const std::filesystem::path& root, const std::filesystem::path& table,
                      const std::filesystem::path& log, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {MISC_DRIVER_SIM_BINARY, "--root", root.string(), "--table",
                                     table.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> argvPointers = Pointers(argv);
    const std::string logPath = log.string();

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (pid == 0) {
        const int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (logFd < 0) {
            _exit(126);
        }
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(logFd, STDERR_FILENO);
        execv(argvPointers[0], argvPointers.data());
        _exit(127);
    }
    close(pipeFds[1]);
    pid_ = pid;

    // Wait for "ready"; anything else (end of output, timeout) is a failed start.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    std::string output;
    bool ready = false;
    while (!ready) {
        pollfd fd = {pipeFds[0], POLLIN, 0};
        const int polled = poll(&fd, 1, RemainingMs(deadline));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            break;
        }
        char chunk[256];
        const ssize_t got = read(pipeFds[0], chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        output.append(chunk, static_cast<size_t>(got));
        ready = output.find("ready\n") != std::string::npos;
    }
    close(pipeFds[0]);
    if (!ready) {
        Stop();
    }
    return ready;
}

bool Simulator::Stop() {
    if (pid_ < 0) {
        return true;
    }
    const pid_t pid = pid_;
    pid_ = -1;
    kill(pid, SIGTERM);
    int status = 0;
    if (WaitUntil(pid, Clock::now() + std::chrono::seconds(5), &status)) {
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    Kill(pid);
    return false;
}

Bytes ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string ReadText(const std::filesystem::path& path) {
    const Bytes bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
    WriteBytes(path, Bytes(text.begin(), text.end()));
}

std::string Describe(const Outcome& outcome, const std::filesystem::path& simulatorLog) {
    std::ostringstream text;
    if (outcome.timedOut) {
        text << "timed out";
    } else if (outcome.exited) {
        text << "exit code " << outcome.exitCode;
    } else {
        text << "ended by a signal";
    }
    text << "; its output:\n" << outcome.output;
    if (!outcome.runnerLog.empty()) {
        text << "\nthe runner's log:\n" << outcome.runnerLog;
    }
    if (!simulatorLog.empty()) {
        // The end of a traced log is where a failed run's exchanges are.
        const std::string log = ReadText(simulatorLog);
        size_t start = log.size();
        for (int lines = 0; lines <= 30 && start > 0; --start) {
            lines += log[start - 1] == '\n' ? 1 : 0;
        }
        text << "\nthe simulator's log" << (start > 0 ? " (its end)" : "") << ":\n"
             << log.substr(start == 0 ? 0 : start + 1);
    }
    return text.str();
}

testing::AssertionResult EndedWith(const Outcome& outcome, int exitCode,
                                   const std::filesystem::path& simulatorLog) {
    if (outcome.exited && !outcome.timedOut && outcome.exitCode == exitCode) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << "expected exit code " << exitCode << ", got " << Describe(outcome, simulatorLog);
}

int CountExchanges(const std::string& log, uint32_t code) {
    char needle[32];
    std::snprintf(needle, sizeof(needle), " code 0x%06x ", code);
    std::istringstream lines(log);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        count += line.find(needle) != std::string::npos ? 1 : 0;
    }
    return count;
}

}  // namespace e2e
