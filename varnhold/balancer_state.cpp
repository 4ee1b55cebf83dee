// Load-balancer state and counters: construction, in-flight counts,
// rejection counters, the routing mode and its queue settings, pool locks,
// and the booking of a dispatch.
//
// Every operation reads `self.<attr>` where the algorithm reads it, once per
// textual read, and holds what it read: a hash, a comparison, a dict
// subclass's method or a logging handler may replace any container of the
// balancer in the middle of a step.
#include "varnhold/load_balancer.h"
#include "varnhold/pynum.h"
#include "varnhold/rules.h"

namespace varnhold {

// ---- reading the state ----

PyObject* state_name(ModuleState* st, StateAttr a) {
  switch (a) {
#define VARNHOLD_STATE_NAME(e, name) \
  case e: return st->s_##name;
    VARNHOLD_STATE(VARNHOLD_STATE_NAME)
#undef VARNHOLD_STATE_NAME
    case kStateCount: break;
  }
  return nullptr;
}

namespace {

// Which state attribute an instance-dict key names, or -1. Compares the
// text itself, never calling the key's own __eq__: the keys of an instance
// dict are usually the interned names, found by identity.
int state_index(ModuleState* st, PyObject* key) {
  if (!PyUnicode_CheckExact(key)) return -1;
  for (int a = 0; a < kStateCount; ++a) {
    if (key == state_name(st, static_cast<StateAttr>(a))) return a;
  }
  for (int a = 0; a < kStateCount; ++a) {
    if (text_eq(key, state_name(st, static_cast<StateAttr>(a)))) return a;
  }
  return -1;
}

}  // namespace

void refresh_state(LB* self) {
  ModuleState* st = self->st;
  StateCache& c = self->cache;
  c = StateCache();
  c.epoch = watch_epoch();
  c.dict = self->dict;
  // Attribute lookup reads the instance dict directly only for the module's
  // own class, unmodified: any other class may put descriptors first.
  c.exact = Py_TYPE(self) == st->lb_type && st->lb_type_pristine;
  if (!c.exact || !c.dict) {
    c.extra = c.dict && PyDict_GET_SIZE(c.dict) > 0;
    return;
  }
  if (PyDict_Watch(st->dict_watcher, c.dict) < 0) {
    // Only a ValueError is possible here (a watcher id or dict it refuses).
    // Unwatched, the dict could change unseen: read it at every access.
    PyErr_Clear();
    c.epoch = 0;
    c.exact = false;
    c.extra = true;
    return;
  }
  // Walked rather than looked up: a lookup compares colliding keys through
  // their own __eq__, which may be host code.
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(c.dict, &pos, &key, &value)) {
    int a = state_index(st, key);
    if (a < 0) {
      c.extra = true;
    } else {
      c.value[a] = value;
    }
  }
}

Ref get_state_by_lookup(LB* self, StateAttr a) {
  return getattr(as_obj(self), state_name(self->st, a));
}

void set_state(LB* self, StateAttr a, PyObject* value) {
  check(PyObject_SetAttr(as_obj(self), state_name(self->st, a), value));
}

Ref state_get(LB* self, StateAttr a, PyObject* key, PyObject* dflt) {
  Ref container = get_state(self, a);
  return mapping_get(container.get(), key, dflt, self->st->s_get);
}

void state_set(LB* self, StateAttr a, PyObject* key, PyObject* value) {
  Ref container = get_state(self, a);
  setitem(container.get(), key, value);
}

Ref state_pop(LB* self, StateAttr a, PyObject* key, PyObject* dflt) {
  Ref container = get_state(self, a);
  return mapping_pop(container.get(), key, dflt, self->st->s_pop);
}

Ref call_by_name(PyObject* const* argv, size_t nargs, PyObject* name, PyObject* kwname) {
  Ref kwnames;
  if (kwname) kwnames = check(PyTuple_Pack(1, kwname));
  // argv[0] is the receiver: a bound callee may borrow that slot while it
  // runs, which PY_VECTORCALL_ARGUMENTS_OFFSET allows.
  return check(PyObject_VectorcallMethod(name, argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames.get()));
}

