"""The stub that type checkers read (varnhold-stubs/__init__.pyi beside the
module) against the module itself: the same names, the same parameters, and
the installed package's metadata."""

import ast
import collections
import dataclasses
import importlib.metadata
import inspect
import os
import sys
import tomllib
import types
import typing
import unittest

import varnhold

HERE = os.path.dirname(os.path.abspath(__file__))
STUB = os.path.join(os.path.dirname(varnhold.__file__), "varnhold-stubs", "__init__.pyi")


def is_standard(name, value):
    """A binding of a standard facility in the module's namespace (asyncio,
    deque, Any, ...): not part of the interface, and not in the stub."""
    return isinstance(value, types.ModuleType) or any(
        getattr(m, name, None) is value for m in (typing, collections, dataclasses))


def module_names():
    return {n for n, v in vars(varnhold).items()
            if not n.startswith("__") and not is_standard(n, v)}


class Stub:
    """The stub's top level: variables (name -> annotation, value nodes),
    functions and classes (name -> members), read with ast."""

    def __init__(self, path):
        with open(path) as f:
            self.tree = ast.parse(f.read(), path)
        self.variables, self.functions, self.classes = {}, {}, {}
        self.namespace = dict(vars(varnhold))
        for node in self.tree.body:
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                exec(compile(ast.Module([node], []), path, "exec"), self.namespace)
            elif self.typevar(node):
                continue  # a stub-only helper such as _Record
            elif isinstance(node, ast.ClassDef):
                self.classes[node.name] = self.members(node)
            else:
                self.add(node, self.variables, self.functions)

    @staticmethod
    def typevar(node):
        return (isinstance(node, ast.Assign) and isinstance(node.value, ast.Call)
                and getattr(node.value.func, "id", None) == "TypeVar")

    @staticmethod
    def add(node, variables, functions):
        if isinstance(node, ast.AnnAssign):
            variables[node.target.id] = (node.annotation, node.value)
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                variables[target.id] = (None, node.value)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            functions[node.name] = node

    def members(self, cls):
        variables, functions = {}, {}
        for node in cls.body:
            self.add(node, variables, functions)
        return variables, functions, any(
            getattr(d, "id", None) == "dataclass" for d in cls.decorator_list)

    def runtime_type(self, annotation):
        """The class an annotation names (dict for dict[int, int]), or None
        where it names no single class (a union, Final, a type alias)."""
        t = eval(compile(ast.Expression(annotation), "<stub>", "eval"), self.namespace)
        if t is typing.Final or typing.get_origin(t) in (typing.Union, types.UnionType):
            return None
        t = typing.get_origin(t) or t
        return t if isinstance(t, type) else None


def stub_parameters(fn, method):
    """(name, kind, default) of a stub function, without self."""
    a = fn.args
    rows = []
    positional = a.posonlyargs + a.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + [
        ast.literal_eval(d) for d in a.defaults]
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        kind = ("POSITIONAL_ONLY" if i < len(a.posonlyargs) else "POSITIONAL_OR_KEYWORD")
        rows.append((arg.arg, kind, default))
    if a.vararg:
        rows.append((a.vararg.arg, "VAR_POSITIONAL", inspect.Parameter.empty))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        rows.append((arg.arg, "KEYWORD_ONLY",
                     inspect.Parameter.empty if default is None else ast.literal_eval(default)))
    if a.kwarg:
        rows.append((a.kwarg.arg, "VAR_KEYWORD", inspect.Parameter.empty))
    return rows[1:] if method else rows


def runtime_parameters(obj, method):
    params = list(inspect.signature(obj).parameters.values())
    rows = [(p.name, p.kind.name, p.default) for p in params]
    return rows[1:] if method else rows


def same(a, b):
    """Equal rows, where a default of 60 is not the default 60.0."""
    return [(n, k, type(d), d) for n, k, d in a] == [(n, k, type(d), d) for n, k, d in b]


class StubTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(STUB):
            raise AssertionError(f"no stub beside the module: {STUB}")
        cls.stub = Stub(STUB)

    def test_every_name_of_the_module_is_in_the_stub_and_no_other(self):
        stub = self.stub
        declared = set(stub.variables) | set(stub.functions) | set(stub.classes)
        with self.subTest("module"):
            self.assertEqual(sorted(module_names() - declared), [], "missing from the stub")
            self.assertEqual(sorted(declared - module_names()), [], "in the stub only")
        for name, (variables, functions, is_dataclass) in stub.classes.items():
            cls = getattr(varnhold, name, None)
            with self.subTest(cls=name):
                self.assertIsNotNone(cls)
                own = {n for n in vars(cls) if not n.startswith("__")}
                if cls is varnhold.LoadBalancer:
                    own |= set(vars(cls()))  # the state lives in the instance
                if is_dataclass:
                    own |= {f.name for f in dataclasses.fields(cls)}
                members = set(variables) | set(functions)
                declared = {n for n in members if not n.startswith("__")}
                self.assertEqual(sorted(own - declared), [], "missing from the stub")
                self.assertEqual(sorted(declared - own), [], "in the stub only")
                for dunder in (n for n in members if n.startswith("__")):
                    self.assertTrue(hasattr(cls, dunder), dunder)

    def test_values_and_types_of_variables_and_attributes(self):
        stub = self.stub
        lb = varnhold.LoadBalancer()
        owners = [(varnhold, stub.variables), (lb, stub.classes["LoadBalancer"][0]),
                  (varnhold.InflightLease(lb, 1), stub.classes["InflightLease"][0]),
                  (varnhold.RejectReason, stub.classes["RejectReason"][0])]
        for owner, variables in owners:
            for name, (annotation, value) in variables.items():
                if not hasattr(owner, name):
                    continue  # the names test reports it
                actual = getattr(owner, name)
                with self.subTest(name=name):
                    if getattr(annotation, "id", None) == "TypeAlias":
                        continue
                    if value is not None:
                        self.assertEqual(actual, ast.literal_eval(value))
                    t = annotation is not None and stub.runtime_type(annotation)
                    if t:
                        self.assertIsInstance(actual, t)
        waiter_fields = stub.classes["_Waiter"][0]
        self.assertEqual(
            [(f.name, f.default) for f in dataclasses.fields(varnhold._Waiter)],
            [(n, dataclasses.MISSING if v is None else ast.literal_eval(v))
             for n, (_, v) in waiter_fields.items()])

    def test_signatures_match_the_stub(self):
        """Every function and method the stub declares, as inspect.signature
        reads it from the module (help() shows the same)."""
        stub = self.stub
        # (label, object, stub function, whether each side lists self)
        targets = [(name, getattr(varnhold, name, None), fn, False, False)
                   for name, fn in stub.functions.items()]
        for cls_name, (_, functions, _) in stub.classes.items():
            cls = getattr(varnhold, cls_name, None)
            for name, fn in functions.items():
                if name == "__init__":  # the class's own signature, as help() shows it
                    targets.append((cls_name, cls, fn, True, False))
                else:
                    targets.append((f"{cls_name}.{name}", getattr(cls, name, None), fn, True,
                                    True))
        mismatches = []
        for label, obj, fn, stub_self, runtime_self in targets:
            if obj is None:
                continue  # the names test reports it
            want = stub_parameters(fn, stub_self)
            try:
                got = runtime_parameters(obj, runtime_self)
            except ValueError:
                mismatches.append(f"{label}: no signature")
                continue
            if not same(got, want):
                mismatches.append(f"{label}: module {fmt(got)}, stub {fmt(want)}")
        if mismatches:
            self.fail(f"{len(mismatches)} of {len(targets)} signatures differ from the stub:\n  "
                      + "\n  ".join(mismatches))


def fmt(rows):
    return str(inspect.Signature([inspect.Parameter(name, getattr(inspect.Parameter, kind),
                                                    default=default)
                                  for name, kind, default in rows]))


class PackageTest(unittest.TestCase):
    """Meaningful when the module imported is the pip-installed one; CI's
    installed run sets VARNHOLD_INSTALLED_RUN=1 and then requires it."""

    def test_installed_package_holds_the_module_the_stub_and_the_version(self):
        required = os.environ.get("VARNHOLD_INSTALLED_RUN") == "1"
        try:
            dist = importlib.metadata.distribution("varnhold")
            files = {os.path.realpath(dist.locate_file(f)) for f in dist.files or ()}
        except importlib.metadata.PackageNotFoundError:
            files = set()
        if os.path.realpath(varnhold.__file__) not in files:
            if required:
                self.fail(f"{varnhold.__file__} is not the installed package's module")
            self.skipTest("the module imported is not an installed package's")
        self.assertIn(os.path.realpath(STUB), files)
        self.assertTrue(varnhold.__file__.startswith(sys.prefix))
        pyproject = os.path.join(HERE, "..", "pyproject.toml")
        if os.path.exists(pyproject):
            with open(pyproject, "rb") as f:
                self.assertEqual(dist.version, tomllib.load(f)["project"]["version"])
        self.assertFalse(hasattr(varnhold, "__version__"))


if __name__ == "__main__":
    unittest.main()
