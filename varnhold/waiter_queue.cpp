// The waiter queue: a request that found no free slot parks as one _Waiter
// on every backend it may run on and waits, at most for the queue's
// time-to-live, until one of them hands it a slot.
//
// A slot reaches a parked waiter only through _fulfill, which unparks the
// waiter, books the dispatch and then resolves the waiter's future; its
// callers are _try_admit (right after parking) and _wake_one (after every
// in-flight decrement).
//
// Host code may run at almost every step (a record's __getitem__, an id's
// __hash__, a replaced container's methods), and may replace any state
// attribute meanwhile: each `self.x` of the algorithm is read where the
// algorithm reads it, and whatever is still used afterwards is owned.
#include "varnhold/waiter_queue.h"

#include <algorithm>
#include <optional>

#include "varnhold/coro.h"
#include "varnhold/pynum.h"

namespace varnhold {

// ---- the record's method ----

namespace {

Ref bool_ref(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

// is_boosted over a way of reading the record's attributes, in the order the
// expression reads them.
template <class Get>
Ref is_boosted_with(ModuleState* st, Get&& get, PyObject* now) {
  // self.boost_after_sec > 0
  Ref boost = get(st->s_boost_after_sec);
  if (PyFloat_CheckExact(boost.get())) {
    if (!(PyFloat_AS_DOUBLE(boost.get()) > 0.0)) return bool_ref(false);
  } else {
    Ref zero = new_int(0);
    Ref positive = check(PyObject_RichCompare(boost.get(), zero.get(), Py_GT));
    if (!truthy(positive.get())) return positive;
  }
  // and (now - self.queued_at) >= self.boost_after_sec: the difference is
  // taken before boost_after_sec is read again.
  Ref queued = get(st->s_queued_at);
  if (PyFloat_CheckExact(now) && PyFloat_CheckExact(queued.get())) {
    double age = PyFloat_AS_DOUBLE(now) - PyFloat_AS_DOUBLE(queued.get());
    Ref again = get(st->s_boost_after_sec);
    if (PyFloat_CheckExact(again.get())) return bool_ref(age >= PyFloat_AS_DOUBLE(again.get()));
    Ref age_obj = new_float(age);
    return check(PyObject_RichCompare(age_obj.get(), again.get(), Py_GE));
  }
  Ref age = sub(now, queued.get());
  Ref again = get(st->s_boost_after_sec);
  return check(PyObject_RichCompare(age.get(), again.get(), Py_GE));
}

}  // namespace

Ref waiter_is_boosted(ModuleState* st, PyObject* waiter, PyObject* now) {
  return is_boosted_with(st, [waiter](PyObject* name) { return getattr(waiter, name); }, now);
}

WaiterFields::WaiterFields(ModuleState* st, PyObject* waiter)
    : st_(st), waiter_(Ref::borrow(waiter)) {
  if (own_waiter_class(st, Py_TYPE(waiter))) {
    dict_ = check(PyObject_GenericGetDict(waiter, nullptr));
  }
}

Ref WaiterFields::get(PyObject* name) const {
  if (dict_) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(dict_.get(), name, &v) < 0) throw PyError();
    if (v) return Ref::steal(v);
  }
  return getattr(waiter_.get(), name);
}

