// prefix_fuzz.cpp - libFuzzer target for prefix text and prefix arithmetic,
// against the reference parser and integer (unsigned __int128) arithmetic.
//
// Input: any bytes, read twice.
//   1. As text (up to the first NUL, at the end of a heap block):
//      tarn_prefix_parse against a reference built on the slow address
//      parser, codes and order of checks included; what parses is printed
//      and parsed back.
//   2. As records (fuzz_records.h).  Header bits 2-7 (`own`): own % 9 is the
//      subnet step (target length = A's length + it).  Records 0 and 1,
//      decoded as clean canonical prefixes of the header's family (zero
//      bytes stand in for missing ones), are A and B; X is B's probe address.
//      On them: mask, first, last, broadcast, contains, overlaps, cmp,
//      supernet, from_host, the subnet iterator (every subnet of a step of up
//      to 8 bits; the first 64 towards B's length), range_to_prefixes from
//      A's probe to X, and addr_cmp.  All records, hostile ones included
//      when the header allows them, go through tarn_prefix_span, and their
//      probes through tarn_addr_span.
//   Results are compared whole; out-parameters start as 0xA5 bytes and must
//   stay so wherever the contract says nothing is written.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_records.h"
#include "pytarn.h"
#include "ref_intervals.h"
#include "support/ref_addr.h"
#include "support/ref_prefix.h"

namespace {

using ref_prefix::u128;

constexpr uint8_t kFill = 0xA5;
constexpr size_t kMaxSpanRecords = 32;
constexpr size_t kUntouchedCount = 0xA5A5A5A5;

template <typename T>
T filled() {
  T v;
  memset(&v, kFill, sizeof v);
  return v;
}

template <typename T>
bool untouched(const T& v) {
  const T f = filled<T>();
  return memcmp(&v, &f, sizeof v) == 0;
}

size_t sig_len(tarn_family_t family) { return family == TARN_AF_INET ? 4 : 16; }

// Family and significant bytes equal; for prefixes the length too.
bool same_addr(const tarn_addr_t& a, tarn_family_t family, u128 value) {
  tarn_addr_t w;
  memset(&w, 0, sizeof w);
  ref_prefix::from_int(family, value, &w);
  return a.family == family && memcmp(a.addr.v6, w.addr.v6, sig_len(family)) == 0;
}
bool same_prefix(const tarn_prefix_t& p, tarn_family_t family, u128 net, unsigned len) {
  return same_addr(p.addr, family, net) && p.pfxlen == len;
}

// --- text ------------------------------------------------------------------

// The reference of tarn_prefix_parse, from its contract: split at the last
// '/'; the address part (1..45 bytes) must parse; the length is decimal
// digits only, leading zeros allowed, at most the family maximum; host bits
// clear.  Codes in that order.
tarn_err_t ref_prefix_parse(const std::string& s, tarn_prefix_t* out) {
  const size_t slash = s.rfind('/');
  if (slash == std::string::npos || slash == 0 || slash > 45) return TARN_ERR_PARSE;
  const std::optional<ref::Addr> a = ref::addr_parse(s.substr(0, slash));
  if (!a) return TARN_ERR_PARSE;
  const std::string digits = s.substr(slash + 1);
  if (digits.empty()) return TARN_ERR_PFXLEN;
  unsigned len = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return TARN_ERR_PFXLEN;
    len = len * 10 + static_cast<unsigned>(c - '0');
    if (len > 1000) len = 1000;  // saturate: anything this large is refused anyway
  }
  if (len > ref_prefix::bits(a->family)) return TARN_ERR_PFXLEN;
  memset(out, 0, sizeof *out);
  out->addr.family = a->family;
  memcpy(out->addr.addr.v6, a->bytes, 16);
  out->pfxlen = static_cast<uint8_t>(len);
  const u128 v = ref_prefix::to_int(out->addr);
  if ((v & ~ref_prefix::mask(a->family, len)) != 0) return TARN_ERR_HOSTBITS;
  return TARN_OK;
}

