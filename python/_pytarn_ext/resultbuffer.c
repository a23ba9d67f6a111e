/*
 * resultbuffer.c - ResultBuffer: the typed, immutable column that a columnar
 * call answers, readable through the buffer protocol (numpy.asarray and
 * memoryview wrap it without a copy) and the Arrow PyCapsule interface.
 *
 * Lifecycle: binding_result_new makes the object with zero-filled data; its
 * maker fills `data` (and, through binding_result_copy_validity, the
 * validity) before any Python code sees it.  From then on nothing changes,
 * so exported views and Arrow arrays may share the memory for as long as
 * they hold a reference, and no export count is needed.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pytarn_ext.h"

/* What each kind is: its name, its buffer format and its item size. */
static const struct {
  const char *name;
  const char *format;
  Py_ssize_t itemsize;
} resultbuffer_kinds[] = {
    [RESULT_INT64] = {"int64", "q", 8},      [RESULT_UINT32] = {"uint32", "I", 4},
    [RESULT_UINT8] = {"uint8", "B", 1},      [RESULT_BOOL] = {"bool", "?", 1},
    [RESULT_PACKED4] = {"packed4", "4s", 4}, [RESULT_PACKED16] = {"packed16", "16s", 16},
};

ResultBufferObject *binding_result_new(binding_result_kind kind, Py_ssize_t length, void **data) {
  Py_ssize_t itemsize = resultbuffer_kinds[kind].itemsize;
  if (length < 0 || length > PY_SSIZE_T_MAX / itemsize) {
    PyErr_NoMemory();
    return NULL;
  }
  /* At least one byte, so that `data` is never null, even for no items. */
  char *mem = calloc(length == 0 ? 1 : (size_t)(length * itemsize), 1);
  if (mem == NULL) {
    PyErr_NoMemory();
    return NULL;
  }
  ResultBufferObject *self = (ResultBufferObject *)PyType_GenericNew(resultbuffer_type, NULL, NULL);
  if (self == NULL) {
    free(mem);
    return NULL;
  }
  self->kind = kind;
  self->data = mem;
  self->length = length;
  self->itemsize = itemsize;
  self->validity = NULL;
  self->null_count = 0;
  self->shape = length;
  self->stride = itemsize;
  *data = mem;
  return self;
}

int binding_result_copy_validity(ResultBufferObject *buf, const AddressArrayObject *src) {
  if (src->null_count == 0) return 0;
  if (buf->length != src->count) {
    PyErr_SetString(PyExc_SystemError, "result and address array differ in length");
    return -1;
  }
  size_t bytes = ((size_t)src->count + 7) / 8;
  uint8_t *bits = malloc(bytes);
  if (bits == NULL) {
    PyErr_NoMemory();
    return -1;
  }
  memcpy(bits, src->validity, bytes);
  free(buf->validity);
  buf->validity = bits;
  buf->null_count = src->null_count;
  return 0;
}

/* Whether item i is present. */
static int resultbuffer_valid(const ResultBufferObject *self, Py_ssize_t i) {
  return self->validity == NULL || ((self->validity[i >> 3] >> (i & 7)) & 1);
}

/* Item i (0 <= i < length) as a Python value: int, bool or bytes; None at a
 * null. */
static PyObject *resultbuffer_item_value(const ResultBufferObject *self, Py_ssize_t i) {
  if (!resultbuffer_valid(self, i)) Py_RETURN_NONE;
  const char *p = self->data + i * self->itemsize;
  switch (self->kind) {
    case RESULT_INT64: {
      int64_t v;
      memcpy(&v, p, sizeof v);
      return PyLong_FromLongLong((long long)v);
    }
    case RESULT_UINT32: {
      uint32_t v;
      memcpy(&v, p, sizeof v);
      return PyLong_FromUnsignedLong((unsigned long)v);
    }
    case RESULT_UINT8:
      return PyLong_FromLong((long)(uint8_t)*p);
    case RESULT_BOOL:
      return PyBool_FromLong(*p != 0);
    case RESULT_PACKED4:
    case RESULT_PACKED16:
      return PyBytes_FromStringAndSize(p, self->itemsize);
  }
  PyErr_SetString(PyExc_SystemError, "unknown result kind");
  return NULL;
}

