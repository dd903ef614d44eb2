"""The in-tree build backend behind `pip install .` and `pip wheel .` (PEP 517).

The build is the project's own CMake build; its install rules lay out exactly what a
site-packages folder receives (queltcore and its stubs, the quelt package, the ONNX Runtime
library beside them, found through $ORIGIN run paths). The wheel is those files plus the
dist-info folder, zipped. Only the standard library is needed.

QUELT_WHEEL_BUILD_FOLDER names an already built build folder to pack as it is (the packaging
test packs the build it runs in); without it the build goes to build-wheel/ in the checkout,
configured for the interpreter running this backend.
"""
import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _project():
    """name, version, summary and requires-python from pyproject.toml's [project] table."""
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        text = f.read()
    table = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S).group(1)
    fields = dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"\s*$', table, re.M))
    return fields


def _dist_info_name(project):
    return "%s-%s.dist-info" % (re.sub(r"[-_.]+", "_", project["name"]), project["version"])


def _tag():
    interpreter = "cp%d%d" % sys.version_info[:2]
    soabi = sysconfig.get_config_var("SOABI") or ""
    match = re.match(r"cpython-(\d+)(\w*?)-", soabi)
    abi = "cp%s%s" % (match.group(1), match.group(2)) if match else "none"
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return "%s-%s-%s" % (interpreter, abi, platform)


def _metadata(project):
    lines = ["Metadata-Version: 2.1", "Name: %s" % project["name"], "Version: %s" % project["version"]]
    if "description" in project:
        lines.append("Summary: %s" % project["description"])
    if "requires-python" in project:
        lines.append("Requires-Python: %s" % project["requires-python"])
    return "\n".join(lines) + "\n"


def _wheel_file():
    return "Wheel-Version: 1.0\nGenerator: quelt_backend\nRoot-Is-Purelib: false\nTag: %s\n" % _tag()


def _run(command):
    # The build's own output goes to pip's log (shown with -v); failures stop the build.
    print("quelt_backend:", " ".join(command), flush=True)
    subprocess.run(command, check=True, stdout=sys.stderr)


def _cache_value(folder, name):
    with open(os.path.join(folder, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    raise RuntimeError("%s is not set in %s/CMakeCache.txt" % (name, folder))


def _built_folder():
    folder = os.environ.get("QUELT_WHEEL_BUILD_FOLDER")
    if folder:
        if not os.path.isfile(os.path.join(folder, "CMakeCache.txt")):
            raise RuntimeError("QUELT_WHEEL_BUILD_FOLDER=%s is not a configured build folder" % folder)
        return os.path.abspath(folder)
    folder = os.path.join(ROOT, "build-wheel")
    _run(["cmake", "-S", ROOT, "-B", folder, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
          "-DPython_EXECUTABLE=" + sys.executable])
    _run(["cmake", "--build", folder, "-j", os.environ.get("JOBS", "2")])
    return folder


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (path, digest, len(data))


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = _project()
    name = _dist_info_name(project)
    folder = os.path.join(metadata_directory, name)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "METADATA"), "w") as f:
        f.write(_metadata(project))
    with open(os.path.join(folder, "WHEEL"), "w") as f:
        f.write(_wheel_file())
    return name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    folder = _built_folder()
    staging = tempfile.mkdtemp(prefix="quelt-wheel-")
    try:
        _run(["cmake", "--install", folder, "--prefix", staging])
        tree = os.path.join(staging, _cache_value(folder, "QUELT_INSTALL_DIR"))
        files = []
        for directory, subdirectories, names in os.walk(tree):
            subdirectories.sort()
            for name in sorted(names):
                full = os.path.join(directory, name)
                files.append((os.path.relpath(full, tree).replace(os.sep, "/"), full))

        dist_info = _dist_info_name(project)
        generated = [(dist_info + "/METADATA", _metadata(project).encode()),
                     (dist_info + "/WHEEL", _wheel_file().encode())]
        wheel_name = "%s-%s-%s.whl" % (re.sub(r"[-_.]+", "_", project["name"]), project["version"], _tag())
        target = os.path.join(wheel_directory, wheel_name)
        records = []
        with zipfile.ZipFile(target + ".part", "w", zipfile.ZIP_DEFLATED) as wheel:
            for arcname, full in files:
                with open(full, "rb") as f:
                    data = f.read()
                info = zipfile.ZipInfo(arcname, date_time=(2020, 1, 1, 0, 0, 0))
                info.external_attr = (os.stat(full).st_mode & 0o777 | 0o100000) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                wheel.writestr(info, data)
                records.append(_record_line(arcname, data))
            for arcname, data in generated:
                wheel.writestr(zipfile.ZipInfo(arcname, date_time=(2020, 1, 1, 0, 0, 0)), data,
                               zipfile.ZIP_DEFLATED)
                records.append(_record_line(arcname, data))
            records.append(dist_info + "/RECORD,,")
            wheel.writestr(zipfile.ZipInfo(dist_info + "/RECORD", date_time=(2020, 1, 1, 0, 0, 0)),
                           "\n".join(records) + "\n", zipfile.ZIP_DEFLATED)
        # Never a half-written wheel under the final name.
        os.replace(target + ".part", target)
        return wheel_name
    finally:
        shutil.rmtree(staging, ignore_errors=True)
