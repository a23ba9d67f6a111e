/*
 * prefixindex.c - PrefixIndex: a Python object owning the longest-prefix-
 * match indexes of a table of networks, built once and queried with lists of
 * addresses (lookup) or whole columns (lookup_array, lookup_packed).
 *
 * A table of one family is one core index whose positions are the table's.
 * A table of both families is one core index per family, each with the map
 * from its records back to table positions; an address of a family the
 * table holds nothing of matches nothing.
 *
 * Lifecycle and threads: lookups run the core with the interpreter's lock
 * released, so __exit__ may be called by one thread while others are inside
 * the core on the same index.  Every reader counts itself in `readers`
 * before it lets the lock go and out after it has it back, and `released`
 * is set under the lock too; so __exit__ frees the indexes at once when no
 * reader is inside, and otherwise the last reader to leave frees them.  A
 * running lookup holds a reference to the object, so deallocation never
 * meets a reader.  `family` and `prefix_count` never change, so repr reads
 * the same before and after the release.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pytarn_ext.h"

/* Results of batches up to this size live on the stack of lookup. */
#define PREFIXINDEX_STACK_RESULTS 4096

static const char *prefixindex_family_label(tarn_family_t family) {
  switch (family) {
    case TARN_AF_INET:
      return "IPv4";
    case TARN_AF_INET6:
      return "IPv6";
    default:
      return "IPv4+IPv6";
  }
}

/* Free both parts; only with the lock held and no reader inside. */
static void prefixindex_free_parts(PrefixIndexObject *self) {
  for (int f = 0; f < 2; f++) {
    tarn_index_destroy(self->parts[f].index);
    free(self->parts[f].positions);
    self->parts[f].index = NULL;
    self->parts[f].positions = NULL;
  }
}

static void prefixindex_release(PrefixIndexObject *self) {
  self->released = 1;
  if (self->readers == 0) prefixindex_free_parts(self);
}

/* Count a reader in before the lock is let go... */
static void prefixindex_enter_reader(PrefixIndexObject *self) { self->readers++; }

/* ...and out once it is held again; the last reader after a release frees. */
static void prefixindex_leave_reader(PrefixIndexObject *self) {
  if (--self->readers == 0 && self->released) prefixindex_free_parts(self);
}

static PyObject *prefixindex_destroyed_error(void) {
  PyErr_SetString(pytarn_InvalidArgumentError, "index has been destroyed");
  return NULL;
}

/* Build one family's part from its share of the table; `positions` maps
 * the share back to the table (every entry below PREFIXINDEX_MAX_MIXED), or
 * is NULL. */
static tarn_err_t prefixindex_build_part(PrefixIndexPart *part, const tarn_prefix_t *prefixes,
                                         size_t count, const size_t *positions) {
  if (count == 0) return TARN_OK;
  if (positions != NULL) {
    part->positions = malloc(count * sizeof *part->positions);
    if (part->positions == NULL) return TARN_ERR_NOMEM;
    for (size_t k = 0; k < count; k++) part->positions[k] = (uint32_t)positions[k];
  }
  return tarn_index_create(prefixes, count, &part->index);
}

/* A new index of `type` over a table split by family; the split is freed
 * either way. */
static PyObject *prefixindex_from_split(PyTypeObject *type, binding_network_split *split) {
  size_t count = split->count[0] + split->count[1];
  if (count == 0) {
    binding_network_split_free(split);
    PyErr_SetString(pytarn_InvalidArgumentError, "PrefixIndex requires at least one prefix");
    return NULL;
  }

  /* A one-family table reports the core's positions as they are. */
  int both = split->count[0] != 0 && split->count[1] != 0;
  tarn_family_t family = both                   ? TARN_AF_UNSPEC
                         : split->count[0] != 0 ? TARN_AF_INET
                                                : TARN_AF_INET6;
  if (both && count > PREFIXINDEX_MAX_MIXED) {
    binding_network_split_free(split);
    PyErr_SetString(pytarn_InvalidArgumentError,
                    "a PrefixIndex of both families holds at most 4294967295 networks");
    return NULL;
  }
  PrefixIndexPart parts[2] = {{NULL, NULL}, {NULL, NULL}};
  tarn_err_t rc = TARN_OK;
  BINDING_UNLOCKED(count, {
    for (int f = 0; f < 2 && rc == TARN_OK; f++)
      rc = prefixindex_build_part(&parts[f], split->prefixes[f], split->count[f],
                                  both ? split->positions[f] : NULL);
  });
  /* The core indexes keep their own copies of everything they need. */
  binding_network_split_free(split);

  PrefixIndexObject *self = NULL;
  if (tarn_set_python_error(rc, NULL) == 0)
    self = (PrefixIndexObject *)PyType_GenericNew(type, NULL, NULL);
  if (self == NULL) {
    for (int f = 0; f < 2; f++) {
      tarn_index_destroy(parts[f].index);
      free(parts[f].positions);
    }
    return NULL;
  }
  self->parts[0] = parts[0];
  self->parts[1] = parts[1];
  self->family = family;
  self->prefix_count = count;
  return (PyObject *)self;
}

