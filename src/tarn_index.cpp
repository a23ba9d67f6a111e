// tarn_index.cpp - the longest-prefix-match index.
//
// An index is a level-compressed trie (LC-trie, after S. Nilsson and
// G. Karlsson, "IP-address lookup using LC-tries", IEEE JSAC 17(6), 1999)
// packed into one flat array.  tarn_index_create builds it in five stages:
//
//   1. validate the records and copy them;
//   2. tag each copy with its input position, sort the copy in network order
//      and map every run of equal prefixes to one reported position;
//   3. build a binary Patricia trie over the sorted copy;
//   4. choose, bottom-up, a branch factor of 1 to 8 bits for every inner trie
//      node by a dynamic programme that minimises the packed node count;
//   5. pack the trie with those factors into the flat array.
//
// The Patricia trie and the copy are scratch; the index keeps the packed
// array, the sorted prefixes as records of address bytes and length (5 or
// 17 bytes, against 24 for a tarn_prefix_t) and the position map.  From the
// last two, tarn_lookup_build (tarn_lookup.cpp) derives the compact trie that
// tarn_index_lookup and tarn_index_get walk, so stages 3 to 5 wait until
// something reads the packed array: a query falling back to the trie walk
// (tarn_index_lctrie), which decodes the records for the build.  Only an
// index too large for that structure builds them at once, from the copy.
// The LC-trie walk below (a whole batch at once, several walks interleaved
// so that their cache misses overlap) answers for an index without that
// structure and is the reference it is tested against.
#include <stdlib.h>
#include <string.h>

#include "pytarn.h"
#include "tarn_internal.h"

