/*
 * pytarn_ext.h - what the binding's files share.  Not installed.
 *
 * The binding uses the limited C API of Python 3.11 only (the build defines
 * Py_LIMITED_API = 0x030B0000), runs entirely under the interpreter's global
 * lock and never releases it.  Every core error becomes a Python exception
 * through tarn_set_python_error; every core record becomes a Python object
 * through binding_addr_to_pyobj / binding_prefix_to_pyobj.
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

/* ---- PyType_Spec tables, each defined beside its type ------------------- */

extern PyType_Spec ipv4address_spec;    /* address.c */
extern PyType_Spec ipv6address_spec;    /* address.c */
extern PyType_Spec ipv4network_spec;    /* network.c */
extern PyType_Spec ipv6network_spec;    /* network.c */
extern PyType_Spec subnetiterator_spec; /* network.c */
extern PyType_Spec prefixindex_spec;    /* prefixindex.c */

/* ---- module.c: errors, factories, shared slots ------------------------- */

/* 0 for TARN_OK (indicator untouched); otherwise raises and returns -1.
 * `context`, when not NULL, is the whole message instead of the default. */
int tarn_set_python_error(tarn_err_t rc, const char *context);

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
