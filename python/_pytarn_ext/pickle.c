/*
 * pickle.c - the one way every pytarn object is pickled and copied.
 *
 * An object reduces to (pytarn._restore, (type(obj), state)) and, when the
 * instance of a subclass carries state of its own, that state as the third
 * item.  `state` is bytes: a version byte, then the type's own compact
 * layout (packed addresses and lengths, never text); an IPv4 address's is
 * an int, its version above the 32 address bits (see address.c).  _restore hands the
 * state to the class's private `_from_state` classmethod, which validates
 * every byte before it builds anything: a state from a hostile or damaged
 * pickle gets a TARNError naming the class and what is wrong, never an
 * object that misbehaves later.  A later release that changes a layout
 * bumps the version byte of that type and keeps reading the old one.
 *
 * The index's state is the size of its tables (tens of megabytes for a
 * routing table).  From protocol 5 on it goes as a PickleBuffer over those
 * bytes, so that a pickler with a buffer_callback sends it out of band, as
 * Dask and multiprocessing's shared memory do, without copying it into the
 * pickle, and the unpickler's buffer is read where it lies.  Scattering a
 * 32 MiB index to two Dask workers took 0.26 s in band and 0.16-0.21 s so.
 *
 * The class travels by reference, so subclasses come back as themselves;
 * _restore accepts only classes derived from the module's own types, so a
 * pickle cannot route a state to an unrelated callable through it.
 *
 * Pickling a million addresses makes a million reduce calls and a million
 * _restore calls, so both avoid every look-up that can be made once: the
 * module's own types and their bound `_from_state` methods are found at
 * import, and an instance of one of those types is known to carry nothing
 * beyond its state without asking it.  Only an instance of a Python
 * subclass is asked for its __getstate__() (the interpreter's default gives
 * its __dict__ and __slots__ values, None when it has none; a subclass may
 * define its own, and __setstate__ to read it back, as pickle allows).
 *
 * Copies follow the copy module's rules for objects that reduce: an
 * immutable object of one of the module's own types is its own copy, shallow
 * or deep; anything else (the iterators, which move, and every subclass
 * instance, whose extra state may be mutable) is rebuilt from its
 * __reduce__, with the extra state deep-copied through the memo for
 * deepcopy and handed to __setstate__ or set as pickle sets it.
 */
#include <stdarg.h>
#include <string.h>

#include "pytarn_ext.h"

/* pytarn._restore, kept from module initialisation on. */
static PyObject *restore_func;

/* copy.deepcopy, imported at the first deep copy that needs it. */
static PyObject *deepcopy_func;

/*
 * The module's own types (never a Python subclass) and each one's bound
 * `_from_state` (NULL for a type without one), found once at import.  The
 * module has about a dozen types; any beyond the table are still pickled
 * correctly, through the slow paths.
 */
#define OWN_TYPES_MAX 32
static struct {
  PyTypeObject *type;
  PyObject *from_state;
} own_types[OWN_TYPES_MAX];
static size_t own_count;

/* The slot of `type` in own_types, or -1 for any other class. */
static Py_ssize_t own_slot(PyTypeObject *type) {
  for (size_t i = 0; i < own_count; i++)
    if (own_types[i].type == type) return (Py_ssize_t)i;
  return -1;
}

int binding_pickle_init(PyObject *module) {
  restore_func = PyObject_GetAttrString(module, "_restore");
  if (restore_func == NULL) return -1;
  /* Every class in the module namespace that binding_is_module_type knows
   * is one of the module's own types (the exception classes are not). */
  PyObject *dict = PyModule_GetDict(module); /* borrowed */
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyType_Check(value) || !binding_is_module_type((PyTypeObject *)value)) continue;
    if (own_count == OWN_TYPES_MAX) break;
    PyObject *from_state = PyObject_GetAttrString(value, "_from_state");
    if (from_state == NULL) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
      PyErr_Clear();
    }
    Py_INCREF(value);
    own_types[own_count].type = (PyTypeObject *)value;
    own_types[own_count].from_state = from_state;
    own_count++;
  }
  return 0;
}

void binding_pickle_clear(void) {
  Py_CLEAR(restore_func);
  Py_CLEAR(deepcopy_func);
  for (size_t i = 0; i < own_count; i++) {
    Py_CLEAR(own_types[i].type);
    Py_CLEAR(own_types[i].from_state);
  }
  own_count = 0;
}

/* ---- reduce ----------------------------------------------------------------- */

