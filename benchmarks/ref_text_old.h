// ref_text_old.h - the address parser and printer as they were before the
// SSE4.1 path, kept verbatim (public functions renamed, in namespace
// old_text) so that bench_addr can time the new code against the old in
// the same run.  Not used by the library.
#ifndef TARN_BENCH_REF_TEXT_OLD_H
#define TARN_BENCH_REF_TEXT_OLD_H

#include <string.h>

#include <bit>
#include <utility>

// The byte classes come from SSE2 where the target has it, else from
// 64-bit word arithmetic (SWAR).  TARN_NO_SIMD (CMake -DTARN_SIMD=OFF)
// selects the word path on x86 too, so that it is built and tested there.
#if defined(__SSE2__) && !defined(TARN_NO_SIMD)
#include <emmintrin.h>
#endif

#include "pytarn.h"
#include "tarn_internal.h"

namespace old_text {

namespace {

// ---------------------------------------------------------------------------
// Tables
// ---------------------------------------------------------------------------

// Value of a hex digit, indexed by the unsigned byte; 0xFF marks a non-digit
// (every byte of 0x80 and above included).
constexpr uint8_t kNotHex = 0xFF;

struct HexTable {
  uint8_t v[256];
};

constexpr HexTable make_hex_val() {
  HexTable t{};
  for (int i = 0; i < 256; ++i) t.v[i] = kNotHex;
  for (int i = 0; i < 10; ++i) t.v['0' + i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 6; ++i) {
    t.v['a' + i] = static_cast<uint8_t>(10 + i);
    t.v['A' + i] = static_cast<uint8_t>(10 + i);
  }
  return t;
}

constexpr HexTable hex_val = make_hex_val();

constexpr char hex_digits[] = "0123456789abcdef";

// Output text is assembled in integer words whose byte k (counting from the
// least significant) is character k; store_text writes such a word in that
// order whatever the machine's byte order.

// Two lower-case hex digits per byte value, built from hex_digits.
struct HexPairTable {
  uint16_t w[256];
};

constexpr HexPairTable make_hex_pairs() {
  HexPairTable t{};
  for (int i = 0; i < 256; ++i) {
    t.w[i] = static_cast<uint16_t>(hex_digits[i >> 4] | (hex_digits[i & 0xF] << 8));
  }
  return t;
}

constexpr HexPairTable hex_pairs = make_hex_pairs();

// Decimal text of 0..255 followed by '.', and its digit count (1..3).
struct DecTable {
  uint32_t w[256];
  uint8_t len[256];
};

constexpr DecTable make_dec() {
  DecTable t{};
  for (unsigned v = 0; v < 256; ++v) {
    unsigned n = 0;
    uint32_t w = 0;
    auto put = [&](unsigned c) { w |= c << (8 * n++); };
    if (v >= 100) put('0' + v / 100);
    if (v >= 10) put('0' + v / 10 % 10);
    put('0' + v % 10);
    t.len[v] = static_cast<uint8_t>(n);
    put('.');
    t.w[v] = w;
  }
  return t;
}

constexpr DecTable dec = make_dec();

// ---------------------------------------------------------------------------
// Byte classes of a text
// ---------------------------------------------------------------------------

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHigh = 0x8080808080808080ull;

// Little-endian loads: byte i of the text lands in bits 8i..8i+7.
inline uint64_t load64(const uint8_t* p) {
  uint64_t x;
  memcpy(&x, p, 8);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;
}

inline uint32_t load32(const uint8_t* p) {
  uint32_t x;
  memcpy(&x, p, 4);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap32(x);
  return x;
}

// Index of the highest set bit of a non-zero x.
inline unsigned top_bit(uint64_t x) { return 63u - static_cast<unsigned>(std::countl_zero(x)); }

// Bit i set when byte i of a 16-byte window is of the class.
struct Classes16 {
  uint32_t colon, dot, digit, zero, hex;
};

#if defined(__SSE2__) && !defined(TARN_NO_SIMD)
// A 16-byte window given as two words, bytes 0..7 in `lo`.  Signed byte
// compares: bytes of 0x80 and above are negative and fall outside every
// range.

// Only what IPv6 text needs: colons, dots and hex digits.
inline Classes16 classify_ipv6_16(uint64_t lo, uint64_t hi) {
  const __m128i x = _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
  const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)),
                                      _mm_cmplt_epi8(x, _mm_set1_epi8('9' + 1)));
  const __m128i folded = _mm_or_si128(x, _mm_set1_epi8(0x20));
  const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                       _mm_cmplt_epi8(folded, _mm_set1_epi8('f' + 1)));
  Classes16 c{};
  c.colon = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(':'))));
  c.dot = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('.'))));
  c.hex = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(digit, letter)));
  return c;
}

