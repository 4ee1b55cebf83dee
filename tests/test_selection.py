"""Backend selection and the three pick algorithms, driven as a host drives them."""

import asyncio
import gc
import hashlib
import itertools
import random
import unittest
from unittest import mock

import varnhold
from support import FakeClock, patch_module, rec, run_python

KEY = ("model", frozenset({1, 2}), "fast")
OTHER = ("model", frozenset({3}), "fast")


def hrw_winner(records, key):
    """The rendezvous winner computed with hashlib, as the lookup describes it."""
    def score(r):
        text = f"{key}|{r['id']}".encode("utf-8", "surrogatepass")
        return int.from_bytes(hashlib.blake2b(text, digest_size=8).digest(), "big")
    return max(records, key=score) if records else None


class SelectionTest(unittest.IsolatedAsyncioTestCase):
    def setUp(self):
        self.lb = varnhold.LoadBalancer()
        self.lb.set_routing_mode("max_concurrency")

    async def ids(self, cands, n, key=KEY, **kw):
        return [(await self.lb.select(key, cands, **kw))["id"] for _ in range(n)]


class RoundRobin(SelectionTest):
    async def test_worked_sequences(self):
        cands = [rec(1, 5), rec(2, 1), rec(3, 1)]
        self.assertEqual(await self.ids(cands, 7), [1, 1, 2, 1, 3, 1, 1])
        self.assertEqual(self.lb._wrr[KEY], {1: 0.0, 2: 0.0, 3: 0.0})
        self.assertEqual(await self.ids([rec(1), rec(2), rec(3)], 6, OTHER), [1, 2, 3, 1, 2, 3])
        lb = self.lb = varnhold.LoadBalancer()
        self.assertEqual(await self.ids([rec(7, 2), rec(3, 1)], 6), [7, 3, 7, 7, 3, 7])
        self.assertEqual(lb.dispatch_counts, {7: 4, 3: 2})

    async def test_ties(self):
        # Equal current weights: the lower id, whatever the list order.
        self.assertEqual(await self.ids([rec(9), rec(4)], 4), [4, 9, 4, 9])
        # Equal in both keys: the first record in list order.
        a, b = rec(5), rec(5)
        self.assertIs(await self.lb._wrr_pick(OTHER, [a, b]), a)
        self.assertEqual(self.lb._wrr[OTHER], {5: 0.0})

    async def test_weights_as_the_pick_reads_them(self):
        one = rec(1, 7)
        self.assertIs(await self.lb._wrr_pick(KEY, [one]), one)
        self.assertEqual(self.lb._wrr[KEY], {1: 0.0})
        await self.lb._wrr_pick(KEY, [{"id": 1}, rec(2, 0), rec(3, None), rec(4, -1), rec(5, "2.5")])
        # 1.0 + 1.0 + 1.0 - 1.0 + 2.5 = 4.5 taken from the winner (id 5).
        self.assertEqual(self.lb._wrr[KEY], {1: 1.0, 2: 1.0, 3: 1.0, 4: -1.0, 5: -2.0})

    async def test_pruning_and_last_access(self):
        clock = FakeClock(42.0).install(self)
        await self.ids([rec(1), rec(2), rec(3)], 1)
        self.assertEqual(self.lb._wrr[KEY], {1: -2.0, 2: 1.0, 3: 1.0})
        clock.now = 43.5
        self.assertEqual(await self.ids([rec(1), rec(3)], 1), [3])
        self.assertEqual(self.lb._wrr[KEY], {1: -1.0, 3: 0.0})
        self.assertEqual(self.lb._pool_last_access[KEY], 43.5)
        # Id 2 comes back from 0.0 plus its weight.
        self.assertEqual(await self.ids([rec(1), rec(2), rec(3)], 1), [2])
        self.assertEqual(self.lb._wrr[KEY], {1: 0.0, 2: -2.0, 3: 1.0})

    async def test_failure_inside_the_lock(self):
        bad = [rec(1, 2), rec(2, "heavy"), rec(3)]
        with self.assertRaises(ValueError):
            await self.lb._wrr_pick(KEY, bad)
        self.assertFalse(self.lb._lock_for(KEY).locked())
        self.assertEqual(self.lb._wrr[KEY], {1: 2.0}, "weights before the failure stay")
        self.assertNotIn(KEY, self.lb._pool_last_access)
        with self.assertRaises(TypeError):  # an id that cannot be negated
            await self.lb._wrr_pick(OTHER, [rec("a"), rec("b")])
        self.assertEqual(self.lb._wrr[OTHER], {"a": 1.0, "b": 1.0})
        self.assertFalse(self.lb._lock_for(OTHER).locked())
        with self.assertRaises(ValueError):
            await self.lb._wrr_pick(("x", frozenset(), "y"), [])

    async def test_odd_values_are_handled_like_any_others(self):
        huge = 10**30
        cands = [rec(huge, huge, huge), rec(-huge, 1.5, huge)]
        self.assertEqual(await self.ids(cands, 2), [huge, huge])
        self.assertEqual(self.lb._wrr[KEY], {huge: 0.0, -huge: 3.0})

    async def test_concurrent_selects_wait_for_the_pool_lock(self):
        cands = [rec(1, 2), rec(2, 1)]
        lock = self.lb._lock_for(KEY)
        await lock.acquire()
        first = asyncio.create_task(self.lb.select(KEY, cands))
        second = asyncio.create_task(self.lb.select(KEY, cands))
        elsewhere = await self.lb.select(OTHER, cands)  # another pool does not wait
        self.assertEqual(elsewhere["id"], 1)
        await asyncio.sleep(0)
        self.assertFalse(first.done() or second.done())
        self.assertEqual(self.lb.dispatch_counts, {1: 1})
        lock.release()
        self.assertEqual([(await first)["id"], (await second)["id"]], [1, 2])
        self.assertEqual(self.lb._wrr[KEY], {1: 1.0, 2: -1.0})
        self.assertEqual(self.lb.dispatch_counts, {1: 2, 2: 1})

    async def test_cancelled_while_waiting(self):
        lock = self.lb._lock_for(KEY)
        await lock.acquire()
        task = asyncio.create_task(self.lb.select(KEY, [rec(1), rec(2)]))
        await asyncio.sleep(0)
        task.cancel()
        with self.assertRaises(asyncio.CancelledError):
            await task
        lock.release()
        self.assertEqual((self.lb._wrr, self.lb.dispatch_counts, self.lb._pool_last_access),
                         ({}, {}, {}))
        self.assertFalse(lock.locked())
        self.assertEqual((await self.lb.select(KEY, [rec(1), rec(2)]))["id"], 1)

    async def test_pool_lock_is_entered_through_its_methods(self):
        entered = []
        real_acquire = asyncio.Lock.acquire

        async def acquire(lock):
            entered.append(lock)
            return await real_acquire(lock)

        with mock.patch.object(asyncio.Lock, "acquire", acquire):
            await self.lb.select(KEY, [rec(1)])
        self.assertEqual(entered, [self.lb._lock_for(KEY)])

        class CountingLock(asyncio.Lock):
            exits = []

            async def __aexit__(self, *exc):
                self.exits.append(exc[0])
                return await super().__aexit__(*exc)

        self.lb._locks[OTHER] = CountingLock()
        await self.lb._wrr_pick(OTHER, [rec(1)])
        with self.assertRaises(KeyError):
            await self.lb._wrr_pick(OTHER, [{"weight": 1}])
        self.assertEqual(CountingLock.exits, [None, KeyError])


