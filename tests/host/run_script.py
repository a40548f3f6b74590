#!/usr/bin/python3
"""Runs one page-like script (host.exe or cscript under Wine) and checks its exit code and output.

run_script.py [checks] [set-up] [--timeout S] -- COMMAND...

checks:
  --exit N               the exit code (default 0)
  --stdout RE            stdout matches (searched, ^ and $ at line ends; CR LF read as LF; a placeholder
                         stands for its text); repeatable
  --not-stdout RE        stdout does not match; repeatable
  --stderr RE            stderr matches; repeatable
set-up, whose values the command's arguments can name as @NAME@ placeholders:
  --make-file NAME=SIZE      a file of SIZE pattern bytes (suffix k/m/g); @NAME@ is its Windows path,
                             @NAME.MD5@ and @NAME.CRC@ its digests, @NAME.SIZE@ its size
  --make-sparse NAME=SIZE    the same, a sparse file of zero bytes
  --missing NAME             @NAME@ is the Windows path of a file that does not exist
  --server NAME=KIND[:RATE]  an FTP server of the lab (pyftpdlib, vsftpd) for this run, user kvobjtest and
                             password Obj-Pass-1; @NAME.PORT@ is its port. RATE (suffix k/m/g): the most
                             bytes per second an upload may move
  --expect-remote NAME:PATH=FILE   afterwards the server NAME holds PATH with the content of file FILE
  --make-folder NAME=FILE,FILE...  a folder holding these empty files; @NAME@ is its Windows path
@TEMP@ is the Windows path of a folder of this run, removed afterwards.
a page of the README (tests/host/page.py), run as a browser runs it:
  --page NAME            the script of the README's page NAME for this target ($KORVANE_ARCH); @PAGE@ is its
                         Windows path
  --value ID=TEXT        the page's input field ID holds TEXT (placeholders filled)
  --step PATTERN ACTION  a step of the page (page.py says which actions there are; placeholders filled); the
                         pattern "*" runs it at once
dialogs (the command's own file-open dialogs, titled "Open", answered in order with xdotool on $DISPLAY):
  --dialog type:TEXT     types TEXT into the file name and presses Return
  --dialog all           chooses every file the dialog lists (the list, Home, Shift+End, Return)
  --dialog cancel        presses Escape
  --dialog folder:cancel presses Escape in the folder browser (titled "Browse for Folder")
The driver polls for each dialog of the command's process, and prints how long each took to show and close.
"""
import argparse
import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import zlib

import page as readme_page

LAB_USER = "kvobjtest"
LAB_PASSWORD = "Obj-Pass-1"
_SAFE = "".join(chr(c) for c in range(0x21, 0x7F) if c != 0x25)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def parse_size(text):
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    if text[-1:].lower() in units:
        return int(text[:-1]) * units[text[-1:].lower()]
    return int(text)


def make_file(path, size, sparse):
    with open(path, "wb") as f:
        if sparse:
            f.truncate(size)
            return
        block = bytes((i * 131) & 0xFF for i in range(1 << 16))
        left = size
        while left > 0:
            piece = block[: min(left, len(block))]
            f.write(piece)
            left -= len(piece)


def digests(path):
    md5 = hashlib.md5()
    crc = 0
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                break
            md5.update(block)
            crc = zlib.crc32(block, crc)
    return md5.hexdigest(), str(crc & 0xFFFFFFFF)


class Lab:
    """The FTP lab controller (tests/lab/README.md): servers live as long as this connection."""

    def __init__(self, state_file):
        with open(state_file) as f:
            fields = dict(part.split("=", 1) for part in f.read().split())
        self.sock = socket.create_connection(("127.0.0.1", int(fields["port"])), timeout=120)
        self.buffer = b""

    def request(self, op, **fields):
        line = op + "".join(" %s=%s" % (k, urllib.parse.quote(str(v), safe=_SAFE)) for k, v in fields.items())
        self.sock.sendall(line.encode() + b"\n")
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("the lab controller closed the connection")
            self.buffer += chunk
        reply, self.buffer = self.buffer.split(b"\n", 1)
        parts = reply.decode("latin-1").split()
        values = {}
        for part in parts[1:]:
            key, _, value = part.partition("=")
            values[key] = urllib.parse.unquote(value)
        if parts[0] != "ok":
            raise RuntimeError("lab: %s failed: %s" % (op, values.get("message", reply)))
        return values