namespace {

constexpr uint32_t kNone = TARN_INDEX_NONE;

// Positions are 32-bit with all ones reserved for "none".
constexpr size_t kMaxCount = 0xFFFFFFFEu;
// The most Patricia nodes ever allocated, and the largest packed node count.
constexpr size_t kNodeLimit = 0xFFFFFFFEu;
// A packed node consumes at most this many address bits (256 children).
constexpr unsigned kMaxBranch = 8;
constexpr unsigned kMaxSlots = 1u << kMaxBranch;
// "No such bit position" in the DP's nearest-prefix term; above any real one.
constexpr unsigned kNoBit = 0xFFFFu;

// One node of the binary Patricia trie (scratch, freed before create returns).
//   left, right     subtrees whose records have bit `bit_position` 0 / 1, or
//                   kNone
//   prefix_idx      sorted position of the prefix stored here, or kNone
//   repr_idx        sorted position of the first record of the node's range;
//                   it holds the bits every record below the node shares
//   dp_cost         packed nodes the subtree needs with its chosen factors
//   bit_position    the bit the node splits on: L for a node holding a prefix
//                   of length L < key_bits, key_bits for a full-length leaf
//   optimal_branch  bits the packed node consumes; 0 for a node without
//                   children
// A node without a prefix always has two children; a node without children
// always carries a prefix.
struct tarn_pat_node_t {
  uint32_t left;
  uint32_t right;
  uint32_t prefix_idx;
  uint32_t repr_idx;
  size_t dp_cost;
  uint16_t bit_position;
  uint8_t optimal_branch;
};

static inline bool pat_has_children(const tarn_pat_node_t* n) {
  return n->left != kNone || n->right != kNone;
}

// Bit `bit_pos` of an address (bit 0 = most significant bit of byte 0); 0
// for a bit beyond the address.
static inline unsigned trie_addr_bit(const tarn_addr_t* addr, unsigned bit_pos, size_t addr_len) {
  size_t byte = bit_pos / 8;
  if (byte >= addr_len) return 0;
  return (addr->addr.v6[byte] >> (7 - bit_pos % 8)) & 1u;
}

// ---------------------------------------------------------------------------
// Stage 1: validation.
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Stage 2: duplicates.
// ---------------------------------------------------------------------------

// Every record of a run of equal records gets the order tag of the run's
// first record, so a match on any of them reports one input position.
static void prefixes_resolve_duplicates(tarn_prefix_t* sorted, size_t count, size_t addr_len) {
  size_t run_start = 0;
  for (size_t i = 1; i <= count; i++) {
    if (i < count && prefixes_equal_key(&sorted[i], &sorted[i - 1], addr_len)) continue;
    uint32_t tag = prefix_order_tag_get(&sorted[run_start]);
    for (size_t k = run_start + 1; k < i; k++) prefix_order_tag_set(&sorted[k], tag);
    run_start = i;
  }
}

// ---------------------------------------------------------------------------
// Stage 3: the Patricia trie.
// ---------------------------------------------------------------------------

// Hands out the next node number.  The caller passes the capacity of its
// node array as `node_limit` (max_pat_nodes, itself at most 0xFFFFFFFE), so
// that even records breaking the trie's size bound could not write past it.
static bool patricia_node_alloc(uint32_t* next_free, uint32_t node_limit, uint32_t* out_idx) {
  if (*next_free >= node_limit) return false;
  *out_idx = (*next_free)++;
  return true;
}

// First bit at or after `bit_pos` where the addresses of `a` and `b` differ,
// or key_bits when they agree from there on.
static unsigned first_differing_bit(const tarn_prefix_t* a, const tarn_prefix_t* b,
                                    unsigned bit_pos, size_t addr_len) {
  for (size_t i = bit_pos / 8; i < addr_len; i++) {
    unsigned x = a->addr.addr.v6[i] ^ b->addr.addr.v6[i];
    if (x != 0) {
      // x is a non-zero byte: clz of its 32-bit widening is 24..31.
      return static_cast<unsigned>(i * 8) + (static_cast<unsigned>(__builtin_clz(x)) - 24);
    }
  }
  return static_cast<unsigned>(addr_len * 8);
}

// Builds the subtree over sorted records [start, end), which all agree on
// bits 0 .. bit_pos-1 and have lengths of at least bit_pos, and returns its
// node index (kNone for an empty range or when the node array is exhausted,
// the latter also setting *overflowed).  Nodes are numbered in pre-order.
//
//   1. The node splits at the first bit at or after bit_pos where a record
//      ends (its length is that bit) or where the records still running
//      through that bit disagree on it.
//   2. With canonical records that bit is min(first.pfxlen, D), D being the
//      first bit where the first and the last record of the range differ:
//      every address between those two shares their bits above D, so nothing
//      diverges earlier; a record ending at some m <= D equals the common
//      bits followed by zeros, which is the smallest address of the range,
//      and among equal addresses the shortest comes first in network order.
//      So when anything ends first, it is the range's first record.
//   3. If nothing ends or diverges before key_bits, all records are the same
//      full-length prefix: a full-length leaf holding the first of them.
//   4. Otherwise the leading records of length split_bit (copies of one
//      prefix) are stored here; the rest splits on bit split_bit, which is
//      monotone across the sorted range, at the first record with a 1.
// Example: [10.0.0.0/8, 10.1.0.0/16, 10.1.2.0/24] gives a node at bit 8
// holding 10.0.0.0/8 whose left child is a node at bit 16 holding
// 10.1.0.0/16, whose left child is a leaf at bit 24.
static uint32_t patricia_subtree_build(const tarn_prefix_t* sorted, size_t start, size_t end,
                                       unsigned bit_pos, unsigned key_bits, size_t addr_len,
                                       tarn_pat_node_t* nodes, uint32_t* next_free,
                                       uint32_t node_limit, bool* overflowed) {
  if (start == end) return kNone;
  uint32_t idx;
  if (!patricia_node_alloc(next_free, node_limit, &idx)) {
    *overflowed = true;
    return kNone;
  }
  tarn_pat_node_t* node = &nodes[idx];
  node->left = node->right = kNone;
  node->prefix_idx = kNone;
  node->repr_idx = static_cast<uint32_t>(start);
  node->dp_cost = 0;
  node->bit_position = static_cast<uint16_t>(bit_pos);
  node->optimal_branch = 0;

  unsigned split_bit = first_differing_bit(&sorted[start], &sorted[end - 1], bit_pos, addr_len);
  if (sorted[start].pfxlen < split_bit) split_bit = sorted[start].pfxlen;
  if (split_bit >= key_bits) {
    node->bit_position = static_cast<uint16_t>(key_bits);
    node->prefix_idx = static_cast<uint32_t>(start);
    return idx;
  }
  node->bit_position = static_cast<uint16_t>(split_bit);

  size_t ext_start = start;
  while (ext_start < end && sorted[ext_start].pfxlen <= split_bit) ext_start++;
  if (ext_start != start) node->prefix_idx = static_cast<uint32_t>(start);
  if (ext_start == end) return idx;

  size_t lo = ext_start, hi = end;  // first record with bit split_bit = 1
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (trie_addr_bit(&sorted[mid].addr, split_bit, addr_len))
      hi = mid;
    else
      lo = mid + 1;
  }
  size_t pivot = lo;

  uint32_t left = patricia_subtree_build(sorted, ext_start, pivot, split_bit + 1, key_bits,
                                         addr_len, nodes, next_free, node_limit, overflowed);
  if (*overflowed) return kNone;
  uint32_t right = patricia_subtree_build(sorted, pivot, end, split_bit + 1, key_bits, addr_len,
                                          nodes, next_free, node_limit, overflowed);
  if (*overflowed) return kNone;
  // `node` stays valid: nodes are never moved, only appended.
  node->left = left;
  node->right = right;
  return idx;
}

// ---------------------------------------------------------------------------
// Slot walks: which trie node fills each child slot of a multi-bit node.
// ---------------------------------------------------------------------------

// A slot walk in progress.  `node` is the trie node the slot's bits have led
// to so far (kNone once the pattern has left the trie) and `abs_bit` the next
// address bit the slot's following bit stands for.  While abs_bit is below
// node's bit_position the walk is inside the gap above `node`, whose bits
// the whole subtree shares.
struct slot_walk {
  uint32_t node;
  uint32_t abs_bit;
};

