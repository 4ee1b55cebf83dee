"""Crash-proofing: hostile arguments, settings and records. Every call here runs
in this process on purpose: a crash takes the whole suite down, which is the
failure this file exists to find. Each call must end in a Python exception or
its ordinary result, and leave the balancer consistent and usable."""

import asyncio
import collections
import functools
import inspect
import math
import unittest
from unittest import mock

import varnhold
from support import VirtualTimeCase, patch_module, rec, silence_logger

PK = ("model", frozenset({1, 2}), "tier")


class Boom(Exception):
    pass


class RaisingDict(dict):
    def __getitem__(self, key):
        raise Boom(key)


class BadHash:
    def __hash__(self):
        raise Boom("hash")


backend = functools.partial(rec, cap=1, max_input_tokens=1000)  # a valid record


SELF_LIST = []
SELF_LIST.append(SELF_LIST)
SELF_DICT = {}
SELF_DICT.update(id=SELF_DICT, content=SELF_DICT, messages=[SELF_DICT], input=SELF_DICT)

HOSTILE = [None, -1, 2**100, -(2**100), math.nan, math.inf, -math.inf, "x", b"x", [], {},
           (), object(), SELF_LIST, SELF_DICT, RaisingDict(id=1, weight=1.0), BadHash(),
           {"id": [1], "weight": 1.0}, [RaisingDict(id=1)], [{"id": [1], "weight": 1.0}],
           [{"id": BadHash(), "weight": 1.0}], (["model"], frozenset(), "tier"), [SELF_LIST],
           [{"id": 1, "weight": "heavy", "max_concurrency": "x", "max_input_tokens": math.nan}],
           [{"id": 1, "weight": math.nan, "max_concurrency": 2**100}]]

# Arguments that work, per public operation; each position is replaced in
# turn by every hostile value.
VALID = {
    "set_routing_mode": ("hybrid",), "get_routing_mode": (), "queue_enabled": (),
    "queue_ttl_sec": (), "queue_depth_multiplier": (), "_superfast_cap": (3,),
    "_hybrid_hot": (PK, 3, 1.0), "_effective_cap_for": (backend(1), 3, 1.0, PK),
    "effective_cap_for": (backend(1), [backend(1)], PK), "_pool_inflight": ([backend(1)],),
    "_recent_dispatch_rate": (PK,), "increment": (1,), "decrement": (1,), "get_inflight": (1,),
    "force_clear": (1,), "_lock_for": (PK,), "_evict_stale_pools": (),
    "_under_capacity": (backend(1), [backend(1)], PK), "select": (PK, [backend(1), backend(2)]),
    "_wrr_pick": (PK, [backend(1), backend(2)]), "_least_connections_pick": ([backend(1)],),
    "_sticky_lookup": ([backend(1), backend(2)], "user"), "_record_dispatch": (PK, backend(1)),
    "filter_by_fit": ([backend(1)], 10), "_queue_capacity_for_pool": ([backend(1)],),
    "wait_for_slot": (PK, [backend(1)], 10), "_wake_one": (1,), "note_reject": ("x",),
    "_bump_reject": ("x",), "snapshot": (), "prometheus_text": (),
    "_try_admit": None, "_fulfill": None, "_remove_waiter": None,  # need a waiter
}
MODULE_FUNCS = {
    "normalize_routing_mode": ("hybrid",), "normalize_lb_algorithm": ("sticky_session",),
    "estimate_request_tokens": ({"prompt": "abcd"},), "_env_int": ("VARNHOLD_UNSET", 3),
    "_env_float": ("VARNHOLD_UNSET", 3.0), "_env_bool": ("VARNHOLD_UNSET", True),
}
KEYWORDS = {"select": ("estimated_tokens", "force_server_id", "sin_binned", "algorithm",
                       "sticky_key"),
            "wait_for_slot": ("sin_binned",)}


async def outcome(fn, *args, **kwargs):
    """Calls, awaits what is awaitable (for 50 ms of the loop's fake clock),
    and returns the result or the Exception raised. Anything that is not an
    Exception fails the test."""
    try:
        result = fn(*args, **kwargs)
        if inspect.isawaitable(result):
            result = await asyncio.wait_for(result, 0.05)
        return result
    except Exception as e:  # noqa: BLE001 - the point is that it is an Exception
        return e


