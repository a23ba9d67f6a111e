/*
 * bulk.c - the module functions that hand whole lists to the batch core:
 * bulk_parse, bulk_contains, bulk_aggregate, bulk_sort, bulk_contains_packed,
 * and the two list converters that PrefixIndex shares.
 *
 * Every function follows one shape: copy the Python input once into plain
 * malloc'ed arrays of core records, make exactly one core call for the whole
 * batch, build the result list at its final length, and free every array on
 * every path out (one cleanup label per function).  The core never sees a
 * Python object and the caller's objects are never modified.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pytarn_ext.h"

/* ---- helpers -------------------------------------------------------------- */

/*
 * malloc for `n` elements of `size` bytes.  Never returns null for n == 0
 * (the converters promise a valid array for empty input, and malloc(0) may
 * answer null); null means the multiplication overflowed or memory ran out.
 * Raises nothing: callers raise MemoryError themselves.
 */
static void *bulk_alloc(size_t n, size_t size) {
  if (n != 0 && n > SIZE_MAX / size) return NULL;
  return malloc(n == 0 ? 1 : n * size);
}

/* Item `i` of a list or tuple from PySequence_Fast (borrowed).  The fast
 * macros are not part of the limited API, so go through the checked calls. */
static PyObject *bulk_fast_item(PyObject *seq, Py_ssize_t i) {
  return PyList_Check(seq) ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
}

static Py_ssize_t bulk_fast_size(PyObject *seq) {
  return PyList_Check(seq) ? PyList_Size(seq) : PyTuple_Size(seq);
}

/* A new list of PyLong from `matches[0..count)`, or NULL with an exception. */
static PyObject *bulk_matches_to_list(const ssize_t *matches, size_t count) {
  PyObject *list = PyList_New((Py_ssize_t)count);
  if (list == NULL) return NULL;
  for (size_t i = 0; i < count; i++) {
    PyObject *v = PyLong_FromSsize_t((Py_ssize_t)matches[i]);
    if (v == NULL || PyList_SetItem(list, (Py_ssize_t)i, v) < 0) {
      Py_DECREF(list);
      return NULL;
    }
  }
  return list;
}

/* A new list of network objects from `prefixes[0..count)`. */
static PyObject *bulk_prefixes_to_list(const tarn_prefix_t *prefixes, size_t count) {
  PyObject *list = PyList_New((Py_ssize_t)count);
  if (list == NULL) return NULL;
  for (size_t i = 0; i < count; i++) {
    PyObject *v = binding_prefix_to_pyobj(&prefixes[i]);
    if (v == NULL || PyList_SetItem(list, (Py_ssize_t)i, v) < 0) {
      Py_DECREF(list);
      return NULL;
    }
  }
  return list;
}

/* ---- list converters ---------------------------------------------------- */

/*
 * Both converters share this walk; they differ in the two types accepted, the
 * size and offset of the embedded record, and the messages.  Nothing in the
 * loop runs Python code (type checks and memcpy only), so the fast sequence
 * cannot change under it; an iterator argument runs its code inside
 * PySequence_Fast, before the walk starts.
 */
typedef struct {
  PyTypeObject *v4_type;
  PyTypeObject *v6_type;
  size_t record_size;   /* sizeof(tarn_addr_t) or sizeof(tarn_prefix_t) */
  size_t record_offset; /* offset of the record inside the object */
  const char *first_msg;
  const char *mixed_msg;
} bulk_record_kind;

