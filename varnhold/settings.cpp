// Configuration settings and name normalisers.
#include "varnhold/settings.h"

#include <array>

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/types.h"

namespace varnhold {

namespace {

// os.environ.get(name), through the module's current `os`; NULL when unset.
Ref environ_get(ModuleState* st, PyObject* name) {
  Ref os = module_attr(st, st->s_os);
  Ref environ = check(PyObject_GetAttrString(os.get(), "environ"));
  Ref v = call_method1(environ.get(), st->s_get, name);
  if (v.get() == Py_None) return Ref();
  return v;
}

bool is_empty_text(PyObject* v) {
  return !v || (PyUnicode_Check(v) && PyUnicode_GET_LENGTH(v) == 0);
}

// value.strip().lower(), skipping the copies when nothing would change.
Ref strip_lower(PyObject* value) {
  if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    const unsigned char* s = PyUnicode_1BYTE_DATA(value);
    bool clean = n > 0 && !Py_ISSPACE(s[0]) && !Py_ISSPACE(s[n - 1]);
    for (Py_ssize_t i = 0; clean && i < n; ++i) clean = !Py_ISUPPER(s[i]);
    if (clean) return Ref::borrow(value);
  }
  Ref stripped = check(PyObject_CallMethod(value, "strip", nullptr));
  return check(PyObject_CallMethod(stripped.get(), "lower", nullptr));
}

Ref normalize(ModuleState* st, PyObject* value, PyObject* default_name, PyObject* valid_name) {
  if (value == Py_None || !truthy(value) || !PyUnicode_Check(value)) {
    return module_attr(st, default_name);
  }
  Ref v = strip_lower(value);
  Ref valid = module_attr(st, valid_name);
  if (check(PySequence_Contains(valid.get(), v.get()))) return v;
  return module_attr(st, default_name);
}

ModuleState* st_of(PyObject* module) { return module_state(module); }

PyObject* py_env_bool(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    static const Signature sig{"_env_bool", 0, 2, 1, 0, {"name", "default"}};
    std::array<PyObject*, 2> a;
    parse_args(sig, args, nargs, kw, a);
    return env_bool(st_of(module), a[0], a[1] ? a[1] : Py_False);
  });
}

PyObject* py_env_int(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    static const Signature sig{"_env_int", 0, 2, 2, 0, {"name", "default"}};
    std::array<PyObject*, 2> a;
    parse_args(sig, args, nargs, kw, a);
    return env_int(st_of(module), a[0], a[1]);
  });
}

PyObject* py_env_float(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    static const Signature sig{"_env_float", 0, 2, 2, 0, {"name", "default"}};
    std::array<PyObject*, 2> a;
    parse_args(sig, args, nargs, kw, a);
    return env_float(st_of(module), a[0], a[1]);
  });
}

PyObject* py_normalize_routing_mode(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
  return guard([&] {
    static const Signature sig{"normalize_routing_mode", 0, 1, 1, 0, {"value"}};
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    return normalize_routing_mode(st_of(module), a[0]);
  });
}

PyObject* py_normalize_lb_algorithm(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
  return guard([&] {
    static const Signature sig{"normalize_lb_algorithm", 0, 1, 1, 0, {"value"}};
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    return normalize_lb_algorithm(st_of(module), a[0]);
  });
}

}  // namespace

Ref env_bool(ModuleState* st, PyObject* name, PyObject* dflt) {
  Ref raw = environ_get(st, name);
  if (is_empty_text(raw.get())) return Ref::borrow(dflt);
  if (!truthy(raw.get())) return Ref::borrow(dflt);
  Ref v = strip_lower(raw.get());
  static const char* const kTrue[] = {"1", "true", "yes", "on"};
  for (const char* t : kTrue) {
    if (PyUnicode_Check(v.get()) && PyUnicode_CompareWithASCIIString(v.get(), t) == 0) {
      return Ref::borrow(Py_True);
    }
  }
  return Ref::borrow(Py_False);
}

namespace {

// Converts with conv (int() or float()); the default on ValueError.
Ref env_number(ModuleState* st, PyObject* name, PyObject* dflt, PyObject* (*conv)(PyObject*)) {
  Ref raw = environ_get(st, name);
  PyObject* value = is_empty_text(raw.get()) ? dflt : raw.get();
  PyObject* r = conv(value);
  if (r) return Ref::steal(r);
  if (PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    return Ref::borrow(dflt);
  }
  throw PyError();
}

}  // namespace

Ref env_int(ModuleState* st, PyObject* name, PyObject* dflt) {
  return env_number(st, name, dflt, PyNumber_Long);
}

Ref env_float(ModuleState* st, PyObject* name, PyObject* dflt) {
  return env_number(st, name, dflt, PyNumber_Float);
}

Ref normalize_routing_mode(ModuleState* st, PyObject* value) {
  return normalize(st, value, st->s_DEFAULT_ROUTING_MODE, st->s_VALID_ROUTING_MODES);
}

Ref normalize_lb_algorithm(ModuleState* st, PyObject* value) {
  return normalize(st, value, st->s_DEFAULT_LB_ALGORITHM, st->s_VALID_LB_ALGORITHMS);
}

PyMethodDef env_bool_def = {"_env_bool", fastcall(py_env_bool), METH_FASTCALL | METH_KEYWORDS,
                            "Reads a boolean setting from the environment."};
PyMethodDef env_int_def = {"_env_int", fastcall(py_env_int), METH_FASTCALL | METH_KEYWORDS,
                           "Reads an integer setting from the environment."};
PyMethodDef env_float_def = {"_env_float", fastcall(py_env_float), METH_FASTCALL | METH_KEYWORDS,
                             "Reads a floating-point setting from the environment."};
PyMethodDef normalize_routing_mode_def = {
    "normalize_routing_mode", fastcall(py_normalize_routing_mode), METH_FASTCALL | METH_KEYWORDS,
    "Maps a configured routing mode onto a valid one (the default when unknown)."};
PyMethodDef normalize_lb_algorithm_def = {
    "normalize_lb_algorithm", fastcall(py_normalize_lb_algorithm), METH_FASTCALL | METH_KEYWORDS,
    "Maps a cluster's algorithm name onto a valid one (the default when unknown)."};

}  // namespace varnhold
