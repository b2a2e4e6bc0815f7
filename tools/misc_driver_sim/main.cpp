// misc-driver-sim: the misc driver as a process, over the Linux device contract.
//
// It creates <root>/{80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}/<name>/ with the socket
// "device" and the file "DriverVersion", prints "ready" once it listens, serves one
// handle at a time and removes its folder again on SIGINT or SIGTERM.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/le_bytes.h"
#include "crypto/wipe.h"
#include "platform/platform.h"
#include "tools/misc_driver_sim/sim.h"

namespace {

const char kClassFolder[] = "{80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}";

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

struct Options {
    std::string root;
    std::string name = "misc0";
    std::string version = "1.0.0.0";
    uint32_t openStatus = 0;
    misc_sim::Config config;
};

void Usage() {
    std::fprintf(
        stderr,
        "usage: misc-driver-sim [options]\n"
        "  --root DIR          device root (default $MISC_DEVICE_ROOT or /run/misc-device)\n"
        "  --name NAME         interface folder name (default misc0)\n"
        "  --version TEXT      DriverVersion value (default 1.0.0.0)\n"
        "  --table FILE        Table 5 file, created when missing (default table5.bin)\n"
        "  --no-encryption     a driver without the secure session\n"
        "  --busy N            answer the next N misc-function calls with status 4\n"
        "  --open-status N     refuse every open with this error code\n"
        "  --trace             one line per exchange on stderr\n"
        "  --fault NAME        misbehave; NAME is one of bad-header, long-table,\n"
        "                      short-capsule, oversized-capsule, status=SUB:VALUE,\n"
        "                      wrong-proof, swapped-confirmation, short-ini1,\n"
        "                      short-ini2, short-ini3, wrong-ka, lost-write,\n"
        "                      changed-word,\n"
        "                      yd=zero|one|p-1|p|sign\n");
}

bool ParseNumber(const char* text, uint32_t* value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || parsed > 0xFFFFFFFFul) {
        return false;
    }
    *value = uint32_t(parsed);
    return true;
}

bool ParseFault(const std::string& fault, misc_sim::Faults* faults) {
    using misc_sim::YdFault;
    if (fault == "bad-header") {
        faults->badHeader = true;
    } else if (fault == "long-table") {
        faults->longTable = true;
    } else if (fault == "short-capsule") {
        faults->shortCapsule = true;
    } else if (fault == "oversized-capsule") {
        faults->oversizedCapsule = true;
    } else if (fault == "wrong-proof") {
        faults->wrongProof = true;
    } else if (fault == "swapped-confirmation") {
        faults->swappedConfirmation = true;
    } else if (fault == "short-ini1") {
        faults->shortIni1 = true;
    } else if (fault == "short-ini2") {
        faults->shortIni2 = true;
    } else if (fault == "short-ini3") {
        faults->shortIni3 = true;
    } else if (fault == "wrong-ka") {
        faults->wrongKa = true;
    } else if (fault == "lost-write") {
        faults->lostWrite = true;
    } else if (fault == "changed-word") {
        faults->changedWord = true;
    } else if (fault.compare(0, 7, "status=") == 0) {
        const size_t colon = fault.find(':');
        uint32_t sub = 0;
        uint32_t value = 0;
        if (colon == std::string::npos || !ParseNumber(fault.substr(7, colon - 7).c_str(), &sub) ||
            !ParseNumber(fault.substr(colon + 1).c_str(), &value) || sub > 0xFFFF || value > 0xFF) {
            return false;
        }
        faults->statusSubfunction = int(sub);
        faults->statusValue = uint8_t(value);
    } else if (fault.compare(0, 3, "yd=") == 0) {
        const std::string which = fault.substr(3);
        if (which == "zero") {
            faults->yd = YdFault::Zero;
        } else if (which == "one") {
            faults->yd = YdFault::One;
        } else if (which == "p-1") {
            faults->yd = YdFault::PMinus1;
        } else if (which == "p") {
            faults->yd = YdFault::P;
        } else if (which == "sign") {
            faults->yd = YdFault::SignBit;
        } else {
            return false;
        }
    } else {
        return false;
    }
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    const char* envRoot = std::getenv("MISC_DEVICE_ROOT");
    options->root = (envRoot != nullptr && *envRoot != '\0') ? envRoot : "/run/misc-device";
    options->config.tablePath = "table5.bin";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--no-encryption") {
            options->config.encryption = false;
        } else if (arg == "--trace") {
            options->config.trace = true;
        } else if (!hasValue) {
            return false;
        } else if (arg == "--root") {
            options->root = argv[++i];
        } else if (arg == "--name") {
            options->name = argv[++i];
        } else if (arg == "--version") {
            options->version = argv[++i];
        } else if (arg == "--table") {
            options->config.tablePath = argv[++i];
        } else if (arg == "--busy") {
            if (!ParseNumber(argv[++i], &options->config.busy)) {
                return false;
            }
        } else if (arg == "--open-status") {
            if (!ParseNumber(argv[++i], &options->openStatus)) {
                return false;
            }
        } else if (arg == "--fault") {
            if (!ParseFault(argv[++i], &options->config.faults)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return !options->name.empty() && options->name.find('/') == std::string::npos;
}

bool MakeFolder(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (!MakeFolder(path.substr(0, slash))) {
            return false;
        }
    }
    return MakeFolder(path);
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= size_t(sent);
    }
    return true;
}

