#include "varnhold/module_state.h"

#include "varnhold/pynum.h"

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

// The value of `name` in dict d, owned; empty when d lacks it.
Ref dict_value(PyObject* d, PyObject* name) {
  PyObject* v = nullptr;
  if (PyDict_GetItemRef(d, name, &v) < 0) throw PyError();
  return Ref::steal(v);
}

bool exact_text(const Ref& v) { return v && PyUnicode_CheckExact(v.get()); }

// A setting as a machine number, when it is one.
bool machine_setting(PyObject* d, PyObject* name, double* out) {
  Ref v = dict_value(d, name);
  return v && machine_number(v.get(), out);
}

// A frozenset of exact str: `text in it` runs no Python code.
bool frozenset_of_text(PyObject* o) {
  return o && PyFrozenSet_CheckExact(o) &&
         all_items(o, [](PyObject* item) { return PyUnicode_CheckExact(item) != 0; });
}

// The facts as the namespace holds them now. Reading runs no Python code
// unless the host stored keys there whose hashing or comparison does; the
// caller checks that nothing changed meanwhile.
NamespaceFacts read_facts(ModuleState* st) {
  PyObject* d = st->module_dict;
  NamespaceFacts f;
  Ref t = dict_value(d, st->s_time);
  if (t.get() == st->std_time) {
    PyObject* td = PyModule_GetDict(t.get());
    f.monotonic_std = dict_value(td, st->s_monotonic).get() == st->std_monotonic;
    f.time_std = dict_value(td, st->s_time).get() == st->std_time_time;
  }
  // Borrowed from here on: the namespace holds what it maps to.
  bool modes = true;
  for (int m = 0; m < kRoutingModeCount; ++m) {
    Ref v = dict_value(d, st->*kRoutingModeNames[m]);
    modes = modes && exact_text(v);
    f.mode_names[m] = v.get();
  }
  if (!modes) {
    for (PyObject*& v : f.mode_names) v = nullptr;
  }
  f.have_superfast = machine_setting(d, st->s_SUPERFAST_PER_SERVER_CAP, &f.superfast);
  f.have_hybrid = machine_setting(d, st->s_HYBRID_HOT_EXIT_RATIO, &f.exit_ratio) &&
                  machine_setting(d, st->s_HYBRID_INFLIGHT_THRESHOLD, &f.inflight_threshold) &&
                  machine_setting(d, st->s_HYBRID_RATE_THRESHOLD, &f.rate_threshold);
  f.have_window = machine_setting(d, st->s_HYBRID_RATE_WINDOW_SEC, &f.window);
  Ref normalizer = dict_value(d, st->s_normalize_lb_algorithm);
  Ref valid = dict_value(d, st->s_VALID_LB_ALGORITHMS);
  Ref dflt = dict_value(d, st->s_DEFAULT_LB_ALGORITHM);
  Ref sticky = dict_value(d, st->s_LB_ALGO_STICKY);
  Ref least = dict_value(d, st->s_LB_ALGO_LEAST_CONN);
  f.algorithms_known = normalizer && normalizer.get() == st->std_normalize_lb_algorithm &&
                       exact_text(dflt) && frozenset_of_text(valid.get()) && exact_text(sticky) &&
                       exact_text(least);
  if (f.algorithms_known) {
    f.algo_sticky = sticky.get();
    f.algo_least = least.get();
  }
  return f;
}

// Seconds as time.monotonic() converts its nanoseconds.
double ns_to_seconds(long long ns) {
  constexpr long long kSecond = 1000000000LL;
  if (ns % kSecond == 0) return static_cast<double>(ns / kSecond);
  return static_cast<double>(ns) / 1e9;
}

}  // namespace

const NamespaceFacts& namespace_facts(ModuleState* st) {
  uint64_t epoch = watch_epoch();
  if (st->facts.epoch != epoch) {
    NamespaceFacts f = read_facts(st);
    // Had reading changed a watched dict, what was read may be gone: these
    // facts then claim nothing, and are read again at the next call.
    if (watch_epoch() != epoch) f = NamespaceFacts();
    f.epoch = epoch;
    st->facts = f;
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
