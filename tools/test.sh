#!/usr/bin/env bash
# Sets everything up, builds and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
QUARRY_WITH_TESTS=1 tools/build.sh
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
