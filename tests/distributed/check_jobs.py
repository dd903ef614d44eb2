"""quelt.distributed's jobs as a whole: how a job ends when one rank fails, with the runner and
without it, and what importing loads. Each case runs real mpirun jobs of short scripts."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = os.environ["PYTHONPATH"].split(os.pathsep)[0]
MPIRUN = [os.environ.get("QUELT_MPIRUN", "mpirun"), "--oversubscribe", "--allow-run-as-root"]

# Every rank records its process id, then the ranks meet; the rank named fails in the way given
# while the others wait in a collective call that it never joins.
SCRIPT = """
import os, sys, time
import quelt.distributed as qd
comm = qd.world()
with open(os.path.join(sys.argv[1], str(os.getpid())), "w"):
    pass
comm.barrier()
if comm.rank == int(sys.argv[2]):
    {failure}
comm.barrier()
"""
FAILURES = {"raise": "raise ValueError('rank failed')", "exit": "sys.exit(3)", "none": "pass"}


def alive(pid):
    """Whether the process runs (a zombie, ended but not yet reaped, does not)."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class Jobs(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work)

    def job(self, failure, runner, processes=3, failing=1):
        script = os.path.join(self.work, failure + ".py")
        with open(script, "w") as f:
            f.write(SCRIPT.format(failure=FAILURES[failure]))
        pids = tempfile.mkdtemp(dir=self.work)
        start = time.monotonic()
        launch = ["-m", "quelt.distributed"] if runner else []
        # A preloaded sanitizer runtime (the sanitizer build) goes to the ranks only: mpirun is
        # not built for it.
        environment = dict(os.environ)
        preload = environment.pop("LD_PRELOAD", None)
        ranks_only = ["-x", "LD_PRELOAD=" + preload] if preload else []
        done = subprocess.run(MPIRUN + ranks_only + ["-n", str(processes), sys.executable] + launch
                              + [script, pids, str(failing)], env=environment,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        took = time.monotonic() - start
        self.assertEqual(len(os.listdir(pids)), processes)
        # Nothing of the job is left running once mpirun has returned (a moment's grace for
        # the kernel to reap).
        for pid in map(int, os.listdir(pids)):
            for _ in range(50):
                if not alive(pid):
                    break
                time.sleep(0.1)
            else:
                self.fail("rank process %d outlived the job" % pid)
        return done.returncode, took, done.stdout.decode(errors="replace")

    def test_the_runner_ends_the_job_with_the_failing_status(self):
        for failure, status in (("raise", 1), ("exit", 3), ("none", 0)):
            code, took, output = self.job(failure, runner=True)
            self.assertEqual(code, status, output)
            self.assertLess(took, 30, output)
        self.assertIn("ValueError: rank failed", self.job("raise", runner=True)[2])

    def test_without_the_runner_an_uncaught_exception_still_ends_the_job(self):
        code, took, output = self.job("raise", runner=False, processes=2)
        self.assertNotEqual(code, 0, output)
        self.assertLess(took, 30, output)
        self.assertIn("ValueError: rank failed", output)

    def test_importing_quelt_loads_no_mpi_and_quelt_distributed_starts_none(self):
        probe = ("import sys, quelt; maps = lambda: 'libmpi' in open('/proc/self/maps').read(); before = maps();"
                 "import quelt.distributed as qd; print(before, maps(), qd._distributed._started())")
        out = subprocess.run([sys.executable, "-c", probe], stdout=subprocess.PIPE, check=True).stdout
        self.assertEqual(out.split(), [b"False", b"True", b"False"])

    @unittest.skipIf("LD_PRELOAD" in os.environ, "a job of one process started without mpirun forks OpenMPI's "
                     "own daemon, which would inherit the preloaded sanitizer runtime it is not built for")
    def test_without_mpirun_world_is_a_job_of_one_process(self):
        probe = "import quelt.distributed as qd; c = qd.world(); c.barrier(); print(c.rank, c.size, qd.Grid().shape)"
        out = subprocess.run([sys.executable, "-c", probe], stdout=subprocess.PIPE, check=True, timeout=60).stdout
        self.assertEqual(out.split(), [b"0", b"1", b"(1,", b"1)"])

    def test_a_missing_module_or_library_is_an_import_error_naming_it(self):
        copy = os.path.join(self.work, "site")
        shutil.copytree(os.path.join(BUILD, "quelt"), os.path.join(copy, "quelt"))
        for name in os.listdir(BUILD):
            if name.startswith(("queltcore.", "libonnxruntime")):
                shutil.copy2(os.path.join(BUILD, name), copy)
        module = [n for n in os.listdir(os.path.join(copy, "quelt")) if n.startswith("_distributed")][0]
        cases = (
            ("quelt.distributed is not part of this build: quelt._distributed is built only where CMake finds MPI "
             "and the scalapack-openmpi package (openmpi-bin, libopenmpi-dev, libscalapack-openmpi-dev)", None),
            ("quelt.distributed needs OpenMPI and ScaLAPACK for OpenMPI (Debian: openmpi-bin, libopenmpi-dev, "
             "libscalapack-openmpi-dev): ", b"not a shared object"),
        )
        probe = ("import quelt\ntry:\n    import quelt.distributed\nexcept ImportError as e:\n    print(e)\n"
                 "print(quelt.tolist(quelt.vector([1.0, 2.0])))")
        for message, replacement in cases:
            path = os.path.join(copy, "quelt", module)
            if os.path.exists(path):
                os.remove(path)
            if replacement is not None:
                with open(path, "wb") as f:
                    f.write(replacement)
            out = subprocess.run([sys.executable, "-c", probe], stdout=subprocess.PIPE, check=True,
                                 env=dict(os.environ, PYTHONPATH=copy)).stdout.decode().splitlines()
            self.assertTrue(out[0].startswith(message), out)
            self.assertEqual(out[1], "[1.0, 2.0]")


if __name__ == "__main__":
    unittest.main()
