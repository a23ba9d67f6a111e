/*
 * module.c - the frame of the pytarn extension module: initialisation, the
 * exception classes, the integer constants, the heap types, the single
 * mapping from tarn_err_t to a Python exception, the factories that wrap
 * core records, and the dealloc and hash shared by every type.
 *
 * State lives in file-level globals, set once by PyInit_pytarn and never
 * released on success.  The binding reaches its classes and types only
 * through these globals, so rebinding a module attribute from Python
 * changes nothing inside the binding.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "pytarn_ext.h"

PyObject *pytarn_TARNError = NULL;
PyObject *pytarn_ParseError = NULL;
PyObject *pytarn_HostBitsError = NULL;
PyObject *pytarn_PrefixLengthError = NULL;
PyObject *pytarn_InvalidArgumentError = NULL;
PyObject *pytarn_FamilyError = NULL;
PyObject *pytarn_AddressOverflowError = NULL;

PyTypeObject *ipv4address_type = NULL;
PyTypeObject *ipv6address_type = NULL;
PyTypeObject *ipv4network_type = NULL;
PyTypeObject *ipv6network_type = NULL;
PyTypeObject *prefixindex_type = NULL;
PyTypeObject *subnetiterator_type = NULL;
PyTypeObject *addressarray_type = NULL;
PyTypeObject *resultbuffer_type = NULL;

/* ---- error mapping ------------------------------------------------------ */

int tarn_set_python_error(tarn_err_t rc, const char *context) {
  PyObject *exc;
  const char *text;

  /* Compared as unsigned so that a negative code lands in the default arm
   * rather than matching nothing by accident. */
  switch ((uint32_t)rc) {
    case (uint32_t)TARN_OK:
      return 0;
    case (uint32_t)TARN_ERR_INVAL:
      exc = pytarn_InvalidArgumentError;
      text = "invalid argument";
      break;
    case (uint32_t)TARN_ERR_PARSE:
      exc = pytarn_ParseError;
      text = "parse error";
      break;
    case (uint32_t)TARN_ERR_PFXLEN:
      exc = pytarn_PrefixLengthError;
      text = "prefix length out of range";
      break;
    case (uint32_t)TARN_ERR_HOSTBITS:
      exc = pytarn_HostBitsError;
      text = "host bits set in prefix";
      break;
    case (uint32_t)TARN_ERR_NOMEM:
      PyErr_NoMemory();
      return -1;
    case (uint32_t)TARN_ERR_FAMILY:
      exc = pytarn_FamilyError;
      text = "address family mismatch";
      break;
    case (uint32_t)TARN_ERR_OVERFLOW:
      exc = pytarn_AddressOverflowError;
      text = "result not representable";
      break;
    default:
      /* TARN_ERR_DONE included: the iterator handles it before mapping. */
      PyErr_Format(PyExc_RuntimeError, "unexpected tarn_err_t value: %d", (int)rc);
      return -1;
  }
  if (context == NULL) {
    PyErr_SetString(exc, text);
    return -1;
  }
  /* The user's text is the whole message, as always; the instance also
   * carries it, and the code's short reason, as attributes. */
  PyObject *err = PyObject_CallFunction(exc, "s", context);
  if (err == NULL) return -1;
  if (binding_set_error_attrs(err, Py_None, context, strlen(context), text) == 0)
    PyErr_SetObject(exc, err);
  Py_DECREF(err);
  return -1;
}

int binding_set_error_attrs(PyObject *err, PyObject *index, const char *text, size_t len,
                            const char *reason) {
  PyObject *text_obj = PyUnicode_DecodeUTF8(text, (Py_ssize_t)len, "backslashreplace");
  PyObject *reason_obj = PyUnicode_FromString(reason);
  int rc = -1;
  if (text_obj != NULL && reason_obj != NULL && PyObject_SetAttrString(err, "index", index) == 0 &&
      PyObject_SetAttrString(err, "text", text_obj) == 0 &&
      PyObject_SetAttrString(err, "reason", reason_obj) == 0)
    rc = 0;
  Py_XDECREF(text_obj);
  Py_XDECREF(reason_obj);
  return rc;
}

