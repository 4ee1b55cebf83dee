"""Re-entrancy: every operation driven with host objects whose special methods
change the balancer or the module in the middle of the call, compared with the
same algorithm written in plain Python (tests/python_form.py).

A case is "scenario|hook point|mutation":
  scenario    one operation, its arguments and the state it starts from. Some of
              its ids, pool keys, records, settings and containers are hook
              objects (the H* classes below) whose special methods count their
              calls. A scenario "X~hostile" is X on a subclass of LoadBalancer
              whose every method reached through self is a Python override, with
              every state container replaced by a subclass with hooked methods.
  hook point  which special method, and which call of it, runs the mutation
              ("id.hash#2": the second hash of the hooked server id); "-" for
              none, "before" for just before the operation starts. The hook
              points of a scenario are the ones the Python form reaches.
  mutation    replace, clear or delete a state attribute (replace:inflight),
              give it another kind of container (swap:inflight=mapping), renew,
              rebind or delete a module attribute (renew:time, set:time,
              unbind:time), change the routing mode (mode:hybrid), clear an
              argument list (arg:candidates) or run gc.collect() (gc).

Every case runs in subprocesses, once with varnhold and once with the Python
form, on a virtual-time event loop with a fake clock as the module's `time`
(no wall clock is read). The result (or the exception's type and text), the
logged records (message and arguments) and the final state of the balancer
must be the same. A crash, abort or hang of the compiled module is the case's
failure: a batch that dies is re-run one case per subprocess to name it.
Cases that fail on today's build are listed in KNOWN_FAILING, with their class;
delete an entry once its case passes (the run prints the ones that do).

Running (from tests/, with the build on the path, as CTest does):
  PYTHONPATH=../build:. python3.13 -m unittest -v test_reentrancy
  REENTRANCY_CASES=REGEX      only the cases whose id matches REGEX
  REENTRANCY_REPORT=FILE      writes every failing case, with what went wrong, as JSON
  REENTRANCY_VALGRIND=1       a small representative subset (the plain case and
                              one mutated case per scenario, known failures left
                              out) with each compiled-module child run under
                              valgrind --error-exitcode=99 (PYTHONMALLOC=malloc);
                              a path instead of 1 names the valgrind binary
  python3.13 test_reentrancy.py --list          every case id
  python3.13 test_reentrancy.py --show CASE     one case against both, printed
Under the sanitizer build the children inherit CTest's LD_PRELOAD and options,
and the cases of KNOWN_FAILING are left out (the release run tells when one of
them passes).
"""

import asyncio
import builtins
import collections
import concurrent.futures
import gc
import json
import os
import random
import re
import selectors
import signal
import subprocess
import sys
import time
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ATTRS = ("inflight", "_wrr", "_locks", "_pool_last_access", "_waiters", "_all_waiters",
         "dispatch_counts", "last_dispatch_ts", "reject_counts", "queue_wait_samples",
         "_routing_mode", "_pool_dispatch_windows", "_pool_hot_state")
DICT_ATTRS = tuple(a for a in ATTRS if a not in ("_all_waiters", "queue_wait_samples",
                                                  "_routing_mode"))
PK = ("m", frozenset({1, 2}), "t")


# ---------------------------------------------------------------------------
# The two implementations, each with its namespace as imported

_MODULES = {}


def load(impl):
    if impl not in _MODULES:
        mod = __import__(impl)
        _MODULES[impl] = (mod, dict(vars(mod)))
    return _MODULES[impl][0]


def restore(mod):
    """Puts the module's namespace back as it was imported."""
    pristine = _MODULES[mod.__name__][1]
    ns = vars(mod)
    for k in [k for k in ns if k not in pristine]:
        delattr(mod, k)
    for k, v in pristine.items():
        if ns.get(k, pristine) is not v:
            setattr(mod, k, v)


# ---------------------------------------------------------------------------
# Virtual time: the loop's clock moves only when nothing is ready to run

class Stalled(Exception):
    """The event loop has nothing left to run, or runs on without end."""


class _Selector(selectors.SelectSelector):
    def __init__(self, loop):
        super().__init__()
        self.vloop = loop

    def select(self, timeout=None):
        events = super().select(0)
        self.vloop.turns += 1
        if self.vloop.turns > 50000:
            raise Stalled("the event loop runs on without end")
        if events or timeout == 0:
            return events
        if timeout is None:
            raise Stalled("nothing left to run")
        self.vloop.now += timeout
        return events


class VirtualLoop(asyncio.SelectorEventLoop):
    def __init__(self, start=1000.0):
        self.now, self.turns = start, 0
        super().__init__(_Selector(self))

    def time(self):
        return self.now


def finish_loop(loop):
    for _ in range(3):
        tasks = [t for t in asyncio.all_tasks(loop) if not t.done()]
        if not tasks:
            break
        for t in tasks:
            t.cancel()
        try:
            loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
        except BaseException:  # noqa: BLE001 - a stalled clean-up is left behind
            pass
    loop.close()


class FakeTime:
    """The module's `time`: the virtual loop's clock."""

    def __init__(self, loop, offset=0.0):
        self.loop, self.offset = loop, offset

    def monotonic(self):
        hit("clock.monotonic")
        return self.loop.now + self.offset

    def time(self):
        hit("clock.time")
        return 1.7e9 + self.loop.now + self.offset


class FakeLogger:
    """The module's `logger`: records (name, level, message, arguments)."""

    def __init__(self, sink, name="logger"):
        self.sink, self.name = sink, name

    def _log(self, level, msg, args):
        hit("log." + level)
        self.sink.append((self.name, level, msg, args))

    def debug(self, msg, *args):
        self._log("debug", msg, args)

    def info(self, msg, *args):
        self._log("info", msg, args)

    def warning(self, msg, *args):
        self._log("warning", msg, args)


# ---------------------------------------------------------------------------
# Hooks: special methods that count their calls and run the case's mutation

CTX = None


def hit(name):
    c = CTX
    if c is None or not c.armed:
        return
    n = c.hits[name] = c.hits.get(name, 0) + 1
    if not c.fired and name == c.hook and n == c.nth:
        c.fire()


class HId(int):
    """A server id."""

    def __hash__(self):
        hit("id.hash")
        return int.__hash__(self)

    def __eq__(self, other):
        hit("id.eq")
        return int.__eq__(self, other)

    def __lt__(self, other):
        hit("id.cmp")
        return int.__lt__(self, other)

    def __gt__(self, other):
        hit("id.cmp")
        return int.__gt__(self, other)

    def __neg__(self):
        hit("id.neg")
        return int.__neg__(self)

    def __str__(self):
        hit("id.str")
        return int.__repr__(self)

    def __format__(self, spec):
        hit("id.str")
        return format(int(self), spec)


class HKey(tuple):
    """A pool key."""

    def __hash__(self):
        hit("key.hash")
        return tuple.__hash__(self)

    def __eq__(self, other):
        hit("key.eq")
        return tuple.__eq__(self, other)

    def __bool__(self):
        hit("key.bool")
        return True

    def __iter__(self):
        hit("key.iter")
        return tuple.__iter__(self)


class HMap(dict):
    """A record (or a request body): its key reads are hooks."""

    def __init__(self, data, tag="rec"):
        super().__init__(data)
        self.tag = tag

    def get(self, key, default=None):
        hit(f"{self.tag}.get:{key}")
        return dict.get(self, key, default)

    def __getitem__(self, key):
        hit(f"{self.tag}[{key}]")
        return dict.__getitem__(self, key)

    def __contains__(self, key):
        hit(f"{self.tag}.in:{key}")
        return dict.__contains__(self, key)


class HStr(str):
    def __new__(cls, value, tag):
        obj = str.__new__(cls, value)
        obj.tag = tag
        return obj

    def __hash__(self):
        hit(self.tag + ".hash")
        return str.__hash__(self)

    def __eq__(self, other):
        hit(self.tag + ".eq")
        return str.__eq__(self, other)

    def __ne__(self, other):
        hit(self.tag + ".ne")
        return str.__ne__(self, other)

    def __len__(self):
        hit(self.tag + ".len")
        return str.__len__(self)

    def __str__(self):
        hit(self.tag + ".str")
        return str.__str__(self)

    def __format__(self, spec):
        hit(self.tag + ".str")
        return format(str.__str__(self), spec)

    def strip(self, *args):
        hit(self.tag + ".strip")
        return str.strip(self, *args)


_NUMBER_OPS = ("__bool__", "__int__", "__float__", "__index__", "__lt__", "__le__", "__gt__",
               "__ge__", "__eq__", "__add__", "__radd__", "__sub__", "__rsub__", "__mul__",
               "__rmul__", "__truediv__", "__rtruediv__")


def _hooked(base, methods, name, ns=None):
    """A subclass of base whose listed methods count their calls under the
    instance's tag, then do what base does."""
    ns = dict(ns or {})
    for m in methods:
        f = getattr(base, m, None)
        if f is None:
            continue

        def method(self, *args, _m=m, _f=f):
            hit(f"{self.tag}.{_m.strip('_')}")
            return _f(self, *args)
        ns[m] = method
    return type(name, (base,), ns)


def _new_tagged(base):
    def __new__(cls, value, tag):
        obj = base.__new__(cls, value)
        obj.tag = tag
        return obj
    return __new__


HInt = _hooked(int, _NUMBER_OPS, "HInt", {"__new__": _new_tagged(int), "__hash__": int.__hash__})
HFloat = _hooked(float, _NUMBER_OPS, "HFloat",
                 {"__new__": _new_tagged(float), "__hash__": float.__hash__})
