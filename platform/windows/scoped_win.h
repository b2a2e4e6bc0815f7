// Small RAII helpers over Win32 handles, for the Windows backend and its tests.
//
// A handle type is a traits struct (its invalid value and how to free it) plus the
// one generic ScopedHandle. Freeing never clobbers the thread's last-error value: a
// caller that reports GetLastError() after its clean-up still reports the failure
// it met, not the result of the close.
#pragma once

#include <windows.h>

#include <setupapi.h>

namespace platform_windows {

// Restores the thread's last-error value when it goes out of scope.
class ScopedLastError {
  public:
    ScopedLastError() : error_(GetLastError()) {}
    ~ScopedLastError() { SetLastError(error_); }
    ScopedLastError(const ScopedLastError&) = delete;
    ScopedLastError& operator=(const ScopedLastError&) = delete;

  private:
    DWORD error_;
};

template <typename Traits>
class ScopedHandle {
  public:
    using Handle = typename Traits::Handle;

    ScopedHandle() : handle_(Traits::Invalid()) {}
    explicit ScopedHandle(Handle handle) : handle_(handle) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    bool IsValid() const { return Traits::IsValid(handle_); }
    Handle Get() const { return handle_; }

    // Gives up ownership without closing.
    Handle Release() {
        Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    void Reset(Handle handle = Traits::Invalid()) {
        if (Traits::IsValid(handle_)) {
            ScopedLastError keep;
            Traits::Free(handle_);
        }
        handle_ = handle;
    }

  private:
    Handle handle_;
};

// A kernel object handle from CreateFileW, CreateNamedPipeW and the like.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Free(Handle h) { CloseHandle(h); }
};

// A device information set from SetupDiGetClassDevsW or SetupDiCreateDeviceInfoList.
struct DevInfoTraits {
    using Handle = HDEVINFO;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Free(Handle h) { SetupDiDestroyDeviceInfoList(h); }
};

// An open registry key.
struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Free(Handle h) { RegCloseKey(h); }
};

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedDevInfo = ScopedHandle<DevInfoTraits>;
using ScopedRegKey = ScopedHandle<RegKeyTraits>;

}  // namespace platform_windows
