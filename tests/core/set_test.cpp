// Tests of the set and range algebra against brute force over small
// universes: 256-address blocks (10.0.0.0/24, 2001:db8::/120 and the top
// /24 and /120 of each space) whose subsets are bitsets.  The expected
// result is ref_bulk::minimal_cover of the host routes of the expected set.
#include <gtest/gtest.h>
#include <string.h>

#include <bitset>
#include <cstdio>
#include <string>
#include <vector>

#include "pytarn.h"
#include "support/ref_bulk.h"

namespace {

using ref_bulk::pfx;
using ref_bulk::Rng;
using Bits = std::bitset<256>;

constexpr size_t kUntouched = 0xDEADBEEF;

std::vector<std::string> texts(const tarn_prefix_t* p, size_t n) {
  std::vector<std::string> out;
  for (size_t i = 0; i < n; i++) out.push_back(ref_bulk::to_string(p[i]));
  return out;
}
std::vector<tarn_prefix_t> pfxs(const std::vector<const char*>& t) {
  std::vector<tarn_prefix_t> v;
  for (const char* s : t) v.push_back(pfx(s));
  return v;
}

using SetFn = tarn_err_t (*)(tarn_prefix_t*, size_t, tarn_prefix_t*, size_t, tarn_prefix_t*, size_t,
                             size_t*);
struct Op {
  const char* name;
  SetFn fn;
  Bits (*ref)(const Bits&, const Bits&);
};
const Op kOps[] = {
    {"union", tarn_set_union, [](const Bits& a, const Bits& b) { return a | b; }},
    {"intersection", tarn_set_intersection, [](const Bits& a, const Bits& b) { return a & b; }},
    {"difference", tarn_set_difference, [](const Bits& a, const Bits& b) { return a & ~b; }},
    {"symmetric", tarn_set_symmetric_difference,
     [](const Bits& a, const Bits& b) { return a ^ b; }},
};

// Runs `op` on copies of a and b; capacity 0 first (a size query), then the
// exact size, so both paths of the call are exercised.
std::vector<std::string> run(SetFn fn, std::vector<tarn_prefix_t> a, std::vector<tarn_prefix_t> b) {
  size_t need = kUntouched;
  std::vector<tarn_prefix_t> a2 = a, b2 = b;
  tarn_err_t rc = fn(a2.data(), a2.size(), b2.data(), b2.size(), nullptr, 0, &need);
  EXPECT_TRUE(rc == TARN_OK || rc == TARN_ERR_INVAL);
  std::vector<tarn_prefix_t> out(need + 1);
  size_t got = kUntouched;
  EXPECT_EQ(fn(a.data(), a.size(), b.data(), b.size(), out.data(), need, &got), TARN_OK);
  EXPECT_EQ(got, rc == TARN_OK ? 0 : need);
  return texts(out.data(), got);
}

// A universe: 256 addresses from `base` (a canonical /24 or /120).
struct Universe {
  const char* base;
};
const Universe kUniverses[] = {{"10.0.0.0/24"},
                               {"255.255.255.0/24"},
                               {"2001:db8::/120"},
                               {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ff00/120"}};

tarn_prefix_t in_universe(const Universe& u, unsigned offset, unsigned host_bits) {
  tarn_prefix_t p = pfx(u.base);
  const unsigned bits = ref_bulk::addr_bits(p.addr.family);
  p.addr.addr.v6[ref_bulk::addr_len(p.addr.family) - 1] =
      static_cast<uint8_t>(offset & ~((1u << host_bits) - 1));
  p.pfxlen = static_cast<uint8_t>(bits - host_bits);
  return p;
}
Bits bits_of(const std::vector<tarn_prefix_t>& v, const Universe& u) {
  Bits s;
  const size_t last = ref_bulk::addr_len(pfx(u.base).addr.family) - 1;
  for (const tarn_prefix_t& p : v) {
    const unsigned host = ref_bulk::addr_bits(p.addr.family) - p.pfxlen;
    for (unsigned i = 0; i < (1u << host); i++) s.set(p.addr.addr.v6[last] + i);
  }
  return s;
}
std::vector<std::string> cover_of(const Bits& s, const Universe& u) {
  std::vector<tarn_prefix_t> hosts;
  for (unsigned i = 0; i < 256; i++)
    if (s[i]) hosts.push_back(in_universe(u, i, 0));
  if (hosts.empty()) return {};
  std::vector<tarn_prefix_t> c = ref_bulk::minimal_cover(hosts, hosts[0].addr.family);
  return texts(c.data(), c.size());
}
std::vector<tarn_prefix_t> random_set(Rng& rng, const Universe& u) {
  std::vector<tarn_prefix_t> v;
  const size_t n = rng.below(9);  // empty sets too
  for (size_t i = 0; i < n; i++) {
    // Mostly small blocks; the whole universe, host routes, duplicates.
    const unsigned host = rng.chance(10) ? 8 : static_cast<unsigned>(rng.below(6));
    v.push_back(in_universe(u, static_cast<unsigned>(rng.below(256)), host));
    if (rng.chance(10)) v.push_back(v.back());
  }
  return v;
}

TEST(SetAlgebra, RandomAgainstBruteForce) {
  const uint64_t seed = ref_bulk::test_seed();
  std::printf("seed %llu (set TARN_TEST_SEED to replay)\n", static_cast<unsigned long long>(seed));
  Rng rng(seed);
  for (const Universe& u : kUniverses) {
    for (int round = 0; round < 400 && !::testing::Test::HasFailure(); round++) {
      const std::vector<tarn_prefix_t> a = random_set(rng, u), b = random_set(rng, u);
      for (const Op& op : kOps) {
        SCOPED_TRACE(std::string(u.base) + " " + op.name + " round " + std::to_string(round));
        EXPECT_EQ(run(op.fn, a, b), cover_of(op.ref(bits_of(a, u), bits_of(b, u)), u));
      }
    }
  }
}

// The whole space, its top and host routes, where no bitset reaches.
TEST(SetAlgebra, FixedCases) {
  struct Case {
    const char* name;
    SetFn fn;
    std::vector<const char*> a, b, want;
  };
  const Case cases[] = {
      {"whole minus whole", tarn_set_difference, {"::/0"}, {"::/0"}, {}},
      {"whole minus the lower half", tarn_set_difference, {"::/0"}, {"::/1"}, {"8000::/1"}},
      {"whole xor upper half",
       tarn_set_symmetric_difference,
       {"0.0.0.0/0"},
       {"128.0.0.0/1"},
       {"0.0.0.0/1"}},
      {"halves unite to the whole", tarn_set_union, {"::/1"}, {"8000::/1"}, {"::/0"}},
      {"top host routes unite",
       tarn_set_union,
       {"255.255.255.255/32"},
       {"255.255.255.254/32"},
       {"255.255.255.254/31"}},
      {"whole minus the top address",
       tarn_set_difference,
       {"0.0.0.0/0"},
       {"255.255.255.255/32"},
       {"0.0.0.0/1",          "128.0.0.0/2",        "192.0.0.0/3",        "224.0.0.0/4",
        "240.0.0.0/5",        "248.0.0.0/6",        "252.0.0.0/7",        "254.0.0.0/8",
        "255.0.0.0/9",        "255.128.0.0/10",     "255.192.0.0/11",     "255.224.0.0/12",
        "255.240.0.0/13",     "255.248.0.0/14",     "255.252.0.0/15",     "255.254.0.0/16",
        "255.255.0.0/17",     "255.255.128.0/18",   "255.255.192.0/19",   "255.255.224.0/20",
        "255.255.240.0/21",   "255.255.248.0/22",   "255.255.252.0/23",   "255.255.254.0/24",
        "255.255.255.0/25",   "255.255.255.128/26", "255.255.255.192/27", "255.255.255.224/28",
        "255.255.255.240/29", "255.255.255.248/30", "255.255.255.252/31", "255.255.255.254/32"}},
      {"IPv6 top host route kept by intersection",
       tarn_set_intersection,
       {"::/0"},
       {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"},
       {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"}},
      {"/0 intersect nested lists",
       tarn_set_intersection,
       {"0.0.0.0/0", "10.0.0.0/8"},
       {"10.1.0.0/16", "10.0.0.0/16", "192.0.2.0/24"},
       {"10.0.0.0/15", "192.0.2.0/24"}},
      {"empty A", tarn_set_difference, {}, {"10.0.0.0/8"}, {}},
      {"empty B", tarn_set_symmetric_difference, {"10.0.0.0/8", "10.0.0.0/9"}, {}, {"10.0.0.0/8"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(c.fn, pfxs(c.a), pfxs(c.b)), texts(pfxs(c.want).data(), c.want.size()));
  }
}

TEST(SetAlgebra, ArgumentChecks) {
  tarn_prefix_t p4 = pfx("10.0.0.0/8"), p6 = pfx("::/0"), p0 = p4, host = pfx("10.0.0.5/8"),
                p4_33 = pfx("10.0.0.0/33");
  p0.addr.family = TARN_AF_UNSPEC;
  struct Case {
    const char* name;
    std::vector<tarn_prefix_t> a, b;
    tarn_err_t want;
  };
  const Case cases[] = {
      {"both empty", {}, {}, TARN_OK},
      {"family 0 in A", {p4, p0}, {p4}, TARN_ERR_INVAL},
      {"families differ across arrays", {p4}, {p6}, TARN_ERR_FAMILY},
      {"families before lengths", {p4_33}, {p6}, TARN_ERR_FAMILY},
      // Pins the rule that records with host bits are refused, as by aggregation.
      {"host bits in B", {p4}, {p4, host}, TARN_ERR_HOSTBITS},
      {"A checked before B", {p4_33}, {host}, TARN_ERR_PFXLEN},
      {"first offender within A decides", {host, p4_33}, {}, TARN_ERR_HOSTBITS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<tarn_prefix_t> a = c.a, b = c.b, out(4);
    const std::vector<tarn_prefix_t> a0 = a;
    size_t n = kUntouched;
    EXPECT_EQ(tarn_set_difference(a.empty() ? nullptr : a.data(), a.size(),
                                  b.empty() ? nullptr : b.data(), b.size(), out.data(), 4, &n),
              c.want);
    if (c.want != TARN_OK) {
      EXPECT_EQ(n, kUntouched);
      EXPECT_TRUE(ref_bulk::same_bytes(a, a0));
    }
  }
  size_t n = kUntouched;
  EXPECT_EQ(tarn_set_union(&p4, 1, &p4, 1, nullptr, 0, nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_set_union(nullptr, 1, &p4, 1, &p4, 1, &n), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_set_union(&p4, 1, &p4, 1, nullptr, 1, &n), TARN_ERR_INVAL);
  // Too small: nothing written, the size needed reported.
  tarn_prefix_t whole = pfx("0.0.0.0/0"), top = pfx("255.255.255.255/32"), out[31];
  memset(out, 0x5A, sizeof out);
  EXPECT_EQ(tarn_set_difference(&whole, 1, &top, 1, out, 31, &n), TARN_ERR_INVAL);
  EXPECT_EQ(n, 32u);
  for (const tarn_prefix_t& o : out) EXPECT_EQ(o.pfxlen, 0x5A);
}

TEST(RangeToPrefixes, AgainstBruteForceAndEdges) {
  Rng rng(ref_bulk::test_seed());
  for (const Universe& u : kUniverses) {
    for (int round = 0; round < 500; round++) {
      unsigned lo = static_cast<unsigned>(rng.below(256)),
               hi = static_cast<unsigned>(rng.below(256));
      if (lo > hi) std::swap(lo, hi);
      SCOPED_TRACE(std::string(u.base) + " " + std::to_string(lo) + ".." + std::to_string(hi));
      const tarn_addr_t first = in_universe(u, lo, 0).addr, last = in_universe(u, hi, 0).addr;
      tarn_prefix_t out[254];
      size_t n = kUntouched;
      ASSERT_EQ(tarn_range_to_prefixes(&first, &last, out, 254, &n), TARN_OK);
      Bits want;
      for (unsigned i = lo; i <= hi; i++) want.set(i);
      EXPECT_EQ(texts(out, n), cover_of(want, u));
    }
  }
  struct Case {
    const char *first, *last;
    size_t want_count;
    const char* want_first;
  };
  const Case cases[] = {
      {"0.0.0.0", "255.255.255.255", 1, "0.0.0.0/0"},
      {"::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 1, "::/0"},
      {"0.0.0.1", "255.255.255.254", 62, "0.0.0.1/32"},  // the most a range needs
      {"::1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", 254, "::1/128"},
      {"255.255.255.255", "255.255.255.255", 1, "255.255.255.255/32"},
      {"::8000:0:0:0", "::ffff:ffff:ffff:ffff", 1, "::8000:0:0:0/65"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    const tarn_addr_t f = ref_bulk::addr(c.first), l = ref_bulk::addr(c.last);
    tarn_prefix_t out[254];
    size_t n = kUntouched;
    ASSERT_EQ(tarn_range_to_prefixes(&f, &l, out, 254, &n), TARN_OK);
    EXPECT_EQ(n, c.want_count);
    EXPECT_EQ(ref_bulk::to_string(out[0]), c.want_first);
    EXPECT_EQ(tarn_range_to_prefixes(&f, &l, nullptr, 0, &n), TARN_ERR_INVAL);  // a size query
    EXPECT_EQ(n, c.want_count);
    // Room for exactly the cover, and one record less: nothing written.
    tarn_prefix_t fit[254];
    EXPECT_EQ(tarn_range_to_prefixes(&f, &l, fit, c.want_count, &n), TARN_OK);
    EXPECT_EQ(texts(fit, n), texts(out, c.want_count));
    memset(fit, 0x5A, sizeof fit);
    EXPECT_EQ(tarn_range_to_prefixes(&f, &l, fit, c.want_count - 1, &n), TARN_ERR_INVAL);
    EXPECT_EQ(n, c.want_count);
    for (const tarn_prefix_t& o : fit) ASSERT_EQ(o.pfxlen, 0x5A);
  }
  const tarn_addr_t a = ref_bulk::addr("10.0.0.2"), b = ref_bulk::addr("10.0.0.1"),
                    v6 = ref_bulk::addr("::1");
  size_t n = kUntouched;
  tarn_prefix_t out[2];
  EXPECT_EQ(tarn_range_to_prefixes(&a, &b, out, 2, &n), TARN_ERR_INVAL);  // first above last
  EXPECT_EQ(tarn_range_to_prefixes(&a, &v6, out, 2, &n), TARN_ERR_FAMILY);
  EXPECT_EQ(n, kUntouched);
}

TEST(Span, Cases) {
  struct Case {
    std::vector<const char*> in;
    tarn_err_t want;
    const char* span;
  };
  const Case cases[] = {
      {{"10.0.0.0/8", "11.0.0.0/8"}, TARN_OK, "10.0.0.0/7"},
      {{"10.1.2.0/24"}, TARN_OK, "10.1.2.0/24"},
      {{"0.0.0.0/32", "255.255.255.255/32"}, TARN_OK, "0.0.0.0/0"},
      {{"2001:db8::/48", "2001:db8:0:1::/64", "2001:db8::/32"}, TARN_OK, "2001:db8::/32"},
      {{"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/128",
        "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"},
       TARN_OK,
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127"},
      {{"10.0.0.0/8", "::/0"}, TARN_ERR_FAMILY, nullptr},
      {{"10.0.0.1/8"}, TARN_ERR_HOSTBITS, nullptr},
      {{}, TARN_ERR_INVAL, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in.empty() ? "empty" : c.in[0]);
    std::vector<tarn_prefix_t> v = pfxs(c.in);
    tarn_prefix_t out = pfx("1.1.1.1/32");
    ASSERT_EQ(tarn_prefix_span(v.empty() ? nullptr : v.data(), v.size(), &out), c.want);
    EXPECT_EQ(ref_bulk::to_string(out), c.span != nullptr ? c.span : "1.1.1.1/32");
    if (c.want != TARN_OK || c.span == nullptr) continue;
    // The addresses of the prefixes' ends span the same prefix.
    std::vector<tarn_addr_t> ends;
    for (const tarn_prefix_t& p : v) {
      tarn_addr_t last;
      ASSERT_EQ(tarn_prefix_last(&p, &last), TARN_OK);
      ends.push_back(p.addr);
      ends.push_back(last);
    }
    ASSERT_EQ(tarn_addr_span(ends.data(), ends.size(), &out), TARN_OK);
    EXPECT_EQ(ref_bulk::to_string(out), c.span);
  }
}

}  // namespace
