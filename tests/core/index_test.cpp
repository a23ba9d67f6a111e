// index_test.cpp - the prefix index: construction node for node on small
// hand-checked tries, argument checks, and lookups against brute force on
// random prefix sets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "pytarn.h"
#include "support/ref_index.h"
#include "tarn_internal.h"

namespace {

constexpr uint32_t N = TARN_INDEX_NONE;

// Test-side text parsing through the C library, independent of the core.
tarn_addr_t A(const char* text) {
  tarn_addr_t a{};
  if (inet_pton(AF_INET, text, a.addr.v4) == 1) {
    a.family = TARN_AF_INET;
  } else {
    EXPECT_EQ(inet_pton(AF_INET6, text, a.addr.v6), 1) << text;
    a.family = TARN_AF_INET6;
  }
  return a;
}

tarn_prefix_t P(const char* text) {
  std::string s(text);
  size_t slash = s.find('/');
  tarn_prefix_t p{};
  p.addr = A(s.substr(0, slash).c_str());
  p.pfxlen = static_cast<uint8_t>(atoi(s.c_str() + slash + 1));
  return p;
}

std::vector<tarn_prefix_t> Ps(std::initializer_list<const char*> texts) {
  std::vector<tarn_prefix_t> out;
  for (const char* t : texts) out.push_back(P(t));
  return out;
}

// Owns an index for the length of a test.
struct index_owner {
  tarn_index_t* idx = nullptr;
  ~index_owner() { tarn_index_destroy(idx); }
};

uint64_t test_seed() {
  const char* env = getenv("TARN_INDEX_SEED");
  uint64_t seed = env ? strtoull(env, nullptr, 0) : 20251009;
  printf("index tests: seed %llu (set TARN_INDEX_SEED to repeat)\n",
         static_cast<unsigned long long>(seed));
  return seed;
}

ssize_t lookup_one(const tarn_index_t* idx, const tarn_addr_t& a) {
  ssize_t m = -7;
  tarn_err_t e = -7;
  EXPECT_EQ(tarn_index_lookup(idx, &a, 1, &m, &e), TARN_OK);
  EXPECT_EQ(e, TARN_OK);
  return m;
}

// --- construction, node for node -----------------------------------------

struct packed_want {
  uint32_t base, prefix_idx;
  uint8_t branch, skip;
};
struct lookup_want {
  const char* addr;
  ssize_t want;
};
struct shape_case {
  const char* name;
  std::vector<tarn_prefix_t> in;
  std::vector<uint32_t> orig;
  std::vector<packed_want> nodes;
  std::vector<lookup_want> lookups;
};

TEST(IndexShape, HandCheckedTries) {
  const shape_case cases[] = {
      {"four nested and disjoint",
       Ps({"10.1.0.0/16", "10.0.0.0/8", "192.168.0.0/16", "10.1.2.0/24"}),
       {1, 0, 3, 2},
       {{1, N, 1, 0},
        {3, 0, 1, 7},
        {0, 3, 0, 15},
        {5, 1, 1, 7},
        {0, N, 0, 0},
        {0, 2, 0, 7},
        {0, N, 0, 0}},
       {{"10.1.2.3", 3},
        {"10.1.3.1", 0},
        {"10.200.0.1", 1},
        {"192.168.5.5", 2},
        {"11.0.0.0", -1},
        {"192.169.0.0", -1},
        {"10.1.2.255", 3},
        {"10.255.255.255", 1}}},
      // Branch 1 and 2 both cost 5: the larger wins and the early leaf fills
      // two slots, its skip wrapping to 255.
      {"tie goes to the larger factor",
       Ps({"0.0.0.0/1", "128.0.0.0/2", "192.0.0.0/2"}),
       {0, 1, 2},
       {{1, N, 2, 0}, {0, 0, 0, 255}, {0, 0, 0, 255}, {0, 1, 0, 0}, {0, 2, 0, 0}},
       {{"1.2.3.4", 0},
        {"127.255.255.255", 0},
        {"130.0.0.1", 1},
        {"200.0.0.1", 2},
        {"255.255.255.255", 2}}},
      // 128.0.0.0/1 has children one bit below the root, so the root may
      // consume only one bit.
      {"prefix with children below a stride",
       Ps({"0.0.0.0/0", "128.0.0.0/1", "255.0.0.0/8", "128.0.0.0/3"}),
       {0, 1, 3, 2},
       {{1, 0, 1, 0}, {0, N, 0, 0}, {3, 1, 1, 0}, {0, 2, 0, 1}, {0, 3, 0, 6}},
       {{"212.182.95.132", 1},
        {"130.0.0.1", 3},
        {"255.1.1.1", 2},
        {"1.2.3.4", 0},
        {"159.255.255.255", 3},
        {"160.0.0.0", 1}}},
      {"ipv6 chain to a host route",
       Ps({"2001:db8::1/128", "::/0", "2001:db8::/32"}),
       {1, 2, 0},
       {{1, 0, 1, 0}, {3, 1, 1, 31}, {0, N, 0, 0}, {0, 2, 0, 95}, {0, N, 0, 0}},
       {{"2001:db8::1", 0},
        {"2001:db8::2", 2},
        {"::1", 1},
        {"2001:db9::", 1},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 1},
        {"2001:db8::", 2}}},
      {"single /0",
       Ps({"0.0.0.0/0"}),
       {0},
       {{0, 0, 0, 0}},
       {{"0.0.0.0", 0}, {"255.255.255.255", 0}, {"10.1.2.3", 0}}},
      {"single host route",
       Ps({"10.1.2.3/32"}),
       {0},
       {{0, 0, 0, 32}},
       {{"10.1.2.3", 0}, {"10.1.2.2", -1}, {"10.1.2.4", -1}, {"0.0.0.0", -1}}},
      {"single ipv6 /0",
       Ps({"::/0"}),
       {0},
       {{0, 0, 0, 0}},
       {{"::", 0}, {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 0}}},
      {"single top-of-space ipv6 host route",
       Ps({"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"}),
       {0},
       {{0, 0, 0, 128}},
       {{"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 0},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", -1},
        {"::", -1}}},
      // The equal pair reports the position the sort puts first (2, not 1).
      {"equal prefixes",
       Ps({"20.0.0.0/8", "10.0.0.0/8", "10.0.0.0/8"}),
       {2, 2, 0},
       {{1, N, 1, 3}, {0, 0, 0, 4}, {0, 2, 0, 4}},
       {{"10.5.5.5", 2}, {"20.1.1.1", 0}, {"30.0.0.0", -1}, {"0.0.0.0", -1}}},
      {"only equal prefixes",
       Ps({"10.0.0.0/8", "10.0.0.0/8"}),
       {0, 0},
       {{0, 0, 0, 8}},
       {{"10.0.0.0", 0}, {"9.255.255.255", -1}}},
      {"equal host routes",
       Ps({"1.2.3.4/32", "1.2.3.4/32", "1.2.3.4/32"}),
       {0, 0, 0},
       {{0, 0, 0, 32}},
       {{"1.2.3.4", 0}, {"1.2.3.5", -1}}},
  };
  for (const shape_case& c : cases) {
    SCOPED_TRACE(c.name);
    index_owner ix;
    ASSERT_EQ(tarn_index_create(c.in.data(), c.in.size(), &ix.idx), TARN_OK);
    const tarn_index& idx = *ix.idx;
    // The trie is built on first need; a lookup never needs it.
    EXPECT_EQ(idx.nodes, nullptr);
    uint32_t node_count = 0;
    ASSERT_NE(tarn_index_lctrie(ix.idx, &node_count), nullptr);
    ASSERT_EQ(node_count, idx.node_count);
    EXPECT_EQ(idx.prefix_count, c.in.size());
    EXPECT_EQ(idx.family, c.in[0].addr.family);
    EXPECT_EQ(std::vector<uint32_t>(idx.orig_indices, idx.orig_indices + idx.prefix_count), c.orig);
    ASSERT_EQ(idx.node_count, c.nodes.size());
    for (size_t i = 0; i < c.nodes.size(); i++) {
      SCOPED_TRACE("packed position " + std::to_string(i));
      const tarn_lctrie_node_t& q = idx.nodes[i];
      EXPECT_EQ(q.base, c.nodes[i].base);
      EXPECT_EQ(q.prefix_idx, c.nodes[i].prefix_idx);
      EXPECT_EQ(q.branch, c.nodes[i].branch);
      EXPECT_EQ(q.skip, c.nodes[i].skip);
      EXPECT_EQ(q.pad[0], 0);
      EXPECT_EQ(q.pad[1], 0);
    }
    for (const lookup_want& l : c.lookups) {
      SCOPED_TRACE(l.addr);
      EXPECT_EQ(lookup_one(ix.idx, A(l.addr)), l.want);
    }
  }
}

