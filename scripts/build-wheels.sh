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

declare -A took results
for version in "${versions[@]}"; do
  printf '\n##### CPython %s\n' "$version"
  t0=$SECONDS
  log=$(mktemp "${TMPDIR:-/tmp}/rowmerge-wheel-$version.XXXXXX.log")
  if in_root "$version"; then
    root_python_ready "$version"
    # The root's environment is clean: the settings are passed by name.
    SDIST=$sdist PYTHON=python$version SID_PASS_ENV="SDIST PYTHON WHEELHOUSE WHEEL_TESTS WHEEL_EXTRAS WHEEL_ENV AUDITWHEEL_PLAT KEEP_VENV" \
      bash scripts/sid-run.sh bash scripts/build-wheel.sh "$@" 2>&1 | tee "$log"
  else
    SDIST=$sdist PYTHON=$(host_python "$version") bash scripts/build-wheel.sh "$@" 2>&1 | tee "$log"
  fi
  took[$version]=$((SECONDS - t0))
  results[$version]=$(grep -E '[0-9]+ (passed|failed)' "$log" | tail -n1 || true)
  rm -f "$log"
done

printf '\n##### wheels (from %s)\n' "$(basename "$sdist")"
for version in "${versions[@]}"; do
  printf '%-5s %4ds  %s\n' "$version" "${took[$version]}" "${results[$version]}"
done
ls -1 "$WHEELHOUSE"/rowmerge-*.whl
echo "build-wheels: all built and tested in $((SECONDS - start)) s"
