// Small RAII helpers over Win32 handles, for the Windows backend's tests (the
// backend itself owns its handles through platform/scoped.h).
//
// A handle type is a traits struct (its invalid value and how to free it) plus the
// one generic ScopedHandle, the platform layer's Scoped. Freeing never clobbers the
// thread's last-error value: a caller that reports GetLastError() after its
// clean-up still reports the failure it met, not the result of the close.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include "platform/scoped.h"

namespace platform_windows {

// Keeps the thread's last-error value around a release (platform/scoped.h; the
// backend's last-error value is GetLastError's).
template <typename Traits>
using ScopedHandle = platform::Scoped<Traits>;

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
