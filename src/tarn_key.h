// tarn_key.h - an address as one 128-bit number held in two 64-bit words.
//
// Every piece of address arithmetic in the core (masks, containment, host
// bits, supernets, increments, the order of addresses) goes through the few
// helpers below, so that each edge of the address space is argued once here
// and every caller inherits the argument.
//
// Layout: a key is the address's numeric value, most significant word in
// `hi`.  An IPv6 address fills both words; an IPv4 address sits in the low
// 32 bits of `lo` with every other bit zero (right-aligned, as net/netip
// keeps it), so that the numeric order, increments and ranges need no case
// for the family.  A length `len` of a family of `bits` bits (32 or 128)
// then covers key bits 127 - (128 - bits) - len + 1 .. 0 as host bits: the
// netmask of an IPv4 /len is the 128-bit mask of 96 + len leading ones.
//
// The boundary argument, written once.  A C++ shift by the full width of
// its operand (64 for a word) or more is undefined behaviour, so the mask of
// n leading ones (n = 0..128) is built per word with three arms:
//   hi: n == 0 -> 0;    n >= 64 -> all ones;   else ~0 << (64 - n), 64 - n in 1..63
//   lo: n <= 64 -> 0;   n >= 128 -> all ones;  else ~0 << (128 - n), 128 - n in 1..63
// so /0 (n = 0, or 96 for IPv4), /64 (n = 64) and /128 (n = 128) each take
// a constant arm and every shift that remains is by 1..63.  A length above
// the family's bits is taken as the family's bits (all ones): the public
// prefix functions do not re-check lengths and have always answered so.
// Increments work modulo 2^bits: past the top of the space a key wraps to
// zero and the caller is told (see key128_inc).
#ifndef TARN_KEY_H
#define TARN_KEY_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <bit>

#include "pytarn.h"

// ---------------------------------------------------------------------------
// Address length and text length.
// ---------------------------------------------------------------------------

// Address length in bytes and bits.  Only TARN_AF_INET is 4 bytes; every
// other family value is handled as IPv6.  Callers reject TARN_AF_UNSPEC first.
static inline size_t tarn_addr_len(tarn_family_t family) { return family == TARN_AF_INET ? 4 : 16; }
static inline unsigned tarn_addr_bits(tarn_family_t family) {
  return family == TARN_AF_INET ? 32u : 128u;
}
// Whether `pfxlen` is a valid length for `family` (0..32 or 0..128).
static inline bool tarn_pfxlen_valid(tarn_family_t family, unsigned pfxlen) {
  return pfxlen <= tarn_addr_bits(family);
}

// The longest address text tarn_addr_parse can accept and tarn_addr_format
// can produce: six 4-digit groups, six colons and a 15-byte dotted quad
// (ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255).  The public buffer size
// adds the NUL.
constexpr unsigned kAddrTextMax = 45;
static_assert(TARN_ADDR_STRLEN == kAddrTextMax + 1, "TARN_ADDR_STRLEN is the text and its NUL");
// A prefix adds '/' and at most 3 digits.
static_assert(TARN_PREFIX_STRLEN >= kAddrTextMax + 1 + 3 + 1, "TARN_PREFIX_STRLEN too small");

// ---------------------------------------------------------------------------
// The key.
// ---------------------------------------------------------------------------

struct key128 {
  uint64_t hi, lo;  // the numeric value hi * 2^64 + lo; see the layout above
};

