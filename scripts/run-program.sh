#!/usr/bin/env bash
# Installs what is needed, builds the program and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEMO_BUILD_TESTS=OFF \
  -DVEMO_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --target Vemo_Server_Crypt vemo-softtoken
exec build/release/bin/Vemo_Server_Crypt "$@"
