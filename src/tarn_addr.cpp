// tarn_addr.cpp - address text in and out, comparison, IPv4-mapped unwrapping.
//
// Input grammar is strict: dotted quads without leading zeros, IPv6 groups of
// one to four hex digits with at most one "::", and a dotted-quad tail only
// for IPv4-mapped addresses (::ffff:0:0/96).  Output is canonical: dotted quad
// for IPv4 and the RFC 5952 text for IPv6.
//
// Both directions are written to avoid data-dependent branches, because the
// widths of octets and groups in real input are unpredictable and a branch
// per field costs more than the arithmetic:
//  - The parsers find the length with strnlen, bounded at one byte more
//    than any address text: the C library's own scan, vectorised where the
//    library is.  A compare and branch per byte, whose exit the processor
//    cannot predict, cost half of the vector IPv4 parse.  The portable
//    parser then reads the text in 16-byte windows that end at the NUL at
//    the latest and describes it by bitmasks (bit i: byte i is ':', '.', a
//    decimal digit, a hex digit, '0').  The grammar becomes a few mask tests
//    (for dotted quads, one table lookup of the dot layout), field
//    boundaries come from the masks, and field values from fixed-width
//    arithmetic on the text.  The caller's text is never read past its NUL.
//  - The SSE4.1 parser (x86-64, chosen at run time) reads whole 16-byte
//    registers and gets the field values from shuffles and multiply-adds;
//    see its section.  It reads past the NUL, so it reads the caller's text
//    in place only for tarn_addr_parse_padded; tarn_addr_parse copies the
//    text into a padded buffer first (see parse_strict).
//  - The printers build the text in registers (or, for IPv6 on the portable
//    path, a local buffer) and write exactly the text and its NUL.  Where
//    the processor has AVX-512 with VBMI2, they squeeze the text out of a
//    register of every byte it might hold with one byte compress.
#include <string.h>

#include <atomic>
#include <bit>

// The byte classes come from SSE2 where the target has it, else from
// 64-bit word arithmetic (SWAR).  TARN_NO_SIMD (CMake -DTARN_SIMD=OFF)
// selects the word path on x86 too, so that it is built and tested there.
#if defined(__SSE2__) && !defined(TARN_NO_SIMD)
#include <emmintrin.h>
#endif

// x86-64 builds also carry SSSE3/SSE4.1 (AVX2, AVX-512) code, compiled for those
// instruction sets function by function and chosen at run time, so that the
// library still runs on any x86-64.
#if defined(__x86_64__) && !defined(TARN_NO_SIMD)
#define TARN_TEXT_X86 1
#include <immintrin.h>
#else
#define TARN_TEXT_X86 0
#endif

#include "pytarn.h"
#include "tarn_internal.h"

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

// Decimal text of 0..255 as a text word: bytes 0..3 the digits and '.',
// bytes 4..6 the digits alone, byte 7 eight times the length of the first
// (the bit offset of what follows it).  One load gives all three.
struct DecTable {
  uint64_t e[256];
};

constexpr DecTable make_dec() {
  DecTable t{};
  for (unsigned v = 0; v < 256; ++v) {
    unsigned n = 0;
    uint64_t w = 0;
    auto put = [&](unsigned c) { w |= uint64_t{c} << (8 * n++); };
    if (v >= 100) put('0' + v / 100);
    if (v >= 10) put('0' + v / 10 % 10);
    put('0' + v % 10);
    const uint64_t digits = w;
    put('.');
    t.e[v] = w | (digits << 32) | ((uint64_t{8} * n) << 56);
  }
  return t;
}

constexpr DecTable dec = make_dec();

// ---------------------------------------------------------------------------
// Byte classes of a text
// ---------------------------------------------------------------------------

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
inline unsigned top_bit(uint64_t x) { return 63u - static_cast<unsigned>(__builtin_clzll(x)); }

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

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHigh = 0x8080808080808080ull;

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
inline unsigned bounded_length(const char* src) {
  return static_cast<unsigned>(strnlen(src, kMaxText + 1));
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

// The groups of a well-formed IPv6 text (steps 1 and 2 passed, no run of
// more than four digits), for the decoders of steps 3 to 5
// (PortableText::decode, SseText::decode).
struct Groups {
  uint64_t ends;    // bit i: byte i is the last digit of a group
  uint64_t starts;  // bit i: byte i is the first digit of a group
  unsigned cc_pos;  // position of the "::", or 63 when there is none
  bool has_cc;
  bool mixed;  // the groups are followed by a dotted quad
};

// IPv6 text: hex groups with at most one "::", optionally ending in a dotted
// quad (then 6 groups stand in front of it instead of 8).  The text is n
// bytes (1..kMaxText) described by its masks of colons, dots and hex digits
// (bit i: byte i, nothing at or after the NUL).  ipv6_shape does steps 1 and
// 2 on the masks alone and hands back the groups and, in the mixed form,
// where the quad lies; each code path then parses the quad and does steps 3
// to 5 its own way (PortableText, SseText), sharing the grammar.
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
// 4. Only now, the text being well formed, the groups are decoded.  The
//    portable way: in text order, shifted into a 128-bit value, the latest
//    at the bottom (SseText::decode puts them in lanes instead).  Then
//    the head (the groups before the "::") moves to the top and the tail
//    (the groups after it) stays above the quad, or at the bottom.  Example
//    "1:2::3": 1:2:3 in the low 48 bits, head 1:2 and tail 3, giving
//    1:2:0:0:0:0:0:3.
// 5. The mixed form accepts only IPv4-mapped addresses; the bytes are
//    written before that test, as the failure contract allows.
inline bool ipv6_shape(unsigned n, uint64_t colon, uint64_t dot, uint64_t hex, Groups* g,
                       unsigned* tail_pos, unsigned* tail_len) {
  const unsigned last_colon = top_bit(colon);
  // The text after the last colon holds a '.' (and so is not empty): the
  // address ends in a dotted quad.  last_colon + 1 is at most kMaxText,
  // below the width of the mask.
  const bool mixed = (dot >> (last_colon + 1)) != 0;

  unsigned hex_end = n;
  if (mixed) {
    if (last_colon == 0) return false;
    // The quad after the last colon: 7 to 15 bytes, parsed by the caller.
    *tail_pos = last_colon + 1;
    *tail_len = n - last_colon - 1;
    if (*tail_len - 7 > 8) return false;
    hex_end = last_colon;
  }

  // Steps 1 and 2.  hex_end is at most kMaxText, so the shift is safe.
  const uint64_t section = (uint64_t{1} << hex_end) - 1;
  const uint64_t digits = hex & section;
  const uint64_t pairs = colon & (colon >> 1);
  uint64_t bad = ((digits | colon) & section) ^ section;
  bad |= pairs & (pairs - 1);
  bad |= colon & ~pairs & 1;
  // A pure text of one byte is ":" and already bad; n - 2 is used for n >= 2.
  if (!mixed && n >= 2) bad |= (colon >> (n - 1)) & ~(pairs >> (n - 2)) & 1;
  // Step 3, widths: no run of five hex digits.
  bad |= digits & (digits >> 1) & (digits >> 2) & (digits >> 3) & (digits >> 4);
  if (bad != 0) return false;

  // Bit 63 stands in for a missing "::": every group ends before it.
  const unsigned cc_pos = static_cast<unsigned>(std::countr_zero(pairs | (uint64_t{1} << 63)));
  *g = Groups{digits & ~(digits >> 1), digits & ~(digits << 1), cc_pos, pairs != 0, mixed};
  return true;
}

// The portable path's view of an IPv6 text: group digits are read from the
// text through hex_val, the quad is classified with classify_quad16.
struct PortableText {
  const uint8_t* t;  // the text, readable up to its NUL

  // Steps 3 to 5.  Groups are decoded before they are counted: nothing is
  // written until the count is known to be right.  Group k ends at byte 2k
  // or later (k groups and colons, or a "::", stand in front of it), so from
  // the third group on the four bytes ending at its last digit are all text;
  // the first two are read the careful way.
  tarn_err_t decode(Groups g, uint32_t quad, tarn_addr_t* out) const {
    key128 acc{0, 0};
    unsigned count = 0, head_groups = 0;
    auto next_group = [&](bool near_start) {
      const unsigned last = static_cast<unsigned>(std::countr_zero(g.ends));
      const unsigned first = static_cast<unsigned>(std::countr_zero(g.starts));
      g.ends &= g.ends - 1;
      g.starts &= g.starts - 1;
      const unsigned w = last - first + 1;
      const unsigned v = near_start ? group_value_near_start(t, last, w) : group_value(t, last, w);
      acc = key128{(acc.hi << 16) | (acc.lo >> 48), (acc.lo << 16) | v};
      head_groups += last < g.cc_pos;
      ++count;
    };
    if (g.ends != 0) next_group(true);
    if (g.ends != 0) next_group(true);
    while (g.ends != 0) next_group(false);
    const unsigned max_groups = g.mixed ? 6 : 8;
    if (g.has_cc ? count >= max_groups : count != max_groups) return TARN_ERR_PARSE;

    // The tail, the groups after the "::", stays at the bottom (above the
    // quad's 32 bits in the mixed form); the head moves up to group 0, by
    // 16 bits for each slot it leaves free.  A head of no groups is zero
    // and is not shifted (its shift would be the full 128 bits).
    const unsigned tail_groups = count - head_groups;       // at most 7
    const key128 head = key128_shr(acc, 16 * tail_groups);  // below 128
    const key128 head_bits = key128_shl(head, 16 * tail_groups);
    const key128 tail{acc.hi ^ head_bits.hi, acc.lo ^ head_bits.lo};
    const key128 top = head_groups > 0 ? key128_shl(head, 16 * (8 - head_groups)) : key128{0, 0};
    const key128 bottom = g.mixed ? key128_shl(tail, 32) : tail;
    const uint64_t hi = top.hi | bottom.hi;
    const uint64_t lo = top.lo | bottom.lo | quad;
    key128_store_be64(out->addr.v6, hi);
    key128_store_be64(out->addr.v6 + 8, lo);
    // Step 5: ::ffff:0:0/96 only.
    if (g.mixed && (hi != 0 || (lo >> 32) != 0xFFFF)) return TARN_ERR_PARSE;
    out->family = TARN_AF_INET6;
    return TARN_OK;
  }
  // The dotted quad of len bytes (7..15) at t + pos, which ends at the NUL.
  bool quad(unsigned pos, unsigned len, uint32_t* q) const {
    uint64_t lo, hi;
    short_window(t + pos, len, &lo, &hi);
    const Classes16 c = classify_quad16(lo, hi);
    return ipv4_suffix_parse(t + pos, len, c.dot, c.digit, c.zero, q);
  }
};

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
  Groups g;
  unsigned tail_pos = 0, tail_len = 0;
  if (!ipv6_shape(s.len, s.colon, s.dot, s.hex, &g, &tail_pos, &tail_len)) return TARN_ERR_PARSE;
  const PortableText text{s.text};
  uint32_t quad = 0;
  if (g.mixed && !text.quad(tail_pos, tail_len, &quad)) return TARN_ERR_PARSE;
  return text.decode(g, quad, out);
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

// The portable parser: the length by unrolled compares, then the dotted-quad
// path for the lengths of a dotted quad, else the general one.  Like every
// parser entry point (see "Choosing the code path") it marks a failure
// TARN_AF_UNSPEC.
inline tarn_err_t parse_portable_n(const char* src, unsigned n, tarn_addr_t* out) {
  const tarn_err_t err =
      n - 7 <= 8 ? addr_parse_ipv4(src, n, out) : addr_parse_general(src, n, out);
  if (err != TARN_OK) out->family = TARN_AF_UNSPEC;
  return err;
}

tarn_err_t parse_portable(const char* src, tarn_addr_t* out) {
  return parse_portable_n(src, bounded_length(src), out);
}

// ---------------------------------------------------------------------------
// Parsing with SSSE3 and SSE4.1 (x86)
// ---------------------------------------------------------------------------
//
// The same grammar, read in whole 16-byte registers (after Lemire and Mula,
// "Parsing IP addresses crazily fast", 2023):
//  1. Load the 16 bytes at the text.  The NUL is the first zero byte; bytes
//     after it are not the text's and every mask drops them.
//  2. A text of 7 to 15 bytes of digits and dots is a dotted quad or
//     nothing.  Its dot positions and length name one of the 81 layouts of
//     four 1- to 3-digit octets (quad_patterns, reached by a perfect hash);
//     any other layout finds a slot whose key differs.
//  3. The layout's shuffle moves the digits of octet k to bytes 4k..4k+2 of a
//     register, hundreds first, zeros where an octet is shorter; one
//     multiply-add of digit pairs (100, 10 | 1, 0) and one of the pairs
//     give the four values as 32-bit lanes, compared with 255 together.  The
//     layout also names the first digits of octets of two or more digits,
//     which must not be '0'.
//  4. Anything else is IPv6 or wrong.  The canonical mapped text,
//     "::ffff:" and a dotted quad, is parsed as steps 2 and 3 after its
//     prefix (parse_mapped_sse41).  Any other text: up to 48 bytes are
//     classified by two nibble-table shuffles into the masks the shared
//     grammar (ipv6_shape) reads, and the value of every run of up to four
//     hex digits is computed at once (classify48); then each group's value
//     is one load, the groups go into 16-bit lanes and one shuffle expands
//     the "::" (SseText::decode).
//
// Reading whole registers goes past the NUL, which is why these entry points
// get only padded text: tarn_addr_parse_padded's caller's, or tarn_addr_parse's
// own copy.  Even so a window is read in place only when it lies within the
// 4 KB page the text starts in, else the text (up to its NUL) is copied
// into a local buffer first, so that a caller who pads too little gets a
// refusal or a right answer, never a fault.
#if TARN_TEXT_X86

// The code of both SIMD levels is written once, for SSSE3, SSE4.1 and
// POPCNT (TARN_SSE41), in functions the compiler must inline
// (TARN_SIMD_INLINE) into each level's out-of-line entry points, which are
// compiled for that level's instruction set.  The AVX2 level (TARN_AVX2)
// differs only in its IPv6 parser, which classifies the first 32 bytes of
// the text in one register (classify48_avx2) and runs the rest as the
// three-operand VEX forms of the same instructions, with BMI1/BMI2 bit
// operations: a quarter less time than the SSE4.1 level's.
#define TARN_SSE41 __attribute__((target("ssse3,sse4.1,popcnt")))
#define TARN_AVX2 __attribute__((target("ssse3,sse4.1,popcnt,avx2,bmi,bmi2")))
#define TARN_SIMD_INLINE TARN_SSE41 __attribute__((always_inline)) inline

// True when the w bytes at p lie in one 4 KB page (x86 pages are 4 KB or
// larger, and larger ones are aligned to 4 KB as well).
inline bool within_page(const uint8_t* p, unsigned w) {
  return (reinterpret_cast<uintptr_t>(p) & 4095) <= 4096 - w;
}

// The 16 bytes at p, of which the text may own only a prefix; the caller has
// made sure they lie in the page of the text (within_page).  The address
// sanitizer checks objects, not pages, and would flag the bytes after the
// NUL, so this one load is left out of its checks; nothing read beyond the
// NUL is ever used.
TARN_SSE41 __attribute__((no_sanitize_address)) inline __m128i load_in_page(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Copies the text at src into buf, which holds cap bytes of zeros, stopping
// at the NUL or after cap - 1 bytes, so that buf always ends in a zero.
inline void copy_text(const char* src, uint8_t* buf, unsigned cap) {
  for (unsigned i = 0; i + 1 < cap && src[i] != '\0'; ++i) buf[i] = static_cast<uint8_t>(src[i]);
}

TARN_SIMD_INLINE uint32_t mask_of(__m128i m) { return static_cast<uint32_t>(_mm_movemask_epi8(m)); }

// Bit i set where byte i is a decimal digit; signed compares, so bytes of
// 0x80 and above are below '0'.
TARN_SIMD_INLINE uint32_t digit_mask(__m128i x) {
  return mask_of(_mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)),
                               _mm_cmplt_epi8(x, _mm_set1_epi8('9' + 1))));
}

