"""The typed conformance cases through the runtime alone (the C++ checker), counted.

    run_direct.py CASES_ROOT CHECKER KNOWN_FAILURES TOLERANCES WORK_FOLDER

CASES_ROOT is the cases folder convert.py --typed wrote. Every case runs through CHECKER; its
outputs are compared with the expected ones (the backend runner's tolerances, relative 1e-3 and
absolute 1e-7, unless TOLERANCES gives a case its own). A case the runtime fails must be listed
in KNOWN_FAILURES with its reason; an unlisted failure fails the run, and a listed case that
passes is noted. The runtime's log goes to WORK_FOLDER/direct.log.
"""
import os
import sys

import typed_values

# What the runtime says when StringNormalizer finds no en_US.UTF-8 locale.
LOCALE_MISSING = "Failed to construct locale with name:en_US.UTF-8"


def list_cases(cases_root):
    return [typed_values.Case(cases_root, suite + "/" + name)
            for suite in sorted(os.listdir(cases_root))
            for name in sorted(os.listdir(os.path.join(cases_root, suite)))]


class DirectRun:
    """The checker's results for every case and how each compares with the expected outputs."""

    def __init__(self, cases_root, checker, known, tolerances, work):
        os.makedirs(work, exist_ok=True)
        self.cases = list_cases(cases_root)
        self.tolerances = tolerances
        with open(os.path.join(work, "direct.log"), "w") as log:
            self.results = typed_values.run_checker(checker, cases_root, self.cases, work, log)
        self.failures = {}
        for case in self.cases:
            found = typed_values.case_failures(case, self.results[case.name], self.tolerance(case))
            if found:
                self.failures[case.name] = found
        self.passed = len(self.cases) - len(self.failures)
        # A machine without the locale cannot load these cases; that is the machine's fault.
        self.known = dict(known)
        for name, found in self.failures.items():
            if name not in known and any(LOCALE_MISSING in line for line in found):
                self.known[name] = "locale missing: en_US.UTF-8 is not generated here (tools/install-deps.sh does it)"
        self.unlisted = sorted(set(self.failures) - set(self.known))
        self.listed_passing = sorted(name for name in known if name not in self.failures)

    def tolerance(self, case):
        return self.tolerances.get(case.name, (typed_values.RELATIVE_TOLERANCE, typed_values.ABSOLUTE_TOLERANCE))

    def report(self, out):
        known = self.known
        for name in self.unlisted:
            out.write("FAILED (runtime, not listed as a known failure): %s: %s\n" % (
                name, "; ".join(self.failures[name])))
        for name in self.listed_passing:
            out.write("note: %s passes through the runtime but is listed as a known failure\n" % name)
        reasons = {}
        for name in self.failures:
            if name in known:
                reasons.setdefault(known[name].partition(":")[0], []).append(name)
        for reason, names in sorted(reasons.items()):
            out.write("  %d %s\n" % (len(names), reason))
        out.write("runtime directly: %d of %d cases pass, %d known failures, %d unexplained\n" % (
            self.passed, len(self.cases), len(self.failures) - len(self.unlisted), len(self.unlisted)))


def main(cases_root, checker, known_path, tolerances_path, work):
    known = typed_values.read_listing(known_path)
    run = DirectRun(cases_root, checker, known, typed_values.read_tolerances(tolerances_path), work)
    run.report(sys.stdout)
    return 1 if run.unlisted else 0


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit("usage: run_direct.py CASES_ROOT CHECKER KNOWN_FAILURES TOLERANCES WORK_FOLDER")
    sys.exit(main(*sys.argv[1:]))
