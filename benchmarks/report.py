"""Turns one benchmark run (build-bench/bench-results) into docs/benchmarks.md and
docs/benchmarks.png. Runs under the system's Python 3 with matplotlib.

    report.py RESULTS_FOLDER DOCS_FOLDER
"""
import json
import os
import platform
import sys

import cases
import report_operations
from timing import paired_ratio

UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


# ---- reading --------------------------------------------------------------------------------

def read_cpp(path):
    """Google Benchmark's JSON as {name: {"time": seconds, counters...}} and its context.
    Aggregated runs give their median; single runs their own time. Calls that may use the
    runtime's thread pool count on the wall clock, the rest on the thread's CPU clock."""
    data = cases.load(path)
    found = {}
    for entry in data["benchmarks"]:
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") != "median":
            continue
        name = entry.get("run_name", entry["name"])
        if name.endswith("/real_time"):
            name = name[:-len("/real_time")]
        wall = "/run" in name or "/cycle" in name
        record = {"time": entry["real_time" if wall else "cpu_time"] * UNITS[entry["time_unit"]]}
        for counter in ("flops", "bytes"):
            if counter in entry:
                record[counter] = entry[counter]
        found[name] = record
    return found, data["context"]


# ---- formatting -----------------------------------------------------------------------------

def duration(seconds):
    """Seconds in the largest unit that keeps the value at or above one, to four figures at most."""
    if seconds is None:
        return "–"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            break
    value = seconds / scale
    digits = 3 if value < 10 else (1 if value < 100 else 0)
    return "%.*f %s" % (digits, value, unit)


def ratio(value):
    return "–" if value is None else "%.2f" % value


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def describe(types):
    """An overload as the classes of its containers, with its scalars' types."""
    return "(" + ", ".join(types) + ")"


KINDS = {"vec": "vector", "view": "view", "mat": "matrix"}


def kinds(types):
    """An overload's argument kinds, whatever its element type."""
    return "(" + ", ".join("scalar" if t in ("float", "complex") else KINDS[t[:-1]] for t in types) + ")"


def verdict(met):
    """A target's verdict; None where it could not be measured."""
    return "**not measured**" if met is None else "**met**" if met else "**not met**"


# ---- the run's data, gathered ---------------------------------------------------------------

PACKAGE_PARTS = ["exchange/vector", "exchange/matrix", "exchange/model", "session/models", "session/feeds",
                 "session/threads"]


class Run:
    def __init__(self, results):
        self.results = results
        self.module = cases.load(os.path.join(results, "latency-module.json"))
        self.chain = cases.load(os.path.join(results, "latency-chain.json"))
        self.peers = cases.load(os.path.join(results, "latency-peers.json"))
        self.cpp, self.context = read_cpp(os.path.join(results, "cpp-latency.json"))
        self.cpp_large = read_cpp(os.path.join(results, "cpp-throughput.json"))[0]
        self.module_large = cases.load(os.path.join(results, "throughput-module.json"))
        self.peers_large = cases.load(os.path.join(results, "throughput-peers.json"))
        path = os.path.join(results, "quelt-module.json")
        self.quelt = cases.load(path) if os.path.exists(path) else {
            "exchange": {}, "session": {},
            "not_measured": {part: "this run made no measurements of the quelt package" for part in PACKAGE_PARTS}}
        self.threads = report_operations.load(results)

        path = os.path.join(results, "serving-module.json")
        self.serving = cases.load(path) if os.path.exists(path) else {
            "not_measured": {part: "this run made no serving measurements" for part in ("tiny", "into", "cancel")}}

    def serving_part(self, name):
        """One serving measurement ("tiny", "into", "cancel") and, where it was not made, why."""
        found = self.serving.get(name)
        return (found, None) if found is not None else (None, self.serving["not_measured"].get(name, "not measured"))

    def package(self, part):
        """One part of the quelt package's measurements ("exchange/vector", ...) and, where it
        was not measured, why."""
        group, name = part.split("/")
        found = self.quelt[group].get(name)
        if found is None:
            return None, self.quelt["not_measured"].get(part, "not measured in this run")
        return found, None

    def latency(self, source, key, label):
        """A median from one of the Python latency tables; for ls, the restoring copies that
        every call was preceded by are taken off."""
        entry = source["tables"].get(key)
        if entry is None or label not in entry:
            return None
        value = entry[label]["median"]
        if key.startswith("ls/"):
            restore = {"numpy": None, "scipy": "scipy-restore"}.get(label, "restore-" + label.rsplit("-", 1)[-1])
            if restore is not None and restore in entry:
                value -= entry[restore]["median"]
        return value

    def cpp_latency(self, key):
        """The C++ floor's time of the routine; for ls, less the copies that restore its
        operands before every call."""
        if "latency/" + key not in self.cpp:
            return None
        value = self.cpp["latency/" + key]["time"]
        if key.startswith("ls/"):
            value -= self.cpp["latency/ls-restore/" + key[3:]]["time"]
        return value

    def large(self, key):
        """Seconds per call at a large size: the C++ floor, queltcore, the direct call in
        queltcore's process, NumPy, SciPy."""
        module = self.module_large["throughput"][key]
        peer = self.peers_large["throughput"].get(key, {})
        return {"cpp": self.cpp_large["throughput/" + key]["time"], "module": module["module"]["median"],
                "direct": module["direct"]["median"], "ratio": paired_ratio(module["module"], module["direct"]),
                "numpy": peer.get("numpy", {}).get("median"), "scipy": peer.get("scipy", {}).get("median")}

    def peak(self, name):
        entry = self.cpp.get("peak/" + name)
        return None if entry is None else entry.get("flops", entry.get("bytes"))


# ---- sections -------------------------------------------------------------------------------

def machine_section(run):
    cpu = {}
    with open("/proc/cpuinfo") as info:
        for line in info:
            if ":" in line:
                k, v = [s.strip() for s in line.split(":", 1)]
                cpu.setdefault(k, v)
    flags = cpu.get("flags", "").split()
    process = run.module["process"]
    peers = run.peers["process"]
    blas = [p for p in peers["threadpoolctl"] if p.get("user_api") == "blas"]
    load_start = open(os.path.join(run.results, "load-start")).read().split()[:3]
    load_end = open(os.path.join(run.results, "load-end")).read().split()[:3]
    durations = open(os.path.join(run.results, "durations")).read().strip()
    env = process["environment"]
    lines = [
        "- CPU: %s (family %s, model %s), %d cores online; %s." % (
            cpu.get("model name", "?"), cpu.get("cpu family", "?"), cpu.get("model", "?"), os.cpu_count(),
            ", ".join(f for f in ("avx2", "fma", "avx512f") if f in flags) or "no AVX2"),
        "- Kernel %s; CPython %s (queltcore, queltfloor), Python %s with NumPy %s and SciPy %s (the peers)." % (
            platform.release(), process["python"], peers["python"], peers["numpy"], peers["scipy"]),
        "- Threads: `OPENBLAS_NUM_THREADS=%s` for every process and every measurement (latency and "
        "throughput); OpenBLAS reports %s thread(s) in the queltcore process and %s in the C++ floor; "
        "threadpoolctl reports %s in the NumPy/SciPy process. ONNX Runtime keeps its default thread "
        "pool in both the model class and the direct C++ calls." % (
            env.get("OPENBLAS_NUM_THREADS"), process.get("openblas_threads"),
            run.context.get("openblas_threads"), ", ".join(str(b["num_threads"]) for b in blas)),
        "- `OPENBLAS_CORETYPE=%s` and `OPENBLAS_L2_SIZE=%s` (set on this machine because older OpenBLAS "
        "builds misbehave on this CPU) were kept for all: queltcore, the C++ floor, NumPy and SciPy all "
        "ran OpenBLAS's `%s` kernels." % (
            env.get("OPENBLAS_CORETYPE", "unset"), env.get("OPENBLAS_L2_SIZE", "unset"),
            process.get("corename")),
        "- BLAS loaded by queltcore (from /proc/self/maps): %s; `%s`." % (
            ", ".join("`%s`" % p for p in process["blas_libraries"]), process.get("config")),
        "- BLAS loaded by the C++ floor (from /proc/self/maps): `%s`." % run.context.get("blas_libraries"),
        "- BLAS loaded by NumPy and SciPy (threadpoolctl): %s." % "; ".join(
            "%s %s `%s`, %s, architecture %s" % (b["internal_api"], b["version"], b["filepath"],
                                                 b["threading_layer"], b["architecture"]) for b in blas),
        "- ONNX Runtime %s." % run.context.get("onnxruntime", "?"),
        "- The machine was shared with other work during the run: load average %s at the start of the "
        "measurements and %s at the end (2 cores). %s." % (
            " / ".join(load_start), " / ".join(load_end), durations.capitalize()),
    ]
    return "## Machine\n\n" + "\n".join(lines) + "\n"


