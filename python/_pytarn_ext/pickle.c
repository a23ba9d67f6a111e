/*
 * pickle.c - the one way every pytarn object is pickled.
 *
 * An object reduces to (pytarn._restore, (type(obj), state)) and, when the
 * instance of a subclass carries a __dict__, that dict as the third item.
 * `state` is bytes: a version byte, then the type's own compact layout
 * (packed addresses and lengths, never text).  _restore hands the state to
 * the class's private `_from_state` classmethod, which validates every byte
 * before it builds anything: a state from a hostile or damaged pickle gets an
 * InvalidArgumentError naming what is wrong, never an object that
 * misbehaves later.  A later release that changes a layout bumps the version
 * byte of that type and keeps reading the old one.
 *
 * The class travels by reference, so subclasses come back as themselves;
 * _restore accepts only classes derived from the module's own types, so a
 * pickle cannot route a state to an unrelated callable through it.
 */
#include <string.h>

#include "pytarn_ext.h"

/* pytarn._restore, kept from module initialisation on. */
static PyObject *restore_func;

int binding_pickle_init(PyObject *module) {
  restore_func = PyObject_GetAttrString(module, "_restore");
  return restore_func != NULL ? 0 : -1;
}

void binding_pickle_clear(void) { Py_CLEAR(restore_func); }

PyObject *binding_reduce(PyObject *self, PyObject *state) {
  if (state == NULL) return NULL;
  PyObject *cls = (PyObject *)Py_TYPE(self);
  PyObject *dict = NULL;
  /* Only instances of Python subclasses have a __dict__ worth keeping. */
  if (PyObject_HasAttrString(self, "__dict__")) {
    dict = PyObject_GetAttrString(self, "__dict__");
    if (dict == NULL) {
      Py_DECREF(state);
      return NULL;
    }
    if (!PyDict_Check(dict) || PyDict_Size(dict) == 0) Py_CLEAR(dict);
  }
  PyObject *result = dict != NULL ? Py_BuildValue("O(ON)N", restore_func, cls, state, dict)
                                  : Py_BuildValue("O(ON)", restore_func, cls, state);
  return result;
}

const uint8_t *binding_state_payload(PyObject *state, const char *what, Py_ssize_t *len) {
  if (!PyBytes_Check(state)) {
    PyErr_Format(pytarn_InvalidArgumentError, "cannot restore %s: the state is not bytes", what);
    return NULL;
  }
  char *data;
  Py_ssize_t n;
  if (PyBytes_AsStringAndSize(state, &data, &n) < 0) return NULL;
  if (n < 1) {
    PyErr_Format(pytarn_InvalidArgumentError, "cannot restore %s: the state is empty", what);
    return NULL;
  }
  if ((uint8_t)data[0] != BINDING_STATE_VERSION) {
    PyErr_Format(pytarn_InvalidArgumentError,
                 "cannot restore %s: state version %d is not one this release reads (%d)", what,
                 (int)(uint8_t)data[0], BINDING_STATE_VERSION);
    return NULL;
  }
  *len = n - 1;
  return (const uint8_t *)data + 1;
}

/* _restore(cls, state): cls._from_state(state), for the module's classes. */
PyObject *pytarn_restore(PyObject *module, PyObject *args) {
  (void)module;
  PyObject *cls, *state;
  if (!PyArg_ParseTuple(args, "OO:_restore", &cls, &state)) return NULL;
  if (!PyType_Check(cls) || !binding_is_module_type((PyTypeObject *)cls)) {
    PyErr_SetString(pytarn_InvalidArgumentError,
                    "cannot restore: the class is not a pytarn type or a subclass of one");
    return NULL;
  }
  return PyObject_CallMethod(cls, "_from_state", "O", state);
}
