// The LoadBalancer type: instance layout, attributes, GC support, the
// methods of the balancer's state and counters, and the method table laid
// out in the documented order from each concern's table.
#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/types.h"
#include "varnhold/load_balancer.h"

namespace varnhold {

// Concern tables not linked in leave no methods behind.
extern PyMethodDef capacity_gate_methods[] __attribute__((weak));
extern PyMethodDef selection_methods[] __attribute__((weak));
extern PyMethodDef waiter_queue_methods[] __attribute__((weak));
extern PyMethodDef token_fit_methods[] __attribute__((weak));
extern PyMethodDef reports_methods[] __attribute__((weak));

namespace {

LB* lb(PyObject* o) { return as_lb(o); }

#define LB_SIG(name, npos, nreq, ...) \
  static const Signature sig{"LoadBalancer." name, 1, npos, nreq, 0, {__VA_ARGS__}}

PyObject* m_set_routing_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kw) {
  return guard([&] {
    LB_SIG("set_routing_mode", 1, 1, "mode");
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    return set_routing_mode(lb(self), a[0]);
  });
}

PyObject* m_get_routing_mode(PyObject* self, PyObject*) {
  return guard([&] { return Ref::borrow(LB_ROUTING_MODE(lb(self))); });
}

PyObject* m_queue_enabled(PyObject* self, PyObject*) {
  return guard([&] { return queue_enabled(lb(self)); });
}

PyObject* m_queue_ttl_sec(PyObject* self, PyObject*) {
  return guard([&] { return queue_ttl_sec(lb(self)); });
}

PyObject* m_queue_depth_multiplier(PyObject* self, PyObject*) {
  return guard([&] { return queue_depth_multiplier(lb(self)); });
}

// One-argument methods taking server_id, by position or by name.
template <Ref (*F)(LB*, PyObject*)>
PyObject* server_id_method(const Signature& sig, PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    if (nargs == 1 && !kw) return F(lb(self), args[0]);
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    return F(lb(self), a[0]);
  });
}

Ref do_force_clear(LB* self, PyObject* sid) {
  force_clear(self, sid);
  return Ref::borrow(Py_None);
}

PyObject* m_increment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  LB_SIG("increment", 1, 1, "server_id");
  return server_id_method<increment>(sig, self, args, nargs, kw);
}

PyObject* m_decrement(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  LB_SIG("decrement", 1, 1, "server_id");
  return server_id_method<decrement>(sig, self, args, nargs, kw);
}

PyObject* m_get_inflight(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  LB_SIG("get_inflight", 1, 1, "server_id");
  return server_id_method<get_inflight>(sig, self, args, nargs, kw);
}

PyObject* m_force_clear(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  LB_SIG("force_clear", 1, 1, "server_id");
  return server_id_method<do_force_clear>(sig, self, args, nargs, kw);
}

PyObject* m_lock_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  LB_SIG("_lock_for", 1, 1, "pool_key");
  return server_id_method<lock_for>(sig, self, args, nargs, kw);
}

PyObject* m_record_dispatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kw) {
  return guard([&] {
    LB_SIG("_record_dispatch", 2, 2, "pool_key", "server");
    std::array<PyObject*, 2> a;
    parse_args(sig, args, nargs, kw, a);
    record_dispatch(lb(self), a[0], a[1]);
    return Ref::borrow(Py_None);
  });
}

PyObject* reject_method(const Signature& sig, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kw, bool via_self) {
  return guard([&] {
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    if (via_self) {
      bump_reject_via_self(lb(self), a[0]);
    } else {
      bump_reject(lb(self), a[0]);
    }
    return Ref::borrow(Py_None);
  });
}

PyObject* m_note_reject(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  LB_SIG("note_reject", 1, 1, "reason");
  return reject_method(sig, self, args, nargs, kw, true);
}

