// Declarations shared by the binding files: the module definition, the type
// specs, and the method tables that each concern contributes.
#pragma once

#include "varnhold/py.h"

namespace varnhold {

extern PyModuleDef module_def;
extern PyType_Spec lb_spec;
extern PyType_Spec lease_spec;
extern PyType_Spec coroutine_spec;

// Method tables of the balancer, one per concern, each ending with a NULL
// entry. load_balancer_type.cpp lays them out in the documented order.
extern PyMethodDef balancer_state_methods[];
extern PyMethodDef capacity_gate_methods[];
extern PyMethodDef selection_methods[];
extern PyMethodDef waiter_queue_methods[];
extern PyMethodDef token_fit_methods[];
extern PyMethodDef reports_methods[];

// Module-level functions and the waiter's method.
extern PyMethodDef estimate_request_tokens_def;
extern PyMethodDef inflight_reaper_loop_def;
extern PyMethodDef waiter_is_boosted_def;

// The vectorcall of the InflightLease class (set after the type is made).
PyObject* lease_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames);

template <class F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace varnhold
