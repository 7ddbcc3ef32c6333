#!/usr/bin/env python3
"""Counts test cases from one test run and prints "N passed, N failed".

Every ctest entry that wrote GoogleTest XML counts its cases; an entry that
wrote none (a script, or a program that crashed before writing) counts as one
case with ctest's verdict. A crashed GoogleTest program is therefore a failure
even when the cases it finished had passed.
"""
import pathlib
import sys
import xml.etree.ElementTree as ET

results = pathlib.Path(sys.argv[1])
passed = failed = 0
failed = int(sys.argv[2]) if len(sys.argv) > 2 else 0
failures = []

for preset in ("native-asan", "mingw"):
    junit = results / f"{preset}.junit.xml"
    if not junit.exists():
        continue
    for case in ET.parse(junit).getroot().iter("testcase"):
        name = case.get("name")
        ctest_failed = case.find("failure") is not None or case.get("status") == "fail"
        gtest = results / preset / f"{name}.xml"
        counted = False
        if gtest.exists():
            try:
                root = ET.parse(gtest).getroot()
                for tc in root.iter("testcase"):
                    if tc.get("result", "completed") == "skipped" or tc.get("status") == "notrun":
                        continue
                    if tc.find("failure") is not None:
                        failed += 1
                        failures.append(f"{preset}: {name}: {tc.get('classname')}.{tc.get('name')}")
                    else:
                        passed += 1
                counted = True
            except ET.ParseError:
                pass
        if ctest_failed and (not counted or not any(f.startswith(f"{preset}: {name}:") for f in failures)):
            # The program failed beyond its cases (crash, timeout, leak report).
            failed += 1
            failures.append(f"{preset}: {name}")
        elif not counted:
            passed += 1

for f in failures:
    print(f"FAILED {f}")
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed or passed == 0 else 0)
