"""Parking requests on busy backends: wait_for_slot, the hand-over of freed
slots (_try_admit, _wake_one, _fulfill) and the removal of waiters."""

import asyncio
import functools
import gc
import random
import subprocess
import sys
import textwrap
import types
import unittest

import varnhold
from support import VirtualTimeCase, patch_module, rec

PK = ("model", frozenset({1}), "tier")

one_slot = functools.partial(rec, cap=1)  # a backend that takes one request at a time


class Base(VirtualTimeCase):
    """The event loop and the balancer share one fake clock (`self.clock`)."""

    START = 100.0

    def setUp(self):
        self.lb = varnhold.LoadBalancer()
        self.setting("QUEUE_ENABLED", True)
        self.clock.install(self)

    def setting(self, name, value):
        patch_module(self, **{name: value})

    def fake_clock(self, now=START):
        """The clock, set to `now` before anything is scheduled, its readings forgotten."""
        self.clock.now = now
        self.clock.calls.clear()
        return self.clock

    def fill(self, *records):
        for r in records:
            self.lb.increment(r["id"])

    async def park(self, *args, **kwargs):
        """Starts wait_for_slot as a task and lets it reach its wait."""
        task = asyncio.create_task(self.lb.wait_for_slot(*args, **kwargs))
        await asyncio.sleep(0)
        return task

    async def cancel(self, *tasks):
        for t in tasks:
            t.cancel()
        for r in await asyncio.gather(*tasks, return_exceptions=True):
            self.assertIsInstance(r, asyncio.CancelledError)

    def assert_unparked(self):
        self.assertEqual(self.lb._waiters, {})
        self.assertEqual(self.lb._all_waiters, [])

    def waiter(self, candidates, tokens=100, queued_at=99.0, boost=10.0):
        """A waiter parked by hand, as wait_for_slot parks one."""
        fut = asyncio.get_running_loop().create_future()
        w = varnhold._Waiter(PK, list(candidates), tokens, fut, queued_at, boost)
        for r in candidates:
            self.lb._waiters.setdefault(r["id"], varnhold.deque()).append(w)
        self.lb._all_waiters.append(w)
        return w


class EarlyAnswers(Base):
    async def test_queue_disabled_reads_nothing_and_counts_nothing(self):
        self.setting("QUEUE_ENABLED", False)

        class Untouchable:
            def __iter__(self):
                raise AssertionError("candidates read")

        self.assertEqual(await self.lb.wait_for_slot(PK, Untouchable(), 1),
                         (None, "queue_disabled", 0.0))
        self.assertEqual(self.lb.reject_counts, {})

    async def test_no_backends_with_reasons_read_at_call_time(self):
        self.assertEqual(await self.lb.wait_for_slot(PK, [], 1), (None, "no_backends", 0.0))
        self.setting("RejectReason", types.SimpleNamespace(NO_BACKENDS="nb"))
        result = await self.lb.wait_for_slot(PK, [one_slot(1), one_slot(2)], 1, sin_binned={1, 2})
        self.assertEqual(result, (None, "nb", 0.0))
        self.assertEqual(self.lb.reject_counts, {"no_backends": 1, "nb": 1})
        self.assert_unparked()

    async def test_drain_rule_and_sin_bin(self):
        cases = [  # candidates, sin_binned, parked on
            ([one_slot(1, weight=0), {"id": 2, "max_concurrency": 1}, one_slot(3, weight=-1)],
             {3}, [1, 2]),
            ([one_slot(4, weight=0), one_slot(5, weight=2), one_slot(6, weight=None)], None, [5]),
            ([one_slot(7), one_slot(8)], set(), [7, 8]),
        ]
        for candidates, sin_binned, ids in cases:
            self.fill(*candidates)
            task = await self.park(PK, candidates, 1, sin_binned=sin_binned)
            self.assertEqual(sorted(self.lb._waiters), ids)
            self.assertEqual([r["id"] for r in self.lb._all_waiters[0].candidates], ids)
            await self.cancel(task)
            self.assert_unparked()


