// Reports: the snapshot dictionary for the host's API (preceded by the
// eviction of stale pool state) and the text exposition of the counters for
// the metrics endpoint.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "varnhold/load_balancer.h"
#include "varnhold/pynum.h"
#include "varnhold/rules.h"

namespace varnhold {

namespace {

// ---------------------------------------------------------------------------
// Text assembly
// ---------------------------------------------------------------------------

// Collects UTF-8 and turns it into one str at the end. Text that the strict
// codec refuses (lone surrogates) is carried with "surrogatepass", so every
// str comes back out exactly as it went in.
//
// The storage of the outermost buffer of each thread is kept from one text
// to the next (a large exposition would otherwise touch fresh pages on every
// call); a buffer made while that one is in use has its own.
class TextBuf {
 public:
  TextBuf() {
    Spare& sp = spare();
    if (!sp.lent) {
      sp.lent = true;
      lender_ = true;
      s_ = std::move(sp.storage);
      s_.clear();
    }
  }
  ~TextBuf() {
    if (!lender_) return;
    Spare& sp = spare();
    // A very large text does not keep its memory.
    if (s_.capacity() <= (size_t{4} << 20)) sp.storage = std::move(s_);
    sp.lent = false;
  }
  TextBuf(const TextBuf&) = delete;
  TextBuf& operator=(const TextBuf&) = delete;

  void reserve(size_t n) { s_.reserve(n); }
  void lit(const char* p, size_t n) { s_.append(p, n); }
  template <size_t N>
  void lit(const char (&p)[N]) {
    s_.append(p, N - 1);
  }
  void ch(char c) { s_.push_back(c); }
  void integer(long long v) {
    char tmp[24];
    auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
    s_.append(tmp, static_cast<size_t>(r.ptr - tmp));
  }

  // Appends the characters of a str; with `escape`, as a label value of the
  // exposition format (backslash, double quote and line feed escaped).
  void text(PyObject* str, bool escape) {
    if (PyUnicode_IS_ASCII(str)) {
      bytes(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str)), PyUnicode_GET_LENGTH(str),
            escape);
      return;
    }
    ascii_ = false;
    Py_ssize_t n = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(str, &n)) {
      bytes(p, n, escape);
      return;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PyError();
    PyErr_Clear();
    Ref b = check(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    bytes(PyBytes_AS_STRING(b.get()), PyBytes_GET_SIZE(b.get()), escape);
  }

  Ref finish() {
    if (ascii_) {
      Ref out = check(PyUnicode_New(static_cast<Py_ssize_t>(s_.size()), 127));
      std::memcpy(PyUnicode_1BYTE_DATA(out.get()), s_.data(), s_.size());
      return out;
    }
    return check(
        PyUnicode_DecodeUTF8(s_.data(), static_cast<Py_ssize_t>(s_.size()), "surrogatepass"));
  }

 private:
  void bytes(const char* p, Py_ssize_t n, bool escape) {
    if (!escape) {
      s_.append(p, static_cast<size_t>(n));
      return;
    }
    // None of the three bytes occurs inside a multi-byte UTF-8 sequence.
    const char* end = p + n;
    while (p < end) {
      const char* q = p;
      while (q < end && *q != '\\' && *q != '"' && *q != '\n') ++q;
      s_.append(p, static_cast<size_t>(q - p));
      if (q == end) break;
      s_.push_back('\\');
      s_.push_back(*q == '\n' ? 'n' : *q);
      p = q + 1;
    }
  }

  struct Spare {
    std::string storage;
    bool lent = false;
  };
  static Spare& spare() {
    thread_local Spare s;
    return s;
  }

  bool lender_ = false;
  std::string s_;
  bool ascii_ = true;
};

// format(obj, "") as an f-string writes it: an int as its digits, a str as
// itself, anything else through its own __format__.
void write_format(TextBuf& buf, PyObject* obj, bool escape) {
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (!overflow) {
      buf.integer(v);
      return;
    }
    Ref s = check(PyObject_Str(obj));
    buf.text(s.get(), escape);
    return;
  }
  if (PyUnicode_CheckExact(obj)) {
    buf.text(obj, escape);
    return;
  }
  Ref s = check(PyObject_Format(obj, nullptr));
  buf.text(s.get(), escape);
}