class LeastConnections(SelectionTest):
    def pick(self, *records):
        return self.lb._least_connections_pick(list(records))["id"]

    def test_ratio_then_count_then_id(self):
        self.lb.inflight.update({1: 3, 2: 1})
        self.assertEqual(self.pick(rec(1, 2), rec(2, 1)), 2)
        self.lb.inflight.update({1: 4, 2: 2})
        self.assertEqual(self.pick(rec(1, 2), rec(2, 1)), 2, "equal ratios: fewer in flight")
        self.lb.inflight.update({1: 2, 2: 2})
        self.assertEqual(self.pick(rec(2, 1), rec(1, 1)), 1, "then the lower id")
        a, b = rec(3), rec(3)
        self.assertIs(self.lb._least_connections_pick([a, b]), a)

    def test_weights(self):
        self.lb.inflight.update({1: 0, 2: 5, 3: 1})
        self.assertEqual(self.pick(rec(1, -1), rec(2, 1)), 2, "a negative weight never wins")
        self.assertEqual(self.pick(rec(2, -1), rec(3, -5)), 3, "unless all are negative")
        self.assertEqual(self.pick(rec(2, 0), {"id": 3}), 3, "no weight scores the plain count")
        with self.assertRaises(ValueError):
            self.lb._least_connections_pick([])
        with self.assertRaises(ValueError):
            self.lb._least_connections_pick([rec(1, "x")])


