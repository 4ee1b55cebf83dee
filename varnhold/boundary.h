// The boundary between the interpreter and C++: every slot and method body
// runs inside guard(), which turns a C++ exception back into a Python error.
#pragma once

#include <exception>
#include <new>

#include "varnhold/py.h"

namespace varnhold {

// Converts the exception in flight into a pending Python error.
inline void translate_exception() noexcept {
  try {
    throw;
  } catch (PyError& e) {
    e.restore();
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
  }
}

// Runs f() returning a Ref; NULL with an error set on failure.
template <class F>
PyObject* guard(F&& f) noexcept {
  try {
    return f().release();
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

// The same for int-returning slots (0 / -1).
template <class F>
int guard_int(F&& f) noexcept {
  try {
    f();
    return 0;
  } catch (...) {
    translate_exception();
    return -1;
  }
}

}  // namespace varnhold
