// bench_addr.cpp - tarn_addr_parse and tarn_addr_format beside their peers,
// on the same inputs in the same run:
//   - glibc's inet_pton and inet_ntop;
//   - the parser and printer as they were before the SSE4.1 path
//     (ref_text_old.h), for every set;
//   - for IPv4, an SSE4.1 dotted-quad parser of the published kind and a
//     table formatter (ref_text.h).
//
// Inputs (1M addresses per set by default, or argv[1]) are generated before
// any timing: random IPv4, uniformly random IPv6, IPv6 with runs of zero
// groups (the shape of real addresses, where "::" matters), and IPv4-mapped.
// Before any timing every peer is checked against ours on every input, and
// the SSE4.1 peer also on mutated IPv4 texts (valid and not), so that both
// are known to validate alike.  The ratio is peer time / our time, so above
// 1 means we are faster.
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
#include "ref_text.h"
#include "ref_text_old.h"
#include "tarn_internal.h"

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
  // Room after the last text for tarn_addr_parse_padded, which may read
  // TARN_ADDR_PARSE_PADDING bytes from the start of every text.
  s.arena.insert(s.arena.end(), TARN_ADDR_PARSE_PADDING, '\0');
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

void report(const char* set, const char* what, const char* peer_name, const Pair& p) {
  printf("%-14s %-6s ours %6.1f ns  %-12s %6.1f ns  ratio %5.2fx\n", set, what, p.ours, peer_name,
         p.peer, p.peer / p.ours);
}

[[noreturn]] void disagree(const char* what, const char* text) {
  fprintf(stderr, "%s disagreement on \"%s\"\n", what, text);
  exit(1);
}

// Our parse over a block, the loop every parse peer is timed in too.
template <typename F>
void parse_loop(const Set& s, size_t b, size_t e, F&& parse) {
  uint64_t acc = 0;
  for (size_t i = b; i < e; ++i) acc += static_cast<uint64_t>(parse(s.texts[i], i));
  g_sink = acc;
}

template <typename F>
void format_loop(const Set& s, size_t b, size_t e, F&& format) {
  char buf[TARN_ADDR_STRLEN];
  uint64_t acc = 0;
  for (size_t i = b; i < e; ++i) {
    acc += static_cast<uint64_t>(format(s.addrs[i], buf));
    acc += static_cast<unsigned char>(buf[1]);
  }
  g_sink = acc;
}

