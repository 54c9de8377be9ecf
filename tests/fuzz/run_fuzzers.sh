#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for FUZZ_SECONDS (60 by
# default) from its committed corpus. A finding fails and leaves its input in
# build-fuzz/findings/: once mended, copy it into tests/fuzz/corpus/<target>/ for ctest.
set -euo pipefail
cd "$(dirname "$0")/../.."
probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! echo "$probe" | clang++ -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null; then
  echo "fuzz: clang++ with libFuzzer is not installed; the fuzz targets are SKIPPED"
  [ "${CI:-}" != "true" ]
  exit
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKORVEL_FUZZ=ON -DKORVEL_TESTS=OFF -DKORVEL_WERROR=ON
cmake --build build-fuzz -j"$(nproc)" --target fuzz_container fuzz_dialogue
for t in container dialogue; do
  rm -rf "build-fuzz/corpus/$t" && mkdir -p "build-fuzz/corpus/$t" build-fuzz/findings
  echo "fuzz: fuzz_$t for ${FUZZ_SECONDS:-60} s"
  if ! build-fuzz/fuzz_"$t" -max_total_time="${FUZZ_SECONDS:-60}" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build-fuzz/findings/"$t"- "build-fuzz/corpus/$t" "tests/fuzz/corpus/$t" \
    >"build-fuzz/fuzz_$t.log" 2>&1; then
    tail -n 40 "build-fuzz/fuzz_$t.log"
    exit 1
  fi
done
