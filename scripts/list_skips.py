#!/usr/bin/env python3
"""Lists every test a CTest run skipped, with the reason the test printed.

Reads BUILD_DIR/Testing/Temporary/LastTest.log, where CTest keeps each entry's output. A
skip is found three ways: a whole CTest entry skipped (tests/skip.sh's "SKIPPED: ...", the
black-box suites' "E2E SKIPPED: ..."), a GoogleTest case skipped ("...: Skipped" and the
message on the next line), and a black-box case skipped inside an entry that passed
(unittest's "... skipped 'reason'"). CTEST_OUTPUT, what ctest printed (its -O file), adds
the entries it lists as skipped that printed no reason. Prints nothing when nothing was
skipped. Then one line counts the black-box cases (the e2e_ entries' unittest cases) that ran
and that were skipped: a pass where every case skipped says so at a glance.

usage: list_skips.py BUILD_DIR [CTEST_OUTPUT]
"""

import re
import sys
from pathlib import Path

ENTRY = re.compile(r'^\d+/\d+ Test: (.+)$')
NOT_RUN = re.compile(r'^\s+\d+ - (.+) \(Skipped\)$')
WHOLE = re.compile(r'(?:^|E2E )SKIPPED: (.*)$')
# A case's line; one with a docstring ends there, the docstring and the verdict on the next.
CASE = re.compile(r'^(test\w*) \([\w.]+\)(?: \.\.\. |$)')
CASE_SKIPPED = re.compile(r'(?:^|\.\.\. )skipped (["\'])(.*)\1$')
GTEST = re.compile(r': Skipped$')
# unittest's closing lines: "Ran 12 tests in 3.1s", then "OK (skipped=2)" or "FAILED (...)".
RAN = re.compile(r'^Ran (\d+) tests? in ')
VERDICT_SKIPPED = re.compile(r'^(?:OK|FAILED) \(.*\bskipped=(\d+)')


def skips(log):
    """(entry, case or "", reason) for every skip, in the order the log holds them."""
    found = []
    entry, case, previous, in_output = None, "", "", False

    def add(in_case, reason):
        if (entry, in_case, reason) not in found:
            found.append((entry, in_case, reason))

    for line in log.splitlines():
        if match := ENTRY.match(line):
            entry, case, previous = match.group(1), "", ""
            continue
        if entry is None:
            continue
        if line in ("Output:", "<end of output>"):
            in_output = line == "Output:"
            continue
        if not in_output:
            continue
        if match := CASE.match(line):
            case = match.group(1)
        # A case's skip line can come after what the case wrote to standard error.
        if match := CASE_SKIPPED.search(line):
            add(case, match.group(2))
        elif match := WHOLE.search(line):
            add("", match.group(1))
        elif GTEST.search(previous):
            add("", line.strip() or "(no reason printed)")
        previous = line
    # A whole entry skipped for one reason is listed once, not once per case.
    return [(e, c, r) for e, c, r in found if not c or (e, "", r) not in found]


def black_box_counts(log):
    """(cases run, cases skipped, entries that printed no count) over the e2e_ entries."""
    ran, skipped, silent = 0, 0, []
    entry, counted = None, False
    for line in log.splitlines() + ["0/0 Test: end"]:
        if match := ENTRY.match(line):
            if entry and entry.startswith("e2e_") and not counted:
                silent.append(entry)
            entry, counted = match.group(1), False
        elif entry and entry.startswith("e2e_"):
            if match := RAN.match(line):
                ran, counted = ran + int(match.group(1)), True
            elif match := VERDICT_SKIPPED.match(line):
                skipped += int(match.group(1))
    return ran - skipped, skipped, silent


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__.strip().splitlines()[-1])
    path = Path(sys.argv[1]) / "Testing/Temporary/LastTest.log"
    found = skips(path.read_text(errors="replace")) if path.exists() else []
    if len(sys.argv) == 3 and Path(sys.argv[2]).exists():
        for line in Path(sys.argv[2]).read_text(errors="replace").splitlines():
            match = NOT_RUN.match(line)
            if match and not any(e == match.group(1) for e, _, _ in found):
                found.append((match.group(1), "", "(no reason printed)"))
    if found:
        print(f"Skipped ({len(found)}):")
    for entry, case, reason in found:
        print(f"  {entry}{' ' + case if case else ''}: {reason}")
    ran, skipped, silent = black_box_counts(path.read_text(errors="replace") if path.exists() else "")
    print(f"Black-box cases: {ran} ran, {skipped} skipped"
          + (f" ({', '.join(silent)} printed no count)" if silent else ""))


if __name__ == "__main__":
    main()
