#!/usr/bin/env bash
# Builds the engine and its C++ tests with ROWMERGE_PORTABLE=ON, the plain C++
# code in place of the SSE2/AVX paths, as a processor that is not x86 runs
# it, and runs the C++ suite on it (the differential tests over every table
# layout included). Checks first that the option took: the engine's code has
# no AVX instruction (no ymm register) and no SSE2 movemask, which only the
# vector paths use.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-portable -G Ninja -DROWMERGE_BUILD_MODULE=OFF -DROWMERGE_BUILD_TESTS=ON \
    -DROWMERGE_PORTABLE=ON >/dev/null
cmake --build build-portable -j2

vector_code=$(objdump -d --no-show-raw-insn build-portable/librowmerge_engine.a | grep -cE 'ymm|movmskpd' || true)
if [[ $vector_code -ne 0 ]]; then
    echo "test-portable: the portable engine still has $vector_code x86 vector instructions" >&2
    exit 1
fi
echo "portable engine: no AVX or SSE2 movemask instructions"

ctest --test-dir build-portable --output-on-failure -j2
