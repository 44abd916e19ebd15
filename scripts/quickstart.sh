#!/usr/bin/env bash
# Installs tessary_core into a virtual environment and runs the quick start.
# Usage: scripts/quickstart.sh   (PYTHON=/path/to/python3.12 to choose the
# interpreter, VENV=dir for another environment than .venv)
# The environment is made afresh when this script made it before (it leaves a
# marker file inside); one it did not make is never deleted: the script stops
# and asks for another VENV instead.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/find_python.sh
find_python
echo "== using $("$PY" --version) at $PY"
VENV="${VENV:-.venv}"
MARKER="$VENV/.made-by-tessary-quickstart"
if [ -e "$VENV" ]; then
  if [ ! -f "$MARKER" ]; then
    echo "error: $VENV exists and was not made by this script; it is left alone." >&2
    echo "       Run with VENV=another-dir, or remove $VENV yourself." >&2
    exit 1
  fi
  rm -rf "$VENV"
fi
"$PY" -m venv "$VENV"
touch "$MARKER"
VENV="$(cd "$VENV" && pwd)"
"$VENV/bin/python" -m pip install --quiet --upgrade pip
"$VENV/bin/python" -m pip install --quiet .
cd examples
"$VENV/bin/python" quickstart.py
