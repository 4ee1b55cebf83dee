#include "varnhold/module_state.h"

#include <time.h>

namespace varnhold {

Ref module_attr(ModuleState* st, PyObject* name) {
  PyObject* v = nullptr;
  int rc = PyDict_GetItemRef(st->module_dict, name, &v);
  if (rc < 0) throw PyError();
  if (rc == 0) raise_format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref::steal(v);
}

namespace {

// True while `time` in the module namespace is the real time module and its
// `attr` is still the original builtin.
bool std_clock(ModuleState* st, PyObject* attr, PyObject* original) {
  PyObject* t = PyDict_GetItemWithError(st->module_dict, st->s_time);
  if (t != st->std_time) return false;
  PyObject* f = PyDict_GetItemWithError(PyModule_GetDict(t), attr);
  return f == original;
}

// Seconds as time.monotonic() converts its nanoseconds.
double ns_to_seconds(long long ns) {
  constexpr long long kSecond = 1000000000LL;
  if (ns % kSecond == 0) return static_cast<double>(ns / kSecond);
  return static_cast<double>(ns) / 1e9;
}

}  // namespace

double raw_monotonic() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ns_to_seconds(static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
}

double monotonic(ModuleState* st) {
  if (std_clock(st, st->s_monotonic, st->std_monotonic)) return raw_monotonic();
  if (PyErr_Occurred()) throw PyError();
  Ref v = monotonic_obj(st);
  double d = PyFloat_AsDouble(v.get());
  if (d == -1.0 && PyErr_Occurred()) throw PyError();
  return d;
}

Ref monotonic_obj(ModuleState* st) {
  if (std_clock(st, st->s_monotonic, st->std_monotonic)) return new_float(raw_monotonic());
  if (PyErr_Occurred()) throw PyError();
  Ref t = module_attr(st, st->s_time);
  return call_method0(t.get(), st->s_monotonic);
}

Ref wall_clock_obj(ModuleState* st) {
  if (std_clock(st, st->s_time, st->std_time_time)) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return new_float(ns_to_seconds(static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec));
  }
  if (PyErr_Occurred()) throw PyError();
  Ref t = module_attr(st, st->s_time);
  return call_method0(t.get(), st->s_time);
}

Ref new_deque(ModuleState* st, Py_ssize_t maxlen) {
  Ref dq = module_attr(st, st->s_deque);
  if (maxlen < 0) return call0(dq.get());
  Ref n = check(PyLong_FromSsize_t(maxlen));
  PyObject* args[] = {n.get()};
  Ref kw = check(PyTuple_Pack(1, st->s_maxlen));
  return check(PyObject_Vectorcall(dq.get(), args, 0, kw.get()));
}

void log(ModuleState* st, PyObject* level, const char* msg, std::initializer_list<PyObject*> args) {
  Ref logger = module_attr(st, st->s_logger);
  Ref meth = getattr(logger.get(), level);
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(args.size()) + 1));
  PyTuple_SET_ITEM(tuple.get(), 0, new_str(msg).release());
  Py_ssize_t i = 1;
  for (PyObject* a : args) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(a));
  check(PyObject_Call(meth.get(), tuple.get(), nullptr));
}

}  // namespace varnhold