// The 81 dotted-quad layouts, each found from its key (dot positions plus a
// bit at the length, as for quad_layouts) by the hash (key * kQuadHash) >>
// 24, which separates the 81 keys (quad_patterns checks it when it is built).
// slot[h] names the layout of hash h, or kNoPattern, whose key 0 matches no
// key: a key always has its length bit.
constexpr uint32_t kQuadHash = 0x54C9AEDF;
constexpr uint8_t kNoPattern = 81;

constexpr unsigned quad_hash(uint32_t key) { return (key * kQuadHash) >> 24; }

struct QuadPattern {
  uint8_t shuffle[16];  // byte 4k + j: text position of digit j of octet k, or 0x80 (zero)
  uint16_t key;
  uint16_t lead;  // first digits of the octets of two or three digits
};

struct QuadPatterns {
  uint8_t slot[256];
  QuadPattern p[kNoPattern + 1];
  bool perfect;  // no two keys share a hash
};

constexpr QuadPatterns make_quad_patterns() {
  QuadPatterns t{};
  for (unsigned h = 0; h < 256; ++h) t.slot[h] = kNoPattern;
  t.perfect = true;
  unsigned id = 0;
  for (unsigned w0 = 1; w0 <= 3; ++w0)
    for (unsigned w1 = 1; w1 <= 3; ++w1)
      for (unsigned w2 = 1; w2 <= 3; ++w2)
        for (unsigned w3 = 1; w3 <= 3; ++w3) {
          const unsigned widths[4] = {w0, w1, w2, w3};
          QuadPattern& q = t.p[id];
          unsigned pos = 0, key = 0;
          for (unsigned k = 0; k < 4; ++k) {
            const unsigned w = widths[k];
            if (w > 1) q.lead = static_cast<uint16_t>(q.lead | (1u << pos));
            // Right-aligned in bytes 4k..4k+2: hundreds, tens, ones.
            for (unsigned j = 0; j < 4; ++j) {
              const bool digit = j < 3 && j >= 3 - w;
              q.shuffle[4 * k + j] = static_cast<uint8_t>(digit ? pos + j - (3 - w) : 0x80);
            }
            pos += w;
            key |= 1u << pos;  // the dot after the octet, or the NUL after the last
            ++pos;
          }
          q.key = static_cast<uint16_t>(key);
          uint8_t& s = t.slot[quad_hash(key)];
          if (s != kNoPattern) t.perfect = false;
          s = static_cast<uint8_t>(id++);
        }
  return t;
}

constexpr QuadPatterns quad_patterns = make_quad_patterns();
static_assert(quad_patterns.perfect, "kQuadHash must separate the 81 dotted-quad layouts");

// Dotted quad of n bytes (7..15) in x, whose bytes before n are all digits
// or dots (dots and zeros: their masks, nothing at or after n).  On success
// *quad holds the four octets in memory order (octet 0 at the lowest
// address).
TARN_SIMD_INLINE bool quad_sse41(__m128i x, unsigned n, uint32_t dots, uint32_t zeros,
                                 uint32_t* quad) {
  const uint32_t key = dots | (1u << n);  // n <= 15: a safe shift
  const QuadPattern& p = quad_patterns.p[quad_patterns.slot[quad_hash(key)]];
  // Exact for digits, the only bytes the shuffle takes.
  const __m128i digits = _mm_subs_epu8(x, _mm_set1_epi8('0'));
  const __m128i placed =
      _mm_shuffle_epi8(digits, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.shuffle)));
  // Digits are 0..9 (unsigned), weights signed: 100h + 10t and o fit 16 bits.
  const __m128i pairs = _mm_maddubs_epi16(placed, _mm_set1_epi32(0x00010A64));
  const __m128i values = _mm_madd_epi16(pairs, _mm_set1_epi16(1));
  const uint32_t above = mask_of(_mm_cmpgt_epi32(values, _mm_set1_epi32(255)));
  const bool ok = (p.key == key) & ((zeros & p.lead) == 0) & (above == 0);
  const __m128i bytes = _mm_shuffle_epi8(
      values, _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  *quad = static_cast<uint32_t>(_mm_cvtsi128_si32(bytes));
  return ok;
}

