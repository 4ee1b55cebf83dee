// Arithmetic and comparisons with the interpreter's semantics, with fast
// paths for the exact int and float objects that normally flow through.
#pragma once

#include "varnhold/py.h"

namespace varnhold {

// a <op> b as `bool(a <op> b)`.
inline bool cmp(PyObject* a, PyObject* b, int op) {
  if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
    double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
    switch (op) {
      case Py_LT: return x < y;
      case Py_LE: return x <= y;
      case Py_GT: return x > y;
      case Py_GE: return x >= y;
      case Py_EQ: return x == y;
      default: return x != y;
    }
  }
  return check(PyObject_RichCompareBool(a, b, op)) != 0;
}

// max(a, b) and min(a, b) as the builtins pick: the first extreme wins.
inline Ref py_max(PyObject* a, PyObject* b) { return Ref::borrow(cmp(b, a, Py_GT) ? b : a); }
inline Ref py_min(PyObject* a, PyObject* b) { return Ref::borrow(cmp(b, a, Py_LT) ? b : a); }

inline Ref add(PyObject* a, PyObject* b) { return check(PyNumber_Add(a, b)); }
inline Ref sub(PyObject* a, PyObject* b) { return check(PyNumber_Subtract(a, b)); }
inline Ref mul(PyObject* a, PyObject* b) { return check(PyNumber_Multiply(a, b)); }
inline Ref truediv(PyObject* a, PyObject* b) { return check(PyNumber_TrueDivide(a, b)); }

// A small exact int as a C integer; false when the object is anything else.
inline bool small_int(PyObject* o, long long* out) {
  if (!PyLong_CheckExact(o)) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  if (v > (1LL << 60) || v < -(1LL << 60)) return false;
  *out = v;
  return true;
}

}  // namespace varnhold
