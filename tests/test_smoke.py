import unittest

import varnhold


class ImportTest(unittest.TestCase):
    def test_balancer_and_lease(self):
        lb = varnhold.LoadBalancer()
        with varnhold.InflightLease(lb, 1):
            self.assertEqual(lb.inflight, {1: 1})
        self.assertEqual(lb.inflight, {})


if __name__ == "__main__":
    unittest.main()