bool SendStatus(int fd, uint32_t status) {
    uint8_t bytes[4];
    StoreLe32(bytes, status);
    return SendAll(fd, bytes, sizeof bytes);
}

sockaddr_un SocketAddress(const std::string& path, bool* fits) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    *fits = path.size() < sizeof address.sun_path;
    if (*fits) {
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    }
    return address;
}

// True when something already answers on the socket path.
bool SocketInUse(const std::string& path) {
    bool fits = false;
    const sockaddr_un address = SocketAddress(path, &fits);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!fits || fd < 0) {
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    const bool inUse =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return inUse;
}

bool WriteTextFile(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

class Server {
  public:
    explicit Server(Options options) : options_(std::move(options)) {
        device_.config = options_.config;
    }

    bool Start() {
        classFolder_ = options_.root + "/" + kClassFolder;
        folder_ = classFolder_ + "/" + options_.name;
        socketPath_ = folder_ + "/device";
        versionPath_ = folder_ + "/DriverVersion";
        if (!misc_sim::EnsureTable(device_.config.tablePath)) {
            std::fprintf(stderr, "misc-driver-sim: cannot create the table file %s\n",
                         device_.config.tablePath.c_str());
            return false;
        }
        if (!MakeFolders(folder_)) {
            std::fprintf(stderr, "misc-driver-sim: cannot create %s: %s\n", folder_.c_str(),
                         std::strerror(errno));
            return false;
        }
        madeFolder_ = true;
        if (SocketInUse(socketPath_)) {
            std::fprintf(stderr, "misc-driver-sim: %s is already served\n", socketPath_.c_str());
            madeFolder_ = false;  // another instance owns it
            return false;
        }
        unlink(socketPath_.c_str());
        // The version exists before the socket, so a client never finds a device
        // without its version.
        if (!WriteTextFile(versionPath_, options_.version + "\n")) {
            std::fprintf(stderr, "misc-driver-sim: cannot write %s\n", versionPath_.c_str());
            return false;
        }
        bool fits = false;
        const sockaddr_un address = SocketAddress(socketPath_, &fits);
        if (!fits) {
            std::fprintf(stderr, "misc-driver-sim: socket path too long: %s\n",
                         socketPath_.c_str());
            return false;
        }
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener_ < 0) {
            std::perror("misc-driver-sim: socket");
            return false;
        }
        const mode_t oldMask = umask(0177);
        const int bound =
            bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        umask(oldMask);
        if (bound != 0 || chmod(socketPath_.c_str(), 0600) != 0 || listen(listener_, 8) != 0) {
            std::fprintf(stderr, "misc-driver-sim: cannot listen on %s: %s\n", socketPath_.c_str(),
                         std::strerror(errno));
            return false;
        }
        return true;
    }

    void Run(const sigset_t* waitMask) {
        std::printf("ready\n");
        std::fflush(stdout);
        while (!g_stop) {
            // Between handles the driver has time for the next Ini1's exponentiation.
            if (client_ < 0) {
                StartKeyPair();
            }
            pollfd fds[2] = {{listener_, POLLIN, 0}, {client_, POLLIN, 0}};
            const nfds_t count = client_ >= 0 ? 2 : 1;
            // The stop signals are blocked except inside ppoll, so one that
            // arrives between the check above and the wait still ends the wait.
            const int ready = ppoll(fds, count, nullptr, waitMask);
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                std::perror("misc-driver-sim: poll");
                break;
            }
            // The open handle first: a client that closed it and opens again at
            // once must find the device free, not shared.
            if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                ReadClient();
            }
            if (fds[0].revents & POLLIN) {
                Accept();
            }
        }
    }

    ~Server() {
        CloseClient();
        CollectKeyPair();
        SecureWipe(&device_.prepared, sizeof device_.prepared);
        if (listener_ >= 0) {
            close(listener_);
        }
        if (madeFolder_) {
            unlink(socketPath_.c_str());
            unlink(versionPath_.c_str());
            rmdir(folder_.c_str());
            rmdir(classFolder_.c_str());  // only when no other interface is left
        }
    }

  private:
    // The next key pair is made on a thread of its own, so that a handle opened
    // meanwhile is answered at once; only its Ini1 waits for the pair.
    void StartKeyPair() {
        if (keyPairThread_.joinable() || device_.prepared.ready || !device_.config.encryption) {
            return;
        }
        const misc_sim::RandomSource random = device_.config.random;
        const bool refuse = device_.config.faults.noKeyPair;
        keyPairThread_ = std::thread(
            [this, random, refuse] { misc_sim::MakeKeyPair(random, refuse, &nextPair_); });
    }

    void CollectKeyPair() {
        if (!keyPairThread_.joinable()) {
            return;
        }
        keyPairThread_.join();
        if (nextPair_.ready) {
            device_.prepared = nextPair_;
        }
        SecureWipe(&nextPair_, sizeof nextPair_);
    }

    void Accept() {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        // A peer that stops reading must not stall the driver for good.
        timeval timeout = {5, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (client_ >= 0 || options_.openStatus != 0) {
            // Opened without sharing: one handle at a time.
            SendStatus(fd, client_ >= 0 ? platform::kErrorSharingViolation : options_.openStatus);
            close(fd);
            return;
        }
        if (!SendStatus(fd, 0)) {
            close(fd);
            return;
        }
        client_ = fd;
        reader_.pending.clear();
        misc_sim::ResetHandle(&device_.handle);
    }

    void ReadClient() {
        uint8_t chunk[65536];
        const ssize_t got = recv(client_, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) {
            return;
        }
        if (got <= 0) {
            CloseClient();
            return;
        }
        reader_.pending.insert(reader_.pending.end(), chunk, chunk + got);
        misc_sim::Request request;
        for (;;) {
            const misc_sim::ReadResult result = misc_sim::NextFrame(&reader_, &request);
            if (result == misc_sim::ReadResult::NeedMore) {
                return;
            }
            if (result == misc_sim::ReadResult::Close) {
                CloseClient();
                return;
            }
            if (misc_sim::TakesKeyPair(request)) {
                CollectKeyPair();
            }
            const misc_sim::Reply reply = misc_sim::HandleRequest(&device_, request);
            const std::vector<uint8_t> bytes = misc_sim::EncodeReply(reply);
            if (!SendAll(client_, bytes.data(), bytes.size())) {
                CloseClient();
                return;
            }
            misc_sim::WorkOutKek(&device_);
        }
    }

    void CloseClient() {
        if (client_ >= 0) {
            close(client_);
            client_ = -1;
        }
        reader_.pending.clear();
        misc_sim::ResetHandle(&device_.handle);
    }

    Options options_;
    misc_sim::Device device_;
    misc_sim::KeyPair nextPair_;  // written by keyPairThread_ alone until joined
    std::thread keyPairThread_;
    misc_sim::FrameReader reader_;
    std::string classFolder_;
    std::string folder_;
    std::string socketPath_;
    std::string versionPath_;
    bool madeFolder_ = false;
    int listener_ = -1;
    int client_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage();
        return 2;
    }
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigset_t waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);

    Server server(std::move(options));
    if (!server.Start()) {
        return 1;
    }
    server.Run(&waitMask);
    return 0;
}
