// index_blob_test.cpp - the index as a blob: round trips that keep every
// lookup and query answer, the size query, one refusal per invariant the
// loader checks, and seeded random damage to real blobs, none of which may
// load to an index that reads out of bounds (run it under -DTARN_SANITIZE=ON
// to have that checked byte for byte).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "../../fuzz/blob_checksum.h"
#include "pytarn.h"
#include "support/ref_index.h"
#include "tarn_internal.h"

namespace {

using blob_t = std::vector<uint8_t>;

// The version 4 layout, written out independently of tarn_index_blob.cpp so
// that a change to the format shows up here.  Version 3, which the loader
// still reads, is the same layout without IPv6 skip records; version 2 had
// the same header and the LC-trie's nodes in the first section, which
// version 3 leaves empty.
constexpr size_t kHeaderLen = 108;
constexpr size_t kVersionAt = 8, kHeaderLenAt = 12, kFamilyAt = 16, kLookupAt = 20;
constexpr size_t kCountAt = 24, kDistinctAt = 32, kNodeCountAt = 40;
constexpr size_t kWordCountAt = 48, kDirectBitsAt = 56, kSectionLenAt = 60, kChecksumAt = 100;
static_assert(kBlobHeaderLen == kHeaderLen && kBlobChecksumAt == kChecksumAt &&
                  kBlobVersionAt == kVersionAt,
              "one header");
enum { kNodes, kPrefixes, kOrig, kDirect, kWords, kSections };

uint64_t blob_seed() {
  const char* env = getenv("TARN_BLOB_SEED");
  const uint64_t seed = env ? strtoull(env, nullptr, 0) : 20251107;
  printf("blob tests: seed %llu (set TARN_BLOB_SEED to repeat)\n",
         static_cast<unsigned long long>(seed));
  return seed;
}

uint64_t get_le(const blob_t& b, size_t at, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; i--) v = (v << 8) | b[at + i];
  return v;
}
void put_le(blob_t& b, size_t at, int width, uint64_t v) {
  for (int i = 0; i < width; i++) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Recomputes the checksum of an edited blob, so that the edit reaches the
// checks behind it (with the fuzz tools' own transcription of XXH64).
void fix_checksum(blob_t& b) { fuzz_fix_checksum(b.data(), b.size()); }

// Where each section of a well-formed blob starts.
size_t section_at(const blob_t& b, int section) {
  size_t at = kHeaderLen;
  for (int s = 0; s < section; s++) at += get_le(b, kSectionLenAt + 8 * s, 8);
  return at;
}

struct index_owner {
  tarn_index_t* idx = nullptr;
  index_owner() = default;
  index_owner(const index_owner&) = delete;
  ~index_owner() { tarn_index_destroy(idx); }
};

blob_t serialize(const tarn_index_t* idx) {
  size_t need = 0;
  EXPECT_EQ(tarn_index_serialize(idx, nullptr, 0, &need), TARN_ERR_INVAL);
  blob_t b(need);
  size_t got = 0;
  EXPECT_EQ(tarn_index_serialize(idx, b.data(), b.size(), &got), TARN_OK);
  EXPECT_EQ(got, need);
  return b;
}

// A current blob as version 2 wrote it: `nodes` (12 bytes each) in the
// first section.
blob_t as_version2(blob_t b, const std::vector<uint8_t>& nodes) {
  put_le(b, kVersionAt, 4, 2);
  put_le(b, kNodeCountAt, 8, nodes.size() / 12);
  put_le(b, kSectionLenAt, 8, nodes.size());
  b.insert(b.begin() + static_cast<ptrdiff_t>(kHeaderLen), nodes.begin(), nodes.end());
  fix_checksum(b);
  return b;
}

// The LC-trie of `idx` as version 2 wrote its node records.
std::vector<uint8_t> node_records(const tarn_index_t* idx) {
  uint32_t count = 0;
  const tarn_lctrie_node_t* nodes = tarn_index_lctrie(idx, &count);
  EXPECT_NE(nodes, nullptr);
  blob_t out(12 * size_t{count});
  for (uint32_t i = 0; i < count; i++) {
    put_le(out, 12 * i, 4, nodes[i].base);
    put_le(out, 12 * i + 4, 4, nodes[i].prefix_idx);
    out[12 * i + 8] = nodes[i].branch;
    out[12 * i + 9] = nodes[i].skip;
  }
  return out;
}

// A version 2 blob (of any node section) as version 4 writes the same index.
blob_t as_version4(blob_t b) {
  const size_t nodes = get_le(b, kSectionLenAt, 8);
  b.erase(b.begin() + static_cast<ptrdiff_t>(kHeaderLen),
          b.begin() + static_cast<ptrdiff_t>(kHeaderLen + nodes));
  put_le(b, kVersionAt, 4, 4);
  put_le(b, kNodeCountAt, 8, 0);
  put_le(b, kSectionLenAt, 8, 0);
  fix_checksum(b);
  return b;
}

// --- every answer the loaded index gives ---------------------------------

// The answers of one index to a fixed set of lookups and queries, in a form
// two indexes can be compared by.  Also asserts every position in range,
// which is what a damaged-but-accepted blob must still guarantee.
struct answers {
  size_t distinct = 0, records = 0;
  std::vector<ssize_t> lookups, listed_pos, exact;
  std::vector<std::string> listed, covering, covered;
  bool operator==(const answers&) const = default;
};

std::string text_of(const tarn_prefix_t* p, const ssize_t* pos, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; i++) s += ref_index::to_text(p[i]) + "@" + std::to_string(pos[i]) + " ";
  return s;
}

