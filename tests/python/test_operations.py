"""The vector operations of queltcore against plain-loop references, and the overload lists."""
import random
import re
import struct
import unittest

import queltcore as q

LETTERS = "sdcz"
KINDS = ("vec", "view", "mat")


def is_complex(letter):
    return letter in "cz"


def class_of(kind, letter):
    return getattr(q, kind + letter)


def single(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def stored(letter, value):
    """The value a container of this element type holds after `value` is written to it."""
    if letter == "s":
        return single(value)
    if letter == "c":
        return complex(single(value.real), single(value.imag))
    return value


def random_value(letter, rng):
    if is_complex(letter):
        return complex(rng.uniform(-1, 1), rng.uniform(-1, 1))
    return rng.uniform(-1, 1)


class Operand:
    """A container whose run of elements starts at `start` in the storage it lives in.

    A vector holds `length` elements; a view holds `length` elements two into a vector with two
    spare elements after them; a matrix has the shape `shape`.
    """

    def __init__(self, kind, letter, length, shape):
        self.letter = letter
        self.start = 0
        if kind == "vec":
            self.obj = class_of("vec", letter)(length)
        elif kind == "view":
            self.parent = class_of("vec", letter)(length + 4)
            self.obj = self.parent[2:2 + length]
            self.start = 2
        else:
            self.obj = class_of("mat", letter)(*shape)
        self.whole = self.parent if kind == "view" else self.obj
        self.rows = shape[0] if kind == "mat" else None

    def _index(self, i):
        return (i % self.rows, i // self.rows) if self.rows is not None else i

    def storage(self):
        return [self.whole[self._index(i)] for i in range(self.whole.numel())]

    def load(self, values):
        for i, value in enumerate(values):
            self.whole[self._index(i)] = value

    def fill(self, rng):
        self.load([random_value(self.letter, rng) for _ in range(self.whole.numel())])
        return self.storage()


class Checks(unittest.TestCase):
    def assertClose(self, actual, expected, letter):
        tolerance = 1e-5 if letter in "sc" else 1e-12
        if not isinstance(actual, list):
            actual, expected = [actual], [expected]
        self.assertEqual(len(actual), len(expected))
        for i, (a, e) in enumerate(zip(actual, expected)):
            self.assertLessEqual(abs(a - e), tolerance * (1 + abs(e)), "element %d: %r != %r" % (i, a, e))


class LevelOne(Checks):
    def test_every_kind_pair_matches_reference(self):
        rng = random.Random(7)
        for letter in LETTERS:
            for kx in KINDS:
                for ky in KINDS:
                    with self.subTest(letter=letter, x=kx, y=ky):
                        # y is longer than x: only its first 6 elements take part.
                        x = Operand(kx, letter, 6, (2, 3))
                        y = Operand(ky, letter, 8, (2, 4))
                        xs, ys = x.start, y.start
                        alpha = random_value(letter, rng)
                        a = stored(letter, alpha)

                        sx, sy = x.fill(rng), y.fill(rng)
                        expected = list(sy)
                        for i in range(6):
                            expected[ys + i] += a * sx[xs + i]
                        self.assertIs(q.axpy(alpha, x.obj, y.obj), y.obj)
                        self.assertClose(y.storage(), expected, letter)
                        self.assertEqual(x.storage(), sx)

                        sx, sy = x.fill(rng), y.fill(rng)
                        expected = list(sy)
                        for i in range(6):
                            expected[ys + i] += sx[xs + i]
                        self.assertIs(q.sum(x.obj, y.obj), y.obj)
                        self.assertClose(y.storage(), expected, letter)

                        sx, sy = x.fill(rng), y.fill(rng)
                        expected = sy[:ys] + sx[xs:xs + 6] + sy[ys + 6:]
                        self.assertIs(q.copy(x.obj, y.obj), y.obj)
                        self.assertEqual(y.storage(), expected)
                        self.assertEqual(x.storage(), sx)

                        sx, sy = x.fill(rng), y.fill(rng)
                        self.assertIsNone(q.swap(x.obj, y.obj))
                        self.assertEqual(x.storage(), sx[:xs] + sy[ys:ys + 6] + sx[xs + 6:])
                        self.assertEqual(y.storage(), sy[:ys] + sx[xs:xs + 6] + sy[ys + 6:])

                        sx, sy = x.fill(rng), y.fill(rng)
                        pairs = list(zip(sx[xs:xs + 6], sy[ys:ys + 6]))
                        self.assertClose(q.dot(x.obj, y.obj), sum(u * v for u, v in pairs), letter)
                        if is_complex(letter):
                            conjugated = sum(u.conjugate() * v for u, v in pairs)
                            self.assertClose(q.hdot(x.obj, y.obj), conjugated, letter)
                        self.assertEqual((x.storage(), y.storage()), (sx, sy))

                        sx = x.fill(rng)
                        expected = sx[:xs] + [a * v for v in sx[xs:xs + 6]] + sx[xs + 6:]
                        self.assertIs(q.scale(alpha, x.obj), x.obj)
                        self.assertClose(x.storage(), expected, letter)

    def test_short_second_operand_is_refused_untouched(self):
        rng = random.Random(8)
        tail = ", y holds 4 elements, fewer than the 6 elements of x"
        for letter in LETTERS:
            for kx in KINDS:
                for ky in KINDS:
                    with self.subTest(letter=letter, x=kx, y=ky):
                        x = Operand(kx, letter, 6, (3, 2))
                        y = Operand(ky, letter, 4, (2, 2))
                        sx, sy = x.fill(rng), y.fill(rng)
                        calls = [("axpy", lambda: q.axpy(2, x.obj, y.obj)), ("axpy", lambda: q.sum(x.obj, y.obj)),
                                 ("copy", lambda: q.copy(x.obj, y.obj)), ("swap", lambda: q.swap(x.obj, y.obj)),
                                 ("dot", lambda: q.dot(x.obj, y.obj))]
                        if is_complex(letter):
                            calls.append(("hdot", lambda: q.hdot(x.obj, y.obj)))
                        for name, call in calls:
                            with self.assertRaises(RuntimeError) as refused:
                                call()
                            self.assertEqual(str(refused.exception), "In " + name + tail)
                        self.assertEqual((x.storage(), y.storage()), (sx, sy))

    def test_complex_dot_conjugates_only_in_hdot(self):
        for letter in "cz":
            x = class_of("vec", letter)(1)
            x[0] = 1j
            self.assertEqual(q.dot(x, x), -1 + 0j)
            self.assertEqual(q.hdot(x, x), 1 + 0j)

    def test_vector_copied_into_matrix_fills_columns_in_turn(self):
        for letter in LETTERS:
            v = class_of("vec", letter)(6)
            for i in range(6):
                v[i] = i + 1
            m = class_of("mat", letter)(2, 3)
            self.assertIs(q.copy(v, m), m)
            order = [(0, 0), (1, 0), (0, 1), (1, 1), (0, 2), (1, 2)]
            self.assertEqual([m[ij] for ij in order], [1, 2, 3, 4, 5, 6])

    def test_empty_first_operand_changes_nothing(self):
        for letter in LETTERS:
            empty = class_of("vec", letter)(0)
            y = class_of("vec", letter)(2)
            y[0], y[1] = 3, 4
            q.scale(2, empty), q.axpy(2, empty, y), q.sum(empty, y), q.copy(empty, y), q.swap(empty, y)
            self.assertEqual((y[0], y[1]), (3, 4))
            self.assertEqual(q.dot(empty, y), 0)
            self.assertIsInstance(q.dot(empty, y), complex if is_complex(letter) else float)


class Scalars(unittest.TestCase):
    def test_ints_convert_and_single_precision_rounds(self):
        for letter in LETTERS:
            with self.subTest(letter=letter):
                x = class_of("vec", letter)(2)
                y = class_of("vec", letter)(2)
                x[0], x[1] = 1.5, -2
                q.axpy(2, x, y)
                self.assertEqual((y[0], y[1]), (3, -4))
                q.scale(2.0, y)
                self.assertEqual((y[0], y[1]), (6, -8))
                y[0] = 1
                q.scale(0.1, y)
                self.assertEqual(y[0], stored(letter, 0.1))
                if is_complex(letter):
                    y[0] = 1
                    q.scale(0.1 + 0.3j, y)
                    self.assertEqual(y[0], stored(letter, 0.1 + 0.3j))

    def test_mismatched_arguments_match_no_overload(self):
        with self.assertRaises(TypeError):
            q.sum(q.vecs(1), q.vecd(1))
        with self.assertRaises(TypeError):
            q.axpy(1j, q.vecd(1), q.vecd(1))
        with self.assertRaises(TypeError):
            q.ls(q.vecs(1), q.vecs(1))


def class_name(kind, letter):
    return "queltcore." + kind + letter


def expected_signatures():
    """Every overload, name by name, in the order the registration loops give."""
    listed = {}

    def add(name, scalars, containers, result):
        args = ["arg%d: %s" % (i, t) for i, t in enumerate(scalars + containers)]
        listed.setdefault(name, []).append("%s(%s) -> %s" % (name, ", ".join(args), result))

    for letter in LETTERS:
        scalar = "complex" if is_complex(letter) else "float"
        for kx in KINDS:
            x = class_name(kx, letter)
            add("scale", [scalar], [x], x)
            for ky in KINDS:
                y = class_name(ky, letter)
                add("sum", [], [x, y], y)
                add("dot", [], [x, y], scalar)
                add("copy", [], [x, y], y)
                add("swap", [], [x, y], "None")
                add("axpy", [scalar], [x, y], y)
                if is_complex(letter):
                    add("hdot", [], [x, y], "complex")
                if kx == "mat":
                    add("ls", [], [x, y], "None")
                for kz in KINDS:
                    z = class_name(kz, letter)
                    if kx == ky == kz == "mat":
                        add("gemm", [scalar, scalar], [x, y, z], z)
                        add("matmul", [], [x, y, z], z)
                    add("matvec", [], [x, y, z], z)
                    add("gemv", [scalar, scalar], [x, y, z], z)
    return listed


DOCSTRINGS = {"scale": "scale an object", "sum": "add objects", "dot": "dot product",
              "copy": "copy an object into another", "swap": "swap objects into another", "axpy": "axpy objects",
              "hdot": "hermetian dot product", "ls": "ls", "gemv": "gemv", "matvec": "matvec", "gemm": "gemm",
              "matmul": "matmul"}
COUNTS = {"scale": 12, "sum": 36, "dot": 36, "copy": 36, "swap": 36, "axpy": 36, "hdot": 18, "ls": 12,
          "gemm": 4, "matmul": 4, "matvec": 108, "gemv": 108}


class Registration(unittest.TestCase):
    def test_docstrings_list_every_overload_in_order(self):
        expected = expected_signatures()
        self.assertEqual(set(expected), set(DOCSTRINGS))
        for name, signatures in expected.items():
            with self.subTest(name=name):
                doc = getattr(q, name).__doc__
                self.assertTrue(doc.startswith(name + "(*args, **kwargs)\nOverloaded function.\n\n"))
                entries = re.findall(r"^(\d+)\. (.*)\n\n(.*)$", doc, re.M)
                self.assertEqual(len(entries), COUNTS[name])
                self.assertEqual([int(n) for n, _, _ in entries], list(range(1, COUNTS[name] + 1)))
                self.assertEqual([s for _, s, _ in entries], signatures)
                self.assertEqual({d for _, _, d in entries}, {DOCSTRINGS[name]})

    def test_type_error_lists_the_signatures(self):
        with self.assertRaises(TypeError) as refused:
            q.gemm(1.0, 0.0, q.vecs(1), q.mats(1, 1), q.mats(1, 1))
        lines = str(refused.exception).split("\n")
        self.assertEqual(lines[0], "gemm(): incompatible function arguments. "
                                   "The following argument types are supported:")
        listed = [s.replace("gemm(", "(", 1) for s in expected_signatures()["gemm"]]
        self.assertEqual(lines[1:5], ["    %d. %s" % (i + 1, s) for i, s in enumerate(listed)])


if __name__ == "__main__":
    unittest.main()
