#!/usr/bin/env bash
# The module layer of vexa._vexa under AddressSanitizer and UndefinedBehaviorSanitizer:
# the extension itself (module layer and kernels) is built instrumented and unoptimised
# (a third of the build time at -O3) into a fresh virtual environment, and the tests that
# drive the module run with the sanitizer runtime preloaded into an uninstrumented
# interpreter. Python's own allocator is turned
# off (PYTHONMALLOC=malloc) so that every object's memory passes through ASan. Any
# report, in the test process or in a child it starts, fails the script.
#
#     .ci/sanitize-module.sh [PYTHON] [WORK_DIR]
#
# PYTHON: the interpreter to build for (default python3); WORK_DIR: where the virtual
# environment, the build and the reports go (default: a temporary directory, removed).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
if [ -n "${2:-}" ]; then
    work=$2
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
start=$SECONDS

runtime() {
    local lib
    lib=$(${CXX:-g++} -print-file-name="$1")
    [ -e "$lib" ] || { echo "no $1 for ${CXX:-g++}" >&2; exit 1; }
    echo "$lib"
}
asan=$(runtime libasan.so)
ubsan=$(runtime libubsan.so)

"$python" -m venv "$work/venv"
source "$work/venv/bin/activate"
python -m pip install -q --upgrade pip
python -m pip install -q numpy pytest hypothesis

flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -Werror=deprecated-declarations"
echo "=== building vexa with $flags ($(python -c 'import sys; print(sys.version.split()[0])'))"
SKBUILD_BUILD_DIR="$work/build" \
SKBUILD_INSTALL_STRIP=false \
SKBUILD_CMAKE_BUILD_TYPE=Debug \
SKBUILD_CMAKE_DEFINE="CMAKE_CXX_FLAGS=$flags;CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" \
    python -m pip install -q .

# The tests aimed at the module layer: module life cycle and argument binding, hostile
# inputs and threads.
tests=(tests/test_module.py tests/test_hostile.py tests/test_threads.py)

mkdir -p "$work/reports"
rm -f "$work/reports"/*
status=0
(
    # Reports go to files, so that one from a child process whose test tolerates its
    # failure is still seen. The interpreter's own leaks at exit are not the module's;
    # reference leaks are the business of tests/test_leaks.py.
    export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:log_path=$work/reports/asan"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$work/reports/ubsan"
    export PYTHONMALLOC=malloc
    export VEXA_SANITIZED=1
    export LD_PRELOAD="$asan $ubsan"
    # pytest itself, not python -m pytest: the source tree must not shadow the package.
    pytest -q "${tests[@]}"
) || status=$?

if compgen -G "$work/reports/*" >/dev/null; then
    echo "=== sanitizer reports:"
    cat "$work/reports"/*
    status=1
fi
echo "=== module layer under ASan/UBSan: $((SECONDS - start)) s, exit $status"
exit $status
