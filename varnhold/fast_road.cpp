// The fast road of a request (see fast_road.h for when it is taken): select's
// steps on C numbers read once, the round-robin step under an idle lock, and
// the sticky scores with the interpreter's own BLAKE2b.
#include "varnhold/fast_road.h"

#include <charconv>
#include <span>
#include <vector>

#include "varnhold/blake2b.h"
#include "varnhold/pynum.h"
#include "varnhold/rules.h"
#include "varnhold/settings.h"

namespace varnhold {

namespace {

// A vector that keeps its first N items inline (no allocation for the usual
// pool of a few backends). T is trivially copyable.
template <class T, size_t N>
class SmallVec {
 public:
  SmallVec() noexcept = default;
  SmallVec(const SmallVec&) = delete;
  SmallVec& operator=(const SmallVec&) = delete;
  void push_back(const T& v) {
    if (size_ == cap_) grow(size_ + 1);
    data_[size_++] = v;
  }
  void resize(size_t n) {
    if (n > cap_) grow(n);
    size_ = n;
  }
  void append(const T* items, size_t n) {
    size_t at = size_;
    resize(size_ + n);
    for (size_t i = 0; i < n; ++i) data_[at + i] = items[i];
  }
  T* data() { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  T& back() { return data_[size_ - 1]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  std::span<const T> span() const { return {data_, size_}; }

 private:
  void grow(size_t need) {
    size_t cap = cap_ * 2 > need ? cap_ * 2 : need;
    std::vector<T> bigger(cap);
    for (size_t i = 0; i < size_; ++i) bigger[i] = data_[i];
    heap_.swap(bigger);
    data_ = heap_.data();
    cap_ = cap;
  }
  T inline_[N];  // left uninitialised: only the first size_ items are read
  T* data_ = inline_;
  size_t size_ = 0, cap_ = N;
  std::vector<T> heap_;
};

// ---------------------------------------------------------------------------
// Reading the records

// Candidate lists longer than this take the general road (the in-flight sum
// of a pool stays exact in a double).
constexpr Py_ssize_t kMaxRecords = 4096;
// In-flight counts above this take the general road, likewise.
constexpr long long kMaxCount = 1LL << 40;

// The fields of one record found by walking its entries, which must be an
// exact dict with exact str keys only: finding a key then runs no Python
// code (a key of another type could claim to equal "id").
struct RecordFields {
  PyObject* id = nullptr;  // borrowed from the record
  PyObject* weight = nullptr;
  PyObject* cap = nullptr;
};

bool scan_record(ModuleState* st, PyObject* rec, RecordFields* out) {
  if (!PyDict_CheckExact(rec)) return false;
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(rec, &pos, &k, &v)) {
    if (!PyUnicode_CheckExact(k)) return false;
    // An interned key is the name itself or another text; others compare.
    bool interned = PyUnicode_CHECK_INTERNED(k);
    if (k == st->s_id || (!interned && text_eq(k, st->s_id))) {
      out->id = v;
    } else if (k == st->s_weight || (!interned && text_eq(k, st->s_weight))) {
      out->weight = v;
    } else if (k == st->s_max_concurrency || (!interned && text_eq(k, st->s_max_concurrency))) {
      out->cap = v;
    }
  }
  return true;
}

// record.get(key) as a machine number, 0.0 (false) for a missing or None one.
bool field_number(PyObject* v, double* out) {
  if (!v || v == Py_None) {
    *out = 0.0;
    return true;
  }
  return machine_number(v, out);
}

// A backend record as the fast road reads it, once.
struct FastRecord {
  PyObject* record;    // held by FastRecords
  PyObject* id;        // held by FastRecords
  long long id_value;  // an exact int's value
  double weight;       // record.get("weight"), 0.0 for None
  double configured;   // int(record.get("max_concurrency") or 0)
  long long count;     // inflight.get(id, 0)
};

using RecordSpan = std::span<const FastRecord* const>;

class FastRecords {
 public:
  FastRecords() = default;
  FastRecords(const FastRecords&) = delete;
  ~FastRecords() {
    for (FastRecord& r : recs_) {
      Py_DECREF(r.record);
      Py_DECREF(r.id);
    }
  }

