"""Writes the small ONNX models that the model tests and the example load.

Run with an interpreter that has the onnx package (Debian: /usr/bin/python3 with
python3-onnx): /usr/bin/python3 tests/models/make_models.py [output folder]
The .onnx files beside this script are its output; rerun it after changing a model.
"""
import os
import sys

import onnx
from onnx import TensorProto, helper

FLOAT = TensorProto.FLOAT
# Opset 13 and IR version 7: plain models every ONNX Runtime since 1.8 loads.
OPSET = [helper.make_opsetid("", 13)]
IR_VERSION = 7


def tensor(name, element_type, shape):
    return helper.make_tensor_value_info(name, element_type, shape)


def constant(name, element_type, dims, values):
    """A Constant node, so that no initializer shows up among the graph's inputs."""
    return helper.make_node("Constant", [], [name],
                            value=helper.make_tensor(name + "_value", element_type, dims, values))


def save(folder, name, nodes, inputs, outputs, doc, producer="quelt-tests"):
    graph = helper.make_graph(nodes, name, inputs, outputs, doc_string=doc)
    model = helper.make_model(graph, opset_imports=OPSET, producer_name=producer)
    model.ir_version = IR_VERSION
    onnx.checker.check_model(model)
    with open(os.path.join(folder, name + ".onnx"), "wb") as out:
        out.write(model.SerializeToString())


def main(folder):
    save(folder, "copy",
         [helper.make_node("Identity", ["x"], ["y"])],
         [tensor("x", FLOAT, [1, 2])], [tensor("y", FLOAT, [1, 2])],
         "y is x")

    # Two reshapes crossing over: every input element lands in a known place of an output.
    save(folder, "reshape",
         [constant("flat_shape", TensorProto.INT64, [1], [6]),
          constant("grid_shape", TensorProto.INT64, [2], [2, 3]),
          helper.make_node("Reshape", ["grid", "flat_shape"], ["flattened"]),
          helper.make_node("Reshape", ["flat", "grid_shape"], ["shaped"])],
         [tensor("grid", FLOAT, [2, 3]), tensor("flat", FLOAT, [6])],
         [tensor("flattened", FLOAT, [6]), tensor("shaped", FLOAT, [2, 3])],
         "flattened is grid in row-major order; shaped is flat as 2 rows of 3")

    save(folder, "scalar",
         [constant("three", FLOAT, [], [3.0]),
          helper.make_node("Mul", ["x", "three"], ["y"])],
         [tensor("x", FLOAT, [])], [tensor("y", FLOAT, [])],
         "y is 3 x, both rank 0")

    save(folder, "mixed",
         [constant("one", FLOAT, [], [1.0]),
          helper.make_node("Identity", ["n"], ["count"]),
          helper.make_node("Add", ["x", "one"], ["y"])],
         [tensor("x", FLOAT, [3]), tensor("n", TensorProto.INT64, [2])],
         [tensor("count", TensorProto.INT64, [2]), tensor("y", FLOAT, [3])],
         "count is n; y is x + 1")

    save(folder, "half_output",
         [helper.make_node("Cast", ["x"], ["y"], to=TensorProto.FLOAT16)],
         [tensor("x", FLOAT, [2])], [tensor("y", TensorProto.FLOAT16, [2])],
         "y is x in half precision")

    save(folder, "bfloat_input",
         [helper.make_node("Cast", ["b"], ["y"], to=FLOAT)],
         [tensor("b", TensorProto.BFLOAT16, [2])], [tensor("y", FLOAT, [2])],
         "y is b in single precision")

    save(folder, "dynamic",
         [helper.make_node("Identity", ["x"], ["y"])],
         [tensor("x", FLOAT, ["batch", 3])], [tensor("y", FLOAT, ["batch", 3])],
         "y is x, with a batch dimension of any size")

    save(folder, "sequence_input",
         [helper.make_node("SequenceLength", ["items"], ["length"])],
         [helper.make_tensor_sequence_value_info("items", FLOAT, [2])],
         [tensor("length", TensorProto.INT64, [])],
         "length is the number of tensors in items")

    save(folder, "sequence_output",
         [helper.make_node("SequenceConstruct", ["x", "x"], ["items"])],
         [tensor("x", FLOAT, [2])],
         [helper.make_tensor_sequence_value_info("items", FLOAT, [2])],
         "items holds x twice")

    save(folder, "constant",
         [constant("y", FLOAT, [2, 2], [1.0, 2.0, 3.0, 4.0])],
         [], [tensor("y", FLOAT, [2, 2])],
         "y is a fixed 2 by 2 matrix; the model has no inputs")

    # The target shape is an input, so a run can be made to fail after loading.
    save(folder, "reshape_by_value",
         [helper.make_node("Cast", ["shape"], ["target"], to=TensorProto.INT64),
          helper.make_node("Reshape", ["x", "target"], ["y"])],
         [tensor("x", FLOAT, [4]), tensor("shape", FLOAT, [2])],
         [tensor("y", FLOAT, [2, 2])],
         "y is x reshaped to the dimensions given in shape")

    # Whole-tensor access: one input of every element type the runner allocates, each passed
    # through to the output of the same position; the int64 one is 2 by 3.
    kinds = [("f64", TensorProto.DOUBLE, [2]), ("i8", TensorProto.INT8, [2]),
             ("u8", TensorProto.UINT8, [2]), ("i16", TensorProto.INT16, [2]),
             ("u16", TensorProto.UINT16, [2]), ("i32", TensorProto.INT32, [2]),
             ("u32", TensorProto.UINT32, [2]), ("i64", TensorProto.INT64, [2, 3]),
             ("u64", TensorProto.UINT64, [2]), ("flag", TensorProto.BOOL, [2]),
             ("text", TensorProto.STRING, [2]), ("f32", FLOAT, [])]
    save(folder, "every_type",
         [helper.make_node("Identity", [name], [name + "_out"]) for name, _, _ in kinds],
         [tensor(name, kind, shape) for name, kind, shape in kinds],
         [tensor(name + "_out", kind, shape) for name, kind, shape in kinds],
         "every output is the input of the same position")

    # The example's classifier: softmax(x W + b) with fixed weights.
    save(folder, "classifier",
         [constant("W", FLOAT, [3, 2], [0.5, -0.5, 1.0, 0.0, -1.0, 2.0]),
          constant("b", FLOAT, [2], [0.1, -0.1]),
          helper.make_node("MatMul", ["features", "W"], ["xW"]),
          helper.make_node("Add", ["xW", "b"], ["scores"]),
          helper.make_node("Softmax", ["scores"], ["probabilities"], axis=1)],
         [tensor("features", FLOAT, [1, 3])], [tensor("probabilities", FLOAT, [1, 2])],
         "probabilities is softmax(features W + b) over the two classes")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__)))
