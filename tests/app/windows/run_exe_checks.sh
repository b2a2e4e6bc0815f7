#!/usr/bin/env bash
# quellix.exe under Wine, where no misc driver exists: the real SetupAPI path finds
# no interface, the process exits with 0 (with -exitcode, the result code), no file
# is written, and with -debug the result reaches the user through MessageBoxW. The
# calls are observed from outside with Wine's relay trace; headless, MessageBoxW
# returns at once.
#
# Usage: run_exe_checks.sh WINE-LOADER path/to/quellix.exe   (uses the caller's WINEPREFIX)
# The loader is the build's own (its CMAKE_CROSSCOMPILING_EMULATOR), never the `wine`
# wrapper, which would pick the 32-bit loader even where it cannot start.
set -uo pipefail

wine=$1
exe=$(realpath "$2")
work=$(mktemp -d)
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree,mshtml=}"

# Keep one Wine server with its services running for all the runs: each run is then
# quick, and the services do not start inside a traced run. Exit status 2 means a
# server was already running; only a server started here is stopped here.
started_server=0
if wineserver -p 2>/dev/null; then
    started_server=1
fi
WINEDEBUG=-all "$wine" wineboot >/dev/null 2>&1

# Trace only the calls looked at (a full relay trace is tens of megabytes per run);
# the prefix's own choice (scripts/wine-run.sh traces MessageBoxW) comes back after.
debug_key='HKCU\Software\Wine\Debug'
old_relay=$(WINEDEBUG=-all "$wine" reg query "$debug_key" /v RelayInclude 2>/dev/null |
    tr -d '\r' | awk '$1 == "RelayInclude" { print $3 }')
set_relay=0
WINEDEBUG=-all "$wine" reg add "$debug_key" /v RelayInclude /t REG_SZ \
    /d 'user32.MessageBoxW;setupapi.*' /f >/dev/null 2>&1 && set_relay=1

cleanup() {
    rm -rf "$work"
    if [ "$set_relay" = 1 ] && [ -n "$old_relay" ]; then
        WINEDEBUG=-all "$wine" reg add "$debug_key" /v RelayInclude /t REG_SZ \
            /d "$old_relay" /f >/dev/null 2>&1
    elif [ "$set_relay" = 1 ]; then
        WINEDEBUG=-all "$wine" reg delete "$debug_key" /v RelayInclude /f >/dev/null 2>&1
    fi
    if [ "$started_server" = 1 ]; then
        wineserver -k
    fi
}
trap cleanup EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A file put into the run's folder beforehand, when $seed names one.
seed=""
seed_text="1234 0000 ffff 0a0b 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 "

# Runs quellix.exe with the given arguments in a fresh folder, keeping the relay
# lines of the calls the checks look at. Sets $rc and $trace; the folder is $dir.
run() {
    dir=$(mktemp -d "$work/run.XXXX")
    trace="$dir.trace"
    if [ -n "$seed" ]; then
        printf '%s' "$seed_text" >"$dir/$seed"
    fi
    # The trace goes to a file, not a pipe: a helper process that Wine starts for the
    # message box inherits the output and would hold a pipe open for seconds.
    rc=0
    (cd "$dir" && WINEDEBUG=+pid,+relay "$wine" "$exe" "$@" >/dev/null 2>"$trace.all") || rc=$?
    grep -a -E 'Call (user32\.MessageBoxW|setupapi\.SetupDi)|Ret  setupapi\.SetupDiEnumDeviceInterfaces' \
        "$trace.all" >"$trace"
}

# Each run: exit code 0 (or the one given), and the folder as it was (empty, or the
# seeded file unchanged).
expect_clean_exit() {
    local what=$1 code=${2:-0}
    [ "$rc" = "$code" ] || fail "$what: exit code $rc, expected $code"
    local files
    files=$(ls -A "$dir")
    [ "$files" = "$seed" ] || fail "$what: files afterwards: '$files', expected '$seed'"
    if [ -n "$seed" ] && [ "$(cat "$dir/$seed")" != "$seed_text" ]; then
        fail "$what: $seed was changed"
    fi
}

