// A small parser for METH_FASTCALL|METH_KEYWORDS arguments, with the
// interpreter's own TypeError messages for Python functions.
#pragma once

#include <array>
#include <cstring>

#include "varnhold/py.h"

namespace varnhold {

struct Signature {
  const char* qualname;       // as in messages: "LoadBalancer.select"
  int self_count;             // 1 for methods: counted in "takes N positional"
  int n_positional;           // positional-or-keyword parameters
  int n_required;             // of which the first n_required have no default
  int n_kwonly;               // keyword-only parameters, all with defaults
  const char* names[12];      // positional names, then keyword-only names
};

// Fills out[0 .. n_positional + n_kwonly) with borrowed values, NULL where the
// caller passed nothing (the default applies). Throws TypeError on misuse.
template <size_t N>
void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::array<PyObject*, N>& out) {
  const int total = sig.n_positional + sig.n_kwonly;
  for (auto& o : out) o = nullptr;
  if (nargs > sig.n_positional) {
    int lo = sig.n_required + sig.self_count;
    int hi = sig.n_positional + sig.self_count;
    Py_ssize_t given = nargs + sig.self_count;
    if (lo == hi) {
      raise_format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                   sig.qualname, hi, hi == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    }
    raise_format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd were given",
                 sig.qualname, lo, hi, given);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      const char* kname = PyUnicode_AsUTF8(key);
      if (!kname) throw PyError();
      int found = -1;
      for (int j = 0; j < total; ++j) {
        if (std::strcmp(kname, sig.names[j]) == 0) {
          found = j;
          break;
        }
      }
      if (found < 0) {
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'",
                     sig.qualname, kname);
      }
      if (out[found]) {
        raise_format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.qualname,
                     kname);
      }
      out[found] = args[nargs + k];
    }
  }
  int missing = 0;
  for (int j = 0; j < sig.n_required; ++j) missing += out[j] == nullptr;
  if (missing) {
    // "missing 2 required positional arguments: 'a' and 'b'"
    Ref names = check(PyUnicode_FromString(""));
    int seen = 0;
    for (int j = 0; j < sig.n_required; ++j) {
      if (out[j]) continue;
      ++seen;
      const char* sep = seen == 1 ? "" : (seen == missing ? (missing > 2 ? ", and " : " and ") : ", ");
      Ref part = check(PyUnicode_FromFormat("%s'%s'", sep, sig.names[j]));
      names = check(PyUnicode_Concat(names.get(), part.get()));
    }
    raise_format(PyExc_TypeError, "%s() missing %d required positional argument%s: %U",
                 sig.qualname, missing, missing == 1 ? "" : "s", names.get());
  }
}

}  // namespace varnhold
