#!/usr/bin/env python3
"""Writes the release zip and its symbols zip: every file under one top
folder; each Windows binary goes in stripped, tied by a debug link (its file
name and CRC) to its symbols, which go into the symbols zip under the same
folder, so that unpacking both in one place puts each .debug file beside its
binary, where debuggers look for it. The zips' bytes depend on the files
alone: entries in the order given, each with the time TIME (Unix seconds,
the commit's) and the same attributes.

Usage: make_package.py --strip STRIP --objcopy OBJCOPY --folder NAME --time TIME
                       OUT.zip SYMBOLS.zip PATH=FILE...
PATH is the file's place inside the folder (forward slashes).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
import zipfile

BINARY_SUFFIXES = (".exe", ".dll")


# strip and objcopy stamp the images they write with the clock unless given
# a time: 0, what the linker leaves there.
NO_TIME_STAMP = {**os.environ, "SOURCE_DATE_EPOCH": "0"}


def split_binary(args, source, path, scratch):
    """(stripped binary, its symbols file), both in scratch."""
    name = os.path.basename(path)
    symbols = os.path.join(scratch, name + ".debug")
    stripped = os.path.join(scratch, name)
    subprocess.run([args.objcopy, "--only-keep-debug", source, symbols], check=True, env=NO_TIME_STAMP)
    subprocess.run([args.strip, "--strip-all", "-o", stripped, source], check=True, env=NO_TIME_STAMP)
    # objcopy records the file name it is given: run it beside the file.
    subprocess.run([args.objcopy, f"--add-gnu-debuglink={name}.debug", stripped], check=True, cwd=scratch,
                   env=NO_TIME_STAMP)
    return stripped, symbols


def add(zf, source, name, date_time):
    info = zipfile.ZipInfo(name, date_time)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = 0o644 << 16
    with open(source, "rb") as f:
        zf.writestr(info, f.read(), compresslevel=9)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--strip", required=True, help="the MinGW strip tool")
    parser.add_argument("--objcopy", required=True, help="the MinGW objcopy tool")
    parser.add_argument("--folder", required=True, help="top folder inside both zips")
    parser.add_argument("--time", required=True, type=int, help="the entries' time, Unix seconds")
    parser.add_argument("out")
    parser.add_argument("symbols")
    parser.add_argument("entries", nargs="+", metavar="PATH=FILE")
    args = parser.parse_args()

    # A zip holds local time from 1980 on, without a zone: the commit's UTC.
    date_time = time.gmtime(max(args.time, 315532800))[:6]
    partial, symbols_partial = args.out + ".part", args.symbols + ".part"
    with tempfile.TemporaryDirectory() as scratch, \
            zipfile.ZipFile(partial, "w") as zf, zipfile.ZipFile(symbols_partial, "w") as sf:
        for entry in args.entries:
            path, sep, source = entry.partition("=")
            if not sep or not path or not source:
                sys.exit(f"make_package: {entry!r} is not PATH=FILE")
            if path.lower().endswith(BINARY_SUFFIXES):
                source, symbols = split_binary(args, source, path, scratch)
                add(sf, symbols, f"{args.folder}/{path}.debug", date_time)
            add(zf, source, f"{args.folder}/{path}", date_time)
    # Only complete zips take the names, so a failed run leaves no half package.
    os.replace(symbols_partial, args.symbols)
    os.replace(partial, args.out)


if __name__ == "__main__":
    main()
