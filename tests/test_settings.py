"""Settings read from QUORVANE_LB_* at import, the three readers, and the two
name normalisers."""

import json
import math
import os
import unittest
from unittest import mock

import varnhold
from support import run_python

# environment variable -> (attribute, default)
SETTINGS = {
    "QUORVANE_LB_QUEUE_ENABLED": ("QUEUE_ENABLED", False),
    "QUORVANE_LB_QUEUE_TTL_SEC": ("QUEUE_TTL_SEC", 30.0),
    "QUORVANE_LB_QUEUE_MAX_DEPTH_MULTIPLIER": ("QUEUE_MAX_DEPTH_MULTIPLIER", 4),
    "QUORVANE_LB_QUEUE_DEADLINE_BOOST_SEC": ("QUEUE_DEADLINE_BOOST_SEC", 10.0),
    "QUORVANE_LB_POOL_LRU_TTL_SEC": ("POOL_LRU_TTL_SEC", 300.0),
    "QUORVANE_LB_IMAGE_TOKENS": ("IMAGE_TOKEN_COST", 2048),
    "QUORVANE_LB_SUPERFAST_CAP": ("SUPERFAST_PER_SERVER_CAP", 4),
    "QUORVANE_LB_HYBRID_INFLIGHT": ("HYBRID_INFLIGHT_THRESHOLD", 10),
    "QUORVANE_LB_HYBRID_RATE": ("HYBRID_RATE_THRESHOLD", 10.0),
    "QUORVANE_LB_HYBRID_WINDOW_SEC": ("HYBRID_RATE_WINDOW_SEC", 5.0),
    "QUORVANE_LB_HYBRID_HOT_EXIT_RATIO": ("HYBRID_HOT_EXIT_RATIO", 0.8),
    "QUORVANE_LB_QUEUE_ALL_DEPTH_MULTIPLIER": ("QUEUE_ALL_DEPTH_MULTIPLIER", 1000),
    "QUORVANE_LB_QUEUE_ALL_TTL_SEC": ("QUEUE_ALL_TTL_SEC", 600.0),
}


def settings_at_import(env):
    """The thirteen settings, as a fresh import with env sees them."""
    attrs = [a for a, _ in SETTINGS.values()]
    out = run_python(f"""
        import json, varnhold
        print(json.dumps([getattr(varnhold, a) for a in {attrs!r}]))
    """, env)
    return dict(zip(attrs, json.loads(out)))


class ImportReadsEnvironmentTest(unittest.TestCase):
    def assertSame(self, got, want):
        self.assertEqual((got, type(got)), (want, type(want)))

    def test_defaults_with_nothing_set(self):
        got = settings_at_import({})
        for attr, default in SETTINGS.values():
            self.assertSame(got[attr], default)

    def test_each_variable_lands_in_its_own_attribute(self):
        env, want = {}, {}
        for i, (var, (attr, default)) in enumerate(SETTINGS.items()):
            if isinstance(default, bool):
                env[var], want[attr] = "yes", True
            elif isinstance(default, int):
                env[var], want[attr] = str(100 + i), 100 + i
            else:
                env[var], want[attr] = f"{i}.5", i + 0.5
        got = settings_at_import(env)
        for attr, value in want.items():
            self.assertSame(got[attr], value)

    def test_empty_and_unreadable_values_keep_the_defaults(self):
        env = {var: "" for var in SETTINGS}
        env.update({"QUORVANE_LB_SUPERFAST_CAP": "8.0", "QUORVANE_LB_QUEUE_TTL_SEC": "soon",
                    "QUORVANE_LB_IMAGE_TOKENS": "0x8", "QUORVANE_LB_QUEUE_ENABLED": " ",
                    "QUORVANE_LB_HYBRID_RATE": "-inf"})
        got = settings_at_import(env)
        for var, (attr, default) in SETTINGS.items():
            if var == "QUORVANE_LB_HYBRID_RATE":
                self.assertEqual(got[attr], -math.inf)  # read, not bounded
            else:
                self.assertSame(got[attr], default)


