#!/usr/bin/env bash
# The sanitizer pass of CI: builds the core tests and the _dirsieve module with gcc's AddressSanitizer
# and UndefinedBehaviorSanitizer in build-asan, runs the GoogleTest suite (leak detection on), then
# the pytest suite under `python -X dev` with libasan preloaded into the (uninstrumented) interpreter.
# Needs nothing beyond what scripts/setup.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR="${ASAN_BUILD:-build-asan}"
JOBS="${JOBS:-2}"
PY="$PWD/.venv/bin/python"
bash scripts/setup.sh

SAN_FLAGS="-g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined"
GENERATOR=$(ninja --version >/dev/null 2>&1 && echo Ninja || echo 'Unix Makefiles')
CC=gcc CXX=g++ cmake -S . -B "$BUILD_DIR" -G "$GENERATOR" -DCMAKE_BUILD_TYPE=Sanitize -DCMAKE_CXX_FLAGS_SANITIZE="-O1" -DCMAKE_C_FLAGS_SANITIZE="-O1" \
  -DCMAKE_C_FLAGS="$SAN_FLAGS" -DCMAKE_CXX_FLAGS="$SAN_FLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DDIRSIEVE_BUILD_BENCH=OFF -DPython_EXECUTABLE="$PY" > "$BUILD_DIR.configure.log" 2>&1 \
  || { cat "$BUILD_DIR.configure.log"; exit 1; }
cmake --build "$BUILD_DIR" -j "$JOBS" > "$BUILD_DIR.build.log" 2>&1 || { tail -50 "$BUILD_DIR.build.log"; exit 1; }

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "sanitize: core tests (ASan + UBSan, leak detection on)"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1" \
  "$BUILD_DIR/core_tests" --gtest_brief=1

echo "sanitize: Python tests (python -X dev, libasan preloaded, leak detection off)"
LIBASAN="$(g++ -print-file-name=libasan.so)"
LIBUBSAN="$(g++ -print-file-name=libubsan.so)"
# The interpreter itself is not instrumented and keeps objects alive until exit by design, so leaks are
# checked by scripts/leakcheck.py and valgrind instead.
LD_PRELOAD="$LIBASAN:$LIBUBSAN" ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
  PYTHONPATH="$BUILD_DIR/python:python" "$PY" -X dev -m pytest -q -p no:cacheprovider tests/python

echo "sanitize: repeated module calls (python -X dev, libasan preloaded)"
LD_PRELOAD="$LIBASAN:$LIBUBSAN" ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
  PYTHONPATH="$BUILD_DIR/python:python" "$PY" -X dev scripts/leakcheck.py --iterations "${LEAKCHECK_ITERATIONS:-100}"