/* PrefixIndex(networks): builds the index; keyword arguments are ignored. */
static PyObject *prefixindex_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  (void)kwargs;
  PyObject *networks;
  if (!PyArg_ParseTuple(args, "O", &networks)) return NULL;
  binding_network_split split;
  if (binding_split_networks(networks, &split) < 0) return NULL;
  return prefixindex_from_split(type, &split);
}

/* PrefixIndex.from_strings(texts): the same index straight from network
 * text, with no network object per item. */
static PyObject *prefixindex_from_strings(PyObject *cls, PyObject *texts) {
  binding_network_split split;
  if (binding_split_network_texts(texts, &split) < 0) return NULL;
  return prefixindex_from_split((PyTypeObject *)cls, &split);
}

/* Frees the indexes (if still held), then the object, and drops its
 * reference to the heap type. */
static void prefixindex_dealloc(PyObject *self) {
  prefixindex_free_parts((PrefixIndexObject *)self);
  binding_dealloc(self);
}

/* repr: count and family, valid in both states. */
static PyObject *prefixindex_repr(PyObject *self_obj) {
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  return PyUnicode_FromFormat("PrefixIndex(%zd prefixes, family=%s)",
                              (Py_ssize_t)self->prefix_count,
                              prefixindex_family_label(self->family));
}

/* A part's answers (core positions) mapped back to the table, in place. */
static tarn_err_t prefixindex_to_table(const PrefixIndexPart *part, tarn_err_t rc, ssize_t *out,
                                       size_t n) {
  if (rc != TARN_OK || part->positions == NULL) return rc;
  /* Without a branch: about half the answers of a log are misses, in no
   * order a predictor could learn.  A miss reads entry 0, which a part
   * with a map always has. */
  const uint32_t *map = part->positions;
  for (size_t i = 0; i < n; i++) {
    const ssize_t core = out[i];
    const ssize_t mapped = (ssize_t)map[core < 0 ? 0 : core];
    out[i] = core < 0 ? core : mapped;
  }
  return TARN_OK;
}

/* Longest-match positions in one part, mapped back to the table. */
static tarn_err_t prefixindex_lookup_fn(const void *part_v, const tarn_addr_t *addrs, size_t n,
                                        ssize_t *out) {
  const PrefixIndexPart *part = part_v;
  return prefixindex_to_table(part, tarn_index_lookup(part->index, addrs, n, out, NULL), out, n);
}

/*
 * lookup(addrs): the table position of the longest matching network per
 * address, or -1.
 *
 * Converting `addrs` may run the caller's code (an iterator), and that code
 * may release this very index through __exit__; `released` is therefore
 * read again after the conversion.
 */
