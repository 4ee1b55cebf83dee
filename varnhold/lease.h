// In-flight lease: counts one forwarded request on its backend for the
// request's lifetime, uncounting it exactly once.
#pragma once

#include "varnhold/module_state.h"

namespace varnhold {

struct LeaseObject {
  PyObject_HEAD
  ModuleState* st;
  PyObject* lb;
  PyObject* server_id;
  PyObject* released;  // _released
};

inline LeaseObject* as_lease(PyObject* o) { return reinterpret_cast<LeaseObject*>(o); }

void lease_init(LeaseObject* self, PyObject* lb, PyObject* server_id);
// __enter__: lb.increment(server_id); returns the lease.
Ref lease_enter(LeaseObject* self);
// __exit__ and release: lb.decrement(server_id) unless already released.
void lease_uncount(LeaseObject* self);
void lease_exit(LeaseObject* self, PyObject* exc_type, PyObject* exc, PyObject* tb);
// __aenter__ and __aexit__: coroutines that call the lease's own __enter__
// and __exit__ (looked up when they run) and never suspend.
Ref lease_aenter(LeaseObject* self);
Ref lease_aexit(LeaseObject* self, PyObject* exc_type, PyObject* exc, PyObject* tb);

}  // namespace varnhold
