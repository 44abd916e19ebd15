#!/usr/bin/env bash
# Installs tessary_core into a fresh virtual environment (.venv) and runs the
# quick start. Usage: scripts/quickstart.sh   (PYTHON=/path/to/python3.12 to choose)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find_python.sh
find_python
echo "== using $("$PY" --version) at $PY"
rm -rf .venv
"$PY" -m venv .venv
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet .
cd examples
../.venv/bin/python quickstart.py
