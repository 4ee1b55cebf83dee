// Configuration settings and name normalisers.
#include "varnhold/settings.h"


namespace varnhold {

namespace {

// os.environ.get(name), through the module's current `os`; NULL when unset.
Ref environ_get(ModuleState* st, PyObject* name) {
  Ref os = module_attr(st, st->s_os);
  Ref environ = getattr(os.get(), st->s_environ);
  Ref v = call_method1(environ.get(), st->s_get, name);
  if (v.get() == Py_None) return Ref();
  return v;
}

bool is_empty_text(PyObject* v) {
  return !v || (PyUnicode_Check(v) && PyUnicode_GET_LENGTH(v) == 0);
}

// value.strip().lower(), skipping the copies when nothing would change.
Ref strip_lower(ModuleState* st, PyObject* value) {
  if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    const unsigned char* s = PyUnicode_1BYTE_DATA(value);
    bool clean = n > 0 && !Py_ISSPACE(s[0]) && !Py_ISSPACE(s[n - 1]);
    for (Py_ssize_t i = 0; clean && i < n; ++i) clean = !Py_ISUPPER(s[i]);
    if (clean) return Ref::borrow(value);
  }
  Ref stripped = call_method0(value, st->s_strip);
  return call_method0(stripped.get(), st->s_lower);
}

Ref normalize(ModuleState* st, PyObject* value, PyObject* default_name, PyObject* valid_name) {
  if (value == Py_None || !truthy(value) || !PyUnicode_Check(value)) {
    return module_attr(st, default_name);
  }
  Ref v = strip_lower(st, value);
  Ref valid = module_attr(st, valid_name);
  if (check(PySequence_Contains(valid.get(), v.get()))) return v;
  return module_attr(st, default_name);
}

}  // namespace

Ref env_bool(ModuleState* st, PyObject* name, PyObject* dflt) {
  Ref raw = environ_get(st, name);
  if (is_empty_text(raw.get())) return Ref::borrow(dflt);
  if (!truthy(raw.get())) return Ref::borrow(dflt);
  Ref v = strip_lower(st, raw.get());
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

}  // namespace varnhold
