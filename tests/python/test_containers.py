"""The container classes from Python: storage sharing, slicing, conversions, rendering, errors."""
import ast
import glob
import math
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import queltcore as q

LETTERS = "sdcz"
REAL_NAME = {"s": "float", "d": "float", "c": "complex", "z": "complex"}


def classes(letter):
    return (getattr(q, "vec" + letter), getattr(q, "view" + letter), getattr(q, "mat" + letter))


def value(letter, x):
    """A test value of the element type: complex ones get a nonzero imaginary part."""
    return complex(x, -x / 2) if letter in "cz" else float(x)


def filled(letter, n):
    vec = classes(letter)[0](n)
    for i in range(n):
        vec[i] = value(letter, i + 1)
    return vec


def message(call):
    try:
        call()
    except RuntimeError as error:
        return str(error)
    return None


class RegistrationTest(unittest.TestCase):
    def test_classes_and_their_methods_in_order(self):
        names = [name for name in dir(q) if not name.startswith("_")]
        for letter in LETTERS:
            for prefix in ("vec", "view", "mat"):
                self.assertIn(prefix + letter, names)
        # Classes are registered s, d, c, z and vector, view, matrix within each.
        order = list(vars(q))
        positions = [order.index(p + l) for l in LETTERS for p in ("vec", "view", "mat")]
        self.assertEqual(positions, sorted(positions))
        self.assertEqual(
            [m for m in vars(q.vecs) if not m.startswith("__") or m in ("__init__", "__getitem__", "__setitem__", "__repr__")],
            ["__init__", "numel", "dim", "__getitem__", "__setitem__", "__repr__"])
        self.assertEqual(
            [m for m in vars(q.matd) if not m.startswith("__") or m in ("__init__", "__getitem__", "__setitem__", "__repr__")],
            ["__init__", "dim", "numel", "__getitem__", "__setitem__", "__repr__"])

    def test_signatures_as_generated(self):
        for letter in LETTERS:
            t = REAL_NAME[letter]
            vec, view, mat = ("queltcore." + p + letter for p in ("vec", "view", "mat"))
            vec_cls, view_cls, mat_cls = classes(letter)
            self.assertEqual(vec_cls.__init__.__doc__, "__init__(self: %s, arg0: int) -> None\n" % vec)
            self.assertEqual(mat_cls.__init__.__doc__, "__init__(self: %s, arg0: int, arg1: int) -> None\n" % mat)
            for cls, name in ((vec_cls, vec), (view_cls, view)):
                self.assertEqual(
                    cls.__getitem__.__doc__,
                    "__getitem__(*args, **kwargs)\nOverloaded function.\n\n"
                    "1. __getitem__(self: {0}, arg0: int) -> {1}\n\n"
                    "2. __getitem__(self: {0}, arg0: slice) -> {2}\n".format(name, t, view))
                self.assertEqual(cls.__setitem__.__doc__,
                                 "__setitem__(self: %s, arg0: int, arg1: %s) -> None\n" % (name, t))
                self.assertEqual(cls.dim.__doc__, "dim(self: %s, arg0: int) -> int\n" % name)
                self.assertEqual(cls.numel.__doc__, "numel(self: %s) -> int\n" % name)
                self.assertEqual(cls.__repr__.__doc__, "__repr__(self: %s) -> str\n" % name)
            self.assertEqual(mat_cls.__getitem__.__doc__,
                             "__getitem__(self: %s, arg0: Tuple[int, int]) -> %s\n" % (mat, t))
            self.assertEqual(mat_cls.__setitem__.__doc__,
                             "__setitem__(self: %s, arg0: Tuple[int, int], arg1: %s) -> None\n" % (mat, t))

    def test_no_docstrings_equality_or_length(self):
        self.assertIsNone(q.__doc__)
        for letter in LETTERS:
            for cls in classes(letter):
                self.assertIsNone(cls.__doc__)
        a, b = q.vecs(3), q.vecs(3)
        self.assertFalse(a == b)
        self.assertTrue(a == a)
        self.assertEqual(str(a), repr(a))
        with self.assertRaises(TypeError):
            len(a)

    def test_views_have_no_constructor(self):
        for letter in LETTERS:
            with self.assertRaises(TypeError) as caught:
                classes(letter)[1]()
            self.assertEqual(str(caught.exception), "queltcore.view%s: No constructor defined!" % letter)


