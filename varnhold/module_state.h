// Per-module state: the types, the interned names, and the original standard
// objects that the fast paths compare against. Values of settings are never
// cached here: they are read from the module namespace at every call.
#pragma once

#include <cstdint>

#include "varnhold/py.h"

namespace varnhold {

// Interned strings, one member per name.
#define VARNHOLD_NAMES(X)                                                        \
  /* record keys */                                                              \
  X(id) X(weight) X(max_concurrency) X(max_input_tokens)                         \
  /* request body keys */                                                        \
  X(messages) X(content) X(prompt) X(system) X(input) X(query) X(items)          \
  X(documents) X(instruct) X(type) X(text)                                       \
  /* content-part types */                                                       \
  X(input_text) X(output_text) X(image_url) X(image) X(input_image) X(video_url) \
  /* module attributes */                                                        \
  X(QUEUE_ENABLED) X(QUEUE_TTL_SEC) X(QUEUE_MAX_DEPTH_MULTIPLIER)                \
  X(QUEUE_DEADLINE_BOOST_SEC) X(POOL_LRU_TTL_SEC) X(IMAGE_TOKEN_COST)            \
  X(SUPERFAST_PER_SERVER_CAP) X(HYBRID_INFLIGHT_THRESHOLD)                       \
  X(HYBRID_RATE_THRESHOLD) X(HYBRID_RATE_WINDOW_SEC) X(HYBRID_HOT_EXIT_RATIO)    \
  X(QUEUE_ALL_DEPTH_MULTIPLIER) X(QUEUE_ALL_TTL_SEC) X(ROUTING_MODE_SUPERFAST)   \
  X(ROUTING_MODE_HYBRID) X(ROUTING_MODE_MAX_CONCURRENCY) X(ROUTING_MODE_QUEUE_ALL) \
  X(DEFAULT_ROUTING_MODE) X(VALID_ROUTING_MODES) X(LB_ALGO_WRR)                  \
  X(LB_ALGO_LEAST_CONN) X(LB_ALGO_STICKY) X(DEFAULT_LB_ALGORITHM)                \
  X(VALID_LB_ALGORITHMS) X(logger) X(asyncio) X(time) X(deque) X(RejectReason)   \
  X(_Waiter) X(normalize_routing_mode) X(normalize_lb_algorithm)                 \
  X(NO_BACKENDS) X(QUEUE_FULL) X(QUEUE_TIMEOUT)                                  \
  /* waiter fields */                                                            \
  X(pool_key) X(candidates) X(estimated_tokens) X(future) X(queued_at)           \
  X(boost_after_sec) X(is_boosted)                                               \
  /* methods of the balancer, looked up when overridden */                       \
  X(increment) X(decrement) X(get_inflight) X(force_clear) X(note_reject)        \
  X(_bump_reject) X(queue_enabled) X(queue_ttl_sec) X(queue_depth_multiplier)    \
  X(_superfast_cap) X(_hybrid_hot) X(_effective_cap_for) X(effective_cap_for)    \
  X(_pool_inflight) X(_recent_dispatch_rate) X(_lock_for) X(_evict_stale_pools)  \
  X(_under_capacity) X(_wrr_pick) X(_least_connections_pick) X(_sticky_lookup)   \
  X(_record_dispatch) X(_queue_capacity_for_pool) X(_try_admit) X(_wake_one)     \
  X(_fulfill) X(_remove_waiter) X(__enter__) X(__exit__)                         \
  /* standard library members */                                                 \
  X(get) X(append) X(popleft) X(remove) X(setdefault) X(pop) X(values) X(monotonic) \
  X(info) X(warning) X(debug) X(Lock) X(get_running_loop) X(create_future)       \
  X(wait_for) X(timeout) X(sleep) X(CancelledError) X(TimeoutError) X(done)      \
  X(set_result) X(result) X(cancel) X(cancelled) X(acquire) X(release) X(_locked)          \
  X(_waiters) X(__aenter__) X(__aexit__) X(blake2b) X(digest_size) X(digest)     \
  X(hashlib) X(maxlen) X(lb) X(server_id) X(_released) X(interval_sec)           \
  X(list_running_servers) X(os) X(sort) X(key) X(_loop) X(__import__)          \
  /* report keys */                                                             \
  X(routing_mode) X(dispatch_rate_per_sec) X(superfast_cap)                      \
  X(hybrid_inflight_threshold) X(hybrid_rate_threshold) X(hybrid_hot_exit_ratio) \
  X(queue_deadline_boost_sec) X(pool_lru_ttl_sec) X(inflight) X(dispatch_counts) \
  X(reject_counts) X(queue_total_waiters) X(queue_wait_p50_sec)                  \
  X(queue_wait_p95_sec) X(pools) X(wrr_current) X(idle_seconds)                  \
  X(inflight_total) X(hybrid_hot)                                                \
  /* waiter queue and reaper */                                                  \
  X(keys) X(now) X(waiter) X(server) X(sin_binned) X(__getitem__)               \
  /* state attributes not named above */                                         \
  X(_wrr) X(_locks) X(_pool_last_access) X(_all_waiters) X(last_dispatch_ts)     \
  X(queue_wait_samples) X(_routing_mode) X(_pool_dispatch_windows)               \
  X(_pool_hot_state)                                                             \
  /* reasons given as text */                                                    \
  X(ok) X(queue_disabled)                                                        \
  /* parameter names */                                                          \
  X(force_server_id) X(algorithm) X(sticky_key) X(mode) X(configured)            \
  X(pool_inflight) X(pool_rate) X(pool_candidates) X(eligible) X(reason) X(name) \
  X(default) X(value) X(body) X(exc_type) X(exc) X(tb) X(self)                   \
  /* other attributes read by name */                                            \
  X(environ) X(strip) X(lower) X(close) X(throw) X(from_bytes) X(big)

// Interned strings whose text is not a name: the qualified names of the
// coroutines and of the operations that report argument errors.
#define VARNHOLD_TEXTS(X)                                     \
  X(q_select, "LoadBalancer.select")                          \
  X(q_wrr_pick, "LoadBalancer._wrr_pick")                     \
  X(q_wait_for_slot, "LoadBalancer.wait_for_slot")            \
  X(q_reaper, "inflight_reaper_loop")                         \
  X(q_aenter, "InflightLease.__aenter__")                     \
  X(q_aexit, "InflightLease.__aexit__")                       \
  X(utf_8, "utf-8")                                           \
  X(surrogatepass, "surrogatepass")                           \
  X(blake2_module, "_blake2")

namespace detail {
extern uint64_t watch_epoch_counter;
}

// Counts the changes of every watched dict (the module's namespace, the time
// module's, each balancer's instance dict) and of every watched type; what is
// read from them stays valid while the count stands.
inline uint64_t watch_epoch() { return detail::watch_epoch_counter; }
inline void note_watched_change() { ++detail::watch_epoch_counter; }

// The routing modes, in the order in which `_effective_cap_for` compares
// the active mode with the module's names for them (kRoutingModeNames).
enum RoutingMode : int {
  kMaxConcurrency,
  kQueueAll,
  kSuperfast,
  kHybrid,
  kRoutingModeCount,
  kOtherMode = kRoutingModeCount,  // a mode none of the names equals
};

// Facts read from the module's namespace (and the time module's) that stay
// true until one of those dicts changes: they are read again once
// watch_epoch() moved. The objects are borrowed from the namespace, which
// holds them meanwhile.
struct NamespaceFacts {
  uint64_t epoch = ~0ULL;      // the count when these were read
  bool monotonic_std = false;  // `time` is the time module, monotonic the original
  bool time_std = false;       // ... and time.time the original