class Base(VirtualTimeCase):
    """On an event loop with a fake clock, so that time-outs fire in the same
    order on every machine; the balancer keeps the real clock (the fast road).
    Each turn of the loop takes a tenth of a millisecond, so a task that never
    waits (a reaper with a negative interval) still runs out a time-out."""

    TURN = 0.0001

    def setUp(self):
        self.lb = varnhold.LoadBalancer()
        patch_module(self, QUEUE_ENABLED=True, QUEUE_TTL_SEC=0.005)
        silence_logger(self)

    def assertConsistent(self, lb):
        for sid, n in lb.inflight.items():
            self.assertIsInstance(n, int)
            self.assertGreaterEqual(n, 0, sid)
        for sid, q in lb._waiters.items():
            self.assertTrue(q, sid)
            for w in q:
                self.assertTrue(any(w is x for x in lb._all_waiters))
        self.assertLessEqual(len(lb.queue_wait_samples), 512)

    async def assertUsable(self, lb):
        """A normal request still goes through: select, lease, park, hand-over."""
        lb.set_routing_mode("max_concurrency")
        a, b = {"id": 901, "weight": 1.0, "max_concurrency": 1}, {"id": 902, "weight": 1.0}
        got = await lb.select(PK, [a])
        self.assertIs(got, a)
        with varnhold.InflightLease(lb, 901):
            task = asyncio.ensure_future(lb.wait_for_slot(PK, [a], 1))
            await asyncio.sleep(0)
        self.assertIs((await task)[0], a)
        self.assertIs(await lb.select(PK, [b], algorithm="least_connections"), b)
        # A pool key that is not (text, set of ids, text), once booked, makes
        # the reports raise TypeError until the pool goes stale; that is
        # their documented answer, not a crash.
        self.assertIsInstance(await outcome(lb.snapshot), (dict, TypeError))
        self.assertIsInstance(await outcome(lb.prometheus_text), (str, TypeError))
        self.assertConsistent(lb)


class HostileArguments(Base):
    async def test_every_method_with_every_hostile_argument(self):
        lb = self.lb
        loop = asyncio.get_running_loop()
        for name, valid in VALID.items():
            if valid is None:
                waiter = varnhold._Waiter(PK, [backend(1)], 5, loop.create_future(), 0.0)
                valid = (waiter, backend(1)) if name == "_fulfill" else (waiter,)
            for i in range(len(valid)):
                for bad in HOSTILE:
                    args = valid[:i] + (bad,) + valid[i + 1:]
                    with self.subTest(method=name, position=i, value=repr(bad)[:40]):
                        await outcome(getattr(lb, name), *args)
                        self.assertConsistent(lb)
            # Wrong arity and unknown keywords are the interpreter's TypeError.
            self.assertIsInstance(await outcome(getattr(lb, name), *valid, *HOSTILE[:5]), TypeError)
            self.assertIsInstance(await outcome(getattr(lb, name), *valid, bogus=1), TypeError)
        for name, keywords in KEYWORDS.items():
            for kw in keywords:
                for bad in HOSTILE:
                    with self.subTest(method=name, keyword=kw, value=repr(bad)[:40]):
                        await outcome(getattr(lb, name), *VALID[name], **{kw: bad})
                        self.assertConsistent(lb)
        for kw in ("interval_sec", "list_running_servers"):
            for bad in HOSTILE:
                await outcome(varnhold.inflight_reaper_loop, lb, **{kw: bad})
        for name, valid in MODULE_FUNCS.items():
            for i in range(len(valid)):
                for bad in HOSTILE:
                    await outcome(getattr(varnhold, name), *valid[:i], bad, *valid[i + 1:])
        await self.assertUsable(lb)

    async def test_lease_with_hostile_balancer_or_server(self):
        for lb, sid in ((None, 1), (object(), 1), (self.lb, [1]), (self.lb, BadHash()),
                        (self.lb, SELF_LIST), (RaisingDict(), 1)):
            lease = varnhold.InflightLease(lb, sid)
            for step in (lease.__enter__, lease.release, lease.__aenter__,
                         lambda: lease.__aexit__(None, None, None),
                         lambda: lease.__exit__(ValueError, ValueError(), None)):
                self.assertIsInstance(await outcome(step), (Exception, varnhold.InflightLease,
                                                            type(None), bool))
        self.assertEqual(self.lb.inflight, {})
        self.assertIsInstance(await outcome(varnhold.InflightLease), TypeError)
        await self.assertUsable(self.lb)

    async def test_coroutine_objects_misused(self):
        lb = self.lb
        coro = lb.select(PK, [backend(1)])
        with self.assertRaises(StopIteration) as stop:
            coro.send(None)
        self.assertEqual(stop.exception.value, backend(1))
        self.assertRaises(RuntimeError, coro.send, None)
        coro = lb.wait_for_slot(PK, [backend(1)], 5)
        self.assertRaises(ValueError, coro.throw, ValueError("from the host"))
        coro = lb._wrr_pick(PK, [backend(1)])
        coro.close()
        self.assertRaises(RuntimeError, coro.send, None)
        coro = varnhold.inflight_reaper_loop(lb, interval_sec=math.nan)
        self.assertRaises(ValueError, coro.send, None)
        self.assertConsistent(lb)


