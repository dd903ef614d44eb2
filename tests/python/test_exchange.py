"""quelt's data exchange: memoryviews over container and model memory, copies in and out, BLAS threads."""
import array
import ctypes
import gc
import os
import struct
import sys
import unittest

import quelt
import queltcore
from support import quiet_stdout, stored

MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "models")
LETTERS = "sdcz"
FORMATS = {"s": "f", "d": "d", "c": "Zf", "z": "Zd"}
ITEMSIZE = {"s": 4, "d": 8, "c": 8, "z": 16}
DTYPES = {"s": "float32", "d": "float64", "c": "complex64", "z": "complex128"}


def value(letter, k):
    """A distinct element value per position, complex for the complex types."""
    return complex(k + 0.5, -k) if letter in "cz" else k + 0.25


def packed(letter, values):
    """The bytes of values stored as elements of this type (an independent reference)."""
    code = "f" if letter in "sc" else "d"
    parts = []
    for v in values:
        parts += [v.real, v.imag] if letter in "cz" else [v]
    return struct.pack("%d%s" % (len(parts), code), *parts)


def filled_vector(letter, n):
    v = getattr(queltcore, "vec" + letter)(n)
    for k in range(n):
        v[k] = value(letter, k)
    return v


def filled_matrix(letter, rows, cols):
    A = getattr(queltcore, "mat" + letter)(rows, cols)
    for i in range(rows):
        for j in range(cols):
            A[i, j] = value(letter, 10 * i + j)
    return A


def one_dimensional(letter, n):
    """(name, container, its elements) for a vector, a view at an offset and a view of a view."""
    view = filled_vector(letter, n + 5)[2:n + 2]
    inner = filled_vector(letter, n + 5)[1:n + 4][1:n + 1]
    expected = [stored(letter, value(letter, k)) for k in range(2, n + 2)]
    return [("vector", filled_vector(letter, n), [stored(letter, value(letter, k)) for k in range(n)]),
            ("view", view, expected), ("view of view", inner, expected)]


