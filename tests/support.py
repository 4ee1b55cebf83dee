"""What the suites share: the fake clock, the backend record, module patches
for one test, and a fresh interpreter."""

import os
import subprocess
import sys
import textwrap
from unittest import mock

import varnhold

WALL_AT_ZERO = 1.7e9  # what the fake wall clock reads when the monotonic one reads 0


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
        patcher = mock.patch.multiple(varnhold, **values)
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
