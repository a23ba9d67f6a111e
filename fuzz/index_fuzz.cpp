// index_fuzz.cpp - libFuzzer target for the longest-prefix-match index:
// tarn_index_create, tarn_index_lookup and tarn_index_get, and the queries
// (count, listing, exact, covering, covered), against the linear reference.
//
// Input: records as in fuzz_records.h (at most 64).  Header bits 2-7
// (`own`):
//   own & 7         fan: each table record of a valid length also brings the
//                   next 0, 0, 0, 0, 1, 7, 31 or 127 prefixes of its length
//                   after it (stopping at the top of the space), so that a
//                   few records make a table of thousands of prefixes: the
//                   lookup structure's larger direct tables (1024 prefixes
//                   and more) and dense, wide trie nodes;
//   (own >> 3) & 7  k: the first max(1, n * (k + 1) / 8) records are the
//                   table, the rest are queries.
// Probes: every record's probe address, and the addresses just below, at,
// and just above both ends of table prefixes (at most 128 of them).
//
// Properties:
//   - create returns the documented code (the first record IPv4 or IPv6;
//     the first offender of the family pass; then of the canonical pass) and
//     leaves *out alone on failure;
//   - every lookup answers a record equal to the longest containing prefix
//     (ref_index::lpm_linear; its per-length tables for large tables), with
//     TARN_OK per address; tarn_index_get gives the same answer;
//   - count, listing, exact, covering and covered answer from the distinct
//     prefixes, and one prefix is reported under one position everywhere;
//   - a query or probe of the wrong family or not canonical gets its code
//     and nothing is written;
//   - the serialised index loads back to one that answers the same.
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_records.h"
#include "pytarn.h"
#include "support/ref_index.h"
#include "support/ref_prefix.h"

