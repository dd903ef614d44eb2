"""Conformance of queltcore.model against the ONNX backend node tests.

    run.py CONVERTED_FOLDER CHECKER KNOWN_FAILURES TOLERANCES WORK_FOLDER

CONVERTED_FOLDER is what convert.py wrote. Every converted case is loaded through
queltcore.model, each data set's input elements are set one by one, the model is run and every
output element is compared with the expected value. When a case fails, CHECKER (a program that
runs the case through the ONNX Runtime C++ API directly) tells whether the runtime itself
produces the same numbers, or the same error: such a case must be listed in KNOWN_FAILURES,
with its reason; any other failure fails the run. Cases the runtime cannot load at all are
listed with its message. Outputs are compared with relative and absolute tolerance 1e-4,
except for the cases that TOLERANCES lists with their own and the reason.

The progress lines that loading writes go to WORK_FOLDER/progress.log and are checked line by
line against the cases' declarations; the runtime's own log (standard error) goes to
WORK_FOLDER/runtime.log, so that the report stays readable.
"""
import array
import collections
import ctypes
import itertools
import math
import os
import subprocess
import sys

import queltcore
import typed_values

RELATIVE_TOLERANCE = 1e-4
ABSOLUTE_TOLERANCE = 1e-4

libc = ctypes.CDLL(None)


class Tensor:
    def __init__(self, fields):
        self.name = fields[0]
        rank = int(fields[1])
        self.shape = [int(d) for d in fields[2:2 + rank]]
        self.file = fields[2 + rank]


class DataSet:
    def __init__(self, name):
        self.name = name
        self.inputs = []
        self.outputs = []


class Case:
    def __init__(self, folder):
        self.name = os.path.basename(folder)
        self.folder = folder
        self.model = None
        self.data_sets = []
        with open(os.path.join(folder, "case.txt")) as lines:
            for line in lines:
                key, _, rest = line.rstrip("\n").partition(" ")
                if key == "model":
                    self.model = rest
                elif key == "dataset":
                    self.data_sets.append(DataSet(rest))
                elif key == "input":
                    self.data_sets[-1].inputs.append(Tensor(rest.split()))
                elif key == "output":
                    self.data_sets[-1].outputs.append(Tensor(rest.split()))

    def declared(self):
        first = self.data_sets[0]
        return first.inputs, first.outputs


def read_floats(path):
    values = array.array("f")
    with open(path, "rb") as source:
        values.frombytes(source.read())
    return values


def same_numbers(left, right):
    return len(left) == len(right) and all(
        (math.isnan(a) and math.isnan(b)) or a == b for a, b in zip(left, right))


def expected_progress(case):
    inputs, outputs = case.declared()
    lines = []
    for side, tensors in (("input", inputs), ("output", outputs)):
        for i, tensor in enumerate(tensors):
            lines.append("Quelt::Onnx::Model:: %s name %d '%s'" % (side, i, tensor.name))
            lines.append("Quelt::Onnx::Model:: %s shape %d '{%s}'" % (
                side, i, ", ".join(str(d) for d in tensor.shape)))
            lines.append("Quelt::Onnx::MakeTensor:: making tensor of type 'float'")
    return lines


class ProgressLog:
    """Standard output (file descriptor 1) and standard error go to files while the cases run."""

    def __init__(self, path, runtime_path):
        sys.stdout.flush()
        sys.stderr.flush()
        self.saved = os.dup(1)
        self.saved_error = os.dup(2)
        self.log = open(path, "w+b")
        self.runtime_log = open(runtime_path, "w+b")
        os.dup2(self.log.fileno(), 1)
        os.dup2(self.runtime_log.fileno(), 2)
        self.report = os.fdopen(os.dup(self.saved), "w", buffering=1)
        self.position = 0
        self.total = 0

    def new_lines(self):
        libc.fflush(None)
        self.log.seek(self.position)
        text = self.log.read()
        self.position += len(text)
        lines = text.decode("utf-8", "replace").splitlines()
        self.total += len(lines)
        return lines

    def close(self):
        """Restores both streams; returns the number of lines the runtime logged."""
        libc.fflush(None)
        sys.stderr.flush()
        os.dup2(self.saved, 1)
        os.dup2(self.saved_error, 2)
        os.close(self.saved)
        os.close(self.saved_error)
        self.log.close()
        self.runtime_log.seek(0)
        runtime_lines = len(self.runtime_log.read().splitlines())
        self.runtime_log.close()
        return runtime_lines


def run_case(case, model):
    """{data set name: list of output value lists, or ("run-error", message)}."""
    results = {}
    for data_set in case.data_sets:
        for k, tensor in enumerate(data_set.inputs):
            values = read_floats(os.path.join(case.folder, tensor.file))
            set_element = model.set
            for index, value in zip(itertools.product(*map(range, tensor.shape)), values):
                set_element(k, index, value)
        try:
            model.run()
        except RuntimeError as error:
            results[data_set.name] = ("run-error", typed_values.one_line(error))
            continue
        outputs = []
        for k, tensor in enumerate(data_set.outputs):
            get_element = model.get
            outputs.append([get_element(k, index) for index in itertools.product(*map(range, tensor.shape))])
        results[data_set.name] = outputs
    return results


