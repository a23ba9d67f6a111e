// tarn_lookup.cpp - the structure every longest-prefix lookup walks.
//
// A popcount-compressed multibit trie after Poptrie (H. Asai and Y. Ohara,
// "Poptrie: A Compressed Trie with Population Count for Fast and Scalable
// Software IP Routing Table Lookup", SIGCOMM 2015), derived from a built
// index: the LC-trie answers every address with the input position of its
// longest match, and this structure stores those answers themselves, so a
// lookup never reads a prefix record, never verifies a candidate and never
// backtracks.
//
// Shape.  A direct table resolves the first S address bits (S = 0, 6, 12 or
// 18, by table size and spread, and 24 for IPv4 tables of millions of
// prefixes).
// Below it every node resolves the next six bits: of its 64 children each is
// either another node or a leaf, an address range on which the answer is one
// input position (or none).  A node is one record of
// consecutive 32-bit words, so that one visit costs one cache miss (two
// adjacent lines for a large node), not one for the node and one for its
// answers:
//
//   vector   (2 words) bit c: child c is a node.
//   leafvec  (2 words) bit c: child c is a leaf whose answer differs from
//            that of the leaf before it in the node (the first leaf always
//            counts): a run start.
//   then one word per child node, its record's position, in child order,
//   then one word per run start, its answer, in child order,
//   then a zero word if needed to bring the next record to an even position.
//
// Child c is then the popcount(vector & bits 0..c)-th child node, and a leaf
// child c answers with the popcount(leafvec & bits 0..c)-th answer: that of
// the last run start at or before c.  The bitmaps are Poptrie's; keeping a
// node's pointers and answers inside its own record is the node layout of
// Tree Bitmap (W. Eatherton, G. Varghese, Z. Dittia, "Tree bitmap:
// hardware/software IP lookups with incremental updates", CCR 34(2), 2004).
//
// Skip records (IPv6 only).  An IPv6 table is mostly prefixes alone in
// their parent's block (a /48 under its /32, or under nothing), and as node
// records each would cost a chain of records with one child, one per six
// bits, and a last one with three runs: 128 bytes for a /48 under a /18.
// Where a node's range holds just three runs, the middle one a block of m
// bits below the node's depth d (6 <= m <= 56), and the outer two answer
// alike, the node is a skip record instead, four words:
//   head     (2 words) the m bits from d, at the top; m in bits 2..7; bits
//            0 and 1 clear.
//   on       the answer of the addresses whose m bits match, as 2(a + 1)
//   off      the answer of the others, as 2(a + 1)
// Both answers are even (NONE, 2^32 - 1, becomes 0), so a skip record has
// bits 0 of its first and third words clear, which no node record has: its
// first word's bit 0 is vector's bit 0, and when child 0 is a leaf it is
// the lowest leaf and starts a run, setting leafvec's bit 0 (the third
// word's).  A skip record ends the walk, as a leaf does; the IPv4 walk
// never meets one, and its records are as they were.
//
// Invariants (tarn_lookup_validate checks every one):
//   1. The records tile `words` from position 0, each at an even position,
//      and every record is reached from exactly one place: a direct entry,
//      or one child word of a record that ends before it starts.
//   2. A node at depth d (the first of its six bits) has no child node when
//      d + 6 >= the family's width: a walk ends after at most
//      ceil((width - S) / 6) nodes.
//   3. vector and leafvec share no bit, and the lowest leaf child of a node
//      is a run start, so every leaf child finds an answer.
//   4. Every answer is below prefix_count or NONE.
//   5. Only IPv6 structures hold skip records; a skip record at depth d
//      compares 6..56 bits, d + m <= the width, and has no bit set in its
//      head below those bits but m.
// Near the end of the address the six bits run past it (IPv4 bit 30: two
// bits left); the missing bits read as zero, so only children whose low bits
// are zero are ever reached, and the others are left inside a leaf run.
//
// Build (tarn_lookup_build), two passes over data the index already has:
//   1. One sweep over the sorted prefixes with a stack of the enclosing ones
//      cuts the address space into runs: maximal ranges with one answer (the
//      position of the innermost enclosing prefix, or none).  Network order
//      puts a prefix after every prefix enclosing it and before any it
//      encloses, so the stack holds exactly the prefixes containing the
//      current address.  At most 2n + 1 runs.
//   2. The trie is built top down over the runs, depth first: a child
//      range inside one run becomes a leaf, any other becomes a node (in
//      IPv6, a skip record where one is due).  A
//      node visits only the run starts inside its range, so it costs those,
//      not its 64 children, and the whole trie costs about the runs times
//      the depth.  A record is written whole before its children, which
//      follow it, and gets their positions as they are built.
//
// Example (IPv4, S = 0): 10.0.0.0/8 at input position 0 and 10.1.0.0/16 at
// position 1.  Runs: [0.0.0.0, 10.0.0.0) none; [10.0.0.0, 10.1.0.0) 0;
// [10.1.0.0, 10.2.0.0) 1; [10.2.0.0, 11.0.0.0) 0; the rest none.  The one
// direct entry names the root record (bits 0..5) at position 0.
//   - Root: 10.x.x.x starts 000010, child 2, whose range 8.0.0.0/6 spans
//     three runs, so child 2 is a node, the only one (vector = bit 2).  The
//     other 63 children are leaves, all none: leafvec = bit 0 (the first
//     leaf).  Record: vector, leafvec, [6], [none]: 6 words.
//   - Position 6, bits 6..11 over 8.0.0.0/6: one child per /12, so 8/8 is
//     children 0..15, 9/8 16..31, 10/8 32..47, 11/8 48..63.  Child 32
//     (10.0.0.0/12) holds 10.1.0.0/16 and is a node; 0..31 answer none,
//     33..47 answer 0, 48..63 none: leafvec = bits 0, 33, 48.  Record:
//     vector, leafvec, [14], [none, 0, none]: 8 words.
//   - Position 14, bits 12..17 over 10.0.0.0/12: one child per /18, so
//     10.0/16 is children 0..3, 10.1/16 is 4..7; every child lies in one
//     run.  vector = 0, leafvec = bits 0, 4, 8, answers 0, 1, 0: 7 words and
//     a zero word.
// Looking up 10.1.2.3: direct -> position 0, bits 000010 = child 2, a node
// -> position 6, bits 100000 = child 32, a node -> position 14, bits 000100
// = child 4, a leaf; the run starts at or before 4 are 0 and 4, the second
// answer is 1.
//
// Example (IPv6, S = 12): 2001:db8::/32 at position 0, the only prefix in
// 2000::/12.  The direct entry 0x200 spans three runs: none, then 0 on
// exactly the /32, then none.  The /32 is the block of the 20 bits from bit
// 12, 0x10db8, so the entry names a skip record: head 0x10db8 << 44 | 20 << 2
// = 0x10db800000000050, on = 2 (position 0), off = 0 (none).  Looking up
// 2001:db8:5::1: its bits 12..31 are 0x10db8, on the path: (2 >> 1) - 1 = 0.
// 2001:db9::1 has 0x10db9 there, off it: (0 >> 1) - 1 = -1.
//
// Lookup.  tarn_lookup_batch walks groups of 32 addresses level by level,
// all lanes of a group at the same depth: each pass over the group reads
// what the previous pass prefetched and prefetches the next record, so the
// misses of different addresses overlap, and no step branches on the data (a
// full table makes such branches unpredictable).  Over large tables the
// prefetches go further ahead, and IPv4 batches below the wide table run
// their groups in a pipeline, each group's first records prefetched while
// the group before it walks (see walk_batch).  The answers are those of
// walking each address alone.  A flat IPv4 structure, one whose records
// have no child node (global IPv4 routing tables carry no route longer
// than /24, and from 65536 prefixes on S is 18, so a /24 ends in the one
// record below its direct entry), needs no walk at all: every address
// reads its direct entry and one record, and its answer is picked by masks
// from the two, batched (group_answer_flat) or alone (flat_answer).  Groups
// pay at every table size measured (10 thousand to 4 million prefixes), so
// only a batch's last count % 32
// addresses, and batches below 32, take tarn_lookup_one, the plain walk of
// one address.  The addresses come either as the caller's records or packed
// as network-order bytes (tarn_lookup_packed); a large batch is bounded by
// the memory it reads as much as by the walk, and a packed IPv4 column is a
// fifth of the size of its records.  The popcount instruction is not in the
// x86-64 baseline, nor are BMI2's shifts by a variable count in one
// instruction (a plain shift by cl costs three on Intel cores, and a step
// shifts by the child number and the depth): the walks and the validator
// are compiled twice and the build for the running processor is taken per
// call.
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <bit>

