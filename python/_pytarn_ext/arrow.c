/* arrow.c - placeholder until the Arrow layer lands. */
#include "pytarn_ext.h"

int binding_arrow_import(PyObject *obj, binding_arrow_column *col) {
  (void)obj, (void)col;
  return 0;
}
void binding_arrow_column_release(binding_arrow_column *col) { (void)col; }
