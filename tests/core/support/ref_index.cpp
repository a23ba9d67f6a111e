// ref_index.cpp - slow reference models of the prefix index (see ref_index.h).
#include "support/ref_index.h"

#include <stdio.h>

#include <algorithm>

namespace ref_index {

namespace {

constexpr uint32_t kNone = TARN_INDEX_NONE;

u128 ones(unsigned width) { return width >= 128 ? ~u128{0} : (u128{1} << width) - 1; }

// The top `len` bits of a `width`-bit value.
u128 net_mask(unsigned width, unsigned len) {
  if (len == 0) return 0;
  if (len >= width) return ones(width);
  return ones(width) ^ ones(width - len);
}

unsigned bit_of(const tarn_prefix_t& p, unsigned b, unsigned width) {
  return static_cast<unsigned>(to_int(p.addr) >> (width - 1 - b)) & 1u;
}

u128 random_u128(std::mt19937_64& rng) { return (static_cast<u128>(rng()) << 64) | rng(); }

// --- the Patricia trie, the DP and the packing, step by step -------------

struct pat_node {
  uint32_t left = kNone, right = kNone, prefix = kNone, repr = 0;
  size_t cost = 0;
  unsigned bit = 0, branch = 0;
};

struct builder {
  const std::vector<tarn_prefix_t>& sorted;
  unsigned width;
  std::vector<pat_node> nodes;

  bool has_children(uint32_t i) const { return nodes[i].left != kNone || nodes[i].right != kNone; }

  // Scans bit after bit for the first one where a record ends or the
  // records running through it disagree.
  uint32_t build(size_t start, size_t end, unsigned bit_pos) {
    if (start == end) return kNone;
    uint32_t idx = static_cast<uint32_t>(nodes.size());
    nodes.push_back(pat_node{});
    nodes[idx].repr = static_cast<uint32_t>(start);
    unsigned split = bit_pos;
    size_t end_idx = 0;
    bool ends = false;
    for (; split < width; split++) {
      bool seen[2] = {false, false};
      for (size_t r = start; r < end; r++) {
        if (sorted[r].pfxlen == split && !ends) {
          ends = true;
          end_idx = r;
        } else if (sorted[r].pfxlen > split) {
          seen[bit_of(sorted[r], split, width)] = true;
        }
      }
      if (ends || (seen[0] && seen[1])) break;
    }
    if (split == width) {
      nodes[idx].bit = width;
      nodes[idx].prefix = static_cast<uint32_t>(start);
      return idx;
    }
    nodes[idx].bit = split;
    if (ends) nodes[idx].prefix = static_cast<uint32_t>(end_idx);
    size_t ext = start;
    while (ext < end && sorted[ext].pfxlen <= split) ext++;
    if (ext == end) return idx;
    size_t pivot = ext;
    while (pivot < end && bit_of(sorted[pivot], split, width) == 0) pivot++;
    uint32_t left = build(ext, pivot, split + 1);
    uint32_t right = build(pivot, end, split + 1);
    nodes[idx].left = left;
    nodes[idx].right = right;
    return idx;
  }

  // The node that fills slot `slot` of node n at factor `branch`, walked
  // from n.
  uint32_t slot_target(uint32_t n, unsigned branch, unsigned slot) const {
    auto slot_bit = [&](unsigned rel) { return (slot >> (branch - 1 - rel)) & 1u; };
    uint32_t c = slot_bit(0) ? nodes[n].right : nodes[n].left;
    if (c == kNone) return kNone;
    unsigned abs_bit = nodes[n].bit + 1, rel = 1;
    while (rel < branch) {
      while (abs_bit < nodes[c].bit && rel < branch) {
        if (slot_bit(rel) != bit_of(sorted[nodes[c].repr], abs_bit, width)) return kNone;
        abs_bit++;
        rel++;
      }
      if (rel == branch || !has_children(c)) return c;
      c = slot_bit(rel) ? nodes[c].right : nodes[c].left;
      if (c == kNone) return kNone;
      abs_bit++;
      rel++;
    }
    return c;
  }

  // Smallest bit of a node strictly below n that carries a prefix and has
  // children, by searching the subtree; `width` + 1 when there is none.
  unsigned nearest_below(uint32_t n) const {
    unsigned best = width + 1;
    for (uint32_t c : {nodes[n].left, nodes[n].right}) {
      if (c == kNone) continue;
      if (nodes[c].prefix != kNone && has_children(c)) best = std::min(best, nodes[c].bit);
      best = std::min(best, nearest_below(c));
    }
    return best;
  }

