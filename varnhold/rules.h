// The small rules that more than one operation applies, each written once:
// the fixed sizes and floors of the state, and the readings of a backend
// record that the drain rule, the picks and the caps share.
#pragma once

#include "varnhold/module_state.h"
#include "varnhold/py.h"

namespace varnhold {

// Recent queue waits kept for the reports (queue_wait_samples' maxlen).
inline constexpr Py_ssize_t kWaitSamples = 512;
// Dispatch times kept per pool (each _pool_dispatch_windows deque's maxlen).
inline constexpr Py_ssize_t kDispatchWindow = 4096;
// The rate window is never shorter than this (seconds).
inline constexpr double kRateWindowFloor = 0.5;
// The age of the oldest dispatch divides the count, floored at this (seconds).
inline constexpr double kRateAgeFloor = 0.001;
// The snapshot reports a 95th percentile only from this many samples on.
inline constexpr Py_ssize_t kP95MinSamples = 20;

// `int(raw or 0)`: a record's numeric limit ("max_concurrency",
// "max_input_tokens") as the caps, the queue ceiling and the token-fit
// ordering read it, from the value as read (NULL when the key is missing,
// which `.get` reads as None). Runs the value's own __bool__ and __int__.
inline Ref int_or_zero(PyObject* raw) {
  if (!raw || raw == Py_None || !truthy(raw)) return new_int(0);
  if (PyLong_CheckExact(raw)) return Ref::borrow(raw);  // int(x) is x
  return check(PyNumber_Long(raw));
}

// The same as a machine integer, when the value gives one without running
// any code (missing, None, a bool, an int that fits, a finite float); false
// otherwise, with nothing done.
inline bool int_or_zero_exact(PyObject* raw, long long* out) {
  if (!raw || raw == Py_None || raw == Py_False) {
    *out = 0;
    return true;
  }
  if (raw == Py_True) {
    *out = 1;
    return true;
  }
  if (PyLong_CheckExact(raw)) {
    PyLongObject* v = reinterpret_cast<PyLongObject*>(raw);
    if (PyUnstable_Long_IsCompact(v)) {
      *out = PyUnstable_Long_CompactValue(v);
      return true;
    }
    int overflow = 0;
    *out = PyLong_AsLongLongAndOverflow(raw, &overflow);
    return overflow == 0;
  }
  if (PyFloat_CheckExact(raw)) {
    double d = PyFloat_AS_DOUBLE(raw);
    // 2**63 as a double; the truncation of anything below it fits.
    constexpr double kBound = 9223372036854775808.0;
    if (!(d > -kBound && d < kBound)) return false;  // NaN and infinities too
    *out = static_cast<long long>(d);  // truncates toward zero, as int() does
    return true;
  }
  return false;
}

// isinstance(o, type) for a type whose metaclass is `type` (str, list, dict,
// int), after the type check itself (PyUnicode_Check(o), ...) said no:
// isinstance() then consults the object's `__class__`, which for an instance
// of a class of the host may be host code. Instances of built-in types
// answer without running any.
inline bool is_foreign(PyObject* o) { return PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_HEAPTYPE); }
inline bool instance_by_class(PyObject* o, PyTypeObject* type) {
  if (!is_foreign(o)) return false;
  Ref hold = Ref::borrow(o);
  return check(PyObject_IsInstance(o, reinterpret_cast<PyObject*>(type))) != 0;
}

}  // namespace varnhold
