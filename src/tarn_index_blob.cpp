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
// far cheaper than tarn_index_create's sort, trie build and DP.
//
// Layout, format version 2.  Integers are little-endian; the sections follow
// the header back to back in the order listed, without padding.
//
//   offset  size  field
//        0     8  magic "TARNIDX\0"
//        8     4  format version (2)
//       12     4  header length (108)
//       16     4  family (4 or 6)
//       20     4  lookup structure present: 1, or 0 (then its word count and
//                 direct_bits are 0)
//       24     8  prefix_count: 1 .. 2^32 - 2
//       32     8  distinct_count: 1 .. prefix_count
//       40     8  node_count: 1 .. 2^32 - 2
//       48     8  the lookup structure's word count: 0 .. 2^32 - 1
//       56     4  its direct_bits: 0 .. 24
//       60    40  five section lengths in bytes, in section order
//      100     8  checksum: XXH64 (seed 0) of the payload
//      108        the payload: the sections
//
//   section         record                                     records
//   nodes           base u32, prefix_idx u32, branch u8,       node_count
//                   skip u8, pad u8[2] (12 bytes)
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
// an index holds gets a new version number (version 2 dropped the LC-trie's
// lookup shortcut once the lookup structure answered every lookup); this
// reader refuses every version but its own.
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
constexpr uint32_t kFormatVersion = 2;
constexpr size_t kHeaderLen = 108;
constexpr size_t kSectionLenAt = 60;
constexpr size_t kChecksumAt = 100;
// The limits tarn_index_create works within: positions are 32-bit with all
// ones meaning "none".
constexpr uint64_t kMaxCount = 0xFFFFFFFEu;
constexpr uint64_t kMaxNodes = 0xFFFFFFFEu;
constexpr unsigned kMaxBranch = 8;
constexpr size_t kNodeBytes = 12;
constexpr size_t kOrigBytes = 4;
// Bounds the shift of the direct table's size; tarn_lookup_validate holds
// the structure to its own, tighter limits.
constexpr unsigned kMaxDirectBits = 24;
constexpr uint64_t kMaxLookupCount = 0xFFFFFFFFu;

static_assert(sizeof(tarn_lctrie_node_t) == kNodeBytes, "packed node is 12 bytes");

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

