"""Models made and dropped again and again, loaded or refused, run or failing: the process must
end each round holding no more heap memory and no more open files than before.

Every construction owns a runtime environment, a session, an allocator, tensors and name
copies, and a construction that fails part-way must give back what it took. A round makes and
drops one model of every test model, and fails to make one of every refused kind; after some
warm-up rounds (the runtime keeps a few things for the life of the process), further rounds
must leave the heap where it was, give or take allocator noise far below what one lost model
costs, and the open file descriptors exactly where they were.

    test_model_lifetime.py --rounds N

runs N rounds and prints what the heap and the descriptors did, for a longer look or for a
run under a leak checker.
"""
import argparse
import contextlib
import ctypes
import os
import re
import sys
import tempfile
import unittest

import queltcore as q
from support import quiet_stdout

MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "models")
LIBC = ctypes.CDLL(None)

# A lost model of the smallest kind costs far more than this (its session alone); ordinary
# allocator noise over the measured rounds stays well below.
HEAP_SLACK = 256 * 1024
# A line of the runtime's log: its error lines are coloured and stamped.
RUNTIME_LOG = re.compile(r"^(\x1b\[1;31m)?\d{4}-\d\d-\d\d [\d:.]+ \[E:onnxruntime:")


def path(name):
    return os.path.join(MODELS, name + ".onnx")


# The error messages of the refused models, as the runtime or the module gives them.
MISSING = path("no_such_model")
REFUSED = {
    "bfloat_input": "Unsupported datatype 'ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16'",
    "half_output": "Unsupported datatype 'ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16'",
    "sequence_input": "input 0 'items' is not a tensor",
    "sequence_output": "output 0 'items' is not a tensor",
}


def sanitized():
    """Whether this process runs with AddressSanitizer, which keeps its own count of the heap."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


SANITIZED = sanitized()


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap_in_use():
    """Bytes of heap the program holds: the C library's count, or the sanitizer's own."""
    if SANITIZED:
        allocated = LIBC.__sanitizer_get_current_allocated_bytes
        allocated.restype = ctypes.c_size_t
        return allocated()
    mallinfo2 = LIBC.mallinfo2
    mallinfo2.restype = Mallinfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def open_descriptors():
    return sorted(os.listdir("/proc/self/fd"))


@contextlib.contextmanager
def runtime_log_dropped():
    """Keeps the runtime's own log of a failing run, written to file descriptor 2, out of the
    test's output; whatever else is written there in the meantime is passed on."""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as captured:
        os.dup2(captured.fileno(), 2)
        try:
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            captured.seek(0)
            lines = captured.read().decode(errors="replace").splitlines(keepends=True)
            others = [line for line in lines if not RUNTIME_LOG.search(line) and line.strip() != "\x1b[m"]
            sys.stderr.write("".join(others))


def expect_refusal(call, message):
    try:
        call()
    except RuntimeError as error:
        if message is not None and str(error) != message:
            raise AssertionError("refused with %r, expected %r" % (str(error), message))
    else:
        raise AssertionError("not refused, expected %r" % (message,))


def one_round():
    """Makes, uses and drops one model of each kind; fails to make each refused kind."""
    model = q.model(path("copy"))
    model.set(0, [0, 0], 1.5)
    model.set(0, [0, 1], -2.0)
    model.run()
    if (model.get(0, [0, 0]), model.get(0, [0, 1])) != (1.5, -2.0):
        raise AssertionError("copy model gave the wrong result")
    # Refused element access and a failing run leave nothing behind either.
    expect_refusal(lambda: model.get(0, [0, 2]), "invalid location range")
    expect_refusal(lambda: model.set(1, [0, 0], 1.0), "index 1 exceeds max number of inputs 1")
    del model

    model = q.model(path("scalar"))
    model.set(0, [], 2.0)
    model.run()
    if model.get(0, []) != 6.0:
        raise AssertionError("scalar model gave the wrong result")
    del model

    model = q.model(path("reshape_by_value"))
    for k in range(4):
        model.set(0, [k], float(k))
    model.set(1, [0], 3.0)
    model.set(1, [1], 3.0)
    with runtime_log_dropped():
        expect_refusal(model.run, None)
    del model

    for name in ("reshape", "mixed", "constant", "classifier"):
        model = q.model(path(name))
        del model
    # Two alive at once, dropped in the order they were made.
    first, second = q.model(path("copy")), q.model(path("copy"))
    del first, second

    expect_refusal(lambda: q.model(MISSING),
                   "Load model from %s failed:Load model %s failed. File doesn't exist" % (MISSING, MISSING))
    expect_refusal(lambda: q.model(path("dynamic")), None)
    for name, message in REFUSED.items():
        expect_refusal(lambda: q.model(path(name)), message)


def rounds(count):
    with quiet_stdout():
        for _ in range(count):
            one_round()


class ModelLifetimeTest(unittest.TestCase):
    WARM_UP = 5
    MEASURED = 100

    def test_rounds_keep_no_memory_and_no_descriptors(self):
        rounds(self.WARM_UP)
        descriptors, heap = open_descriptors(), heap_in_use()
        rounds(self.MEASURED)
        grown = heap_in_use() - heap
        self.assertEqual(open_descriptors(), descriptors)
        self.assertLess(grown, HEAP_SLACK, "the heap grew by %d bytes over %d rounds" % (grown, self.MEASURED))

    def test_the_measure_sees_a_lost_model(self):
        # The same measure, with one model per round kept alive: it must notice.
        rounds(self.WARM_UP)
        heap = heap_in_use()
        kept = []
        with quiet_stdout():
            for _ in range(10):
                kept.append(q.model(path("copy")))
        self.assertGreater(heap_in_use() - heap, HEAP_SLACK)


def main():
    parser = argparse.ArgumentParser(description="Makes and drops models; reports heap and descriptors.")
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--warm-up", type=int, default=5)
    options = parser.parse_args()
    rounds(options.warm_up)
    descriptors, heap = open_descriptors(), heap_in_use()
    rounds(options.rounds)
    print("%d rounds: heap %+d bytes, open descriptors %d -> %d"
          % (options.rounds, heap_in_use() - heap, len(descriptors), len(open_descriptors())))


if __name__ == "__main__":
    main()
