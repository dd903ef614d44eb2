"""quelt's conversions of foreign buffers (`harness.py conversion OUT`), each taking turns block by
block with a C++ baseline of queltfloor in the same process: strided and Fortran-order float32
into a tensor against a memcpy of the same bytes, dtype conversions against a plain C++ loop
doing the same, quelt.vector against a fresh allocation plus memcpy, and quelt.memory's cost per
call. NumPy's arrays are stood for by array.array and memoryview casts and slices. Every call is
checked against what it must give before it is timed.
"""
import array

import quelt
import queltcore as q
import queltfloor as f
from timing import measure, paired_ratio

N = 1000000
ROWS, COLS = 1000, 1000


def check(condition, what):
    if not condition:
        raise AssertionError("conversion benchmark: wrong result of " + what)


def pair(block, call, ns, baseline):
    timed = measure({"quelt": (call, ns), "baseline": baseline}, block, 21, budget=3.0)
    timed["ratio"] = paired_ratio(timed["quelt"], timed["baseline"])
    return timed


def run(log, block):
    found = {}
    values = array.array("f", [float(i % 1021) for i in range(2 * N)])
    strided = memoryview(values)[::2]
    dense = array.array("f", values[::2])
    scratch = bytearray(4 * N)
    check(quelt.tensor(strided).tolist() == dense.tolist(), "quelt.tensor(strided)")
    log("strided")
    found["strided"] = pair(block, "quelt.tensor(src)", {"quelt": quelt, "src": strided},
                            lambda number: f.direct_memcpy(number, scratch, dense))

    A = quelt.matrix(memoryview(dense).cast("B").cast("f", (ROWS, COLS)))
    fortran = quelt.memory(A)  # column-major: strides (4, 4000)
    check(quelt.tensor(fortran).tolist() == quelt.tolist(A), "quelt.tensor(Fortran-order buffer)")
    log("fortran")
    found["fortran"] = pair(block, "quelt.tensor(src)", {"quelt": quelt, "src": fortran},
                            lambda number: f.direct_memcpy(number, scratch, dense))

    doubles = array.array("d", [i * 0.25 - 1000.5 for i in range(N)])
    singles = array.array("f", bytes(4 * N))
    check(quelt.tensor(doubles, dtype="float32").tolist() == array.array("f", doubles).tolist(), "float64 -> float32")
    log("f64-f32")
    found["f64-f32"] = pair(block, "quelt.tensor(src, dtype='float32')", {"quelt": quelt, "src": doubles},
                            lambda number: f.direct_convert(number, singles, doubles))

    ints = array.array("i", [(i * 7919) % 2000003 - 1000000 for i in range(N)])
    wide = array.array("d", bytes(8 * N))
    check(quelt.tensor(ints, dtype="float64").tolist() == [float(i) for i in ints], "int32 -> float64")
    log("i32-f64")
    found["i32-f64"] = pair(block, "quelt.tensor(src, dtype='float64')", {"quelt": quelt, "src": ints},
                            lambda number: f.direct_convert(number, wide, ints))

    rows = memoryview(doubles).cast("B").cast("d", (ROWS, COLS))
    target = quelt.memory(q.matc(ROWS, COLS))
    made = quelt.matrix(rows, "complex64")
    check(made[3, 5] == complex(doubles[3 * COLS + 5]) and made[999, 0] == complex(doubles[999 * COLS]),
          "quelt.matrix(row-major float64, complex64)")
    log("rows-matc")
    found["rows-matc"] = pair(block, "quelt.matrix(src, 'complex64')", {"quelt": quelt, "src": rows},
                              lambda number: f.direct_transpose_convert(number, target, rows, ROWS, COLS))

    check(quelt.tolist(quelt.vector(doubles)) == doubles.tolist(), "quelt.vector(float64)")
    log("vector")
    found["vector"] = pair(block, "quelt.vector(src)", {"quelt": quelt, "src": doubles},
                           lambda number: f.direct_fresh_copy(number, doubles))

    v = q.vecd(16)
    check(quelt.memory(v).shape == (16,), "quelt.memory(v)")
    log("memory")
    found["memory"] = measure({"quelt": ("quelt.memory(v)", {"quelt": quelt, "v": v})}, block / 5, 21)
    return found