// A dotted quad of len bytes (7 to 15) at the start of x, all digits or dots.
TARN_SIMD_INLINE bool ipv4_suffix_sse41(__m128i x, unsigned len, uint32_t* quad) {
  if (len - 7 > 8) return false;
  const uint32_t in_text = (1u << len) - 1;  // len <= 15
  const uint32_t dots = mask_of(_mm_cmpeq_epi8(x, _mm_set1_epi8('.'))) & in_text;
  if ((dots | (digit_mask(x) & in_text)) != in_text) return false;
  const uint32_t zeros = mask_of(_mm_cmpeq_epi8(x, _mm_set1_epi8('0'))) & in_text;
  return quad_sse41(x, len, dots, zeros, quad);
}

// Where the groups go once the "::" is expanded, for head groups before it
// and gap zero groups standing for it (both 0..8): byte 2j, 2j + 1 of the
// address take the high and low byte of text group j while j < head, of
// text group j - gap from head + gap on, and are zero in between.  Text
// group k is the 16-bit lane k of the register it is shuffled from.
struct GroupPlacement {
  uint8_t order[9][9][16];
};

constexpr GroupPlacement make_group_placement() {
  GroupPlacement t{};
  for (unsigned head = 0; head <= 8; ++head)
    for (unsigned gap = 0; gap <= 8; ++gap)
      for (unsigned j = 0; j < 8; ++j) {
        const bool from_head = j < head, from_tail = j >= head + gap;
        const unsigned src = from_head ? j : j - gap;
        t.order[head][gap][size_t{2} * j] =
            static_cast<uint8_t>(from_head || from_tail ? 2 * src + 1 : 0x80);
        t.order[head][gap][2 * j + 1] =
            static_cast<uint8_t>(from_head || from_tail ? 2 * src : 0x80);
      }
  return t;
}

constexpr GroupPlacement group_placement = make_group_placement();

// The SSE view of an IPv6 text for steps 3 to 5: the text, readable in
// 16-byte loads up to byte 64 (in place or copied), and at value[i] the
// value of the run of hex digits that ends at byte i (classify48), for
// i of 0..47; value[47] is 0, since bytes 46 and 47 are made zeros (no text
// reaches them).
struct SseText {
  const uint8_t* t;
  const uint16_t* value;

  // Steps 3 to 5 without a branch on the counts: they come from the masks,
  // then eight inserts put text group k in 16-bit lane k (past the last
  // group, bit 47 stands in for the group's end and reads a 0; a ninth group
  // is not placed, but then the count is wrong), and one shuffle expands the
  // "::" and turns the lanes big-endian.
  TARN_SIMD_INLINE tarn_err_t decode(Groups g, uint32_t quad, tarn_addr_t* out) const {
    const unsigned max_groups = g.mixed ? 6 : 8;
    const unsigned count = static_cast<unsigned>(std::popcount(g.ends));
    // At most max_groups - 1 groups with "::", exactly max_groups without;
    // one test of both, since whether there is a "::" is unpredictable.
    const unsigned want = max_groups - g.has_cc;
    if ((count > want) | ((count < want) & !g.has_cc)) return TARN_ERR_PARSE;
    // Groups before the "::" (all of them without one); cc_pos <= 63.
    const unsigned head =
        static_cast<unsigned>(std::popcount(g.ends & ((uint64_t{1} << g.cc_pos) - 1)));
    __m128i lanes = _mm_setzero_si128();
    uint64_t ends = g.ends;
    auto next_end = [&ends] {
      const unsigned last = static_cast<unsigned>(std::countr_zero(ends | (uint64_t{1} << 47)));
      ends &= ends - 1;
      return last;
    };
    // Two registers filled side by side (lanes 0..3, lanes 4..7), so that
    // the inserts form two short chains rather than one long one.
    __m128i high = _mm_setzero_si128();
    lanes = _mm_insert_epi16(lanes, value[next_end()], 0);
    lanes = _mm_insert_epi16(lanes, value[next_end()], 1);
    lanes = _mm_insert_epi16(lanes, value[next_end()], 2);
    lanes = _mm_insert_epi16(lanes, value[next_end()], 3);
    high = _mm_insert_epi16(high, value[next_end()], 4);
    high = _mm_insert_epi16(high, value[next_end()], 5);
    high = _mm_insert_epi16(high, value[next_end()], 6);
    high = _mm_insert_epi16(high, value[next_end()], 7);
    lanes = _mm_or_si128(lanes, high);
    // head <= count <= max_groups, so the gap is 0..8.
    const __m128i order = _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(group_placement.order[head][max_groups - count]));
    __m128i bytes = _mm_shuffle_epi8(lanes, order);
    // The quad's octets, first octet first, into bytes 12..15, which the
    // mixed form leaves zero (and quad is 0 in the pure form).
    const __m128i octets = _mm_cvtsi32_si128(static_cast<int>(__builtin_bswap32(quad)));
    bytes = _mm_or_si128(bytes, _mm_slli_si128(octets, 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out->addr.v6), bytes);
    // Step 5: ::ffff:0:0/96 only.
    const __m128i mapped_head = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, 0, 0, 0, 0);
    if (g.mixed && (mask_of(_mm_cmpeq_epi8(bytes, mapped_head)) & 0xFFF) != 0xFFF)
      return TARN_ERR_PARSE;
    out->family = TARN_AF_INET6;
    return TARN_OK;
  }

  TARN_SIMD_INLINE bool quad(unsigned pos, unsigned len, uint32_t* q) const {
    // pos + 16 <= kMaxText + 16 < 64: within what may be read.
    uint32_t bytes;
    if (!ipv4_suffix_sse41(load_in_page(t + pos), len, &bytes)) return false;
    *q = __builtin_bswap32(bytes);
    return true;
  }
};

// The byte classes of 48 bytes of IPv6 text (bit i: byte i).
struct Classes48 {
  uint64_t nul, colon, dot, hex;
};

// Classifies x[0..2] and puts at value[i] the number the hex digits at
// bytes i-3..i spell, counting only those in one unbroken run with byte i:
// the value of a group of up to four digits ending at i.
//
// Classes come from two table shuffles, one by each nibble, and'ed: a class
// bit survives only where both nibbles allow it.
//   '0'..'9' 0x30..0x39   high 3, low 0..9    kDigit
//   'A'..'F' 0x41..0x46   high 4, low 1..6    kLetter (also 'a'..'f', high 6)
//   ':'      0x3A         high 3, low A       kColon
//   '.'      0x2E         high 2, low E       kDot
// Every other byte, 0x80 and above included (high nibble 8..F), gets none.
//
// With d(i) the digit value of byte i, or 0 when byte i is not a digit, and
// h(i) whether it is one, two steps of byte arithmetic give the values:
//   pair(i)  = d(i) + 16 d(i-1)                         (a byte)
//   value(i) = pair(i) + 256 pair(i-2) h(i-1) h(i-2)
// pair(i-2) already stops at a non-digit at i-3 because d is 0 there; the
// factors stop it at i-1 or i-2.  Bytes before the text count as non-digits.
// The byte tables of the classes and the digit values, for one 16-byte
// lane.
struct ClassTables {
  static constexpr char kDigit = char(0x80), kColon = 0x40, kDot = 0x20, kLetter = 0x10;
  __m128i by_low, by_high, letter_add;
};

TARN_SIMD_INLINE ClassTables class_tables() {
  using T = ClassTables;
  return {_mm_setr_epi8(T::kDigit, T::kDigit | T::kLetter, T::kDigit | T::kLetter,
                        T::kDigit | T::kLetter, T::kDigit | T::kLetter, T::kDigit | T::kLetter,
                        T::kDigit | T::kLetter, T::kDigit, T::kDigit, T::kDigit, T::kColon, 0, 0, 0,
                        T::kDot, 0),
          _mm_setr_epi8(0, 0, T::kDot, T::kDigit | T::kColon, T::kLetter, 0, T::kLetter, 0, 0, 0, 0,
                        0, 0, 0, 0, 0),
          // What a letter adds to its low nibble to make its digit value.
          _mm_setr_epi8(0, 0, 0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0)};
}

// The digit values, the hex-digit flags and the pair values of the bytes
// before a 16-byte chunk (zeros before the text), which the chunk's values
// continue from.
struct Carry {
  __m128i d, h, pair;
};

// One 16-byte chunk of classify48, bytes at..at + 15.
TARN_SIMD_INLINE Carry classify16(const ClassTables& k, __m128i v, Carry prev, unsigned at,
                                  Classes48* c, uint16_t* value) {
  const __m128i low4 = _mm_set1_epi8(0x0F), zero = _mm_setzero_si128();
  const __m128i lo = _mm_and_si128(v, low4), hi = _mm_and_si128(_mm_srli_epi16(v, 4), low4);
  const __m128i cls =
      _mm_and_si128(_mm_shuffle_epi8(k.by_low, lo), _mm_shuffle_epi8(k.by_high, hi));
  // kLetter moved up to bit 7 joins kDigit: bit 7 is "hex digit".  The
  // 16-bit shifts carry bits across bytes, but never into bit 7 of one.
  const __m128i hexbit = _mm_or_si128(cls, _mm_slli_epi16(cls, 3));
  c->nul |= uint64_t{mask_of(_mm_cmpeq_epi8(v, zero))} << at;
  c->colon |= uint64_t{mask_of(_mm_slli_epi16(cls, 1))} << at;
  c->dot |= uint64_t{mask_of(_mm_slli_epi16(cls, 2))} << at;
  c->hex |= uint64_t{mask_of(hexbit)} << at;
  const __m128i h = _mm_cmplt_epi8(hexbit, zero);
  // At most 15: the saturating add is exact.
  const __m128i d = _mm_and_si128(h, _mm_adds_epu8(lo, _mm_shuffle_epi8(k.letter_add, hi)));
  // d(i-1) is below 16, so a 16-bit shift by 4 keeps it in its byte.
  const __m128i pair = _mm_or_si128(d, _mm_slli_epi16(_mm_alignr_epi8(d, prev.d, 15), 4));
  const __m128i joined =
      _mm_and_si128(_mm_alignr_epi8(h, prev.h, 15), _mm_alignr_epi8(h, prev.h, 14));
  const __m128i upper = _mm_and_si128(_mm_alignr_epi8(pair, prev.pair, 14), joined);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(value + at), _mm_unpacklo_epi8(pair, upper));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(value + at + 8), _mm_unpackhi_epi8(pair, upper));
  return {d, h, pair};
}

