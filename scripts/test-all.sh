#!/usr/bin/env bash
# Sets everything up and runs every test suite: the C++ engine tests, the
# Python tests on this machine's python3, the Python tests on CPython 3.15 (in a
# Debian unstable root), and a compile of the module for the free-threaded
# 3.15 build.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
stage() { printf '\n=== %s (%ds)\n' "$1" $((SECONDS - start)); }

stage "setup"
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"

stage "C++ engine tests"
cmake -S . -B build-tests -G Ninja -DNATIVE_BUILD_MODULE=OFF -DNATIVE_BUILD_TESTS=ON >/dev/null
cmake --build build-tests
ctest --test-dir build-tests --output-on-failure -j2

stage "Python tests ($(.venv/bin/python --version))"
.venv/bin/python -m pytest tests/python -q -p no:cacheprovider

stage "benchmark implementations (NumPy baseline, scanning reference)"
.venv/bin/python -m pytest bench -q -p no:cacheprovider

stage "Python tests (CPython 3.15)"
bash scripts/test-python315.sh

stage "done"