answers ask(const tarn_index_t* idx, tarn_family_t family, const std::vector<tarn_addr_t>& addrs,
            const std::vector<tarn_prefix_t>& queries) {
  answers a;
  EXPECT_EQ(tarn_index_count(idx, &a.distinct, &a.records), TARN_OK);
  const ssize_t records = static_cast<ssize_t>(a.records);
  auto in_range = [&](const std::vector<ssize_t>& v) {
    for (ssize_t p : v) EXPECT_TRUE(p >= -1 && p < records) << p;
  };
  a.lookups.assign(addrs.size(), -9);
  EXPECT_EQ(tarn_index_lookup(idx, addrs.data(), addrs.size(), a.lookups.data(), nullptr), TARN_OK);
  in_range(a.lookups);
  std::vector<tarn_prefix_t> held(a.distinct);
  a.listed_pos.resize(a.distinct);
  EXPECT_EQ(tarn_index_prefixes(idx, held.data(), a.listed_pos.data(), a.distinct), TARN_OK);
  in_range(a.listed_pos);
  for (const tarn_prefix_t& p : held) a.listed.push_back(ref_index::to_text(p));
  a.exact.assign(queries.size(), -9);
  EXPECT_EQ(tarn_index_exact(idx, queries.data(), queries.size(), a.exact.data()), TARN_OK);
  in_range(a.exact);
  const unsigned bits = ref_index::bits(family);
  for (const tarn_prefix_t& q : queries) {
    tarn_prefix_t got[129];
    ssize_t pos[129];
    size_t n = 0;
    EXPECT_EQ(tarn_index_covering(idx, &q, got, pos, 129, &n), TARN_OK);
    EXPECT_LE(n, bits + 1);
    a.covering.push_back(text_of(got, pos, n));
    size_t need = 0;
    tarn_index_covered(idx, &q, nullptr, nullptr, 0, &need);
    EXPECT_LE(need, a.distinct);
    std::vector<tarn_prefix_t> sub(need + 1);
    std::vector<ssize_t> sub_pos(need + 1);
    EXPECT_EQ(tarn_index_covered(idx, &q, sub.data(), sub_pos.data(), need, &n), TARN_OK);
    a.covered.push_back(text_of(sub.data(), sub_pos.data(), n));
  }
  return a;
}

// Queries: some held prefixes, their supernets, host routes of the
// addresses, /0.
std::vector<tarn_prefix_t> make_queries(std::mt19937_64& rng, tarn_family_t family,
                                        const std::vector<tarn_prefix_t>& in,
                                        const std::vector<tarn_addr_t>& addrs, size_t n) {
  const unsigned bits = ref_index::bits(family);
  std::vector<tarn_prefix_t> q = {ref_index::make_prefix(family, 0, 0)};
  while (q.size() < n) {
    const tarn_prefix_t& p = in[rng() % in.size()];
    switch (rng() % 3) {
      case 0:
        q.push_back(p);
        break;
      case 1:
        q.push_back(ref_index::make_prefix(family, ref_index::to_int(p.addr),
                                           static_cast<unsigned>(rng() % (p.pfxlen + 1u))));
        break;
      default:
        q.push_back(
            ref_index::make_prefix(family, ref_index::to_int(addrs[rng() % addrs.size()]), bits));
    }
  }
  return q;
}

// --- round trips ---------------------------------------------------------

struct trip_case {
  tarn_family_t family;
  size_t prefixes;
};

const trip_case kTrips[] = {
    {TARN_AF_INET, 1},    {TARN_AF_INET, 2},    {TARN_AF_INET, 17},    {TARN_AF_INET, 300},
    {TARN_AF_INET, 5000}, {TARN_AF_INET, 9000}, {TARN_AF_INET6, 1},    {TARN_AF_INET6, 2},
    {TARN_AF_INET6, 17},  {TARN_AF_INET6, 300}, {TARN_AF_INET6, 5000}, {TARN_AF_INET6, 9000},
};

