#!/usr/bin/env bash
# Builds the table-family fuzzer (clang, libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs it for SECONDS
# seconds, starting from the shared corpus packed into seeds.
#   bash tools/fuzz.sh 600
# Inputs that crash, leak or hang land in build-fuzz/findings/; the inputs
# the run found interesting are kept in build-fuzz/corpus/ for the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: tools/fuzz.sh SECONDS}

packages=(clang-14 libclang-rt-14-dev cmake ninja-build pkg-config libsqlite3-dev libicu-dev
          python3)
bash tools/install-packages.sh "${packages[@]}"

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_FUZZ=ON -DBUILD_GUI=OFF -DBUILD_CLI=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target table_family_fuzzer

seeds=build-fuzz/seeds
rm -rf "$seeds"
if [ -d ../shared/corpus/paradox ]; then
  python3 fuzz/pack_seeds.py ../shared/corpus/paradox "$seeds"
else
  echo "../shared/corpus absent: starting from the stored findings only"
  mkdir -p "$seeds"
fi
cp tests/data/fuzz/* "$seeds"/ 2>/dev/null || true
mkdir -p build-fuzz/corpus build-fuzz/findings
build-fuzz/fuzz/table_family_fuzzer build-fuzz/corpus "$seeds" \
  -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
  -artifact_prefix=build-fuzz/findings/ -print_final_stats=1
