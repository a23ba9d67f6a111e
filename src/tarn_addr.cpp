// tarn_addr.cpp - address text in and out, comparison, IPv4-mapped unwrapping.
//
// Input grammar is strict: dotted quads without leading zeros, IPv6 groups of
// one to four hex digits with at most one "::", and a dotted-quad tail only
// for IPv4-mapped addresses (::ffff:0:0/96).  Output is canonical: dotted quad
// for IPv4 and the RFC 5952 text for IPv6.
#include <string.h>

#include "pytarn.h"
#include "tarn_internal.h"

namespace {

// Value of a hex digit, indexed by the unsigned byte; 0xFF marks a non-digit.
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

inline uint8_t hex_of(char c) { return hex_val.v[static_cast<unsigned char>(c)]; }

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Dotted quad at `s`, ending at the NUL.  Shared by the plain IPv4 parser and
// the tail of a mixed IPv6 address.  Writes `octets` only on success.
bool ipv4_suffix_parse(const char *s, uint8_t octets[4]) {
  uint8_t tmp[4];
  int count = 0;
  const char *p = s;
  for (;;) {
    if (!is_digit(*p)) return false;
    unsigned val;
    if (*p == '0') {
      // A leading zero is the whole octet: 00, 01 and 010 are refused.
      val = 0;
      ++p;
      if (is_digit(*p)) return false;
    } else {
      val = 0;
      while (is_digit(*p)) {
        val = val * 10 + static_cast<unsigned>(*p - '0');
        if (val > 255) return false;
        ++p;
      }
    }
    if (count == 4) return false;
    tmp[count++] = static_cast<uint8_t>(val);
    if (*p == '.') {
      ++p;
      if (*p == '\0') return false;
    } else if (*p == '\0') {
      break;
    } else {
      return false;
    }
  }
  if (count != 4) return false;
  memcpy(octets, tmp, 4);
  return true;
}

tarn_err_t addr_parse_ipv4(const char *src, tarn_addr_t *out) {
  uint8_t octets[4];
  if (!ipv4_suffix_parse(src, octets)) return TARN_ERR_PARSE;
  out->family = TARN_AF_INET;
  memcpy(out->addr.v4, octets, 4);
  return TARN_OK;
}

// True when the text after the last colon is non-empty and holds a '.'.
bool is_mixed_suffix(const char *s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    if (*s == '.') return true;
  }
  return false;
}

// Groups of one side of "::", at most eight.
struct GroupList {
  uint16_t g[8];
  int count;
};

// Writes `before`, `zero_groups` zero groups and `after` as big-endian
// 16-bit groups from byte 0 on.
void write_groups(uint8_t *dst, const GroupList &before, int zero_groups,
                  const GroupList &after) {
  int k = 0;
  for (int i = 0; i < before.count; ++i, ++k) {
    dst[2 * k] = static_cast<uint8_t>(before.g[i] >> 8);
    dst[2 * k + 1] = static_cast<uint8_t>(before.g[i]);
  }
  for (int i = 0; i < zero_groups; ++i, ++k) {
    dst[2 * k] = 0;
    dst[2 * k + 1] = 0;
  }
  for (int i = 0; i < after.count; ++i, ++k) {
    dst[2 * k] = static_cast<uint8_t>(after.g[i] >> 8);
    dst[2 * k + 1] = static_cast<uint8_t>(after.g[i]);
  }
}