#if defined(__SSE2__) && !defined(TARN_NO_SIMD)
#include <emmintrin.h>
#define TARN_LOOKUP_SSE2 1
#else
#define TARN_LOOKUP_SSE2 0
#endif

#include "pytarn.h"
#include "tarn_internal.h"

namespace {

constexpr uint32_t kNone = TARN_INDEX_NONE;
constexpr unsigned kStride = 6;
constexpr unsigned kChildren = 1u << kStride;
constexpr unsigned kMaxDirectBits = 24;  // the wide table (kWideDirectMin)

// Direct entries: bit 31 marks a leaf, whose answer takes the other 31 bits.
constexpr uint32_t kDirectLeaf = 0x80000000u;
constexpr uint32_t kDirectAnswerMask = 0x7FFFFFFFu;
// The largest prefix count whose positions fit a direct leaf, 0x7FFFFFFF
// being none.
constexpr size_t kMaxCount = 0x7FFFFFFEu;
// A direct entry names a record in 31 bits.
constexpr size_t kMaxWords = 0x7FFFFFFEu;
// vector and leafvec, two words each.
constexpr size_t kHeaderWords = 4;
// A skip record (IPv6): its head (two words), the answer on its path, the
// answer off it.  It compares kStride to kSkipMax bits, which leaves the
// head's low byte for their count.
constexpr size_t kSkipWords = 4;
constexpr unsigned kSkipMax = 56;

// Bits 0..c of a child map: (2 << c) - 1, where 2 << 63 wraps to 0 (unsigned
// arithmetic) and the mask becomes all ones.
inline uint64_t bits_through(unsigned c) { return (uint64_t{2} << c) - 1; }

// Answers as positions, without a branch.  A direct leaf holds its answer
// in bits 0..30, 0x7FFFFFFF standing for none, which the subtraction of 2^31
// turns into -1.  A node's answer is below kMaxCount < 2^31 or NONE, so its
// value as a signed 32-bit number is the position or -1.
inline tarn_ssize_t direct_answer(uint32_t entry) {
  const uint32_t a = entry & kDirectAnswerMask;
  return static_cast<tarn_ssize_t>(a) - (static_cast<tarn_ssize_t>(a == kDirectAnswerMask) << 31);
}
inline tarn_ssize_t leaf_answer(uint32_t a) {
  return static_cast<tarn_ssize_t>(static_cast<int32_t>(a));
}
// A skip record holds its answers as 2(a + 1), which are even (the record's
// kind needs its third word's bit 0 clear) and NONE becomes 0, so that
// halving and subtracting 1 gives the position or -1.
inline tarn_ssize_t skip_answer(uint32_t a) { return static_cast<tarn_ssize_t>(a >> 1) - 1; }
inline uint32_t skip_answer_word(uint32_t a) { return 2 * (a + 1); }

// ---------------------------------------------------------------------------
// Address keys for the walk.  IPv4: the address as one host-order word;
// IPv6: the shared 128-bit key.
// ---------------------------------------------------------------------------

struct family_v4 {
  using key = uint32_t;
  static constexpr size_t kBytes = 4;
  static constexpr bool kSkips = false;
  // Walks end mostly one record past a direct table of up to 18 bits (an
  // IPv4 table is mostly /24 routes and shorter), so that record's miss is
  // the one a batch has to hide (see walk_batch).
  static constexpr bool kShallow = true;
  static key load(const uint8_t* b) { return key128_load_be32(b); }
  // The first s (0..24) bits: the word is moved to the top of 64 bits and
  // shifted down by 1 and then by 63 - s (39..63), so s = 0 gives 0 without
  // a shift by 64.
  static uint32_t top(key k, unsigned s) {
    return static_cast<uint32_t>(((static_cast<uint64_t>(k) << 32) >> 1) >> (63 - s));
  }
  // The bits from bit d (d < 32) on, at the top of 64 bits, zeros past bit
  // 31: the shift by 32 + d (32..63) puts bit d at bit 63.
  static uint64_t ahead(key k, unsigned d) { return static_cast<uint64_t>(k) << (32 + d); }
};

struct family_v6 {
  using key = key128;
  static constexpr size_t kBytes = 16;
  static constexpr bool kSkips = true;
  static constexpr bool kShallow = false;
  static key load(const uint8_t* b) { return key128_from_bytes(b, TARN_AF_INET6); }
  static uint32_t top(key k, unsigned s) { return static_cast<uint32_t>((k.hi >> 1) >> (63 - s)); }
  // d < 128: key128_shl takes 0..127 and fills zeros past bit 127.
  static uint64_t ahead(key k, unsigned d) { return key128_shl(k, d).hi; }
};

// ---------------------------------------------------------------------------
// Stage 1: runs.
// ---------------------------------------------------------------------------

// Maximal ranges of one answer, in address order; run r covers
// [start[r], start[r + 1]) (the last one to the top of the space), and
// neighbouring runs answer differently.
struct run_list {
  key128* start = nullptr;
  uint32_t* value = nullptr;
  size_t count = 0;
};

// Starts a run of `value` at `at`, which is at or after the last run's
// start.  A run starting where the last one does replaces it; a run with
// the answer of the run before it merges into that run.
void run_set(run_list* runs, key128 at, uint32_t value) {
  if (runs->count > 0 && key128_eq(runs->start[runs->count - 1], at)) runs->count--;
  if (runs->count > 0 && runs->value[runs->count - 1] == value) return;
  runs->start[runs->count] = at;
  runs->value[runs->count] = value;
  runs->count++;
}

// The sweep of stage 1.  `stack` has room for bits + 1 entries: the
// prefixes on it contain one another and differ in length.  A prefix whose
// last address is the top of the space ends with the sweep, so `last + 1`
// is formed only for ranges that something follows.
bool runs_build(const tarn_index* index, run_list* runs) {
  const unsigned bits = tarn_addr_bits(index->family);
  struct open_prefix {
    key128 last;
    uint32_t value;
  };
  open_prefix stack[129];
  size_t depth = 0;
  runs->count = 0;
  run_set(runs, key128{0, 0}, kNone);
  auto close_top = [&]() {
    key128 after = stack[depth - 1].last;
    depth--;
    key128_inc(&after, bits);  // below the top: something follows
    run_set(runs, after, depth > 0 ? stack[depth - 1].value : kNone);
  };
  for (size_t k = 0; k < index->prefix_count; k++) {
    if (k > 0 && index_records_equal(index, k, k - 1)) continue;
    const key128 first = index_key(index, k);
    while (depth > 0 && key128_lt(stack[depth - 1].last, first)) close_top();
    if (depth == bits + 1) return false;  // not canonical and distinct
    run_set(runs, first, index->orig_indices[k]);
    stack[depth++] = {key128_last(first, bits, index_pfxlen(index, k)), index->orig_indices[k]};
  }
  // What is still open ends at the top of the space, or closes in order.
  while (depth > 0 && !key128_eq(stack[depth - 1].last, key128_top(bits))) close_top();
  return true;
}

// ---------------------------------------------------------------------------
// Stage 2: the trie.
// ---------------------------------------------------------------------------

struct builder {
  const run_list* runs;
  unsigned bits;
  bool skips;  // IPv6: paths of one subtree take skip records
  uint32_t* words;
  size_t count, cap;
  bool deep;  // some record has a child node
};

// Appends `n` words (n even) and gives their position; false past
// kMaxWords or when memory runs out.
bool words_append(builder* b, size_t n, size_t* at) {
  if (n > kMaxWords - b->count) return false;
  if (b->count + n > b->cap) {
    size_t cap = b->cap < 4096 ? 4096 : b->cap;
    while (cap < b->count + n) cap *= 2;  // below 2^32: no overflow
    void* p = realloc(b->words, cap * sizeof(uint32_t));
    if (p == nullptr) return false;
    b->words = static_cast<uint32_t*>(p);
    b->cap = cap;
  }
  *at = b->count;
  b->count += n;
  return true;
}

// Moves *cursor to the run holding `first` and tells whether the range
// [first, last] lies inside it.
bool range_in_one_run(const run_list* runs, key128 first, key128 last, size_t* cursor) {
  size_t r = *cursor;
  while (r + 1 < runs->count && !key128_lt(first, runs->start[r + 1])) r++;
  *cursor = r;
  return r + 1 == runs->count || key128_lt(last, runs->start[r + 1]);
}

void put64(uint32_t* w, uint64_t v) {
  w[0] = static_cast<uint32_t>(v);
  w[1] = static_cast<uint32_t>(v >> 32);
}

bool node_build(builder* b, key128 first, unsigned d, size_t cursor, uint32_t* out);

// Writes a skip record for the node at depth d over the range [first, last]
// (the run holding `first` is runs[cursor]; the range holds at least one
// run start after `first`) when one is due, and tells in *built whether it
// did.  One is due when the range holds three runs, the first and the last
// answering alike, and the middle one is a block of depth d + m for some m
// from kStride to kSkipMax: a prefix with no neighbour inside its parent's
// block, or in none of the blocks its parent's record resolves.  The first
// address of the middle run (x) and the last before the third (y) then
// share the m bits after d, and x and y are the block's ends.
bool skip_build(builder* b, key128 first, unsigned d, size_t cursor, uint32_t* out, bool* built) {
  const run_list* runs = b->runs;
  const unsigned bits = b->bits;
  const key128 last = key128_last(first, bits, d);
  *built = false;
  size_t r_last = cursor + 1;  // the run holding `last`
  while (r_last + 1 < runs->count && !key128_lt(last, runs->start[r_last + 1])) r_last++;
  if (r_last != cursor + 2 || runs->value[r_last] != runs->value[cursor]) return true;
  const key128 x = runs->start[cursor + 1];
  key128 y = runs->start[r_last];
  key128_dec(&y, bits);                                   // y >= x, as runs->start[r_last] > x
  const unsigned m = key128_common_bits(x, y, bits) - d;  // both lie in [first, last]
  if (m < kStride || m > kSkipMax || !key128_eq(x, key128_network(x, bits, d + m)) ||
      !key128_eq(y, key128_last(x, bits, d + m)))
    return true;
  size_t at;
  if (!words_append(b, kSkipWords, &at)) return false;
  // The m bits after d, at the top; those past d + m are zero in x.
  put64(b->words + at, key128_shl(x, 128 - bits + d).hi | (uint64_t{m} << 2));
  b->words[at + 2] = skip_answer_word(runs->value[cursor + 1]);
  b->words[at + 3] = skip_answer_word(runs->value[cursor]);
  *out = static_cast<uint32_t>(at);
  *built = true;
  return true;
}

// Writes the record of the node at depth d over the range [first, last]
// (the run holding `first` is runs[cursor]; the range holds at least one
// run start after `first`), then its child nodes' after it, and gives the
// record's position.  Child c covers 2^shift addresses from first + c *
// 2^shift; near the end of the address (d + 6 > bits) the children are
// single addresses, spaced 2^pad apart in the child numbering, and the
// children between them continue the leaf run before them.
//
// Only the run starts inside the range are visited: the children between two
// of them lie in one run and make one leaf run; a child holding a run start
// only at its first address is a leaf of the new run; a child holding one
// anywhere else is a node.  A node costs its run starts, not its 64
// children.  Recursion depth is at most (bits - S) / 6 + 1.
bool node_build(builder* b, key128 first, unsigned d, size_t cursor, uint32_t* out) {
  if (b->skips) {
    bool built;
    if (!skip_build(b, first, d, cursor, out, &built)) return false;
    if (built) return true;
  }
  const run_list* runs = b->runs;
  const unsigned bits = b->bits;
  const unsigned end = d + kStride < bits ? d + kStride : bits;  // bits resolved here
  const unsigned pad = d + kStride - end;                        // missing low bits
  const unsigned shift = bits - end;                             // child size, log2
  const key128 last = key128_last(first, bits, d);
  const key128 child_offset_mask = key128_hostmask(128, 128 - shift);
  uint64_t vector = 0, leafvec = 0;
  uint32_t answers[kChildren];
  unsigned answer_count = 0;
  key128 child_first[kChildren];
  size_t child_cursor[kChildren];
  unsigned child_count = 0;
  auto leaf_run = [&](unsigned c, uint32_t answer) {
    if (answer_count > 0 && answers[answer_count - 1] == answer) return;
    leafvec |= uint64_t{1} << c;
    answers[answer_count++] = answer;
  };
  size_t r = cursor;  // the run holding the first unclassified child's start
  unsigned next = 0;  // the first unclassified child
  while (r + 1 < runs->count && !key128_lt(last, runs->start[r + 1])) {
    const key128 offset = key128_sub(runs->start[r + 1], first);
    // offset < 2^(bits - d), so offset >> shift < 64 (2^(end - d)).
    const unsigned c = static_cast<unsigned>(key128_shr(offset, shift).lo) << pad;
    if (next < c) leaf_run(next, runs->value[r]);
    const key128 lo = key128_or(first, key128_shl(key128{0, c >> pad}, shift));
    const key128 hi = key128_last(lo, bits, end);
    const size_t r_lo = key128_is_zero(key128_and(offset, child_offset_mask)) ? r + 1 : r;
    size_t r_hi = r + 1;  // the run holding hi
    while (r_hi + 1 < runs->count && !key128_lt(hi, runs->start[r_hi + 1])) r_hi++;
    if (r_hi == r_lo) {
      leaf_run(c, runs->value[r_hi]);
    } else {
      vector |= uint64_t{1} << c;
      child_first[child_count] = lo;
      child_cursor[child_count] = r_lo;
      child_count++;
    }
    next = c + (1u << pad);
    r = r_hi;
  }
  if (next < kChildren) leaf_run(next, runs->value[r]);

  const size_t size = (kHeaderWords + child_count + answer_count + 1) & ~size_t{1};
  size_t at;
  if (!words_append(b, size, &at)) return false;
  uint32_t* w = b->words + at;
  put64(w, vector);
  put64(w + 2, leafvec);
  memcpy(w + kHeaderWords + child_count, answers, answer_count * sizeof(uint32_t));
  if (((kHeaderWords + child_count + answer_count) & 1) != 0) w[size - 1] = 0;
  *out = static_cast<uint32_t>(at);
  b->deep |= child_count > 0;
  for (unsigned k = 0; k < child_count; k++) {
    uint32_t child;
    if (!node_build(b, child_first[k], end, child_cursor[k], &child)) return false;
    b->words[at + kHeaderWords + k] = child;  // b->words may have moved
  }
  return true;
}

// S: one direct entry per one to four prefixes, in steps of the stride, so
// that walks start at stride boundaries (IPv4 /24 and IPv6 /48 routes then
// end exactly at the end of a node); at most 2^18 entries (1 MiB), except
// for the wide table of large IPv4 tables (kWideDirectMin), where IPv4 /24
// routes end at the direct entry itself.  A table of 2^18 entries earns its
// megabyte only when a good share of them lead into records: when run
// starts fall into fewer than one in 16 of its blocks, the prefixes sit in
// a few corners of the space (IPv6 tables live inside 2000::/3), and 2^12
// entries serve them with one more record, shared by all, on the way.
unsigned direct_bits_for(size_t count, unsigned bits, const run_list* runs) {
  if (bits == 32 && count >= kWideDirectMin) return 24;
  unsigned s = 0;
  while (s + kStride <= 18 && (size_t{1} << (s + kStride)) <= 4 * count) s += kStride;
  if (s == 18) {
    size_t touched = 0;
    uint64_t last = ~uint64_t{0};
    for (size_t r = 1; r < runs->count; r++) {  // runs start in address order
      const uint64_t block = key128_shr(runs->start[r], bits - s).lo;
      touched += block != last;
      last = block;
    }
    if (touched * 16 < (size_t{1} << s)) s -= kStride;
  }
  return s;
}

// Moves the finished words into an allocation of their own size, on huge
// pages where that size earns them (tarn_alloc_huge).
uint32_t* words_settle(builder* b) {
  const size_t bytes = b->count * sizeof(uint32_t);
  if (bytes >= kHugeMin) {
    void* p = tarn_alloc_huge(bytes);
    if (p != nullptr) {
      memcpy(p, b->words, bytes);
      free(b->words);
      b->words = static_cast<uint32_t*>(p);
      return b->words;
    }
  }
  void* q = realloc(b->words, bytes > 0 ? bytes : 1);
  if (q != nullptr) b->words = static_cast<uint32_t*>(q);
  return b->words;
}

bool trie_build(builder* b, tarn_lookup_t* out, unsigned s) {
  out->direct_bits = s;
  const size_t direct_bytes = (size_t{1} << s) * sizeof(uint32_t);
  out->direct = static_cast<uint32_t*>(tarn_alloc_lookup(direct_bytes));
  if (out->direct == nullptr) return false;
  size_t cursor = 0;
  for (uint32_t v = 0; v < (uint32_t{1} << s); v++) {
    // v < 2^s, placed at bit bits - s (8..110 for s > 0).
    const key128 lo = s == 0 ? key128{0, 0} : key128_shl(key128{0, v}, b->bits - s);
    const key128 hi = key128_last(lo, b->bits, s);
    if (range_in_one_run(b->runs, lo, hi, &cursor)) {
      // So is every entry after it that ends before the next run starts:
      // those below the entry holding that start.  A table of 2^24 entries
      // is mostly such stretches.
      const uint32_t leaf = kDirectLeaf | (b->runs->value[cursor] & kDirectAnswerMask);
      uint32_t end = v + 1;
      if (s > 0) {
        end = uint32_t{1} << s;
        if (cursor + 1 < b->runs->count)
          end = static_cast<uint32_t>(key128_shr(b->runs->start[cursor + 1], b->bits - s).lo);
      }
      for (; v + 1 < end; v++) out->direct[v] = leaf;
      out->direct[v] = leaf;
    } else if (!node_build(b, lo, s, cursor, &out->direct[v])) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Lookup.
// ---------------------------------------------------------------------------

inline uint64_t get64(const uint32_t* w) {
  return static_cast<uint64_t>(w[0]) | (static_cast<uint64_t>(w[1]) << 32);
}

// One step of a walk, from the record at w: `ahead` holds the address bits
// from the record's depth on, at the top.  Gives whether the walk goes on
// (node) and to which record (next), and the answer it ends with
// otherwise.  Free of branches on the data: a node record's step reads both
// the word the walk would take next and the answer the address would get if
// the child were a leaf, and both reads stay inside the record (with no
// child node at or before c the first lands in the header; for a child node
// the second lands among the child words).  Where skip records may occur
// (kSkips), their maps read as empty, so that those reads land in their
// header and the walk ends there, and the step also works out the skip
// record's answer and keeps the one the record's kind picks.
struct step_out {
  uint32_t next;
  uint32_t node;
  tarn_ssize_t answer;
};

template <bool kSkips>
__attribute__((always_inline)) inline step_out step(const uint32_t* w, uint64_t ahead) {
  const uint64_t head = get64(w);
  uint64_t vector = head, leafvec = get64(w + 2);
  const unsigned c = static_cast<unsigned>(ahead >> (64 - kStride));
  const uint64_t through = bits_through(c);
  bool skip = false;
  if constexpr (kSkips) {
    skip = ((w[0] | w[2]) & 1) == 0;
    const uint64_t keep = uint64_t{skip} - 1;  // all ones for a node record
    vector &= keep;
    leafvec &= keep;
  }
  const uint32_t child = w[kHeaderWords - 1 + std::popcount(vector & through)];
  size_t at = kHeaderWords - 1 + static_cast<size_t>(std::popcount(vector)) +
              static_cast<size_t>(std::popcount(leafvec & through));
  const uint32_t node = static_cast<uint32_t>(vector >> c) & 1;
  if constexpr (!kSkips) {
    return {child, node, leaf_answer(w[at])};
  } else {
    // The m bits after the record's depth against the record's (m <= 56
    // leaves the count out of the comparison; (v >> 1) >> (63 - m) is
    // v >> (64 - m) without a shift by 64 for a node record's m of 0), and
    // the answer on the path (word 2) or off it (word 3).
    const unsigned m = static_cast<unsigned>(head >> 2) & 63;
    const size_t off = (((ahead ^ head) >> 1) >> (63 - m)) != 0;
    at = skip ? 2 + off : at;
    const uint32_t a = w[at];
    return {child, node, skip ? skip_answer(a) : leaf_answer(a)};
  }
}

// The answer of IPv4 key k, whose direct entry is e, in a flat structure
// (see tarn_lookup_t): a leaf entry's own, else that of the one record's
// leaf child, with no child node to count (vector is zero).  A leaf entry
// reads record 0 as well and drops what it reads, so nothing branches on
// the entry: a walk that branched on it would make the processor wait for
// the entry's miss at every wrong guess.
template <typename F>
__attribute__((always_inline)) inline tarn_ssize_t flat_answer(const uint32_t* words, uint32_t e,
                                                               typename F::key k, unsigned s) {
  const uint32_t node = e >> 31 ^ 1;
  const uint32_t* w = words + (e & (0u - node));
  const unsigned c = static_cast<unsigned>(F::ahead(k, s) >> (64 - kStride));
  const tarn_ssize_t leaf =
      leaf_answer(w[kHeaderWords - 1 + std::popcount(get64(w + 2) & bits_through(c))]);
  // All ones for a leaf entry: a mask, not a conditional, which the
  // compiler would turn back into the branch.
  const tarn_ssize_t direct = -static_cast<tarn_ssize_t>(node ^ 1);
  return (leaf & ~direct) | (direct_answer(e) & direct);
}

// One address.  The first step after the direct table is taken whether or
// not the entry is a leaf (a leaf's walk reads the record at position 0 and
// keeps the direct answer), so the one branch left follows the depth of the
// walk, which is the same for most addresses of a table, and not the kind of
// direct entry, which is not.
template <typename F>
__attribute__((always_inline)) inline tarn_ssize_t walk_one(const tarn_lookup_t* t,
                                                            typename F::key k) {
  const unsigned s = t->direct_bits;
  const uint32_t e = t->direct[F::top(k, s)];
  if (t->word_count == 0) return direct_answer(e);  // every entry is a leaf
  if constexpr (F::kShallow)
    if (t->flat) return flat_answer<F>(t->words, e, k, s);
  tarn_ssize_t result = direct_answer(e);
  uint32_t node = e >> 31 ^ 1;
  uint32_t at = e & (0u - node);
  for (unsigned d = s;; d += kStride) {
    const step_out o = step<F::kSkips>(t->words + at, F::ahead(k, d));
    result = node ? o.answer : result;
    node &= o.node;
    if (!node) return result;
    at = o.next;
  }
}

// Where a batch's addresses come from: the caller's records, or addresses
// packed as network-order bytes, F::kBytes each, back to back.
template <typename F>
struct from_records {
  const tarn_addr_t* a;
  typename F::key operator()(size_t i) const { return F::load(a[i].addr.v6); }
};
template <typename F>
struct from_prefixes {
  const tarn_prefix_t* p;
  typename F::key operator()(size_t i) const { return F::load(p[i].addr.addr.v6); }
};
template <typename F>
struct from_packed {
  const uint8_t* p;
  typename F::key operator()(size_t i) const { return F::load(p + i * F::kBytes); }
};

// Lanes per group: enough walks in flight to hide a miss to the outer
// caches behind the work of the others.
constexpr unsigned kLanes = 32;

// A group of kLanes addresses passes three stages, each a loop over its
// lanes:
//   load   reads the addresses and prefetches their direct entries;
//   enter  reads the direct entries, stores the direct answers, and
//          prefetches the first record of every lane that goes on;
//   walk   steps the lanes still in a record, level by level, each pass
//          reading what the one before prefetched and prefetching the next.
// The walk is free of branches on the data, which a full table makes
// unpredictable: every step (see step) stores the answer the address would
// get if the step ended its walk, and keeps the child; a lane that met a
// leaf leaves the walking mask, so its stored answer stands.  Only the loops
// over the walking lanes branch, once per pass.
// Prefetches for the next stage of the same group go to the first-level
// cache; those read a group's work later go to the second (locality 1,
// prefetcht2 on x86).  The first level tracks few outstanding misses, and
// prefetches past them wait: a 64 MiB direct table prefetched into it two
// groups ahead ran no faster than one group ahead, and into the second
// level it ran twice as fast (4M IPv4 prefixes, 13.3 -> 6.4 ns).
constexpr int kNear = 3;
constexpr int kFar = 1;

template <typename F>
struct group_state {
  typename F::key key[kLanes];
  uint32_t at[kLanes];  // direct position, then record position
  uint32_t walking;     // lanes still in a record
};

template <int kLocality, typename F, typename Src>
__attribute__((always_inline)) inline void group_load(const tarn_lookup_t* t, Src src, size_t base,
                                                      group_state<F>* g) {
  const unsigned s = t->direct_bits;
  for (unsigned l = 0; l < kLanes; l++) {
    g->key[l] = src(base + l);
    g->at[l] = F::top(g->key[l], s);
    __builtin_prefetch(&t->direct[g->at[l]], 0, kLocality);
  }
}

// `words` is never null (see walk_batch): a leaf lane parks at position 0
// and its prefetches still form an address from it.
template <int kLocality, typename F>
__attribute__((always_inline)) inline void group_enter(const tarn_lookup_t* t,
                                                       const uint32_t* words, group_state<F>* g,
                                                       tarn_ssize_t* matches) {
  uint32_t walking = 0;
  for (unsigned l = 0; l < kLanes; l++) {
    const uint32_t e = t->direct[g->at[l]];
    const uint32_t node = e >> 31 ^ 1;
    matches[l] = direct_answer(e);
    g->at[l] = e & (0u - node);
    walking |= node << l;
    __builtin_prefetch(words + g->at[l], 0, kLocality);
    __builtin_prefetch(words + g->at[l] + 15, 0, kLocality);
  }
  g->walking = walking;
}

template <typename F>
__attribute__((always_inline)) inline void group_walk(const tarn_lookup_t* t, const uint32_t* words,
                                                      group_state<F>* g, tarn_ssize_t* matches) {
  uint32_t walking = g->walking;
  for (unsigned d = t->direct_bits; walking != 0; d += kStride) {
    for (uint32_t m = walking; m != 0; m &= m - 1) {
      const unsigned l = static_cast<unsigned>(std::countr_zero(m));
      const step_out o = step<F::kSkips>(words + g->at[l], F::ahead(g->key[l], d));
      matches[l] = o.answer;
      g->at[l] = o.next & (0u - o.node);
      __builtin_prefetch(words + g->at[l]);
      __builtin_prefetch(words + g->at[l] + 15);
      walking &= ~((o.node ^ 1) << l);
    }
  }
}

// The groups of a batch, one after the other: while a group walks, the
// direct entries of the group kAhead after it are on their way, into the
// cache level kLocality names.
template <unsigned kAhead, int kLocality, typename F, typename Src>
__attribute__((always_inline)) inline void walk_groups(const tarn_lookup_t* t,
                                                       const uint32_t* words, Src src,
                                                       size_t groups, tarn_ssize_t* matches) {
  const unsigned s = t->direct_bits;
  for (size_t g = 0; g < groups; g++) {
    if (g + kAhead < groups)
      for (unsigned l = 0; l < kLanes; l++)
        __builtin_prefetch(&t->direct[F::top(src((g + kAhead) * kLanes + l), s)], 0, kLocality);
    group_state<F> state;
    group_load<kNear>(t, src, g * kLanes, &state);
    group_enter<kNear>(t, words, &state, matches + g * kLanes);
    group_walk<F>(t, words, &state, matches + g * kLanes);
  }
}

// A flat structure's groups need no walk: a group's lanes read their one
// record, or record 0 for a leaf entry, and are done (flat_answer), so no
// loop runs over the lanes still walking and nothing branches on the data.
// Half the instructions of the walk per address: 1.04M IPv4 prefixes,
// packed, 4.5 against 8.3 ns inside the table, 5.6 against 7.6 ns
// uniformly drawn.  Entering keeps the direct entry in `at`.
template <int kLocality, typename F>
__attribute__((always_inline)) inline void group_enter_flat(const tarn_lookup_t* t,
                                                            const uint32_t* words,
                                                            group_state<F>* g) {
  for (unsigned l = 0; l < kLanes; l++) {
    const uint32_t e = t->direct[g->at[l]];
    g->at[l] = e;
    const uint32_t* w = words + (e & (0u - (e >> 31 ^ 1)));
    __builtin_prefetch(w, 0, kLocality);
    __builtin_prefetch(w + 15, 0, kLocality);
  }
}

template <typename F>
__attribute__((always_inline)) inline void group_answer_flat(const tarn_lookup_t* t,
                                                             const uint32_t* words,
                                                             const group_state<F>* g,
                                                             tarn_ssize_t* matches) {
  for (unsigned l = 0; l < kLanes; l++)
    matches[l] = flat_answer<F>(words, g->at[l], g->key[l], t->direct_bits);
}

// The stages of a pipelined group that differ for a flat structure.
template <int kLocality, bool kFlat, typename F>
__attribute__((always_inline)) inline void group_enter_any(const tarn_lookup_t* t,
                                                           const uint32_t* words, group_state<F>* g,
                                                           tarn_ssize_t* matches) {
  if constexpr (kFlat)
    group_enter_flat<kLocality>(t, words, g);
  else
    group_enter<kLocality>(t, words, g, matches);
}
template <bool kFlat, typename F>
__attribute__((always_inline)) inline void group_finish(const tarn_lookup_t* t,
                                                        const uint32_t* words, group_state<F>* g,
                                                        tarn_ssize_t* matches) {
  if constexpr (kFlat)
    group_answer_flat<F>(t, words, g, matches);
  else
    group_walk<F>(t, words, g, matches);
}

// The groups of a batch in a pipeline: while group g walks (or, flat,
// takes its answers), group g + 1 enters and group g + 2 loads, so that a
// group's first records, and its direct entries before them, are
// prefetched a group's work before they are read.  Three groups are in
// flight, in states used in turn.
template <int kLocality, bool kFlat, typename F, typename Src>
__attribute__((always_inline)) inline void walk_groups_pipelined(const tarn_lookup_t* t,
                                                                 const uint32_t* words, Src src,
                                                                 size_t groups,
                                                                 tarn_ssize_t* matches) {
  group_state<F> ring[3];
  if (groups > 0) group_load<kLocality>(t, src, 0, &ring[0]);
  if (groups > 1) group_load<kLocality>(t, src, kLanes, &ring[1]);
  if (groups > 0) group_enter_any<kLocality, kFlat>(t, words, &ring[0], matches);
  for (size_t g = 0; g < groups; g++) {
    if (g + 2 < groups) group_load<kLocality>(t, src, (g + 2) * kLanes, &ring[(g + 2) % 3]);
    if (g + 1 < groups)
      group_enter_any<kLocality, kFlat>(t, words, &ring[(g + 1) % 3], matches + (g + 1) * kLanes);
    group_finish<kFlat>(t, words, &ring[g % 3], matches + g * kLanes);
  }
}

// A group waits at each stage for the misses prefetched at the stage
// before, and how far ahead to prefetch depends on where the arrays live.
// Up to kFarMin bytes they mostly stay in cache: the next group's direct
// entries are prefetched while a group walks, and a group's first records
// as it enters.  Larger arrays miss to memory wherever the last-level cache
// a process gets is smaller (a 4-8 MiB share of 32 MiB on a host measured),
// and the prefetches go further ahead, into the second level:
//   - A shallow IPv4 walk's time is its one record, 12 MiB of them for 1.04M
//     prefixes: the pipeline prefetches them a group ahead (0.43-0.65 of
//     the time, uniform and inside).
//   - A wide direct table (64 MiB) misses on nearly every entry, and a group
//     whose lanes mostly end there is short work: its entries are asked for
//     two groups ahead (4M prefixes: 0.48-0.54 of the time).
//   - Deep IPv6 walks ran 4-14% slower in the pipeline and take the groups
//     one after the other.
// Tables that stay in cache ran 4-30% slower with the far prefetches (100k
// IPv4 prefixes, 2.2 MiB of arrays), hence the threshold (kFarMin).

template <typename F, typename Src>
__attribute__((always_inline)) inline void walk_batch(const tarn_lookup_t* t, Src src, size_t count,
                                                      tarn_ssize_t* matches) {
  // A table answered by the direct table alone has no records (its word
  // array may be a placeholder allocation), and the leaf lanes of a flat
  // walk read record 0.
  static const uint32_t kNoRecords[16] = {};
  const uint32_t* words = t->word_count > 0 ? t->words : kNoRecords;
  const size_t groups = count / kLanes;
  const size_t bytes = ((size_t{1} << t->direct_bits) + t->word_count) * sizeof(uint32_t);
  // A structure without records (a wide direct table over routes no
  // longer than /24) is flat too, but its lanes end at the direct entry in
  // any walk, and the plain groups ask for the entries of large tables two
  // groups ahead.
  const bool flat = F::kShallow && t->flat && t->word_count > 0;
  if (flat && bytes < kFarMin)
    walk_groups_pipelined<kNear, true, F>(t, words, src, groups, matches);
  else if (flat)
    walk_groups_pipelined<kFar, true, F>(t, words, src, groups, matches);
  else if (bytes < kFarMin)
    walk_groups<1, kNear, F>(t, words, src, groups, matches);
  else if (F::kShallow && t->direct_bits < kMaxDirectBits)
    walk_groups_pipelined<kFar, false, F>(t, words, src, groups, matches);
  else
    walk_groups<2, kFar, F>(t, words, src, groups, matches);
  // The tail, and batches too small to fill a group, walk one at a time.
  for (size_t i = groups * kLanes; i < count; i++) matches[i] = walk_one<F>(t, src(i));
}

// The two builds of every walk: with the popcount and BMI2 instructions
// where the processor has them (5-10% less time for deep IPv6 walks,
// batched or one at a time, than with popcount alone), and portable code;
// `batch` and `one` take the build for the running processor.
template <typename F, typename Src>
void batch_plain(const tarn_lookup_t* t, Src src, size_t count, tarn_ssize_t* matches) {
  walk_batch<F>(t, src, count, matches);
}
// Out of line, like the popcount build, and storing the answer itself, so
// that every call from tarn_index_get down to the walk is a jump: a caller
// looking up one address per call keeps more of its calls in flight when
// each costs fewer instructions (without the stack frames and the store on
// the way back, single lookups ran 2-3% faster on a 1M-prefix IPv4 table and
// 8% on a 250k-prefix IPv6 one).
template <typename F>
__attribute__((noinline)) tarn_err_t one_plain(const tarn_lookup_t* t, const uint8_t* addr,
                                               tarn_ssize_t* match) {
  *match = walk_one<F>(t, F::load(addr));
  return TARN_OK;
}
#if defined(__x86_64__) || defined(__i386__)
#define TARN_HAVE_FAST_BUILD 1
template <typename F, typename Src>
__attribute__((target("popcnt,bmi,bmi2"))) void batch_fast(const tarn_lookup_t* t, Src src,
                                                           size_t count, tarn_ssize_t* matches) {
  walk_batch<F>(t, src, count, matches);
}
template <typename F>
__attribute__((target("popcnt,bmi,bmi2"), noinline)) tarn_err_t one_fast(const tarn_lookup_t* t,
                                                                         const uint8_t* addr,
                                                                         tarn_ssize_t* match) {
  *match = walk_one<F>(t, F::load(addr));
  return TARN_OK;
}
inline bool have_fast() {
  return __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi2");
}
#else
#define TARN_HAVE_FAST_BUILD 0
#endif

template <typename F, typename Src>
void batch(const tarn_lookup_t* t, Src src, size_t count, tarn_ssize_t* matches) {
#if TARN_HAVE_FAST_BUILD
  if (have_fast()) return batch_fast<F>(t, src, count, matches);
#endif
  batch_plain<F>(t, src, count, matches);
}
template <typename F>
tarn_err_t one(const tarn_lookup_t* t, const uint8_t* addr, tarn_ssize_t* match) {
#if TARN_HAVE_FAST_BUILD
  if (have_fast()) return one_fast<F>(t, addr, match);
#endif
  return one_plain<F>(t, addr, match);
}

// ---------------------------------------------------------------------------
// Validation.
//
// One pass over the direct table, then one over the records in position
// order.  `depth_of` (word_count + 1 bytes) holds for each word the depth
// at which a pointer reached it, or kUnreached; its last byte is where the
// marks of leaves and of refused pointers go, so that the direct table is
// checked without a branch per entry.  Child pointers only go forward, past
// the end of the record holding them, so a record's depth is known (from
// its direct entry or its parent) when the pass reaches it, and a record
// not reached by then is reached by nothing.  No word is marked twice, and
// every record start must be marked; so when the marks number exactly the
// records, no pointer aims into the middle of a record (it would be a mark
// that starts none).  The checks are gathered into one flag and looked at
// once at the end, except those that bound a later read.
// ---------------------------------------------------------------------------

constexpr uint8_t kUnreached = 0xFF;

// Whether any of the n (1..64) answers at a is neither a position below
// count32 nor NONE: a + 1 > count32, in 32 bits.  room: readable words from
// a.  A record's answers number 8 on average and vary from record to
// record, so a loop of one step per answer mispredicts its exit about once
// per record (a quarter of a million times for 1M IPv4 prefixes); 16 words
// per step, the lanes past n masked off, mostly take one step.  Reading
// past the answers stays inside `words`: room is at least 64 words, or the
// plain loop runs.
inline uint32_t answers_bad(const uint32_t* a, size_t n, size_t room, uint32_t count32) {
#if TARN_LOOKUP_SSE2
  if (room >= 64) {
    // Unsigned a + 1 > count32 as a signed compare of both less 2^31.
    const __m128i bias = _mm_set1_epi32(INT32_MIN);
    const __m128i limit = _mm_set1_epi32(static_cast<int>(count32 ^ 0x80000000u));
    const __m128i one = _mm_set1_epi32(1);
    const __m128i lane = _mm_setr_epi32(0, 1, 2, 3);
    __m128i over = _mm_setzero_si128();
    for (size_t k = 0; k < n; k += 16) {
      const __m128i left = _mm_set1_epi32(static_cast<int>(n - k));  // 1..64
      for (size_t j = 0; j < 16; j += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k + j));
        const __m128i above = _mm_cmpgt_epi32(_mm_xor_si128(_mm_add_epi32(v, one), bias), limit);
        const __m128i live =
            _mm_cmpgt_epi32(left, _mm_add_epi32(lane, _mm_set1_epi32(static_cast<int>(j))));
        over = _mm_or_si128(over, _mm_and_si128(above, live));
      }
    }
    return static_cast<uint32_t>(_mm_movemask_epi8(over));
  }
#else
  (void)room;
#endif
  uint32_t bad = 0;
  for (size_t k = 0; k < n; k++) bad |= a[k] + 1 > count32;
  return bad;
}

// The body of tarn_lookup_validate, compiled with and without the popcount
// and BMI2 instructions (see structure_valid_fast).
__attribute__((always_inline)) inline bool structure_valid_body(const tarn_index* index,
                                                                uint8_t* depth_of, bool* deep) {
  const tarn_lookup_t* t = &index->lookup;
  const size_t words = t->word_count;
  const unsigned bits = tarn_addr_bits(index->family);
  // prefix_count <= kMaxCount < 2^31, so a + 1 <= prefix_count, in 32 bits,
  // holds exactly for the positions below it and for NONE (which wraps to
  // 0).
  const uint32_t count32 = static_cast<uint32_t>(index->prefix_count);
  const uint8_t s = static_cast<uint8_t>(t->direct_bits);
  // Only the IPv6 walk knows skip records; in an IPv4 structure their
  // marker fails the run-start check below.
  const bool skips = index->family == TARN_AF_INET6;
  uint32_t bad = 0;
  size_t marks = 0, records = 0;
  for (size_t v = 0; v < (size_t{1} << t->direct_bits); v++) {
    const uint32_t e = t->direct[v];
    const uint32_t leaf = e >> 31, a = e & kDirectAnswerMask;
    // A leaf's answer: NONE (all 31 bits set) or a position.
    bad |= leaf & (a != kDirectAnswerMask) & (a >= count32);
    // A node's record: an even position inside `words`, not reached before.
    const uint32_t aimed = (leaf ^ 1) & (e < words) & ((e & 1) == 0);
    const size_t at = aimed ? e : words;
    const uint8_t old = depth_of[at];
    bad |= (leaf ^ 1) & ((aimed ^ 1) | (old != kUnreached));
    depth_of[at] = leaf ? old : s;
    marks += leaf ^ 1;
  }
  for (size_t at = 0; at < words;) {
    const unsigned d = depth_of[at];
    if (words - at < kHeaderWords) return false;
    const uint32_t* w = t->words + at;
    const uint64_t vector = get64(w), leafvec = get64(w + 2);
    if (skips && ((w[0] | w[2]) & 1) == 0) {
      // A skip record: 6..56 bits, none past the address, no bit set below
      // them but their count, and two answers.
      const unsigned m = static_cast<unsigned>(vector >> 2) & 63;
      const uint64_t below = (~uint64_t{0} >> m) & ~uint64_t{0xFC};
      bad |= (d == kUnreached) | (m < kStride) | (m > kSkipMax) | (d + m > bits) |
             ((vector & below) != 0) | (w[2] != 0 && (w[2] >> 1) - 1 >= count32) |
             ((w[3] & 1) != 0) | (w[3] != 0 && (w[3] >> 1) - 1 >= count32);
      const size_t end = at + kSkipWords;
      records++;
      at = end;
      continue;
    }
    const size_t kids = static_cast<size_t>(std::popcount(vector));
    const size_t answers = static_cast<size_t>(std::popcount(leafvec));
    const size_t size = (kHeaderWords + kids + answers + 1) & ~size_t{1};
    if (size > words - at) return false;
    // The lowest leaf child (the lowest bit clear in vector) must start a
    // run; with no leaf child, lowest is 0 and so is the test.
    const uint64_t lowest = ~vector & (vector + 1);
    bad |= (d == kUnreached) | ((vector & leafvec) != 0) | ((leafvec & lowest) != lowest) |
           ((kids > 0) & (d + kStride >= bits));
    const size_t end = at + size;
    for (size_t k = 0; k < kids; k++) {
      const uint32_t child = w[kHeaderWords + k];
      // Forward, past this record, inside `words`, even, not reached before.
      if (child < end || child >= words || (child & 1) != 0 || depth_of[child] != kUnreached)
        return false;
      depth_of[child] = static_cast<uint8_t>(d + kStride);
    }
    marks += kids;
    *deep |= kids > 0;
    if (answers > 0)
      bad |=
          answers_bad(w + kHeaderWords + kids, answers, words - at - kHeaderWords - kids, count32);
    records++;
    at = end;
  }
  return bad == 0 && marks == records;
}

#if TARN_HAVE_FAST_BUILD
__attribute__((target("popcnt,bmi,bmi2"))) bool structure_valid_fast(const tarn_index* index,
                                                                     uint8_t* depth_of,
                                                                     bool* deep) {
  return structure_valid_body(index, depth_of, deep);
}
#endif
bool structure_valid_plain(const tarn_index* index, uint8_t* depth_of, bool* deep) {
  return structure_valid_body(index, depth_of, deep);
}

}  // namespace

