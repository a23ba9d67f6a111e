// tarn_set.cpp - set and range algebra over prefix arrays: union,
// intersection, difference and symmetric difference, an address range as
// its minimal CIDR cover, and the smallest prefix spanning an array.
//
// Every set operation runs in three steps:
//   1. Sort each input in place in network order (the radix sort), so that
//      a prefix comes before the prefixes inside it.
//   2. Read each sorted array as a stream of maximal runs: address intervals
//      [lo, hi] that neither overlap nor touch (a prefix that starts at or
//      before the run's hi + 1 extends the run), in ascending order.
//   3. Sweep both streams at once.  Between two consecutive run boundaries
//      membership in A and in B is constant, so the sweep visits one segment
//      per boundary and keeps the segments the operation wants; touching
//      kept segments join.  Each kept interval is cut into its minimal CIDR
//      cover (greedy: from its low end, the largest aligned block that fits).
// The minimal prefix cover of an address set is unique: the greedy covers
// of its maximal intervals.  So the output is the minimal cover, in network
// order, whatever duplicates or nesting the inputs held.  Steps 2 and 3 are
// linear in the input and output sizes.
//
// Keys (tarn_key.h) never go past the top of the space: every "+ 1" below is
// taken only after checking that the value is not the top, and every "- 1"
// only on a value known to be above another.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <bit>
#include <initializer_list>

#include "pytarn.h"
#include "tarn_internal.h"