// A loaded index holds the writer's arrays exactly, writes the same blob
// again, and answers every lookup (checked against a hash-table reference
// too) and every query as the writer does.
TEST(IndexBlob, RoundTripKeepsEveryAnswer) {
  const uint64_t seed = blob_seed();
  for (const trip_case& c : kTrips) {
    SCOPED_TRACE("family " + std::to_string(c.family) + ", " + std::to_string(c.prefixes) +
                 " prefixes");
    std::mt19937_64 rng(seed ^ (c.prefixes * 7919u + c.family));
    const std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, c.family, c.prefixes);
    index_owner built, loaded;
    ASSERT_EQ(tarn_index_create(in.data(), in.size(), &built.idx), TARN_OK);
    const blob_t blob = serialize(built.idx);
    ASSERT_EQ(blob.size(), section_at(blob, kSections));
    tarn_index_t* sentinel = reinterpret_cast<tarn_index_t*>(&loaded);
    loaded.idx = sentinel;
    ASSERT_EQ(tarn_index_load(blob.data(), blob.size(), &loaded.idx), TARN_OK);
    ASSERT_NE(loaded.idx, sentinel);

    const tarn_index &a = *built.idx, &b = *loaded.idx;
    ASSERT_EQ(b.family, a.family);
    ASSERT_EQ(b.prefix_count, a.prefix_count);
    ASSERT_EQ(b.distinct_count, a.distinct_count);
    ASSERT_EQ(b.nodes, nullptr);  // built on first need, from the loaded prefixes
    uint32_t node_count = 0, want_count = 0;
    const tarn_lctrie_node_t* want_nodes = tarn_index_lctrie(built.idx, &want_count);
    const tarn_lctrie_node_t* nodes = tarn_index_lctrie(loaded.idx, &node_count);
    ASSERT_EQ(node_count, want_count);
    EXPECT_EQ(memcmp(nodes, want_nodes, want_count * sizeof *nodes), 0);
    EXPECT_EQ(memcmp(b.orig_indices, a.orig_indices, a.prefix_count * 4), 0);
    EXPECT_EQ(memcmp(b.records, a.records, a.prefix_count * index_record_len(&a)), 0);
    ASSERT_EQ(b.lookup.direct != nullptr, a.lookup.direct != nullptr);
    ASSERT_EQ(b.lookup.direct_bits, a.lookup.direct_bits);
    ASSERT_EQ(b.lookup.word_count, a.lookup.word_count);
    if (a.lookup.direct) {
      EXPECT_EQ(memcmp(b.lookup.direct, a.lookup.direct, 4u << a.lookup.direct_bits), 0);
    }
    if (a.lookup.word_count > 0) {
      EXPECT_EQ(memcmp(b.lookup.words, a.lookup.words, 4 * a.lookup.word_count), 0);
    }
    EXPECT_EQ(serialize(loaded.idx), blob);
    // What the release before wrote loads to the same index.
    index_owner older;
    const blob_t v2 = as_version2(blob, node_records(built.idx));
    ASSERT_EQ(tarn_index_load(v2.data(), v2.size(), &older.idx), TARN_OK);
    EXPECT_EQ(serialize(older.idx), blob);
    // Version 3 had this layout, and its lookup structures read the same.
    blob_t v3 = blob;
    put_le(v3, kVersionAt, 4, 3);
    index_owner v3_loaded;
    ASSERT_EQ(tarn_index_load(v3.data(), v3.size(), &v3_loaded.idx), TARN_OK);
    EXPECT_EQ(serialize(v3_loaded.idx), blob);

    const std::vector<tarn_addr_t> addrs = ref_index::random_addrs(rng, c.family, in, 3000);
    const std::vector<tarn_prefix_t> queries = make_queries(rng, c.family, in, addrs, 60);
    const answers want = ask(built.idx, c.family, addrs, queries);
    EXPECT_TRUE(ask(loaded.idx, c.family, addrs, queries) == want);
    EXPECT_TRUE(ask(older.idx, c.family, addrs, queries) == want);
    ref_index::lpm_table table(in);
    for (size_t i = 0; i < addrs.size(); i++) {
      const ssize_t ref = table.lookup(addrs[i]);
      const ssize_t got = want.lookups[i];
      ASSERT_EQ(got < 0, ref < 0) << ref_index::to_text(addrs[i]);
      if (ref >= 0) {
        ASSERT_EQ(ref_index::to_text(in[static_cast<size_t>(got)]),
                  ref_index::to_text(in[static_cast<size_t>(ref)]));
      }
    }
  }
}

// A table whose records outgrow kHugeMin: loaded, its lookup arrays are the
// writer's and sit where the writer's do (huge pages, so 2 MiB-aligned,
// wherever the system gives them to a built index), so that a loaded index
// looks up as fast as the built one.
TEST(IndexBlob, LargeTableLoadsOntoTheBuiltOnesPages) {
  std::mt19937_64 rng(blob_seed());
  const std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, TARN_AF_INET, 300000);
  index_owner built, loaded;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &built.idx), TARN_OK);
  const blob_t blob = serialize(built.idx);
  ASSERT_EQ(tarn_index_load(blob.data(), blob.size(), &loaded.idx), TARN_OK);
  const tarn_lookup_t &a = built.idx->lookup, &b = loaded.idx->lookup;
  ASSERT_GE(a.word_count * 4, kHugeMin);
  ASSERT_EQ(b.word_count, a.word_count);
  ASSERT_EQ(b.direct_bits, a.direct_bits);
  EXPECT_EQ(memcmp(b.words, a.words, 4 * a.word_count), 0);
  EXPECT_EQ(memcmp(b.direct, a.direct, 4u << a.direct_bits), 0);
  const auto huge = [](const void* p) { return reinterpret_cast<uintptr_t>(p) % kHugeMin == 0; };
  EXPECT_EQ(huge(b.words), huge(a.words));
  if ((size_t{4} << a.direct_bits) >= kHugeMin) {
    EXPECT_EQ(huge(b.direct), huge(a.direct));
  }
}

