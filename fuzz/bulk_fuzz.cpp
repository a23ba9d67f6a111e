// bulk_fuzz.cpp - libFuzzer target for the batch functions and the set
// algebra, against the slow references: same return code, same output, and
// nothing written where the contract says so.
//
// Input: records as in fuzz_records.h (at most 64).  Header bits 2-7
// (`own`): own & 7 splits the records into A (the first n * (own & 7) / 7)
// and B (the rest); with hostile records allowed, own >> 3 also makes a sort
// order outside the two defined ones (2 + own >> 3).
//
// Every input runs through all of:
//   tarn_bulk_sort      both orders, on all records: the sort keys in order,
//                       the same records (byte for byte) rearranged, and for
//                       the descending order the stable arrangement exactly;
//   tarn_bulk_aggregate all records: ref_bulk::minimal_cover;
//   tarn_bulk_contains  every probe address against the prefixes of A: the
//                       first match in list order (ref_bulk::first_matches);
//   tarn_bulk_parse     the reference text of every probe address, with the
//                       text of hostile records corrupted by one byte;
//   tarn_set_*          A and B, through a size query, a capacity one short,
//                       the exact size and the documented bound: the minimal
//                       cover of the interval algebra (ref_intervals.h), the
//                       inputs left in network order once the checks passed.
// Codes follow each function's documented order of checks; on an error the
// arrays and counts stay as they were.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_records.h"
#include "pytarn.h"
#include "ref_intervals.h"
#include "support/ref_addr.h"
#include "support/ref_bulk.h"

namespace {

using ref_prefix::u128;

constexpr size_t kMaxRecords = 64;
constexpr size_t kUntouchedCount = 0xA5A5A5A5;
constexpr uint8_t kFill = 0xA5;

template <typename T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b) {
  return ref_bulk::same_bytes(a, b);
}

template <typename T>
std::vector<T> filled(size_t n) {
  std::vector<T> v(n);
  if (n > 0) memset(v.data(), kFill, n * sizeof(T));
  return v;
}

size_t sig_len(tarn_family_t family) { return family == TARN_AF_INET ? 4 : 16; }

bool same_value(const tarn_prefix_t& a, const tarn_prefix_t& b) {
  return a.addr.family == b.addr.family && a.pfxlen == b.pfxlen &&
         memcmp(a.addr.addr.v6, b.addr.addr.v6, sig_len(a.addr.family)) == 0;
}

std::string describe(const std::vector<tarn_prefix_t>& v) {
  std::string out = std::to_string(v.size()) + " records";
  for (size_t i = 0; i < v.size() && i < 8; i++) out += (i ? ", " : ": ") + fuzz_text(v[i]);
  return v.size() > 8 ? out + ", ..." : out;
}

// --- the documented checks -------------------------------------------------

