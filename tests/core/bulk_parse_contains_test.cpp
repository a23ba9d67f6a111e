// Tests of tarn_bulk_parse and tarn_bulk_contains.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "pytarn.h"
#include "support/ref_bulk.h"
#include "tarn_internal.h"

namespace {

using ref_bulk::addr;
using ref_bulk::pfx;
using ref_bulk::Rng;

constexpr tarn_err_t kUntouchedErr = 0x5A5A5A5A;
constexpr ssize_t kUntouchedMatch = -77;

uint64_t logged_seed() {
  uint64_t seed = ref_bulk::test_seed();
  std::printf("seed %llu (set TARN_TEST_SEED to replay)\n", static_cast<unsigned long long>(seed));
  return seed;
}

tarn_addr_t junk_addr() {
  tarn_addr_t a;
  memset(&a, 0xA5, sizeof a);
  return a;
}

bool all_zero(const tarn_addr_t& a) {
  tarn_addr_t zero;
  memset(&zero, 0, sizeof zero);
  return memcmp(&a, &zero, sizeof a) == 0;
}

// Equal as parsed records: family and the significant address bytes.
void expect_same_addr(const tarn_addr_t& got, const tarn_addr_t& want) {
  ASSERT_EQ(got.family, want.family);
  EXPECT_EQ(memcmp(got.addr.v6, want.addr.v6, ref_bulk::addr_len(want.family)), 0)
      << ref_bulk::to_string(got) << " vs " << ref_bulk::to_string(want);
}

// ---------------------------------------------------------------------------
// tarn_bulk_parse

TEST(BulkParse, Batches) {
  struct Case {
    const char* name;
    std::vector<const char*> srcs;
    tarn_err_t want;
    std::vector<tarn_err_t> want_errs;
  };
  const Case cases[] = {
      {"all IPv4", {"10.0.0.1", "0.0.0.0", "255.255.255.255"}, TARN_OK, {0, 0, 0}},
      {"all IPv6", {"::", "::1", "2001:db8::1", "::ffff:1.2.3.4"}, TARN_OK, {0, 0, 0, 0}},
      {"family mismatch outranks a parse failure",
       {"10.0.0.1", "bogus", "::1"},
       TARN_ERR_FAMILY,
       {TARN_OK, TARN_ERR_PARSE, TARN_OK}},
      {"reference family from the first item that parsed",
       {"bogus", "::1", "2001:db8::1"},
       TARN_ERR_PARSE,
       {TARN_ERR_PARSE, TARN_OK, TARN_OK}},
      {"IPv6 first, then IPv4", {"::1", "1.2.3.4"}, TARN_ERR_FAMILY, {TARN_OK, TARN_OK}},
      {"mismatch late in the batch",
       {"1.1.1.1", "2.2.2.2", "3.3.3.3", "::"},
       TARN_ERR_FAMILY,
       {0, 0, 0, 0}},
      {"every item fails",
       {"", "1.2.3", "::1::", "01.2.3.4"},
       TARN_ERR_PARSE,
       {TARN_ERR_PARSE, TARN_ERR_PARSE, TARN_ERR_PARSE, TARN_ERR_PARSE}},
      {"items after a failure are parsed",
       {"1.2.3.256", "1.2.3.4"},
       TARN_ERR_PARSE,
       {TARN_ERR_PARSE, TARN_OK}},
      {"single item", {"fe80::1"}, TARN_OK, {TARN_OK}},
  };
  for (const Case& c : cases) {
    for (bool with_errs : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (with_errs ? "" : ", errs null"));
      size_t n = c.srcs.size();
      std::vector<tarn_addr_t> out(n, junk_addr());
      std::vector<tarn_err_t> errs(n, kUntouchedErr);
      std::vector<const char*> srcs = c.srcs;
      EXPECT_EQ(tarn_bulk_parse(srcs.data(), n, out.data(), with_errs ? errs.data() : nullptr),
                c.want);
      for (size_t i = 0; i < n; i++) {
        SCOPED_TRACE(c.srcs[i]);
        EXPECT_EQ(errs[i], with_errs ? c.want_errs[i] : kUntouchedErr);
        if (c.want_errs[i] == TARN_OK) {
          tarn_addr_t single;
          ASSERT_EQ(tarn_addr_parse(c.srcs[i], &single), TARN_OK);
          expect_same_addr(out[i], single);
          expect_same_addr(out[i], addr(c.srcs[i]));
        } else {
          EXPECT_TRUE(all_zero(out[i]));  // the whole record, family 0 included
        }
      }
    }
  }
}