// format(x, ".4f"): fixed point with four decimals, correctly rounded.
void write_fixed4(TextBuf& buf, PyObject* x) {
  if (PyFloat_CheckExact(x)) {
    char* s = PyOS_double_to_string(PyFloat_AS_DOUBLE(x), 'f', 4, 0, nullptr);
    if (!s) throw PyError();
    buf.lit(s, std::strlen(s));
    PyMem_Free(s);
    return;
  }
  Ref spec = new_str(".4f");
  Ref s = check(PyObject_Format(x, spec.get()));
  buf.text(s.get(), false);
}

// ---------------------------------------------------------------------------
// Iteration and arithmetic as the interpreter does them
// ---------------------------------------------------------------------------

// `a, b, ... = v` into out[0..n): the interpreter's unpacking, with its
// messages.
void unpack(PyObject* v, Ref* out, int n) {
  if (PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) == n) {
    for (int i = 0; i < n; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(v, i));
    return;
  }
  PyObject* it_raw = PyObject_GetIter(v);
  if (!it_raw) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(v)->tp_iter && !PySequence_Check(v)) {
      PyErr_Clear();
      raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
    }
    throw PyError();
  }
  Ref it = Ref::steal(it_raw);
  for (int i = 0; i < n; ++i) {
    out[i] = Ref::steal(PyIter_Next(it.get()));
    if (!out[i]) {
      if (PyErr_Occurred()) throw PyError();
      raise_format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", n, i);
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) raise_format(PyExc_ValueError, "too many values to unpack (expected %d)", n);
  if (PyErr_Occurred()) throw PyError();
}

// `for key, value in mapping.items()`, one pair at a time, each owned. An
// exact dict is walked as its items iterator walks it (the same errors when
// the dict changes under the walk); anything else has its own `items`
// called and iterated.
class PairWalk {
 public:
  PairWalk(ModuleState* st, PyObject* mapping)
      : map_(Ref::borrow(mapping)), exact_(PyDict_CheckExact(mapping)) {
    if (exact_) {
      used_ = left_ = PyDict_GET_SIZE(mapping);
    } else {
      Ref items = call_method0(mapping, st->s_items);
      items_.emplace(items.get());
    }
  }

  // The next pair; false at the end.
  bool next(Ref* key, Ref* value) {
    if (!exact_) {
      Ref pair = items_->next();
      if (!pair) return false;
      Ref kv[2];
      unpack(pair.get(), kv, 2);
      *key = std::move(kv[0]);
      *value = std::move(kv[1]);
      return true;
    }
    if (PyDict_GET_SIZE(map_.get()) != used_) {
      raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    PyObject* k;
    PyObject* v;
    if (!PyDict_Next(map_.get(), &pos_, &k, &v)) return false;
    if (left_-- == 0) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
    *key = Ref::borrow(k);
    *value = Ref::borrow(v);
    return true;
  }

 private:
  Ref map_;
  bool exact_;
  std::optional<ItemWalk> items_;
  Py_ssize_t used_ = 0, left_ = 0, pos_ = 0;
};

// `for key, value in mapping.items(): f(key, value)`
template <class F>
void for_each_pair(ModuleState* st, PyObject* mapping, F&& f) {
  PairWalk pairs(st, mapping);
  Ref key, value;
  while (pairs.next(&key, &value)) f(key.get(), value.get());
}

// dict(d): a shallow copy.
Ref copy_dict(PyObject* d) {
  if (PyDict_CheckExact(d)) return check(PyDict_Copy(d));
  return check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), d));
}

