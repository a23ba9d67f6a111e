#!/usr/bin/env bash
# Installs what the tests need on a fresh machine, then runs every test:
#   - the core tests (warnings as errors), which include the C library's
#     exports, its installed package (find_package and pkg-config) and the
#     public header as ISO C99;
#   - the same tests under AddressSanitizer + UndefinedBehaviorSanitizer;
#   - the fuzz targets in fuzz/, a bounded run (scripts/fuzz.sh);
#   - the parser's tests again with its portable, SIMD-free path;
#   - the distribution (scripts/build_dist.sh): the sdist and the one abi3
#     wheel, repaired, audited and checked;
#   - the Python tests against that wheel on every CPython 3.11 or newer
#     found (python3 and the pyenv versions), each in its own venv;
#   - lint (scripts/lint.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

# --- toolchain -------------------------------------------------------------
apt_pkgs=()
command -v g++ >/dev/null 2>&1 || apt_pkgs+=(g++)
command -v nm >/dev/null 2>&1 || apt_pkgs+=(binutils)
command -v pkg-config >/dev/null 2>&1 || apt_pkgs+=(pkg-config)
[ -f /usr/include/gtest/gtest.h ] || apt_pkgs+=(libgtest-dev)
# Spark's local mode, which a Python test runs the cluster example on.
command -v java >/dev/null 2>&1 || apt_pkgs+=(default-jre-headless)
if [ ${#apt_pkgs[@]} -gt 0 ]; then
  echo "== installing ${apt_pkgs[*]} from apt"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${apt_pkgs[@]}"
fi

# CMake 3.26 or newer: pip's wheel where the system's is missing or older.
cmake_ok() {
  command -v cmake >/dev/null 2>&1 || return 1
  local v
  v=$(cmake --version | head -n1 | awk '{print $3}')
  [ "$(printf '%s\n3.26\n' "$v" | sort -V | head -n1)" = "3.26" ]
}
if ! cmake_ok; then
  echo "== installing cmake from pip"
  python3 -m pip install -q 'cmake>=3.26'
  hash -r
fi

# --- core tests ----------------------------------------------------------
echo "== core tests"
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_WERROR=ON \
  -DTARN_BUILD_TESTS=ON -DTARN_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

echo "== core tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTARN_WERROR=ON \
  -DTARN_BUILD_TESTS=ON -DTARN_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

echo "== fuzzing (libFuzzer, ASan + UBSan, a bounded run)"
bash scripts/fuzz.sh

# The parser classifies bytes with SSE2 where the target has it, which every
# x86-64 machine does; its word-at-a-time path would otherwise never run here.
echo "== parser tests without SIMD (TARN_SIMD=OFF)"
parser_tests=(addr_test prefix_test bulk_parse_contains_test)
cmake -S . -B build/nosimd -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_WERROR=ON \
  -DTARN_BUILD_TESTS=ON -DTARN_SIMD=OFF >/dev/null
cmake --build build/nosimd -j "$jobs" --target "${parser_tests[@]}"
ctest --test-dir build/nosimd --output-on-failure -j "$jobs" \
  -R "^($(IFS='|'; echo "${parser_tests[*]}"))\$"

# --- distribution ------------------------------------------------------------
echo "== distribution"
bash scripts/build_dist.sh
wheel=$(ls build/dist/*.whl)

# --- Python tests, once per interpreter ----------------------------------------
# Every CPython 3.11 or newer on the machine: python3 first, then pyenv's.
# One interpreter per minor version.
candidates=(python3 python3.11 python3.12 python3.13)
pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for p in "$pyenv_root"/versions/*/bin/python3; do
  [ -x "$p" ] && candidates+=("$p")
done
declare -A interpreter=()
for p in "${candidates[@]}"; do
  command -v "$p" >/dev/null 2>&1 || continue
  v=$("$p" -c 'import sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 11):
    print("%d.%d" % sys.version_info[:2])' 2>/dev/null) || continue
  [ -n "$v" ] && [ -z "${interpreter[$v]:-}" ] && interpreter[$v]=$p
done
for v in 3.11 3.12 3.13; do
  [ -n "${interpreter[$v]:-}" ] || echo "== Python $v not found: its tests are skipped"
done

# One interpreter's venv, with the wheel and the test requirements, and its
# run of the tests.
python_tests() {
  local v=$1 py=${interpreter[$1]} venv=build/venv-$1
  echo "== python tests on Python $v ($("$py" -c 'import sys; print(sys.executable)'))"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel[test]" 2>&1 |
    grep -v "^WARNING: Location" || true
  "$venv/bin/python" -m pip show -q pytarn >/dev/null
  # PySpark (a large download) on the first interpreter only; the Spark test
  # says why it skips on the others.
  if [ "$v" = "${versions[0]}" ]; then
    "$venv/bin/python" -m pip install -q --disable-pip-version-check pyspark 2>&1 |
      grep -v "^WARNING: Location" || true
  fi
  "$venv/bin/python" -m pytest
}

# The first interpreter alone, then the others side by side, each into a log
# of its own that is printed when it ends: most of a run is one process, and
# two runs at once keep both cores busy.
mapfile -t versions < <(printf '%s\n' "${!interpreter[@]}" | sort -V)
if [ ${#versions[@]} -gt 0 ]; then
  python_tests "${versions[0]}"
  pids=()
  for v in "${versions[@]:1}"; do
    python_tests "$v" >"build/python-tests-$v.log" 2>&1 &
    pids+=($!)
  done
  failed_versions=()
  for i in "${!pids[@]}"; do
    v=${versions[$((i + 1))]}
    status=0
    wait "${pids[$i]}" || status=$?
    cat "build/python-tests-$v.log"
    [ "$status" -eq 0 ] || failed_versions+=("$v")
  done
  if [ ${#failed_versions[@]} -gt 0 ]; then
    echo "== python tests failed on Python ${failed_versions[*]}"
    exit 1
  fi
fi

# --- lint ------------------------------------------------------------------------
echo "== lint"
bash scripts/lint.sh
