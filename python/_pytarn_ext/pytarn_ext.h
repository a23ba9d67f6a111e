/*
 * pytarn_ext.h - what the binding's files share.  Not installed.
 *
 * The binding uses the limited C API of Python 3.11 only (the build defines
 * Py_LIMITED_API = 0x030B0000).  Every core error becomes a Python exception
 * through tarn_set_python_error; every core record becomes a Python object
 * through binding_addr_to_pyobj / binding_prefix_to_pyobj.
 *
 * The interpreter's lock: every Python argument is read into plain records
 * (or a buffer is taken) first, then the lock is released around the core
 * call (Py_BEGIN_ALLOW_THREADS), then results are built with it held again.
 * No Python object and no borrowed memory that another thread could free is
 * touched while the lock is released: only private arrays, the immutable
 * storage of an AddressArray kept alive by a reference, Arrow arrays held
 * until their release callback runs, and buffer views still exported.
 */
#ifndef PYTARN_EXT_H
#define PYTARN_EXT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pytarn.h"

/* ---- object structures ------------------------------------------------- */

/* IPv4Address / IPv6Address: addr.family is 4 or 6 according to the type. */
typedef struct {
  PyObject_HEAD
  tarn_addr_t addr;
} AddressObject;

/* IPv4Network / IPv6Network: a canonical prefix of the type's family. */
typedef struct {
  PyObject_HEAD
  tarn_prefix_t prefix;
} NetworkObject;

/* SubnetIterator: its own copy of the enumeration state; no reference to
 * the network that made it. */
typedef struct {
  PyObject_HEAD
  tarn_subnet_iter_t iter;
  tarn_family_t family;
} SubnetIteratorObject;

/*
 * One family's share of a PrefixIndex: the core index over that family's
 * networks (NULL when the table holds none), and, when the table mixes
 * families, the table position of each of the core index's records (the
 * core reports positions among the records it was given).  The map is
 * 32-bit, half the cache footprint of size_t, as lookups read it once per
 * matched address; a table of both families is therefore held to
 * PREFIXINDEX_MAX_MIXED networks.
 */
#define PREFIXINDEX_MAX_MIXED ((size_t)UINT32_MAX)

typedef struct {
  tarn_index_t *index;
  uint32_t *positions; /* NULL: core positions are table positions */
} PrefixIndexPart;

/*
 * PrefixIndex.  `family` is 4 or 6 for a one-family table and 0 for a table
 * of both; it and `prefix_count` never change.  `released` is set once by
 * __exit__.  `readers` counts lookups running with the interpreter's lock
 * released; it and `released` change only with the lock held, so the parts
 * are freed exactly once: by __exit__ when no reader is inside, else by the
 * last reader to leave, else by deallocation.
 */
typedef struct {
  PyObject_HEAD
  PrefixIndexPart parts[2]; /* [0] IPv4, [1] IPv6 */
  tarn_family_t family;
  size_t prefix_count;
  Py_ssize_t readers;
  int released;
  int has_fingerprint; /* fingerprint computed (once: the index never changes) */
  uint64_t fingerprint;
} PrefixIndexObject;

/*
 * AddressArray: an immutable column of addresses, families free to mix.
 * addrs[i].family is TARN_AF_INET or TARN_AF_INET6, or TARN_AF_UNSPEC for a
 * null slot (whose address bytes are all zero).  Every record is zero-filled
 * beyond its family's bytes, so whole records compare with memcmp.
 * `validity` is an Arrow-style bitmap (bit i of byte i / 8, least
 * significant first; 1 = present) when null_count > 0, else NULL.  The
 * counts always agree with the records: v4_count + v6_count + null_count ==
 * count.  Nothing changes after construction, so the storage may be read
 * with the interpreter's lock released by anyone holding a reference.
 */
typedef struct {
  PyObject_HEAD
  Py_ssize_t count;
  tarn_addr_t *addrs; /* malloc'ed, at least one record even when count 0 */
  uint8_t *validity;  /* malloc'ed or NULL */
  Py_ssize_t null_count;
  Py_ssize_t v4_count;
  Py_ssize_t v6_count;
} AddressArrayObject;

/*
 * ResultBuffer: the typed, immutable column a columnar call answers.  It
 * exports a read-only one-dimensional buffer (so numpy.asarray and
 * memoryview wrap it without a copy) and an Arrow array through
 * __arrow_c_array__.  Null slots (validity bit 0) hold the kind's sentinel
 * in `data` (-1 positions, 0 masks, false, zero bytes); Arrow sees them as
 * nulls, the buffer protocol sees the sentinel.
 */
typedef enum {
  RESULT_INT64,    /* format "q", Arrow "l": positions, -1 for none */
  RESULT_UINT32,   /* format "I", Arrow "I": classification masks, IPv4 values */
  RESULT_UINT8,    /* format "B", Arrow "C": families (4, 6, 0 for null) */
  RESULT_BOOL,     /* format "?", Arrow "b" (bit-packed on export): tests */
  RESULT_PACKED4,  /* format "4s", Arrow "w:4": network-order IPv4 */
  RESULT_PACKED16, /* format "16s", Arrow "w:16": network-order IPv6 */
} binding_result_kind;

