#!/usr/bin/env bash
# Builds the fuzz targets with clang under AddressSanitizer and UndefinedBehaviorSanitizer
# (build/fuzz) and runs each for a bounded time, starting from its seed corpus in
# fuzz/corpus/<target>. What a run adds to the corpus stays in build/fuzz/corpus/<target>, so
# later runs go on from there; a failing input is kept as build/fuzz/artifacts/<target>-*.
#
#   fuzz/run.sh [SECONDS_PER_TARGET [TARGET...]]     (default: 25 s each, every target)
#
# Extra libFuzzer options go in VEMO_FUZZ_ARGS (for example "-jobs=2 -workers=2").
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-25}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(base64_fuzz code_pages_fuzz ini_file_fuzz http_request_fuzz request_handlers_fuzz)
fi
build=${VEMO_FUZZ_BUILD:-build/fuzz}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DVEMO_FUZZ=ON -DVEMO_BUILD_TESTS=OFF -DVEMO_BUILD_BENCH=OFF \
  >/dev/null
cmake --build "$build" --target vemo_fuzz_targets -j "$(nproc)"

mkdir -p "$build/logs" "$build/artifacts"
passed=0
failed=0
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  log=$build/logs/$target.log
  mkdir -p "$corpus"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$build/artifacts/$target-")
  case $target in
    http_request_fuzz | request_handlers_fuzz) options+=(-dict=fuzz/http.dict) ;;
  esac
  # shellcheck disable=SC2086
  if LD_LIBRARY_PATH="$build/bin/fakes" VEMO_TEST_BIN_DIR="$(realpath "$build/bin")" \
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/bin/$target" "${options[@]}" ${VEMO_FUZZ_ARGS:-} "$corpus" "fuzz/corpus/$target" \
    >"$log" 2>&1; then
    passed=$((passed + 1))
    runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log" | tail -1)
    echo "$target: ${runs:-?} inputs in ${seconds} s, corpus $(ls "$corpus" | wc -l) files"
  else
    failed=$((failed + 1))
    echo "$target: FAILED (log: $log)"
    tail -40 "$log"
  fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
