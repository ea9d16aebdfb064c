#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each for FUZZ_SECONDS (30 by
# default), first over its corpus and kept regressions. A crash fails the run
# and its input is kept in tests/fuzz/regressions/NAME/ to be committed.
# Arguments are further CMake options for the fuzz build.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${FUZZ_SECONDS:-30}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMARIO_FUZZ=ON -DVELMARIO_SANITIZE=ON "$@" >/dev/null
cmake --build build-fuzz -j"$(nproc)"
status=0
for name in reply answer csv framing copyrow replytable; do
  corpus=tests/fuzz/corpus/$name
  regressions=tests/fuzz/regressions/$name
  work=build-fuzz/corpus-$name
  mkdir -p "$regressions" "$work"
  echo "fuzzing $name for ${seconds}s"
  if ! build-fuzz/tests/fuzz/fuzz_$name -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$regressions/" "$work" "$corpus" "$regressions" \
        2>"build-fuzz/fuzz-$name.log"; then
    echo "fuzz_$name found a failure; input kept in $regressions/"
    tail -n 40 "build-fuzz/fuzz-$name.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units' "build-fuzz/fuzz-$name.log" || true
  fi
done
exit $status
