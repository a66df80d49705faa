#!/usr/bin/env bash
# Installs what the build needs (Debian packages) when missing, then
# configures and builds into build/. Used by start.sh and test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-qpa-plugins
          libsqlite3-dev libicu-dev)
if [ "${QUARRY_WITH_TESTS:-0}" = 1 ]; then
  # Test-only: GoogleTest, and pxlib as an independent reader/writer of Paradox files.
  packages+=(libgtest-dev libgmock-dev pxlib-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

testing=OFF
[ "${QUARRY_WITH_TESTS:-0}" = 1 ] && testing=ON
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=$testing >/dev/null
cmake --build build -j"$(nproc)"
