"""quelt.Session, quelt.Tensor and quelt.tensor: feeds of every kind and element type, results,
errors before the runtime runs, bad models."""
import array
import gc
import os
import struct
import sys
import tempfile
import unittest

import queltcore
import quelt

MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "models", "session")


def model(name):
    return os.path.join(MODELS, name + ".onnx")


def bfloat16_bits(value):
    """The top half of the float32 bits: exact for values with at most 8 significant bits."""
    return struct.unpack("<I", struct.pack("<f", value))[0] >> 16


# dtype, buffer format, values that reach the type's limits, their little-endian bytes
ELEMENTS = [
    ("float32", "f", [1.5, -2.0, 2.0 ** 127], struct.pack("<3f", 1.5, -2.0, 2.0 ** 127)),
    ("float64", "d", [0.1, -1e300, 2.0], struct.pack("<3d", 0.1, -1e300, 2.0)),
    ("float16", "e", [1.5, -2.0, 65504.0], struct.pack("<3e", 1.5, -2.0, 65504.0)),
    ("bfloat16", "H", [1.5, -2.0, 256.0], struct.pack("<3H", *map(bfloat16_bits, [1.5, -2.0, 256.0]))),
    ("int8", "b", [-128, 127, 0], struct.pack("<3b", -128, 127, 0)),
    ("uint8", "B", [0, 255, 7], struct.pack("<3B", 0, 255, 7)),
    ("int16", "h", [-32768, 32767, 1], struct.pack("<3h", -32768, 32767, 1)),
    ("uint16", "H", [0, 65535, 1], struct.pack("<3H", 0, 65535, 1)),
    ("int32", "i", [-2 ** 31, 2 ** 31 - 1, 0], struct.pack("<3i", -2 ** 31, 2 ** 31 - 1, 0)),
    ("uint32", "I", [0, 2 ** 32 - 1, 1], struct.pack("<3I", 0, 2 ** 32 - 1, 1)),
    ("int64", "q", [-2 ** 63, 2 ** 63 - 1, 0], struct.pack("<3q", -2 ** 63, 2 ** 63 - 1, 0)),
    ("uint64", "Q", [0, 2 ** 64 - 1, 1], struct.pack("<3Q", 0, 2 ** 64 - 1, 1)),
    ("bool", "?", [True, False, True], struct.pack("<3?", True, False, True)),
]
STRINGS = ["", "\u03b1\u03b2", "a\x00b"]


