#!/usr/bin/env python3
"""One summary over all legs of `make test`.

Reads what each leg left in the results folder: <leg>.xml, the JUnit report
of its ctest run, and <leg>.status, the exit status of the leg as a whole.
Prints the skipped cases, each with the reason it cannot run there (the
message of GTEST_SKIP), the failed ones, a line per leg and, last, one line
that CI can read:

    make test: 312 passed, 0 failed, 4 skipped

A leg that failed outside its tests (it did not build, its tests could not
start) counts as one failure, so that a failing `make test` never says
"0 failed". Exits 1 when anything failed.

Usage: test-summary.py RESULTS_FOLDER LEG...
"""
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

# What ctest writes into <skipped message=...> for a case that skipped
# itself: gtest_discover_tests's SKIP_REGULAR_EXPRESSION, or SKIP_RETURN_CODE.
SELF_SKIPPED = {"SKIP_REGULAR_EXPRESSION_MATCHED", "SKIP_RETURN_CODE=", "Skipped"}


def skip_reason(output):
    """The message given to GTEST_SKIP(), from the test's output."""
    match = re.search(r": Skipped\n(.*?)(?:\n\[  SKIPPED \]|\Z)", output, re.S)
    reason = " ".join(match.group(1).split()) if match else ""
    return reason or "no reason given"


def failure_reason(case, output):
    failure = case.find("failure")
    message = failure.get("message", "") if failure is not None else ""
    if message:
        return message
    # gtest's first failure, on one line.
    match = re.search(r"^\S+:\d+: Failure\n(.*?)(?:\n\n|\n\[|\Z)", output, re.M | re.S)
    if match:
        text = " ".join(match.group(1).split())
        return text if len(text) <= 200 else text[:197] + "..."
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    return lines[-1] if lines else "no output"


def read_leg(folder, leg):
    """(passed, failed [(name, why)], skipped [(name, why)], problem or None)"""
    passed, failed, skipped = 0, [], []
    status_file = os.path.join(folder, leg + ".status")
    report = os.path.join(folder, leg + ".xml")
    try:
        with open(status_file) as f:
            leg_status = int(f.read().strip() or "1")
    except (OSError, ValueError):
        leg_status = None
    if not os.path.exists(report):
        return passed, failed, skipped, "no test results: the leg failed before its tests ran (see its output above)"
    try:
        cases = ElementTree.parse(report).getroot().iter("testcase")
    except ElementTree.ParseError as error:
        return passed, failed, skipped, "its test report %s cannot be read: %s" % (report, error)
    for case in cases:
        name = case.get("name", "?")
        output = case.findtext("system-out") or ""
        status = case.get("status")
        if status == "run":
            passed += 1
        elif status in ("notrun", "disabled"):
            skip = case.find("skipped")
            message = skip.get("message", "") if skip is not None else ""
            if message in SELF_SKIPPED or message.startswith("SKIP_RETURN_CODE"):
                skipped.append((name, skip_reason(output)))
            elif status == "disabled":
                skipped.append((name, "disabled in the build"))
            else:
                # Not run because something it needs failed: that is a failure.
                failed.append((name, "not run: " + (message or "unknown reason") +
                               (" (" + output.strip() + ")" if output.strip() else "")))
        else:
            failed.append((name, failure_reason(case, output)))
    problem = None
    if leg_status not in (0, None) and not failed:
        problem = "the leg failed outside its tests (status %d; see its output above)" % leg_status
    return passed, failed, skipped, problem


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    folder, legs = argv[1], argv[2:]
    total_passed, all_failed, all_skipped, leg_lines = 0, [], [], []
    for leg in legs:
        passed, failed, skipped, problem = read_leg(folder, leg)
        total_passed += passed
        all_failed += [(leg, name, why) for name, why in failed]
        all_skipped += [(leg, name, why) for name, why in skipped]
        line = "%s: %d passed, %d failed, %d skipped" % (leg, passed, len(failed), len(skipped))
        if problem:
            all_failed.append((leg, "(the leg itself)", problem))
            line += ", and the leg itself failed"
        leg_lines.append(line)

    print()
    if all_skipped:
        print("Skipped, each with the reason it cannot run there:")
        for leg, name, why in all_skipped:
            print("  %s  %s: %s" % (leg, name, why))
    if all_failed:
        print("Failed:")
        for leg, name, why in all_failed:
            print("  %s  %s: %s" % (leg, name, why))
    for line in leg_lines:
        print(line)
    print("make test: %d passed, %d failed, %d skipped" % (total_passed, len(all_failed), len(all_skipped)))
    return 1 if all_failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
