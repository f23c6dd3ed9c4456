#!/usr/bin/env bash
# Runs the test suites under the sanitizers:
#
#   1. AddressSanitizer + UndefinedBehaviorSanitizer (build-asan): the C++
#      tests, with leak detection.
#   2. ThreadSanitizer (build-tsan): a canary race that must be reported, then
#      the C++ tests, including the many-caller stress tests, with oneTBB's
#      task hand-offs made visible (tools/sanitizers/tbb_tsan_annotations.cpp)
#      and the suppressions in tools/sanitizers/tsan.supp.
#   3. AddressSanitizer + UndefinedBehaviorSanitizer: the whole Python suite
#      against the instrumented _native and rowmerge._engine modules, on a
#      stock interpreter (the sanitizer runtimes and libstdc++ preloaded,
#      PYTHONMALLOC=malloc so that every Python object is an instrumented
#      allocation, leak detection off because the interpreter keeps much of
#      its memory until exit). Reports from child processes the tests start
#      count too.
#
# Any sanitizer report or failing test fails the run; the stages after a
# failing one still run, and the summary names every failing stage. Run from
# anywhere after scripts/setup.sh; stages can be picked:
# scripts/test-sanitizers.sh [asan] [tsan] [python].
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

start=$SECONDS
failed=()
current=""
stage_start=$SECONDS
timings=()
# Starts a stage; the time of the one before is kept for the summary.
stage() {
    [[ -z $current ]] || timings+=("$(printf '%-36s %4ds' "$current" $((SECONDS - stage_start)))")
    current=$1
    stage_start=$SECONDS
    printf '\n=== %s (%ds)\n' "$1" $((SECONDS - start))
}

