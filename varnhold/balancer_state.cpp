// Load-balancer state and counters: construction, in-flight counts,
// rejection counters, the routing mode and its queue settings, pool locks,
// and the booking of a dispatch.
#include "varnhold/load_balancer.h"
#include "varnhold/pynum.h"

namespace varnhold {

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
    // Unwatched, the dict could change unseen: read it at every access.
    PyErr_Clear();
    c.epoch = 0;
    c.exact = false;
    c.extra = true;
    return;
  }
  Py_ssize_t found = 0;
  for (int a = 0; a < kStateCount; ++a) {
    // The dict's own lookup of an exact str key runs no Python code.
    PyObject* v = PyDict_GetItemWithError(c.dict, state_name(st, static_cast<StateAttr>(a)));
    if (!v && PyErr_Occurred()) PyErr_Clear();
    c.value[a] = v;
    found += v != nullptr;
  }
  c.extra = PyDict_GET_SIZE(c.dict) > found;
}

Ref get_state_by_lookup(LB* self, StateAttr a) {
  return getattr(as_obj(self), state_name(self->st, a));
}

void set_state(LB* self, StateAttr a, PyObject* value) {
  check(PyObject_SetAttr(as_obj(self), state_name(self->st, a), value));
}

PyObject* lb_attr_by_lookup(LB* self, StateAttr a) {
  // Held by whatever the lookup found it in.
  Ref v = get_state_by_lookup(self, a);
  return v.get();
}

PyObject* lb_dict_slow(LB* self, StateAttr a) {
  PyObject* v = lb_attr(self, a);
  if (!PyDict_Check(v)) {
    raise_format(PyExc_TypeError, "LoadBalancer.%U must be a dict, not %.100s",
                 state_name(self->st, a), Py_TYPE(v)->tp_name);
  }
  return v;
}

Ref call_via_lookup(LB* self, PyObject* name, std::initializer_list<PyObject*> args,
                    PyObject* kwname, PyObject* kwvalue) {
  PyObject* argv[8];
  argv[0] = as_obj(self);
  size_t n = 1;
  for (PyObject* a : args) argv[n++] = a;
  Ref kwnames;
  if (kwname) {
    argv[n] = kwvalue;
    kwnames = check(PyTuple_Pack(1, kwname));
  }
  return check(PyObject_VectorcallMethod(name, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames.get()));
}

bool mode_is(LB* self, PyObject* mode_const_name) {
  PyObject* mode = LB_ROUTING_MODE(self);
  Ref want = module_attr(self->st, mode_const_name);
  if (mode == want.get()) return true;
  return check(PyObject_RichCompareBool(mode, want.get(), Py_EQ)) != 0;
}

namespace {

// d.get(key, 0) + 1
Ref get_plus_one(PyObject* d, PyObject* key) {
  PyObject* cur = nullptr;
  if (PyDict_GetItemRef(d, key, &cur) < 0) throw PyError();
  Ref c = Ref::steal(cur);
  if (!c) return new_int(1);
  if (PyLong_CheckExact(c.get())) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(c.get(), &overflow);
    if (!overflow && v < (1LL << 62)) return new_int(v + 1);
  }
  Ref one = new_int(1);
  return check(PyNumber_Add(c.get(), one.get()));
}

}  // namespace

void lb_init(LB* self) {
  ModuleState* st = self->st;
  // The attributes in constructor order, each assigned as `self.x = ...`.
  for (int a = 0; a < kStateCount; ++a) {
    Ref value;
    switch (static_cast<StateAttr>(a)) {
      case kAllWaiters: value = check(PyList_New(0)); break;
      case kQueueWaitSamples: value = new_deque(st, 512); break;
      case kRoutingMode: value = module_attr(st, st->s_DEFAULT_ROUTING_MODE); break;
      default: value = check(PyDict_New()); break;
    }
    set_state(self, static_cast<StateAttr>(a), value.get());
  }
}

Ref increment(LB* self, PyObject* server_id) {
  PyObject* inflight = LB_INFLIGHT(self);
  Ref n = get_plus_one(inflight, server_id);
  check(PyDict_SetItem(inflight, server_id, n.get()));
  return n;
}

Ref decrement(LB* self, PyObject* server_id) {
  PyObject* inflight = LB_INFLIGHT(self);
  PyObject* cur_raw = nullptr;
  int has = check(PyDict_GetItemRef(inflight, server_id, &cur_raw));
  Ref cur = has ? Ref::steal(cur_raw) : new_int(0);
  long long c;
  if (small_int(cur.get(), &c)) {
    // The usual count: the same steps in C numbers.
    long long lowered = c - 1 > 0 ? c - 1 : 0;
    if (lowered == 0 && has) {
      check(PyDict_DelItem(inflight, server_id));
    } else {
      check(PyDict_SetItem(inflight, server_id, new_int(lowered).get()));
    }
    wake_one_via_self(self, server_id);
    return new_int(lowered);
  }
  // new = max(0, cur - 1)
  Ref zero = new_int(0);
  Ref one = new_int(1);
  Ref lowered = check(PyNumber_Subtract(cur.get(), one.get()));
  Ref fresh = check(PyObject_RichCompareBool(lowered.get(), zero.get(), Py_GT)) ? std::move(lowered)
                                                                              : zero.dup();
  bool is_zero = check(PyObject_RichCompareBool(fresh.get(), zero.get(), Py_EQ)) != 0;
  if (is_zero && check(PyDict_Contains(inflight, server_id))) {
    check(PyDict_DelItem(inflight, server_id));
  } else {
    check(PyDict_SetItem(inflight, server_id, fresh.get()));
  }
  wake_one_via_self(self, server_id);
  return fresh;
}

