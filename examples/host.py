"""An example host: a small asyncio proxy that routes requests with varnhold.

It starts a few backend servers on 127.0.0.1 and a proxy in front of them, then
sends a burst of mixed requests through the proxy (or, with --serve, waits for
clients such as curl or wrk). For each request the proxy does what the
product's proxy does: estimates the input tokens, narrows the candidates by
token fit, selects a backend (parking the request when the queue is on), and
forwards it inside an in-flight lease. A backend that cannot be reached is
sin-binned for a few seconds and the request goes to another one.

Every request gets an answer: a JSON error for a malformed one (400), one too
large (413), one too slow to arrive (408), one that no backend can take (503).

    python3.13 examples/host.py [--mode hybrid] [--algorithm least_connections]
                                [--requests 300] [--concurrency 32] [--no-queue]
                                [--serve] [--port 8080] [--down 2]
"""
from __future__ import annotations

import argparse
import asyncio
import json
import logging
import random
import re
import signal
import sys
import time

import varnhold

HOST = "127.0.0.1"
CONNECT_TIMEOUT = 3.0   # seconds to reach a backend before it counts as unreachable
FORWARD_TIMEOUT = 10.0  # seconds between two reads of a backend's answer
LINGER_SEC = 1.0        # how long a closing connection still drains what the client sends
MAX_HEADERS = 100

# Backends: id, weight, max_concurrency, max_input_tokens, seconds per kB.
BACKENDS = [
    {"id": 1, "weight": 3, "max_concurrency": 4, "max_input_tokens": 4096, "latency": 0.004},
    {"id": 2, "weight": 1, "max_concurrency": 2, "max_input_tokens": 16384, "latency": 0.008},
    {"id": 3, "weight": 2, "max_concurrency": 8, "max_input_tokens": 32768, "latency": 0.006},
]
MODEL = "demo-model"
CLUSTERS = frozenset({7, 3})
TIER = "standard"
ROUTES = ("/v1/chat/completions", "/v1/completions", "/v1/embeddings")

log = logging.getLogger("host")


# ---- a minimal HTTP/1.1 layer -------------------------------------------------

REASONS = {100: "Continue", 200: "OK", 400: "Bad Request", 404: "Not Found",
           405: "Method Not Allowed", 408: "Request Timeout", 413: "Content Too Large",
           417: "Expectation Failed", 500: "Internal Server Error", 501: "Not Implemented",
           502: "Bad Gateway", 503: "Service Unavailable"}
TOKEN = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+")
DIGITS = re.compile(r"[0-9]+")
VERSIONS = ("HTTP/1.0", "HTTP/1.1")


class HTTPError(Exception):
    """A request that is answered with an error. With close, the connection
    cannot carry another request (the framing is lost) and is closed."""

    def __init__(self, status, message, close=False):
        super().__init__(message)
        self.status, self.message, self.close = status, message, close


class Request:
    def __init__(self, method, path, headers, keep_alive):
        self.method, self.path, self.headers, self.keep_alive = method, path, headers, keep_alive
        self.body = b""


async def within(awaitable, seconds, what):
    try:
        return await asyncio.wait_for(awaitable, seconds)
    except TimeoutError:
        raise HTTPError(408, f"timed out reading the {what}", close=True) from None


async def read_line(reader, timeout, what):
    try:
        line = await within(reader.readline(), timeout, what)
    except ValueError:  # longer than the reader's limit
        raise HTTPError(400, f"{what} too long", close=True) from None
    if not line.endswith(b"\n"):
        raise HTTPError(400, f"connection closed within the {what}", close=True)
    return line.decode("latin-1").rstrip("\r\n")


