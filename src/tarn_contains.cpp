// tarn_contains.cpp - first-match containment of many addresses against a
// long prefix list, answered from a table of address intervals rather than
// by scanning the list once per address.
//
// tarn_bulk_contains reports, for each address, the first prefix in list
// order that contains it: the smallest input position among the prefixes
// covering the address.  That depends only on where the address lies, and
// the prefixes' boundaries cut the space into elementary intervals on each
// of which it is one position (or none).  Any two prefixes are nested or
// disjoint, and each contributes at most two boundaries (its network and
// the address after its last one), so n prefixes give at most 2n + 1
// intervals.
//
// The table, for one family (IPv4 keys in 32 bits, IPv6 keys as key128):
//   starts[0..count)   first address of each interval: strictly ascending,
//                      starts[0] = 0, so every address lies in exactly one
//   answers[0..count)  the smallest input position among the prefixes that
//                      cover the interval, or kNone; neighbours differ
//                      (equal ones are merged into one interval)
//   skip, region       every start but starts[0] shares its first `skip`
//                      bits with `region` (= starts[1]); skip is the most
//                      such bits
//   bucket[0..2^B]     B = bucket_bits, 0 for no buckets.  The addresses
//                      sharing those skip bits are cut into 2^B equal
//                      buckets by their next B bits; bucket[b] is the
//                      interval holding the first address of bucket b, and
//                      bucket[2^B] = count - 1.  Ascending.
// The answer for address a is answers[i] for the last i with starts[i] <= a.
//
// Build:
//   1. Copy the prefixes, clear their host bits (containment reads only the
//      first pfxlen bits), tag each copy with its input position and radix
//      sort the copies on (network, length).  A prefix then comes after
//      every prefix that contains it and before those it contains, and
//      equal prefixes are adjacent: a run of them counts as one prefix whose
//      position is the run's smallest tag.
//   2. Sweep the sorted prefixes with a stack holding exactly those that
//      contain the current network, each with the smallest position over
//      itself and the prefixes enclosing it.  Before a prefix is pushed, the
//      entries that end before its network are popped; the new top then
//      strictly contains it, so lengths rise along the stack and it is at
//      most bits + 1 deep.  A push starts an interval at the network with
//      the new entry's minimum; a pop starts one after the entry's last
//      address with the minimum of the entry under it (none at the bottom),
//      except after the top of the space, where nothing follows.  Starts
//      never descend; of several at one address the last is the one that
//      holds, and a start with its predecessor's answer is dropped.
//   3. Skip the bits that starts[1] and starts[count - 1] share (the
//      starts are sorted, so every start between shares them too) and cut
//      the rest into 2^B buckets, B about log2(count) but at most
//      kMaxBucketBits, with one walk over the starts.
// Query: an address outside the region lies below every start but the
// first (interval 0) or above every start (interval count - 1).  One inside
// it lies in bucket[b] .. bucket[b + 1] of its bucket b, which a branch-free
// halving search narrows to one.  The halving has no data-dependent
// branch, so the searches of consecutive addresses overlap their misses.
//
// Example (IPv4).  The list 10.1.0.0/16 (position 0), 0.0.0.0/0 (1),
// 10.0.0.0/8 (2), 10.1.0.0/16 (3) sorts as 0/0 [1], 10/8 [2], 10.1/16
// [0 and 3, so 0].  Starting from the interval (0.0.0.0, none):
//   push 0/0       start 0.0.0.0 with 1; replaces (0.0.0.0, none)
//   push 10/8      min(1, 2) = 1, the answer before it: dropped (10/8 is
//                  never a first match, 0/0 is listed before it)
//   push 10.1/16   min(1, 0) = 0: start 10.1.0.0 with 0
//   pop 10.1/16    start 10.2.0.0 with 10/8's minimum, 1
//   pop 10/8       start 11.0.0.0 with 1: dropped
//   pop 0/0        ends at the top of the space: nothing
// Three intervals: [0.0.0.0, 10.1.0.0) answers 1, [10.1.0.0, 10.2.0.0)
// answers 0, [10.2.0.0, 255.255.255.255] answers 1.  Buckets start at four
// intervals, so B = 0 here and a query halves over all three.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <bit>

