// _bridge_probe: a test-only extension that exposes a few C++ coroutines
// through the coroutine bridge, so that the tests can drive the bridge with
// real asyncio futures, tasks, cancellation and close().
//
// It links binding/coroutine.cpp on its own; the bridge needs from the module
// state only the coroutine type, so the probe keeps a ModuleState of its own
// with just that member set.
#include "varnhold/boundary.h"
#include "binding/types.h"
#include "varnhold/coro.h"
#include "varnhold/module_state.h"

namespace {

using namespace varnhold;

// How many guards of suspended or running bodies are alive.
long live_guards = 0;

// A local of the C++ frame that calls a Python callable when destroyed: it
// shows that the frame's destructors run on every way out (return, error,
// close(), collection).
class OnDestroy {
 public:
  explicit OnDestroy(PyObject* callback) noexcept : callback_(callback) { ++live_guards; }
  OnDestroy(const OnDestroy&) = delete;
  ~OnDestroy() {
    --live_guards;
    if (!callback_ || callback_ == Py_None) return;
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* r = PyObject_CallNoArgs(callback_);
    if (!r) PyErr_WriteUnraisable(callback_);
    Py_XDECREF(r);
    PyErr_SetRaisedException(pending);
  }

 private:
  PyObject* callback_;  // borrowed from a slot, which outlives the frame
};

Ref tagged(const char* tag, PyObject* value) {
  Ref t = new_str(tag);
  return check(PyTuple_Pack(2, t.get(), value));
}

// slots: 0 awaitable, 1 on_destroy
Coro await_one_body(CoroFrame& f) {
  OnDestroy guard(f[1]);
  Ref r = co_await py_await(f[0]);
  co_return tagged("got", r.get());
}

// slots: 0 first awaitable, 1 second awaitable, 2 first result
Coro await_twice_body(CoroFrame& f) {
  PyObject* first = f.set(2, co_await py_await(f[0]));
  Ref second = co_await py_await(f[1]);
  co_return check(PyTuple_Pack(2, first, second.get()));
}

// slots: 0 awaitable, 1 exception type(s) to catch, 2 on_destroy
Coro await_catch_body(CoroFrame& f) {
  OnDestroy guard(f[2]);
  try {
    Ref r = co_await py_await(f[0]);
    co_return tagged("got", r.get());
  } catch (PyError& e) {
    if (!e.matches(f[1])) throw;
    co_return tagged("caught", e.value());
  }
}

// slots: 0 callable; calls it without awaiting anything.
Coro call_body(CoroFrame& f) { co_return call0(f[0]); }

ModuleState* state_of(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// Positional arguments only, between lo and hi of them.
void check_count(const char* name, Py_ssize_t nargs, Py_ssize_t lo, Py_ssize_t hi) {
  if (nargs < lo || nargs > hi) {
    raise_format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd were given",
                 name, lo, hi, nargs);
  }
}

PyObject* arg(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t i) {
  return i < nargs ? args[i] : nullptr;
}

PyObject* p_await_one(PyObject* m, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&] {
    check_count("await_one", nargs, 1, 2);
    static PyObject* q = PyUnicode_InternFromString("await_one");
    return make_coroutine(state_of(m), q, {args[0], arg(args, nargs, 1)}, await_one_body);
  });
}

PyObject* p_await_twice(PyObject* m, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&] {
    check_count("await_twice", nargs, 2, 2);
    static PyObject* q = PyUnicode_InternFromString("await_twice");
    return make_coroutine(state_of(m), q, {args[0], args[1]}, await_twice_body);
  });
}

PyObject* p_await_catch(PyObject* m, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&] {
    check_count("await_catch", nargs, 2, 3);
    static PyObject* q = PyUnicode_InternFromString("await_catch");
    return make_coroutine(state_of(m), q, {args[0], args[1], arg(args, nargs, 2)},
                          await_catch_body);
  });
}

PyObject* p_call(PyObject* m, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&] {
    check_count("call", nargs, 1, 1);
    static PyObject* q = PyUnicode_InternFromString("call");
    return make_coroutine(state_of(m), q, {args[0]}, call_body);
  });
}

PyObject* p_live_guards(PyObject*, PyObject*) { return PyLong_FromLong(live_guards); }

template <class F>
PyCFunction fast(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef probe_methods[] = {
    {"await_one", fast(p_await_one), METH_FASTCALL,
     "await_one(aw, on_destroy=None): awaits aw, returns ('got', result)."},
    {"await_twice", fast(p_await_twice), METH_FASTCALL,
     "await_twice(a, b): awaits a then b, returns (result_a, result_b)."},
    {"await_catch", fast(p_await_catch), METH_FASTCALL,
     "await_catch(aw, exc_types, on_destroy=None): ('got', result) or ('caught', exc)."},
    {"call", fast(p_call), METH_FASTCALL, "call(fn): a coroutine that returns fn()."},
    {"live_guards", p_live_guards, METH_NOARGS, "Frames whose destructors have not run yet."},
    {nullptr, nullptr, 0, nullptr},
};

int probe_exec(PyObject* module) {
  ModuleState* st = state_of(module);
  st->module = module;
  st->module_dict = PyModule_GetDict(module);
  PyObject* tp = PyType_FromModuleAndSpec(module, &coroutine_spec, nullptr);
  if (!tp) return -1;
  st->coroutine_type = reinterpret_cast<PyTypeObject*>(tp);
  return 0;
}

int probe_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = state_of(module);
  if (st) Py_VISIT(st->coroutine_type);
  return 0;
}

int probe_clear(PyObject* module) {
  ModuleState* st = state_of(module);
  if (st) Py_CLEAR(st->coroutine_type);
  return 0;
}

void probe_free(void* module) { probe_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(probe_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef probe_def = {
    PyModuleDef_HEAD_INIT,
    "_bridge_probe",
    "C++ coroutines for testing the coroutine bridge (tests only).",
    sizeof(ModuleState),
    probe_methods,
    probe_slots,
    probe_traverse,
    probe_clear,
    probe_free,
};

}  // namespace

PyMODINIT_FUNC PyInit__bridge_probe(void) { return PyModuleDef_Init(&probe_def); }
