"""Randomized stress: seeded random sequences of host operations on one event
loop (requests that select, park, hold a lease and leave; cancellations;
time-outs; mode changes; reports), with the invariants of the state checked
after every step.

The loop runs on a fake clock that moves a fixed step at each turn and jumps to
the next timer when nothing is ready to run; on even seeds the balancer reads
that clock too, and the seed plays out the same on every machine, however
loaded. CI runs the first SEEDS seeds (fewer under the address sanitizer). A
longer soak, or one seed again:

    VARNHOLD_STRESS_SEEDS=5000 PYTHONPATH=build:tests python3.13 -m unittest -v test_stress
    VARNHOLD_STRESS_SEED=1234 PYTHONPATH=build:tests python3.13 -m unittest -v test_stress
"""

import asyncio
import collections
import os
import random
import sys
import unittest

import varnhold
from support import SANITIZED, VirtualTimeCase, patch_module, silence_logger

SEEDS = int(os.environ.get("VARNHOLD_STRESS_SEEDS", "20" if SANITIZED else "60"))
SEED = os.environ.get("VARNHOLD_STRESS_SEED")
STEPS = 300
MODES = ("superfast", "hybrid", "max_concurrency", "queue_all")
ALGOS = ("weighted_round_robin", "least_connections", "sticky_session", None)
ENDINGS = ("served", "cancelled", "queue_timeout", "no_backends")
FINAL = {"served", "cancelled", "queue_timeout", "queue_full", "no_backends",
         "queue_disabled", "rejected"}


