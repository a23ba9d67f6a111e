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

/* PrefixIndex: `index` is null once released; the other two never change. */
typedef struct {
  PyObject_HEAD
  tarn_index_t *index;
  tarn_family_t family;
  size_t prefix_count;
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
  tarn_addr_t *addrs;  /* malloc'ed, at least one record even when count 0 */
  uint8_t *validity;   /* malloc'ed or NULL */
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
  char *data;         /* malloc'ed, length * itemsize bytes (at least 1) */
  Py_ssize_t length;  /* items */
  Py_ssize_t itemsize;
  uint8_t *validity;  /* malloc'ed bitmap as in AddressArray, or NULL */
  Py_ssize_t null_count;
  Py_ssize_t shape;   /* == length; exported views point at shape/stride */
  Py_ssize_t stride;  /* == itemsize */
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
 * `context`, when not NULL, is the whole message instead of the default. */
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

/* New IPv4Address for family TARN_AF_INET, else IPv6Address; copies the
 * whole record; never runs a constructor, never makes a subclass. */
PyObject *binding_addr_to_pyobj(const tarn_addr_t *addr);

/* New IPv4Network for family TARN_AF_INET, else IPv6Network. */
PyObject *binding_prefix_to_pyobj(const tarn_prefix_t *prefix);

/* The dealloc of every type: frees through the type's own tp_free (right
 * for subclasses too), then drops the instance's reference to its heap
 * type. */
void binding_dealloc(PyObject *self);

/* The multiply-by-33 hash seeded with 5381 over family, address bytes and,
 * when with_pfxlen, the length; -1 becomes -2. */
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

PyObject *pytarn_bulk_parse(PyObject *module, PyObject *args);
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
  ARROW_COL_UTF8,        /* "u": int32 offsets + data */
  ARROW_COL_LARGE_UTF8,  /* "U": int64 offsets + data */
  ARROW_COL_UTF8_VIEW,   /* "vu": 16-byte views + variadic data buffers */
  ARROW_COL_FIXED4,      /* "w:4": 4-byte binary, read as packed IPv4 */
  ARROW_COL_FIXED16,     /* "w:16": 16-byte binary, read as packed IPv6 */
  ARROW_COL_NULL,        /* "n": every slot null */
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
                                                       const binding_arrow_chunk *c,
                                                       int64_t i) {
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

#endif /* PYTARN_EXT_H */