// Extends the walks of a node N from branch factor `branch` - 1 to `branch`:
// on entry walks[0 .. 2^(branch-1)) hold the walks of the slots of the
// smaller factor (for branch 1: walks[0] = {N, N.bit_position}); on return
// walks[0 .. 2^branch) hold those of `branch`, slot s being the extension of
// slot s >> 1 by the bit s & 1.  The node of walks[s] is then the trie node
// that fills slot s of N at this factor:
//
//   - inside a gap, the slot's bit must equal the subtree's shared bit
//     (taken from the node's representative record), else the slot is empty;
//   - at a node with children, the slot's bit picks the child (a missing
//     child empties the slot);
//   - at a leaf the walk stays: a leaf reached early fills every slot whose
//     pattern starts with its path.
//
// Growing the factor one bit at a time gives, for each factor, exactly the
// node that a walk of the slot's bits from N would reach, at a cost of one
// step per slot per factor.  Both the DP and the packing use this routine,
// so they cannot disagree about a slot.  Returns whether some walk now
// stands exactly at a node with children (see patricia_dp_choose).
static bool patricia_slot_target(const tarn_pat_node_t* nodes, const tarn_prefix_t* sorted,
                                 size_t addr_len, slot_walk* walks, unsigned branch) {
  bool at_branching = false;
  // Downwards, so that walks[s >> 1] is read before slots 2s, 2s+1 overwrite it.
  for (size_t s = (size_t{1} << (branch - 1)); s-- > 0;) {
    slot_walk w = walks[s];
    slot_walk out[2] = {{kNone, 0}, {kNone, 0}};
    if (w.node != kNone) {
      const tarn_pat_node_t* c = &nodes[w.node];
      if (w.abs_bit < c->bit_position) {
        unsigned required = trie_addr_bit(&sorted[c->repr_idx].addr, w.abs_bit, addr_len);
        out[required] = {w.node, w.abs_bit + 1};
      } else if (!pat_has_children(c)) {
        out[0] = out[1] = {w.node, w.abs_bit + 1};
      } else {
        if (c->left != kNone) out[0] = {c->left, w.abs_bit + 1};
        if (c->right != kNone) out[1] = {c->right, w.abs_bit + 1};
      }
      for (const slot_walk& o : out) {
        if (o.node == kNone) continue;
        const tarn_pat_node_t* t = &nodes[o.node];
        at_branching = at_branching || (o.abs_bit == t->bit_position && pat_has_children(t));
      }
    }
    walks[2 * s] = out[0];
    walks[2 * s + 1] = out[1];
  }
  return at_branching;
}

// ---------------------------------------------------------------------------
// Stage 4: branch factors.
// ---------------------------------------------------------------------------

// Chooses the branch factor of node `pat_idx`, whose subtrees already have
// their costs.  Kept out of line so that its slot array lives on the stack
// only while one node is evaluated, not once per level of the recursion.
//
//   1. Try branch = 1 .. max_branch.  The cost of a factor is 1 (the node)
//      plus, per slot, 1 for an empty slot (a dead leaf) or the dp_cost of
//      the slot's node; a factor whose cost would pass node_limit is invalid.
//   2. The lowest cost wins; on equal cost the larger factor wins.
//   3. Stop early once no walk stands at a node with children: then every
//      larger factor costs more.  Per walk: an empty slot or a reached leaf
//      just repeats in every extension, at least doubling its share; a walk
//      inside a gap leaves a dead leaf behind for every further gap bit, and
//      once it reaches its node C, expanding C by j more bits costs at least
//      dp_cost(C) - 1 (C's own best factor is no dearer; C's limits allow
//      j), which the dead leaves of at least one gap bit more than repay.
//      So no larger factor can win, nor even tie.
__attribute__((noinline)) static bool patricia_dp_choose(tarn_pat_node_t* nodes, uint32_t pat_idx,
                                                         const tarn_prefix_t* sorted,
                                                         size_t addr_len, unsigned max_branch,
                                                         size_t node_limit) {
  slot_walk walks[kMaxSlots];
  walks[0] = {pat_idx, nodes[pat_idx].bit_position};
  size_t best_cost = 0;
  unsigned best_branch = 0;
  for (unsigned branch = 1; branch <= max_branch; branch++) {
    bool at_branching = patricia_slot_target(nodes, sorted, addr_len, walks, branch);
    size_t cost = 1;
    bool valid = true;
    for (size_t s = 0; s < (size_t{1} << branch); s++) {
      // patricia_slot_target filled walks[0 .. 2^branch), so every slot read
      // here is set; the analyzer cannot follow that through the call.
      // NOLINTNEXTLINE(clang-analyzer-core.uninitialized.Assign)
      size_t slot_cost = walks[s].node == kNone ? 1 : nodes[walks[s].node].dp_cost;
      if (cost + slot_cost > node_limit) {
        valid = false;
        break;
      }
      cost += slot_cost;
    }
    if (valid && (best_branch == 0 || cost <= best_cost)) {
      best_cost = cost;
      best_branch = branch;
    }
    if (!at_branching) break;
  }
  if (best_branch == 0) return false;
  nodes[pat_idx].dp_cost = best_cost;
  nodes[pat_idx].optimal_branch = static_cast<uint8_t>(best_branch);
  return true;
}