// Only what a dotted quad needs: dots, digits and '0's.
inline Classes16 classify_quad16(uint64_t lo, uint64_t hi) {
  const __m128i x = _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
  const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)),
                                      _mm_cmplt_epi8(x, _mm_set1_epi8('9' + 1)));
  Classes16 c{};
  c.dot = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('.'))));
  c.zero = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('0'))));
  c.digit = static_cast<uint32_t>(_mm_movemask_epi8(digit));
  return c;
}
#else
// The same on 64-bit words (SWAR).  Every step keeps each byte's sum below
// 0x100, so no carry crosses from one byte to the next.

// 0x80 in every byte of x equal to c.
inline uint64_t bytes_eq(uint64_t x, uint8_t c) {
  const uint64_t t = x ^ (kOnes * c);
  return ~(((t & ~kHigh) + ~kHigh) | t) & kHigh;
}

// 0x80 in every byte of x within [lo, hi] (both below 0x80, lo at least 1);
// bytes of 0x80 and above never match.
inline uint64_t bytes_in(uint64_t x, uint8_t lo, uint8_t hi) {
  const uint64_t low7 = x & ~kHigh;
  const uint64_t ge_lo = low7 + kOnes * (0x80 - lo);
  const uint64_t gt_hi = low7 + kOnes * (0x7F - hi);
  return ge_lo & ~gt_hi & ~x & kHigh;
}

// The 0x80 bits of the eight bytes as an 8-bit mask, byte i to bit i: the
// multiplier moves byte i's bit to bit 56 + i, and no two partial products
// meet in the top byte or carry into it.
inline uint32_t gather(uint64_t m) {
  return static_cast<uint32_t>((m * 0x0002040810204081ull) >> 56);
}

inline Classes16 classify16(uint64_t lo, uint64_t hi) {
  Classes16 c{};
  const uint64_t words[2] = {lo, hi};
  for (int w = 0; w < 2; ++w) {
    const uint64_t x = words[w];
    const uint64_t digit = bytes_in(x, '0', '9');
    const uint64_t letter = bytes_in(x | (kOnes * 0x20), 'a', 'f');
    c.colon |= gather(bytes_eq(x, ':')) << (8 * w);
    c.dot |= gather(bytes_eq(x, '.')) << (8 * w);
    c.zero |= gather(bytes_eq(x, '0')) << (8 * w);
    c.digit |= gather(digit) << (8 * w);
    c.hex |= gather(digit | letter) << (8 * w);
  }
  return c;
}

inline Classes16 classify_quad16(uint64_t lo, uint64_t hi) { return classify16(lo, hi); }
inline Classes16 classify_ipv6_16(uint64_t lo, uint64_t hi) { return classify16(lo, hi); }
#endif

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------

// The longest text that can succeed is kAddrTextMax (tarn_key.h) bytes.
// Anything longer fails whatever it holds, so the scan stops there instead
// of walking a long text to its end.
constexpr unsigned kMaxText = kAddrTextMax;

// An IPv6 text and its byte classes.  The text is read in place: bytes
// 0..len (the last one being the NUL) and nothing after.
struct Scan {
  const uint8_t* text;
  unsigned len;  // 1..kMaxText
  // Bit i describes byte i of the text.
  uint64_t colon, dot, hex;
};

// Length of the text if it is at most kMaxText bytes, else kMaxText + 1.
// Each byte is read only after the one before it proved not to be the NUL;
// the comparisons are unrolled, one compare and branch per byte.
template <unsigned... I>
inline unsigned bounded_length(const char* src, std::integer_sequence<unsigned, I...>) {
  unsigned n = sizeof...(I);
  (void)((src[I] != '\0' || (n = I, false)) && ...);
  return n;
}