def sweep_rows(run):
    rows = []
    worst = None
    for name in cases.FAMILIES:
        entries = run.module["sweep"][name]
        chain = run.chain["sweep"][name]
        ratios = [e["module"]["median"] / e["floor"]["median"] for e in entries]
        top = max(range(len(entries)), key=lambda i: ratios[i])
        if worst is None or ratios[top] > worst[0]:
            worst = (ratios[top], name, entries[top])
        working = [e for e in entries if not e["refused"]]
        refused = [e for e in entries if e["refused"]]
        chain_working = [e for e in chain if not e["refused"]]
        rows.append([
            "`%s`" % name, len(entries),
            "%s – %s" % (duration(min(e["module"]["median"] for e in working)),
                         duration(max(e["module"]["median"] for e in working))),
            "%s – %s" % (duration(min(e["floor"]["median"] for e in working)),
                         duration(max(e["floor"]["median"] for e in working))),
            "%s (#%d)" % (ratio(ratios[top]), entries[top]["position"]),
            sum(r <= cases.TARGET_SMALL_RATIO for r in ratios),
            "%s – %s" % (duration(min(e["module"]["median"] for e in chain_working)),
                         duration(max(e["module"]["median"] for e in chain_working))),
            "%d: %s" % (len(refused), duration(cases.median([e["module"]["median"] for e in refused])))
            if refused else "–",
        ])
    return rows, worst


def int_scalar_rows(run):
    rows = []
    worst = 0.0
    for family in cases.FAMILIES:
        for letter in cases.LETTERS:
            key = cases.key(family, letter, (1, 1) if family in cases.MATRIX_FAMILIES else 1)
            entry = run.module["int_scalars"].get(key)
            if entry is None:
                continue
            chain = run.chain["int_scalars"][key]
            first = entry["module-first"]["median"] / entry["floor-first"]["median"]
            last = entry["module-last"]["median"] / entry["floor-last"]["median"]
            worst = max(worst, first, last)
            rows.append(["`%s/%s`" % (family, letter), duration(entry["floor-first"]["median"]),
                         duration(entry["module-first"]["median"]), duration(entry["module-last"]["median"]),
                         ratio(max(first, last)), duration(chain["module-first"]["median"]),
                         duration(chain["module-last"]["median"])])
    return rows, worst


def family_table(run, family):
    rows = []
    for letter in cases.LETTERS:
        if family not in cases.families(letter):
            continue
        for size in cases.sizes(family):
            key = cases.key(family, letter, size)
            floor_first = run.latency(run.module, key, "floor-first")
            first = run.latency(run.module, key, "module-first")
            last = run.latency(run.module, key, "module-last")
            floor_last = run.latency(run.module, key, "floor-last")
            worst = max(first / floor_first, last / floor_last) if floor_first and floor_last else None
            rows.append([letter, cases.size_label(size), duration(run.cpp_latency(key)), duration(floor_first),
                         duration(first), duration(last), ratio(worst),
                         duration(run.latency(run.chain, key, "module-first")),
                         duration(run.latency(run.chain, key, "module-last")),
                         duration(run.latency(run.peers, key, "numpy")),
                         duration(run.latency(run.peers, key, "scipy"))])
    entry = next(iter(v for k, v in run.module["tables"].items() if k.startswith(family + "/")))
    header = ["type", "size", "C++ routine", "single-overload floor", "queltcore first", "queltcore last",
              "vs floor", "chain first", "chain last", "NumPy", "SciPy"]
    title = "### `%s`\n\nFirst overload timed: %s of each type; last: %s.\n\n" % (
        family, kinds(entry["first"]), kinds(entry["last"]))
    return title + table(header, rows)


def rate(amount, seconds):
    return "%.1f" % (amount / seconds / 1e9) if seconds else "–"


def throughput_section(run):
    peak = {"s": run.peak("fma256/s"), "d": run.peak("fma256/d")}
    peak512 = {"s": run.peak("fma512/s"), "d": run.peak("fma512/d")}
    read = run.peak("read")
    out = []
    rows = []
    for letter in cases.LETTERS:
        precision = "s" if letter in "sc" else "d"
        for n in cases.GEMM_SIZES[letter]:
            t = run.large("gemm/%s/%d" % (letter, n))
            flops = cases.gemm_flops(letter, n)
            rows.append([letter, n, rate(flops, t["cpp"]), rate(flops, t["module"]), rate(flops, t["direct"]),
                         "%.3f" % t["ratio"], rate(flops, t["numpy"]), rate(flops, t["scipy"]),
                         "%.0f%%" % (100 * flops / t["module"] / peak[precision]) if peak[precision] else "–"])
    out.append("### gemm, GFLOP/s (one thread)\n\n" + table(
        ["type", "n", "C++ CBLAS", "queltcore", "direct, same process", "queltcore / direct, time", "NumPy",
         "SciPy", "queltcore / FMA peak"], rows))
    rows = []
    for family, sizes in (("gemv", cases.GEMV_SIZES), ("axpy", cases.STREAM_SIZES), ("dot", cases.STREAM_SIZES)):
        for letter in cases.STREAM_LETTERS:
            for n in sizes:
                t = run.large("%s/%s/%d" % (family, letter, n))
                moved = cases.stream_bytes(family, letter, n)
                label = "%d x %d" % (n, n) if family == "gemv" else "%g" % n
                rows.append(["`%s`" % family, letter, label, rate(moved, t["cpp"]), rate(moved, t["module"]),
                             rate(moved, t["direct"]), "%.3f" % t["ratio"],
                             rate(moved, t["numpy"]), rate(moved, t["scipy"]),
                             "%.0f%%" % (100 * moved / t["module"] / read) if read else "–"])
    out.append("### gemv, axpy, dot, GB/s (one thread)\n\n" + table(
        ["operation", "type", "size", "C++ CBLAS", "queltcore", "direct, same process",
         "queltcore / direct, time", "NumPy", "SciPy", "queltcore / read bandwidth"], rows))
    text = ("\"C++ CBLAS\" is the C++ floor (Google Benchmark, a process of its own). \"Direct, same "
            "process\" is the same CBLAS call made by queltfloor in a C++ loop on the storage of the very "
            "containers that queltcore's call was given, inside the Python process that times queltcore, "
            "the two taking turns block by block: on a shared machine this is the comparison that load "
            "does not skew, and the one the targets use. gemv moves its matrix once per call plus three "
            "vectors, axpy three vectors, dot two.\n\n"
            "The FMA peak was measured in this run by the C++ floor (`peak/fma256`): one thread runs 12 "
            "independent chains of 256-bit fused multiply-adds, the widest instructions of the Haswell "
            "kernels that `OPENBLAS_CORETYPE=Haswell` selects; it reached %.1f GFLOP/s in double and %.1f "
            "in single precision (the complex types are held against the peak of their component "
            "precision). The same loop with 512-bit instructions (`peak/fma512`) reached %s and %s GFLOP/s: "
            "what this CPU could do beyond the kernels OpenBLAS 0.3.21 runs here. The read bandwidth "
            "(%.1f GB/s) is one thread summing 256 MiB with AVX2 loads (`peak/read`); operations whose "
            "operands fit in the caches exceed it.\n\n" % (
                peak["d"] / 1e9, peak["s"] / 1e9,
                "%.1f" % (peak512["d"] / 1e9) if peak512["d"] else "–",
                "%.1f" % (peak512["s"] / 1e9) if peak512["s"] else "–", read / 1e9))
    return "## Throughput at large sizes\n\n" + text + "\n".join(out)


