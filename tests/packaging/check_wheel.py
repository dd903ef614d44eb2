"""Builds the wheel from the build folder it is given, installs it into a fresh venv and runs the
exchange example there, with no environment variables pointing at the build.

    check_wheel.py SOURCE_FOLDER BUILD_FOLDER
"""
import base64
import fnmatch
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import zipfile

source, build = (os.path.abspath(p) for p in sys.argv[1:3])
work = os.path.join(build, "wheel-check")
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
clean = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "QUELT_"))}
clean["PYTHONDONTWRITEBYTECODE"] = "1"


def run(command, **extra):
    print("+", " ".join(command), flush=True)
    return subprocess.run(command, check=True, cwd=work, env=dict(clean, **extra), stdout=subprocess.PIPE,
                          universal_newlines=True).stdout


def fail(message):
    sys.exit("check_wheel: " + message)


run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index", "--no-cache-dir",
     "-w", os.path.join(work, "dist"), source], QUELT_WHEEL_BUILD_FOLDER=build)
wheels = glob.glob(os.path.join(work, "dist", "quelt-*.whl"))
if len(wheels) != 1:
    fail("expected one wheel, found %s" % wheels)

# Every file is where site-packages needs it, and RECORD names each with its true hash.
with zipfile.ZipFile(wheels[0]) as wheel:
    names = set(wheel.namelist())
    dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/RECORD"))
    for pattern in ("queltcore.cpython-37m*.so", "queltcore.pyi", "libonnxruntime.so.1.17.3", "quelt/__init__.py",
                    "quelt/_exchange.py", "quelt/py.typed", "quelt/_native.cpython-37m*.so"):
        if not any(fnmatch.fnmatch(n, pattern) for n in names):
            fail("the wheel has no " + pattern)
    records = wheel.read(dist_info + "/RECORD").decode().splitlines()
    if {r.split(",")[0] for r in records} != names:
        fail("RECORD and the wheel's files differ")
    for record in records:
        path, digest, size = record.split(",")
        if path == dist_info + "/RECORD":
            continue
        data = wheel.read(path)
        expected = "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        if (digest, int(size)) != (expected, len(data)):
            fail("RECORD entry of %s does not match its contents" % path)
    if "Tag: cp37-cp37m-" not in wheel.read(dist_info + "/WHEEL").decode():
        fail("the wheel is not tagged for CPython 3.7")

venv = os.path.join(work, "venv")
run([sys.executable, "-m", "venv", venv])
python = os.path.join(venv, "bin", "python")
run([python, "-m", "pip", "install", "--no-index", "--no-deps", "--no-cache-dir", wheels[0]])

# Imported from the venv, not from the build or the checkout.
where = run([python, "-c", "import quelt, queltcore; print(quelt.__file__); print(queltcore.__file__)"]).split()
site = os.path.join(venv, "lib", "python3.7", "site-packages")
if not all(p.startswith(site + os.sep) for p in where):
    fail("imported from %s, not from %s" % (where, site))

# The example's fit against the closed-form least-squares line of its data.
t = [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0]
y = [1.9, 2.6, 2.9, 3.6, 4.1, 4.4, 5.1, 5.4]
tm, ym = sum(t) / len(t), sum(y) / len(y)
c1 = sum((a - tm) * (b - ym) for a, b in zip(t, y)) / sum((a - tm) ** 2 for a in t)
c0 = ym - c1 * tm
output = run([python, os.path.join(source, "examples", "exchange.py")])
print(output)
if "fit: y = %.6f + %.6f t" % (c0, c1) not in output:
    fail("the example's fit is not y = %.6f + %.6f t" % (c0, c1))
shutil.rmtree(work)
print("check_wheel: ok")
