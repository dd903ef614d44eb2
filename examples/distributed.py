"""Least squares across the processes of a job: a quadratic fitted to 10,000 noisy samples.

Run: mpirun -n 2 $(cat build/python-interpreter) -m quelt.distributed examples/distributed.py
(with PYTHONPATH=build; `make demo` runs it so). Every rank runs this same program.
"""
import math

import quelt.distributed as qd

comm = qd.world()
# A tall, narrow system splits by rows: one column of processes, each holding a share of the
# samples (qd.Grid() alone would choose a near-square grid).
grid = qd.Grid(shape=(comm.size, 1))
samples, terms = 10000, 3   # y = c0 + c1 t + c2 t^2 + noise


def t_of(i):
    return i / (samples - 1)


def design(rows, cols, local):
    """Each rank fills the rows and columns of the design matrix that it holds, from their
    global indices: nobody ever holds the whole matrix."""
    for li, i in enumerate(rows):
        for lj, j in enumerate(cols):
            local[li, lj] = t_of(i) ** j


def observations(rows, cols, local):
    for li, i in enumerate(rows):
        for lj in range(len(cols)):
            t = t_of(i)
            local[li, lj] = 1.5 - 2.0 * t + 0.5 * t * t + 0.01 * math.sin(977.0 * i)


# Blocks of 64 rows: A's row block must match b's, so that PBLAS finds matching rows together.
A = qd.DistMatrix.from_function(grid, (samples, terms), design, block=64)
b = qd.DistMatrix.from_function(grid, (samples, 1), observations, block=64)
qd.ls(A, b)                 # b's first `terms` rows now hold the coefficients

coefficients = b.gather(root=0)   # a queltcore.matd on rank 0, None elsewhere
if comm.rank == 0:
    c = [coefficients[k, 0] for k in range(terms)]
    print("%d ranks on a %d x %d grid, rank 0 holding %d of the %d rows"
          % ((comm.size,) + grid.shape + (A.local.dim(0), samples)))
    print("fit: y = %.4f %+.4f t %+.4f t^2" % tuple(c))
