"""Routing modes and the capacity gate: caps, hysteresis, rates, queue ceiling."""

import asyncio
import collections
import unittest

import varnhold
from support import FakeClock, patch_module

KEY = ("model", frozenset({1}), "fast")
OTHER = ("model", frozenset({2}), "fast")


class GateTest(unittest.TestCase):
    SETTINGS = ("SUPERFAST_PER_SERVER_CAP", "HYBRID_INFLIGHT_THRESHOLD", "HYBRID_RATE_THRESHOLD",
                "HYBRID_RATE_WINDOW_SEC", "HYBRID_HOT_EXIT_RATIO", "QUEUE_MAX_DEPTH_MULTIPLIER",
                "QUEUE_ALL_DEPTH_MULTIPLIER")

    def setUp(self):
        patch_module(self, *self.SETTINGS)
        self.real_time = varnhold.time
        self.clock = FakeClock(1024.0).install(self)
        self.lb = varnhold.LoadBalancer()

    def window(self, key, *ages):
        """A dispatch window of the pool with timestamps `age` seconds old."""
        self.lb._pool_dispatch_windows[key] = collections.deque(
            (self.clock.now - a for a in ages), maxlen=4096)
        return self.lb._pool_dispatch_windows[key]


class CapsByMode(GateTest):
    def test_superfast_clamp(self):
        for configured, cap in [(0, 4), (32, 4), (2, 2), (-3, 4)]:
            self.assertEqual(self.lb._superfast_cap(configured), cap)
        varnhold.SUPERFAST_PER_SERVER_CAP = 0
        for configured in (0, 1, 32, -3):
            self.assertEqual(self.lb._superfast_cap(configured), 1)

    def test_effective_cap_table(self):
        # configured -> superfast, hybrid cold, hybrid hot, max_concurrency and queue_all
        table = {32: (4, 4, 32, 32), 2: (2, 2, 2, 2), 0: (4, 4, 0, 0)}
        for configured, (fast, cold, hot, full) in table.items():
            server = {"id": 1, "max_concurrency": configured}
            self.lb.set_routing_mode("superfast")
            self.assertEqual(self.lb._effective_cap_for(server, 0, 0.0), fast)
            self.lb.set_routing_mode("hybrid")
            self.assertEqual(self.lb._effective_cap_for(server, 0, 0.0), cold)
            self.assertEqual(self.lb._effective_cap_for(server, 10, 0.0), hot)
            for mode in ("max_concurrency", "queue_all"):
                self.lb.set_routing_mode(mode)
                self.assertEqual(self.lb._effective_cap_for(server, 0, 0.0), full)
            self.lb._routing_mode = "something else"
            self.assertEqual(self.lb._effective_cap_for(server, 50, 50.0), full)
        self.assertEqual(self.lb._pool_hot_state, {}, "only a pool key is remembered")

    def test_configured_cap_is_int_of_the_value(self):
        self.lb.set_routing_mode("max_concurrency")
        for value, cap in [(7.9, 7), ("12", 12), (None, 0), (False, 0), (True, 1), (-2.5, -2)]:
            self.assertEqual(self.lb.effective_cap_for({"id": 1, "max_concurrency": value}), cap)
        self.assertEqual(self.lb.effective_cap_for({"id": 1}), 0)
        with self.assertRaises(ValueError):
            self.lb.effective_cap_for({"id": 1, "max_concurrency": "ten"})
        with self.assertRaises(TypeError):
            self.lb.effective_cap_for({"id": 1, "max_concurrency": [3]})
        self.assertEqual(self.lb._queue_capacity_for_pool([{"id": 1, "max_concurrency": 10**30}]),
                         4 * 10**30)

    def test_under_capacity(self):
        server = {"id": 1, "max_concurrency": 4}
        self.lb.set_routing_mode("max_concurrency")
        self.lb.inflight[1] = 4
        self.assertFalse(self.lb._under_capacity(server))
        self.lb.inflight[1] = 3
        self.assertTrue(self.lb._under_capacity(server))
        self.lb.inflight[1] = 10**6
        for uncapped in ({"id": 1}, {"id": 1, "max_concurrency": 0}):
            self.assertTrue(self.lb._under_capacity(uncapped))
        with self.assertRaises(KeyError) as cm:
            self.lb._under_capacity({"max_concurrency": 4})
        self.assertEqual(cm.exception.args, ("id",))

    def test_effective_cap_for_with_only_a_server(self):
        # The pool is the server itself; the rate is the process-wide one,
        # whose computation trims every pool's window.
        self.lb.set_routing_mode("hybrid")
        varnhold.HYBRID_INFLIGHT_THRESHOLD = 3
        server = {"id": 1, "max_concurrency": 32}
        self.lb.inflight[1] = 3
        self.lb.inflight[2] = 50
        self.assertEqual(self.lb.effective_cap_for(server), 32)
        self.lb.inflight[1] = 2
        stale = self.window(OTHER, 100.0, 100.0)
        busy = self.window(KEY, *([0.1] * 60))
        self.assertEqual(self.lb.effective_cap_for(server), 32, "rate 600/s over the process")
        self.assertEqual(len(stale), 0)
        self.assertEqual(len(busy), 60)