static void *bulk_records_from_list(PyObject *obj, const bulk_record_kind *kind, size_t *count,
                                    tarn_family_t *family) {
  char *records = NULL;
  PyObject *seq = PySequence_Fast(obj, "argument must be a list or tuple");
  if (seq == NULL) return NULL;

  Py_ssize_t n = bulk_fast_size(seq);
  if (n < 0) goto fail;
  if (n == 0) {
    records = bulk_alloc(0, kind->record_size);
    if (records == NULL) {
      PyErr_NoMemory();
      goto fail;
    }
    Py_DECREF(seq);
    *count = 0;
    *family = 0;
    return records;
  }

  PyObject *first = bulk_fast_item(seq, 0);
  if (first == NULL) goto fail;
  PyTypeObject *want;
  tarn_family_t fam;
  if (PyObject_TypeCheck(first, kind->v4_type)) {
    want = kind->v4_type;
    fam = TARN_AF_INET;
  } else if (PyObject_TypeCheck(first, kind->v6_type)) {
    want = kind->v6_type;
    fam = TARN_AF_INET6;
  } else {
    PyErr_SetString(pytarn_FamilyError, kind->first_msg);
    goto fail;
  }

  records = bulk_alloc((size_t)n, kind->record_size);
  if (records == NULL) {
    PyErr_NoMemory();
    goto fail;
  }
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject *item = bulk_fast_item(seq, i);
    if (item == NULL) goto fail;
    if (!PyObject_TypeCheck(item, want)) {
      PyErr_SetString(pytarn_FamilyError, kind->mixed_msg);
      goto fail;
    }
    memcpy(records + (size_t)i * kind->record_size, (const char *)item + kind->record_offset,
           kind->record_size);
  }
  Py_DECREF(seq);
  *count = (size_t)n;
  *family = fam;
  return records;

fail:
  free(records);
  Py_DECREF(seq);
  return NULL;
}

tarn_addr_t *bulk_addrs_from_list(PyObject *obj, size_t *count, tarn_family_t *family) {
  const bulk_record_kind kind = {ipv4address_type,
                                 ipv6address_type,
                                 sizeof(tarn_addr_t),
                                 offsetof(AddressObject, addr),
                                 "all items must be IPv4Address or IPv6Address",
                                 "mixed IPv4 and IPv6 addresses"};
  return bulk_records_from_list(obj, &kind, count, family);
}

tarn_prefix_t *bulk_extract_prefixes(PyObject *obj, size_t *count, tarn_family_t *family) {
  const bulk_record_kind kind = {ipv4network_type,
                                 ipv6network_type,
                                 sizeof(tarn_prefix_t),
                                 offsetof(NetworkObject, prefix),
                                 "all items must be IPv4Network or IPv6Network",
                                 "mixed IPv4 and IPv6 networks"};
  return bulk_records_from_list(obj, &kind, count, family);
}

/* ---- bulk_parse --------------------------------------------------------- */

/*
 * bulk_parse(srcs): every item is attempted; any failure raises only after
 * the whole batch ran, with the core's verdict for the batch.
 *
 * The string pointers point straight into each str's cached UTF-8 form
 * (PyUnicode_AsUTF8AndSize); they stay valid while the fast sequence holds
 * the strs, and no Python code runs between taking them and the core call.
 * Text holding a NUL character would be read by the C parser only up to the
 * NUL, i.e. as a prefix of what the caller wrote; such an item is pointed at
 * the empty string instead, which no parser accepts, so it fails and cannot
 * decide the batch's family either.
 */
PyObject *pytarn_bulk_parse(PyObject *module, PyObject *args) {
  (void)module;
  PyObject *srcs_obj;
  if (!PyArg_ParseTuple(args, "O", &srcs_obj)) return NULL;

  PyObject *seq = PySequence_Fast(srcs_obj, "argument must be a list or tuple");
  if (seq == NULL) return NULL;

  PyObject *result = NULL;
  const char **srcs = NULL;
  tarn_addr_t *out = NULL;
  tarn_err_t *errs = NULL;

  Py_ssize_t n = bulk_fast_size(seq);
  if (n < 0) goto done;
  if (n == 0) {
    result = PyList_New(0);
    goto done;
  }
  size_t count = (size_t)n;

  srcs = bulk_alloc(count, sizeof *srcs);
  out = bulk_alloc(count, sizeof *out);
  errs = bulk_alloc(count, sizeof *errs);
  if (srcs == NULL || out == NULL || errs == NULL) {
    PyErr_NoMemory();
    goto done;
  }

  for (size_t i = 0; i < count; i++) {
    PyObject *item = bulk_fast_item(seq, (Py_ssize_t)i);
    if (item == NULL) goto done;
    if (!PyUnicode_Check(item)) {
      PyErr_SetString(pytarn_InvalidArgumentError, "all items must be strings");
      goto done;
    }
    Py_ssize_t len;
    const char *text = PyUnicode_AsUTF8AndSize(item, &len); /* lone surrogates raise */
    if (text == NULL) goto done;
    srcs[i] = strlen(text) == (size_t)len ? text : "";
  }

  tarn_err_t rc = tarn_bulk_parse(srcs, count, out, errs);

  result = PyList_New(n);
  if (result == NULL) goto done;
  for (size_t i = 0; i < count; i++) {
    PyObject *v;
    if (errs[i] == TARN_OK) {
      v = binding_addr_to_pyobj(&out[i]);
    } else {
      v = Py_None;
      Py_INCREF(v);
    }
    if (v == NULL || PyList_SetItem(result, (Py_ssize_t)i, v) < 0) {
      Py_CLEAR(result);
      goto done;
    }
  }
  if (rc != TARN_OK) {
    Py_CLEAR(result);
    tarn_set_python_error(rc, NULL);
  }

done:
  free(srcs);
  free(out);
  free(errs);
  Py_DECREF(seq);
  return result;
}