bool WaiterFields::is_boosted(PyObject* now) const {
  if (dict_ && !check(PyDict_Contains(dict_.get(), st_->s_is_boosted))) {
    Ref r = is_boosted_with(st_, [this](PyObject* name) { return get(name); }, now);
    return truthy(r.get());
  }
  PyObject* args[] = {waiter_.get(), now};
  Ref r = check(PyObject_VectorcallMethod(st_->s_is_boosted, args,
                                          2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return truthy(r.get());
}

// ---- state the queue reads ----

bool future_done(ModuleState* st, PyObject* future) {
  PyObject* args[] = {future};
  Ref r = check(PyObject_VectorcallMethod(st->s_done, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
  return truthy(r.get());
}

bool in_queue_all_mode(LB* self) {
  Ref mode = get_state(self, kRoutingMode);
  Ref queue_all = module_attr(self->st, self->st->s_ROUTING_MODE_QUEUE_ALL);
  return py_eq(mode.get(), queue_all.get());
}

namespace {

// The method `name` of a container as `c.name(...)` finds it: before its
// arguments are computed. Empty for an exact dict, whose own method the
// C API performs (with the same result).
Ref method_unless_dict(PyObject* c, PyObject* name) {
  return PyDict_CheckExact(c) ? Ref() : getattr(c, name);
}

// o.name, or nothing when o has no such attribute.
Ref optional_attr(PyObject* o, PyObject* name) {
  PyObject* v = nullptr;
  check(PyObject_GetOptionalAttr(o, name, &v));
  return Ref::steal(v);
}

Ref call2(PyObject* f, PyObject* a, PyObject* b) {
  PyObject* args[] = {a, b};
  return check(PyObject_Vectorcall(f, args, 2, nullptr));
}

}  // namespace

// ---- unparking ----

namespace {

bool default_eq(PyTypeObject* t) { return t->tp_richcompare == PyBaseObject_Type.tp_richcompare; }

bool scalar(PyObject* o) {
  return o == Py_None || PyUnicode_CheckExact(o) || builtin_number(o);
}

// What `a == b` does, told without running it: known false, quiet (no code
// runs and nothing is raised; the answer may be true), or loud (the
// objects' own code may run, so only the interpreter can tell).
enum class Eq { kFalse, kQuiet, kLoud };

class QuietEq {
 public:
  Eq operator()(PyObject* a, PyObject* b, int depth = 0) {
    if (depth > 3) return Eq::kLoud;
    if (a == b) return same(a);
    if (PyTuple_CheckExact(a) && PyTuple_CheckExact(b)) {
      Py_ssize_t n = std::min(PyTuple_GET_SIZE(a), PyTuple_GET_SIZE(b));
      Eq e = items(&PyTuple_GET_ITEM(a, 0), &PyTuple_GET_ITEM(b, 0), n, depth);
      // Equal items up to the shorter length leave the lengths to decide.
      if (e == Eq::kQuiet && PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b)) return Eq::kFalse;
      return e;
    }
    if (PyList_CheckExact(a) && PyList_CheckExact(b)) {
      if (PyList_GET_SIZE(a) != PyList_GET_SIZE(b)) return Eq::kFalse;
      return items(PySequence_Fast_ITEMS(a), PySequence_Fast_ITEMS(b), PyList_GET_SIZE(a), depth);
    }
    if (scalar(a) && scalar(b)) return scalars(a, b);
    if (PyAnySet_CheckExact(a) && PyAnySet_CheckExact(b)) {
      if (PySet_GET_SIZE(a) != PySet_GET_SIZE(b)) return Eq::kFalse;
      return scalar_set(a) && scalar_set(b) ? Eq::kQuiet : Eq::kLoud;
    }
    if (default_eq(Py_TYPE(a)) && default_eq(Py_TYPE(b))) return Eq::kFalse;  // identity alone
    return Eq::kLoud;
  }

 private:
  // `a == a`: tuples and lists compare their items with the identity
  // shortcut; a set looks its own elements up, comparing those of equal hash.
  Eq same(PyObject* a) {
    bool quiet = scalar(a) || PyTuple_CheckExact(a) || PyList_CheckExact(a) ||
                 (PyAnySet_CheckExact(a) && scalar_set(a)) || default_eq(Py_TYPE(a));
    return quiet ? Eq::kQuiet : Eq::kLoud;
  }

  // The items of two tuples or lists, as their comparison walks them: with
  // the identity shortcut, up to the first unequal pair, which makes the
  // whole false. Only while every pair before it is quiet is it known
  // whether that pair is reached: a loud pair makes the whole loud.
  Eq items(PyObject* const* a, PyObject* const* b, Py_ssize_t n, int depth) {
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (a[i] == b[i]) continue;
      Eq e = (*this)(a[i], b[i], depth + 1);
      if (e != Eq::kQuiet) return e;
    }
    return Eq::kQuiet;
  }

  static Eq scalars(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
      return text_eq(a, b) ? Eq::kQuiet : Eq::kFalse;
    }
    long long x, y;
    if (small_int(a, &x) && small_int(b, &y)) return x == y ? Eq::kQuiet : Eq::kFalse;
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
      return PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b) ? Eq::kQuiet : Eq::kFalse;
    }
    return Eq::kQuiet;  // other numbers, None: compared in C
  }

  // Every element of an exact set or frozenset is a scalar. The table is read
  // as the public layout of the set object describes it; a dummy entry, left
  // by an element a set lost, has the hash -1. The last set found so is
  // remembered: nothing changes it while no code runs.
  bool scalar_set(PyObject* o) {
    if (o == known_set_) return true;
    const PySetObject* so = reinterpret_cast<const PySetObject*>(o);
    for (Py_ssize_t i = 0; i <= so->mask; ++i) {
      const setentry& e = so->table[i];
      if (e.key && e.hash != -1 && !scalar(e.key)) return false;
    }
    known_set_ = o;
    return true;
  }

  PyObject* known_set_ = nullptr;
};

