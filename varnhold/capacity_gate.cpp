// Routing modes and the capacity gate: the effective per-backend cap of the
// active mode, the hybrid hot/cold decision, the pool figures it needs, and
// the queue ceiling.
#include "varnhold/capacity_gate.h"

#include "varnhold/load_balancer.h"
#include "varnhold/plain.h"
#include "varnhold/pynum.h"

namespace varnhold {

namespace {

using Settings = CapacityRun::Settings;

// Routing modes in the order `_effective_cap_for` tests them.
enum Mode { kMaxConcurrency, kQueueAll, kSuperfast, kHybrid, kOtherMode };

Ref zero() { return Ref::borrow(PyLong_FromLong(0)); }  // small ints are immortal


bool is_std_deque(ModuleState* st, PyObject* o) {
  return reinterpret_cast<PyObject*>(Py_TYPE(o)) == st->std_deque;
}

// `if win:` for a dispatch window.
bool window_nonempty(ModuleState* st, PyObject* win) {
  if (is_std_deque(st, win)) return check_size(PyObject_Size(win)) > 0;
  return truthy(win);
}

// int(server.get("max_concurrency") or 0); *pure stays true only when no
// Python code can have run.
Ref configured_cap_p(LB* self, PyObject* server, bool* pure) {
  if (!PyDict_CheckExact(server)) *pure = false;
  Ref raw = dict_get(server, self->st->s_max_concurrency, self->st->s_get);
  if (!raw || !truthy(raw.get())) return zero();
  if (PyLong_CheckExact(raw.get())) return raw;
  if (!plain_number(raw.get()) && !PyUnicode_CheckExact(raw.get())) *pure = false;
  return check(PyNumber_Long(raw.get()));
}

// The in-flight count of one record: inflight.get(server["id"], 0).
Ref inflight_of(LB* self, PyObject* server, bool* pure) {
  if (!PyDict_CheckExact(server)) *pure = false;
  Ref sid = getitem(server, self->st->s_id);
  if (!plain_key(sid.get())) *pure = false;
  PyObject* c = nullptr;
  if (PyDict_GetItemRef(LB_INFLIGHT(self), sid.get(), &c) < 0) throw PyError();
  if (!c) return zero();
  if (!plain_number(c)) *pure = false;
  return Ref::steal(c);
}

// sum(inflight.get(s["id"], 0) for s in candidates)
Ref sum_inflight(LB* self, PyObject* candidates, bool* pure) {
  long long fast = 0;
  Ref slow;  // set once the sum leaves small exact ints
  auto add_one = [&](PyObject* server) {
    Ref count = inflight_of(self, server, pure);
    long long v;
    if (!slow && small_int(count.get(), &v)) {
      fast += v;
      return;
    }
    if (!slow) slow = new_int(fast);
    slow = add(slow.get(), count.get());
  };
  if (PyList_CheckExact(candidates) || PyTuple_CheckExact(candidates)) {
    PyObject* seq = candidates;
    bool list = PyList_CheckExact(seq);
    for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)); ++i) {
      Ref s = Ref::borrow(list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
      add_one(s.get());
    }
  } else {
    *pure = false;  // an iterator may be consumed, a sequence may compute its items
    Ref it = check(PyObject_GetIter(candidates));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref s = Ref::steal(raw);
      add_one(s.get());
    }
    if (PyErr_Occurred()) throw PyError();
  }
  return slow ? std::move(slow) : new_int(fast);
}

Ref sum_inflight_one(LB* self, PyObject* server, bool* pure) {
  Ref count = inflight_of(self, server, pure);
  if (PyLong_CheckExact(count.get())) return count;  // 0 + n is n
  Ref z = zero();
  return add(z.get(), count.get());
}

