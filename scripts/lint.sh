#!/usr/bin/env bash
# Lint: formatting and static analysis.  scripts/test.sh runs it after the
# tests; it also runs on its own (bash scripts/lint.sh).
#   clang-format  --dry-run --Werror over the C and C++ sources (.clang-format)
#   clang-tidy    .clang-tidy over the core in src/, which must be clean, and
#                 over the C binding, whose findings are counted and printed
#                 but do not fail the run yet
#   ruff          check and format --check over the command line, the
#                 benchmark scripts and the tests of both ([tool.ruff])
#   mypy --strict the command line and the benchmark scripts, against the
#                 stubs of this tree ([tool.mypy])
# Every check runs; the script fails at the end if any of them failed.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
failed=()

# --- tools -------------------------------------------------------------------
apt_pkgs=()
command -v clang-format >/dev/null 2>&1 || apt_pkgs+=(clang-format)
command -v clang-tidy >/dev/null 2>&1 || apt_pkgs+=(clang-tidy)
if [ ${#apt_pkgs[@]} -gt 0 ]; then
  echo "== installing ${apt_pkgs[*]} from apt"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${apt_pkgs[@]}"
fi

# ruff and mypy at the versions these sources were checked with (a newer
# ruff may add rules), in a venv of their own; numpy for its types, which
# the benchmarks use.
venv=build/lint-venv
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check ruff==0.17.6 mypy==2.4.1 numpy \
  2>&1 | grep -v "^WARNING: Location" || true

# --- clang-format ------------------------------------------------------------
echo "== clang-format"
format_files=(src/*.cpp src/*.h include/*.h tests/core/*.cpp tests/core/*.c
  tests/core/support/*.cpp tests/core/support/*.h python/_pytarn_ext/*.c python/_pytarn_ext/*.h
  benchmarks/*.cpp benchmarks/*.h examples/c/*.c)
unformatted=()
for f in "${format_files[@]}"; do
  [ -f "$f" ] || continue
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted+=("$f")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "not formatted (clang-format -i FILE...): ${unformatted[*]}"
  failed+=(clang-format)
else
  echo "all ${#format_files[@]} files formatted"
fi

# --- clang-tidy --------------------------------------------------------------
# A configure-only build tree with the module on gives every source its real
# compile command (and the generated version header).
echo "== clang-tidy"
cmake -S . -B build/lint -DTARN_BUILD_PYTHON=ON -DTARN_BUILD_TESTS=OFF \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >build/lint-configure.log 2>&1 || {
  cat build/lint-configure.log
  exit 1
}
# The sources the build compiles, so a file not yet in the build is not
# judged by a compile command it does not have.
compiled() {
  python3 - "$1" <<'PY'
import json, os, sys
prefix = os.path.abspath(sys.argv[1]) + os.sep
for entry in json.load(open("build/lint/compile_commands.json")):
    path = os.path.join(entry["directory"], entry["file"])
    if os.path.abspath(path).startswith(prefix):
        print(os.path.relpath(path))
PY
}
tidy() {
  # One file per process, two at a time; findings on stdout, progress noise dropped.
  printf '%s\n' "$@" | xargs -P "$jobs" -n 1 clang-tidy -p build/lint --quiet 2>/dev/null
}
mapfile -t core_sources < <(compiled src | sort)
tidy "${core_sources[@]}" >build/lint-tidy-core.txt || true
core_findings=$(grep -c ': \(warning\|error\): ' build/lint-tidy-core.txt || true)
if [ "$core_findings" -gt 0 ]; then
  grep -A3 ': \(warning\|error\): ' build/lint-tidy-core.txt
  echo "clang-tidy: $core_findings findings in src/"
  failed+=(clang-tidy)
else
  echo "clang-tidy: src/ clean (${#core_sources[@]} files)"
fi
mapfile -t ext_sources < <(compiled python/_pytarn_ext | sort)
tidy "${ext_sources[@]}" >build/lint-tidy-binding.txt || true
echo "clang-tidy: $(grep -c ': \(warning\|error\): ' build/lint-tidy-binding.txt || true)" \
  "findings in python/_pytarn_ext/ (reported only; details in build/lint-tidy-binding.txt):"
grep -o '\[[A-Za-z0-9.,-]*\]$' build/lint-tidy-binding.txt | sort | uniq -c | sort -rn || true

# --- ruff --------------------------------------------------------------------
py_files=(python/pytarn_cli benchmarks/*.py tests/python/test_cli.py tests/python/test_dist.py)
echo "== ruff"
"$venv/bin/ruff" check "${py_files[@]}" || failed+=(ruff-check)
"$venv/bin/ruff" format --check "${py_files[@]}" || failed+=(ruff-format)

# --- mypy --------------------------------------------------------------------
# The stub package is named pytarn-stubs; laid out as the module it
# describes, it is what `import pytarn` resolves to.
echo "== mypy --strict"
mkdir -p build/lint-stubs
ln -sfn ../../python/pytarn-stubs build/lint-stubs/pytarn
MYPYPATH=build/lint-stubs "$venv/bin/mypy" --strict python/pytarn_cli benchmarks/*.py ||
  failed+=(mypy)

if [ ${#failed[@]} -gt 0 ]; then
  echo "lint: FAILED: ${failed[*]}"
  exit 1
fi
echo "lint: ok"
