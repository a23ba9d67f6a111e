// tarn_prefix.cpp - prefixes: text in and out, masks, first/last addresses,
// containment, overlap, supernet, order, and subnet enumeration.
//
// All arithmetic is done on the big-endian address bytes, one byte at a
// time.  No integer wider than the address length is needed, and no shift
// ever reaches the width of its operand: every mask is built as whole 0xFF
// bytes plus at most one partial byte (0xFF << (8 - rem), rem in 1..7).
//
// Every function reads and writes only the first addr_len bytes (4 for
// TARN_AF_INET, 16 otherwise) of any address union: for an IPv4 record the
// other 12 bytes are unspecified, and comparing, hashing or copying them
// would make equal prefixes look different.
#include <stddef.h>
#include <stdint.h>

#include "pytarn.h"
#include "tarn_internal.h"

namespace {

// Longest address part of prefix text: the longest text tarn_addr_parse can
// accept is 45 bytes (six 4-digit groups and a 15-byte dotted quad).
constexpr size_t kAddrTextMax = 45;

// Largest length text value ever accepted, whatever the family.  parse_pfxlen
// stops at the first digit that takes the value past it, so the accumulator
// never exceeds 10 * 128 + 9 and a text like "/260" cannot wrap to 4.
constexpr unsigned kPfxlenTextMax = 128;

unsigned prefix_pfxlen_max(tarn_family_t family) { return tarn_addr_bits(family); }

// Byte `pfxlen / 8` of a netmask when pfxlen is not a multiple of 8: the top
// `rem` bits set.  rem is 1..7, so the shift is 1..7 and well defined; the
// result is truncated to the byte.
uint8_t partial_mask_byte(unsigned rem) {
  return static_cast<uint8_t>(0xFFu << (8u - rem));
}

// Clears every bit of `addr` after the first `pfxlen` bits, in place.  A
// length at or beyond the family's bit count changes nothing (/32, /128 and
// any larger value), so no shift by the full width can happen.  Bytes at
// addr_len and beyond are never touched.
void prefix_mask_apply(uint8_t pfxlen, tarn_addr_t *addr) {
  const size_t addr_len = tarn_addr_len(addr->family);
  size_t full_bytes = pfxlen / 8u;
  const unsigned rem = pfxlen % 8u;
  if (full_bytes >= addr_len) return;
  if (rem != 0) {
    addr->addr.v6[full_bytes] &= partial_mask_byte(rem);
    full_bytes++;
  }
  for (size_t i = full_bytes; i < addr_len; i++) addr->addr.v6[i] = 0;
}

// Writes the netmask of `prefix` into `out`: family, then `pfxlen` one bits
// and zeros up to addr_len bytes.  A length beyond the family's bits gives an
// all-ones mask; /0 gives all zeros (the loop over whole bytes simply runs
// zero times, no shift involved).
void prefix_mask_compute(const tarn_prefix_t *prefix, tarn_addr_t *out) {
  const tarn_family_t family = prefix->addr.family;
  const uint8_t pfxlen = prefix->pfxlen;
  const size_t addr_len = tarn_addr_len(family);
  size_t full_bytes = pfxlen / 8u;
  const unsigned rem = pfxlen % 8u;

  out->family = family;
  const size_t ones = full_bytes < addr_len ? full_bytes : addr_len;
  for (size_t i = 0; i < ones; i++) out->addr.v6[i] = 0xFF;
  if (full_bytes < addr_len) {
    if (rem != 0) {
      out->addr.v6[full_bytes] = partial_mask_byte(rem);
      full_bytes++;
    }
    for (size_t i = full_bytes; i < addr_len; i++) out->addr.v6[i] = 0;
  }
}

// Reads the length text after the '/'.  One or more ASCII digits, leading
// zeros allowed, nothing after them.  The value is checked after every digit
// so that the accumulator (wider than 8 bits on purpose) stays small however
// long the text is.  Writes *out only on success.
bool parse_pfxlen(const char *s, uint8_t *out) {
  if (*s < '0' || *s > '9') return false;  // also rejects the empty text
  unsigned value = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    value = value * 10u + static_cast<unsigned>(*s - '0');
    if (value > kPfxlenTextMax) return false;
  }
  if (*s != '\0') return false;
  *out = static_cast<uint8_t>(value);
  return true;
}