bool mode_is(LB* self, PyObject* mode_const_name) {
  Ref mode = get_state(self, kRoutingMode);
  Ref want = module_attr(self->st, mode_const_name);
  return py_eq(mode.get(), want.get());
}

namespace {

// count + 1, in machine arithmetic for the usual small count.
Ref plus_one(PyObject* count) {
  long long v;
  if (small_int(count, &v)) return new_int(v + 1);
  Ref one = new_int(1);
  return add(count, one.get());
}

// max(0, count - 1), as the builtins compute it: the lowered count when it
// is greater than 0, else the 0 object.
Ref lowered_count(PyObject* count, PyObject* zero) {
  long long v;
  if (small_int(count, &v)) return v > 1 ? new_int(v - 1) : Ref::borrow(zero);
  Ref one = new_int(1);
  Ref lowered = sub(count, one.get());
  return cmp(lowered.get(), zero, Py_GT) ? std::move(lowered) : Ref::borrow(zero);
}

// self.<a>[key] = self.<a>.get(key, 0) + 1, into *stored. True when no
// Python code can have run since the first read (an exact dict, a key whose
// hash and equality are the interpreter's own, a small count): the two
// reads then find the same dict, and it still holds *stored under key.
bool count_up(LB* self, StateAttr a, PyObject* key, Ref* stored) {
  Ref counts = get_state(self, a);
  Ref cur;
  if (PyDict_CheckExact(counts.get()) && immutable_key(key)) {
    PyObject* raw = nullptr;
    int has = check(PyDict_GetItemRef(counts.get(), key, &raw));
    cur = Ref::steal(raw);
    long long v = 0;
    if (!has || small_int(cur.get(), &v)) {
      *stored = new_int(v + 1);
      check(PyDict_SetItem(counts.get(), key, stored->get()));
      return true;
    }
  } else {
    Ref zero = new_int(0);
    cur = mapping_get(counts.get(), key, zero.get(), self->st->s_get);
  }
  counts.reset();
  *stored = plus_one(cur.get());
  cur.reset();
  state_set(self, a, key, stored->get());
  return false;
}

// `a != b` as an `if` reads it.
bool differs(PyObject* a, PyObject* b) {
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return !text_eq(a, b);
  Ref r = check(PyObject_RichCompare(a, b, Py_NE));
  return truthy(r.get());
}

}  // namespace

// ---- construction ----

void lb_init(LB* self) {
  ModuleState* st = self->st;
  // The attributes in constructor order, each assigned as `self.x = ...`.
  for (int a = 0; a < kStateCount; ++a) {
    Ref value;
    switch (static_cast<StateAttr>(a)) {
      case kAllWaiters: value = check(PyList_New(0)); break;
      case kQueueWaitSamples: value = new_deque(st, kWaitSamples); break;
      case kRoutingMode: value = module_attr(st, st->s_DEFAULT_ROUTING_MODE); break;
      default: value = check(PyDict_New()); break;
    }
    set_state(self, static_cast<StateAttr>(a), value.get());
  }
}

// ---- in-flight counts ----

Ref increment(LB* self, PyObject* server_id) {
  // self.inflight[server_id] = self.inflight.get(server_id, 0) + 1
  Ref n;
  if (count_up(self, kInflight, server_id, &n)) return n;
  // return self.inflight[server_id]
  Ref inflight = get_state(self, kInflight);
  return getitem(inflight.get(), server_id);
}