async def read_request(reader, writer, timeout, max_body):
    """The next request on the connection, or None when the client closed it
    (or kept it idle for longer than the time-out) between requests."""
    try:
        first = await asyncio.wait_for(reader.readexactly(1), timeout)
    except (asyncio.IncompleteReadError, TimeoutError):
        return None
    line = first.decode("latin-1") + await read_line(reader, timeout, "request line")
    parts = line.split(" ")
    if len(parts) != 3 or not TOKEN.fullmatch(parts[0]) or parts[2] not in VERSIONS:
        raise HTTPError(400, "malformed request line", close=True)
    method, path, version = parts
    headers = {}
    for _ in range(MAX_HEADERS + 1):
        h = await read_line(reader, timeout, "request head")
        if not h:
            break
        name, colon, value = h.partition(":")
        if not colon or not TOKEN.fullmatch(name):
            raise HTTPError(400, "malformed header line", close=True)
        name, value = name.lower(), value.strip()
        if name not in headers:
            headers[name] = value
        elif name == "content-length":
            if headers[name] != value:
                raise HTTPError(400, "conflicting Content-Length headers", close=True)
        else:
            headers[name] += ", " + value
    else:
        raise HTTPError(400, f"more than {MAX_HEADERS} header lines", close=True)

    connection = {t.strip().lower() for t in headers.get("connection", "").split(",")}
    keep_alive = "close" not in connection and (version != "HTTP/1.0" or "keep-alive" in connection)
    req = Request(method, path, headers, keep_alive)
    if "transfer-encoding" in headers:
        raise HTTPError(501, "request bodies need a Content-Length", close=True)
    length = headers.get("content-length", "0")
    if not DIGITS.fullmatch(length):
        raise HTTPError(400, "Content-Length is not a number", close=True)
    length = int(length)
    if length > max_body:
        raise HTTPError(413, f"body larger than {max_body} bytes", close=True)
    expect = headers.get("expect", "").lower()
    if expect and expect != "100-continue":
        raise HTTPError(417, "only Expect: 100-continue is understood", close=True)
    if expect and length:
        writer.write(b"HTTP/1.1 100 Continue\r\n\r\n")
    try:
        req.body = await within(reader.readexactly(length), timeout, "body")
    except asyncio.IncompleteReadError:
        raise HTTPError(400, "connection closed within the body", close=True) from None
    return req


def response(status, body=b"", content_type="application/json", extra=(), close=False):
    head = [f"HTTP/1.1 {status} {REASONS[status]}", f"Content-Type: {content_type}",
            f"Content-Length: {len(body)}", *extra, *(["Connection: close"] if close else []),
            "", ""]
    return "\r\n".join(head).encode("latin-1") + body


def json_response(status, obj, extra=(), close=False):
    return response(status, json.dumps(obj).encode(), extra=extra, close=close)


async def drain(writer, timeout):
    try:
        await asyncio.wait_for(writer.drain(), timeout)
    except TimeoutError:
        raise ConnectionAbortedError("the client stopped reading") from None


async def linger_close(reader, writer):
    """Closes a connection whose client may still be sending: the write side
    first, then what arrives is read and dropped for a moment, so that the
    client reads the answer rather than a reset."""
    try:
        if writer.can_write_eof():
            writer.write_eof()
        async with asyncio.timeout(LINGER_SEC):
            while await reader.read(65536):
                pass
    except (OSError, TimeoutError):
        pass


# ---- backends ------------------------------------------------------------------

async def start_backend(conf, served):
    async def handle(reader, writer):
        try:
            while (req := await read_request(reader, writer, FORWARD_TIMEOUT, 1 << 30)):
                body = req.body
                await asyncio.sleep(conf["latency"] * (1 + len(body) / 1024))
                served[conf["id"]] = served.get(conf["id"], 0) + 1
                payload = {"backend": conf["id"], "path": req.path, "bytes": len(body)}
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
        except (ConnectionError, HTTPError):
            pass
        finally:
            writer.close()

    server = await asyncio.start_server(handle, HOST, 0)
    return server, server.sockets[0].getsockname()[1]


# ---- the sin-bin ---------------------------------------------------------------

