#!/usr/bin/env bash
# Checks that `pip install .` gives a working package on a machine without a
# system oneTBB: oneTBB must come from PyPI's tbb-devel at build time and from
# the copy bundled in rowmerge/_libs at run time.
#
#   bash scripts/test-pip-install.sh
#
# 1. Hides the system's oneTBB (every file of the installed libtbb* Debian
#    packages: headers, CMake package, libraries) in a private mount namespace
#    that the build and the checks run in: its directories appear empty and
#    its files as empty files, so any use of them fails. Where no mount
#    namespace can be made (no unshare, or not root), it says so and only
#    keeps CMake from searching the system prefixes (CMAKE_IGNORE_PREFIX_PATH);
#    the checks below still tell which oneTBB was used.
# 2. `pip install .` into a fresh virtual environment, with the build
#    directory kept for step 3.
# 3. Checks the build: CMake took oneTBB from pip's build environment, with
#    bundling on; the installed _native has the RUNPATH $ORIGIN/rowmerge/_libs,
#    oneTBB, the shared engine (librowmerge_engine.so) and the third-party
#    notice are there, and both modules load that engine and that oneTBB.
# 4. Checks the installed package, away from the checkout: the README's
#    two-segment example merges to the rows the README shows (one worker and
#    two; with _native and with rowmerge.merge), the process maps only the
#    bundled libtbb and one shared engine, and the `rowmerge`
#    command answers with the installed version.
#
# Settings (environment): PYTHON (default python3), KEEP_WORK=1 keeps the
# virtual environment and build directory and prints where they are.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
PYTHON=${PYTHON:-python3}

step() { printf -- '--- %s\n' "$*"; }

# The outer run makes the work folder, runs the checks in a child (step 1:
# inside a mount namespace of its own, when one can be made) and removes the
# folder once the child, and with it the namespace's mounts, has gone.
if [[ -z ${ROWMERGE_PIP_TEST_WORK:-} ]]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/rowmerge-pip.XXXXXX")
  cleanup() {
    if [[ ${KEEP_WORK:-0} == 1 ]]; then echo "kept: $work"; else rm -rf "$work"; fi
  }
  trap cleanup EXIT
  export ROWMERGE_PIP_TEST_WORK=$work
  if [[ $(id -u) -eq 0 ]] && command -v unshare >/dev/null &&
    unshare --mount --propagation private true 2>/dev/null; then
    ROWMERGE_PIP_TEST_MODE=namespace unshare --mount --propagation private bash "$self" "$@"
  else
    echo "test-pip-install: cannot make a mount namespace here; the system oneTBB stays visible" \
      "to the compiler and the loader, and only CMake's search is kept off it"
    ROWMERGE_PIP_TEST_MODE=ignore-prefix bash "$self" "$@"
  fi
  exit
fi
work=$ROWMERGE_PIP_TEST_WORK
mode=$ROWMERGE_PIP_TEST_MODE