DIALOG_TITLE = "^Open$"
FOLDER_TITLE = "^Browse for Folder$"
DIALOG_DEADLINE = 60  # seconds for a dialog to show up, and again for it to close


def xdotool(*arguments):
    return subprocess.run(["xdotool"] + list(arguments), stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=30).stdout.decode().split()


def poll(condition, process, deadline):
    """condition() until true (its value), the process ends, or the deadline passes (None)."""
    end = time.monotonic() + deadline
    while time.monotonic() < end and process.poll() is None:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    return None


def cpu_ticks(pid):
    """The process's user and system time so far, in clock ticks (None once it has gone)."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rpartition(")")[2].split()
        return int(fields[11]) + int(fields[12])
    except (OSError, ValueError, IndexError):
        return None


def wait_until_idle(process, deadline=30, quiet=0.3):
    """Waits until the process has used no processor time for QUIET seconds: a dialog that has just shown
    is still filling its list and setting its focus, and keys typed before that can be lost. On a loaded
    machine that takes far longer than on an idle one, so the driver waits for it rather than a fixed time."""
    end = time.monotonic() + deadline
    last, since = cpu_ticks(process.pid), time.monotonic()
    while time.monotonic() < end and process.poll() is None:
        time.sleep(0.05)
        now = cpu_ticks(process.pid)
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return


def answer_dialogs(process, actions, end):
    """Answers the process's file-open dialogs in order, giving up at the monotonic time END; returns the
    failures and a line per dialog."""
    notes, failures = [], []
    for number, action in enumerate(actions, 1):
        start = time.monotonic()
        if start >= end:
            failures.append("no time left for dialog %d (%s)" % (number, action))
            break
        title = DIALOG_TITLE
        if action.startswith("folder:"):
            title, action = FOLDER_TITLE, action[len("folder:"):]
        windows = poll(lambda: xdotool("search", "--onlyvisible", "--pid", str(process.pid), "--name",
                                       title), process, min(DIALOG_DEADLINE, end - time.monotonic()))
        if not windows:
            failures.append("dialog %d (%s) did not show" % (number, action))
            break
        shown = time.monotonic() - start
        window = windows[0]
        wait_until_idle(process, min(30, end - time.monotonic()))
        xdotool("windowfocus", "--sync", window)
        wait_until_idle(process, min(30, end - time.monotonic()))
        if action.startswith("type:"):
            xdotool("type", "--delay", "20", action[5:])
            xdotool("key", "Return")
        elif action == "all":
            xdotool("key", "shift+Tab", "Home", "shift+End")
            wait_until_idle(process, min(30, end - time.monotonic()))
            xdotool("key", "Return")
        elif action == "cancel":
            xdotool("key", "Escape")
        else:
            failures.append("unknown dialog action %r" % action)
            break
        gone = poll(lambda: window not in xdotool("search", "--onlyvisible", "--pid", str(process.pid), "--name",
                                                  title), process, min(DIALOG_DEADLINE, end - time.monotonic()))
        if gone is None and process.poll() is None:
            failures.append("dialog %d (%s) did not close" % (number, action))
            break
        notes.append("dialog %d (%s): shown after %.2f s, closed after %.2f s" %
                     (number, action, shown, time.monotonic() - start))
    return failures, notes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exit", type=int, default=0)
    parser.add_argument("--stdout", action="append", default=[])
    parser.add_argument("--not-stdout", action="append", default=[])
    parser.add_argument("--stderr", action="append", default=[])
    parser.add_argument("--make-file", action="append", default=[])
    parser.add_argument("--make-sparse", action="append", default=[])
    parser.add_argument("--missing", action="append", default=[])
    parser.add_argument("--server", action="append", default=[])
    parser.add_argument("--expect-remote", action="append", default=[])
    parser.add_argument("--make-folder", action="append", default=[])
    parser.add_argument("--dialog", action="append", default=[])
    parser.add_argument("--page")
    parser.add_argument("--value", action="append", default=[])
    parser.add_argument("--step", action="append", nargs=2, default=[])
    parser.add_argument("--timeout", type=float, default=300)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    command = options.command[1:] if options.command[:1] == ["--"] else options.command

    temp = tempfile.mkdtemp(prefix="korvane-script-", dir="/tmp")
    values = {"TEMP": windows_path(temp)}
    files = {}
    servers = {}
    lab = None
    try:
        for spec, sparse in [(s, False) for s in options.make_file] + [(s, True) for s in options.make_sparse]:
            name, size = spec.split("=", 1)
            path = os.path.join(temp, name)
            make_file(path, parse_size(size), sparse)
            files[name] = path
            md5, crc = digests(path)
            values.update({name: windows_path(path), name + ".MD5": md5, name + ".CRC": crc,
                           name + ".SIZE": str(parse_size(size))})
        for spec in options.make_folder:
            name, names = spec.split("=", 1)
            path = os.path.join(temp, name)
            os.makedirs(path)
            for file_name in filter(None, names.split(",")):
                open(os.path.join(path, file_name), "wb").close()
            values[name] = windows_path(path)
        for name in options.missing:
            values[name] = windows_path(os.path.join(temp, name))
        if options.server:
            lab = Lab(os.environ["KORVANE_LAB_STATE"])
            for spec in options.server:
                name, kind = spec.split("=", 1)
                kind, _, rate = kind.partition(":")
                limit = {"rate": str(parse_size(rate))} if rate else {}
                servers[name] = lab.request("start", kind=kind, user=LAB_USER, **{"pass": LAB_PASSWORD}, **limit)
                values[name + ".PORT"] = servers[name]["port"]

        def fill(argument):
            return re.sub(r"@([A-Za-z0-9_.]+)@", lambda m: values.get(m.group(1), m.group(0)), argument)

        def fill_pattern(pattern):
            # A placeholder in a regular expression stands for its text as it is.
            return re.sub(r"@([A-Za-z0-9_.]+)@",
                          lambda m: re.escape(values[m.group(1)]) if m.group(1) in values else m.group(0), pattern)

        if options.page:
            page_values = dict(fill(v).split("=", 1) for v in options.value)
            # A step whose pattern is "*" runs at once.
            steps = [("" if pattern == "*" else pattern, fill(action)) for pattern, action in options.step]
            language, text = readme_page.script(os.path.join(readme_page.SOURCE_ROOT, "README.md"), options.page,
                                                os.environ.get("KORVANE_ARCH", "i686"), page_values, steps)
            path = os.path.join(temp, "page." + ("vbs" if language == "VBScript" else "js"))
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            values["PAGE"] = windows_path(path)
            print("--- page script\n" + text + "---")

        command = [fill(a) for a in command]
        failures, notes = [], []
        if options.dialog and not os.environ.get("DISPLAY"):
            print("FAIL: the dialogs need a display (DISPLAY)")
            return 1
        with tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
            started = time.monotonic()
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out_file, stderr=err_file)
            if options.dialog:
                failures, notes = answer_dialogs(process, options.dialog, started + options.timeout)
                if failures:
                    process.kill()
            try:
                process.wait(timeout=max(1.0, started + options.timeout - time.monotonic()))
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                failures.append("no exit within %s s" % options.timeout)
            out_file.seek(0)
            err_file.seek(0)
            out = out_file.read().decode("utf-8", "replace").replace("\r\n", "\n")
            err = err_file.read().decode("utf-8", "replace").replace("\r\n", "\n")
        print("--- command\n" + " ".join(command) + "\n--- stdout\n" + out + "--- stderr\n" + err + "---")
        for note in notes:
            print(note)
        returncode = process.returncode

        if not failures and returncode != options.exit:
            failures.append("exit code %d, expected %d" % (returncode, options.exit))
        for name, text, patterns in (("stdout", out, options.stdout), ("stderr", err, options.stderr)):
            for pattern in map(fill_pattern, patterns):
                if not re.search(pattern, text, re.M):
                    failures.append("%s does not match %r" % (name, pattern))
        for pattern in map(fill_pattern, options.not_stdout):
            if re.search(pattern, out, re.M):
                failures.append("stdout matches %r" % pattern)
        for spec in options.expect_remote:
            where, local = spec.split("=", 1)
            name, path = where.split(":", 1)
            got = lab.request("file", id=servers[name]["id"], path=path)
            want_md5, _ = digests(files[local])
            if got.get("exists") != "1":
                failures.append("the server has no %s" % path)
            elif got.get("md5") != want_md5:
                failures.append("the server's %s has MD5 %s, the local file %s" % (path, got.get("md5"), want_md5))
        for f in failures:
            print("FAIL: " + f)
        return 1 if failures else 0
    finally:
        if lab:
            lab.sock.close()
        shutil.rmtree(temp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
