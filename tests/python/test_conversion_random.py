"""Random Python values and buffers converted by quelt.vector, quelt.matrix, quelt.tensor and as
feeds, against a reference that reads the buffers with struct and rounds with exact fractions.

QUELT_SEED and QUELT_CASES (or argv: seed [cases]) choose the run; the default is fixed and brief.
"""
import array
import ctypes
import decimal
import functools
import fractions
import math
import numbers
import operator
import os
import random
import struct
import sys
import unittest

import quelt
from support import Complex128, exported

MODELS = os.path.join(os.path.dirname(__file__), "..", "models", "session")
SEED = int(os.environ.get("QUELT_SEED", "20261209"))
CASES = int(os.environ.get("QUELT_CASES", "3000"))

# dtype: (kind, struct code of a raw little-endian element or None, exact float format (mantissa
# bits, lowest normal exponent, highest exponent) for the reals)
DTYPES = {
    "float32": ("real", "f", (23, -126, 127)), "float64": ("real", "d", (52, -1022, 1023)),
    "float16": ("real", "e", (10, -14, 15)), "bfloat16": ("real", None, (7, -126, 127)),
    "int8": ("int", "b", 8), "uint8": ("uint", "B", 8), "int16": ("int", "h", 16), "uint16": ("uint", "H", 16),
    "int32": ("int", "i", 32), "uint32": ("uint", "I", 32), "int64": ("int", "q", 64), "uint64": ("uint", "Q", 64),
    "bool": ("bool", "?", None), "complex64": ("complex", "f", None), "complex128": ("complex", "d", None),
}
LETTERS = {"float32": "s", "float64": "d", "complex64": "c", "complex128": "z"}
# Buffer formats: letter, item size, the dtype they hold.
FORMATS = [("b", 1, "int8"), ("B", 1, "uint8"), ("h", 2, "int16"), ("H", 2, "uint16"), ("i", 4, "int32"),
           ("I", 4, "uint32"), ("l", 8, "int64"), ("L", 8, "uint64"), ("q", 8, "int64"), ("Q", 8, "uint64"),
           ("n", 8, "int64"), ("N", 8, "uint64"), ("f", 4, "float32"), ("d", 8, "float64"), ("e", 2, "float16"),
           ("?", 1, "bool"), ("Zf", 8, "complex64"), ("Zd", 16, "complex128")]
CTYPES = {"int8": ctypes.c_int8, "uint8": ctypes.c_uint8, "int16": ctypes.c_int16, "int32": ctypes.c_int32,
          "uint64": ctypes.c_uint64, "float32": ctypes.c_float, "float64": ctypes.c_double, "bool": ctypes.c_bool}


class Refused(Exception):
    """What the reference predicts instead of a result: the exception type."""


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class ComplexLike(FloatLike):
    def __complex__(self):
        return complex(self.value)

    def __float__(self):
        return complex(self.value).real


numbers.Real.register(FloatLike)
numbers.Complex.register(ComplexLike)


def is_complex(v):
    return isinstance(v, complex) or (isinstance(v, numbers.Complex) and not isinstance(v, numbers.Real))


def rounded(x, dtype):
    """x (a float or int) rounded once to nearest even into a real dtype; Refused(ValueError) when a
    finite value exceeds it."""
    if isinstance(x, float) and (math.isnan(x) or math.isinf(x) or x == 0):
        return x
    mant, lowest, highest = DTYPES[dtype][2]
    exact = abs(fractions.Fraction(x))
    if exact == 0:
        return 0.0
    e = exact.numerator.bit_length() - exact.denominator.bit_length()
    if fractions.Fraction(2) ** e > exact:
        e -= 1
    quantum = fractions.Fraction(2) ** (max(e, lowest) - mant)
    value = round(exact / quantum) * quantum
    if value >= fractions.Fraction(2) ** (highest + 1):
        raise Refused(ValueError)
    return math.copysign(float(value), x)