// The loader hashes its copies chunk by chunk: an edit that breaks no
// invariant (a direct leaf naming another position) is caught by the
// checksum alone, wherever it falls among the chunks of a megabyte table,
// and loads once the checksum is fixed.
TEST(IndexBlob, ChecksumCoversEveryChunkOfTheCopy) {
  std::mt19937_64 rng(blob_seed());
  const std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, TARN_AF_INET, 300000);
  index_owner built;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &built.idx), TARN_OK);
  const blob_t blob = serialize(built.idx);
  const size_t at = section_at(blob, kDirect), entries = get_le(blob, kSectionLenAt + 24, 8) / 4;
  ASSERT_GE(entries * 4, size_t{1} << 20);
  std::vector<size_t> leaves;
  for (size_t v = 0; v < entries; v++)
    if (get_le(blob, at + 4 * v, 4) >> 31) leaves.push_back(v);
  ASSERT_GE(leaves.size(), 3u);
  for (size_t v : {leaves.front(), leaves[leaves.size() / 2], leaves.back()}) {
    SCOPED_TRACE("direct entry " + std::to_string(v));
    blob_t b = blob;
    const uint64_t e = get_le(b, at + 4 * v, 4);
    put_le(b, at + 4 * v, 4, (e & 0x7FFFFFFF) == 0 ? 0x80000001 : 0x80000000);
    index_owner damaged, fixed;
    EXPECT_EQ(tarn_index_load(b.data(), b.size(), &damaged.idx), TARN_ERR_INVAL);
    fix_checksum(b);
    EXPECT_EQ(tarn_index_load(b.data(), b.size(), &fixed.idx), TARN_OK);
  }
}

// The checksum is XXH64 of the payload: the reference agrees with the
// published vectors, and recomputing it over a fresh blob changes nothing.
TEST(IndexBlob, ChecksumIsXxh64OfThePayload) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(fuzz_xxh64(abc, 0), 0xEF46DB3751D8E999u);
  EXPECT_EQ(fuzz_xxh64(abc, 3), 0x44BC2CF5AD770999u);
  std::mt19937_64 rng(3);
  for (size_t count : {1, 7, 300}) {  // payloads below, around and above one stripe
    const std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, TARN_AF_INET6, count);
    index_owner ix;
    ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
    const blob_t blob = serialize(ix.idx);
    blob_t again = blob;
    fix_checksum(again);
    EXPECT_EQ(again, blob) << count;
  }
}

// The bytes IPv4 records leave unused take no part: they are not written,
// and the prefixes a loaded index lists hold zeros there.
TEST(IndexBlob, UnusedIpv4BytesNotWritten) {
  std::mt19937_64 rng(5);
  std::vector<tarn_prefix_t> clean = ref_index::random_prefixes(rng, TARN_AF_INET, 200);
  std::vector<tarn_prefix_t> dirty = clean;
  for (tarn_prefix_t& p : dirty) memset(p.addr.addr.v6 + 4, 0xA5, 12);
  index_owner a, b, loaded;
  ASSERT_EQ(tarn_index_create(clean.data(), clean.size(), &a.idx), TARN_OK);
  ASSERT_EQ(tarn_index_create(dirty.data(), dirty.size(), &b.idx), TARN_OK);
  const blob_t blob = serialize(b.idx);
  EXPECT_EQ(blob, serialize(a.idx));
  ASSERT_EQ(tarn_index_load(blob.data(), blob.size(), &loaded.idx), TARN_OK);
  std::vector<tarn_prefix_t> listed(loaded.idx->distinct_count);
  std::vector<ssize_t> positions(listed.size());
  ASSERT_EQ(tarn_index_prefixes(loaded.idx, listed.data(), positions.data(), listed.size()),
            TARN_OK);
  for (const tarn_prefix_t& p : listed)
    for (int i = 4; i < 16; i++) ASSERT_EQ(p.addr.addr.v6[i], 0);
}

// --- argument checks and the size query ------------------------------------

TEST(IndexBlob, SerializeSizeQueryAndArguments) {
  std::mt19937_64 rng(11);
  const std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, TARN_AF_INET6, 50);
  index_owner ix;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
  const blob_t want = serialize(ix.idx);
  const size_t need = want.size();
  struct Case {
    const char* name;
    bool null_index, null_buf, null_len;
    size_t capacity;
    tarn_err_t rc;
    size_t len_after;  // 7 = untouched
  };
  const Case cases[] = {
      {"size query", false, true, false, 0, TARN_ERR_INVAL, need},
      {"one byte short", false, false, false, need - 1, TARN_ERR_INVAL, need},
      {"exact", false, false, false, need, TARN_OK, need},
      {"room to spare", false, false, false, need + 40, TARN_OK, need},
      {"null index", true, false, false, need, TARN_ERR_INVAL, 7},
      {"null out_len", false, false, true, need, TARN_ERR_INVAL, 7},
      {"null buf with a capacity", false, true, false, need, TARN_ERR_INVAL, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    blob_t buf(need + 40, 0xEE);
    size_t len = 7;
    const tarn_err_t rc =
        tarn_index_serialize(c.null_index ? nullptr : ix.idx, c.null_buf ? nullptr : buf.data(),
                             c.capacity, c.null_len ? nullptr : &len);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(len, c.len_after);
    const size_t written = rc == TARN_OK ? need : 0;
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + written, want.begin()));
    for (size_t i = written; i < buf.size(); i++) ASSERT_EQ(buf[i], 0xEE) << i;
  }
  tarn_index_t* out = reinterpret_cast<tarn_index_t*>(&ix);
  EXPECT_EQ(tarn_index_load(nullptr, need, &out), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_load(want.data(), want.size(), nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_load(want.data(), 0, &out), TARN_ERR_INVAL);
  EXPECT_EQ(out, reinterpret_cast<tarn_index_t*>(&ix));
}

