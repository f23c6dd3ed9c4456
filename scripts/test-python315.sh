#!/usr/bin/env bash
# Builds the modules against CPython 3.15 inside the Debian unstable root and
# runs the Python tests there; then compiles them once more for the
# free-threaded build so that free-threading mistakes fail the build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/sid-run.sh bash -c '
  set -euo pipefail
  cmake -S . -B build-py315 -G Ninja -DPython_EXECUTABLE=/usr/bin/python3.15 >/dev/null
  cmake --build build-py315 --target _native _engine
  PYTHONPATH="$PWD/build-py315/package:$PWD/build-py315" python3.15 -m pytest tests/python -q -p no:cacheprovider

  echo "--- free-threaded compile check (Py_GIL_DISABLED)"
  cmake -S . -B build-py315t -G Ninja -DPython_EXECUTABLE=/usr/bin/python3.15 \
        -DCMAKE_CXX_FLAGS="-DPy_GIL_DISABLED=1" >/dev/null
  cmake --build build-py315t --target _native _engine
  echo "free-threaded compile check passed"
'
