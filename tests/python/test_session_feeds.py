"""Feeds and quelt.tensor from what array libraries send: strings from fixed-width and object
buffers in any layout, one-element tensors for scalar inputs, numbers that also export buffers."""
import array
import ctypes
import itertools
import numbers
import os
import random
import struct
import sys
import unittest

import quelt
from support import exported

MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "models", "session")
SEED = int(os.environ.get("QUELT_TEST_SEED", random.randrange(1 << 30)))
ROUNDS = 40 if "--memcheck" in sys.argv else 300

# Characters of each item kind, with NULs to be dropped or kept, bytes that are not UTF-8, a
# character beyond the BMP and the surrogate escape that stands for the byte 0x80.
CHARACTERS = ["a", "\0", "\u00e9", "\U0001f600", "\udc80", " "]
BYTES = [b"a", b"\0", b"\xff", b"\xc3\xa9", b" "]


def model(name):
    return os.path.join(MODELS, name + ".onnx")


def decoded(data):
    """What a string element holding these bytes reads back as."""
    return data.decode("utf-8", "surrogateescape")


def random_item(rng, kind, width, keep):
    """(the item's bytes, what it reads back as) for one element of a buffer of `kind`."""
    if kind == "w":
        text = "".join(rng.choice(CHARACTERS) for _ in range(rng.randrange(width + 1)))
        return struct.pack("<%dI" % width, *map(ord, text.ljust(width, "\0"))), text.rstrip("\0")
    if kind == "s":
        data = b"".join(rng.choice(BYTES) for _ in range(width))[:rng.randrange(width + 1)]
        return data.ljust(width, b"\0"), decoded(data.rstrip(b"\0"))
    value = rng.choice(["", "x\0", "\U0001f600b", b"\xff\0", b""])
    keep.append(value)
    return struct.pack("P", id(value)), value if isinstance(value, str) else decoded(value)


def random_buffer(rng):
    """A string buffer of random kind, shape, axis order, gaps and reversed axes; and the nested
    lists it must read as, built item by item from the same bytes."""
    kind = rng.choice("wsO")
    width = rng.randrange(4) if kind != "O" else 1
    itemsize = {"w": 4 * width, "s": width, "O": struct.calcsize("P")}[kind]
    fmt = "O" if kind == "O" else rng.choice(["", "<", "="]) * (kind == "w") + str(width) + kind
    shape = [rng.randrange(4) for _ in range(rng.randrange(4))]
    order = list(range(len(shape)))
    rng.shuffle(order)
    strides, step = [0] * len(shape), max(itemsize, 1) * rng.choice((1, 2))
    for d in reversed(order):
        strides[d], step = step, step * max(shape[d], 1) * rng.choice((1, 2))
    offset = 0
    for d in range(len(shape)):
        if rng.random() < 0.3:
            offset += strides[d] * max(shape[d] - 1, 0)
            strides[d] = -strides[d]
    data, expected, keep = bytearray(step + itemsize), {}, []
    for index in itertools.product(*map(range, shape)):
        raw, expected[index] = random_item(rng, kind, width, keep)
        at = offset + sum(i * s for i, s in zip(index, strides))
        data[at:at + itemsize] = raw

    def nested(prefix):
        if len(prefix) == len(shape):
            return expected[prefix]
        return [nested(prefix + (i,)) for i in range(shape[len(prefix)])]

    return exported(data, fmt, itemsize, shape, strides, offset=offset), nested(()), keep


