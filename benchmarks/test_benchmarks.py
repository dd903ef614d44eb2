"""Tests of the benchmark's own logic: the timing loop, the operand shapes, the report's
reading of Google Benchmark, its ratios and verdicts; under the system's Python 3 the peers'
calls; and, where queltcore and queltfloor can be imported (CPython 3.7 with build-bench on the
path), the harness's view of the overloads, its operands and the models. Nothing here is timed.

    /usr/bin/python3 -m unittest discover -s benchmarks -p 'test_*.py'
    PYTHONPATH=build-bench:build-bench/benchmarks python3.7 -m unittest discover -s benchmarks -p 'test_*.py'
"""
import array
import json
import os
import statistics
import subprocess
import tempfile
import unittest

import cases
import report
import report_operations
import timing

HERE = os.path.dirname(os.path.abspath(__file__))


class FakeLoop:
    """A callable with a fixed cost per call that records every block it is asked for."""

    def __init__(self, label, per_call, log):
        self.label, self.per_call, self.log = label, per_call, log

    def __call__(self, number):
        self.log.append((self.label, number))
        return number * self.per_call


class TimingTest(unittest.TestCase):
    def measure(self, costs, block, repeats, budget=None):
        log = []
        entries = {label: FakeLoop(label, cost, log) for label, cost in costs.items()}
        return timing.measure(entries, block, repeats, budget=budget), log

    def test_blocks_take_turns_in_alternating_order(self):
        result, log = self.measure({"a": 1e-4, "b": 3e-3}, 0.01, 4)
        timed = log[-8:]
        self.assertEqual([label for label, _ in timed], ["a", "b", "b", "a", "a", "b", "b", "a"])
        for label, cost in (("a", 1e-4), ("b", 3e-3)):
            numbers = {n for l, n in timed if l == label}
            self.assertEqual(numbers, {result[label]["calls"]})
            # The calibrated block is the first whole number of calls that fills it.
            self.assertGreaterEqual(result[label]["calls"] * cost, 0.01 * (1 - 1e-9))
            self.assertLess((result[label]["calls"] - 1) * cost, 0.01)
            self.assertEqual(len(result[label]["blocks"]), 4)
            for value in result[label]["blocks"] + [result[label]["median"]]:
                self.assertAlmostEqual(value, cost, delta=cost * 1e-9)

    def test_a_call_longer_than_the_block_is_timed_once_per_block(self):
        result, log = self.measure({"long": 0.5}, 0.005, 3)
        self.assertEqual(result["long"]["calls"], 1)
        # One warming call, then the three blocks: no further calibration.
        self.assertEqual(log, [("long", 1)] * 4)

    def test_a_slow_first_call_does_not_calibrate(self):
        # The first call faults its memory in: four times what every later call costs, or
        # more than a whole block.
        for first in (3e-3, 3e-2):
            calls = []

            def loop(number):
                calls.append(number)
                return number * 1e-3 + (first if len(calls) == 1 else 0.0)

            result = timing.measure({"a": loop}, 0.01, 3)
            self.assertEqual((result["a"]["calls"], result["a"]["median"]), (10, 1e-3), first)

    def test_settled_blocks_follow_an_untimed_block(self):
        log = []
        result = timing.measure({"a": FakeLoop("a", 1e-3, log), "b": FakeLoop("b", 2e-3, log)}, 0.01, 2,
                                settle=True)
        self.assertEqual(log[-8:], [("a", 10), ("a", 10), ("b", 5), ("b", 5), ("b", 5), ("b", 5), ("a", 10), ("a", 10)])
        self.assertEqual(result["a"]["blocks"], [1e-3, 1e-3])

    def test_a_budget_cuts_rounds_but_keeps_five(self):
        result, _ = self.measure({"a": 0.2, "b": 0.2}, 0.005, 25, budget=0.5)
        self.assertEqual(len(result["a"]["blocks"]), 5)
        result, _ = self.measure({"a": 1e-5, "b": 1e-5}, 0.005, 25, budget=0.5)
        self.assertEqual(len(result["a"]["blocks"]), 25)

    def test_paired_ratio_cancels_what_both_rounds_share(self):
        # The second round ran ten times slower for both; the ratio of medians would say 2.
        first = {"blocks": [1.0, 10.0, 2.0]}
        second = {"blocks": [1.0, 10.0, 1.0]}
        self.assertEqual(timing.paired_ratio(first, second), 1.0)
        self.assertEqual(statistics.median(first["blocks"]) / statistics.median(second["blocks"]), 2.0)