void check_prefix_text(const uint8_t* data, size_t size) {
  const size_t n = strnlen(reinterpret_cast<const char*>(data), size);
  char* text = static_cast<char*>(malloc(n + 1));
  if (text == nullptr) return;
  memcpy(text, data, n);
  text[n] = '\0';
  const std::string s(text, n), hex = fuzz_hex(text, n);
  tarn_prefix_t got = filled<tarn_prefix_t>(), want;
  const tarn_err_t rc = tarn_prefix_parse(text, &got);
  free(text);
  const tarn_err_t want_rc = ref_prefix_parse(s, &want);
  FUZZ_REQUIRE(rc == want_rc, "tarn_prefix_parse(hex %s): %s, reference %s", hex.c_str(),
               tarn_strerror(rc), tarn_strerror(want_rc));
  if (rc != TARN_OK) {
    FUZZ_REQUIRE(untouched(got), "tarn_prefix_parse(hex %s): failure wrote the output",
                 hex.c_str());
    return;
  }
  FUZZ_REQUIRE(same_prefix(got, want.addr.family, ref_prefix::to_int(want.addr), want.pfxlen),
               "tarn_prefix_parse(hex %s): %s, reference %s", hex.c_str(), fuzz_text(got).c_str(),
               fuzz_text(want).c_str());

  char buf[TARN_PREFIX_STRLEN];
  FUZZ_REQUIRE(tarn_prefix_format(&got, buf, sizeof buf) == TARN_OK, "tarn_prefix_format(%s)",
               fuzz_text(got).c_str());
  ref::Addr ra;
  ra.family = got.addr.family;
  memcpy(ra.bytes, got.addr.addr.v6, sig_len(ra.family));
  const std::string want_text = ref::addr_format(ra) + "/" + std::to_string(got.pfxlen);
  FUZZ_REQUIRE(want_text == buf, "tarn_prefix_format(%s): \"%s\", reference \"%s\"",
               fuzz_text(got).c_str(), buf, want_text.c_str());
  tarn_prefix_t back = filled<tarn_prefix_t>();
  FUZZ_REQUIRE(tarn_prefix_parse(buf, &back) == TARN_OK &&
                   same_prefix(back, got.addr.family, ref_prefix::to_int(got.addr), got.pfxlen),
               "tarn_prefix_parse(\"%s\"): does not give back %s", buf, fuzz_text(got).c_str());
}

// --- arithmetic --------------------------------------------------------------

struct Pair {
  tarn_prefix_t a, b;
  tarn_addr_t a_probe, x;
  uint8_t a_len_byte;  // A's raw length byte, for from_host
  unsigned step;       // subnet step in bits
};

Pair decode_pair(const uint8_t* data, size_t size) {
  uint8_t buf[1 + 2 * kRecordLen] = {};
  memcpy(buf, data, size < sizeof buf ? size : sizeof buf);
  FuzzHeader h = fuzz_header(buf, sizeof buf);
  h.hostile = false;
  const std::vector<FuzzRecord> r = fuzz_records(buf, sizeof buf, h, 2);
  Pair q;
  q.a = r[0].prefix;
  q.b = r[1].prefix;
  q.a_probe = r[0].probe;
  q.x = r[1].probe;
  q.a_len_byte = buf[2];
  q.step = h.own % 9u;
  return q;
}

void check_addresses(const tarn_prefix_t& p) {
  const tarn_family_t f = p.addr.family;
  const u128 net = ref_prefix::to_int(p.addr);
  const unsigned len = p.pfxlen;
  tarn_addr_t out = filled<tarn_addr_t>();
  FUZZ_REQUIRE(tarn_prefix_mask(&p, &out) == TARN_OK && same_addr(out, f, ref_prefix::mask(f, len)),
               "tarn_prefix_mask(%s): %s", fuzz_text(p).c_str(), fuzz_text(out).c_str());
  out = filled<tarn_addr_t>();
  FUZZ_REQUIRE(tarn_prefix_first(&p, &out) == TARN_OK && same_addr(out, f, net),
               "tarn_prefix_first(%s): %s", fuzz_text(p).c_str(), fuzz_text(out).c_str());
  const u128 last = ref_prefix::last(f, net, len);
  out = filled<tarn_addr_t>();
  FUZZ_REQUIRE(tarn_prefix_last(&p, &out) == TARN_OK && same_addr(out, f, last),
               "tarn_prefix_last(%s): %s", fuzz_text(p).c_str(), fuzz_text(out).c_str());
  out = filled<tarn_addr_t>();
  const tarn_err_t rc = tarn_prefix_broadcast(&p, &out);
  if (f == TARN_AF_INET)
    FUZZ_REQUIRE(rc == TARN_OK && same_addr(out, f, last), "tarn_prefix_broadcast(%s): %s",
                 fuzz_text(p).c_str(), fuzz_text(out).c_str());
  else
    FUZZ_REQUIRE(rc == TARN_ERR_FAMILY && untouched(out), "tarn_prefix_broadcast(%s): %s",
                 fuzz_text(p).c_str(), tarn_strerror(rc));
}