namespace {

using ref_prefix::u128;

constexpr size_t kMaxRecords = 64;
constexpr size_t kMaxBoundaryPrefixes = 128;
constexpr size_t kMaxQueries = 48;
constexpr size_t kLinearLimit = 512;  // above it the per-length tables answer
constexpr ssize_t kUntouched = -7;

const unsigned kFan[8] = {0, 0, 0, 0, 1, 7, 31, 127};

// A prefix's value: what equal records share.
struct Key {
  u128 net;
  unsigned len;
  bool operator<(const Key& o) const { return net != o.net ? net < o.net : len < o.len; }
  bool operator==(const Key& o) const { return net == o.net && len == o.len; }
};
Key key_of(const tarn_prefix_t& p) { return Key{ref_prefix::to_int(p.addr), p.pfxlen}; }

bool valid_family(tarn_family_t f) { return f != TARN_AF_UNSPEC; }

// --- the table ---------------------------------------------------------------

std::vector<tarn_prefix_t> expand(const std::vector<tarn_prefix_t>& records, unsigned fan) {
  std::vector<tarn_prefix_t> out;
  for (const tarn_prefix_t& p : records) {
    out.push_back(p);
    const tarn_family_t f = p.addr.family;
    const unsigned bits = ref_prefix::bits(f);
    if (!valid_family(f) || p.pfxlen == 0 || p.pfxlen > bits) continue;
    const u128 stride = u128{1} << (bits - p.pfxlen), top = ref_prefix::all_ones(f);
    tarn_prefix_t next = p;
    for (unsigned i = 0; i < fan; i++) {
      const u128 v = ref_prefix::to_int(next.addr);
      if (top - v < stride) break;  // the next block would wrap past the top
      ref_prefix::from_int(f, v + stride, &next.addr);
      out.push_back(next);
    }
  }
  return out;
}

tarn_err_t ref_create(const std::vector<tarn_prefix_t>& table) {
  const tarn_family_t first = table[0].addr.family;
  // An index is of a real family; later records are held to the first's.
  if (first != TARN_AF_INET && first != TARN_AF_INET6) return TARN_ERR_INVAL;
  for (const tarn_prefix_t& p : table) {
    if (p.addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
    if (p.addr.family != first) return TARN_ERR_FAMILY;
  }
  for (const tarn_prefix_t& p : table) {
    if (p.pfxlen > ref_prefix::bits(first)) return TARN_ERR_PFXLEN;
    if ((ref_prefix::to_int(p.addr) & ~ref_prefix::mask(first, p.pfxlen)) != 0)
      return TARN_ERR_HOSTBITS;
  }
  return TARN_OK;
}

// The code a query gets, in the documented order.
tarn_err_t ref_query_code(const tarn_prefix_t& q, tarn_family_t family) {
  if (q.addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (q.addr.family != family) return TARN_ERR_FAMILY;
  if (q.pfxlen > ref_prefix::bits(family)) return TARN_ERR_PFXLEN;
  if ((ref_prefix::to_int(q.addr) & ~ref_prefix::mask(family, q.pfxlen)) != 0)
    return TARN_ERR_HOSTBITS;
  return TARN_OK;
}

// --- the checks on a built index ---------------------------------------------------

struct Model {
  const std::vector<tarn_prefix_t>& table;
  tarn_family_t family;
  std::vector<Key> distinct;           // network order
  std::map<Key, ssize_t> position_of;  // from the index's listing
};

bool inside(const Key& p, const Key& q, tarn_family_t f) {  // p inside q
  return p.len >= q.len && ref_prefix::contains(f, q.net, q.len, p.net);
}

std::string text(const Key& k, tarn_family_t f) {
  tarn_prefix_t p;
  memset(&p, 0, sizeof p);
  ref_prefix::from_int(f, k.net, &p.addr);
  p.pfxlen = static_cast<uint8_t>(k.len);
  return fuzz_text(p);
}

// `pos` is the position the index reports for the prefix `k`.
void check_position(const Model& m, const Key& k, ssize_t pos, const char* call) {
  const auto it = m.position_of.find(k);
  FUZZ_REQUIRE(it != m.position_of.end() && it->second == pos,
               "%s: %s reported at %zd, listed at %zd", call, text(k, m.family).c_str(), pos,
               it == m.position_of.end() ? -2 : it->second);
}

void check_listing(const tarn_index_t* index, Model* m) {
  std::vector<Key> keys;
  for (const tarn_prefix_t& p : m->table) keys.push_back(key_of(p));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  m->distinct = keys;

  size_t distinct = 0, records = 0;
  FUZZ_REQUIRE(tarn_index_count(index, &distinct, &records) == TARN_OK && distinct == keys.size() &&
                   records == m->table.size(),
               "tarn_index_count: %zu distinct of %zu, reference %zu of %zu", distinct, records,
               keys.size(), m->table.size());
  std::vector<tarn_prefix_t> held(distinct);
  std::vector<ssize_t> pos(distinct);
  FUZZ_REQUIRE(tarn_index_prefixes(index, held.data(), pos.data(), distinct) == TARN_OK,
               "tarn_index_prefixes: failed with the counted capacity");
  for (size_t i = 0; i < distinct; i++) {
    FUZZ_REQUIRE(held[i].addr.family == m->family && key_of(held[i]) == keys[i],
                 "tarn_index_prefixes: entry %zu is %s, reference %s", i,
                 fuzz_text(held[i]).c_str(), text(keys[i], m->family).c_str());
    FUZZ_REQUIRE(pos[i] >= 0 && static_cast<size_t>(pos[i]) < m->table.size() &&
                     key_of(m->table[static_cast<size_t>(pos[i])]) == keys[i],
                 "tarn_index_prefixes: %s listed at position %zd, which holds another record",
                 text(keys[i], m->family).c_str(), pos[i]);
    m->position_of[keys[i]] = pos[i];
  }
}

std::vector<tarn_addr_t> boundary_probes(const Model& m) {
  std::vector<tarn_addr_t> out;
  const u128 top = ref_prefix::all_ones(m.family);
  const size_t step = m.distinct.size() / kMaxBoundaryPrefixes + 1;
  for (size_t i = 0; i < m.distinct.size(); i += step) {
    const Key& k = m.distinct[i];
    const u128 last = ref_prefix::last(m.family, k.net, k.len);
    std::vector<u128> values = {k.net, last};
    if (k.net > 0) values.push_back(k.net - 1);
    if (last < top) values.push_back(last + 1);
    for (u128 v : values) {
      tarn_addr_t a;
      memset(&a, 0, sizeof a);
      ref_prefix::from_int(m.family, v, &a);
      out.push_back(a);
    }
  }
  return out;
}

void check_lookups(const tarn_index_t* index, const Model& m,
                   const std::vector<tarn_addr_t>& probes) {
  const size_t n = probes.size();
  std::vector<ssize_t> got(n, kUntouched);
  std::vector<tarn_err_t> errs(n, -1);
  FUZZ_REQUIRE(tarn_index_lookup(index, probes.data(), n, got.data(), errs.data()) == TARN_OK,
               "tarn_index_lookup: %zu probes of the index's family refused", n);
  std::optional<ref_index::lpm_table> by_length;
  if (m.table.size() > kLinearLimit) by_length.emplace(m.table);
  for (size_t i = 0; i < n; i++) {
    const tarn_addr_t& a = probes[i];
    const ssize_t want = by_length ? by_length->lookup(a) : ref_index::lpm_linear(m.table, a);
    const bool same = want < 0 ? got[i] == -1
                               : got[i] >= 0 && static_cast<size_t>(got[i]) < m.table.size() &&
                                     key_of(m.table[static_cast<size_t>(got[i])]) ==
                                         key_of(m.table[static_cast<size_t>(want)]);
    FUZZ_REQUIRE(same && errs[i] == TARN_OK,
                 "tarn_index_lookup(%s) in %zu prefixes: position %zd (%s), reference %zd (%s)",
                 fuzz_text(a).c_str(), m.table.size(), got[i],
                 got[i] >= 0 && static_cast<size_t>(got[i]) < m.table.size()
                     ? fuzz_text(m.table[static_cast<size_t>(got[i])]).c_str()
                     : "none",
                 want, want >= 0 ? fuzz_text(m.table[static_cast<size_t>(want)]).c_str() : "none");
    if (got[i] >= 0)
      check_position(m, key_of(m.table[static_cast<size_t>(got[i])]), got[i], "tarn_index_lookup");
    ssize_t one = kUntouched;
    FUZZ_REQUIRE(tarn_index_get(index, &a, &one) == TARN_OK && one == got[i],
                 "tarn_index_get(%s): %zd, tarn_index_lookup %zd", fuzz_text(a).c_str(), one,
                 got[i]);
  }
}

// A probe of another family, or of family 0, gets its code from both calls
// and nothing is written.
void check_bad_probe(const tarn_index_t* index, const Model& m, const tarn_addr_t& bad,
                     const tarn_addr_t& good) {
  const tarn_err_t want = bad.family == TARN_AF_UNSPEC ? TARN_ERR_INVAL : TARN_ERR_FAMILY;
  const tarn_addr_t pair[2] = {good, bad};
  ssize_t got[2] = {kUntouched, kUntouched};
  tarn_err_t errs[2] = {-1, -1};
  const tarn_err_t rc = tarn_index_lookup(index, pair, 2, got, errs);
  FUZZ_REQUIRE(
      rc == want && got[0] == kUntouched && got[1] == kUntouched && errs[0] == -1 && errs[1] == -1,
      "tarn_index_lookup(%s) on a family %u index: %s, or wrote results", fuzz_text(bad).c_str(),
      m.family, tarn_strerror(rc));
  ssize_t one = kUntouched;
  const tarn_err_t grc = tarn_index_get(index, &bad, &one);
  FUZZ_REQUIRE(grc == want && one == kUntouched, "tarn_index_get(%s) on a family %u index: %s",
               fuzz_text(bad).c_str(), m.family, tarn_strerror(grc));
}

void check_exact(const tarn_index_t* index, const Model& m, const std::vector<tarn_prefix_t>& qs) {
  tarn_err_t want = TARN_OK;
  for (const tarn_prefix_t& q : qs)
    if (want == TARN_OK) want = ref_query_code(q, m.family);
  std::vector<ssize_t> got(qs.size(), kUntouched);
  const tarn_err_t rc = tarn_index_exact(index, qs.data(), qs.size(), got.data());
  FUZZ_REQUIRE(rc == want, "tarn_index_exact(%zu queries): %s, reference %s", qs.size(),
               tarn_strerror(rc), tarn_strerror(want));
  for (size_t i = 0; i < qs.size(); i++) {
    if (rc != TARN_OK) {
      FUZZ_REQUIRE(got[i] == kUntouched, "tarn_index_exact: the error wrote position %zu", i);
      continue;
    }
    const auto it = m.position_of.find(key_of(qs[i]));
    const ssize_t w = it == m.position_of.end() ? -1 : it->second;
    FUZZ_REQUIRE(got[i] == w, "tarn_index_exact(%s): %zd, reference %zd", fuzz_text(qs[i]).c_str(),
                 got[i], w);
  }
}

void check_covering(const tarn_index_t* index, const Model& m, const tarn_prefix_t& q) {
  tarn_prefix_t got[129];
  ssize_t pos[129];
  memset(got, 0xA5, sizeof got);
  for (ssize_t& p : pos) p = kUntouched;
  size_t n = 999;
  const tarn_err_t rc = tarn_index_covering(index, &q, got, pos, 129, &n);
  const tarn_err_t code = ref_query_code(q, m.family);
  FUZZ_REQUIRE(rc == code, "tarn_index_covering(%s): %s, reference %s", fuzz_text(q).c_str(),
               tarn_strerror(rc), tarn_strerror(code));
  if (rc != TARN_OK) {
    FUZZ_REQUIRE(n == 999 && pos[0] == kUntouched, "tarn_index_covering(%s): the error wrote",
                 fuzz_text(q).c_str());
    return;
  }
  std::vector<Key> want;
  for (const Key& k : m.distinct)
    if (inside(key_of(q), k, m.family)) want.push_back(k);
  std::sort(want.begin(), want.end(), [](const Key& a, const Key& b) { return a.len > b.len; });
  FUZZ_REQUIRE(n == want.size(), "tarn_index_covering(%s): %zu prefixes, reference %zu",
               fuzz_text(q).c_str(), n, want.size());
  for (size_t i = 0; i < n; i++) {
    FUZZ_REQUIRE(key_of(got[i]) == want[i] && got[i].addr.family == m.family,
                 "tarn_index_covering(%s) entry %zu: %s, reference %s", fuzz_text(q).c_str(), i,
                 fuzz_text(got[i]).c_str(), text(want[i], m.family).c_str());
    check_position(m, want[i], pos[i], "tarn_index_covering");
  }
  if (n > 0) {
    size_t need = 0;
    ssize_t short_pos[129];
    short_pos[0] = kUntouched;
    FUZZ_REQUIRE(
        tarn_index_covering(index, &q, nullptr, short_pos, n - 1, &need) == TARN_ERR_INVAL &&
            need == n && (n == 1 || short_pos[0] == kUntouched),
        "tarn_index_covering(%s) capacity %zu: not refused with the size", fuzz_text(q).c_str(),
        n - 1);
  }
}

void check_covered(const tarn_index_t* index, const Model& m, const tarn_prefix_t& q) {
  const tarn_err_t code = ref_query_code(q, m.family);
  size_t need = 999;
  const tarn_err_t rc = tarn_index_covered(index, &q, nullptr, nullptr, 0, &need);
  std::vector<Key> want;
  if (code == TARN_OK)
    for (const Key& k : m.distinct)
      if (inside(k, key_of(q), m.family)) want.push_back(k);
  const tarn_err_t want_rc = code != TARN_OK ? code : want.empty() ? TARN_OK : TARN_ERR_INVAL;
  FUZZ_REQUIRE(rc == want_rc && (code != TARN_OK ? need == 999 : need == want.size()),
               "tarn_index_covered(%s) size query: %s, %zu; reference %s, %zu",
               fuzz_text(q).c_str(), tarn_strerror(rc), need, tarn_strerror(want_rc), want.size());
  if (code != TARN_OK || want.empty()) return;
  std::vector<tarn_prefix_t> got(want.size());
  std::vector<ssize_t> pos(want.size(), kUntouched);
  size_t n = 0;
  FUZZ_REQUIRE(tarn_index_covered(index, &q, got.data(), pos.data(), want.size(), &n) == TARN_OK &&
                   n == want.size(),
               "tarn_index_covered(%s): %zu prefixes, reference %zu", fuzz_text(q).c_str(), n,
               want.size());
  for (size_t i = 0; i < n; i++) {
    FUZZ_REQUIRE(key_of(got[i]) == want[i] && got[i].addr.family == m.family,
                 "tarn_index_covered(%s) entry %zu: %s, reference %s", fuzz_text(q).c_str(), i,
                 fuzz_text(got[i]).c_str(), text(want[i], m.family).c_str());
    check_position(m, want[i], pos[i], "tarn_index_covered");
  }
}

// The blob of the index loads to one whose lookups answer the same and
// whose blob is the same bytes.
void check_round_trip(const tarn_index_t* index, const std::vector<tarn_addr_t>& probes) {
  size_t len = 0;
  tarn_index_serialize(index, nullptr, 0, &len);
  std::vector<uint8_t> blob(len);
  FUZZ_REQUIRE(tarn_index_serialize(index, blob.data(), len, &len) == TARN_OK,
               "tarn_index_serialize: failed with the size it asked for");
  tarn_index_t* loaded = nullptr;
  const tarn_err_t rc = tarn_index_load(blob.data(), len, &loaded);
  FUZZ_REQUIRE(rc == TARN_OK, "tarn_index_load: refused a blob of %zu bytes just written: %s", len,
               tarn_strerror(rc));
  std::vector<ssize_t> a(probes.size()), b(probes.size());
  tarn_index_lookup(index, probes.data(), probes.size(), a.data(), nullptr);
  tarn_index_lookup(loaded, probes.data(), probes.size(), b.data(), nullptr);
  std::vector<uint8_t> again(len);
  size_t len2 = 0;
  tarn_index_serialize(loaded, again.data(), len, &len2);
  tarn_index_destroy(loaded);
  FUZZ_REQUIRE(a == b, "tarn_index_load: the loaded index answers lookups differently");
  FUZZ_REQUIRE(len2 == len && again == blob,
               "tarn_index_load: the loaded index serialises differently");
}

// --- the input -----------------------------------------------------------------------

void run(const uint8_t* data, size_t size) {
  const FuzzHeader h = fuzz_header(data, size);
  const std::vector<FuzzRecord> records = fuzz_records(data, size, h, kMaxRecords);
  if (records.empty()) return;
  const size_t k = (h.own >> 3) & 7;
  const size_t table_records = std::max<size_t>(1, records.size() * (k + 1) / 8);
  std::vector<tarn_prefix_t> head;
  for (size_t i = 0; i < table_records; i++) head.push_back(records[i].prefix);
  const std::vector<tarn_prefix_t> table = expand(head, kFan[h.own & 7]);

  tarn_index_t* const sentinel = reinterpret_cast<tarn_index_t*>(&head);
  tarn_index_t* index = sentinel;
  const tarn_err_t rc = tarn_index_create(table.data(), table.size(), &index);
  const tarn_err_t want = ref_create(table);
  FUZZ_REQUIRE(rc == want, "tarn_index_create(%zu records from %s): %s, reference %s", table.size(),
               fuzz_text(table[0]).c_str(), tarn_strerror(rc), tarn_strerror(want));
  if (rc != TARN_OK) {
    FUZZ_REQUIRE(index == sentinel, "tarn_index_create: the error wrote *out");
    return;
  }

  Model m{table, table[0].addr.family, {}, {}};
  check_listing(index, &m);

  std::vector<tarn_addr_t> probes = boundary_probes(m), bad;
  for (const FuzzRecord& r : records)
    (r.probe.family == m.family ? probes : bad).push_back(r.probe);
  check_lookups(index, m, probes);
  for (const tarn_addr_t& a : bad) check_bad_probe(index, m, a, probes[0]);

  // Queries: the query records as they are (hostile ones too), every
  // distinct prefix's supernet, /0, and some probes as host routes.
  std::vector<tarn_prefix_t> queries;
  for (size_t i = table_records; i < records.size(); i++) queries.push_back(records[i].prefix);
  tarn_prefix_t all;
  memset(&all, 0, sizeof all);
  all.addr.family = m.family;
  queries.push_back(all);
  const size_t step = m.distinct.size() / 16 + 1;
  for (size_t i = 0; i < m.distinct.size(); i += step) {
    const Key& d = m.distinct[i];
    tarn_prefix_t q = all;
    ref_prefix::from_int(m.family, d.net, &q.addr);
    q.pfxlen = static_cast<uint8_t>(d.len);
    queries.push_back(q);
    if (d.len > 0) {
      q.pfxlen = static_cast<uint8_t>(d.len - 1);
      ref_prefix::from_int(m.family, d.net & ref_prefix::mask(m.family, d.len - 1), &q.addr);
      queries.push_back(q);
    }
  }
  for (size_t i = 0; i < probes.size() && i < 16; i++) {
    tarn_prefix_t q = all;
    q.addr = probes[i * (probes.size() / 16 + 1) % probes.size()];
    q.pfxlen = static_cast<uint8_t>(ref_prefix::bits(m.family));
    queries.push_back(q);
  }
  check_exact(index, m, queries);
  std::vector<tarn_prefix_t> clean;
  for (const tarn_prefix_t& q : queries)
    if (ref_query_code(q, m.family) == TARN_OK) clean.push_back(q);
  check_exact(index, m, clean);
  for (size_t i = 0; i < queries.size() && i < kMaxQueries; i++) {
    check_covering(index, m, queries[i]);
    check_covered(index, m, queries[i]);
  }
  check_round_trip(index, probes);
  tarn_index_destroy(index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  run(data, size);
  return 0;
}
