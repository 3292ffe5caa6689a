"""Counts the test cases of JUnit XML reports (CTest's and pytest's) and
prints "N passed, M failed"; exits 1 when a case failed, a report is missing
or nothing ran at all."""

import sys
import xml.etree.ElementTree as ET


def count(path):
    passed = failed = skipped = 0
    root = ET.parse(path).getroot()
    for case in root.iter("testcase"):
        status = case.get("status", "")
        if case.find("failure") is not None or case.find("error") is not None or status == "fail":
            failed += 1
        elif case.find("skipped") is not None or status in ("disabled", "notrun"):
            skipped += 1
        else:
            passed += 1
    return passed, failed, skipped


def main(paths):
    passed = failed = skipped = 0
    missing = []
    for path in paths:
        try:
            p, f, s = count(path)
        except (OSError, ET.ParseError):
            missing.append(path)
            continue
        passed, failed, skipped = passed + p, failed + f, skipped + s
    for path in missing:
        print(f"no test report at {path} (that suite did not run)")
    if skipped:
        print(f"{skipped} skipped")
    failed += len(missing)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
