#!/usr/bin/env bash
# Installs what is needed, builds and runs every test: once in a normal build, once with
# AddressSanitizer and UndefinedBehaviorSanitizer. Each run gets a private session bus, so no
# test reaches the desktop's own. Then each fuzz target runs for a short, bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
unset DBUS_SESSION_BUS_ADDRESS

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DVEMO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  dbus-run-session -- ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300
}

run_suite build/tests -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVEMO_SANITIZE=ON -DVEMO_BUILD_BENCH=OFF
bash fuzz/run.sh "${VEMO_FUZZ_SECONDS:-25}"