class ElementAccessTest(unittest.TestCase):
    def test_new_containers_are_zero(self):
        for letter in LETTERS:
            with self.subTest(letter=letter):
                vec, _, mat = classes(letter)
                v, m = vec(5), mat(2, 3)
                self.assertEqual([v[i] for i in range(5)], [0] * 5)
                self.assertEqual([m[i, j] for i in range(2) for j in range(3)], [0] * 6)
                self.assertEqual(type(v[0]), complex if letter in "cz" else float)

    def test_index_messages(self):
        for letter in LETTERS:
            with self.subTest(letter=letter):
                vec, _, mat = classes(letter)
                v = vec(10)
                self.assertEqual(message(lambda: v[10]), "index 10 exceeds max number of elements 10")
                self.assertEqual(message(lambda: v.__setitem__(10, 1.0)), "index 10 exceeds max number of elements 10")
                w = v[2:5]
                self.assertEqual(message(lambda: w[3]), "index 3 exceeds max number of elements 3")
                m = mat(2, 3)
                self.assertEqual(message(lambda: m[0, 3]), "requested array index 6exceeds max number of elements 6")
                self.assertEqual(message(lambda: m[2, 0]),
                                 "index for dimension 02exceeds max number of elements for that dimension 2")
                self.assertEqual(message(lambda: m.__setitem__((2, 0), 1)),
                                 "index for dimension 02exceeds max number of elements for that dimension 2")
                self.assertEqual(m[1, 2], 0)

    def test_refused_write_changes_nothing(self):
        v = filled("d", 3)
        with self.assertRaises(RuntimeError):
            v[3] = 9.0
        m = q.matd(2, 2)
        with self.assertRaises(RuntimeError):
            m[0, 2] = 9.0
        self.assertEqual([v[i] for i in range(3)], [1.0, 2.0, 3.0])
        self.assertEqual([m[i, j] for i in range(2) for j in range(2)], [0.0] * 4)

    def test_dimensions(self):
        for letter in LETTERS:
            with self.subTest(letter=letter):
                vec, _, mat = classes(letter)
                v = vec(7)
                self.assertEqual((v.numel(), v.dim(0)), (7, 7))
                self.assertEqual(message(lambda: v.dim(1)), "dimension 1 invalid for vector")
                w = v[1:3]
                self.assertEqual((w.numel(), w.dim(0)), (2, 2))
                self.assertEqual(message(lambda: w.dim(5)), "dimension 5 invalid for vector")
                m = mat(2, 3)
                self.assertEqual((m.dim(0), m.dim(1), m.numel()), (2, 3, 6))
                self.assertEqual(message(lambda: m.dim(2)), "dimension 2 invalid for matrix")

    def test_matrix_is_column_major_and_takes_any_pair(self):
        m = q.matd(2, 3)
        m[1, 2] = 5.0
        m[[1, 0]] = 3.0
        self.assertEqual(m[[1, 2]], 5.0)
        self.assertEqual(m[(1, 0)], 3.0)
        flat = q.vecd(6)
        q_copy = getattr(q, "copy", None)
        if q_copy is not None:
            q_copy(m, flat)
            self.assertEqual([flat[i] for i in range(6)], [0.0, 3.0, 0.0, 0.0, 0.0, 5.0])
        with self.assertRaises(TypeError):
            m[1]
        with self.assertRaises(TypeError):
            m[1, 2, 3]

    def test_scalar_conversions(self):
        v = q.vecs(3)
        v[0] = 1
        self.assertEqual((type(v[0]), v[0]), (float, 1.0))
        v[1] = 0.1
        self.assertEqual(v[1], 0.10000000149011612)  # rounded to single precision
        d = q.vecd(1)
        d[0] = 0.1
        self.assertEqual(d[0], 0.1)
        z = q.vecz(2)
        z[1] = 2.5
        self.assertEqual(z[1], 2.5 + 0j)
        c = q.vecc(1)
        c[0] = complex(0.1, 0.2)
        self.assertEqual(c[0], complex(0.10000000149011612, 0.20000000298023224))
        for bad in ("x", None, [1.0]):
            for cont in (v, z):
                with self.assertRaises(TypeError):
                    cont[0] = bad
        with self.assertRaises(TypeError):
            v[0] = 1j

    def test_rejected_indices_and_counts(self):
        v = q.vecd(3)
        for bad in (-1, 1.0, None, "0"):
            with self.subTest(index=bad):
                with self.assertRaises(TypeError):
                    v[bad]
        for bad in (-1, 2.0, None):
            with self.subTest(count=bad):
                with self.assertRaises(TypeError):
                    q.vecd(bad)
                with self.assertRaises(TypeError):
                    q.matd(bad, 1)
        with self.assertRaises(TypeError) as caught:
            v[-1]
        self.assertEqual(
            str(caught.exception),
            "__getitem__(): incompatible function arguments. The following argument types are supported:\n"
            "    1. (self: queltcore.vecd, arg0: int) -> float\n"
            "    2. (self: queltcore.vecd, arg0: slice) -> queltcore.viewd\n\n"
            "Invoked with: " + repr(v) + ", -1")

    def test_iteration_ends_with_the_index_error(self):
        v = filled("d", 3)
        seen = []
        with self.assertRaises(RuntimeError) as caught:
            for x in v:
                seen.append(x)
        self.assertEqual(seen, [1.0, 2.0, 3.0])
        self.assertEqual(str(caught.exception), "index 3 exceeds max number of elements 3")


