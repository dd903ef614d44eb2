"""The model class: progress lines, construction failures, element access and runs."""
import ctypes
import math
import os
import struct
import tempfile
import unittest

import queltcore

MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "models")
LIBC = ctypes.CDLL(None)

FLOAT_LINE = "Quelt::Onnx::MakeTensor:: making tensor of type 'float'"


def path(name):
    return os.path.join(MODELS, name + ".onnx")


def name_line(side, i, name):
    return "Quelt::Onnx::Model:: %s name %d '%s'" % (side, i, name)


def shape_line(side, i, dims):
    return "Quelt::Onnx::Model:: %s shape %d '{%s}'" % (side, i, ", ".join(str(d) for d in dims))


def single(value):
    """value rounded to single precision, as Python sees it."""
    return struct.unpack("f", struct.pack("f", value))[0]


class CapturedOutput:
    """Collects what is written to file descriptor 1, where the loader's lines go."""

    def __enter__(self):
        LIBC.fflush(None)
        self.saved = os.dup(1)
        self.file = tempfile.TemporaryFile()
        os.dup2(self.file.fileno(), 1)
        return self

    def __exit__(self, *exc):
        # The shape line is not flushed by the loader; it may still sit in the C stream.
        LIBC.fflush(None)
        os.dup2(self.saved, 1)
        os.close(self.saved)
        self.file.seek(0)
        self.text = self.file.read().decode()
        self.file.close()
        return False


def load(name):
    """The model and the lines its construction wrote."""
    with CapturedOutput() as out:
        model = queltcore.model(path(name))
    return model, out.text


def failed_load(name):
    """The RuntimeError message of a construction that fails, and the lines written before it."""
    with CapturedOutput() as out:
        try:
            queltcore.model(path(name))
        except RuntimeError as error:
            message = str(error)
        else:
            message = None
    return message, out.text


class ProgressLinesTest(unittest.TestCase):
    def test_every_input_then_every_output_is_described(self):
        _, text = load("reshape")
        self.assertEqual(text, "".join(line + "\n" for line in [
            name_line("input", 0, "grid"), shape_line("input", 0, [2, 3]), FLOAT_LINE,
            name_line("input", 1, "flat"), shape_line("input", 1, [6]), FLOAT_LINE,
            name_line("output", 0, "flattened"), shape_line("output", 0, [6]), FLOAT_LINE,
            name_line("output", 1, "shaped"), shape_line("output", 1, [2, 3]), FLOAT_LINE]))

    def test_rank_zero_shape_line_is_a_whole_line(self):
        _, text = load("scalar")
        self.assertEqual(text.splitlines(keepends=True), [
            "Quelt::Onnx::Model:: input name 0 'x'\n", "Quelt::Onnx::Model:: input shape 0 '{}'\n",
            FLOAT_LINE + "\n",
            "Quelt::Onnx::Model:: output name 0 'y'\n", "Quelt::Onnx::Model:: output shape 0 '{}'\n",
            FLOAT_LINE + "\n"])

    def test_tensors_without_float_elements_get_no_type_line(self):
        _, text = load("mixed")
        self.assertEqual(text.splitlines(), [
            name_line("input", 0, "x"), shape_line("input", 0, [3]), FLOAT_LINE,
            name_line("input", 1, "n"), shape_line("input", 1, [2]),
            name_line("output", 0, "count"), shape_line("output", 0, [2]),
            name_line("output", 1, "y"), shape_line("output", 1, [3]), FLOAT_LINE])

    def test_a_model_without_inputs_describes_only_its_outputs(self):
        _, text = load("constant")
        self.assertEqual(text.splitlines(), [name_line("output", 0, "y"), shape_line("output", 0, [2, 2]),
                                             FLOAT_LINE])

    def test_each_model_of_one_file_writes_its_own_lines(self):
        first, first_text = load("copy")
        second, second_text = load("copy")
        expected = [name_line("input", 0, "x"), shape_line("input", 0, [1, 2]), FLOAT_LINE,
                    name_line("output", 0, "y"), shape_line("output", 0, [1, 2]), FLOAT_LINE]
        self.assertEqual(first_text.splitlines(), expected)
        self.assertEqual(second_text.splitlines(), expected)