class Memory(unittest.TestCase):
    def test_vectors_and_views_share_their_storage(self):
        for letter in LETTERS:
            for n in (0, 1, 7):
                for kind, c, expected in one_dimensional(letter, n):
                    with self.subTest(letter=letter, n=n, kind=kind):
                        mv = quelt.memory(c)
                        self.assertEqual((mv.format, mv.itemsize, mv.ndim, mv.shape, mv.strides, mv.readonly),
                                         (FORMATS[letter], ITEMSIZE[letter], 1, (n,), (ITEMSIZE[letter],), False))
                        self.assertEqual(mv.tobytes(), packed(letter, expected))
                        if n:
                            # Written through the memoryview, read through the container.
                            parts = mv.cast("B").cast("f" if letter in "sc" else "d")
                            parts[0] = 42.0
                            self.assertEqual(c[0].real, 42.0)
                            c[n - 1] = 3
                            self.assertEqual(parts[len(parts) - (2 if letter in "cz" else 1)], 3.0)

    def test_matrices_are_column_major(self):
        for letter in LETTERS:
            for rows, cols in ((0, 3), (3, 0), (1, 1), (3, 5)):
                with self.subTest(letter=letter, shape=(rows, cols)):
                    A = filled_matrix(letter, rows, cols)
                    mv = quelt.memory(A)
                    size = ITEMSIZE[letter]
                    self.assertEqual((mv.format, mv.shape, mv.strides, mv.readonly),
                                     (FORMATS[letter], (rows, cols), (size, rows * size), False))
                    # tobytes walks the logical (row-major) order through the strides.
                    row_major = [stored(letter, value(letter, 10 * i + j)) for i in range(rows) for j in range(cols)]
                    self.assertEqual(mv.tobytes(), packed(letter, row_major))
                    if letter in "sd" and rows * cols:
                        mv[rows - 1, cols - 1] = -8.0
                        self.assertEqual(A[rows - 1, cols - 1], -8.0)
                        A[0, cols - 1] = 5.0
                        self.assertEqual(mv[0, cols - 1], 5.0)

    def test_memory_outlives_the_container_its_vector_and_every_view(self):
        v = filled_vector("d", 6)
        before = sys.getrefcount(v)
        mv = quelt.memory(v[1:5][1:3])
        self.assertEqual(sys.getrefcount(v), before)
        del v
        gc.collect()
        self.assertEqual(mv.tolist(), [2.25, 3.25])
        mv[0] = 7.0
        self.assertEqual(mv.tolist(), [7.0, 3.25])
        A = filled_matrix("s", 2, 2)
        mm = quelt.memory(A)
        del A
        gc.collect()
        self.assertEqual(mm.tolist(), [[0.25, 1.25], [10.25, 11.25]])

    def test_a_matrix_is_refused_to_consumers_that_need_row_major_memory(self):
        mv = quelt.memory(queltcore.matd(2, 2))
        with self.assertRaises(BufferError) as caught:
            array.array("d").frombytes(mv.obj)
        self.assertEqual(str(caught.exception), "memory is column-major: a consumer must accept strides")
        # A single row or column is contiguous both ways.
        self.assertEqual(bytes(quelt.memory(filled_matrix("d", 1, 2)).obj), packed("d", [0.25, 1.25]))

    def test_errors(self):
        cases = [(lambda: quelt.memory([1.0]), TypeError, "memory() takes a queltcore vector, view or matrix, not list"),
                 (lambda: quelt.memory(queltcore.model), TypeError,
                  "memory() takes a queltcore vector, view or matrix, not pybind11_type"),
                 (lambda: quelt.tolist(None), TypeError, "tolist() takes a queltcore vector, view or matrix, not NoneType"),
                 (lambda: quelt.memory(queltcore.vecd.__new__(queltcore.vecd)), TypeError,
                  "queltcore.vecd object is not initialised"),
                 (lambda: quelt.tolist(queltcore.matz.__new__(queltcore.matz)), TypeError,
                  "queltcore.matz object is not initialised")]
        for call, error, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(error) as caught:
                    call()
                self.assertEqual(str(caught.exception), message)


class ToList(unittest.TestCase):
    def test_every_kind_and_type(self):
        for letter in LETTERS:
            for n in (0, 1, 7):
                for kind, c, expected in one_dimensional(letter, n):
                    with self.subTest(letter=letter, n=n, kind=kind):
                        result = quelt.tolist(c)
                        self.assertEqual(result, expected)
                        self.assertEqual([type(x) for x in result], [complex if letter in "cz" else float] * n)
            for rows, cols in ((0, 2), (2, 0), (1, 1), (3, 4)):
                with self.subTest(letter=letter, shape=(rows, cols)):
                    A = filled_matrix(letter, rows, cols)
                    self.assertEqual(quelt.tolist(A), [[A[i, j] for j in range(cols)] for i in range(rows)])


