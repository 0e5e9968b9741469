#!/usr/bin/env bash
# valgrind memcheck over repeated module calls (scripts/leakcheck.py): builds the module with debug
# information in build-valgrind, runs the call sequence under memcheck with Python's own allocator
# switched off, and fails when valgrind reports memory errors involving _dirsieve, or definitely lost
# blocks allocated through _dirsieve that grow with the number of calls (see valgrind_report.py).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR="${VALGRIND_BUILD:-build-valgrind}"
PY="$PWD/.venv/bin/python"
ITERATIONS="${VALGRIND_ITERATIONS:-40}"  # 26 module calls each: over 1000 calls
bash scripts/setup.sh
if ! command -v valgrind >/dev/null 2>&1; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq valgrind >/dev/null
fi

GENERATOR=$(ninja --version >/dev/null 2>&1 && echo Ninja || echo 'Unix Makefiles')
cmake -S . -B "$BUILD_DIR" -G "$GENERATOR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIRSIEVE_BUILD_TESTS=OFF \
  -DDIRSIEVE_BUILD_BENCH=OFF -DPython_EXECUTABLE="$PY" > "$BUILD_DIR.configure.log" 2>&1 \
  || { cat "$BUILD_DIR.configure.log"; exit 1; }
cmake --build "$BUILD_DIR" -j "${JOBS:-2}" > "$BUILD_DIR.build.log" 2>&1 || { tail -50 "$BUILD_DIR.build.log"; exit 1; }

# Two runs of the same sequence: losses that belong to the calls grow from the short one to the long one.
run_memcheck() {
  PYTHONMALLOC=malloc PYTHONPATH="$BUILD_DIR/python:python" \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=40 --log-file="$1" \
    "$PY" scripts/leakcheck.py --no-checks --warmup 1 --iterations "$2"
}
run_memcheck "$BUILD_DIR/memcheck-short.log" 10
run_memcheck "$BUILD_DIR/memcheck-long.log" "$ITERATIONS"
"$PY" scripts/valgrind_report.py "$BUILD_DIR/memcheck-short.log" "$BUILD_DIR/memcheck-long.log"
