"""Start-up: what importing the module binds, in which order, and the shapes
of the record type, the reasons and the classes."""

import asyncio
import collections
import dataclasses
import json
import os
import tempfile
import typing
import unittest

import varnhold
from support import run_python

STANDARD = [
    "asyncio", "logging", "os", "time", "deque", "dataclass", "field",
    "Any", "Awaitable", "Callable", "Deque", "Dict", "FrozenSet", "List",
    "Optional", "Tuple",
]

INTERFACE = [
    "logger", "PoolKey", "_env_bool", "_env_int", "_env_float",
    "QUEUE_ENABLED", "QUEUE_TTL_SEC", "QUEUE_MAX_DEPTH_MULTIPLIER",
    "QUEUE_DEADLINE_BOOST_SEC", "POOL_LRU_TTL_SEC",
    "_DEFAULT_IMAGE_TOKEN_COST", "IMAGE_TOKEN_COST",
    "ROUTING_MODE_SUPERFAST", "ROUTING_MODE_HYBRID",
    "ROUTING_MODE_MAX_CONCURRENCY", "ROUTING_MODE_QUEUE_ALL",
    "DEFAULT_ROUTING_MODE", "VALID_ROUTING_MODES",
    "SUPERFAST_PER_SERVER_CAP", "HYBRID_INFLIGHT_THRESHOLD",
    "HYBRID_RATE_THRESHOLD", "HYBRID_RATE_WINDOW_SEC", "HYBRID_HOT_EXIT_RATIO",
    "QUEUE_ALL_DEPTH_MULTIPLIER", "QUEUE_ALL_TTL_SEC",
    "normalize_routing_mode",
    "LB_ALGO_WRR", "LB_ALGO_LEAST_CONN", "LB_ALGO_STICKY",
    "DEFAULT_LB_ALGORITHM", "VALID_LB_ALGORITHMS",
    "normalize_lb_algorithm", "_Waiter", "RejectReason", "LoadBalancer",
    "InflightLease",
]
# Functions of later parts; when present they come last, in this order.
LATER = ["estimate_request_tokens", "inflight_reaper_loop"]

LB_METHOD_ORDER = [
    "set_routing_mode", "get_routing_mode", "queue_enabled", "queue_ttl_sec",
    "queue_depth_multiplier", "_superfast_cap", "_hybrid_hot",
    "_effective_cap_for", "effective_cap_for", "_pool_inflight",
    "_recent_dispatch_rate", "increment", "decrement", "get_inflight",
    "force_clear", "_lock_for", "_evict_stale_pools", "_under_capacity",
    "select", "_wrr_pick", "_least_connections_pick", "_sticky_lookup",
    "_record_dispatch", "filter_by_fit", "_queue_capacity_for_pool",
    "wait_for_slot", "_try_admit", "_wake_one", "_fulfill", "_remove_waiter",
    "note_reject", "_bump_reject", "snapshot", "prometheus_text",
]


class NamespaceTest(unittest.TestCase):
    def test_attributes_in_start_up_order_after_the_standard_facilities(self):
        names = [k for k in vars(varnhold) if not k.startswith("__")]
        later = [n for n in LATER if n in names]
        self.assertEqual(names, STANDARD + INTERFACE + later)

    def test_standard_facilities_are_the_real_objects(self):
        import logging
        import time
        self.assertIs(varnhold.asyncio, asyncio)
        self.assertIs(varnhold.logging, logging)
        self.assertIs(varnhold.os, os)
        self.assertIs(varnhold.time, time)
        self.assertIs(varnhold.deque, collections.deque)
        self.assertIs(varnhold.dataclass, dataclasses.dataclass)
        self.assertIs(varnhold.field, dataclasses.field)
        for name in STANDARD[7:]:
            self.assertIs(getattr(varnhold, name), getattr(typing, name), name)
        self.assertFalse(hasattr(varnhold, "hashlib"))

    def test_logger_and_pool_key(self):
        import logging
        self.assertIs(varnhold.logger, logging.getLogger("varnhold"))
        self.assertEqual(varnhold.PoolKey,
                         typing.Tuple[str, typing.FrozenSet[int], str])

    def test_tables(self):
        self.assertEqual(varnhold.DEFAULT_ROUTING_MODE, "superfast")
        self.assertEqual(varnhold.VALID_ROUTING_MODES,
                         frozenset({"superfast", "hybrid", "max_concurrency", "queue_all"}))
        self.assertIsInstance(varnhold.VALID_ROUTING_MODES, frozenset)
        self.assertEqual(varnhold.DEFAULT_LB_ALGORITHM, "weighted_round_robin")
        self.assertEqual(varnhold.VALID_LB_ALGORITHMS,
                         frozenset({"weighted_round_robin", "least_connections",
                                    "sticky_session"}))
        self.assertIsInstance(varnhold.VALID_LB_ALGORITHMS, frozenset)
        self.assertEqual(varnhold._DEFAULT_IMAGE_TOKEN_COST, 2048)

    def test_import_binds_no_balancer_logs_nothing(self):
        out = run_python("""
            import gc, json, logging
            records = []
            class Keep(logging.Handler):
                def emit(self, record):
                    records.append(record.getMessage())
            logging.getLogger().addHandler(Keep())
            logging.getLogger().setLevel(logging.DEBUG)
            import varnhold
            balancers = [o for o in gc.get_objects() if isinstance(o, varnhold.LoadBalancer)]
            print(json.dumps([records, len(balancers)]))
        """)
        self.assertEqual(json.loads(out), [[], 0])

    def test_logger_named_after_the_import_name_inside_a_package(self):
        with tempfile.TemporaryDirectory() as tmp:
            pkg = os.path.join(tmp, "hostpkg")
            os.mkdir(pkg)
            open(os.path.join(pkg, "__init__.py"), "w").close()
            os.symlink(varnhold.__file__, os.path.join(pkg, os.path.basename(varnhold.__file__)))
            out = run_python("""
                import json, logging, sys
                sys.path.insert(0, %r)
                from hostpkg import varnhold
                names = []
                class Keep(logging.Handler):
                    def emit(self, record):
                        names.append(record.name)
                logging.getLogger().addHandler(Keep())
                varnhold.logger.setLevel(logging.INFO)
                varnhold.LoadBalancer().set_routing_mode("hybrid")
                print(json.dumps([varnhold.logger.name, names, varnhold._Waiter.__module__]))
            """ % tmp)
        self.assertEqual(json.loads(out), ["hostpkg.varnhold", ["hostpkg.varnhold"],
                                           "hostpkg.varnhold"])


