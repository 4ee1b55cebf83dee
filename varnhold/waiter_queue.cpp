// The waiter queue: a request that found no free slot parks as one _Waiter
// on every backend it may run on and waits, at most for the queue's
// time-to-live, until one of them hands it a slot.
//
// A slot reaches a parked waiter only through _fulfill, which unparks the
// waiter, books the dispatch and then resolves the waiter's future; its
// callers are _try_admit (right after parking) and _wake_one (after every
// in-flight decrement).
#include "varnhold/waiter_queue.h"

#include <array>
#include <optional>

#include "varnhold/coro.h"
#include "varnhold/pynum.h"

namespace varnhold {

// ---- the record's method ----

namespace {

Ref bool_ref(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace

namespace {

// is_boosted over a way of reading the record's attributes, in the order the
// expression reads them.
template <class Get>
Ref is_boosted_with(ModuleState* st, Get&& get, PyObject* now) {
  PyObject* boost_name = st->s_boost_after_sec;
  // self.boost_after_sec > 0
  Ref boost = get(boost_name);
  if (PyFloat_CheckExact(boost.get())) {
    if (!(PyFloat_AS_DOUBLE(boost.get()) > 0.0)) return bool_ref(false);
  } else {
    Ref zero = new_int(0);
    Ref positive = check(PyObject_RichCompare(boost.get(), zero.get(), Py_GT));
    if (!truthy(positive.get())) return positive;
  }
  // and (now - self.queued_at) >= self.boost_after_sec
  Ref queued = get(st->s_queued_at);
  Ref again = get(boost_name);
  if (PyFloat_CheckExact(now) && PyFloat_CheckExact(queued.get()) &&
      PyFloat_CheckExact(again.get())) {
    double age = PyFloat_AS_DOUBLE(now) - PyFloat_AS_DOUBLE(queued.get());
    return bool_ref(age >= PyFloat_AS_DOUBLE(again.get()));
  }
  Ref age = sub(now, queued.get());
  return check(PyObject_RichCompare(age.get(), again.get(), Py_GE));
}

}  // namespace

Ref waiter_is_boosted(ModuleState* st, PyObject* waiter, PyObject* now) {
  return is_boosted_with(st, [waiter](PyObject* name) { return getattr(waiter, name); }, now);
}

WaiterFields::WaiterFields(ModuleState* st, PyObject* waiter)
    : st_(st), waiter_(Ref::borrow(waiter)) {
  if (plain_waiter_type(st, Py_TYPE(waiter))) dict_ = check(PyObject_GenericGetDict(waiter, nullptr));
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

// ---- unparking ----

bool future_done(ModuleState* st, PyObject* future) {
  PyObject* args[] = {future};
  Ref r = check(PyObject_VectorcallMethod(st->s_done, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
  return truthy(r.get());
}

namespace {

// Decides `item == waiter` without asking where the answer is known to be
// false: both are records of the plain class, whose generated __eq__ compares
// their futures too, and a future equals only itself.
class WaiterIdentity {
 public:
  WaiterIdentity(ModuleState* st, PyObject* waiter)
      : waiter_(waiter), known_(plain_waiter_type(st, Py_TYPE(waiter))) {}
  bool distinct(PyObject* item) const { return known_ && Py_TYPE(item) == Py_TYPE(waiter_); }

 private:
  PyObject* waiter_;
  bool known_;
};

// container.remove(waiter), ignoring the ValueError of a missing waiter.
void remove_first(ModuleState* st, PyObject* container, PyObject* waiter,
                  const WaiterIdentity& ident) {
  if (PyList_CheckExact(container)) {
    Py_ssize_t n = PyList_GET_SIZE(container);
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
      PyObject* item = PyList_GET_ITEM(container, i);
      if (item == waiter) {
        check(PyList_SetSlice(container, i, i + 1, nullptr));
        return;
      }
      if (!ident.distinct(item)) break;
    }
    if (i == n) return;
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
      if (!ident.distinct(item.get())) {
        undecided = true;
        break;
      }
      ++i;
    }
    if (PyErr_Occurred()) throw PyError();
    if (!undecided) return;
  }
  // The container's own search, comparing as the interpreter does.
  try {
    call_method1(container, st->s_remove, waiter);
  } catch (PyError& e) {
    if (!e.matches(PyExc_ValueError)) throw;
  }
}

}  // namespace

void remove_waiter(LB* self, PyObject* waiter) {
  ModuleState* st = self->st;
  WaiterIdentity ident(st, waiter);
  Ref candidates = getattr(waiter, st->s_candidates);
  for_each_item(candidates.get(), [&](PyObject* record) {
    Ref sid = getitem(record, st->s_id);
    PyObject* q_raw = nullptr;
    if (PyDict_GetItemRef(LB_WAITERS(self), sid.get(), &q_raw) < 0) throw PyError();
    Ref q = Ref::steal(q_raw);
    if (!q || q.get() == Py_None) return false;
    remove_first(st, q.get(), waiter, ident);
    if (!truthy(q.get())) {
      Ref key = getitem(record, st->s_id);
      check(PyDict_Pop(LB_WAITERS(self), key.get(), nullptr));
    }
    return false;
  });
  remove_first(st, LB_ALL_WAITERS(self), waiter, ident);
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

// Slots of a wait_for_slot frame: the call's arguments, then what the
// parked request keeps across its wait.
enum : int { kSelf, kPoolKey, kCandidates, kTokens, kSinBinned, kWaiter, kFuture };

Ref triple(PyObject* backend, PyObject* reason, PyObject* seconds) {
  return check(PyTuple_Pack(3, backend, reason, seconds));
}

Ref triple(PyObject* backend, PyObject* reason, double seconds) {
  Ref s = new_float(seconds);
  return triple(backend, reason, s.get());
}

// RejectReason.<name> as the module holds it now.
Ref reject_reason(ModuleState* st, PyObject* name) {
  Ref ns = module_attr(st, st->s_RejectReason);
  return getattr(ns.get(), name);
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

// self._waiters.setdefault(record["id"], deque())
Ref deque_for(LB* self, PyObject* record) {
  ModuleState* st = self->st;
  PyObject* waiters = LB_WAITERS(self);
  Ref sid = getitem(record, st->s_id);
  Ref factory = module_attr(st, st->s_deque);
  if (factory.get() == st->std_deque && PyLong_CheckExact(sid.get())) {
    // A fresh deque that setdefault would drop is not worth making.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(waiters, sid.get(), &found) < 0) throw PyError();
    if (found) return Ref::steal(found);
  }
  Ref fresh = call0(factory.get());
  PyObject* q = nullptr;
  check(PyDict_SetDefaultRef(waiters, sid.get(), fresh.get(), &q));
  return Ref::steal(q);
}

void append_to(ModuleState* st, PyObject* container, PyObject* item) {
  if (PyList_CheckExact(container)) {
    check(PyList_Append(container, item));
    return;
  }
  call_method1(container, st->s_append, item);
}

// Everything up to the timed wait, without suspending: the queue test, the
// wait set, the ceiling, the waiter, its parking and the immediate admission.
// Returns the result of an early refusal, or an empty Ref once the waiter is
// parked (it and its future are then in the frame's slots).
Ref park(CoroFrame& f) {
  LB* self = as_lb(f[kSelf]);
  ModuleState* st = self->st;
  {
    Ref enabled = queue_enabled_via_self(self);
    if (!truthy(enabled.get())) return triple(Py_None, st->s_queue_disabled, 0.0);
  }
  if (!truthy(f[kSinBinned])) f.set(kSinBinned, check(PySet_New(nullptr)));
  Ref wait_set = wait_set_of(st, f[kCandidates], f[kSinBinned]);
  if (PyList_GET_SIZE(wait_set.get()) == 0) {
    Ref reason = reject_reason(st, st->s_NO_BACKENDS);
    bump_reject_via_self(self, reason.get());
    return triple(Py_None, reason.get(), 0.0);
  }
  // The ceiling counts the parked waiters of the whole process and is tested
  // before any slot is looked for.
  Ref max_depth = queue_capacity_for_pool_via_self(self, wait_set.get());
  Ref zero = new_int(0);
  if (cmp(max_depth.get(), zero.get(), Py_GT)) {
    Ref depth = check(PyLong_FromSsize_t(check_size(PyObject_Size(LB_ALL_WAITERS(self)))));
    if (cmp(depth.get(), max_depth.get(), Py_GE)) {
      Ref reason = reject_reason(st, st->s_QUEUE_FULL);
      bump_reject_via_self(self, reason.get());
      return triple(Py_None, reason.get(), 0.0);
    }
  }

  Ref asyncio = module_attr(st, st->s_asyncio);
  Ref loop = call_method0(asyncio.get(), st->s_get_running_loop);
  PyObject* future = f.set(kFuture, call_method0(loop.get(), st->s_create_future));
  // The boost is fixed now: a later change of mode leaves it alone.
  Ref boost = mode_is(self, st->s_ROUTING_MODE_QUEUE_ALL)
                  ? new_float(0.0)
                  : module_attr(st, st->s_QUEUE_DEADLINE_BOOST_SEC);
  Ref waiter_cls = module_attr(st, st->s__Waiter);
  Ref own_candidates = check(PyList_GetSlice(wait_set.get(), 0, PY_SSIZE_T_MAX));
  Ref queued_at = monotonic_obj(st);
  PyObject* values[] = {f[kPoolKey], own_candidates.get(), f[kTokens], future, queued_at.get(),
                        boost.get()};
  Ref names = check(PyTuple_Pack(6, st->s_pool_key, st->s_candidates, st->s_estimated_tokens,
                                 st->s_future, st->s_queued_at, st->s_boost_after_sec));
  PyObject* waiter = f.set(kWaiter, check(PyObject_Vectorcall(waiter_cls.get(), values, 0,
                                                              names.get())));

  try {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(wait_set.get()); ++i) {
      Ref record = Ref::borrow(PyList_GET_ITEM(wait_set.get(), i));
      Ref q = deque_for(self, record.get());
      call_method1(q.get(), st->s_append, waiter);
    }
    append_to(st, LB_ALL_WAITERS(self), waiter);
    try_admit_via_self(self, waiter);
  } catch (PyError& e) {
    // The waiter is parked, in part at least: left there it would count
    // against the ceiling for ever and be handed a slot that nobody takes.
    while_handling(e.value(), [&] {
      remove_waiter_via_self(self, waiter);
      call_method0(future, st->s_cancel);
    });
    throw;
  }
  return Ref();
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

// Unparks the waiter when the frame goes away while it waits (the coroutine
// closed or collected unfinished), so that it does not stay in the queues.
class ParkedGuard {
 public:
  explicit ParkedGuard(CoroFrame& f) : f_(f) {}
  ParkedGuard(const ParkedGuard&) = delete;
  ~ParkedGuard() {
    if (!armed_ || !f_[kSelf] || !f_[kWaiter]) return;
    PyObject* pending = PyErr_GetRaisedException();
    try {
      remove_waiter_via_self(as_lb(f_[kSelf]), f_[kWaiter]);
    } catch (PyError& e) {
      e.restore();
      PyErr_WriteUnraisable(f_[kWaiter]);
    } catch (...) {
      PyErr_WriteUnraisable(f_[kWaiter]);
    }
    PyErr_SetRaisedException(pending);
  }
  void dismiss() { armed_ = false; }

 private:
  CoroFrame& f_;
  bool armed_ = true;
};

// After the timed wait raised: the result of a time-out, or nothing when the
// error is to propagate (the waiter is unparked in every case).
std::optional<Ref> after_failed_wait(CoroFrame& f, PyError& err) {
  LB* self = as_lb(f[kSelf]);
  ModuleState* st = self->st;
  return while_handling(err.value(), [&]() -> std::optional<Ref> {
    {
      Ref asyncio = module_attr(st, st->s_asyncio);
      Ref timeout_error = getattr(asyncio.get(), st->s_TimeoutError);
      if (err.matches(timeout_error.get())) {
        remove_waiter_via_self(self, f[kWaiter]);
        Ref reason = reject_reason(st, st->s_QUEUE_TIMEOUT);
        bump_reject_via_self(self, reason.get());
        Ref waited = seconds_waited(f);
        return triple(Py_None, reason.get(), waited.get());
      }
    }
    Ref asyncio = module_attr(st, st->s_asyncio);
    Ref cancelled_error = getattr(asyncio.get(), st->s_CancelledError);
    remove_waiter_via_self(self, f[kWaiter]);
    if (!err.matches(cancelled_error.get())) {
      // Any other error (a time-to-live that is not a number, say): nothing
      // will resolve this future any more.
      call_method0(f[kFuture], st->s_cancel);
    }
    return std::nullopt;
  });
}

Coro wait_for_slot_body(CoroFrame& f) {
  {
    Ref refused = park(f);
    if (refused) co_return refused;
  }
  std::optional<PyError> failure;
  Ref backend;
  {
    ParkedGuard guard(f);
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
  // The dispatch was booked by the hand-over; the caller's lease counts the
  // request in flight.
  LB* self = as_lb(f[kSelf]);
  Ref waited = seconds_waited(f);
  call_method1(LB_QUEUE_WAIT_SAMPLES(self), f.st->s_append, waited.get());
  co_return triple(backend.get(), f.st->s_ok, waited.get());
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