typedef struct {
  PyObject_HEAD
  binding_result_kind kind;
  char *data;        /* malloc'ed, length * itemsize bytes (at least 1) */
  Py_ssize_t length; /* items */
  Py_ssize_t itemsize;
  uint8_t *validity; /* malloc'ed bitmap as in AddressArray, or NULL */
  Py_ssize_t null_count;
  Py_ssize_t shape;  /* == length; exported views point at shape/stride */
  Py_ssize_t stride; /* == itemsize */
} ResultBufferObject;

/* ---- module-level globals (module.c) ----------------------------------- */

extern PyObject *pytarn_TARNError;
extern PyObject *pytarn_ParseError;
extern PyObject *pytarn_HostBitsError;
extern PyObject *pytarn_PrefixLengthError;
extern PyObject *pytarn_InvalidArgumentError;
extern PyObject *pytarn_FamilyError;
extern PyObject *pytarn_AddressOverflowError;

extern PyTypeObject *ipv4address_type;
extern PyTypeObject *ipv6address_type;
extern PyTypeObject *ipv4network_type;
extern PyTypeObject *ipv6network_type;
extern PyTypeObject *prefixindex_type;
extern PyTypeObject *subnetiterator_type;
extern PyTypeObject *addressarray_type;
extern PyTypeObject *resultbuffer_type;

/* ---- PyType_Spec tables, each defined beside its type ------------------- */

extern PyType_Spec ipv4address_spec;    /* address.c */
extern PyType_Spec ipv6address_spec;    /* address.c */
extern PyType_Spec ipv4network_spec;    /* network.c */
extern PyType_Spec ipv6network_spec;    /* network.c */
extern PyType_Spec subnetiterator_spec; /* network.c */
extern PyType_Spec prefixindex_spec;    /* prefixindex.c */
extern PyType_Spec addressarray_spec;   /* addressarray.c */
extern PyType_Spec resultbuffer_spec;   /* resultbuffer.c */

/* ---- module.c: errors, factories, shared slots ------------------------- */

/* 0 for TARN_OK (indicator untouched); otherwise raises and returns -1.
 * `context`, when not NULL, is the user's text that failed: it is the whole
 * message instead of the default, and the exception carries it as .text,
 * the default message as .reason and None as .index. */
int tarn_set_python_error(tarn_err_t rc, const char *context);

/*
 * Raise `exc` for item `index` of a batch whose text `text[0..len)` failed
 * (`index` < 0: a single value, no index): the message is "<what> at index
 * N: 'text'" (or "<what>: 'text'"), and the exception carries the
 * attributes .index (int or None), .text (str) and .reason (`reason`).
 * Text that is not valid UTF-8 is shown with backslash escapes.  Always -1.
 */
int binding_raise_item_error(PyObject *exc, const char *what, Py_ssize_t index, const char *text,
                             size_t len, const char *reason);

/* Give the exception instance `err` the attributes .index (`index`, an int
 * or None), .text (text[0..len), invalid UTF-8 backslash-escaped) and
 * .reason.  0, or -1 with an exception. */
int binding_set_error_attrs(PyObject *err, PyObject *index, const char *text, size_t len,
                            const char *reason);

/* New IPv4Address for family TARN_AF_INET, else IPv6Address; copies the
 * whole record; never runs a constructor, never makes a subclass. */
PyObject *binding_addr_to_pyobj(const tarn_addr_t *addr);

/* New IPv4Network for family TARN_AF_INET, else IPv6Network. */
PyObject *binding_prefix_to_pyobj(const tarn_prefix_t *prefix);
/* `bytes` zero-filled bytes for a column-sized block (huge pages requested
 * for a large one), freed with free(); NULL when memory runs out. */
void *binding_calloc_large(size_t bytes);

/* The dealloc of every type: frees through the type's own tp_free (right
 * for subclasses too), then drops the instance's reference to its heap
 * type. */
void binding_dealloc(PyObject *self);

/* SipHash-1-3, keyed once per process from the interpreter's own hash
 * secret, over the family tag, the address bytes and, when with_pfxlen, the
 * length; never -1.  binding_hash_init derives the key (0, or -1 with an
 * exception) and runs at import, before any object can be hashed. */
int binding_hash_init(void);
Py_hash_t binding_hash(tarn_family_t family, const uint8_t *bytes, size_t len, int with_pfxlen,
                       uint8_t pfxlen);

/* ---- address.c: converters shared with networks, bulk and index ------- */

/* Each returns 0 with *addr filled, or -1 with an exception set. */
int binding_string_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected);
int binding_bytes_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected);
int binding_int_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected);
int binding_ipaddress_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected);

/*
 * The UTF-8 text of a str (exact or subclass), valid while `obj` lives, with
 * its length in *len.  NULL with an exception when encoding fails (lone
 * surrogates: the interpreter's UnicodeEncodeError) or when the text holds a
 * NUL character: the C parsers would stop there and read a prefix of the
 * caller's text, so such text is unparsable and raises ParseError whose
 * message is the caller's whole str object.
 */
