"""Thousands of random calls into queltcore, each checked against a pure-Python model.

The model keeps, for every block of element storage the test has made, a plain list of the
values it must hold, and for every container object the window it sees of that storage. Each
step draws something to do: make a vector, a matrix or a view (of a vector or of a view, at an
offset, from any slice), drop objects (vectors whose views live on included), read or write
elements, or call one of the module's operations with operands of random kinds and shapes,
matching or not, too short, empty, aliased or passed twice, not initialised, or of the wrong
element type. The model says what the call must do: the value it returns, every element it
must change (within rounding) and every element it must leave alone, or the exception and the
exact message of a refusal, which must leave every operand as it was. A written operand that
shares elements with another operand is refused, except one window passed twice to an
element-wise operation.

The shuffled deck of overloads guarantees that every one of them is called in each pass.

    test_random_calls.py --seed N --count M [--quiet] [--functions quelt]

runs M operation calls from seed N and prints what was covered; under unittest a fixed seed
and count are used, for queltcore's functions and for quelt's (which release the interpreter
lock for large calls and must do everything else as the core's do).
"""
import argparse
import collections
import random
import sys
import time
import unittest

import quelt
import queltcore as q
from support import stored
from test_operations import expected_signatures

SEED = 20240611
COUNT = 20000

LETTERS = "sdcz"
KINDS = ("vec", "view", "mat")
# Unit roundoff of the element precision.
EPS = {"s": 2.0 ** -24, "c": 2.0 ** -24, "d": 2.0 ** -53, "z": 2.0 ** -53}
GEMV = "In gemv expression y = aAx + by, "
GEMM = "In gemm expression Y = aAX + bY, matrix "
LEVEL1 = ("sum", "dot", "copy", "swap", "axpy", "hdot")
# The operations whose refusals name another one.
REPORTED_AS = {"sum": "axpy", "matvec": "gemv", "matmul": "gemm"}
NOT_INITIALISED = "queltcore.%s object is not initialised"
RANK = "In ls, matrix A does not have full rank; b holds no solution"


def all_overloads():
    """(name, letter, kinds) of every registered overload, as the registration loops run."""
    combos = []
    for letter in LETTERS:
        for kx in KINDS:
            combos.append(("scale", letter, (kx,)))
            for ky in KINDS:
                for name in LEVEL1:
                    if name != "hdot" or letter in "cz":
                        combos.append((name, letter, (kx, ky)))
                if kx == "mat":
                    combos.append(("ls", letter, (kx, ky)))
                for kz in KINDS:
                    if kx == ky == kz == "mat":
                        combos += [("gemm", letter, (kx, ky, kz)), ("matmul", letter, (kx, ky, kz))]
                    combos += [("matvec", letter, (kx, ky, kz)), ("gemv", letter, (kx, ky, kz))]
    return combos


SCALARS = {"scale": 1, "axpy": 1, "gemv": 2, "gemm": 2}


class Mismatch(AssertionError):
    pass