Ref get_inflight(LB* self, PyObject* server_id) {
  PyObject* v = nullptr;
  if (PyDict_GetItemRef(LB_INFLIGHT(self), server_id, &v) < 0) throw PyError();
  return v ? Ref::steal(v) : new_int(0);
}

void force_clear(LB* self, PyObject* server_id) {
  PyObject* inflight = LB_INFLIGHT(self);
  if (!check(PyDict_Contains(inflight, server_id))) return;
  PyObject* count = nullptr;
  check(PyDict_Pop(inflight, server_id, &count));
  Ref c = Ref::steal(count);
  log(self->st, self->st->s_warning, "Force-cleared inflight=%d for server %s", {c.get(), server_id});
}

void bump_reject(LB* self, PyObject* reason) {
  PyObject* counts = LB_REJECT_COUNTS(self);
  Ref n = get_plus_one(counts, reason);
  check(PyDict_SetItem(counts, reason, n.get()));
}

void note_reject(LB* self, PyObject* reason) { bump_reject_via_self(self, reason); }

Ref get_routing_mode(LB* self) { return get_state(self, kRoutingMode); }

Ref set_routing_mode(LB* self, PyObject* mode) {
  ModuleState* st = self->st;
  Ref normalize = module_attr(st, st->s_normalize_routing_mode);
  Ref resolved = call1(normalize.get(), mode);
  PyObject* current = LB_ROUTING_MODE(self);
  if (!check(PyObject_RichCompareBool(resolved.get(), current, Py_EQ))) {
    Ref old = Ref::borrow(current);
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

Ref lock_for(LB* self, PyObject* pool_key) {
  PyObject* locks = LB_LOCKS(self);
  PyObject* lk = nullptr;
  if (PyDict_GetItemRef(locks, pool_key, &lk) < 0) throw PyError();
  Ref lock = Ref::steal(lk);
  if (!lock || lock.get() == Py_None) {
    Ref asyncio = module_attr(self->st, self->st->s_asyncio);
    Ref lock_type = getattr(asyncio.get(), self->st->s_Lock);
    lock = call0(lock_type.get());
    check(PyDict_SetItem(locks, pool_key, lock.get()));
  }
  return lock;
}

namespace {

// sid and window, when given, are the record's id and the pool's window as
// the caller just read them (no Python code ran since).
void book(LB* self, PyObject* pool_key, PyObject* server, const double* reading,
          PyObject* known_sid = nullptr, PyObject* known_window = nullptr) {
  ModuleState* st = self->st;
  Ref sid = known_sid ? Ref::borrow(known_sid) : getitem(server, st->s_id);
  PyObject* counts = LB_DISPATCH_COUNTS(self);
  Ref n = get_plus_one(counts, sid.get());
  check(PyDict_SetItem(counts, sid.get(), n.get()));
  Ref now = reading ? new_float(*reading) : monotonic_obj(st);
  Ref wall = wall_clock_obj(st);
  check(PyDict_SetItem(LB_LAST_DISPATCH_TS(self), sid.get(), wall.get()));
  check(PyDict_SetItem(LB_POOL_LAST_ACCESS(self), pool_key, now.get()));
  PyObject* windows = LB_POOL_DISPATCH_WINDOWS(self);
  PyObject* w = nullptr;
  if (known_window) {
    w = Py_NewRef(known_window);
  } else if (PyDict_GetItemRef(windows, pool_key, &w) < 0) {
    throw PyError();
  }
  Ref win = Ref::steal(w);
  if (!win || win.get() == Py_None) {
    win = new_deque(st, 4096);
    check(PyDict_SetItem(windows, pool_key, win.get()));
  }
  call_method1(win.get(), st->s_append, now.get());
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
  return call_via_lookup(self, self->st->s_queue_enabled, {});
}

Ref queue_ttl_sec_via_self(LB* self) {
  if (own_methods(self)) return queue_ttl_sec(self);
  return call_via_lookup(self, self->st->s_queue_ttl_sec, {});
}

Ref queue_depth_multiplier_via_self(LB* self) {
  if (own_methods(self)) return queue_depth_multiplier(self);
  return call_via_lookup(self, self->st->s_queue_depth_multiplier, {});
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
