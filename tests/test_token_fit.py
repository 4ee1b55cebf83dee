import json
import random
import unittest

import varnhold
from varnhold import estimate_request_tokens as est

TEXT_TYPES = ("text", "input_text", "output_text")
IMAGE_TYPES = ("image_url", "image", "input_image", "video_url")


def reference_estimate(body, cost):
    """The estimate written out plainly, as the oracle for generated bodies."""
    if not isinstance(body, dict):
        return 0
    counts = {"chars": 0, "ids": 0, "images": 0}

    def content(value):
        if isinstance(value, str):
            counts["chars"] += len(value)
        elif isinstance(value, list):
            for part in value:
                if isinstance(part, str):
                    counts["chars"] += len(part)
                elif isinstance(part, dict):
                    kind = part.get("type")
                    if kind in TEXT_TYPES:
                        if isinstance(part.get("text"), str):
                            counts["chars"] += len(part.get("text"))
                    elif kind in IMAGE_TYPES:
                        counts["images"] += 1

    def tokenizable(value):
        if isinstance(value, str):
            counts["chars"] += len(value)
        elif isinstance(value, list):
            for item in value:
                if isinstance(item, str):
                    counts["chars"] += len(item)
                elif isinstance(item, int):
                    counts["ids"] += 1
                elif isinstance(item, list):
                    for el in item:
                        if isinstance(el, int):
                            counts["ids"] += 1
                        else:
                            content([el] if isinstance(el, dict) else el)
                elif isinstance(item, dict):
                    content([item])

    messages = body.get("messages")
    if isinstance(messages, list):
        for m in messages:
            if isinstance(m, dict):
                content(m.get("content"))
    prompt = body.get("prompt")
    if isinstance(prompt, str):
        counts["chars"] += len(prompt)
    elif isinstance(prompt, list):
        counts["chars"] += sum(len(p) for p in prompt if isinstance(p, str))
    content(body.get("system"))
    for key in ("input", "query", "items", "documents"):
        if key in body:
            tokenizable(body[key])
    if isinstance(body.get("instruct"), str):
        counts["chars"] += len(body.get("instruct"))
    return counts["chars"] // 4 + counts["ids"] + counts["images"] * cost


class SubDict(dict):
    pass


class SubList(list):
    pass


class Missing(dict):
    def __missing__(self, key):
        return ["abcdefgh"]


def random_value(rng, depth=0):
    roll = rng.random()
    if depth > 4 or roll < 0.35:
        return rng.choice([None, True, False, 0, 7, -3, 1.5, 2**70, "", "ab", "héllo wörld",
                           "日本語テキスト", "\U0001F600" * 3, "x" * rng.randrange(40)])
    if roll < 0.45:
        return rng.choice(TEXT_TYPES + IMAGE_TYPES + ("other",))
    if roll < 0.75:
        items = [random_value(rng, depth + 1) for _ in range(rng.randrange(6))]
        return SubList(items) if rng.random() < 0.1 else items
    keys = ["type", "text", "content", "role", "image_url", "source"]
    d = {rng.choice(keys): random_value(rng, depth + 1) for _ in range(rng.randrange(4))}
    if rng.random() < 0.5:
        d["type"] = rng.choice(TEXT_TYPES + IMAGE_TYPES + ("other", None, 3, ["text"]))
    return SubDict(d) if rng.random() < 0.15 else d


def random_body(rng):
    keys = ["messages", "prompt", "system", "input", "query", "items", "documents",
            "instruct", "max_tokens"]
    body = {k: random_value(rng) for k in rng.sample(keys, rng.randrange(len(keys)))}
    if "messages" in body and rng.random() < 0.7:
        body["messages"] = [{"role": "user", "content": random_value(rng, 1)}
                            for _ in range(rng.randrange(5))]
    return SubDict(body) if rng.random() < 0.1 else body