namespace {

// decrement's steps for an exact dict and a key whose hash and equality are
// the interpreter's own, when the count found is small: nothing can run
// between the reads, so the entry found is the one `in` would find. False,
// with nothing done, for anything else.
bool decrement_small(PyObject* inflight, PyObject* server_id, Ref* lowered) {
  if (!PyDict_CheckExact(inflight) || !immutable_key(server_id)) return false;
  PyObject* raw = nullptr;
  int has = check(PyDict_GetItemRef(inflight, server_id, &raw));
  Ref cur = Ref::steal(raw);
  long long v = 0;
  if (has && !small_int(cur.get(), &v)) return false;
  // new = max(0, cur - 1)
  *lowered = new_int(v > 1 ? v - 1 : 0);
  if (v <= 1 && has) {
    check(PyDict_DelItem(inflight, server_id));
  } else {
    check(PyDict_SetItem(inflight, server_id, lowered->get()));
  }
  return true;
}

}  // namespace

Ref decrement(LB* self, PyObject* server_id) {
  Ref lowered;
  Ref cur;  // a local of the algorithm: released when it returns
  Ref inflight = get_state(self, kInflight);
  if (!decrement_small(inflight.get(), server_id, &lowered)) {
    Ref zero = new_int(0);
    cur = mapping_get(inflight.get(), server_id, zero.get(), self->st->s_get);
    inflight.reset();
    lowered = lowered_count(cur.get(), zero.get());
    // if new == 0 and server_id in self.inflight: del self.inflight[server_id]
    // else: self.inflight[server_id] = new
    bool present = py_eq(lowered.get(), zero.get()) &&
                   contains(get_state(self, kInflight).get(), server_id);
    inflight = get_state(self, kInflight);
    if (present) {
      delitem(inflight.get(), server_id);
    } else {
      setitem(inflight.get(), server_id, lowered.get());
    }
  }
  inflight.reset();
  wake_one_via_self(self, server_id);
  return lowered;
}

Ref get_inflight(LB* self, PyObject* server_id) {
  Ref zero = new_int(0);
  return state_get(self, kInflight, server_id, zero.get());
}

void force_clear(LB* self, PyObject* server_id) {
  ModuleState* st = self->st;
  {
    Ref inflight = get_state(self, kInflight);
    if (!contains(inflight.get(), server_id)) return;
  }
  Ref count = state_pop(self, kInflight, server_id, nullptr);
  log(st, st->s_warning, "Force-cleared inflight=%d for server %s", {count.get(), server_id});
}

// ---- rejection counters ----

void bump_reject(LB* self, PyObject* reason) {
  Ref n;
  count_up(self, kRejectCounts, reason, &n);
}

void note_reject(LB* self, PyObject* reason) { bump_reject_via_self(self, reason); }

// ---- the routing mode and its queue settings ----

Ref get_routing_mode(LB* self) { return get_state(self, kRoutingMode); }

Ref set_routing_mode(LB* self, PyObject* mode) {
  ModuleState* st = self->st;
  Ref normalize = module_attr(st, st->s_normalize_routing_mode);
  Ref resolved = call1(normalize.get(), mode);
  Ref old = get_state(self, kRoutingMode);
  if (differs(resolved.get(), old.get())) {
    log(st, st->s_info, "Routing mode: %s -> %s", {old.get(), resolved.get()});
  }
  set_state(self, kRoutingMode, resolved.get());
  return resolved;
}

Ref queue_enabled(LB* self) {
  if (mode_is(self, self->st->s_ROUTING_MODE_QUEUE_ALL)) return Ref::borrow(Py_True);
  return module_attr(self->st, self->st->s_QUEUE_ENABLED);
}

Ref queue_ttl_sec(LB* self) {
  ModuleState* st = self->st;
  if (mode_is(self, st->s_ROUTING_MODE_QUEUE_ALL)) return module_attr(st, st->s_QUEUE_ALL_TTL_SEC);
  return module_attr(st, st->s_QUEUE_TTL_SEC);
}

Ref queue_depth_multiplier(LB* self) {
  ModuleState* st = self->st;
  if (mode_is(self, st->s_ROUTING_MODE_QUEUE_ALL)) {
    return module_attr(st, st->s_QUEUE_ALL_DEPTH_MULTIPLIER);
  }
  return module_attr(st, st->s_QUEUE_MAX_DEPTH_MULTIPLIER);
}

// ---- pool locks and the booking of a dispatch ----