// Walks the hex groups of [s, end).  `max_groups` bounds each side of "::".
// `mixed` selects the rules of the hex section before a dotted-quad tail: a
// ':' that is the last byte of the section (it pairs with the colon at
// `end`) closes the walk as "::".  Without `mixed`, `end` is the NUL and a
// ':' as the last byte of the text is refused.
bool hex_section_walk(const char *s, const char *end, int max_groups, bool mixed,
                      GroupList *before, GroupList *after, bool *has_cc) {
  const char *p = s;
  before->count = 0;
  after->count = 0;
  *has_cc = false;
  while (p < end) {
    if (p[0] == ':') {
      if (mixed && p + 1 == end) {
        // This ':' and the colon at `end` form "::".
        if (*has_cc) return false;
        *has_cc = true;
        return true;
      }
      if (p + 1 < end && p[1] == ':') {
        if (*has_cc) return false;
        *has_cc = true;
        p += 2;
        continue;
      }
    }
    unsigned val = 0;
    int digits = 0;
    while (p < end && hex_of(*p) != kNotHex) {
      val = (val << 4) | hex_of(*p);
      ++digits;
      if (digits > 4) return false;
      ++p;
    }
    if (digits == 0) return false;
    GroupList *side = *has_cc ? after : before;
    if (side->count == max_groups) return false;
    side->g[side->count++] = static_cast<uint16_t>(val);
    if (p == end) break;
    if (*p != ':') return false;
    if (p + 1 < end && p[1] == ':') continue;  // "::" is taken at the next turn
    if (p + 1 == end) {
      if (mixed) continue;  // closes the section as "::" at the next turn
      return false;         // a single ':' ending the text
    }
    ++p;
  }
  return true;
}

tarn_err_t addr_parse_ipv6(const char *src, tarn_addr_t *out) {
  const char *last_colon = nullptr;
  const char *end = src;
  for (; *end != '\0'; ++end) {
    if (*end == ':') last_colon = end;
  }
  GroupList before, after;
  bool has_cc;
  if (!is_mixed_suffix(last_colon + 1)) {
    if (!hex_section_walk(src, end, 8, false, &before, &after, &has_cc)) return TARN_ERR_PARSE;
    const int total = before.count + after.count;
    int zero_groups = 0;
    if (has_cc) {
      if (total > 7) return TARN_ERR_PARSE;
      zero_groups = 8 - total;
    } else if (total != 8) {
      return TARN_ERR_PARSE;
    }
    write_groups(out->addr.v6, before, zero_groups, after);
    out->family = TARN_AF_INET6;
    return TARN_OK;
  }

  uint8_t ipv4_octets[4];
  if (!ipv4_suffix_parse(last_colon + 1, ipv4_octets)) return TARN_ERR_PARSE;
  const char *hex_end = last_colon;
  if (hex_end == src) return TARN_ERR_PARSE;
  if (!hex_section_walk(src, hex_end, 6, true, &before, &after, &has_cc)) return TARN_ERR_PARSE;
  const int total = before.count + after.count;
  int zero_groups = 0;
  if (has_cc) {
    if (total > 5) return TARN_ERR_PARSE;
    zero_groups = 6 - total;
  } else if (total != 6) {
    return TARN_ERR_PARSE;
  }
  uint8_t *v6 = out->addr.v6;
  write_groups(v6, before, zero_groups, after);
  memcpy(v6 + 12, ipv4_octets, 4);
  // Dotted-quad text is accepted for IPv4-mapped addresses only.
  for (int i = 0; i < 10; ++i) {
    if (v6[i] != 0) return TARN_ERR_PARSE;
  }
  if (v6[10] != 0xFF || v6[11] != 0xFF) return TARN_ERR_PARSE;
  out->family = TARN_AF_INET6;
  return TARN_OK;
}

// Decimal digits of 0..255 without a leading zero; returns the count.
int uint8_to_dec(uint8_t val, char *out) {
  if (val >= 100) {
    out[0] = static_cast<char>('0' + val / 100);
    out[1] = static_cast<char>('0' + val / 10 % 10);
    out[2] = static_cast<char>('0' + val % 10);
    return 3;
  }
  if (val >= 10) {
    out[0] = static_cast<char>('0' + val / 10);
    out[1] = static_cast<char>('0' + val % 10);
    return 2;
  }
  out[0] = static_cast<char>('0' + val);
  return 1;
}

// Lower-case hex digits of a group without leading zeros; returns the count.
int uint16_to_hex(uint16_t val, char *out) {
  if (val == 0) {
    out[0] = '0';
    return 1;
  }
  int shift = val > 0xFFF ? 12 : val > 0xFF ? 8 : val > 0xF ? 4 : 0;
  int n = 0;
  for (; shift >= 0; shift -= 4) out[n++] = hex_digits[(val >> shift) & 0xF];
  return n;
}

// Dotted quad of four bytes, NUL-terminated; returns the characters written
// before the NUL.
int dotted_quad(const uint8_t *b, char *buf) {
  int n = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) buf[n++] = '.';
    n += uint8_to_dec(b[i], buf + n);
  }
  buf[n] = '\0';
  return n;
}

