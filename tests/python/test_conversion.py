"""The one conversion of Python values into quelt.vector, quelt.matrix, quelt.tensor and feeds."""
import array
import collections.abc
import ctypes
import decimal
import numbers
import os
import random
import struct
import unittest
import warnings

import quelt
import queltcore
from support import Complex128, exported

MODELS = os.path.join(os.path.dirname(__file__), "..", "models", "session")


class Complex64:
    """Like NumPy's complex64 scalar: a __complex__, and a __float__ that drops the imaginary part."""

    def __init__(self, value):
        self.value = complex(value)

    def __complex__(self):
        return self.value

    def __float__(self):
        warnings.warn("imaginary part discarded", RuntimeWarning)
        return self.value.real


numbers.Complex.register(Complex64)


class Raises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    __index__ = __complex__ = __float__


class ConversionFaults(unittest.TestCase):
    def outcome(self, call):
        try:
            result = call()
        except Exception as error:  # the type and the whole message are compared
            return type(error), str(error)
        if isinstance(result, (tuple, list)):
            return result
        return result.tolist() if hasattr(result, "tolist") else quelt.tolist(result)

    def test_values(self):
        deep = []
        level = deep
        for _ in range(30000):
            level.append([])
            level = level[0]
        selfish = []
        selfish.append(selfish)
        mine, interrupt = ValueError("mine"), KeyboardInterrupt()
        too_deep = (ValueError, "quelt.tensor: nested lists are more than 64 deep (or hold themselves)")

        def gen():
            yield 1.0
            raise TypeError("generator's own")

        cases = [
            (lambda: quelt.vector((ctypes.c_double * 3)(1, 2, 3)), [1.0, 2.0, 3.0]),
            (lambda: quelt.matrix(((ctypes.c_float * 2) * 2)((1, 2), (3, 4))), [[1.0, 2.0], [3.0, 4.0]]),
            (lambda: quelt.tensor(deep), too_deep),
            (lambda: quelt.tensor(selfish), too_deep),
            (lambda: quelt.vector([Raises(mine)]), (ValueError, "mine")),
            (lambda: quelt.tensor([Raises(mine)], dtype="int32"), (ValueError, "mine")),
            (lambda: quelt.vector(gen()), (TypeError, "generator's own")),
            (lambda: quelt.vector([Complex64(1 + 2j), 3.0]), [1 + 2j, 3 + 0j]),
            (lambda: quelt.vector([Complex128(1j)], "float64"),
             (TypeError, "element 0 is complex; float64 holds real numbers")),
            (lambda: quelt.tensor([Complex64(1j)], dtype="float32"),
             (TypeError, "quelt.tensor expects float32, got Complex64")),
            (lambda: quelt.vector(array.array("B", range(1, 9)), "float64"), [float(i) for i in range(1, 9)]),
            (lambda: quelt.tensor(memoryview(bytes(range(8))).cast("B", (2, 4)), dtype="float32").shape, (2, 4)),
            (lambda: quelt.vector(struct.pack("<2d", 1.5, -2.0), "float64"), [1.5, -2.0]),
            (lambda: quelt.tensor([1 + 2 ** -11 + 2 ** -40], dtype="float16"), [1.0009765625]),
            (lambda: quelt.tensor([1 + 2 ** -8 + 2 ** -40], dtype="bfloat16"), [1.0078125]),
            (lambda: quelt.vector([decimal.Decimal("1e400")]), (ValueError, "element 0 is too large for float64")),
            (lambda: quelt.tensor([decimal.Decimal("-1e400")], dtype="float64"),
             (ValueError, "quelt.tensor expects float64, got Decimal('-1E+400'), which does not fit")),
            (lambda: quelt.tensor([1], shape=[2.0, 2]),
             (TypeError, "quelt.tensor: shape must be a sequence of ints, got an item of type float")),
            (lambda: quelt.tensor([], shape=(2 ** 62, 0)).shape, (2 ** 62, 0)),
            (lambda: quelt.tensor([], shape=(0, 2 ** 62)).shape, (0, 2 ** 62)),
            (lambda: quelt.tensor([], shape=(2 ** 63, 0)),
             (ValueError, "quelt.tensor: shape (9223372036854775808, 0) has a size beyond int64")),
            (lambda: quelt.tensor(b"abc", dtype="float32"),
             (ValueError, "quelt.tensor: 3 bytes do not hold a whole number of float32 elements (4 bytes each)")),
            (lambda: quelt.tensor([bytearray(b"\xff\xfe")]).tolist(), ["\udcff\udcfe"]),
            # ctypes gives empty arrays items of no bytes.
            (lambda: (quelt.tensor(((ctypes.c_double * 2) * 0)()).shape, quelt.vector((ctypes.c_float * 0)()).dim(0)),
             ((0, 2), 0)),
            # Through a double this would round onto a tie, and then down to 2**62.
            (lambda: quelt.tensor(array.array("Q", [2 ** 62 + 2 ** 54 + 1]), dtype="bfloat16"), [2 ** 62 + 2 ** 55]),
        ]
        for index, (call, expected) in enumerate(cases):
            with self.subTest(case=index):
                self.assertEqual(self.outcome(call), expected)
        # KeyboardInterrupt is no Exception: it must come out itself.
        with self.assertRaises(KeyboardInterrupt):
            quelt.vector([Raises(interrupt)])

    def test_transposing_and_narrowing_copies(self):
        # float64 into complex64 across layouts (a row-major buffer into a matrix, a Fortran-order
        # one into a tensor), contiguous float64 into float32, Fortran-order 4- and 8-byte items
        # into a tensor, a column-major buffer into a matrix, every other float32: each has a copy
        # loop of its own. Against struct's float32 packing, which
        # refuses exactly the finite values that round to infinity.
        random.seed(14)
        largest, smallest_misfit = float.fromhex("0x1.fffffefffffffp127"), float.fromhex("0x1.ffffffp127")
        edges = [largest, -smallest_misfit, float("inf"), -float("inf"), -0.0, 1e-46]

        def fortran_order(values, rows, cols, code):
            data = struct.pack("<%d%s" % (len(values), code), *(values[i * cols + j] for j in range(cols) for i in range(rows)))
            return exported(bytearray(data), "<" + code, struct.calcsize(code), (rows, cols), (len(data) // len(values) or 1, len(data) // cols or 1))

        for rows, cols in ((1, 1), (1, 7), (7, 1), (2, 2), (3, 5), (9, 17), (33, 35), (64, 64), (70, 31)):
            for planted in (False, True):
                values = [random.choice(edges) if random.random() < 0.1 else random.uniform(-1, 1) * 10.0 ** random.randint(-40, 38)
                          for _ in range(rows * cols)]
                if planted:
                    values[random.randrange(rows * cols)] = random.choice([3.5e38, -1e300, smallest_misfit])
                singles, misfit = [], None
                for k, x in enumerate(values):
                    try:
                        singles.append(struct.unpack("<f", struct.pack("<f", x))[0])
                    except OverflowError:
                        misfit = k if misfit is None else misfit
                        singles.append(0.0)
                table = [[complex(x) for x in singles[i * cols:(i + 1) * cols]] for i in range(rows)]
                exact = [values[i * cols:(i + 1) * cols] for i in range(rows)]
                at = misfit is not None and "(%d, %d)" % divmod(misfit, cols)
                doubles = struct.pack("<%dd" % len(values), *values)
                for call, expected in (
                        (lambda: quelt.tolist(quelt.matrix(memoryview(doubles).cast("d", (rows, cols)), "complex64")),
                         (ValueError, "element %s of the buffer is out of range for complex64" % at) if at else table),
                        (lambda: quelt.tensor(fortran_order(values, rows, cols, "d"), dtype="complex64").tolist(),
                         (ValueError, "quelt.tensor: element %s of the buffer does not fit complex64" % at) if at else table),
                        (lambda: quelt.tensor(memoryview(doubles).cast("d"), dtype="float32").tolist(),
                         (ValueError, "quelt.tensor: element %s of the buffer does not fit float32" % misfit) if at else singles),
                        (lambda: quelt.tensor(fortran_order(singles, rows, cols, "f")).tolist(),
                         [[x.real for x in row] for row in table]),
                        # float64 as it is: transposed either way, and copied whole into a matrix.
                        (lambda: quelt.tensor(fortran_order(values, rows, cols, "d")).tolist(), exact),
                        (lambda: quelt.tolist(quelt.matrix(memoryview(doubles).cast("d", (rows, cols)))), exact),
                        (lambda: quelt.tolist(quelt.matrix(fortran_order(values, rows, cols, "d"))), exact)):
                    with self.subTest(rows=rows, cols=cols, planted=planted, expected=str(expected)[:40]):
                        self.assertEqual(self.outcome(call), expected)
        # Every other float32 (a [::2] slice): eight, then four at a time, then one by one.
        values = array.array("f", [random.uniform(-1, 1) for _ in range(100)])
        for count in range(41):
            for start in (0, 1):
                with self.subTest(every_other=count, start=start):
                    source = memoryview(values)[start:start + 2 * count:2]
                    self.assertEqual(quelt.tensor(source).tolist(), values[start:start + 2 * count:2].tolist())

    def test_list_changed_while_read(self):
        values = [0.0] * 8

        class Clears:
            def __float__(self):
                values.clear()
                return 1.0

        values[0] = Clears()
        self.assertEqual(quelt.tolist(quelt.vector(values)), [1.0] + [0.0] * 7)

    def test_core_real_scalars_refuse_complex_numbers(self):
        def refusal(call):
            try:
                call()
            except TypeError as error:
                return str(error).split("\n")[0]

        for value in (Complex64(1j), Complex128(1j)):
            with self.subTest(value=type(value).__name__):
                v = quelt.vector([1.0, 2.0])
                self.assertEqual(refusal(lambda: queltcore.scale(value, v)), refusal(lambda: queltcore.scale(1j, v)))
                self.assertEqual(refusal(lambda: v.__setitem__(0, value)), refusal(lambda: v.__setitem__(0, 1j)))
                self.assertEqual(quelt.tolist(v), [1.0, 2.0])
                z = queltcore.vecz(1)
                with warnings.catch_warnings():
                    warnings.simplefilter("error")
                    z[0] = value
                    queltcore.scale(value, z)
                self.assertEqual(z[0], 1j * 1j)


class SessionConversion(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = quelt.Session(os.path.join(MODELS, "scale_rows.onnx"))

    def test_run_arguments(self):
        good = {"rows": [[1.0, 2.0, 3.0]], "factor": 2}

        class Pairs(collections.abc.Mapping):
            __getitem__, __iter__, __len__ = dict.__getitem__, lambda self: iter(()), lambda self: 0

            def items(self):
                return [("rows", 1, 2)]

        run = self.session.run
        for call, error, message in (
                (lambda: run("x"), TypeError, "feeds must be a mapping of input names to values, got str"),
                (lambda: run(Pairs()), TypeError, "feeds must be a mapping of input names to values, whose items are "
                 "(name, value) pairs; got an item of type tuple"),
                (lambda: run(good, []), ValueError, "outputs must name at least one output, got none"),
                (lambda: run(), TypeError, "run() missing required argument 'feeds'"),
                (lambda: run(outputs=None), TypeError, "run() missing required argument 'feeds'"),
                (lambda: run(good, None, None), TypeError, "run() takes at most 2 positional arguments (3 given)"),
                (lambda: run(good, feeds=good), TypeError, "run() got multiple values for argument 'feeds'"),
                (lambda: run(good, None, outputs=None), TypeError, "run() got multiple values for argument 'outputs'"),
                (lambda: run(good, deadline=1), TypeError, "run() got an unexpected keyword argument 'deadline'"),
                (lambda: quelt.Session.__new__(quelt.Session).run(good), TypeError,
                 "quelt._native.Session object is not initialised")):
            with self.subTest(message=message):
                with self.assertRaises(error) as caught:
                    call()
                self.assertEqual(str(caught.exception), message)
        # Every parameter by name, in any order, as by position.
        self.assertEqual(run(outputs=["scaled"], cancel=None, feeds=good, timeout=None, into=None)["scaled"].tolist(),
                         run(good, ["scaled"])["scaled"].tolist())

    def test_output_that_is_a_fed_input_holds_the_fed_values(self):
        passthrough = quelt.Session(os.path.join(MODELS, "passthrough.onnx"))
        strided = memoryview(array.array("f", [1, -1, 2, -1, 3, -1]))[::2]
        for feed, expected in (([1.0, 2.0, 3.0, 4.0], [1.0, 2.0, 3.0, 4.0]), (strided, [1.0, 2.0, 3.0]),
                               ([0.5] * 100000, [0.5] * 100000)):
            with self.subTest(length=len(expected)):
                result = passthrough.run({"x": feed})["x"]
                array.array("f", [7.0] * 200000)  # reuses freed memory, if the result lay in any
                self.assertEqual(result.tolist(), expected)

    def test_second_init(self):
        with self.assertRaises(TypeError) as caught:
            self.session.__init__(os.path.join(MODELS, "scale_rows.onnx"))
        self.assertEqual(str(caught.exception), "quelt._native.Session is already initialised; make a new one instead")

    def test_short_repr(self):
        self.assertLess(len(repr(quelt.tensor(["x" * 1000000, "é" * 100]))), 200)


if __name__ == "__main__":
    unittest.main()
