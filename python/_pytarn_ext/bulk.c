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
 * bulk_parse(srcs, errors="raise"): every item is attempted; any failure
 * raises only after the whole batch ran, with the core's verdict for the
 * batch: FamilyError when the items mix families, else a ParseError naming
 * the first failed item.  errors="none" answers None for failed items
 * instead.
 *
 * The string pointers point straight into each str's cached UTF-8 form
 * (PyUnicode_AsUTF8AndSize); they stay valid while the sequence holds the
 * strs.  A list is copied to a tuple first: the parse runs with the lock
 * released, and another thread could meanwhile empty the list and free the
 * strs; the tuple cannot change.
 * Text holding a NUL character would be read by the C parser only up to the
 * NUL, i.e. as a prefix of what the caller wrote; such an item is pointed at
 * the empty string instead, which no parser accepts, so it fails and cannot
 * decide the batch's family either.
 */
PyObject *pytarn_bulk_parse(PyObject *module, PyObject *args, PyObject *kwargs) {
  (void)module;
  static char *kwlist[] = {"", "errors", NULL};
  PyObject *srcs_obj;
  const char *errors = "raise";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$s", kwlist, &srcs_obj, &errors)) return NULL;
  int keep_going = strcmp(errors, "none") == 0;
  if (!keep_going && strcmp(errors, "raise") != 0) {
    PyErr_SetString(pytarn_InvalidArgumentError, "errors must be 'raise' or 'none'");
    return NULL;
  }

  PyObject *seq = PySequence_Fast(srcs_obj, "argument must be a list or tuple");
  if (seq == NULL) return NULL;

  PyObject *result = NULL;
  const char **srcs = NULL;
  tarn_addr_t *out = NULL;
  tarn_err_t *errs = NULL;

  if (seq == srcs_obj && PyList_Check(seq)) { /* the caller's list, not our own */
    PyObject *frozen = PyList_AsTuple(seq);
    Py_DECREF(seq);
    if (frozen == NULL) return NULL;
    seq = frozen;
  }

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

  tarn_err_t rc;
  BINDING_UNLOCKED(count, rc = tarn_bulk_parse(srcs, count, out, errs));

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
  /* Mixed families fail the batch whatever `errors` says: a list of one
   * family is what the caller gets. */
  if (rc == TARN_ERR_FAMILY || (rc != TARN_OK && !keep_going)) {
    Py_CLEAR(result);
    if (rc != TARN_ERR_PARSE) {
      tarn_set_python_error(rc, NULL);
      goto done;
    }
    size_t bad = 0;
    while (errs[bad] == TARN_OK) bad++; /* a parse failure means some item failed */
    Py_ssize_t len;
    const char *text = PyUnicode_AsUTF8AndSize(bulk_fast_item(seq, (Py_ssize_t)bad), &len);
    if (text != NULL)
      binding_raise_item_error(pytarn_ParseError, "invalid address", (Py_ssize_t)bad, text,
                               (size_t)len, "parse error");
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
  tarn_err_t rc;
  BINDING_UNLOCKED(addr_count, rc = tarn_bulk_contains(addrs, addr_count, prefixes, prefix_count,
                                                       matches, NULL));
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
    tarn_err_t rc;
    BINDING_UNLOCKED(count, rc = tarn_bulk_aggregate(prefixes, count, &out_count));
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
    tarn_err_t rc;
    BINDING_UNLOCKED(count, rc = tarn_bulk_sort(prefixes, count, (tarn_sort_order_t)order));
    if (tarn_set_python_error(rc, NULL) < 0) goto done;
  }
  result = bulk_prefixes_to_list(prefixes, count);

done:
  free(prefixes);
  return result;
}

/* ---- the packed-address contract ---------------------------------------- */

/* The buffer's format without a byte-order prefix, and that prefix ('@' when
 * there is none: native order, native sizes). */
static const char *packed_split_format(const char *format, char *order) {
  if (format == NULL) format = "B"; /* an exporter's way of saying bytes */
  *order = '@';
  if (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '!')
    *order = *format++;
  return format;
}

/* The element size a packed buffer's format claims: 1 for byte-like items,
 * 4 or 16 for opaque items ("4s", "16x", ...), 4 for big-endian unsigned
 * 32-bit integers when `family` is IPv4 (their bytes are network order), 0
 * for a format that is no packed address format at all. */
static size_t packed_format_width(const char *format, tarn_family_t family) {
  char order;
  const char *f = packed_split_format(format, &order);
  if (strcmp(f, "B") == 0 || strcmp(f, "b") == 0 || strcmp(f, "c") == 0) return 1;
  if (strcmp(f, "4s") == 0 || strcmp(f, "4x") == 0) return 4;
  if (strcmp(f, "16s") == 0 || strcmp(f, "16x") == 0) return 16;
  /* Standard sizes ('>' and '!') make both I and L four bytes. */
  if (family == TARN_AF_INET && (order == '>' || order == '!') &&
      (strcmp(f, "I") == 0 || strcmp(f, "L") == 0))
    return 4;
  return 0;
}

