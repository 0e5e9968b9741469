#!/usr/bin/env bash
# The test run behind `make test` (everything) and `make test-quick` (the main suites, no sanitizer
# pass): each stage says what it does and how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
MODE="${1:-full}"
JOBS="${JOBS:-$(nproc)}"
BUILD="${BUILD:-build}"
PY=.venv/bin/python
started=$SECONDS

stage() {
  local name="$1"
  shift
  local t0=$SECONDS
  echo "== $name"
  "$@"
  echo "   ($name: $((SECONDS - t0)) s)"
}

stage "set-up and build (quiet when nothing changed)" make --no-print-directory build BUILD="$BUILD" JOBS="$JOBS"
stage "core tests (GoogleTest)" "$BUILD/core_tests" --gtest_brief=1
stage "Python tests (pytest: module, engine, command line, pages)" \
  env PYTHONPATH="$BUILD/python:python" "$PY" -m pytest -q tests/python
if [ "$MODE" = full ]; then
  stage "sanitizer pass (ASan + UBSan build of both suites, repeated-call leak check)" \
    env JOBS="$JOBS" bash scripts/sanitize.sh
fi
echo "== all tests passed in $((SECONDS - started)) s"
