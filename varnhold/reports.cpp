// Reports: the snapshot dictionary for the host's API (preceded by the
// eviction of stale pool state) and the text exposition of the counters for
// the metrics endpoint.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "varnhold/load_balancer.h"
#include "varnhold/pynum.h"

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
void plain_text(TextBuf& buf, PyObject* obj, bool escape) {
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
void fixed4(TextBuf& buf, PyObject* x) {
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
// Helpers with the interpreter's semantics
// ---------------------------------------------------------------------------

// Calls f(key, value) for each item of a dict in its order, holding both
// while f runs; a change of size in between raises as dict iteration does.
template <class F>
void for_each_dict_item(PyObject* dict, F&& f) {
  Ref d = Ref::borrow(dict);
  Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    f(key.get(), value.get());
    if (PyDict_GET_SIZE(dict) != size) {
      raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
  }
}

// dict(d): a shallow copy.
Ref copy_dict(PyObject* d) {
  if (PyDict_CheckExact(d)) return check(PyDict_Copy(d));
  return check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), d));
}

// d.get(key, default) on a dict.
Ref dict_get_or(PyObject* d, PyObject* key, PyObject* dflt) {
  PyObject* v = nullptr;
  if (PyDict_GetItemRef(d, key, &v) < 0) throw PyError();
  return v ? Ref::steal(v) : Ref::borrow(dflt);
}