class ConstructionFailureTest(unittest.TestCase):
    def test_missing_file_fails_before_anything_is_written(self):
        missing = os.path.join(MODELS, "no_such_model.onnx")
        with CapturedOutput() as out:
            with self.assertRaises(RuntimeError) as caught:
                queltcore.model(missing)
        self.assertEqual(out.text, "")
        self.assertEqual(str(caught.exception),
                         "Load model from %s failed:Load model %s failed. File doesn't exist" % (missing, missing))

    def test_unsupported_element_types(self):
        message, text = failed_load("bfloat_input")
        self.assertEqual(message, "Unsupported datatype 'ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16'")
        self.assertEqual(text.splitlines(), [name_line("input", 0, "b"), shape_line("input", 0, [2])])

        # Inputs are handled completely before an output is refused.
        message, text = failed_load("half_output")
        self.assertEqual(message, "Unsupported datatype 'ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16'")
        self.assertEqual(text.splitlines(), [
            name_line("input", 0, "x"), shape_line("input", 0, [2]), FLOAT_LINE,
            name_line("output", 0, "y"), shape_line("output", 0, [2])])

    def test_dynamic_dimension_is_shown_then_refused_by_the_runtime(self):
        message, text = failed_load("dynamic")
        self.assertEqual(text.splitlines(), [name_line("input", 0, "x"), shape_line("input", 0, [-1, 3])])
        self.assertIsNotNone(message)
        self.assertNotIn("Unsupported datatype", message)

    def test_inputs_and_outputs_that_are_not_tensors(self):
        message, text = failed_load("sequence_input")
        self.assertEqual(message, "input 0 'items' is not a tensor")
        self.assertEqual(text.splitlines(), [name_line("input", 0, "items")])

        message, text = failed_load("sequence_output")
        self.assertEqual(message, "output 0 'items' is not a tensor")
        self.assertEqual(text.splitlines(), [
            name_line("input", 0, "x"), shape_line("input", 0, [2]), FLOAT_LINE,
            name_line("output", 0, "items")])

    def test_failed_construction_can_be_repeated(self):
        for _ in range(3):
            self.assertEqual(failed_load("half_output")[0],
                             "Unsupported datatype 'ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16'")
        model, _ = load("copy")
        model.set(0, [0, 0], 4.0)
        model.run()
        self.assertEqual(model.get(0, [0, 0]), 4.0)


