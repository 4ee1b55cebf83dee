"""A small host: creates one balancer, runs a few leases, prints the counters."""
import asyncio

import varnhold


async def main() -> None:
    lb = varnhold.LoadBalancer()
    lb.set_routing_mode("max_concurrency")
    for server_id in (1, 2, 1, 3):
        async with varnhold.InflightLease(lb, server_id):
            print("in flight:", dict(lb.inflight))
    lb.note_reject(varnhold.RejectReason.AT_CAPACITY)
    print("in flight after:", lb.inflight)
    print("rejections:", lb.reject_counts)


if __name__ == "__main__":
    asyncio.run(main())
