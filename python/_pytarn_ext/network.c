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
 * carries the caller's text as its message.  An IPv4 length in dotted
 * form (a netmask or hostmask) is read here instead, under the same rules. */
static int network_from_text_strict(const char *text, tarn_family_t family, tarn_prefix_t *out) {
  const char *slash = strrchr(text, '/');
  if (family == TARN_AF_INET && slash != NULL && strchr(slash, '.') != NULL) {
    tarn_addr_t addr;
    unsigned len;
    if (binding_split_prefix_text(text, family, text, &addr, &len) < 0) return -1;
    tarn_prefix_t masked;
    memset(&masked, 0, sizeof masked);
    if (tarn_set_python_error(tarn_prefix_from_host(&addr, (uint8_t)len, &masked), NULL) < 0) {
      return -1;
    }
    if (memcmp(masked.addr.addr.v4, addr.addr.v4, 4) != 0) {
      return tarn_set_python_error(TARN_ERR_HOSTBITS, text);
    }
    *out = masked;
    return 0;
  }
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

/* The mask length of dotted text, netmask first (pytarn_ext.h). */
int binding_ipv4_mask_length(const char *text) {
  tarn_addr_t mask;
  memset(&mask, 0, sizeof mask);
  if (tarn_addr_parse(text, &mask) != TARN_OK || mask.family != TARN_AF_INET) return -1;
  uint32_t v = (uint32_t)binding_addr_words(&mask).lo;
  for (int pass = 0; pass < 2; pass++, v = ~v) {
    /* As a netmask, the host bits ~v must be 2^k - 1 (k = 0..32; the
     * uint32_t sum wraps to 0 for k = 32, which is defined). */
    uint32_t host = ~v;
    if ((host & (host + 1u)) == 0) {
      int ones = 0;
      for (uint32_t b = v; b != 0; b <<= 1) ones++;
      return ones;
    }
  }
  return -1;
}

/*
 * A decimal length: with `plain`, one or more ASCII digits only; without,
 * strtol's leniency is kept on purpose (leading white space, a sign: "+8",
 * " 8" and "-0" read as 8, 8 and 0), but a length with no digits at all,
 * empty text included, is malformed rather than /0.  -1 when malformed or
 * above `max`.
 */
static long decimal_length(const char *text, int plain, unsigned max) {
  if (plain) {
    if (*text == '\0') return -1;
    long v = 0;
    for (const char *p = text; *p != '\0'; p++) {
      if (*p < '0' || *p > '9') return -1;
      v = v * 10 + (*p - '0');
      if (v > (long)max) return -1; /* also bounds v for the next step */
    }
    return v;
  }
  char *end = NULL;
  errno = 0;
  long len = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || len < 0 || len > (long)max) return -1;
  return len;
}

/*
 * "address/length" split here rather than in the core:
 *  1. the last '/' separates address and length;
 *  2. the address part (at most 45 bytes) must parse and be of `family`;
 *  3. the length is decimal or, for IPv4, a dotted netmask or hostmask.
 * The caller has already refused text with a NUL character, so the C string
 * functions see the caller's whole text.
 */
int binding_split_prefix_text(const char *text, tarn_family_t family, const char *context,
                              tarn_addr_t *addr, unsigned *pfxlen) {
  const char *slash = strrchr(text, '/');
  if (slash == NULL) {
    PyErr_SetString(pytarn_ParseError, context ? context : "missing '/' in CIDR notation");
    return -1;
  }
  size_t addr_part_len = (size_t)(slash - text);
  if (addr_part_len > NETWORK_ADDR_PART_MAX) {
    PyErr_SetString(pytarn_ParseError, context ? context : "address part too long");
    return -1;
  }
  char addr_part[NETWORK_ADDR_PART_BUF];
  memcpy(addr_part, text, addr_part_len);
  addr_part[addr_part_len] = '\0';

  tarn_addr_t parsed;
  memset(&parsed, 0, sizeof parsed);
  if (tarn_set_python_error(tarn_addr_parse(addr_part, &parsed), context ? context : addr_part) <
      0) {
    return -1;
  }
  if (parsed.family != family) {
    return raise_family_mismatch();
  }

  const char *len_text = slash + 1;
  long len = family == TARN_AF_INET && strchr(len_text, '.') != NULL
                 ? binding_ipv4_mask_length(len_text)
                 : decimal_length(len_text, context != NULL, network_max_len(family));
  if (len < 0) {
    PyErr_SetString(pytarn_PrefixLengthError, context ? context : "invalid prefix length");
    return -1;
  }
  *addr = parsed;
  *pfxlen = (unsigned)len;
  return 0;
}

/* Lenient text: split, then clear the host bits. */
static int network_from_text_lenient(const char *text, tarn_family_t family, tarn_prefix_t *out) {
  tarn_addr_t addr;
  unsigned len;
  if (binding_split_prefix_text(text, family, NULL, &addr, &len) < 0) return -1;
  return tarn_set_python_error(tarn_prefix_from_host(&addr, (uint8_t)len, out), NULL);
}

