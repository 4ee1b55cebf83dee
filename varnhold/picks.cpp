// Pick algorithms: smooth weighted round-robin under the pool lock, weighted
// least-connections, and rendezvous-hashed sticky lookup. Each returns one
// record of the eligible list, the very object it was given.
//
// These are the picks as the Python form runs them, over the interpreter's
// objects; the round-robin step under an idle lock and the sticky scores are
// done on the fast road (fast_road.h) when nothing there can run Python code.
#include "varnhold/boundary.h"
#include "varnhold/coro.h"
#include "varnhold/fast_road.h"
#include "varnhold/load_balancer.h"
#include "varnhold/pynum.h"
#include "varnhold/rules.h"

namespace varnhold {

namespace {

// max(items, key=key) (op Py_GT) or min(items, key=key) (Py_LT), as the
// builtins compute them: each item's key is made and compared with the best
// so far before the next item is read; the first of equals stays.
template <class Key>
Ref builtin_extreme(PyObject* items, int op, const char* name, Key&& key) {
  ItemWalk walk(items);
  Ref best, best_key;
  while (Ref item = walk.next()) {
    Ref k = key(item.get());
    if (!best || cmp(k.get(), best_key.get(), op)) {
      best = std::move(item);
      best_key = std::move(k);
    }
  }
  if (!best) raise_format(PyExc_ValueError, "%s() iterable argument is empty", name);
  return best;
}

// float(s.get("weight") or 1.0)
PyNum weight_of(ModuleState* st, PyObject* record) {
  return pick_weight(record_field(record, st->s_weight, st->s_get));
}

// ---------------------------------------------------------------------------
// Smooth weighted round-robin

// The step under the lock (steps 2 to 8). A record that fails leaves the
// weights already added.
Ref wrr_step(LB* self, PyObject* pool_key, PyObject* eligible) {
  ModuleState* st = self->st;
  // state = self._wrr.setdefault(pool_key, {})
  Ref wrr = get_state(self, kWrr);
  Ref fresh = check(PyDict_New());
  Ref state = mapping_setdefault(wrr.get(), pool_key, fresh.get(), st->s_setdefault);
  PyNum total = Num<PyNum>::real(0.0);
  Ref picks = check(PyList_New(0));
  Ref zero = new_float(0.0);
  ItemWalk walk(eligible);
  while (Ref s = walk.next()) {
    PyNum w = weight_of(st, s.get());
    total = inplace_add(total, w);
    Ref sid = getitem(s.get(), st->s_id);
    // state[sid] = state.get(sid, 0.0) + w
    PyNum cur = PyNum(mapping_get(state.get(), sid.get(), zero.get(), st->s_get)) + w;
    setitem(state.get(), sid.get(), cur.get());
    Ref pick = check(PyTuple_Pack(2, s.get(), sid.get()));
    check(PyList_Append(picks.get(), pick.get()));
  }
  // best, best_id = max(picks, key=lambda p: (state[p[1]], -p[1]))
  Ref best = builtin_extreme(picks.get(), Py_GT, "max", [&](PyObject* p) {
    PyObject* sid = PyTuple_GET_ITEM(p, 1);
    Ref current = getitem(state.get(), sid);
    Ref negated = check(PyNumber_Negative(sid));
    return check(PyTuple_Pack(2, current.get(), negated.get()));
  });
  PyObject* best_id = PyTuple_GET_ITEM(best.get(), 1);  // the tuple holds it
  // state[best_id] -= total
  PyNum lowered = inplace_sub(PyNum(getitem(state.get(), best_id)), total);
  setitem(state.get(), best_id, lowered.get());
  // keep = {sid for _, sid in picks}
  Ref keep = check(PySet_New(nullptr));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(picks.get()); ++i) {
    check(PySet_Add(keep.get(), PyTuple_GET_ITEM(PyList_GET_ITEM(picks.get(), i), 1)));
  }
  // for sid in list(state): if sid not in keep: del state[sid]
  Ref ids = check(PySequence_List(state.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
    PyObject* sid = PyList_GET_ITEM(ids.get(), i);  // the list holds it
    if (!check(PySequence_Contains(keep.get(), sid))) delitem(state.get(), sid);
  }
  // self._pool_last_access[pool_key] = time.monotonic()
  Ref now = monotonic_obj(st);
  Ref last_access = get_state(self, kPoolLastAccess);
  setitem(last_access.get(), pool_key, now.get());
  return Ref::borrow(PyTuple_GET_ITEM(best.get(), 0));
}

// Special method lookup on the type, bound to the object, as `async with`
// does; empty when the type has none.
Ref lookup_special(PyObject* obj, PyObject* name) {
  PyTypeObject* tp = Py_TYPE(obj);
  Ref mro = Ref::borrow(tp->tp_mro);
  if (!mro) return Ref();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
    Ref dict = check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(dict.get(), name, &v) < 0) throw PyError();
    if (!v) continue;
    Ref attr = Ref::steal(v);
    descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get;
    if (!get) return attr;
    return check(get(attr.get(), obj, reinterpret_cast<PyObject*>(tp)));
  }
  return Ref();
}

