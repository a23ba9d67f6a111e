// bench_bulk - the batch sort and aggregation on a routing-table-shaped set
// of IPv4 prefixes, beside std::sort on the same records in the same run.
//
//   bench_bulk [count] [repeats]      defaults: 1000000 records, 5 repeats
//
// Inputs are generated before any timing starts; every timed run works on a
// fresh copy of the same input.  The figures printed are those of the fastest
// run, by the wall clock and by this thread's processor time.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "bench_common.h"
#include "pytarn.h"

namespace {

using Clock = std::chrono::steady_clock;

// Shaped like a full IPv4 routing table: about 60% /24, 38% /16../23, a few
// /8../15 and a sprinkling of longer ones, all in unicast space, canonical,
// with some duplicates (the same route from several sources).
std::vector<tarn_prefix_t> routing_table(size_t n, uint64_t seed) {
  Rng rng{seed};
  std::vector<tarn_prefix_t> v(n);
  for (size_t i = 0; i < n; i++) {
    tarn_prefix_t& p = v[i];
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

uint32_t addr32(const tarn_prefix_t& p) {
  return (uint32_t{p.addr.addr.v4[0]} << 24) | (uint32_t{p.addr.addr.v4[1]} << 16) |
         (uint32_t{p.addr.addr.v4[2]} << 8) | p.addr.addr.v4[3];
}

// The comparison-sort peer, with the cheapest key extraction available: the
// address as a native 32-bit integer, then the length.
bool less_network_asc(const tarn_prefix_t& a, const tarn_prefix_t& b) {
  uint32_t x = addr32(a), y = addr32(b);
  return x != y ? x < y : a.pfxlen < b.pfxlen;
}
bool less_pfxlen_desc(const tarn_prefix_t& a, const tarn_prefix_t& b) {
  return a.pfxlen != b.pfxlen ? a.pfxlen > b.pfxlen : addr32(a) < addr32(b);
}

// The aggregation peer: the classic interval method on 64-bit integers.
// Sort the ranges, merge overlapping or touching ones, split each merged
// range into the largest aligned blocks.
size_t aggregate_by_intervals(const std::vector<tarn_prefix_t>& in,
                              std::vector<std::pair<uint64_t, uint64_t>>& ranges,
                              std::vector<tarn_prefix_t>& out) {
  ranges.clear();
  for (const tarn_prefix_t& p : in) {
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
      while (k < 32 && (lo & ((uint64_t{2} << k) - 1)) == 0 && lo + (uint64_t{2} << k) - 1 <= hi)
        k++;
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

// Processor time of this thread: unlike the wall clock it does not count
// the time the thread waits while other processes run, so it stays
// meaningful on a loaded machine.
struct Timing {
  double wall = 1e30;  // best wall-clock seconds
  double cpu = 1e30;   // best thread processor seconds
};

template <typename Fn>
Timing best_of(int repeats, const std::vector<tarn_prefix_t>& input,
               std::vector<tarn_prefix_t>& work, Fn fn) {
  Timing best;
  for (int r = 0; r < repeats; r++) {
    work = input;
    double c0 = thread_cpu_seconds();
    auto t0 = Clock::now();
    fn(work);
    auto t1 = Clock::now();
    double c1 = thread_cpu_seconds();
    best.wall = std::min(best.wall, std::chrono::duration<double>(t1 - t0).count());
    best.cpu = std::min(best.cpu, c1 - c0);
  }
  return best;
}

void row(const char* what, Timing ours, const char* peer_name, Timing peer) {
  printf("%-27s %7.1f ms (cpu %6.1f)   %-26s %7.1f ms (cpu %6.1f)   ratio %.2fx (cpu %.2fx)\n",
         what, ours.wall * 1e3, ours.cpu * 1e3, peer_name, peer.wall * 1e3, peer.cpu * 1e3,
         peer.wall / ours.wall, peer.cpu / ours.cpu);
}

}  // namespace

int main(int argc, char** argv) {
  size_t n = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1000000;
  int repeats = argc > 2 ? atoi(argv[2]) : 5;
  printf(
      "machine: %s\ncompiler: g++ %s\nrecords: %zu IPv4 prefixes (routing-table shape), "
      "best of %d runs\nratio = peer time / our time (above 1: we are faster)\n\n",
      cpu_model().c_str(), __VERSION__, n, repeats);

  const std::vector<tarn_prefix_t> input = routing_table(n, 0x9E3779B97F4A7C15ull);
  std::vector<tarn_prefix_t> work, check;

  Timing asc = best_of(repeats, input, work, [](std::vector<tarn_prefix_t>& w) {
    if (tarn_bulk_sort(w.data(), w.size(), TARN_SORT_NETWORK_ASC) != TARN_OK) abort();
  });
  check = work;
  Timing asc_peer = best_of(repeats, input, work, [](std::vector<tarn_prefix_t>& w) {
    std::sort(w.begin(), w.end(), less_network_asc);
  });
  for (size_t i = 0; i < n; i++)
    if (addr32(check[i]) != addr32(work[i]) || check[i].pfxlen != work[i].pfxlen) abort();
  row("tarn_bulk_sort NETWORK_ASC", asc, "std::sort", asc_peer);

  Timing desc = best_of(repeats, input, work, [](std::vector<tarn_prefix_t>& w) {
    if (tarn_bulk_sort(w.data(), w.size(), TARN_SORT_PFXLEN_DESC) != TARN_OK) abort();
  });
  check = work;
  Timing desc_peer = best_of(repeats, input, work, [](std::vector<tarn_prefix_t>& w) {
    std::sort(w.begin(), w.end(), less_pfxlen_desc);
  });
  for (size_t i = 0; i < n; i++)
    if (addr32(check[i]) != addr32(work[i]) || check[i].pfxlen != work[i].pfxlen) abort();
  row("tarn_bulk_sort PFXLEN_DESC", desc, "std::sort", desc_peer);
  Timing desc_stable = best_of(repeats, input, work, [](std::vector<tarn_prefix_t>& w) {
    std::stable_sort(w.begin(), w.end(), less_pfxlen_desc);
  });
  row("tarn_bulk_sort PFXLEN_DESC", desc, "std::stable_sort (stable)", desc_stable);

  size_t out_count = 0;
  Timing agg = best_of(repeats, input, work, [&out_count](std::vector<tarn_prefix_t>& w) {
    if (tarn_bulk_aggregate(w.data(), w.size(), &out_count) != TARN_OK) abort();
  });
  check.assign(work.begin(), work.begin() + static_cast<ptrdiff_t>(out_count));
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  ranges.reserve(n);
  std::vector<tarn_prefix_t> peer_out;
  peer_out.reserve(n);
  Timing agg_peer = best_of(repeats, input, work, [&](std::vector<tarn_prefix_t>& w) {
    aggregate_by_intervals(w, ranges, peer_out);
  });
  if (peer_out.size() != out_count) abort();
  for (size_t i = 0; i < out_count; i++)
    if (addr32(check[i]) != addr32(peer_out[i]) || check[i].pfxlen != peer_out[i].pfxlen) abort();
  row("tarn_bulk_aggregate", agg, "interval merge + std::sort", agg_peer);
  printf("\naggregation: %zu prefixes in, %zu out\n", n, out_count);
  return 0;
}
