// Tests of tarn_bulk_sort and radix_sort_prefixes.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "pytarn.h"
#include "support/ref_bulk.h"
#include "tarn_internal.h"

namespace {

using ref_bulk::pfx;
using ref_bulk::Rng;

std::vector<tarn_prefix_t> pfxs(std::initializer_list<const char*> texts) {
  std::vector<tarn_prefix_t> v;
  for (const char* t : texts) v.push_back(pfx(t));
  return v;
}

std::vector<std::string> texts(const std::vector<tarn_prefix_t>& v) {
  std::vector<std::string> out;
  for (const tarn_prefix_t& p : v) out.push_back(ref_bulk::to_string(p));
  return out;
}

// A stable comparison sort on precomputed keys: for the descending order
// equal records keep their input order.
std::vector<tarn_prefix_t> reference_sorted(const std::vector<tarn_prefix_t>& v,
                                            tarn_sort_order_t order, tarn_family_t family) {
  std::vector<std::pair<std::vector<uint8_t>, size_t>> keyed;
  for (size_t i = 0; i < v.size(); i++)
    keyed.emplace_back(ref_bulk::sort_key(v[i], order, family), i);
  // Compared by hand: GCC 12 misreads vector<uint8_t>'s operator< as a
  // memcmp of unbounded size (-Wstringop-overread, an error with -Werror).
  auto key_less = [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    for (size_t i = 0; i < a.size() && i < b.size(); i++)
      if (a[i] != b[i]) return a[i] < b[i];
    return a.size() < b.size();
  };
  std::stable_sort(keyed.begin(), keyed.end(),
                   [&](const auto& a, const auto& b) { return key_less(a.first, b.first); });
  std::vector<tarn_prefix_t> out;
  for (const auto& k : keyed) out.push_back(v[k.second]);
  return out;
}

uint64_t logged_seed() {
  uint64_t seed = ref_bulk::test_seed();
  std::printf("seed %llu (set TARN_TEST_SEED to replay)\n", static_cast<unsigned long long>(seed));
  return seed;
}

// IPv4 records carry side data in the address bytes after the first four,
// which no key reads, so it travels with the record through every exchange.
void set_serial(tarn_prefix_t* p, uint32_t serial) { memcpy(&p->addr.addr.v6[8], &serial, 4); }
uint32_t serial(const tarn_prefix_t& p) {
  uint32_t s;
  memcpy(&s, &p.addr.addr.v6[8], 4);
  return s;
}

std::vector<uint32_t> tags(const std::vector<tarn_prefix_t>& v) {
  std::vector<uint32_t> out;
  for (const tarn_prefix_t& p : v) out.push_back(prefix_order_tag_get(&p));
  return out;
}

// ---------------------------------------------------------------------------

TEST(BulkSort, FixedCases) {
  struct Case {
    const char* name;
    std::vector<tarn_prefix_t> in;
    tarn_sort_order_t order;
    std::vector<tarn_prefix_t> want;
  };
  const Case cases[] = {
      {"ascending: address, then length",
       pfxs({"10.0.0.0/16", "10.0.0.0/8", "9.255.0.0/16", "10.0.0.1/32"}), TARN_SORT_NETWORK_ASC,
       pfxs({"9.255.0.0/16", "10.0.0.0/8", "10.0.0.0/16", "10.0.0.1/32"})},
      {"descending: length, then address",
       pfxs({"10.0.0.0/16", "10.0.0.0/8", "9.255.0.0/16", "10.0.0.1/32"}), TARN_SORT_PFXLEN_DESC,
       pfxs({"10.0.0.1/32", "9.255.0.0/16", "10.0.0.0/16", "10.0.0.0/8"})},
      {"addresses compare unsigned", pfxs({"128.0.0.0/1", "127.255.255.255/32"}),
       TARN_SORT_NETWORK_ASC, pfxs({"127.255.255.255/32", "128.0.0.0/1"})},
      {"host bits take part", pfxs({"10.0.0.5/8", "10.0.0.0/32"}), TARN_SORT_NETWORK_ASC,
       pfxs({"10.0.0.0/32", "10.0.0.5/8"})},
      {"::/0 first of all", pfxs({"::1/128", "8000::/1", "::/0", "::/1", "ffff::/16"}),
       TARN_SORT_NETWORK_ASC, pfxs({"::/0", "::/1", "::1/128", "8000::/1", "ffff::/16"})},
      {"IPv6 descending", pfxs({"::/0", "2001:db8::/32", "::1/128", "2001:db8::1/128"}),
       TARN_SORT_PFXLEN_DESC, pfxs({"::1/128", "2001:db8::1/128", "2001:db8::/32", "::/0"})},
      {"top of the space", pfxs({"255.255.255.255/32", "255.255.255.254/31", "0.0.0.0/0"}),
       TARN_SORT_NETWORK_ASC, pfxs({"0.0.0.0/0", "255.255.255.254/31", "255.255.255.255/32"})},
      {"IPv6 differs in the last address byte only",
       pfxs({"2001:db8::ff/128", "2001:db8::/128", "2001:db8::80/128"}), TARN_SORT_PFXLEN_DESC,
       pfxs({"2001:db8::/128", "2001:db8::80/128", "2001:db8::ff/128"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<tarn_prefix_t> v = c.in;
    ASSERT_EQ(tarn_bulk_sort(v.data(), v.size(), c.order), TARN_OK);
    EXPECT_EQ(texts(v), texts(c.want));
    for (const tarn_prefix_t& p : v) EXPECT_EQ(p.addr.family, c.in[0].addr.family);
  }
}

// The index reports, for equal prefixes, the input position of whichever
// record the sort places first, so the exact exchange sequence is part of the
// contract: with tags 0, 1, 2 the first exchange moves 20/8 to the end and
// brings the last 10/8 to the front, and the equal records stay as they are.
TEST(RadixSortPrefixes, ExchangeSequenceIsPinned) {
  struct Case {
    const char* name;
    std::vector<tarn_prefix_t> in;
    tarn_sort_order_t order;
    std::vector<uint32_t> want_tags;
  };
  const Case cases[] = {
      {"ascending",
       pfxs({"20.0.0.0/8", "10.0.0.0/8", "10.0.0.0/8"}),
       TARN_SORT_NETWORK_ASC,
       {2, 1, 0}},
      {"descending",
       pfxs({"20.0.0.0/8", "10.0.0.0/8", "10.0.0.0/8"}),
       TARN_SORT_PFXLEN_DESC,
       {2, 1, 0}},
      // 30/8 goes to the end (its slot held 10/8 t3), 10/8 t3 then lies in
      // its bucket; 20/8 stays; the two 10/8 records were already in place.
      {"re-examined position",
       pfxs({"30.0.0.0/8", "10.0.0.0/8", "20.0.0.0/8", "10.0.0.0/8"}),
       TARN_SORT_NETWORK_ASC,
       {3, 1, 2, 0}},
      {"IPv6",
       pfxs({"2001:db9::/32", "2001:db8::/32", "2001:db8::/32"}),
       TARN_SORT_NETWORK_ASC,
       {2, 1, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<tarn_prefix_t> v = c.in;
    tarn_family_t family = v[0].addr.family;
    prefixes_prepare_order_tags(v.data(), v.size());
    radix_sort_prefixes(v.data(), v.size(), c.order, family);
    EXPECT_EQ(tags(v), c.want_tags);
  }
}

// The same pin on random sets full of duplicates: the final arrangement,
// tags included, equals that of the step-by-step transcription of the
// bucket pass.
TEST(RadixSortPrefixes, ArrangementMatchesLiteralBucketPass) {
  uint64_t seed = logged_seed();
  Rng rng(seed);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    for (tarn_sort_order_t order : {TARN_SORT_NETWORK_ASC, TARN_SORT_PFXLEN_DESC}) {
      for (size_t n : {2u, 3u, 17u, 300u, 3000u}) {
        SCOPED_TRACE("family " + std::to_string(family) + " order " + std::to_string(order) +
                     " n " + std::to_string(n));
        // A small pool so that equal keys are the rule.
        std::vector<tarn_prefix_t> pool = ref_bulk::random_prefix_set(rng, family, 12, false);
        std::vector<tarn_prefix_t> v;
        for (size_t i = 0; i < n; i++) v.push_back(pool[rng.below(pool.size())]);
        prefixes_prepare_order_tags(v.data(), v.size());
        std::vector<tarn_prefix_t> want = v;
        ref_bulk::literal_radix_sort(want, order, family);
        radix_sort_prefixes(v.data(), v.size(), order, family);
        ASSERT_EQ(tags(v), tags(want));
      }
    }
  }
}

TEST(RadixSortPrefixes, TrivialCountsReadNothing) {
  radix_sort_prefixes(nullptr, 0, TARN_SORT_NETWORK_ASC, TARN_AF_INET);
  tarn_prefix_t one = pfx("10.0.0.0/8");
  tarn_prefix_t copy = one;
  radix_sort_prefixes(&one, 1, TARN_SORT_PFXLEN_DESC, TARN_AF_INET6);
  EXPECT_EQ(memcmp(&one, &copy, sizeof one), 0);
}

TEST(BulkSort, MatchesComparisonSortOnRandomSets) {
  uint64_t seed = logged_seed();
  Rng rng(seed);
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    for (tarn_sort_order_t order : {TARN_SORT_NETWORK_ASC, TARN_SORT_PFXLEN_DESC}) {
      for (size_t n : {1u, 2u, 5u, 64u, 257u, 5000u, 20000u}) {
        SCOPED_TRACE("family " + std::to_string(family) + " order " + std::to_string(order) +
                     " n " + std::to_string(n));
        std::vector<tarn_prefix_t> v = ref_bulk::random_prefix_set(rng, family, n, false);
        if (family == TARN_AF_INET)
          for (size_t i = 0; i < v.size(); i++) set_serial(&v[i], static_cast<uint32_t>(i));
        std::vector<tarn_prefix_t> want = reference_sorted(v, order, family);
        ASSERT_EQ(tarn_bulk_sort(v.data(), v.size(), order), TARN_OK);
        for (size_t i = 0; i < n; i++) {
          ASSERT_EQ(ref_bulk::sort_key(v[i], order, family),
                    ref_bulk::sort_key(want[i], order, family))
              << "at " << i;
          ASSERT_EQ(v[i].addr.family, family) << "at " << i;
          if (family == TARN_AF_INET && order == TARN_SORT_PFXLEN_DESC) {
            ASSERT_EQ(serial(v[i]), serial(want[i])) << "at " << i;
          }
        }
        // Nothing lost or invented: the multisets of (key, serial) agree.
        if (family == TARN_AF_INET && order == TARN_SORT_NETWORK_ASC) {
          std::vector<uint32_t> got_serials, want_serials;
          for (size_t i = 0; i < n; i++) {
            got_serials.push_back(serial(v[i]));
            want_serials.push_back(serial(want[i]));
          }
          std::sort(got_serials.begin(), got_serials.end());
          std::sort(want_serials.begin(), want_serials.end());
          ASSERT_EQ(got_serials, want_serials);
        }
      }
    }
  }
}

// More than 256 records, so that whole buckets and bucket bounds past the
// first few are exercised.
TEST(BulkSort, LargeShapedArrays) {
  struct Case {
    const char* name;
    tarn_family_t family;
    tarn_sort_order_t order;
    // Record i of n.
    tarn_prefix_t (*make)(size_t i);
  };
  const Case cases[] = {
      {"all equal, ascending", TARN_AF_INET, TARN_SORT_NETWORK_ASC,
       [](size_t) { return pfx("10.1.2.0/24"); }},
      {"all equal, descending", TARN_AF_INET, TARN_SORT_PFXLEN_DESC,
       [](size_t) { return pfx("10.1.2.0/24"); }},
      {"all equal, IPv6 descending", TARN_AF_INET6, TARN_SORT_PFXLEN_DESC,
       [](size_t) { return pfx("2001:db8::/48"); }},
      {"all distinct, ascending", TARN_AF_INET, TARN_SORT_NETWORK_ASC,
       [](size_t i) {
         tarn_prefix_t p = pfx("0.0.0.0/32");
         uint32_t a = static_cast<uint32_t>(i * 2654435761u);
         for (int k = 0; k < 4; k++) p.addr.addr.v4[k] = static_cast<uint8_t>(a >> (24 - 8 * k));
         return p;
       }},
      {"all distinct, IPv6 descending", TARN_AF_INET6, TARN_SORT_PFXLEN_DESC,
       [](size_t i) {
         tarn_prefix_t p = pfx("::/128");
         uint32_t a = static_cast<uint32_t>(i * 2654435761u);
         memcpy(&p.addr.addr.v6[5], &a, 4);
         p.pfxlen = static_cast<uint8_t>(i % 129);
         return p;
       }},
      {"only the length differs, ascending", TARN_AF_INET, TARN_SORT_NETWORK_ASC,
       [](size_t i) {
         tarn_prefix_t p = pfx("10.0.0.0/0");
         p.pfxlen = static_cast<uint8_t>((i * 7) % 256);  // not a valid length; sorted anyway
         return p;
       }},
      {"only the last address byte differs, descending", TARN_AF_INET, TARN_SORT_PFXLEN_DESC,
       [](size_t i) {
         tarn_prefix_t p = pfx("10.0.0.0/32");
         p.addr.addr.v4[3] = static_cast<uint8_t>(255 - (i * 13) % 256);
         return p;
       }},
      {"only the last address byte differs, IPv6 ascending", TARN_AF_INET6, TARN_SORT_NETWORK_ASC,
       [](size_t i) {
         tarn_prefix_t p = pfx("2001:db8::/128");
         p.addr.addr.v6[15] = static_cast<uint8_t>(255 - (i * 13) % 256);
         return p;
       }},
  };
  for (const Case& c : cases) {
    for (size_t n : {257u, 1000u, 20000u}) {
      SCOPED_TRACE(std::string(c.name) + " n " + std::to_string(n));
      std::vector<tarn_prefix_t> v;
      for (size_t i = 0; i < n; i++) {
        v.push_back(c.make(i));
        v.back().addr.family = c.family;
        if (c.family == TARN_AF_INET) set_serial(&v.back(), static_cast<uint32_t>(i));
      }
      std::vector<tarn_prefix_t> want = reference_sorted(v, c.order, c.family);
      ASSERT_EQ(tarn_bulk_sort(v.data(), v.size(), c.order), TARN_OK);
      for (size_t i = 0; i < n; i++) {
        ASSERT_EQ(ref_bulk::sort_key(v[i], c.order, c.family),
                  ref_bulk::sort_key(want[i], c.order, c.family))
            << "at " << i;
        if (c.family == TARN_AF_INET && c.order == TARN_SORT_PFXLEN_DESC) {
          ASSERT_EQ(serial(v[i]), serial(want[i])) << "at " << i;
        }
      }
    }
  }
}

// IPv6 runs of equal records in the descending order: every run is regrouped
// whole and every record gets its family back after the tags are gone.
TEST(BulkSort, DescendingIPv6RunsAndFamilyRestored) {
  std::vector<tarn_prefix_t> v = pfxs(
      {"2001:db8::/32", "::/0", "2001:db8::/32", "::/0", "2001:db8::/32", "fe80::/10", "::/0"});
  ASSERT_EQ(tarn_bulk_sort(v.data(), v.size(), TARN_SORT_PFXLEN_DESC), TARN_OK);
  EXPECT_EQ(texts(v), texts(pfxs({"2001:db8::/32", "2001:db8::/32", "2001:db8::/32", "fe80::/10",
                                  "::/0", "::/0", "::/0"})));
  for (const tarn_prefix_t& p : v) EXPECT_EQ(p.addr.family, TARN_AF_INET6);
}

TEST(BulkSort, ArgumentChecks) {
  struct Case {
    const char* name;
    std::vector<tarn_prefix_t> in;  // empty: a null array
    size_t count;
    tarn_sort_order_t order;
    tarn_err_t want;
  };
  tarn_prefix_t v4 = pfx("10.0.0.0/8"), v6 = pfx("2001:db8::/32");
  tarn_prefix_t fam0 = v4, fam5 = v4, fam_tag = v4;
  fam0.addr.family = TARN_AF_UNSPEC;
  fam5.addr.family = 5;
  fam_tag.addr.family = 0x01000004;  // looks like IPv4 in its low byte only
  const Case cases[] = {
      {"count 0, null array, order 7", {}, 0, 7, TARN_OK},
      {"count 0 with an array and a bad order", {v4}, 0, 9, TARN_OK},
      {"null array", {}, 3, TARN_SORT_NETWORK_ASC, TARN_ERR_INVAL},
      {"order 2", {v4, v4}, 2, 2, TARN_ERR_INVAL},
      {"order checked before families", {v4, v6}, 2, 2, TARN_ERR_INVAL},
      {"single record of family 0", {fam0}, 1, TARN_SORT_NETWORK_ASC, TARN_ERR_INVAL},
      {"single IPv4 record", {v4}, 1, TARN_SORT_PFXLEN_DESC, TARN_OK},
      {"first record family 5", {fam5, fam5}, 2, TARN_SORT_NETWORK_ASC, TARN_ERR_INVAL},
      {"third record IPv6", {v4, v4, v6, v4}, 4, TARN_SORT_NETWORK_ASC, TARN_ERR_FAMILY},
      {"third record family 0", {v4, v4, fam0, v4}, 4, TARN_SORT_PFXLEN_DESC, TARN_ERR_INVAL},
      {"later family 5", {v4, fam5}, 2, TARN_SORT_NETWORK_ASC, TARN_ERR_FAMILY},
      {"whole 32-bit family compared", {v4, fam_tag}, 2, TARN_SORT_NETWORK_ASC, TARN_ERR_FAMILY},
      {"first offender decides: mismatch first",
       {v4, v6, fam0},
       3,
       TARN_SORT_NETWORK_ASC,
       TARN_ERR_FAMILY},
      {"first offender decides: family 0 first",
       {v6, fam0, v4},
       3,
       TARN_SORT_NETWORK_ASC,
       TARN_ERR_INVAL},
      {"only count records are looked at", {v4, v4, v6}, 2, TARN_SORT_NETWORK_ASC, TARN_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<tarn_prefix_t> v = c.in;
    std::vector<tarn_prefix_t> before = v;
    tarn_prefix_t* arr = v.empty() ? nullptr : v.data();
    EXPECT_EQ(tarn_bulk_sort(arr, c.count, c.order), c.want);
    if (c.want != TARN_OK || c.count < 2) {
      EXPECT_TRUE(ref_bulk::same_bytes(v, before));
    }
  }
}

// The core must work on threads with small stacks: an IPv6 sort that recurses
// through all 17 key bytes, on a 64 KiB stack.
struct StackJob {
  std::vector<tarn_prefix_t>* v;
  tarn_sort_order_t order;
  tarn_err_t rc;
};

void* sort_on_thread(void* arg) {
  StackJob* job = static_cast<StackJob*>(arg);
  job->rc = tarn_bulk_sort(job->v->data(), job->v->size(), job->order);
  return nullptr;
}

TEST(BulkSort, DeepIPv6SortOnSmallStack) {
  for (tarn_sort_order_t order : {TARN_SORT_NETWORK_ASC, TARN_SORT_PFXLEN_DESC}) {
    SCOPED_TRACE(order);
    // A staircase: record k differs from the all-zero address first in
    // address byte k, so every level splits off one record and hands the
    // rest to the next byte; the lengths split the last level.  (Records
    // that agree on a byte only move on to the next one and would not
    // recurse.)  Each step comes several times over, with different lengths.
    std::vector<tarn_prefix_t> v;
    for (size_t i = 0; i < 3000; i++) {
      tarn_prefix_t p = pfx("::/128");
      size_t k = i % 17;
      if (k < 16) p.addr.addr.v6[k] = static_cast<uint8_t>(1 + i % 5);
      p.pfxlen = static_cast<uint8_t>(126 + i % 3);
      v.push_back(p);
    }
    std::vector<tarn_prefix_t> want = reference_sorted(v, order, TARN_AF_INET6);

    StackJob job{&v, order, -1};
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    // Sanitizer builds inflate every frame several times over; the budget
    // still has to hold there.
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 64 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, sort_on_thread, &job), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attr);
    ASSERT_EQ(job.rc, TARN_OK);
    EXPECT_EQ(texts(v), texts(want));
  }
}

}  // namespace