void check_relations(const Pair& q) {
  const tarn_family_t f = q.a.addr.family;
  const u128 na = ref_prefix::to_int(q.a.addr), nb = ref_prefix::to_int(q.b.addr);
  const u128 x = ref_prefix::to_int(q.x);
  bool yes = false;
  FUZZ_REQUIRE(tarn_prefix_contains(&q.a, &q.x, &yes) == TARN_OK &&
                   yes == ref_prefix::contains(f, na, q.a.pfxlen, x),
               "tarn_prefix_contains(%s, %s): %d", fuzz_text(q.a).c_str(), fuzz_text(q.x).c_str(),
               yes);
  tarn_addr_t other = q.x;
  other.family = f == TARN_AF_INET ? TARN_AF_INET6 : TARN_AF_INET;
  FUZZ_REQUIRE(tarn_prefix_contains(&q.a, &other, &yes) == TARN_ERR_FAMILY,
               "tarn_prefix_contains(%s, %s): not a family error", fuzz_text(q.a).c_str(),
               fuzz_text(other).c_str());
  FUZZ_REQUIRE(tarn_prefix_overlaps(&q.a, &q.b, &yes) == TARN_OK &&
                   yes == ref_prefix::overlaps(f, na, q.a.pfxlen, nb, q.b.pfxlen),
               "tarn_prefix_overlaps(%s, %s): %d", fuzz_text(q.a).c_str(), fuzz_text(q.b).c_str(),
               yes);
  int order = 9;
  FUZZ_REQUIRE(tarn_prefix_cmp(&q.a, &q.b, &order) == TARN_OK &&
                   order == ref_prefix::cmp(na, q.a.pfxlen, nb, q.b.pfxlen),
               "tarn_prefix_cmp(%s, %s): %d", fuzz_text(q.a).c_str(), fuzz_text(q.b).c_str(),
               order);
  const u128 pa = ref_prefix::to_int(q.a_probe);
  order = 9;
  const int want_order = pa < x ? -1 : pa > x ? 1 : 0;
  FUZZ_REQUIRE(tarn_addr_cmp(&q.a_probe, &q.x, &order) == TARN_OK && order == want_order,
               "tarn_addr_cmp(%s, %s): %d", fuzz_text(q.a_probe).c_str(), fuzz_text(q.x).c_str(),
               order);
}

