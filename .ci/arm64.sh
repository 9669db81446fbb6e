#!/usr/bin/env bash
# The kernels on arm64 (aarch64 Linux), cross-built with Debian's g++-aarch64-linux-gnu
# and run under qemu-aarch64:
#   1. libquorix.so (and the benchmark's floor loops) for aarch64 from CMakeLists.txt:
#      every compile command carries -ffp-contract=off, and the disassembly holds no
#      fused multiply-add (the same search first finds one in a deliberately
#      contracted build, so that it cannot pass by finding nothing);
#   2. the native grid driver, as shipped and under ASan + UBSan, under qemu;
#   3. the digest of every kernel's outputs on fixed inputs, aarch64 under qemu
#      against x86-64 natively: equal (numbers to the bit, NaN as NaN).
# Installs the cross compiler and qemu (Debian packages, as root) when missing.
#
# Usage: .ci/arm64.sh [work-dir]   (default: a temporary directory)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ge 1 ]; then
    work=$1
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
start=$SECONDS
source "$root/tests/native/setup.sh"  # qx_apt_install, qx_cmake

sysroot=/usr/aarch64-linux-gnu
toolchain=$root/.ci/aarch64-linux-gnu.cmake
run_arm() { qemu-aarch64 -L "$sysroot" "$@"; }

need=()
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || need+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null 2>&1 || need+=(qemu-user)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
cmake --version >/dev/null 2>&1 || [ -x /usr/bin/cmake ] || need+=(cmake)
if [ ${#need[@]} -gt 0 ]; then
    echo "installing ${need[*]}"
    qx_apt_install "${need[@]}"
fi

build() {  # build SOURCE-DIR BUILD-DIR [cmake arguments...] -- TARGETS...
    local src=$1 dir=$2 log=$2.log
    shift 2
    local args=()
    while [ "$1" != "--" ]; do args+=("$1"); shift; done
    shift
    if ! { qx_cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "${args[@]}" &&
           qx_cmake --build "$dir" -j 2 --target "$@"; } >"$log" 2>&1; then
        cat "$log" >&2
        echo "arm64: building $* in $dir failed" >&2
        return 1
    fi
}

echo "=== arm64: cross-building the library and the native drivers"
build "$root" "$work/lib-arm64" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DVEXA_MODULE=OFF \
    -DQUORIX_SHARED=ON -DVEXA_BENCH_FLOOR=ON -DQUORIX_WERROR=ON -- quorix_shared vexa_floor
build "$root/tests/native" "$work/native-arm64" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQX_FUZZ=OFF -- qx_grid qx_sanitize qx_digest
build "$root/tests/native" "$work/native-x86" -DQX_FUZZ=OFF -- qx_digest
echo "built in $((SECONDS - start)) s"

failed=0
fail() { echo "arm64: FAILED: $*" >&2; failed=1; }

echo "=== arm64: floating-point flags and fused multiply-adds"
# Every compile command of these builds keeps each operation rounded on its own.
python3 - "$work"/{lib-arm64,native-arm64,native-x86}/compile_commands.json <<'EOF' || fail "a compile command lacks -ffp-contract=off"
import json, sys
bad = [c["file"] for path in sys.argv[1:] for c in json.load(open(path))
       if "-ffp-contract=off" not in c.get("command", " ".join(c.get("arguments", [])))]
print(f"{sum(len(json.load(open(p))) for p in sys.argv[1:])} compile commands checked")
for f in bad:
    print("  without -ffp-contract=off:", f)
sys.exit(1 if bad else 0)
EOF
# Fused multiply-add mnemonics, scalar, vector and SVE, in objdump's instruction column.
fused='^[[:space:]]*[0-9a-f]+:[[:space:]]+(fn?m(add|sub)|fn?ml[as]|fn?mad|fn?msb)[a-z0-9]*([[:space:]]|$)'
disassemble() { aarch64-linux-gnu-objdump -d --no-show-raw-insn "$1" >"$work/disasm.txt"; }
fused_found() {  # the fused instructions of the last disassembly, counted by mnemonic
    grep -E "$fused" "$work/disasm.txt" | awk '{print $2}' | sort | uniq -c | tr -s ' \n' ' ' || true
}
printf 'double f(double a, double b, double c) { return a * b + c; }\n' >"$work/contracted.cpp"
aarch64-linux-gnu-g++ -O2 -ffp-contract=fast -c "$work/contracted.cpp" -o "$work/contracted.o"
disassemble "$work/contracted.o"
[ -n "$(fused_found)" ] || fail "the search for fused instructions finds none in a contracted build"
for lib in "$work/lib-arm64/libquorix.so" "$work/lib-arm64/libvexa_floor.so"; do
    disassemble "$lib"
    found=$(fused_found)
    if [ -n "$found" ]; then
        fail "fused multiply-adds in $(basename "$lib"): $found"
    else
        echo "no fused multiply-add in $(basename "$lib") ($(grep -c . "$work/disasm.txt") lines)"
    fi
done

echo "=== arm64: grid driver, as shipped and under ASan + UBSan, under qemu"
# The sanitized run in the background beside the plain one and the digests (2 cores).
(
    cd "$work"
    ASAN_OPTIONS=detect_leaks=0 run_arm "$work/native-arm64/qx_sanitize" >"$work/sanitize.out" \
        2>"$work/sanitize.err"
) &
sanitize_pid=$!
(cd "$work" && run_arm "$work/native-arm64/qx_grid" >"$work/grid.out" 2>"$work/grid.err") ||
    { cat "$work/grid.err" >&2; fail "grid driver"; }
tail -n 1 "$work/grid.out"

echo "=== arm64: digest of the kernels' outputs, aarch64 against x86-64"
"$work/native-x86/qx_digest" >"$work/digest-x86.txt" || fail "x86-64 digest driver"
run_arm "$work/native-arm64/qx_digest" >"$work/digest-arm64.txt" || fail "aarch64 digest driver"
if diff "$work/digest-x86.txt" "$work/digest-arm64.txt" >"$work/digest.diff"; then
    echo "equal: $(tail -n 1 "$work/digest-arm64.txt")"
else
    cat "$work/digest.diff" >&2
    fail "the digests differ (the kernels named above)"
fi

# The allocator's warnings for the blocks the driver has it refuse on purpose are left out.
wait "$sanitize_pid" || {
    grep -v "WARNING: AddressSanitizer failed to allocate" "$work/sanitize.err" >&2
    fail "ASan + UBSan grid driver"
}
tail -n 1 "$work/sanitize.out"

echo "arm64: $([ $failed = 0 ] && echo passed || echo FAILED) in $((SECONDS - start)) s"
exit $failed