class WaiterRecordTest(unittest.TestCase):
    def test_is_a_dataclass_with_its_fields_in_order(self):
        W = varnhold._Waiter
        self.assertTrue(dataclasses.is_dataclass(W))
        fields = dataclasses.fields(W)
        self.assertEqual([f.name for f in fields],
                         ["pool_key", "candidates", "estimated_tokens", "future",
                          "queued_at", "boost_after_sec"])
        self.assertTrue(all(f.default is dataclasses.MISSING for f in fields[:5]))
        self.assertEqual(fields[5].default, 0.0)
        self.assertIsInstance(fields[5].default, float)
        self.assertEqual(W.__doc__, "One queued request, parked across an eligible candidate set.")
        self.assertEqual(W.__module__, "varnhold")
        # Default options: mutable, compared field by field, so not hashable.
        self.assertIsNone(W.__hash__)
        self.assertFalse(W.__dataclass_params__.frozen)

    def test_construction_repr_and_equality(self):
        loop = asyncio.new_event_loop()
        self.addCleanup(loop.close)
        key = ("m", frozenset({1, 2}), "fast")
        f1, f2 = loop.create_future(), loop.create_future()
        w = varnhold._Waiter(key, [{"id": 1}], 10, f1, 5.0)
        self.assertEqual(w.boost_after_sec, 0.0)
        kw = varnhold._Waiter(pool_key=key, candidates=[{"id": 1}], estimated_tokens=10,
                              future=f1, queued_at=5.0, boost_after_sec=0.0)
        self.assertEqual(w, kw)
        self.assertNotEqual(w, varnhold._Waiter(key, [{"id": 1}], 10, f2, 5.0))
        self.assertTrue(repr(w).startswith("_Waiter(pool_key=('m', frozenset({1, 2}), 'fast'), "))
        self.assertTrue(repr(w).endswith("queued_at=5.0, boost_after_sec=0.0)"))
        with self.assertRaises(TypeError):
            varnhold._Waiter(key, [], 10, f1)


class ReasonsAndClassesTest(unittest.TestCase):
    def test_reject_reason_is_a_plain_namespace(self):
        R = varnhold.RejectReason
        self.assertEqual(R.__bases__, (object,))
        own = {k: v for k, v in vars(R).items() if not k.startswith("__")}
        self.assertEqual(list(own.items()),
                         [("NONE", "none"), ("QUEUE_FULL", "queue_full"),
                          ("QUEUE_TIMEOUT", "queue_timeout"), ("NO_BACKENDS", "no_backends"),
                          ("TOO_LARGE", "too_large"), ("AT_CAPACITY", "at_capacity")])
        self.assertTrue(all(type(v) is str for v in own.values()))

    def test_classes_have_no_other_base(self):
        self.assertEqual(varnhold.LoadBalancer.__bases__, (object,))
        self.assertEqual(varnhold.InflightLease.__bases__, (object,))

    def test_balancer_methods_in_documented_order(self):
        defined = [k for k in vars(varnhold.LoadBalancer) if k in LB_METHOD_ORDER]
        self.assertEqual(defined, [m for m in LB_METHOD_ORDER if m in defined])
        for m in ("set_routing_mode", "get_routing_mode", "queue_enabled", "queue_ttl_sec",
                  "queue_depth_multiplier", "increment", "decrement", "get_inflight",
                  "force_clear", "_lock_for", "_record_dispatch", "_wake_one",
                  "note_reject", "_bump_reject"):
            self.assertIn(m, defined)

    def test_lease_methods_in_documented_order(self):
        names = [k for k in vars(varnhold.InflightLease)
                 if k in ("__init__", "__enter__", "__exit__", "__aenter__", "__aexit__",
                          "release")]
        self.assertEqual(names, ["__init__", "__enter__", "__exit__", "__aenter__",
                                 "__aexit__", "release"])

    def test_two_balancers_share_no_state(self):
        a, b = varnhold.LoadBalancer(), varnhold.LoadBalancer()
        for name in ("inflight", "_wrr", "_locks", "_pool_last_access", "_waiters",
                     "_all_waiters", "dispatch_counts", "last_dispatch_ts", "reject_counts",
                     "queue_wait_samples", "_pool_dispatch_windows", "_pool_hot_state"):
            self.assertIsNot(getattr(a, name), getattr(b, name), name)
        a.increment(1)
        a.note_reject("queue_full")
        self.assertEqual((b.inflight, b.reject_counts), ({}, {}))
        key = ("m", frozenset({1}), "t")
        self.assertIsNot(a._lock_for(key), b._lock_for(key))


if __name__ == "__main__":
    unittest.main()