def model_section(run):
    model = run.module["model"]
    cpp = run.cpp
    compute = run.module_large["model"]["compute/run"]
    rows = [
        ["`set(0, [0, 1], 2.5)`", duration(model["set"]["median"]), duration(model["floor-set"]["median"]),
         ratio(model["set"]["median"] / model["floor-set"]["median"]), "–", duration(cpp["model/tiny/set"]["time"])],
        ["`get(0, [0, 1])`", duration(model["get"]["median"]), duration(model["floor-get"]["median"]),
         ratio(model["get"]["median"] / model["floor-get"]["median"]), "–", duration(cpp["model/tiny/get"]["time"])],
        ["`run()`, tiny model", duration(model["run"]["median"]), "–", "–", "–",
         duration(cpp["model/tiny/run"]["time"])],
        ["`set` + `run` + `get`, tiny model", duration(model["cycle"]["median"]), "–", "–", "–",
         duration(cpp["model/tiny/cycle"]["time"])],
        ["`run()`, compute model", duration(compute["run"]["median"]), "–", "–",
         "%s (queltcore / direct %.3f)" % (duration(compute["direct"]["median"]),
                                           paired_ratio(compute["run"], compute["direct"])),
         duration(run.cpp_large["model/compute/run"]["time"])],
    ]
    text = ("`tiny.onnx` adds a 1 x 2 input to itself; `compute.onnx` multiplies a 384 x 384 matrix "
            "that the graph makes on every run eight times in a chain (both written by "
            "`benchmarks/make_models.py`, a few hundred bytes each). The direct calls build the session "
            "as the model class does (graph optimisation off, default thread pool, every tensor "
            "allocated once) and make the same runtime calls: `Ort::Value::At<float>` for an element, "
            "fresh run options with log verbosity 5 and `Session::Run` on the allocated tensors for a "
            "run; the C++ floor makes them in a process of its own, queltfloor in queltcore's process, "
            "taking turns with `model.run()`. The binding floor takes the same arguments as `set` and "
            "`get` (model, int, list, float) and does nothing with them; a call of queltfloor's "
            "`nothing()`, no arguments, took %s. Element access is timed on the thread's CPU clock, "
            "runs on the wall clock.\n\n" % duration(model["nothing"]["median"]))
    return "## Model runner\n\n" + text + table(
        ["call", "queltcore", "single-overload floor", "vs floor", "direct, same process", "C++ API directly"],
        rows)


# ---- the quelt package ----------------------------------------------------------------------

def paired(group, label, against):
    return paired_ratio(group[label], group[against])


def exchange_rows(run):
    """The data exchange table: each path, its memcpy, their ratio, the element loop."""
    rows = []
    n = cases.EXCHANGE_LENGTH
    rows_, cols = cases.EXCHANGE_SHAPE
    layouts = [
        ("exchange/vector", "vecd, %s elements" % "{:,}".format(n), [
            ("fill", "`quelt.memory(v)[:] = src`", "memory", "fill-memcpy", "loop-fill", "`v[i] = src[i]`"),
            ("fill", "`quelt.vector(src)`", "vector", "fill-memcpy", "loop-fill", "`v[i] = src[i]`"),
            ("read", "`bytes(quelt.memory(v))`", "bytes", "read-memcpy", "loop-read", "`[v[i] for i ...]`"),
            ("read", "`quelt.tolist(v)`", "tolist", None, "loop-read", "`[v[i] for i ...]`"),
        ]),
        ("exchange/matrix", "matd, %d x %d" % (rows_, cols), [
            ("fill", "`quelt.matrix(src)`, src row-major", "matrix-rows", "fill-memcpy", "loop-fill",
             "`A[i, j] = src[i][j]`"),
            ("fill", "`quelt.matrix(src)`, src column-major", "matrix-columns", "fill-memcpy", "loop-fill",
             "`A[i, j] = src[i][j]`"),
            ("read", "`bytes(quelt.memory(A))` (row-major bytes)", "bytes", "read-memcpy", "loop-read",
             "`[[A[i, j] for j ...] for i ...]`"),
            ("read", "`quelt.tolist(A)`", "tolist", None, "loop-read", "`[[A[i, j] for j ...] for i ...]`"),
        ]),
        ("exchange/model", "model input, %s float32" % "{:,}".format(cases.FEED_SIZES[-1]), [
            ("fill", "`quelt.inputs(m)[0][:] = src`", "inputs", "memcpy", "loop-set", "`m.set(0, [i], src[i])`"),
        ]),
    ]
    for part, data_label, paths in layouts:
        data, missing = run.package(part)
        if data is None:
            rows.append([data_label, "–", "not measured: %s" % missing, "–", "–", "–", "–", "–"])
            continue
        buffers, python = data["buffers"], data["python"]
        for way, call, label, memcpy, loop, loop_call in paths:
            source = buffers if label in buffers else python
            seconds = source[label]["median"]
            loop_seconds = python[loop]["median"]
            rows.append([data_label, way, call, duration(seconds),
                         duration(buffers[memcpy]["median"]) if memcpy else "–",
                         ratio(paired(buffers, label, memcpy)) if memcpy else "–",
                         "%s: %s" % (loop_call, duration(loop_seconds)), "%.0f" % (loop_seconds / seconds)])
    return rows


