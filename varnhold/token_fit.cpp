// Token-fit filter: keeps the backends whose "max_input_tokens" can hold the
// request's estimated input tokens and orders them smallest fitting limit
// first, unlimited backends last, ties by id.
//
// The result is a new list of the very records passed in. Its order is the
// stable sort by the key (unlimited flag, int(limit), id). When every key is
// made of machine-sized ints and no Python code ran while the records were
// read (the usual case) the sort runs on those values directly; otherwise
// the list is sorted by the interpreter with a key function that reads each
// record anew, so every error (KeyError('id'), int() of a bad limit, ids
// that do not compare) and every effect of host code is the interpreter's.
#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "varnhold/boundary.h"
#include "varnhold/load_balancer.h"
#include "varnhold/pynum.h"
#include "varnhold/rules.h"

namespace varnhold {

namespace {

__extension__ typedef unsigned __int128 u128;

// The value of an exact int in *out when it fits a machine int (returns 0);
// otherwise its sign (1 or -1).
inline int int_value_or_sign(PyObject* o, long long* out) {
  PyLongObject* v = reinterpret_cast<PyLongObject*>(o);
  if (PyUnstable_Long_IsCompact(v)) {
    *out = PyUnstable_Long_CompactValue(v);
    return 0;
  }
  int overflow = 0;
  *out = PyLong_AsLongLongAndOverflow(o, &overflow);
  return overflow;
}

// `not limit` for a value read from a record (NULL when missing), without a
// call for the usual types; *ran_code is set when the value's own __bool__
// or __len__ answered.
bool is_falsy(PyObject* limit, bool* ran_code) {
  if (!limit || limit == Py_None || limit == Py_False) return true;
  if (limit == Py_True) return false;
  if (PyLong_CheckExact(limit)) {
    // Only a compact int can be 0.
    PyLongObject* v = reinterpret_cast<PyLongObject*>(limit);
    return PyUnstable_Long_IsCompact(v) && PyUnstable_Long_CompactValue(v) == 0;
  }
  if (PyFloat_CheckExact(limit)) return PyFloat_AS_DOUBLE(limit) == 0.0;
  *ran_code = true;
  return !truthy(limit);
}

// s.get("max_input_tokens"), NULL when an exact dict lacks the key.
Ref read_raw_limit(ModuleState* st, PyObject* record) {
  return dict_get(record, st->s_max_input_tokens, st->s_get);
}

// `estimated_tokens <= 0`.
bool estimate_not_positive(PyObject* est, PyObject* zero) {
  if (PyLong_CheckExact(est)) {
    long long v = 0;
    int sign = int_value_or_sign(est, &v);
    return sign ? sign < 0 : v <= 0;
  }
  return check(PyObject_RichCompareBool(est, zero, Py_LE)) != 0;
}

// The estimate, with its value when it is an exact int that fits.
struct Estimate {
  PyObject* obj;
  bool small = false;
  long long value = 0;
};

bool exact_number(PyObject* o) { return PyLong_CheckExact(o) || PyFloat_CheckExact(o); }

// `limit == 0 or limit >= estimated_tokens` for a truthy limit (a falsy one
// reads as 0 and always fits). *ran_code is set when the comparisons may
// have run host code.
bool fits(PyObject* limit, const Estimate& est, PyObject* zero, bool* ran_code) {
  if (est.small && PyLong_CheckExact(limit)) {
    // A truthy int is never 0.
    long long v = 0;
    int sign = int_value_or_sign(limit, &v);
    return sign ? sign > 0 : v >= est.value;
  }
  constexpr long long kExactInDouble = 1LL << 53;
  if (est.small && PyFloat_CheckExact(limit) && est.value <= kExactInDouble &&
      est.value >= -kExactInDouble) {
    // A truthy float is never 0.0; NaN fits nothing.
    return PyFloat_AS_DOUBLE(limit) >= static_cast<double>(est.value);
  }
  if (!exact_number(limit) || !exact_number(est.obj)) *ran_code = true;
  if (check(PyObject_RichCompareBool(limit, zero, Py_EQ))) return true;
  return check(PyObject_RichCompareBool(limit, est.obj, Py_GE)) != 0;
}

// int(limit or 0) of a limit as read (NULL when missing) as a machine
// integer, when the value is a machine number (pynum.h), so that reading it
// runs no code, and int() of it does not fail; false otherwise.
bool limit_as_integer(PyObject* raw, long long* out) {
  double value = 0.0;
  if (raw && raw != Py_None && !machine_number(raw, &value)) return false;
  double whole = int_or_zero(value);
  constexpr double kBound = 9223372036854775808.0;  // 2**63
  if (!(whole > -kBound && whole < kBound)) return false;  // NaN and infinities too
  *out = static_cast<long long>(whole);
  return true;
}

// _sort_key(s) = (1 if limit == 0 else 0, limit, s["id"]) with
// limit = int(s.get("max_input_tokens") or 0). Bound to the balancer, which
// carries the module state.
PyObject* sort_key(PyObject* self, PyObject* record) {
  return guard([&] {
    ModuleState* st = as_lb(self)->st;
    Ref raw = read_raw_limit(st, record);
    Ref limit = int_or_zero(PyNum::of(raw ? raw.get() : Py_None)).take();
    Ref zero = new_int(0);
    Ref flag = new_int(check(PyObject_RichCompareBool(limit.get(), zero.get(), Py_EQ)) ? 1 : 0);
    Ref id = getitem(record, st->s_id);
    return check(PyTuple_Pack(3, flag.get(), limit.get(), id.get()));
  });
}

PyMethodDef sort_key_def = {"_sort_key", sort_key, METH_O,
                            "The ordering key of a backend record in the token-fit filter."};

// fit.sort(key=_sort_key) through the interpreter.
void sort_with_key_function(LB* self, PyObject* fit) {
  ModuleState* st = self->st;
  Ref key_fn = check(PyCFunction_NewEx(&sort_key_def, as_obj(self), nullptr));
  Ref kwnames = check(PyTuple_Pack(1, st->s_key));
  PyObject* argv[] = {fit, key_fn.get()};
  check(PyObject_VectorcallMethod(st->s_sort, argv, 1, kwnames.get()));
}

// The sort keys of the records of fit, gathered while the records are read,
// as long as every record is an exact dict with machine-int values and no
// Python code has run. Each key packs (unlimited flag, limit) and (id,
// position) into two unsigned words that order as the triples do, the
// position keeping equal triples stable.
class MachineKeys {
 public:
  struct Key {
    u128 rank;      // flag, then limit
    u128 tiebreak;  // id, then position in fit

