// fuzz_records.h - how prefix_fuzz, bulk_fuzz and index_fuzz turn the
// fuzzer's bytes into prefix records.
//
// A stream is one header byte, then fixed-size records of kRecordLen bytes
// (a shorter tail is ignored):
//
//   header   bit 0     the set's family: 0 IPv4, 1 IPv6
//            bit 1     hostile records allowed: the bits marked (hostile)
//                      below take effect only when it is set, so that half
//                      the inputs are clean sets whose results get compared
//            bits 2-7  the target's own (see its header comment)
//
//   record   [0] control
//                bits 0-1  length: 0 the length byte mod (bits + 1); 1 an edge
//                          length of the family, chosen by the length byte; 2
//                          the previous record's length; 3 the length byte as
//                          it is (hostile: it may exceed the maximum)
//                bits 2-3  address: 0 the address bytes; 1 the previous
//                          record's, with the last bit inside the length flipped
//                          (a sibling); 2 the previous record's (nesting and
//                          duplicates); 3 the top of the space (all ones)
//                bit 4     keep the host bits (hostile)
//                bits 5-7  family: 0-5 the set's; 6 the other of IPv4 and IPv6
//                          (hostile); 7 an odd value from kOddFamilies, chosen
//                          by the last address byte (hostile)
//            [1] length byte
//            [2..17] address bytes, most significant first.  An IPv4 record
//                keeps bytes 4..15 in its unused bytes, which the core must
//                never read, so they are garbage on purpose.
//
// The "previous record" of the first one is the all-zero address with the
// length byte's length.  Each decoded record also gives a probe address: its
// address before the host bits were cleared, so that probes fall inside,
// beside and at the ends of the prefixes.
#ifndef TARN_FUZZ_RECORDS_H
#define TARN_FUZZ_RECORDS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "pytarn.h"
#include "support/ref_prefix.h"

constexpr size_t kRecordLen = 18;

// Family values a caller might hand over by mistake: unspecified, an
// unknown version, a value that looks like IPv4 or IPv6 in its low byte
// only (what a stale order tag would look like), and all ones.
constexpr tarn_family_t kOddFamilies[] = {TARN_AF_UNSPEC, 5, 0x01000004u, 0x00000106u, 0xFFFFFFFFu};

struct FuzzHeader {
  tarn_family_t family;  // TARN_AF_INET or TARN_AF_INET6
  bool hostile;
  uint8_t own;  // bits 2-7 of the header byte, shifted down
};

struct FuzzRecord {
  tarn_prefix_t prefix;   // as handed to the core
  tarn_addr_t probe;      // the address before its host bits were cleared
  uint8_t ctl, len_byte;  // the record's first two bytes, for the target's own use
};

inline FuzzHeader fuzz_header(const uint8_t* data, size_t size) {
  const uint8_t h = size > 0 ? data[0] : 0;
  return FuzzHeader{(h & 1) ? TARN_AF_INET6 : TARN_AF_INET, (h & 2) != 0,
                    static_cast<uint8_t>(h >> 2)};
}

inline unsigned fuzz_edge_length(tarn_family_t family, uint8_t pick) {
  static const unsigned kV4[] = {0, 1, 7, 8, 9, 16, 24, 31, 32};
  static const unsigned kV6[] = {0, 1, 8, 16, 32, 48, 63, 64, 65, 96, 120, 127, 128};
  if (family == TARN_AF_INET) return kV4[pick % (sizeof kV4 / sizeof kV4[0])];
  return kV6[pick % (sizeof kV6 / sizeof kV6[0])];
}

// Flips bit `bit` (0 = most significant) of the address bytes.
inline void fuzz_flip_bit(uint8_t* bytes, unsigned bit) {
  bytes[bit / 8] ^= static_cast<uint8_t>(0x80u >> (bit % 8));
}