#include "pytarn.h"
#include "tarn_internal.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;

// Where the table starts to pay, measured with `bench_contains grid` with
// the table built for every batch (AMD EPYC, g++ 12, Release; half the
// addresses inside a listed prefix, half uniform).  Scan time over table
// time:
//   networks \ addresses     1     16     32     64    128   1024
//   IPv4    4             0.69   0.80   0.72   0.96   1.32   2.05
//   IPv4    8             0.66   0.84   1.05   2.00   1.89   3.34
//   IPv4   64             0.27   0.69   1.10   2.07   3.39   10.1
//   IPv4 1024             0.03   0.73   1.63   3.44   5.66   40.9
//   IPv6    8             0.55   0.59   0.73   1.14   1.81   2.50
//   IPv6   64             0.17   0.64   1.37   3.27   2.78   16.0
//   IPv6 1024             0.04   1.02   1.67   3.47   4.68   29.7
// The build (about 30 ns per prefix while the list fits in cache, 60 to 100
// ns for 100k prefixes) is repaid from some 32 addresses on whatever the
// list's length, a little later for the shortest lists; 64
// addresses and 8 prefixes leave a margin for noise and for lists whose
// first entries catch most addresses, which the scan answers early.
constexpr size_t kMinPrefixes = 8;
constexpr size_t kMinAddrs = 64;

// The buckets stop at 2^16 (256 KiB of entries): a bucket of a 100k-prefix
// list then holds two or three intervals, and 2^18 measured no faster with
// 100k prefixes (bench_contains, 1M addresses).
constexpr unsigned kMaxBucketBits = 16;

// Key operations the table needs, per stored key type.  The sweep works on
// key128 for both families; the table stores IPv4 keys in 32 bits, so that
// four times as many starts share a cache line.
struct key32 {
  using type = uint32_t;
  static constexpr unsigned bits = 32;
  static type from(key128 k) { return static_cast<uint32_t>(k.lo); }  // IPv4 keys fit lo
  static type load(const tarn_addr_t* a) { return key128_load_be32(a->addr.v4); }
  static bool lt(type a, type b) { return a < b; }
  static unsigned common_bits(type a, type b) {
    return static_cast<unsigned>(std::countl_zero(a ^ b));  // 32 when equal
  }
  // Whether a and r agree in their first n bits (n = 0..32; key_mask32
  // takes 0 and 32 on their own arms).
  static bool shares(type a, type r, unsigned n) { return ((a ^ r) & key_mask32(n)) == 0; }
  // The b bits of `a` after its first `skip`; 1 <= b and skip + b <= 32, so
  // both shifts are by 0..31.
  static size_t bucket(type a, unsigned skip, unsigned b) { return (a << skip) >> (32 - b); }
  // The first address of bucket i: the region's first skip bits, then i in
  // the next b bits (shift 32 - skip - b, in 0..31), then zeros.
  static type bucket_first(type region, unsigned skip, unsigned b, size_t i) {
    return (region & key_mask32(skip)) | (static_cast<uint32_t>(i) << (32 - skip - b));
  }
};

struct key128_ops {
  using type = key128;
  static constexpr unsigned bits = 128;
  static type from(key128 k) { return k; }
  static type load(const tarn_addr_t* a) { return key128_load(a); }
  static bool lt(type a, type b) { return key128_lt(a, b); }
  static unsigned common_bits(type a, type b) { return key128_common_bits(a, b, 128); }
  static bool shares(type a, type r, unsigned n) { return key128_contains(r, 128, n, a); }
  // Shifts: skip is 0..127 (b >= 1), and b <= 16 makes 64 - b 48..63.
  static size_t bucket(type a, unsigned skip, unsigned b) {
    return static_cast<size_t>(key128_shl(a, skip).hi >> (64 - b));
  }
  // skip + b is 1..128, so the shift is 0..127.
  static type bucket_first(type region, unsigned skip, unsigned b, size_t i) {
    return key128_or(key128_network(region, 128, skip),
                     key128_shl(key128{0, static_cast<uint64_t>(i)}, 128 - skip - b));
  }
};

