/*
 * pytarn.h - the C interface of the pytarn core.
 *
 * IPv4/IPv6 addresses and prefixes as plain records: parsing and canonical
 * printing, prefix arithmetic, special-purpose classification, batch sort,
 * containment and aggregation, and a longest-prefix-match index.
 *
 * Conventions shared by every function:
 *  - Every function returns a tarn_err_t and writes results through
 *    out-parameters.  Arguments are checked in a fixed order before anything
 *    is written: null pointers, then TARN_AF_UNSPEC records, then family
 *    mismatches, then value ranges.  On failure the out-parameters keep their
 *    old contents, except where a function says what it writes despite an
 *    error (the address parser, the batch parser, batch containment).
 *  - Where only the address length matters, TARN_AF_INET means 4 bytes (32
 *    bits) and every other non-zero family is handled as IPv6 (16 bytes).
 *  - For an IPv4 record only the first 4 bytes of the address union are
 *    significant; the other 12 are never written by a parser and never read.
 *  - The core keeps no global mutable state, allocates only in
 *    tarn_index_create and prints nothing; calls on distinct data may run on
 *    distinct threads, and any number of lookups may share one built index.
 *
 * This header is plain C (C99 or later) and usable from C++.
 */
#ifndef PYTARN_H
#define PYTARN_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h> /* ssize_t */

#if defined(TARN_BUILDING_CORE)
#define TARN_EXPORT __attribute__((visibility("default")))
#else
#define TARN_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Shared types and constants                                               */
/* ------------------------------------------------------------------------ */

/*
 * Address family: the IP version number, not the operating system's socket
 * constant.  A plain 32-bit integer rather than an enum: while a sort or an
 * index build runs, the family field of a record carries a 32-bit order tag,
 * a value no enum could legally hold.
 */
typedef uint32_t tarn_family_t;
#define TARN_AF_UNSPEC ((tarn_family_t)0)
#define TARN_AF_INET ((tarn_family_t)4)
#define TARN_AF_INET6 ((tarn_family_t)6)

/* Result code of every core function. */
typedef int32_t tarn_err_t;
#define TARN_OK ((tarn_err_t)0)
/* null pointer, TARN_AF_UNSPEC record, invalid argument, buffer too small */
#define TARN_ERR_INVAL ((tarn_err_t)1)
#define TARN_ERR_PARSE ((tarn_err_t)2)    /* text outside the grammar */
#define TARN_ERR_PFXLEN ((tarn_err_t)3)   /* prefix length malformed or too large */
#define TARN_ERR_HOSTBITS ((tarn_err_t)4) /* bits set after the prefix length */
#define TARN_ERR_NOMEM ((tarn_err_t)5)    /* an allocation failed */
#define TARN_ERR_FAMILY ((tarn_err_t)6)   /* families differ, or wrong family */
#define TARN_ERR_OVERFLOW ((tarn_err_t)7) /* only: the supernet of a /0 */
#define TARN_ERR_DONE ((tarn_err_t)8)     /* only: the subnet iterator is exhausted */

/*
 * Special-purpose class bitmask (tarn_addr_classify).  TARN_CLASS_GLOBAL is
 * only ever returned alone: it means no special-purpose block matched.
 */
typedef uint32_t tarn_class_t;
#define TARN_CLASS_GLOBAL ((tarn_class_t)0x1)
#define TARN_CLASS_THIS_HOST ((tarn_class_t)0x2)
#define TARN_CLASS_PRIVATE ((tarn_class_t)0x4)
#define TARN_CLASS_SHARED ((tarn_class_t)0x8)
#define TARN_CLASS_LOOPBACK ((tarn_class_t)0x10)
#define TARN_CLASS_LINK_LOCAL ((tarn_class_t)0x20)
#define TARN_CLASS_IETF_RESERVED ((tarn_class_t)0x40)
#define TARN_CLASS_DOCUMENTATION ((tarn_class_t)0x80)
#define TARN_CLASS_6TO4_RELAY ((tarn_class_t)0x100)
#define TARN_CLASS_BENCHMARKING ((tarn_class_t)0x200)
#define TARN_CLASS_RESERVED ((tarn_class_t)0x400)
#define TARN_CLASS_BROADCAST ((tarn_class_t)0x800)
#define TARN_CLASS_UNSPECIFIED ((tarn_class_t)0x1000)
#define TARN_CLASS_V4MAPPED ((tarn_class_t)0x2000)
#define TARN_CLASS_V4TRANSLATED ((tarn_class_t)0x4000)
#define TARN_CLASS_DISCARD ((tarn_class_t)0x8000)
#define TARN_CLASS_UNIQUE_LOCAL ((tarn_class_t)0x10000)
#define TARN_CLASS_MULTICAST ((tarn_class_t)0x20000)
#define TARN_CLASS_ANYCAST ((tarn_class_t)0x40000)
#define TARN_CLASS_TEREDO ((tarn_class_t)0x80000)
#define TARN_CLASS_6TO4 ((tarn_class_t)0x100000)
#define TARN_CLASS_ORCHID ((tarn_class_t)0x200000)
#define TARN_CLASS_SRV6 ((tarn_class_t)0x400000)

