/*
 * columns.c - the calls that run over a whole AddressArray: first-match
 * containment in a list of networks (bulk_contains_array), containment in
 * one network (AddressArray.within), and the machinery PrefixIndex shares:
 * networks of both families split by family, and one core call per family
 * over a column.
 *
 * A column may mix families and hold nulls; the core takes records of one
 * family and no nulls.  binding_column_run therefore hands the core the
 * array's own records when they are all of the family asked for, and
 * otherwise gathered copies a block at a time, scattering each block's
 * answers back to the items' positions.  Nulls are never given to the core:
 * their slots keep the sentinel the caller filled in, and the result carries
 * the input's validity so that Arrow sees them as nulls.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pytarn_ext.h"

_Static_assert(sizeof(ssize_t) == sizeof(int64_t),
               "positions go straight into int64 result buffers");

/* ---- networks split by family --------------------------------------------- */

static void *columns_alloc(size_t n, size_t size) {
  if (n != 0 && n > SIZE_MAX / size) return NULL;
  return malloc(n == 0 ? 1 : n * size);
}

void binding_network_split_free(binding_network_split *split) {
  for (int f = 0; f < 2; f++) {
    free(split->prefixes[f]);
    free(split->positions[f]);
    split->prefixes[f] = NULL;
    split->positions[f] = NULL;
    split->count[f] = 0;
  }
}

/* Room for both record arrays of an n-item split; MemoryError on failure. */
static int split_alloc(binding_network_split *out, size_t n) {
  for (int f = 0; f < 2; f++) {
    out->prefixes[f] = columns_alloc(n, sizeof(tarn_prefix_t));
    out->positions[f] = columns_alloc(n, sizeof(size_t));
    if (out->prefixes[f] == NULL || out->positions[f] == NULL) {
      PyErr_NoMemory();
      return -1;
    }
  }
  return 0;
}

/* Record `p` as item i of the table, in its family's share. */
static inline void split_append(binding_network_split *out, const tarn_prefix_t *p, size_t i) {
  int f = binding_family_slot(p->addr.family);
  size_t k = out->count[f]++;
  out->prefixes[f][k] = *p;
  out->positions[f][k] = i;
}

/* How many items ahead split_sequence prefetches. */
#define SPLIT_AHEAD 8

/* The record of one item of a split sequence, or -1 with an exception. */
typedef int (*split_item_fn)(PyObject *item, Py_ssize_t i, tarn_prefix_t *out);

/* Every item of a list, tuple or other iterable through `item_fn`, in
 * order; `what` is the TypeError for anything that is none of those.
 * Iterating runs the caller's code, so the items are taken first; the walk
 * runs none but the parser's, so the sequence cannot change under it. */
static int split_sequence(PyObject *obj, const char *what, split_item_fn item_fn,
                          binding_network_split *out) {
  memset(out, 0, sizeof *out);
  PyObject *seq = PySequence_Fast(obj, what);
  if (seq == NULL) return -1;
  Py_ssize_t n = PyList_Check(seq) ? PyList_Size(seq) : PyTuple_Size(seq);
  if (n < 0 || split_alloc(out, (size_t)n) < 0) goto fail;
  const int is_list = PyList_Check(seq);
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject *item = is_list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
    /* The items lie wherever they were made; reading each one's header
     * and text was a cache miss in turn, the larger part of the walk for a
     * table of 100k texts.  Asking for an item a few ahead overlaps them. */
    if (i + SPLIT_AHEAD < n) {
      const char *ahead = (const char *)(is_list ? PyList_GetItem(seq, i + SPLIT_AHEAD)
                                                 : PyTuple_GetItem(seq, i + SPLIT_AHEAD));
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + 64);
    }
    tarn_prefix_t p;
    if (item == NULL || item_fn(item, i, &p) < 0) goto fail;
    split_append(out, &p, (size_t)i);
  }
  Py_DECREF(seq);
  return 0;

fail:
  Py_DECREF(seq);
  binding_network_split_free(out);
  return -1;
}

static int network_item(PyObject *item, Py_ssize_t i, tarn_prefix_t *out) {
  (void)i;
  if (!binding_is_ipv4network(item) && !binding_is_ipv6network(item)) {
    PyErr_SetString(pytarn_FamilyError, "all items must be IPv4Network or IPv6Network");
    return -1;
  }
  *out = ((NetworkObject *)item)->prefix;
  return 0;
}

int binding_split_networks(PyObject *obj, binding_network_split *out) {
  return split_sequence(obj, "argument must be a list or tuple", network_item, out);
}

/* Longer than any network text ("IPv6 text/128" is at most 49 bytes), with
 * room for the NUL the parser needs. */
