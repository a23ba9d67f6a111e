// subnet_iter_test.cpp - enumeration of the subnets of a prefix.
//
// The iterator's end test compares `current` with `limit`.  Before every
// init the record is filled so that the unused bytes of the two differ: an
// iterator that compared all 16 bytes of an IPv4 record would never stop.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "pytarn.h"
#include "support/ref_prefix.h"

namespace {

using ref_prefix::u128;

constexpr uint8_t kSentinel = 0x5A;

size_t SigLen(tarn_family_t family) { return family == TARN_AF_INET ? 4 : 16; }

tarn_prefix_t Pfx(const char *text) {
  tarn_prefix_t p;
  memset(&p, 0xC3, sizeof p);
  EXPECT_EQ(tarn_prefix_parse(text, &p), TARN_OK) << "test input " << text;
  return p;
}

std::string Str(const tarn_prefix_t &p) {
  char buf[TARN_PREFIX_STRLEN];
  if (tarn_prefix_format(&p, buf, sizeof buf) != TARN_OK) return "<unformattable>";
  return buf;
}

bool SamePrefix(const tarn_prefix_t &a, const tarn_prefix_t &b) {
  return a.addr.family == b.addr.family && a.pfxlen == b.pfxlen &&
         memcmp(a.addr.addr.v6, b.addr.addr.v6, SigLen(a.addr.family)) == 0;
}

template <typename T>
void FillSentinel(T *value) {
  memset(static_cast<void *>(value), kSentinel, sizeof *value);
}

template <typename T>
bool IsSentinel(const T &value) {
  const auto *bytes = reinterpret_cast<const unsigned char *>(&value);
  for (size_t i = 0; i < sizeof value; i++)
    if (bytes[i] != kSentinel) return false;
  return true;
}

// An uninitialised-looking record whose current and limit differ in every
// byte, including the ones an IPv4 iterator must never compare.
tarn_subnet_iter_t DirtyIter() {
  tarn_subnet_iter_t it;
  memset(&it, 0x11, sizeof it);
  memset(&it.limit, 0x22, sizeof it.limit);
  return it;
}

// Runs `it` to its end, at most `cap` steps, and returns what it handed out.
std::vector<tarn_prefix_t> Drain(tarn_subnet_iter_t *it, size_t cap) {
  std::vector<tarn_prefix_t> got;
  for (;;) {
    tarn_prefix_t out;
    memset(&out, 0x77, sizeof out);
    const tarn_err_t err = tarn_subnet_iter_next(it, &out);
    if (err == TARN_ERR_DONE) break;
    EXPECT_EQ(err, TARN_OK);
    if (err != TARN_OK) break;
    got.push_back(out);
    if (got.size() > cap) break;
  }
  return got;
}

// After the end, every further call answers TARN_ERR_DONE and leaves `out`
// alone; a null `out` is still TARN_ERR_INVAL.
void ExpectExhausted(tarn_subnet_iter_t *it) {
  for (int i = 0; i < 3; i++) {
    tarn_prefix_t out;
    FillSentinel(&out);
    EXPECT_EQ(tarn_subnet_iter_next(it, &out), TARN_ERR_DONE);
    EXPECT_TRUE(IsSentinel(out));
  }
  EXPECT_EQ(tarn_subnet_iter_next(it, nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_subnet_iter_next(nullptr, nullptr), TARN_ERR_INVAL);
}

// Subnet i of a parent starting at `start` at the target length, from the
// integer model.
tarn_prefix_t RefSubnet(tarn_family_t family, u128 start, unsigned target, u128 i) {
  const unsigned step = ref_prefix::bits(family) - target;
  tarn_prefix_t p;
  memset(&p, 0, sizeof p);
  ref_prefix::from_int(family, (start + (i << step)) & ref_prefix::all_ones(family), &p.addr);
  p.pfxlen = static_cast<uint8_t>(target);
  return p;
}

TEST(SubnetIter, Enumerate) {
  struct Case {
    const char *parent;
    unsigned target;
    size_t count;
    std::vector<const char *> head;  // the first subnets, in order
    const char *last;
  };
  const Case cases[] = {
      {"10.0.0.0/8", 9, 2, {"10.0.0.0/9", "10.128.0.0/9"}, "10.128.0.0/9"},
      {"10.0.0.0/8",
       10,
       4,
       {"10.0.0.0/10", "10.64.0.0/10", "10.128.0.0/10", "10.192.0.0/10"},
       "10.192.0.0/10"},
      // The whole space: current wraps back to the start.
      {"0.0.0.0/0", 1, 2, {"0.0.0.0/1", "128.0.0.0/1"}, "128.0.0.0/1"},
      {"::/0", 1, 2, {"::/1", "8000::/1"}, "8000::/1"},
      {"0.0.0.0/0", 8, 256, {"0.0.0.0/8", "1.0.0.0/8"}, "255.0.0.0/8"},
      {"::/0", 8, 256, {"::/8", "100::/8"}, "ff00::/8"},
      // Parents that end at the top of the space: limit wraps to zero.
      {"255.255.255.0/24", 25, 2, {"255.255.255.0/25", "255.255.255.128/25"}, "255.255.255.128/25"},
      {"ffff::/16", 17, 2, {"ffff::/17", "ffff:8000::/17"}, "ffff:8000::/17"},
      {"128.0.0.0/1", 2, 2, {"128.0.0.0/2", "192.0.0.0/2"}, "192.0.0.0/2"},
      {"255.255.255.254/31",
       32,
       2,
       {"255.255.255.254/32", "255.255.255.255/32"},
       "255.255.255.255/32"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127",
       128,
       2,
       {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/128",
        "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"},
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"},
      // Host routes and the bottom of the space.
      {"192.0.2.0/24", 32, 256, {"192.0.2.0/32", "192.0.2.1/32", "192.0.2.2/32"}, "192.0.2.255/32"},
      {"0.0.0.0/31", 32, 2, {"0.0.0.0/32", "0.0.0.1/32"}, "0.0.0.1/32"},
      {"2001:db8::/126",
       128,
       4,
       {"2001:db8::/128", "2001:db8::1/128", "2001:db8::2/128", "2001:db8::3/128"},
       "2001:db8::3/128"},
      // Carries across bytes.
      {"10.0.0.0/15", 24, 512, {"10.0.0.0/24", "10.0.1.0/24"}, "10.1.255.0/24"},
      {"2001:db8::/48", 64, 65536, {"2001:db8::/64", "2001:db8:0:1::/64"}, "2001:db8:0:ffff::/64"},
      {"10.255.255.0/24", 31, 128, {"10.255.255.0/31", "10.255.255.2/31"}, "10.255.255.254/31"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.parent) + " at /" + std::to_string(c.target));
    const tarn_prefix_t parent = Pfx(c.parent);
    tarn_subnet_iter_t it = DirtyIter();
    ASSERT_EQ(tarn_subnet_iter_init(&it, &parent, static_cast<uint8_t>(c.target)), TARN_OK);
    const std::vector<tarn_prefix_t> got = Drain(&it, c.count + 1);
    ASSERT_EQ(got.size(), c.count);
    for (size_t i = 0; i < c.head.size(); i++) EXPECT_EQ(Str(got[i]), c.head[i]) << "subnet " << i;
    EXPECT_EQ(Str(got.back()), c.last);
    const u128 start = ref_prefix::to_int(parent.addr);
    for (size_t i = 0; i < got.size(); i++) {
      if (!SamePrefix(got[i], RefSubnet(parent.addr.family, start, c.target, i))) {
        ADD_FAILURE() << "subnet " << i << " is " << Str(got[i]);
        break;
      }
    }
    ExpectExhausted(&it);
  }
}

TEST(SubnetIter, InitRejects) {
  const tarn_prefix_t v4 = Pfx("10.0.0.0/8");
  const tarn_prefix_t v4zero = Pfx("0.0.0.0/0");
  const tarn_prefix_t v4host = Pfx("10.0.0.1/32");
  const tarn_prefix_t v6 = Pfx("2001:db8::/32");
  const tarn_prefix_t v6host = Pfx("::1/128");
  tarn_prefix_t unspec = v4;
  unspec.addr.family = TARN_AF_UNSPEC;
  struct Case {
    const char *name;
    const tarn_prefix_t *prefix;
    bool null_iter;
    unsigned target;
    tarn_err_t want;
  };
  const Case cases[] = {
      {"target equals length", &v4, false, 8, TARN_ERR_PFXLEN},
      {"target shorter", &v4, false, 7, TARN_ERR_PFXLEN},
      {"target 0 of /0", &v4zero, false, 0, TARN_ERR_PFXLEN},
      {"target beyond IPv4", &v4, false, 33, TARN_ERR_PFXLEN},
      {"target 255", &v4, false, 255, TARN_ERR_PFXLEN},
      {"IPv4 host route", &v4host, false, 32, TARN_ERR_PFXLEN},
      {"target beyond IPv6", &v6, false, 129, TARN_ERR_PFXLEN},
      {"IPv6 host route", &v6host, false, 128, TARN_ERR_PFXLEN},
      {"null prefix", nullptr, false, 9, TARN_ERR_INVAL},
      {"null iter", &v4, true, 9, TARN_ERR_INVAL},
      // TARN_AF_UNSPEC outranks a bad target.
      {"unspec", &unspec, false, 9, TARN_ERR_INVAL},
      {"unspec bad target", &unspec, false, 8, TARN_ERR_INVAL},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    tarn_subnet_iter_t it;
    FillSentinel(&it);
    EXPECT_EQ(tarn_subnet_iter_init(c.null_iter ? nullptr : &it, c.prefix,
                                    static_cast<uint8_t>(c.target)),
              c.want);
    EXPECT_TRUE(IsSentinel(it)) << "iterator written on failure";
  }
}

// A failed init keeps a running iterator as it was; a successful one
// restarts it; a copy is an independent iterator.
TEST(SubnetIter, StateAcrossCalls) {
  const tarn_prefix_t parent = Pfx("198.51.100.0/24");
  const tarn_prefix_t other = Pfx("203.0.113.0/24");
  tarn_subnet_iter_t it = DirtyIter();
  ASSERT_EQ(tarn_subnet_iter_init(&it, &parent, 26), TARN_OK);
  tarn_prefix_t out;
  ASSERT_EQ(tarn_subnet_iter_next(&it, &out), TARN_OK);
  EXPECT_EQ(Str(out), "198.51.100.0/26");

  EXPECT_EQ(tarn_subnet_iter_init(&it, &other, 24), TARN_ERR_PFXLEN);
  const tarn_subnet_iter_t copy = it;
  std::vector<tarn_prefix_t> rest = Drain(&it, 8);
  ASSERT_EQ(rest.size(), 3u);
  EXPECT_EQ(Str(rest[0]), "198.51.100.64/26");
  EXPECT_EQ(Str(rest[2]), "198.51.100.192/26");
  ExpectExhausted(&it);

  tarn_subnet_iter_t moved = copy;
  std::vector<tarn_prefix_t> again = Drain(&moved, 8);
  ASSERT_EQ(again.size(), 3u);
  for (size_t i = 0; i < 3; i++) EXPECT_TRUE(SamePrefix(again[i], rest[i]));

  // Re-initialising an exhausted record restarts it.
  ASSERT_EQ(tarn_subnet_iter_init(&it, &other, 25), TARN_OK);
  std::vector<tarn_prefix_t> fresh = Drain(&it, 8);
  ASSERT_EQ(fresh.size(), 2u);
  EXPECT_EQ(Str(fresh[0]), "203.0.113.0/25");
  EXPECT_EQ(Str(fresh[1]), "203.0.113.128/25");

  // The prefix may be read from the record being initialised.
  ASSERT_EQ(tarn_subnet_iter_init(&it, &other, 26), TARN_OK);
  ASSERT_EQ(tarn_subnet_iter_init(&it, &it.limit, 25), TARN_OK);
  EXPECT_EQ(Drain(&it, 8).size(), 2u);
}

// Astronomically long IPv6 enumerations start right and step by one.
TEST(SubnetIter, HugeRangeStartsRight) {
  const tarn_prefix_t whole = Pfx("::/0");
  tarn_subnet_iter_t it = DirtyIter();
  ASSERT_EQ(tarn_subnet_iter_init(&it, &whole, 128), TARN_OK);
  const char *want[] = {"::/128", "::1/128", "::2/128", "::3/128"};
  for (const char *w : want) {
    tarn_prefix_t out;
    ASSERT_EQ(tarn_subnet_iter_next(&it, &out), TARN_OK);
    EXPECT_EQ(Str(out), w);
  }
}

// A record damaged by its owner (a target length beyond the family) must
// still never make the iterator touch memory outside the record.
TEST(SubnetIter, DamagedRecordStaysInside) {
  const tarn_prefix_t parent = Pfx("10.0.0.0/8");
  for (unsigned bad_target : {33u, 200u, 255u}) {
    SCOPED_TRACE(bad_target);
    tarn_subnet_iter_t it = DirtyIter();
    ASSERT_EQ(tarn_subnet_iter_init(&it, &parent, 9), TARN_OK);
    it.target_pfxlen = static_cast<uint8_t>(bad_target);
    tarn_prefix_t out;
    EXPECT_EQ(tarn_subnet_iter_next(&it, &out), TARN_OK);
    EXPECT_EQ(out.pfxlen, bad_target);
  }
}

TEST(SubnetIter, RandomAgainstIntegerModel) {
  const uint64_t seed = ref_prefix::test_seed();
  printf("SubnetIter seed=%llu (set TARN_TEST_SEED to repeat)\n",
         static_cast<unsigned long long>(seed));
  RecordProperty("seed", std::to_string(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  ref_prefix::Gen gen(seed);

  for (int iter = 0; iter < 3000 && !HasFailure(); iter++) {
    const tarn_family_t fam = gen.Family();
    const unsigned bits = ref_prefix::bits(fam);
    unsigned len = gen.Len(fam);
    if (len == bits) len--;  // a host route has no subnets
    const unsigned span = 1 + static_cast<unsigned>(gen.Next() % 8);
    const unsigned target = len + span < bits ? len + span : bits;
    const u128 start = gen.Value(fam) & ref_prefix::mask(fam, len);
    const tarn_prefix_t parent = gen.MakePrefix(fam, start, len);
    SCOPED_TRACE("iteration " + std::to_string(iter) + ": " + Str(parent) + " at /" +
                 std::to_string(target));

    tarn_subnet_iter_t it;
    memset(&it, static_cast<int>(gen.Next() & 0xFF), sizeof it);
    memset(&it.limit, static_cast<int>(gen.Next() & 0xFF), sizeof it.limit);
    ASSERT_EQ(tarn_subnet_iter_init(&it, &parent, static_cast<uint8_t>(target)), TARN_OK);
    const size_t count = size_t{1} << (target - len);
    const std::vector<tarn_prefix_t> got = Drain(&it, count + 1);
    ASSERT_EQ(got.size(), count);
    for (size_t i = 0; i < count; i++) {
      if (!SamePrefix(got[i], RefSubnet(fam, start, target, i))) {
        ADD_FAILURE() << "subnet " << i << " is " << Str(got[i]);
        break;
      }
    }
    ExpectExhausted(&it);
  }
}

}  // namespace
