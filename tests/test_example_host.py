"""End to end: the example host proxies bursts through the balancer, answers
every bad client, and routes around a backend that is down."""
import asyncio
import importlib.util
import json
import os
import signal
import subprocess
import sys
import tempfile
import unittest

from test_reports import require_promtool

HOST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "host.py")


def load_host():
    spec = importlib.util.spec_from_file_location("example_host", HOST)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class BurstTest(unittest.TestCase):
    def run_host(self, *args):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "summary.json")
            proc = subprocess.run([sys.executable, HOST, "--summary-json", out, *args],
                                  capture_output=True, text=True, timeout=120)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            self.assertNotIn("Traceback", proc.stderr)
            self.assertIn("== summary ==", proc.stdout)
            with open(out) as f:
                return json.load(f)

    def check_summary(self, summary, allowed=(200, 400, 413, 503)):
        statuses = {int(k): v for k, v in summary["statuses"].items()}
        # Every request got an answer (0 counts those that got none).
        self.assertEqual(summary["answered"], summary["requests"])
        self.assertEqual(sum(statuses.values()), summary["requests"])
        self.assertLessEqual(set(statuses), set(allowed))
        # Every 200 was served by exactly one backend.
        self.assertEqual(sum(summary["served_per_backend"].values()), statuses.get(200, 0))
        self.assertEqual(summary["rejected"].get("too_large", 0), statuses.get(413, 0))
        return statuses

    def test_queued_burst_is_served_and_metrics_parse(self):
        summary = self.run_host("--requests", "120", "--concurrency", "24", "--seed", "3")
        statuses = self.check_summary(summary)
        self.assertGreater(statuses[200], 0)
        self.assertGreater(statuses.get(413, 0), 0)
        self.assertEqual(summary["unreachable_per_backend"], {})
        self.assertIn("quorvane_lb_dispatch_total", summary["metrics"])
        require_promtool()
        check = subprocess.run(["promtool", "check", "metrics"], input=summary["metrics"],
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_without_queue_busy_backends_answer_503(self):
        summary = self.run_host("--requests", "80", "--concurrency", "40", "--no-queue",
                                "--mode", "superfast", "--algorithm", "least_connections")
        statuses = self.check_summary(summary)
        self.assertEqual(summary["queued"], 0)
        self.assertEqual(summary["rejected"].get("at_capacity", 0), statuses.get(503, 0))

    def test_a_dead_backend_gets_only_the_requests_before_its_first_failure(self):
        # The sin-bin outlasts the run: once a forward to backend 2 has failed to
        # connect, no request goes there again, and those that went are retried
        # on the others. Only requests already routed to it, at most one per
        # concurrent client, can have tried it.
        summary = self.run_host("--requests", "120", "--concurrency", "24", "--seed", "5",
                                "--down", "2", "--sin-bin-sec", "3600")
        statuses = self.check_summary(summary, allowed=(200, 400, 413))
        self.assertGreater(statuses[200], 0)
        self.assertNotIn("2", summary["served_per_backend"])
        self.assertEqual(set(summary["unreachable_per_backend"]), {"2"})
        self.assertTrue(1 <= summary["unreachable_per_backend"]["2"] <= 24,
                        summary["unreachable_per_backend"])


class SinBinTest(unittest.TestCase):
    """The host's sin-bin on a clock of the test's own."""

    def test_binned_then_one_probe_per_interval(self):
        now = [100.0]
        sin_bin = load_host().SinBin(5.0, clock=lambda: now[0])
        self.assertTrue(sin_bin.claim(2))
        sin_bin.failed(2)
        self.assertEqual(sin_bin.ids(), {2})
        now[0] = 104.9
        self.assertFalse(sin_bin.claim(2))
        now[0] = 105.0  # time is up: the next request probes, the others still keep away
        self.assertEqual(sin_bin.ids(), set())
        self.assertTrue(sin_bin.claim(2))
        self.assertEqual(sin_bin.ids(), {2})
        self.assertFalse(sin_bin.claim(2))
        sin_bin.failed(2)  # the probe failed: five more seconds
        now[0] = 109.9
        self.assertEqual(sin_bin.ids(), {2})
        now[0] = 110.0
        self.assertTrue(sin_bin.claim(2))
        sin_bin.abandoned(2)  # the probing request was cancelled: no verdict
        self.assertTrue(sin_bin.claim(2))
        sin_bin.connected(2)  # back
        self.assertEqual(sin_bin.ids(), set())
        self.assertTrue(sin_bin.claim(2) and sin_bin.claim(2))
        self.assertEqual(sin_bin.failures, {2: 2})


def post(body, *headers, path="/v1/chat/completions"):
    head = [f"POST {path} HTTP/1.1", "Host: proxy", f"Content-Length: {len(body)}", *headers]
    return ("\r\n".join(head) + "\r\n\r\n").encode() + body


def raw(*lines, body=b""):
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


GOOD = json.dumps({"model": "demo-model", "prompt": "hello"}).encode()

# name, what the client sends (and then nothing more), the status it gets
BAD_REQUESTS = [
    ("a JSON array", post(b"[1, 2, 3]"), 400),
    ("JSON null", post(b"null"), 400),
    ("a list as model", post(b'{"model": ["a"], "prompt": "x"}'), 400),
    ("a number as model", post(b'{"model": 5, "prompt": "x"}'), 400),
    ("a number as user", post(b'{"prompt": "x", "user": 7}'), 400),
    ("text as stream", post(b'{"prompt": "x", "stream": "yes"}'), 400),
    ("not JSON", post(b"{not json"), 400),
    ("not UTF-8", post(b'{"prompt": "\xff"}'), 400),
    ("nested deeper than the parser goes", post(b"[" * 50000), 400),
    ("Content-Length: abc", raw("POST /v1/completions HTTP/1.1", "Content-Length: abc",
                                body=b"{}"), 400),
    ("Content-Length: -2", raw("POST /v1/completions HTTP/1.1", "Content-Length: -2"), 400),
    ("two Content-Lengths", raw("POST /v1/completions HTTP/1.1", "Content-Length: 2",
                                "Content-Length: 3", body=b"{}"), 400),
    ("no request line", raw("HELLO"), 400),
    ("a header without colon", raw("POST /v1/completions HTTP/1.1", "Content-Length 2",
                                   body=b"{}"), 400),
    ("a chunked body", raw("POST /v1/completions HTTP/1.1", "Transfer-Encoding: chunked",
                           body=b"2\r\n{}\r\n0\r\n\r\n"), 501),
    ("a body over the limit", raw("POST /v1/completions HTTP/1.1", "Content-Length: 1000000000",
                                  body=b"{" * 4096), 413),
    ("an unknown path", raw("GET /nope HTTP/1.1"), 404),
    ("GET on an inference path", raw("GET /v1/completions HTTP/1.1"), 405),
    ("an unknown expectation", post(GOOD, "Expect: a-pony"), 417),
    ("a body announced and not sent", raw("POST /v1/completions HTTP/1.1",
                                          "Content-Length: 100", body=b'{"prompt"'), 408),
    ("a head not finished", b"POST /v1/completions HTTP/1.1\r\nHost: x\r\n", 408),
]


async def read_answer(reader, status_line=None):
    """Status, headers and JSON body of one answer; a status of None when the
    connection closed without one."""
    status_line = status_line or await reader.readline()
    if not status_line:
        return None, {}, None
    status = int(status_line.split()[1])
    headers = {}
    while (line := await reader.readline()) not in (b"\r\n", b""):
        name, _, value = line.decode().partition(":")
        headers[name.strip().lower()] = value.strip()
    body = await reader.readexactly(int(headers.get("content-length", "0")))
    return status, headers, json.loads(body) if body else None


class BadClientTest(unittest.TestCase):
    """Bad clients get an answer each, the good ones are served meanwhile, and
    nothing lands on stderr but log lines."""

    READ_TIMEOUT = "1"

    @classmethod
    def setUpClass(cls):
        cls.proc = subprocess.Popen(
            [sys.executable, HOST, "--serve", "--read-timeout", cls.READ_TIMEOUT,
             "--max-body-bytes", "65536"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = cls.proc.stdout.readline()
        if "listening on" not in line:
            cls.proc.kill()
            raise AssertionError(f"the host did not start: {line}{cls.proc.stderr.read()}")
        cls.port = int(line.split("http://")[1].split()[0].rsplit(":", 1)[1])

    @classmethod
    def tearDownClass(cls):
        if cls.proc.poll() is None:
            cls.proc.kill()
            cls.proc.wait()

    async def connect(self):
        return await asyncio.open_connection("127.0.0.1", self.port)

    async def bad_request(self, name, data, status):
        reader, writer = await self.connect()
        writer.write(data)  # held or not, the client sends no more
        got, _, body = await asyncio.wait_for(read_answer(reader), 30)
        writer.close()
        return name, got, status, body

    async def continue_then(self, body, announced=None):
        """A client that sends Expect: 100-continue and waits for the go-ahead:
        whether it came, and the final status."""
        reader, writer = await self.connect()
        writer.write(raw("POST /v1/completions HTTP/1.1",
                         f"Content-Length: {announced or len(body)}", "Expect: 100-continue"))
        line = await asyncio.wait_for(reader.readline(), 30)
        went_on = line.startswith(b"HTTP/1.1 100 ")
        if went_on:
            self.assertEqual(await reader.readline(), b"\r\n")
            writer.write(body)
            line = None
        status = (await asyncio.wait_for(read_answer(reader, line), 30))[0]
        writer.close()
        return went_on, status

    async def keep_alive_after_an_error(self):
        reader, writer = await self.connect()
        writer.write(post(b"[1]") + post(GOOD))
        first = (await asyncio.wait_for(read_answer(reader), 30))[0]
        second = (await asyncio.wait_for(read_answer(reader), 30))[0]
        writer.close()
        return first, second

    async def vanishing_clients(self):
        """One closes within the head, one resets within the body."""
        _, writer = await self.connect()
        writer.write(b"POST /v1/completions HT")
        await writer.drain()
        writer.close()
        _, writer = await self.connect()
        writer.write(raw("POST /v1/completions HTTP/1.1", "Content-Length: 50", body=b"{"))
        await writer.drain()
        writer.transport.abort()

    async def all_clients(self):
        return await asyncio.gather(
            asyncio.gather(*(self.bad_request(*case) for case in BAD_REQUESTS)),
            self.continue_then(GOOD), self.continue_then(GOOD, announced=10**9),
            self.keep_alive_after_an_error(), self.vanishing_clients())

    def test_every_bad_request_is_answered_and_the_host_stays_quiet(self):
        bad, go_on, refused, keep_alive, _ = asyncio.run(self.all_clients())
        for name, got, status, body in bad:
            with self.subTest(name):
                self.assertEqual(got, status)
                self.assertIsInstance((body or {}).get("error"), str)
        self.assertEqual(go_on, (True, 200))
        self.assertEqual(refused, (False, 413))
        self.assertEqual(keep_alive, (400, 200))

        # Still serving, then a clean stop with nothing but log lines on stderr.
        async def good():
            reader, writer = await self.connect()
            writer.write(post(GOOD))
            answer = await asyncio.wait_for(read_answer(reader), 30)
            writer.close()
            return answer[0]
        self.assertEqual(asyncio.run(good()), 200)
        self.proc.send_signal(signal.SIGTERM)
        _, stderr = self.proc.communicate(timeout=60)
        self.assertEqual(self.proc.returncode, 0, stderr)
        self.assertEqual([line for line in stderr.splitlines() if not line.startswith("INFO ")],
                         [], stderr)


if __name__ == "__main__":
    unittest.main()
