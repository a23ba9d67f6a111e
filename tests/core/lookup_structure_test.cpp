// lookup_structure_test.cpp - the popcount trie lookups walk: its answers
// against the LC-trie walk (exactly, positions of equal prefixes included)
// and a brute-force match, on hand-made and random tables of both families
// and at every size threshold of its shape; its validation against damaged
// and forged arrays; tarn_index_get.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pytarn.h"
#include "support/ref_index.h"
#include "tarn_internal.h"

namespace {

using ref_index::u128;

tarn_prefix_t P(const char* text) {
  std::string s(text);
  size_t slash = s.find('/');
  tarn_prefix_t p{};
  std::string addr = s.substr(0, slash);
  if (inet_pton(AF_INET, addr.c_str(), p.addr.addr.v4) == 1) {
    p.addr.family = TARN_AF_INET;
  } else {
    EXPECT_EQ(inet_pton(AF_INET6, addr.c_str(), p.addr.addr.v6), 1) << text;
    p.addr.family = TARN_AF_INET6;
  }
  p.pfxlen = static_cast<uint8_t>(atoi(s.c_str() + slash + 1));
  return p;
}

struct index_owner {
  tarn_index_t* idx = nullptr;
  ~index_owner() { tarn_index_destroy(idx); }
};

u128 ones(unsigned n) { return n >= 128 ? ~u128{0} : (u128{1} << n) - 1; }

// Every edge of every prefix (first and last address, and the addresses just
// outside), where one answer gives way to the next, plus random addresses.
std::vector<tarn_addr_t> probe_addrs(std::mt19937_64& rng, const std::vector<tarn_prefix_t>& in,
                                     size_t random_count) {
  const tarn_family_t family = in[0].addr.family;
  const unsigned width = ref_index::bits(family);
  std::vector<tarn_addr_t> out = ref_index::random_addrs(rng, family, in, random_count);
  for (const tarn_prefix_t& p : in) {
    const u128 first = ref_index::to_int(p.addr), last = first | ones(width - p.pfxlen);
    for (u128 a : {first, last, (first - 1) & ones(width), (last + 1) & ones(width)})
      out.push_back(ref_index::from_int(family, a));
  }
  return out;
}

// The addresses as network-order bytes, back to back, as a packed column
// holds them, one byte into the buffer so that the column is unaligned.
struct packed_column {
  std::vector<uint8_t> bytes;
  const uint8_t* data() const { return bytes.data() + 1; }
};
packed_column pack(const std::vector<tarn_addr_t>& addrs) {
  const size_t width = addrs.empty() || addrs[0].family == TARN_AF_INET ? 4 : 16;
  packed_column c{std::vector<uint8_t>(1 + addrs.size() * width)};
  for (size_t i = 0; i < addrs.size(); i++)
    memcpy(&c.bytes[1 + i * width], addrs[i].addr.v6, width);
  return c;
}

// The lookup structure, the packed and the scalar walks, the LC-trie walk and the brute
// force all answer alike; the first three to the position.
void expect_agrees(const tarn_index_t* idx, const std::vector<tarn_prefix_t>& in,
                   const std::vector<tarn_addr_t>& addrs) {
  const size_t n = addrs.size();
  std::vector<tarn_ssize_t> got(n, -9), want(n, -9);
  std::vector<tarn_err_t> errs(n, -9);
  ASSERT_EQ(tarn_index_lookup(idx, addrs.data(), n, got.data(), errs.data()), TARN_OK);
  tarn_lctrie_lookup(idx, addrs.data(), n, want.data(), nullptr);
  std::vector<tarn_ssize_t> packed_got(n, -9);
  ASSERT_EQ(tarn_index_lookup_packed(idx, pack(addrs).data(), n, packed_got.data()), TARN_OK);
  ASSERT_EQ(packed_got, got);
  ref_index::lpm_table table(in);
  for (size_t i = 0; i < n; i++) {
    SCOPED_TRACE("address " + ref_index::to_text(addrs[i]));
    ASSERT_EQ(errs[i], TARN_OK);
    ASSERT_EQ(got[i], want[i]);
    tarn_ssize_t one = -9;
    ASSERT_EQ(tarn_index_get(idx, &addrs[i], &one), TARN_OK);
    ASSERT_EQ(one, want[i]);
    const tarn_ssize_t brute = table.lookup(addrs[i]);
    ASSERT_EQ(got[i] < 0, brute < 0);
    if (brute >= 0) {
      ASSERT_EQ(ref_index::to_text(in[static_cast<size_t>(got[i])]),
                ref_index::to_text(in[static_cast<size_t>(brute)]));
    }
  }
}

// The index serialised and loaded again into *loaded.
void through_blob(const tarn_index_t* idx, index_owner* loaded) {
  size_t need = 0;
  ASSERT_EQ(tarn_index_serialize(idx, nullptr, 0, &need), TARN_ERR_INVAL);
  std::vector<uint8_t> blob(need);
  ASSERT_EQ(tarn_index_serialize(idx, blob.data(), blob.size(), &need), TARN_OK);
  ASSERT_EQ(tarn_index_load(blob.data(), blob.size(), &loaded->idx), TARN_OK);
}

// Builds the index, checks the structure validates and derives again to the
// same arrays, and compares every answer.
void check_table(std::mt19937_64& rng, const std::vector<tarn_prefix_t>& in,
                 size_t random_count = 2000) {
  index_owner ix;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
  const tarn_lookup_t& t = ix.idx->lookup;
  ASSERT_NE(t.direct, nullptr);
  ASSERT_EQ(tarn_lookup_validate(ix.idx), TARN_OK);
  expect_agrees(ix.idx, in, probe_addrs(rng, in, random_count));

  tarn_index again = *ix.idx;
  again.lookup = tarn_lookup_t{};
  ASSERT_EQ(tarn_lookup_build(&again), TARN_OK);
  EXPECT_EQ(again.lookup.direct_bits, t.direct_bits);
  EXPECT_EQ(memcmp(again.lookup.direct, t.direct, sizeof(uint32_t) << t.direct_bits), 0);
  ASSERT_EQ(again.lookup.word_count, t.word_count);
  EXPECT_EQ(memcmp(again.lookup.words, t.words, t.word_count * sizeof(uint32_t)), 0);
  tarn_lookup_release(&again);
}

TEST(LookupStructure, HandMadeTables) {
  struct Case {
    const char* name;
    std::vector<const char*> in;
  };
  const Case cases[] = {
      {"ipv4 /0 alone", {"0.0.0.0/0"}},
      {"ipv6 /0 alone", {"::/0"}},
      {"ipv4 host route alone", {"10.1.2.3/32"}},
      {"ipv4 top of space", {"255.255.255.255/32", "255.255.255.254/31", "255.0.0.0/8"}},
      {"ipv6 top of space",
       {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128", "ffff:ffff:ffff:ffff::/64", "ff00::/8"}},
      {"ipv4 bottom of space", {"0.0.0.0/32", "0.0.0.0/31", "0.0.0.0/1", "0.0.0.0/0"}},
      {"nested and disjoint",
       {"10.1.0.0/16", "10.0.0.0/8", "192.168.0.0/16", "10.1.2.0/24", "10.1.2.3/32"}},
      {"equal prefixes report one position",
       {"20.0.0.0/8", "10.0.0.0/8", "10.0.0.0/8", "10.0.0.0/8", "10.0.0.0/9"}},
      {"lengths at every stride edge",
       {"64.0.0.0/5", "64.0.0.0/6", "64.0.0.0/7", "64.0.0.0/11", "64.0.0.0/12", "64.0.0.0/13",
        "64.0.0.0/17", "64.0.0.0/18", "64.0.0.0/19", "64.0.0.0/23", "64.0.0.0/24", "64.0.0.0/25",
        "64.0.0.0/29", "64.0.0.0/30", "64.0.0.0/31", "64.0.0.0/32"}},
      {"ipv6 lengths near the end",
       {"2001:db8::/120", "2001:db8::/122", "2001:db8::/124", "2001:db8::/126", "2001:db8::/127",
        "2001:db8::1/128", "2001:db8::2/127", "2001:db8::ff/128"}},
      {"ipv6 chain to a host route", {"2001:db8::1/128", "::/0", "2001:db8::/32"}},
      {"neighbours with one answer apart", {"10.0.0.0/25", "10.0.0.128/25", "10.0.0.0/24"}},
  };
  std::mt19937_64 rng(11);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<tarn_prefix_t> in;
    for (const char* text : c.in) in.push_back(P(text));
    check_table(rng, in, 500);
  }
}

// One address carrying every length, at the bottom, the top and in the
// middle of the space: the deepest walks there are.
TEST(LookupStructure, FullChains) {
  std::mt19937_64 rng(12);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    const unsigned width = ref_index::bits(family);
    for (u128 addr : {u128{0}, ones(width), ones(width) / 3}) {
      SCOPED_TRACE(std::to_string(family) + " " +
                   ref_index::to_text(ref_index::from_int(family, addr)));
      std::vector<tarn_prefix_t> in;
      for (unsigned len = 0; len <= width; len++)
        in.push_back(ref_index::make_prefix(family, addr, len));
      check_table(rng, in, 200);
    }
  }
}

// Random tables of the sizes the index tests use and of the sizes where the
// direct table grows (4 * count reaching 2^6, 2^12, 2^18).
TEST(LookupStructure, RandomTablesAtEveryThreshold) {
  const size_t sizes[] = {1, 2, 3, 15, 16, 17, 100, 1000, 1023, 1024, 3000, 6000, 65535, 65536};
  const char* env = getenv("TARN_INDEX_SEED");
  const uint64_t seed = env ? strtoull(env, nullptr, 0) : 20251009;
  printf("lookup structure tests: seed %llu (set TARN_INDEX_SEED to repeat)\n",
         static_cast<unsigned long long>(seed));
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    for (size_t n : sizes) {
      SCOPED_TRACE("family " + std::to_string(family) + ", " + std::to_string(n) + " prefixes");
      std::mt19937_64 rng(seed ^ (n * 1000003u + family));
      std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, family, n);
      // The edges of a large table are many; a sample of it keeps the test
      // short and still meets every kind of edge.
      std::vector<tarn_prefix_t> probe(
          in.begin(), in.begin() + std::min<ptrdiff_t>(static_cast<ptrdiff_t>(n), 3000));
      index_owner ix;
      ASSERT_EQ(tarn_index_create(in.data(), n, &ix.idx), TARN_OK);
      ASSERT_EQ(tarn_lookup_validate(ix.idx), TARN_OK);
      const unsigned want_bits = n >= 65536 ? 18 : n >= 1024 ? 12 : n >= 16 ? 6 : 0;
      // A 2^18 table steps down to 2^12 when its blocks are mostly empty,
      // as those of these clustered IPv6 tables may be.
      const unsigned bits = ix.idx->lookup.direct_bits;
      EXPECT_TRUE(bits == want_bits || (family == TARN_AF_INET6 && want_bits == 18 && bits == 12))
          << bits;
      std::vector<tarn_addr_t> addrs = probe_addrs(rng, probe, 4000);
      expect_agrees(ix.idx, in, addrs);
      if (HasFailure()) return;
    }
  }
}

