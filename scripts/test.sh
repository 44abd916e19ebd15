#!/usr/bin/env bash
# Installs everything the tests need and runs every test, phase by phase:
#   cpp            the C++ tests (ctest)
#   python         the Python tests (pytest), on every Python >= 3.12 found,
#                  each against its own Release wheel
#   stubs          mypy.stubtest on every such Python, mypy --strict on
#                  examples/, and the deliberately wrong uses in
#                  tests/typing/ that the stubs must reject
#   asan           the C++ tests and the Python tests (one Python) against an
#                  AddressSanitizer + UndefinedBehaviorSanitizer build
#   thread-safety  a clang build that checks the lock annotations, as errors
#   tsan           the concurrency tests (C++ and Python) under ThreadSanitizer
#   fuzz           a bounded fuzz run of the blob reader
#   fuzz-api       a bounded atheris run of the Python API (scripts/fuzz_api.sh)
# Exits non-zero on any failure and prints how long each phase took.
# Usage: scripts/test.sh                     every phase
#        scripts/test.sh --only PHASE[,PHASE...]   just those (e.g. --only python)
#        scripts/test.sh --list              the phase names
# PYTHON=/path/to/python3.12 restricts the run to that interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
JOBS="${JOBS:-$(nproc)}"
export CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"
# One compiler cache for every build tree and wheel: the core is compiled once
# per configuration, however many trees and Pythons use it.
export CCACHE_DIR="${CCACHE_DIR:-$ROOT/build/ccache}"
export CMAKE_CXX_COMPILER_LAUNCHER=ccache

# Phases in run order. A new phase is one more name here and one function
# phase_<name> below (dashes become underscores).
PHASES=(cpp python stubs asan thread-safety tsan fuzz fuzz-api)

step() { printf '\n==== %s\n' "$*"; }

selected=("${PHASES[@]}")
case "${1:-}" in
  "") ;;
  --list) printf '%s\n' "${PHASES[@]}"; exit 0 ;;
  --only)
    [ -n "${2:-}" ] || { echo "usage: $0 [--only PHASE[,PHASE...]] | --list" >&2; exit 2; }
    IFS=, read -r -a selected <<<"$2"
    for want in "${selected[@]}"; do
      case " ${PHASES[*]} " in
        *" $want "*) ;;
        *) echo "unknown phase '$want'; phases: ${PHASES[*]}" >&2; exit 2 ;;
      esac
    done ;;
  *) echo "usage: $0 [--only PHASE[,PHASE...]] | --list" >&2; exit 2 ;;
esac

# ---- shared setup, each done at most once and only when a phase needs it

DEB_PACKAGES=(libgtest-dev libgmock-dev graphviz clang libclang-rt-14-dev g++ libtsan2 python3-venv
              ccache)
setup_debian() {
  step "Debian packages"
  local missing=() pkg
  for pkg in "${DEB_PACKAGES[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "all present"
  fi
}

# VENVS[i] is the test environment of PYS[i]; VPY is the first one's
# interpreter, used by the single-Python phases.
VENVS=()
setup_venvs() {
  [ "${#VENVS[@]}" -eq 0 ] || return 0
  step "Python environments"
  . scripts/find_python.sh
  find_pythons
  local py venv minor
  for py in "${PYS[@]}"; do
    minor="$("$py" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
    venv="$ROOT/build/test-venv-$minor"
    echo "using $("$py" --version) at $py: $venv"
    rm -rf "$venv"
    "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet pytest hypothesis numpy mypy cmake ninja
    VENVS+=("$venv")
  done
  VPY="${VENVS[0]}/bin/python"
  export PATH="${VENVS[0]}/bin:$PATH"
}

WHEELS_BUILT=""
setup_wheels() {
  [ -z "$WHEELS_BUILT" ] || return 0
  setup_venvs
  local venv
  for venv in "${VENVS[@]}"; do
    step "Build and install the extension (Release wheel, $("$venv/bin/python" --version))"
    "$venv/bin/python" -m pip install --quiet -C cmake.define.TESSARY_WERROR=ON "$ROOT"
  done
  WHEELS_BUILT=1
}

# ---- the phases

phase_cpp() {
  setup_venvs
  step "C++ tests"
  cmake -S "$ROOT" -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSARY_BUILD_TESTS=ON -DTESSARY_WERROR=ON >/dev/null
  cmake --build build/cpp
  ctest --test-dir build/cpp --output-on-failure -j "$JOBS"
}

