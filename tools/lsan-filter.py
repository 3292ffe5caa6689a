"""Reads LeakSanitizer reports and prints the leaks that are ours: those whose
allocation stack passes through the extension (the interpreter does not free
everything at exit, which is not our concern). Errors other than leaks are
always printed. Exits 1 when anything was printed."""

import pathlib
import re
import sys

OURS = re.compile(r"_ombrel\.|ombrel::|vorn::")
# One-time allocations of module initialisation live until exit by design.
INIT = re.compile(r"PyInit__ombrel|initGlobals")


def blocks(text):
    block = []
    for line in text.splitlines():
        if re.match(r"^(Direct|Indirect) leak", line) or line.startswith("SUMMARY"):
            if block:
                yield block
            block = [line]
        else:
            block.append(line)
    if block:
        yield block


def main(folder):
    found = 0
    for report in sorted(pathlib.Path(folder).glob("report*")):
        text = report.read_text(errors="replace")
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text:
            print(text)
            found += 1
            continue
        for block in blocks(text):
            body = "\n".join(block)
            if block[0].startswith(("Direct leak", "Indirect leak")) and OURS.search(body) and not INIT.search(body):
                print(body)
                found += 1
    print(f"sanitizer reports of ours: {found}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