class Construction(unittest.TestCase):
    def check_vector(self, c, letter, expected):
        self.assertIsInstance(c, getattr(queltcore, "vec" + letter))
        self.assertEqual([c[k] for k in range(c.numel())], [stored(letter, x) for x in expected])

    def check_matrix(self, c, letter, rows):
        self.assertIsInstance(c, getattr(queltcore, "mat" + letter))
        self.assertEqual((c.dim(0), c.dim(1)), (len(rows), len(rows[0]) if rows else 0))
        self.assertEqual([[c[i, j] for j in range(c.dim(1))] for i in range(c.dim(0))],
                         [[stored(letter, x) for x in row] for row in rows])

    def test_vectors_from_buffers_and_iterables(self):
        values = [1.5, -2.0, 3.25, 0.0, 7.0]
        doubles = array.array("d", values)
        cases = [
            (doubles, None, "d", values),
            (array.array("f", values), None, "s", values),
            (memoryview(doubles)[::2], None, "d", values[::2]),
            (memoryview(doubles)[::-1], "float32", "s", values[::-1]),
            (bytes(doubles), "float64", "d", values),
            (bytearray(array.array("f", values)), "float32", "s", values),
            (bytes(doubles)[8:24], "complex64", "c",
             [complex(*pair) for pair in struct.iter_unpack("2f", bytes(doubles)[8:24])]),
            (array.array("q", [1, -2, 2 ** 40]), "float64", "d", [1, -2, 2 ** 40]),
            (memoryview(bytes([1, 0, 2])).cast("?"), "float64", "d", [1, 0, 1]),
            (array.array("h", [-3, 4]), "complex128", "z", [-3, 4]),
            (memoryview(struct.pack("<3l", 1, -2, 3)).cast("B").cast("i"), "float64", "d", [1, -2, 3]),
            (quelt.memory(filled_vector("z", 3)), None, "z", [value("z", k) for k in range(3)]),
            (filled_vector("c", 3)[1:3], "complex128", "z", [stored("c", value("c", k)) for k in (1, 2)]),
            ([1, 2.5, True], None, "d", [1, 2.5, 1]),
            ((x / 2 for x in range(4)), "float32", "s", [0, 0.5, 1, 1.5]),
            (range(3), "complex64", "c", [0, 1, 2]),
            ([1, 2j], None, "z", [1, 2j]),
            ([], None, "d", []),
            (array.array("d"), "complex64", "c", []),
        ]
        for data, dtype, letter, expected in cases:
            with self.subTest(data=data, dtype=dtype):
                self.check_vector(quelt.vector(data, dtype), letter, expected)

    def test_matrices_from_buffers_and_rows(self):
        rows = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
        flat = array.array("d", [x for row in rows for x in row])
        c_order = memoryview(flat).cast("B").cast("d", (2, 3))
        cases = [
            (c_order, None, "d", rows),
            (c_order[::-1], "float32", "s", rows[::-1]),
            (quelt.tensor(bytes(flat), dtype="float64", shape=(2, 3)), None, "d", rows),
            (quelt.tensor(flat.tobytes(), dtype="complex128", shape=(3, 1)), None, "z",
             [[complex(1, 2)], [complex(3, 4)], [complex(5, 6)]]),
            (quelt.memory(filled_matrix("c", 3, 2)), None, "c",
             [[value("c", 10 * i + j) for j in range(2)] for i in range(3)]),
            (filled_matrix("d", 2, 2), "complex64", "c", [[0.25, 1.25], [10.25, 11.25]]),
            (memoryview(array.array("i", [1, 2, 3, 4])).cast("B").cast("i", (2, 2)), "float64", "d", [[1, 2], [3, 4]]),
            ([[1, 2], [3, 4]], None, "d", [[1, 2], [3, 4]]),
            (([1j, 2], (3, 4)), None, "z", [[1j, 2], [3, 4]]),
            ([array.array("f", [1, 2])], "float32", "s", [[1, 2]]),
            ([], None, "d", []),
            ([[], []], "complex64", "c", [[], []]),
        ]
        for data, dtype, letter, expected in cases:
            with self.subTest(data=data, dtype=dtype):
                result = quelt.matrix(data, dtype)
                if expected and not expected[0]:
                    self.assertEqual((result.dim(0), result.dim(1)), (2, 0))
                    continue
                self.check_matrix(result, letter, expected)

    def test_large_copies_round_trip(self):
        n = 300001
        source = array.array("d", range(n))
        v = quelt.vector(source)
        self.assertEqual(bytes(quelt.memory(v)), source.tobytes())
        self.assertEqual(quelt.tolist(v), source.tolist())
        A = quelt.matrix(memoryview(source[:n - 1]).cast("B").cast("d", (1000, 300)))
        self.assertEqual((A[999, 0], A[0, 299], A[17, 42]), (299700.0, 299.0, 5142.0))

    def test_row_major_buffers_of_every_type_and_shape_are_transposed_whole(self):
        # Shapes across the transpose's tiles and their ragged edges; every element is checked.
        for letter in LETTERS:
            for rows, cols in [(1, 70), (70, 1), (33, 65), (64, 64), (100, 37)]:
                expected = [[value(letter, 1000 * i + j) for j in range(cols)] for i in range(rows)]
                raw = packed(letter, [x for row in expected for x in row])
                source = quelt.tensor(raw, dtype=DTYPES[letter], shape=(rows, cols))
                with self.subTest(letter=letter, shape=(rows, cols)):
                    self.check_matrix(quelt.matrix(source, DTYPES[letter]), letter, expected)
                    if letter == "d":
                        reversed_rows = memoryview(raw).cast("d", (rows, cols))[::-1]
                        self.check_matrix(quelt.matrix(reversed_rows), letter, expected[::-1])

    def test_the_source_is_neither_kept_nor_changed(self):
        source = array.array("d", [1.0, 2.0])
        before = sys.getrefcount(source)
        v = quelt.vector(source)
        v[0] = 9.0
        with self.assertRaises(ValueError):
            quelt.matrix(source)
        self.assertEqual((sys.getrefcount(source), source.tolist()), (before, [1.0, 2.0]))
        # A buffer export left open would make the array refuse to grow.
        source.append(3.0)

    def test_errors(self):
        cases = [
            (quelt.vector, (bytes(16),), TypeError,
             "a buffer of bytes (format 'B') needs a dtype: float32, float64, complex64 or complex128"),
            (quelt.vector, (bytes(12), "float64"), ValueError,
             "a buffer of 12 bytes does not hold a whole number of float64 elements (8 bytes each)"),
            (quelt.matrix, (bytes(12), "float32"), ValueError, "a matrix takes a 2-dimensional buffer, not a 1-dimensional one"),
            (quelt.vector, (array.array("q", [1]),), TypeError,
             "buffer format 'q' is none of the element types float32 (f), float64 (d), complex64 (Zf), "
             "complex128 (Zd); give a dtype to convert it"),
            (quelt.vector, (quelt.memory(queltcore.vecz(2)), "float64"), TypeError,
             "buffer format 'Zd' holds complex numbers; float64 holds real ones"),
            (quelt.vector, (memoryview(bytes(8)).cast("d", (1, 1)),), ValueError,
             "a vector takes a 1-dimensional buffer, not a 2-dimensional one"),
            (quelt.matrix, (array.array("d", [1]),), ValueError,
             "a matrix takes a 2-dimensional buffer, not a 1-dimensional one"),
            (quelt.vector, (queltcore.matd(1, 1),), ValueError,
             "a vector takes a 1-dimensional buffer, not a 2-dimensional one"),
            (quelt.vector, (array.array("d", [1e300]), "complex64"), ValueError,
             "element 0 of the buffer is out of range for complex64"),
            (quelt.matrix, (memoryview(array.array("d", [1, 1e300])).cast("B").cast("d", (1, 2)), "float32"),
             ValueError, "element (0, 1) of the buffer is out of range for float32"),
            (quelt.vector, (5,), TypeError, "vector() takes a buffer or an iterable of numbers, not int"),
            (quelt.vector, ([1, "2"],), TypeError, "element 1 is str, not a real number"),
            (quelt.vector, ([None], "complex64"), TypeError, "element 0 is NoneType, not a number"),
            (quelt.vector, ([1, 2j], "float64"), TypeError, "element 1 is complex; float64 holds real numbers"),
            (quelt.vector, ([10 ** 400],), ValueError, "element 0 is too large for float64"),
            (quelt.vector, ([1e300], "float32"), ValueError, "element 0 is out of range for float32"),
            (quelt.matrix, (5,), TypeError, "matrix() takes a 2-dimensional buffer or a sequence of rows, not int"),
            (quelt.matrix, ([[1, 2], [3]],), ValueError, "row 1 has 1 elements, row 0 has 2"),
            (quelt.matrix, ([1, 2],), TypeError, "row 0 is not a sequence of numbers but int"),
            (quelt.matrix, ([[1], ["x"]],), TypeError, "element (1, 0) is str, not a real number"),
            (quelt.vector, ([1], "int8"), ValueError, "dtype must be float32, float64, complex64 or complex128, not 'int8'"),
            (quelt.matrix, ([[1]], queltcore.matd), TypeError, "dtype must be a str, not pybind11_type"),
            (quelt.vector, (memoryview(bytes(2)).cast("?"),), TypeError,
             "buffer format '?' is none of the element types float32 (f), float64 (d), complex64 (Zf), "
             "complex128 (Zd); give a dtype to convert it"),
        ]
        for function, args, error, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(error) as caught:
                    function(*args)
                self.assertEqual(str(caught.exception), message)


