"""Turns the ONNX backend tests into plain files for the conformance runs.

Runs under an interpreter with the onnx package (Debian: /usr/bin/python3 and python3-onnx):
    convert.py NODE_TESTS_FOLDER OUTPUT_FOLDER
    convert.py --typed OUTPUT_FOLDER SUITE_FOLDER...

The first form serves the run through queltcore.model, which takes fixed-shape float tensors only.

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

The second form (--typed) converts every case of every SUITE_FOLDER (node, pytorch-converted,
...) whatever its element types, shapes, sequences and optionals, for the runs that feed typed
values. OUTPUT_FOLDER/cases/SUITE/NAME/case.txt then reads

    model /path/to/model.onnx
    dataset test_data_set_0
    feed NAME VALUE
    expect NAME VALUE

with one VALUE grammar for the inputs fed and the outputs expected:

    tensor DTYPE RANK D0 D1 ... FILE    FILE: the elements in row-major order, little-endian;
                                        bool one byte; bfloat16 its 16 bits; complex as (re, im);
                                        string elements each as a uint32 byte count, then UTF-8
    sequence COUNT VALUE...             COUNT values follow
    optional none                       an absent optional
    optional VALUE                      a present one

DTYPE is one of float32 float64 float16 bfloat16 int8 uint8 int16 uint16 int32 uint32 int64
uint64 bool string complex64 complex128. The k-th data file belongs to the graph's k-th input or
output, as in the ONNX backend's own runner; a data set may give fewer inputs than the graph
declares (the rest are optional). Cases that cannot be converted go to OUTPUT_FOLDER/skipped.txt
as "SUITE/NAME CATEGORY: DETAIL".
"""
import glob
import os
import shutil
import sys

import struct

import numpy
import onnx
from onnx import OptionalProto, SequenceProto, TensorProto, numpy_helper


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


def data_sets_of(case_folder):
    """The case's data set folders, in order; a case without any cannot be run."""
    data_sets = sorted(os.path.basename(p) for p in glob.glob(os.path.join(case_folder, "test_data_set_*")))
    if not data_sets:
        raise Skip("no data set", case_folder)
    return data_sets


def convert(case_folder, out_folder):
    model_path = os.path.join(case_folder, "model.onnx")
    graph = onnx.load(model_path).graph
    initialized = {t.name for t in graph.initializer}
    inputs = [declared(v, "input") for v in graph.input if v.name not in initialized]
    outputs = [declared(v, "output") for v in graph.output]
    data_sets = data_sets_of(case_folder)
    lines = ["model " + os.path.abspath(model_path)]
    for data_set in data_sets:
        lines.append("dataset " + data_set)
        lines += data_set_lines(case_folder, out_folder, data_set, "input", inputs)
        lines += data_set_lines(case_folder, out_folder, data_set, "output", outputs)
    with open(os.path.join(out_folder, "case.txt"), "w") as out:
        out.write("\n".join(lines) + "\n")


def convert_all(out_root, folders, convert_case):
    """Converts every case of each (prefix, folder) pair into OUT_ROOT/cases/PREFIX/NAME; a case
    that cannot be converted leaves no folder and a line in OUT_ROOT/skipped.txt."""
    cases_root = os.path.join(out_root, "cases")
    shutil.rmtree(cases_root, ignore_errors=True)
    os.makedirs(cases_root)
    skipped = []
    converted = 0
    for prefix, folder in folders:
        for name in sorted(os.listdir(folder)):
            case_folder = os.path.join(folder, name)
            if not os.path.isfile(os.path.join(case_folder, "model.onnx")):
                continue
            label = os.path.join(prefix, name)
            out_folder = os.path.join(cases_root, label)
            os.makedirs(out_folder)
            try:
                convert_case(case_folder, out_folder)
                converted += 1
            except Skip as reason:
                shutil.rmtree(out_folder)
                skipped.append("%s %s" % (label, reason))
    with open(os.path.join(out_root, "skipped.txt"), "w") as out:
        out.write("".join(line + "\n" for line in skipped))
    print("converted %d cases, skipped %d" % (converted, len(skipped)))