// The 16-byte window of a text of 7 to 15 bytes, in text positions: the
// first word, and the word ending at the NUL shifted down so that position 8
// is its byte 0 (bytes beyond the NUL come in as zeros).  For n = 7 the
// text ends inside the first word; for n > 7 the shift is 0..56 bits.
inline void short_window(const uint8_t* t, unsigned n, uint64_t* lo, uint64_t* hi) {
  *lo = load64(t);
  *hi = n > 7 ? load64(t + n - 7) >> (8 * (15 - n)) : 0;
}

// Classifies every byte of a text of n bytes (1..kMaxText) as IPv6 needs.
//
// The text is read in 16-byte windows that end at the NUL at the latest: at
// 0, 16 and 32, the last one pulled back to end exactly at the NUL;
// overlapping windows report the same bits twice.  A text of 7 to 14 bytes
// is one short window, and a shorter one is gathered byte by byte.
inline void scan_text(const char* src, unsigned n, Scan* s) {
  const uint8_t* t = reinterpret_cast<const uint8_t*>(src);
  s->text = t;
  s->len = n;
  s->colon = s->dot = s->hex = 0;
  // pos is at most kMaxText, so the shifts stay inside the masks.
  auto add = [s](uint64_t lo, uint64_t hi, unsigned pos) {
    const Classes16 c = classify_ipv6_16(lo, hi);
    s->colon |= uint64_t{c.colon} << pos;
    s->dot |= uint64_t{c.dot} << pos;
    s->hex |= uint64_t{c.hex} << pos;
  };
  if (n >= 15) {
    const unsigned last = n - 15;  // the window at `last` ends at the NUL
    for (unsigned o = 0; o < n; o += 16) {
      const unsigned pos = o < last ? o : last;
      add(load64(t + pos), load64(t + pos + 8), pos);
    }
  } else if (n >= 7) {
    uint64_t lo, hi;
    short_window(t, n, &lo, &hi);
    add(lo, hi, 0);
  } else {
    uint64_t x = 0;
    for (unsigned i = 0; i < n; ++i) x |= uint64_t{t[i]} << (8 * i);
    add(x, 0, 0);
  }
}

// Value of the decimal octet of width w (1..3) whose last digit is byte 2
// of r: the bytes in front of it are masked off and the digits combine as
// 100a + 10b + c.  A digit byte is 0x30..0x39, so xor with '0' is its value.
inline unsigned octet_value_of(uint32_t r, unsigned w) {
  static constexpr uint32_t kKeep[4] = {0, 0xFF0000, 0xFFFF00, 0xFFFFFF};
  const uint32_t d = (r ^ 0x303030u) & kKeep[w];
  return (d & 0xFF) * 100 + ((d >> 8) & 0xFF) * 10 + (d >> 16);
}

// Valid dotted-quad layouts: bit `key` is set when key, read as the dot
// positions of a text plus one bit at its length, describes four octets of
// 1 to 3 digits joined by three dots.  Texts are at most 15 bytes, so keys
// have 16 bits: an 8 KB table in which 81 bits are set.
struct QuadLayouts {
  uint64_t bits[1024];
};

constexpr QuadLayouts make_quad_layouts() {
  QuadLayouts t{};
  for (unsigned w0 = 1; w0 <= 3; ++w0)
    for (unsigned w1 = 1; w1 <= 3; ++w1)
      for (unsigned w2 = 1; w2 <= 3; ++w2)
        for (unsigned w3 = 1; w3 <= 3; ++w3) {
          const unsigned d0 = w0, d1 = d0 + 1 + w1, d2 = d1 + 1 + w2, len = d2 + 1 + w3;
          const unsigned key = (1u << d0) | (1u << d1) | (1u << d2) | (1u << len);
          t.bits[key >> 6] |= uint64_t{1} << (key & 63);
        }
  return t;
}

constexpr QuadLayouts quad_layouts = make_quad_layouts();

