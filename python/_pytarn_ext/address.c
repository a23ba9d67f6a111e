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

/* Convert the exact int `num` (the caller's value through __index__, so a
 * subclass's overrides of comparison or to_bytes play no part). */
static int exact_int_to_addr(PyObject *num, tarn_addr_t *addr, tarn_family_t expected) {
  binding_u128 w;
  int rc = binding_long_to_u128(num, &w);
  if (rc < 0) return -1;
  if (rc == 1) {
    PyErr_SetString(pytarn_InvalidArgumentError, "address must be non-negative");
    return -1;
  }
  if (rc == 2 || binding_u128_cmp(w, binding_family_max(expected)) > 0) {
    return out_of_range(expected);
  }
  binding_words_addr(w, expected, addr);
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

PyObject *binding_u128_to_long(binding_u128 w) {
  if (w.hi == 0) return PyLong_FromUnsignedLongLong(w.lo);
  PyObject *hi = PyLong_FromUnsignedLongLong(w.hi);
  PyObject *lo = PyLong_FromUnsignedLongLong(w.lo);
  PyObject *shift = PyLong_FromLong(64);
  PyObject *up = NULL, *result = NULL;
  if (hi != NULL && lo != NULL && shift != NULL) up = PyNumber_Lshift(hi, shift);
  if (up != NULL) result = PyNumber_Or(up, lo);
  Py_XDECREF(hi);
  Py_XDECREF(lo);
  Py_XDECREF(shift);
  Py_XDECREF(up);
  return result;
}

int binding_long_to_u128(PyObject *num, binding_u128 *out) {
  uint64_t lo = PyLong_AsUnsignedLongLong(num);
  if (!(lo == (uint64_t)-1 && PyErr_Occurred())) {
    out->hi = 0;
    out->lo = lo;
    return 0;
  }
  if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
  PyErr_Clear();
  /* Negative, or at least 2^64: the sign decides which. */
  PyObject *zero = PyLong_FromLong(0);
  if (zero == NULL) return -1;
  int negative = PyObject_RichCompareBool(num, zero, Py_LT);
  Py_DECREF(zero);
  if (negative < 0) return -1;
  if (negative) return 1;
  PyObject *shift = PyLong_FromLong(64);
  if (shift == NULL) return -1;
  PyObject *upper = PyNumber_Rshift(num, shift);
  Py_DECREF(shift);
  if (upper == NULL) return -1;
  uint64_t hi = PyLong_AsUnsignedLongLong(upper);
  Py_DECREF(upper);
  if (hi == (uint64_t)-1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();
    return 2;
  }
  lo = PyLong_AsUnsignedLongLongMask(num);
  if (lo == (uint64_t)-1 && PyErr_Occurred()) return -1;
  out->hi = hi;
  out->lo = lo;
  return 0;
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

int binding_value_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected) {
  unsigned long flags = PyType_GetFlags(Py_TYPE(obj));
  if (flags & Py_TPFLAGS_BYTES_SUBCLASS) return binding_bytes_to_addr(obj, addr, expected);
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) return binding_int_to_addr(obj, addr, expected);
  /* Our own objects answer __index__ too, but an address of the other
   * family must stay a family error, not become its number. */
  if (binding_is_ipv4address(obj) || binding_is_ipv6address(obj)) {
    const tarn_addr_t *a = &((AddressObject *)obj)->addr;
    if (a->family != expected) {
      PyErr_SetString(pytarn_FamilyError, family_mismatch);
      return -1;
    }
    *addr = *a;
    return 0;
  }
  /* A foreign address object is read through `packed` even when it also
   * has __index__ (some do, and its number would lose the family); only an
   * object without `packed` that has __index__ (a numpy integer) is a
   * number. */
  if (PyIndex_Check(obj)) {
    static PyObject *packed_name = NULL;
    PyObject *name = interned(&packed_name, "packed");
    if (name == NULL) return -1;
    PyObject *packed = PyObject_GetAttr(obj, name);
    if (packed != NULL) {
      Py_DECREF(packed);
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return binding_int_to_addr(obj, addr, expected);
    } else {
      return -1;
    }
  }
  return binding_ipaddress_to_addr(obj, addr, expected);
}

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
  int rc = PyUnicode_Check(value) ? binding_string_to_addr(value, &addr, family)
                                  : binding_value_to_addr(value, &addr, family);
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

