"""Times NumPy and SciPy doing what queltcore's operations do, on the same sizes and values,
under the system's Python 3 with Debian's python3-numpy and python3-scipy.

    peers.py latency OUT       every family, element type and latency size
    peers.py throughput OUT    the large sizes

NumPy has no in-place BLAS interface, so its rows use what a NumPy program writes (ufuncs
with out=, matmul into an output array, lstsq); SciPy's rows call the same BLAS and LAPACK
routine as queltcore through scipy.linalg.blas and scipy.linalg.lapack, in place. The NumPy
and SciPy calls of one case are interleaved; times are on this thread's CPU clock.
"""
import os
import sys

import numpy as np
import scipy
import scipy.linalg.blas as blas
import scipy.linalg.lapack as lapack
import threadpoolctl

import cases
from timing import mapped_blas_libraries, measure

LATENCY_BLOCK = 0.001
THROUGHPUT_BLOCK = 0.02


def array(letter, rows, cols=None):
    dtype = cases.NUMPY_TYPES[letter]
    shape = (rows,) if cols is None else (rows, cols)
    return np.full(shape, cases.operand_value(letter), dtype=dtype, order="F")


def routine(module, letter, name):
    return getattr(module, letter + name)


def entries_for(family, letter, size):
    """(statement, namespace) for NumPy and for SciPy, plus the restore that ls needs."""
    scalars = cases.scalars(family, letter)
    ns = {"np": np}
    if family in cases.VECTOR_FAMILIES:
        n = size
        ns.update(x=array(letter, n), y=array(letter, n), t=array(letter, n))
        ns["alpha"] = scalars[0] if scalars else None
        numpy_statement = {
            "scale": "np.multiply(x, alpha, out=x)",
            "axpy": "np.add(y, alpha * x, out=y)",
            "sum": "np.add(y, x, out=y)",
            "copy": "np.copyto(y, x)",
            "swap": "np.copyto(t, x); np.copyto(x, y); np.copyto(y, t)",
            "dot": "np.dot(x, y)",
            "hdot": "np.vdot(x, y)",
        }[family]
        names = {"scale": "scal", "sum": "axpy", "dot": "dotu" if letter in "cz" else "dot", "hdot": "dotc"}
        ns["fn"] = routine(blas, letter, names.get(family, family))
        scipy_statement = {
            "scale": "fn(alpha, x)",
            "axpy": "fn(x, y, a=alpha)",
            "sum": "fn(x, y, a=1.0)",
            "copy": "fn(x, y)",
            "swap": "fn(x, y)",
            "dot": "fn(x, y)",
            "hdot": "fn(x, y)",
        }[family]
        return {"numpy": (numpy_statement, ns), "scipy": (scipy_statement, dict(ns))}

    m, n = size
    if family == "ls":
        r = max(m, n)
        A0 = array(letter, m, n)
        A0[np.arange(min(m, n)), np.arange(min(m, n))] += 1
        b0 = array(letter, r, 1)
        lwork = int(routine(lapack, letter, "gels_lwork")(m, n, 1)[0].real)
        ns.update(A0=A0, b0=b0, A=A0.copy(order="F"), b=b0.copy(order="F"), lwork=lwork,
                  fn=routine(lapack, letter, "gels"), b1=b0[:m, 0].copy())
        restore = "np.copyto(A, A0); np.copyto(b, b0)"
        return {
            # lstsq copies its operands itself and solves through gelsd (an SVD).
            "numpy": ("np.linalg.lstsq(A0, b1, rcond=None)", ns),
            "scipy": (restore + "; fn(A, b, lwork=lwork, overwrite_a=1, overwrite_b=1)", dict(ns)),
            "scipy-restore": (restore, dict(ns)),
        }
    if family in ("gemv", "matvec"):
        ns.update(A=array(letter, m, n), x=array(letter, n), y=array(letter, m), fn=routine(blas, letter, "gemv"))
        if family == "gemv":
            return {"numpy": ("np.matmul(A, x, out=y)", ns),
                    "scipy": ("fn(1.0, A, x, beta=0.0, y=y, overwrite_y=1)", dict(ns))}
        return {"numpy": ("np.add(y, A @ x, out=y)", ns),
                "scipy": ("fn(1.0, A, x, beta=1.0, y=y, overwrite_y=1)", dict(ns))}
    ns.update(A=array(letter, m, n), X=array(letter, n, n), Y=array(letter, m, n), fn=routine(blas, letter, "gemm"))
    if family == "gemm":
        return {"numpy": ("np.matmul(A, X, out=Y)", ns),
                "scipy": ("fn(1.0, A, X, beta=0.0, c=Y, overwrite_c=1)", dict(ns))}
    return {"numpy": ("np.add(Y, A @ X, out=Y)", ns),
            "scipy": ("fn(1.0, A, X, beta=1.0, c=Y, overwrite_c=1)", dict(ns))}