// while win and win[0] < cutoff: win.popleft()
void trim(ModuleState* st, PyObject* win, PyObject* cutoff, bool* pure) {
  if (!is_std_deque(st, win)) *pure = false;
  Ref index0 = zero();
  for (;;) {
    if (!window_nonempty(st, win)) return;
    Ref first = check(PyObject_GetItem(win, index0.get()));
    if (!PyFloat_CheckExact(first.get())) *pure = false;
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

Ref recent_dispatch_rate_p(LB* self, PyObject* pool_key, bool* pure) {
  ModuleState* st = self->st;
  if (!real_monotonic(st)) *pure = false;
  Ref now = monotonic_obj(st);
  Ref half = new_float(0.5);
  Ref setting = module_attr(st, st->s_HYBRID_RATE_WINDOW_SEC);
  if (!plain_number(setting.get())) *pure = false;
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
  Ref index0 = zero();
  if (pool_key != Py_None) {
    if (!plain_key(pool_key)) *pure = false;
    PyObject* w = nullptr;
    if (PyDict_GetItemRef(windows, pool_key, &w) < 0) throw PyError();
    Ref win = Ref::steal(w);
    if (!win || !window_nonempty(st, win.get())) return new_float(0.0);
    if (doubles) {
      Ref rate;
      if (pool_rate_in_doubles(st, win.get(), PyFloat_AS_DOUBLE(now.get()), window_d, &rate)) {
        return rate;
      }
      make_bounds();
    }
    trim(st, win.get(), cutoff.get(), pure);
    if (!window_nonempty(st, win.get())) return new_float(0.0);
    Py_ssize_t n = check_size(PyObject_Size(win.get()));
    Ref first = check(PyObject_GetItem(win.get(), index0.get()));
    Ref age = sub(now.get(), first.get());
    Ref divisor = py_max(floor.get(), age.get());
    Ref count = check(PyLong_FromSsize_t(n));
    return truediv(count.get(), divisor.get());
  }
  Ref total = zero();
  Ref first;
  // Trimming never adds or removes keys, so a snapshot of the values is the
  // dict's own sequence of windows.
  Ref values = check(PyDict_Values(windows));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
    PyObject* win = PyList_GET_ITEM(values.get(), i);
    trim(st, win, cutoff.get(), pure);
    if (!window_nonempty(st, win)) continue;
    Ref n = check(PyLong_FromSsize_t(check_size(PyObject_Size(win))));
    total = add(total.get(), n.get());
    Ref oldest = check(PyObject_GetItem(win, index0.get()));
    if (!first) {
      first = std::move(oldest);
    } else {
      first = py_min(first.get(), oldest.get());
    }
  }
  if (!first) return new_float(0.0);
  Ref age = sub(now.get(), first.get());
  Ref divisor = py_max(floor.get(), age.get());
  return truediv(total.get(), divisor.get());
}

// A setting read now, or kept in the run's settings once read.
Ref setting(ModuleState* st, Settings* s, Ref Settings::*field, PyObject* name) {
  if (!s) return module_attr(st, name);
  Ref& slot = s->*field;
  if (!slot) slot = module_attr(st, name);
  return slot.dup();
}

int routing_mode(LB* self, Settings* s) {
  if (s && s->mode >= 0) return s->mode;
  ModuleState* st = self->st;
  Ref mode = Ref::borrow(LB_ROUTING_MODE(self));
  int found = kOtherMode;
  PyObject* const names[] = {st->s_ROUTING_MODE_MAX_CONCURRENCY, st->s_ROUTING_MODE_QUEUE_ALL,
                             st->s_ROUTING_MODE_SUPERFAST, st->s_ROUTING_MODE_HYBRID};
  bool plain_text = PyUnicode_CheckExact(mode.get());
  for (int i = 0; i < 4; ++i) {
    Ref want = module_attr(st, names[i]);
    plain_text = plain_text && PyUnicode_CheckExact(want.get());
    if (py_eq(mode.get(), want.get())) {
      found = i;
      break;
    }
  }
  if (s) {
    if (plain_text) {
      s->mode = found;
    } else {
      s->impure = true;
    }
  }
  return found;
}

Ref superfast_core(LB* self, PyObject* configured, Settings* s) {
  Ref one = Ref::borrow(PyLong_FromLong(1));
  Ref z = zero();
  bool unset = cmp(configured, z.get(), Py_LE);
  Ref cap = setting(self->st, s, &Settings::superfast, self->st->s_SUPERFAST_PER_SERVER_CAP);
  if (unset) return py_max(one.get(), cap.get());
  Ref smaller = py_min(configured, cap.get());
  return py_max(one.get(), smaller.get());
}

bool hybrid_core(LB* self, PyObject* pool_key, PyObject* pool_inflight, PyObject* pool_rate,
                 Settings* s) {
  ModuleState* st = self->st;
  // 1. The remembered state; a false key counts as not hot.
  bool was_hot = false;
  if (pool_key != Py_None && truthy(pool_key)) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(LB_POOL_HOT_STATE(self), pool_key, &v) < 0) throw PyError();
    Ref flag = Ref::steal(v);
    was_hot = flag && truthy(flag.get());
  }
  // 2.-3. The exit ratio bounded to 0.0 .. 1.0 (NaN lands on 1.0) and the
  // exit thresholds it gives.
  Ref ratio, inflight_exit, rate_exit;
  if (s && s->ratio) {
    ratio = s->ratio.dup();
  } else {
    Ref raw = module_attr(st, st->s_HYBRID_HOT_EXIT_RATIO);
    Ref lo = new_float(0.0);
    Ref hi = new_float(1.0);
    Ref upper = py_min(hi.get(), raw.get());
    ratio = py_max(lo.get(), upper.get());
    if (s) {
      s->ratio = ratio.dup();
      if (!plain_number(raw.get())) s->impure = true;
    }
  }
  Ref inflight_threshold =
      setting(st, s, &Settings::inflight_threshold, st->s_HYBRID_INFLIGHT_THRESHOLD);
  if (s && s->inflight_exit) {
    inflight_exit = s->inflight_exit.dup();
  } else {
    inflight_exit = mul(inflight_threshold.get(), ratio.get());
    if (s) s->inflight_exit = inflight_exit.dup();
  }
  Ref rate_threshold = setting(st, s, &Settings::rate_threshold, st->s_HYBRID_RATE_THRESHOLD);
  if (s && s->rate_exit) {
    rate_exit = s->rate_exit.dup();
  } else {
    rate_exit = mul(rate_threshold.get(), ratio.get());
    if (s) s->rate_exit = rate_exit.dup();
  }
  // 4.-6. The rate is compared only when the in-flight test is false.
  bool hot;
  if (was_hot) {
    hot = cmp(pool_inflight, inflight_exit.get(), Py_GT) ||
          cmp(pool_rate, rate_exit.get(), Py_GT);
  } else {
    hot = cmp(pool_inflight, inflight_threshold.get(), Py_GE) ||
          cmp(pool_rate, rate_threshold.get(), Py_GE);
  }
  // 7. Only a change is written, and never under None.
  if (pool_key != Py_None && hot != was_hot) {
    check(PyDict_SetItem(LB_POOL_HOT_STATE(self), pool_key, hot ? Py_True : Py_False));
  }
  return hot;
}

