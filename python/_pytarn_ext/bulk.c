/* Placeholder until the bulk functions land. */
#include "pytarn_ext.h"

static PyObject *not_yet(void) {
  PyErr_SetString(PyExc_NotImplementedError, "not yet");
  return NULL;
}
PyObject *pytarn_bulk_parse(PyObject *module, PyObject *args) {
  (void)module, (void)args;
  return not_yet();
}
PyObject *pytarn_bulk_contains(PyObject *module, PyObject *args) {
  (void)module, (void)args;
  return not_yet();
}
PyObject *pytarn_bulk_aggregate(PyObject *module, PyObject *args) {
  (void)module, (void)args;
  return not_yet();
}
PyObject *pytarn_bulk_sort(PyObject *module, PyObject *args) {
  (void)module, (void)args;
  return not_yet();
}
PyObject *pytarn_bulk_contains_packed(PyObject *module, PyObject *args) {
  (void)module, (void)args;
  return not_yet();
}
tarn_addr_t *bulk_addrs_from_list(PyObject *obj, size_t *count, tarn_family_t *family) {
  (void)obj, (void)count, (void)family;
  not_yet();
  return NULL;
}
tarn_prefix_t *bulk_extract_prefixes(PyObject *obj, size_t *count, tarn_family_t *family) {
  (void)obj, (void)count, (void)family;
  not_yet();
  return NULL;
}