class HostileRecords(Base):
    async def test_unhashable_or_unreadable_ids_book_and_park_nothing(self):
        lb = self.lb
        lb.set_routing_mode("max_concurrency")
        lb.increment(1)
        for bad in ({"id": [2], "weight": 1.0, "max_concurrency": 1},
                    {"id": BadHash(), "weight": 1.0, "max_concurrency": 1},
                    RaisingDict(id=2, weight=1.0)):
            for sin in (None, [99]):
                with self.subTest(record=type(bad["id"] if type(bad) is dict else bad).__name__,
                                  sin_binned=sin):
                    for algo in varnhold.VALID_LB_ALGORITHMS:
                        err = await outcome(lb.select, PK, [backend(1), bad], algorithm=algo,
                                            sin_binned=sin, sticky_key="u")
                        self.assertIsInstance(err, (TypeError, Boom))
                    err = await outcome(lb.wait_for_slot, PK, [backend(1), bad], 5, sin_binned=sin)
                    self.assertIsInstance(err, (TypeError, Boom))
                    self.assertEqual((lb._waiters, lb._all_waiters, lb.dispatch_counts),
                                     ({}, [], {}))
                    self.assertIsInstance(await outcome(lb.filter_by_fit, [bad], 5),
                                          (list, Boom))
        self.assertEqual(lb.inflight, {1: 1})
        await self.assertUsable(lb)

    async def test_pool_keys_that_do_not_hash(self):
        lb = self.lb
        lb.set_routing_mode("max_concurrency")
        for key in ([1], (["m"], frozenset(), "t"), BadHash()):
            for call in (lambda: lb.select(key, [backend(1)]), lambda: lb._wrr_pick(key, [backend(1)]),
                         lambda: lb._lock_for(key), lambda: lb._record_dispatch(key, backend(1)),
                         lambda: lb.effective_cap_for(backend(1), [backend(1)], key),
                         lambda: lb.wait_for_slot(key, [backend(1)], 5)):
                self.assertIsInstance(await outcome(call), (TypeError, Boom))
        # Booking counts the server before it reaches the pool key.
        self.assertEqual((lb.dispatch_counts, lb._locks, lb._pool_last_access, lb._all_waiters),
                         ({1: 3}, {}, {}, []))
        # Parked with a key that fails later: the wait ends in the error and
        # the queues are left clean, for the waiter and for the next request.
        lb.increment(1)
        task = asyncio.ensure_future(lb.wait_for_slot([1], [backend(1)], 5))
        await asyncio.sleep(0)
        self.assertEqual(lb.decrement(1), 0)
        self.assertIsInstance(await outcome(lambda: task), TypeError)
        self.assertEqual((lb._waiters, lb._all_waiters), ({}, []))
        await self.assertUsable(lb)

    async def test_self_referential_and_deep_bodies(self):
        deep = []
        cur = deep
        for _ in range(100000):
            cur.append([])
            cur = cur[0]
        for key in ("messages", "input", "prompt", "system", "documents", "query", "contents"):
            for n, value in enumerate((SELF_LIST, SELF_DICT, deep, [{"content": SELF_LIST}],
                                       [{"content": [SELF_DICT, {"type": "text", "text": SELF_LIST}]}])):
                with self.subTest(key=key, value=n):
                    self.assertIsInstance(varnhold.estimate_request_tokens({key: value}), int)
        body = RaisingDict(prompt="abcd")
        self.assertIsInstance(await outcome(varnhold.estimate_request_tokens, body), (int, Boom))
        # A candidate list that contains itself is not a list of records.
        err = await outcome(self.lb.select, PK, SELF_LIST)
        self.assertIsInstance(err, (AttributeError, TypeError, KeyError))
        self.assertIsInstance(await outcome(self.lb.wait_for_slot, PK, SELF_LIST, 1),
                              (AttributeError, TypeError, KeyError))
        await self.assertUsable(self.lb)

    async def test_weights_and_caps_that_do_not_compare(self):
        lb = self.lb
        recs = [{"id": 1, "weight": "heavy"}, {"id": 2, "weight": 1.0, "max_concurrency": "x"},
                {"id": 3, "weight": 1.0, "max_concurrency": 2**100}]
        for mode in varnhold.VALID_ROUTING_MODES:
            lb.set_routing_mode(mode)
            for algo in varnhold.VALID_LB_ALGORITHMS:
                await outcome(lb.select, PK, recs, algorithm=algo)
                await outcome(lb.select, PK, recs[1:], algorithm=algo)
            await outcome(lb.wait_for_slot, PK, recs, 1)
            self.assertConsistent(lb)
        self.assertEqual(lb._all_waiters, [])
        await self.assertUsable(lb)


