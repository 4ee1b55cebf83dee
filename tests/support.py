"""What the suites share: the fake clock, an event loop that runs on it, the
backend record, module patches for one test, and a fresh interpreter."""

import asyncio
import math
import os
import selectors
import subprocess
import sys
import textwrap
import unittest
from unittest import mock

import varnhold

WALL_AT_ZERO = 1.7e9  # what the fake wall clock reads when the monotonic one reads 0
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")  # the sanitizer build: slower


class FakeClock:
    """Stands in for the module's `time`. The test sets `now`, the monotonic
    reading in seconds, forwards or backwards; `time()` follows it at a fixed
    distance. Every reading is noted in `calls`, in order."""

    def __init__(self, now=1000.0):
        self.now = now
        self.calls = []

    def monotonic(self):
        self.calls.append("monotonic")
        return self.now

    def time(self):
        self.calls.append("time")
        return WALL_AT_ZERO + self.now

    @property
    def reads(self):
        """How many times the monotonic clock was read."""
        return self.calls.count("monotonic")

    def install(self, case):
        """Makes this clock the module's `time` until the test `case` ends."""
        patch_module(case, time=self)
        return self


def patch_module(case, *names, **values):
    """Sets the module attributes `values` for the test `case`. At its end
    they, and the attributes `names` (which the test may then assign
    freely), are put back as they were."""
    for name in names:
        case.addCleanup(setattr, varnhold, name, getattr(varnhold, name))
    if values:
        _for_the_test(case, mock.patch.multiple(varnhold, **values))


def silence_logger(case):
    """Keeps the module's logger quiet until the test `case` ends."""
    _for_the_test(case, mock.patch.object(varnhold.logger, "disabled", True))


def _for_the_test(case, patcher):
    patcher.start()
    case.addCleanup(patcher.stop)


def rec(sid, weight=1.0, cap=None, **fields):
    """A backend record as a host passes it: id, weight, max_concurrency
    (left out when `cap` is None) and any other fields."""
    record = {"id": sid, "weight": weight}
    if cap is not None:
        record["max_concurrency"] = cap
    record.update(fields)
    return record


class _VirtualSelector(selectors.DefaultSelector):
    """Never waits: where the loop would sleep until its next timer, the
    clock jumps there instead. Each turn of the loop moves it by `turn`."""

    clock, turn = None, 0.0

    def select(self, timeout=None):
        if timeout is None or math.isnan(timeout):
            # No timer at all (only outside input can wake the loop), or a
            # timer at NaN, which the real selector refuses: as it does.
            return super().select(timeout)
        events = super().select(0)
        self.clock.now += self.turn if events else max(timeout, self.turn)
        return events


class VirtualTimeLoop(asyncio.SelectorEventLoop):
    """An event loop whose time is `clock.now`. Time moves by `turn` seconds
    at each turn of the loop and jumps to the next timer when nothing is ready
    to run, so sleeps, time-outs and timers fire in the same order on every
    machine, however loaded, and cost no real time. For code without real I/O."""

    def __init__(self, clock=None, turn=0.0):
        selector = _VirtualSelector()
        super().__init__(selector)
        self.clock = selector.clock = clock if clock is not None else FakeClock()
        selector.turn = turn

    def time(self):
        return self.clock.now


class VirtualTimeCase(unittest.IsolatedAsyncioTestCase):
    """Each test runs on a VirtualTimeLoop whose clock is `self.clock`,
    starting at START, each turn of the loop taking TURN seconds. The module
    keeps its own `time` unless the test installs `self.clock` (one clock for
    the loop and the balancer)."""

    START, TURN = 1000.0, 0.0

    def loop_factory(self):
        self.clock = FakeClock(self.START)
        return VirtualTimeLoop(self.clock, self.TURN)


def run_python(code, env_extra=None, cwd=None, args=()):
    """Runs code in a fresh interpreter with no QUORVANE_LB_* variable set
    except those given; returns its stdout, or fails with its stderr."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVANE_LB_")}
    env.update(env_extra or {})
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], env=env,
                          cwd=cwd, capture_output=True, text=True, timeout=120)
    if proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stderr}")
    return proc.stdout