  // Reads every record of an exact list, with its in-flight count when
  // `inflight` (an exact dict) is given; false when one of them is not for
  // the fast road. The records and ids read are held from here on.
  bool read(ModuleState* st, PyObject* list, PyObject* inflight) {
    if (!PyList_CheckExact(list)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      if (i >= kMaxRecords) return false;
      PyObject* rec = PyList_GET_ITEM(list, i);
      RecordFields f;
      FastRecord r;
      double cap;
      if (!scan_record(st, rec, &f) || !f.id || !small_int(f.id, &r.id_value) ||
          !field_number(f.weight, &r.weight) || !field_number(f.cap, &cap) ||
          !std::isfinite(cap)) {
        return false;
      }
      r.configured = int_or_zero(cap);
      r.record = Py_NewRef(rec);
      r.id = Py_NewRef(f.id);
      r.count = 0;
      recs_.push_back(r);
      if (inflight && !read_count(inflight, &recs_.back())) return false;
    }
    return !recs_.empty();
  }

  FastRecord* begin() { return recs_.begin(); }
  FastRecord* end() { return recs_.end(); }

 private:
  // inflight.get(id, 0) as an exact int within bounds.
  static bool read_count(PyObject* inflight, FastRecord* r) {
    PyObject* c = nullptr;
    if (PyDict_GetItemRef(inflight, r->id, &c) < 0) throw PyError();
    Ref count = Ref::steal(c);
    return !count || (small_int(count.get(), &r->count) && r->count <= kMaxCount &&
                      r->count >= -kMaxCount);
  }

  SmallVec<FastRecord, 16> recs_;
};

// An argument whose truth, hashing and comparisons run no Python code.
bool builtin_argument(PyObject* o) {
  return o == Py_None || PyUnicode_CheckExact(o) || builtin_number(o);
}

// A sin-bin container whose `in` runs no Python code for an int id.
bool builtin_membership(PyObject* c) {
  return all_items(c, [](PyObject* item) { return immutable_key(item); });
}

// immutable_key() for a pool key, remembering the last one found so: such a
// key holds only immutable values, so the same object stays one.
bool immutable_pool_key(ModuleState* st, PyObject* key) {
  if (key == st->plain_key_seen) return true;
  if (!immutable_key(key)) return false;
  Py_XSETREF(st->plain_key_seen, Py_NewRef(key));
  return true;
}

// A state container of the balancer as its instance dict holds it, when it
// is an exact dict; held, since searching it may run a stored key's __eq__.
Ref exact_dict_state(LB* self, StateAttr a) {
  PyObject* d = peek_state(self, a);
  return d && PyDict_CheckExact(d) ? Ref::borrow(d) : Ref();
}

// ---------------------------------------------------------------------------
// The capacity gate over machine numbers

// A dispatch window of the module's deque type, its entries read as floats.
// An entry of another type is not read: the window is then unreadable and
// the fast road declines.
class FastWindow {
 public:
  FastWindow(ModuleState* st, PyObject* win) : st_(st), win_(win) {}
  bool nonempty() const { return check_size(PyObject_Size(win_)) > 0; }
  double first() {
    Ref f = check(PySequence_GetItem(win_, 0));
    if (PyFloat_CheckExact(f.get())) return PyFloat_AS_DOUBLE(f.get());
    unreadable_ = true;
    return NAN;  // compares false: nothing more is trimmed
  }
  double count() const { return static_cast<double>(check_size(PyObject_Size(win_))); }
  void popleft() { call_method0(win_, st_->s_popleft); }
  bool unreadable() const { return unreadable_; }