class ViewTest(unittest.TestCase):
    def test_views_share_storage_both_ways(self):
        for letter in LETTERS:
            with self.subTest(letter=letter):
                v = filled(letter, 10)
                w = v[2:5]
                self.assertEqual(w.numel(), 3)
                w[0] = value(letter, 90)
                self.assertEqual(v[2], value(letter, 90))
                v[4] = value(letter, 40)
                self.assertEqual(w[2], value(letter, 40))
                inner = w[1:3]
                self.assertEqual([inner[i] for i in range(2)], [v[3], v[4]])
                inner[0] = value(letter, 33)
                self.assertEqual((v[3], w[1]), (value(letter, 33), value(letter, 33)))

    def test_view_outlives_its_vector(self):
        for letter in LETTERS:
            with self.subTest(letter=letter):
                v = filled(letter, 6)
                w = v[3:]
                inner = w[1:]
                del v
                self.assertEqual([w[i] for i in range(3)], [value(letter, x) for x in (4, 5, 6)])
                del w
                inner[0] = value(letter, 50)
                self.assertEqual(inner[0], value(letter, 50))

    def test_slice_resolution(self):
        v = filled("d", 10)

        def window(view):
            return [view[i] for i in range(view.numel())]

        cases = {
            (None, None): list(range(1, 11)), (0, 10): list(range(1, 11)), (-3, None): [8, 9, 10],
            (8, 20): [9, 10], (-100, 2): [1, 2], (5, 2): [], (10, 10): [], (12, 15): [],
        }
        for (start, stop), expected in cases.items():
            with self.subTest(start=start, stop=stop):
                self.assertEqual(window(v[start:stop]), [float(x) for x in expected])
        self.assertEqual(window(v[2:8][1:-1]), [4.0, 5.0, 6.0, 7.0])
        self.assertEqual(window(v[2:5][3:1]), [])

    def test_reversed_slice_is_empty_and_inside_the_storage(self):
        v = filled("d", 10)
        w = v[5:2]
        self.assertEqual(w.numel(), 0)
        self.assertEqual(repr(w), "Column vector of size: 0\n")
        self.assertEqual(message(lambda: w[0]), "index 0 exceeds max number of elements 0")
        # A slice of the empty view reaches nothing either.
        self.assertEqual(w[0:].numel(), 0)

    def test_steps_other_than_one(self):
        v = q.vecs(10)
        for s in (slice(None, None, 2), slice(None, None, -1), slice(1, 5, 3)):
            for obj in (v, v[1:8]):
                with self.subTest(step=s.step, kind=type(obj).__name__):
                    self.assertEqual(message(lambda: obj[s]), "stepsizes larger than 1 invalid for vector")
        self.assertEqual(v[::1].numel(), 10)
        with self.assertRaises(ValueError):
            v[::0]
        with self.assertRaises(TypeError):
            v["a":"b"]

    def test_empty_vector(self):
        for letter in LETTERS:
            v = classes(letter)[0](0)
            self.assertEqual((v.numel(), v.dim(0), v[:].numel()), (0, 0, 0))
            self.assertEqual(repr(v), "Column vector of size: 0\n")

    def test_slice_result_is_a_new_object_each_time(self):
        v = q.vecz(4)
        a, b = v[1:3], v[1:3]
        self.assertIsNot(a, b)
        self.assertIs(type(a), q.viewz)


