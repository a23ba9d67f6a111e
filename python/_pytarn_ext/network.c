/* Placeholder until the network types land. */
#include "pytarn_ext.h"

static PyType_Slot ipv4network_slots[] = {{Py_tp_dealloc, binding_dealloc}, {0, NULL}};
static PyType_Slot ipv6network_slots[] = {{Py_tp_dealloc, binding_dealloc}, {0, NULL}};
static PyType_Slot subnetiterator_slots[] = {{Py_tp_dealloc, binding_dealloc}, {0, NULL}};
PyType_Spec ipv4network_spec = {"pytarn.IPv4Network", sizeof(NetworkObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv4network_slots};
PyType_Spec ipv6network_spec = {"pytarn.IPv6Network", sizeof(NetworkObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, ipv6network_slots};
PyType_Spec subnetiterator_spec = {"pytarn.SubnetIterator", sizeof(SubnetIteratorObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                                   subnetiterator_slots};
