"""Values of the typed conformance cases: reading them, comparing them, and the runtime checker.

Standard library only, so that both the module's interpreter (CPython 3.7, no NumPy) and the
system's Python can use it. convert.py --typed describes the case files and their grammar.

A value is a Tensor, a list of values (a sequence) or None (an absent optional); a present
optional is its value, as the runtime hands it out.
"""
import array
import collections
import itertools
import math
import os
import struct
import subprocess
import sys

# The tolerances of the ONNX backend's own runner.
RELATIVE_TOLERANCE = 1e-3
ABSOLUTE_TOLERANCE = 1e-7

# dtype -> (array type code of its numbers, numbers per element); None for the special cases.
NUMBERS = {
    "float32": ("f", 1), "float64": ("d", 1), "int8": ("b", 1), "uint8": ("B", 1),
    "int16": ("h", 1), "uint16": ("H", 1), "int32": ("i", 1), "uint32": ("I", 1),
    "int64": ("q", 1), "uint64": ("Q", 1), "bool": ("B", 1), "complex64": ("f", 2),
    "complex128": ("d", 2), "float16": (None, 1), "bfloat16": (None, 1), "string": (None, 1),
}
INEXACT = {"float32", "float64", "float16", "bfloat16", "complex64", "complex128"}
ITEM_SIZE = {"float32": 4, "float64": 8, "float16": 2, "bfloat16": 2, "int8": 1, "uint8": 1,
             "int16": 2, "uint16": 2, "int32": 4, "uint32": 4, "int64": 8, "uint64": 8, "bool": 1,
             "complex64": 8, "complex128": 16}

if sys.byteorder != "little":
    raise ImportError("the case files hold little-endian elements; this machine is big-endian")


