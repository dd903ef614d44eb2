"""What the benchmark measures, shared by the harness (CPython 3.7), the peers (the system's
Python 3) and the report: operation families, element types, sizes, operand values, scalars.

benchmarks/floor.hpp and floor_blas.cpp hold the same sizes and values for the C++ floor.
"""
import json
import statistics

LETTERS = "sdcz"
NUMPY_TYPES = {"s": "float32", "d": "float64", "c": "complex64", "z": "complex128"}

VECTOR_FAMILIES = ["scale", "axpy", "sum", "copy", "swap", "dot", "hdot"]
MATRIX_FAMILIES = ["ls", "gemv", "matvec", "gemm", "matmul"]
FAMILIES = VECTOR_FAMILIES + MATRIX_FAMILIES

VECTOR_SIZES = [1, 16, 256, 4096]
MATRIX_SIZES = [(2, 3), (64, 64), (512, 512)]

# Large sizes. gemm stops at 1024 for the complex types, whose 2048 takes seconds a call; the
# memory-bound operations are measured for the real types.
GEMM_SIZES = {"s": [256, 512, 1024, 2048], "d": [256, 512, 1024, 2048], "c": [256, 512, 1024], "z": [256, 512, 1024]}
GEMV_SIZES = [1024, 2048, 4096]
STREAM_SIZES = [10000, 100000, 1000000, 10000000]
STREAM_LETTERS = "sd"

# The targets: size-1 calls against the single-overload floor, large calls against the direct
# CBLAS call, the model runner against a binding call and the direct runtime call.
TARGET_SMALL_RATIO = 1.5
TARGET_LARGE = [("gemm", 1024), ("gemv", 4096), ("axpy", 1000000)]
TARGET_LARGE_RATIO = 1.03
TARGET_MODEL_ACCESS_RATIO = 2.0
TARGET_MODEL_RUN_RATIO = 1.05

# The quelt package: a million elements into and out of a vecd, a matd and a model input,
# against memcpy and the element-by-element loop; quelt.Session against the runtime's Run,
# over input lengths, and from two threads.
EXCHANGE_LENGTH = 1000000
EXCHANGE_SHAPE = (1000, 1000)
FEED_SIZES = [1, 1000, 100000, 1000000]
TARGET_EXCHANGE_RATIO = 1.5
TARGET_SESSION_TINY_RATIO = 2.0
TARGET_SESSION_COMPUTE_RATIO = 1.05
TARGET_THREADS_RATIO = 0.6
# "Independent of the size": from the smallest input to the largest, the cost above the
# runtime's own grows by less than this share of one copy of the largest input.
TARGET_FEED_GROWTH_OF_COPY = 0.25
# quelt's own operations: at size 1 against queltcore's same overload; from two threads against
# one after the other; another thread's longest pause during a long call.
TARGET_PACKAGE_SMALL_RATIO = 1.1
TARGET_OPERATIONS_THREADS_RATIO = 0.6
TARGET_PAUSE_SECONDS = 0.01

# quelt.Session for serving: outputs into the caller's buffer over output sizes, and a run of
# the slow model (SLOW_SIZE x SLOW_SIZE matrices) stopped from another thread.
INTO_SIZES = [1000, 100000, 1000000]
# 384 took 0.1 s on a later machine's kernels: too short for a cancel 50 ms in with as long again to go.
SLOW_SIZE = 768
TARGET_CANCEL_SECONDS = 0.1


def families(letter):
    """The families that exist for an element type: hdot only for the complex ones."""
    return [f for f in FAMILIES if f != "hdot" or letter in "cz"]


def sizes(family):
    return MATRIX_SIZES if family in MATRIX_FAMILIES else VECTOR_SIZES


def size_label(size):
    return "%dx%d" % size if isinstance(size, tuple) else str(size)


def key(family, letter, size):
    return "%s/%s/%s" % (family, letter, size_label(size))


def operand_value(letter):
    """Every operand starts here: small enough that accumulating calls stay finite over
    millions of repetitions, and never 0 or 1, for which OpenBLAS may return early."""
    return complex(1e-3, 1e-3) if letter in "cz" else 1e-3


def scalars(family, letter):
    """The scalar arguments each family is timed with, as the Python numbers of its overloads:
    scale by -1 keeps values bounded; gemv and gemm with (1, 0) compute what NumPy's
    matmul into an output array computes."""
    values = {"scale": [-1.0], "axpy": [0.5], "gemv": [1.0, 0.0], "gemm": [1.0, 0.0]}.get(family, [])
    return [complex(v) for v in values] if letter in "cz" else values


def int_scalars(family):
    """The same calls with Python ints, which pybind11's ordered chain only accepts in its
    second, converting pass."""
    return {"scale": [-1], "axpy": [2], "gemv": [1, 0], "gemm": [1, 0]}.get(family)


def operand_shapes(family, size):
    """Element counts of each container operand, in argument order, for a family at a size;
    a matrix operand of a vector family has one column. Matrix families at (m, n): ls solves
    an m x n system with a right-hand side of max(m, n); gemv multiplies A (m x n) by x (n);
    gemm multiplies A (m x n) by X (n x n) into Y (m x n)."""
    if family in VECTOR_FAMILIES:
        count = 1 if family == "scale" else 2
        return [(size, 1)] * count
    m, n = size
    if family == "ls":
        return [(m, n), (max(m, n), 1)]
    if family in ("gemv", "matvec"):
        return [(m, n), (n, 1), (m, 1)]
    return [(m, n), (n, n), (m, n)]


def gemm_flops(letter, n):
    return (8 if letter in "cz" else 2) * n ** 3


def element_bytes(letter):
    return {"s": 4, "d": 8, "c": 8, "z": 16}[letter]


def stream_bytes(family, letter, n):
    """Bytes an operation must move at least: gemv reads A, x and y and writes y; axpy reads x
    and y and writes y; dot reads x and y."""
    words = {"gemv": n * n + 3 * n, "axpy": 3 * n, "dot": 2 * n}[family]
    return words * element_bytes(letter)


def median(values):
    return statistics.median(values)


def save(path, data):
    with open(path, "w") as out:
        json.dump(data, out, indent=1, sort_keys=True)


def load(path):
    with open(path) as source:
        return json.load(source)


# quelt's conversions (conversion.py) by case: what, the baseline (None: the target is absolute),
# and the most quelt may take, as a multiple of the baseline or in seconds per call.
CONVERSION_TARGETS = {
    "strided": ("float32 buffer of every other element -> `quelt.tensor`", "memcpy of the same bytes", 2.0),
    "fortran": ("Fortran-order float32 1000 x 1000 -> `quelt.tensor` (row-major)", "memcpy of the same bytes", 2.0),
    "f64-f32": ("float64 -> `quelt.tensor(src, dtype=\"float32\")`", "C++ loop converting", 1.5),
    "i32-f64": ("int32 -> `quelt.tensor(src, dtype=\"float64\")`", "C++ loop converting", 1.5),
    "rows-matc": ("row-major float64 1000 x 1000 -> `quelt.matrix(src, \"complex64\")`",
                  "C++ loop converting into column-major storage", 1.5),
    "vector": ("float64 -> `quelt.vector(src)`", "fresh allocation + memcpy", 1.2),
    "memory": ("`quelt.memory(v)`", None, 1e-6),
}
