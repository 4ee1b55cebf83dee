// Pieces of the waiter queue shared with the wake-up code.
#pragma once

#include "varnhold/load_balancer.h"

namespace varnhold {

// future.done() as a bool.
bool future_done(ModuleState* st, PyObject* future);

// Whether `type` is the _Waiter class made at start-up, unchanged since: its
// fields are plain instance attributes (no descriptors), its is_boosted is
// the module's own and its __eq__ the generated one, under which two records
// holding distinct futures never compare equal.
inline bool plain_waiter_type(ModuleState* st, PyTypeObject* type) {
  return type == reinterpret_cast<PyTypeObject*>(st->waiter_type) && st->waiter_version != 0 &&
         type->tp_version_tag == st->waiter_version;
}

// A waiter's attributes as attribute lookup finds them. A record of the plain
// class is read from its instance dict, which is where the lookup finds them.
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
  Ref dict_;  // set for a record of the plain class
};

// The value of `w.boost_after_sec > 0 and (now - w.queued_at) >= w.boost_after_sec`,
// the body of _Waiter.is_boosted.
Ref waiter_is_boosted(ModuleState* st, PyObject* waiter, PyObject* now);

}  // namespace varnhold
