/*
 * prefixindex.c - PrefixIndex: a Python object owning one longest-prefix-match
 * index, built once from a list of networks and queried with lists of
 * addresses.
 *
 * Lifecycle: live (index set) until __exit__ or deallocation releases the
 * index through prefixindex_destroy_owned, which nulls the pointer, so an
 * index is destroyed exactly once.  `family` and `prefix_count` never change,
 * so repr reads the same before and after the release.
 */
#include <stdint.h>
#include <stdlib.h>

#include "pytarn_ext.h"

/* Results of batches up to this size live on the stack of lookup. */
#define PREFIXINDEX_STACK_RESULTS 4096

static const char *prefixindex_family_label(tarn_family_t family) {
  return family == TARN_AF_INET ? "IPv4" : "IPv6";
}

static void prefixindex_destroy_owned(PrefixIndexObject *self) {
  if (self->index != NULL) {
    tarn_index_destroy(self->index);
    self->index = NULL;
  }
}

static PyObject *prefixindex_destroyed_error(void) {
  PyErr_SetString(pytarn_InvalidArgumentError, "index has been destroyed");
  return NULL;
}

/* PrefixIndex(networks): builds the index; keyword arguments are ignored. */
static PyObject *prefixindex_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  (void)kwargs;
  PyObject *networks;
  if (!PyArg_ParseTuple(args, "O", &networks)) return NULL;

  size_t count;
  tarn_family_t family;
  tarn_prefix_t *prefixes = bulk_extract_prefixes(networks, &count, &family);
  if (prefixes == NULL) return NULL;
  if (count == 0) {
    free(prefixes);
    PyErr_SetString(pytarn_InvalidArgumentError, "PrefixIndex requires at least one prefix");
    return NULL;
  }

  /* The index keeps its own copy of everything it needs. */
  tarn_index_t *index = NULL;
  tarn_err_t rc = tarn_index_create(prefixes, count, &index);
  free(prefixes);
  if (tarn_set_python_error(rc, NULL) < 0) return NULL;

  PrefixIndexObject *self = (PrefixIndexObject *)PyType_GenericNew(type, NULL, NULL);
  if (self == NULL) {
    tarn_index_destroy(index);
    return NULL;
  }
  self->family = family;
  self->prefix_count = count;
  self->index = index;
  return (PyObject *)self;
}

/* Destroys the index (if still held), then frees the object and drops its
 * reference to the heap type. */
static void prefixindex_dealloc(PyObject *self) {
  prefixindex_destroy_owned((PrefixIndexObject *)self);
  binding_dealloc(self);
}

/* repr: count and family, valid in both states. */
static PyObject *prefixindex_repr(PyObject *self_obj) {
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  return PyUnicode_FromFormat("PrefixIndex(%zd prefixes, family=%s)",
                              (Py_ssize_t)self->prefix_count,
                              prefixindex_family_label(self->family));
}

/*
 * lookup(addrs): the input position of the longest matching network per
 * address, or -1.
 *
 * Converting `addrs` may run the caller's code (an iterator), and that code
 * may release this very index through __exit__; the index pointer is
 * therefore read again after the conversion and never carried across it.
 */
static PyObject *prefixindex_lookup(PyObject *self_obj, PyObject *args) {
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  if (self->index == NULL) return prefixindex_destroyed_error();

  PyObject *addrs_obj;
  if (!PyArg_ParseTuple(args, "O", &addrs_obj)) return NULL;

  size_t count;
  tarn_family_t family;
  tarn_addr_t *addrs = bulk_addrs_from_list(addrs_obj, &count, &family);
  if (addrs == NULL) return NULL;
  if (self->index == NULL) {
    free(addrs);
    return prefixindex_destroyed_error();
  }
  if (count == 0) {
    free(addrs);
    return PyList_New(0);
  }
  if (family != self->family) {
    free(addrs);
    PyErr_SetString(pytarn_FamilyError, "address family mismatch");
    return NULL;
  }

  ssize_t stack_matches[PREFIXINDEX_STACK_RESULTS];
  ssize_t *matches = stack_matches;
  if (count > PREFIXINDEX_STACK_RESULTS) {
    matches = count > SIZE_MAX / sizeof *matches ? NULL : malloc(count * sizeof *matches);
    if (matches == NULL) {
      free(addrs);
      return PyErr_NoMemory();
    }
  }

  PyObject *result = NULL;
  tarn_err_t rc = tarn_index_lookup(self->index, addrs, count, matches, NULL);
  free(addrs);
  if (tarn_set_python_error(rc, NULL) < 0) goto done;

  result = PyList_New((Py_ssize_t)count);
  if (result == NULL) goto done;
  for (size_t i = 0; i < count; i++) {
    PyObject *v = PyLong_FromSsize_t((Py_ssize_t)matches[i]);
    if (v == NULL || PyList_SetItem(result, (Py_ssize_t)i, v) < 0) {
      Py_CLEAR(result);
      goto done;
    }
  }

done:
  if (matches != stack_matches) free(matches);
  return result;
}

/* __enter__(): the object itself; works in both states. */
static PyObject *prefixindex_enter(PyObject *self, PyObject *unused) {
  (void)unused;
  Py_INCREF(self);
  return self;
}

/* __exit__(exc_type, exc, tb): releases the index; never suppresses. */
static PyObject *prefixindex_exit(PyObject *self, PyObject *args) {
  PyObject *exc_type, *exc, *tb;
  if (!PyArg_ParseTuple(args, "OOO", &exc_type, &exc, &tb)) return NULL;
  prefixindex_destroy_owned((PrefixIndexObject *)self);
  Py_INCREF(Py_False);
  return Py_False;
}

static PyMethodDef prefixindex_methods[] = {
    {"lookup", prefixindex_lookup, METH_VARARGS,
     PyDoc_STR("lookup(addrs) -> list[int]\n\nReturn the longest-prefix-match index for each "
               "address, or -1 if no prefix matched.")},
    {"__enter__", prefixindex_enter, METH_NOARGS,
     PyDoc_STR("__enter__() -> self\n\nReturn self so PrefixIndex may be used as a context "
               "manager.")},
    {"__exit__", prefixindex_exit, METH_VARARGS,
     PyDoc_STR("__exit__(exc_type, exc, tb) -> bool\n\nRelease the underlying index and return "
               "False so exceptions are not suppressed.")},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot prefixindex_slots[] = {
    {Py_tp_new, prefixindex_new},
    {Py_tp_dealloc, prefixindex_dealloc},
    {Py_tp_repr, prefixindex_repr},
    {Py_tp_methods, prefixindex_methods},
    {Py_tp_doc,
     (void *)PyDoc_STR("PrefixIndex(networks) -> PrefixIndex\n\nWrap a pytarn LC-trie prefix "
                       "index for longest-prefix-match lookup.")},
    {0, NULL},
};

PyType_Spec prefixindex_spec = {
    "pytarn.PrefixIndex", sizeof(PrefixIndexObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    prefixindex_slots,
};
