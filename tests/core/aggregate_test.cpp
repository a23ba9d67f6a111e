// Tests of tarn_bulk_aggregate.
#include <gtest/gtest.h>
#include <string.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pytarn.h"
#include "support/ref_bulk.h"

namespace {

using ref_bulk::pfx;
using ref_bulk::Rng;

constexpr size_t kUntouchedCount = 0xDEADBEEF;

uint64_t logged_seed() {
  uint64_t seed = ref_bulk::test_seed();
  std::printf("seed %llu (set TARN_TEST_SEED to replay)\n", static_cast<unsigned long long>(seed));
  return seed;
}

std::vector<tarn_prefix_t> pfxs(const std::vector<const char*>& texts) {
  std::vector<tarn_prefix_t> v;
  for (const char* t : texts) v.push_back(pfx(t));
  return v;
}

std::vector<std::string> texts(const tarn_prefix_t* p, size_t n) {
  std::vector<std::string> out;
  for (size_t i = 0; i < n; i++) out.push_back(ref_bulk::to_string(p[i]));
  return out;
}

std::vector<std::string> texts(const std::vector<tarn_prefix_t>& v) {
  return texts(v.data(), v.size());
}

TEST(BulkAggregate, FixedCases) {
  struct Case {
    const char* name;
    std::vector<const char*> in;
    std::vector<const char*> want;
  };
  const Case cases[] = {
      {"siblings merge", {"10.0.0.0/24", "10.0.1.0/24"}, {"10.0.0.0/23"}},
      {"neighbours with different parents stay",
       {"10.0.1.0/24", "10.0.2.0/24"},
       {"10.0.1.0/24", "10.0.2.0/24"}},
      {"duplicates and covered prefixes go",
       {"10.1.0.0/16", "10.0.0.0/8", "10.0.0.0/8"},
       {"10.0.0.0/8"}},
      {"a chain merges in one pass",
       {"192.168.1.0/24", "192.168.0.128/25", "192.168.0.0/25"},
       {"192.168.0.0/23"}},
      {"a later pass merges what the first made",
       {"10.0.0.0/24", "10.0.1.0/25", "10.0.1.128/25"},
       {"10.0.0.0/23"}},
      {"halves of the space make /0", {"0.0.0.0/1", "128.0.0.0/1"}, {"0.0.0.0/0"}},
      {"/0 covers everything", {"0.0.0.0/0", "10.0.0.0/8"}, {"0.0.0.0/0"}},
      {"IPv6 halves make /0", {"::/1", "8000::/1"}, {"::/0"}},
      {"IPv6 /33 pair joins the next /32",
       {"2001:db8::/33", "2001:db8:8000::/33", "2001:db9::/32"},
       {"2001:db8::/31"}},
      {"IPv6 /32s with different parents",
       {"2001:db8::/33", "2001:db8:8000::/33", "2001:dba::/32"},
       {"2001:db8::/32", "2001:dba::/32"}},
      {"single record", {"192.0.2.0/24"}, {"192.0.2.0/24"}},
      {"host routes at the top merge",
       {"255.255.255.255/32", "255.255.255.254/32"},
       {"255.255.255.254/31"}},
      {"IPv6 host routes at the top merge",
       {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128",
        "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/128"},
       {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127"}},
      {"result is ascending",
       {"10.0.3.0/24", "9.0.0.0/8", "10.0.2.0/24", "8.0.0.0/8"},
       {"8.0.0.0/7", "10.0.2.0/23"}},
      {"a supernet sorts before the subnets it covers",
       {"10.0.0.128/25", "10.0.0.0/24", "10.0.0.0/25"},
       {"10.0.0.0/24"}},
      {"lengths at the maximum",
       {"1.2.3.4/32", "1.2.3.5/32", "1.2.3.6/32", "1.2.3.7/32"},
       {"1.2.3.4/30"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<tarn_prefix_t> v = pfxs(c.in);
    size_t out = kUntouchedCount;
    ASSERT_EQ(tarn_bulk_aggregate(v.data(), v.size(), &out), TARN_OK);
    ASSERT_LE(out, v.size());
    EXPECT_EQ(texts(v.data(), out), texts(pfxs(c.want)));
    EXPECT_EQ(texts(ref_bulk::minimal_cover(pfxs(c.in), v[0].addr.family)), texts(pfxs(c.want)));
  }
}

TEST(BulkAggregate, ArgumentChecks) {
  struct Case {
    const char* name;
    std::vector<tarn_prefix_t> in;  // empty: a null array
    size_t count;
    bool out_null;
    tarn_err_t want;
  };
  tarn_prefix_t p4 = pfx("10.0.0.0/8"), p6 = pfx("2001:db8::/32"), p0 = p4, p5 = p4;
  p0.addr.family = TARN_AF_UNSPEC;
  p5.addr.family = 5;
  tarn_prefix_t p4_33 = pfx("10.0.0.0/33"), p4_255 = pfx("0.0.0.0/255");
  tarn_prefix_t p6_129 = pfx("::/129"), p6_128 = pfx("::/128");
  tarn_prefix_t p4_host = p4, p6_host = pfx("::/127");
  p4_host.addr.addr.v4[3] = 5;   // 10.0.0.5/8
  p6_host.addr.addr.v6[15] = 1;  // ::1/127
  const Case cases[] = {
      {"out_count null, even with count 0", {}, 0, true, TARN_ERR_INVAL},
      {"out_count null with records", {p4}, 1, true, TARN_ERR_INVAL},
      {"count 0 with a null array", {}, 0, false, TARN_OK},
      {"count 0 with bad records", {p0}, 0, false, TARN_OK},
      {"null array", {}, 2, false, TARN_ERR_INVAL},
      {"first record family 0", {p0, p4}, 2, false, TARN_ERR_INVAL},
      {"first record family 5", {p5}, 1, false, TARN_ERR_INVAL},
      {"later record family 0", {p4, p4, p0}, 3, false, TARN_ERR_INVAL},
      {"IPv4 and IPv6 together", {p4, p6}, 2, false, TARN_ERR_FAMILY},
      {"later family 5", {p6, p5}, 2, false, TARN_ERR_FAMILY},
      {"first offender decides", {p4, p6, p0}, 3, false, TARN_ERR_FAMILY},
      {"IPv4 length 33", {p4, p4_33}, 2, false, TARN_ERR_PFXLEN},
      {"IPv4 length 255 at the end", {p4, p4_255}, 2, false, TARN_ERR_PFXLEN},
      {"IPv4 length 255 alone", {p4_255}, 1, false, TARN_ERR_PFXLEN},
      {"IPv6 length 129", {p6, p6_129}, 2, false, TARN_ERR_PFXLEN},
      {"IPv6 length 128 is fine", {p6, p6_128}, 2, false, TARN_OK},
      {"families before lengths", {p4_33, p6}, 2, false, TARN_ERR_FAMILY},
      {"family 0 before lengths", {p4_255, p4, p0}, 3, false, TARN_ERR_INVAL},
      {"records past count are not read", {p4, p6}, 1, false, TARN_OK},
      // Pins the fault where 10.0.0.5/8 and 10.0.0.0/29 aggregated to the /29 alone.
      {"host bits refused", {p4_host, pfx("10.0.0.0/29")}, 2, false, TARN_ERR_HOSTBITS},
      {"IPv6 host bit in the last byte", {p6, p6_host}, 2, false, TARN_ERR_HOSTBITS},
      {"host bits, then a bad length: first decides",
       {p4_host, p4_33},
       2,
       false,
       TARN_ERR_HOSTBITS},
      {"a bad length, then host bits: first decides", {p4_33, p4_host}, 2, false, TARN_ERR_PFXLEN},
      {"families before host bits", {p4_host, p6}, 2, false, TARN_ERR_FAMILY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<tarn_prefix_t> v = c.in;
    std::vector<tarn_prefix_t> before = v;
    size_t out = kUntouchedCount;
    EXPECT_EQ(
        tarn_bulk_aggregate(v.empty() ? nullptr : v.data(), c.count, c.out_null ? nullptr : &out),
        c.want);
    if (c.want != TARN_OK) {
      EXPECT_EQ(out, kUntouchedCount);
      EXPECT_TRUE(ref_bulk::same_bytes(v, before));
    } else if (c.count == 0) {
      EXPECT_EQ(out, 0u);
    }
  }
}

// Random canonical sets, mostly clustered so that nesting, duplicates and
// sibling chains are common: the result equals the minimal cover computed from the
// address intervals, in ascending order, and aggregating it again changes
// nothing.
TEST(BulkAggregate, RandomSetsEqualMinimalCover) {
  uint64_t seed = logged_seed();
  Rng rng(seed);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    for (size_t n : {1u, 2u, 3u, 10u, 100u, 1000u, 20000u}) {
      for (int round = 0; round < (n < 1000 ? 30 : 3); round++) {
        SCOPED_TRACE("family " + std::to_string(family) + " n " + std::to_string(n) + " round " +
                     std::to_string(round));
        // Mostly clustered sets; now and then a scattered one (with a /0,
        // which swallows everything, or without it).
        std::vector<tarn_prefix_t> in;
        if (rng.chance(80)) {
          in = ref_bulk::clustered_prefix_set(rng, family, n);
        } else {
          in = ref_bulk::random_prefix_set(rng, family, n, true);
          if (rng.chance(70)) {
            for (tarn_prefix_t& p : in)
              if (p.pfxlen < 8) p.pfxlen = static_cast<uint8_t>(ref_bulk::addr_bits(family));
          }
        }
        std::vector<tarn_prefix_t> v = in;
        size_t out = kUntouchedCount;
        ASSERT_EQ(tarn_bulk_aggregate(v.data(), v.size(), &out), TARN_OK);
        ASSERT_GE(out, 1u);
        ASSERT_LE(out, n);
        std::vector<tarn_prefix_t> want = ref_bulk::minimal_cover(in, family);
        ASSERT_EQ(texts(v.data(), out), texts(want));
        for (size_t i = 0; i < out; i++) ASSERT_EQ(v[i].addr.family, family);

        std::vector<tarn_prefix_t> again(v.begin(), v.begin() + static_cast<ptrdiff_t>(out));
        size_t out_again = kUntouchedCount;
        ASSERT_EQ(tarn_bulk_aggregate(again.data(), again.size(), &out_again), TARN_OK);
        ASSERT_EQ(out_again, out);
        ASSERT_EQ(texts(again), texts(want));
      }
    }
  }
}

// More than 256 records of one shape each.
TEST(BulkAggregate, LargeShapedArrays) {
  struct Case {
    const char* name;
    tarn_prefix_t (*make)(size_t i);
    size_t n;
    std::vector<const char*> want;
  };
  const Case cases[] = {
      {"all equal", [](size_t) { return pfx("10.1.2.0/24"); }, 1000, {"10.1.2.0/24"}},
      // Large IPv4 lists sort by keys rebuilt into records: equal keys, the
      // whole space and the top of it must all come back whole.
      {"many equal",
       [](size_t) { return pfx("255.255.255.255/32"); },
       5000,
       {"255.255.255.255/32"}},
      {"/0 among /32s",
       [](size_t i) { return i == 4321 ? pfx("0.0.0.0/0") : pfx("203.0.113.9/32"); },
       6000,
       {"0.0.0.0/0"}},
      {"every /32 of a /19, reversed",
       [](size_t i) {
         tarn_prefix_t p = pfx("10.0.0.0/32");
         size_t j = 8191 - i;
         p.addr.addr.v4[2] = static_cast<uint8_t>(j >> 8);
         p.addr.addr.v4[3] = static_cast<uint8_t>(j);
         return p;
       },
       8192,
       {"10.0.0.0/19"}},
      {"every /32 of a /22",
       [](size_t i) {
         tarn_prefix_t p = pfx("10.0.0.0/32");
         size_t j = (i * 389) % 1024;  // shuffled
         p.addr.addr.v4[2] = static_cast<uint8_t>(j >> 8);
         p.addr.addr.v4[3] = static_cast<uint8_t>(j);
         return p;
       },
       1024,
       {"10.0.0.0/22"}},
      {"every other /32: nothing merges",
       [](size_t i) {
         tarn_prefix_t p = pfx("10.0.0.0/32");
         p.addr.addr.v4[2] = static_cast<uint8_t>(i >> 7);
         p.addr.addr.v4[3] = static_cast<uint8_t>((i & 127) * 2);
         return p;
       },
       256,
       {}},
      {"every IPv6 /128 of a /120",
       [](size_t i) {
         tarn_prefix_t p = pfx("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ff00/128");
         p.addr.addr.v6[15] = static_cast<uint8_t>(255 - i);
         return p;
       },
       256,
       {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ff00/120"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<tarn_prefix_t> v;
    for (size_t i = 0; i < c.n; i++) v.push_back(c.make(i));
    std::vector<tarn_prefix_t> in = v;
    size_t out = kUntouchedCount;
    ASSERT_EQ(tarn_bulk_aggregate(v.data(), v.size(), &out), TARN_OK);
    std::vector<tarn_prefix_t> want =
        c.want.empty() ? ref_bulk::minimal_cover(in, in[0].addr.family) : pfxs(c.want);
    if (c.want.empty()) {
      EXPECT_EQ(out, c.n);  // no two of them are siblings
    }
    EXPECT_EQ(texts(v.data(), out), texts(want));
  }
}

}  // namespace
