// Waking parked waiters: a freed slot becomes a dispatch for one waiter.
//
// _wake_one reads as its algorithm does: the server's deque (1), the list of
// the waiters still pending in it (2; none: the deque is dropped, 3), their
// order in the active routing mode (4: first come, first served in
// queue_all; elsewhere the boosted waiters first, oldest first, then the
// others by their token estimate, smallest first), and the scan for the
// first of them whose own view of the server passes the capacity gate (5).
#include <algorithm>
#include <cmath>
#include <vector>

#include "varnhold/pynum.h"
#include "varnhold/waiter_queue.h"

namespace varnhold {

namespace {

// One waiter's sort key: its group (0 boosted, 1 not; always 0 in queue_all)
// and the value compared within the group.
struct SortKey {
  int group;
  Ref value;
};

// A key value as a C number, when comparing the numbers is exactly what the
// interpreter's `<` does: an exact float that is not NaN, or an exact int
// that fits.
struct Number {
  bool is_float;
  double d;
  long long i;
};

bool as_number(PyObject* o, Number* out) {
  if (PyFloat_CheckExact(o)) {
    double d = PyFloat_AS_DOUBLE(o);
    if (std::isnan(d)) return false;
    *out = {true, d, 0};
    return true;
  }
  long long i;
  if (small_int(o, &i)) {
    *out = {false, 0.0, i};
    return true;
  }
  return false;
}

// Sorts by the keys with C numbers when every group holds numbers of one
// kind; returns false (nothing sorted) otherwise.
bool sort_numbers(std::vector<WaiterFields>& pending, const std::vector<SortKey>& keys) {
  struct Item {
    int group;
    Number n;
    size_t index;
  };
  std::vector<Item> items(pending.size());
  int kind[2] = {-1, -1};  // per group: -1 none yet, 0 int, 1 float
  for (size_t i = 0; i < keys.size(); ++i) {
    Item& it = items[i];
    it.group = keys[i].group;
    it.index = i;
    if (!as_number(keys[i].value.get(), &it.n)) return false;
    int k = it.n.is_float ? 1 : 0;
    if (kind[it.group] == -1) kind[it.group] = k;
    if (kind[it.group] != k) return false;
  }
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    if (a.group != b.group) return a.group < b.group;
    return a.n.is_float ? a.n.d < b.n.d : a.n.i < b.n.i;
  });
  std::vector<WaiterFields> sorted;
  sorted.reserve(pending.size());
  for (const Item& it : items) sorted.push_back(std::move(pending[it.index]));
  pending = std::move(sorted);
  return true;
}

// The interpreter's own stable sort over the keys: the key objects (a value,
// or a (group, value) pair) are compared with `<` exactly as `list.sort(key=)`
// compares them.
void sort_objects(ModuleState* st, std::vector<WaiterFields>& pending, const std::vector<SortKey>& keys,
                  bool pairs) {
  Py_ssize_t n = static_cast<Py_ssize_t>(pending.size());
  Ref key_list = check(PyList_New(n));
  Ref order = check(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref key;
    if (pairs) {
      Ref group = new_int(keys[i].group);
      key = check(PyTuple_Pack(2, group.get(), keys[i].value.get()));
    } else {
      key = keys[i].value.dup();
    }
    PyList_SET_ITEM(key_list.get(), i, key.release());
    PyList_SET_ITEM(order.get(), i, check(PyLong_FromSsize_t(i)).release());
  }
  Ref getter = getattr(key_list.get(), st->s___getitem__);
  PyObject* args[] = {order.get(), getter.get()};
  Ref names = check(PyTuple_Pack(1, st->s_key));
  check(PyObject_VectorcallMethod(st->s_sort, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                  names.get()));
  std::vector<WaiterFields> sorted;
  sorted.reserve(pending.size());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_ssize_t at = PyLong_AsSsize_t(PyList_GET_ITEM(order.get(), i));
    sorted.push_back(std::move(pending[static_cast<size_t>(at)]));
  }
  pending = std::move(sorted);
}

