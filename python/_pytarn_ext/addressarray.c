/* addressarray.c - placeholder until AddressArray lands. */
#include "pytarn_ext.h"

AddressArrayObject *binding_addressarray_from_object(PyObject *obj) {
  (void)obj;
  PyErr_SetString(PyExc_NotImplementedError, "AddressArray");
  return NULL;
}

static PyType_Slot addressarray_slots[] = {{0, NULL}};
PyType_Spec addressarray_spec = {"pytarn.AddressArray", sizeof(AddressArrayObject), 0,
                                 Py_TPFLAGS_DEFAULT, addressarray_slots};