# What each SciPy call must leave in its destinations, from its operands before the call.
EXPECTED = {
    "scale": lambda ns: {"x": ns["x"] * ns["alpha"]},
    "axpy": lambda ns: {"y": ns["y"] + ns["alpha"] * ns["x"]},
    "sum": lambda ns: {"y": ns["y"] + ns["x"]},
    "copy": lambda ns: {"y": ns["x"].copy()},
    "swap": lambda ns: {"x": ns["y"].copy(), "y": ns["x"].copy()},
    "gemv": lambda ns: {"y": ns["A"] @ ns["x"]},
    "matvec": lambda ns: {"y": ns["y"] + ns["A"] @ ns["x"]},
    "gemm": lambda ns: {"Y": ns["A"] @ ns["X"]},
    "matmul": lambda ns: {"Y": ns["Y"] + ns["A"] @ ns["X"]},
    "ls": lambda ns: {"b": np.linalg.solve(ns["A0"], ns["b0"])},
}


def check():
    """Each SciPy call must work on its operands in place, or it would time copies: one call on
    distinct values, its destinations compared with NumPy's own result."""
    for letter in cases.LETTERS:
        for family, check_ in EXPECTED.items():
            size = 16 if family in cases.VECTOR_FAMILIES else (64, 64)
            statement, ns = entries_for(family, letter, size)["scipy"]
            for offset, name in enumerate(("x", "y", "A", "X", "Y")):
                if name in ns:
                    ns[name][...] = (np.arange(ns[name].size).reshape(ns[name].shape) % 7 + offset) * 0.25
            expected = check_(ns)
            exec(statement, ns)
            for name, want in expected.items():
                if not np.allclose(ns[name], want, rtol=1e-4, atol=1e-5):
                    sys.exit("SciPy's %s%s does not leave its result in %s" % (letter, family, name))


def process_info():
    mapped = mapped_blas_libraries()
    return {"python": sys.version.split()[0], "executable": sys.executable, "numpy": np.__version__,
            "scipy": scipy.__version__, "threadpoolctl": threadpoolctl.threadpool_info(),
            "blas_libraries": mapped,
            "environment": {k: v for k, v in os.environ.items() if k.startswith("OPENBLAS")}}


def latency(out):
    check()
    result = {"process": None, "tables": {}}
    for family in cases.FAMILIES:
        for letter in cases.LETTERS:
            if family not in cases.families(letter):
                continue
            for size in cases.sizes(family):
                result["tables"][cases.key(family, letter, size)] = measure(
                    entries_for(family, letter, size), LATENCY_BLOCK, 7)
    result["process"] = process_info()
    cases.save(out, result)


def throughput(out):
    result = {"process": None, "throughput": {}}
    work = [("gemm", letter, n) for letter in cases.LETTERS for n in cases.GEMM_SIZES[letter]]
    for letter in cases.STREAM_LETTERS:
        work += [("gemv", letter, n) for n in cases.GEMV_SIZES]
        work += [(family, letter, n) for n in cases.STREAM_SIZES for family in ("axpy", "dot")]
    for family, letter, n in work:
        size = n if family in cases.VECTOR_FAMILIES else (n, n)
        result["throughput"]["%s/%s/%d" % (family, letter, n)] = measure(
            entries_for(family, letter, size), THROUGHPUT_BLOCK, 3)
    result["process"] = process_info()
    cases.save(out, result)


if __name__ == "__main__":
    {"latency": latency, "throughput": throughput}[sys.argv[1]](sys.argv[2])