class Sticky(SelectionTest):
    def test_matches_hashlib(self):
        rng = random.Random(7)
        alphabet = "abcXYZ09|-_ éß漢字🙂\udc80"
        for n in range(400):
            key = rng.choice([
                "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 150))),
                rng.randint(-10**20, 10**20), "user-%d" % n])
            records = [rec(rng.choice([rng.randint(0, 10**6), str(rng.random()), 2.5, 10**25]))
                       for _ in range(rng.randint(1, 12))]
            self.assertIs(self.lb._sticky_lookup(records, key), hrw_winner(records, key), key)

    def test_stable_choice(self):
        records = [rec(i) for i in range(1, 9)]
        winner = self.lb._sticky_lookup(records, "session-42")
        self.assertIs(self.lb._sticky_lookup(records, "session-42"), winner)
        self.assertIs(self.lb._sticky_lookup(records[::-1], "session-42"), winner)
        self.assertIs(self.lb._sticky_lookup([r for r in records if r is winner or r["id"] != 3],
                                             "session-42"), winner)
        self.assertIsNone(self.lb._sticky_lookup([], "session-42"))
        pair = [rec(12), rec(13)]
        self.assertIs(self.lb._sticky_lookup(pair, 77), hrw_winner(pair, "77"))

    def test_lone_surrogate_key(self):
        # Decoded JSON may carry one; the lookup must still answer.
        records = [rec(i) for i in range(5)]
        self.assertIs(self.lb._sticky_lookup(records, "bad\ud800key"),
                      hrw_winner(records, "bad\ud800key"))

    def test_hash_module_as_it_stands(self):
        calls = []
        real = hashlib.blake2b

        def traced(data, **kw):
            calls.append((bytes(data), kw))
            return real(data, **kw)

        with mock.patch.object(hashlib, "blake2b", traced):
            self.lb._sticky_lookup([rec(12)], "k")
        self.assertEqual(calls, [(b"k|12", {"digest_size": 8})])
        with mock.patch.dict("sys.modules", {"hashlib": None}):
            with self.assertRaises(ImportError):
                self.lb._sticky_lookup([rec(1)], "k")


