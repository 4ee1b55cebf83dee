// A thin C++ layer over the CPython C API.
//
// Ref      an owning, move-only reference; a raw PyObject* is always borrowed.
// PyError  "a Python error is set" as a C++ exception; it carries the raised
//          exception object so that C++ code can catch, inspect and re-raise.
// check()  turns the C API's NULL / -1 failure convention into a PyError throw.
//
// No C++ exception may cross into the interpreter: every slot and method goes
// through a boundary (binding/boundary.h) that converts it back.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace varnhold {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (may be NULL).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed object (may be NULL).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (returning to the interpreter).
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  void reset() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    Py_XDECREF(p);
  }
  Ref dup() const noexcept { return borrow(p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Thrown while a Python exception is pending. The exception object is taken
// out of the thread state at construction and put back by restore().
class PyError {
 public:
  PyError() noexcept : exc_(Ref::steal(PyErr_GetRaisedException())) {}
  explicit PyError(Ref exc) noexcept : exc_(std::move(exc)) {}
  PyError(PyError&&) noexcept = default;
  PyError& operator=(PyError&&) noexcept = default;

  bool matches(PyObject* type) const noexcept {
    return exc_ && PyErr_GivenExceptionMatches(exc_.get(), type);
  }
  PyObject* value() const noexcept { return exc_.get(); }
  // Sets the exception as the pending one again.
  void restore() noexcept {
    if (exc_) PyErr_SetRaisedException(exc_.release());
  }

 private:
  Ref exc_;
};

[[noreturn]] inline void throw_error() { throw PyError(); }

[[noreturn]] inline void raise(PyObject* type, const char* msg) {
  PyErr_SetString(type, msg);
  throw PyError();
}

template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* fmt, A... args) {
  PyErr_Format(type, fmt, args...);
  throw PyError();
}

inline Ref check(PyObject* p) {
  if (!p) throw PyError();
  return Ref::steal(p);
}
inline int check(int rc) {
  if (rc < 0) throw PyError();
  return rc;
}
inline Py_ssize_t check_size(Py_ssize_t n) {
  if (n < 0 && PyErr_Occurred()) throw PyError();
  return n;
}

// Truth value in the interpreter's sense.
inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// o[key], raising the interpreter's error (KeyError for a dict).
inline Ref getitem(PyObject* o, PyObject* key) {
  if (PyDict_CheckExact(o)) {
    PyObject* v = nullptr;
    int rc = PyDict_GetItemRef(o, key, &v);
    if (rc < 0) throw PyError();
    if (rc == 0) {
      // KeyError with the key as its single argument, as dict[key] raises.
      PyObject* exc = PyObject_CallOneArg(PyExc_KeyError, key);
      if (exc) {
        PyErr_SetObject(PyExc_KeyError, exc);
        Py_DECREF(exc);
      }
      throw PyError();
    }
    return Ref::steal(v);
  }
  return check(PyObject_GetItem(o, key));
}

// record.get(key): an empty Ref when an exact dict lacks the key; any other
// object has its own `get` method called (which answers None when missing).
// Callers treat a missing key and None alike, as `.get` does.
// `get_name` is the interned "get".
inline Ref dict_get(PyObject* o, PyObject* key, PyObject* get_name) {
  if (PyDict_CheckExact(o)) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(o, key, &v) < 0) throw PyError();
    return Ref::steal(v);
  }
  PyObject* args[] = {o, key};
  return check(PyObject_VectorcallMethod(get_name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// The mapping operations as Python code spells them on a container the
// host may have replaced: an exact dict through the C API (the same result,
// without the method call), anything else through its own methods, so that a
// dict subclass's override runs and an object without the method raises the
// AttributeError that Python code would. `name` is the interned method name.
//
//   m.get(key, dflt)        -> mapping_get(m, key, dflt, get)
//   m.setdefault(key, dflt) -> mapping_setdefault(m, key, dflt, setdefault)
//   m.pop(key, dflt)        -> mapping_pop(m, key, dflt, pop)
//   m[key] = value          -> setitem(m, key, value)
//   del m[key]              -> delitem(m, key)
//   key in c                -> contains(c, key)
inline Ref call_method_args(PyObject* o, PyObject* name, PyObject* a, PyObject* b = nullptr) {
  PyObject* args[] = {o, a, b};
  size_t n = b ? 3 : 2;
  return check(PyObject_VectorcallMethod(name, args, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref mapping_get(PyObject* m, PyObject* key, PyObject* dflt, PyObject* get_name) {
  if (PyDict_CheckExact(m)) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(m, key, &v) < 0) throw PyError();
    return v ? Ref::steal(v) : Ref::borrow(dflt);
  }
  return call_method_args(m, get_name, key, dflt);
}

inline Ref mapping_setdefault(PyObject* m, PyObject* key, PyObject* dflt, PyObject* name) {
  if (PyDict_CheckExact(m)) {
    PyObject* v = nullptr;
    if (PyDict_SetDefaultRef(m, key, dflt, &v) < 0) throw PyError();
    return Ref::steal(v);
  }
  return call_method_args(m, name, key, dflt);
}

// m.pop(key, dflt); with dflt NULL, m.pop(key) (KeyError when missing).
inline Ref mapping_pop(PyObject* m, PyObject* key, PyObject* dflt, PyObject* name) {
  if (PyDict_CheckExact(m)) {
    PyObject* v = nullptr;
    int rc = PyDict_Pop(m, key, &v);
    if (rc < 0) throw PyError();
    if (rc == 1) return Ref::steal(v);
    if (dflt) return Ref::borrow(dflt);
    PyObject* exc = PyObject_CallOneArg(PyExc_KeyError, key);
    if (exc) {
      PyErr_SetObject(PyExc_KeyError, exc);
      Py_DECREF(exc);
    }
    throw PyError();
  }
  return call_method_args(m, name, key, dflt);
}

inline void setitem(PyObject* m, PyObject* key, PyObject* value) {
  check(PyDict_CheckExact(m) ? PyDict_SetItem(m, key, value) : PyObject_SetItem(m, key, value));
}

inline void delitem(PyObject* m, PyObject* key) {
  check(PyDict_CheckExact(m) ? PyDict_DelItem(m, key) : PyObject_DelItem(m, key));
}

inline bool contains(PyObject* c, PyObject* key) {
  return check(PyDict_CheckExact(c) ? PyDict_Contains(c, key) : PySequence_Contains(c, key)) != 0;
}

// len(o)
inline Py_ssize_t length(PyObject* o) {
  Py_ssize_t n = PyObject_Size(o);
  if (n < 0) throw PyError();
  return n;
}

inline Ref new_int(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref new_float(double v) { return check(PyFloat_FromDouble(v)); }
inline Ref new_str(const char* s) { return check(PyUnicode_FromString(s)); }

inline Ref call0(PyObject* f) { return check(PyObject_CallNoArgs(f)); }
inline Ref call1(PyObject* f, PyObject* a) { return check(PyObject_CallOneArg(f, a)); }
inline Ref call_method0(PyObject* o, PyObject* name) {
  return check(PyObject_CallMethodNoArgs(o, name));
}
inline Ref call_method1(PyObject* o, PyObject* name, PyObject* a) {
  return check(PyObject_CallMethodOneArg(o, name, a));
}
inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }

// `for item in seq: if f(item): break`, walking an exact list by index as
// its iterator does (so that a list changed meanwhile is seen as Python sees
// it). f takes a borrowed item and returns true to stop.
template <class F>
void for_each_item(PyObject* seq, F&& f) {
  if (PyList_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(seq, i));
      if (f(item.get())) return;
    }
    return;
  }
  Ref it = check(PyObject_GetIter(seq));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item = Ref::steal(raw);
    if (f(item.get())) return;
  }
  if (PyErr_Occurred()) throw PyError();
}

// Runs a callable on scope exit unless dismissed. The callable must not throw.
template <class F>
class Finally {
 public:
  explicit Finally(F f) : f_(std::move(f)) {}
  Finally(const Finally&) = delete;
  ~Finally() {
    if (armed_) f_();
  }
  void dismiss() { armed_ = false; }

 private:
  F f_;
  bool armed_ = true;
};

// Runs f() with `handled` as the exception being handled, as the body of an
// `except` clause runs: an error raised inside carries it as __context__.
template <class F>
auto while_handling(PyObject* handled, F&& f) {
  PyObject* prev = PyErr_GetHandledException();
  PyErr_SetHandledException(handled);
  Finally restore([prev] {
    PyErr_SetHandledException(prev);
    Py_XDECREF(prev);
  });
  return f();
}

}  // namespace varnhold
