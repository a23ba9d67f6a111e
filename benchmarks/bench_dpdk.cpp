// bench_dpdk.cpp - the prefix index side by side with DPDK's rte_lpm and
// rte_lpm6 on the same tables and the same addresses, in one run.
//
// Usage (root, since DPDK's EAL wants it; pin to one core on a shared box):
//
//   taskset -c 1 bench_dpdk V4_TABLE V6_TABLE [V4_LARGE_TABLE] [--runs N]
//                [--addrs N] [--dpdk-large]
//
// The tables are files written by tablegen.py (one prefix per line), e.g.
//   python3 benchmarks/tablegen.py v4 v4.txt
//   python3 benchmarks/tablegen.py v6 v6.txt
//   python3 benchmarks/tablegen.py v4 v4-4m.txt --count 4000000
//
// Per table: the build time of both (DPDK's once, since inserting a million
// routes into rte_lpm takes minutes; ours the median of the runs), the
// memory each keeps per prefix, and the time per address for N addresses
// (default 10M) drawn uniformly and N drawn from inside the table's
// prefixes, each looked up as one batch (tarn_index_lookup,
// rte_lpm_lookup_bulk, rte_lpm6_lookup_bulk_func) and one address per call
// (tarn_index_get, rte_lpm_lookup, rte_lpm6_lookup); the index also from
// the addresses packed as network-order bytes (tarn_index_lookup_packed),
// the form DPDK's bulk calls take them in.  DPDK's bulk times leave out
// turning its next hops into positions.  Every answer of every
// form is compared: DPDK's next hop is the input position of the route, and
// two answers agree when they name the same network (equal routes may
// report different positions).  Times are medians over --runs runs (default
// 5) of the calling thread's CPU time; the memory latency is a dependent
// random pointer chase over 256 MiB measured in the same run.  The large
// table (4M IPv4 routes) is timed for the index only unless --dpdk-large.
//
// DPDK runs without huge pages or devices: --no-huge --no-pci -m 2048
// --no-telemetry --no-shconf.
#include <rte_eal.h>
#include <rte_errno.h>
#include <rte_lpm.h>
#include <rte_lpm6.h>
#include <rte_malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bench_common.h"
#include "pytarn.h"
#include "tarn_internal.h"

