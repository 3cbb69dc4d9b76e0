#!/usr/bin/env python3
"""Prints every skipped test, and every skip a passing test reports, with
its reason, from the JUnit file that `ctest --output-junit` writes: ctest
itself shows only "Skipped", the reason stays in the test's output.

A test's reason is the GoogleTest skip message, or the lines beginning
with "skipped" that a test or script prints (check_pe.py, the Windows
end-to-end runs, rows of a table that a test leaves out)."""
import re
import sys
import xml.etree.ElementTree as ET


def reasons(output):
    # GoogleTest: "file:line: Skipped", the message, then "[  SKIPPED ]".
    found = re.findall(r": Skipped\n(.*?)\n\[  SKIPPED \]", output, re.S)
    found += re.findall(r"^skipped\b:? ?(.*)$", output, re.M)
    return [" ".join(r.split()) for r in found]


def main(junit):
    count = 0
    for case in ET.parse(junit).getroot().iter("testcase"):
        output = case.findtext("system-out") or ""
        why = reasons(output)
        if case.find("skipped") is not None and case.get("status") == "notrun":
            count += 1
            print(f"skipped: {case.get('name')}: {'; '.join(why) or 'no reason printed'}")
        else:
            for reason in why:
                print(f"skipped in {case.get('name')}: {reason}")
    return count


if __name__ == "__main__":
    main(sys.argv[1])
