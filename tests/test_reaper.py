"""The in-flight reaper loop, run as a task with a short interval on an event
loop with a fake clock: the loop's time-outs and the reaper's sleeps fire in the
same order on every machine."""

import asyncio
import logging
import types
import unittest
from unittest import mock

import varnhold
from support import VirtualTimeCase

TICK = 0.005


class Base(VirtualTimeCase):
    def setUp(self):
        self.lb = varnhold.LoadBalancer()
        self.sleeps = []
        real_sleep = asyncio.sleep

        def counting_sleep(delay, *args):
            self.sleeps.append(delay)
            return real_sleep(delay, *args)

        # The loop looks its sleep up on the module's asyncio at every use.
        fake_asyncio = types.SimpleNamespace(sleep=counting_sleep,
                                             CancelledError=asyncio.CancelledError)
        patcher = mock.patch.object(varnhold, "asyncio", fake_asyncio)
        patcher.start()
        self.addCleanup(patcher.stop)

    def start(self, lister=None, interval=TICK, lb=None):
        task = asyncio.create_task(varnhold.inflight_reaper_loop(
            self.lb if lb is None else lb, interval_sec=interval, list_running_servers=lister))
        self.addCleanup(task.cancel)
        return task

    async def until(self, predicate, timeout=2.0):
        async def poll():
            while not predicate():
                await asyncio.sleep(TICK / 2)
        await asyncio.wait_for(poll(), timeout)

    async def stop(self, task):
        task.cancel()
        with self.assertRaises(asyncio.CancelledError):
            await task

    def counts(self, **counts):
        for sid, n in counts.items():
            for _ in range(n):
                self.lb.increment(int(sid[1:]))


class Reaping(Base):
    async def test_without_a_lister_it_only_sleeps(self):
        task = self.start(lb=object())
        await self.until(lambda: len(self.sleeps) >= 3)
        self.assertEqual(set(self.sleeps), {TICK})
        await self.stop(task)

    async def test_first_reaping_comes_after_one_interval(self):
        calls = []

        async def lister():
            calls.append(len(self.sleeps))
            return []

        self.start(lister)
        await self.until(lambda: len(calls) >= 2)
        self.assertEqual(calls[:2], [1, 2])

    async def test_unlisted_servers_are_cleared_in_key_order(self):
        self.counts(s3=2, s1=1, s2=5)

        async def lister():
            return [{"id": 2, "name": "kept"}, {"id": "1"}]  # text protects nothing

        with self.assertLogs("varnhold", logging.WARNING) as logs:
            self.start(lister)
            await self.until(lambda: list(self.lb.inflight) == [2])
        self.assertEqual(self.lb.inflight, {2: 5})
        messages = [(r.msg, r.args) for r in logs.records]
        self.assertEqual(messages, [("Force-cleared inflight=%d for server %s", (2, 3)),
                                    ("Force-cleared inflight=%d for server %s", (1, 1))])

    async def test_keys_are_copied_after_the_answer(self):
        async def lister():
            self.lb.increment(7)  # a lease entered while the host answers
            await asyncio.sleep(0)
            return [{"id": 8}]

        with self.assertLogs("varnhold", logging.WARNING):
            self.start(lister)
            await self.until(lambda: len(self.sleeps) >= 2 and not self.lb.inflight)

    async def test_negative_interval_still_lets_others_run(self):
        ran = []

        async def other():
            for _ in range(5):
                ran.append(1)
                await asyncio.sleep(0)

        async def lister():
            return [{"id": 1}]

        self.counts(s1=1)
        self.start(lister, interval=-1)
        await asyncio.wait_for(other(), 1)
        self.assertEqual(len(ran), 5)
        self.assertEqual(self.lb.inflight, {1: 1})


class Failures(Base):
    async def assert_warns_each_iteration(self, lister, text):
        self.lb.inflight.clear()
        self.counts(s1=1)
        with self.assertLogs("varnhold", logging.WARNING) as logs:
            task = self.start(lister)
            await self.until(lambda: len(logs.records) >= 3)
        for r in logs.records:
            self.assertEqual(r.msg, "inflight reaper iteration failed: %s")
            self.assertEqual(str(r.args[0]), text)
            self.assertIsNone(r.exc_info)
        self.assertEqual(self.lb.inflight, {1: 1})
        self.assertFalse(task.done())
        await self.stop(task)

    async def test_host_list_failures(self):
        async def raises():
            raise RuntimeError("registry down")

        async def no_id():
            return [{"id": 2}, {"name": "x"}]

        async def not_iterable():
            return 5

        for lister, text in [(raises, "registry down"), (no_id, "'id'"),
                             (not_iterable, "'int' object is not iterable"),
                             (lambda: [], "object list can't be used in 'await' expression")]:
            with self.subTest(text):
                await self.assert_warns_each_iteration(lister, text)

    async def test_cancellation_logs_nothing(self):
        entered = asyncio.Event()

        async def lister():
            entered.set()
            await asyncio.sleep(10)

        with self.assertNoLogs("varnhold", logging.WARNING):
            task = self.start(interval=10)  # cancelled during its sleep
            await asyncio.sleep(0)
            await self.stop(task)
            task = self.start(lister)  # cancelled while the host answers
            await entered.wait()
            await self.stop(task)

    async def test_interval_that_is_not_a_number_ends_the_task(self):
        with self.assertLogs("varnhold", logging.WARNING) as logs:
            task = self.start(interval="soon")
            with self.assertRaises(TypeError):
                await asyncio.wait_for(task, 1)
        self.assertEqual(len(logs.records), 1)
        self.assertEqual(logs.records[0].msg, "inflight reaper iteration failed: %s")

    async def test_base_exceptions_end_the_loop(self):
        class Stop(BaseException):
            pass

        async def lister():
            raise Stop()

        with self.assertNoLogs("varnhold", logging.WARNING):
            task = self.start(lister)
            with self.assertRaises(Stop):
                await asyncio.wait_for(task, 1)


class Interface(unittest.TestCase):
    def test_signature(self):
        lb = varnhold.LoadBalancer()
        with self.assertRaisesRegex(TypeError, "takes 1 positional argument but 2 were given"):
            varnhold.inflight_reaper_loop(lb, 30.0)
        with self.assertRaisesRegex(TypeError, "missing 1 required positional argument: 'lb'"):
            varnhold.inflight_reaper_loop()
        coro = varnhold.inflight_reaper_loop(lb=lb, interval_sec=1.0, list_running_servers=None)
        self.assertTrue(asyncio.iscoroutine(coro))
        self.assertEqual(coro.__qualname__, "inflight_reaper_loop")
        coro.close()


if __name__ == "__main__":
    unittest.main()
