"""The products and least squares of queltcore against plain-loop references, and their refusals."""
import random
import subprocess
import sys
import unittest

import queltcore as q
from test_operations import KINDS, LETTERS, Checks, Operand, class_of, is_complex, random_value, stored

BIG = 2 ** 31
LIMIT_TAIL = ", size 2147483648 exceeds the BLAS limit of 2147483647"
GEMV = "In gemv expression y = aAx + by, "
GEMM = "In gemm expression Y = aAX + bY, matrix "


def matrix(letter, rows):
    m = class_of("mat", letter)(len(rows), len(rows[0]))
    for i, row in enumerate(rows):
        for j, value in enumerate(row):
            m[i, j] = value
    return m


def vector(letter, values, kind="vec"):
    """A vector, or a view two elements into a longer vector, holding `values`."""
    if kind == "view":
        parent = class_of("vec", letter)(len(values) + 4)
        v = parent[2:2 + len(values)]
    else:
        v = class_of("vec", letter)(len(values))
    for i, value in enumerate(values):
        v[i] = value
    return v


def inner(u, v):
    """The sum of conj(u[i]) v[i]; conjugating a Python float leaves it as it is."""
    return sum(p.conjugate() * w for p, w in zip(u, v))


MATRICES = tuple(class_of("mat", letter) for letter in LETTERS)


