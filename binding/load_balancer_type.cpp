// The LoadBalancer type: instance layout, attributes, GC support and the
// method table, in the documented order.
#include <cstddef>
#include <new>

#include "binding/methods.h"
#include "binding/types.h"
#include "varnhold/load_balancer.h"

namespace varnhold {

namespace {

// ---- the methods, in the order the class defines them ----

constexpr const char* kSelf = "$self";

constexpr FunctionSpec kSetRoutingMode{
    signature("LoadBalancer.set_routing_mode", kSelf, 0, P(mode)), &set_routing_mode,
    "Sets the routing mode (normalised); returns the mode now in force."};
constexpr FunctionSpec kGetRoutingMode{signature("LoadBalancer.get_routing_mode", kSelf, 0),
                                       &get_routing_mode, "The active routing mode."};
constexpr FunctionSpec kQueueEnabled{
    signature("LoadBalancer.queue_enabled", kSelf, 0), &queue_enabled,
    "Whether requests may be parked: always in queue_all, else QUEUE_ENABLED."};
constexpr FunctionSpec kQueueTtlSec{signature("LoadBalancer.queue_ttl_sec", kSelf, 0),
                                    &queue_ttl_sec, "The waiter time-to-live of the active mode."};
constexpr FunctionSpec kQueueDepthMultiplier{
    signature("LoadBalancer.queue_depth_multiplier", kSelf, 0), &queue_depth_multiplier,
    "The queue depth multiplier of the active mode."};
constexpr FunctionSpec kSuperfastCap{
    signature("LoadBalancer._superfast_cap", kSelf, 0, P(configured)), &superfast_cap,
    "The superfast clamp of a configured cap (never below 1)."};
constexpr FunctionSpec kHybridHot{
    signature("LoadBalancer._hybrid_hot", kSelf, 0, P(pool_key), P(pool_inflight), P(pool_rate)),
    &hybrid_hot, "Whether the pool is hot now, with hysteresis; remembers a change."};
constexpr FunctionSpec kEffectiveCapForInner{
    signature("LoadBalancer._effective_cap_for", kSelf, 0, P(server), P(pool_inflight),
              P(pool_rate), P(pool_key, kNone)),
    &effective_cap_for_inner, "The backend's cap under the active routing mode (0 or below: no cap)."};
constexpr FunctionSpec kEffectiveCapFor{
    signature("LoadBalancer.effective_cap_for", kSelf, 0, P(server), P(pool_candidates, kNone),
              P(pool_key, kNone)),
    &effective_cap_for,
    "The backend's cap under the active routing mode, from the live pool figures."};
constexpr FunctionSpec kPoolInflight{
    signature("LoadBalancer._pool_inflight", kSelf, 0, P(candidates)), &pool_inflight,
    "The sum of the in-flight counts of the records."};
constexpr FunctionSpec kRecentDispatchRate{
    signature("LoadBalancer._recent_dispatch_rate", kSelf, 0, P(pool_key, kNone)),
    &recent_dispatch_rate,
    "Dispatches per second over the recent window, of one pool or of the process."};
constexpr FunctionSpec kIncrement{signature("LoadBalancer.increment", kSelf, 0, P(server_id)),
                                  &increment, "Counts one more request in flight."};
constexpr FunctionSpec kDecrement{
    signature("LoadBalancer.decrement", kSelf, 0, P(server_id)), &decrement,
    "Counts one request less in flight, then wakes at most one parked waiter."};
constexpr FunctionSpec kGetInflight{signature("LoadBalancer.get_inflight", kSelf, 0, P(server_id)),
                                    &get_inflight, "The server's in-flight count."};
constexpr FunctionSpec kForceClear{
    signature("LoadBalancer.force_clear", kSelf, 0, P(server_id)), &force_clear,
    "Drops the server's in-flight count with a warning; wakes nobody."};
constexpr FunctionSpec kLockFor{signature("LoadBalancer._lock_for", kSelf, 0, P(pool_key)),
                                &lock_for, "The pool's asyncio lock, created on first use."};
constexpr FunctionSpec kEvictStalePools{
    signature("LoadBalancer._evict_stale_pools", kSelf, 0), &evict_stale_pools,
    "Drops the round-robin weights, last access, dispatch window and hot flag of every pool "
    "idle longer than POOL_LRU_TTL_SEC; the pool's lock stays."};
constexpr FunctionSpec kUnderCapacity{
    signature("LoadBalancer._under_capacity", kSelf, 0, P(server), P(pool_candidates, kNone),
              P(pool_key, kNone)),
    &under_capacity, "Whether the backend has a free slot under the active routing mode."};
constexpr FunctionSpec kSelect{
    signature("LoadBalancer.select", kSelf, 5, P(pool_key), P(candidates),
              P(estimated_tokens, kZero), P(force_server_id, kNone), P(sin_binned, kNone),
              P(algorithm, kNone), P(sticky_key, kNone)),
    &select,
    "Chooses a backend for one request and books its dispatch; None when none is free "
    "(awaitable)."};
constexpr FunctionSpec kWrrPick{
    signature("LoadBalancer._wrr_pick", kSelf, 0, P(pool_key), P(eligible)), &wrr_pick,
    "Smooth weighted round-robin over the eligible records, under the pool lock (awaitable)."};
constexpr FunctionSpec kLeastConnectionsPick{
    signature("LoadBalancer._least_connections_pick", kSelf, 0, P(eligible)),
    &least_connections_pick, "The record with the fewest requests in flight per unit of weight."};
constexpr FunctionSpec kStickyLookup{
    signature("LoadBalancer._sticky_lookup", kSelf, 0, P(eligible), P(sticky_key)),
    &sticky_lookup,
    "The record that the sticky key hashes to (rendezvous hashing); None for no records."};
constexpr FunctionSpec kRecordDispatch{
    signature("LoadBalancer._record_dispatch", kSelf, 0, P(pool_key), P(server)),
    &record_dispatch, "Books one dispatch of the backend in the pool."};
constexpr FunctionSpec kFilterByFit{
    signature("LoadBalancer.filter_by_fit", kSelf, 0, P(candidates), P(estimated_tokens)),
    &filter_by_fit,
    "The candidates whose max_input_tokens can hold the estimate (all of them for an "
    "estimate of 0 or less), as a new list: smallest limit first, unlimited backends last, "
    "ties by id."};
constexpr FunctionSpec kQueueCapacityForPool{
    signature("LoadBalancer._queue_capacity_for_pool", kSelf, 0, P(candidates)),
    &queue_capacity_for_pool, "The waiter ceiling of the candidate set (0: no ceiling)."};
constexpr FunctionSpec kWaitForSlot{
    signature("LoadBalancer.wait_for_slot", kSelf, 1, P(pool_key), P(candidates),
              P(estimated_tokens), P(sin_binned, kNone)),
    &wait_for_slot,
    "Parks the request until one of its backends has a free slot or its time-to-live\n"
    "runs out; returns (backend or None, reason, seconds waited) (awaitable)."};
constexpr FunctionSpec kTryAdmit{signature("LoadBalancer._try_admit", kSelf, 0, P(waiter)),
                                 &try_admit,
                                 "Hands the waiter its first candidate with a free slot, if any."};
constexpr FunctionSpec kWakeOne{
    signature("LoadBalancer._wake_one", kSelf, 0, P(server_id)), &wake_one,
    "Hands the freed server to the first pending waiter, in the mode's order, that fits."};
constexpr FunctionSpec kFulfill{
    signature("LoadBalancer._fulfill", kSelf, 0, P(waiter), P(server)), &fulfill,
    "Unparks the waiter, books the dispatch and resolves its future with the backend."};
constexpr FunctionSpec kRemoveWaiter{
    signature("LoadBalancer._remove_waiter", kSelf, 0, P(waiter)), &remove_waiter,
    "Takes the waiter out of every queue it stands in; safe to repeat."};
constexpr FunctionSpec kNoteReject{signature("LoadBalancer.note_reject", kSelf, 0, P(reason)),
                                   &note_reject, "Counts one rejection under the reason."};
constexpr FunctionSpec kBumpReject{signature("LoadBalancer._bump_reject", kSelf, 0, P(reason)),
                                   &bump_reject, "Counts one rejection under the reason."};
constexpr FunctionSpec kSnapshot{
    signature("LoadBalancer.snapshot", kSelf, 0), &snapshot,
    "Evicts stale pools, then returns the balancer's state as a new dictionary of copies."};
constexpr FunctionSpec kPrometheusText{
    signature("LoadBalancer.prometheus_text", kSelf, 0), &prometheus_text,
    "The counters in the Prometheus text exposition format; changes nothing."};

// What object.__getstate__ gives an instance with a __dict__ and nothing
// else: the dict itself, or None when it is empty. (The default refuses a
// type whose C layout is larger than that; copy.copy() shares the state as
// it does for any Python class.)
Ref getstate(LB* self) {
  if (!self->dict || PyDict_GET_SIZE(self->dict) == 0) return Ref::borrow(Py_None);
  return Ref::borrow(self->dict);
}

constexpr FunctionSpec kGetState{signature("LoadBalancer.__getstate__", kSelf, 0), &getstate,
                                 "The instance's state for copy and pickle: its __dict__."};

PyMethodDef lb_methods[] = {
    documented_def<kSetRoutingMode>(),
    documented_def<kGetRoutingMode>(),
    documented_def<kQueueEnabled>(),
    documented_def<kQueueTtlSec>(),
    documented_def<kQueueDepthMultiplier>(),
    documented_def<kSuperfastCap>(),
    documented_def<kHybridHot>(),
    documented_def<kEffectiveCapForInner>(),
    documented_def<kEffectiveCapFor>(),
    documented_def<kPoolInflight>(),
    documented_def<kRecentDispatchRate>(),
    documented_def<kIncrement>(),
    documented_def<kDecrement>(),
    documented_def<kGetInflight>(),
    documented_def<kForceClear>(),
    documented_def<kLockFor>(),
    documented_def<kEvictStalePools>(),
    documented_def<kUnderCapacity>(),
    documented_def<kSelect>(),
    documented_def<kWrrPick>(),
    documented_def<kLeastConnectionsPick>(),
    documented_def<kStickyLookup>(),
    documented_def<kRecordDispatch>(),
    documented_def<kFilterByFit>(),
    documented_def<kQueueCapacityForPool>(),
    documented_def<kWaitForSlot>(),
    documented_def<kTryAdmit>(),
    documented_def<kWakeOne>(),
    documented_def<kFulfill>(),
    documented_def<kRemoveWaiter>(),
    documented_def<kNoteReject>(),
    documented_def<kBumpReject>(),
    documented_def<kSnapshot>(),
    documented_def<kPrometheusText>(),
    documented_def<kGetState>(),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* lb_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  PyObject* module = PyType_GetModuleByDef(type, &module_def);
  if (!module) {
    Py_DECREF(self);
    return nullptr;
  }
  LB* b = as_lb(self);
  b->st = static_cast<ModuleState*>(PyModule_GetState(module));
  new (&b->cache) StateCache();
  return self;
}

int lb_tp_init(PyObject* self, PyObject* args, PyObject* kwds) {
  if (PyTuple_GET_SIZE(args)) {
    PyErr_Format(PyExc_TypeError,
                 "LoadBalancer.__init__() takes 1 positional argument but %zd were given",
                 PyTuple_GET_SIZE(args) + 1);
    return -1;
  }
  if (kwds && PyDict_GET_SIZE(kwds)) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyDict_Next(kwds, &pos, &key, &value);
    PyErr_Format(PyExc_TypeError, "LoadBalancer.__init__() got an unexpected keyword argument '%S'",
                 key);
    return -1;
  }
  return guard_int([&] { lb_init(as_lb(self)); });
}

int lb_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_lb(self)->dict);
  return 0;
}

int lb_clear(PyObject* self) {
  LB* b = as_lb(self);
  b->cache = StateCache();
  Py_CLEAR(b->dict);
  return 0;
}

void lb_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_lb(self)->weakreflist) PyObject_ClearWeakRefs(self);
  lb_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMemberDef lb_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(LB, dict)), Py_READONLY,
     nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(LB, weakreflist)),
     Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef lb_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot lb_slots[] = {
    {Py_tp_doc, const_cast<char*>("LoadBalancer()\n--\n\n"
                                  "The dispatch state of the process and every dispatch "
                                  "operation: selection, capacity, parking and reports.")},
    {Py_tp_new, reinterpret_cast<void*>(lb_new)},
    {Py_tp_init, reinterpret_cast<void*>(lb_tp_init)},
    {Py_tp_members, lb_members},
    {Py_tp_getset, lb_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(lb_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(lb_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lb_dealloc)},
    {Py_tp_methods, lb_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec lb_spec = {
    "varnhold.LoadBalancer",
    sizeof(LB),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    lb_slots,
};

}  // namespace varnhold