int binding_raise_item_error(PyObject *exc, const char *what, Py_ssize_t index, const char *text,
                             size_t len, const char *reason) {
  PyObject *text_obj = PyUnicode_DecodeUTF8(text, (Py_ssize_t)len, "backslashreplace");
  if (text_obj == NULL) return -1;
  PyObject *msg = index >= 0 ? PyUnicode_FromFormat("%s at index %zd: %R", what, index, text_obj)
                             : PyUnicode_FromFormat("%s: %R", what, text_obj);
  Py_DECREF(text_obj);
  PyObject *index_obj = index >= 0 ? PyLong_FromSsize_t(index) : (Py_INCREF(Py_None), Py_None);
  PyObject *err = NULL;
  if (msg != NULL && index_obj != NULL) err = PyObject_CallFunctionObjArgs(exc, msg, NULL);
  if (err != NULL) {
    if (binding_set_error_attrs(err, index_obj, text, len, reason) == 0) PyErr_SetObject(exc, err);
    Py_DECREF(err);
  }
  Py_XDECREF(msg);
  Py_XDECREF(index_obj);
  return -1;
}

/* ---- factories ---------------------------------------------------------- */

/* Blocks from this size up are backed by huge pages where the system
 * offers them on request. */
#define HUGE_BLOCK (4u << 20)

/*
 * `bytes` zero-filled bytes (at least one), or NULL.  calloc takes large
 * blocks straight from fresh zeroed pages, so the zero fill costs nothing
 * beyond the first touch the caller's fill makes anyway; but a column's
 * blocks run to hundreds of megabytes, and faulting those in 4 KiB at a
 * time is a good part of the cost of filling them.  So, like numpy for its
 * large arrays, ask Linux for transparent huge pages over the whole pages
 * of a large block (a hint: refused or unsupported, the block works the
 * same).  Freed with free().
 */
void *binding_calloc_large(size_t bytes) {
  void *block = calloc(1, bytes == 0 ? 1 : bytes);
#if defined(MADV_HUGEPAGE)
  if (block != NULL && bytes >= HUGE_BLOCK) {
    uintptr_t start = ((uintptr_t)block + 4095) & ~(uintptr_t)4095;
    uintptr_t end = ((uintptr_t)block + bytes) & ~(uintptr_t)4095;
    (void)madvise((void *)start, end - start, MADV_HUGEPAGE);
  }
#endif
  return block;
}

/* An instance of exactly `type` (one of our base address or network types,
 * never a subclass) of `size` bytes, zero-filled, without running the type's
 * constructor.  These types hold no references and are not tracked by the
 * collector, so an instance is object-allocator memory with its header
 * initialised: what the generic allocator makes of them, without its size
 * and flag checks, on the path of every object an iterator or a query hands
 * out.  Their tp_free is PyObject_Free, which takes this memory back. */
static PyObject *new_base_instance(PyTypeObject *type, size_t size) {
  PyObject *obj = PyObject_Malloc(size);
  if (obj == NULL) return PyErr_NoMemory();
  memset(obj, 0, size);
  return PyObject_Init(obj, type);
}

PyObject *binding_addr_to_pyobj(const tarn_addr_t *addr) {
  PyTypeObject *type = addr->family == TARN_AF_INET ? ipv4address_type : ipv6address_type;
  PyObject *obj = new_base_instance(type, sizeof(AddressObject));
  if (obj != NULL) ((AddressObject *)obj)->addr = *addr;
  return obj;
}

PyObject *binding_prefix_to_pyobj(const tarn_prefix_t *prefix) {
  PyTypeObject *type = prefix->addr.family == TARN_AF_INET ? ipv4network_type : ipv6network_type;
  PyObject *obj = new_base_instance(type, sizeof(NetworkObject));
  if (obj != NULL) ((NetworkObject *)obj)->prefix = *prefix;
  return obj;
}

