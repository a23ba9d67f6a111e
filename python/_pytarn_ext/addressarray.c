/*
 * addressarray.c - pytarn.AddressArray: an immutable column of IPv4 and
 * IPv6 addresses (families free to mix) with optional nulls, built from
 * Arrow string or fixed-size binary columns, numpy text arrays, packed
 * bytes, integers or any iterable of addresses, and read back as
 * ResultBuffers, lists or an Arrow text column.
 *
 * Every constructor has one shape:
 *   1. hold what the source needs held while it is read without the lock
 *      (an Arrow import, a buffer view, a tuple copy of an iterable), and
 *      allocate the object with all its records at once, zero-filled, so a
 *      parsed IPv4 record is canonical (zero beyond its 4 bytes) as it
 *      stands;
 *   2. fill the records in index order, with the interpreter's lock
 *      released wherever the source is plain memory, counting families as
 *      it goes and allocating the validity bitmap at the first null only;
 *   3. with the lock held, raise for the first bad item or hand the object
 *      over.
 * Under errors="raise" a bad item ends the fill there: items are visited in
 * index order, so the first one met is the lowest index.  Every path out
 * drops the half-built object, whose dealloc frees whatever it holds.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pytarn_ext.h"

/* The longest text an address can have: six groups of four hex digits and a
 * dotted quad, "0000:0000:0000:0000:0000:ffff:255.255.255.255".  Longer
 * text is refused before it is copied. */
#define TEXT_MAX (TARN_ADDR_STRLEN - 1)
_Static_assert(TEXT_MAX == 45, "the reason text below names the limit");

/* The copy of one text: its NUL, one whole 16-byte store, and the room
 * tarn_addr_parse_padded reads from, which saves it a copy of its own. */
#define TEXT_BUF TARN_ADDR_PARSE_PADDING
_Static_assert(TEXT_BUF >= 48, "a text, its NUL and a 16-byte store");

/* Items shown by repr before it elides the rest. */
#define REPR_ITEMS 10

/* Why an item's text is no address; TEXT_OK for one that parsed. */
typedef enum {
  TEXT_OK = 0,
  TEXT_SYNTAX,    /* not an address under the core's strict grammar */
  TEXT_TOO_LONG,  /* longer than TEXT_MAX: never copied, never parsed */
  TEXT_NUL,       /* a NUL inside would end the C parse early, on a prefix */
  TEXT_SURROGATE, /* a str with lone surrogates has no UTF-8 form */
} text_verdict;

/* The .reason of the ParseError for each verdict. */
static const char *const text_reasons[] = {
    [TEXT_OK] = "",
    [TEXT_SYNTAX] = "not an IPv4 or IPv6 address",
    [TEXT_TOO_LONG] = "longer than 45 bytes, the longest address text",
    [TEXT_NUL] = "contains a NUL character",
    [TEXT_SURROGATE] = "surrogates not allowed",
};

static const char mixed_families[] = "mixed IPv4 and IPv6 addresses";
static const char bad_family[] = "family must be AF_INET or AF_INET6";

static AddressArrayObject *self_array(PyObject *self) { return (AddressArrayObject *)self; }

static int host_is_little_endian(void) {
  const uint16_t one = 1;
  uint8_t first;
  memcpy(&first, &one, 1);
  return first == 1;
}

/* ---- allocation ------------------------------------------------------------ */

/* `count` zero-filled records, at least one, or NULL (binding_calloc_large:
 * 10 million records are 200 MB, and faulting them in 4 KiB at a time costs
 * a third as much as parsing them). */
static tarn_addr_t *records_alloc(Py_ssize_t count) {
  return binding_calloc_large((count == 0 ? 1 : (size_t)count) * sizeof(tarn_addr_t));
}

/*
 * A new array of `type` with `count` zero-filled records, no validity and
 * zero counts; NULL with an exception.  A Python subclass is made by its
 * own allocator, as in address.c.
 */
static AddressArrayObject *array_alloc(PyTypeObject *type, Py_ssize_t count) {
  if (count < 0 || (size_t)count > SIZE_MAX / sizeof(tarn_addr_t)) {
    PyErr_NoMemory();
    return NULL;
  }
  allocfunc alloc = type == addressarray_type ? PyType_GenericAlloc
                                              : (allocfunc)PyType_GetSlot(type, Py_tp_alloc);
  AddressArrayObject *arr = (AddressArrayObject *)alloc(type, 0);
  if (arr == NULL) return NULL;
  arr->addrs = records_alloc(count);
  if (arr->addrs == NULL) {
    Py_DECREF(arr);
    PyErr_NoMemory();
    return NULL;
  }
  arr->count = count;
  return arr;
}

/* Frees the records and the bitmap, then the object. */
static void addressarray_dealloc(PyObject *self) {
  AddressArrayObject *arr = self_array(self);
  free(arr->addrs);
  free(arr->validity);
  binding_dealloc(self);
}

/* ---- filling: the state shared by every source ------------------------------ */

/*
 * One fill of a new array's records.  Holds no Python object, so every
 * function on it may run with the lock released.
 */
typedef struct {
  AddressArrayObject *arr;
  int null_bad;         /* errors="null": bad items become nulls */
  Py_ssize_t bad_index; /* the first bad item under errors="raise", or -1 */
  text_verdict verdict; /* why it is bad */
  const char *bad_text; /* its bytes for the message, when the source has them */
  size_t bad_len;
  int no_memory; /* the validity bitmap could not be allocated */
} fill_state;

static void fill_init(fill_state *f, AddressArrayObject *arr, int null_bad) {
  f->arr = arr;
  f->null_bad = null_bad;
  f->bad_index = -1;
  f->verdict = TEXT_OK;
  f->bad_text = NULL;
  f->bad_len = 0;
  f->no_memory = 0;
}

/* Slot i becomes null (its record is all zero already).  The bitmap is made
 * at the first null, all present, so arrays without nulls never have one.
 * 0, or -1 when it cannot be allocated (the fill stops). */
static int fill_null(fill_state *f, Py_ssize_t i) {
  AddressArrayObject *arr = f->arr;
  if (arr->validity == NULL) {
    size_t bytes = ((size_t)arr->count + 7) / 8;
    arr->validity = malloc(bytes);
    if (arr->validity == NULL) {
      f->no_memory = 1;
      return -1;
    }
    memset(arr->validity, 0xff, bytes);
  }
  arr->validity[i >> 3] &= (uint8_t) ~(1u << (i & 7));
  arr->null_count++;
  return 0;
}

/* Item i is bad for `verdict`: a null under errors="null", else the end of
 * the fill.  `text` (may be NULL) is kept for the message; it must live as
 * long as the source is held.  0 to go on, -1 to stop. */
static int fill_bad(fill_state *f, Py_ssize_t i, text_verdict verdict, const char *text,
                    size_t len) {
  /* A failed parse leaves the record's bytes unspecified. */
  memset(&f->arr->addrs[i], 0, sizeof f->arr->addrs[i]);
  if (f->null_bad) return fill_null(f, i);
  f->bad_index = i;
  f->verdict = verdict;
  f->bad_text = text;
  f->bad_len = len;
  return -1;
}

static inline void fill_count(AddressArrayObject *arr, tarn_family_t family) {
  if (family == TARN_AF_INET)
    arr->v4_count++;
  else
    arr->v6_count++;
}

/* Slot i holds the address of `family` whose network-order bytes are given. */
static inline void fill_bytes(fill_state *f, Py_ssize_t i, tarn_family_t family,
                              const void *bytes) {
  tarn_addr_t *out = &f->arr->addrs[i];
  out->family = family;
  memcpy(out->addr.v6, bytes, binding_addr_len(family));
  fill_count(f->arr, family);
}

/* Whether any byte of `w` is zero: a byte's top bit survives the borrow of
 * w - 0x01.. only where that byte was zero (a borrow out of a lower zero
 * byte can mark a byte above it too, but then some byte is zero anyway). */