TARN_SIMD_INLINE Classes48 classify48(const __m128i x[3], uint16_t value[48]) {
  const ClassTables k = class_tables();
  Classes48 c{0, 0, 0, 0};
  Carry carry{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  for (unsigned i = 0; i < 3; ++i) carry = classify16(k, x[i], carry, 16 * i, &c, value);
  return c;
}

#define TARN_AVX2_INLINE TARN_AVX2 __attribute__((always_inline)) inline

// The byte mask of m, bit i for byte i.
TARN_AVX2_INLINE uint64_t mask32(__m256i m) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(m));
}

// load_in_page for 32 bytes.
TARN_AVX2 __attribute__((no_sanitize_address)) inline __m256i load256_in_page(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The 32 bytes before each byte of a, across the two lanes: bytes 1..31 of
// the result are bytes 0..30 of a (byte 0 is zero) when by = 1, and bytes
// 2..31 are bytes 0..29 when by = 2.
template <int by>
TARN_AVX2_INLINE __m256i before(__m256i a) {
  return _mm256_alignr_epi8(a, _mm256_permute2x128_si256(a, a, 0x08), 16 - by);
}

// classify48 for the AVX2 level: bytes 0..31 in one 32-byte register, the
// same steps two lanes at a time (the tables in both lanes, and the bytes
// before a byte taken across the lanes by `before`), then bytes 32..47 as
// the SSE4.1 code does them, carried on from the upper lane.  t[0..47] is
// the text with zeros in bytes 46 and 47 applied by the caller's mask.
TARN_AVX2_INLINE Classes48 classify48_avx2(const uint8_t* t, __m128i tail, uint16_t value[48]) {
  const ClassTables k = class_tables();
  const __m256i v = load256_in_page(t);
  const __m256i low4 = _mm256_set1_epi8(0x0F), zero = _mm256_setzero_si256();
  const __m256i lo = _mm256_and_si256(v, low4),
                hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), low4);
  const __m256i cls =
      _mm256_and_si256(_mm256_shuffle_epi8(_mm256_broadcastsi128_si256(k.by_low), lo),
                       _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(k.by_high), hi));
  const __m256i hexbit = _mm256_or_si256(cls, _mm256_slli_epi16(cls, 3));
  Classes48 c{mask32(_mm256_cmpeq_epi8(v, zero)), mask32(_mm256_slli_epi16(cls, 1)),
              mask32(_mm256_slli_epi16(cls, 2)), mask32(hexbit)};
  const __m256i h = _mm256_cmpgt_epi8(zero, hexbit);
  const __m256i d = _mm256_and_si256(
      h, _mm256_adds_epu8(lo, _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(k.letter_add), hi)));
  const __m256i pair = _mm256_or_si256(d, _mm256_slli_epi16(before<1>(d), 4));
  const __m256i joined = _mm256_and_si256(before<1>(h), before<2>(h));
  const __m256i upper = _mm256_and_si256(before<2>(pair), joined);
  // In-lane interleaves: values 0..7 and 16..23, then 8..15 and 24..31.
  const __m256i low = _mm256_unpacklo_epi8(pair, upper), high = _mm256_unpackhi_epi8(pair, upper);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(value),
                      _mm256_permute2x128_si256(low, high, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(value + 16),
                      _mm256_permute2x128_si256(low, high, 0x31));
  const Carry carry{_mm256_extracti128_si256(d, 1), _mm256_extracti128_si256(h, 1),
                    _mm256_extracti128_si256(pair, 1)};
  classify16(k, tail, carry, 32, &c, value);
  return c;
}

// Any text that is not a dotted quad of 7 to 15 bytes (step 4).
// The text's first 64 bytes: in place when they lie in its page, else a
// copy of the text with zeros after it (a text longer than kMaxText still
// has its first zero at kMaxText + 1 or later, and fails).
TARN_SIMD_INLINE const uint8_t* ipv6_window(const char* src, uint8_t* copy) {
  const uint8_t* t = reinterpret_cast<const uint8_t*>(src);
  if (within_page(t, 64)) return t;
  memset(copy, 0, 64);
  copy_text(src, copy, kMaxText + 2);
  return copy;
}

// Bytes 32..47 of the window.  Bytes 46 and 47 are never text (kMaxText is
// 45): made zeros, they end a longer text at 46, which fails, and give
// value[47] = 0.
TARN_SIMD_INLINE __m128i ipv6_tail(const uint8_t* t) {
  return _mm_and_si128(load_in_page(t + 32),
                       _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0));
}

// Steps 1 to 5 once the window is classified.
TARN_SIMD_INLINE tarn_err_t parse_ipv6_classified(const uint8_t* t, const Classes48& c,
                                                  const uint16_t* value, tarn_addr_t* out) {
  const unsigned n = static_cast<unsigned>(__builtin_ctzll(c.nul));  // a zero at 46 at the latest
  if (n == 0 || n > kMaxText) return TARN_ERR_PARSE;
  const uint64_t in_text = (uint64_t{1} << n) - 1;  // n <= kMaxText: a safe shift
  const uint64_t colon = c.colon & in_text, dot = c.dot & in_text, hex = c.hex & in_text;
  // Without a ':' the text is IPv4, and no dotted quad came this way.
  if (colon == 0) return TARN_ERR_PARSE;
  Groups g;
  unsigned tail_pos = 0, tail_len = 0;
  if (!ipv6_shape(n, colon, dot, hex, &g, &tail_pos, &tail_len)) return TARN_ERR_PARSE;
  const SseText text{t, value};
  uint32_t quad = 0;
  if (g.mixed && !text.quad(tail_pos, tail_len, &quad)) return TARN_ERR_PARSE;
  return text.decode(g, quad, out);
}

TARN_SIMD_INLINE tarn_err_t parse_ipv6_simd(const char* src, tarn_addr_t* out) {
  alignas(16) uint8_t copy[64];
  const uint8_t* t = ipv6_window(src, copy);
  const __m128i x[3] = {load_in_page(t), load_in_page(t + 16), ipv6_tail(t)};
  alignas(16) uint16_t value[48];
  return parse_ipv6_classified(t, classify48(x, value), value, out);
}

// The canonical text of an IPv4-mapped address, "::ffff:" (any case) and a
// dotted quad, is what the printer writes and so what most mapped texts
// look like; it is parsed here without step 4.  x holds the text's first
// 16 bytes.  Returns false, writing nothing, for any other text, valid or
// not: step 4 then decides.  Text of this shape is valid exactly when the
// quad is, since "::ffff" and the quad always make an IPv4-mapped address.
TARN_SIMD_INLINE bool parse_mapped_sse41(__m128i x, const uint8_t* t, tarn_addr_t* out) {
  const __m128i fold = _mm_setr_epi8(0, 0, 0x20, 0x20, 0x20, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i prefix =
      _mm_setr_epi8(':', ':', 'f', 'f', 'f', 'f', ':', 0, 0, 0, 0, 0, 0, 0, 0, 0);
  if ((mask_of(_mm_cmpeq_epi8(_mm_or_si128(x, fold), prefix)) & 0x7F) != 0x7F) return false;
  // The quad's window: in place when it stays in the page, else the prefix
  // already read holds no zero and the quad is copied.
  __m128i q;
  if (within_page(t + 7, 16)) {
    q = load_in_page(t + 7);
  } else {
    alignas(16) uint8_t copy[32] = {};
    copy_text(reinterpret_cast<const char*>(t + 7), copy, 17);  // see parse_simd
    q = _mm_load_si128(reinterpret_cast<const __m128i*>(copy));
  }
  const uint32_t nul = mask_of(_mm_cmpeq_epi8(q, _mm_setzero_si128()));
  uint32_t quad;
  // No zero in the window: 16 bytes or more, too long for a quad.
  if (nul == 0 || !ipv4_suffix_sse41(q, static_cast<unsigned>(std::countr_zero(nul)), &quad))
    return false;
  const __m128i mapped = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, 0, 0, 0, 0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out->addr.v6),
                   _mm_insert_epi32(mapped, static_cast<int>(quad), 3));
  out->family = TARN_AF_INET6;
  return true;
}

TARN_SSE41 __attribute__((noinline)) tarn_err_t parse_ipv6_sse41(const char* src,
                                                                 tarn_addr_t* out) {
  return parse_ipv6_simd(src, out);
}
TARN_AVX2 __attribute__((noinline)) tarn_err_t parse_ipv6_avx2(const char* src, tarn_addr_t* out) {
  alignas(32) uint8_t copy[64];
  const uint8_t* t = ipv6_window(src, copy);
  alignas(32) uint16_t value[48];
  return parse_ipv6_classified(t, classify48_avx2(t, ipv6_tail(t), value), value, out);
}

// Step 1 and 2, then step 4 (Ipv6, the level's entry point) for everything
// else.
template <tarn_err_t (*Ipv6)(const char*, tarn_addr_t*)>
TARN_SIMD_INLINE tarn_err_t parse_simd(const char* src, tarn_addr_t* out) {
  const uint8_t* t = reinterpret_cast<const uint8_t*>(src);
  __m128i x;
  if (within_page(t, 16)) {
    x = load_in_page(t);
  } else {
    // Up to 16 bytes of text: a text of 16 or more then shows no zero in
    // the window, as when read in place.
    alignas(16) uint8_t copy[32] = {};
    copy_text(src, copy, 17);
    x = _mm_load_si128(reinterpret_cast<const __m128i*>(copy));
  }
  const uint32_t nul = mask_of(_mm_cmpeq_epi8(x, _mm_setzero_si128()));
  // No zero in the window: 16 bytes or more.
  const unsigned n = static_cast<unsigned>(std::countr_zero(nul | 0x10000));
  const uint32_t in_text = (uint32_t{1} << n) - 1;  // n <= 16
  // A ':' makes the text IPv6; testing it first keeps the branches below
  // the same for every text of one family, whatever its length.
  const uint32_t colons = mask_of(_mm_cmpeq_epi8(x, _mm_set1_epi8(':'))) & in_text;
  if (colons == 0 && n - 7 <= 8) {
    const uint32_t dots = mask_of(_mm_cmpeq_epi8(x, _mm_set1_epi8('.'))) & in_text;
    if ((dots | (digit_mask(x) & in_text)) == in_text) {
      const uint32_t zeros = mask_of(_mm_cmpeq_epi8(x, _mm_set1_epi8('0'))) & in_text;
      uint32_t quad;
      if (!quad_sse41(x, n, dots, zeros, &quad)) return TARN_ERR_PARSE;
      out->family = TARN_AF_INET;
      memcpy(out->addr.v4, &quad, 4);  // bytes 4..15 are not ours to write
      return TARN_OK;
    }
  }
  if (parse_mapped_sse41(x, t, out)) return TARN_OK;
  return Ipv6(src, out);
}

