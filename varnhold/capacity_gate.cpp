// Routing modes and the capacity gate: the effective per-backend cap of the
// active mode, the hybrid hot/cold decision, the pool figures it needs, and
// the queue ceiling.
#include "varnhold/capacity_gate.h"

#include "varnhold/load_balancer.h"
#include "varnhold/pynum.h"

namespace varnhold {

Ref configured_cap(LB* self, PyObject* server) {
  // int(server.get("max_concurrency") or 0)
  Ref raw = dict_get(server, self->st->s_max_concurrency);
  if (!raw || !truthy(raw.get())) return new_int(0);
  if (PyLong_CheckExact(raw.get())) return raw;
  return check(PyNumber_Long(raw.get()));
}

namespace {

Ref zero() { return new_int(0); }

// Sum of the in-flight counts of a pool given as an iterable of records.
Ref sum_inflight(LB* self, PyObject* candidates) {
  PyObject* inflight = LB_INFLIGHT(self);
  ModuleState* st = self->st;
  long long fast = 0;
  Ref slow;  // set once the sum leaves small exact ints
  auto add_one = [&](PyObject* server) {
    Ref sid = getitem(server, st->s_id);
    PyObject* c = nullptr;
    if (PyDict_GetItemRef(inflight, sid.get(), &c) < 0) throw PyError();
    Ref count = c ? Ref::steal(c) : zero();
    long long v;
    if (!slow && small_int(count.get(), &v)) {
      fast += v;
      return;
    }
    if (!slow) slow = new_int(fast);
    slow = add(slow.get(), count.get());
  };
  if (PyList_CheckExact(candidates)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates); ++i) {
      Ref s = Ref::borrow(PyList_GET_ITEM(candidates, i));
      add_one(s.get());
    }
  } else {
    Ref it = check(PyObject_GetIter(candidates));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref s = Ref::steal(raw);
      add_one(s.get());
    }
    if (PyErr_Occurred()) throw PyError();
  }
  return slow ? std::move(slow) : new_int(fast);
}

// Drops timestamps older than cutoff from the left of a window.
void trim(ModuleState* st, PyObject* win, PyObject* cutoff) {
  for (;;) {
    Py_ssize_t n = check_size(PyObject_Size(win));
    if (n == 0) return;
    Ref first = check(PySequence_GetItem(win, 0));
    if (!cmp(first.get(), cutoff, Py_LT)) return;
    call_method0(win, st->s_popleft);
  }
}

// An exact float, or an exact int that converts to a double exactly.
bool plain_double(PyObject* o, double* out) {
  long long v;
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (small_int(o, &v) && v < (1LL << 53) && v > -(1LL << 53)) {
    *out = static_cast<double>(v);
    return true;
  }
  return false;
}

// One pool's rate for a real deque of float times: the trim, max(0.5, window),
// the age and max(0.001, age) as the object arithmetic does them. False, with
// only the trimming done that the general path would do alike, when an entry
// is not a float.
bool pool_rate_in_doubles(ModuleState* st, PyObject* win, double now, double window, Ref* out) {
  if (Py_TYPE(win) != reinterpret_cast<PyTypeObject*>(st->std_deque)) return false;
  double cutoff = now - (window > 0.5 ? window : 0.5);
  for (;;) {
    Py_ssize_t n = check_size(PyObject_Size(win));
    if (n == 0) {
      *out = new_float(0.0);
      return true;
    }
    Ref first = check(PySequence_GetItem(win, 0));
    if (!PyFloat_CheckExact(first.get())) return false;
    double f = PyFloat_AS_DOUBLE(first.get());
    if (f < cutoff) {
      call_method0(win, st->s_popleft);
      continue;
    }
    double age = now - f;
    *out = new_float(static_cast<double>(n) / (age > 0.001 ? age : 0.001));
    return true;
  }
}

}  // namespace

Ref superfast_cap(LB* self, PyObject* configured) {
  Ref cap = module_attr(self->st, self->st->s_SUPERFAST_PER_SERVER_CAP);
  Ref one = new_int(1);
  Ref z = zero();
  if (cmp(configured, z.get(), Py_LE)) return py_max(one.get(), cap.get());
  Ref smaller = py_min(configured, cap.get());
  return py_max(one.get(), smaller.get());
}

