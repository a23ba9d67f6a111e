// tarn_index_query.cpp - the index's set queries: what it holds, exact
// match, covering and covered prefixes.
//
// Every query works from the index's sorted records of its prefixes (network
// order: address ascending, then length ascending) and the position map,
// never from the trie, so the lookup structure can change freely.  Equal
// records form runs in the copy, and every record of a run maps to the one
// input position that lookups report (tarn_index_create); the queries list
// each run once, under that position.
//
// In network order the prefixes inside a prefix q form one contiguous block:
// they start at q's own (address, length) and end before the first record
// whose address lies past q's last address.
//
// The prefixes covering q are not contiguous in that order; they come from
// the trie instead.  Every held prefix containing q's address is a node on
// that address's walk from the root: the walk passes each Patricia node
// whose bits the address shares, and packing keeps every node that holds a
// prefix and has children as a node of its own (a leaf reached early is
// copied into the slots below it, each of which a walk ends on).  The walk
// compares no skipped bits, so each prefix met is checked against q, and the
// deeper a node the longer its prefix: the matches, deepest first, are the
// covering prefixes longest first.  One walk of at most bits + 1 nodes
// instead of a binary search per length.  An index with a lookup structure
// answers from it and an array of links instead (see covering_links), in
// fewer cache misses; the walk stays for an index without one.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pytarn.h"
#include "tarn_internal.h"