def elements(c):
    """The elements of c in storage order: column-major for a matrix."""
    if isinstance(c, MATRICES):
        return [c[i % c.dim(0), i // c.dim(0)] for i in range(c.numel())]
    return [c[i] for i in range(c.numel())]


class MatrixVector(Checks):
    def test_every_kind_combination(self):
        rng = random.Random(11)
        for letter in LETTERS:
            for ka in KINDS:
                for kx in KINDS:
                    for ky in KINDS:
                        with self.subTest(letter=letter, A=ka, x=kx, y=ky):
                            # A matrix x or y has a second column that must not take part.
                            A = Operand(ka, letter, 12, (3, 4))
                            x = Operand(kx, letter, 4, (4, 2))
                            y = Operand(ky, letter, 3, (3, 2))
                            sA, sx = A.fill(rng), x.fill(rng)
                            a, b = random_value(letter, rng), random_value(letter, rng)
                            if ka != "mat":
                                sy = y.fill(rng)
                                message = GEMV + "A must be a matrix, not a vector"
                                for call in (lambda: q.gemv(a, b, A.obj, x.obj, y.obj),
                                             lambda: q.matvec(A.obj, x.obj, y.obj)):
                                    with self.assertRaises(RuntimeError) as refused:
                                        call()
                                    self.assertEqual(str(refused.exception), message)
                                self.assertEqual((A.storage(), x.storage(), y.storage()), (sA, sx, sy))
                                continue
                            for accumulate in (False, True):
                                sy = y.fill(rng)
                                wa, wb = (1, 1) if accumulate else (stored(letter, a), stored(letter, b))
                                expected = list(sy)
                                for i in range(3):
                                    product = sum(sA[i + 3 * j] * sx[x.start + j] for j in range(4))
                                    expected[y.start + i] = wa * product + wb * sy[y.start + i]
                                if accumulate:
                                    self.assertIs(q.matvec(A.obj, x.obj, y.obj), y.obj)
                                else:
                                    self.assertIs(q.gemv(a, b, A.obj, x.obj, y.obj), y.obj)
                                self.assertClose(y.storage(), expected, letter)
                                self.assertEqual((A.storage(), x.storage()), (sA, sx))

    def test_worked_examples(self):
        for letter in LETTERS:
            with self.subTest(letter=letter):
                A = matrix(letter, [[1, 2], [3, 4]])
                x = vector(letter, [1, 1])
                y = vector(letter, [10, 20], "view")
                q.matvec(A, x, y)
                self.assertEqual(elements(y), [13, 27])
                y = vector(letter, [0, 0])
                q.matvec(A, x, y)
                self.assertEqual(elements(y), [3, 7])
                y = vector(letter, [-5.5, 1e6])
                q.gemv(2, 0, A, x, y)
                self.assertEqual(elements(y), [6, 14])
                q.gemv(0, 1, A, x, y)
                self.assertEqual(elements(y), [6, 14])
                if is_complex(letter):
                    q.gemv(2j, 1.0, A, x, y)
                    self.assertEqual(elements(y), [6 + 6j, 14 + 14j])

    def test_shape_mismatch_is_refused_untouched(self):
        for letter in LETTERS:
            with self.subTest(letter=letter):
                A = class_of("mat", letter)(2, 3)
                y = vector(letter, [1, 2, 3, 4, 5])
                with self.assertRaises(RuntimeError) as refused:
                    q.gemv(1, 0, A, class_of("vec", letter)(4), y)
                self.assertEqual(str(refused.exception),
                                 GEMV + "matrix A dimension 1: 3, doesn't match vector x dimension 0: 4")
                with self.assertRaises(RuntimeError) as refused:
                    q.matvec(A, class_of("mat", letter)(3, 2), y)
                self.assertEqual(str(refused.exception),
                                 GEMV + "matrix A dimension 0: 2, doesn't match vector y dimension 0: 5")
                self.assertEqual(elements(y), [1, 2, 3, 4, 5])


class MatrixMatrix(Checks):
    def test_product_matches_reference(self):
        rng = random.Random(12)
        for letter in LETTERS:
            with self.subTest(letter=letter):
                A, X, Y = Operand("mat", letter, 6, (2, 3)), Operand("mat", letter, 12, (3, 4)), \
                    Operand("mat", letter, 8, (2, 4))
                sA, sX = A.fill(rng), X.fill(rng)
                a, b = random_value(letter, rng), random_value(letter, rng)
                for accumulate in (False, True):
                    sY = Y.fill(rng)
                    wa, wb = (1, 1) if accumulate else (stored(letter, a), stored(letter, b))
                    expected = [wa * sum(sA[i + 2 * k] * sX[k + 3 * j] for k in range(3)) + wb * sY[i + 2 * j]
                                for j in range(4) for i in range(2)]
                    if accumulate:
                        self.assertIs(q.matmul(A.obj, X.obj, Y.obj), Y.obj)
                    else:
                        self.assertIs(q.gemm(a, b, A.obj, X.obj, Y.obj), Y.obj)
                    self.assertClose(Y.storage(), expected, letter)
                    self.assertEqual((A.storage(), X.storage()), (sA, sX))

    def test_worked_examples(self):
        for letter in LETTERS:
            with self.subTest(letter=letter):
                A = matrix(letter, [[1, 2], [3, 4]])
                identity = matrix(letter, [[1, 0], [0, 1]])
                Y = class_of("mat", letter)(2, 2)
                q.matmul(A, identity, Y)
                self.assertEqual(elements(Y), [1, 3, 2, 4])
                q.matmul(A, identity, Y)
                self.assertEqual(elements(Y), [2, 6, 4, 8])
                q.gemm(1, 0, A, identity, Y)
                self.assertEqual(elements(Y), [1, 3, 2, 4])

    def test_shape_mismatch_reports_first_disagreement_untouched(self):
        cases = [((2, 3), (3, 4), (3, 4), "A dimension 0: 2, doesn't match matrix Y dimension 0: 3"),
                 ((2, 3), (3, 4), (2, 5), "X dimension 1: 4, doesn't match matrix Y dimension 1: 5"),
                 ((2, 3), (4, 5), (2, 5), "A dimension 1: 3, doesn't match matrix X dimension 0: 4"),
                 ((2, 3), (4, 5), (3, 6), "A dimension 0: 2, doesn't match matrix Y dimension 0: 3")]
        for letter in LETTERS:
            mat = class_of("mat", letter)
            for a, x, y, message in cases:
                with self.subTest(letter=letter, shapes=(a, x, y)):
                    Y = mat(*y)
                    Y[0, 0] = 5
                    for call in (lambda: q.gemm(1, 0, mat(*a), mat(*x), Y), lambda: q.matmul(mat(*a), mat(*x), Y)):
                        with self.assertRaises(RuntimeError) as refused:
                            call()
                        self.assertEqual(str(refused.exception), GEMM + message)
                    self.assertEqual(elements(Y), [5] + [0] * (Y.numel() - 1))

    def test_vector_arguments_match_no_overload(self):
        for args in ((q.vecs(1), q.mats(1, 1), q.mats(1, 1)), (q.mats(1, 1), q.mats(1, 1), q.vecs(1)[0:1])):
            with self.assertRaises(TypeError):
                q.matmul(*args)
            with self.assertRaises(TypeError):
                q.gemm(1.0, 1.0, *args)


class EmptyAndHugeDimensions(Checks):
    def test_matrix_without_columns_scales_y_by_b(self):
        # a A x is an empty sum: y := b y, as gemm does with no inner dimension; b = 0 clears y,
        # and matvec (b = 1) leaves it. Only y's first 3 elements take part.
        rng = random.Random(3)
        for letter in LETTERS:
            for kind in KINDS:
                for b in (0, 2, -0.5, 1, 1 - 2j):
                    if b == 1 - 2j and not is_complex(letter):
                        continue
                    with self.subTest(letter=letter, y=kind, b=b):
                        y = Operand(kind, letter, 3, (3, 2))
                        before = y.fill(rng)
                        expected = [stored(letter, b) * v if y.start <= i < y.start + 3 else v
                                    for i, v in enumerate(before)]
                        call = (lambda: q.matvec(class_of("mat", letter)(3, 0), class_of("vec", letter)(0), y.obj)) \
                            if b == 1 else (lambda: q.gemv(2, b, class_of("mat", letter)(3, 0),
                                                           class_of("vec", letter)(0), y.obj))
                        self.assertIs(call(), y.obj)
                        self.assertClose(y.storage(), expected, letter)

    def test_empty_dimensions_do_what_blas_defines(self):
        for letter in LETTERS:
            with self.subTest(letter=letter):
                vec, mat = class_of("vec", letter), class_of("mat", letter)
                # K = 0: Y := b Y.
                Y = matrix(letter, [[1, 2], [3, 4]])
                q.gemm(1, 2, mat(2, 0), mat(0, 2), Y)
                self.assertEqual(elements(Y), [2, 6, 4, 8])
                empty, no_rows = vec(0)[0:0], mat(0, 3)
                self.assertIs(q.gemv(1, 0, mat(0, 3), vec(3), empty), empty)
                self.assertIs(q.matmul(mat(0, 2), mat(2, 3), no_rows), no_rows)

    def test_empty_dimensions_print_nothing(self):
        # BLAS reports refused arguments on the process's standard output, below Python's.
        script = "\n".join([
            "import queltcore as q",
            "for l in 'sdcz':",
            "    vec, mat = getattr(q, 'vec' + l), getattr(q, 'mat' + l)",
            "    q.gemv(1, 0, mat(0, 3), vec(3), vec(0))",
            "    q.gemv(1, 0, mat(3, 0), vec(0), vec(3))",
            "    q.matvec(mat(0, 0), vec(0), mat(0, 2))",
            "    for m, k, n in ((0, 2, 3), (2, 0, 3), (2, 3, 0), (0, 0, 0)):",
            "        q.gemm(1, 0, mat(m, k), mat(k, n), mat(m, n))",
            "    q.ls(mat(0, 2), vec(2))",
            "    q.ls(mat(2, 0), vec(2))",
        ])
        run = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))

    def test_counts_past_the_blas_limit_are_refused(self):
        # A dimension past the limit with the other one empty holds no elements.
        for letter in LETTERS:
            with self.subTest(letter=letter):
                vec, mat = class_of("vec", letter), class_of("mat", letter)
                calls = [lambda: q.gemm(1, 0, mat(BIG, 0), mat(0, 0), mat(BIG, 0)),
                         lambda: q.matmul(mat(0, 0), mat(0, BIG), mat(0, BIG)),
                         lambda: q.matmul(mat(0, BIG), mat(BIG, 0), mat(0, 0))]
                for call in calls:
                    with self.assertRaises(RuntimeError) as refused:
                        call()
                    self.assertEqual(str(refused.exception), "In gemm" + LIMIT_TAIL)
                # A matrix y of 2**31 rows and no columns holds no storage for them: that is
                # refused first (the limit check itself is reached from C++ only).
                for call in (lambda: q.gemv(1, 0, mat(BIG, 0), vec(0), mat(BIG, 0)),
                             lambda: q.matvec(mat(BIG, 0), vec(0), mat(BIG, 0))):
                    with self.assertRaises(RuntimeError) as refused:
                        call()
                    self.assertEqual(str(refused.exception),
                                     "In gemv, y holds 0 elements, fewer than the %d rows of A" % BIG)

    def test_matrices_without_columns_cannot_stand_as_x_or_y(self):
        # Their rows pass the shape check, but they hold no elements for BLAS to read or write.
        for letter in LETTERS:
            with self.subTest(letter=letter):
                vec, mat = class_of("vec", letter), class_of("mat", letter)
                A = matrix(letter, [[1, 2], [3, 4], [5, 6]])
                y = vector(letter, [7, 8, 9])
                for call in (lambda: q.gemv(1, 1, A, mat(2, 0), y), lambda: q.matvec(A, mat(2, 0), y)):
                    with self.assertRaises(RuntimeError) as refused:
                        call()
                    self.assertEqual(str(refused.exception), "In gemv, x holds 0 elements, fewer than the 2 columns of A")
                self.assertEqual(elements(y), [7, 8, 9])
                for call in (lambda: q.gemv(1, 1, A, vec(2), mat(3, 0)), lambda: q.matvec(A, vec(2), mat(3, 0))):
                    with self.assertRaises(RuntimeError) as refused:
                        call()
                    self.assertEqual(str(refused.exception), "In gemv, y holds 0 elements, fewer than the 3 rows of A")
                self.assertEqual(elements(A), [1, 3, 5, 2, 4, 6])


