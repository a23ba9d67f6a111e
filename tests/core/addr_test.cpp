// addr_test.cpp - address parsing, formatting, comparison and unwrapping.
//
// Fixed tables pin the grammar and the canonical text; random addresses and
// random strings are checked against the slow reference in support/.  Random
// tests print their seed; set TARN_TEST_SEED to replay one.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "pytarn.h"
#include "support/ref_addr.h"
#include "tarn_internal.h"

namespace {

// ----------------------------------------------------------------------------
// Helpers
// ----------------------------------------------------------------------------

uint64_t test_seed() {
  static const uint64_t seed = [] {
    const char* env = getenv("TARN_TEST_SEED");
    const uint64_t s = env != nullptr ? strtoull(env, nullptr, 0) : std::random_device{}();
    printf("addr_test: TARN_TEST_SEED=%llu\n", static_cast<unsigned long long>(s));
    return s;
  }();
  return seed;
}

// Printable form of arbitrary bytes for failure messages.
std::string escaped(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char tmp[8];
      snprintf(tmp, sizeof tmp, "\\x%02x", c);
      out += tmp;
    }
  }
  return out;
}

// Copies `text` (up to and including its first NUL, or with a NUL appended)
// to the very end of a heap block, so that reading past the NUL is caught by
// the sanitizer build.
struct TailText {
  explicit TailText(const std::string& text) {
    const size_t n = strnlen(text.data(), text.size());
    ptr = static_cast<char*>(malloc(n + 1));
    memcpy(ptr, text.data(), n);
    ptr[n] = '\0';
  }
  ~TailText() { free(ptr); }
  TailText(const TailText&) = delete;
  TailText& operator=(const TailText&) = delete;
  char* ptr;
};

size_t sig_len(tarn_family_t family) { return family == TARN_AF_INET ? 4 : 16; }

// Parses from a tight heap block; the record starts filled with 0xA5.
tarn_err_t parse_tight(const std::string& text, tarn_addr_t* out) {
  memset(out, 0xA5, sizeof *out);
  TailText t(text);
  return tarn_addr_parse(t.ptr, out);
}

// The printed text; the printer writes the text and its NUL and nothing
// after them.
std::string format(const tarn_addr_t& a) {
  char buf[TARN_ADDR_STRLEN];
  memset(buf, 'Z', sizeof buf);
  const tarn_err_t err = tarn_addr_format(&a, buf, sizeof buf);
  EXPECT_EQ(err, TARN_OK);
  if (err != TARN_OK) return "<format failed>";
  for (size_t i = strlen(buf) + 1; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 'Z') << buf << " " << i;
  return std::string(buf);
}

tarn_addr_t to_core(const ref::Addr& r) {
  tarn_addr_t a;
  memset(&a, 0, sizeof a);
  a.family = r.family;
  memcpy(a.addr.v6, r.bytes, 16);
  return a;
}

bool same_address(const tarn_addr_t& a, const ref::Addr& r) {
  return a.family == r.family && memcmp(a.addr.v6, r.bytes, sig_len(r.family)) == 0;
}

// What every successful parse must satisfy: printing it and parsing the text
// gives the same family and significant bytes, and the text is a fixed point.
void expect_round_trip(const tarn_addr_t& a) {
  const std::string text = format(a);
  tarn_addr_t again;
  ASSERT_EQ(parse_tight(text, &again), TARN_OK) << text;
  EXPECT_EQ(again.family, a.family) << text;
  EXPECT_EQ(memcmp(again.addr.v6, a.addr.v6, sig_len(a.family)), 0) << text;
  EXPECT_EQ(format(again), text);
}

// Core and reference agree on `text`: both refuse it, or both accept it with
// the same address.  The core is also checked for what it writes on failure.
void expect_agrees_with_reference(const std::string& text) {
  tarn_addr_t got;
  const tarn_err_t err = parse_tight(text, &got);
  const std::optional<ref::Addr> want = ref::addr_parse(text);
  if (!want) {
    EXPECT_EQ(err, TARN_ERR_PARSE) << "accepted \"" << escaped(text) << "\"";
    EXPECT_EQ(got.family, TARN_AF_UNSPEC) << escaped(text);
    return;
  }
  ASSERT_EQ(err, TARN_OK) << "refused \"" << escaped(text) << "\"";
  EXPECT_TRUE(same_address(got, *want)) << escaped(text);
}

// Every parse and format test runs once per code path this machine has
// (tarn_addr_text_level_force), the portable one included.
std::vector<int> text_levels() {
  std::vector<int> levels;
  for (int l = TARN_TEXT_PORTABLE; l <= tarn_addr_text_level_best(); ++l) levels.push_back(l);
  return levels;
}

std::string level_name(const ::testing::TestParamInfo<int>& info) {
  static const char* const kNames[] = {"portable", "sse41", "avx2", "avx512"};
  return kNames[info.param];
}

class TextLevel : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { ASSERT_TRUE(tarn_addr_text_level_force(GetParam())); }
  void TearDown() override { tarn_addr_text_level_force(tarn_addr_text_level_best()); }
};

class AddrParse : public TextLevel {};
class AddrFormat : public TextLevel {};
class AddrRandom : public TextLevel {};
INSTANTIATE_TEST_SUITE_P(Levels, AddrParse, ::testing::ValuesIn(text_levels()), level_name);
INSTANTIATE_TEST_SUITE_P(Levels, AddrFormat, ::testing::ValuesIn(text_levels()), level_name);
INSTANTIATE_TEST_SUITE_P(Levels, AddrRandom, ::testing::ValuesIn(text_levels()), level_name);

// ----------------------------------------------------------------------------
// tarn_addr_parse: fixed cases
// ----------------------------------------------------------------------------

struct ParseCase {
  const char* in;
  tarn_err_t want;
  tarn_family_t family = TARN_AF_UNSPEC;
  const char* canonical = nullptr;  // the printed form of a successful parse
};