void check_supernet_and_host(const Pair& q) {
  const tarn_prefix_t& p = q.a;
  const tarn_family_t f = p.addr.family;
  tarn_prefix_t out = filled<tarn_prefix_t>();
  const tarn_err_t rc = tarn_prefix_supernet(&p, &out);
  if (p.pfxlen == 0) {
    FUZZ_REQUIRE(rc == TARN_ERR_OVERFLOW && untouched(out), "tarn_prefix_supernet(%s): %s",
                 fuzz_text(p).c_str(), tarn_strerror(rc));
  } else {
    const unsigned len = p.pfxlen - 1u;
    const u128 net = ref_prefix::to_int(p.addr) & ref_prefix::mask(f, len);
    FUZZ_REQUIRE(rc == TARN_OK && same_prefix(out, f, net, len), "tarn_prefix_supernet(%s): %s",
                 fuzz_text(p).c_str(), fuzz_text(out).c_str());
    tarn_prefix_t in_place = p;
    FUZZ_REQUIRE(
        tarn_prefix_supernet(&in_place, &in_place) == TARN_OK && same_prefix(in_place, f, net, len),
        "tarn_prefix_supernet(%s) in place: %s", fuzz_text(p).c_str(), fuzz_text(in_place).c_str());
  }

  const unsigned raw = q.a_len_byte;
  out = filled<tarn_prefix_t>();
  const tarn_err_t hrc = tarn_prefix_from_host(&q.a_probe, q.a_len_byte, &out);
  if (raw > ref_prefix::bits(f)) {
    FUZZ_REQUIRE(hrc == TARN_ERR_PFXLEN && untouched(out), "tarn_prefix_from_host(%s, %u): %s",
                 fuzz_text(q.a_probe).c_str(), raw, tarn_strerror(hrc));
  } else {
    const u128 net = ref_prefix::to_int(q.a_probe) & ref_prefix::mask(f, raw);
    FUZZ_REQUIRE(hrc == TARN_OK && same_prefix(out, f, net, raw),
                 "tarn_prefix_from_host(%s, %u): %s", fuzz_text(q.a_probe).c_str(), raw,
                 fuzz_text(out).c_str());
    if (f == TARN_AF_INET)
      for (size_t i = 4; i < 16; i++)
        FUZZ_REQUIRE(out.addr.addr.v6[i] == kFill, "tarn_prefix_from_host(%s, %u): wrote byte %zu",
                     fuzz_text(q.a_probe).c_str(), raw, i);
  }
}

// Walks the subnets of `p` at `target`: all of them when there are at most
// `limit`, then the iterator must be exhausted; otherwise the first `limit`.
void check_subnets(const tarn_prefix_t& p, unsigned target, unsigned limit) {
  const tarn_family_t f = p.addr.family;
  const unsigned bits = ref_prefix::bits(f);
  tarn_subnet_iter_t it = filled<tarn_subnet_iter_t>();
  const tarn_err_t rc = tarn_subnet_iter_init(&it, &p, static_cast<uint8_t>(target));
  if (target <= p.pfxlen || target > bits) {
    FUZZ_REQUIRE(rc == TARN_ERR_PFXLEN && untouched(it), "tarn_subnet_iter_init(%s, %u): %s",
                 fuzz_text(p).c_str(), target, tarn_strerror(rc));
    return;
  }
  FUZZ_REQUIRE(rc == TARN_OK, "tarn_subnet_iter_init(%s, %u): %s", fuzz_text(p).c_str(), target,
               tarn_strerror(rc));
  const unsigned step_bits = target - p.pfxlen;
  const bool all = step_bits < 32 && (u128{1} << step_bits) <= limit;
  const unsigned n = all ? 1u << step_bits : limit;
  const u128 net = ref_prefix::to_int(p.addr), stride = u128{1} << (bits - target);
  for (unsigned i = 0; i < n; i++) {
    tarn_prefix_t out = filled<tarn_prefix_t>();
    const tarn_err_t nrc = tarn_subnet_iter_next(&it, &out);
    FUZZ_REQUIRE(nrc == TARN_OK && same_prefix(out, f, net + stride * i, target),
                 "tarn_subnet_iter_next(%s -> /%u) step %u: %s %s", fuzz_text(p).c_str(), target, i,
                 tarn_strerror(nrc), fuzz_text(out).c_str());
  }
  if (!all) return;
  for (int again = 0; again < 2; again++) {
    tarn_prefix_t out = filled<tarn_prefix_t>();
    const tarn_err_t nrc = tarn_subnet_iter_next(&it, &out);
    FUZZ_REQUIRE(nrc == TARN_ERR_DONE && untouched(out),
                 "tarn_subnet_iter_next(%s -> /%u) after %u subnets: %s", fuzz_text(p).c_str(),
                 target, n, tarn_strerror(nrc));
  }
}

