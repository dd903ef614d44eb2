"""The type stubs agree with the modules they describe."""
import ast
import inspect
import os
import re
import unittest

import quelt
import queltcore

SLOT = type(object.__init__)
STUB = os.path.join(os.path.dirname(queltcore.__file__), "queltcore.pyi")


def documented(function, name):
    """Parameter types (self included) of each overload the runtime docstring lists, in order."""
    found = []
    for line in function.__doc__.splitlines():
        match = re.match(r"^(?:\d+\. )?%s\((.*)\) -> .+$" % re.escape(name), line.strip())
        if match:
            types = re.findall(r"\w+: ([\w.]+(?:\[[^\]]*\])?)", match.group(1))
            found.append([t.replace("queltcore.", "") for t in types])
    return found


def annotations(node, method):
    """The parameter annotations of a stub definition, as written."""
    arguments = node.args.args[1:] if method else node.args.args
    return [source_of(a.annotation) for a in arguments]


def source_of(node):
    """The text of an annotation node (Python 3.7 has no ast.get_source_segment)."""
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.NameConstant):
        return repr(node.value)
    if isinstance(node, ast.Subscript):
        inner = node.slice.value
        items = inner.elts if isinstance(inner, ast.Tuple) else [inner]
        return "%s[%s]" % (source_of(node.value), ", ".join(source_of(i) for i in items))
    raise AssertionError("unexpected annotation %s" % ast.dump(node))


with open(STUB) as stub_file:
    SOURCE = stub_file.read()
TREE = ast.parse(SOURCE)


def definitions(body):
    """name -> list of definitions, in order."""
    table = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            table.setdefault(node.name, []).append(node)
    return table


class CoreStubs(unittest.TestCase):
    def test_the_stub_beside_the_module_is_the_committed_one(self):
        committed = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python", "queltcore.pyi")
        with open(committed) as f:
            self.assertEqual(f.read(), SOURCE)

    def test_every_public_name_is_in_both(self):
        runtime = {n for n in dir(queltcore) if not n.startswith("_")}
        self.assertEqual(set(definitions(TREE.body)), runtime)

    def check(self, runtime, stubs, name, method):
        expected = documented(runtime, name)
        self.assertTrue(expected, name)
        self.assertEqual(len(stubs), len(expected), name)
        for node, types in zip(stubs, expected):
            overloaded = [d.id for d in node.decorator_list] == ["overload"]
            self.assertEqual(overloaded, len(expected) > 1, name)
            self.assertEqual(annotations(node, method), types[1:] if method else types, name)
            self.assertFalse(any(a.arg.startswith("arg") for a in node.args.args), name)

    def test_functions_have_every_overload_in_registration_order(self):
        table = definitions(TREE.body)
        for name in dir(queltcore):
            runtime = getattr(queltcore, name)
            if not name.startswith("_") and not isinstance(runtime, type):
                with self.subTest(name=name):
                    self.check(runtime, table[name], name, False)
        self.assertEqual(len(table["gemv"]), 108)
        self.assertEqual([a.arg for a in table["gemv"][0].args.args], ["a", "b", "A", "x", "y"])

    def test_classes_have_every_method_and_overload(self):
        table = definitions(TREE.body)
        for name in dir(queltcore):
            cls = getattr(queltcore, name)
            if isinstance(cls, type):
                methods = definitions(table[name][0].body)
                # pybind11's own methods; a class without a constructor keeps a slot wrapper
                # that refuses construction, which a stub does not declare.
                runtime = {k: v for k, v in vars(cls).items() if callable(v) and not isinstance(v, SLOT)}
                self.assertEqual(set(methods), set(runtime), name)
                for method, function in runtime.items():
                    with self.subTest(cls=name, method=method):
                        self.check(function, methods[method], method, True)


class OperationStubs(unittest.TestCase):
    def test_quelt_operations_have_the_core_signatures(self):
        path = os.path.join(os.path.dirname(quelt.__file__), "_operations.pyi")
        committed = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python", "quelt",
                                 "_operations.pyi")
        with open(path) as stub, open(committed) as source:
            text = stub.read()
            self.assertEqual(source.read(), text)
        # The stub re-exports the core's stubs, which stand for quelt's functions only while
        # their overloads (listed in the docstrings) are the core's.
        imported = [node for node in ast.parse(text).body if isinstance(node, ast.ImportFrom)]
        self.assertEqual([node.module for node in imported], ["queltcore"])
        names = {alias.name: alias.asname for alias in imported[0].names}
        self.assertEqual(names, {name: name for name in quelt._operations.__all__})
        core = definitions(TREE.body)
        for name in names:
            with self.subTest(name=name):
                self.assertIn(name, core)
                self.assertEqual(getattr(quelt, name).__doc__, getattr(queltcore, name).__doc__)


class PackageAnnotations(unittest.TestCase):
    def test_marker_and_annotated_functions(self):
        folder = os.path.dirname(quelt.__file__)
        self.assertTrue(os.path.isfile(os.path.join(folder, "py.typed")))
        for name in quelt._exchange_names:
            with self.subTest(name=name):
                signature = inspect.signature(getattr(quelt, name))
                self.assertIsNot(signature.return_annotation, inspect.Signature.empty)
                for parameter in signature.parameters.values():
                    self.assertIsNot(parameter.annotation, inspect.Parameter.empty, parameter.name)


if __name__ == "__main__":
    unittest.main()