  // For the fast road of select (fast_road.h): each is set only when the
  // value is one whose comparisons and arithmetic run no Python code.
  // ROUTING_MODE_*, by RoutingMode, all exact str (else all NULL).
  PyObject* mode_names[kRoutingModeCount] = {};
  // The numeric settings as machine numbers (pynum.h), read as they stand.
  bool have_superfast = false;  // SUPERFAST_PER_SERVER_CAP
  double superfast = 0;
  bool have_hybrid = false;     // HYBRID_HOT_EXIT_RATIO, HYBRID_*_THRESHOLD
  double exit_ratio = 0, inflight_threshold = 0, rate_threshold = 0;
  bool have_window = false;     // HYBRID_RATE_WINDOW_SEC
  double window = 0;
  // normalize_lb_algorithm is the module's own, DEFAULT_LB_ALGORITHM is
  // exact str and VALID_LB_ALGORITHMS a frozenset of exact str: normalising
  // a None, str or number runs no Python code. The two names it is then
  // compared with, exact str.
  bool algorithms_known = false;
  PyObject* algo_sticky = nullptr;  // LB_ALGO_STICKY
  PyObject* algo_least = nullptr;   // LB_ALGO_LEAST_CONN
};

struct ModuleState {
  PyObject* module;       // borrowed: the state lives inside the module
  PyObject* module_dict;  // borrowed, as long-lived as the module