TARN_SSE41 __attribute__((noinline)) tarn_err_t parse_sse41(const char* src, tarn_addr_t* out) {
  const tarn_err_t err = parse_simd<parse_ipv6_sse41>(src, out);
  if (err != TARN_OK) out->family = TARN_AF_UNSPEC;
  return err;
}
// The AVX2 level's dotted-quad path is the SSE4.1 code: it is short, and
// compiled for AVX2 it would build its constants in registers rather than
// load them, which costs more than the VEX forms save.
TARN_SSE41 __attribute__((noinline)) tarn_err_t parse_avx2(const char* src, tarn_addr_t* out) {
  const tarn_err_t err = parse_simd<parse_ipv6_avx2>(src, out);
  if (err != TARN_OK) out->family = TARN_AF_UNSPEC;
  return err;
}

// tarn_addr_parse's dotted quads (7 to 15 bytes, n known): the window
// assembled in a register from the two words short_window reads, which end
// at the NUL, then the vector quad decoder.  Nothing past the NUL is read
// and no stores stand between the text and the vector code, as a copy's
// would.  Texts with anything but digits and dots go the portable way.
TARN_SSE41 __attribute__((noinline)) tarn_err_t parse_quad_strict_sse41(const char* src, unsigned n,
                                                                        tarn_addr_t* out) {
  uint64_t lo, hi;
  short_window(reinterpret_cast<const uint8_t*>(src), n, &lo, &hi);
  const __m128i x = _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
  const uint32_t in_text = (uint32_t{1} << n) - 1;  // n <= 15
  const uint32_t dots = mask_of(_mm_cmpeq_epi8(x, _mm_set1_epi8('.'))) & in_text;
  if ((dots | (digit_mask(x) & in_text)) != in_text) return parse_portable_n(src, n, out);
  const uint32_t zeros = mask_of(_mm_cmpeq_epi8(x, _mm_set1_epi8('0'))) & in_text;
  uint32_t quad;
  if (!quad_sse41(x, n, dots, zeros, &quad)) {
    out->family = TARN_AF_UNSPEC;
    return TARN_ERR_PARSE;
  }
  out->family = TARN_AF_INET;
  memcpy(out->addr.v4, &quad, 4);  // bytes 4..15 are not ours to write
  return TARN_OK;
}

#endif  // TARN_TEXT_X86

// ---------------------------------------------------------------------------
// Choosing the code path
// ---------------------------------------------------------------------------

// A parser entry point: all of tarn_addr_parse after its argument checks,
// failures marked TARN_AF_UNSPEC; one per level.
using ParseEntry = tarn_err_t (*)(const char*, tarn_addr_t*);

#if TARN_TEXT_X86
// The SIMD levels read whole registers, past the NUL (within its page):
// tarn_addr_parse_padded's caller guarantees kPadding readable bytes, but
// tarn_addr_parse promises to read no byte past the NUL.  For it the text
// (at most kMaxText + 1 bytes, as bounded_length finds it) is
// first copied into a zeroed local buffer of kPadding bytes, which the
// SIMD code then reads in place: it is aligned, so it never straddles a
// page.
constexpr size_t kPadding = TARN_ADDR_PARSE_PADDING;
static_assert(kPadding >= 64, "the IPv6 path reads 48 bytes, the mapped path 23");

//
// A copy costs its stores, and the SIMD code's wide loads of them wait for
// those stores to drain (no store forwarding from many narrow stores to one
// wide load): for a dotted quad that is more than the whole portable parse,
// which reads the text in place with words that end at the NUL.  So the
// texts of dotted-quad length are read with those words and decoded in a
// register (parse_quad_strict_sse41), shorter ones take the portable path,
// and only longer texts the copy and the SIMD path.
//
// The longer texts are staged the same way: in 8-byte words that end at the
// NUL at the latest (the last one read at n - 7 and shifted down), put
// together in registers and stored 16 bytes at a time, where a memset and a
// memcpy would leave many narrow stores for the SIMD code's loads to wait
// on.  (Stores of 32 bytes for the AVX2 level measured slower: the words
// cost more to put together than the loads gain.)
template <ParseEntry Simd>
TARN_SSE41 tarn_err_t parse_strict(const char* src, tarn_addr_t* out) {
  const unsigned n = bounded_length(src);
  if (n - 7 <= 8) return parse_quad_strict_sse41(src, n, out);
  if (n < 7) return parse_portable_n(src, n, out);
  // 16 <= n <= kMaxText + 1 (too long, refused by Simd): bytes 0..47 hold
  // the text, its NUL and zeros, and so do bytes 48..63.
  const uint8_t* t = reinterpret_cast<const uint8_t*>(src);
  const unsigned last = n - 7;  // the word at last ends at the NUL
  uint64_t w[6];
  for (unsigned j = 0; j < 6; ++j) {
    const unsigned at = 8 * j, from = at < last ? at : last;
    // at - from is 0 while the word lies in the text, then 1..7 bytes the
    // last word is shifted by; past the NUL (at > n) the word is zeros.
    const uint64_t word = load64(t + from) >> (8 * ((at - from) & 7));
    w[j] = at <= n ? word : 0;
  }
  alignas(64) char copy[kPadding];
  for (size_t k = 0; k < 3; ++k)
    _mm_store_si128(
        reinterpret_cast<__m128i*>(copy + 16 * k),
        _mm_set_epi64x(static_cast<long long>(w[2 * k + 1]), static_cast<long long>(w[2 * k])));
  _mm_store_si128(reinterpret_cast<__m128i*>(copy + 48), _mm_setzero_si128());
  static_assert(kPadding == 64 && kMaxText + 1 < 48, "the staging fills the copy exactly");
  return Simd(copy, out);
}

// The AVX-512 level parses as the AVX2 level does, and stages a longer text
// with one load under the mask of its length, which reads no byte past it
// (the masked-off bytes are not accessed, and a fault there is suppressed)
// and zeroes the rest, and one plain 64-byte store, from which the AVX2
// code's loads are forwarded: IPv4-mapped texts in 10.4 rather than 20.6
// ns, uniform IPv6 in 26.5 rather than 30.1 ns on the host measured.
template <ParseEntry Simd>
__attribute__((target("ssse3,sse4.1,popcnt,avx2,bmi,bmi2,avx512f,avx512bw,avx512vl"))) tarn_err_t
parse_strict_masked(const char* src, tarn_addr_t* out) {
  const unsigned n = bounded_length(src);
  if (n - 7 <= 8) return parse_quad_strict_sse41(src, n, out);
  if (n < 7) return parse_portable_n(src, n, out);
  static_assert(kPadding == 64 && kMaxText + 1 < 64, "the text and its NUL fill one register");
  alignas(64) char copy[kPadding];
  _mm512_store_si512(copy, _mm512_maskz_loadu_epi8((uint64_t{1} << n) - 1, src));
  return Simd(copy, out);
}

constexpr ParseEntry kParseEntries[] = {parse_portable, parse_strict<parse_sse41>,
                                        parse_strict<parse_avx2>, parse_strict_masked<parse_avx2>};
constexpr ParseEntry kPaddedEntries[] = {parse_portable, parse_sse41, parse_avx2, parse_avx2};
#else
constexpr ParseEntry kParseEntries[] = {parse_portable};
constexpr ParseEntry kPaddedEntries[] = {parse_portable};
#endif

tarn_err_t parse_first(const char* src, tarn_addr_t* out);
tarn_err_t padded_first(const char* src, tarn_addr_t* out);

// The level every call uses, -1 until the first call (or a test) sets it,
// and its parser entry points (plain and padded), parse_first and
// padded_first until then, so that a parse is a jump through one of them.
// Relaxed: every level gives the same answers, so a thread that sees an old
// value is merely slower.
std::atomic<int> text_level{-1};
std::atomic<ParseEntry> parse_entry{parse_first};
std::atomic<ParseEntry> padded_entry{padded_first};

int best_level() {
#if TARN_TEXT_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1") &&
      __builtin_cpu_supports("popcnt")) {
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
        __builtin_cpu_supports("bmi2")) {
      if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
          __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
          __builtin_cpu_supports("avx512vbmi2"))
        return TARN_TEXT_AVX512;
      return TARN_TEXT_AVX2;
    }
    return TARN_TEXT_SSE41;
  }
#endif
  return TARN_TEXT_PORTABLE;
}

void set_level(int level) {
  parse_entry.store(kParseEntries[level], std::memory_order_relaxed);
  padded_entry.store(kPaddedEntries[level], std::memory_order_relaxed);
  text_level.store(level, std::memory_order_relaxed);
}

// Out of line, so that a printer that asks for the level keeps no frame.
__attribute__((noinline, cold)) int first_level() {
  const int level = best_level();
  set_level(level);
  return level;
}

inline int current_level() {
  const int level = text_level.load(std::memory_order_relaxed);
  return level >= 0 ? level : first_level();
}

// The first parses: choose the level, then parse with it.
tarn_err_t parse_first(const char* src, tarn_addr_t* out) {
  return kParseEntries[current_level()](src, out);
}
tarn_err_t padded_first(const char* src, tarn_addr_t* out) {
  return kPaddedEntries[current_level()](src, out);
}

// ---------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------

inline void store_text(char* dst, uint64_t w) {
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  memcpy(dst, &w, 8);
}

// Every printer writes the text and its NUL and not one byte more (the
// bytes after the NUL are the caller's), and builds the text in registers:
// text words go out with 8-byte stores, each overwriting the tail of the one
// before, and the last 8 bytes (up to the NUL) are one word assembled on
// the side.  Nothing written is read back, so no load waits for stores to
// reach the cache.