// IPv6 tables sit in a few corners of the space.  There the direct table
// stays at 2^12 entries, and a prefix alone in its parent's block costs one
// skip record, not a record per six bits.
TEST(LookupStructure, Ipv6TablesInFewBlocks) {
  std::mt19937_64 rng(20261211);
  std::vector<tarn_prefix_t> in;
  const uint8_t corners[][2] = {{0x20, 0x01}, {0x24, 0x00}, {0x2a, 0x00}};
  for (size_t k = 0; k < 70000; k++) {
    tarn_prefix_t p = ref_index::make_prefix(TARN_AF_INET6, (u128{rng()} << 64) | rng(), 48);
    p.addr.addr.v6[0] = corners[k % 3][0];
    p.addr.addr.v6[1] = corners[k % 3][1];
    in.push_back(p);
  }
  for (const char* text : {"2001::/16", "2400::/12", "2a00:1::/32"}) in.push_back(P(text));
  index_owner ix;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
  ASSERT_EQ(tarn_lookup_validate(ix.idx), TARN_OK);
  EXPECT_EQ(ix.idx->lookup.direct_bits, 12u);
  // A /48 among 2^16 (or 2^20) blocks of its corner costs its skip record
  // and a share of the records above it.
  EXPECT_LT(ix.idx->lookup.word_count * 4 / in.size(), 40u);
  std::vector<tarn_prefix_t> probe(in.begin(), in.begin() + 3000);
  probe.insert(probe.end(), in.end() - 3, in.end());
  expect_agrees(ix.idx, in, probe_addrs(rng, probe, 4000));
}