class SinBin:
    """Backends whose forward failed to connect, left out of selection (the
    balancer's sin_binned) for `seconds`. Then one request probes the backend:
    the others still leave it out until that request connects (the backend is
    back) or fails (it is binned again)."""

    def __init__(self, seconds, clock=time.monotonic):
        self.seconds, self.clock = seconds, clock
        self.until = {}       # server id -> when its time in the bin ends
        self.probing = set()  # ids out of the bin that one request is trying
        self.failures = {}    # server id -> forwards that could not connect

    def ids(self):
        now = self.clock()
        return {i for i, end in self.until.items() if now < end} | self.probing

    def claim(self, server_id):
        """Whether a request handed this backend may forward to it now."""
        if server_id in self.probing:
            return False
        end = self.until.get(server_id)
        if end is None:
            return True
        if self.clock() < end:
            return False
        del self.until[server_id]
        self.probing.add(server_id)
        return True

    def connected(self, server_id):
        self.probing.discard(server_id)

    def failed(self, server_id):
        self.probing.discard(server_id)
        self.until[server_id] = self.clock() + self.seconds
        self.failures[server_id] = self.failures.get(server_id, 0) + 1

    def abandoned(self, server_id):
        """A probe that ended without a verdict: the next request probes again."""
        if server_id in self.probing:
            self.probing.discard(server_id)
            self.until[server_id] = self.clock()


# ---- the proxy -----------------------------------------------------------------

