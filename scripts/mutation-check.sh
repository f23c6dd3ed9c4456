#!/usr/bin/env bash
# Mutation check of the C++ and Python test suites: every mutant listed in
# scripts/mutants.toml is applied to a private copy of the tree
# (build-mutants-tree/), built incrementally in build-mutants/ and tested;
# prints a markdown table and the score. Not part of CI; a full run takes
# about 35 minutes on two cores. Runs at low priority.
#
#   bash scripts/mutation-check.sh                 # every mutant
#   bash scripts/mutation-check.sh --only NAME...  # some of them
#   bash scripts/mutation-check.sh --list          # the mutants, and whether each still applies
#   bash scripts/mutation-check.sh --sample 60 [--seed S]  # 60 mutants drawn at random (C++ and Python)
#
# The report is also written to build-mutants/mutation-report.md, each
# mutant's build and test output to build-mutants/mutation-logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${ROWMERGE_PYTHON:-.venv/bin/python}
if [[ ! -x $python ]]; then
  echo "mutation-check: no $python; run scripts/setup.sh first (or set ROWMERGE_PYTHON)" >&2
  exit 2
fi
if [[ ${1:-} == --sample ]]; then
  # Mutants drawn at random from every mutant the mutators can make (see scripts/mutation_sample.py).
  # Its Python mutants come from mutmut's operators (a version whose internals the script knows).
  "$python" -c "import mutmut" 2>/dev/null || "$python" -m pip install -q "mutmut==3.8.1"
  exec nice -n "${MUTATION_NICE:-10}" "$python" scripts/mutation_sample.py "$@"
fi
exec nice -n 10 "$python" scripts/mutation_check.py "$@"