HFrozen = _hooked(frozenset, ("__contains__",), "HFrozen",
                  {"__new__": _new_tagged(frozenset), "__hash__": frozenset.__hash__})
_CONTAINER_OPS = ("get", "setdefault", "pop", "__getitem__", "__setitem__", "__delitem__",
                  "__contains__", "__iter__", "__len__", "keys", "items", "values", "append",
                  "popleft", "remove")
HDict = _hooked(dict, _CONTAINER_OPS, "HDict")
HList = _hooked(list, _CONTAINER_OPS, "HList")
HDeque = _hooked(collections.deque, _CONTAINER_OPS, "HDeque")
HSet = _hooked(set, ("__contains__", "__len__", "__iter__"), "HSet")


def tagged(obj, tag):
    obj.tag = tag
    return obj


class HTruth:
    """A setting that is neither bool nor number: only its truth is hooked."""

    def __init__(self, value, tag):
        self.value, self.tag = value, tag

    def __bool__(self):
        hit(self.tag + ".bool")
        return bool(self.value)


class HLock(asyncio.Lock):
    async def __aenter__(self):
        hit("lock.aenter")
        return await super().__aenter__()

    async def __aexit__(self, *exc):
        hit("lock.aexit")
        return await super().__aexit__(*exc)


class Mapping(collections.abc.MutableMapping):
    """A mapping that is not a dict."""

    def __init__(self, data=()):
        self.data = dict(data)

    def __getitem__(self, k):
        return self.data[k]

    def __setitem__(self, k, v):
        self.data[k] = v

    def __delitem__(self, k):
        del self.data[k]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class OtherDeque(collections.deque):
    pass


class HookDeque(collections.deque):
    """The module's `deque`: making one is a hook."""

    def __init__(self, *args, **kwargs):
        hit("deque.new")
        super().__init__(*args, **kwargs)


def hooked_lock():
    hit("lock.new")
    return asyncio.Lock()


ORIGINAL_IMPORT = builtins.__import__


def hooked_import(name, *args, **kwargs):
    if name == "hashlib":
        hit("import.hashlib")
    return ORIGINAL_IMPORT(name, *args, **kwargs)


SELF_METHODS = ("set_routing_mode", "queue_enabled", "queue_ttl_sec", "queue_depth_multiplier",
                "_superfast_cap", "_hybrid_hot", "_effective_cap_for", "effective_cap_for",
                "_pool_inflight", "_recent_dispatch_rate", "increment", "decrement",
                "force_clear", "_lock_for", "_evict_stale_pools", "_under_capacity",
                "_least_connections_pick", "_sticky_lookup", "_record_dispatch",
                "_queue_capacity_for_pool", "_try_admit", "_wake_one", "_fulfill",
                "_remove_waiter", "_bump_reject")


def hooked_balancer_class(mod):
    """LoadBalancer with every method reached through self overridden in Python."""
    base = mod.LoadBalancer
    ns = {}
    for name in SELF_METHODS:
        def method(self, *args, _n=name, _f=getattr(base, name), **kwargs):
            hit("self." + _n)
            return _f(self, *args, **kwargs)
        ns[name] = method

    async def _wrr_pick(self, *args, _f=base._wrr_pick):
        hit("self._wrr_pick")
        return await _f(self, *args)
    ns["_wrr_pick"] = _wrr_pick
    return type("LoadBalancer", (base,), ns)


# ---------------------------------------------------------------------------
# Rendering outcomes comparably (never through a hook)

_ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")
_QUALIFIED = re.compile(r"'(?:varnhold|python_form)\.(\w+)'")


def norm(text):
    """Texts that differ by nature: addresses, and the module name that a
    compiled type carries in its name."""
    return _QUALIFIED.sub(r"'\1'", _ADDRESS.sub(" at 0x?", text))


def render(c, x, depth=0):
    if depth > 6:
        return "..."
    r = lambda v: render(c, v, depth + 1)  # noqa: E731
    t = type(x)
    label = c.labels.get(id(x))
    if t.__name__ == "_Waiter" and hasattr(t, "__dataclass_fields__"):
        return [label or "_Waiter"] + [r(v) for v in vars(x).values()]
    if label is not None:
        return label
    if x is None or t in (bool, int, float, str):
        return repr(x)
    if isinstance(x, BaseException):
        return ["raise", t.__name__, norm(str(x))]
    if isinstance(x, asyncio.Future):
        if not x.done():
            return ["Future", "pending"]
        if x.cancelled():
            return ["Future", "cancelled"]
        if x.exception() is not None:
            return ["Future", "exception", type(x.exception()).__name__]
        return ["Future", "result", r(x.result())]
    if isinstance(x, asyncio.Lock):
        return [c.auto_label(x, "Lock"), x.locked()]
    if isinstance(x, (FakeTime, FakeLogger, HTruth)):
        return [t.__name__, r(getattr(x, "value", None))]
    for base in (int, float, str):
        if isinstance(x, base):
            return f"{t.__name__}:{base.__repr__(x)}"
    if isinstance(x, dict):
        return [t.__name__, [[r(k), r(v)] for k, v in dict.items(x)]]
    if isinstance(x, Mapping):
        return [t.__name__, [[r(k), r(v)] for k, v in x.data.items()]]
    if isinstance(x, collections.deque):
        return [t.__name__, x.maxlen, [r(v) for v in collections.deque.__iter__(x)]]
    if isinstance(x, (list, tuple)):
        items = list.__iter__(x) if isinstance(x, list) else tuple.__iter__(x)
        return [t.__name__, [r(v) for v in items]]
    if isinstance(x, (set, frozenset)):
        items = set.__iter__(x) if isinstance(x, set) else frozenset.__iter__(x)
        return [t.__name__, sorted(json.dumps(r(v)) for v in items)]
    if isinstance(x, type):
        return ["class", x.__name__]
    return ["object", t.__name__]


# ---------------------------------------------------------------------------
# One case

class Ctx:
    def __init__(self, mod, loop, hook, nth, mutation, hostile):
        self.mod, self.loop, self.lb = mod, loop, None
        self.hook, self.nth, self.mutation, self.hostile = hook, nth, mutation, hostile
        self.hits, self.armed, self.fired, self.mutation_error = {}, False, False, None
        self.logs, self.labels, self.keep, self.args = [], {}, [], {}
        self.auto = collections.Counter()

    def label(self, obj, name):
        self.labels[id(obj)] = name
        self.keep.append(obj)
        return obj

    def auto_label(self, obj, kind):
        if id(obj) not in self.labels:
            self.auto[kind] += 1
            self.label(obj, f"{kind}{self.auto[kind]}")
        return self.labels[id(obj)]

    def fire(self):
        self.fired, self.armed = True, False
        try:
            mutate(self, self.mutation)
        except Exception as e:  # noqa: BLE001 - part of the outcome
            self.mutation_error = [type(e).__name__, norm(str(e))]
        finally:
            self.armed = True

    def arm(self):
        if self.hostile:
            hostile_state(self.lb)
        self.armed = True
        if self.hook == "before":
            self.fire()

    # scenario helpers
    def rec(self, sid, weight=1.0, cap=2, limit=0, hooked=False):
        data = {"id": sid, "weight": weight, "max_concurrency": cap, "max_input_tokens": limit}
        record = HMap(data) if hooked else data
        self.auto_label(record, "R")
        return record

    def key(self, hooked=False):
        k = HKey(PK) if hooked else tuple(PK)
        return self.label(k, "HK" if hooked else "K")

    def arg(self, name, obj):
        self.args[name] = obj
        return obj

    def waiter(self, candidates, tokens=100, queued_at=990.0, boost=10.0, key=None):
        fut = self.loop.create_future()
        w = self.mod._Waiter(key if key is not None else self.key(), list(candidates), tokens,
                             fut, queued_at, boost)
        for rec in candidates:
            self.lb._waiters.setdefault(rec["id"], self.mod.deque()).append(w)
        self.lb._all_waiters.append(w)
        self.auto_label(w, "W")
        return w


def hostile_state(lb):
    """Every state container becomes a subclass whose methods are hooks."""
    for a in DICT_ATTRS:
        d = tagged(HDict(getattr(lb, a)), "lb." + a)
        for k, v in dict.items(d):
            if a == "_wrr":
                dict.__setitem__(d, k, tagged(HDict(v), "lb._wrr[]"))
            elif a in ("_waiters", "_pool_dispatch_windows"):
                dict.__setitem__(d, k, tagged(HDeque(v, v.maxlen), f"lb.{a}[]"))
        setattr(lb, a, d)
    lb._all_waiters = tagged(HList(lb._all_waiters), "lb._all_waiters")
    lb.queue_wait_samples = tagged(HDeque(lb.queue_wait_samples, 512), "lb.queue_wait_samples")
    lb._routing_mode = HStr(lb._routing_mode, "lb._routing_mode")


STR_NAMES = ("ROUTING_MODE_SUPERFAST", "ROUTING_MODE_HYBRID", "ROUTING_MODE_MAX_CONCURRENCY",
             "ROUTING_MODE_QUEUE_ALL", "DEFAULT_ROUTING_MODE", "LB_ALGO_WRR",
             "LB_ALGO_LEAST_CONN", "LB_ALGO_STICKY", "DEFAULT_LB_ALGORITHM")