const char *binding_text_utf8(PyObject *obj, Py_ssize_t *len);

/* ---- bulk.c: module functions and list converters ---------------------- */

PyObject *pytarn_bulk_parse(PyObject *module, PyObject *args, PyObject *kwargs);
PyObject *pytarn_bulk_contains(PyObject *module, PyObject *args);
PyObject *pytarn_bulk_aggregate(PyObject *module, PyObject *args);
PyObject *pytarn_bulk_sort(PyObject *module, PyObject *args);
PyObject *pytarn_bulk_contains_packed(PyObject *module, PyObject *args);

/* Copy the records of a list/tuple/iterable of address (network) objects of
 * one family into a malloc'ed array the caller frees.  Empty input: count 0,
 * family 0 and a valid non-null array.  NULL with an exception otherwise. */
tarn_addr_t *bulk_addrs_from_list(PyObject *obj, size_t *count, tarn_family_t *family);
tarn_prefix_t *bulk_extract_prefixes(PyObject *obj, size_t *count, tarn_family_t *family);

/*
 * The packed-address contract, decided by the buffer's format, never by its
 * item size alone.  Accepted, all in network byte order:
 *   - bytes-like: item size 1, format "B", "b" or "c", one dimension whose
 *     length is a multiple of the address size, or two dimensions of shape
 *     (n, 4 or 16), C-contiguous (plain bytes, bytearray, numpy uint8);
 *   - opaque items of the address size: "4s"/"16s" (numpy S4/S16), "4x"/"16x"
 *     (numpy V4/V16);
 *   - for IPv4 only, explicitly big-endian unsigned 32-bit integers: ">I",
 *     "!I" (numpy >u4).
 * Refused with InvalidArgumentError naming the format received: native-order
 * integers ("I", "=I", "<I", "L"; their bytes cannot be told from a cast of
 * network-order bytes, and guessing gives silent wrong answers), every other
 * format, and non-contiguous buffers.  `family` must be TARN_AF_INET or
 * TARN_AF_INET6 (checked by the caller).
 * On success *view is held (release it with PyBuffer_Release), *base points
 * at the first address and *count is the number of addresses; on failure
 * nothing is held and an exception is set.
 */
int binding_packed_view(PyObject *obj, tarn_family_t family, Py_buffer *view,
                        const unsigned char **base, size_t *count);

/* ---- addressarray.c ------------------------------------------------------ */

/*
 * An AddressArray for anything its constructor accepts (default errors:
 * raise), as a new reference; `obj` itself, with a new reference, when it
 * is an AddressArray already (subclasses included).  NULL with an
 * exception otherwise.
 */
AddressArrayObject *binding_addressarray_from_object(PyObject *obj);

/* ---- columns.c: columnar containment and lookups ------------------------ */

/* Networks of both families split by family, each share in list order, with
 * the list position of every record. */
typedef struct {
  tarn_prefix_t *prefixes[2]; /* [0] IPv4, [1] IPv6; malloc'ed, never NULL */
  size_t *positions[2];       /* malloc'ed, never NULL */
  size_t count[2];
} binding_network_split;

/* Read a list, tuple or other iterable of IPv4Network/IPv6Network objects
 * (subclasses too) into *out.  0, or -1 with an exception (TypeError "argument
 * must be a list or tuple", FamilyError "all items must be IPv4Network or
 * IPv6Network", MemoryError) and nothing held. */
int binding_split_networks(PyObject *obj, binding_network_split *out);
void binding_network_split_free(binding_network_split *split);

/* The same split of network text (columns.c): a list, tuple or other
 * iterable of str, or an Arrow string column (__arrow_c_stream__ or
 * __arrow_c_array__), each item read by binding_prefix_from_text.  0, or -1
 * with an exception naming the first bad item (TypeError for an item that is
 * no str, InvalidArgumentError for a null or a column that is no text) and
 * nothing held. */
int binding_split_network_texts(PyObject *obj, binding_network_split *out);

/* Index 0 for IPv4, 1 for IPv6 (parts and splits are kept in this order). */
static inline int binding_family_slot(tarn_family_t family) {
  return family == TARN_AF_INET ? 0 : 1;
}

/*
 * A core call over `n` address records of one family, answering one signed
 * position per record (-1 for none) into `out`.
 */
typedef tarn_err_t (*binding_column_fn)(const void *ctx, const tarn_addr_t *addrs, size_t n,
                                        ssize_t *out);

/*
 * Run `fn` over the items of `family` in `arr`: once on the array's own
 * records when it holds nothing else, else on gathered copies of a block of
 * them at a time (so `fn` must answer each record on its own), and store
 * the answers at those items' positions of `out` (one slot per item of
 * `arr`); the other slots are left as they are.  Touches no Python object,
 * so it may run with the lock released.  TARN_OK, fn's code (`out` then
 * partly written), or TARN_ERR_NOMEM.
 */
tarn_err_t binding_column_run(const AddressArrayObject *arr, tarn_family_t family,
                              binding_column_fn fn, const void *ctx, ssize_t *out);

