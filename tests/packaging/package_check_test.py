#!/usr/bin/env python3
"""The package check must reject broken packages: each case damages one thing
in a copy of the real zip and expects the check to name it.

Usage: package_check_test.py ZIP VERSION CC CXX NM   (as package_check.py)
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import package_check  # noqa: E402

ZIP, VERSION, CC, CXX, NM = sys.argv[1:6] if len(sys.argv) >= 6 else (None,) * 5
FOLDER = f"kovarel-desktop-{VERSION}-win64"


def replace_once(data, old, new):
    assert len(old) == len(new) and data.count(old) == 1, old
    return data.replace(old, new)


def set_u16(data, at, value):
    data = bytearray(data)
    struct.pack_into("<H", data, at, value)
    return bytes(data)


def pe_offset(data):
    return struct.unpack_from("<I", data, 0x3C)[0]


class BrokenPackages(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp()
        with zipfile.ZipFile(ZIP) as zf:
            self.files = {n[len(FOLDER) + 1:]: zf.read(n) for n in zf.namelist()}
        with zipfile.ZipFile(ZIP[:-len(".zip")] + "-symbols.zip") as sf:
            self.symbols = {n[len(FOLDER) + 1:]: sf.read(n) for n in sf.namelist()}

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def check(self, files=None, version=VERSION, symbols=None):
        """Writes the files and symbols as <version>'s package and its
        symbols zip and returns the failures."""
        folder = f"kovarel-desktop-{version}-win64"
        path = os.path.join(self.scratch, folder + ".zip")
        for zip_path, contents in ((path, files or self.files),
                                   (path[:-len(".zip")] + "-symbols.zip", symbols or self.symbols)):
            with zipfile.ZipFile(zip_path, "w") as zf:
                for name, data in contents.items():
                    zf.writestr(f"{folder}/{name}", data)
        return package_check.check_package(path, version, CC, CXX, NM, report=lambda line: None)

    def assertNamed(self, failures, *words):
        self.assertTrue(any(all(w in f for w in words) for f in failures), f"{words} not in {failures}")

    def test_the_real_package_passes(self):
        self.assertEqual(self.check(), [])

    def test_a_missing_licence_or_an_extra_file_is_named(self):
        files = dict(self.files)
        del files["licenses/uchardet/COPYING"]
        files["libmfxhw64.dll"] = files["libiconv-2.dll"]
        self.assertNamed(self.check(files), "uchardet/COPYING", "libmfxhw64.dll")

    def test_another_version_disagrees_with_the_resources(self):
        failures = self.check(version="9.8.7")
        self.assertNamed(failures, "manifest, version 9.8.7.0")
        self.assertNamed(failures, "version resource, 9.8.7.0")

    def test_wrong_exports_are_named(self):
        files = dict(self.files, **{"hwavc_enc.dll": self.files["libiconv-2.dll"]})
        self.assertNamed(self.check(files), "exports exactly the six functions", "libiconv_open")

    def test_a_mingw_runtime_import_is_named(self):
        tray = replace_once(self.files["kovarel_tray.exe"], b"VERSION.dll\0", b"libgcc1.dll\0")
        self.assertNamed(self.check(dict(self.files, **{"kovarel_tray.exe": tray})),
                         "kovarel_tray.exe imports no MinGW runtime DLL", "libgcc1.dll")

    def test_a_function_newer_than_vista_is_named(self):
        dll = replace_once(self.files["hwavc_enc.dll"], b"GetModuleHandleExW\0", b"SetThreadErrorMode\0")
        self.assertNamed(self.check(dict(self.files, **{"hwavc_enc.dll": dll})),
                         "hwavc_enc.dll imports only functions that Windows Vista has",
                         "KERNEL32.dll!SetThreadErrorMode")

    def test_a_dll_nobody_ships_is_named(self):
        tray = replace_once(self.files["kovarel_tray.exe"], b"libiconv-2.dll\0", b"libiconv-3.dll\0")
        self.assertNamed(self.check(dict(self.files, **{"kovarel_tray.exe": tray})),
                         "nothing provides", "libiconv-3.dll")

    def test_32_bit_and_damaged_images_are_named(self):
        dll = self.files["libiconv-2.dll"]
        pe = pe_offset(dll)
        files = dict(self.files)
        files["libiconv-2.dll"] = set_u16(dll, pe + 24, 0x10B)  # PE32 optional header
        files["hwavc_enc.dll"] = set_u16(self.files["hwavc_enc.dll"], pe_offset(self.files["hwavc_enc.dll"]) + 4,
                                         0x14C)  # i386
        files["kovarel_tray.exe"] = self.files["kovarel_tray.exe"][:4096]
        failures = self.check(files)
        self.assertNamed(failures, "libiconv-2.dll is PE32+", "not PE32+")
        self.assertNamed(failures, "hwavc_enc.dll is PE32+ x86-64", "0x14c")
        self.assertNamed(failures, "kovarel_tray.exe")

    def test_missing_resources_are_named(self):
        tray = self.files["kovarel_tray.exe"]
        # The resource directory entry, emptied: no icon, manifest or version.
        opt = pe_offset(tray) + 24
        tray = bytearray(tray)
        struct.pack_into("<II", tray, opt + 112 + 8 * 2, 0, 0)
        failures = self.check(dict(self.files, **{"kovarel_tray.exe": bytes(tray)}))
        for what in ("icon group 103", "its manifest", "version resource"):
            self.assertNamed(failures, what)

    def test_a_header_version_other_than_the_dlls_is_named(self):
        header = self.files["include/hwavc_enc.h"]
        at = header.index(b"#define HWAVC_ENC_VERSION_PATCH ")
        header = header[:at] + b"#define HWAVC_ENC_VERSION_PATCH 99\n#if 0\n" + header[at:].replace(b"\n", b"\n#endif\n", 1)
        self.assertNamed(self.check(dict(self.files, **{"include/hwavc_enc.h": header})),
                         "HWAVC_ENC_VERSION_*", "99")

    def test_a_def_without_one_of_the_six_is_named(self):
        text = b"".join(line for line in self.files["hwavc_enc.def"].splitlines(keepends=True)
                        if b"hwavc_enc_reset" not in line)
        self.assertNamed(self.check(dict(self.files, **{"hwavc_enc.def": text})), "hwavc_enc.def")

    def test_symbols_that_do_not_belong_to_the_binary_are_named(self):
        symbols = dict(self.symbols)
        # Another build's symbols: the tray's in place of the encoder's.
        symbols["hwavc_enc.dll.debug"] = self.symbols["kovarel_tray.exe.debug"]
        # One byte changed: the debug link's CRC no longer matches.
        damaged = bytearray(self.symbols["libiconv-2.dll.debug"])
        damaged[-1] ^= 1
        symbols["libiconv-2.dll.debug"] = bytes(damaged)
        failures = self.check(symbols=symbols)
        self.assertNamed(failures, "hwavc_enc.dll's debug link", "CRC")
        self.assertNamed(failures, "hwavc_enc.dll and its symbols have one build id")
        self.assertNamed(failures, "hwavc_enc.dll's symbols name its entry point", "hwavc_enc_open")
        self.assertNamed(failures, "libiconv-2.dll's debug link", "CRC")

    def objcopy(self, data, *args):
        """The binary after MinGW's objcopy (beside nm) ran on it with args."""
        path = os.path.join(self.scratch, "image")
        with open(path, "wb") as f:
            f.write(data)
        subprocess.run([NM[:-2] + "objcopy", *args, path], check=True)
        with open(path, "rb") as f:
            return f.read()

    def test_missing_symbols_an_unstripped_binary_and_no_debug_link_are_named(self):
        symbols = dict(self.symbols)
        del symbols["kovarel_tray.exe.debug"]
        files = dict(self.files)
        files["hwavc_enc.dll"] = self.objcopy(files["hwavc_enc.dll"], "--remove-section=.gnu_debuglink")
        files["libiconv-2.dll"] = self.objcopy(files["libiconv-2.dll"], f"--add-section=.debug_info={ZIP}")
        failures = self.check(files, symbols=symbols)
        self.assertNamed(failures, "symbols zip holds exactly", "kovarel_tray.exe.debug")
        self.assertNamed(failures, "hwavc_enc.dll carries a debug link")
        self.assertNamed(failures, "libiconv-2.dll is stripped", ".debug_info")

    def test_a_libiconv_version_other_than_the_dlls_is_named(self):
        sources = self.files["licenses/SOURCES.txt"].replace(b"GNU libiconv 1.14 ", b"GNU libiconv 1.17 ")
        self.assertNamed(self.check(dict(self.files, **{"licenses/SOURCES.txt": sources})),
                         "SOURCES.txt names GNU libiconv 1.14")

    def test_a_header_only_cplusplus_can_read_is_named(self):
        header = self.files["include/hwavc_enc.h"] + b"\nnamespace hwavc {}\n"
        self.assertNamed(self.check(dict(self.files, **{"include/hwavc_enc.h": header})), "c99 caller")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