 private:
  ModuleState* st_;
  PyObject* win_;
  bool unreadable_ = false;
};

// The settings of the hysteresis as the namespace holds them.
struct FactSettings {
  const NamespaceFacts& f;
  double exit_ratio() const { return f.exit_ratio; }
  double inflight_threshold() const { return f.inflight_threshold; }
  double rate_threshold() const { return f.rate_threshold; }
};

// The tests `self._under_capacity(rec, pool, pool_key=pool_key)` of one
// select over machine numbers. No Python code runs between two tests, so the
// pool's in-flight sum and its rate (one clock reading, one trim) computed by
// the first test are what each later one would compute again; the hybrid
// decision is taken anew by each test, as its hot flag may change.
class FastGate {
 public:
  FastGate(LB* self, PyObject* pool_key, const NamespaceFacts& facts) noexcept
      : self_(self), st_(self->st), key_(pool_key), facts_(facts) {}

  // Reads the mode and checks the settings it needs, the pool's window and
  // (hybrid) its hot flag; false when one of them is not for the fast road.
  bool ready() {
    PyObject* mode = peek_state(self_, kRoutingMode);
    if (!facts_.monotonic_std || !facts_.have_window || !facts_.mode_names[0] || !mode ||
        !PyUnicode_CheckExact(mode)) {
      return false;
    }
    mode_ = routing_mode_of([&](RoutingMode m) { return text_eq(mode, facts_.mode_names[m]); });
    if ((mode_ == kSuperfast || mode_ == kHybrid) && !facts_.have_superfast) return false;
    if (mode_ == kHybrid && !read_hot_flag()) return false;
    Ref windows = exact_dict_state(self_, kPoolDispatchWindows);
    if (!windows) return false;
    PyObject* win = nullptr;
    if (PyDict_GetItemRef(windows.get(), key_, &win) < 0) throw PyError();
    window_ = Ref::steal(win);
    if (window_.get() == Py_None) window_.reset();  // `if not win` alike
    return !window_ || reinterpret_cast<PyObject*>(Py_TYPE(window_.get())) == st_->std_deque;
  }

  bool under_capacity(RecordSpan pool, const FastRecord& rec) {
    if (!tested_) measure(pool);
    if (declined_) return false;
    double cap = cap_for_mode(mode_, rec.configured, *this);
    return has_free_slot(cap, [&] { return static_cast<double>(rec.count); });
  }

  // The pool's window held an entry that is not a float: nothing but its
  // trimming was done, and the general road is to be taken.
  bool declined() const { return declined_; }
  // The clock reading of the first test.
  double now() const { return now_; }
  // The pool's window as ready() read it (NULL: none).
  PyObject* window() const { return window_.get(); }

  // For cap_for_mode().
  double superfast(double configured) const {
    return superfast_clamp(configured, [&] { return facts_.superfast; });
  }
  bool hybrid_hot() {
    FactSettings settings{facts_};
    bool was_hot = key_true_ && hot_;
    bool hot = hot_decision(was_hot, inflight_, rate_, settings);
    if (key_ != Py_None && hot != was_hot) {
      check(PyDict_SetItem(hot_states_.get(), key_, hot ? Py_True : Py_False));
      hot_ = hot;
    }
    return hot;
  }

 private:
  // bool(self._pool_hot_state.get(pool_key, False)) if pool_key else False,
  // for a flag that is a builtin number: truth and replacing it (the fast
  // road writes bools) run no Python code.
  bool read_hot_flag() {
    if (!facts_.have_hybrid) return false;
    hot_states_ = exact_dict_state(self_, kPoolHotState);
    if (!hot_states_) return false;
    PyObject* flag = nullptr;
    if (PyDict_GetItemRef(hot_states_.get(), key_, &flag) < 0) throw PyError();
    Ref held = Ref::steal(flag);
    if (held && !builtin_number(held.get())) return false;
    key_true_ = truthy(key_);
    hot_ = held && truthy(held.get());
    return true;
  }