// A dotted quad as two text words: bytes [0, split) of the text are head's,
// bytes [split, len] (the NUL included) tail's; head is zero from split on.
// Offsets are kept in bits.
struct QuadText {
  uint64_t head, tail;
  unsigned split_bits, len_bits;  // split 4..8 bytes, len 7..15 bytes
};

inline QuadText quad_text(const uint8_t* b) {
  const uint64_t e0 = dec.e[b[0]], e1 = dec.e[b[1]], e2 = dec.e[b[2]], e3 = dec.e[b[3]];
  constexpr uint64_t kDotted = 0xFFFFFFFF, kBare = 0xFFFFFF;
  // Octets 0 and 1 with their dots fill at most 8 bytes; octet 2, its dot,
  // octet 3 without one and the NUL (a zero byte) too.  Every shift is by
  // 16 to 32 bits.
  const uint64_t head = (e0 & kDotted) | ((e1 & kDotted) << (e0 >> 56));
  const uint64_t tail = (e2 & kDotted) | (((e3 >> 32) & kBare) << (e2 >> 56));
  const unsigned split = static_cast<unsigned>((e0 >> 56) + (e1 >> 56));
  return QuadText{head, tail, split, split + static_cast<unsigned>((e2 >> 56) + (e3 >> 56)) - 8};
}

// Writes q and its NUL at dst: head at 0 (its 8 bytes end at the NUL at the
// latest, since len >= 7), then the 8 bytes ending at the NUL, which start
// s = len - 7 <= split bytes in and so hold split - s (0..4) bytes of head
// followed by all of tail.
inline void put_quad(char* dst, const QuadText& q) {
  store_text(dst, q.head);
  const unsigned s = q.len_bits - 56;  // 0..64 bits: the head shift is taken in halves
  const uint64_t window = ((q.head >> (s / 2)) >> (s / 2)) | (q.tail << (q.split_bits - s));
  store_text(dst + s / 8, window);
}

// Out of line, as the AVX-512 level's printer is, so that tarn_addr_format
// keeps no frame and jumps to either.
__attribute__((noinline)) tarn_err_t addr_format_ipv4(const tarn_addr_t* addr, char* buf) {
  put_quad(buf, quad_text(addr->addr.v4));
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

// True for an IPv4-mapped address (::ffff:0:0/96), the only one printed
// with a dotted tail.
inline bool is_mapped(const uint8_t* b) {
  return key128_load_be64(b) == 0 && key128_load_be32(b + 8) == 0xFFFF;
}

// "::ffff:" and the dotted quad of b[12..15]: 14 to 22 bytes, so the first
// 8-byte store (the prefix and one byte the quad overwrites) stays inside
// the text.
// Returns the text's length.
inline unsigned format_mapped(const uint8_t* b, char* buf) {
  store_text(buf, 0x003A66666666'3A3Aull);  // "::ffff:" in bytes 0..6
  const QuadText q = quad_text(b + 12);
  put_quad(buf + 7, q);
  return 7 + q.len_bits / 8;
}

// RFC 5952 text of an address that is not IPv4-mapped, the portable way.
// Every group costs the same stores
// whether or not it is printed; only the advance of the output position
// differs:
//   group outside the run   its digits and ':'     advance digits + 1
//   first group of the run  "::"                   advance 2 at the start of
//                                                  the text, 1 elsewhere (the
//                                                  ':' before it is there)
//   other groups of the run (scratch)              advance 0
// The ':' after the last printed group is dropped at the end, unless the run
// reaches group 7 and the text must end in "::".  A run of one zero group is
// not shortened.  Example: 2001:db8:0:0:1:0:0:1 -> "2001:" "db8:" ":" then
// nothing, "1:" "0:" "0:" "1:", less the last ':' -> 2001:db8::1:0:0:1.
tarn_err_t format_ipv6_portable(const tarn_addr_t* addr, char* buf) {
  const uint8_t* b = addr->addr.v6;
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
  char tmp[64];
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

#if TARN_TEXT_X86
// RFC 5952 text of an address that is not IPv4-mapped, with SSSE3 and
// SSE4.1: the same text as format_ipv6_portable, built in registers from a
// few table lookups instead of group by group.
//  1. The 32 hex digits come from one shuffle of the address's nibbles into
//     "0123456789abcdef"; the digit count of each group (1..4, no leading
//     zeros) from three unsigned compares of the 16-bit values.
//  2. Each group gets a kind: its digit count, or inside the run to shorten
//     0 (nothing), 5 for the run's first group (":"), 6 for a run that
//     starts at group 0 ("::").  A digit count stands for its digits and a
//     ':'.
//  3. Groups go in pairs: the kinds of a pair name one shuffle (pair_pieces)
//     that makes the pair's text, up to 10 bytes, from its 8 digits and a
//     register of ':'s, and its length.
//  4. The four pieces are shifted to their offsets (prefix sums of the
//     lengths) in a 48-byte text held in three registers; the ':' after the
//     last printed group then falls at the NUL's position n.
//  5. The caller gets exactly bytes 0..n: from 31 bytes on, 16-byte
//     stores of bytes 0..31 and of the window ending at n - 1; from 7
//     bytes, the 8-byte pieces of bytes 0..31, those that would pass the
//     end moved back to n - 7, then the window ending at n - 1; and a 0 at
//     n.  The column printer, which may write
//     all of its room, stores the registers whole instead.
// The tables come first, the printer (format_ipv6_sse41) after them.

// What the run that RFC 5952 shortens to "::" (zero_runs, when it is two
// groups or more) does to the kinds of step 2, by the mask of zero groups:
// bytes 0..7 are 0xFF for the groups of the run, bytes 8..15 the kind of its
// first group (5, or 6 at group 0) and 0 elsewhere.
struct alignas(16) RunKinds {
  uint8_t k[256][16];
};

constexpr RunKinds make_run_kinds() {
  RunKinds t{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    const ZeroRun r = zero_runs.r[mask];
    if (r.start == kNoRun || r.len < 2) continue;
    for (unsigned i = r.start; i < r.start + r.len; ++i) t.k[mask][i] = 0xFF;
    t.k[mask][8 + r.start] = r.start == 0 ? 6 : 5;
  }
  return t;
}

constexpr RunKinds run_kinds = make_run_kinds();

struct alignas(16) PairPieces {
  uint8_t shuffle[64][16];  // index 8 * kind of the first group + kind of the second
};

constexpr PairPieces make_pair_pieces() {
  PairPieces t{};
  for (unsigned a = 0; a < 8; ++a)
    for (unsigned b = 0; b < 8; ++b) {
      uint8_t* out = t.shuffle[8 * a + b];
      for (unsigned i = 0; i < 16; ++i) out[i] = 0x80;
      unsigned n = 0;
      const unsigned kinds[2] = {a, b};
      for (unsigned g = 0; g < 2; ++g) {
        const unsigned k = kinds[g];
        if (k >= 1 && k <= 4)
          for (unsigned c = 4 - k; c < 4; ++c) out[n++] = static_cast<uint8_t>(4 * g + c);
        // Bytes 8..15 of the source are ':'; kind 7 never occurs.
        const unsigned colons = k == 0 || k == 7 ? 0 : k == 6 ? 2 : 1;
        for (unsigned c = 0; c < colons; ++c) out[n++] = 8;
      }
    }
  return t;
}

constexpr PairPieces pair_pieces = make_pair_pieces();

// kSlide + 16 - r: shuffle moving a register up by r (0..16) bytes; kSlide
// + 32 - r: the bytes that move out of it, at the bottom of the next.
alignas(16) constexpr uint8_t kSlide[48] = {
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

TARN_SIMD_INLINE __m128i slide(unsigned at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSlide + at));
}

// The 16 bytes at offset o (0..31) of the 48-byte text t[0..2].
TARN_SIMD_INLINE __m128i text_window(const __m128i t[3], unsigned o) {
  const unsigned r = o & 15;
  const __m128i upper = _mm_set1_epi8(static_cast<char>(0 - (o >> 4)));  // o >= 16: all ones
  const __m128i a = _mm_blendv_epi8(t[0], t[1], upper);
  const __m128i b = _mm_blendv_epi8(t[1], t[2], upper);
  // Byte j of the window: a[j + r] while j + r < 16, else b[j + r - 16].
  return _mm_or_si128(_mm_shuffle_epi8(a, slide(16 + r)), _mm_shuffle_epi8(b, slide(r)));
}

// The text of a pair of groups of kinds index / 8 and index % 8 from source
// (their 8 digits, then 8 ':').
TARN_SIMD_INLINE __m128i pair_piece(__m128i source, uint64_t index) {
  return _mm_shuffle_epi8(
      source, _mm_load_si128(reinterpret_cast<const __m128i*>(pair_pieces.shuffle[index])));
}

// Ors piece p (zero after its text) into the 48-byte text t at offset at
// (0..31).
TARN_SIMD_INLINE void place_piece(__m128i t[3], __m128i p, unsigned at) {
  const unsigned r = at & 15;
  const __m128i lo = _mm_shuffle_epi8(p, slide(16 - r)), hi = _mm_shuffle_epi8(p, slide(32 - r));
  const __m128i upper = _mm_set1_epi8(static_cast<char>(0 - (at >> 4)));  // at >= 16: all ones
  t[0] = _mm_or_si128(t[0], _mm_andnot_si128(upper, lo));
  t[1] = _mm_or_si128(t[1], _mm_blendv_epi8(hi, lo, upper));
  t[2] = _mm_or_si128(t[2], _mm_and_si128(upper, hi));
}

// The hex digits and digit counts of the groups of an address x, for both
// vector printers.
struct GroupDigits {
  __m128i digits03, digits47;  // the 4 digits of groups 0..3 and 4..7, in text order
  __m128i count16;             // 16-bit lane g: the digit count of group g, 1..4
};

TARN_SIMD_INLINE GroupDigits group_digits(__m128i x) {
  // Nibbles in text order (high one first), as hex digits.
  const __m128i low4 = _mm_set1_epi8(0x0F);
  const __m128i hi_nib = _mm_and_si128(_mm_srli_epi16(x, 4), low4), lo_nib = _mm_and_si128(x, low4);
  const __m128i hex =
      _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f');
  // Group values (big-endian in the address) and their digit counts:
  // 4 less one for each of 0xF, 0xFF, 0xFFF the value does not exceed.
  const __m128i v =
      _mm_shuffle_epi8(x, _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
  const __m128i zero = _mm_setzero_si128();
  auto at_most = [&](int limit) {
    return _mm_cmpeq_epi16(_mm_subs_epu16(v, _mm_set1_epi16(static_cast<short>(limit))), zero);
  };
  // Sums of 4 and three 0 or -1: the saturating adds are exact.
  return GroupDigits{
      _mm_shuffle_epi8(hex, _mm_unpacklo_epi8(hi_nib, lo_nib)),
      _mm_shuffle_epi8(hex, _mm_unpackhi_epi8(hi_nib, lo_nib)),
      _mm_adds_epi16(_mm_set1_epi16(4),
                     _mm_adds_epi16(at_most(0xF), _mm_adds_epi16(at_most(0xFF), at_most(0xFFF))))};
}

// Steps 1 to 4: the text of b in t[0..2], zero after it but for the ':'
// at n, its length (2..39), which this returns.
TARN_SIMD_INLINE unsigned ipv6_text_sse41(const uint8_t* b, __m128i t[3]) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));

  // Step 1.
  const GroupDigits g = group_digits(x);
  const __m128i digits03 = g.digits03, digits47 = g.digits47;
  const __m128i zero = _mm_setzero_si128();
  const __m128i counts = _mm_packus_epi16(g.count16, zero);  // byte i: group i, 1..4

  // Step 2.  The run to shorten, as byte masks.
  const unsigned zero_groups = mask_of(_mm_packs_epi16(_mm_cmpeq_epi16(x, zero), zero)) & 0xFF;
  const __m128i run = _mm_load_si128(reinterpret_cast<const __m128i*>(run_kinds.k[zero_groups]));
  const __m128i kinds = _mm_or_si128(_mm_andnot_si128(run, counts), _mm_unpackhi_epi64(run, zero));
  // The text ends in "::" when group 7 is in the run.
  const bool ends_in_run = run_kinds.k[zero_groups][7] != 0;

  // Step 3.  Pair indexes and lengths, four 16-bit lanes each.
  // Text length of each kind: digits and ':', or ':' (5), or "::" (6).
  const __m128i lengths8 =
      _mm_shuffle_epi8(_mm_setr_epi8(0, 2, 3, 4, 5, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0), kinds);
  const uint64_t pair_index =
      static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_maddubs_epi16(kinds, _mm_set1_epi16(0x0108))));
  const uint64_t pair_len =
      static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_maddubs_epi16(lengths8, _mm_set1_epi8(1))));
  // Offsets of the pairs (prefix sums, at most 40: no carry between lanes)
  // and the end of the last one.
  const uint64_t offsets = pair_len * 0x0001000100010000ull;
  const unsigned total = static_cast<unsigned>((pair_len * 0x0001000100010001ull) >> 48);
  const __m128i colons = _mm_set1_epi8(':');
  const __m128i p0 = pair_piece(_mm_unpacklo_epi64(digits03, colons), pair_index & 63);
  const __m128i p1 = pair_piece(_mm_unpackhi_epi64(digits03, colons), (pair_index >> 16) & 63);
  const __m128i p2 = pair_piece(_mm_unpacklo_epi64(digits47, colons), (pair_index >> 32) & 63);
  const __m128i p3 = pair_piece(_mm_unpackhi_epi64(digits47, colons), (pair_index >> 48) & 63);

  // Step 4.  Pair 1 starts at 0..10, pairs 2 and 3 at 0..30; a piece is at
  // most 10 bytes and zero after its text, so pieces may be or-ed in.
  // Pair 1 starts at 2..10: within t[0], spilling into t[1].
  const unsigned r1 = (offsets >> 16) & 0xFFFF;
  t[0] = _mm_or_si128(p0, _mm_shuffle_epi8(p1, slide(16 - r1)));
  t[1] = _mm_shuffle_epi8(p1, slide(32 - r1));
  t[2] = zero;
  place_piece(t, p2, (offsets >> 32) & 0xFFFF);
  place_piece(t, p3, offsets >> 48);
  // Without a run at the end the last ':' is the NUL's place.
  return total - !ends_in_run;
}

