#!/bin/sh
# install_test.sh BUILD_DIR SOURCE_DIR CMAKE CC
#
# Installs the C library from BUILD_DIR into a fresh prefix, then builds
# examples/c/lookup.c against the installed files three ways (find_package
# with the shared library, find_package with the static one, pkg-config with
# the compiler alone) and checks that every build answers a table with
# nesting, host routes, the top of the space and IPv4-mapped space the way
# longest-prefix match must, and refuses a bad line with status 2.
set -eu
build=$1
src=$2
cmake=$3
cc=$4

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() {
  echo "install_test: $*" >&2
  exit 1
}

"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" || {
  cat "$tmp/install.log" >&2
  fail "cmake --install failed"
}
for f in include/pytarn.h include/pytarn_version.h; do
  [ -f "$prefix/$f" ] || fail "not installed: $f"
done
pc=$(find "$prefix" -name pytarn.pc)
config=$(find "$prefix" -name pytarnConfig.cmake)
[ -n "$pc" ] && [ -n "$config" ] || fail "no pytarn.pc or pytarnConfig.cmake under $prefix"
libdir=$(dirname "$(dirname "$pc")")
for f in libpytarn.so libpytarn.a; do
  [ -e "$libdir/$f" ] || fail "not installed: $libdir/$f"
done

cat >"$tmp/table.txt" <<'TABLE'
# prefix            label
0.0.0.0/0           default
10.0.0.0/8          corp
10.1.0.0/16         lab
10.1.2.3            host route
255.255.255.255/32  top
2001:db8::/32       doc
2001:db8:0:1::/64
::ffff:0:0/96       mapped
TABLE
cat >"$tmp/addresses.txt" <<'ADDRS'
10.1.2.3
10.1.2.4
10.200.0.1   # only the /8 holds it

8.8.8.8
255.255.255.255
2001:DB8:0:1::5
2001:db8:ffff::1
::ffff:192.0.2.1
::1
ADDRS
cat >"$tmp/want.txt" <<'WANT'
10.1.2.3 10.1.2.3/32 host route
10.1.2.4 10.1.0.0/16 lab
10.200.0.1 10.0.0.0/8 corp
8.8.8.8 0.0.0.0/0 default
255.255.255.255 255.255.255.255/32 top
2001:DB8:0:1::5 2001:db8:0:1::/64
2001:db8:ffff::1 2001:db8::/32 doc
::ffff:192.0.2.1 ::ffff:0.0.0.0/96 mapped
::1 -
WANT

# check NAME PROGRAM: the answers above, and a bad line refused.
check() {
  "$2" "$tmp/table.txt" "$tmp/addresses.txt" >"$tmp/got.txt" || fail "$1: exit status $?"
  if ! cmp -s "$tmp/want.txt" "$tmp/got.txt"; then
    diff "$tmp/want.txt" "$tmp/got.txt" >&2 || true
    fail "$1: wrong answers"
  fi
  status=0
  printf '10.0.0.1\n10.0.0.256\n' | "$2" "$tmp/table.txt" >/dev/null 2>"$tmp/err.txt" || status=$?
  [ "$status" -eq 2 ] || fail "$1: a bad address gave status $status, not 2"
  grep -q "^lookup: -:2: " "$tmp/err.txt" || fail "$1: diagnostic without its line: $(cat "$tmp/err.txt")"
  echo "install_test: $1: ok"
}

for kind in shared static; do
  static=OFF
  [ "$kind" = static ] && static=ON
  "$cmake" -S "$src/examples/c" -B "$tmp/$kind" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DPYTARN_STATIC=$static >"$tmp/$kind.log" 2>&1 &&
    "$cmake" --build "$tmp/$kind" >>"$tmp/$kind.log" 2>&1 || {
    cat "$tmp/$kind.log" >&2
    fail "find_package build ($kind) failed"
  }
  check "find_package, $kind" "$tmp/$kind/lookup"
done
if readelf -d "$tmp/static/lookup" | grep -q 'NEEDED.*libpytarn'; then
  fail "the static build still needs libpytarn.so"
fi

export PKG_CONFIG_PATH="$libdir/pkgconfig"
want_version=$(sed -n 's/^#define TARN_VERSION_STRING "\(.*\)"$/\1/p' "$prefix/include/pytarn_version.h")
[ "$(pkg-config --modversion pytarn)" = "$want_version" ] ||
  fail "pkg-config reports $(pkg-config --modversion pytarn), the header $want_version"
# shellcheck disable=SC2046 # the flags are words on purpose
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror -o "$tmp/lookup-pc" "$src/examples/c/lookup.c" \
  $(pkg-config --cflags --libs pytarn) || fail "pkg-config build failed"
export LD_LIBRARY_PATH="$libdir"
check "pkg-config, shared" "$tmp/lookup-pc"
