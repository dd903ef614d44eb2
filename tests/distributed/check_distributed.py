"""quelt.distributed on every rank of a job: run by ctest under mpirun -n 1 to 4 through the runner
(`python -m quelt.distributed check_distributed.py`), so that a failure on one rank ends the job.

Every rank draws the same global matrices from one seed, fills its local blocks from them
(DistMatrix.from_function), and compares the gathered results, broadcast to every rank, with
the core's serial operations on the same values."""
import random
import struct
import sys
import threading
import unittest

import queltcore
import quelt.distributed as qd

comm = qd.world()
RANK, SIZE = comm.rank, comm.size
CORE = {"float32": queltcore.mats, "float64": queltcore.matd, "complex64": queltcore.matc,
        "complex128": queltcore.matz}
TOLERANCE = {"float32": 2e-4, "float64": 1e-12, "complex64": 2e-4, "complex128": 1e-12}
FORMAT = {"float32": "f", "float64": "d", "complex64": "ff", "complex128": "dd"}


def grids():
    """The default grid, one column of processes and, on 4 ranks, 1 x 3 over a split communicator."""
    out = [qd.Grid(), qd.Grid(shape=(SIZE, 1))]
    if SIZE == 4:
        sub = comm.split(int(RANK == 3))
        if RANK < 3:
            out.append(qd.Grid(sub, (1, 3)))
    return out


def draw(rng, rows, cols, dtype):
    real = dtype.startswith("float")
    return [[rng.uniform(-1, 1) if real else complex(rng.uniform(-1, 1), rng.uniform(-1, 1))
             for _ in range(cols)] for _ in range(rows)]


def core(values, dtype, rows=None, cols=None):
    rows = len(values) if rows is None else rows
    cols = (len(values[0]) if values else 0) if cols is None else cols
    M = CORE[dtype](rows, cols)
    for i, row in enumerate(values):
        for j, v in enumerate(row):
            M[i, j] = v
    return M


def dist(grid, values, dtype, block, cols=None):
    cols = len(values[0]) if cols is None else cols

    def fill(rows, columns, local):
        for li, i in enumerate(rows):
            for lj, j in enumerate(columns):
                local[li, lj] = values[i][j]
    return qd.DistMatrix.from_function(grid, (len(values), cols), fill, dtype, block)


def entries(M):
    return [[M[i, j] for j in range(M.dim(1))] for i in range(M.dim(0))]


def everywhere(A):
    """A's elements on every rank: gathered to rank 0, then broadcast."""
    return entries(A.grid.comm.bcast(A.gather(0), 0))


def raw(A):
    """A's gathered bytes, for operands that must come back untouched."""
    parts = (lambda v: (v.real, v.imag)) if A.dtype.startswith("complex") else (lambda v: (v,))
    return b"".join(struct.pack(FORMAT[A.dtype], *parts(v)) for row in everywhere(A) for v in row)


