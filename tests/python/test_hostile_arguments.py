"""Hostile arguments to every method and function of queltcore, table by table.

Each row is a call with one argument out of the ordinary: integers past 64 bits or below zero,
floats where integers go, None, strings, bytes, nested lists, odd slices, objects of the wrong
class or never initialised, subclasses. Each is answered by the exception that the module's
rules give, compared with its whole message, and leaves every container it was handed as it
was; or, where the argument is legal however odd, by the result those rules give. Sizes at the
top of the 64-bit range and objects whose use could crash run in a child process each, so that
a crash fails its own case.
"""
import math
import os
import subprocess
import sys
import textwrap
import unittest

import queltcore as q
from support import quiet_stdout, stored
from test_operations import expected_signatures

LETTERS = "sdcz"
SCALAR = {"s": "float", "d": "float", "c": "complex", "z": "complex"}
MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "models")
COPY_MODEL = os.path.join(MODELS, "copy.onnx")
SIZE_MAX = 2 ** 64 - 1


class RaisingIndex:
    def __index__(self):
        raise ValueError("no index")


class HugeIndex:
    def __index__(self):
        return 2 ** 64


class OneIndex:
    def __index__(self):
        return 1


class ZeroIndex:
    def __index__(self):
        return 0


class RaisingNumber:
    def __float__(self):
        raise ValueError("no float")

    def __complex__(self):
        raise ValueError("no complex")


class PlainNumber:
    """A number that is no Python number: accepted where a float or complex converts."""

    def __float__(self):
        return 2.5

    def __complex__(self):
        return complex(2.5, -1)


# Nothing of these is an index, a count or a dimension number.
NOT_INDICES = [-1, -2 ** 63, 2 ** 64, 2 ** 100, 1.0, -0.0, math.nan, math.inf, 1j, None, "0", b"0", bytearray(b"0"),
               [0], [[0]], (0,), {0: 0}, object(), RaisingIndex(), HugeIndex()]
# Nothing of these is an element value of any type.
NOT_VALUES = [None, "1", b"1", [1.0], [[1.0]], (1.0,), {1: 1}, object(), 10 ** 400, -10 ** 400, RaisingNumber()]
# Nothing of these is a matrix index.
NOT_PAIRS = [0, None, (0,), (0, 0, 0), [0, -1], (-1, 0), [0, 2 ** 64], (0.0, 0), [0, None], "ab", [[0], [0]],
             {0: 0, 1: 0}, object()]


def shown(value):
    try:
        return repr(value)
    except Exception:  # what the binding layer shows for it
        return "<repr raised Error>"


def incompatible(name, signatures, args, kwargs=None, constructor=False):
    """The binding layer's TypeError text for arguments that no overload takes."""
    lines = ["    %d. %s" % (i + 1, s) for i, s in enumerate(signatures)]
    invoked = ", ".join(shown(a) for a in args)
    if kwargs:
        invoked += ("; " if args else "") + "kwargs: " + ", ".join("%s=%s" % (k, shown(v)) for k, v in kwargs.items())
    return "%s(): incompatible %s arguments. The following argument types are supported:\n%s\n\nInvoked with: %s" % (
        name, "constructor" if constructor else "function", "\n".join(lines), invoked)


def method_signatures(kind, letter):
    cls = "queltcore.%s%s" % (kind, letter)
    view = "queltcore.view" + letter
    element = SCALAR[letter]
    index = "Tuple[int, int]" if kind == "mat" else "int"
    getters = ["(self: %s, arg0: %s) -> %s" % (cls, index, element)]
    if kind != "mat":
        getters.append("(self: %s, arg0: slice) -> %s" % (cls, view))
    return {
        "__init__": ["%s(arg0: int, arg1: int)" % cls] if kind == "mat" else ["%s(arg0: int)" % cls],
        "numel": ["(self: %s) -> int" % cls],
        "dim": ["(self: %s, arg0: int) -> int" % cls],
        "__getitem__": getters,
        "__setitem__": ["(self: %s, arg0: %s, arg1: %s) -> None" % (cls, index, element)],
        "__repr__": ["(self: %s) -> str" % cls],
    }


