/* Placeholder until the address types land. */
#include "pytarn_ext.h"

static PyType_Slot ipv4address_slots[] = {{Py_tp_dealloc, binding_dealloc}, {0, NULL}};
static PyType_Slot ipv6address_slots[] = {{Py_tp_dealloc, binding_dealloc}, {0, NULL}};
PyType_Spec ipv4address_spec = {"pytarn.IPv4Address", sizeof(AddressObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv4address_slots};
PyType_Spec ipv6address_spec = {"pytarn.IPv6Address", sizeof(AddressObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv6address_slots};

static int not_yet(void) {
  PyErr_SetString(PyExc_NotImplementedError, "not yet");
  return -1;
}
int binding_string_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected) {
  (void)obj, (void)addr, (void)expected;
  return not_yet();
}
int binding_bytes_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected) {
  (void)obj, (void)addr, (void)expected;
  return not_yet();
}
int binding_int_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected) {
  (void)obj, (void)addr, (void)expected;
  return not_yet();
}
int binding_ipaddress_to_addr(PyObject *obj, tarn_addr_t *addr, tarn_family_t expected) {
  (void)obj, (void)addr, (void)expected;
  return not_yet();
}
const char *binding_text_utf8(PyObject *obj, Py_ssize_t *len) {
  (void)obj, (void)len;
  not_yet();
  return NULL;
}
