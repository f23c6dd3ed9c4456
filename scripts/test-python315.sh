#!/usr/bin/env bash
# Installs the package for CPython 3.15 inside the Debian unstable root and
# runs the whole Python suite there, optional extras included: the package
# and its command (console script), the file formats, merge_frame, Dask.
# Then compiles the modules once more for the free-threaded build so that
# free-threading mistakes fail the build.
#
# Everything lives in a virtual environment that also sees the root's own
# packages (build-py315/venv, made once per checkout):
# - the root has unstable's 3.15 builds of NumPy, pandas (2.3: the 3.11 tests
#   run on pandas 3, so both lines are covered), GeoPandas, shapely, pyproj,
#   and Dask's compiled dependencies (scripts/sid-root.sh);
# - pyarrow, pyogrio and matplotlib have no 3.15 build in unstable: they come
#   from PyPI's cp315 (or abi3) wheels. Only wheels are taken, building them
#   from source would take longer than the rest of CI;
# - Dask, distributed and dask-geopandas from PyPI too (pure Python):
#   unstable's Dask is older than the `dask` extra asks for, and dask-geopandas
#   must match it;
# - the package is installed with `pip install .` (scikit-build-core, without
#   build isolation: the root's NumPy; the root's oneTBB, not bundled), its
#   build kept in build-py315/pip so that a second run only rebuilds what
#   changed.
#
# No test may be skipped for want of an extra: the stage fails when pytest
# reports a skip because a module could not be imported.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/sid-run.sh bash -c '
  set -euo pipefail
  venv=build-py315/venv
  # Debian'"'"'s pyproj looks for its data under sys.prefix, which in a virtual
  # environment is not /usr.
  export PROJ_DATA=/usr/share/proj
  # pyogrio: unstable ships a python3-pyogrio without a 3.15 extension, which
  # pip would take as installed; the wheel is installed over it, alone.
  extras="pyarrow>=14 matplotlib dask[dataframe]>=2025.1 distributed>=2025.1 dask-geopandas>=0.4 scikit-build-core>=0.11.1; pyogrio>=0.8"
  if [[ "$(cat "$venv/extras" 2>/dev/null)" != "$extras" ]]; then
    rm -rf "$venv"
    python3.15 -m venv --system-site-packages "$venv"
    "$venv/bin/pip" install -q --only-binary=:all: "pyarrow>=14" matplotlib "dask[dataframe]>=2025.1" \
        "distributed>=2025.1" "dask-geopandas>=0.4" "scikit-build-core>=0.11.1"
    "$venv/bin/pip" install -q --only-binary=:all: --no-deps --ignore-installed "pyogrio>=0.8"
    printf "%s\n" "$extras" >"$venv/extras"
  fi
  "$venv/bin/python" -c "import sys, pandas, geopandas, shapely, pyproj, dask, distributed, dask_geopandas, pyarrow, pyogrio, matplotlib as m
print(\"CPython\", sys.version.split()[0], \"with\", \", \".join(f\"{x.__name__} {x.__version__}\" for x in (pandas, geopandas, pyproj, dask, distributed, dask_geopandas, pyarrow, pyogrio, m)))"

  CMAKE_BUILD_PARALLEL_LEVEL=2 "$venv/bin/pip" install -q --no-build-isolation --no-deps \
      -Cbuild-dir=build-py315/pip -Ccmake.define.ROWMERGE_BUNDLE_TBB=OFF .
  report=build-py315/pytest-report.txt
  set +e
  "$venv/bin/python" -m pytest tests/python -q \
      -p no:cacheprovider -rs | tee "$report"
  status=${PIPESTATUS[0]}
  set -e
  [[ $status -eq 0 ]] || exit "$status"
  # importorskip says "could not import", the command-line tests "needs <module>".
  if grep -E "^SKIPPED .*(could not import|: needs [a-z_.]+$)" "$report"; then
    echo "test-python315: the tests above were skipped for a missing package" >&2
    exit 1
  fi

  echo "--- free-threaded compile check (Py_GIL_DISABLED)"
  cmake -S . -B build-py315t -G Ninja -DPython_EXECUTABLE=/usr/bin/python3.15 \
        -DCMAKE_CXX_FLAGS="-DPy_GIL_DISABLED=1" >/dev/null
  cmake --build build-py315t -j2 --target _native _engine
  echo "free-threaded compile check passed"
'