MODEL_SIGNATURES = {
    "__init__": ["queltcore.model(arg0: str)"],
    "run": ["(self: queltcore.model) -> None"],
    "set": ["(self: queltcore.model, arg0: int, arg1: List[int], arg2: float) -> None"],
    "get": ["(self: queltcore.model, arg0: int, arg1: List[int]) -> float"],
}


def function_signatures(name):
    return [s.replace(name + "(", "(", 1) for s in expected_signatures()[name]]


def make(kind, letter, size=3):
    """A container of this kind: a vector holding 0, 1, 2, ...; a view of `size` elements one
    into such a vector two longer; a matrix of `size` rows and 2 columns holding 1, 2, 3, ...
    in storage order."""
    if kind == "mat":
        obj = getattr(q, "mat" + letter)(size, 2)
        for i in range(size):
            for j in range(2):
                obj[i, j] = 1 + i + size * j
        return obj
    length = size + 2 if kind == "view" else size
    vec = getattr(q, "vec" + letter)(length)
    for i in range(length):
        vec[i] = i
    return vec[1:size + 1] if kind == "view" else vec


def state(obj):
    return repr(obj)


def run_child(script):
    """Runs `script` in a fresh interpreter; its output, or what ended it."""
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, universal_newlines=True,
                           cwd=os.path.dirname(os.path.abspath(__file__)))
    if child.returncode != 0:
        raise AssertionError("the child process ended with status %d after writing\n%s\n%s"
                             % (child.returncode, child.stdout[-2000:], child.stderr[-3000:]))
    return child.stdout


class Table(unittest.TestCase):
    def assertRow(self, label, call, error_type, message, operands=()):
        """Runs one row: the exception and its whole message, and operands left as they were."""
        before = [state(o) for o in operands]
        with self.subTest(row=label):
            with self.assertRaises(error_type) as caught:
                call()
            self.assertEqual(str(caught.exception), message)
            self.assertEqual([state(o) for o in operands], before)