// An IPv4 table of /24 routes and shorter, large enough for 18 direct bits,
// is flat: every walk ends one record past the direct table, and lookups
// take the flat walk, batched and one at a time.  A loader finds the same
// from the records; one route longer than /24 makes the table deep again.
TEST(LookupStructure, FlatIpv4Tables) {
  std::mt19937_64 rng(20261211);
  std::vector<tarn_prefix_t> in;
  for (size_t k = 0; k < 70000; k++)
    in.push_back(
        ref_index::make_prefix(TARN_AF_INET, rng(), 8 + static_cast<unsigned>(rng() % 17)));
  in.push_back(in[5]);  // equal prefixes report one position
  for (bool deep : {false, true}) {
    SCOPED_TRACE(deep ? "with a /25" : "flat");
    if (deep) in.push_back(P("10.20.30.128/25"));
    index_owner ix;
    ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
    ASSERT_EQ(ix.idx->lookup.direct_bits, 18u);
    EXPECT_EQ(ix.idx->lookup.flat, !deep);
    bool flat = deep;
    ASSERT_EQ(tarn_lookup_validate(ix.idx, &flat), TARN_OK);
    EXPECT_EQ(flat, !deep);
    std::vector<tarn_prefix_t> probe(in.begin(), in.begin() + 3000);
    if (deep) probe.push_back(in.back());
    const std::vector<tarn_addr_t> addrs = probe_addrs(rng, probe, 20000);
    expect_agrees(ix.idx, in, addrs);
    // Batches below a group and with a tail.
    for (size_t n : {size_t{1}, size_t{31}, size_t{33}, size_t{101}}) {
      std::vector<tarn_ssize_t> got(n), want(n);
      ASSERT_EQ(tarn_index_lookup(ix.idx, addrs.data(), n, got.data(), nullptr), TARN_OK);
      tarn_lctrie_lookup(ix.idx, addrs.data(), n, want.data(), nullptr);
      EXPECT_EQ(got, want) << n;
    }

    index_owner loaded;
    ASSERT_NO_FATAL_FAILURE(through_blob(ix.idx, &loaded));
    EXPECT_EQ(loaded.idx->lookup.flat, !deep);
    expect_agrees(loaded.idx, in, addrs);
  }
}