/* bulk_contains_array(values, networks): first-match positions (ResultBuffer). */
PyObject *pytarn_bulk_contains_array(PyObject *module, PyObject *args);

/* AddressArray.within(network): a bool ResultBuffer, True where the item lies
 * in `network` (items of the other family: False; nulls stay null). */
PyObject *addressarray_within(PyObject *self, PyObject *network);

/* ---- resultbuffer.c ------------------------------------------------------ */

/*
 * A new ResultBuffer of `length` zero-filled items of `kind`, with no nulls;
 * *data receives its memory, which the caller fills before handing the
 * object to Python code.  NULL with MemoryError.
 */
ResultBufferObject *binding_result_new(binding_result_kind kind, Py_ssize_t length, void **data);

/*
 * Give `buf` the validity of `src` (an AddressArray): a copy of its bitmap
 * and its null count, so that null inputs stay null in the result.  Nothing
 * happens when `src` has no nulls.  0, or -1 with MemoryError.
 */
int binding_result_copy_validity(ResultBufferObject *buf, const AddressArrayObject *src);

/* ---- arrow.c: the Arrow C data interface --------------------------------- */

/*
 * The three structures of the Arrow C data and stream interfaces, as the
 * Arrow project fixes them (the ABI is stable by definition; the guard
 * macros are the ones every implementation shares, so a translation unit
 * that also includes Arrow's own header sees one definition).
 */
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4
struct ArrowSchema {
  const char *format;
  const char *name;
  const char *metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema **children;
  struct ArrowSchema *dictionary;
  void (*release)(struct ArrowSchema *);
  void *private_data;
};
struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void **buffers;
  struct ArrowArray **children;
  struct ArrowArray *dictionary;
  void (*release)(struct ArrowArray *);
  void *private_data;
};
#endif
#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream *, struct ArrowSchema *out);
  int (*get_next)(struct ArrowArrayStream *, struct ArrowArray *out);
  const char *(*get_last_error)(struct ArrowArrayStream *);
  void (*release)(struct ArrowArrayStream *);
  void *private_data;
};
#endif

/* The layouts of an imported column that the binding reads. */
typedef enum {
  ARROW_COL_UTF8,       /* "u": int32 offsets + data */
  ARROW_COL_LARGE_UTF8, /* "U": int64 offsets + data */
  ARROW_COL_UTF8_VIEW,  /* "vu": 16-byte views + variadic data buffers */
  ARROW_COL_FIXED4,     /* "w:4": 4-byte binary, read as packed IPv4 */
  ARROW_COL_FIXED16,    /* "w:16": 16-byte binary, read as packed IPv6 */
  ARROW_COL_NULL,       /* "n": every slot null */
} binding_arrow_layout;

/* One imported chunk, already validated (buffer count, offsets that never
 * decrease, views whose buffer index exists).  Item i of the chunk is item
 * `offset + i` of Arrow's buffers. */
typedef struct {
  struct ArrowArray array; /* owned: released by binding_arrow_column_release */
  int64_t length;
  int64_t offset;
  int64_t null_count;
  const uint8_t *validity; /* NULL: no nulls */
} binding_arrow_chunk;

/* An imported column: a schema's layout and its chunks in order. */
typedef struct {
  binding_arrow_layout layout;
  binding_arrow_chunk *chunks; /* malloc'ed */
  size_t chunk_count;
  int64_t total_length;
} binding_arrow_column;

/*
 * Import `obj` through __arrow_c_stream__ (preferred) or __arrow_c_array__.
 * Returns 1 with *col filled (release it with binding_arrow_column_release,
 * with the lock held), 0 when `obj` has neither method (nothing set), or -1
 * with an exception: the method failed, a capsule is not what it should be,
 * the type is not one of the layouts above (InvalidArgumentError naming the
 * Arrow format string), or the data are malformed.  The stream is drained
 * and released inside the call.
 */
int binding_arrow_import(PyObject *obj, binding_arrow_column *col);
void binding_arrow_column_release(binding_arrow_column *col);

/* Whether item i of a chunk is present (not null). */
static inline int binding_arrow_valid(const binding_arrow_chunk *c, int64_t i) {
  if (c->validity == NULL) return 1;
  int64_t j = c->offset + i;
  return (c->validity[j >> 3] >> (j & 7)) & 1;
}

/* The bytes of item i of a string chunk (layout UTF8, LARGE_UTF8 or
 * UTF8_VIEW) and their count; meaningful only where the item is valid. */
const char *binding_arrow_string(const binding_arrow_column *col, const binding_arrow_chunk *c,
                                 int64_t i, size_t *len);

/* The network-order bytes of item i of a FIXED4 or FIXED16 chunk. */
static inline const unsigned char *binding_arrow_fixed(const binding_arrow_column *col,
                                                       const binding_arrow_chunk *c, int64_t i) {
  size_t w = col->layout == ARROW_COL_FIXED4 ? 4u : 16u;
  return (const unsigned char *)c->array.buffers[1] + (size_t)(c->offset + i) * w;
}

