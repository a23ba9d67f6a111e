// ref_index.h - slow, obviously correct models of the prefix index, for the
// index tests.
//
//   - lpm_linear: the longest-prefix match by scanning every prefix;
//   - lpm_table: the same answer from one hash table per prefix length,
//     fast enough to check large sets against every address;
//   - build_packed: the packed trie built step by step the plain way (a bit
//     scan per Patricia node, every slot walked from scratch, the distance
//     term of the DP found by searching the subtree), so that the index's
//     faster construction can be compared with it node for node.
//
// None of these share code with src/tarn_index.cpp.
#ifndef TARN_TESTS_REF_INDEX_H
#define TARN_TESTS_REF_INDEX_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "pytarn.h"
#include "tarn_internal.h"

namespace ref_index {

__extension__ typedef unsigned __int128 u128;

// 32 for TARN_AF_INET, 128 for any other family.
unsigned bits(tarn_family_t family);

// The significant bytes of an address as a big-endian integer, and back.
u128 to_int(const tarn_addr_t& addr);
tarn_addr_t from_int(tarn_family_t family, u128 value);

// A prefix record (host bits are cleared).
tarn_prefix_t make_prefix(tarn_family_t family, u128 addr, unsigned len);

// Whether `addr` lies in `p` (the first pfxlen bits agree).
bool contains(const tarn_prefix_t& p, const tarn_addr_t& addr);

// Position of the longest prefix containing `addr`, the lowest position
// among equal ones, or -1.
ssize_t lpm_linear(const std::vector<tarn_prefix_t>& prefixes, const tarn_addr_t& addr);

// The same answer through one table per length, longest length first.
class lpm_table {
 public:
  explicit lpm_table(const std::vector<tarn_prefix_t>& prefixes);
  ssize_t lookup(const tarn_addr_t& addr) const;

 private:
  struct hash {
    size_t operator()(u128 v) const {
      return std::hash<uint64_t>()(static_cast<uint64_t>(v) ^
                                   static_cast<uint64_t>(v >> 64) * 0x9E3779B97F4A7C15ull);
    }
  };
  tarn_family_t family_;
  std::vector<std::unordered_map<u128, ssize_t, hash>> by_len_;
};

// The packed trie of a canonical prefix set, built the plain way.  Also
// gives the trie's node count before packing.
struct packed_trie {
  std::vector<tarn_prefix_t> sorted;  // network order
  std::vector<tarn_lctrie_node_t> nodes;
};
packed_trie build_packed(const std::vector<tarn_prefix_t>& prefixes);

// "10.0.0.0/8"-style text for failure messages (no core code involved).
std::string to_text(const tarn_prefix_t& p);
std::string to_text(const tarn_addr_t& a);

// Random prefix sets shaped to stress the trie: clustered addresses, nested
// chains, duplicates, /0, host routes and prefixes at the top of the space.
std::vector<tarn_prefix_t> random_prefixes(std::mt19937_64& rng, tarn_family_t family,
                                           size_t count);

// Addresses drawn uniformly, from inside the given prefixes (host bits
// random), and the two ends of the space, in about equal shares.
std::vector<tarn_addr_t> random_addrs(std::mt19937_64& rng, tarn_family_t family,
                                      const std::vector<tarn_prefix_t>& prefixes, size_t count);

}  // namespace ref_index

#endif  // TARN_TESTS_REF_INDEX_H
