#!/usr/bin/env bash
# Fuzzes the Python API with atheris for $1 seconds (default 60), one worker,
# on a scratch copy of fuzz/api_corpus. Builds the extension with clang and
# libFuzzer's coverage instrumentation, under AddressSanitizer and
# UndefinedBehaviorSanitizer (FUZZ_API_SANITIZE=0: coverage only, faster),
# and makes a venv with atheris in build/fuzz-api-venv. Exits non-zero when
# the build fails or the target finds a failing input; that input is left in
# build/fuzz-api-artifacts/ and the log in build/fuzz-api.log.
# FUZZ_API_KEEP_CORPUS=1 goes on from the scratch corpus of an earlier run.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
sanitize="${FUZZ_API_SANITIZE:-1}"
build="$root/build/fuzz-api"
[ "$sanitize" = 1 ] && build="$root/build/fuzz-api-asan"
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

# TESSARY_BUILD_FUZZ adds the coverage instrumentation. Its hooks resolve to
# a libFuzzer at load time: without sanitizers, the one inside atheris, which
# the target makes global before importing the module.
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARY_BUILD_FUZZ=ON \
  -DTESSARY_SANITIZE="$([ "$sanitize" = 1 ] && echo ON || echo OFF)" \
  -DTESSARY_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build" -j2 --target tessary_core

preload=""
if [ "$sanitize" = 1 ]; then
  # The interpreter is not built with ASan, so the runtime is preloaded. It
  # must be one library with libFuzzer: the runtime's own default coverage
  # hooks would otherwise take the calls and the fuzzer would see no coverage.
  # Linked from clang's static runtimes (without the preinit object, which a
  # shared library cannot hold); atheris then uses the preloaded libFuzzer.
  rt="$build/asan_with_fuzzer.so"
  if [ ! -f "$rt" ]; then
    rtdir="$(clang++ -print-runtime-dir)"
    objs="$build/asan_with_fuzzer.objs"
    rm -rf "$objs"
    for lib in asan asan_cxx fuzzer_no_main; do
      mkdir -p "$objs/$lib"
      (cd "$objs/$lib" && ar x "$rtdir/libclang_rt.$lib-x86_64.a")
    done
    rm -f "$objs/asan/asan_preinit.cpp.o"
    clang++ -shared -o "$rt" "$objs"/*/*.o -ldl -lpthread -lrt -lm
  fi
  preload="$rt"
fi

if [ "${FUZZ_API_KEEP_CORPUS:-0}" != 1 ] || [ ! -d "$work" ]; then
  rm -rf "$work"
  mkdir -p "$work"
  cp "$root"/fuzz/api_corpus/* "$work"/
fi
mkdir -p "$artifacts"

status=0
(cd "$root/build" &&
  PYTHONPATH="$build" LD_PRELOAD="$preload" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$venv/bin/python" "$root/fuzz/fuzz_api.py" \
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