/* The registry state (YYYYMMDD) that the classification table reflects. */
#define TARN_IANA_SNAPSHOT 20251009

/*
 * Sort orders (tarn_bulk_sort).  An integer, not an enum: callers may pass
 * any value, and everything but these two is rejected.
 */
typedef uint32_t tarn_sort_order_t;
/* address ascending, then length ascending (a supernet before its subnets) */
#define TARN_SORT_NETWORK_ASC ((tarn_sort_order_t)0)
/* length descending, then address ascending; stable for equal records */
#define TARN_SORT_PFXLEN_DESC ((tarn_sort_order_t)1)

/* Minimum text buffer sizes, including the terminating NUL. */
#define TARN_ADDR_STRLEN 46   /* tarn_addr_format */
#define TARN_PREFIX_STRLEN 50 /* tarn_prefix_format */

/*
 * One address.  `family` is TARN_AF_INET or TARN_AF_INET6 (TARN_AF_UNSPEC
 * after a failed parse); `addr` holds the address in network byte order, so
 * an unsigned byte comparison from byte 0 is the numeric order.
 */
typedef struct tarn_addr {
  tarn_family_t family;
  union {
    uint8_t v4[4];
    uint8_t v6[16];
  } addr;
} tarn_addr_t;

/*
 * One prefix: an address and a length of 0..32 (IPv4) or 0..128 (IPv6).  A
 * prefix is canonical when every address bit after the first `pfxlen` bits is
 * clear; every prefix the core produces from canonical input is.
 */
typedef struct tarn_prefix {
  tarn_addr_t addr;
  uint8_t pfxlen;
} tarn_prefix_t;

/*
 * Subnet iterator, owned by the caller.  It holds no pointers: it may be
 * copied or moved freely between calls and needs no destruction.
 *   current       the next subnet to hand out (pfxlen = target length)
 *   limit         one past the parent's last address, modulo 2^bits, with
 *                 pfxlen = the parent's length
 *   target_pfxlen length of the subnets produced
 *   done          true once the last subnet has been handed out
 */
typedef struct tarn_subnet_iter {
  tarn_prefix_t current;
  tarn_prefix_t limit;
  uint8_t target_pfxlen;
  bool done;
} tarn_subnet_iter_t;

/* A longest-prefix-match index; opaque, handed out by pointer only. */
typedef struct tarn_index tarn_index_t;

/* ------------------------------------------------------------------------ */
/* Addresses                                                                */
/* ------------------------------------------------------------------------ */

/*
 * tarn_addr_parse - parse the NUL-terminated text `src` into `out`.
 *
 * Strict grammar: IPv4 is exactly four decimal octets 0..255 without leading
 * zeros; IPv6 is eight groups of 1 to 4 hex digits (either case) with at most
 * one "::" standing for one or more zero groups; a dotted-quad tail is
 * accepted only for IPv4-mapped addresses (::ffff:a.b.c.d).  No whitespace,
 * no zone suffix, no trailing ':'.  Any ':' makes the text IPv6.  Reads no
 * byte past the terminating NUL.
 *
 * Writes: on success the family and 4 (IPv4) or 16 (IPv6) address bytes; the
 * other 12 bytes of an IPv4 result are left as they were.  On TARN_ERR_PARSE
 * out->family is set to TARN_AF_UNSPEC and the address bytes are unspecified.
 *
 * Returns TARN_OK, TARN_ERR_INVAL (src or out null; out untouched) or
 * TARN_ERR_PARSE.
 */
