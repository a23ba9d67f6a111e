// prefix_test.cpp - prefix text in and out, and prefix arithmetic.
//
// Records are built with a garbage pattern in every byte a function may not
// rely on (for IPv4, bytes 4..15 of the address union), so that code which
// compares, copies or formats more than the significant bytes fails here.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "pytarn.h"
#include "support/ref_prefix.h"

namespace {

using ref_prefix::Hex;
using ref_prefix::u128;

constexpr uint8_t kGarbageA = 0xC3;
constexpr uint8_t kGarbageB = 0x3C;
constexpr uint8_t kSentinel = 0x5A;

size_t SigLen(tarn_family_t family) { return family == TARN_AF_INET ? 4 : 16; }

// A prefix parsed from text into a record pre-filled with `garbage`.
tarn_prefix_t Pfx(const char *text, uint8_t garbage = kGarbageA) {
  tarn_prefix_t p;
  memset(&p, garbage, sizeof p);
  EXPECT_EQ(tarn_prefix_parse(text, &p), TARN_OK) << "test input " << text;
  return p;
}

tarn_addr_t Addr(const char *text, uint8_t garbage = kGarbageB) {
  tarn_addr_t a;
  memset(&a, garbage, sizeof a);
  EXPECT_EQ(tarn_addr_parse(text, &a), TARN_OK) << "test input " << text;
  return a;
}

// A record of family TARN_AF_UNSPEC with garbage everywhere else.
tarn_prefix_t UnspecPfx() {
  tarn_prefix_t p;
  memset(&p, kGarbageA, sizeof p);
  p.addr.family = TARN_AF_UNSPEC;
  p.pfxlen = 8;
  return p;
}

std::string Str(const tarn_addr_t &a) {
  char buf[TARN_ADDR_STRLEN];
  if (tarn_addr_format(&a, buf, sizeof buf) != TARN_OK) return "<unformattable>";
  return buf;
}

std::string Str(const tarn_prefix_t &p) {
  char buf[TARN_PREFIX_STRLEN];
  if (tarn_prefix_format(&p, buf, sizeof buf) != TARN_OK) return "<unformattable>";
  return buf;
}

// Equal family and significant bytes; the unused bytes of IPv4 are ignored.
bool SameAddr(const tarn_addr_t &a, const tarn_addr_t &b) {
  return a.family == b.family && memcmp(a.addr.v6, b.addr.v6, SigLen(a.family)) == 0;
}

bool SamePrefix(const tarn_prefix_t &a, const tarn_prefix_t &b) {
  return SameAddr(a.addr, b.addr) && a.pfxlen == b.pfxlen;
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

// ---------------------------------------------------------------------------
// tarn_prefix_parse
// ---------------------------------------------------------------------------

struct ParseCase {
  const char *in;
  tarn_err_t want;
  const char *canon;  // formatted text on success
};

const ParseCase kParseCases[] = {
    {"10.0.0.0/8", TARN_OK, "10.0.0.0/8"},
    {"10.0.0.1/8", TARN_ERR_HOSTBITS, nullptr},
    {"10.0.0.0/08", TARN_OK, "10.0.0.0/8"},
    {"10.0.0.0/0008", TARN_OK, "10.0.0.0/8"},
    {"10.0.0.0/000000024", TARN_OK, "10.0.0.0/24"},
    {"10.0.0.0/00000000000000000000000000000000000000000008", TARN_OK, "10.0.0.0/8"},
    {"10.0.0.0/33", TARN_ERR_PFXLEN, nullptr},
    {"::/129", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0/1000", TARN_ERR_PFXLEN, nullptr},
    // An 8-bit accumulator would wrap these to 4, 8, 0 and 128 and accept them.
    {"10.0.0.0/260", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0/264", TARN_ERR_PFXLEN, nullptr},
    {"::/256", TARN_ERR_PFXLEN, nullptr},
    {"::/384", TARN_ERR_PFXLEN, nullptr},
    {"::/99999999999999999999", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0/", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0/x", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0/8 ", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0/8\n", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0/ 8", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0/-1", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0/+8", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0/8x", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0/0x8", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.0", TARN_ERR_PARSE, nullptr},
    {"/8", TARN_ERR_PARSE, nullptr},
    {"/", TARN_ERR_PARSE, nullptr},
    {"", TARN_ERR_PARSE, nullptr},
    {"//8", TARN_ERR_PARSE, nullptr},
    {"300.0.0.0/8", TARN_ERR_PARSE, nullptr},
    {"10.0.0.0/8/8", TARN_ERR_PARSE, nullptr},
    {" 10.0.0.0/8", TARN_ERR_PARSE, nullptr},
    {"10.0.0.0 /8", TARN_ERR_PARSE, nullptr},
    {"fe80::1%eth0/64", TARN_ERR_PARSE, nullptr},
    {"1.2.3.4:80/8", TARN_ERR_PARSE, nullptr},
    // Errors are reported in order: address, length text, range, host bits.
    {"300.0.0.0/x", TARN_ERR_PARSE, nullptr},
    {"10.0.0.1/x", TARN_ERR_PFXLEN, nullptr},
    {"10.0.0.1/33", TARN_ERR_PFXLEN, nullptr},
    {"::1/129", TARN_ERR_PFXLEN, nullptr},
    {"::/0", TARN_OK, "::/0"},
    {"0.0.0.0/0", TARN_OK, "0.0.0.0/0"},
    {"128.0.0.0/0", TARN_ERR_HOSTBITS, nullptr},
    {"0.0.0.1/0", TARN_ERR_HOSTBITS, nullptr},
    {"::1/0", TARN_ERR_HOSTBITS, nullptr},
    {"128.0.0.0/1", TARN_OK, "128.0.0.0/1"},
    {"192.0.0.0/1", TARN_ERR_HOSTBITS, nullptr},
    {"8000::/1", TARN_OK, "8000::/1"},
    {"c000::/1", TARN_ERR_HOSTBITS, nullptr},
    // Partial byte masks: 10 = 0b00001010.
    {"10.0.0.0/7", TARN_OK, "10.0.0.0/7"},
    {"10.0.0.0/6", TARN_ERR_HOSTBITS, nullptr},
    {"10.0.0.0/20", TARN_OK, "10.0.0.0/20"},
    {"10.0.8.0/20", TARN_ERR_HOSTBITS, nullptr},
    {"10.0.16.0/20", TARN_OK, "10.0.16.0/20"},
    {"1.2.3.4/31", TARN_OK, "1.2.3.4/31"},
    {"1.2.3.5/31", TARN_ERR_HOSTBITS, nullptr},
    {"1.2.3.5/32", TARN_OK, "1.2.3.5/32"},
    {"255.255.255.255/32", TARN_OK, "255.255.255.255/32"},
    {"255.255.255.254/31", TARN_OK, "255.255.255.254/31"},
    {"255.255.255.255/31", TARN_ERR_HOSTBITS, nullptr},
    {"0.0.0.0/32", TARN_OK, "0.0.0.0/32"},
    {"::/128", TARN_OK, "::/128"},
    {"::1/128", TARN_OK, "::1/128"},
    {"::1/127", TARN_ERR_HOSTBITS, nullptr},
    {"::2/127", TARN_OK, "::2/127"},
    {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128", TARN_OK,
     "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"},
    {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127", TARN_OK,
     "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127"},
    {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/127", TARN_ERR_HOSTBITS, nullptr},
    {"2001:db8::/32", TARN_OK, "2001:db8::/32"},
    {"2001:DB8::/32", TARN_OK, "2001:db8::/32"},
    {"2001:0db8:0000::/48", TARN_OK, "2001:db8::/48"},
    {"2001:db8:8000::/33", TARN_OK, "2001:db8:8000::/33"},
    {"2001:db8:4000::/33", TARN_ERR_HOSTBITS, nullptr},
    {"2001:db8::/28", TARN_ERR_HOSTBITS, nullptr},
    {"2001:db8::/29", TARN_OK, "2001:db8::/29"},
    {"2001:db8:0:0:1::/64", TARN_ERR_HOSTBITS, nullptr},
    {"::ffff:10.0.0.0/104", TARN_OK, "::ffff:10.0.0.0/104"},
    {"::ffff:10.0.0.1/104", TARN_ERR_HOSTBITS, nullptr},
    {"0:0:0:0:0:ffff:10.0.0.0/104", TARN_OK, "::ffff:10.0.0.0/104"},
};

TEST(PrefixParse, Table) {
  for (const ParseCase &c : kParseCases) {
    SCOPED_TRACE(c.in);
    tarn_prefix_t out;
    FillSentinel(&out);
    const tarn_err_t err = tarn_prefix_parse(c.in, &out);
    ASSERT_EQ(err, c.want);
    if (err != TARN_OK) {
      EXPECT_TRUE(IsSentinel(out)) << "out written on failure";
      continue;
    }
    ASSERT_NE(c.canon, nullptr);
    EXPECT_LE(out.pfxlen, ref_prefix::bits(out.addr.family));

    // Canonical: no host bits survive.
    const u128 v = ref_prefix::to_int(out.addr);
    EXPECT_EQ(
        v & ~ref_prefix::mask(out.addr.family, out.pfxlen) & ref_prefix::all_ones(out.addr.family),
        (u128)0);

    // Formatting is canonical, and what it prints parses back to the record.
    const std::string text = Str(out);
    EXPECT_EQ(text, c.canon);
    tarn_prefix_t again;
    memset(&again, kGarbageB, sizeof again);
    ASSERT_EQ(tarn_prefix_parse(text.c_str(), &again), TARN_OK);
    EXPECT_TRUE(SamePrefix(out, again));
    EXPECT_EQ(Str(again), text);

    // Parsing is pure: a differently filled record gets the same prefix.
    tarn_prefix_t other;
    memset(&other, kGarbageA, sizeof other);
    ASSERT_EQ(tarn_prefix_parse(c.in, &other), TARN_OK);
    EXPECT_TRUE(SamePrefix(out, other));
  }
}

TEST(PrefixParse, NullArguments) {
  tarn_prefix_t out;
  FillSentinel(&out);
  EXPECT_EQ(tarn_prefix_parse(nullptr, &out), TARN_ERR_INVAL);
  EXPECT_TRUE(IsSentinel(out));
  EXPECT_EQ(tarn_prefix_parse("10.0.0.0/8", nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_prefix_parse(nullptr, nullptr), TARN_ERR_INVAL);
}

// The address part is copied into a fixed buffer: the longest address text
// (45 bytes) must still fit, anything longer must be refused unread.  Each
// text lives in a heap block of exactly its size so that an overrun shows up
// under the address sanitizer.
TEST(PrefixParse, AddressPartLength) {
  const std::string longest = "0000:0000:0000:0000:0000:ffff:255.255.255.255";
  ASSERT_EQ(longest.size(), 45u);
  struct Case {
    std::string in;
    tarn_err_t want;
  };
  const Case cases[] = {
      {longest + "/128", TARN_OK},
      {longest + "/96", TARN_ERR_HOSTBITS},
      {"0" + longest + "/128", TARN_ERR_PARSE},
      {std::string(46, '1') + "/8", TARN_ERR_PARSE},
      {std::string(4000, ':') + "/8", TARN_ERR_PARSE},
      {std::string(4000, '1') + "/8", TARN_ERR_PARSE},
      {"10.0.0.0/" + std::string(4000, '0') + "8", TARN_OK},
      {"0.0.0.0/" + std::string(4000, '0'), TARN_OK},
      {"10.0.0.0/" + std::string(4000, '9'), TARN_ERR_PFXLEN},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.in.substr(0, 60));
    std::vector<char> text(c.in.begin(), c.in.end());
    text.push_back('\0');
    tarn_prefix_t out;
    FillSentinel(&out);
    EXPECT_EQ(tarn_prefix_parse(text.data(), &out), c.want);
    if (c.want != TARN_OK) {
      EXPECT_TRUE(IsSentinel(out));
    }
  }
  EXPECT_EQ(Str(Pfx((longest + "/128").c_str())), "::ffff:255.255.255.255/128");
}

// ---------------------------------------------------------------------------
// tarn_prefix_from_host
// ---------------------------------------------------------------------------

TEST(PrefixFromHost, Table) {
  struct Case {
    const char *addr;
    unsigned pfxlen;
    tarn_err_t want;
    const char *text;
  };
  const Case cases[] = {
      {"10.1.2.3", 8, TARN_OK, "10.0.0.0/8"},
      {"10.1.2.3", 32, TARN_OK, "10.1.2.3/32"},
      {"10.1.2.3", 33, TARN_ERR_PFXLEN, nullptr},
      {"10.1.2.3", 255, TARN_ERR_PFXLEN, nullptr},
      {"10.1.2.3", 0, TARN_OK, "0.0.0.0/0"},
      {"10.255.255.255", 20, TARN_OK, "10.255.240.0/20"},
      {"255.255.255.255", 1, TARN_OK, "128.0.0.0/1"},
      {"255.255.255.255", 31, TARN_OK, "255.255.255.254/31"},
      {"2001:db8::1", 128, TARN_OK, "2001:db8::1/128"},
      {"2001:db8::1", 129, TARN_ERR_PFXLEN, nullptr},
      {"2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", 33, TARN_OK, "2001:db8:8000::/33"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 0, TARN_OK, "::/0"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 1, TARN_OK, "8000::/1"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 127, TARN_OK,
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 128, TARN_OK,
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"},
      {"::ffff:10.1.2.3", 104, TARN_OK, "::ffff:10.0.0.0/104"},
      {"::ffff:10.1.2.3", 32, TARN_OK, "::/32"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.addr) + " len " + std::to_string(c.pfxlen));
    const tarn_addr_t a = Addr(c.addr);
    tarn_prefix_t out;
    FillSentinel(&out);
    ASSERT_EQ(tarn_prefix_from_host(&a, static_cast<uint8_t>(c.pfxlen), &out), c.want);
    if (c.want != TARN_OK) {
      EXPECT_TRUE(IsSentinel(out));
      continue;
    }
    EXPECT_EQ(Str(out), c.text);
    EXPECT_EQ(out.pfxlen, c.pfxlen);
    // An IPv4 result writes only its 4 significant bytes.
    if (a.family == TARN_AF_INET) {
      for (size_t i = 4; i < 16; i++) EXPECT_EQ(out.addr.addr.v6[i], kSentinel) << "byte " << i;
    }
    // The strict parser accepts exactly what the lenient constructor makes.
    EXPECT_TRUE(SamePrefix(out, Pfx(c.text)));

    // `out` may hold the input address itself.
    tarn_prefix_t in_place;
    memset(&in_place, kGarbageA, sizeof in_place);
    in_place.addr = a;
    ASSERT_EQ(tarn_prefix_from_host(&in_place.addr, static_cast<uint8_t>(c.pfxlen), &in_place),
              TARN_OK);
    EXPECT_TRUE(SamePrefix(in_place, out));
  }
}

TEST(PrefixFromHost, InvalidArguments) {
  const tarn_addr_t a = Addr("10.1.2.3");
  tarn_addr_t unspec = a;
  unspec.family = TARN_AF_UNSPEC;
  tarn_prefix_t out;
  FillSentinel(&out);
  EXPECT_EQ(tarn_prefix_from_host(nullptr, 8, &out), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_prefix_from_host(&a, 8, nullptr), TARN_ERR_INVAL);
  // TARN_AF_UNSPEC is refused before the length is looked at.
  EXPECT_EQ(tarn_prefix_from_host(&unspec, 8, &out), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_prefix_from_host(&unspec, 200, &out), TARN_ERR_INVAL);
  EXPECT_TRUE(IsSentinel(out));

  // Any family value other than TARN_AF_INET is 16 bytes and 128 bits.
  tarn_addr_t odd;
  memset(&odd, 0xFF, sizeof odd);
  odd.family = 7;
  EXPECT_EQ(tarn_prefix_from_host(&odd, 129, &out), TARN_ERR_PFXLEN);
  ASSERT_EQ(tarn_prefix_from_host(&odd, 100, &out), TARN_OK);
  EXPECT_EQ(out.addr.family, 7u);
  EXPECT_EQ(ref_prefix::to_int(out.addr), ref_prefix::mask(TARN_AF_INET6, 100));
}

// ---------------------------------------------------------------------------
// tarn_prefix_format
// ---------------------------------------------------------------------------

TEST(PrefixFormat, LengthDigits) {
  struct Case {
    const char *prefix;
    unsigned pfxlen;  // stored as is, even beyond the family maximum
    const char *want;
  };
  const Case cases[] = {
      {"10.0.0.0/8", 0, "10.0.0.0/0"},
      {"10.0.0.0/8", 9, "10.0.0.0/9"},
      {"10.0.0.0/8", 10, "10.0.0.0/10"},
      {"10.0.0.0/8", 99, "10.0.0.0/99"},
      {"10.0.0.0/8", 100, "10.0.0.0/100"},
      {"10.0.0.0/8", 255, "10.0.0.0/255"},
      {"::/0", 128, "::/128"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128", 128,
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"},
      {"::ffff:255.255.255.255/128", 255, "::ffff:255.255.255.255/255"},
      {"1234:5678:9abc:def0:1234:5678:9abc:def0/128", 200,
       "1234:5678:9abc:def0:1234:5678:9abc:def0/200"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.want);
    tarn_prefix_t p = Pfx(c.prefix);
    p.pfxlen = static_cast<uint8_t>(c.pfxlen);
    // Exactly the minimum size on the heap, so an overrun is caught.
    std::vector<char> buf(TARN_PREFIX_STRLEN, kSentinel);
    ASSERT_EQ(tarn_prefix_format(&p, buf.data(), buf.size()), TARN_OK);
    EXPECT_STREQ(buf.data(), c.want);
  }
}

TEST(PrefixFormat, InvalidArguments) {
  const tarn_prefix_t v4 = Pfx("10.0.0.0/8");
  const tarn_prefix_t v6 = Pfx("2001:db8::/32");
  const tarn_prefix_t unspec = UnspecPfx();
  struct Case {
    const char *name;
    const tarn_prefix_t *prefix;
    bool null_buf;
    size_t len;
  };
  const Case cases[] = {
      {"null prefix", nullptr, false, 64},
      {"null buffer", &v4, true, 64},
      {"49 bytes IPv4", &v4, false, 49},
      {"49 bytes IPv6", &v6, false, 49},
      {"0 bytes", &v4, false, 0},
      {"unspec", &unspec, false, 64},
      {"unspec and short", &unspec, false, 10},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    char buf[64];
    memset(buf, kSentinel, sizeof buf);
    EXPECT_EQ(tarn_prefix_format(c.prefix, c.null_buf ? nullptr : buf, c.len), TARN_ERR_INVAL);
    EXPECT_TRUE(IsSentinel(buf)) << "buffer written on failure";
  }
}

// ---------------------------------------------------------------------------
// Masks, first, last, broadcast
// ---------------------------------------------------------------------------

TEST(PrefixMask, Table) {
  struct Case {
    const char *prefix;
    const char *mask;
  };
  const Case cases[] = {
      {"10.0.0.0/8", "255.0.0.0"},
      {"10.0.0.0/20", "255.255.240.0"},
      {"10.0.0.0/7", "254.0.0.0"},
      {"10.0.0.0/9", "255.128.0.0"},
      {"0.0.0.0/0", "0.0.0.0"},
      {"0.0.0.0/1", "128.0.0.0"},
      {"1.2.3.4/31", "255.255.255.254"},
      {"1.2.3.4/32", "255.255.255.255"},
      {"::/0", "::"},
      {"::/1", "8000::"},
      {"2001:db8::/33", "ffff:ffff:8000::"},
      {"2001:db8::/64", "ffff:ffff:ffff:ffff::"},
      {"::/127", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe"},
      {"::/128", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.prefix);
    const tarn_prefix_t p = Pfx(c.prefix);
    tarn_addr_t out;
    FillSentinel(&out);
    ASSERT_EQ(tarn_prefix_mask(&p, &out), TARN_OK);
    EXPECT_EQ(Str(out), c.mask);
    EXPECT_TRUE(SameAddr(out, Addr(c.mask)));
    if (p.addr.family == TARN_AF_INET) {
      for (size_t i = 4; i < 16; i++) EXPECT_EQ(out.addr.v6[i], kSentinel) << "byte " << i;
    }
  }
}

// Lengths are not checked against the family: one beyond it is all ones.
TEST(PrefixMask, LengthBeyondFamily) {
  struct Case {
    const char *prefix;
    unsigned pfxlen;
    const char *mask;
  };
  const Case cases[] = {
      {"1.2.3.4/32", 33, "255.255.255.255"},
      {"1.2.3.4/32", 255, "255.255.255.255"},
      {"::/0", 129, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
      {"::/0", 255, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mask);
    tarn_prefix_t p = Pfx(c.prefix);
    p.pfxlen = static_cast<uint8_t>(c.pfxlen);
    tarn_addr_t out;
    ASSERT_EQ(tarn_prefix_mask(&p, &out), TARN_OK);
    EXPECT_EQ(Str(out), c.mask);
  }
}

TEST(PrefixFirstLast, Table) {
  struct Case {
    const char *prefix;
    const char *first;
    const char *last;
    bool has_broadcast;  // IPv4 only
  };
  const Case cases[] = {
      {"192.0.2.0/24", "192.0.2.0", "192.0.2.255", true},
      {"192.0.2.0/31", "192.0.2.0", "192.0.2.1", true},
      {"192.0.2.1/32", "192.0.2.1", "192.0.2.1", true},
      {"10.0.0.0/20", "10.0.0.0", "10.0.15.255", true},
      {"0.0.0.0/0", "0.0.0.0", "255.255.255.255", true},
      {"128.0.0.0/1", "128.0.0.0", "255.255.255.255", true},
      {"255.255.255.0/24", "255.255.255.0", "255.255.255.255", true},
      {"2001:db8::/64", "2001:db8::", "2001:db8::ffff:ffff:ffff:ffff", false},
      {"2001:db8::/127", "2001:db8::", "2001:db8::1", false},
      {"2001:db8::1/128", "2001:db8::1", "2001:db8::1", false},
      {"::/0", "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
      {"::/1", "::", "7fff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false},
      {"::ffff:10.0.0.0/104", "::ffff:10.0.0.0", "::ffff:10.255.255.255", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.prefix);
    const tarn_prefix_t p = Pfx(c.prefix);
    tarn_addr_t first, last, bcast;
    FillSentinel(&first);
    FillSentinel(&last);
    FillSentinel(&bcast);
    ASSERT_EQ(tarn_prefix_first(&p, &first), TARN_OK);
    ASSERT_EQ(tarn_prefix_last(&p, &last), TARN_OK);
    EXPECT_TRUE(SameAddr(first, Addr(c.first))) << Str(first);
    EXPECT_TRUE(SameAddr(last, Addr(c.last))) << Str(last);
    if (c.has_broadcast) {
      ASSERT_EQ(tarn_prefix_broadcast(&p, &bcast), TARN_OK);
      EXPECT_TRUE(SameAddr(bcast, Addr(c.last))) << Str(bcast);
      for (size_t i = 4; i < 16; i++) {
        EXPECT_EQ(first.addr.v6[i], kSentinel);
        EXPECT_EQ(last.addr.v6[i], kSentinel);
        EXPECT_EQ(bcast.addr.v6[i], kSentinel);
      }
    } else {
      EXPECT_EQ(tarn_prefix_broadcast(&p, &bcast), TARN_ERR_FAMILY);
      EXPECT_TRUE(IsSentinel(bcast));
    }
  }
}

// ---------------------------------------------------------------------------
// Containment and overlap
// ---------------------------------------------------------------------------

TEST(PrefixContains, Table) {
  struct Case {
    const char *prefix;
    const char *addr;
    tarn_err_t want_err;
    bool want;
  };
  const Case cases[] = {
      {"10.0.0.0/8", "10.0.0.0", TARN_OK, true},
      {"10.0.0.0/8", "10.255.255.255", TARN_OK, true},
      {"10.0.0.0/8", "11.0.0.0", TARN_OK, false},
      {"10.0.0.0/8", "9.255.255.255", TARN_OK, false},
      {"10.0.0.0/20", "10.0.15.255", TARN_OK, true},
      {"10.0.0.0/20", "10.0.16.0", TARN_OK, false},
      {"0.0.0.0/0", "0.0.0.0", TARN_OK, true},
      {"0.0.0.0/0", "255.255.255.255", TARN_OK, true},
      {"0.0.0.0/1", "127.255.255.255", TARN_OK, true},
      {"0.0.0.0/1", "128.0.0.0", TARN_OK, false},
      {"192.0.2.1/32", "192.0.2.1", TARN_OK, true},
      {"192.0.2.1/32", "192.0.2.0", TARN_OK, false},
      {"192.0.2.0/31", "192.0.2.1", TARN_OK, true},
      {"192.0.2.0/31", "192.0.2.2", TARN_OK, false},
      {"255.255.255.0/24", "255.255.255.255", TARN_OK, true},
      {"::/0", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", TARN_OK, true},
      {"::/0", "::", TARN_OK, true},
      {"2001:db8::/33", "2001:db8:7fff:ffff::", TARN_OK, true},
      {"2001:db8::/33", "2001:db8:8000::", TARN_OK, false},
      {"2001:db8::/127", "2001:db8::1", TARN_OK, true},
      {"2001:db8::/127", "2001:db8::2", TARN_OK, false},
      {"::1/128", "::1", TARN_OK, true},
      {"::1/128", "::", TARN_OK, false},
      {"::1/128", "8000::1", TARN_OK, false},
      // No cross-family answer: an error, never false.
      {"10.0.0.0/8", "::1", TARN_ERR_FAMILY, false},
      {"::/0", "10.0.0.0", TARN_ERR_FAMILY, false},
      {"::ffff:10.0.0.0/104", "10.0.0.1", TARN_ERR_FAMILY, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.prefix) + " contains " + c.addr);
    const tarn_prefix_t p = Pfx(c.prefix);
    const tarn_addr_t a = Addr(c.addr);
    bool out;
    FillSentinel(&out);
    ASSERT_EQ(tarn_prefix_contains(&p, &a, &out), c.want_err);
    if (c.want_err != TARN_OK) {
      EXPECT_TRUE(IsSentinel(out));
      EXPECT_EQ(tarn_prefix_contains(&p, &a, nullptr), c.want_err);
      continue;
    }
    EXPECT_EQ(out, c.want);
    // A null result pointer only validates.
    EXPECT_EQ(tarn_prefix_contains(&p, &a, nullptr), TARN_OK);
  }
}

TEST(PrefixOverlaps, Table) {
  struct Case {
    const char *a;
    const char *b;
    tarn_err_t want_err;
    bool want;
  };
  const Case cases[] = {
      {"10.0.0.0/8", "10.1.0.0/16", TARN_OK, true},
      {"10.0.0.0/16", "10.1.0.0/16", TARN_OK, false},
      {"10.0.0.0/8", "10.0.0.0/8", TARN_OK, true},
      {"10.0.0.0/8", "11.0.0.0/8", TARN_OK, false},
      {"0.0.0.0/0", "192.0.2.1/32", TARN_OK, true},
      {"0.0.0.0/0", "0.0.0.0/0", TARN_OK, true},
      {"255.255.255.254/31", "255.255.255.255/32", TARN_OK, true},
      {"255.255.255.254/32", "255.255.255.255/32", TARN_OK, false},
      {"0.0.0.0/1", "128.0.0.0/1", TARN_OK, false},
      {"::/1", "8000::/1", TARN_OK, false},
      {"::/0", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128", TARN_OK, true},
      {"2001:db8::/32", "2001:db8::1/128", TARN_OK, true},
      {"2001:db8::/32", "2001:db9::/32", TARN_OK, false},
      {"::/0", "10.0.0.0/8", TARN_ERR_FAMILY, false},
      {"0.0.0.0/0", "::/0", TARN_ERR_FAMILY, false},
  };
  for (const Case &c : cases) {
    for (int swap = 0; swap < 2; swap++) {
      const char *first = swap ? c.b : c.a;
      const char *second = swap ? c.a : c.b;
      SCOPED_TRACE(std::string(first) + " vs " + second);
      const tarn_prefix_t a = Pfx(first, kGarbageA);
      const tarn_prefix_t b = Pfx(second, kGarbageB);
      bool out;
      FillSentinel(&out);
      ASSERT_EQ(tarn_prefix_overlaps(&a, &b, &out), c.want_err);
      EXPECT_EQ(tarn_prefix_overlaps(&a, &b, nullptr), c.want_err);
      if (c.want_err != TARN_OK) {
        EXPECT_TRUE(IsSentinel(out));
        continue;
      }
      EXPECT_EQ(out, c.want);
    }
  }
}

// ---------------------------------------------------------------------------
// Supernet and order
// ---------------------------------------------------------------------------

TEST(PrefixSupernet, Table) {
  struct Case {
    const char *prefix;
    tarn_err_t want_err;
    const char *want;
  };
  const Case cases[] = {
      {"10.1.0.0/16", TARN_OK, "10.0.0.0/15"},
      {"10.1.0.0/17", TARN_OK, "10.1.0.0/16"},
      {"10.0.16.0/20", TARN_OK, "10.0.0.0/19"},
      {"0.0.0.0/1", TARN_OK, "0.0.0.0/0"},
      {"128.0.0.0/1", TARN_OK, "0.0.0.0/0"},
      {"255.255.255.255/32", TARN_OK, "255.255.255.254/31"},
      {"0.0.0.0/0", TARN_ERR_OVERFLOW, nullptr},
      {"::/0", TARN_ERR_OVERFLOW, nullptr},
      {"8000::/1", TARN_OK, "::/0"},
      {"::1/128", TARN_OK, "::/127"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128", TARN_OK,
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127"},
      {"2001:db8:8000::/33", TARN_OK, "2001:db8::/32"},
      {"::ffff:10.1.0.0/112", TARN_OK, "::ffff:10.0.0.0/111"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.prefix);
    const tarn_prefix_t p = Pfx(c.prefix);
    tarn_prefix_t out;
    FillSentinel(&out);
    ASSERT_EQ(tarn_prefix_supernet(&p, &out), c.want_err);
    if (c.want_err != TARN_OK) {
      EXPECT_TRUE(IsSentinel(out));
      continue;
    }
    EXPECT_EQ(Str(out), c.want);
    EXPECT_TRUE(SamePrefix(out, Pfx(c.want)));

    // In place: `out` may be the input record.
    tarn_prefix_t in_place = p;
    ASSERT_EQ(tarn_prefix_supernet(&in_place, &in_place), TARN_OK);
    EXPECT_TRUE(SamePrefix(in_place, out));
  }
}

// Walking up from a host route reaches /0 after exactly `bits` steps, every
// step containing the one before, and then stops with TARN_ERR_OVERFLOW.
TEST(PrefixSupernet, ChainToZero) {
  for (const char *host : {"203.0.113.77/32", "2001:db8:dead:beef:1:2:3:4/128",
                           "255.255.255.255/32", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"}) {
    SCOPED_TRACE(host);
    tarn_prefix_t p = Pfx(host);
    const tarn_addr_t addr = p.addr;
    const unsigned bits = ref_prefix::bits(p.addr.family);
    for (unsigned step = 0; step < bits; step++) {
      tarn_prefix_t up;
      ASSERT_EQ(tarn_prefix_supernet(&p, &up), TARN_OK);
      ASSERT_EQ(up.pfxlen, bits - step - 1);
      bool inside = false;
      ASSERT_EQ(tarn_prefix_contains(&up, &addr, &inside), TARN_OK);
      EXPECT_TRUE(inside) << Str(up);
      p = up;
    }
    EXPECT_EQ(ref_prefix::to_int(p.addr), (u128)0);
    tarn_prefix_t out;
    FillSentinel(&out);
    EXPECT_EQ(tarn_prefix_supernet(&p, &out), TARN_ERR_OVERFLOW);
    EXPECT_TRUE(IsSentinel(out));
  }
}

// Each list is in ascending order: every pair must compare by position.
TEST(PrefixCmp, AscendingLists) {
  const std::vector<std::vector<const char *>> lists = {
      {"0.0.0.0/0", "0.0.0.0/1", "0.0.0.0/32", "10.0.0.0/8", "10.0.0.0/16", "10.0.0.1/32",
       "11.0.0.0/8", "127.255.255.255/32", "128.0.0.0/1", "128.0.0.0/2", "255.255.255.254/31",
       "255.255.255.255/32"},
      {"::/0", "::/1", "::/128", "::1/128", "2001:db8::/32", "2001:db8::/48", "2001:db8::1/128",
       "8000::/1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127",
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"},
  };
  for (const auto &list : lists) {
    for (size_t i = 0; i < list.size(); i++) {
      for (size_t j = 0; j < list.size(); j++) {
        SCOPED_TRACE(std::string(list[i]) + " vs " + list[j]);
        const tarn_prefix_t a = Pfx(list[i], kGarbageA);
        const tarn_prefix_t b = Pfx(list[j], kGarbageB);
        int result = 99;
        ASSERT_EQ(tarn_prefix_cmp(&a, &b, &result), TARN_OK);
        EXPECT_EQ(result, i < j ? -1 : (i > j ? 1 : 0));
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Argument checks shared by the arithmetic: null pointers first, then
// TARN_AF_UNSPEC records, then family mismatches, then value ranges.  Every
// failure leaves every out-parameter untouched.
// ---------------------------------------------------------------------------

struct Outs {
  tarn_addr_t addr;
  tarn_prefix_t prefix;
  bool flag;
  int result;
};

TEST(PrefixArithmetic, CheckOrder) {
  const tarn_prefix_t v4 = Pfx("10.0.0.0/8");
  const tarn_prefix_t v6 = Pfx("2001:db8::/32");
  const tarn_prefix_t v4zero = Pfx("0.0.0.0/0");
  const tarn_prefix_t un = UnspecPfx();
  tarn_prefix_t un_zero = UnspecPfx();
  un_zero.pfxlen = 0;
  const tarn_addr_t a4 = Addr("10.1.2.3");
  const tarn_addr_t a6 = Addr("2001:db8::1");
  const tarn_addr_t aun = un.addr;
  Outs o;

  struct Case {
    const char *name;
    std::function<tarn_err_t()> call;
    tarn_err_t want;
  };
  const Case cases[] = {
      {"mask null prefix", [&] { return tarn_prefix_mask(nullptr, &o.addr); }, TARN_ERR_INVAL},
      {"mask null out", [&] { return tarn_prefix_mask(&v4, nullptr); }, TARN_ERR_INVAL},
      {"mask unspec", [&] { return tarn_prefix_mask(&un, &o.addr); }, TARN_ERR_INVAL},
      {"first null prefix", [&] { return tarn_prefix_first(nullptr, &o.addr); }, TARN_ERR_INVAL},
      {"first null out", [&] { return tarn_prefix_first(&v4, nullptr); }, TARN_ERR_INVAL},
      {"first unspec", [&] { return tarn_prefix_first(&un, &o.addr); }, TARN_ERR_INVAL},
      {"last null prefix", [&] { return tarn_prefix_last(nullptr, &o.addr); }, TARN_ERR_INVAL},
      {"last null out", [&] { return tarn_prefix_last(&v6, nullptr); }, TARN_ERR_INVAL},
      {"last unspec", [&] { return tarn_prefix_last(&un, &o.addr); }, TARN_ERR_INVAL},
      {"broadcast null", [&] { return tarn_prefix_broadcast(nullptr, &o.addr); }, TARN_ERR_INVAL},
      // A null out is refused even for IPv6, before the family test.
      {"broadcast v6 null out", [&] { return tarn_prefix_broadcast(&v6, nullptr); },
       TARN_ERR_INVAL},
      {"broadcast unspec", [&] { return tarn_prefix_broadcast(&un, &o.addr); }, TARN_ERR_INVAL},
      {"broadcast v6", [&] { return tarn_prefix_broadcast(&v6, &o.addr); }, TARN_ERR_FAMILY},
      {"contains null prefix", [&] { return tarn_prefix_contains(nullptr, &a4, &o.flag); },
       TARN_ERR_INVAL},
      {"contains null addr", [&] { return tarn_prefix_contains(&v4, nullptr, &o.flag); },
       TARN_ERR_INVAL},
      // UNSPEC differs from 6 as well: it must be caught as INVAL first.
      {"contains unspec prefix", [&] { return tarn_prefix_contains(&un, &a6, &o.flag); },
       TARN_ERR_INVAL},
      {"contains unspec addr", [&] { return tarn_prefix_contains(&v6, &aun, &o.flag); },
       TARN_ERR_INVAL},
      {"contains mixed", [&] { return tarn_prefix_contains(&v6, &a4, &o.flag); }, TARN_ERR_FAMILY},
      {"overlaps null a", [&] { return tarn_prefix_overlaps(nullptr, &v4, &o.flag); },
       TARN_ERR_INVAL},
      {"overlaps null b", [&] { return tarn_prefix_overlaps(&v4, nullptr, &o.flag); },
       TARN_ERR_INVAL},
      {"overlaps unspec a", [&] { return tarn_prefix_overlaps(&un, &v6, &o.flag); },
       TARN_ERR_INVAL},
      {"overlaps unspec b", [&] { return tarn_prefix_overlaps(&v4, &un, &o.flag); },
       TARN_ERR_INVAL},
      {"overlaps unspec b null out", [&] { return tarn_prefix_overlaps(&v4, &un, nullptr); },
       TARN_ERR_INVAL},
      {"overlaps mixed", [&] { return tarn_prefix_overlaps(&v4, &v6, &o.flag); }, TARN_ERR_FAMILY},
      {"supernet null prefix", [&] { return tarn_prefix_supernet(nullptr, &o.prefix); },
       TARN_ERR_INVAL},
      {"supernet null out", [&] { return tarn_prefix_supernet(&v4zero, nullptr); }, TARN_ERR_INVAL},
      {"supernet unspec /0", [&] { return tarn_prefix_supernet(&un_zero, &o.prefix); },
       TARN_ERR_INVAL},
      {"supernet /0", [&] { return tarn_prefix_supernet(&v4zero, &o.prefix); }, TARN_ERR_OVERFLOW},
      {"cmp null a", [&] { return tarn_prefix_cmp(nullptr, &v4, &o.result); }, TARN_ERR_INVAL},
      {"cmp null b", [&] { return tarn_prefix_cmp(&v4, nullptr, &o.result); }, TARN_ERR_INVAL},
      {"cmp null result", [&] { return tarn_prefix_cmp(&v4, &v6, nullptr); }, TARN_ERR_INVAL},
      {"cmp unspec a", [&] { return tarn_prefix_cmp(&un, &v6, &o.result); }, TARN_ERR_INVAL},
      {"cmp unspec b", [&] { return tarn_prefix_cmp(&v6, &un, &o.result); }, TARN_ERR_INVAL},
      {"cmp mixed", [&] { return tarn_prefix_cmp(&v4, &v6, &o.result); }, TARN_ERR_FAMILY},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FillSentinel(&o);
    EXPECT_EQ(c.call(), c.want);
    EXPECT_TRUE(IsSentinel(o)) << "an out-parameter was written on failure";
  }
}

// ---------------------------------------------------------------------------
// Randomized comparison with the integer model
// ---------------------------------------------------------------------------

TEST(PrefixRandom, AgainstIntegerModel) {
  const uint64_t seed = ref_prefix::test_seed();
  printf("PrefixRandom seed=%llu (set TARN_TEST_SEED to repeat)\n",
         static_cast<unsigned long long>(seed));
  RecordProperty("seed", std::to_string(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  ref_prefix::Gen gen(seed);

  for (int iter = 0; iter < 20000 && !HasFailure(); iter++) {
    const tarn_family_t fam = gen.Family();
    const unsigned bits = ref_prefix::bits(fam);
    const unsigned len = gen.Len(fam);
    const u128 host = gen.Value(fam);
    const u128 net = host & ref_prefix::mask(fam, len);
    const tarn_prefix_t p = gen.MakePrefix(fam, net, len);
    SCOPED_TRACE("iteration " + std::to_string(iter) + ": " + Str(p) + " host " + Hex(host));

    // from_host clears exactly the host bits.
    const tarn_addr_t host_rec = gen.MakeAddr(fam, host);
    tarn_prefix_t made;
    ASSERT_EQ(tarn_prefix_from_host(&host_rec, static_cast<uint8_t>(len), &made), TARN_OK);
    EXPECT_TRUE(SamePrefix(made, p));

    // Text round trip of the prefix, and the strict parser on the host text.
    const std::string text = Str(p);
    tarn_prefix_t parsed;
    memset(&parsed, static_cast<int>(gen.Next() & 0xFF), sizeof parsed);
    ASSERT_EQ(tarn_prefix_parse(text.c_str(), &parsed), TARN_OK) << text;
    EXPECT_TRUE(SamePrefix(parsed, p));
    EXPECT_EQ(Str(parsed), text);
    const std::string host_text = Str(host_rec) + "/" + std::to_string(len);
    EXPECT_EQ(tarn_prefix_parse(host_text.c_str(), &parsed),
              host == net ? TARN_OK : TARN_ERR_HOSTBITS)
        << host_text;
    const unsigned any_len = static_cast<unsigned>(gen.Next() % 300);
    const std::string len_text = text.substr(0, text.find('/')) + "/" + std::to_string(any_len);
    const tarn_err_t want_len_err =
        any_len > bits ? TARN_ERR_PFXLEN
                       : ((net & ~ref_prefix::mask(fam, any_len)) ? TARN_ERR_HOSTBITS : TARN_OK);
    EXPECT_EQ(tarn_prefix_parse(len_text.c_str(), &parsed), want_len_err) << len_text;

    // Mask, first, last, broadcast.
    tarn_addr_t out;
    ASSERT_EQ(tarn_prefix_mask(&p, &out), TARN_OK);
    EXPECT_EQ(out.family, fam);
    EXPECT_EQ(ref_prefix::to_int(out), ref_prefix::mask(fam, len));
    ASSERT_EQ(tarn_prefix_first(&p, &out), TARN_OK);
    EXPECT_EQ(ref_prefix::to_int(out), net);
    ASSERT_EQ(tarn_prefix_last(&p, &out), TARN_OK);
    EXPECT_EQ(ref_prefix::to_int(out), ref_prefix::last(fam, net, len));
    if (fam == TARN_AF_INET) {
      ASSERT_EQ(tarn_prefix_broadcast(&p, &out), TARN_OK);
      EXPECT_EQ(ref_prefix::to_int(out), ref_prefix::last(fam, net, len));
    } else {
      EXPECT_EQ(tarn_prefix_broadcast(&p, &out), TARN_ERR_FAMILY);
    }

    // Containment of a nearby address.
    const u128 probe = gen.Near(fam, net, len);
    const tarn_addr_t probe_rec = gen.MakeAddr(fam, probe);
    bool inside = false;
    ASSERT_EQ(tarn_prefix_contains(&p, &probe_rec, &inside), TARN_OK);
    EXPECT_EQ(inside, ref_prefix::contains(fam, net, len, probe)) << "probe " << Hex(probe);

    // A second prefix of the same family, often related to the first.
    const unsigned len2 = gen.Len(fam);
    const u128 net2 = gen.Near(fam, net, len) & ref_prefix::mask(fam, len2);
    const tarn_prefix_t q = gen.MakePrefix(fam, net2, len2);
    SCOPED_TRACE("second " + Str(q));
    bool ov = false;
    ASSERT_EQ(tarn_prefix_overlaps(&p, &q, &ov), TARN_OK);
    EXPECT_EQ(ov, ref_prefix::overlaps(fam, net, len, net2, len2));
    int order = 99;
    ASSERT_EQ(tarn_prefix_cmp(&p, &q, &order), TARN_OK);
    EXPECT_EQ(order, ref_prefix::cmp(net, len, net2, len2));
    ASSERT_EQ(tarn_prefix_cmp(&q, &p, &order), TARN_OK);
    EXPECT_EQ(order, ref_prefix::cmp(net2, len2, net, len));

    // Supernet.
    tarn_prefix_t up;
    if (len == 0) {
      EXPECT_EQ(tarn_prefix_supernet(&p, &up), TARN_ERR_OVERFLOW);
    } else {
      ASSERT_EQ(tarn_prefix_supernet(&p, &up), TARN_OK);
      EXPECT_EQ(up.addr.family, fam);
      EXPECT_EQ(up.pfxlen, len - 1);
      EXPECT_EQ(ref_prefix::to_int(up.addr), net & ref_prefix::mask(fam, len - 1));
    }
  }
}

}  // namespace