class EstimateTest(unittest.TestCase):
    def test_examples(self):
        img = varnhold.IMAGE_TOKEN_COST
        cases = [
            (None, 0), ([{"prompt": "x" * 40}], 0), ("x" * 40, 0), ({}, 0),
            ({"messages": [{"content": "x" * 12}]}, 3),
            ({"prompt": "ab", "instruct": "cd"}, 1),  # characters summed before dividing
            ({"messages": [{"content": [{"type": "text", "text": "abcd"},
                                        {"type": "image_url", "image_url": {}}]}]}, 1 + img),
            ({"system": [{"type": "image", "source": {}}, {"type": "input_image"},
                         {"type": "video_url"}, {"type": "output_text", "text": "abcd"}]},
             3 * img + 1),
            ({"system": [{"type": "text"}, {"type": "text", "text": None},
                         {"type": "input_text", "text": 1234}, {"type": "text", "text": ["abcd"]},
                         {"text": "abcd"}, {"type": "other", "text": "abcd"}, {"type": "TEXT"}]}, 0),
            ({"messages": [{"content": {"type": "text", "text": "abcd"}}, "abcd", ["abcd"]]}, 0),
            ({"messages": {"content": "abcd"}}, 0), ({"messages": "abcdabcd"}, 0),
            ({"input": [1, 2, 3]}, 3), ({"input": [[1, 2], [3]]}, 3), ({"input": [True, False]}, 2),
            ({"input": [1.5]}, 0), ({"input": "x" * 8}, 2), ({"input": (1, 2, 3)}, 0),
            ({"input": [["abcd"]]}, 1), ({"input": [[{"type": "text", "text": "abcd"}]]}, 1),
            ({"input": [[[1, 2]]]}, 0), ({"input": [[["abcd", 5]]]}, 1),
            ({"input": [{"role": "user", "content": "x" * 40}]}, 0),
            ({"input": {"type": "text", "text": "abcd"}}, 0), ({"input": None}, 0),
            ({"prompt": [1, 2, 3]}, 0), ({"prompt": ["abcd", 5]}, 1),
            ({"query": "abcd", "documents": ["abcd", "abcd"]}, 3),
            ({"query": "abcd", "items": [[1, 2]], "instruct": 5}, 3),
            ({"prompt": "\u00e9" * 4}, 1), ({"prompt": "e\u0301" * 2}, 1),  # code points, not bytes
            ({"prompt": "\U0001F600" * 4}, 1),
        ]
        for body, want in cases:
            with self.subTest(body=body):
                self.assertEqual(est(body), want)
        self.assertEqual(est(body={"prompt": "abcd"}), 1)
        with self.assertRaises(TypeError):
            est({}, {})

    def test_image_cost_read_at_every_call(self):
        body = {"messages": [{"content": [{"type": "image"}, {"type": "image"}, "abcd"]}]}
        self.addCleanup(setattr, varnhold, "IMAGE_TOKEN_COST", varnhold.IMAGE_TOKEN_COST)
        for cost in (0, -5, 2**80, 2.5, True):
            varnhold.IMAGE_TOKEN_COST = cost
            got = est(body)
            self.assertEqual(got, 1 + 2 * cost)
            self.assertIs(type(got), type(1 + 2 * cost))

    def test_dict_subclass_uses_its_own_lookups(self):
        class Upper(dict):
            def get(self, key, default=None):
                return dict.get(self, key.upper(), default)

        body = Upper(PROMPT="abcdefgh", prompt="x" * 100, input="abcd")
        self.assertEqual(est(body), 3)  # .get sees PROMPT; "in" and [] see input
        self.assertEqual(est(Missing(query=None)), 0)  # absent keys are never subscripted
        msg = Upper(CONTENT="abcd", content="x" * 100)
        self.assertEqual(est({"messages": [msg]}), 1)

        class Short(str):
            def __len__(self):
                return 4

        self.assertEqual(est({"prompt": [Short("x" * 100)]}), 1)

        class Sneaky(dict):  # a part that changes the body while it is read
            def get(self, key, default=None):
                body["prompt"] = "abcdefgh"
                return dict.get(self, key, default)

        body = {"messages": [{"content": [Sneaky(type="text", text="abcd")]}]}
        self.assertEqual(est(body), 3)

    def test_type_tests_are_isinstance(self):
        class Text:
            """Text as isinstance() sees it: its class says so."""
            __class__ = property(lambda self: str)

            def __len__(self):
                return 8

        self.assertEqual(est({"prompt": Text()}), 2)
        self.assertEqual(est({"input": [Text(), [Text()]], "system": [Text()]}), 6)

    def test_never_raises_on_json_values(self):
        deep = inner = []
        for _ in range(100_000):
            inner.append([])
            inner = inner[0]
        huge = {"prompt": "x" * 10_000_000, "input": list(range(100_000)) + [deep]}
        for body in ({"input": deep}, {"messages": [{"content": deep}]}, huge):
            est(body)
        self.assertEqual(est(huge), 2_500_000 + 100_000)

    def test_matches_reference_on_generated_bodies(self):
        rng = random.Random(20240611)
        for _ in range(4000):
            body = random_body(rng)
            want = reference_estimate(body, varnhold.IMAGE_TOKEN_COST)
            self.assertEqual(est(body), want, body)
            decoded = json.loads(json.dumps(body))
            self.assertEqual(est(decoded), reference_estimate(decoded, varnhold.IMAGE_TOKEN_COST))


def reference_fit(candidates, estimated):
    def key(s):
        limit = int(s.get("max_input_tokens") or 0)
        return (1 if limit == 0 else 0, limit, s["id"])

    if estimated <= 0:
        fit = list(candidates)
    else:
        fit = [s for s in candidates if (s.get("max_input_tokens") or 0) == 0
               or (s.get("max_input_tokens") or 0) >= estimated]
    fit.sort(key=key)
    return fit