class Chain(SelectionTest):
    async def test_empty_and_forced(self):
        self.assertIsNone(await self.lb.select(KEY, [], force_server_id=1))
        drained = {"id": 0, "weight": 0, "max_concurrency": 1}
        first, second = rec(5), rec(5)
        self.lb.inflight[0] = 9
        cands = [rec(1), drained, first, second]
        self.assertIs(await self.lb.select(KEY, cands, force_server_id=0, sin_binned={0}), drained)
        self.assertIs(await self.lb.select(KEY, cands, force_server_id=5), first)
        self.assertIsNone(await self.lb.select(KEY, cands, force_server_id=99))
        self.assertIsNone(await self.lb.select(KEY, [{"weight": 1}], force_server_id=99))
        self.assertEqual(self.lb.dispatch_counts, {0: 1, 5: 1})
        self.assertEqual(self.lb._wrr, {})

    async def test_drain_rule(self):
        cands = [rec(1, 0), {"id": 2}, rec(3, -1), rec(4, 2, cap=1)]
        self.assertEqual(await self.ids(cands, 3), [4, 4, 4])
        self.lb.inflight[4] = 1
        self.assertIsNone(await self.lb.select(KEY, cands))
        self.lb.inflight[4] = 0
        self.assertIsNone(await self.lb.select(KEY, cands, sin_binned=[4]))
        # Every candidate drained: they are all used, weighing 1.0, 1.0 and -1.0.
        self.assertEqual(await self.ids(cands[:3], 3, OTHER), [1, 2, 1])

    async def test_sin_binned_records_stay_in_the_gate_pool(self):
        asked = []

        class Traced(varnhold.LoadBalancer):
            def _under_capacity(self, server, pool_candidates=None, pool_key=None):
                asked.append((server["id"], [s["id"] for s in pool_candidates], pool_key))
                return super()._under_capacity(server, pool_candidates, pool_key)

        lb = Traced()
        lb.set_routing_mode("hybrid")
        lb.inflight.update({1: 9, 2: 1})
        cands = [rec(1, cap=32), rec(2, cap=32), rec(3, 0, cap=32)]
        # The pool holds 10 in flight with the sin-binned id 1: hot, cap 32.
        won = await lb.select(KEY, cands, sin_binned={1}, algorithm="least_connections")
        self.assertEqual(won["id"], 2)
        self.assertEqual(asked, [(2, [1, 2], KEY)])

    async def test_algorithm_names(self):
        self.lb.inflight.update({1: 1, 2: 0})
        cands = [rec(1, 50), rec(2, 1)]
        for algo in (None, "", "round_robin", 5, "WEIGHTED_ROUND_ROBIN"):
            self.assertEqual((await self.lb.select(KEY, cands, algorithm=algo))["id"], 1, algo)
        self.assertEqual(self.lb.dispatch_counts, {1: 5})
        self.assertEqual(await self.ids(cands, 1, algorithm=" Least_Connections "), [2])
        sticky = hrw_winner(cands, "user")["id"]
        self.assertEqual(await self.ids(cands, 1, algorithm="STICKY_SESSION", sticky_key="user"),
                         [sticky])
        before = dict(self.lb._wrr[KEY])
        for key in (None, ""):
            await self.lb.select(KEY, cands, algorithm="sticky_session", sticky_key=key)
        self.assertNotEqual(self.lb._wrr[KEY], before, "no sticky key: round-robin")

    async def test_booking(self):
        self.lb.inflight[1] = 2
        won = await self.lb.select(KEY, [rec(1, cap=4)], estimated_tokens=10**9)
        self.assertEqual((won["id"], self.lb.dispatch_counts, self.lb.inflight), (1, {1: 1}, {1: 2}))
        self.lb.inflight[1] = 4
        self.assertIsNone(await self.lb.select(KEY, [rec(1, cap=4)]))
        self.assertEqual(self.lb.dispatch_counts, {1: 1})
        self.assertEqual(len(self.lb._pool_dispatch_windows[KEY]), 1)
        self.assertEqual(self.lb.reject_counts, {})

    async def test_keyword_only_parameters(self):
        with self.assertRaises(TypeError) as cm:
            self.lb.select(KEY, [rec(1)], 100)
        self.assertEqual(str(cm.exception),
                         "LoadBalancer.select() takes 3 positional arguments but 4 were given")
        with self.assertRaises(TypeError) as cm:
            self.lb.select(KEY, [rec(1)], 100, algorithm=None)
        self.assertEqual(str(cm.exception),
                         "LoadBalancer.select() takes 3 positional arguments but 4 positional "
                         "arguments (and 1 keyword-only argument) were given")
        self.assertTrue(asyncio.iscoroutine(coro := self.lb.select(KEY, [])))
        self.assertIsNone(await coro)

    async def test_bad_input_books_nothing(self):
        cases = [
            ([rec(1), {"weight": 1}], KeyError),
            ([rec(1), rec(2, "5")], TypeError),
            ([rec(1), [1, 2]], AttributeError),
            ([rec([1])], TypeError),
            ([rec(1, cap="many")], ValueError),
        ]
        for cands, error in cases:
            with self.assertRaises(error, msg=cands):
                await self.lb.select(KEY, cands)
        with self.assertRaises(TypeError):  # unhashable, though a list finds nothing
            await self.lb.select(KEY, [rec([1])], sin_binned=[5])
        self.assertEqual(self.lb.dispatch_counts, {})
        self.assertEqual(await self.ids([rec(1), rec(2)], 2, sin_binned=[2]), [1, 1])