/* The address item of the tuple form: text, an address object of the
 * expected family, an integer or packed bytes. */
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
  /* The address as a number (an int, a numpy integer) or packed bytes. */
  if (PyBytes_Check(item) || PyIndex_Check(item)) {
    return binding_value_to_addr(item, addr, family);
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

/* First and last address of the network as words. */
static void network_bounds(const tarn_prefix_t *p, binding_u128 *first, binding_u128 *last) {
  binding_u128 host = binding_hostmask_words(network_max_len(p->addr.family), p->pfxlen);
  *first = binding_addr_words(&p->addr);
  last->hi = first->hi | host.hi;
  last->lo = first->lo | host.lo;
}

/* hostmask: the host bits set, as an address of the network's family. */
static PyObject *network_get_hostmask(PyObject *self, void *closure) {
  (void)closure;
  const tarn_prefix_t *p = network_prefix(self);
  tarn_addr_t mask;
  binding_words_addr(binding_hostmask_words(network_max_len(p->addr.family), p->pfxlen),
                     p->addr.family, &mask);
  return binding_addr_to_pyobj(&mask);
}

PyObject *binding_with_mask(const tarn_addr_t *addr, unsigned pfxlen, int host) {
  binding_u128 m = binding_hostmask_words(network_max_len(addr->family), pfxlen);
  if (!host) {
    binding_u128 all = binding_family_max(addr->family);
    m.hi = all.hi & ~m.hi;
    m.lo = all.lo & ~m.lo;
  }
  tarn_addr_t mask;
  binding_words_addr(m, addr->family, &mask);
  char a[TARN_ADDR_STRLEN], b[TARN_ADDR_STRLEN];
  if (tarn_set_python_error(tarn_addr_format(addr, a, sizeof a), NULL) < 0 ||
      tarn_set_python_error(tarn_addr_format(&mask, b, sizeof b), NULL) < 0) {
    return NULL;
  }
  return PyUnicode_FromFormat("%s/%s", a, b);
}

static PyObject *network_get_with_netmask(PyObject *self, void *closure) {
  (void)closure;
  return binding_with_mask(&network_prefix(self)->addr, network_prefix(self)->pfxlen, 0);
}

static PyObject *network_get_with_hostmask(PyObject *self, void *closure) {
  (void)closure;
  return binding_with_mask(&network_prefix(self)->addr, network_prefix(self)->pfxlen, 1);
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
    {"hostmask", network_get_hostmask, NULL, "host mask (the bits after the prefix set)", NULL},
    {"with_netmask", network_get_with_netmask, NULL, "network text with the netmask: a/netmask",
     NULL},
    {"with_hostmask", network_get_with_hostmask, NULL, "network text with the hostmask: a/hostmask",
     NULL},
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
    {"hostmask", network_get_hostmask, NULL, "host mask (the bits after the prefix set)", NULL},
    {"with_netmask", network_get_with_netmask, NULL, "network text with the netmask: a/netmask",
     NULL},
    {"with_hostmask", network_get_with_hostmask, NULL, "network text with the hostmask: a/hostmask",
     NULL},
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

/* The other operand of a network-to-network method: a network of the
 * same family.  Another family is FamilyError, anything else TypeError. */
static const tarn_prefix_t *network_operand(PyObject *self, PyObject *other) {
  if (!binding_is_ipv4network(other) && !binding_is_ipv6network(other)) {
    PyErr_SetString(PyExc_TypeError, "IPv4Network or IPv6Network expected");
    return NULL;
  }
  if (network_prefix(other)->addr.family != network_prefix(self)->addr.family) {
    raise_family_mismatch();
    return NULL;
  }
  return network_prefix(other);
}

/* Whether every address of `inner` lies in `outer` (same family). */
static int prefix_within(const tarn_prefix_t *inner, const tarn_prefix_t *outer) {
  bool inside = false;
  if (tarn_set_python_error(tarn_prefix_contains(outer, &inner->addr, &inside), NULL) < 0) {
    return -1;
  }
  return inside && outer->pfxlen <= inner->pfxlen;
}

/* subnet_of(other): every address of self lies in other. */
static PyObject *network_subnet_of(PyObject *self, PyObject *other) {
  const tarn_prefix_t *o = network_operand(self, other);
  if (o == NULL) return NULL;
  int r = prefix_within(network_prefix(self), o);
  return r < 0 ? NULL : PyBool_FromLong(r);
}

/* supernet_of(other): every address of other lies in self. */
static PyObject *network_supernet_of(PyObject *self, PyObject *other) {
  const tarn_prefix_t *o = network_operand(self, other);
  if (o == NULL) return NULL;
  int r = prefix_within(o, network_prefix(self));
  return r < 0 ? NULL : PyBool_FromLong(r);
}

/* compare_networks(other): -1, 0 or 1, by address, then shorter first (the
 * standard library's order by network address, then netmask). */
static PyObject *network_compare_networks(PyObject *self, PyObject *other) {
  const tarn_prefix_t *o = network_operand(self, other);
  if (o == NULL) return NULL;
  int c = 0;
  if (tarn_set_python_error(tarn_prefix_cmp(network_prefix(self), o, &c), NULL) < 0) return NULL;
  return PyLong_FromLong(c);
}

/*
 * address_exclude(other): the networks covering self without other, an
 * iterator over at most 128 of them, in the standard library's order: for
 * each length from self's + 1 to other's, the half at that length that does
 * not hold other (the sibling of other's ancestor), largest first.  Other
 * must lie in self (ValueError otherwise, checked before anything is made);
 * excluding self itself leaves nothing.
 */
static PyObject *network_address_exclude(PyObject *self, PyObject *other) {
  const tarn_prefix_t *o = network_operand(self, other);
  if (o == NULL) return NULL;
  const tarn_prefix_t *p = network_prefix(self);
  int inside = prefix_within(o, p);
  if (inside < 0) return NULL;
  if (!inside) {
    char a[TARN_PREFIX_STRLEN], b[TARN_PREFIX_STRLEN];
    if (tarn_set_python_error(tarn_prefix_format(o, a, sizeof a), NULL) < 0 ||
        tarn_set_python_error(tarn_prefix_format(p, b, sizeof b), NULL) < 0) {
      return NULL;
    }
    PyErr_Format(pytarn_InvalidArgumentError, "%s not contained in %s", a, b);
    return NULL;
  }
  unsigned bits = network_max_len(p->addr.family);
  PyObject *list = PyList_New(0);
  if (list == NULL) return NULL;
  binding_u128 base = binding_addr_words(&o->addr);
  for (unsigned len = p->pfxlen + 1u; len <= o->pfxlen; len++) {
    /* The bit at position len - 1 from the top (1..bits): flipping it in
     * other's address, masked to len, gives the sibling half.  The shift
     * is 0..63 within the word that holds the bit. */
    unsigned from_low = bits - len; /* 0..bits-1 */
    binding_u128 sib = base;
    if (from_low >= 64) {
      sib.hi ^= UINT64_C(1) << (from_low - 64);
    } else {
      sib.lo ^= UINT64_C(1) << from_low;
    }
    binding_u128 host = binding_hostmask_words(bits, len);
    sib.hi &= ~host.hi;
    sib.lo &= ~host.lo;
    tarn_prefix_t half;
    memset(&half, 0, sizeof half);
    binding_words_addr(sib, p->addr.family, &half.addr);
    half.pfxlen = (uint8_t)len;
    PyObject *net = binding_prefix_to_pyobj(&half);
    if (net == NULL || PyList_Append(list, net) < 0) {
      Py_XDECREF(net);
      Py_DECREF(list);
      return NULL;
    }
    Py_DECREF(net);
  }
  PyObject *it = PyObject_GetIter(list);
  Py_DECREF(list);
  return it;
}

/* hosts(): the usable addresses, lazily.  A host route yields its one
 * address and a point-to-point link (/31, /127, RFC 3021) both; otherwise
 * IPv4 leaves out the network and broadcast addresses and IPv6 the
 * subnet-router anycast address (the network address, RFC 4291). */
static PyObject *network_hosts(PyObject *self, PyObject *unused) {
  (void)unused;
  const tarn_prefix_t *p = network_prefix(self);
  unsigned bits = network_max_len(p->addr.family);
  binding_u128 first, last;
  network_bounds(p, &first, &last);
  if (p->pfxlen + 1u < bits) {
    /* At least four addresses, so neither step crosses the other. */
    first.lo += 1;
    first.hi += first.lo == 0;
    if (p->addr.family == TARN_AF_INET) last.lo -= 1;
  }
  return binding_address_iterator(p->addr.family, first, last, 0);
}

/* iter(network): every address, network address first. */
static PyObject *network_iter(PyObject *self) {
  binding_u128 first, last;
  network_bounds(network_prefix(self), &first, &last);
  return binding_address_iterator(network_prefix(self)->addr.family, first, last, 0);
}

/* network[i]: the i-th address; a negative i counts back from the last
 * (-1 is the last).  IndexError outside the network; any size. */
static PyObject *network_subscript(PyObject *self, PyObject *key) {
  PyObject *num = PyNumber_Index(key);
  if (num == NULL) return NULL;
  const tarn_prefix_t *p = network_prefix(self);
  binding_u128 first, last, span, at;
  network_bounds(p, &first, &last);
  span.lo = last.lo - first.lo;
  span.hi = last.hi - first.hi - (last.lo < first.lo);

  PyObject *zero = PyLong_FromLong(0);
  int negative = zero != NULL ? PyObject_RichCompareBool(num, zero, Py_LT) : -1;
  Py_XDECREF(zero);
  /* For a negative i take ~i = -i - 1 >= 0: the distance back from last. */
  PyObject *m = negative < 0 ? NULL : negative ? PyNumber_Invert(num) : (Py_INCREF(num), num);
  Py_DECREF(num);
  if (m == NULL) return NULL;
  binding_u128 off;
  int rc = binding_long_to_u128(m, &off);
  Py_DECREF(m);
  if (rc < 0) return NULL;
  if (rc != 0 || binding_u128_cmp(off, span) > 0) {
    PyErr_SetString(PyExc_IndexError, "address out of range");
    return NULL;
  }
  if (negative) {
    at.lo = last.lo - off.lo;
    at.hi = last.hi - off.hi - (last.lo < off.lo);
  } else {
    at.lo = first.lo + off.lo;
    at.hi = first.hi + off.hi + (at.lo < first.lo);
  }
  tarn_addr_t addr;
  binding_words_addr(at, p->addr.family, &addr);
  return binding_addr_to_pyobj(&addr);
}

/* A length argument given as any integer, range-checked by the caller;
 * 0, or -1 with the interpreter's conversion error. */
static int length_arg(PyObject *obj, long *out) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) return -1;
  *out = v;
  return 0;
}

