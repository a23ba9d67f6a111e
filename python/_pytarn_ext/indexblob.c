/*
 * indexblob.c - a built PrefixIndex as bytes: to_bytes/from_bytes, and the
 * pickling and copying that go through them.
 *
 * A PrefixIndex holds one core index per family it has networks of, and for
 * a table of both families the table position of every record of each core
 * index.  Its blob wraps the core's own blobs (tarn_index_serialize) with
 * those position maps.  Layout, version 2, every integer little-endian:
 *
 *   offset  size  field
 *        0     8  magic "PYTARNPI"
 *        8     4  version (2; 1 is read too, below)
 *       12     4  family: 4 or 6 (one-family table), 0 (both)
 *       16     8  prefix_count: the table's length, at least 1
 *       24     8  IPv4 part: core blob length (0: no IPv4 networks)
 *       32     8  IPv4 part: position map entries (0: positions are the core's)
 *       40     8  IPv6 part: core blob length
 *       48     8  IPv6 part: position map entries
 *       56        the IPv4 core blob, then the IPv6 core blob, then for a
 *                 table of both families the family of every table
 *                 position, one bit each (set: IPv6), least significant bit
 *                 first, ceil(prefix_count / 8) bytes, the bits past the
 *                 table zero, and its check (u64, indexblob_bitmap_check).
 *
 * A constructor splits a table by family in table order, so each map is the
 * increasing list of its family's positions, and one bit per position says
 * all of it: an eighth of a byte where the maps took 16 bytes, a fifth of a
 * mixed routing table's blob.  Version 1 stored the maps themselves, as u64
 * entries after each part's core blob; it is still read, and written for
 * the one index a bitmap cannot describe, one loaded from a version 1 blob
 * whose maps were not in table order.
 *
 * The shapes the constructor makes are the only ones accepted: a table of
 * family 4 (6) has an IPv4 (IPv6) core blob of prefix_count records and no
 * map; a table of family 0 has both core blobs, each with a map of as many
 * entries as its records, and together the two maps hold every position
 * below prefix_count exactly once (in version 2, the set bits number the
 * IPv6 records).  Damage to a version 1 map almost always breaks the
 * permutation; a bitmap with two bits exchanged would still count right
 * and report wrong positions, so it carries a check of its own.  The core
 * blobs carry their own checksum and are loaded by the core's validating
 * loader, so no bytes make an object whose lookups read out of bounds.
 *
 * The pickled state is the version byte of pickle.c followed by the blob;
 * copies of an own-type index are the index itself (it never changes), and
 * a subclass instance is rebuilt from its state as pickle.c rebuilds any.
 *
 * Threads: a blob is read with the interpreter's lock released when large.
 * The caller's buffer stays exported (so it can be neither resized nor
 * freed) and every byte of it is read once into private memory before it is
 * checked, so another thread writing into it meanwhile gets a refusal or a
 * sound index.  to_bytes keeps the lock: the index may otherwise be
 * released under it.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pytarn_ext.h"

#define INDEXBLOB_VERSION 2
#define INDEXBLOB_MAPS_VERSION 1 /* the last version that stored the maps */
#define INDEXBLOB_HEADER 56
static const char indexblob_magic[8] = {'P', 'Y', 'T', 'A', 'R', 'N', 'P', 'I'};

static void indexblob_put_u32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

