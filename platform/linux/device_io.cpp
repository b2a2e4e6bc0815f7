// The Linux backend's device I/O: a misc device is a Unix stream socket that
// answers the open with a 4-byte status and each request frame (code, input
// size, output capacity, input) with a reply frame (ok, error, bytes returned,
// output).

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "common/le_bytes.h"
#include "platform/linux/linux_internal.h"
#include "platform/linux/wide_utf8.h"
#include "platform/platform.h"

namespace platform {

namespace {

using linuxinternal::MonotonicMs;
using linuxinternal::ScopedDescriptor;
using linuxinternal::ScopedMalloc;

constexpr size_t kFrameHeaderSize = 12;

struct Device {
    uint32_t tag = linuxinternal::kDeviceTag;
    int fd = -1;
    bool broken = false;  // the stream lost its framing; every later exchange fails
};

Device* AsDevice(DeviceHandle handle) {
    return linuxinternal::Tagged<Device>(handle, linuxinternal::kDeviceTag);
}

int64_t DeadlineFromNow() {
    return MonotonicMs() + linuxinternal::ExchangeTimeoutMs();
}

// Waits until fd is ready for events or the deadline passes.
bool WaitFor(int fd, short events, int64_t deadline) {
    for (;;) {
        const int64_t left = deadline - MonotonicMs();
        if (left <= 0) {
            return false;
        }
        pollfd p = {fd, events, 0};
        const int n = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 60000)));
        if (n > 0) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Moves size bytes by repeated calls of step (one send or receive on fd, given where
// and how much is left) as fd becomes ready for events, until all have moved or the
// deadline passes.
template <typename Byte, typename Step>
bool TransferAll(int fd, short events, Byte* data, size_t size, int64_t deadline, Step step) {
    while (size > 0) {
        if (!WaitFor(fd, events, deadline)) {
            return false;
        }
        const ssize_t n = step(data, size);
        if (n == 0 && events == POLLIN) {
            return false;  // the device closed the connection
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SendAll(int fd, const uint8_t* data, size_t size, int64_t deadline) {
    return TransferAll(fd, POLLOUT, data, size, deadline, [fd](const uint8_t* at, size_t left) {
        // MSG_NOSIGNAL: a device that went away must not kill us with SIGPIPE.
        return send(fd, at, left, MSG_NOSIGNAL | MSG_DONTWAIT);
    });
}

bool ReceiveAll(int fd, uint8_t* data, size_t size, int64_t deadline) {
    return TransferAll(fd, POLLIN, data, size, deadline,
                       [fd](uint8_t* at, size_t left) { return recv(fd, at, left, MSG_DONTWAIT); });
}

// Connects fd to the device at address, asking again while the device's queue is
// full or a signal interrupts the call, until the deadline. Returns 0 or the errno.
int ConnectBefore(int fd, const sockaddr_un& address, int64_t deadline) {
    for (;;) {
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            return 0;
        }
        const int err = errno;
        if ((err != EAGAIN && err != EINTR) || MonotonicMs() >= deadline) {
            return err;
        }
        if (err == EAGAIN) {
            poll(nullptr, 0, 10);  // the queue is full: ask again shortly
        }
    }
}

// The socket address of the device at devicePath; 0 or the error of the open.
uint32_t AddressOf(const wchar_t* devicePath, sockaddr_un* address) {
    if (devicePath == nullptr) {
        return kErrorInvalidParameter;
    }
    address->sun_family = AF_UNIX;
    if (devicePath[0] == L'\0') {
        return kErrorFileNotFound;
    }
    if (!wide_utf8::ToUtf8(devicePath, address->sun_path, sizeof address->sun_path)) {
        return kErrorGenFailure;
    }
    return kErrorSuccess;
}

// Connects fd to the device and reads the status of the open; 0 or the error.
uint32_t ConnectToDevice(int fd, const sockaddr_un& address) {
    const int64_t deadline = DeadlineFromNow();
    const int err = ConnectBefore(fd, address, deadline);
    if (err != 0) {
        return err == ENOENT   ? kErrorFileNotFound
               : err == EACCES ? kErrorAccessDenied
                               : kErrorGenFailure;
    }
    uint8_t status[4];
    if (!ReceiveAll(fd, status, sizeof status, deadline)) {
        return kErrorGenFailure;
    }
    return LoadLe32(status);
}

DeviceHandle OpenFailed(uint32_t error) {
    SetLastErrorValue(error);
    return InvalidDeviceHandle();
}

// Sends the request frame and reads the reply's header into reply and its output
// into output (capacity bytes at most). False when the stream lost its framing:
// a transfer failed or timed out, or the reply does not fit what was asked.
bool ExchangeFrames(int fd, const uint8_t* frame, size_t frameSize, uint8_t* reply, uint8_t* output,
                    uint32_t capacity) {
    const int64_t deadline = DeadlineFromNow();
    if (!SendAll(fd, frame, frameSize, deadline) ||
        !ReceiveAll(fd, reply, kFrameHeaderSize, deadline)) {
        return false;
    }
    const uint32_t returned = LoadLe32(reply + 8);
    return LoadLe32(reply) <= 1 && returned <= capacity &&
           ReceiveAll(fd, output, returned, deadline);
}

}  // namespace

DeviceHandle OpenDevice(const wchar_t* devicePath) {
    sockaddr_un address = {};
    const uint32_t pathError = AddressOf(devicePath, &address);
    if (pathError != kErrorSuccess) {
        return OpenFailed(pathError);
    }
    // Non-blocking, so that a device that stopped accepting (its queue of
    // pending connections full) fails the open at the deadline instead of
    // holding us for good. Sends and receives wait with poll() anyway.
    ScopedDescriptor fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.Get() < 0) {
        return OpenFailed(kErrorGenFailure);
    }
    const uint32_t error = ConnectToDevice(fd.Get(), address);
    if (error != kErrorSuccess) {
        return OpenFailed(error);
    }
    auto* device = new (std::nothrow) Device();
    if (device == nullptr) {
        return OpenFailed(kErrorNotEnoughMemory);
    }
    device->fd = fd.Release();
    return device;
}

void CloseDevice(DeviceHandle handle) {
    Device* device = AsDevice(handle);
    if (device == nullptr) {
        if (handle != nullptr && handle != InvalidDeviceHandle()) {
            SetLastErrorValue(kErrorInvalidHandle);
        }
        return;
    }
    close(device->fd);
    device->tag = 0;
    delete device;
}

bool DeviceControl(DeviceHandle handle, uint32_t ioControlCode, const void* inBuffer,
                   uint32_t inSize, void* outBuffer, uint32_t outSize, uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    Device* device = AsDevice(handle);
    const uint32_t capacity = outBuffer != nullptr ? outSize : 0;
    const uint32_t refused = device == nullptr ? kErrorInvalidHandle
                             : bytesReturned == nullptr || (inBuffer == nullptr && inSize != 0)
                                 ? kErrorInvalidParameter
                             : device->broken ? kErrorGenFailure
                                              : kErrorSuccess;
    if (refused != kErrorSuccess) {
        SetLastErrorValue(refused);
        return false;
    }

    // The whole request goes out in one frame; the reply is read in full before
    // any of it reaches the caller's buffer.
    const size_t frameSize = kFrameHeaderSize + static_cast<size_t>(inSize);
    const ScopedMalloc<uint8_t> frame(static_cast<uint8_t*>(std::malloc(frameSize)));
    const ScopedMalloc<uint8_t> output(
        static_cast<uint8_t*>(std::malloc(capacity > 0 ? capacity : 1)));
    if (frame == nullptr || output == nullptr) {
        SetLastErrorValue(kErrorNotEnoughMemory);
        return false;
    }
    StoreLe32(frame.get(), ioControlCode);
    StoreLe32(frame.get() + 4, inSize);
    StoreLe32(frame.get() + 8, capacity);
    if (inSize > 0) {
        std::memcpy(frame.get() + kFrameHeaderSize, inBuffer, inSize);
    }
    uint8_t reply[kFrameHeaderSize];
    if (!ExchangeFrames(device->fd, frame.get(), frameSize, reply, output.get(), capacity)) {
        // Whatever follows on the stream can no longer be trusted.
        shutdown(device->fd, SHUT_RDWR);
        device->broken = true;
        SetLastErrorValue(kErrorGenFailure);
        return false;
    }
    const uint32_t returned = LoadLe32(reply + 8);
    if (returned > 0) {
        std::memcpy(outBuffer, output.get(), returned);
    }
    *bytesReturned = returned;
    if (LoadLe32(reply) != 1) {
        SetLastErrorValue(LoadLe32(reply + 4));
        return false;
    }
    return true;
}

}  // namespace platform