// Post-order: fills dp_cost and optimal_branch for the subtree of pat_idx.
// *nearest receives the smallest bit_position of a node of the subtree that
// carries a prefix and has children (kNoBit if none): a stride must not pass
// over such a node, or its prefix would vanish from the packed trie, so a
// node at bit p may consume at most nearest-below - p bits.
static bool patricia_dp_compute(tarn_pat_node_t* nodes, uint32_t pat_idx,
                                const tarn_prefix_t* sorted, size_t addr_len, unsigned key_bits,
                                size_t node_limit, unsigned* nearest) {
  tarn_pat_node_t* node = &nodes[pat_idx];
  unsigned below = kNoBit;
  const uint32_t children[2] = {node->left, node->right};
  for (uint32_t child : children) {
    if (child == kNone) continue;
    unsigned child_nearest;
    if (!patricia_dp_compute(nodes, child, sorted, addr_len, key_bits, node_limit, &child_nearest))
      return false;
    if (child_nearest < below) below = child_nearest;
  }
  if (!pat_has_children(node)) {
    node->dp_cost = 1;
    node->optimal_branch = 0;
    *nearest = kNoBit;
    return true;
  }
  unsigned max_branch = kMaxBranch;
  if (key_bits - node->bit_position < max_branch) max_branch = key_bits - node->bit_position;
  if (below != kNoBit && below - node->bit_position < max_branch)
    max_branch = below - node->bit_position;
  *nearest = node->prefix_idx != kNone ? node->bit_position : below;
  return patricia_dp_choose(nodes, pat_idx, sorted, addr_len, max_branch, node_limit);
}

// ---------------------------------------------------------------------------
// Stage 5: packing.
// ---------------------------------------------------------------------------

static void lctrie_pack_dead_leaf(tarn_lctrie_node_t* nodes, size_t node_idx) {
  tarn_lctrie_node_t* q = &nodes[node_idx];
  q->base = 0;
  q->prefix_idx = kNone;
  q->branch = 0;
  q->skip = 0;
  q->pad[0] = q->pad[1] = 0;
}

// Writes the trie node of every slot of a node with factor `branch` into the
// `base` field of its still unwritten child position, where the packing
// picks it up.  Out of line for the same reason as patricia_dp_choose.
__attribute__((noinline)) static void lctrie_stash_slot_targets(const tarn_pat_node_t* nodes,
                                                                uint32_t pat_idx,
                                                                const tarn_prefix_t* sorted,
                                                                size_t addr_len, unsigned branch,
                                                                tarn_lctrie_node_t* block) {
  slot_walk walks[kMaxSlots];
  walks[0] = {pat_idx, nodes[pat_idx].bit_position};
  for (unsigned b = 1; b <= branch; b++) patricia_slot_target(nodes, sorted, addr_len, walks, b);
  for (size_t s = 0; s < (size_t{1} << branch); s++) block[s].base = walks[s].node;
}

// Writes Patricia node pat_idx into packed[packed_idx] and its subtree
// behind it, depth-first:
//
//   1. The node gets its own prefix and factor, and skip = its bit_position
//      minus the parent's depth (parent bit_position + parent branch), kept
//      modulo 256; for a leaf copy reached early the difference may be
//      negative, but a leaf's skip is never read.
//   2. A node with children reserves its whole block of 2^branch positions
//      from *next_free, then fills the slots in ascending order, each
//      slot's subtree completely before the next.
//   3. An empty slot becomes a dead leaf.
//
// The slot targets are parked in the block's own positions until each is
// written, which is safe because a slot's subtree writes only its own
// position and positions past the block.  Positions beyond `capacity` are
// never written; *overflowed reports the attempt.
static void lctrie_pack_subtree(const tarn_pat_node_t* nodes, uint32_t pat_idx,
                                const tarn_prefix_t* sorted, size_t addr_len,
                                tarn_lctrie_node_t* packed, size_t packed_idx, size_t* next_free,
                                unsigned parent_depth, size_t capacity, bool* overflowed) {
  const tarn_pat_node_t* p = &nodes[pat_idx];
  tarn_lctrie_node_t* q = &packed[packed_idx];
  q->base = 0;
  q->prefix_idx = p->prefix_idx;
  q->branch = p->optimal_branch;
  // Wraps modulo 256 on purpose (see step 1).
  q->skip = static_cast<uint8_t>(p->bit_position - parent_depth);
  q->pad[0] = q->pad[1] = 0;
  unsigned branch = p->optimal_branch;
  if (branch == 0) return;
  size_t slots = size_t{1} << branch;
  if (*next_free > capacity || capacity - *next_free < slots) {
    *overflowed = true;
    return;
  }
  size_t base = *next_free;
  q->base = static_cast<uint32_t>(base);
  *next_free += slots;
  lctrie_stash_slot_targets(nodes, pat_idx, sorted, addr_len, branch, &packed[base]);
  unsigned depth = p->bit_position + branch;
  for (size_t s = 0; s < slots && !*overflowed; s++) {
    uint32_t target = packed[base + s].base;
    if (target == kNone)
      lctrie_pack_dead_leaf(packed, base + s);
    else
      lctrie_pack_subtree(nodes, target, sorted, addr_len, packed, base + s, next_free, depth,
                          capacity, overflowed);
  }
}