const ParseCase kParseCases[] = {
    // Dotted quads.
    {"0.0.0.0", TARN_OK, TARN_AF_INET, "0.0.0.0"},
    {"255.255.255.255", TARN_OK, TARN_AF_INET, "255.255.255.255"},
    {"1.2.3.4", TARN_OK, TARN_AF_INET, "1.2.3.4"},
    {"10.0.0.255", TARN_OK, TARN_AF_INET, "10.0.0.255"},
    {"199.99.9.0", TARN_OK, TARN_AF_INET, "199.99.9.0"},
    {"256.1.1.1", TARN_ERR_PARSE},
    {"1.2.3.1000", TARN_ERR_PARSE},
    {"1.2.3.256", TARN_ERR_PARSE},
    {"1.2.3.260", TARN_ERR_PARSE},
    {"300.1.1.1", TARN_ERR_PARSE},
    {"256.0.0.0", TARN_ERR_PARSE},  // alone above 255, not merely with others
    {"0.0.0.256", TARN_ERR_PARSE},
    {"01.2.3.4", TARN_ERR_PARSE},
    {"1.2.3.00", TARN_ERR_PARSE},
    {"1.2.3.010", TARN_ERR_PARSE},
    {"1.2.3", TARN_ERR_PARSE},
    {"1.2.3.4.5", TARN_ERR_PARSE},
    {"1.2.3.4.", TARN_ERR_PARSE},
    {".1.2.3", TARN_ERR_PARSE},
    {"1..2.3", TARN_ERR_PARSE},
    {"1.2.3.", TARN_ERR_PARSE},
    {" 1.2.3.4", TARN_ERR_PARSE},
    {"1.2.3.4 ", TARN_ERR_PARSE},
    {"", TARN_ERR_PARSE},
    {"1", TARN_ERR_PARSE},
    {".", TARN_ERR_PARSE},
    {"....", TARN_ERR_PARSE},
    {"+1.2.3.4", TARN_ERR_PARSE},
    {"1.-2.3.4", TARN_ERR_PARSE},
    {"1.2.3.4x", TARN_ERR_PARSE},
    {"1.2.3.4/32", TARN_ERR_PARSE},
    {"0x1.2.3.4", TARN_ERR_PARSE},
    {"1.2.3.a", TARN_ERR_PARSE},
    {"1234.1.1.1", TARN_ERR_PARSE},
    {"1.2.3.4.5.6.7.8", TARN_ERR_PARSE},
    {"255.255.255.2555", TARN_ERR_PARSE},
    {"1.2.3.4\x80", TARN_ERR_PARSE},
    {"\xff"
     "1.2.3.4",
     TARN_ERR_PARSE},

    // Pure IPv6.
    {"::", TARN_OK, TARN_AF_INET6, "::"},
    {"::1", TARN_OK, TARN_AF_INET6, "::1"},
    {"1::", TARN_OK, TARN_AF_INET6, "1::"},
    {"1:2:3:4:5:6:7::", TARN_OK, TARN_AF_INET6, "1:2:3:4:5:6:7:0"},
    {"::2:3:4:5:6:7:8", TARN_OK, TARN_AF_INET6, "0:2:3:4:5:6:7:8"},
    {"1:2:3::5:6:7:8", TARN_OK, TARN_AF_INET6, "1:2:3:0:5:6:7:8"},
    {"1:2:3:4:5:6:7:8", TARN_OK, TARN_AF_INET6, "1:2:3:4:5:6:7:8"},
    {"FE80::ABCD", TARN_OK, TARN_AF_INET6, "fe80::abcd"},
    {"fe80::abcd", TARN_OK, TARN_AF_INET6, "fe80::abcd"},
    {"0000:00a:0:0:0:0:0:0001", TARN_OK, TARN_AF_INET6, "0:a::1"},
    {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", TARN_OK, TARN_AF_INET6,
     "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    {"0000:0000:0000:0000:0000:0000:0000:0001", TARN_OK, TARN_AF_INET6, "::1"},
    {"2001:DB8:0:0:1:0:0:1", TARN_OK, TARN_AF_INET6, "2001:db8::1:0:0:1"},
    {"0:0:0:0:0:0:0:0", TARN_OK, TARN_AF_INET6, "::"},
    {"::ffff:c000:201", TARN_OK, TARN_AF_INET6, "::ffff:192.0.2.1"},
    {"1:2:3:4:5:6:7:8:9", TARN_ERR_PARSE},
    {"::1:2:3:4:5:6:7:8", TARN_ERR_PARSE},
    {"1:2:3:4:5:6:7:8::", TARN_ERR_PARSE},
    {"1:2:3:4::5:6:7:8", TARN_ERR_PARSE},
    {"1:2:3:4:5:6:7", TARN_ERR_PARSE},
    {"1::2::3", TARN_ERR_PARSE},
    {":::", TARN_ERR_PARSE},
    {"::::", TARN_ERR_PARSE},
    {"1:::2", TARN_ERR_PARSE},
    {":", TARN_ERR_PARSE},
    {":1:2:3:4:5:6:7:8", TARN_ERR_PARSE},
    {":1::", TARN_ERR_PARSE},
    {"12345::", TARN_ERR_PARSE},
    {"::00000", TARN_ERR_PARSE},
    {"g::", TARN_ERR_PARSE},
    {"fe80::1%eth0", TARN_ERR_PARSE},
    {"fe80::1%", TARN_ERR_PARSE},
    {"::1/128", TARN_ERR_PARSE},
    {"::1 ", TARN_ERR_PARSE},
    {" ::1", TARN_ERR_PARSE},
    {"1.2.3.4:80", TARN_ERR_PARSE},
    {"::\x80", TARN_ERR_PARSE},
    // A single ':' at the very end is refused, not skipped.
    {"1:2:3:4:5:6:7:8:", TARN_ERR_PARSE},
    {"::1:", TARN_ERR_PARSE},
    {"1::2:", TARN_ERR_PARSE},
    {"1:", TARN_ERR_PARSE},

    // Dotted tails: IPv4-mapped only.
    {"::ffff:1.2.3.4", TARN_OK, TARN_AF_INET6, "::ffff:1.2.3.4"},
    {"::FFFF:1.2.3.4", TARN_OK, TARN_AF_INET6, "::ffff:1.2.3.4"},
    {"0:0:0:0:0:ffff:1.2.3.4", TARN_OK, TARN_AF_INET6, "::ffff:1.2.3.4"},
    {"0::ffff:1.2.3.4", TARN_OK, TARN_AF_INET6, "::ffff:1.2.3.4"},
    {"0:0:0:0::ffff:1.2.3.4", TARN_OK, TARN_AF_INET6, "::ffff:1.2.3.4"},
    {"::0:ffff:1.2.3.4", TARN_OK, TARN_AF_INET6, "::ffff:1.2.3.4"},
    {"0000:0:0:0:0:0FFFF:255.255.255.255", TARN_ERR_PARSE},
    {"0000:0:0:0:0:FFFF:255.255.255.255", TARN_OK, TARN_AF_INET6, "::ffff:255.255.255.255"},
    // The longest text that can succeed (45 bytes), and one byte more.
    {"0000:0000:0000:0000:0000:ffff:255.255.255.255", TARN_OK, TARN_AF_INET6,
     "::ffff:255.255.255.255"},
    {"0000:0000:0000:0000:0000:ffff:255.255.255.2555", TARN_ERR_PARSE},
    {"00000:000:0000:0000:0000:ffff:255.255.255.255", TARN_ERR_PARSE},
    {"::ffff:0.0.0.0", TARN_OK, TARN_AF_INET6, "::ffff:0.0.0.0"},
    {"::1.2.3.4", TARN_ERR_PARSE},
    {"::ffff:1.2.3.04", TARN_ERR_PARSE},
    {"::ffff:1.2.3", TARN_ERR_PARSE},
    {"::ffff:1.2.3.4.", TARN_ERR_PARSE},
    {"::ffff:1.2.3.4.5", TARN_ERR_PARSE},
    {"::ffff:256.1.1.1", TARN_ERR_PARSE},
    {"::ffff:1.2.3.4x", TARN_ERR_PARSE},
    {"::ffff:1.2.3.4%eth0", TARN_ERR_PARSE},
    {"::ffff:1.2.3.4/96", TARN_ERR_PARSE},
    {"0:0:0:0:0::ffff:1.2.3.4", TARN_ERR_PARSE},
    {"0:0:0:0:0:0:ffff:1.2.3.4", TARN_ERR_PARSE},
    {"::ffff::1.2.3.4", TARN_ERR_PARSE},
    {":1.2.3.4", TARN_ERR_PARSE},
    {":ffff:1.2.3.4", TARN_ERR_PARSE},
    {"64:ff9b::192.0.2.1", TARN_ERR_PARSE},
    {"::ffff:0:192.0.2.1", TARN_ERR_PARSE},
    {"1:2:3:4:5::1.2.3.4", TARN_ERR_PARSE},
    {"ffff::1.2.3.4", TARN_ERR_PARSE},
    {"::ffff:1.2.3.4:1", TARN_ERR_PARSE},
    {"1.2.3.4::", TARN_ERR_PARSE},
    {"::1.2.3.4:ffff", TARN_ERR_PARSE},
    {":::ffff:1.2.3.4", TARN_ERR_PARSE},
    {"::ff.ff:1.2.3.4", TARN_ERR_PARSE},
    {"::ffff:.1.2.3", TARN_ERR_PARSE},
    {"::ffff:1.2.3.4\x80", TARN_ERR_PARSE},
};

TEST_P(AddrParse, Table) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(escaped(c.in));
    tarn_addr_t a;
    const tarn_err_t err = parse_tight(c.in, &a);
    ASSERT_EQ(err, c.want);
    if (err != TARN_OK) {
      EXPECT_EQ(a.family, TARN_AF_UNSPEC);
    } else {
      EXPECT_EQ(a.family, c.family);
      EXPECT_EQ(format(a), c.canonical);
      expect_round_trip(a);
    }
    expect_agrees_with_reference(c.in);
  }
}

