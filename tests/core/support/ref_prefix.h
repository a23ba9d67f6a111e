// ref_prefix.h - a slow, obviously correct model of prefix arithmetic on
// integers, for the prefix and subnet iterator tests.
//
// Every address is a plain unsigned 128-bit integer (IPv4 uses the low 32
// bits), so masks, last addresses and subnet starts are ordinary integer
// expressions that share no code with the byte arithmetic of the core.
#ifndef TARN_TESTS_REF_PREFIX_H
#define TARN_TESTS_REF_PREFIX_H

#include <stdint.h>

#include <random>
#include <string>

#include "pytarn.h"

namespace ref_prefix {

__extension__ typedef unsigned __int128 u128;

// 32 for TARN_AF_INET, 128 for any other family.
unsigned bits(tarn_family_t family);

// All ones over the family's width.
u128 all_ones(tarn_family_t family);

// Reads the significant bytes (4 or 16) of `addr` as a big-endian integer.
u128 to_int(const tarn_addr_t &addr);

// Writes `family` and the significant bytes of `value` into `out`; the other
// bytes of the union are left as they were.
void from_int(tarn_family_t family, u128 value, tarn_addr_t *out);

// Netmask as an integer: `len` one bits from the top of the family's width.
// A length beyond the width is all ones.
u128 mask(tarn_family_t family, unsigned len);

// Last address of the prefix (addr, len): every bit after `len` set.
u128 last(tarn_family_t family, u128 addr, unsigned len);

// Whether `addr` lies in the canonical prefix (net, len).
bool contains(tarn_family_t family, u128 net, unsigned len, u128 addr);

// Whether two canonical prefixes of one family share an address.
bool overlaps(tarn_family_t family, u128 net_a, unsigned len_a, u128 net_b, unsigned len_b);

// -1, 0 or 1: address first, then the shorter prefix first.
int cmp(u128 addr_a, unsigned len_a, u128 addr_b, unsigned len_b);

// 32 hex digits, for failure messages.
std::string Hex(u128 value);

// The seed of a randomized test: TARN_TEST_SEED from the environment when
// set (to repeat a run), otherwise a fresh random value.  Tests log it.
uint64_t test_seed();

// Random prefixes and addresses with a strong bias towards the edges: the
// lengths 0, 1, 7..9, bits - 1 and bits, and values at the bottom and top of
// the space or with long runs of ones or zeros (which make carries long).
class Gen {
 public:
  explicit Gen(uint64_t seed) : rng_(seed) {}

  uint64_t Next() { return rng_(); }
  tarn_family_t Family();
  unsigned Len(tarn_family_t family);
  u128 Value(tarn_family_t family);
  // An address inside net/len half the time, anywhere otherwise.
  u128 Near(tarn_family_t family, u128 net, unsigned len);
  // Records filled with a random garbage byte, then given their significant
  // content: code that reads the unused bytes of an IPv4 record shows up.
  tarn_addr_t MakeAddr(tarn_family_t family, u128 value);
  tarn_prefix_t MakePrefix(tarn_family_t family, u128 net, unsigned len);

 private:
  std::mt19937_64 rng_;
};

}  // namespace ref_prefix

#endif  // TARN_TESTS_REF_PREFIX_H