class Overrides(SelectionTest):
    async def test_subclass_and_patched_instance(self):
        log = []

        class Custom(varnhold.LoadBalancer):
            def _record_dispatch(self, pool_key, server):
                log.append(("book", server["id"]))
                super()._record_dispatch(pool_key, server)

            async def _wrr_pick(self, pool_key, eligible):
                log.append(("wrr", [s["id"] for s in eligible]))
                return eligible[-1]

            def _least_connections_pick(self, eligible):
                log.append(("least", len(eligible)))
                return eligible[0]

        lb = Custom()
        cands = [rec(1), rec(2)]
        self.assertEqual((await lb.select(KEY, cands))["id"], 2)
        self.assertEqual((await lb.select(KEY, cands, algorithm="least_connections"))["id"], 1)
        self.assertEqual(log, [("wrr", [1, 2]), ("book", 2), ("least", 2), ("book", 1)])

        plain = varnhold.LoadBalancer()
        plain._sticky_lookup = lambda eligible, key: eligible[1]
        plain._under_capacity = lambda server, pool, pool_key=None: server["id"] != 1
        won = await plain.select(KEY, [rec(1), rec(2), rec(3)], algorithm="sticky_session",
                                 sticky_key="k")
        self.assertEqual(won["id"], 3)

    async def test_module_names_read_at_call_time(self):
        saved = varnhold.normalize_lb_algorithm, varnhold.LB_ALGO_LEAST_CONN
        try:
            varnhold.normalize_lb_algorithm = lambda value: "fewest"
            varnhold.LB_ALGO_LEAST_CONN = "fewest"
            self.lb.inflight[1] = 3
            self.assertEqual(await self.ids([rec(1, 5), rec(2)], 1), [2])
        finally:
            varnhold.normalize_lb_algorithm, varnhold.LB_ALGO_LEAST_CONN = saved
        self.assertEqual(await self.ids([rec(1, 5), rec(2)], 1), [1])