def main(tests_folder, out_root):
    convert_all(out_root, [("", tests_folder)], convert)



# The runtime's element type names, with the little-endian NumPy type that holds each one's bytes.
ELEMENT_TYPES = {
    TensorProto.FLOAT: ("float32", "<f4"), TensorProto.DOUBLE: ("float64", "<f8"),
    TensorProto.FLOAT16: ("float16", "<f2"), TensorProto.BFLOAT16: ("bfloat16", None),
    TensorProto.INT8: ("int8", "i1"), TensorProto.UINT8: ("uint8", "u1"),
    TensorProto.INT16: ("int16", "<i2"), TensorProto.UINT16: ("uint16", "<u2"),
    TensorProto.INT32: ("int32", "<i4"), TensorProto.UINT32: ("uint32", "<u4"),
    TensorProto.INT64: ("int64", "<i8"), TensorProto.UINT64: ("uint64", "<u8"),
    TensorProto.BOOL: ("bool", "u1"), TensorProto.STRING: ("string", None),
    TensorProto.COMPLEX64: ("complex64", "<c8"), TensorProto.COMPLEX128: ("complex128", "<c16"),
}


def tensor_bytes(tensor):
    """(dtype name, shape, the file's bytes) of a TensorProto."""
    if tensor.data_type not in ELEMENT_TYPES:
        raise Skip("unsupported element type", TensorProto.DataType.Name(tensor.data_type))
    name, layout = ELEMENT_TYPES[tensor.data_type]
    shape = list(tensor.dims)
    if tensor.data_type == TensorProto.BFLOAT16:
        # Kept as raw bits: converting through float32 would be exact, but the bits are the truth.
        if tensor.HasField("raw_data"):
            data = tensor.raw_data
        else:
            data = numpy.asarray(tensor.int32_data, dtype=numpy.int32).astype("<u2").tobytes()
    elif tensor.data_type == TensorProto.STRING:
        data = b"".join(struct.pack("<I", len(s)) + s for s in tensor.string_data)
    else:
        values = numpy_helper.to_array(tensor)
        data = numpy.ascontiguousarray(values).astype(layout).tobytes()
    count = int(numpy.prod(shape, dtype=numpy.int64))
    if tensor.data_type == TensorProto.STRING:
        if len(tensor.string_data) != count:
            raise Skip("malformed data", "%d strings for shape %s" % (len(tensor.string_data), shape))
    elif len(data) != count * (2 if layout is None else numpy.dtype(layout).itemsize):
        raise Skip("malformed data", "%d bytes for %s of shape %s" % (len(data), name, shape))
    return name, shape, data