class RenderingTest(unittest.TestCase):
    def test_vector_rendering(self):
        v = q.vecd(3)
        v[0], v[1], v[2] = 1, -0.5, 2
        self.assertEqual(repr(v), "Column vector of size: 3\n[1.00000000000000e+00]\n"
                                  "[-5.00000000000000e-01]\n[2.00000000000000e+00]\n")

    def test_special_values_and_widening(self):
        s = q.vecs(4)
        s[0], s[1], s[2], s[3] = 0.1, math.nan, math.inf, -1e-300
        self.assertEqual(repr(s), "Column vector of size: 4\n[1.00000001490116e-01]\n[           nan]\n"
                                  "[           inf]\n[-0.00000000000000e+00]\n")
        c = q.vecc(1)
        c[0] = 1 + 2j
        self.assertEqual(repr(c), "Column vector of size: 1\n[(1.00000000000000e+00,2.00000000000000e+00)]\n")
        z = q.vecz(1)
        z[0] = complex(math.inf, -1e-5)
        self.assertEqual(repr(z), "Column vector of size: 1\n[(inf,-1.00000000000000e-05)]\n")

    def test_view_rendering_shows_its_window(self):
        v = filled("d", 5)
        self.assertEqual(repr(v[3:5]), "Column vector of size: 2\n[4.00000000000000e+00]\n[5.00000000000000e+00]\n")

    def test_matrix_rendering(self):
        m = q.matd(2, 2)
        m[0, 0], m[0, 1], m[1, 0], m[1, 1] = 1, 2, 3, 4
        self.assertEqual(repr(m), "Matrix of size: (2, 2)\n[1.00000000000000e+00, 2.00000000000000e+00]\n"
                                  "[3.00000000000000e+00, 4.00000000000000e+00]\n")
        wide = q.matd(1, 6)
        for j in range(6):
            wide[0, j] = j
        self.assertEqual(repr(wide), "Matrix of size: (1, 6)\n[0.00000000000000e+00, 1.00000000000000e+00, "
                                     "2.00000000000000e+00, ..., 5.00000000000000e+00]\n")
        four = q.matz(1, 4)
        four[0, 3] = 1j
        self.assertEqual(repr(four).splitlines()[1].count("("), 4)
        self.assertTrue(repr(four).endswith("(0.00000000000000e+00,1.00000000000000e+00)]\n"))

    def test_matrices_without_elements(self):
        # The header alone, however many rows: repr of 2**40 rows of nothing must answer.
        for letter in LETTERS:
            for rows, cols in ((0, 5), (3, 0), (0, 0), (2 ** 40, 0), (0, 2 ** 40)):
                with self.subTest(letter=letter, shape=(rows, cols)):
                    self.assertEqual(repr(getattr(q, "mat" + letter)(rows, cols)),
                                     "Matrix of size: (%d, %d)\n" % (rows, cols))


class UninitialisedInstanceTest(unittest.TestCase):
    def test_objects_made_without_a_constructor_are_refused(self):
        for letter in LETTERS:
            for cls in classes(letter):
                with self.subTest(cls=cls.__name__):
                    bare = cls.__new__(cls)
                    expected = "queltcore.%s object is not initialised" % cls.__name__
                    for attempt in (bare.numel, lambda: bare.dim(0), lambda: repr(bare)):
                        with self.assertRaises(TypeError) as caught:
                            attempt()
                        self.assertEqual(str(caught.exception), expected)