TEST(BulkParse, ArgumentChecksWriteNothing) {
  struct Case {
    const char* name;
    std::vector<const char*> srcs;  // empty: srcs is null
    size_t count;
    bool out_null;
    tarn_err_t want;
  };
  const Case cases[] = {
      {"count 0 with null pointers", {}, 0, true, TARN_OK},
      {"count 0 with a null string", {nullptr}, 0, false, TARN_OK},
      {"srcs null", {}, 2, false, TARN_ERR_INVAL},
      {"out null", {"1.2.3.4"}, 1, true, TARN_ERR_INVAL},
      {"null string first", {nullptr, "1.2.3.4"}, 2, false, TARN_ERR_INVAL},
      {"null string last: earlier items untouched",
       {"1.2.3.4", "::1", nullptr},
       3,
       false,
       TARN_ERR_INVAL},
      {"null string past count is not read", {"1.2.3.4", nullptr}, 1, false, TARN_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<tarn_addr_t> out(4, junk_addr());
    std::vector<tarn_err_t> errs(4, kUntouchedErr);
    std::vector<const char*> srcs = c.srcs;
    std::vector<const char*> srcs_before = srcs;
    EXPECT_EQ(tarn_bulk_parse(srcs.empty() ? nullptr : srcs.data(), c.count,
                              c.out_null ? nullptr : out.data(), errs.data()),
              c.want);
    EXPECT_EQ(srcs, srcs_before);
    size_t written = c.want == TARN_OK ? c.count : 0;
    for (size_t i = written; i < out.size(); i++) {
      tarn_addr_t junk = junk_addr();
      EXPECT_EQ(memcmp(&out[i], &junk, sizeof junk), 0) << "out " << i;
      EXPECT_EQ(errs[i], kUntouchedErr) << "errs " << i;
    }
  }
}

// Every item of a random batch is what a single parse gives, and the overall
// result follows from the per-item outcomes.
TEST(BulkParse, RandomBatchesAgreeWithSingleParses) {
  uint64_t seed = logged_seed();
  Rng rng(seed);
  const char* bad[] = {"",         "bogus",     "1.2.3.4.5", "1::2::3",      "::g",
                       " 1.2.3.4", "1.2.3.4/8", "256.0.0.0", "fe80::1%eth0", ":::"};
  for (int round = 0; round < 200; round++) {
    size_t n = 1 + rng.below(40);
    unsigned mode = static_cast<unsigned>(rng.below(4));  // v4 only, v6 only, mixed, mostly bad
    std::vector<std::string> texts;
    for (size_t i = 0; i < n; i++) {
      bool broken = mode == 3 ? rng.chance(70) : rng.chance(5);
      if (broken) {
        texts.push_back(bad[rng.below(sizeof bad / sizeof bad[0])]);
        continue;
      }
      tarn_family_t family = mode == 0   ? TARN_AF_INET
                             : mode == 1 ? TARN_AF_INET6
                                         : (rng.chance(50) ? TARN_AF_INET : TARN_AF_INET6);
      texts.push_back(ref_bulk::to_string(ref_bulk::random_addr(rng, family)));
    }
    std::vector<const char*> srcs;
    for (const std::string& t : texts) srcs.push_back(t.c_str());
    std::vector<tarn_addr_t> out(n, junk_addr());
    std::vector<tarn_err_t> errs(n, kUntouchedErr);
    tarn_err_t rc = tarn_bulk_parse(srcs.data(), n, out.data(), errs.data());

    bool failed = false, mixed = false;
    tarn_family_t ref_family = TARN_AF_UNSPEC;
    for (size_t i = 0; i < n; i++) {
      SCOPED_TRACE(texts[i]);
      tarn_addr_t single;
      tarn_err_t single_rc = tarn_addr_parse(srcs[i], &single);
      if (single_rc != TARN_OK) {
        failed = true;
        ASSERT_EQ(errs[i], TARN_ERR_PARSE);
        ASSERT_TRUE(all_zero(out[i]));
        continue;
      }
      ASSERT_EQ(errs[i], TARN_OK);
      expect_same_addr(out[i], single);
      if (ref_family == TARN_AF_UNSPEC)
        ref_family = single.family;
      else if (single.family != ref_family)
        mixed = true;
    }
    EXPECT_EQ(rc, mixed ? TARN_ERR_FAMILY : failed ? TARN_ERR_PARSE : TARN_OK);
  }
}

// ---------------------------------------------------------------------------
// tarn_bulk_contains

TEST(BulkContains, FirstMatchInListOrder) {
  struct Case {
    const char* name;
    std::vector<const char*> prefixes;
    std::vector<const char*> addrs;
    std::vector<ssize_t> want;
  };
  const Case cases[] = {
      {"first match, not the longest",
       {"10.0.0.0/8", "10.1.0.0/16"},
       {"10.1.2.3", "11.0.0.1"},
       {0, -1}},
      {"longest first when listed first",
       {"10.1.0.0/16", "10.0.0.0/8"},
       {"10.1.2.3", "10.2.0.0"},
       {0, 1}},
      {"/0 first matches everything",
       {"0.0.0.0/0", "10.0.0.0/8"},
       {"10.0.0.1", "0.0.0.0", "255.255.255.255"},
       {0, 0, 0}},
      {"host bits of the prefix are ignored", {"10.1.2.3/8"}, {"10.200.0.1", "11.0.0.0"}, {0, -1}},
      {"length 12",
       {"172.16.0.0/12"},
       {"172.31.255.255", "172.32.0.0", "172.15.255.255"},
       {0, -1, -1}},
      {"host route", {"1.2.3.4/32", "1.2.3.5/32"}, {"1.2.3.5", "1.2.3.4", "1.2.3.6"}, {1, 0, -1}},
      {"top of the space",
       {"255.255.255.255/32", "255.255.255.254/31"},
       {"255.255.255.255", "255.255.255.254"},
       {0, 1}},
      {"duplicates report the first", {"192.0.2.0/24", "192.0.2.0/24"}, {"192.0.2.9"}, {0}},
      {"IPv6 /0 and /128", {"2001:db8::1/128", "::/0"}, {"2001:db8::1", "2001:db8::2"}, {0, 1}},
      {"IPv6 odd length",
       {"2001:db8:0:0:8000::/65"},
       {"2001:db8::8000:0:0:1", "2001:db8::7fff:ffff:ffff:ffff"},
       {0, -1}},
      {"IPv6 last bit",
       {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127"},
       {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffd"},
       {0, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<tarn_prefix_t> prefixes;
    for (const char* t : c.prefixes) prefixes.push_back(pfx(t));
    std::vector<tarn_addr_t> addrs;
    for (const char* t : c.addrs) addrs.push_back(addr(t));
    std::vector<ssize_t> matches(addrs.size(), kUntouchedMatch);
    std::vector<tarn_err_t> errs(addrs.size(), kUntouchedErr);
    ASSERT_EQ(tarn_bulk_contains(addrs.data(), addrs.size(), prefixes.data(), prefixes.size(),
                                 matches.data(), errs.data()),
              TARN_OK);
    EXPECT_EQ(matches, c.want);
    EXPECT_EQ(errs, std::vector<tarn_err_t>(addrs.size(), TARN_OK));
    EXPECT_EQ(ref_bulk::first_matches(addrs, prefixes), c.want);
  }
}

// What each check answers, in which order, and what it writes.
TEST(BulkContains, ArgumentChecks) {
  enum Written { kNothing, kUnmatchedOk, kUnmatchedFamily };
  struct Case {
    const char* name;
    std::vector<tarn_addr_t> addrs;       // empty: null
    std::vector<tarn_prefix_t> prefixes;  // empty: null
    size_t addr_count, prefix_count;
    bool matches_null;
    tarn_err_t want;
    Written written;
  };
  tarn_addr_t a4 = addr("10.0.0.1"), a6 = addr("2001:db8::1"), a0 = a4, a5 = a4;
  a0.family = TARN_AF_UNSPEC;
  a5.family = 5;
  tarn_prefix_t p4 = pfx("10.0.0.0/8"), p6 = pfx("2001:db8::/32"), p0 = p4, p5 = p4;
  p0.addr.family = TARN_AF_UNSPEC;
  p5.addr.family = 5;
  tarn_prefix_t p4_33 = pfx("10.0.0.0/33"), p4_255 = pfx("10.0.0.0/255");
  tarn_prefix_t p6_129 = pfx("2001:db8::/129"), p6_128 = pfx("2001:db8::1/128");
  tarn_prefix_t p6_100 = pfx("2001:db8::/100"), p4_32 = pfx("10.0.0.1/32");
  const Case cases[] = {
      {"addr_count 0, all null", {}, {}, 0, 3, true, TARN_OK, kNothing},
      {"addrs null", {}, {p4}, 2, 1, false, TARN_ERR_INVAL, kNothing},
      {"matches null", {a4}, {p4}, 1, 1, true, TARN_ERR_INVAL, kNothing},
      {"matches null before addrs family", {a0}, {p4}, 1, 1, true, TARN_ERR_INVAL, kNothing},
      {"prefix_count 0: addresses not checked",
       {a4, a0, a6},
       {},
       3,
       0,
       false,
       TARN_OK,
       kUnmatchedOk},
      {"prefixes null", {a4}, {}, 1, 2, false, TARN_ERR_INVAL, kNothing},
      {"first address family 0", {a0, a4}, {p4}, 2, 1, false, TARN_ERR_INVAL, kNothing},
      {"first address family 5", {a5}, {p4}, 1, 1, false, TARN_ERR_INVAL, kNothing},
      {"later address family 0", {a4, a0}, {p4}, 2, 1, false, TARN_ERR_INVAL, kNothing},
      {"addresses of two families", {a4, a6}, {p4}, 2, 1, false, TARN_ERR_FAMILY, kNothing},
      {"addresses of two families, then family 0",
       {a4, a6, a0},
       {p4},
       3,
       1,
       false,
       TARN_ERR_FAMILY,
       kNothing},
      {"addresses checked before prefixes", {a4, a6}, {p0}, 2, 1, false, TARN_ERR_FAMILY, kNothing},
      {"first prefix family 0", {a4}, {p0, p4}, 1, 2, false, TARN_ERR_INVAL, kNothing},
      {"first prefix family 5", {a4}, {p5}, 1, 1, false, TARN_ERR_INVAL, kNothing},
      {"later prefix family 0", {a4}, {p4, p0}, 1, 2, false, TARN_ERR_INVAL, kNothing},
      {"prefixes of two families", {a4}, {p4, p6}, 1, 2, false, TARN_ERR_FAMILY, kNothing},
      {"IPv4 length 33", {a4}, {p4, p4_33}, 1, 2, false, TARN_ERR_PFXLEN, kNothing},
      {"IPv4 length 255 last in the array",
       {a4},
       {p4, p4_255},
       1,
       2,
       false,
       TARN_ERR_PFXLEN,
       kNothing},
      {"IPv6 length 129", {a6}, {p6_129}, 1, 1, false, TARN_ERR_PFXLEN, kNothing},
      {"lengths at the maximum are fine", {a6}, {p6_128}, 1, 1, false, TARN_OK, kNothing},
      {"family checks before lengths", {a4}, {p4_33, p6}, 1, 2, false, TARN_ERR_FAMILY, kNothing},
      {"family 0 before lengths", {a4}, {p4_255, p0}, 1, 2, false, TARN_ERR_INVAL, kNothing},
      {"lengths before the cross-family step",
       {a6},
       {p4_33},
       1,
       1,
       false,
       TARN_ERR_PFXLEN,
       kNothing},
      {"length checked against the prefixes' family",
       {a4, a4},
       {p6_100},
       2,
       1,
       false,
       TARN_ERR_FAMILY,
       kUnmatchedFamily},
      {"IPv4 addresses, IPv6 prefixes",
       {a4, a4},
       {p6},
       2,
       1,
       false,
       TARN_ERR_FAMILY,
       kUnmatchedFamily},
      {"IPv6 addresses, IPv4 prefixes",
       {a6},
       {p4_32, p4},
       1,
       2,
       false,
       TARN_ERR_FAMILY,
       kUnmatchedFamily},
  };
  for (const Case& c : cases) {
    for (bool with_errs : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (with_errs ? "" : ", errs null"));
      // Exactly sized copies, so that a read past either array is caught by
      // the address sanitizer.
      std::vector<tarn_addr_t> addrs = c.addrs;
      std::vector<tarn_prefix_t> prefixes = c.prefixes;
      std::vector<tarn_addr_t> addrs_before = addrs;
      std::vector<tarn_prefix_t> prefixes_before = prefixes;
      std::vector<ssize_t> matches(4, kUntouchedMatch);
      std::vector<tarn_err_t> errs(4, kUntouchedErr);
      tarn_err_t rc = tarn_bulk_contains(addrs.empty() ? nullptr : addrs.data(), c.addr_count,
                                         prefixes.empty() ? nullptr : prefixes.data(),
                                         c.prefix_count, c.matches_null ? nullptr : matches.data(),
                                         with_errs ? errs.data() : nullptr);
      EXPECT_EQ(rc, c.want);
      EXPECT_TRUE(ref_bulk::same_bytes(addrs, addrs_before));
      EXPECT_TRUE(ref_bulk::same_bytes(prefixes, prefixes_before));
      if (rc == TARN_OK && c.written == kNothing) continue;  // a real match result
      for (size_t i = 0; i < matches.size(); i++) {
        SCOPED_TRACE(i);
        bool covered = c.written != kNothing && i < c.addr_count;
        EXPECT_EQ(matches[i], covered ? -1 : kUntouchedMatch);
        tarn_err_t want_err = !covered || !with_errs          ? kUntouchedErr
                              : c.written == kUnmatchedFamily ? TARN_ERR_FAMILY
                                                              : TARN_OK;
        EXPECT_EQ(errs[i], want_err);
      }
    }
  }
}

TEST(BulkContains, RandomSetsAgreeWithLinearScan) {
  uint64_t seed = logged_seed();
  Rng rng(seed);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    for (int round = 0; round < 12; round++) {
      SCOPED_TRACE("family " + std::to_string(family) + " round " + std::to_string(round));
      size_t m = 1 + rng.below(250);
      // Host bits set in some prefixes too; /0 somewhere (or nowhere) in the
      // list so that most addresses match.
      std::vector<tarn_prefix_t> prefixes =
          ref_bulk::random_prefix_set(rng, family, m + 3, rng.chance(50));
      if (rng.chance(50)) prefixes.erase(prefixes.begin());  // maybe no /0 at all
      std::vector<tarn_addr_t> addrs;
      for (size_t i = 0; i < 800; i++) {
        if (rng.chance(30)) {
          // An address inside (or at the edge of) a listed prefix.
          tarn_addr_t a = prefixes[rng.below(prefixes.size())].addr;
          unsigned bits = ref_bulk::addr_bits(family);
          unsigned from = bits - static_cast<unsigned>(rng.below(9));
          for (unsigned b = from; b < bits; b++)
            a.addr.v6[b / 8] =
                static_cast<uint8_t>(a.addr.v6[b / 8] ^ ((rng.next() & 1) << (7 - b % 8)));
          addrs.push_back(a);
        } else {
          addrs.push_back(ref_bulk::random_addr(rng, family));
        }
      }
      std::vector<ssize_t> matches(addrs.size(), kUntouchedMatch);
      std::vector<tarn_err_t> errs(addrs.size(), kUntouchedErr);
      ASSERT_EQ(tarn_bulk_contains(addrs.data(), addrs.size(), prefixes.data(), prefixes.size(),
                                   matches.data(), errs.data()),
                TARN_OK);
      std::vector<ssize_t> want = ref_bulk::first_matches(addrs, prefixes);
      for (size_t i = 0; i < addrs.size(); i++) {
        ASSERT_EQ(matches[i], want[i]) << ref_bulk::to_string(addrs[i]);
        ASSERT_EQ(errs[i], TARN_OK);
      }
    }
  }
}

__extension__ typedef unsigned __int128 u128;

u128 addr_value(const tarn_addr_t& a) {
  u128 v = 0;
  for (size_t i = 0; i < ref_bulk::addr_len(a.family); i++) v = (v << 8) | a.addr.v6[i];
  return v;
}

tarn_addr_t addr_of_value(u128 v, tarn_family_t family) {
  tarn_addr_t a;
  memset(&a, 0, sizeof a);
  a.family = family;
  for (size_t i = ref_bulk::addr_len(family); i-- > 0; v >>= 8)
    a.addr.v6[i] = static_cast<uint8_t>(v);
  return a;
}

// The first and last address of a prefix and their outside neighbours, the
// ones that exist (nothing below 0 or above the top of the space).
void push_boundaries(const tarn_prefix_t& p, std::vector<tarn_addr_t>* out) {
  const tarn_family_t family = p.addr.family;
  const unsigned bits = ref_bulk::addr_bits(family);
  const u128 top = bits == 128 ? ~u128{0} : (u128{1} << bits) - 1;
  // /0 is every bit a host bit; otherwise the shift is by 0..127.
  const u128 host = p.pfxlen == 0 ? top : (u128{1} << (bits - p.pfxlen)) - 1;
  const u128 first = addr_value(p.addr) & ~host, last = first | host;
  out->push_back(addr_of_value(first, family));
  out->push_back(addr_of_value(last, family));
  if (first != 0) out->push_back(addr_of_value(first - 1, family));
  if (last != top) out->push_back(addr_of_value(last + 1, family));
}

// n prefixes inside one block of 32 addresses, of lengths bits - 5 .. bits:
// far more intervals than the block has bits to bucket on.
std::vector<tarn_prefix_t> dense_prefix_set(Rng& rng, tarn_family_t family, size_t n) {
  const unsigned bits = ref_bulk::addr_bits(family);
  const u128 base = addr_value(ref_bulk::random_addr(rng, family)) & ~u128{31};
  std::vector<tarn_prefix_t> v(n);
  for (tarn_prefix_t& p : v) {
    memset(&p, 0, sizeof p);
    p.addr = addr_of_value(base | rng.below(32), family);
    p.pfxlen = static_cast<uint8_t>(bits - rng.below(6));
  }
  return v;
}

// Lists on both sides of the crossover, nested, duplicated, with and
// without /0, host bits set or not, spread or packed into a small block: the
// table and the scan give the same first matches, at and next to every
// boundary in particular.
TEST(BulkContains, IntervalTableAgreesWithScan) {
  enum Kind { kMixed, kMixedNoDefault, kClustered, kDense };
  uint64_t seed = logged_seed();
  Rng rng(seed);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    for (size_t n : {1, 7, 8, 9, 60, 400, 3000}) {
      for (Kind kind : {kMixed, kMixedNoDefault, kClustered, kDense}) {
        SCOPED_TRACE("family " + std::to_string(family) + ", " + std::to_string(n) +
                     " prefixes, kind " + std::to_string(kind));
        std::vector<tarn_prefix_t> prefixes =
            kind == kDense
                ? dense_prefix_set(rng, family, n)
                : ref_bulk::clustered_prefix_set(rng, family, kind == kClustered ? n : n / 2);
        if (kind == kMixed || kind == kMixedNoDefault)
          for (const tarn_prefix_t& p :
               ref_bulk::random_prefix_set(rng, family, n - n / 2, rng.chance(50)))
            if (kind == kMixed || p.pfxlen != 0) prefixes.push_back(p);
        if (prefixes.empty()) continue;
        for (size_t i = prefixes.size(); i > 1; i--)
          std::swap(prefixes[i - 1], prefixes[rng.below(i)]);
        std::vector<tarn_addr_t> addrs;
        for (size_t i = 0; i < std::min<size_t>(prefixes.size(), 300); i++)
          push_boundaries(prefixes[prefixes.size() <= 300 ? i : rng.below(prefixes.size())],
                          &addrs);
        for (int i = 0; i < 500; i++) addrs.push_back(ref_bulk::random_addr(rng, family));
        std::vector<ssize_t> matches(addrs.size(), kUntouchedMatch);
        ASSERT_EQ(tarn_bulk_contains(addrs.data(), addrs.size(), prefixes.data(), prefixes.size(),
                                     matches.data(), nullptr),
                  TARN_OK);
        std::vector<ssize_t> want = ref_bulk::first_matches(addrs, prefixes);
        for (size_t i = 0; i < addrs.size(); i++)
          ASSERT_EQ(matches[i], want[i]) << ref_bulk::to_string(addrs[i]);
      }
    }
  }
}

// Well above the crossover the table answers; a short list or a small batch
// is left to the scan, with nothing written.
TEST(BulkContains, LongListsTakeTheIntervalTable) {
  uint64_t seed = logged_seed();
  Rng rng(seed);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    SCOPED_TRACE("family " + std::to_string(family));
    std::vector<tarn_prefix_t> prefixes = ref_bulk::random_prefix_set(rng, family, 5000, false);
    std::vector<tarn_addr_t> addrs;
    for (int i = 0; i < 2000; i++) addrs.push_back(ref_bulk::random_addr(rng, family));
    std::vector<ssize_t> matches(addrs.size(), kUntouchedMatch);
    ASSERT_TRUE(tarn_contains_by_intervals(addrs.data(), addrs.size(), prefixes.data(),
                                           prefixes.size(), family, matches.data()));
    EXPECT_EQ(matches, ref_bulk::first_matches(addrs, prefixes));
    std::vector<ssize_t> untouched(addrs.size(), kUntouchedMatch);
    EXPECT_FALSE(tarn_contains_by_intervals(addrs.data(), addrs.size(), prefixes.data(), 4, family,
                                            untouched.data()));
    EXPECT_FALSE(tarn_contains_by_intervals(addrs.data(), 10, prefixes.data(), prefixes.size(),
                                            family, untouched.data()));
    EXPECT_EQ(untouched, std::vector<ssize_t>(addrs.size(), kUntouchedMatch));
  }
}

}  // namespace
