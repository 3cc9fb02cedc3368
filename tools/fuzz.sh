#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time, starting
# from the seed corpus kept in tests/fuzz/corpus. Fails on any crash, leak or
# sanitizer report. Usage: tools/fuzz.sh [seconds per target, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
segundos=${1:-20}
build=build-fuzz

CXX=clang++ cmake -S . -B "$build" -DZANDOR_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The targets are whatever CMake found in tests/fuzz (fuzz_NAME.cpp), one a line.
mapfile -t alvos < "$build/tests/fuzz/alvos.txt"
[ ${#alvos[@]} -gt 0 ] || { echo "no fuzz targets in $build/tests/fuzz/alvos.txt"; exit 1; }
cmake --build "$build" -j2 --target "${alvos[@]}" >/dev/null

trabalho=$(mktemp -d)
trap 'rm -rf "$trabalho"' EXIT
falhas=0
for executavel in "${alvos[@]}"; do
  alvo=${executavel#fuzz_}
  mkdir -p "$trabalho/$alvo"
  # New inputs go to the scratch folder; the seeds in the repo stay as they are.
  if "$build/tests/fuzz/fuzz_$alvo" -max_total_time="$segundos" -print_final_stats=1 \
      -artifact_prefix="$trabalho/$alvo-" "$trabalho/$alvo" "tests/fuzz/corpus/$alvo" >"$trabalho/$alvo.txt" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$trabalho/$alvo.txt")
    cov=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$trabalho/$alvo.txt" | sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+).*/cov \1, features \2/')
    echo "fuzz_$alvo: ok, $execs runs, $cov"
  else
    echo "fuzz_$alvo: FAILED"
    grep -E 'ERROR|SUMMARY|^    #[0-9]' "$trabalho/$alvo.txt" | head -30
    ls "$trabalho"/$alvo-* 2>/dev/null | while read -r f; do echo "input: $(xxd -p "$f" | tr -d '\n' | head -c 400)"; done
    falhas=$((falhas + 1))
  fi
done
[ "$falhas" -eq 0 ]
