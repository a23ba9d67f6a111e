#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets in fuzz/ with clang (AddressSanitizer
# and UndefinedBehaviorSanitizer on), seeds the index loader's corpus with
# real blobs, and runs every target for a bounded time.  Any finding (crash,
# sanitizer report, leak, failed cross-check, timeout) fails the script and
# leaves the input as build/fuzz/crash-* (or leak-*, timeout-*).
#
#   bash scripts/fuzz.sh               # about 12 s per target, as CI runs it
#   bash scripts/fuzz.sh --time 600    # the long run: 10 minutes per target
#
# Corpora grow in build/fuzz/corpus/<target> from run to run.
set -euo pipefail
cd "$(dirname "$0")/.."

per_target=12
if [ "${1:-}" = "--time" ]; then per_target=$2; fi

if ! command -v clang++ >/dev/null 2>&1; then
  echo "== installing clang from apt"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq clang
fi

targets=(addr_parse_fuzz prefix_fuzz bulk_fuzz index_fuzz index_load_fuzz)
cmake -S . -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_BUILD_FUZZ=ON -DTARN_BUILD_TESTS=OFF \
  -DTARN_BUILD_LIBRARY=OFF -DTARN_WERROR=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}" index_blob_corpus

cd build/fuzz
mkdir -p corpus
for t in "${targets[@]}"; do mkdir -p "corpus/$t"; done
./fuzz/index_blob_corpus corpus/index_load_fuzz >/dev/null

failed=()
for t in "${targets[@]}"; do
  log="fuzz-$t.log"
  if ./fuzz/"$t" -max_total_time="$per_target" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "corpus/$t" >"$log" 2>&1; then
    status=ok
  else
    status=FOUND
    failed+=("$t")
  fi
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  size=$(find "corpus/$t" -type f | wc -l)
  echo "fuzz $t: $status, ${runs:-0} inputs in ${per_target} s, corpus $size"
  [ "$status" = ok ] || grep -v '^#\|^INFO\|NEW \|REDUCE \|pulse ' "$log" | head -20
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]} (inputs in build/fuzz)"
  exit 1
fi