// round(x, 3) of a finite double, as float.__round__ computes it: the double
// nearest to the decimal with three places that is nearest to x (ties to
// even, decided on the exact binary value of x).
double round3_double(double x) {
  if (!std::isfinite(x) || x == 0.0) return x;
  if (std::fabs(x) < 1e12) {
    // x * 1000 == p + err exactly; below 2^52 every half-integer is a double,
    // so p can only sit on a tie when the exact product is at or next to it.
    double p = x * 1000.0;
    double err = std::fma(x, 1000.0, -p);
    double k = std::nearbyint(p);
    double diff = p - k;
    if (diff == 0.5 || diff == -0.5) {
      if (err > 0) {
        k = p + 0.5;
      } else if (err < 0) {
        k = p - 0.5;
      }
    }
    if (k == 0.0) return std::copysign(0.0, x);
    return k / 1000.0;
  }
  // Large magnitudes: through the correctly rounded decimal text.
  char* s = PyOS_double_to_string(x, 'f', 3, 0, nullptr);
  if (!s) throw PyError();
  double r = PyOS_string_to_double(s, nullptr, nullptr);
  PyMem_Free(s);
  if (r == -1.0 && PyErr_Occurred()) throw PyError();
  return r;
}

// round(value, 3): the interpreter's round for anything but a float.
Ref round3(ModuleState* st, PyObject* value) {
  if (PyFloat_CheckExact(value)) return new_float(round3_double(PyFloat_AS_DOUBLE(value)));
  Ref three = new_int(3);
  PyObject* argv[] = {value, three.get()};
  return check(PyObject_Vectorcall(st->std_round, argv, 2, nullptr));
}

// ---------------------------------------------------------------------------
// Quantiles of the queue waits
// ---------------------------------------------------------------------------

// Whether every element of a list is a float other than NaN: their order is
// then that of the doubles, and selecting by (value, position) is exactly
// what the stable sort gives.
bool all_ordered_floats(PyObject* list) {
  Py_ssize_t n = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* o = PyList_GET_ITEM(list, i);
    if (!PyFloat_CheckExact(o) || std::isnan(PyFloat_AS_DOUBLE(o))) return false;
  }
  return true;
}

// The elements at the ascending positions idx[0..k) of sorted(samples), for
// `samples` a new list of ours, which may be sorted in place.
void pick_sorted(PyObject* samples, const Py_ssize_t* idx, int k, Ref* out) {
  Py_ssize_t n = PyList_GET_SIZE(samples);
  // samples[i] of a list that host code emptied after the test for samples.
  for (int j = 0; j < k; ++j) {
    if (idx[j] >= n) raise(PyExc_IndexError, "list index out of range");
  }
  if (n <= 2 || !all_ordered_floats(samples)) {
    check(PyList_Sort(samples));
    for (int j = 0; j < k; ++j) out[j] = Ref::borrow(PyList_GET_ITEM(samples, idx[j]));
    return;
  }
  std::vector<std::pair<double, Py_ssize_t>> v;
  v.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) v.emplace_back(PyFloat_AS_DOUBLE(PyList_GET_ITEM(samples, i)), i);
  auto from = v.begin();
  for (int j = 0; j < k; ++j) {
    auto nth = v.begin() + idx[j];
    if (nth >= from) {
      std::nth_element(from, nth, v.end());
      from = nth + 1;
    }
    out[j] = Ref::borrow(PyList_GET_ITEM(samples, nth->second));
  }
}

// int(0.95 * n): the product in double precision, truncated.
Py_ssize_t p95_index(Py_ssize_t n) { return static_cast<Py_ssize_t>(0.95 * static_cast<double>(n)); }

// sorted(self.queue_wait_samples), read now.
Ref sorted_wait_samples(LB* self) {
  Ref held = get_state(self, kQueueWaitSamples);
  return check(PySequence_List(held.get()));
}

// ---------------------------------------------------------------------------
// Stale-pool eviction
// ---------------------------------------------------------------------------

