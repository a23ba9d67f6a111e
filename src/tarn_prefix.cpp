// tarn_prefix.cpp - prefixes: text in and out, masks, first/last addresses,
// containment, overlap, supernet, order, and subnet enumeration.
//
// All arithmetic is done on 128-bit keys (tarn_key.h), whose helpers carry
// the argument for /0, /32, /64, /128 and the top of the space.  Every
// function reads and writes only the first addr_len bytes (4 for
// TARN_AF_INET, 16 otherwise) of any address union: for an IPv4 record the
// other 12 bytes are unspecified, and comparing, hashing or copying them
// would make equal prefixes look different.
#include <stddef.h>
#include <stdint.h>

#include "pytarn.h"
#include "tarn_internal.h"

namespace {

// Largest length text value ever accepted, whatever the family.  parse_pfxlen
// stops at the first digit that takes the value past it, so the accumulator
// never exceeds 10 * 128 + 9 and a text like "/260" cannot wrap to 4.
constexpr unsigned kPfxlenTextMax = 128;

// Copies the family and the significant address bytes only.
void addr_copy_significant(const tarn_addr_t *src, tarn_addr_t *dst) {
  key128_store(key128_load(src), src->family, dst);
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
  if (!tarn_pfxlen_valid(addr.family, pfxlen)) return TARN_ERR_PFXLEN;

  // 4. Host bits must already be clear; this parser never clears them.
  if (key128_has_host_bits(key128_load(&addr), tarn_addr_bits(addr.family), pfxlen))
    return TARN_ERR_HOSTBITS;

  addr_copy_significant(&addr, &out->addr);
  out->pfxlen = pfxlen;
  return TARN_OK;
}

tarn_err_t tarn_prefix_from_host(const tarn_addr_t *addr, uint8_t pfxlen, tarn_prefix_t *out) {
  if (addr == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (addr->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (!tarn_pfxlen_valid(addr->family, pfxlen)) return TARN_ERR_PFXLEN;

  // The key is a local copy, so `addr` may lie inside `out`.
  const tarn_family_t family = addr->family;
  const key128 net = key128_network(key128_load(addr), tarn_addr_bits(family), pfxlen);
  key128_store(net, family, &out->addr);
  out->pfxlen = pfxlen;
  return TARN_OK;
}

tarn_err_t tarn_prefix_format(const tarn_prefix_t *prefix, char *buf, size_t len) {
  if (prefix == nullptr || buf == nullptr) return TARN_ERR_INVAL;
  if (len < TARN_PREFIX_STRLEN || prefix->addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;

  const tarn_err_t err = tarn_addr_format(&prefix->addr, buf, len);
  if (err != TARN_OK) return err;

  // The address text is at most kAddrTextMax characters, so '/', 3 digits
  // and the NUL still fit in the TARN_PREFIX_STRLEN bytes checked above.  The stored length is
  // printed as it is, in range or not.
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
  // A length above the family's bits gives all ones, /0 all zeros.
  const tarn_family_t family = prefix->addr.family;
  key128_store(key128_mask(tarn_addr_bits(family), prefix->pfxlen), family, out);
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

// Address with every bit after `pfxlen` set.  Computed from a key, so `out`
// may overlap `prefix`.
void prefix_last_compute(const tarn_prefix_t *prefix, tarn_addr_t *out) {
  const tarn_family_t family = prefix->addr.family;
  const key128 last =
      key128_last(key128_load(&prefix->addr), tarn_addr_bits(family), prefix->pfxlen);
  key128_store(last, family, out);
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

// The stored prefix address is compared unmasked against the masked address:
// the answer is exact for canonical prefixes.
tarn_err_t tarn_prefix_contains(const tarn_prefix_t *prefix, const tarn_addr_t *addr, bool *out) {
  if (prefix == nullptr || addr == nullptr) return TARN_ERR_INVAL;
  if (prefix->addr.family == TARN_AF_UNSPEC || addr->family == TARN_AF_UNSPEC)
    return TARN_ERR_INVAL;
  if (prefix->addr.family != addr->family) return TARN_ERR_FAMILY;

  const unsigned bits = tarn_addr_bits(addr->family);
  const bool inside = key128_eq(key128_network(key128_load(addr), bits, prefix->pfxlen),
                                key128_load(&prefix->addr));
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

  // Built in a key first: `out` may be `prefix` itself.
  const tarn_family_t family = prefix->addr.family;
  const uint8_t super_len = static_cast<uint8_t>(prefix->pfxlen - 1u);
  const key128 net = key128_network(key128_load(&prefix->addr), tarn_addr_bits(family), super_len);
  key128_store(net, family, &out->addr);
  out->pfxlen = super_len;
  return TARN_OK;
}

// Address order first (unsigned bytes, most significant first, which is the
// numeric order), then the shorter prefix first: a supernet sorts before the
// subnets that share its network address.
tarn_err_t tarn_prefix_cmp(const tarn_prefix_t *a, const tarn_prefix_t *b, int *result) {
  if (a == nullptr || b == nullptr || result == nullptr) return TARN_ERR_INVAL;
  if (a->addr.family == TARN_AF_UNSPEC || b->addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (a->addr.family != b->addr.family) return TARN_ERR_FAMILY;

  const int c = key128_cmp(key128_load(&a->addr), key128_load(&b->addr));
  if (c != 0) {
    *result = c;
    return TARN_OK;
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
// Keys wrap modulo 2^bits (key128_add_pow2), so IPv6 ranges of any size
// are handled.
// ---------------------------------------------------------------------------

tarn_err_t tarn_subnet_iter_init(tarn_subnet_iter_t *iter, const tarn_prefix_t *prefix,
                                 uint8_t target_pfxlen) {
  if (iter == nullptr || prefix == nullptr) return TARN_ERR_INVAL;
  const tarn_family_t family = prefix->addr.family;
  if (family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  // Subnets at the parent's own length would be the parent alone: refused,
  // so that an active iterator always yields at least two subnets.
  if (target_pfxlen <= prefix->pfxlen || !tarn_pfxlen_valid(family, target_pfxlen))
    return TARN_ERR_PFXLEN;

  const unsigned bits = tarn_addr_bits(family);
  const uint8_t parent_pfxlen = prefix->pfxlen;  // read before iter is written
  const key128 start = key128_load(&prefix->addr);

  tarn_subnet_iter_t next;
  key128_store(start, family, &next.current.addr);
  next.current.pfxlen = target_pfxlen;
  // parent_pfxlen < target_pfxlen <= bits, so the step is 1..bits; a step of
  // `bits` (parent /0) adds nothing and leaves limit at the start.
  key128_store(key128_add_pow2(start, bits, bits - parent_pfxlen), family, &next.limit.addr);
  next.limit.pfxlen = parent_pfxlen;
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
  const unsigned bits = tarn_addr_bits(family);

  tarn_prefix_t subnet;
  addr_copy_significant(&iter->current.addr, &subnet.addr);
  subnet.pfxlen = iter->target_pfxlen;

  // Step to the next subnet.  target_pfxlen is 1..bits for an initialised
  // record, so the step is 0..bits - 1 bits; the unsigned difference of any
  // other value a damaged record holds is at least `bits`, which
  // key128_add_pow2 treats as adding nothing.
  const key128 next =
      key128_add_pow2(key128_load(&iter->current.addr), bits, bits - iter->target_pfxlen);
  key128_store(next, family, &iter->current.addr);
  if (key128_eq(next, key128_load(&iter->limit.addr))) iter->done = true;

  addr_copy_significant(&subnet.addr, &out->addr);
  out->pfxlen = subnet.pfxlen;
  return TARN_OK;
}