def load(name):
    with quiet_stdout():
        return queltcore.model(os.path.join(MODELS, name + ".onnx"))


class BufferFormats(unittest.TestCase):
    """quelt.vector and quelt.tensor read one buffer format each their own way."""

    def test_each_reader_takes_and_refuses_its_own(self):
        def ctypes_array(kind, values):
            return memoryview((kind * len(values))(*values))

        big = "big-endian; only native byte order is read"
        unknown = "quelt.tensor: buffer format '{}' is not an element type the runtime knows"
        longs = array.array("l", [-3, 2 ** 40])
        # buffer, its format, vector(buffer, "float64"), tensor(buffer): values or (error, message)
        cases = [
            (ctypes_array(ctypes.c_double, [1.5, -2]), "<d", [1.5, -2], ("float64", [1.5, -2])),
            (ctypes_array(ctypes.c_double.__ctype_be__, [1.5]), ">d",
             (TypeError, "buffer format '>d' is " + big), (TypeError, unknown.format(">d"))),
            (ctypes_array(ctypes.c_int16.__ctype_be__, [1]), ">h",
             (TypeError, "buffer format '>h' is " + big), (TypeError, unknown.format(">h"))),
            # Native sizes count: 'l' is as wide as the platform's long.
            (memoryview(longs), "l", [-3, 2 ** 40], ("int%d" % (8 * longs.itemsize), [-3, 2 ** 40])),
            # Characters are no numbers; only bytes objects are raw elements.
            (memoryview(struct.pack("d", 0.5)).cast("c"), "c",
             (TypeError, "buffer format 'c' is not a format of numbers"), (TypeError, unknown.format("c"))),
            (memoryview(struct.pack("P", 7)).cast("P"), "P",
             (TypeError, "buffer format 'P' is not a format of numbers"), (TypeError, unknown.format("P"))),
        ]
        def outcome(call):
            try:
                return call()
            except (TypeError, ValueError) as error:
                return type(error), str(error)

        for data, fmt, vector_result, tensor_result in cases:
            with self.subTest(format=fmt):
                self.assertEqual(data.format, fmt)
                self.assertEqual(outcome(lambda: quelt.tolist(quelt.vector(data, "float64"))), vector_result)
                self.assertEqual(outcome(lambda: (lambda t: (t.dtype, t.tolist()))(quelt.tensor(data))),
                                 tensor_result)


