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

/* A new ResultBuffer of `cls` (the type itself or a subclass) with `length`
 * zero-filled items of `kind` and no nulls; *data receives its memory. */
static ResultBufferObject *result_alloc(PyObject *cls, binding_result_kind kind, Py_ssize_t length,
                                        void **data) {
  Py_ssize_t itemsize = resultbuffer_kinds[kind].itemsize;
  if (length < 0 || length > PY_SSIZE_T_MAX / itemsize) {
    PyErr_NoMemory();
    return NULL;
  }
  /* At least one byte, so that `data` is never null, even for no items. */
  char *mem = binding_calloc_large((size_t)(length * itemsize));
  if (mem == NULL) {
    PyErr_NoMemory();
    return NULL;
  }
  ResultBufferObject *self = (ResultBufferObject *)binding_state_alloc(cls);
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

ResultBufferObject *binding_result_new(binding_result_kind kind, Py_ssize_t length, void **data) {
  return result_alloc((PyObject *)resultbuffer_type, kind, length, data);
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

/* ---- pickling ---------------------------------------------------------------- */

/*
 * The state after the version byte:
 *   kind        1 byte, the binding_result_kind value (0 int64 .. 5 packed16)
 *   length      u64, little-endian
 *   null_count  u64, little-endian
 *   data        length * itemsize bytes; integers little-endian
 *   validity    ceil(length / 8) bytes, only when null_count > 0 (bit i
 *               least significant first, set where item i is present; bits
 *               past the last item zero)
 * A state is refused unless every null item holds its kind's sentinel and
 * every bool is 0 or 1: what a buffer view or an Arrow array shows of the
 * restored object is then what the original showed.
 */
#define STATE_HEADER 17

static int host_is_big_endian(void) {
  const uint16_t one = 1;
  uint8_t first;
  memcpy(&first, &one, 1);
  return first == 0;
}

/* Copy `length` items of `itemsize` bytes between host and little-endian
 * order (the same operation both ways): integer kinds are reversed on a
 * big-endian host, everything else is copied as it is. */
static void copy_items(char *dst, const char *src, Py_ssize_t length, Py_ssize_t itemsize,
                       binding_result_kind kind) {
  int swap = (kind == RESULT_INT64 || kind == RESULT_UINT32) && host_is_big_endian();
  if (!swap) {
    memcpy(dst, src, (size_t)(length * itemsize));
    return;
  }
  for (Py_ssize_t i = 0; i < length; i++)
    for (Py_ssize_t k = 0; k < itemsize; k++)
      dst[i * itemsize + k] = src[i * itemsize + itemsize - 1 - k];
}

static PyObject *resultbuffer_reduce(PyObject *self_obj, PyObject *unused) {
  (void)unused;
  const ResultBufferObject *self = (const ResultBufferObject *)self_obj;
  size_t bitmap = self->null_count > 0 ? ((size_t)self->length + 7) / 8 : 0;
  size_t data = (size_t)(self->length * self->itemsize);
  if (data > (size_t)PY_SSIZE_T_MAX - bitmap - STATE_HEADER - 1) return PyErr_NoMemory();
  PyObject *state = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)(1 + STATE_HEADER + data + bitmap));
  if (state == NULL) return NULL;
  uint8_t *out = (uint8_t *)PyBytes_AsString(state);
  out[0] = BINDING_STATE_VERSION;
  out[1] = (uint8_t)self->kind;
  binding_state_store_u64(out + 2, (uint64_t)self->length);
  binding_state_store_u64(out + 10, (uint64_t)self->null_count);
  copy_items((char *)out + 1 + STATE_HEADER, self->data, self->length, self->itemsize, self->kind);
  if (bitmap > 0) {
    uint8_t *bits = out + 1 + STATE_HEADER + data;
    memcpy(bits, self->validity, bitmap);
    /* The padding of a bitmap copied from an AddressArray is set. */
    if (self->length % 8 != 0) bits[bitmap - 1] &= (uint8_t)((1u << (self->length % 8)) - 1);
  }
  return binding_reduce(self_obj, state);
}

/* Whether item i of `self` breaks the kind's rules: a null that does not
 * hold the sentinel (-1 for int64, zero bytes for the rest), a bool that is
 * neither 0 nor 1. */