// Step 4: puts the pending waiters in the wake-up order of the active mode.
//   queue_all:  pending.sort(key=lambda w: w.queued_at)
//   otherwise:  now = time.monotonic()
//               pending.sort(key=lambda w: (0, w.queued_at) if w.is_boosted(now)
//                                          else (1, w.estimated_tokens))
void order_pending(LB* self, std::vector<WaiterFields>& pending) {
  ModuleState* st = self->st;
  std::vector<SortKey> keys;
  keys.reserve(pending.size());
  bool queue_all = in_queue_all_mode(self);
  if (queue_all) {
    for (WaiterFields& w : pending) keys.push_back({0, w.get(st->s_queued_at)});
  } else {
    // One reading of the clock serves every key of this call.
    Ref now = monotonic_obj(st);
    for (WaiterFields& w : pending) {
      if (w.is_boosted(now.get())) {
        keys.push_back({0, w.get(st->s_queued_at)});
      } else {
        keys.push_back({1, w.get(st->s_estimated_tokens)});
      }
    }
  }
  if (pending.size() < 2) return;
  if (!sort_numbers(pending, keys)) sort_objects(st, pending, keys, !queue_all);
}

// Step 1: q = self._waiters.get(server_id); nothing when `not q`.
Ref parked_on(LB* self, PyObject* server_id) {
  Ref waiters = get_state(self, kWaiters);
  Ref q = dict_get(waiters.get(), server_id, self->st->s_get);
  if (!q || !truthy(q.get())) return Ref();
  return q;
}

// Step 2: [w for w in q if not w.future.done()]. Waiters whose future is done
// (timed out or cancelled, not yet removed by their own call) are passed
// over and left where they are.
std::vector<WaiterFields> pending_in(ModuleState* st, PyObject* q) {
  std::vector<WaiterFields> pending;
  for_each_item(q, [&](PyObject* w) {
    WaiterFields fields(st, w);
    Ref future = fields.get(st->s_future);
    if (!future_done(st, future.get())) pending.push_back(std::move(fields));
    return false;
  });
  return pending;
}

// Step 5: the first pending waiter, in order, whose own record of the server
// passes the capacity gate gets the server. A refusal does not end the scan:
// the gate judges the server by each waiter's own record, candidate list and
// pool.
//   for w in pending:
//       for s in w.candidates:
//           if s["id"] == server_id and self._under_capacity(s, w.candidates,
//                                                            pool_key=w.pool_key):
//               self._fulfill(w, s); return
void hand_over(LB* self, PyObject* server_id, std::vector<WaiterFields>& pending) {
  ModuleState* st = self->st;
  for (WaiterFields& w : pending) {
    bool handed = false;
    Ref candidates = w.get(st->s_candidates);
    for_each_item(candidates.get(), [&](PyObject* record) {
      Ref sid = getitem(record, st->s_id);
      if (!py_eq(sid.get(), server_id)) return false;
      Ref pool = w.get(st->s_candidates);
      Ref pool_key = w.get(st->s_pool_key);
      if (!under_capacity_via_self(self, record, pool.get(), pool_key.get())) return false;
      fulfill_via_self(self, w.waiter(), record);
      handed = true;
      return true;
    });
    if (handed) return;
  }
}

// Steps 2 to 5, with somebody parked on the server.
[[gnu::noinline]] void wake_parked(LB* self, PyObject* server_id, PyObject* q) {
  std::vector<WaiterFields> pending = pending_in(self->st, q);
  if (pending.empty()) {
    // Step 3: self._waiters.pop(server_id, None), done waiters and all.
    Ref waiters = get_state(self, kWaiters);
    mapping_pop(waiters.get(), server_id, Py_None, self->st->s_pop);
    return;
  }
  order_pending(self, pending);
  hand_over(self, server_id, pending);
}

}  // namespace

void wake_one(LB* self, PyObject* server_id) {
  Ref q = parked_on(self, server_id);
  if (!q) return;  // nobody parked: neither the clock nor the mode is read
  wake_parked(self, server_id, q.get());
}

void wake_one_via_self(LB* self, PyObject* server_id) {
  if (own_methods(self)) return wake_one(self, server_id);
  call_via_lookup(self, self->st->s__wake_one, {server_id});
}

}  // namespace varnhold
