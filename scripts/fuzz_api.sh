#!/usr/bin/env bash
# Fuzzes the Python API with atheris for $1 seconds (default 60): builds the
# extension with clang and libFuzzer's coverage instrumentation in
# build/fuzz-api, makes a venv with atheris in build/fuzz-api-venv, and runs
# fuzz/fuzz_api.py on a scratch copy of fuzz/api_corpus with one worker.
# Exits non-zero when the build fails or the target finds a failing input;
# that input is left in build/fuzz-api-artifacts/ and the log in
# build/fuzz-api.log. FUZZ_API_KEEP_CORPUS=1 keeps the scratch corpus of an
# earlier run instead of starting again from the seeds.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
build="$root/build/fuzz-api"
venv="$root/build/fuzz-api-venv"
work="$root/build/fuzz-api-corpus"
artifacts="$root/build/fuzz-api-artifacts/"
log="$root/build/fuzz-api.log"

. "$root/scripts/find_python.sh"
find_python
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import atheris' 2>/dev/null; then
  rm -rf "$venv"
  "$PY" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet atheris cmake ninja
fi
export PATH="$venv/bin:$PATH"

# Coverage instrumentation only (TESSARY_BUILD_FUZZ): the hooks resolve to the
# libFuzzer inside atheris once the target makes it global.
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARY_BUILD_FUZZ=ON \
  -DTESSARY_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build" -j2 --target tessary_core

if [ "${FUZZ_API_KEEP_CORPUS:-0}" != 1 ] || [ ! -d "$work" ]; then
  rm -rf "$work"
  mkdir -p "$work"
  cp "$root"/fuzz/api_corpus/* "$work"/
fi
mkdir -p "$artifacts"

status=0
(cd "$root/build" &&
  PYTHONPATH="$build" "$venv/bin/python" "$root/fuzz/fuzz_api.py" \
    -max_total_time="$seconds" \
    -max_len=512 \
    -timeout=30 \
    -print_final_stats=1 \
    -artifact_prefix="$artifacts" \
    "$work") >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  tail -n 60 "$log"
  echo "API fuzzing failed (exit $status); inputs in $artifacts" >&2
  exit "$status"
fi
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || tail -n 5 "$log"
grep -E '^#[0-9]+.*(DONE|pulse)' "$log" | tail -n 1
