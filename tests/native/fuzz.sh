#!/usr/bin/env bash
# Builds the kernel fuzzer and runs it for SECONDS (default 60) from a seed corpus
# made from the edge cases plus the corpus kept in the build directory. Exits non-zero
# when the fuzzer finds a crash, a sanitizer report or a wrong result; the input that
# showed it is left in $QX_NATIVE_BUILD/fuzz-artifacts.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
seconds=${1:-60}

qx_install_tools
qx_build_harnesses --target qx_fuzz

seeds="$qx_build/fuzz-seeds"
corpus="$qx_build/fuzz-corpus"
artifacts="$qx_build/fuzz-artifacts"
rm -rf "$seeds"
mkdir -p "$corpus" "$artifacts"
python3 "$qx_root/tests/native/make_seeds.py" "$seeds"

log="$qx_build/fuzz.log"
status=0
"$qx_build/qx_fuzz" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
grep -E "^(FINDING|==[0-9]+==ERROR|SUMMARY)|runtime error|Test unit written|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|^Done" "$log" || true
if [ "$status" -ne 0 ]; then
    echo "fuzzer: FAILED (exit $status); log $log, inputs in $artifacts" >&2
    tail -n 40 "$log" >&2
    exit 1
fi
echo "fuzzer: no finding in ${seconds} s"