TARN_EXPORT tarn_err_t tarn_addr_parse(const char *src, tarn_addr_t *out);

/*
 * tarn_addr_format - print `addr` into `buf` (of `len` bytes) as canonical
 * text: dotted quad for IPv4; RFC 5952 for IPv6 (lower case, no leading
 * zeros, the first longest run of two or more zero groups as "::", and a
 * dotted-quad tail only for IPv4-mapped addresses).  The text is
 * NUL-terminated.
 *
 * `len` must be at least TARN_ADDR_STRLEN (46) for either family.
 * Returns TARN_OK, or TARN_ERR_INVAL (addr or buf null, len below 46, family
 * TARN_AF_UNSPEC; buf untouched).
 */
TARN_EXPORT tarn_err_t tarn_addr_format(const tarn_addr_t *addr, char *buf, size_t len);

/*
 * tarn_addr_to_v4 - unwrap the IPv4 address carried in an IPv4-mapped IPv6
 * address (::ffff:0:0/96) into `out` (family TARN_AF_INET, 4 bytes; the
 * other 12 bytes of out are not written).
 *
 * Returns TARN_OK; TARN_ERR_INVAL (a null pointer, or addr of family
 * TARN_AF_UNSPEC); TARN_ERR_FAMILY (addr is not IPv6, or is IPv6 but not
 * IPv4-mapped).  out is written only on success.
 */
TARN_EXPORT tarn_err_t tarn_addr_to_v4(const tarn_addr_t *addr, tarn_addr_t *out);

/*
 * tarn_addr_cmp - numeric order of two addresses of one family: *result is
 * -1, 0 or 1.
 *
 * Returns TARN_OK; TARN_ERR_INVAL (a null pointer, or a TARN_AF_UNSPEC
 * record); TARN_ERR_FAMILY (the families differ: there is no cross-family
 * order).  *result is written only on success.
 */
TARN_EXPORT tarn_err_t tarn_addr_cmp(const tarn_addr_t *a, const tarn_addr_t *b, int *result);

/*
 * tarn_addr_classify - the special-purpose classes of `addr`: the union of
 * the class bits of every IANA special-purpose block that contains it, or
 * TARN_CLASS_GLOBAL alone when none does.  An IPv6 address that embeds an
 * IPv4 address (mapped, translated, 6to4) is classified as IPv6 only.  A
 * family other than 4 and 6 (and not 0) matches no block.
 *
 * Returns TARN_OK, or TARN_ERR_INVAL (a null pointer, or family
 * TARN_AF_UNSPEC; *out untouched).
 */
TARN_EXPORT tarn_err_t tarn_addr_classify(const tarn_addr_t *addr, tarn_class_t *out);

/*
 * tarn_addr_is_global - *out = whether `addr` is globally reachable by the
 * "Globally Reachable" column of the IANA IPv4 and IPv6 Special-Purpose
 * Address Registries (as of TARN_IANA_SNAPSHOT).  The most specific block
 * containing the address decides: 192.0.0.9 is global although 192.0.0.0/24
 * is not.  An address in no block is global; a block whose column reads N/A
 * or is blank (a terminated entry: 192.88.99.0/24, 2001:10::/28, Teredo,
 * 6to4) counts as not global, and so do the multicast blocks, which
 * tarn_addr_classify knows but the special-purpose registries do not list.
 * This differs from tarn_addr_classify's TARN_CLASS_GLOBAL, which means "in
 * no block" (192.0.0.9 is IETF_RESERVED | ANYCAST there, yet global here).
 * An IPv6 address embedding an IPv4 one is judged as IPv6 only
 * (::ffff:8.8.8.8 is not global).  A family other than 4 and 6 (and not 0)
 * matches no block, so is global.
 *
 * Returns TARN_OK, or TARN_ERR_INVAL (a null pointer, or family
 * TARN_AF_UNSPEC; *out untouched).
 */
TARN_EXPORT tarn_err_t tarn_addr_is_global(const tarn_addr_t *addr, bool *out);

/* ------------------------------------------------------------------------ */
/* Prefixes                                                                 */
/* ------------------------------------------------------------------------ */

