// seed_corpus.cpp - writes the seed corpus of one differential fuzz target
// into a directory of the build tree, from the core tests' own tables: the
// string literals of the test sources named on the command line (the fixed
// cases of the parser, prefix, aggregation and set tests), and the random
// sets of the test support (ref_bulk, ref_index), drawn from fixed seeds so
// that the corpus is the same on every run.
//
// Usage: seed_corpus TARGET DIR [TEST_SOURCE...]
//   TARGET  addr_parse | prefix | bulk | index
//   DIR     an existing directory; one file per seed
//
// Text seeds are the literals that look like address text (they contain
// '.', ':' or '/' and are at most 64 bytes).  Record seeds follow the
// layout of fuzz_records.h: a header byte, then clean records (control 0).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fuzz_records.h"
#include "pytarn.h"
#include "support/ref_addr.h"
#include "support/ref_bulk.h"
#include "support/ref_index.h"

namespace {

using Bytes = std::vector<uint8_t>;

// --- string literals of a C++ source -------------------------------------------

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the literal whose opening quote is at s[at - 1]; returns the index
// after the closing quote.  Escapes are decoded as C++ does (\x greedy, up
// to three octal digits).
size_t read_literal(const std::string& s, size_t at, std::string* out) {
  while (at < s.size() && s[at] != '"') {
    char c = s[at++];
    if (c != '\\' || at >= s.size()) {
      *out += c;
      continue;
    }
    c = s[at++];
    if (c == 'x') {
      unsigned v = 0;
      while (at < s.size() && hex_digit(s[at]) >= 0)
        v = v * 16 + static_cast<unsigned>(hex_digit(s[at++]));
      *out += static_cast<char>(v);
    } else if (c >= '0' && c <= '7') {
      unsigned v = static_cast<unsigned>(c - '0');
      for (int i = 0; i < 2 && at < s.size() && s[at] >= '0' && s[at] <= '7'; i++)
        v = v * 8 + static_cast<unsigned>(s[at++] - '0');
      *out += static_cast<char>(v);
    } else {
      const char* from = "ntr";
      const char* to = "\n\t\r";
      const char* hit = strchr(from, c);
      *out += hit != nullptr ? to[hit - from] : c;
    }
  }
  return at + 1;
}

// Every string literal outside comments and character literals.
std::vector<std::string> literals(const std::string& src) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < src.size()) {
    if (src.compare(i, 2, "//") == 0) {
      i = src.find('\n', i);
      if (i == std::string::npos) break;
    } else if (src.compare(i, 2, "/*") == 0) {
      i = src.find("*/", i + 2);
      if (i == std::string::npos) break;
      i += 2;
    } else if (src[i] == '\'') {
      i++;
      while (i < src.size() && src[i] != '\'') i += src[i] == '\\' ? 2 : 1;
      i++;
    } else if (src[i] == '"') {
      std::string lit;
      i = read_literal(src, i + 1, &lit);
      out.push_back(lit);
    } else {
      i++;
    }
  }
  return out;
}

std::vector<std::string> address_texts(const std::vector<std::string>& files) {
  std::set<std::string> seen;
  std::vector<std::string> out;
  for (const std::string& path : files) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
      fprintf(stderr, "seed_corpus: cannot read %s\n", path.c_str());
      exit(1);
    }
    std::string src;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) src.append(buf, n);
    fclose(f);
    for (const std::string& lit : literals(src))
      if (lit.size() <= 64 && lit.find_first_of(".:/") != std::string::npos &&
          seen.insert(lit).second)
        out.push_back(lit);
  }
  return out;
}