// From kWideDirectMin prefixes on, an IPv4 table takes 24 direct bits; the
// records below them (for routes longer than /24) then start at bit 24.
TEST(LookupStructure, WideDirectTableOfLargeIpv4Tables) {
  std::mt19937_64 rng(20261210);
  std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, TARN_AF_INET, kWideDirectMin);
  index_owner ix;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
  ASSERT_EQ(ix.idx->lookup.direct_bits, 24u);
  ASSERT_GT(ix.idx->lookup.word_count, 0u);
  ASSERT_EQ(tarn_lookup_validate(ix.idx), TARN_OK);
  std::vector<tarn_prefix_t> probe(in.begin(), in.begin() + 3000);
  const std::vector<tarn_addr_t> addrs = probe_addrs(rng, probe, 20000);
  expect_agrees(ix.idx, in, addrs);

  // The blob carries the wide table, and the loader takes it back.
  index_owner loaded;
  ASSERT_NO_FATAL_FAILURE(through_blob(ix.idx, &loaded));
  ASSERT_EQ(loaded.idx->lookup.direct_bits, 24u);
  expect_agrees(loaded.idx, in, addrs);
}

// Tables of kFarMin bytes of arrays or more take the walks that prefetch far
// ahead: IPv4 below the wide table in a pipeline of groups, IPv6 and the
// wide table (WideDirectTableOfLargeIpv4Tables) one group after another.
// Both answer as single lookups, in batches of one group and more.
TEST(LookupStructure, FarPrefetchWalksOfLargeTables) {
  std::mt19937_64 rng(20261211);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    SCOPED_TRACE(family);
    std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, family, 700000);
    index_owner ix;
    ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
    const tarn_lookup_t& t = ix.idx->lookup;
    ASSERT_GE(((size_t{1} << t.direct_bits) + t.word_count) * 4, kFarMin);
    ASSERT_LT(t.direct_bits, 24u);
    std::vector<tarn_prefix_t> probe(in.begin(), in.begin() + 2000);
    const std::vector<tarn_addr_t> addrs = probe_addrs(rng, probe, 6000);
    expect_agrees(ix.idx, in, addrs);
    const packed_column packed = pack(addrs);
    for (size_t n : {32, 64, 96, 129}) {
      SCOPED_TRACE(n);
      std::vector<tarn_ssize_t> got(n, -9), single(n, -9);
      ASSERT_EQ(tarn_index_lookup_packed(ix.idx, packed.data(), n, got.data()), TARN_OK);
      for (size_t i = 0; i < n; i++)
        ASSERT_EQ(tarn_index_get(ix.idx, &addrs[i], &single[i]), TARN_OK);
      EXPECT_EQ(got, single);
    }
  }
}