class Ceiling(Base):
    async def test_ceiling_counts_every_pool_and_refuses_a_free_backend(self):
        full = [one_slot(10), one_slot(11)]
        self.fill(*full)
        parked = [await self.park(("other", frozenset(), ""), full, 1) for _ in range(8)]
        a, b = one_slot(1), one_slot(2)
        # Ceiling of [a, b]: (1 + 1) * 4 = 8, reached by the other pool's waiters.
        self.assertEqual(await self.lb.wait_for_slot(PK, [a, b], 1), (None, "queue_full", 0.0))
        self.assertEqual(self.lb.reject_counts, {"queue_full": 1})
        await self.cancel(parked.pop())
        self.assertEqual((await self.lb.wait_for_slot(PK, [a, b], 1))[:2], (a, "ok"))
        await self.cancel(*parked)
        self.assert_unparked()

    async def test_no_configured_cap_means_no_ceiling(self):
        for _ in range(4):  # superfast lets an uncapped server have 4
            self.lb.increment(1)
        parked = [await self.park(PK, [rec(1, cap=0)], 1) for _ in range(20)]
        self.assertEqual(len(self.lb._all_waiters), 20)
        await self.cancel(*parked)


class Admission(Base):
    async def test_free_slot_is_handed_over_at_once(self):
        a, b, c = one_slot(1), one_slot(2), one_slot(3)
        self.fill(a)
        backend, reason, waited = await self.lb.wait_for_slot(PK, [a, b, c], 1)
        self.assertIs(backend, b)
        self.assertEqual(reason, "ok")
        self.assertEqual((type(waited), waited), (float, 0.0))
        self.assertEqual(self.lb.dispatch_counts, {2: 1})
        self.assertEqual(list(self.lb.queue_wait_samples), [waited])
        self.assertEqual(self.lb.inflight, {1: 1})
        self.assert_unparked()

    async def test_ttl_of_zero_or_less_is_passed_on(self):
        a = one_slot(1)
        for ttl in (0.0, -5.0):
            self.setting("QUEUE_TTL_SEC", ttl)
            self.assertEqual((await self.lb.wait_for_slot(PK, [a], 1))[:2], (a, "ok"))
        self.fill(a)
        self.assertEqual((await self.lb.wait_for_slot(PK, [a], 1))[:2], (None, "queue_timeout"))
        self.assert_unparked()

    async def test_waiter_fields_are_fixed_when_parking(self):
        clock = self.fake_clock(50.0)
        self.setting("QUEUE_DEADLINE_BOOST_SEC", 7.5)
        a, b = one_slot(1), one_slot(2, weight=0)
        self.fill(a)
        candidates = [a, b]
        task = await self.park(PK, candidates, 123)
        w = self.lb._all_waiters[0]
        self.assertIs(type(w), varnhold._Waiter)
        self.assertEqual((w.pool_key, w.candidates, w.estimated_tokens, w.queued_at,
                          w.boost_after_sec), (PK, [a], 123, 50.0, 7.5))
        self.assertIsNot(w.candidates, candidates)
        self.lb.set_routing_mode("queue_all")
        self.assertEqual(w.boost_after_sec, 7.5)
        clock.now = 52.0
        self.lb.decrement(1)
        self.assertEqual(await task, (a, "ok", 2.0))

        self.fill(a)
        task = await self.park(PK, [a], 1)
        self.assertEqual(self.lb._all_waiters[0].boost_after_sec, 0.0)
        await self.cancel(task)