// --- one refusal per invariant ------------------------------------------

// A v4 blob and a v6 one of a few thousand prefixes (a direct table of 12
// bits), both with duplicates, a small v4 one (6 bits), and the v4 one as
// version 2 wrote it.
struct base_blobs {
  blob_t v4, v6, v4_small, v4_version2;
};

base_blobs make_bases(uint64_t seed) {
  base_blobs out;
  std::mt19937_64 rng(seed);
  for (auto [family, count, dst] : {std::tuple{TARN_AF_INET, size_t{4500}, &out.v4},
                                    std::tuple{TARN_AF_INET6, size_t{4500}, &out.v6},
                                    std::tuple{TARN_AF_INET, size_t{40}, &out.v4_small}}) {
    const std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, family, count);
    index_owner ix;
    EXPECT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
    *dst = serialize(ix.idx);
    if (dst == &out.v4) out.v4_version2 = as_version2(out.v4, node_records(ix.idx));
  }
  return out;
}

size_t prefix_bytes(const blob_t& b) { return get_le(b, kFamilyAt, 4) == 4 ? 5 : 17; }

// The first sorted position k >= from whose record differs from record k - 1.
size_t first_run_start(const blob_t& b, size_t from) {
  const size_t w = prefix_bytes(b), at = section_at(b, kPrefixes);
  size_t k = from;
  while (std::equal(&b[at + w * k], &b[at + w * k + w], &b[at + w * (k - 1)])) k++;
  return k;
}

struct hostile_case {
  const char* name;
  void (*edit)(blob_t&);
};

const hostile_case kHostile[] = {
    {"magic", [](blob_t& b) { b[0] ^= 0x20; }},
    {"version 1, which held the LC-trie's shortcut",
     [](blob_t& b) { put_le(b, kVersionAt, 4, 1); }},
    {"version 5", [](blob_t& b) { put_le(b, kVersionAt, 4, 5); }},
    {"version 2 without nodes", [](blob_t& b) { put_le(b, kVersionAt, 4, 2); }},
    {"header length", [](blob_t& b) { put_le(b, kHeaderLenAt, 4, 120); }},
    {"family 5", [](blob_t& b) { put_le(b, kFamilyAt, 4, 5); }},
    {"the other family", [](blob_t& b) { put_le(b, kFamilyAt, 4, 10 - get_le(b, kFamilyAt, 4)); }},
    {"prefix count 0", [](blob_t& b) { put_le(b, kCountAt, 8, 0); }},
    {"prefix count 2^32", [](blob_t& b) { put_le(b, kCountAt, 8, uint64_t{1} << 32); }},
    {"prefix count 2^62", [](blob_t& b) { put_le(b, kCountAt, 8, uint64_t{1} << 62); }},
    {"distinct count one more",
     [](blob_t& b) { put_le(b, kDistinctAt, 8, get_le(b, kDistinctAt, 8) + 1); }},
    {"distinct count one less",
     [](blob_t& b) { put_le(b, kDistinctAt, 8, get_le(b, kDistinctAt, 8) - 1); }},
    {"node count 1", [](blob_t& b) { put_le(b, kNodeCountAt, 8, 1); }},
    {"node section length",
     [](blob_t& b) { put_le(b, kSectionLenAt, 8, get_le(b, kSectionLenAt, 8) + 12); }},
    {"section lengths whose sum wraps to the total",
     [](blob_t& b) {
       put_le(b, kSectionLenAt, 8, get_le(b, kSectionLenAt, 8) + (uint64_t{1} << 63));
       put_le(b, kSectionLenAt + 8, 8, get_le(b, kSectionLenAt + 8, 8) + (uint64_t{1} << 63));
     }},
    {"truncated by one byte", [](blob_t& b) { b.pop_back(); }},
    {"truncated inside the header", [](blob_t& b) { b.resize(50); }},
    {"one byte appended", [](blob_t& b) { b.push_back(0); }},
    {"nodes in version 4",
     [](blob_t& b) {
       put_le(b, kNodeCountAt, 8, get_le(b, kNodeCountAt, 8) + 1);
       put_le(b, kSectionLenAt, 8, get_le(b, kSectionLenAt, 8) + 12);
       b.insert(b.begin() + static_cast<ptrdiff_t>(section_at(b, kPrefixes)), 12, 0);
     }},
    {"lookup structure said absent", [](blob_t& b) { put_le(b, kLookupAt, 4, 0); }},
    {"lookup flag 2", [](blob_t& b) { put_le(b, kLookupAt, 4, 2); }},
    {"lookup direct bits 25", [](blob_t& b) { put_le(b, kDirectBitsAt, 4, 25); }},
    {"lookup direct entry naming a word past the end",
     [](blob_t& b) { put_le(b, section_at(b, kDirect), 4, get_le(b, kWordCountAt, 8) + 2); }},
    {"lookup direct answer = count",
     [](blob_t& b) { put_le(b, section_at(b, kDirect), 4, 0x80000000u | get_le(b, kCountAt, 8)); }},
    // Every record stays reached once; only the count of marks tells.
    {"lookup direct leaf turned into a pointer inside the first record",
     [](blob_t& b) {
       size_t at = section_at(b, kDirect);
       while (get_le(b, at, 4) < 0x80000000u) at += 4;  // a leaf entry
       put_le(b, at, 4, 2);
     }},
    {"two prefixes out of order",
     [](blob_t& b) {
       const size_t k = first_run_start(b, 10), w = prefix_bytes(b);
       const size_t at = section_at(b, kPrefixes) + w * k;
       std::swap_ranges(b.begin() + static_cast<ptrdiff_t>(at - w),
                        b.begin() + static_cast<ptrdiff_t>(at),
                        b.begin() + static_cast<ptrdiff_t>(at));
     }},
    {"host bit set",
     [](blob_t& b) {
       const size_t w = prefix_bytes(b);
       size_t at = section_at(b, kPrefixes);
       while (b[at + w - 1] == 8 * (w - 1)) at += w;  // a record shorter than the address
       b[at + w - 2] |= 1;
     }},
    {"length above the family's",
     [](blob_t& b) {
       const size_t w = get_le(b, kFamilyAt, 4) == 4 ? 5 : 17;
       b[section_at(b, kPrefixes) + 7 * w + w - 1] = static_cast<uint8_t>(w == 5 ? 33 : 129);
     }},
    {"position = count",
     [](blob_t& b) { put_le(b, section_at(b, kOrig) + 4 * 3, 4, get_le(b, kCountAt, 8)); }},
    {"position shared by two runs",
     [](blob_t& b) {
       const size_t k = first_run_start(b, 20), at = section_at(b, kOrig);
       put_le(b, at + 4 * k, 4, get_le(b, at + 4 * (k - 1), 4));
     }},
    {"position differing inside a run",
     [](blob_t& b) {
       const size_t w = prefix_bytes(b), at = section_at(b, kPrefixes);
       size_t k = 1;
       while (!std::equal(&b[at + w * k], &b[at + w * k + w], &b[at + w * (k - 1)])) k++;
       const size_t o = section_at(b, kOrig) + 4 * k;
       put_le(b, o, 4, get_le(b, o, 4) == 0 ? 1 : 0);
     }},
};

