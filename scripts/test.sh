#!/usr/bin/env bash
# Installs what Lumivane needs, then builds and runs everything that checks it:
#   1. benchmarks, built optimised and run once in a quick mode so they cannot rot;
#   2. fuzz targets, built with clang, each for a short fixed budget over its corpus;
#   3. every test, built with AddressSanitizer and UndefinedBehaviorSanitizer.
# The CTest summary is the last thing printed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${LUMIVANE_FUZZ_SECONDS:-20}

echo "== generated tables are current"
python3 scripts/gen_ptp_vocab.py --check

echo "== benchmarks (quick mode)"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMIVANE_TESTS=OFF -DLUMIVANE_BENCHMARKS=ON
cmake --build build-bench -j "$jobs"
for bench in build-bench/bench/bench_*; do
  [ -x "$bench" ] || continue
  echo "-- $(basename "$bench")"
  # Under a virtual display, so the OpenGL benchmarks really draw.
  LUMIVANE_BENCH_QUICK=1 LP_NUM_THREADS=2 xvfb-run -a "$bench" --benchmark_min_time=0.01
done

echo "== fuzz targets (${fuzz_seconds}s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLUMIVANE_TESTS=OFF -DLUMIVANE_FUZZ=ON
cmake --build build-fuzz -j "$jobs"
for fuzzer in build-fuzz/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  corpus_seed="fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [ -d "$corpus_seed" ] && cp -r "$corpus_seed"/. "$work"/
  echo "-- $name"
  # A memory limit: a header that claims gigabytes must be refused, not allocated.
  if ! "$fuzzer" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 \
      -print_final_stats=1 "$work" > "$work.log" 2>&1; then
    cat "$work.log"
    exit 1
  fi
  tail -n 12 "$work.log"
  rm -rf "$work" "$work.log"
done

echo "== tests (ThreadSanitizer)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIVANE_TSAN=ON
cmake --build build-tsan -j "$jobs"
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 xvfb-run -a ctest --output-on-failure -j "$jobs")

echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMIVANE_SANITIZE=ON
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd build-asan
xvfb-run -a ctest --output-on-failure -j "$jobs"