/*
 * What a subclass instance adds to its state: self.__getstate__(), or NULL
 * with *extra NULL when that is None (nothing to restore).  -1 with an
 * exception when __getstate__ fails.
 */
static int subclass_state(PyObject *self, PyObject **extra) {
  *extra = NULL;
  PyObject *got = PyObject_CallMethod(self, "__getstate__", NULL);
  if (got == NULL) return -1;
  if (got == Py_None || (PyDict_CheckExact(got) && PyDict_Size(got) == 0)) {
    Py_DECREF(got);
    return 0;
  }
  *extra = got;
  return 0;
}

PyObject *binding_reduce(PyObject *self, PyObject *state) {
  if (state == NULL) return NULL;
  PyObject *extra = NULL;
  int own = own_slot(Py_TYPE(self)) >= 0;
  if (!own && subclass_state(self, &extra) < 0) {
    Py_DECREF(state);
    return NULL;
  }
  PyObject *args = PyTuple_Pack(2, (PyObject *)Py_TYPE(self), state);
  Py_DECREF(state);
  PyObject *result = NULL;
  /* A pickler keeps every args tuple in its memo to the end of the dump.
   * The interpreter untracks a tuple of untracked items by itself, but a
   * class is tracked, so a million (cls, state) pairs would stay with the
   * cycle collector and make each of its full passes over the memo cost
   * more than the whole dump.  No cycle can pass through the pair of one of
   * the module's own types: its items are a type that lives as long as the
   * module and a bytes or int object, and nothing else holds the new tuple. */
  if (args != NULL && own) PyObject_GC_UnTrack(args);
  if (args != NULL) {
    result = extra != NULL ? PyTuple_Pack(3, restore_func, args, extra)
                           : PyTuple_Pack(2, restore_func, args);
    Py_DECREF(args);
  }
  Py_XDECREF(extra);
  return result;
}

PyObject *binding_reduce_ex(PyObject *self, PyObject *(*reduce)(PyObject *, PyObject *)) {
  if (own_slot(Py_TYPE(self)) >= 0) return reduce(self, NULL);
  /* A subclass may define its own __reduce__, which must win as it does
   * under object.__reduce_ex__. */
  return PyObject_CallMethod(self, "__reduce__", NULL);
}

/* pickle.PickleBuffer, imported at the first pickle that wants it. */
static PyObject *pickle_buffer_type;

/* *slot, or module.name imported into it the first time; borrowed, NULL
 * with an exception when the import fails. */
static PyObject *imported_once(PyObject **slot, const char *module, const char *name) {
  if (*slot == NULL) {
    PyObject *m = PyImport_ImportModule(module);
    if (m == NULL) return NULL;
    *slot = PyObject_GetAttrString(m, name);
    Py_DECREF(m);
  }
  return *slot;
}

PyObject *binding_reduce_ex_buffer(PyObject *self, PyObject *protocol,
                                   PyObject *(*reduce)(PyObject *, PyObject *),
                                   PyObject *(*state_of)(PyObject *)) {
  const long p = PyLong_AsLong(protocol);
  if (p == -1 && PyErr_Occurred()) return NULL;
  if (p < 5 || own_slot(Py_TYPE(self)) < 0) return binding_reduce_ex(self, reduce);
  PyObject *buffer_type = imported_once(&pickle_buffer_type, "pickle", "PickleBuffer");
  if (buffer_type == NULL) return NULL;
  PyObject *state = state_of(self);
  if (state == NULL) return NULL;
  PyObject *buffer = PyObject_CallFunctionObjArgs(buffer_type, state, NULL);
  Py_DECREF(state);
  /* The (cls, buffer) pair holds no cycle either: the buffer holds bytes. */
  return binding_reduce(self, buffer);
}

/* ---- reading a state ---------------------------------------------------------- */

int binding_restore_error(PyObject *exc, const char *what, const char *format, ...) {
  va_list va;
  va_start(va, format);
  PyObject *reason = PyUnicode_FromFormatV(format, va);
  va_end(va);
  if (reason == NULL) return -1;
  PyErr_Format(exc, "cannot restore %s: %U", what, reason);
  Py_DECREF(reason);
  return -1;
}

/* The payload after a state's version byte, with *len its length; NULL with
 * an exception for an empty state or another version. */