pip_defines=()
if [[ $mode == namespace ]]; then
  step "hiding the system's oneTBB"
  mkdir "$work/empty-dir"
  : >"$work/empty-file"
  hidden_dirs=()
  count=0
  under_hidden() {
    local dir
    for dir in "${hidden_dirs[@]}"; do [[ $1 == "$dir"/* ]] && return 0; done
    return 1
  }
  # binary:Package names each architecture's copy apart (libtbb12:arm64 beside
  # libtbb12 on a machine with a second dpkg architecture).
  packages=$(dpkg-query -W -f='${binary:Package} ${Status}\n' 'libtbb*' 2>/dev/null |
    awk '$NF == "installed" { print $1 }' || true)
  for package in $packages; do
    while IFS= read -r path; do
      [[ -e $path ]] || continue
      under_hidden "$path" && continue
      name=${path##*/}
      if [[ -d $path && ! -L $path ]]; then
        # Only oneTBB's own folders, not shared ones such as /usr/include.
        [[ ${name,,} == *tbb* || $name == oneapi ]] || continue
        mount --bind "$work/empty-dir" "$path"
        hidden_dirs+=("$path")
      else
        # A symbolic link is hidden through the file it points to.
        mount --bind "$work/empty-file" "$(realpath "$path")"
      fi
      count=$((count + 1))
    done < <(dpkg -L "$package")
  done
  echo "hid $count files and folders of: ${packages//$'\n'/ }"
  if [[ -e /usr/include/oneapi/tbb.h ]]; then
    echo "test-pip-install: /usr/include/oneapi/tbb.h is still visible" >&2
    exit 1
  fi
else
  pip_defines=(-Ccmake.define.CMAKE_IGNORE_PREFIX_PATH="/usr;/usr/local")
fi

# Step 2.
step "pip install . into a fresh virtual environment"
"$PYTHON" -m venv "$work/venv"
venv_python="$work/venv/bin/python"
"$venv_python" -m pip install -q --upgrade pip
"$venv_python" -m pip install -q . -Cbuild-dir="$work/build" "${pip_defines[@]}"

# Step 3.
step "checking which oneTBB the build used"
cache=$work/build/CMakeCache.txt
tbb_dir=$(sed -n 's/^TBB_DIR:PATH=//p' "$cache")
bundle=$(sed -n 's/^ROWMERGE_BUNDLE_TBB:BOOL=//p' "$cache")
echo "TBB_DIR=$tbb_dir ROWMERGE_BUNDLE_TBB=$bundle"
if [[ $bundle != ON || $tbb_dir != */pip-build-env-*/lib/cmake/tbb ]]; then
  echo "test-pip-install: the build did not take oneTBB from tbb-devel in pip's build environment" >&2
  exit 1
fi

site=$("$venv_python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
module=$(ls "$site"/_native.*.so)
libs=$site/rowmerge/_libs
readelf -d "$module" | grep -E 'NEEDED.*tbb|RPATH|RUNPATH' || true
runpath=$(readelf -d "$module" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p;s/.*(RPATH).*\[\(.*\)\]/\1/p')
if [[ $runpath != '$ORIGIN/rowmerge/_libs' ]]; then
  echo "test-pip-install: _native's RUNPATH is '$runpath', not \$ORIGIN/rowmerge/_libs" >&2
  exit 1
fi
for file in libtbb.so.12 librowmerge_engine.so THIRD-PARTY-NOTICES.txt; do
  [[ -s $libs/$file ]] || { echo "test-pip-install: $libs/$file is missing" >&2; exit 1; }
done
# Both modules run the one shared engine, which runs the bundled oneTBB.
for loaded in "$module" "$site"/rowmerge/_engine.*.so; do
  for library in libtbb.so.12 librowmerge_engine.so; do
    resolved=$(ldd "$loaded" | awk -v name="$library" '$1 == name { print $3 }')
    echo "$(basename "$loaded"): $library => $resolved"
    if [[ $resolved != "$libs/$library" ]]; then
      echo "test-pip-install: $library does not resolve to the copy in rowmerge/_libs" >&2
      exit 1
    fi
  done
done

# Step 4.
step "merging the README's example with the installed package"
cd "$work"  # away from the checkout: nothing of python/ or build*/ can be imported
unset PYTHONPATH
"$venv_python" - "$libs" <<'EOF'
import os
import sys

import numpy as np

import _native
import rowmerge

libs = os.path.realpath(sys.argv[1])
nan = np.nan
# README, "Using it from Python": crop row 1 seen as two segments that overlap
# between (8, 8) and (10, 10).
connected_crop_rows = np.array([
    [0, 1, 1, 1, 2, nan],
    [1, 1, 2, 1, 1, nan],
])
row_information = np.array([
    [1, 0, 0, 0, 1,  0.0,  0.0, 10.0, 10.0,  5.0,  5.0],
    [1, 0, 0, 0, 2,  8.0,  8.0, 18.0, 18.0, 13.0, 13.0],
])
points_in_rows = np.array([
    [1, 1,  1.0,  1.0, 0.90],
    [1, 1,  4.0,  4.0, 0.80],
    [1, 1,  8.5,  8.5, 0.70],
    [1, 1,  9.5,  9.5, 0.95],
    [1, 2,  8.2,  8.2, 0.60],
    [1, 2,  8.8,  8.8, 0.85],
    [1, 2,  9.3,  9.3, 0.75],
    [1, 2, 12.0, 12.0, 0.90],
    [1, 2, 16.0, 16.0, 0.80],
])
# The rows the README shows as the result.
expected = np.array([
    [1, 1,  1.0,  1.0, 0.90],
    [1, 1,  4.0,  4.0, 0.80],
    [1, 1,  8.5,  8.5, 0.70],
    [1, 2,  9.3,  9.3, 0.75],
    [1, 2, 12.0, 12.0, 0.90],
    [1, 2, 16.0, 16.0, 0.80],
])
for workers in (1, 2):
    merged = _native.merge_points_removing_overlap(
        connected_crop_rows, points_in_rows, row_information, tolerance=0.05, num_threads=workers)
    assert merged.dtype == np.float64 and np.array_equal(merged, expected), (workers, merged)
print("merged as the README shows, with 1 and 2 workers")
for workers in (1, 2):
    merged, index = rowmerge.merge(connected_crop_rows, points_in_rows, row_information, tolerance=0.05,
                                   threads=workers, return_index=True)
    assert np.array_equal(merged, expected) and np.array_equal(points_in_rows[index], expected), (workers, merged)
print("rowmerge.merge: the same rows, and their row numbers")

# What the process has mapped of oneTBB, now that the worker pool ran.
mapped = sorted({line.split()[-1] for line in open("/proc/self/maps") if "libtbb" in line or "librowmerge" in line})
print("mapped:", *mapped)
assert mapped == [f"{libs}/librowmerge_engine.so", f"{libs}/libtbb.so.12"], mapped
print("_native:", _native.__file__)
print("rowmerge._engine:", rowmerge._engine.__file__)
print("rowmerge:", rowmerge.__file__, rowmerge.__version__)
EOF

version=$("$venv_python" -c 'import importlib.metadata as m; print(m.version("rowmerge"))')
answer=$("$work/venv/bin/rowmerge" --version)
echo "rowmerge --version: $answer"
if [[ $answer != "rowmerge $version" ]]; then
  echo "test-pip-install: 'rowmerge --version' says '$answer', the installed version is $version" >&2
  exit 1
fi
echo "pip install check passed ($mode)"