static inline uint64_t zero_byte_in(uint64_t w) {
  return (w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull;
}

/* Bytes 0..15 of `buf` in one 16-byte store: byte k of lo, then of hi. */
static inline void store16(char *buf, uint64_t lo, uint64_t hi) {
#if defined(__SSE2__) && defined(__x86_64__)
  /* Straight from the two registers: _mm_set_epi64x goes through the stack
   * on plain SSE2. */
  __m128i v =
      _mm_unpacklo_epi64(_mm_cvtsi64_si128((long long)lo), _mm_cvtsi64_si128((long long)hi));
  _mm_storeu_si128((__m128i *)(void *)buf, v);
#elif defined(__SSE2__)
  _mm_storeu_si128((__m128i *)(void *)buf, _mm_set_epi64x((long long)hi, (long long)lo));
#else
  memcpy(buf, &lo, 8);
  memcpy(buf + 8, &hi, 8);
#endif
}

/*
 * Copy src[0..len) (len <= TEXT_MAX) into buf (TEXT_BUF bytes) with a NUL
 * after it, and answer whether the text holds a NUL of its own, without a
 * library call: most IPv4 texts are 7 to 15 bytes, where the setup of
 * memcpy and memchr costs more than their work.  A text under 16 bytes is
 * put together in registers and written, NUL and zero padding included,
 * by one 16-byte store; a longer one goes in 16-byte pieces.  Nothing is
 * read outside src[0..len): the last piece overlaps the one before it
 * instead of running past the end.  Words are assembled in little-endian
 * order; elsewhere plain memcpy and memchr do the work.
 */
static inline int copy_text(char *buf, const char *src, size_t len) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint64_t lo = 0, hi = 0, seen = 0;
  if (len >= 16) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    int nul = 0;
    for (size_t k = 0; k + 16 < len; k += 16) {
      __m128i v = _mm_loadu_si128((const __m128i *)(const void *)(src + k));
      _mm_storeu_si128((__m128i *)(void *)(buf + k), v);
      nul |= _mm_movemask_epi8(_mm_cmpeq_epi8(v, zero));
    }
    __m128i v = _mm_loadu_si128((const __m128i *)(const void *)(src + len - 16));
    _mm_storeu_si128((__m128i *)(void *)(buf + len - 16), v);
    nul |= _mm_movemask_epi8(_mm_cmpeq_epi8(v, zero));
    buf[len] = '\0';
    return nul != 0;
#else
    memcpy(buf, src, len);
    buf[len] = '\0';
    return memchr(buf, '\0', len) != NULL;
#endif
  }
  if (len >= 8) {
    uint64_t last;
    memcpy(&lo, src, 8);
    memcpy(&last, src + len - 8, 8);
    seen = zero_byte_in(lo) | zero_byte_in(last);
    /* Text bytes 8..len-1 are the top len - 8 bytes of `last`; len > 8
     * keeps the shift at 8..56 bits, never the full 64. */
    hi = len > 8 ? last >> (8 * (16 - len)) : 0;
  } else if (len >= 4) {
    uint32_t first, last;
    memcpy(&first, src, 4);
    memcpy(&last, src + len - 4, 4);
    seen = zero_byte_in(first | 0xffffffff00000000ull) | zero_byte_in(last | 0xffffffff00000000ull);
    /* The two words overlap where len < 8 and agree there; shift 0..24. */
    lo = first | (uint64_t)last << (8 * (len - 4));
  } else {
    for (size_t k = 0; k < len; k++) {
      lo |= (uint64_t)(uint8_t)src[k] << (8 * k);
      seen |= src[k] == '\0';
    }
  }
  store16(buf, lo, hi);
  return seen != 0;
#else
  memcpy(buf, src, len);
  buf[len] = '\0';
  return memchr(buf, '\0', len) != NULL;
#endif
}

/*
 * Texts of a column copied for the parse, a block at a time: a call-free
 * loop stages up to STAGE_BLOCK of them, then a second loop parses them.
 * Staging ahead matters twice over: the parse reads its text in 4-, 8- and
 * 16-byte loads, and a load from stores still on their way to the cache
 * waits for them (a store-forwarding stall, which cost more than the copy);
 * and neither loop carries the other's state across the parse calls.
 * 64 texts are 4 KiB of stack, well inside the first-level cache.
 */
#define STAGE_BLOCK 64
#define STAGED_NULL 0xff /* verdict of a null slot */

typedef struct {
  char text[STAGE_BLOCK][TEXT_BUF]; /* text k and its NUL, when verdict[k] is TEXT_OK */
  uint8_t verdict[STAGE_BLOCK];     /* known before the parse: TEXT_OK, too long, a NUL */
} stage_block;

/* Stage text src[0..len), which need not be NUL-terminated, as item k. */
static inline void stage_bytes(stage_block *b, int k, const char *src, size_t len) {
  b->verdict[k] = len > TEXT_MAX                    ? TEXT_TOO_LONG
                  : copy_text(b->text[k], src, len) ? TEXT_NUL
                                                    : TEXT_OK;
}

/* Slots start..start+n-1 (records out[0..n)) from a staged block.  A bad
 * item is recorded without its text (the caller finds it from the index).
 * 0 to go on, -1 to stop. */
static int fill_block(fill_state *f, Py_ssize_t start, tarn_addr_t *out, const stage_block *b,
                      int n) {
  Py_ssize_t v4 = 0, v6 = 0;
  int rc = 0;
  for (int k = 0; k < n && rc == 0; k++) {
    int verdict = b->verdict[k];
    if (verdict == STAGED_NULL) {
      rc = fill_null(f, start + k);
      continue;
    }
    if (verdict == TEXT_OK && tarn_addr_parse_padded(b->text[k], &out[k]) != TARN_OK)
      verdict = TEXT_SYNTAX;
    if (verdict == TEXT_OK) {
      v4 += out[k].family == TARN_AF_INET;
      v6 += out[k].family == TARN_AF_INET6;
    } else {
      rc = fill_bad(f, start + k, (text_verdict)verdict, NULL, 0);
    }
  }
  f->arr->v4_count += v4;
  f->arr->v6_count += v6;
  return rc;
}

/* Raise what the fill found (MemoryError, or ParseError for its bad item,
 * whose bad_text the caller has set); 0 when it found nothing. */
static int fill_raise(const fill_state *f) {
  if (f->no_memory) {
    PyErr_NoMemory();
    return -1;
  }
  if (f->bad_index < 0) return 0;
  return binding_raise_item_error(pytarn_ParseError, "invalid address", f->bad_index,
                                  f->bad_text != NULL ? f->bad_text : "", f->bad_len,
                                  text_reasons[f->verdict]);
}

/* ---- source: another AddressArray (copies and slices) ----------------------- */

typedef struct {
  const AddressArrayObject *src;
  Py_ssize_t start, step;
} gather_args;

/* Slot i of the new array is item start + i * step of the source. */
static void fill_gather(fill_state *f, const gather_args *g) {
  for (Py_ssize_t i = 0; i < f->arr->count; i++) {
    const tarn_addr_t *a = &g->src->addrs[g->start + i * g->step];
    if (a->family == TARN_AF_UNSPEC) {
      if (fill_null(f, i) < 0) return;
    } else {
      f->arr->addrs[i] = *a;
      fill_count(f->arr, a->family);
    }
  }
}

/* A new array of `type` holding `n` items of `src` from `start` by `step`. */
static AddressArrayObject *array_gather(PyTypeObject *type, const AddressArrayObject *src,
                                        Py_ssize_t start, Py_ssize_t step, Py_ssize_t n) {
  AddressArrayObject *arr = array_alloc(type, n);
  if (arr == NULL) return NULL;
  fill_state f;
  fill_init(&f, arr, 0);
  const gather_args g = {src, start, step};
  BINDING_UNLOCKED(n, fill_gather(&f, &g));
  if (fill_raise(&f) < 0) Py_CLEAR(arr);
  return arr;
}

/* ---- source: an imported Arrow column --------------------------------------- */

/* What the staging loop over a string chunk reads, copied out of the chunk
 * once. */
typedef struct {
  binding_arrow_layout layout;
  const char *offsets;
  const char *data;
  const uint8_t *validity; /* NULL: no nulls */
  int64_t offset;
  const binding_arrow_column *col; /* views go through the Arrow layer */
  const binding_arrow_chunk *chunk;
} string_reader;

/* The bytes of item i of the chunk, which must be valid.  The two offset
 * layouts are read here, so the staging loop makes no call for them;
 * offsets are loaded with memcpy, as nothing promises their alignment. */
static inline const char *reader_string(const string_reader *r, int64_t i, size_t *len) {
  size_t j = (size_t)(r->offset + i);
  if (r->layout == ARROW_COL_UTF8) {
    int32_t at[2];
    memcpy(at, r->offsets + j * 4u, sizeof at);
    *len = (size_t)(at[1] - at[0]);
    /* A null data buffer comes only with every string empty. */
    return *len != 0 ? r->data + at[0] : "";
  }
  if (r->layout == ARROW_COL_LARGE_UTF8) {
    int64_t at[2];
    memcpy(at, r->offsets + j * 8u, sizeof at);
    *len = (size_t)(at[1] - at[0]);
    return *len != 0 ? r->data + at[0] : "";
  }
  return binding_arrow_string(r->col, r->chunk, i, len);
}

static inline int reader_valid(const string_reader *r, int64_t i) {
  size_t j = (size_t)(r->offset + i);
  return r->validity == NULL || ((r->validity[j >> 3] >> (j & 7)) & 1);
}

/* Slots start.. from a string chunk, a staged block at a time. */
static int fill_string_chunk(fill_state *f, const binding_arrow_column *col,
                             const binding_arrow_chunk *c, Py_ssize_t start) {
  /* Offset layouts have exactly three buffers; views are read by the Arrow
   * layer, so their buffers are not touched here. */
  int offsets = col->layout == ARROW_COL_UTF8 || col->layout == ARROW_COL_LARGE_UTF8;
  const string_reader r = {col->layout,
                           offsets ? c->array.buffers[1] : NULL,
                           offsets ? c->array.buffers[2] : NULL,
                           c->validity,
                           c->offset,
                           col,
                           c};
  stage_block b;
  for (int64_t base = 0; base < c->length; base += STAGE_BLOCK) {
    int n = c->length - base < STAGE_BLOCK ? (int)(c->length - base) : STAGE_BLOCK;
    for (int k = 0; k < n; k++) {
      if (!reader_valid(&r, base + k)) {
        b.verdict[k] = STAGED_NULL;
      } else {
        size_t len;
        const char *src = reader_string(&r, base + k, &len);
        stage_bytes(&b, k, src, len);
      }
    }
    Py_ssize_t slot = start + (Py_ssize_t)base;
    if (fill_block(f, slot, f->arr->addrs + slot, &b, n) < 0) {
      /* The text of the bad item, for the message: it stays in the
       * column, which the caller holds until the error is raised. */
      if (f->bad_index >= 0)
        f->bad_text = reader_string(&r, (int64_t)(f->bad_index - start), &f->bad_len);
      return -1;
    }
  }
  return 0;
}