static PyObject *prefixindex_lookup(PyObject *self_obj, PyObject *args) {
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  if (self->released) return prefixindex_destroyed_error();

  PyObject *addrs_obj;
  if (!PyArg_ParseTuple(args, "O", &addrs_obj)) return NULL;

  size_t count;
  tarn_family_t family;
  tarn_addr_t *addrs = bulk_addrs_from_list(addrs_obj, &count, &family);
  if (addrs == NULL) return NULL;
  if (self->released) {
    free(addrs);
    return prefixindex_destroyed_error();
  }
  if (count == 0) {
    free(addrs);
    return PyList_New(0);
  }
  const PrefixIndexPart *part = &self->parts[binding_family_slot(family)];
  if (part->index == NULL) {
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
  tarn_err_t rc;
  prefixindex_enter_reader(self);
  BINDING_UNLOCKED(count, rc = prefixindex_lookup_fn(part, addrs, count, matches));
  prefixindex_leave_reader(self);
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

/*
 * lookup_array(values): lookup over a column, answered as an int64
 * ResultBuffer.  Both families may mix in the column; items of a family the
 * table holds nothing of, and nulls, answer -1 (nulls stay null for Arrow).
 */
static PyObject *prefixindex_lookup_array(PyObject *self_obj, PyObject *values) {
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  if (self->released) return prefixindex_destroyed_error();

  /* May run the caller's code, which may release the index. */
  AddressArrayObject *arr = binding_addressarray_from_object(values);
  if (arr == NULL) return NULL;
  ResultBufferObject *result = NULL;
  if (self->released) {
    prefixindex_destroyed_error();
    goto done;
  }
  void *raw;
  result = binding_result_new(RESULT_INT64, arr->count, &raw);
  if (result == NULL) goto done;
  if (binding_result_copy_validity(result, arr) < 0) {
    Py_CLEAR(result);
    goto done;
  }

  ssize_t *out = raw;
  tarn_err_t rc = TARN_OK;
  prefixindex_enter_reader(self);
  /* The core writes every slot of a column of one family the table holds;
   * otherwise the slots it leaves (nulls, the other family) answer -1. */
  const int whole = (arr->v4_count == arr->count && self->parts[0].index != NULL) ||
                    (arr->v6_count == arr->count && self->parts[1].index != NULL);
  BINDING_UNLOCKED(arr->count, {
    if (!whole) memset(out, 0xff, (size_t)arr->count * sizeof *out); /* all bits set: -1 */
    for (int f = 0; f < 2 && rc == TARN_OK; f++) {
      if (self->parts[f].index != NULL)
        rc = binding_column_run(arr, f == 0 ? TARN_AF_INET : TARN_AF_INET6, prefixindex_lookup_fn,
                                &self->parts[f], out);
    }
  });
  prefixindex_leave_reader(self);
  if (tarn_set_python_error(rc, NULL) < 0) Py_CLEAR(result);

done:
  Py_DECREF((PyObject *)arr);
  return (PyObject *)result;
}

/* Longest-match positions of packed addresses in one part, mapped back to
 * the table. */
static tarn_err_t prefixindex_lookup_packed_fn(const PrefixIndexPart *part,
                                               const unsigned char *base, size_t n, ssize_t *out) {
  return prefixindex_to_table(part, tarn_index_lookup_packed(part->index, base, n, out), out, n);
}

/*
 * lookup_packed(buffer, family): lookup over network-order addresses of one
 * family under the packed contract (binding_packed_view), straight from the
 * caller's memory: no record per address is made.  The view is held, so the
 * exporter cannot resize the memory while the lock is released.
 */
static PyObject *prefixindex_lookup_packed(PyObject *self_obj, PyObject *args, PyObject *kwargs) {
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  static char *kwlist[] = {"buffer", "family", NULL};
  PyObject *buffer;
  int family;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oi:lookup_packed", kwlist, &buffer, &family))
    return NULL;
  if (family != TARN_AF_INET && family != TARN_AF_INET6) {
    PyErr_SetString(pytarn_InvalidArgumentError, "family must be AF_INET or AF_INET6");
    return NULL;
  }
  if (self->released) return prefixindex_destroyed_error();
  Py_buffer view;
  const unsigned char *base;
  size_t count;
  if (binding_packed_view(buffer, (tarn_family_t)family, &view, &base, &count) < 0) return NULL;
  void *raw;
  ResultBufferObject *result = binding_result_new(RESULT_INT64, (Py_ssize_t)count, &raw);
  if (result == NULL) goto done;
  ssize_t *out = raw;
  const PrefixIndexPart *part = &self->parts[binding_family_slot((tarn_family_t)family)];
  if (part->index == NULL) {
    /* No prefix of the family: nothing matches. */
    memset(out, 0xff, count * sizeof *out);
    goto done;
  }
  tarn_err_t rc = TARN_OK;
  prefixindex_enter_reader(self);
  BINDING_UNLOCKED(count, rc = prefixindex_lookup_packed_fn(part, base, count, out));
  prefixindex_leave_reader(self);
  if (tarn_set_python_error(rc, NULL) < 0) Py_CLEAR(result);

done:
  PyBuffer_Release(&view);
  return (PyObject *)result;
}

/* ---- queries over the held prefixes ------------------------------------- */

/*
 * The prefix a query names: a network as it is, an address (or interface,
 * or address text) as its host route, and anything else as ip_network() reads it (text,
 * (address, length) tuples, the standard library's objects), strictly.
 * 0, or -1 with the constructor's exception.
 */
static int prefixindex_query_prefix(PyObject *obj, tarn_prefix_t *out) {
  if (binding_is_ipv4network(obj) || binding_is_ipv6network(obj)) {
    *out = ((NetworkObject *)obj)->prefix;
    return 0;
  }
  if (binding_is_ipv4address(obj) || binding_is_ipv6address(obj)) {
    memset(out, 0, sizeof *out);
    out->addr = ((AddressObject *)obj)->addr;
    out->pfxlen = (uint8_t)(out->addr.family == TARN_AF_INET ? 32 : 128);
    return 0;
  }
  /* Text without a length names an address, as a host route. */
  if (PyUnicode_Check(obj)) {
    Py_ssize_t len;
    const char *text = binding_text_utf8(obj, &len);
    if (text == NULL) return -1;
    if (memchr(text, '/', (size_t)len) == NULL) {
      memset(out, 0, sizeof *out);
      if (tarn_set_python_error(tarn_addr_parse(text, &out->addr), text) < 0) return -1;
      out->pfxlen = (uint8_t)(out->addr.family == TARN_AF_INET ? 32 : 128);
      return 0;
    }
  }
  PyObject *args = PyTuple_Pack(1, obj);
  if (args == NULL) return -1;
  PyObject *net = pytarn_ip_network(NULL, args, NULL);
  Py_DECREF(args);
  if (net == NULL) return -1;
  *out = ((NetworkObject *)net)->prefix;
  Py_DECREF(net);
  return 0;
}

/* The part of the query's family; its index is NULL when the table holds
 * none of that family (every query then answers "nothing"). */
static const PrefixIndexPart *prefixindex_part_of(PrefixIndexObject *self,
                                                  const tarn_prefix_t *query) {
  return &self->parts[binding_family_slot(query->addr.family)];
}

/* A part's core position mapped back to the table. */
static Py_ssize_t prefixindex_table_position(const PrefixIndexPart *part, ssize_t core) {
  if (core < 0 || part->positions == NULL) return (Py_ssize_t)core;
  return (Py_ssize_t)part->positions[core];
}

/* [(network, position), ...] from parallel core arrays. */
static PyObject *prefixindex_pairs(const PrefixIndexPart *part, const tarn_prefix_t *prefixes,
                                   const ssize_t *positions, size_t n) {
  PyObject *list = PyList_New((Py_ssize_t)n);
  if (list == NULL) return NULL;
  for (size_t i = 0; i < n; i++) {
    PyObject *net = binding_prefix_to_pyobj(&prefixes[i]);
    PyObject *pos =
        net != NULL ? PyLong_FromSsize_t(prefixindex_table_position(part, positions[i])) : NULL;
    PyObject *pair = pos != NULL ? PyTuple_New(2) : NULL;
    if (pair == NULL) {
      Py_XDECREF(net);
      Py_XDECREF(pos);
      Py_DECREF(list);
      return NULL;
    }
    /* Fresh containers, in range: neither call can fail, each steals. */
    PyTuple_SetItem(pair, 0, net);
    PyTuple_SetItem(pair, 1, pos);
    /* A tuple of a network and an int can be in no reference cycle (the
     * base network types hold no references), so the collector need not
     * track it, as it stops tracking such tuples itself once one survives a
     * collection.  Untracked from the start, the many pairs of a covering
     * or covered query over a large batch are no work for the collections
     * their own allocations set off. */
    PyObject_GC_UnTrack(pair);
    PyList_SetItem(list, (Py_ssize_t)i, pair);
  }
  return list;
}

/* The distinct networks of one part and the core positions reported for
 * them, in malloc'ed arrays of *n (the caller frees both, also on error). */
static tarn_err_t prefixindex_part_records(const PrefixIndexPart *part, tarn_prefix_t **prefixes,
                                           ssize_t **positions, size_t *n) {
  *n = 0;
  tarn_index_count(part->index, n, NULL);
  *prefixes = malloc(*n * sizeof **prefixes);
  *positions = malloc(*n * sizeof **positions);
  if (*prefixes == NULL || *positions == NULL) return TARN_ERR_NOMEM;
  return tarn_index_prefixes(part->index, *prefixes, *positions, *n);
}

/* One 64-bit word into the fingerprint: a multiply-xorshift mix, so that
 * every input bit reaches every output bit. */
static inline uint64_t fingerprint_mix(uint64_t h, uint64_t w) {
  h = (h ^ w) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

/* The fingerprint of what lookups and queries answer: the family, the
 * table's length, and every distinct network held with the table position
 * reported for it.  Two indexes with the same fingerprint answer alike
 * (but for a 64-bit collision). */
static int prefixindex_fingerprint(PrefixIndexObject *self, uint64_t *out) {
  uint64_t h = fingerprint_mix(0x7461726E69647821ull,
                               ((uint64_t)self->family << 56) ^ (uint64_t)self->prefix_count);
  for (int f = 0; f < 2; f++) {
    const PrefixIndexPart *part = &self->parts[f];
    if (part->index == NULL) continue;
    size_t n;
    tarn_prefix_t *prefixes;
    ssize_t *positions;
    tarn_err_t rc = prefixindex_part_records(part, &prefixes, &positions, &n);
    if (rc == TARN_OK) {
      h = fingerprint_mix(h, (uint64_t)f << 32 | n);
      for (size_t i = 0; i < n; i++) {
        binding_u128 a = binding_addr_words(&prefixes[i].addr);
        h = fingerprint_mix(h, a.hi);
        h = fingerprint_mix(h, a.lo);
        h = fingerprint_mix(
            h, (uint64_t)prefixindex_table_position(part, positions[i]) << 8 | prefixes[i].pfxlen);
      }
    }
    free(prefixes);
    free(positions);
    if (tarn_set_python_error(rc, NULL) < 0) return -1;
  }
  *out = h;
  return 0;
}

/* __dask_tokenize__(): Dask names the tasks that take an index by this, and
 * without it would pickle and hash the whole index each time (half a second
 * for a full routing table); the fingerprint is a pass over the records,
 * made once. */
static PyObject *prefixindex_dask_tokenize(PyObject *self_obj, PyObject *unused) {
  (void)unused;
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  if (self->released) return prefixindex_destroyed_error();
  if (!self->has_fingerprint) {
    if (prefixindex_fingerprint(self, &self->fingerprint) < 0) return NULL;
    self->has_fingerprint = 1;
  }
  return Py_BuildValue("(sK)", "pytarn.PrefixIndex", (unsigned long long)self->fingerprint);
}

/* len(index): the number of networks the table was built from; positions
 * run over range(len(index)).  Answers after a release too. */
static Py_ssize_t prefixindex_len(PyObject *self) {
  return (Py_ssize_t)((PrefixIndexObject *)self)->prefix_count;
}

/* prefixes(): the distinct networks held, IPv4 first, each family in
 * network order, with the position a lookup reports for each. */
static PyObject *prefixindex_prefixes(PyObject *self_obj, PyObject *unused) {
  (void)unused;
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  if (self->released) return prefixindex_destroyed_error();
  PyObject *result = PyList_New(0);
  for (int f = 0; f < 2 && result != NULL; f++) {
    const PrefixIndexPart *part = &self->parts[f];
    if (part->index == NULL) continue;
    size_t n;
    tarn_prefix_t *prefixes;
    ssize_t *positions;
    PyObject *pairs = NULL;
    if (tarn_set_python_error(prefixindex_part_records(part, &prefixes, &positions, &n), NULL) == 0)
      pairs = prefixindex_pairs(part, prefixes, positions, n);
    free(prefixes);
    free(positions);
    if (pairs == NULL) {
      Py_CLEAR(result);
      break;
    }
    /* result += pairs */
    PyObject *joined = PySequence_InPlaceConcat(result, pairs);
    Py_DECREF(pairs);
    Py_DECREF(result);
    result = joined;
  }
  return result;
}

/* exact(network): the position of the equal network, or -1. */
static PyObject *prefixindex_exact(PyObject *self_obj, PyObject *arg) {
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  if (self->released) return prefixindex_destroyed_error();
  tarn_prefix_t query;
  if (prefixindex_query_prefix(arg, &query) < 0) return NULL;
  if (self->released) return prefixindex_destroyed_error();
  const PrefixIndexPart *part = prefixindex_part_of(self, &query);
  if (part->index == NULL) return PyLong_FromLong(-1);
  ssize_t pos;
  if (tarn_set_python_error(tarn_index_exact(part->index, &query, 1, &pos), NULL) < 0) return NULL;
  return PyLong_FromSsize_t(prefixindex_table_position(part, pos));
}

/* covering(x): [(network, position), ...] of every held network containing
 * x, longest first; the first is what lookup answers for a host route. */
static PyObject *prefixindex_covering(PyObject *self_obj, PyObject *arg) {
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  if (self->released) return prefixindex_destroyed_error();
  tarn_prefix_t query;
  if (prefixindex_query_prefix(arg, &query) < 0) return NULL;
  if (self->released) return prefixindex_destroyed_error();
  const PrefixIndexPart *part = prefixindex_part_of(self, &query);
  if (part->index == NULL) return PyList_New(0);
  tarn_prefix_t prefixes[129]; /* at most bits + 1 networks contain a prefix */
  ssize_t positions[129];
  size_t n;
  tarn_err_t rc = tarn_index_covering(part->index, &query, prefixes, positions, 129, &n);
  if (tarn_set_python_error(rc, NULL) < 0) return NULL;
  return prefixindex_pairs(part, prefixes, positions, n);
}

/* covered(network): [(network, position), ...] of every held network inside
 * it, in network order.  Sized by a first call, answered by a second, the
 * lock released around both for large tables. */
static PyObject *prefixindex_covered(PyObject *self_obj, PyObject *arg) {
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  if (self->released) return prefixindex_destroyed_error();
  tarn_prefix_t query;
  if (prefixindex_query_prefix(arg, &query) < 0) return NULL;
  if (self->released) return prefixindex_destroyed_error();
  const PrefixIndexPart *part = prefixindex_part_of(self, &query);
  if (part->index == NULL) return PyList_New(0);
  size_t n = 0;
  tarn_err_t rc = tarn_index_covered(part->index, &query, NULL, NULL, 0, &n);
  if (rc == TARN_ERR_INVAL && n > 0) rc = TARN_OK; /* the size query */
  if (tarn_set_python_error(rc, NULL) < 0) return NULL;
  tarn_prefix_t *prefixes = malloc((n ? n : 1) * sizeof *prefixes);
  ssize_t *positions = malloc((n ? n : 1) * sizeof *positions);
  PyObject *result = NULL;
  if (prefixes == NULL || positions == NULL) {
    PyErr_NoMemory();
  } else {
    size_t got = 0;
    prefixindex_enter_reader(self);
    BINDING_UNLOCKED(n, rc = tarn_index_covered(part->index, &query, prefixes, positions, n, &got));
    prefixindex_leave_reader(self);
    if (tarn_set_python_error(rc, NULL) == 0)
      result = prefixindex_pairs(part, prefixes, positions, got);
  }
  free(prefixes);
  free(positions);
  return result;
}

/* The batched form of a scalar query: [query(x) for x in values]. */
static PyObject *prefixindex_map(PyObject *self, PyObject *values,
                                 PyObject *(*query)(PyObject *, PyObject *)) {
  PyObject *seq = PySequence_Tuple(values);
  if (seq == NULL) return NULL;
  Py_ssize_t n = PyTuple_Size(seq);
  PyObject *result = PyList_New(n);
  for (Py_ssize_t i = 0; i < n && result != NULL; i++) {
    PyObject *v = query(self, PyTuple_GetItem(seq, i));
    if (v == NULL || PyList_SetItem(result, i, v) < 0) Py_CLEAR(result);
  }
  Py_DECREF(seq);
  return result;
}

static PyObject *prefixindex_exact_many(PyObject *self, PyObject *values) {
  return prefixindex_map(self, values, prefixindex_exact);
}

/* covering_many(values): [covering(v) for v in values], the queries of
 * each family answered by the core a group at a time, so that their
 * lookups and link reads overlap instead of waiting one after the other. */
enum { COVERING_GROUP = 256 };

static PyObject *prefixindex_covering_many(PyObject *self_obj, PyObject *values) {
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  if (self->released) return prefixindex_destroyed_error();
  PyObject *seq = PySequence_Tuple(values);
  if (seq == NULL) return NULL;
  const Py_ssize_t count = PyTuple_Size(seq);
  PyObject *result = PyList_New(count);
  /* Every query as a record first, then per group those of one family and
   * that family's entries (at most 129 a query); a short call sizes the
   * group's arrays to its own count. */
  const size_t group = count < COVERING_GROUP ? (count > 0 ? (size_t)count : 1) : COVERING_GROUP;
  tarn_prefix_t *queries = malloc((count > 0 ? (size_t)count : 1) * sizeof *queries);
  tarn_prefix_t *family_queries = malloc(group * sizeof *family_queries);
  Py_ssize_t *item = malloc(group * sizeof *item);
  size_t *counts = malloc(group * sizeof *counts);
  tarn_prefix_t *prefixes = malloc(group * 129 * sizeof *prefixes);
  ssize_t *positions = malloc(group * 129 * sizeof *positions);
  if (result != NULL && (queries == NULL || family_queries == NULL || item == NULL ||
                         counts == NULL || prefixes == NULL || positions == NULL)) {
    PyErr_NoMemory();
    Py_CLEAR(result);
  }
  for (Py_ssize_t k = 0; k < count && result != NULL; k++)
    if (prefixindex_query_prefix(PyTuple_GetItem(seq, k), &queries[k]) < 0) Py_CLEAR(result);
  /* A conversion may have run the caller's code. */
  if (result != NULL && self->released) {
    prefixindex_destroyed_error();
    Py_CLEAR(result);
  }
  /* From here on no code of the caller's runs, and the call only builds
   * lists of untracked pairs, which form no cycles: the collections its
   * own allocations would set off (full ones among them, as the lists
   * survive) would find nothing to free, and cost more than the queries.
   * The collector is held off until the result is built. */
  const int collecting = result != NULL ? PyGC_Disable() : 0;
  for (Py_ssize_t base = 0; result != NULL && base < count; base += COVERING_GROUP) {
    const Py_ssize_t m = count - base < COVERING_GROUP ? count - base : COVERING_GROUP;
    for (int f = 0; f < 2 && result != NULL; f++) {
      const PrefixIndexPart *part = &self->parts[f];
      size_t n = 0;
      for (Py_ssize_t k = base; k < base + m; k++) {
        if (binding_family_slot(queries[k].addr.family) != f) continue;
        family_queries[n] = queries[k];
        item[n++] = k;
      }
      if (n == 0) continue;
      size_t total = 0;
      if (part->index != NULL) {
        tarn_err_t rc = tarn_index_covering_many(part->index, family_queries, n, prefixes,
                                                 positions, n * 129, counts, &total);
        if (tarn_set_python_error(rc, NULL) < 0) {
          Py_CLEAR(result);
          break;
        }
      } else {
        memset(counts, 0, n * sizeof *counts);
      }
      size_t at = 0;
      for (size_t j = 0; j < n && result != NULL; j++) {
        PyObject *pairs = prefixindex_pairs(part, prefixes + at, positions + at, counts[j]);
        at += counts[j];
        if (pairs == NULL || PyList_SetItem(result, item[j], pairs) < 0) Py_CLEAR(result);
      }
    }
  }
  /* Before the queries go: their last references may run the caller's
   * code. */
  if (collecting) PyGC_Enable();
  free(queries);
  free(family_queries);
  free(item);
  free(counts);
  free(prefixes);
  free(positions);
  Py_DECREF(seq);
  return result;
}

static PyObject *prefixindex_covered_many(PyObject *self, PyObject *values) {
  return prefixindex_map(self, values, prefixindex_covered);
}

/*
 * get(address, default=-1): the table position of the longest network
 * containing `address` (an address object or its text), or `default`; also
 * `default` for a family the table holds nothing of.  One core walk, with
 * the lock held: a single lookup costs less than releasing it.
 */
static PyObject *prefixindex_get(PyObject *self_obj, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames) {
  PrefixIndexObject *self = (PrefixIndexObject *)self_obj;
  PyObject *default_obj = NULL;
  Py_ssize_t nkw = kwnames == NULL ? 0 : PyTuple_Size(kwnames);
  if (nargs < 1 || nargs + nkw > 2) {
    PyErr_SetString(PyExc_TypeError, "get() takes an address and an optional default");
    return NULL;
  }
  if (nkw == 1) {
    PyObject *name = PyTuple_GetItem(kwnames, 0);
    int is_default = name == NULL ? -1 : PyUnicode_CompareWithASCIIString(name, "default");
    if (is_default != 0) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "get() got an unexpected keyword argument '%U'", name);
      return NULL;
    }
    default_obj = args[1];
  } else if (nargs == 2) {
    default_obj = args[1];
  }
  if (self->released) return prefixindex_destroyed_error();

  tarn_addr_t addr;
  PyObject *value = args[0];
  if (binding_is_ipv4address(value) || binding_is_ipv6address(value)) {
    addr = ((AddressObject *)value)->addr;
  } else if (PyUnicode_Check(value)) {
    Py_ssize_t len;
    const char *text = binding_text_utf8(value, &len);
    if (text == NULL) return NULL;
    memset(&addr, 0, sizeof addr);
    if (tarn_set_python_error(tarn_addr_parse(text, &addr), text) < 0) return NULL;
  } else {
    PyErr_SetString(PyExc_TypeError, "get() requires an address object or address text");
    return NULL;
  }

  const PrefixIndexPart *part = &self->parts[binding_family_slot(addr.family)];
  tarn_ssize_t core = -1;
  if (part->index != NULL &&
      tarn_set_python_error(tarn_index_get(part->index, &addr, &core), NULL) < 0)
    return NULL;
  if (core < 0) return default_obj != NULL ? Py_NewRef(default_obj) : PyLong_FromLong(-1);
  return PyLong_FromSsize_t(prefixindex_table_position(part, core));
}

/* __enter__(): the object itself; works in both states. */
static PyObject *prefixindex_enter(PyObject *self, PyObject *unused) {
  (void)unused;
  Py_INCREF(self);
  return self;
}

/* __exit__(exc_type, exc, tb): releases the index (at once, or when the
 * last running lookup leaves); never suppresses. */
static PyObject *prefixindex_exit(PyObject *self, PyObject *args) {
  PyObject *exc_type, *exc, *tb;
  if (!PyArg_ParseTuple(args, "OOO", &exc_type, &exc, &tb)) return NULL;
  prefixindex_release((PrefixIndexObject *)self);
  Py_INCREF(Py_False);
  return Py_False;
}

static PyMethodDef prefixindex_methods[] = {
    {"lookup", prefixindex_lookup, METH_VARARGS,
     PyDoc_STR("lookup($self, addrs, /)\n--\n\nlookup(addrs) -> list[int]\n\nReturn the "
               "longest-prefix-match index for each "
               "address, or -1 if no prefix matched.")},
    {"lookup_array", prefixindex_lookup_array, METH_O,
     PyDoc_STR("lookup_array($self, values, /)\n--\n\nlookup_array(values, /) -> "
               "ResultBuffer\n\nLongest-prefix match over a column: "
               "an AddressArray, or anything AddressArray() accepts (Arrow, polars and pandas "
               "string columns, numpy text arrays, lists of text or address objects). Returns "
               "the position of the longest matching network for each item, or -1, as an int64 "
               "ResultBuffer that numpy and Arrow wrap without a copy. Items may mix IPv4 and "
               "IPv6; null items stay null (-1 in the buffer).")},
    {"lookup_packed", (PyCFunction)(void (*)(void))prefixindex_lookup_packed,
     METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("lookup_packed(buffer, family) -> ResultBuffer\n\nLongest-prefix match over "
               "network-order packed addresses of one family, read in place: bytes, or a "
               "buffer of 4- or 16-byte items ('4s', '16s'), or for IPv4 big-endian 32-bit "
               "integers ('>I'), as AddressArray.from_packed takes them. Returns the "
               "position of the longest matching network for each address, or -1, as an "
               "int64 ResultBuffer. No record per address is made, so a packed column costs "
               "less than through lookup_array.")},
    {"from_strings", prefixindex_from_strings, METH_O | METH_CLASS,
     PyDoc_STR("from_strings($cls, texts, /)\n--\n\nThe index of a table given as network "
               "text, with no network object per item: a list or other iterable of str, or an "
               "Arrow string column (pyarrow, polars, pandas with the Arrow dtype). Each item "
               "is \"address/length\" under the network constructors' strict rules (host "
               "bits refused; for IPv4 the length may be a dotted netmask or hostmask), or a "
               "bare address for its host route. Positions are the items' positions, as "
               "PrefixIndex() of the same networks reports them.")},
    {"get", (PyCFunction)(void (*)(void))prefixindex_get, METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get($self, address, /, default=-1)\n--\n\nThe position of the longest held "
               "network containing `address` (an address object or its text), or `default` "
               "when none does or the table holds no network of the address's family.")},
    {"prefixes", prefixindex_prefixes, METH_NOARGS,
     PyDoc_STR("prefixes($self, /)\n--\n\nThe distinct networks the index holds as (network, "
               "position) pairs, IPv4 first, each family in network order; equal networks of the "
               "table appear once, under the position lookup reports for them.")},
    {"exact", prefixindex_exact, METH_O,
     PyDoc_STR("exact($self, network, /)\n--\n\nThe position of the network equal to "
               "`network`, or -1. An address is queried as its host route; text and tuples are "
               "read as ip_network() reads them.")},
    {"exact_many", prefixindex_exact_many, METH_O,
     PyDoc_STR("exact_many($self, networks, /)\n--\n\n[exact(n) for n in networks].")},
    {"covering", prefixindex_covering, METH_O,
     PyDoc_STR("covering($self, value, /)\n--\n\nEvery held network that contains `value` "
               "(an address or a network, itself included), longest first, as (network, "
               "position) pairs. For an address the first pair is its longest match.")},
    {"covering_many", prefixindex_covering_many, METH_O,
     PyDoc_STR("covering_many($self, values, /)\n--\n\n[covering(v) for v in values].")},
    {"covered", prefixindex_covered, METH_O,
     PyDoc_STR("covered($self, network, /)\n--\n\nEvery held network inside `network` "
               "(itself included), in network order, as (network, position) pairs.")},
    {"covered_many", prefixindex_covered_many, METH_O,
     PyDoc_STR("covered_many($self, networks, /)\n--\n\n[covered(n) for n in networks].")},
    {"__enter__", prefixindex_enter, METH_NOARGS,
     PyDoc_STR("__enter__() -> self\n\nReturn self so PrefixIndex may be used as a context "
               "manager.")},
    {"__exit__", prefixindex_exit, METH_VARARGS,
     PyDoc_STR("__exit__(exc_type, exc, tb) -> bool\n\nRelease the underlying index and return "
               "False so exceptions are not suppressed.")},
    {"__dask_tokenize__", prefixindex_dask_tokenize, METH_NOARGS,
     PyDoc_STR("__dask_tokenize__($self, /)\n--\n\nA token of what the index answers, for "
               "Dask to name the tasks that take it without pickling it.")},
    PREFIXINDEX_BLOB_METHODS,
    {NULL, NULL, 0, NULL},
};

static PyType_Slot prefixindex_slots[] = {
    {Py_tp_new, prefixindex_new},
    {Py_tp_dealloc, prefixindex_dealloc},
    {Py_tp_repr, prefixindex_repr},
    {Py_sq_length, prefixindex_len},
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