RENEWED = STR_NAMES + ("VALID_ROUTING_MODES", "VALID_LB_ALGORITHMS", "QUEUE_TTL_SEC",
                       "QUEUE_DEADLINE_BOOST_SEC", "POOL_LRU_TTL_SEC", "HYBRID_RATE_THRESHOLD",
                       "HYBRID_RATE_WINDOW_SEC", "HYBRID_HOT_EXIT_RATIO", "QUEUE_ALL_TTL_SEC",
                       "RejectReason")


def fresh_text(s):
    return "".join(list(str.__str__(s)))


def renew(c, v):
    """An equal value in a new object, so that rebinding frees the old one."""
    if isinstance(v, FakeTime):
        return FakeTime(c.loop, v.offset)
    if isinstance(v, FakeLogger):
        return FakeLogger(c.logs, v.name)
    if isinstance(v, HTruth):
        return HTruth(v.value, v.tag)
    if isinstance(v, str):
        return HStr(fresh_text(v), v.tag) if isinstance(v, HStr) else fresh_text(v)
    if isinstance(v, float):
        return HFloat(float.__float__(v), v.tag) if isinstance(v, HFloat) else float(repr(v))
    if isinstance(v, int) and not isinstance(v, bool):
        return HInt(int.__int__(v), v.tag) if isinstance(v, HInt) else int(str(v))
    if isinstance(v, frozenset):
        items = (renew(c, i) for i in frozenset.__iter__(v))
        return HFrozen(items, v.tag) if isinstance(v, HFrozen) else frozenset(items)
    if isinstance(v, type) and hasattr(v, "__dataclass_fields__"):
        return type(v.__name__, (v,), {})
    if isinstance(v, type) and issubclass(v, collections.deque):
        return type("deque", (v,), {})
    if isinstance(v, type):
        return type(v.__name__, (), {k: renew(c, x) for k, x in vars(v).items()
                                     if not k.startswith("__")})
    if isinstance(v, types.SimpleNamespace):
        return types.SimpleNamespace(**vars(v))
    if isinstance(v, types.ModuleType):
        return types.SimpleNamespace(**{k: getattr(v, k) for k in dir(v) if not k.startswith("_")})
    if callable(v):
        return lambda *args, _f=v: _f(*args)
    return v


ALT = {
    "time": lambda c: FakeTime(c.loop, 500.0),
    "deque": lambda c: OtherDeque,
    "logger": lambda c: FakeLogger(c.logs, "logger2"),
    "RejectReason": lambda c: type("RejectReason", (), {
        "NONE": "n", "QUEUE_FULL": "qf", "QUEUE_TIMEOUT": "qt", "NO_BACKENDS": "nb",
        "TOO_LARGE": "tl", "AT_CAPACITY": "ac"}),
    "QUEUE_ENABLED": lambda c: False,
    "QUEUE_TTL_SEC": lambda c: 0.0,
    "QUEUE_ALL_TTL_SEC": lambda c: 0.0,
    "QUEUE_MAX_DEPTH_MULTIPLIER": lambda c: 1,
    "QUEUE_ALL_DEPTH_MULTIPLIER": lambda c: 1,
    "QUEUE_DEADLINE_BOOST_SEC": lambda c: 0.0,
    "POOL_LRU_TTL_SEC": lambda c: 1e9,
    "IMAGE_TOKEN_COST": lambda c: 7,
    "SUPERFAST_PER_SERVER_CAP": lambda c: 1,
    "HYBRID_INFLIGHT_THRESHOLD": lambda c: 0,
    "HYBRID_RATE_THRESHOLD": lambda c: 0.0,
    "HYBRID_RATE_WINDOW_SEC": lambda c: 1000.0,
    "HYBRID_HOT_EXIT_RATIO": lambda c: 0.0,
    "ROUTING_MODE_QUEUE_ALL": lambda c: "other",
    "ROUTING_MODE_HYBRID": lambda c: "other",
    "ROUTING_MODE_SUPERFAST": lambda c: "other",
    "DEFAULT_ROUTING_MODE": lambda c: "hybrid",
    "VALID_ROUTING_MODES": lambda c: frozenset({"superfast"}),
    "LB_ALGO_STICKY": lambda c: "least_connections",
    "LB_ALGO_LEAST_CONN": lambda c: "sticky_session",
    "DEFAULT_LB_ALGORITHM": lambda c: "least_connections",
    "VALID_LB_ALGORITHMS": lambda c: frozenset({"weighted_round_robin"}),
    "normalize_lb_algorithm": lambda c: (lambda value: "least_connections"),
    "normalize_routing_mode": lambda c: (lambda value: "max_concurrency"),
}

SWAPS = {"mapping": Mapping, "list": list, "tuple": tuple}


def fresh_like(attr, old):
    if attr == "_all_waiters":
        return []
    if attr == "queue_wait_samples":
        return collections.deque(maxlen=512)
    if attr == "_routing_mode":
        return fresh_text(old)
    return {}


def clear_any(x):
    for base in (dict, list, collections.deque, set):
        if isinstance(x, base):
            return base.clear(x)
    raise TypeError(f"cannot clear {type(x).__name__}")


def mutate(c, m):
    kind, _, what = m.partition(":")
    lb, mod = c.lb, c.mod
    if kind == "none":
        return
    if kind == "gc":
        gc.collect()
    elif kind == "replace":
        setattr(lb, what, fresh_like(what, getattr(lb, what)))
    elif kind == "clear":
        clear_any(getattr(lb, what))
    elif kind == "del":
        delattr(lb, what)
    elif kind == "swap":
        attr, shape = what.split("=")
        old = getattr(lb, attr)
        items = dict.items(old) if isinstance(old, dict) else old
        setattr(lb, attr, SWAPS[shape](items))
    elif kind == "renew":
        setattr(mod, what, renew(c, getattr(mod, what)))
    elif kind == "set":
        setattr(mod, what, ALT[what](c))
    elif kind == "unbind":
        delattr(mod, what)
    elif kind == "mode":
        lb.set_routing_mode(what)
    elif kind == "arg":
        clear_any(c.args[what])
    else:
        raise ValueError(m)


def prepare_module(c, real_clock):
    mod = c.mod
    if not real_clock:
        mod.time = FakeTime(c.loop)
    mod.logger = FakeLogger(c.logs)
    for name in RENEWED:
        setattr(mod, name, renew(c, getattr(mod, name)))


def parse_case(case_id):
    scen, hook, mutation = case_id.split("|")
    nth = 0
    if "#" in hook:
        hook, n = hook.rsplit("#", 1)
        nth = int(n)
    return scen, hook, nth, mutation


def run_case(mod, case_id):
    """Runs one case in this process; returns its outcome, rendered."""
    global CTX
    scen, hook, nth, mutation = parse_case(case_id)
    base, _, variant = scen.partition("~")
    s = SCENARIOS[base]
    restore(mod)
    loop = VirtualLoop()
    c = Ctx(mod, loop, hook, nth, mutation, variant == "hostile")
    CTX = c
    outcome = {"id": case_id}
    try:
        prepare_module(c, s.real_clock)
        c.lb = hooked_balancer_class(mod)() if c.hostile else mod.LoadBalancer()
        try:
            result = loop.run_until_complete(s.body(c))
            outcome["result"] = render(c, result)
        except BaseException as e:  # noqa: BLE001 - cancellation and exits are outcomes too
            outcome["result"] = ["raise", type(e).__name__, norm(str(e))]
        c.armed = False
        outcome["state"] = {a: render(c, getattr(c.lb, a)) if hasattr(c.lb, a) else "<missing>"
                            for a in ATTRS}
        if s.real_clock:
            blank_clock_readings(outcome["state"])
        outcome["logs"] = [[name, level, msg, [render(c, a) for a in args]]
                           for name, level, msg, args in c.logs]
        outcome["mutation"] = [c.fired, c.mutation_error]
        outcome["hits"] = c.hits
    finally:
        c.armed = False
        builtins.__import__ = ORIGINAL_IMPORT
        try:
            finish_loop(loop)
        finally:
            CTX = None
            restore(mod)
            gc.collect()
    return outcome


def blank_clock_readings(state):
    """The real clock's readings in a rendered state (times of dispatches and
    accesses), which no two runs share."""
    for attr in ("_pool_last_access", "last_dispatch_ts"):
        if state[attr] != "<missing>":
            for item in state[attr][1]:
                item[1] = "<clock>"
    def blank_windows(x):  # a rendered window: [type, 4096, times], at any depth
        if isinstance(x, list):
            if len(x) == 3 and x[1] == 4096 and isinstance(x[2], list):
                x[2] = ["<clock>"] * len(x[2])
            else:
                for item in x:
                    blank_windows(item)

    blank_windows(state["_pool_dispatch_windows"])


def comparable(outcome):
    return {"result": outcome["result"], "state": outcome["state"], "logs": outcome["logs"],
            "mutation_error": outcome["mutation"][1]}


# ---------------------------------------------------------------------------
# Scenarios

class Scenario:
    def __init__(self, name, body, touches, reads, modes, args, hostile, only, real_clock):
        self.name, self.body = name, body
        self.touches, self.reads, self.modes, self.args = touches, reads, modes, args
        self.hostile, self.only, self.real_clock = hostile, only, real_clock


SCENARIOS = {}


def scenario(name, touches=(), reads=(), modes=(), args=(), hostile=False, only=None,
             real_clock=False):
    def register(body):
        SCENARIOS[name] = Scenario(name, body, touches, reads, modes, args, hostile, only,
                                   real_clock)
        return body
    return register


def set_setting(c, name, value):
    setattr(c.mod, name, value)
    return value