// The table described at the top of the file.
template <typename K>
struct intervals {
  typename K::type* starts;
  uint32_t* answers;
  size_t count;
  uint32_t* bucket;  // null when bucket_bits is 0
  unsigned skip, bucket_bits;
  typename K::type region;
};

template <typename K>
void intervals_release(intervals<K>* t) {
  free(t->starts);
  free(t->answers);
  free(t->bucket);
}

// malloc of n elements of `size` bytes; null when the product overflows.
void* alloc_array(size_t n, size_t size) {
  if (n == 0 || n > SIZE_MAX / size) return nullptr;
  return malloc(n * size);
}

// Step 2's output rule: a start at the address of the one before replaces
// it, and a start with the answer of the one before is dropped.  `start`
// is never below the last start kept.
template <typename K>
void intervals_emit(intervals<K>* t, key128 start, uint32_t answer) {
  const typename K::type s = K::from(start);
  if (t->count > 0 && !K::lt(t->starts[t->count - 1], s)) t->count--;
  if (t->count > 0 && t->answers[t->count - 1] == answer) return;
  t->starts[t->count] = s;
  t->answers[t->count] = answer;
  t->count++;
}

// One entry of the sweep's stack: a prefix containing the current network.
struct open_prefix {
  key128 last;    // its last address
  uint32_t best;  // smallest position over it and the prefixes enclosing it
};

// Steps 1 and 2 into t->starts and t->answers (allocated for 2n + 1).
// Returns false when the sort's copy cannot be allocated.
template <typename K>
bool intervals_sweep(intervals<K>* t, const tarn_prefix_t* prefixes, size_t n,
                     tarn_family_t family) {
  tarn_prefix_t* sorted = static_cast<tarn_prefix_t*>(alloc_array(n, sizeof *sorted));
  if (sorted == nullptr) return false;
  const unsigned bits = tarn_addr_bits(family);
  for (size_t i = 0; i < n; i++) {
    memcpy(&sorted[i], &prefixes[i], sizeof sorted[i]);
    key128_store(key128_network(key128_load(&prefixes[i].addr), bits, prefixes[i].pfxlen), family,
                 &sorted[i].addr);
    prefix_order_tag_set(&sorted[i], static_cast<uint32_t>(i));  // n < 2^32 - 1
  }
  radix_sort_prefixes(sorted, n, TARN_SORT_NETWORK_ASC, family);

  open_prefix stack[129];  // bits + 1 at most, see step 2
  size_t depth = 0;
  t->count = 0;
  intervals_emit(t, key128{0, 0}, kNone);
  const size_t addr_len = tarn_addr_len(family);
  for (size_t i = 0; i < n;) {
    const key128 net = key128_from_bytes(sorted[i].addr.addr.v6, family);
    const unsigned len = sorted[i].pfxlen;
    uint32_t pos = prefix_order_tag_get(&sorted[i]);
    for (i++; i < n && prefixes_equal_key(&sorted[i - 1], &sorted[i], addr_len); i++)
      pos = pos < prefix_order_tag_get(&sorted[i]) ? pos : prefix_order_tag_get(&sorted[i]);
    while (depth > 0 && key128_lt(stack[depth - 1].last, net)) {
      key128 after = stack[--depth].last;
      key128_inc(&after, bits);  // below net, so never the top of the space
      intervals_emit(t, after, depth > 0 ? stack[depth - 1].best : kNone);
    }
    const uint32_t best = depth > 0 && stack[depth - 1].best < pos ? stack[depth - 1].best : pos;
    stack[depth++] = {key128_last(net, bits, len), best};
    intervals_emit(t, net, best);
  }
  while (depth > 0) {
    key128 after = stack[--depth].last;
    if (key128_inc(&after, bits)) continue;  // ends at the top: nothing follows
    intervals_emit(t, after, depth > 0 ? stack[depth - 1].best : kNone);
  }
  free(sorted);
  return true;
}

