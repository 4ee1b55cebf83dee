#include "varnhold/module_state.h"

#include <time.h>

namespace varnhold {

namespace detail {
uint64_t watch_epoch_counter = 1;
}

bool intern_names(ModuleState* st) {
#define VARNHOLD_INTERN(n)                      \
  st->s_##n = PyUnicode_InternFromString(#n);   \
  if (!st->s_##n) return false;
  VARNHOLD_NAMES(VARNHOLD_INTERN)
#undef VARNHOLD_INTERN
#define VARNHOLD_INTERN_TEXT(n, text)          \
  st->n = PyUnicode_InternFromString(text);    \
  if (!st->n) return false;
  VARNHOLD_TEXTS(VARNHOLD_INTERN_TEXT)
#undef VARNHOLD_INTERN_TEXT
  return true;
}

void clear_names(ModuleState* st) {
#define VARNHOLD_CLEAR_NAME(n) Py_CLEAR(st->s_##n);
  VARNHOLD_NAMES(VARNHOLD_CLEAR_NAME)
#undef VARNHOLD_CLEAR_NAME
#define VARNHOLD_CLEAR_TEXT(n, text) Py_CLEAR(st->n);
  VARNHOLD_TEXTS(VARNHOLD_CLEAR_TEXT)
#undef VARNHOLD_CLEAR_TEXT
}

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
  const NamespaceFacts& facts = namespace_facts(st);
  (void)original;
  return attr == st->s_monotonic ? facts.monotonic_std : facts.time_std;
}

// A plain number as a double, exactly (ints up to 2^53).
bool plain_double(PyObject* o, double* out) {
  if (!o) return false;
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (PyBool_Check(o)) {
    *out = o == Py_True ? 1.0 : 0.0;
    return true;
  }
  if (!PyLong_CheckExact(o)) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow || v > (1LL << 53) || v < -(1LL << 53)) return false;
  *out = static_cast<double>(v);
  return true;
}

// The builtins' max(a, b) and min(a, b): the first argument wins ties and NaN.
double py_maxd(double a, double b) { return b > a ? b : a; }
double py_mind(double a, double b) { return b < a ? b : a; }

void read_facts(ModuleState* st, NamespaceFacts& f) {
  PyObject* d = st->module_dict;
  auto get = [&](PyObject* name) { return PyDict_GetItemWithError(d, name); };
  f = NamespaceFacts();
  PyObject* t = get(st->s_time);
  if (t == st->std_time) {
    PyObject* td = PyModule_GetDict(t);
    f.monotonic_std = PyDict_GetItemWithError(td, st->s_monotonic) == st->std_monotonic;
    f.time_std = PyDict_GetItemWithError(td, st->s_time) == st->std_time_time;
  }
  PyObject* const names[] = {st->s_ROUTING_MODE_MAX_CONCURRENCY, st->s_ROUTING_MODE_QUEUE_ALL,
                             st->s_ROUTING_MODE_SUPERFAST, st->s_ROUTING_MODE_HYBRID};
  bool modes = true;
  for (int i = 0; i < 4; ++i) {
    PyObject* v = get(names[i]);
    modes = modes && v && PyUnicode_CheckExact(v);
    f.mode_names[i] = v;
  }
  if (!modes) {
    for (PyObject*& v : f.mode_names) v = nullptr;
  }
  f.have_superfast = plain_double(get(st->s_SUPERFAST_PER_SERVER_CAP), &f.superfast);
  double raw = 0;
  f.have_hybrid = plain_double(get(st->s_HYBRID_HOT_EXIT_RATIO), &raw) &&
                  plain_double(get(st->s_HYBRID_INFLIGHT_THRESHOLD), &f.inflight_threshold) &&
                  plain_double(get(st->s_HYBRID_RATE_THRESHOLD), &f.rate_threshold);
  f.ratio = py_maxd(0.0, py_mind(1.0, raw));
  double w = 0;
  f.have_window = plain_double(get(st->s_HYBRID_RATE_WINDOW_SEC), &w);
  f.window = py_maxd(0.5, w);
  PyObject* fn = get(st->s_normalize_lb_algorithm);
  f.normalizer_std = fn && fn == st->std_normalize_lb_algorithm;
  PyObject* sticky = get(st->s_LB_ALGO_STICKY);
  PyObject* least = get(st->s_LB_ALGO_LEAST_CONN);
  f.algo_sticky = sticky && PyUnicode_CheckExact(sticky) ? sticky : nullptr;
  f.algo_least = least && PyUnicode_CheckExact(least) ? least : nullptr;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    f = NamespaceFacts();
  }
}

// Seconds as time.monotonic() converts its nanoseconds.
double ns_to_seconds(long long ns) {
  constexpr long long kSecond = 1000000000LL;
  if (ns % kSecond == 0) return static_cast<double>(ns / kSecond);
  return static_cast<double>(ns) / 1e9;
}

}  // namespace

const NamespaceFacts& namespace_facts(ModuleState* st) {
  if (st->facts.epoch != watch_epoch()) {
    read_facts(st, st->facts);
    st->facts.epoch = watch_epoch();
  }
  return st->facts;
}

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

Ref log_method(ModuleState* st, PyObject* level) {
  Ref logger = module_attr(st, st->s_logger);
  return getattr(logger.get(), level);
}

void log_with(PyObject* method, const char* msg, std::initializer_list<PyObject*> args) {
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(args.size()) + 1));
  PyTuple_SET_ITEM(tuple.get(), 0, new_str(msg).release());
  Py_ssize_t i = 1;
  for (PyObject* a : args) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(a));
  check(PyObject_Call(method, tuple.get(), nullptr));
}

void log(ModuleState* st, PyObject* level, const char* msg, std::initializer_list<PyObject*> args) {
  Ref method = log_method(st, level);
  log_with(method.get(), msg, args);
}

}  // namespace varnhold
