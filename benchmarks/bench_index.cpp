// bench_index.cpp - build time, memory and lookup speed of the prefix index
// on full-size routing tables, with lookups set against this machine's
// memory latency measured in the same run.
//
// Usage: bench_index V4_TABLE V6_TABLE   (files written by tablegen.py; one
// prefix per line)
//
// For each table: the build time of tarn_index_create (best of 3), the
// time tarn_index_load takes to load the index's blob (best of 5), the
// memory a new index keeps per prefix (sorted records, position map, lookup
// structure, and packed nodes where it builds them at once), and the lookup
// time per address for 1M uniformly random addresses and for 1M addresses
// drawn from inside the table's prefixes, each as one batch call on one
// thread (best of 5).  The memory latency is a dependent random pointer
// chase over 256 MiB; lookups are reported as a fraction of it.  Parsing,
// address generation, writing the blob and destroying the loaded copies
// stay outside the timed regions.
//
// Times are the CPU time of the calling thread (user and system), so that
// other work on a shared machine does not count; the memory stalls of the
// thread itself do.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bench_common.h"
#include "pytarn.h"
#include "tarn_internal.h"

namespace {

double seconds_since(double t0) { return thread_cpu_seconds() - t0; }

bool read_table(const char* path, std::vector<tarn_prefix_t>* out) {
  FILE* f = fopen(path, "r");
  if (!f) {
    fprintf(stderr, "bench_index: cannot open %s\n", path);
    return false;
  }
  char line[128];
  size_t lineno = 0;
  while (fgets(line, sizeof line, f)) {
    lineno++;
    line[strcspn(line, "\r\n")] = '\0';
    if (line[0] == '\0') continue;
    tarn_prefix_t p;
    if (tarn_prefix_parse(line, &p) != TARN_OK) {
      fprintf(stderr, "bench_index: %s:%zu: cannot parse '%s'\n", path, lineno, line);
      fclose(f);
      return false;
    }
    out->push_back(p);
  }
  fclose(f);
  return true;
}

// Average time of one dependent load from a random cache line of a 256 MiB
// block: the lines form one random cycle (Sattolo's algorithm), so every
// load depends on the one before and no two hit the same line in a row.
double memory_latency_ns() {
  constexpr size_t kBytes = size_t{256} << 20;
  constexpr size_t kLine = 64;
  constexpr size_t kLines = kBytes / kLine;
  constexpr size_t kStride = kLine / sizeof(size_t);
  std::vector<size_t> chase(kBytes / sizeof(size_t));
  std::vector<size_t> order(kLines);
  for (size_t i = 0; i < kLines; i++) order[i] = i;
  std::mt19937_64 rng(12345);
  for (size_t i = kLines - 1; i > 0; i--) std::swap(order[i], order[rng() % i]);
  // order is now one cycle: line order[i] points to line order[i + 1].
  for (size_t i = 0; i < kLines; i++) chase[order[i] * kStride] = order[(i + 1) % kLines] * kStride;
  double best = 1e30;
  for (int round = 0; round < 3; round++) {
    size_t pos = 0;
    constexpr size_t kSteps = size_t{8} << 20;
    double t0 = thread_cpu_seconds();
    for (size_t i = 0; i < kSteps; i++) pos = chase[pos];
    double ns = seconds_since(t0) * 1e9 / kSteps;
    if (pos == ~size_t{0}) puts("");  // keeps the chase alive
    best = std::min(best, ns);
  }
  return best;
}

std::vector<tarn_addr_t> uniform_addrs(tarn_family_t family, size_t n, std::mt19937_64& rng) {
  std::vector<tarn_addr_t> out(n);
  for (tarn_addr_t& a : out) {
    a.family = family;
    uint64_t hi = rng(), lo = rng();
    memcpy(a.addr.v6, &hi, 8);
    memcpy(a.addr.v6 + 8, &lo, 8);
  }
  return out;
}

// A random prefix of the table with random host bits.
std::vector<tarn_addr_t> inside_addrs(const std::vector<tarn_prefix_t>& table, size_t n,
                                      std::mt19937_64& rng) {
  std::vector<tarn_addr_t> out(n);
  size_t len = table[0].addr.family == TARN_AF_INET ? 4 : 16;
  for (tarn_addr_t& a : out) {
    const tarn_prefix_t& p = table[rng() % table.size()];
    a = p.addr;
    uint8_t noise[16];
    uint64_t r0 = rng(), r1 = rng();
    memcpy(noise, &r0, 8);
    memcpy(noise + 8, &r1, 8);
    for (size_t i = 0; i < len; i++) {
      unsigned first = static_cast<unsigned>(i * 8);
      uint8_t host;  // the bits of this byte after the prefix length
      if (p.pfxlen <= first)
        host = 0xFF;
      else if (p.pfxlen >= first + 8)
        host = 0;
      else
        host = static_cast<uint8_t>(0xFFu >> (p.pfxlen - first));  // shift 1..7
      a.addr.v6[i] = static_cast<uint8_t>(a.addr.v6[i] | (noise[i] & host));
    }
  }
  return out;
}

double lookup_ns(const tarn_index_t* index, const std::vector<tarn_addr_t>& addrs, size_t* found) {
  std::vector<ssize_t> matches(addrs.size());
  double best = 1e30;
  for (int round = 0; round < 5; round++) {
    double t0 = thread_cpu_seconds();
    tarn_err_t err = tarn_index_lookup(index, addrs.data(), addrs.size(), matches.data(), nullptr);
    double ns = seconds_since(t0) * 1e9 / static_cast<double>(addrs.size());
    if (err != TARN_OK) {
      fprintf(stderr, "bench_index: lookup failed (%d)\n", err);
      exit(1);
    }
    best = std::min(best, ns);
  }
  *found = static_cast<size_t>(
      std::count_if(matches.begin(), matches.end(), [](ssize_t m) { return m >= 0; }));
  return best;
}

// Best time of loading the blob of `index`; the loaded copies are destroyed
// outside the timed region.
double load_seconds(const tarn_index_t* index, size_t* blob_bytes) {
  size_t need = 0;
  tarn_index_serialize(index, nullptr, 0, &need);
  std::vector<uint8_t> blob(need);
  if (tarn_index_serialize(index, blob.data(), blob.size(), blob_bytes) != TARN_OK) {
    fprintf(stderr, "bench_index: serialize failed\n");
    exit(1);
  }
  double best = 1e30;
  for (int round = 0; round < 5; round++) {
    tarn_index_t* loaded = nullptr;
    double t0 = thread_cpu_seconds();
    tarn_err_t err = tarn_index_load(blob.data(), blob.size(), &loaded);
    double s = seconds_since(t0);
    if (err != TARN_OK) {
      fprintf(stderr, "bench_index: load failed (%d)\n", err);
      exit(1);
    }
    tarn_index_destroy(loaded);
    best = std::min(best, s);
  }
  return best;
}

struct table_result {
  double build_s, load_s, bytes_per_prefix, nodes_per_prefix, uniform_ns, inside_ns;
};

bool bench_table(const char* name, const char* path, double latency_ns, table_result* r) {
  std::vector<tarn_prefix_t> table;
  if (!read_table(path, &table) || table.empty()) return false;
  printf("\n%s: %zu prefixes from %s\n", name, table.size(), path);

  tarn_index_t* index = nullptr;
  r->build_s = 1e30;
  for (int round = 0; round < 3; round++) {
    tarn_index_t* built = nullptr;
    double t0 = thread_cpu_seconds();
    tarn_err_t err = tarn_index_create(table.data(), table.size(), &built);
    double s = seconds_since(t0);
    if (err != TARN_OK) {
      fprintf(stderr, "bench_index: build failed (%d)\n", err);
      return false;
    }
    r->build_s = std::min(r->build_s, s);
    if (index) tarn_index_destroy(index);
    index = built;
  }
  // What a new index holds, before the blob makes it build its LC-trie.
  const size_t fresh_nodes = index->node_count;
  size_t blob_bytes = 0;
  r->load_s = load_seconds(index, &blob_bytes);
  size_t node_count = index->node_count;
  size_t bytes = fresh_nodes * sizeof(tarn_lctrie_node_t) +
                 index->prefix_count * (index_record_len(index) + sizeof(uint32_t));
  // The lookup structure: its direct table and its records.
  const size_t extra =
      (sizeof(uint32_t) << index->lookup.direct_bits) + index->lookup.word_count * 4;
  bytes += extra;
  r->bytes_per_prefix = static_cast<double>(bytes) / static_cast<double>(table.size());
  r->nodes_per_prefix = static_cast<double>(index->node_count) / static_cast<double>(table.size());

  std::mt19937_64 rng(2025);
  constexpr size_t kAddrs = 1000000;
  std::vector<tarn_addr_t> uniform = uniform_addrs(table[0].addr.family, kAddrs, rng);
  std::vector<tarn_addr_t> inside = inside_addrs(table, kAddrs, rng);
  size_t found_uniform, found_inside;
  r->uniform_ns = lookup_ns(index, uniform, &found_uniform);
  r->inside_ns = lookup_ns(index, inside, &found_inside);
  tarn_index_destroy(index);

  printf("  build                 %8.3f s\n", r->build_s);
  printf("  load from its blob    %8.3f s = build / %.1f (%.1f MiB blob)\n", r->load_s,
         r->build_s / r->load_s, static_cast<double>(blob_bytes) / (1 << 20));
  printf(
      "  packed nodes          %8.2f per prefix (%zu nodes of %zu bytes, built for the blob;"
      " %zu held before)\n",
      r->nodes_per_prefix, node_count, sizeof(tarn_lctrie_node_t), fresh_nodes);
  printf(
      "  memory                %8.1f bytes per prefix (sorted records + positions + nodes held\n"
      "                                 + lookup structure of %.1f bytes per prefix)\n",
      r->bytes_per_prefix, static_cast<double>(extra) / static_cast<double>(table.size()));
  printf("  lookup, uniform       %8.2f ns/address = %.3f memory latencies (%.1f%% matched)\n",
         r->uniform_ns, r->uniform_ns / latency_ns, 100.0 * found_uniform / kAddrs);
  printf("  lookup, inside table  %8.2f ns/address = %.3f memory latencies (%.1f%% matched)\n",
         r->inside_ns, r->inside_ns / latency_ns, 100.0 * found_inside / kAddrs);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s V4_TABLE V6_TABLE\n", argv[0]);
    return 2;
  }
  printf("machine: %s\n", cpu_model().c_str());
  double latency = memory_latency_ns();
  printf("memory latency (dependent random loads over 256 MiB): %.1f ns\n", latency);
  table_result v4, v6;
  if (!bench_table("IPv4", argv[1], latency, &v4)) return 1;
  if (!bench_table("IPv6", argv[2], latency, &v6)) return 1;
  printf("\n%-34s %10s %10s %10s\n", "", "IPv4", "IPv6", "target");
  printf("%-34s %10.3f %10.3f %10s\n", "build (s)", v4.build_s, v6.build_s, "1.0 / 0.5");
  printf("%-34s %10.1f %10.1f %10s\n", "build / load from blob", v4.build_s / v4.load_s,
         v6.build_s / v6.load_s, "10");
  printf("%-34s %10.1f %10.1f %10s\n", "bytes per prefix", v4.bytes_per_prefix, v6.bytes_per_prefix,
         "64");
  printf("%-34s %10.3f %10.3f %10s\n", "lookup / memory latency, uniform", v4.uniform_ns / latency,
         v6.uniform_ns / latency, "0.3 (v4)");
  printf("%-34s %10.3f %10.3f %10s\n", "lookup / memory latency, inside", v4.inside_ns / latency,
         v6.inside_ns / latency, "0.3 (v4)");
  return 0;
}
