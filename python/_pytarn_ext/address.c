/*
 * address.c - IPv4Address and IPv6Address, and the converters that turn
 * Python values (text, bytes, integers, foreign address objects) into a
 * tarn_addr_t for every part of the binding.
 *
 * The two types are twins: each object holds one tarn_addr_t whose family
 * always matches its type (4 or 6), and every slot that does not differ by
 * family is shared and reads the family from the record.  Objects are
 * immutable; everything they answer is computed from the record on demand.
 */
#include <string.h>

#include "pytarn_ext.h"

static const char family_mismatch[] = "address family mismatch";

/* Names looked up on every call, interned once on first use and kept for
 * the life of the process (the binding never runs without the lock). */
static PyObject *interned(PyObject **slot, const char *text) {
  if (*slot == NULL) *slot = PyUnicode_InternFromString(text);
  return *slot;
}

/* ---- converters ----------------------------------------------------------- */

const char *binding_text_utf8(PyObject *obj, Py_ssize_t *len) {
  /* The interpreter caches the UTF-8 form inside the str object, so no
   * encoded copy is made or held here; lone surrogates raise its
   * UnicodeEncodeError. */
  const char *text = PyUnicode_AsUTF8AndSize(obj, len);
  if (text == NULL) return NULL;
  if (memchr(text, '\0', (size_t)*len) != NULL) {
    /* The message must be the whole text, NUL and all, so it is raised as
     * a str object; an exact copy keeps a subclass's __str__ out of it. */
    PyObject *msg =
        PyUnicode_CheckExact(obj) ? (Py_INCREF(obj), obj) : PyUnicode_FromStringAndSize(text, *len);
    if (msg != NULL) {
      PyErr_SetObject(pytarn_ParseError, msg);
      Py_DECREF(msg);
    }
    return NULL;
  }
  return text;
}

int binding_string_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected) {
  Py_ssize_t len;
  const char *text = binding_text_utf8(obj, &len);
  if (text == NULL) return -1;

  tarn_addr_t parsed;
  memset(&parsed, 0, sizeof parsed);
  tarn_err_t rc = tarn_addr_parse(text, &parsed);
  if (rc != TARN_OK) return tarn_set_python_error(rc, text);
  if (parsed.family != expected) {
    PyErr_SetString(pytarn_FamilyError, family_mismatch);
    return -1;
  }
  *addr = parsed;
  return 0;
}

/* Copy `n` network-order bytes into a zero-filled record of `family`. */
static void fill_addr(tarn_addr_t *addr, tarn_family_t family, const char *bytes, size_t n) {
  memset(addr, 0, sizeof *addr);
  addr->family = family;
  memcpy(addr->addr.v6, bytes, n);
}

int binding_bytes_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected) {
  size_t want = binding_addr_len(expected);
  char *bytes;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(obj, &bytes, &len) < 0) return -1;
  if ((size_t)len != want) {
    PyErr_Format(pytarn_InvalidArgumentError, "address requires exactly %zu bytes", want);
    return -1;
  }
  fill_addr(addr, expected, bytes, want);
  return 0;
}

static int out_of_range(tarn_family_t expected) {
  PyErr_Format(pytarn_InvalidArgumentError, "address value out of range for %s",
               expected == TARN_AF_INET ? "IPv4" : "IPv6");
  return -1;
}

/* Store `value` big-endian into out[0..n). */
static void put_be64(uint8_t *out, uint64_t value, size_t n) {
  for (size_t i = n; i-- > 0;) {
    out[i] = (uint8_t)value;
    value >>= 8;
  }
}

/*
 * Convert the exact int `num` (the caller's value through __index__, so a
 * subclass's overrides of comparison or to_bytes play no part):
 *   1. fast path: it fits an unsigned 64-bit integer (so it is non-negative);
 *      IPv4 then only needs the range check;
 *   2. otherwise (OverflowError) it is negative or at least 2^64; the sign
 *      is tested on the exact int;
 *   3. for IPv6 the high half is num >> 64, which must again fit 64 bits,
 *      and the low half is num modulo 2^64.
 */
