// ref_bulk.h - slow, obviously correct references for the batch operations,
// and the random prefix sets the batch tests run them on.
#ifndef TARN_TEST_REF_BULK_H
#define TARN_TEST_REF_BULK_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "pytarn.h"

namespace ref_bulk {

// The seed of a randomised test: TARN_TEST_SEED from the environment when
// set (decimal or 0x hex), otherwise a fresh one.  Tests print it so that a
// failure can be replayed.
uint64_t test_seed();

// splitmix64: small, fast and the same on every platform.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t next();
  // Uniform in [0, n); n > 0.
  uint64_t below(uint64_t n) { return next() % n; }
  bool chance(unsigned percent) { return below(100) < percent; }

 private:
  uint64_t state_;
};

size_t addr_len(tarn_family_t family);
unsigned addr_bits(tarn_family_t family);

// Byte-for-byte equality of two arrays of records, padding included (what
// "the array is unchanged" means).  Empty arrays are equal.
template <typename T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() &&
         (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Builds records from text with the C library's inet_pton, independently of
// the core's parser.  Aborts the test binary on text it cannot read.  The
// prefix text is address "/" decimal length; the length is not checked and
// the host bits are kept as written.  Unused IPv4 bytes are zero.
tarn_addr_t addr(const char* text);
tarn_prefix_t pfx(const char* text);
std::string to_string(const tarn_prefix_t& p);
std::string to_string(const tarn_addr_t& a);

// Bit `bit` (0 = most significant) of an address.
unsigned addr_bit(const uint8_t* bytes, unsigned bit);
// Clears every address bit after the first pfxlen bits.
void make_canonical(tarn_prefix_t* p);

// Random records of `family`.  Addresses are drawn so that sets share long
// prefixes: some fully random, many from a small pool of "networks" with
// random low bits, and some at the bottom and top of the address space.
// Lengths favour the routing-table shapes (/8../32, /32../64, /128) and
// include /0 and host routes.  Prefixes are canonical when `canonical`.
tarn_addr_t random_addr(Rng& rng, tarn_family_t family);
tarn_prefix_t random_prefix(Rng& rng, tarn_family_t family, bool canonical);
// n records, always including /0, a host route at the top of the address
// space, the bottom address, and duplicates (when n allows).  Shuffled.
std::vector<tarn_prefix_t> random_prefix_set(Rng& rng, tarn_family_t family, size_t n,
                                             bool canonical);

// n canonical records packed into a few small clusters: each cluster is a
// base network (from the pool, or at the bottom or top of the space) and its
// records are random subnets a few bits longer, so that duplicates, nesting,
// siblings and sibling chains are the rule.  Includes host routes; no /0.
std::vector<tarn_prefix_t> clustered_prefix_set(Rng& rng, tarn_family_t family, size_t n);

// The sort key of a record for `order` (0 ascending, anything else
// descending), as a byte string: comparing two keys with < is the order.
std::vector<uint8_t> sort_key(const tarn_prefix_t& p, tarn_sort_order_t order,
                              tarn_family_t family);

// The bucket pass of the radix sort transcribed step by step (three arrays of
// bucket counters, a cursor that re-examines a position after every
// exchange, recursion over the buckets in order), on std::vector.  Gives the
// exact final arrangement, including the relative order of equal records.
void literal_radix_sort(std::vector<tarn_prefix_t>& v, tarn_sort_order_t order,
                        tarn_family_t family);

// Linear first-match containment: for each address the first prefix in list
// order whose first pfxlen bits equal the address's, tested bit by bit.
std::vector<ssize_t> first_matches(const std::vector<tarn_addr_t>& addrs,
                                   const std::vector<tarn_prefix_t>& prefixes);

// The minimal CIDR cover of the union of the prefixes' address ranges:
// intervals [first, last] as unsigned __int128, merged where they overlap or
// touch, each interval split into the largest aligned blocks from its low
// end.  Ascending.  Input must be canonical and of one family.
std::vector<tarn_prefix_t> minimal_cover(const std::vector<tarn_prefix_t>& prefixes,
                                         tarn_family_t family);

}  // namespace ref_bulk

#endif  // TARN_TEST_REF_BULK_H