@scenario("increment", touches=("inflight",), hostile=True)
async def _(c):
    c.lb.inflight[5] = 2
    sid = HId(5)
    c.arm()
    return c.lb.increment(sid)


@scenario("increment_new", touches=("inflight",))
async def _(c):
    sid = HId(7)
    c.arm()
    return c.lb.increment(sid)


QUEUE_STATE = ("inflight", "_waiters", "_all_waiters", "dispatch_counts",
               "_pool_dispatch_windows", "_pool_last_access")


@scenario("decrement", touches=QUEUE_STATE, modes=("queue_all",), hostile=True,
          reads=("time", "deque", "ROUTING_MODE_QUEUE_ALL", "SUPERFAST_PER_SERVER_CAP"))
async def _(c):
    r = c.rec(5, cap=2)
    c.lb.inflight[5] = 2
    c.waiter([r], tokens=100)
    c.waiter([r], tokens=50)
    sid = HId(5)
    c.arm()
    return c.lb.decrement(sid)


@scenario("decrement_last", touches=("inflight", "_waiters"))
async def _(c):
    c.lb.inflight[5] = 1
    sid = HId(5)
    c.arm()
    return c.lb.decrement(sid)


@scenario("decrement_unknown", touches=("inflight", "_waiters"))
async def _(c):
    sid = HId(9)
    c.arm()
    return c.lb.decrement(sid)


@scenario("get_inflight", touches=("inflight",))
async def _(c):
    c.lb.inflight[5] = 3
    sid = HId(5)
    c.arm()
    return c.lb.get_inflight(sid)


@scenario("force_clear", touches=("inflight",), reads=("logger",), hostile=True)
async def _(c):
    c.lb.inflight.update({5: 3, 6: 1})
    sid = HId(5)
    c.arm()
    return c.lb.force_clear(sid)


@scenario("note_reject", touches=("reject_counts",), hostile=True)
async def _(c):
    c.lb.reject_counts["x"] = 1
    reason = HStr("x", "reason")
    c.arm()
    return c.lb.note_reject(reason)


@scenario("lock_for", touches=("_locks",), reads=("asyncio",), hostile=True)
async def _(c):
    c.lb._locks[c.key()] = asyncio.Lock()
    key = c.key(hooked=True)
    c.arm()
    return c.lb._lock_for(key)


@scenario("lock_for_new", touches=("_locks",), reads=("asyncio",))
async def _(c):
    key = c.key(hooked=True)
    c.arm()
    return c.lb._lock_for(key)


@scenario("set_routing_mode", touches=("_routing_mode",), hostile=True,
          reads=("normalize_routing_mode", "DEFAULT_ROUTING_MODE", "VALID_ROUTING_MODES",
                 "logger"))
async def _(c):
    set_setting(c, "VALID_ROUTING_MODES",
                HFrozen(c.mod.VALID_ROUTING_MODES, "VALID_ROUTING_MODES"))
    mode = HStr(" Hybrid ", "mode")
    c.arm()
    return c.lb.set_routing_mode(mode)


@scenario("queue_settings", touches=("_routing_mode",), modes=("queue_all",),
          reads=("ROUTING_MODE_QUEUE_ALL", "QUEUE_ENABLED", "QUEUE_TTL_SEC",
                 "QUEUE_MAX_DEPTH_MULTIPLIER"))
async def _(c):
    set_setting(c, "QUEUE_ENABLED", HTruth(True, "QUEUE_ENABLED"))
    set_setting(c, "ROUTING_MODE_QUEUE_ALL", HStr("queue_all", "ROUTING_MODE_QUEUE_ALL"))
    c.arm()
    return [c.lb.queue_enabled(), c.lb.queue_ttl_sec(), c.lb.queue_depth_multiplier()]


DISPATCH_STATE = ("dispatch_counts", "last_dispatch_ts", "_pool_last_access",
                  "_pool_dispatch_windows")


@scenario("record_dispatch", touches=DISPATCH_STATE, reads=("time", "deque"), hostile=True)
async def _(c):
    c.lb._record_dispatch(c.key(), c.rec(5))
    key, r = c.key(hooked=True), c.rec(HId(5), hooked=True)
    c.arm()
    return c.lb._record_dispatch(key, r)


@scenario("record_dispatch_new", touches=DISPATCH_STATE, reads=("time", "deque"))
async def _(c):
    set_setting(c, "deque", HookDeque)
    key, r = c.key(hooked=True), c.rec(HId(5), hooked=True)
    c.arm()
    return c.lb._record_dispatch(key, r)


async def book(c, key, rec, *times):
    for t in times:
        c.loop.now = t
        c.lb._record_dispatch(key, rec)


@scenario("dispatch_rate_pool", touches=("_pool_dispatch_windows",),
          reads=("time", "HYBRID_RATE_WINDOW_SEC"), hostile=True)
async def _(c):
    await book(c, c.key(), c.rec(1), 1000.0, 1003.0, 1006.0)
    c.loop.now = 1008.0
    set_setting(c, "HYBRID_RATE_WINDOW_SEC", HFloat(5.0, "HYBRID_RATE_WINDOW_SEC"))
    key = c.key(hooked=True)
    c.arm()
    return c.lb._recent_dispatch_rate(key)


@scenario("dispatch_rate_all", touches=("_pool_dispatch_windows",),
          reads=("time", "HYBRID_RATE_WINDOW_SEC"), hostile=True)
async def _(c):
    await book(c, c.key(hooked=True), c.rec(1), 1000.0, 1003.0, 1006.0)
    await book(c, ("n", frozenset(), "u"), c.rec(2), 1004.0, 1007.0)
    c.loop.now = 1008.0
    set_setting(c, "HYBRID_RATE_WINDOW_SEC", HFloat(5.0, "HYBRID_RATE_WINDOW_SEC"))
    c.arm()
    return c.lb._recent_dispatch_rate()


GATE_READS = ("time", "SUPERFAST_PER_SERVER_CAP", "HYBRID_INFLIGHT_THRESHOLD",
              "HYBRID_HOT_EXIT_RATIO", "ROUTING_MODE_HYBRID")


@scenario("under_capacity", touches=("inflight", "_pool_dispatch_windows", "_pool_hot_state",
                                     "_routing_mode"),
          reads=GATE_READS, modes=("superfast", "max_concurrency"), args=("pool",), hostile=True)
async def _(c):
    c.lb.set_routing_mode("hybrid")
    r1 = c.rec(HId(1), cap=HInt(8, "cap"), hooked=True)
    r2 = c.rec(2, cap=4)
    c.lb.inflight.update({1: 3, 2: 6})
    await book(c, c.key(), r2, 999.0)
    c.lb._pool_hot_state[c.key()] = True
    for name, value in (("SUPERFAST_PER_SERVER_CAP", HInt(4, "SUPERFAST_PER_SERVER_CAP")),
                        ("HYBRID_INFLIGHT_THRESHOLD", HInt(10, "HYBRID_INFLIGHT_THRESHOLD")),
                        ("HYBRID_HOT_EXIT_RATIO", HFloat(0.8, "HYBRID_HOT_EXIT_RATIO"))):
        set_setting(c, name, value)
    key = c.key(hooked=True)
    pool = c.arg("pool", tagged(HList([r1, r2]), "pool"))
    c.arm()
    return c.lb._under_capacity(r1, pool, pool_key=key)


@scenario("effective_cap_for", touches=("inflight", "_pool_dispatch_windows", "_routing_mode"),
          reads=("time", "SUPERFAST_PER_SERVER_CAP", "HYBRID_RATE_WINDOW_SEC",
                 "ROUTING_MODE_SUPERFAST"), modes=("hybrid", "max_concurrency"))
async def _(c):
    r = c.rec(HId(1), cap=HInt(32, "cap"), hooked=True)
    c.lb.inflight[1] = 2
    set_setting(c, "SUPERFAST_PER_SERVER_CAP", HInt(4, "SUPERFAST_PER_SERVER_CAP"))
    c.arm()
    return c.lb.effective_cap_for(r)


@scenario("hybrid_hot", touches=("_pool_hot_state",),
          reads=("HYBRID_INFLIGHT_THRESHOLD", "HYBRID_RATE_THRESHOLD", "HYBRID_HOT_EXIT_RATIO"))
async def _(c):
    c.lb._pool_hot_state[c.key()] = True
    set_setting(c, "HYBRID_RATE_THRESHOLD", HFloat(10.0, "HYBRID_RATE_THRESHOLD"))
    key = c.key(hooked=True)
    figures = HInt(8, "pool_inflight"), HFloat(9.5, "pool_rate")
    c.arm()
    return c.lb._hybrid_hot(key, *figures)


@scenario("pool_inflight", touches=("inflight",), args=("candidates",))
async def _(c):
    c.lb.inflight.update({1: 2, 2: 3})
    cands = c.arg("candidates", tagged(HList([c.rec(HId(1), hooked=True), c.rec(2)]),
                                       "candidates"))
    c.arm()
    return c.lb._pool_inflight(cands)


@scenario("queue_capacity", touches=("_routing_mode",), modes=("queue_all",),
          reads=("QUEUE_MAX_DEPTH_MULTIPLIER", "ROUTING_MODE_QUEUE_ALL"))
async def _(c):
    set_setting(c, "QUEUE_MAX_DEPTH_MULTIPLIER", HInt(4, "QUEUE_MAX_DEPTH_MULTIPLIER"))
    cands = [c.rec(1, cap=HInt(3, "cap"), hooked=True), c.rec(2, cap=2)]
    c.arm()
    return c.lb._queue_capacity_for_pool(cands)


