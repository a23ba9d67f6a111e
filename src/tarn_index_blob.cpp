// tarn_index_blob.cpp - a built index as one byte string, and the validating
// load that turns such a string back into an index.
//
// tarn_index_serialize writes the index's arrays as they are, field by field
// in little-endian order (never a struct image: no padding bytes, no host
// byte order, and none of the caller's bytes that IPv4 records leave unused).
// tarn_index_load accepts any bytes at all: it refuses with TARN_ERR_INVAL
// every blob that breaks an invariant a lookup or a query relies on, so that
// no input, damaged or forged, can make a later call on the loaded index read
// out of bounds or walk forever.  Loading is a few passes of checks and copies,
// far cheaper than tarn_index_create's sort and lookup structure build.
//
// Layout, format version 4.  Integers are little-endian; the sections follow
// the header back to back in the order listed, without padding.
//
//   offset  size  field
//        0     8  magic "TARNIDX\0"
//        8     4  format version (4; 3 and 2 are read too, below)
//       12     4  header length (108)
//       16     4  family (4 or 6)
//       20     4  lookup structure present: 1, or 0 (then its word count and
//                 direct_bits are 0)
//       24     8  prefix_count: 1 .. 2^32 - 2
//       32     8  distinct_count: 1 .. prefix_count
//       40     8  node_count: 0 (version 2: 1 .. 2^32 - 2)
//       48     8  the lookup structure's word count: 0 .. 2^32 - 1
//       56     4  its direct_bits: 0 .. 24
//       60    40  five section lengths in bytes, in section order
//      100     8  checksum: XXH64 (seed 0) of the payload
//      108        the payload: the sections
//
//   section         record                                     records
//   nodes           12 bytes each (version 2 only)             node_count
//   prefixes        address in network order (4 or 16 bytes),  prefix_count
//                   length u8 (5 or 17 bytes)
//   orig_indices    u32                                        prefix_count
//   lookup direct   u32                                        2^direct_bits, 0 when absent
//   lookup words    u32                                        its word count
//
// The section lengths repeat what the counts imply, so that a reader finds
// every section from the header alone and a blob whose counts and lengths
// disagree is refused rather than read at the wrong offsets.  The checksum is
// the cheap first line against damage; it proves nothing against a forged
// blob, which is why every invariant is checked after it.  A change of what
// an index holds gets a new version number: version 2 dropped the LC-trie's
// lookup shortcut once the lookup structure answered every lookup,
// version 3 drops the LC-trie itself, and version 4 lets an IPv6 lookup
// structure hold skip records (a blob of version 3 has none, so its
// structure reads the same).  A lookup never walks it while the
// lookup structure is there, and only the covering walk and the rare index
// without a lookup structure need it, so an index builds it from its sorted
// prefixes on first need (tarn_index_lctrie); carrying it cost nearly half
// of a blob (18.5 of 39 MiB for 1.04M IPv4 prefixes) and a third of the
// load, checking that its nodes formed one tree.  A version 2 blob still
// loads: its node section is held to its length and the checksum, and
// dropped; a version 3 blob loads as it is.  Every other version is
// refused.
//
// The lookup structure (tarn_lookup.cpp) is derived from the prefixes, yet
// written as it is and checked by tarn_lookup_validate: building it again
// was measured at 120 ms for 1.04M IPv4 prefixes, several times the whole
// rest of the load, and the check is two passes over it (4 ms).
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <bit>

#include "pytarn.h"
#include "tarn_internal.h"

