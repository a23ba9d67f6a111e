/*
 * arrow.c - the Arrow C data and stream interfaces, met through the PyCapsule
 * protocol (__arrow_c_array__, __arrow_c_stream__): importing a column of
 * address texts or packed addresses, and exporting address texts and result
 * buffers.
 *
 * Ownership.  A capsule's struct is moved out (copied, and the capsule's copy
 * marked released by setting its release to NULL), so the capsule destructor
 * of the producer frees only the struct, and from then on exactly one party
 * releases the data: ours.  Every struct we export lives in malloc'ed memory
 * owned by its capsule, whose destructor calls release when the consumer did
 * not move the struct out; the release callbacks set release to NULL, so a
 * struct is released exactly once.
 *
 * Imported data are untrusted.  Before anyone reads an item, every chunk is
 * checked against its layout: the buffer count, the lengths and offsets,
 * offsets that never decrease and stay non-negative, views whose data lie
 * inside the variadic buffer they name.  After the checks, reading item i of
 * a chunk touches only memory the producer vouched for.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pytarn_ext.h"

/* Longest canonical texts: "255.255.255.255" and eight full groups of four
 * hex digits with seven colons; an IPv4-mapped address ("::ffff:" and a
 * dotted quad, 22 bytes) is shorter. */
#define ARROW_V4_TEXT_MAX 15u
#define ARROW_V6_TEXT_MAX 39u

/* Inline string bytes of a 16-byte view: the view's length field is 4. */
#define ARROW_VIEW_INLINE 12

static const char arrow_expected[] =
    "expected utf8, large_utf8 or utf8_view text, fixed_size_binary(4) or (16) packed "
    "addresses, or null";

/* ---- import: formats and checks ----------------------------------------- */

/* The formats read and the buffer count of each (for utf8_view, the least:
 * validity, views and the variadic sizes, with no data buffer). */
static const struct {
  const char *format;
  binding_arrow_layout layout;
  int64_t n_buffers;
} arrow_formats[] = {
    {"u", ARROW_COL_UTF8, 3},     {"U", ARROW_COL_LARGE_UTF8, 3}, {"vu", ARROW_COL_UTF8_VIEW, 3},
    {"w:4", ARROW_COL_FIXED4, 2}, {"w:16", ARROW_COL_FIXED16, 2}, {"n", ARROW_COL_NULL, 0},
};

#define ARROW_FORMAT_COUNT (sizeof arrow_formats / sizeof arrow_formats[0])

/* The layout of a schema, or -1 with InvalidArgumentError naming its format. */
static int arrow_schema_layout(const struct ArrowSchema *schema, binding_arrow_layout *layout) {
  if (schema->format == NULL) {
    PyErr_SetString(pytarn_InvalidArgumentError, "malformed Arrow schema: no format string");
    return -1;
  }
  if (schema->dictionary != NULL) {
    const char *values = schema->dictionary->format != NULL ? schema->dictionary->format : "?";
    PyErr_Format(pytarn_InvalidArgumentError,
                 "unsupported Arrow type '%.40s' (dictionary-encoded, values '%.40s'): %s; "
                 "decode the dictionary first",
                 schema->format, values, arrow_expected);
    return -1;
  }
  for (size_t k = 0; k < ARROW_FORMAT_COUNT; k++) {
    if (strcmp(schema->format, arrow_formats[k].format) == 0 && schema->n_children == 0) {
      *layout = arrow_formats[k].layout;
      return 0;
    }
  }
  PyErr_Format(pytarn_InvalidArgumentError, "unsupported Arrow type '%.40s': %s", schema->format,
               arrow_expected);
  return -1;
}

static int64_t arrow_min_buffers(binding_arrow_layout layout) {
  for (size_t k = 0; k < ARROW_FORMAT_COUNT; k++)
    if (arrow_formats[k].layout == layout) return arrow_formats[k].n_buffers;
  return 0;
}

/* Set bits of `bits` in [start, start + count). */
static int64_t arrow_count_set(const uint8_t *bits, int64_t start, int64_t count) {
  int64_t set = 0, i = start, end = start + count;
  for (; i < end && (i & 7) != 0; i++) set += (bits[i >> 3] >> (i & 7)) & 1;
  for (; end - i >= 64; i += 64) {
    uint64_t w;
    memcpy(&w, bits + (i >> 3), sizeof w);
    set += __builtin_popcountll(w);
  }
  for (; end - i >= 8; i += 8) set += __builtin_popcount(bits[i >> 3]);
  for (; i < end; i++) set += (bits[i >> 3] >> (i & 7)) & 1;
  return set;
}

