#!/usr/bin/env bash
# Installs everything the tests need and runs every test: the C++ tests
# (ctest), the Python tests (pytest) and the type-stub check, then the C++
# tests again under AddressSanitizer + UndefinedBehaviorSanitizer, the Python
# tests against a sanitized build of the extension, a clang build that checks
# the lock annotations, the concurrency tests under ThreadSanitizer, and a
# bounded fuzz run of the blob reader. Exits non-zero on any failure.
# Usage: scripts/test.sh   (PYTHON=/path/to/python3.12 to choose the interpreter)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
JOBS="${JOBS:-$(nproc)}"
export CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"

step() { printf '\n==== %s\n' "$*"; }

step "Debian packages"
DEB_PACKAGES=(libgtest-dev libgmock-dev graphviz clang libclang-rt-14-dev g++ libtsan2 python3-venv)
missing=()
for pkg in "${DEB_PACKAGES[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
else
  echo "all present"
fi

step "Python environment"
. scripts/find_python.sh
find_python
echo "using $("$PY" --version) at $PY"
VENV="$ROOT/build/test-venv"
rm -rf "$VENV"
"$PY" -m venv "$VENV"
VPY="$VENV/bin/python"
"$VPY" -m pip install --quiet --upgrade pip
"$VPY" -m pip install --quiet pytest hypothesis numpy mypy cmake ninja
export PATH="$VENV/bin:$PATH"
SITE="$("$VPY" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"

step "Build and install the extension (Release wheel)"
"$VPY" -m pip install --quiet "$ROOT"

step "C++ tests"
cmake -S "$ROOT" -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARY_BUILD_TESTS=ON -DTESSARY_WERROR=ON >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure -j "$JOBS"

step "Python tests"
(cd "$ROOT/tests/python" && "$VPY" -m pytest -q -p no:cacheprovider .)

step "Type stubs (mypy.stubtest)"
(cd /tmp && "$VPY" -m mypy.stubtest tessary_core)

step "C++ tests under ASan + UBSan"
cmake -S "$ROOT" -B build/cpp-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DTESSARY_BUILD_TESTS=ON -DTESSARY_SANITIZE=ON >/dev/null
cmake --build build/cpp-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/cpp-asan --output-on-failure -j "$JOBS"

step "Python tests against an ASan + UBSan build of the extension"
cmake -S "$ROOT" -B build/py-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DTESSARY_BUILD_PYTHON=ON -DTESSARY_SANITIZE=ON -DPython_EXECUTABLE="$VPY" >/dev/null
cmake --build build/py-asan --target tessary_core
# The interpreter itself is not built with ASan: preload the runtimes and
# leave leak detection off (the interpreter keeps memory until exit).
ASAN_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
(cd "$ROOT/tests/python" &&
  PYTHONPATH="$ROOT/build/py-asan" LD_PRELOAD="$ASAN_PRELOAD" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TESSARY_SANITIZED=1 "$VPY" -m pytest -q -p no:cacheprovider .)

step "Lock annotations (clang -Wthread-safety, as errors)"
cmake -S "$ROOT" -B build/thread-safety -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DTESSARY_THREAD_SAFETY=ON -DTESSARY_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$VPY" >/dev/null
cmake --build build/thread-safety --target tessary_core_lib tessary_core

step "Concurrency tests under ThreadSanitizer"
# The tests that start threads: the store and symbol table under concurrent
# use, the two-thread helper, and the e-graph's two-thread load, rebuild and
# search (alone and inside a large reduction).
TSAN_TESTS="GraphStoreThreads.*:SipHash.DerivedKeysAreDistinctAcrossThreads:RunOnTwoThreads.*"
TSAN_TESTS+=":GlobalSymbol.ThreadsInterningTheSameTextsAgree:Runner.ConcurrentSearchRunsExactlyAsOneThread"
TSAN_TESTS+=":AddDag.*:EGraphRandom.*:RandomGraphs.LargeGraphOnTwoThreadsIsEquivalentAndRepeatable"
cmake -S "$ROOT" -B build/tsan -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARY_TSAN=ON -DTESSARY_BUILD_TESTS=ON -DTESSARY_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$VPY" >/dev/null
cmake --build build/tsan --target tessary_tests tessary_core
TSAN_OPTIONS=halt_on_error=1 build/tsan/tessary_tests --gtest_filter="$TSAN_TESTS"
# The interpreter is not built with TSan: preload the runtime. Every module
# call holds the interpreter lock, which TSan sees through the intercepted
# pthread calls.
(cd "$ROOT/tests/python" &&
  PYTHONPATH="$ROOT/build/tsan" LD_PRELOAD="$(g++ -print-file-name=libtsan.so)" \
  TSAN_OPTIONS=halt_on_error=1 "$VPY" -m pytest -q -p no:cacheprovider test_threads.py)

if [ -x scripts/fuzz.sh ]; then
  step "Fuzzing the blob reader (bounded)"
  scripts/fuzz.sh "$ROOT/build/fuzz"
fi

step "fuzz-api: fuzzing the Python API with atheris (bounded)"
scripts/fuzz_api.sh 60

step "All tests passed"