def exchange_targets(run):
    """Each container's buffer paths against memcpy; the matrix's straight copy apart from the
    paths that reorder its elements (a row-major source; bytes(), which CPython 3.7 reads out
    in row-major order)."""
    found = []
    groups = [
        ("exchange/vector", "vecd of %s elements: filling (`quelt.memory(v)[:] = src`, `quelt.vector(src)`) and "
         "reading back (`bytes(quelt.memory(v))`) within %.1f x a C++ `memcpy` of the same bytes",
         [("memory(v)[:] =", "memory", "fill-memcpy"), ("vector", "vector", "fill-memcpy"),
          ("bytes", "bytes", "read-memcpy")]),
        ("exchange/matrix", "matd %d x %d made from a column-major buffer (`quelt.matrix(src)`, a straight copy) "
         "within %.1f x a C++ `memcpy` of the same bytes", [("matrix", "matrix-columns", "fill-memcpy")]),
        ("exchange/matrix", "matd %d x %d through the paths that reorder its elements: `quelt.matrix(src)` of a "
         "row-major buffer, `bytes(quelt.memory(A))` (row-major in CPython 3.7): within %.1f x a C++ `memcpy` "
         "of the same bytes", [("matrix of rows", "matrix-rows", "fill-memcpy"), ("bytes", "bytes", "read-memcpy")]),
    ]
    for part, text, checks in groups:
        size = ("{:,}".format(cases.EXCHANGE_LENGTH),) if part.endswith("vector") else cases.EXCHANGE_SHAPE
        target = text % (size + (cases.TARGET_EXCHANGE_RATIO,))
        data, missing = run.package(part)
        if data is None:
            found.append((target, "not measured: " + missing, None))
            continue
        ratios = [(name, paired(data["buffers"], label, memcpy)) for name, label, memcpy in checks]
        found.append((target, "quelt / memcpy: " + ", ".join("%s %.2f" % r for r in ratios),
                      all(r <= cases.TARGET_EXCHANGE_RATIO for _, r in ratios)))
    return found


def feed_overheads(feeds):
    """Per input length: the median of Session.run less the median of the direct Run."""
    return [(int(n), feeds[n]["session"]["run"]["median"] - feeds[n]["session"]["direct"]["median"])
            for n in sorted(feeds, key=int)]


def session_targets(run):
    found = []
    models, missing = run.package("session/models")
    for name, bound, text in (
            ("tiny", cases.TARGET_SESSION_TINY_RATIO, "`Session.run` on the tiny model: at most %.0f x the direct "
             "C++ `Run` on the same inputs, same process"),
            ("compute", cases.TARGET_SESSION_COMPUTE_RATIO, "`Session.run` on the compute model: within %d%% of "
             "the direct C++ `Run`, same process, one intra-op thread each (`threads=1`)")):
        target = text % (bound if name == "tiny" else round(100 * (bound - 1)))
        if models is None:
            found.append((target, "not measured: " + missing, None))
            continue
        r = paired(models[name], "run", "direct")
        measured = "%.3f x (%s against %s)" % (r, duration(models[name]["run"]["median"]),
                                               duration(models[name]["direct"]["median"]))
        if "direct-per-run" in models[name]:
            measured += "; %.3f x the direct `Run` that makes its input tensors and run options for every run" % (
                paired(models[name], "run", "direct-per-run"))
        found.append((target, measured, r <= bound))
    target = ("`Session.run` with a float32 input of 1 to %s elements: the cost above the direct `Run` independent "
              "of the size (grows by less than %d%% of one `memcpy` of the largest input)" % (
                  "{:,}".format(cases.FEED_SIZES[-1]), round(100 * cases.TARGET_FEED_GROWTH_OF_COPY)))
    feeds, missing = run.package("session/feeds")
    if feeds is None:
        found.append((target, "not measured: " + missing, None))
    else:
        overheads = feed_overheads(feeds)
        growth = overheads[-1][1] - overheads[0][1]
        copy = feeds[str(cases.FEED_SIZES[-1])]["copy"]["memcpy"]["median"]
        found.append((target, "%s at %d element(s), %s at %s: %s%s (a `memcpy` of the input: %s)" % (
            duration(overheads[0][1]), overheads[0][0], duration(overheads[-1][1]), "{:,}".format(overheads[-1][0]),
            "grew by " if growth >= 0 else "fell by ", duration(abs(growth)), duration(copy)),
            growth <= cases.TARGET_FEED_GROWTH_OF_COPY * copy))
    target = ("two Python threads each running the compute model (`threads=1`): wall time at most %.1f x the "
              "same runs one after the other" % cases.TARGET_THREADS_RATIO)
    threads, missing = run.package("session/threads")
    if threads is None:
        found.append((target, "not measured: " + missing, None))
    else:
        r = paired(threads, "side-by-side", "in-turn")
        found.append((target, "%.2f x (%s against %s for two runs)" % (
            r, duration(threads["side-by-side"]["median"]), duration(threads["in-turn"]["median"])),
            r <= cases.TARGET_THREADS_RATIO))
    return found


def serving_targets(run):
    """The into and cancellation targets; the tiny model's bound is session_targets'."""
    largest = str(cases.INTO_SIZES[-1])

    def into(sizes):
        faults = sizes[largest]["first-run-faults"]
        return ("%d page faults against %d; CPU time %.2f x the plain run's" % (
            faults["into"], faults["run"], paired(sizes[largest], "into", "run")), faults["into"] < faults["run"])

    def cancel(stopped):
        return ("median %s, worst %s" % (duration(stopped["median"]), duration(stopped["max"])),
                stopped["max"] <= cases.TARGET_CANCEL_SECONDS)

    found = []
    for part, target, judge in (
            ("into", "`run(..., into=...)` on a %s-element float32 output: the output's allocation and page faults "
             "saved (a new session's first run)" % "{:,}".format(cases.INTO_SIZES[-1]), into),
            ("cancel", "a cancelled run of the slow model raises within %d ms of `cancel()` (median and worst of %d)"
             % (round(1000 * cases.TARGET_CANCEL_SECONDS), 20), cancel)):
        data, missing = run.serving_part(part)
        found.append((target, "not measured: " + missing, None) if data is None else (target,) + judge(data))
    return found


def serving_section(run):
    out = ["### quelt.Session for serving\n"]
    timed, missing = run.serving_part("tiny")
    if timed is None:
        out.append("Stop bookkeeping: not measured: %s.\n" % missing)
    else:
        out.append("The tiny model's `Session.run(feeds)` and `Session.run(feeds, cancel=token, timeout=60.0)`, "
                   "taking turns block by block, against queltfloor's direct `Run` (wall clock):\n\n" + table(
                       ["Session.run", "with token and deadline", "direct Run", "plain / direct", "armed / direct"],
                       [[duration(timed["run"]["median"]), duration(timed["run-armed"]["median"]),
                         duration(timed["direct"]["median"]), "%.3f" % paired(timed, "run", "direct"),
                         "%.3f" % paired(timed, "run-armed", "direct")]]))
    sizes, missing = run.serving_part("into")
    if sizes is None:
        out.append("Outputs into the caller's buffer: not measured: %s.\n" % missing)
    else:
        rows = [["{:,}".format(int(n)), duration(e["run"]["median"]), duration(e["into"]["median"]),
                 duration(e["run"]["median"] - e["into"]["median"]), "%.2f" % paired(e, "into", "run"),
                 "%.1f / %.1f" % (e["faults"]["run"], e["faults"]["into"]),
                 "%d / %d" % (e["first-run-faults"]["run"], e["first-run-faults"]["into"])] for n, e in sorted(sizes.items(), key=lambda item: int(item[0]))]
        out.append("`fill.onnx` (an output of n float32 ones) on a session with one intra-op thread, run plainly, "
                   "the runtime allocating the output, and with `into={\"y\": buffer}`, writing into one "
                   "`array.array('f')` kept across runs: CPU time of the calling thread, minor page faults per run "
                   "once the runtime's arena holds a block for the output, and those of a new session's first run:"
                   "\n\n" + table(["output elements", "run", "run into", "saved", "into / run",
                                   "page faults per run (run / into)", "first run's page faults (run / into)"], rows))
    stopped, missing = run.serving_part("cancel")
    if stopped is None:
        out.append("Cancellation: not measured: %s.\n" % missing)
    else:
        out.append("`slow.onnx` (400 products of %d x %d matrices; %s uncancelled) cancelled from the main thread "
                   "%d ms into a run on another thread, %d times: from `cancel()` until the run has raised "
                   "`quelt.Cancelled` in its thread, median %s, worst %s.\n" % (
                       cases.SLOW_SIZE, cases.SLOW_SIZE, duration(stopped["alone"]), round(1000 * stopped["after"]),
                       len(stopped["latencies"]),
                       duration(stopped["median"]), duration(stopped["max"])))
    return "\n".join(out)