static uint32_t indexblob_get_u32(const uint8_t *p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

/* ---- writing ------------------------------------------------------------- */

/* The family bitmap's length for a table of `count` networks: a bit each.
 * Written without count + 7, which a hostile header could make wrap. */
static size_t indexblob_bitmap_bytes(uint64_t count) {
  return (size_t)(count / 8 + (count % 8 != 0));
}

/* The family bitmap's check: every byte through a multiply-xorshift mix,
 * eight at a time, so that any change of the bits changes it (but for a
 * 64-bit collision). */
static uint64_t indexblob_bitmap_check(const uint8_t *bits, size_t n) {
  uint64_t h = 0x7461726E6D617073ull ^ n;
  for (size_t at = 0; at < n; at += 8) {
    uint64_t w = 0;
    for (size_t b = 0; b < 8 && at + b < n; b++) w |= (uint64_t)bits[at + b] << (8 * b);
    h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return h;
}

/* Whether both maps list their positions in table order, as every
 * constructor makes them, so that a family bitmap describes them. */
static int indexblob_maps_ordered(const PrefixIndexObject *self) {
  for (int f = 0; f < 2; f++) {
    const PrefixIndexPart *part = &self->parts[f];
    size_t distinct, n = 0;
    tarn_index_count(part->index, &distinct, &n);
    for (size_t k = 1; k < n; k++)
      if (part->positions[k] <= part->positions[k - 1]) return 0;
  }
  return 1;
}

/*
 * The blob of `self` as a new bytes object, after `lead` bytes that hold
 * `lead_byte` (the state version byte for pickling) when lead is 1.  NULL
 * with an exception: the destroyed-index error, MemoryError, OverflowError.
 */
static PyObject *indexblob_write(PrefixIndexObject *self, size_t lead, uint8_t lead_byte) {
  if (self->released) {
    PyErr_SetString(pytarn_InvalidArgumentError, "index has been destroyed");
    return NULL;
  }
  const int mixed = self->parts[0].positions != NULL;
  const uint32_t version =
      mixed && !indexblob_maps_ordered(self) ? INDEXBLOB_MAPS_VERSION : INDEXBLOB_VERSION;
  size_t core_len[2] = {0, 0}, map_len[2] = {0, 0};
  size_t total = lead + INDEXBLOB_HEADER;
  for (int f = 0; f < 2; f++) {
    const PrefixIndexPart *part = &self->parts[f];
    if (part->index == NULL) continue;
    /* The size query: TARN_ERR_INVAL with the length needed. */
    tarn_index_serialize(part->index, NULL, 0, &core_len[f]);
    if (part->positions != NULL) {
      size_t distinct;
      tarn_index_count(part->index, &distinct, &map_len[f]);
    }
    size_t map_bytes = version == INDEXBLOB_MAPS_VERSION ? map_len[f] : 0;
    if (map_bytes > (SIZE_MAX - total - core_len[f]) / 8) return PyErr_NoMemory();
    total += core_len[f] + 8 * map_bytes;
  }
  if (mixed && version == INDEXBLOB_VERSION)
    total += indexblob_bitmap_bytes(self->prefix_count) + 8;
  if (total > (size_t)PY_SSIZE_T_MAX) {
    PyErr_SetString(PyExc_OverflowError, "the index is too large for one bytes object");
    return NULL;
  }
  PyObject *out = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)total);
  if (out == NULL) return NULL;
  uint8_t *p = (uint8_t *)PyBytes_AsString(out);
  if (lead == 1) *p++ = lead_byte;
  memcpy(p, indexblob_magic, sizeof indexblob_magic);
  indexblob_put_u32(p + 8, version);
  indexblob_put_u32(p + 12, self->family);
  binding_state_store_u64(p + 16, self->prefix_count);
  for (int f = 0; f < 2; f++) {
    binding_state_store_u64(p + 24 + 16 * f, core_len[f]);
    binding_state_store_u64(p + 32 + 16 * f, map_len[f]);
  }
  p += INDEXBLOB_HEADER;
  for (int f = 0; f < 2; f++) {
    const PrefixIndexPart *part = &self->parts[f];
    if (part->index == NULL) continue;
    size_t written = 0;
    tarn_err_t rc = tarn_index_serialize(part->index, p, core_len[f], &written);
    if (tarn_set_python_error(rc, NULL) < 0) {
      Py_DECREF(out);
      return NULL;
    }
    p += core_len[f];
    if (version == INDEXBLOB_MAPS_VERSION)
      for (size_t k = 0; k < map_len[f]; k++, p += 8)
        binding_state_store_u64(p, part->positions[k]);
  }
  if (mixed && version == INDEXBLOB_VERSION) {
    /* The IPv6 positions' bits; every other bit, the padding included, 0. */
    const size_t bytes = indexblob_bitmap_bytes(self->prefix_count);
    memset(p, 0, bytes);
    const uint32_t *v6 = self->parts[1].positions;
    for (size_t k = 0; k < map_len[1]; k++) p[v6[k] / 8] |= (uint8_t)(1u << (v6[k] % 8));
    binding_state_store_u64(p + bytes, indexblob_bitmap_check(p, bytes));
  }
  return out;
}

