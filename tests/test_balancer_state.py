"""The balancer's state: its thirteen attributes, the in-flight and rejection
counters, the routing mode and its queue settings, pool locks and the booking
of a dispatch."""

import asyncio
import collections
import gc
import sys
import unittest
import weakref
from unittest import mock

import varnhold
from support import FakeClock, patch_module, run_python

KEY = ("model-a", frozenset({1, 2}), "fast")


class Recorder(varnhold.LoadBalancer):
    """A host's subclass that sees every wake-up."""

    def __init__(self):
        super().__init__()
        self.woken = []

    def _wake_one(self, server_id):
        self.woken.append(server_id)


def state(lb):
    return {name: getattr(lb, name) for name in (
        "inflight", "_wrr", "_locks", "_pool_last_access", "_waiters", "_all_waiters",
        "dispatch_counts", "last_dispatch_ts", "reject_counts", "queue_wait_samples",
        "_routing_mode", "_pool_dispatch_windows", "_pool_hot_state")}


class ConstructionTest(unittest.TestCase):
    def test_thirteen_attributes_with_their_initial_values(self):
        lb = varnhold.LoadBalancer()
        st = state(lb)
        samples = st.pop("queue_wait_samples")
        self.assertIs(type(samples), collections.deque)
        self.assertEqual((len(samples), samples.maxlen), (0, 512))
        self.assertEqual(st.pop("_routing_mode"), "superfast")
        self.assertEqual(st.pop("_all_waiters"), [])
        self.assertIs(type(lb._all_waiters), list)
        for name, value in st.items():
            self.assertIs(type(value), dict, name)
            self.assertEqual(value, {}, name)

    def test_new_balancer_defaults(self):
        lb = varnhold.LoadBalancer()
        self.assertEqual(lb.get_routing_mode(), "superfast")
        self.assertEqual(lb.get_inflight(42), 0)
        self.assertEqual((lb.queue_ttl_sec(), lb.queue_depth_multiplier()), (30.0, 4))
        self.assertIs(lb.queue_enabled(), varnhold.QUEUE_ENABLED)

    def test_initial_mode_is_the_current_default_unchanged(self):
        patch_module(self, "DEFAULT_ROUTING_MODE")
        varnhold.DEFAULT_ROUTING_MODE = " Hybrid "
        with self.assertNoLogs(varnhold.logger, "DEBUG"):
            lb = varnhold.LoadBalancer()
        self.assertEqual(lb.get_routing_mode(), " Hybrid ")

    def test_attributes_are_assignable_and_used(self):
        lb = varnhold.LoadBalancer()
        counts = {5: 2}
        lb.inflight = counts
        self.assertEqual(lb.decrement(5), 1)
        self.assertEqual(counts, {5: 1})
        del lb.inflight
        with self.assertRaises(AttributeError):
            lb.increment(5)

    def test_balancer_in_a_cycle_is_collected(self):
        lb = varnhold.LoadBalancer()
        lb.inflight["self"] = lb
        lease = varnhold.InflightLease(lb, 1)
        lb.lease = lease
        ref = weakref.ref(lb)
        del lb, lease
        gc.collect()
        self.assertIsNone(ref())


