// The entry function: options, one calibration operation, the result message.
#include <cstdio>
#include <cwchar>

#include "app/app.h"
#include "driver_client/misc_common.h"
#include "platform/platform.h"

int ReadTestMode = 0;

namespace {

const wchar_t kCaption[] = L"Quellix";

struct Options {
    int debug;
    int exitcode;  // the run's result becomes the process exit code
    int help;      // show the usage and do nothing else
    int verify;    // read the table again after a write-back and compare
    int calibfile;
    int backup;  // the read-out goes to backupName; a write-back saves the table there first
    wchar_t fileName[FILE_NAME_CHARS];
    wchar_t backupName[FILE_NAME_CHARS];
};

bool IsHelp(const wchar_t* argument) {
    return std::wcscmp(argument, L"-help") == 0 || std::wcscmp(argument, L"--help") == 0 ||
           std::wcscmp(argument, L"-?") == 0 || std::wcscmp(argument, L"/?") == 0;
}

// Our own options that count wherever they stand, even after a -calibfile whose
// name is missing: a script that loses a name to an empty variable must still be
// told that nothing was done, and a newcomer asking for help gets it.
void ScanEverywhere(int count, wchar_t** arguments, Options* options) {
    for (int i = 1; i < count; ++i) {
        if (std::wcscmp(arguments[i], L"-exitcode") == 0) {
            options->exitcode = 1;
        } else if (IsHelp(arguments[i])) {
            options->help = 1;
        }
    }
}

// Copies a file name into its buffer. False when it is too long for it: refused
// rather than cut short, since a shortened name could name another file.
bool TakeFileName(const wchar_t* name, wchar_t (&buffer)[FILE_NAME_CHARS]) {
    if (std::wcslen(name) >= FILE_NAME_CHARS) {
        return false;
    }
    std::wcscpy(buffer, name);
    return true;
}

// Whether the argument after i can be a file name: present and not an option.
bool HasName(int i, int count, wchar_t** arguments) {
    return i + 1 < count && arguments[i + 1][0] != L'-';
}

// Walks the arguments after the program path. Returns the result of parsing: 0, or
// 6 for a bad argument.
int ParseOptions(int count, wchar_t** arguments, Options* options) {
    int result = RESULT_SUCCESS;
    for (int i = 1; i < count; ++i) {
        const wchar_t* argument = arguments[i];
        if (std::wcscmp(argument, L"-debug") == 0) {
            options->debug = 1;
        } else if (std::wcscmp(argument, L"-exitcode") == 0 || IsHelp(argument)) {
            // Counted before parsing.
        } else if (std::wcscmp(argument, L"-verify") == 0) {
            options->verify = 1;
        } else if (std::wcscmp(argument, L"-calibfile") == 0) {
            options->calibfile = 1;
            if (!HasName(i, count, arguments)) {
                // A missing name ends parsing: later arguments, -debug included,
                // are not looked at.
                return RESULT_INVALID_ARGUMENT;
            }
            if (!TakeFileName(arguments[++i], options->fileName)) {
                result = RESULT_INVALID_ARGUMENT;
            }
        } else if (std::wcscmp(argument, L"-backup") == 0) {
            // The same name rules as -calibfile, but parsing goes on: what follows
            // a missing name is still an option.
            options->backup = 1;
            if (!HasName(i, count, arguments) ||
                !TakeFileName(arguments[++i], options->backupName)) {
                result = RESULT_INVALID_ARGUMENT;
            }
        } else if (std::wcscmp(argument, L"-readtest") == 0) {
            ReadTestMode = 1;
        } else {
            result = RESULT_INVALID_ARGUMENT;
        }
    }
    return result;
}

// The usage: the version, one line for each option, the result codes. A message
// box on Windows, where the program has no console; standard output elsewhere.
void ShowUsage() {
    static const int kCodes[] = {RESULT_SUCCESS,          RESULT_TABLE_NOT_FETCHED,
                                 RESULT_INVALID_TABLE,    RESULT_REGISTRY_WRITE_ERROR,
                                 RESULT_INVALID_ARGUMENT, RESULT_OPEN_DRIVER_FAILED,
                                 RESULT_FILE_FAILED};
    wchar_t text[2048];
    std::wcscpy(text, L"Quellix " QUELLIX_VERSION
                             L": the touch screen's calibration between the BIOS and a file\n"
                             L"quellix [options]      read Table 5 to \"calibfrombios.bin\"\n"
                             L"-calibfile FILE        write the 16 words of FILE to the BIOS\n"
                             L"-backup FILE           read out to FILE; with -calibfile, first\n"
                             L"-verify                read Table 5 again after writing, compare\n"
                             L"-exitcode              the result becomes the exit code\n"
                             L"-readtest              also write \"atoa.txt\" or \"maet.txt\"\n"
                             L"-debug                 show the result when it is not success\n"
                             L"-help, --help, -?, /?  show this text\n"
                             L"Results:\n");
    size_t used = std::wcslen(text);
    for (int code : kCodes) {
        const int added =
            std::swprintf(text + used, sizeof(text) / sizeof(text[0]) - used, L"%2d %ls\n", code,
                          code == RESULT_SUCCESS ? L"success" : ResultMessage(code));
        used += added > 0 ? static_cast<size_t>(added) : 0;
    }
#ifdef _WIN32
    platform::ShowMessageBox(text, kCaption);
#else
    for (size_t i = 0; i < used; ++i) {
        std::putchar(static_cast<char>(text[i]));  // the text is ASCII
    }
    std::fflush(stdout);
#endif
}

// Whether -exitcode stands among the arguments, read in place without allocating:
// a run that could not copy its arguments still owes a script that asked its result.
int ExitcodeAskedInPlace() {
    return platform::CommandLineHasArgument(L"-exitcode") ? 1 : 0;
}

}  // namespace