  // The pool's in-flight sum and recent dispatch rate.
  void measure(RecordSpan pool) {
    tested_ = true;
    long long sum = 0;
    for (const FastRecord* r : pool) sum += r->count;
    inflight_ = static_cast<double>(sum);
    now_ = raw_monotonic();  // the time module's own clock (ready())
    double cutoff = rate_cutoff(now_, [&] { return facts_.window; });
    rate_ = 0.0;
    if (!window_) return;
    FastWindow win(st_, window_.get());
    rate_ = window_rate(win, now_, cutoff);
    declined_ = win.unreadable();
  }

  LB* self_;
  ModuleState* st_;
  PyObject* key_;
  const NamespaceFacts& facts_;
  RoutingMode mode_ = kOtherMode;
  Ref window_;      // the pool's dispatch window, held
  Ref hot_states_;  // _pool_hot_state (hybrid), held
  bool key_true_ = false, hot_ = false;
  bool tested_ = false, declined_ = false;
  double inflight_ = 0, rate_ = 0, now_ = 0;
};

// ---------------------------------------------------------------------------
// The picks over machine numbers

// min(eligible, key=_score): the smallest (ratio, count, id), compared as
// the key tuples compare; the first of equals stays.
const FastRecord* least_loaded(RecordSpan recs) {
  const FastRecord* best = nullptr;
  double best_ratio = 0.0;
  for (const FastRecord* r : recs) {
    double count = static_cast<double>(r->count);
    double ratio = load_ratio(count, pick_weight(r->weight));
    bool less = !best || (ratio != best_ratio     ? ratio < best_ratio
                          : r->count != best->count ? r->count < best->count
                                                    : r->id_value < best->id_value);
    if (less) {
      best = r;
      best_ratio = ratio;
    }
  }
  return best;
}

// A pool's round-robin state of int ids and float weights (or none yet).
bool machine_state(PyObject* state) {
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
  Ref dict = check(PyObject_GenericGetDict(lock, nullptr));
  auto value = [&](PyObject* name) {
    PyObject* v = nullptr;
    if (PyDict_GetItemRef(dict.get(), name, &v) < 0) throw PyError();
    return Ref::steal(v);
  };
  Ref locked = value(st->s__locked);
  Ref waiters = value(st->s__waiters);
  Py_ssize_t expected = 2 + (value(st->s__loop) ? 1 : 0);
  if (locked.get() != Py_False || !waiters || PyDict_GET_SIZE(dict.get()) != expected) return false;
  if (waiters.get() == Py_None) return true;
  return reinterpret_cast<PyObject*>(Py_TYPE(waiters.get())) == st->std_deque &&
         check_size(PyObject_Size(waiters.get())) == 0;
}

using Weights = SmallVec<double, 16>;

// The pool's state for the step at once, held, created empty on first use;
// and the dict of last accesses. Empty, with nothing done, when they or the
// lock are not for the fast road.
Ref wrr_state_now(LB* self, PyObject* pool_key, PyObject* lock, Ref* last_access) {
  Ref wrr = exact_dict_state(self, kWrr);
  *last_access = exact_dict_state(self, kPoolLastAccess);
  if (!wrr || !*last_access || !idle_lock(self->st, lock)) return Ref();
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(wrr.get(), pool_key, &found) < 0) throw PyError();
  Ref state = Ref::steal(found);
  if (state && !machine_state(state.get())) return Ref();
  // The last access that the step replaces is a float: dropping it runs no code.
  if (PyDict_GetItemRef(last_access->get(), pool_key, &found) < 0) throw PyError();
  Ref last = Ref::steal(found);
  if (last && !PyFloat_CheckExact(last.get())) return Ref();
  if (!state) {
    state = check(PyDict_New());
    check(PyDict_SetItem(wrr.get(), pool_key, state.get()));
  }
  return state;
}

// 3.-4. Each record's weight added to its id's current weight (cur[i] as
// stored for record i); the total of the weights.
double add_weights(PyObject* state, RecordSpan recs, Weights& cur) {
  double total = 0.0;
  cur.resize(recs.size());
  for (size_t i = 0; i < recs.size(); ++i) {
    double w = pick_weight(recs[i]->weight);
    total += w;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(state, recs[i]->id, &found) < 0) throw PyError();
    Ref prev = Ref::steal(found);
    double before = 0.0;
    if (prev) {
      before = PyFloat_CheckExact(prev.get()) ? PyFloat_AS_DOUBLE(prev.get())
                                              : PyFloat_AsDouble(prev.get());
      if (before == -1.0 && PyErr_Occurred()) throw PyError();
    }
    cur[i] = before + w;
    Ref v = new_float(cur[i]);
    check(PyDict_SetItem(state, recs[i]->id, v.get()));
  }
  return total;
}

// 5. The record with the greatest (current weight, -id), each id's current
// weight being the one its last record stored; the first of equals stays.
// *distinct: the number of distinct ids.
size_t heaviest(RecordSpan recs, Weights& cur, size_t* distinct) {
  const size_t n = recs.size();
  *distinct = 0;
  for (size_t i = n; i-- > 0;) {
    bool later = false;
    for (size_t j = i + 1; j < n && !later; ++j) {
      if (recs[j]->id_value == recs[i]->id_value) {
        cur[i] = cur[j];
        later = true;
      }
    }
    *distinct += !later;
  }
  size_t best = 0;
  for (size_t i = 1; i < n; ++i) {
    bool greater = cur[i] != cur[best] ? cur[i] > cur[best]
                                       : recs[i]->id_value < recs[best]->id_value;
    if (greater) best = i;
  }
  return best;
}

// 7. Only the ids of this list keep a current weight.
void prune(PyObject* state, RecordSpan recs, size_t distinct) {
  if (static_cast<size_t>(PyDict_GET_SIZE(state)) <= distinct) return;
  std::vector<Ref> stale;
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(state, &pos, &k, &v)) {
    long long id = 0;
    bool listed = false;
    if (small_int(k, &id)) {
      for (const FastRecord* r : recs) listed = listed || r->id_value == id;
    }
    if (!listed) stale.push_back(Ref::borrow(k));
  }
  for (Ref& k : stale) check(PyDict_DelItem(state, k.get()));
}

