"""Benchmark harness: nanoseconds per operation of the module's hot paths.

Run from the repository root after a build:

    PYTHONPATH=build "$(pyenv prefix 3.13.0)/bin/python3.13" bench/bench.py [-k TEXT] [--runs N]

It prints one table: first the floors, measured in the same process (an empty
native method call, an awaited native coroutine that does next to nothing,
`async with` on an asyncio.Lock, and 128 tasks handing a plain future along,
with and without asyncio.wait_for), then every scenario. Each row gives the
median and the best over several runs, every run a loop of many operations
timed as a whole (the runs are taken in rounds across all the rows, so a spell
of load from elsewhere does not fall on one row alone), and the target where
the scenario has one. A scenario whose
cost should grow with its input names the smaller scenario that it is compared
with; its row shows how many times slower it is than that one, beside how many
times larger its input is.

A scenario is a function registered with @scenario; it receives a fresh Env and
returns `run(n)` (plain or async) that performs the operation n times. When
`run` returns a number, that number is the elapsed time in ns of the part that
counts (the set-up around it left out).
"""

import argparse
import asyncio
import gc
import inspect
import os
import random
import statistics
import sys
import time

import varnhold

# CPU time of this process by default: on a shared virtual machine it leaves
# out time when the machine was not running us, which wall time counts.
CLOCK = time.process_time_ns


class Bench:
    def __init__(self, name, build, target=None, base=None, size=None, unit=1):
        self.name = name
        self.build = build
        self.target = target    # ns, or None
        self.base = base        # name of the scenario this one is compared with
        self.size = size        # how many times larger its input is than base's
        self.unit = unit        # run(n) needs n to be a multiple of this


FLOORS = []
SCENARIOS = []


def floor(name, unit=1):
    def register(fn):
        FLOORS.append(Bench(name, fn, unit=unit))
        return fn
    return register


def scenario(name, target=None, base=None, size=None, unit=1):
    def register(fn):
        SCENARIOS.append(Bench(name, fn, target, base, size, unit))
        return fn
    return register


class Env:
    """A fresh balancer with one pool of eight backends, some load on them."""

    def __init__(self, n_candidates=8):
        self.lb = varnhold.LoadBalancer()
        self.key = ("model-a", frozenset({1, 2}), "standard")
        self.cands = [
            {"id": 100 + i, "weight": 1 + i % 3, "max_concurrency": 32, "max_input_tokens": 32768}
            for i in range(n_candidates)
        ]
        for i, c in enumerate(self.cands):
            if i % 2:
                self.lb.inflight[c["id"]] = i % 3
        self.sticky_keys = ["session-%04d" % i for i in range(64)]


# ---- floors ----

@floor("floor: lb.get_routing_mode()")
def floor_method(env):
    lb = env.lb

    def run(n):
        for _ in range(n):
            lb.get_routing_mode()
    return run


@floor("floor: await lb.select(key, [])  (native coroutine, no work)")
def floor_coroutine(env):
    lb, key, empty = env.lb, env.key, []

    async def run(n):
        for _ in range(n):
            await lb.select(key, empty)
    return run


@floor("floor: async with asyncio.Lock()")
def floor_lock(env):
    lock = asyncio.Lock()

    async def run(n):
        for _ in range(n):
            async with lock:
                pass
    return run


PARKED = 128