namespace {

// Order of sorted record k against (key, len): address first, then length.
int record_cmp(const tarn_index_t *index, size_t k, key128 key, unsigned len) {
  const int c = key128_cmp(index_key(index, k), key);
  if (c != 0) return c;
  const unsigned own = index_pfxlen(index, k);
  return own < len ? -1 : (own > len ? 1 : 0);
}

// First sorted position whose record is not below (key, len).
size_t lower_bound(const tarn_index_t *index, key128 key, unsigned len) {
  size_t lo = 0, hi = index->prefix_count;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (record_cmp(index, mid, key, len) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

// The sorted position of (key, len) or SIZE_MAX.  The lower bound lands on
// the first record of a run of equal ones, whose position all of them share.
size_t find_exact(const tarn_index_t *index, key128 key, unsigned len) {
  const size_t at = lower_bound(index, key, len);
  if (at < index->prefix_count && record_cmp(index, at, key, len) == 0) return at;
  return SIZE_MAX;
}

// The query checks shared by the prefix queries: family (TARN_ERR_INVAL for
// TARN_AF_UNSPEC, TARN_ERR_FAMILY for another family than the index's), then
// length (TARN_ERR_PFXLEN), then host bits (TARN_ERR_HOSTBITS).
tarn_err_t query_check(const tarn_index_t *index, const tarn_prefix_t *q) {
  if (q->addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (q->addr.family != index->family) return TARN_ERR_FAMILY;
  return prefixes_check_canonical(q, 1, index->family);
}

// Writes one result: the prefix (when `prefixes` is not null) and its
// reported position.
void put_result(const tarn_index_t *index, size_t sorted_pos, size_t i, tarn_prefix_t *prefixes,
                ssize_t *positions) {
  if (prefixes != nullptr) index_prefix(index, sorted_pos, &prefixes[i]);
  positions[i] = static_cast<ssize_t>(index->orig_indices[sorted_pos]);
}

// The `branch` (1..8) address bits starting at bit `first` (bit 0 = most
// significant bit of byte 0) of an address of addr_len bytes; bits beyond
// the address read as 0.  They span at most two bytes.
unsigned address_bits(const uint8_t *bytes, size_t addr_len, unsigned first, unsigned branch) {
  const size_t i = first / 8;
  const unsigned window = (unsigned{bytes[i]} << 8) | (i + 1 < addr_len ? bytes[i + 1] : 0u);
  return (window >> (16 - first % 8 - branch)) & ((1u << branch) - 1);
}

// The sorted positions of the prefixes containing `q`, longest first, into
// found[0..bits]; returns their count.  See the top of the file.
size_t covering_walk(const tarn_index_t *index, const tarn_lctrie_node_t *nodes,
                     const tarn_prefix_t *q, size_t *found) {
  const unsigned bits = tarn_addr_bits(index->family);
  const size_t addr_len = tarn_addr_len(index->family);
  const uint8_t *bytes = q->addr.addr.v6;
  uint32_t met[129 + 1];  // prefixes on the walk, shallowest first
  size_t depth = 0;
  uint32_t node = 0;
  unsigned bit_pos = 0;
  for (;;) {
    const tarn_lctrie_node_t *nd = &nodes[node];
    if (nd->prefix_idx != TARN_INDEX_NONE && depth < 130) met[depth++] = nd->prefix_idx;
    const unsigned first = bit_pos + nd->skip;
    bit_pos = first + nd->branch;
    if (nd->branch == 0 || bit_pos > bits) break;
    node = nd->base + address_bits(bytes, addr_len, first, nd->branch);
  }
  const key128 key = key128_load(&q->addr);
  size_t n = 0;
  while (depth-- > 0 && n <= bits) {
    const unsigned len = index_pfxlen(index, met[depth]);
    if (len <= q->pfxlen && key128_contains(index_key(index, met[depth]), bits, len, key))
      found[n++] = met[depth];
  }
  return n;
}

// Covering queries from the lookup structure.  The walk above touches a
// trie node per level, each a cache miss in a large table.  The lookup
// structure finds the longest prefix containing an address in a few misses,
// and every other covering prefix is an ancestor of that one, so an array of
// links, indexed by the input position that lookups report for a run,
// answers the rest.  A link is one 64-bit word of two steps up the chain of
// ancestors, each step a length and the position of the next prefix up:
//   low half   the run's own length, and its parent's position: the position
//              reported for the longest prefix strictly containing it;
//   high half  the parent's length and the grandparent's position, a copy
//              of the parent link's low half.
// A missing parent or grandparent is the position `none`, all ones in the
// position's field, and a link without a parent leaves its high half unread;
// positions that no run reports are unused.  One link read therefore yields two prefixes
// of the chain, and a chain of k prefixes costs ceil(k / 2) reads, each
// likely a cache miss, where a link per prefix would cost k.
// No network is stored: every prefix that covers q is q's address masked to
// the prefix's length, so the length is all a step needs.  A step gives the
// length its family's width in bits (6 for IPv4, 8 for IPv6) and the
// position the rest of 32 bits, so an index of more records than `none`
// (2^26 - 1 for IPv4, 2^24 - 1 for IPv6) answers from the trie walk.
// covering(q) is then: pos = the longest match of q's address; up the chain
// while longer than q; then every prefix to the root, all the lengths
// strictly decreasing.  The links are built by the first covering query and
// published with a compare-and-swap, so concurrent queries either build
// their own copy and free it or use the one that won.
// Example (IPv4): 10.0.0.0/8 at input position 0, 10.1.0.0/16 at 1 and
// 10.1.2.0/24 at 2.  As (length, next position), low half then high half:
// link[0] = (8, none), unread; link[1] = (16, 0), (8, none); link[2] =
// (24, 1), (16, 0).  covering(10.1.2.3) reads link[2]: /24 at position 2,
// /16 at position 1, next 0; then link[0]: /8 at position 0, no parent.
struct step_format {
  unsigned len_bits;  // the length's field, low in a step

  uint32_t none() const { return (uint32_t{1} << (32 - len_bits)) - 1; }
  uint32_t pack(unsigned len, uint32_t next) const { return next << len_bits | len; }
  unsigned len(uint32_t step) const { return step & ((1u << len_bits) - 1); }
  uint32_t next(uint32_t step) const { return step >> len_bits; }
};

inline step_format step_format_of(tarn_family_t family) {
  return {family == TARN_AF_INET ? 6u : 8u};
}

// The links of `index`, or null when they cannot be allocated or its
// positions do not fit a step (the walk then answers).
const uint64_t *covering_links(const tarn_index_t *index) {
  void *held = __atomic_load_n(&index->covering_links, __ATOMIC_ACQUIRE);
  if (held != nullptr) return static_cast<const uint64_t *>(held);
  const step_format fmt = step_format_of(index->family);
  const size_t n = index->prefix_count;
  if (n > fmt.none()) return nullptr;  // positions run below n
  const size_t bytes = n * sizeof(uint64_t);
  void *held_new = bytes >= kHugeMin ? tarn_alloc_huge(bytes) : nullptr;
  uint64_t *links = static_cast<uint64_t *>(held_new != nullptr ? held_new : malloc(bytes));
  if (links == nullptr) return nullptr;
  // Positions that no run takes (equal records share one) keep a link of
  // all ones: a length above the family's width, which no query takes, and
  // no parent, so a chain that starts there ends there empty.  A lookup of
  // a built index never reports one, but a loaded lookup structure is only
  // known to answer below the count.
  memset(links, 0xFF, bytes);
  const unsigned bits = tarn_addr_bits(index->family);
  // Run starts in network order, with a stack of those containing the
  // current network: nested or disjoint, so each containing one is an
  // ancestor, the top the nearest; at most bits + 1 deep.  The stack keeps
  // each one's position and its link's low half, which its children's links
  // take as their high half.
  uint32_t stack_pos[129], stack_step[129];
  key128 stack_last[129];
  size_t depth = 0;
  for (size_t k = 0; k < n; k++) {
    if (k > 0 && index_records_equal(index, k, k - 1)) continue;
    const key128 net = index_key(index, k);
    while (depth > 0 && key128_lt(stack_last[depth - 1], net)) depth--;
    const uint32_t pos = index->orig_indices[k];
    const uint32_t parent = depth > 0 ? stack_pos[depth - 1] : fmt.none();
    // The analyzer takes a step for a signed value and its shift for
    // undefined; both are 32-bit unsigned.
    // NOLINTNEXTLINE(clang-analyzer-core.UndefinedBinaryOperatorResult)
    const uint64_t up = depth > 0 ? uint64_t{stack_step[depth - 1]} << 32 : 0;
    const uint32_t own = fmt.pack(index_pfxlen(index, k), parent);
    links[pos] = up | own;
    if (depth < 129) {
      stack_pos[depth] = pos;
      stack_step[depth] = own;
      stack_last[depth++] = key128_last(net, bits, index_pfxlen(index, k));
    }
  }
  void *expected = nullptr;
  tarn_index_t *shared = const_cast<tarn_index_t *>(index);  // a cache, not the index's value
  if (__atomic_compare_exchange_n(&shared->covering_links, &expected, static_cast<void *>(links),
                                  false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
    return links;
  free(links);
  return static_cast<const uint64_t *>(expected);
}

// The chain of q from the links, given `first`, the longest match of q's
// address (or -1): the positions and lengths of the prefixes containing q,
// longest first, into found and lens; returns their number.
size_t covering_chain(const uint64_t *links, step_format fmt, const tarn_prefix_t *q,
                      tarn_ssize_t first, uint32_t found[129], uint8_t lens[129]) {
  size_t n = 0;
  auto take = [&](uint32_t pos, unsigned len) {
    if (len <= q->pfxlen && n < 129) {
      found[n] = pos;
      lens[n++] = static_cast<uint8_t>(len);
    }
  };
  uint32_t pos = first < 0 ? fmt.none() : static_cast<uint32_t>(first);
  while (pos != fmt.none()) {
    const uint64_t link = links[pos];
    const uint32_t own = static_cast<uint32_t>(link), up = static_cast<uint32_t>(link >> 32);
    take(pos, fmt.len(own));
    const uint32_t parent = fmt.next(own);
    if (parent == fmt.none()) break;
    take(parent, fmt.len(up));
    pos = fmt.next(up);
  }
  return n;
}

// Writes a chain's entries: each prefix is q's address masked to the
// entry's length.
void put_chain(const tarn_index_t *index, const tarn_prefix_t *q, const uint32_t *found,
               const uint8_t *lens, size_t n, tarn_prefix_t *prefixes, tarn_ssize_t *positions) {
  const unsigned bits = tarn_addr_bits(index->family);
  const key128 key = key128_load(&q->addr);
  for (size_t i = 0; i < n; i++) {
    if (prefixes != nullptr) {
      memset(&prefixes[i], 0, sizeof prefixes[i]);
      key128_store(key128_network(key, bits, lens[i]), index->family, &prefixes[i].addr);
      prefixes[i].pfxlen = lens[i];
    }
    positions[i] = static_cast<tarn_ssize_t>(found[i]);
  }
}

// The covering prefixes of q from the links, counted first so that nothing
// is written when `capacity` is short; false when the links cannot be had.
bool covering_linked(const tarn_index_t *index, const tarn_prefix_t *q, tarn_prefix_t *prefixes,
                     ssize_t *positions, size_t capacity, size_t *out_count) {
  const uint64_t *links = covering_links(index);
  if (links == nullptr) return false;
  uint32_t found[129];
  uint8_t lens[129];
  tarn_ssize_t longest;
  tarn_lookup_one(index, &q->addr, &longest);
  const size_t n = covering_chain(links, step_format_of(index->family), q, longest, found, lens);
  *out_count = n;
  if (n <= capacity) put_chain(index, q, found, lens, n, prefixes, positions);
  return true;
}

// The entries of queries[0..count) by the links, in groups: one batched
// lookup for a group's first positions, whose walks overlap, then the
// chains, each group's first links prefetched a few queries ahead.  With
// `positions` and `counts` null it only counts.  Returns the number of
// entries.
size_t covering_grouped(const tarn_index_t *index, const uint64_t *links,
                        const tarn_prefix_t *queries, size_t count, tarn_prefix_t *prefixes,
                        tarn_ssize_t *positions, size_t *counts) {
  constexpr size_t kGroup = 256, kAhead = 8;
  const step_format fmt = step_format_of(index->family);
  tarn_ssize_t first[kGroup];
  uint32_t found[129];
  uint8_t lens[129];
  size_t total = 0;
  for (size_t base = 0; base < count; base += kGroup) {
    const size_t m = count - base < kGroup ? count - base : kGroup;
    tarn_lookup_prefixes(index, queries + base, m, first);
    for (size_t i = 0; i < m && i < kAhead; i++)
      if (first[i] >= 0) __builtin_prefetch(&links[first[i]]);
    for (size_t i = 0; i < m; i++) {
      if (i + kAhead < m && first[i + kAhead] >= 0) __builtin_prefetch(&links[first[i + kAhead]]);
      const tarn_prefix_t *q = &queries[base + i];
      const size_t n = covering_chain(links, fmt, q, first[i], found, lens);
      if (counts != nullptr) counts[base + i] = n;
      if (positions != nullptr)
        put_chain(index, q, found, lens, n, prefixes != nullptr ? prefixes + total : nullptr,
                  positions + total);
      total += n;
    }
  }
  return total;
}

}  // namespace

tarn_err_t tarn_index_count(const tarn_index_t *index, size_t *distinct, size_t *records) {
  if (index == nullptr || distinct == nullptr) return TARN_ERR_INVAL;
  *distinct = index->distinct_count;
  if (records != nullptr) *records = index->prefix_count;
  return TARN_OK;
}

tarn_err_t tarn_index_prefixes(const tarn_index_t *index, tarn_prefix_t *prefixes,
                               ssize_t *positions, size_t capacity) {
  if (index == nullptr || prefixes == nullptr || positions == nullptr) return TARN_ERR_INVAL;
  if (capacity < index->distinct_count) return TARN_ERR_INVAL;
  size_t n = 0;
  for (size_t k = 0; k < index->prefix_count; k++) {
    if (k > 0 && index_records_equal(index, k, k - 1)) continue;
    put_result(index, k, n++, prefixes, positions);
  }
  return TARN_OK;
}

tarn_err_t tarn_index_exact(const tarn_index_t *index, const tarn_prefix_t *queries, size_t count,
                            ssize_t *positions) {
  if (index == nullptr) return TARN_ERR_INVAL;
  if (count == 0) return TARN_OK;
  if (queries == nullptr || positions == nullptr) return TARN_ERR_INVAL;
  for (size_t i = 0; i < count; i++) {
    const tarn_err_t rc = query_check(index, &queries[i]);
    if (rc != TARN_OK) return rc;
  }
  for (size_t i = 0; i < count; i++) {
    const size_t at = find_exact(index, key128_load(&queries[i].addr), queries[i].pfxlen);
    positions[i] = at == SIZE_MAX ? -1 : static_cast<ssize_t>(index->orig_indices[at]);
  }
  return TARN_OK;
}

tarn_err_t tarn_index_covering(const tarn_index_t *index, const tarn_prefix_t *query,
                               tarn_prefix_t *prefixes, ssize_t *positions, size_t capacity,
                               size_t *out_count) {
  if (index == nullptr || query == nullptr || positions == nullptr || out_count == nullptr)
    return TARN_ERR_INVAL;
  const tarn_err_t rc = query_check(index, query);
  if (rc != TARN_OK) return rc;
  // Counted first, so that nothing is written when the capacity is short.
  size_t found[129];  // sorted positions, longest first; at most bits + 1
  if (index->lookup.direct != nullptr) {
    if (covering_linked(index, query, prefixes, positions, capacity, out_count))
      return *out_count > capacity ? TARN_ERR_INVAL : TARN_OK;
  }
  uint32_t node_count;
  const tarn_lctrie_node_t *nodes = tarn_index_lctrie(index, &node_count);
  if (nodes == nullptr) return TARN_ERR_NOMEM;
  const size_t n = covering_walk(index, nodes, query, found);
  if (n > capacity) {
    *out_count = n;
    return TARN_ERR_INVAL;
  }
  for (size_t i = 0; i < n; i++) put_result(index, found[i], i, prefixes, positions);
  *out_count = n;
  return TARN_OK;
}

tarn_err_t tarn_index_covering_many(const tarn_index_t *index, const tarn_prefix_t *queries,
                                    size_t count, tarn_prefix_t *prefixes, tarn_ssize_t *positions,
                                    size_t capacity, size_t *counts, size_t *out_total) {
  if (index == nullptr || out_total == nullptr) return TARN_ERR_INVAL;
  if (count == 0) {
    *out_total = 0;
    return TARN_OK;
  }
  if (queries == nullptr || positions == nullptr || counts == nullptr) return TARN_ERR_INVAL;
  for (size_t i = 0; i < count; i++) {
    const tarn_err_t rc = query_check(index, &queries[i]);
    if (rc != TARN_OK) return rc;
  }
  const uint64_t *links = index->lookup.direct != nullptr ? covering_links(index) : nullptr;
  const size_t most = tarn_addr_bits(index->family) + 1;  // entries a query can have
  if (links != nullptr) {
    // Room for the most every query can have needs no count first.
    if (capacity / most < count) {
      const size_t needed =
          covering_grouped(index, links, queries, count, nullptr, nullptr, nullptr);
      if (needed > capacity) {
        *out_total = needed;
        return TARN_ERR_INVAL;
      }
    }
    *out_total = covering_grouped(index, links, queries, count, prefixes, positions, counts);
    return TARN_OK;
  }
  // Without the links, one query at a time, counted first the same way.
  size_t needed = 0;
  if (capacity / most < count) {
    tarn_ssize_t none[1];
    for (size_t i = 0; i < count; i++) {
      size_t n = 0;
      const tarn_err_t rc = tarn_index_covering(index, &queries[i], nullptr, none, 0, &n);
      if (rc != TARN_OK && rc != TARN_ERR_INVAL) return rc;
      needed += n;
    }
    if (needed > capacity) {
      *out_total = needed;
      return TARN_ERR_INVAL;
    }
  }
  size_t total = 0;
  for (size_t i = 0; i < count; i++) {
    const tarn_err_t rc =
        tarn_index_covering(index, &queries[i], prefixes != nullptr ? prefixes + total : nullptr,
                            positions + total, capacity - total, &counts[i]);
    if (rc != TARN_OK) return rc;  // only TARN_ERR_NOMEM: the room was checked
    total += counts[i];
  }
  *out_total = total;
  return TARN_OK;
}

tarn_err_t tarn_index_covered(const tarn_index_t *index, const tarn_prefix_t *query,
                              tarn_prefix_t *prefixes, ssize_t *positions, size_t capacity,
                              size_t *out_count) {
  if (index == nullptr || query == nullptr || out_count == nullptr) return TARN_ERR_INVAL;
  if (capacity > 0 && positions == nullptr) return TARN_ERR_INVAL;
  const tarn_err_t rc = query_check(index, query);
  if (rc != TARN_OK) return rc;
  const unsigned bits = tarn_addr_bits(index->family);
  const key128 first = key128_load(&query->addr);
  const key128 last = key128_last(first, bits, query->pfxlen);
  const size_t begin = lower_bound(index, first, query->pfxlen);
  // The block ends before the first record above (last, bits): every record
  // of the block has an address at most `last`, and lengths above bits do
  // not occur, so (last, bits) is the block's greatest possible record.
  size_t end;
  {
    size_t lo = begin, hi = index->prefix_count;
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (record_cmp(index, mid, last, bits) <= 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    end = lo;
  }
  auto is_run_start = [&](size_t k) { return k == begin || !index_records_equal(index, k, k - 1); };
  size_t n = 0;
  for (size_t k = begin; k < end; k++) n += is_run_start(k);
  if (n > capacity) {
    *out_count = n;
    return TARN_ERR_INVAL;
  }
  size_t i = 0;
  for (size_t k = begin; k < end; k++)
    if (is_run_start(k)) put_result(index, k, i++, prefixes, positions);
  *out_count = n;
  return TARN_OK;
}
