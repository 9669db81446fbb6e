#!/usr/bin/env bash
# Every instruction-set variant of the kernels under the native tests: builds
# libquorix.so with QUORIX_FORCE_ISA, runs the kernel test files once per instruction
# set the CPU has (QUORIX_ISA=sse2, avx2, avx512; the ones it lacks are skipped), and
# the test that all variants give the same bits; then that test again on a build
# without indirect functions (QUORIX_NO_IFUNC).
#
# Usage: tests/isa/run.sh [build-dir]   (default: a temporary directory)
# Needs cmake, a C++ compiler and pytest with numpy on PATH.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
if [ $# -ge 1 ]; then
    build=$1
else
    build=$(mktemp -d)
    trap 'rm -rf "$build"' EXIT
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXA_MODULE=OFF \
    -DQUORIX_SHARED=ON -DQUORIX_FORCE_ISA=ON -DQUORIX_WERROR=ON >/dev/null
cmake --build "$build" -j 2 >/dev/null
lib=$build/libquorix.so

# The best variant the dispatch picks here, unforced: 0 sse2, 1 avx2, 2 avx512.
best=$(env -u QUORIX_ISA python3 -c \
    'import ctypes, sys; print(ctypes.CDLL(sys.argv[1]).quorix_isa())' "$lib")
isas=(sse2 avx2 avx512)

cd "$root"
for level in 0 1 2; do
    isa=${isas[$level]}
    if [ "$level" -gt "$best" ]; then
        echo "=== QUORIX_ISA=$isa: skipped, the CPU lacks it"
        continue
    fi
    echo "=== QUORIX_ISA=$isa"
    QUORIX_LIB=$lib QUORIX_ISA=$isa pytest -q -p no:cacheprovider \
        tests/test_ma.py tests/test_averages.py tests/test_sums.py tests/test_extremes.py \
        tests/test_refs.py tests/test_signals.py tests/test_bars.py tests/test_dispersion.py \
        tests/test_fast_paths.py tests/test_contract.py tests/test_lang_kernels.py \
        tests/test_isa.py::test_forced_isa_is_honoured
done
echo "=== all variants against sse2"
QUORIX_LIB=$lib pytest -q -p no:cacheprovider tests/test_isa.py

# The dispatch as it runs where the loader has no indirect functions (macOS, Windows,
# musl): one choice per library at its first call, from cpuid and xgetbv.
echo "=== without indirect functions: all variants against sse2"
CXXFLAGS="${CXXFLAGS:-} -DQUORIX_NO_IFUNC" cmake -S "$root" -B "$build/no-ifunc" \
    -DCMAKE_BUILD_TYPE=Release -DVEXA_MODULE=OFF -DQUORIX_SHARED=ON -DQUORIX_FORCE_ISA=ON \
    -DQUORIX_WERROR=ON >/dev/null
cmake --build "$build/no-ifunc" -j 2 >/dev/null
if nm -D "$build/no-ifunc/libquorix.so" | grep -q " i vx_"; then
    echo "QUORIX_NO_IFUNC build still has indirect functions" >&2
    exit 1
fi
QUORIX_LIB=$build/no-ifunc/libquorix.so pytest -q -p no:cacheprovider tests/test_isa.py