class Hysteresis(GateTest):
    def hot(self, inflight, rate, key=KEY):
        return self.lb._hybrid_hot(key, inflight, rate)

    def test_cold_pool_turns_hot_at_either_threshold(self):
        self.assertFalse(self.hot(9, 9.99))
        self.assertEqual(self.lb._pool_hot_state, {}, "a confirmed decision writes nothing")
        self.assertTrue(self.hot(10, 0.0))
        self.assertIs(self.lb._pool_hot_state[KEY], True)
        self.assertTrue(self.hot(0, 10.0, OTHER))

    def test_hot_pool_exit_is_strict(self):
        self.lb._pool_hot_state[KEY] = True
        self.assertTrue(self.hot(9, 0.0))
        self.assertTrue(self.hot(8, 8.01))
        self.assertFalse(self.hot(8, 8.0))
        self.assertIs(self.lb._pool_hot_state[KEY], False)
        self.assertFalse(self.hot(9, 9.0))

    def test_exit_ratio_bounds(self):
        varnhold.HYBRID_HOT_EXIT_RATIO = 1.0
        # Exactly at the threshold: hot on one test, cold on the next.
        self.assertEqual([self.hot(10, 5.0) for _ in range(4)], [True, False, True, False])
        for ratio in (1.5, float("nan")):
            varnhold.HYBRID_HOT_EXIT_RATIO = ratio
            self.lb._pool_hot_state[KEY] = True
            self.assertFalse(self.hot(10, 10.0), ratio)
        varnhold.HYBRID_HOT_EXIT_RATIO = -0.5
        self.lb._pool_hot_state[KEY] = True
        self.assertTrue(self.hot(1, 0.0))
        self.assertTrue(self.hot(0, 0.001))
        self.assertFalse(self.hot(0, 0.0))

    def test_zero_threshold_turns_any_pool_hot(self):
        varnhold.HYBRID_INFLIGHT_THRESHOLD = 0
        self.assertTrue(self.hot(0, 0.0))

    def test_without_a_key_nothing_is_read_or_written(self):
        self.lb._pool_hot_state[None] = True
        self.assertFalse(self.lb._hybrid_hot(None, 9, 0.0))
        self.assertTrue(self.lb._hybrid_hot(None, 10, 0.0))
        self.assertEqual(self.lb._pool_hot_state, {None: True})

    def test_each_test_of_a_select_takes_its_own_decision(self):
        # At exactly the threshold with the ratio 1.0 the decision alternates
        # from one candidate's test to the next within one select.
        # Once on the fake clock, once on the real one (the fast road), each
        # with a balancer of its own: a booking on one clock means nothing on
        # the other.
        varnhold.HYBRID_HOT_EXIT_RATIO = 1.0
        cands = [{"id": 1, "weight": 1, "max_concurrency": 32},
                 {"id": 2, "weight": 100, "max_concurrency": 32},
                 {"id": 3, "weight": 1, "max_concurrency": 32}]
        for clock in (self.clock, self.real_time):
            varnhold.time = clock
            lb = varnhold.LoadBalancer()
            lb.set_routing_mode("hybrid")
            lb.inflight.update({1: 4, 2: 4, 3: 2})
            # 1: hot (cap 32); 2: cold (cap 4, full); 3: hot again.
            won = asyncio.run(lb.select(KEY, cands, algorithm="least_connections"))
            self.assertEqual(won["id"], 3)
            self.assertIs(lb._pool_hot_state[KEY], True)


