"""quelt's operations and other Python threads: two threads calling at once against the same
calls one after the other, and how long another thread's loop stalls during a long call.

Run by harness.py's threads phase, with one BLAS thread (run.sh sets OPENBLAS_NUM_THREADS=1), so
that the two calls can use the two cores only by running side by side.
"""
import statistics
import threading
import time

import quelt
import queltcore

ROUNDS = 9


def filled(rows, cols):
    """A float64 matrix of full rank: 1 on the diagonal over small varying values."""
    A = quelt.matd(rows, cols)
    flat = quelt.vecd(rows * cols)
    memory = quelt.memory(flat)
    for i in range(min(len(memory), 4099)):
        memory[i] = 0.001 * (i % 97)
    done = min(len(memory), 4099)
    while done < len(memory):
        step = min(done, len(memory) - done)
        quelt.copy(flat[0:step], flat[done:done + step])
        done += step
    quelt.copy(flat, A)
    for i in range(min(rows, cols)):
        A[i, i] = A[i, i] + 1.0
    return A


def side_by_side(calls):
    """Wall seconds of the calls from one thread each, started together."""
    barrier = threading.Barrier(len(calls) + 1)

    def run(call):
        barrier.wait()
        call()

    threads = [threading.Thread(target=run, args=(c,)) for c in calls]
    for t in threads:
        t.start()
    barrier.wait()
    started = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - started


def one_after_the_other(calls):
    started = time.perf_counter()
    for call in calls:
        call()
    return time.perf_counter() - started


def pair(make, log, label):
    """Two threads against one after the other: each round makes fresh operands (outside the
    timing) for both ways, in alternating order; the median of the per-round ratios."""
    ratios, together, apart = [], [], []
    for round_ in range(ROUNDS):
        for way in ((side_by_side, one_after_the_other) if round_ % 2 == 0 else
                    (one_after_the_other, side_by_side)):
            seconds = way([make(), make()])
            (together if way is side_by_side else apart).append(seconds)
        ratios.append(together[-1] / apart[-1])
    result = {"ratio": statistics.median(ratios), "two_threads": statistics.median(together),
              "one_after_the_other": statistics.median(apart), "rounds": ratios}
    log("%s: two threads %.3f s, one after the other %.3f s, ratio %.2f"
        % (label, result["two_threads"], result["one_after_the_other"], result["ratio"]))
    return result


def longest_pause(function, n):
    """The longest gap between two turns of a loop in another thread while one gemm of n x n
    runs, and the call's own seconds."""
    A, X, Y = filled(n, n), filled(n, n), quelt.matd(n, n)
    running, gaps = [True], [0.0]
    ready = threading.Event()

    def loop():
        last = time.perf_counter()
        ready.set()
        while running[0]:
            now = time.perf_counter()
            gaps[0] = max(gaps[0], now - last)
            last = now

    thread = threading.Thread(target=loop)
    thread.start()
    ready.wait()
    time.sleep(0.02)
    gaps[0] = 0.0
    started = time.perf_counter()
    function(1.0, 0.0, A, X, Y)
    seconds = time.perf_counter() - started
    pause = gaps[0]
    running[0] = False
    thread.join()
    return pause, seconds


def run(log):
    result = {}
    for label, make in (
            ("gemm/d/1024", lambda: (lambda A=filled(1024, 1024), X=filled(1024, 1024), Y=quelt.matd(1024, 1024):
                                     quelt.gemm(1.0, 0.0, A, X, Y))),
            ("ls/d/2000x500", lambda: (lambda A=filled(2000, 500), b=filled(2000, 1): quelt.ls(A, b))),
            ("gemv/d/4096", lambda: (lambda A=filled(4096, 4096), x=quelt.vecd(4096), y=quelt.vecd(4096):
                                     [quelt.gemv(1.0, 1.0, A, x, y) for _ in range(10)]))):
        result[label] = pair(make, log, label)
    # A gemm of about a second: n from the 1024 call's time, cubed.
    A, X, Y = filled(1024, 1024), filled(1024, 1024), quelt.matd(1024, 1024)
    started = time.perf_counter()
    quelt.gemm(1.0, 0.0, A, X, Y)
    n = int(1024 * (1.0 / (time.perf_counter() - started)) ** (1.0 / 3))
    del A, X, Y
    pauses = {}
    for name, module in (("quelt", quelt), ("queltcore", queltcore)):
        pause, seconds = longest_pause(module.gemm, n)
        pauses[name] = {"pause": pause, "call": seconds}
        log("%s.gemm %d x %d: %.3f s, longest pause of another thread %.4f s" % (name, n, n, seconds, pause))
    result["pause"] = dict(pauses, n=n)
    return result