/* Frees the data and the bitmap, then the object. */
static void resultbuffer_dealloc(PyObject *self_obj) {
  ResultBufferObject *self = (ResultBufferObject *)self_obj;
  free(self->data);
  free(self->validity);
  binding_dealloc(self_obj);
}

/* repr: the kind, the length and, when there are any, the nulls. */
static PyObject *resultbuffer_repr(PyObject *self_obj) {
  ResultBufferObject *self = (ResultBufferObject *)self_obj;
  const char *name = resultbuffer_kinds[self->kind].name;
  if (self->null_count == 0)
    return PyUnicode_FromFormat("ResultBuffer(%s, %zd items)", name, self->length);
  return PyUnicode_FromFormat("ResultBuffer(%s, %zd items, %zd null)", name, self->length,
                              self->null_count);
}

/* len(b): the number of items. */
static Py_ssize_t resultbuffer_length(PyObject *self) {
  return ((ResultBufferObject *)self)->length;
}

/* b[i]: item i (the interpreter has already added len(b) to a negative i). */
static PyObject *resultbuffer_item(PyObject *self_obj, Py_ssize_t i) {
  ResultBufferObject *self = (ResultBufferObject *)self_obj;
  if (i < 0 || i >= self->length) {
    PyErr_SetString(PyExc_IndexError, "ResultBuffer index out of range");
    return NULL;
  }
  return resultbuffer_item_value(self, i);
}

/* The read-only one-dimensional view of `data`; shape and strides point at
 * the object's own fields, which live as long as the view's reference. */
static int resultbuffer_getbuffer(PyObject *self_obj, Py_buffer *view, int flags) {
  ResultBufferObject *self = (ResultBufferObject *)self_obj;
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "ResultBuffer is read-only");
    view->obj = NULL;
    return -1;
  }
  view->buf = self->data;
  view->obj = Py_NewRef(self_obj);
  view->len = self->length * self->itemsize;
  view->readonly = 1;
  view->itemsize = self->itemsize;
  view->format =
      (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? (char *)resultbuffer_kinds[self->kind].format : NULL;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &self->shape : NULL;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &self->stride : NULL;
  view->suboffsets = NULL;
  view->internal = NULL;
  return 0;
}

/* tolist(): every item as b[i] gives it. */
static PyObject *resultbuffer_tolist(PyObject *self_obj, PyObject *unused) {
  (void)unused;
  ResultBufferObject *self = (ResultBufferObject *)self_obj;
  PyObject *list = PyList_New(self->length);
  if (list == NULL) return NULL;
  for (Py_ssize_t i = 0; i < self->length; i++) {
    PyObject *v = resultbuffer_item_value(self, i);
    if (v == NULL || PyList_SetItem(list, i, v) < 0) {
      Py_DECREF(list);
      return NULL;
    }
  }
  return list;
}

/* Both Arrow methods take an optional requested_schema, which the protocol
 * lets a producer ignore; this accepts it positionally or by keyword. */
static int resultbuffer_parse_requested_schema(PyObject *args, PyObject *kwargs) {
  static char *keywords[] = {"requested_schema", NULL};
  PyObject *requested = Py_None;
  return PyArg_ParseTupleAndKeywords(args, kwargs, "|O", keywords, &requested) ? 0 : -1;
}

/* __arrow_c_array__(requested_schema=None): the (schema, array) capsules,
 * sharing this buffer's memory. */
static PyObject *resultbuffer_arrow_c_array(PyObject *self, PyObject *args, PyObject *kwargs) {
  if (resultbuffer_parse_requested_schema(args, kwargs) < 0) return NULL;
  return binding_arrow_export_result((ResultBufferObject *)self);
}