static int arrow_bit(const uint8_t *bits, int64_t j) { return (bits[j >> 3] >> (j & 7)) & 1; }

/* Offsets [offset, offset + length] of a utf8 (int32) or large_utf8 (int64)
 * chunk: non-negative and never decreasing.  The data buffer may be null only
 * when the chunk's strings are all empty. */
#define ARROW_CHECK_OFFSETS(type, a, msg, len)                                                  \
  do {                                                                                          \
    const type *off = (const type *)(a)->buffers[1];                                            \
    if (off == NULL) {                                                                          \
      snprintf(msg, len, "offsets buffer is null");                                             \
      return -1;                                                                                \
    }                                                                                           \
    type prev = off[(a)->offset];                                                               \
    if (prev < 0) {                                                                             \
      snprintf(msg, len, "negative first offset %lld", (long long)prev);                        \
      return -1;                                                                                \
    }                                                                                           \
    for (int64_t i = 1; i <= (a)->length; i++) {                                                \
      type cur = off[(a)->offset + i];                                                          \
      if (cur < prev) {                                                                         \
        snprintf(msg, len, "offsets decrease at item %lld (%lld after %lld)", (long long)i - 1, \
                 (long long)cur, (long long)prev);                                              \
        return -1;                                                                              \
      }                                                                                         \
      prev = cur;                                                                               \
    }                                                                                           \
    if (prev > off[(a)->offset] && (a)->buffers[2] == NULL) {                                   \
      snprintf(msg, len, "data buffer is null");                                                \
      return -1;                                                                                \
    }                                                                                           \
  } while (0)

/* The 16-byte views of the present items of a utf8_view chunk: lengths
 * non-negative and, beyond the inline twelve bytes, a buffer index that
 * exists and a range inside that buffer's recorded size. */
static int arrow_check_views(const struct ArrowArray *a, const uint8_t *validity, char *msg,
                             size_t len) {
  const unsigned char *views = a->buffers[1];
  int64_t n_data = a->n_buffers - 3;
  const int64_t *sizes = a->buffers[a->n_buffers - 1];
  if (views == NULL) {
    snprintf(msg, len, "views buffer is null");
    return -1;
  }
  if (n_data > 0 && sizes == NULL) {
    snprintf(msg, len, "variadic sizes buffer is null");
    return -1;
  }
  for (int64_t i = 0; i < a->length; i++) {
    int64_t j = a->offset + i;
    if (validity != NULL && !arrow_bit(validity, j)) continue;
    const unsigned char *v = views + (size_t)j * 16u;
    int32_t n, idx, start;
    memcpy(&n, v, 4);
    if (n < 0) {
      snprintf(msg, len, "negative string length at item %lld", (long long)i);
      return -1;
    }
    if (n <= ARROW_VIEW_INLINE) continue;
    memcpy(&idx, v + 8, 4);
    memcpy(&start, v + 12, 4);
    if (idx < 0 || idx >= n_data) {
      snprintf(msg, len, "view of item %lld names data buffer %d of %lld", (long long)i, idx,
               (long long)n_data);
      return -1;
    }
    if (start < 0 || (int64_t)start + n > sizes[idx] || a->buffers[2 + idx] == NULL) {
      snprintf(msg, len, "view of item %lld lies outside data buffer %d", (long long)i, idx);
      return -1;
    }
  }
  return 0;
}

/*
 * Check `a` against `layout` and describe it in *c (which takes the struct
 * over only on success).  0, or -1 with the fault written to msg.  Reads
 * only the Arrow memory, so it runs with the lock released.
 */
