"""The coroutine bridge, driven through the test-only _bridge_probe extension:
C++ coroutines that await Python awaitables, seen by asyncio as coroutines."""

import asyncio
import gc
import sys
import types
import unittest
import weakref

import _bridge_probe as probe
from support import VirtualTimeCase


class Gen:
    """An awaitable whose iterator is a generator that records what is
    thrown in and whether it was closed."""

    def __init__(self, result="done", on_throw="raise"):
        self.result, self.on_throw = result, on_throw
        self.thrown, self.closed, self.coro, self.seen_running = [], False, None, None

    def __await__(self):
        try:
            if self.coro is not None:
                self.seen_running = self.coro.cr_running
            try:
                yield "tick"
            except GeneratorExit:
                raise
            except BaseException as e:
                self.thrown.append(e)
                if self.on_throw == "return":
                    return "recovered"
                if self.on_throw == "yield":
                    yield "again"
                    return self.result
                raise
            return self.result
        finally:
            self.closed = True


class Ready:
    """Finishes without yielding."""

    def __init__(self, value):
        self.value = value

    def __await__(self):
        return self.value
        yield  # pragma: no cover


class NoThrow:
    """An awaitable whose iterator has no throw() and no close()."""

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "tick"


class Callback:
    def __init__(self):
        self.calls = 0

    def __call__(self):
        self.calls += 1


def finish(coro, value=None):
    """Sends value and returns what the coroutine returned."""
    try:
        coro.send(value)
    except StopIteration as e:
        return e.value
    raise AssertionError("coroutine did not finish")