static const uint8_t *state_after_version(const uint8_t *data, Py_ssize_t n, const char *what,
                                          Py_ssize_t *len) {
  if (n < 1) {
    binding_restore_error(pytarn_InvalidArgumentError, what, "the state is empty");
    return NULL;
  }
  if (data[0] != BINDING_STATE_VERSION) {
    binding_restore_error(pytarn_InvalidArgumentError, what,
                          "state version %d is not one this release reads (%d)", (int)data[0],
                          BINDING_STATE_VERSION);
    return NULL;
  }
  *len = n - 1;
  return data + 1;
}

const uint8_t *binding_state_payload(PyObject *state, const char *what, Py_ssize_t *len) {
  if (!PyBytes_Check(state)) {
    binding_restore_error(pytarn_InvalidArgumentError, what, "the state is not bytes");
    return NULL;
  }
  char *data;
  Py_ssize_t n;
  if (PyBytes_AsStringAndSize(state, &data, &n) < 0) return NULL;
  return state_after_version((const uint8_t *)data, n, what, len);
}

const uint8_t *binding_state_view(PyObject *state, const char *what, Py_buffer *view,
                                  Py_ssize_t *len) {
  if (PyObject_GetBuffer(state, view, PyBUF_SIMPLE) < 0) {
    PyErr_Clear();
    binding_restore_error(pytarn_InvalidArgumentError, what, "the state is not bytes");
    return NULL;
  }
  const uint8_t *payload = state_after_version(view->buf, view->len, what, len);
  if (payload == NULL) PyBuffer_Release(view);
  return payload;
}

const uint8_t *binding_state_exact(PyObject *state, const char *what, Py_ssize_t want) {
  Py_ssize_t len;
  const uint8_t *p = binding_state_payload(state, what, &len);
  if (p != NULL && len != want) {
    binding_restore_error(pytarn_InvalidArgumentError, what,
                          "the state holds %zd bytes after its version, not %zd", len, want);
    return NULL;
  }
  return p;
}

PyObject *binding_state_alloc(PyObject *cls) {
  allocfunc alloc = (allocfunc)PyType_GetSlot((PyTypeObject *)cls, Py_tp_alloc);
  return (alloc != NULL ? alloc : PyType_GenericAlloc)((PyTypeObject *)cls, 0);
}

/* _restore(cls, state): cls._from_state(state), for the module's classes. */
PyObject *pytarn_restore(PyObject *module, PyObject *args) {
  (void)module;
  PyObject *cls, *state;
  if (!PyArg_ParseTuple(args, "OO:_restore", &cls, &state)) return NULL;
  if (!PyType_Check(cls)) goto refuse;
  /* The module's own types first: no look-up, the method found at import. */
  Py_ssize_t slot = own_slot((PyTypeObject *)cls);
  if (slot >= 0 && own_types[slot].from_state != NULL) {
    /* An unpickler hands over the (cls, state) tuple it keeps in its memo
     * until the load ends; as in binding_reduce, a pair of one of the
     * module's types and a bytes or int object is no part of any cycle, and left
     * tracked, a million of them make the collector's full passes cost more
     * than the load itself. */
    if (PyBytes_CheckExact(state) || PyLong_CheckExact(state)) PyObject_GC_UnTrack(args);
    return PyObject_CallFunctionObjArgs(own_types[slot].from_state, state, NULL);
  }
  if (!binding_is_module_type((PyTypeObject *)cls)) goto refuse;
  return PyObject_CallMethod(cls, "_from_state", "O", state);

refuse:
  PyErr_SetString(pytarn_InvalidArgumentError,
                  "cannot restore: the class is not a pytarn type or a subclass of one");
  return NULL;
}

/* ---- copies ------------------------------------------------------------------- */

/*
 * Give the rebuilt `copy` the extra state of a reduce, as pickle's BUILD
 * does: through copy.__setstate__ when the class has one, else as a
 * __dict__ update and, for a (dict, slots) pair, one setattr per slot.
 */