#define NETWORK_TEXT_MAX 64

/* The items of an imported string column, one record each. */
static int split_arrow_texts(const binding_arrow_column *col, binding_network_split *out) {
  if (col->layout != ARROW_COL_UTF8 && col->layout != ARROW_COL_LARGE_UTF8 &&
      col->layout != ARROW_COL_UTF8_VIEW) {
    PyErr_SetString(pytarn_InvalidArgumentError, "expected a column of network text");
    return -1;
  }
  if (split_alloc(out, (size_t)col->total_length) < 0) return -1;
  char buf[NETWORK_TEXT_MAX];
  size_t i = 0;
  for (size_t c = 0; c < col->chunk_count; c++) {
    const binding_arrow_chunk *chunk = &col->chunks[c];
    for (int64_t k = 0; k < chunk->length; k++, i++) {
      if (!binding_arrow_valid(chunk, k)) {
        PyErr_Format(pytarn_InvalidArgumentError, "item at index %zu is null", i);
        return -1;
      }
      size_t len;
      const char *text = binding_arrow_string(col, chunk, k, &len);
      if (len >= sizeof buf || memchr(text, '\0', len) != NULL)
        return binding_raise_item_error(
            pytarn_ParseError, "invalid network", (Py_ssize_t)i, text, len,
            len >= sizeof buf ? "too long for a network" : "contains a NUL character");
      memcpy(buf, text, len);
      buf[len] = '\0';
      tarn_prefix_t p;
      if (binding_prefix_from_text(buf, len, (Py_ssize_t)i, &p) < 0) return -1;
      split_append(out, &p, i);
    }
  }
  return 0;
}

static int text_item(PyObject *item, Py_ssize_t i, tarn_prefix_t *out) {
  if (PyUnicode_Check(item)) return binding_prefix_from_str(item, i, out);
  PyObject *name = PyType_GetName(Py_TYPE(item));
  if (name != NULL) {
    PyErr_Format(PyExc_TypeError, "item at index %zd is a '%U' object, not str", i, name);
    Py_DECREF(name);
  }
  return -1;
}

int binding_split_network_texts(PyObject *obj, binding_network_split *out) {
  memset(out, 0, sizeof *out);
  binding_arrow_column col;
  int imported = binding_arrow_import(obj, &col);
  if (imported < 0) return -1;
  if (imported > 0) {
    int rc = split_arrow_texts(&col, out);
    binding_arrow_column_release(&col);
    if (rc < 0) binding_network_split_free(out);
    return rc;
  }
  return split_sequence(obj, "argument must be an iterable of str or an Arrow column", text_item,
                        out);
}

/* ---- one core call per family over a column ------------------------------- */

/* Items gathered per call of a column function: the records, their slots
 * and the answers of a block stay in the second-level cache (at most
 * 288 KiB), where gathering a whole share at once made two fresh arrays of
 * the share's size, whose page faults cost about a third of a lookup over a
 * mixed column. */
#define COLUMN_BLOCK 8192

tarn_err_t binding_column_run(const AddressArrayObject *arr, tarn_family_t family,
                              binding_column_fn fn, const void *ctx, ssize_t *out) {
  size_t total = (size_t)arr->count;
  size_t n = (size_t)(family == TARN_AF_INET ? arr->v4_count : arr->v6_count);
  if (n == 0) return TARN_OK;
  if (n == total) return fn(ctx, arr->addrs, n, out);

  size_t block = n < COLUMN_BLOCK ? n : COLUMN_BLOCK;
  tarn_addr_t *gathered = malloc(block * sizeof *gathered);
  size_t *slots = malloc(block * sizeof *slots);
  ssize_t *answers = malloc(block * sizeof *answers);
  tarn_err_t rc = TARN_ERR_NOMEM;
  if (gathered == NULL || slots == NULL || answers == NULL) goto done;

  /* The bounds are checked on every item, so a miscount could never become
   * a write past a block.  Each item is written to the next free slot and
   * kept by advancing past it only when it is of the family: a mixed log
   * alternates families in no order a branch predictor could learn.  The
   * write lands in the block because j < block when it is made. */
  rc = TARN_OK;
  for (size_t i = 0; i < total && rc == TARN_OK;) {
    size_t j = 0;
    for (; i < total && j < block; i++) {
      gathered[j] = arr->addrs[i];
      slots[j] = i;
      j += arr->addrs[i].family == family;
    }
    if (j == 0) break;
    rc = fn(ctx, gathered, j, answers);
    if (rc == TARN_OK)
      for (size_t k = 0; k < j; k++) out[slots[k]] = answers[k];
  }

done:
  free(gathered);
  free(slots);
  free(answers);
  return rc;
}

