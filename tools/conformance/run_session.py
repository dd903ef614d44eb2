"""The typed conformance cases through quelt.Session, checked against the runtime alone.

    run_session.py CASES_ROOT CHECKER KNOWN_FAILURES SESSION_DIFFERENCES TOLERANCES WORK_FOLDER

CASES_ROOT is the cases folder convert.py --typed wrote. Every case first runs through CHECKER
(the runtime's C++ API, nothing of quelt), as run_direct.py does, and is counted; then through
quelt.Session with typed feeds: tensors made by quelt.tensor from the raw little-endian bytes
with their dtype and shape (string tensors from lists of str), lists for sequences, None for
absent optionals. Each session's TensorInfo must agree with the case's values, and the outputs
are compared with the expected ones (run_direct.py's tolerances). A case that passes runs again
through the same session with its feeds as read-only memoryviews of the same bytes (where a
memoryview can describe them), all outputs left to the default, and must give the same outputs
in the same order.

A case that fails through the session must give exactly what the runtime alone gives (the same
output bytes, or the runtime's error message in an exception of the session's) and be listed in
KNOWN_FAILURES; a case the runtime alone passes must pass through the session, whatever any list
says. A case whose session outcome differs from the runtime's, where both fail, must be listed in
SESSION_DIFFERENCES with the reason, and the session must have raised for it. quelt prints
nothing: anything written to standard output or standard error while the sessions load and run
fails the run (kept in WORK_FOLDER/session.log).
"""
import os
import sys

import quelt

import run_direct
import typed_values
from typed_values import Tensor, one_line


# Known failures of this category draw other numbers on every run: only their form can agree.
RANDOM = "random draws"


def to_feed(value):
    if value is None or isinstance(value, list):
        return value if value is None else [to_feed(v) for v in value]
    if value.dtype == "string":
        return quelt.tensor([s.decode("utf-8") for s in value.strings], dtype="string", shape=value.shape)
    return quelt.tensor(value.data, dtype=value.dtype, shape=value.shape)


# The buffer formats of the element types a memoryview can be cast to.
BUFFER_FORMATS = {"float32": "f", "float64": "d", "int8": "b", "uint8": "B", "int16": "h", "uint16": "H",
                  "int32": "i", "uint32": "I", "int64": "q", "uint64": "Q", "bool": "?"}


def to_buffer_feed(value):
    """The same feed as a read-only buffer of its bytes where a memoryview can describe it (not
    float16, bfloat16 or strings, nor shapes with a zero): the session binds those in place."""
    if value is None or isinstance(value, list):
        return value if value is None else [to_buffer_feed(v) for v in value]
    if value.dtype not in BUFFER_FORMATS or 0 in value.shape:
        return to_feed(value)
    return memoryview(value.data).cast(BUFFER_FORMATS[value.dtype], value.shape)


def flatten(nested, rank):
    if rank == 0:
        return [nested]
    if rank == 1:
        return list(nested)
    return [x for part in nested for x in flatten(part, rank - 1)]


def from_result(result):
    if result is None or isinstance(result, list):
        return result if result is None else [from_result(r) for r in result]
    if not isinstance(result, quelt.Tensor):
        raise TypeError("a result of type %s" % type(result).__name__)
    shape = tuple(result.shape)
    if result.dtype == "string":
        return Tensor("string", shape, strings=[s.encode("utf-8") for s in flatten(result.tolist(), len(shape))])
    data = bytes(memoryview(result))
    if len(data) != typed_values.ITEM_SIZE[result.dtype] * Tensor(result.dtype, shape).count():
        raise ValueError("a %s result of shape %s exports %d bytes" % (result.dtype, shape, len(data)))
    return Tensor(result.dtype, shape, data=data)


def info_faults(infos, values, role):
    """What the session's TensorInfo says that does not fit the case's values."""
    by_name = {info.name: info for info in infos}
    faults = []
    for name, value in values.items():
        info = by_name.get(name)
        if info is None:
            faults.append("%s '%s' is not among %s" % (role, name, [i.name for i in infos]))
            continue
        allowed = {"optional"} | ({"sequence"} if isinstance(value, list) else set() if value is None else {"tensor"})
        if info.kind not in allowed:
            faults.append("%s '%s' has kind %r for %s" % (role, name, info.kind, typed_values.describe(value)))
        elif isinstance(value, Tensor) and info.dtype != value.dtype:
            faults.append("%s '%s' has dtype %r, the data %r" % (role, name, info.dtype, value.dtype))
    return faults


def run_data_sets(session, case, feed, name_outputs=True):
    """{data set: outputs or ("run-error", message, exception class name)}, feeds made by feed;
    the outputs asked for by name, or left to their default (all, in the declared order)."""
    results = {}
    for data_set in case.data_sets:
        try:
            feeds = {name: feed(value) for name, value in data_set.feeds.items()}
            outputs = session.run(feeds, outputs=list(data_set.expected) if name_outputs else None)
            results[data_set.name] = {name: from_result(value) for name, value in outputs.items()}
        except Exception as error:
            results[data_set.name] = ("run-error", one_line(error), type(error).__name__)
    return results


def run_case(case):
    """(results, the session, TensorInfo faults); results ("load-error", message, exception class
    name) or as run_data_sets gives them."""
    try:
        session = quelt.Session(case.model)
    except Exception as error:
        return ("load-error", one_line(error), type(error).__name__), None, []
    faults = []
    for data_set in case.data_sets:
        faults += info_faults(session.inputs, data_set.feeds, "input")
        faults += info_faults(session.outputs, data_set.expected, "output")
    return run_data_sets(session, case, to_feed), session, faults


