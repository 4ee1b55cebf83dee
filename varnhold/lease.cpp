// In-flight lease: counts one forwarded request on its backend, and uncounts
// it at most once, by the exit of its `with` or by release(). Every
// attribute is read where the Python form reads it (`self.lb`, then its
// method, then `self.server_id`), and held while host code may run.
#include "varnhold/lease.h"

#include "varnhold/coro.h"
#include "varnhold/load_balancer.h"

namespace varnhold {

namespace {

// The lease's three attributes.
enum class Field { kLb, kServerId, kReleased };

PyObject* LeaseObject::*slot_of(Field f) {
  switch (f) {
    case Field::kLb: return &LeaseObject::lb;
    case Field::kServerId: return &LeaseObject::server_id;
    case Field::kReleased: break;
  }
  return &LeaseObject::released;
}

PyObject* name_of(ModuleState* st, Field f) {
  switch (f) {
    case Field::kLb: return st->s_lb;
    case Field::kServerId: return st->s_server_id;
    case Field::kReleased: break;
  }
  return st->s__released;
}

// Whether attribute lookup on this lease finds the three slots themselves:
// the module's own class, unmodified. A subclass may put properties or
// __getattribute__ in front of them.
bool own_class(PyObject* self) {
  ModuleState* st = as_lease(self)->st;
  return Py_TYPE(self) == st->lease_type && st->lease_type_pristine;
}

// self.<field>, owned.
Ref lease_get(LeaseObject* self, Field f) {
  PyObject* obj = reinterpret_cast<PyObject*>(self);
  if (!own_class(obj)) return getattr(obj, name_of(self->st, f));
  PyObject* v = self->*slot_of(f);
  if (!v) {
    raise_format(PyExc_AttributeError, "'InflightLease' object has no attribute '%U'",
                 name_of(self->st, f));
  }
  return Ref::borrow(v);
}

// self.<field> = value
void lease_set(LeaseObject* self, Field f, PyObject* value) {
  PyObject* obj = reinterpret_cast<PyObject*>(self);
  if (!own_class(obj)) {
    check(PyObject_SetAttr(obj, name_of(self->st, f), value));
    return;
  }
  // The old value goes after the new one is in place, as an assignment does.
  Py_XSETREF(self->*slot_of(f), Py_NewRef(value));
}

// self.lb.<method>(self.server_id): the balancer's own operation when lb is
// one whose methods are the module's. The method is found before
// self.server_id is read, as the call expression finds it.
void call_lb(LeaseObject* self, PyObject* name, Ref (*direct)(LB*, PyObject*)) {
  Ref lb = lease_get(self, Field::kLb);
  bool own = PyObject_TypeCheck(lb.get(), self->st->lb_type) && own_methods(as_lb(lb.get()));
  Ref method = own ? Ref() : getattr(lb.get(), name);
  Ref sid = lease_get(self, Field::kServerId);
  if (own) {
    direct(as_lb(lb.get()), sid.get());
  } else {
    call1(method.get(), sid.get());
  }
}

}  // namespace

void lease_init(LeaseObject* self, PyObject* lb, PyObject* server_id) {
  lease_set(self, Field::kLb, lb);
  lease_set(self, Field::kServerId, server_id);
  lease_set(self, Field::kReleased, Py_False);
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
  {
    Ref released = lease_get(self, Field::kReleased);
    if (released.get() == Py_True) return;
    if (released.get() != Py_False && truthy(released.get())) return;
  }
  call_lb(self, self->st->s_decrement, decrement);
  lease_set(self, Field::kReleased, Py_True);
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