Ref lock_for(LB* self, PyObject* pool_key) {
  ModuleState* st = self->st;
  Ref lock = state_get(self, kLocks, pool_key, Py_None);
  if (lock.get() == Py_None) {
    Ref asyncio = module_attr(st, st->s_asyncio);
    Ref lock_type = getattr(asyncio.get(), st->s_Lock);
    lock = call0(lock_type.get());
    state_set(self, kLocks, pool_key, lock.get());
  }
  return lock;
}

namespace {

// _record_dispatch, step by step. `reading`, `known_sid` and `known_window`,
// when given, are the monotonic reading, the record's id and the pool's
// window as the caller has just read them, with no Python code run since.
void book(LB* self, PyObject* pool_key, PyObject* server, const double* reading,
          PyObject* known_sid = nullptr, PyObject* known_window = nullptr) {
  ModuleState* st = self->st;
  Ref window = Ref::borrow(known_window);
  Ref sid = known_sid ? Ref::borrow(known_sid) : getitem(server, st->s_id);
  Ref n;
  count_up(self, kDispatchCounts, sid.get(), &n);
  n.reset();
  Ref now = reading ? new_float(*reading) : monotonic_obj(st);
  Ref wall = wall_clock_obj(st);
  state_set(self, kLastDispatchTs, sid.get(), wall.get());
  state_set(self, kPoolLastAccess, pool_key, now.get());
  if (!window) window = state_get(self, kPoolDispatchWindows, pool_key, Py_None);
  if (window.get() == Py_None) {
    window = new_deque(st, kDispatchWindow);
    state_set(self, kPoolDispatchWindows, pool_key, window.get());
  }
  call_method1(window.get(), st->s_append, now.get());
}

}  // namespace

void record_dispatch(LB* self, PyObject* pool_key, PyObject* server) {
  book(self, pool_key, server, nullptr);
}

void record_dispatch_at(LB* self, PyObject* pool_key, PyObject* server, double now, PyObject* sid,
                        PyObject* window) {
  book(self, pool_key, server, &now, sid, window);
}

// ---- calls through self ----

void record_dispatch_via_self(LB* self, PyObject* pool_key, PyObject* server) {
  if (own_methods(self)) return record_dispatch(self, pool_key, server);
  call_via_lookup(self, self->st->s__record_dispatch, {pool_key, server});
}

void bump_reject_via_self(LB* self, PyObject* reason) {
  if (own_methods(self)) return bump_reject(self, reason);
  call_via_lookup(self, self->st->s__bump_reject, {reason});
}

Ref lock_for_via_self(LB* self, PyObject* pool_key) {
  if (own_methods(self)) return lock_for(self, pool_key);
  return call_via_lookup(self, self->st->s__lock_for, {pool_key});
}

Ref queue_enabled_via_self(LB* self) {
  if (own_methods(self)) return queue_enabled(self);
  return call_via_lookup(self, self->st->s_queue_enabled);
}

Ref queue_ttl_sec_via_self(LB* self) {
  if (own_methods(self)) return queue_ttl_sec(self);
  return call_via_lookup(self, self->st->s_queue_ttl_sec);
}

Ref queue_depth_multiplier_via_self(LB* self) {
  if (own_methods(self)) return queue_depth_multiplier(self);
  return call_via_lookup(self, self->st->s_queue_depth_multiplier);
}

Ref increment_via_self(LB* self, PyObject* server_id) {
  if (own_methods(self)) return increment(self, server_id);
  return call_via_lookup(self, self->st->s_increment, {server_id});
}

Ref decrement_via_self(LB* self, PyObject* server_id) {
  if (own_methods(self)) return decrement(self, server_id);
  return call_via_lookup(self, self->st->s_decrement, {server_id});
}

void force_clear_via_self(LB* self, PyObject* server_id) {
  if (own_methods(self)) return force_clear(self, server_id);
  call_via_lookup(self, self->st->s_force_clear, {server_id});
}

}  // namespace varnhold