static int arrow_check_chunk(binding_arrow_layout layout, const struct ArrowArray *a,
                             binding_arrow_chunk *c, char *msg, size_t len) {
  if (a->length < 0 || a->offset < 0 || a->null_count < -1) {
    snprintf(msg, len, "negative length, offset or null count (%lld, %lld, %lld)",
             (long long)a->length, (long long)a->offset, (long long)a->null_count);
    return -1;
  }
  /* Item offset + length (one past the last) must itself be representable. */
  if (a->length > INT64_MAX / 16 - a->offset) {
    snprintf(msg, len, "length %lld at offset %lld is too large", (long long)a->length,
             (long long)a->offset);
    return -1;
  }
  if (a->null_count > a->length) {
    snprintf(msg, len, "null count %lld exceeds the length %lld", (long long)a->null_count,
             (long long)a->length);
    return -1;
  }
  int64_t want = arrow_min_buffers(layout);
  int ok_count = layout == ARROW_COL_UTF8_VIEW ? a->n_buffers >= want
                 : layout == ARROW_COL_NULL    ? a->n_buffers <= 1
                                               : a->n_buffers == want;
  if (!ok_count) {
    snprintf(msg, len, "%lld buffers for a layout of %s%lld", (long long)a->n_buffers,
             layout == ARROW_COL_UTF8_VIEW ? "at least " : "", (long long)want);
    return -1;
  }
  if (a->n_buffers > 0 && a->buffers == NULL) {
    snprintf(msg, len, "buffers array is null");
    return -1;
  }
  if (a->n_children != 0 || a->dictionary != NULL) {
    snprintf(msg, len, "children or a dictionary on a flat array");
    return -1;
  }

  c->length = a->length;
  c->offset = a->offset;
  c->validity = NULL;
  c->null_count = 0;
  if (layout == ARROW_COL_NULL) {
    c->null_count = a->length;
    return 0;
  }
  /* The bitmap decides, whatever null_count claims; a bitmap without a
   * null is dropped so that validity == NULL means "no nulls". */
  const uint8_t *validity = a->buffers[0];
  if (validity == NULL && a->null_count > 0) {
    snprintf(msg, len, "null count %lld without a validity bitmap", (long long)a->null_count);
    return -1;
  }
  if (validity != NULL && a->length > 0) {
    c->null_count = a->length - arrow_count_set(validity, a->offset, a->length);
    if (c->null_count > 0) c->validity = validity;
  }
  if (a->length == 0) return 0;

  switch (layout) {
    case ARROW_COL_UTF8:
      ARROW_CHECK_OFFSETS(int32_t, a, msg, len);
      return 0;
    case ARROW_COL_LARGE_UTF8:
      ARROW_CHECK_OFFSETS(int64_t, a, msg, len);
      return 0;
    case ARROW_COL_UTF8_VIEW:
      return arrow_check_views(a, c->validity, msg, len);
    case ARROW_COL_FIXED4:
    case ARROW_COL_FIXED16:
      if (a->buffers[1] == NULL) {
        snprintf(msg, len, "data buffer is null");
        return -1;
      }
      return 0;
    case ARROW_COL_NULL:
      return 0;
  }
  return 0;
}

/* ---- import: capsules, streams, columns --------------------------------- */

/*
 * Release a producer's struct (if not released yet) with any pending
 * exception held aside: the callback may run Python code, which must not
 * start with an exception set, and the exception is what the caller raises.
 */
#define ARROW_RELEASE(s)                           \
  do {                                             \
    if ((s)->release != NULL) {                    \
      PyObject *exc_type, *exc_value, *exc_tb;     \
      PyErr_Fetch(&exc_type, &exc_value, &exc_tb); \
      (s)->release(s);                             \
      PyErr_Restore(exc_type, exc_value, exc_tb);  \
    }                                              \
  } while (0)

/*
 * Move the struct out of capsule `cap` named `name` into `out` (`size`
 * bytes; its release at offset `release_at` is set to NULL in the
 * capsule's copy).  `what` names the method for messages.  0, or -1 with
 * TypeError (not such a capsule) or InvalidArgumentError (already released).
 */
static int arrow_take_capsule(PyObject *cap, const char *name, void *out, size_t size,
                              size_t release_at, const char *what) {
  if (!PyCapsule_IsValid(cap, name)) {
    if (PyCapsule_CheckExact(cap)) {
      const char *got = PyCapsule_GetName(cap);
      PyErr_Format(PyExc_TypeError, "%s gave a PyCapsule named '%.100s', not '%s'", what,
                   got != NULL ? got : "(none)", name);
    } else {
      PyObject *type_name = PyType_GetName(Py_TYPE(cap));
      if (type_name == NULL) return -1;
      PyErr_Format(PyExc_TypeError, "%s gave %S, not a PyCapsule named '%s'", what, type_name,
                   name);
      Py_DECREF(type_name);
    }
    return -1;
  }
  char *src = PyCapsule_GetPointer(cap, name);
  if (src == NULL) return -1;
  void *release;
  memcpy(&release, src + release_at, sizeof release);
  if (release == NULL) {
    PyErr_Format(pytarn_InvalidArgumentError, "%s gave a released '%s'", what, name);
    return -1;
  }
  memcpy(out, src, size);
  memset(src + release_at, 0, sizeof release);
  return 0;
}