class WakeOrder(Base):
    def wake_all(self, sid, waiters):
        """Wakes until every waiter is served; the order they were served in."""
        order = []
        for _ in waiters:
            self.lb._wake_one(sid)
            done = [w for w in waiters if w.future.done() and w not in order]
            self.assertEqual(len(done), 1, "exactly one hand-over per call")
            order += done
        return order

    async def test_boosted_first_then_smallest_estimate(self):
        self.fake_clock(100.0)
        s = rec(1, cap=0)
        a = self.waiter([s], tokens=5000, queued_at=85.0)
        b = self.waiter([s], tokens=100, queued_at=95.0)
        c = self.waiter([s], tokens=9000, queued_at=80.0)
        d = self.waiter([s], tokens=50, queued_at=99.0)
        e = self.waiter([s], tokens=100, queued_at=90.0)  # exactly at its deadline
        self.assertEqual(self.wake_all(1, [a, b, c, d, e]), [c, a, e, d, b])
        self.assertIs(c.future.result(), s)
        self.assertEqual(self.lb.dispatch_counts, {1: 5})
        self.assert_unparked()

    async def test_queue_all_first_come_and_stable_ties(self):
        self.fake_clock(1e6)
        s = rec(1, cap=5)
        x = self.waiter([s], tokens=10, queued_at=5.0, boost=0.0)  # never boosted
        y = self.waiter([s], tokens=10, queued_at=1.0, boost=0.0)
        z = self.waiter([s], tokens=1, queued_at=3.0, boost=0.0)
        self.assertEqual(self.wake_all(1, [x, y, z]), [z, x, y])
        self.lb.set_routing_mode("queue_all")
        x, y, z = (self.waiter([s], tokens=t, queued_at=q) for t, q in ((1, 3.0), (100, 1.0), (10, 1.0)))
        self.assertEqual(self.wake_all(1, [x, y, z]), [y, z, x])

    async def test_keys_that_are_not_plain_numbers(self):
        self.fake_clock(100.0)
        s = rec(1, cap=0)
        big, mid, small = (self.waiter([s], tokens=t) for t in (3, 2.5, True))
        self.assertEqual(self.wake_all(1, [big, mid, small]), [small, mid, big])
        self.waiter([s], tokens="many")
        self.waiter([s], tokens=7)
        with self.assertRaises(TypeError):
            self.lb._wake_one(1)

    async def test_is_boosted_is_asked_through_the_waiter(self):
        self.fake_clock(100.0)
        calls = []

        class Eager(varnhold._Waiter):
            def is_boosted(self, now):
                calls.append(now)
                return True

        s = rec(1, cap=0)
        late, early = self.waiter([s], tokens=1, queued_at=50.0), self.waiter([s], queued_at=10.0)
        late.__class__ = early.__class__ = Eager
        self.lb._wake_one(1)
        self.assertTrue(early.future.done())
        self.assertEqual(calls, [100.0, 100.0])
        # Patched on one record, or on the class itself.
        late, early = self.waiter([s], tokens=1, queued_at=50.0), self.waiter([s], queued_at=10.0)
        early.is_boosted = lambda now: calls.append(now) or True
        self.lb._wake_one(1)
        self.assertTrue(early.future.done())
        self.assertFalse(late.future.done())

    async def test_nothing_read_without_waiters(self):
        clock = self.fake_clock()
        self.lb._waiters[1] = varnhold.deque()
        class Unreadable(str):
            def __eq__(self, other):
                raise AssertionError("routing mode read")

        self.lb._routing_mode = Unreadable("superfast")
        self.lb._wake_one(1)
        self.lb._wake_one(2)
        self.assertEqual((clock.reads, list(self.lb._waiters)), (0, [1]))

    async def test_done_waiters_are_passed_over(self):
        self.fake_clock()
        s, t = rec(1, cap=0), rec(2, cap=0)
        gone = self.waiter([s, t])
        gone.future.cancel()
        self.lb._wake_one(1)
        self.assertEqual(dict(self.lb._waiters), {2: varnhold.deque([gone])})
        self.assertEqual(self.lb._all_waiters, [gone])
        live = self.waiter([t])
        self.lb._wake_one(2)
        self.assertIs(live.future.result(), t)
        self.assertEqual(list(self.lb._waiters[2]), [gone])
        self.assertEqual(self.lb.dispatch_counts, {2: 1})

    async def test_refused_waiter_stays_and_a_later_one_passes(self):
        self.fake_clock()
        self.lb.set_routing_mode("max_concurrency")
        tight, roomy = one_slot(1), rec(1, cap=2)
        self.fill(tight)
        first, second = self.waiter([tight], tokens=1), self.waiter([roomy], tokens=2)
        self.lb._wake_one(1)
        self.assertIs(second.future.result(), roomy)  # its own record
        self.lb._wake_one(1)
        self.assertFalse(first.future.done())
        self.assertEqual(list(self.lb._waiters[1]), [first])
        self.assertEqual(self.lb.inflight, {1: 1})


