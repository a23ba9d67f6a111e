// ref_prefix.cpp - integer model of prefix arithmetic (see ref_prefix.h).
#include "support/ref_prefix.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace ref_prefix {

unsigned bits(tarn_family_t family) { return family == TARN_AF_INET ? 32u : 128u; }

u128 all_ones(tarn_family_t family) {
  // A 128-bit integer shifted by 32 is well defined; the full width is not.
  return family == TARN_AF_INET ? ((u128)1 << 32) - 1 : ~(u128)0;
}

u128 to_int(const tarn_addr_t &addr) {
  const unsigned n = bits(addr.family) / 8;
  u128 value = 0;
  for (unsigned i = 0; i < n; i++) value = (value << 8) | addr.addr.v6[i];
  return value;
}

void from_int(tarn_family_t family, u128 value, tarn_addr_t *out) {
  const unsigned n = bits(family) / 8;
  out->family = family;
  for (unsigned i = 0; i < n; i++) out->addr.v6[n - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
}

u128 mask(tarn_family_t family, unsigned len) {
  const unsigned width = bits(family);
  if (len == 0) return 0;
  if (len >= width) return all_ones(family);
  return (all_ones(family) << (width - len)) & all_ones(family);
}

u128 last(tarn_family_t family, u128 addr, unsigned len) {
  return addr | (~mask(family, len) & all_ones(family));
}

bool contains(tarn_family_t family, u128 net, unsigned len, u128 addr) {
  return (addr & mask(family, len)) == net;
}

bool overlaps(tarn_family_t family, u128 net_a, unsigned len_a, u128 net_b, unsigned len_b) {
  // Two ranges [first, last] intersect when neither ends before the other
  // starts.
  const u128 last_a = last(family, net_a, len_a);
  const u128 last_b = last(family, net_b, len_b);
  return !(last_a < net_b || last_b < net_a);
}

int cmp(u128 addr_a, unsigned len_a, u128 addr_b, unsigned len_b) {
  if (addr_a != addr_b) return addr_a < addr_b ? -1 : 1;
  if (len_a != len_b) return len_a < len_b ? -1 : 1;
  return 0;
}

std::string Hex(u128 value) {
  char buf[40];
  snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(value >> 64),
           static_cast<unsigned long long>(value));
  return buf;
}

uint64_t test_seed() {
  if (const char *env = getenv("TARN_TEST_SEED")) return strtoull(env, nullptr, 0);
  std::random_device rd;
  return (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

tarn_family_t Gen::Family() { return (rng_() & 1) ? TARN_AF_INET : TARN_AF_INET6; }

unsigned Gen::Len(tarn_family_t family) {
  const unsigned width = bits(family);
  if (rng_() % 4 == 0) {
    const unsigned edges[] = {0, 1, 7, 8, 9, width - 1, width};
    return edges[rng_() % 7];
  }
  return static_cast<unsigned>(rng_() % (width + 1));
}

u128 Gen::Value(tarn_family_t family) {
  const u128 ones = all_ones(family);
  const u128 raw = (static_cast<u128>(rng_()) << 64) | rng_();
  switch (rng_() % 8) {
    case 0:
      return 0;
    case 1:
      return ones;
    case 2:  // leading ones, random tail
      return ones & (raw | mask(family, Len(family)));
    case 3:  // leading zeros, random tail
      return raw & ones & ~mask(family, Len(family));
    default:
      return raw & ones;
  }
}

u128 Gen::Near(tarn_family_t family, u128 net, unsigned len) {
  if (rng_() & 1) return Value(family);
  return net | (Value(family) & ~mask(family, len) & all_ones(family));
}

tarn_addr_t Gen::MakeAddr(tarn_family_t family, u128 value) {
  tarn_addr_t a;
  memset(&a, static_cast<int>(rng_() & 0xFF), sizeof a);
  from_int(family, value, &a);
  return a;
}

tarn_prefix_t Gen::MakePrefix(tarn_family_t family, u128 net, unsigned len) {
  tarn_prefix_t p;
  memset(&p, static_cast<int>(rng_() & 0xFF), sizeof p);
  from_int(family, net, &p.addr);
  p.pfxlen = static_cast<uint8_t>(len);
  return p;
}

}  // namespace ref_prefix