void run(Set& s) {
  const size_t n = s.addrs.size();
  const size_t addr_len = s.af == AF_INET ? 4 : 16;
  std::vector<tarn_addr_t> ours(n), old(n);
  std::vector<unsigned char> theirs(16 * n);

  // Every parser must agree before its speed means anything.
  for (size_t i = 0; i < n; ++i) {
    const char* t = s.texts[i];
    if (tarn_addr_parse(t, &ours[i]) != TARN_OK || inet_pton(s.af, t, &theirs[16 * i]) != 1 ||
        memcmp(ours[i].addr.v6, &theirs[16 * i], addr_len) != 0)
      disagree("inet_pton", t);
    if (old_text::addr_parse(t, &old[i]) != TARN_OK ||
        memcmp(ours[i].addr.v6, old[i].addr.v6, addr_len) != 0)
      disagree("old parser", t);
#if TARN_BENCH_HAVE_SSE41_PEER
    uint8_t q[4];
    if (s.af == AF_INET && (ref_text::parse_ipv4(t, q) != 1 || memcmp(q, ours[i].addr.v4, 4) != 0))
      disagree("SSE4.1 peer", t);
#endif
  }
  auto ours_parse = [&](const char* t, size_t i) { return tarn_addr_parse(t, &ours[i]); };
  // The arena's texts lie back to back with padding after the last, so
  // every one of them may be read padded, in place.
  auto ours_padded = [&](const char* t, size_t i) { return tarn_addr_parse_padded(t, &ours[i]); };
  const Pair padded_old = interleaved(
      n, [&](size_t b, size_t e) { parse_loop(s, b, e, ours_padded); },
      [&](size_t b, size_t e) {
        parse_loop(s, b, e,
                   [&](const char* t, size_t i) { return old_text::addr_parse(t, &old[i]); });
      });
  const Pair parse_pton = interleaved(
      n, [&](size_t b, size_t e) { parse_loop(s, b, e, ours_parse); },
      [&](size_t b, size_t e) {
        parse_loop(s, b, e,
                   [&](const char* t, size_t i) { return inet_pton(s.af, t, &theirs[16 * i]); });
      });
  const Pair parse_old = interleaved(
      n, [&](size_t b, size_t e) { parse_loop(s, b, e, ours_parse); },
      [&](size_t b, size_t e) {
        parse_loop(s, b, e,
                   [&](const char* t, size_t i) { return old_text::addr_parse(t, &old[i]); });
      });
#if TARN_BENCH_HAVE_SSE41_PEER
  // The peer reads 16 bytes in place, as a padded parse may.
  Pair parse_sse41, padded_sse41;
  if (s.af == AF_INET) {
    auto peer = [&](size_t b, size_t e) {
      parse_loop(s, b, e,
                 [&](const char* t, size_t i) { return ref_text::parse_ipv4(t, &theirs[16 * i]); });
    };
    parse_sse41 = interleaved(
        n, [&](size_t b, size_t e) { parse_loop(s, b, e, ours_parse); }, peer);
    padded_sse41 = interleaved(
        n, [&](size_t b, size_t e) { parse_loop(s, b, e, ours_padded); }, peer);
  }
#endif

  auto ours_format = [](const tarn_addr_t& a, char* buf) {
    return tarn_addr_format(&a, buf, TARN_ADDR_STRLEN);
  };
  const Pair format_ntop = interleaved(
      n, [&](size_t b, size_t e) { format_loop(s, b, e, ours_format); },
      [&](size_t b, size_t e) {
        format_loop(s, b, e, [&](const tarn_addr_t& a, char* buf) {
          return inet_ntop(s.af, a.addr.v6, buf, TARN_ADDR_STRLEN) != nullptr;
        });
      });
  const Pair format_old = interleaved(
      n, [&](size_t b, size_t e) { format_loop(s, b, e, ours_format); },
      [&](size_t b, size_t e) {
        format_loop(s, b, e, [&](const tarn_addr_t& a, char* buf) {
          return old_text::addr_format(&a, buf, TARN_ADDR_STRLEN);
        });
      });
  Pair format_table;
  if (s.af == AF_INET) {
    format_table = interleaved(
        n, [&](size_t b, size_t e) { format_loop(s, b, e, ours_format); },
        [&](size_t b, size_t e) {
          format_loop(s, b, e, [&](const tarn_addr_t& a, char* buf) {
            return ref_text::format_ipv4(a.addr.v4, buf);
          });
        });
  }

  // A whole column of texts, back to back with their end offsets, as an
  // Arrow string array holds them: tarn_addr_format_texts against the table
  // printer writing the same layout.
  std::vector<char> column(n * TARN_ADDR_STRLEN);
  std::vector<int64_t> ends(n);
  auto ours_texts = [&](size_t b, size_t e) {
    if (tarn_addr_format_texts(&s.addrs[b], e - b, column.data(), column.size(), ends.data()) !=
        TARN_OK)
      disagree("tarn_addr_format_texts", "no room");
    g_sink = static_cast<uint64_t>(ends[e - b - 1]);
  };
  // The old printer writing the same column: each text, then its length.
  const Pair texts_old = interleaved(n, ours_texts, [&](size_t b, size_t e) {
    size_t pos = 0;
    for (size_t i = b; i < e; ++i) {
      old_text::addr_format(&s.addrs[i], column.data() + pos, TARN_ADDR_STRLEN);
      pos += strlen(column.data() + pos);
      ends[i - b] = static_cast<int64_t>(pos);
    }
    g_sink = pos;
  });
  Pair texts_table;
  if (s.af == AF_INET) {
    texts_table = interleaved(n, ours_texts, [&](size_t b, size_t e) {
      int64_t pos = 0;
      for (size_t i = b; i < e; ++i) {
        pos += ref_text::format_ipv4(s.addrs[i].addr.v4, column.data() + pos);
        ends[i - b] = pos;
      }
      g_sink = static_cast<uint64_t>(pos);
    });
  }
  if (tarn_addr_format_texts(s.addrs.data(), n, column.data(), column.size(), ends.data()) !=
      TARN_OK)
    disagree("tarn_addr_format_texts", "no room");

  // Every printer must agree too (after the timing, on every input).
  char buf[TARN_ADDR_STRLEN], peer[INET6_ADDRSTRLEN];
  for (size_t i = 0; i < n; ++i) {
    tarn_addr_format(&s.addrs[i], buf, sizeof buf);
    inet_ntop(s.af, s.addrs[i].addr.v6, peer, sizeof peer);
    if (strcmp(buf, peer) != 0) disagree("inet_ntop", buf);
    const int64_t start = i > 0 ? ends[i - 1] : 0;
    if (std::string(column.data() + start, static_cast<size_t>(ends[i] - start)) != buf)
      disagree("tarn_addr_format_texts", buf);
    old_text::addr_format(&s.addrs[i], peer, sizeof peer);
    if (strcmp(buf, peer) != 0) disagree("old printer", buf);
    if (s.af == AF_INET) {
      ref_text::format_ipv4(s.addrs[i].addr.v4, peer);
      if (strcmp(buf, peer) != 0) disagree("table printer", buf);
    }
  }

  report(s.name, "parse", "inet_pton", parse_pton);
  report(s.name, "parse", "old", parse_old);
  report(s.name, "padded", "old", padded_old);
#if TARN_BENCH_HAVE_SSE41_PEER
  if (s.af == AF_INET) {
    report(s.name, "parse", "SSE4.1 peer", parse_sse41);
    report(s.name, "padded", "SSE4.1 peer", padded_sse41);
  }
#endif
  report(s.name, "format", "inet_ntop", format_ntop);
  report(s.name, "format", "old", format_old);
  report(s.name, "texts", "old", texts_old);
  if (s.af == AF_INET) {
    report(s.name, "format", "table", format_table);
    report(s.name, "texts", "table", texts_table);
  }
}