// What `await x` would drive for the result of __aenter__/__aexit__.
Ref async_with_awaitable(PyObject* result, const char* which) {
  PyAsyncMethods* am = Py_TYPE(result)->tp_as_async;
  if (!PyCoro_CheckExact(result) && (!am || !am->am_await)) {
    raise_format(PyExc_TypeError,
                 "'async with' received an object from %s that does not implement __await__: %.100s",
                 which, Py_TYPE(result)->tp_name);
  }
  return Ref::borrow(result);
}

// The exception in flight as a Python exception object.
Ref current_error() {
  translate_exception();
  return Ref::steal(PyErr_GetRaisedException());
}

// Slots of the _wrr_pick coroutine.
enum WrrSlot : int {
  kSelf,
  kPoolKey,
  kEligible,
  kLock,      // the pool lock
  kExit,      // its bound __aexit__
  kAwaiting,  // the awaitable of __aenter__ or __aexit__
  kError,     // the step's error, until __aexit__ has seen it
  kWinner,    // the step's result
  kSlotCount
};
static_assert(slots_fit<kSlotCount>());

// `async with lock:` up to the await of __aenter__ (left in kAwaiting).
void enter_lock(ModuleState* st, CoroFrame& f) {
  PyObject* lock = f[kLock];
  Ref enter = lookup_special(lock, st->s___aenter__);
  if (!enter) {
    raise_format(PyExc_TypeError,
                 "'%.200s' object does not support the asynchronous context manager protocol",
                 Py_TYPE(lock)->tp_name);
  }
  Ref exit = lookup_special(lock, st->s___aexit__);
  if (!exit) {
    raise_format(PyExc_TypeError,
                 "'%.200s' object does not support the asynchronous context manager protocol "
                 "(missed __aexit__ method)",
                 Py_TYPE(lock)->tp_name);
  }
  f.set(kExit, std::move(exit));
  Ref entering = call0(enter.get());
  f.set(kAwaiting, async_with_awaitable(entering.get(), "__aenter__"));
}

// __aexit__(type, value, traceback) of the step's error (or three Nones),
// its awaitable left in kAwaiting.
void leave_lock(CoroFrame& f) {
  PyObject* err = f[kError];
  Ref tb = err ? Ref::steal(PyException_GetTraceback(err)) : Ref();
  PyObject* args[] = {err ? reinterpret_cast<PyObject*>(Py_TYPE(err)) : Py_None,
                      err ? err : Py_None, tb ? tb.get() : Py_None};
  Ref leaving = check(PyObject_Vectorcall(f[kExit], args, 3, nullptr));
  f.set(kAwaiting, async_with_awaitable(leaving.get(), "__aexit__"));
}

Coro wrr_pick_body(CoroFrame& f) {
  LB* self = as_lb(f[kSelf]);
  // 1. lock = self._lock_for(pool_key); async with lock:
  PyObject* lock = f.set(kLock, lock_for_via_self(self, f[kPoolKey]));
  {
    Ref winner;
    if (wrr_pick_now(self, f[kPoolKey], f[kEligible], lock, &winner)) co_return winner;
  }
  enter_lock(self->st, f);
  co_await py_await(f[kAwaiting]);
  f.set(kAwaiting, Ref());
  // 2.-8. under the lock.
  try {
    f.set(kWinner, wrr_step(self, f[kPoolKey], f[kEligible]));
  } catch (...) {
    f.set(kError, current_error());
  }
  // 9. Leave the lock on every path, then return the winner.
  if (!f[kError]) {
    leave_lock(f);
    co_await py_await(f[kAwaiting]);
    co_return Ref::borrow(f[kWinner]);
  }
  Ref suppress;
  try {
    leave_lock(f);
    suppress = co_await py_await(f[kAwaiting]);
  } catch (PyError& e) {
    // Raised while handling the step's error: that error is its context.
    Ref ctx = Ref::steal(PyException_GetContext(e.value()));
    if (!ctx && e.value() != f[kError]) PyException_SetContext(e.value(), Py_NewRef(f[kError]));
    throw;
  }
  if (truthy(suppress.get())) co_return Ref::borrow(Py_None);
  throw PyError(Ref::borrow(f[kError]));
}

// ---------------------------------------------------------------------------
// Weighted least-connections

// _score(s): (n / w if w > 0 else inf, n, sid)
Ref load_score(LB* self, PyObject* s) {
  ModuleState* st = self->st;
  PyNum w = weight_of(st, s);
  Ref sid = getitem(s, st->s_id);
  // n = self.inflight.get(sid, 0)
  Ref inflight = get_state(self, kInflight);
  Ref zero = check(PyLong_FromLong(0));
  PyNum n(mapping_get(inflight.get(), sid.get(), zero.get(), st->s_get));
  PyNum ratio = load_ratio(n, w);
  return check(PyTuple_Pack(3, ratio.get(), n.get(), sid.get()));
}