// The family pass of the batch rules: the first record IPv4 or IPv6, a
// later one of family 0 TARN_ERR_INVAL, of another TARN_ERR_FAMILY; the
// first offender decides.  `families` is not empty.
tarn_err_t ref_families(const std::vector<tarn_family_t>& families) {
  if (families[0] != TARN_AF_INET && families[0] != TARN_AF_INET6) return TARN_ERR_INVAL;
  for (tarn_family_t f : families) {
    if (f == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
    if (f != families[0]) return TARN_ERR_FAMILY;
  }
  return TARN_OK;
}
tarn_err_t ref_families(const std::vector<tarn_prefix_t>& v) {
  std::vector<tarn_family_t> families;
  for (const tarn_prefix_t& p : v) families.push_back(p.addr.family);
  return ref_families(families);
}
tarn_err_t ref_families(const std::vector<tarn_addr_t>& v) {
  std::vector<tarn_family_t> families;
  for (const tarn_addr_t& a : v) families.push_back(a.family);
  return ref_families(families);
}

tarn_err_t ref_lengths(const std::vector<tarn_prefix_t>& v) {
  for (const tarn_prefix_t& p : v)
    if (p.pfxlen > ref_prefix::bits(p.addr.family)) return TARN_ERR_PFXLEN;
  return TARN_OK;
}

tarn_err_t ref_canonical(const std::vector<tarn_prefix_t>& v) {
  for (const tarn_prefix_t& p : v) {
    const tarn_family_t f = p.addr.family;
    if (p.pfxlen > ref_prefix::bits(f)) return TARN_ERR_PFXLEN;
    if ((ref_prefix::to_int(p.addr) & ~ref_prefix::mask(f, p.pfxlen)) != 0)
      return TARN_ERR_HOSTBITS;
  }
  return TARN_OK;
}

// --- sort --------------------------------------------------------------------

// The two documented orders on the significant bytes and the length:
// network order (address, then the shorter first) and length descending,
// then address.  The same keys as ref_bulk::sort_key, without building them.
bool key_less(const tarn_prefix_t& a, const tarn_prefix_t& b, tarn_sort_order_t order) {
  const int by_addr = memcmp(a.addr.addr.v6, b.addr.addr.v6, sig_len(a.addr.family));
  if (order == TARN_SORT_NETWORK_ASC) return by_addr != 0 ? by_addr < 0 : a.pfxlen < b.pfxlen;
  return a.pfxlen != b.pfxlen ? a.pfxlen > b.pfxlen : by_addr < 0;
}

// Sorted by key, then by every byte: the one arrangement of a multiset.
std::vector<tarn_prefix_t> canonical_order(std::vector<tarn_prefix_t> v, tarn_sort_order_t order) {
  std::sort(v.begin(), v.end(), [&](const tarn_prefix_t& a, const tarn_prefix_t& b) {
    if (key_less(a, b, order)) return true;
    if (key_less(b, a, order)) return false;
    return memcmp(&a, &b, sizeof a) < 0;
  });
  return v;
}

// `got` holds the records of `in`, in `order` by key.
bool is_sorted_permutation(const std::vector<tarn_prefix_t>& got,
                           const std::vector<tarn_prefix_t>& in, tarn_sort_order_t order) {
  for (size_t i = 1; i < got.size(); i++)
    if (key_less(got[i], got[i - 1], order)) return false;
  return same_bytes(canonical_order(got, order), canonical_order(in, order));
}

void check_sort(const std::vector<tarn_prefix_t>& in, tarn_sort_order_t order) {
  std::vector<tarn_prefix_t> v = in;
  const tarn_err_t rc = tarn_bulk_sort(v.empty() ? nullptr : v.data(), v.size(), order);
  tarn_err_t want = TARN_OK;
  if (!in.empty()) want = order > TARN_SORT_PFXLEN_DESC ? TARN_ERR_INVAL : ref_families(in);
  FUZZ_REQUIRE(rc == want, "tarn_bulk_sort(order %u, %s): %s, reference %s", order,
               describe(in).c_str(), tarn_strerror(rc), tarn_strerror(want));
  if (rc != TARN_OK || in.size() < 2) {
    FUZZ_REQUIRE(same_bytes(v, in), "tarn_bulk_sort(order %u, %s): changed the array", order,
                 describe(in).c_str());
    return;
  }
  FUZZ_REQUIRE(is_sorted_permutation(v, in, order),
               "tarn_bulk_sort(order %u, %s): not the records in order: %s", order,
               describe(in).c_str(), describe(v).c_str());
  if (order == TARN_SORT_PFXLEN_DESC) {
    std::vector<tarn_prefix_t> stable = in;
    std::stable_sort(stable.begin(), stable.end(),
                     [&](const auto& a, const auto& b) { return key_less(a, b, order); });
    FUZZ_REQUIRE(same_bytes(v, stable), "tarn_bulk_sort(descending, %s): equal records reordered",
                 describe(in).c_str());
  }
}

// --- aggregate -------------------------------------------------------------------

void check_aggregate(const std::vector<tarn_prefix_t>& in) {
  std::vector<tarn_prefix_t> v = in;
  size_t count = kUntouchedCount;
  const tarn_err_t rc = tarn_bulk_aggregate(v.empty() ? nullptr : v.data(), v.size(), &count);
  tarn_err_t want = TARN_OK;
  if (!in.empty()) want = ref_families(in);
  if (!in.empty() && want == TARN_OK) want = ref_canonical(in);
  FUZZ_REQUIRE(rc == want, "tarn_bulk_aggregate(%s): %s, reference %s", describe(in).c_str(),
               tarn_strerror(rc), tarn_strerror(want));
  if (rc != TARN_OK) {
    FUZZ_REQUIRE(count == kUntouchedCount && same_bytes(v, in),
                 "tarn_bulk_aggregate(%s): the error changed the array or the count",
                 describe(in).c_str());
    return;
  }
  const std::vector<tarn_prefix_t> cover =
      in.empty() ? std::vector<tarn_prefix_t>{} : ref_bulk::minimal_cover(in, in[0].addr.family);
  bool same = count == cover.size();
  for (size_t i = 0; same && i < count; i++) same = same_value(v[i], cover[i]);
  v.resize(std::min(count, v.size()));
  FUZZ_REQUIRE(same, "tarn_bulk_aggregate(%s): %s, reference %s", describe(in).c_str(),
               describe(v).c_str(), describe(cover).c_str());
}

// --- contains ----------------------------------------------------------------------

void check_contains(const std::vector<tarn_addr_t>& addrs,
                    const std::vector<tarn_prefix_t>& prefixes) {
  const size_t n = addrs.size();
  std::vector<ssize_t> matches = filled<ssize_t>(n);
  std::vector<tarn_err_t> errs = filled<tarn_err_t>(n);
  const tarn_err_t rc =
      tarn_bulk_contains(addrs.data(), n, prefixes.empty() ? nullptr : prefixes.data(),
                         prefixes.size(), matches.data(), errs.data());

  // The documented order: no addresses; no prefixes (nothing matches, the
  // addresses are not looked at); the addresses' families; the prefixes'
  // families; their lengths; addresses and prefixes of different families.
  tarn_err_t want = TARN_OK;
  std::vector<ssize_t> want_matches(n, -1);
  std::vector<tarn_err_t> want_errs(n, TARN_OK);
  bool written = true;
  if (n == 0) {
    written = false;
  } else if (!prefixes.empty()) {
    want = ref_families(addrs);
    if (want == TARN_OK) want = ref_families(prefixes);
    if (want == TARN_OK) want = ref_lengths(prefixes);
    if (want != TARN_OK) {
      written = false;
    } else if (addrs[0].family != prefixes[0].addr.family) {
      want = TARN_ERR_FAMILY;
      want_errs.assign(n, TARN_ERR_FAMILY);
    } else {
      want_matches = ref_bulk::first_matches(addrs, prefixes);
    }
  }
  if (!written) {
    want_matches = filled<ssize_t>(n);
    want_errs = filled<tarn_err_t>(n);
  }
  FUZZ_REQUIRE(rc == want, "tarn_bulk_contains(%zu addresses from %s, %s): %s, reference %s", n,
               n ? fuzz_text(addrs[0]).c_str() : "-", describe(prefixes).c_str(), tarn_strerror(rc),
               tarn_strerror(want));
  for (size_t i = 0; i < n; i++)
    FUZZ_REQUIRE(matches[i] == want_matches[i] && errs[i] == want_errs[i],
                 "tarn_bulk_contains(%s in %s): address %zu match %zd code %d, reference %zd %d",
                 fuzz_text(addrs[i]).c_str(), describe(prefixes).c_str(), i, matches[i], errs[i],
                 want_matches[i], want_errs[i]);
}

// --- parse -------------------------------------------------------------------------

// The reference text of a record's probe; a hostile record's text gets one
// byte (its last address byte) written over or inserted at a position
// chosen by its length byte.
std::string probe_text(const FuzzRecord& r, bool hostile) {
  ref::Addr a;
  a.family = r.probe.family == TARN_AF_INET ? TARN_AF_INET : TARN_AF_INET6;
  memcpy(a.bytes, r.probe.addr.v6, sig_len(a.family));
  std::string text = ref::addr_format(a);
  if (hostile && (r.ctl & 0x10)) {
    const size_t at = (r.len_byte & 0x7F) % (text.size() + 1);
    const char c = static_cast<char>(r.probe.addr.v6[15]);
    if ((r.len_byte & 0x80) && at < text.size())
      text[at] = c;
    else
      text.insert(text.begin() + static_cast<ptrdiff_t>(at), c);
  }
  return text;
}

void check_parse(const std::vector<FuzzRecord>& records, bool hostile) {
  const size_t n = records.size();
  std::vector<std::string> texts;
  std::vector<char*> tight;  // each text alone in a block of its own size
  for (const FuzzRecord& r : records) {
    texts.push_back(probe_text(r, hostile));
    const std::string& t = texts.back();
    const size_t len = strnlen(t.c_str(), t.size());
    char* p = static_cast<char*>(malloc(len + 1));
    memcpy(p, t.c_str(), len);
    p[len] = '\0';
    tight.push_back(p);
  }
  std::vector<const char*> srcs(tight.begin(), tight.end());
  std::vector<tarn_addr_t> out = filled<tarn_addr_t>(n), again = filled<tarn_addr_t>(n);
  std::vector<tarn_err_t> errs = filled<tarn_err_t>(n);
  const tarn_err_t rc = tarn_bulk_parse(srcs.data(), n, out.data(), errs.data());
  const tarn_err_t rc_again = tarn_bulk_parse(srcs.data(), n, again.data(), nullptr);
  for (char* p : tight) free(p);

  tarn_err_t want = TARN_OK;
  tarn_family_t seen = TARN_AF_UNSPEC;
  bool failed = false, mixed = false;
  for (size_t i = 0; i < n; i++) {
    const std::optional<ref::Addr> a = ref::addr_parse(texts[i]);
    const std::string hex = fuzz_hex(texts[i].data(), texts[i].size());
    if (!a) {
      failed = true;
      tarn_addr_t zero;
      memset(&zero, 0, sizeof zero);
      FUZZ_REQUIRE(errs[i] == TARN_ERR_PARSE && memcmp(&out[i], &zero, sizeof zero) == 0,
                   "tarn_bulk_parse item %zu (hex %s): code %d, record %s, reference refuses", i,
                   hex.c_str(), errs[i], fuzz_hex(&out[i], sizeof out[i]).c_str());
      continue;
    }
    if (seen == TARN_AF_UNSPEC) seen = a->family;
    mixed = mixed || a->family != seen;
    FUZZ_REQUIRE(errs[i] == TARN_OK && out[i].family == a->family &&
                     memcmp(out[i].addr.v6, a->bytes, sig_len(a->family)) == 0,
                 "tarn_bulk_parse item %zu (hex %s): code %d, %s, reference %s", i, hex.c_str(),
                 errs[i], fuzz_text(out[i]).c_str(),
                 fuzz_hex(a->bytes, sig_len(a->family)).c_str());
  }
  if (failed) want = TARN_ERR_PARSE;
  if (mixed) want = TARN_ERR_FAMILY;
  FUZZ_REQUIRE(rc == want && rc_again == want, "tarn_bulk_parse(%zu texts): %s, reference %s", n,
               tarn_strerror(rc), tarn_strerror(want));
  FUZZ_REQUIRE(same_bytes(out, again), "tarn_bulk_parse: the results depend on errs being null");
}

// --- set algebra ------------------------------------------------------------------

using SetFn = tarn_err_t (*)(tarn_prefix_t*, size_t, tarn_prefix_t*, size_t, tarn_prefix_t*, size_t,
                             size_t*);

struct SetOp {
  const char* name;
  SetFn fn;
};
const SetOp kSetOps[] = {{"tarn_set_union", tarn_set_union},
                         {"tarn_set_intersection", tarn_set_intersection},
                         {"tarn_set_difference", tarn_set_difference},
                         {"tarn_set_symmetric_difference", tarn_set_symmetric_difference}};

std::vector<tarn_prefix_t> ref_set(size_t op, const std::vector<tarn_prefix_t>& a,
                                   const std::vector<tarn_prefix_t>& b, tarn_family_t f) {
  using namespace ref_intervals;
  const u128 top = ref_prefix::all_ones(f);
  const IntervalSet x = of_prefixes(a, f), y = of_prefixes(b, f);
  switch (op) {
    case 0:
      return cover(unite(x, y, top), f);
    case 1:
      return cover(intersect(x, y), f);
    case 2:
      return cover(subtract(x, y, top), f);
    default:
      return cover(unite(subtract(x, y, top), subtract(y, x, top), top), f);
  }
}

tarn_err_t ref_set_checks(const std::vector<tarn_prefix_t>& a,
                          const std::vector<tarn_prefix_t>& b) {
  tarn_err_t rc = TARN_OK;
  if (!a.empty()) rc = ref_families(a);
  if (rc == TARN_OK && !b.empty()) rc = ref_families(b);
  if (rc == TARN_OK && !a.empty() && !b.empty() && a[0].addr.family != b[0].addr.family)
    rc = TARN_ERR_FAMILY;
  if (rc == TARN_OK) rc = ref_canonical(a);
  if (rc == TARN_OK) rc = ref_canonical(b);
  return rc;
}

// One call on fresh copies of a and b with `capacity` records of output.
struct SetCall {
  tarn_err_t rc;
  size_t count;
  std::vector<tarn_prefix_t> a, b, out;
};
SetCall call_set(SetFn fn, const std::vector<tarn_prefix_t>& a, const std::vector<tarn_prefix_t>& b,
                 size_t capacity) {
  SetCall c{TARN_OK, kUntouchedCount, a, b, filled<tarn_prefix_t>(capacity)};
  c.rc = fn(c.a.empty() ? nullptr : c.a.data(), c.a.size(), c.b.empty() ? nullptr : c.b.data(),
            c.b.size(), capacity ? c.out.data() : nullptr, capacity, &c.count);
  return c;
}

void check_set(size_t op, const std::vector<tarn_prefix_t>& a,
               const std::vector<tarn_prefix_t>& b) {
  const char* name = kSetOps[op].name;
  const SetFn fn = kSetOps[op].fn;
  const std::string what = "A " + describe(a) + "; B " + describe(b);
  const tarn_err_t checks = ref_set_checks(a, b);
  if (checks != TARN_OK) {
    const SetCall c = call_set(fn, a, b, 4);
    FUZZ_REQUIRE(c.rc == checks, "%s(%s): %s, reference %s", name, what.c_str(),
                 tarn_strerror(c.rc), tarn_strerror(checks));
    FUZZ_REQUIRE(c.count == kUntouchedCount && same_bytes(c.a, a) && same_bytes(c.b, b) &&
                     same_bytes(c.out, filled<tarn_prefix_t>(4)),
                 "%s(%s): the error changed an argument", name, what.c_str());
    return;
  }
  const tarn_family_t f = !a.empty() ? a[0].addr.family : !b.empty() ? b[0].addr.family : 4;
  const std::vector<tarn_prefix_t> want =
      a.empty() && b.empty() ? std::vector<tarn_prefix_t>{} : ref_set(op, a, b, f);
  const size_t bound = (a.size() + b.size()) * ref_prefix::bits(f);
  std::vector<size_t> capacities = {0, want.size(), bound};
  if (!want.empty()) capacities.push_back(want.size() - 1);
  for (size_t capacity : capacities) {
    const SetCall c = call_set(fn, a, b, capacity);
    const bool fits = capacity >= want.size();
    FUZZ_REQUIRE(c.rc == (fits ? TARN_OK : TARN_ERR_INVAL) && c.count == want.size(),
                 "%s(%s) capacity %zu: %s with count %zu, reference %zu records", name,
                 what.c_str(), capacity, tarn_strerror(c.rc), c.count, want.size());
    FUZZ_REQUIRE(is_sorted_permutation(c.a, a, TARN_SORT_NETWORK_ASC) &&
                     is_sorted_permutation(c.b, b, TARN_SORT_NETWORK_ASC),
                 "%s(%s): the inputs are not left in network order", name, what.c_str());
    if (!fits) {
      FUZZ_REQUIRE(same_bytes(c.out, filled<tarn_prefix_t>(capacity)),
                   "%s(%s) capacity %zu: wrote output that does not fit", name, what.c_str(),
                   capacity);
      continue;
    }
    for (size_t i = 0; i < want.size(); i++)
      FUZZ_REQUIRE(memcmp(&c.out[i], &want[i], sizeof want[i]) == 0,
                   "%s(%s) capacity %zu record %zu: %s, reference %s", name, what.c_str(), capacity,
                   i, fuzz_hex(&c.out[i], sizeof c.out[i]).c_str(),
                   fuzz_hex(&want[i], sizeof want[i]).c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const FuzzHeader h = fuzz_header(data, size);
  const std::vector<FuzzRecord> records = fuzz_records(data, size, h, kMaxRecords);
  const std::vector<tarn_prefix_t> all = fuzz_prefixes(records);
  const size_t split = all.size() * (h.own & 7) / 7;
  const std::vector<tarn_prefix_t> a(all.begin(), all.begin() + static_cast<ptrdiff_t>(split));
  const std::vector<tarn_prefix_t> b(all.begin() + static_cast<ptrdiff_t>(split), all.end());

  check_sort(all, TARN_SORT_NETWORK_ASC);
  check_sort(all, TARN_SORT_PFXLEN_DESC);
  if (h.hostile) check_sort(all, 2u + (h.own >> 3));
  check_aggregate(all);
  check_contains(fuzz_probes(records), a);
  check_parse(records, h.hostile);
  for (size_t op = 0; op < sizeof kSetOps / sizeof kSetOps[0]; op++) check_set(op, a, b);
  return 0;
}
