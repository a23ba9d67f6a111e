#!/usr/bin/env bash
# Builds the core benchmarks in Release mode, generates the synthetic routing
# tables (deterministic, see tablegen.py) and runs bench_index on them, then
# bench_addr, bench_bulk and bench_contains where they exist.
#
# Environment: BUILD_DIR (default build/bench-release), JOBS (default 2),
# TABLE_SEED (default 1).  The tables land in $BUILD_DIR/tables and are made
# again only when missing or older than tablegen.py.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build/bench-release}
jobs=${JOBS:-2}
seed=${TABLE_SEED:-1}

targets=(bench_index)
for b in bench_addr bench_bulk bench_contains; do
  [ -f "benchmarks/$b.cpp" ] && targets+=("$b")
done

echo "== building ${targets[*]} (Release) in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARN_BUILD_BENCHMARKS=ON \
  -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

tables="$build/tables"
mkdir -p "$tables"
for v in v4 v6; do
  out="$tables/$v-seed$seed.txt"
  if [ ! -s "$out" ] || [ benchmarks/tablegen.py -nt "$out" ]; then
    echo "== generating the $v table ($out)"
    python3 benchmarks/tablegen.py "$v" "$out" --seed "$seed"
  fi
done

echo "== bench_index"
"$build/bench_index" "$tables/v4-seed$seed.txt" "$tables/v6-seed$seed.txt"

for b in bench_addr bench_bulk bench_contains; do
  if [ -x "$build/$b" ]; then
    echo
    echo "== $b"
    "$build/$b"
  fi
done