// _effective_cap_for. Without s, the settings are read now and the mode's
// helpers are reached through self; with s (a plain balancer), the settings
// already read in this run are used again.
Ref effective_cap_core(LB* self, PyObject* server, PyObject* pool_inflight, PyObject* pool_rate,
                       PyObject* pool_key, Settings* s, bool* pure) {
  Ref configured = configured_cap_p(self, server, pure);
  switch (routing_mode(self, s)) {
    case kSuperfast:
      if (s) return superfast_core(self, configured.get(), s);
      return superfast_cap_via_self(self, configured.get());
    case kHybrid: {
      bool hot = s ? hybrid_core(self, pool_key, pool_inflight, pool_rate, s)
                   : hybrid_hot_via_self(self, pool_key, pool_inflight, pool_rate);
      if (hot) return configured;
      if (s) return superfast_core(self, configured.get(), s);
      return superfast_cap_via_self(self, configured.get());
    }
    default:
      return configured;
  }
}

struct Figures {
  Ref sum;   // the pool's in-flight sum
  Ref rate;  // the pool's recent dispatch rate
};

// The first steps shared by effective_cap_for and _under_capacity.
Figures live_figures(LB* self, PyObject* server, PyObject* pool_candidates, PyObject* pool_key,
                     bool* pure) {
  Figures f;
  if (!own_methods(self)) {
    *pure = false;
    if (pool_candidates == Py_None) {
      Ref pool = check(PyList_New(1));
      PyList_SET_ITEM(pool.get(), 0, Py_NewRef(server));
      f.sum = pool_inflight_via_self(self, pool.get());
    } else {
      f.sum = pool_inflight_via_self(self, pool_candidates);
    }
    f.rate = recent_dispatch_rate_via_self(self, pool_key);
    return f;
  }
  f.sum = pool_candidates == Py_None ? sum_inflight_one(self, server, pure)
                                     : sum_inflight(self, pool_candidates, pure);
  f.rate = recent_dispatch_rate_p(self, pool_key, pure);
  return f;
}

