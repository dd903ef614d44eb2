"""Writes the ONNX models the benchmark runs: tiny.onnx, whose run costs next to nothing;
compute.onnx, whose run computes for a few milliseconds; feed.onnx, which takes a float32
vector of any length and hands back its first element, and feed-N.onnx, the same for a fixed
length N (one per size of cases.FEED_SIZES, for the model class, which needs fixed shapes);
fill.onnx, whose output is n ones; slow.onnx, which multiplies for seconds.

Run with an interpreter that has the onnx package (Debian: /usr/bin/python3 with python3-onnx):
/usr/bin/python3 benchmarks/make_models.py OUTPUT_FOLDER
Every file is a few hundred bytes: compute.onnx makes its weights inside the graph.
"""
import importlib.util
import os
import shutil
import sys

from onnx import TensorProto, helper

import cases

# The test models' writer: same opset, IR version and checks.
_spec = importlib.util.spec_from_file_location(
    "test_models", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "models", "make_models.py"))
test_models = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(test_models)
FLOAT = test_models.FLOAT

# compute.onnx: CHAIN products of N x N matrices.
N = 384
CHAIN = 8


def save(folder, name, nodes, inputs, outputs, doc):
    test_models.save(folder, name, nodes, inputs, outputs, doc, producer="quelt-benchmarks")


def main(folder):
    os.makedirs(folder, exist_ok=True)
    save(folder, "tiny",
         [helper.make_node("Add", ["x", "x"], ["y"])],
         [helper.make_tensor_value_info("x", FLOAT, [1, 2])],
         [helper.make_tensor_value_info("y", FLOAT, [1, 2])],
         "y is 2 x")

    # W is N x N, every element 1/N, made by the graph on every run (graph optimisation is
    # off, so nothing folds it away); X is W scaled by the input. Multiplying by W keeps the
    # values where they are, so any number of runs stays finite.
    nodes = [
        helper.make_node("Constant", [], ["shape"],
                         value=helper.make_tensor("shape_value", TensorProto.INT64, [2], [N, N])),
        helper.make_node("ConstantOfShape", ["shape"], ["W"],
                         value=helper.make_tensor("fill", FLOAT, [1], [1.0 / N])),
        helper.make_node("Mul", ["W", "scale"], ["p0"]),
    ]
    for i in range(CHAIN):
        nodes.append(helper.make_node("MatMul", ["p%d" % i, "W"], ["p%d" % (i + 1) if i + 1 < CHAIN else "y"]))
    save(folder, "compute", nodes,
         [helper.make_tensor_value_info("scale", FLOAT, [1])],
         [helper.make_tensor_value_info("y", FLOAT, [N, N])],
         "y is scale W^(%d+1), W the %d x %d matrix of 1/%d" % (CHAIN, N, N, N))

    # Whatever the input's length, the graph reads one element of it: any cost of a run that
    # grows with the length is the runner's, not the model's.
    for name, length in [("feed", "n")] + [("feed-%d" % n, n) for n in cases.FEED_SIZES]:
        save(folder, name,
             [helper.make_node("Constant", [], ["first"],
                               value=helper.make_tensor("first_value", TensorProto.INT64, [1], [0])),
              helper.make_node("Gather", ["x", "first"], ["y"])],
             [helper.make_tensor_value_info("x", FLOAT, [length])],
             [helper.make_tensor_value_info("y", FLOAT, [1])],
             "y is the first element of x")

    # Outputs into the caller's memory: an output of n ones, from an input that holds n.
    save(folder, "fill",
         [helper.make_node("ConstantOfShape", ["n"], ["y"], value=helper.make_tensor("one", FLOAT, [1], [1.0]))],
         [helper.make_tensor_value_info("n", TensorProto.INT64, [1])],
         [helper.make_tensor_value_info("y", FLOAT, [None])],
         "y is n ones")

    # A run to cancel: the tests' model of seconds of square products, each one a point where
    # the run may stop.
    shutil.copy(os.path.join(os.path.dirname(_spec.origin), "session", "slow.onnx"), os.path.join(folder, "slow.onnx"))


if __name__ == "__main__":
    main(sys.argv[1])
