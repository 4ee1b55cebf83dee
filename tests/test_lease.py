"""The in-flight lease: counting once in, uncounting exactly once out, with
`with`, `async with` and streaming-style release()."""

import asyncio
import sys
import unittest

import varnhold


class FlakyWake(varnhold.LoadBalancer):
    """A balancer whose wake-up fails a given number of times."""

    def __init__(self, failures):
        super().__init__()
        self.failures = failures
        self.wakes = 0

    def _wake_one(self, server_id):
        self.wakes += 1
        if self.failures:
            self.failures -= 1
            raise RuntimeError("wake failed")


class LeaseTest(unittest.TestCase):
    def test_attributes(self):
        lb = varnhold.LoadBalancer()
        lease = varnhold.InflightLease(lb, 3)
        self.assertIs(lease.lb, lb)
        self.assertEqual((lease.server_id, lease._released), (3, False))
        self.assertEqual(lb.inflight, {})
        kw = varnhold.InflightLease(server_id=4, lb=lb)
        self.assertEqual((kw.lb, kw.server_id), (lb, 4))

    def test_with_counts_and_uncounts(self):
        lb = varnhold.LoadBalancer()
        lease = varnhold.InflightLease(lb, 7)
        with lease as bound:
            self.assertIs(bound, lease)
            self.assertEqual(lb.get_inflight(7), 1)
        self.assertNotIn(7, lb.inflight)
        self.assertIs(lease._released, True)

    def test_release_then_exit_uncounts_once(self):
        lb = varnhold.LoadBalancer()
        lb.increment(1)
        with varnhold.InflightLease(lb, 1) as lease:
            self.assertEqual(lb.get_inflight(1), 2)
            lease.release()
            self.assertEqual(lb.get_inflight(1), 1)
        self.assertEqual(lb.get_inflight(1), 1)
        lease.release()
        lease.__exit__(None, None, None)
        self.assertEqual(lb.get_inflight(1), 1)

    def test_two_exits_or_two_releases_uncount_once(self):
        for uncount in (lambda l: l.__exit__(None, None, None), lambda l: l.release()):
            lb = varnhold.LoadBalancer()
            lb.increment(2)
            lb.increment(2)
            lease = varnhold.InflightLease(lb, 2)
            lease.__enter__()
            uncount(lease)
            uncount(lease)
            self.assertEqual(lb.get_inflight(2), 2)

    def test_exception_in_body_propagates_after_uncount(self):
        lb = varnhold.LoadBalancer()
        with self.assertRaises(ZeroDivisionError):
            with varnhold.InflightLease(lb, 1):
                1 / 0
        self.assertEqual(lb.inflight, {})
        lease = varnhold.InflightLease(lb, 1)
        lease.__enter__()
        try:
            raise ValueError("x")
        except ValueError:
            self.assertIsNone(lease.__exit__(*sys.exc_info()))
        self.assertEqual(lb.inflight, {})

    def test_release_without_enter(self):
        lb = varnhold.LoadBalancer()
        varnhold.InflightLease(lb, 5).release()
        self.assertEqual(lb.inflight, {5: 0})
        lb.increment(6)
        lb.increment(6)
        varnhold.InflightLease(lb, 6).release()
        self.assertEqual(lb.inflight, {5: 0, 6: 1})

    def test_enter_twice_counts_twice_uncounts_once(self):
        lb = varnhold.LoadBalancer()
        lease = varnhold.InflightLease(lb, 1)
        with lease:
            with lease:
                self.assertEqual(lb.get_inflight(1), 2)
            self.assertEqual(lb.get_inflight(1), 1)
        self.assertEqual(lb.get_inflight(1), 1)
        with lease:  # a released lease counts again and never takes it back
            pass
        self.assertEqual(lb.get_inflight(1), 2)

    def test_failed_decrement_is_retried_by_the_next_release(self):
        lb = FlakyWake(failures=1)
        lease = varnhold.InflightLease(lb, 1)
        lease.__enter__()
        lb.increment(1)
        with self.assertRaisesRegex(RuntimeError, "wake failed"):
            lease.release()
        self.assertIs(lease._released, False)
        self.assertEqual(lb.get_inflight(1), 1)  # the count came down before the wake
        lease.release()
        self.assertIs(lease._released, True)
        self.assertEqual((lb.get_inflight(1), lb.wakes), (0, 2))
        lease.release()
        self.assertEqual(lb.wakes, 2)

    def test_failed_decrement_in_with_propagates_and_exit_can_retry(self):
        lb = varnhold.LoadBalancer()
        calls = []

        def wake(server_id):
            calls.append(server_id)
            if len(calls) == 1:
                raise RuntimeError("wake failed")

        lb._wake_one = wake  # patched on the instance
        lease = varnhold.InflightLease(lb, 9)
        with self.assertRaisesRegex(RuntimeError, "wake failed"):
            with lease:
                pass
        self.assertIs(lease._released, False)
        lease.__exit__(None, None, None)
        self.assertEqual((calls, lease._released), ([9, 9], True))

    def test_failed_increment_skips_the_body(self):
        class Full(varnhold.LoadBalancer):
            def increment(self, server_id):
                raise OverflowError("full")

        ran = []
        with self.assertRaises(OverflowError):
            with varnhold.InflightLease(Full(), 1):
                ran.append(1)
        self.assertEqual(ran, [])

    def test_balancer_overrides_and_duck_typed_balancers(self):
        calls = []

        class Sub(varnhold.LoadBalancer):
            def increment(self, server_id):
                calls.append(("inc", server_id))
                return super().increment(server_id)

            def decrement(self, server_id):
                calls.append(("dec", server_id))
                return super().decrement(server_id)

        lb = Sub()
        with varnhold.InflightLease(lb, 4):
            pass
        self.assertEqual((calls, lb.inflight), ([("inc", 4), ("dec", 4)], {}))

        class Counter:
            def __init__(self):
                self.n = 0

            def increment(self, server_id):
                self.n += 1

            def decrement(self, server_id):
                self.n -= 1

        c = Counter()
        with varnhold.InflightLease(c, 1):
            self.assertEqual(c.n, 1)
        self.assertEqual(c.n, 0)

    def test_attributes_are_read_at_use(self):
        a, b = varnhold.LoadBalancer(), varnhold.LoadBalancer()
        lease = varnhold.InflightLease(a, 1)
        lease.__enter__()
        lease.lb, lease.server_id = b, 2
        lease.release()
        self.assertEqual((a.inflight, b.inflight), ({1: 1}, {2: 0}))
        lease = varnhold.InflightLease(a, 1)
        lease._released = True
        lease.release()
        self.assertEqual(a.inflight, {1: 1})

    def test_host_code_run_while_the_lease_is_read(self):
        lb, other = varnhold.LoadBalancer(), varnhold.LoadBalancer()
        lease = varnhold.InflightLease(lb, 1)

        class Vanishing:
            def __bool__(self):
                del lease._released  # drops the only reference to this flag
                return False

        lease._released = Vanishing()
        lease.release()
        self.assertEqual((lb.inflight, lease._released), ({1: 0}, True))

        class Moving(int):
            def __hash__(self):
                lease.lb, lease.server_id = other, 2
                return int.__hash__(self)

        lease = varnhold.InflightLease(lb, Moving(3))
        lease.__enter__()  # counted where it was read: lb, id 3
        self.assertEqual((lb.inflight, other.inflight), ({1: 0, 3: 1}, {}))

    def test_subclass_attributes_go_through_attribute_lookup(self):
        seen = []

        class Traced(varnhold.InflightLease):
            def __getattribute__(self, name):
                seen.append(name)
                return super().__getattribute__(name)

            def __setattr__(self, name, value):
                seen.append("=" + name)
                super().__setattr__(name, value)

        lb = varnhold.LoadBalancer()
        lease = Traced(lb, 1)
        with lease:
            pass
        lease.release()
        self.assertEqual(seen, ["=lb", "=server_id", "=_released",  # __init__
                                "lb", "server_id",  # __enter__
                                "_released", "lb", "server_id", "=_released",  # __exit__
                                "release", "_released"])
        self.assertEqual(lb.inflight, {})

    def test_bad_input(self):
        lb = varnhold.LoadBalancer()
        for call in (lambda: varnhold.InflightLease(lb),
                     lambda: varnhold.InflightLease(lb, 1, 2),
                     lambda: varnhold.InflightLease(lb, 1, owner=3),
                     lambda: varnhold.InflightLease(lb, lb=lb),
                     lambda: varnhold.InflightLease(lb, 1).__exit__(None, None),
                     lambda: varnhold.InflightLease(lb, 1).__aexit__(),
                     lambda: varnhold.InflightLease(lb, 1).release(1),
                     lambda: varnhold.InflightLease(lb, 1).__enter__(1)):
            with self.assertRaises(TypeError):
                call()
        with self.assertRaisesRegex(TypeError, "takes 3 positional arguments but 5 were given"):
            varnhold.InflightLease(lb, 1, 2, 3)
        with self.assertRaises(TypeError):
            varnhold.InflightLease(lb, []).__enter__()
        with self.assertRaises(AttributeError):
            varnhold.InflightLease(None, 1).__enter__()
        raw = varnhold.InflightLease.__new__(varnhold.InflightLease)
        with self.assertRaises(AttributeError):
            raw.release()
        with self.assertRaises(AttributeError):
            raw.__enter__()
        self.assertEqual(lb.inflight, {})

    def test_no_references_left_behind(self):
        lb = varnhold.LoadBalancer()
        sid = object()
        before = (sys.getrefcount(lb), sys.getrefcount(sid))
        for _ in range(200):
            with varnhold.InflightLease(lb, sid) as lease:
                pass
            del lease
        self.assertEqual((sys.getrefcount(lb), sys.getrefcount(sid)), before)