void check_range(const tarn_addr_t& first, const tarn_addr_t& last) {
  const tarn_family_t f = first.family;
  const u128 lo = ref_prefix::to_int(first), hi = ref_prefix::to_int(last);
  const unsigned bits = ref_prefix::bits(f);
  std::vector<tarn_prefix_t> out(2 * bits, filled<tarn_prefix_t>());
  size_t count = kUntouchedCount;
  const std::string what = fuzz_text(first) + ", " + fuzz_text(last);
  if (lo > hi) {
    const tarn_err_t rc = tarn_range_to_prefixes(&first, &last, out.data(), out.size(), &count);
    FUZZ_REQUIRE(rc == TARN_ERR_INVAL && count == kUntouchedCount && untouched(out[0]),
                 "tarn_range_to_prefixes(%s): first above last gave %s", what.c_str(),
                 tarn_strerror(rc));
    return;
  }
  std::vector<tarn_prefix_t> want;
  ref_intervals::cover_range(lo, hi, f, &want);
  FUZZ_REQUIRE(want.size() <= 2 * bits - 2 || want.size() == 1, "reference cover too long");
  tarn_err_t rc = tarn_range_to_prefixes(&first, &last, nullptr, 0, &count);
  FUZZ_REQUIRE(rc == TARN_ERR_INVAL && count == want.size(),
               "tarn_range_to_prefixes(%s) size query: %s, %zu, reference %zu", what.c_str(),
               tarn_strerror(rc), count, want.size());
  if (want.size() > 1) {
    count = kUntouchedCount;
    rc = tarn_range_to_prefixes(&first, &last, out.data(), want.size() - 1, &count);
    FUZZ_REQUIRE(rc == TARN_ERR_INVAL && count == want.size() && untouched(out[0]),
                 "tarn_range_to_prefixes(%s) one short: %s, %zu", what.c_str(), tarn_strerror(rc),
                 count);
  }
  rc = tarn_range_to_prefixes(&first, &last, out.data(), out.size(), &count);
  FUZZ_REQUIRE(rc == TARN_OK && count == want.size(), "tarn_range_to_prefixes(%s): %s, %zu of %zu",
               what.c_str(), tarn_strerror(rc), count, want.size());
  for (size_t i = 0; i < count; i++)
    FUZZ_REQUIRE(memcmp(&out[i], &want[i], sizeof out[i]) == 0,
                 "tarn_range_to_prefixes(%s) record %zu: %s, reference %s", what.c_str(), i,
                 fuzz_hex(&out[i], sizeof out[i]).c_str(),
                 fuzz_hex(&want[i], sizeof want[i]).c_str());
  tarn_addr_t other = last;
  other.family = f == TARN_AF_INET ? TARN_AF_INET6 : TARN_AF_INET;
  count = kUntouchedCount;
  rc = tarn_range_to_prefixes(&first, &other, out.data(), out.size(), &count);
  FUZZ_REQUIRE(rc == TARN_ERR_FAMILY && count == kUntouchedCount,
               "tarn_range_to_prefixes(%s) across families: %s", what.c_str(), tarn_strerror(rc));
}

// --- spans -------------------------------------------------------------------