TARN_SSE41 __attribute__((noinline)) tarn_err_t format_ipv6_sse41(const tarn_addr_t* addr,
                                                                  char* buf) {
  __m128i t[3];
  const unsigned n = ipv6_text_sse41(addr->addr.v6, t);
  // Step 5.  Two paths chosen by a test that addresses of one kind pass
  // alike: texts of 31 bytes or more are nearly all of those without a run
  // of zeros, and texts with one are shorter.  Within each path no store
  // depends on the length, which varies as the addresses do.
  if (n >= 31) {
    // Bytes 0..31 as they are, then the 16 bytes ending at n - 1.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(buf), t[0]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(buf + 16), t[1]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(buf + n - 15), text_window(t, n - 15));
  } else if (n >= 7) {
    // The four 8-byte pieces of bytes 0..31, each at its own offset or,
    // where it would run past the text, moved back to n - 7; then the
    // window that ends the text, stored last at n - 7, replaces whatever
    // the moved pieces left there.
    const unsigned last = n - 7;  // 0..23
    auto at = [&](unsigned k) { return buf + (k < last ? k : last); };
    _mm_storel_epi64(reinterpret_cast<__m128i*>(buf), t[0]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at(8)), _mm_unpackhi_epi64(t[0], t[0]));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at(16)), t[1]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(at(24)), _mm_unpackhi_epi64(t[1], t[1]));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(buf + last), text_window(t, last));
  } else {
    // "::", "::1", "1::2" and the like.
    alignas(16) char text[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(text), t[0]);
    for (unsigned i = 0; i < n; ++i) buf[i] = text[i];
  }
  buf[n] = '\0';
  return TARN_OK;
}

// The column printer's form: the text at dst, whose TARN_ADDR_STRLEN bytes
// may all be written, and its length.  Whole registers, so no store depends
// on the length, which for texts with runs of zeros varies as much as the
// addresses do: bytes 0..39 (the longest text and the byte after it) take
// two 16-byte and one 8-byte store.
TARN_SSE41 __attribute__((noinline)) unsigned format_ipv6_room_sse41(const uint8_t* b, char* dst) {
  __m128i t[3];
  const unsigned n = ipv6_text_sse41(b, t);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), t[0]);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), t[1]);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 32), t[2]);
  return n;
}

// The portable dotted quad compiled for the AVX2 level, whose BMI2 shifts
// by a variable count are one instruction where a plain shift by cl is
// three on Intel cores.
TARN_AVX2 __attribute__((noinline)) tarn_err_t format_ipv4_avx2(const tarn_addr_t* addr,
                                                                char* buf) {
  put_quad(buf, quad_text(addr->addr.v4));
  return TARN_OK;
}

// The AVX-512 level's printers (AVX512BW, VL, VBMI and VBMI2), which put
// every byte the text might hold in one register, mark the bytes the text
// keeps and squeeze them together with one byte compress (vpcompressb,
// zeros after them): no shift by a variable count and no table of layouts.
// The IPv6 text and its NUL go out in one store under a mask of its length
// plus one.  A dotted quad takes two plain 8-byte stores instead: a load of
// bytes a masked store wrote waits until that store reaches the cache,
// which nearly doubled the time of a loop that prints and reads back.
#define TARN_AVX512                                                         \
  __attribute__((                                                           \
      target("ssse3,sse4.1,popcnt,avx2,bmi,bmi2,avx512f,avx512bw,avx512vl," \
             "avx512vbmi,avx512vbmi2")))

// The texts of dec as 32-bit words, with the dot and without.
struct Dec32 {
  uint32_t dotted[256], bare[256];
};

constexpr Dec32 make_dec32() {
  Dec32 t{};
  for (unsigned v = 0; v < 256; ++v) {
    t.dotted[v] = static_cast<uint32_t>(dec.e[v]);
    t.bare[v] = static_cast<uint32_t>(dec.e[v] >> 32) & 0xFFFFFF;
  }
  return t;
}

constexpr Dec32 dec32 = make_dec32();

// A dotted quad: octets 0..2 with their dot and octet 3 bare, each
// left-aligned in a 32-bit lane and zero after it.  Digits and dots are
// never zero, so the nonzero bytes are the text.  Writes the text and its
// NUL at dst; returns the text's length.
TARN_AVX512 inline unsigned quad_text_avx512(const uint8_t* b, char* dst) {
  const __m128i x =
      _mm_setr_epi32(static_cast<int>(dec32.dotted[b[0]]), static_cast<int>(dec32.dotted[b[1]]),
                     static_cast<int>(dec32.dotted[b[2]]), static_cast<int>(dec32.bare[b[3]]));
  const unsigned keep = _mm_test_epi8_mask(x, x);
  const unsigned n = static_cast<unsigned>(std::popcount(keep));  // 7..15
  // Bytes 0..7 of the text, then the 8 ending at its NUL (the compress's
  // zero after the text), slid down to the bottom.
  const __m128i text = _mm_maskz_compress_epi8(static_cast<__mmask16>(keep), x);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), text);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + n - 7),
                   _mm_shuffle_epi8(text, slide(16 + n - 7)));
  return n;
}

TARN_AVX512 __attribute__((noinline)) tarn_err_t format_ipv4_avx512(const tarn_addr_t* addr,
                                                                    char* buf) {
  quad_text_avx512(addr->addr.v4, buf);
  return TARN_OK;
}

// What the run that RFC 5952 shortens (zero_runs, two groups or more) drops
// from the 40 bytes of step 1 below, by the mask of zero groups: the run's
// groups, but for the ':' of its first group, and of the second too where
// the run starts the text ("::"); and always the ':' after group 7, where
// the NUL goes.  Example: 2001:db8:0:0:1:0:0:1 keeps "2001:", "db8:", the
// ':' of group 2, then "1:", "0:", "0:", "1" -> 2001:db8::1:0:0:1.
struct RunDrops {
  uint64_t d[256];
};

