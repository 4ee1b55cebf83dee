// Helpers of the capacity gate shared with the other concerns.
#pragma once

#include "varnhold/load_balancer.h"

namespace varnhold {

// The operator's cap: int(server.get("max_concurrency") or 0).
Ref configured_cap(LB* self, PyObject* server);
// The pool in-flight sum of the one-element pool [server].
Ref sum_inflight_of_one(LB* self, PyObject* server);

Ref superfast_cap_via_self(LB* self, PyObject* configured);
bool hybrid_hot_via_self(LB* self, PyObject* pool_key, PyObject* pool_inflight,
                         PyObject* pool_rate);
Ref effective_cap_for_inner_via_self(LB* self, PyObject* server, PyObject* pool_inflight,
                                     PyObject* pool_rate, PyObject* pool_key);
Ref pool_inflight_via_self(LB* self, PyObject* candidates);

}  // namespace varnhold
