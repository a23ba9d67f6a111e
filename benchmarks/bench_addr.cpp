// bench_addr.cpp - tarn_addr_parse and tarn_addr_format beside glibc's
// inet_pton and inet_ntop, on the same inputs in the same run.
//
// Inputs (1M addresses per set by default, or argv[1]) are generated before
// any timing: random IPv4, uniformly random IPv6, IPv6 with runs of zero
// groups (the shape of real addresses, where "::" matters), and IPv4-mapped.
// The ratio is peer time / our time, so above 1 means we are faster.
#include <arpa/inet.h>
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

namespace {

// The machine may be shared: ours and the peer run alternately on short
// blocks of the set, many rounds, and each keeps its best block.  Every round
// covers the whole set once per function.
constexpr size_t kBlock = 50000;
constexpr int kRounds = 5;

// One input set: the binary addresses and their texts, packed into one arena
// with a pointer per text.
struct Set {
  const char* name;
  int af;  // AF_INET or AF_INET6
  std::vector<tarn_addr_t> addrs;
  std::vector<char> arena;
  std::vector<const char*> texts;
};

Set make_set(const char* name, int af, size_t n, std::mt19937_64& rng, int shape) {
  Set s;
  s.name = name;
  s.af = af;
  s.addrs.resize(n);
  std::vector<size_t> offsets(n);
  char buf[INET6_ADDRSTRLEN];
  for (size_t i = 0; i < n; ++i) {
    tarn_addr_t& a = s.addrs[i];
    memset(&a, 0, sizeof a);
    a.family = af == AF_INET ? TARN_AF_INET : TARN_AF_INET6;
    if (af == AF_INET) {
      const uint32_t v = static_cast<uint32_t>(rng());
      memcpy(a.addr.v4, &v, 4);
    } else if (shape == 0) {  // uniform
      for (uint8_t& b : a.addr.v6) b = static_cast<uint8_t>(rng());
    } else if (shape == 1) {  // a zero run of 0..6 groups somewhere, small groups
      const unsigned len = static_cast<unsigned>(rng() % 7);
      const unsigned start = static_cast<unsigned>(rng() % (9 - len));
      for (unsigned g = 0; g < 8; ++g) {
        if (g >= start && g < start + len) continue;
        const unsigned digits = 1 + static_cast<unsigned>(rng() % 4);
        const unsigned v = static_cast<unsigned>(rng()) & ((1u << (4 * digits)) - 1);
        a.addr.v6[2 * g] = static_cast<uint8_t>(v >> 8);
        a.addr.v6[2 * g + 1] = static_cast<uint8_t>(v);
      }
      // glibc prints ::/96 with a dotted tail (IPv4-compatible, deprecated
      // by RFC 4291) where RFC 5952 wants hex; keep clear of that block.
      static const uint8_t kZero12[12] = {};
      if (memcmp(a.addr.v6, kZero12, 12) == 0) a.addr.v6[1] = 1;
    } else {  // IPv4-mapped
      a.addr.v6[10] = a.addr.v6[11] = 0xFF;
      const uint32_t v = static_cast<uint32_t>(rng());
      memcpy(a.addr.v6 + 12, &v, 4);
    }
    if (inet_ntop(af, a.addr.v6, buf, sizeof buf) == nullptr) abort();
    offsets[i] = s.arena.size();
    s.arena.insert(s.arena.end(), buf, buf + strlen(buf) + 1);
  }
  s.texts.resize(n);
  for (size_t i = 0; i < n; ++i) s.texts[i] = s.arena.data() + offsets[i];
  return s;
}

// CPU time of this thread: on a shared machine, time spent descheduled would
// otherwise land on whichever function happened to be running.
double thread_ns() { return thread_cpu_seconds() * 1e9; }

struct Pair {
  double ours = 1e30;
  double peer = 1e30;
};

// Times ours(begin, end) and peer(begin, end) alternately on each block.
template <typename F, typename G>
Pair interleaved(size_t n, F&& ours, G&& peer) {
  Pair best;
  auto time_block = [](auto& fn, size_t b, size_t e) {
    const double t0 = thread_ns();
    fn(b, e);
    return (thread_ns() - t0) / double(e - b);
  };
  for (int r = 0; r < kRounds; ++r) {
    for (size_t b = 0; b < n; b += kBlock) {
      const size_t e = b + kBlock < n ? b + kBlock : n;
      // Alternate which goes first, so neither always meets a cold cache.
      if ((b / kBlock + static_cast<size_t>(r)) % 2 == 0) {
        best.ours = std::min(best.ours, time_block(ours, b, e));
        best.peer = std::min(best.peer, time_block(peer, b, e));
      } else {
        best.peer = std::min(best.peer, time_block(peer, b, e));
        best.ours = std::min(best.ours, time_block(ours, b, e));
      }
    }
  }
  return best;
}

volatile uint64_t g_sink;

void run(Set& s) {
  const size_t n = s.addrs.size();
  std::vector<tarn_addr_t> ours(n);
  std::vector<unsigned char> theirs(16 * n);

  // Both parsers must agree before their speed means anything.
  for (size_t i = 0; i < n; ++i) {
    if (tarn_addr_parse(s.texts[i], &ours[i]) != TARN_OK ||
        inet_pton(s.af, s.texts[i], &theirs[16 * i]) != 1 ||
        memcmp(ours[i].addr.v6, &theirs[16 * i], s.af == AF_INET ? 4 : 16) != 0) {
      fprintf(stderr, "disagreement on %s\n", s.texts[i]);
      exit(1);
    }
  }

  const Pair parse = interleaved(
      n,
      [&](size_t b, size_t e) {
        uint64_t errs = 0;
        for (size_t i = b; i < e; ++i) {
          errs += static_cast<uint64_t>(tarn_addr_parse(s.texts[i], &ours[i]));
        }
        g_sink = errs;
      },
      [&](size_t b, size_t e) {
        uint64_t ok = 0;
        for (size_t i = b; i < e; ++i) {
          ok += static_cast<uint64_t>(inet_pton(s.af, s.texts[i], &theirs[16 * i]));
        }
        g_sink = ok;
      });

  char buf[TARN_ADDR_STRLEN];
  const Pair format = interleaved(
      n,
      [&](size_t b, size_t e) {
        uint64_t acc = 0;
        for (size_t i = b; i < e; ++i) {
          acc += static_cast<uint64_t>(tarn_addr_format(&s.addrs[i], buf, sizeof buf));
          acc += static_cast<unsigned char>(buf[1]);
        }
        g_sink = acc;
      },
      [&](size_t b, size_t e) {
        uint64_t acc = 0;
        for (size_t i = b; i < e; ++i) {
          acc += inet_ntop(s.af, s.addrs[i].addr.v6, buf, sizeof buf) != nullptr;
          acc += static_cast<unsigned char>(buf[1]);
        }
        g_sink = acc;
      });

  // Both printers must agree too (after the timing, on every input).
  char peer[INET6_ADDRSTRLEN];
  for (size_t i = 0; i < n; ++i) {
    tarn_addr_format(&s.addrs[i], buf, sizeof buf);
    inet_ntop(s.af, s.addrs[i].addr.v6, peer, sizeof peer);
    if (strcmp(buf, peer) != 0) {
      fprintf(stderr, "format disagreement: %s vs %s\n", buf, peer);
      exit(1);
    }
  }

  printf("%-14s parse  %7.1f ns  inet_pton %7.1f ns  ratio %5.2fx\n", s.name, parse.ours,
         parse.peer, parse.peer / parse.ours);
  printf("%-14s format %7.1f ns  inet_ntop %7.1f ns  ratio %5.2fx\n", s.name, format.ours,
         format.peer, format.peer / format.ours);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? strtoull(argv[1], nullptr, 0) : 1000000;
  const uint64_t seed = argc > 2 ? strtoull(argv[2], nullptr, 0) : 20251009;
  std::mt19937_64 rng(seed);
  printf("machine: %s\n", cpu_model().c_str());
  printf(
      "inputs: %zu addresses per set, seed %llu; thread CPU ns per call, best %zu-address "
      "block of %d interleaved rounds\n",
      n, static_cast<unsigned long long>(seed), kBlock, kRounds);
  Set sets[] = {
      make_set("ipv4", AF_INET, n, rng, 0),
      make_set("ipv6-uniform", AF_INET6, n, rng, 0),
      make_set("ipv6-zero-runs", AF_INET6, n, rng, 1),
      make_set("ipv4-mapped", AF_INET6, n, rng, 2),
  };
  for (Set& s : sets) {
    size_t bytes = s.arena.size();
    printf("%-14s %zu bytes of text, %.1f bytes per address\n", s.name, bytes,
           double(bytes) / double(n) - 1);
  }
  for (Set& s : sets) run(s);
  return 0;
}
