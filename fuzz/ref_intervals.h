// ref_intervals.h - address sets as sorted lists of integer intervals, the
// fuzz targets' reference for the set algebra, ranges and spans.
//
// Invariant of an IntervalSet: intervals ascending, each lo <= hi, and
// neither overlapping nor touching (next.lo > prev.hi + 1), so one set has
// one list and two sets are equal exactly when their lists are.  Every
// operation is plain integer arithmetic on unsigned __int128, sharing no
// code with the core; the only care taken is at the top of the space, where
// hi + 1 would wrap.
#ifndef TARN_FUZZ_REF_INTERVALS_H
#define TARN_FUZZ_REF_INTERVALS_H

#include <string.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "pytarn.h"
#include "support/ref_prefix.h"

namespace ref_intervals {

using ref_prefix::u128;

struct Interval {
  u128 lo, hi;  // inclusive
};
using IntervalSet = std::vector<Interval>;

// Merges overlapping and touching intervals of any order.
inline IntervalSet normalise(std::vector<Interval> v, u128 top) {
  std::sort(v.begin(), v.end(), [](const Interval& a, const Interval& b) { return a.lo < b.lo; });
  IntervalSet out;
  for (const Interval& r : v) {
    if (!out.empty() && (out.back().hi == top || r.lo <= out.back().hi + 1))
      out.back().hi = std::max(out.back().hi, r.hi);
    else
      out.push_back(r);
  }
  return out;
}

// The addresses of canonical prefixes of one family.
inline IntervalSet of_prefixes(const std::vector<tarn_prefix_t>& prefixes, tarn_family_t family) {
  std::vector<Interval> v;
  for (const tarn_prefix_t& p : prefixes) {
    const u128 first = ref_prefix::to_int(p.addr);
    v.push_back({first, ref_prefix::last(family, first, p.pfxlen)});
  }
  return normalise(v, ref_prefix::all_ones(family));
}

// Every address of [0, top] outside `s`.
inline IntervalSet complement(const IntervalSet& s, u128 top) {
  IntervalSet out;
  u128 next = 0;  // the lowest address not yet accounted for
  bool done = false;
  for (const Interval& r : s) {
    if (r.lo > next) out.push_back({next, r.lo - 1});
    if (r.hi == top) {
      done = true;
      break;
    }
    next = r.hi + 1;
  }
  if (!done) out.push_back({next, top});
  return out;
}

inline IntervalSet unite(const IntervalSet& a, const IntervalSet& b, u128 top) {
  std::vector<Interval> v = a;
  v.insert(v.end(), b.begin(), b.end());
  return normalise(v, top);
}

inline IntervalSet intersect(const IntervalSet& a, const IntervalSet& b) {
  IntervalSet out;
  for (const Interval& x : a)
    for (const Interval& y : b) {
      const u128 lo = std::max(x.lo, y.lo), hi = std::min(x.hi, y.hi);
      if (lo <= hi) out.push_back({lo, hi});
    }
  return out;  // pieces of disjoint, non-touching lists stay so, in order
}

inline IntervalSet subtract(const IntervalSet& a, const IntervalSet& b, u128 top) {
  return intersect(a, complement(b, top));
}

// The minimal CIDR cover of [lo, hi]: from the low end, each time the
// largest block aligned at lo that ends at or before hi.
inline void cover_range(u128 lo, u128 hi, tarn_family_t family, std::vector<tarn_prefix_t>* out) {
  const unsigned bits = ref_prefix::bits(family);
  const u128 top = ref_prefix::all_ones(family);
  for (;;) {
    tarn_prefix_t p;
    memset(&p, 0, sizeof p);     // padding too: the core zeroes whole records
    if (lo == 0 && hi == top) {  // the whole space: the one block 2^bits cannot be shifted
      p.addr.family = family;
      out->push_back(p);
      return;
    }
    unsigned k = 0;  // block size 2^k, k < bits here
    while (k + 1 < bits) {
      const u128 size = u128{1} << (k + 1);
      if ((lo & (size - 1)) != 0 || hi - lo < size - 1) break;
      k++;
    }
    ref_prefix::from_int(family, lo, &p.addr);
    p.pfxlen = static_cast<uint8_t>(bits - k);
    out->push_back(p);
    const u128 end = lo + ((u128{1} << k) - 1);
    if (end == hi) return;
    lo = end + 1;
  }
}

inline std::vector<tarn_prefix_t> cover(const IntervalSet& s, tarn_family_t family) {
  std::vector<tarn_prefix_t> out;
  for (const Interval& r : s) cover_range(r.lo, r.hi, family, &out);
  return out;
}

// The number of leading bits on which lo and hi agree: the length of the
// smallest prefix holding both.
inline unsigned common_length(u128 lo, u128 hi, tarn_family_t family) {
  const unsigned bits = ref_prefix::bits(family);
  unsigned len = 0;
  while (len < bits &&
         ref_prefix::contains(family, lo & ref_prefix::mask(family, len + 1), len + 1, hi))
    len++;
  return len;
}

}  // namespace ref_intervals

#endif  // TARN_FUZZ_REF_INTERVALS_H