class ElementAccessTest(unittest.TestCase):
    def test_set_run_get_and_repeated_runs(self):
        model, _ = load("copy")
        model.set(0, [0, 0], -1.0)
        model.set(0, [0, 1], 2.5)
        model.run()
        self.assertEqual((model.get(0, [0, 0]), model.get(0, [0, 1])), (-1.0, 2.5))
        # Inputs keep their values: a run without new writes gives the same result.
        model.run()
        model.run()
        self.assertEqual((model.get(0, [0, 0]), model.get(0, [0, 1])), (-1.0, 2.5))
        model.set(0, [0, 0], 7.0)
        model.run()
        self.assertEqual((model.get(0, [0, 0]), model.get(0, [0, 1])), (7.0, 2.5))

    def test_elements_are_addressed_in_row_major_order(self):
        model, _ = load("reshape")
        grid = {(i, j): float(100 + 7 * i + j) for i in range(2) for j in range(3)}
        flat = [float(-5 - k) for k in range(6)]
        for index, value in grid.items():
            model.set(0, list(index), value)
        for k, value in enumerate(flat):
            model.set(1, [k], value)
        model.run()
        # Reshaping keeps the element order, so element number i*3 + j is element (i, j).
        self.assertEqual([model.get(0, [k]) for k in range(6)], [grid[(k // 3, k % 3)] for k in range(6)])
        self.assertEqual({(i, j): model.get(1, [i, j]) for i in range(2) for j in range(3)},
                         {(i, j): flat[i * 3 + j] for i in range(2) for j in range(3)})

    def test_rank_zero_tensors_take_the_empty_index(self):
        model, _ = load("scalar")
        model.set(0, [], 2.25)
        model.run()
        self.assertEqual(model.get(0, []), 6.75)
        with self.assertRaises(RuntimeError):
            model.get(0, [0])

    def test_results_against_a_computation_by_hand(self):
        model, _ = load("classifier")
        weights = [[0.5, -0.5], [1.0, 0.0], [-1.0, 2.0]]
        bias = [0.1, -0.1]
        features = [0.3, -1.2, 0.75]
        for j, value in enumerate(features):
            model.set(0, [0, j], value)
        model.run()
        scores = [sum(single(features[i]) * weights[i][c] for i in range(3)) + bias[c] for c in range(2)]
        total = sum(math.exp(s) for s in scores)
        for c in range(2):
            self.assertAlmostEqual(model.get(0, [0, c]), math.exp(scores[c]) / total, places=6)

    def test_values_are_single_precision(self):
        model, _ = load("copy")
        model.set(0, [0, 0], 0.1)
        model.set(0, [0, 1], 3)
        model.run()
        self.assertEqual(model.get(0, [0, 0]), single(0.1))
        self.assertNotEqual(model.get(0, [0, 0]), 0.1)
        self.assertEqual(model.get(0, [0, 1]), 3.0)

    def test_get_before_any_run_returns_a_float(self):
        model, _ = load("copy")
        self.assertIsInstance(model.get(0, [0, 1]), float)

    def test_path_as_bytes(self):
        with CapturedOutput():
            model = queltcore.model(path("scalar").encode())
        model.set(0, [], 1.0)
        model.run()
        self.assertEqual(model.get(0, []), 3.0)

    def test_two_models_of_one_file_share_no_tensors(self):
        first, _ = load("copy")
        second, _ = load("copy")
        first.set(0, [0, 0], 1.0)
        second.set(0, [0, 0], 2.0)
        first.run()
        second.run()
        self.assertEqual((first.get(0, [0, 0]), second.get(0, [0, 0])), (1.0, 2.0))
        del first
        second.run()
        self.assertEqual(second.get(0, [0, 0]), 2.0)

    def test_the_class_is_registered_first_with_its_signatures(self):
        names = [name for name in vars(queltcore) if not name.startswith("__")]
        self.assertEqual(names[0], "model")
        self.assertEqual(queltcore.model.set.__doc__.splitlines()[0],
                         "set(self: queltcore.model, arg0: int, arg1: List[int], arg2: float) -> None")
        self.assertEqual(queltcore.model.get.__doc__.splitlines()[0],
                         "get(self: queltcore.model, arg0: int, arg1: List[int]) -> float")
        self.assertEqual(queltcore.model.run.__doc__.splitlines()[0], "run(self: queltcore.model) -> None")


class StartingValuesTest(unittest.TestCase):
    def test_tensors_start_at_zero_whatever_came_before(self):
        # (model, the elements of its float input 0, the float outputs' elements, what each of
        # those holds after a run with inputs of zero)
        e = [math.exp(0.1), math.exp(-0.1)]
        ends = [[0], [1], [2]]
        cases = [("copy", [[0, 0], [0, 1]], {0: [[0, 0], [0, 1]]}, {0: [0, 0]}),
                 ("scalar", [[]], {0: [[]]}, {0: [0]}),
                 ("mixed", ends, {1: ends}, {1: [1, 1, 1]}),
                 ("echoes", ends, {0: ends, 1: ends, 2: ends}, {0: [0] * 3, 1: [0] * 3, 2: [0] * 3}),
                 ("classifier", [[0, 0], [0, 1], [0, 2]], {0: [[0, 0], [0, 1]]}, {0: [e[0] / sum(e), e[1] / sum(e)]})]
        for round_ in range(2):
            for name, inputs, outputs, results in cases:
                with self.subTest(model=name, round=round_):
                    model, _ = load(name)
                    self.assertEqual({o: [model.get(o, i) for i in idx] for o, idx in outputs.items()},
                                     {o: [0.0] * len(idx) for o, idx in outputs.items()})
                    model.run()
                    for o, idx in outputs.items():
                        for i, want in zip(idx, results[o]):
                            self.assertAlmostEqual(model.get(o, i), want, places=6)
                    # Leftovers for the next model, which may be given the same memory.
                    for i in inputs:
                        model.set(0, i, 7.14e31)
                    model.run()
                    del model

    def test_outputs_that_are_inputs_or_listed_twice(self):
        relu = lambda values: [max(v, 0.0) for v in values]
        # (model, two runs' values of input 0, the outputs that then hold them or their relu)
        cases = [("echoes", ([-1.0, 0.5, 2.0], [3.0, -4.0, 0.0]), [relu, list, relu]),
                 ("passthrough", ([1.5, -2.0], [0.0, 8.0]), [list])]
        for name, runs, outputs in cases:
            model, _ = load(name)
            for values in runs:
                with self.subTest(model=name, values=values):
                    for i, value in enumerate(values):
                        model.set(0, [i], value)
                    model.run()
                    self.assertEqual([[model.get(o, [i]) for i in range(len(values))] for o in range(len(outputs))],
                                     [output(values) for output in outputs])


class RefusedAccessTest(unittest.TestCase):
    """Every refused call raises and changes nothing; the model stays usable."""

    def setUp(self):
        self.model, _ = load("copy")
        self.model.set(0, [0, 0], 1.5)
        self.model.set(0, [0, 1], -2.5)

    def assertUnchanged(self):
        self.model.run()
        self.assertEqual((self.model.get(0, [0, 0]), self.model.get(0, [0, 1])), (1.5, -2.5))

    def assertRuntimeError(self, call, message):
        with self.assertRaises(RuntimeError) as caught:
            call()
        self.assertEqual(str(caught.exception), message)

    def test_multi_index_of_the_wrong_length(self):
        for index in ([0], [0, 1, 0], []):
            self.assertRuntimeError(lambda: self.model.set(0, index, 9.0), "location dimensions do not match shape size")
            self.assertRuntimeError(lambda: self.model.get(0, index), "location dimensions do not match shape size")
        self.assertUnchanged()

    def test_index_outside_a_dimension(self):
        for index in ([0, 2], [1, 0], [0, -1], [-1, 0]):
            self.assertRuntimeError(lambda: self.model.set(0, index, 9.0), "invalid location range")
            self.assertRuntimeError(lambda: self.model.get(0, index), "invalid location range")
        self.assertUnchanged()

    def test_position_past_the_last_input_or_output(self):
        self.assertRuntimeError(lambda: self.model.set(1, [0, 0], 9.0), "index 1 exceeds max number of inputs 1")
        self.assertRuntimeError(lambda: self.model.get(1, [0, 0]), "index 1 exceeds max number of outputs 1")
        self.assertRuntimeError(lambda: self.model.set(2 ** 64 - 1, [0, 0], 9.0),
                                "index 18446744073709551615 exceeds max number of inputs 1")
        self.assertUnchanged()

    def test_arguments_that_do_not_convert(self):
        calls = [
            lambda: self.model.set(-1, [0, 0], 9.0),
            lambda: self.model.get(-1, [0, 0]),
            lambda: self.model.set(2 ** 64, [0, 0], 9.0),
            lambda: self.model.set(0, [0, 0.5], 9.0),
            lambda: self.model.set(0, "00", 9.0),
            lambda: self.model.set(0, [0, 0], "9"),
            lambda: self.model.get(0, [0, 2 ** 63]),
            lambda: self.model.get(0),
            lambda: self.model.run(0),
        ]
        for call in calls:
            with self.assertRaises(TypeError) as caught:
                call()
            self.assertIn("incompatible function arguments", str(caught.exception))
        self.assertUnchanged()

    def test_tensors_without_float_elements(self):
        model, _ = load("mixed")
        self.assertRuntimeError(lambda: model.set(1, [0], 1.0),
                                "tensor 'n' holds elements of type 'ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64', not float")
        self.assertRuntimeError(lambda: model.get(0, [0]),
                                "tensor 'count' holds elements of type 'ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64', not float")
        for i in range(3):
            model.set(0, [i], i * 0.5)
        model.run()
        self.assertEqual([model.get(1, [i]) for i in range(3)], [1.0, 1.5, 2.0])

    def test_model_without_inputs(self):
        model, _ = load("constant")
        self.assertRuntimeError(lambda: model.set(0, [0, 0], 1.0), "index 0 exceeds max number of inputs 0")
        model.run()
        self.assertEqual([model.get(0, [i, j]) for i in range(2) for j in range(2)], [1.0, 2.0, 3.0, 4.0])

    def test_failing_run_leaves_the_model_usable(self):
        model, _ = load("reshape_by_value")
        for k in range(4):
            model.set(0, [k], float(k + 1))

        def reshape_to(rows, columns):
            model.set(1, [0], rows)
            model.set(1, [1], columns)
            model.run()

        reshape_to(2, 2)
        self.assertEqual([model.get(0, [i, j]) for i in range(2) for j in range(2)], [1.0, 2.0, 3.0, 4.0])
        # 3 x 3 cannot hold 4 elements; 4 x 1 can, but not in the 2 x 2 output bound at load.
        for rows, columns in ((3, 3), (4, 1)):
            with self.assertRaises(RuntimeError) as caught:
                reshape_to(rows, columns)
            self.assertTrue(str(caught.exception).startswith("Non-zero status code returned while running Reshape node."))
        reshape_to(2, 2)
        self.assertEqual([model.get(0, [i, j]) for i in range(2) for j in range(2)], [1.0, 2.0, 3.0, 4.0])


if __name__ == "__main__":
    unittest.main()