class ValueWriter:
    """Writes the files of one data set's values and returns their token lists."""

    def __init__(self, out_folder, data_set):
        self.out_folder = out_folder
        self.data_set = data_set

    def tensor(self, tensor, stem, declared=None):
        name, shape, data = tensor_bytes(tensor)
        if declared == TensorProto.BFLOAT16 and tensor.data_type == TensorProto.UINT16:
            # The suites' writer had no bfloat16 arrays: it stored the bits as uint16 data.
            name = "bfloat16"
        relative = os.path.join(self.data_set, stem + ".bin")
        os.makedirs(os.path.join(self.out_folder, self.data_set), exist_ok=True)
        with open(os.path.join(self.out_folder, relative), "wb") as out:
            out.write(data)
        return ["tensor", name, str(len(shape))] + [str(d) for d in shape] + [relative]

    def sequence(self, sequence, stem):
        if sequence.elem_type == SequenceProto.TENSOR:
            items = [self.tensor(t, "%s_%d" % (stem, j)) for j, t in enumerate(sequence.tensor_values)]
        elif sequence.elem_type == SequenceProto.SEQUENCE:
            items = [self.sequence(s, "%s_%d" % (stem, j)) for j, s in enumerate(sequence.sequence_values)]
        elif sequence.elem_type == SequenceProto.UNDEFINED and not (
                sequence.tensor_values or sequence.sequence_values or sequence.map_values):
            items = []
        else:
            raise Skip("unsupported value kind", "sequence of element kind %d" % sequence.elem_type)
        return ["sequence", str(len(items))] + [token for item in items for token in item]

    def optional(self, optional, stem):
        if optional.elem_type == OptionalProto.TENSOR and optional.HasField("tensor_value"):
            return ["optional"] + self.tensor(optional.tensor_value, stem)
        if optional.elem_type == OptionalProto.SEQUENCE and optional.HasField("sequence_value"):
            return ["optional"] + self.sequence(optional.sequence_value, stem)
        if not optional.HasField("tensor_value") and not optional.HasField("sequence_value") \
                and not optional.HasField("map_value") and not optional.HasField("optional_value"):
            return ["optional", "none"]
        raise Skip("unsupported value kind", "optional of element kind %d" % optional.elem_type)

    def value(self, type_proto, path, stem):
        """Parses the file as the graph declares the value, as the backend's runner does."""
        with open(path, "rb") as source:
            content = source.read()
        kind = type_proto.WhichOneof("value")
        if kind == "tensor_type":
            proto = TensorProto()
            proto.ParseFromString(content)
            return self.tensor(proto, stem, type_proto.tensor_type.elem_type)
        if kind == "sequence_type":
            proto = SequenceProto()
            proto.ParseFromString(content)
            return self.sequence(proto, stem)
        if kind == "optional_type":
            proto = OptionalProto()
            proto.ParseFromString(content)
            return self.optional(proto, stem)
        raise Skip("unsupported value kind", kind)


def numbered_files(folder, role):
    return sorted(glob.glob(os.path.join(folder, role + "_*.pb")),
                  key=lambda p: int(os.path.basename(p)[len(role) + 1:-3]))


def convert_typed(case_folder, out_folder):
    model_path = os.path.join(case_folder, "model.onnx")
    graph = onnx.load(model_path).graph
    for value_info in list(graph.input) + list(graph.output):
        if not value_info.name or any(not c.isprintable() or c.isspace() for c in value_info.name):
            raise Skip("unusual name", "'%s' cannot be written to a case file" % value_info.name)
    data_sets = data_sets_of(case_folder)
    lines = ["model " + os.path.abspath(model_path)]
    for data_set in data_sets:
        lines.append("dataset " + data_set)
        writer = ValueWriter(out_folder, data_set)
        for role, key, declared in (("input", "feed", graph.input), ("output", "expect", graph.output)):
            files = numbered_files(os.path.join(case_folder, data_set), role)
            if len(files) > len(declared) or (role == "output" and len(files) != len(declared)):
                raise Skip("data differs from the model", "%s has %d %s files for %d %ss" % (
                    data_set, len(files), role, len(declared), role))
            for k, path in enumerate(files):
                tokens = writer.value(declared[k].type, path, "%s_%d" % (role, k))
                lines.append(" ".join([key, declared[k].name] + tokens))
    with open(os.path.join(out_folder, "case.txt"), "w") as out:
        out.write("\n".join(lines) + "\n")


def main_typed(out_root, suites):
    convert_all(out_root, [(os.path.basename(os.path.normpath(suite)), suite) for suite in suites], convert_typed)


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "--typed":
        main_typed(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) == 3:
        main(sys.argv[1], sys.argv[2])
    else:
        sys.exit("usage: convert.py NODE_TESTS_FOLDER OUTPUT_FOLDER\n"
                 "       convert.py --typed OUTPUT_FOLDER SUITE_FOLDER...")
