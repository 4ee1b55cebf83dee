#include "varnhold/lease.h"

#include "varnhold/coro.h"
#include "varnhold/load_balancer.h"

namespace varnhold {

namespace {

PyObject* lease_field(LeaseObject* self, PyObject* LeaseObject::*field, const char* name) {
  PyObject* v = self->*field;
  if (!v) {
    raise_format(PyExc_AttributeError, "'InflightLease' object has no attribute '%s'", name);
  }
  return v;
}

// lb.<method>(server_id): the balancer's own operation when lb is one.
void call_lb(LeaseObject* self, PyObject* name, Ref (*direct)(LB*, PyObject*)) {
  Ref lb = Ref::borrow(lease_field(self, &LeaseObject::lb, "lb"));
  Ref sid = Ref::borrow(lease_field(self, &LeaseObject::server_id, "server_id"));
  if (PyObject_TypeCheck(lb.get(), self->st->lb_type)) {
    LB* b = as_lb(lb.get());
    if (own_methods(b)) {
      direct(b, sid.get());
      return;
    }
  }
  check(PyObject_CallMethodOneArg(lb.get(), name, sid.get()));
}

}  // namespace

void lease_init(LeaseObject* self, PyObject* lb, PyObject* server_id) {
  PyObject* old_lb = self->lb;
  PyObject* old_sid = self->server_id;
  PyObject* old_rel = self->released;
  self->lb = Py_NewRef(lb);
  self->server_id = Py_NewRef(server_id);
  self->released = Py_NewRef(Py_False);
  Py_XDECREF(old_lb);
  Py_XDECREF(old_sid);
  Py_XDECREF(old_rel);
}

Ref lease_enter(LeaseObject* self) {
  call_lb(self, self->st->s_increment, increment);
  return Ref::borrow(reinterpret_cast<PyObject*>(self));
}

void lease_uncount(LeaseObject* self) {
  PyObject* released = lease_field(self, &LeaseObject::released, "_released");
  if (released == Py_True || (released != Py_False && truthy(released))) return;
  call_lb(self, self->st->s_decrement, decrement);
  PyObject* old = self->released;
  self->released = Py_NewRef(Py_True);
  Py_XDECREF(old);
}

void lease_exit(LeaseObject* self, PyObject*, PyObject*, PyObject*) { lease_uncount(self); }

namespace {

bool exact_lease(PyObject* self) { return Py_TYPE(self) == as_lease(self)->st->lease_type; }

// self.__enter__() / self.__exit__(t, e, tb) as the async bodies call them.
Ref enter_via_self(PyObject* self) {
  if (exact_lease(self)) return lease_enter(as_lease(self));
  return check(PyObject_CallMethodNoArgs(self, as_lease(self)->st->s___enter__));
}

Ref exit_via_self(PyObject* self, PyObject* t, PyObject* e, PyObject* tb) {
  if (exact_lease(self)) {
    lease_uncount(as_lease(self));
    return Ref::borrow(Py_None);
  }
  PyObject* argv[] = {self, t, e, tb};
  return check(PyObject_VectorcallMethod(as_lease(self)->st->s___exit__, argv,
                                         4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

enum AexitSlot : int { kLease, kExcType, kExc, kTb, kAexitSlots };
static_assert(slots_fit<kAexitSlots>());

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