/* Slots start.. from a fixed-size binary or null chunk. */
static int fill_binary_chunk(fill_state *f, const binding_arrow_column *col,
                             const binding_arrow_chunk *c, Py_ssize_t start) {
  tarn_family_t family = col->layout == ARROW_COL_FIXED4 ? TARN_AF_INET : TARN_AF_INET6;
  for (int64_t i = 0; i < c->length; i++) {
    Py_ssize_t slot = start + (Py_ssize_t)i;
    if (col->layout == ARROW_COL_NULL || !binding_arrow_valid(c, i)) {
      if (fill_null(f, slot) < 0) return -1;
    } else {
      fill_bytes(f, slot, family, binding_arrow_fixed(col, c, i));
    }
  }
  return 0;
}

static void fill_arrow(fill_state *f, const binding_arrow_column *col) {
  Py_ssize_t start = 0;
  for (size_t k = 0; k < col->chunk_count; k++) {
    const binding_arrow_chunk *c = &col->chunks[k];
    int text = col->layout == ARROW_COL_UTF8 || col->layout == ARROW_COL_LARGE_UTF8 ||
               col->layout == ARROW_COL_UTF8_VIEW;
    if ((text ? fill_string_chunk : fill_binary_chunk)(f, col, c, start) < 0) return;
    start += (Py_ssize_t)c->length;
  }
}

/* The column stays held (and its text valid) until the caller releases it,
 * after any error has been raised. */
static AddressArrayObject *array_from_arrow(PyTypeObject *type, const binding_arrow_column *col,
                                            int null_bad) {
  if (col->total_length < 0 || (uint64_t)col->total_length > (uint64_t)PY_SSIZE_T_MAX) {
    PyErr_NoMemory();
    return NULL;
  }
  AddressArrayObject *arr = array_alloc(type, (Py_ssize_t)col->total_length);
  if (arr == NULL) return NULL;
  fill_state f;
  fill_init(&f, arr, null_bad);
  BINDING_UNLOCKED(arr->count, fill_arrow(&f, col));
  if (fill_raise(&f) < 0) Py_CLEAR(arr);
  return arr;
}

/* ---- source: a numpy text array (str_ "<N>w" or bytes_ "<N>s") --------------- */

/* A one-dimensional C-contiguous array of fixed-width, NUL-padded text. */
typedef struct {
  const char *base;
  Py_ssize_t count;
  Py_ssize_t itemsize;
  int ucs4; /* "w": UCS4 code units; else "s": bytes */
  int swap; /* the code units are in the other byte order than the host's */
} text_column;

/* Whether `format` is fixed-width text ("[order]<N>s" or "[order]<N>w",
 * N defaulting to 1) matching `itemsize`; fills the shape of *tc. */
static int text_column_format(const char *format, Py_ssize_t itemsize, text_column *tc) {
  char order = '@';
  if (*format != '\0' && strchr("@=<>!", *format) != NULL) order = *format++;
  size_t n = 0;
  const char *digits = format;
  while (*format >= '0' && *format <= '9') {
    if (n > (size_t)PY_SSIZE_T_MAX / 40) return 0;
    n = n * 10 + (size_t)(*format++ - '0');
  }
  if (format == digits) n = 1;
  char kind = *format++;
  if ((kind != 's' && kind != 'w') || *format != '\0') return 0;
  tc->ucs4 = kind == 'w';
  if ((size_t)itemsize != n * (tc->ucs4 ? 4u : 1u)) return 0;
  tc->itemsize = itemsize;
  int little = host_is_little_endian();
  tc->swap = tc->ucs4 && ((order == '<' && !little) || ((order == '>' || order == '!') && little));
  return 1;
}

static inline uint32_t ucs4_at(const text_column *tc, const char *item, size_t k) {
  uint32_t c;
  memcpy(&c, item + 4 * k, 4);
  if (tc->swap) c = (c >> 24) | ((c >> 8) & 0xff00u) | ((c << 8) & 0xff0000u) | (c << 24);
  return c;
}

/* Bytes of item[0..n) before its zero padding, a word at a time from the
 * end: an exit that depends on the text's length mispredicts once per word
 * instead of once per byte.  In a little-endian word the last bytes are the
 * most significant, so its leading zero bits count the padding. */
static inline size_t unpadded_bytes(const char *item, size_t n) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  for (; n >= 8; n -= 8) {
    uint64_t w;
    memcpy(&w, item + n - 8, 8);
    if (w != 0) return n - (size_t)__builtin_clzll(w) / 8;
  }
#endif
  while (n > 0 && item[n - 1] == '\0') n--;
  return n;
}

/* Characters of `item` before its NUL padding (a code point is zero only
 * when all four of its bytes are). */
static inline size_t text_item_length(const text_column *tc, const char *item) {
  size_t bytes = unpadded_bytes(item, (size_t)tc->itemsize);
  return tc->ucs4 ? (bytes + 3) / 4 : bytes;
}

#if defined(__SSE2__)
/* Four native-order code points at `src` as four bytes at `dst`; *nul and
 * *bits collect zero lanes and every lane's bits. */
static inline void narrow4(char *dst, const char *src, int *nul, __m128i *bits) {
  const __m128i zero = _mm_setzero_si128();
  __m128i v = _mm_loadu_si128((const __m128i *)(const void *)src);
  *nul |= _mm_movemask_epi8(_mm_cmpeq_epi32(v, zero));
  *bits = _mm_or_si128(*bits, v);
  /* Saturating packs: exact for ASCII; anything else is refused anyway. */
  __m128i narrow = _mm_packus_epi16(_mm_packs_epi32(v, zero), zero);
  uint32_t four = (uint32_t)_mm_cvtsi128_si32(narrow);
  memcpy(dst, &four, 4);
}

/* The UCS4 text item[0..len) (4 <= len <= TEXT_MAX code points, all inside
 * the item) narrowed to ASCII in dst with its NUL, four code points a load;
 * the last load overlaps the one before instead of reading past the text. */
static inline uint8_t narrow_ucs4(char *dst, const char *item, size_t len) {
  int nul = 0;
  __m128i bits = _mm_setzero_si128();
  for (size_t j = 0; j + 4 < len; j += 4) narrow4(dst + j, item + 4 * j, &nul, &bits);
  narrow4(dst + len - 4, item + 4 * (len - 4), &nul, &bits);
  dst[len] = '\0';
  __m128i high = _mm_and_si128(bits, _mm_set1_epi32(~0x7f));
  int ascii = _mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) == 0xffff;
  return nul ? TEXT_NUL : ascii ? TEXT_OK : TEXT_SYNTAX;
}
#endif

/* Stage item i as item k: bytes as they are; UCS4 narrowed to ASCII on the
 * way (no address has any other character). */
static inline void stage_item(stage_block *b, int k, const text_column *tc, Py_ssize_t i) {
  const char *item = tc->base + i * tc->itemsize;
  size_t len = text_item_length(tc, item);
  if (!tc->ucs4) {
    stage_bytes(b, k, item, len);
    return;
  }
  if (len > TEXT_MAX) {
    b->verdict[k] = TEXT_TOO_LONG;
    return;
  }
#if defined(__SSE2__)
  if (!tc->swap && len >= 4) {
    b->verdict[k] = narrow_ucs4(b->text[k], item, len);
    return;
  }
#endif
  /* Branch-free per character: what matters is learned once per item. */
  uint32_t bits = 0, nul = 0;
  for (size_t j = 0; j < len; j++) {
    uint32_t c = ucs4_at(tc, item, j);
    bits |= c;
    nul |= c == 0;
    b->text[k][j] = (char)c;
  }
  b->text[k][len] = '\0';
  b->verdict[k] = nul ? TEXT_NUL : bits > 0x7f ? TEXT_SYNTAX : TEXT_OK;
}

static void fill_text_column(fill_state *f, const text_column *tc) {
  stage_block b;
  for (Py_ssize_t base = 0; base < tc->count; base += STAGE_BLOCK) {
    int n = tc->count - base < STAGE_BLOCK ? (int)(tc->count - base) : STAGE_BLOCK;
    for (int k = 0; k < n; k++) stage_item(&b, k, tc, base + k);
    if (fill_block(f, base, f->arr->addrs + base, &b, n) < 0) return;
  }
}

/* The UTF-8 text of item i, as bytes for an error message. */
static PyObject *text_item_shown(const text_column *tc, Py_ssize_t i) {
  const char *item = tc->base + i * tc->itemsize;
  size_t len = text_item_length(tc, item);
  if (!tc->ucs4) return PyBytes_FromStringAndSize(item, (Py_ssize_t)len);
  /* -1 little-endian, 1 big-endian: the host's order unless swapped. */
  int order = host_is_little_endian() != tc->swap ? -1 : 1;
  PyObject *text = PyUnicode_DecodeUTF32(item, (Py_ssize_t)(len * 4), "replace", &order);
  if (text == NULL) return NULL;
  PyObject *bytes = PyUnicode_AsUTF8String(text);
  Py_DECREF(text);
  return bytes;
}