// int(ttl) for the debug message, bounded to the signed 64-bit range: minus
// infinity would otherwise fail after the pools are already gone.
Ref whole_seconds(PyObject* ttl) {
  auto bounded = [](double d) {
    if (std::isnan(d)) return new_int(0);
    if (d <= -9223372036854775808.0) return new_int(LLONG_MIN);
    if (d >= 9223372036854775808.0) return new_int(LLONG_MAX);
    return new_int(static_cast<long long>(d));
  };
  if (PyFloat_CheckExact(ttl)) return bounded(PyFloat_AS_DOUBLE(ttl));
  PyObject* r = PyNumber_Long(ttl);
  if (!r) {
    if (PyFloat_Check(ttl) && (PyErr_ExceptionMatches(PyExc_OverflowError) ||
                               PyErr_ExceptionMatches(PyExc_ValueError))) {
      PyErr_Clear();
      return bounded(PyFloat_AS_DOUBLE(ttl));
    }
    throw PyError();
  }
  Ref whole = Ref::steal(r);
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(whole.get(), &overflow);
  if (overflow > 0) return new_int(LLONG_MAX);
  if (overflow < 0) return new_int(LLONG_MIN);
  if (v == -1 && PyErr_Occurred()) throw PyError();
  return whole;
}

// [pk for pk, last in self._pool_last_access.items() if last < cutoff]
Ref stale_pools(LB* self, PyObject* cutoff) {
  Ref stale = check(PyList_New(0));
  Ref last_access = get_state(self, kPoolLastAccess);
  for_each_pair(self->st, last_access.get(), [&](PyObject* pk, PyObject* last) {
    if (cmp(last, cutoff, Py_LT)) check(PyList_Append(stale.get(), pk));
  });
  return stale;
}

void evict_stale_pools_via_self(LB* self) {
  if (own_methods(self)) return evict_stale_pools(self);
  call_via_lookup(self, self->st->s__evict_stale_pools);
}

// self._recent_dispatch_rate(), called with no argument.
Ref overall_dispatch_rate(LB* self) {
  if (own_methods(self)) return recent_dispatch_rate(self, Py_None);
  return call_via_lookup(self, self->st->s__recent_dispatch_rate);
}

// ---------------------------------------------------------------------------
// Pool labels
// ---------------------------------------------------------------------------

// The label of the usual pool key, a tuple of an ASCII str, a frozen set of
// up to 32 small ints and an ASCII str, built without intermediate objects
// and without running any code; an empty Ref for any other key. Ints have
// one order and one text, so sorting their values is sorting the objects.
Ref label_of_usual_key(PyObject* pk) {
  if (!PyTuple_CheckExact(pk) || PyTuple_GET_SIZE(pk) != 3) return Ref();
  PyObject* model = PyTuple_GET_ITEM(pk, 0);
  PyObject* clusters = PyTuple_GET_ITEM(pk, 1);
  PyObject* tier = PyTuple_GET_ITEM(pk, 2);
  if (!PyUnicode_CheckExact(model) || !PyUnicode_IS_ASCII(model) || !PyUnicode_CheckExact(tier) ||
      !PyUnicode_IS_ASCII(tier) || !(PyFrozenSet_CheckExact(clusters) || PySet_CheckExact(clusters))) {
    return Ref();
  }
  constexpr Py_ssize_t kMaxIds = 32;
  long long ids[kMaxIds];
  Py_ssize_t count = 0;
  if (PySet_GET_SIZE(clusters) > kMaxIds) return Ref();
  // Iterating an exact set runs no code.
  Ref it = check(PyObject_GetIter(clusters));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref c = Ref::steal(raw);
    if (count == kMaxIds || !small_int(c.get(), &ids[count])) return Ref();
    ++count;
  }
  if (PyErr_Occurred()) throw PyError();
  std::sort(ids, ids + count);
  Py_ssize_t model_len = PyUnicode_GET_LENGTH(model);
  Py_ssize_t tier_len = PyUnicode_GET_LENGTH(tier);
  char small[256];
  std::string big;
  size_t need = static_cast<size_t>(model_len + tier_len + 2 + count * 21);
  char* buf = small;
  if (need > sizeof small) {
    big.resize(need);
    buf = big.data();
  }
  char* p = buf;
  std::memcpy(p, PyUnicode_1BYTE_DATA(model), static_cast<size_t>(model_len));
  p += model_len;
  *p++ = '|';
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (i) *p++ = ',';
    p = std::to_chars(p, p + 20, ids[i]).ptr;
  }
  *p++ = '|';
  std::memcpy(p, PyUnicode_1BYTE_DATA(tier), static_cast<size_t>(tier_len));
  p += tier_len;
  Ref out = check(PyUnicode_New(p - buf, 127));
  std::memcpy(PyUnicode_1BYTE_DATA(out.get()), buf, static_cast<size_t>(p - buf));
  return out;
}

