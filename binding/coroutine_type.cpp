// The coroutine object that drives a C++ coroutine for asyncio.
//
// One stepping core, step(), serves am_send, tp_iternext, send() and throw().
// It is a loop, not a recursion: an awaited iterator that finishes without
// yielding (an uncontended asyncio.Lock.acquire()) resumes the body at once,
// and the body's next await is driven within the same step.
#include "binding/types.h"
#include "varnhold/coro.h"

#include <new>

#include "varnhold/boundary.h"
#include "varnhold/module_state.h"

namespace varnhold {

namespace {


// Destroys the C++ frame: its destructors act as `finally` blocks.
void destroy_frame(CoroObject* c) noexcept {
  if (c->handle) {
    auto h = c->handle;
    c->handle = nullptr;
    h.destroy();
  }
}

void clear_frame_refs(CoroObject* c) noexcept {
  for (auto& r : c->frame.slot) r.reset();
  c->frame.inner.reset();
  c->frame.resume_value.reset();
  c->frame.resume_error.reset();
  c->frame.result.reset();
  c->frame.error = nullptr;
}

// Runs the body until its next suspension or its end.
void resume_body(CoroObject* c) { c->handle.resume(); }

// Marks the coroutine as executing for a whole step: while the body runs and
// while the awaited iterator is driven, as a generator's frame stays
// executing during `yield from`. A send, throw or close that re-enters from
// there is refused instead of destroying the frame under the running step.
class Running {
 public:
  explicit Running(CoroObject* c) noexcept : c_(c) { c_->running = true; }
  Running(const Running&) = delete;
  ~Running() { c_->running = false; }