// Dotted quad in t (len bytes, 7..15, followed by a byte that may be read)
// whose bytes are all digits or dots, given its dots, digits and '0's (bit
// i: byte i).  The rules left to check: the dots are laid out as four octets
// of 1 to 3 digits (quad_layouts), no octet of two or more digits starts
// with '0', and no value is above 255.  On success *quad holds the four
// octets, the first in the top byte.
//
// The grammar is checked on the masks alone, so there is one branch for the
// whole quad rather than one per digit.  Each octet is then fetched with one
// 4-byte load ending just after it: the second octet ends at byte 3 or
// later, so from there on the load stays inside the text; the first octet is
// read from byte 0 and shifted into place.
inline bool quad_decode(const uint8_t* t, unsigned len, uint64_t dots, uint64_t digits,
                        uint64_t zeros, uint32_t* quad) {
  const unsigned key = static_cast<unsigned>(dots) | (1u << len);  // len <= 15
  const bool layout_ok = ((quad_layouts.bits[key >> 6] >> (key & 63)) & 1) != 0;
  const uint64_t octet_starts = (dots << 1) | 1;
  if (!layout_ok || (zeros & octet_starts & (digits >> 1)) != 0) return false;

  // Exactly three dots now, so no count below is of an empty mask.
  const uint64_t dots1 = dots & (dots - 1);
  const uint64_t dots2 = dots1 & (dots1 - 1);
  const unsigned d0 = static_cast<unsigned>(__builtin_ctzll(dots));
  const unsigned d1 = static_cast<unsigned>(__builtin_ctzll(dots1));
  const unsigned d2 = static_cast<unsigned>(__builtin_ctzll(dots2));
  // d0 is 1..3, so the first load is shifted by 0..16 bits.
  const unsigned o0 = octet_value_of(load32(t) << (8 * (3 - d0)), d0);
  const unsigned o1 = octet_value_of(load32(t + d1 - 3), d1 - d0 - 1);
  const unsigned o2 = octet_value_of(load32(t + d2 - 3), d2 - d1 - 1);
  const unsigned o3 = octet_value_of(load32(t + len - 3), len - d2 - 1);
  if ((o0 | o1 | o2 | o3) > 255) return false;
  *quad = (o0 << 24) | (o1 << 16) | (o2 << 8) | o3;
  return true;
}

// The same for any text of len bytes: 7 to 15 of them, all digits or dots.
inline bool ipv4_suffix_parse(const uint8_t* t, unsigned len, uint64_t dots, uint64_t digits,
                              uint64_t zeros, uint32_t* quad) {
  // 0.0.0.0 is the shortest text, 255.255.255.255 the longest.
  if (len < 7 || len > 15) return false;
  const uint64_t all = (uint64_t{1} << len) - 1;  // len <= 15: a safe shift
  if ((dots | digits) != all) return false;
  return quad_decode(t, len, dots, digits, zeros, quad);
}

// Big-endian stores of values kept in registers go through
// key128_store_be32/64 (tarn_key.h): building the bytes in a local array and
// copying it out would read single-byte stores back as a word, which stalls
// on store forwarding.

// True when the text after the last colon holds a '.' (and so is not empty):
// the address ends in a dotted quad.
inline bool is_mixed_suffix(const Scan& s, unsigned last_colon) {
  // last_colon + 1 is at most kMaxText, below the width of the mask.
  return (s.dot >> (last_colon + 1)) != 0;
}

// Value of the hex group that is w (1..4) digits wide and whose last digit
// is t[last], reading t[last - 3..last] (the caller makes sure all four are
// text).  Every byte goes through hex_val and the four values are packed as
// nibbles; the bytes in front of the group (a colon, another group) are
// masked off by width.  A non-digit's 0xFF only spills into higher nibbles,
// which the mask removes too.
inline unsigned group_value(const uint8_t* t, unsigned last, unsigned w) {
  static constexpr unsigned kWidthMask[5] = {0, 0xF, 0xFF, 0xFFF, 0xFFFF};
  const unsigned v = hex_val.v[t[last]] | (hex_val.v[t[last - 1]] << 4) |
                     (hex_val.v[t[last - 2]] << 8) | (hex_val.v[t[last - 3]] << 12);
  return v & kWidthMask[w];
}

