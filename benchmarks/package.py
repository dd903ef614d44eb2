"""The quelt package's measurements, made by the harness (`harness.py quelt OUT MODELS`) in the
process that imports queltcore and queltfloor:

- data exchange: a million float64 elements into and out of a vecd and a 1000 x 1000 matd
  through quelt's buffer paths, each taking turns with queltfloor's memcpy of the same bytes,
  and the element-by-element loop of queltcore alone; a million float32 elements into a model
  input through quelt.inputs and through one model.set per element;
- quelt.Session: run against the runtime's Run made by queltfloor on the same memory, on the
  tiny and the compute model and over input lengths (against the model class filled element
  by element), and the compute model from two Python threads against the same calls in turn.

A measurement that this build's quelt cannot make (a name it lacks, a call that fails, a
result that is wrong) is not timed: the reason is recorded under "not_measured" and the report
says so. Nothing is timed before its calls have been checked against what they must compute.
"""
import array
import os
import threading
import time

import cases
from timing import measure
import queltcore as q
import queltfloor as f

try:
    import quelt
except ImportError as error:  # the package is not in this build
    quelt, QUELT_IMPORT_ERROR = None, "quelt does not import: %s" % error
else:
    QUELT_IMPORT_ERROR = None


class NotMeasured(Exception):
    """Why a measurement could not be made with this build."""


def need(*names):
    if quelt is None:
        raise NotMeasured(QUELT_IMPORT_ERROR)
    absent = [name for name in names if not hasattr(quelt, name)]
    if absent:
        raise NotMeasured("this build's quelt has no %s" % ", ".join(absent))


def attempt(what, call):
    """A call of the feature under test; its failure means the measurement cannot be made."""
    try:
        return call()
    except Exception as raised:  # noqa: BLE001 (any failure of the feature is reported as such)
        raise NotMeasured("%s raised %s: %s" % (what, type(raised).__name__, raised)) from raised


def expect(condition, what):
    if not condition:
        raise NotMeasured("wrong result: " + what)


def values(n):
    """n numbers that float32 holds exactly, none of them zero."""
    return [0.25 * (i % 7 + 1) for i in range(n)]


# ---- data exchange --------------------------------------------------------------------------

