"""Helpers shared by the Python tests: element rounding, a quiet standard output, an environment
without the sanitizer runtime, buffers of any format, shape and strides."""
import contextlib
import ctypes
import os
import struct

LIBC = ctypes.CDLL(None)


def single(value):
    """`value` rounded to single precision."""
    return struct.unpack("f", struct.pack("f", value))[0]


def stored(letter, value):
    """What an element or scalar of this type holds once `value` is converted to it."""
    if letter == "s":
        return single(float(value))
    if letter == "c":
        value = complex(value)
        return complex(single(value.real), single(value.imag))
    if letter == "d":
        return float(value)
    return complex(value)


@contextlib.contextmanager
def quiet_stdout():
    """Keeps the model loader's progress lines, written to file descriptor 1, out of the log."""
    LIBC.fflush(None)
    saved = os.dup(1)
    with open(os.devnull, "wb") as devnull:
        os.dup2(devnull.fileno(), 1)
    try:
        yield
    finally:
        LIBC.fflush(None)
        os.dup2(saved, 1)
        os.close(saved)


def without_sanitizer():
    """This process's environment without the sanitizer build's preloaded runtime, for programs
    that are not this project's to check (the compiler, cmake, bash, npm)."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


class _PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.c_void_p),
                ("internal", ctypes.c_void_p)]


_from_buffer = ctypes.pythonapi.PyMemoryView_FromBuffer
_from_buffer.restype = ctypes.py_object
_from_buffer.argtypes = [ctypes.POINTER(_PyBuffer)]


class Exported:
    """A buffer as another library's exporter would hand it over (NumPy's "3w" strings, say),
    which memoryview.cast cannot make: `view` is a memoryview of `data`'s bytes read with that
    format, item size, shape and byte strides (row-major when None), its first item `offset`
    bytes in (for negative strides). The memoryview copies shape
    and strides but not the format or the bytes, so this object keeps both alive: hold it for as
    long as the view is used."""

    def __init__(self, data, format, itemsize, shape, strides=None, readonly=False, offset=0):
        self.data = ctypes.create_string_buffer(bytes(data), max(len(data), 1))
        self.format = format.encode()
        shape = tuple(shape)
        if strides is None:
            strides, step = [], itemsize
            for size in reversed(shape):
                strides.insert(0, step)
                step *= size
        count = 1
        for size in shape:
            count *= size
        info = _PyBuffer(ctypes.addressof(self.data) + offset, None, count * itemsize, itemsize, int(readonly), len(shape),
                         self.format, (ctypes.c_ssize_t * max(len(shape), 1))(*shape),
                         (ctypes.c_ssize_t * max(len(shape), 1))(*strides), None, None)
        self.view = _from_buffer(ctypes.byref(info))


def exported(data, format, itemsize, shape, strides=None, readonly=False, offset=0):
    """The memoryview of an Exported; the memory and format stay alive as long as the view does."""
    holder = Exported(data, format, itemsize, shape, strides, readonly, offset)
    _keep.append(holder)
    return holder.view


# Exported buffers made by exported() live for the test process: they are small, and a view must
# never outlive the bytes it reads.
_keep = []


class Complex128(complex):
    """A complex subclass whose __float__ drops the imaginary part, as NumPy's complex128 does."""

    def __float__(self):
        return self.real