/*
 * Export the canonical text of every address of `arr` as one Arrow utf8
 * array ("u", or "U" when the text passes 2 GiB), nulls as Arrow nulls:
 * the pair of PyCapsules "arrow_schema" and "arrow_array" that
 * __arrow_c_array__ answers.  The text is formatted with the lock released.
 * A new tuple, or NULL with an exception.
 */
PyObject *binding_arrow_export_text(AddressArrayObject *arr);

/* The same pair for a ResultBuffer, sharing its memory (the Arrow array
 * holds a reference to `buf` until released); booleans are bit-packed into
 * a buffer of the export's own. */
PyObject *binding_arrow_export_result(ResultBufferObject *buf);

/* A stream capsule "arrow_array_stream" yielding one array: the export
 * above, for __arrow_c_stream__. */
PyObject *binding_arrow_stream_of(PyObject *schema_array_pair);

/* ---- small shared rules ------------------------------------------------- */

/*
 * Run the statement (core calls on private or immutable memory only) with the
 * interpreter's lock released, when the batch of `n` items is large enough
 * to pay for it: handing the lock over costs a thread switch whenever
 * another thread wants it, far more than a small batch takes.
 */
#define BINDING_UNLOCK_MIN 256
#define BINDING_UNLOCKED(n, ...)             \
  do {                                       \
    if ((size_t)(n) >= BINDING_UNLOCK_MIN) { \
      Py_BEGIN_ALLOW_THREADS __VA_ARGS__;    \
      Py_END_ALLOW_THREADS                   \
    } else {                                 \
      __VA_ARGS__;                           \
    }                                        \
  } while (0)

/* Address bytes of a family: only IPv4 is 4, as in the core. */
static inline size_t binding_addr_len(tarn_family_t family) {
  return family == TARN_AF_INET ? 4u : 16u;
}

/* ---- type tests (subclasses count) -------------------------------------- */

static inline int binding_is_ipv4address(PyObject *o) {
  return PyObject_TypeCheck(o, ipv4address_type);
}
static inline int binding_is_ipv6address(PyObject *o) {
  return PyObject_TypeCheck(o, ipv6address_type);
}
static inline int binding_is_ipv4network(PyObject *o) {
  return PyObject_TypeCheck(o, ipv4network_type);
}
static inline int binding_is_ipv6network(PyObject *o) {
  return PyObject_TypeCheck(o, ipv6network_type);
}

/* ---- the everyday surface: arithmetic, interfaces, iterators ---------- */

/*
 * An address as two 64-bit words, `hi` the most significant; an IPv4
 * address is hi = 0 and lo < 2^32.  Every increment, mask and bound of the
 * scalar types goes through these few helpers.
 */
typedef struct {
  uint64_t hi, lo;
} binding_u128;

static inline uint64_t binding_load_be64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v = (v << 8) | p[i];
  return v;
}

static inline void binding_store_be64(uint8_t *p, uint64_t v) {
  for (int i = 7; i >= 0; i--) {
    p[i] = (uint8_t)v;
    v >>= 8;
  }
}

static inline binding_u128 binding_addr_words(const tarn_addr_t *a) {
  binding_u128 w = {0, 0};
  if (a->family == TARN_AF_INET) {
    w.lo = ((uint64_t)a->addr.v4[0] << 24) | ((uint64_t)a->addr.v4[1] << 16) |
           ((uint64_t)a->addr.v4[2] << 8) | a->addr.v4[3];
  } else {
    w.hi = binding_load_be64(a->addr.v6);
    w.lo = binding_load_be64(a->addr.v6 + 8);
  }
  return w;
}

/* A zero-filled record of `family` holding `w` (for IPv4 the low 32 bits). */
static inline void binding_words_addr(binding_u128 w, tarn_family_t family, tarn_addr_t *out) {
  memset(out, 0, sizeof *out);
  out->family = family;
  if (family == TARN_AF_INET) {
    for (int i = 3; i >= 0; i--) {
      out->addr.v4[i] = (uint8_t)w.lo;
      w.lo >>= 8;
    }
  } else {
    binding_store_be64(out->addr.v6, w.hi);
    binding_store_be64(out->addr.v6 + 8, w.lo);
  }
}

static inline int binding_u128_cmp(binding_u128 a, binding_u128 b) {
  if (a.hi != b.hi) return a.hi < b.hi ? -1 : 1;
  return (a.lo > b.lo) - (a.lo < b.lo);
}

/* The host bits of a /pfxlen in a space of `bits` (32 or 128) bits.
 * host = bits - pfxlen is 0..128; each shift below is by 1..63 bits, and the
 * widths 0, 64 and 128 are taken apart because a shift by the full width of
 * a 64-bit word is undefined. */
static inline binding_u128 binding_hostmask_words(unsigned bits, unsigned pfxlen) {
  unsigned host = bits > pfxlen ? bits - pfxlen : 0;
  binding_u128 m = {0, 0};
  if (host == 0) return m;
  if (host < 64) {
    m.lo = (UINT64_C(1) << host) - 1;
  } else {
    m.lo = UINT64_MAX;
    m.hi = host == 64 ? 0 : host == 128 ? UINT64_MAX : (UINT64_C(1) << (host - 64)) - 1;
  }
  return m;
}