PyObject* m_bump_reject(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  LB_SIG("_bump_reject", 1, 1, "reason");
  return reject_method(sig, self, args, nargs, kw, false);
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef balancer_state_methods[] = {
    {"set_routing_mode", fastcall(m_set_routing_mode), kFast,
     "Sets the routing mode (normalised); returns the mode now in force."},
    {"get_routing_mode", m_get_routing_mode, METH_NOARGS, "The active routing mode."},
    {"queue_enabled", m_queue_enabled, METH_NOARGS,
     "Whether requests may be parked: always in queue_all, else QUEUE_ENABLED."},
    {"queue_ttl_sec", m_queue_ttl_sec, METH_NOARGS, "The waiter time-to-live of the active mode."},
    {"queue_depth_multiplier", m_queue_depth_multiplier, METH_NOARGS,
     "The queue depth multiplier of the active mode."},
    {"increment", fastcall(m_increment), kFast, "Counts one more request in flight."},
    {"decrement", fastcall(m_decrement), kFast,
     "Counts one request less in flight, then wakes at most one parked waiter."},
    {"get_inflight", fastcall(m_get_inflight), kFast, "The server's in-flight count."},
    {"force_clear", fastcall(m_force_clear), kFast,
     "Drops the server's in-flight count with a warning; wakes nobody."},
    {"_lock_for", fastcall(m_lock_for), kFast, "The pool's asyncio lock, created on first use."},
    {"_record_dispatch", fastcall(m_record_dispatch), kFast,
     "Books one dispatch of the backend in the pool."},
    {"note_reject", fastcall(m_note_reject), kFast, "Counts one rejection under the reason."},
    {"_bump_reject", fastcall(m_bump_reject), kFast, "Counts one rejection under the reason."},
    {nullptr, nullptr, 0, nullptr},
};

namespace {

// The documented order of the balancer's methods.
const char* const kMethodOrder[] = {
    "set_routing_mode", "get_routing_mode", "queue_enabled", "queue_ttl_sec",
    "queue_depth_multiplier", "_superfast_cap", "_hybrid_hot", "_effective_cap_for",
    "effective_cap_for", "_pool_inflight", "_recent_dispatch_rate", "increment", "decrement",
    "get_inflight", "force_clear", "_lock_for", "_evict_stale_pools", "_under_capacity", "select",
    "_wrr_pick", "_least_connections_pick", "_sticky_lookup", "_record_dispatch", "filter_by_fit",
    "_queue_capacity_for_pool", "wait_for_slot", "_try_admit", "_wake_one", "_fulfill",
    "_remove_waiter", "note_reject", "_bump_reject", "snapshot", "prometheus_text",
};

std::vector<PyMethodDef>& ordered_methods() {
  static std::vector<PyMethodDef> table;
  if (!table.empty()) return table;
  PyMethodDef* tables[] = {balancer_state_methods, capacity_gate_methods, selection_methods,
                           waiter_queue_methods,   token_fit_methods,     reports_methods};
  // One entry per name: the first table that binds it.
  for (const char* name : kMethodOrder) {
    bool found = false;
    for (PyMethodDef* t : tables) {
      if (!t) continue;
      for (PyMethodDef* d = t; d->ml_name && !found; ++d) {
        if (std::strcmp(d->ml_name, name) == 0) {
          table.push_back(*d);
          found = true;
        }
      }
    }
  }
  table.push_back({nullptr, nullptr, 0, nullptr});
  return table;
}

PyObject* lb_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  PyObject* module = PyType_GetModuleByDef(type, &module_def);
  if (!module) {
    Py_DECREF(self);
    return nullptr;
  }
  as_lb(self)->st = static_cast<ModuleState*>(PyModule_GetState(module));
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
  return guard_int([&] { lb_init(lb(self)); });
}

#define LB_FIELDS(X)                                                                       \
  X(inflight) X(wrr) X(locks) X(pool_last_access) X(waiters) X(all_waiters)                \
  X(dispatch_counts) X(last_dispatch_ts) X(reject_counts) X(queue_wait_samples)            \
  X(routing_mode) X(pool_dispatch_windows) X(pool_hot_state)

int lb_traverse(PyObject* self, visitproc visit, void* arg) {
  LB* b = lb(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(b->dict);
#define VISIT_FIELD(f) Py_VISIT(b->f);
  LB_FIELDS(VISIT_FIELD)
#undef VISIT_FIELD
  return 0;
}

int lb_clear(PyObject* self) {
  LB* b = lb(self);
  Py_CLEAR(b->dict);
#define CLEAR_FIELD(f) Py_CLEAR(b->f);
  LB_FIELDS(CLEAR_FIELD)
#undef CLEAR_FIELD
  return 0;
}

void lb_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (lb(self)->weakreflist) PyObject_ClearWeakRefs(self);
  lb_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

#define MEMBER(pyname, field) \
  {pyname, Py_T_OBJECT_EX, static_cast<Py_ssize_t>(offsetof(LB, field)), 0, nullptr}

PyMemberDef lb_members[] = {
    MEMBER("inflight", inflight),
    MEMBER("_wrr", wrr),
    MEMBER("_locks", locks),
    MEMBER("_pool_last_access", pool_last_access),
    MEMBER("_waiters", waiters),
    MEMBER("_all_waiters", all_waiters),
    MEMBER("dispatch_counts", dispatch_counts),
    MEMBER("last_dispatch_ts", last_dispatch_ts),
    MEMBER("reject_counts", reject_counts),
    MEMBER("queue_wait_samples", queue_wait_samples),
    MEMBER("_routing_mode", routing_mode),
    MEMBER("_pool_dispatch_windows", pool_dispatch_windows),
    MEMBER("_pool_hot_state", pool_hot_state),
    {"__dictoffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(LB, dict)), Py_READONLY,
     nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(LB, weakreflist)),
     Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot lb_slots[] = {
    {Py_tp_doc, const_cast<char*>("The dispatch state of the process and every dispatch "
                                  "operation: selection, capacity, parking and reports.")},
    {Py_tp_new, reinterpret_cast<void*>(lb_new)},
    {Py_tp_init, reinterpret_cast<void*>(lb_tp_init)},
    {Py_tp_members, lb_members},
    {Py_tp_traverse, reinterpret_cast<void*>(lb_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(lb_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lb_dealloc)},
    {Py_tp_methods, nullptr},  // filled by prepare_lb_spec()
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

void prepare_lb_spec() {
  for (PyType_Slot* s = lb_slots; s->slot; ++s) {
    if (s->slot == Py_tp_methods) s->pfunc = ordered_methods().data();
  }
}

}  // namespace varnhold