class FilterByFitTest(unittest.TestCase):
    def setUp(self):
        self.lb = varnhold.LoadBalancer()
        self.five = [{"id": 1, "max_input_tokens": 8192}, {"id": 2},
                     {"id": 3, "max_input_tokens": 4096}, {"id": 4, "max_input_tokens": 32768},
                     {"id": 5, "max_input_tokens": 4096}]

    def ids(self, candidates, estimated):
        return [s["id"] for s in self.lb.filter_by_fit(candidates, estimated)]

    def test_five_record_orderings(self):
        before = list(self.five)
        for estimated, want in [(5000, [1, 4, 2]), (4096, [3, 5, 1, 4, 2]), (4097, [1, 4, 2]),
                                (0, [3, 5, 1, 4, 2]), (-7, [3, 5, 1, 4, 2]), (40000, [2]),
                                (4096.0, [3, 5, 1, 4, 2]), (10**30, [2])]:
            with self.subTest(estimated=estimated):
                self.assertEqual(self.ids(self.five, estimated), want)
        self.assertEqual(self.five, before)
        out = self.lb.filter_by_fit(candidates=self.five, estimated_tokens=0)
        self.assertIsNot(out, self.five)
        self.assertTrue(all(any(r is s for s in self.five) for r in out))
        self.assertEqual(self.ids(iter(self.five), 5000), [1, 4, 2])
        self.assertEqual(self.ids(tuple(self.five), 0), [3, 5, 1, 4, 2])

    def test_limits(self):
        recs = [{"id": 9, "max_input_tokens": None}, {"id": 8, "max_input_tokens": 0},
                {"id": 7, "max_input_tokens": -5}, {"id": 6, "max_input_tokens": 4096.0},
                {"id": 5, "max_input_tokens": 4096.9}, {"id": 4, "max_input_tokens": 100}]
        self.assertEqual(self.ids(recs, 4096), [5, 6, 8, 9])  # 4096.9 and 4096.0 tie on int()
        self.assertEqual(self.ids(recs, 0), [7, 4, 5, 6, 8, 9])
        self.assertEqual(self.ids(recs[:4], 10**9), [8, 9])
        self.assertEqual(self.ids([{"id": 1, "max_input_tokens": 5}], 6), [])
        self.assertEqual(self.lb.filter_by_fit([], 10), [])

    def test_errors(self):
        with self.assertRaises(KeyError) as cm:
            self.lb.filter_by_fit([{"max_input_tokens": 9000}], 10)
        self.assertEqual(cm.exception.args, ("id",))
        self.assertEqual(self.lb.filter_by_fit([{"max_input_tokens": 5}], 10), [])  # dropped first
        with self.assertRaises(TypeError):
            self.lb.filter_by_fit([{"id": 1, "max_input_tokens": "4096"}], 10)
        with self.assertRaises(TypeError):
            self.lb.filter_by_fit(self.five, None)
        with self.assertRaises(ValueError):
            self.lb.filter_by_fit([{"id": 1, "max_input_tokens": float("nan")}], 0)

    def test_limits_read_again_by_the_ordering(self):
        recs = [{"id": 1, "max_input_tokens": 8192}, {"id": 2, "max_input_tokens": 16384}]

        class Estimate:
            """Compares through its own method, which raises the first limit."""
            def __le__(self, other):  # `estimated_tokens <= 0`, `limit >= estimated_tokens`
                if other == 0:
                    return False
                recs[0]["max_input_tokens"] = 65536
                return True

        self.assertEqual(self.ids(recs, Estimate()), [2, 1])

    def test_matches_reference_on_generated_records(self):
        rng = random.Random(7)
        limits = [None, 0, 0.0, 1, 50, 50.5, -3, 100, 2**70, False, True, 99.99]
        ids = [1, 2, 3, 3, 2**65, -1, True]
        for _ in range(3000):
            recs, odd = [], rng.random() < 0.5  # odd: values only the interpreter can order
            for _ in range(rng.randrange(40)):
                r = {"id": rng.choice(ids if odd else ids[:4])}
                if rng.random() < 0.8:
                    r["max_input_tokens"] = rng.choice(limits if odd else limits[:8])
                recs.append(SubDict(r) if odd and rng.random() < 0.1 else r)
            estimated = rng.choice([-1, 0, 1, 50, 51, 100, 2**70, 50.5, 10**400, -10**400])
            got = self.lb.filter_by_fit(recs, estimated)
            want = reference_fit(recs, estimated)
            self.assertEqual([id(r) for r in got], [id(r) for r in want], (recs, estimated))


if __name__ == "__main__":
    unittest.main()