class TimeOutAndCancellation(Base):
    async def test_time_out(self):
        clock = self.fake_clock(100.0)
        self.setting("QUEUE_TTL_SEC", 0.02)
        a, b = one_slot(1), one_slot(2)
        self.fill(a, b)
        task = await self.park(PK, [a, b], 1)
        self.lb.set_routing_mode("queue_all")  # 600 s: the running wait keeps its ttl
        clock.now = 130.5
        self.assertEqual(await asyncio.wait_for(task, 5), (None, "queue_timeout", 30.5))
        self.assertEqual(self.lb.reject_counts, {"queue_timeout": 1})
        self.assertEqual(len(self.lb.queue_wait_samples), 0)
        self.assert_unparked()

    async def test_cancel_while_parked(self):
        a, b = one_slot(1), one_slot(2)
        self.fill(a, b)
        await self.cancel(await self.park(PK, [a, b], 1))
        self.assert_unparked()
        self.assertEqual((self.lb.reject_counts, self.lb.dispatch_counts), ({}, {}))

    async def test_cancelled_after_the_hand_over(self):
        a = one_slot(1)
        self.fill(a)
        task = await self.park(PK, [a], 1)
        self.lb.decrement(1)  # handed the slot, then cancelled before it resumes
        await self.cancel(task)
        self.assert_unparked()
        self.assertEqual(self.lb.dispatch_counts, {1: 1})

    async def test_closed_or_collected_coroutine_unparks_and_cancels(self):
        a = one_slot(1)
        self.fill(a)
        for end in ("close", "collect"):
            coro = self.lb.wait_for_slot(PK, [a], 1)
            coro.send(None)
            (waiter,) = self.lb._all_waiters
            if end == "close":
                coro.close()
            else:
                del coro
                gc.collect()
            self.assert_unparked()
            self.assertTrue(waiter.future.cancelled(), end)

    async def test_close_raises_what_the_unparking_raises(self):
        a = one_slot(1)

        class Failing(varnhold.LoadBalancer):
            def _remove_waiter(self, waiter):
                super()._remove_waiter(waiter)
                raise KeyError("unparking failed")

        self.lb = Failing()
        self.fill(a)
        coro = self.lb.wait_for_slot(PK, [a], 1)
        coro.send(None)
        with self.assertRaisesRegex(KeyError, "unparking failed"):
            coro.close()  # as a Python coroutine's close() raises it
        self.assertEqual(self.lb._all_waiters, [])


class HandedSlotPassedOn(Base):
    """A request handed a slot in the very turn in which its wait ends by
    cancellation or time-out leaves nobody to use that slot: it goes on to
    the next request parked on the backend."""

    async def park_two(self):
        a = one_slot(1)
        self.fill(a)
        first = await self.park(PK, [a], 1)  # the smaller estimate: woken first
        second = await self.park(PK, [a], 2)
        return a, first, second

    async def assert_passed_on(self, a, second):
        self.assertEqual(self.lb._all_waiters, [])  # second was handed the slot
        self.assertEqual(self.lb.dispatch_counts, {1: 2})  # both hand-overs stay booked
        self.assertEqual((await second)[:2], (a, "ok"))
        self.assert_unparked()

    async def test_cancelled_in_the_turn_of_its_hand_over(self):
        a, first, second = await self.park_two()
        self.lb.decrement(1)
        first.cancel()
        with self.assertRaises(asyncio.CancelledError):
            await first
        await self.assert_passed_on(a, second)
        self.assertEqual(self.lb.reject_counts, {})

    async def test_timed_out_in_the_turn_of_its_hand_over(self):
        deadlines = []

        async def wait_for(future, timeout):  # asyncio.wait_for, its deadline in our hands
            async with asyncio.timeout(None) as deadline:
                deadlines.append(deadline)
                return await future

        self.setting("asyncio", types.SimpleNamespace(**{**vars(asyncio), "wait_for": wait_for}))
        a, first, second = await self.park_two()
        asyncio.get_running_loop().call_soon(self.lb.decrement, 1)
        deadlines[0].reschedule(float("-inf"))  # runs out right after that hand-over
        self.assertEqual((await first)[:2], (None, "queue_timeout"))
        await self.assert_passed_on(a, second)
        self.assertEqual(self.lb.reject_counts, {"queue_timeout": 1})