namespace {

struct options {
  const char* v4 = nullptr;
  const char* v6 = nullptr;
  const char* v4_large = nullptr;
  int runs = 5;
  size_t addrs = 10000000;
  bool dpdk_large = false;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool read_table(const char* path, std::vector<tarn_prefix_t>* out) {
  FILE* f = fopen(path, "r");
  if (!f) {
    fprintf(stderr, "bench_dpdk: cannot open %s\n", path);
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
      fprintf(stderr, "bench_dpdk: %s:%zu: cannot parse '%s'\n", path, lineno, line);
      fclose(f);
      return false;
    }
    out->push_back(p);
  }
  fclose(f);
  return !out->empty();
}

// Average time of one dependent load from a random line of `bytes` (one
// random cycle through every line, Sattolo's algorithm), on huge pages
// where the system gives them, as the index's tables are.
double load_latency_ns(size_t bytes) {
  constexpr size_t kLine = 64, kStride = kLine / sizeof(size_t);
  const size_t lines = bytes / kLine;
  void* huge = tarn_alloc_huge(bytes);
  size_t* chase = static_cast<size_t*>(huge != nullptr ? huge : malloc(bytes));
  if (chase == nullptr) return 0;
  std::vector<size_t> order(lines);
  for (size_t i = 0; i < lines; i++) order[i] = i;
  std::mt19937_64 rng(12345);
  for (size_t i = lines - 1; i > 0; i--) std::swap(order[i], order[rng() % i]);
  for (size_t i = 0; i < lines; i++) chase[order[i] * kStride] = order[(i + 1) % lines] * kStride;
  std::vector<double> ns;
  for (int round = 0; round < 3; round++) {
    constexpr size_t kSteps = size_t{8} << 20;
    size_t pos = 0;
    double t0 = thread_cpu_seconds();
    for (size_t i = 0; i < kSteps; i++) pos = chase[pos];
    ns.push_back((thread_cpu_seconds() - t0) * 1e9 / kSteps);
    if (pos == ~size_t{0}) puts("");  // keeps the chase alive
  }
  free(chase);
  return median(ns);
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
  const size_t len = table[0].addr.family == TARN_AF_INET ? 4 : 16;
  for (tarn_addr_t& a : out) {
    const tarn_prefix_t& p = table[rng() % table.size()];
    a = p.addr;
    for (size_t i = 0; i < len; i++) {
      const unsigned first = static_cast<unsigned>(i * 8);
      uint8_t host;  // the bits of this byte after the prefix length
      if (p.pfxlen <= first)
        host = 0xFF;
      else if (p.pfxlen >= first + 8)
        host = 0;
      else
        host = static_cast<uint8_t>(0xFFu >> (p.pfxlen - first));  // shift 1..7
      a.addr.v6[i] = static_cast<uint8_t>(a.addr.v6[i] | (rng() & host));
    }
  }
  return out;
}

// Whether two reported positions name the same network (or both none).
bool same_answer(const std::vector<tarn_prefix_t>& table, int64_t a, int64_t b) {
  if (a < 0 || b < 0) return a == b;
  const tarn_prefix_t &x = table[static_cast<size_t>(a)], &y = table[static_cast<size_t>(b)];
  const size_t len = x.addr.family == TARN_AF_INET ? 4 : 16;
  return x.pfxlen == y.pfxlen && memcmp(x.addr.addr.v6, y.addr.addr.v6, len) == 0;
}

// The bytes the index holds, split into what queries need (nodes, sorted
// records, positions), the lookup structure, and the older lookup tables the
// structure has made dead.
struct index_memory {
  size_t core, lookup, old_tables;
};
index_memory memory_of(const tarn_index* ix) {
  index_memory m;
  m.core = ix->node_count * sizeof(tarn_lctrie_node_t) +
           ix->prefix_count * (index_record_len(ix) + sizeof(uint32_t));
  m.lookup = (sizeof(uint32_t) << ix->lookup.direct_bits) + ix->lookup.word_count * 4;
  m.old_tables = 0;  // the shortcut and candidate tables are no longer built
  return m;
}

size_t dpdk_heap_bytes() {
  rte_malloc_socket_stats s;
  size_t total = 0;
  for (int socket = 0; socket < RTE_MAX_NUMA_NODES; socket++)
    if (rte_malloc_get_socket_stats(socket, &s) == 0) total += s.heap_allocsz_bytes;
  return total;
}

// The peer: one of rte_lpm or rte_lpm6, behind the same four calls.
struct peer {
  rte_lpm* lpm4 = nullptr;
  rte_lpm6* lpm6 = nullptr;
  std::vector<uint32_t> ips4;   // host order
  std::vector<uint8_t> ips6;    // 16 bytes per address
  std::vector<uint32_t> hops4;  // rte_lpm bulk results
  std::vector<int32_t> hops6;   // rte_lpm6 bulk results
  void load(const std::vector<tarn_addr_t>& addrs) {
    ips4.clear();
    ips6.clear();
    for (const tarn_addr_t& a : addrs) {
      if (lpm4 != nullptr)
        ips4.push_back(static_cast<uint32_t>(a.addr.v4[0]) << 24 |
                       static_cast<uint32_t>(a.addr.v4[1]) << 16 |
                       static_cast<uint32_t>(a.addr.v4[2]) << 8 | a.addr.v4[3]);
      else
        ips6.insert(ips6.end(), a.addr.v6, a.addr.v6 + 16);
    }
  }
  // rte_lpm's bulk lookup keeps an array of `n` on the stack, so batches go
  // to it in slices of kSlice (DPDK's own callers pass bursts of 32 to 64).
  static constexpr size_t kSlice = 1024;
  // The bulk lookup alone, into DPDK's own result arrays (hops4, hops6);
  // bulk_answers turns them into positions afterwards, outside the timing.
  void bulk() {
    const size_t n = lpm4 != nullptr ? ips4.size() : ips6.size() / 16;
    if (lpm4 != nullptr) {
      hops4.resize(n);
      for (size_t i = 0; i < n; i += kSlice)
        rte_lpm_lookup_bulk(lpm4, &ips4[i], &hops4[i],
                            static_cast<unsigned>(std::min(kSlice, n - i)));
    } else {
      hops6.resize(n);
      for (size_t i = 0; i < n; i += kSlice)
        rte_lpm6_lookup_bulk_func(lpm6, reinterpret_cast<uint8_t(*)[16]>(&ips6[16 * i]), &hops6[i],
                                  static_cast<unsigned>(std::min(kSlice, n - i)));
    }
  }
  void bulk_answers(std::vector<int64_t>* out) const {
    const size_t n = lpm4 != nullptr ? hops4.size() : hops6.size();
    out->resize(n);
    for (size_t i = 0; i < n; i++)
      (*out)[i] = lpm4 != nullptr
                      ? ((hops4[i] & RTE_LPM_LOOKUP_SUCCESS) ? int64_t{hops4[i] & 0x00FFFFFF} : -1)
                      : int64_t{hops6[i]};
  }
  void single(std::vector<int64_t>* out) {
    const size_t n = lpm4 != nullptr ? ips4.size() : ips6.size() / 16;
    out->resize(n);
    for (size_t i = 0; i < n; i++) {
      uint32_t hop;
      int rc = lpm4 != nullptr ? rte_lpm_lookup(lpm4, ips4[i], &hop)
                               : rte_lpm6_lookup(lpm6, &ips6[16 * i], &hop);
      (*out)[i] = rc == 0 ? static_cast<int64_t>(hop) : -1;
    }
  }
};

// Builds the peer over `table` (next hop = input position); returns false
// when DPDK refuses a route.
bool peer_build(const char* name, const std::vector<tarn_prefix_t>& table, peer* p, double* seconds,
                size_t* bytes) {
  const bool v4 = table[0].addr.family == TARN_AF_INET;
  const size_t before = dpdk_heap_bytes();
  const double t0 = thread_cpu_seconds();
  if (v4) {
    rte_lpm_config cfg{};
    cfg.max_rules = static_cast<uint32_t>(table.size());
    cfg.number_tbl8s = 1u << 16;
    p->lpm4 = rte_lpm_create(name, SOCKET_ID_ANY, &cfg);
  } else {
    rte_lpm6_config cfg{};
    cfg.max_rules = static_cast<uint32_t>(table.size());
    cfg.number_tbl8s = 1u << 19;
    p->lpm6 = rte_lpm6_create(name, SOCKET_ID_ANY, &cfg);
  }
  if (p->lpm4 == nullptr && p->lpm6 == nullptr) {
    fprintf(stderr, "bench_dpdk: cannot create %s: %s\n", name, rte_strerror(rte_errno));
    return false;
  }
  for (size_t i = 0; i < table.size(); i++) {
    const tarn_prefix_t& r = table[i];
    int rc;
    if (v4) {
      uint32_t ip = static_cast<uint32_t>(r.addr.addr.v4[0]) << 24 |
                    static_cast<uint32_t>(r.addr.addr.v4[1]) << 16 |
                    static_cast<uint32_t>(r.addr.addr.v4[2]) << 8 | r.addr.addr.v4[3];
      rc = rte_lpm_add(p->lpm4, ip, r.pfxlen, static_cast<uint32_t>(i));
    } else {
      rc = rte_lpm6_add(p->lpm6, r.addr.addr.v6, r.pfxlen, static_cast<uint32_t>(i));
    }
    if (rc != 0) {
      fprintf(stderr, "bench_dpdk: %s refused route %zu (%d)\n", name, i, rc);
      return false;
    }
  }
  *seconds = thread_cpu_seconds() - t0;
  *bytes = dpdk_heap_bytes() - before;
  return true;
}

struct timing {
  double bulk_ns = 0, single_ns = 0;
  double packed_ns = 0;  // the index only: tarn_index_lookup_packed
};

// Times the index on `addrs` (median of the runs), checks the batch and the
// scalar answers agree, and fills `answers`.
timing time_index(const tarn_index_t* ix, const std::vector<tarn_addr_t>& addrs, int runs,
                  std::vector<int64_t>* answers) {
  const size_t n = addrs.size();
  // The same addresses as network-order bytes, as DPDK gets them (in host
  // order) and as a packed column holds them.
  const size_t width = addrs[0].family == TARN_AF_INET ? 4 : 16;
  std::vector<uint8_t> packed(n * width);
  for (size_t i = 0; i < n; i++) memcpy(&packed[i * width], addrs[i].addr.v6, width);
  std::vector<tarn_ssize_t> bulk(n), single(n), from_packed(n);
  std::vector<double> b, s, pk;
  for (int r = 0; r < runs; r++) {
    double t0 = thread_cpu_seconds();
    if (tarn_index_lookup(ix, addrs.data(), n, bulk.data(), nullptr) != TARN_OK) exit(1);
    b.push_back((thread_cpu_seconds() - t0) * 1e9 / static_cast<double>(n));
    t0 = thread_cpu_seconds();
    if (tarn_index_lookup_packed(ix, packed.data(), n, from_packed.data()) != TARN_OK) exit(1);
    pk.push_back((thread_cpu_seconds() - t0) * 1e9 / static_cast<double>(n));
    t0 = thread_cpu_seconds();
    for (size_t i = 0; i < n; i++) tarn_index_get(ix, &addrs[i], &single[i]);
    s.push_back((thread_cpu_seconds() - t0) * 1e9 / static_cast<double>(n));
  }
  size_t differ = 0;
  for (size_t i = 0; i < n; i++) differ += (bulk[i] != single[i]) + (bulk[i] != from_packed[i]);
  if (differ != 0) {
    fprintf(stderr,
            "bench_dpdk: tarn_index_get or tarn_index_lookup_packed differ from "
            "tarn_index_lookup %zu times\n",
            differ);
    exit(1);
  }
  answers->assign(bulk.begin(), bulk.end());
  return {median(b), median(s), median(pk)};
}

timing time_peer(peer* p, const std::vector<tarn_addr_t>& addrs, int runs,
                 std::vector<int64_t>* answers) {
  p->load(addrs);
  std::vector<int64_t> bulk, single;
  std::vector<double> b, s;
  const double n = static_cast<double>(addrs.size());
  for (int r = 0; r < runs; r++) {
    double t0 = thread_cpu_seconds();
    p->bulk();
    b.push_back((thread_cpu_seconds() - t0) * 1e9 / n);
    p->bulk_answers(&bulk);
    t0 = thread_cpu_seconds();
    p->single(&single);
    s.push_back((thread_cpu_seconds() - t0) * 1e9 / n);
  }
  for (size_t i = 0; i < bulk.size(); i++) {
    if (bulk[i] != single[i]) {
      fprintf(stderr, "bench_dpdk: DPDK's lookups differ at %zu: bulk %lld, single %lld\n", i,
              static_cast<long long>(bulk[i]), static_cast<long long>(single[i]));
      exit(1);
    }
  }
  *answers = bulk;
  return {median(b), median(s)};
}

struct table_result {
  std::string name;
  size_t prefixes = 0;
  double build_s = 0, lookup_build_s = 0, peer_build_s = -1;
  double bytes_per_prefix = 0, lookup_bytes_per_prefix = 0, old_bytes_per_prefix = 0;
  double peer_bytes_per_prefix = -1;
  timing uniform, inside, peer_uniform, peer_inside;
  bool with_peer = false;
};

bool bench_table(const char* name, const char* path, bool with_peer, const options& opt,
                 table_result* r) {
  std::vector<tarn_prefix_t> table;
  if (!read_table(path, &table)) return false;
  r->name = name;
  r->prefixes = table.size();
  r->with_peer = with_peer;
  printf("\n%s: %zu prefixes from %s\n", name, table.size(), path);
  fflush(stdout);

  tarn_index_t* ix = nullptr;
  std::vector<double> builds, derives;
  for (int round = 0; round < opt.runs; round++) {
    tarn_index_t* built = nullptr;
    double t0 = thread_cpu_seconds();
    if (tarn_index_create(table.data(), table.size(), &built) != TARN_OK) return false;
    builds.push_back(thread_cpu_seconds() - t0);
    // The derivation alone, as a loader calling tarn_lookup_build pays it.
    tarn_index copy = *built;
    copy.lookup = tarn_lookup_t{};
    t0 = thread_cpu_seconds();
    if (tarn_lookup_build(&copy) != TARN_OK) return false;
    derives.push_back(thread_cpu_seconds() - t0);
    tarn_lookup_release(&copy);
    tarn_index_destroy(ix);
    ix = built;
  }
  r->build_s = median(builds);
  r->lookup_build_s = median(derives);
  const index_memory m = memory_of(ix);
  const double n = static_cast<double>(table.size());
  r->bytes_per_prefix = static_cast<double>(m.core + m.lookup + m.old_tables) / n;
  r->lookup_bytes_per_prefix = static_cast<double>(m.lookup) / n;
  r->old_bytes_per_prefix = static_cast<double>(m.old_tables) / n;

  peer p;
  if (with_peer) {
    printf("  building the DPDK table (once)...\n");
    fflush(stdout);
    size_t bytes = 0;
    if (!peer_build(name, table, &p, &r->peer_build_s, &bytes)) return false;
    r->peer_bytes_per_prefix = static_cast<double>(bytes) / n;
  }

  std::mt19937_64 rng(2025);
  for (int kind = 0; kind < 2; kind++) {
    std::vector<tarn_addr_t> addrs = kind == 0 ? uniform_addrs(table[0].addr.family, opt.addrs, rng)
                                               : inside_addrs(table, opt.addrs, rng);
    std::vector<int64_t> ours, theirs;
    timing& t = kind == 0 ? r->uniform : r->inside;
    t = time_index(ix, addrs, opt.runs, &ours);
    if (!with_peer) continue;
    (kind == 0 ? r->peer_uniform : r->peer_inside) = time_peer(&p, addrs, opt.runs, &theirs);
    size_t differ = 0;
    for (size_t i = 0; i < addrs.size(); i++) differ += !same_answer(table, ours[i], theirs[i]);
    printf("  %s addresses: %zu answers, %zu differ from DPDK\n", kind == 0 ? "uniform" : "inside",
           addrs.size(), differ);
    if (differ != 0) return false;
  }
  if (p.lpm4) rte_lpm_free(p.lpm4);
  if (p.lpm6) rte_lpm6_free(p.lpm6);
  tarn_index_destroy(ix);
  return true;
}

void print_results(const std::vector<table_result>& results, double latency) {
  printf("\n%-30s", "");
  for (const table_result& r : results) printf(" %22s", r.name.c_str());
  printf("\n%-30s", "");
  for (size_t k = 0; k < results.size(); k++) printf(" %10s %11s", "pytarn", "DPDK");
  printf("\n");
  auto row = [&](const char* label, auto ours, auto theirs, const char* fmt) {
    printf("%-30s", label);
    for (const table_result& r : results) {
      printf(" ");
      printf(fmt, ours(r));
      if (r.with_peer) {
        printf(" ");
        printf(fmt, theirs(r));
        printf(" ");
      } else {
        printf(" %11s", "-");
      }
    }
    printf("\n");
  };
  row(
      "build (s)", [](const table_result& r) { return r.build_s; },
      [](const table_result& r) { return r.peer_build_s; }, "%10.3f");
  row(
      "  of it lookup structure (s)", [](const table_result& r) { return r.lookup_build_s; },
      [](const table_result&) { return 0.0; }, "%10.3f");
  row(
      "memory (bytes/prefix)", [](const table_result& r) { return r.bytes_per_prefix; },
      [](const table_result& r) { return r.peer_bytes_per_prefix; }, "%10.1f");
  row(
      "  of it lookup structure", [](const table_result& r) { return r.lookup_bytes_per_prefix; },
      [](const table_result&) { return 0.0; }, "%10.1f");
  row(
      "  of it jump + check4 (dead)", [](const table_result& r) { return r.old_bytes_per_prefix; },
      [](const table_result&) { return 0.0; }, "%10.1f");
  row(
      "bulk, uniform (ns/addr)", [](const table_result& r) { return r.uniform.bulk_ns; },
      [](const table_result& r) { return r.peer_uniform.bulk_ns; }, "%10.2f");
  row(
      "bulk, inside (ns/addr)", [](const table_result& r) { return r.inside.bulk_ns; },
      [](const table_result& r) { return r.peer_inside.bulk_ns; }, "%10.2f");
  row(
      "bulk packed, uniform (ns/addr)", [](const table_result& r) { return r.uniform.packed_ns; },
      [](const table_result& r) { return r.peer_uniform.bulk_ns; }, "%10.2f");
  row(
      "bulk packed, inside (ns/addr)", [](const table_result& r) { return r.inside.packed_ns; },
      [](const table_result& r) { return r.peer_inside.bulk_ns; }, "%10.2f");
  row(
      "one per call, uniform (ns)", [](const table_result& r) { return r.uniform.single_ns; },
      [](const table_result& r) { return r.peer_uniform.single_ns; }, "%10.2f");
  row(
      "one per call, inside (ns)", [](const table_result& r) { return r.inside.single_ns; },
      [](const table_result& r) { return r.peer_inside.single_ns; }, "%10.2f");
  printf("\nmemory latency %.1f ns; bulk uniform / latency:", latency);
  for (const table_result& r : results)
    printf(" %s %.3f", r.name.c_str(), r.uniform.bulk_ns / latency);
  printf("\n");
  printf("ratios (DPDK time / pytarn time, above 1 means pytarn is faster):\n");
  for (const table_result& r : results) {
    if (!r.with_peer) continue;
    printf("  %-10s bulk uniform %.2f, bulk inside %.2f, single uniform %.2f, single inside %.2f\n",
           r.name.c_str(), r.peer_uniform.bulk_ns / r.uniform.bulk_ns,
           r.peer_inside.bulk_ns / r.inside.bulk_ns, r.peer_uniform.single_ns / r.uniform.single_ns,
           r.peer_inside.single_ns / r.inside.single_ns);
    printf("  %-10s bulk packed uniform %.2f, bulk packed inside %.2f\n", "",
           r.peer_uniform.bulk_ns / r.uniform.packed_ns,
           r.peer_inside.bulk_ns / r.inside.packed_ns);
  }
  if (results.size() == 3 && results[0].uniform.bulk_ns > 0)
    printf(
        "  large IPv4 table / IPv4 table, per lookup: bulk uniform %.2f, bulk inside %.2f, "
        "packed uniform %.2f, packed inside %.2f\n",
        results[2].uniform.bulk_ns / results[0].uniform.bulk_ns,
        results[2].inside.bulk_ns / results[0].inside.bulk_ns,
        results[2].uniform.packed_ns / results[0].uniform.packed_ns,
        results[2].inside.packed_ns / results[0].inside.packed_ns);
}

bool parse_options(int argc, char** argv, options* o) {
  std::vector<const char*> files;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
      o->runs = std::max(1, atoi(argv[++i]));
    else if (strcmp(argv[i], "--addrs") == 0 && i + 1 < argc)
      o->addrs = std::max<size_t>(1, strtoull(argv[++i], nullptr, 10));
    else if (strcmp(argv[i], "--dpdk-large") == 0)
      o->dpdk_large = true;
    else
      files.push_back(argv[i]);
  }
  if (files.size() < 2 || files.size() > 3) return false;
  o->v4 = files[0];
  o->v6 = files[1];
  o->v4_large = files.size() == 3 ? files[2] : nullptr;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  options opt;
  if (!parse_options(argc, argv, &opt)) {
    fprintf(stderr,
            "usage: %s V4_TABLE V6_TABLE [V4_LARGE_TABLE] [--runs N] [--addrs N] "
            "[--dpdk-large]\n",
            argv[0]);
    return 2;
  }
  const char* eal_args[] = {"bench_dpdk", "--no-huge",      "--no-pci",    "-m",
                            "2048",       "--no-telemetry", "--no-shconf", "--log-level=error"};
  if (rte_eal_init(8, const_cast<char**>(eal_args)) < 0) {
    fprintf(stderr, "bench_dpdk: EAL init failed: %s\n", rte_strerror(rte_errno));
    return 1;
  }
  printf("machine: %s\n", cpu_model().c_str());
  printf("%zu addresses per kind, medians of %d runs\n", opt.addrs, opt.runs);
  const double latency = load_latency_ns(size_t{256} << 20);
  printf("memory latency (dependent random loads over 256 MiB): %.1f ns\n", latency);
  // How much of the shared last-level cache this run had: on a shared host
  // it is a share of what the processor reports, and it decides whether a
  // table of some megabytes answers from cache or from memory.
  printf("dependent loads over 1 / 4 / 8 / 16 MiB:");
  for (size_t mib : {1, 4, 8, 16}) printf(" %.1f", load_latency_ns(mib << 20));
  printf(" ns\n");
  std::vector<table_result> results(opt.v4_large ? 3 : 2);
  if (!bench_table("IPv4", opt.v4, true, opt, &results[0])) return 1;
  if (!bench_table("IPv6", opt.v6, true, opt, &results[1])) return 1;
  if (opt.v4_large && !bench_table("IPv4-large", opt.v4_large, opt.dpdk_large, opt, &results[2]))
    return 1;
  print_results(results, latency);
  rte_eal_cleanup();
  return 0;
}
