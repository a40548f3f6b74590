#!/usr/bin/python3
"""Runs one page-like script (host.exe or cscript under Wine) and checks its exit code and output.

run_script.py [checks] [set-up] [--timeout S] -- COMMAND...

checks:
  --exit N               the exit code (default 0)
  --stdout RE            stdout matches (searched, ^ and $ at line ends; CR LF read as LF); repeatable
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
@TEMP@ is the Windows path of a folder of this run, removed afterwards.
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
import urllib.parse
import zlib

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

        command = [fill(a) for a in command]
        try:
            run = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=options.timeout)
        except subprocess.TimeoutExpired as e:
            sys.stdout.write((e.stdout or b"").decode("utf-8", "replace"))
            print("FAIL: no exit within %s s" % options.timeout)
            return 1
        out = run.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        err = run.stderr.decode("utf-8", "replace").replace("\r\n", "\n")
        print("--- command\n" + " ".join(command) + "\n--- stdout\n" + out + "--- stderr\n" + err + "---")

        failures = []
        if run.returncode != options.exit:
            failures.append("exit code %d, expected %d" % (run.returncode, options.exit))
        for name, text, patterns in (("stdout", out, options.stdout), ("stderr", err, options.stderr)):
            for pattern in patterns:
                if not re.search(pattern, text, re.M):
                    failures.append("%s does not match %r" % (name, pattern))
        for pattern in options.not_stdout:
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