SELECT_STATE = ("inflight", "_wrr", "_locks", "_pool_last_access", "dispatch_counts",
                "last_dispatch_ts", "_pool_dispatch_windows")
SELECT_READS = ("time", "deque", "asyncio", "LB_ALGO_STICKY", "LB_ALGO_LEAST_CONN",
                "VALID_LB_ALGORITHMS", "normalize_lb_algorithm", "SUPERFAST_PER_SERVER_CAP")


async def select_with(c, algorithm, **kwargs):
    r1 = c.rec(HId(1), weight=HFloat(2.0, "weight"), hooked=True)
    r2, r3 = c.rec(2, weight=1.0), c.rec(3, weight=0)
    c.lb._wrr[c.key()] = {1: 0.5, 2: -0.5, 9: 1.0}
    c.lb.inflight[2] = 1
    key = c.key(hooked=True)
    cands = c.arg("candidates", tagged(HList([r1, r2, r3]), "candidates"))
    sin_binned = tagged(HSet({9}), "sin_binned")
    c.arm()
    return await c.lb.select(key, cands, sin_binned=sin_binned,
                             algorithm=HStr(algorithm, "algorithm"), **kwargs)


@scenario("select_wrr", touches=SELECT_STATE, reads=SELECT_READS, modes=("hybrid",),
          args=("candidates",), hostile=True)
async def _(c):
    return await select_with(c, "Weighted_Round_Robin ")


@scenario("select_least", touches=SELECT_STATE, reads=SELECT_READS, modes=("max_concurrency",),
          args=("candidates",), hostile=True)
async def _(c):
    return await select_with(c, "least_connections")


@scenario("select_sticky", touches=SELECT_STATE, reads=SELECT_READS, args=("candidates",),
          hostile=True)
async def _(c):
    return await select_with(c, "sticky_session", sticky_key=HStr("user-7", "sticky_key"))


@scenario("select_forced", touches=DISPATCH_STATE, reads=("time", "deque"),
          args=("candidates",))
async def _(c):
    return await select_with(c, "", force_server_id=HId(2))


@scenario("select_tables", touches=SELECT_STATE,
          reads=("LB_ALGO_STICKY", "LB_ALGO_LEAST_CONN", "DEFAULT_LB_ALGORITHM",
                 "VALID_LB_ALGORITHMS"))
async def _(c):
    set_setting(c, "VALID_LB_ALGORITHMS",
                HFrozen(c.mod.VALID_LB_ALGORITHMS, "VALID_LB_ALGORITHMS"))
    cands = [c.rec(1), c.rec(2)]
    c.arm()
    return await c.lb.select(c.key(), cands, algorithm="sticky_session", sticky_key="u")


FAST_READS = ("LB_ALGO_STICKY", "LB_ALGO_LEAST_CONN", "DEFAULT_LB_ALGORITHM",
              "VALID_LB_ALGORITHMS", "normalize_lb_algorithm", "SUPERFAST_PER_SERVER_CAP",
              "ROUTING_MODE_SUPERFAST", "deque", "asyncio")


async def fast_select(c, algorithm, sticky_key=None, locked=False):
    """select on plain records, a plain key and the real clock: the module's
    fast road. What can still run Python code there: the algorithm table's
    membership test, making the pool's first lock or window, importing hashlib."""
    set_setting(c, "VALID_LB_ALGORITHMS",
                HFrozen(c.mod.VALID_LB_ALGORITHMS, "VALID_LB_ALGORITHMS"))
    set_setting(c, "deque", HookDeque)
    set_setting(c, "asyncio", types.SimpleNamespace(Lock=hooked_lock))
    builtins.__import__ = hooked_import
    r1, r2, r3 = c.rec(1, weight=1.0, cap=2), c.rec(2, weight=2.0, cap=1), c.rec(3, weight=0)
    c.lb.inflight.update({1: 1, 3: 1})
    c.lb._wrr[c.key()] = {1: 0.5, 2: -0.5}
    if locked:
        c.lb._locks[c.key()] = asyncio.Lock()
        c.lb._record_dispatch(c.key(), r3)
    c.arm()
    return await c.lb.select(c.key(), [r1, r2, r3], algorithm=algorithm, sticky_key=sticky_key)


@scenario("fast_wrr", touches=SELECT_STATE, reads=FAST_READS, modes=("max_concurrency",),
          real_clock=True)
async def _(c):
    return await fast_select(c, "weighted_round_robin")


@scenario("fast_wrr_locked", touches=SELECT_STATE, reads=FAST_READS, real_clock=True)
async def _(c):
    return await fast_select(c, "weighted_round_robin", locked=True)


@scenario("fast_least", touches=SELECT_STATE, reads=FAST_READS, real_clock=True)
async def _(c):
    return await fast_select(c, "least_connections", locked=True)


@scenario("fast_sticky", touches=SELECT_STATE, reads=FAST_READS, real_clock=True)
async def _(c):
    return await fast_select(c, "sticky_session", sticky_key="user-7")


@scenario("wrr_pick", touches=("_wrr", "_locks", "_pool_last_access"), reads=("time",),
          args=("eligible",), hostile=True)
async def _(c):
    c.lb._locks[c.key()] = HLock()
    c.lb._wrr[c.key()] = {1: 1.0, 2: -1.0, 3: 0.5}
    key = c.key(hooked=True)
    eligible = c.arg("eligible", tagged(HList([c.rec(HId(1), hooked=True), c.rec(2, weight=2.0)]),
                                        "eligible"))
    c.arm()
    return await c.lb._wrr_pick(key, eligible)


@scenario("wrr_pick_new", touches=("_wrr", "_locks", "_pool_last_access"),
          reads=("time", "asyncio"))
async def _(c):
    key = c.key(hooked=True)
    eligible = [c.rec(HId(1), hooked=True), c.rec(2, weight=2.0)]
    c.arm()
    return await c.lb._wrr_pick(key, eligible)


@scenario("least_pick", touches=("inflight",), args=("eligible",))
async def _(c):
    c.lb.inflight.update({1: 1, 2: 1})
    eligible = c.arg("eligible", tagged(HList([
        c.rec(HId(1), weight=HFloat(2.0, "weight"), hooked=True), c.rec(2)]), "eligible"))
    c.arm()
    return c.lb._least_connections_pick(eligible)


@scenario("sticky_pick", touches=("inflight",), args=("eligible",))
async def _(c):
    eligible = c.arg("eligible", tagged(HList([c.rec(HId(1), hooked=True), c.rec(2)]),
                                        "eligible"))
    key = HStr("k", "sticky_key")
    c.arm()
    return c.lb._sticky_lookup(eligible, key)


@scenario("filter_by_fit", touches=("inflight",), args=("candidates",))
async def _(c):
    cands = c.arg("candidates", tagged(HList([
        c.rec(HId(1), limit=HInt(8192, "limit"), hooked=True), c.rec(2, limit=0),
        c.rec(3, limit=4096), c.rec(4, limit=100)]), "candidates"))
    tokens = HInt(1000, "tokens")
    c.arm()
    return c.lb.filter_by_fit(cands, tokens)


@scenario("estimate", reads=("IMAGE_TOKEN_COST",), args=("messages", "content"))
async def _(c):
    content = c.arg("content", tagged(HList([
        HStr("hello world", "text"), {"type": "image_url"},
        HMap({"type": "text", "text": "abcd"}, "part")]), "content"))
    messages = c.arg("messages", tagged(HList([{"role": "user", "content": content}, "x"]),
                                        "messages"))
    body = HMap({"messages": messages, "prompt": ["ab", 5],
                 "input": [[1, 2], "abc", {"type": "input_text", "text": "xy"}],
                 "instruct": "rank"}, "body")
    set_setting(c, "IMAGE_TOKEN_COST", HInt(2048, "IMAGE_TOKEN_COST"))
    c.arm()
    return c.mod.estimate_request_tokens(body)


WAIT_STATE = ("inflight", "_waiters", "_all_waiters", "dispatch_counts",
              "_pool_dispatch_windows", "queue_wait_samples", "reject_counts")
WAIT_READS = ("time", "deque", "asyncio", "RejectReason", "QUEUE_ENABLED", "QUEUE_TTL_SEC",
              "QUEUE_DEADLINE_BOOST_SEC", "_Waiter")


@scenario("wait_admit", touches=WAIT_STATE, reads=WAIT_READS, modes=("queue_all",),
          args=("candidates",), hostile=True)
async def _(c):
    set_setting(c, "QUEUE_ENABLED", True)
    set_setting(c, "deque", HookDeque)
    r1, r2 = c.rec(HId(1), cap=2, hooked=True), c.rec(2, cap=1)
    c.lb.inflight[2] = 1
    key = c.key(hooked=True)
    cands = c.arg("candidates", tagged(HList([r2, r1]), "candidates"))
    sin_binned = tagged(HSet({9}), "sin_binned")
    c.arm()
    return await c.lb.wait_for_slot(key, cands, HInt(100, "tokens"), sin_binned=sin_binned)


async def parked(c, ttl=30.0, cap=1):
    set_setting(c, "QUEUE_ENABLED", True)
    set_setting(c, "QUEUE_TTL_SEC", float(ttl))
    r1 = c.rec(HId(1), cap=cap, hooked=True)
    c.lb.inflight[1] = cap
    task = asyncio.ensure_future(c.lb.wait_for_slot(c.key(hooked=True), [r1], 100))
    await asyncio.sleep(0)
    return task


