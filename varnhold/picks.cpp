// Pick algorithms: smooth weighted round-robin under the pool lock, weighted
// least-connections, and rendezvous-hashed sticky lookup. Each returns one
// record of the eligible list, the very object it was given.
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "varnhold/boundary.h"
#include "varnhold/coro.h"
#include "varnhold/blake2b.h"
#include "varnhold/load_balancer.h"
#include "varnhold/plain.h"
#include "varnhold/pynum.h"

namespace varnhold {

namespace {

Ref zero_float() { return new_float(0.0); }

// The weight as the picks read it: float(s.get("weight") or 1.0).
Ref pick_weight(ModuleState* st, PyObject* record) {
  Ref raw = dict_get(record, st->s_weight, st->s_get);
  if (!raw || !truthy(raw.get())) return new_float(1.0);
  if (PyFloat_CheckExact(raw.get())) return raw;
  return check(PyNumber_Float(raw.get()));
}

// The records of a pick's list, held for the passes of the pick.
std::vector<Ref> records_of(PyObject* eligible) {
  std::vector<Ref> out;
  if (PyList_CheckExact(eligible)) {
    out.reserve(PyList_GET_SIZE(eligible));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(eligible); ++i) {
      out.push_back(Ref::borrow(PyList_GET_ITEM(eligible, i)));
    }
    return out;
  }
  Ref it = check(PyObject_GetIter(eligible));
  while (PyObject* raw = PyIter_Next(it.get())) out.push_back(Ref::steal(raw));
  if (PyErr_Occurred()) throw PyError();
  return out;
}

[[noreturn]] void raise_empty(const char* fn) {
  raise_format(PyExc_ValueError, "%s() iterable argument is empty", fn);
}

// `a < b` (op Py_LT) or `a > b` (Py_GT) for keys compared as tuples of the
// same length: the first pair that is not equal (identity counts as equal)
// decides.
bool key_cmp(PyObject* const* a, PyObject* const* b, int n, int op) {
  for (int i = 0; i < n; ++i) {
    if (check(PyObject_RichCompareBool(a[i], b[i], Py_EQ))) continue;
    return cmp(a[i], b[i], op);
  }
  return false;
}
bool key_less(PyObject* const* a, PyObject* const* b, int n) { return key_cmp(a, b, n, Py_LT); }


// ---------------------------------------------------------------------------
// Smooth weighted round-robin

// The step under the lock, for any records: steps 2 to 8, reading each
// record as the pick does (weight, then id) and leaving the weights already
// added when a record fails.
Ref wrr_step(LB* self, PyObject* pool_key, PyObject* eligible) {
  ModuleState* st = self->st;
  // 2. The pool's state, created empty on first use.
  PyObject* wrr = LB_WRR(self);
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(wrr, pool_key, &found) < 0) throw PyError();
  Ref state = Ref::steal(found);
  if (!state) {
    Ref fresh = check(PyDict_New());
    if (PyDict_SetDefaultRef(wrr, pool_key, fresh.get(), &found) < 0) throw PyError();
    state = Ref::steal(found);
  }
  PyObject* sd = state.get();
  const bool exact = PyDict_CheckExact(sd);
  auto state_get = [&](PyObject* sid) -> Ref {
    if (exact) {
      PyObject* v = nullptr;
      if (PyDict_GetItemRef(sd, sid, &v) < 0) throw PyError();
      return v ? Ref::steal(v) : zero_float();
    }
    Ref dflt = zero_float();
    return check(PyObject_CallMethodObjArgs(sd, st->s_get, sid, dflt.get(), nullptr));
  };
  // 3.-4. Add each record's weight to its id's current weight.
  std::vector<Ref> records = records_of(eligible);
  std::vector<Ref> ids;
  ids.reserve(records.size());
  Ref total = zero_float();
  for (Ref& rec : records) {
    Ref w = pick_weight(st, rec.get());
    total = add(total.get(), w.get());
    Ref sid = getitem(rec.get(), st->s_id);
    Ref prev = state_get(sid.get());
    Ref cur = add(prev.get(), w.get());
    check(PyObject_SetItem(sd, sid.get(), cur.get()));
    ids.push_back(std::move(sid));
  }
  // 5. The greatest (current weight, -id); the first of equals stays.
  if (records.empty()) raise_empty("max");
  size_t best = 0;
  Ref best_key[2];
  for (size_t i = 0; i < records.size(); ++i) {
    Ref key[2] = {getitem(sd, ids[i].get()), check(PyNumber_Negative(ids[i].get()))};
    PyObject* k[2] = {key[0].get(), key[1].get()};
    PyObject* b[2] = {best_key[0].get(), best_key[1].get()};
    if (i == 0 || key_cmp(k, b, 2, Py_GT)) {
      best = i;
      best_key[0] = std::move(key[0]);
      best_key[1] = std::move(key[1]);
    }
  }
  // 6. The winner gives back the total.
  PyObject* win_id = ids[best].get();
  Ref cur = getitem(sd, win_id);
  Ref lowered = sub(cur.get(), total.get());
  check(PyObject_SetItem(sd, win_id, lowered.get()));
  // 7. Only the ids of this list keep a current weight.
  Ref keep = check(PySet_New(nullptr));
  for (Ref& sid : ids) check(PySet_Add(keep.get(), sid.get()));
  Ref keys = check(PySequence_List(sd));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* k = PyList_GET_ITEM(keys.get(), i);
    if (!check(PySet_Contains(keep.get(), k))) check(PyObject_DelItem(sd, k));
  }
  // 8. The pool's last access.
  Ref now = monotonic_obj(st);
  check(PyObject_SetItem(LB_POOL_LAST_ACCESS(self), pool_key, now.get()));
  return std::move(records[best]);
}