 private:
  CoroObject* c_;
};

// The body has finished: hands back its result or its exception.
PySendResult finish(CoroObject* c, PyObject** out) {
  std::exception_ptr err = c->frame.error;
  Ref result = std::move(c->frame.result);
  destroy_frame(c);
  clear_frame_refs(c);
  if (err) {
    try {
      std::rethrow_exception(err);
    } catch (PyError& e) {
      e.restore();
      // A StopIteration leaving the body would read as a return to whoever
      // drives the coroutine; like a Python coroutine, turn it into an error.
      if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* stop = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        PyObject* err = PyErr_GetRaisedException();
        PyException_SetContext(err, Py_NewRef(stop));
        PyException_SetCause(err, stop);
        PyErr_SetRaisedException(err);
      }
    } catch (std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (std::exception& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception in coroutine");
    }
    *out = nullptr;
    return PYGEN_ERROR;
  }
  *out = result ? result.release() : Py_NewRef(Py_None);
  return PYGEN_RETURN;
}

// Forwards a thrown exception to the awaited iterator, as `yield from` does.
// Without a `throw` method the exception goes to the body directly.
PySendResult throw_into_inner(PyObject* inner, PyObject* exc, PyObject** out) {
  PyObject* meth = nullptr;
  if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
    // GeneratorExit closes the awaited iterator first; the body then gets
    // the error of that close, if any, or the GeneratorExit itself.
    *out = nullptr;
    if (PyObject_GetOptionalAttrString(inner, "close", &meth) < 0) return PYGEN_ERROR;
    if (meth) {
      PyObject* r = PyObject_CallNoArgs(meth);
      Py_DECREF(meth);
      if (!r) return PYGEN_ERROR;
      Py_DECREF(r);
    }
    PyErr_SetRaisedException(Py_NewRef(exc));
    return PYGEN_ERROR;
  }
  if (PyObject_GetOptionalAttrString(inner, "throw", &meth) < 0) {
    *out = nullptr;
    return PYGEN_ERROR;
  }
  if (!meth) {
    PyErr_SetRaisedException(Py_NewRef(exc));
    *out = nullptr;
    return PYGEN_ERROR;
  }
  PyObject* r = PyObject_CallOneArg(meth, exc);
  Py_DECREF(meth);
  if (r) {
    *out = r;
    return PYGEN_NEXT;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyObject* e = PyErr_GetRaisedException();
    PyObject* v = PyObject_GetAttrString(e, "value");
    Py_DECREF(e);
    *out = v;
    return v ? PYGEN_RETURN : PYGEN_ERROR;
  }
  *out = nullptr;
  return PYGEN_ERROR;
}

// The single step of an immediate body.
PySendResult step_immediate(CoroObject* c, PyObject* send_value, PyObject* thrown, PyObject** out) {
  ImmediateBody body = c->immediate;
  c->immediate = nullptr;
  if (thrown) {
    clear_frame_refs(c);
    PyErr_SetRaisedException(Py_NewRef(thrown));
    return PYGEN_ERROR;
  }
  if (send_value != Py_None) {
    c->immediate = body;
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
  }
  c->started = true;
  c->running = true;
  try {
    Ref r = body(c->frame);
    c->running = false;
    clear_frame_refs(c);
    *out = r ? r.release() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
  } catch (...) {
    c->running = false;
    PyObject* err = nullptr;
    {
      // Keep the error across the clearing of the frame.
      translate_exception();
      err = PyErr_GetRaisedException();
    }
    clear_frame_refs(c);
    PyErr_SetRaisedException(err);
    return PYGEN_ERROR;
  }
}

// send_value: the value sent (borrowed); thrown: an exception to throw in,
// or NULL.
PySendResult step(CoroObject* c, PyObject* send_value, PyObject* thrown, PyObject** out) {
  *out = nullptr;
  if (c->running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
  }
  if (c->immediate) return step_immediate(c, send_value, thrown, out);
  if (!c->handle) {
    if (thrown) {
      PyErr_SetRaisedException(Py_NewRef(thrown));
    } else {
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    }
    return PYGEN_ERROR;
  }
  Running running(c);
  try {
    Ref pending = Ref::borrow(thrown);
    Ref value = Ref::borrow(send_value);
    if (!c->started) {
      if (pending) {
        // Thrown into a coroutine that never ran: it ends with that error.
        destroy_frame(c);
        clear_frame_refs(c);
        PyErr_SetRaisedException(pending.release());
        return PYGEN_ERROR;
      }
      if (value.get() != Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
      }
      c->started = true;
      resume_body(c);
    }
    for (;;) {
      if (c->handle.done()) return finish(c, out);
      PyObject* r = nullptr;
      PySendResult st;
      // Hold the iterator: the body may replace frame.inner when resumed.
      Ref inner = c->frame.inner.dup();
      if (pending) {
        st = throw_into_inner(inner.get(), pending.get(), &r);
        pending.reset();
      } else {
        st = PyIter_Send(inner.get(), value ? value.get() : Py_None, &r);
      }
      if (st == PYGEN_NEXT) {
        ++c->frame.suspensions;
        *out = r;
        return PYGEN_NEXT;
      }
      c->frame.inner.reset();
      if (st == PYGEN_RETURN) {
        c->frame.resume_value = Ref::steal(r);
      } else {
        c->frame.resume_error = Ref::steal(PyErr_GetRaisedException());
      }
      value.reset();
      resume_body(c);
    }
  } catch (PyError& e) {
    e.restore();
    return PYGEN_ERROR;
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
    return PYGEN_ERROR;
  }
}

// Sets StopIteration(value) for a finished coroutine.
PyObject* raise_stop(PyObject* value) {
  if (value == Py_None) {
    Py_DECREF(value);
    PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  }
  PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
  Py_DECREF(value);
  if (exc) {
    PyErr_SetObject(PyExc_StopIteration, exc);
    Py_DECREF(exc);
  }
  return nullptr;
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) {
  return step(as_coro(self), arg, nullptr, out);
}

PyObject* coro_iternext(PyObject* self) {
  PyObject* out = nullptr;
  PySendResult st = step(as_coro(self), Py_None, nullptr, &out);
  if (st == PYGEN_NEXT) return out;
  if (st == PYGEN_RETURN) {
    if (out == Py_None) {
      Py_DECREF(out);
      return nullptr;  // exhausted, no error set
    }
    return raise_stop(out);
  }
  return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
  PyObject* out = nullptr;
  PySendResult st = step(as_coro(self), arg, nullptr, &out);
  if (st == PYGEN_NEXT) return out;
  if (st == PYGEN_RETURN) return raise_stop(out);
  return nullptr;
}

// throw(value), throw(type[, value[, traceback]]).
PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    if (nargs > 3) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    }
    return nullptr;
  }
  PyObject* typ = args[0];
  PyObject* val = nargs > 1 ? args[1] : Py_None;
  PyObject* tb = nargs > 2 ? args[2] : Py_None;
  Ref exc;
  if (PyExceptionInstance_Check(typ)) {
    if (val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Ref::borrow(typ);
  } else if (PyExceptionClass_Check(typ)) {
    if (PyExceptionInstance_Check(val) && PyObject_TypeCheck(val, (PyTypeObject*)typ)) {
      exc = Ref::borrow(val);
    } else if (val == Py_None) {
      exc = Ref::steal(PyObject_CallNoArgs(typ));
    } else if (PyTuple_Check(val)) {
      exc = Ref::steal(PyObject_Call(typ, val, nullptr));
    } else {
      exc = Ref::steal(PyObject_CallOneArg(typ, val));
    }
    if (!exc) return nullptr;
    if (!PyExceptionInstance_Check(exc.get())) {
      PyErr_Format(PyExc_TypeError,
                   "calling %R should have returned an instance of BaseException, not %s", typ,
                   Py_TYPE(exc.get())->tp_name);
      return nullptr;
    }
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return nullptr;
  }
  if (tb != Py_None) {
    if (!PyTraceBack_Check(tb)) {
      PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
      return nullptr;
    }
    if (PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
  }
  PyObject* out = nullptr;
  PySendResult st = step(as_coro(self), Py_None, exc.get(), &out);
  if (st == PYGEN_NEXT) return out;
  if (st == PYGEN_RETURN) return raise_stop(out);
  return nullptr;
}

// close(), as a generator closes: GeneratorExit is thrown in at the point of
// suspension (the awaited iterator is closed first), so that the body's own
// handlers run and an error they raise reaches the caller. A body that was
// never started only has its frame destroyed.
int close_impl(CoroObject* c) {
  if (c->running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return -1;
  }
  if (c->immediate) {
    c->immediate = nullptr;
    clear_frame_refs(c);
    return 0;
  }
  if (!c->handle) return 0;
  if (!c->started) {
    destroy_frame(c);
    clear_frame_refs(c);
    return 0;
  }
  Ref exit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
  if (!exit) return -1;
  PyObject* out = nullptr;
  PySendResult r = step(c, Py_None, exit.get(), &out);
  if (r == PYGEN_NEXT) {
    Py_DECREF(out);
    destroy_frame(c);
    clear_frame_refs(c);
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return -1;
  }
  if (r == PYGEN_RETURN) {
    Py_DECREF(out);
    return 0;
  }
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();  // the close ended the body as intended
    return 0;
  }
  return -1;
}