// Decides `item == waiter`, the test of list.remove and deque.remove, where
// that is known to be false without asking: both are records of the module's
// own class, whose generated __eq__ compares pool_key, candidates,
// estimated_tokens, future, queued_at and boost_after_sec in turn with `==`
// and stops at the first unequal pair. It is false when some pair is known
// unequal and every pair before it compares quietly, whatever those answer.
// Reading the fields of a record of that class runs no code; the waiter's
// are read once for a whole search, which runs none.
class WaiterProbe {
 public:
  WaiterProbe(ModuleState* st, PyObject* waiter) : st_(st), waiter_(waiter) {}

  bool known_unequal(PyObject* item) {
    if (item == waiter_ || Py_TYPE(item) != Py_TYPE(waiter_)) return false;
    if (!own_waiter_class(st_, Py_TYPE(item))) return false;
    PyObject* const names[kFields] = {st_->s_pool_key, st_->s_candidates,
                                      st_->s_estimated_tokens, st_->s_future,
                                      st_->s_queued_at, st_->s_boost_after_sec};
    // Attribute lookup finds the fields of a record of that class in its
    // instance dict.
    Ref dict = check(PyObject_GenericGetDict(item, nullptr));
    for (int i = 0; i < kFields; ++i) {
      if (!read_[i]) {
        mine_[i] = optional_attr(waiter_, names[i]);
        read_[i] = true;
      }
      if (!mine_[i]) return false;
      PyObject* found = nullptr;
      if (PyDict_GetItemRef(dict.get(), names[i], &found) < 0) throw PyError();
      Ref theirs = Ref::steal(found);
      if (!theirs) return false;
      Eq e = eq_(theirs.get(), mine_[i].get());
      if (e != Eq::kQuiet) return e == Eq::kFalse;
    }
    return false;  // equal: the container's own search finds it
  }

 private:
  static constexpr int kFields = 6;
  ModuleState* st_;
  PyObject* waiter_;
  Ref mine_[kFields];
  bool read_[kFields] = {};
  QuietEq eq_;
};

// container.remove(waiter), ignoring the ValueError of a missing waiter.
// Exact lists and deques are searched here while every item is known
// unequal without running code; otherwise the container searches itself
// from the start (the items passed so far compare the same there).
void remove_first(ModuleState* st, PyObject* container, PyObject* waiter) {
  WaiterProbe probe(st, waiter);
  if (PyList_CheckExact(container)) {
    Py_ssize_t i = 0;
    for (; i < PyList_GET_SIZE(container); ++i) {
      if (PyList_GET_ITEM(container, i) == waiter) {
        check(PyList_SetSlice(container, i, i + 1, nullptr));
        return;
      }
      Ref item = Ref::borrow(PyList_GET_ITEM(container, i));
      if (!probe.known_unequal(item.get())) break;
    }
    if (i == PyList_GET_SIZE(container)) return;
  } else if (Py_TYPE(container) == reinterpret_cast<PyTypeObject*>(st->std_deque)) {
    Ref it = check(PyObject_GetIter(container));
    Py_ssize_t i = 0;
    bool undecided = false;
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item = Ref::steal(raw);
      if (item.get() == waiter) {
        it.reset();
        check(PySequence_DelItem(container, i));
        return;
      }
      if (!probe.known_unequal(item.get())) {
        undecided = true;
        break;
      }
      ++i;
    }
    if (PyErr_Occurred()) throw PyError();
    if (!undecided) return;
  }
  try {
    call_method1(container, st->s_remove, waiter);
  } catch (PyError& e) {
    if (!e.matches(PyExc_ValueError)) throw;
  }
}