  PyTypeObject* lb_type;
  PyTypeObject* lease_type;
  PyTypeObject* coroutine_type;

  // False once anything on the LoadBalancer class itself was reassigned;
  // methods are then always reached through attribute lookup.
  bool lb_type_pristine;
  // False once asyncio.Lock (or a base of it) was modified; pool locks are
  // then always entered through their own methods.
  bool lock_type_pristine;
  // False once InflightLease was modified; it is then called as any class.
  bool lease_type_pristine;

  // The standard objects bound at start-up, kept to recognise them later.
  PyObject* std_time;       // the time module
  PyObject* std_monotonic;  // time.monotonic
  PyObject* std_time_time;  // time.time
  PyObject* std_deque;      // collections.deque
  PyObject* std_asyncio;    // the asyncio module
  PyObject* std_lock_type;  // asyncio.Lock
  PyObject* std_blake2b;    // _blake2.blake2b, found by the first sticky lookup (or NULL)
  PyObject* std_import;     // builtins.__import__ as bound at start-up
  PyObject* std_round;      // builtins.round as bound at start-up
  PyObject* plain_key_seen;  // the last pool key found an immutable_key() (pynum.h): it stays one

  PyObject* std_normalize_lb_algorithm;  // normalize_lb_algorithm as bound at start-up
  int dict_watcher;  // the watcher of the dicts whose contents are cached
  NamespaceFacts facts;

  // The _Waiter record class made at start-up, and its version tag then:
  // any later change to the class gives it another tag.
  PyObject* waiter_type;
  unsigned int waiter_version;

#define VARNHOLD_DECLARE_NAME(n) PyObject* s_##n;
  VARNHOLD_NAMES(VARNHOLD_DECLARE_NAME)
#undef VARNHOLD_DECLARE_NAME
#define VARNHOLD_DECLARE_TEXT(n, text) PyObject* n;
  VARNHOLD_TEXTS(VARNHOLD_DECLARE_TEXT)
#undef VARNHOLD_DECLARE_TEXT
};

// The module attribute naming each routing mode, by RoutingMode.
inline constexpr PyObject* ModuleState::*kRoutingModeNames[kRoutingModeCount] = {
    &ModuleState::s_ROUTING_MODE_MAX_CONCURRENCY,
    &ModuleState::s_ROUTING_MODE_QUEUE_ALL,
    &ModuleState::s_ROUTING_MODE_SUPERFAST,
    &ModuleState::s_ROUTING_MODE_HYBRID,
};

inline ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// Interns every name and text of the state; false with an error set.
bool intern_names(ModuleState* st);
// Drops them again (module clear).
void clear_names(ModuleState* st);

// The facts of the namespace as it stands now; throws when reading them
// failed (they are read again at the next call).
const NamespaceFacts& namespace_facts(ModuleState* st);

// A module attribute read now; NameError when the host deleted it.
Ref module_attr(ModuleState* st, PyObject* name);

// The monotonic clock as `time.monotonic()` of the module's current `time`.
double monotonic(ModuleState* st);
// The same as a Python float.
Ref monotonic_obj(ModuleState* st);
// CLOCK_MONOTONIC as time.monotonic() reads it, for callers that know the
// module's clock is the original.
double raw_monotonic();
// The wall clock as `time.time()` of the module's current `time`.
Ref wall_clock_obj(ModuleState* st);

// A new `deque()` or `deque(maxlen=n)` of the module's current `deque`.
Ref new_deque(ModuleState* st, Py_ssize_t maxlen = -1);

// logger.<level>(msg, *args) through the module's current `logger`, with
// arguments already evaluated.
void log(ModuleState* st, PyObject* level, const char* msg, std::initializer_list<PyObject*> args);
// The same in the call's own order, where evaluating an argument can run
// Python code: `logger.<level>` is read first (log_method), then the
// arguments, then the call (log_with).
Ref log_method(ModuleState* st, PyObject* level);
void log_with(PyObject* method, const char* msg, std::initializer_list<PyObject*> args);

}  // namespace varnhold