static int raise_both_lengths(void) {
  PyErr_SetString(pytarn_InvalidArgumentError, "cannot set prefixlen_diff and new_prefix");
  return -1;
}

/*
 * supernet(prefixlen_diff=1, new_prefix=None): the network `prefixlen_diff`
 * bits shorter, or at length `new_prefix`, host bits cleared.  A length
 * below 0 (the parent of a /0 included) is AddressOverflowError; a
 * new_prefix longer than the network, or a negative difference,
 * PrefixLengthError; both arguments together InvalidArgumentError (as in
 * the standard library, a difference of 1 passes as the default).
 */
static PyObject *network_supernet(PyObject *self, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"prefixlen_diff", "new_prefix", NULL};
  PyObject *diff_obj = NULL, *new_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO", kwlist, &diff_obj, &new_obj)) {
    return NULL;
  }
  const tarn_prefix_t *p = network_prefix(self);
  long diff = 1;
  if (diff_obj != NULL && length_arg(diff_obj, &diff) < 0) return NULL;
  if (new_obj != Py_None) {
    long want;
    if (length_arg(new_obj, &want) < 0) return NULL;
    if (want > (long)p->pfxlen) {
      PyErr_SetString(pytarn_PrefixLengthError, "new prefix must be shorter");
      return NULL;
    }
    if (diff != 1) {
      raise_both_lengths();
      return NULL;
    }
    diff = (long)p->pfxlen - want;
  }
  if (diff < 0) {
    PyErr_SetString(pytarn_PrefixLengthError, "prefix length diff must not be negative");
    return NULL;
  }
  if (diff > (long)p->pfxlen) {
    return tarn_set_python_error(TARN_ERR_OVERFLOW, NULL), NULL;
  }
  tarn_prefix_t parent;
  memset(&parent, 0, sizeof parent);
  if (tarn_set_python_error(tarn_prefix_from_host(&p->addr, (uint8_t)(p->pfxlen - diff), &parent),
                            NULL) < 0) {
    return NULL;
  }
  return binding_prefix_to_pyobj(&parent);
}

