#!/usr/bin/env python3
"""Writes the release zip: every file under one top folder, Windows binaries
stripped of their symbols on the way in.

Usage: make_package.py --strip STRIP --folder NAME OUT.zip PATH=FILE...
PATH is the file's place inside the folder (forward slashes).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import zipfile

BINARY_SUFFIXES = (".exe", ".dll")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--strip", required=True, help="the MinGW strip tool")
    parser.add_argument("--folder", required=True, help="top folder inside the zip")
    parser.add_argument("out")
    parser.add_argument("entries", nargs="+", metavar="PATH=FILE")
    args = parser.parse_args()

    partial = args.out + ".part"
    with tempfile.TemporaryDirectory() as scratch, \
            zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as zf:
        for entry in args.entries:
            path, sep, source = entry.partition("=")
            if not sep or not path or not source:
                sys.exit(f"make_package: {entry!r} is not PATH=FILE")
            if path.lower().endswith(BINARY_SUFFIXES):
                stripped = os.path.join(scratch, os.path.basename(path))
                subprocess.run([args.strip, "--strip-all", "-o", stripped, source], check=True)
                source = stripped
            zf.write(source, f"{args.folder}/{path}")
    # Only a complete zip takes the name, so a failed run leaves no half package.
    os.replace(partial, args.out)


if __name__ == "__main__":
    main()
