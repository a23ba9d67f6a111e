/*
 * network.c - IPv4Network, IPv6Network and SubnetIterator.
 *
 * A network object wraps one tarn_prefix_t of its type's family.  Every
 * object this file builds is canonical: the length is within the family's
 * range and the address bits after it are clear, whichever constructor form
 * made it.  The two network types are twins: each slot and method is a thin
 * per-type wrapper that hands the type's family to one shared routine.
 *
 * A SubnetIterator owns a copy of the core's enumeration record and keeps
 * no reference to the network that made it; it is created only by
 * subnets(), never by calling its type.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "pytarn_ext.h"

/* Longest address part the lenient split accepts (the core's own limit for
 * the address part of prefix text), and its buffer with the NUL. */
#define NETWORK_ADDR_PART_MAX 45
#define NETWORK_ADDR_PART_BUF (NETWORK_ADDR_PART_MAX + 1)

static const char *const family_mismatch_msg = "address family mismatch";

static unsigned network_max_len(tarn_family_t family) {
  return family == TARN_AF_INET ? 32u : 128u;
}

static const char *network_type_name(tarn_family_t family) {
  return family == TARN_AF_INET ? "IPv4Network" : "IPv6Network";
}

static int raise_family_mismatch(void) {
  PyErr_SetString(pytarn_FamilyError, family_mismatch_msg);
  return -1;
}

/* ---- construction ------------------------------------------------------- */

/*
 * The record for `addr` (already of the expected family) and a length the
 * caller read as a C long: shared by the tuple and attribute forms.
 * strict true refuses set host bits; strict false clears them.
 */
static int network_from_addr_and_len(const tarn_addr_t *addr, long len, tarn_family_t family,
                                     int strict, tarn_prefix_t *out) {
  if (len < 0 || len > (long)network_max_len(family)) {
    PyErr_SetString(pytarn_PrefixLengthError, "prefix length out of range");
    return -1;
  }
  tarn_prefix_t masked;
  memset(&masked, 0, sizeof masked);
  if (tarn_set_python_error(tarn_prefix_from_host(addr, (uint8_t)len, &masked), NULL) < 0) {
    return -1;
  }
  if (strict && memcmp(masked.addr.addr.v6, addr->addr.v6, binding_addr_len(family)) != 0) {
    PyErr_SetString(pytarn_HostBitsError, "host bits set in prefix");
    return -1;
  }
  *out = masked;
  return 0;
}

/* Strict text: the whole text goes to the core parser, and any refusal
 * carries the caller's text as its message. */
static int network_from_text_strict(const char *text, tarn_family_t family, tarn_prefix_t *out) {
  tarn_prefix_t parsed;
  memset(&parsed, 0, sizeof parsed);
  if (tarn_set_python_error(tarn_prefix_parse(text, &parsed), text) < 0) {
    return -1;
  }
  if (parsed.addr.family != family) {
    return raise_family_mismatch();
  }
  *out = parsed;
  return 0;
}

/*
 * Lenient text, split here rather than in the core:
 *  1. the last '/' separates address and length;
 *  2. the address part (at most 45 bytes) must parse, and its parse error
 *     carries the address part alone;
 *  3. the length is read by strtol in base 10 and must consume at least one
 *     digit and the rest of the text.  strtol's own leniency is kept on
 *     purpose (leading white space, a sign: "+8", " 8" and "-0" read as 8, 8
 *     and 0), but a length with no digits at all, empty text included, is
 *     malformed rather than /0;
 *  4. host bits are cleared by tarn_prefix_from_host.
 * The caller has already refused text with a NUL character, so the C string
 * functions see the caller's whole text.
 */