// `"|".join((model, ",".join(str(c) for c in sorted(clusters)), tier))`
// after `model, clusters, tier = pk`, step by step in that order: the
// sort, each str(c), then the join's test that the model id and the tier
// are text. A str subclass is joined by its characters, as join does.
Ref pool_label(PyObject* pk) {
  if (Ref usual = label_of_usual_key(pk)) return usual;
  Ref parts[3];
  unpack(pk, parts, 3);
  Ref ids = check(PySequence_List(parts[1].get()));
  check(PyList_Sort(ids.get()));
  TextBuf clusters;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
    if (i) clusters.ch(',');
    Ref c = Ref::borrow(PyList_GET_ITEM(ids.get(), i));
    Ref text = check(PyObject_Str(c.get()));
    clusters.text(text.get(), false);
  }
  Ref joined = clusters.finish();
  for (int i : {0, 2}) {
    if (!PyUnicode_Check(parts[i].get())) {
      raise_format(PyExc_TypeError, "sequence item %d: expected str instance, %.80s found", i,
                   Py_TYPE(parts[i].get())->tp_name);
    }
  }
  TextBuf buf;
  buf.text(parts[0].get(), false);
  buf.ch('|');
  buf.text(joined.get(), false);
  buf.ch('|');
  buf.text(parts[2].get(), false);
  return buf.finish();
}

// ---------------------------------------------------------------------------
// The in-flight total of a pool
// ---------------------------------------------------------------------------

// Whether every key and count of `inflight` is a small exact int, so that
// looking its entries up from the other side cannot run Python code or give
// another sum. Remembered for one dict object of one size.
struct InflightShape {
  Ref dict;
  Py_ssize_t size = -1;
  bool small_ints = false;

  bool check_for(PyObject* inflight) {
    if (!PyDict_CheckExact(inflight)) return false;
    if (inflight == dict.get() && PyDict_GET_SIZE(inflight) == size) return small_ints;
    dict = Ref::borrow(inflight);
    size = PyDict_GET_SIZE(inflight);
    small_ints = true;
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    long long n;
    while (small_ints && PyDict_Next(inflight, &pos, &k, &v)) {
      small_ints = small_int(k, &n) && small_int(v, &n);
    }
    return small_ints;
  }
};

// The total of a pool state (an exact dict) that is no larger than an
// `inflight` of small ints, walked from the pool's side: with exact int keys
// on both sides the matches and their sum are the same. False, with
// nothing run, when a key or a count is anything else.
bool small_inflight_total(PyObject* inflight, PyObject* state, long long* total) {
  *total = 0;
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(state, &pos, &k, &v)) {
    long long id, c;
    if (!small_int(k, &id)) return false;
    Ref key = Ref::borrow(k);
    // Nothing runs between the lookup and the reading of the count.
    PyObject* count = PyDict_GetItemWithError(inflight, key.get());
    if (!count) {
      if (PyErr_Occurred()) throw PyError();
      continue;
    }
    if (!small_int(count, &c)) return false;  // the shape is remembered across pools
    *total += c;
  }
  return true;
}