// Steps 2 to 8 of _wrr_pick under an idle lock, over machine numbers: the
// same float operations in the same order as the general step. `reading` is
// the clock reading of the select when there is one. NULL, with nothing
// done, when the state or the lock is not for the fast road.
const FastRecord* wrr_step_now(LB* self, PyObject* pool_key, RecordSpan recs, PyObject* lock,
                               const double* reading) {
  Ref last_access;
  Ref state = wrr_state_now(self, pool_key, lock, &last_access);
  if (!state) return nullptr;
  Weights cur;
  double total = add_weights(state.get(), recs, cur);
  size_t distinct;
  size_t best = heaviest(recs, cur, &distinct);
  // 6. The winner gives back the total.
  Ref lowered = new_float(cur[best] - total);
  check(PyDict_SetItem(state.get(), recs[best]->id, lowered.get()));
  prune(state.get(), recs, distinct);
  // 8. The pool's last access.
  Ref now = new_float(reading ? *reading : raw_monotonic());
  check(PyDict_SetItem(last_access.get(), pool_key, now.get()));
  return recs[best];
}

// The pool's lock as `_lock_for` would find it, when it would not create one.
Ref existing_lock(LB* self, PyObject* pool_key) {
  Ref locks = exact_dict_state(self, kLocks);
  if (!locks) return Ref();
  PyObject* lock = nullptr;
  if (PyDict_GetItemRef(locks.get(), pool_key, &lock) < 0) throw PyError();
  Ref held = Ref::steal(lock);
  if (held.get() == Py_None) return Ref();
  return held;
}

// _wrr_pick on select's fast road; NULL when it is to run on the general
// road (the pool's first lock to create, a lock in use, another state).
const FastRecord* wrr_on_fast_road(LB* self, PyObject* pool_key, RecordSpan eligible,
                                   double now) {
  Ref lock = existing_lock(self, pool_key);
  if (!lock) return nullptr;
  return wrr_step_now(self, pool_key, eligible, lock.get(), &now);
}