PyObject* coro_close(PyObject* self, PyObject*) {
  if (close_impl(as_coro(self)) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

// A coroutine dropped before it ever ran warns, as the interpreter's own do:
// a host that forgot an `await` learns of it.
void warn_never_awaited(CoroObject* c) {
  PyObject* name = c->qualname ? c->qualname : Py_None;
  if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", name) < 0) {
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(c));
  }
}

void coro_finalize(PyObject* self) {
  CoroObject* c = as_coro(self);
  if (!c->handle && !c->immediate) return;
  PyObject* exc = PyErr_GetRaisedException();
  if (!c->started) warn_never_awaited(c);
  if (close_impl(c) < 0) PyErr_WriteUnraisable(self);
  PyErr_SetRaisedException(exc);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
  CoroObject* c = as_coro(self);
  Py_VISIT(Py_TYPE(self));
  for (auto& r : c->frame.slot) Py_VISIT(r.get());
  Py_VISIT(c->frame.inner.get());
  Py_VISIT(c->frame.resume_value.get());
  Py_VISIT(c->frame.resume_error.get());
  Py_VISIT(c->frame.result.get());
  return 0;
}

int coro_clear(PyObject* self) {
  CoroObject* c = as_coro(self);
  destroy_frame(c);
  clear_frame_refs(c);
  return 0;
}

void coro_dealloc(PyObject* self) {
  CoroObject* co = as_coro(self);
  // Only an unfinished body has anything to finalise.
  if ((co->handle || co->immediate) && PyObject_CallFinalizerFromDealloc(self) < 0) return;
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  CoroObject* c = as_coro(self);
  destroy_frame(c);
  clear_frame_refs(c);
  Py_CLEAR(c->qualname);
  c->frame.~CoroFrame();
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* coro_get_qualname(PyObject* self, void*) {
  PyObject* q = as_coro(self)->qualname;
  return Py_NewRef(q ? q : Py_None);
}

PyObject* coro_get_name(PyObject* self, void*) {
  PyObject* q = as_coro(self)->qualname;
  if (!q) Py_RETURN_NONE;
  Py_ssize_t dot = PyUnicode_FindChar(q, '.', 0, PyUnicode_GET_LENGTH(q), -1);
  if (dot < 0) return dot == -1 ? Py_NewRef(q) : nullptr;
  return PyUnicode_Substring(q, dot + 1, PyUnicode_GET_LENGTH(q));
}

PyObject* coro_get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_coro(self)->running);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "Sends a value into the coroutine."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL, "Raises an exception inside the coroutine."},
    {"close", coro_close, METH_NOARGS, "Closes the coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__qualname__", coro_get_qualname, nullptr, nullptr, nullptr},
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec coroutine_spec = {
    "varnhold.coroutine",
    sizeof(CoroObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    coro_slots,
};

}  // namespace varnhold