// The same for any `last`: positions in front of the text read byte 0, a
// byte that lies in front of the group and is masked off with the rest.
inline unsigned group_value_near_start(const uint8_t* t, unsigned last, unsigned w) {
  static constexpr unsigned kWidthMask[5] = {0, 0xF, 0xFF, 0xFFF, 0xFFFF};
  auto at = [&](unsigned back) { return hex_val.v[t[last >= back ? last - back : 0]]; };
  const unsigned v = at(0) | (at(1) << 4) | (at(2) << 8) | (at(3) << 12);
  return v & kWidthMask[w];
}

// The 8 groups are assembled in a key128 (tarn_key.h), shifted with
// key128_shl / key128_shr.

// IPv6 text: hex groups with at most one "::", optionally ending in a dotted
// quad (then 6 groups stand in front of it instead of 8).
//
// 1. The hex section is the whole text (pure form) or the text before the
//    last colon (mixed form; the quad after it is parsed on its own).  Every
//    byte of the section must be a hex digit or ':'.
// 2. Colon structure, from the colon mask alone: at most one pair of adjacent
//    colons (the "::"; three in a row make two pairs); a colon at the start
//    must begin that pair; in the pure form a colon at the end must close it.
//    In the mixed form the last colon separates the quad like a group.
// 3. Groups are the runs of hex digits, none longer than 4.  With "::" there
//    must be at most max_groups - 1 of them, so that "::" stands for at least
//    one zero group; without it exactly max_groups.
// 4. Only now, the text being well formed, the groups are decoded in text
//    order and shifted into a 128-bit value, the latest at the bottom.  Then
//    the head (the groups before the "::") moves to the top and the tail
//    (the groups after it) stays above the quad, or at the bottom.  Example
//    "1:2::3": 1:2:3 in the low 48 bits, head 1:2 and tail 3, giving
//    1:2:0:0:0:0:0:3.
// 5. The mixed form accepts only IPv4-mapped addresses; the bytes are
//    written before that test, as the failure contract allows.
inline tarn_err_t addr_parse_ipv6(const Scan& s, tarn_addr_t* out) {
  const unsigned n = s.len;
  const uint64_t colon = s.colon;
  const unsigned last_colon = top_bit(colon);
  const bool mixed = is_mixed_suffix(s, last_colon);

  uint32_t quad = 0;
  unsigned hex_end = n;
  if (mixed) {
    if (last_colon == 0) return TARN_ERR_PARSE;
    // The quad after the last colon: 7 to 15 bytes, classified on its own.
    const uint8_t* tail = s.text + last_colon + 1;
    const unsigned tail_len = n - last_colon - 1;
    if (tail_len - 7 > 8) return TARN_ERR_PARSE;
    uint64_t lo, hi;
    short_window(tail, tail_len, &lo, &hi);
    const Classes16 c = classify_quad16(lo, hi);
    if (!ipv4_suffix_parse(tail, tail_len, c.dot, c.digit, c.zero, &quad)) return TARN_ERR_PARSE;
    hex_end = last_colon;
  }

  // Steps 1 and 2.  hex_end is at most kMaxText, so the shift is safe.
  const uint64_t section = (uint64_t{1} << hex_end) - 1;
  const uint64_t digits = s.hex & section;
  const uint64_t pairs = colon & (colon >> 1);
  uint64_t bad = ((digits | colon) & section) ^ section;
  bad |= pairs & (pairs - 1);
  bad |= colon & ~pairs & 1;
  // A pure text of one byte is ":" and already bad; n - 2 is used for n >= 2.
  if (!mixed && n >= 2) bad |= (colon >> (n - 1)) & ~(pairs >> (n - 2)) & 1;
  // Step 3, widths: no run of five hex digits.
  bad |= digits & (digits >> 1) & (digits >> 2) & (digits >> 3) & (digits >> 4);
  if (bad != 0) return TARN_ERR_PARSE;

  // Steps 3 and 4.  Groups are decoded before they are counted: nothing is
  // written until the count is known to be right.  Group k ends at byte 2k
  // or later (k groups and colons, or a "::", stand in front of it), so from
  // the third group on the four bytes ending at its last digit are all text;
  // the first two are read the careful way.
  const bool has_cc = pairs != 0;
  const unsigned cc_pos = has_cc ? static_cast<unsigned>(std::countr_zero(pairs)) : 64;
  const uint8_t* t = s.text;
  uint64_t ends = digits & ~(digits >> 1);
  uint64_t starts = digits & ~(digits << 1);
  key128 acc{0, 0};
  unsigned count = 0, head_groups = 0;
  auto next_group = [&](bool near_start) {
    const unsigned last = static_cast<unsigned>(std::countr_zero(ends));
    const unsigned first = static_cast<unsigned>(std::countr_zero(starts));
    ends &= ends - 1;
    starts &= starts - 1;
    const unsigned w = last - first + 1;
    const unsigned v = near_start ? group_value_near_start(t, last, w) : group_value(t, last, w);
    acc = key128{(acc.hi << 16) | (acc.lo >> 48), (acc.lo << 16) | v};
    head_groups += last < cc_pos;
    ++count;
  };
  if (ends != 0) next_group(true);
  if (ends != 0) next_group(true);
  while (ends != 0) next_group(false);
  const unsigned max_groups = mixed ? 6 : 8;
  if (has_cc ? count >= max_groups : count != max_groups) return TARN_ERR_PARSE;

  // The tail, the groups after the "::", stays at the bottom (above the
  // quad's 32 bits in the mixed form); the head moves up to group 0, by 16
  // bits for each slot it leaves free.  A head of no groups is zero and is
  // not shifted (its shift would be the full 128 bits).
  const unsigned tail_groups = count - head_groups;       // at most 7
  const key128 head = key128_shr(acc, 16 * tail_groups);  // below 128
  const key128 head_bits = key128_shl(head, 16 * tail_groups);
  const key128 tail{acc.hi ^ head_bits.hi, acc.lo ^ head_bits.lo};
  const key128 top = head_groups > 0 ? key128_shl(head, 16 * (8 - head_groups)) : key128{0, 0};
  const key128 bottom = mixed ? key128_shl(tail, 32) : tail;
  const uint64_t hi = top.hi | bottom.hi;
  const uint64_t lo = top.lo | bottom.lo | quad;
  key128_store_be64(out->addr.v6, hi);
  key128_store_be64(out->addr.v6 + 8, lo);
  // Step 5: ::ffff:0:0/96 only.
  if (mixed && (hi != 0 || (lo >> 32) != 0xFFFF)) return TARN_ERR_PARSE;
  out->family = TARN_AF_INET6;
  return TARN_OK;
}