class ContainerMethods(Table):
    def test_constructors(self):
        for letter in LETTERS:
            for kind in ("vec", "mat"):
                cls = getattr(q, kind + letter)
                signatures = method_signatures(kind, letter)["__init__"]
                good = [3] if kind == "vec" else [3, 2]
                rows = [(list(good[:-1]) + [bad], {}) for bad in NOT_INDICES]
                rows += [([bad] + list(good[1:]), {}) for bad in (-1, 2 ** 64, 2.0, None, "3")]
                rows += [([], {}), (good + [1], {}), ([], {"n": 3}), (good[:1], {"cols": 2})]
                for args, kwargs in rows:
                    self.assertRow("%s%r%r" % (cls.__name__, args, kwargs), lambda: cls(*args, **kwargs), TypeError,
                                   incompatible("__init__", signatures, args, kwargs, constructor=True))
                # A shape whose element count overflows is refused before anything is allocated.
                if kind == "mat":
                    for rows_, cols in ((2 ** 63, 2), (2 ** 32, 2 ** 32), (SIZE_MAX, SIZE_MAX)):
                        self.assertRow("%s(%d, %d)" % (cls.__name__, rows_, cols), lambda: cls(rows_, cols), RuntimeError,
                                       "matrix of %d rows and %d columns has too many elements" % (rows_, cols))
                    self.assertEqual(cls(SIZE_MAX, 0).numel(), 0)
                    self.assertEqual((cls(0, SIZE_MAX).dim(0), cls(0, SIZE_MAX).dim(1)), (0, SIZE_MAX))

    def test_counts_too_large_to_allocate(self):
        # Every count here exceeds what the allocator can ever provide: each must be refused with
        # MemoryError before any storage is touched, and the process goes on. Counts a few short
        # of 2**64 are where a storage size computed without care wraps around to a small one.
        sizes = [2 ** 62, 2 ** 63, 2 ** 64 - 2 ** 32] + [SIZE_MAX - k for k in range(16, -1, -1)]
        script = """
            import queltcore as q
            for cls, shape in %r:
                print(cls, shape, end=" ", flush=True)
                try:
                    getattr(q, cls)(*shape)
                except MemoryError as error:
                    print("MemoryError", error)
                else:
                    print("made")
        """
        cases = [("vec" + letter, (n,)) for letter in LETTERS for n in sizes]
        cases += [("mat" + letter, shape) for letter in LETTERS
                  for shape in ((SIZE_MAX, 1), (1, SIZE_MAX), (2 ** 32 + 1, 2 ** 32 - 1), (3, (SIZE_MAX - 3) // 3))]
        for letter in LETTERS:
            with self.subTest(letter=letter):
                mine = [c for c in cases if c[0].endswith(letter)]
                lines = run_child(script % (mine,)).splitlines()
                self.assertEqual(len(lines), len(mine))
                for (cls, shape), line in zip(mine, lines):
                    self.assertIn(line, ["%s %r MemoryError std::bad_array_new_length" % (cls, shape),
                                         "%s %r MemoryError std::bad_alloc" % (cls, shape)])

    def test_element_access(self):
        for letter in LETTERS:
            for kind in ("vec", "view", "mat"):
                obj = make(kind, letter)
                name = type(obj).__name__
                signatures = method_signatures(kind, letter)
                bad_indices = NOT_PAIRS if kind == "mat" else NOT_INDICES
                for bad in bad_indices:
                    self.assertRow("%s[%r]" % (name, bad), lambda: obj[bad], TypeError,
                                   incompatible("__getitem__", signatures["__getitem__"], [obj, bad]), [obj])
                    self.assertRow("%s[%r] = 1" % (name, bad), lambda: obj.__setitem__(bad, 1), TypeError,
                                   incompatible("__setitem__", signatures["__setitem__"], [obj, bad, 1]), [obj])
                good = (0, 1) if kind == "mat" else 1
                for bad in NOT_VALUES + ([1j, 2 - 1j] if letter in "sd" else []):
                    self.assertRow("%s[%r] = %r" % (name, good, bad), lambda: obj.__setitem__(good, bad), TypeError,
                                   incompatible("__setitem__", signatures["__setitem__"], [obj, good, bad]), [obj])
                for args in ([], [good, 1, 2]):
                    self.assertRow("%s.__setitem__%r" % (name, args), lambda: obj.__setitem__(*args), TypeError,
                                   incompatible("__setitem__", signatures["__setitem__"], [obj] + args), [obj])

    def test_indices_that_convert_but_lie_outside(self):
        for letter in LETTERS:
            for kind in ("vec", "view"):
                obj = make(kind, letter)
                for index in (3, 4, 2 ** 63, SIZE_MAX):
                    message = "index %d exceeds max number of elements 3" % index
                    self.assertRow("%r" % index, lambda: obj[index], RuntimeError, message, [obj])
                    self.assertRow("%r =" % index, lambda: obj.__setitem__(index, 5), RuntimeError, message, [obj])
            m = make("mat", letter)
            # (row, column) -> the first check that refuses it: the position wraps around 2**64.
            cases = {(SIZE_MAX, SIZE_MAX): "requested array index %dexceeds max number of elements 6" % (2 ** 64 - 4),
                     (0, 2 ** 63): "requested array index %dexceeds max number of elements 6" % (3 * 2 ** 63 % 2 ** 64),
                     (SIZE_MAX, 1): "index for dimension 0%dexceeds max number of elements for that dimension 3"
                                    % SIZE_MAX,
                     (3, 0): "index for dimension 03exceeds max number of elements for that dimension 3"}
            # A column whose position wraps around to land inside the storage: refused by the
            # column check alone, (2**64 + 2) / 3 columns of 3 rows being position 2.
            column = (2 ** 64 + 2) // 3
            cases[(0, column)] = "index for dimension 1%dexceeds max number of elements for that dimension 2" % column
            for (i, j), message in cases.items():
                self.assertRow("(%d, %d)" % (i, j), lambda: m[i, j], RuntimeError, message, [m])
                self.assertRow("(%d, %d) =" % (i, j), lambda: m.__setitem__((i, j), 5), RuntimeError, message, [m])

    def test_odd_arguments_that_are_legal(self):
        for letter in LETTERS:
            v = make("vec", letter)
            # bool is an int, and objects with __index__ are indices.
            self.assertEqual((v[True], v[OneIndex()]), (v[1], v[1]))
            v[OneIndex()] = 7
            self.assertEqual(v[1], 7)
            # Objects that convert to a number are element values.
            v[0] = PlainNumber()
            self.assertEqual(v[0], stored(letter, PlainNumber()) if letter in "cz" else 2.5)
            v[0] = True
            self.assertEqual(v[0], 1)
            # Values beyond single precision round to infinity there.
            v[0] = 1e300
            self.assertEqual(v[0], math.inf if letter == "s" else (complex(math.inf, 0) if letter == "c" else 1e300))
            v[0] = math.nan
            self.assertTrue(math.isnan(abs(v[0])))
            m = make("mat", letter)
            # A matrix index is any sequence of two integers: bytes and ranges are sequences.
            self.assertEqual((m[b"\x01\x01"], m[range(0, 2)], m[[True, False]]), (m[1, 1], m[0, 1], m[1, 0]))

    def test_slices(self):
        for letter in LETTERS:
            for kind in ("vec", "view"):
                obj = make(kind, letter, 5)
                values = [obj[i] for i in range(5)]
                view = "view" + letter
                for key, expected in [(slice(None, None), values), (slice(2 ** 63, None), []),
                                      (slice(-2 ** 100, 2 ** 100), values), (slice(10 ** 30, -10 ** 30), []),
                                      (slice(True, OneIndex()), []), (slice(OneIndex(), 3), values[1:3]),
                                      (slice(-2, None, 1), values[3:]), (slice(4, 1), []),
                                      (slice(HugeIndex(), None), [])]:
                    with self.subTest(kind=kind, key=key):
                        window = obj[key]
                        self.assertIs(type(window), getattr(q, view))
                        self.assertEqual([window[i] for i in range(window.numel())], expected)
                for key in (slice(None, None, 2 ** 100), slice(None, None, -2 ** 100), slice(0, 5, -1)):
                    self.assertRow("%r" % key, lambda: obj[key], RuntimeError, "stepsizes larger than 1 invalid for vector",
                                   [obj])
                self.assertRow("step 0", lambda: obj[::0], ValueError, "slice step cannot be zero", [obj])
                for key in (slice(1.5, None), slice(None, "a"), slice(b"0", None), slice(None, [1]),
                            slice(None, None, 1.0)):
                    self.assertRow("%r" % key, lambda: obj[key], TypeError,
                                   "slice indices must be integers or None or have an __index__ method", [obj])
                # Python's own error from resolving the slice propagates.
                self.assertRow("raising index", lambda: obj[slice(RaisingIndex(), None)], ValueError, "no index", [obj])

    def test_dimensions_and_rendering(self):
        for letter in LETTERS:
            for kind in ("vec", "view", "mat"):
                obj = make(kind, letter)
                name = type(obj).__name__
                signatures = method_signatures(kind, letter)
                for bad in NOT_INDICES:
                    self.assertRow("%s.dim(%r)" % (name, bad), lambda: obj.dim(bad), TypeError,
                                   incompatible("dim", signatures["dim"], [obj, bad]), [obj])
                what = "matrix" if kind == "mat" else "vector"
                for number in (2, 2 ** 63, SIZE_MAX):
                    self.assertRow("%s.dim(%d)" % (name, number), lambda: obj.dim(number), RuntimeError,
                                   "dimension %d invalid for %s" % (number, what), [obj])
                self.assertRow("%s.numel(0)" % name, lambda: obj.numel(0), TypeError,
                               incompatible("numel", signatures["numel"], [obj, 0]), [obj])
                self.assertRow("%s.__repr__(None)" % name, lambda: obj.__repr__(None), TypeError,
                               incompatible("__repr__", signatures["__repr__"], [obj, None]), [obj])

    def test_methods_called_on_objects_of_another_class(self):
        for letter in LETTERS:
            for kind in ("vec", "view", "mat"):
                cls = getattr(q, kind + letter)
                signatures = method_signatures(kind, letter)
                strangers = [make("vec", "d" if letter != "d" else "s"), make("mat" if kind != "mat" else "vec", letter),
                             3, [1.0], q.model]
                for other in strangers:
                    self.assertRow("%s.numel(%r)" % (cls.__name__, type(other)), lambda: cls.numel(other), TypeError,
                                   incompatible("numel", signatures["numel"], [other]))
                    self.assertRow("%s.dim(%r)" % (cls.__name__, type(other)), lambda: cls.dim(other, 0), TypeError,
                                   incompatible("dim", signatures["dim"], [other, 0]))

    def test_methods_called_on_none(self):
        # In a child process: a method that took None for its object and used it would end the
        # process; each call is named before it is made, so the output shows which one did.
        calls = [(kind + letter, method, args) for letter in LETTERS for kind in ("vec", "view", "mat")
                 for method, args in (("numel", []), ("dim", [0]), ("__repr__", []),
                                      ("__getitem__", [(0, 0) if kind == "mat" else 0]),
                                      ("__setitem__", [(0, 0) if kind == "mat" else 0, 1.0]))]
        calls += [("model", "run", []), ("model", "set", [0, [0, 0], 1.0]), ("model", "get", [0, [0, 0]])]
        out = run_child("""
            import queltcore as q
            for cls, method, args in %r:
                print("%%s.%%s" %% (cls, method), end=" ", flush=True)
                try:
                    getattr(getattr(q, cls), method)(None, *args)
                except Exception as error:
                    print(repr((type(error).__name__, str(error))))
                else:
                    print("accepted")
        """ % (calls,))
        expected = []
        for cls, method, args in calls:
            signatures = (MODEL_SIGNATURES if cls == "model" else method_signatures(cls[:-1], cls[-1]))[method]
            expected.append("%s.%s %r" % (cls, method, ("TypeError", incompatible(method, signatures, [None] + args))))
        self.assertEqual(out.splitlines(), expected)

    def test_subclasses(self):
        for letter in LETTERS:
            vec, view, mat = (getattr(q, k + letter) for k in ("vec", "view", "mat"))
            SubVec = type("SubVec", (vec,), {})
            SubMat = type("SubMat", (mat,), {})
            v, m, A = SubVec(3), SubMat(3, 1), SubMat(1, 3)
            v[0], v[1], v[2] = 1, 2, 3
            A[0, 0], A[0, 1], A[0, 2] = 1, 1, 1
            # Accepted wherever the base class is, and the very object comes back.
            self.assertIs(q.copy(v, m), m)
            self.assertEqual([m[i, 0] for i in range(3)], [1, 2, 3])
            self.assertIs(type(q.gemv(2, 0, A, m, v[0:1])), view)
            self.assertEqual(v[0], 12)
            self.assertIs(type(v[:]), view)
            # A view class has no constructor, subclassed or not.
            SubView = type("SubView", (view,), {})
            self.assertRow("SubView()", SubView, TypeError, "SubView: No constructor defined!")
            # A subclass must run the constructor it overrides.
            Lazy = type("Lazy", (vec,), {"__init__": lambda self, n: None})
            self.assertRow("Lazy(3)", lambda: Lazy(3), TypeError,
                           "queltcore.%s.__init__() must be called when overriding __init__" % vec.__name__)

    def test_uninitialised_objects(self):
        for letter in LETTERS:
            for kind in ("vec", "view", "mat"):
                cls = getattr(q, kind + letter)
                sub = type("Sub" + cls.__name__, (cls,), {})
                for c in (cls, sub):
                    bare = c.__new__(c)
                    name = "queltcore." + cls.__name__ if c is cls else sub.__name__
                    message = "%s object is not initialised" % name
                    index = (0, 0) if kind == "mat" else 0
                    for label, call in [("numel", bare.numel), ("dim", lambda: bare.dim(0)), ("repr", lambda: repr(bare)),
                                        ("get", lambda: bare[index]), ("set", lambda: bare.__setitem__(index, 1))]:
                        self.assertRow("%s %s" % (name, label), call, TypeError, message)
                    if kind != "mat":
                        self.assertRow("%s slice" % name, lambda: bare[0:1], TypeError, message)

    def test_a_second_init_is_ignored(self):
        # The binding layer ignores __init__ on an object that is already made: the object keeps
        # its storage and its views stay valid.
        for letter in LETTERS:
            v = make("vec", letter)
            w = v[1:3]
            before = state(v)
            self.assertIsNone(v.__init__(100))
            self.assertIsNone(v.__init__(-1))
            self.assertEqual((state(v), v.numel()), (before, 3))
            self.assertEqual([w[0], w[1]], [v[1], v[2]])
            m = make("mat", letter)
            before = state(m)
            m.__init__(1, 1)
            self.assertEqual(state(m), before)


class Functions(Table):
    """Module functions with each argument replaced by something no overload takes."""

    def setUp(self):
        self.signatures = {name: function_signatures(name) for name in expected_signatures()}

    def arguments(self, name, letter):
        """Well-formed arguments of a call: scalars, then containers of agreeing shapes."""
        vec, mat = (lambda n: make("vec", letter, n)), (lambda r, c: getattr(q, "mat" + letter)(r, c))
        if name == "scale":
            return [2.0], [vec(3)]
        if name in ("sum", "dot", "copy", "swap", "hdot"):
            return [], [vec(3), make("view", letter, 3)]
        if name == "axpy":
            return [2.0], [vec(3), make("view", letter, 3)]
        if name == "ls":
            A = mat(2, 2)
            A[0, 0], A[1, 1] = 2, 4
            return [], [A, vec(2)]
        if name in ("gemv", "matvec"):
            return ([2.0, 0.0] if name == "gemv" else []), [mat(2, 3), vec(3), make("view", letter, 2)]
        return ([2.0, 0.0] if name == "gemm" else []), [mat(2, 3), mat(3, 1), mat(2, 1)]

    def letters(self, name):
        return "cz" if name == "hdot" else LETTERS

    def test_container_places(self):
        for name in self.signatures:
            for letter in self.letters(name):
                scalars, containers = self.arguments(name, letter)
                other = "d" if letter != "d" else "z"
                strangers = [None, 1, 2.5, "x", b"x", [1.0, 2.0], [[1.0]], (1.0,), {1: 1}, object(), q.model]
                if len(containers) > 1:
                    # With one container only, another element type is just another overload.
                    strangers += [make("vec", other), getattr(q, "mat" + other)(2, 2)]
                if name in ("gemm", "matmul"):
                    strangers.append(make("vec", letter))
                if name == "ls":
                    strangers.append(make("view", letter))
                for position in range(len(containers)):
                    for stranger in strangers:
                        if name == "ls" and position == 1 and stranger is strangers[-1]:
                            continue  # any kind stands as b
                        args = scalars + containers[:position] + [stranger] + containers[position + 1:]
                        self.assertRow("%s %s place %d %s" % (name, letter, position, type(stranger).__name__),
                                       lambda: getattr(q, name)(*args), TypeError,
                                       incompatible(name, self.signatures[name], args), containers)

    def test_scalar_places(self):
        for name in ("scale", "axpy", "gemv", "gemm"):
            for letter in LETTERS:
                scalars, containers = self.arguments(name, letter)
                strangers = [None, "2", b"2", [2.0], (2.0,), object(), 10 ** 400, RaisingNumber(), containers[-1]]
                if letter in "sd":
                    strangers += [1j, complex(2, 0)]
                for position in range(len(scalars)):
                    for stranger in strangers:
                        args = scalars[:position] + [stranger] + scalars[position + 1:] + containers
                        self.assertRow("%s %s scalar %d %r" % (name, letter, position, type(stranger).__name__),
                                       lambda: getattr(q, name)(*args), TypeError,
                                       incompatible(name, self.signatures[name], args), containers)

    def test_argument_counts_and_keywords(self):
        for name in self.signatures:
            letter = "z"
            scalars, containers = self.arguments(name, letter)
            args = scalars + containers
            for call_args, kwargs in [([], {}), (args[:-1], {}), (args + [args[-1]], {}), (args, {"extra": 1}),
                                      (args[:-1], {"y": args[-1]})]:
                self.assertRow("%s %d %r" % (name, len(call_args), sorted(kwargs)),
                               lambda: getattr(q, name)(*call_args, **kwargs), TypeError,
                               incompatible(name, self.signatures[name], call_args, kwargs), containers)

    def test_uninitialised_containers(self):
        for name in self.signatures:
            for letter in self.letters(name):
                scalars, containers = self.arguments(name, letter)
                for position, obj in enumerate(containers):
                    cls = type(obj)
                    args = scalars + containers[:position] + [cls.__new__(cls)] + containers[position + 1:]
                    self.assertRow("%s %s place %d" % (name, letter, position), lambda: getattr(q, name)(*args),
                                   TypeError, "queltcore.%s object is not initialised" % cls.__name__, containers)

    def test_odd_scalars_that_are_legal(self):
        for letter in LETTERS:
            v = make("vec", letter)
            # An int beyond the float's exact range, an object convertible to a number, a bool.
            self.assertIs(q.scale(2 ** 70, v), v)
            self.assertEqual([v[i] for i in range(3)], [stored(letter, i * 2.0 ** 70) for i in range(3)])
            self.assertIs(q.scale(PlainNumber(), v), v)
            self.assertIs(q.scale(True, v), v)
            self.assertIs(q.axpy(False, v, v), v)
            factor = stored(letter, PlainNumber()) if letter in "cz" else 2.5
            self.assertEqual([v[i] for i in range(3)], [stored(letter, i * 2.0 ** 70 * factor) for i in range(3)])


class ModelClass(Table):
    def setUp(self):
        with quiet_stdout():
            self.model = q.model(COPY_MODEL)
        self.model.set(0, [0, 0], 1.5)
        self.model.set(0, [0, 1], -2.5)

    def tearDown(self):
        # Refused calls changed nothing: the inputs still give the same outputs.
        self.model.run()
        self.assertEqual((self.model.get(0, [0, 0]), self.model.get(0, [0, 1])), (1.5, -2.5))

    def test_constructor(self):
        for args, kwargs in [([None], {}), ([5], {}), ([["a"]], {}), (["\udcff"], {}), ([], {}),
                             ([COPY_MODEL, 1], {}), ([], {"path": COPY_MODEL}), ([os.fsencode(COPY_MODEL)[:-1]], {})]:
            if args and isinstance(args[0], bytes):
                missing = args[0].decode()
                self.assertRow("bytes path", lambda: q.model(*args), RuntimeError,
                               "Load model from %s failed:Load model %s failed. File doesn't exist" % (missing, missing))
                continue
            self.assertRow("model%r%r" % (args, kwargs), lambda: q.model(*args, **kwargs), TypeError,
                           incompatible("__init__", MODEL_SIGNATURES["__init__"], args, kwargs, constructor=True))
        self.assertRow("empty path", lambda: q.model(""), RuntimeError,
                       "Load model from  failed:Load model  failed. File doesn't exist")

    def test_path_with_a_nul_character_names_no_file(self):
        # The path goes to the runtime as a C string: what follows a NUL would be cut off, and
        # the model of another file loaded. No file has such a name.
        for suffix in ("\x00", "\x00.missing", "\x00/../copy.onnx"):
            with self.subTest(suffix=suffix), quiet_stdout():
                with self.assertRaises(RuntimeError) as refused:
                    q.model(COPY_MODEL + suffix)
                self.assertEqual(str(refused.exception), "model path contains a NUL character")

    def test_set_and_get(self):
        m = self.model
        rows = []
        for bad in NOT_INDICES:
            rows.append(("set", [bad, [0, 0], 1.0]))
            rows.append(("get", [bad, [0, 0]]))
        for bad in [None, 0, "00", b"\x00\x00", [0.5, 0], [[0, 0]], [0, None], [0, 2 ** 63],
                    [-2 ** 63 - 1, 0], [0, "0"], {0: 0}, object()]:
            rows.append(("set", [0, bad, 1.0]))
            rows.append(("get", [0, bad]))
        for bad in NOT_VALUES + [1j]:
            rows.append(("set", [0, [0, 0], bad]))
        rows += [("set", [0, [0, 0]]), ("get", [0]), ("get", [0, [0, 0], 1.0]), ("run", [1])]
        for method, args in rows:
            self.assertRow("%s%r" % (method, args), lambda: getattr(m, method)(*args), TypeError,
                           incompatible(method, MODEL_SIGNATURES[method], [m] + args))

    def test_positions_and_indices_that_convert(self):
        m = self.model
        for position in (1, 2 ** 63, SIZE_MAX):
            self.assertRow("set %d" % position, lambda: m.set(position, [0, 0], 9.0), RuntimeError,
                           "index %d exceeds max number of inputs 1" % position)
            self.assertRow("get %d" % position, lambda: m.get(position, [0, 0]), RuntimeError,
                           "index %d exceeds max number of outputs 1" % position)
        for index in ([0, 2 ** 63 - 1], [-2 ** 63, 0], [2 ** 62, 2 ** 62], [0, -1]):
            self.assertRow("set %r" % index, lambda: m.set(0, index, 9.0), RuntimeError, "invalid location range")
            self.assertRow("get %r" % index, lambda: m.get(0, index), RuntimeError, "invalid location range")
        for index in ([0] * 1000, [], [0, 0, 0]):
            self.assertRow("set %d" % len(index), lambda: m.set(0, index, 9.0), RuntimeError,
                           "location dimensions do not match shape size")
        # Any sequence but str and bytes is a multi-index; bool and __index__ objects are positions.
        m.set(False, (0, 0), 1.5)
        m.set(ZeroIndex(), bytearray(2), 1.5)
        m.run()
        self.assertEqual((m.get(ZeroIndex(), range(2)), m.get(False, (0, 0))), (-2.5, 1.5))

    def test_uninitialised_model(self):
        # An object made without its constructor holds no model; each method must refuse it.
        out = run_child("""
            import queltcore as q
            bare = q.model.__new__(q.model)
            for call in (bare.run, lambda: bare.set(0, [0, 0], 1.0), lambda: bare.get(0, [0, 0])):
                try:
                    call()
                except Exception as error:
                    print(type(error).__name__, error)
                else:
                    print("accepted")
        """)
        self.assertEqual(out.splitlines(), ["TypeError queltcore.model object is not initialised"] * 3)

    def test_second_init_and_subclass(self):
        m = self.model
        self.assertIsNone(m.__init__(os.path.join(MODELS, "reshape.onnx")))
        self.assertIsNone(m.__init__(None))
        Sub = type("Sub", (q.model,), {})
        with quiet_stdout():
            s = Sub(COPY_MODEL)
        s.set(0, [0, 1], 4.0)
        s.run()
        self.assertEqual(s.get(0, [0, 1]), 4.0)


if __name__ == "__main__":
    unittest.main()