const wchar_t* ResultMessage(int resultCode) {
    switch (resultCode) {
        case RESULT_SUCCESS:
            return L"";
        case RESULT_TS_DEVICE_FAILED:
            return L"Failed to Open TS Device";
        case RESULT_TABLE_NOT_FETCHED:
            return L"Failed to retrieve Table5";
        case RESULT_TABLE_CHECKSUM:
            return L"Table5 Checksum error";
        case RESULT_INVALID_TABLE:
            return L"Invalid Table5 Data (No Calibration data)";
        case RESULT_REGISTRY_WRITE_ERROR:
            return L"Registry Write Error";
        case RESULT_INVALID_ARGUMENT:
            return L"Invalid Argument";
        case RESULT_OPEN_DRIVER_FAILED:
            return L"Failed to open Misc Driver";
        case RESULT_HIDD_GUID:
            return L"HIDD Guid Error";
        case RESULT_CLASS_DEVS_FAILED:
            return L"SetupDiGetClassDevs Fail";
        case RESULT_ENABLE_DEVICE_FAILED:
            return L"Failed to enable/disable device";
        case RESULT_DEVICE_NOT_FOUND:
            return L"Failed to find VARNEL device";
        case RESULT_FILE_FAILED:
            return L"Failed to Open Binary file";
        default:
            return L"General failure";
    }
}

int QuellixMain() {
    Options options = {};
    int result = RESULT_SUCCESS;

    int count = 0;
    wchar_t** arguments = platform::CommandLineArguments(&count);
    if (arguments == nullptr) {
        // Without the arguments we cannot know which operation was asked for, and
        // guessing could overwrite a file or the BIOS: refuse.
        result = RESULT_INVALID_ARGUMENT;
        options.exitcode = ExitcodeAskedInPlace();
    } else {
        ScanEverywhere(count, arguments, &options);
        result = ParseOptions(count, arguments, &options);
        platform::FreeCommandLineArguments(arguments);
    }

    if (options.help != 0) {
        ShowUsage();
        return 0;
    }
    if (result == RESULT_SUCCESS) {
        MiscCommon::CMiscCommon& client = MiscCommon::g_MiscCommon;
        if (client.OpenDriver() != MiscCommon::MISC_SUCCESS ||
            client._Initialize() != MiscCommon::MISC_SUCCESS) {
            result = RESULT_OPEN_DRIVER_FAILED;
        } else if (options.calibfile != 0) {
            result = WriteBackCalibration(options.fileName,
                                          options.backup != 0 ? options.backupName : nullptr,
                                          options.verify != 0);
        } else {
            result = ReadOutCalibration(options.backup != 0 ? options.backupName : nullptr);
        }
    }

    if (options.debug != 0 && result != RESULT_SUCCESS) {
        platform::ShowMessageBox(ResultMessage(result), kCaption);
    }
    // The exit code is 0 unless asked for: callers may rely on that.
    return options.exitcode != 0 ? result : 0;
}
