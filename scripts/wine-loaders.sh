# Sourced by the scripts that run our Windows programs under Wine. They pick the Wine
# loader themselves: Debian's `wine` wrapper starts the 32-bit loader whenever it is
# installed, and on a host whose kernel refuses 32-bit programs ("IA-32 emulation off")
# that fails with "Exec format error" before anything runs, 64-bit programs included.
#
# Sets
#   wine64          the 64-bit loader: it makes the prefix and runs the 64-bit build;
#   wine32          the 32-bit loader, or empty where 32-bit programs cannot run here;
#   wine32_missing  why wine32 is empty (one line), else empty;
# and exports WINELOADER=$wine64. Wine starts a child of the other bitness through
# WINELOADER with its "64" taken off, so a 32-bit program started from a 64-bit one
# still gets the 32-bit loader where there is one.
#
# QUELLIX_NO_WIN32=1 treats 32-bit programs as unavailable, so that path can be tried
# on any host. Any other trouble with the loaders is an error (status 1).
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
wine32_missing=""
if [ ! -x "$wine64" ]; then
    echo "no 64-bit Wine loader at $wine64 (package wine64)" >&2
    return 1
fi
if [ -n "${QUELLIX_NO_WIN32:-}" ]; then
    wine32_missing="QUELLIX_NO_WIN32 is set"
elif [ ! -x "$wine32" ]; then
    echo "no 32-bit Wine loader at $wine32 (package wine32:i386)" >&2
    return 1
else
    # Start the 32-bit loader and see. The kernel's refusal is ENOEXEC, which the
    # shell reports as status 126 with "Exec format error"; anything else is a fault.
    wine32_rc=0
    wine32_out=$(LC_ALL=C "$wine32" --version 2>&1) || wine32_rc=$?
    if [ "$wine32_rc" = 126 ] && [[ "$wine32_out" == *"Exec format error"* ]]; then
        wine32_missing="this host's kernel refuses 32-bit programs (the 32-bit Wine loader fails with Exec format error)"
    elif [ "$wine32_rc" != 0 ]; then
        echo "the 32-bit Wine loader does not start (status $wine32_rc): $wine32_out" >&2
        return 1
    fi
    unset wine32_rc wine32_out
fi
[ -z "$wine32_missing" ] || wine32=""
export WINELOADER=$wine64
