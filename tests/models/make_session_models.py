"""Writes the models that the session runner's tests and its worked example load.

Run with an interpreter that has the onnx package (Debian: /usr/bin/python3 with
python3-onnx): /usr/bin/python3 tests/models/make_session_models.py [output folder]
The .onnx files in session/ beside this script are its output; rerun it after changing a model.
"""
import os
import struct
import sys

import onnx
from onnx import TensorProto, helper

import make_models
from make_models import save, tensor

# Every element type the runtime holds in tensors, by the names quelt gives them.
ELEMENT_TYPES = {
    "float32": TensorProto.FLOAT, "float64": TensorProto.DOUBLE, "float16": TensorProto.FLOAT16,
    "bfloat16": TensorProto.BFLOAT16, "int8": TensorProto.INT8, "uint8": TensorProto.UINT8,
    "int16": TensorProto.INT16, "uint16": TensorProto.UINT16, "int32": TensorProto.INT32,
    "uint32": TensorProto.UINT32, "int64": TensorProto.INT64, "uint64": TensorProto.UINT64,
    "bool": TensorProto.BOOL, "string": TensorProto.STRING,
}


def with_opset(version, write):
    """Optional values need opset 15 or later; the shared writer's default is 13."""
    saved = make_models.OPSET
    make_models.OPSET = [helper.make_opsetid("", version)]
    try:
        write()
    finally:
        make_models.OPSET = saved