// Adds 2^bit_count to the big-endian number bytes[0..addr_len), dropping the
// carry out of byte 0, so the sum wraps modulo 2^(8 * addr_len).  A
// bit_count at or beyond the width adds a multiple of 2^width, that is
// nothing, which is how a /0 parent's limit equals its start.  A negative
// bit_count (only from a corrupted iterator record) is ignored so that no
// byte outside the address is ever touched.
void addr_big_endian_inc(uint8_t *bytes, size_t addr_len, int bit_count) {
  if (bit_count < 0 || static_cast<size_t>(bit_count) >= addr_len * 8u) return;
  const size_t byte_shift = static_cast<size_t>(bit_count) / 8u;
  const unsigned bit_shift = static_cast<unsigned>(bit_count) % 8u;
  size_t idx = addr_len - 1u - byte_shift;
  // bit_shift is 0..7: 1 << bit_shift fits a byte and the sum fits 9 bits.
  unsigned val = bytes[idx] + (1u << bit_shift);
  bytes[idx] = static_cast<uint8_t>(val);
  while (val > 0xFFu && idx > 0) {
    idx--;
    val = bytes[idx] + 1u;
    bytes[idx] = static_cast<uint8_t>(val);
  }
}

bool addr_bytes_equal(const uint8_t *a, const uint8_t *b, size_t addr_len) {
  for (size_t i = 0; i < addr_len; i++)
    if (a[i] != b[i]) return false;
  return true;
}

// Copies the family and the significant address bytes only.
void addr_copy_significant(const tarn_addr_t *src, tarn_addr_t *dst) {
  const size_t addr_len = tarn_addr_len(src->family);
  dst->family = src->family;
  for (size_t i = 0; i < addr_len; i++) dst->addr.v6[i] = src->addr.v6[i];
}

// Writes 1 to 3 decimal digits of `value` without a leading zero and returns
// how many were written.
size_t uint8_to_dec_text(uint8_t value, char *out) {
  size_t n = 0;
  if (value >= 100) out[n++] = static_cast<char>('0' + value / 100);
  if (value >= 10) out[n++] = static_cast<char>('0' + (value / 10) % 10);
  out[n++] = static_cast<char>('0' + value % 10);
  return n;
}

}  // namespace

// ---------------------------------------------------------------------------
// Text in and out
// ---------------------------------------------------------------------------

// Strict "address/length" parser.  Failures are reported in this order:
// missing or misplaced '/', address part, length text, length range, host
// bits; `out` is written only once every test has passed.
tarn_err_t tarn_prefix_parse(const char *src, tarn_prefix_t *out) {
  if (src == nullptr || out == nullptr) return TARN_ERR_INVAL;

  // 1. Split at the last '/'.  Taking the last one makes "10.0.0.0/8/8" fail
  //    in the address parser rather than in the length.
  const char *slash = nullptr;
  for (const char *p = src; *p != '\0'; p++)
    if (*p == '/') slash = p;
  if (slash == nullptr || slash == src) return TARN_ERR_PARSE;

  // 2. The address part goes through a bounded scratch copy.
  const size_t addr_text_len = static_cast<size_t>(slash - src);
  if (addr_text_len > kAddrTextMax) return TARN_ERR_PARSE;
  char addr_buf[kAddrTextMax + 1];
  for (size_t i = 0; i < addr_text_len; i++) addr_buf[i] = src[i];
  addr_buf[addr_text_len] = '\0';

  tarn_addr_t addr = {};
  const tarn_err_t err = tarn_addr_parse(addr_buf, &addr);
  if (err != TARN_OK) return err;

  // 3. Length text, then its range for the family.
  uint8_t pfxlen = 0;
  if (!parse_pfxlen(slash + 1, &pfxlen)) return TARN_ERR_PFXLEN;
  if (pfxlen > prefix_pfxlen_max(addr.family)) return TARN_ERR_PFXLEN;

  // 4. Host bits must already be clear; this parser never clears them.
  const size_t addr_len = tarn_addr_len(addr.family);
  uint8_t saved_bytes[16];
  for (size_t i = 0; i < addr_len; i++) saved_bytes[i] = addr.addr.v6[i];
  prefix_mask_apply(pfxlen, &addr);
  if (!addr_bytes_equal(saved_bytes, addr.addr.v6, addr_len)) return TARN_ERR_HOSTBITS;

  addr_copy_significant(&addr, &out->addr);
  out->pfxlen = pfxlen;
  return TARN_OK;
}

