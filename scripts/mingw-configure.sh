# Sourced by the scripts that cross-build for Windows, so that each configures the
# same way: `mingw_configure SOURCE BUILD ARCH [CMAKE-ARGUMENTS...]` configures BUILD
# from SOURCE with cmake/toolchain-mingw-ARCH.cmake (ARCH i686 or x86_64), Release,
# without benchmarks or fuzz targets; the arguments given after ARCH come last (the
# tests on or off, say). The configure output is left out.
mingw_configure() {
    local source build=$2 arch=$3
    source=$(cd "$1" && pwd)
    shift 3
    cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DQUELLIX_BENCH=OFF -DQUELLIX_FUZZ=OFF "$@" >/dev/null
}
