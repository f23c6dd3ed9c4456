#!/usr/bin/env bash
# Sets everything up and runs every test suite: the style checks (ruff and
# mypy over the Python package, clang-format and clang-tidy:
# scripts/check-style.sh), the C++ engine tests, once more on the portable
# build of the engine (no x86 vector code, scripts/test-portable.sh), the
# Python tests on this machine's python3 (once as usual, once with every test
# run by four threads at the same time), `pip install .` into a fresh virtual
# environment with the system's oneTBB hidden (scripts/test-pip-install.sh),
# wheels built from the sdist for 3.11 and 3.15 and tested installed
# (scripts/build-wheels.sh), the whole Python suite on CPython 3.15 with its
# optional extras (in a Debian unstable root), a compile of the module for
# the free-threaded 3.15 build, the engine and modules cross-built for
# aarch64 and tested under QEMU (scripts/test-aarch64.sh), and the sanitizer
# runs (ASan+UBSan over the C++ and Python suites, TSan over the C++ tests).
# Each stage says how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
stage_name=""
stage_start=$SECONDS
stage() {
  if [[ -n $stage_name ]]; then
    printf '=== %s: took %ds\n' "$stage_name" $((SECONDS - stage_start))
  fi
  stage_name=$1
  stage_start=$SECONDS
  printf '\n=== %s (%ds)\n' "$1" $((SECONDS - start))
}

stage "setup"
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"

stage "style: ruff, mypy, clang-format, clang-tidy"
bash scripts/check-style.sh

stage "C++ engine tests"
cmake -S . -B build-tests -G Ninja -DROWMERGE_BUILD_MODULE=OFF -DROWMERGE_BUILD_TESTS=ON >/dev/null
cmake --build build-tests
ctest --test-dir build-tests --output-on-failure -j2

stage "C++ engine tests, portable build (ROWMERGE_PORTABLE=ON, no x86 vector code)"
bash scripts/test-portable.sh

stage "Python tests ($(.venv/bin/python --version))"
.venv/bin/python -m pytest tests/python -q -p no:cacheprovider

# pytest-run-parallel runs each test body in four threads at once against the
# one module; the tests marked thread_unsafe run once, alone.
stage "Python tests, each in 4 threads at once (pytest-run-parallel)"
.venv/bin/python -m pytest tests/python -q -p no:cacheprovider --parallel-threads=4

# The package as a user installs it: oneTBB from PyPI at build time, the
# bundled copy at run time, no libtbb-dev.
stage "pip install . into a fresh venv, system oneTBB hidden"
bash scripts/test-pip-install.sh

# The wheels users install: the sdist, a wheel built from it for this
# machine's CPython and for 3.15 (in the Debian unstable root), both compiled
# for glibc 2.28 (tools/glibc-2.28), repaired, checked and run through the
# Python suite in a fresh venv.
host_version=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
stage "wheels from the sdist (CPython $host_version and 3.15), tested installed"
wheels_start=$SECONDS
bash scripts/build-wheels.sh "$host_version" 3.15
echo "wheels stage: $((SECONDS - wheels_start)) s"

stage "benchmark implementations (NumPy baseline, Numba peer, scanning reference)"
.venv/bin/python -m pytest bench -q -p no:cacheprovider

stage "Python tests with every extra (CPython 3.15), free-threaded compile"
bash scripts/test-python315.sh

stage "aarch64: C++ engine tests and the modules, cross-built, run under qemu-aarch64-static"
bash scripts/test-aarch64.sh

stage "sanitizers"
bash scripts/test-sanitizers.sh

stage "done"
