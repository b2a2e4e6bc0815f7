// The cost of the secure session.
//
// BM_ReadOut_Plain and BM_ReadOut_Encrypted run the whole quellix process for a
// read-out against the same misc-driver-sim, started without and with
// encryption; their difference is the handshake with both sides' work and the
// three extra round trips. BM_Handshake_Client is _Initialize alone, in process,
// against the simulator's recorded replies: the client's share of that difference.
//
// The programs are looked up next to this binary's build tree (app/quellix and
// tools/misc_driver_sim/misc-driver-sim), or named by QUELLIX_BINARY and
// MISC_DRIVER_SIM_BINARY.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "driver_client/misc_common.h"
#include "platform/test/test_platform.h"
#include "tools/misc_driver_sim/sim.h"

namespace {

namespace fs = std::filesystem;

std::string Program(const char* variable, const char* relative) {
    const char* named = std::getenv(variable);
    if (named != nullptr && *named != '\0') {
        return named;
    }
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    const fs::path candidate = self.parent_path().parent_path() / relative;
    return fs::exists(candidate) ? candidate.string() : std::string();
}

// A simulator in its own folder, stopped when the benchmark ends.
class SimulatorProcess {
  public:
    bool Start(bool encryption) {
        char pattern[] = "/tmp/session_bench_XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return false;
        }
        folder_ = pattern;
        fs::create_directory(folder_ / "root");
        fs::create_directory(folder_ / "work");
        const std::string sim =
            Program("MISC_DRIVER_SIM_BINARY", "tools/misc_driver_sim/misc-driver-sim");
        if (sim.empty()) {
            return false;
        }
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            return false;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipeFds[1], 1);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            close(pipeFds[0]);
            const std::string root = (folder_ / "root").string();
            const std::string table = (folder_ / "table5.bin").string();
            std::vector<const char*> argv = {sim.c_str(), "--root", root.c_str(), "--table",
                                             table.c_str()};
            if (!encryption) {
                argv.push_back("--no-encryption");
            }
            argv.push_back(nullptr);
            execv(sim.c_str(), const_cast<char* const*>(argv.data()));
            _exit(127);
        }
        close(pipeFds[1]);
        char line[16] = {};
        size_t got = 0;
        while (got < 6) {
            const ssize_t n = read(pipeFds[0], line + got, 6 - got);
            if (n <= 0) {
                break;
            }
            got += size_t(n);
        }
        close(pipeFds[0]);
        return pid_ > 0 && std::strncmp(line, "ready\n", 6) == 0;
    }

    ~SimulatorProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code error;
        if (!folder_.empty()) {
            fs::remove_all(folder_, error);
        }
    }

    const fs::path& folder() const { return folder_; }

  private:
    pid_t pid_ = -1;
    fs::path folder_;
};