/* A column with no chunk yet. */
static int arrow_column_init(binding_arrow_column *col, binding_arrow_layout layout) {
  col->layout = layout;
  col->chunk_count = 0;
  col->total_length = 0;
  col->chunks = malloc(4 * sizeof *col->chunks);
  if (col->chunks == NULL) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

/*
 * Check `array` and append it to `col`, which takes it over (and releases it
 * on failure too; empty chunks are released at once).  `capacity` is the
 * room in col->chunks.  0, or -1 with an exception.
 */
static int arrow_column_append(binding_arrow_column *col, size_t *capacity,
                               struct ArrowArray *array) {
  binding_arrow_chunk c;
  char msg[160];
  int rc;
  BINDING_UNLOCKED(array->length, rc = arrow_check_chunk(col->layout, array, &c, msg, sizeof msg));
  if (rc < 0) {
    PyErr_Format(pytarn_InvalidArgumentError, "malformed Arrow array: %s", msg);
    goto fail;
  }
  if (c.length > PY_SSIZE_T_MAX - col->total_length) {
    PyErr_SetString(pytarn_InvalidArgumentError, "Arrow column too long");
    goto fail;
  }
  if (c.length == 0) {
    ARROW_RELEASE(array);
    return 0;
  }
  if (col->chunk_count == *capacity) {
    binding_arrow_chunk *grown = realloc(col->chunks, 2 * *capacity * sizeof *grown);
    if (grown == NULL) {
      PyErr_NoMemory();
      goto fail;
    }
    col->chunks = grown;
    *capacity *= 2;
  }
  c.array = *array;
  col->chunks[col->chunk_count++] = c;
  col->total_length += c.length;
  return 0;

fail:
  ARROW_RELEASE(array);
  return -1;
}

void binding_arrow_column_release(binding_arrow_column *col) {
  for (size_t k = 0; k < col->chunk_count; k++) {
    struct ArrowArray *a = &col->chunks[k].array;
    ARROW_RELEASE(a);
  }
  free(col->chunks);
  col->chunks = NULL;
  col->chunk_count = 0;
  col->total_length = 0;
}

/* The message of a failed stream call: its code and last error text. */
static void arrow_stream_error(struct ArrowArrayStream *stream, const char *call, int code) {
  const char *text = stream->get_last_error != NULL ? stream->get_last_error(stream) : NULL;
  PyErr_Format(pytarn_InvalidArgumentError, "Arrow stream %s failed (error %d): %.200s", call, code,
               text != NULL ? text : "no message");
}

/* Drain the stream in `cap` into `col`.  0, or -1 with an exception and
 * nothing held. */
static int arrow_import_stream(PyObject *cap, binding_arrow_column *col) {
  struct ArrowArrayStream stream;
  struct ArrowSchema schema;
  struct ArrowArray array;
  binding_arrow_layout layout;
  size_t capacity = 4;
  int rc;

  if (arrow_take_capsule(cap, "arrow_array_stream", &stream, sizeof stream,
                         offsetof(struct ArrowArrayStream, release), "__arrow_c_stream__()") < 0)
    return -1;
  col->chunks = NULL;
  col->chunk_count = 0;

  if (stream.get_schema == NULL || stream.get_next == NULL) {
    PyErr_SetString(pytarn_InvalidArgumentError, "malformed Arrow stream: no get_schema/get_next");
    goto fail;
  }
  memset(&schema, 0, sizeof schema);
  rc = stream.get_schema(&stream, &schema);
  if (rc != 0) {
    arrow_stream_error(&stream, "get_schema", rc);
    ARROW_RELEASE(&schema);
    goto fail;
  }
  if (schema.release == NULL) {
    PyErr_SetString(pytarn_InvalidArgumentError,
                    "malformed Arrow stream: get_schema gave a released schema");
    goto fail;
  }
  rc = arrow_schema_layout(&schema, &layout);
  ARROW_RELEASE(&schema);
  if (rc < 0 || arrow_column_init(col, layout) < 0) goto fail;

  for (;;) {
    memset(&array, 0, sizeof array);
    rc = stream.get_next(&stream, &array);
    if (rc != 0) {
      arrow_stream_error(&stream, "get_next", rc);
      ARROW_RELEASE(&array);
      goto fail;
    }
    if (array.release == NULL) break; /* the end of the stream */
    if (arrow_column_append(col, &capacity, &array) < 0) goto fail;
  }
  ARROW_RELEASE(&stream);
  return 0;

fail:
  if (col->chunks != NULL) binding_arrow_column_release(col);
  ARROW_RELEASE(&stream);
  return -1;
}

/* Import the (schema, array) pair in `pair` into `col`.  0, or -1 with an
 * exception and nothing held. */
static int arrow_import_pair(PyObject *pair, binding_arrow_column *col) {
  static const char what[] = "__arrow_c_array__()";
  struct ArrowSchema schema;
  struct ArrowArray array;
  binding_arrow_layout layout;
  size_t capacity = 4;

  if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
    PyErr_Format(PyExc_TypeError, "%s gave %.100s, not a pair of PyCapsules", what,
                 Py_TYPE(pair) == &PyTuple_Type ? "a tuple of another length" : "an object");
    return -1;
  }
  if (arrow_take_capsule(PyTuple_GetItem(pair, 0), "arrow_schema", &schema, sizeof schema,
                         offsetof(struct ArrowSchema, release), what) < 0)
    return -1;
  if (arrow_take_capsule(PyTuple_GetItem(pair, 1), "arrow_array", &array, sizeof array,
                         offsetof(struct ArrowArray, release), what) < 0) {
    ARROW_RELEASE(&schema);
    return -1;
  }
  int rc = arrow_schema_layout(&schema, &layout);
  ARROW_RELEASE(&schema);
  if (rc < 0 || arrow_column_init(col, layout) < 0) {
    ARROW_RELEASE(&array);
    return -1;
  }
  if (arrow_column_append(col, &capacity, &array) < 0) {
    binding_arrow_column_release(col);
    return -1;
  }
  return 0;
}