    bool operator<(const Key& o) const {
      return rank < o.rank || (rank == o.rank && tiebreak < o.tiebreak);
    }
  };

  bool usable() const { return usable_; }
  void give_up() { usable_ = false; }

  // Adds the key of the next record of fit, given its limit value as read
  // (NULL when missing); gives up on anything that needs the interpreter.
  void add(ModuleState* st, PyObject* record, PyObject* raw_limit) {
    if (!usable_) return;
    long long limit = 0;
    if (!PyDict_CheckExact(record) || !limit_as_integer(raw_limit, &limit)) return give_up();
    PyObject* id_ptr = nullptr;
    if (PyDict_GetItemRef(record, st->s_id, &id_ptr) < 0) throw PyError();
    Ref id = Ref::steal(id_ptr);
    long long id_value = 0;
    if (!id || !PyLong_CheckExact(id.get()) || int_value_or_sign(id.get(), &id_value) != 0) {
      return give_up();
    }
    constexpr uint64_t kSignBit = 1ULL << 63;
    const uint64_t unlimited = limit == 0 ? 1 : 0;
    Key k{(static_cast<u128>(unlimited) << 64) | (static_cast<uint64_t>(limit) ^ kSignBit),
          (static_cast<u128>(static_cast<uint64_t>(id_value) ^ kSignBit) << 64) |
              static_cast<uint64_t>(size_)};
    if (size_ < kOnStack) {
      local_[size_] = k;
    } else {
      if (spill_.empty()) spill_.assign(local_.begin(), local_.end());
      spill_.push_back(k);
    }
    ++size_;
  }

