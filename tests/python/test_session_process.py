"""quelt.Session seen from outside its process: nothing printed, Ctrl-C stops a long run."""
import os
import signal
import subprocess
import sys
import time
import unittest

MODELS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "models", "session")

QUIET = r"""
import os, sys
import queltcore, quelt
from support import quiet_stdout
models = sys.argv[1]
if sys.argv[2] == "core-first":
    # The core's model sets up the process's one runtime environment with warnings on, and
    # the runtime warns about this model (an initializer among its inputs).
    with quiet_stdout():
        core = queltcore.model(os.path.join(models, "with_default.onnx"))
sys.stderr.write("MARK\n"); sys.stderr.flush()
for level in ("disable", "basic", "all"):
    s = quelt.Session(os.path.join(models, "with_default.onnx"), optimization=level)
    assert s.run({"x": [1, 2]})["y"].tolist() == [11.0, 22.0]
    try:
        quelt.Session(os.path.join(models, "..", "reshape_by_value.onnx")).run({"x": [1, 2, 3, 4], "shape": [3, 3]})
    except RuntimeError:
        pass
"""

INTERRUPT = r"""
import array, os, signal, sys, time
import quelt
session = quelt.Session(os.path.join(sys.argv[1], "slow.onnx"), threads=1)
n = int(sys.argv[2])
if sys.argv[3] == "handler":
    # A handler that does not raise: the stopped run starts again and finishes.
    signal.signal(signal.SIGINT, lambda number, frame: print("handled", flush=True))
x = quelt.tensor(array.array("f", [0.001]) * (n * n), shape=(n, n))
print("running", flush=True)
try:
    session.run({"x": x})
    print("finished")
except KeyboardInterrupt:
    print("interrupted")
print(session.run({"x": [[2.0]]})["y"].tolist())
"""


def child(script, *args, **kwargs):
    here = os.path.dirname(os.path.abspath(__file__))
    return subprocess.Popen([sys.executable, "-c", script, MODELS] + list(args), cwd=here,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, **kwargs)


class Quiet(unittest.TestCase):
    def test_nothing_reaches_stderr_or_stdout(self):
        for order in ("core-first", "session-first"):
            with self.subTest(order=order):
                process = child(QUIET, order)
                out, err = process.communicate(timeout=120)
                self.assertEqual(process.returncode, 0, err)
                before, mark, after = err.partition("MARK\n")
                self.assertEqual((mark, after, out), ("MARK\n", "", ""))
                if order == "core-first":
                    # The check can fail: the same model does make the runtime warn.
                    self.assertIn("Initializer bias appears in graph inputs", before)


class Interrupt(unittest.TestCase):
    def test_ctrl_c_stops_a_run_and_the_session_stays_usable(self):
        for size, mode, expected in (("1024", "default", "interrupted\n[[inf]]\n"),
                                     ("1024", "handler", "handled\nfinished\n[[inf]]\n")):
            with self.subTest(mode=mode):
                process = child(INTERRUPT, size, mode)
                try:
                    self.assertEqual(process.stdout.readline(), "running\n")
                    # The run starts right after the line; a signal that comes before it is
                    # raised when the run begins, and one that comes during it stops it.
                    time.sleep(0.5)
                    process.send_signal(signal.SIGINT)
                    out, err = process.communicate(timeout=60)
                finally:
                    process.kill()
                self.assertEqual((process.returncode, out, err), (0, expected, ""))


if __name__ == "__main__":
    unittest.main()