# MessageBoxW(no owner, text, "Quellix", MB_OK | MB_SETFOREGROUND) exactly once, with
# this text.
expect_message() {
    local what=$1 text=$2
    local pattern="Call user32\.MessageBoxW\(0+,[0-9a-f]+ L\"$text\",[0-9a-f]+ L\"Quellix\",0*10000\)"
    local count
    count=$(grep -c 'user32\.MessageBoxW' "$trace")
    grep -q -E "$pattern" "$trace" && [ "$count" = 1 ] ||
        fail "$what: expected one MessageBoxW \"$text\"; trace: $(grep MessageBoxW "$trace")"
}

expect_no_message() {
    ! grep -q 'user32\.MessageBoxW' "$trace" || fail "$1: unexpected $(grep MessageBoxW "$trace")"
}

# The driver was looked for through SetupAPI with DIGCF_PRESENT | DIGCF_DEVICEINTERFACE
# (Wine's own services use other flags) and that process enumerated no interface.
# Trace lines begin with the process and thread ids.
classdevs='Call setupapi\.SetupDiGetClassDevsW\([0-9a-f]+,0+,0+,00000012\)'
expect_driver_looked_for() {
    local pid
    pid=$(grep -E "$classdevs" "$trace" | head -n 1 | cut -d: -f1)
    [ -n "$pid" ] || { fail "$1: SetupDiGetClassDevsW(present device interfaces) not called"; return; }
    grep -q -E "^$pid:[0-9a-f]+:Ret  setupapi\.SetupDiEnumDeviceInterfaces\(\) retval=00000000" "$trace" ||
        fail "$1: SetupDiEnumDeviceInterfaces did not come back empty"
}

expect_driver_untouched() {
    ! grep -q -E "$classdevs" "$trace" || fail "$1: the driver was looked for"
}

run
expect_clean_exit "no arguments"
expect_no_message "no arguments"
expect_driver_looked_for "no arguments"

run -debug
expect_clean_exit "-debug"
expect_message "-debug" "Failed to open Misc Driver"
expect_driver_looked_for "-debug"

run -readtest -debug
expect_clean_exit "-readtest -debug"
expect_message "-readtest -debug" "Failed to open Misc Driver"

run -bogus -debug
expect_clean_exit "-bogus -debug"
expect_message "-bogus -debug" "Invalid Argument"
expect_driver_untouched "-bogus -debug"

run -debug -calibfile
expect_clean_exit "-debug -calibfile"
expect_message "-debug -calibfile" "Invalid Argument"

# Parsing stops at the missing file name, before -debug.
run -calibfile -debug
expect_clean_exit "-calibfile -debug"
expect_no_message "-calibfile -debug"
expect_driver_untouched "-calibfile -debug"

# A calibration file is never touched when the driver cannot be opened; nor is an
# earlier read-out's file.
seed="calib file.bin"
run -debug -calibfile "calib file.bin"
expect_clean_exit "-calibfile with a name"
expect_message "-calibfile with a name" "Failed to open Misc Driver"
seed="calibfrombios.bin"
run -debug
expect_clean_exit "read-out over an existing file"
expect_message "read-out over an existing file" "Failed to open Misc Driver"
seed=""

# -exitcode: the result becomes the exit code, wherever it stands.
run -exitcode
expect_clean_exit "-exitcode" 7
expect_no_message "-exitcode"
run -bogus -exitcode
expect_clean_exit "-bogus -exitcode" 6
expect_driver_untouched "-bogus -exitcode"
run -calibfile -exitcode
expect_clean_exit "-calibfile -exitcode (parsing stops, -exitcode still counts)" 6
expect_driver_untouched "-calibfile -exitcode"

# The usage in a message box, and nothing else.
run -exitcode /?
expect_clean_exit "/?" 0
grep -q -E 'Call user32\.MessageBoxW\(0+,[0-9a-f]+ L"Quellix [0-9]+\.[0-9]+\.[0-9]+: .*,[0-9a-f]+ L"Quellix",' "$trace" ||
    fail "/?: expected the usage in a box; trace: $(grep MessageBoxW "$trace")"
expect_driver_untouched "/?"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) of quellix.exe failed"
    exit 1
fi
echo "quellix.exe checks passed"