/* The view stays held by the caller, so its memory cannot move or shrink
 * while it is read without the lock. */
static AddressArrayObject *array_from_text_buffer(PyTypeObject *type, const Py_buffer *view,
                                                  int null_bad) {
  const char *format = view->format != NULL ? view->format : "B";
  text_column tc;
  if (!text_column_format(format, view->itemsize, &tc)) {
    PyErr_Format(pytarn_InvalidArgumentError,
                 "a buffer of format '%s' holds no text: AddressArray() reads numpy str_ and "
                 "bytes_ arrays; use AddressArray.from_packed(buffer, family) for network-order "
                 "bytes or AddressArray.from_integers(values, family) for numbers",
                 format);
    return NULL;
  }
  if (view->ndim != 1) {
    PyErr_Format(pytarn_InvalidArgumentError, "a text array must have one dimension, not %d",
                 view->ndim);
    return NULL;
  }
  if (view->suboffsets != NULL || (view->strides != NULL && view->strides[0] != view->itemsize)) {
    PyErr_SetString(pytarn_InvalidArgumentError, "a text array must be C-contiguous");
    return NULL;
  }
  tc.base = view->buf;
  tc.count = view->shape[0];

  AddressArrayObject *arr = array_alloc(type, tc.count);
  if (arr == NULL) return NULL;
  fill_state f;
  fill_init(&f, arr, null_bad);
  BINDING_UNLOCKED(tc.count, fill_text_column(&f, &tc));
  PyObject *shown = NULL;
  if (f.bad_index >= 0) {
    shown = text_item_shown(&tc, f.bad_index);
    if (shown == NULL) {
      Py_DECREF(arr);
      return NULL;
    }
    f.bad_text = PyBytes_AsString(shown);
    f.bad_len = (size_t)PyBytes_Size(shown);
  }
  if (fill_raise(&f) < 0) Py_CLEAR(arr);
  Py_XDECREF(shown);
  return arr;
}

/* ---- source: any other iterable ------------------------------------------- */

/* The UTF-8 text of a str item, valid while the tuple holding it lives; a
 * null text marks an item that is not a str. */
typedef struct {
  const char *text;
  Py_ssize_t len;
} text_ref;

/* "packed", interned once and kept for the life of the process. */
static PyObject *packed_name(void) {
  static PyObject *name = NULL;
  if (name == NULL) name = PyUnicode_InternFromString("packed");
  return name;
}

/* Slot i from an object's `packed` bytes (the standard library's address
 * objects, and anything shaped like them).  0 done, 1 the item is no
 * address, -1 with the exception its attribute raised. */
static int fill_packed_attr(fill_state *f, Py_ssize_t i, PyObject *item) {
  PyObject *name = packed_name();
  if (name == NULL) return -1;
  PyObject *packed = PyObject_GetAttr(item, name);
  if (packed == NULL) {
    /* Only a missing attribute means "not an address"; anything else stands. */
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 1;
  }
  int rc = 1;
  if (PyBytes_Check(packed)) {
    Py_ssize_t len = PyBytes_Size(packed);
    if (len == 4 || len == 16) {
      fill_bytes(f, i, len == 4 ? TARN_AF_INET : TARN_AF_INET6, PyBytes_AsString(packed));
      rc = 0;
    }
  }
  Py_DECREF(packed);
  return rc;
}

/* TypeError for item i, naming its type and what was `expected`. */
static void raise_item_type(Py_ssize_t i, PyObject *item, const char *expected) {
  PyObject *name = PyType_GetName(Py_TYPE(item));
  if (name == NULL) return;
  PyErr_Format(PyExc_TypeError, "item at index %zd is a '%U' object, not %s", i, name, expected);
  Py_DECREF(name);
}

typedef struct {
  const text_ref *texts;
  Py_ssize_t limit; /* items from here on are not parsed */
} parse_args;

/* Parse a str item's UTF-8 text[0..len), which ends in a NUL of its own
 * (the interpreter keeps one), in place into the record at `out`. */
static inline text_verdict parse_terminated(const char *text, size_t len, tarn_addr_t *out) {
  if (len > TEXT_MAX) return TEXT_TOO_LONG;
  if (memchr(text, '\0', len) != NULL) return TEXT_NUL;
  return tarn_addr_parse(text, out) == TARN_OK ? TEXT_OK : TEXT_SYNTAX;
}

/* The second pass: parse the str items before p->limit. */
static void fill_texts(fill_state *f, const parse_args *p) {
  for (Py_ssize_t i = 0; i < p->limit; i++) {
    const char *text = p->texts[i].text;
    if (text == NULL) continue;
    size_t len = (size_t)p->texts[i].len;
    tarn_addr_t *out = &f->arr->addrs[i];
    text_verdict verdict = parse_terminated(text, len, out);
    if (verdict == TEXT_OK)
      fill_count(f->arr, out->family);
    else if (fill_bad(f, i, verdict, text, len) < 0)
      return;
  }
}

/*
 * An iterable, in two passes over a tuple copy (which keeps every item, and
 * so every str's UTF-8 form, alive):
 *   1. with the lock: None, address objects and `packed` objects fill their
 *      slots; str items leave their UTF-8 text for pass 2 (a str with lone
 *      surrogates is bad at once); the first item of any other type ends the
 *      pass and is reported, by TypeError, only if no earlier item is bad;
 *   2. without the lock: parse the texts before that point.
 */
static AddressArrayObject *array_from_iterable(PyTypeObject *type, PyObject *values, int null_bad) {
  PyObject *items = PySequence_Tuple(values);
  if (items == NULL) return NULL;
  Py_ssize_t n = PyTuple_Size(items);
  text_ref *texts = NULL;
  PyObject *shown = NULL;
  AddressArrayObject *arr = array_alloc(type, n);
  if (arr == NULL) goto done;
  texts = calloc(n == 0 ? 1 : (size_t)n, sizeof *texts);
  if (texts == NULL) {
    PyErr_NoMemory();
    goto fail;
  }

  fill_state f;
  fill_init(&f, arr, null_bad);
  Py_ssize_t foreign = -1;
  for (Py_ssize_t i = 0; i < n && f.bad_index < 0 && !f.no_memory; i++) {
    PyObject *item = PyTuple_GetItem(items, i);
    if (item == NULL) goto fail;
    if (PyUnicode_Check(item)) {
      texts[i].text = PyUnicode_AsUTF8AndSize(item, &texts[i].len);
      if (texts[i].text == NULL) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) goto fail;
        PyErr_Clear();
        fill_bad(&f, i, TEXT_SURROGATE, NULL, 0);
      }
    } else if (item == Py_None) {
      fill_null(&f, i);
    } else if (binding_is_ipv4address(item) || binding_is_ipv6address(item)) {
      const tarn_addr_t *a = &((AddressObject *)item)->addr;
      fill_bytes(&f, i, a->family, a->addr.v6);
    } else {
      int rc = fill_packed_attr(&f, i, item);
      if (rc < 0) goto fail;
      if (rc > 0) {
        foreign = i;
        break;
      }
    }
  }

  const parse_args p = {texts, f.bad_index >= 0 ? f.bad_index : foreign >= 0 ? foreign : n};
  if (!f.no_memory) BINDING_UNLOCKED(p.limit, fill_texts(&f, &p));

  if (f.bad_index >= 0 && f.bad_text == NULL) {
    /* A lone surrogate: shown with backslash escapes. */
    shown =
        PyUnicode_AsEncodedString(PyTuple_GetItem(items, f.bad_index), "utf-8", "backslashreplace");
    if (shown == NULL) goto fail;
    f.bad_text = PyBytes_AsString(shown);
    f.bad_len = (size_t)PyBytes_Size(shown);
  }
  if (fill_raise(&f) < 0) goto fail;
  if (foreign >= 0) {
    raise_item_type(foreign, PyTuple_GetItem(items, foreign),
                    "str, None, an address object or an object with 4 or 16 'packed' bytes");
    goto fail;
  }
  goto done;

fail:
  Py_CLEAR(arr);
done:
  free(texts);
  Py_XDECREF(shown);
  Py_DECREF(items);
  return arr;
}

/* ---- construction ------------------------------------------------------------ */

/* The kinds of `values`, tried in this order: an AddressArray, an Arrow
 * column, a text buffer, any other iterable. */
static AddressArrayObject *array_from_values(PyTypeObject *type, PyObject *values, int null_bad) {
  if (PyObject_TypeCheck(values, addressarray_type)) {
    const AddressArrayObject *src = self_array(values);
    return array_gather(type, src, 0, 1, src->count);
  }

  binding_arrow_column col;
  int rc = binding_arrow_import(values, &col);
  if (rc < 0) return NULL;
  if (rc > 0) {
    AddressArrayObject *arr = array_from_arrow(type, &col, null_bad);
    binding_arrow_column_release(&col);
    return arr;
  }

  if (PyUnicode_Check(values)) {
    /* Iterating would parse one character per item. */
    PyErr_SetString(PyExc_TypeError,
                    "AddressArray() takes a column of addresses, not a str; wrap a single "
                    "address in a list");
    return NULL;
  }

  if (PyObject_CheckBuffer(values)) {
    Py_buffer view;
    if (PyObject_GetBuffer(values, &view, PyBUF_RECORDS_RO) < 0) return NULL;
    /* numpy object arrays export their pointers as "O": they are iterables
     * of Python objects like any other. */
    if (view.format == NULL || strcmp(view.format, "O") != 0) {
      AddressArrayObject *arr = array_from_text_buffer(type, &view, null_bad);
      PyBuffer_Release(&view);
      return arr;
    }
    PyBuffer_Release(&view);
  }
  return array_from_iterable(type, values, null_bad);
}