// The pool's state when it is a dict of small int ids to floats (or absent).
bool plain_state(PyObject* state) {
  if (!PyDict_CheckExact(state)) return false;
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  long long id;
  while (PyDict_Next(state, &pos, &k, &v)) {
    if (!PyFloat_CheckExact(v) || !small_int(k, &id)) return false;
  }
  return true;
}

// An asyncio.Lock of the original class, free, with nobody waiting and
// nothing patched on the instance: `async with lock:` around code that runs
// no Python code takes and gives it back with no effect anyone can see.
bool idle_lock(ModuleState* st, PyObject* lock) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(lock)) != st->std_lock_type || !st->lock_type_pristine) {
    return false;
  }
  Ref dict = Ref::steal(PyObject_GenericGetDict(lock, nullptr));
  if (!dict) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t size = PyDict_GET_SIZE(dict.get());
  PyObject* locked = PyDict_GetItemWithError(dict.get(), st->s__locked);
  PyObject* waiters = locked ? PyDict_GetItemWithError(dict.get(), st->s__waiters) : nullptr;
  if (!waiters) {
    PyErr_Clear();
    return false;
  }
  if (size != 2 && !(size == 3 && PyDict_GetItemWithError(dict.get(), st->s__loop))) {
    PyErr_Clear();
    return false;
  }
  if (locked != Py_False) return false;
  if (waiters == Py_None) return true;
  return reinterpret_cast<PyObject*>(Py_TYPE(waiters)) == st->std_deque &&
         PyObject_Size(waiters) == 0;
}

// The step for plain records and a plain state, with C numbers; the same
// float operations in the same order as the general step.
Ref wrr_step_plain(LB* self, PyObject* pool_key, PyObject* state, PlainPool recs,
                   const double* reading) {
  ModuleState* st = self->st;
  const size_t n = recs.size();
  SmallVec<double, 16> cur;
  cur.resize(n);
  double total = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const PlainRecord* r = recs[i];
    total += r->weight;
    PyObject* prev = PyDict_GetItemWithError(state, r->id);
    if (!prev && PyErr_Occurred()) throw PyError();
    cur[i] = (prev ? PyFloat_AS_DOUBLE(prev) : 0.0) + r->weight;
    Ref v = new_float(cur[i]);
    check(PyDict_SetItem(state, r->id, v.get()));
  }
  // A record's current weight is the value stored by the last record with
  // its id; the number of distinct ids tells whether anything is stale.
  size_t distinct = 0;
  for (size_t i = n; i-- > 0;) {
    bool later = false;
    for (size_t j = i + 1; j < n && !later; ++j) {
      if (recs[j]->id_value == recs[i]->id_value) {
        cur[i] = cur[j];
        later = true;
      }
    }
    distinct += !later;
  }
  size_t best = 0;
  for (size_t i = 1; i < n; ++i) {
    bool greater = cur[i] != cur[best] ? cur[i] > cur[best]
                                       : recs[i]->id_value < recs[best]->id_value;  // -id greater
    if (greater) best = i;
  }
  Ref lowered = new_float(cur[best] - total);
  check(PyDict_SetItem(state, recs[best]->id, lowered.get()));
  if (static_cast<size_t>(PyDict_GET_SIZE(state)) > distinct) {
    std::vector<Ref> stale;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(state, &pos, &k, &v)) {
      long long id = 0;
      small_int(k, &id);
      bool listed = false;
      for (const PlainRecord* r : recs) listed = listed || r->id_value == id;
      if (!listed) stale.push_back(Ref::borrow(k));
    }
    for (Ref& k : stale) check(PyDict_DelItem(state, k.get()));
  }
  Ref now = reading ? new_float(*reading) : monotonic_obj(st);
  check(PyDict_SetItem(LB_POOL_LAST_ACCESS(self), pool_key, now.get()));
  return Ref::borrow(recs[best]->record);
}