class InflightCountTest(unittest.TestCase):
    def test_up_and_down_leaves_no_entry(self):
        lb = varnhold.LoadBalancer()
        self.assertEqual([lb.increment(7), lb.increment(7), lb.decrement(7), lb.decrement(7)],
                         [1, 2, 1, 0])
        self.assertNotIn(7, lb.inflight)

    def test_decrement_without_entry_leaves_a_zero_entry_and_still_wakes(self):
        lb = Recorder()
        self.assertEqual(lb.decrement(3), 0)
        self.assertEqual(lb.inflight, {3: 0})
        self.assertEqual(lb.decrement(3), 0)
        self.assertEqual(lb.inflight, {})
        self.assertEqual(lb.woken, [3, 3])

    def test_count_never_below_zero(self):
        lb = Recorder()
        lb.increment(1)
        self.assertEqual([lb.decrement(1) for _ in range(5)], [0] * 5)
        self.assertIn(lb.inflight, ({}, {1: 0}))
        self.assertEqual(lb.woken, [1] * 5)

    def test_wake_sees_the_count_already_lowered(self):
        seen = []

        class Peek(varnhold.LoadBalancer):
            def _wake_one(self, server_id):
                seen.append(dict(self.inflight))

        lb = Peek()
        lb.increment(1)
        lb.increment(1)
        lb.decrement(1)
        lb.decrement(1)
        self.assertEqual(seen, [{1: 1}, {}])

    def test_patched_instance_wake_one_is_called(self):
        lb = varnhold.LoadBalancer()
        woken = []
        lb._wake_one = woken.append
        lb.increment(2)
        lb.decrement(2)
        self.assertEqual(woken, [2])

    def test_decrement_of_a_balancer_with_own_attributes(self):
        # Anything set on the instance sends calls through lookup; the
        # module's own _wake_one must then be found.
        lb = varnhold.LoadBalancer()
        lb.note = "host data"
        lb.increment(2)
        self.assertEqual(lb.decrement(2), 0)
        self.assertIsNone(lb._wake_one(2))

    def test_error_from_wake_one_propagates_after_the_count_changed(self):
        lb = varnhold.LoadBalancer()
        lb.increment(4)
        lb.increment(4)

        def boom(server_id):
            raise LookupError(server_id)

        lb._wake_one = boom
        with self.assertRaises(LookupError):
            lb.decrement(4)
        self.assertEqual(lb.inflight, {4: 1})

    def test_force_clear(self):
        lb = Recorder()
        for _ in range(3):
            lb.increment(9)
        with self.assertLogs(varnhold.logger, "WARNING") as cm:
            self.assertIsNone(lb.force_clear(9))
        self.assertEqual(len(cm.records), 1)
        rec = cm.records[0]
        self.assertEqual((rec.levelname, rec.msg, rec.args),
                         ("WARNING", "Force-cleared inflight=%d for server %s", (3, 9)))
        self.assertEqual(lb.inflight, {})
        with self.assertNoLogs(varnhold.logger, "DEBUG"):
            lb.force_clear(9)
        self.assertEqual(lb.woken, [])

    def test_zero_entry_left_after_force_clear_is_cleared_again(self):
        lb = varnhold.LoadBalancer()
        lease = varnhold.InflightLease(lb, 5)
        with lease:
            with self.assertLogs(varnhold.logger, "WARNING"):
                lb.force_clear(5)
        self.assertEqual(lb.inflight, {5: 0})
        with self.assertLogs(varnhold.logger, "WARNING") as cm:
            lb.force_clear(5)
        self.assertEqual(cm.records[0].args, (0, 5))

    def test_logger_is_read_at_call_time(self):
        calls = []

        class Logger:
            def warning(self, *args):
                calls.append(args)

        patch_module(self, "logger")
        varnhold.logger = Logger()
        lb = varnhold.LoadBalancer()
        lb.increment("a")
        lb.force_clear("a")
        self.assertEqual(calls, [("Force-cleared inflight=%d for server %s", 1, "a")])

class RejectTest(unittest.TestCase):
    def test_counts_any_reason_under_its_own_key(self):
        lb = varnhold.LoadBalancer()
        lb.note_reject("at_capacity")
        lb.note_reject("at_capacity")
        self.assertEqual(lb.reject_counts, {"at_capacity": 2})
        lb.note_reject(varnhold.RejectReason.QUEUE_FULL)
        lb._bump_reject("queue_full")
        lb.note_reject("host_specific")
        self.assertEqual(lb.reject_counts,
                         {"at_capacity": 2, "queue_full": 2, "host_specific": 1})

    def test_note_reject_goes_through_bump_reject(self):
        seen = []

        class Sub(varnhold.LoadBalancer):
            def _bump_reject(self, reason):
                seen.append(reason)

        lb = Sub()
        self.assertIsNone(lb.note_reject("too_large"))
        self.assertEqual((seen, lb.reject_counts), (["too_large"], {}))