AddressArrayObject *binding_addressarray_from_object(PyObject *obj) {
  if (PyObject_TypeCheck(obj, addressarray_type)) {
    Py_INCREF(obj);
    return self_array(obj);
  }
  return array_from_values(addressarray_type, obj, 0);
}

/* AddressArray(values, *, errors="raise"). */
static PyObject *addressarray_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"values", "errors", NULL};
  PyObject *values, *errors = NULL;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:AddressArray", kwlist, &values, &errors))
    return NULL;
  int null_bad = 0;
  if (errors != NULL) {
    int is_str = PyUnicode_Check(errors);
    if (is_str && PyUnicode_CompareWithASCIIString(errors, "null") == 0) {
      null_bad = 1;
    } else if (!is_str || PyUnicode_CompareWithASCIIString(errors, "raise") != 0) {
      PyErr_Format(pytarn_InvalidArgumentError, "errors must be 'raise' or 'null', not %R", errors);
      return NULL;
    }
  }
  return (PyObject *)array_from_values(type, values, null_bad);
}

/* ---- AddressArray.from_packed -------------------------------------------------- */

typedef struct {
  const unsigned char *base;
  tarn_family_t family;
} packed_args;

static void fill_packed(fill_state *f, const packed_args *p) {
  size_t width = binding_addr_len(p->family);
  for (Py_ssize_t i = 0; i < f->arr->count; i++)
    fill_bytes(f, i, p->family, p->base + (size_t)i * width);
}

/* from_packed(buffer, family): network-order addresses under the packed
 * contract (binding_packed_view), no nulls. */
static PyObject *addressarray_from_packed(PyObject *cls, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"buffer", "family", NULL};
  PyObject *buffer;
  int family;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oi:from_packed", kwlist, &buffer, &family))
    return NULL;
  if (family != TARN_AF_INET && family != TARN_AF_INET6) {
    PyErr_SetString(pytarn_InvalidArgumentError, bad_family);
    return NULL;
  }
  Py_buffer view;
  packed_args p = {NULL, (tarn_family_t)family};
  size_t count;
  if (binding_packed_view(buffer, p.family, &view, &p.base, &count) < 0) return NULL;
  AddressArrayObject *arr = array_alloc((PyTypeObject *)cls, (Py_ssize_t)count);
  if (arr != NULL) {
    fill_state f;
    fill_init(&f, arr, 0);
    BINDING_UNLOCKED(count, fill_packed(&f, &p));
  }
  PyBuffer_Release(&view);
  return (PyObject *)arr;
}

/* ---- AddressArray.from_integers ------------------------------------------------ */

/* A one-dimensional integer buffer, any stride (numpy slices with a step,
 * reversed views). */
typedef struct {
  const unsigned char *base;
  Py_ssize_t count;
  Py_ssize_t stride;
  size_t width; /* 1, 2, 4 or 8 bytes */
  int is_signed;
  int big_endian;
  tarn_family_t family;
  Py_ssize_t bad_index; /* first value out of range, or -1 */
  uint64_t bad_value;   /* its bits, sign-extended when negative */
} int_column;

/* Whether `format` is one integer ("[order]c" with c among bBhHiIlLqQ) of
 * `itemsize` 1, 2, 4 or 8 bytes; fills the shape of *ic. */
static int int_column_format(const char *format, Py_ssize_t itemsize, int_column *ic) {
  char order = '@';
  if (*format != '\0' && strchr("@=<>!", *format) != NULL) order = *format++;
  if (*format == '\0' || strchr("bBhHiIlLqQ", *format) == NULL || format[1] != '\0') return 0;
  if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8) return 0;
  ic->width = (size_t)itemsize;
  ic->is_signed = *format >= 'a';
  ic->big_endian =
      order == '>' || order == '!' || ((order == '@' || order == '=') && !host_is_little_endian());
  return 1;
}

/* Value i as 64 bits, sign-extended for signed formats. */
static inline uint64_t int_at(const int_column *ic, Py_ssize_t i) {
  const unsigned char *p = ic->base + i * ic->stride;
  uint64_t v = 0;
  for (size_t k = 0; k < ic->width; k++) v = (v << 8) | p[ic->big_endian ? k : ic->width - 1 - k];
  /* width < 8 here, so the shift is at most 56: never the full 64 bits. */
  if (ic->is_signed && ic->width < 8 && (v >> (8 * ic->width - 1)) != 0)
    v |= ~0ull << (8 * ic->width);
  return v;
}

/* Store value v of `family` big-endian into the record. */
static void put_value(tarn_addr_t *out, tarn_family_t family, uint64_t v) {
  size_t len = binding_addr_len(family);
  out->family = family;
  for (size_t k = 0; k < 8 && k < len; k++) out->addr.v6[len - 1 - k] = (uint8_t)(v >> (8 * k));
}

static void fill_ints(fill_state *f, int_column *ic) {
  for (Py_ssize_t i = 0; i < ic->count; i++) {
    uint64_t v = int_at(ic, i);
    int negative = ic->is_signed && (int64_t)v < 0;
    if (negative || (ic->family == TARN_AF_INET && v > UINT32_MAX)) {
      ic->bad_index = i;
      ic->bad_value = v;
      return;
    }
    put_value(&f->arr->addrs[i], ic->family, v);
    fill_count(f->arr, ic->family);
  }
}

static const char *range_reason(tarn_family_t family, int negative) {
  if (negative) return "negative";
  return family == TARN_AF_INET ? "above 2**32 - 1" : "above 2**128 - 1";
}

static AddressArrayObject *ints_from_buffer(PyTypeObject *type, const Py_buffer *view,
                                            tarn_family_t family) {
  const char *format = view->format != NULL ? view->format : "B";
  int_column ic = {.family = family, .bad_index = -1};
  if (!int_column_format(format, view->itemsize, &ic)) {
    PyErr_Format(pytarn_InvalidArgumentError,
                 "from_integers() takes integer buffers (formats b, B, h, H, i, I, l, L, q, Q), "
                 "not format '%s'",
                 format);
    return NULL;
  }
  if (view->ndim != 1 || view->suboffsets != NULL) {
    PyErr_Format(pytarn_InvalidArgumentError,
                 "from_integers() takes one-dimensional buffers, not %d dimensions", view->ndim);
    return NULL;
  }
  ic.base = view->buf;
  ic.count = view->shape[0];
  ic.stride = view->strides != NULL ? view->strides[0] : view->itemsize;

  AddressArrayObject *arr = array_alloc(type, ic.count);
  if (arr == NULL) return NULL;
  fill_state f;
  fill_init(&f, arr, 0);
  BINDING_UNLOCKED(ic.count, fill_ints(&f, &ic));
  if (ic.bad_index >= 0) {
    int negative = ic.is_signed && (int64_t)ic.bad_value < 0;
    char text[24];
    int len = negative ? snprintf(text, sizeof text, "%lld", (long long)(int64_t)ic.bad_value)
                       : snprintf(text, sizeof text, "%llu", (unsigned long long)ic.bad_value);
    binding_raise_item_error(pytarn_InvalidArgumentError, "address value out of range",
                             ic.bad_index, text, (size_t)len, range_reason(family, negative));
    Py_CLEAR(arr);
  }
  return arr;
}

/* InvalidArgumentError for the int `item` at index i, out of range for
 * `family`: the message shows its decimal value. */
static void raise_int_range(Py_ssize_t i, PyObject *item, tarn_family_t family) {
  PyObject *num = PyNumber_Index(item);
  PyObject *zero = PyLong_FromLong(0);
  PyObject *decimal = num != NULL ? PyObject_Str(num) : NULL;
  Py_ssize_t len = 0;
  const char *text = decimal != NULL ? PyUnicode_AsUTF8AndSize(decimal, &len) : NULL;
  int negative = text != NULL && zero != NULL ? PyObject_RichCompareBool(num, zero, Py_LT) : -1;
  if (negative >= 0)
    binding_raise_item_error(pytarn_InvalidArgumentError, "address value out of range", i, text,
                             (size_t)len, range_reason(family, negative));
  Py_XDECREF(decimal);
  Py_XDECREF(zero);
  Py_XDECREF(num);
}

/* Python ints (anything with __index__ but bool) or None, through the
 * scalar converter; its range error is replaced by one naming the item. */