/* ---- reading ------------------------------------------------------------- */

/* What a blob loads to, before it becomes an object. */
typedef struct {
  PrefixIndexPart parts[2];
  tarn_family_t family;
  size_t prefix_count;
} indexblob_loaded;

static void indexblob_loaded_free(indexblob_loaded *l) {
  for (int f = 0; f < 2; f++) {
    tarn_index_destroy(l->parts[f].index);
    free(l->parts[f].positions);
    l->parts[f].index = NULL;
    l->parts[f].positions = NULL;
  }
}

/* The family of a loaded core index: its lookups refuse the other family. */
static tarn_family_t indexblob_core_family(const tarn_index_t *index) {
  tarn_addr_t probe;
  memset(&probe, 0, sizeof probe);
  probe.family = TARN_AF_INET;
  ssize_t match;
  return tarn_index_lookup(index, &probe, 1, &match, NULL) == TARN_OK ? TARN_AF_INET
                                                                      : TARN_AF_INET6;
}

/* Reads the position maps: each entry once into the part's array, then
 * checked to be below prefix_count and never repeated (`seen` is a zeroed
 * bitmap of prefix_count bits).  NULL, or the reason for refusing (with
 * *nomem set when it is memory). */
static const char *indexblob_read_maps(const uint8_t *const src[2], const size_t map_len[2],
                                       indexblob_loaded *l, uint8_t *seen, int *nomem) {
  for (int f = 0; f < 2; f++) {
    if (map_len[f] == 0) continue;
    uint32_t *map = malloc(map_len[f] * sizeof *map);
    if (map == NULL) {
      *nomem = 1;
      return "out of memory";
    }
    l->parts[f].positions = map;
    for (size_t k = 0; k < map_len[f]; k++) {
      uint64_t v = binding_state_load_u64(src[f] + 8 * k);
      if (v >= l->prefix_count) return "a table position is out of range";
      map[k] = (uint32_t)v; /* prefix_count is at most PREFIXINDEX_MAX_MIXED */
      if (seen[v / 8] & (1u << (v % 8))) return "a table position appears twice";
      seen[v / 8] |= (uint8_t)(1u << (v % 8));
    }
  }
  return NULL;
}

/* The maps from a checked private copy of the bitmap. */
static const char *indexblob_bitmap_maps(const uint8_t *bits, const size_t map_len[2],
                                         indexblob_loaded *l, int *nomem) {
  uint32_t *map[2];
  for (int f = 0; f < 2; f++) {
    map[f] = malloc((map_len[f] ? map_len[f] : 1) * sizeof *map[f]);
    l->parts[f].positions = map[f];
    if (map[f] == NULL) {
      *nomem = 1;
      return "out of memory";
    }
  }
  const size_t count = l->prefix_count;
  size_t k[2] = {0, 0};
  for (size_t at = 0; at < count; at += 8) {
    const unsigned byte = bits[at / 8];
    const size_t here = count - at < 8 ? count - at : 8;
    if (byte >> here != 0) return "the family bitmap has bits past the table";
    for (size_t b = 0; b < here; b++) {
      const int f = (byte >> b) & 1;
      /* Bounded before the write: a bitmap with too many bits of a family
       * is refused at the first one too many. */
      if (k[f] == map_len[f]) return "the family bitmap does not match the parts";
      map[f][k[f]++] = (uint32_t)(at + b); /* count is at most PREFIXINDEX_MAX_MIXED */
    }
  }
  return NULL; /* k[0] + k[1] == count == map_len[0] + map_len[1]: both full */
}

/* Version 2: the maps from the family bitmap at `src` (ceil(prefix_count
 * / 8) bytes and its check), copied first so that each byte is read once;
 * the check must hold, its set bits number map_len[1] and its padding bits
 * be zero.  NULL, or the reason for refusing. */
static const char *indexblob_read_bitmap(const uint8_t *src, const size_t map_len[2],
                                         indexblob_loaded *l, int *nomem) {
  const size_t bytes = indexblob_bitmap_bytes(l->prefix_count);
  uint8_t *bits = malloc(bytes);
  if (bits == NULL) {
    *nomem = 1;
    return "out of memory";
  }
  memcpy(bits, src, bytes);
  const char *why = indexblob_bitmap_check(bits, bytes) == binding_state_load_u64(src + bytes)
                        ? indexblob_bitmap_maps(bits, map_len, l, nomem)
                        : "the family bitmap's check does not match";
  free(bits);
  return why;
}

