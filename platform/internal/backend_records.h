// What the Linux backend and the in-process test backend build the same way: the
// device-interface detail record that stands in for SP_DEVICE_INTERFACE_DETAIL_DATA_W,
// the answer to a registry text query, and the argument array of
// CommandLineArguments. Standard C++ only, since the test backend is built for
// Windows too. Each backend keeps its own argument checks and error codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {
namespace internal {

// The detail record: a size word, padding, then the device path and its terminator.
constexpr size_t kDetailPathOffset = 8;

// The record for a path of `length` characters.
inline size_t DetailSizeFor(size_t length) {
    return kDetailPathOffset + (length + 1) * sizeof(wchar_t);
}

// Fills a record of DetailSizeFor(length) bytes with the terminated path.
inline void WriteDetail(void* detail, const wchar_t* path, size_t length) {
    auto* bytes = static_cast<uint8_t*>(detail);
    const uint32_t size = static_cast<uint32_t>(DetailSizeFor(length));
    std::memcpy(bytes, &size, sizeof size);
    std::memcpy(bytes + kDetailPathOffset, path, (length + 1) * sizeof(wchar_t));
}

inline const wchar_t* DetailPath(const void* detail) {
    if (detail == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<const wchar_t*>(static_cast<const uint8_t*>(detail) +
                                            kDetailPathOffset);
}

// The end of a registry text query: *sizeBytes takes the size the value needs, two
// bytes per character with the terminator, as the registry's UTF-16 counts it; the
// value is copied only when a buffer is given and large enough.
// value is terminated after its `length` characters.
inline uint32_t AnswerRegistryText(const wchar_t* value, size_t length, wchar_t* buffer,
                                   uint32_t* sizeBytes) {
    const uint64_t needed = (static_cast<uint64_t>(length) + 1) * 2;
    const uint32_t capacity = *sizeBytes;
    *sizeBytes = static_cast<uint32_t>(needed < 0xFFFFFFFFu ? needed : 0xFFFFFFFFu);
    if (buffer == nullptr) {
        return kErrorSuccess;
    }
    if (needed > capacity) {
        return kErrorMoreData;
    }
    std::memcpy(buffer, value, (length + 1) * sizeof(wchar_t));
    return kErrorSuccess;
}

inline void FreeArgumentArray(wchar_t** arguments) {
    if (arguments == nullptr) {
        return;
    }
    for (size_t i = 0; arguments[i] != nullptr; ++i) {
        std::free(arguments[i]);
    }
    std::free(arguments);
}

// A null-terminated array of heap copies of args, for FreeArgumentArray; null when
// memory runs out, with nothing left allocated. *count (when given) takes the
// number of arguments on success only.
inline wchar_t** NewArgumentArray(const std::vector<std::wstring>& args, int* count) {
    auto** array = static_cast<wchar_t**>(std::calloc(args.size() + 1, sizeof(wchar_t*)));
    if (array == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < args.size(); ++i) {
        array[i] = static_cast<wchar_t*>(std::calloc(args[i].size() + 1, sizeof(wchar_t)));
        if (array[i] == nullptr) {
            FreeArgumentArray(array);
            return nullptr;
        }
        std::memcpy(array[i], args[i].c_str(), args[i].size() * sizeof(wchar_t));
    }
    if (count != nullptr) {
        *count = static_cast<int>(args.size());
    }
    return array;
}

}  // namespace internal
}  // namespace platform
