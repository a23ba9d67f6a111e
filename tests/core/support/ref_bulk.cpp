// ref_bulk.cpp - references for the batch tests.  Written for clarity, not
// speed, and independent of the core: no core function is called here.
#include "support/ref_bulk.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <random>
#include <utility>

namespace ref_bulk {

uint64_t test_seed() {
  const char* env = getenv("TARN_TEST_SEED");
  if (env != nullptr && *env != '\0') return strtoull(env, nullptr, 0);
  std::random_device rd;
  return (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

uint64_t Rng::next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

size_t addr_len(tarn_family_t family) { return family == TARN_AF_INET ? 4 : 16; }
unsigned addr_bits(tarn_family_t family) { return family == TARN_AF_INET ? 32 : 128; }

tarn_addr_t addr(const char* text) {
  tarn_addr_t a;
  memset(&a, 0, sizeof a);
  if (inet_pton(AF_INET, text, a.addr.v4) == 1) {
    a.family = TARN_AF_INET;
  } else if (inet_pton(AF_INET6, text, a.addr.v6) == 1) {
    a.family = TARN_AF_INET6;
  } else {
    fprintf(stderr, "ref_bulk::addr: cannot read '%s'\n", text);
    abort();
  }
  return a;
}

tarn_prefix_t pfx(const char* text) {
  const char* slash = strrchr(text, '/');
  if (slash == nullptr) {
    fprintf(stderr, "ref_bulk::pfx: no length in '%s'\n", text);
    abort();
  }
  std::string address(text, slash);
  tarn_prefix_t p;
  memset(&p, 0, sizeof p);
  p.addr = addr(address.c_str());
  p.pfxlen = static_cast<uint8_t>(atoi(slash + 1));
  return p;
}

std::string to_string(const tarn_addr_t& a) {
  char buf[INET6_ADDRSTRLEN];
  if (a.family == TARN_AF_INET) {
    inet_ntop(AF_INET, a.addr.v4, buf, sizeof buf);
  } else if (a.family == TARN_AF_INET6) {
    inet_ntop(AF_INET6, a.addr.v6, buf, sizeof buf);
  } else {
    snprintf(buf, sizeof buf, "<family %u>", static_cast<unsigned>(a.family));
  }
  return buf;
}

std::string to_string(const tarn_prefix_t& p) {
  return to_string(p.addr) + "/" + std::to_string(p.pfxlen);
}

unsigned addr_bit(const uint8_t* bytes, unsigned bit) {
  return (bytes[bit / 8] >> (7 - bit % 8)) & 1u;
}

static void set_addr_bit(uint8_t* bytes, unsigned bit, unsigned value) {
  uint8_t m = static_cast<uint8_t>(0x80u >> (bit % 8));
  if (value)
    bytes[bit / 8] = static_cast<uint8_t>(bytes[bit / 8] | m);
  else
    bytes[bit / 8] = static_cast<uint8_t>(bytes[bit / 8] & ~m);
}

void make_canonical(tarn_prefix_t* p) {
  unsigned bits = addr_bits(p->addr.family);
  for (unsigned b = p->pfxlen; b < bits; b++) set_addr_bit(p->addr.addr.v6, b, 0);
}

// A few networks that random sets cluster around, so that prefixes overlap,
// nest and come in sibling pairs.
static const char* const kPoolV4[] = {"10.0.0.0", "192.168.0.0", "172.16.0.0",    "203.0.113.0",
                                      "0.0.0.0",  "128.0.0.0",   "127.255.255.0", "255.255.0.0"};
static const char* const kPoolV6[] = {
    "2001:db8::", "fe80::", "ff02::", "::", "8000::", "7fff::", "2001:db9::", "ffff:ffff::"};

static unsigned random_length(Rng& rng, tarn_family_t family) {
  uint64_t r = rng.below(100);
  if (family == TARN_AF_INET) {
    if (r < 3) return static_cast<unsigned>(rng.below(8));        // /0../7
    if (r < 13) return 8 + static_cast<unsigned>(rng.below(8));   // /8../15
    if (r < 43) return 16 + static_cast<unsigned>(rng.below(8));  // /16../23
    if (r < 78) return 24;
    if (r < 93) return 25 + static_cast<unsigned>(rng.below(7));  // /25../31
    return 32;
  }
  if (r < 3) return static_cast<unsigned>(rng.below(16));
  if (r < 28) return 16 + static_cast<unsigned>(rng.below(32));  // /16../47
  if (r < 68) return 48 + static_cast<unsigned>(rng.below(17));  // /48../64
  if (r < 90) return 65 + static_cast<unsigned>(rng.below(63));  // /65../127
  return 128;
}

// Randomises address bits [from, bits).
static void randomise_bits(Rng& rng, uint8_t* bytes, unsigned from, unsigned bits) {
  for (unsigned b = from; b < bits; b++) set_addr_bit(bytes, b, rng.next() & 1u);
}

static tarn_addr_t pool_addr(Rng& rng, tarn_family_t family) {
  return family == TARN_AF_INET ? addr(kPoolV4[rng.below(8)]) : addr(kPoolV6[rng.below(8)]);
}

tarn_addr_t random_addr(Rng& rng, tarn_family_t family) {
  unsigned bits = addr_bits(family);
  tarn_addr_t a;
  memset(&a, 0, sizeof a);
  a.family = family;
  uint64_t r = rng.below(100);
  if (r < 25) {
    randomise_bits(rng, a.addr.v6, 0, bits);
  } else if (r < 75) {
    a = pool_addr(rng, family);
    randomise_bits(rng, a.addr.v6, static_cast<unsigned>(rng.below(bits + 1)), bits);
  } else if (r < 88) {
    memset(a.addr.v6, 0xFF, addr_len(family));  // top of the address space
    randomise_bits(rng, a.addr.v6, bits - static_cast<unsigned>(rng.below(9)), bits);
  } else {
    randomise_bits(rng, a.addr.v6, bits - static_cast<unsigned>(rng.below(9)), bits);
  }
  return a;
}

tarn_prefix_t random_prefix(Rng& rng, tarn_family_t family, bool canonical) {
  unsigned bits = addr_bits(family);
  tarn_prefix_t p;
  memset(&p, 0, sizeof p);
  p.pfxlen = static_cast<uint8_t>(random_length(rng, family));
  uint64_t r = rng.below(100);
  if (r < 60) {
    // Near a pool network or an end of the space: random bits only just
    // before the length, so neighbours and siblings are common.
    if (r < 45) {
      p.addr = pool_addr(rng, family);
    } else {
      p.addr.family = family;
      if (r < 53) memset(p.addr.addr.v6, 0xFF, addr_len(family));
    }
    unsigned window = static_cast<unsigned>(rng.below(std::min(p.pfxlen, uint8_t{10}) + 1u));
    randomise_bits(rng, p.addr.addr.v6, p.pfxlen - window, p.pfxlen);
    if (!canonical) randomise_bits(rng, p.addr.addr.v6, p.pfxlen, bits);
  } else {
    p.addr = random_addr(rng, family);
  }
  if (canonical) make_canonical(&p);
  return p;
}

std::vector<tarn_prefix_t> random_prefix_set(Rng& rng, tarn_family_t family, size_t n,
                                             bool canonical) {
  unsigned bits = addr_bits(family);
  std::vector<tarn_prefix_t> v;
  tarn_prefix_t p;
  memset(&p, 0, sizeof p);
  p.addr.family = family;
  p.pfxlen = 0;  // the default route
  if (!canonical) randomise_bits(rng, p.addr.addr.v6, 0, bits);
  v.push_back(p);
  memset(&p, 0, sizeof p);
  p.addr.family = family;
  memset(p.addr.addr.v6, 0xFF, addr_len(family));
  p.pfxlen = static_cast<uint8_t>(bits);  // the highest host route
  v.push_back(p);
  memset(p.addr.addr.v6, 0, sizeof p.addr.addr.v6);  // the lowest host route
  v.push_back(p);
  while (v.size() < n) {
    if (v.size() > 3 && rng.chance(10))
      v.push_back(v[rng.below(v.size())]);  // a duplicate
    else
      v.push_back(random_prefix(rng, family, canonical));
  }
  v.resize(n);
  for (size_t i = v.size(); i > 1; i--) std::swap(v[i - 1], v[rng.below(i)]);
  return v;
}

std::vector<tarn_prefix_t> clustered_prefix_set(Rng& rng, tarn_family_t family, size_t n) {
  unsigned bits = addr_bits(family);
  struct Cluster {
    tarn_addr_t base;
    unsigned base_len, depth;
  };
  std::vector<Cluster> clusters;
  size_t cluster_count = 1 + rng.below(6);
  // Deep enough that a cluster's leaves are mostly partly covered: about
  // half a leaf to eight leaves per record.
  unsigned fill_bits = 0;
  while ((size_t{1} << fill_bits) < n / cluster_count + 1) fill_bits++;
  for (size_t c = 0; c < cluster_count; c++) {
    Cluster cl;
    unsigned depth = fill_bits + static_cast<unsigned>(rng.below(5));
    cl.depth = std::min(bits - 8, depth > 3 ? depth - 1 : 2u);
    cl.base_len = bits - cl.depth - static_cast<unsigned>(rng.below(bits - cl.depth + 1));
    uint64_t r = rng.below(10);
    if (r < 6) {
      cl.base = pool_addr(rng, family);
    } else {
      memset(&cl.base, 0, sizeof cl.base);
      cl.base.family = family;
      if (r < 8) memset(cl.base.addr.v6, 0xFF, addr_len(family));  // top of the space
    }
    randomise_bits(rng, cl.base.addr.v6, cl.base_len > 6 ? cl.base_len - 6 : 0, cl.base_len);
    clusters.push_back(cl);
  }
  std::vector<tarn_prefix_t> v;
  while (v.size() < n) {
    const Cluster& cl = clusters[rng.below(clusters.size())];
    tarn_prefix_t p;
    memset(&p, 0, sizeof p);
    p.addr = cl.base;
    // Mostly the deepest length, so that leaves fill up and merge; some up
    // to three bits shorter, covering a few leaves each.
    unsigned extra = cl.depth;
    if (rng.chance(20)) extra -= static_cast<unsigned>(rng.below(std::min(cl.depth, 4u)));
    p.pfxlen = static_cast<uint8_t>(cl.base_len + extra);
    randomise_bits(rng, p.addr.addr.v6, cl.base_len, p.pfxlen);
    make_canonical(&p);
    v.push_back(p);
  }
  return v;
}

std::vector<uint8_t> sort_key(const tarn_prefix_t& p, tarn_sort_order_t order,
                              tarn_family_t family) {
  std::vector<uint8_t> k;
  size_t len = addr_len(family);
  if (order != TARN_SORT_NETWORK_ASC) k.push_back(static_cast<uint8_t>(255 - p.pfxlen));
  for (size_t i = 0; i < len; i++) k.push_back(p.addr.addr.v6[i]);
  if (order == TARN_SORT_NETWORK_ASC) k.push_back(p.pfxlen);
  return k;
}

// ---------------------------------------------------------------------------

namespace {

struct LiteralSort {
  std::vector<tarn_prefix_t>& v;
  tarn_sort_order_t order;
  size_t addr_len;

  unsigned key_byte(const tarn_prefix_t& p, size_t byte_pos) const {
    if (order == TARN_SORT_NETWORK_ASC)
      return byte_pos < addr_len ? p.addr.addr.v6[byte_pos] : p.pfxlen;
    return byte_pos == 0 ? 255u - p.pfxlen : p.addr.addr.v6[byte_pos - 1];
  }

  void segment(size_t start, size_t end, size_t byte_pos, size_t key_len) {
    if (end - start < 2 || byte_pos >= key_len) return;
    std::array<size_t, 256> count{}, start_pos{}, next{};
    for (size_t i = start; i < end; i++) count[key_byte(v[i], byte_pos)]++;
    start_pos[0] = start;
    for (size_t b = 1; b < 256; b++) start_pos[b] = start_pos[b - 1] + count[b - 1];
    next = start_pos;
    size_t i = start;
    while (i < end) {
      unsigned d = key_byte(v[i], byte_pos);
      size_t end_d = d == 255 ? end : start_pos[d + 1];
      if (start_pos[d] <= i && i < end_d) {
        i++;
      } else {
        std::swap(v[i], v[next[d]]);
        next[d]++;
      }
    }
    for (size_t b = 0; b < 256; b++) {
      size_t e = b == 255 ? end : start_pos[b + 1];
      if (e - start_pos[b] >= 2) segment(start_pos[b], e, byte_pos + 1, key_len);
    }
  }
};

}  // namespace

void literal_radix_sort(std::vector<tarn_prefix_t>& v, tarn_sort_order_t order,
                        tarn_family_t family) {
  LiteralSort s{v, order, addr_len(family)};
  s.segment(0, v.size(), 0, addr_len(family) + 1);
}

std::vector<ssize_t> first_matches(const std::vector<tarn_addr_t>& addrs,
                                   const std::vector<tarn_prefix_t>& prefixes) {
  std::vector<ssize_t> out;
  for (const tarn_addr_t& a : addrs) {
    ssize_t match = -1;
    for (size_t k = 0; k < prefixes.size() && match < 0; k++) {
      bool inside = true;
      for (unsigned b = 0; b < prefixes[k].pfxlen && inside; b++)
        inside = addr_bit(prefixes[k].addr.addr.v6, b) == addr_bit(a.addr.v6, b);
      if (inside) match = static_cast<ssize_t>(k);
    }
    out.push_back(match);
  }
  return out;
}

// ---------------------------------------------------------------------------

__extension__ typedef unsigned __int128 u128;

static u128 to_u128(const tarn_addr_t& a) {
  u128 x = 0;
  for (size_t i = 0; i < addr_len(a.family); i++) x = (x << 8) | a.addr.v6[i];
  return x;
}

static tarn_prefix_t from_u128(u128 x, unsigned len, tarn_family_t family) {
  tarn_prefix_t p;
  memset(&p, 0, sizeof p);
  p.addr.family = family;
  size_t n = addr_len(family);
  for (size_t i = n; i-- > 0;) {
    p.addr.addr.v6[i] = static_cast<uint8_t>(x);
    x >>= 8;
  }
  p.pfxlen = static_cast<uint8_t>(len);
  return p;
}

std::vector<tarn_prefix_t> minimal_cover(const std::vector<tarn_prefix_t>& prefixes,
                                         tarn_family_t family) {
  const unsigned bits = addr_bits(family);
  // The largest address; for IPv6 all 128 bits, which 1 << 128 could not
  // give, hence the complement.
  const u128 top = bits == 128 ? ~u128{0} : (u128{1} << bits) - 1;

  std::vector<std::pair<u128, u128>> iv;
  for (const tarn_prefix_t& p : prefixes) {
    unsigned host = bits - p.pfxlen;
    u128 span = host == 128 ? ~u128{0} : (u128{1} << host) - 1;
    u128 first = to_u128(p.addr);
    iv.emplace_back(first, first | span);
  }
  std::sort(iv.begin(), iv.end());

  std::vector<std::pair<u128, u128>> merged;
  for (const auto& r : iv) {
    // Touching ranges merge too; the last range may end at the top, where
    // last + 1 would wrap.
    if (!merged.empty() && (merged.back().second == top || r.first <= merged.back().second + 1)) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }

  std::vector<tarn_prefix_t> out;
  for (auto [lo, hi] : merged) {
    for (;;) {
      if (lo == 0 && hi == top) {  // the whole space
        out.push_back(from_u128(0, 0, family));
        break;
      }
      // Largest k (< bits here) with lo aligned to 2^k and lo + 2^k - 1 <= hi.
      unsigned k = 0;
      while (k + 1 < bits + 1 && k + 1 <= 127) {
        u128 size = u128{1} << (k + 1);
        if ((lo & (size - 1)) != 0 || hi - lo < size - 1) break;
        k++;
      }
      out.push_back(from_u128(lo, bits - k, family));
      u128 last = lo + ((u128{1} << k) - 1);
      if (last == hi) break;
      lo = last + 1;
    }
  }
  return out;
}

}  // namespace ref_bulk