/*
 * Loads blob[0..len) into *l (zeroed by the caller), touching no Python
 * object, so that it may run without the lock:
 *   1. header: magic, version, family, a table length of at least 1, and
 *      the four part lengths adding up to exactly len;
 *   2. the parts the family calls for, and no others;
 *   3. each core blob through tarn_index_load, of the part's family;
 *   4. the record counts against the table length and the maps, then the
 *      maps themselves (version 1) or the family bitmap (version 2).
 * Returns NULL on success, or the reason for refusing (InvalidArgumentError)
 * with *nomem set when the reason is memory.  On failure *l holds whatever
 * was loaded, for indexblob_loaded_free.
 */
static const char *indexblob_read(const uint8_t *blob, size_t len, indexblob_loaded *l,
                                  int *nomem) {
  *nomem = 0;
  if (len < INDEXBLOB_HEADER) return "the data is shorter than the header";
  if (memcmp(blob, indexblob_magic, sizeof indexblob_magic) != 0)
    return "the data is not a PrefixIndex blob (wrong magic)";
  const uint32_t version = indexblob_get_u32(blob + 8);
  if (version != INDEXBLOB_VERSION && version != INDEXBLOB_MAPS_VERSION)
    return "the blob's version is not one this release reads";
  const int with_maps = version == INDEXBLOB_MAPS_VERSION;
  const uint32_t family = indexblob_get_u32(blob + 12);
  const uint64_t count = binding_state_load_u64(blob + 16);
  if (family != TARN_AF_UNSPEC && family != TARN_AF_INET && family != TARN_AF_INET6)
    return "the family is not 0, 4 or 6";
  if (count == 0 || count > (uint64_t)PY_SSIZE_T_MAX) return "the table length is out of range";
  uint64_t core_len[2], map_len[2];
  size_t rest = len - INDEXBLOB_HEADER;
  for (int f = 0; f < 2; f++) {
    core_len[f] = binding_state_load_u64(blob + 24 + 16 * f);
    map_len[f] = binding_state_load_u64(blob + 32 + 16 * f);
    /* Subtracted one by one, so no sum can wrap. */
    if (core_len[f] > rest) return "a part is longer than the data";
    rest -= (size_t)core_len[f];
    if (with_maps) {
      if (map_len[f] > rest / 8) return "a position map is longer than the data";
      rest -= (size_t)map_len[f] * 8;
    }
  }
  /* Version 2: the family bitmap of a mixed table takes what is left. */
  const size_t bitmap_bytes = indexblob_bitmap_bytes(count);
  const size_t bitmap_len = !with_maps && family == TARN_AF_UNSPEC ? bitmap_bytes + 8 : 0;
  if (rest != bitmap_len)
    return rest < bitmap_len ? "the family bitmap is shorter than the table"
                             : "the data is longer than its parts";
  /* 2. The shapes the constructor makes. */
  for (int f = 0; f < 2; f++) {
    const tarn_family_t own = f == 0 ? TARN_AF_INET : TARN_AF_INET6;
    const int present = family == TARN_AF_UNSPEC || family == own;
    if ((core_len[f] != 0) != present) return "the parts do not match the family";
    if ((map_len[f] != 0) != (family == TARN_AF_UNSPEC))
      return "the position maps do not match the family";
  }
  if (family == TARN_AF_UNSPEC && count > PREFIXINDEX_MAX_MIXED)
    return "a table of both families is too large";
  l->family = family;
  l->prefix_count = (size_t)count;
  /* 3. The core indexes. */
  const uint8_t *p = blob + INDEXBLOB_HEADER;
  const uint8_t *map_at[2] = {NULL, NULL};
  size_t records[2] = {0, 0};
  for (int f = 0; f < 2; f++) {
    if (core_len[f] > 0) {
      tarn_err_t rc = tarn_index_load(p, (size_t)core_len[f], &l->parts[f].index);
      if (rc == TARN_ERR_NOMEM) {
        *nomem = 1;
        return "out of memory";
      }
      if (rc != TARN_OK)
        return f == 0 ? "the IPv4 index is malformed" : "the IPv6 index is malformed";
      if (indexblob_core_family(l->parts[f].index) != (f == 0 ? TARN_AF_INET : TARN_AF_INET6))
        return "a part holds the other family";
      size_t distinct;
      tarn_index_count(l->parts[f].index, &distinct, &records[f]);
    }
    p += core_len[f];
    map_at[f] = p;
    if (with_maps) p += map_len[f] * 8;
  }
  /* 4. Counts, then the maps. */
  if (family != TARN_AF_UNSPEC)
    return records[binding_family_slot(family)] == count ? NULL
                                                         : "the index's length is not the table's";
  if (records[0] != map_len[0] || records[1] != map_len[1])
    return "a position map's length is not its index's";
  if (map_len[0] + map_len[1] != count) return "the position maps do not cover the table";
  const size_t lens[2] = {(size_t)map_len[0], (size_t)map_len[1]};
  if (!with_maps) return indexblob_read_bitmap(p, lens, l, nomem);
  uint8_t *seen = calloc((size_t)count / 8 + 1, 1);
  if (seen == NULL) {
    *nomem = 1;
    return "out of memory";
  }
  const char *why = indexblob_read_maps(map_at, lens, l, seen, nomem);
  free(seen);
  return why;
}