// Takes the waiter out of the deque of one of its records:
//   q = self._waiters.get(s["id"])
//   if q is None: continue
//   try: q.remove(waiter) except ValueError: pass
//   if not q: self._waiters.pop(s["id"], None)
void unpark_from(LB* self, PyObject* record, PyObject* waiter) {
  ModuleState* st = self->st;
  Ref q;
  {
    Ref waiters = get_state(self, kWaiters);
    Ref get = method_unless_dict(waiters.get(), st->s_get);
    Ref sid = getitem(record, st->s_id);
    q = get ? call1(get.get(), sid.get()) : dict_get(waiters.get(), sid.get(), st->s_get);
  }
  if (!q || q.get() == Py_None) return;
  remove_first(st, q.get(), waiter);
  if (truthy(q.get())) return;
  Ref waiters = get_state(self, kWaiters);
  Ref pop = method_unless_dict(waiters.get(), st->s_pop);
  Ref sid = getitem(record, st->s_id);
  if (pop) {
    call2(pop.get(), sid.get(), Py_None);
  } else {
    mapping_pop(waiters.get(), sid.get(), Py_None, st->s_pop);
  }
}

}  // namespace

void remove_waiter(LB* self, PyObject* waiter) {
  ModuleState* st = self->st;
  Ref candidates = getattr(waiter, st->s_candidates);
  for_each_item(candidates.get(), [&](PyObject* record) {
    unpark_from(self, record, waiter);
    return false;
  });
  Ref all = get_state(self, kAllWaiters);
  remove_first(st, all.get(), waiter);
}

// ---- hand-over ----

void fulfill(LB* self, PyObject* waiter, PyObject* server) {
  ModuleState* st = self->st;
  {
    Ref future = getattr(waiter, st->s_future);
    if (future_done(st, future.get())) return;
  }
  remove_waiter_via_self(self, waiter);
  Ref pool_key = getattr(waiter, st->s_pool_key);
  record_dispatch_via_self(self, pool_key.get(), server);
  Ref future = getattr(waiter, st->s_future);
  call_method1(future.get(), st->s_set_result, server);
}

void try_admit(LB* self, PyObject* waiter) {
  ModuleState* st = self->st;
  {
    Ref future = getattr(waiter, st->s_future);
    if (future_done(st, future.get())) return;
  }
  Ref candidates = getattr(waiter, st->s_candidates);
  // The first record with a free slot, in candidate order, judged over the
  // waiter's own candidate list as the pool.
  for_each_item(candidates.get(), [&](PyObject* record) {
    Ref pool = getattr(waiter, st->s_candidates);
    Ref pool_key = getattr(waiter, st->s_pool_key);
    if (!under_capacity_via_self(self, record, pool.get(), pool_key.get())) return false;
    fulfill_via_self(self, waiter, record);
    return true;
  });
}

// ---- wait_for_slot ----