phase_python() {
  setup_wheels
  local venv
  for venv in "${VENVS[@]}"; do
    step "Python tests ($("$venv/bin/python" --version))"
    (cd "$ROOT/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
  done
}

phase_stubs() {
  setup_wheels
  local venv
  for venv in "${VENVS[@]}"; do
    step "Type stubs ($("$venv/bin/python" --version))"
    (cd /tmp && "$venv/bin/python" -m mypy.stubtest tessary_core)
    # The examples type-check strictly against the stubs ...
    "$venv/bin/python" -m mypy --strict --no-incremental "$ROOT/examples"
    # ... and every deliberately wrong use is rejected: each carries a
    # `type: ignore[code]`, which mypy reports as unused if the stubs let the
    # line through.
    "$venv/bin/python" -m mypy --strict --no-incremental --warn-unused-ignores \
      "$ROOT/tests/typing"
  done
}

phase_asan() {
  setup_venvs
  step "C++ and Python tests under ASan + UBSan"
  cmake -S "$ROOT" -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSARY_BUILD_TESTS=ON \
    -DTESSARY_BUILD_PYTHON=ON -DTESSARY_SANITIZE=ON -DPython_EXECUTABLE="$VPY" >/dev/null
  cmake --build build/asan --target tessary_tests tessary_core
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$JOBS"
  # The interpreter itself is not built with ASan: preload the runtimes and
  # leave leak detection off (the interpreter keeps memory until exit).
  local preload
  preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  (cd "$ROOT/tests/python" &&
    PYTHONPATH="$ROOT/build/asan" LD_PRELOAD="$preload" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    TESSARY_SANITIZED=1 "$VPY" -m pytest -q -p no:cacheprovider .)
}

phase_thread_safety() {
  setup_venvs
  step "Lock annotations (clang -Wthread-safety, as errors)"
  cmake -S "$ROOT" -B build/thread-safety -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug -DTESSARY_THREAD_SAFETY=ON -DTESSARY_BUILD_PYTHON=ON \
    -DPython_EXECUTABLE="$VPY" >/dev/null
  cmake --build build/thread-safety --target tessary_core_lib tessary_core
}

phase_tsan() {
  setup_venvs
  step "Concurrency tests under ThreadSanitizer"
  # The tests that start threads: the store and symbol table under concurrent
  # use, the two-thread helper, and the e-graph's two-thread load, rebuild and
  # search (alone and inside a large reduction).
  local tests="GraphStoreThreads.*:SipHash.DerivedKeysAreDistinctAcrossThreads:RunOnTwoThreads.*"
  tests+=":GlobalSymbol.ThreadsInterningTheSameTextsAgree:Runner.ConcurrentSearchRunsExactlyAsOneThread"
  tests+=":AddDag.*:EGraphRandom.*:RandomGraphs.LargeGraphOnTwoThreadsIsEquivalentAndRepeatable"
  cmake -S "$ROOT" -B build/tsan -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSARY_TSAN=ON -DTESSARY_BUILD_TESTS=ON -DTESSARY_BUILD_PYTHON=ON \
    -DPython_EXECUTABLE="$VPY" >/dev/null
  cmake --build build/tsan --target tessary_tests tessary_core
  TSAN_OPTIONS=halt_on_error=1 build/tsan/tessary_tests --gtest_filter="$tests"
  # The interpreter is not built with TSan: preload the runtime. Every module
  # call holds the interpreter lock, which TSan sees through the intercepted
  # pthread calls.
  (cd "$ROOT/tests/python" &&
    PYTHONPATH="$ROOT/build/tsan" LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" \
    TSAN_OPTIONS=halt_on_error=1 "$VPY" -m pytest -q -p no:cacheprovider test_threads.py)
}

phase_fuzz() {
  setup_venvs
  step "Fuzzing the blob reader (bounded)"
  scripts/fuzz.sh "$ROOT/build/fuzz"
}

phase_fuzz_api() {
  step "Fuzzing the Python API with atheris (bounded)"
  scripts/fuzz_api.sh 60
}

# ---- run

TIMES=()
timed() {
  local start=$SECONDS
  "$@"
  TIMES+=("$(printf '%-16s %4d s' "$2" $((SECONDS - start)))")
}
start_all=$SECONDS
timed_setup() { setup_debian; }
timed timed_setup setup
for phase in "${selected[@]}"; do
  timed "phase_${phase//-/_}" "$phase"
done

step "All tests passed"
printf '%s\n' "${TIMES[@]}"
printf '%-16s %4d s\n' total $((SECONDS - start_all))
