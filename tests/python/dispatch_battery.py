"""Calls every overload of every module function, with conversions and mismatches, and prints
one line per call: what it returned or raised and what its operands hold afterwards.

Run under two builds of the module, the lines must agree: the comparison is the test. A second
argument `quelt` calls quelt's functions instead of queltcore's (on queltcore's classes, as
always); their lines must agree with the core's too.
"""
import json
import random
import re
import sys

import queltcore as q

NAMES = ("scale", "sum", "dot", "copy", "swap", "axpy", "hdot", "ls", "gemv", "matvec", "gemm", "matmul")
SIGNATURE = re.compile(r"^\d+\. \w+\((.*)\) -> .*$")


def overloads(name):
    """Argument type names of each overload, in the order the docstring lists them."""
    result = []
    for line in getattr(q, name).__doc__.splitlines():
        match = SIGNATURE.match(line)
        if match:
            result.append([part.split(": ")[1] for part in match.group(1).split(", ")])
    return result


class Plain:
    """A number-like object that is not a Python number; its repr is fixed for the transcript."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return float(self.value)

    def __complex__(self):
        return complex(self.value)

    def __repr__(self):
        return "Plain(%r)" % (self.value,)


SCALARS = {
    "float": [2.5, 3, True, 2j, "x", None, 10 ** 400, Plain(1.5), -0.0],
    "complex": [2.5 - 1j, 3, 2.5, False, "x", None, 10 ** 400, Plain(0.5), float("nan")],
}


def container(type_name, extent, rng, subclass=False):
    """A container of the class named, filled with small reproducible values."""
    kind_letter = type_name.split(".")[1]
    kind, letter = kind_letter[:-1], kind_letter[-1]
    value = (lambda: complex(rng.randint(-4, 4), rng.randint(-4, 4))) if letter in "cz" else (
        lambda: float(rng.randint(-4, 4)))
    if kind == "mat":
        cls = getattr(q, "mat" + letter)
        if subclass:
            cls = type("Sub" + cls.__name__, (cls,), {})
        obj = cls(*extent)
        for i in range(extent[0]):
            for j in range(extent[1]):
                obj[i, j] = value()
        return obj, obj
    vec = getattr(q, "vec" + letter)
    if subclass and kind == "vec":
        vec = type("Sub" + vec.__name__, (vec,), {})
    parent = vec(extent + 3 if kind == "view" else extent)
    for i in range(parent.numel()):
        parent[i] = value()
    return (parent[1:1 + extent], parent) if kind == "view" else (parent, parent)


def contents(obj):
    if hasattr(obj, "dim") and type(obj).__name__.startswith(("mat", "Submat")):
        return [repr(obj[i, j]) for j in range(obj.dim(1)) for i in range(obj.dim(0))]
    return [repr(obj[i]) for i in range(obj.numel())]


def extent_for(type_name, rng):
    if ".mat" in type_name:
        return (rng.randint(0, 3), rng.randint(0, 3))
    return rng.randint(0, 5)


def holding(type_name, count, rng):
    """An extent under which a container of this class has `count` elements."""
    if ".mat" not in type_name:
        return count
    return rng.choice([(count, 1), (1, count)]) if count else (0, rng.randint(0, 2))


def agreeing(name, types, rng):
    """Extents of the container arguments under which the call is well formed."""
    containers = [t for t in types if t not in SCALARS]
    m, n, k = rng.randint(0, 3), rng.randint(0, 3), rng.randint(0, 3)
    if name in ("gemv", "matvec"):
        A, x, y = containers
        return [(m, n) if ".mat" in A else m,
                (n, rng.randint(1, 2)) if ".mat" in x else n,
                (m, rng.randint(1, 2)) if ".mat" in y else m]
    if name in ("gemm", "matmul"):
        return [(m, k), (k, n), (m, n)]
    if name == "ls":
        return [(m, n), holding(containers[1], max(m, n) + rng.randint(0, 1), rng)]
    length = rng.randint(0, 5)
    if len(containers) == 1:
        return [holding(containers[0], length, rng)]
    return [holding(containers[0], length, rng), holding(containers[1], length + rng.randint(0, 2), rng)]


def call(function, args, wholes, out):
    try:
        result = function(*args)
        identity = [i for i, a in enumerate(args) if result is a]
        outcome = ["arg", identity[0]] if identity else ["value", repr(result), type(result).__name__]
    except Exception as error:  # every outcome is recorded, not judged
        outcome = ["raised", type(error).__name__, str(error)]
    out.append(json.dumps([function.__name__, outcome, [contents(w) for w in wholes]]))


def battery(seed, functions=q):
    rng = random.Random(seed)
    out = []
    for name in NAMES:
        function = getattr(functions, name)
        for types in overloads(name):
            for config in range(6):
                args, wholes = [], []
                extents = agreeing(name, types, rng) if config < 3 else None
                for t in types:
                    if t in SCALARS:
                        args.append(rng.choice(SCALARS[t][:3]))
                    else:
                        extent = extents.pop(0) if extents is not None else extent_for(t, rng)
                        obj, whole = container(t, extent, rng, subclass=(config == 5))
                        args.append(obj)
                        wholes.append(whole)
                call(function, args, wholes, out)
            # Every kind of scalar, on shapes that agree where the overload has any.
            for position, t in enumerate(types):
                if t not in SCALARS:
                    continue
                for scalar in SCALARS[t]:
                    args, wholes = [], []
                    for t2 in types:
                        if t2 in SCALARS:
                            args.append(1.0)
                        else:
                            obj, whole = container(t2, (2, 2) if ".mat" in t2 else 2, rng)
                            args.append(obj)
                            wholes.append(whole)
                    args[position] = scalar
                    call(function, args, wholes, out)
            # Operands that share storage: one object in two places of one class, and views of one
            # vector, overlapping and the same window, in the view places.
            places = [p for p, t in enumerate(types) if t not in SCALARS]
            shared = [(p1, p2, None) for p1 in places for p2 in places if p1 < p2 and types[p1] == types[p2]]
            views = [p for p in places if ".view" in types[p]]
            shared += [(p1, p2, window) for p1 in views for p2 in views if p1 < p2 for window in (1, 0)]
            for first, second, window in shared:
                args, wholes = [], []
                for t in types:
                    if t in SCALARS:
                        args.append(1.5)
                    else:
                        obj, whole = container(t, (2, 2) if ".mat" in t else 2, rng)
                        args.append(obj)
                        wholes.append(whole)
                if window is None:
                    args[second] = args[first]
                else:
                    parent, whole = container(types[first].replace("view", "vec"), 4, rng)
                    args[first], args[second] = parent[0:2], parent[window:window + 2]
                    wholes.append(whole)
                call(function, args, wholes, out)
            # Mismatches: another element type in one place, one argument short, a keyword.
            letters = "sdcz"
            for position, t in enumerate(types):
                if t in SCALARS:
                    continue
                other = t[:-1] + letters[(letters.index(t[-1]) + 1) % 4]
                args = [1.0 if t2 in SCALARS else container(t2, (2, 2) if ".mat" in t2 else 2, rng)[0]
                        for t2 in types]
                args[position] = container(other, (2, 2) if ".mat" in other else 2, rng)[0]
                call(function, args, [], out)
            args = [1.0 if t2 in SCALARS else container(t2, (1, 1) if ".mat" in t2 else 1, rng)[0] for t2 in types]
            call(function, args[:-1], [], out)
            try:
                function(*args, extra=1)
            except TypeError as error:
                out.append(json.dumps([name, "keyword", str(error)]))
            # An instance whose constructor never ran.
            for position, t in enumerate(types):
                if t in SCALARS:
                    continue
                bare_args = list(args)
                cls = getattr(q, t.split(".")[1])
                bare_args[position] = cls.__new__(cls)
                try:
                    function(*bare_args)
                    out.append(json.dumps([name, "bare", "accepted"]))
                except Exception as error:
                    out.append(json.dumps([name, "bare", type(error).__name__]))
    return out


if __name__ == "__main__":
    functions = __import__(sys.argv[2]) if len(sys.argv) > 2 else q
    for module in sys.argv[3:]:  # imported after the functions' module, as a program may
        __import__(module)
    lines = battery(int(sys.argv[1]) if len(sys.argv) > 1 else 1, functions)
    sys.stdout.write("\n".join(lines) + "\n")
