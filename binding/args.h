// Argument binding for METH_FASTCALL|METH_KEYWORDS functions, with the
// interpreter's own TypeError messages for Python functions, and the text
// signature that help() and inspect.signature read.
//
// A Signature<N> lists the N parameters of one function (positional ones,
// then keyword-only ones) with their defaults; the binder fills an array of
// exactly N values, so the table and the output cannot disagree in size.
#pragma once

#include <array>
#include <cstring>
#include <string>

#include "varnhold/module_state.h"
#include "varnhold/py.h"

namespace varnhold {

struct Default {
  enum Kind : unsigned char { kRequired, kNone, kFalse, kZero, kFloat } kind = kRequired;
  double value = 0.0;  // for kFloat
};

inline constexpr Default kRequired{Default::kRequired};
inline constexpr Default kNone{Default::kNone};
inline constexpr Default kFalse{Default::kFalse};
inline constexpr Default kZero{Default::kZero};
inline constexpr Default float_default(double v) { return {Default::kFloat, v}; }

struct Param {
  const char* name;
  PyObject* ModuleState::*interned;  // the same name, interned in the module state
  Default dflt = kRequired;
};

// Parameter `p` of a signature: P(pool_key), P(sin_binned, kNone).
#define P(n, ...) ::varnhold::Param{#n, &::varnhold::ModuleState::s_##n __VA_OPT__(, ) __VA_ARGS__}

template <size_t N>
struct Signature {
  const char* qualname;  // as in messages: "LoadBalancer.select"
  const char* self;      // "$self", "$module" or "$type" for the text signature
  int n_kwonly;          // the last n_kwonly parameters are keyword-only
  std::array<Param, N> params;

  static constexpr size_t size = N;
  constexpr int n_positional() const { return static_cast<int>(N) - n_kwonly; }
  constexpr int n_required() const {
    int n = 0;
    while (n < n_positional() && params[n].dflt.kind == Default::kRequired) ++n;
    return n;
  }
  // The name after the last dot.
  const char* name() const {
    const char* dot = std::strrchr(qualname, '.');
    return dot ? dot + 1 : qualname;
  }
};

template <class... Ps>
constexpr auto signature(const char* qualname, const char* self, int n_kwonly, Ps... ps) {
  return Signature<sizeof...(Ps)>{qualname, self, n_kwonly, {ps...}};
}

namespace detail {

// "takes 2 positional arguments but 3 were given", as the interpreter words it.
[[noreturn]] void raise_too_many(const char* qualname, int self_count, int lo, int hi,
                                 Py_ssize_t given, int kwonly_given);
[[noreturn]] void raise_missing(const char* qualname, const Param* params, const bool* missing,
                                int n_required);
[[noreturn]] void raise_unexpected(const char* qualname, PyObject* key);
[[noreturn]] void raise_multiple(const char* qualname, const char* name);

}  // namespace detail

// The values bound to a signature's parameters: borrowed from the caller's
// arguments, or the defaults (owned here where they are not immortal).
template <size_t N>
struct Bound {
  std::array<PyObject*, N> value{};
  std::array<Ref, N> made;  // defaults made for this call

  PyObject* operator[](size_t i) const { return value[i]; }
};

// Binds a call as the interpreter binds one to a Python function: positional
// arguments, then keywords, then the count of positional arguments is
// checked, then missing required ones are reported, then defaults apply.
template <size_t N>
void bind_args(ModuleState* st, const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Bound<N>& out) {
  if (nargs == static_cast<Py_ssize_t>(N) && !kwnames && sig.n_kwonly == 0) {
    for (size_t i = 0; i < N; ++i) out.value[i] = args[i];
    return;
  }
  const int n_pos = sig.n_positional();
  const int self_count = sig.self[1] == 's' ? 1 : 0;  // "$self" counts in messages
  const Py_ssize_t npos = nargs < n_pos ? nargs : n_pos;
  for (Py_ssize_t i = 0; i < npos; ++i) out.value[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      int found = -1;
      for (size_t j = 0; j < N && found < 0; ++j) {
        if (key == st->*sig.params[j].interned) found = static_cast<int>(j);
      }
      for (size_t j = 0; j < N && found < 0; ++j) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[j].name) == 0) {
          found = static_cast<int>(j);
        }
      }
      if (found < 0) detail::raise_unexpected(sig.qualname, key);
      if (out.value[found]) detail::raise_multiple(sig.qualname, sig.params[found].name);
      out.value[found] = args[nargs + k];
    }
  }
  if (nargs > n_pos) {
    int kwonly_given = 0;
    for (size_t j = n_pos; j < N; ++j) kwonly_given += out.value[j] != nullptr;
    detail::raise_too_many(sig.qualname, self_count, sig.n_required() + self_count,
                           n_pos + self_count, nargs + self_count, kwonly_given);
  }
  bool missing[N > 0 ? N : 1] = {};
  bool any_missing = false;
  for (int j = 0; j < sig.n_required(); ++j) {
    missing[j] = out.value[j] == nullptr;
    any_missing = any_missing || missing[j];
  }
  if (any_missing) detail::raise_missing(sig.qualname, sig.params.data(), missing, sig.n_required());
  for (size_t j = 0; j < N; ++j) {
    if (out.value[j]) continue;
    const Default& d = sig.params[j].dflt;
    switch (d.kind) {
      case Default::kRequired:  // a keyword-only parameter without default: none here
      case Default::kNone: out.value[j] = Py_None; break;
      case Default::kFalse: out.value[j] = Py_False; break;
      case Default::kZero: out.value[j] = PyLong_FromLong(0); break;  // immortal
      case Default::kFloat:
        out.made[j] = new_float(d.value);
        out.value[j] = out.made[j].get();
        break;
    }
  }
}

// "select($self, /, pool_key, candidates, *, estimated_tokens=0, ...)\n--\n\n"
// followed by the documentation text: the form help() and inspect read.
std::string text_signature(const char* name, const char* self, const Param* params, size_t n,
                           int n_kwonly, const char* doc);

}  // namespace varnhold
