// Python-facing methods of the reports.
#include <array>

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/types.h"
#include "varnhold/load_balancer.h"

namespace varnhold {

namespace {

#define LB_SIG(name) static const Signature sig{"LoadBalancer." name, 1, 0, 0, 0, {}}

// Methods without parameters besides the balancer.
template <class F>
PyObject* no_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                  F&& f) {
  return guard([&] {
    if (nargs || kw) {
      std::array<PyObject*, 0> none;
      parse_args(sig, args, nargs, kw, none);
    }
    return f();
  });
}

PyObject* m_evict_stale_pools(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kw) {
  LB_SIG("_evict_stale_pools");
  return no_args(sig, args, nargs, kw, [&] {
    evict_stale_pools(as_lb(self));
    return Ref::borrow(Py_None);
  });
}

PyObject* m_snapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  LB_SIG("snapshot");
  return no_args(sig, args, nargs, kw, [&] { return snapshot(as_lb(self)); });
}

PyObject* m_prometheus_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kw) {
  LB_SIG("prometheus_text");
  return no_args(sig, args, nargs, kw, [&] { return prometheus_text(as_lb(self)); });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef reports_methods[] = {
    {"_evict_stale_pools", fastcall(m_evict_stale_pools), kFast,
     "Drops the round-robin weights, last access, dispatch window and hot flag of every pool "
     "idle longer than POOL_LRU_TTL_SEC; the pool's lock stays."},
    {"snapshot", fastcall(m_snapshot), kFast,
     "Evicts stale pools, then returns the balancer's state as a new dictionary of copies."},
    {"prometheus_text", fastcall(m_prometheus_text), kFast,
     "The counters in the Prometheus text exposition format; changes nothing."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace varnhold
