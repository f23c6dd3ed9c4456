#!/usr/bin/env bash
# Builds one sdist and, from it, a wheel for each supported CPython, each
# repaired, checked and tested in a fresh virtual environment by
# scripts/build-wheel.sh. The wheels land in wheelhouse/.
#
#   bash scripts/build-wheels.sh              # 3.11 3.12 3.13 3.14 3.15
#   bash scripts/build-wheels.sh 3.11 3.15    # some of them
#
# Where each interpreter comes from:
#   3.11-3.13  this machine: pyenv's (~/.pyenv/versions/3.X.*), else pythonX.Y on PATH
#   3.14-3.15  the Debian unstable root (scripts/sid-root.sh creates it on
#              first use; this script adds python3.X-venv and -dev there
#              when missing); the build and the tests run inside it
# Every wheel is compiled by tools/glibc-2.28 (zig's clang for glibc 2.28 with
# this machine's GCC 12 libstdc++), made once here and used inside the root
# too, so all of them get the same old platform tag; WHEEL_TOOLCHAIN= (empty)
# builds with each place's own g++ instead.
# The wheels are built one after another (two cores). Settings: WHEEL_TESTS,
# WHEEL_EXTRAS, WHEEL_ENV and AUDITWHEEL_PLAT are handed to build-wheel.sh;
# pytest arguments after `--` too.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

versions=()
while (($#)) && [[ $1 != -- ]]; do
  versions+=("$1")
  shift
done
[[ ${1:-} == -- ]] && shift
((${#versions[@]})) || versions=(3.11 3.12 3.13 3.14 3.15)

# The interpreter of this machine for version $1: pyenv's newest of that
# series, else the one on PATH.
host_python() {
  local found
  found=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$1".*/bin/"python$1" 2>/dev/null | sort -V | tail -n1 || true)
  [[ -n $found ]] || found=$(command -v "python$1" || true)
  [[ -n $found ]] || { echo "build-wheels: no CPython $1 on this machine (pyenv install $1)" >&2; return 1; }
  echo "$found"
}

# Debian unstable has these interpreters; the root is provisioned with 3.15.
in_root() { [[ $1 == 3.14 || $1 == 3.15 ]]; }

# The venv module and the headers for python$1 inside the root.
root_python_ready() {
  local packages=("python$1" "python$1-venv" "python$1-dev") installed
  installed=$(bash scripts/sid-run.sh dpkg-query -W -f='${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null \
                | grep -c '^ii' || true)
  ((installed < ${#packages[@]})) || return 0
  echo "build-wheels: installing ${packages[*]} in the Debian unstable root"
  # apt waits for another apt inside the root instead of failing on its lock.
  local apt=(apt-get -q -y -o Acquire::Check-Valid-Until=false -o DPkg::Lock::Timeout=900)
  bash scripts/sid-run.sh "${apt[@]}" update
  bash scripts/sid-run.sh "${apt[@]}" install "${packages[@]}"
}

export WHEELHOUSE=${WHEELHOUSE:-wheelhouse}
# The wheelhouse holds this run's wheels only.
rm -f "$WHEELHOUSE"/rowmerge-*.whl
mkdir -p dist
rm -f dist/rowmerge-*.tar.gz
printf '\n##### sdist\n'
# The sdist is built once, by this machine's python3, and every wheel from it.
sdist_tools=$(mktemp -d "${TMPDIR:-/tmp}/rowmerge-sdist.XXXXXX")
trap 'rm -rf "$sdist_tools"' EXIT
python3 -m venv "$sdist_tools"
"$sdist_tools/bin/python" -m pip install -q build
"$sdist_tools/bin/python" -m build --sdist --outdir dist .
sdist=$(realpath dist/rowmerge-*.tar.gz)

export WHEEL_TOOLCHAIN=${WHEEL_TOOLCHAIN-glibc-2.28}
if [[ -n $WHEEL_TOOLCHAIN ]]; then
  printf '\n##### compiler (%s)\n' "$WHEEL_TOOLCHAIN"
  "$sdist_tools/bin/python" -m pip install -q "ziglang==0.17.1"
  export WHEEL_TOOLCHAIN_DIR=$sdist_tools/toolchain
  ZIG=$("$sdist_tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))') \
    bash tools/glibc-2.28/prepare.sh "$WHEEL_TOOLCHAIN_DIR"
fi

declare -A took results
failed=()
for version in "${versions[@]}"; do
  printf '\n##### CPython %s\n' "$version"
  t0=$SECONDS
  log=$(mktemp "${TMPDIR:-/tmp}/rowmerge-wheel-$version.XXXXXX.log")
  if in_root "$version"; then
    built() {
      root_python_ready "$version" &&
      # The root's environment is clean: the settings are passed by name.
      SDIST=$sdist PYTHON=python$version \
      SID_PASS_ENV="SDIST PYTHON WHEELHOUSE WHEEL_TESTS WHEEL_EXTRAS WHEEL_ENV WHEEL_TOOLCHAIN WHEEL_TOOLCHAIN_DIR AUDITWHEEL_PLAT KEEP_VENV" \
        bash scripts/sid-run.sh bash scripts/build-wheel.sh "$@"
    }
  else
    built() {
      local python
      python=$(host_python "$version") && SDIST=$sdist PYTHON=$python bash scripts/build-wheel.sh "$@"
    }
  fi
  # One failure does not stop the others; the summary names it.
  if ! built "$@" 2>&1 | tee "$log"; then
    failed+=("$version")
  fi
  took[$version]=$((SECONDS - t0))
  results[$version]=$(grep -E '[0-9]+ (passed|failed)' "$log" | tail -n1 || true)
  rm -f "$log"
done

printf '\n##### wheels (from %s)\n' "$(basename "$sdist")"
for version in "${versions[@]}"; do
  printf '%-5s %4ds  %s\n' "$version" "${took[$version]}" "${results[$version]:-no test run}"
done
ls -1 "$WHEELHOUSE"/rowmerge-*.whl 2>/dev/null || true
if ((${#failed[@]})); then
  echo "build-wheels: failed for CPython ${failed[*]} ($((SECONDS - start)) s)" >&2
  exit 1
fi
echo "build-wheels: all built and tested in $((SECONDS - start)) s"