namespace {

// The frame of a wait_for_slot call: its arguments, then what the parked
// request keeps across its wait.
enum Slot : int { kSelf, kPoolKey, kCandidates, kTokens, kSinBinned, kWaiter, kFuture, kSlotCount };
static_assert(slots_fit<kSlotCount>());

Ref triple(PyObject* backend, PyObject* reason, PyObject* seconds) {
  return check(PyTuple_Pack(3, backend, reason, seconds));
}

Ref triple(PyObject* backend, PyObject* reason, double seconds) {
  Ref s = new_float(seconds);
  return triple(backend, reason, s.get());
}

// reason = RejectReason.<name>; self._bump_reject(reason); return None, reason, 0.0
Ref refuse(LB* self, PyObject* name) {
  Ref reasons = module_attr(self->st, self->st->s_RejectReason);
  Ref reason = getattr(reasons.get(), name);
  bump_reject_via_self(self, reason.get());
  return triple(Py_None, reason.get(), 0.0);
}

// The drain rule and the sin-bin set: the backends this request may wait on,
// in candidate order.
Ref wait_set_of(ModuleState* st, PyObject* candidates, PyObject* sin_binned) {
  Ref zero = new_float(0.0);
  Ref non_drained = check(PyList_New(0));
  for_each_item(candidates, [&](PyObject* record) {
    // (record.get("weight") or 0.0) > 0.0
    Ref weight = dict_get(record, st->s_weight, st->s_get);
    if (weight && truthy(weight.get()) && cmp(weight.get(), zero.get(), Py_GT)) {
      check(PyList_Append(non_drained.get(), record));
    }
    return false;
  });
  // With every candidate drained, the drained ones are waited on.
  PyObject* effective = PyList_GET_SIZE(non_drained.get()) ? non_drained.get() : candidates;
  Ref wait_set = check(PyList_New(0));
  for_each_item(effective, [&](PyObject* record) {
    Ref sid = getitem(record, st->s_id);
    if (!check(PySequence_Contains(sin_binned, sid.get()))) {
      check(PyList_Append(wait_set.get(), record));
    }
    return false;
  });
  return wait_set;
}

// The queue test, the wait set and the ceiling, before anything is parked:
// the result of a refusal, or nothing with the wait set in *wait_set.
Ref refusal(CoroFrame& f, Ref* wait_set) {
  LB* self = as_lb(f[kSelf]);
  ModuleState* st = f.st;
  {
    Ref enabled = queue_enabled_via_self(self);
    if (!truthy(enabled.get())) return triple(Py_None, st->s_queue_disabled, 0.0);
  }
  if (!truthy(f[kSinBinned])) f.set(kSinBinned, check(PySet_New(nullptr)));
  *wait_set = wait_set_of(st, f[kCandidates], f[kSinBinned]);
  if (PyList_GET_SIZE(wait_set->get()) == 0) return refuse(self, st->s_NO_BACKENDS);
  // The ceiling counts the parked waiters of the whole process and is tested
  // before any slot is looked for.
  Ref max_depth = queue_capacity_for_pool_via_self(self, wait_set->get());
  Ref zero = new_int(0);
  if (!cmp(max_depth.get(), zero.get(), Py_GT)) return Ref();
  Ref all = get_state(self, kAllWaiters);
  Ref depth = check(PyLong_FromSsize_t(length(all.get())));
  if (cmp(depth.get(), max_depth.get(), Py_GE)) return refuse(self, st->s_QUEUE_FULL);
  return Ref();
}

// The waiter and its future, into the frame.
void make_waiter(CoroFrame& f, PyObject* wait_set) {
  LB* self = as_lb(f[kSelf]);
  ModuleState* st = f.st;
  Ref asyncio = module_attr(st, st->s_asyncio);
  Ref loop = call_method0(asyncio.get(), st->s_get_running_loop);
  PyObject* future = f.set(kFuture, call_method0(loop.get(), st->s_create_future));
  // The boost is fixed now: a later change of mode leaves it alone.
  Ref boost = in_queue_all_mode(self) ? new_float(0.0)
                                      : module_attr(st, st->s_QUEUE_DEADLINE_BOOST_SEC);
  Ref waiter_class = module_attr(st, st->s__Waiter);
  Ref own_candidates = check(PyList_GetSlice(wait_set, 0, PY_SSIZE_T_MAX));
  Ref queued_at = monotonic_obj(st);
  PyObject* values[] = {f[kPoolKey], own_candidates.get(), f[kTokens], future, queued_at.get(),
                        boost.get()};
  Ref names = check(PyTuple_Pack(6, st->s_pool_key, st->s_candidates, st->s_estimated_tokens,
                                 st->s_future, st->s_queued_at, st->s_boost_after_sec));
  f.set(kWaiter, check(PyObject_Vectorcall(waiter_class.get(), values, 0, names.get())));
}

// self._waiters.setdefault(record["id"], deque())
Ref deque_for(LB* self, PyObject* record) {
  ModuleState* st = self->st;
  Ref waiters = get_state(self, kWaiters);
  Ref setdefault = method_unless_dict(waiters.get(), st->s_setdefault);
  Ref sid = getitem(record, st->s_id);
  Ref factory = module_attr(st, st->s_deque);
  Ref fresh = call0(factory.get());
  if (setdefault) return call2(setdefault.get(), sid.get(), fresh.get());
  return mapping_setdefault(waiters.get(), sid.get(), fresh.get(), st->s_setdefault);
}

void append_to(ModuleState* st, PyObject* container, PyObject* item) {
  if (PyList_CheckExact(container)) {
    check(PyList_Append(container, item));
    return;
  }
  call_method1(container, st->s_append, item);
}

// Parks the waiter on every backend of its wait set and in the list of all
// waiters, then tries the immediate admission. A failure on the way unparks
// it again and cancels its future: left there, it would count against the
// ceiling for ever and be handed a slot that nobody takes.
void park_and_admit(CoroFrame& f, PyObject* wait_set) {
  LB* self = as_lb(f[kSelf]);
  ModuleState* st = f.st;
  PyObject* waiter = f[kWaiter];
  try {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(wait_set); ++i) {
      Ref record = Ref::borrow(PyList_GET_ITEM(wait_set, i));
      Ref q = deque_for(self, record.get());
      call_method1(q.get(), st->s_append, waiter);
    }
    {
      Ref all = get_state(self, kAllWaiters);
      append_to(st, all.get(), waiter);
    }
    try_admit_via_self(self, waiter);
  } catch (PyError& e) {
    while_handling(e.value(), [&] {
      remove_waiter_via_self(self, waiter);
      call_method0(f[kFuture], st->s_cancel);
    });
    throw;
  }
}