class HostileWaiters(Base):
    async def test_waiters_with_hostile_fields_or_that_change_the_queues(self):
        lb = self.lb
        lb.set_routing_mode("max_concurrency")
        a, b = backend(1), backend(2)

        class Sneaky:
            """A token estimate whose comparison empties the queues."""
            def __lt__(self, other):
                lb._waiters.clear()
                lb._all_waiters.clear()
                return True
            __gt__ = __lt__

        for mode in ("max_concurrency", "queue_all"):
            lb.set_routing_mode(mode)
            lb.increment(1)
            lb.increment(2)
            tasks = [asyncio.ensure_future(lb.wait_for_slot(PK, [a, b], i)) for i in range(3)]
            await asyncio.sleep(0)
            w0, w1, w2 = lb._all_waiters
            w1.estimated_tokens = Sneaky()
            w2.queued_at = "late"
            w2.candidates = [RaisingDict(id=2), b, SELF_LIST]
            for call in (lambda: lb.decrement(1), lambda: lb._wake_one(2),
                         lambda: lb._try_admit(w2), lambda: lb._fulfill(w2, None),
                         lambda: lb._remove_waiter(w2), lambda: lb._remove_waiter(w1),
                         lb.snapshot, lb.prometheus_text, lambda: lb.decrement(2)):
                await outcome(call)
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            lb._waiters.clear()
            lb._all_waiters.clear()
            lb.inflight.clear()
        bad = varnhold._Waiter(BadHash(), SELF_LIST, math.nan, None, "x", boost_after_sec=math.inf)
        lb._waiters[1] = collections.deque([bad, None, 5])
        lb._all_waiters.extend([bad, None])
        for call in (lambda: lb._wake_one(1), lambda: lb._try_admit(bad), lambda: lb._fulfill(bad, a),
                     lambda: lb._remove_waiter(bad), lambda: lb._remove_waiter(None),
                     lambda: bad.is_boosted(math.nan), lb.snapshot, lb.prometheus_text):
            await outcome(call)
        lb._waiters.clear()
        lb._all_waiters.clear()
        await self.assertUsable(lb)


