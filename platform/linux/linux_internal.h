// What the Linux backend's sources share: the clock of their deadlines, the
// exchange time-out, the tagged handle records, and scoped owners of descriptors
// and malloc blocks, so that every way out of a function releases what it took.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "platform/platform.h"

namespace platform {
namespace linuxinternal {

inline int64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// How long one device exchange may take (linuxbackend::SetExchangeTimeoutMilliseconds).
uint32_t ExchangeTimeoutMs();

// Every handle is a heap record whose first word names its type, so that a handle
// of one type passed where another is expected is refused with
// ERROR_INVALID_HANDLE instead of being read as the wrong record. A released
// record has its tag cleared first.
constexpr uint32_t kSetTag = 0x54455351;     // "QSET": a device-information set
constexpr uint32_t kKeyTag = 0x59454B51;     // "QKEY": a driver registry key
constexpr uint32_t kDeviceTag = 0x56454451;  // "QDEV": an open device
constexpr uint32_t kRecordTag = 0x43455251;  // "QREC": an enumeration record

// The record behind a handle when it is one of type T (tagged `tag`), else null.
// The tag is read as bytes, before the pointer is taken for a T.
template <typename T>
T* Tagged(void* handle, uint32_t tag) {
    uint32_t found = 0;
    if (handle != nullptr && handle != InvalidDeviceHandle()) {
        std::memcpy(&found, handle, sizeof found);
    }
    return found == tag ? static_cast<T*>(handle) : nullptr;
}

// A file descriptor, closed when its owner goes out of scope unless released.
// Closing sets errno only, never the last-error value.
class ScopedDescriptor {
  public:
    explicit ScopedDescriptor(int fd) : fd_(fd) {}
    ~ScopedDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    ScopedDescriptor(const ScopedDescriptor&) = delete;
    ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;

    int Get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// A block from malloc, freed when its owner goes out of scope.
struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};
template <typename T>
using ScopedMalloc = std::unique_ptr<T, FreeBlock>;

}  // namespace linuxinternal
}  // namespace platform
