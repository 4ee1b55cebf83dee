// Python-facing methods of the waiter queue and of waking parked waiters.
#include <array>

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/types.h"
#include "varnhold/load_balancer.h"

namespace varnhold {

namespace {

#define LB_SIG(name, npos, nreq, nkw, ...) \
  static const Signature sig{"LoadBalancer." name, 1, npos, nreq, nkw, {__VA_ARGS__}}

Ref none() { return Ref::borrow(Py_None); }

PyObject* m_wait_for_slot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kw) {
  return guard([&] {
    LB_SIG("wait_for_slot", 3, 3, 1, "pool_key", "candidates", "estimated_tokens", "sin_binned");
    std::array<PyObject*, 4> a;
    parse_args(sig, args, nargs, kw, a);
    return wait_for_slot(as_lb(self), a[0], a[1], a[2], a[3]);
  });
}

PyObject* m_try_admit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    LB_SIG("_try_admit", 1, 1, 0, "waiter");
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    try_admit(as_lb(self), a[0]);
    return none();
  });
}

PyObject* m_wake_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    LB_SIG("_wake_one", 1, 1, 0, "server_id");
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    wake_one(as_lb(self), a[0]);
    return none();
  });
}

PyObject* m_fulfill(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    LB_SIG("_fulfill", 2, 2, 0, "waiter", "server");
    std::array<PyObject*, 2> a;
    parse_args(sig, args, nargs, kw, a);
    fulfill(as_lb(self), a[0], a[1]);
    return none();
  });
}

PyObject* m_remove_waiter(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kw) {
  return guard([&] {
    LB_SIG("_remove_waiter", 1, 1, 0, "waiter");
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    remove_waiter(as_lb(self), a[0]);
    return none();
  });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef waiter_queue_methods[] = {
    {"wait_for_slot", fastcall(m_wait_for_slot), kFast,
     "Parks the request until one of its backends has a free slot or its time-to-live\n"
     "runs out; returns (backend or None, reason, seconds waited)."},
    {"_try_admit", fastcall(m_try_admit), kFast,
     "Hands the waiter its first candidate with a free slot, if any."},
    {"_wake_one", fastcall(m_wake_one), kFast,
     "Hands the freed server to the first pending waiter, in the mode's order, that fits."},
    {"_fulfill", fastcall(m_fulfill), kFast,
     "Unparks the waiter, books the dispatch and resolves its future with the backend."},
    {"_remove_waiter", fastcall(m_remove_waiter), kFast,
     "Takes the waiter out of every queue it stands in; safe to repeat."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace varnhold