// sum(c for sid, c in self.inflight.items() if sid in state)
Ref inflight_total(LB* self, PyObject* state, InflightShape& shape) {
  Ref inflight = get_state(self, kInflight);
  long long total = 0;
  if (PyDict_CheckExact(state) && shape.check_for(inflight.get()) &&
      PyDict_GET_SIZE(state) <= PyDict_GET_SIZE(inflight.get()) &&
      small_inflight_total(inflight.get(), state, &total)) {
    return new_int(total);
  }
  PairWalk pairs(self->st, inflight.get());
  return builtin_sum([&]() -> Ref {
    Ref sid, count;
    while (pairs.next(&sid, &count)) {
      if (contains(state, sid.get())) return count;
    }
    return Ref();
  });
}

// ---------------------------------------------------------------------------
// The snapshot, part by part
// ---------------------------------------------------------------------------

void put(PyObject* d, PyObject* key, const Ref& value) { check(PyDict_SetItem(d, key, value.get())); }

struct WaitQuantiles {
  Ref p50, p95;
};

// p50 = wait_samples[n // 2] if n >= 1 else 0.0
// p95 = wait_samples[int(0.95 * n)] if n >= 20 else 0.0
WaitQuantiles snapshot_quantiles(LB* self) {
  Ref samples = sorted_wait_samples(self);
  Py_ssize_t n = PyList_GET_SIZE(samples.get());
  WaitQuantiles q;
  if (n >= kP95MinSamples) {
    Py_ssize_t idx[] = {n / 2, p95_index(n)};
    Ref picked[2];
    pick_sorted(samples.get(), idx, 2, picked);
    q.p50 = std::move(picked[0]);
    q.p95 = std::move(picked[1]);
    return q;
  }
  if (n >= 1) {
    Py_ssize_t idx[] = {n / 2};
    pick_sorted(samples.get(), idx, 1, &q.p50);
  } else {
    q.p50 = new_float(0.0);
  }
  q.p95 = new_float(0.0);
  return q;
}

// The seventeen keys before "pools", each value computed in key order.
void snapshot_figures(LB* self, PyObject* d, WaitQuantiles& q) {
  ModuleState* st = self->st;
  put(d, st->s_routing_mode, get_state(self, kRoutingMode));
  put(d, st->s_dispatch_rate_per_sec, round3(st, overall_dispatch_rate(self).get()));
  put(d, st->s_superfast_cap, module_attr(st, st->s_SUPERFAST_PER_SERVER_CAP));
  put(d, st->s_hybrid_inflight_threshold, module_attr(st, st->s_HYBRID_INFLIGHT_THRESHOLD));
  put(d, st->s_hybrid_rate_threshold, module_attr(st, st->s_HYBRID_RATE_THRESHOLD));
  put(d, st->s_hybrid_hot_exit_ratio, module_attr(st, st->s_HYBRID_HOT_EXIT_RATIO));
  put(d, st->s_queue_enabled, queue_enabled_via_self(self));
  put(d, st->s_queue_ttl_sec, queue_ttl_sec_via_self(self));
  put(d, st->s_queue_depth_multiplier, queue_depth_multiplier_via_self(self));
  put(d, st->s_queue_deadline_boost_sec, module_attr(st, st->s_QUEUE_DEADLINE_BOOST_SEC));
  put(d, st->s_pool_lru_ttl_sec, module_attr(st, st->s_POOL_LRU_TTL_SEC));
  for (auto [key, attr] : {std::pair{st->s_inflight, kInflight},
                           std::pair{st->s_dispatch_counts, kDispatchCounts},
                           std::pair{st->s_reject_counts, kRejectCounts}}) {
    Ref counts = get_state(self, attr);
    put(d, key, copy_dict(counts.get()));
  }
  Ref waiters = get_state(self, kAllWaiters);
  put(d, st->s_queue_total_waiters, check(PyLong_FromSsize_t(length(waiters.get()))));
  put(d, st->s_queue_wait_p50_sec, q.p50);
  put(d, st->s_queue_wait_p95_sec, q.p95);
}

