"""Lists the tests a ctest run skipped, each with its reason, from the run's
JUnit file (ctest --output-junit): ctest itself prints only "Skipped".

    tests/skipped.py RESULTS.xml

The reason is what the test said: a GoogleTest case's GTEST_SKIP() message,
or the "skipped: ..." line of a test that exits with its skip status.
"""

import sys
import xml.etree.ElementTree as ElementTree


def reason(output):
    lines = [line.strip() for line in output.splitlines()]
    for i, line in enumerate(lines):
        if line.endswith(": Skipped"):
            said = []
            for following in lines[i + 1:]:
                if following.startswith("[  SKIPPED ]"):
                    break
                said.append(following)
            return " ".join(filter(None, said)) or "(no message)"
    for line in lines:
        if line.lower().startswith("skipped:"):
            return line.split(":", 1)[1].strip()
    said = [line for line in lines if line]
    return said[-1] if said else "(no output)"


def main(path):
    skipped = []
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        if case.find("skipped") is not None:
            skipped.append((case.get("name"), reason(case.findtext("system-out") or "")))
    if skipped:
        print(f"{len(skipped)} skipped:")
        for name, why in skipped:
            print(f"  {name}: {why}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