// Batches of every length around the group width and the pipeline of groups
// (one to six groups) answer as single lookups, and an index without the
// structure (as a loader may leave it) answers the same from the LC-trie.
TEST(LookupStructure, BatchLengthsAndLctrieFallback) {
  std::mt19937_64 rng(13);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, family, 2000);
    index_owner ix;
    ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
    std::vector<tarn_addr_t> addrs = ref_index::random_addrs(rng, family, in, 600);
    std::vector<tarn_ssize_t> single(addrs.size());
    for (size_t i = 0; i < addrs.size(); i++)
      ASSERT_EQ(tarn_index_get(ix.idx, &addrs[i], &single[i]), TARN_OK);
    const packed_column packed = pack(addrs);
    for (size_t n : {1, 2, 31, 32, 33, 63, 64, 65, 96, 129, 200}) {
      SCOPED_TRACE(n);
      std::vector<tarn_ssize_t> got(n, -9), got_packed(n, -9);
      ASSERT_EQ(tarn_index_lookup(ix.idx, addrs.data(), n, got.data(), nullptr), TARN_OK);
      EXPECT_EQ(got, std::vector<tarn_ssize_t>(single.begin(), single.begin() + n));
      ASSERT_EQ(tarn_index_lookup_packed(ix.idx, packed.data(), n, got_packed.data()), TARN_OK);
      EXPECT_EQ(got_packed, got);
    }
    tarn_lookup_release(ix.idx);
    ASSERT_EQ(tarn_lookup_validate(ix.idx), TARN_OK);
    std::vector<tarn_ssize_t> got(addrs.size(), -9), got_packed(addrs.size(), -9);
    ASSERT_EQ(tarn_index_lookup(ix.idx, addrs.data(), addrs.size(), got.data(), nullptr), TARN_OK);
    EXPECT_EQ(got, single);
    // More than one of the fallback's blocks.
    ASSERT_EQ(tarn_index_lookup_packed(ix.idx, packed.data(), addrs.size(), got_packed.data()),
              TARN_OK);
    EXPECT_EQ(got_packed, single);
    tarn_ssize_t one = -9;
    ASSERT_EQ(tarn_index_get(ix.idx, &addrs[0], &one), TARN_OK);
    EXPECT_EQ(one, single[0]);
  }
}