def package_section(run):
    out = ["## The quelt package\n\nMeasured in the queltcore process, with queltfloor's C++ loops of the same "
           "work taking turns with quelt's calls block by block; a ratio is the median over the rounds of the two "
           "blocks of a round. Before anything is timed, each call is checked against what it must compute "
           "(contents, shapes, the runtime's outputs against the direct call's). A part that this build's quelt "
           "could not run is marked as not measured, with the reason.\n"]
    out.append("### Data exchange\n\nA million float64 elements (8 MB) into and out of a `vecd` and a 1000 x 1000 "
               "`matd`, and a million float32 elements into a model input, against queltfloor's `memcpy` of the "
               "same bytes between the same kinds of memory (into the container's or the tensor's storage from "
               "the source buffer, or from the storage into a preallocated `bytearray`) and against the "
               "element-by-element loop that queltcore alone offers, timed at the full size. Sources are "
               "`array.array` objects (a 2-D row-major `memoryview` cast from one for `quelt.matrix`; another "
               "matd's `quelt.memory` for the column-major case). CPython 3.7's `memoryview` assigns slices in "
               "one dimension only, so a matd is filled through `quelt.matrix`, not `quelt.memory(A)[:] = src`; "
               "and `bytes()` of a column-major view reads it out row by row (an element-wise reordering). "
               "Thread CPU time; the paths that make a new container or `bytes` include its allocation. The "
               "matrix's blocks each follow an untimed block of their own: a copy of megabytes that follows "
               "another's runs slower for its first four or five calls, memcpy's too.\n\n"
               + table(["data", "way", "quelt", "time", "C++ memcpy", "quelt / memcpy",
                        "element by element (queltcore)", "loop / quelt"], exchange_rows(run)))
    models, missing = run.package("session/models")
    if models is None:
        out.append("### quelt.Session\n\nNot measured: %s.\n" % missing)
    else:
        rows = []
        for name in ("tiny", "compute"):
            timed = models[name]
            per_run = "direct-per-run" in timed
            rows.append([name, duration(timed["run"]["median"]), duration(timed["direct"]["median"]),
                         "%.3f" % paired(timed, "run", "direct"),
                         duration(timed["direct-per-run"]["median"]) if per_run else "–",
                         "%.3f" % paired(timed, "run", "direct-per-run") if per_run else "–"])
        out.append("### quelt.Session\n\n`Session.run(feeds)` with the default options (runtime's default thread "
                   "pool, optimisation `\"all\"`) against queltfloor's `Run` on a session of the same model with "
                   "the same options in the same process, its input tensors over the very memory of the feeds and "
                   "every output allocated by the runtime and dropped after each run, as `Session.run` has them. "
                   "The direct `Run` that the targets use makes its input tensors and run options once; for the "
                   "tiny model it was also timed making them for every run, as `Session.run` must. Feeds: a "
                   "1 x 2 float32 `memoryview` (tiny), a 1-element `array.array('f')` (compute). Wall clock.\n\n"
                   + table(["model", "Session.run", "direct Run", "Session / direct",
                            "direct Run, tensors and options per run", "Session / that"], rows))
    feeds, missing = run.package("session/feeds")
    if feeds is None:
        out.append("#### Input length\n\nNot measured: %s.\n" % missing)
    else:
        rows = []
        for n, overhead in feed_overheads(feeds):
            entry = feeds[str(n)]
            model = entry["model"]
            rows.append(["{:,}".format(n), duration(entry["session"]["direct"]["median"]),
                         duration(entry["session"]["run"]["median"]), duration(overhead),
                         "%.2f" % paired(entry["session"], "run", "direct"), duration(model["set"]["median"]),
                         duration(model["inputs"]["median"]) if "inputs" in model else "not in this build"])
        largest = feeds[str(cases.FEED_SIZES[-1])]
        out.append("#### Input length\n\n`feed.onnx` takes a float32 vector of any length and hands back its first "
                   "element: the runtime's work does not grow with the length, so whatever would grow is the "
                   "runner's (a copy of the input). Fed an `array.array('f')`, `Session.run` against the direct "
                   "`Run` on the same memory; beside them the model class on the same graph with a fixed length "
                   "(`feed-N.onnx`), filled by one `set` per element, or by `quelt.inputs(m)[0][:] = src`, then "
                   "run. One `memcpy` of the largest input took %s (thread CPU time). Wall clock.\n\n" % (
                       duration(largest["copy"]["memcpy"]["median"]))
                   + table(["elements", "direct Run", "Session.run", "Session − direct", "Session / direct",
                            "model class: set per element + run", "model class: quelt.inputs + run"], rows))
    threads, missing = run.package("session/threads")
    if threads is None:
        out.append("#### Two threads\n\nNot measured: %s.\n" % missing)
    else:
        ratios = [a / b for a, b in zip(threads["side-by-side"]["blocks"], threads["in-turn"]["blocks"])]
        load = threads.get("load")
        out.append("#### Two threads\n\nOne `quelt.Session(compute.onnx, threads=1)`: two Python threads each "
                   "making N runs at once, against one thread making the 2N runs in turn (N as the block's "
                   "calibration gives it; times below per pair of runs), in %d rounds. Wall clock, on 2 cores "
                   "that other work shared%s: two threads can be no faster than the cores they find free.\n\n" % (
                       len(ratios), " (load average %s before, %s after)" % (
                           " / ".join("%.2f" % v for v in load[0]), " / ".join("%.2f" % v for v in load[1]))
                       if load else "")
                   + table(["two runs in turn", "two threads, one run each", "threads / in turn (median round)",
                            "best round", "worst round"],
                           [[duration(threads["in-turn"]["median"]), duration(threads["side-by-side"]["median"]),
                             "%.2f" % paired(threads, "side-by-side", "in-turn"), "%.2f" % min(ratios),
                             "%.2f" % max(ratios)]]))
    out.append(serving_section(run))
    return "\n".join(out)


