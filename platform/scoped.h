// Scoped owners of what the platform layer hands out, for code above the layer.
//
// An owner type is a traits struct (the resource's type and how to release it)
// plus the one generic Scoped; every resource here is null when there is none.
// Releasing never clobbers the thread's last-error value: a function that sets
// the value it reports and then returns reports that value, whatever its owners'
// clean-up left behind.
#pragma once

#include "platform/platform.h"

namespace platform {

// Restores the thread's last-error value when it goes out of scope.
class KeepLastError {
  public:
    KeepLastError() : error_(GetLastErrorValue()) {}
    ~KeepLastError() { SetLastErrorValue(error_); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

  private:
    uint32_t error_;
};

template <typename Traits>
class Scoped {
  public:
    using Handle = typename Traits::Handle;

    Scoped() : handle_(nullptr) {}
    explicit Scoped(Handle handle) : handle_(handle) {}
    ~Scoped() { Reset(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;

    Handle Get() const { return handle_; }
    bool IsValid() const { return handle_ != nullptr; }

    // Gives up ownership without releasing.
    Handle Release() {
        Handle handle = handle_;
        handle_ = nullptr;
        return handle;
    }

    void Reset() {
        if (handle_ != nullptr) {
            KeepLastError keep;
            Traits::Free(handle_);
        }
        handle_ = nullptr;
    }

  private:
    Handle handle_;
};

struct DeviceInfoSetTraits {
    using Handle = DeviceInfoSet;
    static void Free(Handle set) { DestroyDeviceInfoSet(set); }
};

struct RegistryKeyTraits {
    using Handle = RegistryKey;
    static void Free(Handle key) { CloseRegistryKey(key); }
};

// A block from HeapAllocZeroed, seen as a T*. Released without wiping: a block
// that held a secret is wiped by its owner's code before it goes out of scope.
template <typename T>
struct HeapBlockTraits {
    using Handle = T*;
    static void Free(Handle block) { HeapRelease(block); }
};

using ScopedDeviceInfoSet = Scoped<DeviceInfoSetTraits>;
using ScopedRegistryKey = Scoped<RegistryKeyTraits>;
template <typename T>
using ScopedHeapBlock = Scoped<HeapBlockTraits<T>>;

}  // namespace platform