// The sorted records are in network order, and decode to prefixes of the
// index's family (not the order tags used while building).
TEST(IndexShape, SortedRecordsHoldFamily) {
  auto in = Ps({"2001:db8::/48", "::/0", "2001:db8::/32", "2001:db8::/32", "ff00::/8"});
  index_owner ix;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
  const char* want[] = {"::/0", "2001:db8::/32", "2001:db8::/32", "2001:db8::/48", "ff00::/8"};
  for (size_t k = 0; k < in.size(); k++) {
    SCOPED_TRACE(k);
    tarn_prefix_t p;
    index_prefix(ix.idx, k, &p);
    EXPECT_EQ(p.addr.family, TARN_AF_INET6);
    EXPECT_EQ(ref_index::to_text(p), ref_index::to_text(P(want[k])));
  }
}

// IPv4 records may carry anything in the 12 address bytes IPv4 does not use;
// they take part neither in equality nor in the checks.
TEST(IndexShape, UnusedIpv4BytesIgnored) {
  auto in = Ps({"10.0.0.0/8", "10.0.0.0/8", "10.1.0.0/16"});
  memset(in[0].addr.addr.v6 + 4, 0xAB, 12);
  memset(in[1].addr.addr.v6 + 4, 0x5C, 12);
  index_owner ix;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
  EXPECT_EQ(ix.idx->orig_indices[0], ix.idx->orig_indices[1]);
  EXPECT_EQ(lookup_one(ix.idx, A("10.1.2.3")), 2);
  uint32_t node_count = 0;
  ASSERT_NE(tarn_index_lctrie(ix.idx, &node_count), nullptr);
  EXPECT_EQ(node_count, 3u);
}

