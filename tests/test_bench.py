"""The benchmark harness stays runnable as the module changes: every scenario
runs once, briefly, and leaves the module's settings as it found them."""

import contextlib
import io
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))

import bench  # noqa: E402
import varnhold  # noqa: E402


class BenchTest(unittest.TestCase):
    def run_bench(self, *argv):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            self.assertEqual(bench.main(["--runs", "1", "--budget", "0.001", *argv]), 0)
        return out.getvalue()

    def test_every_scenario_runs_and_settings_are_restored(self):
        settings = varnhold.QUEUE_ENABLED, varnhold.QUEUE_MAX_DEPTH_MULTIPLIER
        text = self.run_bench()
        for b in bench.FLOORS + bench.SCENARIOS:
            self.assertIn(b.name, text)
        self.assertIn("x the time for 16x the input", text)
        self.assertEqual((varnhold.QUEUE_ENABLED, varnhold.QUEUE_MAX_DEPTH_MULTIPLIER), settings)

    def test_subset_brings_the_base_of_a_linear_scenario(self):
        text = self.run_bench("-k", "2,000 servers, 500 pools")
        self.assertIn("report: snapshot(), 200 servers, 50 pools ", text)
        self.assertNotIn("road:", text)
        self.assertIn("x the time for 10x the input", text)


if __name__ == "__main__":
    unittest.main()