// asyncio.wait_for(future, timeout=self.queue_ttl_sec()), the functions and
// the time-to-live read now.
Ref timed_wait(CoroFrame& f) {
  LB* self = as_lb(f[kSelf]);
  ModuleState* st = self->st;
  Ref asyncio = module_attr(st, st->s_asyncio);
  Ref wait_for = getattr(asyncio.get(), st->s_wait_for);
  Ref ttl = queue_ttl_sec_via_self(self);
  PyObject* args[] = {f[kFuture], ttl.get()};
  Ref names = check(PyTuple_Pack(1, st->s_timeout));
  return check(PyObject_Vectorcall(wait_for.get(), args, 1, names.get()));
}

// Seconds since the waiter was queued.
Ref seconds_waited(CoroFrame& f) {
  Ref now = monotonic_obj(f.st);
  Ref queued_at = getattr(f[kWaiter], f.st->s_queued_at);
  return sub(now.get(), queued_at.get());
}

// The wait ended by a time-out or a cancellation, yet the future holds a
// backend: _wake_one handed it over in the same turn of the loop. Nobody will
// use that slot now, so it goes on to the next waiter parked on that backend
// (its dispatch stays booked).
//   if future.done() and not future.cancelled():
//       self._wake_one(future.result()["id"])
void pass_on_handed_slot(CoroFrame& f) {
  ModuleState* st = f.st;
  PyObject* future = f[kFuture];
  if (!future_done(st, future)) return;
  {
    Ref cancelled = call_method0(future, st->s_cancelled);
    if (truthy(cancelled.get())) return;
  }
  Ref record = call_method0(future, st->s_result);
  Ref sid = getitem(record.get(), st->s_id);
  wake_one_via_self(as_lb(f[kSelf]), sid.get());
}

// After the timed wait raised: the result of a time-out, or nothing when the
// error is to propagate. The waiter is unparked in every case; a future that
// nothing will resolve any more is cancelled.
std::optional<Ref> after_failed_wait(CoroFrame& f, PyError& err) {
  LB* self = as_lb(f[kSelf]);
  ModuleState* st = f.st;
  return while_handling(err.value(), [&]() -> std::optional<Ref> {
    {
      Ref asyncio = module_attr(st, st->s_asyncio);
      Ref timeout_error = getattr(asyncio.get(), st->s_TimeoutError);
      if (err.matches(timeout_error.get())) {
        remove_waiter_via_self(self, f[kWaiter]);
        pass_on_handed_slot(f);
        Ref reasons = module_attr(st, st->s_RejectReason);
        Ref reason = getattr(reasons.get(), st->s_QUEUE_TIMEOUT);
        bump_reject_via_self(self, reason.get());
        Ref waited = seconds_waited(f);
        return triple(Py_None, reason.get(), waited.get());
      }
    }
    Ref asyncio = module_attr(st, st->s_asyncio);
    Ref cancelled_error = getattr(asyncio.get(), st->s_CancelledError);
    remove_waiter_via_self(self, f[kWaiter]);
    if (err.matches(cancelled_error.get())) {
      pass_on_handed_slot(f);
    } else {
      call_method0(f[kFuture], st->s_cancel);
    }
    return std::nullopt;
  });
}