class Proxy:
    def __init__(self, lb, backends, args):
        self.lb = lb
        self.backends = backends  # id -> {"record": ..., "port": ..., "server": ...}
        self.records = [b["record"] for b in backends.values()]
        self.algorithm = args.algorithm
        self.read_timeout = args.read_timeout
        self.max_body = args.max_body_bytes
        self.sin_bin = SinBin(args.sin_bin_sec)
        self.queued = 0
        self.handlers = set()  # the tasks serving connections, cancelled at the stop

    async def running_servers(self):
        return [{"id": i} for i, b in self.backends.items() if b["server"].is_serving()]

    async def handle(self, reader, writer):
        task = asyncio.current_task()
        self.handlers.add(task)
        try:
            while True:
                req = None
                try:
                    req = await read_request(reader, writer, self.read_timeout, self.max_body)
                    if req is None:
                        break
                    still_open = await self.serve(req, writer)
                except HTTPError as e:
                    if e.status == 413:  # the body limit; route() counts its own 413
                        self.lb.note_reject(varnhold.RejectReason.TOO_LARGE)
                    writer.write(json_response(e.status, {"error": e.message}, close=e.close))
                    still_open = not e.close
                await drain(writer, self.read_timeout)
                if not (still_open and req and req.keep_alive):
                    await linger_close(reader, writer)
                    break
        except ConnectionError:
            pass  # the client went away or stopped reading: nobody to answer
        except Exception:
            log.exception("request failed")
            writer.write(json_response(500, {"error": "internal error"}, close=True))
        finally:
            writer.close()
            self.handlers.discard(task)

    async def serve(self, req, writer):
        """Writes the answer to one request; False when the connection must close."""
        if req.path == "/metrics":
            if req.method != "GET":
                raise HTTPError(405, "use GET")
            writer.write(response(200, self.lb.prometheus_text().encode(),
                                  "text/plain; version=0.0.4"))
            return True
        if req.path not in ROUTES:
            raise HTTPError(404, "not found")
        if req.method != "POST":
            raise HTTPError(405, "use POST")
        return await self.route(req.path, req.body, writer)

    async def route(self, path, raw, writer):
        lb = self.lb
        body = parse_body(raw)
        tokens = varnhold.estimate_request_tokens(body)
        candidates = lb.filter_by_fit(self.records, tokens)
        if not candidates:
            lb.note_reject(varnhold.RejectReason.TOO_LARGE)
            writer.write(json_response(413, {"error": "request too large", "tokens": tokens}))
            return True
        pool_key = (body.get("model", MODEL), CLUSTERS, TIER)
        # Each round either forwards or leaves one more backend out (sin-binned).
        for _ in candidates:
            server, reason = await self.acquire(pool_key, candidates, tokens, body)
            if server is None:
                writer.write(json_response(503, {"error": reason}, extra=("Retry-After: 1",)))
                return True
            sid = server["id"]
            if not self.sin_bin.claim(sid):
                continue  # found unreachable since it was selected
            with varnhold.InflightLease(lb, sid) as lease:
                conn = await self.connect(sid)
                if conn is not None:
                    return await self.forward(conn, path, raw, writer, lease)
        writer.write(json_response(502, {"error": "no backend reachable"}))
        return True

    async def acquire(self, pool_key, candidates, tokens, body):
        """A backend for the request, or None and the reason for the 503."""
        lb = self.lb
        binned = self.sin_bin.ids()
        server = await lb.select(pool_key, candidates, estimated_tokens=tokens,
                                 sin_binned=binned, algorithm=self.algorithm,
                                 sticky_key=body.get("user"))
        if server is not None:
            return server, "ok"
        if not lb.queue_enabled():
            reason = (varnhold.RejectReason.NO_BACKENDS
                      if all(c["id"] in binned for c in candidates)
                      else varnhold.RejectReason.AT_CAPACITY)
            lb.note_reject(reason)
            return None, reason
        self.queued += 1
        server, reason, _ = await lb.wait_for_slot(pool_key, candidates, tokens,
                                                   sin_binned=binned)
        return server, reason

    async def connect(self, server_id):
        """A connection to the backend, or None when it cannot be reached, which
        sin-bins it."""
        port = self.backends[server_id]["port"]
        try:
            conn = await asyncio.wait_for(asyncio.open_connection(HOST, port), CONNECT_TIMEOUT)
        except (OSError, TimeoutError):
            self.sin_bin.failed(server_id)
            log.warning("backend %s unreachable: sin-binned for %.1f s", server_id,
                        self.sin_bin.seconds)
            return None
        except BaseException:
            self.sin_bin.abandoned(server_id)
            raise
        self.sin_bin.connected(server_id)
        return conn

    async def forward(self, conn, path, raw, writer, lease):
        """Relays the backend's answer; False when it broke off midway, after
        part of it went to the client, so that the connection must close."""
        r, w = conn
        started = False
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
                started = True
                writer.write(headers + b"\r\n")
                while True:
                    size_line = await asyncio.wait_for(r.readline(), FORWARD_TIMEOUT)
                    chunk = await asyncio.wait_for(r.readexactly(int(size_line, 16) + 2),
                                                   FORWARD_TIMEOUT)
                    writer.write(size_line + chunk)
                    await drain(writer, self.read_timeout)
                    if size_line.strip() == b"0":
                        break
                lease.release()
            else:
                length = int(headers.lower().split(b"content-length:")[1].split(b"\r\n")[0])
                body = await asyncio.wait_for(r.readexactly(length), FORWARD_TIMEOUT)
                writer.write(headers + b"\r\n" + body)
            return True
        except (OSError, TimeoutError, asyncio.IncompleteReadError, ValueError, IndexError):
            if started:
                return False
            writer.write(json_response(502, {"error": "backend failed"}))
            return True
        finally:
            w.close()


