"""Hand-over of freed slots to parked requests.

128 requests are parked on one full backend (one slot). Releasing the lease
that holds the slot wakes the first of them; its wait_for_slot returns, it
enters and leaves its own lease, which wakes the next, and so on down the
queue. The figure is the time per hand-over: from a lease exit to the return
of the woken request's wait_for_slot (its lease enter and exit included).

The floors are measured in the same run: an empty native call, an awaited
empty coroutine, and the same chain of 128 tasks handing a plain future to
each other, with and without asyncio.wait_for around the wait.

Run: PYTHONPATH=<build dir> python3.13 bench/bench_handover.py
"""

import asyncio
import statistics
import time
import timeit

import varnhold

N = 128
ROUNDS = 40
PK = ("model", frozenset({1}), "tier")


async def handover_chain(lb, record, n=N):
    async def request(tokens):
        backend, reason, _ = await lb.wait_for_slot(PK, [record], tokens)
        assert reason == "ok", reason
        with varnhold.InflightLease(lb, backend["id"]):
            pass

    holder = varnhold.InflightLease(lb, record["id"])
    holder.__enter__()
    tasks = [asyncio.create_task(request(100)) for _ in range(n)]
    while len(lb._all_waiters) < n:
        await asyncio.sleep(0)
    start = time.perf_counter()
    holder.release()
    await asyncio.gather(*tasks)
    elapsed = time.perf_counter() - start
    assert not lb._all_waiters and not lb.inflight
    return elapsed / n


async def future_chain(with_wait_for, n=N):
    """The event loop's part alone: each task waits on its future and then
    resolves the next one."""
    loop = asyncio.get_running_loop()
    futures = [loop.create_future() for _ in range(n + 1)]

    async def link(i):
        if with_wait_for:
            await asyncio.wait_for(futures[i], timeout=30.0)
        else:
            await futures[i]
        futures[i + 1].set_result(None)

    tasks = [asyncio.create_task(link(i)) for i in range(n)]
    await asyncio.sleep(0)
    start = time.perf_counter()
    futures[0].set_result(None)
    await asyncio.gather(*tasks)
    return (time.perf_counter() - start) / n


async def awaited_empty_coroutine():
    async def empty():
        return None

    async def loop_of(k):
        start = time.perf_counter()
        for _ in range(k):
            await empty()
        return (time.perf_counter() - start) / k

    return min([await loop_of(20000) for _ in range(5)])


def best(samples):
    return min(samples), statistics.median(samples)


async def main():
    varnhold.QUEUE_ENABLED = True
    varnhold.QUEUE_MAX_DEPTH_MULTIPLIER = 1000
    lb = varnhold.LoadBalancer()
    native = min(timeit.repeat(lb.get_routing_mode, number=200000, repeat=5)) / 200000
    coroutine = await awaited_empty_coroutine()
    plain_chain = best([await future_chain(False) for _ in range(ROUNDS)])
    timed_chain = best([await future_chain(True) for _ in range(ROUNDS)])
    print(f"floor: empty native call         {native * 1e9:8.0f} ns")
    print(f"floor: awaited empty coroutine   {coroutine * 1e9:8.0f} ns")
    print(f"floor: future chain              {plain_chain[0] * 1e6:8.2f} us  (median "
          f"{plain_chain[1] * 1e6:.2f})")
    print(f"floor: future chain + wait_for   {timed_chain[0] * 1e6:8.2f} us  (median "
          f"{timed_chain[1] * 1e6:.2f})")
    for mode in ("superfast", "queue_all"):
        lb = varnhold.LoadBalancer()
        lb.set_routing_mode(mode)
        record = {"id": 1, "weight": 1, "max_concurrency": 1}
        await handover_chain(lb, record)  # warm-up
        figures = best([await handover_chain(lb, record) for _ in range(ROUNDS)])
        print(f"hand-over, {N} parked, {mode:<10} {figures[0] * 1e6:6.2f} us  (median "
              f"{figures[1] * 1e6:.2f})")


if __name__ == "__main__":
    asyncio.run(main())