// Any text of n bytes that is not a well-formed dotted quad: classify it
// all and let the family decide.  Kept out of line so that the dotted-quad
// path below stays small.
__attribute__((noinline)) tarn_err_t addr_parse_general(const char* src, unsigned n,
                                                        tarn_addr_t* out) {
  if (n == 0 || n > kMaxText) return TARN_ERR_PARSE;
  Scan s;
  scan_text(src, n, &s);
  // A ':' anywhere makes the text IPv6; nothing else decides the family.
  // Without one the text is IPv4, and every valid dotted quad has taken the
  // short path: this one is not.
  if (s.colon == 0) return TARN_ERR_PARSE;
  return addr_parse_ipv6(s, out);
}

// A text of 7 to 15 bytes, the length of every dotted quad.  If every byte
// is a digit or a dot there is no ':' and the text is IPv4, right or wrong;
// anything else takes the general path.
inline tarn_err_t addr_parse_ipv4(const char* src, unsigned n, tarn_addr_t* out) {
  const uint8_t* t = reinterpret_cast<const uint8_t*>(src);
  uint64_t lo, hi;
  short_window(t, n, &lo, &hi);
  const Classes16 c = classify_quad16(lo, hi);
  const uint32_t all = (uint32_t{1} << n) - 1;  // n <= 15: a safe shift
  if ((c.dot | c.digit) != all) return addr_parse_general(src, n, out);
  uint32_t quad;
  if (!quad_decode(t, n, c.dot, c.digit, c.zero, &quad)) return TARN_ERR_PARSE;
  out->family = TARN_AF_INET;
  key128_store_be32(out->addr.v4, quad);  // bytes 4..15 are not ours to write
  return TARN_OK;
}

// ---------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------

inline void store_text(char* dst, uint64_t w) {
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  memcpy(dst, &w, 8);
}

