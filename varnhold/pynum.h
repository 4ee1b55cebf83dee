// Numbers, keys and reads with the interpreter's semantics:
//
// - comparisons and arithmetic as Python code does them, with shortcuts for
//   the exact int and float objects that normally flow through (same answers);
// - PyNum, the owned number that the shared rules (rules.h) compute with on
//   the general road;
// - which objects run no Python code when hashed, compared or converted
//   (builtin numbers, immutable keys, machine numbers): the fast road
//   (fast_road.h) is taken only over those;
// - the reads of the Python form in its own order: a pull iterator with the
//   `for` statement's semantics, `sum()` as the builtin computes it, and
//   `m.get(k, d)` with the method looked up before the key is evaluated.
#pragma once

#include <climits>
#include <cmath>
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
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);  // an exact int: no error
  if (v == -1 && PyErr_Occurred()) throw PyError();
  if (overflow || v > (1LL << 60) || v < -(1LL << 60)) return false;
  *out = v;
  return true;
}

// ---------------------------------------------------------------------------
// Objects that run no Python code

// An int, float or bool of the interpreter's own types: hashing one, and
// comparing or combining two, is C code.
inline bool builtin_number(PyObject* o) {
  return PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o);
}

// Integers up to this magnitude convert to a double exactly.
inline constexpr long long kExactDoubleInt = 1LL << 53;

// A number the fast road may hold as a C double with the same results as
// the object in every comparison and operation it makes: a float, a bool,
// or an int converted exactly (at most 2**53 in magnitude).
inline bool machine_number(PyObject* o, double* out) {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (PyBool_Check(o)) {
    *out = o == Py_True ? 1.0 : 0.0;
    return true;
  }
  long long v;
  if (!small_int(o, &v) || v > kExactDoubleInt || v < -kExactDoubleInt) return false;
  *out = static_cast<double>(v);
  return true;
}

// Whether pred(item) holds for every item of an exact list, tuple, set or
// frozenset (walking one runs no Python code); false for anything else.
template <class Pred>
bool all_items(PyObject* c, Pred&& pred) {
  if (PyList_CheckExact(c) || PyTuple_CheckExact(c)) {
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(c); ++i) {
      if (!pred(PySequence_Fast_GET_ITEM(c, i))) return false;
    }
    return true;
  }
  if (!PyAnySet_CheckExact(c)) return false;
  Ref it = check(PyObject_GetIter(c));
  bool all = true;
  while (PyObject* item = PyIter_Next(it.get())) {
    all = all && pred(item);
    Py_DECREF(item);
  }
  if (PyErr_Occurred()) throw PyError();
  return all;
}

// A hashable value whose hash and comparisons run no Python code: None, a
// str, a builtin number, or a tuple or frozenset of those (two levels deep).
inline bool immutable_key(PyObject* o, int depth = 0) {
  if (o == Py_None || PyUnicode_CheckExact(o) || builtin_number(o)) return true;
  if (depth > 2 || !(PyTuple_CheckExact(o) || PyFrozenSet_CheckExact(o))) return false;
  return all_items(o, [depth](PyObject* item) { return immutable_key(item, depth + 1); });
}

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

// ---------------------------------------------------------------------------
// PyNum: the general road's number for the shared rules

// An owned object used as a number: its operators are the interpreter's. A
// comparison gives the comparison's own result object (as `x < y` does in
// Python), whose truth is taken where the rule tests it.
class PyNum {
 public:
  explicit PyNum(Ref r) noexcept : r_(std::move(r)) {}
  // The object itself, with a reference of its own.
  static PyNum of(PyObject* o) noexcept { return PyNum(Ref::borrow(o)); }
  PyNum(const PyNum& o) noexcept : r_(o.r_.dup()) {}
  PyNum& operator=(const PyNum& o) noexcept {
    r_ = o.r_.dup();
    return *this;
  }
  PyNum(PyNum&&) noexcept = default;
  PyNum& operator=(PyNum&&) noexcept = default;

  PyObject* get() const noexcept { return r_.get(); }
  Ref take() && noexcept { return std::move(r_); }
  explicit operator bool() const { return truthy(r_.get()); }

 private:
  Ref r_;
};

inline PyNum compare(const PyNum& a, const PyNum& b, int op) {
  if (PyFloat_CheckExact(a.get()) && PyFloat_CheckExact(b.get())) {
    return PyNum::of(cmp(a.get(), b.get(), op) ? Py_True : Py_False);
  }
  return PyNum(check(PyObject_RichCompare(a.get(), b.get(), op)));
}
inline PyNum operator<(const PyNum& a, const PyNum& b) { return compare(a, b, Py_LT); }
inline PyNum operator<=(const PyNum& a, const PyNum& b) { return compare(a, b, Py_LE); }
inline PyNum operator>(const PyNum& a, const PyNum& b) { return compare(a, b, Py_GT); }
inline PyNum operator>=(const PyNum& a, const PyNum& b) { return compare(a, b, Py_GE); }
inline PyNum operator+(const PyNum& a, const PyNum& b) { return PyNum(add(a.get(), b.get())); }
inline PyNum operator-(const PyNum& a, const PyNum& b) { return PyNum(sub(a.get(), b.get())); }
inline PyNum operator*(const PyNum& a, const PyNum& b) { return PyNum(mul(a.get(), b.get())); }
inline PyNum operator/(const PyNum& a, const PyNum& b) { return PyNum(truediv(a.get(), b.get())); }

