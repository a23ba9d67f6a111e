// tarn_internal.h - what the core shares between its own sources.
//
// Not part of the public interface.  The inline helpers have internal
// linkage (static inline); the functions declared here are shared between
// the core's sources, with hidden visibility like everything the core does
// not mark TARN_EXPORT, except radix_sort_prefixes, which the shared object
// exports for callers that sort records they have already validated.
#ifndef TARN_INTERNAL_H
#define TARN_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>  // ssize_t, which some core definitions spell for tarn_ssize_t

#include <type_traits>

#include "pytarn.h"
#include "tarn_key.h"  // address lengths, the 128-bit key

// The header says tarn_ssize_t (ptrdiff_t, ISO C); the core's definitions
// and the binding's arrays may say ssize_t (POSIX).  Both name one type on
// every system the core is built for, which keeps the two in agreement.
static_assert(std::is_same_v<ssize_t, tarn_ssize_t>, "ssize_t and ptrdiff_t differ here");

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

// The lookup structure of an index (see tarn_lookup.cpp).
//   direct       2^direct_bits entries, one per value of the first
//                direct_bits address bits: a leaf (bit 31 set; bits 0..30
//                the answer, 0x7FFFFFFF for none) or the position in `words`
//                of the node that resolves the next six bits
//   words        the nodes, back to back, each at an even position: a 64-bit
//                child map `vector`, a 64-bit run map `leafvec` (each as two
//                words, low half first), then one position per child node
//                and one answer (input position or NONE) per leaf run
//   word_count   length of `words`, below 2^31
//   direct_bits  at most 24 (the build takes 0, 6, 12 or 18, and 24 for
//                IPv4 tables of millions of prefixes)
typedef struct tarn_lookup {
  uint32_t *direct;
  uint32_t *words;
  size_t word_count;
  unsigned direct_bits;
  // IPv4 only: no record has a child node, so every walk ends at most one
  // record past the direct table (set by tarn_lookup_build, and by a loader
  // from what tarn_lookup_validate finds).
  bool flat;
} tarn_lookup_t;

// The index.  Immutable from tarn_index_create until tarn_index_destroy.
//   nodes         packed LC-trie, root at position 0; null until first
//                 needed when the index has a lookup structure (read and
//                 published through tarn_index_lctrie only)
//   node_count    number of packed nodes (the DP cost of the trie root);
//                 0 while nodes is null
//   records       the input's prefixes sorted by TARN_SORT_NETWORK_ASC, each
//                 as its address bytes in network order (4 or 16) and its
//                 length, back to back (5 or 17 bytes; see index_record);
//                 the blob's records are these bytes
//   prefix_count  number of prefixes
//   distinct_count number of distinct prefixes (runs of equal records count
//                 once); what the index queries list
//   orig_indices  per sorted record, the input position a match reports
//   family        family of every prefix; lookups require it of addresses
//   lookup        the popcount trie every lookup walks (tarn_lookup.cpp),
//                 derived from prefixes and orig_indices; all zero when the
//                 index has none (then lookups walk the LC-trie)
struct tarn_index {
  tarn_lctrie_node_t *nodes;
  uint32_t node_count;
  uint8_t *records;
  size_t prefix_count;
  size_t distinct_count;
  uint32_t *orig_indices;
  tarn_family_t family;
  tarn_lookup_t lookup;
  // The covering queries' links, built by the first of them and kept until
  // destroy; read and published only with __atomic builtins, as queries run
  // concurrently (tarn_index_query.cpp).  Null until then.
  void *covering_links;
};