def exchange_vector(block):
    need("memory", "vector", "tolist")
    n = cases.EXCHANGE_LENGTH
    expected = values(n)
    source = array.array("d", expected)
    v = q.vecd(n)
    view = attempt("quelt.memory(vecd)", lambda: quelt.memory(v))
    attempt("quelt.memory(v)[:] = array('d')", lambda: view.__setitem__(slice(None), source))
    expect(attempt("quelt.tolist(v)", lambda: quelt.tolist(v)) == expected,
           "quelt.tolist(v) after quelt.memory(v)[:] = source differs from the source")
    expect(all(v[i] == expected[i] for i in (0, 1, n // 2, n - 1)), "v[i] after quelt.memory(v)[:] = source")
    expect(bytes(view) == source.tobytes(), "bytes(quelt.memory(v)) differs from the source's bytes")
    made = attempt("quelt.vector(array('d'))", lambda: quelt.vector(source))
    expect(type(made) is q.vecd and quelt.tolist(made) == expected, "quelt.vector(source) differs from the source")
    copied = bytearray(8 * n)
    ns = {"quelt": quelt, "v": v, "source": source, "n": n}
    return {
        "buffers": measure({
            "memory": ("quelt.memory(v)[:] = source", ns),
            "vector": ("quelt.vector(source)", ns),
            "fill-memcpy": lambda number: f.direct_memcpy(number, view, source),
            "bytes": ("bytes(quelt.memory(v))", ns),
            "read-memcpy": lambda number: f.direct_memcpy(number, copied, view),
        }, block, 31, budget=3.0),
        "python": measure({
            "tolist": ("quelt.tolist(v)", ns),
            "loop-fill": ("for i in range(n):\n    v[i] = source[i]", ns),
            "loop-read": ("[v[i] for i in range(n)]", ns),
        }, block, 5),
    }


def exchange_matrix(block):
    need("memory", "matrix", "tolist")
    rows, cols = cases.EXCHANGE_SHAPE
    expected = values(rows * cols)
    expected_rows = [expected[i * cols:(i + 1) * cols] for i in range(rows)]
    # Row-major, as a C program or NumPy hands data over: element (i, j) at [i][j].
    row_major = memoryview(array.array("d", expected)).cast("B").cast("d", (rows, cols))
    A = attempt("quelt.matrix(row-major memoryview)", lambda: quelt.matrix(row_major))
    expect(type(A) is q.matd and (A.dim(0), A.dim(1)) == (rows, cols), "quelt.matrix(source) is no %d x %d matd"
           % (rows, cols))
    expect(attempt("quelt.tolist(A)", lambda: quelt.tolist(A)) == expected_rows,
           "quelt.tolist(quelt.matrix(source)) differs from the source's rows")
    expect((A[0, 1], A[1, 0]) == (expected[1], expected[cols]), "A[i, j] is not source[i][j]")
    # Column-major, as another matd's memory is: a straight copy of the bytes.
    column_major = attempt("quelt.memory(matd)", lambda: quelt.memory(A))
    B = attempt("quelt.matrix(column-major memoryview)", lambda: quelt.matrix(column_major))
    expect(quelt.tolist(B) == expected_rows, "quelt.matrix(quelt.memory(A)) differs from A")
    # CPython 3.7 reads a column-major memoryview out in row-major order.
    expect(bytes(column_major) == row_major.tobytes(), "bytes(quelt.memory(A)) is not A's rows in order")
    target = quelt.memory(q.matd(rows, cols))
    copied = bytearray(8 * rows * cols)
    # Settled blocks: a block of matrix-rows holds ten calls, the memcpy's thirty, and the first
    # four or five calls after another label's block run slower for both (220 us a call for
    # matrix-rows at its pace, 400 in a block right after another label's).
    ns = {"quelt": quelt, "A": A, "row_major": row_major, "column_major": column_major,
          "source_rows": expected_rows, "rows": rows, "cols": cols}
    return {
        "buffers": measure({
            "matrix-rows": ("quelt.matrix(row_major)", ns),
            "matrix-columns": ("quelt.matrix(column_major)", ns),
            "fill-memcpy": lambda number: f.direct_memcpy(number, target, column_major),
            "bytes": ("bytes(quelt.memory(A))", ns),
            "read-memcpy": lambda number: f.direct_memcpy(number, copied, column_major),
        }, block, 31, budget=3.0, settle=True),
        "python": measure({
            "tolist": ("quelt.tolist(A)", ns),
            "loop-fill": ("for i in range(rows):\n    row = source_rows[i]\n"
                          "    for j in range(cols):\n        A[i, j] = row[j]", ns),
            "loop-read": ("[[A[i, j] for j in range(cols)] for i in range(rows)]", ns),
        }, block, 5),
    }


def exchange_model(block, models):
    need("inputs")
    n = cases.FEED_SIZES[-1]
    expected = values(n)
    source = array.array("f", expected)
    model = q.model(os.path.join(models, "feed-%d.onnx" % n))
    inputs = attempt("quelt.inputs(model)", lambda: quelt.inputs(model))
    expect(len(inputs) == 1 and inputs[0].format == "f" and inputs[0].shape == (n,),
           "quelt.inputs(model) is not one float32 view of shape (%d,)" % n)
    attempt("quelt.inputs(model)[0][:] = array('f')", lambda: inputs[0].__setitem__(slice(None), source))
    expect(quelt.inputs(model)[0].tobytes() == source.tobytes(),
           "the model's input after quelt.inputs(model)[0][:] = source")
    # The graph hands back its input's first element: the runtime read what was written.
    model.run()
    expect(model.get(0, [0]) == expected[0], "the model's output after a run")
    ns = {"quelt": quelt, "m": model, "source": source, "n": n}
    return {
        "buffers": measure({
            "inputs": ("quelt.inputs(m)[0][:] = source", ns),
            "memcpy": lambda number: f.direct_memcpy(number, inputs[0], source),
        }, block, 31, budget=3.0),
        "python": measure({
            "loop-set": ("for i in range(n):\n    m.set(0, [i], source[i])", ns),
        }, block, 5),
    }


# ---- quelt.Session --------------------------------------------------------------------------

def outputs_agree(result, direct, what):
    """A run's outputs against the direct call's raw bytes, as float32 numbers."""
    names = list(result)
    expect(len(names) == len(direct), "%s: %d outputs, the direct call %d" % (what, len(names), len(direct)))
    for name, raw in zip(names, direct):
        got = array.array("f", bytes(memoryview(result[name]).cast("B")))
        want = array.array("f", raw)
        expect(len(got) == len(want) and all(abs(a - b) <= 1e-5 * max(1.0, abs(b)) for a, b in zip(got, want)),
               "%s: output %r differs from the direct call's" % (what, name))


def session_pair(path, feeds, block, rounds, budget, per_run=False, **options):
    """quelt.Session.run against queltfloor's Run on the same memory (and, with per_run, the
    same Run with its tensors and run options made for every run), checked, then timed on the
    wall clock (the runtime may use its own threads)."""
    session = attempt("quelt.Session(%r)" % os.path.basename(path), lambda: quelt.Session(path, **options))
    result = attempt("Session.run", lambda: session.run(feeds))
    outputs_agree(result, f.direct_session_outputs(path, feeds, **options), os.path.basename(path))
    ns = {"s": session, "feeds": feeds}
    entries = {"run": ("s.run(feeds)", ns),
               "direct": lambda number: f.direct_session_run(number, path, feeds, **options)}
    if per_run:
        entries["direct-per-run"] = lambda number: f.direct_session_run(number, path, feeds, per_run=True, **options)
    return session, measure(entries, block, rounds, clock=time.perf_counter, budget=budget)


def session_models(latency_block, block, models):
    need("Session")
    tiny = os.path.join(models, "tiny.onnx")
    x = memoryview(array.array("f", [1.5, -4.0])).cast("B").cast("f", (1, 2))
    _, tiny_timed = session_pair(tiny, {"x": x}, latency_block * 5, 31, 3.0, per_run=True)
    compute = os.path.join(models, "compute.onnx")
    # One intra-op thread for both sessions. With the runtime's default pools, two sessions in
    # one process on 2 cores take turns paying for each other's pool threads: a block that
    # followed the other session's block ran at 1.8 ms a run, one that followed its own at
    # 3.6 ms (every other run waiting a scheduler tick), whichever session it was, so the paired
    # ratio swung by 8% between runs of the same build. Blocks of many runs: the first run after
    # the other session's turn still pays for its memory changing hands.
    _, compute_timed = session_pair(compute, {"scale": array.array("f", [1.0])}, 10 * block, 15, 3.0, threads=1)
    return {"tiny": tiny_timed, "compute": compute_timed}


def session_feeds(latency_block, block, models):
    """Session.run over input lengths against the direct Run; beside it, the model class on the
    same graph with a fixed length, filled element by element (and through quelt.inputs where
    the build has it) and run."""
    need("Session")
    path = os.path.join(models, "feed.onnx")
    found = {}
    for n in cases.FEED_SIZES:
        source = array.array("f", values(n))
        feeds = {"x": source}
        session, timed = session_pair(path, feeds, latency_block * 5, 25, 2.0)
        expect(attempt("Session.run", lambda: session.run(feeds))["y"].tolist() == [source[0]],
               "feed.onnx does not hand back its input's first element")
        entry = {"session": timed}
        if n == cases.FEED_SIZES[-1]:
            scratch = bytearray(4 * n)
            entry["copy"] = measure({"memcpy": lambda number: f.direct_memcpy(number, scratch, source)}, block, 9)
        model = q.model(os.path.join(models, "feed-%d.onnx" % n))
        ns = {"m": model, "source": source, "n": n, "quelt": quelt}
        loops = {"set": ("for i in range(n):\n    m.set(0, [i], source[i])\nm.run()", ns)}
        if hasattr(quelt, "inputs"):
            loops["inputs"] = ("quelt.inputs(m)[0][:] = source\nm.run()", ns)
        exec(loops["set"][0], ns)
        expect(model.get(0, [0]) == source[0], "the model class's run of feed-%d.onnx" % n)
        entry["model"] = measure(loops, block, 5, clock=time.perf_counter)
        found[str(n)] = entry
    return found


def session_threads(block, models):
    """The compute model on one session with one intra-op thread: two Python threads each
    making the same number of runs at once, against one thread making all of them in turn."""
    need("Session")
    path = os.path.join(models, "compute.onnx")
    feeds = {"scale": array.array("f", [1.0])}
    session = attempt("quelt.Session(compute.onnx, threads=1)", lambda: quelt.Session(path, threads=1))
    alone = bytes(memoryview(attempt("Session.run", lambda: session.run(feeds))["y"]).cast("B"))

    def in_turn(number):
        start = time.perf_counter()
        for _ in range(2 * number):
            session.run(feeds)
        return time.perf_counter() - start

    def side_by_side(number, results=None):
        failures = []

        def work():
            try:
                for _ in range(number):
                    out = session.run(feeds)
                if results is not None:
                    results.append(bytes(memoryview(out["y"]).cast("B")))
            except BaseException as raised:  # noqa: BLE001 (handed to the timing thread)
                failures.append(raised)

        workers = [threading.Thread(target=work) for _ in range(2)]
        start = time.perf_counter()
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        elapsed = time.perf_counter() - start
        if failures:
            raise failures[0]
        return elapsed

    results = []
    attempt("Session.run from two threads", lambda: side_by_side(2, results))
    expect(results == [alone, alone], "runs from two threads differ from a run alone")
    # Two threads can only be as fast as the two cores are free: the load is kept beside.
    load = [loadavg()]
    timed = measure({"in-turn": in_turn, "side-by-side": side_by_side}, 20 * block, 15, budget=4.0)
    timed["load"] = load + [loadavg()]
    return timed


def loadavg():
    with open("/proc/loadavg") as source:
        return [float(v) for v in source.read().split()[:3]]


# ---- the phase ------------------------------------------------------------------------------

def run(models, log, latency_block, block):
    """Every measurement above: {"exchange": ..., "session": ..., "not_measured": {name: why}}."""
    result = {"exchange": {}, "session": {}, "not_measured": {}}
    work = [
        ("exchange", "vector", lambda: exchange_vector(block)),
        ("exchange", "matrix", lambda: exchange_matrix(block)),
        ("exchange", "model", lambda: exchange_model(block, models)),
        ("session", "models", lambda: session_models(latency_block, block, models)),
        ("session", "feeds", lambda: session_feeds(latency_block, block, models)),
        ("session", "threads", lambda: session_threads(block, models)),
    ]
    for group, name, measurement in work:
        log("%s: %s" % (group, name))
        try:
            result[group][name] = measurement()
        except NotMeasured as why:
            result["not_measured"]["%s/%s" % (group, name)] = str(why)
            log("not measured: %s" % why)
    return result