TEST(IndexBlob, RefusesEachBrokenInvariant) {
  const base_blobs bases = make_bases(blob_seed());
  for (const blob_t* base : {&bases.v4, &bases.v6, &bases.v4_small}) {
    index_owner check;
    ASSERT_EQ(tarn_index_load(base->data(), base->size(), &check.idx), TARN_OK);
    for (const hostile_case& c : kHostile) {
      for (bool fixed : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + (fixed ? ", checksum fixed" : "") + ", family " +
                     std::to_string(check.idx->family) + ", " +
                     std::to_string(check.idx->prefix_count) + " prefixes");
        blob_t b = *base;
        c.edit(b);
        if (fixed) fix_checksum(b);
        tarn_index_t* out = reinterpret_cast<tarn_index_t*>(&b);
        EXPECT_EQ(tarn_index_load(b.data(), b.size(), &out), TARN_ERR_INVAL);
        EXPECT_EQ(out, reinterpret_cast<tarn_index_t*>(&b));
      }
    }
  }
}

// A version 2 blob's node section is held to its length and dropped, so
// whatever its nodes hold, the blob loads to the index it was written from.
TEST(IndexBlob, Version2NodesAreDropped) {
  const base_blobs bases = make_bases(blob_seed());
  std::mt19937_64 rng(17);
  const size_t nodes = get_le(bases.v4_version2, kNodeCountAt, 8);
  blob_t noise = bases.v4_version2;
  for (size_t i = 0; i < 12 * nodes; i++) noise[kHeaderLen + i] = static_cast<uint8_t>(rng());
  fix_checksum(noise);
  index_owner ix;
  ASSERT_EQ(tarn_index_load(noise.data(), noise.size(), &ix.idx), TARN_OK);
  EXPECT_EQ(serialize(ix.idx), bases.v4);
  const struct {
    const char* name;
    uint64_t count, section;
  } kRefused[] = {{"node count one more", nodes + 1, 12 * nodes},
                  {"node section one record short", nodes, 12 * nodes - 12},
                  {"no nodes", 0, 12 * nodes}};
  for (const auto& c : kRefused) {
    SCOPED_TRACE(c.name);
    blob_t b = bases.v4_version2;
    put_le(b, kNodeCountAt, 8, c.count);
    put_le(b, kSectionLenAt, 8, c.section);
    fix_checksum(b);
    tarn_index_t* out = nullptr;
    EXPECT_EQ(tarn_index_load(b.data(), b.size(), &out), TARN_ERR_INVAL);
    EXPECT_EQ(out, nullptr);
  }
}