/*
 * tarn_prefix_parse - parse "address/length" text strictly.  The text is
 * split at its last '/'; the address part (at most 45 bytes) goes through
 * tarn_addr_parse; the length is one or more decimal digits (leading zeros
 * allowed, no sign, no space) not above the family maximum (32 or 128).  Host
 * bits must be clear: this parser never clears them.
 *
 * Returns, checked in this order: TARN_ERR_INVAL (src or out null);
 * TARN_ERR_PARSE (empty text, no '/', empty or over-long address part, bad
 * address); TARN_ERR_PFXLEN (malformed length, or above the family maximum);
 * TARN_ERR_HOSTBITS; TARN_OK.  out is written only on success.
 */
TARN_EXPORT tarn_err_t tarn_prefix_parse(const char *src, tarn_prefix_t *out);

/*
 * tarn_prefix_from_host - the prefix of length `pfxlen` that contains `addr`
 * (host bits cleared silently; length 0 gives the all-zero address).
 *
 * Returns TARN_OK; TARN_ERR_INVAL (addr or out null, or addr of family
 * TARN_AF_UNSPEC); TARN_ERR_PFXLEN (pfxlen above the family maximum).  out is
 * written only on success; for IPv4 its 12 unused address bytes are not.
 */
TARN_EXPORT tarn_err_t tarn_prefix_from_host(const tarn_addr_t *addr, uint8_t pfxlen,
                                             tarn_prefix_t *out);

/*
 * tarn_prefix_format - print `prefix` as "address/length" into `buf` (of
 * `len` bytes, at least TARN_PREFIX_STRLEN = 50).  The address is printed as
 * by tarn_addr_format; the stored length is printed unchanged.
 *
 * Returns TARN_OK, or TARN_ERR_INVAL (prefix or buf null, len below 50,
 * family TARN_AF_UNSPEC; buf untouched).
 */
TARN_EXPORT tarn_err_t tarn_prefix_format(const tarn_prefix_t *prefix, char *buf, size_t len);

/*
 * Prefix arithmetic.  Every function below checks, in order: a null required
 * pointer (TARN_ERR_INVAL), a TARN_AF_UNSPEC record (TARN_ERR_INVAL), and
 * where two records meet, differing families (TARN_ERR_FAMILY).  Results are
 * written only on TARN_OK.  They expect canonical prefixes and do not
 * re-check the length against the family maximum.
 */

/* tarn_prefix_mask - `out` = the netmask: `pfxlen` one bits, then zeros. */
TARN_EXPORT tarn_err_t tarn_prefix_mask(const tarn_prefix_t *prefix, tarn_addr_t *out);

/* tarn_prefix_first - `out` = the prefix's own address, copied unmasked. */
TARN_EXPORT tarn_err_t tarn_prefix_first(const tarn_prefix_t *prefix, tarn_addr_t *out);

/* tarn_prefix_last - `out` = the address with every bit after `pfxlen` set. */
TARN_EXPORT tarn_err_t tarn_prefix_last(const tarn_prefix_t *prefix, tarn_addr_t *out);

/*
 * tarn_prefix_broadcast - as tarn_prefix_last, for IPv4 only; any other
 * family than TARN_AF_INET gives TARN_ERR_FAMILY.
 */
TARN_EXPORT tarn_err_t tarn_prefix_broadcast(const tarn_prefix_t *prefix, tarn_addr_t *out);

/*
 * tarn_prefix_contains - *out = whether `addr` lies in `prefix`.  `out` may
 * be null: the call then only validates its arguments.  Different families
 * give TARN_ERR_FAMILY, never false.
 */
TARN_EXPORT tarn_err_t tarn_prefix_contains(const tarn_prefix_t *prefix, const tarn_addr_t *addr,
                                            bool *out);

/*
 * tarn_prefix_overlaps - *out = whether the two prefixes share any address
 * (equal prefixes overlap).  `out` may be null.
 */
TARN_EXPORT tarn_err_t tarn_prefix_overlaps(const tarn_prefix_t *a, const tarn_prefix_t *b,
                                            bool *out);

/*
 * tarn_prefix_supernet - `out` = the prefix one bit shorter that contains
 * `prefix`, host bits cleared.  `out` may be `prefix` itself.  A /0 has no
 * supernet: TARN_ERR_OVERFLOW.
 */