tarn_err_t tarn_prefix_from_host(const tarn_addr_t *addr, uint8_t pfxlen, tarn_prefix_t *out) {
  if (addr == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (addr->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (pfxlen > prefix_pfxlen_max(addr->family)) return TARN_ERR_PFXLEN;

  // Mask a local copy so that `out` is written once, whole, and so that
  // `addr` may lie inside `out`.
  tarn_addr_t masked;
  addr_copy_significant(addr, &masked);
  prefix_mask_apply(pfxlen, &masked);
  addr_copy_significant(&masked, &out->addr);
  out->pfxlen = pfxlen;
  return TARN_OK;
}

tarn_err_t tarn_prefix_format(const tarn_prefix_t *prefix, char *buf, size_t len) {
  if (prefix == nullptr || buf == nullptr) return TARN_ERR_INVAL;
  if (len < TARN_PREFIX_STRLEN || prefix->addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;

  const tarn_err_t err = tarn_addr_format(&prefix->addr, buf, len);
  if (err != TARN_OK) return err;

  // The address text is at most 45 characters, so '/', 3 digits and the NUL
  // still fit in the 50 bytes checked above.  The stored length is printed
  // as it is, in range or not.
  size_t pos = 0;
  while (buf[pos] != '\0') pos++;
  buf[pos++] = '/';
  pos += uint8_to_dec_text(prefix->pfxlen, buf + pos);
  buf[pos] = '\0';
  return TARN_OK;
}

// ---------------------------------------------------------------------------
// Arithmetic
// ---------------------------------------------------------------------------

tarn_err_t tarn_prefix_mask(const tarn_prefix_t *prefix, tarn_addr_t *out) {
  if (prefix == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (prefix->addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  tarn_addr_t mask;
  prefix_mask_compute(prefix, &mask);
  addr_copy_significant(&mask, out);
  return TARN_OK;
}

tarn_err_t tarn_prefix_first(const tarn_prefix_t *prefix, tarn_addr_t *out) {
  if (prefix == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (prefix->addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  // No mask: for a canonical prefix the stored address is the network.
  addr_copy_significant(&prefix->addr, out);
  return TARN_OK;
}

namespace {

// Address with every bit after `pfxlen` set: prefix byte OR NOT mask byte.
// Computed into a local so that `out` may overlap `prefix`.
void prefix_last_compute(const tarn_prefix_t *prefix, tarn_addr_t *out) {
  tarn_addr_t mask;
  prefix_mask_compute(prefix, &mask);
  const size_t addr_len = tarn_addr_len(prefix->addr.family);
  tarn_addr_t last;
  last.family = prefix->addr.family;
  for (size_t i = 0; i < addr_len; i++)
    last.addr.v6[i] = static_cast<uint8_t>(prefix->addr.addr.v6[i] | ~mask.addr.v6[i]);
  addr_copy_significant(&last, out);
}

}  // namespace

tarn_err_t tarn_prefix_last(const tarn_prefix_t *prefix, tarn_addr_t *out) {
  if (prefix == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (prefix->addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  prefix_last_compute(prefix, out);
  return TARN_OK;
}

tarn_err_t tarn_prefix_broadcast(const tarn_prefix_t *prefix, tarn_addr_t *out) {
  if (prefix == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (prefix->addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (prefix->addr.family != TARN_AF_INET) return TARN_ERR_FAMILY;
  prefix_last_compute(prefix, out);
  return TARN_OK;
}

// One mask build and one comparison of at most 16 bytes.  The stored prefix
// address is compared unmasked: the answer is exact for canonical prefixes.
tarn_err_t tarn_prefix_contains(const tarn_prefix_t *prefix, const tarn_addr_t *addr, bool *out) {
  if (prefix == nullptr || addr == nullptr) return TARN_ERR_INVAL;
  if (prefix->addr.family == TARN_AF_UNSPEC || addr->family == TARN_AF_UNSPEC)
    return TARN_ERR_INVAL;
  if (prefix->addr.family != addr->family) return TARN_ERR_FAMILY;

  tarn_addr_t mask;
  prefix_mask_compute(prefix, &mask);
  const size_t addr_len = tarn_addr_len(addr->family);
  bool inside = true;
  for (size_t i = 0; i < addr_len; i++) {
    if ((addr->addr.v6[i] & mask.addr.v6[i]) != prefix->addr.addr.v6[i]) {
      inside = false;
      break;
    }
  }
  if (out != nullptr) *out = inside;
  return TARN_OK;
}

// Two canonical prefixes share an address exactly when one of them contains
// the other's network address, so two containment tests decide it.
tarn_err_t tarn_prefix_overlaps(const tarn_prefix_t *a, const tarn_prefix_t *b, bool *out) {
  if (a == nullptr || b == nullptr) return TARN_ERR_INVAL;
  if (a->addr.family == TARN_AF_UNSPEC || b->addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (a->addr.family != b->addr.family) return TARN_ERR_FAMILY;

  bool inside = false;
  tarn_err_t err = tarn_prefix_contains(a, &b->addr, &inside);
  if (err != TARN_OK) return err;
  if (!inside) {
    err = tarn_prefix_contains(b, &a->addr, &inside);
    if (err != TARN_OK) return err;
  }
  if (out != nullptr) *out = inside;
  return TARN_OK;
}

tarn_err_t tarn_prefix_supernet(const tarn_prefix_t *prefix, tarn_prefix_t *out) {
  if (prefix == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (prefix->addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  // A /0 already covers the whole space; one bit shorter does not exist.
  if (prefix->pfxlen == 0) return TARN_ERR_OVERFLOW;

  // Built in a local first: `out` may be `prefix` itself.
  tarn_prefix_t super;
  addr_copy_significant(&prefix->addr, &super.addr);
  super.pfxlen = static_cast<uint8_t>(prefix->pfxlen - 1u);
  prefix_mask_apply(super.pfxlen, &super.addr);
  addr_copy_significant(&super.addr, &out->addr);
  out->pfxlen = super.pfxlen;
  return TARN_OK;
}

// Address order first (unsigned bytes, most significant first, which is the
// numeric order), then the shorter prefix first: a supernet sorts before the
// subnets that share its network address.
tarn_err_t tarn_prefix_cmp(const tarn_prefix_t *a, const tarn_prefix_t *b, int *result) {
  if (a == nullptr || b == nullptr || result == nullptr) return TARN_ERR_INVAL;
  if (a->addr.family == TARN_AF_UNSPEC || b->addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (a->addr.family != b->addr.family) return TARN_ERR_FAMILY;

  const size_t addr_len = tarn_addr_len(a->addr.family);
  for (size_t i = 0; i < addr_len; i++) {
    if (a->addr.addr.v6[i] != b->addr.addr.v6[i]) {
      *result = a->addr.addr.v6[i] < b->addr.addr.v6[i] ? -1 : 1;
      return TARN_OK;
    }
  }
  *result = a->pfxlen < b->pfxlen ? -1 : (a->pfxlen > b->pfxlen ? 1 : 0);
  return TARN_OK;
}

// ---------------------------------------------------------------------------
// Subnet iteration
//
// The iterator walks `current` from the parent's start in steps of
// 2^(bits - target) and stops when it reaches `limit`, the parent's start
// plus 2^(bits - parent length).  Both sums wrap modulo 2^bits, so the walk
// ends correctly for every parent:
//   - an ordinary prefix: current reaches the address just past its end;
//   - a prefix ending at the top of the space (255.255.255.0/24 at /25):
//     limit has wrapped to the all-zero address, and so does current after
//     the last subnet;
//   - the whole space (/0): the increment of limit is skipped, limit equals
//     the start, and current wraps back to it after 2^target steps.
// Only byte arithmetic is used, so IPv6 ranges of any size are handled.
// ---------------------------------------------------------------------------

tarn_err_t tarn_subnet_iter_init(tarn_subnet_iter_t *iter, const tarn_prefix_t *prefix,
                                 uint8_t target_pfxlen) {
  if (iter == nullptr || prefix == nullptr) return TARN_ERR_INVAL;
  const tarn_family_t family = prefix->addr.family;
  if (family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  // Subnets at the parent's own length would be the parent alone: refused,
  // so that an active iterator always yields at least two subnets.
  if (target_pfxlen <= prefix->pfxlen || target_pfxlen > prefix_pfxlen_max(family))
    return TARN_ERR_PFXLEN;

  const size_t addr_len = tarn_addr_len(family);
  const int bits = static_cast<int>(tarn_addr_bits(family));
  const uint8_t parent_pfxlen = prefix->pfxlen;  // read before iter is written

  tarn_subnet_iter_t next;
  addr_copy_significant(&prefix->addr, &next.current.addr);
  next.current.pfxlen = target_pfxlen;
  addr_copy_significant(&prefix->addr, &next.limit.addr);
  next.limit.pfxlen = parent_pfxlen;
  // parent_pfxlen < target_pfxlen <= bits, so the step is 1..bits; a step of
  // `bits` (parent /0) leaves limit at the start.
  addr_big_endian_inc(next.limit.addr.addr.v6, addr_len, bits - parent_pfxlen);
  next.target_pfxlen = target_pfxlen;
  next.done = false;

  addr_copy_significant(&next.current.addr, &iter->current.addr);
  iter->current.pfxlen = next.current.pfxlen;
  addr_copy_significant(&next.limit.addr, &iter->limit.addr);
  iter->limit.pfxlen = next.limit.pfxlen;
  iter->target_pfxlen = next.target_pfxlen;
  iter->done = next.done;
  return TARN_OK;
}

tarn_err_t tarn_subnet_iter_next(tarn_subnet_iter_t *iter, tarn_prefix_t *out) {
  if (iter == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (iter->done) return TARN_ERR_DONE;

  const tarn_family_t family = iter->current.addr.family;
  const size_t addr_len = tarn_addr_len(family);
  const int bits = static_cast<int>(tarn_addr_bits(family));

  tarn_prefix_t subnet;
  addr_copy_significant(&iter->current.addr, &subnet.addr);
  subnet.pfxlen = iter->target_pfxlen;

  // Step to the next subnet.  target_pfxlen is 1..bits for an initialised
  // record, so the step is 0..bits - 1 bits; addr_big_endian_inc ignores any
  // other value a damaged record might produce.
  addr_big_endian_inc(iter->current.addr.addr.v6, addr_len, bits - iter->target_pfxlen);
  if (addr_bytes_equal(iter->current.addr.addr.v6, iter->limit.addr.addr.v6, addr_len))
    iter->done = true;

  addr_copy_significant(&subnet.addr, &out->addr);
  out->pfxlen = subnet.pfxlen;
  return TARN_OK;
}