  void dp(uint32_t n) {
    if (nodes[n].left != kNone) dp(nodes[n].left);
    if (nodes[n].right != kNone) dp(nodes[n].right);
    if (!has_children(n)) {
      nodes[n].cost = 1;
      nodes[n].branch = 0;
      return;
    }
    unsigned max_branch = std::min({8u, width - nodes[n].bit, nearest_below(n) - nodes[n].bit});
    size_t best_cost = 0;
    unsigned best_branch = 0;
    for (unsigned b = 1; b <= max_branch; b++) {
      size_t cost = 1;
      for (unsigned s = 0; s < (1u << b); s++) {
        uint32_t t = slot_target(n, b, s);
        cost += t == kNone ? 1 : nodes[t].cost;
      }
      if (best_branch == 0 || cost <= best_cost) {
        best_cost = cost;
        best_branch = b;
      }
    }
    nodes[n].cost = best_cost;
    nodes[n].branch = best_branch;
  }

  void pack(uint32_t n, std::vector<tarn_lctrie_node_t>& out, size_t pos, unsigned parent_depth) {
    tarn_lctrie_node_t q{};
    q.prefix_idx = nodes[n].prefix;
    q.branch = static_cast<uint8_t>(nodes[n].branch);
    q.skip = static_cast<uint8_t>((nodes[n].bit - parent_depth) & 0xFFu);
    if (nodes[n].branch > 0) {
      q.base = static_cast<uint32_t>(out.size());
      out.resize(out.size() + (size_t{1} << nodes[n].branch));
    }
    out[pos] = q;
    for (unsigned s = 0; s < (1u << nodes[n].branch) && nodes[n].branch > 0; s++) {
      uint32_t t = slot_target(n, nodes[n].branch, s);
      if (t == kNone) {
        tarn_lctrie_node_t dead{};
        dead.prefix_idx = kNone;
        out[q.base + s] = dead;
      } else {
        pack(t, out, q.base + s, nodes[n].bit + nodes[n].branch);
      }
    }
  }
};

}  // namespace

unsigned bits(tarn_family_t family) { return family == TARN_AF_INET ? 32 : 128; }

u128 to_int(const tarn_addr_t& addr) {
  size_t len = addr.family == TARN_AF_INET ? 4 : 16;
  u128 v = 0;
  for (size_t i = 0; i < len; i++) v = (v << 8) | addr.addr.v6[i];
  return v;
}

tarn_addr_t from_int(tarn_family_t family, u128 value) {
  tarn_addr_t a{};
  a.family = family;
  size_t len = family == TARN_AF_INET ? 4 : 16;
  for (size_t i = 0; i < len; i++) a.addr.v6[len - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
  return a;
}

tarn_prefix_t make_prefix(tarn_family_t family, u128 addr, unsigned len) {
  tarn_prefix_t p{};
  p.addr = from_int(family, addr & net_mask(bits(family), len));
  p.pfxlen = static_cast<uint8_t>(len);
  return p;
}

bool contains(const tarn_prefix_t& p, const tarn_addr_t& addr) {
  u128 m = net_mask(bits(p.addr.family), p.pfxlen);
  return ((to_int(p.addr) ^ to_int(addr)) & m) == 0;
}

ssize_t lpm_linear(const std::vector<tarn_prefix_t>& prefixes, const tarn_addr_t& addr) {
  ssize_t best = -1;
  for (size_t i = 0; i < prefixes.size(); i++) {
    if (!contains(prefixes[i], addr)) continue;
    if (best < 0 || prefixes[i].pfxlen > prefixes[static_cast<size_t>(best)].pfxlen)
      best = static_cast<ssize_t>(i);
  }
  return best;
}

lpm_table::lpm_table(const std::vector<tarn_prefix_t>& prefixes)
    : family_(prefixes.empty() ? TARN_AF_INET : prefixes[0].addr.family),
      by_len_(bits(family_) + 1) {
  for (size_t i = 0; i < prefixes.size(); i++)
    by_len_[prefixes[i].pfxlen].emplace(to_int(prefixes[i].addr), static_cast<ssize_t>(i));
}

ssize_t lpm_table::lookup(const tarn_addr_t& addr) const {
  unsigned width = bits(family_);
  u128 a = to_int(addr);
  for (unsigned len = width + 1; len-- > 0;) {
    auto it = by_len_[len].find(a & net_mask(width, len));
    if (it != by_len_[len].end()) return it->second;
  }
  return -1;
}

packed_trie build_packed(const std::vector<tarn_prefix_t>& prefixes) {
  packed_trie out;
  out.sorted = prefixes;
  std::sort(out.sorted.begin(), out.sorted.end(),
            [](const tarn_prefix_t& a, const tarn_prefix_t& b) {
              u128 x = to_int(a.addr), y = to_int(b.addr);
              return x != y ? x < y : a.pfxlen < b.pfxlen;
            });
  builder b{out.sorted, bits(prefixes[0].addr.family), {}};
  uint32_t root = b.build(0, out.sorted.size(), 0);
  b.dp(root);
  out.nodes.resize(1);
  b.pack(root, out.nodes, 0, 0);
  return out;
}

std::string to_text(const tarn_addr_t& a) {
  char buf[64];
  if (a.family == TARN_AF_INET) {
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", a.addr.v4[0], a.addr.v4[1], a.addr.v4[2],
             a.addr.v4[3]);
  } else {
    int n = 0;
    for (int g = 0; g < 8; g++)
      n += snprintf(buf + n, sizeof buf - static_cast<size_t>(n), g ? ":%x" : "%x",
                    (a.addr.v6[2 * g] << 8) | a.addr.v6[2 * g + 1]);
  }
  return buf;
}

std::string to_text(const tarn_prefix_t& p) {
  return to_text(p.addr) + "/" + std::to_string(p.pfxlen);
}

std::vector<tarn_prefix_t> random_prefixes(std::mt19937_64& rng, tarn_family_t family,
                                           size_t count) {
  unsigned width = bits(family);
  u128 top = ones(width);
  // A few cluster centres, so that many prefixes share long runs of bits.
  std::vector<u128> bases = {0, top};
  for (size_t i = 0; i < 2 + count / 32; i++) bases.push_back(random_u128(rng) & top);
  std::vector<tarn_prefix_t> out;
  out.reserve(count);
  while (out.size() < count) {
    unsigned kind = static_cast<unsigned>(rng() % 100);
    if (kind < 6 && !out.empty()) {  // duplicate
      out.push_back(out[rng() % out.size()]);
    } else if (kind < 35 && !out.empty()) {  // more specific of an existing prefix
      const tarn_prefix_t& p = out[rng() % out.size()];
      if (p.pfxlen >= width) continue;
      unsigned len = p.pfxlen + 1 + static_cast<unsigned>(rng() % (width - p.pfxlen));
      out.push_back(
          make_prefix(family, to_int(p.addr) | (random_u128(rng) & ones(width - p.pfxlen)), len));
    } else if (kind < 38) {  // the corners of the space
      static const unsigned kLens[] = {0, 1, 2, 8, 24, 31, 32, 64, 127, 128};
      unsigned len = std::min(width, kLens[rng() % 10]);
      out.push_back(make_prefix(family, rng() % 2 ? top : 0, len));
    } else {  // near a cluster centre
      u128 base = bases[rng() % bases.size()];
      unsigned shared = static_cast<unsigned>(rng() % (width + 1));
      u128 addr = base ^ (random_u128(rng) & ones(width - shared));
      unsigned len = static_cast<unsigned>(rng() % (width + 1));
      out.push_back(make_prefix(family, addr, len));
    }
  }
  return out;
}

std::vector<tarn_addr_t> random_addrs(std::mt19937_64& rng, tarn_family_t family,
                                      const std::vector<tarn_prefix_t>& prefixes, size_t count) {
  unsigned width = bits(family);
  u128 top = ones(width);
  std::vector<tarn_addr_t> out;
  out.reserve(count);
  for (size_t i = 0; i < count; i++) {
    unsigned kind = static_cast<unsigned>(rng() % 16);
    u128 a;
    if (kind == 0) {
      a = rng() % 2 ? top : 0;
    } else if (kind < 6 || prefixes.empty()) {
      a = random_u128(rng) & top;
    } else {
      const tarn_prefix_t& p = prefixes[rng() % prefixes.size()];
      u128 host = ones(width - p.pfxlen);
      a = to_int(p.addr) | (random_u128(rng) & host);
      if (kind == 6) a = (to_int(p.addr) - 1) & top;         // just below the prefix
      if (kind == 7) a = (to_int(p.addr) + host + 1) & top;  // just above it
    }
    out.push_back(from_int(family, a));
  }
  return out;
}

}  // namespace ref_index
