"""Benchmark harness: median nanoseconds per operation of the module's hot paths.

Run from the repository root after a build:

    PYTHONPATH=build "$(pyenv prefix 3.13.0)/bin/python3.13" bench/bench.py [-k TEXT] [--runs N]

Every figure is the median over several runs (each a loop of many operations
timed as a whole), printed beside floors measured in the same process: an
empty native method call, an awaited native coroutine that does next to
nothing, and `async with` on an asyncio.Lock. A scenario is a function
registered with @scenario; it receives a fresh Env and returns a function
`run(n)` (plain or async) that performs the operation n times.
"""

import argparse
import asyncio
import gc
import statistics
import sys
import time

import varnhold

# CPU time of this process by default: on a shared virtual machine it leaves
# out time when the machine was not running us, which wall time counts.
CLOCK = time.process_time_ns

FLOORS = []
SCENARIOS = []


def floor(name):
    def register(fn):
        FLOORS.append((name, fn, None))
        return fn
    return register


def scenario(name, target_ns=None):
    def register(fn):
        SCENARIOS.append((name, fn, target_ns))
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


@floor("floor: await lb.select(key, [])  (awaited native coroutine, no work)")
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


@floor("floor: hand-over between two tasks through asyncio.wait_for")
def floor_task_handover(env):
    """What any parked request pays: its task waits in asyncio.wait_for on a
    future that another task resolves, then resolves the next one."""
    async def chain(n):
        loop = asyncio.get_running_loop()
        futures = [loop.create_future() for _ in range(n + 1)]

        async def link(i):
            await asyncio.wait_for(futures[i], timeout=30.0)
            futures[i + 1].set_result(None)

        tasks = [asyncio.create_task(link(i)) for i in range(n)]
        await asyncio.sleep(0)
        start = CLOCK()
        futures[0].set_result(None)
        await asyncio.gather(*tasks)
        return CLOCK() - start

    return chains(chain)


# ---- scenarios ----

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


PARKED = 128


def chains(chain):
    """A run(n) made of chains of PARKED hand-overs; only the hand-overs are
    timed (the run returns their nanoseconds, scaled to n operations)."""
    async def run(n):
        rounds = -(-n // PARKED)
        spent = 0
        for _ in range(rounds):
            spent += await chain(PARKED)
        return spent * n // (rounds * PARKED)
    return run


def handover(mode):
    """PARKED requests wait on one full backend; a lease exit wakes the first,
    its wait_for_slot returns, and its own lease's exit wakes the next. One
    operation: from a lease exit to the return of the woken wait_for_slot
    (its lease entry and exit included)."""
    def build(env):
        lb = env.lb
        lb.set_routing_mode(mode)
        backend = {"id": 1, "weight": 1, "max_concurrency": 1}
        lease = varnhold.InflightLease

        async def request():
            server, reason, _ = await lb.wait_for_slot(env.key, [backend], 100)
            assert reason == "ok", reason
            with lease(lb, server["id"]):
                pass

        async def chain(n):
            holder = lease(lb, backend["id"])
            holder.__enter__()
            tasks = [asyncio.create_task(request()) for _ in range(n)]
            while len(lb._all_waiters) < n:
                await asyncio.sleep(0)
            start = CLOCK()
            holder.release()
            await asyncio.gather(*tasks)
            return CLOCK() - start

        async def run(n):
            # The queue settings of the other modes, for this run only.
            saved = varnhold.QUEUE_ENABLED, varnhold.QUEUE_MAX_DEPTH_MULTIPLIER
            varnhold.QUEUE_ENABLED, varnhold.QUEUE_MAX_DEPTH_MULTIPLIER = True, 1000
            try:
                return await chains(chain)(n)
            finally:
                varnhold.QUEUE_ENABLED, varnhold.QUEUE_MAX_DEPTH_MULTIPLIER = saved
        return run
    return build


for _mode in ("superfast", "queue_all"):
    scenario(f"queue: hand-over, {PARKED} parked on a full backend, {_mode}", 4000)(
        handover(_mode))


# ---- the harness ----

def timed(run, n, loop):
    gc.collect()
    start = CLOCK()
    if asyncio.iscoroutinefunction(run):
        spent = loop.run_until_complete(run(n))
    else:
        spent = run(n)
    elapsed = CLOCK() - start
    # A run with untimed setup times its own part and returns the nanoseconds.
    return (elapsed if spent is None else spent) / n


def measure(build, runs, loop, budget_s=0.05):
    run = build(Env())
    n = 64
    while True:  # calibrate: one run takes about budget_s
        per_op = timed(run, n, loop)
        if per_op * n >= budget_s * 1e9 / 4 or n >= 1 << 22:
            break
        n *= 4
    n = max(64, int(budget_s * 1e9 / max(per_op, 1.0)))
    samples = [timed(run, n, loop) for _ in range(runs)]
    return statistics.median(samples), min(samples)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-k", default="", help="only scenarios whose name contains this text")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--wall", action="store_true", help="time with the wall clock")
    args = parser.parse_args(argv)
    global CLOCK
    if args.wall:
        CLOCK = time.perf_counter_ns
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    clock = "wall" if args.wall else "CPU"
    print(f"python {sys.version.split()[0]}, {args.runs} runs each; ns of {clock} time per operation")
    print(f"{'':64} {'median':>8} {'min':>8} {'target':>8}")
    for name, build, target in FLOORS + [s for s in SCENARIOS if args.k in s[0]]:
        median, best = measure(build, args.runs, loop)
        mark = ""
        if target:
            mark = f"{target:>8}" + ("" if median <= target else "  over")
        print(f"{name:64} {median:8.0f} {best:8.0f} {mark}")
    loop.close()


if __name__ == "__main__":
    main()