// cap <= 0 or inflight.get(server["id"], 0) < cap
bool cap_allows(LB* self, PyObject* server, PyObject* cap, bool* pure) {
  long long c;
  if (small_int(cap, &c)) {
    if (c <= 0) return true;
  } else {
    Ref z = zero();
    if (cmp(cap, z.get(), Py_LE)) return true;
  }
  Ref count = inflight_of(self, server, pure);
  long long n;
  if (small_int(cap, &c) && small_int(count.get(), &n)) return n < c;
  return cmp(count.get(), cap, Py_LT);
}

}  // namespace

Ref configured_cap(LB* self, PyObject* server) {
  bool pure = true;
  return configured_cap_p(self, server, &pure);
}

Ref sum_inflight_of_one(LB* self, PyObject* server) {
  bool pure = true;
  return sum_inflight_one(self, server, &pure);
}

Ref superfast_cap(LB* self, PyObject* configured) { return superfast_core(self, configured, nullptr); }

bool hybrid_hot(LB* self, PyObject* pool_key, PyObject* pool_inflight, PyObject* pool_rate) {
  return hybrid_core(self, pool_key, pool_inflight, pool_rate, nullptr);
}

Ref effective_cap_for_inner(LB* self, PyObject* server, PyObject* pool_inflight,
                            PyObject* pool_rate, PyObject* pool_key) {
  bool pure = true;
  return effective_cap_core(self, server, pool_inflight, pool_rate, pool_key, nullptr, &pure);
}

Ref effective_cap_for(LB* self, PyObject* server, PyObject* pool_candidates, PyObject* pool_key) {
  bool pure = true;
  Figures f = live_figures(self, server, pool_candidates, pool_key, &pure);
  return effective_cap_for_inner_via_self(self, server, f.sum.get(), f.rate.get(), pool_key);
}

bool under_capacity(LB* self, PyObject* server, PyObject* pool_candidates, PyObject* pool_key) {
  bool pure = true;
  Figures f = live_figures(self, server, pool_candidates, pool_key, &pure);
  Ref cap = effective_cap_for_inner_via_self(self, server, f.sum.get(), f.rate.get(), pool_key);
  return cap_allows(self, server, cap.get(), &pure);
}

Ref pool_inflight(LB* self, PyObject* candidates) {
  bool pure = true;
  return sum_inflight(self, candidates, &pure);
}

Ref recent_dispatch_rate(LB* self, PyObject* pool_key) {
  bool pure = true;
  return recent_dispatch_rate_p(self, pool_key, &pure);
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
  Ref one = Ref::borrow(PyLong_FromLong(1));
  Ref multiplier = queue_depth_multiplier_via_self(self);
  Ref m = py_max(one.get(), multiplier.get());
  return mul(total.get(), m.get());
}

// ---- a run of tests over one pool ----

CapacityRun::CapacityRun(LB* self, PyObject* pool, PyObject* pool_key) noexcept
    : self_(self), pool_(pool), key_(pool_key), reuse_(own_methods(self) && plain_key(pool_key)) {
  if (PyErr_Occurred()) PyErr_Clear();
}