static int network_from_text_lenient(const char *text, tarn_family_t family, tarn_prefix_t *out) {
  const char *slash = strrchr(text, '/');
  if (slash == NULL) {
    PyErr_SetString(pytarn_ParseError, "missing '/' in CIDR notation");
    return -1;
  }
  size_t addr_part_len = (size_t)(slash - text);
  if (addr_part_len > NETWORK_ADDR_PART_MAX) {
    PyErr_SetString(pytarn_ParseError, "address part too long");
    return -1;
  }
  char addr_part[NETWORK_ADDR_PART_BUF];
  memcpy(addr_part, text, addr_part_len);
  addr_part[addr_part_len] = '\0';

  tarn_addr_t addr;
  memset(&addr, 0, sizeof addr);
  if (tarn_set_python_error(tarn_addr_parse(addr_part, &addr), addr_part) < 0) {
    return -1;
  }
  if (addr.family != family) {
    return raise_family_mismatch();
  }

  const char *len_text = slash + 1;
  char *end = NULL;
  errno = 0;
  long len = strtol(len_text, &end, 10);
  if (end == len_text || *end != '\0' || errno == ERANGE || len < 0 ||
      len > (long)network_max_len(family)) {
    PyErr_SetString(pytarn_PrefixLengthError, "invalid prefix length");
    return -1;
  }
  return tarn_set_python_error(tarn_prefix_from_host(&addr, (uint8_t)len, out), NULL);
}

/* The address item of the tuple form: text, or an address object of the
 * expected family. */
static int network_tuple_addr(PyObject *item, tarn_family_t family, tarn_addr_t *addr) {
  if (PyUnicode_Check(item)) {
    return binding_string_to_addr(item, addr, family);
  }
  int is_v4 = binding_is_ipv4address(item);
  if (is_v4 || binding_is_ipv6address(item)) {
    if ((is_v4 ? TARN_AF_INET : TARN_AF_INET6) != family) {
      return raise_family_mismatch();
    }
    *addr = ((AddressObject *)item)->addr;
    return 0;
  }
  PyErr_SetString(PyExc_TypeError, "address string or address object expected");
  return -1;
}

static int network_from_tuple(PyObject *value, tarn_family_t family, int strict,
                              tarn_prefix_t *out) {
  PyObject *addr_item;
  PyObject *len_item;
  /* Reads the tuple's own storage: overridden __len__/__getitem__ of a
   * subclass are not consulted.  Another item count raises TypeError. */
  if (!PyArg_ParseTuple(value, "OO", &addr_item, &len_item)) {
    return -1;
  }
  tarn_addr_t addr;
  if (network_tuple_addr(addr_item, family, &addr) < 0) {
    return -1;
  }
  long len = PyLong_AsLong(len_item);
  if (len == -1 && PyErr_Occurred()) {
    return -1;
  }
  return network_from_addr_and_len(&addr, len, family, strict, out);
}

/* The address bytes of `network_address.packed`: exactly 4 or 16 bytes of
 * a bytes object (its own size; a subclass's __len__ is not consulted). */
static int network_packed_to_addr(PyObject *packed, tarn_family_t family, tarn_addr_t *addr) {
  if (!PyBytes_Check(packed)) {
    PyErr_SetString(PyExc_TypeError, "'network_address.packed' is not bytes");
    return -1;
  }
  size_t want = binding_addr_len(family);
  if ((size_t)PyBytes_Size(packed) != want) {
    return raise_family_mismatch();
  }
  const char *bytes = PyBytes_AsString(packed);
  if (bytes == NULL) {
    return -1;
  }
  memset(addr, 0, sizeof *addr);
  addr->family = family;
  memcpy(addr->addr.v6, bytes, want);
  return 0;
}

/*
 * Any other object: a foreign network (the standard library's, or ours)
 * described by `network_address.packed` and `prefixlen`.  Only a missing
 * `network_address` (AttributeError) turns into "not an ipaddress object";
 * every other failure of the look-ups is the caller's and propagates.  The
 * length and host bits are held to the same rules as the tuple form, so a
 * lying object cannot plant a non-canonical record.
 */
static int network_from_attributes(PyObject *value, tarn_family_t family, int strict,
                                   tarn_prefix_t *out) {
  PyObject *net_addr = PyObject_GetAttrString(value, "network_address");
  if (net_addr == NULL) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot construct %s from non-ipaddress object",
                   network_type_name(family));
    }
    return -1;
  }
  PyObject *packed = PyObject_GetAttrString(net_addr, "packed");
  Py_DECREF(net_addr);
  if (packed == NULL) {
    return -1;
  }
  tarn_addr_t addr;
  int rc = network_packed_to_addr(packed, family, &addr);
  Py_DECREF(packed);
  if (rc < 0) {
    return -1;
  }

  PyObject *len_obj = PyObject_GetAttrString(value, "prefixlen");
  if (len_obj == NULL) {
    return -1;
  }
  long len = PyLong_AsLong(len_obj);
  Py_DECREF(len_obj);
  if (len == -1 && PyErr_Occurred()) {
    return -1;
  }
  return network_from_addr_and_len(&addr, len, family, strict, out);
}

