#!/bin/sh
# exports_test.sh LIBRARY HEADER [SYMBOL...]
#
# The dynamic symbol table of LIBRARY (a shared library or the Python module)
# defines exactly the functions HEADER declares with TARN_EXPORT, plus
# radix_sort_prefixes and the extra SYMBOLs given (PyInit_pytarn for the
# module).  Anything more is a helper that leaked out of the hidden
# visibility; anything less, a declared function the build dropped.
set -eu
lib=$1
header=$2
shift 2

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Declarations keep "TARN_EXPORT <type> <name>(" on one line.
grep '^TARN_EXPORT' "$header" |
  sed -E 's/^.*[^A-Za-z0-9_](tarn_[A-Za-z0-9_]+) *\(.*$/\1/' >"$tmp/declared"
if [ "$(wc -l <"$tmp/declared")" -lt 20 ]; then
  echo "exports_test: found only $(wc -l <"$tmp/declared") declarations in $header" >&2
  exit 1
fi
{
  cat "$tmp/declared"
  echo radix_sort_prefixes
  for s in "$@"; do echo "$s"; done
} | sort -u >"$tmp/want"

nm -D --defined-only "$lib" | awk 'NF { sub(/@.*/, "", $NF); print $NF }' | sort -u >"$tmp/got"

if ! cmp -s "$tmp/want" "$tmp/got"; then
  echo "exports_test: $lib exports differ from $header (- declared only, + exported only):" >&2
  diff "$tmp/want" "$tmp/got" | grep '^[<>]' | sed 's/^</-/; s/^>/+/' >&2
  exit 1
fi
echo "exports_test: $(wc -l <"$tmp/got") symbols, all declared: $lib"