// The SSE4.1 peer against ours on IPv4 texts with one byte changed,
// inserted or deleted, a leading zero, an octet of 256 or more, a dot too
// many or too few, and bytes of 0x80 and above.  The peer refuses every text
// with a ':', which ours reads as IPv6; those are left out.  Returns the
// number of texts compared.
size_t check_sse41_peer(const Set& s, std::mt19937_64& rng) {
#if TARN_BENCH_HAVE_SSE41_PEER
  static const char kBytes[] = "0123456789..........x/ \x80\xff";
  size_t compared = 0, accepted = 0;
  for (size_t i = 0; i < s.texts.size() && i < 200000; ++i) {
    std::string t = s.texts[i];
    const size_t pos = rng() % (t.size() + 1);
    const char c = kBytes[rng() % (sizeof kBytes - 1)];
    switch (rng() % 6) {
      case 0:
        if (pos < t.size()) t[pos] = c;
        break;
      case 1:
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(pos), c);
        break;
      case 2:
        if (pos < t.size()) t.erase(pos, 1);
        break;
      case 3:
        t.insert(t.begin() + static_cast<std::ptrdiff_t>(t.rfind('.', pos) + 1), '0');
        break;
      case 4:
        t.replace(0, t.find('.'), std::to_string(256 + rng() % 800));
        break;
      default:
        t += rng() % 2 ? ".1" : "";
        break;
    }
    tarn_addr_t a;
    uint8_t q[4];
    const bool ours_ok = tarn_addr_parse(t.c_str(), &a) == TARN_OK;
    const bool peer_ok = ref_text::parse_ipv4(t.c_str(), q) == 1;
    if (ours_ok != peer_ok || (ours_ok && memcmp(q, a.addr.v4, 4) != 0))
      disagree("SSE4.1 peer", t.c_str());
    ++compared;
    accepted += ours_ok;
  }
  printf("SSE4.1 peer agrees with ours on %zu mutated IPv4 texts (%zu valid)\n", compared,
         accepted);
  return compared;
#else
  (void)s;
  (void)rng;
  return 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? strtoull(argv[1], nullptr, 0) : 1000000;
  const uint64_t seed = argc > 2 ? strtoull(argv[2], nullptr, 0) : 20251009;
  std::mt19937_64 rng(seed);
  printf("machine: %s\n", cpu_model().c_str());
  static const char* const kLevels[] = {"portable", "SSE4.1", "AVX2", "AVX-512"};
  printf("address text code path: %s\n", kLevels[tarn_addr_text_level_best()]);
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
  check_sse41_peer(sets[0], rng);
  for (Set& s : sets) run(s);
  return 0;
}
