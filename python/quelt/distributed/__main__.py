"""python -m quelt.distributed script.py [args]: runs the script as one rank of an MPI job.

An exception or a non-zero exit on any rank ends every rank of the job at once with that
status (MPI_Abort); a normal end finalizes MPI on every rank.
"""
import os
import runpy
import sys
import traceback

from . import _distributed


def _status(code):
    """The exit status of sys.exit(code), as the interpreter would make it."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code & 0xFF if code & 0xFF else (1 if code else 0)
    print(code, file=sys.stderr)
    return 1


def main():
    if len(sys.argv) < 2:
        print("usage: python -m quelt.distributed script.py [args]", file=sys.stderr)
        return 2
    script = sys.argv[1]
    sys.argv = sys.argv[1:]
    sys.path[0] = os.path.dirname(os.path.abspath(script))
    try:
        runpy.run_path(script, run_name="__main__")
        status = 0
    except SystemExit as exit:
        status = _status(exit.code)
    except BaseException:
        traceback.print_exc()
        status = 1
    if status != 0:
        sys.stdout.flush()
        sys.stderr.flush()
        _distributed._abort(status)
    return 0


if __name__ == "__main__":
    sys.exit(main())