/* The largest address of a family as words. */
static inline binding_u128 binding_family_max(tarn_family_t family) {
  return binding_hostmask_words(family == TARN_AF_INET ? 32u : 128u, 0);
}

/* int value of words, a new reference (NULL with an exception). */
PyObject *binding_u128_to_long(binding_u128 w);

/* The exact int `num` as words: 0 when 0 <= num < 2^128, 1 when negative,
 * 2 when num >= 2^128 (*out untouched then), -1 with an exception. */
int binding_long_to_u128(PyObject *num, binding_u128 *out);

/* IPv4Interface / IPv6Interface: an address (the interface's own, host bits
 * kept) and the length of its network; subtypes of the address types, so
 * the address part is read wherever an address is accepted. */
typedef struct {
  AddressObject base;
  uint8_t pfxlen; /* 0..32 or 0..128 */
} InterfaceObject;

/* AddressIterator: every address from `next` to `last` (inclusive) of one
 * family, in order; `done` once `last` has been handed out.  Made by
 * iterating a network and by hosts(); holds no reference to the network. */
typedef struct {
  PyObject_HEAD
  binding_u128 next;
  binding_u128 last;
  tarn_family_t family;
  int done;
} AddressIteratorObject;

extern PyTypeObject *ipv4interface_type;
extern PyTypeObject *ipv6interface_type;
extern PyTypeObject *addressiterator_type;
extern PyType_Spec ipv4interface_spec;   /* interface.c */
extern PyType_Spec ipv6interface_spec;   /* interface.c */
extern PyType_Spec addressiterator_spec; /* network.c */

/* The type a spec derives from, made earlier at import: the address type
 * of the family for the interfaces, NULL (object) for every other spec. */
PyObject *binding_spec_base(const PyType_Spec *spec);

static inline int binding_is_interface(PyObject *o) {
  return PyObject_TypeCheck(o, ipv4interface_type) || PyObject_TypeCheck(o, ipv6interface_type);
}

/* Any address object of `family`: an exact address, an interface's
 * address part, a subclass of either. */
static inline int binding_is_address_of(PyObject *o, tarn_family_t family) {
  return family == TARN_AF_INET ? binding_is_ipv4address(o) : binding_is_ipv6address(o);
}

/*
 * The address of every constructor form that is not text (address.c): an
 * address object of `expected`, bytes, an int or anything with __index__ (a
 * numpy integer), or an object with `packed`.  0, or -1 with the address
 * constructor's exception.
 */
int binding_value_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected);

/*
 * Split "address/length" text (network.c).  The length is decimal or, for
 * IPv4, a netmask or hostmask in dotted form, as the standard library reads
 * it.  Host bits are kept.  With `context` NULL the errors are the lenient
 * network form's ("missing '/' in CIDR notation", the address part, "invalid
 * prefix length"); otherwise every message is `context` and a decimal length
 * must be plain digits.  0, or -1 with ParseError, FamilyError or
 * PrefixLengthError.
 */
int binding_split_prefix_text(const char *text, tarn_family_t family, const char *context,
                              tarn_addr_t *addr, unsigned *pfxlen);

/*
 * The length of an IPv4 mask in dotted text (network.c): a netmask (ones,
 * then zeros) or, failing that, a hostmask (zeros, then ones), the order in
 * which the standard library tries them (so 0.0.0.0 is /0 and
 * 255.255.255.255 is /32).  -1 when the text is neither or no IPv4 address.
 */
int binding_ipv4_mask_length(const char *text);

/* "address/mask" text, the mask of a /pfxlen written as an address of the
 * family: the netmask, or the hostmask when `host`.  NULL on error. */
PyObject *binding_with_mask(const tarn_addr_t *addr, unsigned pfxlen, int host);

/* An AddressIterator over [first, last] of `family` (first <= last), or
 * an exhausted one when `empty`.  A new reference or NULL. */
PyObject *binding_address_iterator(tarn_family_t family, binding_u128 first, binding_u128 last,
                                   int empty);

/* Module functions (interface.c). */
PyObject *pytarn_ip_address(PyObject *module, PyObject *arg);
/* The address ip_address(arg) would return, into *addr: 0, or -1 with its
 * exception. */
int binding_any_to_addr(PyObject *arg, tarn_addr_t *addr);
PyObject *pytarn_ip_network(PyObject *module, PyObject *args, PyObject *kwargs);
PyObject *pytarn_ip_interface(PyObject *module, PyObject *arg);
PyObject *pytarn_get_mixed_type_key(PyObject *module, PyObject *arg);

/* ---- prefixset.c: PrefixSet and the set functions ---------------------- */

/*
 * PrefixSet: an immutable set of addresses of both families.  parts[f]
 * holds count[f] records of family f (0 IPv4, 1 IPv6): the family's
 * minimal CIDR cover, canonical records zero-filled beyond the family's
 * bytes, ascending, pairwise disjoint, no two of them siblings; NULL when
 * count[f] is 0.  `hash` is -1 until first asked for, then fixed.  Nothing
 * else changes after construction, so the records may be read with the
 * lock released by anyone holding a reference.
 */
