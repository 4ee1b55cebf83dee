// The load balancer: its instance layout and every operation, by concern.
//
// Each operation is a C++ function taking the balancer and borrowed
// arguments; it throws PyError with the interpreter's exception set, and
// returns new references as Ref. The Python-facing methods in binding/ parse
// arguments and call these.
//
// An operation that the algorithm reaches "through self" (select calling
// self._under_capacity, decrement calling self._wake_one, ...) goes through
// the *_via_self helpers: they call the C++ function directly while nothing
// is overridden (own_methods()), and otherwise look the method up on the object.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "varnhold/module_state.h"
#include "varnhold/py.h"

namespace varnhold {

// The thirteen state attributes, in constructor order: the enum member and
// the attribute's name (interned as ModuleState::s_<name>).
#define VARNHOLD_STATE(X)                                                  \
  X(kInflight, inflight)                   /* server id -> int */          \
  X(kWrr, _wrr)                            /* PoolKey -> {id: float} */    \
  X(kLocks, _locks)                        /* PoolKey -> asyncio.Lock */   \
  X(kPoolLastAccess, _pool_last_access)    /* PoolKey -> float */          \
  X(kWaiters, _waiters)                    /* id -> deque of _Waiter */    \
  X(kAllWaiters, _all_waiters)             /* list of _Waiter */           \
  X(kDispatchCounts, dispatch_counts)      /* id -> int */                 \
  X(kLastDispatchTs, last_dispatch_ts)     /* id -> wall-clock float */    \
  X(kRejectCounts, reject_counts)          /* reason -> int */             \
  X(kQueueWaitSamples, queue_wait_samples) /* deque(maxlen=512) */         \
  X(kRoutingMode, _routing_mode)           /* str */                       \
  X(kPoolDispatchWindows, _pool_dispatch_windows) /* PoolKey -> deque */   \
  X(kPoolHotState, _pool_hot_state)        /* PoolKey -> bool */

enum StateAttr : int {
#define VARNHOLD_STATE_ENUM(e, name) e,
  VARNHOLD_STATE(VARNHOLD_STATE_ENUM)
#undef VARNHOLD_STATE_ENUM
      kStateCount
};

// The state attributes as the instance dict holds them, read once per change
// of any watched dict (see watch_epoch()): borrowed pointers, valid while
// that dict is unchanged.
struct StateCache {
  uint64_t epoch = 0;      // watch_epoch() when read; 0: never read
  PyObject* dict = nullptr;  // the instance dict they were read from
  bool exact = false;      // the balancer's class is the module's own, unmodified
  bool extra = false;      // the instance dict holds other names (patched methods)
  PyObject* value[kStateCount] = {};
};

// The balancer object. Its state lives where the class statement would put
// it: in the instance dict, as the thirteen attributes above.
struct LoadBalancerObject {
  PyObject_HEAD
  ModuleState* st;
  PyObject* dict;  // instance __dict__
  PyObject* weakreflist;
  StateCache cache;
};

using LB = LoadBalancerObject;

inline LB* as_lb(PyObject* o) { return reinterpret_cast<LB*>(o); }
inline PyObject* as_obj(LB* lb) { return reinterpret_cast<PyObject*>(lb); }

// The name of a state attribute.
PyObject* state_name(ModuleState* st, StateAttr a);

// Reads the instance dict into the cache when it is stale.
void refresh_state(LB* self);

inline const StateCache& state_cache(LB* self) {
  if (self->cache.epoch != watch_epoch() || self->cache.dict != self->dict) refresh_state(self);
  return self->cache;
}

// self.<attr>, as attribute lookup finds it now: an owned reference.
// AttributeError when the host deleted it.
Ref get_state_by_lookup(LB* self, StateAttr a);
inline Ref get_state(LB* self, StateAttr a);
// self.<attr> = value
void set_state(LB* self, StateAttr a, PyObject* value);
// The attribute as the instance dict of a balancer of the exact, unmodified
// class holds it, borrowed; NULL when it is not there or the class is not
// the module's own. Valid only until Python code runs: for the fast road.
inline PyObject* peek_state(LB* self, StateAttr a) { return state_cache(self).value[a]; }

inline Ref get_state(LB* self, StateAttr a) {
  if (PyObject* v = peek_state(self, a)) return Ref::borrow(v);
  return get_state_by_lookup(self, a);
}

// True when every method of this balancer is the module's own: the exact
// class, unmodified, and nothing patched on the instance.
inline bool own_methods(LB* self) {
  const StateCache& c = state_cache(self);
  return c.exact && !c.extra;
}

// self.<name>(*args, **{kwname: kwvalue}) through attribute lookup. The
// argument vector is sized by the call's own argument list, at compile time.
Ref call_by_name(PyObject* const* argv, size_t nargs, PyObject* name, PyObject* kwname);

template <size_t N>
Ref call_via_lookup(LB* self, PyObject* name, PyObject* const (&args)[N],
                    PyObject* kwname = nullptr, PyObject* kwvalue = nullptr) {
  PyObject* argv[N + 2];
  argv[0] = as_obj(self);
  for (size_t i = 0; i < N; ++i) argv[i + 1] = args[i];
  argv[N + 1] = kwvalue;
  return call_by_name(argv, N + 1, name, kwname);
}

inline Ref call_via_lookup(LB* self, PyObject* name) {
  PyObject* argv[] = {as_obj(self)};
  return call_by_name(argv, 1, name, nullptr);
}

// The state's containers as the algorithm spells their use, each reading
// `self.<attr>` anew, as every textual read in the algorithm does:
//   self.x.get(key, dflt)   -> state_get(self, kX, key, dflt)
//   self.x[key] = value     -> state_set(self, kX, key, value)
//   self.x.pop(key, dflt)   -> state_pop(self, kX, key, dflt)
Ref state_get(LB* self, StateAttr a, PyObject* key, PyObject* dflt);
void state_set(LB* self, StateAttr a, PyObject* key, PyObject* value);
Ref state_pop(LB* self, StateAttr a, PyObject* key, PyObject* dflt);

// `self._routing_mode == ROUTING_MODE_<x>`: the mode read now, compared
// with the module's constant read after it, as the comparison in an `if`.
bool mode_is(LB* self, PyObject* mode_const_name);

// ---- balancer state and counters (varnhold/balancer_state.cpp) ----
void lb_init(LB* self);
Ref increment(LB* self, PyObject* server_id);
Ref decrement(LB* self, PyObject* server_id);
Ref get_inflight(LB* self, PyObject* server_id);
void force_clear(LB* self, PyObject* server_id);
void bump_reject(LB* self, PyObject* reason);
void note_reject(LB* self, PyObject* reason);  // self._bump_reject(reason)
Ref get_routing_mode(LB* self);
Ref set_routing_mode(LB* self, PyObject* mode);
Ref queue_enabled(LB* self);
Ref queue_ttl_sec(LB* self);
Ref queue_depth_multiplier(LB* self);
Ref lock_for(LB* self, PyObject* pool_key);
void record_dispatch(LB* self, PyObject* pool_key, PyObject* server);
// The same with the monotonic reading already made in this operation, and
// the server's id and the pool's window (or NULL) as just read.
void record_dispatch_at(LB* self, PyObject* pool_key, PyObject* server, double now, PyObject* sid,
                        PyObject* window);

void record_dispatch_via_self(LB* self, PyObject* pool_key, PyObject* server);
void bump_reject_via_self(LB* self, PyObject* reason);
Ref lock_for_via_self(LB* self, PyObject* pool_key);
Ref queue_enabled_via_self(LB* self);
Ref queue_ttl_sec_via_self(LB* self);
Ref queue_depth_multiplier_via_self(LB* self);
Ref increment_via_self(LB* self, PyObject* server_id);
Ref decrement_via_self(LB* self, PyObject* server_id);
void force_clear_via_self(LB* self, PyObject* server_id);

// ---- capacity gate (varnhold/capacity_gate.cpp) ----
Ref superfast_cap(LB* self, PyObject* configured);
Ref hybrid_hot(LB* self, PyObject* pool_key, PyObject* pool_inflight, PyObject* pool_rate);
Ref effective_cap_for_inner(LB* self, PyObject* server, PyObject* pool_inflight,
                            PyObject* pool_rate, PyObject* pool_key);  // _effective_cap_for
Ref effective_cap_for(LB* self, PyObject* server, PyObject* pool_candidates, PyObject* pool_key);
Ref under_capacity(LB* self, PyObject* server, PyObject* pool_candidates, PyObject* pool_key);
Ref pool_inflight(LB* self, PyObject* candidates);
Ref recent_dispatch_rate(LB* self, PyObject* pool_key);
Ref queue_capacity_for_pool(LB* self, PyObject* candidates);

// The truth of self._under_capacity(...), as the `if` reading it takes it.
bool under_capacity_via_self(LB* self, PyObject* server, PyObject* pool_candidates,
                             PyObject* pool_key);
Ref recent_dispatch_rate_via_self(LB* self, PyObject* pool_key);
Ref queue_capacity_for_pool_via_self(LB* self, PyObject* candidates);

// ---- selection and picks (varnhold/selection.cpp, varnhold/picks.cpp) ----
Ref select(LB* self, PyObject* pool_key, PyObject* candidates, PyObject* estimated_tokens,
           PyObject* force_server_id, PyObject* sin_binned, PyObject* algorithm,
           PyObject* sticky_key);  // returns the coroutine
Ref wrr_pick(LB* self, PyObject* pool_key, PyObject* eligible);  // returns the coroutine
Ref least_connections_pick(LB* self, PyObject* eligible);
Ref sticky_lookup(LB* self, PyObject* eligible, PyObject* sticky_key);

Ref wrr_pick_via_self(LB* self, PyObject* pool_key, PyObject* eligible);  // an awaitable
Ref least_connections_pick_via_self(LB* self, PyObject* eligible);
Ref sticky_lookup_via_self(LB* self, PyObject* eligible, PyObject* sticky_key);

// ---- waiter queue and wake-ups (varnhold/waiter_queue.cpp, varnhold/wake.cpp) ----
Ref wait_for_slot(LB* self, PyObject* pool_key, PyObject* candidates, PyObject* estimated_tokens,
                  PyObject* sin_binned);  // returns the coroutine
void try_admit(LB* self, PyObject* waiter);
void fulfill(LB* self, PyObject* waiter, PyObject* server);
void remove_waiter(LB* self, PyObject* waiter);
void wake_one(LB* self, PyObject* server_id);

void try_admit_via_self(LB* self, PyObject* waiter);
void fulfill_via_self(LB* self, PyObject* waiter, PyObject* server);
void remove_waiter_via_self(LB* self, PyObject* waiter);
void wake_one_via_self(LB* self, PyObject* server_id);

// ---- token fit (varnhold/token_fit.cpp) ----
Ref filter_by_fit(LB* self, PyObject* candidates, PyObject* estimated_tokens);

// ---- the in-flight reaper (varnhold/reaper.cpp) ----
// The reaper coroutine of inflight_reaper_loop(lb, interval_sec=..., list_running_servers=...).
Ref inflight_reaper_loop(ModuleState* st, PyObject* lb, PyObject* interval_sec,
                         PyObject* list_running_servers);

// ---- reports (varnhold/reports.cpp) ----
void evict_stale_pools(LB* self);
Ref snapshot(LB* self);
Ref prometheus_text(LB* self);

}  // namespace varnhold