static AddressArrayObject *ints_from_iterable(PyTypeObject *type, PyObject *values,
                                              tarn_family_t family) {
  PyObject *items = PySequence_Tuple(values);
  if (items == NULL) return NULL;
  Py_ssize_t n = PyTuple_Size(items);
  AddressArrayObject *arr = array_alloc(type, n);
  if (arr == NULL) goto done;
  fill_state f;
  fill_init(&f, arr, 0);
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject *item = PyTuple_GetItem(items, i);
    if (item == NULL) goto fail;
    if (item == Py_None) {
      if (fill_null(&f, i) < 0) break;
      continue;
    }
    if (PyBool_Check(item) || !PyIndex_Check(item)) {
      raise_item_type(i, item, "an int or None");
      goto fail;
    }
    tarn_addr_t addr;
    if (binding_int_to_addr(item, &addr, family) < 0) {
      if (PyErr_ExceptionMatches(pytarn_InvalidArgumentError)) {
        PyErr_Clear();
        raise_int_range(i, item, family);
      }
      goto fail;
    }
    fill_bytes(&f, i, family, addr.addr.v6);
  }
  if (fill_raise(&f) < 0) goto fail;
  goto done;

fail:
  Py_CLEAR(arr);
done:
  Py_DECREF(items);
  return arr;
}

/* from_integers(values, family): numeric values from an integer buffer
 * (any byte order and width, any stride) or an iterable of ints and None. */
static PyObject *addressarray_from_integers(PyObject *cls, PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"values", "family", NULL};
  PyObject *values;
  int family;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oi:from_integers", kwlist, &values, &family))
    return NULL;
  if (family != TARN_AF_INET && family != TARN_AF_INET6) {
    PyErr_SetString(pytarn_InvalidArgumentError, bad_family);
    return NULL;
  }
  PyTypeObject *type = (PyTypeObject *)cls;
  if (PyObject_CheckBuffer(values)) {
    Py_buffer view;
    if (PyObject_GetBuffer(values, &view, PyBUF_RECORDS_RO) < 0) return NULL;
    if (view.format == NULL || strcmp(view.format, "O") != 0) {
      AddressArrayObject *arr = ints_from_buffer(type, &view, (tarn_family_t)family);
      PyBuffer_Release(&view);
      return (PyObject *)arr;
    }
    PyBuffer_Release(&view);
  }
  return (PyObject *)ints_from_iterable(type, values, (tarn_family_t)family);
}

/* ---- sequence ------------------------------------------------------------------ */

/* len(a): slots, nulls included. */
static Py_ssize_t addressarray_length(PyObject *self) { return self_array(self)->count; }

/* a[i] for an index already counted from the front: the address or None. */
static PyObject *addressarray_item(PyObject *self, Py_ssize_t i) {
  const AddressArrayObject *arr = self_array(self);
  if (i < 0 || i >= arr->count) {
    PyErr_SetString(PyExc_IndexError, "AddressArray index out of range");
    return NULL;
  }
  if (arr->addrs[i].family == TARN_AF_UNSPEC) Py_RETURN_NONE;
  return binding_addr_to_pyobj(&arr->addrs[i]);
}

/* a[i] (negative from the end) or a[i:j:k], a new AddressArray. */
static PyObject *addressarray_subscript(PyObject *self, PyObject *key) {
  const AddressArrayObject *arr = self_array(self);
  if (PySlice_Check(key)) {
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return NULL;
    Py_ssize_t n = PySlice_AdjustIndices(arr->count, &start, &stop, step);
    return (PyObject *)array_gather(addressarray_type, arr, start, step, n);
  }
  if (!PyIndex_Check(key)) {
    PyObject *name = PyType_GetName(Py_TYPE(key));
    if (name != NULL) {
      PyErr_Format(PyExc_TypeError, "AddressArray indices must be integers or slices, not %U",
                   name);
      Py_DECREF(name);
    }
    return NULL;
  }
  Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
  if (i == -1 && PyErr_Occurred()) return NULL;
  return addressarray_item(self, i < 0 ? i + arr->count : i);
}

/* iter(a): through a[i] by index; no list is built. */
static PyObject *addressarray_iter(PyObject *self) { return PySeqIter_New(self); }

/* ---- properties ------------------------------------------------------------------ */

/* family: 4 or 6 when every address is of that family, else 0 (none, or
 * both). */
static PyObject *addressarray_get_family(PyObject *self, void *closure) {
  (void)closure;
  const AddressArrayObject *arr = self_array(self);
  long family = arr->v4_count != 0 && arr->v6_count == 0   ? TARN_AF_INET
                : arr->v6_count != 0 && arr->v4_count == 0 ? TARN_AF_INET6
                                                           : TARN_AF_UNSPEC;
  return PyLong_FromLong(family);
}

/* null_count: slots holding no address. */
static PyObject *addressarray_get_null_count(PyObject *self, void *closure) {
  (void)closure;
  return PyLong_FromSsize_t(self_array(self)->null_count);
}

/* ---- column results -------------------------------------------------------------- */

static void store_families(const AddressArrayObject *arr, uint8_t *out) {
  for (Py_ssize_t i = 0; i < arr->count; i++) out[i] = (uint8_t)arr->addrs[i].family;
}

static void store_is_null(const AddressArrayObject *arr, uint8_t *out) {
  for (Py_ssize_t i = 0; i < arr->count; i++) out[i] = arr->addrs[i].family == TARN_AF_UNSPEC;
}

/* Null records are all zero, so their 4 or 16 bytes are the zero fill. */
static void store_packed(const AddressArrayObject *arr, size_t width, unsigned char *out) {
  for (Py_ssize_t i = 0; i < arr->count; i++)
    memcpy(out + (size_t)i * width, arr->addrs[i].addr.v6, width);
}

static void store_uint32(const AddressArrayObject *arr, uint32_t *out) {
  for (Py_ssize_t i = 0; i < arr->count; i++) {
    const uint8_t *b = arr->addrs[i].addr.v4;
    out[i] = (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
  }
}

/* The core answers TARN_ERR_INVAL only for a null record, skipped here. */
static void store_classes(const AddressArrayObject *arr, uint32_t *out) {
  for (Py_ssize_t i = 0; i < arr->count; i++) {
    tarn_class_t cls = 0;
    if (arr->addrs[i].family != TARN_AF_UNSPEC) (void)tarn_addr_classify(&arr->addrs[i], &cls);
    out[i] = cls;
  }
}

/* A new result of `kind` over every slot, with this array's nulls when
 * `with_validity`; *data receives its memory. */
static ResultBufferObject *result_for(const AddressArrayObject *arr, binding_result_kind kind,
                                      int with_validity, void **data) {
  ResultBufferObject *buf = binding_result_new(kind, arr->count, data);
  if (buf != NULL && with_validity && binding_result_copy_validity(buf, arr) < 0) Py_CLEAR(buf);
  return buf;
}

/* families(): 4, 6, or 0 at nulls, as uint8 without nulls. */
static PyObject *addressarray_families(PyObject *self, PyObject *unused) {
  (void)unused;
  const AddressArrayObject *arr = self_array(self);
  void *data;
  ResultBufferObject *buf = result_for(arr, RESULT_UINT8, 0, &data);
  if (buf != NULL) BINDING_UNLOCKED(arr->count, store_families(arr, data));
  return (PyObject *)buf;
}

/* is_null(): True at nulls, as bool without nulls. */
static PyObject *addressarray_is_null(PyObject *self, PyObject *unused) {
  (void)unused;
  const AddressArrayObject *arr = self_array(self);
  void *data;
  ResultBufferObject *buf = result_for(arr, RESULT_BOOL, 0, &data);
  if (buf != NULL) BINDING_UNLOCKED(arr->count, store_is_null(arr, data));
  return (PyObject *)buf;
}

/* to_packed(): network-order bytes of a one-family array; zero bytes at
 * nulls. */
static PyObject *addressarray_to_packed(PyObject *self, PyObject *unused) {
  (void)unused;
  const AddressArrayObject *arr = self_array(self);
  if (arr->v4_count != 0 && arr->v6_count != 0) {
    PyErr_SetString(pytarn_FamilyError, mixed_families);
    return NULL;
  }
  if (arr->v4_count == 0 && arr->v6_count == 0) {
    PyErr_SetString(pytarn_InvalidArgumentError, "family of an empty or all-null array is unknown");
    return NULL;
  }
  int v4 = arr->v4_count != 0;
  void *data;
  ResultBufferObject *buf = result_for(arr, v4 ? RESULT_PACKED4 : RESULT_PACKED16, 1, &data);
  if (buf != NULL) BINDING_UNLOCKED(arr->count, store_packed(arr, v4 ? 4u : 16u, data));
  return (PyObject *)buf;
}

/* to_uint32(): the numeric value of every IPv4 address; 0 at nulls. */
static PyObject *addressarray_to_uint32(PyObject *self, PyObject *unused) {
  (void)unused;
  const AddressArrayObject *arr = self_array(self);
  if (arr->v6_count != 0) {
    PyErr_SetString(pytarn_FamilyError, "to_uint32() takes IPv4 addresses only");
    return NULL;
  }
  void *data;
  ResultBufferObject *buf = result_for(arr, RESULT_UINT32, 1, &data);
  if (buf != NULL) BINDING_UNLOCKED(arr->count, store_uint32(arr, data));
  return (PyObject *)buf;
}

/* classify(): the class bitmask of every address; 0 at nulls. */
static PyObject *addressarray_classify(PyObject *self, PyObject *unused) {
  (void)unused;
  const AddressArrayObject *arr = self_array(self);
  void *data;
  ResultBufferObject *buf = result_for(arr, RESULT_UINT32, 1, &data);
  if (buf != NULL) BINDING_UNLOCKED(arr->count, store_classes(arr, data));
  return (PyObject *)buf;
}

/* A new list of items start.. (n of them): canonical text or None when
 * `as_text`, else address objects or None. */
static PyObject *items_list(const AddressArrayObject *arr, Py_ssize_t n, int as_text) {
  PyObject *list = PyList_New(n);
  if (list == NULL) return NULL;
  for (Py_ssize_t i = 0; i < n; i++) {
    const tarn_addr_t *a = &arr->addrs[i];
    PyObject *v;
    if (a->family == TARN_AF_UNSPEC) {
      v = Py_None;
      Py_INCREF(v);
    } else if (as_text) {
      char buf[TARN_ADDR_STRLEN];
      v = tarn_set_python_error(tarn_addr_format(a, buf, sizeof buf), NULL) < 0
              ? NULL
              : PyUnicode_FromString(buf);
    } else {
      v = binding_addr_to_pyobj(a);
    }
    if (v == NULL || PyList_SetItem(list, i, v) < 0) {
      Py_DECREF(list);
      return NULL;
    }
  }
  return list;
}

/* to_strings(): canonical text per slot, None at nulls. */
static PyObject *addressarray_to_strings(PyObject *self, PyObject *unused) {
  (void)unused;
  const AddressArrayObject *arr = self_array(self);
  return items_list(arr, arr->count, 1);
}

/* tolist(): IPv4Address / IPv6Address per slot, None at nulls. */
static PyObject *addressarray_tolist(PyObject *self, PyObject *unused) {
  (void)unused;
  const AddressArrayObject *arr = self_array(self);
  return items_list(arr, arr->count, 0);
}

/* ---- comparison, repr, Arrow export ---------------------------------------------- */

/* a == b: the same slots (family, bytes, nullness) in the same order;
 * records are zero-filled, so whole arrays compare with memcmp. */
static PyObject *addressarray_richcompare(PyObject *self, PyObject *other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, addressarray_type))
    Py_RETURN_NOTIMPLEMENTED;
  const AddressArrayObject *a = self_array(self), *b = self_array(other);
  int equal = a->count == b->count && a->null_count == b->null_count &&
              memcmp(a->addrs, b->addrs, (size_t)a->count * sizeof *a->addrs) == 0;
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