TARN_EXPORT tarn_err_t tarn_prefix_supernet(const tarn_prefix_t *prefix, tarn_prefix_t *out);

/*
 * tarn_prefix_cmp - *result = -1, 0 or 1: address first (numeric order),
 * then the shorter prefix first.  No order across families
 * (TARN_ERR_FAMILY).
 */
TARN_EXPORT tarn_err_t tarn_prefix_cmp(const tarn_prefix_t *a, const tarn_prefix_t *b,
                                       int *result);

/*
 * tarn_subnet_iter_init - prepare `iter` to enumerate, in ascending order,
 * the 2^(target_pfxlen - pfxlen) subnets of `prefix` at `target_pfxlen`.
 *
 * Returns TARN_OK; TARN_ERR_INVAL (iter or prefix null, family
 * TARN_AF_UNSPEC); TARN_ERR_PFXLEN (target_pfxlen not greater than the
 * prefix's length, or above the family maximum).  iter is written only on
 * success; initialising again restarts the enumeration.
 */
TARN_EXPORT tarn_err_t tarn_subnet_iter_init(tarn_subnet_iter_t *iter, const tarn_prefix_t *prefix,
                                             uint8_t target_pfxlen);

/*
 * tarn_subnet_iter_next - hand out the next subnet in `out`.  The call that
 * hands out the last subnet returns TARN_OK; every later call returns
 * TARN_ERR_DONE and leaves out untouched.  TARN_ERR_INVAL when iter or out is
 * null.  Works across the whole space (/0) and at its top without overflow.
 */
TARN_EXPORT tarn_err_t tarn_subnet_iter_next(tarn_subnet_iter_t *iter, tarn_prefix_t *out);

/* ------------------------------------------------------------------------ */
/* Batch operations                                                         */
/* ------------------------------------------------------------------------ */

/*
 * Common rules of the batch functions: a count of 0 returns TARN_OK before
 * any array pointer is looked at.  Arrays of records are checked whole before
 * anything is written: the first record must be IPv4 or IPv6, a later record
 * of family TARN_AF_UNSPEC gives TARN_ERR_INVAL and one of another family
 * TARN_ERR_FAMILY; the first offender decides.
 */

/*
 * tarn_bulk_sort - sort `prefixes[0..count)` in place in `order`
 * (TARN_SORT_NETWORK_ASC or TARN_SORT_PFXLEN_DESC; the latter keeps equal
 * records in input order).  Addresses are compared whole, host bits
 * included.  No heap memory is used.
 *
 * Returns TARN_OK; TARN_ERR_INVAL (prefixes null, order above 1, first
 * record not IPv4/IPv6, a later record of family 0, or a descending sort of
 * more than 2^32 - 1 records); TARN_ERR_FAMILY (mixed families).  On error
 * the array is unchanged.
 */
TARN_EXPORT tarn_err_t tarn_bulk_sort(tarn_prefix_t *prefixes, size_t count,
                                      tarn_sort_order_t order);

/*
 * tarn_bulk_parse - parse `count` NUL-terminated strings into `out`, one
 * result code per item into `errs` (which may be null).  Every item is
 * attempted.  A failed item becomes an all-zero record (family
 * TARN_AF_UNSPEC) with code TARN_ERR_PARSE.
 *
 * Returns TARN_OK; TARN_ERR_INVAL (srcs or out null, or any srcs[i] null;
 * nothing written); TARN_ERR_FAMILY (the items that parsed mix IPv4 and
 * IPv6; outranks a parse failure); TARN_ERR_PARSE (some item failed).  With
 * the last two every item of out and errs has been written.
 */
TARN_EXPORT tarn_err_t tarn_bulk_parse(const char **srcs, size_t count, tarn_addr_t *out,
                                       tarn_err_t *errs);

/*
 * tarn_bulk_contains - for every address, the position of the FIRST prefix
 * in list order that contains it (not the longest), or -1, into `matches`;
 * `errs` (may be null) receives one code per address.  `prefixes` may be
 * null when prefix_count is 0 (then every match is -1).
 *
 * Returns TARN_OK; TARN_ERR_INVAL (addrs or matches null, prefixes null with
 * a non-zero count, a bad family in either array; nothing written);
 * TARN_ERR_PFXLEN (a prefix length above its family maximum; nothing
 * written); TARN_ERR_FAMILY (mixed families within an array: nothing
 * written; or addresses and prefixes of different families: every match -1
 * and every code TARN_ERR_FAMILY).
 */