// ---------------------------------------------------------------------------
// Sticky scores

using Bytes = SmallVec<char, 1024>;

// The UTF-8 bytes of a text, lone surrogates encoded as they stand.
void append_utf8(Bytes& out, PyObject* text) {
  if (PyUnicode_IS_ASCII(text)) {
    out.append(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
               PyUnicode_GET_LENGTH(text));
    return;
  }
  Ref bytes = check(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  out.append(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

// An exact str or int: its str() is the text itself or its decimal digits.
bool text_source(PyObject* o) { return PyUnicode_CheckExact(o) || PyLong_CheckExact(o); }

// str(o) of a text_source() as UTF-8.
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

// The interpreter's own blake2b (found by the first lookup that needs it).
PyObject* native_blake2b(ModuleState* st) {
  if (!st->std_blake2b) {
    // hashlib took blake2b from _blake2 when it was imported.
    Ref blake = Ref::steal(PyImport_GetModule(st->blake2_module));
    if (!blake) {
      if (PyErr_Occurred()) throw PyError();
      return nullptr;
    }
    PyObject* v = nullptr;
    if (PyObject_GetOptionalAttr(blake.get(), st->s_blake2b, &v) < 0) throw PyError();
    st->std_blake2b = v;
  }
  return st->std_blake2b;
}

// A hash module whose blake2b is the interpreter's own: our digests are its.
bool native_hashlib(ModuleState* st, PyObject* hashlib) {
  if (!PyModule_CheckExact(hashlib)) return false;
  PyObject* ctor = nullptr;
  if (PyDict_GetItemRef(PyModule_GetDict(hashlib), st->s_blake2b, &ctor) < 0) throw PyError();
  Ref held = Ref::steal(ctor);
  return held && held.get() == native_blake2b(st);
}

// max(records, key=_hrw) with our digests: the highest score of "key|id";
// the first of equals stays.
size_t rendezvous_winner(std::span<PyObject* const> ids, PyObject* sticky_key) {
  const size_t n = ids.size();
  Bytes data;
  SmallVec<size_t, 16> lens;
  SmallVec<const uint8_t*, 16> starts;
  SmallVec<uint64_t, 16> scores;
  SmallVec<size_t, 16> begin;
  for (PyObject* id : ids) {
    begin.push_back(data.size());
    append_text(data, sticky_key);
    const char bar = '|';
    data.append(&bar, 1);
    append_text(data, id);
    lens.push_back(data.size() - begin.back());
  }
  for (size_t i = 0; i < n; ++i) {
    starts.push_back(reinterpret_cast<const uint8_t*>(data.data()) + begin[i]);
  }
  scores.resize(n);
  blake2b64_many(starts.data(), lens.data(), n, scores.data());
  size_t best = 0;
  for (size_t i = 1; i < n; ++i) {
    if (scores[i] > scores[best]) best = i;
  }
  return best;
}

// import hashlib runs no Python code: the builtins' own __import__, and a
// hash module already imported whose blake2b is the interpreter's.
bool hashlib_at_hand(ModuleState* st) {
  PyObject* builtins = PyEval_GetBuiltins();
  if (!builtins) return false;
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(builtins, st->s___import__, &found) < 0) throw PyError();
  Ref import = Ref::steal(found);
  if (import.get() != st->std_import) return false;
  Ref loaded = Ref::steal(PyImport_GetModule(st->s_hashlib));
  if (!loaded) {
    if (PyErr_Occurred()) throw PyError();
    return false;
  }
  return native_hashlib(st, loaded.get());
}

// _sticky_lookup on select's fast road. NULL when the lookup is to run on
// the general road, or when it was finished there after an import that did
// not give the expected module (*winner_elsewhere: the booking must then
// read afresh, as Python code may have run).
const FastRecord* sticky_on_fast_road(LB* self, RecordSpan eligible, PyObject* sticky_key,
                                      Ref* winner_elsewhere) {
  ModuleState* st = self->st;
  if (!text_source(sticky_key) || !hashlib_at_hand(st)) return nullptr;
  Ref hashlib = import_hashlib(st);
  if (!native_hashlib(st, hashlib.get())) {
    // Only stranger hosts get here: finish the lookup with what was imported.
    Ref list = check(PyList_New(0));
    for (const FastRecord* r : eligible) check(PyList_Append(list.get(), r->record));
    *winner_elsewhere = sticky_winner(st, hashlib.get(), list.get(), sticky_key);
    return nullptr;
  }
  SmallVec<PyObject*, 16> ids;
  for (const FastRecord* r : eligible) ids.push_back(r->id);
  return eligible[rendezvous_winner(ids.span(), sticky_key)];
}

// 8. The algorithm's pick: normalising a builtin argument with the
// module's own normaliser and comparing with exact str runs no Python code
// (NamespaceFacts::algorithms_known).
Pick pick_on_fast_road(ModuleState* st, const NamespaceFacts& facts, PyObject* algorithm,
                 PyObject* sticky_key) {
  Ref algo = normalize_lb_algorithm(st, algorithm);
  if (text_eq(algo.get(), facts.algo_sticky) && truthy(sticky_key)) return Pick::kSticky;
  if (text_eq(algo.get(), facts.algo_least)) return Pick::kLeastConnections;
  return Pick::kRoundRobin;
}

// The road's conditions that the records do not carry.
bool fast_road_open(LB* self, const NamespaceFacts& facts, PyObject* pool_key,
                    PyObject* candidates, PyObject* sin_binned, PyObject* algorithm,
                    PyObject* sticky_key) {
  return own_methods(self) && PyList_CheckExact(candidates) && facts.algorithms_known &&
         builtin_argument(algorithm) && builtin_argument(sticky_key) &&
         (!sin_binned || builtin_membership(sin_binned)) &&
         immutable_pool_key(self->st, pool_key);
}

Ref list_of(RecordSpan recs) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(recs.size())));
  for (size_t i = 0; i < recs.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(recs[i]->record));
  }
  return list;
}

