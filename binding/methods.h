// One wrapper for every function and method the module registers: bind the
// arguments to the signature (defaults included), call the C++ operation,
// turn its result into a Python object and any C++ exception into a Python
// error. A table entry names the operation once:
//
//   constexpr FunctionSpec kIncrement{
//       signature("LoadBalancer.increment", "$self", 0, P(server_id)), &increment,
//       "Counts one more request in flight."};
//   ... method_def(kIncrement) ...
//
// The operation's first parameter says what it is called on: a balancer
// (LB*), a lease (LeaseObject*) or the module (ModuleState*).
#pragma once

#include <string>
#include <utility>

#include "binding/args.h"
#include "varnhold/boundary.h"
#include "varnhold/lease.h"
#include "varnhold/load_balancer.h"

namespace varnhold {

template <class Fn, size_t N>
struct FunctionSpec {
  Signature<N> sig;
  Fn fn;
  const char* doc;
};

template <class Fn, size_t N>
FunctionSpec(Signature<N>, Fn, const char*) -> FunctionSpec<Fn, N>;

namespace detail {

inline LB* receiver(LB*, PyObject* self) { return as_lb(self); }
inline LeaseObject* receiver(LeaseObject*, PyObject* self) { return as_lease(self); }
inline ModuleState* receiver(ModuleState*, PyObject* module) { return module_state(module); }

inline ModuleState* state_of(LB* self) { return self->st; }
inline ModuleState* state_of(LeaseObject* self) { return self->st; }
inline ModuleState* state_of(ModuleState* st) { return st; }

template <class R>
struct Result;
template <>
struct Result<Ref> {
  template <class F>
  static Ref call(F&& f) { return f(); }
};
template <>
struct Result<void> {
  template <class F>
  static Ref call(F&& f) {
    f();
    return Ref::borrow(Py_None);
  }
};
template <>
struct Result<bool> {
  template <class F>
  static Ref call(F&& f) { return Ref::borrow(f() ? Py_True : Py_False); }
};

template <class Fn>
struct Traits;
template <class R, class Self, class... A>
struct Traits<R (*)(Self*, A...)> {
  using Ret = R;
  using Receiver = Self;
  static constexpr size_t arity = sizeof...(A);
};

template <const auto& Spec, size_t... I>
Ref invoke(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           std::index_sequence<I...>) {
  using T = Traits<decltype(Spec.fn)>;
  static_assert(T::arity == sizeof...(I), "the signature lists every parameter of the operation");
  auto* receiver = detail::receiver(static_cast<typename T::Receiver*>(nullptr), self);
  Bound<sizeof...(I)> bound;
  bind_args(state_of(receiver), Spec.sig, args, nargs, kwnames, bound);
  return Result<typename T::Ret>::call([&] { return Spec.fn(receiver, bound[I]...); });
}

}  // namespace detail

// The METH_FASTCALL|METH_KEYWORDS entry point of a table entry.
template <const auto& Spec>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr size_t n = std::remove_cvref_t<decltype(Spec.sig)>::size;
  return guard(
      [&] { return detail::invoke<Spec>(self, args, nargs, kwnames, std::make_index_sequence<n>()); });
}

template <class F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The method table row of a table entry; its documentation, with the text
// signature, is written by write_docs() at start-up.
template <const auto& Spec>
PyMethodDef method_def() {
  return {Spec.sig.name(), fastcall(entry<Spec>), METH_FASTCALL | METH_KEYWORDS, nullptr};
}

// The documentation of each row of a table, text signature first. The texts
// live as long as the process: tables are process-wide.
template <const auto& Spec>
const char* doc_of() {
  static const std::string text =
      text_signature(Spec.sig.name(), Spec.sig.self, Spec.sig.params.data(), Spec.sig.params.size(),
                     Spec.sig.n_kwonly, Spec.doc);
  return text.c_str();
}

template <const auto& Spec>
PyMethodDef documented_def() {
  PyMethodDef def = method_def<Spec>();
  def.ml_doc = doc_of<Spec>();
  return def;
}

}  // namespace varnhold