/* obj.<name>() when obj has the attribute: 1 with a new reference in *out, 0
 * when it has none (nothing set), -1 with an exception. */
static int arrow_call_optional(PyObject *obj, const char *name, PyObject **out) {
  PyObject *method = PyObject_GetAttrString(obj, name);
  if (method == NULL) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  *out = PyObject_CallNoArgs(method);
  Py_DECREF(method);
  return *out != NULL ? 1 : -1;
}

int binding_arrow_import(PyObject *obj, binding_arrow_column *col) {
  PyObject *result = NULL;
  int found = arrow_call_optional(obj, "__arrow_c_stream__", &result);
  if (found == 1) {
    int rc = arrow_import_stream(result, col);
    Py_DECREF(result);
    return rc < 0 ? -1 : 1;
  }
  if (found < 0) return -1;
  found = arrow_call_optional(obj, "__arrow_c_array__", &result);
  if (found == 1) {
    int rc = arrow_import_pair(result, col);
    Py_DECREF(result);
    return rc < 0 ? -1 : 1;
  }
  return found;
}

const char *binding_arrow_string(const binding_arrow_column *col, const binding_arrow_chunk *c,
                                 int64_t i, size_t *len) {
  const void *const *b = c->array.buffers;
  int64_t j = c->offset + i;
  const char *data;
  switch (col->layout) {
    case ARROW_COL_UTF8: {
      int32_t start, end;
      memcpy(&start, (const char *)b[1] + (size_t)j * 4u, 4);
      memcpy(&end, (const char *)b[1] + (size_t)j * 4u + 4u, 4);
      *len = (size_t)(end - start);
      data = b[2];
      /* A null data buffer was let through only when every string is empty. */
      return data != NULL ? data + start : "";
    }
    case ARROW_COL_LARGE_UTF8: {
      int64_t start, end;
      memcpy(&start, (const char *)b[1] + (size_t)j * 8u, 8);
      memcpy(&end, (const char *)b[1] + (size_t)j * 8u + 8u, 8);
      *len = (size_t)(end - start);
      data = b[2];
      return data != NULL ? data + start : "";
    }
    case ARROW_COL_UTF8_VIEW: {
      const char *v = (const char *)b[1] + (size_t)j * 16u;
      int32_t n, idx, start;
      memcpy(&n, v, 4);
      *len = (size_t)n;
      if (n <= ARROW_VIEW_INLINE) return v + 4;
      memcpy(&idx, v + 8, 4);
      memcpy(&start, v + 12, 4);
      return (const char *)b[2 + idx] + start;
    }
    case ARROW_COL_FIXED4:
    case ARROW_COL_FIXED16:
    case ARROW_COL_NULL:
      break;
  }
  *len = 0;
  return "";
}

/* ---- export: schemas, arrays, capsules ---------------------------------- */

/* Our schemas point at string literals and own nothing. */
static void arrow_schema_release(struct ArrowSchema *schema) { schema->release = NULL; }

static void arrow_schema_init(struct ArrowSchema *schema, const char *format) {
  memset(schema, 0, sizeof *schema);
  schema->format = format;
  schema->name = "";
  schema->flags = ARROW_FLAG_NULLABLE;
  schema->release = arrow_schema_release;
}