// The round-robin pick at once over plain records, the pool lock known.
bool wrr_plain_with_lock(LB* self, PyObject* pool_key, PlainPool recs, PyObject* lock,
                         Ref* winner, bool key_checked = false, const double* now = nullptr) {
  ModuleState* st = self->st;
  if (recs.empty() || !(key_checked || plain_pool_key(st, pool_key)) || !real_monotonic(st)) {
    PyErr_Clear();
    return false;
  }
  PyObject* wrr = LB_WRR(self);
  PyObject* last = LB_POOL_LAST_ACCESS(self);
  if (!PyDict_CheckExact(wrr) || !PyDict_CheckExact(last)) return false;
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(wrr, pool_key, &found) < 0) throw PyError();
  Ref state = Ref::steal(found);
  if (state && !plain_state(state.get())) return false;
  if (!idle_lock(st, lock)) return false;
  if (!state) {
    state = check(PyDict_New());
    check(PyDict_SetItem(wrr, pool_key, state.get()));
  }
  *winner = wrr_step_plain(self, pool_key, state.get(), recs, now);
  return true;
}

// wrr_pick_at_once once the pool lock is known.
bool wrr_pick_at_once_with(LB* self, PyObject* pool_key, PyObject* eligible, PyObject* lock,
                           Ref* winner) {
  PlainRecords recs;
  if (!read_plain_records(self, eligible, recs, false)) {
    PyErr_Clear();
    return false;
  }
  SmallVec<const PlainRecord*, 16> ptrs;
  for (const PlainRecord& r : recs) ptrs.push_back(&r);
  return wrr_plain_with_lock(self, pool_key, ptrs, lock, winner);
}

// Special method lookup on the type, bound to the object, as `async with`
// does; NULL when the type has none.
Ref lookup_special(PyObject* obj, PyObject* name) {
  PyTypeObject* tp = Py_TYPE(obj);
  PyObject* mro = tp->tp_mro;
  if (!mro) return Ref();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
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

// _wrr_pick(pool_key, eligible). Slots: 0 self, 1 pool_key, 2 eligible,
// 3 the pool lock, 4 its bound __aexit__, 5 the awaitable in progress,
// 6 the step's error, 7 the winner.
Coro wrr_pick_body(CoroFrame& f) {
  LB* self = as_lb(f[0]);
  ModuleState* st = self->st;
  // 1. The pool lock, entered as `async with lock:`.
  PyObject* lock = f.set(3, lock_for_via_self(self, f[1]));
  {
    Ref winner;
    if (own_methods(self) && wrr_pick_at_once_with(self, f[1], f[2], lock, &winner)) co_return winner;
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
    f.set(4, std::move(exit));
    Ref entering = call0(enter.get());
    f.set(5, async_with_awaitable(entering.get(), "__aenter__"));
  }
  co_await py_await(f[5]);
  f.set(5, Ref());
  // 2.-8. under the lock.
  try {
    f.set(7, wrr_step(self, f[1], f[2]));
  } catch (...) {
    f.set(6, current_error());
  }
  // 9. Leave the lock, on every path.
  if (!f[6]) {
    PyObject* args[] = {Py_None, Py_None, Py_None};
    Ref leaving = check(PyObject_Vectorcall(f[4], args, 3, nullptr));
    f.set(5, async_with_awaitable(leaving.get(), "__aexit__"));
    co_await py_await(f[5]);
    co_return Ref::borrow(f[7]);
  }
  Ref suppress;
  try {
    PyObject* err = f[6];
    Ref tb = Ref::steal(PyException_GetTraceback(err));
    PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(err)), err, tb ? tb.get() : Py_None};
    Ref leaving = check(PyObject_Vectorcall(f[4], args, 3, nullptr));
    f.set(5, async_with_awaitable(leaving.get(), "__aexit__"));
    suppress = co_await py_await(f[5]);
  } catch (PyError& e) {
    // Raised while handling the step's error: that error is its context.
    PyObject* ctx = PyException_GetContext(e.value());
    if (!ctx && e.value() != f[6]) PyException_SetContext(e.value(), Py_NewRef(f[6]));
    Py_XDECREF(ctx);
    throw;
  }
  if (truthy(suppress.get())) co_return Ref::borrow(Py_None);
  throw PyError(Ref::borrow(f[6]));
}