class ModelTensors(unittest.TestCase):
    LAYOUT = [("d", (2,)), ("b", (2,)), ("B", (2,)), ("h", (2,)), ("H", (2,)), ("i", (2,)), ("I", (2,)),
              ("q", (2, 3)), ("Q", (2,)), ("?", (2,)), None, ("f", ())]

    def test_formats_shapes_and_a_run_through_whole_tensors(self):
        m = load("every_type")
        ins, outs = quelt.inputs(m), quelt.outputs(m)
        for views in (ins, outs):
            self.assertEqual([v and (v.format, v.shape) for v in views], self.LAYOUT)
            for v in views:
                if v is not None:
                    self.assertEqual(v.strides, tuple(struct.calcsize(v.format) * 3 ** (v.ndim - 1 - k)
                                                      for k in range(v.ndim)))
        sources = {"d": [0.5, -1.5], "b": [-128, 127], "B": [0, 255], "h": [-32768, 5], "H": [65535, 1],
                   "i": [-2 ** 31, 7], "I": [2 ** 32 - 1, 0], "Q": [2 ** 64 - 1, 3], "?": [True, False]}
        for view in ins:
            if view is not None and view.format in sources:
                view[:] = array.array(view.format, sources[view.format]) if view.format != "?" else \
                    memoryview(bytes([1, 0])).cast("?")
        int64 = array.array("q", [-2 ** 63, -1, 0, 1, 2, 2 ** 63 - 1])
        ins[7].cast("B").cast("q")[:] = int64
        ins[11][()] = 2.5
        m.run()
        for view in outs:
            if view is not None and view.format in sources:
                self.assertEqual(view.tolist(), sources[view.format], view.format)
        self.assertEqual(outs[7].tolist(), [int64.tolist()[:3], int64.tolist()[3:]])
        self.assertEqual(outs[11][()], 2.5)
        self.assertEqual(m.get(11, []), 2.5)

    def test_views_keep_the_model_alive_and_no_longer(self):
        m = load("copy")
        before = sys.getrefcount(m)
        ins = quelt.inputs(m)
        outs = quelt.outputs(m)
        self.assertEqual(sys.getrefcount(m), before + 2)
        ins[0].cast("B").cast("f")[:] = array.array("f", [1.5, -2.0])
        m.run()
        del m
        gc.collect()
        self.assertEqual(outs[0].tolist(), [[1.5, -2.0]])
        m2 = load("constant")
        before = sys.getrefcount(m2)
        views = quelt.outputs(m2)
        self.assertEqual(quelt.inputs(m2), [])
        del views
        gc.collect()
        self.assertEqual(sys.getrefcount(m2), before)

    def test_errors(self):
        cases = [(quelt.inputs, ([],), "inputs() takes a queltcore.model, not list"),
                 (quelt.outputs, (queltcore.vecd(1),), "outputs() takes a queltcore.model, not vecd"),
                 (quelt.inputs, (queltcore.model.__new__(queltcore.model),), "queltcore.model object is not initialised")]
        for function, args, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(TypeError) as caught:
                    function(*args)
                self.assertEqual(str(caught.exception), message)


