// C++20 coroutines presented to asyncio as coroutine objects: the runtime
// that the balancer's awaitable operations are written in.
//
// A body is a C++ coroutine `Coro body(CoroFrame& f)`. Everything it keeps
// across a suspension lives in the frame's slots, which the coroutine object
// owns and which its traversal visits; the C++ frame itself holds only
// borrowed pointers into them and short-lived temporaries. Each body names
// its slots with an enum whose last member counts them:
//
//   enum Slot : int { kSelf, kPoolKey, kPick, kSlotCount };
//   Ref r = co_await py_await(f[kPick]);   // delegates like `yield from`
//
// The object is an instance of the module's coroutine type; its protocol
// (send, throw, close, finalisation) is binding/coroutine_type.cpp.
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

// A body's slot enum fits the frame.
template <int Count>
constexpr bool slots_fit() {
  return Count <= CoroFrame::kSlots;
}

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
// A body that never suspends: a plain function run at the first send, with
// no C++ frame to allocate (the lease's asynchronous entry and exit).
using ImmediateBody = Ref (*)(CoroFrame&);

// The coroutine object's layout.
struct CoroObject {
  PyObject_HEAD
  CoroFrame frame;
  std::coroutine_handle<CoroPromise> handle;
  ImmediateBody immediate;  // set until an immediate body has run
  PyObject* qualname;
  bool started;
  bool running;
};

inline CoroObject* as_coro(PyObject* o) { return reinterpret_cast<CoroObject*>(o); }

// Creates the coroutine object; args are stored (new references) in the
// first slots, and there must be no more of them than slots. Nothing of the
// body runs until the first send.
Ref make_coroutine(ModuleState* st, PyObject* qualname, std::initializer_list<PyObject*> args,
                   CoroBody body);
Ref make_immediate(ModuleState* st, PyObject* qualname, std::initializer_list<PyObject*> args,
                   ImmediateBody body);

}  // namespace varnhold