static int apply_state(PyObject *copy, PyObject *extra) {
  PyObject *setstate = PyObject_GetAttrString(copy, "__setstate__");
  if (setstate != NULL) {
    PyObject *r = PyObject_CallFunctionObjArgs(setstate, extra, NULL);
    Py_DECREF(setstate);
    Py_XDECREF(r);
    return r != NULL ? 0 : -1;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  PyObject *dict_state = extra, *slot_state = NULL;
  if (PyTuple_Check(extra) && PyTuple_Size(extra) == 2) {
    dict_state = PyTuple_GetItem(extra, 0);
    slot_state = PyTuple_GetItem(extra, 1);
  }
  if (dict_state != Py_None) {
    PyObject *dict = PyObject_GetAttrString(copy, "__dict__");
    if (dict == NULL) return -1;
    PyObject *r = PyObject_CallMethod(dict, "update", "O", dict_state);
    Py_DECREF(dict);
    if (r == NULL) return -1;
    Py_DECREF(r);
  }
  if (slot_state != NULL && slot_state != Py_None) {
    PyObject *items = PyMapping_Items(slot_state);
    if (items == NULL) return -1;
    for (Py_ssize_t i = 0; i < PyList_Size(items); i++) {
      PyObject *kv = PyList_GetItem(items, i);
      if (PyObject_SetAttr(copy, PyTuple_GetItem(kv, 0), PyTuple_GetItem(kv, 1)) < 0) {
        Py_DECREF(items);
        return -1;
      }
    }
    Py_DECREF(items);
  }
  return 0;
}

/* copy.deepcopy(obj, memo), a new reference or NULL. */
static PyObject *deepcopy(PyObject *obj, PyObject *memo) {
  PyObject *func = imported_once(&deepcopy_func, "copy", "deepcopy");
  return func != NULL ? PyObject_CallFunctionObjArgs(func, obj, memo, NULL) : NULL;
}

/*
 * The copy of `self` made from its own __reduce__ (callable, args[,
 * state]); `memo` is the deepcopy memo, or NULL for a shallow copy.  As in
 * the copy module, the new object enters the memo before its state is
 * copied, so a __dict__ that refers back to the object copies to one that
 * refers to the copy.
 */
static PyObject *rebuild(PyObject *self, PyObject *memo) {
  PyObject *rv = PyObject_CallMethod(self, "__reduce__", NULL);
  if (rv == NULL) return NULL;
  PyObject *copy = NULL;
  Py_ssize_t n = PyTuple_Check(rv) ? PyTuple_Size(rv) : 0;
  PyObject *args = n >= 2 ? PyTuple_GetItem(rv, 1) : NULL;
  if (n < 2 || n > 3 || !PyTuple_Check(args)) {
    PyErr_SetString(PyExc_TypeError, "__reduce__ must give (callable, args[, state]) to copy");
    goto done;
  }
  copy = PyObject_Call(PyTuple_GetItem(rv, 0), args, NULL);
  if (copy == NULL) goto done;
  PyObject *extra = n == 3 ? PyTuple_GetItem(rv, 2) : Py_None;
  if (memo != NULL) {
    PyObject *key = PyLong_FromVoidPtr(self);
    int rc = key != NULL ? PyObject_SetItem(memo, key, copy) : -1;
    Py_XDECREF(key);
    if (rc < 0) goto fail;
  }
  if (extra != Py_None) {
    PyObject *copied = memo != NULL ? deepcopy(extra, memo) : (Py_INCREF(extra), extra);
    int rc = copied != NULL ? apply_state(copy, copied) : -1;
    Py_XDECREF(copied);
    if (rc < 0) goto fail;
  }
  goto done;

fail:
  Py_CLEAR(copy);
done:
  Py_DECREF(rv);
  return copy;
}

/* An immutable object of one of the module's own types is its own copy. */
static PyObject *copy_immutable(PyObject *self, PyObject *memo) {
  if (own_slot(Py_TYPE(self)) >= 0) return Py_NewRef(self);
  return rebuild(self, memo);
}

PyObject *binding_copy(PyObject *self, PyObject *unused) {
  (void)unused;
  return copy_immutable(self, NULL);
}

/* __deepcopy__(memo) through `copy_fn`; a memo of None (a direct call)
 * stands for a fresh one. */
static PyObject *deep_with_memo(PyObject *self, PyObject *memo,
                                PyObject *(*copy_fn)(PyObject *, PyObject *)) {
  if (memo != Py_None) return copy_fn(self, memo);
  PyObject *fresh = PyDict_New();
  if (fresh == NULL) return NULL;
  PyObject *copy = copy_fn(self, fresh);
  Py_DECREF(fresh);
  return copy;
}

PyObject *binding_deepcopy(PyObject *self, PyObject *memo) {
  return deep_with_memo(self, memo, copy_immutable);
}

PyObject *binding_copy_mutable(PyObject *self, PyObject *unused) {
  (void)unused;
  return rebuild(self, NULL);
}

PyObject *binding_deepcopy_mutable(PyObject *self, PyObject *memo) {
  return deep_with_memo(self, memo, rebuild);
}