namespace {

// Family checks of one prefix array (count > 0): the first record must be
// IPv4 or IPv6, a later one of family 0 is invalid and one of another family
// a mismatch; the first offender decides.
tarn_err_t set_check_families(const tarn_prefix_t *p, size_t count) {
  const tarn_family_t family = p[0].addr.family;
  if (family != TARN_AF_INET && family != TARN_AF_INET6) return TARN_ERR_INVAL;
  for (size_t i = 1; i < count; i++) {
    if (p[i].addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
    if (p[i].addr.family != family) return TARN_ERR_FAMILY;
  }
  return TARN_OK;
}

// A maximal run of a sorted prefix array.
//   next   position of the first record not yet read into a run
//   valid  false once the array is used up; lo and hi are then stale
//   lo, hi the run's first and last address, lo <= hi
struct RunCursor {
  const tarn_prefix_t *p;
  size_t n;
  size_t next;
  unsigned bits;
  tarn_family_t family;
  bool valid;
  key128 lo, hi;
};

void run_advance(RunCursor *c) {
  if (c->next == c->n) {
    c->valid = false;
    return;
  }
  const key128 top = key128_top(c->bits);
  const tarn_prefix_t *p = &c->p[c->next++];
  c->lo = key128_load(&p->addr);
  c->hi = key128_last(c->lo, c->bits, p->pfxlen);
  c->valid = true;
  while (c->next < c->n) {
    // hi is the top: everything left lies inside the run.
    if (key128_eq(c->hi, top)) {
      c->next = c->n;
      return;
    }
    key128 after = c->hi;
    key128_inc(&after, c->bits);  // hi is below the top: no wrap
    const tarn_prefix_t *q = &c->p[c->next];
    const key128 q_lo = key128_load(&q->addr);
    if (key128_lt(after, q_lo)) return;  // a gap: the run ends
    const key128 q_hi = key128_last(q_lo, c->bits, q->pfxlen);
    if (key128_lt(c->hi, q_hi)) c->hi = q_hi;
    c->next++;
  }
}

RunCursor run_start(const tarn_prefix_t *p, size_t n, tarn_family_t family) {
  RunCursor c{p, n, 0, tarn_addr_bits(family), family, false, {0, 0}, {0, 0}};
  run_advance(&c);
  return c;
}

// Which segments an operation keeps.
enum class SetOp { kUnion, kIntersection, kDifference, kSymmetric };

bool set_op_keeps(SetOp op, bool in_a, bool in_b) {
  switch (op) {
    case SetOp::kUnion:
      return in_a || in_b;
    case SetOp::kIntersection:
      return in_a && in_b;
    case SetOp::kDifference:
      return in_a && !in_b;
    case SetOp::kSymmetric:
      return in_a != in_b;
  }
  return false;
}

// Writes the prefixes of a CIDR cover, or only counts them (out null).
struct PrefixSink {
  tarn_prefix_t *out;
  size_t count;
  tarn_family_t family;
};

void sink_put(PrefixSink *s, key128 net, unsigned pfxlen) {
  if (s->out != nullptr) {
    tarn_prefix_t *r = &s->out[s->count];
    memset(r, 0, sizeof *r);
    key128_store(net, s->family, &r->addr);
    r->pfxlen = static_cast<uint8_t>(pfxlen);
  }
  s->count++;
}

// The minimal CIDR cover of [lo, hi] (lo <= hi), ascending.  Per step the
// block at lo is as large as lo's alignment allows (2^ctz(lo), at most the
// whole space) and as large as fits in what is left (the largest 2^k with
// 2^k <= hi - lo + 1).  hi - lo + 1 overflows 128 bits only for the whole
// IPv6 space, which is one /0.
void range_cover(key128 lo, key128 hi, unsigned bits, PrefixSink *sink) {
  if (bits == 32) {
    // IPv4 in plain 64-bit arithmetic: hi - lo + 1 <= 2^32 cannot wrap, and
    // a block is at most 2^32 (lo = 0), so every shift stays below 64.
    uint64_t l = lo.lo;
    const uint64_t h = hi.lo;
    for (;;) {
      const unsigned align = l == 0 ? 32u : static_cast<unsigned>(std::countr_zero(l));
      const unsigned fit = 63u - static_cast<unsigned>(std::countl_zero(h - l + 1));
      // fit <= 32 already (h - l + 1 >= 1); the bound is spelled out for
      // the analyzer, which cannot see that h >= l.
      const unsigned k = std::min({align, fit, 32u});
      sink_put(sink, key128{0, l}, 32 - k);
      const uint64_t last = l + (uint64_t{1} << k) - 1;
      if (last == h) return;
      l = last + 1;
    }
  }
  for (;;) {
    unsigned k = key128_ctz(lo);  // 128 for lo = 0
    if (k > bits) k = bits;
    const key128 span = key128_sub(hi, lo);
    key128 size = span;
    if (key128_inc(&size, 128)) {
      // span + 1 = 2^128: the whole IPv6 space; k is already 128 here.
    } else {
      const unsigned fit = key128_bit_length(size) - 1;  // size >= 1
      if (fit < k) k = fit;
    }
    sink_put(sink, lo, bits - k);
    const key128 last = key128_last(lo, bits, bits - k);
    if (key128_eq(last, hi)) return;
    lo = last;
    key128_inc(&lo, bits);  // last < hi <= top: no wrap
  }
}

// Step 3 of the file comment.  `p` is the first address of the segment in
// hand; `kept` holds the kept interval not yet cut into prefixes, so that a
// kept segment touching it joins it.
void set_sweep(RunCursor a, RunCursor b, SetOp op, unsigned bits, PrefixSink *sink) {
  const key128 top = key128_top(bits);
  key128 p = {0, 0};
  bool have_kept = false;
  key128 kept_lo = {0, 0}, kept_hi = {0, 0};
  for (;;) {
    while (a.valid && key128_lt(a.hi, p)) run_advance(&a);
    while (b.valid && key128_lt(b.hi, p)) run_advance(&b);
    if (!a.valid && !b.valid) break;  // in neither from here on: nothing is kept
    const bool in_a = a.valid && !key128_lt(p, a.lo);
    const bool in_b = b.valid && !key128_lt(p, b.lo);
    // The segment ends before the next boundary.  A run not entered starts
    // after p >= 0, so its lo - 1 does not wrap.
    key128 seg_hi = top;
    for (const RunCursor *c : {&a, &b}) {
      if (!c->valid) continue;
      const bool in = c == &a ? in_a : in_b;
      key128 edge = c->hi;
      if (!in) {
        edge = c->lo;
        key128_dec(&edge, bits);
      }
      if (key128_lt(edge, seg_hi)) seg_hi = edge;
    }
    if (set_op_keeps(op, in_a, in_b)) {
      bool joins = false;
      if (have_kept) {
        key128 after_kept = kept_hi;
        key128_inc(&after_kept, bits);  // kept_hi < p <= top: no wrap
        joins = key128_eq(after_kept, p);
      }
      if (joins) {
        kept_hi = seg_hi;
      } else {
        if (have_kept) range_cover(kept_lo, kept_hi, bits, sink);
        kept_lo = p;
        kept_hi = seg_hi;
        have_kept = true;
      }
    }
    if (key128_eq(seg_hi, top)) break;
    p = seg_hi;
    key128_inc(&p, bits);  // seg_hi is below the top
  }
  if (have_kept) range_cover(kept_lo, kept_hi, bits, sink);
}

// size_t a * b + c, or false when it overflows.
bool size_mul_add(size_t a, size_t b, size_t c, size_t *out) {
  size_t m;
  if (__builtin_mul_overflow(a, b, &m)) return false;
  return !__builtin_add_overflow(m, c, out);
}

// The documented result bound of each operation (see the header).
bool set_result_bound(SetOp op, size_t a_count, size_t b_count, unsigned bits, size_t *out) {
  switch (op) {
    case SetOp::kUnion:
    case SetOp::kIntersection:
      return !__builtin_add_overflow(a_count, b_count, out);
    case SetOp::kDifference:
      return size_mul_add(b_count, bits - 1, a_count, out);
    case SetOp::kSymmetric: {
      size_t sum;
      if (__builtin_add_overflow(a_count, b_count, &sum)) return false;
      return size_mul_add(sum, bits, 0, out);
    }
  }
  return false;
}

// Sorts `p` in network order unless it already is: set operands are often
// the stored, sorted covers of earlier results, and one linear pass is far
// cheaper than the radix sort's passes over the records.
void sort_unless_sorted(tarn_prefix_t *p, size_t n, tarn_family_t family) {
  for (size_t i = 1; i < n; i++) {
    const int c = key128_cmp(key128_load(&p[i - 1].addr), key128_load(&p[i].addr));
    if (c > 0 || (c == 0 && p[i - 1].pfxlen > p[i].pfxlen)) {
      radix_sort_prefixes(p, n, TARN_SORT_NETWORK_ASC, family);
      return;
    }
  }
}

// The shared body of the four set operations: checks (in the header's
// order), then the in-place sorts, then one sweep that writes when the
// capacity reaches the bound, or a counting sweep and a writing sweep.
tarn_err_t set_operation(SetOp op, tarn_prefix_t *a, size_t a_count, tarn_prefix_t *b,
                         size_t b_count, tarn_prefix_t *out, size_t out_capacity,
                         size_t *out_count) {
  if (out_count == nullptr) return TARN_ERR_INVAL;
  if ((a_count > 0 && a == nullptr) || (b_count > 0 && b == nullptr)) return TARN_ERR_INVAL;
  if (out_capacity > 0 && out == nullptr) return TARN_ERR_INVAL;
  tarn_err_t rc;
  if (a_count > 0 && (rc = set_check_families(a, a_count)) != TARN_OK) return rc;
  if (b_count > 0 && (rc = set_check_families(b, b_count)) != TARN_OK) return rc;
  if (a_count > 0 && b_count > 0 && a[0].addr.family != b[0].addr.family) return TARN_ERR_FAMILY;
  if (a_count == 0 && b_count == 0) {
    *out_count = 0;
    return TARN_OK;
  }
  const tarn_family_t family = a_count > 0 ? a[0].addr.family : b[0].addr.family;
  if ((rc = prefixes_check_canonical(a, a_count, family)) != TARN_OK) return rc;
  if ((rc = prefixes_check_canonical(b, b_count, family)) != TARN_OK) return rc;

  const unsigned bits = tarn_addr_bits(family);
  sort_unless_sorted(a, a_count, family);
  sort_unless_sorted(b, b_count, family);

  size_t bound;
  const bool bounded = set_result_bound(op, a_count, b_count, bits, &bound);
  if (!bounded || out_capacity < bound) {
    PrefixSink counter{nullptr, 0, family};
    set_sweep(run_start(a, a_count, family), run_start(b, b_count, family), op, bits, &counter);
    if (counter.count > out_capacity) {
      *out_count = counter.count;
      return TARN_ERR_INVAL;
    }
  }
  PrefixSink writer{out, 0, family};
  set_sweep(run_start(a, a_count, family), run_start(b, b_count, family), op, bits, &writer);
  *out_count = writer.count;
  return TARN_OK;
}

}  // namespace

tarn_err_t tarn_set_union(tarn_prefix_t *a, size_t a_count, tarn_prefix_t *b, size_t b_count,
                          tarn_prefix_t *out, size_t out_capacity, size_t *out_count) {
  return set_operation(SetOp::kUnion, a, a_count, b, b_count, out, out_capacity, out_count);
}

tarn_err_t tarn_set_intersection(tarn_prefix_t *a, size_t a_count, tarn_prefix_t *b, size_t b_count,
                                 tarn_prefix_t *out, size_t out_capacity, size_t *out_count) {
  return set_operation(SetOp::kIntersection, a, a_count, b, b_count, out, out_capacity, out_count);
}

tarn_err_t tarn_set_difference(tarn_prefix_t *a, size_t a_count, tarn_prefix_t *b, size_t b_count,
                               tarn_prefix_t *out, size_t out_capacity, size_t *out_count) {
  return set_operation(SetOp::kDifference, a, a_count, b, b_count, out, out_capacity, out_count);
}

tarn_err_t tarn_set_symmetric_difference(tarn_prefix_t *a, size_t a_count, tarn_prefix_t *b,
                                         size_t b_count, tarn_prefix_t *out, size_t out_capacity,
                                         size_t *out_count) {
  return set_operation(SetOp::kSymmetric, a, a_count, b, b_count, out, out_capacity, out_count);
}

tarn_err_t tarn_range_to_prefixes(const tarn_addr_t *first, const tarn_addr_t *last,
                                  tarn_prefix_t *out, size_t out_capacity, size_t *out_count) {
  if (first == nullptr || last == nullptr || out_count == nullptr) return TARN_ERR_INVAL;
  if (out_capacity > 0 && out == nullptr) return TARN_ERR_INVAL;
  if (first->family == TARN_AF_UNSPEC || last->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (first->family != last->family) return TARN_ERR_FAMILY;
  const tarn_family_t family = first->family;
  const unsigned bits = tarn_addr_bits(family);
  const key128 lo = key128_load(first), hi = key128_load(last);
  if (key128_lt(hi, lo)) return TARN_ERR_INVAL;

  // Both addresses are read before anything is written: `out` may overlap
  // them.  Room for the largest cover of the family (2 * bits - 2) takes
  // one pass; less room is checked by counting first.
  if (out_capacity < 2 * size_t{bits} - 2) {
    PrefixSink counter{nullptr, 0, family};
    range_cover(lo, hi, bits, &counter);
    if (counter.count > out_capacity) {
      *out_count = counter.count;
      return TARN_ERR_INVAL;
    }
  }
  PrefixSink writer{out, 0, family};
  range_cover(lo, hi, bits, &writer);
  *out_count = writer.count;
  return TARN_OK;
}

namespace {

// The smallest prefix holding every address of [lo, hi]: the bits lo and hi
// share.  Every address between them shares those bits too.
void span_store(key128 lo, key128 hi, tarn_family_t family, tarn_prefix_t *out) {
  const unsigned bits = tarn_addr_bits(family);
  const unsigned len = key128_common_bits(lo, hi, bits);
  tarn_prefix_t r;
  memset(&r, 0, sizeof r);
  key128_store(key128_network(lo, bits, len), family, &r.addr);
  r.pfxlen = static_cast<uint8_t>(len);
  memcpy(out, &r, sizeof r);
}

}  // namespace

tarn_err_t tarn_prefix_span(const tarn_prefix_t *prefixes, size_t count, tarn_prefix_t *out) {
  if (prefixes == nullptr || out == nullptr || count == 0) return TARN_ERR_INVAL;
  tarn_err_t rc = set_check_families(prefixes, count);
  if (rc != TARN_OK) return rc;
  const tarn_family_t family = prefixes[0].addr.family;
  if ((rc = prefixes_check_canonical(prefixes, count, family)) != TARN_OK) return rc;
  const unsigned bits = tarn_addr_bits(family);
  key128 lo = key128_load(&prefixes[0].addr);
  key128 hi = key128_last(lo, bits, prefixes[0].pfxlen);
  for (size_t i = 1; i < count; i++) {
    const key128 p_lo = key128_load(&prefixes[i].addr);
    const key128 p_hi = key128_last(p_lo, bits, prefixes[i].pfxlen);
    if (key128_lt(p_lo, lo)) lo = p_lo;
    if (key128_lt(hi, p_hi)) hi = p_hi;
  }
  span_store(lo, hi, family, out);
  return TARN_OK;
}

tarn_err_t tarn_addr_span(const tarn_addr_t *addrs, size_t count, tarn_prefix_t *out) {
  if (addrs == nullptr || out == nullptr || count == 0) return TARN_ERR_INVAL;
  const tarn_family_t family = addrs[0].family;
  if (family != TARN_AF_INET && family != TARN_AF_INET6) return TARN_ERR_INVAL;
  for (size_t i = 1; i < count; i++) {
    if (addrs[i].family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
    if (addrs[i].family != family) return TARN_ERR_FAMILY;
  }
  key128 lo = key128_load(&addrs[0]), hi = lo;
  for (size_t i = 1; i < count; i++) {
    const key128 k = key128_load(&addrs[i]);
    if (key128_lt(k, lo)) lo = k;
    if (key128_lt(hi, k)) hi = k;
  }
  span_store(lo, hi, family, out);
  return TARN_OK;
}