// A blob without the lookup structure (flag, its counts and sections all
// zero) is one the serialiser writes for an index too large for it: it
// loads, its lookups walk the LC-trie and answer every lookup and query as
// the built index does, and it writes the same bytes back.
TEST(IndexBlob, WithoutLookupStructureWalksTheTrie) {
  const uint64_t seed = blob_seed();
  for (const trip_case& c : kTrips) {
    SCOPED_TRACE("family " + std::to_string(c.family) + ", " + std::to_string(c.prefixes) +
                 " prefixes");
    std::mt19937_64 rng(seed ^ (c.prefixes * 104729u + c.family));
    const std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, c.family, c.prefixes);
    index_owner built, loaded;
    ASSERT_EQ(tarn_index_create(in.data(), in.size(), &built.idx), TARN_OK);
    blob_t b = serialize(built.idx);
    b.resize(section_at(b, kDirect));
    put_le(b, kLookupAt, 4, 0);
    put_le(b, kWordCountAt, 8, 0);
    put_le(b, kDirectBitsAt, 4, 0);
    put_le(b, kSectionLenAt + 8 * kDirect, 8, 0);
    put_le(b, kSectionLenAt + 8 * kWords, 8, 0);
    fix_checksum(b);
    ASSERT_EQ(tarn_index_load(b.data(), b.size(), &loaded.idx), TARN_OK);
    ASSERT_EQ(loaded.idx->lookup.direct, nullptr);
    EXPECT_EQ(serialize(loaded.idx), b);
    const std::vector<tarn_addr_t> addrs = ref_index::random_addrs(rng, c.family, in, 2000);
    const std::vector<tarn_prefix_t> queries = make_queries(rng, c.family, in, addrs, 30);
    EXPECT_TRUE(ask(loaded.idx, c.family, addrs, queries) ==
                ask(built.idx, c.family, addrs, queries));
    for (const tarn_addr_t& a : addrs) {
      ssize_t one = -9, want = -9;
      ASSERT_EQ(tarn_index_get(loaded.idx, &a, &one), TARN_OK);
      ASSERT_EQ(tarn_index_get(built.idx, &a, &want), TARN_OK);
      ASSERT_EQ(one, want) << ref_index::to_text(a);
    }
  }
}

// --- seeded random damage ------------------------------------------------

enum mutation { kFlip, kSetByte, kTruncate, kExtend, kLengthField, kSwap, kNodeField, kKinds };

// One random edit of a copy of `b`; the checksum is fixed afterwards in
// most cases, or nearly every edit would stop at it.
blob_t mutate(std::mt19937_64& rng, const blob_t& base, mutation kind) {
  blob_t b = base;
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  switch (kind) {
    case kFlip:
      for (size_t i = 1 + pick(4); i > 0; i--) b[pick(b.size())] ^= uint8_t(1u << pick(8));
      break;
    case kSetByte: {
      static const uint8_t kValues[] = {0, 1, 0x7F, 0x80, 0xFF, 8, 9, 32, 33, 128, 129};
      for (size_t i = 1 + pick(3); i > 0; i--)
        b[pick(b.size())] = rng() % 2 ? kValues[pick(sizeof kValues)] : uint8_t(rng());
      break;
    }
    case kTruncate:
      b.resize(pick(b.size()));
      break;
    case kExtend:
      for (size_t i = 1 + pick(24); i > 0; i--) b.push_back(uint8_t(rng()));
      break;
    case kLengthField: {
      // A count or section length, set to a neighbour, zero, a power of two
      // or all ones; sometimes the blob is resized to the total it implies.
      static const size_t kFields[] = {kCountAt,           kDistinctAt,        kNodeCountAt,
                                       kWordCountAt,       kSectionLenAt,      kSectionLenAt + 8,
                                       kSectionLenAt + 16, kSectionLenAt + 24, kSectionLenAt + 32,
                                       kLookupAt,          kDirectBitsAt};
      const size_t at = kFields[pick(sizeof kFields / sizeof kFields[0])];
      const int width = at == kLookupAt || at == kDirectBitsAt ? 4 : 8;
      const uint64_t old = get_le(b, at, width);
      const uint64_t choices[] = {old + 1,      old - 1, 0,       uint64_t{1} << pick(64),
                                  ~uint64_t{0}, old * 2, old + 12};
      put_le(b, at, width, choices[pick(7)]);
      if (rng() % 2) {
        uint64_t total = kHeaderLen;
        for (int s = 0; s < kSections; s++) total += get_le(b, kSectionLenAt + 8 * s, 8);
        if (total < b.size() + 100000) b.resize(static_cast<size_t>(total), 0);
      }
      break;
    }
    case kNodeField: {
      // A version 2 node record overwritten: it is dropped, so the blob
      // loads.  A blob without nodes gets a flipped bit instead.
      const size_t nodes = get_le(b, kNodeCountAt, 8);
      if (nodes == 0) {
        b[pick(b.size())] ^= uint8_t(1u << pick(8));
        break;
      }
      const size_t at = section_at(b, kNodes) + 12 * pick(nodes);
      for (size_t i = 0; i < 12; i++) b[at + i] = uint8_t(rng());
      break;
    }
    default: {
      // Swap two equal ranges of the payload: whole records of one section
      // or arbitrary spans.
      const size_t payload = b.size() - kHeaderLen;
      const size_t width = rng() % 2 ? 12 : 1 + pick(40);
      if (payload < 2 * width) break;
      const size_t x = kHeaderLen + pick(payload - width), y = kHeaderLen + pick(payload - width);
      if (x + width <= y || y + width <= x)
        std::swap_ranges(b.begin() + static_cast<ptrdiff_t>(x),
                         b.begin() + static_cast<ptrdiff_t>(x + width),
                         b.begin() + static_cast<ptrdiff_t>(y));
    }
  }
  if (rng() % 8 != 0) fix_checksum(b);
  return b;
}

