// tarn_classify.cpp - the special-purpose address table and the classifier.
//
// The rows follow the IANA IPv4 and IPv6 Special-Purpose Address Registries
// (RFC 6890) as of TARN_IANA_SNAPSHOT, plus the multicast (RFC 5771, RFC 4291),
// reserved (RFC 1112) and unique-local (RFC 4193) blocks.  An address gets the
// union of the bits of every row that contains it, so nested rows add up
// (192.0.0.9 is IETF-reserved from 192.0.0.0/24 and anycast from its own /32);
// no row matching means TARN_CLASS_GLOBAL alone.
#include "pytarn.h"
#include "tarn_internal.h"

namespace {

struct ClassifyRow {
  tarn_family_t family;  // TARN_AF_INET or TARN_AF_INET6, matched exactly
  uint8_t prefix[16];    // network address; IPv4 rows use bytes 0..3, rest zero
  uint8_t pfxlen;        // every prefix bit after pfxlen is zero
  tarn_class_t flags;    // the bits a match contributes
  // The registry's "Globally Reachable" column: true only where it says True.
  // False, N/A, a blank (terminated) entry and rows from outside the
  // special-purpose registries (multicast) are all false.
  bool global;
};

constexpr tarn_family_t V4 = TARN_AF_INET;
constexpr tarn_family_t V6 = TARN_AF_INET6;

// Grouped by family, then ascending by address and length.  The result does
// not depend on the order.
constexpr ClassifyRow classify_table[] = {
    {V4, {0, 0, 0, 0}, 8, TARN_CLASS_THIS_HOST, false},
    {V4, {0, 0, 0, 0}, 32, TARN_CLASS_THIS_HOST, false},
    {V4, {10, 0, 0, 0}, 8, TARN_CLASS_PRIVATE, false},
    {V4, {100, 64, 0, 0}, 10, TARN_CLASS_SHARED, false},
    {V4, {127, 0, 0, 0}, 8, TARN_CLASS_LOOPBACK, false},
    {V4, {169, 254, 0, 0}, 16, TARN_CLASS_LINK_LOCAL, false},
    {V4, {172, 16, 0, 0}, 12, TARN_CLASS_PRIVATE, false},
    {V4, {192, 0, 0, 0}, 24, TARN_CLASS_IETF_RESERVED, false},
    {V4, {192, 0, 0, 0}, 29, TARN_CLASS_IETF_RESERVED, false},
    {V4, {192, 0, 0, 8}, 32, TARN_CLASS_IETF_RESERVED, false},
    {V4, {192, 0, 0, 9}, 32, TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST, true},
    {V4, {192, 0, 0, 10}, 32, TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST, true},
    {V4, {192, 0, 0, 170}, 32, TARN_CLASS_IETF_RESERVED, false},
    {V4, {192, 0, 0, 171}, 32, TARN_CLASS_IETF_RESERVED, false},
    {V4, {192, 0, 2, 0}, 24, TARN_CLASS_DOCUMENTATION, false},
    {V4, {192, 31, 196, 0}, 24, TARN_CLASS_ANYCAST, true},
    {V4, {192, 52, 193, 0}, 24, TARN_CLASS_ANYCAST, true},
    {V4, {192, 88, 99, 0}, 24, TARN_CLASS_6TO4_RELAY, false},
    {V4, {192, 88, 99, 2}, 32, TARN_CLASS_6TO4_RELAY, false},
    {V4, {192, 168, 0, 0}, 16, TARN_CLASS_PRIVATE, false},
    {V4, {192, 175, 48, 0}, 24, TARN_CLASS_ANYCAST, true},
    {V4, {198, 18, 0, 0}, 15, TARN_CLASS_BENCHMARKING, false},
    {V4, {198, 51, 100, 0}, 24, TARN_CLASS_DOCUMENTATION, false},
    {V4, {203, 0, 113, 0}, 24, TARN_CLASS_DOCUMENTATION, false},
    {V4, {224, 0, 0, 0}, 4, TARN_CLASS_MULTICAST, false},
    {V4, {240, 0, 0, 0}, 4, TARN_CLASS_RESERVED, false},
    {V4, {255, 255, 255, 255}, 32, TARN_CLASS_BROADCAST, false},
    {V6, {}, 128, TARN_CLASS_UNSPECIFIED, false},
    {V6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128, TARN_CLASS_LOOPBACK, false},
    {V6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}, 96, TARN_CLASS_V4MAPPED, false},
    {V6, {0x00, 0x64, 0xFF, 0x9B}, 96, TARN_CLASS_V4TRANSLATED, true},
    {V6, {0x00, 0x64, 0xFF, 0x9B, 0x00, 0x01}, 48, TARN_CLASS_V4TRANSLATED, false},
    {V6, {0x01, 0x00}, 64, TARN_CLASS_DISCARD, false},
    {V6, {0x01, 0x00, 0, 0, 0, 0, 0x00, 0x01}, 64, TARN_CLASS_IETF_RESERVED, false},
    {V6, {0x20, 0x01}, 23, TARN_CLASS_IETF_RESERVED, false},
    {V6, {0x20, 0x01}, 32, TARN_CLASS_IETF_RESERVED | TARN_CLASS_TEREDO, false},
    {V6,
     {0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
     128,
     TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST,
     true},
    {V6,
     {0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2},
     128,
     TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST,
     true},
    {V6,
     {0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3},
     128,
     TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST,
     true},
    {V6, {0x20, 0x01, 0x00, 0x02}, 48, TARN_CLASS_IETF_RESERVED | TARN_CLASS_BENCHMARKING, false},
    {V6, {0x20, 0x01, 0x00, 0x03}, 32, TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST, true},
    {V6,
     {0x20, 0x01, 0x00, 0x04, 0x01, 0x12},
     48,
     TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST,
     true},
    {V6, {0x20, 0x01, 0x00, 0x10}, 28, TARN_CLASS_IETF_RESERVED, false},
    {V6, {0x20, 0x01, 0x00, 0x20}, 28, TARN_CLASS_IETF_RESERVED | TARN_CLASS_ORCHID, true},
    {V6, {0x20, 0x01, 0x00, 0x30}, 28, TARN_CLASS_IETF_RESERVED | TARN_CLASS_ORCHID, true},
    // Outside 2001::/23 (which ends at 2001:1ff:ffff:...): documentation only.
    {V6, {0x20, 0x01, 0x0D, 0xB8}, 32, TARN_CLASS_DOCUMENTATION, false},
    {V6, {0x20, 0x02}, 16, TARN_CLASS_6TO4, false},
    {V6, {0x26, 0x20, 0x00, 0x4F, 0x80, 0x00}, 48, TARN_CLASS_ANYCAST, true},
    {V6, {0x3F, 0xFF}, 20, TARN_CLASS_DOCUMENTATION, false},
    {V6, {0x5F, 0x00}, 16, TARN_CLASS_SRV6, false},
    {V6, {0xFC, 0x00}, 7, TARN_CLASS_UNIQUE_LOCAL, false},
    {V6, {0xFE, 0x80}, 10, TARN_CLASS_LINK_LOCAL, false},
    {V6, {0xFF, 0x00}, 8, TARN_CLASS_MULTICAST, false},
};

static_assert(sizeof classify_table / sizeof classify_table[0] == 53,
              "the special-purpose table has 53 rows");

// True when `key` (of the row's family) lies in the row's block.
bool row_contains(const ClassifyRow& row, key128 key) {
  return key128_contains(key128_from_bytes(row.prefix, row.family), tarn_addr_bits(row.family),
                         row.pfxlen, key);
}

}  // namespace

tarn_err_t tarn_addr_classify(const tarn_addr_t* addr, tarn_class_t* out) {
  if (addr == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (addr->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  const key128 key = key128_load(addr);
  tarn_class_t result = 0;
  // No early exit: a later row can add bits to an earlier match.
  for (const ClassifyRow& row : classify_table) {
    if (row.family != addr->family) continue;
    if (row_contains(row, key)) result |= row.flags;
  }
  *out = result != 0 ? result : TARN_CLASS_GLOBAL;
  return TARN_OK;
}

tarn_err_t tarn_addr_is_global(const tarn_addr_t* addr, bool* out) {
  if (addr == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (addr->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  const key128 key = key128_load(addr);
  // The rows of one family either nest or are disjoint, so the longest
  // matching row is unique: it alone decides.  No match: global.
  const ClassifyRow* best = nullptr;
  for (const ClassifyRow& row : classify_table) {
    if (row.family != addr->family) continue;
    if ((best == nullptr || row.pfxlen > best->pfxlen) && row_contains(row, key)) best = &row;
  }
  *out = best == nullptr || best->global;
  return TARN_OK;
}
