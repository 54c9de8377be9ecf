#!/usr/bin/env bash
# Every test: installs what is missing, builds the Linux programs and the Windows loader,
# runs the whole suite with ctest and checks the release packages. Exits non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

win_exe=""
if command -v x86_64-w64-mingw32-g++ >/dev/null; then
  cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DKORVEL_WERROR=ON
  cmake --build build-win -j"$jobs"
  win_exe="$PWD/build-win/Korvel.exe"
fi

cmake -S . -B build -DKORVEL_WIN_EXE="$win_exe" -DKORVEL_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --timeout 600

# The release packages from the two trees, and what they hold.
cmake --build build --target package
if [ -n "$win_exe" ]; then
  cmake --build build-win --target package
fi
scripts/check_packages.sh

# Hardening. The whole Linux suite again with AddressSanitizer and UndefinedBehaviorSanitizer
# (the fault runs then drive sanitized programs too), then each fuzz target for a minute from
# its committed corpus.
cmake -S . -B build-asan -DKORVEL_SANITIZE=ON -DKORVEL_WERROR=ON
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure --timeout 600
tests/fuzz/run_fuzzers.sh
