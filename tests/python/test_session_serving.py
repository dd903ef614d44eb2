"""quelt.Session for serving: options, metadata, defaults, cancellation and deadlines from other
threads, outputs written into the caller's memory, external data for a model given as bytes."""
import array
import ast
import os
import struct
import sys
import tempfile
import threading
import unittest

import queltcore
import quelt

MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "models", "session")
# Valgrind runs the file with --memcheck: the thread-heavy cases stay out there.
MEMCHECK = "--memcheck" in sys.argv


def model(name):
    return os.path.join(MODELS, name + ".onnx")


def identity(n):
    return quelt.tensor([[1.0 if i == j else 0.0 for j in range(n)] for i in range(n)], dtype="float32")


class Options(unittest.TestCase):
    def test_refusals(self):
        for kwargs, error, message in (
                (dict(threads="1"), TypeError, "threads must be an int, got str"),
                (dict(threads=True), TypeError, "threads must be an int, got bool"),
                (dict(inter_threads=-2), ValueError, "inter_threads must be 0 (the runtime's default) or more, got -2"),
                (dict(inter_threads=1.0), TypeError, "inter_threads must be an int, got float"),
                (dict(execution="async"), ValueError, "execution must be 'sequential' or 'parallel', got 'async'"),
                (dict(execution=1), TypeError, "execution must be a str, got int"),
                (dict(optimization=None), TypeError, "optimization must be a str, got NoneType"),
                (dict(optimized_path=3), TypeError, "optimized_path must be a path (str or os.PathLike) or None, got int"),
                (dict(optimized_path=""), ValueError, "optimized_path must not be empty"),
                (dict(profile="a\0b"), ValueError, "profile contains a NUL character"),
                (dict(free_dimensions=[("batch", 1)]), TypeError,
                 "free_dimensions must be a dict of dimension names to sizes, got list"),
                (dict(free_dimensions={"batch": 1.5}), TypeError, "free dimension 'batch' must be an int, got float"),
                (dict(free_dimensions={1: 1}), TypeError, "free_dimensions must be keyed by dimension names, got a key of type int"),
                (dict(free_dimensions={"batch": -1}), ValueError, "free dimension 'batch' must be 0 or more and fit int64, got -1"),
                (dict(external_data=b"x"), TypeError, "external_data must be a path (str or os.PathLike) or None, got bytes"),
                (dict(external_data=MODELS), ValueError,
                 "external_data is for a model given as bytes; a model file reads its external data from its own folder")):
            with self.subTest(kwargs=kwargs), self.assertRaises(error) as caught:
                quelt.Session(model("scale_rows"), **kwargs)
            self.assertEqual(str(caught.exception), message)

    def test_accepted_options_run_alike(self):
        feeds = {"rows": [[1.0, 2.0, 3.0]], "factor": 3}
        for kwargs in (dict(inter_threads=2, execution="parallel"), dict(threads=1, execution="sequential")):
            with self.subTest(kwargs=kwargs):
                self.assertEqual(quelt.Session(model("scale_rows"), **kwargs).run(feeds)["scaled"].tolist(),
                                 [[3.0, 6.0, 9.0]])

    def test_free_dimensions_fix_the_shape_and_its_checks(self):
        s = quelt.Session(model("scale_rows"), free_dimensions={"batch": 2})
        self.assertEqual((s.inputs[0].shape, s.outputs[0].shape), ((2, 3), (2, 3)))
        with self.assertRaises(ValueError) as caught:
            s.run({"rows": [[1.0, 2.0, 3.0]], "factor": 1})
        self.assertEqual(str(caught.exception), "input 'rows' expects shape (2, 3), got (1, 3)")

    def test_optimized_model_and_profile_files(self):
        with tempfile.TemporaryDirectory() as folder:
            saved = os.path.join(folder, "optimized.onnx")
            s = quelt.Session(model("scale_rows"), optimized_path=saved, profile=os.path.join(folder, "run"))
            s.run({"rows": [[1.0, 2.0, 3.0]], "factor": 2})
            again = quelt.Session(saved).run({"rows": [[1.0, 2.0, 3.0]], "factor": 2})
            self.assertEqual(again["scaled"].tolist(), [[2.0, 4.0, 6.0]])
            profile = s.end_profiling()
            self.assertEqual(os.path.dirname(profile), folder)
            with open(profile) as written:
                self.assertIn('"cat"', written.read())
            self.assertIsNone(s.end_profiling())
        self.assertIsNone(quelt.Session(model("scale_rows")).end_profiling())


