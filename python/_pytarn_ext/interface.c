/*
 * interface.c - IPv4Interface and IPv6Interface, and the module functions
 * that choose the family for the caller (ip_address, ip_network,
 * ip_interface) or sort both families together (get_mixed_type_key).
 *
 * An interface is an address together with the length of the network it
 * sits on: 192.0.2.5/24 is the address 192.0.2.5 on 192.0.2.0/24.  The
 * types are subtypes of the address types, laid out as an AddressObject
 * followed by the length, so every place that accepts an address (network
 * containment, the bulk functions, arithmetic, format) reads an
 * interface's address part without knowing about interfaces.  The address
 * keeps its host bits; the length is within the family's range.
 */
#include <string.h>

#include "pytarn_ext.h"

PyTypeObject *ipv4interface_type = NULL;
PyTypeObject *ipv6interface_type = NULL;
PyTypeObject *addressiterator_type = NULL;

static unsigned family_bits(tarn_family_t family) { return family == TARN_AF_INET ? 32u : 128u; }

static const InterfaceObject *iface_of(PyObject *self) { return (const InterfaceObject *)self; }

static int raise_length_range(void) {
  PyErr_SetString(pytarn_PrefixLengthError, "prefix length out of range");
  return -1;
}

/* A length read from any integer object and checked against the family. */
static int length_from_object(PyObject *obj, tarn_family_t family, unsigned *out) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) return -1;
  if (v < 0 || v > (long)family_bits(family)) return raise_length_range();
  *out = (unsigned)v;
  return 0;
}

/* ---- construction ------------------------------------------------------ */

/*
 * The address and length of every constructor form, decided in this order:
 *   1. text: "address/length" (the length decimal, or for IPv4 a dotted
 *      netmask or hostmask), or a bare address for a host route; every
 *      refusal carries the caller's text;
 *   2. a tuple (address, length): the address as any form the address
 *      constructor takes, the length an integer;
 *   3. one of our interfaces: its address and length;
 *   4. anything the address constructor takes: a host route, unless the
 *      object also has `network.prefixlen` (the standard library's
 *      interfaces), which then gives the length.
 */
static int interface_construct_impl(PyObject *value, tarn_family_t family, tarn_addr_t *addr,
                                    unsigned *pfxlen) {
  unsigned bits = family_bits(family);
  if (PyUnicode_Check(value)) {
    Py_ssize_t len;
    const char *text = binding_text_utf8(value, &len);
    if (text == NULL) return -1;
    if (strchr(text, '/') != NULL)
      return binding_split_prefix_text(text, family, text, addr, pfxlen);
    *pfxlen = bits;
    return binding_string_to_addr(value, addr, family);
  }
  if (PyTuple_Check(value)) {
    PyObject *addr_item, *len_item;
    if (!PyArg_ParseTuple(value, "OO", &addr_item, &len_item)) return -1;
    int rc = PyUnicode_Check(addr_item) ? binding_string_to_addr(addr_item, addr, family)
                                        : binding_value_to_addr(addr_item, addr, family);
    if (rc < 0) return -1;
    return length_from_object(len_item, family, pfxlen);
  }
  if (binding_value_to_addr(value, addr, family) < 0) return -1;
  if (binding_is_interface(value)) {
    *pfxlen = iface_of(value)->pfxlen;
    return 0;
  }
  *pfxlen = bits;
  if (binding_is_ipv4address(value) || binding_is_ipv6address(value) || PyBytes_Check(value) ||
      PyIndex_Check(value)) {
    return 0;
  }
  PyObject *net = PyObject_GetAttrString(value, "network");
  if (net == NULL) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  PyObject *len_obj = PyObject_GetAttrString(net, "prefixlen");
  Py_DECREF(net);
  if (len_obj == NULL) return -1;
  int rc = length_from_object(len_obj, family, pfxlen);
  Py_DECREF(len_obj);
  return rc;
}

/* IPv4Interface(value, /) / IPv6Interface(value, /): an instance of the
 * type actually called. */
static PyObject *interface_new(PyTypeObject *type, PyObject *args, PyObject *kwargs,
                               tarn_family_t family) {
  static char *kwlist[] = {"", NULL};
  PyObject *value;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", kwlist, &value)) return NULL;
  tarn_addr_t addr;
  unsigned pfxlen;
  if (interface_construct_impl(value, family, &addr, &pfxlen) < 0) return NULL;
  PyObject *self = PyType_GenericAlloc(type, 0);
  if (self == NULL) return NULL;
  ((InterfaceObject *)self)->base.addr = addr;
  ((InterfaceObject *)self)->pfxlen = (uint8_t)pfxlen;
  return self;
}