namespace {

constexpr uint8_t kMagic[8] = {'T', 'A', 'R', 'N', 'I', 'D', 'X', '\0'};
constexpr uint32_t kFormatVersion = 4;
constexpr uint32_t kTrieVersion = 3;   // no LC-trie, no skip records
constexpr uint32_t kNodesVersion = 2;  // the last version that carried the LC-trie
constexpr size_t kHeaderLen = 108;
constexpr size_t kSectionLenAt = 60;
constexpr size_t kChecksumAt = 100;
// The limits tarn_index_create works within: positions are 32-bit with all
// ones meaning "none".
constexpr uint64_t kMaxCount = 0xFFFFFFFEu;
constexpr uint64_t kMaxNodes = 0xFFFFFFFEu;
constexpr size_t kNodeBytes = 12;
constexpr size_t kOrigBytes = 4;
// Bounds the shift of the direct table's size; tarn_lookup_validate holds
// the structure to its own, tighter limits.
constexpr unsigned kMaxDirectBits = 24;
constexpr uint64_t kMaxLookupCount = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// Little-endian fields.
// ---------------------------------------------------------------------------

inline uint32_t get_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t get_le64(const uint8_t* p) {
  return static_cast<uint64_t>(get_le32(p)) | (static_cast<uint64_t>(get_le32(p + 4)) << 32);
}
inline uint8_t* put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
  return p + 4;
}
inline uint8_t* put_le64(uint8_t* p, uint64_t v) {
  put_le32(p, static_cast<uint32_t>(v));
  return put_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

// ---------------------------------------------------------------------------
// The checksum: XXH64 with seed 0 (Y. Collet's xxHash, 64-bit variant), over
// the payload.  Four independent lanes of 64-bit multiply-rotate rounds run
// at several bytes per cycle, where a table-driven CRC-32 was measured to
// take a third of the whole load; any tool with xxHash can check a blob.
// The header needs no checksum: every field of it is either a constant or
// fixes the length of a section, so any change to it is refused by the
// header checks alone.
// ---------------------------------------------------------------------------

constexpr uint64_t kP1 = 0x9E3779B185EBCA87u, kP2 = 0xC2B2AE3D27D4EB4Fu;
constexpr uint64_t kP3 = 0x165667B19E3779F9u, kP4 = 0x85EBCA77C2B2AE63u;
constexpr uint64_t kP5 = 0x27D4EB2F165667C5u;

inline uint64_t rotl64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }  // r is 1..63
inline uint64_t xxh_round(uint64_t acc, uint64_t input) {
  return rotl64(acc + input * kP2, 31) * kP1;
}
inline uint64_t xxh_merge(uint64_t h, uint64_t lane) {
  return (h ^ xxh_round(0, lane)) * kP1 + kP4;
}

// The four lanes over p[0..n), n a multiple of 32.
inline void xxh_stripes(uint64_t v[4], const uint8_t* p, size_t n) {
  for (const uint8_t* const end = p + n; p != end; p += 32)
    for (size_t i = 0; i < 4; i++) v[i] = xxh_round(v[i], get_le64(p + 8 * i));
}

// The hash of `total` bytes whose whole 32-byte stripes went into v and
// whose last total % 32 bytes are p[0..total % 32).
uint64_t xxh_finish(const uint64_t v[4], uint64_t total, const uint8_t* p) {
  const uint8_t* const end = p + total % 32;
  uint64_t h;
  if (total >= 32) {
    h = rotl64(v[0], 1) + rotl64(v[1], 7) + rotl64(v[2], 12) + rotl64(v[3], 18);
    for (size_t i = 0; i < 4; i++) h = xxh_merge(h, v[i]);
  } else {
    h = kP5;
  }
  h += total;
  for (; end - p >= 8; p += 8) h = rotl64(h ^ xxh_round(0, get_le64(p)), 27) * kP1 + kP4;
  if (end - p >= 4) {
    h = rotl64(h ^ (get_le32(p) * kP1), 23) * kP2 + kP3;
    p += 4;
  }
  for (; p < end; p++) h = rotl64(h ^ (*p * kP5), 11) * kP1;
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  return h ^ (h >> 32);
}

// XXH64 of bytes that arrive in pieces: digest() is the hash of all of them
// back to back.  A stripe split between two pieces waits in `held`.
struct xxh64_stream {
  uint64_t v[4] = {kP1 + kP2, kP2, 0, 0 - kP1};
  uint64_t total = 0;
  uint8_t held[32];
  size_t held_len = 0;

