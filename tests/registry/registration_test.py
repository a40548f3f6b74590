#!/usr/bin/python3
"""Registration of the server DLLs as a user runs it: regsvr32, regsvr32 /u and regsvr32 /i:user /n under
Wine, the registry read back with reg query (the 32-bit view for Korvane.dll, the 64-bit view for
Korvane64.dll): the classes, the AppID, the type library and the merged proxy/stub of the dual interfaces.

The tests register and unregister again and again, so they run in a Wine prefix of their own
(--prefix, one per target) that no other test uses.

usage: registration_test.py --prefix DIR --own ARCH --dll ARCH=PATH [--dll ARCH=PATH] --helper PATH
       [unittest arguments]
"""
import argparse
import os
import re
import subprocess
import sys
import unittest

WINE = {"i686": "/usr/bin/wine", "x86_64": "/usr/lib/wine/wine64"}
DISPATCH_MARSHALLER = "{00020420-0000-0000-C000-000000000046}"
# Interfaces of the platform that the library carries but must not register as its own.
PLATFORM_INTERFACES = {
    "IDispatchEx": "{A6EF9860-C720-11D0-9337-00A0C90DCAA9}",
    "IServiceProvider": "{6D5140C1-7436-11CE-8034-00AA006009FA}",
}


class Build:
    """What one DLL writes, as its registration scripts and type library give it."""

    def __init__(self, arch, dll, suffix, clsid, libid, appid, iid, diid, dual_interfaces, syskind, regview):
        self.arch, self.dll, self.suffix = arch, dll, suffix
        self.clsid, self.libid, self.appid, self.iid, self.diid = clsid, libid, appid, iid, diid
        # name: IID of every dual interface; the merged proxy/stub's factory has the IID of IKorvane as CLSID.
        self.dual_interfaces = dual_interfaces
        self.proxy_stub_clsid = iid
        self.syskind, self.regview = syskind, regview
        self.progid = "Tamsic.Korvane%s.1" % suffix
        self.independent_progid = "Tamsic.Korvane%s" % suffix
        self.display_name = "Korvane%s Class" % suffix
        self.appid_name = "Korvane%s" % suffix
        self.dll_key = "Korvane%s.DLL" % suffix
        self.picker = Picker(**PICKERS[arch])

    @property
    def wine_path(self):
        return "Z:" + self.dll.replace("/", "\\")

    def class_keys(self, root):
        """Every key the class scripts write, with the values in it (None: the key exists, values not checked)."""
        return {
            **progid_keys(root, self.progid, self.independent_progid, self.display_name, self.clsid,
                          self.clsid_as_written),
            root + "\\CLSID\\" + self.clsid: {"": self.display_name},
            root + "\\CLSID\\" + self.clsid + "\\InprocServer32": {"": self.wine_path, "ThreadingModel": "Apartment"},
            root + "\\CLSID\\" + self.clsid + "\\TypeLib": {"": self.libid_as_written},
            root + "\\AppID\\" + self.appid: {"": self.appid_name},
            root + "\\AppID\\" + self.dll_key: {"AppID": self.appid},
            **self.picker.class_keys(root, self.libid_as_written),
            **control_keys(self, root),
        }

    # The scripts write these GUIDs with some groups in lower case; registry keys ignore case, values do not.
    @property
    def clsid_as_written(self):
        return self.clsid if self.arch == "i686" else "{A37CAD85-5324-4cf2-A9D6-87DA58F54169}"

    @property
    def libid_as_written(self):
        return "{080A2199-512B-45a9-AA0F-72923109E1C4}" if self.arch == "i686" else self.libid

    def roots_of_class_keys(self, root):
        """The keys whose removal takes all of class_keys with them."""
        return [root + "\\" + self.progid, root + "\\" + self.independent_progid, root + "\\CLSID\\" + self.clsid,
                root + "\\AppID\\" + self.appid, root + "\\AppID\\" + self.dll_key] + control_roots(self, root) + \
            self.picker.roots(root)

    def library_interfaces(self):
        """The library's interfaces that registration writes: (IID, name, marshaller). The dual interfaces are
        marshalled by the DLL's proxy/stub, registered after the type library; the event dispinterfaces by the
        system's dispatch marshaller."""
        return [(iid, name, self.proxy_stub_clsid) for name, iid in self.dual_interfaces.items()] + \
            [(self.diid, "_IKorvaneEvents", DISPATCH_MARSHALLER)] + control_interfaces(self) + \
            [(self.picker.diid, "_IFtpPartitionEvents", DISPATCH_MARSHALLER)]

    def proxy_stub_keys(self, root):
        """The keys the merged proxy/stub writes: its factory's CLSID key and the dual interfaces' keys."""
        return [root + "\\CLSID\\" + self.proxy_stub_clsid] + \
            [root + "\\Interface\\" + iid for iid in self.dual_interfaces.values()]