def mismatches(case, results, tolerance):
    """Descriptions of everything that differs from the expected outputs."""
    found = []
    for data_set in case.data_sets:
        result = results[data_set.name]
        if isinstance(result, tuple):
            found.append("%s: run failed: %s" % (data_set.name, result[1]))
            continue
        for k, (tensor, actual) in enumerate(zip(data_set.outputs, result)):
            expected = read_floats(os.path.join(case.folder, tensor.file))
            bad = [i for i, (a, e) in enumerate(zip(actual, expected)) if not typed_values.close(a, e, tolerance)]
            if bad:
                i = bad[0]
                found.append("%s: output %d '%s': %d of %d elements differ, first at %d: %r, expected %r" % (
                    data_set.name, k, tensor.name, len(bad), len(expected), i, actual[i], expected[i]))
    return found


def check_directly(checker, case, work):
    """What the runtime alone gives: ("load-error", message) or {data set: outputs or error}."""
    out = os.path.join(work, "direct", case.name)
    subprocess.run([checker, case.folder, out], check=True)
    results = {}
    with open(os.path.join(out, "result.txt")) as lines:
        for line in lines:
            first, _, rest = line.rstrip("\n").partition(" ")
            if first == "load-error":
                return ("load-error", typed_values.one_line(rest))
            if rest.startswith("run-error "):
                results[first] = ("run-error", typed_values.one_line(rest[len("run-error "):]))
            else:
                data_set = next(d for d in case.data_sets if d.name == first)
                results[first] = [
                    read_floats(os.path.join(out, first, "output_%d.f32" % k)).tolist()
                    for k in range(len(data_set.outputs))]
    return results


def same_results(ours, direct):
    if ours.keys() != direct.keys():
        return False
    for name, result in ours.items():
        other = direct[name]
        if isinstance(result, tuple) or isinstance(other, tuple):
            if result != other:
                return False
        elif len(result) != len(other) or not all(same_numbers(a, b) for a, b in zip(result, other)):
            return False
    return True


def read_skipped(path):
    categories = collections.Counter()
    with open(path) as lines:
        for line in lines:
            name, _, reason = line.rstrip("\n").partition(" ")
            categories[reason.partition(":")[0]] += 1
    return categories


def main(converted, checker, known_path, tolerances_path, work):
    os.makedirs(work, exist_ok=True)
    known = typed_values.read_listing(known_path)
    tolerances = typed_values.read_tolerances(tolerances_path)
    cases_root = os.path.join(converted, "cases")
    cases = [Case(os.path.join(cases_root, name)) for name in sorted(os.listdir(cases_root))]
    skipped = read_skipped(os.path.join(converted, "skipped.txt"))

    passed, failed, known_failed, not_loadable, progress_faults = [], [], [], [], []
    log = ProgressLog(os.path.join(work, "progress.log"), os.path.join(work, "runtime.log"))
    report = log.report
    try:
        for case in cases:
            try:
                model = queltcore.model(case.model)
            except RuntimeError as error:
                model = None
                load_error = typed_values.one_line(error)
            lines = log.new_lines()
            expected_lines = expected_progress(case) if model is not None else []
            if lines != expected_lines:
                progress_faults.append(case.name)
                failed.append((case.name, "progress lines %r, expected %r" % (lines, expected_lines)))
                continue
            if model is None:
                direct = check_directly(checker, case, work)
                if direct == ("load-error", load_error):
                    not_loadable.append((case.name, load_error))
                else:
                    failed.append((case.name, "cannot load, but the runtime alone can: " + load_error))
                continue

            results = run_case(case, model)
            del model
            tolerance = tolerances.get(case.name, (RELATIVE_TOLERANCE, ABSOLUTE_TOLERANCE))
            found = mismatches(case, results, tolerance)
            if not found:
                passed.append(case.name)
                if case.name in known:
                    report.write("note: %s passes but is listed as a known failure\n" % case.name)
                continue
            direct = check_directly(checker, case, work)
            if not same_results(results, direct):
                failed.append((case.name, "; ".join(found) + " (the runtime alone gives other results)"))
            elif case.name in known:
                known_failed.append((case.name, known[case.name]))
            else:
                failed.append((case.name, "; ".join(found)
                               + " (the runtime alone gives the same: list it as a known failure with its reason)"))
    finally:
        runtime_lines = log.close()

    report.write("cases the runtime cannot load:\n")
    for name, message in not_loadable:
        report.write("  %s: %s\n" % (name, message))
    report.write("known failures (the runtime itself gives these results):\n")
    for name, reason in known_failed:
        report.write("  %s: %s\n" % (name, reason))
    if failed:
        report.write("FAILED:\n")
        for name, reason in failed:
            report.write("  %s: %s\n" % (name, reason))
    report.write("skipped %d cases: %s\n" % (sum(skipped.values()), ", ".join(
        "%d %s" % (count, category) for category, count in sorted(skipped.items()))))
    report.write("progress lines: %d written, %d cases with unexpected lines (%s)\n" % (
        log.total, len(progress_faults), os.path.join(work, "progress.log")))
    report.write("runtime log: %d lines (%s)\n" % (runtime_lines, os.path.join(work, "runtime.log")))
    report.write("conformance: %d run, %d passed, %d failed, %d known failures, %d not loadable, %d skipped\n" % (
        len(cases), len(passed), len(failed), len(known_failed), len(not_loadable), sum(skipped.values())))
    report.close()
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit("usage: run.py CONVERTED_FOLDER CHECKER KNOWN_FAILURES TOLERANCES WORK_FOLDER")
    sys.exit(main(*sys.argv[1:]))
