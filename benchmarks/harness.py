"""Times queltcore's calls under CPython 3.7, each interleaved with the same call made through
queltfloor, the module that gives every overload a function of its own.

    harness.py latency OUT MODELS      every overload at size 1, the first and the last overload
                                       of each name at every size, the model runner's calls
    harness.py chain OUT               the same calls without queltfloor's and the model's, for
                                       the ordered-chain copy
    harness.py throughput OUT MODELS   the large sizes and the model that computes for a while
    harness.py quelt OUT MODELS        the quelt package: data exchange against memcpy and element
                                       loops, quelt.Session against the runtime's Run (package.py)
    harness.py serving OUT MODELS      quelt.Session for serving: stop bookkeeping, outputs into
                                       the caller's buffer, cancellation latency (serving.py)
    harness.py threads OUT             quelt's operations from two threads against one after the
                                       other, another thread's pauses during a long call (threads.py)
    harness.py conversion OUT          quelt's conversions of foreign buffers against C++ loops,
                                       memcpy and a fresh allocation (conversion.py)

In the latency phase every overload at size 1 is timed through quelt's function of the same name
as well (label "quelt"), which must cost what the core's does.

The module found first on PYTHONPATH is timed: the build's queltcore, or its ordered-chain copy
(the two cannot share a process: both register the same classes). Before anything is timed,
every overload is called through both modules on equal operands and the results compared, and
each family's result is checked against a computation in plain Python.

At large sizes each call is interleaved with queltfloor's loop of the direct CBLAS call (or
model run) on the same containers, timed in C++.

Calls that run on this thread alone are timed on its CPU clock (time.thread_time), which a
machine shared with other work disturbs far less than the wall clock; the model's run, which
uses the runtime's own threads, on the wall clock.
"""
import ctypes
import os
import re
import sys
import time

import cases
from timing import mapped_blas_libraries, measure
import queltcore as q
import queltfloor as f  # after queltcore: its functions take queltcore's classes

LATENCY_BLOCK = 0.001
THROUGHPUT_BLOCK = 0.005


# ---- overloads, as the module lists them ----------------------------------------------------

SIGNATURE = re.compile(r"^\d+\. (\w+)\((.*)\) -> ")


def overloads(name):
    """The argument types of every overload of a module function, in registration order:
    "float" and "complex" for scalars, the class name for containers."""
    found = []
    for line in getattr(q, name).__doc__.splitlines():
        match = SIGNATURE.match(line)
        if match:
            types = [part.split(": ")[1] for part in match.group(2).split(", ")]
            found.append([t[len("queltcore."):] if t.startswith("queltcore.") else t for t in types])
    return found


def classes_of(types):
    return [t for t in types if t not in ("float", "complex")]


def letter_of(types):
    return classes_of(types)[0][-1]


def floor_name(name, types):
    return "_".join([name] + classes_of(types))


def refused(name, types):
    """gemv and matvec with a vector or a view as A: registered, and refused when called."""
    return name in ("gemv", "matvec") and not classes_of(types)[0].startswith("mat")


# ---- operands -------------------------------------------------------------------------------

def container(cls, rows, cols):
    """A container of class cls with rows x cols elements; a view is taken one element into a
    longer vector, as views usually are."""
    letter, kind = cls[-1], cls[:-1]
    if kind == "mat":
        return getattr(q, cls)(rows, cols)
    if kind == "vec":
        return getattr(q, cls)(rows * cols)
    return getattr(q, "vec" + letter)(rows * cols + 1)[1:]


def fill(target, value):
    """Sets every element to value: one element written, then doubled by copies."""
    n = target.numel()
    if n == 0:
        return
    name = type(target).__name__
    flat = getattr(q, "vec" + name[-1])(n) if name.startswith("mat") else target
    flat[0] = value
    done = 1
    while done < n:
        step = min(done, n - done)
        q.copy(flat[0:step], flat[done:done + step])
        done += step
    if flat is not target:
        q.copy(flat, target)


