// Waking parked waiters: a freed slot becomes a dispatch for one waiter.
//
// The waiters still pending on the server are put in the order of the
// active routing mode: first come, first served in queue_all; elsewhere the
// boosted waiters first (oldest first), then the others by their token
// estimate, smallest first. The first of them whose own view of the server
// passes the capacity gate is handed the server.
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

// Puts the pending waiters in the wake-up order of the active mode.
void order_pending(LB* self, std::vector<WaiterFields>& pending) {
  ModuleState* st = self->st;
  std::vector<SortKey> keys;
  keys.reserve(pending.size());
  bool queue_all = mode_is(self, st->s_ROUTING_MODE_QUEUE_ALL);
  if (queue_all) {
    for (WaiterFields& w : pending) keys.push_back({0, w.get(st->s_queued_at)});
  } else {
    // One reading of the clock serves every key of this call.
    Ref now = monotonic_obj(st);
    for (WaiterFields& fields : pending) {
      if (fields.is_boosted(now.get())) {
        keys.push_back({0, fields.get(st->s_queued_at)});
      } else {
        keys.push_back({1, fields.get(st->s_estimated_tokens)});
      }
    }
  }
  if (pending.size() < 2) return;
  if (!sort_numbers(pending, keys)) sort_objects(st, pending, keys, !queue_all);
}

// record["id"] == server_id, as the interpreter's `==` answers.
bool same_id(PyObject* a, PyObject* b) {
  if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
    return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
  }
  Ref r = check(PyObject_RichCompare(a, b, Py_EQ));
  return truthy(r.get());
}

}  // namespace

void wake_one(LB* self, PyObject* server_id) {
  ModuleState* st = self->st;
  PyObject* q = nullptr;
  if (PyDict_GetItemRef(LB_WAITERS(self), server_id, &q) < 0) throw PyError();
  Ref deque = Ref::steal(q);
  if (!deque || deque.get() == Py_None || check_size(PyObject_Size(deque.get())) == 0) return;

  // Waiters whose future is done (timed out or cancelled, not yet removed by
  // their own call) are passed over and left where they are.
  std::vector<WaiterFields> pending;
  for_each_item(deque.get(), [&](PyObject* w) {
    WaiterFields fields(st, w);
    Ref future = fields.get(st->s_future);
    if (!future_done(st, future.get())) pending.push_back(std::move(fields));
    return false;
  });
  if (pending.empty()) {
    check(PyDict_Pop(LB_WAITERS(self), server_id, nullptr));
    return;
  }

  order_pending(self, pending);

  // A refusal does not end the scan: the gate judges the server by each
  // waiter's own record, candidate list and pool.
  for (WaiterFields& w : pending) {
    bool handed = false;
    Ref candidates = w.get(st->s_candidates);
    for_each_item(candidates.get(), [&](PyObject* record) {
      Ref sid = getitem(record, st->s_id);
      if (!same_id(sid.get(), server_id)) return false;
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

void wake_one_via_self(LB* self, PyObject* server_id) {
  if (own_methods(self)) return wake_one(self, server_id);
  call_via_lookup(self, self->st->s__wake_one, {server_id});
}

}  // namespace varnhold
