#!/usr/bin/env bash
# Installs what Lumivane needs, then builds and runs everything that checks it.
# Two builds cover it all, so the script stays quick on a two-core machine:
#   1. clang with AddressSanitizer and UndefinedBehaviorSanitizer: the tests,
#      the benchmarks (run once in a quick mode so they cannot rot, without
#      judging times) and the fuzz targets (each for a short fixed budget);
#   2. ThreadSanitizer: the tests again.
# The CTest summary of the first build's tests is the last thing printed.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each stage prints how long it took, so a growing stage shows before CI's limit.
stage_started=$SECONDS
stage_name=""
stage() {
  if [ -n "$stage_name" ]; then
    echo "== ${stage_name}: $((SECONDS - stage_started)) s"
  fi
  stage_name="$1"
  stage_started=$SECONDS
  [ -n "$stage_name" ] && echo "== $stage_name"
  return 0
}

stage "install dependencies"
bash scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${LUMIVANE_FUZZ_SECONDS:-20}
fuzz_seed=${LUMIVANE_FUZZ_SEED:-1}

stage "generated tables are current"
python3 scripts/gen_ptp_vocab.py --check

stage "build: clang, AddressSanitizer + UndefinedBehaviorSanitizer (tests, benchmarks, fuzz targets)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLUMIVANE_SANITIZE=ON -DLUMIVANE_FUZZ=ON -DLUMIVANE_TESTS=ON -DLUMIVANE_BENCHMARKS=ON
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

stage "benchmarks (quick mode)"
for bench in build-asan/bench/bench_*; do
  [ -x "$bench" ] || continue
  echo "-- $(basename "$bench")"
  # Under a virtual display, so the OpenGL benchmarks really draw. Leaks are
  # the tests' business (Qt and the drivers keep a few blocks until exit).
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 LUMIVANE_BENCH_QUICK=1 LP_NUM_THREADS=2 \
    xvfb-run -a "$bench" --benchmark_min_time=0.01
done

stage "fuzz targets (${fuzz_seconds}s each, ${jobs} at a time)"
fuzz_logs=$(mktemp -d)
run_fuzzer() {
  local fuzzer=$1 name work
  name=$(basename "$fuzzer")
  work="$fuzz_logs/$name.corpus"
  mkdir -p "$work"
  local corpus_seed="fuzz/corpus/${name#fuzz_}"
  [ -d "$corpus_seed" ] && cp -r "$corpus_seed"/. "$work"/
  # A fuzz target may not take more than 2 GiB or one allocation of 1 GiB.
  # The seed is fixed so that a run here is repeatable: a slower machine only
  # stops earlier on the same sequence of inputs. LUMIVANE_FUZZ_SEED=0 lets
  # libFuzzer choose, for longer searches by hand.
  mkdir -p "$fuzz_logs/$name.artifacts"
  if "$fuzzer" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 \
       -seed="$fuzz_seed" -artifact_prefix="$fuzz_logs/$name.artifacts/" \
       -print_final_stats=1 "$work" > "$fuzz_logs/$name.log" 2>&1; then
    echo ok > "$fuzz_logs/$name.result"
  else
    echo failed > "$fuzz_logs/$name.result"
  fi
}
running=0
for fuzzer in build-asan/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  run_fuzzer "$fuzzer" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait
fuzz_failed=0
for result in "$fuzz_logs"/*.result; do
  name=$(basename "$result" .result)
  echo "-- $name: $(cat "$result")"
  if [ "$(cat "$result")" = ok ]; then
    tail -n 12 "$fuzz_logs/$name.log"
  else
    cat "$fuzz_logs/$name.log"
    # The input that failed, so that it can be replayed from this log alone.
    for artifact in "$fuzz_logs/$name.artifacts"/*; do
      [ -f "$artifact" ] || continue
      echo "-- $(basename "$artifact") (base64):"
      base64 -w 0 "$artifact" | head -c 65536
      echo
    done
    fuzz_failed=1
  fi
done
rm -rf "$fuzz_logs"
[ "$fuzz_failed" -eq 0 ] || exit 1

stage "tests (ThreadSanitizer): build"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIVANE_TSAN=ON
cmake --build build-tsan -j "$jobs"
stage "tests (ThreadSanitizer): run"
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 xvfb-run -a ctest --output-on-failure -j "$jobs")

# The last stage's time is CTest's own "Total Test time", so its summary stays the last line.
stage "tests (AddressSanitizer + UndefinedBehaviorSanitizer): run"
cd build-asan
xvfb-run -a ctest --output-on-failure -j "$jobs"
