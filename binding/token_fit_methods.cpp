// The Python-facing token estimate (a module function) and token-fit filter
// (a LoadBalancer method).
#include <array>

#include "binding/args.h"
#include "binding/boundary.h"
#include "binding/types.h"
#include "varnhold/load_balancer.h"
#include "varnhold/token_estimate.h"

namespace varnhold {

namespace {

PyObject* py_estimate_request_tokens(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kw) {
  return guard([&] {
    ModuleState* st = module_state(module);
    if (nargs == 1 && !kw) return estimate_request_tokens(st, args[0]);
    static const Signature sig{"estimate_request_tokens", 0, 1, 1, 0, {"body"}};
    std::array<PyObject*, 1> a;
    parse_args(sig, args, nargs, kw, a);
    return estimate_request_tokens(st, a[0]);
  });
}

PyObject* m_filter_by_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    if (nargs == 2 && !kw) return filter_by_fit(as_lb(self), args[0], args[1]);
    static const Signature sig{
        "LoadBalancer.filter_by_fit", 1, 2, 2, 0, {"candidates", "estimated_tokens"}};
    std::array<PyObject*, 2> a;
    parse_args(sig, args, nargs, kw, a);
    return filter_by_fit(as_lb(self), a[0], a[1]);
  });
}

}  // namespace

PyMethodDef token_fit_methods[] = {
    {"filter_by_fit", fastcall(m_filter_by_fit), METH_FASTCALL | METH_KEYWORDS,
     "filter_by_fit($self, /, candidates, estimated_tokens)\n--\n\n"
     "The candidates whose max_input_tokens can hold the estimate (all of them for an "
     "estimate of 0 or less), as a new list: smallest limit first, unlimited backends last, "
     "ties by id."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef estimate_request_tokens_def = {
    "estimate_request_tokens", fastcall(py_estimate_request_tokens), METH_FASTCALL | METH_KEYWORDS,
    "estimate_request_tokens($module, /, body)\n--\n\n"
    "Estimates the input tokens of a request body: characters of its text divided by 4, "
    "one per pre-tokenized id, IMAGE_TOKEN_COST per image or video part."};

}  // namespace varnhold