/* A text export owns its three buffers. */
typedef struct {
  void *buffers[3];
} arrow_text_private;

static void arrow_text_release(struct ArrowArray *array) {
  arrow_text_private *p = array->private_data;
  for (int k = 0; k < 3; k++) free(p->buffers[k]);
  free(p);
  array->release = NULL;
}

/* A result export shares the ResultBuffer's memory, holding a reference to
 * it, and owns only the bitmap it packs booleans into. */
typedef struct {
  PyObject *owner;
  uint8_t *bits;
  const void *buffers[2];
} arrow_result_private;

/* Runs on whatever thread the consumer drops the array on, with or without
 * the interpreter's lock; the lock is taken only to drop the reference. */
static void arrow_result_release(struct ArrowArray *array) {
  arrow_result_private *p = array->private_data;
  free(p->bits);
  PyGILState_STATE gil = PyGILState_Ensure();
  Py_DECREF(p->owner);
  PyGILState_Release(gil);
  free(p);
  array->release = NULL;
}

/* Capsule destructors: release a struct the consumer did not move out, then
 * free it.  The capsule's own name is used, so no error can arise here. */
static void arrow_schema_capsule_free(PyObject *cap) {
  struct ArrowSchema *s = PyCapsule_GetPointer(cap, PyCapsule_GetName(cap));
  if (s == NULL) return;
  if (s->release != NULL) s->release(s);
  free(s);
}

static void arrow_array_capsule_free(PyObject *cap) {
  struct ArrowArray *a = PyCapsule_GetPointer(cap, PyCapsule_GetName(cap));
  if (a == NULL) return;
  if (a->release != NULL) a->release(a);
  free(a);
}

static void arrow_stream_capsule_free(PyObject *cap) {
  struct ArrowArrayStream *s = PyCapsule_GetPointer(cap, PyCapsule_GetName(cap));
  if (s == NULL) return;
  if (s->release != NULL) s->release(s);
  free(s);
}

/*
 * The pair of capsules around `schema` and `array`, which are moved into
 * them (and released on failure).  A new tuple, or NULL with an exception.
 */
static PyObject *arrow_pair_new(struct ArrowSchema *schema, struct ArrowArray *array) {
  PyObject *schema_cap = NULL, *array_cap = NULL, *pair = NULL;
  struct ArrowSchema *s = malloc(sizeof *s);
  struct ArrowArray *a = malloc(sizeof *a);
  if (s == NULL || a == NULL) {
    free(s);
    free(a);
    schema->release(schema);
    array->release(array);
    return PyErr_NoMemory();
  }
  *s = *schema;
  *a = *array;
  schema_cap = PyCapsule_New(s, "arrow_schema", arrow_schema_capsule_free);
  if (schema_cap == NULL) {
    s->release(s);
    free(s);
  }
  array_cap = PyCapsule_New(a, "arrow_array", arrow_array_capsule_free);
  if (array_cap == NULL) {
    a->release(a);
    free(a);
  }
  if (schema_cap != NULL && array_cap != NULL) pair = PyTuple_Pack(2, schema_cap, array_cap);
  Py_XDECREF(schema_cap);
  Py_XDECREF(array_cap);
  return pair;
}

/* ---- export: address text ------------------------------------------------ */

/*
 * Format every present item of `arr` into `data` (of `cap` bytes) and fill
 * the offsets (int32 when `wide` is 0, else int64), through the core's
 * column printer a block of items at a time.  Each text is printed with
 * TARN_ADDR_STRLEN bytes of room even though it is shorter; `cap` covers
 * the longest text of every item plus that slack.  int64 offsets are
 * narrowed to int32 at the end (*narrowed set) when the text turned out
 * short enough.  Runs with the lock released.  The bytes used, or -1 when
 * the room ran out (counts that disagree with the records).
 */