static inline uint64_t key128_load_be64(const uint8_t* b) {
  uint64_t v;
  memcpy(&v, b, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}
static inline uint32_t key128_load_be32(const uint8_t* b) {
  uint32_t v;
  memcpy(&v, b, 4);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  return v;
}
static inline void key128_store_be64(uint8_t* b, uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  memcpy(b, &v, 8);
}
static inline void key128_store_be32(uint8_t* b, uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  memcpy(b, &v, 4);
}

// The key of the first tarn_addr_len(family) bytes of `bytes` (16 bytes of
// an address union); the other bytes of an IPv4 record are not read.
static inline key128 key128_from_bytes(const uint8_t* bytes, tarn_family_t family) {
  if (family == TARN_AF_INET) return {0, key128_load_be32(bytes)};
  return {key128_load_be64(bytes), key128_load_be64(bytes + 8)};
}
static inline key128 key128_load(const tarn_addr_t* a) {
  return key128_from_bytes(a->addr.v6, a->family);
}

// Writes `family` and its tarn_addr_len bytes of `k` into `out`; the other
// 12 bytes of an IPv4 record are not written.  For IPv4 only the low 32 bits
// of `k` are stored.
static inline void key128_store(key128 k, tarn_family_t family, tarn_addr_t* out) {
  out->family = family;
  if (family == TARN_AF_INET) {
    key128_store_be32(out->addr.v4, static_cast<uint32_t>(k.lo));
  } else {
    key128_store_be64(out->addr.v6, k.hi);
    key128_store_be64(out->addr.v6 + 8, k.lo);
  }
}

static inline bool key128_eq(key128 a, key128 b) { return a.hi == b.hi && a.lo == b.lo; }
static inline bool key128_lt(key128 a, key128 b) {
  return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo;
}
static inline int key128_cmp(key128 a, key128 b) {
  return key128_lt(a, b) ? -1 : (key128_lt(b, a) ? 1 : 0);
}
static inline key128 key128_and(key128 a, key128 b) { return {a.hi & b.hi, a.lo & b.lo}; }
static inline key128 key128_or(key128 a, key128 b) { return {a.hi | b.hi, a.lo | b.lo}; }
static inline key128 key128_xor(key128 a, key128 b) { return {a.hi ^ b.hi, a.lo ^ b.lo}; }
static inline bool key128_is_zero(key128 a) { return (a.hi | a.lo) == 0; }

// n leading one bits out of 128 (n = 0..128; more counts as 128).  The arms
// are those of the boundary argument at the top of this file.
static inline key128 key128_leading_ones(unsigned n) {
  const uint64_t ones = ~uint64_t{0};
  return {n == 0    ? 0
          : n >= 64 ? ones
                    : ones << (64 - n),
          n <= 64    ? 0
          : n >= 128 ? ones
                     : ones << (128 - n)};
}

// The netmask of a /len of a `bits`-bit family, as a key: for IPv4 its 96
// leading ones lie above the address and meet only zeros in a key.
static inline key128 key128_mask(unsigned bits, unsigned len) {
  return key128_leading_ones(128u - bits + (len < bits ? len : bits));
}
// The host bits of a /len: the `bits - len` lowest bits (none above the
// family's width, so an IPv4 hostmask is a valid IPv4 key).
static inline key128 key128_hostmask(unsigned bits, unsigned len) {
  const key128 m = key128_mask(bits, len);
  return {~m.hi, ~m.lo};
}

// Whether `k` has a bit set after its first `len` bits.
static inline bool key128_has_host_bits(key128 k, unsigned bits, unsigned len) {
  return !key128_is_zero(key128_and(k, key128_hostmask(bits, len)));
}
// `k` with its host bits cleared: the network of the /len containing it
// (the supernet of a prefix is its network at len - 1).
static inline key128 key128_network(key128 k, unsigned bits, unsigned len) {
  return key128_and(k, key128_mask(bits, len));
}
// The last address of the /len containing `k`.
static inline key128 key128_last(key128 k, unsigned bits, unsigned len) {
  return key128_or(k, key128_hostmask(bits, len));
}
// Whether `k` shares the first `len` bits of `net`; host bits of `net` are
// not read.  /0 contains every key of the family.
static inline bool key128_contains(key128 net, unsigned bits, unsigned len, key128 k) {
  return key128_is_zero(key128_and(key128_xor(net, k), key128_mask(bits, len)));
}

// The family's largest key: all `bits` bits set.
static inline key128 key128_top(unsigned bits) { return key128_hostmask(bits, 0); }

// k + 1 modulo 2^bits: returns true (and leaves k = 0) when k was the top of
// the space.  k must be a valid key of the family.
static inline bool key128_inc(key128* k, unsigned bits) {
  if (key128_eq(*k, key128_top(bits))) {
    *k = {0, 0};
    return true;
  }
  k->lo++;
  if (k->lo == 0) k->hi++;  // carry; cannot leave the family: k was below the top
  return false;
}
// k - 1 modulo 2^bits: returns true (and leaves k = the top) when k was 0.
static inline bool key128_dec(key128* k, unsigned bits) {
  if (key128_is_zero(*k)) {
    *k = key128_top(bits);
    return true;
  }
  if (k->lo == 0) k->hi--;  // borrow
  k->lo--;
  return false;
}

// k + 2^n modulo 2^bits; n >= bits adds a multiple of 2^bits, nothing.
// 2^n is 1 << n in lo for n < 64 and 1 << (n - 64) in hi for 64 <= n < 128,
// so both shifts are by 0..63.
static inline key128 key128_add_pow2(key128 k, unsigned bits, unsigned n) {
  if (n >= bits) return k;
  if (n < 64) {
    const uint64_t lo = k.lo + (uint64_t{1} << n);
    k.hi += lo < k.lo;  // carry out of lo
    k.lo = lo;
  } else {
    k.hi += uint64_t{1} << (n - 64);
  }
  return key128_and(k, key128_top(bits));  // IPv4: drop the carry out of bit 31
}

// x << n and x >> n for 0 <= n < 128, without branches.  A 64-bit word must
// never be shifted by 64 (undefined): the bits crossing between the words
// are moved as (w >> 1) >> (63 - k), which is w >> 64 = 0 when k is 0.
static inline key128 key128_shl(key128 x, unsigned n) {
  const unsigned k = n & 63;
  const uint64_t moved = x.lo << k;
  const uint64_t crossed = (x.hi << k) | ((x.lo >> 1) >> (63 - k));
  return n >= 64 ? key128{moved, 0} : key128{crossed, moved};
}
static inline key128 key128_shr(key128 x, unsigned n) {
  const unsigned k = n & 63;
  const uint64_t moved = x.hi >> k;
  const uint64_t crossed = (x.lo >> k) | ((x.hi << 1) << (63 - k));
  return n >= 64 ? key128{0, moved} : key128{moved, crossed};
}

// a - b modulo 2^128 (the caller keeps b <= a where it needs a difference).
static inline key128 key128_sub(key128 a, key128 b) {
  return {a.hi - b.hi - (a.lo < b.lo), a.lo - b.lo};  // borrow out of lo
}
// Number of significant bits of k: 0 for zero, else the top set bit + 1.
// countl_zero of a zero word is 64, so hi == 0 needs no case of its own.
static inline unsigned key128_bit_length(key128 k) {
  if (k.hi != 0) return 128u - static_cast<unsigned>(std::countl_zero(k.hi));
  return 64u - static_cast<unsigned>(std::countl_zero(k.lo));
}

// Number of trailing zero bits of k (128 for zero).
static inline unsigned key128_ctz(key128 k) {
  if (k.lo != 0) return static_cast<unsigned>(std::countr_zero(k.lo));
  return 64u + static_cast<unsigned>(std::countr_zero(k.hi));  // countr_zero(0) is 64
}
// Number of leading bits, of a `bits`-bit family, in which a and b agree
// (0..bits).  countl_zero of a zero word is 64, so no case is special.
static inline unsigned key128_common_bits(key128 a, key128 b, unsigned bits) {
  const key128 x = key128_xor(a, b);
  const unsigned lead = x.hi != 0 ? static_cast<unsigned>(std::countl_zero(x.hi))
                                  : 64u + static_cast<unsigned>(std::countl_zero(x.lo));
  const unsigned common = lead - (128u - bits);  // IPv4 keys have 96 leading zeros
  return common;
}

// The IPv4 netmask of a /len as a 32-bit word: len = 0 and len >= 32 take
// their own arms, so the shift is by 1..31.
static inline uint32_t key_mask32(unsigned len) {
  return len == 0 ? 0 : len >= 32 ? ~uint32_t{0} : ~uint32_t{0} << (32 - len);
}

#endif  // TARN_KEY_H