class Picker:
    """What the picker's script (REGISTRY 105) writes; it names no AppID under its CLSID."""

    def __init__(self, suffix, clsid, clsid_as_written, iid, diid):
        self.clsid, self.clsid_as_written, self.iid, self.diid = clsid, clsid_as_written, iid, diid
        self.progid = "Tamsic.FtpPartition%s.1" % suffix
        self.independent_progid = "Tamsic.FtpPartition%s" % suffix
        self.display_name = "FtpPartition%s Class" % suffix

    def class_keys(self, root, libid_as_written):
        clsid_key = root + "\\CLSID\\" + self.clsid
        return {
            **progid_keys(root, self.progid, self.independent_progid, self.display_name, self.clsid,
                          self.clsid_as_written),
            clsid_key: {"": self.display_name, "AppID": None},
            clsid_key + "\\InprocServer32": {"ThreadingModel": "Apartment"},
            clsid_key + "\\TypeLib": {"": libid_as_written},
        }

    def roots(self, root):
        return [root + "\\" + self.progid, root + "\\" + self.independent_progid, root + "\\CLSID\\" + self.clsid]


BUILDS = {
    "i686": dict(suffix="", clsid="{9FAC4084-9757-4201-95A7-8C8E5541EF11}",
                 libid="{080A2199-512B-45A9-AA0F-72923109E1C4}", appid="{F1B16B05-C5A0-4AB0-B7D3-C2B35278502F}",
                 iid="{55AA3464-BF8F-49C8-97C6-89ABFE8B7083}", diid="{6DB079E2-ACE5-490A-99B9-266724893AAF}",
                 dual_interfaces={"IKorvane": "{55AA3464-BF8F-49C8-97C6-89ABFE8B7083}",
                                  "IFtpDroper": "{3ED32FD9-3ED6-42B7-8B09-451F28B2A7FA}",
                                  "IFtpPartition": "{E5CA97DC-58D5-4637-9F37-EF34E566B15A}"},
                 syskind="win32", regview=[]),
    "x86_64": dict(suffix="64", clsid="{A37CAD85-5324-4CF2-A9D6-87DA58F54169}",
                   libid="{DDA31DF7-83C2-4097-B4E4-1321F218EA2C}", appid="{3A644A5F-BFC5-4BFC-812D-416606FF0599}",
                   iid="{8CAFD44F-5BC4-41D2-B1BE-EC31C3C322B6}", diid="{C577C686-ED29-4B4B-8E69-558CEBC05AB8}",
                   dual_interfaces={"IKorvane": "{8CAFD44F-5BC4-41D2-B1BE-EC31C3C322B6}",
                                    "IFtpDroper": "{004B30B5-D597-4D71-96BA-C8BD579F37CE}",
                                    "IFtpPartition": "{F3A31FDF-A386-4C1B-BCE5-53CD71145D1E}"},
                   syskind="win64", regview=["/reg:64"]),
}

PICKERS = {
    "i686": dict(suffix="", clsid="{BB4EF2F7-67F4-4FDA-9925-D609EE1D5274}",
                 clsid_as_written="{BB4EF2F7-67F4-4fda-9925-D609EE1D5274}",
                 iid="{E5CA97DC-58D5-4637-9F37-EF34E566B15A}", diid="{8925280A-1370-4E40-948F-7455C07E5DCE}"),
    "x86_64": dict(suffix="64", clsid="{078BD8BC-CD61-4751-8ABA-E0BEED4D5152}",
                   clsid_as_written="{078BD8BC-CD61-4751-8ABA-E0BEED4D5152}",
                   iid="{F3A31FDF-A386-4C1B-BCE5-53CD71145D1E}", diid="{47D45F8A-72AD-4070-8F25-C50128E91EAA}"),
}