// ---------------------------------------------------------------------------
// Address keys.
// ---------------------------------------------------------------------------

// An address as host-order integers, so that bit fields come out with a
// shift.  IPv4: one 32-bit word; IPv6: the shared 128-bit key.
struct key_v4 {
  uint32_t w;
};
using key_v6 = key128;

template <typename Key>
static inline Key key_load(const tarn_addr_t* a);

template <>
inline key_v4 key_load<key_v4>(const tarn_addr_t* a) {
  return {key128_load_be32(a->addr.v4)};
}

template <>
inline key_v6 key_load<key_v6>(const tarn_addr_t* a) {
  return key128_from_bytes(a->addr.v6, TARN_AF_INET6);
}

// The `branch` bits (1..8) starting at bit `first`, as a number whose most
// significant bit is bit `first`; the caller guarantees first + branch <= the
// key width, so first <= 31 (IPv4) or 127 (IPv6).
static inline uint32_t key_bits_at(key_v4 k, unsigned first, unsigned branch) {
  // first <= 31 and 32 - branch is 24..31: both shifts are below 64.
  return static_cast<uint32_t>((static_cast<uint64_t>(k.w) << first) >> (32 - branch)) &
         ((1u << branch) - 1);
}

static inline uint32_t key_bits_at(key_v6 k, unsigned first, unsigned branch) {
  uint64_t window;  // the 64 key bits starting at `first`, zero-filled
  if (first == 0)
    window = k.hi;
  else if (first < 64)  // 64 - first is 1..63
    window = (k.hi << first) | (k.lo >> (64 - first));
  else  // first is 64..127, so first - 64 is 0..63
    window = k.lo << (first - 64);
  // 64 - branch is 56..63.
  return static_cast<uint32_t>(window >> (64 - branch));
}

// Whether the sorted record `r` (address bytes, then length) contains the
// address `k`: only its first pfxlen bits take part.  A length beyond the
// key (which create never lets in) compares the whole key.
static inline bool trie_prefix_matches(const uint8_t* r, key_v4 k) {
  return ((key128_load_be32(r) ^ k.w) & key_mask32(r[4])) == 0;
}

static inline bool trie_prefix_matches(const uint8_t* r, key_v6 k) {
  return key128_contains(key128_from_bytes(r, TARN_AF_INET6), 128, r[16], k);
}

// ---------------------------------------------------------------------------
// Lookup.
// ---------------------------------------------------------------------------

// Candidate checks: the sorted record, and on a match its reported
// position.  Both arrays are indexed by the sorted position the node holds.
static inline void candidate_prefetch(const tarn_index* index, uint32_t c) {
  __builtin_prefetch(index_record(index, c));
  __builtin_prefetch(&index->orig_indices[c]);
}
template <typename Key>
static inline bool candidate_matches(const tarn_index* index, uint32_t c, Key k, uint32_t* orig) {
  *orig = index->orig_indices[c];
  return trie_prefix_matches(index_record(index, c), k);
}

static inline void prefetch_node(const tarn_lctrie_node_t* n) {
  // A 12-byte node may straddle two cache lines.
  __builtin_prefetch(n);
  __builtin_prefetch(reinterpret_cast<const char*>(n) + sizeof *n - 1);
}

