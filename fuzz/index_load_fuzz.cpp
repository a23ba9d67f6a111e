// index_load_fuzz.cpp - libFuzzer target for tarn_index_load.
//
// Every input is loaded twice: as it is (most inputs stop at the header or
// the checksum) and with its checksum recomputed, so that mutations reach the
// structural checks behind it.  Whatever loads must then behave:
//   1. serialising it gives the input back byte for byte (the loader accepts
//      only blobs the serialiser could have written), but for the version
//      of a version 3 blob, the same layout, which comes back as 4;
//   2. lookups of addresses cut from the input and of the ends of the space
//      report -1 or a position below the record count;
//   3. the queries (count, listing, exact, covering, covered) do the same.
// The sanitizers check every read; a broken property traps.
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include <vector>

#include "blob_checksum.h"
#include "pytarn.h"
#include "tarn_internal.h"

namespace {

void require(bool ok) {
  if (!ok) __builtin_trap();
}

void require_position(ssize_t pos, size_t records) {
  require(pos == -1 || (pos >= 0 && static_cast<size_t>(pos) < records));
}

// Addresses (and their host routes) taken from the input's own bytes, plus
// all zeros and all ones.
std::vector<tarn_prefix_t> probes(const uint8_t* data, size_t size, tarn_family_t family) {
  const size_t len = tarn_addr_len(family);
  std::vector<tarn_prefix_t> out(2);
  for (tarn_prefix_t& p : out) {
    memset(&p, 0, sizeof p);
    p.addr.family = family;
    p.pfxlen = static_cast<uint8_t>(8 * len);
  }
  memset(out[1].addr.addr.v6, 0xFF, len);
  for (size_t at = kBlobHeaderLen; at + len <= size && out.size() < 64; at += 3 * len + 1) {
    tarn_prefix_t p = out[0];
    memcpy(p.addr.addr.v6, data + at, len);
    out.push_back(p);
  }
  return out;
}

void exercise(const uint8_t* blob, size_t size) {
  tarn_index_t* index = nullptr;
  if (tarn_index_load(blob, size, &index) != TARN_OK) return;

  size_t need = 0, len = 0;
  require(tarn_index_serialize(index, nullptr, 0, &need) == TARN_ERR_INVAL && need == size);
  std::vector<uint8_t> again(need);
  require(tarn_index_serialize(index, again.data(), need, &len) == TARN_OK);
  require(len == size);
  const auto version = [](const uint8_t* b) {
    return uint32_t{b[kBlobVersionAt]} | uint32_t{b[kBlobVersionAt + 1]} << 8 |
           uint32_t{b[kBlobVersionAt + 2]} << 16 | uint32_t{b[kBlobVersionAt + 3]} << 24;
  };
  const uint32_t in = version(blob);
  require(version(again.data()) == kBlobVersion &&
          (in == kBlobVersion || in == kBlobSameLayoutVersion));
  require(memcmp(again.data(), blob, kBlobVersionAt) == 0 &&
          memcmp(again.data() + kBlobVersionAt + 4, blob + kBlobVersionAt + 4,
                 size - kBlobVersionAt - 4) == 0);

  size_t distinct = 0, records = 0;
  require(tarn_index_count(index, &distinct, &records) == TARN_OK);
  const tarn_family_t family = index->family;
  const std::vector<tarn_prefix_t> queries = probes(blob, size, family);
  std::vector<tarn_addr_t> addrs;
  for (const tarn_prefix_t& q : queries) addrs.push_back(q.addr);
  std::vector<ssize_t> matches(addrs.size());
  require(tarn_index_lookup(index, addrs.data(), addrs.size(), matches.data(), nullptr) == TARN_OK);
  for (ssize_t m : matches) require_position(m, records);

  std::vector<tarn_prefix_t> held(distinct);
  std::vector<ssize_t> pos(distinct);
  require(tarn_index_prefixes(index, held.data(), pos.data(), distinct) == TARN_OK);
  for (ssize_t p : pos) require_position(p, records);
  require(tarn_index_exact(index, held.data(), held.size(), pos.data()) == TARN_OK);
  for (ssize_t p : pos) require_position(p, records);

  for (const tarn_prefix_t& q : queries) {
    tarn_prefix_t got[129];
    ssize_t got_pos[129];
    size_t n = 0;
    require(tarn_index_covering(index, &q, got, got_pos, 129, &n) == TARN_OK);
    require(n <= 129);
    for (size_t i = 0; i < n; i++) require_position(got_pos[i], records);
    tarn_prefix_t wide = q;
    wide.pfxlen = 0;  // /0 covers everything the index holds
    memset(wide.addr.addr.v6, 0, sizeof wide.addr.addr.v6);
    std::vector<ssize_t> sub(distinct + 1);
    require(tarn_index_covered(index, &wide, nullptr, sub.data(), sub.size(), &n) == TARN_OK);
    require(n == distinct);
  }
  tarn_index_destroy(index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  exercise(data, size);
  if (size >= kBlobHeaderLen) {
    std::vector<uint8_t> fixed(data, data + size);
    fuzz_fix_checksum(fixed.data(), fixed.size());
    exercise(fixed.data(), fixed.size());
  }
  return 0;
}
