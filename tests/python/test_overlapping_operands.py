"""Operands that share storage: refused before anything is written when a written operand
shares elements with another one, computed as usual when they only read shared elements, are
the very same elements of an element-wise operation, or merely live in one storage."""
import random
import sys
import unittest

import queltcore as q
from test_operations import LETTERS, Checks, class_of, random_value, stored

N = 8


# (label, call on v (a vector of N), A and B (3 x 3 matrices) and alpha, outcome). The outcome
# is the refusal's message, or a function from the values of v and A (A column-major) to what v
# then holds and what the call returns (None where it returns its destination).
CASES = [
    ("copy, shifted", lambda v, A, B, a: q.copy(v[0:5], v[1:6]), "In copy, y overlaps x"),
    ("copy, into its own vector", lambda v, A, B, a: q.copy(v[0:2], v), "In copy, y overlaps x"),
    ("swap", lambda v, A, B, a: q.swap(v[2:6], v[0:4]), "In swap, y overlaps x"),
    ("axpy", lambda v, A, B, a: q.axpy(a, v[0:4], v[3:7]), "In axpy, y overlaps x"),
    ("sum", lambda v, A, B, a: q.sum(v[1:5], v[0:4]), "In axpy, y overlaps x"),
    ("gemv, views", lambda v, A, B, a: q.gemv(1, 0, A, v[0:3], v[2:5]), "In gemv, y overlaps x"),
    ("gemv, x is y", lambda v, A, B, a: (lambda x: q.gemv(1, 0, A, x, x))(v[0:3]),
     "In gemv, y overlaps x"),
    ("matvec", lambda v, A, B, a: q.matvec(A, v[0:3], v[2:5]), "In gemv, y overlaps x"),
    ("gemv, y is A", lambda v, A, B, a: q.gemv(1, 0, A, A, A), "In gemv, y overlaps A"),
    ("gemm, all B", lambda v, A, B, a: q.gemm(1, 0, B, B, B), "In gemm, Y overlaps A"),
    ("gemm, Y is X", lambda v, A, B, a: q.gemm(1, 0, A, B, B), "In gemm, Y overlaps X"),
    ("matmul", lambda v, A, B, a: q.matmul(A, B, A), "In gemm, Y overlaps A"),
    ("ls", lambda v, A, B, a: q.ls(B, B), "In ls, b overlaps A"),

    ("copy, one window twice", lambda v, A, B, a: q.copy(v[1:4], v[1:4]), lambda s, M, a: (s, None)),
    ("swap, one object twice", lambda v, A, B, a: q.swap(v, v), lambda s, M, a: (s, None)),
    ("axpy, one window twice", lambda v, A, B, a: q.axpy(a, v[1:4], v[1:4]),
     lambda s, M, a: (s[:1] + [(1 + a) * u for u in s[1:4]] + s[4:], None)),
    ("axpy, one object twice", lambda v, A, B, a: q.axpy(a, v, v), lambda s, M, a: ([(1 + a) * u for u in s], None)),
    ("sum, one object twice", lambda v, A, B, a: q.sum(v, v), lambda s, M, a: ([2 * u for u in s], None)),
    ("copy, disjoint views", lambda v, A, B, a: q.copy(v[0:3], v[3:6]),
     lambda s, M, a: (s[:3] + s[:3] + s[6:], None)),
    ("copy, empty x inside y", lambda v, A, B, a: q.copy(v[2:2], v), lambda s, M, a: (s, None)),
    ("dot, one object twice", lambda v, A, B, a: q.dot(v, v), lambda s, M, a: (s, sum(u * u for u in s))),
    ("gemv, disjoint views", lambda v, A, B, a: q.gemv(1, 0, A, v[0:3], v[3:6]),
     lambda s, M, a: (s[:3] + [sum(M[i + 3 * j] * s[j] for j in range(3)) for i in range(3)] + s[6:], None)),
    ("gemv, A read twice", lambda v, A, B, a: q.gemv(a, 2, A, A, v[5:8]),
     lambda s, M, a: (s[:5] + [a * sum(M[i + 3 * j] * M[j] for j in range(3)) + 2 * s[5 + i] for i in range(3)],
                      None)),
]


def values(c):
    if c.__class__.__name__.startswith("mat"):
        return [c[i % c.dim(0), i // c.dim(0)] for i in range(c.numel())]
    return [c[i] for i in range(c.numel())]


class OverlappingOperands(Checks):
    def test_shared_elements_by_written_operand(self):
        rng = random.Random(5)
        for letter in LETTERS:
            for label, call, outcome in CASES:
                with self.subTest(letter=letter, case=label):
                    v, A, B = class_of("vec", letter)(N), class_of("mat", letter)(3, 3), class_of("mat", letter)(3, 3)
                    for i in range(N):
                        v[i] = random_value(letter, rng)
                    for i in range(9):
                        A[i % 3, i // 3], B[i % 3, i // 3] = random_value(letter, rng), random_value(letter, rng)
                    alpha = random_value(letter, rng)
                    before = [values(c) for c in (v, A, B)]
                    counts = [sys.getrefcount(c) for c in (v, A, B)]
                    if isinstance(outcome, str):
                        with self.assertRaises(RuntimeError) as refusal:
                            call(v, A, B, alpha)
                        self.assertEqual(str(refusal.exception), outcome)
                        self.assertEqual([values(c) for c in (v, A, B)], before)
                    else:
                        result = call(v, A, B, alpha)
                        expected, value = outcome(before[0], before[1], stored(letter, alpha))
                        self.assertClose(values(v), expected, letter)
                        self.assertEqual([values(A), values(B)], before[1:])
                        if value is not None:
                            self.assertClose(result, value, letter)
                        result = None
                    self.assertEqual([sys.getrefcount(c) for c in (v, A, B)], counts)


if __name__ == "__main__":
    unittest.main()