def conversion_section(results):
    """quelt's conversions of foreign buffers against queltfloor's C++ baselines (conversion.py)."""
    path = os.path.join(results, "conversion-module.json")
    head = ("## Conversions\n\nquelt's conversions of buffers that are not its own element type or layout, "
            "each taking turns block by block with a C++ baseline of queltfloor in the same process, "
            "1,000,000 elements (NumPy's arrays stood for by `array.array` and `memoryview` casts and "
            "slices; the Fortran-order source is a matd's `quelt.memory`). The baselines: `memcpy` of the "
            "same bytes between contiguous buffers; a plain C++ loop converting into preallocated memory "
            "(for the matrix, down each column of the column-major storage); for `quelt.vector`, a fresh "
            "allocation (as a container's storage is made) plus `memcpy`. quelt's figures include making "
            "the new tensor or container. Thread CPU time; the ratio is the median over rounds of the two "
            "blocks of a round.\n\n")
    if not os.path.exists(path):
        return head + "Not measured in this run.\n"
    data = cases.load(path)
    rows = []
    for case, (what, baseline, target) in cases.CONVERSION_TARGETS.items():
        timed = data[case]
        seconds = timed["quelt"]["median"]
        if baseline is None:
            rows.append([what, duration(seconds), "–", "–", "at most %s" % duration(target),
                         verdict(seconds <= target)])
        else:
            rows.append([what, duration(seconds), "%s: %s" % (baseline, duration(timed["baseline"]["median"])),
                         "%.2f" % timed["ratio"], "within %.1f x" % target, verdict(timed["ratio"] <= target)])
    return head + table(["conversion", "quelt", "baseline", "quelt / baseline", "target", "verdict"], rows)


def targets(run, worst_sweep, worst_int):
    """Each target as (what it asks, what was measured, whether it is met)."""
    found = []
    name, entry = worst_sweep[1], worst_sweep[2]
    count = sum(len(v) for v in run.module["sweep"].values())
    found.append(("every overload of every name at size 1: at most %.1f x the single-overload floor"
                  % cases.TARGET_SMALL_RATIO,
                  "worst of %d overloads %.2f x (`%s` #%d %s); worst with int scalars %.2f x" % (
                      count, worst_sweep[0], name, entry["position"], describe(entry["types"]), worst_int),
                  worst_sweep[0] <= cases.TARGET_SMALL_RATIO and worst_int <= cases.TARGET_SMALL_RATIO))
    for family, n in cases.TARGET_LARGE:
        letters = cases.LETTERS if family == "gemm" else cases.STREAM_LETTERS
        parts, separate = [], []
        met = True
        for letter in letters:
            t = run.large("%s/%s/%d" % (family, letter, n))
            met = met and t["ratio"] <= cases.TARGET_LARGE_RATIO
            parts.append("%s %.3f" % (letter, t["ratio"]))
            separate.append("%s %.3f" % (letter, t["module"] / t["cpp"]))
        found.append(("`%s` at %s: within %d%% of the direct CBLAS call" % (
            family, "%d x %d" % (n, n) if family != "axpy" else "%g" % n,
            round(100 * (cases.TARGET_LARGE_RATIO - 1))),
            "queltcore / direct: %s (against the C++ floor's separate process: %s)" % (
                ", ".join(parts), ", ".join(separate)), met))
    model = run.module["model"]
    for call in ("set", "get"):
        r = model[call]["median"] / model["floor-" + call]["median"]
        found.append(("model `%s`: at most %.0f x a single-overload binding call" % (
            call, cases.TARGET_MODEL_ACCESS_RATIO), "%.2f x" % r, r <= cases.TARGET_MODEL_ACCESS_RATIO))
    compute = run.module_large["model"]["compute/run"]
    direct = compute["direct"]["median"]
    r = paired_ratio(compute["run"], compute["direct"])
    measured = "%.3f x (against the C++ floor's separate process: %.3f x)" % (
        r, compute["run"]["median"] / run.cpp_large["model/compute/run"]["time"])
    if direct < 1e-3:
        measured += "; but the model computed for less than 1 ms"
    found.append(("model `run` on a model computing at least 1 ms (here %s): within %d%% of the direct C++ "
                  "`Run`" % (duration(direct), round(100 * (cases.TARGET_MODEL_RUN_RATIO - 1))),
                  measured, r <= cases.TARGET_MODEL_RUN_RATIO and direct >= 1e-3))
    return (found + exchange_targets(run) + session_targets(run)
            + report_operations.targets(run, run.threads, describe, duration) + serving_targets(run))


def targets_section(run, worst_sweep, worst_int):
    rows = [[target, measured, verdict(met)] for target, measured, met in targets(run, worst_sweep, worst_int)]
    return "## Targets\n\n" + table(["target", "measured (median ratio)", "verdict"], rows)


METHOD = """## How it was measured

- `make bench` runs `benchmarks/run.sh`: it builds queltcore, its ordered-chain copy, queltfloor and
  the C++ floor in `build-bench` (Release), writes the two models, runs every measurement below in
  one go and then this report. The raw results stay in `build-bench/bench-results`.
- Every time is a median. Python calls are timed in blocks of many calls, about 1 ms a block
  at latency sizes with seven blocks per variant, and the variants of one case take turns block
  by block, in reversed order every other round. The C++ floor reports the median of three
  Google Benchmark repetitions. At large sizes queltcore takes turns with the same direct call
  made inside its own process, in blocks of about 5 ms for up to 25 rounds (31 at the sizes
  that the targets name, at least 5 for the longest calls); their ratio is the median over the
  rounds of the two blocks of a round. The peers there run three blocks of about 20 ms.
- Clocks: everything that runs on the calling thread alone (all BLAS and LAPACK calls, every
  binding call, the model's element access) is timed on that thread's CPU clock, in Python
  (`time.thread_time`) and in C++ (Google Benchmark's CPU time) alike. On a shared machine the
  wall clock also counts the time the thread waits for a core. Model runs, which may use the
  runtime's thread pool, are timed on the wall clock.
- Latency per call includes the Python loop that makes the calls (the same for every Python
  variant). "vs floor" is queltcore's time over the single-overload floor's, the worse of the
  first and the last overload.
- The single-overload floor is queltfloor, a pybind11 module built with the same compiler,
  flags and pybind11 as queltcore, that registers each of queltcore's overloads as a function
  of its own (`gemv_matd_vecd_viewd`, ...) with the same argument conversion and the very same
  C++ function behind it. It is imported into the queltcore process and shares pybind11's
  registry with it, so it takes queltcore's objects.
- queltcore and its ordered-chain copy (every call resolved by pybind11 trying the overloads in
  registration order, as before the fast dispatch) cannot share a process, since both register
  the same classes; the chain was timed in a process of its own, the same way.
- Before anything is timed, the harness calls every overload of every name through queltcore
  and through queltfloor on equal operands and stops unless both leave the same contents and
  results and both agree with the same computation in plain Python; the peer script checks
  that its SciPy calls work in place.
- Operands start at 1e-3 in every element (both parts for complex types). `scale` multiplies by
  -1, `axpy` adds 0.5 x, `gemv` and `gemm` run with a = 1 and b = 0, `matvec` and `matmul`
  accumulate. A view operand starts one element into a longer vector. For the vector
  operations a matrix operand is n x 1. Matrix sizes m x n mean: `gemv` and `matvec` with an
  m x n A; `gemm` and `matmul` with an m x n A, an n x n X and an m x n Y; `ls` with an
  m x n A (identity plus 1e-3) and a right-hand side of max(m, n) elements.
- `ls` destroys its operands, so at every size above 1 each call is preceded by fresh copies of
  A and b (through queltfloor in both Python variants, by `std::copy` in C++, by `np.copyto`
  for SciPy); the copies are timed alone as well and taken off. At size 1 the system is A = 1,
  which `gels` leaves as it is.
- "First" is the first registered overload of a name for an element type that does work, and
  "last" the last registered one; for `gemv` and `matvec` the first working overload is
  (matrix, vector, vector), the 19th of its type: the 18 before it take a vector or a view as A
  and are refused. The size-1 sweep times all overloads, the refused ones included (with the
  `RuntimeError` caught, in both variants).
- NumPy rows use what a NumPy program writes: `np.multiply(x, a, out=x)`, `np.add(y, a * x,
  out=y)`, `np.add(y, x, out=y)`, `np.copyto`, three `np.copyto` through a spare array for
  `swap`, `np.dot`, `np.vdot`, `np.linalg.lstsq` (which copies its operands and solves through
  an SVD, `gelsd`), `np.matmul(A, x, out=y)`, `np.add(y, A @ x, out=y)` and the matrix
  counterparts. SciPy rows call the same BLAS or LAPACK routine as queltcore through
  `scipy.linalg.blas` and `scipy.linalg.lapack`, in place (`overwrite_y=1`, `overwrite_c=1`,
  `overwrite_a=1`, `overwrite_b=1`, `gels` with its optimal workspace).
- The quelt package is measured last, in a process of its own that imports queltcore, quelt
  and queltfloor: each of quelt's calls takes turns block by block with queltfloor's C++ loop of
  the same work (`memcpy` between the same buffers' memory, on the thread's CPU clock; the
  runtime's `Run` on a session of the same model and options, fed tensors over the same memory,
  on the wall clock), 31 rounds for the buffer paths and the tiny model, 15 for the compute
  model and the two threads, 25 per input length; the element-by-element loops run five
  times at the full million. The models `feed.onnx` and `feed-N.onnx` are written by
  `benchmarks/make_models.py` with the others.
- Google Benchmark 1.7.1 as Debian packages it warns that it was built with assertions on; that
  affects its own bookkeeping between timed batches, not the timed loop.
"""


