#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz and runs each one for
# FUZZ_SECONDS (default 60), one after the other. The corpora live in build-fuzz/corpus/<target>
# and grow across runs; crash reproducers land in build-fuzz/findings/.
# Usage: scripts/fuzz.sh [target ...]   (default: every target)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR="${FUZZ_BUILD:-build-fuzz}"
SECONDS_EACH="${FUZZ_SECONDS:-60}"
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=(fuzz_fsl_pair fuzz_grad fuzz_nifti fuzz_sidecar fuzz_json)

bash scripts/setup.sh
if ! command -v clang++ >/dev/null 2>&1 || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "fuzz: installing clang and its runtime libraries"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq clang libclang-rt-dev >/dev/null 2>&1 || $SUDO apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
fi

GENERATOR=$(ninja --version >/dev/null 2>&1 && echo Ninja || echo 'Unix Makefiles')
CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G "$GENERATOR" -DCMAKE_BUILD_TYPE=Release -DDIRSIEVE_BUILD_FUZZ=ON \
  -DDIRSIEVE_BUILD_TESTS=OFF -DDIRSIEVE_BUILD_PYTHON=OFF -DDIRSIEVE_BUILD_BENCH=OFF > "$BUILD_DIR.configure.log" 2>&1 \
  || { cat "$BUILD_DIR.configure.log"; exit 1; }
cmake --build "$BUILD_DIR" -j "${FUZZ_JOBS:-2}" > "$BUILD_DIR.build.log" 2>&1 || { tail -50 "$BUILD_DIR.build.log"; exit 1; }

SEEDS="$BUILD_DIR/seeds"
rm -rf "$SEEDS"
"$BUILD_DIR/fuzz/fuzz_make_seeds" "$SEEDS"
mkdir -p "$BUILD_DIR/findings"

max_len_of() {
  case "$1" in
    fuzz_nifti) echo 16384 ;;
    fuzz_json) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

status=0
for target in "${TARGETS[@]}"; do
  corpus="$BUILD_DIR/corpus/$target"
  mkdir -p "$corpus"
  log="$BUILD_DIR/findings/$target.log"
  echo "== $target for ${SECONDS_EACH}s"
  if ! ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
      "$BUILD_DIR/fuzz/$target" "$corpus" "$SEEDS/$target" -max_total_time="$SECONDS_EACH" -max_len="$(max_len_of "$target")" \
      -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 -artifact_prefix="$BUILD_DIR/findings/$target-" > "$log" 2>&1; then
    echo "   FINDING: see $log"; grep -m5 -E 'ERROR|runtime error|deadly|abort' "$log" || true
    status=1
  fi
  grep -E '^#[0-9]+.*(DONE|pulse)' "$log" | tail -1 || true
  grep -E 'stat::(number_of_executed_units|average_exec_per_sec)' "$log" || true
done
exit $status