/*
 * Numeric order within a family.  Against the other family == and != answer
 * (the objects are simply unequal, so mixed sets and lists work) while an
 * order is an error.  An interface is never equal to a plain address and
 * sorts after it; an interface operand normally runs its own slot first, as
 * a subtype, so this arm serves subclasses of the address types.  Anything
 * else is not ours to compare.
 */
static PyObject *address_richcmp(PyObject *self, PyObject *other, int op) {
  const tarn_addr_t *a = addr_of(self);
  int v4 = a->family == TARN_AF_INET;
  int same = v4 ? binding_is_ipv4address(other) : binding_is_ipv6address(other);
  if (!same) {
    int twin = v4 ? binding_is_ipv6address(other) : binding_is_ipv4address(other);
    if (!twin) Py_RETURN_NOTIMPLEMENTED;
    if (op == Py_EQ) Py_RETURN_FALSE;
    if (op == Py_NE) Py_RETURN_TRUE;
    PyErr_SetString(pytarn_FamilyError, family_mismatch);
    return NULL;
  }
  if (binding_is_interface(other) && !binding_is_interface(self)) {
    /* self is the plain address: less than every interface. */
    Py_RETURN_RICHCOMPARE(0, 1, op);
  }
  int c;
  addr_cmp_bytes(a->addr.v6, addr_of(other)->addr.v6, binding_addr_len(a->family), &c);
  Py_RETURN_RICHCOMPARE(c, 0, op);
}

/* ---- arithmetic and conversion ---------------------------------------------- */

/* int(a), operator.index(a): the address as a non-negative int. */
static PyObject *address_int(PyObject *self) {
  return binding_u128_to_long(binding_addr_words(addr_of(self)));
}

static PyObject *raise_overflow(void) {
  PyErr_SetString(pytarn_AddressOverflowError, "result not representable");
  return NULL;
}

/* w + v and w - v in words; 1 when the result leaves [0, 2^128). */
static int u128_add(binding_u128 w, binding_u128 v, binding_u128 *out) {
  out->lo = w.lo + v.lo;
  uint64_t carry = out->lo < w.lo;
  out->hi = w.hi + v.hi + carry;
  return out->hi < w.hi || (out->hi == w.hi && (v.hi != 0 || carry));
}

static int u128_sub(binding_u128 w, binding_u128 v, binding_u128 *out) {
  if (binding_u128_cmp(w, v) < 0) return 1;
  out->lo = w.lo - v.lo;
  out->hi = w.hi - v.hi - (w.lo < v.lo);
  return 0;
}

/*
 * |num| as words, with *negative its sign; 1 when |num| >= 2^128, -1 with
 * an exception.  The magnitude of a negative num is ~num + 1 (~num is
 * -num - 1 >= 0), so -num itself is never built.
 */
static int long_magnitude(PyObject *num, binding_u128 *mag, int *negative) {
  int overflow;
  long long v = PyLong_AsLongLongAndOverflow(num, &overflow);
  if (v == -1 && PyErr_Occurred()) return -1;
  if (!overflow) {
    *negative = v < 0;
    mag->hi = 0;
    /* -(v + 1) cannot overflow for any long long v < 0. */
    mag->lo = v < 0 ? (uint64_t)(-(v + 1)) + 1 : (uint64_t)v;
    return 0;
  }
  *negative = overflow < 0;
  PyObject *m = *negative ? PyNumber_Invert(num) : (Py_INCREF(num), num);
  if (m == NULL) return -1;
  int rc = binding_long_to_u128(m, mag);
  Py_DECREF(m);
  if (rc != 0) return rc < 0 ? -1 : 1;
  if (*negative) {
    binding_u128 one = {0, 1};
    if (u128_add(*mag, one, mag)) return 1;
  }
  return 0;
}

/*
 * `a` moved by the int `n` (negated when `subtract`), as the base type of
 * a's family.  The sum is formed in words with every borrow and carry
 * tested, so nothing wraps: a result below 0 or above the family's last
 * address is AddressOverflowError.
 */
static PyObject *address_offset(const tarn_addr_t *a, PyObject *n, int subtract) {
  PyObject *num = PyNumber_Index(n);
  if (num == NULL) return NULL;
  binding_u128 mag;
  int negative;
  int rc = long_magnitude(num, &mag, &negative);
  Py_DECREF(num);
  if (rc < 0) return NULL;
  binding_u128 out;
  binding_u128 w = binding_addr_words(a);
  if (rc != 0 || (negative != subtract ? u128_sub(w, mag, &out) : u128_add(w, mag, &out)) ||
      binding_u128_cmp(out, binding_family_max(a->family)) > 0) {
    return raise_overflow();
  }
  tarn_addr_t result;
  binding_words_addr(out, a->family, &result);
  return binding_addr_to_pyobj(&result);
}

