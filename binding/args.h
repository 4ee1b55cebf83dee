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
  // The names interned, filled at first use: a caller's keywords are usually
  // the very same interned strings.
  mutable PyObject* interned[12] = {};
};

// Fills out[0 .. n_positional + n_kwonly) with borrowed values, NULL where the
// caller passed nothing (the default applies). Throws TypeError on misuse.
template <size_t N>
void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::array<PyObject*, N>& out) {
  const int total = sig.n_positional + sig.n_kwonly;
  for (auto& o : out) o = nullptr;
  // As the interpreter binds a call: positional arguments, then keywords,
  // then the count of positional arguments is checked.
  const Py_ssize_t npos = nargs < sig.n_positional ? nargs : sig.n_positional;
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      int found = -1;
      for (int j = 0; j < total; ++j) {
        if (!sig.interned[j]) {
          sig.interned[j] = PyUnicode_InternFromString(sig.names[j]);
          if (!sig.interned[j]) throw PyError();
        }
        if (key == sig.interned[j]) {
          found = j;
          break;
        }
      }
      const char* kname = PyUnicode_AsUTF8(key);
      if (!kname) throw PyError();
      for (int j = 0; found < 0 && j < total; ++j) {
        if (std::strcmp(kname, sig.names[j]) == 0) found = j;
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
  if (nargs > sig.n_positional) {
    int lo = sig.n_required + sig.self_count;
    int hi = sig.n_positional + sig.self_count;
    Py_ssize_t given = nargs + sig.self_count;
    int kwonly_given = 0;
    for (int j = sig.n_positional; j < total; ++j) kwonly_given += out[j] != nullptr;
    Ref sig_text = check(lo == hi ? PyUnicode_FromFormat("%d", hi)
                                  : PyUnicode_FromFormat("from %d to %d", lo, hi));
    bool plural = lo != hi || hi != 1;
    Ref kwonly_text = check(
        kwonly_given ? PyUnicode_FromFormat(" positional argument%s (and %d keyword-only argument%s)",
                                            given != 1 ? "s" : "", kwonly_given,
                                            kwonly_given != 1 ? "s" : "")
                     : PyUnicode_FromString(""));
    raise_format(PyExc_TypeError, "%s() takes %U positional argument%s but %zd%U %s given",
                 sig.qualname, sig_text.get(), plural ? "s" : "", given, kwonly_text.get(),
                 given == 1 && !kwonly_given ? "was" : "were");
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
