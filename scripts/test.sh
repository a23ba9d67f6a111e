#!/usr/bin/env bash
# Installs what the tests need on a fresh machine, then runs every test:
# the core tests (warnings as errors), the same tests again under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the Python tests against
# the module installed by `pip install .`.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

# --- toolchain -------------------------------------------------------------
apt_pkgs=()
command -v g++ >/dev/null 2>&1 || apt_pkgs+=(g++)
command -v nm >/dev/null 2>&1 || apt_pkgs+=(binutils)
[ -f /usr/include/gtest/gtest.h ] || apt_pkgs+=(libgtest-dev)
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

python3 -m pip install -q --disable-pip-version-check pytest hypothesis mypy \
  numpy pyarrow polars pandas

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

# --- Python module -------------------------------------------------------
echo "== python tests"
python3 -m pip install -q --disable-pip-version-check --force-reinstall --no-deps .
python3 -m pytest
