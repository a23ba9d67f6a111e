// ref_addr.cpp - the slow reference: clarity first, no speed tricks, and no
// code shared with the core.
#include "support/ref_addr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace ref {
namespace {

// Splits at every `sep`, keeping empty pieces ("a::b" gives "a", "", "b").
std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> pieces;
  std::string cur;
  for (char c : s) {
    if (c == sep) {
      pieces.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  pieces.push_back(cur);
  return pieces;
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

bool is_ascii_hex(char c) {
  return is_ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(char c) {
  if (is_ascii_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// One decimal octet: 1 to 3 digits, no leading zero unless it is "0", <= 255.
bool parse_octet(const std::string& s, uint8_t* out) {
  if (s.empty() || s.size() > 3) return false;
  for (char c : s) {
    if (!is_ascii_digit(c)) return false;
  }
  if (s.size() > 1 && s[0] == '0') return false;
  const int value = atoi(s.c_str());
  if (value > 255) return false;
  *out = static_cast<uint8_t>(value);
  return true;
}

bool parse_quad(const std::string& s, uint8_t out[4]) {
  const std::vector<std::string> parts = split(s, '.');
  if (parts.size() != 4) return false;
  for (int i = 0; i < 4; ++i) {
    if (!parse_octet(parts[i], &out[i])) return false;
  }
  return true;
}

// One IPv6 group: 1 to 4 hex digits, either case, leading zeros allowed.
bool parse_group(const std::string& s, uint16_t* out) {
  if (s.empty() || s.size() > 4) return false;
  unsigned value = 0;
  for (char c : s) {
    if (!is_ascii_hex(c)) return false;
    value = value * 16 + static_cast<unsigned>(hex_value(c));
  }
  *out = static_cast<uint16_t>(value);
  return true;
}

std::optional<Addr> parse_v6(const std::string& s) {
  // 1. Cut at the first "::"; a second one anywhere after it is an error.
  const size_t cc = s.find("::");
  const bool has_cc = cc != std::string::npos;
  std::vector<std::string> left, right;
  if (has_cc) {
    const std::string l = s.substr(0, cc);
    const std::string r = s.substr(cc + 2);
    if (r.find("::") != std::string::npos) return std::nullopt;
    if (!l.empty()) left = split(l, ':');
    if (!r.empty()) right = split(r, ':');
  } else {
    left = split(s, ':');
  }

  // 2. Only the very last piece of the text may be a dotted quad.
  std::vector<std::string>& tail_side = has_cc ? right : left;
  bool has_quad = false;
  uint8_t quad[4] = {};
  if (!tail_side.empty() && tail_side.back().find('.') != std::string::npos) {
    if (!parse_quad(tail_side.back(), quad)) return std::nullopt;
    tail_side.pop_back();
    has_quad = true;
  }

  // 3. Everything else is a hex group.
  std::vector<uint16_t> lg, rg;
  for (const std::string& p : left) {
    uint16_t g;
    if (!parse_group(p, &g)) return std::nullopt;
    lg.push_back(g);
  }
  for (const std::string& p : right) {
    uint16_t g;
    if (!parse_group(p, &g)) return std::nullopt;
    rg.push_back(g);
  }

  // 4. Count 16-bit slots: a quad fills two; "::" stands for at least one.
  const size_t used = lg.size() + rg.size() + (has_quad ? 2 : 0);
  if (has_cc ? used > 7 : used != 8) return std::nullopt;

  std::vector<uint16_t> groups = lg;
  groups.resize(8 - rg.size() - (has_quad ? 2 : 0), 0);
  groups.insert(groups.end(), rg.begin(), rg.end());
  Addr a;
  a.family = TARN_AF_INET6;
  for (size_t i = 0; i < groups.size(); ++i) {
    a.bytes[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
    a.bytes[2 * i + 1] = static_cast<uint8_t>(groups[i] & 0xFF);
  }
  if (has_quad) {
    memcpy(a.bytes + 12, quad, 4);
    // A dotted tail is allowed for IPv4-mapped addresses only.
    for (int i = 0; i < 10; ++i) {
      if (a.bytes[i] != 0) return std::nullopt;
    }
    if (a.bytes[10] != 0xFF || a.bytes[11] != 0xFF) return std::nullopt;
  }
  return a;
}

}  // namespace

std::optional<Addr> addr_parse(const std::string& text) {
  const std::string s = text.substr(0, text.find('\0'));
  if (s.empty()) return std::nullopt;
  if (s.find(':') != std::string::npos) return parse_v6(s);
  Addr a;
  if (!parse_quad(s, a.bytes)) return std::nullopt;
  a.family = TARN_AF_INET;
  return a;
}

std::string addr_format(const Addr& addr) {
  char buf[64];
  const uint8_t* b = addr.bytes;
  if (addr.family == TARN_AF_INET) {
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buf;
  }
  bool mapped = b[10] == 0xFF && b[11] == 0xFF;
  for (int i = 0; i < 10; ++i) mapped = mapped && b[i] == 0;
  if (mapped) {
    snprintf(buf, sizeof buf, "::ffff:%u.%u.%u.%u", b[12], b[13], b[14], b[15]);
    return buf;
  }
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = b[2 * i] * 256u + b[2 * i + 1];

  // RFC 5952 4.2: shorten the longest run of two or more zero groups; on a
  // tie, the first.
  int best_start = -1, best_len = 1;
  for (int start = 0; start < 8; ++start) {
    int len = 0;
    while (start + len < 8 && groups[start + len] == 0) ++len;
    if (len > best_len) {
      best_start = start;
      best_len = len;
    }
  }

  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == best_start) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    snprintf(buf, sizeof buf, "%x", groups[i]);  // RFC 5952 4.1, 4.3: no leading zeros, lower case
    out += buf;
  }
  return out;
}

u128 addr_to_int(const Addr& addr) {
  const int n = addr.family == TARN_AF_INET ? 4 : 16;
  u128 v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | addr.bytes[i];
  return v;
}

Addr addr_from_int(tarn_family_t family, u128 value) {
  Addr a;
  a.family = family;
  const int n = family == TARN_AF_INET ? 4 : 16;
  for (int i = n - 1; i >= 0; --i) {
    a.bytes[i] = static_cast<uint8_t>(value & 0xFF);
    value >>= 8;
  }
  return a;
}

namespace {

struct Block {
  const char* text;
  tarn_class_t flags;
};

// The IANA special-purpose blocks (and multicast, reserved, unique local),
// written as text so that a wrong byte in the core's table shows up.
constexpr Block kBlocks[] = {
    {"0.0.0.0/8", 0x2},
    {"0.0.0.0/32", 0x2},
    {"10.0.0.0/8", 0x4},
    {"100.64.0.0/10", 0x8},
    {"127.0.0.0/8", 0x10},
    {"169.254.0.0/16", 0x20},
    {"172.16.0.0/12", 0x4},
    {"192.0.0.0/24", 0x40},
    {"192.0.0.0/29", 0x40},
    {"192.0.0.8/32", 0x40},
    {"192.0.0.9/32", 0x40040},
    {"192.0.0.10/32", 0x40040},
    {"192.0.0.170/32", 0x40},
    {"192.0.0.171/32", 0x40},
    {"192.0.2.0/24", 0x80},
    {"192.31.196.0/24", 0x40000},
    {"192.52.193.0/24", 0x40000},
    {"192.88.99.0/24", 0x100},
    {"192.88.99.2/32", 0x100},
    {"192.168.0.0/16", 0x4},
    {"192.175.48.0/24", 0x40000},
    {"198.18.0.0/15", 0x200},
    {"198.51.100.0/24", 0x80},
    {"203.0.113.0/24", 0x80},
    {"224.0.0.0/4", 0x20000},
    {"240.0.0.0/4", 0x400},
    {"255.255.255.255/32", 0x800},
    {"::/128", 0x1000},
    {"::1/128", 0x10},
    {"::ffff:0.0.0.0/96", 0x2000},
    {"64:ff9b::/96", 0x4000},
    {"64:ff9b:1::/48", 0x4000},
    {"100::/64", 0x8000},
    {"100:0:0:1::/64", 0x40},
    {"2001::/23", 0x40},
    {"2001::/32", 0x80040},
    {"2001:1::1/128", 0x40040},
    {"2001:1::2/128", 0x40040},
    {"2001:1::3/128", 0x40040},
    {"2001:2::/48", 0x240},
    {"2001:3::/32", 0x40040},
    {"2001:4:112::/48", 0x40040},
    {"2001:10::/28", 0x40},
    {"2001:20::/28", 0x200040},
    {"2001:30::/28", 0x200040},
    {"2001:db8::/32", 0x80},
    {"2002::/16", 0x100000},
    {"2620:4f:8000::/48", 0x40000},
    {"3fff::/20", 0x80},
    {"5f00::/16", 0x400000},
    {"fc00::/7", 0x10000},
    {"fe80::/10", 0x20},
    {"ff00::/8", 0x20000},
};

std::vector<ClassRange> build_ranges() {
  std::vector<ClassRange> out;
  for (const Block& blk : kBlocks) {
    const std::string text = blk.text;
    const size_t slash = text.find('/');
    const std::optional<Addr> a = addr_parse(text.substr(0, slash));
    if (!a) abort();  // a typo in the list above
    const int len = atoi(text.c_str() + slash + 1);
    const int bits = a->family == TARN_AF_INET ? 32 : 128;
    // Host part: (bits - len) one bits; a shift by 128 would be undefined,
    // so the /0 case is spelled out (the list has none, but stay safe).
    const int host_bits = bits - len;
    const u128 host =
        host_bits == 128 ? ~static_cast<u128>(0) : (static_cast<u128>(1) << host_bits) - 1;
    const u128 first = addr_to_int(*a);
    out.push_back(ClassRange{a->family, text, first, first | host, blk.flags});
  }
  return out;
}

}  // namespace

const std::vector<ClassRange>& class_ranges() {
  static const std::vector<ClassRange> ranges = build_ranges();
  return ranges;
}

tarn_class_t addr_classify(const Addr& addr) {
  const u128 x = addr_to_int(addr);
  tarn_class_t flags = 0;
  for (const ClassRange& r : class_ranges()) {
    if (r.family == addr.family && r.first <= x && x <= r.last) flags |= r.flags;
  }
  return flags != 0 ? flags : TARN_CLASS_GLOBAL;
}

}  // namespace ref
