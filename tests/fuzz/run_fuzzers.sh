#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for a bounded time
# (FUZZ_SECONDS, 60 by default) from its committed corpus, into a scratch corpus that is
# thrown away. Exits non-zero on any finding: a crash, a broken invariant, a sanitizer report,
# an input that runs too long, a leak. The input that did it is left in build-fuzz/findings/;
# copy it into tests/fuzz/corpus/<target>/ once the fault is mended, so ctest replays it.
# Where clang or its fuzzer runtime is missing the step is skipped, saying so (under CI,
# with CI=true, that is a failure instead).
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${FUZZ_SECONDS:-60}
jobs=$(nproc 2>/dev/null || echo 2)
targets=(container reply dialogue)

probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! command -v clang++ >/dev/null ||
  ! echo "$probe" | clang++ -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null; then
  if [ "${CI:-}" = "true" ]; then
    echo "fuzz: clang++ with libFuzzer is not installed, and under CI that is a failure"
    exit 1
  fi
  echo "fuzz: clang++ with libFuzzer is not installed; the fuzz targets are SKIPPED"
  exit 0
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKORVEL_FUZZ=ON -DKORVEL_TESTS=OFF -DKORVEL_WERROR=ON
cmake --build build-fuzz -j"$jobs" --target "${targets[@]/#/fuzz_}"

mkdir -p build-fuzz/findings
status=0
for t in "${targets[@]}"; do
  scratch=build-fuzz/corpus/$t
  log=build-fuzz/fuzz_$t.log
  rm -rf "$scratch"
  mkdir -p "$scratch"
  echo "fuzz: fuzz_$t for ${seconds} s"
  if ! build-fuzz/fuzz_"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/findings/"$t"- \
    "$scratch" tests/fuzz/corpus/"$t" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz: fuzz_$t FOUND A PROBLEM: see $log and build-fuzz/findings/"
    status=1
  fi
  rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log")
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 || true)
  echo "fuzz: fuzz_$t: ${rate:-?} executions a second, ${cov:-cov: ?} edges"
done
exit $status