TEST(IndexGetAndPacked, RejectInOrderAndWriteNothing) {
  std::vector<tarn_prefix_t> in = {P("10.0.0.0/8")};
  index_owner ix;
  ASSERT_EQ(tarn_index_create(in.data(), 1, &ix.idx), TARN_OK);
  tarn_addr_t v4 = P("10.1.2.3/32").addr, v6 = P("2001:db8::1/128").addr, unspec = v4;
  unspec.family = TARN_AF_UNSPEC;
  tarn_ssize_t m = -5;
  EXPECT_EQ(tarn_index_get(nullptr, &v4, &m), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_get(ix.idx, nullptr, &m), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_get(ix.idx, &v4, nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_get(ix.idx, &unspec, &m), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_get(ix.idx, &v6, &m), TARN_ERR_FAMILY);
  EXPECT_EQ(m, -5);
  EXPECT_EQ(tarn_index_get(ix.idx, &v4, &m), TARN_OK);
  EXPECT_EQ(m, 0);

  const uint8_t bytes[4] = {10, 1, 2, 3};
  m = -5;
  EXPECT_EQ(tarn_index_lookup_packed(nullptr, bytes, 1, &m), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_lookup_packed(ix.idx, nullptr, 1, &m), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_lookup_packed(ix.idx, bytes, 1, nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_lookup_packed(ix.idx, bytes, SIZE_MAX / 8, &m), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_lookup_packed(ix.idx, nullptr, 0, nullptr), TARN_OK);
  EXPECT_EQ(m, -5);
  EXPECT_EQ(tarn_index_lookup_packed(ix.idx, bytes, 1, &m), TARN_OK);
  EXPECT_EQ(m, 0);
}

// --- validation ------------------------------------------------------------

// Replaces the index's structure with a copy of `direct` and `words`.
void install(tarn_index* idx, unsigned direct_bits, const std::vector<uint32_t>& direct,
             const std::vector<uint32_t>& words) {
  tarn_lookup_release(idx);
  idx->lookup.direct_bits = direct_bits;
  idx->lookup.direct = static_cast<uint32_t*>(malloc(direct.size() * sizeof(uint32_t) + 4));
  std::copy(direct.begin(), direct.end(), idx->lookup.direct);
  idx->lookup.words = static_cast<uint32_t*>(malloc(words.size() * sizeof(uint32_t) + 4));
  std::copy(words.begin(), words.end(), idx->lookup.words);
  idx->lookup.word_count = words.size();
}

// A record: the two maps (low word first), then child positions, then
// answers, padded to an even length.
void record(std::vector<uint32_t>* w, uint64_t vector, uint64_t leafvec,
            std::vector<uint32_t> rest) {
  for (uint64_t m : {vector, leafvec}) {
    w->push_back(static_cast<uint32_t>(m));
    w->push_back(static_cast<uint32_t>(m >> 32));
  }
  w->insert(w->end(), rest.begin(), rest.end());
  if (w->size() % 2) w->push_back(0);
}

// An IPv4 chain of `depth` records from the one direct entry, each with
// child 0 a node and the rest one run answering 0; the last has leaves only.
std::vector<uint32_t> chain(unsigned depth) {
  std::vector<uint32_t> w;
  for (unsigned k = 0; k + 1 < depth; k++)
    record(&w, 1, 2, {static_cast<uint32_t>(w.size() + 6), 0});
  record(&w, 0, 1, {0});
  return w;
}

TEST(LookupValidate, RefusesEachBrokenInvariant) {
  std::vector<tarn_prefix_t> in = {P("10.0.0.0/8"), P("10.1.0.0/16")};
  index_owner ix;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
  const uint32_t N = TARN_INDEX_NONE;
  // Two records under the one direct entry: the root with child 2 a node,
  // the child all leaves.
  std::vector<uint32_t> good;
  record(&good, 1u << 2, 1, {6, N});
  record(&good, 0, 1 | (uint64_t{1} << 32), {N, 1});
  struct Case {
    const char* name;
    unsigned bits;
    std::vector<uint32_t> direct, words;
    tarn_err_t want;
  };
  auto with = [&](size_t at, uint32_t value) {
    std::vector<uint32_t> w = good;
    w[at] = value;
    return w;
  };
  std::vector<uint32_t> direct_pair(64, 0x80000000u | 0x7FFFFFFFu);
  direct_pair[0] = 0;
  direct_pair[1] = 0;
  std::vector<uint32_t> unreached = good;
  record(&unreached, 0, 1, {N});
  const Case cases[] = {
      {"well formed", 0, {0}, good, TARN_OK},
      {"chain to the last level", 0, {0}, chain(6), TARN_OK},
      {"child node below the last level", 0, {0}, chain(7), TARN_ERR_INVAL},
      {"child points at its parent", 0, {0}, with(4, 0), TARN_ERR_INVAL},
      {"child points into its own record", 0, {0}, with(4, 2), TARN_ERR_INVAL},
      {"child points into a later record", 0, {0}, with(4, 8), TARN_ERR_INVAL},
      {"child past the end", 0, {0}, with(4, 12), TARN_ERR_INVAL},
      {"odd child position", 0, {0}, with(4, 7), TARN_ERR_INVAL},
      {"vector and leafvec share a bit", 0, {0}, with(2, 1 | 4), TARN_ERR_INVAL},
      {"first leaf starts no run", 0, {0}, with(8, 0), TARN_ERR_INVAL},
      {"answer out of range", 0, {0}, with(11, 2), TARN_ERR_INVAL},
      {"record runs past the end",
       0,
       {0},
       std::vector<uint32_t>(good.begin(), good.end() - 2),
       TARN_ERR_INVAL},
      {"record reached by nothing", 0, {0}, unreached, TARN_ERR_INVAL},
      {"direct entry past the end", 0, {12}, good, TARN_ERR_INVAL},
      {"direct answer out of range", 0, {0x80000002u}, {}, TARN_ERR_INVAL},
      {"direct none", 0, {0xFFFFFFFFu}, {}, TARN_OK},
      {"two direct entries share a record", 6, direct_pair, good, TARN_ERR_INVAL},
      // Refused before a direct entry is read, so one entry stands for 2^25.
      {"direct table too deep", 25, {0xFFFFFFFFu}, {}, TARN_ERR_INVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    install(ix.idx, c.bits, c.direct, c.words);
    EXPECT_EQ(tarn_lookup_validate(ix.idx), c.want);
  }
  // The well-formed record pair answers as its maps say.
  install(ix.idx, 0, {0}, good);
  tarn_ssize_t m;
  const tarn_addr_t in_10 = P("10.0.0.1/32").addr, in_9 = P("9.0.0.1/32").addr;
  ASSERT_EQ(tarn_index_get(ix.idx, &in_10, &m), TARN_OK);
  EXPECT_EQ(m, 1);
  ASSERT_EQ(tarn_index_get(ix.idx, &in_9, &m), TARN_OK);
  EXPECT_EQ(m, -1);
  // Half-present structures.
  tarn_lookup_release(ix.idx);
  ix.idx->lookup.word_count = 4;
  EXPECT_EQ(tarn_lookup_validate(ix.idx), TARN_ERR_INVAL);
  ix.idx->lookup.word_count = 0;
}

// Answers are checked many to a step: every answer of a record of 1 to 63
// of them is checked wherever it sits, and the words after the last one
// (here the next record's vector, whose high word would be out of range as
// an answer) are not.  The root's child 63 is a node with 63 answers, then
// a last record, so that the root's answers have the room a wide step
// reads.
TEST(LookupValidate, EveryAnswerOfARecordIsChecked) {
  std::vector<tarn_prefix_t> in = {P("10.0.0.0/8"), P("10.1.0.0/16")};
  index_owner ix;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
  const uint32_t N = TARN_INDEX_NONE;
  for (unsigned n : {1u, 2u, 13u, 15u, 16u, 17u, 33u, 48u, 63u}) {
    std::vector<uint32_t> rest = {0};  // the child's position, set below
    for (unsigned k = 0; k < n; k++) rest.push_back(k % 3 == 2 ? N : k % 2);
    std::vector<uint32_t> w;
    record(&w, uint64_t{1} << 63, (uint64_t{1} << n) - 1, rest);
    w[4] = static_cast<uint32_t>(w.size());
    std::vector<uint32_t> child_rest = {0};
    for (unsigned k = 0; k < 63; k++) child_rest.push_back(k % 2);
    const size_t child = w.size();
    record(&w, uint64_t{1} << 63, ~uint64_t{0} >> 1, child_rest);
    w[child + 4] = static_cast<uint32_t>(w.size());
    record(&w, 0, 1, {1});
    install(ix.idx, 0, {0}, w);
    ASSERT_EQ(tarn_lookup_validate(ix.idx), TARN_OK) << n;
    for (unsigned k = 0; k < n; k++) {
      std::vector<uint32_t> bad = w;
      bad[5 + k] = 2;  // one past the last position
      install(ix.idx, 0, {0}, bad);
      EXPECT_EQ(tarn_lookup_validate(ix.idx), TARN_ERR_INVAL) << n << " " << k;
    }
  }
}

// IPv6 skip records: the head (the bits compared, at the top, and their
// count), then the answers on the path and off it, each as 2(a + 1).
void skip(std::vector<uint32_t>* w, uint64_t bits_at_top, unsigned m, uint32_t on_path,
          uint32_t off_path) {
  const uint64_t head = bits_at_top | (uint64_t{m} << 2);
  w->insert(w->end(), {static_cast<uint32_t>(head), static_cast<uint32_t>(head >> 32),
                       2 * (on_path + 1), 2 * (off_path + 1)});
}

TEST(LookupValidate, RefusesEachBrokenSkipRecord) {
  std::vector<tarn_prefix_t> in = {P("2001:db8::/32"), P("2001:db8:1::/48")};
  index_owner ix;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
  const uint32_t N = TARN_INDEX_NONE;
  // One skip record at depth 0: 2001:db8 (32 bits) answers 0, the rest none.
  auto one = [&](unsigned m, uint64_t extra, uint32_t on, uint32_t off) {
    std::vector<uint32_t> w;
    skip(&w, (uint64_t{0x20010db8} << 32) | extra, m, on, off);
    return w;
  };
  // `depth` / 6 records, each with child 0 a node, then a skip record of m
  // bits from that depth.
  auto deep = [&](unsigned depth, unsigned m) {
    std::vector<uint32_t> w;
    for (unsigned d = 0; d < depth; d += 6)
      record(&w, 1, 2, {static_cast<uint32_t>(w.size() + 6), N});
    skip(&w, 0, m, 0, N);
    return w;
  };
  std::vector<uint32_t> unreached = one(32, 0, 0, N);
  skip(&unreached, 0, 6, 0, N);
  std::vector<uint32_t> odd = one(32, 0, 0, N);
  odd[3] = 1;
  struct Case {
    const char* name;
    std::vector<uint32_t> words;
    tarn_err_t want;
  };
  const Case cases[] = {
      {"well formed", one(32, 0, 0, N), TARN_OK},
      {"none on the path", one(32, 0, N, N), TARN_OK},
      {"fewer bits than a stride", one(5, 0, 0, N), TARN_ERR_INVAL},
      {"more bits than a head holds", one(57, 0, 0, N), TARN_ERR_INVAL},
      {"a key bit below the bits compared", one(32, uint64_t{1} << 20, 0, N), TARN_ERR_INVAL},
      {"the spare bit of the count's byte", one(32, 2, 0, N), TARN_ERR_INVAL},
      {"answer on the path out of range", one(32, 0, 2, N), TARN_ERR_INVAL},
      {"answer off the path out of range", one(32, 0, 0, 2), TARN_ERR_INVAL},
      {"answer off the path odd", odd, TARN_ERR_INVAL},
      {"record reached by nothing", unreached, TARN_ERR_INVAL},
      {"to the last bit", deep(78, 50), TARN_OK},
      {"past the last bit", deep(78, 51), TARN_ERR_INVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    install(ix.idx, 0, {0}, c.words);
    EXPECT_EQ(tarn_lookup_validate(ix.idx), c.want);
  }
  // The well-formed record answers as it says, batched and alone.
  install(ix.idx, 0, {0}, one(32, 0, 0, N));
  const tarn_addr_t addrs[] = {P("2001:db8:1::5/128").addr, P("2001:db8:ffff::1/128").addr,
                               P("2001:db9::/128").addr};
  const tarn_ssize_t want[] = {0, 0, -1};
  std::vector<tarn_addr_t> batch;
  for (int k = 0; k < 40; k++) batch.push_back(addrs[k % 3]);
  std::vector<tarn_ssize_t> got(batch.size());
  ASSERT_EQ(tarn_index_lookup(ix.idx, batch.data(), batch.size(), got.data(), nullptr), TARN_OK);
  for (size_t k = 0; k < batch.size(); k++) EXPECT_EQ(got[k], want[k % 3]) << k;
  // Only the IPv6 walk reads skip records.
  std::vector<tarn_prefix_t> v4 = {P("10.0.0.0/8")};
  index_owner ix4;
  ASSERT_EQ(tarn_index_create(v4.data(), v4.size(), &ix4.idx), TARN_OK);
  std::vector<uint32_t> w4;
  skip(&w4, uint64_t{10} << 56, 8, 0, N);
  install(ix4.idx, 0, {0}, w4);
  EXPECT_EQ(tarn_lookup_validate(ix4.idx), TARN_ERR_INVAL);
}

// Random damage to a built structure is refused, or leaves a structure whose
// walks stay in bounds and answer positions of the index (the sanitizer
// build checks the former).
TEST(LookupValidate, RandomDamageIsRefusedOrHarmless) {
  std::mt19937_64 rng(14);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, family, 300);
    std::vector<tarn_addr_t> addrs = ref_index::random_addrs(rng, family, in, 300);
    index_owner ix;
    ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
    const tarn_lookup_t t = ix.idx->lookup;
    std::vector<uint32_t> direct(t.direct, t.direct + (size_t{1} << t.direct_bits));
    std::vector<uint32_t> words(t.words, t.words + t.word_count);
    size_t refused = 0;
    for (int round = 0; round < 2000; round++) {
      std::vector<uint32_t> d = direct, w = words;
      for (int k = 0; k < 1 + round % 3; k++) {
        uint32_t flip = rng() % 3 == 0 ? static_cast<uint32_t>(rng()) : 1u << (rng() % 32);
        if (rng() % 4 == 0)
          d[rng() % d.size()] ^= flip;
        else
          w[rng() % w.size()] ^= flip;
      }
      install(ix.idx, t.direct_bits, d, w);
      if (tarn_lookup_validate(ix.idx) != TARN_OK) {
        refused++;
        continue;
      }
      std::vector<tarn_ssize_t> got(addrs.size());
      ASSERT_EQ(tarn_index_lookup(ix.idx, addrs.data(), addrs.size(), got.data(), nullptr),
                TARN_OK);
      for (tarn_ssize_t g : got) ASSERT_LT(g, static_cast<tarn_ssize_t>(in.size()));
    }
    EXPECT_GT(refused, 500u);
  }
}

}  // namespace