class EveryElementType(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = quelt.Session(model("identity_all"))

    def check_results(self, results):
        for dtype, fmt, values, raw in ELEMENTS:
            with self.subTest(dtype=dtype):
                result = results["out_" + dtype]
                self.assertIsInstance(result, quelt.Tensor)
                self.assertEqual((result.dtype, result.shape, len(result)), (dtype, (3,), 3))
                self.assertEqual(result.tolist(), values)
                view = memoryview(result)
                self.assertEqual((view.format, view.shape, view.readonly, view.c_contiguous), (fmt, (3,), False, True))
                self.assertEqual(view.tobytes(), raw)
        strings = results["out_string"]
        self.assertEqual((strings.dtype, strings.tolist()), ("string", STRINGS))
        with self.assertRaisesRegex(BufferError, "^a string tensor exports no buffer$"):
            memoryview(strings)

    def test_lists_in_and_out(self):
        feeds = {"in_" + dtype: values for dtype, _, values, _ in ELEMENTS}
        feeds["in_string"] = STRINGS
        self.check_results(self.session.run(feeds))

    def test_buffers_in_and_out(self):
        # bfloat16 is fed its raw bits through format H, as it is exported; memoryview cannot
        # cast to half precision, which a tensor's export gives instead.
        feeds = {"in_" + dtype: memoryview(raw).cast(fmt) if fmt != "e" else
                 memoryview(quelt.tensor(raw, dtype=dtype, shape=(3,))) for dtype, fmt, _, raw in ELEMENTS}
        feeds["in_string"] = STRINGS
        self.check_results(self.session.run(feeds))

    def test_tensors_from_raw_bytes_in_and_out(self):
        feeds = {"in_" + dtype: quelt.tensor(raw, dtype=dtype, shape=(3,)) for dtype, _, _, raw in ELEMENTS}
        feeds["in_string"] = quelt.tensor(STRINGS)
        self.check_results(self.session.run(feeds))

    def test_complex_tensors_are_made_but_not_loaded_by_the_runtime(self):
        for dtype, fmt, size in (("complex64", "Zf", 8), ("complex128", "Zd", 16)):
            t = quelt.tensor([1 + 2j, complex(0, -3)], dtype=dtype)
            view = memoryview(t)
            self.assertEqual((view.format, view.itemsize, t.tolist()), (fmt, size, [1 + 2j, -3j]))
            self.assertEqual(view.tobytes(), struct.pack("<4" + fmt[1], 1, 2, 0, -3))


class Layouts(unittest.TestCase):
    """Any layout of a buffer is read element [i][j] to element [i][j]."""

    def test_layouts(self):
        try:
            from _testbuffer import ndarray, ND_FORTRAN, ND_WRITABLE
        except ImportError:
            self.skipTest("CPython's _testbuffer is not built")
        session = quelt.Session(model("shapes"))
        items = [float(i) for i in range(48)]
        base = ndarray(items, shape=[2, 3, 4, 2], format="f", flags=ND_WRITABLE)
        layouts = {
            "C": base,
            "read-only C": ndarray(items, shape=[2, 3, 4, 2], format="f"),
            "Fortran": ndarray(items, shape=[2, 3, 4, 2], format="f", flags=ND_FORTRAN),
            "strided": ndarray(items * 2, shape=[2, 3, 4, 2], strides=[192, 64, 16, 8], format="f"),
            "reversed": ndarray(items, shape=[2, 3, 4, 2], strides=[-96, 32, 8, -4], offset=100, format="f"),
        }
        for name, source in layouts.items():
            with self.subTest(layout=name):
                self.assertEqual(session.run({"image": source})["same"].tolist(), source.tolist())

    def test_native_formats_by_size_and_byte_order(self):
        session = quelt.Session(model("identity_all"))
        feeds = {"in_" + dtype: values for dtype, _, values, _ in ELEMENTS}
        feeds["in_string"] = STRINGS
        for fmt, dtype in (("l", "int64"), ("L", "uint64"), ("<q", "int64"), ("=i", "int32")):
            with self.subTest(format=fmt):
                code = fmt.lstrip("<=")
                feeds["in_" + dtype] = memoryview(struct.pack("3" + code, 1, 2, 3)).cast(code)
                self.assertEqual(session.run(feeds, outputs=["out_" + dtype])["out_" + dtype].tolist(), [1, 2, 3])
                feeds["in_" + dtype] = [0, 0, 0]


class Containers(unittest.TestCase):
    def test_core_containers(self):
        identity = quelt.Session(model("identity_all"))
        feeds = {"in_" + dtype: values for dtype, _, values, _ in ELEMENTS}
        feeds["in_string"] = STRINGS
        v = queltcore.vecs(5)
        for i in range(5):
            v[i] = i + 0.5
        for name, value in (("vector", v), ("view", v[1:4])):
            with self.subTest(container=name):
                feeds["in_float32"] = value
                expected = [value[i] for i in range(3 if name == "view" else 5)]
                self.assertEqual(identity.run(feeds, outputs=["out_float32"])["out_float32"].tolist(), expected)
        A = queltcore.mats(2, 3)
        for i in range(2):
            for j in range(3):
                A[i, j] = 10 * i + j
        scaled = quelt.Session(model("scale_rows")).run({"rows": A, "factor": 2})["scaled"]
        self.assertEqual(scaled.tolist(), [[0.0, 2.0, 4.0], [20.0, 22.0, 24.0]])
        self.assertEqual(quelt.tensor(A).tolist(), [[0.0, 1.0, 2.0], [10.0, 11.0, 12.0]])


class DynamicShapesAndScalars(unittest.TestCase):
    def test_batch_sizes_and_int64_scalar(self):
        session = quelt.Session(model("scale_rows"))
        for batch in (0, 1, 7):
            rows = [[float(3 * b + j) for j in range(3)] for b in range(batch)]
            # Nested lists cannot say (0, 3).
            feed = rows if batch else quelt.tensor([], dtype="float32", shape=(0, 3))
            for factor in (3, -2, quelt.tensor(5), array.array("q", [4]).tolist()[0]):
                with self.subTest(batch=batch, factor=factor):
                    f = factor if isinstance(factor, int) else factor.tolist()
                    out = session.run({"rows": feed, "factor": factor})
                    self.assertEqual(out["scaled"].tolist(), [[x * f for x in row] for row in rows])
                    self.assertEqual(out["shape"].tolist(), [batch, 3])

    def test_unknown_rank(self):
        session = quelt.Session(model("unranked"))
        self.assertEqual([(i.name, i.shape) for i in session.inputs + session.outputs],
                         [("x", None), ("items", None), ("y", None), ("count", ())])
        for x in (2.5, [1.0], [[1.0, 2.0]]):
            out = session.run({"x": x, "items": [x, x, 7.0]})
            self.assertEqual((out["y"].tolist(), out["count"].tolist()), (x, 3))
        with open(model("unranked"), "rb") as f:
            loaded = quelt.Session(f.read())
        self.assertEqual(loaded.run({"x": [[1.0]], "items": [[1.0]]})["y"].shape, (1, 1))

    def test_outputs_in_the_order_asked_for(self):
        session = quelt.Session(model("scale_rows"))
        out = session.run({"rows": [[1.0, 2.0, 3.0]], "factor": 1}, outputs=("shape", "scaled"))
        self.assertEqual(list(out), ["shape", "scaled"])
        self.assertEqual(list(session.run({"rows": [[1.0, 2.0, 3.0]], "factor": 1})), ["scaled", "shape"])


class SequencesOptionalsMapsDefaults(unittest.TestCase):
    def test_sequences_both_ways(self):
        session = quelt.Session(model("sequences"))
        out = session.run({"parts": [[1, 2], array.array("i", [3]), quelt.tensor([4, 5], dtype="int32")],
                           "whole": [7, 8]})
        self.assertEqual(out["joined"].tolist(), [1, 2, 3, 4, 5])
        self.assertEqual([t.tolist() for t in out["halves"]], [[7], [8]])

    def test_optional_present_and_absent(self):
        session = quelt.Session(model("optional"))
        for feeds, present in (({}, False), ({"maybe": None}, False), ({"maybe": [1.0]}, True)):
            with self.subTest(feeds=feeds):
                out = session.run(feeds)
                self.assertEqual((out["present"].tolist(), out["nothing"]), (present, None))

    def test_map_input(self):
        session = quelt.Session(model("map_input"))
        self.assertEqual(session.run({"m": {2: 0.5, 0: 1.5, 1: -1.0}})["dense"].tolist(), [[1.5, -1.0, 0.5]])

    def test_input_with_a_default(self):
        session = quelt.Session(model("with_default"))
        self.assertEqual(session.run({"x": [1, 2]})["y"].tolist(), [11.0, 22.0])
        self.assertEqual(session.run({"x": [1, 2], "bias": [0.5, 0.5]})["y"].tolist(), [1.5, 2.5])


class Description(unittest.TestCase):
    def test_inputs_and_outputs(self):
        session = quelt.Session(model("scale_rows"))
        self.assertEqual([(i.name, i.kind, i.dtype, i.shape) for i in session.inputs],
                         [("rows", "tensor", "float32", ("batch", 3)), ("factor", "tensor", "int64", ())])
        self.assertEqual(repr(session), "quelt.Session(inputs: 'rows', 'factor'; outputs: 'scaled', 'shape')")
        self.assertEqual(repr(session.outputs[1]),
                         "quelt.TensorInfo(name='shape', kind='tensor', dtype='int64', shape=(2,))")
        kinds = {i.name: (i.kind, i.dtype, i.shape) for m in ("sequences", "optional", "map_input", "shapes")
                 for s in [quelt.Session(model(m))] for i in s.inputs + s.outputs}
        self.assertEqual(kinds, {
            "parts": ("sequence", "int32", (None,)), "whole": ("tensor", "int32", ("n",)),
            "joined": ("tensor", "int32", (None,)), "halves": ("sequence", "int32", (None,)),
            "maybe": ("optional", "float32", (None,)), "present": ("tensor", "bool", ()),
            "nothing": ("optional", "float32", (None,)), "m": ("map", None, ()), "dense": ("tensor", "float32", (1, None)),
            "image": ("tensor", "float32", ("batch", 3, 4, None)), "same": ("tensor", "float32", ("batch", 3, 4, None))})

    def test_tensor_repr(self):
        self.assertEqual(repr(quelt.tensor([[1, 2, 3], [4, 5, 6], [7, 8, 9]], dtype="int8")),
                         "quelt.Tensor(int8, shape=(3, 3), [1, 2, 3, 4, 5, 6, ...])")
        self.assertEqual(repr(quelt.tensor("a")), "quelt.Tensor(string, shape=(), ['a'])")


class Results(unittest.TestCase):
    def test_result_memory_outlives_the_session_and_is_writable(self):
        session = quelt.Session(model("scale_rows"))
        result = session.run({"rows": [[1.0, 2.0, 3.0]], "factor": 2})["scaled"]
        view = memoryview(result)
        del session, result
        gc.collect()
        view[0, 1] = 7.0
        self.assertEqual(view.tolist(), [[2.0, 7.0, 6.0]])

    def test_result_passed_through_from_a_feed_is_a_copy(self):
        # The runtime returns the fed value itself: over memory the caller may change or free.
        session = quelt.Session(model("passthrough"))
        source = bytearray(struct.pack("<2f", 1, 2))
        result = session.run({"x": memoryview(source).cast("f")})["x"]
        fed = quelt.tensor([1.0, 2.0], dtype="float32")
        again = session.run({"x": fed})["x"]
        source[0:4] = struct.pack("<f", 9.0)
        memoryview(fed)[0] = 9.0
        self.assertEqual((result.tolist(), again.tolist()), ([1.0, 2.0], [1.0, 2.0]))

    def test_reference_counts(self):
        session = quelt.Session(model("scale_rows"))
        rows = array.array("f", [1, 2, 3])
        feed = memoryview(rows).cast("B").cast("f", (1, 3))
        before = sys.getrefcount(rows), sys.getrefcount(feed)
        for _ in range(3):
            out = session.run({"rows": feed, "factor": 1})
        self.assertEqual((sys.getrefcount(rows), sys.getrefcount(feed)), before)
        self.assertEqual(sys.getrefcount(out["scaled"]), 2)
        feed.release()  # refused while an export of it were left behind
        rows.append(4.0)


class QueltTensor(unittest.TestCase):
    def test_inferred_types(self):
        for data, dtype, shape, values in (
                (True, "bool", (), True), ([1, 2], "int64", (2,), [1, 2]), ([1, 2.5], "float64", (2,), [1.0, 2.5]),
                ([[1j], [2]], "complex128", (2, 1), [[1j], [2 + 0j]]), ([], "float64", (0,), []),
                (["a", "b"], "string", (2,), ["a", "b"]), (array.array("h", [1, 2]), "int16", (2,), [1, 2]),
                (queltcore.vecz(1), "complex128", (1,), [0j])):
            with self.subTest(data=data):
                t = quelt.tensor(data)
                self.assertEqual((t.dtype, t.shape, t.tolist()), (dtype, shape, values))

    def test_conversions_reshapes_and_copies(self):
        self.assertEqual(quelt.tensor([1, 2], dtype="float16").tolist(), [1.0, 2.0])
        self.assertEqual(quelt.tensor([], dtype="int8", shape=(0, 3)).shape, (0, 3))
        self.assertEqual(quelt.tensor([1, 2, 3, 4, 5, 6], shape=(2, 3)).tolist(), [[1, 2, 3], [4, 5, 6]])
        self.assertEqual(quelt.tensor(struct.pack("<2d", 1.5, 2.5), dtype="float64").tolist(), [1.5, 2.5])
        self.assertEqual(quelt.tensor(b"\x02\x00\x01", dtype="bool").tolist(), [True, False, True])
        source = array.array("f", [1, 2])
        copy = quelt.tensor(source)
        source[0] = 9.0
        self.assertEqual(copy.tolist(), [1.0, 2.0])

    def test_refusals(self):
        for args, error, message in (
                (([1], "float8"), ValueError, "unknown dtype 'float8'; the element types are float32, float64, float16, "
                 "bfloat16, int8, uint8, int16, uint16, int32, uint32, int64, uint64, bool, string, complex64, complex128"),
                (([1.5], "int32"), TypeError, "quelt.tensor expects int32, got float"),
                (([256], "uint8"), ValueError, "quelt.tensor expects uint8, got 256, which does not fit"),
                (([-1], "uint64"), ValueError, "quelt.tensor expects uint64, got -1, which does not fit"),
                (([1e39], "float32"), ValueError, "quelt.tensor expects float32, got 1e+39, which does not fit"),
                (([1], "bool"), TypeError, "quelt.tensor expects bool, got int"),
                (([[1, 2], [3]],), ValueError, "quelt.tensor: nested lists are ragged (expected 2 items at depth 1)"),
                (([1, "a"],), TypeError, "quelt.tensor: nested lists mix str with numbers"),
                (([object()],), TypeError, "quelt.tensor expects a tensor, a buffer, a container or (nested lists of) "
                 "bool, int, float, complex or str, got object"),
                ((b"abc", "int16", (2,)), ValueError,
                 "quelt.tensor: 3 bytes do not hold a whole number of int16 elements (2 bytes each)"),
                (([1, 2, 3], None, (2, 2)), ValueError, "quelt.tensor: shape (2, 2) holds 4 elements, the data 3"),
                ((array.array("d", [1.0]), "int32"), TypeError, "quelt.tensor expects int32, got float64")):
            with self.subTest(args=args):
                with self.assertRaises(error) as caught:
                    quelt.tensor(*args)
                self.assertEqual(str(caught.exception), message)


class Refusals(unittest.TestCase):
    """Every refusal names the input and comes before the runtime runs; the session stays usable."""

    def test_feed_errors(self):
        session = quelt.Session(model("scale_rows"))
        good = {"rows": [[1.0, 2.0, 3.0]], "factor": 2}
        shapes = quelt.Session(model("shapes"))
        for target, feeds, outputs, error, message in (
                (session, dict(good, z=1), None, ValueError, "unknown input 'z'; the model's inputs are 'rows', 'factor'"),
                (session, {"rows": [[1.0, 2.0, 3.0]]}, None, ValueError,
                 "missing input 'factor'; the model's inputs are 'rows', 'factor'"),
                (session, dict(good, rows=array.array("d", [1, 2, 3])), None, TypeError,
                 "input 'rows' expects float32, got float64"),
                (session, dict(good, rows=[1.0, 2.0, 3.0]), None, ValueError,
                 "input 'rows' expects shape (batch, 3), got (3,)"),
                (shapes, {"image": quelt.tensor([0.0] * 300, dtype="float32", shape=(1, 3, 5, 20))}, None, ValueError,
                 "input 'image' expects shape (batch, 3, 4, None), got (1, 3, 5, 20)"),
                (session, dict(good, factor=2 ** 63), None, ValueError,
                 "input 'factor' expects int64, got 9223372036854775808, which does not fit"),
                (session, dict(good, factor=2.0), None, TypeError, "input 'factor' expects int64, got float"),
                (session, dict(good, factor="2"), None, TypeError, "input 'factor' expects int64, got str"),
                (session, dict(good, rows=[[1.0, 2.0, 3.0], [1.0]]), None, ValueError,
                 "input 'rows': nested lists are ragged (expected 3 items at depth 1)"),
                (session, dict(good, rows=memoryview(b"abc")), None, TypeError, "input 'rows' expects float32, got uint8"),
                (session, good, ["scaled", "nope"], ValueError, "unknown output 'nope'; the model's outputs are 'scaled', 'shape'"),
                (session, good, ["shape", "shape"], ValueError, "output 'shape' is asked for twice"),
                (session, good, "shape", TypeError, "outputs must be a list of output names, got str"),
                (session, [("rows", 1)], None, TypeError, "feeds must be a mapping of input names to values, got list"),
                (quelt.Session(model("sequences")), {"parts": [], "whole": [1]}, None, ValueError,
                 "input 'parts' expects a sequence, got an empty list, which the runtime cannot make"),
                (quelt.Session(model("sequences")), {"parts": [[1], [2.5]], "whole": [1]}, None, TypeError,
                 "input 'parts' item 1 expects int32, got float")):
            with self.subTest(message=message):
                with self.assertRaises(error) as caught:
                    target.run(feeds, outputs)
                self.assertEqual(str(caught.exception), message)
        self.assertEqual(session.run(good)["scaled"].tolist(), [[2.0, 4.0, 6.0]])

    def test_lists_changed_while_read(self):
        rows = [[0.0, 0.0, 0.0] for _ in range(50)]

        class Shrinking:
            def __float__(self):
                del rows[:]
                gc.collect()
                return 1.0

        rows[0][0] = Shrinking()
        session = quelt.Session(model("scale_rows"))
        # Read as it was when the run began.
        result = session.run({"rows": rows, "factor": 1})["scaled"].tolist()
        self.assertEqual((len(result), result[0], result[1:]), (50, [1.0, 0.0, 0.0], [[0.0] * 3] * 49))

    def test_runtime_failures_keep_its_message(self):
        session = quelt.Session(os.path.join(MODELS, "..", "reshape_by_value.onnx"))
        with self.assertRaisesRegex(RuntimeError, "Reshape"):
            session.run({"x": [1, 2, 3, 4], "shape": [3, 3]})
        self.assertEqual(session.run({"x": [1, 2, 3, 4], "shape": [2, 2]})["y"].tolist(), [[1, 2], [3, 4]])

    def test_bad_models(self):
        with open(model("scale_rows"), "rb") as f:
            good = f.read()
        with tempfile.TemporaryDirectory() as folder:
            empty = os.path.join(folder, "empty.onnx")
            open(empty, "wb").close()
            missing = os.path.join(folder, "missing.onnx")
            for source, error in ((empty, RuntimeError), (b"", RuntimeError), (good[: len(good) // 2], RuntimeError),
                                  (b"\xff" * 64, RuntimeError), (bytearray(b"garbage"), RuntimeError),
                                  (missing, FileNotFoundError), (folder, IsADirectoryError)):
                with self.subTest(source=source[:16]):
                    with self.assertRaises(error) as caught:
                        quelt.Session(source)
                    self.assertTrue(str(caught.exception))
            with self.assertRaises(FileNotFoundError) as caught:
                quelt.Session(missing)
            self.assertEqual(str(caught.exception), "[Errno 2] No such file or directory: %r" % missing)
            import pathlib
            self.assertEqual(len(quelt.Session(pathlib.Path(model("scale_rows"))).inputs), 2)
        self.assertEqual(len(quelt.Session(memoryview(good)).inputs), 2)
        for kwargs, error, message in (
                (dict(threads=-1), ValueError, "threads must be 0 (the runtime's default) or more, got -1"),
                (dict(optimization="max"), ValueError,
                 "optimization must be 'disable', 'basic', 'extended' or 'all', got 'max'")):
            with self.assertRaises(error) as caught:
                quelt.Session(model("scale_rows"), **kwargs)
            self.assertEqual(str(caught.exception), message)
        with self.assertRaisesRegex(TypeError, "^model must be a path"):
            quelt.Session(3)


    def test_objects_without_a_constructor_run_and_class_changes_are_refused(self):
        tensor = quelt.Tensor.__new__(quelt.Tensor)
        session = quelt.Session.__new__(quelt.Session)
        info = quelt.TensorInfo.__new__(quelt.TensorInfo)
        for call, error, name in ((lambda: tensor.tolist(), TypeError, "Tensor"), (lambda: len(tensor), TypeError, "Tensor"),
                                  (lambda: memoryview(tensor), BufferError, "Tensor"),
                                  (lambda: quelt.tensor(tensor), TypeError, "Tensor"),
                                  (lambda: session.inputs, TypeError, "Session"), (lambda: session.run({}), TypeError, "Session"),
                                  (lambda: info.name, TypeError, "TensorInfo"), (lambda: repr(info), TypeError, "TensorInfo")):
            with self.subTest(name=name), self.assertRaises(error) as caught:
                call()
            self.assertEqual(str(caught.exception), "quelt._native.%s object is not initialised" % name)
        real = quelt.tensor([1.5])
        description = quelt.Session(model("scale_rows")).inputs[0]
        for obj, other in ((real, quelt.Session), (real, quelt.TensorInfo), (description, quelt.Tensor)):
            for assign in (lambda: setattr(obj, "__class__", other), lambda: object.__setattr__(obj, "__class__", other)):
                with self.subTest(obj=type(obj).__name__, other=other.__name__), self.assertRaises(TypeError):
                    assign()
        self.assertEqual((real.tolist(), description.name), ([1.5], "rows"))

if __name__ == "__main__":
    unittest.main()
