#!/usr/bin/env bash
# Installs what the build needs (Debian packages) when missing, then
# configures and builds into build/. Used by start.sh and test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev qt6-qpa-plugins
          libsqlite3-dev libicu-dev)
if [ "${QUARRY_WITH_TESTS:-0}" = 1 ]; then
  # Test-only: GoogleTest; pxlib as an independent reader/writer of Paradox
  # files; dbfread, the dbf module and GDAL (with its Python module) as
  # independent readers/writers of dBASE files; PostgreSQL, whose psql
  # loads the exported scripts into a throwaway server.
  packages+=(libgtest-dev libgmock-dev pxlib-dev python3-dbfread python3-dbf gdal-bin
             python3-gdal postgresql)
fi

bash tools/install-packages.sh "${packages[@]}"

testing=OFF
[ "${QUARRY_WITH_TESTS:-0}" = 1 ] && testing=ON
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=$testing >/dev/null
cmake --build build -j"$(nproc)"