class Faults(Base):
    async def test_ttl_that_is_not_a_number(self):
        self.setting("QUEUE_TTL_SEC", "soon")
        a = one_slot(1)
        self.fill(a)
        with self.assertRaises(TypeError):
            await self.lb.wait_for_slot(PK, [a], 1)
        self.assert_unparked()
        self.assertEqual(self.lb.reject_counts, {})

    async def test_failing_immediate_admission_unparks(self):
        futures = []

        def refuse(server, pool, pool_key=None):
            futures.append(self.lb._all_waiters[0].future)
            raise ValueError("bad cap")

        self.lb._under_capacity = refuse
        with self.assertRaisesRegex(ValueError, "bad cap"):
            await self.lb.wait_for_slot(PK, [one_slot(1)], 1)
        self.assert_unparked()
        self.assertTrue(futures[0].cancelled())

    async def test_failure_half_way_through_parking_unparks(self):
        a, b = one_slot(1), one_slot(2)
        self.fill(a, b)
        self.lb._waiters[2] = None  # no deque to append to
        with self.assertRaises(AttributeError):
            await self.lb.wait_for_slot(PK, [a, b], 1)
        self.assertEqual((self.lb._waiters, self.lb._all_waiters), ({2: None}, []))


class Removal(Base):
    async def test_repeated_removal_and_fulfil_of_a_done_waiter(self):
        s, t = one_slot(1), one_slot(2)
        w, other = self.waiter([s, t]), self.waiter([t])
        self.lb._remove_waiter(w)
        self.lb._remove_waiter(w)
        self.assertEqual(dict(self.lb._waiters), {2: varnhold.deque([other])})
        self.assertEqual(self.lb._all_waiters, [other])
        other.future.cancel()
        self.lb._fulfill(other, t)
        self.assertEqual((self.lb._all_waiters, self.lb.dispatch_counts), ([other], {}))

    async def test_waiters_equal_only_themselves(self):
        s = one_slot(1)
        waiters = [self.waiter([s]) for _ in range(5)]
        self.lb._remove_waiter(waiters[3])
        del waiters[3]
        self.assertEqual((self.lb._all_waiters, list(self.lb._waiters[1])), (waiters, waiters))

    async def test_other_objects_are_compared_as_usual(self):
        seen = []

        class Nosy:
            def __eq__(self, other):
                seen.append(other)
                return False

        w, nosy = self.waiter([one_slot(1)]), Nosy()
        self.lb._all_waiters.insert(0, nosy)
        self.lb._waiters[1].appendleft(nosy)
        self.lb._remove_waiter(w)
        self.assertEqual(seen, [w, w])
        self.assertEqual((self.lb._all_waiters, list(self.lb._waiters[1])), ([nosy], [nosy]))

    async def test_fields_compared_by_their_own_code_are_compared(self):
        seen = []

        class Key(tuple):
            def __eq__(self, other):
                seen.append(other)
                return tuple.__eq__(self, other)

            __hash__ = tuple.__hash__

        s, key = one_slot(1), Key(PK)
        first, second = self.waiter([s]), self.waiter([s])
        first.pool_key = second.pool_key = key
        # Each search passes `first`, whose generated __eq__ compares the
        # pool keys before the futures that tell the two apart.
        self.lb._remove_waiter(second)
        self.assertEqual(seen, [key, key])
        self.assertEqual((self.lb._all_waiters, list(self.lb._waiters[1])), ([first], [first]))