/* An integer operand of the arithmetic slots: an int or anything with
 * __index__ (numpy integers), but never an address. */
static int is_offset(PyObject *o) {
  return PyIndex_Check(o) && !binding_is_ipv4address(o) && !binding_is_ipv6address(o);
}

static int is_address(PyObject *o) {
  return binding_is_ipv4address(o) || binding_is_ipv6address(o);
}

/* a + n and n + a. */
static PyObject *address_add(PyObject *x, PyObject *y) {
  if (is_address(x) && is_offset(y)) return address_offset(addr_of(x), y, 0);
  if (is_address(y) && is_offset(x)) return address_offset(addr_of(y), x, 0);
  Py_RETURN_NOTIMPLEMENTED;
}

/* a - n only: neither n - a nor a - b is an address. */
static PyObject *address_subtract(PyObject *x, PyObject *y) {
  if (is_address(x) && is_offset(y)) return address_offset(addr_of(x), y, 1);
  Py_RETURN_NOTIMPLEMENTED;
}

/*
 * format(a, spec): '' and any spec ending in 's' format the text; otherwise
 * the format specifier must be [#][_](b|x|X|n), the standard library's set, and the
 * number is printed zero-padded to the family's width ('n' is binary for
 * IPv4 and hex for IPv6; '_' groups by four digits; '#' adds the base
 * prefix).  Any other spec is refused as object.__format__ refuses it.
 */
static PyObject *address_format(PyObject *self, PyObject *spec) {
  if (!PyUnicode_Check(spec)) {
    PyErr_Format(PyExc_TypeError, "format_spec must be a str, not %T", spec);
    return NULL;
  }
  Py_ssize_t n;
  const char *f = PyUnicode_AsUTF8AndSize(spec, &n);
  if (f == NULL) return NULL;
  if (n == 0 || f[n - 1] == 's') {
    PyObject *text = PyObject_Str(self);
    if (text == NULL) return NULL;
    PyObject *out = PyObject_Format(text, spec);
    Py_DECREF(text);
    return out;
  }
  const char *p = f;
  int alternate = *p == '#';
  p += alternate;
  int grouping = *p == '_';
  p += grouping;
  char base = *p;
  int v4 = addr_of(self)->family == TARN_AF_INET;
  if (p + 1 != f + n || (base != 'b' && base != 'x' && base != 'X' && base != 'n')) {
    PyErr_Format(PyExc_TypeError, "unsupported format string passed to %s.__format__",
                 v4 ? "IPv4Address" : "IPv6Address");
    return NULL;
  }
  if (base == 'n') base = v4 ? 'b' : 'x';
  int bits = v4 ? 32 : 128;
  int pad = base == 'b' ? bits : bits / 4;
  if (grouping) pad += pad / 4 - 1;
  if (alternate) pad += 2;
  char int_spec[16];
  PyOS_snprintf(int_spec, sizeof int_spec, "%s0%d%s%c", alternate ? "#" : "", pad,
                grouping ? "_" : "", base);
  PyObject *num = address_int(self);
  if (num == NULL) return NULL;
  PyObject *spec_obj = PyUnicode_FromString(int_spec);
  PyObject *out = spec_obj != NULL ? PyObject_Format(num, spec_obj) : NULL;
  Py_XDECREF(spec_obj);
  Py_DECREF(num);
  return out;
}

/* ---- properties ------------------------------------------------------------ */

