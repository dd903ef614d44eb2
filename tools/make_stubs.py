"""Writes python/queltcore.pyi from the built module's own signatures, and the stub of quelt's
operations (python/quelt/_operations.pyi), which have the core's signatures overload for
overload and so re-export the core's stubs once that is checked.

pybind11 documents every overload in registration order but names the parameters arg0,
arg1, ...; the names below are the ones the operations and methods are written with.
Run after changing a binding, and commit the result:

    PYTHONPATH=build $(cat build/python-interpreter) tools/make_stubs.py [output [operations-output]]
"""
import os
import re
import sys

import queltcore

# Parameter names of every function and method, in order (self not included).
FUNCTIONS = {
    "scale": ["alpha", "x"],
    "axpy": ["alpha", "x", "y"],
    "sum": ["x", "y"],
    "copy": ["x", "y"],
    "swap": ["x", "y"],
    "dot": ["x", "y"],
    "hdot": ["x", "y"],
    "ls": ["A", "b"],
    "gemv": ["a", "b", "A", "x", "y"],
    "matvec": ["A", "x", "y"],
    "gemm": ["a", "b", "A", "X", "Y"],
    "matmul": ["A", "X", "Y"],
}
VECTOR_METHODS = {"__init__": ["n"], "numel": [], "dim": ["idx"], "__getitem__": ["idx"],
                  "__setitem__": ["idx", "value"], "__repr__": []}
MATRIX_METHODS = {"__init__": ["rows", "cols"], "numel": [], "dim": ["idx"], "__getitem__": ["idx"],
                  "__setitem__": ["idx", "value"], "__repr__": []}
MODEL_METHODS = {"__init__": ["path"], "run": [], "set": ["input_idx", "tensor_idx", "value"],
                 "get": ["output_idx", "tensor_idx"]}

SIGNATURE = re.compile(r"^(?:\d+\. )?(\w+)\((.*)\) -> (.+)$")


def signatures(doc, name):
    """(parameter types, return type) of every overload the docstring lists, in its order."""
    found = []
    for line in doc.splitlines():
        match = SIGNATURE.match(line.strip())
        if match and match.group(1) == name:
            params = [p.split(": ", 1)[1] for p in split_params(match.group(2))]
            found.append((params, match.group(3)))
    return found


def split_params(text):
    """Splits on the commas between parameters, not those inside brackets."""
    parts, depth, current = [], 0, ""
    for ch in text:
        if ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
            continue
        depth += ch == "["
        depth -= ch == "]"
        current += ch
    if current.strip():
        parts.append(current.strip())
    return parts


def local(annotation):
    return annotation.replace("queltcore.", "")


def emit(name, names, overloads, indent, method):
    lines = []
    for params, result in overloads:
        if method:
            params = params[1:]
        if len(params) != len(names):
            raise SystemExit("%s: %d parameters documented, %d named" % (name, len(params), len(names)))
        arguments = (["self"] if method else []) + ["%s: %s" % (n, local(t)) for n, t in zip(names, params)]
        if len(overloads) > 1:
            lines.append(indent + "@overload")
        lines.append("%sdef %s(%s) -> %s: ..." % (indent, name, ", ".join(arguments), local(result)))
    return lines


def function_lines(module, functions):
    lines = []
    for name in functions:
        lines += [""]
        lines += emit(name, FUNCTIONS[name], signatures(getattr(module, name).__doc__, name), "", False)
    return lines


def main(output, operations_output):
    public = sorted(n for n in dir(queltcore) if not n.startswith("_"))
    classes = [n for n in public if isinstance(getattr(queltcore, n), type)]
    functions = [n for n in public if n not in classes]
    if set(functions) != set(FUNCTIONS):
        raise SystemExit("functions without parameter names: %s" % sorted(set(functions) ^ set(FUNCTIONS)))
    lines = ['"""Type stubs of queltcore, written by tools/make_stubs.py from the module\'s signatures."""',
             "from typing import List, Tuple, overload", ""]
    for name in classes:
        cls = getattr(queltcore, name)
        table = MODEL_METHODS if name == "model" else MATRIX_METHODS if name.startswith("mat") else VECTOR_METHODS
        lines += ["", "class %s:" % name]
        for method in cls.__dict__:
            # A class without a constructor keeps a slot wrapper that refuses construction.
            if not callable(cls.__dict__[method]) or isinstance(cls.__dict__[method], type(object.__init__)):
                continue
            if method not in table:
                raise SystemExit("%s.%s has no parameter names" % (name, method))
            lines += emit(method, table[method], signatures(cls.__dict__[method].__doc__, method), "    ", True)
    lines += function_lines(queltcore, functions)
    with open(output, "w") as out:
        out.write("\n".join(lines) + "\n")

    from quelt import _operations
    if sorted(_operations.__all__) != functions:
        raise SystemExit("quelt's operations are not queltcore's: %s" % sorted(_operations.__all__))
    differing = [n for n in functions
                 if signatures(getattr(_operations, n).__doc__, n) != signatures(getattr(queltcore, n).__doc__, n)]
    if differing:
        raise SystemExit("quelt's operations do not have the core's signatures: %s" % differing)
    lines = ['"""Type stubs of quelt\'s operations, written by tools/make_stubs.py: the core\'s, whose overloads',
             'they have overload for overload (the script checks it before writing this)."""',
             "from queltcore import ("] + ["    %s as %s," % (n, n) for n in functions] + [")"]
    with open(operations_output, "w") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "python", "queltcore.pyi"),
         sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "python", "quelt", "_operations.pyi"))