class ReplacedContainers(Base):
    """State containers the host replaced are used as Python code uses them:
    through their own methods, by name."""

    async def test_subclass_methods_are_called_in_the_algorithm_order(self):
        calls = []

        def traced(base, *names):
            def make(name):
                def method(self, *args):
                    calls.append((name, args[0] if args and base is dict else None))
                    return getattr(base, name)(self, *args)
                return method
            return type("Traced" + base.__name__, (base,), {n: make(n) for n in names})

        self.lb._waiters = traced(dict, "get", "setdefault", "pop")()
        self.lb._all_waiters = traced(list, "append", "remove")()
        self.lb.queue_wait_samples = traced(varnhold.deque, "append")(maxlen=512)
        a = one_slot(1)
        self.fill(a)
        task = await self.park(PK, [a], 1)
        self.lb.decrement(1)
        self.assertEqual((await task)[:2], (a, "ok"))
        self.assertEqual(calls, [("setdefault", 1), ("append", None),  # parking
                                 ("get", 1),  # the wake-up
                                 ("get", 1), ("pop", 1), ("remove", None),  # unparking
                                 ("append", None)])  # the wait sample

    async def test_containers_without_the_method(self):
        a = one_slot(1)
        cases = [  # attribute, replacement, the method missing last
            ("_waiters", [], "get"),  # setdefault, then the unparking's get
            ("_all_waiters", {}, "remove"),  # append, then the unparking's remove
            ("queue_wait_samples", {}, "append"),
        ]
        for attr, value, method in cases:
            self.lb = varnhold.LoadBalancer()
            setattr(self.lb, attr, value)
            with self.assertRaisesRegex(AttributeError, f"object has no attribute '{method}'"):
                await self.lb.wait_for_slot(PK, [a], 1)
        self.lb._waiters = ()
        with self.assertRaisesRegex(AttributeError, "'tuple' object has no attribute 'get'"):
            self.lb._wake_one(1)
        with self.assertRaisesRegex(AttributeError, "'tuple' object has no attribute 'get'"):
            self.lb._remove_waiter(varnhold._Waiter(PK, [a], 1, None, 1.0))


class ChangedRecordClass(unittest.TestCase):
    def test_changes_to_the_record_class_are_seen(self):
        # In a fresh interpreter: a changed class stays changed for the process.
        script = textwrap.dedent("""
            import asyncio, varnhold
            async def main():
                lb, s = varnhold.LoadBalancer(), {"id": 1, "max_concurrency": 0}
                loop = asyncio.get_running_loop()
                def park(tokens, queued_at):
                    w = varnhold._Waiter(("m", frozenset(), ""), [s], tokens,
                                         loop.create_future(), queued_at, 10.0)
                    lb._waiters.setdefault(1, varnhold.deque()).append(w)
                    lb._all_waiters.append(w)
                    return w
                varnhold._Waiter.is_boosted = lambda w, now: True
                small, old = park(1, 1e9), park(9, 1.0)
                lb._wake_one(1)
                assert old.future.done() and not small.future.done()
                varnhold._Waiter.__eq__ = lambda a, b: True
                other = park(5, 2.0)
                lb._remove_waiter(other)  # every record now equals it: the first goes
                assert lb._all_waiters == [other] and lb._all_waiters[0] is other
            asyncio.run(main())
            print("ok")
        """)
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
        self.assertEqual((run.stdout.strip(), run.stderr), ("ok", ""))


class BadInput(Base):
    async def test_errors_before_anything_is_parked(self):
        with self.assertRaises(TypeError):
            await self.lb.wait_for_slot(PK, [one_slot(1, weight="heavy")], 1)
        with self.assertRaises(KeyError) as cm:
            await self.lb.wait_for_slot(PK, [{"weight": 1}], 1)
        self.assertEqual(cm.exception.args, ("id",))
        with self.assertRaises(TypeError):
            await self.lb.wait_for_slot(PK, 5, 1)
        self.assert_unparked()
        self.assertEqual(self.lb.reject_counts, {})

    def test_signatures(self):
        with self.assertRaisesRegex(TypeError, "takes 4 positional arguments but 5 were given"):
            self.lb.wait_for_slot(PK, [], 1, set())
        with self.assertRaisesRegex(TypeError, "missing 1 required positional argument"):
            self.lb.wait_for_slot(PK, [])
        coro = self.lb.wait_for_slot(PK, [], 1, sin_binned=None)
        self.assertTrue(asyncio.iscoroutine(coro))
        coro.close()
        w = varnhold._Waiter(PK, [], 1, None, 1.0)
        self.assertIs(w.is_boosted(now=1e9), False)
        with self.assertRaises(TypeError):
            w.is_boosted()


