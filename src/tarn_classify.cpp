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
};

constexpr tarn_family_t V4 = TARN_AF_INET;
constexpr tarn_family_t V6 = TARN_AF_INET6;

// Grouped by family, then ascending by address and length.  The result does
// not depend on the order.
constexpr ClassifyRow classify_table[] = {
    {V4, {0, 0, 0, 0}, 8, TARN_CLASS_THIS_HOST},
    {V4, {0, 0, 0, 0}, 32, TARN_CLASS_THIS_HOST},
    {V4, {10, 0, 0, 0}, 8, TARN_CLASS_PRIVATE},
    {V4, {100, 64, 0, 0}, 10, TARN_CLASS_SHARED},
    {V4, {127, 0, 0, 0}, 8, TARN_CLASS_LOOPBACK},
    {V4, {169, 254, 0, 0}, 16, TARN_CLASS_LINK_LOCAL},
    {V4, {172, 16, 0, 0}, 12, TARN_CLASS_PRIVATE},
    {V4, {192, 0, 0, 0}, 24, TARN_CLASS_IETF_RESERVED},
    {V4, {192, 0, 0, 0}, 29, TARN_CLASS_IETF_RESERVED},
    {V4, {192, 0, 0, 8}, 32, TARN_CLASS_IETF_RESERVED},
    {V4, {192, 0, 0, 9}, 32, TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST},
    {V4, {192, 0, 0, 10}, 32, TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST},
    {V4, {192, 0, 0, 170}, 32, TARN_CLASS_IETF_RESERVED},
    {V4, {192, 0, 0, 171}, 32, TARN_CLASS_IETF_RESERVED},
    {V4, {192, 0, 2, 0}, 24, TARN_CLASS_DOCUMENTATION},
    {V4, {192, 31, 196, 0}, 24, TARN_CLASS_ANYCAST},
    {V4, {192, 52, 193, 0}, 24, TARN_CLASS_ANYCAST},
    {V4, {192, 88, 99, 0}, 24, TARN_CLASS_6TO4_RELAY},
    {V4, {192, 88, 99, 2}, 32, TARN_CLASS_6TO4_RELAY},
    {V4, {192, 168, 0, 0}, 16, TARN_CLASS_PRIVATE},
    {V4, {192, 175, 48, 0}, 24, TARN_CLASS_ANYCAST},
    {V4, {198, 18, 0, 0}, 15, TARN_CLASS_BENCHMARKING},
    {V4, {198, 51, 100, 0}, 24, TARN_CLASS_DOCUMENTATION},
    {V4, {203, 0, 113, 0}, 24, TARN_CLASS_DOCUMENTATION},
    {V4, {224, 0, 0, 0}, 4, TARN_CLASS_MULTICAST},
    {V4, {240, 0, 0, 0}, 4, TARN_CLASS_RESERVED},
    {V4, {255, 255, 255, 255}, 32, TARN_CLASS_BROADCAST},
    {V6, {}, 128, TARN_CLASS_UNSPECIFIED},
    {V6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128, TARN_CLASS_LOOPBACK},
    {V6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}, 96, TARN_CLASS_V4MAPPED},
    {V6, {0x00, 0x64, 0xFF, 0x9B}, 96, TARN_CLASS_V4TRANSLATED},
    {V6, {0x00, 0x64, 0xFF, 0x9B, 0x00, 0x01}, 48, TARN_CLASS_V4TRANSLATED},
    {V6, {0x01, 0x00}, 64, TARN_CLASS_DISCARD},
    {V6, {0x01, 0x00, 0, 0, 0, 0, 0x00, 0x01}, 64, TARN_CLASS_IETF_RESERVED},
    {V6, {0x20, 0x01}, 23, TARN_CLASS_IETF_RESERVED},
    {V6, {0x20, 0x01}, 32, TARN_CLASS_IETF_RESERVED | TARN_CLASS_TEREDO},
    {V6,
     {0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
     128,
     TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST},
    {V6,
     {0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2},
     128,
     TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST},
    {V6,
     {0x20, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3},
     128,
     TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST},
    {V6, {0x20, 0x01, 0x00, 0x02}, 48, TARN_CLASS_IETF_RESERVED | TARN_CLASS_BENCHMARKING},
    {V6, {0x20, 0x01, 0x00, 0x03}, 32, TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST},
    {V6, {0x20, 0x01, 0x00, 0x04, 0x01, 0x12}, 48, TARN_CLASS_IETF_RESERVED | TARN_CLASS_ANYCAST},
    {V6, {0x20, 0x01, 0x00, 0x10}, 28, TARN_CLASS_IETF_RESERVED},
    {V6, {0x20, 0x01, 0x00, 0x20}, 28, TARN_CLASS_IETF_RESERVED | TARN_CLASS_ORCHID},
    {V6, {0x20, 0x01, 0x00, 0x30}, 28, TARN_CLASS_IETF_RESERVED | TARN_CLASS_ORCHID},
    {V6, {0x20, 0x01, 0x0D, 0xB8}, 32, TARN_CLASS_IETF_RESERVED | TARN_CLASS_DOCUMENTATION},
    {V6, {0x20, 0x02}, 16, TARN_CLASS_6TO4},
    {V6, {0x26, 0x20, 0x00, 0x4F, 0x80, 0x00}, 48, TARN_CLASS_ANYCAST},
    {V6, {0x3F, 0xFF}, 20, TARN_CLASS_DOCUMENTATION},
    {V6, {0x5F, 0x00}, 16, TARN_CLASS_SRV6},
    {V6, {0xFC, 0x00}, 7, TARN_CLASS_UNIQUE_LOCAL},
    {V6, {0xFE, 0x80}, 10, TARN_CLASS_LINK_LOCAL},
    {V6, {0xFF, 0x00}, 8, TARN_CLASS_MULTICAST},
};

static_assert(sizeof classify_table / sizeof classify_table[0] == 53,
              "the special-purpose table has 53 rows");

// True when `bytes` (addr_len of them) masked to the row's length equal the
// row's prefix.  Stops at the first differing byte.
bool row_contains(const ClassifyRow& row, const uint8_t* bytes, unsigned addr_len) {
  for (unsigned i = 0; i < addr_len; ++i) {
    const unsigned lo = 8 * i;
    uint8_t b;
    if (row.pfxlen >= lo + 8) {
      b = bytes[i];
    } else if (row.pfxlen > lo) {
      // remaining is 1..7 here, so the shift is by 1..7 bits: never the full
      // width of the operand.
      const unsigned remaining = row.pfxlen - lo;
      b = static_cast<uint8_t>(bytes[i] & static_cast<uint8_t>(0xFFu << (8 - remaining)));
    } else {
      b = 0;
    }
    if (b != row.prefix[i]) return false;
  }
  return true;
}

}  // namespace

tarn_err_t tarn_addr_classify(const tarn_addr_t* addr, tarn_class_t* out) {
  if (addr == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (addr->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  const unsigned addr_len = static_cast<unsigned>(tarn_addr_len(addr->family));
  tarn_class_t result = 0;
  // No early exit: a later row can add bits to an earlier match.
  for (const ClassifyRow& row : classify_table) {
    if (row.family != addr->family) continue;
    if (row_contains(row, addr->addr.v6, addr_len)) result |= row.flags;
  }
  *out = result != 0 ? result : TARN_CLASS_GLOBAL;
  return TARN_OK;
}
