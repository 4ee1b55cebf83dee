"""Reference and memory audit: a long run of mixed operations must leave the
host's records, pool keys and bodies with the reference counts they started
with, must not grow the objects tracked by the garbage collector and must keep
memory flat once the bounded containers have filled.

The number of operations comes from VARNHOLD_AUDIT_OPS (default sized to keep
the suite short; smaller under the address sanitizer). For the full audit:

    VARNHOLD_AUDIT_OPS=200000 PYTHONPATH=build:tests python3.13 -m unittest -v test_audit
"""

import asyncio
import gc
import os
import sys
import tracemalloc
import unittest
from unittest import mock

import varnhold
from support import SANITIZED, VirtualTimeCase, patch_module, silence_logger

OPS = int(os.environ.get("VARNHOLD_AUDIT_OPS", "20000" if SANITIZED else "80000"))


class Ops:
    """Drives one balancer through every kind of operation, counting calls."""

    def __init__(self):
        self.lb = varnhold.LoadBalancer()
        self.recs = [{"id": i, "weight": float(i), "max_concurrency": 1,
                      "max_input_tokens": 100000} for i in (1, 2, 3)]
        self.pk = ("model", frozenset({7, 8}), "tier")
        self.body = {"messages": [{"role": "user", "content": [
            {"type": "text", "text": "x" * 400}, {"type": "image_url"}]}],
            "prompt": ["abc", [1, 2]], "system": "be brief"}
        self.count = 0

    async def round(self):
        lb, recs, pk, n = self.lb, self.recs, self.pk, 0
        for algo in ("weighted_round_robin", "least_connections", "sticky_session", None):
            r = await lb.select(pk, recs, algorithm=algo, sticky_key="user-1",
                                estimated_tokens=10)
            n += 1
            with varnhold.InflightLease(lb, r["id"]):
                lb.get_inflight(r["id"])
            async with varnhold.InflightLease(lb, r["id"]):
                pass
            lease = varnhold.InflightLease(lb, r["id"])
            lease.__enter__()
            lease.release()
            lease.release()
            n += 6
        await lb.select(pk, recs, force_server_id=2, sin_binned={1})
        await lb._wrr_pick(pk, recs)
        lb._least_connections_pick(recs)
        lb._sticky_lookup(recs, "user-2")
        n += 4

        # Every backend busy: park four requests, hand two over, time one
        # out and cancel one.
        mode = lb.get_routing_mode()
        lb.set_routing_mode("queue_all" if self.count % 2 else "max_concurrency")
        for r in recs:
            lb.increment(r["id"])
        tasks = [asyncio.ensure_future(lb.wait_for_slot(pk, recs, 50 * i))
                 for i in range(4)]
        await asyncio.sleep(0)
        with mock.patch.multiple(varnhold, QUEUE_TTL_SEC=0.0, QUEUE_ALL_TTL_SEC=0.0):
            late = await lb.wait_for_slot(pk, recs, 5, sin_binned={3})
        assert late[1] == "queue_timeout", late
        tasks[3].cancel()
        await asyncio.sleep(0)
        for r in recs:
            lb.decrement(r["id"])
        for t in tasks[:3]:
            srv, reason, _ = await t
            assert reason == "ok", reason
            with varnhold.InflightLease(lb, srv["id"]):
                pass
        assert tasks[3].cancelled()
        assert not lb._all_waiters and not lb._waiters, (lb._all_waiters, lb._waiters)
        lb.set_routing_mode(mode)
        n += 14

        lb.filter_by_fit(recs, varnhold.estimate_request_tokens(self.body))
        lb.effective_cap_for(recs[0], recs, pk)
        lb._under_capacity(recs[1], recs, pk)
        lb._queue_capacity_for_pool(recs)
        lb.note_reject(varnhold.RejectReason.TOO_LARGE)
        lb.snapshot()
        lb.prometheus_text()
        n += 8
        return n

    async def reaper_pass(self):
        lb = self.lb
        lb.increment(99)

        async def running():
            return [{"id": r["id"]} for r in self.recs]

        task = asyncio.ensure_future(varnhold.inflight_reaper_loop(
            lb, interval_sec=0, list_running_servers=running))
        for _ in range(4):
            await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass
        assert 99 not in lb.inflight
        return 3

    async def run(self, ops):
        done = 0
        try:
            while done < ops:
                done += await self.step()
        finally:
            # Drop every pool's state but its lock, so two runs end alike.
            with mock.patch.object(varnhold, "POOL_LRU_TTL_SEC", -1.0):
                self.lb.snapshot()
        # Let the loop drop its hold on the last awaited task.
        for _ in range(3):
            await asyncio.sleep(0)
        return done

    async def step(self):
        modes = ("superfast", "hybrid", "max_concurrency", "queue_all")
        done = 0
        self.lb.set_routing_mode(modes[(self.count // 60) % 4])
        done += await self.round()
        if self.count % 7 == 0:
            done += await self.reaper_pass()
        if self.count % 11 == 0:
            with mock.patch.object(varnhold, "POOL_LRU_TTL_SEC", -1.0):
                self.lb.snapshot()
            done += 1
        self.count += 1
        return done


def tracked_objects():
    gc.collect()
    return len(gc.get_objects())


class Audit(VirtualTimeCase):
    """On an event loop with a fake clock (parked requests never outlive their
    time-to-live on a stalled machine); the balancer keeps the real clock."""

    def setUp(self):
        patch_module(self, QUEUE_ENABLED=True)
        silence_logger(self)

    async def test_long_mixed_run_leaks_nothing(self):
        ops = Ops()
        await ops.run(3000)  # warm-up: every pool, lock, counter and bounded deque exists
        objs = [*ops.recs, ops.pk, ops.body, ops.body["messages"], ops.pk[1], ops.pk[0]]
        before = [sys.getrefcount(o) for o in objs]
        tracked = tracked_objects()
        tracemalloc.start()
        try:
            # The first half lets caches and free lists settle; memory must
            # stay flat across the second.
            done = await ops.run(OPS // 2)
            gc.collect()
            mem0 = tracemalloc.get_traced_memory()[0]
            done += await ops.run(OPS - done)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - mem0
        finally:
            tracemalloc.stop()
        self.assertEqual([sys.getrefcount(o) for o in objs], before)
        self.assertLessEqual(tracked_objects() - tracked, 50)
        print(f"audit: {done} ops, {grown} bytes, {tracked_objects() - tracked} objects", file=sys.stderr)
        self.assertLess(grown, 16 * 1024, f"{grown} bytes after {done} operations")
        # The counters kept growing all along; the state stayed bounded.
        self.assertEqual(set(ops.lb.inflight), set())
        self.assertLessEqual(len(ops.lb.queue_wait_samples), 512)


if __name__ == "__main__":
    unittest.main()
