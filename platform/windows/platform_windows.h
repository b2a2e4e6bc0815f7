// Extras of the Windows backend, beyond platform/platform.h.
#pragma once

namespace platform {
namespace windowsbackend {

// Splits a command line by CommandLineToArgvW's rules, except that a line opening
// with modulePath (the program's own path, in any case) unquoted and followed by a
// space, a tab or the end takes that whole path as argument 0, spaces and all. Null
// on failure. Release the array with FreeCommandLineArguments.
wchar_t** SplitCommandLine(const wchar_t* commandLine, const wchar_t* modulePath, int* count);

}  // namespace windowsbackend
}  // namespace platform
