// The fast road of one select: when the balancer is plain and the records
// are dicts of small ints and floats, each record is read once into C
// numbers, and the gate and the picks work on those. No Python code can run
// on this road, so doing the same arithmetic in C is invisible; anything
// else takes the general road, which follows the operations step by step.
#pragma once

#include <span>
#include <vector>

#include "varnhold/load_balancer.h"
#include "varnhold/pynum.h"

namespace varnhold {

// A vector that keeps its first N items inline (no allocation for the usual
// pool of a few backends).
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
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  operator std::span<const T>() const { return {data_, size_}; }

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

struct PlainRecord {
  PyObject* record;      // borrowed: the list holds it
  PyObject* id;          // borrowed: the record holds it
  long long id_value;
  double weight;         // as the picks read it: float(w or 1.0)
  bool positive;         // not drained: (w or 0.0) > 0.0
  long long count;       // inflight.get(id, 0)
  long long configured;  // int(max_concurrency or 0)
};

// Reads every record of an exact list; false when one is not plain (nothing
// is changed either way). With for_gate, the in-flight count and the
// configured cap are read too.
using PlainRecords = SmallVec<PlainRecord, 16>;
using PlainPool = std::span<const PlainRecord* const>;
bool read_plain_records(LB* self, PyObject* list, PlainRecords& out, bool for_gate);

// plain_key() for a pool key, remembering the last one found plain: a plain
// key holds only immutable plain values, so the same object stays plain.
inline bool plain_pool_key(ModuleState* st, PyObject* key) {
  if (key == st->plain_key_seen) return true;
  if (!plain_key(key)) return false;
  Py_XSETREF(st->plain_key_seen, Py_NewRef(key));
  return true;
}

// True while the module's time.monotonic is the original.
bool real_monotonic(ModuleState* st);

// The capacity tests of one select's walk over plain records (capacity_gate.cpp).
class PlainGate {
 public:
  PlainGate(LB* self, PyObject* pool_key) noexcept : self_(self), key_(pool_key) {}
  // Checks the settings and the pool's window before anything is changed;
  // false when they are not plain.
  bool ready();
  // `_under_capacity(rec, pool, pool_key=key)` for the record at index i of
  // the pool; the first test computes the pool's figures.
  bool under_capacity(PlainPool pool, const PlainRecord& rec);
  // The clock reading of the first test, once made.
  const double* now() const noexcept { return have_figures_ ? &now_ : nullptr; }
  // The pool's dispatch window as read by ready() (NULL when it had none).
  PyObject* window() const noexcept { return window_obj_.get(); }
  // A figure could not be computed in C: later tests must take the general road.
  bool lost() const noexcept { return lost_; }

 private:
  LB* self_;
  PyObject* key_;
  int mode_ = -1;
  bool have_figures_ = false, lost_ = false;
  long long sum_ = 0;
  double rate_ = 0.0;
  double superfast_ = 0.0, ratio_ = 1.0, in_threshold_ = 0.0, rate_threshold_ = 0.0;
  double window_ = 0.5;
  double now_ = 0.0;
  Ref window_obj_;
};

// Picks over plain records (picks.cpp). The round-robin pick is done at once
// only when the pool lock is idle and the pool's state is plain.
// The pool key is known plain; now, when given, is the clock reading of this
// select, which stands for the pick's own.
bool wrr_pick_plain(LB* self, PyObject* pool_key, PlainPool recs, Ref* winner, const double* now);
Ref least_connections_plain(PlainPool recs);
// The records are borrowed (the caller keeps them alive); *pure is cleared
// when the lookup ran Python code (a replaced __import__ or hashlib.blake2b).
Ref sticky_lookup_records(LB* self, std::span<PyObject* const> records, PyObject* sticky_key,
                          bool* pure);

}  // namespace varnhold