def same_form(ours, direct):
    """Same structure, element types and shapes: all that unseeded random draws keep."""
    if isinstance(ours, list) and isinstance(direct, list):
        return len(ours) == len(direct) and all(same_form(a, b) for a, b in zip(ours, direct))
    if isinstance(ours, Tensor) and isinstance(direct, Tensor):
        return (ours.dtype, ours.shape) == (direct.dtype, direct.shape)
    return ours is None and direct is None


def same_outcome(ours, direct, values=True):
    """Whether the session gave exactly what the runtime alone gave (the runtime's error message
    in a RuntimeError, or the same outputs; with values false, outputs of the same form)."""
    if isinstance(ours, tuple) or isinstance(direct, tuple):
        return (isinstance(ours, tuple) and isinstance(direct, tuple) and ours[0] == direct[0]
                and ours[2] == "RuntimeError" and direct[1] in ours[1])
    if list(ours) != list(direct):
        return False
    for key, result in ours.items():
        if isinstance(result, tuple) or isinstance(direct[key], tuple):
            if not same_outcome(result, direct[key]):
                return False
        elif list(result) != list(direct[key]) or not all(
                (result[name] == direct[key][name]) if values else same_form(result[name], direct[key][name])
                for name in result):
            return False
    return True


def refused(case, ours, tolerance):
    """Whether the session failed only by raising: the listed differences are refusals, never
    other numbers."""
    if isinstance(ours, tuple):
        return True
    return all(isinstance(ours[d.name], tuple) or not typed_values.mismatches(d, ours[d.name], tolerance)
               for d in case.data_sets)


class Captured:
    """Standard output and standard error (the descriptors) go to a file while sessions run."""

    def __init__(self, path):
        sys.stdout.flush()
        sys.stderr.flush()
        self.saved = [os.dup(1), os.dup(2)]
        self.file = open(path, "w+b")
        os.dup2(self.file.fileno(), 1)
        os.dup2(self.file.fileno(), 2)

    def close(self):
        """Restores both; returns the lines written meanwhile."""
        sys.stdout.flush()
        sys.stderr.flush()
        for fd, saved in zip((1, 2), self.saved):
            os.dup2(saved, fd)
            os.close(saved)
        self.file.seek(0)
        lines = self.file.read().decode("utf-8", "replace").splitlines()
        self.file.close()
        return lines


def main(cases_root, checker, known_path, differences_path, tolerances_path, work):
    known = typed_values.read_listing(known_path)
    differences = typed_values.read_listing(differences_path)
    direct = run_direct.DirectRun(cases_root, checker, known, typed_values.read_tolerances(tolerances_path), work)
    out = sys.stdout
    direct.report(out)
    known = direct.known

    passed, known_failed, session_differences, failed = [], [], [], []
    captured = Captured(os.path.join(work, "session.log"))
    try:
        for case in direct.cases:
            ours, session, faults = run_case(case)
            found = typed_values.case_failures(case, ours, direct.tolerance(case))
            if faults:
                failed.append((case.name, "TensorInfo: " + "; ".join(faults)))
            elif not found:
                # Again through the same session, the feeds now buffers bound in place, and all
                # outputs by default: the data sets hold every output in the declared order.
                again = run_data_sets(session, case, to_buffer_feed, name_outputs=False)
                if again == ours and all(list(again[k]) == list(ours[k]) for k in ours):
                    passed.append(case.name)
                else:
                    failed.append((case.name, "buffer feeds give other results: " + "; ".join(
                        typed_values.case_failures(case, again, direct.tolerance(case)) or ["other outputs"])))
            elif case.name not in direct.failures:
                failed.append((case.name, "; ".join(found) + " (the runtime alone passes)"))
            elif same_outcome(ours, direct.results[case.name],
                              values=not known.get(case.name, "").startswith(RANDOM)):
                if case.name in known:
                    known_failed.append(case.name)
                else:
                    failed.append((case.name, "; ".join(found) + " (the runtime alone gives the same: list it)"))
            elif case.name in differences and refused(case, ours, direct.tolerance(case)):
                session_differences.append(case.name)
            else:
                failed.append((case.name, "; ".join(found) + " (the runtime alone fails otherwise: %s)" % (
                    "; ".join(direct.failures[case.name]))))
    finally:
        printed = captured.close()

    for name, reason in failed:
        out.write("FAILED (session): %s: %s\n" % (name, reason))
    for name in sorted(set(differences) - set(session_differences)):
        out.write("note: %s is listed as a session difference but does not differ\n" % name)
    for name in session_differences:
        out.write("  session differs from the runtime: %s: %s\n" % (name, differences[name]))
    if printed:
        out.write("FAILED: %d lines written to standard output or error while sessions ran, first: %s (%s)\n" % (
            len(printed), printed[0], os.path.join(work, "session.log")))
    out.write("runtime directly: %d of %d cases pass\n" % (direct.passed, len(direct.cases)))
    out.write("quelt.Session: %d of %d cases pass, %d known failures (the runtime gives the same), "
              "%d listed differences from the runtime, %d failed\n" % (
                  len(passed), len(direct.cases), len(known_failed), len(session_differences), len(failed)))
    return 1 if failed or direct.unlisted or printed else 0


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit("usage: run_session.py CASES_ROOT CHECKER KNOWN_FAILURES SESSION_DIFFERENCES TOLERANCES WORK_FOLDER")
    sys.exit(main(*sys.argv[1:]))
