// What the binding files share: the module definition, the type specs, and
// the module functions that start-up binds.
#pragma once

#include "varnhold/py.h"

namespace varnhold {

extern PyModuleDef module_def;
extern PyType_Spec lb_spec;
extern PyType_Spec lease_spec;
extern PyType_Spec coroutine_spec;

// The vectorcall of the InflightLease class (set after the type is made).
PyObject* lease_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames);

// Module functions, bound to the module at start-up (binding/functions.cpp).
extern PyMethodDef env_bool_def;
extern PyMethodDef env_int_def;
extern PyMethodDef env_float_def;
extern PyMethodDef normalize_routing_mode_def;
extern PyMethodDef normalize_lb_algorithm_def;
extern PyMethodDef estimate_request_tokens_def;
extern PyMethodDef inflight_reaper_loop_def;
// _Waiter.is_boosted: a function of the module taking the waiter first,
// made a method of the record class with an instance-method wrapper.
extern PyMethodDef waiter_is_boosted_def;

}  // namespace varnhold