@scenario("wait_woken", touches=WAIT_STATE, reads=("time", "asyncio", "ROUTING_MODE_QUEUE_ALL"),
          modes=("queue_all",), hostile=True)
async def _(c):
    task = await parked(c)
    c.arm()
    c.lb.decrement(1)
    return await task


@scenario("wait_timeout", touches=WAIT_STATE, reads=("time", "asyncio", "RejectReason"),
          hostile=True)
async def _(c):
    task = await parked(c, ttl=5.0)
    c.arm()
    return await task


@scenario("wait_cancel", touches=WAIT_STATE, reads=("time", "asyncio"), hostile=True)
async def _(c):
    task = await parked(c)
    c.arm()
    task.cancel()
    return await task


@scenario("wait_full", touches=("_all_waiters", "reject_counts", "_routing_mode"),
          reads=("RejectReason", "QUEUE_MAX_DEPTH_MULTIPLIER"), modes=("queue_all",))
async def _(c):
    set_setting(c, "QUEUE_ENABLED", True)
    for _ in range(8):
        c.waiter([c.rec(9)])
    cands = [c.rec(HId(1), cap=1, hooked=True), c.rec(2, cap=1)]
    c.arm()
    return await c.lb.wait_for_slot(c.key(hooked=True), cands, 100)


@scenario("wait_no_backends", touches=("reject_counts",), reads=("RejectReason",))
async def _(c):
    set_setting(c, "QUEUE_ENABLED", True)
    cands = [c.rec(HId(1), hooked=True), c.rec(2)]
    c.arm()
    return await c.lb.wait_for_slot(PK, cands, 100, sin_binned=tagged(HSet({1, 2}),
                                                                        "sin_binned"))


async def waiters_on_5(c):
    r5 = c.rec(HId(5), cap=2, hooked=True)
    c.lb.inflight[5] = 1
    ws = [c.waiter([r5], tokens=HInt(500, "tokens"), queued_at=998.0),
          c.waiter([r5], tokens=100, queued_at=985.0, key=c.key(hooked=True)),
          c.waiter([r5], tokens=10, queued_at=980.0),
          c.waiter([r5], tokens=50, queued_at=HFloat(999.0, "queued_at"))]
    ws[2].future.cancel()
    return ws


WAKE_STATE = ("inflight", "_waiters", "_all_waiters", "dispatch_counts",
              "_pool_dispatch_windows", "_routing_mode")


@scenario("wake_one", touches=WAKE_STATE, reads=("time", "ROUTING_MODE_QUEUE_ALL"),
          modes=("queue_all",), hostile=True)
async def _(c):
    ws = await waiters_on_5(c)
    c.arm()
    c.lb._wake_one(HId(5))
    return ws


@scenario("wake_one_queue_all", touches=WAKE_STATE, reads=("ROUTING_MODE_QUEUE_ALL",),
          modes=("superfast",))
async def _(c):
    ws = await waiters_on_5(c)
    c.lb.set_routing_mode("queue_all")
    c.arm()
    c.lb._wake_one(HId(5))
    return ws


@scenario("remove_waiter", touches=("_waiters", "_all_waiters"), hostile=True)
async def _(c):
    key = c.key(hooked=True)
    r1, r2, r3 = c.rec(1), c.rec(HId(2), hooked=True), c.rec(3)
    c.waiter([r1, r2], key=key)
    w2 = c.waiter([r2, r3], key=key)
    c.arm()
    return c.lb._remove_waiter(w2)


@scenario("fulfill", touches=("_waiters", "_all_waiters") + DISPATCH_STATE,
          reads=("time", "deque"), hostile=True)
async def _(c):
    r1, r2 = c.rec(HId(1), hooked=True), c.rec(2)
    w = c.waiter([r1, r2], key=c.key(hooked=True))
    c.arm()
    c.lb._fulfill(w, r1)
    return w


@scenario("try_admit", touches=("inflight", "_waiters", "_all_waiters", "dispatch_counts",
                                "_pool_hot_state"),
          reads=("time", "SUPERFAST_PER_SERVER_CAP"), modes=("max_concurrency",), hostile=True)
async def _(c):
    c.lb.set_routing_mode("hybrid")
    r1, r2 = c.rec(2, cap=1), c.rec(HId(1), cap=3, hooked=True)
    c.lb.inflight.update({2: 1, 1: 1})
    w = c.waiter([r1, r2], key=c.key(hooked=True))
    c.arm()
    c.lb._try_admit(w)
    return w


SNAPSHOT_STATE = ("inflight", "_wrr", "_pool_last_access", "_all_waiters", "dispatch_counts",
                  "reject_counts", "queue_wait_samples", "_pool_dispatch_windows",
                  "_pool_hot_state", "_routing_mode")


@scenario("snapshot", touches=SNAPSHOT_STATE, modes=("superfast",), hostile=True,
          reads=("time", "logger", "POOL_LRU_TTL_SEC", "SUPERFAST_PER_SERVER_CAP",
                 "QUEUE_ENABLED", "ROUTING_MODE_HYBRID"))
async def _(c):
    c.lb.set_routing_mode("hybrid")
    r1, r2 = c.rec(1), c.rec(2)
    c.loop.now = 1000.0
    await c.lb.select(("old", frozenset(), "x"), [r2])
    c.loop.now = 1400.0
    k1 = c.key(hooked=True)
    await c.lb.select(k1, [r1, r2])
    await c.lb.select(("n", frozenset({HId(3), 12}), "u"), [r2])
    c.loop.now = 1402.0
    c.lb.inflight.update({HId(1): 2, 2: 1})
    c.lb.queue_wait_samples.extend([0.5, 2.0, 1.0])
    c.lb.note_reject("queue_full")
    c.lb._pool_hot_state[c.key()] = True
    set_setting(c, "POOL_LRU_TTL_SEC", HFloat(300.0, "POOL_LRU_TTL_SEC"))
    c.arm()
    return c.lb.snapshot()


@scenario("prometheus", touches=("inflight", "dispatch_counts", "reject_counts", "_all_waiters",
                                 "queue_wait_samples"), hostile=True)
async def _(c):
    c.lb.inflight.update({HId(5): 2, 6: 1})
    c.lb.dispatch_counts.update({7: 15, HId(3): 4})
    c.lb.reject_counts[HStr("queue_full", "reason")] = 1
    c.waiter([c.rec(9)])
    c.lb.queue_wait_samples.extend([0.5, 0.25, 1.0])
    c.arm()
    return c.lb.prometheus_text()


@scenario("prometheus_labels", only=("none",))
async def _(c):
    c.lb.note_reject('quoted "reason" \\ and\na new line')
    c.arm()
    return c.lb.prometheus_text()


@scenario("evict", touches=("_wrr", "_pool_last_access", "_pool_dispatch_windows",
                            "_pool_hot_state"),
          reads=("time", "POOL_LRU_TTL_SEC", "logger"), hostile=True)
async def _(c):
    stale, fresh = c.key(hooked=True), ("n", frozenset(), "u")
    c.loop.now = 1000.0
    await c.lb.select(stale, [c.rec(1)])
    c.lb._pool_hot_state[stale] = True
    c.loop.now = 1400.0
    await c.lb.select(fresh, [c.rec(2)])
    set_setting(c, "POOL_LRU_TTL_SEC", HFloat(300.0, "POOL_LRU_TTL_SEC"))
    c.arm()
    return c.lb._evict_stale_pools()


@scenario("lease", touches=("inflight", "_waiters"), hostile=True)
async def _(c):
    c.lb.inflight[5] = 1
    seen = []
    lease = c.mod.InflightLease(c.lb, HId(5))
    c.arm()
    with lease:
        seen.append(c.lb.get_inflight(5))
    async with c.mod.InflightLease(c.lb, HId(5)):
        seen.append(c.lb.get_inflight(5))
    lease.release()
    return seen


@scenario("lease_arguments", only=("none",))
async def _(c):
    outcomes = []
    for args, kwargs in (((1, 2, 3, 4), {"x": 5}), ((c.lb,), {}), ((c.lb, 1, 2), {})):
        try:
            c.mod.InflightLease(*args, **kwargs)
        except TypeError as e:
            outcomes.append(type(e).__name__)
    return outcomes


async def reaper_run(c, lister, interval=1.0, run_for=1.5):
    task = asyncio.ensure_future(c.mod.inflight_reaper_loop(
        c.lb, interval_sec=interval, list_running_servers=lister))
    await asyncio.sleep(run_for)
    task.cancel()
    try:
        await task
    except BaseException as e:  # noqa: BLE001 - how the task ended
        return e


@scenario("reaper", touches=("inflight",), reads=("asyncio", "logger"), hostile=True)
async def _(c):
    c.lb.inflight.update({HId(5): 1, 6: 2, 7: 1})
    servers = tagged(HList([c.rec(6, hooked=True)]), "servers")

    async def lister():
        hit("lister")
        return servers
    c.arm()
    return await reaper_run(c, lister)


@scenario("reaper_failing", only=("none",))
async def _(c):
    async def lister():
        return [{"x": 1}]
    c.lb.inflight[5] = 1
    c.arm()
    return [await reaper_run(c, lister, run_for=2.5),
            await reaper_run(c, lambda: [], run_for=1.5),
            await reaper_run(c, None, interval="x", run_for=1.5)]