// The index's sorted prefixes.  A record of 5 or 17 bytes instead of a
// 24-byte tarn_prefix_t is most of what an index saves over keeping its
// input: a lookup never reads these, and the queries that do read a few
// each.  Reads are bytewise (records are not aligned).
static inline size_t index_record_len(const tarn_index *index) {
  return tarn_addr_len(index->family) + 1;
}
static inline const uint8_t *index_record(const tarn_index *index, size_t k) {
  return index->records + k * index_record_len(index);
}
static inline key128 index_key(const tarn_index *index, size_t k) {
  return key128_from_bytes(index_record(index, k), index->family);
}
static inline unsigned index_pfxlen(const tarn_index *index, size_t k) {
  return index_record(index, k)[tarn_addr_len(index->family)];
}
// Records j and k are of the same prefix.
static inline bool index_records_equal(const tarn_index *index, size_t j, size_t k) {
  const size_t n = index_record_len(index);
  const uint8_t *a = index_record(index, j), *b = index_record(index, k);
  for (size_t i = 0; i < n; i++)
    if (a[i] != b[i]) return false;
  return true;
}
// Record k as a prefix: its family, address and length, every other byte 0.
static inline void index_prefix(const tarn_index *index, size_t k, tarn_prefix_t *out) {
  const size_t addr_len = tarn_addr_len(index->family);
  const uint8_t *r = index_record(index, k);
  memset(out, 0, sizeof *out);
  out->addr.family = index->family;
  memcpy(out->addr.addr.v6, r, addr_len);
  out->pfxlen = r[addr_len];
}

// ---------------------------------------------------------------------------
// The lookup structure (tarn_lookup.cpp).
// ---------------------------------------------------------------------------

// Derives index->lookup from the sorted prefixes and the position map, which
// must be those of a valid index; index->lookup must be all zero.  Returns
// TARN_OK, also without building anything for an index too large for the
// structure's 31-bit answers (more than 2^31 - 2 prefixes), whose lookups
// then walk the LC-trie; TARN_ERR_INVAL for sorted prefixes nesting deeper
// than the family's lengths allow (never for an index that create or a
// validating load made); TARN_ERR_NOMEM.  On error index->lookup is all
// zero.
tarn_err_t tarn_lookup_build(tarn_index *index);

// Checks that index->lookup can be walked safely against the rest of the
// index: sizes within the limits tarn_lookup_build works in, records that
// tile `words`, every direct entry and child word naming a record that lies
// after the one holding it, every record reached from exactly one place and
// no deeper than the family's width allows, every leaf child covered by a
// run start, every answer a position below prefix_count or NONE.  The
// arrays must hold 2^direct_bits and word_count entries (a loader allocates
// them from those counts); within them it reads each entry a bounded number
// of times, in bounds, whatever they hold, and allocates one byte per word
// and one more.
// An all-zero structure is valid (the LC-trie answers).
// Returns TARN_OK; TARN_ERR_INVAL for an inconsistent structure;
// TARN_ERR_NOMEM.
// *flat (may be null) receives, on success, whether the structure is flat
// (see tarn_lookup_t) for an IPv4 index; false for IPv6.
tarn_err_t tarn_lookup_validate(const tarn_index *index, bool *flat = nullptr);

// Arrays that lookups read at random: from kHugeMin bytes on,
// tarn_alloc_huge gives them 2 MiB-aligned memory advised onto huge pages,
// where the system offers them, so that a random read does not also miss
// the TLB.  Null when it cannot (the caller falls back to malloc); freed
// with free().
constexpr size_t kHugeMin = size_t{2} << 20;
void *tarn_alloc_huge(size_t bytes);
// Such an array, on huge pages from kHugeMin bytes on where it can, from
// malloc otherwise; null when neither has the memory.  Freed with free().
void *tarn_alloc_lookup(size_t bytes);

// An IPv4 table of this many prefixes or more gets a direct table of 2^24
// entries (64 MiB, at most 24 bytes per prefix).  Below it the arrays a
// lookup reads fit in a server's last-level cache, and a walk's two reads
// (direct entry, then node record) mostly hit there; above it they do not,
// and both reads miss to memory.  With 24 direct bits an address under a
// route of /24 or shorter is answered by its direct entry alone, one miss,
// as in DIR-24-8.
constexpr size_t kWideDirectMin = (size_t{4} << 24) / 24;

