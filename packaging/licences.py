#!/usr/bin/env python3
"""Gathers the licence texts of everything the shipped binaries contain, and
writes SOURCES.txt: each library's version as read from the sources that were
built, its licence, where its source comes from and which binary contains it.

Usage: licences.py OUT_DIR DEPS_SRC GCC_COPYRIGHT MINGW_COPYRIGHT COMMON_LICENSES
  DEPS_SRC         build/deps/src (the dependency sources scripts/build-deps.sh built)
  GCC_COPYRIGHT    Debian's copyright file of the MinGW GCC (gcc-mingw-w64-base)
  MINGW_COPYRIGHT  Debian's copyright file of mingw-w64's CRT and winpthreads
  COMMON_LICENSES  /usr/share/common-licenses
"""
import glob
import os
import re
import sys


def fail(text):
    sys.exit(f"licences: {text}")


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def one_dir(deps_src, pattern):
    found = sorted(p for p in glob.glob(os.path.join(deps_src, pattern)) if os.path.isdir(p))
    if len(found) != 1:
        fail(f"expected one {pattern} in {deps_src}, found {found}")
    return found[0]


def match(pattern, text, where):
    found = re.search(pattern, text, re.M)
    if not found:
        fail(f"no {pattern!r} in {where}")
    return found


def versions(deps_src):
    """{name: (version, source dir)}, each version from the built sources."""
    jansson = one_dir(deps_src, "jansson-*")
    uchardet = one_dir(deps_src, "uchardet-*")
    iconv = os.path.join(one_dir(deps_src, "iconv-npm-*"), "package")
    onevpl = os.path.join(deps_src, "onevpl", "tree")
    header = os.path.join(jansson, "src", "jansson.h")
    found = {"jansson": (match(r'^#define JANSSON_VERSION "([^"]+)"', read(header), header)[1], jansson)}
    cmake = read(os.path.join(uchardet, "CMakeLists.txt"))
    parts = [match(rf"UCHARDET_VERSION_{p} (\d+)", cmake, uchardet)[1] for p in ("MAJOR", "MINOR", "REVISION")]
    found["uchardet"] = (".".join(parts), uchardet)
    # The iconv.h that iconv.c was compiled against (support/, see build-deps.sh).
    header = os.path.join(iconv, "support", "iconv.h")
    number = int(match(r"^#define _LIBICONV_VERSION (0x[0-9A-Fa-f]+)", read(header), header)[1], 16)
    found["libiconv"] = (f"{number >> 8}.{number & 0xFF}", iconv)
    npm = match(r'"version": "([^"]+)"', read(os.path.join(iconv, "package.json")), iconv)[1]
    found["iconv-npm"] = (npm, iconv)
    found["onevpl"] = (read(os.path.join(onevpl, "version.txt")).strip(), onevpl)
    return found


def section(text, start, end, where):
    """The lines of `text` from the one starting with `start` up to (without)
    the first later one starting with `end`."""
    lines = text.splitlines(keepends=True)
    first = next((i for i, line in enumerate(lines) if line.startswith(start)), None)
    if first is None:
        fail(f"no {start!r} in {where}")
    last = next((i for i in range(first + 1, len(lines)) if lines[i].startswith(end)), None)
    if last is None:
        fail(f"no {end!r} after {start!r} in {where}")
    return "".join(lines[first:last]).rstrip() + "\n"