def python_element(v, dtype):
    """What the element converted from the Python value v is (as tolist gives it)."""
    kind = DTYPES[dtype][0]
    if isinstance(v, (str, bytes, list, tuple)):
        raise Refused(TypeError)
    if kind == "bool":
        if not isinstance(v, bool):
            raise Refused(TypeError)
        return v
    if kind in ("int", "uint"):
        if isinstance(v, float) or is_complex(v) or not hasattr(type(v), "__index__"):
            raise Refused(TypeError)
        bits, i = DTYPES[dtype][2], operator.index(v)
        low, high = (-2 ** (bits - 1), 2 ** (bits - 1)) if kind == "int" else (0, 2 ** bits)
        if not low <= i < high:
            raise Refused(ValueError)
        return int(i)
    if kind == "complex":
        c = complex(v) if is_complex(v) else complex(python_element(v, "float64"))
        part = "float32" if dtype == "complex64" else "float64"
        return complex(rounded(c.real, part), rounded(c.imag, part))
    if is_complex(v):
        raise Refused(TypeError)
    if isinstance(v, float):
        x = v
    elif isinstance(v, int) or (hasattr(type(v), "__index__") and not hasattr(type(v), "__float__")):
        try:
            x = float(operator.index(v))
        except OverflowError:
            raise Refused(ValueError)
    elif hasattr(type(v), "__float__"):
        x = float(v)
        if math.isinf(x) and v != x:
            raise Refused(ValueError)
    else:
        raise Refused(TypeError)
    return x if dtype == "float64" else rounded(x, dtype)


def converts(source, dtype):
    """Whether buffer elements of dtype `source` convert to dtype (or are refused whole)."""
    allowed = {"bool": ("bool",), "int": ("bool", "int", "uint"), "uint": ("bool", "int", "uint"),
               "real": ("bool", "int", "uint", "real"), "complex": ("bool", "int", "uint", "real", "complex")}
    return source is not None and DTYPES[source][0] in allowed[DTYPES[dtype][0]]


def buffer_element(x, source, dtype):
    """A buffer element x of dtype `source` converted to dtype, number by number; uint16 given for
    bfloat16 is its bits, as bfloat16 is exported."""
    s, kind = DTYPES[source][0], DTYPES[dtype][0]
    if (source, dtype) == ("uint16", "bfloat16"):
        return bfloat16_bits(x)
    if kind == "complex":
        c, part = complex(x), "float32" if dtype == "complex64" else "float64"
        return complex(rounded(c.real, part), rounded(c.imag, part))
    if kind == "real":
        return rounded(float(x) if s == "real" else int(x), dtype)
    if kind == "bool":
        return bool(x)
    return python_element(int(x), dtype)


def bfloat16_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits << 16))[0]


def nested(shape, leaf):
    if not shape:
        return leaf()
    items = [nested(shape[1:], leaf) for _ in range(shape[0])]
    return tuple(items) if random.random() < 0.2 else items


def flat(value, rank):
    if rank == 0:
        return [value]
    return [x for item in value for x in flat(item, rank - 1)]