static int64_t arrow_format_texts(const AddressArrayObject *arr, char *data, size_t cap,
                                  void *offsets, int wide, int *narrowed) {
  enum { BLOCK = 1024 };
  int32_t *off32 = offsets;
  int64_t *off64 = offsets;
  int64_t ends[BLOCK];
  size_t pos = 0;
  if (wide)
    off64[0] = 0;
  else
    off32[0] = 0;
  for (Py_ssize_t i = 0; i < arr->count; i += BLOCK) {
    size_t n = (size_t)(arr->count - i) < BLOCK ? (size_t)(arr->count - i) : BLOCK;
    if (tarn_addr_format_texts(&arr->addrs[i], n, data + pos, cap - pos, ends) != TARN_OK)
      return -1;
    if (wide) {
      for (size_t k = 0; k < n; k++) off64[i + 1 + (Py_ssize_t)k] = (int64_t)pos + ends[k];
    } else {
      for (size_t k = 0; k < n; k++)
        off32[i + 1 + (Py_ssize_t)k] = (int32_t)(pos + (size_t)ends[k]);
    }
    pos += (size_t)ends[n - 1];
  }
  if (wide && pos <= (size_t)INT32_MAX) {
    /* Narrow in place: entry k moves from byte 8k down to 4k, where only
     * entries already read lay, so no entry is overwritten before it is
     * read.  Byte copies, so that the two views of the block cannot be
     * reordered against each other as unrelated types. */
    char *bytes = offsets;
    for (Py_ssize_t k = 0; k <= arr->count; k++) {
      int64_t wide_off;
      memcpy(&wide_off, bytes + 8 * k, sizeof wide_off);
      int32_t narrow_off = (int32_t)wide_off;
      memcpy(bytes + 4 * k, &narrow_off, sizeof narrow_off);
    }
    *narrowed = 1;
  }
  return (int64_t)pos;
}

PyObject *binding_arrow_export_text(AddressArrayObject *arr) {
  size_t count = (size_t)arr->count;
  uint64_t bound = (uint64_t)arr->v4_count * ARROW_V4_TEXT_MAX +
                   (uint64_t)arr->v6_count * ARROW_V6_TEXT_MAX + TARN_ADDR_STRLEN;
  /* int32 offsets whenever the longest possible text fits them; otherwise
   * int64 while formatting, narrowed afterwards if the real text fits. */
  int wide = bound - TARN_ADDR_STRLEN > (uint64_t)INT32_MAX;
  size_t offset_size = wide ? 8u : 4u;
  arrow_text_private *p = calloc(1, sizeof *p);
  if (p == NULL) return PyErr_NoMemory();
  if (bound <= SIZE_MAX && count < SIZE_MAX / 8u - 1u) {
    p->buffers[1] = binding_calloc_large((count + 1) * offset_size);
    p->buffers[2] = binding_calloc_large((size_t)bound);
  }
  size_t bitmap_bytes = (count + 7) / 8;
  if (arr->null_count > 0) {
    p->buffers[0] = malloc(bitmap_bytes);
    if (p->buffers[0] != NULL) memcpy(p->buffers[0], arr->validity, bitmap_bytes);
  }
  if (p->buffers[1] == NULL || p->buffers[2] == NULL ||
      (arr->null_count > 0 && p->buffers[0] == NULL)) {
    for (int k = 0; k < 3; k++) free(p->buffers[k]);
    free(p);
    return PyErr_NoMemory();
  }

  int narrowed = 0;
  int64_t used;
  BINDING_UNLOCKED(count, used = arrow_format_texts(arr, p->buffers[2], (size_t)bound,
                                                    p->buffers[1], wide, &narrowed));
  if (narrowed) wide = 0;
  if (used < 0) {
    for (int k = 0; k < 3; k++) free(p->buffers[k]);
    free(p);
    PyErr_SetString(PyExc_SystemError, "address array counts disagree with its records");
    return NULL;
  }
  /* Give back the slack; a failed shrink keeps the larger block. */
  void *shrunk = realloc(p->buffers[2], used > 0 ? (size_t)used : 1u);
  if (shrunk != NULL) p->buffers[2] = shrunk;
  if (narrowed) {
    shrunk = realloc(p->buffers[1], (count + 1) * 4u);
    if (shrunk != NULL) p->buffers[1] = shrunk;
  }

  struct ArrowSchema schema;
  arrow_schema_init(&schema, wide ? "U" : "u");
  struct ArrowArray array;
  memset(&array, 0, sizeof array);
  array.length = (int64_t)count;
  array.null_count = (int64_t)arr->null_count;
  array.n_buffers = 3;
  array.buffers = (const void **)p->buffers;
  array.release = arrow_text_release;
  array.private_data = p;
  return arrow_pair_new(&schema, &array);
}

/* ---- export: result buffers ----------------------------------------------- */

/* Arrow booleans are bits, least significant first, like validity; `bits`
 * is zero-filled. */
static void arrow_pack_bools(uint8_t *bits, const char *bools, size_t n) {
  for (size_t i = 0; i < n; i++) bits[i >> 3] |= (uint8_t)((bools[i] != 0) << (i & 7));
}