void* tarn_alloc_huge(size_t bytes) {
  void* p = nullptr;
#if defined(MADV_HUGEPAGE)
  const size_t rounded = (bytes + kHugeMin - 1) / kHugeMin * kHugeMin;
  if (posix_memalign(&p, kHugeMin, rounded) != 0) return nullptr;
  madvise(p, rounded, MADV_HUGEPAGE);
#else
  (void)bytes;
#endif
  return p;
}

void* tarn_alloc_lookup(size_t bytes) {
  void* huge = bytes >= kHugeMin ? tarn_alloc_huge(bytes) : nullptr;
  return huge != nullptr ? huge : malloc(bytes);
}

tarn_err_t tarn_lookup_build(tarn_index* index) {
  if (index->prefix_count > kMaxCount) return TARN_OK;  // the LC-trie answers
  run_list runs;
  // At most two runs per distinct prefix, plus the first.
  const size_t max_runs = 2 * index->prefix_count + 1;
  runs.start = static_cast<key128*>(malloc(max_runs * sizeof *runs.start));
  runs.value = static_cast<uint32_t*>(malloc(max_runs * sizeof *runs.value));
  tarn_err_t err = TARN_ERR_NOMEM;
  builder b{&runs, tarn_addr_bits(index->family), index->family == TARN_AF_INET6, nullptr, 0, 0,
            false};
  if (runs.start == nullptr || runs.value == nullptr) goto done;
  if (!runs_build(index, &runs)) {
    err = TARN_ERR_INVAL;
    goto done;
  }
  if (!trie_build(&b, &index->lookup, direct_bits_for(index->prefix_count, b.bits, &runs)))
    goto done;
  index->lookup.words = words_settle(&b);
  index->lookup.word_count = b.count;
  index->lookup.flat = index->family == TARN_AF_INET && !b.deep;
  b.words = nullptr;
  err = TARN_OK;

done:
  free(runs.start);
  free(runs.value);
  free(b.words);
  if (err != TARN_OK) tarn_lookup_release(index);
  return err;
}