/*
 * Build the record for `value` of the expected family.  The argument's kind
 * is decided by its type flags, in this order: text, tuple, then anything
 * with `network_address` and `prefixlen`; subclasses of str and tuple count
 * as str and tuple.  Returns 0, or -1 with an exception set; `out` is
 * written only on success.
 */
static int network_construct_impl(PyObject *value, tarn_family_t family, int strict,
                                  tarn_prefix_t *out) {
  if (PyUnicode_Check(value)) {
    Py_ssize_t text_len;
    /* Refuses a NUL character (ParseError with the caller's whole text) and
     * lone surrogates (the interpreter's UnicodeEncodeError).  The text is
     * cached in `value` and needs no release. */
    const char *text = binding_text_utf8(value, &text_len);
    if (text == NULL) {
      return -1;
    }
    return strict ? network_from_text_strict(text, family, out)
                  : network_from_text_lenient(text, family, out);
  }
  if (PyTuple_Check(value)) {
    return network_from_tuple(value, family, strict, out);
  }
  return network_from_attributes(value, family, strict, out);
}

/* IPv4Network(value, strict=True) / IPv6Network(...): `value` is
 * positional-only; the instance is of the type actually called. */
static PyObject *network_new(PyTypeObject *type, PyObject *args, PyObject *kwargs,
                             tarn_family_t family) {
  static char *kwlist[] = {"", "strict", NULL};
  PyObject *value;
  int strict = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p", kwlist, &value, &strict)) {
    return NULL;
  }
  /* Zeroed so that the 12 unused bytes of an IPv4 record are defined. */
  tarn_prefix_t prefix;
  memset(&prefix, 0, sizeof prefix);
  if (network_construct_impl(value, family, strict, &prefix) < 0) {
    return NULL;
  }
  PyObject *self = PyType_GenericAlloc(type, 0);
  if (self == NULL) {
    return NULL;
  }
  ((NetworkObject *)self)->prefix = prefix;
  return self;
}

static PyObject *ipv4network_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return network_new(type, args, kwargs, TARN_AF_INET);
}

static PyObject *ipv6network_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return network_new(type, args, kwargs, TARN_AF_INET6);
}

/* ---- properties ------------------------------------------------------- */

static const tarn_prefix_t *network_prefix(PyObject *self) {
  return &((NetworkObject *)self)->prefix;
}

/*
 * 2^(bits - length) as an int: a plain 64-bit value while the count fits
 * below 2^64, arbitrary precision only for IPv6 lengths 0..64.  A length
 * above the family maximum cannot come from this file's constructors but is
 * refused rather than shifted.
 */
static PyObject *network_num_addresses(tarn_family_t family, unsigned length) {
  int host = (int)network_max_len(family) - (int)length;
  if (host < 0) {
    PyErr_SetString(pytarn_InvalidArgumentError, "prefix length exceeds maximum for family");
    return NULL;
  }
  if (host <= 63) {
    /* host <= 63, so the shift stays inside the 64-bit width. */
    return PyLong_FromUnsignedLongLong((unsigned long long)1 << host);
  }
  PyObject *one = PyLong_FromLong(1);
  PyObject *shift = PyLong_FromLong(host);
  PyObject *result = NULL;
  if (one != NULL && shift != NULL) {
    result = PyNumber_Lshift(one, shift);
  }
  Py_XDECREF(one);
  Py_XDECREF(shift);
  return result;
}

/* network_address: the prefix's own (masked) address. */
static PyObject *network_get_network_address(PyObject *self, void *closure) {
  (void)closure;
  return binding_addr_to_pyobj(&network_prefix(self)->addr);
}

