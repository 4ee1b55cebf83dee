// Python-facing methods of the capacity gate.
#include <array>

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/types.h"
#include "varnhold/load_balancer.h"

namespace varnhold {

namespace {

#define LB_SIG(name, npos, nreq, ...) \
  static const Signature sig{"LoadBalancer." name, 1, npos, nreq, 0, {__VA_ARGS__}}

PyObject* or_none(PyObject* o) { return o ? o : Py_None; }

PyObject* m_superfast_cap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    LB_SIG("_superfast_cap", 1, 1, "configured");
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    return superfast_cap(as_lb(self), a[0]);
  });
}

PyObject* m_hybrid_hot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    LB_SIG("_hybrid_hot", 3, 3, "pool_key", "pool_inflight", "pool_rate");
    std::array<PyObject*, 3> a;
    parse_args(sig, args, nargs, kw, a);
    return Ref::borrow(hybrid_hot(as_lb(self), a[0], a[1], a[2]) ? Py_True : Py_False);
  });
}

PyObject* m_effective_cap_for_inner(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
  return guard([&] {
    LB_SIG("_effective_cap_for", 4, 3, "server", "pool_inflight", "pool_rate", "pool_key");
    std::array<PyObject*, 4> a;
    parse_args(sig, args, nargs, kw, a);
    return effective_cap_for_inner(as_lb(self), a[0], a[1], a[2], or_none(a[3]));
  });
}

PyObject* m_effective_cap_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kw) {
  return guard([&] {
    LB_SIG("effective_cap_for", 3, 1, "server", "pool_candidates", "pool_key");
    std::array<PyObject*, 3> a;
    parse_args(sig, args, nargs, kw, a);
    return effective_cap_for(as_lb(self), a[0], or_none(a[1]), or_none(a[2]));
  });
}

PyObject* m_under_capacity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kw) {
  return guard([&] {
    LB_SIG("_under_capacity", 3, 1, "server", "pool_candidates", "pool_key");
    std::array<PyObject*, 3> a;
    parse_args(sig, args, nargs, kw, a);
    bool ok = under_capacity(as_lb(self), a[0], or_none(a[1]), or_none(a[2]));
    return Ref::borrow(ok ? Py_True : Py_False);
  });
}

PyObject* m_pool_inflight(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    LB_SIG("_pool_inflight", 1, 1, "candidates");
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    return pool_inflight(as_lb(self), a[0]);
  });
}

PyObject* m_recent_dispatch_rate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kw) {
  return guard([&] {
    LB_SIG("_recent_dispatch_rate", 1, 0, "pool_key");
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    return recent_dispatch_rate(as_lb(self), or_none(a[0]));
  });
}

PyObject* m_queue_capacity_for_pool(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
  return guard([&] {
    LB_SIG("_queue_capacity_for_pool", 1, 1, "candidates");
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    return queue_capacity_for_pool(as_lb(self), a[0]);
  });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef capacity_gate_methods[] = {
    {"_superfast_cap", fastcall(m_superfast_cap), kFast,
     "The superfast clamp of a configured cap (never below 1)."},
    {"_hybrid_hot", fastcall(m_hybrid_hot), kFast,
     "Whether the pool is hot now, with hysteresis; remembers a change."},
    {"_effective_cap_for", fastcall(m_effective_cap_for_inner), kFast,
     "The backend's cap under the active routing mode (0 or below: no cap)."},
    {"effective_cap_for", fastcall(m_effective_cap_for), kFast,
     "The backend's cap under the active routing mode, from the live pool figures."},
    {"_pool_inflight", fastcall(m_pool_inflight), kFast,
     "The sum of the in-flight counts of the records."},
    {"_recent_dispatch_rate", fastcall(m_recent_dispatch_rate), kFast,
     "Dispatches per second over the recent window, of one pool or of the process."},
    {"_under_capacity", fastcall(m_under_capacity), kFast,
     "Whether the backend has a free slot under the active routing mode."},
    {"_queue_capacity_for_pool", fastcall(m_queue_capacity_for_pool), kFast,
     "The waiter ceiling of the candidate set (0: no ceiling)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace varnhold
