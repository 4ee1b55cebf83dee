// Waking parked waiters: a freed slot becomes a dispatch for one waiter.
#include "varnhold/load_balancer.h"

namespace varnhold {

void wake_one(LB* self, PyObject* server_id) {
  PyObject* q = nullptr;
  if (PyDict_GetItemRef(LB_WAITERS(self), server_id, &q) < 0) throw PyError();
  Ref deque = Ref::steal(q);
  if (!deque || deque.get() == Py_None || check_size(PyObject_Size(deque.get())) == 0) return;
  // Waiters cannot be parked yet.
}

void wake_one_via_self(LB* self, PyObject* server_id) {
  if (plain(self)) return wake_one(self, server_id);
  call_via_lookup(self, self->st->s__wake_one, {server_id});
}

}  // namespace varnhold
