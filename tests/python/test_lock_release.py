"""quelt's operations let other threads run during large BLAS and LAPACK calls, and only then.

A ticker thread counts while it holds the interpreter lock and gives it up between counts. With
the switch interval set far beyond the test's length, the interpreter never takes the lock from
the main thread, so the count moves during a call exactly when the call releases the lock.
"""
import array
import struct
import sys
import threading
import time
import unittest

import quelt
import queltcore

THRESHOLD = 1 << 18  # the documented work from which the lock is released


class Ticker:
    def __enter__(self):
        self.count, self.stop = 0, False
        self.thread = threading.Thread(target=self.run)
        self.thread.start()
        while self.count == 0:
            time.sleep(0.001)
        return self

    def run(self):
        while not self.stop:
            self.count += 1
            time.sleep(0)

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()


PATTERN = array.array("d", [1.0, 1.25, 1.5, 1.75, 2.0])


def filled(cls, *shape, value=0.0):
    """A float64 or complex128 container holding value + 1, 1.25, ... 2 over and over."""
    c = cls(*shape)
    doubles = c.numel() * (2 if cls in (quelt.vecz, quelt.matz) else 1)
    flat = queltcore.vecz(c.numel()) if cls is quelt.matz else queltcore.vecd(c.numel()) \
        if cls is quelt.matd else c
    quelt.memory(flat).cast("B")[:] = array.array("d", [v + value for v in PATTERN]) \
        .__mul__(doubles // 5 + 1)[:doubles].tobytes()
    if flat is not c:
        queltcore.copy(flat, c)
    return c


def vectors(n, count=2):
    return [filled(quelt.vecd, n) for _ in range(count)]


def matrices(rows, cols, value=0.0):
    return filled(quelt.matd, rows, cols, value=value)


def system(rows, cols):
    A = matrices(rows, cols)
    for i in range(min(rows, cols)):
        A[i, i] = A[i, i] + 100.0
    return A


# name: (arguments of a call at size k, the work of that call in multiply-adds (elements for
# level 1), the size of a long call, the largest size below the threshold).
CALLS = {
    "scale": (lambda k: [2.0] + vectors(k, 1), lambda k: k, 1 << 21, THRESHOLD - 1),
    "axpy": (lambda k: [0.5] + vectors(k), lambda k: k, 1 << 21, THRESHOLD - 1),
    "sum": (vectors, lambda k: k, 1 << 21, THRESHOLD - 1),
    "copy": (vectors, lambda k: k, 1 << 21, THRESHOLD - 1),
    "swap": (vectors, lambda k: k, 1 << 21, THRESHOLD - 1),
    "dot": (vectors, lambda k: k, 1 << 21, THRESHOLD - 1),
    "hdot": (lambda k: [filled(quelt.vecz, k), filled(quelt.vecz, k)], lambda k: k, 1 << 21, THRESHOLD - 1),
    "gemv": (lambda k: [1.0, 0.5, matrices(k, 64)] + vectors(64, 1) + vectors(k, 1), lambda k: 65 * k,
             1 << 16, THRESHOLD // 65),
    "matvec": (lambda k: [matrices(64, k)] + vectors(k, 1) + vectors(64, 1), lambda k: 64 * k + 64,
               1 << 16, THRESHOLD // 64 - 2),
    "gemm": (lambda k: [1.0, 0.5, matrices(64, k), matrices(k, 64), matrices(64, 64)], lambda k: 4096 * k,
             1 << 12, THRESHOLD // 4096 - 1),
    "matmul": (lambda k: [matrices(64, 64), matrices(64, k), matrices(64, k)], lambda k: 4096 * k,
               1 << 12, THRESHOLD // 4096 - 1),
    # A k x 64 least-squares system of full rank.
    "ls": (lambda k: [system(k, 64), vectors(max(k, 64), 1)[0]], lambda k: k * 64 * min(k, 64), 1 << 13, 63),
}


class LockRelease(unittest.TestCase):
    def setUp(self):
        self.interval = sys.getswitchinterval()
        sys.setswitchinterval(1000.0)

    def tearDown(self):
        sys.setswitchinterval(self.interval)

    def ticks_during(self, function, args, attempts=1):
        """How far the ticker got during the calls, stopping at the first call it ran during."""
        with Ticker() as ticker:
            for _ in range(attempts):
                before = ticker.count
                function(*args)
                moved = ticker.count - before
                if moved:
                    break
        return moved

    def test_long_calls_let_another_thread_run(self):
        for name, (make, work, long, _) in CALLS.items():
            with self.subTest(name=name):
                self.assertGreater(work(long), 4 * THRESHOLD)
                args = make(long)
                self.assertGreater(self.ticks_during(getattr(quelt, name), args, attempts=20), 0)
                # The core's function keeps the lock for the whole call.
                self.assertEqual(self.ticks_during(getattr(queltcore, name), args), 0)

    def test_calls_below_the_threshold_keep_the_lock(self):
        for name, (make, work, _, short) in CALLS.items():
            with self.subTest(name=name):
                self.assertTrue(THRESHOLD // 2 < work(short) < THRESHOLD <= work(short + 1))
                for args in (make(short), make(1)):
                    function = getattr(quelt, name)
                    self.assertEqual(self.ticks_during(lambda: [function(*args) for _ in range(20)], ()), 0)

    def test_refusals_come_before_the_release(self):
        # The overlap and shape checks raise with the lock held and leave every operand as it was.
        v = vectors(1 << 21, 1)[0]
        A = matrices(1024, 1024)
        before = bytes(quelt.memory(v))
        refused = [("copy", (v[0:1 << 20], v[1:(1 << 20) + 1]), "In copy, y overlaps x"),
                   ("gemv", (1.0, 1.0, A, v[0:1024], v[512:1536]), "In gemv, y overlaps x"),
                   ("dot", (v, v[0:10]), "In dot, y holds 10 elements, fewer than the 2097152 elements of x")]
        for name, args, message in refused:
            with self.subTest(name=name):
                with Ticker() as ticker:
                    before_ticks = ticker.count
                    with self.assertRaises(RuntimeError) as raised:
                        getattr(quelt, name)(*args)
                    self.assertEqual(ticker.count, before_ticks)
                self.assertEqual(str(raised.exception), message)
                self.assertEqual(bytes(quelt.memory(v)), before)


class ConcurrentCalls(unittest.TestCase):
    def test_shared_disjoint_and_overlapping_operands_with_references_dropped(self):
        threads, rounds, n, m = 4, 6, 96, 1 << 16
        A, X = matrices(n, n), matrices(n, n, value=-1.5)
        expected = bytes(quelt.memory(queltcore.gemm(1.0, 0.0, A, X, quelt.matd(n, n))))
        shared = {"A": A, "X": X, "big": filled(quelt.vecd, threads * m), "racy": filled(quelt.vecd, 2 * m)}
        start = bytes(quelt.memory(shared["big"]))
        del A, X
        barrier = threading.Barrier(threads + 1)
        outcomes = {}

        def work(i):
            A, X, racy = shared["A"], shared["X"], shared["racy"]
            window = shared["big"][i * m:(i + 1) * m]
            Y, step = quelt.matd(n, n), vectors(m, 1)[0]
            barrier.wait()
            try:
                for _ in range(rounds):
                    quelt.gemm(1.0, 0.0, A, X, Y)                       # shared operands, read
                    quelt.scale(2.0, window)                            # disjoint windows of one vector
                    quelt.axpy(1.0, step, racy[m // 2 * (i % 2):][:m])  # windows overlapping across threads
                    try:
                        quelt.copy(racy[0:m], racy[1:m + 1])
                        refusal = None
                    except RuntimeError as error:
                        refusal = str(error)
                outcomes[i] = (bytes(quelt.memory(Y)), bytes(quelt.memory(window)), refusal)
            except Exception as error:  # reported below, per thread
                outcomes[i] = error

        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for w in workers:
            w.start()
        barrier.wait()
        # The workers' own references are now the only ones: dropped while their calls run.
        shared.clear()
        for w in workers:
            w.join()
        doubled = array.array("d", [v * 2 ** rounds for v in struct.unpack("%dd" % (m * threads), start)])
        for i in range(threads):
            with self.subTest(thread=i):
                Y, window, refusal = outcomes[i]
                self.assertEqual(Y, expected)
                self.assertEqual(window, doubled[i * m:(i + 1) * m].tobytes())
                self.assertEqual(refusal, "In copy, y overlaps x")


if __name__ == "__main__":
    unittest.main()