typedef struct {
  PyObject_HEAD
  tarn_prefix_t *parts[2];
  size_t count[2];
  Py_hash_t hash;
} PrefixSetObject;

/* Iterator over a PrefixSet's networks: the set (dropped once exhausted)
 * and the position of the next record, IPv4 records first. */
typedef struct {
  PyObject_HEAD
  PrefixSetObject *set;
  size_t next;
} PrefixSetIteratorObject;

extern PyTypeObject *prefixset_type;
extern PyType_Spec prefixset_spec;

/* bulk_union(a, b) and its three twins: the minimal cover of a <op> b, each
 * anything PrefixSet() takes, as a list of networks (IPv4 first, network
 * order). */
PyObject *pytarn_bulk_union(PyObject *module, PyObject *args);
PyObject *pytarn_bulk_intersection(PyObject *module, PyObject *args);
PyObject *pytarn_bulk_difference(PyObject *module, PyObject *args);
PyObject *pytarn_bulk_symmetric_difference(PyObject *module, PyObject *args);

/*
 * The prefix record of network text (prefixset.c): an address stands for its
 * host route; "address/length" is held to the network constructors' strict
 * rules (host bits refused; a decimal length, or for IPv4 a dotted netmask or
 * hostmask).  binding_prefix_from_text reads text[0..len), NUL-terminated at
 * len with no NUL before; binding_prefix_from_str reads a str.  Errors name
 * item `index` (ParseError, HostBitsError, PrefixLengthError).  0, or -1
 * with an exception.
 */
int binding_prefix_from_text(const char *text, size_t len, Py_ssize_t index, tarn_prefix_t *out);
int binding_prefix_from_str(PyObject *item, Py_ssize_t index, tarn_prefix_t *out);

/* summarize_address_range(first, last) and spanning_network(items). */
PyObject *pytarn_summarize_address_range(PyObject *module, PyObject *args);
PyObject *pytarn_spanning_network(PyObject *module, PyObject *items);

/* ---- pickle.c: compact, versioned object state ------------------------- */

/* The first byte of every pickled state; a type that changes its layout
 * bumps it and keeps reading the old value. */
#define BINDING_STATE_VERSION 1

/* __reduce__ of every type: (pytarn._restore, (type(self), state)), plus the
 * instance __dict__ of a subclass when it holds anything.  Steals `state`
 * (bytes beginning with BINDING_STATE_VERSION; NULL passes an error on). */
PyObject *binding_reduce(PyObject *self, PyObject *state);

/* __reduce_ex__(protocol) of the types pickled by the million (addresses
 * and networks): `reduce` (the type's __reduce__) straight away for an
 * object of the module's own type, saving object.__reduce_ex__'s look-up
 * of __reduce__; the subclass's own __reduce__ otherwise.  Every protocol
 * gets the same form. */
PyObject *binding_reduce_ex(PyObject *self, PyObject *(*reduce)(PyObject *, PyObject *));

/* __reduce_ex__(protocol) of a type whose state is large (the index): from
 * protocol 5 on, an object of the module's own type reduces with its state
 * wrapped in a pickle.PickleBuffer, which a pickler given a buffer_callback
 * (Dask's, say) hands over out of band, with no copy into the pickle; any
 * other pickler writes the bytes it wraps, as before.  Below protocol 5,
 * and for a subclass instance, as binding_reduce_ex.  `state_of` gives the
 * state (NULL passes an error on). */
PyObject *binding_reduce_ex_buffer(PyObject *self, PyObject *protocol,
                                   PyObject *(*reduce)(PyObject *, PyObject *),
                                   PyObject *(*state_of)(PyObject *));

/* binding_state_payload for a state that may come out of band: bytes, or
 * any contiguous buffer, viewed in *view (released by the caller when the
 * call succeeds; nothing to release when it fails). */
const uint8_t *binding_state_view(PyObject *state, const char *what, Py_buffer *view,
                                  Py_ssize_t *len);

/* The layout bytes after the version byte of `state`, their count in *len;
 * NULL with InvalidArgumentError "cannot restore <what>: ..." when state is
 * not bytes, empty or of another version.  Valid while state lives. */
const uint8_t *binding_state_payload(PyObject *state, const char *what, Py_ssize_t *len);

/* binding_state_payload for a layout of exactly `want` bytes; any other
 * count is InvalidArgumentError. */
const uint8_t *binding_state_exact(PyObject *state, const char *what, Py_ssize_t want);

/* Raise `exc` (a TARNError subclass) with the message "cannot restore
 * <what>: <format...>" (PyUnicode_FromFormat's directives).  Always -1. */
int binding_restore_error(PyObject *exc, const char *what, const char *format, ...);

/* A zero-filled instance of `cls` (one of the module's types or a Python
 * subclass) from the class's own tp_alloc, running no __new__ or __init__:
 * how every _from_state makes its object.  NULL with an exception. */
PyObject *binding_state_alloc(PyObject *cls);