// The batch walk.  Per address the walk is:
//
//   1. Start at the root with bit_pos 0.
//   2. Note the node's prefix, if any, as a candidate.
//   3. A leaf ends the walk.  Otherwise the node's bits start at bit_pos +
//      skip; bit_pos moves past its `branch` bits (a walk that would pass the
//      key's end stops), and those bits select the child in the node's block.
//   4. The skipped bits were never compared, so the candidates are checked
//      against the address afterwards.  Deeper candidates are longer
//      prefixes, so checking from the deepest up, the first that contains
//      the address is the longest match; usually that is the first one read.
//      If none does, the address has no match.
//
// kLanes walks run interleaved: each visit of a lane does one step whose
// data was prefetched on the lane's previous visit and prefetches the data
// of its next step, so the misses of different addresses overlap instead of
// queueing one behind the other.  The answers are those of walking every
// address on its own, in any order.
template <typename Key, unsigned KeyBits>
static void index_lookup_batch(const tarn_index* index, const tarn_lctrie_node_t* nodes,
                               const tarn_addr_t* addrs, size_t count, ssize_t* matches,
                               tarn_err_t* errs) {
  constexpr unsigned kLanes = 32;
  enum phase : uint8_t { kDescend, kCheck, kIdle };
  struct lane {
    Key key;
    size_t addr_i;     // address being answered
    uint32_t node;     // packed position of the next step
    uint32_t bit_pos;  // first bit after those consumed so far
    uint32_t answer;   // input position of the match found, or NONE
    uint32_t depth;    // candidates collected
    phase state;
    uint32_t cand[KeyBits + 1];  // prefixes met, shallowest first
  };
  lane lanes[kLanes];
  size_t next_addr = 0;
  unsigned active = 0;

  auto start = [&](lane& ln) {
    if (next_addr == count) {
      ln.state = kIdle;
      return false;
    }
    ln.addr_i = next_addr++;
    ln.key = key_load<Key>(&addrs[ln.addr_i]);
    ln.depth = 0;
    ln.node = 0;
    ln.bit_pos = 0;
    ln.answer = kNone;
    ln.state = kDescend;
    return true;
  };
  // Prefetches the deepest unchecked candidate, or finishes the lane with
  // its answer when none is left.
  auto next_check = [&](lane& ln) {
    if (ln.depth == 0) {
      matches[ln.addr_i] = ln.answer == kNone ? -1 : static_cast<ssize_t>(ln.answer);
      if (errs) errs[ln.addr_i] = TARN_OK;
      if (!start(ln)) active--;
      return;
    }
    candidate_prefetch(index, ln.cand[ln.depth - 1]);
    ln.state = kCheck;
  };

  for (unsigned l = 0; l < kLanes; l++)
    if (start(lanes[l])) active++;
  // `active` drops inside start() and next_check(), which the loop body calls.
  while (active > 0) {  // NOLINT(bugprone-infinite-loop)
    for (unsigned l = 0; l < kLanes; l++) {
      lane& ln = lanes[l];
      switch (ln.state) {
        case kIdle:
          break;
        case kDescend: {
          const tarn_lctrie_node_t* n = &nodes[ln.node];
          ln.cand[ln.depth] = n->prefix_idx;
          ln.depth += n->prefix_idx != kNone;
          unsigned first = ln.bit_pos + n->skip;
          ln.bit_pos = first + n->branch;
          if (n->branch == 0 || ln.bit_pos > KeyBits) {
            next_check(ln);
          } else {
            ln.node = n->base + key_bits_at(ln.key, first, n->branch);
            prefetch_node(&nodes[ln.node]);
          }
          break;
        }
        case kCheck: {
          uint32_t orig;
          if (candidate_matches(index, ln.cand[ln.depth - 1], ln.key, &orig)) {
            ln.answer = orig;
            ln.depth = 0;
          } else {
            ln.depth--;
          }
          next_check(ln);
          break;
        }
      }
    }
  }
}

// Steps 3 to 5 of the build over the sorted records of an index (see
// tarn_index_create): the Patricia trie, the DP and the packing into a new
// array of *node_count nodes at *out.  TARN_ERR_INVAL when the trie would
// pass the node limit, TARN_ERR_NOMEM; nothing stays allocated on failure.
tarn_err_t lctrie_build(const tarn_prefix_t* sorted, size_t count, tarn_family_t family,
                        tarn_lctrie_node_t** out, uint32_t* node_count) {
  const unsigned key_bits = tarn_addr_bits(family);
  const size_t addr_len = tarn_addr_len(family);
  // A trie over n canonical records has at most 2n - 1 nodes.
  const size_t max_pat_nodes = count >= (kNodeLimit - 2) / 2 ? kNodeLimit : 2 * count + 2;
  if (max_pat_nodes > SIZE_MAX / sizeof(tarn_pat_node_t)) return TARN_ERR_NOMEM;
  tarn_pat_node_t* pat_nodes =
      static_cast<tarn_pat_node_t*>(malloc(max_pat_nodes * sizeof *pat_nodes));
  if (pat_nodes == nullptr) return TARN_ERR_NOMEM;
  tarn_lctrie_node_t* packed = nullptr;
  tarn_err_t err = TARN_ERR_INVAL;
  uint32_t pat_count = 0;
  bool overflowed = false;
  unsigned root_nearest;
  size_t n, packed_next;

  // 3. Patricia trie.
  const uint32_t pat_root =
      patricia_subtree_build(sorted, 0, count, 0, key_bits, addr_len, pat_nodes, &pat_count,
                             static_cast<uint32_t>(max_pat_nodes), &overflowed);
  if (overflowed || pat_root == kNone) goto done;

  // 4. Branch factors.
  if (!patricia_dp_compute(pat_nodes, pat_root, sorted, addr_len, key_bits, kNodeLimit,
                           &root_nearest))
    goto done;

  // 5. Packing.
  n = pat_nodes[pat_root].dp_cost;
  if (n > kNodeLimit) goto done;
  packed = static_cast<tarn_lctrie_node_t*>(malloc(n * sizeof *packed));
  if (packed == nullptr) {
    err = TARN_ERR_NOMEM;
    goto done;
  }
  packed_next = 1;
  lctrie_pack_subtree(pat_nodes, pat_root, sorted, addr_len, packed, 0, &packed_next, 0, n,
                      &overflowed);
  if (overflowed || packed_next != n) goto done;
  *out = packed;
  *node_count = static_cast<uint32_t>(packed_next);
  packed = nullptr;
  err = TARN_OK;

done:
  free(packed);
  free(pat_nodes);
  return err;
}

}  // namespace