static int exact_int_to_addr(PyObject *num, tarn_addr_t *addr, tarn_family_t expected) {
  uint64_t low = PyLong_AsUnsignedLongLong(num);
  uint64_t high = 0;
  if (low == (uint64_t)-1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();

    PyObject *zero = PyLong_FromLong(0);
    if (zero == NULL) return -1;
    int negative = PyObject_RichCompareBool(num, zero, Py_LT);
    Py_DECREF(zero);
    if (negative < 0) return -1;
    if (negative) {
      PyErr_SetString(pytarn_InvalidArgumentError, "address must be non-negative");
      return -1;
    }
    if (expected == TARN_AF_INET) return out_of_range(expected);

    PyObject *shift = PyLong_FromLong(64);
    if (shift == NULL) return -1;
    PyObject *upper = PyNumber_Rshift(num, shift);
    Py_DECREF(shift);
    if (upper == NULL) return -1;
    high = PyLong_AsUnsignedLongLong(upper);
    Py_DECREF(upper);
    if (high == (uint64_t)-1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
      PyErr_Clear();
      return out_of_range(expected);
    }
    low = PyLong_AsUnsignedLongLongMask(num);
    if (low == (uint64_t)-1 && PyErr_Occurred()) return -1;
  }

  memset(addr, 0, sizeof *addr);
  addr->family = expected;
  if (expected == TARN_AF_INET) {
    if (low > UINT32_MAX) return out_of_range(expected);
    put_be64(addr->addr.v4, low, 4);
  } else {
    put_be64(addr->addr.v6, high, 8);
    put_be64(addr->addr.v6 + 8, low, 8);
  }
  return 0;
}

int binding_int_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected) {
  /* For an int (or subclass) this is an exact int copy: nothing the
   * subclass defines runs. */
  PyObject *num = PyNumber_Index(obj);
  if (num == NULL) return -1;
  tarn_addr_t parsed;
  int rc = exact_int_to_addr(num, &parsed, expected);
  Py_DECREF(num);
  if (rc == 0) *addr = parsed;
  return rc;
}

int binding_ipaddress_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected) {
  static PyObject *packed_name = NULL;
  PyObject *name = interned(&packed_name, "packed");
  if (name == NULL) return -1;

  PyObject *packed = PyObject_GetAttr(obj, name);
  if (packed == NULL) {
    /* Only a missing attribute means "not an address object"; anything
     * else (MemoryError, KeyboardInterrupt, a failing property) stands. */
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot construct %s from non-ipaddress object",
                   expected == TARN_AF_INET ? "IPv4Address" : "IPv6Address");
    }
    return -1;
  }

  int rc = -1;
  if (!PyBytes_Check(packed)) {
    PyErr_SetString(PyExc_TypeError, "'packed' attribute is not bytes");
  } else if ((size_t)PyBytes_Size(packed) != binding_addr_len(expected)) {
    /* A 16-byte value for IPv4 (or 4 for IPv6) is the other family; any
     * other length is no address at all, and reported the same way. */
    PyErr_SetString(pytarn_FamilyError, family_mismatch);
  } else {
    fill_addr(addr, expected, PyBytes_AsString(packed), binding_addr_len(expected));
    rc = 0;
  }
  Py_DECREF(packed);
  return rc;
}

/* ---- construction --------------------------------------------------------- */

/* The argument's kind is decided by its type flags, in this order: text,
 * bytes, integer, then anything with a `packed` attribute.  Subclasses of
 * the builtins count as the builtin.  Keyword arguments are ignored. */
static PyObject *address_new_impl(PyTypeObject *type, PyObject *args, tarn_family_t family) {
  /* The one-argument case is taken straight from the tuple: on the hot path
   * of building addresses from text the argument parser costs as much as
   * the parse itself.  Any other count goes through the parser for its
   * usual TypeError. */
  PyObject *value;
  if (PyTuple_Size(args) == 1) {
    value = PyTuple_GetItem(args, 0);
  } else if (!PyArg_ParseTuple(args, "O", &value)) {
    return NULL;
  }

  tarn_addr_t addr;
  unsigned long flags = PyType_GetFlags(Py_TYPE(value));
  int rc;
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS)
    rc = binding_string_to_addr(value, &addr, family);
  else if (flags & Py_TPFLAGS_BYTES_SUBCLASS)
    rc = binding_bytes_to_addr(value, &addr, family);
  else if (flags & Py_TPFLAGS_LONG_SUBCLASS)
    rc = binding_int_to_addr(value, &addr, family);
  else
    rc = binding_ipaddress_to_addr(value, &addr, family);
  if (rc < 0) return NULL;

  /* The type actually called, so a Python subclass gets its own instance
   * (with its GC header and dict) from its own allocator. */
  allocfunc alloc = (type == ipv4address_type || type == ipv6address_type)
                        ? PyType_GenericAlloc
                        : (allocfunc)PyType_GetSlot(type, Py_tp_alloc);
  PyObject *self = alloc(type, 0);
  if (self == NULL) return NULL;
  ((AddressObject *)self)->addr = addr;
  return self;
}