// time.monotonic() - self._pool_last_access.get(pk, 0)
Ref idle_seconds(LB* self, PyObject* pk) {
  Ref now = monotonic_obj(self->st);
  Ref zero = new_int(0);
  Ref last = state_get(self, kPoolLastAccess, pk, zero.get());
  if (PyFloat_CheckExact(now.get()) && PyFloat_CheckExact(last.get())) {
    return new_float(PyFloat_AS_DOUBLE(now.get()) - PyFloat_AS_DOUBLE(last.get()));
  }
  return sub(now.get(), last.get());
}

// The five values of one pool's entry, in key order, into `entry` (a copy
// of a dict holding the five keys in their order).
void fill_pool_entry(LB* self, PyObject* entry, PyObject* pk, PyObject* state,
                     InflightShape& shape) {
  ModuleState* st = self->st;
  put(entry, st->s_wrr_current, copy_dict(state));
  put(entry, st->s_idle_seconds, idle_seconds(self, pk));
  put(entry, st->s_inflight_total, inflight_total(self, state, shape));
  Ref rate = recent_dispatch_rate_via_self(self, pk);
  put(entry, st->s_dispatch_rate_per_sec, round3(st, rate.get()));
  if (mode_is(self, st->s_ROUTING_MODE_HYBRID)) {
    put(entry, st->s_hybrid_hot, state_get(self, kPoolHotState, pk, Py_False));
  } else {
    put(entry, st->s_hybrid_hot, Ref::borrow(Py_None));
  }
}

// for pk, state in self._wrr.items(): pools[label] = {...}
void snapshot_pools(LB* self, PyObject* pools) {
  ModuleState* st = self->st;
  // Each entry starts as a copy of one holding its five keys in order
  // (cheaper than five insertions into an empty dict).
  Ref entry_keys = check(PyDict_New());
  for (PyObject* key : {st->s_wrr_current, st->s_idle_seconds, st->s_inflight_total,
                        st->s_dispatch_rate_per_sec, st->s_hybrid_hot}) {
    check(PyDict_SetItem(entry_keys.get(), key, Py_None));
  }
  InflightShape shape;
  Ref wrr = get_state(self, kWrr);
  for_each_pair(st, wrr.get(), [&](PyObject* pk, PyObject* state) {
    Ref label = pool_label(pk);
    Ref entry = check(PyDict_Copy(entry_keys.get()));
    fill_pool_entry(self, entry.get(), pk, state, shape);
    put(pools, label.get(), entry);
  });
}

// ---------------------------------------------------------------------------
// The exposition, part by part
// ---------------------------------------------------------------------------

// The entries of the three counters, from the containers as they stand, for
// a first guess of the text's length: nothing is read through Python.
size_t counter_entries(LB* self) {
  size_t n = 0;
  for (StateAttr a : {kInflight, kDispatchCounts, kRejectCounts}) {
    PyObject* d = peek_state(self, a);
    if (d && PyDict_CheckExact(d)) n += static_cast<size_t>(PyDict_GET_SIZE(d));
  }
  return n;
}

// One series line per entry of self.<attr>.items(), label value escaped.
void write_series(LB* self, TextBuf& buf, StateAttr attr, const char* prefix, size_t prefix_len) {
  Ref counts = get_state(self, attr);
  for_each_pair(self->st, counts.get(), [&](PyObject* label, PyObject* value) {
    buf.lit(prefix, prefix_len);
    write_format(buf, label, true);
    buf.lit("\"} ");
    write_format(buf, value, false);
    buf.ch('\n');
  });
}

