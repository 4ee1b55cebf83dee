// The InflightLease type.
#include <array>
#include <cstddef>

#include "binding/args.h"
#include "binding/boundary.h"
#include "varnhold/coro.h"
#include "binding/types.h"
#include "varnhold/lease.h"

namespace varnhold {

namespace {

bool plain_lease(PyObject* self) {
  return Py_TYPE(self) == as_lease(self)->st->lease_type;
}

// self.__enter__() / self.__exit__(t, e, tb) as the async bodies call them.
Ref enter_via_self(PyObject* self) {
  if (plain_lease(self)) return lease_enter(as_lease(self));
  return check(PyObject_CallMethodNoArgs(self, as_lease(self)->st->s___enter__));
}

Ref exit_via_self(PyObject* self, PyObject* t, PyObject* e, PyObject* tb) {
  if (plain_lease(self)) {
    lease_uncount(as_lease(self));
    return Ref::borrow(Py_None);
  }
  PyObject* argv[] = {self, t, e, tb};
  return check(PyObject_VectorcallMethod(as_lease(self)->st->s___exit__, argv,
                                         4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The asynchronous entry and exit never suspend.
Ref aenter_body(CoroFrame& f) { return enter_via_self(f[0]); }

Ref aexit_body(CoroFrame& f) {
  exit_via_self(f[0], f[1], f[2], f[3]);
  return Ref::borrow(Py_None);
}

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

int lease_tp_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard_int([&] {
    static const Signature sig{"InflightLease.__init__", 1, 2, 2, 0, {"lb", "server_id"}};
    // Convert tuple/dict arguments to the vectorcall form.
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* stack[4];
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0; i < nargs && n < 4; ++i) stack[n++] = PyTuple_GET_ITEM(args, i);
    Ref kwnames;
    if (kwds && PyDict_GET_SIZE(kwds)) {
      kwnames = check(PyTuple_New(PyDict_GET_SIZE(kwds)));
      Py_ssize_t pos = 0, k = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwds, &pos, &key, &value)) {
        if (n >= 4) break;
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
        stack[n++] = value;
      }
    }
    // More than two positional arguments: the parser reports the real
    // count before it reads any of them.
    std::array<PyObject*, 2> a;
    parse_args(sig, stack, nargs, kwnames.get(), a);
    lease_init(as_lease(self), a[0], a[1]);
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
  if (st && tp == st->lease_type && st->lease_type_pristine && nargs == 2 && !kwnames) {
    PyObject* self = tp->tp_alloc(tp, 0);
    if (!self) return nullptr;
    as_lease(self)->st = st;
    lease_init(as_lease(self), args[0], args[1]);
    return self;
  }
  PyErr_Clear();
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

PyObject* m_enter(PyObject* self, PyObject*) {
  return guard([&] { return lease_enter(as_lease(self)); });
}

const Signature kExitSig{"InflightLease.__exit__", 1, 3, 3, 0, {"exc_type", "exc", "tb"}};
const Signature kAexitSig{"InflightLease.__aexit__", 1, 3, 3, 0, {"exc_type", "exc", "tb"}};

PyObject* m_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    if (nargs != 3 || kw) {
      std::array<PyObject*, 3> a;
      parse_args(kExitSig, args, nargs, kw, a);
    }
    lease_uncount(as_lease(self));
    return Ref::borrow(Py_None);
  });
}

PyObject* m_aenter(PyObject* self, PyObject*) {
  return guard([&] {
    static PyObject* name = PyUnicode_InternFromString("InflightLease.__aenter__");
    return make_immediate(as_lease(self)->st, name, {self}, aenter_body);
  });
}

PyObject* m_aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    std::array<PyObject*, 3> a;
    parse_args(kAexitSig, args, nargs, kw, a);
    static PyObject* name = PyUnicode_InternFromString("InflightLease.__aexit__");
    return make_immediate(as_lease(self)->st, name, {self, a[0], a[1], a[2]}, aexit_body);
  });
}

PyObject* m_release(PyObject* self, PyObject*) {
  return guard([&] {
    lease_uncount(as_lease(self));
    return Ref::borrow(Py_None);
  });
}

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

PyMethodDef lease_methods[] = {
    {"__enter__", m_enter, METH_NOARGS, "Counts the request in flight; returns the lease."},
    {"__exit__", fastcall(m_exit), METH_FASTCALL | METH_KEYWORDS,
     "Uncounts the request unless already released; never suppresses an exception."},
    {"__aenter__", m_aenter, METH_NOARGS, "Asynchronous form of __enter__."},
    {"__aexit__", fastcall(m_aexit), METH_FASTCALL | METH_KEYWORDS,
     "Asynchronous form of __exit__."},
    {"release", m_release, METH_NOARGS,
     "Uncounts the request unless already released (for the end of a streamed answer)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef lease_members[] = {
    {"lb", Py_T_OBJECT_EX, offsetof(LeaseObject, lb), 0, nullptr},
    {"server_id", Py_T_OBJECT_EX, offsetof(LeaseObject, server_id), 0, nullptr},
    {"_released", Py_T_OBJECT_EX, offsetof(LeaseObject, released), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot lease_slots[] = {
    {Py_tp_doc, const_cast<char*>("Counts one forwarded request in flight on its backend.")},
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