/* broadcast_address (IPv4): the last address of the prefix. */
static PyObject *ipv4network_get_broadcast_address(PyObject *self, void *closure) {
  (void)closure;
  tarn_addr_t last;
  if (tarn_set_python_error(tarn_prefix_broadcast(network_prefix(self), &last), NULL) < 0) {
    return NULL;
  }
  return binding_addr_to_pyobj(&last);
}

/* broadcast_address (IPv6): IPv6 has no broadcast; always raises. */
static PyObject *ipv6network_get_broadcast_address(PyObject *self, void *closure) {
  (void)self, (void)closure;
  PyErr_SetString(pytarn_FamilyError, "broadcast_address is not defined for IPv6 networks");
  return NULL;
}

/* prefixlen: the stored length. */
static PyObject *network_get_prefixlen(PyObject *self, void *closure) {
  (void)closure;
  return PyLong_FromLong(network_prefix(self)->pfxlen);
}

static PyObject *network_netmask(PyObject *self, tarn_family_t family) {
  tarn_addr_t mask;
  if (tarn_set_python_error(tarn_prefix_mask(network_prefix(self), &mask), NULL) < 0) {
    return NULL;
  }
  mask.family = family;
  return binding_addr_to_pyobj(&mask);
}

/* netmask: `prefixlen` one bits, as an address of the type's family. */
static PyObject *ipv4network_get_netmask(PyObject *self, void *closure) {
  (void)closure;
  return network_netmask(self, TARN_AF_INET);
}

static PyObject *ipv6network_get_netmask(PyObject *self, void *closure) {
  (void)closure;
  return network_netmask(self, TARN_AF_INET6);
}

/* with_prefixlen, str: canonical "address/length" text. */
static PyObject *network_get_with_prefixlen(PyObject *self, void *closure) {
  (void)closure;
  char buf[TARN_PREFIX_STRLEN];
  if (tarn_set_python_error(tarn_prefix_format(network_prefix(self), buf, sizeof buf), NULL) < 0) {
    return NULL;
  }
  return PyUnicode_FromString(buf);
}

/* version: 4 or 6, from the type. */
static PyObject *ipv4network_get_version(PyObject *self, void *closure) {
  (void)self, (void)closure;
  return PyLong_FromLong(4);
}

static PyObject *ipv6network_get_version(PyObject *self, void *closure) {
  (void)self, (void)closure;
  return PyLong_FromLong(6);
}

/* num_addresses: 2^(32 - prefixlen) or 2^(128 - prefixlen). */
static PyObject *ipv4network_get_num_addresses(PyObject *self, void *closure) {
  (void)closure;
  return network_num_addresses(TARN_AF_INET, network_prefix(self)->pfxlen);
}

static PyObject *ipv6network_get_num_addresses(PyObject *self, void *closure) {
  (void)closure;
  return network_num_addresses(TARN_AF_INET6, network_prefix(self)->pfxlen);
}

