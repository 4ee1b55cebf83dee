// Pieces of the waiter queue shared with the wake-up code.
#pragma once

#include "varnhold/load_balancer.h"

namespace varnhold {

// future.done() as a bool.
bool future_done(ModuleState* st, PyObject* future);

// `self._routing_mode == ROUTING_MODE_QUEUE_ALL`, both read now, compared as
// an `if` compares them.
bool in_queue_all_mode(LB* self);

// Whether `type` is the module's own _Waiter class, unmodified since start-up:
// its fields are plain instance attributes (no descriptors), its is_boosted
// is the module's own and its __eq__ the generated one.
inline bool own_waiter_class(ModuleState* st, PyTypeObject* type) {
  return type == reinterpret_cast<PyTypeObject*>(st->waiter_type) && st->waiter_version != 0 &&
         type->tp_version_tag == st->waiter_version;
}

// A waiter's attributes as attribute lookup finds them. A record of the
// module's own class is read from its instance dict, which is where the
// lookup finds them. Holds the waiter.
class WaiterFields {
 public:
  WaiterFields(ModuleState* st, PyObject* waiter);
  PyObject* waiter() const { return waiter_.get(); }
  Ref get(PyObject* name) const;
  // waiter.is_boosted(now), as a truth value.
  bool is_boosted(PyObject* now) const;

 private:
  ModuleState* st_;
  Ref waiter_;
  Ref dict_;  // set for a record of the module's own class
};

// The value of `w.boost_after_sec > 0 and (now - w.queued_at) >= w.boost_after_sec`,
// the body of _Waiter.is_boosted.
Ref waiter_is_boosted(ModuleState* st, PyObject* waiter, PyObject* now);

}  // namespace varnhold