// Copies len bytes (1..48) from the local text buffer, so that exactly the
// text and its NUL reach the caller's buffer.  From 16 bytes on there are
// no branches: three 16-byte moves at 0, min(16, len - 16) and len - 16
// cover [0, len) exactly, overlapping where len is below 48.
inline void copy_exact(char* dst, const char* src, size_t len) {
  if (len >= 16) {
    const size_t mid = len - 16 < 16 ? len - 16 : 16;
    memcpy(dst, src, 16);
    memcpy(dst + mid, src + mid, 16);
    memcpy(dst + len - 16, src + len - 16, 16);
  } else if (len >= 8) {
    memcpy(dst, src, 8);
    memcpy(dst + len - 8, src + len - 8, 8);
  } else if (len >= 4) {
    memcpy(dst, src, 4);
    memcpy(dst + len - 4, src + len - 4, 4);
  } else {
    for (size_t i = 0; i < len; ++i) dst[i] = src[i];
  }
}

// Writes the decimal digits of val (no leading zero) and a '.' at out, then
// zeros up to eight bytes, and returns the digit count; the caller moves on
// by count + 1 and overwrites whatever lies beyond.
inline unsigned uint8_to_dec(uint8_t val, char* out) {
  store_text(out, dec.w[val]);
  return dec.len[val];
}

// Dotted quad of b[0..3] at `out`, NUL-terminated; returns the length before
// the NUL.  out needs 24 bytes of room.
inline unsigned dotted_quad(const uint8_t* b, char* out) {
  unsigned n = 0;
  for (int i = 0; i < 4; ++i) n += uint8_to_dec(b[i], out + n) + 1;
  out[n - 1] = '\0';  // the last octet's '.'
  return n - 1;
}

tarn_err_t addr_format_ipv4(const tarn_addr_t* addr, char* buf) {
  char tmp[48];  // room for copy_exact's widest move
  const unsigned n = dotted_quad(addr->addr.v4, tmp);
  copy_exact(buf, tmp, n + 1);
  return TARN_OK;
}

// The hex digits of a group without leading zeros (1 to 4, lower case) as
// a text word, and their count.
struct HexText {
  uint64_t text;
  unsigned len;
};

inline HexText uint16_to_hex(uint16_t val) {
  const uint64_t all4 = hex_pairs.w[val >> 8] | (uint64_t{hex_pairs.w[val & 0xFF]} << 16);
  // A quarter of the bit width rounded up, at least one: the top set bit of
  // val | 1 is 0..15.
  const unsigned n = (static_cast<unsigned>(std::bit_width(val | 1u)) + 3) / 4;
  return HexText{all4 >> (8 * (4 - n)), n};  // drops the leading '0's; n >= 1: shift below 32
}

// The run of zero groups that RFC 5952 section 4.2 shortens to "::": the
// longest run of at least one zero group, the first on a tie.  Indexed by the
// 8-bit mask of zero groups (bit i: group i is zero); kNoRun when there is no
// zero group.
struct ZeroRun {
  uint8_t start;
  uint8_t len;
};

constexpr uint8_t kNoRun = 0xFF;

struct ZeroRunTable {
  ZeroRun r[256];
};

constexpr ZeroRunTable make_zero_runs() {
  ZeroRunTable t{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    int best_start = -1, best_len = 0, curr_start = -1, curr_len = 0;
    for (int i = 0; i < 8; ++i) {
      if ((mask >> i) & 1) {
        if (curr_start < 0) curr_start = i;
        ++curr_len;
      } else {
        // Strictly longer: of two equal runs the first stays.
        if (curr_len > best_len) {
          best_start = curr_start;
          best_len = curr_len;
        }
        curr_start = -1;
        curr_len = 0;
      }
    }
    if (curr_len > best_len) {
      best_start = curr_start;
      best_len = curr_len;
    }
    t.r[mask].start = best_start < 0 ? kNoRun : static_cast<uint8_t>(best_start);
    t.r[mask].len = static_cast<uint8_t>(best_len);
  }
  return t;
}

constexpr ZeroRunTable zero_runs = make_zero_runs();

// Start of the run to shorten, or -1; its length goes to run_len.
inline int find_zero_compress(const uint16_t groups[8], int* run_len) {
  unsigned mask = 0;
  for (int i = 0; i < 8; ++i) mask |= static_cast<unsigned>(groups[i] == 0) << i;
  const ZeroRun r = zero_runs.r[mask];
  *run_len = r.len;
  return r.start == kNoRun ? -1 : r.start;
}

