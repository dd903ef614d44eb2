"""Configuring the build against a pybind11 other than 2.10.x stops with a message that says why.

Each case configures the source tree in a scratch folder against a stand-in pybind11 package
that claims the version under test; the refusal comes before anything else is looked for.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import support

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


@unittest.skipIf(shutil.which("cmake") is None, "no cmake on PATH")
class Pybind11VersionTest(unittest.TestCase):
    def test_other_versions_are_refused_at_configure_time(self):
        for version in ("2.9.2", "2.11.0", "2.13.6", "3.0.0"):
            with self.subTest(version=version), tempfile.TemporaryDirectory() as scratch:
                package = os.path.join(scratch, "pybind11")
                os.mkdir(package)
                with open(os.path.join(package, "pybind11ConfigVersion.cmake"), "w") as out:
                    out.write('set(PACKAGE_VERSION "%s")\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n' % version)
                open(os.path.join(package, "pybind11Config.cmake"), "w").close()
                run = subprocess.run(["cmake", "-S", SOURCE, "-B", os.path.join(scratch, "build"),
                                      "-Dpybind11_DIR=" + package, "-DPython_EXECUTABLE=" + sys.executable],
                                     env=support.without_sanitizer(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
                self.assertNotEqual(run.returncode, 0)
                # CMake wraps the message; the words are compared in order.
                words = " ".join(run.stderr.split())
                self.assertIn("pybind11 %s (found in %s) is not the version this build supports: the fast dispatch "
                              "(python/quelt_pybind/overloads.hpp and dispatch.cpp) reaches into pybind11's internals "
                              "and is verified against pybind11 2.10.x only." % (version, package), words)


if __name__ == "__main__":
    unittest.main()
