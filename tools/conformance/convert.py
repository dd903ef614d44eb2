"""Turns the ONNX backend node tests into plain files for the conformance run.

Runs under an interpreter with the onnx package (Debian: /usr/bin/python3 and python3-onnx):
    convert.py NODE_TESTS_FOLDER OUTPUT_FOLDER

A case qualifies when every graph input and output is a float tensor whose dimensions are all
fixed, and its data sets hold one tensor of exactly that shape per input and output. For each
such case OUTPUT_FOLDER/cases/NAME/case.txt describes the model and its data sets:

    model /path/to/model.onnx
    dataset test_data_set_0
    input NAME RANK D0 D1 ... FILE
    output NAME RANK D0 D1 ... FILE

where FILE (relative to the case folder) holds the tensor's elements as little-endian float32
in row-major order. OUTPUT_FOLDER/skipped.txt lists every other case as
"NAME CATEGORY: DETAIL".
"""
import glob
import os
import shutil
import sys

import numpy
import onnx
from onnx import TensorProto, numpy_helper


class Skip(Exception):
    """Why a case does not qualify: a short category for the counts, then the detail."""

    def __init__(self, category, detail):
        super().__init__("%s: %s" % (category, detail))


def declared(value_info, role):
    """(name, shape) of a graph input or output, or Skip with the reason it does not qualify."""
    kind = value_info.type.WhichOneof("value")
    if kind != "tensor_type":
        raise Skip("not a tensor", "%s '%s' has %s" % (role, value_info.name, kind))
    tensor_type = value_info.type.tensor_type
    if tensor_type.elem_type != TensorProto.FLOAT:
        raise Skip("non-float elements", "%s '%s' holds %s" % (
            role, value_info.name, TensorProto.DataType.Name(tensor_type.elem_type)))
    if not tensor_type.HasField("shape") or any(
            not d.HasField("dim_value") for d in tensor_type.shape.dim):
        raise Skip("dynamic shape", "%s '%s'" % (role, value_info.name))
    if any(not c.isprintable() or c.isspace() for c in value_info.name) or not value_info.name:
        raise Skip("unusual name", "%s '%s' cannot be written to a case file" % (role, value_info.name))
    return value_info.name, [d.dim_value for d in tensor_type.shape.dim]


def load_tensor(path):
    tensor = TensorProto()
    with open(path, "rb") as source:
        tensor.ParseFromString(source.read())
    return numpy_helper.to_array(tensor)


def data_set_lines(case_folder, out_folder, data_set, role, entries):
    files = sorted(glob.glob(os.path.join(case_folder, data_set, role + "_*.pb")),
                   key=lambda p: int(os.path.basename(p)[len(role) + 1:-3]))
    if len(files) != len(entries):
        raise Skip("data differs from the model", "%s has %d %s files for %d %ss" % (
            data_set, len(files), role, len(entries), role))
    lines = []
    for k, ((name, shape), path) in enumerate(zip(entries, files)):
        values = load_tensor(path)
        if values.dtype != numpy.float32:
            raise Skip("data differs from the model", "%s %s %d holds %s" % (data_set, role, k, values.dtype))
        if list(values.shape) != shape:
            raise Skip("data differs from the model", "%s %s %d has shape %s, declared %s" % (
                data_set, role, k, list(values.shape), shape))
        relative = os.path.join(data_set, "%s_%d.f32" % (role, k))
        os.makedirs(os.path.join(out_folder, data_set), exist_ok=True)
        with open(os.path.join(out_folder, relative), "wb") as out:
            out.write(numpy.ascontiguousarray(values, dtype="<f4").tobytes())
        lines.append(" ".join([role, name, str(len(shape))] + [str(d) for d in shape] + [relative]))
    return lines


def convert(case_folder, out_folder):
    model_path = os.path.join(case_folder, "model.onnx")
    graph = onnx.load(model_path).graph
    initialized = {t.name for t in graph.initializer}
    inputs = [declared(v, "input") for v in graph.input if v.name not in initialized]
    outputs = [declared(v, "output") for v in graph.output]
    data_sets = sorted(os.path.basename(p) for p in glob.glob(os.path.join(case_folder, "test_data_set_*")))
    if not data_sets:
        raise Skip("no data set", case_folder)
    lines = ["model " + os.path.abspath(model_path)]
    for data_set in data_sets:
        lines.append("dataset " + data_set)
        lines += data_set_lines(case_folder, out_folder, data_set, "input", inputs)
        lines += data_set_lines(case_folder, out_folder, data_set, "output", outputs)
    with open(os.path.join(out_folder, "case.txt"), "w") as out:
        out.write("\n".join(lines) + "\n")


def main(tests_folder, out_root):
    cases_root = os.path.join(out_root, "cases")
    shutil.rmtree(cases_root, ignore_errors=True)
    os.makedirs(cases_root)
    skipped = []
    converted = 0
    for name in sorted(os.listdir(tests_folder)):
        case_folder = os.path.join(tests_folder, name)
        if not os.path.isfile(os.path.join(case_folder, "model.onnx")):
            continue
        out_folder = os.path.join(cases_root, name)
        os.makedirs(out_folder)
        try:
            convert(case_folder, out_folder)
            converted += 1
        except Skip as reason:
            shutil.rmtree(out_folder)
            skipped.append("%s %s" % (name, reason))
    with open(os.path.join(out_root, "skipped.txt"), "w") as out:
        out.write("".join(line + "\n" for line in skipped))
    print("converted %d cases, skipped %d" % (converted, len(skipped)))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: convert.py NODE_TESTS_FOLDER OUTPUT_FOLDER")
    main(sys.argv[1], sys.argv[2])
