// Routing modes and the capacity gate: the effective per-backend cap of the
// active mode, the hybrid hot/cold decision, the pool figures it needs, and
// the queue ceiling.
//
// These are the operations as the Python form runs them, over the
// interpreter's objects (the rules themselves are rules.h, shared with the
// fast road): each read of `self.x` or of a module attribute is made where
// the algorithm makes it, and every object still in use after a call that
// can run Python code is held.
#include "varnhold/load_balancer.h"
#include "varnhold/pynum.h"
#include "varnhold/rules.h"

namespace varnhold {

namespace {

Ref superfast_cap_via_self(LB* self, PyObject* configured) {
  if (own_methods(self)) return superfast_cap(self, configured);
  return call_via_lookup(self, self->st->s__superfast_cap, {configured});
}

// The truth of self._hybrid_hot(...), as the `if` reading it takes it.
bool hybrid_hot_via_self(LB* self, PyObject* pool_key, PyObject* pool_inflight,
                         PyObject* pool_rate) {
  Ref hot = own_methods(self)
                ? hybrid_hot(self, pool_key, pool_inflight, pool_rate)
                : call_via_lookup(self, self->st->s__hybrid_hot, {pool_key, pool_inflight, pool_rate});
  return truthy(hot.get());
}

Ref effective_cap_for_inner_via_self(LB* self, PyObject* server, PyObject* pool_inflight,
                                     PyObject* pool_rate, PyObject* pool_key) {
  if (own_methods(self)) {
    return effective_cap_for_inner(self, server, pool_inflight, pool_rate, pool_key);
  }
  return call_via_lookup(self, self->st->s__effective_cap_for, {server, pool_inflight, pool_rate},
                         self->st->s_pool_key, pool_key);
}

Ref pool_inflight_via_self(LB* self, PyObject* candidates) {
  if (own_methods(self)) return pool_inflight(self, candidates);
  return call_via_lookup(self, self->st->s__pool_inflight, {candidates});
}

// A module setting, read now.
PyNum setting(ModuleState* st, PyObject* name) { return PyNum(module_attr(st, name)); }

// int(server.get("max_concurrency") or 0)
PyNum configured_cap(ModuleState* st, PyObject* server) {
  return int_or_zero(record_field(server, st->s_max_concurrency, st->s_get));
}

// self.inflight.get(server["id"], 0)
PyNum inflight_of(LB* self, PyObject* server) {
  ModuleState* st = self->st;
  Ref inflight = get_state(self, kInflight);
  Ref zero = check(PyLong_FromLong(0));
  return PyNum(get_with(
      inflight.get(), st->s_get, [&] { return getitem(server, st->s_id); }, zero.get()));
}

// The settings of the hysteresis, each read when the rule uses it.
struct HybridSettings {
  ModuleState* st;
  PyNum exit_ratio() { return setting(st, st->s_HYBRID_HOT_EXIT_RATIO); }
  PyNum inflight_threshold() { return setting(st, st->s_HYBRID_INFLIGHT_THRESHOLD); }
  PyNum rate_threshold() { return setting(st, st->s_HYBRID_RATE_THRESHOLD); }
};

// The steps of _effective_cap_for that each mode takes through self.
struct CapsThroughSelf {
  LB* self;
  PyObject* pool_key;
  PyObject* pool_inflight;
  PyObject* pool_rate;
  PyNum superfast(const PyNum& configured) {
    return PyNum(superfast_cap_via_self(self, configured.get()));
  }
  bool hybrid_hot() { return hybrid_hot_via_self(self, pool_key, pool_inflight, pool_rate); }
};

// A dispatch window as Python code reads it: `win`, `win[0]`, `len(win)`,
// `win.popleft()`, each at the moment it is read.
class WindowReads {
 public:
  WindowReads(ModuleState* st, PyObject* win) : st_(st), win_(Ref::borrow(win)) {}
  bool nonempty() const { return truthy(win_.get()); }
  PyNum first() const {
    Ref zero = check(PyLong_FromLong(0));
    return PyNum(check(PyObject_GetItem(win_.get(), zero.get())));
  }
  PyNum count() const { return PyNum(check(PyLong_FromSsize_t(length(win_.get())))); }
  void popleft() { call_method0(win_.get(), st_->s_popleft); }