uint64_t xxh64(const uint8_t* p, size_t n) {
  const uint8_t* const end = p + n;
  uint64_t h;
  if (n >= 32) {
    uint64_t v[4] = {kP1 + kP2, kP2, 0, 0 - kP1};
    for (; end - p >= 32; p += 32)
      for (size_t i = 0; i < 4; i++) v[i] = xxh_round(v[i], get_le64(p + 8 * i));
    h = rotl64(v[0], 1) + rotl64(v[1], 7) + rotl64(v[2], 12) + rotl64(v[3], 18);
    for (uint64_t lane : v) h = xxh_merge(h, lane);
  } else {
    h = kP5;
  }
  h += n;
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
  if (get_le32(b + 8) != kFormatVersion || get_le32(b + 12) != kHeaderLen) return false;
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
  if (h->node_count == 0 || h->node_count > kMaxNodes) return false;
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
// Section loads.  Each decodes its records from the caller's bytes exactly
// once into the new array and checks what it decoded (the values it stored,
// never a second read of the caller's bytes), so a buffer that changes while
// the load runs yields a refusal or a sound index, never one that passed
// checks on other bytes than it holds.
// ---------------------------------------------------------------------------

// A node record as two little-endian words: base and prefix_idx, then
// branch, skip and the pad bytes.  On a little-endian machine these are the
// in-memory node's bytes, field for field, so a node is stored with two
// plain stores.
static_assert(offsetof(tarn_lctrie_node_t, base) == 0 &&
                  offsetof(tarn_lctrie_node_t, prefix_idx) == 4 &&
                  offsetof(tarn_lctrie_node_t, branch) == 8 &&
                  offsetof(tarn_lctrie_node_t, skip) == 9 &&
                  offsetof(tarn_lctrie_node_t, pad) == 10,
              "the node record is the blob's");
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

inline void node_store(tarn_lctrie_node_t* n, uint64_t lo, uint32_t hi) {
  if constexpr (kLittleEndian) {
    memcpy(reinterpret_cast<uint8_t*>(n), &lo, 8);
    memcpy(reinterpret_cast<uint8_t*>(n) + 8, &hi, 4);
  } else {
    n->base = static_cast<uint32_t>(lo);
    n->prefix_idx = static_cast<uint32_t>(lo >> 32);
    n->branch = static_cast<uint8_t>(hi);
    n->skip = static_cast<uint8_t>(hi >> 8);
    n->pad[0] = static_cast<uint8_t>(hi >> 16);
    n->pad[1] = static_cast<uint8_t>(hi >> 24);
  }
}

// Scratch of the node load: the inner nodes' positions, at most
// (node_count - 1) / 2 of them in a valid trie (each claims two positions or
// more of the node_count - 1 after the root) plus one slot the listing may
// write past them, then `entry`, node_count + kEntrySlack bytes.
constexpr size_t kEntrySlack = 4;  // a block of two read as four bytes
size_t inner_capacity(uint32_t node_count) { return (size_t{node_count} - 1) / 2; }
size_t node_scratch_bytes(uint32_t node_count) {
  return size_t{node_count} + kEntrySlack + 4 * (inner_capacity(node_count) + 1);
}

// Claims the 2^branch (8..256) positions of a block for children arriving
// at bit `depth`, eight at a time: true when one of them was claimed
// before.
bool block_claim_wide(uint8_t* block, unsigned branch, uint8_t depth) {
  const size_t slots = size_t{1} << branch;
  const uint64_t fill = 0x0101010101010101u * depth;
  uint64_t taken = 0;
  for (size_t w = 0; w < slots; w += 8) {
    uint64_t old;
    memcpy(&old, block + w, 8);
    taken |= ~old;
    memcpy(block + w, &fill, 8);
  }
  return taken != 0;
}

// Nodes, in position order, in two passes.
//
// The first copies every node and checks what each holds on its own: pad
// zero, branch 0..8, prefix_idx a sorted position or NONE, a leaf's base 0
// (its skip is never read); and it lists the inner nodes.  Its checks are
// gathered into one flag, looked at after the pass, and the list grows by
// an addition rather than a branch: leaves and inner nodes alternate
// unpredictably in a large trie, and a branch per node on that costs more
// than the pass's work.  The list never grows past its capacity (its spare
// slot takes the writes beyond), so the pass stays in bounds whatever the
// nodes hold.
//
// The second makes the inner nodes' claims, in position order.  `entry`
// holds for each position the bit at which a walk arrives there, or kUnset
// while no parent has claimed it.  An inner node's block [base, base +
// 2^branch) must lie inside the array and after the node itself, and find
// all of its positions unclaimed; the node's bits must lie within the key:
// arrival + skip + branch <= key bits, which the trie build guarantees and
// which keeps every walk inside the key (the lookup would stop there; an
// accepted blob never makes it).  The blocks are then disjoint and inside
// 1..n-1, and when their sizes add up to n - 1 they cover it: every node
// but the root has one parent, at a smaller position, so the nodes form one
// tree rooted at 0, every node reachable once, and each inner node's
// arrival is known by the time the pass reaches it (a position no parent
// claimed reads kUnset there, which fails the bits check).
//
// Blocks of two and four positions (branch 1 and 2: nearly every inner node
// of a real table) are one 4-byte read-modify-write under a byte mask;
// wider blocks, rare, take a loop.
bool nodes_load(const uint8_t* src, uint32_t node_count, uint64_t prefix_count, unsigned key_bits,
                tarn_lctrie_node_t* nodes, uint8_t* scratch) {
  constexpr uint8_t kUnset = 0xFF;  // arrivals are 0..128
  const size_t capacity = inner_capacity(node_count);
  uint32_t* const inner = reinterpret_cast<uint32_t*>(scratch);  // malloc's alignment
  uint8_t* const entry = scratch + 4 * (capacity + 1);
  // prefix_count <= 2^32 - 2, so prefix_idx + 1 <= prefix_count, in 32
  // bits, holds exactly for the positions below it and for NONE (which
  // wraps to 0).
  const uint32_t count32 = static_cast<uint32_t>(prefix_count);
  uint32_t bad = 0;
  size_t inner_count = 0;
  for (uint32_t i = 0; i < node_count; i++, src += kNodeBytes) {
    const uint64_t lo = get_le64(src);
    const uint32_t hi = get_le32(src + 8);
    node_store(&nodes[i], lo, hi);
    const uint32_t base = static_cast<uint32_t>(lo), prefix_idx = static_cast<uint32_t>(lo >> 32);
    const uint32_t is_inner = (hi & 0xFF) != 0;
    // Pad bytes zero and branch at most 8, in one comparison.
    bad |= ((hi & 0xFFFF00FFu) > kMaxBranch) | (prefix_idx + 1 > count32) |
           ((is_inner ^ 1) & (base != 0));
    // One inner node more than a valid trie holds is refused.
    const uint32_t full = inner_count == capacity;
    bad |= is_inner & full;
    inner[inner_count] = i;
    inner_count += is_inner & (full ^ 1);
  }
  if (bad != 0) return false;

  memset(entry, kUnset, size_t{node_count} + kEntrySlack);
  entry[0] = 0;
  uint64_t claimed = 0;
  for (size_t k = 0; k < inner_count; k++) {
    const uint32_t i = inner[k];
    const tarn_lctrie_node_t& n = nodes[i];
    const uint32_t slots = uint32_t{1} << n.branch;  // 2..256
    const uint32_t depth = entry[i] + n.skip + n.branch;
    if ((depth > key_bits) | (n.base <= i) | (uint64_t{n.base} + slots > node_count)) return false;
    uint8_t* const block = entry + n.base;
    if (n.branch <= 2) {
      // In range, the four bytes end at most two past the last position.
      const uint32_t mask = slots == 2 ? 0xFFFFu : 0xFFFFFFFFu;
      uint32_t old;
      memcpy(&old, block, 4);
      bad |= (~old & mask) != 0;
      const uint32_t now = (old & ~mask) | (0x01010101u * depth & mask);
      memcpy(block, &now, 4);
    } else {
      bad |= block_claim_wide(block, n.branch, static_cast<uint8_t>(depth));
    }
    claimed += slots;
  }
  return bad == 0 && claimed == node_count - uint64_t{1};
}

// The sorted records and the position map, in one pass.  Per record k:
//   - the prefix is of the family, at most the family's length, canonical,
//     and not below record k - 1 in network order (address ascending, then
//     length ascending), so equal records are adjacent; the unused bytes of
//     an IPv4 record become zero;
//   - its position is an input position (< count), the same as record
//     k - 1's when the two are equal, and otherwise (a run's first record)
//     one no earlier run took, as tarn_index_create hands them out; `seen`
//     is a zeroed bitmap of count bits.
// *distinct receives the number of runs.  One instance per family, so that
// the record width is a constant.
template <tarn_family_t Family>
bool records_load(const uint8_t* prefix_src, const uint8_t* orig_src, tarn_index* index,
                  uint64_t* seen, size_t* distinct) {
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
  for (size_t k = 0; k < count; k++, prefix_src += kAddrLen + 1, orig_src += kOrigBytes) {
    tarn_prefix_t* p = &index->prefixes[k];
    memset(p, 0, sizeof *p);
    p->addr.family = Family;
    memcpy(p->addr.addr.v6, prefix_src, kAddrLen);
    const unsigned len = prefix_src[kAddrLen];
    p->pfxlen = static_cast<uint8_t>(len);
    const uint32_t orig = get_le32(orig_src);
    index->orig_indices[k] = orig;
    if (len > kBits || orig >= count) return false;
    bool same;  // equal to the previous record
    if constexpr (Family == TARN_AF_INET) {
      const uint32_t net = key128_load_be32(p->addr.addr.v4);
      if ((net & ~key_mask32(len)) != 0) return false;
      const uint64_t order = (uint64_t{net} << 8) | len;
      if (k > 0 && order < prev4) return false;
      same = k > 0 && order == prev4;
      prev4 = order;
    } else {
      const key128 key = key128_from_bytes(p->addr.addr.v6, Family);
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
      if ((seen[orig / 64] >> (orig % 64)) & 1u) return false;
      seen[orig / 64] |= uint64_t{1} << (orig % 64);
      runs++;
    }
    prev_orig = orig;
  }
  *distinct = runs;
  return true;
}

// The lookup structure's arrays, field by field; tarn_lookup_validate then
// reads only these copies.
void lookup_copy(const uint8_t* direct, const uint8_t* words, tarn_lookup_t* t) {
  for (size_t v = 0; v < (size_t{1} << t->direct_bits); v++)
    t->direct[v] = get_le32(direct + 4 * v);
  for (size_t i = 0; i < t->word_count; i++) t->words[i] = get_le32(words + 4 * i);
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
  // The blob carries the LC-trie, which an index builds on first need.
  uint32_t node_count;
  const tarn_lctrie_node_t* nodes = tarn_index_lctrie(index, &node_count);
  if (nodes == nullptr) return TARN_ERR_NOMEM;
  const lookup_shape lk = lookup_shape_of(index);
  const blob_layout l = layout_for(family, index->prefix_count, node_count, lk);
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
  p = put_le64(p, node_count);
  p = put_le64(p, lk.word_count);
  p = put_le32(p, lk.direct_bits);
  for (uint64_t n : l.len) p = put_le64(p, n);
  p = put_le64(p, 0);  // the checksum, filled in last

  for (uint32_t i = 0; i < node_count; i++) {
    const tarn_lctrie_node_t& n = nodes[i];
    p = put_le32(p, n.base);
    p = put_le32(p, n.prefix_idx);
    *p++ = n.branch;
    *p++ = n.skip;
    *p++ = n.pad[0];
    *p++ = n.pad[1];
  }
  const size_t addr_len = tarn_addr_len(family);
  for (size_t k = 0; k < index->prefix_count; k++) {
    memcpy(p, index->prefixes[k].addr.addr.v6, addr_len);
    p[addr_len] = index->prefixes[k].pfxlen;
    p += addr_len + 1;
  }
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
//   2. Compare the checksum of the payload, before anything is allocated.
//   3. Allocate the index's arrays and two scratch arrays (one byte per node
//      and a position per possible inner node, one bit per prefix).
//   4. Load the nodes as one tree (nodes_load), then the sorted records and
//      the position map (records_load), whose run count must be
//      distinct_count.
//   5. Copy the lookup structure and have tarn_lookup_validate check it
//      against the loaded prefixes.
//
// Any failure frees everything allocated and leaves *out untouched.
tarn_err_t tarn_index_load(const void* buf, size_t len, tarn_index_t** out) {
  if (buf == nullptr || out == nullptr) return TARN_ERR_INVAL;
  const uint8_t* const blob = static_cast<const uint8_t*>(buf);
  blob_header h;
  if (!header_read(blob, len, &h)) return TARN_ERR_INVAL;
  if (get_le64(blob + kChecksumAt) != xxh64(blob + kHeaderLen, len - kHeaderLen))
    return TARN_ERR_INVAL;

  const size_t count = static_cast<size_t>(h.prefix_count);
  const uint32_t node_count = static_cast<uint32_t>(h.node_count);
  const uint8_t* section[kSections];
  section[0] = blob + kHeaderLen;
  for (int s = 1; s < kSections; s++)
    section[s] = section[s - 1] + static_cast<size_t>(h.layout.len[s - 1]);

  tarn_err_t err = TARN_ERR_NOMEM;
  tarn_index* index = static_cast<tarn_index*>(calloc(1, sizeof *index));
  uint8_t* scratch = alloc_array<uint8_t>(node_scratch_bytes(node_count));
  uint64_t* seen = static_cast<uint64_t*>(calloc(count / 64 + 1, sizeof(uint64_t)));
  size_t distinct = 0;
  if (index == nullptr || scratch == nullptr || seen == nullptr) goto done;
  index->family = h.family;
  index->prefix_count = count;
  index->distinct_count = static_cast<size_t>(h.distinct_count);
  index->node_count = node_count;
  index->nodes = alloc_array<tarn_lctrie_node_t>(node_count);
  index->prefixes = alloc_array<tarn_prefix_t>(count);
  index->orig_indices = alloc_array<uint32_t>(count);
  if (index->nodes == nullptr || index->prefixes == nullptr || index->orig_indices == nullptr)
    goto done;
  if (h.lookup.present) {
    tarn_lookup_t* t = &index->lookup;
    t->direct_bits = h.lookup.direct_bits;
    t->word_count = static_cast<size_t>(h.lookup.word_count);
    t->direct = alloc_array<uint32_t>(uint64_t{1} << t->direct_bits);
    // An empty word array stays null.
    if (t->word_count > 0) t->words = alloc_array<uint32_t>(t->word_count);
    if (t->direct == nullptr || (t->word_count > 0 && t->words == nullptr)) goto done;
  }

  err = TARN_ERR_INVAL;
  if (!nodes_load(section[kNodes], node_count, count, tarn_addr_bits(h.family), index->nodes,
                  scratch))
    goto done;
  if (!(h.family == TARN_AF_INET
            ? records_load<TARN_AF_INET>(section[kPrefixes], section[kOrig], index, seen, &distinct)
            : records_load<TARN_AF_INET6>(section[kPrefixes], section[kOrig], index, seen,
                                          &distinct)) ||
      distinct != index->distinct_count)
    goto done;
  if (h.lookup.present) {
    lookup_copy(section[kDirect], section[kWords], &index->lookup);
    err = tarn_lookup_validate(index);
    if (err != TARN_OK) goto done;
  }
  *out = index;
  index = nullptr;
  err = TARN_OK;

done:
  free(seen);
  free(scratch);
  tarn_index_destroy(index);
  return err;
}