class RoutingModeTest(unittest.TestCase):
    def test_change_is_logged_with_old_and_new(self):
        lb = varnhold.LoadBalancer()
        with self.assertLogs(varnhold.logger, "INFO") as cm:
            self.assertEqual(lb.set_routing_mode("  QUEUE_ALL "), "queue_all")
        self.assertEqual([(r.levelname, r.msg, r.args) for r in cm.records],
                         [("INFO", "Routing mode: %s -> %s", ("superfast", "queue_all"))])
        self.assertEqual(lb.get_routing_mode(), "queue_all")

    def test_queue_all_settings(self):
        patch_module(self, "QUEUE_ENABLED")
        varnhold.QUEUE_ENABLED = False
        lb = varnhold.LoadBalancer()
        with self.assertLogs(varnhold.logger, "INFO"):
            lb.set_routing_mode("queue_all")
        self.assertIs(lb.queue_enabled(), True)
        self.assertEqual((lb.queue_ttl_sec(), lb.queue_depth_multiplier()), (600.0, 1000))

    def test_unknown_modes_land_on_the_default(self):
        lb = varnhold.LoadBalancer()
        for mode in (None, "", 7, "turbo"):
            with self.assertNoLogs(varnhold.logger, "DEBUG"):
                self.assertEqual(lb.set_routing_mode(mode), "superfast")
        with self.assertLogs(varnhold.logger, "INFO"):
            lb.set_routing_mode("hybrid")
        with self.assertLogs(varnhold.logger, "INFO") as cm:
            self.assertEqual(lb.set_routing_mode(None), "superfast")
        self.assertEqual(cm.records[0].args, ("hybrid", "superfast"))

    def test_same_mode_logs_nothing_and_keeps_the_rest(self):
        lb = varnhold.LoadBalancer()
        with self.assertLogs(varnhold.logger, "INFO"):
            lb.set_routing_mode("max_concurrency")
        lb.increment(1)
        lb.note_reject("queue_full")
        with self.assertNoLogs(varnhold.logger, "DEBUG"):
            self.assertEqual(lb.set_routing_mode("MAX_CONCURRENCY"), "max_concurrency")
        with self.assertLogs(varnhold.logger, "INFO"):
            lb.set_routing_mode("hybrid")
        self.assertEqual((lb.inflight, lb.reject_counts), ({1: 1}, {"queue_full": 1}))

    def test_settings_and_normaliser_are_read_at_call_time(self):
        names = ("QUEUE_ENABLED", "QUEUE_TTL_SEC", "QUEUE_MAX_DEPTH_MULTIPLIER",
                 "QUEUE_ALL_TTL_SEC", "normalize_routing_mode")
        patch_module(self, *names)
        lb = varnhold.LoadBalancer()
        varnhold.QUEUE_ENABLED = True
        self.assertIs(lb.queue_enabled(), True)
        varnhold.QUEUE_ENABLED = False
        self.assertIs(lb.queue_enabled(), False)
        varnhold.QUEUE_TTL_SEC = 2.5
        varnhold.QUEUE_MAX_DEPTH_MULTIPLIER = -3  # not clamped here
        self.assertEqual((lb.queue_ttl_sec(), lb.queue_depth_multiplier()), (2.5, -3))
        varnhold.normalize_routing_mode = lambda mode: "queue_all"
        with self.assertLogs(varnhold.logger, "INFO"):
            lb.set_routing_mode("anything")
        varnhold.QUEUE_ALL_TTL_SEC = 9.0
        self.assertEqual(lb.queue_ttl_sec(), 9.0)


class PoolLockTest(unittest.TestCase):
    def test_one_lock_per_pool_key(self):
        lb = varnhold.LoadBalancer()
        first = lb._lock_for(("m", frozenset({1, 2, 3}), "fast"))
        self.assertIsInstance(first, asyncio.Lock)
        self.assertIs(lb._locks[("m", frozenset({1, 2, 3}), "fast")], first)
        self.assertIs(lb._lock_for(("m", frozenset([3, 2, 1]), "fast")), first)
        self.assertIsNot(lb._lock_for(("m", frozenset({1, 2, 3}), "slow")), first)
        self.assertEqual(len(lb._locks), 2)

    def test_lock_type_is_read_at_call_time(self):
        class FakeAsyncio:
            class Lock:
                pass
        patch_module(self, "asyncio")
        varnhold.asyncio = FakeAsyncio
        self.assertIsInstance(varnhold.LoadBalancer()._lock_for(KEY), FakeAsyncio.Lock)


