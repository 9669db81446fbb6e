#!/usr/bin/env bash
# The native checks of the kernel library, as CI runs them: installs clang and the
# sanitizer runtimes when missing, builds the harnesses, then runs the ASan+UBSan
# grid driver, the panel driver, the ThreadSanitizer driver and the fuzzer for a short time
# (FUZZ_SECONDS, default 60). Exits non-zero on any finding.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/setup.sh"
start=$SECONDS

qx_install_tools
echo "=== building the native harnesses in $qx_build"
qx_build_harnesses

failed=0
echo "=== ASan + UBSan grid"
# The allocator's warnings for the blocks it refuses on purpose are left out.
"$qx_build/qx_sanitize" 2> >(grep -v "WARNING: AddressSanitizer failed to allocate" >&2) || failed=1
echo "=== panel drivers against the 1-D kernels, ASan + UBSan"
"$qx_build/qx_panel" || failed=1
echo "=== ThreadSanitizer, 8 threads"
"$qx_build/qx_tsan" || failed=1
echo "=== fuzzer"
bash "$here/fuzz.sh" "${FUZZ_SECONDS:-60}" || failed=1

echo "native checks: $([ $failed = 0 ] && echo passed || echo FAILED) in $((SECONDS - start)) s"
exit $failed