// ---------------------------------------------------------------------------
// Sticky lookup

using Bytes = SmallVec<char, 1024>;

// The UTF-8 bytes of a text, lone surrogates encoded as they stand
// ('surrogatepass'), so that a key decoded from JSON never fails.
void append_utf8(Bytes& out, PyObject* text) {
  if (PyUnicode_IS_ASCII(text)) {
    out.append(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
               PyUnicode_GET_LENGTH(text));
    return;
  }
  Ref bytes = check(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  out.append(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

// str(o) as text: the object itself for a str, decimal text for an int.
void append_text(Bytes& out, PyObject* o) {
  long long v;
  if (PyUnicode_CheckExact(o)) {
    append_utf8(out, o);
  } else if (small_int(o, &v)) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr - buf);
  } else {
    Ref s = check(PyObject_Str(o));
    append_utf8(out, s.get());
  }
}

bool plain_text_source(PyObject* o) {
  return PyUnicode_CheckExact(o) || PyLong_CheckExact(o);
}

// hashlib.blake2b when it is the interpreter's own; our digests then equal it.
bool native_blake2b(ModuleState* st, PyObject* ctor) {
  if (!st->std_blake2b) {
    // hashlib took blake2b from _blake2 when it was imported.
    Ref blake = Ref::steal(PyImport_GetModule(st->blake2_module));
    if (!blake) {
      if (PyErr_Occurred()) throw PyError();
      return false;
    }
    PyObject* v = nullptr;
    if (PyObject_GetOptionalAttr(blake.get(), st->s_blake2b, &v) < 0) throw PyError();
    if (!v) return false;
    st->std_blake2b = v;
  }
  return ctor == st->std_blake2b;
}

// `import hashlib` as that statement runs inside the lookup: through the
// builtins' __import__ (a replaced one is called), else the import system's
// own lookup of sys.modules. (PyImport_Import would also pass a fromlist,
// which sends every call through importlib's Python code.)
Ref import_hashlib(ModuleState* st, bool* pure = nullptr) {
  PyObject* builtins = PyEval_GetBuiltins();
  if (pure) *pure = false;
  if (!builtins) return check(PyImport_Import(st->s_hashlib));
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(builtins, st->s___import__, &found) < 0) throw PyError();
  Ref fn = Ref::steal(found);
  if (!fn) raise(PyExc_ImportError, "__import__ not found");
  if (fn.get() == st->std_import) {
    // Only a module already imported is found without running Python code.
    if (pure) {
      PyObject* loaded = PyImport_GetModule(st->s_hashlib);
      if (!loaded && PyErr_Occurred()) throw PyError();
      *pure = loaded != nullptr;
      Py_XDECREF(loaded);
    }
    return check(PyImport_ImportModuleLevelObject(st->s_hashlib, st->module_dict, Py_None,
                                                  Py_None, 0));
  }
  Ref level = Ref::borrow(PyLong_FromLong(0));
  PyObject* args[] = {st->s_hashlib, st->module_dict, Py_None, Py_None, level.get()};
  return check(PyObject_Vectorcall(fn.get(), args, 5, nullptr));
}