static PyObject *ipv4address_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  (void)kwargs;
  return address_new_impl(type, args, TARN_AF_INET);
}

static PyObject *ipv6address_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  (void)kwargs;
  return address_new_impl(type, args, TARN_AF_INET6);
}

/* ---- shared helpers ------------------------------------------------------- */

static const tarn_addr_t *addr_of(PyObject *self) { return &((AddressObject *)self)->addr; }

/* Canonical text into buf (TARN_ADDR_STRLEN bytes); -1 with the mapped
 * core error. */
static int addr_format_impl(PyObject *self, char *buf) {
  return tarn_set_python_error(tarn_addr_format(addr_of(self), buf, TARN_ADDR_STRLEN), NULL);
}

/* Unsigned byte comparison from byte 0: the numeric order. */
static void addr_cmp_bytes(const uint8_t *a, const uint8_t *b, size_t len, int *result) {
  int c = memcmp(a, b, len);
  *result = (c > 0) - (c < 0);
}

/* The class bitmask of addr; -1 with the mapped core error. */
static int addr_classify_impl(const tarn_addr_t *addr, tarn_class_t *out) {
  return tarn_set_python_error(tarn_addr_classify(addr, out), NULL);
}

/* True/False for one class bit, or NULL with the mapped core error. */
static PyObject *addr_has_class(PyObject *self, tarn_class_t bit) {
  tarn_class_t cls;
  if (addr_classify_impl(addr_of(self), &cls) < 0) return NULL;
  return PyBool_FromLong((cls & bit) != 0);
}

/* ---- text, hash, comparison slots ------------------------------------------ */

/* str(): the canonical text. */
static PyObject *address_str(PyObject *self) {
  char buf[TARN_ADDR_STRLEN];
  if (addr_format_impl(self, buf) < 0) return NULL;
  return PyUnicode_FromString(buf);
}

/* repr(): the base type's name around the canonical text, for subclasses
 * too. */
static PyObject *address_repr(PyObject *self) {
  char buf[TARN_ADDR_STRLEN];
  if (addr_format_impl(self, buf) < 0) return NULL;
  const char *name = addr_of(self)->family == TARN_AF_INET ? "IPv4Address" : "IPv6Address";
  return PyUnicode_FromFormat("%s('%s')", name, buf);
}

/* hash(): over family and the 4 or 16 significant bytes only. */
static Py_hash_t address_hash(PyObject *self) {
  const tarn_addr_t *a = addr_of(self);
  return binding_hash(a->family, a->addr.v6, binding_addr_len(a->family), 0, 0);
}

/* Numeric order within a family; the other family is an error for every
 * operator, == included; anything else is not ours to compare. */
static PyObject *address_richcmp(PyObject *self, PyObject *other, int op) {
  const tarn_addr_t *a = addr_of(self);
  int v4 = a->family == TARN_AF_INET;
  int same = v4 ? binding_is_ipv4address(other) : binding_is_ipv6address(other);
  if (!same) {
    int twin = v4 ? binding_is_ipv6address(other) : binding_is_ipv4address(other);
    if (twin) {
      PyErr_SetString(pytarn_FamilyError, family_mismatch);
      return NULL;
    }
    Py_RETURN_NOTIMPLEMENTED;
  }
  int c;
  addr_cmp_bytes(a->addr.v6, addr_of(other)->addr.v6, binding_addr_len(a->family), &c);
  switch (op) {
    case Py_LT:
      return PyBool_FromLong(c < 0);
    case Py_LE:
      return PyBool_FromLong(c <= 0);
    case Py_EQ:
      return PyBool_FromLong(c == 0);
    case Py_NE:
      return PyBool_FromLong(c != 0);
    case Py_GT:
      return PyBool_FromLong(c > 0);
    default: /* Py_GE */
      return PyBool_FromLong(c >= 0);
  }
}

/* ---- properties ------------------------------------------------------------ */