class ShapesTest(unittest.TestCase):
    """The operands made for each family must be ones the operation accepts."""

    def test_matrix_families_get_agreeing_shapes(self):
        for m, n in cases.MATRIX_SIZES + [(1, 1), (5, 2)]:
            (am, an), (xm, xn), (ym, yn) = cases.operand_shapes("gemv", (m, n))
            self.assertEqual((xm * xn, ym * yn), (an, am))
            (am, an), (xm, xn), (ym, yn) = cases.operand_shapes("gemm", (m, n))
            self.assertEqual((an, ym, yn), (xm, am, xn))
            (am, an), (bm, bn) = cases.operand_shapes("ls", (m, n))
            self.assertEqual(bm * bn, max(am, an))

    def test_vector_families_get_equal_lengths(self):
        for family in cases.VECTOR_FAMILIES:
            shapes = cases.operand_shapes(family, 16)
            self.assertEqual(shapes, [(16, 1)] * (1 if family == "scale" else 2))

    def test_scalars_match_the_overloads(self):
        for family in cases.FAMILIES:
            for letter in cases.LETTERS:
                for value in cases.scalars(family, letter):
                    self.assertIsInstance(value, complex if letter in "cz" else float)
            ints = cases.int_scalars(family)
            if ints is not None:
                self.assertEqual(len(ints), len(cases.scalars(family, "d")))
                self.assertTrue(all(type(v) is int for v in ints))

    def test_no_operand_value_lets_blas_return_early(self):
        for letter in cases.LETTERS:
            self.assertNotIn(cases.operand_value(letter), (0, 1))
            self.assertNotIn(0, cases.scalars("scale", letter) + cases.scalars("axpy", letter))
            self.assertNotIn(1, cases.scalars("scale", letter))


def stat(value, blocks=None):
    return {"median": value, "blocks": blocks or [value] * 5}