// "address/length" literals as prefix records (host bits as written).
std::optional<tarn_prefix_t> literal_prefix(const std::string& text) {
  const size_t slash = text.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  const std::optional<ref::Addr> a = ref::addr_parse(text.substr(0, slash));
  const std::string digits = text.substr(slash + 1);
  if (!a || digits.empty() || digits.size() > 3 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  tarn_prefix_t p;
  memset(&p, 0, sizeof p);
  p.addr.family = a->family;
  memcpy(p.addr.addr.v6, a->bytes, 16);
  p.pfxlen = static_cast<uint8_t>(atoi(digits.c_str()));
  return p;
}

// --- record seeds ---------------------------------------------------------------

uint8_t header(tarn_family_t family, bool hostile, unsigned own) {
  return static_cast<uint8_t>((family == TARN_AF_INET6 ? 1 : 0) | (hostile ? 2 : 0) | (own << 2));
}

Bytes encode(uint8_t head, const std::vector<tarn_prefix_t>& prefixes) {
  Bytes out = {head};
  for (const tarn_prefix_t& p : prefixes) fuzz_encode(p, &out);
  return out;
}

std::vector<tarn_prefix_t> of_family(const std::vector<tarn_prefix_t>& v, tarn_family_t f) {
  std::vector<tarn_prefix_t> out;
  for (const tarn_prefix_t& p : v)
    if (p.addr.family == f) out.push_back(p);
  return out;
}

std::vector<tarn_prefix_t> test_prefixes(const std::vector<std::string>& texts) {
  std::vector<tarn_prefix_t> out;
  for (const std::string& t : texts)
    if (std::optional<tarn_prefix_t> p = literal_prefix(t)) out.push_back(*p);
  return out;
}

std::vector<Bytes> prefix_seeds(const std::vector<std::string>& texts) {
  std::vector<Bytes> out;
  for (const std::string& t : texts) out.emplace_back(t.begin(), t.end());
  const std::vector<tarn_prefix_t> fixed = test_prefixes(texts);
  for (tarn_family_t f : {TARN_AF_INET, TARN_AF_INET6}) {
    const std::vector<tarn_prefix_t> v = of_family(fixed, f);
    for (size_t i = 0; i + 1 < v.size(); i += 2)  // neighbouring cases as pairs
      out.push_back(encode(header(f, i % 4 == 0, static_cast<unsigned>(i)), {v[i], v[i + 1]}));
  }
  ref_bulk::Rng rng(11);
  for (int i = 0; i < 64; i++) {
    const tarn_family_t f = i % 2 ? TARN_AF_INET6 : TARN_AF_INET;
    out.push_back(
        encode(header(f, i % 3 == 0, static_cast<unsigned>(i)),
               ref_bulk::random_prefix_set(rng, f, 2 + static_cast<size_t>(i % 6), true)));
  }
  return out;
}

std::vector<Bytes> bulk_seeds(const std::vector<std::string>& texts) {
  std::vector<Bytes> out;
  const std::vector<tarn_prefix_t> fixed = test_prefixes(texts);
  for (tarn_family_t f : {TARN_AF_INET, TARN_AF_INET6}) {
    const std::vector<tarn_prefix_t> v = of_family(fixed, f);
    for (size_t at = 0; at < v.size(); at += 12) {
      const std::vector<tarn_prefix_t> group(
          v.begin() + static_cast<ptrdiff_t>(at),
          v.begin() + static_cast<ptrdiff_t>(std::min(at + 12, v.size())));
      out.push_back(encode(header(f, false, static_cast<unsigned>(at / 12) % 8), group));
    }
  }
  ref_bulk::Rng rng(12);
  for (int i = 0; i < 96; i++) {
    const tarn_family_t f = i % 2 ? TARN_AF_INET6 : TARN_AF_INET;
    const size_t n = 1 + rng.below(40);
    const std::vector<tarn_prefix_t> v = i % 3 == 0 ? ref_bulk::clustered_prefix_set(rng, f, n)
                                                    : ref_bulk::random_prefix_set(rng, f, n, true);
    out.push_back(encode(header(f, i % 4 == 3, static_cast<unsigned>(rng.below(64))), v));
  }
  return out;
}

std::vector<Bytes> index_seeds(const std::vector<std::string>& texts) {
  std::vector<Bytes> out;
  const std::vector<tarn_prefix_t> fixed = test_prefixes(texts);
  for (tarn_family_t f : {TARN_AF_INET, TARN_AF_INET6}) {
    const std::vector<tarn_prefix_t> v = of_family(fixed, f);
    for (size_t at = 0; at < v.size(); at += 16) {
      const std::vector<tarn_prefix_t> group(
          v.begin() + static_cast<ptrdiff_t>(at),
          v.begin() + static_cast<ptrdiff_t>(std::min(at + 16, v.size())));
      out.push_back(encode(header(f, false, 6 << 3), group));  // 7/8 table, 1/8 queries
    }
  }
  std::mt19937_64 rng(13);
  for (int i = 0; i < 96; i++) {
    const tarn_family_t f = i % 2 ? TARN_AF_INET6 : TARN_AF_INET;
    const size_t n = 1 + rng() % 48;
    std::vector<tarn_prefix_t> v = ref_index::random_prefixes(rng, f, n);
    // Probe records: host routes of addresses in and around the table.
    for (const tarn_addr_t& a : ref_index::random_addrs(rng, f, v, 1 + rng() % 12)) {
      tarn_prefix_t p;
      memset(&p, 0, sizeof p);
      p.addr = a;
      p.pfxlen = static_cast<uint8_t>(ref_index::bits(f));
      v.push_back(p);
    }
    // Fans 0 to 127 (own & 7), tables of 1/8 to all of the records.
    const unsigned own = static_cast<unsigned>(i % 8) | static_cast<unsigned>((rng() % 8) << 3);
    out.push_back(encode(header(f, i % 5 == 4, own), v));
  }
  // Tables of thousands of prefixes, past the sizes where the lookup
  // structure widens its direct table: 40 to 61 records, each fanned out to
  // 128 neighbours, seven eighths of them table.
  for (int i = 0; i < 8; i++) {
    const tarn_family_t f = i % 2 ? TARN_AF_INET6 : TARN_AF_INET;
    const std::vector<tarn_prefix_t> v = ref_index::random_prefixes(rng, f, 40 + 3 * i);
    out.push_back(encode(header(f, false, 7 | 6 << 3), v));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s addr_parse|prefix|bulk|index DIR [TEST_SOURCE...]\n", argv[0]);
    return 2;
  }
  const std::string target = argv[1], dir = argv[2];
  const std::vector<std::string> texts =
      address_texts(std::vector<std::string>(argv + 3, argv + argc));
  std::vector<Bytes> seeds;
  if (target == "addr_parse") {
    for (const std::string& t : texts) seeds.emplace_back(t.begin(), t.end());
  } else if (target == "prefix") {
    seeds = prefix_seeds(texts);
  } else if (target == "bulk") {
    seeds = bulk_seeds(texts);
  } else if (target == "index") {
    seeds = index_seeds(texts);
  } else {
    fprintf(stderr, "%s: unknown target %s\n", argv[0], target.c_str());
    return 2;
  }
  for (size_t i = 0; i < seeds.size(); i++) {
    char name[32];
    snprintf(name, sizeof name, "/seed-%04zu", i);
    const std::string path = dir + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(seeds[i].data(), 1, seeds[i].size(), f) != seeds[i].size() ||
        fclose(f) != 0) {
      fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
      return 1;
    }
  }
  printf("%zu %s seeds written to %s (%zu texts from the tests)\n", seeds.size(), target.c_str(),
         dir.c_str(), texts.size());
  return 0;
}