class BlasThreads(unittest.TestCase):
    def test_set_and_restore(self):
        start = quelt.blas_threads()
        self.assertGreaterEqual(start, 1)
        quelt.set_blas_threads(2)
        two = quelt.blas_threads()  # OpenBLAS caps the count at the threads it was built for
        quelt.set_blas_threads(start)
        manager = quelt.blas_threads(1)
        self.assertEqual(quelt.blas_threads(), start)
        with manager:
            self.assertEqual(quelt.blas_threads(), 1)
            with self.assertRaises(KeyError):
                with quelt.blas_threads(2):
                    self.assertEqual(quelt.blas_threads(), two)
                    raise KeyError
            self.assertEqual(quelt.blas_threads(), 1)
        self.assertEqual(quelt.blas_threads(), start)
        try:
            quelt.set_blas_threads(1)
            self.assertEqual(quelt.blas_threads(), 1)
        finally:
            quelt.set_blas_threads(start)
        self.assertEqual(quelt.blas_threads(), start)

    def test_errors(self):
        for call, error, message in [(lambda: quelt.set_blas_threads(0), ValueError, "thread count must be at least 1, not 0"),
                                     (lambda: quelt.blas_threads(-3), ValueError, "thread count must be at least 1, not -3"),
                                     (lambda: quelt.set_blas_threads(1.0), TypeError, "thread count must be an int, not float"),
                                     (lambda: quelt.blas_threads(True), TypeError, "thread count must be an int, not bool")]:
            with self.subTest(message=message):
                with self.assertRaises(error) as caught:
                    call()
                self.assertEqual(str(caught.exception), message)


if __name__ == "__main__":
    unittest.main()