bool CapacityRun::under_capacity(PyObject* server) {
  if (!own_methods(self_)) return under_capacity_via_self(self_, server, pool_, key_);
  bool pure = reuse_;
  Ref sum, rate;
  if (reuse_ && have_figures_) {
    sum = sum_.dup();
    rate = rate_.dup();
  } else {
    Figures f = live_figures(self_, server, pool_, key_, &pure);
    if (pure) {
      sum_ = f.sum.dup();
      rate_ = f.rate.dup();
      have_figures_ = true;
    }
    sum = std::move(f.sum);
    rate = std::move(f.rate);
  }
  Ref cap = effective_cap_core(self_, server, sum.get(), rate.get(), key_,
                               reuse_ ? &settings_ : nullptr, &pure);
  bool ok = cap_allows(self_, server, cap.get(), &pure);
  if (settings_.impure) pure = false;
  for (Ref* r : {&settings_.superfast, &settings_.inflight_threshold, &settings_.rate_threshold,
                 &settings_.inflight_exit, &settings_.rate_exit}) {
    if (*r && !plain_number(r->get())) pure = false;
  }
  if (!pure) {
    reuse_ = false;
    have_figures_ = false;
  }
  return ok;
}

// ---- calls through self ----

Ref superfast_cap_via_self(LB* self, PyObject* configured) {
  if (own_methods(self)) return superfast_cap(self, configured);
  return call_via_lookup(self, self->st->s__superfast_cap, {configured});
}

bool hybrid_hot_via_self(LB* self, PyObject* pool_key, PyObject* pool_inflight,
                         PyObject* pool_rate) {
  if (own_methods(self)) return hybrid_hot(self, pool_key, pool_inflight, pool_rate);
  Ref r = call_via_lookup(self, self->st->s__hybrid_hot, {pool_key, pool_inflight, pool_rate});
  return truthy(r.get());
}

Ref effective_cap_for_inner_via_self(LB* self, PyObject* server, PyObject* pool_inflight,
                                     PyObject* pool_rate, PyObject* pool_key) {
  if (own_methods(self)) return effective_cap_for_inner(self, server, pool_inflight, pool_rate, pool_key);
  return call_via_lookup(self, self->st->s__effective_cap_for, {server, pool_inflight, pool_rate},
                         self->st->s_pool_key, pool_key);
}

Ref pool_inflight_via_self(LB* self, PyObject* candidates) {
  if (own_methods(self)) return pool_inflight(self, candidates);
  return call_via_lookup(self, self->st->s__pool_inflight, {candidates});
}

Ref recent_dispatch_rate_via_self(LB* self, PyObject* pool_key) {
  if (own_methods(self)) return recent_dispatch_rate(self, pool_key);
  return call_via_lookup(self, self->st->s__recent_dispatch_rate, {pool_key});
}

bool under_capacity_via_self(LB* self, PyObject* server, PyObject* pool_candidates,
                             PyObject* pool_key) {
  if (own_methods(self)) return under_capacity(self, server, pool_candidates, pool_key);
  Ref r = call_via_lookup(self, self->st->s__under_capacity, {server, pool_candidates},
                          self->st->s_pool_key, pool_key);
  return truthy(r.get());
}

Ref queue_capacity_for_pool_via_self(LB* self, PyObject* candidates) {
  if (own_methods(self)) return queue_capacity_for_pool(self, candidates);
  return call_via_lookup(self, self->st->s__queue_capacity_for_pool, {candidates});
}

}  // namespace varnhold

// ---- the fast road of select ----