TARN_EXPORT tarn_err_t tarn_bulk_contains(const tarn_addr_t *addrs, size_t addr_count,
                                          const tarn_prefix_t *prefixes, size_t prefix_count,
                                          ssize_t *matches, tarn_err_t *errs);

/*
 * tarn_bulk_aggregate - collapse `prefixes[0..count)` in place to the
 * minimal set of prefixes covering exactly the same addresses: duplicates and
 * covered prefixes go, sibling pairs merge into their parent.  On success the
 * first *out_count records hold the result in ascending network order; the
 * rest of the array is unspecified.  No heap memory is used.
 *
 * Records must be canonical: a prefix with host bits set is refused rather
 * than guessed at (10.0.0.5/8 might mean 10.0.0.0/8 or be a typo for a
 * host route; aggregating it as written would lose address space).
 *
 * Returns TARN_OK; TARN_ERR_INVAL (out_count null, even with count 0;
 * prefixes null; first record not IPv4/IPv6; a later record of family 0);
 * TARN_ERR_FAMILY (mixed families); then, record by record once the
 * families passed, TARN_ERR_PFXLEN (a length above the family maximum) or
 * TARN_ERR_HOSTBITS (a bit set after the length), the first offending
 * record deciding.  On error the array and *out_count are unchanged.
 */
TARN_EXPORT tarn_err_t tarn_bulk_aggregate(tarn_prefix_t *prefixes, size_t count,
                                           size_t *out_count);

/* ------------------------------------------------------------------------ */
/* Set and range algebra                                                    */
/* ------------------------------------------------------------------------ */

/*
 * The set operations treat each array as the set of addresses its prefixes
 * cover, and write that set's minimal CIDR cover (the fewest prefixes
 * covering exactly it, which is unique) in ascending network order.
 *
 *   tarn_set_union                 A | B    result at most |A| + |B|
 *   tarn_set_intersection          A & B    result at most |A| + |B|
 *   tarn_set_difference            A - B    result at most |A| + |B| * (bits - 1)
 *   tarn_set_symmetric_difference  A ^ B    result at most (|A| + |B|) * bits
 *
 * (bits = 32 or 128, |A| = a_count.)  The inputs need not be sorted,
 * minimal or free of duplicates, but every record must be canonical, and
 * both arrays of one family.  Once the checks pass, `a` and `b` are sorted
 * in place in network order (the same records, reordered) on every return;
 * no heap memory is used.  `out` (of out_capacity records) must not overlap
 * `a` or `b`; it may be null when out_capacity is 0.  A capacity of at least
 * the bound above always suffices and costs one pass; a smaller one costs a
 * counting pass first.  Each written record is zeroed before it is filled,
 * so the unused bytes of an IPv4 record are zero.
 *
 * Checked in this order: out_count null, an array null with a non-zero
 * count, or out null with a non-zero capacity (TARN_ERR_INVAL); then each
 * non-empty array's families as in the batch rules, A first (TARN_ERR_INVAL,
 * TARN_ERR_FAMILY); then A's family against B's (TARN_ERR_FAMILY); then,
 * record by record, A before B, a length above the family maximum
 * (TARN_ERR_PFXLEN) or a bit set after the length (TARN_ERR_HOSTBITS), the
 * first offender deciding.  Two empty arrays give *out_count = 0 and
 * TARN_OK; one empty array takes its family from the other.
 *
 * Returns TARN_OK with *out_count records written; TARN_ERR_INVAL when the
 * result needs more than out_capacity records: then nothing is written to
 * `out` but *out_count receives the size needed (so a call with capacity 0
 * is a size query); or an error above, with `a`, `b`, `out` and *out_count
 * unchanged.
 */
TARN_EXPORT tarn_err_t tarn_set_union(tarn_prefix_t *a, size_t a_count, tarn_prefix_t *b,
                                      size_t b_count, tarn_prefix_t *out, size_t out_capacity,
                                      size_t *out_count);
TARN_EXPORT tarn_err_t tarn_set_intersection(tarn_prefix_t *a, size_t a_count, tarn_prefix_t *b,
                                             size_t b_count, tarn_prefix_t *out,
                                             size_t out_capacity, size_t *out_count);
