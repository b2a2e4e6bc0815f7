// The cost of the secure session.
//
// BM_ReadOut_Plain and BM_ReadOut_Encrypted run the whole quellix process for a
// read-out against the same misc-driver-sim, started without and with
// encryption; their difference is the handshake with both sides' work and the
// three extra round trips. BM_Handshake_Client is _Initialize alone, in process,
// against recorded driver replies: the client's share of that difference.
//
// The programs are looked up next to this binary's build tree (app/quellix and
// tools/misc_driver_sim/misc-driver-sim), or named by QUELLIX_BINARY and
// MISC_DRIVER_SIM_BINARY.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "crypto/bigint.h"
#include "crypto/blowfish.h"
#include "crypto/sha1.h"
#include "driver_client/misc_common.h"
#include "platform/test/test_platform.h"

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

// --- the client's side alone ------------------------------------------------------

const uint8_t kKa[16] = {0xe4, 0xd9, 0x4e, 0x07, 0x32, 0x75, 0x53, 0x10,
                         0x27, 0x58, 0x05, 0xb6, 0x0e, 0x4b, 0xa4, 0x94};

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(v >> (8 * i));
    }
}

// The driver's side, computed once with the fixed clock of the test backend:
// the client draws the same secrets every time, so the replies can be replayed.
struct RecordingDriver {
    uint32_t y[6] = {0x9E3779B9, 0x7F4A7C15, 0xF39CC060, 0x5CEDC834, 0x1082276B, 0};
    uint8_t yc[132], yd[132], km[20], kek[16];
    std::vector<uint8_t> replies[3];

    testplatform::Reply operator()(const testplatform::Exchange& e) {
        testplatform::Reply reply;
        if (e.code != MiscCommon::IOCTL_MISC_SESSION || e.input.empty()) {
            return reply;
        }
        Sha1Context sha;
        const char step = char(e.input[3]);
        if (step == '1') {
            uint32_t words[33];
            pow2mod(words, 33, y, 6, kOakleyGroup2Prime, 33);
            reply.output.assign(160, 0x3C);
            PutLe32(reply.output.data(), 0x51D0);
            for (int i = 0; i < 33; ++i) {
                PutLe32(yd + 4 * i, words[i]);
            }
            std::memcpy(reply.output.data() + 4, yd, 132);
            std::memcpy(yc, e.input.data() + 4, 132);
            uint8_t nonces[48];
            std::memcpy(nonces, e.input.data() + 136, 24);
            std::memcpy(nonces + 24, reply.output.data() + 136, 24);
            HmacSha1(&sha, kKa, 16, nonces, 48, km);
        } else if (step == '2') {
            uint8_t numbers[264];
            std::memcpy(numbers, yd, 132);
            std::memcpy(numbers + 132, yc, 132);
            reply.output.assign(20, 0);
            HmacSha1(&sha, km, 20, numbers, 264, reply.output.data());
            uint32_t base[33], z[33];
            for (int i = 0; i < 33; ++i) {
                base[i] = Le32(yc + 4 * i);
            }
            powmod(z, 33, base, 33, y, 6, kOakleyGroup2Prime, 33);
            uint8_t zBytes[132], digest[20];
            for (int i = 0; i < 33; ++i) {
                PutLe32(zBytes + 4 * i, z[i]);
            }
            Sha1Initialize(&sha);
            Sha1Update(&sha, zBytes, 132);
            Sha1Final(&sha);
            Sha1GetDigest(&sha, digest);
            std::memcpy(kek, digest, 16);
        } else if (step == '3') {
            BlowfishContext cipher;
            BlowfishInitialize(&cipher, kek, 16);
            uint32_t ks[4];
            for (int i = 0; i < 4; ++i) {
                ks[i] = Le32(e.input.data() + 8 + 4 * i);
            }
            BlowfishDecipher(&cipher, &ks[0], &ks[1]);
            BlowfishDecipher(&cipher, &ks[2], &ks[3]);
            uint8_t key[16];
            for (int i = 0; i < 4; ++i) {
                PutLe32(key + 4 * i, ks[i]);
            }
            BlowfishInitialize(&cipher, key, 16);
            uint32_t left = 0x68747541, right = 0x6373694D;
            BlowfishEncipher(&cipher, &left, &right);
            reply.output.assign(8, 0);
            PutLe32(reply.output.data(), left);
            PutLe32(reply.output.data() + 4, right);
        }
        if (step >= '1' && step <= '3') {
            replies[step - '1'] = reply.output;
        }
        return reply;
    }
};

void BM_Handshake_Client(benchmark::State& state) {
    testplatform::Reset();
    testplatform::SetSystemTime({2026, 6, 0, 7, 12, 0, 0, 0});
    testplatform::SetPerformanceCount(123456789);
    RecordingDriver recorder;
    testplatform::SetResponder(
        [&recorder](const testplatform::Exchange& e) { return recorder(e); });
    MiscCommon::CMiscCommon client;
    if (client.OpenDriver() != 0 || client._Initialize() != 0) {
        state.SkipWithError("the recording handshake failed");
        return;
    }
    client.CloseDriver();
    testplatform::SetResponder([&recorder](const testplatform::Exchange& e) {
        testplatform::Reply reply;
        if (e.code == MiscCommon::IOCTL_MISC_SESSION && e.input.size() >= 4) {
            reply.output = recorder.replies[e.input[3] - '1'];
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
