// tarn_bulk.cpp - batch operations over arrays of records: the in-place
// radix sort (also used by aggregation and the index build), batch parsing,
// first-match containment and aggregation to a minimal CIDR cover.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "pytarn.h"
#include "tarn_internal.h"

namespace {

// ---------------------------------------------------------------------------
// Radix sort.
//
// Records are sorted on a key of `len` bytes, compared as unsigned numbers
// from the first byte on.  Two kinds of key:
//
//   prefix_key  for TARN_SORT_NETWORK_ASC: address bytes 0..addr_len-1, then
//               pfxlen; for TARN_SORT_PFXLEN_DESC: 255 - pfxlen, then the
//               address bytes.  Each key byte is one byte of the record,
//               possibly complemented, so the key is a table of where its
//               bytes sit in the record.  It never reads `family`, so
//               records whose family holds an order tag sort like any other.
//   tag_key     the order tag kept in `family`, 4 bytes, most significant
//               first.
// ---------------------------------------------------------------------------

constexpr unsigned kPrefixMaxKey = 17;  // 16 address bytes and the length

// Reads one key byte of a prefix key: record byte `offset`, XORed with
// `flip` (0xFF turns pfxlen into 255 - pfxlen, as ~x == 255 - x in 8 bits).
struct prefix_key_byte {
  size_t offset;
  unsigned flip;
  unsigned operator()(const tarn_prefix_t* p) const {
    return reinterpret_cast<const unsigned char*>(p)[offset] ^ flip;
  }
};

struct prefix_key {
  unsigned len;                   // key bytes: addr_len + 1
  uint8_t offset[kPrefixMaxKey];  // record byte that holds key byte k
  uint8_t flip[kPrefixMaxKey];
  prefix_key_byte at(unsigned byte_pos) const { return {offset[byte_pos], flip[byte_pos]}; }
};

// Reads one byte of a record's order tag, most significant first.
struct tag_key_byte {
  unsigned byte_pos;
  unsigned operator()(const tarn_prefix_t* p) const {
    return radix_u32_byte(prefix_order_tag_get(p), byte_pos);
  }
};

struct tag_key {
  unsigned len = 4;
  tag_key_byte at(unsigned byte_pos) const { return {byte_pos}; }
};

// The prefix key of `order` for addresses of `addr_len` bytes.  Only 0
// selects the ascending key; every other value selects the descending one.
void prefix_key_init(prefix_key* key, size_t addr_len, tarn_sort_order_t order) {
  constexpr size_t addr_offset = offsetof(tarn_prefix_t, addr) + offsetof(tarn_addr_t, addr);
  constexpr size_t pfxlen_offset = offsetof(tarn_prefix_t, pfxlen);
  key->len = static_cast<unsigned>(addr_len + 1);
  unsigned k = 0;
  if (order != TARN_SORT_NETWORK_ASC) {
    key->offset[k] = pfxlen_offset;
    key->flip[k++] = 0xFF;
  }
  for (size_t i = 0; i < addr_len; i++) {
    key->offset[k] = static_cast<uint8_t>(addr_offset + i);
    key->flip[k++] = 0;
  }
  if (order == TARN_SORT_NETWORK_ASC) {
    key->offset[k] = pfxlen_offset;
    key->flip[k++] = 0;
  }
}

// Scratch shared by every level of a sort.  `count` is all zeros between
// bucket passes (each pass clears the entries it used), so a pass costs time
// in its records and its distinct key bytes, never in all 256 buckets: the
// deep levels of a sort are mostly segments of a handful of records.
struct radix_scratch {
  size_t count[256];
  size_t next[256];  // next free position of each bucket while distributing
};

void radix_scratch_init(radix_scratch* scratch) {
  memset(scratch->count, 0, sizeof scratch->count);
}

// The key bytes present in a segment, one bit per value.
struct radix_bytes {
  uint64_t bits[4];
};

// Calls fn(c) for every byte value c present, in ascending order.
template <typename Fn>
inline void radix_bytes_for_each(const radix_bytes& present, Fn fn) {
  for (unsigned w = 0; w < 4; w++)
    for (uint64_t word = present.bits[w]; word != 0; word &= word - 1)
      fn(w * 64u + static_cast<unsigned>(__builtin_ctzll(word)));
}

// A whole record as bytes, so that every byte travels with it (padding and
// whatever the family field carries included).
struct record_bytes {
  unsigned char b[sizeof(tarn_prefix_t)];
};

// How far ahead of a bucket's next free slot the distribution asks for the
// cache line it will write soon.  In a large segment the buckets' write
// positions are hundreds of independent streams, too many for the hardware
// to follow, and a slot's line would otherwise be fetched only when reached.
constexpr size_t kRadixPrefetchAhead = 8;

// One bucket pass over seg[0..n) on the key byte that `key_byte` reads.  On
// return `present` holds the key bytes that occur and start_pos[c] is the
// first position of bucket c for every present c; a bucket ends where the
// next present one starts, the last at n.  Entries of absent bytes are not
// written.  Returns the number of distinct key bytes.
//
// Steps:
//  1. Count the records per key byte value.
//  2. Bucket bounds: each bucket starts where the one before it ends;
//     next[c], a copy, is the next free position of bucket c.
//  3. Distribute in place.  A cursor i walks the array from the front.  If
//     the record at i belongs to the bucket that contains i, the cursor
//     advances; otherwise the record at i is exchanged with the one at
//     next[d] (d the record's byte: its bucket's next free slot), next[d]
//     grows by one, and position i is examined again without advancing.
//
// Step 3 is written bucket by bucket, which makes the same exchanges in the
// same order as the plain cursor walk:
//  - When the cursor enters bucket c, positions [start_pos[c], next[c]) hold
//    records that earlier exchanges put there, all of byte c, so the walk
//    would only advance over them: the cursor starts at next[c].
//  - Once the cursor is inside bucket c, next[c] is never used again: a
//    record of byte c at the cursor is in place, and no record of byte c
//    lies behind bucket c's end (every earlier bucket is full of its own
//    records, so the records of byte c are in bucket c or not yet examined).
//  - When the cursor reaches the last non-empty bucket, every other record
//    is in its place, so every remaining one is too: that bucket is skipped.
//  - A run of exchanges at one position i is a cycle: the record leaving i
//    goes to slot s1, the one from s1 comes to i and goes on to s2, and so
//    on until the one that arrives belongs at i.  The record standing at i
//    is carried in a local instead of being written to i after each
//    exchange; it is stored once when the run ends.  Every slot receives
//    exactly what the exchanges would put there.
// An exchange moves one record into its final bucket, so the pass makes at
// most n exchanges.
template <typename Off, typename KeyByte>
unsigned radix_distribute(tarn_prefix_t* seg, Off n, KeyByte key_byte, radix_scratch* scratch,
                          Off* start_pos, radix_bytes* present) {
  size_t* count = scratch->count;
  size_t* next = scratch->next;

  // 1. Count.
  *present = radix_bytes{{0, 0, 0, 0}};
  for (Off i = 0; i < n; i++) {
    unsigned d = key_byte(&seg[i]);
    count[d]++;
    present->bits[d / 64] |= uint64_t{1} << (d % 64);
  }

  // 2. Bounds, leaving `count` all zeros again.
  unsigned distinct = 0;
  Off sum = 0;
  radix_bytes_for_each(*present, [&](unsigned c) {
    start_pos[c] = sum;
    next[c] = sum;
    sum += static_cast<Off>(count[c]);
    count[c] = 0;
    distinct++;
  });
  if (distinct == 1) return 1;  // one bucket: every record is in place

  // 3. Distribute, bucket by bucket; bucket `prev` ends where `c` starts.
  unsigned prev = 256;
  radix_bytes_for_each(*present, [&](unsigned c) {
    if (prev != 256) {
      Off bucket_end = start_pos[c];
      for (Off i = static_cast<Off>(next[prev]); i < bucket_end; i++) {
        unsigned d = key_byte(&seg[i]);
        if (d == prev) continue;
        record_bytes at_i;
        memcpy(&at_i, &seg[i], sizeof at_i);
        do {
          Off slot = static_cast<Off>(next[d]++);
          if (slot + kRadixPrefetchAhead < n)
            __builtin_prefetch(&seg[slot + kRadixPrefetchAhead], 1);
          d = key_byte(&seg[slot]);  // the displaced record's byte, read in place
          record_bytes displaced;
          memcpy(&displaced, &seg[slot], sizeof displaced);
          memcpy(&seg[slot], &at_i, sizeof at_i);
          at_i = displaced;
        } while (d != prev);
        memcpy(&seg[i], &at_i, sizeof at_i);
      }
    }
    prev = c;
  });
  return distinct;
}

// Sorts seg[0..n) on key bytes byte_pos..key->len-1, most significant first:
// one bucket pass on byte byte_pos, then the same on every bucket of two or
// more records with the next byte, buckets in ascending order.  There is no
// switch to another sort for small segments.
//
// Stack: each level keeps only its bucket starts and the bitmap of present
// bytes; positions are relative to the segment, so they are 32-bit whenever
// the segment has fewer than 2^32 records (about 1 KiB per level, 17 levels
// at most for IPv6 keys).  A segment that falls into one bucket moves on to
// the next byte in the same frame.
template <typename Off, typename Key>
void radix_sort_segment(tarn_prefix_t* seg, Off n, unsigned byte_pos, const Key* key,
                        radix_scratch* scratch) {
  Off start_pos[256];
  radix_bytes present;
  for (; n >= 2 && byte_pos < key->len; byte_pos++) {
    if (radix_distribute<Off>(seg, n, key->at(byte_pos), scratch, start_pos, &present) == 1)
      continue;
    if (byte_pos + 1 >= key->len) return;

    auto sort_bucket = [&](Off b, Off e) {
      if (e - b < 2) return;
      if constexpr (sizeof(Off) > sizeof(uint32_t)) {
        if (e - b <= UINT32_MAX) {
          radix_sort_segment<uint32_t>(seg + b, static_cast<uint32_t>(e - b), byte_pos + 1, key,
                                       scratch);
          return;
        }
      }
      radix_sort_segment<Off>(seg + b, e - b, byte_pos + 1, key, scratch);
    };
    bool first = true;
    Off bucket_start = 0;
    radix_bytes_for_each(present, [&](unsigned c) {
      if (!first) sort_bucket(bucket_start, start_pos[c]);
      bucket_start = start_pos[c];
      first = false;
    });
    sort_bucket(bucket_start, n);
    return;
  }
}

// Sorts prefixes[0..count) on `key`.  `scratch` must have all-zero counts;
// it has them again on return.
template <typename Key>
void radix_sort_with_key(tarn_prefix_t* prefixes, size_t count, const Key* key,
                         radix_scratch* scratch) {
  if (count < 2) return;
  if (count <= UINT32_MAX)
    radix_sort_segment<uint32_t>(prefixes, static_cast<uint32_t>(count), 0, key, scratch);
  else
    radix_sort_segment<size_t>(prefixes, count, 0, key, scratch);
}

// Sorts prefixes[start..end) by ascending order tag.
void radix_sort_order_tags(tarn_prefix_t* prefixes, size_t start, size_t end,
                           radix_scratch* scratch) {
  tag_key key;
  radix_sort_with_key(prefixes + start, end - start, &key, scratch);
}

// Puts every run of equal records of a descending sort back into input
// order by sorting the run on its order tags.
void prefixes_restore_desc_duplicate_order(tarn_prefix_t* prefixes, size_t count,
                                           tarn_family_t family) {
  size_t addr_len = tarn_addr_len(family);
  radix_scratch scratch;  // one for every run
  radix_scratch_init(&scratch);
  size_t run_start = 0;
  while (run_start + 1 < count) {
    size_t run_end = run_start + 1;
    while (run_end < count &&
           prefixes_equal_key(&prefixes[run_start], &prefixes[run_end], addr_len))
      run_end++;
    if (run_end - run_start >= 2) radix_sort_order_tags(prefixes, run_start, run_end, &scratch);
    run_start = run_end;
  }
}

// The family checks shared by the batch functions that take a prefix array:
// the first record must be IPv4 or IPv6, a later one of family 0 is invalid
// and one of another family a mismatch; the first offender decides.
tarn_err_t prefixes_check_families(const tarn_prefix_t* prefixes, size_t count) {
  tarn_family_t family = prefixes[0].addr.family;
  if (family != TARN_AF_INET && family != TARN_AF_INET6) return TARN_ERR_INVAL;
  for (size_t i = 1; i < count; i++) {
    tarn_family_t f = prefixes[i].addr.family;
    if (f == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
    if (f != family) return TARN_ERR_FAMILY;
  }
  return TARN_OK;
}

// The prefix-length check of batch containment, which reads only each
// prefix's first pfxlen bits: a length above the family maximum is refused.
// The caller has checked the families, so `family` is that of every record.
tarn_err_t prefixes_check_lengths(const tarn_prefix_t* prefixes, size_t count,
                                  tarn_family_t family) {
  for (size_t i = 0; i < count; i++)
    if (!tarn_pfxlen_valid(family, prefixes[i].pfxlen)) return TARN_ERR_PFXLEN;
  return TARN_OK;
}

// True when the first pfx->pfxlen bits of `addr` equal those of the prefix's
// address.  Bits of the prefix after its length are not read, so host bits
// set in the prefix do not matter.  The record's family is not read either:
// the caller has matched it with `family` and checked the length.
inline bool bulk_prefix_contains(const tarn_prefix_t* pfx, key128 addr, tarn_family_t family) {
  return key128_contains(key128_from_bytes(pfx->addr.addr.v6, family), tarn_addr_bits(family),
                         pfx->pfxlen, addr);
}

// First-match containment by a plain nested scan: per address, the first
// prefix in list order that contains it, or -1.  Arrays as validated by
// tarn_bulk_contains, every record of `family`.
void contains_by_scan(const tarn_addr_t* addrs, size_t addr_count, const tarn_prefix_t* prefixes,
                      size_t prefix_count, tarn_family_t family, tarn_ssize_t* matches) {
  for (size_t i = 0; i < addr_count; i++) {
    tarn_ssize_t match = -1;
    const key128 key = key128_load(&addrs[i]);
    for (size_t k = 0; k < prefix_count; k++) {
      if (bulk_prefix_contains(&prefixes[k], key, family)) {
        match = static_cast<tarn_ssize_t>(k);
        break;
      }
    }
    matches[i] = match;
  }
}

// True when a and b are the two halves of one parent: equal non-zero
// lengths, one family, and addresses that agree in the parent's pfxlen - 1
// bits.  The bit at pfxlen itself is not compared; the callers hold no
// duplicates, so two records that pass differ exactly there.
inline bool prefixes_are_siblings(const tarn_prefix_t* a, const tarn_prefix_t* b) {
  if (a->pfxlen != b->pfxlen || a->pfxlen == 0) return false;  // a /0 has no parent
  if (a->addr.family != b->addr.family) return false;
  return key128_contains(key128_load(&a->addr), tarn_addr_bits(a->addr.family), a->pfxlen - 1u,
                         key128_load(&b->addr));
}

// `out` becomes the parent of `in`: one bit shorter, every address bit after
// the new length cleared, family copied.  in->pfxlen is at least 1.
inline void prefix_supernet_into(const tarn_prefix_t* in, tarn_prefix_t* out) {
  memcpy(out, in, sizeof *out);
  const tarn_family_t family = in->addr.family;
  out->pfxlen = static_cast<uint8_t>(in->pfxlen - 1u);
  key128_store(key128_network(key128_load(&in->addr), tarn_addr_bits(family), out->pfxlen), family,
               &out->addr);
}

inline void prefix_move(tarn_prefix_t* prefixes, size_t to, size_t from) {
  if (to != from) memcpy(&prefixes[to], &prefixes[from], sizeof prefixes[0]);
}

// Aggregation of a large IPv4 list sorts 64-bit keys instead of records.
// A canonical IPv4 record is wholly described by key = address << 8 | length,
// and key order is network order (address, then length).  The records are
// 24 bytes and a key 8, so the array itself has room for the keys and an
// equal scratch array, and no heap memory is needed:
//  1. compact: key i is written to bytes [8i, 8i + 8), ascending.  That
//     range lies inside records 0..i, all of them already read;
//  2. sort the keys with a least-significant-digit radix sort, four passes
//     of 10 bits over the 40-bit keys, between [0, 8n) and [8n, 16n); after
//     an even number of passes they are back in [0, 8n);
//  3. expand: record i is rebuilt from key i, descending.  Record i's bytes
//     [24i, 24i + 24) hold keys 3i..3i+2, none of them still needed (i > 0:
//     3i > i; i = 0: key 0 is read first).
// Every pass reads and writes 8 bytes per record in sequence or into 1024
// streams, against the in-place radix sort's 24-byte exchanges over a whole
// record key: about twice as fast from a few thousand records up.  Equal
// keys are equal records, so the order among them does not matter; the
// rebuilt records are zero beyond their 4 address bytes.
constexpr size_t kKeySortMin = 4096;
constexpr unsigned kKeyDigitBits = 10;
constexpr unsigned kKeyPasses = 4;  // 40 key bits
static_assert(sizeof(tarn_prefix_t) >= 16, "room for a key and its scratch per record");

inline uint64_t key_at(const unsigned char* base, size_t i) {
  uint64_t k;
  memcpy(&k, base + 8 * i, sizeof k);
  return k;
}

inline void key_put(unsigned char* base, size_t i, uint64_t k) {
  memcpy(base + 8 * i, &k, sizeof k);
}

void ipv4_key_sort(tarn_prefix_t* prefixes, size_t n) {
  unsigned char* const base = reinterpret_cast<unsigned char*>(prefixes);
  constexpr size_t kDigits = size_t{1} << kKeyDigitBits;
  constexpr uint64_t kDigitMask = kDigits - 1;
  size_t count[kKeyPasses][kDigits] = {};

  // 1. Compact, counting every pass's digits on the way.
  for (size_t i = 0; i < n; i++) {
    const unsigned char* rec = base + i * sizeof(tarn_prefix_t);
    uint8_t v4[4];
    memcpy(v4, rec + offsetof(tarn_prefix_t, addr) + offsetof(tarn_addr_t, addr), 4);
    const uint64_t k = (uint64_t{key128_load_be32(v4)} << 8) | rec[offsetof(tarn_prefix_t, pfxlen)];
    for (unsigned p = 0; p < kKeyPasses; p++) count[p][(k >> (p * kKeyDigitBits)) & kDigitMask]++;
    key_put(base, i, k);
  }

  // 2. Sort, stably, lowest digit first.
  unsigned char* from = base;
  unsigned char* to = base + 8 * n;
  for (unsigned p = 0; p < kKeyPasses; p++) {
    size_t next[kDigits];
    size_t sum = 0;
    for (size_t d = 0; d < kDigits; d++) {
      next[d] = sum;
      sum += count[p][d];
    }
    const unsigned shift = p * kKeyDigitBits;
    for (size_t i = 0; i < n; i++) {
      const uint64_t k = key_at(from, i);
      key_put(to, next[(k >> shift) & kDigitMask]++, k);
    }
    unsigned char* t = from;
    from = to;
    to = t;
  }

  // 3. Expand.
  for (size_t i = n; i-- > 0;) {
    const uint64_t k = key_at(base, i);
    tarn_prefix_t rec;
    memset(&rec, 0, sizeof rec);
    rec.addr.family = TARN_AF_INET;
    const uint32_t net = static_cast<uint32_t>(k >> 8);
    rec.addr.addr.v4[0] = static_cast<uint8_t>(net >> 24);
    rec.addr.addr.v4[1] = static_cast<uint8_t>(net >> 16);
    rec.addr.addr.v4[2] = static_cast<uint8_t>(net >> 8);
    rec.addr.addr.v4[3] = static_cast<uint8_t>(net);
    rec.pfxlen = static_cast<uint8_t>(k);
    memcpy(base + i * sizeof rec, &rec, sizeof rec);
  }
}

}  // namespace

void radix_sort_prefixes(tarn_prefix_t* prefixes, size_t count, tarn_sort_order_t order,
                         tarn_family_t family) {
  if (count < 2) return;
  prefix_key key;
  prefix_key_init(&key, tarn_addr_len(family), order);
  radix_scratch scratch;
  radix_scratch_init(&scratch);
  radix_sort_with_key(prefixes, count, &key, &scratch);
}

tarn_err_t tarn_bulk_sort(tarn_prefix_t* prefixes, size_t count, tarn_sort_order_t order) {
  if (count == 0) return TARN_OK;
  if (prefixes == nullptr || order > TARN_SORT_PFXLEN_DESC) return TARN_ERR_INVAL;
  tarn_err_t rc = prefixes_check_families(prefixes, count);
  if (rc != TARN_OK) return rc;
  tarn_family_t family = prefixes[0].addr.family;

  if (order == TARN_SORT_NETWORK_ASC) {
    radix_sort_prefixes(prefixes, count, TARN_SORT_NETWORK_ASC, family);
    return TARN_OK;
  }

  // The descending sort is made stable with order tags: record i carries
  // tag i through the unstable sort, and each run of equal records is then
  // sorted back into tag order.  The tags must fit in 32 bits.
  if (count > UINT32_MAX) return TARN_ERR_INVAL;
  prefixes_prepare_order_tags(prefixes, count);
  radix_sort_prefixes(prefixes, count, TARN_SORT_PFXLEN_DESC, family);
  prefixes_restore_desc_duplicate_order(prefixes, count, family);
  prefixes_restore_family(prefixes, count, family);
  return TARN_OK;
}

tarn_err_t tarn_bulk_parse(const char** srcs, size_t count, tarn_addr_t* out, tarn_err_t* errs) {
  if (count == 0) return TARN_OK;
  if (srcs == nullptr || out == nullptr) return TARN_ERR_INVAL;
  for (size_t i = 0; i < count; i++)
    if (srcs[i] == nullptr) return TARN_ERR_INVAL;

  // The reference family is that of the first item that parses; failed items
  // never count towards a mismatch.  Every item is attempted.
  bool ref_family_set = false, has_parse_failure = false, has_family_mismatch = false;
  tarn_family_t ref_family = TARN_AF_UNSPEC;
  for (size_t i = 0; i < count; i++) {
    tarn_err_t rc = tarn_addr_parse(srcs[i], &out[i]);
    if (rc != TARN_OK) {
      memset(&out[i], 0, sizeof out[i]);
      if (errs != nullptr) errs[i] = TARN_ERR_PARSE;
      has_parse_failure = true;
      continue;
    }
    if (errs != nullptr) errs[i] = TARN_OK;
    if (!ref_family_set) {
      ref_family = out[i].family;
      ref_family_set = true;
    } else if (out[i].family != ref_family) {
      has_family_mismatch = true;
    }
  }
  if (has_family_mismatch) return TARN_ERR_FAMILY;
  return has_parse_failure ? TARN_ERR_PARSE : TARN_OK;
}

tarn_err_t tarn_bulk_contains(const tarn_addr_t* addrs, size_t addr_count,
                              const tarn_prefix_t* prefixes, size_t prefix_count,
                              tarn_ssize_t* matches, tarn_err_t* errs) {
  if (addr_count == 0) return TARN_OK;
  if (addrs == nullptr || matches == nullptr) return TARN_ERR_INVAL;
  if (prefix_count == 0) {
    // Nothing can match; the addresses are not looked at.
    for (size_t i = 0; i < addr_count; i++) {
      matches[i] = -1;
      if (errs != nullptr) errs[i] = TARN_OK;
    }
    return TARN_OK;
  }
  if (prefixes == nullptr) return TARN_ERR_INVAL;

  tarn_family_t addr_family = addrs[0].family;
  if (addr_family != TARN_AF_INET && addr_family != TARN_AF_INET6) return TARN_ERR_INVAL;
  for (size_t i = 1; i < addr_count; i++) {
    if (addrs[i].family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
    if (addrs[i].family != addr_family) return TARN_ERR_FAMILY;
  }
  tarn_err_t rc = prefixes_check_families(prefixes, prefix_count);
  if (rc != TARN_OK) return rc;
  tarn_family_t pfx_family = prefixes[0].addr.family;
  rc = prefixes_check_lengths(prefixes, prefix_count, pfx_family);
  if (rc != TARN_OK) return rc;

  // There is no cross-family containment: every address is reported
  // unmatched with the family code.
  if (addr_family != pfx_family) {
    for (size_t i = 0; i < addr_count; i++) {
      matches[i] = -1;
      if (errs != nullptr) errs[i] = TARN_ERR_FAMILY;
    }
    return TARN_ERR_FAMILY;
  }

  // First match in list order, not the longest.  Long lists are answered
  // from a table of address intervals; short lists and small batches are
  // scanned, and so is a batch whose table cannot be allocated (same
  // answers).
  if (!tarn_contains_by_intervals(addrs, addr_count, prefixes, prefix_count, pfx_family, matches))
    contains_by_scan(addrs, addr_count, prefixes, prefix_count, pfx_family, matches);
  if (errs != nullptr)
    for (size_t i = 0; i < addr_count; i++) errs[i] = TARN_OK;
  return TARN_OK;
}

// Aggregation to the minimal CIDR cover, in place:
//  1. Sort ascending by (address, length), so a supernet precedes the
//     subnets that share its network address and every prefix precedes the
//     prefixes inside it.
//  2. Drop duplicates (equal address and length), keeping the first.
//  3. Drop covered prefixes: thanks to the order, a prefix that covers later
//     records is the last kept record when they are reached, so each record
//     is compared with the last kept one only.
//  4. Merge siblings in passes.  A merged parent replaces the last written
//     record, so one pass merges a chain (two /25 halves into a /24, which
//     then meets the next /24); a parent whose sibling was written before it
//     is merged by the next pass.  Passes run until one merges nothing.
// The input must be canonical (checked before anything moves): a record
// with host bits set would sort by its whole address and could hide the
// space it stands for (10.0.0.5/8 sorts after 10.0.0.0/29 and would be
// dropped as covered by nothing, or cover nothing it should).  The result is
// canonical, sorted ascending, and a merged parent takes the place and
// network address of its lower half.
tarn_err_t tarn_bulk_aggregate(tarn_prefix_t* prefixes, size_t count, size_t* out_count) {
  if (out_count == nullptr) return TARN_ERR_INVAL;
  if (count == 0) {
    *out_count = 0;
    return TARN_OK;
  }
  if (prefixes == nullptr) return TARN_ERR_INVAL;
  tarn_err_t rc = prefixes_check_families(prefixes, count);
  if (rc != TARN_OK) return rc;
  tarn_family_t family = prefixes[0].addr.family;
  rc = prefixes_check_canonical(prefixes, count, family);
  if (rc != TARN_OK) return rc;
  size_t addr_len = tarn_addr_len(family);

  // 1. Sort.
  if (family == TARN_AF_INET && count >= kKeySortMin)
    ipv4_key_sort(prefixes, count);
  else
    radix_sort_prefixes(prefixes, count, TARN_SORT_NETWORK_ASC, family);

  // 2. Duplicates.
  size_t write_idx = 0;
  for (size_t i = 1; i < count; i++) {
    if (prefixes_equal_key(&prefixes[write_idx], &prefixes[i], addr_len)) continue;
    prefix_move(prefixes, ++write_idx, i);
  }
  size_t len = write_idx + 1;

  // 3. Covered prefixes.
  if (len >= 2) {
    write_idx = 0;
    for (size_t i = 1; i < len; i++) {
      if (bulk_prefix_contains(&prefixes[write_idx], key128_load(&prefixes[i].addr), family))
        continue;
      prefix_move(prefixes, ++write_idx, i);
    }
    len = write_idx + 1;
  }

  // 4. Siblings; write_idx now counts the records written in this pass.
  bool merged;
  do {
    merged = false;
    write_idx = 0;
    for (size_t i = 0; i < len; i++) {
      if (write_idx > 0 && prefixes_are_siblings(&prefixes[write_idx - 1], &prefixes[i])) {
        tarn_prefix_t super;
        prefix_supernet_into(&prefixes[i], &super);
        memcpy(&prefixes[write_idx - 1], &super, sizeof super);
        merged = true;
        continue;
      }
      prefix_move(prefixes, write_idx, i);
      write_idx++;
    }
    len = write_idx;
  } while (merged);

  *out_count = len;
  return TARN_OK;
}