def main(folder):
    os.makedirs(folder, exist_ok=True)

    # One input and one output of each element type, any shape: every type both ways.
    save(folder, "identity_all",
         [helper.make_node("Identity", ["in_" + name], ["out_" + name]) for name in ELEMENT_TYPES],
         [tensor("in_" + name, code, ["n"]) for name, code in ELEMENT_TYPES.items()],
         [tensor("out_" + name, code, ["n"]) for name, code in ELEMENT_TYPES.items()],
         "out_T is in_T for every element type T, of any length")

    # The worked example: a dynamic batch and an int64 scalar; the outputs' shapes are only
    # known once the model has run.
    save(folder, "scale_rows",
         [helper.make_node("Cast", ["factor"], ["factor_f"], to=TensorProto.FLOAT),
          helper.make_node("Mul", ["rows", "factor_f"], ["scaled"]),
          helper.make_node("Shape", ["rows"], ["shape"])],
         [tensor("rows", TensorProto.FLOAT, ["batch", 3]), tensor("factor", TensorProto.INT64, [])],
         [tensor("scaled", TensorProto.FLOAT, ["batch", 3]), tensor("shape", TensorProto.INT64, [2])],
         "scaled is rows times factor; shape is the shape of rows")

    # An output that is the input itself: the runtime hands back the fed value.
    save(folder, "passthrough", [], [tensor("x", TensorProto.FLOAT, ["n"])], [tensor("x", TensorProto.FLOAT, ["n"])],
         "the output x is the input x")

    # Named, unnamed and fixed dimensions for the shape checks.
    save(folder, "shapes",
         [helper.make_node("Identity", ["image"], ["same"])],
         [tensor("image", TensorProto.FLOAT, ["batch", 3, 4, None])],
         [tensor("same", TensorProto.FLOAT, ["batch", 3, 4, None])],
         "same is image")

    # An initializer listed among the inputs is an input with a default; the runtime warns
    # about such models when it loads them, which the quiet-log check relies on.
    graph_inputs = [tensor("x", TensorProto.FLOAT, [2]), tensor("bias", TensorProto.FLOAT, [2])]
    bias = helper.make_tensor("bias", TensorProto.FLOAT, [2], [10.0, 20.0])
    graph = helper.make_graph([helper.make_node("Add", ["x", "bias"], ["y"])], "with_default",
                              graph_inputs, [tensor("y", TensorProto.FLOAT, [2])], [bias],
                              doc_string="y is x + bias; bias defaults to (10, 20)")
    model = helper.make_model(graph, opset_imports=make_models.OPSET, producer_name="quelt-tests")
    model.ir_version = make_models.IR_VERSION
    with open(os.path.join(folder, "with_default.onnx"), "wb") as out:
        out.write(model.SerializeToString())

    # Tensors whose rank the model leaves open (which the checker refuses, so written as is),
    # alone and inside a sequence.
    unshaped = helper.make_tensor_type_proto(TensorProto.FLOAT, None)
    unshaped.tensor_type.ClearField("shape")
    sequence = onnx.TypeProto()
    sequence.sequence_type.elem_type.CopyFrom(unshaped)
    graph = helper.make_graph(
        [helper.make_node("Identity", ["x"], ["y"]), helper.make_node("SequenceLength", ["items"], ["count"])],
        "unranked", [helper.make_value_info("x", unshaped), helper.make_value_info("items", sequence)],
        [helper.make_value_info("y", unshaped), tensor("count", TensorProto.INT64, [])],
        doc_string="y is x, of any rank; count is the number of tensors in items")
    model = helper.make_model(graph, opset_imports=make_models.OPSET, producer_name="quelt-tests")
    model.ir_version = make_models.IR_VERSION
    with open(os.path.join(folder, "unranked.onnx"), "wb") as out:
        out.write(model.SerializeToString())

    # Optional values: an optional input that may be absent, and an optional output that is.
    optional_float = helper.make_optional_type_proto(helper.make_tensor_type_proto(TensorProto.FLOAT, [None]))
    with_opset(18, lambda: save(
        folder, "optional",
        [helper.make_node("OptionalHasElement", ["maybe"], ["present"]),
         helper.make_node("Optional", [], ["nothing"], type=helper.make_tensor_type_proto(TensorProto.FLOAT, [None]))],
        [helper.make_value_info("maybe", optional_float)],
        [tensor("present", TensorProto.BOOL, []), helper.make_value_info("nothing", optional_float)],
        "present tells whether maybe was given; nothing is an absent optional value"))

    # Sequences both ways: the sum of the tensors of a sequence, and the input split in two.
    save(folder, "sequences",
         [helper.make_node("ConcatFromSequence", ["parts"], ["joined"], axis=0),
          helper.make_node("SplitToSequence", ["whole"], ["halves"], axis=0)],
         [helper.make_tensor_sequence_value_info("parts", TensorProto.INT32, [None]),
          tensor("whole", TensorProto.INT32, ["n"])],
         [tensor("joined", TensorProto.INT32, [None]),
          helper.make_tensor_sequence_value_info("halves", TensorProto.INT32, [None])],
         "joined is the parts end to end; halves is whole split into pieces of one element")

    # Long enough to interrupt: many square products of a matrix of any size.
    nodes, previous = [], "x"
    for i in range(400):
        nodes.append(helper.make_node("MatMul", [previous, "x"], ["p%d" % i]))
        previous = "p%d" % i
    nodes.append(helper.make_node("Identity", [previous], ["y"]))
    save(folder, "slow", nodes,
         [tensor("x", TensorProto.FLOAT, ["n", "n"])], [tensor("y", TensorProto.FLOAT, ["n", "n"])],
         "y is x to the power 401")

    # Maps: the runtime's map type, through the machine-learning domain's CastMap.
    ml = [helper.make_opsetid("", 13), helper.make_opsetid("ai.onnx.ml", 1)]
    map_type = onnx.TypeProto()
    map_type.map_type.key_type = TensorProto.INT64
    map_type.map_type.value_type.CopyFrom(helper.make_tensor_type_proto(TensorProto.FLOAT, None))
    graph = helper.make_graph(
        [helper.make_node("CastMap", ["m"], ["dense"], domain="ai.onnx.ml", map_form="DENSE", cast_to="TO_FLOAT")],
        "map_input", [helper.make_value_info("m", map_type)], [tensor("dense", TensorProto.FLOAT, [1, None])],
        doc_string="dense holds the map's values in key order")
    model = helper.make_model(graph, opset_imports=ml, producer_name="quelt-tests")
    model.ir_version = make_models.IR_VERSION
    with open(os.path.join(folder, "map_input.onnx"), "wb") as out:
        out.write(model.SerializeToString())

    # Every field of the model's metadata set, beside the models above that set few.
    graph = helper.make_graph([helper.make_node("Identity", ["x"], ["y"])], "described",
                              [tensor("x", TensorProto.FLOAT, ["batch"])], [tensor("y", TensorProto.FLOAT, ["batch"])],
                              doc_string="the graph's own doc string")
    model = helper.make_model(graph, opset_imports=make_models.OPSET, producer_name="quelt-tests",
                              producer_version="1.2.3", domain="org.quelt.tests", model_version=7,
                              doc_string="y is x; every metadata field is set")
    helper.set_model_props(model, {"labels": "cat,dog", "sample_rate": "16000"})
    model.ir_version = make_models.IR_VERSION
    with open(os.path.join(folder, "metadata.onnx"), "wb") as out:
        out.write(model.SerializeToString())

    # Weights in a file of their own, two tensors in one file: y = x * scale + bias.
    # Only raw data moves to an external file.
    scale = helper.make_tensor("scale", TensorProto.FLOAT, [4], struct.pack("<4f", 1.0, 2.0, 3.0, 4.0), raw=True)
    bias = helper.make_tensor("bias", TensorProto.FLOAT, [4], struct.pack("<4f", 0.5, 0.25, -1.0, 100.0), raw=True)
    graph = helper.make_graph(
        [helper.make_node("Mul", ["x", "scale"], ["scaled"]), helper.make_node("Add", ["scaled", "bias"], ["y"])],
        "external", [tensor("x", TensorProto.FLOAT, [4])], [tensor("y", TensorProto.FLOAT, [4])], [scale, bias],
        doc_string="y is x * scale + bias, with scale and bias in external.bin")
    model = helper.make_model(graph, opset_imports=make_models.OPSET, producer_name="quelt-tests")
    model.ir_version = make_models.IR_VERSION
    onnx.save_model(model, os.path.join(folder, "external.onnx"), save_as_external_data=True,
                    all_tensors_to_one_file=True, location="external.bin", size_threshold=0)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "session"))
