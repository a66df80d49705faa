#!/usr/bin/env bash
# Builds the benchmarks (Release) into build-bench/ and runs them; pxlib, the
# sqlite3 shell, shapelib and python3's dbfread are installed for the
# comparisons they make. quarry_grid_bench builds the grid's model from its
# source with QtGui, so the widgets need not be built (-DBUILD_GUI=OFF).
#   bash tools/bench.sh [quarry_write_bench options]
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-packages.sh build-essential cmake ninja-build pkg-config qt6-base-dev \
  libsqlite3-dev libicu-dev pxlib-dev sqlite3 libshp-dev python3-dbfread
cmake -S . -B build-bench -G Ninja -DBUILD_BENCH=ON -DBUILD_GUI=OFF -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j"$(nproc)"
build-bench/bench/quarry_bench
build-bench/bench/quarry_dbase_bench
build-bench/bench/quarry_grid_bench
[ -x build-bench/bench/quarry_export_bench ] && build-bench/bench/quarry_export_bench
build-bench/bench/quarry_sql_bench
build-bench/bench/quarry_write_bench "$@"