def synthetic_run(small=0.8, gemm=1.0, gemv=1.0, axpy=1.0, access=1.2, run_ratio=1.0, compute=5e-3, package=1.05,
                  two_threads=0.55, pause=0.004):
    """A Run with made-up figures: every ratio that a target looks at is given."""
    run = report.Run.__new__(report.Run)
    # One overload per name, all well within the floor but the second one of gemv.
    sweep = {name: [{"position": 1, "types": ["vecd"], "refused": False,
                     "module": stat(0.5e-6), "floor": stat(1e-6), "quelt": stat(0.5e-6)}] for name in cases.FAMILIES}
    sweep["gemv"].append({"position": 2, "types": ["float", "float", "matd", "vecd", "vecd"], "refused": False,
                          "module": stat(small * 1e-6), "floor": stat(1e-6), "quelt": stat(small * 1e-6 * package)})
    run.chain = {"sweep": sweep}
    run.module = {
        "sweep": sweep,
        "model": {"set": stat(access * 1e-6), "floor-set": stat(1e-6),
                  "get": stat(1e-6), "floor-get": stat(1e-6)},
        "tables": {
            "ls/d/2x3": {"module-first": stat(5e-6), "restore-first": stat(1e-6),
                         "floor-last": stat(6e-6), "restore-last": stat(2e-6)},
        },
    }
    run.peers = {"tables": {"ls/d/2x3": {"numpy": stat(9e-6), "scipy": stat(4e-6), "scipy-restore": stat(1e-6)}}}
    run.cpp = {"latency/ls/d/2x3": {"time": 3e-6}, "latency/ls-restore/d/2x3": {"time": 1e-6}}
    ratios = {"gemm": gemm, "gemv": gemv, "axpy": axpy}
    run.module_large = {"throughput": {}, "model": {"compute/run": {
        "run": stat(compute * run_ratio), "direct": stat(compute)}}}
    run.cpp_large = {"model/compute/run": {"time": compute}}
    run.peers_large = {"throughput": {}}
    for family, n in cases.TARGET_LARGE:
        for letter in cases.LETTERS:
            key = "%s/%s/%d" % (family, letter, n)
            # Round by round the ratio is exact; the medians alone would hide a drift.
            direct = [1e-3, 2e-3, 1e-3, 3e-3, 1e-3]
            run.module_large["throughput"][key] = {
                "module": stat(1e-3 * ratios[family], [d * ratios[family] for d in direct]),
                "direct": stat(1e-3, direct)}
            run.cpp_large["throughput/" + key] = {"time": 1e-3}
    run.quelt = synthetic_quelt()
    pair_ = {"ratio": two_threads, "two_threads": two_threads, "one_after_the_other": 1.0, "rounds": [two_threads] * 5}
    run.threads = {"gemm/d/1024": pair_, "ls/d/2000x500": pair_, "gemv/d/4096": pair_,
                   "pause": {"n": 1800, "quelt": {"pause": pause, "call": 1.0}, "queltcore": {"pause": 1.0, "call": 1.0}}}
    run.serving = synthetic_serving()
    return run


def synthetic_serving(first_faults=(977, 0), worst_cancel=0.02):
    """The serving phase's figures for the report: into at every size, cancellation latencies."""
    into = {str(n): {"run": stat(2e-4), "into": stat(1.9e-4), "faults": {"run": 0.0, "into": 0.0},
                     "first-run-faults": {"run": first_faults[0], "into": first_faults[1]}} for n in cases.INTO_SIZES}
    latencies = [0.005] * 19 + [worst_cancel]
    return {"not_measured": {}, "into": into, "cancel": {"alone": 1.0, "after": 0.05, "latencies": latencies,
                                                         "median": 0.005, "max": worst_cancel}}


def pair(ratio, base=1e-3, **others):
    """Two labels of one measurement whose blocks keep the given ratio round by round while the
    machine's speed drifts."""
    drift = [1.0, 3.0, 1.0, 2.0, 1.0]
    return {label: stat(base * r, [base * r * d for d in drift]) for label, r in others.items()} or None


def synthetic_quelt(vector=1.1, matrix_columns=1.2, matrix_rows=1.4, tiny=1.8, compute=1.02, threads=0.55,
                    growth=0.0, copy=400e-6, missing=()):
    """quelt-module.json with made-up figures; the parts in `missing` not measured."""
    feeds = {}
    for n in cases.FEED_SIZES:
        direct = 2e-6
        run = direct + 10e-6 + (growth if n == cases.FEED_SIZES[-1] else 0.0)
        feeds[str(n)] = {"session": {"run": stat(run), "direct": stat(direct)},
                         "model": {"set": stat(0.4e-6 * n), "inputs": stat(3e-6)}}
    feeds[str(cases.FEED_SIZES[-1])]["copy"] = {"memcpy": stat(copy)}
    python = {"tolist": stat(20e-3), "loop-fill": stat(0.2), "loop-read": stat(0.1)}
    parts = {
        "exchange/vector": {"buffers": pair(1, memory=vector, vector=1.0, bytes=1.0, **{"fill-memcpy": 1.0,
                                                                                       "read-memcpy": 1.0}),
                            "python": python},
        "exchange/matrix": {"buffers": pair(1, **{"matrix-columns": matrix_columns, "matrix-rows": matrix_rows,
                                                  "bytes": 1.0, "fill-memcpy": 1.0, "read-memcpy": 1.0}),
                            "python": python},
        "exchange/model": {"buffers": pair(1, inputs=1.0, memcpy=1.0), "python": {"loop-set": stat(0.4)}},
        "session/models": {"tiny": pair(1, base=1e-6, run=tiny, direct=1.0),
                           "compute": pair(1, base=5e-3, run=compute, direct=1.0)},
        "session/feeds": feeds,
        "session/threads": pair(1, base=20e-3, **{"side-by-side": threads, "in-turn": 1.0}),
    }
    found = {"exchange": {}, "session": {}, "not_measured": {}}
    for part, data in parts.items():
        group, name = part.split("/")
        if part in missing:
            found["not_measured"][part] = "this build's quelt has no " + name
        else:
            found[group][name] = data
    return found


