"""An example host: a small asyncio proxy that routes requests with varnhold.

It starts a few backend servers on 127.0.0.1, a proxy front in front of them,
and a client that sends a burst of mixed requests through the proxy. For each
request the proxy does what the product's proxy does: estimates the input
tokens, narrows the candidates by token fit, selects a backend (parking the
request when the queue is on), and forwards it inside an in-flight lease.

    python3.13 examples/host.py [--mode hybrid] [--algorithm least_connections]
                                [--requests 200] [--concurrency 32] [--serve]
"""
from __future__ import annotations

import argparse
import asyncio
import json
import random
import sys
import time

import varnhold

HOST = "127.0.0.1"
FORWARD_TIMEOUT = 10.0

# Backends: id, weight, max_concurrency, max_input_tokens, seconds per kB.
BACKENDS = [
    {"id": 1, "weight": 3, "max_concurrency": 4, "max_input_tokens": 4096, "latency": 0.004},
    {"id": 2, "weight": 1, "max_concurrency": 2, "max_input_tokens": 16384, "latency": 0.008},
    {"id": 3, "weight": 2, "max_concurrency": 8, "max_input_tokens": 32768, "latency": 0.006},
]
MODEL = "demo-model"
CLUSTERS = frozenset({7, 3})
TIER = "standard"


# ---- a minimal HTTP/1.1 layer -------------------------------------------------

async def read_request(reader):
    line = await reader.readline()
    if not line:
        return None
    method, path, _ = line.decode("latin-1").split(" ", 2)
    headers = {}
    while True:
        h = await reader.readline()
        if h in (b"\r\n", b"\n", b""):
            break
        name, _, value = h.decode("latin-1").partition(":")
        headers[name.strip().lower()] = value.strip()
    body = await reader.readexactly(int(headers.get("content-length", "0")))
    return method, path, headers, body


def response(status, body=b"", content_type="application/json", extra=()):
    reason = {200: "OK", 400: "Bad Request", 404: "Not Found", 413: "Payload Too Large",
              502: "Bad Gateway", 503: "Service Unavailable"}[status]
    head = [f"HTTP/1.1 {status} {reason}", f"Content-Type: {content_type}",
            f"Content-Length: {len(body)}", *extra, "", ""]
    return "\r\n".join(head).encode("latin-1") + body


def json_response(status, obj, extra=()):
    return response(status, json.dumps(obj).encode(), extra=extra)


# ---- backends ------------------------------------------------------------------

async def start_backend(conf, served):
    async def handle(reader, writer):
        try:
            while (req := await read_request(reader)) is not None:
                _, path, _, body = req
                await asyncio.sleep(conf["latency"] * (1 + len(body) / 1024))
                served[conf["id"]] = served.get(conf["id"], 0) + 1
                payload = {"backend": conf["id"], "path": path, "bytes": len(body)}
                if json.loads(body).get("stream"):
                    # A streamed answer: chunked, a few events.
                    writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                                 b"Transfer-Encoding: chunked\r\n\r\n")
                    for i in range(3):
                        chunk = f"data: {json.dumps({**payload, 'chunk': i})}\n\n".encode()
                        writer.write(f"{len(chunk):x}\r\n".encode() + chunk + b"\r\n")
                        await writer.drain()
                        await asyncio.sleep(conf["latency"])
                    writer.write(b"0\r\n\r\n")
                else:
                    writer.write(json_response(200, payload))
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()

    server = await asyncio.start_server(handle, HOST, 0)
    return server, server.sockets[0].getsockname()[1]


# ---- the proxy -----------------------------------------------------------------

