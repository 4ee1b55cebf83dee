// Python-facing methods of backend selection and the pick algorithms.
#include <array>

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/types.h"
#include "varnhold/load_balancer.h"

namespace varnhold {

namespace {

PyObject* or_none(PyObject* o) { return o ? o : Py_None; }

PyObject* m_select(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    static const Signature sig{"LoadBalancer.select",
                               1,
                               2,
                               2,
                               5,
                               {"pool_key", "candidates", "estimated_tokens", "force_server_id",
                                "sin_binned", "algorithm", "sticky_key"}};
    std::array<PyObject*, 7> a;
    parse_args(sig, args, nargs, kw, a);
    Ref zero = Ref::borrow(PyLong_FromLong(0));
    return select(as_lb(self), a[0], a[1], a[2] ? a[2] : zero.get(), or_none(a[3]),
                  or_none(a[4]), or_none(a[5]), or_none(a[6]));
  });
}

PyObject* m_wrr_pick(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    static const Signature sig{"LoadBalancer._wrr_pick", 1, 2, 2, 0, {"pool_key", "eligible"}};
    std::array<PyObject*, 2> a;
    parse_args(sig, args, nargs, kw, a);
    return wrr_pick(as_lb(self), a[0], a[1]);
  });
}

PyObject* m_least_connections_pick(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kw) {
  return guard([&] {
    static const Signature sig{"LoadBalancer._least_connections_pick", 1, 1, 1, 0, {"eligible"}};
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    return least_connections_pick(as_lb(self), a[0]);
  });
}

PyObject* m_sticky_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kw) {
  return guard([&] {
    static const Signature sig{
        "LoadBalancer._sticky_lookup", 1, 2, 2, 0, {"eligible", "sticky_key"}};
    std::array<PyObject*, 2> a;
    parse_args(sig, args, nargs, kw, a);
    return sticky_lookup(as_lb(self), a[0], a[1]);
  });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef selection_methods[] = {
    {"select", fastcall(m_select), kFast,
     "Chooses a backend for one request and books its dispatch; None when none is free "
     "(awaitable)."},
    {"_wrr_pick", fastcall(m_wrr_pick), kFast,
     "Smooth weighted round-robin over the eligible records, under the pool lock (awaitable)."},
    {"_least_connections_pick", fastcall(m_least_connections_pick), kFast,
     "The record with the fewest requests in flight per unit of weight."},
    {"_sticky_lookup", fastcall(m_sticky_lookup), kFast,
     "The record that the sticky key hashes to (rendezvous hashing); None for no records."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace varnhold