static PyObject *address_get_packed(PyObject *self, void *closure) {
  (void)closure;
  const tarn_addr_t *a = addr_of(self);
  return PyBytes_FromStringAndSize((const char *)a->addr.v6,
                                   (Py_ssize_t)binding_addr_len(a->family));
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

/* The registries' "Globally Reachable" column, not the GLOBAL class bit:
 * the most specific special-purpose block decides, and an address in none
 * is global. */
static PyObject *addr_is_global_impl(PyObject *self, void *closure) {
  (void)closure;
  bool global = false;
  if (tarn_set_python_error(tarn_addr_is_global(addr_of(self), &global), NULL) < 0) return NULL;
  return PyBool_FromLong(global);
}

/* One helper per class property, each testing exactly one bit. */
static PyObject *addr_is_reserved_impl(PyObject *self, void *closure) {
  (void)closure;
  return addr_has_class(self, TARN_CLASS_RESERVED);
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

/* reverse_pointer: the PTR name, "d.c.b.a.in-addr.arpa" or the 32 nibbles
 * in reverse joined by '.' and ".ip6.arpa" (RFC 1035, RFC 3596). */
static PyObject *address_get_reverse_pointer(PyObject *self, void *closure) {
  (void)closure;
  static const char hex[] = "0123456789abcdef";
  const tarn_addr_t *a = addr_of(self);
  char buf[80]; /* 32 nibbles and dots (64) + "ip6.arpa" + NUL */
  if (a->family == TARN_AF_INET) {
    PyOS_snprintf(buf, sizeof buf, "%u.%u.%u.%u.in-addr.arpa", a->addr.v4[3], a->addr.v4[2],
                  a->addr.v4[1], a->addr.v4[0]);
  } else {
    char *p = buf;
    for (int i = 15; i >= 0; i--) {
      *p++ = hex[a->addr.v6[i] & 0xf];
      *p++ = '.';
      *p++ = hex[a->addr.v6[i] >> 4];
      *p++ = '.';
    }
    memcpy(p, "ip6.arpa", sizeof "ip6.arpa");
  }
  return PyUnicode_FromString(buf);
}

/* ipv6_mapped (IPv4): ::ffff:a.b.c.d. */
static PyObject *ipv4address_get_ipv6_mapped(PyObject *self, void *closure) {
  (void)closure;
  tarn_addr_t m;
  memset(&m, 0, sizeof m);
  m.family = TARN_AF_INET6;
  m.addr.v6[10] = m.addr.v6[11] = 0xff;
  memcpy(m.addr.v6 + 12, addr_of(self)->addr.v4, 4);
  return binding_addr_to_pyobj(&m);
}

/* The IPv4 address held in bytes [at, at + 4) of `a`, each byte XORed with
 * `flip`. */
static PyObject *embedded_v4(const tarn_addr_t *a, int at, uint8_t flip) {
  tarn_addr_t v4;
  memset(&v4, 0, sizeof v4);
  v4.family = TARN_AF_INET;
  for (int i = 0; i < 4; i++) v4.addr.v4[i] = a->addr.v6[at + i] ^ flip;
  return binding_addr_to_pyobj(&v4);
}

/* sixtofour: the IPv4 address of a 2002::/16 address (RFC 3056), else None. */
static PyObject *ipv6address_get_sixtofour(PyObject *self, void *closure) {
  (void)closure;
  const tarn_addr_t *a = addr_of(self);
  if (a->addr.v6[0] != 0x20 || a->addr.v6[1] != 0x02) Py_RETURN_NONE;
  return embedded_v4(a, 2, 0);
}

/* teredo: (server, client) of a 2001::/32 address (RFC 4380; the client
 * is stored inverted), else None. */
static PyObject *ipv6address_get_teredo(PyObject *self, void *closure) {
  (void)closure;
  const tarn_addr_t *a = addr_of(self);
  static const uint8_t teredo[4] = {0x20, 0x01, 0, 0};
  if (memcmp(a->addr.v6, teredo, 4) != 0) Py_RETURN_NONE;
  PyObject *server = embedded_v4(a, 4, 0);
  PyObject *client = server != NULL ? embedded_v4(a, 12, 0xff) : NULL;
  PyObject *pair = client != NULL ? PyTuple_Pack(2, server, client) : NULL;
  Py_XDECREF(server);
  Py_XDECREF(client);
  return pair;
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

/* ---- pickling --------------------------------------------------------------- */

/* State: for IPv6, the 16 network-order address bytes after the version
 * byte.  For IPv4, the int (version << 32) | address: a pickler memoizes
 * every bytes object it writes and no small int, and in a list of a million
 * addresses those memo entries, a table far out of cache, cost more than
 * the rest of the dump (530 against 240 ms for a million (class, state)
 * pairs).  _from_state still reads the bytes form.  An interface has its
 * own state. */
#define V4_INT_STATE(a)                                                      \
  ((uint64_t)BINDING_STATE_VERSION << 32 | (uint64_t)(a)->addr.v4[0] << 24 | \
   (uint64_t)(a)->addr.v4[1] << 16 | (uint64_t)(a)->addr.v4[2] << 8 | (a)->addr.v4[3])

static PyObject *address_reduce(PyObject *self, PyObject *unused) {
  (void)unused;
  const tarn_addr_t *a = addr_of(self);
  if (a->family == TARN_AF_INET)
    return binding_reduce(self, PyLong_FromUnsignedLongLong(V4_INT_STATE(a)));
  size_t n = binding_addr_len(a->family);
  char state[17];
  state[0] = BINDING_STATE_VERSION;
  memcpy(state + 1, a->addr.v6, n);
  return binding_reduce(self, PyBytes_FromStringAndSize(state, (Py_ssize_t)n + 1));
}

static PyObject *address_reduce_ex(PyObject *self, PyObject *protocol) {
  (void)protocol;
  return binding_reduce_ex(self, address_reduce);
}

/* _from_state: any 4 or 16 bytes are an address, and so is any IPv4 int
 * state of this version; only the length, the range or the version can be
 * wrong.  The record is zero-filled past the family's bytes, as every
 * constructor leaves it. */
static PyObject *address_from_state(PyObject *cls, PyObject *state, tarn_family_t family) {
  const char *what = family == TARN_AF_INET ? "IPv4Address" : "IPv6Address";
  size_t n = binding_addr_len(family);
  uint8_t v4[4];
  const uint8_t *p = v4;
  if (family == TARN_AF_INET && PyLong_Check(state)) {
    /* Negative or above 64 bits fails the conversion; above 32 bits the
     * version must be this release's. */
    uint64_t w = PyLong_AsUnsignedLongLong(state);
    if (w == (uint64_t)-1 && PyErr_Occurred()) {
      PyErr_Clear();
      binding_restore_error(pytarn_InvalidArgumentError, what, "the state is out of range");
      return NULL;
    }
    if (w >> 32 != BINDING_STATE_VERSION) {
      binding_restore_error(pytarn_InvalidArgumentError, what,
                            "state version %llu is not one this release reads (%d)",
                            (unsigned long long)(w >> 32), BINDING_STATE_VERSION);
      return NULL;
    }
    for (int k = 0; k < 4; k++) v4[k] = (uint8_t)(w >> (24 - 8 * k));
  } else {
    p = binding_state_exact(state, what, (Py_ssize_t)n);
  }
  if (p == NULL) return NULL;
  PyObject *self = binding_state_alloc(cls);
  if (self == NULL) return NULL;
  fill_addr(&((AddressObject *)self)->addr, family, (const char *)p, n);
  return self;
}

static PyObject *ipv4address_from_state(PyObject *cls, PyObject *state) {
  return address_from_state(cls, state, TARN_AF_INET);
}

static PyObject *ipv6address_from_state(PyObject *cls, PyObject *state) {
  return address_from_state(cls, state, TARN_AF_INET6);
}

#define CLASSIFY_DOC "classify() -> int\n\nReturn the IANA classification bitmask."
#define FORMAT_DOC                                                                           \
  "__format__($self, format_spec, /)\n--\n\nFormat the address: '' or a spec ending in 's' " \
  "formats the text; [#][_](b|x|X|n) formats the number, zero-padded to the family's width."

static PyMethodDef ipv4address_methods[] = {
    {"classify", address_classify, METH_NOARGS, CLASSIFY_DOC},
    {"__format__", address_format, METH_O, FORMAT_DOC},
    {"__reduce__", address_reduce, METH_NOARGS, BINDING_REDUCE_DOC},
    {"__reduce_ex__", address_reduce_ex, METH_O, BINDING_REDUCE_EX_DOC},
    {"_from_state", ipv4address_from_state, METH_CLASS | METH_O, BINDING_FROM_STATE_DOC},
    {"__copy__", binding_copy, METH_NOARGS, BINDING_COPY_DOC},
    {"__deepcopy__", binding_deepcopy, METH_O, BINDING_DEEPCOPY_DOC},
    {NULL, NULL, 0, NULL},
};

static PyMethodDef ipv6address_methods[] = {
    {"classify", address_classify, METH_NOARGS, CLASSIFY_DOC},
    {"__format__", address_format, METH_O, FORMAT_DOC},
    {"__reduce__", address_reduce, METH_NOARGS, BINDING_REDUCE_DOC},
    {"__reduce_ex__", address_reduce_ex, METH_O, BINDING_REDUCE_EX_DOC},
    {"_from_state", ipv6address_from_state, METH_CLASS | METH_O, BINDING_FROM_STATE_DOC},
    {"__copy__", binding_copy, METH_NOARGS, BINDING_COPY_DOC},
    {"__deepcopy__", binding_deepcopy, METH_O, BINDING_DEEPCOPY_DOC},
    {"to_ipv4", ipv6address_to_ipv4, METH_NOARGS,
     "to_ipv4() -> IPv4Address | None\n\nExtract embedded IPv4 address from an IPv4-mapped "
     "IPv6 address. Returns None if the address is not IPv4-mapped."},
    {NULL, NULL, 0, NULL},
};

#define GLOBAL_DOC                                                                            \
  "whether the address is globally reachable: the IANA special-purpose registries' Globally " \
  "Reachable column for the most specific block holding it (an address in no block is "       \
  "global), unlike the GLOBAL bit of classify(), which means in no block at all"

static PyGetSetDef ipv4address_getset[] = {
    {"packed", address_get_packed, NULL, "raw address bytes (4 bytes)", NULL},
    {"compressed", address_get_compressed, NULL, "canonical string form", NULL},
    {"exploded", address_get_compressed, NULL, "exploded string form (same as compressed for IPv4)",
     NULL},
    {"version", address_get_version, NULL, "address family version (4)", NULL},
    {"is_global", addr_is_global_impl, NULL, GLOBAL_DOC, NULL},
    {"is_private", addr_is_private_impl, NULL, "whether the address is private (RFC 1918)", NULL},
    {"is_reserved", addr_is_reserved_impl, NULL, "whether the address is reserved (240.0.0.0/4)",
     NULL},
    {"reverse_pointer", address_get_reverse_pointer, NULL,
     "the reverse DNS name (d.c.b.a.in-addr.arpa)", NULL},
    {"ipv6_mapped", ipv4address_get_ipv6_mapped, NULL,
     "the IPv4-mapped IPv6 address ::ffff:a.b.c.d", NULL},
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
    {"is_global", addr_is_global_impl, NULL, GLOBAL_DOC, NULL},
    {"is_private", addr_is_private_impl, NULL, "whether the address is unique-local (RFC 4193)",
     NULL},
    {"is_reserved", addr_is_reserved_impl, NULL,
     "whether the address carries the reserved class (no IPv6 block does)", NULL},
    {"reverse_pointer", address_get_reverse_pointer, NULL,
     "the reverse DNS name (32 nibbles under ip6.arpa)", NULL},
    {"sixtofour", ipv6address_get_sixtofour, NULL,
     "the IPv4 address of a 6to4 address (2002::/16), or None", NULL},
    {"teredo", ipv6address_get_teredo, NULL,
     "(server, client) IPv4 addresses of a Teredo address (2001::/32), or None", NULL},
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
    {Py_nb_int, address_int},
    {Py_nb_index, address_int},
    {Py_nb_add, address_add},
    {Py_nb_subtract, address_subtract},
    {Py_tp_dealloc, binding_dealloc},
    {Py_tp_richcompare, address_richcmp},
    {Py_tp_hash, address_hash},
    {Py_tp_str, address_str},
    {Py_tp_repr, address_repr},
    {Py_tp_methods, ipv4address_methods},
    {Py_tp_getset, ipv4address_getset},
    {Py_tp_doc, "IPv4Address(value, /)\n--\n\nIPv4 address representation."},
    {0, NULL},
};

static PyType_Slot ipv6address_slots[] = {
    {Py_tp_new, ipv6address_new},
    {Py_nb_int, address_int},
    {Py_nb_index, address_int},
    {Py_nb_add, address_add},
    {Py_nb_subtract, address_subtract},
    {Py_tp_dealloc, binding_dealloc},
    {Py_tp_richcompare, address_richcmp},
    {Py_tp_hash, address_hash},
    {Py_tp_str, address_str},
    {Py_tp_repr, address_repr},
    {Py_tp_methods, ipv6address_methods},
    {Py_tp_getset, ipv6address_getset},
    {Py_tp_doc, "IPv6Address(value, /)\n--\n\nIPv6 address representation."},
    {0, NULL},
};

PyType_Spec ipv4address_spec = {"pytarn.IPv4Address", sizeof(AddressObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv4address_slots};
PyType_Spec ipv6address_spec = {"pytarn.IPv6Address", sizeof(AddressObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv6address_slots};