class ReaderTest(unittest.TestCase):
    VAR = "QUORVANE_LB_TEST_READER"

    def read(self, reader, text, default):
        env = {} if text is None else {self.VAR: text}
        with mock.patch.dict(os.environ, env):
            if text is None:
                os.environ.pop(self.VAR, None)
            return reader(self.VAR, default)

    def test_bool(self):
        for text in (None, ""):
            self.assertIs(self.read(varnhold._env_bool, text, False), False)
            self.assertIs(self.read(varnhold._env_bool, text, True), True)
        sentinel = object()
        self.assertIs(self.read(varnhold._env_bool, "", sentinel), sentinel)
        for text in (" yes ", "TRUE", "on", "1", "\tOn\n"):
            self.assertIs(self.read(varnhold._env_bool, text, False), True, text)
        for text in ("0", "no", "off", "y", "enabled", "2", "   "):
            self.assertIs(self.read(varnhold._env_bool, text, True), False, text)
        with mock.patch.dict(os.environ, {self.VAR: "yes"}):
            self.assertIs(varnhold._env_bool(self.VAR), True)
        os.environ.pop(self.VAR, None)
        self.assertIs(varnhold._env_bool(name=self.VAR), False)

    def test_int(self):
        cases = {"8": 8, " 8 ": 8, "+8": 8, "-2": -2, "0": 0, "1_000": 1000,
                 "9" * 30: int("9" * 30)}
        for text, want in cases.items():
            self.assertEqual(self.read(varnhold._env_int, text, 4), want, text)
        default = 4
        for text in ("8.0", "0x8", "1e3", "1__0", "_1", "ten", "8 8"):
            self.assertIs(self.read(varnhold._env_int, text, default), default, text)
        # Unset or empty: the default itself goes through int().
        self.assertEqual(self.read(varnhold._env_int, None, 8.7), 8)
        self.assertEqual(self.read(varnhold._env_int, "", "12"), 12)

    def test_float(self):
        cases = {"45": 45.0, " 45 ": 45.0, "-5": -5.0, "1e3": 1000.0, "30": 30.0,
                 "inf": math.inf, "-Infinity": -math.inf, "1_000.5": 1000.5, "1e400": math.inf,
                 ".5": 0.5}
        for text, want in cases.items():
            got = self.read(varnhold._env_float, text, 30.0)
            self.assertEqual((got, type(got)), (want, float), text)
        self.assertTrue(math.isnan(self.read(varnhold._env_float, "NaN", 30.0)))
        default = 30.0
        for text in ("soon", "0x1p3", "1.0.0", "1e", "--1"):
            self.assertIs(self.read(varnhold._env_float, text, default), default, text)

    def test_readers_use_the_module_os_at_call_time(self):
        class FakeOs:
            environ = {self.VAR: "77"}
        self.addCleanup(setattr, varnhold, "os", varnhold.os)
        varnhold.os = FakeOs()
        self.assertEqual(varnhold._env_int(self.VAR, 1), 77)

    def test_argument_errors(self):
        with self.assertRaises(TypeError):
            varnhold._env_int(self.VAR)
        with self.assertRaises(TypeError):
            varnhold._env_float()
        with self.assertRaises(TypeError):
            varnhold._env_bool(self.VAR, False, 1)
        with self.assertRaisesRegex(TypeError, "unexpected keyword argument 'dflt'"):
            varnhold._env_int(self.VAR, dflt=1)


class NormaliserTest(unittest.TestCase):
    def test_routing_mode(self):
        norm = varnhold.normalize_routing_mode
        for value in (None, "", "   ", 5, "turbo", "max-concurrency", ["hybrid"], b"hybrid"):
            self.assertEqual(norm(value), "superfast", repr(value))
        self.assertEqual(norm(" Hybrid "), "hybrid")
        self.assertEqual(norm("QUEUE_ALL"), "queue_all")
        self.assertEqual(norm(value="max_concurrency"), "max_concurrency")

        class Text(str):
            pass
        self.assertEqual(norm(Text(" Hybrid ")), "hybrid")

    def test_lb_algorithm(self):
        norm = varnhold.normalize_lb_algorithm
        for value in (None, "round_robin", "", 3):
            self.assertEqual(norm(value), "weighted_round_robin", repr(value))
        self.assertEqual(norm("Least_Connections "), "least_connections")
        self.assertEqual(norm("STICKY_SESSION"), "sticky_session")

    def test_tables_are_read_at_call_time(self):
        for name in ("DEFAULT_ROUTING_MODE", "VALID_ROUTING_MODES", "DEFAULT_LB_ALGORITHM"):
            self.addCleanup(setattr, varnhold, name, getattr(varnhold, name))
        varnhold.DEFAULT_ROUTING_MODE = "hybrid"
        varnhold.VALID_ROUTING_MODES = frozenset({"hybrid", "turbo"})
        varnhold.DEFAULT_LB_ALGORITHM = "least_connections"
        self.assertEqual(varnhold.normalize_routing_mode(None), "hybrid")
        self.assertEqual(varnhold.normalize_routing_mode("Turbo"), "turbo")
        self.assertEqual(varnhold.normalize_routing_mode("superfast"), "hybrid")
        self.assertEqual(varnhold.normalize_lb_algorithm("nope"), "least_connections")

    def test_argument_errors(self):
        with self.assertRaises(TypeError):
            varnhold.normalize_routing_mode()
        with self.assertRaises(TypeError):
            varnhold.normalize_lb_algorithm("a", "b")


if __name__ == "__main__":
    unittest.main()
