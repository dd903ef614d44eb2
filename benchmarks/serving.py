"""quelt.Session for serving, measured by the harness (`harness.py serving OUT MODELS`):

- the tiny model's Session.run plain and carrying a cancellation token and a deadline, taking
  turns with queltfloor's direct Run on the same memory: what the stop bookkeeping costs;
- run(..., into=...) against a plain run on fill.onnx (a float32 output of n ones), over output
  sizes up to a million elements: CPU time and minor page faults per run, and the page faults of
  a new session's first run, the output's allocation and first touch being what into saves;
- a run of slow.onnx cancelled from another thread: the time from cancel() until the run has
  raised quelt.Cancelled in its own thread, median and worst of CANCEL_TRIALS.

Every measurement is checked first; one that cannot be made is recorded under "not_measured".
"""
import array
import os
import resource
import statistics
import threading
import time

import cases
from package import NotMeasured, attempt, expect, need, outputs_agree, quelt
from timing import measure
import queltfloor as f

CANCEL_TRIALS = 20
# How long the cancelled run has been going when cancel() comes: well inside its seconds of work.
CANCEL_AFTER = 0.05


def tiny(latency_block, models):
    need("Session", "Cancel")
    path = os.path.join(models, "tiny.onnx")
    x = memoryview(array.array("f", [1.5, -4.0])).cast("B").cast("f", (1, 2))
    feeds = {"x": x}
    session = attempt("quelt.Session(tiny.onnx)", lambda: quelt.Session(path))
    token = quelt.Cancel()
    outputs_agree(attempt("Session.run", lambda: session.run(feeds, cancel=token, timeout=60.0)),
                  f.direct_session_outputs(path, feeds), "tiny.onnx with a token and a deadline")
    ns = {"s": session, "feeds": feeds, "token": token}
    return measure({"run": ("s.run(feeds)", ns), "run-armed": ("s.run(feeds, cancel=token, timeout=60.0)", ns),
                    "direct": lambda number: f.direct_session_run(number, path, feeds)},
                   latency_block * 5, 31, clock=time.perf_counter, budget=3.0)


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def faults_per_run(call, runs):
    before = minor_faults()
    for _ in range(runs):
        call()
    return (minor_faults() - before) / runs


def first_run_faults(path, feeds, **kwargs):
    """Minor page faults of a new session's first run: before the runtime's arena holds a block
    for the output, the plain run faults its pages in."""
    session = quelt.Session(path, threads=1)
    before = minor_faults()
    session.run(feeds, **kwargs)
    return minor_faults() - before


def into(block, models):
    """One intra-op thread, so that the whole run is on the calling thread and its CPU clock
    measures it: the machine's other load stays out of the figures."""
    need("Session")
    path = os.path.join(models, "fill.onnx")
    session = attempt("quelt.Session(fill.onnx)", lambda: quelt.Session(path, threads=1))
    found = {}
    for n in cases.INTO_SIZES:
        feeds = {"n": array.array("q", [n])}
        target = array.array("f", bytes(4 * n))
        plain = attempt("Session.run", lambda: session.run(feeds))["y"]
        expect(len(plain) == n and memoryview(plain)[n - 1] == 1.0, "fill.onnx's output of %d ones" % n)
        got = attempt("Session.run(into=)", lambda: session.run(feeds, into={"y": target}))["y"]
        expect(got is target and target[0] == target[n - 1] == 1.0, "into: the output in the given buffer")
        del plain, got
        ns = {"s": session, "feeds": feeds, "into": {"y": target}}
        entry = measure({"run": ("s.run(feeds)", ns), "into": ("s.run(feeds, into=into)", ns)}, block, 15, budget=3.0)
        runs = max(20, min(2000, int(20e6 // n)))
        entry["faults"] = {"run": faults_per_run(lambda: session.run(feeds), runs),
                           "into": faults_per_run(lambda: session.run(feeds, into=ns["into"]), runs)}
        entry["first-run-faults"] = {"run": first_run_faults(path, feeds),
                                     "into": first_run_faults(path, feeds, into=ns["into"])}
        found[str(n)] = entry
    return found


def cancel(models):
    need("Session", "Cancel", "Cancelled")
    session = attempt("quelt.Session(slow.onnx)", lambda: quelt.Session(os.path.join(models, "slow.onnx")))
    n = cases.SLOW_SIZE
    x = memoryview(array.array("f", [1.0 if i % (n + 1) == 0 else 0.0 for i in range(n * n)])).cast("B").cast("f", (n, n))
    start = time.perf_counter()
    whole = attempt("Session.run(slow.onnx)", lambda: session.run({"x": x}))["y"]
    alone = time.perf_counter() - start
    expect(memoryview(whole)[0, 0] == 1.0 and memoryview(whole)[0, 1] == 0.0, "slow.onnx: the identity to a power")
    # Cancelled at CANCEL_AFTER, a run must still have as long again to go: a run that ends
    # first raises no Cancelled, and the trial says so rather than timing it.
    expect(alone > 2 * CANCEL_AFTER, "slow.onnx ran for %.3f s only" % alone)
    latencies = []
    for _ in range(CANCEL_TRIALS):
        token, outcome = quelt.Cancel(), {}

        def work():
            try:
                session.run({"x": x}, cancel=token)
            except quelt.Cancelled:
                outcome["raised"] = time.perf_counter()
            except BaseException as error:  # noqa: BLE001 (handed to the timing thread)
                outcome["error"] = error

        worker = threading.Thread(target=work)
        worker.start()
        time.sleep(CANCEL_AFTER)
        cancelled = time.perf_counter()
        token.cancel()
        worker.join()
        if "raised" not in outcome:
            raise NotMeasured("the cancelled run did not raise quelt.Cancelled: %r" % outcome.get("error"))
        latencies.append(outcome["raised"] - cancelled)
    return {"alone": alone, "after": CANCEL_AFTER, "load": os.getloadavg(), "latencies": latencies, "median": statistics.median(latencies), "max": max(latencies)}


def run(models, log, latency_block, block):
    """{"tiny": ..., "into": ..., "cancel": ..., "not_measured": {name: why}}."""
    result = {"not_measured": {}}
    for name, measurement in (("tiny", lambda: tiny(latency_block, models)), ("into", lambda: into(block, models)),
                              ("cancel", lambda: cancel(models))):
        log("serving: " + name)
        try:
            result[name] = measurement()
        except NotMeasured as why:
            result["not_measured"][name] = str(why)
            log("not measured: %s" % why)
    return result