/* ---- bulk_contains ------------------------------------------------------ */

/* bulk_contains(addrs, prefixes): position of the first prefix in list order
 * containing each address (first match, not longest), or -1. */
PyObject *pytarn_bulk_contains(PyObject *module, PyObject *args) {
  (void)module;
  PyObject *addrs_obj, *prefixes_obj;
  if (!PyArg_ParseTuple(args, "OO", &addrs_obj, &prefixes_obj)) return NULL;

  PyObject *result = NULL;
  tarn_prefix_t *prefixes = NULL;
  ssize_t *matches = NULL;
  size_t addr_count, prefix_count;
  tarn_family_t addr_family, prefix_family;

  tarn_addr_t *addrs = bulk_addrs_from_list(addrs_obj, &addr_count, &addr_family);
  if (addrs == NULL) return NULL;
  prefixes = bulk_extract_prefixes(prefixes_obj, &prefix_count, &prefix_family);
  if (prefixes == NULL) goto done;

  matches = bulk_alloc(addr_count, sizeof *matches);
  if (matches == NULL) {
    PyErr_NoMemory();
    goto done;
  }
  if (addr_count != 0 && prefix_count != 0 && addr_family != prefix_family) {
    PyErr_SetString(pytarn_FamilyError, "address family mismatch between addrs and prefixes");
    goto done;
  }
  tarn_err_t rc = tarn_bulk_contains(addrs, addr_count, prefixes, prefix_count, matches, NULL);
  if (tarn_set_python_error(rc, NULL) < 0) goto done;
  result = bulk_matches_to_list(matches, addr_count);

done:
  free(addrs);
  free(prefixes);
  free(matches);
  return result;
}

/* ---- bulk_aggregate ----------------------------------------------------- */

/* bulk_aggregate(prefixes): the minimal covering set, in ascending network
 * order, as new objects; the aggregation runs on a private copy. */
PyObject *pytarn_bulk_aggregate(PyObject *module, PyObject *args) {
  (void)module;
  PyObject *prefixes_obj;
  if (!PyArg_ParseTuple(args, "O", &prefixes_obj)) return NULL;

  size_t count, out_count = 0;
  tarn_family_t family;
  tarn_prefix_t *prefixes = bulk_extract_prefixes(prefixes_obj, &count, &family);
  if (prefixes == NULL) return NULL;

  PyObject *result = NULL;
  if (count != 0) {
    tarn_err_t rc = tarn_bulk_aggregate(prefixes, count, &out_count);
    if (tarn_set_python_error(rc, NULL) < 0) goto done;
  }
  result = bulk_prefixes_to_list(prefixes, out_count);

done:
  free(prefixes);
  return result;
}

/* ---- bulk_sort ---------------------------------------------------------- */

/* bulk_sort(prefixes, order): a sorted copy as new objects.  `order` goes to
 * the core unchanged, which rejects every value but the two orders. */
