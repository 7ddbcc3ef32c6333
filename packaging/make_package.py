#!/usr/bin/env python3
"""Writes the release zip and its symbols zip: every file under one top
folder; each Windows binary goes in stripped, tied by a debug link (its file
name and CRC) to its symbols, which go into the symbols zip under the same
folder, so that unpacking both in one place puts each .debug file beside its
binary, where debuggers look for it.

Usage: make_package.py --strip STRIP --objcopy OBJCOPY --folder NAME
                       OUT.zip SYMBOLS.zip PATH=FILE...
PATH is the file's place inside the folder (forward slashes).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import zipfile

BINARY_SUFFIXES = (".exe", ".dll")


def split_binary(args, source, path, scratch):
    """(stripped binary, its symbols file), both in scratch."""
    name = os.path.basename(path)
    symbols = os.path.join(scratch, name + ".debug")
    stripped = os.path.join(scratch, name)
    subprocess.run([args.objcopy, "--only-keep-debug", source, symbols], check=True)
    subprocess.run([args.strip, "--strip-all", "-o", stripped, source], check=True)
    # objcopy records the file name it is given: run it beside the file.
    subprocess.run([args.objcopy, f"--add-gnu-debuglink={name}.debug", stripped], check=True, cwd=scratch)
    return stripped, symbols


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--strip", required=True, help="the MinGW strip tool")
    parser.add_argument("--objcopy", required=True, help="the MinGW objcopy tool")
    parser.add_argument("--folder", required=True, help="top folder inside both zips")
    parser.add_argument("out")
    parser.add_argument("symbols")
    parser.add_argument("entries", nargs="+", metavar="PATH=FILE")
    args = parser.parse_args()

    partial, symbols_partial = args.out + ".part", args.symbols + ".part"
    with tempfile.TemporaryDirectory() as scratch, \
            zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as zf, \
            zipfile.ZipFile(symbols_partial, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as sf:
        for entry in args.entries:
            path, sep, source = entry.partition("=")
            if not sep or not path or not source:
                sys.exit(f"make_package: {entry!r} is not PATH=FILE")
            if path.lower().endswith(BINARY_SUFFIXES):
                source, symbols = split_binary(args, source, path, scratch)
                sf.write(symbols, f"{args.folder}/{path}.debug")
            zf.write(source, f"{args.folder}/{path}")
    # Only complete zips take the names, so a failed run leaves no half package.
    os.replace(symbols_partial, args.symbols)
    os.replace(partial, args.out)


if __name__ == "__main__":
    main()