void tarn_lookup_release(tarn_index* index) {
  free(index->lookup.direct);
  free(index->lookup.words);
  index->lookup = tarn_lookup_t{};
}

// Validates in two passes, over the direct table and over the records
// (see structure_valid_body).  Work: 2^direct_bits + word_count steps and
// one byte per word.
tarn_err_t tarn_lookup_validate(const tarn_index* index, bool* flat) {
  const tarn_lookup_t* t = &index->lookup;
  if (flat != nullptr) *flat = false;
  if (t->direct == nullptr)
    return t->words == nullptr && t->word_count == 0 && t->direct_bits == 0 ? TARN_OK
                                                                            : TARN_ERR_INVAL;
  if (t->direct_bits > kMaxDirectBits || t->word_count > kMaxWords ||
      index->prefix_count > kMaxCount || (t->word_count > 0 && t->words == nullptr))
    return TARN_ERR_INVAL;
  uint8_t* depth_of = static_cast<uint8_t*>(malloc(t->word_count + 1));
  if (depth_of == nullptr) return TARN_ERR_NOMEM;
  memset(depth_of, kUnreached, t->word_count + 1);
  bool deep = false;
#if TARN_HAVE_FAST_BUILD
  const bool valid = have_fast() ? structure_valid_fast(index, depth_of, &deep)
                                 : structure_valid_plain(index, depth_of, &deep);
#else
  const bool valid = structure_valid_plain(index, depth_of, &deep);
#endif
  free(depth_of);
  if (!valid) return TARN_ERR_INVAL;
  if (flat != nullptr) *flat = index->family == TARN_AF_INET && !deep;
  return TARN_OK;
}

