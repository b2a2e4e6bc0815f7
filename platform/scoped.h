// Scoped owners of what the platform layer hands out.
//
// An owner type is a traits struct (the resource's type, its empty value and how
// to release it) plus the one generic Scoped. Releasing never clobbers the
// thread's last-error value: a function that sets the value it reports and then
// returns reports that value, whatever its owners' clean-up left behind. The
// Windows backend's tests build their handle owners (tests/platform/scoped_win.h)
// on the same Scoped.
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

    Scoped() : handle_(Traits::Invalid()) {}
    explicit Scoped(Handle handle) : handle_(handle) {}
    ~Scoped() { Reset(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;

    bool IsValid() const { return Traits::IsValid(handle_); }
    Handle Get() const { return handle_; }

    // Gives up ownership without releasing.
    Handle Release() {
        Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    void Reset(Handle handle = Traits::Invalid()) {
        if (Traits::IsValid(handle_)) {
            KeepLastError keep;
            Traits::Free(handle_);
        }
        handle_ = handle;
    }

  private:
    Handle handle_;
};

// The empty value of the resources below: null.
template <typename H>
struct NullIsEmpty {
    using Handle = H;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
};

struct DeviceInfoSetTraits : NullIsEmpty<DeviceInfoSet> {
    static void Free(Handle set) { DestroyDeviceInfoSet(set); }
};

struct RegistryKeyTraits : NullIsEmpty<RegistryKey> {
    static void Free(Handle key) { CloseRegistryKey(key); }
};

// A block from HeapAllocZeroed, seen as a T*. Released without wiping: a block
// that held a secret is wiped by its owner's code before it goes out of scope.
template <typename T>
struct HeapBlockTraits : NullIsEmpty<T*> {
    static void Free(T* block) { HeapRelease(block); }
};

using ScopedDeviceInfoSet = Scoped<DeviceInfoSetTraits>;
using ScopedRegistryKey = Scoped<RegistryKeyTraits>;
template <typename T>
using ScopedHeapBlock = Scoped<HeapBlockTraits<T>>;

}  // namespace platform