class DispatchRate(GateTest):
    def test_pool_rate(self):
        self.assertEqual(self.lb._recent_dispatch_rate(KEY), 0.0)
        win = self.window(KEY, 9.0, 6.0)
        self.assertEqual(self.lb._recent_dispatch_rate(KEY), 0.0)
        self.assertIn(KEY, self.lb._pool_dispatch_windows, "an emptied window stays")
        self.assertEqual(len(win), 0)
        self.window(KEY, 0.2)
        self.assertAlmostEqual(self.lb._recent_dispatch_rate(KEY), 5.0)
        self.window(KEY, 0.0005)
        self.assertEqual(self.lb._recent_dispatch_rate(KEY), 1000.0)

    def test_cutoff_is_inclusive(self):
        self.clock.now = 1000.0
        self.lb._pool_dispatch_windows[KEY] = collections.deque([995.0, 995.0000001, 999.0])
        self.assertEqual(self.lb._recent_dispatch_rate(KEY), 3 / 5.0)
        self.clock.now = 1000.0000001
        self.assertEqual(self.lb._recent_dispatch_rate(KEY), 2 / (1000.0000001 - 995.0000001))
        self.assertEqual(list(self.lb._pool_dispatch_windows[KEY]), [995.0000001, 999.0])

    def test_window_floor(self):
        for setting in (0.2, float("nan"), -3):
            varnhold.HYBRID_RATE_WINDOW_SEC = setting
            win = self.window(KEY, 0.625, 0.375)
            self.assertEqual(self.lb._recent_dispatch_rate(KEY), 1 / 0.375, setting)
            self.assertEqual(len(win), 1)

    def test_process_wide_rate(self):
        self.assertEqual(self.lb._recent_dispatch_rate(), 0.0)
        self.window(KEY, 2.0, 1.0, 0.5)
        self.window(OTHER, 1.5)
        self.lb._pool_dispatch_windows["gone"] = None
        self.assertEqual(self.lb._recent_dispatch_rate(None), 4 / 2.0)


class QueueCeiling(GateTest):
    def ceiling(self, *caps):
        return self.lb._queue_capacity_for_pool(
            [{"id": i} if c is None else {"id": i, "max_concurrency": c} for i, c in enumerate(caps)])

    def test_ceiling_from_operator_caps(self):
        self.assertEqual(self.ceiling(None, 0), 0)
        self.assertEqual(self.ceiling(8, 0), 32)
        self.assertEqual(self.ceiling(8, -10), 0)
        self.assertEqual(self.ceiling(), 0)
        self.lb.set_routing_mode("queue_all")
        self.assertEqual(self.ceiling(8, None), 8000)
        varnhold.QUEUE_ALL_DEPTH_MULTIPLIER = 0
        self.assertEqual(self.ceiling(8), 8)
        varnhold.QUEUE_ALL_DEPTH_MULTIPLIER = -5
        self.assertEqual(self.ceiling(8), 8)


class ThroughSelf(GateTest):
    def test_overrides_are_called(self):
        calls = []

        class Traced(varnhold.LoadBalancer):
            def _recent_dispatch_rate(self, pool_key=None):
                calls.append(("rate", pool_key))
                return 99.0

            def _superfast_cap(self, configured):
                calls.append(("clamp", configured))
                return 1

        lb = Traced()
        lb.set_routing_mode("hybrid")
        self.assertEqual(lb.effective_cap_for({"id": 1, "max_concurrency": 5}, None, KEY), 5)
        lb._pool_hot_state.clear()
        lb.inflight[1] = 0
        self.assertTrue(lb._under_capacity({"id": 1, "max_concurrency": 5}, [], KEY))
        lb.set_routing_mode("superfast")
        self.assertEqual(lb.effective_cap_for({"id": 1, "max_concurrency": 5}), 1)
        self.assertEqual(calls, [("rate", KEY), ("rate", KEY), ("rate", None), ("clamp", 5)])

        patched = varnhold.LoadBalancer()
        patched._pool_inflight = lambda cands: 1000
        patched.set_routing_mode("hybrid")
        self.assertEqual(patched.effective_cap_for({"id": 1, "max_concurrency": 5}, [], KEY), 5)


class AsThePythonFormComputes(unittest.TestCase):
    """The gate's figures are the interpreter's: the pool's in-flight sum as the
    builtin sum() adds it, and a comparison's own result, not its truth."""

    def test_pool_sum_is_the_builtin_sum(self):
        lb = varnhold.LoadBalancer()
        for counts in ([0.1] * 10, [1, 2.5, 3.5], [True, 2], [2**62, 2**62, 1], [-0.0],
                       [1e308, 1e308, -1e308], [0.1, 0.2, 10**20, 0.3], [1.5, True, 2**70]):
            lb.inflight = dict(enumerate(counts))
            got = lb._pool_inflight([{"id": i} for i in range(len(counts))])
            want = sum(counts)
            self.assertEqual((type(got), repr(got)), (type(want), repr(want)), counts)

    def test_comparisons_give_their_own_result(self):
        class Vote(float):
            def __ge__(self, other):
                return ["hot"] if float(self) >= other else []

            def __lt__(self, other):
                return ("free",) if float(self) < other else ()

        lb = varnhold.LoadBalancer()
        self.assertEqual(lb._hybrid_hot(KEY, Vote(12), 0.0), ["hot"])
        self.assertEqual(lb._pool_hot_state, {KEY: ["hot"]})
        lb.set_routing_mode("max_concurrency")
        lb.inflight[1] = Vote(2)
        self.assertEqual(lb._under_capacity({"id": 1, "max_concurrency": 4}), ("free",))


if __name__ == "__main__":
    unittest.main()