// The queue-wait summary, when self.queue_wait_samples is not empty.
void write_wait_summary(LB* self, TextBuf& buf) {
  {
    Ref held = get_state(self, kQueueWaitSamples);
    if (!truthy(held.get())) return;
  }
  Ref samples = sorted_wait_samples(self);
  Py_ssize_t n = PyList_GET_SIZE(samples.get());
  // Up to 20 samples the 95th percentile is the largest one.
  Py_ssize_t idx[] = {n / 2, p95_index(n)};
  Ref picked[2];
  pick_sorted(samples.get(), idx, 2, picked);
  buf.lit(
      "# HELP quorvane_lb_queue_wait_seconds Observed waiter wait times.\n"
      "# TYPE quorvane_lb_queue_wait_seconds summary\n"
      "quorvane_lb_queue_wait_seconds{quantile=\"0.5\"} ");
  write_fixed4(buf, picked[0].get());
  buf.lit("\nquorvane_lb_queue_wait_seconds{quantile=\"0.95\"} ");
  write_fixed4(buf, picked[1].get());
  buf.lit("\nquorvane_lb_queue_wait_seconds_count ");
  buf.integer(n);
  buf.ch('\n');
}

}  // namespace

// ---------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------

void evict_stale_pools(LB* self) {
  ModuleState* st = self->st;
  Ref now = monotonic_obj(st);
  Ref ttl = module_attr(st, st->s_POOL_LRU_TTL_SEC);
  Ref cutoff = sub(now.get(), ttl.get());
  // The stale list is complete before anything is removed.
  Ref stale = stale_pools(self, cutoff.get());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stale.get()); ++i) {
    Ref pk = Ref::borrow(PyList_GET_ITEM(stale.get(), i));
    // The pool's lock stays: a later pick of the same pool reuses it.
    for (StateAttr a : {kWrr, kPoolLastAccess, kPoolDispatchWindows, kPoolHotState}) {
      state_pop(self, a, pk.get(), Py_None);
    }
  }
  if (PyList_GET_SIZE(stale.get()) == 0) return;
  Ref debug = log_method(st, st->s_debug);
  Ref count = check(PyLong_FromSsize_t(PyList_GET_SIZE(stale.get())));
  Ref current_ttl = module_attr(st, st->s_POOL_LRU_TTL_SEC);
  Ref secs = whole_seconds(current_ttl.get());
  log_with(debug.get(), "Evicted %d stale LB pool entries (>%ds idle)", {count.get(), secs.get()});
}

Ref snapshot(LB* self) {
  ModuleState* st = self->st;
  evict_stale_pools_via_self(self);
  WaitQuantiles q = snapshot_quantiles(self);
  Ref pools = check(PyDict_New());
  Ref out = check(PyDict_New());
  snapshot_figures(self, out.get(), q);
  put(out.get(), st->s_pools, pools);
  snapshot_pools(self, pools.get());
  return out;
}

Ref prometheus_text(LB* self) {
  TextBuf buf;
  // Room for the usual line lengths, so the text is not moved as it grows.
  buf.reserve(1024 + 64 * counter_entries(self));
#define SERIES(attr, prefix) write_series(self, buf, attr, prefix, sizeof(prefix) - 1)
  buf.lit(
      "# HELP quorvane_lb_inflight Current in-flight requests per backend.\n"
      "# TYPE quorvane_lb_inflight gauge\n");
  SERIES(kInflight, "quorvane_lb_inflight{server_id=\"");
  buf.lit(
      "# HELP quorvane_lb_dispatch_total Cumulative dispatches per backend.\n"
      "# TYPE quorvane_lb_dispatch_total counter\n");
  SERIES(kDispatchCounts, "quorvane_lb_dispatch_total{server_id=\"");
  buf.lit(
      "# HELP quorvane_lb_rejected_total Requests rejected by the load balancer.\n"
      "# TYPE quorvane_lb_rejected_total counter\n");
  SERIES(kRejectCounts, "quorvane_lb_rejected_total{reason=\"");
#undef SERIES
  buf.lit(
      "# HELP quorvane_lb_queue_depth Number of waiters currently queued.\n"
      "# TYPE quorvane_lb_queue_depth gauge\n"
      "quorvane_lb_queue_depth ");
  {
    Ref waiters = get_state(self, kAllWaiters);
    buf.integer(length(waiters.get()));
  }
  buf.ch('\n');
  write_wait_summary(self, buf);
  return buf.finish();
}

}  // namespace varnhold