def ls_matrix(A, letter):
    """Identity plus the operand value everywhere: full rank at every shape."""
    fill(A, cases.operand_value(letter))
    for i in range(min(A.dim(0), A.dim(1))):
        A[i, i] = A[i, i] + 1


def arguments(name, types, size):
    """Operands and scalars for one overload at one size, in argument order."""
    letter = letter_of(types)
    family_scalars = list(cases.scalars(name, letter))
    shapes = cases.operand_shapes(name, size)
    args = []
    for t in types:
        if t in ("float", "complex"):
            args.append(family_scalars.pop(0))
        else:
            rows, cols = shapes.pop(0)
            c = container(t, rows, cols)
            fill(c, cases.operand_value(letter))
            args.append(c)
    if name == "ls":
        if size in (1, (1, 1)):
            # A 1 x 1 system with A = 1 stays as it is under gels: no restoring needed.
            fill(args[0], 1.0)
        else:
            ls_matrix(args[0], letter)
    return args


# ---- timing ---------------------------------------------------------------------------------

def call_statement(args, guard):
    call = "fn(%s)" % ", ".join("a%d" % i for i in range(len(args)))
    # A refused call raises; catching it is part of what both variants pay.
    return "try:\n    %s\nexcept RuntimeError:\n    pass" % call if guard else call


def namespace(fn, args, **extra):
    ns = {"a%d" % i: a for i, a in enumerate(args)}
    ns["fn"] = fn
    ns.update(extra)
    return ns


def restore_entry(args, letter):
    """For ls: fresh copies of A and b before every call, through queltfloor's copies, the
    same for every variant; timed alone as well and subtracted by the report."""
    A, B = args
    A0 = container("mat" + letter, A.dim(0), A.dim(1))
    ls_matrix(A0, letter)
    B0 = container("vec" + letter, B.numel(), 1)
    fill(B0, cases.operand_value(letter))
    restore = "rA(A0, a0); rB(B0, a1)"
    ns = {"rA": getattr(f, "copy_%s_%s" % (type(A0).__name__, type(A).__name__)),
          "rB": getattr(f, "copy_%s_%s" % (type(B0).__name__, type(B).__name__)),
          "A0": A0, "B0": B0}
    return restore, ns


def variant_entries(name, types, size, scalars=None, floor=True, package=None):
    """The module's call, (with floor) queltfloor's call and (with package) the quelt package's
    call of one overload, on the same operands."""
    args = arguments(name, types, size)
    if scalars is not None:
        count = sum(t in ("float", "complex") for t in types)
        args = list(scalars[:count]) + args[count:]
    guard = refused(name, types)
    statement = call_statement(args, guard)
    entries = {"module": (statement, namespace(getattr(q, name), args))}
    if floor:
        entries["floor"] = (statement, namespace(getattr(f, floor_name(name, types)), args))
    if package is not None:
        entries["quelt"] = (statement, namespace(getattr(package, name), args))
    if name == "ls" and size not in (1, (1, 1)):
        restore, extra = restore_entry(args, letter_of(types))
        for label in list(entries):
            statement_, ns = entries[label]
            ns.update(extra)
            entries[label] = (restore + "; " + statement_, ns)
        entries["restore"] = (restore, dict(entries["module"][1]))
    return entries


def first_and_last(name, letter):
    """The first overload of a name that does work for an element type, and its last one."""
    mine = [types for types in overloads(name) if letter_of(types) == letter]
    working = [types for types in mine if not refused(name, types)]
    return working[0], mine[-1]


# ---- checks ---------------------------------------------------------------------------------

def pattern(i, letter):
    value = 0.25 * (i % 7 + 1)
    return complex(value, 0.5 * (i % 3) - 0.5) if letter in "cz" else value


def elements(c):
    """A container's elements in storage order (column-major for a matrix)."""
    if type(c).__name__.startswith("mat"):
        return [c[i, j] for j in range(c.dim(1)) for i in range(c.dim(0))]
    return [c[i] for i in range(c.numel())]


