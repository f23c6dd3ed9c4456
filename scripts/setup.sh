#!/usr/bin/env bash
# Sets up a fresh machine for building and testing: system packages (when run
# as root), then a virtual environment in .venv/ with the package installed.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
SYSTEM_PACKAGES=(g++ libtbb-dev libgtest-dev debootstrap)

missing=()
for package in "${SYSTEM_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: please install these Debian packages first: ${missing[*]}" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [[ ! -x .venv/bin/python ]]; then
  "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q cmake ninja
.venv/bin/python -m pip install -q ".[test,dev,plot,pandas,arrow,geo,dask,geo-dask,bench]"
echo "setup: .venv ready ($(.venv/bin/python -c 'import _native, sys; print(sys.version.split()[0], _native.__file__)'))"
