"""Zero-copy data exchange between queltcore's containers and the Python ecosystem."""
import array
import operator
from typing import ContextManager, Iterable, List, Optional, Union, overload

import queltcore as _core
from queltcore import matc, matd, mats, matz, model, vecc, vecd, vecs, vecz, viewc, viewd, views, viewz

from . import _native

__all__ = ["memory", "vector", "matrix", "tolist", "inputs", "outputs", "blas_threads", "set_blas_threads"]

Container = Union[vecs, vecd, vecc, vecz, views, viewd, viewc, viewz, mats, matd, matc, matz]
Vector = Union[vecs, vecd, vecc, vecz]
Matrix = Union[mats, matd, matc, matz]
# Anything that exports a buffer (bytes, bytearray, memoryview, array.array, NumPy arrays, ...).
Buffer = Union[bytes, bytearray, memoryview, array.array]
Number = Union[int, float, complex]

# The containers' element types, name to letter, from the native module's one table.
_DTYPES = dict(_native._container_dtypes)
_DTYPE_NAMES = ", ".join(list(_DTYPES)[:-1]) + " or " + list(_DTYPES)[-1]


def _refused(function, c):
    return TypeError("{}() takes a queltcore vector, view or matrix, not {}".format(function, type(c).__name__))


def _letter(dtype):
    if dtype is None:
        return None
    if not isinstance(dtype, str):
        raise TypeError("dtype must be a str, not {}".format(type(dtype).__name__))
    try:
        return _DTYPES[dtype]
    except KeyError:
        raise ValueError("dtype must be {}, not {!r}".format(_DTYPE_NAMES, dtype)) from None


def memory(c: Container) -> memoryview:
    """A writable memoryview over the storage of a vector, view or matrix: no copy.

    Format f, d, Zf or Zd; shape (n,) for a vector or view, (rows, cols) with column-major
    strides for a matrix. The storage stays valid while the memoryview lives.
    """
    # The native call answers None for what is no container: one look-up of the class either way.
    view = _native._memory(c)
    if view is None:
        raise _refused("memory", c)
    return view


def _source(data):
    # queltcore's containers are no buffers; their memory is.
    view = _native._memory(data)
    return data if view is None else view


def vector(data: Union[Buffer, Container, Iterable[Number]], dtype: Optional[str] = None) -> Vector:
    """A new queltcore vector holding a copy of a 1-D buffer or an iterable of numbers."""
    return _native._vector(_source(data), _letter(dtype))


def matrix(data: Union[Buffer, Container, Iterable[Iterable[Number]]], dtype: Optional[str] = None) -> Matrix:
    """A new queltcore matrix holding a copy of a 2-D buffer or a sequence of equal-length rows."""
    return _native._matrix(_source(data), _letter(dtype))


def tolist(c: Container) -> Union[List[float], List[complex], List[List[float]], List[List[complex]]]:
    """The elements of a vector or view as a list; a matrix as a list of rows."""
    found = _native._tolist(c)
    if found is None:
        raise _refused("tolist", c)
    return found


def _model(function, m):
    if not isinstance(m, _core.model):
        raise TypeError("{}() takes a queltcore.model, not {}".format(function, type(m).__name__))
    return m


def inputs(m: model) -> List[Optional[memoryview]]:
    """One memoryview per input tensor of a model, over the model's own memory (None for strings)."""
    return _native._tensors(_model("inputs", m), False)


def outputs(m: model) -> List[Optional[memoryview]]:
    """One memoryview per output tensor of a model, over the model's own memory (None for strings)."""
    return _native._tensors(_model("outputs", m), True)


def _thread_count(n):
    if isinstance(n, bool):
        raise TypeError("thread count must be an int, not bool")
    try:
        n = operator.index(n)
    except TypeError:
        raise TypeError("thread count must be an int, not {}".format(type(n).__name__)) from None
    if n < 1:
        raise ValueError("thread count must be at least 1, not {}".format(n))
    return n


def set_blas_threads(n: int) -> None:
    """Sets the number of threads OpenBLAS uses (n >= 1)."""
    _native._set_blas_threads(min(_thread_count(n), 2 ** 31 - 1))


class _BlasThreads:
    """Sets the thread count on entering and restores the previous one on leaving."""

    def __init__(self, n: int) -> None:
        self._n = n
        self._previous = []

    def __enter__(self) -> "_BlasThreads":
        self._previous.append(_native._blas_threads())
        _native._set_blas_threads(self._n)
        return self

    def __exit__(self, *exc_info: object) -> bool:
        _native._set_blas_threads(self._previous.pop())
        return False


@overload
def blas_threads() -> int: ...
@overload
def blas_threads(n: int) -> ContextManager["_BlasThreads"]: ...
def blas_threads(n: Optional[int] = None) -> Union[int, ContextManager["_BlasThreads"]]:
    """The number of threads OpenBLAS uses; blas_threads(n) is a context manager that sets it to n."""
    if n is None:
        return _native._blas_threads()
    return _BlasThreads(min(_thread_count(n), 2 ** 31 - 1))