stages=("$@")
((${#stages[@]})) || stages=(asan tsan python)
wants() { [[ " ${stages[*]} " == *" $1 "* ]]; }

[[ -d .venv/bin ]] && export PATH="$root/.venv/bin:$PATH"
PYTHON=${PYTHON:-$([[ -x .venv/bin/python ]] && echo .venv/bin/python || echo python3)}
# The interpreter itself, not a wrapper script (pyenv shims are shell scripts).
PYTHON=$("$PYTHON" -c 'import sys; print(sys.executable)')
GENERATOR=(-G Ninja)
command -v ninja >/dev/null || GENERATOR=()

runtime() { gcc -print-file-name="$1"; }

# Fails when a log holds a sanitizer report (ASan, LSan, UBSan or TSan).
# Allocation failures that the code under test handles are not reports.
check_logs() {
    local found
    found=$(grep -l -E 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|WARNING: ThreadSanitizer|SUMMARY: (Address|Undefined|Thread)' "$@" 2>/dev/null || true)
    if [[ -n $found ]]; then
        echo "sanitizer reports in:" $found >&2
        for log in $found; do
            echo "----- $log" >&2
            grep -A 60 -E 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|WARNING: ThreadSanitizer' "$log" |
                sed -n '1,400p' >&2 || true
        done
        return 1
    fi
}

# Runs <build>/engine_tests without the tests in <excluded> (a gtest filter
# list), with the given VAR=value environment, into <build>/logs/engine.log.
# A failing test or a sanitizer report marks the current stage failed.
run_engine_tests() {
    local build=$1 excluded=$2 status=0
    shift 2
    env "$@" "$build/engine_tests" --gtest_brief=1 --gtest_filter="-$excluded" \
        >"$build/logs/engine.log" 2>&1 || status=$?
    tail -n 3 "$build/logs/engine.log"
    check_logs "$build/logs/engine.log" || status=1
    if ((status != 0)); then
        grep -E '^\[  FAILED' "$build/logs/engine.log" >&2 || tail -n 40 "$build/logs/engine.log" >&2
        failed+=("$current")
    fi
}

module_sources() { compgen -G "src/native_module/*.cpp" >/dev/null; }
build_module=OFF
if wants python; then
    if module_sources; then
        build_module=ON
    elif [[ -n ${CI:-} ]]; then
        echo "test-sanitizers: src/native_module has no sources; the Python stage cannot be skipped in CI" >&2
        exit 1
    fi
fi

# ---------------------------------------------------------------------------
# AddressSanitizer + UndefinedBehaviorSanitizer
#
# Every UBSan finding is fatal (-fno-sanitize-recover=all). GCC leaves
# float-cast-overflow out of "undefined"; it is added because the engine turns
# double-coded identifiers into integers. _GLIBCXX_ASSERTIONS adds bounds
# checks to the standard containers.
ASAN_CXX_FLAGS="-fno-sanitize-recover=all -fsanitize=float-cast-overflow -D_GLIBCXX_ASSERTIONS"
ASAN_COMMON="halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1"
UBSAN_COMMON="print_stacktrace=1:halt_on_error=1"

if wants asan || [[ $build_module == ON ]]; then
    stage "ASan+UBSan build"
    python_args=()
    [[ $build_module == OFF ]] || python_args=(-DPython_EXECUTABLE="$PYTHON")
    cmake -S . -B build-asan "${GENERATOR[@]}" -DROWMERGE_SANITIZE=address,undefined \
        -DROWMERGE_BUILD_TESTS=ON -DROWMERGE_BUILD_MODULE=$build_module "${python_args[@]}" \
        -DCMAKE_CXX_FLAGS="$ASAN_CXX_FLAGS" >/dev/null
    cmake --build build-asan -j"$(nproc)"
fi

# GCC 12's AddressSanitizer does not lock its allocator around fork(): a child
# forked while another thread is inside malloc waits for ever on the
# allocator's lock. That test forks while four threads make calls; it runs in
# the plain and ThreadSanitizer builds.
ASAN_CXX_EXCLUDED="ConcurrencyStress.ForksWhileOtherThreadsCall"

if wants asan; then
    stage "ASan+UBSan C++ tests"
    mkdir -p build-asan/logs
    rm -f build-asan/logs/engine*
    run_engine_tests build-asan "$ASAN_CXX_EXCLUDED" \
        ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=1" UBSAN_OPTIONS="$UBSAN_COMMON"
fi

# ---------------------------------------------------------------------------
# ThreadSanitizer
if wants tsan; then
    stage "TSan build"
    cmake -S . -B build-tsan "${GENERATOR[@]}" -DROWMERGE_SANITIZE=thread \
        -DROWMERGE_BUILD_TESTS=ON -DROWMERGE_BUILD_MODULE=OFF >/dev/null
    cmake --build build-tsan -j"$(nproc)"
    # The annotations run uninstrumented: their own atomics must stay invisible.
    g++ -std=c++20 -O2 -g -fPIC -shared -Wall -Wextra -Wl,-soname,libtbbmalloc.so.2 \
        -o build-tsan/libtbb_tsan_annotations.so tools/sanitizers/tbb_tsan_annotations.cpp -ldl
    g++ -std=c++20 -O1 -g -fsanitize=thread -fno-omit-frame-pointer -Isrc \
        -o build-tsan/tsan_canary tools/sanitizers/tsan_canary.cpp build-tsan/librowmerge_engine.a build-tsan/librowmerge_core.a -ltbb -pthread

    mkdir -p build-tsan/logs
    rm -f build-tsan/logs/*
    # ThreadSanitizer does not support fork() while other threads run: in
    # such a child it stops following synchronisation, and what it reports
    # there and in that child's own children does not describe the program.
    # These two tests fork grandchildren from such children; they run in the
    # plain and ASan+UBSan builds. The other fork tests run here.
    # The ConcurrentWriters tests race with the merge on purpose (threads
    # writing to the table it reads): they run under ASan+UBSan instead.
    TSAN_CXX_EXCLUDED="ConcurrencyStress.ForksWhileOtherThreadsCall:WorkerPool.ChildrenOfAChildWithoutPoolStayOnTheCallingThread:*ConcurrentWriters.*"
    tsan_env=(
        LD_PRELOAD="$root/build-tsan/libtbb_tsan_annotations.so"
        TSAN_OPTIONS="suppressions=$root/tools/sanitizers/tsan.supp:halt_on_error=0:second_deadlock_stack=1:die_after_fork=0"
    )

    stage "TSan canary (must report a race)"
    status=0
    env "${tsan_env[@]}" build-tsan/tsan_canary >build-tsan/logs/canary.log 2>&1 || status=$?
    if ((status == 66)) && grep -q 'WARNING: ThreadSanitizer: data race' build-tsan/logs/canary.log &&
        grep -q 'tsan_canary.cpp' build-tsan/logs/canary.log; then
        echo "canary race reported, as it must be"
    else
        echo "test-sanitizers: the canary race was not reported (exit $status): the ThreadSanitizer" \
            "set-up hides races in code run on the worker pool" >&2
        cat build-tsan/logs/canary.log >&2
        failed+=("$current")
    fi

    stage "TSan C++ tests"
    run_engine_tests build-tsan "$TSAN_CXX_EXCLUDED" "${tsan_env[@]}"
fi

# ---------------------------------------------------------------------------
# The Python suite against the ASan+UBSan module
if wants python; then
    stage "ASan+UBSan Python suite"
    if [[ $build_module == OFF ]]; then
        echo "SKIPPED: src/native_module has no sources yet, so there is no module to test"
    else
        mkdir -p build-asan/logs/python
        rm -f build-asan/logs/python/*
        # The runtimes come first: ASan must be loaded before anything else, and
        # its C++ exception interceptors need libstdc++ at start-up, which a
        # stock interpreter would only load with the module. Reports go to log
        # files because pytest captures the test process's standard error.
        # build-asan/package holds the rowmerge package with the instrumented
        # rowmerge._engine; _native is at the top of build-asan.
        python_env=(
            LD_PRELOAD="$(runtime libasan.so):$(runtime libubsan.so):$(runtime libstdc++.so)"
            PYTHONMALLOC=malloc
            ASAN_OPTIONS="$ASAN_COMMON:detect_leaks=0:log_path=$root/build-asan/logs/python/asan"
            UBSAN_OPTIONS="$UBSAN_COMMON:log_path=$root/build-asan/logs/python/ubsan"
            PYTHONPATH="$root/build-asan/package:$root/build-asan:$root/tools/sanitizers"
        )
        modules=$(env "${python_env[@]}" "$PYTHON" -c \
            'import _native, rowmerge._engine as e; print(_native.__file__); print(e.__file__)')
        for module in $modules; do
            if [[ $module != "$root/build-asan/"* ]]; then
                echo "test-sanitizers: imported $module instead of the instrumented module" >&2
                exit 1
            fi
            echo "module: $module"
        done
        status=0
        # The plugin skips the few tests that cannot work under AddressSanitizer
        # (each with its reason, shown by -rs).
        env "${python_env[@]}" "$PYTHON" -m pytest tests/python -q -p no:cacheprovider -p asan_pytest_plugin \
            -rs --durations=5 || status=$?
        check_logs build-asan/logs/python/* || status=1
        ((status == 0)) || failed+=("$current")
    fi
fi

stage "done"
printf '%s\n' "${timings[@]}"
printf '%-36s %4ds\n' "total" $((SECONDS - start))
if ((${#failed[@]})); then
    printf 'FAILED: %s\n' "${failed[@]}" >&2
    exit 1
fi
echo "all sanitizer runs clean"
