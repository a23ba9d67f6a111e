#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets in fuzz/ with clang (AddressSanitizer
# and UndefinedBehaviorSanitizer on, the core instrumented for coverage),
# writes their seed corpora into the build tree from the core tests' tables,
# and runs every target for a bounded time.
#
#   bash scripts/fuzz.sh                 # about 60 s in all, as the test command runs it
#   bash scripts/fuzz.sh --time 30       # 30 s per target
#   bash scripts/fuzz.sh --long          # 10 minutes per target (about 50 minutes)
#
# Any finding fails the script: a crash, a sanitizer report, a leak, a
# failed cross-check against the references (an abort naming the core call),
# an input slower than 10 s, or a run above 2 GB.  The input that found it
# is kept as build/fuzz/findings/<target>-crash-* (or -leak-, -timeout-,
# -oom-); replay it with build/fuzz/fuzz/<target> FILE.
#
# build/fuzz/seeds/<target> is written anew on every run; the corpora in
# build/fuzz/corpus/<target> keep what earlier runs found and grow.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(addr_parse_fuzz prefix_fuzz bulk_fuzz index_fuzz index_load_fuzz)
per_target=12 # 60 s over the five targets
while [ $# -gt 0 ]; do
  case "$1" in
    --time)
      per_target=${2:?--time needs a number of seconds}
      shift 2
      ;;
    --long)
      per_target=600
      shift
      ;;
    *)
      echo "usage: $0 [--time SECONDS | --long]" >&2
      exit 2
      ;;
  esac
done

# --- toolchain -----------------------------------------------------------------
apt_install() {
  echo "== installing $* from apt"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "$@"
}
command -v clang++ >/dev/null 2>&1 || apt_install clang
# libFuzzer's runtime comes in a package of its own that clang only
# recommends; a link of an empty target shows whether it is there.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  >"$probe/t.cpp"
if ! clang++ -fsanitize=fuzzer "$probe/t.cpp" -o "$probe/t" 2>/dev/null; then
  major=$(clang++ -dumpversion | cut -d. -f1)
  apt_install "libclang-rt-$major-dev"
fi

# --- build -----------------------------------------------------------------------
# Warnings are not errors here: clang warns on core sources that gcc, which
# the other builds use, accepts.
echo "== building the fuzz targets (clang, build/fuzz)"
cmake -S . -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_BUILD_FUZZ=ON -DTARN_BUILD_TESTS=OFF \
  -DTARN_BUILD_LIBRARY=OFF -DTARN_BUILD_PYTHON=OFF -DTARN_WERROR=OFF >/dev/null
cmake --build build/fuzz -j 2 --target "${targets[@]}" index_blob_corpus seed_corpus >/dev/null

# --- seed corpora ------------------------------------------------------------------
# Which test sources hold the tables each target starts from.
declare -A tables=(
  [addr_parse_fuzz]="addr_test.cpp bulk_parse_contains_test.cpp classify_test.cpp"
  [prefix_fuzz]="prefix_test.cpp subnet_iter_test.cpp set_test.cpp aggregate_test.cpp"
  [bulk_fuzz]="aggregate_test.cpp set_test.cpp bulk_sort_test.cpp bulk_parse_contains_test.cpp"
  [index_fuzz]="index_test.cpp index_query_test.cpp lookup_structure_test.cpp"
)
# The largest input of each: the header and the records a target reads
# (fuzz_records.h), or the text an address can be.
declare -A max_len=([addr_parse_fuzz]=96 [prefix_fuzz]=600 [bulk_fuzz]=1200
  [index_fuzz]=1200 [index_load_fuzz]=0)

out=build/fuzz
rm -rf "$out/seeds" "$out/findings"
mkdir -p "$out/findings"
for t in "${targets[@]}"; do mkdir -p "$out/seeds/$t" "$out/corpus/$t"; done
"$out/fuzz/index_blob_corpus" "$out/seeds/index_load_fuzz" >/dev/null
for t in "${!tables[@]}"; do
  srcs=()
  for f in ${tables[$t]}; do srcs+=("tests/core/$f"); done
  "$out/fuzz/seed_corpus" "${t%_fuzz}" "$out/seeds/$t" "${srcs[@]}" >/dev/null
done

# --- runs --------------------------------------------------------------------------
echo "== fuzzing ${#targets[@]} targets, $per_target s each"
failed=()
for t in "${targets[@]}"; do
  log="$out/fuzz-$t.log"
  flags=(-max_total_time="$per_target" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
    -artifact_prefix="$out/findings/$t-")
  [ "${max_len[$t]}" -gt 0 ] && flags+=(-max_len="${max_len[$t]}")
  start=$SECONDS
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$out/fuzz/$t" "${flags[@]}" "$out/corpus/$t" "$out/seeds/$t" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed+=("$t")
  fi
  runs=$(awk '/stat::number_of_executed_units/ {n = $2} END {print n}' "$log")
  corpus=$(find "$out/corpus/$t" -type f | wc -l)
  seeds=$(find "$out/seeds/$t" -type f | wc -l)
  findings=$(find "$out/findings" -name "$t-*" -type f | wc -l)
  printf '%-16s %-6s %10s inputs in %4d s  corpus %5d (+%d seeds)  findings %d\n' \
    "$t" "$status" "${runs:-0}" $((SECONDS - start)) "$corpus" "$seeds" "$findings"
  if [ "$status" != ok ]; then
    grep -E 'fuzz check failed|ERROR:|SUMMARY:|runtime error|Test unit written' "$log" | head -10
    echo "   (full log: $log)"
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}; inputs in $out/findings"
  exit 1
fi
echo "fuzz: no findings"