async def drive_to_first_wait(c):
    set_setting(c, "QUEUE_ENABLED", True)
    r1 = c.rec(1, cap=1)
    c.lb.inflight[1] = 1
    coro = c.lb.wait_for_slot(c.key(), [r1], 100)
    coro.__await__().send(None)
    waiter = c.lb._all_waiters[0]
    c.auto_label(waiter, "W")
    return coro, waiter


@scenario("wait_closed", only=("none",))
async def _(c):
    coro, waiter = await drive_to_first_wait(c)
    c.arm()
    coro.close()
    return waiter


@scenario("wait_collected", only=("none",))
async def _(c):
    coro, waiter = await drive_to_first_wait(c)
    c.arm()
    del coro
    gc.collect()
    return waiter


async def two_parked(c):
    set_setting(c, "QUEUE_ENABLED", True)
    r1 = c.rec(1, cap=1)
    c.lb.inflight[1] = 1
    first = asyncio.ensure_future(c.lb.wait_for_slot(c.key(), [r1], 100))
    await asyncio.sleep(0)
    set_setting(c, "QUEUE_TTL_SEC", 50.0)
    second = asyncio.ensure_future(c.lb.wait_for_slot(c.key(), [r1], 200))
    await asyncio.sleep(0)
    return first, second


async def outcomes_of(*tasks):
    return await asyncio.gather(*tasks, return_exceptions=True)


@scenario("handover_then_timeout", only=("none",))
async def _(c):
    # The slot is handed over in the loop turn in which the first request's
    # time-to-live runs out (both handles are due at the same moment; the
    # hand-over was scheduled first): it times out, and the slot goes on.
    set_setting(c, "QUEUE_TTL_SEC", 5.0)
    c.loop.call_at(c.loop.time() + 5.0, c.lb.decrement, 1)
    first, second = await two_parked(c)
    c.arm()
    return await outcomes_of(first, second)


@scenario("handover_then_cancel", only=("none",))
async def _(c):
    first, second = await two_parked(c)
    c.arm()
    c.lb.decrement(1)
    first.cancel()
    return await outcomes_of(first, second)


def variants():
    for name, s in SCENARIOS.items():
        yield name, s
        if s.hostile:
            yield name + "~hostile", s


def mutations_of(s, point):
    """The mutations tried at one hook point of a scenario."""
    if s.only is not None:
        return list(s.only)
    name, n = point.rsplit("#", 1)
    if name.startswith("lb."):
        # A method of a state container: that container replaced or deleted.
        attr = name[3:].split(".")[0].rstrip("[]")
        return ["replace:" + attr, "del:" + attr, "gc"]
    ms = []
    for a in s.touches:
        ms.append("replace:" + a)
        if not name.startswith("self.") and a != "_routing_mode":
            ms.append("clear:" + a)
        ms.append("del:" + a)
    if not name.startswith("self.") and n == "1":
        for r in s.reads:
            ms += ["renew:" + r] + (["set:" + r] if r in ALT else []) + ["unbind:" + r]
    if not name.startswith("self."):
        ms += ["arg:" + a for a in s.args]
    return ms + ["mode:" + m for m in s.modes] + ["gc"]


def swaps_of(s):
    out = []
    for a in s.touches:
        if a in DICT_ATTRS:
            out += [f"swap:{a}=mapping", f"swap:{a}=list"]
        elif a == "_all_waiters":
            out.append("swap:_all_waiters=tuple")
        elif a == "queue_wait_samples":
            out.append("swap:queue_wait_samples=list")
    return out


def hook_points(hits, hostile):
    for name, count in hits.items():
        if hostile != name.startswith(("self.", "lb.")):
            continue
        for n in range(1, min(count, 1 if name.startswith("lb.") else 2) + 1):
            yield f"{name}#{n}"


_CASES = None


def all_cases():
    """Every case id; the hook points are those the Python form reaches."""
    global _CASES
    if _CASES is None:
        mod = load("python_form")
        cases = []
        for name, s in variants():
            hostile = name.endswith("~hostile")
            cases.append(f"{name}|-|none")
            if s.only is not None:
                continue
            if not hostile:
                cases += [f"{name}|before|{m}" for m in swaps_of(s)]
            hits = run_case(mod, f"{name}|-|none")["hits"]
            for point in hook_points(hits, hostile):
                cases += [f"{name}|{point}|{m}" for m in mutations_of(s, point)]
        _CASES = cases
    return _CASES


# ---------------------------------------------------------------------------
# Running cases in subprocesses

MARK = "@@case "


def child_main(impl):
    mod = load(impl)
    gc.collect()
    gc.freeze()  # each case's collection then walks only what the case made
    for line in sys.stdin:
        case_id = line.strip()
        if case_id:
            out = run_case(mod, case_id)
            out.pop("hits")
            sys.stdout.write(MARK + json.dumps(out) + "\n")
            sys.stdout.flush()


def valgrind_binary():
    v = os.environ.get("REENTRANCY_VALGRIND", "")
    return None if v in ("", "0") else ("valgrind" if v == "1" else v)


def child_command(impl):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", impl]
    vg = valgrind_binary() if impl == "varnhold" else None
    if vg:
        cmd = [vg, "--quiet", "--error-exitcode=99", "--leak-check=no"] + cmd
    return cmd


def child_env(impl):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    if impl == "python_form":
        env.pop("LD_PRELOAD", None)  # the reference needs no sanitizer
    elif valgrind_binary():
        env["PYTHONMALLOC"] = "malloc"
    return env


def ending(returncode, stderr, timed_out):
    """The fault class of a child that did not end normally."""
    if timed_out:
        return "hang"
    if "AddressSanitizer" in stderr or "runtime error:" in stderr:
        return "crash"
    if returncode in (-signal.SIGSEGV, -signal.SIGBUS, -signal.SIGILL, -signal.SIGFPE):
        return "crash"
    if returncode == -signal.SIGABRT:
        return "abort"
    if returncode == 99 and valgrind_binary():
        return "memcheck"
    return f"exit {returncode}"


def run_child(impl, ids, timeout):
    """Runs the cases in one child: {id: outcome}, and the ending (None when
    the child ended normally) with the tail of its error output."""
    try:
        proc = subprocess.run(child_command(impl), input="\n".join(ids) + "\n",
                              capture_output=True, text=True, timeout=timeout,
                              env=child_env(impl), cwd=HERE)
        out, err, rc, timed_out = proc.stdout, proc.stderr, proc.returncode, False
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
        err = e.stderr.decode() if isinstance(e.stderr, bytes) else (e.stderr or "")
        rc, timed_out = None, True
    results = {}
    for line in out.splitlines():
        if line.startswith(MARK):
            o = json.loads(line[len(MARK):])
            results[o["id"]] = o
    bad = None if (rc == 0 and not timed_out) else ending(rc, err, timed_out)
    return results, bad, err[-2000:]


def time_scale():
    if valgrind_binary():
        return 40
    return 4 if sanitized() else 1


