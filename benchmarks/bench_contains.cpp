// bench_contains - first-match containment (tarn_bulk_contains) of a batch
// of addresses against routing-table-shaped prefix lists of both families,
// beside the plain nested scan it used to be, timed in the same run.
//
//   bench_contains [addresses] [repeats]   defaults: 100000 addresses, 5 repeats
//   bench_contains grid [repeats]          small lists and batches, where the
//                                          table and the scan cross over
//
// Addresses: half from inside a random prefix of the list (random host
// bits), half uniform over the family's space (most match nothing, the
// scan's worst case).  The scan, far slower on long lists, runs on the first
// addresses of the same batch only, enough for a stable figure, and both
// sides are given per address.  Inputs are generated before any timing; the
// figures are the best of `repeats` runs in this thread's processor time.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "bench_common.h"
#include "pytarn.h"
#include "tarn_key.h"

namespace {

// IPv4 shaped like a routing table (about 60% /24, most of the rest /16 to
// /23, a few shorter, a sprinkling of longer), in unicast space, with some
// duplicates and about a fifth of the prefixes more-specifics of an earlier
// one.  IPv6: /32 to /48 inside 2000::/3, mostly /48, nested the same way.
std::vector<tarn_prefix_t> routing_table(tarn_family_t family, size_t n, uint64_t seed) {
  Rng rng{seed};
  const unsigned bits = tarn_addr_bits(family);
  std::vector<tarn_prefix_t> v(n);
  for (size_t i = 0; i < n; i++) {
    tarn_prefix_t& p = v[i];
    memset(&p, 0, sizeof p);
    p.addr.family = family;
    uint64_t r = rng.next() % 10000;
    if (i > 0 && r < 300) {  // the same route from another source
      p = v[rng.next() % i];
      continue;
    }
    unsigned len;
    key128 k;
    if (family == TARN_AF_INET) {
      len = r < 6000   ? 24
            : r < 7200 ? 23
            : r < 8500 ? 22
            : r < 9000 ? 21
            : r < 9500 ? 20
            : r < 9800 ? 16 + static_cast<unsigned>(rng.next() % 4)
            : r < 9820 ? 8 + static_cast<unsigned>(rng.next() % 8)
                       : 25 + static_cast<unsigned>(rng.next() % 8);
      k = {0, ((rng.next() >> 40) & 0x00FFFFFFu) | ((1 + rng.next() % 223) << 24)};
    } else {
      len = r < 5000 ? 48 : r < 9000 ? 32 + static_cast<unsigned>(rng.next() % 16) : 29;
      k = {(rng.next() >> 3) | (uint64_t{1} << 61), rng.next()};  // inside 2000::/3
    }
    if (i > 0 && rng.next() % 5 == 0) {  // a more-specific of an earlier prefix
      const tarn_prefix_t& outer = v[rng.next() % i];
      if (outer.pfxlen + 1u < bits) {
        const unsigned room = std::min(8u, bits - outer.pfxlen - 1u);
        len = outer.pfxlen + 1u + static_cast<unsigned>(rng.next() % room);
        k = key128_or(key128_network(key128_load(&outer.addr), bits, outer.pfxlen),
                      key128_and(k, key128_hostmask(bits, outer.pfxlen)));
      }
    }
    key128_store(key128_network(k, bits, len), family, &p.addr);
    p.pfxlen = static_cast<uint8_t>(len);
  }
  return v;
}

std::vector<tarn_addr_t> addresses(const std::vector<tarn_prefix_t>& table, tarn_family_t family,
                                   size_t n, uint64_t seed) {
  Rng rng{seed};
  const unsigned bits = tarn_addr_bits(family);
  std::vector<tarn_addr_t> v(n);
  for (size_t i = 0; i < n; i++) {
    key128 k = {family == TARN_AF_INET ? 0 : rng.next(), rng.next()};
    k = key128_and(k, key128_top(bits));
    if (i % 2 == 0) {
      const tarn_prefix_t& p = table[rng.next() % table.size()];
      k = key128_or(key128_network(key128_load(&p.addr), bits, p.pfxlen),
                    key128_and(k, key128_hostmask(bits, p.pfxlen)));
    }
    memset(&v[i], 0, sizeof v[i]);
    key128_store(k, family, &v[i]);
  }
  return v;
}

// The peer: the scan tarn_bulk_contains ran for every list before it had
// the interval table, copied as it was.
void scan_contains(const tarn_addr_t* addrs, size_t addr_count, const tarn_prefix_t* prefixes,
                   size_t prefix_count, tarn_family_t family, tarn_ssize_t* matches) {
  const unsigned bits = tarn_addr_bits(family);
  for (size_t i = 0; i < addr_count; i++) {
    tarn_ssize_t match = -1;
    const key128 key = key128_load(&addrs[i]);
    for (size_t k = 0; k < prefix_count; k++) {
      if (key128_contains(key128_from_bytes(prefixes[k].addr.addr.v6, family), bits,
                          prefixes[k].pfxlen, key)) {
        match = static_cast<tarn_ssize_t>(k);
        break;
      }
    }
    matches[i] = match;
  }
}

// Best processor seconds of one call of fn over `repeats` runs; a run calls
// fn often enough to last about 20 ms, so small calls are timed too.
template <typename Fn>
double best_seconds(int repeats, Fn fn) {
  double best = 1e30;
  for (int r = 0; r < repeats; r++) {
    size_t calls = 0;
    const double c0 = thread_cpu_seconds();
    double c1 = c0;
    do {
      fn();
      calls++;
      c1 = thread_cpu_seconds();
    } while (c1 - c0 < 0.02);
    best = std::min(best, (c1 - c0) / static_cast<double>(calls));
  }
  return best;
}

struct Result {
  double ours_ns, scan_ns;  // per address
};

// Times both sides on `table` with addr_count addresses (the scan on at
// most scan_count of them) and checks that they agree.
Result compare(const std::vector<tarn_prefix_t>& table, tarn_family_t family, size_t addr_count,
               size_t scan_count, int repeats) {
  const std::vector<tarn_addr_t> addrs = addresses(table, family, addr_count, 0xC0FFEE);
  std::vector<tarn_ssize_t> ours(addr_count), peer(scan_count);
  const double t_ours = best_seconds(repeats, [&] {
    if (tarn_bulk_contains(addrs.data(), addr_count, table.data(), table.size(), ours.data(),
                           nullptr) != TARN_OK)
      abort();
  });
  const double t_scan = best_seconds(repeats, [&] {
    scan_contains(addrs.data(), scan_count, table.data(), table.size(), family, peer.data());
  });
  for (size_t i = 0; i < scan_count; i++)
    if (ours[i] != peer[i]) {
      fprintf(stderr, "mismatch at address %zu: %td vs %td\n", i, ours[i], peer[i]);
      abort();
    }
  return {t_ours * 1e9 / static_cast<double>(addr_count),
          t_scan * 1e9 / static_cast<double>(scan_count)};
}

void main_table(size_t addr_count, int repeats) {
  printf("%-5s %9s %10s %14s %14s %10s\n", "", "networks", "addresses", "ours ns/addr",
         "scan ns/addr", "ratio");
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    for (size_t n : {size_t{1}, size_t{100}, size_t{10000}, size_t{100000}}) {
      const std::vector<tarn_prefix_t> table = routing_table(family, n, 0x9E3779B97F4A7C15ull + n);
      // About 2e8 prefix tests for the scan.
      const size_t scan_count = std::min(addr_count, std::max<size_t>(1000, 200000000 / n));
      const Result r = compare(table, family, addr_count, scan_count, repeats);
      printf("%-5s %9zu %10zu %14.1f %14.1f %9.1fx\n", family == TARN_AF_INET ? "IPv4" : "IPv6", n,
             addr_count, r.ours_ns, r.scan_ns, r.scan_ns / r.ours_ns);
    }
  }
}