static PyObject *ipv4interface_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return interface_new(type, args, kwargs, TARN_AF_INET);
}

static PyObject *ipv6interface_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  return interface_new(type, args, kwargs, TARN_AF_INET6);
}

/* ---- properties ---------------------------------------------------------- */

/* The network the interface sits on: its address with the host bits
 * cleared.  0, or -1 with the mapped core error. */
static int interface_prefix(PyObject *self, tarn_prefix_t *out) {
  memset(out, 0, sizeof *out);
  const InterfaceObject *i = iface_of(self);
  return tarn_set_python_error(tarn_prefix_from_host(&i->base.addr, i->pfxlen, out), NULL);
}

/* ip: the address alone, as the base address type. */
static PyObject *interface_get_ip(PyObject *self, void *closure) {
  (void)closure;
  return binding_addr_to_pyobj(&iface_of(self)->base.addr);
}

/* network: the network the address sits on. */
static PyObject *interface_get_network(PyObject *self, void *closure) {
  (void)closure;
  tarn_prefix_t p;
  if (interface_prefix(self, &p) < 0) return NULL;
  return binding_prefix_to_pyobj(&p);
}

/* The mask of the interface's length as an address: host bits or not. */
static PyObject *interface_mask(PyObject *self, int host) {
  const InterfaceObject *i = iface_of(self);
  tarn_family_t family = i->base.addr.family;
  binding_u128 m = binding_hostmask_words(family_bits(family), i->pfxlen);
  if (!host) {
    binding_u128 all = binding_family_max(family);
    m.hi = all.hi & ~m.hi;
    m.lo = all.lo & ~m.lo;
  }
  tarn_addr_t mask;
  binding_words_addr(m, family, &mask);
  return binding_addr_to_pyobj(&mask);
}

static PyObject *interface_get_netmask(PyObject *self, void *closure) {
  (void)closure;
  return interface_mask(self, 0);
}

static PyObject *interface_get_hostmask(PyObject *self, void *closure) {
  (void)closure;
  return interface_mask(self, 1);
}

/* with_prefixlen and str: "address/length", the address unmasked. */
static PyObject *interface_get_with_prefixlen(PyObject *self, void *closure) {
  (void)closure;
  char buf[TARN_ADDR_STRLEN];
  const InterfaceObject *i = iface_of(self);
  if (tarn_set_python_error(tarn_addr_format(&i->base.addr, buf, sizeof buf), NULL) < 0) {
    return NULL;
  }
  return PyUnicode_FromFormat("%s/%u", buf, (unsigned)i->pfxlen);
}

static PyObject *interface_get_with_netmask(PyObject *self, void *closure) {
  (void)closure;
  return binding_with_mask(&iface_of(self)->base.addr, iface_of(self)->pfxlen, 0);
}

static PyObject *interface_get_with_hostmask(PyObject *self, void *closure) {
  (void)closure;
  return binding_with_mask(&iface_of(self)->base.addr, iface_of(self)->pfxlen, 1);
}

