// The coroutine runtime: awaiting Python awaitables from C++ bodies, the
// storage of C++ frames, and the creation of coroutine objects.
#include "varnhold/coro.h"

#include <new>

#include "varnhold/module_state.h"

namespace varnhold {

Ref awaitable_iter(PyObject* obj) {
  if (PyCoro_CheckExact(obj)) return Ref::borrow(obj);
  PyAsyncMethods* am = Py_TYPE(obj)->tp_as_async;
  if (!am || !am->am_await) {
    raise_format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 Py_TYPE(obj)->tp_name);
  }
  Ref it = check(am->am_await(obj));
  if (PyCoro_CheckExact(it.get())) {
    raise(PyExc_TypeError, "__await__() returned a coroutine");
  }
  if (!PyIter_Check(it.get())) {
    raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(it.get())->tp_name);
  }
  return it;
}

namespace {

// Freed frames by size; everything runs under the interpreter's lock.
struct FrameCache {
  static constexpr int kSizes = 8, kPerSize = 16;
  size_t size[kSizes] = {};
  void* blocks[kSizes][kPerSize] = {};
  int count[kSizes] = {};
};
FrameCache frame_cache;

}  // namespace

void* coro_frame_alloc(size_t size) {
  for (int i = 0; i < FrameCache::kSizes; ++i) {
    if (frame_cache.size[i] == size && frame_cache.count[i] > 0) {
      return frame_cache.blocks[i][--frame_cache.count[i]];
    }
  }
  return ::operator new(size);
}

void coro_frame_free(void* p, size_t size) noexcept {
  for (int i = 0; i < FrameCache::kSizes; ++i) {
    if (frame_cache.size[i] == 0) frame_cache.size[i] = size;
    if (frame_cache.size[i] == size) {
      if (frame_cache.count[i] < FrameCache::kPerSize) {
        frame_cache.blocks[i][frame_cache.count[i]++] = p;
        return;
      }
      break;
    }
  }
  ::operator delete(p);
}

namespace {

CoroObject* new_coroutine(ModuleState* st, PyObject* qualname,
                          std::initializer_list<PyObject*> args, Ref* owner) {
  if (args.size() > static_cast<size_t>(CoroFrame::kSlots)) {
    raise(PyExc_SystemError, "coroutine frame has too few slots for its arguments");
  }
  PyTypeObject* tp = st->coroutine_type;
  PyObject* self = PyType_GenericAlloc(tp, 0);
  if (!self) throw PyError();
  CoroObject* c = as_coro(self);
  new (&c->frame) CoroFrame();
  c->handle = nullptr;
  c->immediate = nullptr;
  c->qualname = Py_XNewRef(qualname);
  c->started = false;
  c->running = false;
  *owner = Ref::steal(self);
  c->frame.st = st;
  int i = 0;
  for (PyObject* a : args) c->frame.slot[i++] = Ref::borrow(a);
  return c;
}

}  // namespace

Ref make_immediate(ModuleState* st, PyObject* qualname, std::initializer_list<PyObject*> args,
                   ImmediateBody body) {
  Ref obj;
  CoroObject* c = new_coroutine(st, qualname, args, &obj);
  c->immediate = body;
  return obj;
}

Ref make_coroutine(ModuleState* st, PyObject* qualname, std::initializer_list<PyObject*> args,
                   CoroBody body) {
  Ref obj;
  CoroObject* c = new_coroutine(st, qualname, args, &obj);
  try {
    c->handle = body(c->frame).handle;
  } catch (std::bad_alloc&) {
    raise(PyExc_MemoryError, "cannot allocate coroutine frame");
  }
  return obj;
}

}  // namespace varnhold