class ReportTest(unittest.TestCase):
    def verdicts(self, worst_int=0.5, quelt=None, **figures):
        """The core's seven verdicts, the quelt package's seven, and quelt's operations' three."""
        run = synthetic_run(**figures)
        if quelt is not None:
            run.quelt = synthetic_quelt(**quelt)
        _, worst = report.sweep_rows(run)
        found = [met for _, _, met in report.targets(run, worst, worst_int)]
        self.assertEqual(len(found), 19)
        return found[:7] if quelt is None else found[7:14]

    def test_every_target_met(self):
        self.assertEqual(self.verdicts(), [True] * 7)
        self.assertEqual(self.verdicts(quelt={}), [True] * 7)

    def test_each_target_fails_on_its_own(self):
        self.assertEqual(self.verdicts(small=1.51), [False] + [True] * 6)
        self.assertEqual(self.verdicts(worst_int=1.51), [False] + [True] * 6)
        self.assertEqual(self.verdicts(gemm=1.031), [True, False] + [True] * 5)
        self.assertEqual(self.verdicts(gemv=1.04), [True, True, False] + [True] * 4)
        self.assertEqual(self.verdicts(axpy=1.05), [True] * 3 + [False] + [True] * 3)
        self.assertEqual(self.verdicts(access=2.01), [True] * 4 + [False, True, True])
        self.assertEqual(self.verdicts(run_ratio=1.06), [True] * 6 + [False])

    def test_the_bounds_themselves_are_met(self):
        self.assertEqual(self.verdicts(small=1.5, gemm=1.03, access=2.0, run_ratio=1.05), [True] * 7)

    def test_each_package_target_fails_on_its_own(self):
        cases_ = [({"vector": 1.51}, 0), ({"matrix_columns": 1.6}, 1), ({"matrix_rows": 1.6}, 2),
                  ({"tiny": 2.01}, 3), ({"compute": 1.051}, 4), ({"growth": 101e-6}, 5), ({"threads": 0.61}, 6)]
        for figures, failing in cases_:
            expected = [True] * 7
            expected[failing] = False
            self.assertEqual(self.verdicts(quelt=figures), expected, figures)
        # The bounds themselves; a cost above the direct call that shrinks with the size.
        self.assertEqual(self.verdicts(quelt={"vector": 1.5, "tiny": 2.0, "threads": 0.6, "growth": 99e-6}),
                         [True] * 7)
        self.assertEqual(self.verdicts(quelt={"growth": -5e-6}), [True] * 7)

    def test_each_operations_target_fails_on_its_own(self):
        for figures, failing in (({"package": 1.11}, 0), ({"two_threads": 0.61}, 1), ({"pause": 0.011}, 2)):
            run = synthetic_run(**figures)
            found = report.targets(run, report.sweep_rows(run)[1], 0.5)[14:17]
            self.assertEqual([met for _, _, met in found], [i != failing for i in range(3)], figures)
        run = synthetic_run(package=1.1, two_threads=0.6, pause=0.01)
        self.assertEqual([met for _, _, met in report.targets(run, report.sweep_rows(run)[1], 0.5)[14:17]], [True] * 3)
        # Rounds that ran slow for both calls are paired off: the ratio of medians would be 1.58.
        drift = synthetic_run(package=1.0)
        drift.module["sweep"]["gemv"][1].update(module=stat(2.4e-6, [2.4e-6, 4.0e-6, 3.9e-6, 2.9e-6, 2.3e-6, 2.4e-6, 2.3e-6]),
                                                quelt=stat(3.8e-6, [3.8e-6, 3.9e-6, 3.9e-6, 3.9e-6, 2.4e-6, 2.4e-6, 2.5e-6]))
        self.assertAlmostEqual(report_operations.worst_against_core(drift)[0][0], 2.4 / 2.3)
        # gemv's second overload is the worst of the 13 against the core.
        self.assertIn("worst of 13 overloads 1.11 x (`gemv` #2", report.targets(
            synthetic_run(package=1.11), report.sweep_rows(run)[1], 0.5)[14][1])
        self.assertIn("loop: 10.0 ms with quelt's (a 1.000 s call), 1.000 s with queltcore's",
                      report_operations.section(run, run.threads, report.duration, report.table))
        run.threads = None
        self.assertEqual([met for _, _, met in report.targets(run, report.sweep_rows(run)[1], 0.5)[14:-2]],
                         [True, None])

    def test_each_serving_target_fails_on_its_own(self):
        for figures, verdicts in (({}, [True, True]), ({"first_faults": (977, 977)}, [False, True]),
                                  ({"worst_cancel": 0.101}, [True, False]), ({"worst_cancel": 0.1}, [True, True])):
            run = synthetic_run()
            run.serving = synthetic_serving(**figures)
            found = report.targets(run, report.sweep_rows(run)[1], 0.5)[17:]
            self.assertEqual([met for _, _, met in found], verdicts, figures)
        run.serving = {"not_measured": {"cancel": "this build's quelt has no Cancel"}}
        found = report.targets(run, report.sweep_rows(run)[1], 0.5)[17:]
        self.assertEqual([(measured, met) for _, measured, met in found],
                         [("not measured: not measured", None), ("not measured: this build's quelt has no Cancel", None)])
        self.assertIn("median 5.000 ms, worst 20.0 ms", report.serving_section(synthetic_run()))

    def test_a_part_not_measured_says_why_and_has_no_verdict(self):
        run = synthetic_run()
        run.quelt = synthetic_quelt(missing=("exchange/matrix", "session/feeds"))
        found = report.targets(run, report.sweep_rows(run)[1], 0.5)[7:14]
        self.assertEqual([met for _, _, met in found], [True, None, None, True, True, None, True])
        self.assertEqual(found[1][1], "not measured: this build's quelt has no matrix")
        self.assertEqual(report.verdict(None), "**not measured**")
        section = report.package_section(run)
        self.assertIn("| matd, 1000 x 1000 | – | not measured: this build's quelt has no matrix |", section)
        self.assertIn("#### Input length\n\nNot measured: this build's quelt has no feeds.", section)

    def test_package_ratios_are_paired_and_the_growth_is_read(self):
        run = synthetic_run()
        run.quelt = synthetic_quelt(tiny=1.5, growth=20e-6)
        found = report.targets(run, report.sweep_rows(run)[1], 0.5)[7:]
        # The medians alone would give 1.5 too here; the drift is shared round by round.
        self.assertEqual(found[3][1], "1.500 x (1.500 µs against 1.000 µs)")
        self.assertEqual(found[5][1], "10.0 µs at 1 element(s), 30.0 µs at 1,000,000: grew by 20.0 µs "
                                      "(a `memcpy` of the input: 400 µs)")
        rows = report.exchange_rows(run)
        self.assertEqual(rows[0], ["vecd, 1,000,000 elements", "fill", "`quelt.memory(v)[:] = src`", "1.100 ms",
                                   "1.000 ms", "1.10", "`v[i] = src[i]`: 200 ms", "182"])

    def test_the_worst_overload_is_named(self):
        run = synthetic_run(small=1.2)
        _, measured, _ = report.targets(run, report.sweep_rows(run)[1], 0.5)[0]
        self.assertEqual(measured, "worst of 13 overloads 1.20 x (`gemv` #2 (float, float, matd, vecd, vecd)); "
                                   "worst with int scalars 0.50 x")

    def test_a_model_that_computes_too_briefly_does_not_count(self):
        run = synthetic_run(compute=0.9e-3)
        target, measured, met = report.targets(run, report.sweep_rows(run)[1], 0.5)[6]
        self.assertFalse(met)
        self.assertEqual(measured, "1.000 x (against the C++ floor's separate process: 1.000 x); "
                                   "but the model computed for less than 1 ms")

    def test_ls_times_lose_their_restoring_copies(self):
        run = synthetic_run()
        self.assertAlmostEqual(run.latency(run.module, "ls/d/2x3", "module-first"), 4e-6)
        self.assertAlmostEqual(run.latency(run.module, "ls/d/2x3", "floor-last"), 4e-6)
        self.assertAlmostEqual(run.latency(run.peers, "ls/d/2x3", "scipy"), 3e-6)
        # NumPy's lstsq copies its operands itself: nothing was restored before it.
        self.assertAlmostEqual(run.latency(run.peers, "ls/d/2x3", "numpy"), 9e-6)
        self.assertAlmostEqual(run.cpp_latency("ls/d/2x3"), 2e-6)

    def test_durations_read_in_a_fitting_unit(self):
        self.assertEqual([report.duration(v) for v in (2.5e-8, 1.5e-6, 0.0123, 123.4e-6, 2.0, None)],
                         ["0.025 µs", "1.500 µs", "12.3 ms", "123 µs", "2.000 s", "–"])