// --- argument checks -------------------------------------------------------

TEST(IndexCreate, RejectsInOrder) {
  tarn_prefix_t v4 = P("10.0.0.0/8"), v6 = P("2001:db8::/32"), unspec = v4, garbage = v6;
  unspec.addr.family = TARN_AF_UNSPEC;
  garbage.addr.family = 0x87;  // neither family: an index names its family
  struct Case {
    const char* name;
    std::vector<tarn_prefix_t> in;
    tarn_err_t want;
  };
  const Case cases[] = {
      {"first record unspecified", {unspec, v4}, TARN_ERR_INVAL},
      {"first record of no family", {garbage, garbage}, TARN_ERR_INVAL},
      {"ipv4 then ipv6", {v4, v6}, TARN_ERR_FAMILY},
      {"first offender unspecified", {v4, unspec, v6}, TARN_ERR_INVAL},
      {"first offender other family", {v4, v6, unspec}, TARN_ERR_FAMILY},
      {"family before length", {P("10.0.0.0/33"), v6}, TARN_ERR_FAMILY},
      {"family before host bits", {P("10.0.0.1/8"), unspec}, TARN_ERR_INVAL},
      {"ipv4 length 33", {v4, P("10.0.0.0/33")}, TARN_ERR_PFXLEN},
      {"ipv4 length 255", {P("0.0.0.0/255")}, TARN_ERR_PFXLEN},
      {"ipv6 length 129", {v6, P("2001:db8::/129")}, TARN_ERR_PFXLEN},
      {"ipv4 host bit in the boundary byte",
       {P("10.128.0.0/9"), P("10.192.0.0/9")},
       TARN_ERR_HOSTBITS},
      {"ipv4 host bit in the last byte", {P("10.0.0.1/31")}, TARN_ERR_HOSTBITS},
      {"ipv4 /0 with any bit", {P("0.0.0.1/0")}, TARN_ERR_HOSTBITS},
      {"ipv6 host bit in the last byte", {P("2001:db8::1/127")}, TARN_ERR_HOSTBITS},
      {"ipv6 host bit after a /64", {P("2001:db8:0:0:8000::/64")}, TARN_ERR_HOSTBITS},
      {"length before host bits in one record", {P("10.0.0.1/33")}, TARN_ERR_PFXLEN},
      {"first offender host bits", {v4, P("10.0.0.1/8"), P("1.0.0.0/40")}, TARN_ERR_HOSTBITS},
      {"first offender length", {v4, P("1.0.0.0/40"), P("10.0.0.1/8")}, TARN_ERR_PFXLEN},
      {"canonical edges accepted",
       {P("255.255.255.255/32"), P("0.0.0.0/0"), P("10.0.0.1/32"), P("10.128.0.0/9")},
       TARN_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<tarn_prefix_t> before = c.in;
    tarn_index_t* sentinel = reinterpret_cast<tarn_index_t*>(&before);
    tarn_index_t* out = sentinel;
    tarn_err_t err = tarn_index_create(c.in.data(), c.in.size(), &out);
    EXPECT_EQ(err, c.want);
    EXPECT_EQ(memcmp(before.data(), c.in.data(), c.in.size() * sizeof(tarn_prefix_t)), 0);
    if (err == TARN_OK) {
      EXPECT_NE(out, sentinel);
      tarn_index_destroy(out);
    } else {
      EXPECT_EQ(out, sentinel);
    }
  }
}

TEST(IndexCreate, NullAndCountChecks) {
  tarn_prefix_t one = P("10.0.0.0/8");
  tarn_index_t* sentinel = reinterpret_cast<tarn_index_t*>(&one);
  tarn_index_t* out = sentinel;
  EXPECT_EQ(tarn_index_create(&one, 1, nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_create(nullptr, 1, &out), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_create(&one, 0, &out), TARN_ERR_INVAL);
  // Rejected before anything is read, so one record behind the pointer is
  // enough.
  EXPECT_EQ(tarn_index_create(&one, 0xFFFFFFFFull, &out), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_create(&one, ~size_t{0}, &out), TARN_ERR_INVAL);
  EXPECT_EQ(out, sentinel);
}

TEST(IndexLookup, RejectsInOrderAndWritesNothing) {
  auto in = Ps({"10.0.0.0/8", "0.0.0.0/0"});
  index_owner ix;
  ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
  tarn_addr_t v4 = A("10.1.2.3"), v6 = A("2001:db8::1"), unspec = v4;
  unspec.family = TARN_AF_UNSPEC;
  struct Case {
    const char* name;
    std::vector<tarn_addr_t> addrs;
    tarn_err_t want;
  };
  const Case cases[] = {
      {"unspecified address", {unspec}, TARN_ERR_INVAL},
      {"last address other family", {v4, v4, v4, v6}, TARN_ERR_FAMILY},
      {"first offender other family", {v4, v6, unspec}, TARN_ERR_FAMILY},
      {"first offender unspecified", {v4, unspec, v6}, TARN_ERR_INVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ssize_t> matches(c.addrs.size(), -5);
    std::vector<tarn_err_t> errs(c.addrs.size(), -5);
    EXPECT_EQ(
        tarn_index_lookup(ix.idx, c.addrs.data(), c.addrs.size(), matches.data(), errs.data()),
        c.want);
    EXPECT_EQ(matches, std::vector<ssize_t>(c.addrs.size(), -5));
    EXPECT_EQ(errs, std::vector<tarn_err_t>(c.addrs.size(), -5));
  }
  ssize_t m = -5;
  EXPECT_EQ(tarn_index_lookup(nullptr, &v4, 1, &m, nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_lookup(nullptr, nullptr, 0, nullptr, nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_lookup(ix.idx, nullptr, 0, nullptr, nullptr), TARN_OK);
  EXPECT_EQ(tarn_index_lookup(ix.idx, nullptr, 1, &m, nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_index_lookup(ix.idx, &v4, 1, nullptr, nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(m, -5);
  EXPECT_EQ(tarn_index_lookup(ix.idx, &v4, 1, &m, nullptr), TARN_OK);
  EXPECT_EQ(m, 0);
  tarn_index_destroy(nullptr);
}

// --- against brute force ---------------------------------------------------

// Whether a reported position is right: both say "none", or the reported
// record is a network equal to the reference's (equal prefixes may report
// either of their positions).
void expect_same_match(const std::vector<tarn_prefix_t>& in, const tarn_addr_t& a, ssize_t got,
                       ssize_t want) {
  if (want < 0 || got < 0 || static_cast<size_t>(got) >= in.size()) {
    EXPECT_EQ(got, want) << "address " << ref_index::to_text(a);
    return;
  }
  const tarn_prefix_t &g = in[static_cast<size_t>(got)], &w = in[static_cast<size_t>(want)];
  EXPECT_TRUE(g.pfxlen == w.pfxlen && ref_index::to_int(g.addr) == ref_index::to_int(w.addr))
      << "address " << ref_index::to_text(a) << ": got " << ref_index::to_text(g) << " at " << got
      << ", want " << ref_index::to_text(w) << " at " << want;
}

struct random_case {
  tarn_family_t family;
  size_t prefixes;
  size_t addrs;
  size_t linear_sample;  // addresses also checked by the linear scan
  bool structure;        // compare the packed trie with the plain build
};

TEST(IndexRandom, MatchesBruteForce) {
  const random_case cases[] = {
      {TARN_AF_INET, 1, 500, 500, true},         {TARN_AF_INET, 2, 500, 500, true},
      {TARN_AF_INET, 3, 500, 500, true},         {TARN_AF_INET, 17, 1000, 1000, true},
      {TARN_AF_INET, 100, 2000, 2000, true},     {TARN_AF_INET, 1000, 4000, 1000, true},
      {TARN_AF_INET, 3000, 4000, 300, true},     {TARN_AF_INET, 6000, 20000, 200, true},
      {TARN_AF_INET, 100000, 50000, 40, false},  {TARN_AF_INET6, 1, 500, 500, true},
      {TARN_AF_INET6, 2, 500, 500, true},        {TARN_AF_INET6, 17, 1000, 1000, true},
      {TARN_AF_INET6, 100, 2000, 2000, true},    {TARN_AF_INET6, 1000, 4000, 1000, true},
      {TARN_AF_INET6, 6000, 10000, 100, true},   {TARN_AF_INET6, 20000, 20000, 50, false},
      {TARN_AF_INET6, 100000, 30000, 30, false},
  };
  uint64_t seed = test_seed();
  for (const random_case& c : cases) {
    std::mt19937_64 rng(seed ^ (c.prefixes * 1000003u + c.family));
    SCOPED_TRACE("family " + std::to_string(c.family) + ", " + std::to_string(c.prefixes) +
                 " prefixes");
    std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, c.family, c.prefixes);
    std::vector<tarn_addr_t> addrs = ref_index::random_addrs(rng, c.family, in, c.addrs);
    std::vector<tarn_prefix_t> before = in;
    index_owner ix;
    ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
    ASSERT_EQ(memcmp(before.data(), in.data(), in.size() * sizeof in[0]), 0);
    // Lookups walk the lookup structure; the LC-trie walk below is the
    // fallback for an index without one.
    ASSERT_NE(ix.idx->lookup.direct, nullptr);

    std::vector<ssize_t> got(addrs.size());
    std::vector<tarn_err_t> errs(addrs.size(), -1);
    ASSERT_EQ(tarn_index_lookup(ix.idx, addrs.data(), addrs.size(), got.data(), errs.data()),
              TARN_OK);
    ref_index::lpm_table table(in);
    for (size_t i = 0; i < addrs.size(); i++) {
      expect_same_match(in, addrs[i], got[i], table.lookup(addrs[i]));
      ASSERT_EQ(errs[i], TARN_OK);
      if (i < c.linear_sample)
        expect_same_match(in, addrs[i], got[i], ref_index::lpm_linear(in, addrs[i]));
      if (HasFailure()) return;
    }
    // Without errs the answers are the same.
    std::vector<ssize_t> again(addrs.size(), -9);
    ASSERT_EQ(tarn_index_lookup(ix.idx, addrs.data(), addrs.size(), again.data(), nullptr),
              TARN_OK);
    EXPECT_EQ(again, got);
    // The LC-trie walk from the root, checking candidates against the sorted
    // records, gives the same answers to the position.
    std::vector<ssize_t> walked(addrs.size(), -9);
    tarn_lctrie_lookup(ix.idx, addrs.data(), addrs.size(), walked.data(), nullptr);
    EXPECT_EQ(walked, got);

    if (!c.structure) continue;
    ref_index::packed_trie want = ref_index::build_packed(in);
    ASSERT_EQ(ix.idx->node_count, want.nodes.size());
    for (size_t i = 0; i < want.nodes.size(); i++) {
      const tarn_lctrie_node_t &q = ix.idx->nodes[i], &w = want.nodes[i];
      ASSERT_TRUE(q.base == w.base && q.prefix_idx == w.prefix_idx && q.branch == w.branch &&
                  q.skip == w.skip && q.pad[0] == 0 && q.pad[1] == 0)
          << "packed position " << i;
    }
    for (size_t k = 0; k < in.size(); k++) {
      tarn_prefix_t s;
      index_prefix(ix.idx, k, &s);
      ASSERT_EQ(s.addr.family, c.family);
      ASSERT_EQ(ref_index::to_text(s), ref_index::to_text(want.sorted[k])) << "sorted " << k;
      // The reported position holds this network, and a run of equal
      // records reports one position.
      uint32_t o = ix.idx->orig_indices[k];
      ASSERT_LT(o, in.size());
      ASSERT_EQ(ref_index::to_text(in[o]), ref_index::to_text(s));
      if (k > 0 && index_records_equal(ix.idx, k, k - 1)) {
        ASSERT_EQ(o, ix.idx->orig_indices[k - 1]);
      }
    }
  }
}

// Batches of every size around the interleaving width answer like single
// lookups.
TEST(IndexRandom, BatchEqualsSingleLookups) {
  uint64_t seed = test_seed();
  std::mt19937_64 rng(seed);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, family, 500);
    index_owner ix;
    ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
    for (size_t n : {1, 2, 7, 15, 16, 17, 31, 33, 100}) {
      SCOPED_TRACE(n);
      std::vector<tarn_addr_t> addrs = ref_index::random_addrs(rng, family, in, n);
      std::vector<ssize_t> got(n, -9);
      ASSERT_EQ(tarn_index_lookup(ix.idx, addrs.data(), n, got.data(), nullptr), TARN_OK);
      for (size_t i = 0; i < n; i++) EXPECT_EQ(got[i], lookup_one(ix.idx, addrs[i])) << i;
    }
  }
}

// --- small stacks ------------------------------------------------------------

struct thread_job {
  bool ok = false;
};

// Deepest recursion the build can meet: one address carrying every length
// from /0 to /128, plus random prefixes around it.
void* build_on_small_stack(void* arg) {
  thread_job* job = static_cast<thread_job*>(arg);
  std::mt19937_64 rng(7);
  std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, TARN_AF_INET6, 2000);
  ref_index::u128 deep = ref_index::to_int(A("2001:db8:85a3::8a2e:370:7334"));
  for (unsigned len = 0; len <= 128; len++)
    in.push_back(ref_index::make_prefix(TARN_AF_INET6, deep, len));
  std::vector<tarn_addr_t> addrs = ref_index::random_addrs(rng, TARN_AF_INET6, in, 2000);
  tarn_index_t* idx = nullptr;
  if (tarn_index_create(in.data(), in.size(), &idx) != TARN_OK) return nullptr;
  std::vector<ssize_t> got(addrs.size());
  bool ok = tarn_index_lookup(idx, addrs.data(), addrs.size(), got.data(), nullptr) == TARN_OK;
  ref_index::lpm_table table(in);
  for (size_t i = 0; ok && i < addrs.size(); i++) {
    ssize_t want = table.lookup(addrs[i]);
    ok = (got[i] < 0) == (want < 0) &&
         (want < 0 || ref_index::to_text(in[static_cast<size_t>(got[i])]) ==
                          ref_index::to_text(in[static_cast<size_t>(want)]));
  }
  tarn_index_destroy(idx);
  job->ok = ok;
  return nullptr;
}

TEST(IndexStack, Ipv6OnSmallStackThread) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 128 * 1024), 0);
  thread_job job;
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, &attr, build_on_small_stack, &job), 0);
  ASSERT_EQ(pthread_join(t, nullptr), 0);
  pthread_attr_destroy(&attr);
  EXPECT_TRUE(job.ok);
}

