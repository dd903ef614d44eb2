"""quelt's operations: queltcore's, overload for overload, releasing the interpreter lock while
large BLAS and LAPACK calls run."""
from ._native import axpy, copy, dot, gemm, gemv, hdot, ls, matmul, matvec, scale, sum, swap

__all__ = ["scale", "axpy", "sum", "copy", "swap", "dot", "hdot", "gemv", "matvec", "gemm", "matmul", "ls"]
