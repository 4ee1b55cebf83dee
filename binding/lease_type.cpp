// The InflightLease type.
#include <cstddef>

#include "binding/methods.h"
#include "binding/types.h"
#include "varnhold/lease.h"

namespace varnhold {

namespace {

PyObject* lease_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  PyObject* module = PyType_GetModuleByDef(type, &module_def);
  if (!module) {
    Py_DECREF(self);
    return nullptr;
  }
  as_lease(self)->st = static_cast<ModuleState*>(PyModule_GetState(module));
  return self;
}

constexpr FunctionSpec kInit{signature("InflightLease.__init__", "$self", 0, P(lb), P(server_id)),
                             &lease_init, ""};

// __init__ from a tuple and a dict: the tuple's own items are the argument
// vector; keyword values follow them in a list that owns them while bound.
int lease_tp_init(PyObject* self, PyObject* args, PyObject* kwds) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!kwds || PyDict_GET_SIZE(kwds) == 0) {
    Ref r = Ref::steal(entry<kInit>(self, &PyTuple_GET_ITEM(args, 0), nargs, nullptr));
    return r ? 0 : -1;
  }
  return guard_int([&] {
    Ref stack = check(PySequence_List(args));
    Ref kwnames = check(PySequence_Tuple(kwds));
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames.get()); ++k) {
      Ref v = getitem(kwds, PyTuple_GET_ITEM(kwnames.get(), k));
      check(PyList_Append(stack.get(), v.get()));
    }
    Ref r = Ref::steal(entry<kInit>(self, PySequence_Fast_ITEMS(stack.get()), nargs, kwnames.get()));
    if (!r) throw PyError();
  });
}

}  // namespace

// InflightLease(lb, server_id) called the way the interpreter calls a class:
// for the module's own, unmodified class with two positional arguments, its
// __new__ and __init__ are these, run directly; otherwise the class is called
// as any other (type.__call__).
PyObject* lease_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  ModuleState* st = static_cast<ModuleState*>(PyType_GetModuleState(tp));
  if (!st) {
    // A class derived in Python has no module of its own: the TypeError says
    // so, and the class is called as any other. Anything else goes on.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();
  }
  if (st && tp == st->lease_type && st->lease_type_pristine && nargs == 2 && !kwnames) {
    PyObject* self = tp->tp_alloc(tp, 0);
    if (!self) return nullptr;
    as_lease(self)->st = st;
    lease_init(as_lease(self), args[0], args[1]);
    return self;
  }
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  Ref kwargs;
  if (kwnames && PyTuple_GET_SIZE(kwnames)) {
    kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
      if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) {
        return nullptr;
      }
    }
  }
  return PyType_Type.tp_call(type, tuple.get(), kwargs.get());
}

namespace {

constexpr FunctionSpec kEnter{signature("InflightLease.__enter__", "$self", 0), &lease_enter,
                              "Counts the request in flight; returns the lease."};
constexpr FunctionSpec kExit{
    signature("InflightLease.__exit__", "$self", 0, P(exc_type), P(exc), P(tb)), &lease_exit,
    "Uncounts the request unless already released; never suppresses an exception."};
constexpr FunctionSpec kAenter{signature("InflightLease.__aenter__", "$self", 0), &lease_aenter,
                               "Asynchronous form of __enter__."};
constexpr FunctionSpec kAexit{
    signature("InflightLease.__aexit__", "$self", 0, P(exc_type), P(exc), P(tb)), &lease_aexit,
    "Asynchronous form of __exit__."};
constexpr FunctionSpec kRelease{
    signature("InflightLease.release", "$self", 0), &lease_uncount,
    "Uncounts the request unless already released (for the end of a streamed answer)."};

PyMethodDef lease_methods[] = {
    documented_def<kEnter>(),  documented_def<kExit>(),    documented_def<kAenter>(),
    documented_def<kAexit>(),  documented_def<kRelease>(), {nullptr, nullptr, 0, nullptr},
};

int lease_traverse(PyObject* self, visitproc visit, void* arg) {
  LeaseObject* l = as_lease(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(l->lb);
  Py_VISIT(l->server_id);
  Py_VISIT(l->released);
  return 0;
}

int lease_clear(PyObject* self) {
  LeaseObject* l = as_lease(self);
  Py_CLEAR(l->lb);
  Py_CLEAR(l->server_id);
  Py_CLEAR(l->released);
  return 0;
}

void lease_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  lease_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMemberDef lease_members[] = {
    {"lb", Py_T_OBJECT_EX, offsetof(LeaseObject, lb), 0, nullptr},
    {"server_id", Py_T_OBJECT_EX, offsetof(LeaseObject, server_id), 0, nullptr},
    {"_released", Py_T_OBJECT_EX, offsetof(LeaseObject, released), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot lease_slots[] = {
    {Py_tp_doc, const_cast<char*>("InflightLease(lb, server_id)\n--\n\n"
                                  "Counts one forwarded request in flight on its backend.")},
    {Py_tp_new, reinterpret_cast<void*>(lease_new)},
    {Py_tp_init, reinterpret_cast<void*>(lease_tp_init)},
    {Py_tp_methods, lease_methods},
    {Py_tp_members, lease_members},
    {Py_tp_traverse, reinterpret_cast<void*>(lease_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(lease_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lease_dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec lease_spec = {
    "varnhold.InflightLease",
    sizeof(LeaseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    lease_slots,
};

}  // namespace varnhold
