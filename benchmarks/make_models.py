"""Writes the two ONNX models the benchmark runs: tiny.onnx, whose run costs next to nothing,
and compute.onnx, whose run computes for a few milliseconds.

Run with an interpreter that has the onnx package (Debian: /usr/bin/python3 with python3-onnx):
/usr/bin/python3 benchmarks/make_models.py OUTPUT_FOLDER
Both files are a few hundred bytes: compute.onnx makes its weights inside the graph.
"""
import os
import sys

import onnx
from onnx import TensorProto, helper

FLOAT = TensorProto.FLOAT
# Opset 13 and IR version 7, as the test models: every ONNX Runtime since 1.8 loads them.
OPSET = [helper.make_opsetid("", 13)]
IR_VERSION = 7

# compute.onnx: CHAIN products of N x N matrices.
N = 384
CHAIN = 8


def save(folder, name, nodes, inputs, outputs, doc):
    graph = helper.make_graph(nodes, name, inputs, outputs, doc_string=doc)
    model = helper.make_model(graph, opset_imports=OPSET, producer_name="quelt-benchmarks")
    model.ir_version = IR_VERSION
    onnx.checker.check_model(model)
    with open(os.path.join(folder, name + ".onnx"), "wb") as out:
        out.write(model.SerializeToString())


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


if __name__ == "__main__":
    main(sys.argv[1])