class ReadCppTest(unittest.TestCase):
    """Google Benchmark's JSON: the right run, the right clock, the right unit."""

    def read(self, benchmarks):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "out.json")
            with open(path, "w") as out:
                json.dump({"context": {"openblas_corename": "Haswell"}, "benchmarks": benchmarks}, out)
            return report.read_cpp(path)

    def test_the_median_repetition_on_the_cpu_clock(self):
        found, context = self.read([
            {"name": "latency/dot/d/16_mean", "run_name": "latency/dot/d/16", "run_type": "aggregate",
             "aggregate_name": "mean", "real_time": 9.0, "cpu_time": 8.0, "time_unit": "us"},
            {"name": "latency/dot/d/16_median", "run_name": "latency/dot/d/16", "run_type": "aggregate",
             "aggregate_name": "median", "real_time": 7.0, "cpu_time": 2.0, "time_unit": "us"},
            {"name": "peak/read_median", "run_name": "peak/read", "run_type": "aggregate",
             "aggregate_name": "median", "real_time": 30.0, "cpu_time": 29.0, "time_unit": "ms",
             "bytes": 2.9e10},
        ])
        self.assertEqual(context, {"openblas_corename": "Haswell"})
        self.assertEqual(sorted(found), ["latency/dot/d/16", "peak/read"])
        self.assertAlmostEqual(found["latency/dot/d/16"]["time"], 2e-6)
        self.assertAlmostEqual(found["peak/read"]["time"], 29e-3)
        self.assertEqual(found["peak/read"]["bytes"], 2.9e10)

    def test_model_runs_on_the_wall_clock(self):
        found, _ = self.read([
            {"name": "model/compute/run/real_time_median", "run_name": "model/compute/run/real_time",
             "run_type": "aggregate", "aggregate_name": "median", "real_time": 5.0, "cpu_time": 1.0,
             "time_unit": "ms"},
            {"name": "model/tiny/set", "run_name": "model/tiny/set", "run_type": "iteration",
             "real_time": 30.0, "cpu_time": 20.0, "time_unit": "ns"},
        ])
        self.assertAlmostEqual(found["model/compute/run"]["time"], 5e-3)
        self.assertAlmostEqual(found["model/tiny/set"]["time"], 20e-9)


