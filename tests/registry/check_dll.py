#!/usr/bin/python3
"""What the server DLL's PE headers say, read with the target's objdump: only system DLLs imported, the export
directory's name, and the five exports by name with their ordinals in alphabetical order.

usage: check_dll.py OBJDUMP DLL EXPORT-NAME
"""
import re
import subprocess
import sys
import unittest

# DLLs of the platform the server may import; anything else (libwinpthread-1.dll, libgcc_s_*.dll,
# libstdc++-6.dll, ...) would have to be shipped with it.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll", "user32.dll",
               "gdi32.dll", "ws2_32.dll", "shell32.dll", "shlwapi.dll", "comdlg32.dll", "comctl32.dll",
               "version.dll", "crypt32.dll", "bcrypt.dll", "ntdll.dll", "rpcrt4.dll"}
EXPORTS = ["DllCanUnloadNow", "DllGetClassObject", "DllInstall", "DllRegisterServer", "DllUnregisterServer"]

OBJDUMP, DLL, NAME = sys.argv[1:4]


class DllHeaders(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = subprocess.run([OBJDUMP, "-p", DLL], check=True, stdout=subprocess.PIPE).stdout.decode()

    def test_imports_only_system_dlls(self):
        imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", self.text)}
        self.assertTrue(imported, "no import table found")
        self.assertEqual(imported - SYSTEM_DLLS, set(), "imports outside the platform")

    def test_export_directory_names_the_dll(self):
        match = re.search(r"^Name\s+[0-9a-fA-F]+ (\S+)$", self.text, re.MULTILINE)
        self.assertIsNotNone(match, "no export directory")
        self.assertEqual(match.group(1), NAME)

    def test_five_exports_by_name_with_alphabetical_ordinals(self):
        base = int(re.search(r"Ordinal Base\s+(\d+)", self.text).group(1))
        table = self.text.split("[Ordinal/Name Pointer] Table", 1)[1]
        named = re.findall(r"^\s+\[\s*(\d+)\] (\S+)$", table, re.MULTILINE)
        ordinals = {name: base + int(index) for index, name in named}
        self.assertEqual(ordinals, {name: i + 1 for i, name in enumerate(EXPORTS)})


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
