// Configuration settings and name normalisers.
#include "varnhold/settings.h"

#include "varnhold/rules.h"

namespace varnhold {

namespace {

// os.environ.get(name[, dflt]), through the module's current `os`.
Ref environ_get(ModuleState* st, PyObject* name, PyObject* dflt = nullptr) {
  Ref os = module_attr(st, st->s_os);
  Ref environ = getattr(os.get(), st->s_environ);
  return call_method_args(environ.get(), st->s_get, name, dflt);
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

// `if not value or not isinstance(value, str): return <default>`, then
// `v = value.strip().lower()` and `v if v in <valid> else <default>`, the
// default and the valid set read from the module when they are reached.
Ref normalize(ModuleState* st, PyObject* value, PyObject* default_name, PyObject* valid_name) {
  if (value == Py_None || !truthy(value) ||
      !(PyUnicode_Check(value) || instance_by_class(value, &PyUnicode_Type))) {
    return module_attr(st, default_name);
  }
  Ref v = strip_lower(st, value);
  Ref valid = module_attr(st, valid_name);
  if (contains(valid.get(), v.get())) return v;
  return module_attr(st, default_name);
}

// `v in ("1", "true", "yes", "on")`, as the tuple compares its items.
bool reads_true(PyObject* v) {
  static constexpr const char* kTrue[] = {"1", "true", "yes", "on"};
  if (PyUnicode_CheckExact(v)) {
    for (const char* t : kTrue) {
      if (PyUnicode_CompareWithASCIIString(v, t) == 0) return true;
    }
    return false;
  }
  for (const char* t : kTrue) {
    Ref text = new_str(t);
    if (check(PyObject_RichCompareBool(text.get(), v, Py_EQ))) return true;
  }
  return false;
}

}  // namespace

Ref env_bool(ModuleState* st, PyObject* name, PyObject* dflt) {
  Ref empty = check(PyUnicode_FromStringAndSize("", 0));
  Ref raw = environ_get(st, name, empty.get());
  if (!truthy(raw.get())) return Ref::borrow(dflt);
  Ref v = strip_lower(st, raw.get());
  return Ref::borrow(reads_true(v.get()) ? Py_True : Py_False);
}

namespace {

// `try: return conv(os.environ.get(name) or default)
//  except ValueError: return default`, conv being int() or float().
Ref env_number(ModuleState* st, PyObject* name, PyObject* dflt, PyObject* (*conv)(PyObject*)) {
  try {
    Ref raw = environ_get(st, name);
    PyObject* value = truthy(raw.get()) ? raw.get() : dflt;
    return check(conv(value));
  } catch (PyError& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    return Ref::borrow(dflt);
  }
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
