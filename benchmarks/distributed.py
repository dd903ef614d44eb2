"""quelt.distributed's benchmark, run by benchmarks/run.sh as jobs of one and of two processes
(one BLAS thread each) through the module's runner:

    mpirun -n P python3.7 -m quelt.distributed benchmarks/distributed.py OUT.json

Rank 0 writes the medians, in seconds, to OUT.json. In the one-process job: qd.gemm against
quelt.gemm on the same 2048 x 2048 float64 operands (interleaved, round by round), quelt.gemm
on two BLAS threads, the serial ls of a 4000 x 1000 system, and memcpy of 4096 x 4096 float64.
In every job: qd.gemm, qd.ls of the same system, scatter and gather of the 4096 x 4096 matrix,
and the agreement check alone."""
import ctypes
import json
import statistics
import sys
import time
from array import array

import quelt
import quelt.distributed as qd

comm = qd.world()
grid = qd.Grid()
ROUNDS = 5


def filled(rows, cols):
    """A core matrix on rank 0 (None elsewhere) of values in (0, 1), made without a Python loop
    over elements."""
    if comm.rank != 0:
        return None
    pattern = array("d", [((7 * k) % 1009 + 1) / 1010.0 for k in range(1009)])
    values = (pattern * (rows * cols // len(pattern) + 1))[:rows * cols]
    return quelt.matrix(memoryview(values).cast("B").cast("d", (rows, cols)))


def timed(call):
    comm.barrier()
    start = time.perf_counter()
    call()
    comm.barrier()
    return time.perf_counter() - start


def medians(calls, rounds=ROUNDS):
    """Each call once per round, the calls interleaved, so that a slow moment hits all alike."""
    times = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            times[name].append(timed(call))
    return {name: statistics.median(t) for name, t in times.items()}


def address(container):
    view = quelt.memory(container)
    return ctypes.addressof((ctypes.c_char * view.nbytes).from_buffer(view)), view.nbytes


results = {"processes": comm.size, "grid": list(grid.shape)}
n = 2048
A, X, Y = (qd.DistMatrix.scatter(grid, filled(n, n), block=64) for _ in range(3))
calls = {"qd.gemm": lambda: qd.gemm(1.0, 0.0, A, X, Y)}
if comm.size == 1:
    a, x, y = (filled(n, n) for _ in range(3))
    calls["quelt.gemm"] = lambda: quelt.gemm(1.0, 0.0, a, x, y)

    def two_threads():
        with quelt.blas_threads(2):
            quelt.gemm(1.0, 0.0, a, x, y)
    calls["quelt.gemm, 2 BLAS threads"] = two_threads
results.update(medians(calls))
del A, X, Y

m, k = 4000, 1000
system, rhs = filled(m, k), filled(m, 1)


def distributed_ls():
    qd.ls(qd.DistMatrix.scatter(grid, system, block=64), qd.DistMatrix.scatter(grid, rhs, block=64))


def scatters():
    return qd.DistMatrix.scatter(grid, system, block=64), qd.DistMatrix.scatter(grid, rhs, block=64)


# The scatters are timed on their own and taken out of the ls's figure.
results.update(medians({"qd.ls with its scatters": distributed_ls, "ls scatters": scatters}, 3))
results["qd.ls"] = results.pop("qd.ls with its scatters") - results.pop("ls scatters")
if comm.size == 1:
    # The core's ls solves for b's first column, all that rhs has.
    def serial_ls():
        quelt.ls(quelt.matrix(quelt.memory(system)), quelt.matrix(quelt.memory(rhs)))

    def copies():
        quelt.matrix(quelt.memory(system)), quelt.matrix(quelt.memory(rhs))
    serial = medians({"with copies": serial_ls, "copies": copies}, 3)
    results["quelt.ls"] = serial["with copies"] - serial["copies"]

big = 4096
M = filled(big, big)
D = qd.DistMatrix.scatter(grid, M, block=64)
results.update(medians({"scatter 4096": lambda: qd.DistMatrix.scatter(grid, M, block=64),
                        "gather 4096": lambda: D.gather(0)}, 3))
if comm.size == 1:
    source, target = quelt.vecd(big * big), quelt.vecd(big * big)
    (src, size), (dst, _) = address(source), address(target)
    results["memcpy 4096"] = medians({"memcpy": lambda: ctypes.memmove(dst, src, size)}, 3)["memcpy"]

count = 2000
comm.barrier()
start = time.perf_counter()
for _ in range(count):
    qd._distributed._agree(grid)
results["agreement"] = (time.perf_counter() - start) / count

if comm.rank == 0:
    with open(sys.argv[1], "w") as out:
        json.dump(results, out, indent=1)