  void update(const uint8_t* p, size_t n) {
    total += n;
    if (held_len > 0) {
      const size_t take = n < 32 - held_len ? n : 32 - held_len;
      memcpy(held + held_len, p, take);
      held_len += take;
      p += take;
      n -= take;
      if (held_len < 32) return;
      xxh_stripes(v, held, 32);
      held_len = 0;
    }
    const size_t whole = n & ~size_t{31};
    xxh_stripes(v, p, whole);
    held_len = n - whole;
    if (held_len > 0) memcpy(held, p + whole, held_len);
  }
  uint64_t digest() const { return xxh_finish(v, total, held); }
};

uint64_t xxh64(const uint8_t* p, size_t n) {
  xxh64_stream hash;
  hash.update(p, n);
  return hash.digest();
}

// ---------------------------------------------------------------------------
// Layout.
// ---------------------------------------------------------------------------

enum section { kNodes, kPrefixes, kOrig, kDirect, kWords, kSections };

// Byte lengths of the sections for the given counts, and the blob's total.
// Every count is below 2^32 and every record at most 17 bytes, so no sum
// comes near 2^64.
struct blob_layout {
  uint64_t len[kSections];
  uint64_t total;
};

size_t prefix_record_bytes(tarn_family_t family) { return tarn_addr_len(family) + 1; }

// The lookup structure's part of the header.
struct lookup_shape {
  bool present;
  unsigned direct_bits;
  uint64_t word_count;
};

lookup_shape lookup_shape_of(const tarn_index* index) {
  const tarn_lookup_t& t = index->lookup;
  if (t.direct == nullptr) return {false, 0, 0};
  return {true, t.direct_bits, t.word_count};
}

blob_layout layout_for(tarn_family_t family, uint64_t prefix_count, uint64_t node_count,
                       const lookup_shape& lk) {
  blob_layout l;
  l.len[kNodes] = node_count * kNodeBytes;
  l.len[kPrefixes] = prefix_count * prefix_record_bytes(family);
  l.len[kOrig] = prefix_count * kOrigBytes;
  l.len[kDirect] = lk.present ? (uint64_t{1} << lk.direct_bits) * 4 : 0;
  l.len[kWords] = lk.word_count * 4;
  l.total = kHeaderLen;
  for (uint64_t n : l.len) l.total += n;
  return l;
}

// What the header says, read once; nothing is trusted before the checks.
struct blob_header {
  tarn_family_t family;
  uint64_t prefix_count, distinct_count, node_count;
  lookup_shape lookup;
  blob_layout layout;
};

// Step 1 of the load (see tarn_index_load).
bool header_read(const uint8_t* b, size_t len, blob_header* h) {
  if (len < kHeaderLen || memcmp(b, kMagic, sizeof kMagic) != 0) return false;
  const uint32_t version = get_le32(b + 8);
  if ((version != kFormatVersion && version != kTrieVersion && version != kNodesVersion) ||
      get_le32(b + 12) != kHeaderLen)
    return false;
  h->family = get_le32(b + 16);
  const uint32_t present = get_le32(b + 20);
  h->prefix_count = get_le64(b + 24);
  h->distinct_count = get_le64(b + 32);
  h->node_count = get_le64(b + 40);
  const uint32_t direct_bits = get_le32(b + 56);
  h->lookup = {present == 1, direct_bits, get_le64(b + 48)};
  if (h->family != TARN_AF_INET && h->family != TARN_AF_INET6) return false;
  if (h->prefix_count == 0 || h->prefix_count > kMaxCount) return false;
  if (h->distinct_count == 0 || h->distinct_count > h->prefix_count) return false;
  if (version == kNodesVersion ? h->node_count == 0 || h->node_count > kMaxNodes
                               : h->node_count != 0)
    return false;
  if (present > 1 || direct_bits > kMaxDirectBits || h->lookup.word_count > kMaxLookupCount)
    return false;
  if (!h->lookup.present && (direct_bits | h->lookup.word_count) != 0) return false;
  h->layout = layout_for(h->family, h->prefix_count, h->node_count, h->lookup);
  for (int s = 0; s < kSections; s++)
    if (get_le64(b + kSectionLenAt + size_t{8} * static_cast<size_t>(s)) != h->layout.len[s])
      return false;
  return h->layout.total == len;
}