// Every damaged blob is refused or loads to an index whose every lookup and
// query stays in bounds (the sanitizer build checks the reads; `ask` checks
// the positions reported).
// A loaded lookup structure is only known to answer below the count; one
// that answers a position no record holds (the v4 base has equal records,
// which share one) loads, and covering queries then find nothing there
// rather than read a link that was never written.
TEST(IndexBlob, LookupAnswerOfAnUnusedPositionCoversNothing) {
  blob_t b = make_bases(blob_seed()).v4;
  const size_t count = get_le(b, kCountAt, 8);
  std::vector<bool> used(count);
  for (size_t k = 0; k < count; k++) used[get_le(b, section_at(b, kOrig) + 4 * k, 4)] = true;
  const size_t unused =
      static_cast<size_t>(std::find(used.begin(), used.end(), false) - used.begin());
  ASSERT_LT(unused, count);
  // A leaf direct entry (a pointer's record would go unreached) and the
  // first address of its block.
  size_t e = 0;
  while (get_le(b, section_at(b, kDirect) + 4 * e, 4) < 0x80000000u) e++;
  put_le(b, section_at(b, kDirect) + 4 * e, 4, 0x80000000u | unused);
  fix_checksum(b);
  index_owner ix;
  ASSERT_EQ(tarn_index_load(b.data(), b.size(), &ix.idx), TARN_OK);
  tarn_prefix_t q{}, got[129];
  tarn_ssize_t pos[129];
  q.addr.family = TARN_AF_INET;
  q.pfxlen = 32;
  const uint32_t first = static_cast<uint32_t>(e << (32 - get_le(b, kDirectBitsAt, 4)));
  for (int i = 0; i < 4; i++) q.addr.addr.v4[i] = static_cast<uint8_t>(first >> (24 - 8 * i));
  size_t n = 99;
  ASSERT_EQ(tarn_index_covering(ix.idx, &q, got, pos, 129, &n), TARN_OK);
  EXPECT_EQ(n, 0u);
  size_t counts[1], total = 99;
  ASSERT_EQ(tarn_index_covering_many(ix.idx, &q, 1, got, pos, 129, counts, &total), TARN_OK);
  EXPECT_EQ(total, 0u);
}

TEST(IndexBlob, RandomDamageIsRefusedOrHarmless) {
  const uint64_t seed = blob_seed();
  const base_blobs bases = make_bases(seed);
  std::mt19937_64 rng(seed * 31 + 7);
  size_t loaded_count = 0, changed = 0, total = 0;
  for (const blob_t* base : {&bases.v4, &bases.v6, &bases.v4_small, &bases.v4_version2}) {
    index_owner orig;
    ASSERT_EQ(tarn_index_load(base->data(), base->size(), &orig.idx), TARN_OK);
    const tarn_family_t family = orig.idx->family;
    std::vector<tarn_prefix_t> held(orig.idx->prefix_count);
    for (size_t k = 0; k < held.size(); k++) index_prefix(orig.idx, k, &held[k]);
    const std::vector<tarn_addr_t> addrs = ref_index::random_addrs(rng, family, held, 200);
    const std::vector<tarn_prefix_t> queries = make_queries(rng, family, held, addrs, 12);
    const int rounds = base->size() > 10000 ? 200 : 800;
    for (int r = 0; r < rounds && !HasFailure(); r++) {
      const mutation kind = static_cast<mutation>(r % kKinds);
      const blob_t b = mutate(rng, *base, kind);
      SCOPED_TRACE("round " + std::to_string(r) + ", kind " + std::to_string(kind));
      index_owner ix;
      const tarn_err_t rc = tarn_index_load(b.data(), b.size(), &ix.idx);
      total++;
      if (rc != TARN_OK) {
        ASSERT_EQ(rc, TARN_ERR_INVAL);
        ASSERT_EQ(ix.idx, nullptr);
        continue;
      }
      loaded_count++;
      changed += b != *base;
      ask(ix.idx, family, addrs, queries);
      // Only what the serialiser writes loads: the same bytes come back,
      // in the current version.
      blob_t current = get_le(b, kVersionAt, 4) == 2 ? as_version4(b) : b;
      put_le(current, kVersionAt, 4, 4);  // version 3 differs only there
      ASSERT_EQ(serialize(ix.idx), current);
    }
  }
  printf("random damage: %zu of %zu blobs loaded (%zu of them changed), the rest refused\n",
         loaded_count, total, changed);
}

}  // namespace