class AsyncLeaseTest(unittest.IsolatedAsyncioTestCase):
    async def test_async_with_counts_like_with(self):
        lb = varnhold.LoadBalancer()
        lease = varnhold.InflightLease(lb, 7)
        async with lease as bound:
            self.assertIs(bound, lease)
            self.assertEqual(lb.get_inflight(7), 1)
        self.assertEqual(lb.inflight, {})

    async def test_exception_in_async_body_propagates_after_uncount(self):
        lb = varnhold.LoadBalancer()
        with self.assertRaises(KeyError):
            async with varnhold.InflightLease(lb, 1):
                await asyncio.sleep(0)
                {}["missing"]
        self.assertEqual(lb.inflight, {})

    async def test_aenter_and_aexit_are_coroutines_that_do_not_yield(self):
        lb = varnhold.LoadBalancer()
        lease = varnhold.InflightLease(lb, 1)
        enter = lease.__aenter__()
        self.assertTrue(asyncio.iscoroutine(enter))
        self.assertEqual(lb.inflight, {})  # nothing runs before it is awaited
        with self.assertRaises(StopIteration) as cm:
            enter.send(None)
        self.assertIs(cm.exception.value, lease)
        self.assertEqual(lb.inflight, {1: 1})
        exit_ = lease.__aexit__(None, None, None)
        self.assertTrue(asyncio.iscoroutine(exit_))
        with self.assertRaises(StopIteration) as cm:
            exit_.send(None)
        self.assertIsNone(cm.exception.value)
        self.assertEqual(lb.inflight, {})

    async def test_aenter_and_aexit_as_tasks(self):
        lb = varnhold.LoadBalancer()
        lease = varnhold.InflightLease(lb, 2)
        self.assertIs(await asyncio.create_task(lease.__aenter__()), lease)
        self.assertEqual(lb.inflight, {2: 1})
        self.assertIsNone(await asyncio.ensure_future(lease.__aexit__(None, None, None)))
        self.assertEqual(lb.inflight, {})

    async def test_streaming_release_then_exit(self):
        lb = varnhold.LoadBalancer()

        async def stream(lease):
            try:
                for chunk in ("a", "b"):
                    await asyncio.sleep(0)
                    yield chunk
            finally:
                lease.release()

        async with varnhold.InflightLease(lb, 3) as lease:
            chunks = [c async for c in stream(lease)]
            self.assertEqual(lb.inflight, {})
        self.assertEqual((chunks, lb.inflight), (["a", "b"], {}))

    async def test_async_exit_retries_a_failed_decrement(self):
        lb = FlakyWake(failures=1)
        lease = varnhold.InflightLease(lb, 1)
        with self.assertRaisesRegex(RuntimeError, "wake failed"):
            async with lease:
                pass
        self.assertIs(lease._released, False)
        await lease.__aexit__(None, None, None)
        self.assertIs(lease._released, True)
        self.assertEqual(lb.wakes, 2)

    async def test_lease_subclass_methods_are_used_by_async_with(self):
        calls = []

        class Traced(varnhold.InflightLease):
            def __enter__(self):
                calls.append("enter")
                return super().__enter__()

            def __exit__(self, *exc):
                calls.append(("exit", exc[0]))
                return super().__exit__(*exc)

        lb = varnhold.LoadBalancer()
        with self.assertRaises(ValueError):
            async with Traced(lb, 1) as lease:
                self.assertIsInstance(lease, Traced)
                raise ValueError
        self.assertEqual(calls, ["enter", ("exit", ValueError)])
        self.assertEqual(lb.inflight, {})


if __name__ == "__main__":
    unittest.main()