/* repr(): the first REPR_ITEMS texts, and the length when there are more. */
static PyObject *addressarray_repr(PyObject *self) {
  const AddressArrayObject *arr = self_array(self);
  int more = arr->count > REPR_ITEMS;
  PyObject *head = items_list(arr, more ? REPR_ITEMS : arr->count, 1);
  if (head == NULL) return NULL;
  PyObject *result = NULL;
  if (!more) {
    result = PyUnicode_FromFormat("AddressArray(%R)", head);
  } else {
    /* "['a', 'b']" without its ']', then the elision and the length. */
    PyObject *text = PyObject_Repr(head);
    PyObject *open =
        text != NULL ? PyUnicode_Substring(text, 0, PyUnicode_GetLength(text) - 1) : NULL;
    if (open != NULL)
      result = PyUnicode_FromFormat("AddressArray(%U, ...], length=%zd)", open, arr->count);
    Py_XDECREF(open);
    Py_XDECREF(text);
  }
  Py_DECREF(head);
  return result;
}

/* The Arrow methods take an optional requested_schema, which the protocol
 * lets a producer ignore. */
static int parse_requested_schema(PyObject *args, PyObject *kwargs) {
  static char *kwlist[] = {"requested_schema", NULL};
  PyObject *requested = Py_None;
  return PyArg_ParseTupleAndKeywords(args, kwargs, "|O", kwlist, &requested) ? 0 : -1;
}

/* __arrow_c_array__(requested_schema=None): the text column, nulls as nulls. */
static PyObject *addressarray_arrow_c_array(PyObject *self, PyObject *args, PyObject *kwargs) {
  if (parse_requested_schema(args, kwargs) < 0) return NULL;
  return binding_arrow_export_text(self_array(self));
}

/* __arrow_c_stream__(requested_schema=None): a stream of that one array. */
static PyObject *addressarray_arrow_c_stream(PyObject *self, PyObject *args, PyObject *kwargs) {
  if (parse_requested_schema(args, kwargs) < 0) return NULL;
  PyObject *pair = binding_arrow_export_text(self_array(self));
  if (pair == NULL) return NULL;
  PyObject *stream = binding_arrow_stream_of(pair);
  Py_DECREF(pair);
  return stream;
}

/* ---- pickling ------------------------------------------------------------------------ */

/*
 * The state after the version byte; counts are unsigned 64-bit
 * little-endian whatever the host:
 *   count       slots
 *   null_count  null slots
 *   v6_count    IPv6 slots (the IPv4 count is what remains)
 *   validity    ceil(count / 8) bytes, only when null_count > 0: bit i
 *               (least significant first) set where slot i is present
 *   v6 bits     ceil(count / 8) bytes, only when both families occur: bit i
 *               set where slot i is IPv6 (never at a null)
 *   addresses   4 or 16 network-order bytes per present slot, in order
 * Bits past `count` are zero.  A column of one family without nulls is the
 * 24-byte header and its packed addresses.
 */
#define STATE_HEADER 24

/* Where each part of a state lies, from its three counts. */
typedef struct {
  Py_ssize_t count, nulls, v6, v4;
  size_t bitmap;       /* bytes of one bitmap */
  int has_validity;    /* null_count > 0 */
  int has_family_bits; /* both families occur */
  size_t total;        /* bytes after the version byte */
} array_layout;

/* The layout of counts that agree (nulls + v6 <= count, and count small
 * enough that 16 * count and both bitmaps stay far inside size_t). */
static void layout_of(Py_ssize_t count, Py_ssize_t nulls, Py_ssize_t v6, array_layout *l) {
  l->count = count;
  l->nulls = nulls;
  l->v6 = v6;
  l->v4 = count - nulls - v6;
  l->bitmap = ((size_t)count + 7) / 8;
  l->has_validity = nulls > 0;
  l->has_family_bits = v6 > 0 && l->v4 > 0;
  l->total = STATE_HEADER + (l->has_validity ? l->bitmap : 0) +
             (l->has_family_bits ? l->bitmap : 0) + 4u * (size_t)l->v4 + 16u * (size_t)l->v6;
}

static inline int bit_at(const uint8_t *bits, Py_ssize_t i) {
  return (bits[i >> 3] >> (i & 7)) & 1;
}

static inline void set_bit(uint8_t *bits, Py_ssize_t i) {
  bits[i >> 3] |= (uint8_t)(1u << (i & 7));
}

/* Write the state of `arr` (after the version byte) to out[0..l->total). */
static void store_state(const AddressArrayObject *arr, const array_layout *l, uint8_t *out) {
  binding_state_store_u64(out, (uint64_t)l->count);
  binding_state_store_u64(out + 8, (uint64_t)l->nulls);
  binding_state_store_u64(out + 16, (uint64_t)l->v6);
  uint8_t *valid = out + STATE_HEADER;
  uint8_t *v6bits = valid + (l->has_validity ? l->bitmap : 0);
  uint8_t *p = v6bits + (l->has_family_bits ? l->bitmap : 0);
  memset(valid, 0, (size_t)(p - valid));
  for (Py_ssize_t i = 0; i < l->count; i++) {
    const tarn_addr_t *a = &arr->addrs[i];
    if (a->family == TARN_AF_UNSPEC) continue;
    if (l->has_validity) set_bit(valid, i);
    size_t n = binding_addr_len(a->family);
    if (n == 16 && l->has_family_bits) set_bit(v6bits, i);
    memcpy(p, a->addr.v6, n);
    p += n;
  }
}

/* __reduce__: the state above, written with the lock released for a large
 * column (the new bytes object is nobody else's yet). */
static PyObject *addressarray_reduce(PyObject *self, PyObject *unused) {
  (void)unused;
  const AddressArrayObject *arr = self_array(self);
  array_layout l;
  layout_of(arr->count, arr->null_count, arr->v6_count, &l);
  if (l.total >= (size_t)PY_SSIZE_T_MAX) return PyErr_NoMemory();
  PyObject *state = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)l.total + 1);
  if (state == NULL) return NULL;
  uint8_t *out = (uint8_t *)PyBytes_AsString(state);
  out[0] = BINDING_STATE_VERSION;
  BINDING_UNLOCKED(arr->count, store_state(arr, &l, out + 1));
  return binding_reduce(self, state);
}

/* What a load found wrong in the bitmaps, each with its message. */
typedef enum {
  LOAD_OK,
  LOAD_COUNTS,  /* the bitmaps mark other counts than the header */
  LOAD_V6_NULL, /* a v6 bit at a null slot */
  LOAD_PADDING, /* a bit set past the last slot */
} load_verdict;

static const char *const load_reasons[] = {
    [LOAD_OK] = "",
    [LOAD_COUNTS] = "its bitmaps disagree with the counts of its header",
    [LOAD_V6_NULL] = "a null slot is marked IPv6",
    [LOAD_PADDING] = "a bitmap has bits set past the last slot",
};

/* Whether a bitmap of `count` slots has a bit set past the last. */
static int padding_set(const uint8_t *bits, const array_layout *l) {
  unsigned used = (unsigned)(l->count & 7);
  return used != 0 && (bits[l->bitmap - 1] >> used) != 0;
}

