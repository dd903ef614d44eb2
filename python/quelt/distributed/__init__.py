"""quelt.distributed: dense linear algebra across the processes of an MPI job, on ScaLAPACK.

One program runs on every rank. A process grid (Grid) over a communicator (Comm) holds
matrices in 2-D block-cyclic distribution (DistMatrix), whose local blocks are the core's
column-major matrices; the operations keep the core's names, argument orders and meanings,
with vectors as one-column DistMatrix objects. Importing this module starts nothing; world()
starts MPI (a job of one process outside mpirun). `python -m quelt.distributed script.py`
runs a script as one rank of a job and ends the whole job when any rank fails.
"""
import atexit as _atexit
import importlib.util as _util
import sys as _sys

if _util.find_spec("quelt._distributed") is None:
    raise ImportError("quelt.distributed is not part of this build: quelt._distributed is built only where "
                      "CMake finds MPI and the scalapack-openmpi package (openmpi-bin, libopenmpi-dev, "
                      "libscalapack-openmpi-dev)")
try:
    from .. import _distributed
except ImportError as error:
    raise ImportError("quelt.distributed needs OpenMPI and ScaLAPACK for OpenMPI (Debian: openmpi-bin, "
                      "libopenmpi-dev, libscalapack-openmpi-dev): %s" % error) from None

from .._distributed import (Comm, DistMatrix, Grid, axpy, copy, dot, gemm, gemv, hdot, ls,  # noqa: F401
                            matmul, matvec, scale, sum, swap, world)

__all__ = ["Comm", "DistMatrix", "Grid", "axpy", "copy", "dot", "gemm", "gemv", "hdot", "ls", "matmul", "matvec",
           "scale", "sum", "swap", "world"]

# On a normal end every rank finalizes.
_atexit.register(_distributed._finalize)

_previous_hook = _sys.excepthook


def _abort_on_uncaught(kind, value, traceback):
    """An uncaught exception on one rank would leave the others waiting in their next collective
    call forever: after the usual report, the whole job ends."""
    _previous_hook(kind, value, traceback)
    if _distributed._started():
        _sys.stdout.flush()
        _sys.stderr.flush()
        _distributed._abort(1)


_sys.excepthook = _abort_on_uncaught
