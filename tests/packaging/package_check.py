#!/usr/bin/env python3
"""Checks the release zip as a user receives it.

- it holds exactly the expected files under kovarel-desktop-<version>-win64/,
  every CRC intact and no file empty;
- each binary is a PE32+ x86-64 image (the tray a GUI program, the DLLs DLLs);
- hwavc_enc.dll exports exactly its six functions, by their plain names;
- no binary imports a MinGW runtime DLL, and every DLL a binary imports is a
  Windows system DLL or ships in the package;
- every function a binary imports from Windows is one that Windows Vista has
  (the list windows-vista-x64.txt beside this script, which names its source);
- kovarel_tray.exe carries icon group 103 with its images, the manifest and a
  version resource, both of the package's version, and the encoder DLL a
  version resource too, whose numbers the packaged header's
  HWAVC_ENC_VERSION_* macros repeat;
- hwavc_enc.def names exactly the six functions;
- SOURCES.txt gives GNU libiconv's version as libiconv-2.dll states it
  (its exported _libiconv_version);
- the packaged header compiles as C and as C++, and a caller of the six
  functions links against the packaged DLL;
- the symbols zip beside it (kovarel-desktop-<version>-win64-symbols.zip)
  holds one <binary>.debug per binary, under the same folder; each binary is
  stripped and its debug link names its symbols file with that file's CRC, its
  build id (where it has one) is the symbols file's, and the symbols name the
  binary's entry point and every export at their addresses; in our own
  binaries they give source lines too, by the file's path in the repository,
  and the README's crash recipe (addr2line -f -i) reads an address in the
  encoder's frame copy, inside an inlined intrinsic, to its function and line.

Usage: package_check.py ZIP VERSION CC CXX NM
  (CC, CXX, NM: the MinGW compilers and nm; addr2line is taken beside nm)
Prints one line per finding and exits 1 when anything is wrong.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zipfile
import zlib

EXPORTS = {"hwavc_enc_open", "hwavc_enc_encode", "hwavc_enc_close",
           "hwavc_enc_reset", "hwavc_enc_done", "hwavc_enc_get_msg"}
BINARIES = ("kovarel_tray.exe", "hwavc_enc.dll", "libiconv-2.dll", "hwavc_enc_report.exe")
# Built here with debug information: the symbols must give the source line of
# one of our functions, by its path in the repository.
OWN_BINARIES = {"kovarel_tray.exe": ("WinMain", "tray/tray.cpp"),
                "hwavc_enc.dll": ("hwavc_enc_open", "hwavc_enc/hwavc_enc.cpp"),
                "hwavc_enc_report.exe": ("main", "hwavc_enc/report/hwavc_enc_report.cpp")}
# A crash in the encoder's fast frame copy stops inside an inlined SSE2
# intrinsic; the README's recipe must still name the copy and its line.
CRASH_FUNCTION = ("hwavc_enc.dll", "copy_yuv420p_to_nv12_fast", "hwavc_enc/hwavc_enc.cpp")
FILES = set(BINARIES) | {
    "include/hwavc_enc.h",
    "hwavc_enc.def",
    "lib/hwavc_enc.lib",
    "lib/libhwavc_enc.dll.a",
    "sample/hwavc_enc_sample.cpp",
    "report/hwavc_enc_report.cpp",
    "report/report_log.cpp",
    "report/report_log.h",
    "licenses/SOURCES.txt",
    "licenses/jansson/LICENSE",
    "licenses/uchardet/COPYING",
    "licenses/libiconv/COPYING.LIB",
    "licenses/libiconv/node-iconv-LICENSE",
    "licenses/onevpl/LICENSE",
    "licenses/mingw-w64/copyright",
    "licenses/gcc/COPYING3",
    "licenses/gcc/COPYING.RUNTIME",
    "licenses/gcc/copyright",
}
MINGW_RUNTIME = ("libstdc++", "libgcc", "libwinpthread")
# What Windows itself provides to our binaries (lower case).
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "advapi32.dll", "msvcrt.dll",
               "ole32.dll", "oleaut32.dll", "gdi32.dll", "version.dll", "ws2_32.dll",
               "shlwapi.dll", "comctl32.dll", "d3d9.dll", "d3d11.dll", "dxgi.dll", "dxva2.dll",
               "setupapi.dll", "cfgmgr32.dll"}

# The oldest Windows the package claims, and its functions by DLL.
WINDOWS_FUNCTIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows-vista-x64.txt")


def windows_functions(path=WINDOWS_FUNCTIONS):
    """{dll (lower case): {function names}} from the list's [DLL] sections."""
    found, dll = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                dll = found.setdefault(line[1:-1].lower(), set())
            elif line and not line.startswith("#") and dll is not None:
                dll.add(line)
    return found


IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_DLL = 0x2000
PE32_PLUS = 0x20B
SUBSYSTEM_WINDOWS_GUI = 2
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


class PeError(Exception):
    pass


class PeImage:
    """The parts of a PE image the checks read: header fields, exports,
    imports and resources. Every read is bounds-checked."""

    def __init__(self, data):
        self.data = data
        if self.read(0, 2) != b"MZ":
            raise PeError("no MZ header")
        pe = self.u32(0x3C)
        if self.read(pe, 4) != b"PE\0\0":
            raise PeError("no PE signature")
        self.machine = self.u16(pe + 4)
        sections = self.u16(pe + 6)
        optional_size = self.u16(pe + 20)
        self.characteristics = self.u16(pe + 22)
        opt = pe + 24
        self.magic = self.u16(opt)
        if self.magic != PE32_PLUS:
            raise PeError(f"optional header magic {self.magic:#x}, not PE32+")
        self.entry_point = self.u32(opt + 16)
        self.image_base = struct.unpack_from("<Q", self.read(opt + 24, 8))[0]
        self.subsystem = self.u16(opt + 68)
        symbol_table, self.symbol_count = self.u32(pe + 12), self.u32(pe + 16)
        dir_count = self.u32(opt + 108)
        self.directories = [struct.unpack_from("<II", data, opt + 112 + 8 * i)
                            for i in range(min(dir_count, 16))]
        self.sections = []
        self.section_names = {}  # name: (file offset, size)
        for i in range(sections):
            at = opt + optional_size + 40 * i
            vsize, vaddr, raw_size, raw_at = struct.unpack_from("<IIII", self.read(at + 8, 16))
            self.sections.append((vaddr, max(vsize, raw_size), raw_at, raw_size))
            name = self.read(at, 8).rstrip(b"\0").decode("latin-1")
            if name.startswith("/") and name[1:].isdigit():  # long name: in the string table
                at_name = symbol_table + 18 * self.symbol_count + int(name[1:])
                name = self.data[at_name:self.data.find(b"\0", at_name)].decode("latin-1")
            self.section_names[name] = (raw_at, raw_size)

    def read(self, at, size):
        if at < 0 or at + size > len(self.data):
            raise PeError(f"read of {size} bytes at {at:#x} past the end")
        return self.data[at:at + size]

    def u16(self, at):
        return struct.unpack("<H", self.read(at, 2))[0]

    def u32(self, at):
        return struct.unpack("<I", self.read(at, 4))[0]

    def offset(self, rva):
        for vaddr, vsize, raw_at, raw_size in self.sections:
            if vaddr <= rva < vaddr + vsize and rva - vaddr < raw_size:
                return raw_at + rva - vaddr
        raise PeError(f"RVA {rva:#x} in no section")

    def cstring(self, rva):
        at = self.offset(rva)
        end = self.data.find(b"\0", at)
        if end < 0:
            raise PeError(f"unterminated name at RVA {rva:#x}")
        return self.data[at:end].decode("latin-1")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def exports(self):
        """(exported names, number of exported functions)."""
        rva, size = self.directory(0)
        if not size:
            return [], 0
        at = self.offset(rva)
        functions, names, names_rva = self.u32(at + 20), self.u32(at + 24), self.u32(at + 32)
        table = self.offset(names_rva) if names else 0
        return [self.cstring(self.u32(table + 4 * i)) for i in range(names)], functions

    def imports(self):
        """{DLL name: [function names, "#n" for ordinals]}, imported directly
        and delay-loaded."""
        found = {}
        # (directory, descriptor size, offset of the DLL name, of the name table)
        for index, step, name_at, table_at in ((1, 20, 12, 0), (13, 32, 4, 16)):
            rva, size = self.directory(index)
            if not size:
                continue
            at = self.offset(rva)
            while any(self.read(at, step)):
                dll = self.cstring(self.u32(at + name_at))
                table = self.u32(at + table_at) or self.u32(at + 16)  # no lookup table: the bound one
                found.setdefault(dll, []).extend(self.thunk_names(table))
                at += step
        return found

    def export_addresses(self):
        """[(name, RVA)] of the exported functions."""
        rva, size = self.directory(0)
        if not size:
            return []
        at = self.offset(rva)
        names, functions_rva, names_rva, ordinals_rva = (self.u32(at + 24), self.u32(at + 28),
                                                         self.u32(at + 32), self.u32(at + 36))
        found = []
        for i in range(names):
            name = self.cstring(self.u32(self.offset(names_rva) + 4 * i))
            ordinal = self.u16(self.offset(ordinals_rva) + 2 * i)
            found.append((name, self.u32(self.offset(functions_rva) + 4 * ordinal)))
        return found

    def thunk_names(self, rva):
        names = []
        at = self.offset(rva)
        while True:
            thunk = struct.unpack("<Q", self.read(at, 8))[0]
            if not thunk:
                return names
            names.append(f"#{thunk & 0xFFFF}" if thunk >> 63 else self.cstring((thunk & 0x7FFFFFFF) + 2))
            at += 8

    def section(self, name):
        """The section's bytes in the file, or None."""
        if name not in self.section_names:
            return None
        at, size = self.section_names[name]
        return self.read(at, size)

    def build_id(self):
        """The CodeView record of the debug directory (GUID and age), or None."""
        rva, size = self.directory(6)
        for i in range(size // 28 if size else 0):
            entry = self.offset(rva) + 28 * i
            kind, data_size, _, data_at = struct.unpack_from("<IIII", self.read(entry + 12, 16))
            if kind == 2 and data_size >= 24 and self.read(data_at, 4) == b"RSDS":
                return self.read(data_at + 4, 20).hex()
        return None

    def resources(self):
        """{(type, id): data} for the resources named by number."""
        rva, size = self.directory(2)
        if not size:
            return {}
        base = self.offset(rva)
        found = {}

        def entries(at):
            named, numbered = self.u16(at + 12), self.u16(at + 14)
            for i in range(named + numbered):
                name, target = struct.unpack("<II", self.read(at + 16 + 8 * i, 8))
                yield name, target

        for rtype, type_dir in entries(base):
            if not type_dir & 0x80000000 or rtype & 0x80000000:
                continue
            for rid, name_dir in entries(base + (type_dir & 0x7FFFFFFF)):
                if not name_dir & 0x80000000 or rid & 0x80000000:
                    continue
                for _, leaf in entries(base + (name_dir & 0x7FFFFFFF)):
                    data_rva, data_size = struct.unpack("<II", self.read(base + leaf, 8))
                    found[(rtype, rid)] = self.read(self.offset(data_rva), data_size)
                    break
        return found


class Findings:
    def __init__(self, report):
        self.report = report
        self.failures = []

    def ok(self, text):
        self.report(f"ok: {text}")

    def fail(self, text):
        self.report(f"FAIL: {text}")
        self.failures.append(text)

    def expect(self, condition, text, why=""):
        if condition:
            self.ok(text)
        else:
            self.fail(f"{text}{': ' + why if why else ''}")


def check_layout(zf, folder, found):
    names = set(zf.namelist())
    expected = {f"{folder}/{name}" for name in FILES}
    found.expect(names == expected, f"the zip holds exactly the {len(FILES)} files under {folder}/",
                 f"missing {sorted(expected - names)}, unexpected {sorted(names - expected)}")
    bad = zf.testzip()
    found.expect(bad is None, "every CRC matches", f"{bad} is corrupt")
    empty = sorted(info.filename for info in zf.infolist() if info.file_size == 0)
    found.expect(not empty, "no file is empty", f"{empty}")


def check_binary(name, image, package_files, found):
    found.expect(image.machine == IMAGE_FILE_MACHINE_AMD64, f"{name} is PE32+ x86-64",
                 f"machine {image.machine:#x}")
    is_dll = bool(image.characteristics & IMAGE_FILE_DLL)
    found.expect(is_dll == name.endswith(".dll"), f"{name} is {'a DLL' if is_dll else 'a program'}",
                 "the DLL flag does not match the name")
    imports = image.imports()
    runtime = [dll for dll in imports if dll.lower().startswith(MINGW_RUNTIME)]
    found.expect(not runtime, f"{name} imports no MinGW runtime DLL", f"imports {runtime}")
    unknown = [dll for dll in imports
               if dll.lower() not in SYSTEM_DLLS and dll.lower() not in package_files and dll not in runtime]
    found.expect(not unknown, f"{name} imports only system DLLs and the package's ({', '.join(imports)})",
                 f"nothing provides {unknown}")
    vista = windows_functions()
    newer = [f"{dll}!{fn}" for dll, fns in imports.items() if dll.lower() in SYSTEM_DLLS
             for fn in fns if fn not in vista.get(dll.lower(), ())]
    found.expect(not newer, f"{name} imports only functions that Windows Vista has", f"not in Vista: {newer}")


def check_exports(image, found):
    names, functions = image.exports()
    found.expect(set(names) == EXPORTS and len(names) == len(EXPORTS) and functions == len(EXPORTS),
                 "hwavc_enc.dll exports exactly the six functions by their plain names",
                 f"names {sorted(names)}, {functions} functions")


def fixed_version(data):
    at = data.find(struct.pack("<I", VS_FIXEDFILEINFO_SIGNATURE))
    if at < 0 or at + 16 > len(data):
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def check_tray(image, version, found):
    found.expect(image.subsystem == SUBSYSTEM_WINDOWS_GUI, "kovarel_tray.exe is a GUI program",
                 f"subsystem {image.subsystem}")
    res = image.resources()
    group = res.get((RT_GROUP_ICON, 103))
    if group is None or len(group) < 6:
        found.fail("kovarel_tray.exe carries icon group 103")
    else:
        count = struct.unpack_from("<H", group, 4)[0]
        ids = [struct.unpack_from("<H", group, 6 + 14 * i + 12)[0] for i in range(count)
               if 6 + 14 * (i + 1) <= len(group)]
        missing = [i for i in ids if (RT_ICON, i) not in res]
        found.expect(count > 0 and len(ids) == count and not missing,
                     f"kovarel_tray.exe carries icon group 103 with its {count} images",
                     f"images {missing} missing")

    want = version + ".0"
    manifest = res.get((RT_MANIFEST, 1))
    if manifest is None:
        found.fail("kovarel_tray.exe carries its manifest")
    else:
        try:
            root = ET.fromstring(manifest)
            ident = root.find("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity")
            got = ident.get("version") if ident is not None else None
            found.expect(got == want, f"kovarel_tray.exe carries its manifest, version {want}", f"version {got}")
        except ET.ParseError as err:
            found.fail(f"kovarel_tray.exe's manifest is not XML: {err}")

    check_version(image, "kovarel_tray.exe", version, found)


def check_version(image, name, version, found):
    want = version + ".0"
    info = image.resources().get((RT_VERSION, 1))
    got = fixed_version(info) if info else None
    found.expect(got == want, f"{name} carries a version resource, {want}", f"found {got}")
    text = want.encode("utf-16-le")
    found.expect(info is not None and text in info, f"its version texts say {want}")


def header_version(cc, header):
    """"MAJOR.MINOR.PATCH" as the header defines it for a compiler, or None."""
    run = subprocess.run([cc, "-dM", "-E", "-x", "c", header], capture_output=True, text=True, errors="replace")
    macros = dict(line.split()[1:3] for line in run.stdout.splitlines() if len(line.split()) >= 3)
    parts = [macros.get(f"HWAVC_ENC_VERSION_{p}") for p in ("MAJOR", "MINOR", "PATCH")]
    return ".".join(parts) if all(p and p.isdigit() for p in parts) else None


def check_header_version(image, header, cc, found):
    info = image.resources().get((RT_VERSION, 1))
    resource = fixed_version(info) if info else None
    got = header_version(cc, header)
    found.expect(got is not None and resource == got + ".0",
                 f"the header's HWAVC_ENC_VERSION_* ({got}) are hwavc_enc.dll's version resource",
                 f"resource {resource}")


def check_def(text, found):
    """The .def names the six functions under EXPORTS, and nothing else."""
    lines = [line.split(";")[0].strip() for line in text.splitlines()]
    lines = [line for line in lines if line and not line.upper().startswith(("LIBRARY", "EXPORTS"))]
    names = [line.split()[0] for line in lines]
    found.expect(sorted(names) == sorted(EXPORTS), "hwavc_enc.def names exactly the six functions",
                 f"names {names}")


def check_iconv_version(image, sources, found):
    rva = dict(image.export_addresses()).get("_libiconv_version")
    if rva is None:
        found.fail("libiconv-2.dll exports _libiconv_version")
        return
    value = image.u32(image.offset(rva))
    want = f"GNU libiconv {value >> 8}.{value & 0xFF}"
    found.expect(re.search(rf"^{re.escape(want)}\b(?!\.)", sources, re.M) is not None,
                 f"SOURCES.txt names {want}, the version libiconv-2.dll states")


def symbol_table(nm, path):
    """{address: [names]} of the defined symbols nm lists."""
    run = subprocess.run([nm, "--defined-only", path], capture_output=True, text=True, errors="replace")
    table = {}
    for line in run.stdout.splitlines():
        parts = line.split()
        if len(parts) == 3:
            table.setdefault(int(parts[0], 16), []).append(parts[2])
    return table


def check_symbols(name, image, symbols_data, scratch, nm, found):
    """The stripped binary and its symbols file belong together."""
    found.expect(image.symbol_count == 0 and not any(n.startswith(".debug") for n in image.section_names),
                 f"{name} is stripped", f"{image.symbol_count} symbols, sections {sorted(image.section_names)}")
    link = image.section(".gnu_debuglink")
    if link is None:
        found.fail(f"{name} carries a debug link")
        return
    file_name = link.split(b"\0")[0].decode("latin-1")
    crc = struct.unpack_from("<I", link, (len(file_name) + 4) & ~3)[0] if len(link) >= 8 else None
    if symbols_data is None:
        found.fail(f"{name}'s symbols {name}.debug are in the symbols zip")
        return
    found.expect(file_name == name + ".debug" and crc == zlib.crc32(symbols_data),
                 f"{name}'s debug link names {name}.debug with its CRC",
                 f"names {file_name!r}, CRC {crc} against {zlib.crc32(symbols_data)}")
    try:
        symbols = PeImage(symbols_data)
        found.expect(image.build_id() == symbols.build_id(),
                     f"{name} and its symbols have one build id ({image.build_id() or 'none'})",
                     f"{image.build_id()} against {symbols.build_id()}")
    except PeError as err:
        found.fail(f"{name}.debug is a PE image: {err}")
        return
    path = os.path.join(scratch, name + ".debug")
    with open(path, "wb") as f:
        f.write(symbols_data)
    table = symbol_table(nm, path)
    exports = dict(image.export_addresses())
    wrong = [f"{export} at {rva:#x}" for export, rva in exports.items()
             if export not in table.get(image.image_base + rva, [])]
    entry = table.get(image.image_base + image.entry_point, [])
    found.expect(entry and not wrong, f"{name}'s symbols name its entry point ({', '.join(entry)}) "
                 f"and its {len(exports)} exports", f"not: {wrong or 'the entry point'}")
    if name in OWN_BINARIES:
        function, source = OWN_BINARIES[name]
        address = exports.get(function)
        address = image.image_base + address if address is not None else \
            next((a for a, names in table.items() if function in names), 0)
        line = subprocess.run([nm[:-2] + "addr2line", "-e", path, hex(address)],
                              capture_output=True, text=True, errors="replace").stdout.strip()
        found.expect(line.split(":")[0] == source, f"{name}'s symbols give {function}'s source line ({line})")
    if name == CRASH_FUNCTION[0]:
        check_crash_recipe(image, table, path, nm, found)


def check_crash_recipe(image, table, symbols_path, nm, found):
    """addr2line -f -i -C, as the README says, on the first SSE2 load of the
    fast frame copy: innermost the intrinsic, outermost the copy's line."""
    _, function, source = CRASH_FUNCTION
    starts = sorted(table)
    start = next((a for a in starts if any(function in n for n in table[a])), None)
    if start is None:
        found.fail(f"the symbols name {function}")
        return
    end = next((a for a in starts if a > start), start + 4096)
    code = os.path.join(os.path.dirname(symbols_path), "code.dll")
    with open(code, "wb") as f:
        f.write(image.data)
    listing = subprocess.run([nm[:-2] + "objdump", "-d", f"--start-address={start:#x}", f"--stop-address={end:#x}",
                              code], capture_output=True, text=True, errors="replace").stdout
    load = re.search(r"^\s*([0-9a-f]+):.*\smovdqu\s+(?:0x[0-9a-f]+)?\(", listing, re.M)
    if load is None:
        found.fail(f"{function} has an SSE2 load (movdqu from memory)")
        return
    run = subprocess.run([nm[:-2] + "addr2line", "-f", "-i", "-C", "-e", symbols_path, "0x" + load.group(1)],
                         capture_output=True, text=True, errors="replace").stdout.splitlines()
    frames = list(zip(run[0::2], run[1::2]))
    found.expect(len(frames) >= 2 and "_mm_loadu_si128" in frames[0][0] and frames[-1][0].startswith(function)
                 and re.fullmatch(re.escape(source) + r":[0-9]+( \(discriminator [0-9]+\))?", frames[-1][1]),
                 f"addr2line -f -i names {function} and its line for a crash in its inlined load", f"{run}")


CALLER = """\
#include <string.h>

#include "hwavc_enc.h"

/* The records keep their layout in a C caller too. */
typedef char settings_size[sizeof(hwavc_enc_settings) == 72 ? 1 : -1];
typedef char frame_size[sizeof(quarn_frame) == 192 ? 1 : -1];

static int log_line(const char *line) { return line != 0; }

int main(void) {
  hwavc_enc_settings settings;
  hwavc_enc_data *enc = 0;
  quarn_frame *out = 0;
  char msg[HWAVC_ENC_MSG_SIZE];
  memset(&settings, 0, sizeof settings);
  settings.width = 1280;
  settings.height = 720;
  if (hwavc_enc_open(&enc, &settings, log_line) != 0) return hwavc_enc_get_msg(msg) > 0 ? 1 : 2;
  hwavc_enc_encode(enc, 0, &out);
  hwavc_enc_reset(enc);
  hwavc_enc_close(enc);
  return hwavc_enc_done(0);
}
"""


def check_header(folder, cc, cxx, found):
    source = os.path.join(folder, "caller.c")
    with open(source, "w") as f:
        f.write(CALLER)
    include = os.path.join(folder, "include")
    dll = os.path.join(folder, "hwavc_enc.dll")
    for compiler, std in ((cc, ["-std=c99"]), (cxx, ["-x", "c++", "-std=c++11"])):
        cmd = [compiler, *std, "-Wall", "-Wextra", "-pedantic", "-Werror", "-I", include,
               source, "-x", "none", dll, "-o", os.path.join(folder, "caller.exe")]
        run = subprocess.run(cmd, capture_output=True, text=True, errors="replace")
        found.expect(run.returncode == 0,
                     f"a {std[-1]} caller of the six functions compiles with the header and links to the DLL",
                     run.stderr.strip())


def read_symbols(path, folder, found):
    """{binary name: its symbols file's bytes} from the symbols zip."""
    try:
        with zipfile.ZipFile(path) as sf:
            names = set(sf.namelist())
            expected = {f"{folder}/{name}.debug" for name in BINARIES}
            found.expect(names == expected, f"the symbols zip holds exactly the {len(BINARIES)} .debug files "
                         f"under {folder}/", f"missing {sorted(expected - names)}, unexpected {sorted(names - expected)}")
            return {name: sf.read(f"{folder}/{name}.debug") for name in BINARIES
                    if f"{folder}/{name}.debug" in names}
    except (OSError, zipfile.BadZipFile) as err:
        found.fail(f"{path} opens as a zip: {err}")
        return {}


def check_package(path, version, cc, cxx, nm, report=print, symbols_path=None):
    """Runs every check, reporting each finding; returns the failures. The
    symbols zip is looked for beside the package unless given."""
    found = Findings(report)
    folder = f"kovarel-desktop-{version}-win64"
    found.expect(os.path.basename(path) == folder + ".zip", f"the package is named {folder}.zip",
                 os.path.basename(path))
    try:
        zf = zipfile.ZipFile(path)
    except (OSError, zipfile.BadZipFile) as err:
        found.fail(f"{path} opens as a zip: {err}")
        return found.failures
    symbols = read_symbols(symbols_path or path[:-len(".zip")] + "-symbols.zip", folder, found)
    with zf, tempfile.TemporaryDirectory() as scratch:
        check_layout(zf, folder, found)
        if f"{folder}/hwavc_enc.def" in zf.namelist():
            check_def(zf.read(f"{folder}/hwavc_enc.def").decode("latin-1"), found)
        names = set(zf.namelist())
        package_files = {n.rsplit("/", 1)[-1].lower() for n in names}
        images = {}
        for name in BINARIES:
            if f"{folder}/{name}" not in names:
                continue
            try:
                image = PeImage(zf.read(f"{folder}/{name}"))
            except PeError as err:
                found.fail(f"{name} is PE32+ x86-64: {err}")
                continue
            try:
                check_binary(name, image, package_files, found)
                check_symbols(name, image, symbols.get(name), scratch, nm, found)
                if name == "hwavc_enc.dll":
                    check_exports(image, found)
                    check_version(image, name, version, found)
                if name == "kovarel_tray.exe":
                    check_tray(image, version, found)
                if name == "libiconv-2.dll" and f"{folder}/licenses/SOURCES.txt" in names:
                    check_iconv_version(image, zf.read(f"{folder}/licenses/SOURCES.txt").decode("utf-8"), found)
                images[name] = image
            except PeError as err:
                found.fail(f"{name}'s tables are damaged: {err}")
        if "hwavc_enc.dll" in images and f"{folder}/include/hwavc_enc.h" in names:
            zf.extractall(scratch)
            check_header_version(images["hwavc_enc.dll"], os.path.join(scratch, folder, "include", "hwavc_enc.h"),
                                 cc, found)
            check_header(os.path.join(scratch, folder), cc, cxx, found)
    return found.failures


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    failures = check_package(*sys.argv[1:])
    print(f"package check: {len(failures)} problem(s)")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