PyObject *binding_arrow_export_result(ResultBufferObject *buf) {
  static const char *const formats[] = {
      [RESULT_INT64] = "l", [RESULT_UINT32] = "I",    [RESULT_UINT8] = "C",
      [RESULT_BOOL] = "b",  [RESULT_PACKED4] = "w:4", [RESULT_PACKED16] = "w:16",
  };
  arrow_result_private *p = calloc(1, sizeof *p);
  if (p == NULL) return PyErr_NoMemory();
  size_t n = (size_t)buf->length;
  p->buffers[0] = buf->null_count > 0 ? buf->validity : NULL;
  p->buffers[1] = buf->data;
  if (buf->kind == RESULT_BOOL) {
    p->bits = calloc(n / 8 + 1, 1);
    if (p->bits == NULL) {
      free(p);
      return PyErr_NoMemory();
    }
    BINDING_UNLOCKED(n, arrow_pack_bools(p->bits, buf->data, n));
    p->buffers[1] = p->bits;
  }
  p->owner = Py_NewRef((PyObject *)buf);

  struct ArrowSchema schema;
  arrow_schema_init(&schema, formats[buf->kind]);
  struct ArrowArray array;
  memset(&array, 0, sizeof array);
  array.length = (int64_t)n;
  array.null_count = (int64_t)buf->null_count;
  array.n_buffers = 2;
  array.buffers = p->buffers;
  array.release = arrow_result_release;
  array.private_data = p;
  return arrow_pair_new(&schema, &array);
}

/* ---- export: a stream of one array ---------------------------------------- */

/* The stream's schema (one of ours: literals only, so copies need no
 * ownership) and its array until get_next hands it out. */
typedef struct {
  struct ArrowSchema schema;
  struct ArrowArray array;
} arrow_stream_private;

static int arrow_stream_get_schema(struct ArrowArrayStream *stream, struct ArrowSchema *out) {
  arrow_stream_private *p = stream->private_data;
  *out = p->schema;
  return 0;
}

/* The array once, then the end of the stream (a released array). */
static int arrow_stream_get_next(struct ArrowArrayStream *stream, struct ArrowArray *out) {
  arrow_stream_private *p = stream->private_data;
  if (p->array.release == NULL) {
    memset(out, 0, sizeof *out);
    return 0;
  }
  *out = p->array;
  p->array.release = NULL;
  return 0;
}

static const char *arrow_stream_get_last_error(struct ArrowArrayStream *stream) {
  (void)stream;
  return NULL;
}

static void arrow_stream_release(struct ArrowArrayStream *stream) {
  arrow_stream_private *p = stream->private_data;
  if (p->array.release != NULL) p->array.release(&p->array);
  p->schema.release(&p->schema);
  free(p);
  stream->release = NULL;
}

PyObject *binding_arrow_stream_of(PyObject *schema_array_pair) {
  static const char what[] = "binding_arrow_stream_of";
  arrow_stream_private *p = malloc(sizeof *p);
  if (p == NULL) return PyErr_NoMemory();
  if (!PyTuple_Check(schema_array_pair) || PyTuple_Size(schema_array_pair) != 2) {
    free(p);
    PyErr_SetString(PyExc_TypeError, "an Arrow stream needs a (schema, array) pair");
    return NULL;
  }
  if (arrow_take_capsule(PyTuple_GetItem(schema_array_pair, 0), "arrow_schema", &p->schema,
                         sizeof p->schema, offsetof(struct ArrowSchema, release), what) < 0) {
    free(p);
    return NULL;
  }
  if (p->schema.release != arrow_schema_release) {
    /* get_schema hands out shallow copies, right only for our schemas. */
    p->schema.release(&p->schema);
    free(p);
    PyErr_SetString(PyExc_TypeError, "an Arrow stream of a schema this module did not make");
    return NULL;
  }
  if (arrow_take_capsule(PyTuple_GetItem(schema_array_pair, 1), "arrow_array", &p->array,
                         sizeof p->array, offsetof(struct ArrowArray, release), what) < 0) {
    p->schema.release(&p->schema);
    free(p);
    return NULL;
  }
  struct ArrowArrayStream *stream = malloc(sizeof *stream);
  if (stream == NULL) {
    p->array.release(&p->array);
    free(p);
    return PyErr_NoMemory();
  }
  stream->get_schema = arrow_stream_get_schema;
  stream->get_next = arrow_stream_get_next;
  stream->get_last_error = arrow_stream_get_last_error;
  stream->release = arrow_stream_release;
  stream->private_data = p;
  PyObject *cap = PyCapsule_New(stream, "arrow_array_stream", arrow_stream_capsule_free);
  if (cap == NULL) {
    stream->release(stream);
    free(stream);
  }
  return cap;
}