class RequestRoad(SelectionTest):
    """The road of every request: results must not depend on whether the
    balancer is a plain one or a subclass reached method by method. On the
    real clock the plain one takes the fast road."""

    OLDEST = 1000.0  # seconds: the age of the first dispatch in a pool's window

    async def test_plain_and_subclassed_balancers_agree(self):
        class Sub(varnhold.LoadBalancer):
            pass

        # No dispatch ever leaves the rate window, and each case sets a rate
        # threshold well clear of the pool's rate (at least a tenth, beyond the
        # exit ratio 0.8 included), so no moment of the clock tips a decision.
        patch_module(self, "time", "HYBRID_RATE_THRESHOLD", HYBRID_RATE_WINDOW_SEC=1e9,
                     HYBRID_HOT_EXIT_RATIO=0.8)
        rng = random.Random(11)
        for clock in (varnhold.time, FakeClock()):
            varnhold.time = clock
            plain, sub = varnhold.LoadBalancer(), Sub()
            for mode in ("superfast", "hybrid", "max_concurrency", "queue_all"):
                plain.set_routing_mode(mode)
                sub.set_routing_mode(mode)
                for _ in range(150):
                    await self.agree(plain, sub, rng, mode)

    def draw_case(self, rng):
        cands = [{"id": rng.randint(1, 9), "weight": rng.choice([0, 1, 2, 0.5, -1, None]),
                  "max_concurrency": rng.choice([0, 1, 2, 4, 32, 2.5, None])}
                 for _ in range(rng.randint(1, 8))]
        counts = {rng.randint(1, 9): rng.randint(1, 5) for _ in range(rng.randint(0, 5))}
        kw = {"algorithm": rng.choice([None, "least_connections", "sticky_session"]),
              "sticky_key": rng.choice([None, "user-%d" % rng.randint(1, 5)]),
              "sin_binned": rng.choice([None, {rng.randint(1, 9)}])}
        ages = [self.OLDEST] + sorted((rng.uniform(0, self.OLDEST)
                                       for _ in range(rng.choice([0, 0, 2, 30]))), reverse=True)
        # rate / threshold: 2.0 turns the pool hot, 0.9 keeps it as it is, 0.5 cold.
        threshold = len(ages) / self.OLDEST / rng.choice([2.0, 0.9, 0.5])
        return rng.choice([KEY, OTHER]), cands, counts, kw, ages, threshold

    async def agree(self, plain, sub, rng, mode):
        key, cands, counts, kw, ages, threshold = self.draw_case(rng)
        varnhold.HYBRID_RATE_THRESHOLD = threshold
        now = varnhold.time.monotonic()
        results = []
        for lb in (plain, sub):
            lb.inflight.clear()
            lb.inflight.update(counts)
            lb._pool_dispatch_windows[key] = varnhold.deque((now - a for a in ages), maxlen=4096)
            won = await lb.select(key, cands, **kw)
            results.append(None if won is None else cands.index(won))
        case = (mode, cands, counts, kw, len(ages), threshold)
        self.assertEqual(results[0], results[1], case)
        for attr in ("_wrr", "dispatch_counts", "_pool_hot_state"):
            self.assertEqual(repr(getattr(plain, attr)), repr(getattr(sub, attr)), (attr, case))
        self.assertEqual({k: len(v) for k, v in plain._pool_dispatch_windows.items()},
                         {k: len(v) for k, v in sub._pool_dispatch_windows.items()})

    async def test_changes_to_the_namespace_take_effect(self):
        cands = [rec(1, cap=32)]
        self.lb.set_routing_mode("superfast")
        self.lb.inflight[1] = 1
        saved = varnhold.SUPERFAST_PER_SERVER_CAP
        try:
            varnhold.SUPERFAST_PER_SERVER_CAP = 1
            self.assertIsNone(await self.lb.select(KEY, cands))
            varnhold.SUPERFAST_PER_SERVER_CAP = 2
            self.assertIsNotNone(await self.lb.select(KEY, cands))
        finally:
            varnhold.SUPERFAST_PER_SERVER_CAP = saved
        # The time module's own clock, replaced, is the one read (by a balancer
        # that has seen no other clock).
        lb = varnhold.LoadBalancer()
        with mock.patch("time.monotonic", lambda: 4242.5), mock.patch("time.time", lambda: 7.0):
            await lb.select(KEY, cands)
        self.assertEqual(lb._pool_last_access[KEY], 4242.5)
        self.assertEqual(lb._pool_dispatch_windows[KEY][-1], 4242.5)
        self.assertEqual(lb.last_dispatch_ts[1], 7.0)

    async def test_lease_class_as_modified(self):
        self.assertEqual(self.lb.inflight, {})
        won = await self.lb.select(KEY, [rec(1)])
        with varnhold.InflightLease(self.lb, won["id"]):
            self.assertEqual(self.lb.inflight, {1: 1})
        async with varnhold.InflightLease(self.lb, won["id"]):
            self.assertEqual(self.lb.inflight, {1: 1})
        self.assertEqual(self.lb.inflight, {})
        seen = []
        real_init = varnhold.InflightLease.__init__

        def init(lease, lb, server_id):
            seen.append(server_id)
            real_init(lease, lb, server_id)

        with mock.patch.object(varnhold.InflightLease, "__init__", init):
            varnhold.InflightLease(self.lb, 5)
        self.assertEqual(seen, [5])


if __name__ == "__main__":
    unittest.main()


class PythonCodeDuringPickTest(unittest.TestCase):
    """Python code that runs inside a pick (the pool's first lock, the first
    hashlib import) may change the records; the booking must see the change."""

    SCRIPT = r'''
import asyncio, sys, varnhold
async def main(sticky):
    lb = varnhold.LoadBalancer()
    pk = ("m", frozenset({1}), "t")
    if sticky:
        lb._lock_for(pk)
    rec = {"id": int("123456789012"), "weight": 1.0}
    marker = "importlib" if sticky else "locks"
    def hook(frame, event, arg):
        if event == "call" and marker in frame.f_code.co_filename:
            sys.setprofile(None)
            rec["id"] = 7
    sys.setprofile(hook)
    kw = {"algorithm": "sticky_session", "sticky_key": "u"} if sticky else {}
    won = await lb.select(pk, [rec], **kw)
    sys.setprofile(None)
    assert won is rec and lb.dispatch_counts == {7: 1}, lb.dispatch_counts
asyncio.run(main(sys.argv[1] == "sticky"))
'''

    def test_records_changed_by_python_code_inside_a_pick(self):
        for road in ("wrr", "sticky"):
            with self.subTest(road=road):
                run_python(self.SCRIPT, args=[road])


