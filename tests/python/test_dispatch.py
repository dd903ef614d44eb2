"""The fast dispatch against pybind11's ordered chain: the same choice and the same outcome.

dispatch_battery.py calls every registered overload of every module function with matching
and mismatching shapes, every kind of scalar, other element types, too few arguments,
keywords, subclass instances and uninitialised ones, and writes what each call returned or
raised and what its operands hold afterwards. It runs once under this build's module and once
under the copy built without the fast dispatch; the two transcripts must be identical. quelt's
functions, registered from the same loops with their own fast dispatch, must write the same
transcript as queltcore's.
"""
import collections
import ctypes
import json
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHAIN_DIR = os.environ.get("QUELT_CHAIN_MODULE_DIR")
COUNTS = {"scale": 12, "sum": 36, "dot": 36, "copy": 36, "swap": 36, "axpy": 36, "hdot": 18, "ls": 12,
          "gemv": 108, "matvec": 108, "gemm": 4, "matmul": 4}


def transcript(module_dir, seed, functions="queltcore", *imports):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, os.environ.get("QUELT_TEST_MODULE_DIR", "")]))
    result = subprocess.run([sys.executable, os.path.join(HERE, "dispatch_battery.py"), str(seed), functions]
                            + list(imports),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env)
    if result.returncode != 0:
        raise AssertionError("battery failed under %s:\n%s" % (module_dir, result.stderr))
    return result.stdout.splitlines()


def entry_point(function):
    """The C function behind a built-in function object (its method table's ml_meth)."""
    method_def = ctypes.c_void_p.from_address(id(function) + 2 * ctypes.sizeof(ctypes.c_void_p)).value
    return ctypes.c_void_p.from_address(method_def + ctypes.sizeof(ctypes.c_void_p)).value


@unittest.skipIf(CHAIN_DIR is None, "QUELT_CHAIN_MODULE_DIR names no ordered-chain build")
class FastDispatchTest(unittest.TestCase):
    def test_same_outcomes_as_the_ordered_chain(self):
        for seed in (1, 2):
            with self.subTest(seed=seed):
                fast = transcript(os.path.dirname(os.path.dirname(CHAIN_DIR + "/")), seed)
                chain = transcript(CHAIN_DIR, seed)
                self.assertEqual(len(fast), len(chain))
                for fast_line, chain_line in zip(fast, chain):
                    self.assertEqual(fast_line, chain_line)

    def test_quelt_functions_have_the_same_outcomes(self):
        build = os.path.dirname(CHAIN_DIR)
        for seed in (1, 2):
            with self.subTest(seed=seed):
                self.assertEqual(transcript(build, seed, "quelt"), transcript(build, seed))

    def test_quelt_refusals_follow_another_module_s_translator(self):
        # quelt raises plain refusals itself only while pybind11's default translator is the one
        # registered; a translator that another module adds, after quelt is imported, applies to
        # quelt's refusals as to the core's.
        build = os.path.dirname(CHAIN_DIR)
        translated = transcript(build, 1, "queltcore", "translator_probe")
        self.assertIn("translated: In gemv expression", "\n".join(translated))
        self.assertEqual(transcript(build, 1, "quelt", "translator_probe"), translated)

    def test_battery_reaches_every_overload(self):
        import dispatch_battery
        for name, count in COUNTS.items():
            self.assertEqual(len(dispatch_battery.overloads(name)), count, name)
        # Six calls per overload, three on shapes that agree, so each overload is called and
        # most succeed; gemv and matvec refuse the two thirds of their overloads whose A is
        # not a matrix.
        lines = [json.loads(line) for line in transcript(os.path.dirname(CHAIN_DIR), 1)]
        calls = collections.Counter(line[0] for line in lines if isinstance(line[1], list))
        succeeded = collections.Counter(line[0] for line in lines
                                        if isinstance(line[1], list) and line[1][0] != "raised")
        for name, count in COUNTS.items():
            self.assertGreaterEqual(calls[name], 6 * count, name)
            self.assertGreaterEqual(succeeded[name], count if name in ("gemv", "matvec") else 3 * count, name)

    def test_fast_entry_is_installed_only_in_the_module(self):
        # Not a comparison of two identical things: the module's functions enter through the
        # fast front end, the reference copy's through pybind11's dispatcher like any method.
        script = ("import ctypes, queltcore as q\n"
                  "from test_dispatch import entry_point\n"
                  "plain = entry_point(q.vecs.__dict__['numel'].__func__)\n"
                  "print(sum(entry_point(getattr(q, n)) != plain for n in %r))"
                  % (sorted(COUNTS),))
        counts = {}
        for label, folder in (("fast", os.path.dirname(CHAIN_DIR)), ("chain", CHAIN_DIR)):
            env = dict(os.environ, PYTHONPATH=os.pathsep.join([folder, HERE]))
            output = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                    universal_newlines=True, env=env, check=True).stdout
            counts[label] = int(output)
        self.assertEqual(counts, {"fast": len(COUNTS), "chain": 0})

    def test_quelt_functions_enter_through_a_front_end_of_their_own(self):
        import quelt
        import queltcore as q
        plain = entry_point(q.vecs.__dict__["numel"].__func__)
        core = {entry_point(getattr(q, n)) for n in COUNTS}
        own = {entry_point(getattr(quelt, n)) for n in COUNTS}
        self.assertEqual(len(own), len(COUNTS))
        self.assertFalse(own & (core | {plain}))

    def test_function_objects_look_the_same(self):
        script = ("import queltcore as q\n"
                  "for n in %r:\n"
                  " f = getattr(q, n)\n"
                  " print(repr((type(f).__name__, f.__name__, f.__module__, f.__doc__, f.__qualname__)))"
                  % (sorted(COUNTS),))
        outputs = []
        for folder in (os.path.dirname(CHAIN_DIR), CHAIN_DIR):
            env = dict(os.environ, PYTHONPATH=folder)
            outputs.append(subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                          universal_newlines=True, env=env, check=True).stdout)
        self.assertEqual(outputs[0], outputs[1])
        self.assertIn("builtin_function_or_method", outputs[0])


if __name__ == "__main__":
    unittest.main()