# The drop-area control (REGISTRY 104): its identifiers per build, the CLSID as its script writes it.
CONTROL = {
    "i686": dict(clsid="{6DB2E5BF-FCB7-4224-A8BF-0E0143C83F04}", written="{6DB2E5BF-FCB7-4224-A8BF-0E0143C83F04}",
                 iid="{3ED32FD9-3ED6-42B7-8B09-451F28B2A7FA}", diid="{2967C53F-B6D6-4947-9455-EA08A0EFC642}"),
    "x86_64": dict(clsid="{5FF29549-3D33-4C5E-B297-4B746450A5AC}", written="{5FF29549-3D33-4c5e-B297-4B746450A5AC}",
                   iid="{004B30B5-D597-4D71-96BA-C8BD579F37CE}", diid="{B0B5580B-C72F-4E4E-B650-6A0CBD6E4DD5}"),
}


def progid_keys(root, progid, independent, name, clsid, clsid_as_written):
    """The keys every class script writes for its two ProgIDs, and the CLSID key's subkeys that name them."""
    key = root + "\\CLSID\\" + clsid
    return {
        root + "\\" + progid: {"": name},
        root + "\\" + progid + "\\CLSID": {"": clsid_as_written},
        root + "\\" + independent: {"": name},
        root + "\\" + independent + "\\CLSID": {"": clsid_as_written},
        root + "\\" + independent + "\\CurVer": {"": progid},
        key + "\\ProgID": {"": progid},
        key + "\\VersionIndependentProgID": {"": independent},
        key + "\\Programmable": {},
    }


def control_keys(build, root):
    c, suffix = CONTROL[build.arch], build.suffix
    progid, independent, name = "Tamsic.FtpDroper%s.1" % suffix, "Tamsic.FtpDroper%s" % suffix, "FtpDroper%s Class" % suffix
    key = root + "\\CLSID\\" + c["clsid"]
    return {
        **progid_keys(root, progid, independent, name, c["clsid"], c["written"]),
        key: {"": name, "AppID": build.appid},
        key + "\\InprocServer32": {"": build.wine_path, "ThreadingModel": "Apartment"},
        key + "\\Control": {},
        key + "\\ToolboxBitmap32": {"": build.wine_path + ", 103"},
        key + "\\MiscStatus": {"": "0"},
        key + "\\MiscStatus\\1": {"": "131473"},
        key + "\\TypeLib": {"": build.libid_as_written},
        key + "\\Version": {"": "1.0"},
    }


def control_roots(build, root):
    c, suffix = CONTROL[build.arch], build.suffix
    return [root + "\\Tamsic.FtpDroper%s.1" % suffix, root + "\\Tamsic.FtpDroper%s" % suffix,
            root + "\\CLSID\\" + c["clsid"]]


def control_interfaces(build):
    c = CONTROL[build.arch]
    return [(c["diid"], "_IFtpDroperEvents", DISPATCH_MARSHALLER)]

OPTIONS = None  # set by main()
SERVER_PERSISTENCE = 60  # seconds the test's wineserver outlives its last process


def wine_env():
    env = dict(os.environ)
    # Without Wine's crash debugger a crashed command ends with the exception's code instead of 0.
    env.update(WINEPREFIX=OPTIONS.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="winedbg.exe=d")
    env.pop("DISPLAY", None)
    return env


# What Wine's loader prints when it could not start the program at all (seen now and then on a loaded machine,
# right after a per-user registration): the command did nothing, so it is run again.
NOT_STARTED = b"Application could not be started"


def run(command, check=True):
    for _ in range(3):
        result = subprocess.run(command, env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=120)
        if NOT_STARTED not in result.stdout + result.stderr:
            break
        sys.stderr.write("%s was not started (%s): run again\n" % (
            " ".join(command), (result.stdout + result.stderr).decode(errors="replace").strip()))
    if check and result.returncode != 0:
        raise AssertionError("%s exited with %d: %s %s" % (" ".join(command), result.returncode,
                                                           result.stdout.decode(errors="replace"),
                                                           result.stderr.decode(errors="replace")))
    return result


def regsvr32(build, *switches, check=True):
    return run([WINE[build.arch], "regsvr32", "/s"] + list(switches) + [build.wine_path], check=check)