using RecordList = SmallVec<const FastRecord*, 16>;

// 4.-7. The eligible records: of those not drained (or all, when every one
// is), those not sin-binned (tested first) with a free slot in the pool of
// the whole effective list. False when the gate declined.
bool eligible_now(FastRecords& recs, FastGate& gate, PyObject* sin_binned, RecordList& eligible) {
  RecordList effective;
  for (const FastRecord& r : recs) {
    if (not_drained(r.weight)) effective.push_back(&r);
  }
  if (effective.empty()) {
    for (const FastRecord& r : recs) effective.push_back(&r);
  }
  for (const FastRecord* r : effective) {
    if (sin_binned && check(PySequence_Contains(sin_binned, r->id))) continue;
    bool free = gate.under_capacity(effective.span(), *r);
    if (gate.declined()) return false;
    if (free) eligible.push_back(r);
  }
  return true;
}

// 8. The pick's winner; NULL when the pick is to run on the general road,
// or when it was finished there (*elsewhere).
const FastRecord* pick_now(LB* self, Pick pick, PyObject* pool_key, RecordSpan eligible,
                           PyObject* sticky_key, double now, Ref* elsewhere) {
  switch (pick) {
    case Pick::kLeastConnections:
      return least_loaded(eligible);
    case Pick::kRoundRobin:
      return wrr_on_fast_road(self, pool_key, eligible, now);
    case Pick::kSticky:
      return sticky_on_fast_road(self, eligible, sticky_key, elsewhere);
  }
  return nullptr;
}

FastSelect general_from(FastSelect::Outcome outcome, RecordSpan eligible, Pick pick) {
  FastSelect out;
  out.outcome = outcome;
  out.eligible = list_of(eligible);
  out.pick = pick;
  return out;
}

FastSelect booked(Ref winner) {
  FastSelect out;
  out.outcome = FastSelect::kBooked;
  out.winner = std::move(winner);
  return out;
}

}  // namespace