TEST_P(AddrParse, MappedBytes) {
  // Every spelling of one mapped address gives the same 16 bytes.
  const uint8_t want[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 1, 2, 3, 4};
  for (const char* in : {"::ffff:1.2.3.4", "::FFFF:1.2.3.4", "0:0:0:0:0:ffff:1.2.3.4",
                         "0::ffff:1.2.3.4", "0:0:0:0::ffff:1.2.3.4", "::ffff:102:304"}) {
    SCOPED_TRACE(in);
    tarn_addr_t a;
    ASSERT_EQ(parse_tight(in, &a), TARN_OK);
    EXPECT_EQ(a.family, TARN_AF_INET6);
    EXPECT_EQ(memcmp(a.addr.v6, want, 16), 0);
  }
}

TEST_P(AddrParse, Ipv4LeavesUnusedBytes) {
  // An IPv4 parse writes 4 bytes only: an old IPv6 address keeps bytes 4..15.
  tarn_addr_t a;
  ASSERT_EQ(tarn_addr_parse("2001:db8:1:2:3:4:5:6", &a), TARN_OK);
  tarn_addr_t before = a;
  ASSERT_EQ(tarn_addr_parse("9.8.7.6", &a), TARN_OK);
  EXPECT_EQ(a.family, TARN_AF_INET);
  const uint8_t v4[4] = {9, 8, 7, 6};
  EXPECT_EQ(memcmp(a.addr.v4, v4, 4), 0);
  EXPECT_EQ(memcmp(a.addr.v6 + 4, before.addr.v6 + 4, 12), 0);
}