try:
    import peers  # needs NumPy, SciPy and threadpoolctl
except ImportError:  # the peers run under the system's Python 3
    peers = None


@unittest.skipIf(peers is None, "needs NumPy and SciPy")
class PeersTest(unittest.TestCase):
    def test_scipy_calls_work_in_place(self):
        peers.check()

    def test_every_case_has_runnable_statements(self):
        for family in cases.FAMILIES:
            for letter in cases.LETTERS:
                if family not in cases.families(letter):
                    continue
                for statement, namespace in peers.entries_for(family, letter, cases.sizes(family)[0]).values():
                    exec(statement, namespace)


try:
    import harness
except ImportError:  # queltcore and queltfloor are not on the path (or not this interpreter)
    harness = None


@unittest.skipIf(harness is None, "needs queltcore and queltfloor (build-bench) under CPython 3.7")
class HarnessTest(unittest.TestCase):
    COUNTS = {"scale": 12, "sum": 36, "dot": 36, "copy": 36, "swap": 36, "axpy": 36, "hdot": 18, "ls": 12,
              "gemm": 4, "matmul": 4, "matvec": 108, "gemv": 108}

    def test_every_overload_is_read_and_has_a_floor(self):
        for name, count in self.COUNTS.items():
            found = harness.overloads(name)
            self.assertEqual(len(found), count, name)
            for types in found:
                self.assertTrue(hasattr(harness.f, harness.floor_name(name, types)), (name, types))

    def test_first_and_last_overloads(self):
        first, last = harness.first_and_last("gemv", "d")
        self.assertEqual(first, ["float", "float", "matd", "vecd", "vecd"])
        self.assertEqual(last, ["float", "float", "matd", "matd", "matd"])
        self.assertEqual(harness.overloads("gemv").index(first), 27 + 18)
        first, last = harness.first_and_last("hdot", "c")
        self.assertEqual((first, last), (["vecc", "vecc"], ["matc", "matc"]))

    def test_fill_reaches_every_element_of_every_kind(self):
        for n in (1, 2, 7, 64):
            for cls, rows, cols in (("vecs", n, 1), ("viewd", n, 1), ("matc", n, 3), ("matz", 1, n)):
                c = harness.container(cls, rows, cols)
                value = complex(0.5, -2) if cls[-1] in "cz" else 0.5
                harness.fill(c, value)
                self.assertEqual(harness.elements(c), [value] * (rows * cols), (cls, rows, cols))
        # A view fills its own window and nothing around it.
        v = harness.q.vecd(6)
        harness.fill(v[2:5], 3.0)
        self.assertEqual(harness.elements(v), [0.0, 0.0, 3.0, 3.0, 3.0, 0.0])

    def test_ls_is_restored_through_copies_that_fit(self):
        A, B = harness.arguments("ls", ["matd", "viewd"], (2, 3))
        restore, ns = harness.restore_entry([A, B], "d")
        harness.fill(A, 7.0)
        harness.fill(B, 7.0)
        exec(restore, dict(ns, a0=A, a1=B))
        self.assertEqual(harness.elements(A), [1 + 1e-3, 1e-3, 1e-3, 1 + 1e-3, 1e-3, 1e-3])
        self.assertEqual(harness.elements(B), [1e-3] * 3)

    @unittest.skipUnless(os.path.exists("/usr/bin/python3"), "needs the system's Python 3 with onnx")
    def test_the_models_compute_what_they_say(self):
        with tempfile.TemporaryDirectory() as folder:
            made = subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_models.py"), folder],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if made.returncode != 0:
                self.skipTest("the system's Python 3 has no onnx")
            tiny = harness.q.model(os.path.join(folder, "tiny.onnx"))
            tiny.set(0, [0, 0], 1.5)
            tiny.set(0, [0, 1], -4.0)
            tiny.run()
            self.assertEqual([tiny.get(0, [0, 0]), tiny.get(0, [0, 1])], [3.0, -8.0])
            # W = (1/N) J is idempotent (J J = N J), so any chain of products leaves scale W.
            compute = harness.q.model(os.path.join(folder, "compute.onnx"))
            compute.set(0, [0], 2.0)
            compute.run()
            for index in ([0, 0], [383, 0], [17, 383]):
                self.assertAlmostEqual(compute.get(0, index), 2.0 / 384, delta=1e-6)
            # The feed models hand back their input's first element, at a fixed length or any.
            fixed = harness.q.model(os.path.join(folder, "feed-1000.onnx"))
            fixed.set(0, [0], 7.0)
            fixed.set(0, [999], -1.0)
            fixed.run()
            self.assertEqual(fixed.get(0, [0]), 7.0)
            # queltfloor's Run, as quelt.Session configures it, on the caller's memory.
            tiny_input = memoryview(array.array("f", [1.5, -4.0])).cast("B").cast("f", (1, 2))
            for options in ({}, {"threads": 1, "optimization": "disable"}):
                self.assertEqual(harness.f.direct_session_outputs(os.path.join(folder, "tiny.onnx"),
                                                                  {"x": tiny_input}, **options),
                                 [array.array("f", [3.0, -8.0]).tobytes()])
                for n in (1, 5):
                    self.assertEqual(harness.f.direct_session_outputs(
                        os.path.join(folder, "feed.onnx"), {"x": array.array("f", range(3, 3 + n))}, **options),
                        [array.array("f", [3.0]).tobytes()])
            with self.assertRaisesRegex(RuntimeError, "^direct call: a feed is not row-major$"):
                harness.f.direct_session_outputs(os.path.join(folder, "feed.onnx"),
                                                 {"x": memoryview(array.array("f", range(6)))[::2]})

    def test_memcpy_copies_the_bytes_and_refuses_other_sizes(self):
        source = array.array("d", [0.5 * i for i in range(12)])
        target = bytearray(96)
        self.assertGreater(harness.f.direct_memcpy(3, target, source), 0.0)
        self.assertEqual(bytes(target), source.tobytes())
        for wrong, message in ((bytearray(95), "the buffers' sizes differ"),
                               (memoryview(bytearray(192))[::2], "the destination is not contiguous")):
            with self.assertRaisesRegex(RuntimeError, "^direct call: %s$" % message):
                harness.f.direct_memcpy(1, wrong, source)
        self.assertEqual(bytes(target), source.tobytes())

    def test_a_feature_the_build_lacks_is_reported_not_timed(self):
        import package
        with self.assertRaisesRegex(package.NotMeasured, "^this build's quelt has no no_such_name$"):
            package.need("model", "no_such_name")
        with self.assertRaisesRegex(package.NotMeasured, "^quelt.f\\(\\) raised ValueError: bad$"):
            package.attempt("quelt.f()", lambda: (_ for _ in ()).throw(ValueError("bad")))
        with self.assertRaisesRegex(package.NotMeasured, "^wrong result: x$"):
            package.expect(False, "x")

    def test_arguments_fill_every_element(self):
        A, x, y = harness.arguments("matvec", ["viewz", "matz", "vecz"], (2, 3))[0:3]
        self.assertEqual(harness.elements(x), [complex(1e-3, 1e-3)] * 3)
        self.assertEqual(harness.elements(A), [complex(1e-3, 1e-3)] * 6)
        A, b = harness.arguments("ls", ["matd", "viewd"], (3, 2))
        self.assertEqual(harness.elements(A), [1 + 1e-3, 1e-3, 1e-3, 1e-3, 1 + 1e-3, 1e-3])
        self.assertEqual(b.numel(), 3)


if __name__ == "__main__":
    unittest.main()