bool hybrid_hot(LB* self, PyObject* pool_key, PyObject* pool_inflight, PyObject* pool_rate) {
  ModuleState* st = self->st;
  bool was_hot = false;
  if (pool_key != Py_None && truthy(pool_key)) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(LB_POOL_HOT_STATE(self), pool_key, &v) < 0) throw PyError();
    Ref flag = Ref::steal(v);
    was_hot = flag && truthy(flag.get());
  }
  // The exit ratio bounded to 0.0 .. 1.0 (NaN lands on 1.0).
  Ref setting = module_attr(st, st->s_HYBRID_HOT_EXIT_RATIO);
  Ref lo = new_float(0.0);
  Ref hi = new_float(1.0);
  Ref upper = py_min(hi.get(), setting.get());
  Ref ratio = py_max(lo.get(), upper.get());
  Ref inflight_threshold = module_attr(st, st->s_HYBRID_INFLIGHT_THRESHOLD);
  Ref rate_threshold = module_attr(st, st->s_HYBRID_RATE_THRESHOLD);
  bool hot;
  if (was_hot) {
    Ref inflight_exit = mul(inflight_threshold.get(), ratio.get());
    Ref rate_exit = mul(rate_threshold.get(), ratio.get());
    hot = cmp(pool_inflight, inflight_exit.get(), Py_GT) || cmp(pool_rate, rate_exit.get(), Py_GT);
  } else {
    hot = cmp(pool_inflight, inflight_threshold.get(), Py_GE) ||
          cmp(pool_rate, rate_threshold.get(), Py_GE);
  }
  if (pool_key != Py_None && hot != was_hot) {
    check(PyDict_SetItem(LB_POOL_HOT_STATE(self), pool_key, hot ? Py_True : Py_False));
  }
  return hot;
}

Ref effective_cap_for_inner(LB* self, PyObject* server, PyObject* pool_inflight,
                            PyObject* pool_rate, PyObject* pool_key) {
  ModuleState* st = self->st;
  Ref configured = configured_cap(self, server);
  Ref mode = Ref::borrow(LB_ROUTING_MODE(self));
  auto is = [&](PyObject* name) {
    Ref want = module_attr(st, name);
    return mode.get() == want.get() || cmp(mode.get(), want.get(), Py_EQ);
  };
  if (is(st->s_ROUTING_MODE_MAX_CONCURRENCY)) return configured;
  if (is(st->s_ROUTING_MODE_QUEUE_ALL)) return configured;
  if (is(st->s_ROUTING_MODE_SUPERFAST)) return superfast_cap_via_self(self, configured.get());
  if (is(st->s_ROUTING_MODE_HYBRID)) {
    if (hybrid_hot_via_self(self, pool_key, pool_inflight, pool_rate)) return configured;
    return superfast_cap_via_self(self, configured.get());
  }
  return configured;
}

namespace {

// The shared first steps of effective_cap_for and _under_capacity.
Ref cap_from_live_figures(LB* self, PyObject* server, PyObject* pool_candidates,
                          PyObject* pool_key) {
  Ref pool_inflight;
  if (pool_candidates == Py_None) {
    if (plain(self)) {
      pool_inflight = sum_inflight_of_one(self, server);
    } else {
      Ref pool = check(PyList_New(1));
      PyList_SET_ITEM(pool.get(), 0, Py_NewRef(server));
      pool_inflight = pool_inflight_via_self(self, pool.get());
    }
  } else {
    pool_inflight = pool_inflight_via_self(self, pool_candidates);
  }
  Ref pool_rate = recent_dispatch_rate_via_self(self, pool_key);
  return effective_cap_for_inner_via_self(self, server, pool_inflight.get(), pool_rate.get(),
                                          pool_key);
}

}  // namespace

Ref sum_inflight_of_one(LB* self, PyObject* server) {
  Ref sid = getitem(server, self->st->s_id);
  PyObject* c = nullptr;
  if (PyDict_GetItemRef(LB_INFLIGHT(self), sid.get(), &c) < 0) throw PyError();
  if (!c) return zero();
  Ref count = Ref::steal(c);
  Ref z = zero();
  return add(z.get(), count.get());
}

Ref effective_cap_for(LB* self, PyObject* server, PyObject* pool_candidates, PyObject* pool_key) {
  return cap_from_live_figures(self, server, pool_candidates, pool_key);
}

bool under_capacity(LB* self, PyObject* server, PyObject* pool_candidates, PyObject* pool_key) {
  Ref cap = cap_from_live_figures(self, server, pool_candidates, pool_key);
  Ref z = zero();
  if (cmp(cap.get(), z.get(), Py_LE)) return true;
  Ref sid = getitem(server, self->st->s_id);
  PyObject* c = nullptr;
  if (PyDict_GetItemRef(LB_INFLIGHT(self), sid.get(), &c) < 0) throw PyError();
  Ref count = c ? Ref::steal(c) : zero();
  return cmp(count.get(), cap.get(), Py_LT);
}

Ref pool_inflight(LB* self, PyObject* candidates) { return sum_inflight(self, candidates); }