namespace varnhold {

bool real_monotonic(ModuleState* st) { return namespace_facts(st).monotonic_std; }

namespace {

// The builtins' max(a, b) and min(a, b): the first argument wins ties and NaN.
double py_maxd(double a, double b) { return b > a ? b : a; }
double py_mind(double a, double b) { return b < a ? b : a; }

}  // namespace

bool PlainGate::ready() {
  const NamespaceFacts& f = namespace_facts(self_->st);
  if (!f.monotonic_std || key_ == Py_None || !f.mode_names[0] || !f.have_window) return false;
  PyObject* mode = peek_state(self_, kRoutingMode);
  if (!mode || !PyUnicode_CheckExact(mode)) return false;
  mode_ = kOtherMode;
  for (int i = 0; i < 4; ++i) {
    if (text_eq(mode, f.mode_names[i])) {
      mode_ = i;
      break;
    }
  }
  if ((mode_ == kSuperfast || mode_ == kHybrid) && !f.have_superfast) return false;
  if (mode_ == kHybrid) {
    if (!f.have_hybrid || !peek_state(self_, kPoolHotState) || !PyDict_CheckExact(peek_state(self_, kPoolHotState))) {
      return false;
    }
    ratio_ = f.ratio;
    in_threshold_ = f.inflight_threshold;
    rate_threshold_ = f.rate_threshold;
  }
  superfast_ = f.superfast;
  window_ = f.window;
  PyObject* windows = peek_state(self_, kPoolDispatchWindows);
  if (!windows || !PyDict_CheckExact(windows) || !peek_state(self_, kInflight) ||
      !PyDict_CheckExact(peek_state(self_, kInflight))) {
    return false;
  }
  PyObject* win = PyDict_GetItemWithError(windows, key_);
  if (!win && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  if (!win || win == Py_None) return true;
  if (reinterpret_cast<PyObject*>(Py_TYPE(win)) != self_->st->std_deque) return false;
  window_obj_ = Ref::borrow(win);
  return true;
}

bool PlainGate::under_capacity(PlainPool pool, const PlainRecord& rec) {
  ModuleState* st = self_->st;
  if (!have_figures_) {
    have_figures_ = true;
    for (const PlainRecord* r : pool) sum_ += r->count;
    // The pool's rate: one clock reading and one trim for the whole walk.
    double now = now_ = raw_monotonic();  // the clock is the original (ready())
    double cutoff = now - window_;
    rate_ = 0.0;
    Ref win = window_obj_.dup();  // still the dict's: nothing ran since ready()
    if (win) {
      Ref first;
      for (;;) {
        if (check_size(PyObject_Size(win.get())) == 0) break;
        first = check(PySequence_GetItem(win.get(), 0));
        bool older;
        if (PyFloat_CheckExact(first.get())) {
          older = PyFloat_AS_DOUBLE(first.get()) < cutoff;
        } else {
          if (!plain_number(first.get())) lost_ = true;
          Ref cut = new_float(cutoff);
          older = cmp(first.get(), cut.get(), Py_LT);
        }
        if (!older) break;
        call_method0(win.get(), st->s_popleft);
        first.reset();
      }
      if (first) {
        Py_ssize_t n = check_size(PyObject_Size(win.get()));
        if (PyFloat_CheckExact(first.get())) {
          rate_ = static_cast<double>(n) / py_maxd(0.001, now - PyFloat_AS_DOUBLE(first.get()));
        } else {
          Ref nowo = new_float(now);
          Ref age = sub(nowo.get(), first.get());
          Ref floor = new_float(0.001);
          Ref div = py_max(floor.get(), age.get());
          Ref count = check(PyLong_FromSsize_t(n));
          Ref r = truediv(count.get(), div.get());
          rate_ = PyFloat_AsDouble(r.get());
          if (rate_ == -1.0 && PyErr_Occurred()) throw PyError();
          lost_ = true;
        }
      }
    }
  }
  double configured = static_cast<double>(rec.configured);
  auto clamp = [&] {
    if (configured <= 0) return py_maxd(1.0, superfast_);
    return py_maxd(1.0, py_mind(configured, superfast_));
  };
  double cap = configured;
  if (mode_ == kSuperfast) {
    cap = clamp();
  } else if (mode_ == kHybrid) {
    bool was_hot = false;
    PyObject* hot_state = peek_state(self_, kPoolHotState);
    if (truthy(key_)) {
      PyObject* flag = PyDict_GetItemWithError(hot_state, key_);
      if (!flag && PyErr_Occurred()) throw PyError();
      if (flag) {
        Ref keep = Ref::borrow(flag);
        if (!PyBool_Check(flag) && !plain_number(flag)) lost_ = true;
        was_hot = truthy(flag);
      }
    }
    double sum = static_cast<double>(sum_);
    bool hot = was_hot ? (sum > in_threshold_ * ratio_ || rate_ > rate_threshold_ * ratio_)
                       : (sum >= in_threshold_ || rate_ >= rate_threshold_);
    if (hot != was_hot) check(PyDict_SetItem(hot_state, key_, hot ? Py_True : Py_False));
    cap = hot ? configured : clamp();
  }
  if (cap <= 0) return true;
  return static_cast<double>(rec.count) < cap;
}

}  // namespace varnhold