def future_chain(with_wait_for):
    """The event loop's part of a hand-over alone: 128 tasks, each waiting on
    its future and then resolving the next one's."""
    def build(env):
        async def chain(k):
            loop = asyncio.get_running_loop()
            futures = [loop.create_future() for _ in range(k + 1)]

            async def link(i):
                if with_wait_for:
                    await asyncio.wait_for(futures[i], timeout=30.0)
                else:
                    await futures[i]
                futures[i + 1].set_result(None)

            tasks = [asyncio.create_task(link(i)) for i in range(k)]
            await asyncio.sleep(0)
            start = CLOCK()
            futures[0].set_result(None)
            await asyncio.gather(*tasks)
            return CLOCK() - start

        async def run(n):
            return sum([await chain(PARKED) for _ in range(n // PARKED)])
        return run
    return build


floor("floor: 128 tasks passing a future along, per pass", unit=PARKED)(future_chain(False))
floor("floor: the same, each wait in asyncio.wait_for", unit=PARKED)(future_chain(True))


# ---- the request road: select, then a lease on the winner ----

def road(algorithm=None, sticky=False, sync_lease=False):
    """`await lb.select(...)` on eight candidates, then a lease on the winner."""
    def build(env):
        lb, key, cands, keys = env.lb, env.key, env.cands, env.sticky_keys
        lease = varnhold.InflightLease

        async def pick(i):
            if sticky:
                return await lb.select(key, cands, algorithm=algorithm, sticky_key=keys[i & 63])
            if algorithm:
                return await lb.select(key, cands, algorithm=algorithm)
            return await lb.select(key, cands)

        async def run_async(n):
            for i in range(n):
                server = await pick(i)
                async with lease(lb, server["id"]):
                    pass

        async def run_sync(n):
            for i in range(n):
                server = await pick(i)
                with lease(lb, server["id"]):
                    pass
        return run_sync if sync_lease else run_async
    return build


for _label, _algo, _sticky, _target in [("weighted round-robin", None, False, 2000),
                                         ("least-connections", "least_connections", False, 1200),
                                         ("sticky", "sticky_session", True, 1500)]:
    scenario(f"road: select {_label} + with lease", _target)(
        road(_algo, _sticky, sync_lease=True))
    scenario(f"road: select {_label} + async with lease", _target)(road(_algo, _sticky))


@scenario("lease: with InflightLease(lb, id)", 150)
def lease_with(env):
    lb, sid, lease = env.lb, env.cands[0]["id"], varnhold.InflightLease

    def run(n):
        for _ in range(n):
            with lease(lb, sid):
                pass
    return run


@scenario("lease: async with InflightLease(lb, id)")
def lease_async_with(env):
    lb, sid, lease = env.lb, env.cands[0]["id"], varnhold.InflightLease

    async def run(n):
        for _ in range(n):
            async with lease(lb, sid):
                pass
    return run


@scenario("select only: weighted round-robin")
def select_wrr(env):
    lb, key, cands = env.lb, env.key, env.cands

    async def run(n):
        for _ in range(n):
            await lb.select(key, cands)
    return run


# ---- hand-over of a freed slot to a parked request ----

def handover(mode):
    """128 requests parked on one full backend (one slot). Releasing the lease
    that holds the slot wakes the first; its wait_for_slot returns, it enters
    and leaves its own lease, which wakes the next, and so on down the queue.
    Timed per hand-over: from a lease exit to the return of the woken request's
    wait_for_slot, its own lease included; parking the 128 is left out."""
    def build(env):
        lb = varnhold.LoadBalancer()
        lb.set_routing_mode(mode)
        record = {"id": 1, "weight": 1, "max_concurrency": 1}
        pool_key = ("model", frozenset({1}), "tier")
        lease = varnhold.InflightLease

        async def request():
            backend, reason, _ = await lb.wait_for_slot(pool_key, [record], 100)
            assert reason == "ok", reason
            with lease(lb, backend["id"]):
                pass

        async def chain(k):
            holder = lease(lb, record["id"])
            holder.__enter__()
            tasks = [asyncio.create_task(request()) for _ in range(k)]
            while len(lb._all_waiters) < k:
                await asyncio.sleep(0)
            start = CLOCK()
            holder.release()
            await asyncio.gather(*tasks)
            elapsed = CLOCK() - start
            assert not lb._all_waiters and not lb.inflight
            return elapsed

        async def run(n):
            saved = varnhold.QUEUE_ENABLED, varnhold.QUEUE_MAX_DEPTH_MULTIPLIER
            varnhold.QUEUE_ENABLED, varnhold.QUEUE_MAX_DEPTH_MULTIPLIER = True, 1000
            try:
                return sum([await chain(PARKED) for _ in range(n // PARKED)])
            finally:
                varnhold.QUEUE_ENABLED, varnhold.QUEUE_MAX_DEPTH_MULTIPLIER = saved
        return run
    return build


for _mode in ("superfast", "queue_all"):
    scenario(f"hand-over: 128 parked on a full backend, {_mode}", 4000, unit=PARKED)(
        handover(_mode))


# ---- token estimate and token-fit filter ----

def estimate(body):
    def build(env):
        fn = varnhold.estimate_request_tokens
        assert fn(body) > 0

        def run(n):
            for _ in range(n):
                fn(body)
        return run
    return build


def chat_body(rng):
    """20 messages of a conversation; three user turns carry an image part."""
    messages = [{"role": "system", "content": "You are a careful assistant. " * 6}]
    for i in range(19):
        role = "user" if i % 2 == 0 else "assistant"
        text = "".join(rng.choice("abcdefghij klmnop") for _ in range(rng.randint(40, 400)))
        if role == "user" and i in (2, 8, 14):
            content = [{"type": "text", "text": text},
                       {"type": "image_url", "image_url": {"url": "data:image/png;base64,AAAA"}}]
        else:
            content = text
        messages.append({"role": role, "content": content})
    return {"model": "model-a", "messages": messages, "max_tokens": 512, "stream": True}


def token_ids(rng, n):
    return [rng.randrange(100, 150000) for _ in range(n)]


_rng = random.Random(7)
scenario("estimate: chat of 20 messages, 3 image parts", 400)(estimate(chat_body(_rng)))
scenario("estimate: embeddings input of 512 token ids", 2000)(
    estimate({"model": "embed", "input": token_ids(_rng, 512)}))
scenario("estimate: embeddings input of 8,192 token ids",
         base="estimate: embeddings input of 512 token ids", size=16)(
    estimate({"model": "embed", "input": token_ids(_rng, 8192)}))
scenario("estimate: prompt of 1 kB")(estimate({"model": "m", "prompt": "lorem ipsum " * 85}))
scenario("estimate: prompt of 100 kB", base="estimate: prompt of 1 kB", size=100)(
    estimate({"model": "m", "prompt": "lorem ipsum " * 8534}))


@scenario("filter_by_fit: 64 candidates, estimate 5,000", 2500)
def fit_64(env):
    rng = random.Random(11)
    limits = [4096, 8192, 16384, 32768, 131072, 0, None]
    cands = []
    for i in range(64):
        record = {"id": 1000 + i, "weight": 1, "max_concurrency": 8}
        limit = rng.choice(limits)
        if limit is not None:
            record["max_input_tokens"] = limit
        cands.append(record)
    rng.shuffle(cands)
    fit = env.lb.filter_by_fit
    assert 0 < len(fit(cands, 5000)) < 64

    def run(n):
        for _ in range(n):
            fit(cands, 5000)
    return run


# ---- the two reports on a busy balancer ----

def busy_balancer(servers, pools, samples=512, seed=1):
    """A balancer in steady state: every server counted and booked, each pool
    with its round-robin state and recent dispatches, a handful of rejection
    reasons, parked waiters, and a full deque of wait samples."""
    rng = random.Random(seed)
    lb = varnhold.LoadBalancer()
    per_pool = max(1, servers // pools)
    for p in range(pools):
        pk = (f"model-{p % 7}", frozenset({p, 1000 + p % 3}), ("fast", "slow")[p % 2])
        members = range(p * per_pool, min(servers, (p + 1) * per_pool))
        for sid in members:
            for _ in range(rng.randint(1, 3)):
                lb._record_dispatch(pk, {"id": sid})
        lb._wrr[pk] = {sid: rng.uniform(-5, 5) for sid in members}
    for sid in range(servers):
        for _ in range(rng.randint(0, 4)):
            lb.increment(sid)
    for reason in ("queue_full", "queue_timeout", "no_backends", "at_capacity", "too_large"):
        for _ in range(rng.randint(1, 50)):
            lb.note_reject(reason)
    lb._all_waiters.extend(object() for _ in range(17))
    lb.queue_wait_samples.extend(rng.uniform(0, 30) for _ in range(samples))
    return lb


def report(method, servers, pools, samples=512):
    def build(env):
        lb = busy_balancer(servers, pools, samples)
        call = getattr(lb, method)
        assert len(lb.snapshot()["pools"]) == pools

        def run(n):
            for _ in range(n):
                call()
        return run
    return build


for _method, _target in (("snapshot", 40_000), ("prometheus_text", 12_000)):
    _small = f"report: {_method}(), 200 servers, 50 pools"
    scenario(_small, _target)(report(_method, 200, 50))
    scenario(f"report: {_method}(), 200 servers, 50 pools, no wait samples")(
        report(_method, 200, 50, samples=0))
    scenario(f"report: {_method}(), 2,000 servers, 500 pools", base=_small, size=10)(
        report(_method, 2000, 500))


# ---- the harness ----

def timed(run, n, loop):
    gc.collect()
    start = CLOCK()
    if inspect.iscoroutinefunction(run):
        part = loop.run_until_complete(run(n))
    else:
        part = run(n)
    elapsed = CLOCK() - start
    return (elapsed if part is None else part) / n


def calibrate(bench, loop, budget_s):
    """Builds the scenario and finds how many operations one run of about
    budget_s takes. Returns (run, n)."""
    run = bench.build(Env())
    unit = bench.unit
    n = max(64, unit)
    while True:
        per_op = timed(run, n, loop)
        if per_op * n >= budget_s * 1e9 / 4 or n >= 1 << 22:
            break
        n *= 4
    n = max(64, int(budget_s * 1e9 / max(per_op, 1.0)))
    return run, max(unit, n // unit * unit)


def measure(benches, runs, loop, budget_s, progress):
    """Median and best ns per operation of each bench. The runs are taken in
    rounds, one run of every bench per round, so that a spell of load from
    elsewhere on the machine falls on one run of many benches rather than on
    every run of one."""
    prepared = []
    for i, bench in enumerate(benches):
        progress(f"calibrating {i + 1}/{len(benches)}")
        prepared.append(calibrate(bench, loop, budget_s))
    samples = [[] for _ in benches]
    for r in range(runs):
        progress(f"round {r + 1}/{runs}")
        for (run, n), into in zip(prepared, samples):
            into.append(timed(run, n, loop))
    progress("")
    return [(statistics.median(s), min(s)) for s in samples]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-k", action="append", default=[], metavar="TEXT",
                        help="only scenarios whose name contains TEXT (repeat for several)")
    parser.add_argument("--runs", type=int, default=15, help="timed runs of each scenario")
    parser.add_argument("--budget", type=float, default=0.05,
                        help="seconds that one timed run should take")
    parser.add_argument("--wall", action="store_true", help="time with the wall clock")
    parser.add_argument("--list", action="store_true", help="print the scenario names and stop")
    args = parser.parse_args(argv)
    if args.list:
        for bench in SCENARIOS:
            print(bench.name)
        return 0
    global CLOCK
    if args.wall:
        CLOCK = time.perf_counter_ns
    wanted = {b.name for b in SCENARIOS if not args.k or any(k in b.name for k in args.k)}
    wanted |= {b.base for b in SCENARIOS if b.name in wanted and b.base}  # for the ratio
    chosen = [b for b in SCENARIOS if b.name in wanted]
    if not chosen:
        parser.error("no scenario matches " + " or ".join(map(repr, args.k)))

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    width = max(len(b.name) for b in FLOORS + chosen)
    clock = "wall" if args.wall else "CPU"
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"python {sys.version.split()[0]}, {args.runs} runs each, ns of {clock} time per "
          f"operation; load average {load}")
    print(f"{'':{width}} {'median':>9} {'best':>9} {'target':>9}")

    def progress(text):
        if sys.stderr.isatty():
            print(f"\r{text:40}\r", end="", file=sys.stderr, flush=True)

    benches = FLOORS + chosen
    figures = dict(zip([b.name for b in benches],
                       measure(benches, args.runs, loop, args.budget, progress)))
    over = []
    for bench in benches:
        if bench is chosen[0]:
            print()
        median, best = figures[bench.name]
        target, note = "", ""
        if bench.target:
            target = f"{bench.target}"
            if median > bench.target:
                note = "over"
        elif bench.base:
            target = "linear"
            ratio = median / figures[bench.base][0]
            note = f"{ratio:.1f}x the time for {bench.size:g}x the input"
            if ratio > bench.size * 1.25:
                note += ", over"
        if note.endswith("over"):
            over.append(bench.name)
        print(f"{bench.name:{width}} {median:9.0f} {best:9.0f} {target:>9}  {note}".rstrip())
    with_target = [b for b in chosen if b.target or b.base]
    print(f"\n{len(over)} of the {len(with_target)} scenarios with a target over it")
    loop.close()
    asyncio.set_event_loop(None)
    return 0


if __name__ == "__main__":
    sys.exit(main())
