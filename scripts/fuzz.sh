#!/usr/bin/env bash
# Builds the blob reader fuzzer with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer in the build directory $1 (default build-fuzz,
# relative to the repository root) and runs it for ${FUZZ_SECONDS:-60} seconds
# on a scratch copy of fuzz/corpus. Exits non-zero when the build fails or the
# fuzzer finds a crash; the crashing input is left in <build>/fuzz-artifacts/.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-build-fuzz}"
case "$build" in
  /*) ;;
  *) build="$root/$build" ;;
esac
seconds="${FUZZ_SECONDS:-60}"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARY_BUILD_FUZZ=ON \
  -DTESSARY_SANITIZE=ON >/dev/null
cmake --build "$build" -j2 --target blob_reader_fuzz

# The fuzzer adds what it finds to its corpus directory; keep the seeds clean.
work="$build/blob_reader_corpus"
artifacts="$build/fuzz-artifacts/"
rm -rf "$work"
mkdir -p "$work" "$artifacts"
cp "$root"/fuzz/corpus/* "$work"/

# libFuzzer reports every new input; keep that in a log and show its end.
log="$build/fuzz.log"
status=0
"$build/blob_reader_fuzz" \
  -max_total_time="$seconds" \
  -timeout=10 \
  -print_final_stats=1 \
  -artifact_prefix="$artifacts" \
  "$work" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$log"
  echo "fuzzing failed (exit $status); inputs in $artifacts" >&2
  exit "$status"
fi
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || tail -n 5 "$log"
