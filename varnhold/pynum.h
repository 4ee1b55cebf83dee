// Arithmetic and comparisons with the interpreter's semantics, with fast
// paths for the exact int and float objects that normally flow through.
#pragma once

#include <cstring>

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
  if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
    *out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
    return true;
  }
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

namespace varnhold {

// Objects whose hashing, comparison and arithmetic run no Python code: while
// an operation touches only these, no other code can run in between, so a
// figure computed once in that operation stays what it would be recomputed.
inline bool plain_number(PyObject* o) {
  return PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o);
}

inline bool plain_key(PyObject* o, int depth = 0) {
  if (o == Py_None || PyUnicode_CheckExact(o) || plain_number(o)) return true;
  if (depth > 2) return false;
  if (PyTuple_CheckExact(o)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) {
      if (!plain_key(PyTuple_GET_ITEM(o, i), depth + 1)) return false;
    }
    return true;
  }
  if (PyFrozenSet_CheckExact(o) || PyAnySet_CheckExact(o)) {
    PyObject* it = PyObject_GetIter(o);
    if (!it) {
      PyErr_Clear();
      return false;
    }
    bool ok = true;
    while (PyObject* item = PyIter_Next(it)) {
      ok = ok && plain_key(item, depth + 1);
      Py_DECREF(item);
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      ok = false;
    }
    return ok;
  }
  return false;
}

}  // namespace varnhold

namespace varnhold {

// Equality of two exact str objects.
inline bool text_eq(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) {
    return false;
  }
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     PyUnicode_GET_LENGTH(a) * PyUnicode_KIND(a)) == 0;
}

// `a == b` as an `if` reads it: the comparison's result, then its truth (no
// identity shortcut, unlike containers).
inline bool py_eq(PyObject* a, PyObject* b) {
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return text_eq(a, b);
  if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
    return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
  }
  Ref r = check(PyObject_RichCompare(a, b, Py_EQ));
  if (r.get() == Py_True) return true;
  if (r.get() == Py_False) return false;
  return truthy(r.get());
}

}  // namespace varnhold