/* __arrow_c_stream__(requested_schema=None): a stream of that one array. */
static PyObject *resultbuffer_arrow_c_stream(PyObject *self, PyObject *args, PyObject *kwargs) {
  if (resultbuffer_parse_requested_schema(args, kwargs) < 0) return NULL;
  PyObject *pair = binding_arrow_export_result((ResultBufferObject *)self);
  if (pair == NULL) return NULL;
  PyObject *stream = binding_arrow_stream_of(pair);
  Py_DECREF(pair);
  return stream;
}

/* format: the buffer protocol's format string of an item. */
static PyObject *resultbuffer_get_format(PyObject *self, void *closure) {
  (void)closure;
  return PyUnicode_FromString(resultbuffer_kinds[((ResultBufferObject *)self)->kind].format);
}

/* itemsize: bytes per item. */
static PyObject *resultbuffer_get_itemsize(PyObject *self, void *closure) {
  (void)closure;
  return PyLong_FromSsize_t(((ResultBufferObject *)self)->itemsize);
}

/* null_count: items that are null. */
static PyObject *resultbuffer_get_null_count(PyObject *self, void *closure) {
  (void)closure;
  return PyLong_FromSsize_t(((ResultBufferObject *)self)->null_count);
}

/* kind: the name of what the items are. */
static PyObject *resultbuffer_get_kind(PyObject *self, void *closure) {
  (void)closure;
  return PyUnicode_FromString(resultbuffer_kinds[((ResultBufferObject *)self)->kind].name);
}

static PyMethodDef resultbuffer_methods[] = {
    {"tolist", resultbuffer_tolist, METH_NOARGS,
     PyDoc_STR("tolist() -> list\n\nEvery item as a Python value (int, bool or bytes), None at "
               "nulls.")},
    {"__arrow_c_array__", (PyCFunction)(void (*)(void))resultbuffer_arrow_c_array,
     METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("__arrow_c_array__(requested_schema=None) -> (schema, array)\n\nExport as an "
               "Arrow array sharing this buffer's memory (booleans are bit-packed).")},
    {"__arrow_c_stream__", (PyCFunction)(void (*)(void))resultbuffer_arrow_c_stream,
     METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("__arrow_c_stream__(requested_schema=None) -> capsule\n\nExport as an Arrow "
               "stream of one array.")},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef resultbuffer_getset[] = {
    {"format", resultbuffer_get_format, NULL,
     PyDoc_STR("The buffer format of an item: 'q', 'I', 'B', '?', '4s' or '16s'."), NULL},
    {"itemsize", resultbuffer_get_itemsize, NULL, PyDoc_STR("Bytes per item."), NULL},
    {"null_count", resultbuffer_get_null_count, NULL, PyDoc_STR("The number of null items."), NULL},
    {"kind", resultbuffer_get_kind, NULL,
     PyDoc_STR("'int64', 'uint32', 'uint8', 'bool', 'packed4' or 'packed16'."), NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyType_Slot resultbuffer_slots[] = {
    {Py_tp_dealloc, resultbuffer_dealloc},
    {Py_tp_repr, resultbuffer_repr},
    {Py_sq_length, resultbuffer_length},
    {Py_sq_item, resultbuffer_item},
    {Py_bf_getbuffer, resultbuffer_getbuffer},
    {Py_tp_methods, resultbuffer_methods},
    {Py_tp_getset, resultbuffer_getset},
    {Py_tp_doc,
     (void *)PyDoc_STR("The typed, read-only result of a columnar call.\n\nExports a "
                       "one-dimensional buffer (numpy.asarray wraps it without a copy; null "
                       "items hold -1, 0, False or zero bytes) and an Arrow array in which "
                       "nulls are nulls.")},
    {0, NULL},
};

PyType_Spec resultbuffer_spec = {
    "pytarn.ResultBuffer",
    sizeof(ResultBufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    resultbuffer_slots,
};
