// C++20 coroutines presented to asyncio as coroutine objects.
//
// A body is a C++ coroutine `Coro body(CoroFrame& f)`. Everything it keeps
// across a suspension lives in the frame's slots, which the Python-facing
// object owns and which its tp_traverse visits; the C++ frame itself holds
// only borrowed pointers into them and short-lived temporaries.
//
//   Ref r = co_await py_await(awaitable);   // delegates like `yield from`
//
// The Python object (`varnhold.coroutine`) has am_await/am_send/tp_iternext
// and send/throw/close, so asyncio.iscoroutine accepts it and Tasks drive it.
#pragma once

#include <coroutine>
#include <exception>
#include <initializer_list>

#include "varnhold/py.h"

namespace varnhold {

struct ModuleState;
struct CoroPromise;

struct Coro {
  using promise_type = CoroPromise;
  std::coroutine_handle<CoroPromise> handle;
};

// The part of a coroutine object that outlives any one resumption.
struct CoroFrame {
  static constexpr int kSlots = 10;
  Ref slot[kSlots];
  ModuleState* st = nullptr;

  PyObject* operator[](int i) const noexcept { return slot[i].get(); }
  PyObject* set(int i, Ref r) noexcept {
    slot[i] = std::move(r);
    return slot[i].get();
  }

  // Delegation state, owned here so that traversal sees it.
  Ref inner;         // iterator currently awaited
  Ref resume_value;  // its return value, for await_resume
  Ref resume_error;  // or the exception it raised
  Ref result;        // the body's co_return value
  std::exception_ptr error;
  // How many times the coroutine has handed a value to its driver: a body
  // compares readings to learn whether an await really suspended.
  unsigned long long suspensions = 0;
};

// Storage of the C++ frames: a few freed blocks of each size are kept for the
// next coroutine of the same body.
void* coro_frame_alloc(size_t size);
void coro_frame_free(void* p, size_t size) noexcept;

struct CoroPromise {
  CoroFrame* frame;
  explicit CoroPromise(CoroFrame& f) noexcept : frame(&f) {}

  static void* operator new(size_t size) { return coro_frame_alloc(size); }
  static void operator delete(void* p, size_t size) noexcept { coro_frame_free(p, size); }

  Coro get_return_object() noexcept {
    return Coro{std::coroutine_handle<CoroPromise>::from_promise(*this)};
  }
  std::suspend_always initial_suspend() noexcept { return {}; }
  std::suspend_always final_suspend() noexcept { return {}; }
  void return_value(Ref v) noexcept { frame->result = std::move(v); }
  void unhandled_exception() noexcept { frame->error = std::current_exception(); }
};

// co_await py_await(obj): awaits any Python awaitable.
struct PyAwait {
  Ref iter;
  CoroFrame* frame = nullptr;

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<CoroPromise> h) noexcept {
    frame = h.promise().frame;
    frame->inner = std::move(iter);
  }
  Ref await_resume() {
    if (frame->resume_error) {
      PyError e(std::move(frame->resume_error));
      throw e;
    }
    return std::move(frame->resume_value);
  }
};

// Resolves obj to the iterator that `await obj` would drive; raises
// TypeError for an object that is not awaitable.
Ref awaitable_iter(PyObject* obj);

inline PyAwait py_await(PyObject* obj) { return PyAwait{awaitable_iter(obj)}; }

using CoroBody = Coro (*)(CoroFrame&);

// Creates the coroutine object; args are stored (new references) in the
// first slots. Nothing of the body runs until the first send.
Ref make_coroutine(ModuleState* st, PyObject* qualname, std::initializer_list<PyObject*> args,
                   CoroBody body);

// A coroutine whose body never suspends: a plain function run at the first
// send, with no C++ frame to allocate (the lease's asynchronous entry and
// exit).
using ImmediateBody = Ref (*)(CoroFrame&);
Ref make_immediate(ModuleState* st, PyObject* qualname, std::initializer_list<PyObject*> args,
                   ImmediateBody body);

// Type spec for module start-up.
extern PyType_Spec coroutine_spec;

}  // namespace varnhold