// While the request waits, the frame may be destroyed instead of resumed:
// the coroutine closed, or collected unfinished. That takes the path of any
// other error of the wait, as the GeneratorExit of a Python coroutine would:
// the waiter is unparked and its future cancelled. An error on that path has
// nobody to go to and is reported as unraisable.
class UnparkOnClose {
 public:
  explicit UnparkOnClose(CoroFrame& f) : f_(f) {}
  UnparkOnClose(const UnparkOnClose&) = delete;
  ~UnparkOnClose() {
    if (!armed_) return;
    PyObject* pending = PyErr_GetRaisedException();
    try {
      PyError closing(check(PyObject_CallNoArgs(PyExc_GeneratorExit)));
      after_failed_wait(f_, closing);
    } catch (PyError& e) {
      e.restore();
      PyErr_WriteUnraisable(f_[kWaiter]);
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception while unparking a waiter");
      PyErr_WriteUnraisable(f_[kWaiter]);
    }
    PyErr_SetRaisedException(pending);
  }
  void dismiss() { armed_ = false; }

 private:
  CoroFrame& f_;
  bool armed_ = true;
};

// The wait yielded a backend: the wait is recorded and the triple returned.
// The dispatch was booked by the hand-over; the caller's lease counts the
// request in flight.
Ref served(CoroFrame& f, PyObject* backend) {
  Ref waited = seconds_waited(f);
  Ref samples = get_state(as_lb(f[kSelf]), kQueueWaitSamples);
  call_method1(samples.get(), f.st->s_append, waited.get());
  return triple(backend, f.st->s_ok, waited.get());
}

Coro wait_for_slot_body(CoroFrame& f) {
  {
    Ref wait_set;
    if (Ref refused = refusal(f, &wait_set)) co_return refused;
    make_waiter(f, wait_set.get());
    park_and_admit(f, wait_set.get());
  }
  std::optional<PyError> failure;
  Ref backend;
  {
    UnparkOnClose guard(f);
    try {
      PyAwait wait = py_await(timed_wait(f).get());
      backend = co_await wait;
    } catch (PyError& e) {
      failure.emplace(std::move(e));
    }
    guard.dismiss();
  }
  if (failure) {
    std::optional<Ref> timed_out = after_failed_wait(f, *failure);
    if (!timed_out) throw std::move(*failure);
    co_return std::move(*timed_out);
  }
  co_return served(f, backend.get());
}

}  // namespace

Ref wait_for_slot(LB* self, PyObject* pool_key, PyObject* candidates, PyObject* estimated_tokens,
                  PyObject* sin_binned) {
  return make_coroutine(self->st, self->st->q_wait_for_slot,
                        {as_obj(self), pool_key, candidates, estimated_tokens,
                         sin_binned ? sin_binned : Py_None},
                        wait_for_slot_body);
}

// ---- calls through self ----

void try_admit_via_self(LB* self, PyObject* waiter) {
  if (own_methods(self)) return try_admit(self, waiter);
  call_via_lookup(self, self->st->s__try_admit, {waiter});
}

void fulfill_via_self(LB* self, PyObject* waiter, PyObject* server) {
  if (own_methods(self)) return fulfill(self, waiter, server);
  call_via_lookup(self, self->st->s__fulfill, {waiter, server});
}

void remove_waiter_via_self(LB* self, PyObject* waiter) {
  if (own_methods(self)) return remove_waiter(self, waiter);
  call_via_lookup(self, self->st->s__remove_waiter, {waiter});
}

}  // namespace varnhold