// ---------------------------------------------------------------------------
// Sticky lookup

// f"{x!s}": str(x), formatted as the f-string formats it.
Ref formatted_str(PyObject* x) {
  Ref s = check(PyObject_Str(x));
  if (PyUnicode_CheckExact(s.get())) return s;
  return check(PyObject_Format(s.get(), nullptr));
}

// _hrw(s): the digest of f"{sticky_key!s}|{s['id']!s}" as UTF-8, through
// the hash module as it stands, read as a big-endian integer. Lone
// surrogates are encoded as they stand, so that a key decoded from JSON
// never fails.
Ref rendezvous_score(ModuleState* st, PyObject* hashlib, PyObject* sticky_key, PyObject* s) {
  Ref key_text = formatted_str(sticky_key);
  Ref sid = getitem(s, st->s_id);
  Ref id_text = formatted_str(sid.get());
  Ref text = check(PyUnicode_FromFormat("%U|%U", key_text.get(), id_text.get()));
  Ref data = check(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  Ref ctor = getattr(hashlib, st->s_blake2b);
  Ref eight = check(PyLong_FromLong(8));
  PyObject* args[] = {data.get(), eight.get()};
  Ref kw = check(PyTuple_Pack(1, st->s_digest_size));
  Ref h = check(PyObject_Vectorcall(ctor.get(), args, 1, kw.get()));
  Ref digest = call_method0(h.get(), st->s_digest);
  PyObject* from_args[] = {reinterpret_cast<PyObject*>(&PyLong_Type), digest.get(), st->s_big};
  return check(PyObject_VectorcallMethod(st->s_from_bytes, from_args,
                                         3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace

// `import hashlib` as that statement runs inside the lookup: through the
// builtins' __import__ (a replaced one is called), else the import system's
// own lookup of sys.modules. (PyImport_Import would also pass a fromlist,
// which sends every call through importlib's Python code.)
Ref import_hashlib(ModuleState* st) {
  PyObject* builtins = PyEval_GetBuiltins();
  if (!builtins) return check(PyImport_Import(st->s_hashlib));
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(builtins, st->s___import__, &found) < 0) throw PyError();
  Ref fn = Ref::steal(found);
  if (!fn) raise(PyExc_ImportError, "__import__ not found");
  if (fn.get() == st->std_import) {
    return check(PyImport_ImportModuleLevelObject(st->s_hashlib, st->module_dict, Py_None,
                                                  Py_None, 0));
  }
  Ref level = check(PyLong_FromLong(0));
  PyObject* args[] = {st->s_hashlib, st->module_dict, Py_None, Py_None, level.get()};
  return check(PyObject_Vectorcall(fn.get(), args, 5, nullptr));
}

Ref sticky_winner(ModuleState* st, PyObject* hashlib, PyObject* eligible, PyObject* sticky_key) {
  Ref winner;
  if (sticky_lookup_now(st, hashlib, eligible, sticky_key, &winner)) return winner;
  return builtin_extreme(eligible, Py_GT, "max", [&](PyObject* s) {
    return rendezvous_score(st, hashlib, sticky_key, s);
  });
}

Ref wrr_pick(LB* self, PyObject* pool_key, PyObject* eligible) {
  return make_coroutine(self->st, self->st->q_wrr_pick, {as_obj(self), pool_key, eligible},
                        wrr_pick_body);
}

Ref least_connections_pick(LB* self, PyObject* eligible) {
  // min(eligible, key=_score)
  return builtin_extreme(eligible, Py_LT, "min", [&](PyObject* s) { return load_score(self, s); });
}

Ref sticky_lookup(LB* self, PyObject* eligible, PyObject* sticky_key) {
  ModuleState* st = self->st;
  // 1. Nothing to choose from.
  if (!truthy(eligible)) return Ref::borrow(Py_None);
  // 2. The interpreter's hash module, imported at every lookup.
  Ref hashlib = import_hashlib(st);
  // 3.-4. max(eligible, key=_hrw)
  return sticky_winner(st, hashlib.get(), eligible, sticky_key);
}

// ---- calls through self ----

Ref wrr_pick_via_self(LB* self, PyObject* pool_key, PyObject* eligible) {
  if (own_methods(self)) return wrr_pick(self, pool_key, eligible);
  return call_via_lookup(self, self->st->s__wrr_pick, {pool_key, eligible});
}

Ref least_connections_pick_via_self(LB* self, PyObject* eligible) {
  if (own_methods(self)) return least_connections_pick(self, eligible);
  return call_via_lookup(self, self->st->s__least_connections_pick, {eligible});
}

Ref sticky_lookup_via_self(LB* self, PyObject* eligible, PyObject* sticky_key) {
  if (own_methods(self)) return sticky_lookup(self, eligible, sticky_key);
  return call_via_lookup(self, self->st->s__sticky_lookup, {eligible, sticky_key});
}

}  // namespace varnhold