/* ---- slots shared by every type ----------------------------------------- */

/*
 * Instances of Python subclasses carry a GC header in front of the object,
 * so the memory must go back through the allocator that made it: the
 * instance type's own tp_free (PyObject_Free for our base types,
 * PyObject_GC_Del for a GC subclass).  The reference the instance holds on
 * its heap type is dropped last, after the type's slot has been read.
 */
void binding_dealloc(PyObject *self) {
  PyTypeObject *tp = Py_TYPE(self);
  /* The base address and network types, whose instances queries and
   * iterators make by the million, set no tp_free of their own: theirs is
   * PyObject_Free, called here without the slot lookup. */
  if (tp == ipv4address_type || tp == ipv6address_type || tp == ipv4network_type ||
      tp == ipv6network_type) {
    PyObject_Free(self);
  } else {
    freefunc tp_free = (freefunc)PyType_GetSlot(tp, Py_tp_free);
    tp_free(self);
  }
  Py_DECREF(tp);
}

/*
 * The hash of every address, network and interface: SipHash-1-3 (the
 * interpreter's own hash for str and bytes, Aumasson and Bernstein 2012)
 * over at most 18 bytes: the family tag, the 4 or 16 address bytes and,
 * for networks and interfaces, the length.
 *
 * The 128-bit key is derived once at import from the interpreter's own
 * randomised hash of two fixed byte strings, so a set of addresses chosen
 * to collide in one process collides nowhere else, while PYTHONHASHSEED
 * still makes a run reproducible.  Only the significant bytes enter (4 for
 * IPv4), so equal objects hash equally whatever the unused bytes hold.
 */
static uint64_t hash_k0, hash_k1;

int binding_hash_init(void) {
  static const char *const seeds[2] = {"pytarn address hash, key word 0",
                                       "pytarn address hash, key word 1"};
  uint64_t *words[2] = {&hash_k0, &hash_k1};
  for (int i = 0; i < 2; i++) {
    PyObject *b = PyBytes_FromString(seeds[i]);
    if (b == NULL) return -1;
    Py_hash_t h = PyObject_Hash(b);
    Py_DECREF(b);
    if (h == -1) return -1;
    *words[i] = (uint64_t)h;
  }
  return 0;
}

#define SIP_ROTL(x, b) (uint64_t)(((x) << (b)) | ((x) >> (64 - (b))))
#define SIP_ROUND(v0, v1, v2, v3) \
  do {                            \
    v0 += v1;                     \
    v1 = SIP_ROTL(v1, 13);        \
    v1 ^= v0;                     \
    v0 = SIP_ROTL(v0, 32);        \
    v2 += v3;                     \
    v3 = SIP_ROTL(v3, 16);        \
    v3 ^= v2;                     \
    v0 += v3;                     \
    v3 = SIP_ROTL(v3, 21);        \
    v3 ^= v0;                     \
    v2 += v1;                     \
    v1 = SIP_ROTL(v1, 17);        \
    v1 ^= v2;                     \
    v2 = SIP_ROTL(v2, 32);        \
  } while (0)

/* SipHash-1-3 of m[0..len): one compression round per 8-byte word (read
 * little-endian), the last word carrying the length in its top byte, three
 * finalisation rounds. */