class RecordDispatchTest(unittest.TestCase):
    def test_books_one_dispatch_with_the_clocks_in_order(self):
        clock = FakeClock(100.0).install(self)
        lb = varnhold.LoadBalancer()
        server = {"id": 7, "weight": 1.0}
        self.assertIsNone(lb._record_dispatch(KEY, server))
        self.assertEqual(clock.calls, ["monotonic", "time"])
        self.assertEqual(lb.dispatch_counts, {7: 1})
        self.assertEqual(lb.last_dispatch_ts, {7: 1_700_000_100.0})
        self.assertEqual(lb._pool_last_access, {KEY: 100.0})
        win = lb._pool_dispatch_windows[KEY]
        self.assertIs(type(win), collections.deque)
        self.assertEqual((list(win), win.maxlen), ([100.0], 4096))
        self.assertEqual(lb.inflight, {})

    def test_window_keeps_the_newest_4096(self):
        clock = FakeClock(0.0).install(self)
        lb = varnhold.LoadBalancer()
        for i in range(4097):
            clock.now = float(i)
            lb._record_dispatch(KEY, {"id": 1})
        win = lb._pool_dispatch_windows[KEY]
        self.assertEqual((len(win), win[0], win[-1]), (4096, 1.0, 4096.0))
        self.assertEqual(lb.dispatch_counts, {1: 4097})

    def test_existing_empty_window_stays_in_place(self):
        FakeClock(100.0).install(self)
        lb = varnhold.LoadBalancer()
        win = collections.deque(maxlen=3)
        lb._pool_dispatch_windows[KEY] = win
        lb._record_dispatch(KEY, {"id": 1})
        self.assertIs(lb._pool_dispatch_windows[KEY], win)
        self.assertEqual(list(win), [100.0])

    def test_patched_monotonic_of_the_real_time_module_is_used(self):
        lb = varnhold.LoadBalancer()
        with mock.patch("time.monotonic", return_value=5.25), \
             mock.patch("time.time", return_value=6.5):
            lb._record_dispatch(KEY, {"id": 1})
        self.assertEqual((lb._pool_last_access[KEY], lb.last_dispatch_ts[1]), (5.25, 6.5))

    def test_real_clock(self):
        import time
        lb = varnhold.LoadBalancer()
        before = time.monotonic()
        lb._record_dispatch(KEY, {"id": 1})
        after = time.monotonic()
        self.assertLessEqual(before, lb._pool_last_access[KEY])
        self.assertLessEqual(lb._pool_last_access[KEY], after)
        self.assertIs(type(lb._pool_last_access[KEY]), float)

    def test_record_without_id_changes_nothing(self):
        clock = FakeClock(100.0).install(self)
        lb = varnhold.LoadBalancer()
        lb._record_dispatch(KEY, {"id": 1})
        clock.calls.clear()
        before = {k: (v.copy() if hasattr(v, "copy") else v) for k, v in state(lb).items()}
        with self.assertRaises(KeyError) as cm:
            lb._record_dispatch(("other", frozenset(), "t"), {"weight": 1})
        self.assertEqual(cm.exception.args, ("id",))
        self.assertEqual(state(lb), before)
        self.assertEqual(clock.calls, [])