// The family pass of the batch rules: the first record IPv4 or IPv6, a
// later one of family 0 TARN_ERR_INVAL, of another TARN_ERR_FAMILY; the
// first offender decides.
tarn_err_t ref_families(const std::vector<tarn_family_t>& families) {
  if (families.empty()) return TARN_ERR_INVAL;
  if (families[0] != TARN_AF_INET && families[0] != TARN_AF_INET6) return TARN_ERR_INVAL;
  for (tarn_family_t f : families) {
    if (f == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
    if (f != families[0]) return TARN_ERR_FAMILY;
  }
  return TARN_OK;
}

// The canonical pass: record by record, a length above the maximum or a
// host bit set; the first offender decides.
tarn_err_t ref_canonical(const std::vector<tarn_prefix_t>& v) {
  for (const tarn_prefix_t& p : v) {
    const tarn_family_t f = p.addr.family;
    if (p.pfxlen > ref_prefix::bits(f)) return TARN_ERR_PFXLEN;
    if ((ref_prefix::to_int(p.addr) & ~ref_prefix::mask(f, p.pfxlen)) != 0)
      return TARN_ERR_HOSTBITS;
  }
  return TARN_OK;
}

// The smallest prefix holding [lo, hi] of every record, as a zeroed record.
tarn_prefix_t ref_span(const std::vector<tarn_prefix_t>& v) {
  const tarn_family_t f = v[0].addr.family;
  u128 lo = ~u128{0}, hi = 0;
  for (const tarn_prefix_t& p : v) {
    const u128 first = ref_prefix::to_int(p.addr);
    lo = std::min(lo, first);
    hi = std::max(hi, ref_prefix::last(f, first, p.pfxlen));
  }
  const unsigned len = ref_intervals::common_length(lo, hi, f);
  tarn_prefix_t out;
  memset(&out, 0, sizeof out);
  ref_prefix::from_int(f, lo & ref_prefix::mask(f, len), &out.addr);
  out.pfxlen = static_cast<uint8_t>(len);
  return out;
}

void check_spans(const uint8_t* data, size_t size) {
  const FuzzHeader h = fuzz_header(data, size);
  const std::vector<FuzzRecord> records = fuzz_records(data, size, h, kMaxSpanRecords);
  if (records.empty()) return;
  const std::vector<tarn_prefix_t> prefixes = fuzz_prefixes(records);
  std::vector<tarn_family_t> families;
  for (const tarn_prefix_t& p : prefixes) families.push_back(p.addr.family);

  tarn_err_t want = ref_families(families);
  if (want == TARN_OK) want = ref_canonical(prefixes);
  tarn_prefix_t out = filled<tarn_prefix_t>();
  tarn_err_t rc = tarn_prefix_span(prefixes.data(), prefixes.size(), &out);
  FUZZ_REQUIRE(rc == want, "tarn_prefix_span(%zu records from %s): %s, reference %s",
               prefixes.size(), fuzz_text(prefixes[0]).c_str(), tarn_strerror(rc),
               tarn_strerror(want));
  if (rc == TARN_OK) {
    const tarn_prefix_t w = ref_span(prefixes);
    FUZZ_REQUIRE(memcmp(&out, &w, sizeof out) == 0, "tarn_prefix_span: %s, reference %s",
                 fuzz_hex(&out, sizeof out).c_str(), fuzz_hex(&w, sizeof w).c_str());
  } else {
    FUZZ_REQUIRE(untouched(out), "tarn_prefix_span: failure wrote the output");
  }

  // Each address spans itself as a host route.
  const std::vector<tarn_addr_t> probes = fuzz_probes(records);
  std::vector<tarn_prefix_t> hosts;
  for (const tarn_addr_t& a : probes) {
    tarn_prefix_t p;
    memset(&p, 0, sizeof p);
    p.addr = a;
    p.pfxlen = static_cast<uint8_t>(ref_prefix::bits(a.family));
    hosts.push_back(p);
  }
  want = ref_families(families);
  out = filled<tarn_prefix_t>();
  rc = tarn_addr_span(probes.data(), probes.size(), &out);
  FUZZ_REQUIRE(rc == want, "tarn_addr_span(%zu addresses from %s): %s, reference %s", probes.size(),
               fuzz_text(probes[0]).c_str(), tarn_strerror(rc), tarn_strerror(want));
  if (rc == TARN_OK) {
    const tarn_prefix_t w = ref_span(hosts);
    FUZZ_REQUIRE(memcmp(&out, &w, sizeof out) == 0, "tarn_addr_span: %s, reference %s",
                 fuzz_hex(&out, sizeof out).c_str(), fuzz_hex(&w, sizeof w).c_str());
  } else {
    FUZZ_REQUIRE(untouched(out), "tarn_addr_span: failure wrote the output");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_prefix_text(data, size);

  const Pair q = decode_pair(data, size);
  check_addresses(q.a);
  check_relations(q);
  check_supernet_and_host(q);
  check_subnets(q.a, q.a.pfxlen + q.step, 256);
  check_subnets(q.a, q.b.pfxlen, 64);
  check_range(q.a_probe, q.x);  // one of the two is first above last, unless equal
  check_range(q.x, q.a_probe);
  check_spans(data, size);
  return 0;
}