// Readers racing to the trie an index builds on first need (covering
// queries walking it) all get the one trie that wins, whole, and it is the
// trie an index loaded back from a blob (which leaves the trie out) builds.
struct trie_race {
  const tarn_index* idx;
  const tarn_lctrie_node_t* got = nullptr;
  uint32_t count = 0;
};
void* race_for_trie(void* arg) {
  trie_race* r = static_cast<trie_race*>(arg);
  r->got = tarn_index_lctrie(r->idx, &r->count);
  return nullptr;
}

TEST(IndexShape, TrieBuiltOnceForRacingReaders) {
  std::mt19937_64 rng(31);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    std::vector<tarn_prefix_t> in = ref_index::random_prefixes(rng, family, 5000);
    index_owner ix;
    ASSERT_EQ(tarn_index_create(in.data(), in.size(), &ix.idx), TARN_OK);
    ASSERT_EQ(ix.idx->nodes, nullptr);
    trie_race races[4];
    pthread_t threads[4];
    for (int k = 0; k < 4; k++) {
      races[k].idx = ix.idx;
      ASSERT_EQ(pthread_create(&threads[k], nullptr, race_for_trie, &races[k]), 0);
    }
    for (pthread_t t : threads) ASSERT_EQ(pthread_join(t, nullptr), 0);
    for (const trie_race& r : races) {
      EXPECT_EQ(r.got, ix.idx->nodes);
      EXPECT_EQ(r.count, ix.idx->node_count);
    }
    ASSERT_NE(races[0].got, nullptr);
    size_t len = 0;
    tarn_index_serialize(ix.idx, nullptr, 0, &len);
    std::vector<uint8_t> blob(len);
    ASSERT_EQ(tarn_index_serialize(ix.idx, blob.data(), len, &len), TARN_OK);
    index_owner loaded;
    ASSERT_EQ(tarn_index_load(blob.data(), blob.size(), &loaded.idx), TARN_OK);
    ASSERT_EQ(loaded.idx->nodes, nullptr);
    uint32_t count = 0;
    const tarn_lctrie_node_t* nodes = tarn_index_lctrie(loaded.idx, &count);
    ASSERT_EQ(count, ix.idx->node_count);
    EXPECT_EQ(memcmp(nodes, ix.idx->nodes, count * sizeof *nodes), 0);
  }
}

}  // namespace
