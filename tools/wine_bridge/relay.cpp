// quellix-wine-relay: joins the bridge driver's loopback TCP connections (Winsock
// under Wine has no AF_UNIX) to the devices' Unix sockets.
//
//   quellix-wine-relay --token-file FILE --port-file FILE [--idle-seconds N]
//
// Listens on 127.0.0.1 on a free port, writes the port to the port file once it
// listens, and serves each connection in a child of its own: the first bytes name
// the device socket (bridge_protocol.h), after the token read from the token file
// (32 hexadecimal digits); then bytes are copied both ways until either side ends.
// A socket that cannot be reached is answered with the device contract's open
// status for it (2, 5 or 31). A wrong token or a malformed greeting closes the
// connection. Ends after N seconds (default 900) with no connection open or made,
// or once the token file is gone (its Wine prefix was removed).
//
// Our own rather than socat: the socket to reach is chosen per connection (every
// interface of every run, and the runs change the device folders), which needs a
// greeting socat cannot read; the open failures must come back as the contract's
// status codes, where socat would only close; and nothing needs installing.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "tools/wine_bridge/bridge_protocol.h"

namespace {

// Calls step (one read or write of what is left) until size bytes have moved;
// false when the connection ends or fails first.
template <typename Byte, typename Step>
bool MoveAll(Byte* at, size_t size, Step step) {
    while (size > 0) {
        const ssize_t n = step(at, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t size) {
    return MoveAll(static_cast<uint8_t*>(data), size,
                   [fd](uint8_t* at, size_t left) { return read(fd, at, left); });
}

bool WriteAll(int fd, const void* data, size_t size) {
    return MoveAll(static_cast<const uint8_t*>(data), size, [fd](const uint8_t* at, size_t left) {
        return send(fd, at, left, MSG_NOSIGNAL);
    });
}

// Copies both ways until one side ends, then ends the other.
void Pump(int a, int b) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    char chunk[65536];
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0 || !WriteAll(fds[1 - i].fd, chunk, static_cast<size_t>(n))) {
                return;
            }
        }
    }
}

// One connection from the driver, in its own process.
void Serve(int client, const uint8_t* token) {
    uint8_t greeting[BRIDGE_TOKEN_SIZE + 4];
    if (!ReadAll(client, greeting, sizeof greeting) ||
        std::memcmp(greeting, token, BRIDGE_TOKEN_SIZE) != 0) {
        return;
    }
    const uint32_t length = static_cast<uint32_t>(greeting[16]) | greeting[17] << 8 |
                            greeting[18] << 16 | static_cast<uint32_t>(greeting[19]) << 24;
    char path[BRIDGE_MAX_SOCKET_PATH];
    if (length == 0 || length > BRIDGE_MAX_SOCKET_PATH || !ReadAll(client, path, length) ||
        std::memchr(path, '\0', length) != nullptr) {
        return;
    }
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    int device = -1;
    int err = ENAMETOOLONG;
    if (length < sizeof address.sun_path) {
        std::memcpy(address.sun_path, path, length);
        device = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        err = device < 0 ? errno : 0;
    }
    if (device >= 0 &&
        connect(device, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        err = errno;
        close(device);
        device = -1;
    }
    if (device < 0) {
        // As the Linux client reports a device it cannot reach.
        const uint8_t status[4] = {static_cast<uint8_t>(err == ENOENT   ? 2
                                                        : err == EACCES ? 5
                                                                        : 31),
                                   0, 0, 0};
        WriteAll(client, status, sizeof status);
        return;
    }
    Pump(client, device);
    close(device);
}

bool ReadToken(const char* file, uint8_t* token) {
    std::ifstream in(file);
    std::string hex;
    if (!(in >> hex) || hex.size() != 2 * BRIDGE_TOKEN_SIZE) {
        return false;
    }
    for (int i = 0; i < BRIDGE_TOKEN_SIZE; ++i) {
        char* end = nullptr;
        const std::string pair = hex.substr(2 * static_cast<size_t>(i), 2);
        token[i] = static_cast<uint8_t>(std::strtoul(pair.c_str(), &end, 16));
        if (end != pair.c_str() + 2) {
            return false;
        }
    }
    return true;
}

// The relay's command line.
struct Options {
    const char* tokenFile = nullptr;
    const char* portFile = nullptr;
    long idleSeconds = 900;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--token-file") == 0) {
            options.tokenFile = argv[i + 1];
        } else if (std::strcmp(argv[i], "--port-file") == 0) {
            options.portFile = argv[i + 1];
        } else if (std::strcmp(argv[i], "--idle-seconds") == 0) {
            options.idleSeconds = std::strtol(argv[i + 1], nullptr, 10);
        }
    }
    return options;
}

// A socket listening on a free loopback port, and that port; -1 on failure.
int ListenOnLoopback(uint16_t* port) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return -1;
    }
    *port = ntohs(address.sin_port);
    return listener;
}

// Publishes the port: written beside the file, then renamed over it, so that a
// reader never sees half a number.
bool WritePortFile(const char* portFile, uint16_t port) {
    const std::string partial = std::string(portFile) + ".new";
    std::ofstream out(partial);
    out << port << "\n";
    out.close();
    return out && std::rename(partial.c_str(), portFile) == 0;
}

// Accepts connections, each served by a child of its own, until the relay has
// been idle for idleSeconds or the token file is gone. Returns the exit status.
int ServeConnections(int listener, const uint8_t* token, const Options& options) {
    int children = 0;
    time_t lastActive = time(nullptr);
    for (;;) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
            --children;
        }
        if (children > 0) {
            lastActive = time(nullptr);
        } else if (time(nullptr) - lastActive >= options.idleSeconds ||
                   access(options.tokenFile, F_OK) != 0) {
            return 0;  // idle, or the prefix it served is gone
        }
        pollfd fd = {listener, POLLIN, 0};
        if (poll(&fd, 1, 1000) <= 0) {
            continue;
        }
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        const int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const pid_t pid = fork();
        if (pid == 0) {
            close(listener);
            Serve(client, token);
            _exit(0);
        }
        if (pid > 0) {
            ++children;
        }
        close(client);
        lastActive = time(nullptr);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    uint8_t token[BRIDGE_TOKEN_SIZE];
    if (options.tokenFile == nullptr || options.portFile == nullptr || options.idleSeconds <= 0 ||
        !ReadToken(options.tokenFile, token)) {
        std::fprintf(stderr,
                     "usage: quellix-wine-relay --token-file FILE --port-file FILE "
                     "[--idle-seconds N]\n");
        return 2;
    }
    uint16_t port = 0;
    const int listener = ListenOnLoopback(&port);
    if (listener < 0) {
        std::perror("quellix-wine-relay: listen");
        return 1;
    }
    if (!WritePortFile(options.portFile, port)) {
        std::perror("quellix-wine-relay: port file");
        return 1;
    }
    return ServeConnections(listener, token, options);
}
