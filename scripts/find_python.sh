# Sourced by the other scripts: sets PY to a Python interpreter >= 3.12.
# Honours $PYTHON first, then looks on PATH and under pyenv.

python_ok() {
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1
}

find_python() {
  local candidate
  if [ -n "${PYTHON:-}" ]; then
    if python_ok "$PYTHON"; then PY="$PYTHON"; return 0; fi
    echo "error: \$PYTHON=$PYTHON is not a Python >= 3.12" >&2
    return 1
  fi
  for candidate in python3.13 python3.12 python3; do
    if command -v "$candidate" >/dev/null 2>&1 && python_ok "$(command -v "$candidate")"; then
      PY="$(command -v "$candidate")"
      return 0
    fi
  done
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[2-9]*/bin/python3 \
                   /usr/local/bin/python3.1[2-9] /usr/bin/python3.1[2-9]; do
    if [ -x "$candidate" ] && python_ok "$candidate"; then PY="$candidate"; return 0; fi
  done
  echo "error: no Python >= 3.12 found; set PYTHON=/path/to/python3.12" >&2
  return 1
}

# Sets PYS to every distinct Python >= 3.12 found (one per minor version,
# newest first), or to $PYTHON alone when that is set.
find_pythons() {
  local candidate minor seen=" "
  PYS=()
  if [ -n "${PYTHON:-}" ]; then
    find_python || return 1
    PYS=("$PY")
    return 0
  fi
  for candidate in $(command -v python3.13 python3.12 python3 2>/dev/null) \
                   "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[2-9]*/bin/python3 \
                   /usr/local/bin/python3.1[2-9] /usr/bin/python3.1[2-9]; do
    [ -x "$candidate" ] && python_ok "$candidate" || continue
    minor="$("$candidate" -c 'import sys; print(sys.version_info[1])')"
    case "$seen" in *" $minor "*) continue ;; esac
    seen+="$minor "
    PYS+=("$candidate")
  done
  if [ "${#PYS[@]}" -eq 0 ]; then
    echo "error: no Python >= 3.12 found; set PYTHON=/path/to/python3.12" >&2
    return 1
  fi
  # Newest first.
  local sorted
  sorted="$(for candidate in "${PYS[@]}"; do
    printf '%s %s\n' "$("$candidate" -c 'import sys; print(sys.version_info[1])')" "$candidate"
  done | sort -rn | cut -d' ' -f2-)"
  mapfile -t PYS <<<"$sorted"
}
