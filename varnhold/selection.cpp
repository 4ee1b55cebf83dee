// Backend selection: the per-request chain of forced server, drain rule,
// sin-bin set and capacity gate, then one pick; the winner's dispatch is
// booked exactly once.
#include "varnhold/coro.h"
#include "varnhold/capacity_gate.h"
#include "varnhold/load_balancer.h"
#include "varnhold/plain.h"
#include "varnhold/pynum.h"
#include "varnhold/settings.h"

namespace varnhold {

namespace {

// Slots of the select coroutine.
enum SelectSlot {
  kSelf,
  kPoolKey,
  kCandidates,
  kForceServerId,
  kSinBinned,
  kAlgorithm,
  kStickyKey,
  kEligible,  // kept across the round-robin pick
  kPick,      // the awaited pick
};


// A container whose membership test runs no Python code for a plain id.
bool plain_container(PyObject* o) {
  if (PyList_CheckExact(o)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
      if (!plain_key(PyList_GET_ITEM(o, i))) return false;
    }
    return true;
  }
  return (PyAnySet_CheckExact(o) || PyTuple_CheckExact(o)) && plain_key(o);
}

// (s.get("weight") or 0.0) > 0.0
bool not_drained(ModuleState* st, PyObject* record) {
  Ref w = dict_get(record, st->s_weight, st->s_get);
  if (!w) return false;
  if (PyFloat_CheckExact(w.get())) return PyFloat_AS_DOUBLE(w.get()) > 0.0;
  long long v;
  if (small_int(w.get(), &v)) return v > 0;
  if (!truthy(w.get())) return false;
  Ref z = new_float(0.0);
  return cmp(w.get(), z.get(), Py_GT);
}

bool original_normalizer(ModuleState* st, PyObject* fn) { return fn == st->std_normalize_lb_algorithm; }

// normalize_lb_algorithm(algorithm), the function as the module now binds it.
Ref normalized_algorithm(ModuleState* st, PyObject* algorithm) {
  Ref fn = module_attr(st, st->s_normalize_lb_algorithm);
  if (original_normalizer(st, fn.get())) return normalize_lb_algorithm(st, algorithm);
  return call1(fn.get(), algorithm);
}

// A pick weight and the drain test of a plain weight value (or none).
bool plain_weight(PyObject* w, double* pick, bool* positive) {
  if (!w || w == Py_None) {
    *pick = 1.0;
    *positive = false;
    return true;
  }
  long long v;
  double d;
  if (PyFloat_CheckExact(w)) {
    d = PyFloat_AS_DOUBLE(w);
  } else if (PyBool_Check(w)) {
    d = w == Py_True ? 1.0 : 0.0;
  } else if (small_int(w, &v) && v <= (1LL << 53) && v >= -(1LL << 53)) {
    d = static_cast<double>(v);
  } else {
    return false;
  }
  *positive = d > 0.0;
  *pick = d == 0.0 ? 1.0 : d;  // a false weight reads as 1.0
  return true;
}

// int(value or 0) of a plain value (or none).
bool plain_cap(PyObject* c, long long* out) {
  if (!c || c == Py_None) {
    *out = 0;
    return true;
  }
  if (PyBool_Check(c)) {
    *out = c == Py_True;
    return true;
  }
  if (PyFloat_CheckExact(c)) {
    double d = PyFloat_AS_DOUBLE(c);
    if (!(d < 9.0e15 && d > -9.0e15)) return false;  // NaN and inf raise
    *out = static_cast<long long>(d);                  // truncated toward zero
    return true;
  }
  return small_int(c, out) && *out <= (1LL << 53) && *out >= -(1LL << 53);
}

}  // namespace

bool read_plain_records(LB* self, PyObject* list, PlainRecords& out, bool for_gate) {
  if (!PyList_CheckExact(list)) return false;
  ModuleState* st = self->st;
  Py_ssize_t n = PyList_GET_SIZE(list);
  if (n == 0 || n > 4096) return false;
  PyObject* inflight = peek_state(self, kInflight);
  if (for_gate && (!inflight || !PyDict_CheckExact(inflight))) return false;
  out.resize(n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PlainRecord& r = out[i];
    PyObject* rec = PyList_GET_ITEM(list, i);
    if (!PyDict_CheckExact(rec)) return false;
    r.record = rec;
    r.id = PyDict_GetItemWithError(rec, st->s_id);
    if (!r.id || !small_int(r.id, &r.id_value)) return false;
    if (!plain_weight(PyDict_GetItemWithError(rec, st->s_weight), &r.weight, &r.positive)) {
      return false;
    }
    r.count = 0;
    r.configured = 0;
    if (!for_gate) continue;
    PyObject* c = PyDict_GetItemWithError(inflight, r.id);
    if (c && (!small_int(c, &r.count) || r.count > (1LL << 40) || r.count < -(1LL << 40))) {
      return false;
    }
    if (!plain_cap(PyDict_GetItemWithError(rec, st->s_max_concurrency), &r.configured)) {
      return false;
    }
  }
  return !PyErr_Occurred();
}

