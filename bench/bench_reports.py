"""Timing of the two reports on a busy balancer, against a floor measured in
the same run (an empty native method call).

    PYTHONPATH=build python3.13 bench/bench_reports.py [--repeat N]

Each figure is the best of several rounds of the mean time per call.
"""

import argparse
import random
import time

import varnhold


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


def per_call(fn, calls, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter_ns() - t0) / calls)
    return best / 1000.0  # microseconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args()

    floor_lb = varnhold.LoadBalancer()
    floor = per_call(floor_lb.get_routing_mode, 200_000, args.repeat)
    print(f"floor: empty native call              {floor:9.3f} us")

    scenarios = [
        ("200 servers, 50 pools", 200, 50, 512, 40.0, 12.0),
        ("200 servers, 50 pools, no samples", 200, 50, 0, None, None),
        ("2000 servers, 500 pools", 2000, 500, 512, None, None),
    ]
    base = {}
    for name, servers, pools, samples, t_snap, t_text in scenarios:
        lb = busy_balancer(servers, pools, samples)
        calls = max(20, 20_000 // servers)
        snap = per_call(lb.snapshot, calls, args.repeat)
        text = per_call(lb.prometheus_text, calls, args.repeat)
        assert len(lb.snapshot()["pools"]) == pools
        print(f"{name}:")
        for label, value, target in (("snapshot()", snap, t_snap), ("prometheus_text()", text, t_text)):
            note = f"  (target <= {target:.0f} us)" if target else ""
            if target is None and samples and servers != 200:
                ratio = value / base[label]
                note = f"  ({ratio:.1f}x the 200-server figure for 10x the size)"
            print(f"  {label:<20}{value:9.2f} us  = {value / floor:7.0f} x floor{note}")
            if servers == 200 and samples:
                base[label] = value


if __name__ == "__main__":
    main()