class Run:
    def __init__(self, case, seed):
        self.case, self.rng = case, random.Random(seed)
        self.lb = varnhold.LoadBalancer()
        rng = self.rng
        self.recs = [{"id": i, "weight": rng.choice([0, 1, 2.5, None, 1]),
                      "max_concurrency": rng.choice([1, 1, 2, 3, 0])}
                     for i in range(1, 6)]
        self.pools = [("m", frozenset({1}), "t"), ("m", frozenset({2}), "t")]
        self.tasks = {}                          # request number -> task
        self.outcome = {}                        # request number -> how it ended
        self.active = collections.Counter()      # server id -> leases held
        self.handed = collections.Counter()      # server id -> backends handed out
        self.seen = {}                           # request number -> its waiter
        self.received = set()                    # requests that got a backend
        self.next = 0

    async def request(self, i, cands, sin, algo, pk, hold):
        lb, got_lease = self.lb, False
        try:
            r = await lb.select(pk, cands, algorithm=algo, sin_binned=sin,
                                sticky_key=str(i % 3))
            if r is None:
                if not lb.queue_enabled():
                    self.outcome[i] = "rejected"
                    return
                r, reason, waited = await lb.wait_for_slot(pk, cands, i, sin_binned=sin)
                self.case.assertIsInstance(waited, float)
                if r is None:
                    self.outcome[i] = reason
                    return
            self.case.assertIn(r, cands)
            self.handed[r["id"]] += 1
            self.received.add(i)
            lease = varnhold.InflightLease(lb, r["id"])
            async with lease:
                self.active[r["id"]] += 1
                got_lease = True
                try:
                    for _ in range(hold):
                        await asyncio.sleep(0)
                finally:
                    self.active[r["id"]] -= 1
            self.outcome[i] = "served"
        except asyncio.CancelledError:
            self.outcome[i] = "cancelled"
            raise
        finally:
            self.case.assertTrue(not got_lease or lease._released)

    def spawn(self):
        rng, i = self.rng, self.next
        self.next += 1
        cands = rng.sample(self.recs, rng.randint(0, len(self.recs)))
        sin = set(rng.sample(range(1, 6), rng.choice([0, 0, 1, 2]))) or rng.choice([None, set()])
        args = (cands, sin, rng.choice(ALGOS), rng.choice(self.pools), rng.randint(0, 15))
        self.tasks[i] = asyncio.ensure_future(self.request(i, *args))

    def check(self):
        lb = self.lb
        pending = [w for w in lb._all_waiters if not w.future.done()]
        for w in lb._all_waiters:
            self.seen.setdefault(w.estimated_tokens, w)
        for w in pending:
            self.case.assertEqual(sum(x is w for x in lb._all_waiters), 1)
            for c in w.candidates:
                self.case.assertEqual(sum(x is w for x in lb._waiters.get(c["id"], ())), 1)
        for sid, q in lb._waiters.items():
            self.case.assertTrue(q, f"empty deque kept for server {sid}")
            for w in q:
                self.case.assertTrue(any(x is w for x in lb._all_waiters))
                self.case.assertIn(sid, [c["id"] for c in w.candidates])
        expected = {sid: n for sid, n in self.active.items() if n}
        self.case.assertEqual(lb.inflight, expected)
        # Every booked dispatch is a backend someone received or a hand-over
        # whose request has not resumed yet or lost the race to its time-out
        # or cancellation (the booking stays, the request never saw it).
        booked = collections.Counter(lb.dispatch_counts)
        self.case.assertLessEqual(self.handed, booked)
        self.case.assertLessEqual(booked, self.handed + self.unseen_handovers())

    def unseen_handovers(self):
        return collections.Counter(
            w.future.result()["id"] for i, w in self.seen.items()
            if w.future.done() and not w.future.cancelled()
            and i not in self.received)

    async def go(self):
        rng, lb = self.rng, self.lb
        for _ in range(STEPS):
            roll = rng.random()
            if roll < 0.35:
                self.spawn()
            elif roll < 0.45 and self.tasks:
                self.tasks[rng.choice(list(self.tasks))].cancel()
            elif roll < 0.50:
                await asyncio.sleep(rng.choice([0.001, 0.003]))
            elif roll < 0.53:
                lb.set_routing_mode(rng.choice(MODES))
            elif roll < 0.55:
                lb.snapshot()
                lb.prometheus_text()
            await asyncio.sleep(0)
            self.check()
        # Drain: everything still running ends by itself (leases are short,
        # waits time out).
        results = await asyncio.gather(*self.tasks.values(), return_exceptions=True)
        for r in results:
            if not isinstance(r, asyncio.CancelledError):
                self.case.assertIsNone(r)
        self.check()
        self.case.assertEqual(set(self.outcome), set(self.tasks))
        self.case.assertLessEqual(set(self.outcome.values()), FINAL)
        self.case.assertEqual((lb.inflight, lb._waiters, lb._all_waiters), ({}, {}, []))
        self.case.assertEqual(collections.Counter(lb.dispatch_counts),
                              self.handed + self.unseen_handovers())
        return collections.Counter(self.outcome.values())


class Stress(VirtualTimeCase):
    TURN = 0.0005  # a busy host: leases held for some turns outlast a wait's time-to-live

    async def test_random_sequences_keep_the_invariants(self):
        # Even seeds: the balancer reads the loop's clock, and the seed plays
        # out the same everywhere. Odd seeds: it reads the real clock, as a
        # host's does (the fast road); only the invariants are asked of them.
        patch_module(self, "time", QUEUE_ENABLED=True, QUEUE_TTL_SEC=0.004,
                     QUEUE_ALL_TTL_SEC=0.004, QUEUE_DEADLINE_BOOST_SEC=0.002,
                     SUPERFAST_PER_SERVER_CAP=2)
        clocks = (self.clock, varnhold.time)
        totals = (collections.Counter(), collections.Counter())
        seeds = range(SEEDS) if SEED is None else [int(SEED)]
        silence_logger(self)
        for seed in seeds:
            varnhold.time = clocks[seed % 2]
            with self.subTest(seed=seed):
                totals[seed % 2].update(await Run(self, seed).go())
        print(f"stress: {len(seeds)} seeds, on the loop's clock {dict(totals[0])}, "
              f"on the real clock {dict(totals[1])}", file=sys.stderr)
        # The run must have exercised every ending, not only the easy ones.
        for ending in ENDINGS if SEED is None else ():
            self.assertGreater(totals[0][ending], 0, totals[0])


if __name__ == "__main__":
    unittest.main()