def read_tree(build, key):
    """The key and everything below it as {key path: {value name: data}}, in the build's view; {} if absent.
    A reg that ended any other way than with the key or with "not found" (a crash, a process that could not
    start) is an error of the reading, not an absent key."""
    command = [WINE[build.arch], "reg", "query", key, "/s"] + build.regview
    result = run(command, check=False)
    # Under a heavily loaded machine Wine's reg now and then ends with 1 and says nothing at all, neither the
    # key nor "not found": that run did not read the registry. It is read again (at most twice, each time
    # said on the test's output); what the key holds is then judged on a reading that answered.
    for _ in range(2):
        if not (result.returncode != 0 and not result.stdout.strip() and not result.stderr.strip()):
            break
        sys.stderr.write("reg query %s ended with %d and no answer: read again\n" % (key, result.returncode))
        result = run(command, check=False)
    # reg says "reg: Unable to find the specified registry key" on its standard output and exits with 1.
    if result.returncode == 1 and result.stdout.lstrip().startswith(b"reg:"):
        return {}
    tree, current = {}, None
    for line in result.stdout.decode("utf-8", errors="replace").splitlines():
        if line.startswith("HKEY_"):
            current = normalise(line.strip())
            tree[current] = {}
        elif line.startswith("    ") and current is not None:
            parts = re.split(r" {4}", line.strip(), maxsplit=2)
            name = "" if parts[0] == "(Default)" else parts[0]
            tree[current][name] = parts[2] if len(parts) > 2 else ""
    if result.returncode != 0:
        raise RuntimeError("reg query %s did not read the key (exit %d): %s %s" % (
            key, result.returncode, result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")))
    return tree


def normalise(key):
    for long_name, short_name in (("HKEY_CLASSES_ROOT", "HKCR"), ("HKEY_CURRENT_USER", "HKCU")):
        if key.upper().startswith(long_name):
            key = short_name + key[len(long_name):]
    return key.lower()


def ensure_prefix():
    if os.path.isfile(os.path.join(OPTIONS.prefix, ".done")):
        return
    env = wine_env()
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    # The 64-bit loader: it makes the whole prefix, and it runs on kernels without 32-bit programs too.
    subprocess.run([WINE["x86_64"], "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run(["wineserver", "-w"], env=env, check=True)
    open(os.path.join(OPTIONS.prefix, ".done"), "w").close()


class RegistrationTest(unittest.TestCase):
    builds = {}

    @classmethod
    def setUpClass(cls):
        ensure_prefix()
        # One wineserver for the whole class. By default it ends three seconds after its last process, and
        # the next command starts another: a command that came as the old one was shutting down could fail
        # to run, and a reg query that did not run read as a missing key. Wine's services then came up again
        # with that command's pipes, which kept the test waiting until they ended too. The server stays while
        # the tests run and ends by itself a little after them if tearDownClass is never reached.
        subprocess.run(["wineserver", "-p%d" % SERVER_PERSISTENCE], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Wine's services inherit the stdio of the first Wine process: give them none of ours.
        subprocess.run([WINE["x86_64"], "cmd", "/c", "exit"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.builds = {arch: Build(arch, path, **BUILDS[arch]) for arch, path in OPTIONS.dlls.items()}

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def setUp(self):
        # Every test starts from nothing registered, machine-wide or per user.
        for build in self.builds.values():
            regsvr32(build, "/u", check=False)
            regsvr32(build, "/u", "/i:user", "/n", check=False)
            for root in ("HKCR", "HKCU\\Software\\Classes"):
                for key in build.roots_of_class_keys(root) + build.proxy_stub_keys(root):
                    run([WINE[build.arch], "reg", "delete", key, "/f"] + build.regview, check=False)

    @property
    def own(self):
        return self.builds[OPTIONS.own]

    def both(self):
        if len(self.builds) < 2:
            self.skipTest("the other target's DLL is not built (%s)" % ", ".join(OPTIONS.missing))
        return self.builds["i686"], self.builds["x86_64"]

    def assertClassKeys(self, build, root):
        expected = build.class_keys(root)
        found = {}
        for key in build.roots_of_class_keys(root):
            found.update(read_tree(build, key))
        for key, values in expected.items():
            self.assertIn(key.lower(), found, "%s: key %s missing" % (build.dll_key, key))
            for name, data in values.items():
                self.assertEqual(found[key.lower()].get(name), data, "%s: %s value %r" % (build.dll_key, key, name))
            if key.lower().endswith("inprocserver32"):
                self.assertEqual(found[key.lower()].get("", "").lower(), build.wine_path.lower())

    def assertNoClassKeys(self, build, root):
        for key in build.roots_of_class_keys(root):
            self.assertEqual(read_tree(build, key), {}, "%s: %s still there" % (build.dll_key, key))

    def assertTypeLibraryRegistered(self, build):
        library = read_tree(build, "HKCR\\TypeLib\\" + build.libid)
        path_key = ("HKCR\\TypeLib\\%s\\1.0\\0\\%s" % (build.libid, build.syskind)).lower()
        self.assertIn(path_key, library, "%s: type library not registered for %s" % (build.dll_key, build.syskind))
        self.assertEqual(library[path_key][""].lower(), build.wine_path.lower())
        for iid, name, marshaller in build.library_interfaces():
            interface = read_tree(build, "HKCR\\Interface\\" + iid)
            key = ("HKCR\\Interface\\" + iid).lower()
            self.assertEqual(interface.get(key, {}).get(""), name, "%s: Interface key of %s" % (build.dll_key, name))
            self.assertEqual(interface[key + "\\proxystubclsid32"][""].upper(), marshaller,
                             "%s: ProxyStubClsid32 of %s" % (build.dll_key, name))
            self.assertEqual(interface[key + "\\typelib"][""].upper(), build.libid)
            self.assertEqual(interface[key + "\\typelib"]["Version"], "1.0")

    def assertProxyStubRegistered(self, build, root):
        """Each dual interface names the proxy/stub's factory, whose CLSID key names the DLL."""
        for name, iid in build.dual_interfaces.items():
            key = "%s\\Interface\\%s\\ProxyStubClsid32" % (root, iid)
            self.assertEqual(read_tree(build, key).get(key.lower(), {}).get("", "").upper(), build.proxy_stub_clsid,
                             "%s: %s" % (build.dll_key, key))
        key = "%s\\CLSID\\%s" % (root, build.proxy_stub_clsid)
        factory = read_tree(build, key)
        self.assertEqual(factory.get(key.lower(), {}).get(""), "PSFactoryBuffer", "%s: %s" % (build.dll_key, key))
        server = factory.get(key.lower() + "\\inprocserver32", {})
        self.assertEqual(server.get("", "").lower(), build.wine_path.lower(), "%s: %s" % (build.dll_key, key))
        self.assertEqual(server.get("ThreadingModel"), "Both")

    def assertProxyStubNotRegistered(self, build, root):
        for key in build.proxy_stub_keys(root):
            self.assertEqual(read_tree(build, key), {}, "%s: %s still there" % (build.dll_key, key))

    def assertTypeLibraryNotRegistered(self, build):
        self.assertEqual(read_tree(build, "HKCR\\TypeLib\\" + build.libid), {})
        for iid, name, _ in build.library_interfaces():
            self.assertEqual(read_tree(build, "HKCR\\Interface\\" + iid), {}, "%s: %s" % (build.dll_key, name))

    def assertRegistered(self, build):
        """Everything a machine-wide registration writes: class keys, type library, proxy/stub."""
        self.assertClassKeys(build, "HKCR")
        self.assertTypeLibraryRegistered(build)
        self.assertProxyStubRegistered(build, "HKCR")

    def assertNotRegistered(self, build):
        self.assertNoClassKeys(build, "HKCR")
        self.assertTypeLibraryNotRegistered(build)
        self.assertProxyStubNotRegistered(build, "HKCR")

    def platformInterfaces(self, build):
        return {name: read_tree(build, "HKCR\\Interface\\" + iid) for name, iid in PLATFORM_INTERFACES.items()}

    def test_registration_writes_the_class_appid_and_type_library_keys(self):
        for build in self.builds.values():
            with self.subTest(build=build.dll_key):
                platform = self.platformInterfaces(build)
                regsvr32(build)
                self.assertRegistered(build)
                self.assertEqual(self.platformInterfaces(build), platform,
                                 "the platform's interfaces must keep their own registration")

    def test_unregistration_removes_the_keys_but_leaves_appid_and_clsid(self):
        for build in self.builds.values():
            with self.subTest(build=build.dll_key):
                platform = self.platformInterfaces(build)
                regsvr32(build)
                regsvr32(build, "/u")
                self.assertNotRegistered(build)
                self.assertTrue(read_tree(build, "HKCR\\AppID"), "the AppID key itself must stay")
                self.assertTrue(read_tree(build, "HKCR\\CLSID"), "the CLSID key itself must stay")
                self.assertEqual(self.platformInterfaces(build), platform)

    def test_registering_again_rewrites_and_one_unregistration_removes_all(self):
        build = self.own
        regsvr32(build)
        regsvr32(build)
        self.assertRegistered(build)
        regsvr32(build, "/u")
        self.assertNotRegistered(build)
        # A second unregistration stops at the type library, which is no longer registered, and says so.
        self.assertNotEqual(regsvr32(build, "/u", check=False).returncode, 0)

    def test_both_builds_registered_side_by_side_keep_their_own_keys(self):
        x86, x64 = self.both()
        regsvr32(x86)
        regsvr32(x64)
        for build in (x86, x64):
            self.assertRegistered(build)
        # Each unregistration takes only its own build's keys.
        regsvr32(x64, "/u")
        self.assertNotRegistered(x64)
        self.assertRegistered(x86)
        regsvr32(x64)
        regsvr32(x86, "/u")
        self.assertNoClassKeys(x86, "HKCR")
        self.assertProxyStubNotRegistered(x86, "HKCR")
        self.assertRegistered(x64)
        # Registering one build again leaves the other's proxy/stub as it was.
        regsvr32(x86)
        regsvr32(x86)
        self.assertProxyStubRegistered(x64, "HKCR")
        self.assertProxyStubRegistered(x86, "HKCR")

    def test_per_user_registration_writes_under_the_users_classes(self):
        for build in self.builds.values():
            with self.subTest(build=build.dll_key):
                regsvr32(build, "/i:user", "/n")
                self.assertClassKeys(build, "HKCU\\Software\\Classes")
                self.assertProxyStubRegistered(build, "HKCU\\Software\\Classes")
                self.assertNoClassKeys(build, "HKCR")
                key = "HKCR\\CLSID\\" + build.proxy_stub_clsid
                self.assertEqual(read_tree(build, key), {}, "%s: %s written machine-wide" % (build.dll_key, key))
                regsvr32(build, "/u", "/i:user", "/n")
                self.assertNoClassKeys(build, "HKCU\\Software\\Classes")
                self.assertProxyStubNotRegistered(build, "HKCU\\Software\\Classes")

    def test_install_command_line_picks_per_user_only_for_exactly_user(self):
        # (regsvr32 switch or helper command line, where the class keys go)
        cases = [
            (["/i:USER", "/n"], "HKCU\\Software\\Classes"),
            (["/i:uSeR", "/n"], "HKCU\\Software\\Classes"),
            (["/i:users", "/n"], "HKCR"),
            (["/i:use", "/n"], "HKCR"),
            (["/i", "/n"], "HKCR"),
            (None, "HKCR"),  # a null command line, through the helper
        ]
        build = self.own
        for switches, root in cases:
            with self.subTest(command_line=switches):
                if switches is None:
                    result = run([WINE[build.arch], OPTIONS.helper, "install", build.wine_path])
                    self.assertEqual(result.stdout.decode().strip(), "00000000")
                else:
                    regsvr32(build, *switches)
                self.assertClassKeys(build, root)
                other = "HKCR" if root != "HKCR" else "HKCU\\Software\\Classes"
                self.assertNoClassKeys(build, other)
                self.setUp()


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--own", required=True, choices=sorted(BUILDS))
    parser.add_argument("--dll", action="append", default=[], help="ARCH=PATH")
    parser.add_argument("--helper", required=True, help="the own target's InstallHelper.exe (Linux path)")
    OPTIONS, rest = parser.parse_known_args()
    OPTIONS.dlls, OPTIONS.missing = {}, []
    for item in OPTIONS.dll:
        arch, path = item.split("=", 1)
        if os.path.isfile(path):
            OPTIONS.dlls[arch] = path
        else:
            OPTIONS.missing.append(path)
    if OPTIONS.own not in OPTIONS.dlls:
        parser.error("the own DLL is missing: %s" % OPTIONS.missing)
    OPTIONS.helper = "Z:" + OPTIONS.helper.replace("/", "\\")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