TARN_EXPORT tarn_err_t tarn_set_difference(tarn_prefix_t *a, size_t a_count, tarn_prefix_t *b,
                                           size_t b_count, tarn_prefix_t *out,
                                           size_t out_capacity, size_t *out_count);
TARN_EXPORT tarn_err_t tarn_set_symmetric_difference(tarn_prefix_t *a, size_t a_count,
                                                     tarn_prefix_t *b, size_t b_count,
                                                     tarn_prefix_t *out, size_t out_capacity,
                                                     size_t *out_count);

/*
 * tarn_range_to_prefixes - the minimal CIDR cover of the addresses `first`
 * through `last` (inclusive), ascending, into `out` (of out_capacity
 * records; null allowed when the capacity is 0).  A range needs at most
 * 2 * bits - 2 prefixes (62 for IPv4, 254 for IPv6; the whole space is one
 * /0).  Records are zeroed before they are filled.  `out` may overlap the
 * two addresses.
 *
 * Returns TARN_OK with *out_count records written; TARN_ERR_INVAL (first,
 * last or out_count null, out null with a non-zero capacity, a family
 * TARN_AF_UNSPEC, or first above last; nothing written); TARN_ERR_FAMILY
 * (the families differ; nothing written); TARN_ERR_INVAL also when the cover
 * needs more than out_capacity records: nothing is written to out, and
 * *out_count receives the size needed.
 */
TARN_EXPORT tarn_err_t tarn_range_to_prefixes(const tarn_addr_t *first, const tarn_addr_t *last,
                                              tarn_prefix_t *out, size_t out_capacity,
                                              size_t *out_count);

/*
 * tarn_prefix_span - *out = the longest (smallest) prefix containing every
 * prefix of `prefixes[0..count)`; for one prefix, that prefix.  Records must
 * be canonical.  The record written is zeroed first.  tarn_addr_span does
 * the same for addresses (one address spans itself as a /32 or /128).
 *
 * Returns TARN_OK; TARN_ERR_INVAL (a null pointer, count 0: nothing spans an
 * empty array; the first record not IPv4/IPv6; a later one of family 0);
 * TARN_ERR_FAMILY (mixed families); tarn_prefix_span only, record by record:
 * TARN_ERR_PFXLEN (a length above the family maximum) or TARN_ERR_HOSTBITS
 * (host bits set), the first offender deciding.  *out is written only on
 * success.
 */
TARN_EXPORT tarn_err_t tarn_prefix_span(const tarn_prefix_t *prefixes, size_t count,
                                        tarn_prefix_t *out);
TARN_EXPORT tarn_err_t tarn_addr_span(const tarn_addr_t *addrs, size_t count, tarn_prefix_t *out);

/* ------------------------------------------------------------------------ */
/* Longest-prefix-match index                                               */
/* ------------------------------------------------------------------------ */

/*
 * tarn_index_create - build an index over `prefixes[0..count)` (one family,
 * canonical records) and store it in *out.  The caller's array is only read
 * and may be freed as soon as the call returns.  Equal prefixes report the
 * input position of whichever equal record the internal sort places first.
 *
 * Returns TARN_OK; TARN_ERR_INVAL (out or prefixes null, count 0 or above
 * 2^32 - 2, a record of family TARN_AF_UNSPEC); TARN_ERR_FAMILY (mixed
 * families); TARN_ERR_PFXLEN (a length above the family maximum);
 * TARN_ERR_HOSTBITS (a record with host bits set); TARN_ERR_NOMEM.  On
 * failure *out is unchanged and nothing stays allocated.
 */
TARN_EXPORT tarn_err_t tarn_index_create(const tarn_prefix_t *prefixes, size_t count,
                                         tarn_index_t **out);

/*
 * tarn_index_lookup - for every address, the input position of the longest
 * prefix of `index` that contains it, or -1, into `matches`; `errs` (may be
 * null) receives TARN_OK per address.  The index is only read, so lookups
 * may run concurrently.
 *
 * Returns TARN_OK (also for count 0, before addrs and matches are looked
 * at); TARN_ERR_INVAL (index null, addrs or matches null, an address of
 * family TARN_AF_UNSPEC); TARN_ERR_FAMILY (an address of another family than
 * the index).  On error nothing is written.
 */
