# Sourced by run.sh and fuzz.sh: installs the tools the native checks need when they
# are missing (Debian packages, as root), then configures and builds the harnesses.
# QX_NATIVE_BUILD overrides the build directory (default: build-native in the clone).

qx_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
qx_build=${QX_NATIVE_BUILD:-$qx_root/build-native}
qx_apt_updated=0

qx_apt_install() {
    if [ "$qx_apt_updated" = 0 ]; then
        apt-get update -qq
        qx_apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# True when clang++ links a libFuzzer target with the sanitizers (the runtimes of
# compiler-rt live in a package of their own on Debian).
qx_clang_ready() {
    local dir ok=1
    dir=$(mktemp -d)
    printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n' >"$dir/t.cpp"
    clang++ -fsanitize=fuzzer,address,undefined "$dir/t.cpp" -o "$dir/f" >/dev/null 2>&1 &&
        printf 'int main() { return 0; }\n' >"$dir/m.cpp" &&
        clang++ -fsanitize=thread "$dir/m.cpp" -o "$dir/m" >/dev/null 2>&1 && ok=0
    rm -rf "$dir"
    return $ok
}

qx_install_tools() {
    local need=()
    command -v clang++ >/dev/null 2>&1 || need+=(clang)
    command -v python3 >/dev/null 2>&1 || need+=(python3)
    cmake --version >/dev/null 2>&1 || [ -x /usr/bin/cmake ] || need+=(cmake)
    command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
    if [ ${#need[@]} -gt 0 ]; then
        echo "installing ${need[*]}"
        qx_apt_install "${need[@]}"
    fi
    if ! qx_clang_ready; then
        local v
        v=$(clang++ -dumpversion | cut -d. -f1)
        echo "installing libclang-rt-$v-dev (sanitizer and libFuzzer runtimes)"
        qx_apt_install "libclang-rt-$v-dev"
        qx_clang_ready || { echo "clang++ $v cannot build sanitizer or fuzzer targets" >&2; return 1; }
    fi
}

qx_cmake() {
    if cmake --version >/dev/null 2>&1; then cmake "$@"; else /usr/bin/cmake "$@"; fi
}

qx_build_harnesses() {
    local gen=()
    command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
    # A build directory made by another generator or compiler is started afresh.
    if [ -f "$qx_build/CMakeCache.txt" ] && ! grep -q "CMAKE_CXX_COMPILER:.*clang++" "$qx_build/CMakeCache.txt"; then
        rm -rf "$qx_build"
    fi
    mkdir -p "$qx_build"
    if ! { CXX=clang++ qx_cmake -S "$qx_root/tests/native" -B "$qx_build" "${gen[@]}" -DQX_FUZZ=ON &&
           qx_cmake --build "$qx_build" -j 2 "$@"; } >"$qx_build/build.log" 2>&1; then
        cat "$qx_build/build.log" >&2
        echo "building the native harnesses failed" >&2
        return 1
    fi
}