/* ---- first match in a list of networks ------------------------------------ */

/* One family's networks, and where each stands in the caller's list. */
typedef struct {
  const tarn_prefix_t *prefixes;
  const size_t *positions;
  size_t count;
} columns_contains_ctx;

/* First-match positions among one family's networks, mapped back to the
 * caller's list; the family's share keeps list order, so the first match
 * in the share is the first match in the whole list. */
static tarn_err_t columns_contains_fn(const void *ctx_v, const tarn_addr_t *addrs, size_t n,
                                      ssize_t *out) {
  const columns_contains_ctx *ctx = ctx_v;
  tarn_err_t rc = tarn_bulk_contains(addrs, n, ctx->prefixes, ctx->count, out, NULL);
  if (rc != TARN_OK) return rc;
  if (ctx->positions != NULL)
    for (size_t i = 0; i < n; i++)
      if (out[i] >= 0) out[i] = (ssize_t)ctx->positions[out[i]];
  return TARN_OK;
}

/* An int64 result with one -1 per item of `arr` and the array's nulls. */
static ResultBufferObject *columns_positions_result(const AddressArrayObject *arr, ssize_t **data) {
  void *raw;
  ResultBufferObject *result = binding_result_new(RESULT_INT64, arr->count, &raw);
  if (result == NULL) return NULL;
  if (binding_result_copy_validity(result, arr) < 0) {
    Py_DECREF(result);
    return NULL;
  }
  memset(raw, 0xff, (size_t)arr->count * sizeof(ssize_t)); /* all bits set: -1 */
  *data = raw;
  return result;
}

/* bulk_contains_array(values, networks): for each item of the column, the
 * position of the first network in list order that contains it, or -1;
 * networks of both families may be mixed, and each item is matched against
 * those of its own family. */
PyObject *pytarn_bulk_contains_array(PyObject *module, PyObject *args) {
  (void)module;
  PyObject *values, *networks;
  if (!PyArg_ParseTuple(args, "OO", &values, &networks)) return NULL;

  binding_network_split split;
  if (binding_split_networks(networks, &split) < 0) return NULL;
  AddressArrayObject *arr = binding_addressarray_from_object(values);
  ResultBufferObject *result = NULL;
  if (arr == NULL) goto done;
  ssize_t *out;
  result = columns_positions_result(arr, &out);
  if (result == NULL) goto done;

  tarn_err_t rc = TARN_OK;
  BINDING_UNLOCKED(arr->count, {
    for (int f = 0; f < 2 && rc == TARN_OK; f++) {
      columns_contains_ctx ctx = {split.prefixes[f], split.positions[f], split.count[f]};
      if (ctx.count != 0)
        rc = binding_column_run(arr, f == 0 ? TARN_AF_INET : TARN_AF_INET6, columns_contains_fn,
                                &ctx, out);
    }
  });
  if (tarn_set_python_error(rc, NULL) < 0) Py_CLEAR(result);

done:
  Py_XDECREF((PyObject *)arr);
  binding_network_split_free(&split);
  return (PyObject *)result;
}

/* ---- containment in one network ------------------------------------------- */

PyObject *addressarray_within(PyObject *self, PyObject *network) {
  if (!binding_is_ipv4network(network) && !binding_is_ipv6network(network)) {
    PyErr_SetString(PyExc_TypeError, "within() takes an IPv4Network or IPv6Network");
    return NULL;
  }
  AddressArrayObject *arr = (AddressArrayObject *)self;
  const tarn_prefix_t prefix = ((NetworkObject *)network)->prefix;

  void *raw;
  ResultBufferObject *result = binding_result_new(RESULT_BOOL, arr->count, &raw);
  if (result == NULL) return NULL;
  ssize_t *matches = NULL;
  if (binding_result_copy_validity(result, arr) < 0) goto fail;
  matches = columns_alloc((size_t)arr->count, sizeof *matches);
  if (matches == NULL) {
    PyErr_NoMemory();
    goto fail;
  }

  /* Items of the other family and nulls keep -1: not within. */
  tarn_err_t rc;
  BINDING_UNLOCKED(arr->count, {
    memset(matches, 0xff, (size_t)arr->count * sizeof *matches);
    columns_contains_ctx ctx = {&prefix, NULL, 1};
    rc = binding_column_run(arr, prefix.addr.family, columns_contains_fn, &ctx, matches);
    bool *out = raw;
    for (Py_ssize_t i = 0; i < arr->count; i++) out[i] = matches[i] == 0;
  });
  if (tarn_set_python_error(rc, NULL) < 0) goto fail;
  free(matches);
  return (PyObject *)result;

fail:
  free(matches);
  Py_DECREF(result);
  return NULL;
}
