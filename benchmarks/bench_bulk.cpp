// bench_bulk - the batch sort and aggregation on a routing-table-shaped set
// of IPv4 prefixes, beside std::sort on the same records in the same run.
//
//   bench_bulk [count] [repeats]      defaults: 1000000 records, 5 repeats
//
// Inputs are generated before any timing starts; every timed run works on a
// fresh copy of the same input.  The figure printed is the fastest run.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "pytarn.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string cpu_model() {
  FILE *f = fopen("/proc/cpuinfo", "r");
  if (f == nullptr) return "unknown";
  char line[512];
  std::string model = "unknown";
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "model name", 10) == 0) {
      const char *colon = strchr(line, ':');
      if (colon != nullptr) {
        model = colon + 2;
        if (!model.empty() && model.back() == '\n') model.pop_back();
      }
      break;
    }
  }
  fclose(f);
  return model;
}

// xorshift64*: the input only has to look like a routing table, the same on
// every run.
struct Rng {
  uint64_t s;
  uint64_t next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545F4914F6CDD1Dull;
  }
};

// Shaped like a full IPv4 routing table: about 60% /24, 38% /16../23, a few
// /8../15 and a sprinkling of longer ones, all in unicast space, canonical,
// with some duplicates (the same route from several sources).
std::vector<tarn_prefix_t> routing_table(size_t n, uint64_t seed) {
  Rng rng{seed};
  std::vector<tarn_prefix_t> v(n);
  for (size_t i = 0; i < n; i++) {
    tarn_prefix_t &p = v[i];
    memset(&p, 0, sizeof p);
    p.addr.family = TARN_AF_INET;
    if (i > 0 && rng.next() % 100 < 3) {
      p = v[rng.next() % i];
      continue;
    }
    uint64_t r = rng.next() % 10000;
    unsigned len = r < 6000   ? 24
                   : r < 7200 ? 23
                   : r < 8500 ? 22
                   : r < 9000 ? 21
                   : r < 9500 ? 20
                   : r < 9800 ? 16 + static_cast<unsigned>(rng.next() % 4)
                   : r < 9802 ? 8 + static_cast<unsigned>(rng.next() % 4)
                   : r < 9820 ? 12 + static_cast<unsigned>(rng.next() % 4)
                              : 25 + static_cast<unsigned>(rng.next() % 8);
    uint32_t a = static_cast<uint32_t>(rng.next() >> 32);
    a = (a & 0x00FFFFFFu) | (static_cast<uint32_t>(1 + rng.next() % 223) << 24);
    // len is 8..32 here, so the shift is 0..24 and never the full width.
    a &= ~((uint32_t{1} << (32 - len)) - 1);
    p.addr.addr.v4[0] = static_cast<uint8_t>(a >> 24);
    p.addr.addr.v4[1] = static_cast<uint8_t>(a >> 16);
    p.addr.addr.v4[2] = static_cast<uint8_t>(a >> 8);
    p.addr.addr.v4[3] = static_cast<uint8_t>(a);
    p.pfxlen = static_cast<uint8_t>(len);
  }
  return v;
}

uint32_t addr32(const tarn_prefix_t &p) {
  return (uint32_t{p.addr.addr.v4[0]} << 24) | (uint32_t{p.addr.addr.v4[1]} << 16) |
         (uint32_t{p.addr.addr.v4[2]} << 8) | p.addr.addr.v4[3];
}

// The comparison-sort peer, with the cheapest key extraction available: the
// address as a native 32-bit integer, then the length.
bool less_network_asc(const tarn_prefix_t &a, const tarn_prefix_t &b) {
  uint32_t x = addr32(a), y = addr32(b);
  return x != y ? x < y : a.pfxlen < b.pfxlen;
}
bool less_pfxlen_desc(const tarn_prefix_t &a, const tarn_prefix_t &b) {
  return a.pfxlen != b.pfxlen ? a.pfxlen > b.pfxlen : addr32(a) < addr32(b);
}

// The aggregation peer: the classic interval method on 64-bit integers.
// Sort the ranges, merge overlapping or touching ones, split each merged
// range into the largest aligned blocks.
size_t aggregate_by_intervals(const std::vector<tarn_prefix_t> &in,
                              std::vector<std::pair<uint64_t, uint64_t>> &ranges,
                              std::vector<tarn_prefix_t> &out) {
  ranges.clear();
  for (const tarn_prefix_t &p : in) {
    uint64_t first = addr32(p);
    ranges.emplace_back(first, first + (uint64_t{1} << (32 - p.pfxlen)) - 1);
  }
  std::sort(ranges.begin(), ranges.end());
  out.clear();
  size_t i = 0;
  while (i < ranges.size()) {
    uint64_t lo = ranges[i].first, hi = ranges[i].second;
    for (i++; i < ranges.size() && ranges[i].first <= hi + 1; i++)
      hi = std::max(hi, ranges[i].second);
    while (lo <= hi) {
      unsigned k = 0;
      while (k < 32 && (lo & ((uint64_t{2} << k) - 1)) == 0 && lo + (uint64_t{2} << k) - 1 <= hi) k++;
      tarn_prefix_t p;
      memset(&p, 0, sizeof p);
      p.addr.family = TARN_AF_INET;
      p.addr.addr.v4[0] = static_cast<uint8_t>(lo >> 24);
      p.addr.addr.v4[1] = static_cast<uint8_t>(lo >> 16);
      p.addr.addr.v4[2] = static_cast<uint8_t>(lo >> 8);
      p.addr.addr.v4[3] = static_cast<uint8_t>(lo);
      p.pfxlen = static_cast<uint8_t>(32 - k);
      out.push_back(p);
      lo += uint64_t{1} << k;
    }
  }
  return out.size();
}