// One whole read-out: quellix in the work folder, against the simulator.
bool RunReadOut(const std::string& quellix, const fs::path& folder) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir((folder / "work").c_str()) != 0) {
            _exit(127);
        }
        setenv("MISC_DEVICE_ROOT", (folder / "root").c_str(), 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(quellix.c_str(), quellix.c_str(), "-debug", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0 && fs::file_size(folder / "work" / "calibfrombios.bin") == 80;
}

void ReadOut(benchmark::State& state, bool encryption) {
    const std::string quellix = Program("QUELLIX_BINARY", "app/quellix");
    SimulatorProcess simulator;
    if (quellix.empty() || !simulator.Start(encryption)) {
        state.SkipWithError("quellix or misc-driver-sim not found or not starting");
        return;
    }
    for (auto _ : state) {
        if (!RunReadOut(quellix, simulator.folder())) {
            state.SkipWithError("the read-out failed");
            break;
        }
    }
}

void BM_ReadOut_Plain(benchmark::State& state) {
    ReadOut(state, false);
}
BENCHMARK(BM_ReadOut_Plain)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadOut_Encrypted(benchmark::State& state) {
    ReadOut(state, true);
}
BENCHMARK(BM_ReadOut_Encrypted)->Unit(benchmark::kMillisecond)->UseRealTime();

// The two kinds taken turn about, one of each an iteration, so that drift in the
// machine (the disk's fsync time above all) weighs on both alike; the ratio is the
// figure to read. Each read-out starts from a driver at rest, as a technician's
// single one does: a pause outside the timing lets the simulator finish the key pair
// it makes after a handle closes, which would otherwise run into the next read-out,
// whichever its kind.
void BM_ReadOut_Alternating(benchmark::State& state) {
    const std::string quellix = Program("QUELLIX_BINARY", "app/quellix");
    SimulatorProcess plain, encrypted;
    if (quellix.empty() || !plain.Start(false) || !encrypted.Start(true)) {
        state.SkipWithError("quellix or misc-driver-sim not found or not starting");
        return;
    }
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds kRest(20);
    Clock::duration plainTime{}, encryptedTime{};
    for (auto _ : state) {
        std::this_thread::sleep_for(kRest);
        Clock::time_point start = Clock::now();
        const bool plainDone = RunReadOut(quellix, plain.folder());
        plainTime += Clock::now() - start;
        std::this_thread::sleep_for(kRest);
        start = Clock::now();
        const bool encryptedDone = RunReadOut(quellix, encrypted.folder());
        encryptedTime += Clock::now() - start;
        if (!plainDone || !encryptedDone) {
            state.SkipWithError("a read-out failed");
            break;
        }
    }
    const double plainMs = std::chrono::duration<double, std::milli>(plainTime).count();
    const double encryptedMs = std::chrono::duration<double, std::milli>(encryptedTime).count();
    const double n = static_cast<double>(state.iterations());
    if (n > 0 && plainMs > 0) {
        state.counters["plain_ms"] = plainMs / n;
        state.counters["encrypted_ms"] = encryptedMs / n;
        state.counters["ratio"] = encryptedMs / plainMs;
    }
}
BENCHMARK(BM_ReadOut_Alternating)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// --- the client's side alone ------------------------------------------------------

// The driver's side is the simulator's request handling, in process, once: with the
// fixed clock of the test backend the client draws the same secrets every time, so
// the replies to one handshake can be replayed.
void BM_Handshake_Client(benchmark::State& state) {
    testplatform::Reset();
    testplatform::SetSystemTime({2026, 6, 0, 7, 12, 0, 0, 0});
    testplatform::SetPerformanceCount(123456789);
    misc_sim::Device driver;
    std::vector<uint8_t> replies[3];
    testplatform::SetResponder([&driver, &replies](const testplatform::Exchange& e) {
        misc_sim::Request request;
        request.code = e.code;
        request.input = e.input;
        request.outSize = e.outSize;
        const misc_sim::Reply reply = misc_sim::HandleRequest(&driver, request);
        const char step = e.input.size() >= 4 ? char(e.input[3]) : '\0';
        if (e.code == MiscCommon::IOCTL_MISC_SESSION && step >= '1' && step <= '3') {
            replies[step - '1'] = reply.output;
        }
        return testplatform::Reply{reply.ok != 0, reply.error, reply.output};
    });
    MiscCommon::CMiscCommon client;
    if (client.OpenDriver() != 0 || client._Initialize() != 0) {
        state.SkipWithError("the recording handshake failed");
        return;
    }
    client.CloseDriver();
    testplatform::SetResponder([&replies](const testplatform::Exchange& e) {
        testplatform::Reply reply;
        if (e.code == MiscCommon::IOCTL_MISC_SESSION && e.input.size() >= 4) {
            reply.output = replies[e.input[3] - '1'];
        }
        return reply;
    });
    for (auto _ : state) {
        client.OpenDriver();
        if (client._Initialize() != 0) {
            state.SkipWithError("the replayed handshake failed");
            break;
        }
        client.CloseDriver();
    }
    testplatform::SetResponder(nullptr);
}
BENCHMARK(BM_Handshake_Client)->Unit(benchmark::kMillisecond);

}  // namespace
