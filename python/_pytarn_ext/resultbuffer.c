/* resultbuffer.c - placeholder until ResultBuffer lands. */
#include "pytarn_ext.h"

ResultBufferObject *binding_result_new(binding_result_kind kind, Py_ssize_t length, void **data) {
  (void)kind, (void)length, (void)data;
  PyErr_NoMemory();
  return NULL;
}

int binding_result_copy_validity(ResultBufferObject *buf, const AddressArrayObject *src) {
  (void)buf, (void)src;
  return 0;
}

static PyType_Slot resultbuffer_slots[] = {{0, NULL}};
PyType_Spec resultbuffer_spec = {"pytarn.ResultBuffer", sizeof(ResultBufferObject), 0,
                                 Py_TPFLAGS_DEFAULT, resultbuffer_slots};