/* Counts in a state are unsigned 64-bit little-endian, whatever the host. */
static inline uint64_t binding_state_load_u64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

static inline void binding_state_store_u64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; i++, v >>= 8) p[i] = (uint8_t)v;
}

/*
 * __copy__ and __deepcopy__(memo).  For an immutable type: the object
 * itself when its type is one of the module's own, else (a subclass
 * instance) a new object rebuilt from its __reduce__, its extra state
 * copied (deeply through the memo for __deepcopy__) and restored as pickle
 * restores it.  The _mutable pair always rebuilds (the iterators).
 */
PyObject *binding_copy(PyObject *self, PyObject *unused);
PyObject *binding_deepcopy(PyObject *self, PyObject *memo);
PyObject *binding_copy_mutable(PyObject *self, PyObject *unused);
PyObject *binding_deepcopy_mutable(PyObject *self, PyObject *memo);

/* The docstrings of the pickling and copy methods every type shares. */
#define BINDING_REDUCE_DOC "__reduce__($self, /)\n--\n\nThe object's pickled form."
#define BINDING_REDUCE_EX_DOC \
  "__reduce_ex__($self, protocol, /)\n--\n\nThe object's pickled form, for every protocol."
#define BINDING_FROM_STATE_DOC \
  "_from_state($cls, state, /)\n--\n\nRebuild an object from its pickled state (private)."
#define BINDING_COPY_DOC "__copy__($self, /)\n--\n\nA shallow copy."
#define BINDING_DEEPCOPY_DOC "__deepcopy__($self, memo, /)\n--\n\nA deep copy."

/* The method-table rows of the copy protocol, immutable or mutable (kept
 * out of the formatter, which would fold the two rows into one line). */
/* clang-format off */
#define BINDING_COPY_METHODS                                                 \
  {"__copy__", binding_copy, METH_NOARGS, BINDING_COPY_DOC},                 \
  {"__deepcopy__", binding_deepcopy, METH_O, BINDING_DEEPCOPY_DOC}
#define BINDING_COPY_METHODS_MUTABLE                                         \
  {"__copy__", binding_copy_mutable, METH_NOARGS, BINDING_COPY_DOC},         \
  {"__deepcopy__", binding_deepcopy_mutable, METH_O, BINDING_DEEPCOPY_DOC}
/* clang-format on */

/* pytarn._restore(cls, state, /): cls._from_state(state) for a class derived
 * from one of the module's types. */
PyObject *pytarn_restore(PyObject *module, PyObject *args);

/* Keep pytarn._restore (after the module's functions exist) / drop it. */
int binding_pickle_init(PyObject *module);
void binding_pickle_clear(void);

/* Whether `type` is one of the module's types or derived from one
 * (module.c). */
int binding_is_module_type(PyTypeObject *type);

/* ---- indexblob.c: a built PrefixIndex as bytes ------------------------- */

/* PrefixIndex methods: to_bytes(), the classmethod from_bytes(data) (any
 * contiguous buffer), __reduce__ and the classmethod _from_state(state).
 * Malformed bytes raise InvalidArgumentError naming what is wrong; a
 * destroyed index refuses to_bytes and pickling with "index has been
 * destroyed". */
PyObject *prefixindex_to_bytes(PyObject *self, PyObject *unused);
PyObject *prefixindex_from_bytes(PyObject *cls, PyObject *data);
PyObject *prefixindex_reduce(PyObject *self, PyObject *unused);
PyObject *prefixindex_reduce_ex(PyObject *self, PyObject *protocol);
PyObject *prefixindex_from_state(PyObject *cls, PyObject *state);

/* The rows of prefixindex_methods for the methods above and the copy
 * protocol (an index never changes, so an own-type index is its own copy). */
#define PREFIXINDEX_TO_BYTES_DOC                                                          \
  "to_bytes($self, /)\n--\n\nThe built index as a versioned, checksummed blob that "      \
  "from_bytes loads back without building it again: to cache an index in a file or ship " \
  "it to another process."
#define PREFIXINDEX_FROM_BYTES_DOC                                                         \
  "from_bytes($cls, data, /)\n--\n\nLoad an index that to_bytes wrote, from bytes or any " \
  "contiguous buffer. Every byte is checked: malformed or damaged data raises "            \
  "InvalidArgumentError."
#define PREFIXINDEX_BLOB_METHODS                                                               \
  {"to_bytes", prefixindex_to_bytes, METH_NOARGS, PREFIXINDEX_TO_BYTES_DOC},                   \
      {"from_bytes", prefixindex_from_bytes, METH_CLASS | METH_O, PREFIXINDEX_FROM_BYTES_DOC}, \
      {"__reduce__", prefixindex_reduce, METH_NOARGS, BINDING_REDUCE_DOC},                     \
      {"__reduce_ex__", prefixindex_reduce_ex, METH_O, BINDING_REDUCE_EX_DOC},                 \
      {"_from_state", prefixindex_from_state, METH_CLASS | METH_O, BINDING_FROM_STATE_DOC},    \
      BINDING_COPY_METHODS

#endif /* PYTARN_EXT_H */