tarn_err_t addr_format_ipv4(const tarn_addr_t *addr, char *buf) {
  dotted_quad(addr->addr.v4, buf);
  return TARN_OK;
}

// Start of the first longest run of zero groups (RFC 5952 section 4.2.3), or
// -1 when there is no zero group; the run's length goes to `run_len`.
int find_zero_compress(const uint16_t groups[8], int *run_len) {
  int best_start = -1, best_len = 0, curr_start = -1, curr_len = 0;
  for (int i = 0; i < 8; ++i) {
    if (groups[i] == 0) {
      if (curr_start < 0) curr_start = i;
      ++curr_len;
    } else {
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
  *run_len = best_len;
  return best_start;
}

tarn_err_t addr_format_ipv6(const tarn_addr_t *addr, char *buf) {
  const uint8_t *b = addr->addr.v6;
  uint16_t groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<uint16_t>((b[2 * i] << 8) | b[2 * i + 1]);

  if (groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0 &&
      groups[5] == 0xFFFF) {
    memcpy(buf, "::ffff:", 7);
    dotted_quad(b + 12, buf + 7);
    return TARN_OK;
  }

  int best_len = 0;
  const int best_start = find_zero_compress(groups, &best_len);
  int n = 0;
  if (best_len < 2) {
    for (int i = 0; i < 8; ++i) {
      if (i > 0) buf[n++] = ':';
      n += uint16_to_hex(groups[i], buf + n);
    }
    buf[n] = '\0';
    return TARN_OK;
  }
  if (best_start == 0) {
    buf[n++] = ':';
  } else {
    for (int i = 0; i < best_start; ++i) {
      n += uint16_to_hex(groups[i], buf + n);
      buf[n++] = ':';
    }
  }
  buf[n++] = ':';
  for (int i = best_start + best_len; i < 8; ++i) {
    if (i > best_start + best_len) buf[n++] = ':';
    n += uint16_to_hex(groups[i], buf + n);
  }
  buf[n] = '\0';
  return TARN_OK;
}

}  // namespace

tarn_err_t tarn_addr_parse(const char *src, tarn_addr_t *out) {
  if (src == nullptr || out == nullptr) return TARN_ERR_INVAL;
  tarn_err_t err = TARN_ERR_PARSE;
  if (*src != '\0') {
    err = strchr(src, ':') != nullptr ? addr_parse_ipv6(src, out) : addr_parse_ipv4(src, out);
  }
  if (err != TARN_OK) out->family = TARN_AF_UNSPEC;
  return err;
}

tarn_err_t tarn_addr_format(const tarn_addr_t *addr, char *buf, size_t len) {
  if (addr == nullptr || buf == nullptr) return TARN_ERR_INVAL;
  if (len < TARN_ADDR_STRLEN || addr->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (addr->family == TARN_AF_INET) return addr_format_ipv4(addr, buf);
  return addr_format_ipv6(addr, buf);
}

tarn_err_t tarn_addr_to_v4(const tarn_addr_t *addr, tarn_addr_t *out) {
  if (addr == nullptr || out == nullptr) return TARN_ERR_INVAL;
  if (addr->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (addr->family != TARN_AF_INET6) return TARN_ERR_FAMILY;
  static constexpr uint8_t kMappedHead[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (memcmp(addr->addr.v6, kMappedHead, sizeof kMappedHead) != 0) return TARN_ERR_FAMILY;
  out->family = TARN_AF_INET;
  memcpy(out->addr.v4, addr->addr.v6 + 12, 4);
  return TARN_OK;
}

tarn_err_t tarn_addr_cmp(const tarn_addr_t *a, const tarn_addr_t *b, int *result) {
  if (a == nullptr || b == nullptr || result == nullptr) return TARN_ERR_INVAL;
  if (a->family == TARN_AF_UNSPEC || b->family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
  if (a->family != b->family) return TARN_ERR_FAMILY;
  const int c = memcmp(a->addr.v6, b->addr.v6, tarn_addr_len(a->family));
  *result = (c > 0) - (c < 0);
  return TARN_OK;
}
