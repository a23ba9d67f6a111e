// classify_test.cpp - special-purpose classification against an independent
// reference that treats every block as an integer range.  The random test
// prints its seed; set TARN_TEST_SEED to replay it.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>

#include "pytarn.h"
#include "support/ref_addr.h"

namespace {

using ref::u128;

tarn_addr_t parsed(const char* text) {
  tarn_addr_t a;
  EXPECT_EQ(tarn_addr_parse(text, &a), TARN_OK) << text;
  return a;
}

tarn_addr_t to_core(const ref::Addr& r) {
  tarn_addr_t a;
  memset(&a, 0, sizeof a);
  a.family = r.family;
  memcpy(a.addr.v6, r.bytes, 16);
  return a;
}

tarn_class_t classify(const tarn_addr_t& a) {
  tarn_class_t out = 0xDEADBEEF;
  EXPECT_EQ(tarn_addr_classify(&a, &out), TARN_OK);
  return out;
}

struct Case {
  const char* addr;
  tarn_class_t want;
};

TEST(Classify, Table) {
  const Case cases[] = {
      {"8.8.8.8", TARN_CLASS_GLOBAL},
      {"100.128.0.0", TARN_CLASS_GLOBAL},  // just past 100.64.0.0/10
      {"100.63.255.255", TARN_CLASS_GLOBAL},
      {"::2", TARN_CLASS_GLOBAL},
      {"2001:200::1", TARN_CLASS_GLOBAL},  // just past 2001::/23
      {"0.0.0.0", TARN_CLASS_THIS_HOST},
      {"0.1.2.3", TARN_CLASS_THIS_HOST},
      {"10.255.255.255", TARN_CLASS_PRIVATE},
      {"172.31.255.255", TARN_CLASS_PRIVATE},
      {"172.32.0.0", TARN_CLASS_GLOBAL},
      {"100.127.255.255", TARN_CLASS_SHARED},
      {"127.255.255.255", TARN_CLASS_LOOPBACK},
      {"198.19.255.255", TARN_CLASS_BENCHMARKING},
      {"198.20.0.0", TARN_CLASS_GLOBAL},
      {"192.0.0.7", TARN_CLASS_IETF_RESERVED},
      {"192.0.0.8", TARN_CLASS_IETF_RESERVED},
      {"192.0.0.9", TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST},
      {"192.0.0.10", TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST},
      {"192.0.0.11", TARN_CLASS_IETF_RESERVED},
      {"192.0.1.0", TARN_CLASS_GLOBAL},
      {"192.88.99.2", TARN_CLASS_6TO4_RELAY},
      {"255.255.255.255", TARN_CLASS_RESERVED | TARN_CLASS_BROADCAST},
      {"255.255.255.254", TARN_CLASS_RESERVED},
      {"224.0.0.1", TARN_CLASS_MULTICAST},
      {"239.255.255.255", TARN_CLASS_MULTICAST},
      {"ff02::1", TARN_CLASS_MULTICAST},
      {"::", TARN_CLASS_UNSPECIFIED},
      {"::1", TARN_CLASS_LOOPBACK},
      {"::ffff:10.0.0.1", TARN_CLASS_V4MAPPED},  // nothing from the IPv4 part
      {"::ffff:127.0.0.1", TARN_CLASS_V4MAPPED},
      {"64:ff9b::1", TARN_CLASS_V4TRANSLATED},
      {"64:ff9b::a00:1", TARN_CLASS_V4TRANSLATED},
      {"64:ff9b:1::1", TARN_CLASS_V4TRANSLATED},
      {"100::1", TARN_CLASS_DISCARD},
      {"100:0:0:1::1", TARN_CLASS_IETF_RESERVED},
      {"2001::1", TARN_CLASS_IETF_RESERVED | TARN_CLASS_TEREDO},
      {"2001:1::1", TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST},
      {"2001:1::4", TARN_CLASS_IETF_RESERVED},
      {"2001:2::1", TARN_CLASS_IETF_RESERVED | TARN_CLASS_BENCHMARKING},
      {"2001:4:112::1", TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST},
      {"2001:20::1", TARN_CLASS_IETF_RESERVED | TARN_CLASS_ORCHID},
      {"2001:db8::1", TARN_CLASS_IETF_RESERVED | TARN_CLASS_DOCUMENTATION},
      {"2002::1", TARN_CLASS_6TO4},
      {"2002:a00:1::", TARN_CLASS_6TO4},  // 6to4 of 10.0.0.1: IPv6 only
      {"3fff::1", TARN_CLASS_DOCUMENTATION},
      {"5f00::1", TARN_CLASS_SRV6},
      {"2620:4f:8000::1", TARN_CLASS_ANYCAST},
      {"fc00::1", TARN_CLASS_UNIQUE_LOCAL},
      {"fd00::1", TARN_CLASS_UNIQUE_LOCAL},
      {"fe80::1", TARN_CLASS_LINK_LOCAL},
      {"febf:ffff::", TARN_CLASS_LINK_LOCAL},
      {"fec0::", TARN_CLASS_GLOBAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.addr);
    EXPECT_EQ(classify(parsed(c.addr)), c.want);
  }
}

TEST(Classify, InvalidArguments) {
  tarn_addr_t a = parsed("10.0.0.1");
  tarn_class_t out = 0x5A5A5A5A;
  EXPECT_EQ(tarn_addr_classify(nullptr, &out), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_addr_classify(&a, nullptr), TARN_ERR_INVAL);
  a.family = TARN_AF_UNSPEC;
  EXPECT_EQ(tarn_addr_classify(&a, &out), TARN_ERR_INVAL);
  EXPECT_EQ(out, 0x5A5A5A5Au);
}

TEST(Classify, OtherFamiliesMatchNoRow) {
  // Neither 4 nor 6: no row has that family, whatever the bytes say.
  for (tarn_family_t family : {1u, 5u, 0x0600u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(family);
    tarn_addr_t a = parsed("::1");
    a.family = family;
    EXPECT_EQ(classify(a), TARN_CLASS_GLOBAL);
  }
}

TEST(Classify, Ipv4IgnoresUnusedBytes) {
  // Bytes 4..15 of an IPv4 record are noise (here: the text of fe80::).
  for (uint8_t fill : {0x00, 0xFE, 0xFF}) {
    tarn_addr_t a = parsed("8.8.8.8");
    memset(a.addr.v6 + 4, fill, 12);
    EXPECT_EQ(classify(a), TARN_CLASS_GLOBAL);
    ASSERT_EQ(tarn_addr_parse("127.0.0.1", &a), TARN_OK);
    EXPECT_EQ(classify(a), TARN_CLASS_LOOPBACK);
  }
}

void expect_matches_reference(const ref::Addr& r) {
  const tarn_class_t want = ref::addr_classify(r);
  const tarn_class_t got = classify(to_core(r));
  EXPECT_EQ(got, want) << ref::addr_format(r);
  // GLOBAL only ever stands alone, and no bit above SRV6 exists.
  EXPECT_TRUE(got == TARN_CLASS_GLOBAL || (got & TARN_CLASS_GLOBAL) == 0) << got;
  EXPECT_EQ(got & ~0x7FFFFFu, 0u);
}

TEST(Classify, EveryBlockEdge) {
  // The first and last address of every block and the neighbours just
  // outside it.
  for (const ref::ClassRange& row : ref::class_ranges()) {
    SCOPED_TRACE(row.text);
    const u128 top = row.family == TARN_AF_INET ? 0xFFFFFFFFu : ~static_cast<u128>(0);
    expect_matches_reference(ref::addr_from_int(row.family, row.first));
    expect_matches_reference(ref::addr_from_int(row.family, row.last));
    EXPECT_NE(classify(to_core(ref::addr_from_int(row.family, row.first))) & row.flags, 0u);
    EXPECT_NE(classify(to_core(ref::addr_from_int(row.family, row.last))) & row.flags, 0u);
    if (row.first > 0) expect_matches_reference(ref::addr_from_int(row.family, row.first - 1));
    if (row.last < top) expect_matches_reference(ref::addr_from_int(row.family, row.last + 1));
  }
}

TEST(Classify, RandomAgainstReference) {
  const char* env = getenv("TARN_TEST_SEED");
  const uint64_t seed = env != nullptr ? strtoull(env, nullptr, 0) : std::random_device{}();
  printf("classify_test: TARN_TEST_SEED=%llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  const auto& rows = ref::class_ranges();
  auto random128 = [&] { return (static_cast<u128>(rng()) << 64) | rng(); };
  for (int i = 0; i < 100000 && !::testing::Test::HasFailure(); ++i) {
    const tarn_family_t family = (rng() & 1) ? TARN_AF_INET : TARN_AF_INET6;
    const u128 mask = family == TARN_AF_INET ? 0xFFFFFFFFu : ~static_cast<u128>(0);
    u128 x = random128() & mask;
    switch (rng() % 3) {
      case 0:  // uniform: almost always global
        break;
      case 1: {  // inside a random block of this family
        const ref::ClassRange& row = rows[rng() % rows.size()];
        if (row.family != family) break;
        x = row.first + (row.last > row.first ? x % (row.last - row.first + 1) : 0);
        break;
      }
      default: {  // near a random block's edge
        const ref::ClassRange& row = rows[rng() % rows.size()];
        if (row.family != family) break;
        const u128 edge = (rng() & 1) ? row.first : row.last;
        x = (edge + (rng() % 5) - 2) & mask;
        break;
      }
    }
    expect_matches_reference(ref::addr_from_int(family, x));
  }
}

}  // namespace