/*
 * An instance of `cls` from blob[0..len), read with the lock released when
 * large; `owner` keeps the bytes alive meanwhile.  Errors are
 * InvalidArgumentError "cannot <verb> PrefixIndex: <reason>" or MemoryError.
 */
static PyObject *indexblob_build(PyObject *cls, const uint8_t *blob, size_t len, PyObject *owner,
                                 const char *verb) {
  indexblob_loaded l;
  memset(&l, 0, sizeof l);
  const char *why = NULL;
  int nomem = 0;
  Py_INCREF(owner);
  /* About one index record per 16 bytes decides whether to let the lock go. */
  BINDING_UNLOCKED(len / 16, why = indexblob_read(blob, len, &l, &nomem));
  Py_DECREF(owner);
  PrefixIndexObject *self = NULL;
  if (nomem) {
    PyErr_NoMemory();
  } else if (why != NULL) {
    PyErr_Format(pytarn_InvalidArgumentError, "cannot %s PrefixIndex: %s", verb, why);
  } else {
    self = (PrefixIndexObject *)binding_state_alloc(cls);
  }
  if (self == NULL) {
    indexblob_loaded_free(&l);
    return NULL;
  }
  self->parts[0] = l.parts[0];
  self->parts[1] = l.parts[1];
  self->family = l.family;
  self->prefix_count = l.prefix_count;
  return (PyObject *)self;
}

/* ---- methods ------------------------------------------------------------- */

PyObject *prefixindex_to_bytes(PyObject *self, PyObject *unused) {
  (void)unused;
  return indexblob_write((PrefixIndexObject *)self, 0, 0);
}

PyObject *prefixindex_from_bytes(PyObject *cls, PyObject *data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return NULL;
  PyObject *result = indexblob_build(cls, view.buf, (size_t)view.len, data, "load");
  PyBuffer_Release(&view);
  return result;
}

static PyObject *prefixindex_state(PyObject *self);

PyObject *prefixindex_reduce(PyObject *self, PyObject *unused) {
  (void)unused;
  return binding_reduce(self, prefixindex_state(self));
}

static PyObject *prefixindex_state(PyObject *self) {
  return indexblob_write((PrefixIndexObject *)self, 1, (uint8_t)BINDING_STATE_VERSION);
}

PyObject *prefixindex_reduce_ex(PyObject *self, PyObject *protocol) {
  return binding_reduce_ex_buffer(self, protocol, prefixindex_reduce, prefixindex_state);
}

/* The state as bytes, or as the buffer an unpickler was handed out of
 * band (bytes, bytearray, memoryview, a Dask frame). */
PyObject *prefixindex_from_state(PyObject *cls, PyObject *state) {
  Py_buffer view;
  Py_ssize_t len;
  const uint8_t *payload = binding_state_view(state, "PrefixIndex", &view, &len);
  if (payload == NULL) return NULL;
  PyObject *result = indexblob_build(cls, payload, (size_t)len, state, "restore");
  PyBuffer_Release(&view);
  return result;
}