Ref builtin(const char* name) {
  Ref mod = check(PyImport_ImportModule("builtins"));
  return check(PyObject_GetAttrString(mod.get(), name));
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

// round(value, 3) with the interpreter's round.
Ref round3(PyObject* value) {
  if (PyFloat_CheckExact(value)) return new_float(round3_double(PyFloat_AS_DOUBLE(value)));
  Ref round = builtin("round");
  Ref three = new_int(3);
  PyObject* argv[] = {value, three.get()};
  return check(PyObject_Vectorcall(round.get(), argv, 2, nullptr));
}

// The elements at the ascending positions idx[0..k) of sorted(samples).
// `samples` is a new list, which may be sorted in place. Exact floats
// without NaN are selected by (value, original position), which is exactly
// the stable sort's order; anything else goes through the interpreter's sort.
void pick_sorted(PyObject* samples, const Py_ssize_t* idx, int k, Ref* out) {
  Py_ssize_t n = PyList_GET_SIZE(samples);
  bool plain_floats = n > 2;
  for (Py_ssize_t i = 0; plain_floats && i < n; ++i) {
    PyObject* o = PyList_GET_ITEM(samples, i);
    plain_floats = PyFloat_CheckExact(o) && !std::isnan(PyFloat_AS_DOUBLE(o));
  }
  if (!plain_floats) {
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

void pop_key(PyObject* dict, PyObject* key) {
  Ref d = Ref::borrow(dict);
  check(PyDict_Pop(dict, key, nullptr));
}

void evict_stale_pools_via_self(LB* self) {
  if (own_methods(self)) return evict_stale_pools(self);
  call_via_lookup(self, self->st->s__evict_stale_pools, {});
}

// self._recent_dispatch_rate(), called with no argument.
Ref overall_dispatch_rate(LB* self) {
  if (own_methods(self)) return recent_dispatch_rate(self, Py_None);
  return call_via_lookup(self, self->st->s__recent_dispatch_rate, {});
}

// ---------------------------------------------------------------------------
// Snapshot helpers
// ---------------------------------------------------------------------------

// The label of the usual pool key, a tuple of an ASCII str, a set of up to
// 32 small ints and an ASCII str, built without intermediate objects; an
// empty Ref for any other key. Ints have one order and one text, so sorting
// their values is sorting the objects.
Ref simple_pool_label(PyObject* pk) {
  if (!PyTuple_CheckExact(pk) || PyTuple_GET_SIZE(pk) != 3) return Ref();
  PyObject* model = PyTuple_GET_ITEM(pk, 0);
  PyObject* clusters = PyTuple_GET_ITEM(pk, 1);
  PyObject* tier = PyTuple_GET_ITEM(pk, 2);
  if (!PyUnicode_CheckExact(model) || !PyUnicode_IS_ASCII(model) || !PyUnicode_CheckExact(tier) ||
      !PyUnicode_IS_ASCII(tier) || !(PyFrozenSet_CheckExact(clusters) || PySet_CheckExact(clusters))) {
    return Ref();
  }
  constexpr Py_ssize_t kMaxIds = 32;
  Py_ssize_t n = PySet_GET_SIZE(clusters);
  if (n > kMaxIds) return Ref();
  long long ids[kMaxIds];
  Py_ssize_t count = 0;
  if (n) {
    Ref it = check(PyObject_GetIter(clusters));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref c = Ref::steal(raw);
      if (count == kMaxIds || !small_int(c.get(), &ids[count])) return Ref();
      ++count;
    }
    if (PyErr_Occurred()) throw PyError();
  }
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

// The label of a pool key (model id, cluster set, tier): "m|3,12|fast", the
// cluster ids in their natural order.
Ref pool_label(PyObject* pk) {
  if (Ref fast = simple_pool_label(pk)) return fast;
  Ref model, clusters, tier;
  if (PyTuple_CheckExact(pk) && PyTuple_GET_SIZE(pk) == 3) {
    model = Ref::borrow(PyTuple_GET_ITEM(pk, 0));
    clusters = Ref::borrow(PyTuple_GET_ITEM(pk, 1));
    tier = Ref::borrow(PyTuple_GET_ITEM(pk, 2));
  } else {
    // model, clusters, tier = pk
    PyObject* it_raw = PyObject_GetIter(pk);
    if (!it_raw) {
      if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(pk)->tp_iter &&
          !PySequence_Check(pk)) {
        PyErr_Clear();
        raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(pk)->tp_name);
      }
      throw PyError();
    }
    Ref it = Ref::steal(it_raw);
    Ref* parts[] = {&model, &clusters, &tier};
    for (int i = 0; i < 3; ++i) {
      *parts[i] = Ref::steal(PyIter_Next(it.get()));
      if (!*parts[i]) {
        if (PyErr_Occurred()) throw PyError();
        raise_format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
      }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    if (PyErr_Occurred()) throw PyError();
  }
  // "|".join((model, ids, tier)): the model id and the tier must be text.
  Ref ids = check(PySequence_List(clusters.get()));
  if (PyList_GET_SIZE(ids.get()) > 1) check(PyList_Sort(ids.get()));
  if (!PyUnicode_Check(model.get())) {
    raise_format(PyExc_TypeError, "sequence item 0: expected str instance, %.80s found",
                 Py_TYPE(model.get())->tp_name);
  }
  if (!PyUnicode_Check(tier.get())) {
    raise_format(PyExc_TypeError, "sequence item 2: expected str instance, %.80s found",
                 Py_TYPE(tier.get())->tp_name);
  }
  TextBuf buf;
  plain_text(buf, model.get(), false);
  buf.ch('|');
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
    if (i) buf.ch(',');
    Ref c = Ref::borrow(PyList_GET_ITEM(ids.get(), i));
    int overflow = 1;
    long long v = PyLong_CheckExact(c.get()) ? PyLong_AsLongLongAndOverflow(c.get(), &overflow) : 0;
    if (!overflow) {
      buf.integer(v);
    } else {
      Ref s = check(PyObject_Str(c.get()));
      buf.text(s.get(), false);
    }
  }
  buf.ch('|');
  plain_text(buf, tier.get(), false);
  return buf.finish();
}

// Whether every key and count of `inflight` is a small exact int, so that
// looking its entries up from the other side cannot run Python code or give
// another sum. Remembered for one dict object of one size.
struct InflightShape {
  Ref dict;
  Py_ssize_t size = -1;
  bool small_ints = false;

  bool check_for(PyObject* inflight) {
    if (inflight == dict.get() && PyDict_GET_SIZE(inflight) == size) return small_ints;
    dict = Ref::borrow(inflight);
    size = PyDict_GET_SIZE(inflight);
    small_ints = PyDict_CheckExact(inflight);
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

// sum(count for sid, count in inflight.items() if sid in state)
Ref inflight_total(LB* self, PyObject* state, InflightShape& shape) {
  Ref inflight = Ref::borrow(LB_INFLIGHT(self));
  if (PyDict_CheckExact(state) && shape.check_for(inflight.get()) &&
      PyDict_GET_SIZE(state) <= PyDict_GET_SIZE(inflight.get())) {
    // Walk the (smaller) pool state instead: with exact int keys on both
    // sides the matches and their sum are the same.
    long long total = 0;
    bool exact = true;
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (exact && PyDict_Next(state, &pos, &k, &v)) {
      long long id, c;
      Ref key = Ref::borrow(k);
      if (!small_int(key.get(), &id)) {
        exact = false;
        break;
      }
      PyObject* count = PyDict_GetItemWithError(inflight.get(), key.get());  // borrowed
      if (!count) {
        if (PyErr_Occurred()) throw PyError();
        continue;
      }
      // Checked again: the shape is remembered across pools.
      if (!small_int(count, &c)) {
        exact = false;
        break;
      }
      total += c;
    }
    if (exact) return new_int(total);
  }
  Ref matched = check(PyList_New(0));
  for_each_dict_item(inflight.get(), [&](PyObject* sid, PyObject* count) {
    int in = PyDict_CheckExact(state) ? PyDict_Contains(state, sid) : PySequence_Contains(state, sid);
    if (check(in)) check(PyList_Append(matched.get(), count));
  });
  Ref sum = builtin("sum");
  return call1(sum.get(), matched.get());
}

void put(PyObject* d, PyObject* key, const Ref& value) { check(PyDict_SetItem(d, key, value.get())); }

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
  Ref stale = check(PyList_New(0));
  for_each_dict_item(LB_POOL_LAST_ACCESS(self), [&](PyObject* pk, PyObject* last) {
    if (cmp(last, cutoff.get(), Py_LT)) check(PyList_Append(stale.get(), pk));
  });
  Py_ssize_t n = PyList_GET_SIZE(stale.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pk = PyList_GET_ITEM(stale.get(), i);
    // The pool's lock stays: a later pick of the same pool reuses it.
    pop_key(LB_WRR(self), pk);
    pop_key(LB_POOL_LAST_ACCESS(self), pk);
    pop_key(LB_POOL_DISPATCH_WINDOWS(self), pk);
    pop_key(LB_POOL_HOT_STATE(self), pk);
  }
  if (n) {
    Ref count = check(PyLong_FromSsize_t(n));
    Ref current_ttl = module_attr(st, st->s_POOL_LRU_TTL_SEC);
    Ref secs = whole_seconds(current_ttl.get());
    log(st, st->s_debug, "Evicted %d stale LB pool entries (>%ds idle)", {count.get(), secs.get()});
  }
}

Ref snapshot(LB* self) {
  ModuleState* st = self->st;
  evict_stale_pools_via_self(self);

  Ref samples = check(PySequence_List(LB_QUEUE_WAIT_SAMPLES(self)));
  Py_ssize_t n = PyList_GET_SIZE(samples.get());
  Ref p50, p95;
  if (n >= 20) {
    Py_ssize_t idx[] = {n / 2, p95_index(n)};
    Ref picked[2];
    pick_sorted(samples.get(), idx, 2, picked);
    p50 = std::move(picked[0]);
    p95 = std::move(picked[1]);
  } else {
    if (n >= 1) {
      Py_ssize_t idx[] = {n / 2};
      pick_sorted(samples.get(), idx, 1, &p50);
    } else {
      p50 = new_float(0.0);
    }
    p95 = new_float(0.0);
  }

  Ref out = check(PyDict_New());
  PyObject* d = out.get();
  put(d, st->s_routing_mode, Ref::borrow(LB_ROUTING_MODE(self)));
  put(d, st->s_dispatch_rate_per_sec, round3(overall_dispatch_rate(self).get()));
  put(d, st->s_superfast_cap, module_attr(st, st->s_SUPERFAST_PER_SERVER_CAP));
  put(d, st->s_hybrid_inflight_threshold, module_attr(st, st->s_HYBRID_INFLIGHT_THRESHOLD));
  put(d, st->s_hybrid_rate_threshold, module_attr(st, st->s_HYBRID_RATE_THRESHOLD));
  put(d, st->s_hybrid_hot_exit_ratio, module_attr(st, st->s_HYBRID_HOT_EXIT_RATIO));
  put(d, st->s_queue_enabled, queue_enabled_via_self(self));
  put(d, st->s_queue_ttl_sec, queue_ttl_sec_via_self(self));
  put(d, st->s_queue_depth_multiplier, queue_depth_multiplier_via_self(self));
  put(d, st->s_queue_deadline_boost_sec, module_attr(st, st->s_QUEUE_DEADLINE_BOOST_SEC));
  put(d, st->s_pool_lru_ttl_sec, module_attr(st, st->s_POOL_LRU_TTL_SEC));
  put(d, st->s_inflight, copy_dict(LB_INFLIGHT(self)));
  put(d, st->s_dispatch_counts, copy_dict(LB_DISPATCH_COUNTS(self)));
  put(d, st->s_reject_counts, copy_dict(LB_REJECT_COUNTS(self)));
  put(d, st->s_queue_total_waiters,
      check(PyLong_FromSsize_t(check_size(PyObject_Size(LB_ALL_WAITERS(self))))));
  put(d, st->s_queue_wait_p50_sec, p50);
  put(d, st->s_queue_wait_p95_sec, p95);
  Ref pools = check(PyDict_New());
  put(d, st->s_pools, pools);

  // Each pool entry starts as a copy of one holding its five keys in order
  // (cheaper than five insertions into an empty dict).
  Ref entry_keys = check(PyDict_New());
  for (PyObject* key : {st->s_wrr_current, st->s_idle_seconds, st->s_inflight_total,
                        st->s_dispatch_rate_per_sec, st->s_hybrid_hot}) {
    check(PyDict_SetItem(entry_keys.get(), key, Py_None));
  }
  InflightShape shape;
  for_each_dict_item(LB_WRR(self), [&](PyObject* pk, PyObject* state) {
    Ref label = pool_label(pk);
    Ref entry = check(PyDict_Copy(entry_keys.get()));
    PyObject* e = entry.get();
    put(e, st->s_wrr_current, copy_dict(state));
    Ref now = monotonic_obj(st);
    Ref last = dict_get_or(LB_POOL_LAST_ACCESS(self), pk, nullptr);
    if (!last) {
      Ref z = new_int(0);
      put(e, st->s_idle_seconds, sub(now.get(), z.get()));
    } else if (PyFloat_CheckExact(now.get()) && PyFloat_CheckExact(last.get())) {
      put(e, st->s_idle_seconds,
          new_float(PyFloat_AS_DOUBLE(now.get()) - PyFloat_AS_DOUBLE(last.get())));
    } else {
      put(e, st->s_idle_seconds, sub(now.get(), last.get()));
    }
    put(e, st->s_inflight_total, inflight_total(self, state, shape));
    Ref rate = recent_dispatch_rate_via_self(self, pk);
    put(e, st->s_dispatch_rate_per_sec, round3(rate.get()));
    if (mode_is(self, st->s_ROUTING_MODE_HYBRID)) {
      put(e, st->s_hybrid_hot, dict_get_or(LB_POOL_HOT_STATE(self), pk, Py_False));
    } else {
      put(e, st->s_hybrid_hot, Ref::borrow(Py_None));
    }
    put(pools.get(), label.get(), entry);
  });
  return out;
}

Ref prometheus_text(LB* self) {
  TextBuf buf;
  // Room for the usual line lengths, so the text is not moved as it grows.
  buf.reserve(1024 + 64 * static_cast<size_t>(PyDict_GET_SIZE(LB_INFLIGHT(self)) +
                                              PyDict_GET_SIZE(LB_DISPATCH_COUNTS(self)) +
                                              PyDict_GET_SIZE(LB_REJECT_COUNTS(self))));
  auto series = [&](PyObject* counts, const char* prefix, size_t prefix_len) {
    for_each_dict_item(counts, [&](PyObject* label, PyObject* value) {
      buf.lit(prefix, prefix_len);
      plain_text(buf, label, true);
      buf.lit("\"} ");
      plain_text(buf, value, false);
      buf.ch('\n');
    });
  };
#define SERIES(counts, prefix) series(counts, prefix, sizeof(prefix) - 1)

  buf.lit(
      "# HELP quorvane_lb_inflight Current in-flight requests per backend.\n"
      "# TYPE quorvane_lb_inflight gauge\n");
  SERIES(LB_INFLIGHT(self), "quorvane_lb_inflight{server_id=\"");
  buf.lit(
      "# HELP quorvane_lb_dispatch_total Cumulative dispatches per backend.\n"
      "# TYPE quorvane_lb_dispatch_total counter\n");
  SERIES(LB_DISPATCH_COUNTS(self), "quorvane_lb_dispatch_total{server_id=\"");
  buf.lit(
      "# HELP quorvane_lb_rejected_total Requests rejected by the load balancer.\n"
      "# TYPE quorvane_lb_rejected_total counter\n");
  SERIES(LB_REJECT_COUNTS(self), "quorvane_lb_rejected_total{reason=\"");
#undef SERIES
  buf.lit(
      "# HELP quorvane_lb_queue_depth Number of waiters currently queued.\n"
      "# TYPE quorvane_lb_queue_depth gauge\n"
      "quorvane_lb_queue_depth ");
  buf.integer(check_size(PyObject_Size(LB_ALL_WAITERS(self))));
  buf.ch('\n');

  PyObject* held = LB_QUEUE_WAIT_SAMPLES(self);
  if (truthy(held)) {
    Ref samples = check(PySequence_List(held));
    Py_ssize_t n = PyList_GET_SIZE(samples.get());
    // Up to 20 samples the 95th percentile is the largest one.
    Py_ssize_t idx[] = {n / 2, p95_index(n)};
    Ref picked[2];
    pick_sorted(samples.get(), idx, 2, picked);
    buf.lit(
        "# HELP quorvane_lb_queue_wait_seconds Observed waiter wait times.\n"
        "# TYPE quorvane_lb_queue_wait_seconds summary\n"
        "quorvane_lb_queue_wait_seconds{quantile=\"0.5\"} ");
    fixed4(buf, picked[0].get());
    buf.lit("\nquorvane_lb_queue_wait_seconds{quantile=\"0.95\"} ");
    fixed4(buf, picked[1].get());
    buf.lit("\nquorvane_lb_queue_wait_seconds_count ");
    buf.integer(n);
    buf.ch('\n');
  }
  return buf.finish();
}

}  // namespace varnhold