class HostileSettings(Base):
    NUMERIC = ("QUEUE_TTL_SEC", "QUEUE_MAX_DEPTH_MULTIPLIER", "QUEUE_DEADLINE_BOOST_SEC",
               "POOL_LRU_TTL_SEC", "IMAGE_TOKEN_COST", "SUPERFAST_PER_SERVER_CAP",
               "HYBRID_INFLIGHT_THRESHOLD", "HYBRID_RATE_THRESHOLD", "HYBRID_RATE_WINDOW_SEC",
               "HYBRID_HOT_EXIT_RATIO", "QUEUE_ALL_DEPTH_MULTIPLIER", "QUEUE_ALL_TTL_SEC")
    OTHER = ("QUEUE_ENABLED", "DEFAULT_ROUTING_MODE", "VALID_ROUTING_MODES",
             "ROUTING_MODE_QUEUE_ALL", "RejectReason", "deque", "time", "asyncio", "logger")

    async def exercise(self, lb):
        recs = [backend(1, cap=2), backend(2, cap=2**80)]
        body = {"messages": [{"content": [{"type": "image"}, {"type": "text", "text": "ab"}]}]}
        for mode in ("superfast", "hybrid", "max_concurrency", "queue_all"):
            lb._routing_mode = mode
            for call in (lambda: lb.select(PK, recs), lambda: lb.wait_for_slot(PK, recs, 5),
                         lb.snapshot, lb.prometheus_text, lb.queue_enabled, lb.queue_ttl_sec,
                         lb.queue_depth_multiplier, lambda: lb._queue_capacity_for_pool(recs),
                         lambda: lb.effective_cap_for(recs[1], recs, PK),
                         lambda: lb._hybrid_hot(PK, 10**30, math.inf),
                         lambda: lb._recent_dispatch_rate(PK), lambda: lb.increment(1),
                         lambda: lb.decrement(1), lambda: lb.force_clear(1),
                         lambda: lb.set_routing_mode("hybrid"), lambda: lb._lock_for(PK),
                         lambda: varnhold.estimate_request_tokens(body)):
                await outcome(call)
        for t in asyncio.all_tasks() - {asyncio.current_task()}:
            t.cancel()

    async def test_numeric_settings_nan_infinite_huge_and_wrong_type(self):
        for name in self.NUMERIC + self.OTHER:
            for value in (math.nan, math.inf, -math.inf, 2**100, -(2**100), None, "x", -1, [1]):
                lb = varnhold.LoadBalancer()
                with self.subTest(setting=name, value=value), \
                        mock.patch.object(varnhold, name, value):
                    await self.exercise(lb)
                    self.assertEqual(lb._all_waiters, [])
                    self.assertConsistent(lb)

    async def test_bounded_at_the_point_of_use(self):
        lb, pair = self.lb, [backend(1, cap=2), backend(2, cap=3)]
        with mock.patch.object(varnhold, "SUPERFAST_PER_SERVER_CAP", -(2**100)):
            self.assertEqual(lb._superfast_cap(3), 1)
        with mock.patch.object(varnhold, "SUPERFAST_PER_SERVER_CAP", 2**100):
            self.assertEqual(lb._superfast_cap(3), 3)
            self.assertEqual(lb._superfast_cap(0), 2**100)
            self.assertEqual(lb.snapshot()["superfast_cap"], 2**100)
        with mock.patch.object(varnhold, "QUEUE_MAX_DEPTH_MULTIPLIER", 2**100):
            self.assertEqual(lb._queue_capacity_for_pool(pair), 5 * 2**100)
        with mock.patch.object(varnhold, "QUEUE_MAX_DEPTH_MULTIPLIER", -(2**100)):
            self.assertEqual(lb._queue_capacity_for_pool(pair), 5)
        with mock.patch.object(varnhold, "QUEUE_TTL_SEC", math.nan):
            self.assertTrue(math.isnan(lb.queue_ttl_sec()))
        with mock.patch.object(varnhold, "IMAGE_TOKEN_COST", 2**100):
            body = {"messages": [{"content": [{"type": "image_url"}] * 3}]}
            self.assertEqual(varnhold.estimate_request_tokens(body), 3 * 2**100)
        with mock.patch.object(varnhold, "QUEUE_TTL_SEC", -math.inf):
            self.assertEqual((await lb.wait_for_slot(PK, [backend(1)], 1))[:2], (backend(1), "ok"))
            lb.increment(1)
            lb.increment(1)
            self.assertEqual((await lb.wait_for_slot(PK, [backend(1)], 1))[1], "queue_timeout")
        self.assertEqual(lb._all_waiters, [])


if __name__ == "__main__":
    unittest.main()