class ClassReassignmentTest(unittest.TestCase):
    """An object of the module keeps its class, whichever way the assignment is tried."""

    def test_every_class_refuses_every_other(self):
        from support import quiet_stdout
        with quiet_stdout():
            model = q.model(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "models", "copy.onnx"))
        # Python subclasses without slots of their own have their base's layout. Between a class
        # and its own subclass the object stays what it is; that move is not the concern here.
        subs = {name: type("Sub" + name, (getattr(q, name),), {"__slots__": ()}) for name in ("vecd", "viewd", "mats")}
        made = [(q.model, model), (subs["vecd"], subs["vecd"](4)), (subs["mats"], subs["mats"](2, 2))]
        for letter in LETTERS:
            vec, view, mat = classes(letter)
            made += [(vec, vec(4)), (view, vec(6)[1:5]), (mat, mat(2, 2))]
        routes = [lambda o, cls: setattr(o, "__class__", cls),
                  lambda o, cls: object.__setattr__(o, "__class__", cls),
                  lambda o, cls: object.__dict__["__class__"].__set__(o, cls)]
        for cls, obj in made:
            others = [c for c, _ in made] + [subs["viewd"]]
            for target in [c for c in others if not issubclass(c, cls) and not issubclass(cls, c)]:
                for number, route in enumerate(routes):
                    with self.subTest(cls=cls.__name__, target=target.__name__, route=number):
                        with self.assertRaises(TypeError) as caught:
                            route(obj, target)
                        if number == 0 and cls.__module__ == "queltcore":
                            self.assertEqual(str(caught.exception),
                                             "__class__ of a queltcore.%s object cannot be reassigned" % cls.__name__)
                        self.assertIs(type(obj), cls)
            # Still what it was, and working.
            if cls is q.model:
                obj.set(0, [0, 1], 2.5)
                obj.run()
                self.assertEqual(obj.get(0, [0, 1]), 2.5)
            elif obj.__class__.__name__.endswith(("mats", "matd", "matc", "matz")):
                obj[1, 1] = 3
                self.assertEqual((obj[1, 1], obj.numel(), obj.dim(1)), (3, 4, 2))
            else:
                obj[3] = 3
                self.assertEqual((obj[3], obj.numel()), (3, 4))
        with self.assertRaises(AttributeError) as caught:
            q.vecs(1).other = 1
        self.assertEqual(str(caught.exception), "'queltcore.vecs' object has no attribute 'other'")


class AllocationTest(unittest.TestCase):
    def test_overflowing_shape(self):
        big = 1 << 33
        self.assertEqual(message(lambda: q.matd(big, big)),
                         "matrix of 8589934592 rows and 8589934592 columns has too many elements")
        self.assertEqual(q.mats(big, 0).numel(), 0)

    def test_unallocatable_sizes_raise_memory_error(self):
        with self.assertRaises(MemoryError):
            q.vecz(1 << 60)
        with self.assertRaises(MemoryError):
            q.matd(1 << 30, 1 << 30)


class ImportGuardTest(unittest.TestCase):
    def test_other_interpreters_refuse_the_module(self):
        module = glob.glob(os.path.join(os.path.dirname(q.__file__), "queltcore*.so"))[0]
        root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
        candidates = glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3.*"))
        others = sorted(p for p in candidates if re.fullmatch(r"python3\.(?!7$)\d+", os.path.basename(p)))
        if not others:
            self.skipTest("no interpreter other than 3.7 on this machine")
        with tempfile.TemporaryDirectory() as folder:
            # Any interpreter finds a module under the plain suffix; the libraries it loads
            # through its run path go along.
            shutil.copy(module, os.path.join(folder, "queltcore.so"))
            for library in glob.glob(os.path.join(os.path.dirname(module), "lib*.so*")):
                shutil.copy(library, folder)
            script = ("import sys\ntry:\n import queltcore\nexcept ImportError as e:\n print(repr(str(e)))\n"
                      "print(repr(sys.version))")
            for interpreter in others:
                with self.subTest(interpreter=interpreter):
                    # A sanitizer build needs its runtime preloaded in any interpreter.
                    env = {"PATH": os.environ.get("PATH", "")}
                    env.update({k: os.environ[k] for k in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS",
                                                           "UBSAN_OPTIONS") if k in os.environ})
                    result = subprocess.run([interpreter, "-c", script], cwd=folder, stdout=subprocess.PIPE,
                                            universal_newlines=True, env=env)
                    error, version = map(ast.literal_eval, result.stdout.splitlines())
                    if "undefined symbol" in error and version.startswith(("3.6.", "3.13.")):
                        # The dynamic loader refuses before the module's entry point runs:
                        # these interpreters lack C API symbols that 3.7 has.
                        continue
                    self.assertEqual(error, "Python version mismatch: module was compiled for Python 3.7, but the "
                                            "interpreter version is incompatible: %s." % version)


if __name__ == "__main__":
    unittest.main()