TARN_EXPORT tarn_err_t tarn_index_lookup(const tarn_index_t *index, const tarn_addr_t *addrs,
                                         size_t count, ssize_t *matches, tarn_err_t *errs);

/*
 * Index queries.  They answer from the prefixes the index holds, in network
 * order (address ascending, then length ascending).  Equal input records
 * count as one prefix, reported under the one input position that
 * tarn_index_lookup reports for them (see tarn_index_create).  A query
 * prefix must be of the index's family (TARN_AF_UNSPEC: TARN_ERR_INVAL;
 * another family: TARN_ERR_FAMILY) and canonical (TARN_ERR_PFXLEN for a
 * length above the family maximum, TARN_ERR_HOSTBITS for host bits set),
 * checked in that order; an address is queried as its /32 or /128.  The
 * index is only read, so queries may run concurrently with each other and
 * with lookups.
 */

/*
 * tarn_index_count - *distinct = the number of distinct prefixes the index
 * holds; *records (may be null) = the number of records it was built from.
 * Returns TARN_OK, or TARN_ERR_INVAL (index or distinct null).
 */
TARN_EXPORT tarn_err_t tarn_index_count(const tarn_index_t *index, size_t *distinct,
                                        size_t *records);

/*
 * tarn_index_prefixes - the distinct prefixes into `prefixes` and their
 * input positions into `positions`, in network order; `capacity` (the size
 * of both arrays) must be at least the distinct count of tarn_index_count.
 * Returns TARN_OK, or TARN_ERR_INVAL (a null pointer, capacity too small;
 * nothing written).
 */
TARN_EXPORT tarn_err_t tarn_index_prefixes(const tarn_index_t *index, tarn_prefix_t *prefixes,
                                           ssize_t *positions, size_t capacity);

/*
 * tarn_index_exact - for every query prefix, the input position of the equal
 * prefix of the index, or -1, into `positions`.  Returns TARN_OK (also for
 * count 0, before queries and positions are looked at); TARN_ERR_INVAL
 * (index, queries or positions null); a query check code above, the first
 * offending query deciding.  On error nothing is written.
 */
TARN_EXPORT tarn_err_t tarn_index_exact(const tarn_index_t *index, const tarn_prefix_t *queries,
                                        size_t count, ssize_t *positions);

/*
 * tarn_index_covering - every prefix of the index that contains `query`
 * (itself included when held), longest first: the prefixes into `prefixes`
 * (may be null: positions only) and their input positions into `positions`,
 * `capacity` entries each.  There are at most bits + 1 (33 or 129), so a
 * capacity of 129 always suffices.  The first entry is what
 * tarn_index_lookup answers for the query's address when the query is a
 * host route.
 *
 * Returns TARN_OK with *out_count entries written; TARN_ERR_INVAL (index,
 * query, positions or out_count null; nothing written; or more entries than
 * capacity: nothing written but *out_count set to the number needed); a
 * query check code above (nothing written).
 */
TARN_EXPORT tarn_err_t tarn_index_covering(const tarn_index_t *index, const tarn_prefix_t *query,
                                           tarn_prefix_t *prefixes, ssize_t *positions,
                                           size_t capacity, size_t *out_count);

/*
 * tarn_index_covered - every prefix of the index inside `query` (itself
 * included when held), in network order, into `prefixes` (may be null) and
 * `positions`, `capacity` entries each; positions may be null only when
 * capacity is 0.  The count is bounded only by the index's distinct count,
 * so a call with capacity 0 serves as a size query.
 *
 * Returns TARN_OK with *out_count entries written; TARN_ERR_INVAL (index,
 * query or out_count null, positions null with a non-zero capacity; nothing
 * written; or more entries than capacity: nothing written but *out_count set
 * to the number needed); a query check code above (nothing written).
 */
TARN_EXPORT tarn_err_t tarn_index_covered(const tarn_index_t *index, const tarn_prefix_t *query,
                                          tarn_prefix_t *prefixes, ssize_t *positions,
                                          size_t capacity, size_t *out_count);

/* tarn_index_destroy - free `index` and everything it owns; null is ignored. */
TARN_EXPORT void tarn_index_destroy(tarn_index_t *index);

#ifdef __cplusplus
}
#endif

#endif /* PYTARN_H */
