// In-flight lease: counts one forwarded request on its backend, and uncounts
// it at most once, by the exit of its `with` or by release(). Every
// attribute is read where `self.lb.increment(self.server_id)` reads it
// (`self.lb`, then its method, then `self.server_id`), and held while host
// code may run.
#include "varnhold/lease.h"

#include "varnhold/coro.h"
#include "varnhold/load_balancer.h"

namespace varnhold {

namespace {

// Whether attribute lookup on this lease finds its three slots themselves:
// the module's own class, unmodified. A subclass may put properties or
// __getattribute__ in front of them.
bool own_class(PyObject* self) {
  ModuleState* st = as_lease(self)->st;
  return Py_TYPE(self) == st->lease_type && st->lease_type_pristine;
}

using Field = PyObject* LeaseObject::*;

[[noreturn, gnu::noinline, gnu::cold]] void missing(PyObject* name) {
  raise_format(PyExc_AttributeError, "'InflightLease' object has no attribute '%U'", name);
}

// self.<name>, owned; the slot holds it for the module's own class.
template <Field slot>
Ref lease_get(LeaseObject* self, PyObject* name) {
  PyObject* obj = reinterpret_cast<PyObject*>(self);
  if (!own_class(obj)) return getattr(obj, name);
  if (PyObject* v = self->*slot) return Ref::borrow(v);
  missing(name);
}

// self.<name> = value
template <Field slot>
void lease_set(LeaseObject* self, PyObject* name, PyObject* value) {
  PyObject* obj = reinterpret_cast<PyObject*>(self);
  if (!own_class(obj)) {
    check(PyObject_SetAttr(obj, name, value));
    return;
  }
  // The old value goes after the new one is in place, as an assignment does.
  Py_XSETREF(self->*slot, Py_NewRef(value));
}

// self.lb.<method>(self.server_id): the balancer's own operation when lb is
// one whose methods are the module's. The method is found before
// self.server_id is read, as the call expression finds it.
void call_lb(LeaseObject* self, PyObject* name, Ref (*direct)(LB*, PyObject*)) {
  ModuleState* st = self->st;
  if (own_class(reinterpret_cast<PyObject*>(self)) && self->lb &&
      Py_IS_TYPE(self->lb, st->lb_type)) {
    // The usual lease, on a balancer whose methods are the module's own.
    Ref lb = Ref::borrow(self->lb);
    if (own_methods(as_lb(lb.get()))) {
      Ref sid = lease_get<&LeaseObject::server_id>(self, st->s_server_id);
      direct(as_lb(lb.get()), sid.get());
      return;
    }
  }
  Ref lb = lease_get<&LeaseObject::lb>(self, st->s_lb);
  bool own = PyObject_TypeCheck(lb.get(), st->lb_type) && own_methods(as_lb(lb.get()));
  Ref method = own ? Ref() : getattr(lb.get(), name);
  Ref sid = lease_get<&LeaseObject::server_id>(self, st->s_server_id);
  if (own) {
    direct(as_lb(lb.get()), sid.get());
  } else {
    call1(method.get(), sid.get());
  }
}

}  // namespace

void lease_init(LeaseObject* self, PyObject* lb, PyObject* server_id) {
  ModuleState* st = self->st;
  if (own_class(reinterpret_cast<PyObject*>(self)) && !self->lb && !self->server_id &&
      !self->released) {
    // A new lease: no old value goes, so no code runs in between.
    self->lb = Py_NewRef(lb);
    self->server_id = Py_NewRef(server_id);
    self->released = Py_NewRef(Py_False);
    return;
  }
  lease_set<&LeaseObject::lb>(self, st->s_lb, lb);
  lease_set<&LeaseObject::server_id>(self, st->s_server_id, server_id);
  lease_set<&LeaseObject::released>(self, st->s__released, Py_False);
}

Ref lease_enter(LeaseObject* self) {
  call_lb(self, self->st->s_increment, increment);
  return Ref::borrow(reinterpret_cast<PyObject*>(self));
}

// Both __exit__ and release:
//   if self._released: return
//   self.lb.decrement(self.server_id)
//   self._released = True
void lease_uncount(LeaseObject* self) {
  PyObject* flag = own_class(reinterpret_cast<PyObject*>(self)) ? self->released : nullptr;
  if (flag == Py_True) return;  // the usual flags, immortal: nothing to hold
  if (flag != Py_False) {
    Ref released = lease_get<&LeaseObject::released>(self, self->st->s__released);
    if (truthy(released.get())) return;
  }
  call_lb(self, self->st->s_decrement, decrement);
  lease_set<&LeaseObject::released>(self, self->st->s__released, Py_True);
}

void lease_exit(LeaseObject* self, PyObject*, PyObject*, PyObject*) { lease_uncount(self); }

namespace {

// self.__enter__() / self.__exit__(t, e, tb) as the async bodies call them.
Ref enter_via_self(PyObject* self) {
  if (own_class(self)) return lease_enter(as_lease(self));
  return check(PyObject_CallMethodNoArgs(self, as_lease(self)->st->s___enter__));
}

Ref exit_via_self(PyObject* self, PyObject* t, PyObject* e, PyObject* tb) {
  if (own_class(self)) {
    lease_uncount(as_lease(self));
    return Ref::borrow(Py_None);
  }
  PyObject* argv[] = {self, t, e, tb};
  return check(PyObject_VectorcallMethod(as_lease(self)->st->s___exit__, argv,
                                         4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

enum Slot : int { kLease, kExcType, kExc, kTb, kSlotCount };
static_assert(slots_fit<kSlotCount>());

Ref aenter_body(CoroFrame& f) { return enter_via_self(f[kLease]); }

Ref aexit_body(CoroFrame& f) {
  exit_via_self(f[kLease], f[kExcType], f[kExc], f[kTb]);
  return Ref::borrow(Py_None);
}

}  // namespace

Ref lease_aenter(LeaseObject* self) {
  PyObject* obj = reinterpret_cast<PyObject*>(self);
  return make_immediate(self->st, self->st->q_aenter, {obj}, aenter_body);
}

Ref lease_aexit(LeaseObject* self, PyObject* exc_type, PyObject* exc, PyObject* tb) {
  PyObject* obj = reinterpret_cast<PyObject*>(self);
  return make_immediate(self->st, self->st->q_aexit, {obj, exc_type, exc, tb}, aexit_body);
}

}  // namespace varnhold