def shaped(items, shape):
    if not shape:
        return items[0]
    step = len(items) // shape[0] if shape[0] else 0
    return [shaped(items[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


def random_number():
    pick = random.random()
    big = random.choice([1, 2 ** 7, 2 ** 15, 2 ** 31, 2 ** 53, 2 ** 63, 2 ** 64, 2 ** 1100])
    if pick < 0.2:
        return random.randint(-big, big)
    if pick < 0.45:
        return random.choice([random.uniform(-1e6, 1e6), random.uniform(-1, 1) * 10 ** random.randint(-320, 308),
                              math.inf, -math.inf, math.nan, -0.0, 65519.0, 65520.0, 3.4028235677973366e38,
                              1 + 2 ** -11 + 2 ** -40, 2 ** -24 * 1.5, 2 ** -134])
    if pick < 0.55:
        return random.random() < 0.5
    if pick < 0.62:
        return complex(random.uniform(-5, 5), random.uniform(-5, 5))
    return random.choice([FloatLike(random.uniform(-1e40, 1e40)), IndexLike(random.randint(-300, 300)),
                          ComplexLike(complex(random.uniform(-9, 9), random.uniform(-9, 9))),
                          Complex128(random.uniform(-9, 9), 1.0), decimal.Decimal(random.choice(["1e400", "-2.5"])),
                          fractions.Fraction(random.randint(-9, 9), random.randint(1, 9)), "text", b"bytes"])


def inferred(leaves):
    """The dtype quelt.tensor gives nested lists of these leaves."""
    ranks = []
    for v in leaves:
        if isinstance(v, (str, bytes)):
            ranks.append(4)
        elif isinstance(v, bool):
            ranks.append(0)
        elif is_complex(v):
            ranks.append(3)
        elif isinstance(v, int) or (hasattr(type(v), "__index__") and not hasattr(type(v), "__float__")):
            ranks.append(1)
        elif hasattr(type(v), "__float__"):
            ranks.append(2)
        else:
            raise Refused(TypeError)
    if 4 in ranks and min(ranks) < 4:
        raise Refused(TypeError)
    return ["bool", "int64", "float64", "complex128", "string"][max(ranks)] if ranks else "float64"


def random_buffer():
    """(exporter, dtype of its elements or None for big-endian, shape, row-major elements)."""
    fmt, size, dtype = random.choice(FORMATS)
    shape = [random.randint(0, 4) for _ in range(random.choice([0, 1, 1, 2, 2, 3]))]
    if random.random() < 0.01:  # large enough for the tiles of a transposing copy
        shape = [random.randint(1, 3)] * random.randint(0, 1) + [random.randint(30, 70), random.randint(30, 70)]
    count = functools.reduce(operator.mul, shape, 1)
    order = random.choice(["", "", "@", "=", "<", ">"]) if fmt not in "nN" else ""
    if order in ("=", "<", ">") and fmt in "lL":
        size, dtype = 4, {"l": "int32", "L": "uint32"}[fmt]
    code, pack = {"Zf": "ff", "Zd": "dd"}.get(fmt, fmt), {"": "@", "=": "<"}.get(order, order)
    if fmt in ("f", "d", "Zf", "Zd") and random.random() < 0.7:
        scale = 30 if "f" in fmt else 300
        values = [random.uniform(-9, 9) * 10 ** random.randint(-scale, scale) for _ in range(count * len(code))]
        raw = struct.pack(pack + code * count, *values)
    else:
        raw = bytes(random.getrandbits(8) for _ in range(count * size))
    elements = []
    for i in range(count):
        parts = struct.unpack_from(pack + code, raw, i * size)
        elements.append(complex(*parts) if fmt[0] == "Z" else parts[0])
    if order == ">" and size > 1:
        dtype = None
    exporter = random.random()
    if exporter < 0.25 and not order and fmt in "bBhHiIlLqQfd" and len(shape) == 1:
        step = random.choice([1, 1, -1, 2, -2, 3])
        return memoryview(array.array(fmt, raw))[::step], dtype, [len(elements[::step])], elements[::step]
    if exporter < 0.4 and dtype in CTYPES and not order and shape and fmt not in "lLnN":
        kind = CTYPES[dtype]
        for length in reversed(shape):
            kind = kind * length
        return kind.from_buffer_copy(raw) if raw else kind(), dtype, shape, elements
    # Strided layouts: the rows in any order of dimensions, then maybe the first reversed.
    order_of = list(range(len(shape)))
    random.shuffle(order_of)
    gap = random.choice([1, 1, 2])
    strides, step = [0] * len(shape), size * gap
    for d in reversed(order_of):
        strides[d] = step
        step *= max(shape[d], 1)
    memory = bytearray(max(step, size))
    for i in range(count):
        index, rest = [], i
        for d in reversed(range(len(shape))):
            index.insert(0, rest % shape[d])
            rest //= shape[d]
        at = sum(k * s for k, s in zip(index, strides))
        memory[at:at + size] = raw[i * size:(i + 1) * size]
    view = exported(memory, order + fmt, size, shape, strides)
    if shape and shape[0] > 1 and random.random() < 0.3:
        view = view[::-1]
        inner = count // shape[0]
        elements = [x for r in reversed(range(shape[0])) for x in elements[r * inner:(r + 1) * inner]]
    return view, dtype, shape, elements


class RandomConversions(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = quelt.Session(os.path.join(MODELS, "identity_all.onnx"))
        cls.empty = {i.name: quelt.tensor([], dtype=i.dtype) for i in cls.session.inputs}

    def same(self, got, want):
        if isinstance(want, list):
            return isinstance(got, list) and len(got) == len(want) and all(map(self.same, got, want))
        if isinstance(want, complex):
            return isinstance(got, complex) and self.same(got.real, want.real) and self.same(got.imag, want.imag)
        if isinstance(want, float):
            return isinstance(got, float) and (got == want and math.copysign(1, got) == math.copysign(1, want)
                                               or math.isnan(got) and math.isnan(want))
        return type(got) is type(want) and got == want

    def check(self, case, call, expected):
        """expected: (dtype or letter, shape, values) or an exception type."""
        try:
            got = call()
        except Exception as error:
            if isinstance(expected, tuple) or not isinstance(error, expected):
                self.fail("case {}: {!r}, expected {}".format(case, error, expected))
            return
        if not isinstance(expected, tuple):
            self.fail("case {}: gave {!r}, expected {}".format(case, got, expected))
        dtype, shape, values = expected
        if hasattr(got, "dtype"):
            found = (got.dtype, got.shape, got.tolist())
        else:
            rank = 2 if type(got).__name__.startswith("mat") else 1
            found = (type(got).__name__[-1], tuple(got.dim(d) for d in range(rank)), quelt.tolist(got))
        self.assertEqual(found[:2], (dtype, tuple(shape)), "case {}".format(case))
        self.assertTrue(self.same(found[2], shaped(values, shape) if shape else values[0]),
                        "case {}: {:.300} != {:.300}".format(case, repr(found[2]), repr(values)))

    def expect(self, convert, leaves, dtype, errors=()):
        """The outcome the reference predicts: the earlier refusal wins, then the first element's."""
        for error in errors:
            if error:
                return error
        try:
            return dtype, [convert(v) for v in leaves]
        except Refused as refused:
            return refused.args[0]

    def test_nested_lists(self):
        random.seed(SEED)
        for case in range(CASES):
            shape = [random.randint(0, 3) for _ in range(random.choice([0, 1, 1, 2, 2, 3]))]
            shape = shape[:shape.index(0) + 1] if 0 in shape else shape  # no items show the depth below
            value = nested(shape, random_number)
            while isinstance(value, bytes):  # bytes alone are raw elements: test_raw_bytes
                value = random_number()
            leaves = flat(value, len(shape))
            ragged = len(shape) > 0 and shape[0] > 1 and random.random() < 0.1
            if ragged:
                value = list(value)
                value[-1] = 0 if len(shape) > 1 else [value[-1]]
            dtype = random.choice([None] + list(DTYPES))
            try:
                inferred_type, refused = dtype or inferred(leaves), None
            except Refused as error:
                inferred_type, refused = "float64", error.args[0]
            if ragged:
                expected = ValueError
            elif inferred_type == "string":
                expected = ("string", shape, [v if isinstance(v, str) else v.decode("utf-8", "surrogateescape")
                                              for v in leaves])
            else:
                outcome = self.expect(lambda v: python_element(v, inferred_type), leaves, inferred_type, [refused])
                expected = outcome if not isinstance(outcome, tuple) else (inferred_type, shape, outcome[1])
            self.check(case, lambda: quelt.tensor(value, dtype=dtype), expected)
            if len(shape) == 1 and not ragged and dtype not in (None, "string", "complex64", "complex128"):
                feeds = dict(self.empty, **{"in_" + dtype: value})
                self.check(case, lambda: self.session.run(feeds, ["out_" + dtype])["out_" + dtype], expected)
            # No rows: a matrix's row length is unknown.
            if len(shape) == 1 or len(shape) == 2 and shape[0] > 0:
                if not ragged and (dtype in LETTERS or dtype is None):
                    letter = dtype or ("complex128" if any(map(is_complex, leaves)) else "float64")
                    outcome = self.expect(lambda v: python_element(v, letter), leaves, letter)
                    expected = outcome if not isinstance(outcome, tuple) else (LETTERS[letter], shape, outcome[1])
                    make = quelt.vector if len(shape) == 1 else quelt.matrix
                    self.check(case, lambda: make(value, dtype), expected)

    def test_buffers(self):
        random.seed(SEED + 1)
        for case in range(CASES):
            exporter, source, shape, elements = random_buffer()
            dtype = random.choice([None, None] + list(DTYPES))
            target = dtype or source
            format_error = TypeError if source is None else None
            outcome = self.expect(lambda x: buffer_element(x, source, target), elements, target,
                                  [format_error, not converts(source, target) and TypeError])
            expected = outcome if not isinstance(outcome, tuple) else (target, shape, outcome[1])
            self.check(case, lambda: quelt.tensor(exporter, dtype=dtype), expected)
            # A feed's buffer holds the input's own element type (bfloat16's bits as uint16): no conversion.
            if len(shape) == 1 and dtype not in (None, "complex64", "complex128"):
                if source == dtype:
                    fed = self.expect(bool, [], dtype, [format_error]) if format_error else (dtype, shape, elements)
                elif (source, dtype) == ("uint16", "bfloat16"):
                    fed = (dtype, shape, [bfloat16_bits(x) for x in elements])
                else:
                    fed = TypeError
                feeds = dict(self.empty, **{"in_" + dtype: exporter})
                self.check(case, lambda: self.session.run(feeds, ["out_" + dtype])["out_" + dtype], fed)
            if dtype in LETTERS or dtype is None:
                letter = dtype or (source if source in LETTERS else None)
                rank = random.choice([1, 2])
                errors = [format_error, letter is None and TypeError, len(shape) != rank and ValueError,
                          letter and not converts(source, letter) and TypeError]
                outcome = self.expect(lambda x: buffer_element(x, source, letter), elements, letter, errors)
                expected = outcome if not isinstance(outcome, tuple) else (LETTERS[letter], shape, outcome[1])
                make = quelt.vector if rank == 1 else quelt.matrix
                self.check(case, lambda: make(exporter, dtype), expected)

    def test_raw_bytes(self):
        random.seed(SEED + 2)
        for case in range(CASES // 4):
            dtype = random.choice(list(DTYPES))
            raw = bytes(random.getrandbits(8) for _ in range(random.randint(0, 40)))
            code = DTYPES[dtype][1]
            kind = DTYPES[dtype][0]
            size = 2 if code is None else struct.calcsize("<" + code) * (2 if kind == "complex" else 1)
            if len(raw) % size:
                expected = ValueError
            else:
                values = []
                for at in range(0, len(raw), size):
                    if dtype == "bfloat16":
                        values.append(bfloat16_bits(struct.unpack_from("<H", raw, at)[0]))
                    elif kind == "complex":
                        values.append(complex(*struct.unpack_from("<2" + code, raw, at)))
                    else:
                        value = struct.unpack_from("<" + code, raw, at)[0]
                        values.append(float(value) if kind == "real" else value)
                expected = (dtype, [len(values)], values)
            data = raw if random.random() < 0.5 else bytearray(raw)
            self.check(case, lambda: quelt.tensor(data, dtype=dtype), expected)
            if dtype in LETTERS:
                shaped_expected = expected if not isinstance(expected, tuple) else (LETTERS[dtype],) + expected[1:]
                self.check(case, lambda: quelt.vector(data, dtype), shaped_expected)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1].isdigit():
        SEED = int(sys.argv.pop(1))
        if len(sys.argv) > 1 and sys.argv[1].isdigit():
            CASES = int(sys.argv.pop(1))
    unittest.main()