class Storage:
    """One block of element storage: the values it must hold, and an object to read it by."""

    def __init__(self, letter, size, rows=None):
        self.values = [stored(letter, 0)] * size
        self.rows = rows
        self.observer = None

    def read(self):
        if self.rows is None:
            return [self.observer[i] for i in range(len(self.values))]
        return [self.observer[i % self.rows, i // self.rows] for i in range(len(self.values))]


class Obj:
    """A container object of the module and what the model knows of it."""
    serial = 0

    def __init__(self, real, kind, letter, storage, offset, numel, shape=None, how=""):
        Obj.serial += 1
        self.real, self.kind, self.letter, self.storage = real, kind, letter, storage
        self.offset, self.numel = offset, numel
        self.rows, self.cols = shape if shape else (None, None)
        self.label = "#%d %s%s%s" % (Obj.serial, kind, letter, how)

    @property
    def dim0(self):
        return self.rows if self.kind == "mat" else self.numel

    def window(self):
        return self.storage.values[self.offset:self.offset + self.numel]

    def __repr__(self):
        return self.label


class Outcome:
    """What a call must do. `writes` maps (storage, index) to (value, tolerance), or to None
    where the value is not defined (what LAPACK leaves in A and past the solution): those are
    only read back."""

    def __init__(self, result=None, kind="none", tolerance=0.0):
        self.error = None
        self.result, self.result_kind, self.result_tolerance = result, kind, tolerance
        self.writes = {}

    @classmethod
    def refusal(cls, error_type, message):
        outcome = cls()
        outcome.error = (error_type, message)
        return outcome


def overlaps(a, b):
    """Whether the windows of a and b share an element."""
    return (a.storage is b.storage and a.numel > 0 and b.numel > 0
            and a.offset < b.offset + b.numel and b.offset < a.offset + a.numel)


def same_window(a, b):
    return a.storage is b.storage and a.offset == b.offset and a.numel == b.numel


def overlap_refusal(name, written, other):
    return Outcome.refusal(RuntimeError, "In %s, %s overlaps %s" % (REPORTED_AS.get(name, name), written, other))


def tolerance(letter, terms, magnitude):
    return 8 * EPS[letter] * (terms + 2) * magnitude


def solve(matrix, rhs):
    """Gaussian elimination with partial pivoting, in Python's double precision."""
    n = len(matrix)
    rows = [list(matrix[i]) + [rhs[i]] for i in range(n)]
    for c in range(n):
        p = max(range(c, n), key=lambda r: abs(rows[r][c]))
        rows[c], rows[p] = rows[p], rows[c]
        for r in range(c + 1, n):
            f = rows[r][c] / rows[c][c]
            for k in range(c, n + 1):
                rows[r][k] -= f * rows[c][k]
    x = [0] * n
    for r in reversed(range(n)):
        x[r] = (rows[r][n] - sum(rows[r][k] * x[k] for k in range(r + 1, n))) / rows[r][r]
    return x


def conj(v):
    return v.conjugate()


# The model of each operation: from the operands' model state, the outcome.

def level1(name, letter, alpha, x, y):
    n = x.numel
    if y.numel < n:
        return Outcome.refusal(RuntimeError, "In %s, y holds %d elements, fewer than the %d elements of x"
                               % (REPORTED_AS.get(name, name), y.numel, n))
    xs, ys = x.window(), y.window()
    if name in ("dot", "hdot"):
        terms = [(conj(u) if name == "hdot" else u) * v for u, v in zip(xs, ys[:n])]
        zero = stored(letter, 0)
        return Outcome(sum(terms, zero), "number",
                       tolerance(letter, n, sum(abs(t) for t in terms)))
    if overlaps(x, y) and not same_window(x, y):
        return overlap_refusal(name, "y", "x")
    outcome = Outcome(y, "object")
    # One window passed twice: each element is read and written in place.
    for i in range(n):
        target = (y.storage, y.offset + i)
        if name == "copy":
            outcome.writes[target] = (xs[i], 0.0)
        elif name == "swap":
            outcome.writes[target] = (xs[i], 0.0)
            outcome.writes[(x.storage, x.offset + i)] = (ys[i], 0.0)
        else:
            a = stored(letter, 1 if name == "sum" else alpha)
            outcome.writes[target] = (ys[i] + a * xs[i], tolerance(letter, 1, abs(ys[i]) + abs(a * xs[i])))
    if name == "swap":
        outcome.result, outcome.result_kind = None, "none"
    return outcome


def scale(letter, alpha, x):
    a = stored(letter, alpha)
    outcome = Outcome(x, "object")
    for i, v in enumerate(x.window()):
        outcome.writes[(x.storage, x.offset + i)] = (a * v, tolerance(letter, 1, abs(a * v)))
    return outcome


def gemv(letter, a, b, A, x, y):
    if A.kind != "mat":
        return Outcome.refusal(RuntimeError, GEMV + "A must be a matrix, not a vector")
    m, n = A.rows, A.cols
    if x.dim0 != n:
        return Outcome.refusal(RuntimeError, GEMV + "matrix A dimension 1: %d, doesn't match vector x dimension 0: %d"
                               % (n, x.dim0))
    if y.dim0 != m:
        return Outcome.refusal(RuntimeError, GEMV + "matrix A dimension 0: %d, doesn't match vector y dimension 0: %d"
                               % (m, y.dim0))
    if x.numel < n:
        return Outcome.refusal(RuntimeError, "In gemv, x holds %d elements, fewer than the %d columns of A"
                               % (x.numel, n))
    if y.numel < m:
        return Outcome.refusal(RuntimeError, "In gemv, y holds %d elements, fewer than the %d rows of A"
                               % (y.numel, m))
    if overlaps(y, A):
        return overlap_refusal("gemv", "y", "A")
    if overlaps(y, x):
        return overlap_refusal("gemv", "y", "x")
    outcome = Outcome(y, "object")
    a, b = stored(letter, a), stored(letter, b)
    av, xv, yv = A.window(), x.window(), y.window()
    # No columns: a A x is zero and y := b y.
    for i in range(m):
        terms = [av[i + j * m] * xv[j] for j in range(n)]
        magnitude = abs(a) * sum(abs(t) for t in terms) + abs(b * yv[i])
        outcome.writes[(y.storage, y.offset + i)] = (a * sum(terms) + b * yv[i], tolerance(letter, n, magnitude))
    return outcome


def gemm(letter, a, b, A, X, Y):
    if A.rows != Y.rows:
        return Outcome.refusal(RuntimeError, GEMM + "A dimension 0: %d, doesn't match matrix Y dimension 0: %d"
                               % (A.rows, Y.rows))
    if X.cols != Y.cols:
        return Outcome.refusal(RuntimeError, GEMM + "X dimension 1: %d, doesn't match matrix Y dimension 1: %d"
                               % (X.cols, Y.cols))
    if A.cols != X.rows:
        return Outcome.refusal(RuntimeError, GEMM + "A dimension 1: %d, doesn't match matrix X dimension 0: %d"
                               % (A.cols, X.rows))
    if overlaps(Y, A):
        return overlap_refusal("gemm", "Y", "A")
    if overlaps(Y, X):
        return overlap_refusal("gemm", "Y", "X")
    m, n, k = A.rows, X.cols, A.cols
    outcome = Outcome(Y, "object")
    a, b = stored(letter, a), stored(letter, b)
    av, xv, yv = A.window(), X.window(), Y.window()
    for j in range(n):
        for i in range(m):
            target = (Y.storage, i + j * m)
            terms = [av[i + p * m] * xv[p + j * k] for p in range(k)]
            magnitude = abs(a) * sum(abs(t) for t in terms) + abs(b * yv[i + j * m])
            outcome.writes[target] = (a * sum(terms) + b * yv[i + j * m], tolerance(letter, k, magnitude))
    return outcome


def least_squares(letter, A, B):
    m, n = A.rows, A.cols
    need = max(m, n)
    if B.numel < need:
        return Outcome.refusal(RuntimeError, "In ls, b holds %d elements, fewer than the %d that a %d x %d system needs"
                               % (B.numel, need, m, n))
    if overlaps(B, A):
        return overlap_refusal("ls", "b", "A")
    outcome = Outcome(None, "none")
    av, bv = A.window(), B.window()
    zero = stored(letter, 0)
    b_targets = [(B.storage, B.offset + i) for i in range(need)]
    if min(m, n) == 0 or all(v == 0 for v in av):
        # gels clears the right-hand side and leaves A alone.
        for target in b_targets:
            outcome.writes[target] = (zero, 0.0)
        return outcome
    for i in range(m * n):
        outcome.writes[(A.storage, i)] = None  # the factorisation
    column_zero = m >= n and any(all(av[i + j * m] == 0 for i in range(m)) for j in range(n))
    row_zero = m < n and any(all(av[i + j * m] == 0 for j in range(n)) for i in range(m))
    if column_zero or row_zero:
        for target in b_targets:
            outcome.writes[target] = None
        outcome.error = (RuntimeError, RANK)
        return outcome
    element = [[av[i + j * m] for j in range(n)] for i in range(m)]
    rhs = bv[:m]
    if m >= n:
        gram = [[sum(conj(element[p][i]) * element[p][j] for p in range(m)) for j in range(n)] for i in range(n)]
        solution = solve(gram, [sum(conj(element[p][i]) * rhs[p] for p in range(m)) for i in range(n)])
    else:
        gram = [[sum(element[i][p] * conj(element[j][p]) for p in range(n)) for j in range(m)] for i in range(m)]
        w = solve(gram, rhs)
        solution = [sum(conj(element[i][j]) * w[i] for i in range(m)) for j in range(n)]
    # A is made well conditioned before the call (Session.prepare_ls).
    scale_ = 1 + max(abs(v) for v in solution)
    for i, value in enumerate(solution):
        outcome.writes[b_targets[i]] = (value, 256 * EPS[letter] * (m + n) * scale_)
    for target in b_targets[n:]:
        outcome.writes[target] = None  # gels leaves residual information there
    return outcome


class Session:
    """The objects alive, their model, and the steps that act on them."""

    def __init__(self, seed, functions=q):
        self.functions = functions
        self.rng = random.Random(seed)
        self.seed = seed
        Obj.serial = 0  # labels in messages repeat with the seed
        self.pool = []
        self.step_number = 0
        self.calls = 0
        self.operation_calls = 0
        self.outcomes = collections.Counter()
        self.covered = collections.defaultdict(collections.Counter)
        self.deck = []
        self.subclasses = {}
        self.signatures = expected_signatures()
        self.overloads = all_overloads()

    # Values and objects

    def value(self, letter):
        rng = self.rng
        real = float(rng.randint(-3, 3)) if rng.random() < 0.3 else rng.uniform(-2, 2)
        if letter in "cz":
            return complex(real, float(rng.randint(-3, 3)) if rng.random() < 0.3 else rng.uniform(-2, 2))
        return real

    def scalar(self, letter):
        r = self.rng.random()
        if r < 0.15:
            return self.rng.randint(-3, 3)
        if r < 0.25 and letter in "cz":
            return self.rng.uniform(-2, 2)  # a float where a complex is declared
        return self.value(letter)

    def cls(self, kind, letter):
        base = getattr(q, kind + letter)
        # Python subclasses of the vector and matrix classes are accepted wherever their base is.
        if kind != "view" and self.rng.random() < 0.08:
            if base not in self.subclasses:
                self.subclasses[base] = type("Sub" + base.__name__, (base,), {})
            return self.subclasses[base]
        return base

    def fill(self, obj):
        """Writes random values into every element of obj's window, through obj."""
        for i in range(obj.numel):
            value = self.value(obj.letter)
            if obj.kind == "mat":
                obj.real[i % obj.rows, i // obj.rows] = value
            else:
                obj.real[i] = value
            self.calls += 1
            obj.storage.values[obj.offset + i] = stored(obj.letter, value)

    def new_vector(self, letter, n):
        real = self.cls("vec", letter)(n)
        self.calls += 1
        storage = Storage(letter, n)
        # A view of the whole storage keeps it readable after the vector object is gone.
        storage.observer = real[:]
        obj = Obj(real, "vec", letter, storage, 0, n, how="(%d)" % n)
        if self.rng.random() < 0.8:
            self.fill(obj)
        return obj

    def new_matrix(self, letter, rows, cols):
        real = self.cls("mat", letter)(rows, cols)
        self.calls += 1
        storage = Storage(letter, rows * cols, rows)
        storage.observer = real
        obj = Obj(real, "mat", letter, storage, 0, rows * cols, (rows, cols), how="(%d, %d)" % (rows, cols))
        if self.rng.random() < 0.8:
            self.fill(obj)
        return obj

    def take_view(self, parent, key):
        """parent[key] checked against the model; the new view, or None when refused."""
        self.calls += 1
        description = "step %d (seed %d): %r[%r]" % (self.step_number, self.seed, parent, key)
        try:
            start, stop, step = key.indices(parent.numel)
        except ValueError as error:
            self.expect_raise(lambda: parent.real[key], ValueError, str(error), [parent], description)
            return None
        if step != 1:
            self.expect_raise(lambda: parent.real[key], RuntimeError, "stepsizes larger than 1 invalid for vector",
                              [parent], description)
            return None
        real = parent.real[key]
        length = max(0, stop - start)
        # A slice that starts past its end is empty, and placed where it ends.
        offset = parent.offset + (start if start <= stop else stop)
        obj = Obj(real, "view", parent.letter, parent.storage, offset, length,
                  how="[%s:%s] of %s" % (key.start, key.stop, parent.label))
        if type(real) is not getattr(q, "view" + parent.letter) or real.numel() != length:
            raise Mismatch("%s: %r with %d elements, expected %d" % (description, type(real), real.numel(), length))
        got = [real[i] for i in range(length)]
        self.calls += length
        if got != obj.window():
            raise Mismatch("%s reads %r, expected %r" % (description, got, obj.window()))
        return obj

    def random_slice(self, n):
        rng = self.rng

        def bound():
            r = rng.random()
            if r < 0.2:
                return None
            if r < 0.25:
                return rng.choice([10 ** 20, -10 ** 20, 2 ** 63 - 1, -2 ** 63])
            return rng.randint(-n - 3, n + 3)

        r = rng.random()
        step = None if r < 0.85 else rng.choice([1, 1, 2, -1, 0, 10 ** 20])
        return slice(bound(), bound(), step)

    def new_view(self, letter, length=None):
        """A view of `length` elements (any length when None) into a vector or a view."""
        rng = self.rng
        parents = [o for o in self.pool if o.letter == letter and o.kind in ("vec", "view")
                   and (length is None or o.numel >= length)]
        if parents and rng.random() < 0.6:
            parent = rng.choice(parents)
        else:
            parent = self.new_vector(letter, (length or 0) + rng.randint(0, 4))
            if rng.random() < 0.5:
                self.add(parent)
            # Otherwise the vector object goes at once and the view alone holds its storage.
        if length is None:
            for _ in range(4):
                view = self.take_view(parent, self.random_slice(parent.numel))
                if view is not None:
                    return view
            return self.take_view(parent, slice(None))
        start = rng.randint(0, parent.numel - length)
        return self.take_view(parent, slice(start, start + length))

    def add(self, obj):
        if obj is not None and obj not in self.pool:
            self.pool.append(obj)
        return obj

    def pick(self, kind, letter, fits, make):
        """An object of the pool of this kind that fits, or a new one made by `make`."""
        candidates = [o for o in self.pool if o.kind == kind and o.letter == letter and fits(o)]
        if candidates and self.rng.random() < 0.5:
            return self.rng.choice(candidates)
        return self.add(make())

    def vector_like(self, kind, letter, length, columns=None):
        """A container of this kind whose dim(0) is `length`."""
        rng = self.rng
        if kind == "vec":
            return self.pick(kind, letter, lambda o: o.numel == length, lambda: self.new_vector(letter, length))
        if kind == "view":
            return self.pick(kind, letter, lambda o: o.numel == length, lambda: self.new_view(letter, length))
        cols = rng.choice([1, 1, 2, 0]) if columns is None else columns
        return self.pick(kind, letter, lambda o: o.rows == length and (columns is None or o.cols == columns),
                         lambda: self.new_matrix(letter, length, cols))

    def holding(self, kind, letter, count):
        """A container of this kind with at least `count` elements (exactly, mostly)."""
        rng = self.rng
        extra = 0 if rng.random() < 0.6 else rng.randint(1, 3)
        if kind == "mat":
            total = count + extra
            shape = rng.choice([(total, 1), (1, total)]) if total else (0, rng.randint(0, 2))
            return self.pick(kind, letter, lambda o: o.numel >= count, lambda: self.new_matrix(letter, *shape))
        return self.vector_like(kind, letter, count + extra)

    def anything(self, kind, letter):
        rng = self.rng
        if kind == "mat":
            return self.pick(kind, letter, lambda o: True,
                             lambda: self.new_matrix(letter, self.extent(), self.extent()))
        if kind == "vec":
            return self.pick(kind, letter, lambda o: True, lambda: self.new_vector(letter, self.length()))
        return self.pick(kind, letter, lambda o: True, lambda: self.new_view(letter))

    def length(self):
        """A vector length: mostly a few elements, sometimes past the blocks that BLAS kernels
        work in, where their remainder loops start."""
        return self.rng.randint(0, 9) if self.rng.random() < 0.9 else self.rng.randint(10, 70)

    def extent(self):
        """A matrix dimension: mostly tiny, sometimes up to a few kernel blocks."""
        return self.rng.randint(0, 4) if self.rng.random() < 0.9 else self.rng.randint(5, 12)

    def near(self, size):
        """A size that mostly equals `size` and sometimes misses it by one or two."""
        if self.rng.random() < 0.75:
            return size
        return max(0, size + self.rng.choice([-2, -1, 1, 2]))

    # Checking

    def involved(self, operands):
        storages = []
        for o in operands:
            if isinstance(o, Obj) and o.storage not in storages:
                storages.append(o.storage)
        return storages

    def check_storages(self, storages, outcome, description):
        for storage in storages:
            actual = storage.read()
            self.calls += len(actual)
            for i, (got, want) in enumerate(zip(actual, storage.values)):
                key = (storage, i)
                if outcome is not None and key in outcome.writes:
                    expected = outcome.writes[key]
                    if expected is not None:
                        value, tol = expected
                        if not abs(got - value) <= tol:
                            raise Mismatch("%s: element %d of the storage is %r, expected %r (tolerance %g)"
                                           % (description, i, got, value, tol))
                    storage.values[i] = got  # carried on exactly as the module has it
                elif got != want:
                    raise Mismatch("%s: element %d of the storage changed from %r to %r"
                                   % (description, i, want, got))

    def check_references(self, objects, before, description):
        """A call must not keep, nor give up, a reference to any object it was handed."""
        after = [sys.getrefcount(o) for o in objects]
        if after != before:
            raise Mismatch("%s: reference counts of the containers went from %r to %r" % (description, before, after))

    def expect_raise(self, call, error_type, message, operands, description):
        storages = self.involved(operands)
        objects = [o.real for o in operands]
        before = [sys.getrefcount(o) for o in objects]
        try:
            result = call()
        except Exception as error:  # the type and message are the check
            if type(error) is not error_type or str(error) != message:
                raise Mismatch("%s raised %s(%r), expected %s(%r)"
                               % (description, type(error).__name__, str(error), error_type.__name__, message))
        else:
            raise Mismatch("%s returned %r, expected %s(%r)" % (description, result, error_type.__name__, message))
        self.check_references(objects, before, description)
        self.check_storages(storages, None, description)

    # Steps

    def draw_overload(self):
        if not self.deck:
            self.deck = all_overloads()
            self.rng.shuffle(self.deck)
        return self.deck.pop()

    def operands(self, name, letter, kinds):
        """Operands of the given kinds, shaped to agree mostly and to disagree sometimes."""
        rng = self.rng
        if name == "scale":
            return [self.anything(kinds[0], letter)]
        if name in LEVEL1:
            x = self.anything(kinds[0], letter)
            r = rng.random()
            if r < 0.12 and kinds[1] == kinds[0]:
                return [x, x]
            if r < 0.2 and kinds[0] != "mat" and kinds[1] == "view" and x.numel:
                # Another view onto x's storage, possibly overlapping x.
                start = rng.randint(0, len(x.storage.values) - 1)
                same = Obj(x.storage.observer, "view", letter, x.storage, 0, len(x.storage.values),
                           how=" of the storage of %r" % x)
                return [x, self.add(self.take_view(same, slice(start, start + x.numel)))]
            if r < 0.35 and x.numel:
                return [x, self.holding(kinds[1], letter, rng.randint(0, x.numel - 1))]
            if r < 0.45:
                return [x, self.anything(kinds[1], letter)]
            return [x, self.holding(kinds[1], letter, x.numel)]
        if name == "ls":
            m, n = self.extent(), self.extent()
            A = self.pick("mat", letter, lambda o: True, lambda: self.new_matrix(letter, m, n))
            if rng.random() < 0.1 and kinds[1] == "mat":
                return [A, A]
            need = max(A.rows, A.cols)
            if rng.random() < 0.2 and need:
                return [A, self.holding(kinds[1], letter, rng.randint(0, need - 1))]
            return [A, self.holding(kinds[1], letter, need)]
        if name in ("gemv", "matvec"):
            m, n = self.extent(), self.extent()
            if kinds[0] == "mat":
                A = self.pick("mat", letter, lambda o: True, lambda: self.new_matrix(letter, m, n))
                m, n = A.rows, A.cols
            else:
                A = self.anything(kinds[0], letter)
            if rng.random() < 0.08 and kinds[1] == "mat" and A.kind == "mat" and m == n:
                x = A
            else:
                x = self.vector_like(kinds[1], letter, self.near(n))
            if rng.random() < 0.08 and kinds[2] == "mat" and A.kind == "mat":
                y = rng.choice([A, x]) if x.kind == "mat" else A
            else:
                y = self.vector_like(kinds[2], letter, self.near(m))
            return [A, x, y]
        # gemm, matmul
        m, k, n = self.extent(), self.extent(), self.extent()
        A = self.pick("mat", letter, lambda o: True, lambda: self.new_matrix(letter, m, k))
        m, k = A.rows, A.cols
        if rng.random() < 0.1 and m == k:
            X = A
            n = k
        else:
            X = self.pick("mat", letter, lambda o: o.rows == k,
                          lambda: self.new_matrix(letter, self.near(k), n))
            n = X.cols
        if rng.random() < 0.1 and m == k == n:
            Y = rng.choice([A, X])
        else:
            Y = self.pick("mat", letter, lambda o: o.rows == m and o.cols == n,
                          lambda: self.new_matrix(letter, self.near(m), self.near(n)))
        return [A, X, Y]

    def prepare_ls(self, A, B):
        """Gives A values for which the solution is well conditioned, or a zero column or
        row, which makes it rank deficient; an A of zeros is kept as it is."""
        rng = self.rng
        m, n = A.rows, A.cols
        if A.storage is B.storage or all(v == 0 for v in A.window()) and rng.random() < 0.5:
            return
        dominant = 3 * (m + n) + 1
        for j in range(n):
            for i in range(m):
                value = self.value(A.letter) / 2
                if i == j:
                    value += dominant
                A.real[i, j] = value
                A.storage.values[i + j * m] = stored(A.letter, value)
                self.calls += 1
        if rng.random() < 0.15 and m and n:
            cut = rng.randrange(n if m >= n else m)
            for p in range(m if m >= n else n):
                i, j = (p, cut) if m >= n else (cut, p)
                A.real[i, j] = 0
                A.storage.values[i + j * m] = stored(A.letter, 0)
                self.calls += 1

    def operation(self):
        name, letter, kinds = self.draw_overload()
        containers = self.operands(name, letter, kinds)
        scalars = [self.scalar(letter) for _ in range(SCALARS.get(name, 0))]
        if name == "ls":
            self.prepare_ls(*containers)
        if name == "scale":
            outcome = scale(letter, scalars[0], *containers)
        elif name in LEVEL1:
            outcome = level1(name, letter, scalars[0] if scalars else None, *containers)
        elif name == "ls":
            outcome = least_squares(letter, *containers)
        elif name in ("gemv", "matvec"):
            a, b = scalars if scalars else (1, 1)
            outcome = gemv(letter, a, b, *containers)
        else:
            a, b = scalars if scalars else (1, 1)
            outcome = gemm(letter, a, b, *containers)

        args = scalars + [c.real for c in containers]
        description = "step %d (seed %d): %s(%s)" % (self.step_number, self.seed, name,
                                                     ", ".join(repr(a) for a in scalars + containers))
        storages = self.involved(containers)
        objects = [c.real for c in containers]
        before = [sys.getrefcount(o) for o in objects]
        self.operation_calls += 1
        self.calls += 1
        function = getattr(self.functions, name)
        result = None
        try:
            result = function(*args)
        except Exception as error:  # compared with the model below
            raised = (type(error), str(error))
        else:
            raised = None
        # What came back, without holding on to it: which argument it is, or the value.
        returned = [i for i, o in enumerate(objects) if result is o]
        value = None if returned else result
        result = None
        self.check_references(objects, before, description)
        key = (name, letter, kinds)
        if outcome.error is not None:
            expected = outcome.error
            if raised != expected:
                raise Mismatch("%s gave %r, expected %s(%r)" % (description, raised if raised else value,
                                                                 expected[0].__name__, expected[1]))
            self.covered[key]["refused"] += 1
            self.outcomes["refused"] += 1
            # A refusal before the call touches nothing; a failure inside LAPACK may have.
            self.check_storages(storages, outcome if outcome.writes else None, description)
            return
        if raised is not None:
            raise Mismatch("%s raised %s(%r)" % (description, raised[0].__name__, raised[1]))
        self.covered[key]["done"] += 1
        self.outcomes["done"] += 1
        if outcome.result_kind == "object":
            if not returned or objects[returned[0]] is not outcome.result.real:
                raise Mismatch("%s returned %r, not its destination" % (description, objects[returned[0]] if returned else value))
        elif outcome.result_kind == "number":
            wanted_type = complex if letter in "cz" else float
            if type(value) is not wanted_type or not abs(value - outcome.result) <= outcome.result_tolerance:
                raise Mismatch("%s returned %r, expected %r" % (description, value, outcome.result))
        elif returned or value is not None:
            raise Mismatch("%s returned %r, expected None" % (description, objects[returned[0]] if returned else value))
        self.check_storages(storages, outcome, description)

    def mismatched_call(self):
        """A call that no overload takes: another element type in one place, a vector where
        only matrices go, a complex scalar for a real overload; or an argument whose
        constructor never ran."""
        rng = self.rng
        name, letter, kinds = rng.choice(self.overloads)
        containers = self.operands(name, letter, kinds)
        scalars = [self.scalar(letter) for _ in range(SCALARS.get(name, 0))]
        args = scalars + [c.real for c in containers]
        first = len(scalars)
        position = first + rng.randrange(len(containers))
        kind = containers[position - first].kind
        r = rng.random()
        if r < 0.3:
            cls = getattr(q, kind + letter)
            args[position] = cls.__new__(cls)
            error = NOT_INITIALISED % (kind + letter)
        else:
            if r < 0.75:
                other = rng.choice([l for l in LETTERS if l != letter])
                args[position] = self.anything(rng.choice([kind, kind, rng.choice(KINDS)]), other).real
            elif r < 0.9 or not scalars or letter in "cz":
                args[position] = self.anything(rng.choice(KINDS), letter).real
            else:
                args[rng.randrange(first)] = complex(self.value("d"), 1.0)
            if self.some_overload_takes(name, args):
                return
            # The registration order gives the overload list; none takes these arguments.
            lines = ["    %d. %s" % (i + 1, s.replace(name + "(", "(", 1))
                     for i, s in enumerate(self.signatures[name])]
            error = ("%s(): incompatible function arguments. The following argument types are supported:\n%s\n\n"
                     "Invoked with: %s" % (name, "\n".join(lines), ", ".join(repr(a) for a in args)))
        replaced = "%s object" % type(args[position]).__name__ if error.startswith("queltcore.") \
            else repr(args[position])
        description = "step %d (seed %d): %s(%s) with %s in place %d" % (
            self.step_number, self.seed, name, ", ".join(repr(c) for c in scalars + containers), replaced, position)
        self.calls += 1
        self.covered[("no overload", name, letter)]["refused"] += 1
        self.expect_raise(lambda: getattr(self.functions, name)(*args), TypeError, error, containers, description)

    @staticmethod
    def some_overload_takes(name, args):
        """Whether the arguments, one of them replaced, still fit a registered overload."""
        kinds, letters, scalars = [], set(), []
        for a in args:
            if isinstance(a, (int, float, complex)):
                scalars.append(a)
                continue
            base = next(c for c in type(a).__mro__ if c.__module__ == "queltcore")
            kinds.append(base.__name__[:-1])
            letters.add(base.__name__[-1])
        if len(letters) != 1:
            return False
        letter = letters.pop()
        if letter in "sd" and any(isinstance(s, complex) for s in scalars):
            return False
        if name in ("gemm", "matmul"):
            return all(k == "mat" for k in kinds)
        if name == "ls":
            return kinds[0] == "mat"
        if name == "hdot":
            return letter in "cz"
        return True

    def element_access(self):
        rng = self.rng
        if not self.pool:
            return
        obj = rng.choice(self.pool)
        write = rng.random() < 0.4
        value = self.value(obj.letter)
        description = "step %d (seed %d): element of %r" % (self.step_number, self.seed, obj)
        self.calls += 1
        if obj.kind == "mat":
            i = rng.randint(0, obj.rows + 1) if rng.random() < 0.95 else 2 ** 64 - 1
            j = rng.randint(0, obj.cols + 1) if rng.random() < 0.95 else 2 ** 63
            loc = (i + j * obj.rows) % 2 ** 64
            if loc >= obj.numel:
                message = "requested array index %dexceeds max number of elements %d" % (loc, obj.numel)
            elif i >= obj.rows:
                message = "index for dimension 0%dexceeds max number of elements for that dimension %d" % (i, obj.rows)
            elif j >= obj.cols:
                message = "index for dimension 1%dexceeds max number of elements for that dimension %d" % (j, obj.cols)
            else:
                message = None
            index, position = (i, j), loc
        else:
            index = rng.randint(0, obj.numel + 1) if rng.random() < 0.95 else 2 ** 64 - 1
            message = None if index < obj.numel else \
                "index %d exceeds max number of elements %d" % (index, obj.numel)
            position = obj.offset + index
        if message is not None:
            call = (lambda: obj.real.__setitem__(index, value)) if write else (lambda: obj.real[index])
            self.expect_raise(call, RuntimeError, message, [obj], description)
        elif write:
            obj.real[index] = value
            obj.storage.values[position] = stored(obj.letter, value)
            self.check_storages([obj.storage], None, description)
        else:
            got = obj.real[index]
            want = obj.storage.values[position]
            if type(got) is not type(want) or got != want:
                raise Mismatch("%s: [%r] is %r, expected %r" % (description, index, got, want))

    def dimensions(self):
        if not self.pool:
            return
        obj = self.rng.choice(self.pool)
        description = "step %d (seed %d): dimensions of %r" % (self.step_number, self.seed, obj)
        self.calls += 3
        if obj.kind == "mat":
            got = (obj.real.numel(), obj.real.dim(0), obj.real.dim(1))
            want = (obj.numel, obj.rows, obj.cols)
            bad, what = self.rng.choice([2, 3, 2 ** 64 - 1]), "matrix"
        else:
            got = (obj.real.numel(), obj.real.dim(0), obj.real.numel())
            want = (obj.numel, obj.numel, obj.numel)
            bad, what = self.rng.choice([1, 2, 2 ** 64 - 1]), "vector"
        if got != want:
            raise Mismatch("%s: %r, expected %r" % (description, got, want))
        self.expect_raise(lambda: obj.real.dim(bad), RuntimeError, "dimension %d invalid for %s" % (bad, what),
                          [obj], description)

    def make_something(self):
        rng = self.rng
        letter = rng.choice(LETTERS)
        r = rng.random()
        if r < 0.35:
            self.add(self.new_vector(letter, self.length()))
        elif r < 0.6:
            self.add(self.new_matrix(letter, self.extent(), self.extent()))
        else:
            self.add(self.new_view(letter))

    def forget(self):
        """Drops objects: the storage lives on while a view of it is left."""
        rng = self.rng
        for _ in range(rng.randint(1, 3)):
            if self.pool:
                self.pool.pop(rng.randrange(len(self.pool)))

    def verify_all(self):
        storages = self.involved(self.pool)
        self.check_storages(storages, None, "step %d (seed %d): the pool" % (self.step_number, self.seed))

    def step(self):
        self.step_number += 1
        r = self.rng.random()
        if r < 0.62:
            self.operation()
        elif r < 0.70:
            self.mismatched_call()
        elif r < 0.78:
            self.element_access()
        elif r < 0.81:
            self.dimensions()
        elif r < 0.91:
            self.make_something()
        else:
            self.forget()
        if len(self.pool) > 48:
            while len(self.pool) > 32:
                self.pool.pop(self.rng.randrange(len(self.pool)))
        if self.step_number % 97 == 0:
            self.verify_all()


def run(seed, count, functions=q):
    """Runs steps until `count` operation calls have been made; returns the session."""
    session = Session(seed, functions)
    while session.operation_calls < count:
        session.step()
    session.verify_all()
    return session


def summary(session, seconds):
    registered = set(all_overloads())
    called = {k for k in session.covered if k in registered}
    completed = {k for k in called if session.covered[k]["done"]}
    lines = [
        "seed %d: %d steps, %d calls into the module (%d operation calls: %d done, %d refused; "
        "%d calls that no overload takes) in %.1f s"
        % (session.seed, session.step_number, session.calls, session.operation_calls, session.outcomes["done"],
           session.outcomes["refused"], sum(v["refused"] for k, v in session.covered.items() if k[0] == "no overload"),
           seconds),
        "overloads called: %d of %d; completed at least once: %d; functions and element types called with "
        "arguments that no overload takes: %d" % (len(called), len(registered), len(completed),
                                                 sum(1 for k in session.covered if k[0] == "no overload")),
    ]
    return "\n".join(lines)


class RandomCallsTest(unittest.TestCase):
    def test_random_calls_agree_with_the_model(self):
        for functions in (q, quelt):
            with self.subTest(functions=functions.__name__):
                self.check_functions(functions)

    def check_functions(self, functions):
        started = time.time()
        try:
            session = run(SEED, COUNT, functions)
        except Mismatch as mismatch:
            self.fail(str(mismatch))
        sys.stderr.write("\n" + summary(session, time.time() - started) + "\n")
        registered = all_overloads()
        self.assertEqual(len(registered), 446)
        missed = [k for k in registered if k not in session.covered]
        self.assertEqual(missed, [])
        # Every overload whose first operand can stand there completed too.
        never = [k for k in registered if not session.covered[k]["done"]
                 and not (k[0] in ("gemv", "matvec") and k[2][0] != "mat")]
        self.assertEqual(never, [])
        refused = [k for k in registered if not session.covered[k]["refused"] and k[0] != "scale"]
        self.assertEqual(refused, [])


def main():
    parser = argparse.ArgumentParser(description="Random calls into queltcore against a model of it.")
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument("--count", type=int, default=COUNT, help="operation calls to make")
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--functions", choices=("queltcore", "quelt"), default="queltcore",
                        help="whose operations to call")
    options = parser.parse_args()
    started = time.time()
    try:
        session = run(options.seed, options.count, {"queltcore": q, "quelt": quelt}[options.functions])
    except Mismatch as mismatch:
        print("MISMATCH: %s" % mismatch)
        return 1
    if not options.quiet:
        print(summary(session, time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