PyObject *pytarn_bulk_sort(PyObject *module, PyObject *args) {
  (void)module;
  PyObject *prefixes_obj;
  int order;
  if (!PyArg_ParseTuple(args, "Oi", &prefixes_obj, &order)) return NULL;

  size_t count;
  tarn_family_t family;
  tarn_prefix_t *prefixes = bulk_extract_prefixes(prefixes_obj, &count, &family);
  if (prefixes == NULL) return NULL;

  PyObject *result = NULL;
  if (count != 0) {
    /* A negative int converts to a huge unsigned order, which is rejected. */
    tarn_err_t rc = tarn_bulk_sort(prefixes, count, (tarn_sort_order_t)order);
    if (tarn_set_python_error(rc, NULL) < 0) goto done;
  }
  result = bulk_prefixes_to_list(prefixes, count);

done:
  free(prefixes);
  return result;
}

/* ---- bulk_contains_packed ----------------------------------------------- */

/*
 * bulk_contains_packed(mv, prefixes, family): bulk_contains over a buffer of
 * packed addresses in network byte order, 4 or 16 bytes per element.  The
 * buffer is taken as it stands: one dimension, one element after the other,
 * element size matching the family; the item format is never examined, so
 * bytes, array('B') casts, ctypes arrays of 16-byte structures and the like
 * all qualify.  No Python object is made per address.
 */
PyObject *pytarn_bulk_contains_packed(PyObject *module, PyObject *args) {
  (void)module;
  PyObject *mv, *prefixes_obj;
  int family;
  if (!PyArg_ParseTuple(args, "OOi", &mv, &prefixes_obj, &family)) return NULL;

  if (family != TARN_AF_INET && family != TARN_AF_INET6) {
    PyErr_SetString(pytarn_InvalidArgumentError, "family must be AF_INET or AF_INET6");
    return NULL;
  }

  Py_buffer view;
  if (PyObject_GetBuffer(mv, &view, PyBUF_STRIDES) < 0) return NULL;

  PyObject *result = NULL;
  tarn_prefix_t *prefixes = NULL;
  tarn_addr_t *addrs = NULL;
  ssize_t *matches = NULL;

  if (view.ndim != 1) {
    PyErr_SetString(pytarn_InvalidArgumentError, "memoryview must be 1-dimensional");
    goto done;
  }
  size_t count = view.itemsize == 0 ? 0 : (size_t)view.len / (size_t)view.itemsize;
  size_t want = binding_addr_len((tarn_family_t)family);
  if (count != 0 && (size_t)view.itemsize != want) {
    PyErr_Format(pytarn_InvalidArgumentError, "element size must be %zu bytes for %s", want,
                 family == TARN_AF_INET ? "IPv4" : "IPv6");
    goto done;
  }
  if (view.suboffsets != NULL || (view.strides != NULL && view.strides[0] != view.itemsize)) {
    PyErr_SetString(pytarn_InvalidArgumentError, "memoryview must be C-contiguous");
    goto done;
  }

  /* May run the caller's code (an iterator); the buffer stays exported, so
   * its memory cannot move or shrink meanwhile. */
  size_t prefix_count;
  tarn_family_t prefix_family;
  prefixes = bulk_extract_prefixes(prefixes_obj, &prefix_count, &prefix_family);
  if (prefixes == NULL) goto done;
  if (prefix_count != 0 && prefix_family != (tarn_family_t)family) {
    PyErr_SetString(pytarn_FamilyError, "prefix family does not match requested address family");
    goto done;
  }

  if (count != 0) {
    addrs = bulk_alloc(count, sizeof *addrs);
    if (addrs == NULL) {
      PyErr_NoMemory();
      goto done;
    }
    const unsigned char *src = view.buf;
    for (size_t i = 0; i < count; i++) {
      memset(&addrs[i], 0, sizeof addrs[i]);
      addrs[i].family = (tarn_family_t)family;
      memcpy(addrs[i].addr.v6, src + i * want, want);
    }
    matches = bulk_alloc(count, sizeof *matches);
    if (matches == NULL) {
      PyErr_NoMemory();
      goto done;
    }
  }
  tarn_err_t rc = tarn_bulk_contains(addrs, count, prefixes, prefix_count, matches, NULL);
  if (tarn_set_python_error(rc, NULL) < 0) goto done;
  result = bulk_matches_to_list(matches, count);

done:
  free(addrs);
  free(prefixes);
  free(matches);
  PyBuffer_Release(&view);
  return result;
}
