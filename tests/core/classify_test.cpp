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
      {"2001:db8::1", TARN_CLASS_DOCUMENTATION},  // outside 2001::/23: not IETF-reserved
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

// Where the registries' "Globally Reachable" column and Python's ipaddress
// (3.13, whose is_global follows the same registries) part ways, and why.
enum class Peer {
  AGREES,
  TERMINATED,  // 192.88.99.0/24 is a terminated entry (RFC 7526): no row there
  MULTICAST,   // not in the special-purpose registries: not global here
  NEWER,       // registered after that ipaddress table (RFC 9602, 9637, 9665, 9780)
  MAPPED,      // ipaddress judges ::ffff:a.b.c.d by its IPv4 address; IPv6 only here
};

// The first and last address of every block, the one just past it, and a
// few others; `want` is ours, taken from ipaddress except where `peer` says.
TEST(IsGlobal, AgainstIpaddress) {
  struct GlobalCase {
    const char* addr;
    bool want;
    Peer peer;
  };
  using enum Peer;
  const GlobalCase cases[] = {
      {"0.0.0.0", false, AGREES},
      {"0.255.255.255", false, AGREES},
      {"1.0.0.0", true, AGREES},
      {"0.0.0.1", false, AGREES},
      {"10.0.0.0", false, AGREES},
      {"10.255.255.255", false, AGREES},
      {"11.0.0.0", true, AGREES},
      {"100.64.0.0", false, AGREES},
      {"100.127.255.255", false, AGREES},
      {"100.128.0.0", true, AGREES},
      {"127.0.0.0", false, AGREES},
      {"127.255.255.255", false, AGREES},
      {"128.0.0.0", true, AGREES},
      {"169.254.0.0", false, AGREES},
      {"169.254.255.255", false, AGREES},
      {"169.255.0.0", true, AGREES},
      {"172.16.0.0", false, AGREES},
      {"172.31.255.255", false, AGREES},
      {"172.32.0.0", true, AGREES},
      {"192.0.0.0", false, AGREES},
      {"192.0.0.255", false, AGREES},
      {"192.0.1.0", true, AGREES},
      {"192.0.0.7", false, AGREES},
      {"192.0.0.8", false, AGREES},
      {"192.0.0.9", true, AGREES},
      {"192.0.0.10", true, AGREES},
      {"192.0.0.11", false, AGREES},
      {"192.0.0.170", false, AGREES},
      {"192.0.0.171", false, AGREES},
      {"192.0.0.172", false, AGREES},
      {"192.0.2.0", false, AGREES},
      {"192.0.2.255", false, AGREES},
      {"192.0.3.0", true, AGREES},
      {"192.31.196.0", true, AGREES},
      {"192.31.196.255", true, AGREES},
      {"192.31.197.0", true, AGREES},
      {"192.52.193.0", true, AGREES},
      {"192.52.193.255", true, AGREES},
      {"192.52.194.0", true, AGREES},
      {"192.88.99.0", false, TERMINATED},
      {"192.88.99.255", false, TERMINATED},
      {"192.88.100.0", true, AGREES},
      {"192.88.99.2", false, TERMINATED},
      {"192.88.99.3", false, TERMINATED},
      {"192.168.0.0", false, AGREES},
      {"192.168.255.255", false, AGREES},
      {"192.169.0.0", true, AGREES},
      {"192.175.48.0", true, AGREES},
      {"192.175.48.255", true, AGREES},
      {"192.175.49.0", true, AGREES},
      {"198.18.0.0", false, AGREES},
      {"198.19.255.255", false, AGREES},
      {"198.20.0.0", true, AGREES},
      {"198.51.100.0", false, AGREES},
      {"198.51.100.255", false, AGREES},
      {"198.51.101.0", true, AGREES},
      {"203.0.113.0", false, AGREES},
      {"203.0.113.255", false, AGREES},
      {"203.0.114.0", true, AGREES},
      {"224.0.0.0", false, MULTICAST},
      {"239.255.255.255", false, MULTICAST},
      {"240.0.0.0", false, AGREES},
      {"255.255.255.255", false, AGREES},
      {"::", false, AGREES},
      {"::1", false, AGREES},
      {"::2", true, AGREES},
      {"::ffff:0.0.0.0", false, AGREES},
      {"::ffff:255.255.255.255", false, AGREES},
      {"::1:0:0:0", true, AGREES},
      {"64:ff9b::", true, AGREES},
      {"64:ff9b::ffff:ffff", true, AGREES},
      {"64:ff9b::1:0:0", true, AGREES},
      {"64:ff9b:1::", false, AGREES},
      {"64:ff9b:1:ffff:ffff:ffff:ffff:ffff", false, AGREES},
      {"64:ff9b:2::", true, AGREES},
      {"100::", false, AGREES},
      {"100::ffff:ffff:ffff:ffff", false, AGREES},
      {"100:0:0:1::", false, NEWER},
      {"100::1:ffff:ffff:ffff:ffff", false, NEWER},
      {"100:0:0:2::", true, AGREES},
      {"2001::", false, AGREES},
      {"2001:1ff:ffff:ffff:ffff:ffff:ffff:ffff", false, AGREES},
      {"2001:200::", true, AGREES},
      {"2001:0:ffff:ffff:ffff:ffff:ffff:ffff", false, AGREES},
      {"2001:1::", false, AGREES},
      {"2001:1::1", true, AGREES},
      {"2001:1::2", true, AGREES},
      {"2001:1::3", true, NEWER},
      {"2001:1::4", false, AGREES},
      {"2001:2::", false, AGREES},
      {"2001:2:0:ffff:ffff:ffff:ffff:ffff", false, AGREES},
      {"2001:2:1::", false, AGREES},
      {"2001:3::", true, AGREES},
      {"2001:3:ffff:ffff:ffff:ffff:ffff:ffff", true, AGREES},
      {"2001:4::", false, AGREES},
      {"2001:4:112::", true, AGREES},
      {"2001:4:112:ffff:ffff:ffff:ffff:ffff", true, AGREES},
      {"2001:4:113::", false, AGREES},
      {"2001:10::", false, AGREES},
      {"2001:1f:ffff:ffff:ffff:ffff:ffff:ffff", false, AGREES},
      {"2001:20::", true, AGREES},
      {"2001:2f:ffff:ffff:ffff:ffff:ffff:ffff", true, AGREES},
      {"2001:30::", true, AGREES},
      {"2001:3f:ffff:ffff:ffff:ffff:ffff:ffff", true, AGREES},
      {"2001:40::", false, AGREES},
      {"2001:db8::", false, AGREES},
      {"2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", false, AGREES},
      {"2001:db9::", true, AGREES},
      {"2002::", false, AGREES},
      {"2002:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false, AGREES},
      {"2003::", true, AGREES},
      {"2620:4f:8000::", true, AGREES},
      {"2620:4f:8000:ffff:ffff:ffff:ffff:ffff", true, AGREES},
      {"2620:4f:8001::", true, AGREES},
      {"3fff::", false, NEWER},
      {"3fff:fff:ffff:ffff:ffff:ffff:ffff:ffff", false, NEWER},
      {"3fff:1000::", true, AGREES},
      {"5f00::", false, NEWER},
      {"5f00:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false, NEWER},
      {"5f01::", true, AGREES},
      {"fc00::", false, AGREES},
      {"fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false, AGREES},
      {"fe00::", true, AGREES},
      {"fe80::", false, AGREES},
      {"febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false, AGREES},
      {"fec0::", true, AGREES},
      {"ff00::", false, MULTICAST},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false, MULTICAST},
      {"8.8.8.8", true, AGREES},
      {"2606:4700::1111", true, AGREES},
      {"::ffff:8.8.8.8", false, MAPPED},
      {"192.0.0.100", false, AGREES},
  };
  for (const GlobalCase& c : cases) {
    SCOPED_TRACE(c.addr);
    const tarn_addr_t a = parsed(c.addr);
    bool got = !c.want;
    ASSERT_EQ(tarn_addr_is_global(&a, &got), TARN_OK);
    EXPECT_EQ(got, c.want);
  }
}

TEST(IsGlobal, InvalidArgumentsAndOtherFamilies) {
  tarn_addr_t a = parsed("10.0.0.1");
  bool out = true;
  EXPECT_EQ(tarn_addr_is_global(nullptr, &out), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_addr_is_global(&a, nullptr), TARN_ERR_INVAL);
  a.family = TARN_AF_UNSPEC;
  EXPECT_EQ(tarn_addr_is_global(&a, &out), TARN_ERR_INVAL);
  EXPECT_TRUE(out);
  a = parsed("::1");
  a.family = 5;  // no row has this family
  ASSERT_EQ(tarn_addr_is_global(&a, &out), TARN_OK);
  EXPECT_TRUE(out);
}

// An address in no block (classify says GLOBAL) is always globally
// reachable; the converse fails exactly for the registries' True rows.
TEST(IsGlobal, NoBlockMeansGlobal) {
  const uint64_t seed = std::random_device{}();
  printf("classify_test: IsGlobal seed=%llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  const auto& rows = ref::class_ranges();
  for (int i = 0; i < 20000; ++i) {
    const ref::ClassRange& row = rows[rng() % rows.size()];
    const u128 mask = row.family == TARN_AF_INET ? 0xFFFFFFFFu : ~static_cast<u128>(0);
    const u128 edge = ((rng() & 1) ? row.first : row.last) + (rng() % 5) - 2;
    const tarn_addr_t a = to_core(ref::addr_from_int(row.family, edge & mask));
    bool global = false;
    ASSERT_EQ(tarn_addr_is_global(&a, &global), TARN_OK);
    const tarn_class_t cls = classify(a);
    const tarn_class_t never_global = TARN_CLASS_PRIVATE | TARN_CLASS_LOOPBACK |
                                      TARN_CLASS_LINK_LOCAL | TARN_CLASS_MULTICAST |
                                      TARN_CLASS_DOCUMENTATION;
    SCOPED_TRACE(ref::addr_format(ref::addr_from_int(row.family, edge & mask)));
    if (cls == TARN_CLASS_GLOBAL) {
      EXPECT_TRUE(global);
    }
    if ((cls & never_global) != 0) {
      EXPECT_FALSE(global);
    }
  }
}

}  // namespace
