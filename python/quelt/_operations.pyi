"""Type stubs of quelt's operations, written by tools/make_stubs.py: the core's, whose overloads
they have overload for overload (the script checks it before writing this)."""
from queltcore import (
    axpy as axpy,
    copy as copy,
    dot as dot,
    gemm as gemm,
    gemv as gemv,
    hdot as hdot,
    ls as ls,
    matmul as matmul,
    matvec as matvec,
    scale as scale,
    sum as sum,
    swap as swap,
)