class ProtocolTest(unittest.TestCase):
    def setUp(self):
        self.guards = probe.live_guards()

    def tearDown(self):
        self.assertEqual(probe.live_guards(), self.guards)

    def test_is_a_coroutine_with_names(self):
        c = probe.await_one(Ready(1))
        self.assertTrue(asyncio.iscoroutine(c))
        self.assertEqual((c.__qualname__, c.__name__), ("await_one", "await_one"))
        self.assertIs(c.__await__(), c)
        self.assertFalse(c.cr_running)
        c.close()

    def test_send_and_return_a_tuple(self):
        g = Gen(result=("a", 1))
        c = probe.await_one(g)
        with self.assertRaisesRegex(TypeError, "non-None value to a just-started"):
            c.send(5)
        self.assertEqual(c.send(None), "tick")  # yielded unchanged
        self.assertEqual(finish(c), ("got", ("a", 1)))
        with self.assertRaisesRegex(RuntimeError, "cannot reuse already awaited coroutine"):
            c.send(None)
        self.assertIsNone(c.close())

    def test_next_steps_like_send_none(self):
        c = probe.await_one(Gen())
        self.assertEqual(next(c), "tick")
        with self.assertRaises(StopIteration) as cm:
            next(c)
        self.assertEqual(cm.exception.value, ("got", "done"))

    def test_two_awaits_without_yielding_finish_in_one_step(self):
        self.assertEqual(finish(probe.await_twice(Ready("x"), Ready(("y",)))), ("x", ("y",)))
        c = probe.await_twice(Ready(1), Gen(result=2))
        self.assertEqual(c.send(None), "tick")
        self.assertEqual(finish(c), (1, 2))

    def test_throw_forms_reach_the_awaited_iterator_then_the_body(self):
        try:
            raise ValueError("with tb")
        except ValueError as e:
            tb = e.__traceback__
        exc = ValueError("instance")
        for args in ((exc,), (ValueError,), (ValueError, "text"), (ValueError, None, tb)):
            g = Gen()
            c = probe.await_catch(g, ValueError)
            c.send(None)
            with self.assertRaises(StopIteration) as cm:
                c.throw(*args)
            tag, caught = cm.exception.value
            self.assertEqual(tag, "caught")
            self.assertIsInstance(caught, ValueError)
            self.assertEqual(g.thrown, [caught])
            if args[0] is exc:
                self.assertIs(caught, exc)

    def test_throw_handled_by_the_awaited_iterator(self):
        c = probe.await_one(Gen(on_throw="return"))
        c.send(None)
        with self.assertRaises(StopIteration) as cm:
            c.throw(KeyError("k"))
        self.assertEqual(cm.exception.value, ("got", "recovered"))
        c = probe.await_one(Gen(on_throw="yield", result="later"))
        c.send(None)
        self.assertEqual(c.throw(KeyError("k")), "again")
        self.assertEqual(finish(c), ("got", "later"))

    def test_uncaught_throw_propagates_and_ends_the_coroutine(self):
        cb = Callback()
        c = probe.await_catch(Gen(), ValueError, cb)
        c.send(None)
        with self.assertRaises(KeyError):
            c.throw(KeyError("k"))
        self.assertEqual(cb.calls, 1)
        with self.assertRaises(RuntimeError):
            c.send(None)
        with self.assertRaises(IndexError):  # thrown into a finished coroutine
            c.throw(IndexError)

    def test_throw_into_iterator_without_throw_goes_to_the_body(self):
        c = probe.await_catch(NoThrow(), LookupError)
        self.assertEqual(c.send(None), "tick")
        with self.assertRaises(StopIteration) as cm:
            c.throw(KeyError("k"))
        self.assertEqual(cm.exception.value[0], "caught")
        c = probe.await_one(NoThrow())
        c.send(None)
        c.close()  # no close() on the iterator: nothing to call

    def test_throw_before_start_closes_the_coroutine(self):
        cb = Callback()
        c = probe.await_one(Gen(), cb)
        with self.assertRaises(ValueError):
            c.throw(ValueError("early"))
        with self.assertRaises(RuntimeError):
            c.send(None)
        self.assertEqual(cb.calls, 0)  # the body never ran

    def test_throw_argument_errors(self):
        c = probe.await_one(Gen())
        c.send(None)
        for args in ((), (1,), (ValueError("x"), "v"), (ValueError, None, "tb"),
                     (ValueError, 1, 2, 3), (int,)):
            with self.assertRaises(TypeError, msg=repr(args)):
                c.throw(*args)
        self.assertEqual(finish(c), ("got", "done"))  # still suspended, unharmed

    def test_close_unfinished_runs_destructors_and_closes_the_iterator(self):
        cb, g = Callback(), Gen()
        c = probe.await_one(g, cb)
        c.send(None)
        self.assertEqual(probe.live_guards(), self.guards + 1)
        self.assertIsNone(c.close())
        self.assertTrue(g.closed)
        self.assertEqual(cb.calls, 1)
        self.assertEqual(probe.live_guards(), self.guards)
        c.close()
        self.assertEqual(cb.calls, 1)
        with self.assertRaises(RuntimeError):
            c.send(None)

    def test_close_before_start_and_dropping_unfinished(self):
        cb = Callback()
        probe.await_one(Gen(), cb).close()
        self.assertEqual(cb.calls, 0)
        g = Gen()
        c = probe.await_one(g, cb)
        c.send(None)
        del c  # dropped while suspended: finalised like close()
        self.assertEqual((cb.calls, g.closed), (1, True))

    def test_dropped_before_it_ever_ran_warns_as_a_coroutine_does(self):
        import warnings
        import varnhold
        lb = varnhold.LoadBalancer()
        key = ("m", frozenset(), "t")
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            lb.select(key, [])  # dropped at once
            gc.collect()
            started = lb.select(key, [])
            with self.assertRaises(StopIteration):
                started.send(None)
            probe.await_one(Gen(), None).close()  # closed, not dropped
            del started
            gc.collect()
        messages = [(w.category, str(w.message)) for w in seen]
        self.assertEqual(messages, [(RuntimeWarning,
                                     "coroutine 'LoadBalancer.select' was never awaited")])

    def test_generator_exit_closes_the_awaited_iterator_first(self):
        cb, g = Callback(), Gen()
        c = probe.await_one(g, cb)
        c.send(None)
        with self.assertRaises(GeneratorExit):
            c.throw(GeneratorExit)
        self.assertEqual((g.closed, g.thrown, cb.calls), (True, [], 1))

        done = []

        def stubborn():
            while True:
                try:
                    yield "tick"
                except GeneratorExit:
                    if done:
                        raise

        it = stubborn()
        c = probe.await_one(types.SimpleNamespace(__await__=lambda: it))
        with self.assertRaises(TypeError):  # __await__ is looked up on the type
            c.send(None)
        Stubborn = type("Stubborn", (), {"__await__": lambda self: it})
        c = probe.await_one(Stubborn())
        c.send(None)
        with self.assertRaisesRegex(RuntimeError, "ignored GeneratorExit"):
            c.throw(GeneratorExit)
        done.append(True)

    def test_reentry_from_the_awaited_iterator_is_refused(self):
        for reenter in (lambda c: c.send(None), lambda c: c.throw(ValueError("x")),
                        lambda c: c.close()):
            errors = []

            class Reenter:
                def __await__(self):
                    try:
                        reenter(self.coro)
                    except ValueError as e:
                        errors.append(str(e))
                    return "back"
                    yield  # pragma: no cover

            r = Reenter()
            c = r.coro = probe.await_one(r)
            self.assertEqual(finish(c), ("got", "back"))
            self.assertEqual(errors, ["coroutine already executing"])
            del r.coro

    def test_running_while_the_awaited_iterator_runs(self):
        g = Gen()
        c = g.coro = probe.await_one(g)
        c.send(None)
        self.assertIs(g.seen_running, True)
        self.assertFalse(c.cr_running)
        finish(c)
        g.coro = None

    def test_errors_from_the_body(self):
        with self.assertRaisesRegex(TypeError, "object int can't be used in 'await' expression"):
            probe.await_one(5).send(None)
        BadAwait = type("BadAwait", (), {"__await__": lambda self: 5})
        with self.assertRaisesRegex(TypeError, "non-iterator"):
            probe.await_one(BadAwait()).send(None)

        def stop():
            raise StopIteration(7)

        with self.assertRaisesRegex(RuntimeError, "coroutine raised StopIteration") as cm:
            probe.call(stop).send(None)
        self.assertIsInstance(cm.exception.__cause__, StopIteration)

        def fail():
            raise LookupError("body")

        with self.assertRaises(LookupError):
            probe.call(fail).send(None)
        self.assertEqual(finish(probe.call(lambda: (1, 2))), (1, 2))

    def test_no_references_left_behind(self):
        payload, cb, g, exc = object(), Callback(), Gen(), KeyError("k")
        objs = (payload, cb, g, exc)
        before = [sys.getrefcount(o) for o in objs]
        for _ in range(50):
            g.result = payload
            c = probe.await_one(g, cb)              # finished
            c.send(None)
            result = finish(c)
            del c, result
            c = probe.await_one(g, cb)              # closed unfinished
            c.send(None)
            c.close()
            c = probe.await_catch(g, KeyError, cb)  # thrown in and caught
            c.send(None)
            try:
                c.throw(exc)
            except StopIteration:
                pass
            c = probe.await_one(g, cb)              # thrown in, uncaught
            c.send(None)
            try:
                c.throw(exc)
            except KeyError:
                pass
            del c
            g.thrown.clear()
            g.result = None
            exc.__traceback__ = None
            exc.__context__ = None
        self.assertEqual([sys.getrefcount(o) for o in objs], before)