// From this many bytes of direct table and records on, batched lookups
// prefetch further ahead, into the second-level cache (tarn_lookup.cpp).
constexpr size_t kFarMin = size_t{8} << 20;

// Frees index->lookup's arrays and zeroes it.
void tarn_lookup_release(tarn_index *index);

// Answers addrs[0..count), all of the index's family, into matches (and
// TARN_OK into errs, when not null) from index->lookup, which must be
// built.  tarn_lookup_one answers one address into *match and returns
// TARN_OK.
void tarn_lookup_batch(const tarn_index *index, const tarn_addr_t *addrs, size_t count,
                       tarn_ssize_t *matches, tarn_err_t *errs);
tarn_err_t tarn_lookup_one(const tarn_index *index, const tarn_addr_t *addr, tarn_ssize_t *match);
// The same for the addresses of prefixes[0..count).
void tarn_lookup_prefixes(const tarn_index *index, const tarn_prefix_t *prefixes, size_t count,
                          tarn_ssize_t *matches);
// The same for `count` addresses of the index's family packed as
// network-order bytes (4 or 16 each, back to back, any alignment).
void tarn_lookup_packed(const tarn_index *index, const uint8_t *packed, size_t count,
                        tarn_ssize_t *matches);

// The index's LC-trie and its node count, built on the first call for an
// index made without it (tarn_index.cpp) and published atomically, so that
// concurrent readers of one index may call it.  Null on TARN_ERR_NOMEM (or a
// trie past the node limit).
const tarn_lctrie_node_t *tarn_index_lctrie(const tarn_index *index, uint32_t *node_count);

// The same answers from the LC-trie walk (tarn_index.cpp): what lookups use
// while index->lookup is empty, and the reference the tests compare the
// lookup structure with.  TARN_OK, or TARN_ERR_NOMEM when the trie cannot be
// built (nothing written).
tarn_err_t tarn_lctrie_lookup(const tarn_index *index, const tarn_addr_t *addrs, size_t count,
                              tarn_ssize_t *matches, tarn_err_t *errs);

// First-match containment from a table of address intervals
// (tarn_contains.cpp), for arrays tarn_bulk_contains has validated, all of
// `family`: writes matches[0..addr_count) and returns true, or writes
// nothing and returns false when the table would not pay for itself or
// cannot be allocated.
bool tarn_contains_by_intervals(const tarn_addr_t *addrs, size_t addr_count,
                                const tarn_prefix_t *prefixes, size_t prefix_count,
                                tarn_family_t family, tarn_ssize_t *matches);

// ---------------------------------------------------------------------------
// Address text code paths (tarn_addr.cpp).
//
// tarn_addr_parse and tarn_addr_format pick their code once, at the first
// call, from what the processor supports: the portable path (SSE2 byte
// classes where the target has them, else 64-bit words), the SSE4.1 path
// (SSSE3, SSE4.1 and POPCNT), the SSE4.1 path with its IPv6 parser
// compiled for AVX2, BMI1 and BMI2, or that with printers that compress
// their text out of one register (AVX512BW, VL, VBMI and VBMI2; all but the
// portable path x86-64 only, not under TARN_NO_SIMD).  Every level gives the same answer for every
// input; the tests force each level the machine has and compare.
// ---------------------------------------------------------------------------
enum tarn_text_level {
  TARN_TEXT_PORTABLE = 0,
  TARN_TEXT_SSE41 = 1,
  TARN_TEXT_AVX2 = 2,
  TARN_TEXT_AVX512 = 3
};

// The best level this build and processor support.
int tarn_addr_text_level_best(void);

// Makes every later call use `level`, which must be at most the best level;
// returns false (and changes nothing) otherwise.  Meant for the tests; a
// thread that parses meanwhile gets one level or the other, and so the same
// answers.
bool tarn_addr_text_level_force(int level);

#endif  // TARN_INTERNAL_H