class Distributed(unittest.TestCase):
    def assertClose(self, got, want, dtype, scale=1.0):
        self.assertEqual((len(got), len(got[0]) if got else 0), (len(want), len(want[0]) if want else 0))
        bound = TOLERANCE[dtype] * scale * (1 + max([abs(v) for row in want for v in row] or [0]))
        worst = max([abs(g - w) for gr, wr in zip(got, want) for g, w in zip(gr, wr)] or [0])
        self.assertLessEqual(worst, bound)

    def cases(self):
        """(grid, dtype, rng, block) for every grid and element type; blocks that divide no shape."""
        for g, grid in enumerate(grids()):
            for d, dtype in enumerate(CORE):
                yield grid, dtype, random.Random(100 * g + d), [(2, 2), (3, 3), (2, 3)][(g + d) % 3]

    def test_scatter_gather_exact_and_local_blocks_shared(self):
        for grid, dtype, rng, block in self.cases():
            values = draw(rng, 7, 5, dtype)
            M = core(values, dtype) if grid.comm.rank == 0 else None
            A = qd.DistMatrix.scatter(grid, M, 0, block)
            self.assertEqual((A.shape, A.dtype, A.block), ((7, 5), dtype, block))
            self.assertEqual(raw(A), raw(dist(grid, values, dtype, block)))
            self.assertEqual(everywhere(A), entries(core(values, dtype)))
            # The local block is the distributed storage: a write through it is gathered, at
            # the global position of each process's first local element.
            if A.local.numel():
                A.local[0, 0] = 9
            want = entries(core(values, dtype))
            for r in range(grid.shape[0]):
                for c in range(grid.shape[1]):
                    if r * block[0] < 7 and c * block[1] < 5:
                        want[r * block[0]][c * block[1]] = 9
            self.assertClose(everywhere(A), want, dtype, 0)

    def test_products_against_the_core(self):
        for grid, dtype, rng, block in self.cases():
            real = dtype.startswith("float")
            a, b = (rng.uniform(-2, 2), rng.uniform(-2, 2)) if real else (complex(1.5, -0.5), complex(-0.25, 2))
            m, k, n = rng.randint(1, 9), rng.randint(1, 9), rng.randint(1, 6)
            vA, vX, vY = draw(rng, m, k, dtype), draw(rng, k, n, dtype), draw(rng, m, n, dtype)
            square = (block[0], block[0])
            A, X, Y = (dist(grid, v, dtype, square) for v in (vA, vX, vY))
            self.assertIs(qd.gemm(a, b, A, X, Y), Y)
            self.assertClose(everywhere(Y), entries(queltcore.gemm(a, b, core(vA, dtype), core(vX, dtype),
                                                                  core(vY, dtype))), dtype, k)
            self.assertIs(qd.matmul(A, X, Y), Y)
            ref = queltcore.gemm(a, b, core(vA, dtype), core(vX, dtype), core(vY, dtype))
            self.assertClose(everywhere(Y), entries(queltcore.matmul(core(vA, dtype), core(vX, dtype), ref)),
                             dtype, 2 * k)
            # gemv and matvec take the first columns of x and y, as the core does.
            x, y = dist(grid, vX, dtype, square), dist(grid, vY, dtype, square)
            self.assertIs(qd.gemv(a, b, A, x, y), y)
            ry = queltcore.gemv(a, b, core(vA, dtype), core(vX, dtype), core(vY, dtype))
            self.assertClose(everywhere(y), entries(ry), dtype, k)
            self.assertIs(qd.matvec(A, x, y), y)
            self.assertClose(everywhere(y), entries(queltcore.matvec(core(vA, dtype), core(vX, dtype), ry)),
                             dtype, 2 * k)

    def test_ls_every_column_against_the_core(self):
        for grid, dtype, rng, block in self.cases():
            for m, n, nrhs in ((9, 4, 2), (4, 7, 3), (5, 5, 1)):
                vA, vB = draw(rng, m, n, dtype), draw(rng, max(m, n), nrhs, dtype)
                # The minimum-norm case needs square blocks of A.
                blockA = block if m >= n else (block[0], block[0])
                A, B = dist(grid, vA, dtype, blockA), dist(grid, vB, dtype, (block[0], 2))
                self.assertIs(qd.ls(A, B), B)
                got = everywhere(B)
                for j in range(nrhs):
                    b = core([[row[j]] for row in vB], dtype)
                    queltcore.ls(core(vA, dtype), b)
                    self.assertClose([[row[j]] for row in got[:n]], entries(b)[:n], dtype, 50)

    def test_level1_against_the_core(self):
        for grid, dtype, rng, block in self.cases():
            vx, vy = draw(rng, 7, 1, dtype), draw(rng, 9, 1, dtype)
            alpha = rng.uniform(-2, 2) if dtype.startswith("float") else complex(0.5, -1.5)

            def pair():
                return dist(grid, vx, dtype, block), dist(grid, vy, dtype, block), core(vx, dtype), core(vy, dtype)
            for name, args in (("scale", (alpha,)), ("axpy", (alpha,)), ("sum", ()), ("copy", ()), ("swap", ())):
                x, y, cx, cy = pair()
                operands = (x,) if name == "scale" else (x, y)
                result = getattr(qd, name)(*args, *operands)
                getattr(queltcore, name)(*args, *((cx,) if name == "scale" else (cx, cy)))
                self.assertIs(result, None if name == "swap" else operands[-1])
                self.assertClose(everywhere(x), entries(cx), dtype)
                self.assertClose(everywhere(y), entries(cy), dtype)
            x, y, cx, cy = pair()
            self.assertAlmostEqual(qd.dot(x, y), queltcore.dot(cx, cy), delta=TOLERANCE[dtype] * 10)
            if not dtype.startswith("float"):
                self.assertAlmostEqual(qd.hdot(x, y), queltcore.hdot(cx, cy), delta=TOLERANCE[dtype] * 10)
            # One vector as both operands, which the core allows for these.
            qd.axpy(alpha, x, x)
            queltcore.axpy(alpha, cx, cx)
            self.assertClose(everywhere(x), entries(cx), dtype)

    def test_redistribute_keeps_every_element(self):
        for grid, dtype, rng, block in self.cases():
            values = draw(rng, 8, 6, dtype)
            A = dist(grid, values, dtype, block)
            for target, new in ((None, (1, 4)), (qd.Grid(grid.comm, (1, grid.comm.size)), None)):
                B = A.redistribute(target, new)
                self.assertEqual((B.block, B.grid is (target or A.grid)), (new or A.block, True))
                self.assertEqual(raw(B), raw(A))

    def test_bcast_split_and_fortran_handle(self):
        for dtype, cls in CORE.items():
            letter = cls.__name__[-1]
            vec, mat = getattr(queltcore, "vec" + letter), cls
            source = vec(5)
            for i in range(5):
                source[i] = i + 1
            for c, want in ((source, [1, 2, 3, 4, 5]), (source[1:4], [2, 3, 4]), (mat(2, 3), [0] * 6)):
                got = comm.bcast(c if RANK == 0 else None, 0)
                self.assertIs(type(got), type(c) if RANK == 0 else (mat if c.__class__ is mat else vec))
                self.assertEqual([got[i] for i in range(got.numel())] if not isinstance(got, mat)
                                 else [v for row in entries(got) for v in row], want)
        sub = comm.split(RANK % 2, key=-RANK)
        self.assertEqual(sub.size, (SIZE + 1 - RANK % 2) // 2)
        self.assertEqual(sub.rank, (sub.size - 1) - RANK // 2)
        again = qd.Comm.from_fortran_handle(sub.fortran_handle)
        self.assertEqual((again.size, again.rank), (sub.size, sub.rank))

    def test_refusals_are_the_same_everywhere_and_touch_nothing(self):
        grid = qd.Grid()
        rng = random.Random(7)

        def make(rows, cols, dtype="float64", block=2, on=grid):
            return dist(on, draw(rng, rows, cols, dtype), dtype, block)
        A, X, Y, S = make(4, 3), make(3, 2), make(4, 2), make(3, 3)
        x4, y3, x3 = make(4, 1), make(3, 1), make(3, 2)
        nan, inf = make(4, 3), make(4, 1)
        nan_values = everywhere(nan)
        nan_values[3][2] = float("nan")
        nan = dist(grid, nan_values, "float64", 2)
        inf_values = everywhere(inf)
        inf_values[3][0] = float("-inf")
        inf = dist(grid, inf_values, "float64", 2)
        other = make(4, 2, on=qd.Grid())
        table = [
            (lambda: qd.gemm(1, 0, A, X, make(5, 2)), RuntimeError,
             "In gemm expression Y = aAX + bY, matrix A dimension 0: 4, doesn't match matrix Y dimension 0: 5"),
            (lambda: qd.gemm(1, 0, A, X, make(4, 2, block=3)), RuntimeError,
             "In gemm, A's row block (2) and Y's row block (3) differ: redistribute Y with block=(2, 3)"),
            (lambda: qd.gemm(1, 0, A, make(3, 2, block=(3, 2)), Y), RuntimeError,
             "In gemm, A's column block (2) and X's row block (3) differ: redistribute X with block=(2, 2)"),
            (lambda: qd.gemm(1, 0, A, make(3, 2, "complex128"), Y), RuntimeError,
             "In gemm, X holds complex128 elements and A float64: every operand needs one element type"),
            (lambda: qd.gemm(1j, 0, A, X, Y), TypeError, "In gemm, a is not a number that converts to float64"),
            (lambda: qd.gemm(1, 0, S, S, S), RuntimeError, "In gemm, Y overlaps A"),
            (lambda: qd.matmul(A, X, other), RuntimeError,
             "In gemm, Y is on another grid than A: redistribute Y onto A's grid"),
            (lambda: qd.gemv(1, 0, A, make(2, 1), x4), RuntimeError,
             "In gemv expression y = aAx + by, matrix A dimension 1: 3, doesn't match vector x dimension 0: 2"),
            (lambda: qd.axpy(1.0, x3, y3), RuntimeError,
             "In axpy, x has 2 columns: vectors are one-column DistMatrix objects"),
            (lambda: qd.copy(x4, y3), RuntimeError, "In copy, y holds 3 elements, fewer than the 4 elements of x"),
            (lambda: qd.sum(x4, make(4, 1, block=3)), RuntimeError,
             "In axpy, x's row block (2) and y's row block (3) differ: redistribute y with block=(2, 3)"),
            (lambda: qd.hdot(x4, x4), RuntimeError, "In hdot, x holds float64 elements: hdot takes complex vectors"),
            (lambda: qd.ls(A, y3), RuntimeError, "In ls, B has 3 rows, fewer than the 4 that a 4 x 3 system needs"),
            (lambda: qd.ls(make(3, 4, block=(2, 3)), make(4, 1)), RuntimeError,
             "In ls, B's row block (2) and A's column block (3) differ: redistribute A with block=(2, 2)"),
            (lambda: qd.ls(nan, inf), RuntimeError, "In ls, matrix A contains NaN"),
            (lambda: qd.ls(A, inf), RuntimeError, "In ls, b contains an infinity"),
            (lambda: qd.DistMatrix.scatter(grid, queltcore.vecd(3) if RANK == 0 else None), RuntimeError,
             "In scatter, the root (rank 0) must pass a core matrix (mats, matd, matc or matz)"),
            (lambda: A.gather(SIZE), RuntimeError,
             "In gather, root %d is not a rank of the %d processes" % (SIZE, SIZE)),
            (lambda: qd.DistMatrix(grid, (2, 2), "int8"), ValueError,
             "dtype int8 is not one of float32, float64, complex64, complex128"),
            (lambda: qd.DistMatrix(grid, (2, 2), block=0), ValueError, "block 0 must be between 1 and 2147483647"),
            (lambda: qd.Grid(shape=(SIZE + 1, 1)), RuntimeError,
             "a grid of %d x 1 processes does not fit a communicator of %d: rows times columns must equal its size"
             % (SIZE + 1, SIZE)),
        ]
        if SIZE > 1:
            disagree = ("the ranks disagree about the call: the operands' shapes, blocks, element types or grids, "
                        "or the scalars, differ between ranks")
            table += [
                (lambda: qd.gemm(1, 0, A, X, Y if RANK else make(4, 2, block=(2, 3))), RuntimeError,
                 "In gemm, " + disagree),
                (lambda: qd.scale(float(RANK), x4), RuntimeError, "In scale, " + disagree),
                (lambda: A.gather(RANK), RuntimeError, "In gather, " + disagree),
            ]
        operands = (A, X, Y, S, x4, y3, x3, nan, inf)
        before = [raw(m) for m in operands]
        for call, kind, message in table:
            with self.assertRaises(kind) as caught:
                call()
            self.assertEqual(str(caught.exception), message)
        self.assertEqual([raw(m) for m in operands], before)
        # A zero column: the factor has a zero on its diagonal, found after the engine ran.
        zero = everywhere(A)
        for row in zero:
            row[0] = 0.0
        with self.assertRaises(RuntimeError) as caught:
            qd.ls(dist(grid, zero, "float64", 2), make(4, 1))
        self.assertEqual(str(caught.exception), "In ls, matrix A does not have full rank; b holds no solution")

    def test_calls_from_another_thread_are_refused(self):
        caught = []

        def call():
            try:
                comm.barrier()
            except RuntimeError as error:
                caught.append(str(error))
        worker = threading.Thread(target=call)
        worker.start()
        worker.join()
        self.assertEqual(caught, ["quelt.distributed is called from a thread that did not start MPI: only the "
                                  "thread that called world() first may make its calls"])
        comm.barrier()

    def test_calls_let_other_threads_run(self):
        """With a switch interval of a minute, a waiting thread gets the interpreter lock only when
        the running one lets it go: it runs within the call only if the call releases the lock."""
        grid = qd.Grid()
        A, X, Y = (qd.DistMatrix(grid, (300, 300)) for _ in range(3))
        go, ran = threading.Lock(), []
        go.acquire()
        worker = threading.Thread(target=lambda: (go.acquire(), ran.append(1)))
        worker.start()
        interval = sys.getswitchinterval()
        sys.setswitchinterval(60)
        try:
            go.release()
            # Several calls, as many on every rank: on a loaded machine the worker may wake only
            # after the first.
            for _ in range(20):
                qd.gemm(1.0, 0.0, A, X, Y)
            during = list(ran)
        finally:
            sys.setswitchinterval(interval)
        worker.join()
        self.assertEqual(during, [1])


if __name__ == "__main__":
    unittest.main(failfast=True, verbosity=2 if RANK == 0 else 0)