// RFC 5952 text.  Every group costs the same stores whether or not it is
// printed; only the advance of the output position differs:
//   group outside the run   its digits and ':'     advance digits + 1
//   first group of the run  "::"                   advance 2 at the start of
//                                                  the text, 1 elsewhere (the
//                                                  ':' before it is there)
//   other groups of the run (scratch)              advance 0
// The ':' after the last printed group is dropped at the end, unless the run
// reaches group 7 and the text must end in "::".  A run of one zero group is
// not shortened.  Example: 2001:db8:0:0:1:0:0:1 -> "2001:" "db8:" ":" then
// nothing, "1:" "0:" "0:" "1:", less the last ':' -> 2001:db8::1:0:0:1.
tarn_err_t addr_format_ipv6(const tarn_addr_t* addr, char* buf) {
  const uint8_t* b = addr->addr.v6;
  static constexpr uint8_t kMappedHead[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  char tmp[64];
  if (memcmp(b, kMappedHead, sizeof kMappedHead) == 0) {
    // IPv4-mapped: the only address printed with a dotted tail.
    memcpy(tmp, "::ffff:", 7);
    const unsigned n = 7 + dotted_quad(b + 12, tmp + 7);
    copy_exact(buf, tmp, n + 1);
    return TARN_OK;
  }

  uint16_t groups[8];
  for (size_t i = 0; i < 8; ++i) groups[i] = static_cast<uint16_t>((b[2 * i] << 8) | b[2 * i + 1]);
  int run_len = 0;
  const int best = find_zero_compress(groups, &run_len);
  // Without a run of two or more, no group is in the run.  run_len <= 8 and
  // best <= 7, so the shifts stay within 16 bits.
  const bool shorten = run_len >= 2;
  const uint32_t run_bits = shorten ? ((1u << run_len) - 1) << best : 0;
  const uint32_t first_bit = shorten ? 1u << best : 0;

  // Selections by arithmetic on the run bits, not by branches: where the
  // run starts is as unpredictable as the address.
  unsigned p = 0;
  for (unsigned i = 0; i < 8; ++i) {
    const HexText hex = uint16_to_hex(groups[i]);
    const unsigned digits = hex.len;
    const uint64_t group = hex.text | (uint64_t{':'} << (8 * digits));
    const unsigned in_run = (run_bits >> i) & 1;
    const unsigned first = (first_bit >> i) & 1;
    const uint64_t pick_cc = uint64_t{0} - first;  // all ones at the run's first group
    store_text(tmp + p, (group & ~pick_cc) | (uint64_t{0x3A3A} & pick_cc));  // "::"
    p += (digits + 1) * (1 - in_run) + first * (i == 0 ? 2 : 1);
  }
  // Drop the ':' after the last group, unless the text ends in the run.
  p -= (run_bits >> 7) == 0;
  tmp[p] = '\0';
  copy_exact(buf, tmp, p + 1);
  return TARN_OK;
}

}  // namespace

__attribute__((noinline)) tarn_err_t addr_parse(const char* src, tarn_addr_t* out) {
  if (src == nullptr || out == nullptr) return TARN_ERR_INVAL;
  const unsigned n = bounded_length(src, std::make_integer_sequence<unsigned, kMaxText + 1>{});
  const tarn_err_t err =
      n - 7 <= 8 ? addr_parse_ipv4(src, n, out) : addr_parse_general(src, n, out);
  if (err != TARN_OK) out->family = TARN_AF_UNSPEC;
  return err;
}

__attribute__((noinline)) tarn_err_t addr_format(const tarn_addr_t* addr, char* buf, size_t len) {
  if (addr == nullptr || buf == nullptr) return TARN_ERR_INVAL;
  // The size test comes first and does not depend on the family.
  if (len < TARN_ADDR_STRLEN || addr->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (addr->family == TARN_AF_INET) return addr_format_ipv4(addr, buf);
  return addr_format_ipv6(addr, buf);
}

}  // namespace old_text

#endif  // TARN_BENCH_REF_TEXT_OLD_H
