// ref_addr.h - slow, obviously-correct address parsing, printing and
// classification, written for clarity to check the core against.
//
// The parser splits the text into pieces with std::string and checks each
// piece on its own; the printer follows RFC 5952 section 4 literally; the
// classifier treats every special-purpose block as an integer range.
#ifndef TARN_TEST_REF_ADDR_H
#define TARN_TEST_REF_ADDR_H

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "pytarn.h"

namespace ref {

// 128-bit arithmetic keeps the range tests plain (a GCC extension).
__extension__ typedef unsigned __int128 u128;

// An address as the reference sees it: family 4 or 6 and its bytes, most
// significant first (IPv4 uses bytes 0..3, the rest stay zero).
struct Addr {
  tarn_family_t family = TARN_AF_UNSPEC;
  uint8_t bytes[16] = {};
};

// Parses the text up to its first NUL.  Returns nothing when the strict
// grammar refuses it.
std::optional<Addr> addr_parse(const std::string& text);

// Canonical text: dotted quad, or RFC 5952 with a dotted tail only for
// ::ffff:0:0/96.
std::string addr_format(const Addr& addr);

// One special-purpose block as an inclusive integer range.
struct ClassRange {
  tarn_family_t family;
  std::string text;  // the block as "address/length", for messages
  u128 first;
  u128 last;
  tarn_class_t flags;
};

// The 53 special-purpose blocks, built from their text.
const std::vector<ClassRange>& class_ranges();

// The address as an unsigned integer of 32 or 128 bits, and back.
u128 addr_to_int(const Addr& addr);
Addr addr_from_int(tarn_family_t family, u128 value);

// Union of the flags of every block with first <= x <= last, or
// TARN_CLASS_GLOBAL when there is none.
tarn_class_t addr_classify(const Addr& addr);

}  // namespace ref

#endif  // TARN_TEST_REF_ADDR_H
