// The in-flight reaper: a long-running task that, once per interval, asks
// the host which servers still run and force-clears the in-flight count of
// every other server, so that a count orphaned by a crashed backend or a
// lost response end does not keep the capacity gate closed.
#include <optional>

#include "varnhold/coro.h"
#include "varnhold/load_balancer.h"

namespace varnhold {

namespace {

// The frame: the call's three arguments.
enum Slot : int { kLb, kInterval, kLister, kSlotCount };
static_assert(slots_fit<kSlotCount>());

// asyncio.sleep(interval_sec), looked up now.
Ref start_sleep(CoroFrame& f) {
  Ref asyncio = module_attr(f.st, f.st->s_asyncio);
  Ref sleep = getattr(asyncio.get(), f.st->s_sleep);
  return call1(sleep.get(), f[kInterval]);
}

// lb.force_clear(server_id)
void force_clear_on(ModuleState* st, PyObject* lb, PyObject* server_id) {
  if (PyObject_TypeCheck(lb, st->lb_type)) {
    force_clear_via_self(as_lb(lb), server_id);
    return;
  }
  call_method1(lb, st->s_force_clear, server_id);
}

// Clears every in-flight entry whose server is not in the host's list.
void reap(CoroFrame& f, PyObject* authoritative) {
  ModuleState* st = f.st;
  Ref live_ids = check(PySet_New(nullptr));
  for_each_item(authoritative, [&](PyObject* server) {
    Ref sid = getitem(server, st->s_id);
    check(PySet_Add(live_ids.get(), sid.get()));
    return false;
  });
  // A copy of the keys, read after the host answered: force_clear deletes
  // entries while the walk goes on.
  Ref inflight = getattr(f[kLb], st->s_inflight);
  Ref keys;
  if (PyDict_CheckExact(inflight.get())) {
    keys = check(PyDict_Keys(inflight.get()));
  } else {
    Ref view = call_method0(inflight.get(), st->s_keys);
    keys = check(PySequence_List(view.get()));
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    Ref sid = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    if (!check(PySet_Contains(live_ids.get(), sid.get()))) force_clear_on(st, f[kLb], sid.get());
  }
}

enum class Outcome { kLogged, kReraise };

// The iteration's guard: cancellation and anything that is not an Exception
// go on; an Exception is logged and the loop carries on.
Outcome after_failed_iteration(CoroFrame& f, PyError& err) {
  ModuleState* st = f.st;
  return while_handling(err.value(), [&] {
    Ref asyncio = module_attr(st, st->s_asyncio);
    Ref cancelled_error = getattr(asyncio.get(), st->s_CancelledError);
    if (err.matches(cancelled_error.get())) return Outcome::kReraise;
    if (!err.matches(PyExc_Exception)) return Outcome::kReraise;
    log(st, st->s_warning, "inflight reaper iteration failed: %s", {err.value()});
    return Outcome::kLogged;
  });
}

Coro reaper_body(CoroFrame& f) {
  for (;;) {
    const unsigned long long suspensions = f.suspensions;
    std::optional<PyError> failure;
    try {
      {
        PyAwait nap = py_await(start_sleep(f).get());
        co_await nap;
      }
      if (f[kLister] != Py_None) {
        Ref authoritative;
        {
          Ref listing = call0(f[kLister]);
          PyAwait answer = py_await(listing.get());
          listing.reset();
          authoritative = co_await answer;
        }
        reap(f, authoritative.get());
      }
    } catch (PyError& e) {
      failure.emplace(std::move(e));
    }
    if (!failure) continue;
    if (after_failed_iteration(f, *failure) == Outcome::kReraise) throw std::move(*failure);
    // An iteration that failed without ever suspending (a sleep that rejects
    // its interval at once) would fail the same way again at once, for ever,
    // and never let the event loop run: the task ends with the error instead.
    if (f.suspensions == suspensions) throw std::move(*failure);
  }
}

}  // namespace

Ref inflight_reaper_loop(ModuleState* st, PyObject* lb, PyObject* interval_sec,
                         PyObject* list_running_servers) {
  return make_coroutine(st, st->q_reaper, {lb, interval_sec, list_running_servers}, reaper_body);
}

}  // namespace varnhold