// ---------------------------------------------------------------------------
// Section loads.  The sections are copied from the caller's bytes exactly
// once into the new arrays (sections_copy), and every check reads the
// copies, never the caller's bytes again, so a buffer that changes while
// the load runs yields a refusal or a sound index, never one that passed
// checks on other bytes than it holds.
// ---------------------------------------------------------------------------

// The sorted records and the position map as copied, in one pass.  Per
// record k:
//   - the prefix is of the family, at most the family's length, canonical,
//     and not below record k - 1 in network order (address ascending, then
//     length ascending), so equal records are adjacent;
//   - its position is an input position (< count), the same as record
//     k - 1's when the two are equal, and otherwise (a run's first record)
//     one no earlier run took, as tarn_index_create hands them out; `seen`
//     is a zeroed bitmap of count bits.
// *distinct receives the number of runs.  One instance per family, so that
// the record width is a constant.
template <tarn_family_t Family>
bool records_check(const tarn_index* index, uint64_t* seen, size_t* distinct) {
  constexpr size_t kAddrLen = Family == TARN_AF_INET ? 4 : 16;
  constexpr unsigned kBits = 8 * kAddrLen;
  const size_t count = index->prefix_count;
  // The previous record's address and length; for IPv4 one number whose
  // order is network order: the address above 8 bits of length.
  key128 prev{0, 0};
  uint64_t prev4 = 0;
  unsigned prev_len = 0;
  uint32_t prev_orig = 0;
  size_t runs = 0;
  for (size_t k = 0; k < count; k++) {
    const uint8_t* r = index->records + k * (kAddrLen + 1);
    const unsigned len = r[kAddrLen];
    const uint32_t orig = index->orig_indices[k];
    if (len > kBits || orig >= count) return false;
    bool same;  // equal to the previous record
    if constexpr (Family == TARN_AF_INET) {
      const uint32_t net = key128_load_be32(r);
      // The host bits, len <= 32 here: a 64-bit shift by 0..32 and no branch.
      if ((net & (uint64_t{0xFFFFFFFF} >> len)) != 0) return false;
      const uint64_t order = (uint64_t{net} << 8) | len;
      if (k > 0 && order < prev4) return false;
      same = k > 0 && order == prev4;
      prev4 = order;
    } else {
      const key128 key = key128_from_bytes(r, Family);
      if (key128_has_host_bits(key, kBits, len)) return false;
      const int c = k == 0 ? 1 : key128_cmp(key, prev);
      if (c < 0 || (c == 0 && len < prev_len)) return false;
      same = c == 0 && len == prev_len;
      prev = key;
      prev_len = len;
    }
    if (same) {
      if (orig != prev_orig) return false;
    } else {
      const uint64_t bit = uint64_t{1} << (orig % 64);
      if ((seen[orig / 64] & bit) != 0) return false;
      seen[orig / 64] |= bit;
      runs++;
    }
    prev_orig = orig;
  }
  *distinct = runs;
  return true;
}

// n little-endian 32-bit words into host order (big-endian hosts only: a
// little-endian one copies the sections as they are).
[[maybe_unused]] void le32_copy(uint32_t* to, const uint8_t* from, size_t n) {
  for (size_t i = 0; i < n; i++) to[i] = get_le32(from + 4 * i);
}

// The caller's bytes from[0..n), one section, copied a chunk at a time
// into `to` (null: a section that is only hashed), each chunk hashed from
// the copy while it is still in cache.  Used where the host is
// little-endian, which stores every section as the blob holds it.
void section_copy(uint8_t* to, const uint8_t* from, size_t n, xxh64_stream* hash) {
  constexpr size_t kChunk = size_t{64} << 10;
  for (size_t at = 0; at < n; at += kChunk) {
    const size_t k = n - at < kChunk ? n - at : kChunk;
    if (to != nullptr) memcpy(to + at, from + at, k);
    hash->update(to != nullptr ? to + at : from + at, k);
  }
}

