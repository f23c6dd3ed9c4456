#!/usr/bin/env bash
# Sets up .venv/ (system packages as root, the package installed) and runs the
# demonstration: a generated field of overlapping crop-row segments, merged.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2
exec .venv/bin/python -m rowmerge demo "$@"