// The rendezvous score through the hash module as it stands.
Ref python_score(ModuleState* st, PyObject* hashlib, const char* data, size_t size) {
  Ref ctor = getattr(hashlib, st->s_blake2b);
  Ref bytes = check(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
  Ref eight = new_int(8);
  PyObject* args[] = {bytes.get(), eight.get()};
  Ref kw = check(PyTuple_Pack(1, st->s_digest_size));
  Ref h = check(PyObject_Vectorcall(ctor.get(), args, 1, kw.get()));
  Ref digest = call_method0(h.get(), st->s_digest);
  PyObject* from_args[] = {reinterpret_cast<PyObject*>(&PyLong_Type), digest.get(), st->s_big};
  return check(PyObject_VectorcallMethod(st->s_from_bytes, from_args,
                                         3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace

// ---------------------------------------------------------------------------

bool wrr_pick_at_once(LB* self, PyObject* pool_key, PyObject* eligible, Ref* winner) {
  if (!own_methods(self) || !plain_pool_key(self->st, pool_key)) {
    PyErr_Clear();
    return false;
  }
  Ref lock = lock_for(self, pool_key);
  return wrr_pick_at_once_with(self, pool_key, eligible, lock.get(), winner);
}

bool wrr_pick_plain(LB* self, PyObject* pool_key, PlainPool recs, Ref* winner, const double* now) {
  // Creating the pool's first lock runs asyncio.Lock's Python code, after
  // which the records read so far may have changed: that pick takes the
  // general road, which creates the lock before it reads any record.
  PyObject* lk = nullptr;
  if (PyDict_GetItemRef(LB_LOCKS(self), pool_key, &lk) < 0) throw PyError();
  Ref lock = Ref::steal(lk);
  if (!lock || lock.get() == Py_None) return false;
  return wrr_plain_with_lock(self, pool_key, recs, lock.get(), winner, true, now);
}

Ref least_connections_plain(PlainPool recs) {
  // The smallest (ratio, count, id); the first of equals stays.
  const PlainRecord* best = nullptr;
  double best_ratio = 0.0;
  for (const PlainRecord* r : recs) {
    double ratio = r->weight > 0 ? static_cast<double>(r->count) / r->weight : INFINITY;
    bool less = !best || (ratio != best_ratio ? ratio < best_ratio
                          : r->count != best->count ? r->count < best->count
                                                    : r->id_value < best->id_value);
    if (less) {
      best = r;
      best_ratio = ratio;
    }
  }
  if (!best) raise_empty("min");
  return Ref::borrow(best->record);
}

Ref wrr_pick(LB* self, PyObject* pool_key, PyObject* eligible) {
  return make_coroutine(self->st, self->st->q_wrr_pick, {as_obj(self), pool_key, eligible}, wrr_pick_body);
}

Ref least_connections_pick(LB* self, PyObject* eligible) {
  ModuleState* st = self->st;
  PyObject* inflight = LB_INFLIGHT(self);
  Ref inf = new_float(INFINITY);
  Ref best;
  Ref best_key[3];
  // Plain keys are compared as C numbers: (ratio, count, id).
  bool best_plain = false;
  double best_ratio = 0.0;
  long long best_count = 0, best_id = 0;
  auto consider = [&](Ref rec) {
    Ref w = pick_weight(st, rec.get());
    Ref sid = getitem(rec.get(), st->s_id);
    PyObject* c = nullptr;
    if (PyDict_GetItemRef(inflight, sid.get(), &c) < 0) throw PyError();
    Ref count = c ? Ref::steal(c) : Ref::borrow(PyLong_FromLong(0));
    double wd = PyFloat_AsDouble(w.get());
    if (wd == -1.0 && PyErr_Occurred()) throw PyError();
    long long n, id;
    if (PyFloat_CheckExact(w.get()) && small_int(count.get(), &n) && small_int(sid.get(), &id) &&
        (n < (1LL << 53) && n > -(1LL << 53))) {
      double ratio = wd > 0 ? static_cast<double>(n) / wd : INFINITY;
      bool less;
      if (!best) {
        less = true;
      } else if (best_plain) {
        less = ratio != best_ratio ? ratio < best_ratio
               : n != best_count   ? n < best_count
                                   : id < best_id;
      } else {
        Ref r = new_float(ratio);
        PyObject* k[3] = {r.get(), count.get(), sid.get()};
        PyObject* b[3] = {best_key[0].get(), best_key[1].get(), best_key[2].get()};
        less = key_less(k, b, 3);
      }
      if (less) {
        best = std::move(rec);
        best_plain = true;
        best_ratio = ratio;
        best_count = n;
        best_id = id;
        best_key[0] = new_float(ratio);
        best_key[1] = std::move(count);
        best_key[2] = std::move(sid);
      }
      return;
    }
    Ref zero = Ref::borrow(PyLong_FromLong(0));
    Ref ratio = cmp(w.get(), zero.get(), Py_GT) ? truediv(count.get(), w.get()) : inf.dup();
    PyObject* k[3] = {ratio.get(), count.get(), sid.get()};
    PyObject* b[3] = {best_key[0].get(), best_key[1].get(), best_key[2].get()};
    if (!best || key_less(k, b, 3)) {
      best = std::move(rec);
      best_plain = false;
      best_key[0] = std::move(ratio);
      best_key[1] = std::move(count);
      best_key[2] = std::move(sid);
    }
  };
  if (PyList_CheckExact(eligible)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(eligible); ++i) {
      consider(Ref::borrow(PyList_GET_ITEM(eligible, i)));
    }
  } else {
    Ref it = check(PyObject_GetIter(eligible));
    while (PyObject* raw = PyIter_Next(it.get())) consider(Ref::steal(raw));
    if (PyErr_Occurred()) throw PyError();
  }
  if (!best) raise_empty("min");
  return best;
}

namespace {

Ref sticky_core(LB* self, PyObject* hashlib_module, std::span<PyObject* const> records,
                PyObject* sticky_key, bool* pure = nullptr) {
  ModuleState* st = self->st;
  Ref hashlib = Ref::borrow(hashlib_module);
  size_t n = records.size();
  if (n == 0) raise_empty("max");
  // 3. The score of "key|id" as UTF-8. Our digests stand in for hashlib's
  // while hashlib.blake2b is the interpreter's own and no Python code has
  // run since that was checked (plain texts, plain records); the scores of
  // those records are computed together at the end.
  bool native = plain_text_source(sticky_key);
  if (native) {
    Ref ctor = getattr(hashlib.get(), st->s_blake2b);
    native = native_blake2b(st, ctor.get());
  }
  Bytes data;
  SmallVec<size_t, 16> begin, end, which, lens;
  SmallVec<uint64_t, 16> fast, digests;
  SmallVec<const uint8_t*, 16> ptrs;
  begin.resize(n);
  end.resize(n);
  fast.resize(n);
  std::vector<Ref> slow;  // scores taken through hashlib, if any
  for (size_t i = 0; i < n; ++i) {
    PyObject* rec = records[i];
    begin[i] = data.size();
    append_text(data, sticky_key);
    const char bar = '|';
    data.append(&bar, 1);
    native = native && PyDict_CheckExact(rec);
    Ref sid = getitem(rec, st->s_id);
    native = native && plain_text_source(sid.get());
    append_text(data, sid.get());
    end[i] = data.size();
    if (native) {
      which.push_back(i);
    } else {
      if (pure) *pure = false;
      if (slow.empty()) slow.resize(n);
      slow[i] = python_score(st, hashlib.get(), data.data() + begin[i], end[i] - begin[i]);
    }
  }
  for (size_t i : which) {
    ptrs.push_back(reinterpret_cast<const uint8_t*>(data.data()) + begin[i]);
    lens.push_back(end[i] - begin[i]);
  }
  digests.resize(which.size());
  blake2b64_many(ptrs.data(), lens.data(), which.size(), digests.data());
  for (size_t j = 0; j < which.size(); ++j) fast[which[j]] = digests[j];
  // 4. The highest score; the first of equals stays.
  auto is_slow = [&](size_t i) { return !slow.empty() && slow[i]; };
  auto score_obj = [&](size_t i) -> Ref {
    return is_slow(i) ? slow[i].dup() : check(PyLong_FromUnsignedLongLong(fast[i]));
  };
  size_t best = 0;
  for (size_t i = 1; i < n; ++i) {
    bool greater;
    if (!is_slow(i) && !is_slow(best)) {
      greater = fast[i] > fast[best];
    } else {
      Ref a = score_obj(i), b = score_obj(best);
      greater = cmp(a.get(), b.get(), Py_GT);
    }
    if (greater) best = i;
  }
  return Ref::borrow(records[best]);
}

}  // namespace

Ref sticky_lookup(LB* self, PyObject* eligible, PyObject* sticky_key) {
  // 1. Nothing to choose from.
  if (!truthy(eligible)) return Ref::borrow(Py_None);
  // 2. The interpreter's hash module, imported at every lookup.
  Ref hashlib = import_hashlib(self->st);
  std::vector<Ref> records = records_of(eligible);
  std::vector<PyObject*> borrowed;
  for (Ref& r : records) borrowed.push_back(r.get());
  return sticky_core(self, hashlib.get(), borrowed, sticky_key);
}

Ref sticky_lookup_records(LB* self, std::span<PyObject* const> records, PyObject* sticky_key,
                          bool* pure) {
  Ref hashlib = import_hashlib(self->st, pure);
  return sticky_core(self, hashlib.get(), records, sticky_key, pure);
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