// Step 3.  Returns false when the buckets cannot be allocated.
template <typename K>
bool intervals_bucket(intervals<K>* t) {
  t->bucket = nullptr;
  t->bucket_bits = 0;
  t->skip = 0;
  if (t->count < 4) return true;  // halving over three is as quick
  t->region = t->starts[1];
  t->skip = K::common_bits(t->starts[1], t->starts[t->count - 1]);
  // b = floor(log2(count)), 2 or more, capped.  The count - 1 starts after
  // the first are distinct addresses of the region's 2^(bits - skip), so
  // b <= bits - skip: the buckets never outnumber the region's addresses.
  unsigned b = static_cast<unsigned>(std::bit_width(t->count)) - 1u;
  if (b > kMaxBucketBits) b = kMaxBucketBits;
  // Never taken (see above), but it keeps every bucket shift provably in
  // range for the reader and the analyzer alike.
  if (b > K::bits - t->skip) b = K::bits - t->skip;
  const size_t buckets = size_t{1} << b;
  t->bucket = static_cast<uint32_t*>(alloc_array(buckets + 1, sizeof *t->bucket));
  if (t->bucket == nullptr) return false;
  size_t at = 0;
  for (size_t i = 0; i < buckets; i++) {
    const typename K::type first = K::bucket_first(t->region, t->skip, b, i);
    while (at + 1 < t->count && !K::lt(first, t->starts[at + 1])) at++;
    t->bucket[i] = static_cast<uint32_t>(at);  // count <= 2n + 1 < 2^32: see the caller
  }
  t->bucket[buckets] = static_cast<uint32_t>(t->count - 1);
  t->bucket_bits = b;
  return true;
}

// The interval that holds `a`.
template <typename K>
inline size_t intervals_find(const intervals<K>* t, typename K::type a) {
  size_t lo = 0, hi = t->count - 1;
  if (t->bucket_bits != 0) {
    if (K::shares(a, t->region, t->skip)) {
      const size_t b = K::bucket(a, t->skip, t->bucket_bits);
      lo = t->bucket[b];
      hi = t->bucket[b + 1];
    } else if (K::lt(a, t->region)) {
      hi = 0;
    } else {
      lo = hi;
    }
  }
  // starts[lo] <= a, and the answer is at most hi: keep the first half's
  // last start at or below a.
  for (size_t span = hi - lo + 1; span > 1; span -= span / 2) {
    const size_t mid = lo + span / 2;
    lo = K::lt(a, t->starts[mid]) ? lo : mid;
  }
  return lo;
}

template <typename K>
bool contains_with(const tarn_addr_t* addrs, size_t addr_count, const tarn_prefix_t* prefixes,
                   size_t prefix_count, tarn_family_t family, tarn_ssize_t* matches) {
  intervals<K> t{};
  const size_t cap = 2 * prefix_count + 1;  // below 2^32: see the caller
  t.starts = static_cast<typename K::type*>(alloc_array(cap, sizeof *t.starts));
  t.answers = static_cast<uint32_t*>(alloc_array(cap, sizeof *t.answers));
  if (t.starts == nullptr || t.answers == nullptr ||
      !intervals_sweep(&t, prefixes, prefix_count, family) || !intervals_bucket(&t)) {
    intervals_release(&t);
    return false;
  }
  for (size_t i = 0; i < addr_count; i++) {
    const uint32_t answer = t.answers[intervals_find(&t, K::load(&addrs[i]))];
    matches[i] = answer == kNone ? -1 : static_cast<tarn_ssize_t>(answer);
  }
  intervals_release(&t);
  return true;
}

}  // namespace

bool tarn_contains_by_intervals(const tarn_addr_t* addrs, size_t addr_count,
                                const tarn_prefix_t* prefixes, size_t prefix_count,
                                tarn_family_t family, tarn_ssize_t* matches) {
  if (prefix_count < kMinPrefixes || addr_count < kMinAddrs) return false;
  // Positions are 32-bit with all ones for none (the sort carries them in
  // 32-bit order tags), and so are interval numbers: below 2^31 - 1
  // prefixes, at most 2n + 1 < 2^32 intervals.
  if (prefix_count >= kNone / 2) return false;
  if (family == TARN_AF_INET)
    return contains_with<key32>(addrs, addr_count, prefixes, prefix_count, family, matches);
  return contains_with<key128_ops>(addrs, addr_count, prefixes, prefix_count, family, matches);
}