def set_elements(c, values):
    if type(c).__name__.startswith("mat"):
        rows = c.dim(0)
        for k, v in enumerate(values):
            c[k % rows, k // rows] = v
    else:
        for k, v in enumerate(values):
            c[k] = v


def close(a, b, letter, scale=1.0):
    tolerance = (1e-5 if letter in "sc" else 1e-12) * max(1.0, scale)
    return abs(a - b) <= tolerance * max(1.0, abs(a), abs(b))


def reference(name, letter, scalars, before):
    """What a level-1 call must leave in its operands, and return, from the operands' contents
    before it, computed in plain Python: (operand contents, result)."""
    if name == "scale":
        (x,) = before
        return [[scalars[0] * v for v in x]], None
    if name in ("axpy", "sum"):
        alpha = scalars[0] if name == "axpy" else 1
        x, y = before
        return [x, [alpha * a + b for a, b in zip(x, y)]], None
    if name == "copy":
        x, y = before
        return [x, list(x)], None
    if name == "swap":
        x, y = before
        return [y, x], None
    if name in ("dot", "hdot"):
        x, y = before
        conj = (lambda v: v.conjugate()) if name == "hdot" else (lambda v: v)
        return before, sum(conj(a) * b for a, b in zip(x, y))
    raise ValueError("no level-1 reference for " + name)


def matrix_reference(name, scalars, shapes, before):
    """What a product must leave in A, x (or X) and y (or Y): y := a A x + b y on the first
    column of a matrix x or y, Y := a A X + b Y."""
    a, b = scalars if name in ("gemv", "gemm") else (1, 1)
    (m, n), (xr, xc), (yr, yc) = shapes
    A, X, Y = before
    out = list(Y)
    columns = 1 if name in ("gemv", "matvec") else xc
    for j in range(columns):
        for i in range(m):
            s = sum(A[i + k * m] * X[k + j * xr] for k in range(n))
            out[i + j * yr] = a * s + b * Y[i + j * yr]
    return [A, X, out]


def check(log):
    """Every overload through the module and through queltfloor on equal operands: the same
    contents afterwards, the same result, the destination handed back as itself; and each
    result as plain Python computes it. A mismatch stops the run."""
    failures = []
    checked = 0
    for name in cases.FAMILIES:
        for types in overloads(name):
            letter = letter_of(types)
            size = (2, 3) if name in cases.MATRIX_FAMILIES else 5
            scalars = cases.scalars(name, letter)
            runs = []
            for module in (q, f):
                args = arguments(name, types, size)
                containers = [a for a in args if not isinstance(a, (float, complex))]
                for index, c in enumerate(containers):
                    set_elements(c, [pattern(i + 3 * index, letter) for i in range(c.numel())])
                before = [elements(c) for c in containers]
                fn = getattr(q, name) if module is q else getattr(f, floor_name(name, types))
                try:
                    result = fn(*args)
                    error = None
                except RuntimeError as raised:
                    result, error = None, str(raised)
                runs.append((containers, before, result, error))
            (containers, before, result, error), (containers2, _, result2, error2) = runs
            checked += 1
            after = [elements(c) for c in containers]
            what = "%s%s" % (name, tuple(types))
            if error != error2 or (error is None) != (not refused(name, types)):
                failures.append("%s: errors %r and %r" % (what, error, error2))
                continue
            if error is not None:
                continue
            if name in ("scale", "sum", "copy", "axpy", "gemv", "matvec", "gemm", "matmul") \
                    and (result is not containers[-1] or result2 is not containers2[-1]):
                failures.append("%s: the destination is not handed back" % what)
            if [elements(c) for c in containers2] != after or (result is None) != (result2 is None):
                failures.append("%s: queltcore and queltfloor disagree" % what)
                continue
            if name in ("dot", "hdot") and result != result2:
                failures.append("%s: results %r and %r" % (what, result, result2))
            if name in ("gemv", "matvec", "gemm", "matmul"):
                shapes = cases.operand_shapes(name, size)
                expected, value = matrix_reference(name, scalars, shapes, before), None
            elif name == "ls":
                # The solution x of the 2 x 3 system satisfies A x = b.
                (m, n), _ = cases.operand_shapes(name, size)
                A0, b0 = before
                x = after[1][:n]
                residual = max(abs(sum(A0[i + k * m] * x[k] for k in range(n)) - b0[i]) for i in range(m))
                if not close(residual, 0.0, letter, scale=10):
                    failures.append("%s: residual %r" % (what, residual))
                continue
            else:
                expected, value = reference(name, letter, scalars, before)
            for got, want in zip(after, expected):
                if not all(close(g, w, letter) for g, w in zip(got, want)):
                    failures.append("%s: %r, expected %r" % (what, got, want))
                    break
            if value is not None and not close(result, value, letter):
                failures.append("%s: returned %r, expected %r" % (what, result, value))
    log("checked %d overloads" % checked)
    if failures:
        for failure in failures[:20]:
            log("MISMATCH " + failure)
        sys.exit("the calls to be timed do not compute what they should (%d mismatches)" % len(failures))


# ---- phases ---------------------------------------------------------------------------------

def process_info():
    """The interpreter, the module files, and the BLAS this process has mapped."""
    mapped = mapped_blas_libraries()
    info = {"python": sys.version.split()[0], "executable": sys.executable,
            "module": q.__file__, "floor": f.__file__, "blas_libraries": mapped,
            "environment": {k: v for k, v in os.environ.items() if k.startswith("OPENBLAS")}}
    openblas = [p for p in mapped if "libopenblas" in p]
    if openblas:
        library = ctypes.CDLL(openblas[0])
        for function in ("openblas_get_corename", "openblas_get_config"):
            getattr(library, function).restype = ctypes.c_char_p
            info[function[len("openblas_get_"):]] = getattr(library, function)().decode()
        info["openblas_threads"] = library.openblas_get_num_threads()
    return info


def timed_picks(name, picks, size, floor, scalars=None):
    """The first and the last overload at one size, labelled module-first, floor-last and so
    on; where a type has a single overload it stands for both."""
    timed = {}
    for which, types in picks:
        entries = variant_entries(name, types, size, scalars, floor)
        for label, stats in measure(entries, LATENCY_BLOCK, 7).items():
            timed["%s-%s" % (label, which)] = stats
    if len(picks) == 1:
        timed.update({k.replace("-first", "-last"): v for k, v in timed.items()})
    return timed


def latency(out, models, log, floor=True):
    check(log)
    result = {"process": process_info(), "sweep": {}, "tables": {}, "int_scalars": {}, "model": {}}

    log("every overload at size 1")
    package = None
    if floor:
        import quelt as package  # the build's package beside this queltcore
    for name in cases.FAMILIES:
        size = (1, 1) if name in cases.MATRIX_FAMILIES else 1
        rows = []
        for position, types in enumerate(overloads(name), 1):
            timed = measure(variant_entries(name, types, size, floor=floor, package=package), LATENCY_BLOCK, 7)
            timed.update(position=position, types=types, refused=refused(name, types))
            rows.append(timed)
        result["sweep"][name] = rows

    log("first and last overloads at every size")
    for name in cases.FAMILIES:
        for letter in cases.LETTERS:
            if name not in cases.families(letter):
                continue
            first, last = first_and_last(name, letter)
            picks = [("first", first)] + ([("last", last)] if last != first else [])
            for size in cases.sizes(name):
                timed = timed_picks(name, picks, size, floor)
                timed.update(first=first, last=last)
                result["tables"][cases.key(name, letter, size)] = timed
            ints = cases.int_scalars(name)
            if ints is not None:
                size = (1, 1) if name in cases.MATRIX_FAMILIES else 1
                result["int_scalars"][cases.key(name, letter, size)] = timed_picks(name, picks, size, floor, ints)

    if models:
        log("model runner")
        model = q.model(os.path.join(models, "tiny.onnx"))
        model.set(0, [0, 0], 1.0)
        model.set(0, [0, 1], 2.0)
        ns = {"m": model, "f": f}
        result["model"].update(measure({
            "set": ("m.set(0, [0, 1], 2.5)", ns),
            "floor-set": ("f.model_set(m, 0, [0, 1], 2.5)", ns),
            "get": ("m.get(0, [0, 1])", ns),
            "floor-get": ("f.model_get(m, 0, [0, 1])", ns),
            "nothing": ("f.nothing()", ns),
        }, LATENCY_BLOCK, 9))
        result["model"].update(measure({
            "run": ("m.run()", ns),
            "cycle": ("m.set(0, [0, 1], 2.5); m.run(); m.get(0, [0, 1])", ns),
        }, LATENCY_BLOCK * 5, 9, clock=time.perf_counter))
    cases.save(out, result)


def large_case(name, letter, n, kinds, shapes):
    """One large call through queltcore and through queltfloor's direct loop, on the same
    containers, which are freed on return."""
    args = list(cases.scalars(name, letter))
    for kind, (rows, cols) in zip(kinds, shapes):
        c = container(kind + letter, rows, cols)
        fill(c, cases.operand_value(letter))
        args.append(c)
    direct = getattr(f, "direct_" + name)
    # The sizes that targets are set for get more rounds: one call of them varies by several
    # percent on a shared machine.
    rounds, budget = (31, 3.0) if (name, n) in cases.TARGET_LARGE else (25, 0.5)
    return measure({"module": (call_statement(args, False), namespace(getattr(q, name), args)),
                    "direct": lambda number: direct(number, *args)}, THROUGHPUT_BLOCK, rounds, budget=budget)


def throughput(out, models, log):
    result = {"process": process_info(), "throughput": {}, "model": {}}
    work = []
    for letter in cases.LETTERS:
        for n in cases.GEMM_SIZES[letter]:
            work.append(("gemm", letter, n, ["mat", "mat", "mat"], [(n, n)] * 3))
    for letter in cases.STREAM_LETTERS:
        for n in cases.GEMV_SIZES:
            work.append(("gemv", letter, n, ["mat", "vec", "vec"], [(n, n), (n, 1), (n, 1)]))
        for n in cases.STREAM_SIZES:
            work.append(("axpy", letter, n, ["vec", "vec"], [(n, 1)] * 2))
            work.append(("dot", letter, n, ["vec", "vec"], [(n, 1)] * 2))
    for name, letter, n, kinds, shapes in work:
        result["throughput"]["%s/%s/%d" % (name, letter, n)] = large_case(name, letter, n, kinds, shapes)
    if models:
        path = os.path.join(models, "compute.onnx")
        model = q.model(path)
        model.set(0, [0], 1.0)
        result["model"]["compute/run"] = measure({
            "run": ("m.run()", {"m": model}),
            "direct": lambda number: f.direct_run(number, path),
        }, THROUGHPUT_BLOCK, 25, clock=time.perf_counter, budget=1.0)
    cases.save(out, result)


def package_phase(out, models, log):
    import package  # imports quelt, where this build has it

    result = package.run(models, log, LATENCY_BLOCK, THROUGHPUT_BLOCK)
    result["process"] = process_info()
    cases.save(out, result)


def serving_phase(out, models, log):
    import serving

    result = serving.run(models, log, LATENCY_BLOCK, THROUGHPUT_BLOCK)
    result["process"] = process_info()
    cases.save(out, result)


def threads_phase(out, models, log):
    import threads

    result = threads.run(log)
    result["process"] = process_info()
    cases.save(out, result)


def conversion_phase(out, models, log):
    import conversion

    result = conversion.run(log, THROUGHPUT_BLOCK)
    result["process"] = process_info()
    cases.save(out, result)


def main(argv):
    phase, out = argv[1], argv[2]
    models = argv[3] if len(argv) > 3 else None

    def log(message):
        sys.stderr.write("  [%s] %s\n" % (os.path.basename(os.path.dirname(q.__file__)), message))

    if phase == "chain":
        latency(out, None, log, floor=False)
    else:
        phases = {"latency": latency, "throughput": throughput, "quelt": package_phase, "serving": serving_phase,
                  "threads": threads_phase, "conversion": conversion_phase}
        phases[phase](out, models, log)


if __name__ == "__main__":
    main(sys.argv)