class LeastSquares(Checks):
    def test_worked_examples(self):
        for letter in LETTERS:
            with self.subTest(letter=letter):
                A = matrix(letter, [[2, 0], [0, 4]])
                b = vector(letter, [2, 8])
                self.assertIsNone(q.ls(A, b))
                self.assertClose(elements(b), [1, 2], letter)

                # A is consumed: it holds R, whose first diagonal element is the norm of A's first
                # column up to sign.
                A = matrix(letter, [[3, 1], [4, 2]])
                q.ls(A, vector(letter, [1, 1]))
                self.assertClose(abs(A[0, 0]), 5, letter)

                b = vector(letter, [2, 0], "view")
                q.ls(matrix(letter, [[1, 1]]), b)
                self.assertClose(elements(b), [1, 1], letter)

    def test_random_systems_match_normal_equations(self):
        rng = random.Random(13)
        for letter in LETTERS:
            for kind in KINDS:
                with self.subTest(letter=letter, b=kind):
                    # 3 x 2, full rank; b sits in a longer container whose other elements stay.
                    A = Operand("mat", letter, 6, (3, 2))
                    B = Operand(kind, letter, 4, (2, 2))
                    sA, sB = A.fill(rng), B.fill(rng)
                    rhs = sB[B.start:B.start + 3]
                    column = [[sA[i + 3 * j] for i in range(3)] for j in range(2)]
                    # Normal equations (A^H A) x = A^H b, solved by Cramer's rule.
                    g = [[inner(column[i], column[j]) for j in range(2)] for i in range(2)]
                    h = [inner(column[i], rhs) for i in range(2)]
                    det = g[0][0] * g[1][1] - g[0][1] * g[1][0]
                    solution = [(h[0] * g[1][1] - g[0][1] * h[1]) / det, (g[0][0] * h[1] - h[0] * g[1][0]) / det]
                    q.ls(A.obj, B.obj)
                    after = B.storage()
                    tolerance = 1e-3 if letter in "sc" else 1e-9
                    for got, want in zip(after[B.start:B.start + 2], solution):
                        self.assertLessEqual(abs(got - want), tolerance * (1 + abs(want)))
                    self.assertEqual(after[:B.start] + after[B.start + 3:], sB[:B.start] + sB[B.start + 3:])

    def test_statuses(self):
        nan, inf = float("nan"), float("inf")
        # NaN and infinities are refused alike, A before b, NaN before an infinity in one operand.
        cases = [([[1, 0], [2, 0], [0, 0]], [1, 1, 1], "matrix A does not have full rank; b holds no solution"),
                 ([[1, 0], [0, nan]], [1, 1], "matrix A contains NaN"),
                 ([[1, 0], [0, 1]], [1, nan], "b contains NaN"),
                 ([[1, 0], [0, inf]], [1, 1], "matrix A contains an infinity"),
                 ([[-inf, 0], [0, 1], [1, 1]], [1, 1, 1], "matrix A contains an infinity"),
                 ([[1, 0], [0, 1]], [inf, 1], "b contains an infinity"),
                 ([[1, 2, 3]], [1, 0, -inf], "b contains an infinity"),
                 ([[inf, 0], [0, nan]], [1, 1], "matrix A contains NaN"),
                 ([[1, 0], [0, inf]], [1, nan], "matrix A contains an infinity"),
                 ([[1, 0], [0, 1]], [nan, inf], "b contains NaN"),
                 ([[1, 0], [0, complex(0, inf)]], [1, 1], "matrix A contains an infinity"),
                 ([[1, 0], [0, 1]], [1, complex(1, -inf)], "b contains an infinity"),
                 ([[1, 0, 0], [0, 1, 0]], [1, 1], "b holds 2 elements, fewer than the 3 that a 2 x 3 system needs")]
        for letter in LETTERS:
            with self.subTest(letter=letter):
                # An all-zero A is no error: the solution is zero.
                b = vector(letter, [3, 4])
                q.ls(class_of("mat", letter)(2, 2), b)
                self.assertEqual(elements(b), [0, 0])

                for rows, values, message in cases:
                    if any(isinstance(v, complex) for v in sum(rows, values)) and not is_complex(letter):
                        continue
                    A, b = matrix(letter, rows), vector(letter, values)
                    # The rendering compares NaNs too.
                    before = repr(A), repr(b)
                    with self.assertRaises(RuntimeError) as refused:
                        q.ls(A, b)
                    self.assertEqual(str(refused.exception), "In ls, " + message)
                    # A rank-deficient A has been factored; every other refusal touched nothing.
                    if "rank" not in message:
                        self.assertEqual((repr(A), repr(b)), before)

if __name__ == "__main__":
    unittest.main()