class FastRoad(unittest.IsolatedAsyncioTestCase):
    """The records of a balancer of the module's own class are read once into
    C numbers (on the time module's own clock). Whatever it reads, the result
    must be the general road's, which a subclass takes; no result here
    depends on the clock's value (no mode that reads the dispatch rate)."""

    async def test_odd_values_are_read_as_the_general_road_reads_them(self):
        class Sub(varnhold.LoadBalancer):
            pass

        nan, inf = float("nan"), float("inf")
        weights = [1, 2, 0.5, 0, -1, None, nan, inf, -inf, True, False, 2**53 + 1, 2**60, -0.0]
        caps = [0, 1, 2, 4, 2.5, -2.5, None, True, 2**53 + 1, 1e300, 0.0]
        ids = [1, 2, 3, 2**53 + 1, -7, 2**62]
        rng = random.Random(3)
        for mode in ("superfast", "max_concurrency", "queue_all"):
            own, sub = varnhold.LoadBalancer(), Sub()
            for lb in (own, sub):
                lb.set_routing_mode(mode)
                lb._lock_for(KEY)
            for _ in range(200):
                cands = [{"id": rng.choice(ids), "weight": rng.choice(weights),
                          "max_concurrency": rng.choice(caps)} for _ in range(rng.randint(1, 6))]
                counts = {rng.choice(ids): rng.randint(0, 5) for _ in range(3)}
                kw = rng.choice([{}, {"algorithm": "least_connections"}, {"sin_binned": {2}},
                                 {"algorithm": "sticky_session", "sticky_key": rng.choice(["u", 7])}])
                results = []
                for lb in (own, sub):
                    lb.inflight = dict(counts)
                    won = await lb.select(KEY, cands, **kw)
                    results.append((None if won is None else cands.index(won),
                                    repr(lb._wrr.get(KEY)), repr(lb.dispatch_counts)))
                self.assertEqual(results[0], results[1], (mode, cands, counts, kw))

    async def test_host_keys_in_the_state_that_collide_with_the_request(self):
        # A key the host stored in a state dict that hashes like a request's id
        # or pool key runs its __eq__ inside the lookups of the road itself;
        # whatever that changes, select answers with a candidate or None.
        class Collider:
            def __init__(self, like, act):
                self.hash, self.act = hash(like), act

            def __hash__(self):
                return self.hash

            def __eq__(self, other):
                self.act()
                return other is self

        patch_module(self, "ROUTING_MODE_SUPERFAST")
        saved = varnhold.ROUTING_MODE_SUPERFAST
        places = [("inflight", 1), ("_wrr", KEY), ("_locks", KEY), ("_pool_last_access", KEY),
                  ("_pool_dispatch_windows", KEY), ("_pool_hot_state", KEY)]
        for (attr, like), act, algo in itertools.product(
                places, ["state", "inflight", "candidates", "namespace", "gc"],
                [None, "least_connections", "sticky_session"]):
            with self.subTest(attr=attr, act=act, algo=algo):
                lb = varnhold.LoadBalancer()
                lb._lock_for(KEY)
                cands = [rec(1), rec(2, 3), rec(3, 0.5)]
                acts = {"state": lambda: setattr(lb, attr, {}),
                        "inflight": lambda: setattr(lb, "inflight", {}),
                        "candidates": cands.clear,
                        "namespace": lambda: setattr(varnhold, "ROUTING_MODE_SUPERFAST", "x"),
                        "gc": gc.collect}
                getattr(lb, attr)[Collider(like, acts[act])] = 1.0
                first = list(cands)
                won = await lb.select(KEY, cands, algorithm=algo, sticky_key="u")
                self.assertTrue(won is None or any(won is c for c in first), won)
                varnhold.ROUTING_MODE_SUPERFAST = saved