/*
 * subnets(prefixlen=None, *, prefixlen_diff=1, new_prefix=None).
 *
 * The positional (or `prefixlen=`) argument is the absolute new length, as
 * it has always been here: it must be longer than the network's and within
 * the family, else PrefixLengthError, and it is read as a C int (the
 * interpreter's OverflowError outside that range); it cannot be combined
 * with the keywords.  Without it the keywords follow the standard library:
 * the new length is the network's plus `prefixlen_diff` (default 1) or
 * `new_prefix`; a length equal to the network's, and any request on a host
 * route, yields the network itself.
 *
 * The answer is a SubnetIterator, a fresh one per call that keeps no
 * reference to the network, except for the network alone, an iterator over
 * a one-item tuple.
 */
static PyObject *network_subnets_impl(const tarn_prefix_t *prefix, tarn_family_t family,
                                      PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"prefixlen", "prefixlen_diff", "new_prefix", NULL};
  PyObject *len_obj = Py_None, *diff_obj = NULL, *new_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OO", kwlist, &len_obj, &diff_obj, &new_obj)) {
    return NULL;
  }
  unsigned max = network_max_len(family);
  int target;
  if (len_obj != Py_None) {
    if (diff_obj != NULL || new_obj != Py_None) {
      PyErr_SetString(pytarn_InvalidArgumentError,
                      "cannot set prefixlen together with prefixlen_diff or new_prefix");
      return NULL;
    }
    if (!PyArg_Parse(len_obj, "i", &target)) return NULL;
    if (target <= (int)prefix->pfxlen || target > (int)max) {
      PyErr_SetString(pytarn_PrefixLengthError, "prefix length out of range");
      return NULL;
    }
  } else {
    long diff = 1;
    if (diff_obj != NULL && length_arg(diff_obj, &diff) < 0) return NULL;
    if (new_obj != Py_None) {
      long want;
      if (length_arg(new_obj, &want) < 0) return NULL;
      if (prefix->pfxlen < max && want < (long)prefix->pfxlen) {
        PyErr_SetString(pytarn_PrefixLengthError, "new prefix must be longer");
        return NULL;
      }
      if (prefix->pfxlen < max && diff != 1) return raise_both_lengths(), NULL;
      diff = want - (long)prefix->pfxlen;
    }
    if (prefix->pfxlen == max || diff == 0) {
      PyObject *net = binding_prefix_to_pyobj(prefix);
      PyObject *one = net != NULL ? PyTuple_Pack(1, net) : NULL;
      PyObject *it = one != NULL ? PyObject_GetIter(one) : NULL;
      Py_XDECREF(net);
      Py_XDECREF(one);
      return it;
    }
    if (diff < 0 || diff > (long)(max - prefix->pfxlen)) {
      PyErr_SetString(pytarn_PrefixLengthError, "prefix length out of range");
      return NULL;
    }
    target = (int)(prefix->pfxlen + diff);
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

/* subnets(...) -> iterator */
static PyObject *ipv4network_subnets(PyObject *self, PyObject *args, PyObject *kwargs) {
  return network_subnets_impl(network_prefix(self), TARN_AF_INET, args, kwargs);
}

static PyObject *ipv6network_subnets(PyObject *self, PyObject *args, PyObject *kwargs) {
  return network_subnets_impl(network_prefix(self), TARN_AF_INET6, args, kwargs);
}

/* ---- pickling ----------------------------------------------------------- */

/*
 * The prefix of `len` at the address bytes `bytes` of `family`, as a
 * _from_state of `what` must check it: the length within the family and
 * no bit set after it.  0 with *out filled (zero beyond the family's
 * bytes), or -1 with PrefixLengthError or HostBitsError.
 */
static int prefix_from_state(const uint8_t *bytes, unsigned len, tarn_family_t family,
                             const char *what, tarn_prefix_t *out) {
  unsigned max = network_max_len(family);
  if (len > max) {
    return binding_restore_error(pytarn_PrefixLengthError, what, "prefix length %u exceeds %u", len,
                                 max);
  }
  tarn_prefix_t p;
  memset(&p, 0, sizeof p);
  p.addr.family = family;
  memcpy(p.addr.addr.v6, bytes, binding_addr_len(family));
  p.pfxlen = (uint8_t)len;
  binding_u128 w = binding_addr_words(&p.addr);
  binding_u128 host = binding_hostmask_words(max, len);
  if ((w.hi & host.hi) != 0 || (w.lo & host.lo) != 0) {
    return binding_restore_error(pytarn_HostBitsError, what, "host bits set after /%u", len);
  }
  *out = p;
  return 0;
}

/* State: the 4 or 16 address bytes, then the length (6 or 18 bytes with
 * the version byte). */
static PyObject *network_reduce(PyObject *self, PyObject *unused) {
  (void)unused;
  const tarn_prefix_t *p = network_prefix(self);
  size_t n = binding_addr_len(p->addr.family);
  char state[18];
  state[0] = BINDING_STATE_VERSION;
  memcpy(state + 1, p->addr.addr.v6, n);
  state[n + 1] = (char)p->pfxlen;
  return binding_reduce(self, PyBytes_FromStringAndSize(state, (Py_ssize_t)n + 2));
}

static PyObject *network_from_state(PyObject *cls, PyObject *state, tarn_family_t family) {
  const char *what = network_type_name(family);
  size_t n = binding_addr_len(family);
  const uint8_t *s = binding_state_exact(state, what, (Py_ssize_t)n + 1);
  if (s == NULL) return NULL;
  tarn_prefix_t prefix;
  if (prefix_from_state(s, s[n], family, what, &prefix) < 0) return NULL;
  PyObject *self = binding_state_alloc(cls);
  if (self != NULL) ((NetworkObject *)self)->prefix = prefix;
  return self;
}

static PyObject *ipv4network_from_state(PyObject *cls, PyObject *state) {
  return network_from_state(cls, state, TARN_AF_INET);
}

static PyObject *ipv6network_from_state(PyObject *cls, PyObject *state) {
  return network_from_state(cls, state, TARN_AF_INET6);
}

#define OVERLAPS_DOC \
  "overlaps(other) -> bool\n\nReturn True if this network and other share any address."
#define SUBNETS_DOC                                                                             \
  "subnets($self, /, prefixlen=None, *, prefixlen_diff=1, new_prefix=None)\n--\n\n"             \
  "Return an iterator over the subnets at a new prefix length: prefixlen (by position or "      \
  "keyword) is the absolute new length, which must be longer than this network's; without it, " \
  "the length is this network's plus prefixlen_diff, or new_prefix. Unlike ipaddress, a "       \
  "positional argument is the new length, not the difference."
#define CONTAINS_DOC "contains(addr) -> bool\n\nReturn True if addr falls within this network."
#define SUPERNET_DOC                                                                         \
  "supernet($self, /, prefixlen_diff=1, new_prefix=None)\n--\n\nReturn the network "         \
  "prefixlen_diff bits shorter, or of length new_prefix, containing this one. The supernet " \
  "of a /0 raises AddressOverflowError."
#define SUBNET_OF_DOC \
  "subnet_of($self, other, /)\n--\n\nReturn True if every address of this network is in other."
#define SUPERNET_OF_DOC \
  "supernet_of($self, other, /)\n--\n\nReturn True if every address of other is in this network."
#define HOSTS_DOC                                                                              \
  "hosts($self, /)\n--\n\nIterate lazily over the usable host addresses: all but the network " \
  "and broadcast addresses (IPv4) or the subnet-router anycast address (IPv6); a /31 or /127 " \
  "yields both addresses, a /32 or /128 its one."
#define EXCLUDE_DOC                                                                        \
  "address_exclude($self, other, /)\n--\n\nIterate over the networks that cover this one " \
  "without other, largest first. Other must lie within this network."
#define COMPARE_DOC                                                                          \
  "compare_networks($self, other, /)\n--\n\nReturn -1, 0 or 1 ordering by network address, " \
  "then by netmask (shorter prefix first)."

static PyMethodDef ipv4network_methods[] = {
    {"overlaps", ipv4network_overlaps, METH_O, OVERLAPS_DOC},
    {"supernet", (PyCFunction)(void (*)(void))network_supernet, METH_VARARGS | METH_KEYWORDS,
     SUPERNET_DOC},
    {"subnets", (PyCFunction)(void (*)(void))ipv4network_subnets, METH_VARARGS | METH_KEYWORDS,
     SUBNETS_DOC},
    {"contains", ipv4network_contains, METH_O, CONTAINS_DOC},
    {"subnet_of", network_subnet_of, METH_O, SUBNET_OF_DOC},
    {"supernet_of", network_supernet_of, METH_O, SUPERNET_OF_DOC},
    {"hosts", network_hosts, METH_NOARGS, HOSTS_DOC},
    {"address_exclude", network_address_exclude, METH_O, EXCLUDE_DOC},
    {"compare_networks", network_compare_networks, METH_O, COMPARE_DOC},
    {"__reduce__", network_reduce, METH_NOARGS, BINDING_REDUCE_DOC},
    {"_from_state", ipv4network_from_state, METH_CLASS | METH_O, BINDING_FROM_STATE_DOC},
    {"__copy__", binding_copy, METH_NOARGS, BINDING_COPY_DOC},
    {"__deepcopy__", binding_deepcopy, METH_O, BINDING_DEEPCOPY_DOC},
    {NULL, NULL, 0, NULL},
};

static PyMethodDef ipv6network_methods[] = {
    {"overlaps", ipv6network_overlaps, METH_O, OVERLAPS_DOC},
    {"supernet", (PyCFunction)(void (*)(void))network_supernet, METH_VARARGS | METH_KEYWORDS,
     SUPERNET_DOC},
    {"subnets", (PyCFunction)(void (*)(void))ipv6network_subnets, METH_VARARGS | METH_KEYWORDS,
     SUBNETS_DOC},
    {"contains", ipv6network_contains, METH_O, CONTAINS_DOC},
    {"subnet_of", network_subnet_of, METH_O, SUBNET_OF_DOC},
    {"supernet_of", network_supernet_of, METH_O, SUPERNET_OF_DOC},
    {"hosts", network_hosts, METH_NOARGS, HOSTS_DOC},
    {"address_exclude", network_address_exclude, METH_O, EXCLUDE_DOC},
    {"compare_networks", network_compare_networks, METH_O, COMPARE_DOC},
    {"__reduce__", network_reduce, METH_NOARGS, BINDING_REDUCE_DOC},
    {"_from_state", ipv6network_from_state, METH_CLASS | METH_O, BINDING_FROM_STATE_DOC},
    {"__copy__", binding_copy, METH_NOARGS, BINDING_COPY_DOC},
    {"__deepcopy__", binding_deepcopy, METH_O, BINDING_DEEPCOPY_DOC},
    {NULL, NULL, 0, NULL},
};

/* ---- comparison, hashing, text ------------------------------------------ */

/*
 * Networks of one family order by address, then shorter length first.
 * Against the other family == and != answer (the networks are unequal, so
 * mixed containers work) and an order is an error: there is no cross-family
 * order.  Anything else is left to the other operand.
 */
static PyObject *network_richcmp(PyObject *self, PyObject *other, int op, int same_type,
                                 int other_family_type) {
  if (!same_type) {
    if (!other_family_type) Py_RETURN_NOTIMPLEMENTED;
    if (op == Py_EQ) Py_RETURN_FALSE;
    if (op == Py_NE) Py_RETURN_TRUE;
    PyErr_SetString(pytarn_FamilyError, family_mismatch_msg);
    return NULL;
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

/* hash: keyed, over family, address bytes and length. */
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
    {Py_tp_iter, network_iter},
    {Py_mp_subscript, network_subscript},
    {Py_tp_methods, ipv4network_methods},
    {Py_tp_getset, ipv4network_getset},
    {Py_tp_doc, "IPv4Network(value, /, strict=True)\n--\n\nIPv4 network (CIDR prefix)."},
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
    {Py_tp_iter, network_iter},
    {Py_mp_subscript, network_subscript},
    {Py_tp_methods, ipv6network_methods},
    {Py_tp_getset, ipv6network_getset},
    {Py_tp_doc, "IPv6Network(value, /, strict=True)\n--\n\nIPv6 network (CIDR prefix)."},
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

/*
 * The family of an iterator state from its first byte (4 or 6), with the
 * layout's length checked for that family: `fixed` bytes and two
 * addresses.  The payload, or NULL with InvalidArgumentError.
 */
static const uint8_t *iterator_state(PyObject *state, const char *what, Py_ssize_t fixed,
                                     tarn_family_t *family) {
  Py_ssize_t len;
  const uint8_t *s = binding_state_payload(state, what, &len);
  if (s == NULL) return NULL;
  if (len < 1 || (s[0] != 4 && s[0] != 6)) {
    binding_restore_error(pytarn_InvalidArgumentError, what,
                          "the family byte %d is neither 4 nor 6", len < 1 ? -1 : (int)s[0]);
    return NULL;
  }
  *family = s[0] == 4 ? TARN_AF_INET : TARN_AF_INET6;
  Py_ssize_t want = fixed + 2 * (Py_ssize_t)binding_addr_len(*family);
  if (len != want) {
    binding_restore_error(pytarn_InvalidArgumentError, what,
                          "the state holds %zd bytes after its version, not %zd", len, want);
    return NULL;
  }
  return s;
}

static int done_flag(uint8_t flag, const char *what) {
  if (flag <= 1) return 0;
  return binding_restore_error(pytarn_InvalidArgumentError, what,
                               "the exhausted flag %d is neither 0 nor 1", (int)flag);
}

/*
 * SubnetIterator state: family (4 or 6), the network's length, the subnet
 * length, the exhausted flag (0 or 1), the network's address, then the
 * next subnet's address (zero once exhausted): 12 or 36 bytes after the
 * version.  The network is recovered from the core's record: `limit` is
 * one past its last address modulo 2^bits, so its first address is limit -
 * 2^(bits - length), taken modulo 2^bits as well (for /0 that is limit
 * itself).
 */
static PyObject *subnetiterator_reduce(PyObject *self, PyObject *unused) {
  (void)unused;
  const SubnetIteratorObject *it = (const SubnetIteratorObject *)self;
  tarn_family_t family = it->family;
  size_t n = binding_addr_len(family);
  tarn_addr_t limit = it->iter.limit.addr;
  limit.family = family;
  binding_u128 w = binding_addr_words(&limit);
  /* size - 1 = the parent's host mask; subtract it, then 1, in words. */
  binding_u128 m = binding_hostmask_words(network_max_len(family), it->iter.limit.pfxlen);
  uint64_t borrow = w.lo < m.lo;
  w.lo -= m.lo;
  w.hi -= m.hi + borrow;
  w.hi -= w.lo == 0;
  w.lo -= 1;
  binding_u128 all = binding_family_max(family);
  w.hi &= all.hi;
  w.lo &= all.lo;
  tarn_addr_t parent;
  binding_words_addr(w, family, &parent);

  char state[37];
  memset(state, 0, sizeof state);
  state[0] = BINDING_STATE_VERSION;
  state[1] = family == TARN_AF_INET ? 4 : 6;
  state[2] = (char)it->iter.limit.pfxlen;
  state[3] = (char)it->iter.target_pfxlen;
  state[4] = it->iter.done ? 1 : 0;
  memcpy(state + 5, parent.addr.v6, n);
  if (!it->iter.done) memcpy(state + 5 + n, it->iter.current.addr.addr.v6, n);
  return binding_reduce(self, PyBytes_FromStringAndSize(state, 5 + 2 * (Py_ssize_t)n));
}

/* _from_state: the core's record made by tarn_subnet_iter_init from the
 * checked network and subnet length, then moved to the next subnet, which
 * must be aligned to the subnet length and inside the network. */
static PyObject *subnetiterator_from_state(PyObject *cls, PyObject *state) {
  static const char what[] = "SubnetIterator";
  tarn_family_t family;
  const uint8_t *s = iterator_state(state, what, 4, &family);
  if (s == NULL) return NULL;
  unsigned max = network_max_len(family), parent_len = s[1], target = s[2];
  size_t n = binding_addr_len(family);
  tarn_prefix_t parent;
  if (done_flag(s[3], what) < 0 || prefix_from_state(s + 4, parent_len, family, what, &parent) < 0)
    return NULL;
  if (target <= parent_len || target > max) {
    binding_restore_error(pytarn_PrefixLengthError, what,
                          "subnet length %u is not longer than /%u and at most %u", target,
                          parent_len, max);
    return NULL;
  }
  tarn_subnet_iter_t iter;
  memset(&iter, 0, sizeof iter);
  if (tarn_set_python_error(tarn_subnet_iter_init(&iter, &parent, (uint8_t)target), NULL) < 0)
    return NULL;
  const uint8_t *next = s + 4 + n;
  if (s[3]) {
    for (size_t i = 0; i < n; i++) {
      if (next[i] != 0) {
        binding_restore_error(pytarn_InvalidArgumentError, what,
                              "an exhausted iterator has no next subnet");
        return NULL;
      }
    }
    /* Where the core leaves an iterator it has run to the end. */
    iter.current.addr = iter.limit.addr;
    iter.done = true;
  } else {
    tarn_prefix_t at;
    if (prefix_from_state(next, target, family, what, &at) < 0) return NULL;
    binding_u128 w = binding_addr_words(&at.addr), p = binding_addr_words(&parent.addr);
    binding_u128 host = binding_hostmask_words(max, parent_len);
    if ((w.hi & ~host.hi) != p.hi || (w.lo & ~host.lo) != p.lo) {
      binding_restore_error(pytarn_InvalidArgumentError, what,
                            "the next subnet lies outside the network");
      return NULL;
    }
    iter.current.addr = at.addr;
  }
  PyObject *self = binding_state_alloc(cls);
  if (self == NULL) return NULL;
  ((SubnetIteratorObject *)self)->iter = iter;
  ((SubnetIteratorObject *)self)->family = family;
  return self;
}

static PyMethodDef subnetiterator_methods[] = {
    {"__reduce__", subnetiterator_reduce, METH_NOARGS, BINDING_REDUCE_DOC},
    {"_from_state", subnetiterator_from_state, METH_CLASS | METH_O, BINDING_FROM_STATE_DOC},
    {"__copy__", binding_copy_mutable, METH_NOARGS, BINDING_COPY_DOC},
    {"__deepcopy__", binding_deepcopy_mutable, METH_O, BINDING_DEEPCOPY_DOC},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot subnetiterator_slots[] = {
    {Py_tp_dealloc, binding_dealloc},
    {Py_tp_iter, subnetiterator_iter},
    {Py_tp_iternext, subnetiterator_next},
    {Py_tp_methods, subnetiterator_methods},
    {Py_tp_doc, "Subnet iterator for CIDR prefix enumeration."},
    {0, NULL},
};

/* Only subnets() makes iterators: calling the type raises TypeError. */
PyType_Spec subnetiterator_spec = {
    "pytarn.SubnetIterator", sizeof(SubnetIteratorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    subnetiterator_slots};

/* ---- AddressIterator ---------------------------------------------------- */

PyObject *binding_address_iterator(tarn_family_t family, binding_u128 first, binding_u128 last,
                                   int empty) {
  AddressIteratorObject *it = (AddressIteratorObject *)PyType_GenericAlloc(addressiterator_type, 0);
  if (it == NULL) return NULL;
  it->next = first;
  it->last = last;
  it->family = family;
  it->done = empty;
  return (PyObject *)it;
}

/* __iter__: the iterator itself. */
static PyObject *addressiterator_iter(PyObject *self) {
  Py_INCREF(self);
  return self;
}

/* __next__: one address per call; `done` is set on handing out `last`, so
 * the step past the top of the space never happens. */
static PyObject *addressiterator_next(PyObject *self) {
  AddressIteratorObject *it = (AddressIteratorObject *)self;
  if (it->done) return NULL;
  tarn_addr_t addr;
  binding_words_addr(it->next, it->family, &addr);
  if (binding_u128_cmp(it->next, it->last) >= 0) {
    it->done = 1;
  } else {
    it->next.lo += 1;
    it->next.hi += it->next.lo == 0;
  }
  return binding_addr_to_pyobj(&addr);
}

/* AddressIterator state: family (4 or 6), the exhausted flag (0 or 1),
 * then the next and the last address: 10 or 34 bytes after the version.
 * An exhausted iterator keeps its last position, which is still at most
 * its end. */
static PyObject *addressiterator_reduce(PyObject *self, PyObject *unused) {
  (void)unused;
  const AddressIteratorObject *it = (const AddressIteratorObject *)self;
  size_t n = binding_addr_len(it->family);
  tarn_addr_t next, last;
  binding_words_addr(it->next, it->family, &next);
  binding_words_addr(it->last, it->family, &last);
  char state[35];
  state[0] = BINDING_STATE_VERSION;
  state[1] = it->family == TARN_AF_INET ? 4 : 6;
  state[2] = it->done ? 1 : 0;
  memcpy(state + 3, next.addr.v6, n);
  memcpy(state + 3 + n, last.addr.v6, n);
  return binding_reduce(self, PyBytes_FromStringAndSize(state, 3 + 2 * (Py_ssize_t)n));
}

static PyObject *addressiterator_from_state(PyObject *cls, PyObject *state) {
  static const char what[] = "AddressIterator";
  tarn_family_t family;
  const uint8_t *s = iterator_state(state, what, 2, &family);
  if (s == NULL || done_flag(s[1], what) < 0) return NULL;
  size_t n = binding_addr_len(family);
  tarn_addr_t next, last;
  memset(&next, 0, sizeof next);
  memset(&last, 0, sizeof last);
  next.family = last.family = family;
  memcpy(next.addr.v6, s + 2, n);
  memcpy(last.addr.v6, s + 2 + n, n);
  binding_u128 wn = binding_addr_words(&next), wl = binding_addr_words(&last);
  if (binding_u128_cmp(wn, wl) > 0) {
    binding_restore_error(pytarn_InvalidArgumentError, what, "the position lies beyond the end");
    return NULL;
  }
  PyObject *self = binding_state_alloc(cls);
  if (self == NULL) return NULL;
  AddressIteratorObject *it = (AddressIteratorObject *)self;
  it->next = wn;
  it->last = wl;
  it->family = family;
  it->done = s[1];
  return self;
}

static PyMethodDef addressiterator_methods[] = {
    {"__reduce__", addressiterator_reduce, METH_NOARGS, BINDING_REDUCE_DOC},
    {"_from_state", addressiterator_from_state, METH_CLASS | METH_O, BINDING_FROM_STATE_DOC},
    {"__copy__", binding_copy_mutable, METH_NOARGS, BINDING_COPY_DOC},
    {"__deepcopy__", binding_deepcopy_mutable, METH_O, BINDING_DEEPCOPY_DOC},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot addressiterator_slots[] = {
    {Py_tp_dealloc, binding_dealloc},
    {Py_tp_iter, addressiterator_iter},
    {Py_tp_iternext, addressiterator_next},
    {Py_tp_methods, addressiterator_methods},
    {Py_tp_doc, "Lazy iterator over the addresses of a network, in ascending order."},
    {0, NULL},
};

/* Only networks make address iterators: calling the type raises TypeError. */
PyType_Spec addressiterator_spec = {
    "pytarn.AddressIterator", sizeof(AddressIteratorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    addressiterator_slots};