class Proxy:
    def __init__(self, lb, backends, algorithm):
        self.lb = lb
        self.backends = backends  # id -> {"record": ..., "port": ..., "server": ...}
        self.algorithm = algorithm
        self.queued = 0

    def candidates(self):
        return [b["record"] for b in self.backends.values() if b["server"].is_serving()]

    async def running_servers(self):
        return [{"id": i} for i, b in self.backends.items() if b["server"].is_serving()]

    async def handle(self, reader, writer):
        try:
            while (req := await read_request(reader)) is not None:
                method, path, headers, body = req
                if method == "GET" and path == "/metrics":
                    writer.write(response(200, self.lb.prometheus_text().encode(),
                                          "text/plain; version=0.0.4"))
                elif method == "POST" and path in ("/v1/chat/completions", "/v1/completions",
                                                   "/v1/embeddings"):
                    await self.route(path, body, writer)
                else:
                    writer.write(json_response(404, {"error": "not found"}))
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()

    async def route(self, path, raw, writer):
        lb = self.lb
        try:
            body = json.loads(raw)
        except ValueError:
            writer.write(json_response(400, {"error": "body is not JSON"}))
            return
        tokens = varnhold.estimate_request_tokens(body)
        candidates = lb.filter_by_fit(self.candidates(), tokens)
        if not candidates:
            lb.note_reject(varnhold.RejectReason.TOO_LARGE)
            writer.write(json_response(413, {"error": "request too large", "tokens": tokens}))
            return
        pool_key = (body.get("model", MODEL), CLUSTERS, TIER)
        server = await lb.select(pool_key, candidates, estimated_tokens=tokens,
                                 algorithm=self.algorithm, sticky_key=body.get("user"))
        if server is None:
            if not lb.queue_enabled():
                lb.note_reject(varnhold.RejectReason.AT_CAPACITY)
                writer.write(json_response(503, {"error": "at capacity"},
                                           extra=("Retry-After: 1",)))
                return
            self.queued += 1
            server, reason, _ = await lb.wait_for_slot(pool_key, candidates, tokens)
            if server is None:
                writer.write(json_response(503, {"error": reason}, extra=("Retry-After: 1",)))
                return
        lease = varnhold.InflightLease(lb, server["id"])
        with lease:
            await self.forward(self.backends[server["id"]]["port"], path, raw, writer, lease)

    async def forward(self, port, path, raw, writer, lease):
        try:
            r, w = await asyncio.wait_for(asyncio.open_connection(HOST, port), FORWARD_TIMEOUT)
        except (OSError, asyncio.TimeoutError):
            writer.write(json_response(502, {"error": "backend unreachable"}))
            return
        try:
            w.write(f"POST {path} HTTP/1.1\r\nHost: backend\r\nContent-Type: application/json\r\n"
                    f"Content-Length: {len(raw)}\r\n\r\n".encode() + raw)
            status = await asyncio.wait_for(r.readline(), FORWARD_TIMEOUT)
            head = [status]
            while (h := await asyncio.wait_for(r.readline(), FORWARD_TIMEOUT)) not in (b"\r\n", b""):
                head.append(h)
            headers = b"".join(head)
            if b"chunked" in headers:
                # Relay the stream; the slot is given back when the stream ends.
                writer.write(headers + b"\r\n")
                while True:
                    size_line = await asyncio.wait_for(r.readline(), FORWARD_TIMEOUT)
                    chunk = await r.readexactly(int(size_line, 16) + 2)
                    writer.write(size_line + chunk)
                    await writer.drain()
                    if size_line.strip() == b"0":
                        break
                lease.release()
            else:
                length = int(headers.lower().split(b"content-length:")[1].split(b"\r\n")[0])
                writer.write(headers + b"\r\n" + await r.readexactly(length))
        except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError, ValueError):
            writer.write(json_response(502, {"error": "backend failed"}))
        finally:
            w.close()


# ---- the client ----------------------------------------------------------------

def make_request(rng):
    kind = rng.random()
    if kind < 0.05:
        return "/v1/chat/completions", b"{not json"
    if kind < 0.10:
        return "/v1/completions", json.dumps({"prompt": "x" * 200000}).encode()  # too large
    if kind < 0.45:
        messages = [{"role": "user", "content": "hello " * rng.randint(5, 400)}]
        if rng.random() < 0.2:
            messages.append({"role": "user", "content": [
                {"type": "text", "text": "what is this?"},
                {"type": "image_url", "image_url": {"url": "data:,"}}]})
        body = {"model": MODEL, "messages": messages, "stream": rng.random() < 0.3,
                "user": f"user-{rng.randint(1, 20)}"}
        return "/v1/chat/completions", json.dumps(body).encode()
    if kind < 0.75:
        return "/v1/completions", json.dumps({"model": MODEL, "prompt": "abc " * rng.randint(
            10, 3000)}).encode()
    return "/v1/embeddings", json.dumps({"model": MODEL, "input": [
        rng.randint(0, 50000) for _ in range(rng.randint(8, 512))]}).encode()


