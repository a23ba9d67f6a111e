// tarn_internal.h - what the core shares between its own sources.
//
// Not part of the public interface.  Everything here has internal linkage
// (static inline) except radix_sort_prefixes, which the shared object exports
// for callers that sort records they have already validated.
#ifndef TARN_INTERNAL_H
#define TARN_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "pytarn.h"
#include "tarn_key.h"  // address lengths, the 128-bit key

// ---------------------------------------------------------------------------
// Order tags.
//
// While a sort or an index build runs, the four bytes of a record's `family`
// field carry a 32-bit tag (its input position), so that after an unstable
// in-place sort the caller can tell where each record came from.  The tag is
// stored least significant byte first, independent of the machine's byte
// order.  Whoever sets tags restores the family (prefixes_restore_family)
// before the records are used as prefixes again.
// ---------------------------------------------------------------------------

static inline void prefix_order_tag_set(tarn_prefix_t *prefix, uint32_t order_tag) {
  uint8_t *b = reinterpret_cast<uint8_t *>(&prefix->addr.family);
  b[0] = static_cast<uint8_t>(order_tag);
  b[1] = static_cast<uint8_t>(order_tag >> 8);
  b[2] = static_cast<uint8_t>(order_tag >> 16);
  b[3] = static_cast<uint8_t>(order_tag >> 24);
}

static inline uint32_t prefix_order_tag_get(const tarn_prefix_t *prefix) {
  const uint8_t *b = reinterpret_cast<const uint8_t *>(&prefix->addr.family);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

// Byte `byte_pos` (0..3) of a tag, most significant first: the radix key of
// the tag sort.
static inline uint8_t radix_u32_byte(uint32_t value, unsigned byte_pos) {
  return static_cast<uint8_t>(value >> (8u * (3u - byte_pos)));
}

// Record i gets tag i.  The caller guarantees count <= 2^32.
static inline void prefixes_prepare_order_tags(tarn_prefix_t *prefixes, size_t count) {
  for (size_t i = 0; i < count; i++) prefix_order_tag_set(&prefixes[i], static_cast<uint32_t>(i));
}

static inline void prefixes_restore_family(tarn_prefix_t *prefixes, size_t count,
                                           tarn_family_t family) {
  for (size_t i = 0; i < count; i++) prefixes[i].addr.family = family;
}

// The canonical-record check of the functions that treat a prefix as the
// block of addresses it stands for (aggregation, the set algebra, the
// index): per record, in order, TARN_ERR_PFXLEN for a length above the
// family maximum, then TARN_ERR_HOSTBITS for a bit set after the length; the
// first offender decides.  The caller has checked the families, so `family`
// is that of every record.
static inline tarn_err_t prefixes_check_canonical(const tarn_prefix_t *prefixes, size_t count,
                                                  tarn_family_t family) {
  const unsigned bits = tarn_addr_bits(family);
  for (size_t i = 0; i < count; i++) {
    if (prefixes[i].pfxlen > bits) return TARN_ERR_PFXLEN;
    const key128 k = key128_from_bytes(prefixes[i].addr.addr.v6, family);
    if (key128_has_host_bits(k, bits, prefixes[i].pfxlen)) return TARN_ERR_HOSTBITS;
  }
  return TARN_OK;
}

// Two records are equal keys when their lengths and first `addr_len` address
// bytes agree; the family field (maybe a tag) and unused bytes are ignored.
static inline bool prefixes_equal_key(const tarn_prefix_t *a, const tarn_prefix_t *b,
                                      size_t addr_len) {
  if (a->pfxlen != b->pfxlen) return false;
  for (size_t i = 0; i < addr_len; i++)
    if (a->addr.addr.v6[i] != b->addr.addr.v6[i]) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Radix sort (tarn_bulk.cpp).
//
// Sorts prefixes[0..count) in place on (address, length) for
// TARN_SORT_NETWORK_ASC, or (255 - length, address) for any other order
// value.  Checks nothing: the caller guarantees a valid array whose records
// all have `family` (given separately because the records' own family fields
// may hold order tags).  Not stable; moves whole records, tags included.
// ---------------------------------------------------------------------------
extern "C" TARN_EXPORT void radix_sort_prefixes(tarn_prefix_t *prefixes, size_t count,
                                                tarn_sort_order_t order, tarn_family_t family);

// ---------------------------------------------------------------------------
// The prefix index (tarn_index.cpp).  Defined here rather than in the .cpp so
// that the core tests can inspect the packed trie node for node.
// ---------------------------------------------------------------------------

// The value that stands for "no node" / "no prefix" in every 32-bit position.
#define TARN_INDEX_NONE UINT32_C(0xFFFFFFFF)

// One node of the packed LC-trie.
//   base        position of the first of the 2^branch children; 0 for a leaf
//   prefix_idx  sorted position of the prefix this node holds, or NONE
//   branch      address bits that select the child (1..8); 0 for a leaf
//   skip        address bits passed over before this node's bits (mod 256;
//               never read for a leaf)
//   pad         always 0
typedef struct tarn_lctrie_node {
  uint32_t base;
  uint32_t prefix_idx;
  uint8_t branch;
  uint8_t skip;
  uint8_t pad[2];
} tarn_lctrie_node_t;

// One entry of the index's lookup shortcut (see `jump` below).
typedef struct tarn_index_jump {
  uint32_t node;     // packed position at which the walk continues
  uint32_t best;     // input position of the longest match so far, or NONE
  uint32_t bit_pos;  // first bit after those the walk has consumed
} tarn_index_jump_t;

// One entry of the index's IPv4 candidate table (see `check4` below).
typedef struct tarn_index_check4 {
  uint32_t net;   // network address as a host-order integer
  uint32_t orig;  // the position a match reports (as orig_indices)
  uint32_t len;   // prefix length
} tarn_index_check4_t;

// The index.  Immutable from tarn_index_create until tarn_index_destroy.
//   nodes         packed LC-trie, root at position 0
//   node_count    number of packed nodes (the DP cost of the trie root)
//   prefixes      own copy of the input, sorted by TARN_SORT_NETWORK_ASC,
//                 every family field holding `family`
//   prefix_count  number of prefixes
//   distinct_count number of distinct prefixes (runs of equal records count
//                 once); what the index queries list
//   orig_indices  per sorted record, the input position a match reports
//   family        family of every prefix; lookups require it of addresses
//   jump          lookup shortcut (tarn_index.cpp): for every value of the
//                 first jump_bits address bits, where the walk from the root
//                 stands once those bits are used up, and the longest prefix
//                 it has matched so far; null when the index is too small to
//                 pay for one
//   jump_bits     number of leading bits the shortcut resolves (0 when null)
//   check4        IPv4 only (null otherwise): per sorted record, what a
//                 lookup needs to test and report it, in one entry, so that
//                 a candidate costs one memory access instead of two
struct tarn_index {
  tarn_lctrie_node_t *nodes;
  uint32_t node_count;
  tarn_prefix_t *prefixes;
  size_t prefix_count;
  size_t distinct_count;
  uint32_t *orig_indices;
  tarn_family_t family;
  tarn_index_jump_t *jump;
  unsigned jump_bits;
  tarn_index_check4_t *check4;
};

#endif  // TARN_INTERNAL_H