// `a += b` and `a -= b`.
inline PyNum inplace_add(const PyNum& a, const PyNum& b) {
  return PyNum(check(PyNumber_InPlaceAdd(a.get(), b.get())));
}
inline PyNum inplace_sub(const PyNum& a, const PyNum& b) {
  return PyNum(check(PyNumber_InPlaceSubtract(a.get(), b.get())));
}

// bool(x), int(x) and float(x).
inline bool truth(const PyNum& v) { return truthy(v.get()); }
inline PyNum to_int(const PyNum& v) { return PyNum(check(PyNumber_Long(v.get()))); }
inline PyNum to_float(const PyNum& v) { return PyNum(check(PyNumber_Float(v.get()))); }

template <class N>
struct Num;  // the literals of a number type (rules.h)

template <>
struct Num<PyNum> {
  static PyNum integer(long v) { return PyNum(check(PyLong_FromLong(v))); }
  static PyNum real(double v) { return PyNum(new_float(v)); }
  static PyNum truth_value(bool v) { return PyNum::of(v ? Py_True : Py_False); }
};

// ---------------------------------------------------------------------------
// The Python form's reads, in its order

// `for item in seq`: an exact list is walked by index as its iterator walks
// it (a list changed meanwhile is seen as Python sees it); anything else
// through its iterator, taken when the walk is made.
class ItemWalk {
 public:
  explicit ItemWalk(PyObject* seq) : seq_(Ref::borrow(seq)), list_(PyList_CheckExact(seq)) {
    if (!list_) it_ = check(PyObject_GetIter(seq));
  }
  // The next item, owned; empty at the end.
  Ref next() {
    if (list_) {
      if (!seq_ || index_ >= PyList_GET_SIZE(seq_.get())) {
        seq_.reset();  // an ended walk stays ended
        return Ref();
      }
      return Ref::borrow(PyList_GET_ITEM(seq_.get(), index_++));
    }
    PyObject* item = PyIter_Next(it_.get());
    if (!item && PyErr_Occurred()) throw PyError();
    return Ref::steal(item);
  }

 private:
  Ref seq_, it_;
  bool list_;
  Py_ssize_t index_ = 0;
};

// sum(items) with the start 0, as the builtin computes it: in C integers
// while the items are ints that fit, then in C doubles with its compensated
// summation while they are floats (or ints that fit), else by the items' own
// addition. `next` returns the next item, owned, or an empty Ref at the end.
template <class Next>
Ref builtin_sum(Next&& next) {
  Ref item;
  long i_result = 0;
  Ref result;
  for (;;) {
    item = next();
    if (!item) return check(PyLong_FromLong(i_result));
    if (PyLong_CheckExact(item.get()) || PyBool_Check(item.get())) {
      int overflow = 0;
      long b = PyLong_AsLongAndOverflow(item.get(), &overflow);
      if (!overflow && (i_result >= 0 ? b <= LONG_MAX - i_result : b >= LONG_MIN - i_result)) {
        i_result += b;
        continue;
      }
    }
    Ref start = check(PyLong_FromLong(i_result));
    result = add(start.get(), item.get());
    break;
  }
  if (PyFloat_CheckExact(result.get())) {
    double f_result = PyFloat_AS_DOUBLE(result.get());
    double c = 0.0;
    for (;;) {
      item = next();
      if (!item) {
        if (c != 0.0 && std::isfinite(c)) f_result += c;
        return new_float(f_result);
      }
      if (PyFloat_CheckExact(item.get())) {
        double x = PyFloat_AS_DOUBLE(item.get());
        double t = f_result + x;
        c += std::fabs(f_result) >= std::fabs(x) ? (f_result - t) + x : (x - t) + f_result;
        f_result = t;
        continue;
      }
      if (PyLong_Check(item.get())) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(item.get(), &overflow);
        if (!overflow) {
          f_result += static_cast<double>(v);
          continue;
        }
      }
      if (c != 0.0 && std::isfinite(c)) f_result += c;
      Ref partial = new_float(f_result);
      result = add(partial.get(), item.get());
      break;
    }
  }
  while ((item = next())) result = add(result.get(), item.get());
  return result;
}

// record.get(key) as a number for the rules: None for a key it lacks.
inline PyNum record_field(PyObject* record, PyObject* key, PyObject* get_name) {
  Ref v = dict_get(record, key, get_name);
  return v ? PyNum(std::move(v)) : PyNum::of(Py_None);
}

// m.get(key, dflt) where the key is an expression: `m.get` is looked up
// before the key is evaluated, as a call expression does (an object without
// `get` raises AttributeError first). An exact dict has nothing to look up.
template <class Key>
Ref get_with(PyObject* m, PyObject* get_name, Key&& key, PyObject* dflt) {
  if (PyDict_CheckExact(m)) {
    Ref k = key();
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(m, k.get(), &v) < 0) throw PyError();
    return v ? Ref::steal(v) : Ref::borrow(dflt);
  }
  Ref method = getattr(m, get_name);
  Ref k = key();
  PyObject* args[] = {k.get(), dflt};
  return check(PyObject_Vectorcall(method.get(), args, 2, nullptr));
}

}  // namespace varnhold