class BadInputTest(unittest.TestCase):
    def test_argument_counts_and_names(self):
        lb = varnhold.LoadBalancer()
        bad = [
            lambda: varnhold.LoadBalancer(1),
            lambda: varnhold.LoadBalancer(mode="x"),
            lambda: lb.increment(),
            lambda: lb.increment(1, 2),
            lambda: lb.decrement(sid=1),
            lambda: lb.get_inflight(1, server_id=1),
            lambda: lb.get_routing_mode(1),
            lambda: lb.set_routing_mode(),
            lambda: lb.queue_enabled(True),
            lambda: lb._record_dispatch(KEY),
            lambda: lb._record_dispatch(KEY, {"id": 1}, 3),
            lambda: lb.note_reject(),
            lambda: lb._lock_for(),
        ]
        for call in bad:
            with self.assertRaises(TypeError):
                call()
        with self.assertRaisesRegex(
                TypeError, r"^LoadBalancer\.increment\(\) takes 2 positional arguments "
                           r"but 3 were given$"):
            lb.increment(1, 2)
        with self.assertRaisesRegex(TypeError, "missing 1 required positional argument: 'server'"):
            lb._record_dispatch(pool_key=KEY)
        self.assertEqual(lb.increment(server_id=1), 1)
        self.assertEqual(lb.set_routing_mode(mode="superfast"), "superfast")

    def test_unhashable_ids_and_keys_raise_type_error_and_change_nothing(self):
        lb = varnhold.LoadBalancer()
        for call in (lb.increment, lb.decrement, lb.get_inflight, lb.force_clear,
                     lb.note_reject, lb._bump_reject, lb._lock_for, lb._wake_one):
            with self.assertRaises(TypeError):
                call([])
        with self.assertRaises(TypeError):
            lb._record_dispatch(KEY, {"id": {}})
        self.assertEqual((lb.inflight, lb.reject_counts, lb._locks, lb.dispatch_counts),
                         ({}, {}, {}, {}))

    def test_errors_from_hash_propagate(self):
        class BadHash:
            def __hash__(self):
                raise ArithmeticError("no hash")

        lb = varnhold.LoadBalancer()
        with self.assertRaises(ArithmeticError):
            lb.increment(BadHash())
        with self.assertRaises(ArithmeticError):
            lb._record_dispatch(KEY, {"id": BadHash()})

    def test_records_and_state_of_other_types(self):
        lb = varnhold.LoadBalancer()
        with self.assertRaises(TypeError):
            lb._record_dispatch(KEY, [1, 2])
        with self.assertRaises(TypeError):
            lb._record_dispatch(KEY, None)
        lb.inflight = None
        with self.assertRaises((TypeError, AttributeError)):
            lb.increment(1)

    def test_methods_on_an_uninitialised_or_foreign_object(self):
        raw = varnhold.LoadBalancer.__new__(varnhold.LoadBalancer)
        for call in (lambda: raw.increment(1), lambda: raw.get_routing_mode(),
                     lambda: raw.queue_enabled(), lambda: raw._record_dispatch(KEY, {"id": 1})):
            with self.assertRaises(AttributeError):
                call()
        with self.assertRaises(TypeError):
            varnhold.LoadBalancer.increment(object(), 1)

    def test_repeated_calls_leave_no_references(self):
        lb = varnhold.LoadBalancer()
        sid, reason, server = object(), "r-" + "x" * 10, {"id": "srv"}
        key = ("m", frozenset({1}), "t")
        lb.increment(sid)
        lb.decrement(sid)
        lb._record_dispatch(key, server)
        lb.note_reject(reason)
        lb._lock_for(key)
        counts = [sys.getrefcount(o) for o in (sid, reason, server, key)]
        for _ in range(1000):
            lb.increment(sid)
            lb.get_inflight(sid)
            lb.decrement(sid)
            lb._record_dispatch(key, server)
            lb.note_reject(reason)
            lb._lock_for(key)
        self.assertEqual([sys.getrefcount(o) for o in (sid, reason, server, key)], counts)


class ClassPatchTest(unittest.TestCase):
    def test_patching_the_class_reaches_existing_balancers(self):
        # In a fresh interpreter: the class stays patched for the process.
        out = run_python("""
            import varnhold
            lb = varnhold.LoadBalancer()
            woken = []
            varnhold.LoadBalancer._wake_one = lambda self, sid: woken.append(sid)
            lb.decrement(8)
            print(woken)
        """)
        self.assertEqual(out.strip(), "[8]")


if __name__ == "__main__":
    unittest.main()
