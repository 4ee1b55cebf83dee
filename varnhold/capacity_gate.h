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

// A run of capacity tests over one pool within one operation (select's walk
// over its effective list). Each test is `self._under_capacity(server, pool,
// pool_key=pool_key)`. While the balancer is plain and every object involved
// is a plain dict, int, float or str, no Python code runs between two tests,
// so the pool's in-flight sum, its dispatch rate (one clock reading, one trim)
// and the settings read by the first test are what the next test would
// compute again; they are then kept for the rest of the run.
class CapacityRun {
 public:
  CapacityRun(LB* self, PyObject* pool, PyObject* pool_key) noexcept;
  CapacityRun(const CapacityRun&) = delete;

  bool under_capacity(PyObject* server);
  // Python code may have run since the last test (a caller's own step).
  void forget() noexcept { reuse_ = false; }

  struct Settings {
    int mode = -1;  // routing mode, see capacity_gate.cpp
    bool impure = false;  // a setting or the mode was not a plain value
    Ref superfast;  // SUPERFAST_PER_SERVER_CAP
    Ref ratio;      // the bounded HYBRID_HOT_EXIT_RATIO
    Ref inflight_threshold, rate_threshold, inflight_exit, rate_exit;
  };

 private:
  LB* self_;
  PyObject* pool_;
  PyObject* key_;
  bool reuse_;
  bool have_figures_ = false;
  Ref sum_, rate_;
  Settings settings_;
};

}  // namespace varnhold