static PyObject *address_get_packed(PyObject *self, void *closure) {
  (void)closure;
  const tarn_addr_t *a = addr_of(self);
  return PyBytes_FromStringAndSize((const char *)a->addr.v6, (Py_ssize_t)binding_addr_len(a->family));
}

static PyObject *address_get_compressed(PyObject *self, void *closure) {
  (void)closure;
  return address_str(self);
}

/*
 * Every group as four lowercase hex digits, high nibble first, groups
 * joined by ':': always 39 characters and the NUL, no "::" and no
 * dotted-quad tail.  A buffer under 40 bytes gets the empty text.
 */
static void ipv6_format_exploded(const tarn_addr_t *addr, char *buf, size_t len) {
  static const char hex[] = "0123456789abcdef";
  if (len < 40) {
    if (len > 0) buf[0] = '\0';
    return;
  }
  char *p = buf;
  for (int i = 0; i < 8; i++) {
    if (i > 0) *p++ = ':';
    uint8_t hi = addr->addr.v6[2 * i], lo = addr->addr.v6[2 * i + 1];
    *p++ = hex[hi >> 4];
    *p++ = hex[hi & 0xf];
    *p++ = hex[lo >> 4];
    *p++ = hex[lo & 0xf];
  }
  *p = '\0';
}

static PyObject *ipv6address_get_exploded(PyObject *self, void *closure) {
  (void)closure;
  char buf[TARN_ADDR_STRLEN];
  ipv6_format_exploded(addr_of(self), buf, sizeof buf);
  return PyUnicode_FromString(buf);
}

static PyObject *address_get_version(PyObject *self, void *closure) {
  (void)closure;
  return PyLong_FromLong(addr_of(self)->family == TARN_AF_INET ? 4 : 6);
}

/* One helper per class property, each testing exactly one bit. */
static PyObject *addr_is_global_impl(PyObject *self, void *closure) {
  (void)closure;
  return addr_has_class(self, TARN_CLASS_GLOBAL);
}

/* RFC 1918 for IPv4; unique-local (RFC 4193) for IPv6, since no IPv6 block
 * carries the private class. */
static PyObject *addr_is_private_impl(PyObject *self, void *closure) {
  (void)closure;
  tarn_class_t bit =
      addr_of(self)->family == TARN_AF_INET ? TARN_CLASS_PRIVATE : TARN_CLASS_UNIQUE_LOCAL;
  return addr_has_class(self, bit);
}

static PyObject *addr_is_loopback_impl(PyObject *self, void *closure) {
  (void)closure;
  return addr_has_class(self, TARN_CLASS_LOOPBACK);
}

static PyObject *addr_is_multicast_impl(PyObject *self, void *closure) {
  (void)closure;
  return addr_has_class(self, TARN_CLASS_MULTICAST);
}

static PyObject *addr_is_link_local_impl(PyObject *self, void *closure) {
  (void)closure;
  return addr_has_class(self, TARN_CLASS_LINK_LOCAL);
}

/* IPv4 answers False without classifying: 0.0.0.0 is "this host" there. */
static PyObject *addr_is_unspecified_impl(PyObject *self, void *closure) {
  (void)closure;
  if (addr_of(self)->family == TARN_AF_INET) Py_RETURN_FALSE;
  return addr_has_class(self, TARN_CLASS_UNSPECIFIED);
}

/* ---- methods ------------------------------------------------------------- */

/* classify(): the whole class bitmask as a non-negative int. */
static PyObject *address_classify(PyObject *self, PyObject *unused) {
  (void)unused;
  tarn_class_t cls;
  if (addr_classify_impl(addr_of(self), &cls) < 0) return NULL;
  return PyLong_FromUnsignedLong(cls);
}

/* to_ipv4(): the embedded IPv4Address of an IPv4-mapped address, else
 * None; built by the IPv4Address constructor from its four bytes. */
static PyObject *ipv6address_to_ipv4(PyObject *self, PyObject *unused) {
  (void)unused;
  tarn_addr_t v4;
  tarn_err_t rc = tarn_addr_to_v4(addr_of(self), &v4);
  if (rc == TARN_ERR_FAMILY) Py_RETURN_NONE;
  if (tarn_set_python_error(rc, NULL) < 0) return NULL;
  PyObject *bytes = PyBytes_FromStringAndSize((const char *)v4.addr.v4, 4);
  if (bytes == NULL) return NULL;
  PyObject *result = PyObject_CallFunctionObjArgs((PyObject *)ipv4address_type, bytes, NULL);
  Py_DECREF(bytes);
  return result;
}