// Builds the index:
//
//   1. Check the arguments, then every record's family (the first offender
//      decides), then that every record is canonical (length first, then
//      host bits, first offender again), all before anything is allocated.
//   2. Allocate the index record, a copy of the input, the sorted records
//      and the position map; copy, tag every record with its input
//      position, sort in network order, give each run of equal records its
//      first tag, and read the records and the tags out of the copy.
//   3. Derive the lookup structure.  Only an index without one (more
//      prefixes than its answers can name) builds the LC-trie now, in the
//      three steps of lctrie_build:
//        a. the Patricia trie, into an array of max_pat_nodes nodes; the
//           node allocator is bounded by that capacity (never above
//           node_limit);
//        b. the DP, whose root cost is the packed node count;
//        c. the packing, checked to fill exactly that many nodes.
//      Every other index builds its LC-trie the same way on first need
//      (tarn_index_lctrie): lookups never walk it, and most indexes are
//      never asked for what only it gives (a blob, the fallback walks), so
//      creating one costs the sort and the lookup structure alone.
//   4. Free the copy.
//
// Any failure after step 1 frees everything allocated so far.
tarn_err_t tarn_index_create(const tarn_prefix_t* prefixes, size_t count, tarn_index_t** out) {
  if (out == nullptr || count == 0 || count > kMaxCount || prefixes == nullptr)
    return TARN_ERR_INVAL;
  // An index is of one real family: a stored or serialised index names it,
  // so no other value may stand in for IPv6 here as it may elsewhere.
  tarn_family_t family = prefixes[0].addr.family;
  if (family != TARN_AF_INET && family != TARN_AF_INET6) return TARN_ERR_INVAL;
  for (size_t i = 1; i < count; i++) {
    if (prefixes[i].addr.family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
    if (prefixes[i].addr.family != family) return TARN_ERR_FAMILY;
  }
  size_t addr_len = tarn_addr_len(family);
  // The trie build relies on canonical records (see patricia_subtree_build).
  {
    tarn_err_t err = prefixes_check_canonical(prefixes, count, family);
    if (err != TARN_OK) return err;
  }

  if (count > SIZE_MAX / sizeof(tarn_prefix_t)) return TARN_ERR_NOMEM;

  tarn_index* index = nullptr;
  tarn_prefix_t* copy = nullptr;
  uint8_t* records = nullptr;
  uint32_t* orig_indices = nullptr;
  tarn_err_t err = TARN_ERR_NOMEM;
  const size_t record_len = addr_len + 1;

  // 2. Copy, sort, positions, records.
  index = static_cast<tarn_index*>(malloc(sizeof *index));
  if (index == nullptr) goto fail;
  copy = static_cast<tarn_prefix_t*>(malloc(count * sizeof *copy));
  if (copy == nullptr) goto fail;
  records = static_cast<uint8_t*>(malloc(count * record_len));
  if (records == nullptr) goto fail;
  orig_indices = static_cast<uint32_t*>(malloc(count * sizeof *orig_indices));
  if (orig_indices == nullptr) goto fail;
  memcpy(copy, prefixes, count * sizeof *copy);
  prefixes_prepare_order_tags(copy, count);
  radix_sort_prefixes(copy, count, TARN_SORT_NETWORK_ASC, family);
  prefixes_resolve_duplicates(copy, count, addr_len);
  for (size_t k = 0; k < count; k++) {
    orig_indices[k] = prefix_order_tag_get(&copy[k]);
    memcpy(records + k * record_len, copy[k].addr.addr.v6, addr_len);
    records[k * record_len + addr_len] = copy[k].pfxlen;
  }
  prefixes_restore_family(copy, count, family);

  index->nodes = nullptr;
  index->node_count = 0;
  index->records = records;
  index->prefix_count = count;
  index->distinct_count = 1;
  for (size_t k = 1; k < count; k++)
    index->distinct_count += !prefixes_equal_key(&copy[k], &copy[k - 1], addr_len);
  index->orig_indices = orig_indices;
  index->family = family;
  index->lookup = tarn_lookup_t{};
  index->covering_links = nullptr;
  records = nullptr;
  orig_indices = nullptr;

  // 3. The lookup structure (which frees its own arrays on failure); then
  // the LC-trie, now only where there is no structure to answer lookups.
  err = tarn_lookup_build(index);
  if (err == TARN_OK && index->lookup.direct == nullptr) {
    tarn_lctrie_node_t* nodes = nullptr;
    uint32_t node_count = 0;
    err = lctrie_build(copy, count, family, &nodes, &node_count);
    index->nodes = nodes;
    index->node_count = node_count;
  }
  free(copy);  // 4.
  if (err != TARN_OK) {
    tarn_index_destroy(index);
    return err;
  }
  *out = index;
  return TARN_OK;

fail:
  free(orig_indices);
  free(records);
  free(copy);
  free(index);
  return err;
}

const tarn_lctrie_node_t* tarn_index_lctrie(const tarn_index* index, uint32_t* node_count) {
  tarn_index* self = const_cast<tarn_index*>(index);
  tarn_lctrie_node_t* nodes = __atomic_load_n(&self->nodes, __ATOMIC_ACQUIRE);
  if (nodes == nullptr) {
    // The trie is built over prefix records, decoded for the build alone.
    uint32_t count = 0;
    if (index->prefix_count > SIZE_MAX / sizeof(tarn_prefix_t)) return nullptr;
    tarn_prefix_t* sorted =
        static_cast<tarn_prefix_t*>(malloc(index->prefix_count * sizeof *sorted));
    if (sorted == nullptr) return nullptr;
    for (size_t k = 0; k < index->prefix_count; k++) index_prefix(index, k, &sorted[k]);
    const tarn_err_t err = lctrie_build(sorted, index->prefix_count, index->family, &nodes, &count);
    free(sorted);
    if (err != TARN_OK) return nullptr;
    // Every builder writes the same count before publishing; a builder that
    // loses the race frees its copy and takes the winner's.
    __atomic_store_n(&self->node_count, count, __ATOMIC_RELAXED);
    tarn_lctrie_node_t* expected = nullptr;
    if (!__atomic_compare_exchange_n(&self->nodes, &expected, nodes, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE)) {
      free(nodes);
      nodes = expected;
    }
  }
  *node_count = __atomic_load_n(&self->node_count, __ATOMIC_RELAXED);
  return nodes;
}

// Checks the batch (the first offending address decides), then answers it
// from the lookup structure, or from the LC-trie for an index without one.
tarn_err_t tarn_index_lookup(const tarn_index_t* index, const tarn_addr_t* addrs, size_t count,
                             ssize_t* matches, tarn_err_t* errs) {
  if (index == nullptr) return TARN_ERR_INVAL;
  if (count == 0) return TARN_OK;
  if (addrs == nullptr || matches == nullptr) return TARN_ERR_INVAL;
  for (size_t i = 0; i < count; i++) {
    if (addrs[i].family == TARN_AF_UNSPEC) return TARN_ERR_INVAL;
    if (addrs[i].family != index->family) return TARN_ERR_FAMILY;
  }
  // An index without the structure has its LC-trie from the start, so the
  // fallback never has a trie to build.
  if (index->lookup.direct == nullptr)
    return tarn_lctrie_lookup(index, addrs, count, matches, errs);
  tarn_lookup_batch(index, addrs, count, matches, errs);
  return TARN_OK;
}

// Packed addresses have no family to check.  Without the lookup structure
// they go to the LC-trie in records, a stack block at a time.
tarn_err_t tarn_index_lookup_packed(const tarn_index_t* index, const void* packed, size_t count,
                                    ssize_t* matches) {
  if (index == nullptr) return TARN_ERR_INVAL;
  if (count == 0) return TARN_OK;
  if (packed == nullptr || matches == nullptr || count > SIZE_MAX / 16) return TARN_ERR_INVAL;
  const uint8_t* bytes = static_cast<const uint8_t*>(packed);
  if (index->lookup.direct != nullptr) {
    tarn_lookup_packed(index, bytes, count, matches);
    return TARN_OK;
  }
  const size_t width = index->family == TARN_AF_INET ? 4 : 16;
  constexpr size_t kBlock = 256;
  tarn_addr_t block[kBlock];
  for (size_t done = 0; done < count; done += kBlock) {
    const size_t n = count - done < kBlock ? count - done : kBlock;
    for (size_t i = 0; i < n; i++) {
      memset(&block[i], 0, sizeof block[i]);
      block[i].family = index->family;
      memcpy(block[i].addr.v6, bytes + (done + i) * width, width);
    }
    const tarn_err_t rc = tarn_lctrie_lookup(index, block, n, matches + done, nullptr);
    if (rc != TARN_OK) return rc;
  }
  return TARN_OK;
}

tarn_err_t tarn_index_get(const tarn_index_t* index, const tarn_addr_t* addr, ssize_t* match) {
  if (index == nullptr || addr == nullptr || match == nullptr || addr->family == TARN_AF_UNSPEC)
    return TARN_ERR_INVAL;
  if (addr->family != index->family) return TARN_ERR_FAMILY;
  if (index->lookup.direct == nullptr) [[unlikely]]
    return tarn_lctrie_lookup(index, addr, 1, match, nullptr);
  return tarn_lookup_one(index, addr, match);
}

// Out of line: inlined into tarn_index_get, it would give that call a stack
// frame that every lookup through the derived structure pays for.
__attribute__((noinline)) tarn_err_t tarn_lctrie_lookup(const tarn_index* index,
                                                        const tarn_addr_t* addrs, size_t count,
                                                        ssize_t* matches, tarn_err_t* errs) {
  uint32_t node_count;
  const tarn_lctrie_node_t* nodes = tarn_index_lctrie(index, &node_count);
  if (nodes == nullptr) return TARN_ERR_NOMEM;
  if (index->family == TARN_AF_INET)
    index_lookup_batch<key_v4, 32>(index, nodes, addrs, count, matches, errs);
  else
    index_lookup_batch<key_v6, 128>(index, nodes, addrs, count, matches, errs);
  return TARN_OK;
}

void tarn_index_destroy(tarn_index_t* index) {
  if (index == nullptr) return;
  free(index->nodes);
  free(index->records);
  free(index->orig_indices);
  tarn_lookup_release(index);
  free(index->covering_links);
  free(index);
}