int binding_packed_view(PyObject *obj, tarn_family_t family, Py_buffer *view,
                        const unsigned char **base, size_t *count) {
  if (PyObject_GetBuffer(obj, view, PyBUF_RECORDS_RO) < 0) return -1;

  const size_t width = binding_addr_len(family);
  const char *label = family == TARN_AF_INET ? "IPv4" : "IPv6";
  const char *format = view->format != NULL ? view->format : "B";
  size_t item = packed_format_width(format, family);
  if (item == 0) {
    PyErr_Format(pytarn_InvalidArgumentError,
                 "buffer format '%s' is not a packed %s address format: pass network-order "
                 "bytes (format %s), or numbers through AddressArray.from_integers(values, "
                 "family)",
                 format, label,
                 family == TARN_AF_INET ? "'B', '4s' or big-endian '>I'" : "'B' or '16s'");
    goto fail;
  }
  if ((item != 1 && item != width) || item != (size_t)view->itemsize) {
    PyErr_Format(pytarn_InvalidArgumentError, "element size must be %zu bytes for %s", width,
                 label);
    goto fail;
  }

  /* One dimension of elements, or bytes shaped (n, width): numpy's uint8
   * matrix of addresses.  Either way one element after the other. */
  int two_d = item == 1 && view->ndim == 2 && view->shape[1] == (Py_ssize_t)width;
  if (view->ndim != 1 && !two_d) {
    PyErr_SetString(pytarn_InvalidArgumentError, "memoryview must be 1-dimensional");
    goto fail;
  }
  int contiguous = view->suboffsets == NULL &&
                   (view->strides == NULL ||
                    (two_d ? view->strides[1] == 1 && view->strides[0] == (Py_ssize_t)width
                           : view->strides[0] == view->itemsize));
  if (!contiguous) {
    PyErr_SetString(pytarn_InvalidArgumentError, "memoryview must be C-contiguous");
    goto fail;
  }
  if ((size_t)view->len % width != 0) {
    PyErr_Format(pytarn_InvalidArgumentError,
                 "packed %s addresses take %zu bytes each; the buffer holds %zd bytes", label,
                 width, view->len);
    goto fail;
  }
  *base = view->buf;
  *count = (size_t)view->len / width;
  return 0;

fail:
  PyBuffer_Release(view);
  return -1;
}

/* ---- bulk_contains_packed ----------------------------------------------- */

/*
 * bulk_contains_packed(mv, prefixes, family): bulk_contains over a buffer of
 * packed addresses in network byte order, read under the packed contract.
 * No Python object is made per address.
 *
 * The prefixes are converted first: that may run the caller's code (an
 * iterator), which could resize or free the buffer's memory if a view were
 * held already.  The buffer is then taken, copied into private records and
 * released at once, so the core call runs on private memory only.
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

  PyObject *result = NULL;
  tarn_addr_t *addrs = NULL;
  ssize_t *matches = NULL;
  size_t prefix_count;
  tarn_family_t prefix_family;
  tarn_prefix_t *prefixes = bulk_extract_prefixes(prefixes_obj, &prefix_count, &prefix_family);
  if (prefixes == NULL) return NULL;

  Py_buffer view;
  const unsigned char *src;
  size_t count;
  if (binding_packed_view(mv, (tarn_family_t)family, &view, &src, &count) < 0) goto done;
  if (prefix_count != 0 && prefix_family != (tarn_family_t)family) {
    PyBuffer_Release(&view);
    PyErr_SetString(pytarn_FamilyError, "prefix family does not match requested address family");
    goto done;
  }
  addrs = bulk_alloc(count, sizeof *addrs);
  matches = bulk_alloc(count, sizeof *matches);
  if (addrs == NULL || matches == NULL) {
    PyBuffer_Release(&view);
    PyErr_NoMemory();
    goto done;
  }
  size_t want = binding_addr_len((tarn_family_t)family);
  memset(addrs, 0, count * sizeof *addrs);
  for (size_t i = 0; i < count; i++) {
    addrs[i].family = (tarn_family_t)family;
    memcpy(addrs[i].addr.v6, src + i * want, want);
  }
  PyBuffer_Release(&view);

  tarn_err_t rc;
  BINDING_UNLOCKED(count,
                   rc = tarn_bulk_contains(addrs, count, prefixes, prefix_count, matches, NULL));
  if (tarn_set_python_error(rc, NULL) < 0) goto done;
  result = bulk_matches_to_list(matches, count);

done:
  free(addrs);
  free(prefixes);
  free(matches);
  return result;
}