class Description(unittest.TestCase):
    def test_metadata_every_field_and_absent_ones(self):
        every = quelt.Session(model("metadata")).metadata
        self.assertEqual((every.producer, every.producer_version, every.graph_name, every.domain, every.description,
                          every.version, every.custom),
                         ("quelt-tests", "1.2.3", "described", "org.quelt.tests", "y is x; every metadata field is set",
                          7, {"labels": "cat,dog", "sample_rate": "16000"}))
        every.custom["labels"] = "changed"
        self.assertEqual(every.custom["labels"], "cat,dog")
        few = quelt.Session(model("passthrough")).metadata
        self.assertEqual((few.producer_version, few.domain, few.description, few.version, few.custom),
                         ("", "", "", None, {}))
        self.assertEqual(repr(few), "quelt.ModelMetadata(producer='quelt-tests', producer_version='', "
                         "graph_name='passthrough', domain='', description='', version=None, custom={})")

    def test_stub_names_every_public_name(self):
        with open(os.path.join(os.path.dirname(quelt.__file__), "_session.pyi")) as source:
            tree = ast.parse(source.read())
        stubbed = {node.name: {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
                   for node in tree.body if isinstance(node, ast.ClassDef)}
        stubbed.update({node.name: None for node in tree.body if isinstance(node, ast.FunctionDef)})
        self.assertEqual(set(stubbed), set(quelt._session.__all__))
        for name, members in stubbed.items():
            if members is not None and name != "Cancelled":
                with self.subTest(name=name):
                    public = {m for m in dir(getattr(quelt, name)) if not m.startswith("_")}
                    self.assertEqual({m for m in members if not m.startswith("_")}, public)

    def test_has_default(self):
        s = quelt.Session(model("with_default"))
        self.assertEqual([(i.name, i.has_default) for i in s.inputs], [("x", False), ("bias", True)])


# dtype, buffer format, bytes of three elements
INTO = [("float32", "f", struct.pack("<3f", 1.5, -2, 3)), ("float64", "d", struct.pack("<3d", 0.1, 2, 3)),
        ("float16", "e", struct.pack("<3e", 1.5, -2, 3)), ("bfloat16", "H", struct.pack("<3H", 0x3fc0, 1, 2)),
        ("int8", "b", b"\x80\x7f\x00"), ("uint8", "B", b"\x00\xff\x07"), ("int16", "h", struct.pack("<3h", -1, 2, 3)),
        ("uint16", "H", struct.pack("<3H", 1, 2, 65535)), ("int32", "i", struct.pack("<3i", -1, 2, 3)),
        ("uint32", "I", struct.pack("<3I", 1, 2, 3)), ("int64", "q", struct.pack("<3q", -1, 2, 3)),
        ("uint64", "Q", struct.pack("<3Q", 1, 2, 3)), ("bool", "?", b"\x01\x00\x01")]


# The runtime's own words for an output buffer of the wrong shape: node, given and needed shape.
RUNTIME_SHAPE_MESSAGE = (
    "Non-zero status code returned while running %s node. Name:'' Status Message: /onnxruntime_src/onnxruntime/core/"
    "framework/execution_frame.cc:173 onnxruntime::common::Status onnxruntime::IExecutionFrame::"
    "GetOrCreateNodeOutputMLValue(int, int, const onnxruntime::TensorShape*, OrtValue*&, const onnxruntime::Node&) "
    "shape && tensor.Shape() == *shape was false. OrtValue shape verification failed. Current shape:{%s} "
    "Requested shape:{%s}\n")


class Into(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = quelt.Session(model("identity_all"))
        cls.feeds = {"in_" + dtype: quelt.tensor(raw, dtype=dtype, shape=(3,)) for dtype, _, raw in INTO}
        cls.feeds["in_string"] = ["a", "b", "c"]

    def test_every_element_type(self):
        targets = {"out_" + dtype: bytearray(len(raw)) for dtype, _, raw in INTO}
        into = {name: memoryview(target).cast("B").cast(fmt) if fmt != "e" else target
                for (dtype, fmt, _), (name, target) in zip(INTO, targets.items())}
        # memoryview cannot cast to half precision: a tensor's own memory stands in.
        into["out_float16"] = quelt.tensor(b"\0" * 6, dtype="float16", shape=(3,))
        out = self.session.run(self.feeds, into=into)
        for dtype, _, raw in INTO:
            with self.subTest(dtype=dtype):
                self.assertIs(out["out_" + dtype], into["out_" + dtype])
                self.assertEqual(bytes(memoryview(into["out_" + dtype]).cast("B")), raw)
        self.assertEqual(out["out_string"].tolist(), ["a", "b", "c"])

    def test_core_vector_and_view(self):
        v = queltcore.vecs(5)
        feeds = dict(self.feeds, in_float32=quelt.tensor([1.0, 2.0], dtype="float32"))
        self.assertIs(self.session.run(feeds, ["out_float32"], into={"out_float32": v[1:3]})["out_float32"].__class__,
                      type(v[1:3]))
        self.assertEqual([v[i] for i in range(5)], [0.0, 1.0, 2.0, 0.0, 0.0])

    def test_refusals_leave_the_target_unchanged(self):
        good = bytearray(b"\x11" * 12)
        fed = array.array("f", [1, 2, 3])
        feeds = dict(self.feeds, in_float32=fed)
        for into, outputs, error, message in (
                ({"out_float32": memoryview(good)[:8].cast("d")}, None, TypeError, "into 'out_float32' expects float32, got float64"),
                ({"out_float32": bytes(12)}, None, TypeError, "into 'out_float32' is read-only"),
                ({"out_float32": memoryview(bytearray(24)).cast("f")[::2]}, None, TypeError, "into 'out_float32' is not C-contiguous"),
                ({"out_float32": 3}, None, TypeError,
                 "into 'out_float32' expects a writable C-contiguous buffer or a queltcore vector or view, got int"),
                ({"out_string": bytearray(3)}, None, TypeError,
                 "output 'out_string' has element type string, which cannot be written into a buffer"),
                ({"out_float32": memoryview(good).cast("f", (1, 3))}, None, ValueError,
                 "into 'out_float32' expects shape (n,), got (1, 3)"),
                ({"nope": good}, None, ValueError, "unknown output 'nope'; the model's outputs are " +
                 ", ".join("'%s'" % i.name for i in self.session.outputs)),
                ({"out_int8": good}, ["out_float32"], ValueError, "output 'out_int8' is in into but not among the outputs asked for"),
                ({"out_float32": fed}, None, ValueError, "into 'out_float32' shares memory with a feed"),
                ([("out_float32", good)], None, TypeError, "into must be a dict of output names to buffers, got list")):
            with self.subTest(message=message), self.assertRaises(error) as caught:
                self.session.run(feeds, outputs, into=into)
            self.assertEqual(str(caught.exception), message)
            self.assertEqual(good, bytearray(b"\x11" * 12))

    def test_size_only_the_run_knows_keeps_the_runtimes_message(self):
        s = quelt.Session(model("scale_rows"))
        target = bytearray(b"\x11" * 24)
        with self.assertRaises(RuntimeError) as caught:  # a batch of 1 into room for 2
            s.run({"rows": [[1.0, 2.0, 3.0]], "factor": 2}, into={"scaled": memoryview(target).cast("f", (2, 3))})
        self.assertEqual(str(caught.exception), RUNTIME_SHAPE_MESSAGE % ("Mul", "2,3", "1,3"))
        self.assertEqual(target, bytearray(b"\x11" * 24))
        self.assertEqual(s.run({"rows": [[1.0, 2.0, 3.0]], "factor": 2})["scaled"].tolist(), [[2.0, 4.0, 6.0]])

    def test_output_that_is_an_input_is_refused(self):
        target = array.array("f", [0, 0])
        with self.assertRaises(ValueError) as caught:
            quelt.Session(model("passthrough")).run({"x": array.array("f", [4, 5])}, into={"x": target})
        self.assertEqual(str(caught.exception), "output 'x' is the input of that name, which the runtime hands back "
                         "without writing into a buffer")


class ExternalData(unittest.TestCase):
    def test_bytes_with_and_without_the_folder(self):
        with open(model("external"), "rb") as source:
            data = source.read()
        x, expected = [1.0, 1.0, 2.0, 0.0], [1.5, 2.25, 5.0, 100.0]
        cwd = os.getcwd()
        with tempfile.TemporaryDirectory() as folder:
            # A decoy of the file's name where the runtime would look: never read.
            with open(os.path.join(folder, "external.bin"), "wb") as decoy:
                decoy.write(struct.pack("<8f", *[9.0] * 8))
            empty, short = os.path.join(folder, "empty"), os.path.join(folder, "short")
            os.mkdir(empty)
            os.mkdir(short)
            with open(os.path.join(MODELS, "external.bin"), "rb") as whole, \
                    open(os.path.join(short, "external.bin"), "wb") as cut:
                cut.write(whole.read()[:20])
            missing = ("the model keeps 'scale' in the external data file 'external.bin'; a model given as bytes needs "
                       "external_data= naming the folder that holds it")
            os.chdir(folder)
            try:
                for kwargs, outcome in (
                        (dict(optimization="disable"), (ValueError, missing)), (dict(), (ValueError, missing)),
                        (dict(optimization="disable", external_data=MODELS), expected),
                        (dict(external_data=MODELS), expected),
                        (dict(external_data=empty), (ValueError, "initializer 'scale' keeps its data in 'external.bin', "
                         "which cannot be read from '%s': No such file or directory" % os.path.join(empty, "external.bin"))),
                        (dict(external_data=short), (ValueError, "external data file 'external.bin' holds 20 bytes; "
                         "initializer 'bias' needs 16 from offset 16")),
                        (dict(external_data=os.path.join(folder, "nowhere")), FileNotFoundError)):
                    with self.subTest(kwargs=kwargs):
                        try:
                            got = quelt.Session(data, **kwargs).run({"x": x})["y"].tolist()
                        except ValueError as error:
                            got = (ValueError, str(error))
                        except FileNotFoundError:
                            got = FileNotFoundError
                        self.assertEqual(got, outcome)
            finally:
                os.chdir(cwd)
        self.assertEqual(quelt.Session(model("external")).run({"x": x})["y"].tolist(), expected)


@unittest.skipIf(MEMCHECK, "threads under valgrind")
class Stopping(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = quelt.Session(model("slow"), threads=1)
        cls.long = identity(768)  # seconds of work: stopped long before it ends

    def run_in_threads(self, count, **kwargs):
        raised = [None] * count

        def work(i):
            try:
                self.session.run({"x": self.long}, **kwargs)
            except Exception as error:  # checked by the caller
                raised[i] = error

        threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
        for thread in threads:
            thread.start()
        return threads, raised

    def test_token_shared_by_runs_while_other_runs_go_on(self):
        token = quelt.Cancel()
        done, finished = threading.Event(), []

        def other():  # the same session, no token: never stopped
            while not done.is_set():
                finished.append(self.session.run({"x": identity(16)})["y"].tolist() == identity(16).tolist())

        bystander = threading.Thread(target=other)
        bystander.start()
        threads, raised = self.run_in_threads(2, cancel=token)
        threading.Timer(0.3, token.cancel).start()
        for thread in threads:
            thread.join()
        done.set()
        bystander.join()
        self.assertEqual([(type(e), str(e)) for e in raised], [(quelt.Cancelled, "the run was cancelled")] * 2)
        self.assertTrue(token.cancelled and issubclass(quelt.Cancelled, RuntimeError))
        self.assertTrue(finished and all(finished))
        self.assertEqual(repr(token), "quelt.Cancel(cancelled=True)")

    def test_cancelled_token_stops_before_the_runtime(self):
        token = quelt.Cancel()
        token.cancel()
        failing = quelt.Session(os.path.join(MODELS, "..", "reshape_by_value.onnx"))
        with self.assertRaises(quelt.Cancelled):  # not the runtime's Reshape failure
            failing.run({"x": [1, 2, 3, 4], "shape": [3, 3]}, cancel=token)

    def test_timeout_from_another_thread_and_session_usable(self):
        # A later deadline armed first: the shorter one after it must still wake the watchdog.
        self.assertEqual(self.session.run({"x": [[1.0]]}, timeout=30)["y"].tolist(), [[1.0]])
        threads, raised = self.run_in_threads(1, timeout=0.25)
        threads[0].join()
        self.assertEqual([(type(e), str(e)) for e in raised], [(TimeoutError, "the run did not finish within 0.25 seconds")])
        with self.assertRaises(TimeoutError):
            self.session.run({"x": self.long}, timeout=0.2)  # on the main thread, beside the interrupt hook
        self.assertEqual(self.session.run({"x": [[2.0]]}, timeout=60, cancel=quelt.Cancel())["y"].tolist(), [[float("inf")]])

    def test_refusals(self):
        for kwargs, error, message in ((dict(timeout=0), ValueError, "timeout must be a positive number of seconds, got 0"),
                                       (dict(timeout="1"), TypeError, "timeout must be a number of seconds or None, got str"),
                                       (dict(cancel=True), TypeError, "cancel must be a quelt.Cancel or None, got bool")):
            with self.subTest(kwargs=kwargs), self.assertRaises(error) as caught:
                self.session.run({"x": [[1.0]]}, **kwargs)
            self.assertEqual(str(caught.exception), message)


if __name__ == "__main__":
    if MEMCHECK:
        sys.argv.remove("--memcheck")
    unittest.main()
