#!/usr/bin/env bash
# The style stage: ruff (lint, and a format check) and mypy --strict over the
# Python package (both configured in pyproject.toml, installed by setup's 'dev'
# extra); clang-format (a dry run that fails on any difference) over the C++
# sources and tests, then clang-tidy (.clang-tidy: bugprone-*, performance-*,
# modernize-*) over src/ with the compile database of a normal build of the
# module. The clang tools come from PyPI at the versions pinned below and are
# installed into .venv/ when missing. Run after scripts/setup.sh; to reformat
# instead of checking: scripts/check-style.sh --fix.
set -euo pipefail
cd "$(dirname "$0")/.."

CLANG_FORMAT_VERSION=23.1.5
CLANG_TIDY_VERSION=23.1.4

PYTHON=.venv/bin/python
[[ -x $PYTHON ]] || { echo "check-style: run scripts/setup.sh first" >&2; exit 1; }
export PATH="$PWD/.venv/bin:$PATH"

installed() { "$PYTHON" -m pip show "$1" 2>/dev/null | sed -n 's/^Version: //p'; }
if [[ $(installed clang-format) != "$CLANG_FORMAT_VERSION" || $(installed clang-tidy) != "$CLANG_TIDY_VERSION" ]]; then
    "$PYTHON" -m pip install -q "clang-format==$CLANG_FORMAT_VERSION" "clang-tidy==$CLANG_TIDY_VERSION"
fi

mapfile -t cpp_files < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp')
if [[ ${1:-} == --fix ]]; then
    clang-format -i "${cpp_files[@]}"
    ruff format python/rowmerge
    echo "check-style: reformatted ${#cpp_files[@]} C++ files and the Python package"
    exit 0
fi

start=$SECONDS
echo "--- ruff $(ruff --version | cut -d' ' -f2) (lint, format check) and mypy --strict over python/rowmerge"
ruff check python/rowmerge
ruff format --check python/rowmerge
mypy
echo "ruff, mypy: clean ($((SECONDS - start))s)"

cpp_start=$SECONDS
echo "--- clang-format $CLANG_FORMAT_VERSION (dry run) over ${#cpp_files[@]} files"
clang-format --dry-run -Werror "${cpp_files[@]}"
echo "clang-format: clean ($((SECONDS - cpp_start))s)"

# The compile database of a normal (module) build; configuring is enough, no
# file is generated at build time.
tidy_start=$SECONDS
cmake -S . -B build-style -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$PWD/$PYTHON" \
    -DROWMERGE_BUILD_MODULE=ON -DROWMERGE_BUILD_TESTS=OFF >/dev/null
mapfile -t sources < <(git ls-files 'src/*.cpp')
echo "--- clang-tidy $CLANG_TIDY_VERSION over ${#sources[@]} translation units of src/"
printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -n 1 clang-tidy -p build-style --quiet
echo "clang-tidy: clean ($((SECONDS - tidy_start))s)"
echo "check-style: clean ($((SECONDS - start))s)"
