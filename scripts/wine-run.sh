#!/usr/bin/env bash
# wine-run.sh EXE [ARGS...]: runs one of our Windows programs under Wine against the
# devices under MISC_DEVICE_ROOT, as the Linux build would run against them.
#
# - EXE runs in the current folder with ARGS as given; the exit status is EXE's.
#   Its standard output and error come out as it wrote them, after it ends (they are
#   held in files meanwhile: a helper that Wine starts for a message box inherits
#   them and could hold a caller's pipe open for seconds). Each message box it
#   shows is also one line `<caption>: <text>` on standard error, in its place among
#   the program's own error output. Nothing else is printed, unless this script
#   itself fails (status 125, one line on stderr).
# - QUELLIX_WINE_RUN_LOG, when set, names a file to which this call adds what it saw
#   of Wine itself: the set-up's output, Wine's own error lines from the program's
#   run (kept off its standard error) and the exit status. The end-to-end harness
#   shows it when a run fails.
# - The misc driver's interfaces are, before EXE starts, exactly the folders of the
#   device contract under MISC_DEVICE_ROOT (default /run/misc-device): in byte order,
#   present when the folder holds a `device` socket, DriverVersion from the folder's
#   file, each opening through the bridge driver and the relay to its own socket
#   (tools/wine_bridge). No class folder, no interfaces. Every call makes them so
#   (skipping the set-up when the last call on the prefix left them so already), and
#   they stay so after the program ends (a program run in the prefix otherwise sees
#   the last call's interfaces).
# - The prefix is WINEPREFIX when set, else this checkout's own, made on first use
#   and kept (~/.cache/quellix/wine-prefix-<folder>-<hash of the checkout's path>), so
#   two checkouts never share a relay. Calls on one prefix take turns: each holds the
#   prefix's lock from the set-up until its program ends, as the interfaces belong to
#   the whole prefix. The Wine server and the relay stay up for the next call (the
#   relay ends after 15 idle minutes); scripts/lib.sh's stop_wine ends both.
# - Status 125 with one line on stderr: Wine could not be set up or started (not
#   installed, its server or prefix failing, the program's process not set up twice
#   running), as opposed to the program's own status.
# - The Wine loaders come from scripts/wine-loaders.sh: a 64-bit EXE and all of the
#   set-up run under the 64-bit loader; a 32-bit EXE runs under the 32-bit loader
#   where this host runs 32-bit programs, and fails (status 125) where it does not.
#
# Needs the bridge from the 64-bit cross build (build-mingw64: quellix_bridge.sys,
# bridge_sync.exe) and the relay from the Linux build (build: quellix-wine-relay);
# QUELLIX_MINGW64_BUILD and QUELLIX_NATIVE_BUILD name other build folders. Missing
# ones are built, quietly.
set -uo pipefail

# Only standard input, output and error go on: the Wine server, the relay and Wine's
# helpers started from here outlive this call and must not keep the caller's other
# files open (a device connection, say, which the device would then see as open).
for fd in /proc/$$/fd/*; do
    fd=${fd##*/}
    [ "$fd" -le 2 ] || eval "exec $fd>&-" 2>/dev/null