template <typename Fn>
double best_seconds(int repeats, const std::vector<tarn_prefix_t> &input,
                    std::vector<tarn_prefix_t> &work, Fn fn) {
  double best = 1e30;
  for (int r = 0; r < repeats; r++) {
    work = input;
    auto t0 = Clock::now();
    fn(work);
    auto t1 = Clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

void row(const char *what, double ours, const char *peer_name, double peer) {
  printf("%-28s %9.1f ms   %-26s %9.1f ms   ratio %.2fx\n", what, ours * 1e3, peer_name,
         peer * 1e3, peer / ours);
}

}  // namespace

int main(int argc, char **argv) {
  size_t n = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1000000;
  int repeats = argc > 2 ? atoi(argv[2]) : 5;
  printf("machine: %s\ncompiler: g++ %s\nrecords: %zu IPv4 prefixes (routing-table shape), "
         "best of %d runs\nratio = peer time / our time (above 1: we are faster)\n\n",
         cpu_model().c_str(), __VERSION__, n, repeats);

  const std::vector<tarn_prefix_t> input = routing_table(n, 0x9E3779B97F4A7C15ull);
  std::vector<tarn_prefix_t> work, check;

  double asc = best_seconds(repeats, input, work, [](std::vector<tarn_prefix_t> &w) {
    if (tarn_bulk_sort(w.data(), w.size(), TARN_SORT_NETWORK_ASC) != TARN_OK) abort();
  });
  check = work;
  double asc_peer = best_seconds(repeats, input, work, [](std::vector<tarn_prefix_t> &w) {
    std::sort(w.begin(), w.end(), less_network_asc);
  });
  for (size_t i = 0; i < n; i++)
    if (addr32(check[i]) != addr32(work[i]) || check[i].pfxlen != work[i].pfxlen) abort();
  row("tarn_bulk_sort NETWORK_ASC", asc, "std::sort", asc_peer);

  double desc = best_seconds(repeats, input, work, [](std::vector<tarn_prefix_t> &w) {
    if (tarn_bulk_sort(w.data(), w.size(), TARN_SORT_PFXLEN_DESC) != TARN_OK) abort();
  });
  check = work;
  double desc_peer = best_seconds(repeats, input, work, [](std::vector<tarn_prefix_t> &w) {
    std::sort(w.begin(), w.end(), less_pfxlen_desc);
  });
  for (size_t i = 0; i < n; i++)
    if (addr32(check[i]) != addr32(work[i]) || check[i].pfxlen != work[i].pfxlen) abort();
  row("tarn_bulk_sort PFXLEN_DESC", desc, "std::sort", desc_peer);
  double desc_stable = best_seconds(repeats, input, work, [](std::vector<tarn_prefix_t> &w) {
    std::stable_sort(w.begin(), w.end(), less_pfxlen_desc);
  });
  row("tarn_bulk_sort PFXLEN_DESC", desc, "std::stable_sort (stable)", desc_stable);

  size_t out_count = 0;
  double agg = best_seconds(repeats, input, work, [&out_count](std::vector<tarn_prefix_t> &w) {
    if (tarn_bulk_aggregate(w.data(), w.size(), &out_count) != TARN_OK) abort();
  });
  check.assign(work.begin(), work.begin() + static_cast<ptrdiff_t>(out_count));
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  ranges.reserve(n);
  std::vector<tarn_prefix_t> peer_out;
  peer_out.reserve(n);
  double agg_peer = best_seconds(repeats, input, work, [&](std::vector<tarn_prefix_t> &w) {
    aggregate_by_intervals(w, ranges, peer_out);
  });
  if (peer_out.size() != out_count) abort();
  for (size_t i = 0; i < out_count; i++)
    if (addr32(check[i]) != addr32(peer_out[i]) || check[i].pfxlen != peer_out[i].pfxlen) abort();
  row("tarn_bulk_aggregate", agg, "interval merge + std::sort", agg_peer);
  printf("\naggregation: %zu prefixes in, %zu out\n", n, out_count);
  return 0;
}