def write(out, name, text):
    path = os.path.join(out, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


SOURCES = """\
What kovarel_tray.exe, hwavc_enc.dll and libiconv-2.dll contain besides our
own code, under which licence, and where the source code comes from. None of
it was changed by us.

Which binary contains what:
  kovarel_tray.exe  jansson, uchardet, the GCC runtime (libstdc++, libgcc),
                    the mingw-w64 CRT and winpthreads; it calls GNU libiconv
                    in libiconv-2.dll
  hwavc_enc.dll     the oneVPL dispatcher, the GCC runtime (libstdc++,
                    libgcc), the mingw-w64 CRT and winpthreads
  libiconv-2.dll    GNU libiconv with node-iconv's three support files,
                    libgcc (only its stack probe and start-up helpers) and
                    the mingw-w64 CRT; no libstdc++, no winpthreads

jansson {jansson}
  MIT (jansson/LICENSE); src/lookup3.h, Bob Jenkins' hash, is in the public
  domain. Debian's source package jansson {jansson}.
uchardet {uchardet}
  MPL 1.1 (uchardet/COPYING), chosen from MPL 1.1 / GPL 2+ / LGPL 2.1+, which
  every one of its files offers. Debian's source package uchardet {uchardet}.
GNU libiconv {libiconv} (as the iconv.h it was built against states)
  LGPL 2 or later (libiconv/COPYING.LIB). Shipped as the replaceable
  libiconv-2.dll, built from the lib/ sources that the npm package
  iconv@{iconv_npm} carries (deps/libiconv/lib).
  Three files of that package are compiled in with it (support/config.h,
  localcharset.h and localcharset.c: the character set of the locale is
  not looked up); they are node-iconv's, under the ISC licence
  (libiconv/node-iconv-LICENSE). The GPL 3 notice in that package's LICENSE
  file is the one of GNU libiconv's iconv program, which is not built here;
  each library file built carries the LGPL 2+ notice.
oneVPL {onevpl}, its Media SDK 1.x dispatcher
  MIT (onevpl/LICENSE); every file of the dispatcher says so. Debian's source
  package onevpl {onevpl} (its orig tarball, checked against the .dsc). The
  programs in its third-party-programs.txt (GoogleTest, the Visual C++ runtime
  and others) belong to its tests, tools and examples, none of which is built
  in.
mingw-w64 CRT and winpthreads
  Debian's copyright file of mingw-w64 (mingw-w64/copyright): the CRT under
  ZPL 2.1 and in the public domain, winpthreads under MIT, with the notices
  of every file under other terms (among them gdtoa and the maths files of
  the CRT, BSD for winpthreads' pthread.h and dll_math.c, LGPL 2.1+ for the
  Direct3D headers that came from Wine, whose declarations the dispatcher is
  compiled against). Debian's source package mingw-w64.
GCC runtime: libgcc and libstdc++
  GPL 3 (gcc/COPYING3) with the GCC Runtime Library Exception 3.1
  (gcc/COPYING.RUNTIME), which lets them be combined with programs under any
  licence; Debian's copyright file of its MinGW build (gcc/copyright) has the
  notices of the files under other terms. Debian's source package
  gcc-mingw-w64.
"""


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    out, deps_src, gcc_copyright, mingw_copyright, common = sys.argv[1:]
    found = versions(deps_src)
    iconv = found["libiconv"][1]
    npm_licence = read(os.path.join(iconv, "LICENSE"))
    gcc = read(gcc_copyright)
    texts = {
        "jansson/LICENSE": read(os.path.join(found["jansson"][1], "LICENSE")),
        "uchardet/COPYING": read(os.path.join(found["uchardet"][1], "COPYING")),
        # The LGPL 2 itself: the npm package's own licence file is not about
        # the library.
        "libiconv/COPYING.LIB": read(os.path.join(common, "LGPL-2")),
        "libiconv/node-iconv-LICENSE": section(npm_licence, "node-iconv license", "GNU libiconv license",
                                               "iconv's LICENSE"),
        "onevpl/LICENSE": read(os.path.join(found["onevpl"][1], "LICENSE")),
        "mingw-w64/copyright": read(mingw_copyright),
        "gcc/COPYING3": read(os.path.join(common, "GPL-3")),
        "gcc/COPYING.RUNTIME": section(gcc, "GCC RUNTIME LIBRARY EXCEPTION", "libquadmath", gcc_copyright),
        "gcc/copyright": gcc,
    }
    if "2. No Weakening of GCC Copyleft." not in texts["gcc/COPYING.RUNTIME"]:
        fail(f"the runtime library exception in {gcc_copyright} is not whole")
    for name, text in texts.items():
        write(out, name, text)
    write(out, "SOURCES.txt", SOURCES.format(
        jansson=found["jansson"][0], uchardet=found["uchardet"][0], libiconv=found["libiconv"][0],
        iconv_npm=found["iconv-npm"][0], onevpl=found["onevpl"][0]))


if __name__ == "__main__":
    main()