static int item_malformed(const ResultBufferObject *self, Py_ssize_t i) {
  const char *p = self->data + i * self->itemsize;
  if (resultbuffer_valid(self, i)) return self->kind == RESULT_BOOL && (uint8_t)*p > 1;
  uint8_t want = self->kind == RESULT_INT64 ? 0xff : 0;
  for (Py_ssize_t k = 0; k < self->itemsize; k++)
    if ((uint8_t)p[k] != want) return 1;
  return 0;
}

/* _from_state: kind, counts and length checked before anything is
 * allocated; bitmap and items after the copy, on the new object. */
static PyObject *resultbuffer_from_state(PyObject *cls, PyObject *state) {
  static const char what[] = "ResultBuffer";
  Py_ssize_t len;
  const uint8_t *s = binding_state_payload(state, what, &len);
  if (s == NULL) return NULL;
  if (len < STATE_HEADER) {
    binding_restore_error(pytarn_InvalidArgumentError, what,
                          "the state holds %zd bytes after its version, fewer than its header",
                          len);
    return NULL;
  }
  if (s[0] > RESULT_PACKED16) {
    binding_restore_error(pytarn_InvalidArgumentError, what, "kind %d is not a result kind",
                          (int)s[0]);
    return NULL;
  }
  binding_result_kind kind = (binding_result_kind)s[0];
  uint64_t length = binding_state_load_u64(s + 1), nulls = binding_state_load_u64(s + 9);
  /* 2^58 items would need more memory than any machine has; below it the
   * sums cannot wrap. */
  if (length > (uint64_t)PY_SSIZE_T_MAX / 32 || nulls > length) {
    binding_restore_error(pytarn_InvalidArgumentError, what, "%llu nulls among %llu items",
                          (unsigned long long)nulls, (unsigned long long)length);
    return NULL;
  }
  Py_ssize_t itemsize = resultbuffer_kinds[kind].itemsize;
  size_t data = (size_t)length * (size_t)itemsize;
  size_t bitmap = nulls > 0 ? ((size_t)length + 7) / 8 : 0;
  size_t want = STATE_HEADER + data + bitmap;
  if ((size_t)len != want) {
    binding_restore_error(pytarn_InvalidArgumentError, what,
                          "the state holds %zd bytes after its version, not %zu", len, want);
    return NULL;
  }
  void *mem;
  ResultBufferObject *self = result_alloc(cls, kind, (Py_ssize_t)length, &mem);
  if (self == NULL) return NULL;
  copy_items(mem, (const char *)s + STATE_HEADER, self->length, itemsize, kind);
  const char *reason = NULL;
  if (bitmap > 0) {
    const uint8_t *bits = s + STATE_HEADER + data;
    Py_ssize_t present = 0;
    for (size_t k = 0; k < bitmap; k++) {
      for (uint8_t b = bits[k]; b != 0; b &= (uint8_t)(b - 1)) present++;
    }
    if (length % 8 != 0 && (bits[bitmap - 1] >> (length % 8)) != 0) {
      reason = "the validity bitmap has bits set past the last item";
    } else if ((uint64_t)present != length - nulls) {
      reason = "the validity bitmap disagrees with the null count";
    } else if ((self->validity = malloc(bitmap)) == NULL) {
      Py_DECREF(self);
      return PyErr_NoMemory();
    } else {
      memcpy(self->validity, bits, bitmap);
      self->null_count = (Py_ssize_t)nulls;
    }
  }
  for (Py_ssize_t i = 0; reason == NULL && i < self->length; i++) {
    if (item_malformed(self, i)) {
      reason = resultbuffer_valid(self, i) ? "a bool item is neither 0 nor 1"
                                           : "a null item does not hold its kind's sentinel";
    }
  }
  if (reason != NULL) {
    binding_restore_error(pytarn_InvalidArgumentError, what, "%s", reason);
    Py_DECREF(self);
    return NULL;
  }
  return (PyObject *)self;
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
    {"__reduce__", resultbuffer_reduce, METH_NOARGS, BINDING_REDUCE_DOC},
    {"_from_state", resultbuffer_from_state, METH_CLASS | METH_O, BINDING_FROM_STATE_DOC},
    {"__copy__", binding_copy, METH_NOARGS, BINDING_COPY_DOC},
    {"__deepcopy__", binding_deepcopy, METH_O, BINDING_DEEPCOPY_DOC},
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
