/* Placeholder until PrefixIndex lands. */
#include "pytarn_ext.h"

static PyType_Slot prefixindex_slots[] = {{Py_tp_dealloc, binding_dealloc}, {0, NULL}};
PyType_Spec prefixindex_spec = {"pytarn.PrefixIndex", sizeof(PrefixIndexObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, prefixindex_slots};