// Every section into the new index's arrays, and whether the checksum in
// the header is that of the payload.  Each byte of the caller's is read
// once; where the host is little-endian the checksum is taken over the
// copies, so that it vouches for the bytes the index holds.  Elsewhere the
// payload is hashed first and the words converted as they are copied.
bool sections_copy(const uint8_t* blob, const uint8_t* const section[kSections],
                   const blob_layout& layout, tarn_index* index) {
  const uint64_t want = get_le64(blob + kChecksumAt);
  tarn_lookup_t* t = &index->lookup;
  const auto len = [&](int s) { return static_cast<size_t>(layout.len[s]); };
  if constexpr (std::endian::native == std::endian::little) {
    xxh64_stream hash;
    section_copy(nullptr, section[kNodes], len(kNodes), &hash);  // dropped
    section_copy(index->records, section[kPrefixes], len(kPrefixes), &hash);
    section_copy(reinterpret_cast<uint8_t*>(index->orig_indices), section[kOrig], len(kOrig),
                 &hash);
    section_copy(reinterpret_cast<uint8_t*>(t->direct), section[kDirect], len(kDirect), &hash);
    section_copy(reinterpret_cast<uint8_t*>(t->words), section[kWords], len(kWords), &hash);
    return hash.digest() == want;
  } else {
    if (xxh64(section[0], static_cast<size_t>(layout.total) - kHeaderLen) != want) return false;
    memcpy(index->records, section[kPrefixes], len(kPrefixes));
    le32_copy(index->orig_indices, section[kOrig], len(kOrig) / 4);
    le32_copy(t->direct, section[kDirect], len(kDirect) / 4);
    le32_copy(t->words, section[kWords], len(kWords) / 4);
    return true;
  }
}

// Room for n 32-bit words of the lookup structure, which lookups read at
// random: on huge pages, as a built index has them.
uint32_t* lookup_array(uint64_t n) {
  if (n > SIZE_MAX / sizeof(uint32_t)) return nullptr;
  return static_cast<uint32_t*>(tarn_alloc_lookup(static_cast<size_t>(n) * sizeof(uint32_t)));
}

// malloc of n records of T, null when the byte count does not fit size_t.
template <typename T>
T* alloc_array(uint64_t n) {
  if (n > SIZE_MAX / sizeof(T)) return nullptr;
  return static_cast<T*>(malloc(static_cast<size_t>(n) * sizeof(T)));
}

}  // namespace

// Writes the blob: the header with its counts and section lengths, each
// section record by record, then the checksum of the sections.
tarn_err_t tarn_index_serialize(const tarn_index_t* index, void* buf, size_t capacity,
                                size_t* out_len) {
  if (index == nullptr || out_len == nullptr || (buf == nullptr && capacity > 0))
    return TARN_ERR_INVAL;
  const tarn_family_t family = index->family;
  const lookup_shape lk = lookup_shape_of(index);
  const blob_layout l = layout_for(family, index->prefix_count, 0, lk);
  if (l.total > SIZE_MAX) return TARN_ERR_INVAL;
  const size_t total = static_cast<size_t>(l.total);
  if (capacity < total) {
    *out_len = total;
    return TARN_ERR_INVAL;
  }
  // buf is not null here: a null buf comes with capacity 0, below any total.
  uint8_t* const blob = static_cast<uint8_t*>(buf);
  if (blob == nullptr) return TARN_ERR_INVAL;
  uint8_t* p = blob;
  memcpy(p, kMagic, sizeof kMagic);
  p = put_le32(p + sizeof kMagic, kFormatVersion);
  p = put_le32(p, kHeaderLen);
  p = put_le32(p, family);
  p = put_le32(p, lk.present ? 1 : 0);
  p = put_le64(p, index->prefix_count);
  p = put_le64(p, index->distinct_count);
  p = put_le64(p, 0);  // no nodes
  p = put_le64(p, lk.word_count);
  p = put_le32(p, lk.direct_bits);
  for (uint64_t n : l.len) p = put_le64(p, n);
  p = put_le64(p, 0);  // the checksum, filled in last

  // The index's records are the blob's.
  memcpy(p, index->records, index->prefix_count * index_record_len(index));
  p += index->prefix_count * index_record_len(index);
  for (size_t k = 0; k < index->prefix_count; k++) p = put_le32(p, index->orig_indices[k]);
  if (lk.present) {
    const tarn_lookup_t& t = index->lookup;
    for (size_t v = 0; v < (size_t{1} << t.direct_bits); v++) p = put_le32(p, t.direct[v]);
    for (size_t i = 0; i < t.word_count; i++) p = put_le32(p, t.words[i]);
  }
  put_le64(blob + kChecksumAt, xxh64(blob + kHeaderLen, total - kHeaderLen));
  *out_len = total;
  return TARN_OK;
}