done
# Each program this script starts costs a call some milliseconds, and the end-to-end
# suite makes hundreds of calls: what a shell builtin or expansion does, it does.
here=${BASH_SOURCE[0]%/*}
[ "$here" != "${BASH_SOURCE[0]}" ] || here=.
source "$here/lib.sh"
repo=$quellix_root
run_log=${QUELLIX_WINE_RUN_LOG:-/dev/null}
die() {
    echo "wine-run.sh: $*" >&2
    { echo "wine-run.sh: $*"; [ -z "${setup_log:-}" ] || cat "$setup_log"; } >>"$run_log" 2>/dev/null
    exit 125
}
[ $# -ge 1 ] || die "usage: wine-run.sh EXE [ARGS...]"
exe=$1
shift
[ -f "$exe" ] || die "no such program: $exe"

source "$repo/scripts/wine-loaders.sh" || die "no usable Wine loader"

# --- the program's bitness and loader ------------------------------------------------
pe=$(od -An -tu4 -j60 -N4 "$exe" 2>/dev/null)
pe=${pe//[[:space:]]/}
machine=""
[ -z "$pe" ] || machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$exe" 2>/dev/null)
machine=${machine//[[:space:]]/}
case "$machine" in
    8664) loader=$wine64 ;;
    014c)
        [ -n "$wine32" ] || die "cannot run the 32-bit $exe: $wine32_missing"
        loader=$wine32
        ;;
    *) die "$exe is not a 32- or 64-bit Windows program" ;;
esac

# --- the bridge's parts --------------------------------------------------------------
mingw64=${QUELLIX_MINGW64_BUILD:-$repo/build-mingw64}
native=${QUELLIX_NATIVE_BUILD:-$repo/build}
driver=$mingw64/tools/wine_bridge/quellix_bridge.sys
sync_exe=$mingw64/tools/wine_bridge/bridge_sync.exe
relay=$native/tools/wine_bridge/quellix-wine-relay
work=$(mktemp -d /tmp/quellix-wine-run.XXXXXX) || die "cannot make a temporary folder"
trap 'rm -rf "$work"' EXIT
build_log=$work/build.log
# A folder without a Makefile (never configured, or a configure that failed) is
# configured; one that is configured is kept as it is.
build_part() {
    local preset=$1 dir=$2 target=$3
    { [ -f "$dir/Makefile" ] || configure "$preset" "$dir"; } >"$build_log" 2>&1 &&
        cmake --build "$dir" --target "$target" -j"$jobs" >>"$build_log" 2>&1 ||
        die "building $target failed: $(tail -n 20 "$build_log")"
}
if [ ! -f "$driver" ] || [ ! -f "$sync_exe" ]; then
    build_part mingw64 "$mingw64" quellix_bridge
    build_part mingw64 "$mingw64" bridge_sync
fi
[ -x "$relay" ] || build_part program "$native" quellix-wine-relay

# --- the prefix, its server, and the lock --------------------------------------------
command -v wineserver >/dev/null || die "Wine cannot start: no wineserver (package wine)"
if [ -z "${WINEPREFIX:-}" ]; then
    WINEPREFIX=$(default_wineprefix)
fi
export WINEPREFIX
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree,mshtml=}"
state=$WINEPREFIX/quellix-bridge
[ -d "$state" ] || mkdir -p "$state" || die "cannot create $state"
exec 9>"$state/lock" || die "cannot open $state/lock"
flock 9 || die "cannot lock $state/lock"

# Wine's own processes must not hold the caller's output open: all set-up output
# goes to a log. The server stays up, so the driver stays loaded between programs;
# status 2 means one runs already.
setup_log=$state/setup.log
: >"$setup_log"
wineserver -p </dev/null >>"$setup_log" 2>&1 9>&-
server=$?
case $server in
    0 | 2) ;;
    *) die "Wine cannot start: its server failed for $WINEPREFIX: $(tail -n 5 "$setup_log")" ;;
esac
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wine_boot "$wine64" </dev/null >>"$setup_log" 2>&1 9>&- ||
        die "Wine cannot start: making the prefix $WINEPREFIX failed: $(tail -n 20 "$setup_log")"
fi

# The driver's file in the prefix; a changed one is loaded anew.
installed=$WINEPREFIX/drive_c/windows/system32/drivers/quellix_bridge.sys
reload=()
if ! cmp -s "$driver" "$installed"; then
    cp "$driver" "$installed" || die "cannot install the bridge driver in $WINEPREFIX"
    reload=(--reload)
fi

# The relay, one per prefix, started when it is not running (it ends by itself after
# 15 idle minutes). The token keeps other local programs from using it.
relay_running() {
    local pid
    { pid=$(<"$state/relay.pid"); } 2>/dev/null && [ -n "$pid" ] && [ -s "$state/relay.port" ] &&
        [ "/proc/$pid/exe" -ef "$relay" ]
}
if ! relay_running; then
    # One that runs an older build of the relay goes.
    old=$(cat "$state/relay.pid" 2>/dev/null)
    if [ -n "$old" ] && grep -qa quellix-wine-relay "/proc/$old/cmdline" 2>/dev/null; then
        kill "$old" 2>/dev/null
    fi
    (umask 077 && od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$state/relay.token") ||
        die "cannot write the relay token"
    rm -f "$state/relay.port"
    setsid "$relay" --token-file "$state/relay.token" --port-file "$state/relay.port" \
        </dev/null >>"$setup_log" 2>&1 9>&- &
    echo $! >"$state/relay.pid"
    wait_for $! 5 test -s "$state/relay.port"
    relay_running || die "the relay did not start: $(tail -n 5 "$setup_log")"
fi

# --- the interfaces --------------------------------------------------------------------
hex() {
    local bytes
    bytes=$(od -An -v -tx1)
    printf '%s' "${bytes//[[:space:]]/}"
}
describe_interfaces() {
    local root=${MISC_DEVICE_ROOT:-}
    [ -n "$root" ] || root=/run/misc-device
    # The relay works elsewhere: a relative root is the program's, this folder's.
    [[ "$root" == /* ]] || root=$PWD/$root
    local class="$root/{80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}" folder present version
    [ -d "$class" ] || return 0
    # The glob sorts by byte under LC_ALL=C, and takes dot-folders too.
    local LC_ALL=C
    shopt -s nullglob dotglob
    for folder in "$class"/*; do
        [ -d "$folder" ] || continue
        present=0
        if [ -S "$folder/device" ] && [ ! -L "$folder/device" ]; then
            present=1
        fi
        # "-": no readable file. An empty file is an empty field (bridge_sync
        # splits on single spaces), an empty value as on Linux.
        version=-
        if [ -f "$folder/DriverVersion" ] && [ -r "$folder/DriverVersion" ]; then
            version=$(hex <"$folder/DriverVersion")
        fi
        echo "interface $present $version $(printf '%s' "$folder/device" | hex)"
    done
}
# The description is written whole to a file before bridge_sync reads it, and ends
# in a line "end" that bridge_sync requires: a description cut short is refused, never
# taken for a smaller set of interfaces, and a failure names the side it came from.
# It holds the relay's token, so it is the runner's alone.
description=$state/interfaces
(umask 077 && { echo "relay $(<"$state/relay.port") $(<"$state/relay.token")" &&
    describe_interfaces && echo end; } >"$description") ||
    die "describing the interfaces under ${MISC_DEVICE_ROOT:-/run/misc-device} failed"
# A description the prefix has already (the same as the last call's, with the same
# server, which kept the driver loaded, and the same driver file) is not set up
# again: bridge_sync is a Wine program, and starting one is a good part of a call.
# A new server, a reload or a failed set-up takes the mark away; so do stop_wine and
# wine_boot (scripts/lib.sh).
synced=$state/interfaces.synced
if [ "$server" != 2 ] || [ ${#reload[@]} -gt 0 ] || ! cmp -s "$description" "$synced"; then
    rm -f "$synced"
    WINEDEBUG=-all,err+all "$wine64" "$sync_exe" "${reload[@]}" <"$description" \
        >>"$setup_log" 2>&1 9>&- ||
        die "setting up the misc driver's interfaces failed (bridge_sync status $?):" \
            "$(tail -n 5 "$setup_log")"
    cp "$description" "$synced" || die "cannot write $synced"
fi

# --- the program ---------------------------------------------------------------------------
# Message boxes are seen in Wine's relay trace, limited to MessageBoxW by the prefix's
# RelayInclude setting (bridge_sync adds it); the trace shares standard error with the
# program, so its lines are taken out again below.
# Wine can fail to set a process up before the program runs at all: status 1 and
# "wine: failed to map the shared user data" on its error output, seen rarely on a
# busy host. Nothing of the program ran then, so it is started once more; a second
# such failure is Wine's (status 125), not the program's.
out=$work/out
err=$work/err
for attempt in 1 2; do
    WINEDEBUG=-all,err+all,+relay "$loader" "$exe" "$@" >"$out" 2>"$err" 9>&-
    status=$?
    [ "$status" = 1 ] && not_started=$(grep -m1 "wine: failed to map the shared user data" "$err") ||
        break
    [ "$attempt" = 1 ] || die "Wine could not start $exe: $not_started"
done
exec 9>&-
[ ! -s "$out" ] || cat "$out"
{ echo "== $exe $*"; [ ! -s "$setup_log" ] || cat "$setup_log"; } >>"$run_log" 2>/dev/null
RUN_LOG=$run_log perl -ne '
    # debugstr_w: \\ \" \n \r \t and \xNNNN for what is not printable ASCII.
    sub unescape {
        my $s = shift;
        $s =~ s/\\(x([0-9a-fA-F]{4})|u([0-9a-fA-F]{4})|n|r|t|\\|")/
            defined $2 ? chr(hex $2) : defined $3 ? chr(hex $3) :
            $1 eq "n" ? "\n" : $1 eq "r" ? "\r" : $1 eq "t" ? "\t" : $1/ge;
        return $s;
    }
    BEGIN { open(RUN_LOG, ">>", $ENV{RUN_LOG}) or open(RUN_LOG, ">", "/dev/null"); }
    # A long text comes shortened, with "..." after its closing quote.
    my $str = q{L"((?:[^"\\\\]|\\\\.)*)"(?:\.\.\.)?};
    if (/^(?:[0-9a-f]+:){1,2}Call user32\.MessageBoxW\([0-9a-f]+,[0-9a-f]+ $str,[0-9a-f]+ $str,/) {
        my $line = unescape($2) . ": " . unescape($1) . "\n";
        utf8::encode($line);
        print $line;
    } elsif (/^(?:[0-9a-f]+:){1,2}(?:err|fixme|warn):/) {
        print RUN_LOG $_;
    } elsif (!/^(?:[0-9a-f]+:){1,2}(?:Call |Ret  |Starting |trace:relay:)/) {
        print;
    }
' "$err" >&2
echo "== exit status $status" >>"$run_log" 2>/dev/null
exit "$status"