#define CLASSIFY_DOC "classify() -> int\n\nReturn the IANA classification bitmask."

static PyMethodDef ipv4address_methods[] = {
    {"classify", address_classify, METH_NOARGS, CLASSIFY_DOC},
    {NULL, NULL, 0, NULL},
};

static PyMethodDef ipv6address_methods[] = {
    {"classify", address_classify, METH_NOARGS, CLASSIFY_DOC},
    {"to_ipv4", ipv6address_to_ipv4, METH_NOARGS,
     "to_ipv4() -> IPv4Address | None\n\nExtract embedded IPv4 address from an IPv4-mapped "
     "IPv6 address. Returns None if the address is not IPv4-mapped."},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef ipv4address_getset[] = {
    {"packed", address_get_packed, NULL, "raw address bytes (4 bytes)", NULL},
    {"compressed", address_get_compressed, NULL, "canonical string form", NULL},
    {"exploded", address_get_compressed, NULL, "exploded string form (same as compressed for IPv4)",
     NULL},
    {"version", address_get_version, NULL, "address family version (4)", NULL},
    {"is_global", addr_is_global_impl, NULL, "whether the address is globally reachable", NULL},
    {"is_private", addr_is_private_impl, NULL, "whether the address is private (RFC 1918)", NULL},
    {"is_loopback", addr_is_loopback_impl, NULL, "whether the address is a loopback address", NULL},
    {"is_multicast", addr_is_multicast_impl, NULL, "whether the address is a multicast address",
     NULL},
    {"is_link_local", addr_is_link_local_impl, NULL, "whether the address is link-local", NULL},
    {"is_unspecified", addr_is_unspecified_impl, NULL,
     "whether the address is unspecified (always False)", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyGetSetDef ipv6address_getset[] = {
    {"packed", address_get_packed, NULL, "raw address bytes (16 bytes)", NULL},
    {"compressed", address_get_compressed, NULL, "canonical string form (RFC 5952)", NULL},
    {"exploded", ipv6address_get_exploded, NULL, "fully-expanded string form (all 8 groups)", NULL},
    {"version", address_get_version, NULL, "address family version (6)", NULL},
    {"is_global", addr_is_global_impl, NULL, "whether the address is globally reachable", NULL},
    {"is_private", addr_is_private_impl, NULL, "whether the address is unique-local (RFC 4193)",
     NULL},
    {"is_loopback", addr_is_loopback_impl, NULL,
     "whether the address is the loopback address (::1)", NULL},
    {"is_multicast", addr_is_multicast_impl, NULL, "whether the address is a multicast address",
     NULL},
    {"is_link_local", addr_is_link_local_impl, NULL,
     "whether the address is link-local (fe80::/10)", NULL},
    {"is_unspecified", addr_is_unspecified_impl, NULL, "whether the address is unspecified (::)",
     NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

/* ---- the two types --------------------------------------------------------- */

static PyType_Slot ipv4address_slots[] = {
    {Py_tp_new, ipv4address_new},
    {Py_tp_dealloc, binding_dealloc},
    {Py_tp_richcompare, address_richcmp},
    {Py_tp_hash, address_hash},
    {Py_tp_str, address_str},
    {Py_tp_repr, address_repr},
    {Py_tp_methods, ipv4address_methods},
    {Py_tp_getset, ipv4address_getset},
    {Py_tp_doc, "IPv4 address representation."},
    {0, NULL},
};

static PyType_Slot ipv6address_slots[] = {
    {Py_tp_new, ipv6address_new},
    {Py_tp_dealloc, binding_dealloc},
    {Py_tp_richcompare, address_richcmp},
    {Py_tp_hash, address_hash},
    {Py_tp_str, address_str},
    {Py_tp_repr, address_repr},
    {Py_tp_methods, ipv6address_methods},
    {Py_tp_getset, ipv6address_getset},
    {Py_tp_doc, "IPv6 address representation."},
    {0, NULL},
};

PyType_Spec ipv4address_spec = {"pytarn.IPv4Address", sizeof(AddressObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv4address_slots};
PyType_Spec ipv6address_spec = {"pytarn.IPv6Address", sizeof(AddressObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv6address_slots};