constexpr RunDrops make_run_drops() {
  RunDrops t{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    uint64_t drop = uint64_t{1} << 39;
    const ZeroRun r = zero_runs.r[mask];
    if (r.start != kNoRun && r.len >= 2) {
      for (unsigned i = r.start; i < r.start + r.len; ++i) drop |= uint64_t{0x1F} << (5 * i);
      drop &= ~(uint64_t{1} << (5 * r.start + 4));
      if (r.start == 0) drop &= ~(uint64_t{1} << 9);
    }
    t.d[mask] = drop;
  }
  return t;
}

constexpr RunDrops run_drops = make_run_drops();

// RFC 5952 text of an address that is not IPv4-mapped:
//  1. The 32 hex digits (group_digits) and ':'s go into bytes 5g..5g+4 of
//     one register: group g's four digits and a ':'.
//  2. Byte 5g + j (j < 4) is kept when group g has at least 4 - j digits
//     without leading zeros, and every ':' is kept; then run_drops takes
//     out the run.
//  3. The kept bytes, compressed, are the text, zeros after it.
// Writes the text and its NUL at dst; returns the text's length (2..39).
TARN_AVX512 inline unsigned ipv6_text_avx512(const uint8_t* b, char* dst) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
  const GroupDigits g = group_digits(x);
  // The digits of groups 0..3 in bytes 0..15 of the first source, those of
  // groups 4..7 in bytes 0..15 of the second, ':' in its bytes 16..63.
  const __m512i digits03 = _mm512_zextsi128_si512(g.digits03);
  const __m512i digits47 =
      _mm512_mask_set1_epi8(_mm512_zextsi128_si512(g.digits47), ~uint64_t{0xFFFF}, ':');
  // Index 0..15: a digit of the first source; 64 and up: of the second.
  alignas(64) static constexpr uint8_t kPlace[64] = {
      0,  1,  2,  3,  80, 4,  5,  6,  7,  80, 8,  9,  10, 11, 80, 12, 13, 14, 15, 80, 64, 65,
      66, 67, 80, 68, 69, 70, 71, 80, 72, 73, 74, 75, 80, 76, 77, 78, 79, 80, 80, 80, 80, 80,
      80, 80, 80, 80, 80, 80, 80, 80, 80, 80, 80, 80, 80, 80, 80, 80, 80, 80, 80, 80};
  const __m512i full = _mm512_permutex2var_epi8(
      digits03, _mm512_load_si512(reinterpret_cast<const void*>(kPlace)), digits47);

  // Step 2.  Digit counts 1..4, spread to the group's five bytes and
  // compared with the least count each byte needs.
  alignas(64) static constexpr uint8_t kSpread[64] = {
      0, 0, 0, 0,  0,  2,  2,  2,  2,  2,  4,  4,  4,  4,  4,  6,  6,  6,  6, 6, 8, 8,
      8, 8, 8, 10, 10, 10, 10, 10, 12, 12, 12, 12, 12, 14, 14, 14, 14, 14, 0, 0, 0, 0,
      0, 0, 0, 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0, 0};
  alignas(64) static constexpr uint8_t kNeed[64] = {4, 3, 2, 1, 0, 4, 3, 2, 1, 0, 4, 3, 2, 1, 0, 4,
                                                    3, 2, 1, 0, 4, 3, 2, 1, 0, 4, 3, 2, 1, 0, 4, 3,
                                                    2, 1, 0, 4, 3, 2, 1, 0, 9, 9, 9, 9, 9, 9, 9, 9,
                                                    9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  const __m512i counts = _mm512_maskz_permutexvar_epi8(
      ~uint64_t{0}, _mm512_load_si512(reinterpret_cast<const void*>(kSpread)),
      _mm512_zextsi128_si512(g.count16));
  const uint64_t shown =
      _mm512_cmpge_epu8_mask(counts, _mm512_load_si512(reinterpret_cast<const void*>(kNeed)));
  const unsigned zero_groups = _mm_cmpeq_epi16_mask(x, _mm_setzero_si128());
  const uint64_t keep = shown & ~run_drops.d[zero_groups];

  // Step 3.
  const unsigned n = static_cast<unsigned>(std::popcount(keep));
  _mm512_mask_storeu_epi8(dst, _bzhi_u64(~uint64_t{0}, n + 1),
                          _mm512_maskz_compress_epi8(keep, full));
  return n;
}

TARN_AVX512 __attribute__((noinline)) tarn_err_t format_ipv6_avx512(const tarn_addr_t* addr,
                                                                    char* buf) {
  ipv6_text_avx512(addr->addr.v6, buf);
  return TARN_OK;
}

TARN_AVX512 __attribute__((noinline)) unsigned format_ipv6_room_avx512(const uint8_t* b,
                                                                       char* dst) {
  return ipv6_text_avx512(b, dst);
}

#endif  // TARN_TEXT_X86

// An IPv6 address that is not IPv4-mapped, out of line so that the short
// paths of tarn_addr_format keep no frame.
__attribute__((noinline)) tarn_err_t format_ipv6(const tarn_addr_t* addr, char* buf) {
#if TARN_TEXT_X86
  // The AVX2 level prints with the SSE4.1 code: compiled for AVX2 it is
  // no faster.
  const int level = current_level();
  if (level >= TARN_TEXT_AVX512) return format_ipv6_avx512(addr, buf);
  if (level >= TARN_TEXT_SSE41) return format_ipv6_sse41(addr, buf);
#endif
  return format_ipv6_portable(addr, buf);
}

// format_ipv6 for the column printer: dst has TARN_ADDR_STRLEN bytes of
// room, all of which may be written; returns the text's length.
unsigned format_ipv6_text(const tarn_addr_t* addr, char* dst) {
#if TARN_TEXT_X86
  const int level = current_level();
  if (level >= TARN_TEXT_AVX512) return format_ipv6_room_avx512(addr->addr.v6, dst);
  if (level >= TARN_TEXT_SSE41) return format_ipv6_room_sse41(addr->addr.v6, dst);
#endif
  format_ipv6(addr, dst);
  return static_cast<unsigned>(strlen(dst));
}

}  // namespace

int tarn_addr_text_level_best(void) { return best_level(); }

bool tarn_addr_text_level_force(int level) {
  if (level < TARN_TEXT_PORTABLE || level > best_level()) return false;
  set_level(level);
  return true;
}

tarn_err_t tarn_addr_parse(const char* src, tarn_addr_t* out) {
  if (src == nullptr || out == nullptr) return TARN_ERR_INVAL;
  return parse_entry.load(std::memory_order_relaxed)(src, out);
}

tarn_err_t tarn_addr_parse_padded(const char* src, tarn_addr_t* out) {
  if (src == nullptr || out == nullptr) return TARN_ERR_INVAL;
  return padded_entry.load(std::memory_order_relaxed)(src, out);
}

tarn_err_t tarn_addr_format(const tarn_addr_t* addr, char* buf, size_t len) {
  if (addr == nullptr || buf == nullptr) return TARN_ERR_INVAL;
  // The size test comes first and does not depend on the family.
  if (len < TARN_ADDR_STRLEN || addr->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (addr->family == TARN_AF_INET) {
#if TARN_TEXT_X86
    const int level = current_level();
    if (level >= TARN_TEXT_AVX512) return format_ipv4_avx512(addr, buf);
    if (level >= TARN_TEXT_AVX2) return format_ipv4_avx2(addr, buf);
#endif
    return addr_format_ipv4(addr, buf);
  }
  if (is_mapped(addr->addr.v6)) {
    format_mapped(addr->addr.v6, buf);  // the same text on every path
    return TARN_OK;
  }
  return format_ipv6(addr, buf);
}

// Every printer here gives its text's length (IPv4 from the decimal table,
// IPv6 from the registers that hold the text), so no text is measured
// after it is written, and each may write all of its room.  The IPv4
// printer is inlined into the loop rather than reached through
// tarn_addr_format's checks once per item.
tarn_err_t tarn_addr_format_texts(const tarn_addr_t* addrs, size_t count, char* buf, size_t cap,
                                  int64_t* ends) {
  if (count == 0) return TARN_OK;
  if (addrs == nullptr || buf == nullptr || ends == nullptr) return TARN_ERR_INVAL;
  size_t pos = 0;
  for (size_t i = 0; i < count; i++) {
    const tarn_addr_t* a = &addrs[i];
    if (a->family != TARN_AF_UNSPEC) {
      if (cap - pos < TARN_ADDR_STRLEN) return TARN_ERR_INVAL;
      char* dst = buf + pos;
      if (a->family == TARN_AF_INET) {
        // Octet by octet, each with its dot, the last dot left for the
        // next text to overwrite.  Four bytes per store: digits and dot.
        const uint8_t* b = a->addr.v4;
        size_t at = 0;
        for (int k = 0; k < 4; k++) {
          const uint64_t e = dec.e[b[k]];
          uint32_t word = static_cast<uint32_t>(e);
          if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
          memcpy(dst + at, &word, 4);
          at += e >> 59;
        }
        pos += at - 1;
      } else {
        pos += is_mapped(a->addr.v6) ? format_mapped(a->addr.v6, dst) : format_ipv6_text(a, dst);
      }
    }
    ends[i] = static_cast<int64_t>(pos);
  }
  return TARN_OK;
}

tarn_err_t tarn_addr_to_v4(const tarn_addr_t* addr, tarn_addr_t* out) {
  if (addr == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (addr->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (addr->family != TARN_AF_INET6) return TARN_ERR_FAMILY;
  static constexpr uint8_t kMappedHead[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (memcmp(addr->addr.v6, kMappedHead, sizeof kMappedHead) != 0) return TARN_ERR_FAMILY;
  out->family = TARN_AF_INET;
  memcpy(out->addr.v4, addr->addr.v6 + 12, 4);  // the other 12 bytes of out stay
  return TARN_OK;
}

tarn_err_t tarn_addr_cmp(const tarn_addr_t* a, const tarn_addr_t* b, int* result) {
  if (a == nullptr || b == nullptr || result == nullptr) return TARN_ERR_INVAL;
  if (a->family == TARN_AF_UNSPEC || b->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (a->family != b->family) return TARN_ERR_FAMILY;
  // Network byte order: memcmp's unsigned byte order is the numeric order.
  const int c = memcmp(a->addr.v6, b->addr.v6, tarn_addr_len(a->family));
  *result = (c > 0) - (c < 0);
  return TARN_OK;
}