  // Whether these are the keys of every record of fit.
  bool cover(PyObject* fit) const { return usable_ && PyList_GET_SIZE(fit) == size_; }

  // Puts the records of fit (whose keys these are) in key order.
  void sort(PyObject* fit) {
    Key* keys = size_ <= kOnStack ? local_.data() : spill_.data();
    std::sort(keys, keys + size_);
    std::vector<PyObject*> spilled;
    std::array<PyObject*, kOnStack> local_items;
    PyObject** items = local_items.data();
    if (size_ > kOnStack) {
      spilled.resize(static_cast<size_t>(size_));
      items = spilled.data();
    }
    for (Py_ssize_t i = 0; i < size_; ++i) items[i] = PyList_GET_ITEM(fit, i);
    // A permutation of the list's own references: no count changes.
    for (Py_ssize_t i = 0; i < size_; ++i) {
      PyList_SET_ITEM(fit, i, items[static_cast<uint64_t>(keys[i].tiebreak)]);
    }
  }

 private:
  static constexpr Py_ssize_t kOnStack = 128;
  bool usable_ = true;
  Py_ssize_t size_ = 0;
  std::array<Key, kOnStack> local_;
  std::vector<Key> spill_;
};

// fit = list(candidates): every candidate stays.
Ref keep_all(ModuleState* st, PyObject* candidates, MachineKeys& keys) {
  Ref fit = check(PySequence_List(candidates));
  for (Py_ssize_t i = 0; keys.usable() && i < PyList_GET_SIZE(fit.get()); ++i) {
    Ref record = Ref::borrow(PyList_GET_ITEM(fit.get(), i));
    if (!PyDict_CheckExact(record.get())) {
      keys.give_up();  // the key function reads every record
      return fit;
    }
    Ref raw = read_raw_limit(st, record.get());
    keys.add(st, record.get(), raw.get());
  }
  return fit;
}

// fit = [s for s in candidates if (limit := s.get(...) or 0) == 0 or
//        limit >= estimated_tokens]
Ref keep_fitting(ModuleState* st, PyObject* candidates, PyObject* estimated_tokens,
                 MachineKeys& keys) {
  Ref zero = new_int(0);
  Estimate est{estimated_tokens};
  if (PyLong_CheckExact(estimated_tokens)) {
    est.small = int_value_or_sign(estimated_tokens, &est.value) == 0;
  }
  Ref fit;
  auto keep = [&](PyObject* record) {  // held by the caller
    bool ran_code = !PyDict_CheckExact(record);  // its own `get` answers
    Ref raw = read_raw_limit(st, record);
    bool kept = is_falsy(raw.get(), &ran_code) || fits(raw.get(), est, zero.get(), &ran_code);
    // Keys gathered before host code ran may no longer be what it reads.
    if (ran_code) keys.give_up();
    if (!kept) return false;
    check(PyList_Append(fit.get(), record));
    keys.add(st, record, raw.get());
    return false;
  };
  if (!PyList_CheckExact(candidates)) {
    // Other iterables than a tuple run code of their own between records.
    if (!PyTuple_CheckExact(candidates)) keys.give_up();
    fit = check(PyList_New(0));
    for_each_item(candidates, keep);
    return fit;
  }
  // Room for every candidate up front; the list grows past it only if the
  // candidates do while they are read.
  fit = check(PyList_New(PyList_GET_SIZE(candidates)));
  Py_SET_SIZE(fit.get(), 0);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates); ++i) {
    Ref record = Ref::borrow(PyList_GET_ITEM(candidates, i));
    keep(record.get());
  }
  return fit;
}

}  // namespace

Ref filter_by_fit(LB* self, PyObject* candidates, PyObject* estimated_tokens) {
  ModuleState* st = self->st;
  MachineKeys keys;
  Ref zero = new_int(0);
  Ref fit = estimate_not_positive(estimated_tokens, zero.get())
                ? keep_all(st, candidates, keys)
                : keep_fitting(st, candidates, estimated_tokens, keys);
  if (keys.cover(fit.get())) {
    keys.sort(fit.get());
  } else {
    sort_with_key_function(self, fit.get());
  }
  return fit;
}

}  // namespace varnhold