static PyGetSetDef ipv4network_getset[] = {
    {"network_address", network_get_network_address, NULL, "network address (host bits zero)",
     NULL},
    {"broadcast_address", ipv4network_get_broadcast_address, NULL, "broadcast address (IPv4 only)",
     NULL},
    {"prefixlen", network_get_prefixlen, NULL, "prefix length", NULL},
    {"netmask", ipv4network_get_netmask, NULL, "prefix mask", NULL},
    {"with_prefixlen", network_get_with_prefixlen, NULL, "canonical CIDR string", NULL},
    {"version", ipv4network_get_version, NULL, "address family version (4)", NULL},
    {"num_addresses", ipv4network_get_num_addresses, NULL,
     "total number of addresses in this network", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyGetSetDef ipv6network_getset[] = {
    {"network_address", network_get_network_address, NULL, "network address (host bits zero)",
     NULL},
    {"broadcast_address", ipv6network_get_broadcast_address, NULL,
     "broadcast address (IPv4 only; raises FamilyError on IPv6)", NULL},
    {"prefixlen", network_get_prefixlen, NULL, "prefix length", NULL},
    {"netmask", ipv6network_get_netmask, NULL, "prefix mask", NULL},
    {"with_prefixlen", network_get_with_prefixlen, NULL, "canonical CIDR string", NULL},
    {"version", ipv6network_get_version, NULL, "address family version (6)", NULL},
    {"num_addresses", ipv6network_get_num_addresses, NULL,
     "total number of addresses in this network", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

/* ---- containment -------------------------------------------------------- */

/*
 * Whether `candidate` lies in the network: an address object of the
 * network's family, or text of that family.  1, 0, or -1 with an exception.
 */
static int network_contains_impl(const tarn_prefix_t *prefix, PyObject *candidate) {
  tarn_family_t family = prefix->addr.family;
  tarn_addr_t addr;
  if (binding_is_ipv4address(candidate)) {
    if (family != TARN_AF_INET) {
      return raise_family_mismatch();
    }
    addr = ((AddressObject *)candidate)->addr;
  } else if (binding_is_ipv6address(candidate)) {
    if (family != TARN_AF_INET6) {
      return raise_family_mismatch();
    }
    addr = ((AddressObject *)candidate)->addr;
  } else if (PyUnicode_Check(candidate)) {
    if (binding_string_to_addr(candidate, &addr, family) < 0) {
      return -1;
    }
  } else {
    PyErr_SetString(PyExc_TypeError, "address string or address object expected");
    return -1;
  }
  bool inside = false;
  if (tarn_set_python_error(tarn_prefix_contains(prefix, &addr, &inside), NULL) < 0) {
    return -1;
  }
  return inside ? 1 : 0;
}

/* The `in` operator. */
static int ipv4network_contains_slot(PyObject *self, PyObject *candidate) {
  return network_contains_impl(network_prefix(self), candidate);
}

static int ipv6network_contains_slot(PyObject *self, PyObject *candidate) {
  return network_contains_impl(network_prefix(self), candidate);
}

/* ---- methods ------------------------------------------------------------ */

static PyObject *network_contains(PyObject *self, PyObject *candidate) {
  int inside = network_contains_impl(network_prefix(self), candidate);
  if (inside < 0) {
    return NULL;
  }
  return PyBool_FromLong(inside);
}

/* contains(addr) -> bool */
static PyObject *ipv4network_contains(PyObject *self, PyObject *candidate) {
  return network_contains(self, candidate);
}

static PyObject *ipv6network_contains(PyObject *self, PyObject *candidate) {
  return network_contains(self, candidate);
}

static PyObject *network_overlaps(PyObject *self, PyObject *other) {
  if (!binding_is_ipv4network(other) && !binding_is_ipv6network(other)) {
    PyErr_SetString(PyExc_TypeError, "IPv4Network or IPv6Network expected");
    return NULL;
  }
  bool shared = false;
  /* Across families the core answers TARN_ERR_FAMILY: FamilyError. */
  tarn_err_t rc = tarn_prefix_overlaps(network_prefix(self), network_prefix(other), &shared);
  if (tarn_set_python_error(rc, NULL) < 0) {
    return NULL;
  }
  return PyBool_FromLong(shared);
}

/* overlaps(other) -> bool */
static PyObject *ipv4network_overlaps(PyObject *self, PyObject *other) {
  return network_overlaps(self, other);
}

static PyObject *ipv6network_overlaps(PyObject *self, PyObject *other) {
  return network_overlaps(self, other);
}

static PyObject *network_supernet(PyObject *self) {
  tarn_prefix_t parent;
  /* A /0 has no parent: TARN_ERR_OVERFLOW, AddressOverflowError. */
  if (tarn_set_python_error(tarn_prefix_supernet(network_prefix(self), &parent), NULL) < 0) {
    return NULL;
  }
  return binding_prefix_to_pyobj(&parent);
}

/* supernet() -> the base network type, one bit shorter. */
static PyObject *ipv4network_supernet(PyObject *self, PyObject *unused) {
  (void)unused;
  return network_supernet(self);
}

static PyObject *ipv6network_supernet(PyObject *self, PyObject *unused) {
  (void)unused;
  return network_supernet(self);
}

/*
 * subnets(prefixlen): a fresh SubnetIterator.  The length is checked on its
 * full int value before it is narrowed to the core's 8-bit field, so 264
 * cannot pass as 8.
 */
static PyObject *network_subnets_impl(const tarn_prefix_t *prefix, tarn_family_t family,
                                      PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"prefixlen", NULL};
  int target;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i", kwlist, &target)) {
    return NULL;
  }
  if (target <= (int)prefix->pfxlen || target > (int)network_max_len(family)) {
    PyErr_SetString(pytarn_PrefixLengthError, "prefix length out of range");
    return NULL;
  }
  PyObject *obj = PyType_GenericAlloc(subnetiterator_type, 0);
  if (obj == NULL) {
    return NULL;
  }
  SubnetIteratorObject *it = (SubnetIteratorObject *)obj;
  it->family = family;
  if (tarn_set_python_error(tarn_subnet_iter_init(&it->iter, prefix, (uint8_t)target), NULL) < 0) {
    Py_DECREF(obj);
    return NULL;
  }
  return obj;
}

/* subnets(prefixlen) -> iterator */
static PyObject *ipv4network_subnets(PyObject *self, PyObject *args, PyObject *kwargs) {
  return network_subnets_impl(network_prefix(self), TARN_AF_INET, args, kwargs);
}

static PyObject *ipv6network_subnets(PyObject *self, PyObject *args, PyObject *kwargs) {
  return network_subnets_impl(network_prefix(self), TARN_AF_INET6, args, kwargs);
}

#define OVERLAPS_DOC \
  "overlaps(other) -> bool\n\nReturn True if this network and other share any address."
#define SUBNETS_DOC                                                                            \
  "subnets(prefixlen) -> iterator\n\nReturn an iterator over all subnets at the given prefix " \
  "length."
#define CONTAINS_DOC "contains(addr) -> bool\n\nReturn True if addr falls within this network."

static PyMethodDef ipv4network_methods[] = {
    {"overlaps", ipv4network_overlaps, METH_O, OVERLAPS_DOC},
    {"supernet", ipv4network_supernet, METH_NOARGS,
     "supernet() -> IPv4Network\n\nReturn the parent network at prefixlen - 1."},
    {"subnets", (PyCFunction)(void (*)(void))ipv4network_subnets, METH_VARARGS | METH_KEYWORDS,
     SUBNETS_DOC},
    {"contains", ipv4network_contains, METH_O, CONTAINS_DOC},
    {NULL, NULL, 0, NULL},
};

static PyMethodDef ipv6network_methods[] = {
    {"overlaps", ipv6network_overlaps, METH_O, OVERLAPS_DOC},
    {"supernet", ipv6network_supernet, METH_NOARGS,
     "supernet() -> IPv6Network\n\nReturn the parent network at prefixlen - 1."},
    {"subnets", (PyCFunction)(void (*)(void))ipv6network_subnets, METH_VARARGS | METH_KEYWORDS,
     SUBNETS_DOC},
    {"contains", ipv6network_contains, METH_O, CONTAINS_DOC},
    {NULL, NULL, 0, NULL},
};

/* ---- comparison, hashing, text ------------------------------------------ */

/*
 * Networks of one family order by address, then shorter length first.  The
 * other family is an error for every operator, == included: there is no
 * cross-family order and no silent inequality.  Anything else is left to the
 * other operand.
 */
static PyObject *network_richcmp(PyObject *self, PyObject *other, int op, int same_type,
                                 int other_family_type) {
  if (!same_type) {
    if (other_family_type) {
      PyErr_SetString(pytarn_FamilyError, family_mismatch_msg);
      return NULL;
    }
    Py_RETURN_NOTIMPLEMENTED;
  }
  int c = 0;
  if (tarn_set_python_error(tarn_prefix_cmp(network_prefix(self), network_prefix(other), &c),
                            NULL) < 0) {
    return NULL;
  }
  Py_RETURN_RICHCOMPARE(c, 0, op);
}

static PyObject *ipv4network_richcmp(PyObject *self, PyObject *other, int op) {
  return network_richcmp(self, other, op, binding_is_ipv4network(other),
                         binding_is_ipv6network(other));
}

static PyObject *ipv6network_richcmp(PyObject *self, PyObject *other, int op) {
  return network_richcmp(self, other, op, binding_is_ipv6network(other),
                         binding_is_ipv4network(other));
}

/* hash: multiply-by-33 over family, address bytes and length. */
static Py_hash_t network_hash(PyObject *self, tarn_family_t family) {
  const tarn_prefix_t *p = network_prefix(self);
  return binding_hash(p->addr.family, p->addr.addr.v6, binding_addr_len(family), 1, p->pfxlen);
}

static Py_hash_t ipv4network_hash(PyObject *self) { return network_hash(self, TARN_AF_INET); }

static Py_hash_t ipv6network_hash(PyObject *self) { return network_hash(self, TARN_AF_INET6); }

/* str: the same text as with_prefixlen. */
static PyObject *ipv4network_str(PyObject *self) { return network_get_with_prefixlen(self, NULL); }

static PyObject *ipv6network_str(PyObject *self) { return network_get_with_prefixlen(self, NULL); }

/* repr: always the base type's name, also for subclasses. */
static PyObject *network_repr(PyObject *self, tarn_family_t family) {
  char buf[TARN_PREFIX_STRLEN];
  if (tarn_set_python_error(tarn_prefix_format(network_prefix(self), buf, sizeof buf), NULL) < 0) {
    return NULL;
  }
  return PyUnicode_FromFormat("%s('%s')", network_type_name(family), buf);
}

static PyObject *ipv4network_repr(PyObject *self) { return network_repr(self, TARN_AF_INET); }

static PyObject *ipv6network_repr(PyObject *self) { return network_repr(self, TARN_AF_INET6); }

/* ---- PyType_Spec tables -------------------------------------------------- */

static PyType_Slot ipv4network_slots[] = {
    {Py_tp_new, ipv4network_new},
    {Py_tp_dealloc, binding_dealloc},
    {Py_tp_richcompare, ipv4network_richcmp},
    {Py_tp_hash, ipv4network_hash},
    {Py_tp_str, ipv4network_str},
    {Py_tp_repr, ipv4network_repr},
    {Py_sq_contains, ipv4network_contains_slot},
    {Py_tp_methods, ipv4network_methods},
    {Py_tp_getset, ipv4network_getset},
    {Py_tp_doc, "IPv4 network (CIDR prefix)."},
    {0, NULL},
};

static PyType_Slot ipv6network_slots[] = {
    {Py_tp_new, ipv6network_new},
    {Py_tp_dealloc, binding_dealloc},
    {Py_tp_richcompare, ipv6network_richcmp},
    {Py_tp_hash, ipv6network_hash},
    {Py_tp_str, ipv6network_str},
    {Py_tp_repr, ipv6network_repr},
    {Py_sq_contains, ipv6network_contains_slot},
    {Py_tp_methods, ipv6network_methods},
    {Py_tp_getset, ipv6network_getset},
    {Py_tp_doc, "IPv6 network (CIDR prefix)."},
    {0, NULL},
};

PyType_Spec ipv4network_spec = {"pytarn.IPv4Network", sizeof(NetworkObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv4network_slots};
PyType_Spec ipv6network_spec = {"pytarn.IPv6Network", sizeof(NetworkObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv6network_slots};

/* ---- SubnetIterator ----------------------------------------------------- */

/* __iter__: the iterator itself. */
static PyObject *subnetiterator_iter(PyObject *self) {
  Py_INCREF(self);
  return self;
}

/* __next__: one subnet per call; NULL without an exception ends iteration,
 * and an exhausted iterator stays exhausted. */
static PyObject *subnetiterator_next(PyObject *self) {
  tarn_prefix_t subnet;
  tarn_err_t rc = tarn_subnet_iter_next(&((SubnetIteratorObject *)self)->iter, &subnet);
  if (rc == TARN_ERR_DONE) {
    return NULL;
  }
  if (tarn_set_python_error(rc, NULL) < 0) {
    return NULL;
  }
  return binding_prefix_to_pyobj(&subnet);
}

static PyType_Slot subnetiterator_slots[] = {
    {Py_tp_dealloc, binding_dealloc},
    {Py_tp_iter, subnetiterator_iter},
    {Py_tp_iternext, subnetiterator_next},
    {Py_tp_doc, "Subnet iterator for CIDR prefix enumeration."},
    {0, NULL},
};

/* Only subnets() makes iterators: calling the type raises TypeError. */
PyType_Spec subnetiterator_spec = {
    "pytarn.SubnetIterator", sizeof(SubnetIteratorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    subnetiterator_slots};