static uint64_t siphash13(uint64_t k0, uint64_t k1, const uint8_t *m, size_t len) {
  uint64_t v0 = k0 ^ UINT64_C(0x736f6d6570736575);
  uint64_t v1 = k1 ^ UINT64_C(0x646f72616e646f6d);
  uint64_t v2 = k0 ^ UINT64_C(0x6c7967656e657261);
  uint64_t v3 = k1 ^ UINT64_C(0x7465646279746573);
  size_t full = len & ~(size_t)7;
  for (size_t i = 0; i < full; i += 8) {
    uint64_t w = 0;
    for (int j = 7; j >= 0; j--) w = (w << 8) | m[i + (size_t)j];
    v3 ^= w;
    SIP_ROUND(v0, v1, v2, v3);
    v0 ^= w;
  }
  uint64_t last = (uint64_t)len << 56;
  for (size_t j = 0; j < len - full; j++) last |= (uint64_t)m[full + j] << (8 * j);
  v3 ^= last;
  SIP_ROUND(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xff;
  SIP_ROUND(v0, v1, v2, v3);
  SIP_ROUND(v0, v1, v2, v3);
  SIP_ROUND(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

Py_hash_t binding_hash(tarn_family_t family, const uint8_t *bytes, size_t len, int with_pfxlen,
                       uint8_t pfxlen) {
  uint8_t msg[18];
  size_t n = 0;
  msg[n++] = (uint8_t)family;
  if (len > 16) len = 16;
  memcpy(msg + n, bytes, len);
  n += len;
  if (with_pfxlen) msg[n++] = pfxlen;
  Py_hash_t out = (Py_hash_t)siphash13(hash_k0, hash_k1, msg, n);
  /* -1 signals an error to the interpreter. */
  return out == -1 ? -2 : out;
}

/* ---- module definition -------------------------------------------------- */

static PyMethodDef pytarn_methods[] = {
    {"bulk_parse", (PyCFunction)(void (*)(void))pytarn_bulk_parse, METH_VARARGS | METH_KEYWORDS,
     "bulk_parse(srcs, /, *, errors='raise')\n--\n\n"
     "bulk_parse(srcs) -> list\n\nParse a list of address strings. All items are attempted; "
     "failed items appear as None. Raises ParseError or FamilyError after the full batch "
     "completes."},
    {"bulk_contains", pytarn_bulk_contains, METH_VARARGS,
     "bulk_contains(addrs, prefixes) -> list\n\nFor each address, return the index of the first "
     "matching prefix, or -1 if no prefix matched."},
    {"bulk_aggregate", pytarn_bulk_aggregate, METH_VARARGS,
     "bulk_aggregate(prefixes) -> list\n\nAggregate a list of networks to a minimal covering "
     "set. Returns a new list; the input is not modified."},
    {"bulk_sort", pytarn_bulk_sort, METH_VARARGS,
     "bulk_sort(prefixes, order) -> list\n\nSort a list of networks in the specified order "
     "(SORT_NETWORK_ASC or SORT_PFXLEN_DESC). Returns a new list; the input is not modified."},
    {"bulk_contains_packed", pytarn_bulk_contains_packed, METH_VARARGS,
     "bulk_contains_packed(mv, prefixes, family) -> list\n\nAccept a memoryview of packed "
     "binary address data and return match indices against a prefix list. The memoryview must "
     "be 1-dimensional, C-contiguous, with element size 4 (AF_INET) or 16 (AF_INET6)."},
    {"bulk_contains_array", pytarn_bulk_contains_array, METH_VARARGS,
     "bulk_contains_array(values, networks) -> ResultBuffer\n\nFor each address of a column "
     "(an AddressArray, or anything AddressArray() accepts), the position of the first network "
     "in list order that contains it, or -1, as an int64 ResultBuffer. The networks may mix "
     "IPv4 and IPv6; each address is matched against those of its own family. Null addresses "
     "stay null (-1 in the buffer)."},
    {"ip_address", pytarn_ip_address, METH_O,
     "ip_address(address, /)\n--\n\nAn IPv4Address or IPv6Address from text, an integer (IPv4 "
     "when it fits 32 bits), packed bytes (4 or 16) or an address object."},
    {"ip_network", (PyCFunction)(void (*)(void))pytarn_ip_network, METH_VARARGS | METH_KEYWORDS,
     "ip_network(address, /, strict=True)\n--\n\nAn IPv4Network or IPv6Network from text, an "
     "(address, prefixlen) tuple or a network object; any address form gives its host route."},
    {"ip_interface", pytarn_ip_interface, METH_O,
     "ip_interface(address, /)\n--\n\nAn IPv4Interface or IPv6Interface from "
     "'address/length' text, an (address, prefixlen) tuple or any address form."},
    {"get_mixed_type_key", pytarn_get_mixed_type_key, METH_O,
     "get_mixed_type_key(obj, /)\n--\n\nA sort key that orders addresses, interfaces and "
     "networks of both families together (IPv4 first), as ipaddress.get_mixed_type_key does; "
     "NotImplemented for any other object."},
    {"bulk_union", pytarn_bulk_union, METH_VARARGS,
     "bulk_union(a, b, /)\n--\n\nThe addresses in a or b (each anything PrefixSet() takes) as "
     "their minimal cover: a list of networks, IPv4 first, in network order."},
    {"bulk_intersection", pytarn_bulk_intersection, METH_VARARGS,
     "bulk_intersection(a, b, /)\n--\n\nThe addresses in both a and b (each anything "
     "PrefixSet() takes) as their minimal cover: a list of networks, IPv4 first, in network "
     "order."},
    {"bulk_difference", pytarn_bulk_difference, METH_VARARGS,
     "bulk_difference(a, b, /)\n--\n\nThe addresses in a but not in b (each anything "
     "PrefixSet() takes) as their minimal cover: a list of networks, IPv4 first, in network "
     "order."},
    {"bulk_symmetric_difference", pytarn_bulk_symmetric_difference, METH_VARARGS,
     "bulk_symmetric_difference(a, b, /)\n--\n\nThe addresses in exactly one of a and b (each "
     "anything PrefixSet() takes) as their minimal cover: a list of networks, IPv4 first, in "
     "network order."},
    {"summarize_address_range", pytarn_summarize_address_range, METH_VARARGS,
     "summarize_address_range(first, last, /)\n--\n\nThe fewest networks covering the addresses "
     "first through last (inclusive; addresses or their text, one family, first <= last), as "
     "an ascending list."},
    {"spanning_network", pytarn_spanning_network, METH_O,
     "spanning_network(items, /)\n--\n\nThe smallest network containing every address of the "
     "items (anything PrefixSet() takes), all of one family."},
    {"_restore", pytarn_restore, METH_VARARGS,
     "_restore(cls, state, /)\n--\n\nRebuild a pickled pytarn object of class cls from its "
     "state (what __reduce__ gives pickle)."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef pytarn_module = {
    PyModuleDef_HEAD_INIT,
    "pytarn",
    "IPv4/IPv6 address arithmetic and CIDR manipulation",
    -1, /* no per-module state: it lives in the globals above */
    pytarn_methods,
    NULL,
    NULL,
    NULL,
    NULL,
};

/* ---- initialisation tables ---------------------------------------------- */

/* The derived exception classes, created in this order after TARNError;
 * each has bases (TARNError, *builtin). */
static const struct {
  const char *dotted;
  const char *doc;
  PyObject **builtin;
  PyObject **global;
} derived_errors[] = {
    {"pytarn.ParseError",
     "Raised when an address or prefix string does not parse per the applicable RFC.",
     &PyExc_ValueError, &pytarn_ParseError},
    {"pytarn.HostBitsError", "Raised when host bits are set in a strict prefix parse.",
     &PyExc_ValueError, &pytarn_HostBitsError},
    {"pytarn.PrefixLengthError",
     "Raised when a prefix length is outside the valid range for the address family.",
     &PyExc_ValueError, &pytarn_PrefixLengthError},
    {"pytarn.InvalidArgumentError",
     "Raised when an invalid argument is passed (NULL pointer, buffer too small, etc.).",
     &PyExc_ValueError, &pytarn_InvalidArgumentError},
    {"pytarn.FamilyError", "Raised when an address family mismatch is detected (IPv4 vs IPv6).",
     &PyExc_TypeError, &pytarn_FamilyError},
    {"pytarn.AddressOverflowError",
     "Raised when a result is not representable (e.g. supernet of /0).", &PyExc_OverflowError,
     &pytarn_AddressOverflowError},
};

/* Integer constants, added in this order. */
static const struct {
  const char *name;
  long value;
} int_constants[] = {
    {"AF_INET", TARN_AF_INET},
    {"AF_INET6", TARN_AF_INET6},
    {"SORT_NETWORK_ASC", TARN_SORT_NETWORK_ASC},
    {"SORT_PFXLEN_DESC", TARN_SORT_PFXLEN_DESC},
    {"TARN_IANA_SNAPSHOT", TARN_IANA_SNAPSHOT},
    {"TARN_CLASS_GLOBAL", TARN_CLASS_GLOBAL},
    {"TARN_CLASS_THIS_HOST", TARN_CLASS_THIS_HOST},
    {"TARN_CLASS_PRIVATE", TARN_CLASS_PRIVATE},
    {"TARN_CLASS_SHARED", TARN_CLASS_SHARED},
    {"TARN_CLASS_LOOPBACK", TARN_CLASS_LOOPBACK},
    {"TARN_CLASS_LINK_LOCAL", TARN_CLASS_LINK_LOCAL},
    {"TARN_CLASS_IETF_RESERVED", TARN_CLASS_IETF_RESERVED},
    {"TARN_CLASS_DOCUMENTATION", TARN_CLASS_DOCUMENTATION},
    {"TARN_CLASS_6TO4_RELAY", TARN_CLASS_6TO4_RELAY},
    {"TARN_CLASS_BENCHMARKING", TARN_CLASS_BENCHMARKING},
    {"TARN_CLASS_RESERVED", TARN_CLASS_RESERVED},
    {"TARN_CLASS_BROADCAST", TARN_CLASS_BROADCAST},
    {"TARN_CLASS_UNSPECIFIED", TARN_CLASS_UNSPECIFIED},
    {"TARN_CLASS_V4MAPPED", TARN_CLASS_V4MAPPED},
    {"TARN_CLASS_V4TRANSLATED", TARN_CLASS_V4TRANSLATED},
    {"TARN_CLASS_DISCARD", TARN_CLASS_DISCARD},
    {"TARN_CLASS_UNIQUE_LOCAL", TARN_CLASS_UNIQUE_LOCAL},
    {"TARN_CLASS_MULTICAST", TARN_CLASS_MULTICAST},
    {"TARN_CLASS_ANYCAST", TARN_CLASS_ANYCAST},
    {"TARN_CLASS_TEREDO", TARN_CLASS_TEREDO},
    {"TARN_CLASS_6TO4", TARN_CLASS_6TO4},
    {"TARN_CLASS_ORCHID", TARN_CLASS_ORCHID},
    {"TARN_CLASS_SRV6", TARN_CLASS_SRV6},
};

/* The types, created in this order (a type's base, binding_spec_base, is
 * made before it). */
static const struct {
  const char *name;
  PyType_Spec *spec;
  PyTypeObject **global;
} module_types[] = {
    {"IPv4Address", &ipv4address_spec, &ipv4address_type},
    {"IPv6Address", &ipv6address_spec, &ipv6address_type},
    {"IPv4Network", &ipv4network_spec, &ipv4network_type},
    {"IPv6Network", &ipv6network_spec, &ipv6network_type},
    {"PrefixIndex", &prefixindex_spec, &prefixindex_type},
    {"SubnetIterator", &subnetiterator_spec, &subnetiterator_type},
    {"AddressArray", &addressarray_spec, &addressarray_type},
    {"ResultBuffer", &resultbuffer_spec, &resultbuffer_type},
    {"AddressIterator", &addressiterator_spec, &addressiterator_type},
    {"IPv4Interface", &ipv4interface_spec, &ipv4interface_type},
    {"IPv6Interface", &ipv6interface_spec, &ipv6interface_type},
    {"PrefixSet", &prefixset_spec, &prefixset_type},
};

#define COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

int binding_is_module_type(PyTypeObject *type) {
  for (size_t i = 0; i < COUNT_OF(module_types); i++) {
    PyTypeObject *t = *module_types[i].global;
    if (t != NULL && PyType_IsSubtype(type, t)) return 1;
  }
  return 0;
}

/* Drop every global set so far, in creation order, leaving all NULL. */
static void release_globals(void) {
  binding_pickle_clear();
  Py_CLEAR(pytarn_TARNError);
  for (size_t i = 0; i < COUNT_OF(derived_errors); i++) Py_CLEAR(*derived_errors[i].global);
  for (size_t i = 0; i < COUNT_OF(module_types); i++) Py_CLEAR(*module_types[i].global);
}

/* Create one exception class, add it to the module and keep a reference of
 * our own in *global.  0, or -1 with the interpreter's exception. */
static int add_exception(PyObject *module, const char *dotted, const char *doc, PyObject *base,
                         PyObject **global) {
  PyObject *cls = PyErr_NewExceptionWithDoc(dotted, doc, base, NULL);
  if (cls == NULL) return -1;
  /* The short name is what follows "pytarn.". */
  const char *short_name = dotted + sizeof("pytarn.") - 1;
  if (PyModule_AddObjectRef(module, short_name, cls) < 0) {
    Py_DECREF(cls);
    return -1;
  }
  *global = cls;
  return 0;
}

/*
 * Import of the module, in this order; each step runs only when all earlier
 * ones succeeded, and any failure releases everything made so far:
 *   1. the module itself;
 *   2. TARNError (base Exception), then the six derived classes, each with
 *      bases (TARNError, builtin);
 *   3. the integer constants;
 *   4. the heap types from their specs.
 */
PyMODINIT_FUNC PyInit_pytarn(void) {
  PyObject *module = PyModule_Create2(&pytarn_module, 3);
  if (module == NULL) return NULL;

  if (add_exception(module, "pytarn.TARNError", "Base exception for all pytarn errors.",
                    PyExc_Exception, &pytarn_TARNError) < 0)
    goto fail;
  /* What failed, when a user's text did: set on the instance by the raiser,
   * None (from the class) otherwise, so the attributes always exist. */
  static const char *const item_attrs[] = {"text", "reason", "index"};
  for (size_t i = 0; i < COUNT_OF(item_attrs); i++)
    if (PyObject_SetAttrString(pytarn_TARNError, item_attrs[i], Py_None) < 0) goto fail;

  for (size_t i = 0; i < COUNT_OF(derived_errors); i++) {
    PyObject *bases = PyTuple_Pack(2, pytarn_TARNError, *derived_errors[i].builtin);
    if (bases == NULL) goto fail;
    int rc = add_exception(module, derived_errors[i].dotted, derived_errors[i].doc, bases,
                           derived_errors[i].global);
    Py_DECREF(bases);
    if (rc < 0) goto fail;
  }

  if (PyModule_AddStringConstant(module, "__version__", TARN_VERSION_STRING) < 0) goto fail;
  if (binding_hash_init() < 0) goto fail;

  for (size_t i = 0; i < COUNT_OF(int_constants); i++) {
    if (PyModule_AddIntConstant(module, int_constants[i].name, int_constants[i].value) < 0)
      goto fail;
  }

  for (size_t i = 0; i < COUNT_OF(module_types); i++) {
    PyObject *base = binding_spec_base(module_types[i].spec);
    PyObject *type = base != NULL ? PyType_FromSpecWithBases(module_types[i].spec, base)
                                  : PyType_FromSpec(module_types[i].spec);
    if (type == NULL) goto fail;
    *module_types[i].global = (PyTypeObject *)type;
    if (PyModule_AddObjectRef(module, module_types[i].name, type) < 0) goto fail;
  }
  if (binding_pickle_init(module) < 0) goto fail;

  return module;

fail:
  release_globals();
  Py_DECREF(module);
  return NULL;
}
