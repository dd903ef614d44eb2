"""Helpers shared by the Python tests: element rounding, a quiet standard output, an environment
without the sanitizer runtime."""
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
