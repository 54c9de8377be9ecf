#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for FUZZ_SECONDS (60 by
# default) from its committed corpus. Exits non-zero on any finding (crash, broken invariant,
# sanitizer report, slow input, leak), leaving the input in build-fuzz/findings/: copy it into
# tests/fuzz/corpus/<target>/ once the fault is mended, so ctest replays it. Without clang's
# libFuzzer the step is skipped, saying so; under CI (CI=true) that is a failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
targets=(container reply dialogue)
probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! echo "$probe" | clang++ -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null; then
  echo "fuzz: clang++ with libFuzzer is not installed; the fuzz targets are SKIPPED"
  [ "${CI:-}" != "true" ]
  exit
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKORVEL_FUZZ=ON -DKORVEL_TESTS=OFF -DKORVEL_WERROR=ON
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
mkdir -p build-fuzz/findings
status=0
for t in "${targets[@]}"; do
  rm -rf "build-fuzz/corpus/$t" && mkdir -p "build-fuzz/corpus/$t"
  log=build-fuzz/fuzz_$t.log
  echo "fuzz: fuzz_$t for ${FUZZ_SECONDS:-60} s"
  if ! build-fuzz/fuzz_"$t" -max_total_time="${FUZZ_SECONDS:-60}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/findings/"$t"- \
    build-fuzz/corpus/"$t" tests/fuzz/corpus/"$t" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: fuzz_$t FOUND A PROBLEM: see $log and build-fuzz/findings/"
    status=1
  fi
  echo "fuzz: fuzz_$t: $(awk '/stat::average_exec_per_sec/ {print $2}' "$log") runs a second"
done
exit $status