namespace {

// A reference to each record, for as long as the fast road reads them.
class Held {
 public:
  explicit Held(const PlainRecords& recs) {
    // The ids too: the road reuses them after the records were read.
    for (const PlainRecord& r : recs) {
      objs_.push_back(Py_NewRef(r.record));
      objs_.push_back(Py_NewRef(r.id));
    }
  }
  Held(const Held&) = delete;
  ~Held() { release(); }
  void release() noexcept {
    for (PyObject* o : objs_) Py_DECREF(o);
    objs_.resize(0);
  }

 private:
  SmallVec<PyObject*, 32> objs_;
};

// Values whose truth and comparisons run no Python code.
bool plain_argument(PyObject* o) {
  return o == Py_None || PyUnicode_CheckExact(o) || plain_number(o);
}

Coro select_body(CoroFrame& f) {
  LB* self = as_lb(f[kSelf]);
  ModuleState* st = self->st;
  PyObject* pool_key = f[kPoolKey];
  PyObject* candidates = f[kCandidates];
  PyObject* force = f[kForceServerId];
  // 1. A false sin-bin set means an empty one.
  PyObject* sin_binned = f[kSinBinned];
  const bool no_sin_bin = sin_binned == Py_None || !truthy(sin_binned);
  // 2. No candidates, nothing to choose (a forced id included).
  if (!truthy(candidates)) co_return Ref::borrow(Py_None);
  // 3. A forced server: the first record whose id equals it, booked and
  // returned as it is; none, and nothing is chosen.
  if (force != Py_None) {
    Ref hit;
    for_each_item(candidates, [&](PyObject* rec) {
      Ref rid = dict_get(rec, st->s_id, st->s_get);
      if (!py_eq(rid ? rid.get() : Py_None, force)) return false;
      hit = Ref::borrow(rec);
      return true;
    });
    if (!hit) co_return Ref::borrow(Py_None);
    record_dispatch_via_self(self, pool_key, hit.get());
    co_return hit;
  }
  // The fast road (see plain.h): the same steps on records read once.
  if (own_methods(self)) {
    PlainRecords recs;
    const bool sin_plain = no_sin_bin || plain_container(sin_binned);
    PlainGate gate(self, pool_key);
    if (sin_plain && plain_pool_key(st, pool_key) && read_plain_records(self, candidates, recs, true) &&
        gate.ready()) {
      // The records stay alive whatever runs below, until the eligible
      // list holds them.
      Held hold(recs);
      SmallVec<const PlainRecord*, 16> effective, eligible;
      for (const PlainRecord& r : recs) {
        if (r.positive) effective.push_back(&r);
      }
      if (effective.empty()) {
        for (const PlainRecord& r : recs) effective.push_back(&r);
      }
      Ref effective_list;  // built only if a test must take the general road
      for (const PlainRecord* r : effective) {
        if (gate.lost()) {
          // Python code may have run: read the record afresh, as the walk does.
          if (!effective_list) {
            effective_list = check(PyList_New(0));
            for (const PlainRecord* e : effective) {
              check(PyList_Append(effective_list.get(), e->record));
            }
          }
          Ref sid = getitem(r->record, st->s_id);
          if (no_sin_bin) {
            if (PyObject_Hash(sid.get()) == -1) throw PyError();
          } else if (check(PySequence_Contains(sin_binned, sid.get()))) {
            continue;
          }
          if (under_capacity_via_self(self, r->record, effective_list.get(), pool_key)) {
            eligible.push_back(r);
          }
          continue;
        }
        if (!no_sin_bin && check(PySequence_Contains(sin_binned, r->id))) continue;
        if (gate.under_capacity(effective, *r)) eligible.push_back(r);
      }
      if (eligible.empty()) co_return Ref::borrow(Py_None);
      // The normaliser and the names as the module binds them now. Unless
      // all of that is the module's own plain text, Python code may have run
      // and the picks read the records again, through self.
      const NamespaceFacts& facts = namespace_facts(st);
      bool fresh = !gate.lost() && plain_argument(f[kAlgorithm]) &&
                   plain_argument(f[kStickyKey]) && facts.normalizer_std && facts.algo_sticky &&
                   facts.algo_least;
      Ref algo, sticky_name, least_name;
      if (fresh) {
        algo = normalize_lb_algorithm(st, f[kAlgorithm]);
        sticky_name = Ref::borrow(facts.algo_sticky);
        least_name = Ref::borrow(facts.algo_least);
        fresh = PyUnicode_CheckExact(algo.get());
      } else {
        algo = normalized_algorithm(st, f[kAlgorithm]);
        sticky_name = module_attr(st, st->s_LB_ALGO_STICKY);
      }
      bool sticky = py_eq(algo.get(), sticky_name.get()) && truthy(f[kStickyKey]);
      bool least = false;
      if (!sticky) {
        if (!least_name) least_name = module_attr(st, st->s_LB_ALGO_LEAST_CONN);
        least = py_eq(algo.get(), least_name.get());
      }
      Ref winner;
      if (fresh && own_methods(self)) {
        if (sticky) {
          SmallVec<PyObject*, 16> chosen;  // held by `hold`
          for (const PlainRecord* r : eligible) chosen.push_back(r->record);
          bool pure = true;
          winner = sticky_lookup_records(self, std::span<PyObject* const>(chosen.data(), chosen.size()),
                                         f[kStickyKey], &pure);
          fresh = pure;
        } else if (least) {
          winner = least_connections_plain(eligible);
        } else {
          wrr_pick_plain(self, pool_key, eligible, &winner, gate.now());
        }
      }
      if (!winner) {
        PyObject* list = f.set(kEligible, check(PyList_New(0)));
        for (const PlainRecord* r : eligible) check(PyList_Append(list, r->record));
        if (sticky) {
          winner = sticky_lookup_via_self(self, list, f[kStickyKey]);
        } else if (least) {
          winner = least_connections_pick_via_self(self, list);
        } else {
          f.set(kPick, wrr_pick_via_self(self, pool_key, list));
        }
      }
      if (winner) {
        // Nothing suspended and, on the fresh road, nothing ran: the clock
        // reading of this select stands for the booking's own.
        if (fresh && gate.now() && own_methods(self) && real_monotonic(st)) {
          PyObject* sid = nullptr;
          for (const PlainRecord* r : eligible) {
            if (r->record == winner.get()) sid = r->id;
          }
          record_dispatch_at(self, pool_key, winner.get(), *gate.now(), sid, gate.window());
        } else {
          record_dispatch_via_self(self, pool_key, winner.get());
        }
        co_return winner;
      }
      hold.release();
      winner = co_await py_await(f[kPick]);
      record_dispatch_via_self(self, f[kPoolKey], winner.get());
      co_return winner;
    }
    PyErr_Clear();
  }
  // 4.-5. The effective list: the records with a positive weight, or all of
  // them when every one is drained.
  Ref non_drained = check(PyList_New(0));
  for_each_item(candidates, [&](PyObject* rec) {
    if (not_drained(st, rec)) check(PyList_Append(non_drained.get(), rec));
    return false;
  });
  PyObject* effective = PyList_GET_SIZE(non_drained.get()) ? non_drained.get() : candidates;
  // 6. The eligible list: not sin-binned (tested first), then a free slot
  // under the capacity gate, whose pool is the whole effective list.
  PyObject* eligible = f.set(kEligible, check(PyList_New(0)));
  {
    CapacityRun gate(self, effective, pool_key);
    const bool plain_sin_bin = no_sin_bin || plain_container(sin_binned);
    for_each_item(effective, [&](PyObject* rec) {
      Ref sid = getitem(rec, st->s_id);
      bool plain_step = plain_sin_bin && PyDict_CheckExact(rec) && plain_key(sid.get());
      if (no_sin_bin) {
        // `sid in set()`: only an unhashable id fails.
        if (!PyLong_CheckExact(sid.get()) && PyObject_Hash(sid.get()) == -1) throw PyError();
      } else if (check(PySequence_Contains(sin_binned, sid.get()))) {
        if (!plain_step) gate.forget();
        return false;
      }
      if (!plain_step) gate.forget();
      if (gate.under_capacity(rec)) check(PyList_Append(eligible, rec));
      return false;
    });
  }
  // 7. Nothing eligible.
  if (PyList_GET_SIZE(eligible) == 0) co_return Ref::borrow(Py_None);
  // 8. The pick of the normalised algorithm.
  Ref algo = normalized_algorithm(st, f[kAlgorithm]);
  Ref winner;
  Ref sticky_name = module_attr(st, st->s_LB_ALGO_STICKY);
  if (py_eq(algo.get(), sticky_name.get()) && truthy(f[kStickyKey])) {
    winner = sticky_lookup_via_self(self, eligible, f[kStickyKey]);
  } else {
    Ref least_name = module_attr(st, st->s_LB_ALGO_LEAST_CONN);
    if (py_eq(algo.get(), least_name.get())) {
      winner = least_connections_pick_via_self(self, eligible);
    } else if (!own_methods(self) || !wrr_pick_at_once(self, pool_key, eligible, &winner)) {
      f.set(kPick, wrr_pick_via_self(self, pool_key, eligible));
    }
  }
  if (!winner) winner = co_await py_await(f[kPick]);
  // 9. Book the winner, once.
  record_dispatch_via_self(self, f[kPoolKey], winner.get());
  co_return winner;
}

}  // namespace

Ref select(LB* self, PyObject* pool_key, PyObject* candidates, PyObject* /*estimated_tokens*/,
           PyObject* force_server_id, PyObject* sin_binned, PyObject* algorithm,
           PyObject* sticky_key) {
  return make_coroutine(self->st, self->st->q_select,
                        {as_obj(self), pool_key, candidates, force_server_id, sin_binned,
                         algorithm, sticky_key},
                        select_body);
}

}  // namespace varnhold