void tarn_lookup_batch(const tarn_index* index, const tarn_addr_t* addrs, size_t count,
                       tarn_ssize_t* matches, tarn_err_t* errs) {
  const tarn_lookup_t* t = &index->lookup;
  if (index->family == TARN_AF_INET)
    batch<family_v4>(t, from_records<family_v4>{addrs}, count, matches);
  else
    batch<family_v6>(t, from_records<family_v6>{addrs}, count, matches);
  if (errs != nullptr)
    for (size_t i = 0; i < count; i++) errs[i] = TARN_OK;
}

void tarn_lookup_prefixes(const tarn_index* index, const tarn_prefix_t* prefixes, size_t count,
                          tarn_ssize_t* matches) {
  const tarn_lookup_t* t = &index->lookup;
  if (index->family == TARN_AF_INET)
    batch<family_v4>(t, from_prefixes<family_v4>{prefixes}, count, matches);
  else
    batch<family_v6>(t, from_prefixes<family_v6>{prefixes}, count, matches);
}

void tarn_lookup_packed(const tarn_index* index, const uint8_t* packed, size_t count,
                        tarn_ssize_t* matches) {
  const tarn_lookup_t* t = &index->lookup;
  if (index->family == TARN_AF_INET)
    batch<family_v4>(t, from_packed<family_v4>{packed}, count, matches);
  else
    batch<family_v6>(t, from_packed<family_v6>{packed}, count, matches);
}

tarn_err_t tarn_lookup_one(const tarn_index* index, const tarn_addr_t* addr, tarn_ssize_t* match) {
  const tarn_lookup_t* t = &index->lookup;
  return index->family == TARN_AF_INET ? one<family_v4>(t, addr->addr.v4, match)
                                       : one<family_v6>(t, addr->addr.v6, match);
}
