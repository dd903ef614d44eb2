"""The report's part on quelt's own operations: their size-1 cost against queltcore's (the
latency phase times every overload through both) and what releasing the interpreter lock buys
(the threads phase). Read by report.py."""
import os

import cases
from timing import paired_ratio

# The measured calls of the threads phase (benchmarks/threads.py), as the report names them.
PAIRS = [("gemm/d/1024", "`quelt.gemm`, float64 1024 x 1024"),
         ("ls/d/2000x500", "`quelt.ls`, float64 2000 x 500"),
         ("gemv/d/4096", "`quelt.gemv`, float64 4096 x 4096 (ten calls)")]


def load(results):
    """The threads phase's results, or None where this run made none."""
    path = os.path.join(results, "threads-module.json")
    return cases.load(path) if os.path.exists(path) else None


def against_core(entry):
    """quelt's function over queltcore's for one overload: the median over rounds of the two
    blocks of a round, which a drift of the machine over a few rounds cancels out of (a ratio
    of the two medians takes it for the call's own cost)."""
    return paired_ratio(entry["quelt"], entry["module"])


def worst_against_core(run):
    """Over every overload at size 1: the worst ratio of quelt's function to queltcore's, with
    the overload it was found at; None where the sweep did not time quelt's."""
    worst, count = None, 0
    for name in cases.FAMILIES:
        for entry in run.module["sweep"][name]:
            if "quelt" not in entry:
                return None, 0
            count += 1
            r = against_core(entry)
            if worst is None or r > worst[0]:
                worst = (r, name, entry)
    return worst, count


def targets(run, threads, describe, duration):
    """(what the target asks, what was measured, whether it is met) for each target."""
    found = []
    target = "quelt's operations at size 1: every overload at most %.1f x the same overload of queltcore" % (
        cases.TARGET_PACKAGE_SMALL_RATIO)
    worst, count = worst_against_core(run)
    if worst is None:
        found.append((target, "not measured: the size-1 sweep did not time quelt's functions", None))
    else:
        found.append((target, "worst of %d overloads %.2f x (`%s` #%d %s)" % (
            count, worst[0], worst[1], worst[2]["position"], describe(worst[2]["types"])),
            worst[0] <= cases.TARGET_PACKAGE_SMALL_RATIO))
    target = ("two Python threads each running `quelt.gemm` on float64 1024 x 1024, one BLAS thread: wall time "
              "at most %.1f x the same two calls one after the other" % cases.TARGET_OPERATIONS_THREADS_RATIO)
    if threads is None:
        found.append((target, "not measured: this run has no threads phase", None))
        return found
    gemm = threads["gemm/d/1024"]
    found.append((target, "%.2f x (%s against %s)" % (gemm["ratio"], duration(gemm["two_threads"]),
                                                      duration(gemm["one_after_the_other"])),
                  gemm["ratio"] <= cases.TARGET_OPERATIONS_THREADS_RATIO))
    pause = threads["pause"]
    n = pause["n"]
    found.append(("another Python thread's loop during a `quelt.gemm` of about a second: its longest pause at "
                  "most %s" % duration(cases.TARGET_PAUSE_SECONDS),
                  "%s during a %s call (%d x %d); during queltcore's: %s" % (
                      duration(pause["quelt"]["pause"]), duration(pause["quelt"]["call"]), n, n,
                      duration(pause["queltcore"]["pause"])),
                  pause["quelt"]["pause"] <= cases.TARGET_PAUSE_SECONDS))
    return found


def section(run, threads, duration, table):
    out = ["## quelt's operations and threads\n"]
    worst, count = worst_against_core(run)
    if worst is not None:
        rows = []
        for name in cases.FAMILIES:
            ratios = [against_core(e) for e in run.module["sweep"][name]]
            rows.append(["`%s`" % name, len(ratios), "%.2f" % min(ratios), "%.2f" % cases.median(ratios),
                         "%.2f" % max(ratios), sum(r <= cases.TARGET_PACKAGE_SMALL_RATIO for r in ratios)])
        out.append("### At size 1\n\nEvery overload of every name called through quelt's function and through "
                   "queltcore's, taking turns block by block on the same operands (the size-1 sweep above): "
                   "quelt's / queltcore's per overload, the median over the 7 rounds of the two blocks of a "
                   "round. Below the lock-release threshold quelt's functions "
                   "make the same checks and the same BLAS call; what differs is the dispatch, and how a "
                   "refusal's RuntimeError is raised.\n\n"
                   + table(["name", "overloads", "best", "median", "worst",
                            "within %.1f x" % cases.TARGET_PACKAGE_SMALL_RATIO], rows))
    if threads is None:
        out.append("### From several threads\n\nNot measured: this run has no threads phase.\n")
        return "\n".join(out)
    rows = [[label, duration(threads[key]["one_after_the_other"]), duration(threads[key]["two_threads"]),
             "%.2f" % threads[key]["ratio"], "%.2f" % min(threads[key]["rounds"]), "%.2f" % max(threads[key]["rounds"])]
            for key, label in PAIRS]
    pause = threads["pause"]
    out.append("### From several threads\n\nOne BLAS thread (`OPENBLAS_NUM_THREADS=1`): two Python threads "
               "each making one call at once, against the same two calls one after the other, on fresh "
               "operands each round (%d rounds, alternating which way goes first); wall clock on 2 cores "
               "that other work may share, so two threads can be no faster than the cores they find free.\n\n"
               % len(threads[PAIRS[0][0]]["rounds"])
               + table(["call", "one after the other", "two threads", "ratio (median round)", "best round",
                        "worst round"], rows)
               + "\nDuring one `gemm` of %d x %d, the longest gap between two turns of another thread's "
               "loop: %s with quelt's (a %s call), %s with queltcore's (%s), which holds the lock throughout.\n"
               % (pause["n"], pause["n"], duration(pause["quelt"]["pause"]), duration(pause["quelt"]["call"]),
                  duration(pause["queltcore"]["pause"]), duration(pause["queltcore"]["call"])))
    return "\n".join(out)