class AsyncioTest(VirtualTimeCase):
    """Under asyncio, on an event loop with a fake clock: its timers and
    time-outs fire in the same order on every machine."""

    async def asyncSetUp(self):
        self.loop = asyncio.get_running_loop()
        self.guards = probe.live_guards()

    async def asyncTearDown(self):
        self.assertEqual(probe.live_guards(), self.guards)

    def later(self, value, delay=0.001):
        fut = self.loop.create_future()
        self.loop.call_later(delay, fut.set_result, value)
        return fut

    async def test_await_create_task_ensure_future_gather(self):
        self.assertEqual(await probe.await_one(self.later(("t", 1))), ("got", ("t", 1)))
        self.assertEqual(await asyncio.create_task(probe.await_one(self.later(2))), ("got", 2))
        self.assertEqual(await asyncio.ensure_future(probe.await_one(asyncio.sleep(0, 3))),
                         ("got", 3))
        results = await asyncio.gather(probe.await_one(self.later(1, 0.002)),
                                       probe.await_twice(self.later("a"), self.later("b")),
                                       probe.await_catch(self.later(4), ValueError))
        self.assertEqual(results, [("got", 1), ("a", "b"), ("got", 4)])

    async def test_exception_set_on_the_future(self):
        fut = self.loop.create_future()
        err = ValueError("from future")
        self.loop.call_soon(fut.set_exception, err)
        tag, caught = await probe.await_catch(fut, ValueError)
        self.assertEqual(tag, "caught")
        self.assertIs(caught, err)
        fut = self.loop.create_future()
        self.loop.call_soon(fut.set_exception, KeyError("k"))
        with self.assertRaises(KeyError):
            await probe.await_catch(fut, ValueError)

    async def test_wait_for_time_out_comes_out_as_timeout_error(self):
        fut, cb = self.loop.create_future(), Callback()
        with self.assertRaises(TimeoutError):
            await asyncio.wait_for(probe.await_one(fut, cb), 0.01)
        self.assertTrue(fut.cancelled())
        self.assertEqual(cb.calls, 1)
        self.assertEqual(await asyncio.wait_for(probe.await_one(self.later(5)), 5), ("got", 5))

    async def test_time_out_inside_the_body_is_caught_there(self):
        # The time-out cancels the task driving the body; the injected
        # cancellation must reach wait_for's own coroutine to become TimeoutError.
        fut = self.loop.create_future()
        tag, caught = await probe.await_catch(asyncio.wait_for(fut, 0.01), TimeoutError)
        self.assertEqual(tag, "caught")
        self.assertIsInstance(caught, TimeoutError)
        self.assertTrue(fut.cancelled())

    async def test_cancellation_reaches_the_inner_await_and_comes_back_out(self):
        fut, cb = self.loop.create_future(), Callback()
        task = asyncio.create_task(probe.await_one(fut, cb))
        await asyncio.sleep(0)
        self.assertEqual(probe.live_guards(), self.guards + 1)
        task.cancel("stop")
        with self.assertRaises(asyncio.CancelledError):
            await task
        self.assertTrue(fut.cancelled())
        self.assertTrue(task.cancelled())
        self.assertEqual(cb.calls, 1)

    async def test_cancellation_caught_by_the_body(self):
        fut = self.loop.create_future()
        task = asyncio.create_task(probe.await_catch(fut, asyncio.CancelledError))
        await asyncio.sleep(0)
        task.cancel()
        tag, caught = await task
        self.assertEqual(tag, "caught")
        self.assertIsInstance(caught, asyncio.CancelledError)
        self.assertFalse(task.cancelled())
        self.assertTrue(fut.cancelled())

    async def test_cancel_between_two_awaits(self):
        second = self.loop.create_future()
        task = asyncio.create_task(probe.await_twice(Ready("first"), second))
        await asyncio.sleep(0)  # the first await finished at once; parked on the second
        task.cancel()
        with self.assertRaises(asyncio.CancelledError):
            await task
        self.assertTrue(second.cancelled())

    async def test_pending_cycle_through_slots_is_collected(self):
        contexts = []
        self.loop.set_exception_handler(lambda loop, ctx: contexts.append(ctx))
        self.addCleanup(self.loop.set_exception_handler, None)

        class Holder:
            destroyed = 0

            def __call__(self):
                Holder.destroyed += 1

        fut = self.loop.create_future()
        holder = Holder()
        task = asyncio.create_task(probe.await_one(fut, holder))
        await asyncio.sleep(0)  # now parked on fut: fut -> task -> coroutine -> fut
        holder.task = task      # holder, in the coroutine's slots, -> task
        fut.add_done_callback(lambda f, h=holder: h)
        refs = [weakref.ref(o) for o in (holder, task, fut)]
        del fut, holder, task
        gc.collect()
        self.assertEqual([r() for r in refs], [None, None, None])
        self.assertEqual(Holder.destroyed, 1)
        self.assertTrue(any("pending" in c.get("message", "") for c in contexts))

    async def test_no_references_left_after_tasks(self):
        payload, cb = object(), Callback()
        before = (sys.getrefcount(payload), sys.getrefcount(cb))
        for _ in range(20):
            self.assertEqual(await probe.await_one(self.later(payload, 0), cb), ("got", payload))
            fut = self.loop.create_future()
            task = asyncio.create_task(probe.await_catch(fut, KeyError, cb))
            await asyncio.sleep(0)
            task.cancel()
            with self.assertRaises(asyncio.CancelledError):
                await task
            del task, fut
        gc.collect()
        self.assertEqual((sys.getrefcount(payload), sys.getrefcount(cb)), before)


if __name__ == "__main__":
    unittest.main()