// Loads a blob:
//
//   1. Read the header: magic, version, header length, family, counts within
//      tarn_index_create's limits, every section length equal to its record
//      count times its record size, and the total equal to `len` (no
//      trailing bytes).  64-bit arithmetic on values below 2^40 cannot
//      overflow.
//   2. Allocate the index's arrays and a scratch bitmap (one bit per
//      prefix), no more than the header's lengths, which step 1 held to
//      `len`.  The LC-trie is left to be built on first need.
//   3. Copy the sections and compare the checksum of the payload
//      (sections_copy); a version 2 blob's node section is hashed and
//      dropped.  One pass over the caller's bytes: hashing them first and
//      copying them after read 21 MB twice for 1.04M IPv4 prefixes.
//   4. Check the sorted records and the position map (records_check),
//      whose run count must be distinct_count.
//   5. Have tarn_lookup_validate check the lookup structure against the
//      loaded prefixes.
//
// Any failure frees everything allocated and leaves *out untouched.
tarn_err_t tarn_index_load(const void* buf, size_t len, tarn_index_t** out) {
  if (buf == nullptr || out == nullptr) return TARN_ERR_INVAL;
  const uint8_t* const blob = static_cast<const uint8_t*>(buf);
  blob_header h;
  if (!header_read(blob, len, &h)) return TARN_ERR_INVAL;

  const size_t count = static_cast<size_t>(h.prefix_count);
  const uint8_t* section[kSections];
  section[0] = blob + kHeaderLen;
  for (int s = 1; s < kSections; s++)
    section[s] = section[s - 1] + static_cast<size_t>(h.layout.len[s - 1]);

  tarn_err_t err = TARN_ERR_NOMEM;
  tarn_index* index = static_cast<tarn_index*>(calloc(1, sizeof *index));
  uint64_t* seen = static_cast<uint64_t*>(calloc(count / 64 + 1, sizeof(uint64_t)));
  size_t distinct = 0;
  if (index == nullptr || seen == nullptr) goto done;
  index->family = h.family;
  index->prefix_count = count;
  index->distinct_count = static_cast<size_t>(h.distinct_count);
  index->records = alloc_array<uint8_t>(uint64_t{count} * index_record_len(index));
  index->orig_indices = alloc_array<uint32_t>(count);
  if (index->records == nullptr || index->orig_indices == nullptr) goto done;
  if (h.lookup.present) {
    tarn_lookup_t* t = &index->lookup;
    t->direct_bits = h.lookup.direct_bits;
    t->word_count = static_cast<size_t>(h.lookup.word_count);
    t->direct = lookup_array(uint64_t{1} << t->direct_bits);
    // An empty word array stays null.
    if (t->word_count > 0) t->words = lookup_array(t->word_count);
    if (t->direct == nullptr || (t->word_count > 0 && t->words == nullptr)) goto done;
  }

  err = TARN_ERR_INVAL;
  if (!sections_copy(blob, section, h.layout, index)) goto done;
  if (!(h.family == TARN_AF_INET ? records_check<TARN_AF_INET>(index, seen, &distinct)
                                 : records_check<TARN_AF_INET6>(index, seen, &distinct)) ||
      distinct != index->distinct_count)
    goto done;
  if (h.lookup.present) {
    err = tarn_lookup_validate(index, &index->lookup.flat);
    if (err != TARN_OK) goto done;
  }
  *out = index;
  index = nullptr;
  err = TARN_OK;

done:
  free(seen);
  tarn_index_destroy(index);
  return err;
}