/*
 * Fill the records of `f->arr` from a state of layout `l` (its total
 * already checked against the state's length).  The addresses are read in
 * slot order, and never more than the header's count of either family, so
 * no read passes the end whatever the bitmaps say; the counts are compared
 * at the end.  Touches no Python object.
 */
static load_verdict load_state(fill_state *f, const array_layout *l, const uint8_t *payload) {
  const uint8_t *valid = payload + STATE_HEADER;
  const uint8_t *v6bits = valid + (l->has_validity ? l->bitmap : 0);
  const uint8_t *p = v6bits + (l->has_family_bits ? l->bitmap : 0);
  if ((l->has_validity && padding_set(valid, l)) || (l->has_family_bits && padding_set(v6bits, l)))
    return LOAD_PADDING;
  tarn_family_t only = l->v6 > 0 ? TARN_AF_INET6 : TARN_AF_INET;
  Py_ssize_t left[2] = {l->v4, l->v6}; /* [0] IPv4, [1] IPv6 */
  for (Py_ssize_t i = 0; i < l->count; i++) {
    int is6 = l->has_family_bits ? bit_at(v6bits, i) : only == TARN_AF_INET6;
    if (l->has_validity && !bit_at(valid, i)) {
      if (l->has_family_bits && is6) return LOAD_V6_NULL;
      if (fill_null(f, i) < 0) return LOAD_OK; /* no_memory is set */
      continue;
    }
    if (left[is6]-- == 0) return LOAD_COUNTS;
    fill_bytes(f, i, is6 ? TARN_AF_INET6 : TARN_AF_INET, p);
    p += is6 ? 16 : 4;
  }
  return f->arr->null_count == l->nulls ? LOAD_OK : LOAD_COUNTS;
}

/* _from_state: the header's counts checked against each other and the
 * state's length before anything is allocated, then one pass over the
 * slots (with the lock released for a large column) that rebuilds the
 * records, the counts and the validity bitmap exactly as a constructor
 * leaves them. */
static PyObject *addressarray_from_state(PyObject *cls, PyObject *state) {
  static const char what[] = "AddressArray";
  Py_ssize_t len;
  const uint8_t *s = binding_state_payload(state, what, &len);
  if (s == NULL) return NULL;
  if (len < STATE_HEADER) {
    binding_restore_error(pytarn_InvalidArgumentError, what,
                          "the state holds %zd bytes after its version, fewer than its header",
                          len);
    return NULL;
  }
  uint64_t count = binding_state_load_u64(s), nulls = binding_state_load_u64(s + 8),
           v6 = binding_state_load_u64(s + 16);
  /* No state that fits in memory has more than 2^58 slots, so the layout's
   * sums cannot wrap. */
  if (count > (uint64_t)PY_SSIZE_T_MAX / 32 || nulls > count || v6 > count - nulls) {
    binding_restore_error(
        pytarn_InvalidArgumentError, what, "the counts disagree: %llu slots, %llu null, %llu IPv6",
        (unsigned long long)count, (unsigned long long)nulls, (unsigned long long)v6);
    return NULL;
  }
  array_layout l;
  layout_of((Py_ssize_t)count, (Py_ssize_t)nulls, (Py_ssize_t)v6, &l);
  if (l.total != (size_t)len) {
    binding_restore_error(pytarn_InvalidArgumentError, what,
                          "the state holds %zd bytes after its version, not %zu", len, l.total);
    return NULL;
  }
  AddressArrayObject *arr = array_alloc((PyTypeObject *)cls, l.count);
  if (arr == NULL) return NULL;
  fill_state f;
  fill_init(&f, arr, 0);
  load_verdict verdict = LOAD_OK;
  Py_INCREF(state); /* the bytes are read without the lock */
  BINDING_UNLOCKED(l.count, verdict = load_state(&f, &l, s));
  Py_DECREF(state);
  if (fill_raise(&f) < 0) {
    Py_DECREF(arr);
    return NULL;
  }
  if (verdict != LOAD_OK) {
    binding_restore_error(pytarn_InvalidArgumentError, what, "%s", load_reasons[verdict]);
    Py_DECREF(arr);
    return NULL;
  }
  return (PyObject *)arr;
}

/* ---- the type ---------------------------------------------------------------------- */

static PyMethodDef addressarray_methods[] = {
    {"from_packed", (PyCFunction)(void (*)(void))addressarray_from_packed,
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     PyDoc_STR("from_packed(buffer, family) -> AddressArray\n\nAddresses of one family from "
               "network-order bytes: bytes-like (format 'B'), numpy S4/S16 or V4/V16, or for "
               "AF_INET big-endian uint32 ('>u4'). Native-order integers are refused: use "
               "from_integers.")},
    {"from_integers", (PyCFunction)(void (*)(void))addressarray_from_integers,
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     PyDoc_STR("from_integers(values, family) -> AddressArray\n\nAddresses of one family from "
               "their numeric values: an integer buffer of any width and byte order (strided "
               "views too), or an iterable of ints and None (null).")},
    {"families", addressarray_families, METH_NOARGS,
     PyDoc_STR("families() -> ResultBuffer\n\nThe family of every slot as uint8: 4, 6, or 0 "
               "for a null.")},
    {"is_null", addressarray_is_null, METH_NOARGS,
     PyDoc_STR("is_null() -> ResultBuffer\n\nTrue at every null slot (bool).")},
    {"to_strings", addressarray_to_strings, METH_NOARGS,
     PyDoc_STR("to_strings() -> list\n\nThe canonical text of every address (as str() prints "
               "it), None at nulls.")},
    {"tolist", addressarray_tolist, METH_NOARGS,
     PyDoc_STR("tolist() -> list\n\nAn IPv4Address or IPv6Address per slot, None at nulls.")},
    {"to_packed", addressarray_to_packed, METH_NOARGS,
     PyDoc_STR("to_packed() -> ResultBuffer\n\nNetwork-order bytes ('4s' or '16s') of a "
               "one-family array; nulls are zero bytes and stay null. FamilyError for mixed "
               "families, InvalidArgumentError for an array without addresses.")},
    {"to_uint32", addressarray_to_uint32, METH_NOARGS,
     PyDoc_STR("to_uint32() -> ResultBuffer\n\nThe numeric value of every IPv4 address (native "
               "uint32); nulls are 0 and stay null. FamilyError if any address is IPv6.")},
    {"classify", addressarray_classify, METH_NOARGS,
     PyDoc_STR("classify() -> ResultBuffer\n\nThe classification bitmask of every address "
               "(uint32); nulls are 0 and stay null.")},
    {"within", addressarray_within, METH_O,
     PyDoc_STR("within(network) -> ResultBuffer\n\nTrue where the address lies in network "
               "(bool); addresses of the other family are False, nulls stay null.")},
    {"__arrow_c_array__", (PyCFunction)(void (*)(void))addressarray_arrow_c_array,
     METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("__arrow_c_array__(requested_schema=None) -> (schema, array)\n\nExport the "
               "canonical texts as an Arrow utf8 array, nulls as nulls.")},
    {"__arrow_c_stream__", (PyCFunction)(void (*)(void))addressarray_arrow_c_stream,
     METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("__arrow_c_stream__(requested_schema=None) -> capsule\n\nExport the canonical "
               "texts as an Arrow stream of one array.")},
    {"__reduce__", addressarray_reduce, METH_NOARGS, BINDING_REDUCE_DOC},
    {"_from_state", addressarray_from_state, METH_CLASS | METH_O, BINDING_FROM_STATE_DOC},
    {"__copy__", binding_copy, METH_NOARGS, BINDING_COPY_DOC},
    {"__deepcopy__", binding_deepcopy, METH_O, BINDING_DEEPCOPY_DOC},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef addressarray_getset[] = {
    {"family", addressarray_get_family, NULL,
     PyDoc_STR("4 or 6 when every address is of that family; 0 when there is none or both."), NULL},
    {"null_count", addressarray_get_null_count, NULL, PyDoc_STR("The number of null slots."), NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyType_Slot addressarray_slots[] = {
    {Py_tp_new, addressarray_new},
    {Py_tp_dealloc, addressarray_dealloc},
    {Py_tp_repr, addressarray_repr},
    {Py_tp_hash, PyObject_HashNotImplemented},
    {Py_tp_richcompare, addressarray_richcompare},
    {Py_tp_iter, addressarray_iter},
    {Py_sq_length, addressarray_length},
    {Py_sq_item, addressarray_item},
    {Py_mp_subscript, addressarray_subscript},
    {Py_tp_methods, addressarray_methods},
    {Py_tp_getset, addressarray_getset},
    {Py_tp_doc,
     (void *)PyDoc_STR(
         "AddressArray(values, *, errors='raise')\n\nAn immutable column of IPv4 and IPv6 "
         "addresses, with optional nulls. values: an AddressArray; an Arrow array or "
         "chunked array (utf8, large_utf8, utf8_view, fixed_size_binary(4 or 16), null); a "
         "numpy str_ or bytes_ array; or an iterable of str, None, address objects or "
         "objects with 'packed' bytes. errors='raise' raises ParseError for the first bad "
         "text; errors='null' makes bad texts null.")},
    {0, NULL},
};

PyType_Spec addressarray_spec = {"pytarn.AddressArray", sizeof(AddressArrayObject), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, addressarray_slots};
