"""The typed conformance runs' reading and comparison of values."""
import array
import os
import struct
import tempfile
import unittest

import typed_values
from typed_values import Tensor

TOLERANCE = (typed_values.RELATIVE_TOLERANCE, typed_values.ABSOLUTE_TOLERANCE)


def floats(values, code="f", dtype="float32"):
    return Tensor(dtype, (len(values),), data=array.array(code, values).tobytes())


class Compare(unittest.TestCase):
    def test_table(self):
        nan, inf = float("nan"), float("inf")
        same = [
            (floats([1.0, 2.0]), floats([1.0005, 2.0])),  # within relative 1e-3
            (floats([nan, inf]), floats([nan, inf])),
            (floats([0.5], "d", "float64"), floats([0.5], "d", "float64")),
            (Tensor("float16", (2,), data=struct.pack("<2H", 0x3C00, 0x4000)),
             Tensor("float16", (2,), data=struct.pack("<2e", 1.0, 2.0))),
            (Tensor("string", (1,), strings=[b"a"]), Tensor("string", (1,), strings=[b"a"])),
            ([floats([1.0])], [floats([1.0])]),
            (None, None),
        ]
        for actual, expected in same:
            with self.subTest(actual=actual):
                self.assertEqual(typed_values.differences(actual, expected, TOLERANCE, "y"), [])
        differ = [
            (floats([1.0, 2.0]), floats([1.0, 2.01]),
             "y: 1 of 2 elements differ, first at 1: 2.0, expected 2.009999990463257"),
            (floats([nan]), floats([0.0]), "y: 1 of 1 elements differ, first at 0: nan, expected 0.0"),
            (floats([inf]), floats([-inf]), "y: 1 of 1 elements differ, first at 0: inf, expected -inf"),
            (floats([1e-6]), floats([0.0]),  # absolute 1e-7
             "y: 1 of 1 elements differ, first at 0: 9.999999974752427e-07, expected 0.0"),
            (floats([3, 4], "q", "int64"), floats([3, 5], "q", "int64"),
             "y: 1 of 2 elements differ, first at 1: 4, expected 5"),
            (Tensor("bfloat16", (1,), data=struct.pack("<H", 0x3F80)),
             Tensor("bfloat16", (1,), data=struct.pack("<H", 0x4000)),
             "y: 1 of 1 elements differ, first at 0: 1.0, expected 2.0"),
            (floats([1.0], "d", "float64"), floats([1.0]), "y: float64[1], expected float32[1]"),
            (Tensor("float32", (1, 2), data=floats([1, 2]).data), floats([1, 2]),
             "y: float32[1, 2], expected float32[2]"),
            (Tensor("string", (1,), strings=[b"a"]), Tensor("string", (1,), strings=[b"b"]),
             "y: 1 of 1 elements differ, first at 0: b'a', expected b'b'"),
            ([floats([1.0])], [], "y: a sequence of 1, expected 0"),
            ([floats([1.0])], [floats([2.0])], "y[0]: 1 of 1 elements differ, first at 0: 1.0, expected 2.0"),
            (None, floats([1.0]), "y: absent, expected float32[1]"),
            (floats([1.0]), [floats([1.0])], "y: float32[1], expected a sequence of 1"),
        ]
        for actual, expected, message in differ:
            with self.subTest(expected=message):
                self.assertEqual(typed_values.differences(actual, expected, TOLERANCE, "y"), [message])


class Parse(unittest.TestCase):
    def test_values_and_files(self):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "a.bin"), "wb") as out:
                out.write(array.array("i", [7, 8]).tobytes())
            with open(os.path.join(folder, "s.bin"), "wb") as out:
                out.write(struct.pack("<I", 2) + b"hi" + struct.pack("<I", 0))
            name, value = typed_values.parse_named(
                "x sequence 3 optional none optional tensor int32 2 1 2 a.bin tensor string 1 2 s.bin", folder)
            self.assertEqual(name, "x")
            self.assertEqual(value, [None, Tensor("int32", (1, 2), data=array.array("i", [7, 8]).tobytes()),
                                     Tensor("string", (2,), strings=[b"hi", b""])])
            self.assertEqual(typed_values.parse_named("y optional sequence 0", folder), ("y", []))


if __name__ == "__main__":
    unittest.main()