TEST_P(AddrParse, NullArguments) {
  tarn_addr_t a;
  memset(&a, 0x5A, sizeof a);
  const tarn_addr_t untouched = a;
  EXPECT_EQ(tarn_addr_parse(nullptr, &a), TARN_ERR_INVAL);
  EXPECT_EQ(memcmp(&a, &untouched, sizeof a), 0);
  EXPECT_EQ(tarn_addr_parse("1.2.3.4", nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_addr_parse(nullptr, nullptr), TARN_ERR_INVAL);
}

TEST_P(AddrParse, FailureDoesNotWriteBytes) {
  // Outside the mapped-tail check, a refused text leaves the bytes alone.
  for (const char* in : {"1.2.3.256", "1.2.3.4.", "1:2:3:4:5:6:7:8:", "1::2::3", "::ffff:1.2.3",
                         "12345::", "1:2:3:4:5:6:7"}) {
    SCOPED_TRACE(in);
    tarn_addr_t a;
    memset(&a, 0x77, sizeof a);
    ASSERT_EQ(tarn_addr_parse(in, &a), TARN_ERR_PARSE);
    EXPECT_EQ(a.family, TARN_AF_UNSPEC);
    for (uint8_t b : a.addr.v6) EXPECT_EQ(b, 0x77);
  }
}

TEST_P(AddrParse, LongText) {
  // One megabyte of text that starts like an address and never ends like one;
  // each sits at the end of its heap block.
  const size_t mb = 1 << 20;
  const std::vector<std::string> texts = {
      std::string(mb, '1'),
      std::string(mb, ':'),
      std::string(mb, '.'),
      std::string(mb, 'f'),
      "1.2.3.4" + std::string(mb, '5'),
      "1.2.3.4" + std::string(mb, ' '),
      "::" + std::string(mb, '0'),
      "::ffff:1.2.3.4" + std::string(mb, '4'),
      "::ffff:" + std::string(mb, '.'),
      std::string(mb, '9') + ":",
      [&] {
        std::string s;
        while (s.size() < mb) s += "0:";
        return s;
      }(),
      [&] {
        std::string s;
        while (s.size() < mb) s += "1.2.";
        return s;
      }(),
  };
  for (const std::string& t : texts) {
    SCOPED_TRACE(escaped(t.substr(0, 16)) + "... (" + std::to_string(t.size()) + " bytes)");
    tarn_addr_t a;
    EXPECT_EQ(parse_tight(t, &a), TARN_ERR_PARSE);
    EXPECT_EQ(a.family, TARN_AF_UNSPEC);
  }
}

TEST_P(AddrParse, TextEndsAtNul) {
  // Bytes after the first NUL are never looked at.
  const char text[] = "1.2.3.4\0garbage";
  tarn_addr_t a;
  ASSERT_EQ(tarn_addr_parse(text, &a), TARN_OK);
  EXPECT_EQ(format(a), "1.2.3.4");
  const char text6[] = "::1\0:2";
  ASSERT_EQ(tarn_addr_parse(text6, &a), TARN_OK);
  EXPECT_EQ(format(a), "::1");
}

// ----------------------------------------------------------------------------
// tarn_addr_format
// ----------------------------------------------------------------------------

tarn_addr_t v6_groups(std::initializer_list<unsigned> groups) {
  tarn_addr_t a;
  memset(&a, 0, sizeof a);
  a.family = TARN_AF_INET6;
  int i = 0;
  for (unsigned g : groups) {
    a.addr.v6[2 * i] = static_cast<uint8_t>(g >> 8);
    a.addr.v6[2 * i + 1] = static_cast<uint8_t>(g);
    ++i;
  }
  return a;
}

tarn_addr_t v4_bytes(uint8_t a0, uint8_t a1, uint8_t a2, uint8_t a3) {
  tarn_addr_t a;
  memset(&a, 0xEE, sizeof a);  // bytes 4..15 must never show up
  a.family = TARN_AF_INET;
  a.addr.v4[0] = a0;
  a.addr.v4[1] = a1;
  a.addr.v4[2] = a2;
  a.addr.v4[3] = a3;
  return a;
}

struct FormatCase {
  tarn_addr_t addr;
  const char* text;
};

TEST_P(AddrFormat, Table) {
  const FormatCase cases[] = {
      {v6_groups({0, 0, 0, 0, 0, 0, 0, 0}), "::"},
      {v6_groups({0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
      {v6_groups({1, 0, 0, 0, 0, 0, 0, 0}), "1::"},
      {v6_groups({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), "2001:db8::1:0:0:1"},
      {v6_groups({0x2001, 0xdb8, 0, 1, 0, 0, 0, 1}), "2001:db8:0:1::1"},
      {v6_groups({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1"},
      {v6_groups({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x201}), "::ffff:192.0.2.1"},
      {v6_groups({0, 0, 0, 0, 0, 0xffff, 0, 0}), "::ffff:0.0.0.0"},
      {v6_groups({0, 0, 0, 0, 0, 0xffff, 0xffff, 0xffff}), "::ffff:255.255.255.255"},
      {v6_groups({0, 0, 0, 0, 0, 0, 0xc000, 0x201}), "::c000:201"},
      {v6_groups({0x64, 0xff9b, 0, 0, 0, 0, 0xc000, 0x201}), "64:ff9b::c000:201"},
      {v6_groups({0, 0, 0, 0, 0xffff, 0, 0, 0}), "::ffff:0:0:0"},
      {v6_groups({0, 0, 0, 0, 1, 0xffff, 0, 0}), "::1:ffff:0:0"},
      {v6_groups({0, 0, 1, 0, 0, 0, 0, 0}), "0:0:1::"},
      {v6_groups({1, 0, 1, 0, 1, 0, 1, 0}), "1:0:1:0:1:0:1:0"},
      {v6_groups({0, 1, 0, 1, 0, 1, 0, 1}), "0:1:0:1:0:1:0:1"},
      {v6_groups({0, 0, 0, 0, 0, 0xfffe, 0, 0}), "::fffe:0:0"},
      {v6_groups({0xab, 0, 0, 0, 0, 0, 0, 0xab}), "ab::ab"},
      {v6_groups({0xf, 0xf0, 0xf00, 0xf000, 0x1, 0x10, 0x100, 0x1000}),
       "f:f0:f00:f000:1:10:100:1000"},
      {v6_groups({1, 2, 0, 0, 3, 4, 0, 0}), "1:2::3:4:0:0"},
      {v6_groups({1, 0, 0, 2, 0, 0, 0, 3}), "1:0:0:2::3"},
      {v6_groups({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}),
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
      {v6_groups({0xfe80, 0, 0, 0, 0, 0, 0, 0xabcd}), "fe80::abcd"},
      {v4_bytes(10, 0, 0, 255), "10.0.0.255"},
      {v4_bytes(0, 0, 0, 0), "0.0.0.0"},
      {v4_bytes(255, 255, 255, 255), "255.255.255.255"},
      {v4_bytes(9, 10, 99, 100), "9.10.99.100"},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(format(c.addr), c.text);
    expect_round_trip(c.addr);
  }
}

TEST_P(AddrFormat, EveryZeroGroupPattern) {
  // All 256 patterns of zero and non-zero groups: every run length at every
  // position, ties and the mapped prefix, against the reference printer.
  for (unsigned mask = 0; mask < 256; ++mask) {
    for (unsigned fill : {0x1u, 0xffffu, 0xa0bu}) {
      ref::Addr r;
      r.family = TARN_AF_INET6;
      for (int i = 0; i < 8; ++i) {
        const unsigned g = (mask >> i) & 1 ? fill + static_cast<unsigned>(i) : 0;
        r.bytes[2 * i] = static_cast<uint8_t>(g >> 8);
        r.bytes[2 * i + 1] = static_cast<uint8_t>(g);
      }
      const tarn_addr_t a = to_core(r);
      SCOPED_TRACE(ref::addr_format(r));
      EXPECT_EQ(format(a), ref::addr_format(r));
      expect_round_trip(a);
    }
  }
}

// Every octet value in every position, beside octets of each width, and
// every group width (1 to 4 digits) in every position: the vector printers
// place each octet or group in a lane of its own.
TEST_P(AddrFormat, EveryWidthInEveryLane) {
  static const uint8_t kOctets[] = {0, 7, 42, 255};
  for (unsigned pos = 0; pos < 4; ++pos)
    for (unsigned v = 0; v < 256; ++v)
      for (uint8_t other : kOctets) {
        ref::Addr r;
        r.family = TARN_AF_INET;
        for (unsigned i = 0; i < 4; ++i) r.bytes[i] = i == pos ? static_cast<uint8_t>(v) : other;
        ASSERT_EQ(format(to_core(r)), ref::addr_format(r));
      }
  static const uint16_t kGroups[] = {0x0, 0x9, 0xf0, 0x10f, 0xfff, 0x1000, 0xbeef};
  for (unsigned pos = 0; pos < 8; ++pos)
    for (uint16_t g : kGroups)
      for (uint16_t other : kGroups) {
        ref::Addr r;
        r.family = TARN_AF_INET6;
        for (unsigned i = 0; i < 8; ++i) {
          const uint16_t w = i == pos ? g : static_cast<uint16_t>(other + i);
          r.bytes[2 * i] = static_cast<uint8_t>(w >> 8);
          r.bytes[2 * i + 1] = static_cast<uint8_t>(w);
        }
        ASSERT_EQ(format(to_core(r)), ref::addr_format(r));
      }
}

struct BufferCase {
  const char* addr;
  size_t len;
  tarn_err_t want;
};

TEST_P(AddrFormat, BufferSize) {
  // The size test does not depend on the family or on the text's length.
  const BufferCase cases[] = {
      {"1.2.3.4", 0, TARN_ERR_INVAL},
      {"1.2.3.4", 16, TARN_ERR_INVAL},
      {"1.2.3.4", 45, TARN_ERR_INVAL},
      {"1.2.3.4", 46, TARN_OK},
      {"::", 45, TARN_ERR_INVAL},
      {"::", 46, TARN_OK},
      {"255.255.255.255", 46, TARN_OK},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 45, TARN_ERR_INVAL},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 46, TARN_OK},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 1000, TARN_OK},
      {"::ffff:255.255.255.255", 46, TARN_OK},
      {"1111:2222:3333:4444:5555:6666:7777:8888", 46, TARN_OK},
  };
  for (const BufferCase& c : cases) {
    SCOPED_TRACE(std::string(c.addr) + " in " + std::to_string(c.len));
    tarn_addr_t a;
    ASSERT_EQ(tarn_addr_parse(c.addr, &a), TARN_OK);
    // An exact heap block: a write past `len` bytes is caught by the
    // sanitizer build; on failure nothing at all is written.
    const size_t block = c.len > 0 ? c.len : 1;
    char* buf = static_cast<char*>(malloc(block));
    memset(buf, 'Z', block);
    EXPECT_EQ(tarn_addr_format(&a, buf, c.len), c.want);
    if (c.want == TARN_OK) {
      EXPECT_STREQ(buf, c.addr);
      // Nothing after the terminating NUL is touched either.
      for (size_t i = strlen(buf) + 1; i < block; ++i) ASSERT_EQ(buf[i], 'Z') << i;
    } else {
      for (size_t i = 0; i < block; ++i) ASSERT_EQ(buf[i], 'Z') << i;
    }
    free(buf);
  }
}

TEST_P(AddrFormat, InvalidArguments) {
  char buf[64];
  memset(buf, 'Z', sizeof buf);
  tarn_addr_t a = v4_bytes(1, 2, 3, 4);
  EXPECT_EQ(tarn_addr_format(nullptr, buf, sizeof buf), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_addr_format(&a, nullptr, sizeof buf), TARN_ERR_INVAL);
  a.family = TARN_AF_UNSPEC;
  EXPECT_EQ(tarn_addr_format(&a, buf, sizeof buf), TARN_ERR_INVAL);
  for (char ch : buf) ASSERT_EQ(ch, 'Z');
  // Any other non-zero family prints as IPv6.
  tarn_addr_t odd = v6_groups({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1});
  odd.family = 5;
  EXPECT_EQ(format(odd), "2001:db8::1");
}

// ----------------------------------------------------------------------------
// tarn_addr_to_v4 and tarn_addr_cmp
// ----------------------------------------------------------------------------

struct ToV4Case {
  const char* in;
  tarn_err_t want;
  const char* v4 = nullptr;
};

TEST(AddrToV4, Table) {
  const ToV4Case cases[] = {
      {"::ffff:192.0.2.1", TARN_OK, "192.0.2.1"},
      {"::ffff:0.0.0.0", TARN_OK, "0.0.0.0"},
      {"::ffff:255.255.255.255", TARN_OK, "255.255.255.255"},
      {"::c000:201", TARN_ERR_FAMILY},  // ::192.0.2.1, IPv4-compatible
      {"64:ff9b::c000:201", TARN_ERR_FAMILY},
      {"::fffe:c000:201", TARN_ERR_FAMILY},
      {"::ffff:0:c000:201", TARN_ERR_FAMILY},
      {"1::ffff:c000:201", TARN_ERR_FAMILY},
      {"::1:ffff:c000:201", TARN_ERR_FAMILY},
      {"192.0.2.1", TARN_ERR_FAMILY},
  };
  for (const ToV4Case& c : cases) {
    SCOPED_TRACE(c.in);
    tarn_addr_t a, out;
    ASSERT_EQ(tarn_addr_parse(c.in, &a), TARN_OK);
    memset(&out, 0x3C, sizeof out);
    const tarn_addr_t untouched = out;
    ASSERT_EQ(tarn_addr_to_v4(&a, &out), c.want);
    if (c.want == TARN_OK) {
      EXPECT_EQ(out.family, TARN_AF_INET);
      EXPECT_EQ(format(out), c.v4);
      // Only the four IPv4 bytes are written.
      EXPECT_EQ(memcmp(out.addr.v6 + 4, untouched.addr.v6 + 4, 12), 0);
    } else {
      EXPECT_EQ(memcmp(&out, &untouched, sizeof out), 0);
    }
  }
}

TEST(AddrToV4, InvalidArguments) {
  tarn_addr_t a, out;
  ASSERT_EQ(tarn_addr_parse("::ffff:1.2.3.4", &a), TARN_OK);
  memset(&out, 0x3C, sizeof out);
  const tarn_addr_t untouched = out;
  EXPECT_EQ(tarn_addr_to_v4(nullptr, &out), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_addr_to_v4(&a, nullptr), TARN_ERR_INVAL);
  a.family = TARN_AF_UNSPEC;
  EXPECT_EQ(tarn_addr_to_v4(&a, &out), TARN_ERR_INVAL);
  // A family that is neither 4 nor 6 is not IPv6 here.
  a.family = 5;
  EXPECT_EQ(tarn_addr_to_v4(&a, &out), TARN_ERR_FAMILY);
  EXPECT_EQ(memcmp(&out, &untouched, sizeof out), 0);
}

struct CmpCase {
  const char* a;
  const char* b;
  int want;
};

TEST(AddrCmp, Table) {
  const CmpCase cases[] = {
      {"10.0.0.1", "9.255.255.255", 1},
      {"9.255.255.255", "10.0.0.1", -1},
      {"10.0.0.1", "10.0.0.1", 0},
      {"0.0.0.0", "255.255.255.255", -1},
      {"128.0.0.0", "127.255.255.255", 1},  // unsigned bytes
      {"::", "::1", -1},
      {"::1", "::", 1},
      {"8000::", "7fff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 1},
      {"2001:db8::1", "2001:db8::1", 0},
      {"::ffff:1.2.3.4", "::ffff:1.2.3.5", -1},
      {"ffff::", "fffe:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 1},
  };
  for (const CmpCase& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    tarn_addr_t a, b;
    ASSERT_EQ(tarn_addr_parse(c.a, &a), TARN_OK);
    ASSERT_EQ(tarn_addr_parse(c.b, &b), TARN_OK);
    int result = 99;
    ASSERT_EQ(tarn_addr_cmp(&a, &b, &result), TARN_OK);
    EXPECT_EQ(result, c.want);
  }
}

TEST(AddrCmp, Ipv4IgnoresUnusedBytes) {
  tarn_addr_t a = v4_bytes(1, 2, 3, 4), b = v4_bytes(1, 2, 3, 4);
  memset(b.addr.v6 + 4, 0x11, 12);
  int result = 99;
  ASSERT_EQ(tarn_addr_cmp(&a, &b, &result), TARN_OK);
  EXPECT_EQ(result, 0);
}

TEST(AddrCmp, InvalidArguments) {
  tarn_addr_t v4 = v4_bytes(1, 2, 3, 4);
  tarn_addr_t v6 = v6_groups({0, 0, 0, 0, 0, 0, 0, 1});
  tarn_addr_t unspec = v6;
  unspec.family = TARN_AF_UNSPEC;
  int result = 99;
  EXPECT_EQ(tarn_addr_cmp(nullptr, &v4, &result), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_addr_cmp(&v4, nullptr, &result), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_addr_cmp(&v4, &v4, nullptr), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_addr_cmp(&unspec, &v6, &result), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_addr_cmp(&v6, &unspec, &result), TARN_ERR_INVAL);
  // UNSPEC is reported before the family mismatch.
  EXPECT_EQ(tarn_addr_cmp(&v4, &unspec, &result), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_addr_cmp(&v4, &v6, &result), TARN_ERR_FAMILY);
  EXPECT_EQ(result, 99);
}

// ----------------------------------------------------------------------------
// Random addresses and random text against the reference
// ----------------------------------------------------------------------------

class Random {
 public:
  explicit Random(uint64_t salt) : rng_(test_seed() ^ salt) {}
  unsigned below(unsigned n) { return static_cast<unsigned>(rng_() % n); }
  bool coin() { return (rng_() & 1) != 0; }

  // An octet of 1, 2 or 3 digits, equally likely.
  uint8_t octet() {
    switch (below(3)) {
      case 0:
        return static_cast<uint8_t>(below(10));
      case 1:
        return static_cast<uint8_t>(10 + below(90));
      default:
        return static_cast<uint8_t>(100 + below(156));
    }
  }

  // A group of 1 to 4 significant hex digits.
  uint16_t group() {
    const unsigned digits = 1 + below(4);
    return static_cast<uint16_t>(rng_() & ((1u << (4 * digits)) - 1));
  }

  ref::Addr address() {
    ref::Addr r;
    switch (below(5)) {
      case 0:
        r.family = TARN_AF_INET;
        for (int i = 0; i < 4; ++i) r.bytes[i] = octet();
        break;
      case 1: {  // IPv4-mapped
        r.family = TARN_AF_INET6;
        r.bytes[10] = r.bytes[11] = 0xFF;
        for (int i = 12; i < 16; ++i) r.bytes[i] = octet();
        break;
      }
      case 2: {  // one run of zeros of any length at any position
        r.family = TARN_AF_INET6;
        const unsigned len = below(9);
        const unsigned start = below(9 - len);
        for (unsigned i = 0; i < 8; ++i) {
          const uint16_t g = (i >= start && i < start + len) ? 0 : group();
          r.bytes[2 * i] = static_cast<uint8_t>(g >> 8);
          r.bytes[2 * i + 1] = static_cast<uint8_t>(g);
        }
        break;
      }
      case 3:  // groups zero with probability one half: ties and many runs
        r.family = TARN_AF_INET6;
        for (int i = 0; i < 8; ++i) {
          const uint16_t g = coin() ? 0 : group();
          r.bytes[2 * i] = static_cast<uint8_t>(g >> 8);
          r.bytes[2 * i + 1] = static_cast<uint8_t>(g);
        }
        break;
      default:
        r.family = TARN_AF_INET6;
        for (uint8_t& b : r.bytes) b = static_cast<uint8_t>(rng_());
        break;
    }
    return r;
  }

  // Some other spelling of `r` that the grammar accepts: any case, leading
  // zeros in groups, "::" over any zero run (or none), and for a mapped
  // address hex or dotted tails.
  std::string spelling(const ref::Addr& r) {
    if (r.family == TARN_AF_INET) return ref::addr_format(r);
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = r.bytes[2 * i] * 256u + r.bytes[2 * i + 1];
    bool mapped = r.bytes[10] == 0xFF && r.bytes[11] == 0xFF;
    for (int i = 0; i < 10; ++i) mapped = mapped && r.bytes[i] == 0;
    const bool dotted = mapped && coin();
    const int ngroups = dotted ? 6 : 8;
    // Pick a zero run to compress, or none.
    int cc_start = -1, cc_len = 0;
    if (coin()) {
      const int start = static_cast<int>(below(static_cast<unsigned>(ngroups)));
      int len = 0;
      while (start + len < ngroups && groups[start + len] == 0) ++len;
      if (len > 0) {
        cc_start = start;
        cc_len = 1 + static_cast<int>(below(static_cast<unsigned>(len)));
      }
    }
    std::string out;
    for (int i = 0; i < ngroups; ++i) {
      if (i == cc_start) {
        out += "::";
        i += cc_len - 1;
        continue;
      }
      if (!out.empty() && out.back() != ':') out += ':';
      char tmp[8];
      snprintf(tmp, sizeof tmp, coin() ? "%x" : "%X", groups[i]);
      std::string g = tmp;
      while (g.size() < 4 && coin()) g = "0" + g;
      out += g;
    }
    if (dotted) {
      if (!out.empty() && out.back() != ':') out += ':';
      char tmp[20];
      snprintf(tmp, sizeof tmp, "%u.%u.%u.%u", r.bytes[12], r.bytes[13], r.bytes[14], r.bytes[15]);
      out += tmp;
    }
    return out;
  }

  // A string over the grammar's alphabet plus the bytes that must be refused.
  std::string junk(size_t max_len) {
    static const char kAlphabet[] =
        "0123456789abcdefABCDEF.:/% \x80\xff"
        "g";
    const size_t n = below(static_cast<unsigned>(max_len + 1));
    std::string s;
    for (size_t i = 0; i < n; ++i) {
      // Weighted toward digits, ':' and '.', so that near-misses are common.
      const unsigned k = below(10);
      if (k < 4) {
        s += static_cast<char>('0' + below(10));
      } else if (k < 6) {
        s += ':';
      } else if (k < 7) {
        s += '.';
      } else if (k < 8) {
        s += '\0';  // stops the text early
      } else {
        s += kAlphabet[below(sizeof kAlphabet - 1)];
      }
    }
    return s;
  }

  // `text` with one to three bytes inserted, removed or replaced.
  std::string mutate(std::string text) {
    const unsigned edits = 1 + below(3);
    for (unsigned e = 0; e < edits; ++e) {
      const std::string c = junk(1);
      const char ch = c.empty() ? ':' : c[0];
      const unsigned pos = below(static_cast<unsigned>(text.size() + 1));
      switch (below(3)) {
        case 0:
          text.insert(text.begin() + pos, ch);
          break;
        case 1:
          if (pos < text.size()) text.erase(pos, 1);
          break;
        default:
          if (pos < text.size()) text[pos] = ch;
          break;
      }
    }
    return text;
  }

 private:
  std::mt19937_64 rng_;
};

TEST_P(AddrRandom, FormatAgreesWithReference) {
  Random rnd(1);
  for (int i = 0; i < 20000 && !::testing::Test::HasFailure(); ++i) {
    const ref::Addr r = rnd.address();
    const tarn_addr_t a = to_core(r);
    const std::string want = ref::addr_format(r);
    SCOPED_TRACE(want);
    EXPECT_EQ(format(a), want);
    expect_round_trip(a);
  }
}

// The column printer: texts back to back with their ends, nulls empty,
// each text that of the reference; room that runs out stops it at the text
// that did not fit, with the ones before it in place.
TEST_P(AddrRandom, ColumnFormatAgreesWithReference) {
  Random rnd(7);
  std::vector<tarn_addr_t> addrs;
  std::vector<std::string> want;
  for (int i = 0; i < 3000; ++i) {
    if (i % 17 == 0) {
      addrs.push_back(tarn_addr_t{});  // a null slot
      want.emplace_back();
      continue;
    }
    const ref::Addr r = rnd.address();
    addrs.push_back(to_core(r));
    want.push_back(ref::addr_format(r));
  }
  size_t total = 0;
  for (const std::string& w : want) total += w.size();
  std::vector<char> buf(total + TARN_ADDR_STRLEN);
  std::vector<int64_t> ends(addrs.size(), -1);
  ASSERT_EQ(tarn_addr_format_texts(addrs.data(), addrs.size(), buf.data(), buf.size(), ends.data()),
            TARN_OK);
  for (size_t i = 0, start = 0; i < addrs.size(); start = static_cast<size_t>(ends[i]), ++i) {
    ASSERT_EQ(std::string(buf.data() + start, static_cast<size_t>(ends[i]) - start), want[i]) << i;
  }
  // One byte short of the room the last text needs.
  std::fill(ends.begin(), ends.end(), -1);
  const size_t last_start = total - want.back().size();
  EXPECT_EQ(tarn_addr_format_texts(addrs.data(), addrs.size(), buf.data(),
                                   last_start + TARN_ADDR_STRLEN - 1, ends.data()),
            TARN_ERR_INVAL);
  EXPECT_EQ(ends[addrs.size() - 2], static_cast<int64_t>(last_start));
  EXPECT_EQ(ends.back(), -1);
  EXPECT_EQ(tarn_addr_format_texts(nullptr, 0, nullptr, 0, nullptr), TARN_OK);
  EXPECT_EQ(tarn_addr_format_texts(addrs.data(), 1, nullptr, 64, ends.data()), TARN_ERR_INVAL);
  EXPECT_EQ(tarn_addr_format_texts(addrs.data(), 1, buf.data(), 64, nullptr), TARN_ERR_INVAL);
}

// The column printer may write all of a text's room, and nothing past it:
// one text per call with exactly TARN_ADDR_STRLEN bytes of room, each of
// the longest texts of its kind, inside a buffer whose bytes past the room
// must keep their fill.
TEST_P(AddrFormat, ColumnTextStaysInItsRoom) {
  const char* const texts[] = {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
                               "1234:5678:9abc:def0:1234:5678:9abc:def0",
                               "::ffff:255.255.255.255",
                               "255.255.255.255",
                               "1:0:1:0:1:0:1:0",
                               "::"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    tarn_addr_t a;
    ASSERT_EQ(tarn_addr_parse(text, &a), TARN_OK);
    std::vector<char> buf(TARN_ADDR_STRLEN + 64, 'Z');
    int64_t end = -1;
    ASSERT_EQ(tarn_addr_format_texts(&a, 1, buf.data(), TARN_ADDR_STRLEN, &end), TARN_OK);
    EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(end)), text);
    for (size_t i = TARN_ADDR_STRLEN; i < buf.size(); ++i) ASSERT_EQ(buf[i], 'Z') << i;
  }
}

TEST_P(AddrRandom, EverySpellingParses) {
  Random rnd(2);
  for (int i = 0; i < 20000 && !::testing::Test::HasFailure(); ++i) {
    const ref::Addr r = rnd.address();
    const std::string text = rnd.spelling(r);
    SCOPED_TRACE(text);
    tarn_addr_t a;
    ASSERT_EQ(parse_tight(text, &a), TARN_OK);
    EXPECT_TRUE(same_address(a, r));
    expect_agrees_with_reference(text);
  }
}

TEST_P(AddrRandom, JunkAgreesWithReference) {
  Random rnd(3);
  for (int i = 0; i < 60000 && !::testing::Test::HasFailure(); ++i) {
    expect_agrees_with_reference(rnd.junk(i % 2 == 0 ? 12 : 48));
  }
}

TEST_P(AddrRandom, MutationsAgreeWithReference) {
  Random rnd(4);
  int accepted = 0;
  for (int i = 0; i < 40000 && !::testing::Test::HasFailure(); ++i) {
    const std::string text = rnd.mutate(rnd.spelling(rnd.address()));
    expect_agrees_with_reference(text);
    accepted += ref::addr_parse(text).has_value();
  }
  // The mutations must exercise both outcomes to mean anything.
  EXPECT_GT(accepted, 1000);
  EXPECT_LT(accepted, 39000);
}

// ----------------------------------------------------------------------------
// Every SIMD path against the portable one, byte for byte
// ----------------------------------------------------------------------------

// Two readable pages followed by an inaccessible one.  place() puts a text
// so that its NUL lies `slack` bytes before the inaccessible page: a load
// past the NUL that leaves the page faults.  straddle() starts a text
// `before` bytes before the end of the first page, so that it runs on into
// the second: the SIMD paths must then copy it rather than load in place.
class PageEnd {
 public:
  PageEnd() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    void* m = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = m == MAP_FAILED ? nullptr : static_cast<char*>(m);
    if (base_ != nullptr && mprotect(base_ + 2 * page_, page_, PROT_NONE) != 0) {
      munmap(base_, 3 * page_);
      base_ = nullptr;
    }
  }
  ~PageEnd() {
    if (base_ != nullptr) munmap(base_, 3 * page_);
  }
  PageEnd(const PageEnd&) = delete;
  PageEnd& operator=(const PageEnd&) = delete;
  bool ok() const { return base_ != nullptr; }
  const char* place(const std::string& text, size_t slack) {
    return put(text, 2 * page_ - slack - strnlen(text.data(), text.size()) - 1);
  }
  const char* straddle(const std::string& text, size_t before) { return put(text, page_ - before); }
  // The text at the start of the last TARN_ADDR_PARSE_PADDING readable
  // bytes, the bytes after its NUL set to `fill`: the most a padded parse
  // may read ends at the inaccessible page.
  const char* padded_end(const std::string& text, char fill) {
    char* at = base_ + 2 * page_ - TARN_ADDR_PARSE_PADDING;
    memset(at, fill, TARN_ADDR_PARSE_PADDING);
    return put(text.substr(0, TARN_ADDR_PARSE_PADDING - 1), 2 * page_ - TARN_ADDR_PARSE_PADDING);
  }

 private:
  const char* put(const std::string& text, size_t at) {
    const size_t n = strnlen(text.data(), text.size());
    memcpy(base_ + at, text.data(), n);
    base_[at + n] = '\0';
    return base_ + at;
  }
  size_t page_;
  char* base_;
};

// The whole record after a parse at `level` of a record filled with 0xA5.
struct Outcome {
  tarn_err_t err;
  tarn_addr_t addr;
};

// `parse` (tarn_addr_parse unless given) at `level`.
Outcome parse_at(int level, const char* text,
                 tarn_err_t (*parse)(const char*, tarn_addr_t*) = tarn_addr_parse) {
  EXPECT_TRUE(tarn_addr_text_level_force(level));
  Outcome o;
  memset(&o.addr, 0xA5, sizeof o.addr);
  o.err = parse(text, &o.addr);
  return o;
}

// A dotted quad broken the ways the IPv4 paths must catch.
std::string break_quad(Random& rnd, std::string t) {
  const size_t dot = t.find('.', rnd.below(static_cast<unsigned>(t.size())));
  switch (rnd.below(6)) {
    case 0:  // a leading zero
      t.insert(dot == std::string::npos ? 0 : dot + 1, "0");
      break;
    case 1:  // an octet of 256 or more
      t.replace(0, t.find('.'), std::to_string(256 + rnd.below(744)));
      break;
    case 2:  // a dot too many, or too few
      t = rnd.coin() ? t + "." + std::to_string(rnd.below(256)) : t.substr(0, t.rfind('.'));
      break;
    case 3:  // a byte of 0x80 or above
      t[rnd.below(static_cast<unsigned>(t.size()))] = static_cast<char>(0x80 + rnd.below(128));
      break;
    default:  // one byte changed, inserted or removed
      t = rnd.mutate(t);
      break;
  }
  return t;
}

TEST(AddrLevels, SimdAgreesWithPortable) {
  const int best = tarn_addr_text_level_best();
  if (best == TARN_TEXT_PORTABLE) GTEST_SKIP() << "no SIMD path on this machine or build";
  PageEnd page_end;
  ASSERT_TRUE(page_end.ok());
  Random rnd(5);
  int ipv4_compared = 0;
  for (int i = 0; i < 40000 && !::testing::Test::HasFailure(); ++i) {
    const ref::Addr r = rnd.address();
    std::string text = rnd.spelling(r);
    switch (i % 4) {
      case 0:
        break;
      case 1:
        text = r.family == TARN_AF_INET ? break_quad(rnd, text) : rnd.mutate(text);
        break;
      case 2:
        text = rnd.mutate(text);
        break;
      default:
        text = rnd.junk(i % 8 == 3 ? 16 : 48);
        break;
    }
    TailText heap(text);
    SCOPED_TRACE(escaped(heap.ptr));
    const Outcome want = parse_at(TARN_TEXT_PORTABLE, heap.ptr);
    // The NUL at the page end, or up to 80 bytes before it: the windows of
    // the SIMD paths then end on either side of the page end.
    const size_t slack = i % 2 == 0 ? 0 : rnd.below(81);
    for (int level = TARN_TEXT_PORTABLE + 1; level <= best; ++level) {
      for (const char* at : {static_cast<const char*>(heap.ptr), page_end.place(text, slack),
                             page_end.straddle(text, 1 + rnd.below(64))}) {
        const Outcome got = parse_at(level, at);
        ASSERT_EQ(got.err, want.err) << "level " << level;
        ASSERT_EQ(memcmp(&got.addr, &want.addr, sizeof want.addr), 0) << "level " << level;
      }
      // Padded, with whatever follows the NUL: the text read in place up
      // to the page end, or where it runs on into the next page.
      if (text.size() < TARN_ADDR_PARSE_PADDING) {
        const char fill = static_cast<char>(rnd.coin() ? 0 : 1 + rnd.below(255));
        for (const char* at :
             {page_end.padded_end(text, fill), page_end.straddle(text, 1 + rnd.below(64))}) {
          const Outcome got = parse_at(level, at, tarn_addr_parse_padded);
          ASSERT_EQ(got.err, want.err) << "padded, level " << level;
          ASSERT_EQ(memcmp(&got.addr, &want.addr, sizeof want.addr), 0)
              << "padded, level " << level;
        }
      }
    }
    // glibc's inet_pton reads IPv4 as strictly as we do (no leading zeros,
    // exactly four octets); texts with a ':' are IPv6 to us.
    if (strchr(heap.ptr, ':') == nullptr) {
      uint8_t v4[4];
      const bool pton_ok = inet_pton(AF_INET, heap.ptr, v4) == 1;
      ASSERT_EQ(want.err == TARN_OK, pton_ok);
      if (pton_ok) {
        ASSERT_EQ(memcmp(v4, want.addr.addr.v4, 4), 0);
      }
      ++ipv4_compared;
    }
  }
  tarn_addr_text_level_force(best);
  EXPECT_GT(ipv4_compared, 5000);
}

TEST(AddrLevels, TextsRunningIntoTheNextPage) {
  // A copy of the first 15 bytes of these is a valid text: the copy made
  // near a page end must keep 16 bytes, or they pass.
  const char* const texts[] = {"255.255.255.2555",        "255.255.255.255.", "255.255.255.255",
                               "::ffff:255.255.255.2555", "::ffff:1.2.3.4",   "1:2:3:4:5:6:7:8",
                               "1:2:3:4:5:6:7:8:9",       "::ffff:1.2.3.4.5"};
  PageEnd page_end;
  ASSERT_TRUE(page_end.ok());
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    const Outcome want = parse_at(TARN_TEXT_PORTABLE, text);
    for (int level = TARN_TEXT_PORTABLE; level <= tarn_addr_text_level_best(); ++level) {
      for (size_t before = 1; before <= 64; ++before) {
        const Outcome got = parse_at(level, page_end.straddle(text, before));
        ASSERT_EQ(got.err, want.err) << "level " << level << ", " << before << " bytes before";
        ASSERT_EQ(memcmp(&got.addr, &want.addr, sizeof want.addr), 0) << "level " << level;
      }
    }
  }
  tarn_addr_text_level_force(tarn_addr_text_level_best());
}

TEST(AddrLevels, ForceRefusesMissingLevels) {
  EXPECT_FALSE(tarn_addr_text_level_force(-1));
  EXPECT_FALSE(tarn_addr_text_level_force(tarn_addr_text_level_best() + 1));
  EXPECT_TRUE(tarn_addr_text_level_force(TARN_TEXT_PORTABLE));
  EXPECT_TRUE(tarn_addr_text_level_force(tarn_addr_text_level_best()));
}

}  // namespace