FastSelect select_on_fast_road(LB* self, PyObject* pool_key, PyObject* candidates,
                               PyObject* sin_binned, PyObject* algorithm, PyObject* sticky_key) {
  ModuleState* st = self->st;
  const NamespaceFacts& facts = namespace_facts(st);
  // What the facts and the balancer's dict lend stays valid while this
  // count stands; it is checked after each step that searched a dict.
  const uint64_t epoch = watch_epoch();
  if (!fast_road_open(self, facts, pool_key, candidates, sin_binned, algorithm, sticky_key)) {
    return FastSelect();
  }
  Ref inflight = exact_dict_state(self, kInflight);
  FastRecords recs;
  if (!inflight || !recs.read(st, candidates, inflight.get())) return FastSelect();
  FastGate gate(self, pool_key, facts);
  RecordList eligible;
  if (watch_epoch() != epoch || !gate.ready() || !eligible_now(recs, gate, sin_binned, eligible)) {
    return FastSelect();
  }
  if (eligible.empty()) {
    FastSelect none;
    none.outcome = FastSelect::kNoneEligible;
    return none;
  }
  if (watch_epoch() != epoch) {
    return general_from(FastSelect::kGeneralChoice, eligible.span(), Pick::kRoundRobin);
  }
  Pick pick = pick_on_fast_road(st, facts, algorithm, sticky_key);
  Ref elsewhere;
  const FastRecord* won =
      pick_now(self, pick, pool_key, eligible.span(), sticky_key, gate.now(), &elsewhere);
  if (elsewhere) {
    record_dispatch_via_self(self, pool_key, elsewhere.get());
    return booked(std::move(elsewhere));
  }
  if (!won) return general_from(FastSelect::kGeneralPick, eligible.span(), pick);
  // 9. The booking, with this select's clock reading and what it read.
  record_dispatch_at(self, pool_key, won->record, gate.now(), won->id, gate.window());
  return booked(Ref::borrow(won->record));
}

bool wrr_pick_now(LB* self, PyObject* pool_key, PyObject* eligible, PyObject* lock, Ref* winner) {
  ModuleState* st = self->st;
  if (!own_methods(self) || !namespace_facts(st).monotonic_std ||
      !immutable_pool_key(st, pool_key)) {
    return false;
  }
  FastRecords recs;
  if (!recs.read(st, eligible, nullptr)) return false;
  SmallVec<const FastRecord*, 16> all;
  for (const FastRecord& r : recs) all.push_back(&r);
  const FastRecord* won = wrr_step_now(self, pool_key, all.span(), lock, nullptr);
  if (!won) return false;
  *winner = Ref::borrow(won->record);
  return true;
}

bool wrr_pick_at_once(LB* self, PyObject* pool_key, PyObject* eligible, Ref* winner) {
  if (!own_methods(self) || !immutable_pool_key(self->st, pool_key)) return false;
  Ref lock = existing_lock(self, pool_key);
  return lock && wrr_pick_now(self, pool_key, eligible, lock.get(), winner);
}

bool sticky_lookup_now(ModuleState* st, PyObject* hashlib, PyObject* eligible,
                       PyObject* sticky_key, Ref* winner) {
  if (!text_source(sticky_key) || !PyList_CheckExact(eligible) || !native_hashlib(st, hashlib)) {
    return false;
  }
  // The ids, read without running Python code; the list stays as it is
  // until the winner is known.
  SmallVec<PyObject*, 16> ids;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(eligible); ++i) {
    RecordFields f;
    if (!scan_record(st, PyList_GET_ITEM(eligible, i), &f) || !f.id || !text_source(f.id)) {
      return false;
    }
    ids.push_back(f.id);
  }
  if (ids.empty()) return false;
  *winner = Ref::borrow(PyList_GET_ITEM(eligible, rendezvous_winner(ids.span(), sticky_key)));
  return true;
}

}  // namespace varnhold
