# Sourced by the scripts: what they share, said once.
#
#   jobs                          parallel build and test jobs (the processor count)
#   install_missing PACKAGE...    installs the Debian packages not installed yet; where
#                                 it cannot, one line names them and the script ends
#   configure PRESET [DIR]        configures a build from CMakePresets.json (in DIR
#                                 instead of the preset's folder); a folder left by a
#                                 failed configure is configured afresh
#   default_wineprefix            the Wine prefix of this checkout (printed)
#   wine_boot WINE64              makes the prefix WINEPREFIX with the 64-bit loader,
#                                 its server left running
#   wait_for PID SECONDS TEST...  waits until the command TEST succeeds; fails when
#                                 PID ends or the time runs out
#   at_exit COMMAND               runs COMMAND (a string) when the script ends, the
#                                 last one added first; stop_pid and stop_wine are
#                                 the usual ones
#   stop_pid PID                  ends a process the script started and waits for it
#   stop_group PID                the same for one started with setsid, and its children
#   in_the_background COMMAND...  starts COMMAND in the background in a session of its
#                                 own ($! is its PID, for stop_group) at the lowest
#                                 priority, to use what processor time is left over
#   stop_wine                     ends the Wine server of WINEPREFIX and its relay
# Expansions, not dirname and basename: scripts/wine-run.sh sources this on every call.
lib_dir=${BASH_SOURCE[0]%/*}
[ "$lib_dir" != "${BASH_SOURCE[0]}" ] || lib_dir=.
quellix_root=$(cd "$lib_dir/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

# The script's name for its one-line messages.
lib_me=${0##*/}

# apt-get runs only when something is missing, or when apt_update=1 says the package
# lists changed (a foreign architecture just added).
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || [ "${apt_update:-0}" = 1 ] || return 0
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
        echo "$lib_me: missing Debian packages: ${missing[*]} (apt-get install ${missing[*]})" >&2
        exit 1
    fi
    echo "== installing: ${missing[*]}"
    local log
    log=$(mktemp)
    if ! { apt-get update -qq && { [ ${#missing[@]} = 0 ] ||
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; }; } >"$log" 2>&1; then
        echo "$lib_me: could not install ${missing[*]}: $(grep -m1 -E '^E:' "$log" || tail -n 1 "$log")" >&2
        rm -f "$log"
        exit 1
    fi
    rm -f "$log"
    apt_update=0
}

# The configure output is shown only when it fails. A folder that a failed configure
# left (a cache, no Makefile) is configured afresh (--fresh, CMake 3.24).
configure() {
    local args=(--preset "$1") out
    [ -z "${2:-}" ] || args+=(-B "$2")
    out=$(cd "$quellix_root" && { cmake "${args[@]}" || cmake "${args[@]}" --fresh; } 2>&1) || {
        echo "$out" | tail -n 20 >&2
        echo "$lib_me: configuring the $1 build failed" >&2
        return 1
    }
}

# One prefix per checkout, so that two checkouts on one machine never share a relay.
default_wineprefix() {
    local id
    id=$(printf '%s' "$quellix_root" | sha1sum | cut -c1-10)
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/quellix/wine-prefix-$(basename "$quellix_root")-$id"
}

# A prefix's first boot leaves two service managers running, and a service created
# afterwards (the bridge driver's) is unknown to the one asked to start it: the
# server is started afresh once and stays up (persistent), so that programs start
# quickly. Output goes where the caller sends it.
wine_boot() {
    rm -f "$WINEPREFIX/quellix-bridge/interfaces.synced"
    WINEDEBUG=-all "$1" wineboot --init && { wineserver -k; wineserver -w; } &&
        wineserver -p && WINEDEBUG=-all "$1" wineboot
}

wait_for() {
    local pid=$1 tenths=$(($2 * 10))
    shift 2
    while ! "$@"; do
        kill -0 "$pid" 2>/dev/null || return 1
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || return 1
        sleep 0.1
    done
}

lib_at_exit=()
at_exit() {
    lib_at_exit=("$1" "${lib_at_exit[@]}")
    trap lib_run_at_exit EXIT
    trap 'exit 130' INT TERM
}
lib_run_at_exit() {
    local c
    for c in "${lib_at_exit[@]}"; do
        eval "$c" || true
    done
}

stop_pid() {
    [ -n "${1:-}" ] || return 0
    kill -TERM "$1" 2>/dev/null || return 0
    wait "$1" 2>/dev/null || true
}

# The same for a process started with setsid, and all that it started.
stop_group() {
    [ -n "${1:-}" ] || return 0
    kill -TERM -- "-$1" 2>/dev/null || return 0
    wait "$1" 2>/dev/null || true
}

# A new session is a scheduling group of its own where the kernel groups by session
# (autogroup): the processors are shared between the groups first, whatever the nice
# value of the processes in each. So the group's own nice value is set as well.
in_the_background() {
    setsid nice -n 19 bash -c 'echo 19 2>/dev/null >/proc/self/autogroup; exec "$@"' _ "$@" &
}

# Only the server of our own prefix, and only a relay that is ours; a wine-run.sh
# call still running on the prefix (it holds the lock) ends first.
stop_wine() {
    [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] || return 0
    local state=$WINEPREFIX/quellix-bridge pid lock=/dev/null
    [ ! -d "$state" ] || lock=$state/lock
    (
        [ ! -d "$state" ] || flock -w 60 9 || true
        rm -f "$state/interfaces.synced"
        wineserver -k 2>/dev/null && wineserver -w 2>/dev/null
        pid=$(cat "$state/relay.pid" 2>/dev/null) || exit 0
        if grep -qa quellix-wine-relay "/proc/$pid/cmdline" 2>/dev/null; then
            kill "$pid" 2>/dev/null || true
        fi
    ) 9>>"$lock"
}
