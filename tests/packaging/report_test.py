#!/usr/bin/env python3
"""The zip's hwavc_enc_report.exe as a user runs it, under Wine in the prefix
whose Direct3D reports an Intel adapter, with the runtime stand-in beside it
(a short run: 320x240, 12 frames per buf_num). Every field of the report is
checked; then the report of a machine without the runtime, at the default
size, written to a folder that does not exist, and of a folder without
hwavc_enc.dll: each failure in the report with its text, the rest still there.

Usage: report_test.py ZIP VERSION STANDIN_DLL LAUNCHER...
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import zipfile

zip_path, version, standin, launcher = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
failures = []


def expect(condition, what, text=""):
    print(f"{'ok' if condition else 'FAIL'}: {what}")
    if not condition:
        failures.append(what)
        print(text)


def run(*args):
    """The program's standard output; its exit code must be 0. One that hangs
    is stopped with the launcher, whose clean-up frees the Wine prefix."""
    with subprocess.Popen([*launcher, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          errors="replace", start_new_session=True) as done:
        try:
            out, err = done.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            os.killpg(done.pid, signal.SIGTERM)
            out, err = done.communicate()
    expect(done.returncode == 0, f"{' '.join(args[-4:])} ends with 0", err[-2000:])
    return out


def windows(path):
    return "Z:" + path.replace("/", "\\")


def fields(text, name):
    return re.findall(rf"^{re.escape(name)}: (.*)$", text, re.M)


def check_run(section, buf_num, package):
    """One [buf_num N] section of a good run."""
    log = re.findall(r"^  (.*)$", section, re.M)
    prefixed = log and all(re.match(r"hwavc_enc\(\d+\): ", line) for line in log)
    texts = [re.sub(r"^hwavc_enc\(\d+\): ", "", line) for line in log]
    expect(prefixed and f"Intel Media SDK 1.35" in texts and any(t.startswith(f"buf_num:{buf_num} ") for t in texts),
           f"buf_num {buf_num}: the open log, verbatim", section)
    mode = next((t for t in texts if t.startswith("mode ")), "")
    corrected = [t[len("runtime corrected "):] for t in texts if t.startswith("runtime corrected ")]
    fallback = [t for t in texts if t.startswith("D3D11 open failed at ")]
    want = {
        "runtime file": [f"{windows(package)}\\libmfxhw64.dll, version 0.35.7.1"],
        "api version": ["1.35"],
        "implementation": ["MFX_IMPL_HARDWARE"],
        # What the open log says, whichever library version wrote it.
        "interface": [mode.split(" via ")[1] if " via " in mode else "not reported"],
        "fallback": fallback or ["none"],
        "runtime corrected": corrected or ["nothing"],
    }
    for name, values in want.items():
        got = fields(section, name)
        expect(got == values, f"buf_num {buf_num}: {name}: {values}", f"got {got}")
    expect("320x240, 12 frames in, 12 coded frames out" in section.splitlines(), f"buf_num {buf_num}: every frame out")
    fps = fields(section, "frames per second")
    expect(len(fps) == 1 and float(fps[0]) > 0, f"buf_num {buf_num}: frames per second {fps}")
    # The header's rule for B pictures: the first coded frame on call buf_num + 2.
    first = re.findall(r"^first coded frame: call (\d+), (\d+\.\d) ms$", section, re.M)
    expect(len(first) == 1 and int(first[0][0]) == buf_num + 2 and float(first[0][1]) > 0,
           f"buf_num {buf_num}: first coded frame on call {buf_num + 2}, a time", f"got {first}")


with tempfile.TemporaryDirectory() as work:
    zipfile.ZipFile(zip_path).extractall(work)
    package = os.path.join(work, f"kovarel-desktop-{version}-win64")
    program = os.path.join(package, "hwavc_enc_report.exe")
    shutil.copy(standin, package)
    # The Windows version Wine reports to this program alone (the prefix: 6.1.7601).
    run("reg", "add", r"HKCU\Software\Wine\AppDefaults\hwavc_enc_report.exe", "/v", "Version", "/d", "win81", "/f")

    out = run(program, "--size", "320x240", "--frames", "12")
    report_file = os.path.join(package, "hwavc_enc_report.txt")
    report = open(report_file, encoding="utf-8").read() if os.path.exists(report_file) else ""
    expect(report and out == report + f"\nThe report is in {windows(report_file)}: please send that file.\n",
           "the report beside the program, and the same on standard output", out)
    head, *sections = re.split(r"^\[buf_num (\d+)\]$", report, flags=re.M)
    expect(fields(head, "report program") == [f"hwavc_enc_report {version}"], "the report program's version")
    expect(fields(head, "windows") == ["6.3.9600 workstation"], "the Windows version", head)
    expect(re.match(r'adapter 0: vendor 0x8086, device 0x0412, ".+", driver \d+\.\d+\.\d+\.\d+, monitor attached: yes$',
                    head.splitlines()[3]) is not None, "the Intel adapter with its driver and monitor", head)
    expect(fields(head, "hwavc_enc.dll") == [f"{windows(package)}\\hwavc_enc.dll, version {version}.0"],
           "the DLL's path and version")
    expect(sections[0::2] == ["1", "2", "4", "9"], "a run at buf_num 1, 2, 4 and 9", sections[0::2])
    for buf_num, section in zip(sections[0::2], sections[1::2]):
        check_run(section, int(buf_num), package)

    # No runtime, and a report path that cannot be written; the user's
    # default run, whose sessions do not open here.
    os.remove(os.path.join(package, "libmfxhw64.dll"))
    missing = os.path.join(work, "no such folder", "report.txt")
    out = run(program, windows(missing))
    expect(re.search(r"^encoding: 1920x1080 at 30 frames/s, .*, 300 frames of a moving picture per run;$", out, re.M)
           is not None, "by default 300 frames of 1920x1080 per run", out)
    expect(re.search(rf"^report file: not written to {re.escape(windows(missing))} \(.+\)$", out, re.M) is not None,
           "a report file that cannot be written is named in the report", out)
    opened = re.findall(r"^open failed: (.*)\nopen log:$", out, re.M)
    expect(len(opened) == 4 and all(re.fullmatch(r"hwavc_enc\(\d+\): failed initializing an internal MFX session -3",
                                                 o) for o in opened), "without a runtime each open fails with its text")
    expect(fields(out, "windows") and fields(out, "hwavc_enc.dll") and not fields(out, "runtime file")
           and not fields(out, "frames per second"), "the rest of the report is still there, no session facts", out)

    # No hwavc_enc.dll: the machine's part only.
    os.remove(os.path.join(package, "hwavc_enc.dll"))
    out = run(program, "--frames", "12")
    expect(re.search(r"^hwavc_enc\.dll: not loaded from .*hwavc_enc\.dll \(error 126: .+\)$", out, re.M) is not None
           and fields(out, "windows") and "[buf_num" not in out, "a missing DLL is reported with its error", out)

print(f"report test: {len(failures)} problem(s)")
sys.exit(1 if failures else 0)