class Tensor:
    """dtype, shape (tuple) and either data (the raw bytes) or strings (list of bytes)."""

    def __init__(self, dtype, shape, data=None, strings=None):
        self.dtype = dtype
        self.shape = tuple(shape)
        self.data = data
        self.strings = strings

    def count(self):
        count = 1
        for d in self.shape:
            count *= d
        return count

    def numbers(self):
        """The elements as Python numbers (complex elements as (re, im) pairs, flattened)."""
        if self.dtype == "float16":
            return list(struct.unpack("<%de" % (len(self.data) // 2), self.data))
        if self.dtype == "bfloat16":
            bits = array.array("H", self.data)
            widened = array.array("I", (b << 16 for b in bits))
            return array.array("f", widened.tobytes()).tolist()
        code, _ = NUMBERS[self.dtype]
        return array.array(code, self.data).tolist()

    def __eq__(self, other):
        return (isinstance(other, Tensor) and self.dtype == other.dtype and self.shape == other.shape
                and self.data == other.data and self.strings == other.strings)

    def __repr__(self):
        return "%s%s" % (self.dtype, list(self.shape))


def read_strings(data):
    strings, at = [], 0
    while at < len(data):
        (length,) = struct.unpack_from("<I", data, at)
        strings.append(data[at + 4:at + 4 + length])
        at += 4 + length
    return strings


def parse_value(tokens, folder):
    """Consumes one value's tokens (an iterator) and reads its files under folder."""
    kind = next(tokens)
    if kind == "tensor":
        dtype = next(tokens)
        rank = int(next(tokens))
        shape = [int(next(tokens)) for _ in range(rank)]
        with open(os.path.join(folder, next(tokens)), "rb") as source:
            data = source.read()
        if dtype == "string":
            return Tensor(dtype, shape, strings=read_strings(data))
        return Tensor(dtype, shape, data=data)
    if kind == "sequence":
        return [parse_value(tokens, folder) for _ in range(int(next(tokens)))]
    if kind == "optional":
        rest = next(tokens)
        if rest == "none":
            return None
        return parse_value(itertools.chain([rest], tokens), folder)
    raise ValueError("unknown value kind %r" % kind)


def parse_named(line, folder):
    """(name, value) of a 'feed', 'expect' or 'result' line's fields after the key."""
    tokens = iter(line.split())
    name = next(tokens)
    return name, parse_value(tokens, folder)


class DataSet:
    def __init__(self, name):
        self.name = name
        self.feeds = collections.OrderedDict()
        self.expected = collections.OrderedDict()


class Case:
    def __init__(self, root, name):
        self.name = name
        self.folder = os.path.join(root, name)
        self.model = None
        self.data_sets = []
        with open(os.path.join(self.folder, "case.txt")) as lines:
            for line in lines:
                key, _, rest = line.rstrip("\n").partition(" ")
                if key == "model":
                    self.model = rest
                elif key == "dataset":
                    self.data_sets.append(DataSet(rest))
                elif key in ("feed", "expect"):
                    name, value = parse_named(rest, self.folder)
                    target = self.data_sets[-1].feeds if key == "feed" else self.data_sets[-1].expected
                    target[name] = value


def one_line(message):
    return " ".join(str(message).split())


def close(actual, expected, tolerance):
    if math.isnan(expected) or math.isnan(actual):
        return math.isnan(expected) and math.isnan(actual)
    if math.isinf(expected) or math.isinf(actual):
        return actual == expected
    relative, absolute = tolerance
    return abs(actual - expected) <= absolute + relative * abs(expected)


def differences(actual, expected, tolerance, where):
    """What differs between an output and its expected value, as readable lines."""
    if expected is None or actual is None:
        return [] if actual is expected else ["%s: %s, expected %s" % (
            where, "absent" if actual is None else describe(actual),
            "absent" if expected is None else describe(expected))]
    if isinstance(expected, list) or isinstance(actual, list):
        if not (isinstance(expected, list) and isinstance(actual, list)):
            return ["%s: %s, expected %s" % (where, describe(actual), describe(expected))]
        if len(actual) != len(expected):
            return ["%s: a sequence of %d, expected %d" % (where, len(actual), len(expected))]
        found = []
        for i, (a, e) in enumerate(zip(actual, expected)):
            found += differences(a, e, tolerance, "%s[%d]" % (where, i))
        return found
    if actual.dtype != expected.dtype or actual.shape != expected.shape:
        return ["%s: %r, expected %r" % (where, actual, expected)]
    if actual == expected:
        return []
    if expected.dtype == "string":
        bad = [i for i, (a, e) in enumerate(zip(actual.strings, expected.strings)) if a != e]
        left, right = actual.strings, expected.strings
    elif expected.dtype in INEXACT:
        left, right = actual.numbers(), expected.numbers()
        bad = [i for i, (a, e) in enumerate(zip(left, right)) if not close(a, e, tolerance)]
    else:
        left, right = actual.numbers(), expected.numbers()
        bad = [i for i, (a, e) in enumerate(zip(left, right)) if a != e]
    if not bad:
        return []
    i = bad[0]
    return ["%s: %d of %d elements differ, first at %d: %r, expected %r" % (
        where, len(bad), len(right), i, left[i], right[i])]


def describe(value):
    if value is None:
        return "absent"
    if isinstance(value, list):
        return "a sequence of %d" % len(value)
    return repr(value)


def mismatches(data_set, outputs, tolerance):
    """outputs: {name: value} in the expected order; lines describing every difference."""
    found = []
    if list(outputs) != list(data_set.expected):
        return ["%s: outputs %s, expected %s" % (data_set.name, list(outputs), list(data_set.expected))]
    for name, expected in data_set.expected.items():
        found += differences(outputs[name], expected, tolerance, "%s: output '%s'" % (data_set.name, name))
    return found


def read_listing(path):
    """{case: reason} of a known-failures file (NAME REASON lines, # comments)."""
    listed = {}
    with open(path) as lines:
        for line in lines:
            line = line.strip()
            if line and not line.startswith("#"):
                name, _, reason = line.partition(" ")
                listed[name] = reason.strip()
    return listed


def read_tolerances(path):
    tolerances = {}
    with open(path) as lines:
        for line in lines:
            fields = line.split(None, 3)
            if fields and not fields[0].startswith("#"):
                tolerances[fields[0]] = (float(fields[1]), float(fields[2]))
    return tolerances


# ---- The runtime alone, through the C++ checker ----

def checker_results(case, out_folder):
    """("load-error", message) or {data set: {name: value} or ("run-error", message)}."""
    results = collections.OrderedDict()
    with open(os.path.join(out_folder, "result.txt")) as lines:
        current = None
        for line in lines:
            first, _, rest = line.rstrip("\n").partition(" ")
            if first == "load-error":
                return ("load-error", one_line(rest))
            if first == "result":
                name, value = parse_named(rest, out_folder)
                current[name] = value
            elif rest.startswith("run-error "):
                results[first] = ("run-error", one_line(rest[len("run-error "):]))
            else:
                current = results[first] = collections.OrderedDict()
    if [d.name for d in case.data_sets] != list(results):
        return ("checker-error", "the checker did not finish the case")
    return results


def run_checker(checker, cases_root, cases, work, log):
    """Runs the cases through the checker, two processes at once; {case name: results}.

    A batch whose checker dies is run again case by case, so that one crash marks one case."""
    out_root = os.path.join(work, "direct")
    half = (len(cases) + 1) // 2
    batches = [cases[:half], cases[half:]]
    processes = [subprocess.Popen([checker, "--typed", cases_root, out_root] + [c.name for c in batch],
                                  stdout=log, stderr=log) for batch in batches if batch]
    codes = [p.wait() for p in processes]
    redo = [c for batch, code in zip(batches, codes) if code != 0 for c in batch]
    for case in redo:
        code = subprocess.call([checker, "--typed", cases_root, out_root, case.name], stdout=log, stderr=log)
        if code != 0:
            with open(os.path.join(out_root, case.name, "result.txt"), "w") as out:
                out.write("load-error the checker exited with status %d\n" % code)
    return {case.name: checker_results(case, os.path.join(out_root, case.name)) for case in cases}


def case_failures(case, results, tolerance):
    """Lines describing how results (load error or per data set) differ from the expected."""
    if isinstance(results, tuple):
        return ["%s: %s" % results[:2]]
    found = []
    for data_set in case.data_sets:
        result = results[data_set.name]
        if isinstance(result, tuple):
            found.append("%s: %s: %s" % ((data_set.name,) + result[:2]))
        else:
            found += mismatches(data_set, result, tolerance)
    return found
