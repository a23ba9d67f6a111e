/* columns.c - placeholder. */
#include "pytarn_ext.h"

PyObject *addressarray_within(PyObject *self, PyObject *network) {
  (void)self, (void)network;
  PyErr_SetString(PyExc_NotImplementedError, "within");
  return NULL;
}