class StringBuffers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = quelt.Session(model("identity_all"))
        cls.feeds = {i.name: quelt.tensor([i.dtype == "bool" or 0] * 3, dtype=i.dtype) for i in cls.session.inputs if i.dtype != "string"}

    def echo(self, strings):
        return self.session.run(dict(self.feeds, in_string=strings), ["out_string"])["out_string"]

    def test_random_layouts_against_their_bytes(self):
        rng = random.Random(SEED)
        for round in range(ROUNDS):
            view, expected, keep = random_buffer(rng)
            with self.subTest(seed=SEED, round=round, format=view.format, shape=view.shape, strides=view.strides):
                made = quelt.tensor(view)
                self.assertEqual((made.dtype, made.shape, made.tolist()), ("string", view.shape, expected))
                if view.ndim == 1:
                    self.assertEqual(self.echo(view).tolist(), expected)
            del keep

    def test_exporters(self):
        objects = (ctypes.py_object * 3)("a\0", b"b\xff", "")  # format <O, no strides
        for source, expected in ((array.array("u", "h\0i\0\0"), ["h", "", "i", "", ""]),  # format w, one code point
                                 (objects, ["a\0", "b\udcff", ""])):
            with self.subTest(source=type(source).__name__):
                self.assertEqual(self.echo(source).tolist(), expected)
                self.assertEqual(quelt.tensor(source).tolist(), expected)

    def test_refusals(self):
        empty = (ctypes.py_object * 2)()
        empty[0] = "a"
        mixed = (ctypes.py_object * 3)("a", 5, b"c")
        grid = exported(struct.pack("4P", *map(id, ["a", "b", 1.5, "d"])), "O", 8, (2, 2))
        for call, error, message in (
                (lambda: self.echo(mixed), TypeError, "input 'in_string': element 1 of the buffer is int, not str or bytes"),
                (lambda: self.echo(empty), TypeError, "input 'in_string': element 1 of the buffer is NULL, not str or bytes"),
                (lambda: quelt.tensor(grid), TypeError, "quelt.tensor: element (1, 0) of the buffer is float, not str or bytes"),
                (lambda: quelt.tensor(exported(struct.pack("<2I", 97, 0x110000), "2w", 8, (1,))), ValueError,
                 "quelt.tensor: element 0 of the buffer holds code point 1114112, beyond Unicode's range"),
                (lambda: self.echo(array.array("u", "a\ud800")), ValueError,
                 "input 'in_string' expects string, got a str that is not valid UTF-8"),
                (lambda: self.session.run(dict(self.feeds, in_float32=array.array("u", "abc"), in_string=["x"])),
                 TypeError, "input 'in_float32' expects float32, got string"),
                (lambda: self.echo(array.array("f", [1.0])), TypeError, "input 'in_string' expects string, got float32"),
                (lambda: quelt.tensor(array.array("u", "ab"), dtype="int8"), TypeError, "quelt.tensor expects int8, got string"),
                (lambda: quelt.tensor(exported(bytes(10), "3w", 10, (1,))), TypeError,
                 "quelt.tensor: buffer format '3w' is not an element type the runtime knows"),
                (lambda: quelt.tensor(exported(bytes(8), ">2w", 8, (1,))), TypeError,
                 "quelt.tensor: buffer format '>2w' is not an element type the runtime knows")):
            with self.subTest(message=message), self.assertRaises(error) as caught:
                call()
            self.assertEqual(str(caught.exception), message)
        self.assertEqual(list(mixed), ["a", 5, b"c"])


class Int32(ctypes.c_int):
    """Like NumPy's int32 scalar: an integer that exports a 0-d buffer of its own format."""

    def __index__(self):
        return self.value


class Float32(ctypes.c_float):
    def __float__(self):
        return float(self.value)


class Complex128(ctypes.c_double):
    """A complex number whose 0-d buffer holds one float64."""

    def __complex__(self):
        return complex(self.value, 2)


numbers.Integral.register(Int32)
numbers.Real.register(Float32)
numbers.Complex.register(Complex128)


class ScalarsAndNumbers(unittest.TestCase):
    def test_one_element_tensors_feed_scalar_inputs(self):
        session = quelt.Session(model("scale_rows"))
        rows = [[1.0, 2.0, 3.0]]
        for factor, outcome in (
                (quelt.tensor([4]), [[4.0, 8.0, 12.0]]), ([[-2]], [[-2.0, -4.0, -6.0]]),
                (array.array("q", [3]), [[3.0, 6.0, 9.0]]),
                (memoryview(struct.pack("q", 5)).cast("B").cast("q", (1, 1)), [[5.0, 10.0, 15.0]]),
                ([[[2]]], (ValueError, "input 'factor' expects shape (), got (1, 1, 1)")),
                ([2, 3], (ValueError, "input 'factor' expects shape (), got (2,)")),
                (quelt.tensor([], dtype="int64"), (ValueError, "input 'factor' expects shape (), got (0,)"))):
            with self.subTest(factor=factor):
                try:
                    got = session.run({"rows": rows, "factor": factor})["scaled"].tolist()
                except ValueError as error:
                    got = (ValueError, str(error))
                self.assertEqual(got, outcome)

    def test_numbers_convert_as_numbers_whatever_buffer_they_export(self):
        factor = quelt.Session(model("scale_rows"))
        large = Int32(300)
        for value, target, outcome in (
                # as numbers, not as their 0-d buffers of int32, float32 and float64
                (Int32(7), None, ("int64", 7)), (Float32(1.5), None, ("float64", 1.5)),
                (Complex128(1), None, ("complex128", 1 + 2j)), (Int32(-3), "factor", [-3.0]),
                (large, "uint8", (ValueError, "quelt.tensor expects uint8, got %r, which does not fit" % large)),
                (Float32(2.5), "factor", (TypeError, "input 'factor' expects int64, got Float32")),
                (Float32(0.5), "float16", ("float16", 0.5)), (True, "int8", ("int8", 1)),
                # the same buffers from values that are not numbers
                (ctypes.c_int(7), None, ("int32", 7)), (ctypes.c_float(1.5), None, ("float32", 1.5)),
                (ctypes.c_int(-3), "factor", (TypeError, "input 'factor' expects int64, got int32"))):
            with self.subTest(value=value, target=target):
                try:
                    if target == "factor":
                        got = factor.run({"rows": [[1.0, 0.0, 0.0]], "factor": value})["scaled"].tolist()[0][:1]
                    else:
                        made = quelt.tensor(value, dtype=target)
                        got = (made.dtype, made.tolist())
                except (TypeError, ValueError) as error:
                    got = (type(error), str(error))
                self.assertEqual(got, outcome)


if __name__ == "__main__":
    if "--memcheck" in sys.argv:
        sys.argv.remove("--memcheck")
    unittest.main()