class NoLeaks(Base):
    async def test_references_do_not_grow(self):
        self.setting("QUEUE_TTL_SEC", 0.0)
        a = one_slot(1)

        async def rounds():
            self.fill(a)
            await self.lb.wait_for_slot(PK, [a], 1)  # times out at once
            await self.cancel(await self.park(PK, [a], 1))
            self.lb.decrement(1)
            await self.lb.wait_for_slot(PK, [a], 1)  # admitted at once

        await rounds()
        gc.collect()
        before = sys.getrefcount(a), sys.getrefcount(PK)
        for _ in range(200):
            await rounds()
        gc.collect()
        self.assertEqual((sys.getrefcount(a), sys.getrefcount(PK)), before)


@unittest.skipUnless(hasattr(varnhold.LoadBalancer, "select"), "needs select")
class Scenario(Base):
    """Twenty concurrent requests on two backends of one slot each: select,
    then wait_for_slot when select finds nothing, then a lease held briefly."""

    def setUp(self):
        super().setUp()
        self.setting("QUEUE_MAX_DEPTH_MULTIPLIER", 10)  # a ceiling of 20
        self.rng = random.Random(20)

    async def request(self, i, backends, hold):
        be = await self.lb.select(PK, backends, algorithm="least_connections")
        if be is None:
            self.parked.append(i)
            be, reason, _ = await self.lb.wait_for_slot(PK, backends, 100 + i)
            if be is None:
                return reason
        with varnhold.InflightLease(self.lb, be["id"]):
            self.served.append(i)
            await asyncio.sleep(hold)
        return "ok"

    async def run_all(self, order=range(20), hold=(0.001, 0.005), cancel_some=False):
        """Each request holds its lease for a time drawn between the two of `hold`."""
        self.parked, self.served = [], []
        backends = [one_slot(1), one_slot(2)]
        tasks = {i: asyncio.create_task(self.request(i, backends, self.rng.uniform(*hold)))
                 for i in order}
        if cancel_some:
            while len(self.parked) < 18:
                await asyncio.sleep(0)
            for i in [i for i in self.parked if i not in self.served][::3]:
                tasks[i].cancel()
        results = await asyncio.gather(*tasks.values(), return_exceptions=True)
        self.assert_unparked()
        self.assertEqual(self.lb.inflight, {})
        self.assertEqual(len(self.served), len(set(self.served)))
        return ["cancelled" if isinstance(r, asyncio.CancelledError) else r for r in results]

    async def test_every_request_served_once(self):
        self.assertEqual(await self.run_all(), ["ok"] * 20)
        self.assertEqual(len(self.served), 20)
        self.assertEqual(sum(self.lb.dispatch_counts.values()), 20)
        self.assertEqual(len(self.lb.queue_wait_samples), len(self.parked))

    async def test_wake_order_of_each_mode(self):
        shuffled = self.rng.sample(range(20), 20)
        await self.run_all(order=shuffled, hold=(0.001, 0.001))
        woken = [i for i in self.served if i in self.parked]
        self.assertEqual(woken, sorted(woken))  # smallest estimate (100 + i) first
        self.lb.set_routing_mode("queue_all")
        await self.run_all(order=shuffled)
        self.assertEqual([i for i in self.served if i in self.parked], self.parked)

    async def test_cancellations_and_timeouts_lose_nothing(self):
        self.setting("QUEUE_TTL_SEC", 0.012)
        outcomes = await self.run_all(hold=(0.002, 0.006), cancel_some=True)
        self.assertIn("cancelled", outcomes)
        self.assertIn("queue_timeout", outcomes)
        self.assertEqual(set(outcomes) - {"ok", "queue_timeout", "cancelled"}, set())
        self.assertEqual(outcomes.count("ok"), len(self.served))
        self.assertEqual(self.lb.reject_counts.get("queue_timeout", 0),
                         outcomes.count("queue_timeout"))


if __name__ == "__main__":
    unittest.main()