def plot(run, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [("axpy", "d"), ("dot", "z"), ("copy", "s"), ("gemv", "d"), ("gemm", "z"), ("ls", "d")]
    lines = [
        ("C++ routine (CBLAS, LAPACKE)", "black", "-", "o", lambda key: run.cpp_latency(key)),
        ("single-overload floor", "grey", "--", "s", lambda key: run.latency(run.module, key, "floor-first")),
        ("queltcore, first overload", "tab:blue", "-", "o", lambda key: run.latency(run.module, key, "module-first")),
        ("queltcore, last overload", "tab:blue", ":", "^", lambda key: run.latency(run.module, key, "module-last")),
        ("ordered chain, last overload", "tab:red", "-", "v", lambda key: run.latency(run.chain, key, "module-last")),
        ("NumPy", "tab:green", "-", "D", lambda key: run.latency(run.peers, key, "numpy")),
        ("SciPy", "tab:orange", "-", "x", lambda key: run.latency(run.peers, key, "scipy")),
    ]
    figure = plt.figure(figsize=(15, 16))
    grid = figure.add_gridspec(4, 3, height_ratios=[1, 1, 1.1, 1.1])
    for index, (family, letter) in enumerate(panels):
        axes = figure.add_subplot(grid[index // 3, index % 3])
        sizes = cases.sizes(family)
        for label, color, style, marker, value in lines:
            points = [(i, value(cases.key(family, letter, s))) for i, s in enumerate(sizes)]
            points = [(i, v * 1e6) for i, v in points if v is not None and v > 0]
            if points:
                axes.plot(*zip(*points), color=color, linestyle=style, marker=marker, label=label)
        axes.set_xticks(range(len(sizes)))
        axes.set_xticklabels([cases.size_label(s) for s in sizes])
        axes.set_yscale("log")
        axes.set_title("%s, type %s" % (family, letter))
        axes.set_xlabel("elements" if family in cases.VECTOR_FAMILIES else "matrix size")
        axes.set_ylabel("µs per call (median)")
        axes.grid(True, which="both", alpha=0.3)
        if index == 0:
            figure.legend(*axes.get_legend_handles_labels(), loc="upper center", ncol=len(lines),
                          fontsize=9, bbox_to_anchor=(0.5, 0.965))
    axes = figure.add_subplot(grid[2, :])
    for source, label, color in ((run.chain, "ordered chain", "tab:red"), (run.module, "queltcore", "tab:blue")):
        entries = source["sweep"]["gemv"]
        for refused, marker in ((False, "o"), (True, "x")):
            picked = [e for e in entries if e["refused"] == refused]
            axes.plot([e["position"] for e in picked], [e["module"]["median"] * 1e6 for e in picked],
                      marker, color=color, markersize=4,
                      label="%s%s" % (label, ", refused (A not a matrix)" if refused else ""))
    floor = run.module["sweep"]["gemv"]
    axes.plot([e["position"] for e in floor], [e["floor"]["median"] * 1e6 for e in floor], "s", color="grey",
              markersize=3, label="single-overload floor")
    axes.set_yscale("log")
    axes.set_xlabel("overload of gemv, in registration order (27 per type: s, d, c, z)")
    axes.set_ylabel("µs per call (median)")
    axes.set_title("gemv at size 1 (1 x 1 matrices, 1-element vectors), every overload")
    axes.grid(True, which="both", alpha=0.3)
    # Room below the fastest calls for the legend.
    low, high = axes.get_ylim()
    axes.set_ylim(low / 4, high)
    axes.legend(fontsize=8, ncol=5, loc="lower center")
    plot_feeds(run, figure.add_subplot(grid[3, :2]))
    plot_exchange(run, figure.add_subplot(grid[3, 2]))
    figure.suptitle("Latency per call against size, OPENBLAS_NUM_THREADS=1 (thread CPU time); "
                    "the quelt package (bottom row)")
    figure.tight_layout(rect=(0, 0, 1, 0.95))
    figure.savefig(path, dpi=80)


def not_measured(axes, title, why):
    axes.set_title(title)
    axes.text(0.5, 0.5, "not measured:\n" + why, ha="center", va="center", wrap=True, transform=axes.transAxes)
    axes.set_axis_off()


def plot_feeds(run, axes):
    title = "quelt.Session.run against input length (feed.onnx reads one element; wall clock)"
    feeds, missing = run.package("session/feeds")
    if feeds is None:
        return not_measured(axes, title, missing)
    sizes = sorted(feeds, key=int)
    x = [int(n) for n in sizes]
    lines = [("direct Run, same process", "black", "-", "o", lambda e: e["session"]["direct"]["median"]),
             ("Session.run", "tab:blue", "-", "s", lambda e: e["session"]["run"]["median"]),
             ("model class: set per element + run", "tab:red", "-", "v", lambda e: e["model"]["set"]["median"]),
             ("model class: quelt.inputs + run", "tab:orange", "--", "^",
              lambda e: e["model"]["inputs"]["median"] if "inputs" in e["model"] else None)]
    for label, color, style, marker, value in lines:
        points = [(n, value(feeds[k])) for n, k in zip(x, sizes)]
        points = [(n, v * 1e6) for n, v in points if v]
        if points:
            axes.plot(*zip(*points), color=color, linestyle=style, marker=marker, label=label)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("float32 input elements")
    axes.set_ylabel("µs per run (median)")
    axes.set_title(title)
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)


def plot_exchange(run, axes):
    title = "a million elements: quelt / C++ memcpy"
    bars = []
    for part, prefix, labels in (
            ("exchange/vector", "vecd", [("memory[:] =", "memory", "fill-memcpy"), ("vector()", "vector", "fill-memcpy"),
                                         ("bytes()", "bytes", "read-memcpy")]),
            ("exchange/matrix", "matd", [("matrix(), col-major", "matrix-columns", "fill-memcpy"),
                                         ("matrix(), row-major", "matrix-rows", "fill-memcpy"),
                                         ("bytes()", "bytes", "read-memcpy")]),
            ("exchange/model", "input", [("inputs[0][:] =", "inputs", "memcpy")])):
        data, _ = run.package(part)
        if data is not None:
            bars += [("%s %s" % (prefix, name), paired(data["buffers"], label, memcpy)) for name, label, memcpy in labels]
    if not bars:
        return not_measured(axes, title, run.package("exchange/vector")[1])
    names, ratios = zip(*bars)
    colors = ["tab:blue" if r <= cases.TARGET_EXCHANGE_RATIO else "tab:red" for r in ratios]
    axes.barh(range(len(bars)), ratios, color=colors)
    axes.set_yticks(range(len(bars)))
    axes.set_yticklabels(names, fontsize=8)
    axes.invert_yaxis()
    axes.set_xscale("log")
    axes.axvline(1.0, color="black", linewidth=1)
    axes.axvline(cases.TARGET_EXCHANGE_RATIO, color="grey", linestyle="--", linewidth=1,
                 label="target %.1f x" % cases.TARGET_EXCHANGE_RATIO)
    axes.set_xlabel("quelt / memcpy of the same bytes (median round)")
    axes.set_title(title)
    axes.legend(fontsize=8)


# ---- quelt.distributed ----------------------------------------------------------------------

def distributed_section(results):
    """quelt.distributed's jobs of one and two processes (benchmarks/distributed.py and the C++
    pdgemm floor), or why there are none."""
    def load(name):
        path = os.path.join(results, name)
        if not os.path.exists(path):
            return None
        with open(path) as f:
            return json.load(f)
    one, two = load("distributed-1.json"), load("distributed-2.json")
    floor1, floor2 = load("distributed-floor-1.json"), load("distributed-floor-2.json")
    head = "## quelt.distributed\n\n"
    if not (one and two and floor1 and floor2):
        return head + "Not measured: quelt.distributed was not built in this run (no MPI or ScaLAPACK).\n"
    ms = lambda seconds: duration(seconds)
    rows = [
        ["qd.gemm float64 2048, 1 process", ms(one["qd.gemm"]), "quelt.gemm, same process",
         ms(one["quelt.gemm"]), ratio(one["qd.gemm"] / one["quelt.gemm"]), "<= 1.03",
         verdict(one["qd.gemm"] / one["quelt.gemm"] <= 1.03)],
        ["qd.gemm float64 2048, 1 process", ms(one["qd.gemm"]), "pdgemm from C++, 1 process",
         ms(floor1["pdgemm"]), ratio(one["qd.gemm"] / floor1["pdgemm"]), "", ""],
        ["qd.gemm float64 2048, 2 processes (grid %d x %d)" % tuple(two["grid"]), ms(two["qd.gemm"]),
         "pdgemm from C++, same grid and blocks", ms(floor2["pdgemm"]), ratio(two["qd.gemm"] / floor2["pdgemm"]),
         "<= 1.05", verdict(two["qd.gemm"] / floor2["pdgemm"] <= 1.05)],
        ["qd.gemm float64 2048, 2 processes", ms(two["qd.gemm"]), "quelt.gemm on 2 BLAS threads",
         ms(one["quelt.gemm, 2 BLAS threads"]), ratio(two["qd.gemm"] / one["quelt.gemm, 2 BLAS threads"]),
         "reported", ""],
        ["qd.ls 4000 x 1000, 2 processes", ms(two["qd.ls"]), "serial quelt.ls, 1 thread", ms(one["quelt.ls"]),
         ratio(two["qd.ls"] / one["quelt.ls"]), "reported", ""],
        ["qd.ls 4000 x 1000, 1 process", ms(one["qd.ls"]), "serial quelt.ls, 1 thread", ms(one["quelt.ls"]),
         ratio(one["qd.ls"] / one["quelt.ls"]), "reported", ""],
    ]
    for processes, run in ((1, one), (2, two)):
        for what in ("scatter", "gather"):
            rows.append(["%s of 4096 x 4096 float64, %d process%s" % (what, processes, "es" * (processes > 1)),
                         ms(run[what + " 4096"]), "memcpy of the same 128 MiB", ms(one["memcpy 4096"]),
                         ratio(run[what + " 4096"] / one["memcpy 4096"]), "reported", ""])
    return head + (
        "Jobs of one and two processes started by `mpirun` through the module's runner, one BLAS thread "
        "per rank; the one-process job is not bound to a core, so that its two-thread OpenBLAS call can "
        "use both. Medians of 5 rounds (3 for ls, scatter and gather), each timed between barriers; the "
        "ls figures leave out the scatters or copies of its operands. The floor is pdgemm called from "
        "C++ (`benchmarks/distributed_floor.cpp`) on the same grid, blocks and sizes. The agreement "
        "check that every operation makes before the engine runs (one allreduce of two 64-bit words) "
        "costs %s per call on 1 process and %s on 2.\n\n" % (duration(one["agreement"]),
                                                               duration(two["agreement"]))
        + table(["call", "time", "against", "its time", "ratio", "target", "met"], rows))


def main(results, docs):
    run = Run(results)
    sweep, worst_sweep = sweep_rows(run)
    ints, worst_int = int_scalar_rows(run)
    parts = [
        "# Benchmarks\n\nGenerated by `make bench` (`benchmarks/run.sh`, report by `benchmarks/report.py`); "
        "do not edit by hand. What queltcore costs per call against the floors (the same CBLAS or "
        "LAPACKE routine called from C++, and a pybind11 function with a single overload taking the "
        "same arguments), against its own ordered-chain copy (every call resolved by pybind11's "
        "overload chain, as before the fast dispatch), and against NumPy and SciPy; what the quelt "
        "package's data exchange and `quelt.Session` cost against `memcpy` and the runtime's own `Run` "
        "(last section). Medians throughout.\n\n![Latency per call against size](benchmarks.png)\n",
        targets_section(run, worst_sweep, worst_int),
        machine_section(run),
        "## Every overload at size 1\n\nEach name's overloads at size 1 (1-element vectors, 1 x 1 "
        "matrices); times are ranges of the medians over the overloads that do work. The refused "
        "overloads raise `RuntimeError` in both queltcore and the floor; their cost is that of "
        "the exception.\n\n" + table(
            ["name", "overloads", "queltcore", "single-overload floor", "worst vs floor (overload #)",
             "within %.1f x" % cases.TARGET_SMALL_RATIO, "ordered chain", "refused: median"], sweep),
        "### With int scalars\n\nThe first and last overload of each type called with Python ints as "
        "the scalars, which the ordered chain accepts only in its second, converting pass.\n\n" + table(
            ["name/type", "floor (first)", "queltcore first", "queltcore last", "vs floor", "chain first",
             "chain last"], ints),
        "## Latency by size\n\nPer operation family and type: the C++ call of the CBLAS or LAPACKE "
        "routine (Google Benchmark), the "
        "single-overload floor of the first overload, queltcore's first and last overload, the "
        "ordered chain's, and the peers.\n\n" + "\n".join(family_table(run, f) for f in cases.FAMILIES),
        throughput_section(run),
        model_section(run),
        package_section(run),
        report_operations.section(run, run.threads, duration, table),
        conversion_section(results),
        distributed_section(results),
        METHOD,
    ]
    os.makedirs(docs, exist_ok=True)
    with open(os.path.join(docs, "benchmarks.md"), "w") as out:
        out.write("\n".join(parts))
    plot(run, os.path.join(docs, "benchmarks.png"))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