// Small lists and batches, where building the table starts to pay: the ratio
// is about 1 where tarn_bulk_contains scans and should not drop below it
// where it builds the table.
void main_grid(int repeats) {
  const size_t lists[] = {4, 8, 16, 32, 64, 256, 1024};
  const size_t batches[] = {1, 16, 32, 64, 128, 1024};
  for (tarn_family_t family : {TARN_AF_INET, TARN_AF_INET6}) {
    printf("\n%s: scan time / tarn_bulk_contains time (rows: networks, columns: addresses)\n%6s",
           family == TARN_AF_INET ? "IPv4" : "IPv6", "");
    for (size_t m : batches) printf(" %7zu", m);
    printf("\n");
    for (size_t n : lists) {
      const std::vector<tarn_prefix_t> table = routing_table(family, n, 0x5EED + n);
      printf("%6zu", n);
      for (size_t m : batches) {
        const Result r = compare(table, family, m, m, repeats);
        printf(" %6.2fx", r.scan_ns / r.ours_ns);
      }
      printf("\n");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool grid = argc > 1 && strcmp(argv[1], "grid") == 0;
  const int repeats = argc > 2 ? atoi(argv[2]) : 5;
  printf(
      "machine: %s\ncompiler: g++ %s\nbest of %d runs, thread processor time\n"
      "ratio = scan time / our time per address (above 1: we are faster)\n\n",
      cpu_model().c_str(), __VERSION__, repeats);
  if (grid) {
    main_grid(repeats);
  } else {
    main_table(argc > 1 ? strtoull(argv[1], nullptr, 10) : 100000, repeats);
  }
  return 0;
}