def run_impl(impl, ids, known=None):
    """{id: ("ok", outcome) | (fault class, error tail)} for every case.

    Cases run in batches, one child each. When a child dies, the first case it
    did not report is run alone: if that dies too it is the culprit, and the
    rest of the batch goes on in a new child; if not, the cases the child did
    report are run alone until one of them dies (a fault that surfaced late).
    Known failures run in batches of their own, where the first unreported
    case is simply taken as the one that died; known hangs run alone."""
    known = known or {}
    scale = time_scale()
    workers = max(1, min(os.cpu_count() or 1, 8))

    def alone(case_id):
        short = known.get(case_id) == "hang"
        results, bad, err = run_child(impl, [case_id], (3 if short else 30) * scale)
        if bad or case_id not in results:
            return case_id, (bad or "no outcome", err)
        return case_id, ("ok", results[case_id])

    def batch(pending, verify):
        outcomes = {}
        while pending:
            results, bad, err = run_child(impl, pending, (10 + len(pending) / 20) * scale)
            for case_id, o in results.items():
                outcomes[case_id] = ("ok", o)
            rest = [i for i in pending if i not in results]
            if not rest:
                break
            culprit = alone(rest[0]) if verify else (rest[0], (bad or "no outcome", err))
            outcomes[culprit[0]] = culprit[1]
            if verify and culprit[1][0] == "ok":
                for case_id in [i for i in pending if i in results]:
                    outcomes[case_id] = alone(case_id)[1]
            pending = rest[1:]
        return outcomes

    hangs = [i for i in ids if known.get(i) == "hang"]
    failing = [i for i in ids if i in known and i not in hangs]
    passing = [i for i in ids if i not in known]
    jobs = []
    for group, verify in ((passing, True), (failing, False)):
        size = max(20, -(-len(group) // workers))
        jobs += [(group[i:i + size], verify) for i in range(0, len(group), size)]
    outcomes = {}
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        for o in pool.map(lambda job: batch(*job), jobs):
            outcomes.update(o)
        outcomes.update(dict(pool.map(alone, hangs)))
    return outcomes


def first_difference(a, b):
    for key in ("result", "logs", "mutation_error", "state"):
        if a.get(key) != b.get(key):
            if key == "state":
                for name in ATTRS:
                    x, y = a["state"].get(name), b["state"].get(name)
                    if x != y:
                        return f"state {name}: varnhold {json.dumps(y)[:300]} / " \
                               f"python form {json.dumps(x)[:300]}"
            return f"{key}: varnhold {json.dumps(b.get(key))[:300]} / " \
                   f"python form {json.dumps(a.get(key))[:300]}"
    return None


def sanitized():
    return "asan" in os.environ.get("LD_PRELOAD", "")


def selected_cases():
    """Every case; under the sanitizer build the known failures are left out
    (the release run says when one passes), and under valgrind only the plain
    case and the first mutated case of each scenario that are not known to fail."""
    cases = all_cases()
    if valgrind_binary():
        picked, seen = [], set()
        for cid in cases:
            scen, hook, _, _ = parse_case(cid)
            kind = "plain" if hook == "-" else "mutated"
            if cid in KNOWN_FAILING or "~" in scen or hook == "before" or (scen, kind) in seen:
                continue
            seen.add((scen, kind))
            picked.append(cid)
        cases = picked
    elif sanitized():
        cases = [c for c in cases if c not in KNOWN_FAILING]
    pattern = os.environ.get("REENTRANCY_CASES")
    if pattern:
        cases = [c for c in cases if re.search(pattern, c)]
    return cases


class ReentrancySuite(unittest.TestCase):
    def test_every_case_as_the_python_form(self):
        started = time.monotonic()
        cases = selected_cases()
        reference = run_impl("python_form", cases)
        broken = {k: v for k, v in reference.items() if v[0] != "ok"}
        self.assertFalse(broken, f"the Python form itself failed: {broken}")
        compiled = run_impl("varnhold", cases, KNOWN_FAILING)
        failures = {}
        for cid in cases:
            kind, o = compiled[cid]
            if kind != "ok":
                failures[cid] = (kind, o.strip().splitlines()[-1:] if o.strip() else "")
                continue
            try:
                diff = first_difference(comparable(reference[cid][1]), comparable(o))
            except (KeyError, IndexError, TypeError):
                # The child's own objects were overwritten: a use of freed memory.
                failures[cid] = ("crash", "malformed outcome")
                continue
            if diff:
                failures[cid] = ("divergence", diff)
        if os.environ.get("REENTRANCY_REPORT"):
            with open(os.environ["REENTRANCY_REPORT"], "w") as f:
                json.dump(failures, f, indent=1)
        unexpected = {k: v for k, v in failures.items() if k not in KNOWN_FAILING}
        fixed = [k for k in KNOWN_FAILING
                 if k in cases and k not in failures and KNOWN_FAILING[k] != "sanitizer"]
        stale = [k for k in KNOWN_FAILING if k not in all_cases()]
        print(f"\n{len(cases)} cases, {len(failures)} failing "
              f"({len(failures) - len(unexpected)} known), "
              f"{time.monotonic() - started:.1f} s", file=sys.stderr)
        for k in fixed:
            print(f"now passes, delete from KNOWN_FAILING: {k}", file=sys.stderr)
        if not os.environ.get("REENTRANCY_CASES"):
            self.assertFalse(stale, f"KNOWN_FAILING names cases that do not exist: {stale}")
        self.assertFalse(unexpected, "\n" + "\n".join(
            f"{k}: {v[0]}: {v[1]}" for k, v in sorted(unexpected.items())))


# ---------------------------------------------------------------------------
# The Python form against the module on ordinary use

class OrdinaryUse(unittest.TestCase):
    """A few hundred random steps of ordinary use, run on both: requests go the
    host's road (estimate, fit, select, wait_for_slot when nothing is free,
    a lease while the request is served), with time passing, cancellations,
    mode changes and reports in between. Every result, every log record and
    the state after every step must be the same. This keeps the reference
    honest; the settings are small so that queues, ceilings, boosts, hot
    pools and evictions all happen."""

    SEED = 3
    STEPS = 700
    SETTINGS = {"QUEUE_ENABLED": True, "QUEUE_TTL_SEC": 6.0, "QUEUE_DEADLINE_BOOST_SEC": 2.0,
                "QUEUE_MAX_DEPTH_MULTIPLIER": 1, "SUPERFAST_PER_SERVER_CAP": 2,
                "HYBRID_INFLIGHT_THRESHOLD": 4, "HYBRID_RATE_THRESHOLD": 3.0,
                "HYBRID_RATE_WINDOW_SEC": 2.0, "HYBRID_HOT_EXIT_RATIO": 0.5,
                "POOL_LRU_TTL_SEC": 20.0}

    def trace(self, impl):
        global CTX
        mod = load(impl)
        restore(mod)
        loop = VirtualLoop()
        c = CTX = Ctx(mod, loop, None, 0, "none", False)
        try:
            mod.time, mod.logger = FakeTime(loop), FakeLogger(c.logs)
            for name, value in self.SETTINGS.items():
                setattr(mod, name, value)
            c.lb = mod.LoadBalancer()
            return loop.run_until_complete(self.drive(c, random.Random(self.SEED)))
        finally:
            finish_loop(loop)
            CTX = None
            restore(mod)

    async def drive(self, c, rnd):
        lb, mod = c.lb, c.mod
        recs = [c.rec(1, weight=1.0, cap=1, limit=4096), c.rec(2, weight=2.0, cap=2, limit=8192),
                c.rec(3, weight=0, cap=1), c.rec(4, weight=1.0, cap=1, limit=100),
                c.rec(5, weight=None, cap=0), c.rec(6, weight=4.0, cap=2)]
        keys = [PK, ("m", frozenset({3, 12}), "fast"), ("n", frozenset(), "t")]
        bodies = [{"messages": [{"role": "user", "content": "x" * 50}]}, {"prompt": "y" * 20000}, {"prompt": "z" * 16384},
                  {"input": [[1, 2], [3]], "query": "q"}, {"messages": [{"content": [
                      {"type": "text", "text": "abcdefgh"}, {"type": "image_url"}]}]}]
        leases, tasks, seen, out = [], [], set(), []
        ops = (["request"] * 8 + ["finish"] * 6 + ["advance"] * 3 +
               ["cancel", "mode", "report", "reject", "clear"])
        for i in range(self.STEPS):
            op = rnd.choice(ops)
            if op == "request":
                tokens = mod.estimate_request_tokens(rnd.choice(bodies))
                fit = lb.filter_by_fit(rnd.sample(recs, rnd.randint(1, 5)), tokens)
                key = rnd.choice(keys)
                r = await lb.select(
                    key, fit, sin_binned=rnd.choice([None, None, {2}]),
                    algorithm=rnd.choice([None, "least_connections", "sticky_session"]),
                    sticky_key=rnd.choice(["user-1", "user-2", None]),
                    force_server_id=rnd.choice([None] * 12 + [2]))
                if r is not None:
                    leases.append(mod.InflightLease(lb, r["id"]).__enter__())
                else:
                    tasks.append(asyncio.ensure_future(lb.wait_for_slot(key, fit, tokens)))
                    await asyncio.sleep(0)
                r = [tokens, r]
            elif op == "finish" and leases:
                lease = leases.pop(rnd.randrange(len(leases)))
                r = lease.release() if rnd.random() < 0.3 else await lease.__aexit__(None, None,
                                                                                     None)
                await asyncio.sleep(0)
            elif op == "advance":
                await asyncio.sleep(rnd.choice([0.5, 1.0, 2.5, 7.0]))
                r = c.loop.now
            elif op == "cancel" and tasks:
                r = tasks[rnd.randrange(len(tasks))].cancel()
                await asyncio.sleep(0)
            elif op == "mode":
                r = lb.set_routing_mode(rnd.choice(["hybrid", "hybrid", "queue_all", "superfast",
                                                    "max_concurrency", " HYBRID ", "bogus"]))
            elif op == "report":
                r = [lb.snapshot(), lb.prometheus_text()]
            elif op == "reject":
                r = lb.note_reject(rnd.choice(["at_capacity", "too_large"]))
            else:
                r = lb.force_clear(rnd.choice(recs)["id"]) if op == "clear" else None
            done = []
            for j, t in enumerate(tasks):
                if t.done() and j not in seen:
                    seen.add(j)
                    result = "cancelled" if t.cancelled() else t.result()
                    done.append([j, render(c, result)])
                    if result != "cancelled" and result[0] is not None:
                        leases.append(mod.InflightLease(lb, result[0]["id"]).__enter__())
            out.append([i, op, render(c, r), done, {a: render(c, getattr(lb, a)) for a in ATTRS},
                        len(c.logs)])
        out.append([[lv, m, [render(c, v) for v in args]] for _, lv, m, args in c.logs])
        return out

    def test_same_results_and_state_at_every_step(self):
        expected, got = self.trace("python_form"), self.trace("varnhold")
        for e, g in zip(expected, got):
            self.assertEqual(g, e, f"step {e[0]} ({e[1]})")
        self.assertEqual(len(got), len(expected))


# The cases that fail on today's build, each with how it fails in the release
# build: "crash" (a signal or a sanitizer report; "abort" for SIGABRT), "hang"
# (no end within the time allowed), "divergence" (another result, log or state
# than the Python form's), or "sanitizer" (passes in the release build, reported by the
# sanitizer build). A use of freed memory may crash in one run and only
# diverge in another: the class says what was seen. Delete an entry once its
# case passes.
KNOWN_FAILING = {
}


def main(argv):
    if argv[1:2] == ["--child"]:
        child_main(argv[2])
    elif argv[1:2] == ["--list"]:
        print("\n".join(all_cases()))
    elif argv[1:2] == ["--show"]:
        for impl in ("python_form", "varnhold"):
            o = run_case(load(impl), argv[2])
            o.pop("hits")
            print(impl)
            for k, v in o.items():
                print(f"  {k}: {json.dumps(v)}")
    else:
        unittest.main()


if __name__ == "__main__":
    main(sys.argv)