static PyGetSetDef interface_getset[] = {
    {"ip", interface_get_ip, NULL, "the address alone", NULL},
    {"network", interface_get_network, NULL, "the network the address sits on", NULL},
    {"netmask", interface_get_netmask, NULL, "the network's mask", NULL},
    {"hostmask", interface_get_hostmask, NULL, "the network's host mask", NULL},
    {"with_prefixlen", interface_get_with_prefixlen, NULL, "address/prefixlen text", NULL},
    {"with_netmask", interface_get_with_netmask, NULL, "address/netmask text", NULL},
    {"with_hostmask", interface_get_with_hostmask, NULL, "address/hostmask text", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

/* ---- text, hash, comparison ---------------------------------------------- */

static PyObject *interface_str(PyObject *self) { return interface_get_with_prefixlen(self, NULL); }

/* repr: the base type's name, for subclasses too. */
static PyObject *interface_repr(PyObject *self) {
  PyObject *text = interface_get_with_prefixlen(self, NULL);
  if (text == NULL) return NULL;
  const char *name =
      iface_of(self)->base.addr.family == TARN_AF_INET ? "IPv4Interface" : "IPv6Interface";
  PyObject *out = PyUnicode_FromFormat("%s('%U')", name, text);
  Py_DECREF(text);
  return out;
}

/* hash: keyed, over the address and the length, with a family tag of its
 * own so an interface and the network of the same bytes and length do not
 * collide. */
static Py_hash_t interface_hash(PyObject *self) {
  const InterfaceObject *i = iface_of(self);
  tarn_family_t family = i->base.addr.family;
  return binding_hash(family | 0x10u, i->base.addr.addr.v6, binding_addr_len(family), 1, i->pfxlen);
}

/*
 * Interfaces of one family order by network (address, then shorter
 * first), then by address, so equal means the same address on the same
 * network.  A plain address of the family is never equal to an interface
 * and sorts before every one.  Against the other family == and != answer
 * and an order is FamilyError.  Anything else is not ours to compare.
 */
static PyObject *interface_richcmp(PyObject *self, PyObject *other, int op) {
  const InterfaceObject *a = iface_of(self);
  tarn_family_t family = a->base.addr.family;
  if (!binding_is_ipv4address(other) && !binding_is_ipv6address(other)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  if (((AddressObject *)other)->addr.family != family) {
    if (op == Py_EQ) Py_RETURN_FALSE;
    if (op == Py_NE) Py_RETURN_TRUE;
    PyErr_SetString(pytarn_FamilyError, "address family mismatch");
    return NULL;
  }
  if (!binding_is_interface(other)) Py_RETURN_RICHCOMPARE(1, 0, op);
  tarn_prefix_t pa, pb;
  if (interface_prefix(self, &pa) < 0 || interface_prefix(other, &pb) < 0) return NULL;
  int c = 0;
  if (tarn_set_python_error(tarn_prefix_cmp(&pa, &pb, &c), NULL) < 0) return NULL;
  if (c == 0) {
    c = memcmp(a->base.addr.addr.v6, iface_of(other)->base.addr.addr.v6, binding_addr_len(family));
  }
  Py_RETURN_RICHCOMPARE(c, 0, op);
}

/* ---- pickling -------------------------------------------------------------- */

/* State: the 4 or 16 address bytes (host bits kept), then the length. */
static PyObject *interface_reduce(PyObject *self, PyObject *unused) {
  (void)unused;
  const InterfaceObject *i = iface_of(self);
  size_t n = binding_addr_len(i->base.addr.family);
  char state[18];
  state[0] = BINDING_STATE_VERSION;
  memcpy(state + 1, i->base.addr.addr.v6, n);
  state[n + 1] = (char)i->pfxlen;
  return binding_reduce(self, PyBytes_FromStringAndSize(state, (Py_ssize_t)n + 2));
}

/* The address types' __reduce_ex__ would give the address alone. */
static PyObject *interface_reduce_ex(PyObject *self, PyObject *protocol) {
  (void)protocol;
  return binding_reduce_ex(self, interface_reduce);
}

/* _from_state: any address, and a length within the family. */
static PyObject *interface_from_state(PyObject *cls, PyObject *state, tarn_family_t family) {
  const char *what = family == TARN_AF_INET ? "IPv4Interface" : "IPv6Interface";
  size_t n = binding_addr_len(family);
  const uint8_t *s = binding_state_exact(state, what, (Py_ssize_t)n + 1);
  if (s == NULL) return NULL;
  if (s[n] > family_bits(family)) {
    binding_restore_error(pytarn_PrefixLengthError, what, "prefix length %u exceeds %u",
                          (unsigned)s[n], family_bits(family));
    return NULL;
  }
  PyObject *self = binding_state_alloc(cls);
  if (self == NULL) return NULL;
  InterfaceObject *i = (InterfaceObject *)self;
  memset(&i->base.addr, 0, sizeof i->base.addr);
  i->base.addr.family = family;
  memcpy(i->base.addr.addr.v6, s, n);
  i->pfxlen = s[n];
  return self;
}

static PyObject *ipv4interface_from_state(PyObject *cls, PyObject *state) {
  return interface_from_state(cls, state, TARN_AF_INET);
}

static PyObject *ipv6interface_from_state(PyObject *cls, PyObject *state) {
  return interface_from_state(cls, state, TARN_AF_INET6);
}

static PyMethodDef ipv4interface_methods[] = {
    {"__reduce__", interface_reduce, METH_NOARGS, BINDING_REDUCE_DOC},
    {"__reduce_ex__", interface_reduce_ex, METH_O, BINDING_REDUCE_EX_DOC},
    {"_from_state", ipv4interface_from_state, METH_CLASS | METH_O, BINDING_FROM_STATE_DOC},
    {NULL, NULL, 0, NULL},
};

static PyMethodDef ipv6interface_methods[] = {
    {"__reduce__", interface_reduce, METH_NOARGS, BINDING_REDUCE_DOC},
    {"__reduce_ex__", interface_reduce_ex, METH_O, BINDING_REDUCE_EX_DOC},
    {"_from_state", ipv6interface_from_state, METH_CLASS | METH_O, BINDING_FROM_STATE_DOC},
    {NULL, NULL, 0, NULL},
};

/* ---- the two types ------------------------------------------------------- */

/* The base (the address type of the family) is supplied when the module
 * creates the type. */
static PyType_Slot ipv4interface_slots[] = {
    {Py_tp_new, ipv4interface_new},
    {Py_tp_dealloc, binding_dealloc},
    {Py_tp_richcompare, interface_richcmp},
    {Py_tp_hash, interface_hash},
    {Py_tp_str, interface_str},
    {Py_tp_repr, interface_repr},
    {Py_tp_getset, interface_getset},
    {Py_tp_methods, ipv4interface_methods},
    {Py_tp_doc,
     "IPv4Interface(value, /)\n--\n\nIPv4 address with the length of its network, from "
     "'address/length' text (the length may be a netmask or hostmask), an (address, length) "
     "tuple, or any address form (a /32)."},
    {0, NULL},
};

static PyType_Slot ipv6interface_slots[] = {
    {Py_tp_new, ipv6interface_new},
    {Py_tp_dealloc, binding_dealloc},
    {Py_tp_richcompare, interface_richcmp},
    {Py_tp_hash, interface_hash},
    {Py_tp_str, interface_str},
    {Py_tp_repr, interface_repr},
    {Py_tp_getset, interface_getset},
    {Py_tp_methods, ipv6interface_methods},
    {Py_tp_doc,
     "IPv6Interface(value, /)\n--\n\nIPv6 address with the length of its network, from "
     "'address/length' text, an (address, length) tuple, or any address form (a /128)."},
    {0, NULL},
};

PyType_Spec ipv4interface_spec = {"pytarn.IPv4Interface", sizeof(InterfaceObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv4interface_slots};
PyType_Spec ipv6interface_spec = {"pytarn.IPv6Interface", sizeof(InterfaceObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv6interface_slots};

PyObject *binding_spec_base(const PyType_Spec *spec) {
  if (spec == &ipv4interface_spec) return (PyObject *)ipv4address_type;
  if (spec == &ipv6interface_spec) return (PyObject *)ipv6address_type;
  return NULL;
}

/* ---- module functions ---------------------------------------------------- */

/*
 * The family a value belongs to, as the standard library's factories
 * decide it: text with a ':' is IPv6 (IPv4 text never has one); an integer
 * is IPv4 when it fits 32 bits (a negative one too, for the IPv4
 * constructor to refuse); bytes of 16 are IPv6; our own objects carry their
 * family; a tuple goes by its first item; any other object by its
 * `version` attribute, else IPv4.  0 with *family, or -1 with an exception.
 */
static int value_family(PyObject *value, tarn_family_t *family) {
  *family = TARN_AF_INET;
  if (PyUnicode_Check(value)) {
    Py_ssize_t len;
    const char *text = PyUnicode_AsUTF8AndSize(value, &len);
    if (text == NULL) return -1;
    if (memchr(text, ':', (size_t)len) != NULL) *family = TARN_AF_INET6;
    return 0;
  }
  if (binding_is_ipv4address(value) || binding_is_ipv6address(value)) {
    *family = ((AddressObject *)value)->addr.family;
    return 0;
  }
  if (binding_is_ipv4network(value) || binding_is_ipv6network(value)) {
    *family = ((NetworkObject *)value)->prefix.addr.family;
    return 0;
  }
  if (PyBytes_Check(value)) {
    if (PyBytes_Size(value) == 16) *family = TARN_AF_INET6;
    return 0;
  }
  if (PyTuple_Check(value)) {
    if (PyTuple_Size(value) < 1) return 0; /* the constructor refuses it */
    return value_family(PyTuple_GetItem(value, 0), family);
  }
  if (!PyLong_Check(value)) {
    PyObject *version = PyObject_GetAttrString(value, "version");
    if (version != NULL) {
      long v = PyLong_AsLong(version);
      Py_DECREF(version);
      if (v == -1 && PyErr_Occurred()) return -1;
      if (v == 6) *family = TARN_AF_INET6;
      return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    if (!PyIndex_Check(value)) return 0;
  }
  PyObject *num = PyNumber_Index(value);
  if (num == NULL) return -1;
  PyObject *limit = PyLong_FromUnsignedLongLong(UINT64_C(0xFFFFFFFF));
  int big = limit != NULL ? PyObject_RichCompareBool(num, limit, Py_GT) : -1;
  Py_XDECREF(limit);
  Py_DECREF(num);
  if (big < 0) return -1;
  if (big) *family = TARN_AF_INET6;
  return 0;
}

/* Call `type` with (value,) and the keywords. */
static PyObject *call_type(PyTypeObject *type, PyObject *value, PyObject *kwargs) {
  PyObject *args = PyTuple_Pack(1, value);
  if (args == NULL) return NULL;
  PyObject *out = PyObject_Call((PyObject *)type, args, kwargs);
  Py_DECREF(args);
  return out;
}

/* The address ip_address(arg) would make, without the object. */
int binding_any_to_addr(PyObject *arg, tarn_addr_t *addr) {
  tarn_family_t family;
  if (value_family(arg, &family) < 0) return -1;
  return PyUnicode_Check(arg) ? binding_string_to_addr(arg, addr, family)
                              : binding_value_to_addr(arg, addr, family);
}

/* ip_address(address, /): an IPv4Address or IPv6Address. */
PyObject *pytarn_ip_address(PyObject *module, PyObject *arg) {
  (void)module;
  tarn_addr_t addr;
  if (binding_any_to_addr(arg, &addr) < 0) return NULL;
  return binding_addr_to_pyobj(&addr);
}

/* ip_network(address, /, strict=True): text, a tuple or a network object go
 * to the network constructor of their family; any address form is its
 * host route. */
PyObject *pytarn_ip_network(PyObject *module, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"", "strict", NULL};
  PyObject *value;
  int strict = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p", kwlist, &value, &strict)) return NULL;
  tarn_family_t family;
  if (value_family(value, &family) < 0) return NULL;
  PyTypeObject *type = family == TARN_AF_INET ? ipv4network_type : ipv6network_type;
  PyObject *kw = Py_BuildValue("{s:O}", "strict", strict ? Py_True : Py_False);
  if (kw == NULL) return NULL;
  PyObject *out = NULL;
  int networkish = PyUnicode_Check(value) || PyTuple_Check(value) ||
                   binding_is_ipv4network(value) || binding_is_ipv6network(value);
  if (!networkish && !binding_is_ipv4address(value) && !binding_is_ipv6address(value) &&
      !PyBytes_Check(value) && !PyIndex_Check(value)) {
    networkish = PyObject_HasAttrString(value, "network_address");
  }
  if (networkish) {
    out = call_type(type, value, kw);
  } else {
    PyObject *addr = pytarn_ip_address(module, value);
    PyObject *pair = addr != NULL ? Py_BuildValue("(Oi)", addr, (int)family_bits(family)) : NULL;
    if (pair != NULL) out = call_type(type, pair, kw);
    Py_XDECREF(addr);
    Py_XDECREF(pair);
  }
  Py_DECREF(kw);
  return out;
}

/* ip_interface(address, /): an IPv4Interface or IPv6Interface. */
PyObject *pytarn_ip_interface(PyObject *module, PyObject *arg) {
  (void)module;
  tarn_family_t family;
  if (value_family(arg, &family) < 0) return NULL;
  return call_type(family == TARN_AF_INET ? ipv4interface_type : ipv6interface_type, arg, NULL);
}

/*
 * get_mixed_type_key(obj, /): a key under which addresses, interfaces and
 * networks of both families sort together, as the standard library's does:
 * (version, address) for an address or interface, (version,
 * network_address, netmask) for a network, NotImplemented for anything
 * else.  The version comes first, so two keys never compare objects of
 * different families.
 */
PyObject *pytarn_get_mixed_type_key(PyObject *module, PyObject *obj) {
  (void)module;
  if (binding_is_ipv4network(obj) || binding_is_ipv6network(obj)) {
    const tarn_prefix_t *p = &((NetworkObject *)obj)->prefix;
    tarn_addr_t mask;
    if (tarn_set_python_error(tarn_prefix_mask(p, &mask), NULL) < 0) return NULL;
    mask.family = p->addr.family;
    PyObject *addr = binding_addr_to_pyobj(&p->addr);
    PyObject *m = addr != NULL ? binding_addr_to_pyobj(&mask) : NULL;
    PyObject *key =
        m != NULL ? Py_BuildValue("(iOO)", p->addr.family == TARN_AF_INET ? 4 : 6, addr, m) : NULL;
    Py_XDECREF(addr);
    Py_XDECREF(m);
    return key;
  }
  if (binding_is_ipv4address(obj) || binding_is_ipv6address(obj)) {
    return Py_BuildValue("(iO)", ((AddressObject *)obj)->addr.family == TARN_AF_INET ? 4 : 6, obj);
  }
  Py_RETURN_NOTIMPLEMENTED;
}
