"""End to end: the example host proxies a burst of requests through the balancer."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HOST = os.path.join(os.path.dirname(__file__), "..", "examples", "host.py")


class ExampleHostTest(unittest.TestCase):
    def run_host(self, *args):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "summary.json")
            proc = subprocess.run([sys.executable, HOST, "--summary-json", out, *args],
                                  capture_output=True, text=True, timeout=120)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            self.assertIn("== summary ==", proc.stdout)
            with open(out) as f:
                return json.load(f)

    def check_summary(self, summary):
        statuses = {int(k): v for k, v in summary["statuses"].items()}
        self.assertEqual(summary["answered"], summary["requests"])
        self.assertEqual(sum(statuses.values()), summary["requests"])
        # Every 200 was served by exactly one backend.
        self.assertEqual(sum(summary["served_per_backend"].values()), statuses.get(200, 0))
        self.assertEqual(summary["rejected"].get("too_large", 0), statuses.get(413, 0))
        self.assertTrue(set(statuses) <= {200, 400, 413, 503})
        return statuses

    def test_queued_burst_is_served_and_metrics_parse(self):
        summary = self.run_host("--requests", "120", "--concurrency", "24", "--seed", "3")
        statuses = self.check_summary(summary)
        self.assertGreater(statuses[200], 0)
        self.assertGreater(statuses.get(413, 0), 0)
        self.assertIn("quorvane_lb_dispatch_total", summary["metrics"])
        promtool = shutil.which("promtool")
        if not promtool:
            self.skipTest("promtool (Debian package prometheus) is not installed")
        check = subprocess.run([promtool, "check", "metrics"], input=summary["metrics"],
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_without_queue_busy_backends_answer_503(self):
        summary = self.run_host("--requests", "80", "--concurrency", "40", "--no-queue",
                                "--mode", "superfast", "--algorithm", "least_connections")
        statuses = self.check_summary(summary)
        self.assertEqual(summary["queued"], 0)
        self.assertEqual(summary["rejected"].get("at_capacity", 0), statuses.get(503, 0))


if __name__ == "__main__":
    unittest.main()