async def http(port, method, path, body=b""):
    r, w = await asyncio.open_connection(HOST, port)
    try:
        w.write(f"{method} {path} HTTP/1.1\r\nHost: proxy\r\nContent-Length: {len(body)}\r\n\r\n"
                .encode() + body)
        status = int((await r.readline()).split()[1])
        headers = {}
        while (h := await r.readline()) not in (b"\r\n", b""):
            k, _, v = h.decode().partition(":")
            headers[k.strip().lower()] = v.strip()
        if headers.get("transfer-encoding") == "chunked":
            data = b""
            while (size := int(await r.readline(), 16)):
                data += (await r.readexactly(size + 2))[:-2]
            await r.readline()
        else:
            data = await r.readexactly(int(headers["content-length"]))
        return status, data
    finally:
        w.close()


async def client(port, n, concurrency, seed):
    rng = random.Random(seed)
    statuses = {}
    sem = asyncio.Semaphore(concurrency)

    async def one():
        path, body = make_request(rng)
        async with sem:
            status, _ = await http(port, "POST", path, body)
        statuses[status] = statuses.get(status, 0) + 1

    await asyncio.gather(*(one() for _ in range(n)))
    return statuses


# ---- main ----------------------------------------------------------------------

async def main(args):
    lb = varnhold.LoadBalancer()
    lb.set_routing_mode(args.mode)
    if args.queue:
        varnhold.QUEUE_ENABLED = True
    served = {}
    backends = {}
    for conf in BACKENDS:
        server, port = await start_backend(conf, served)
        record = {k: conf[k] for k in ("id", "weight", "max_concurrency", "max_input_tokens")}
        backends[conf["id"]] = {"record": record, "port": port, "server": server}
    proxy = Proxy(lb, backends, args.algorithm)
    front = await asyncio.start_server(proxy.handle, HOST, args.port)
    port = front.sockets[0].getsockname()[1]
    reaper = asyncio.create_task(varnhold.inflight_reaper_loop(
        lb, interval_sec=1.0, list_running_servers=proxy.running_servers))
    try:
        if args.serve:
            print(f"proxy listening on http://{HOST}:{port} (Ctrl-C to stop)", flush=True)
            await asyncio.Event().wait()
        started = time.monotonic()
        statuses = await client(port, args.requests, args.concurrency, args.seed)
        elapsed = time.monotonic() - started
        _, metrics = await http(port, "GET", "/metrics")
    finally:
        reaper.cancel()
        front.close()
        for b in backends.values():
            b["server"].close()
    snap = lb.snapshot()
    summary = {
        "requests": args.requests,
        "answered": sum(statuses.values()),
        "statuses": statuses,
        "served_per_backend": dict(sorted(served.items())),
        "queued": proxy.queued,
        "rejected": snap["reject_counts"],
        "wait_p50_sec": snap["queue_wait_p50_sec"],
        "wait_p95_sec": snap["queue_wait_p95_sec"],
        "seconds": round(elapsed, 3),
    }
    print("== summary ==")
    for k, v in summary.items():
        print(f"{k}: {v}")
    print("== snapshot ==")
    print(json.dumps(snap, indent=2, default=str))
    print("== metrics ==")
    print(metrics.decode(), end="")
    if args.summary_json:
        with open(args.summary_json, "w") as f:
            json.dump({**summary, "statuses": {str(k): v for k, v in statuses.items()},
                       "served_per_backend": {str(k): v for k, v in served.items()},
                       "metrics": metrics.decode()}, f)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--mode", default="hybrid", help="routing mode")
    p.add_argument("--algorithm", default="weighted_round_robin", help="pick algorithm")
    p.add_argument("--requests", type=int, default=300)
    p.add_argument("--concurrency", type=int, default=32)
    p.add_argument("--no-queue", dest="queue", action="store_false",
                   help="answer 503 at once instead of parking requests")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--port", type=int, default=0, help="proxy port (0: any free port)")
    p.add_argument("--serve", action="store_true", help="keep the proxy running for a client")
    p.add_argument("--summary-json", help="also write the summary and metrics text here")
    return p.parse_args(argv)


if __name__ == "__main__":
    try:
        asyncio.run(main(parse_args(sys.argv[1:])))
    except KeyboardInterrupt:
        pass