Ref recent_dispatch_rate(LB* self, PyObject* pool_key) {
  ModuleState* st = self->st;
  Ref now = monotonic_obj(st);
  Ref half = new_float(0.5);
  Ref setting = module_attr(st, st->s_HYBRID_RATE_WINDOW_SEC);
  // With a float clock and a float or small int window, one pool's rate is
  // computed in doubles (same operations, same values) and the objects below
  // are only made if the window holds something other than floats.
  double window_d = 0.0;
  bool doubles = pool_key != Py_None && PyFloat_CheckExact(now.get()) &&
                 plain_double(setting.get(), &window_d);
  Ref window, cutoff, floor;
  auto make_bounds = [&] {
    window = py_max(half.get(), setting.get());
    cutoff = sub(now.get(), window.get());
    floor = new_float(0.001);
  };
  if (!doubles) make_bounds();
  PyObject* windows = LB_POOL_DISPATCH_WINDOWS(self);
  if (pool_key != Py_None) {
    PyObject* w = nullptr;
    if (PyDict_GetItemRef(windows, pool_key, &w) < 0) throw PyError();
    Ref win = Ref::steal(w);
    if (!win || !truthy(win.get())) return new_float(0.0);
    if (doubles) {
      Ref rate;
      if (pool_rate_in_doubles(st, win.get(), PyFloat_AS_DOUBLE(now.get()), window_d, &rate)) {
        return rate;
      }
      make_bounds();
    }
    trim(st, win.get(), cutoff.get());
    Py_ssize_t n = check_size(PyObject_Size(win.get()));
    if (n == 0) return new_float(0.0);
    Ref first = check(PySequence_GetItem(win.get(), 0));
    Ref age = sub(now.get(), first.get());
    Ref divisor = py_max(floor.get(), age.get());
    Ref count = check(PyLong_FromSsize_t(n));
    return truediv(count.get(), divisor.get());
  }
  Py_ssize_t total = 0;
  Ref first;
  // Iterate over a snapshot of the values: trimming never adds or removes keys.
  Ref values = check(PyDict_Values(windows));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
    PyObject* win = PyList_GET_ITEM(values.get(), i);
    trim(st, win, cutoff.get());
    Py_ssize_t n = check_size(PyObject_Size(win));
    if (n == 0) continue;
    total += n;
    Ref oldest = check(PySequence_GetItem(win, 0));
    if (!first || cmp(oldest.get(), first.get(), Py_LT)) first = std::move(oldest);
  }
  if (total == 0) return new_float(0.0);
  Ref age = sub(now.get(), first.get());
  Ref divisor = py_max(floor.get(), age.get());
  Ref count = check(PyLong_FromSsize_t(total));
  return truediv(count.get(), divisor.get());
}

Ref queue_capacity_for_pool(LB* self, PyObject* candidates) {
  Ref total = zero();
  Ref it = check(PyObject_GetIter(candidates));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref s = Ref::steal(raw);
    Ref cap = configured_cap(self, s.get());
    total = add(total.get(), cap.get());
  }
  if (PyErr_Occurred()) throw PyError();
  Ref z = zero();
  if (cmp(total.get(), z.get(), Py_LE)) return z;
  Ref one = new_int(1);
  Ref multiplier = queue_depth_multiplier_via_self(self);
  Ref m = py_max(one.get(), multiplier.get());
  return mul(total.get(), m.get());
}

// ---- calls through self ----

Ref superfast_cap_via_self(LB* self, PyObject* configured) {
  if (plain(self)) return superfast_cap(self, configured);
  return call_via_lookup(self, self->st->s__superfast_cap, {configured});
}

bool hybrid_hot_via_self(LB* self, PyObject* pool_key, PyObject* pool_inflight,
                         PyObject* pool_rate) {
  if (plain(self)) return hybrid_hot(self, pool_key, pool_inflight, pool_rate);
  Ref r = call_via_lookup(self, self->st->s__hybrid_hot, {pool_key, pool_inflight, pool_rate});
  return truthy(r.get());
}

Ref effective_cap_for_inner_via_self(LB* self, PyObject* server, PyObject* pool_inflight,
                                     PyObject* pool_rate, PyObject* pool_key) {
  if (plain(self)) return effective_cap_for_inner(self, server, pool_inflight, pool_rate, pool_key);
  return call_via_lookup(self, self->st->s__effective_cap_for, {server, pool_inflight, pool_rate},
                         self->st->s_pool_key, pool_key);
}

Ref pool_inflight_via_self(LB* self, PyObject* candidates) {
  if (plain(self)) return pool_inflight(self, candidates);
  return call_via_lookup(self, self->st->s__pool_inflight, {candidates});
}

Ref recent_dispatch_rate_via_self(LB* self, PyObject* pool_key) {
  if (plain(self)) return recent_dispatch_rate(self, pool_key);
  return call_via_lookup(self, self->st->s__recent_dispatch_rate, {pool_key});
}

bool under_capacity_via_self(LB* self, PyObject* server, PyObject* pool_candidates,
                             PyObject* pool_key) {
  if (plain(self)) return under_capacity(self, server, pool_candidates, pool_key);
  Ref r = call_via_lookup(self, self->st->s__under_capacity, {server, pool_candidates},
                          self->st->s_pool_key, pool_key);
  return truthy(r.get());
}

Ref queue_capacity_for_pool_via_self(LB* self, PyObject* candidates) {
  if (plain(self)) return queue_capacity_for_pool(self, candidates);
  return call_via_lookup(self, self->st->s__queue_capacity_for_pool, {candidates});
}

}  // namespace varnhold