// Clears every significant bit after `len`, through the integer model: the
// mask of a length at or above the width is all ones, so nothing is cleared.
inline void fuzz_clear_host_bits(tarn_addr_t* a, unsigned len) {
  const ref_prefix::u128 v = ref_prefix::to_int(*a) & ref_prefix::mask(a->family, len);
  ref_prefix::from_int(a->family, v, a);
}

// Decodes one record; `prev` is the previous record (or the starting one).
inline FuzzRecord fuzz_record(const uint8_t* r, const FuzzHeader& h, const FuzzRecord& prev) {
  const uint8_t ctl = r[0], len_byte = r[1];
  const uint8_t* bytes = r + 2;
  tarn_family_t family = h.family;
  const unsigned fam_mode = ctl >> 5;
  if (h.hostile && fam_mode == 6) family = h.family == TARN_AF_INET ? TARN_AF_INET6 : TARN_AF_INET;
  if (h.hostile && fam_mode == 7)
    family = kOddFamilies[bytes[15] % (sizeof kOddFamilies / sizeof kOddFamilies[0])];
  const unsigned bits = ref_prefix::bits(family);

  unsigned len = len_byte % (bits + 1);
  switch (ctl & 3) {
    case 1:
      len = fuzz_edge_length(family, len_byte);
      break;
    case 2:
      len = prev.prefix.pfxlen % (bits + 1);
      break;
    case 3:
      if (h.hostile) len = len_byte;
      break;
  }

  FuzzRecord out;
  memset(&out, 0, sizeof out);
  tarn_addr_t& a = out.probe;
  memcpy(a.addr.v6, bytes, 16);
  const size_t sig = bits / 8;
  switch ((ctl >> 2) & 3) {
    case 1:
      memcpy(a.addr.v6, prev.probe.addr.v6, sig);
      if (len > 0 && len <= bits) fuzz_flip_bit(a.addr.v6, len - 1);
      break;
    case 2:
      memcpy(a.addr.v6, prev.probe.addr.v6, sig);
      break;
    case 3:
      memset(a.addr.v6, 0xFF, sig);
      break;
  }
  a.family = family;
  out.ctl = ctl;
  out.len_byte = len_byte;
  out.prefix.addr = a;
  out.prefix.pfxlen = static_cast<uint8_t>(len);
  if (!(h.hostile && (ctl & 0x10))) fuzz_clear_host_bits(&out.prefix.addr, len);
  return out;
}

// Every whole record after the header, at most `max_records`.
inline std::vector<FuzzRecord> fuzz_records(const uint8_t* data, size_t size, const FuzzHeader& h,
                                            size_t max_records) {
  std::vector<FuzzRecord> out;
  FuzzRecord prev;
  memset(&prev, 0, sizeof prev);
  prev.probe.family = h.family;
  for (size_t at = 1; at + kRecordLen <= size && out.size() < max_records; at += kRecordLen) {
    if (out.empty()) prev.prefix.pfxlen = data[at + 1];
    out.push_back(fuzz_record(data + at, h, prev));
    prev = out.back();
  }
  return out;
}

inline std::vector<tarn_prefix_t> fuzz_prefixes(const std::vector<FuzzRecord>& records) {
  std::vector<tarn_prefix_t> out;
  for (const FuzzRecord& r : records) out.push_back(r.prefix);
  return out;
}

inline std::vector<tarn_addr_t> fuzz_probes(const std::vector<FuzzRecord>& records) {
  std::vector<tarn_addr_t> out;
  for (const FuzzRecord& r : records) out.push_back(r.probe);
  return out;
}

// Writes one clean record (control 0: the length byte and the address
// bytes as they are) for the seed generator.
inline void fuzz_encode(const tarn_prefix_t& p, std::vector<uint8_t>* out) {
  out->push_back(0);
  out->push_back(p.pfxlen);
  out->insert(out->end(), p.addr.addr.v6, p.addr.addr.v6 + 16);
}

#endif  // TARN_FUZZ_RECORDS_H
