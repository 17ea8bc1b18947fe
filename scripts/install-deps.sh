#!/usr/bin/env bash
# Installs what building, running and testing Vemo_Server_Crypt needs (Debian 12, as root).
set -euo pipefail
packages=(
  qt6-base-dev qt6-svg-dev libqt6svg6 fonts-dejavu-core xvfb xauth trayer xdotool x11-utils imagemagick
  cmake ninja-build g++ pkg-config
  libboost-dev libssl-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  curl dbus openssl python3 chromium libnss3-tools dpkg-dev file desktop-file-utils
  libp11-kit-dev p11-kit-modules pinentry-curses softhsm2 opensc-pkcs11
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