 private:
  ModuleState* st_;
  Ref win_;
};

// The process-wide rate: every pool's window trimmed, then the dispatches
// they keep per second since the oldest of them.
Ref process_rate(LB* self, const PyNum& now, const PyNum& cutoff) {
  ModuleState* st = self->st;
  PyNum total = Num<PyNum>::integer(0);
  Ref first;  // None until a window keeps something
  Ref windows = get_state(self, kPoolDispatchWindows);
  Ref values = call_method0(windows.get(), st->s_values);
  ItemWalk walk(values.get());
  while (Ref win = walk.next()) {
    WindowReads w(st, win.get());
    trim_window(w, cutoff);
    if (!w.nonempty()) continue;
    total = inplace_add(total, w.count());
    // first = win[0] if first is None else min(first, win[0])
    first = first ? builtin_min(PyNum(std::move(first)), w.first()).take() : w.first().take();
  }
  if (!first) return new_float(0.0);
  return rate_since(total, now, [&] { return PyNum::of(first.get()); }).take();
}

// The figures effective_cap_for and _under_capacity start from.
struct PoolFigures {
  Ref inflight;  // the pool's in-flight sum
  Ref rate;      // its recent dispatch rate
};

PoolFigures pool_figures(LB* self, PyObject* server, PyObject* pool_candidates,
                         PyObject* pool_key) {
  // if pool_candidates is None: pool_candidates = [server]
  Ref pool;
  if (pool_candidates == Py_None) {
    pool = check(PyList_New(1));
    PyList_SET_ITEM(pool.get(), 0, Py_NewRef(server));
  } else {
    pool = Ref::borrow(pool_candidates);
  }
  PoolFigures f;
  f.inflight = pool_inflight_via_self(self, pool.get());
  f.rate = recent_dispatch_rate_via_self(self, pool_key);
  return f;
}

}  // namespace

Ref superfast_cap(LB* self, PyObject* configured) {
  ModuleState* st = self->st;
  return superfast_clamp(PyNum::of(configured), [st] {
           return setting(st, st->s_SUPERFAST_PER_SERVER_CAP);
         }).take();
}

Ref hybrid_hot(LB* self, PyObject* pool_key, PyObject* pool_inflight, PyObject* pool_rate) {
  ModuleState* st = self->st;
  // was_hot = bool(self._pool_hot_state.get(pool_key, False)) if pool_key else False
  bool was_hot = false;
  if (truthy(pool_key)) {
    Ref states = get_state(self, kPoolHotState);
    Ref flag = mapping_get(states.get(), pool_key, Py_False, st->s_get);
    was_hot = truthy(flag.get());
  }
  HybridSettings settings{st};
  PyNum hot = hot_decision(was_hot, PyNum::of(pool_inflight), PyNum::of(pool_rate), settings);
  // if pool_key is not None and hot != was_hot: self._pool_hot_state[pool_key] = hot
  if (pool_key != Py_None &&
      truthy(check(PyObject_RichCompare(hot.get(), was_hot ? Py_True : Py_False, Py_NE)).get())) {
    Ref states = get_state(self, kPoolHotState);
    setitem(states.get(), pool_key, hot.get());
  }
  return std::move(hot).take();
}

Ref effective_cap_for_inner(LB* self, PyObject* server, PyObject* pool_inflight,
                            PyObject* pool_rate, PyObject* pool_key) {
  ModuleState* st = self->st;
  PyNum configured = configured_cap(st, server);
  // mode = self._routing_mode, compared with each mode's name in turn
  Ref mode = get_state(self, kRoutingMode);
  RoutingMode m = routing_mode_of([&](RoutingMode candidate) {
    Ref name = module_attr(st, st->*kRoutingModeNames[candidate]);
    return py_eq(mode.get(), name.get());
  });
  CapsThroughSelf caps{self, pool_key, pool_inflight, pool_rate};
  return cap_for_mode(m, configured, caps).take();
}

Ref effective_cap_for(LB* self, PyObject* server, PyObject* pool_candidates, PyObject* pool_key) {
  PoolFigures f = pool_figures(self, server, pool_candidates, pool_key);
  return effective_cap_for_inner_via_self(self, server, f.inflight.get(), f.rate.get(), pool_key);
}

Ref under_capacity(LB* self, PyObject* server, PyObject* pool_candidates, PyObject* pool_key) {
  PoolFigures f = pool_figures(self, server, pool_candidates, pool_key);
  PyNum cap(effective_cap_for_inner_via_self(self, server, f.inflight.get(), f.rate.get(), pool_key));
  return has_free_slot(cap, [&] { return inflight_of(self, server); }).take();
}

Ref pool_inflight(LB* self, PyObject* candidates) {
  // sum(self.inflight.get(s["id"], 0) for s in candidates)
  ItemWalk walk(candidates);
  return builtin_sum([&]() -> Ref {
    Ref s = walk.next();
    if (!s) return Ref();
    return inflight_of(self, s.get()).take();
  });
}

Ref recent_dispatch_rate(LB* self, PyObject* pool_key) {
  ModuleState* st = self->st;
  PyNum now(monotonic_obj(st));
  PyNum cutoff = rate_cutoff(now, [st] { return setting(st, st->s_HYBRID_RATE_WINDOW_SEC); });
  if (pool_key == Py_None) return process_rate(self, now, cutoff);
  // win = self._pool_dispatch_windows.get(pool_key)
  Ref windows = get_state(self, kPoolDispatchWindows);
  Ref win = dict_get(windows.get(), pool_key, st->s_get);
  WindowReads w(st, win ? win.get() : Py_None);
  return window_rate(w, now, cutoff).take();
}

Ref queue_capacity_for_pool(LB* self, PyObject* candidates) {
  ModuleState* st = self->st;
  // total = sum(int(s.get("max_concurrency") or 0) for s in candidates)
  ItemWalk walk(candidates);
  PyNum total(builtin_sum([&]() -> Ref {
    Ref s = walk.next();
    if (!s) return Ref();
    return configured_cap(st, s.get()).take();
  }));
  if (total <= Num<PyNum>::integer(0)) return check(PyLong_FromLong(0));
  // total * max(1, self.queue_depth_multiplier())
  PyNum multiplier(queue_depth_multiplier_via_self(self));
  return (total * builtin_max(Num<PyNum>::integer(1), multiplier)).take();
}

// ---- calls through self ----

Ref recent_dispatch_rate_via_self(LB* self, PyObject* pool_key) {
  if (own_methods(self)) return recent_dispatch_rate(self, pool_key);
  return call_via_lookup(self, self->st->s__recent_dispatch_rate, {pool_key});
}

bool under_capacity_via_self(LB* self, PyObject* server, PyObject* pool_candidates,
                             PyObject* pool_key) {
  Ref free = own_methods(self) ? under_capacity(self, server, pool_candidates, pool_key)
                               : call_via_lookup(self, self->st->s__under_capacity,
                                                 {server, pool_candidates}, self->st->s_pool_key,
                                                 pool_key);
  return truthy(free.get());
}

Ref queue_capacity_for_pool_via_self(LB* self, PyObject* candidates) {
  if (own_methods(self)) return queue_capacity_for_pool(self, candidates);
  return call_via_lookup(self, self->st->s__queue_capacity_for_pool, {candidates});
}

}  // namespace varnhold