def parse_body(raw):
    """The request's JSON object, checked for what routing reads from it."""
    try:
        body = json.loads(raw)
    except (ValueError, RecursionError):
        raise HTTPError(400, "body is not valid JSON") from None
    if not isinstance(body, dict):
        raise HTTPError(400, "body must be a JSON object")
    model = body.get("model", MODEL)
    if not isinstance(model, str) or not model:
        raise HTTPError(400, '"model" must be a non-empty string')
    if body.get("user") is not None and not isinstance(body["user"], str):
        raise HTTPError(400, '"user" must be a string')
    if body.get("stream") is not None and not isinstance(body["stream"], bool):
        raise HTTPError(400, '"stream" must be true or false')
    return body


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
    """Sends n requests, concurrency at a time; counts the answers by status,
    and under 0 the requests that got none."""
    rng = random.Random(seed)
    statuses = {}
    sem = asyncio.Semaphore(concurrency)

    async def one():
        path, body = make_request(rng)
        async with sem:
            try:
                status, _ = await asyncio.wait_for(http(port, "POST", path, body), 60)
            except (OSError, TimeoutError, asyncio.IncompleteReadError, ValueError, IndexError):
                status = 0
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
        if conf["id"] in args.down:
            server.close()  # configured, but nothing answers on its port
            await server.wait_closed()
        record = {k: conf[k] for k in ("id", "weight", "max_concurrency", "max_input_tokens")}
        backends[conf["id"]] = {"record": record, "port": port, "server": server}
    proxy = Proxy(lb, backends, args)
    front = await asyncio.start_server(proxy.handle, HOST, args.port)
    port = front.sockets[0].getsockname()[1]
    reaper = asyncio.create_task(varnhold.inflight_reaper_loop(
        lb, interval_sec=1.0, list_running_servers=proxy.running_servers))
    main_task = asyncio.current_task()
    assert main_task is not None
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, main_task.cancel)
    try:
        if args.serve:
            print(f"proxy listening on http://{HOST}:{port} (Ctrl-C to stop)", flush=True)
            await asyncio.Event().wait()
        started = time.monotonic()
        statuses = await client(port, args.requests, args.concurrency, args.seed)
        elapsed = time.monotonic() - started
        _, metrics = await http(port, "GET", "/metrics")
    finally:
        # Stop accepting, end the requests still in the proxy, then the backends.
        reaper.cancel()
        front.close()
        for task in proxy.handlers:
            task.cancel()
        await asyncio.gather(*proxy.handlers, return_exceptions=True)
        servers = [front] + [b["server"] for b in backends.values()]
        for server in servers:
            server.close_clients()
            server.close()
        async with asyncio.timeout(5):
            await asyncio.gather(*(server.wait_closed() for server in servers))
    snap = lb.snapshot()
    summary = {
        "requests": args.requests,
        "answered": sum(n for s, n in statuses.items() if s),
        "statuses": statuses,
        "served_per_backend": dict(sorted(served.items())),
        "unreachable_per_backend": dict(sorted(proxy.sin_bin.failures.items())),
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
            json.dump({**summary, "metrics": metrics.decode()}, f)


def parse_args(argv):
    p = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    p.add_argument("--mode", default="hybrid", help="routing mode")
    p.add_argument("--algorithm", default="weighted_round_robin", help="pick algorithm")
    p.add_argument("--requests", type=int, default=300)
    p.add_argument("--concurrency", type=int, default=32)
    p.add_argument("--no-queue", dest="queue", action="store_false",
                   help="answer 503 at once instead of parking requests")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--port", type=int, default=0, help="proxy port (0: any free port)")
    p.add_argument("--serve", action="store_true", help="keep the proxy running for a client")
    p.add_argument("--max-body-bytes", type=int, default=4 << 20,
                   help="larger request bodies are answered 413 unread (default 4 MiB)")
    p.add_argument("--read-timeout", type=float, default=10.0,
                   help="seconds a client may take to send each part of a request, or to "
                        "read the answer (default 10)")
    p.add_argument("--sin-bin-sec", type=float, default=5.0,
                   help="seconds an unreachable backend is left out (default 5)")
    p.add_argument("--down", type=int, action="append", default=[], metavar="ID",
                   help="configure backend ID but leave nothing listening on its port")
    p.add_argument("--summary-json", help="also write the summary and metrics text here")
    return p.parse_args(argv)


if __name__ == "__main__":
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")
    try:
        asyncio.run(main(parse_args(sys.argv[1:])))
    except (KeyboardInterrupt, asyncio.CancelledError):
        pass
