// The entry function: options, one calibration operation, the result message.
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
    int calibfile;
    wchar_t fileName[FILE_NAME_CHARS];
};

// Walks the arguments after the program path. Returns the result of parsing: 0, or
// 6 for a bad argument.
int ParseOptions(int count, wchar_t** arguments, Options* options) {
    int result = RESULT_SUCCESS;
    for (int i = 1; i < count; ++i) {
        const wchar_t* argument = arguments[i];
        if (std::wcscmp(argument, L"-debug") == 0) {
            options->debug = 1;
        } else if (std::wcscmp(argument, L"-exitcode") == 0) {
            options->exitcode = 1;
        } else if (std::wcscmp(argument, L"-calibfile") == 0) {
            options->calibfile = 1;
            if (i + 1 >= count || arguments[i + 1][0] == L'-') {
                // A missing name ends parsing: later arguments, -debug and
                // -exitcode included, are not looked at.
                return RESULT_INVALID_ARGUMENT;
            }
            const wchar_t* name = arguments[++i];
            if (std::wcslen(name) >= FILE_NAME_CHARS) {
                // Too long for the name buffer: refused rather than cut short, since
                // a shortened name could open another file.
                result = RESULT_INVALID_ARGUMENT;
            } else {
                std::wcscpy(options->fileName, name);
            }
        } else if (std::wcscmp(argument, L"-readtest") == 0) {
            ReadTestMode = 1;
        } else {
            result = RESULT_INVALID_ARGUMENT;
        }
    }
    return result;
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
        result = ParseOptions(count, arguments, &options);
        platform::FreeCommandLineArguments(arguments);
    }

    if (result == RESULT_SUCCESS) {
        MiscCommon::CMiscCommon& client = MiscCommon::g_MiscCommon;
        if (client.OpenDriver() != MiscCommon::MISC_SUCCESS ||
            client._Initialize() != MiscCommon::MISC_SUCCESS) {
            result = RESULT_OPEN_DRIVER_FAILED;
        } else if (options.calibfile != 0) {
            result = WriteBackCalibration(options.fileName);
        } else {
            result = ReadOutCalibration();
        }
    }

    if (options.debug != 0 && result != RESULT_SUCCESS) {
        platform::ShowMessageBox(ResultMessage(result), kCaption);
    }
    // The exit code is 0 unless asked for: callers may rely on that.
    return options.exitcode != 0 ? result : 0;
}
