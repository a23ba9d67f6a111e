// ref_text.h - the peers bench_addr times our IPv4 text code against:
//
//  - parse_ipv4: a fully validating SSE4.1 dotted-quad parser of the kind
//    Lemire and Mula published ("Parsing IP addresses crazily fast", 2023):
//    one 16-byte load, digit and dot masks, a pattern id from the dot mask
//    (a multiplicative hash into a byte table of pattern ids), the pattern's
//    shuffle gathering each octet's digits into a 16-bit lane pair, one
//    multiply-add of digit pairs and one of the pairs, then the bounds.  It
//    accepts exactly what tarn_addr_parse accepts as IPv4 (four octets of
//    1 to 3 digits, no leading zero, none above 255, nothing else before
//    the NUL); it knows nothing of IPv6 and refuses every text with a ':'.
//    Like ours it never loads past the NUL across a page boundary.
//  - format_ipv4: the table formatter: up to 3 digits per octet from a
//    256-entry table, composed with fixed 4-byte stores.  It writes up to
//    three bytes after the NUL (inside the 46-byte buffer); ours writes the
//    text and its NUL only.
//
// Both are inline so that the compiler may fold them into the timing loop,
// which only helps the peer.
#ifndef TARN_BENCH_REF_TEXT_H
#define TARN_BENCH_REF_TEXT_H

#include <stdint.h>
#include <string.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TARN_BENCH_HAVE_SSE41_PEER 1
#else
#define TARN_BENCH_HAVE_SSE41_PEER 0
#endif

namespace ref_text {

#if TARN_BENCH_HAVE_SSE41_PEER

// Pattern ids by hash of the dot mask with the length bit; id 0 is "no
// pattern".  The multiplier was searched for offline so that the 81 valid
// keys land in distinct bytes of the top 8 bits.
struct Patterns {
  uint8_t id[256];
  uint16_t key[82];
  uint16_t lead[82];  // first digits of multi-digit octets
  uint8_t shuffle[82][16];
  bool ok;
};

constexpr uint32_t kMul = 0x54C9AEDF;

constexpr Patterns make_patterns() {
  Patterns p{};
  p.ok = true;
  unsigned id = 1;
  for (unsigned a = 1; a <= 3; ++a)
    for (unsigned b = 1; b <= 3; ++b)
      for (unsigned c = 1; c <= 3; ++c)
        for (unsigned d = 1; d <= 3; ++d) {
          const unsigned w[4] = {a, b, c, d};
          unsigned pos = 0, key = 0, lead = 0;
          for (unsigned k = 0; k < 4; ++k) {
            // Lane pair k (bytes 4k..4k+3): hundreds, tens | ones, zero.
            for (unsigned j = 0; j < 3; ++j)
              p.shuffle[id][4 * k + j] =
                  static_cast<uint8_t>(j >= 3 - w[k] ? pos + j - (3 - w[k]) : 0x80);
            p.shuffle[id][4 * k + 3] = 0x80;
            if (w[k] > 1) lead |= 1u << pos;
            pos += w[k];
            key |= 1u << pos;
            ++pos;
          }
          const unsigned h = (key * kMul) >> 24;
          if (p.id[h] != 0) p.ok = false;
          p.id[h] = static_cast<uint8_t>(id);
          p.key[id] = static_cast<uint16_t>(key);
          p.lead[id] = static_cast<uint16_t>(lead);
          ++id;
        }
  return p;
}

inline constexpr Patterns kPatterns = make_patterns();
static_assert(kPatterns.ok, "the hash must separate the 81 layouts");

// Returns 1 and writes the 4 bytes for a valid dotted quad, else 0.
__attribute__((target("ssse3,sse4.1"), no_sanitize_address)) inline int parse_ipv4(const char* s,
                                                                                   uint8_t out[4]) {
  __m128i x;
  if ((reinterpret_cast<uintptr_t>(s) & 4095) <= 4096 - 16) {
    x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  } else {
    alignas(16) char tmp[16] = {};
    for (int i = 0; i < 15 && s[i] != '\0'; ++i) tmp[i] = s[i];
    x = _mm_load_si128(reinterpret_cast<const __m128i*>(tmp));
  }
  const unsigned nul =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_setzero_si128())));
  const unsigned n = static_cast<unsigned>(__builtin_ctz(nul | 0x10000));
  if (n < 7 || n > 15) return 0;
  const unsigned in = (1u << n) - 1;
  const __m128i d = _mm_sub_epi8(x, _mm_set1_epi8('0'));
  // Digits are 0..9 after the subtraction; unsigned compare via min.
  const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
  const unsigned dots =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('.')))) & in;
  const unsigned digits = static_cast<unsigned>(_mm_movemask_epi8(is_digit)) & in;
  const unsigned zeros =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('0')))) & in;
  const unsigned key = dots | (1u << n);
  const unsigned id = kPatterns.id[(key * kMul) >> 24];
  if ((dots | digits) != in || kPatterns.key[id] != key || (zeros & kPatterns.lead[id]) != 0)
    return 0;
  const __m128i g =
      _mm_shuffle_epi8(d, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPatterns.shuffle[id])));
  const __m128i pairs = _mm_maddubs_epi16(
      g, _mm_setr_epi8(100, 10, 1, 0, 100, 10, 1, 0, 100, 10, 1, 0, 100, 10, 1, 0));
  const __m128i v = _mm_madd_epi16(pairs, _mm_set1_epi16(1));
  if (!_mm_testz_si128(_mm_cmpgt_epi32(v, _mm_set1_epi32(255)), _mm_set1_epi8(-1))) return 0;
  const __m128i packed = _mm_packus_epi16(_mm_packus_epi32(v, v), v);
  const uint32_t q = static_cast<uint32_t>(_mm_cvtsi128_si32(packed));
  memcpy(out, &q, 4);
  return 1;
}

#endif  // TARN_BENCH_HAVE_SSE41_PEER

// Decimal text of 0..255 in the first bytes of `text`, and its length.
struct Dec {
  char text[4];
  uint32_t len;
};

struct DecTable {
  Dec d[256];
};

constexpr DecTable make_dec_table() {
  DecTable t{};
  for (unsigned v = 0; v < 256; ++v) {
    unsigned n = 0;
    if (v >= 100) t.d[v].text[n++] = static_cast<char>('0' + v / 100);
    if (v >= 10) t.d[v].text[n++] = static_cast<char>('0' + v / 10 % 10);
    t.d[v].text[n++] = static_cast<char>('0' + v % 10);
    t.d[v].len = n;
  }
  return t;
}

inline constexpr DecTable kDec = make_dec_table();

// Prints b[0..3] as a dotted quad at out (room for 19 bytes); returns the
// length before the NUL.
inline unsigned format_ipv4(const uint8_t b[4], char* out) {
  char* p = out;
  for (int i = 0; i < 4; ++i) {
    const Dec& d = kDec.d[b[i]];
    memcpy(p, d.text, 4);
    p += d.len;
    *p++ = '.';
  }
  p[-1] = '\0';
  return static_cast<unsigned>(p - 1 - out);
}

}  // namespace ref_text

#endif  // TARN_BENCH_REF_TEXT_H
