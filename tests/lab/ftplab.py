#!/usr/bin/python3
"""FTP lab for the upload tests.

Starts real FTP servers (pyftpdlib, vsftpd, pure-ftpd) and scripted fault
servers on 127.0.0.1 for test executables that cannot start Linux processes
themselves (they run under Wine).  They talk to this controller over loopback
TCP with a one-line request / one-line reply protocol; README.md next to this
file describes it.

    ftplab.py serve --state FILE [--daemon] [--idle-exit SECONDS]
    ftplab.py start --state FILE --kind KIND --user USER --password PASSWORD [--rate BYTES]
    ftplab.py stop --state FILE

Standard library only, besides pyftpdlib for the pyftpdlib servers.
"""

import argparse
import ctypes
import fcntl
import hashlib
import json
import os
import posixpath
import pwd
import queue
import random
import re
import shutil
import signal
import socket
import socketserver
import subprocess
import sys
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = '/usr/bin/python3'
WORK_BASE = '/tmp/korvane-ftplab'
VSFTPD = '/usr/sbin/vsftpd'
PURE_FTPD = '/var/cache/korvane/pure-ftpd/usr/sbin/pure-ftpd'
PURE_PW = '/var/cache/korvane/pure-ftpd/usr/bin/pure-pw'

# vsftpd logs in real system users only; the lab creates them with this marker
# in the comment field and never touches users without it.
LAB_USER = 'korvanelab'
LAB_USER_COMMENT = 'korvane ftp lab'
LAB_USER_HOME = '/var/lib/korvanelab'
# pam_unix without its failure delay, so a wrong-password test costs no time.
# pam_exec cannot be used: the SIGCHLD of its helper leaves vsftpd's
# privileged parent blocked in wait() and every later PASV hangs.
PAM_SERVICE = 'korvane-ftplab'
PAM_FILE = '/etc/pam.d/' + PAM_SERVICE
PAM_TEXT = ('auth required pam_unix.so nodelay\n'
            'auth required pam_shells.so\n'
            'account required pam_unix.so\n'
            'session required pam_permit.so\n')

# Real servers get a block of ports: the control port, then the passive range.
# Blocks come from below the kernel's ephemeral range and are claimed with a
# lock file, so concurrent controllers (one per architecture) never share one.
BLOCK_SIZE = 40
BLOCK_LOW = 20000
BLOCK_HIGH = 32000

INSTANCE_IDLE = 600       # seconds without activity before a server stops
CONTROLLER_IDLE = 1800    # seconds without a request before the controller exits
WATCH_PERIOD = 0.5
REQUEST_LINE_LIMIT = 256 << 20

_SAFE = ''.join(chr(c) for c in range(0x21, 0x7f) if c != 0x25)


class LabError(Exception):
    pass


def escape(value):
    """%XX for every byte outside 0x21..0x7E and for '%' itself."""
    if isinstance(value, bool):
        value = b'1' if value else b'0'
    elif isinstance(value, int):
        value = str(value).encode()
    elif isinstance(value, str):
        value = value.encode('utf-8', 'surrogateescape')
    return urllib.parse.quote_from_bytes(value, safe=_SAFE)


def unescape(text):
    return urllib.parse.unquote_to_bytes(text)


def parse_line(line):
    """'word key=value ...' -> (word, {key: bytes})."""
    text = line.decode('latin-1').rstrip('\r\n')
    parts = [p for p in text.split(' ') if p]
    if not parts:
        raise LabError('empty request')
    fields = {}
    for part in parts[1:]:
        key, sep, value = part.partition('=')
        if not sep:
            raise LabError('argument without "=": ' + key)
        fields[unescape(key).decode('latin-1')] = unescape(value)
    return parts[0], fields


def format_line(word, fields):
    return ' '.join([word] + ['%s=%s' % (k, escape(v)) for k, v in fields.items()]) + '\n'


def text_arg(args, key, default=None):
    if key not in args:
        if default is None:
            raise LabError('missing argument ' + key)
        return default
    return args[key].decode('utf-8', 'surrogateescape')


def int_arg(args, key, default=None):
    if key not in args:
        if default is None:
            raise LabError('missing argument ' + key)
        return default
    try:
        return int(args[key])
    except ValueError:
        raise LabError('argument %s is not a number: %r' % (key, args[key]))


def flag_arg(args, key):
    return args.get(key, b'0').lower() in (b'1', b'yes', b'true', b'on')


# ---------------------------------------------------------------- processes

def proc_stat_fields(pid):
    """The fields of /proc/PID/stat after the command name (from the state on), or None when it is gone."""
    try:
        with open('/proc/%d/stat' % pid, 'rb') as f:
            data = f.read()
    except OSError:
        return None
    return data[data.rfind(b')') + 2:].split()


def proc_stat(pid):
    """(state, ppid, pgid) or None when the process is gone."""
    rest = proc_stat_fields(pid)
    return None if rest is None else (rest[0].decode(), int(rest[1]), int(rest[2]))


def proc_start(pid):
    """When the process started (clock ticks since boot), or None when it is gone: a pid can be reused."""
    rest = proc_stat_fields(pid)
    return None if rest is None else int(rest[19])


def proc_cmdline(pid):
    try:
        with open('/proc/%d/cmdline' % pid, 'rb') as f:
            return f.read().replace(b'\0', b' ')
    except OSError:
        return b''


def alive(pid):
    """A zombie counts as gone: the container's init does not reap orphans."""
    st = proc_stat(pid)
    return st is not None and st[0] != 'Z'


def all_pids():
    return [int(n) for n in os.listdir('/proc') if n.isdigit()]


def descendants(roots):
    children = {}
    for pid in all_pids():
        st = proc_stat(pid)
        if st:
            children.setdefault(st[1], []).append(pid)
    found, todo = set(), list(roots)
    while todo:
        for child in children.get(todo.pop(), []):
            if child not in found:
                found.add(child)
                todo.append(child)
    return found


def kill_pids(pids, grace=3.0):
    pids = [p for p in set(pids) if p > 1 and p != os.getpid() and alive(p)]
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in pids:
            try:
                os.kill(pid, sig)
            except OSError:
                pass
        deadline = time.time() + grace
        while time.time() < deadline:
            reap_orphans()
            pids = [p for p in pids if alive(p)]
            if not pids:
                return
            time.sleep(0.02)
    reap_orphans()


def reap_orphans():
    """The controller is a child subreaper: collect what was reparented to it."""
    me, group = os.getpid(), os.getpgrp()
    for pid in all_pids():
        st = proc_stat(pid)
        # Our own helpers (useradd, openssl) share our process group and are
        # waited for by subprocess; reaping them here would hide their status.
        if st and st[0] == 'Z' and st[1] == me and st[2] != group:
            try:
                os.waitpid(pid, os.WNOHANG)
            except OSError:
                pass


_libc = ctypes.CDLL(None, use_errno=True)


def _child_setup():
    # PR_SET_PDEATHSIG: a killed controller takes its servers with it.
    _libc.prctl(1, signal.SIGKILL, 0, 0, 0)


def controller_alive(pid):
    return alive(pid) and b'ftplab.py' in proc_cmdline(pid) and b' serve' in proc_cmdline(pid)


SERVER_PATTERN = re.compile(rb'vsftpd|pure-ftpd|ftplab\.py')


def processes_of(entry):
    """Every live process that belongs to a server recorded in the registry. The recorded pid and process
    group count only while that pid still names the process that was started (its start time): pids are
    reused, and a stale entry must not take another controller's server with it."""
    pid, pgid, folder = entry['pid'], entry['pgid'], entry['dir'].encode()
    start = entry.get('start')
    leader = alive(pid) and (start is None or proc_start(pid) == start)
    # While a group has members its id is not handed out again, so with its leader gone the group is still
    # ours; a live process of that pid with another start time is a stranger, and so is its group.
    group = leader or not alive(pid)
    found = set()
    if leader and SERVER_PATTERN.search(proc_cmdline(pid)):
        found.add(pid)
        found |= descendants([pid])
    for p in all_pids():
        st = proc_stat(p)
        if not st or st[0] == 'Z':
            continue
        # pure-ftpd keeps its sessions in its process group; vsftpd's sessions
        # call setsid() but keep the per-instance config path in their argv.
        cmdline = proc_cmdline(p)
        if ((group and st[2] == pgid and pgid > 1) or folder + b'/' in cmdline) and SERVER_PATTERN.search(cmdline):
            found.add(p)
    return found


def sweep_folder(folder):
    """Kill what a (possibly dead) controller left behind and remove its folder."""
    try:
        with open(os.path.join(folder, 'registry')) as f:
            entries = [json.loads(line) for line in f if line.strip()]
    except (OSError, ValueError):
        entries = []
    victims = set()
    for entry in entries:
        victims |= processes_of(entry)
    kill_pids(victims)
    release_user_claims(folder)
    shutil.rmtree(folder, ignore_errors=True)


def sweep_dead_controllers():
    if not os.path.isdir(WORK_BASE):
        return
    for name in os.listdir(WORK_BASE):
        if name.isdigit() and not controller_alive(int(name)):
            sweep_folder(os.path.join(WORK_BASE, name))


class MainThreadRunner:
    """Runs process starts on the main thread: PR_SET_PDEATHSIG fires when the
    thread that forked the child ends, and request threads end all the time."""

    def __init__(self):
        self.jobs = queue.Queue()

    def call(self, fn):
        if threading.current_thread() is threading.main_thread():
            return fn()
        box, done = {}, threading.Event()
        self.jobs.put((fn, box, done))
        done.wait()
        if 'error' in box:
            raise box['error']
        return box['value']

    def run_until(self, stop_event, housekeeping):
        while not stop_event.is_set():
            try:
                fn, box, done = self.jobs.get(timeout=WATCH_PERIOD)
            except queue.Empty:
                housekeeping()
                continue
            try:
                box['value'] = fn()
            except BaseException as e:  # handed back to the requesting thread
                box['error'] = e
            done.set()
        while True:
            try:
                fn, box, done = self.jobs.get_nowait()
            except queue.Empty:
                break
            box['error'] = LabError('the controller is shutting down')
            done.set()


# -------------------------------------------------------------------- ports

def ephemeral_low():
    try:
        with open('/proc/sys/net/ipv4/ip_local_port_range') as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def port_free(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        # Servers bind with SO_REUSEADDR, so a TIME_WAIT left on the port is fine.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(('127.0.0.1', port))
        return True
    except OSError:
        return False
    finally:
        s.close()


class PortBlock:
    def __init__(self, start, fd):
        self.start, self.fd = start, fd

    @staticmethod
    def reserve():
        folder = os.path.join(WORK_BASE, 'ports')
        os.makedirs(folder, exist_ok=True)
        high = min(BLOCK_HIGH, ephemeral_low())
        starts = list(range(BLOCK_LOW, high - BLOCK_SIZE + 1, BLOCK_SIZE))
        random.shuffle(starts)
        for start in starts:
            fd = os.open(os.path.join(folder, '%d.lock' % start), os.O_CREAT | os.O_RDWR, 0o644)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                os.close(fd)
                continue
            if all(port_free(p) for p in range(start, start + BLOCK_SIZE)):
                return PortBlock(start, fd)
            os.close(fd)
        raise LabError('no free block of %d ports between %d and %d' % (BLOCK_SIZE, BLOCK_LOW, high))

    def release(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def read_greeting(port, timeout):
    """Connects and reads up to the last line of a 220 greeting."""
    with socket.create_connection(('127.0.0.1', port), timeout=timeout) as s:
        data = b''
        while True:
            chunk = s.recv(4096)
            if not chunk:
                raise OSError('closed before the greeting ended')
            data += chunk
            lines = data.split(b'\r\n')
            if any(re.match(rb'\d{3} ', line) for line in lines[:-1]):
                try:
                    s.sendall(b'QUIT\r\n')
                except OSError:
                    pass
                return data


# -------------------------------------------------------------------- users

def user_lock():
    os.makedirs(WORK_BASE, exist_ok=True)
    fd = os.open(os.path.join(WORK_BASE, 'users.lock'), os.O_CREAT | os.O_RDWR, 0o644)
    fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


def ensure_system_user(name):
    """Creates the lab's system user NAME once; refuses users that are not ours."""
    if not re.fullmatch(r'[a-z_][a-z0-9_-]{0,30}', name):
        raise LabError('vsftpd logs in system users only; %r cannot be a system user name '
                       '(use pyftpdlib, pureftpd or a scripted server for such names)' % name)
    try:
        entry = pwd.getpwnam(name)
    except KeyError:
        os.makedirs(LAB_USER_HOME, exist_ok=True)
        result = subprocess.run(['useradd', '--system', '--shell', '/bin/bash', '--home-dir', LAB_USER_HOME,
                                 '--no-create-home', '--comment', LAB_USER_COMMENT, name],
                                capture_output=True)
        if result.returncode != 0:
            raise LabError('useradd %s failed: %s' % (name, result.stderr.decode(errors='replace').strip()))
        entry = pwd.getpwnam(name)
    if entry.pw_gecos != LAB_USER_COMMENT:
        raise LabError('system user %s exists and is not a lab user' % name)
    return entry


def sha512_crypt(password):
    result = subprocess.run(['openssl', 'passwd', '-6', '-stdin'], input=password + b'\n', capture_output=True)
    if result.returncode != 0:
        raise LabError('openssl passwd failed: ' + result.stderr.decode(errors='replace'))
    return result.stdout.strip()


def claim_vsftpd_user(name, password, claim_path):
    """Sets the system password of NAME, unless a live vsftpd instance of any
    controller uses NAME with another password (the two would race)."""
    digest = hashlib.sha256(password).hexdigest()
    claims = os.path.join(WORK_BASE, 'users')
    os.makedirs(claims, exist_ok=True)
    fd = user_lock()
    try:
        entry = ensure_system_user(name)
        for other in os.listdir(claims):
            user, _, owner = other.rpartition('@')
            owner_pid = owner.split('-')[0]
            if user != name or not owner_pid.isdigit() or not controller_alive(int(owner_pid)):
                continue
            try:
                with open(os.path.join(claims, other)) as f:
                    theirs = f.read().strip()
            except OSError:  # that instance stopped meanwhile
                continue
            if theirs != digest:
                raise LabError('user %s is in use by a running vsftpd instance with another '
                               'password; give this test its own user name' % name)
        result = subprocess.run(['usermod', '-p', sha512_crypt(password).decode(), name], capture_output=True)
        if result.returncode != 0:
            raise LabError('usermod failed: ' + result.stderr.decode(errors='replace'))
        with open(claim_path, 'w') as f:
            f.write(digest)
        return entry
    finally:
        os.close(fd)


def release_user_claims(folder):
    """Drops the user claims of one controller folder (WORK_BASE/<pid>)."""
    claims = os.path.join(WORK_BASE, 'users')
    owner = os.path.basename(folder.rstrip('/'))
    if os.path.isdir(claims):
        for name in os.listdir(claims):
            if name.rpartition('@')[2].split('-')[0] == owner:
                try:
                    os.unlink(os.path.join(claims, name))
                except OSError:
                    pass


def ensure_pam_service():
    try:
        with open(PAM_FILE) as f:
            if f.read() == PAM_TEXT:
                return
    except OSError:
        pass
    with open(PAM_FILE + '.tmp', 'w') as f:
        f.write(PAM_TEXT)
    os.replace(PAM_FILE + '.tmp', PAM_FILE)


# ---------------------------------------------------------------- instances

def safe_join(root, relative):
    """root + relative path, refusing anything that leaves root."""
    rel = relative.lstrip(b'/')
    path = posixpath.normpath(posixpath.join(root.encode(), rel))
    if path != root.encode() and not path.startswith(root.encode() + b'/'):
        raise LabError('path leaves the server root: %r' % relative)
    return path


def file_info(path, with_data=False):
    if not os.path.isfile(path):
        return {'exists': 0, 'size': 0, 'md5': ''}
    md5, size, data = hashlib.md5(), 0, bytearray()
    with open(path, 'rb') as f:
        while True:
            chunk = f.read(1 << 20)
            if not chunk:
                break
            md5.update(chunk)
            size += len(chunk)
            if with_data:
                data += chunk
    info = {'exists': 1, 'size': size, 'md5': md5.hexdigest()}
    if with_data:
        info['data'] = bytes(data)
    return info


class Instance:
    def __init__(self, controller, ident, owner, args):
        self.controller = controller
        self.id = ident
        self.owner = owner
        self.keep = flag_arg(args, 'keep')
        self.idle = int_arg(args, 'idle', INSTANCE_IDLE)
        self.dir = os.path.join(controller.dir, str(ident))
        self.root = os.path.join(self.dir, 'root')
        self.port = 0
        self.pid = 0
        self.pgid = 0
        self.started_at = None
        self.last_activity = time.time()
        self.stopped = False
        self.uid = self.gid = 0

    def touch(self):
        self.last_activity = time.time()

    def idle_now(self, now):
        return now - self.last_activity > self.idle

    def registry_entry(self):
        return {'pid': self.pid, 'pgid': self.pgid, 'dir': self.dir, 'start': self.started_at}

    def make_tree(self):
        os.makedirs(self.root)
        os.chown(self.root, self.uid, self.gid)

    def put(self, relative, data):
        path = safe_join(self.root, relative)
        self.make_parents(path)
        with open(path, 'wb') as f:
            f.write(data)
        os.chown(path, self.uid, self.gid)
        return len(data)

    def mkdir(self, relative):
        path = safe_join(self.root, relative)
        self.make_parents(path + b'/x')

    def make_parents(self, path):
        parent = posixpath.dirname(path)
        missing = []
        while not os.path.isdir(parent):
            missing.append(parent)
            parent = posixpath.dirname(parent)
        for folder in reversed(missing):
            os.mkdir(folder)
            os.chown(folder, self.uid, self.gid)


class RealInstance(Instance):
    def __init__(self, controller, ident, owner, args):
        super().__init__(controller, ident, owner, args)
        self.kind = text_arg(args, 'kind')
        self.user = args.get('user')
        self.password = args.get('pass')
        if self.user is None or self.password is None:
            raise LabError('start needs user= and pass=')
        if self.kind not in ('pyftpdlib', 'vsftpd', 'pureftpd'):
            raise LabError('unknown server kind %r (pyftpdlib, vsftpd, pureftpd)' % self.kind)
        # The most bytes per second an upload may move (vsftpd's local_max_rate, pyftpdlib's throttled data
        # channel); 0: no limit.
        self.rate = int_arg(args, 'rate', 0)
        if self.rate < 0 or (self.rate and self.kind == 'pureftpd'):
            raise LabError('rate= is a positive byte count per second, for vsftpd and pyftpdlib only')
        self.block = None
        self.proc = None
        self.claim = None

    def start(self):
        if self.kind != 'pyftpdlib' and os.geteuid() != 0:
            raise LabError('%s needs the controller to run as root' % self.kind)
        os.makedirs(self.dir)
        self.block = PortBlock.reserve()
        self.port = self.block.start
        self.pasv_low, self.pasv_high = self.port + 1, self.port + BLOCK_SIZE - 1
        argv = getattr(self, 'configure_' + self.kind)()
        self.make_tree()
        log = open(os.path.join(self.dir, 'server.log'), 'wb')
        try:
            self.proc = self.controller.runner.call(lambda: subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                close_fds=True, start_new_session=True, preexec_fn=_child_setup, cwd=self.dir))
        finally:
            log.close()
        self.pid = self.pgid = self.proc.pid
        self.started_at = proc_start(self.pid)
        self.controller.save_registry()
        self.wait_ready()

    def wait_ready(self):
        deadline = time.time() + 20
        last = None
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise LabError('%s exited with %s: %s' % (self.kind, self.proc.returncode, self.log_tail()))
            try:
                read_greeting(self.port, 2)
                return
            except OSError as e:
                last = e
                time.sleep(0.05)
        raise LabError('%s did not greet on port %d: %s; %s' % (self.kind, self.port, last, self.log_tail()))

    def log_tail(self):
        try:
            with open(os.path.join(self.dir, 'server.log'), 'rb') as f:
                return f.read()[-600:].decode(errors='replace').strip() or '(no output)'
        except OSError:
            return '(no log)'

    def configure_pyftpdlib(self):
        config = os.path.join(self.dir, 'pyftpdlib.json')
        with open(config, 'w') as f:
            json.dump({'port': self.port, 'pasv_low': self.pasv_low, 'pasv_high': self.pasv_high,
                       'root': self.root, 'user': escape(self.user), 'password': escape(self.password),
                       'idle': self.idle, 'rate': self.rate}, f)
        return [PYTHON, os.path.abspath(__file__), '_pyftpdlib', config]

    def configure_vsftpd(self):
        ensure_pam_service()
        name = self.user.decode('utf-8', 'surrogateescape')
        self.claim = os.path.join(WORK_BASE, 'users', '%s@%d-%d' % (name, self.controller.pid, self.id))
        entry = claim_vsftpd_user(name, self.password, self.claim)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        empty = os.path.join(WORK_BASE, 'empty')
        os.makedirs(empty, mode=0o755, exist_ok=True)
        config = os.path.join(self.dir, 'vsftpd.conf')
        with open(config, 'w') as f:
            f.write('\n'.join([
                'listen=YES', 'listen_ipv6=NO', 'background=NO',
                'listen_address=127.0.0.1', 'listen_port=%d' % self.port,
                'anonymous_enable=NO', 'local_enable=YES', 'write_enable=YES', 'local_umask=022',
                'pasv_enable=YES', 'pasv_address=127.0.0.1',
                'pasv_min_port=%d' % self.pasv_low, 'pasv_max_port=%d' % self.pasv_high,
                'seccomp_sandbox=NO', 'isolate=NO', 'isolate_network=NO',
                'secure_chroot_dir=' + empty, 'local_root=' + self.root,
                'pam_service_name=' + PAM_SERVICE, 'userlist_enable=NO', 'delay_failed_login=0',
                'xferlog_enable=NO', 'syslog_enable=NO', 'connect_from_port_20=NO',
                'max_clients=0', 'max_per_ip=0',
                'idle_session_timeout=%d' % self.idle, 'data_connection_timeout=%d' % self.idle,
                'local_max_rate=%d' % self.rate,
                '']))
        return [VSFTPD, config]

    def configure_pureftpd(self):
        if b':' in self.user or b'\n' in self.user:
            raise LabError('pure-ftpd user names cannot hold ":"')
        fd = user_lock()
        try:
            entry = ensure_system_user(LAB_USER)
        finally:
            os.close(fd)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        passwd = os.path.join(self.dir, 'pureftpd.passwd')
        pdb = os.path.join(self.dir, 'pureftpd.pdb')
        # A SHA-512 crypt hash: pure-pw's own default costs about 4 s per login.
        line = b'%s:%s:%d:%d::%s/./::::::::::::\n' % (self.user, sha512_crypt(self.password), self.uid,
                                                      self.gid, self.root.encode())
        with open(passwd, 'wb') as f:
            f.write(line)
        result = subprocess.run([PURE_PW, 'mkdb', pdb, '-f', passwd], capture_output=True)
        if result.returncode != 0:
            raise LabError('pure-pw mkdb failed: ' + result.stderr.decode(errors='replace'))
        return [PURE_FTPD, '-4', '-S', '127.0.0.1,%d' % self.port, '-p', '%d:%d' % (self.pasv_low, self.pasv_high),
                '-P', '127.0.0.1', '-l', 'puredb:' + pdb, '-E', '-H', '-g', os.path.join(self.dir, 'pureftpd.pid'),
                '-I', str(max(1, self.idle // 60)), '-c', '50', '-C', '50']

    def idle_now(self, now):
        if self.established():
            self.touch()
        return super().idle_now(now)

    def established(self):
        """True while a client holds a connection to the control port."""
        needle = ':%04X ' % self.port
        try:
            with open('/proc/net/tcp') as f:
                for line in f.readlines()[1:]:
                    fields = line.split()
                    if fields[3] == '01' and (fields[1] + ' ').endswith(needle):
                        return True
        except OSError:
            pass
        return False

    def describe(self):
        return {'id': self.id, 'kind': self.kind, 'port': self.port, 'root': self.root, 'pid': self.pid,
                'pasv_low': self.pasv_low, 'pasv_high': self.pasv_high}

    def stop(self):
        if self.stopped:
            return
        self.stopped = True
        if self.pid:
            kill_pids(processes_of(self.registry_entry()))
            if self.proc is not None:
                try:
                    self.proc.wait(timeout=5)
                except (subprocess.TimeoutExpired, OSError):
                    pass
        if self.block:
            self.block.release()
        if self.claim:
            try:
                os.unlink(self.claim)
            except OSError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)


# ------------------------------------------------------------ scripted server

COMMAND_FIELDS = {'reply', 'split', 'gap', 'delay', 'action', 'effect', 'final', 'final.split', 'final.gap',
                  'final.delay', 'final.action', 'close_after', 'accept', 'store_delay'}
ACTIONS = {'reply', 'silent', 'mute', 'close', 'reply-close'}
FINAL_ACTIONS = {'reply', 'none', 'silent', 'mute', 'close', 'reply-close'}
NEEDS_LOGIN = {'PWD', 'MKD', 'CWD', 'CDUP', 'TYPE', 'SIZE', 'PASV', 'REST', 'STOR', 'APPE'}
DEFAULT_GREETING = b'220 Korvane lab FTP server ready.\r\n'
DEFAULT_FEAT = b'211-Features:\r\n SIZE\r\n REST STREAM\r\n UTF8\r\n211 End\r\n'
DEFAULT_GAP_MS = 200


class Rules:
    """Overrides keyed 'VERB.field' (every occurrence) or 'VERB#N.field'
    (the N-th occurrence in the whole instance, from 1)."""

    def __init__(self, args):
        self.general, self.specific = {}, {}
        for key, value in args.items():
            head, dot, field = key.partition('.')
            if not dot:
                if key not in ('accept', 'user', 'pass', 'idle', 'keep'):
                    raise LabError('unknown script key %r' % key)
                continue
            if field not in COMMAND_FIELDS:
                raise LabError('unknown field %r in %r' % (field, key))
            verb, hashmark, nth = head.partition('#')
            if not verb.isalpha():
                raise LabError('bad verb in %r' % key)
            verb = verb.upper()
            if field in ('action',) and value.decode() not in ACTIONS:
                raise LabError('%s: action is one of %s' % (key, ', '.join(sorted(ACTIONS))))
            if field == 'final.action' and value.decode() not in FINAL_ACTIONS:
                raise LabError('%s: final.action is one of %s' % (key, ', '.join(sorted(FINAL_ACTIONS))))
            if hashmark:
                if not nth.isdigit() or int(nth) < 1:
                    raise LabError('bad occurrence in %r' % key)
                self.specific.setdefault((verb, int(nth)), {})[field] = value
            else:
                self.general.setdefault(verb, {})[field] = value

    def lookup(self, verb, nth):
        merged = dict(self.general.get(verb, {}))
        merged.update(self.specific.get((verb, nth), {}))
        return merged


def rule_int(rule, key, default):
    try:
        return int(rule[key]) if key in rule else default
    except ValueError:
        raise LabError('%s is not a number: %r' % (key, rule[key]))


def rule_cuts(rule, key):
    if key not in rule or not rule[key]:
        return []
    try:
        return [int(c) for c in rule[key].split(b',') if c]
    except ValueError:
        raise LabError('%s takes byte offsets like 3,10: %r' % (key, rule[key]))


def positive(text):
    return text is None or text[:1] in (b'1', b'2', b'3')


class DataChannel:
    """One passive listener and the one data connection it accepts."""

    def __init__(self, session, accept):
        self.session = session
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.conn = None
        self.lock = threading.Lock()
        self.limit = None
        self.received = 0
        self.aborted = False
        self.done = threading.Event()
        self.spool = os.path.join(session.instance.dir, 'spool', '%d' % session.instance.next_spool())
        if accept:
            threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            self.done.set()
            return
        self.close_listener()
        with self.lock:
            self.conn = conn
        try:
            with open(self.spool, 'wb') as out:
                while True:
                    with self.lock:
                        if self.limit is not None and self.received >= self.limit:
                            self.aborted = True
                            break
                    try:
                        chunk = conn.recv(1 << 16)
                    except OSError:
                        break
                    if not chunk:
                        break
                    self.session.instance.touch()
                    with self.lock:
                        if self.limit is not None and self.received + len(chunk) >= self.limit:
                            chunk = chunk[:self.limit - self.received]
                            self.aborted = True
                        out.write(chunk)
                        self.received += len(chunk)
                        if self.aborted:
                            break
        finally:
            conn.close()
            self.done.set()

    def set_limit(self, limit):
        with self.lock:
            self.limit = limit
            if self.conn is not None and self.received >= limit:
                self.aborted = True
                try:
                    self.conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close_listener(self):
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()

    def close(self):
        self.close_listener()
        with self.lock:
            if self.conn is not None:
                try:
                    self.conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


class Session:
    """One control connection of a scripted server."""

    def __init__(self, instance, sock, index):
        self.instance = instance
        self.sock = sock
        self.index = index
        self.raw = bytearray()
        self.closed = threading.Event()
        self.send_lock = threading.Lock()
        self.cwd = b'/'
        self.user = None
        self.logged_in = False
        self.rest = 0
        self.muted = False       # answers nothing more, still records
        self.half_closed = False # our side sent FIN; the client's side stays readable
        self.data = None
        self.channels = []
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    # ---- wire
    def write(self, text, cuts, gap_ms):
        cuts = sorted(set(c for c in cuts if 0 < c < len(text)))
        pieces, last = [], 0
        for c in cuts + [len(text)]:
            pieces.append(text[last:c])
            last = c
        with self.send_lock:
            for i, piece in enumerate(pieces):
                if self.half_closed:
                    return
                if i:
                    time.sleep(gap_ms / 1000.0)
                try:
                    self.sock.sendall(piece)
                except OSError:
                    return
        self.instance.touch()

    def close_control(self):
        """Closes our side only (FIN): every later receive of the client sees the
        end, its sends still succeed and are recorded, and nothing depends on
        whether an RST would have overtaken the FIN."""
        with self.send_lock:
            if not self.half_closed:
                self.half_closed = True
                try:
                    self.sock.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
        for channel in self.channels:
            channel.close()

    def perform(self, rule, default, variables, final=False):
        """Sends DEFAULT or the override as RULE says (the 'final.' fields for the
        reply after a transfer); returns False once this step closed or muted
        the connection."""
        prefix = 'final.' if final else ''
        text_key = 'final' if final else 'reply'
        delay = rule_int(rule, prefix + 'delay', 0)
        if delay:
            time.sleep(delay / 1000.0)
        action = rule.get(prefix + 'action', b'reply').decode()
        if action in ('silent', 'none'):
            return True
        if action == 'mute':
            self.muted = True
            return False
        if action == 'close':
            self.close_control()
            return False
        text = default
        if text_key in rule:
            text = rule[text_key]
            for key, value in variables.items():
                text = text.replace(b'{' + key.encode() + b'}', value)
        self.write(text, rule_cuts(rule, prefix + 'split'), rule_int(rule, prefix + 'gap', DEFAULT_GAP_MS))
        if action == 'reply-close':
            self.close_control()
            return False
        return True

    def receive(self):
        """The client's next bytes, recorded; None once the connection is over."""
        try:
            chunk = self.sock.recv(1 << 16)
        except OSError:
            return None
        if not chunk:
            return None
        with self.instance.lock:
            self.raw += chunk
        self.instance.touch()
        return chunk

    def run(self):
        try:
            rule = self.instance.rules.lookup('GREETING', self.index)
            if self.perform(rule, DEFAULT_GREETING, {'port': str(self.instance.port).encode()}):
                pending = b''
                while (chunk := self.receive()) is not None:
                    pending += chunk
                    while b'\n' in pending:
                        line, pending = pending.split(b'\n', 1)
                        if not self.half_closed and not self.muted:
                            self.handle(line[:-1] if line.endswith(b'\r') else line)
            # A greeting step that closed or muted the connection still records.
            while not self.instance.stopped and self.receive() is not None:
                pass
        finally:
            for channel in self.channels:
                channel.close()
            try:
                self.sock.close()
            except OSError:
                pass
            self.closed.set()

    # ---- commands
    def handle(self, line):
        verb_bytes, _, arg = line.partition(b' ')
        verb = verb_bytes.decode('latin-1').upper()
        nth = self.instance.count(verb)
        rule = self.instance.rules.lookup(verb, nth) if verb.isalpha() else {}
        action = rule.get('action', b'reply').decode()
        if 'effect' in rule:
            effect = rule['effect'].lower() in (b'1', b'yes', b'true', b'on')
        else:
            effect = action in ('reply', 'reply-close') and positive(rule.get('reply'))
        handler = getattr(self, 'cmd_' + verb, None) if verb.isalpha() else None
        after = None
        variables = {'arg': arg, 'cwd': self.cwd}
        if handler is None:
            default = b'500 Unknown command.\r\n'
        elif verb in NEEDS_LOGIN and not self.logged_in:
            default = b'530 Please login with USER and PASS.\r\n'
        else:
            default, extra, after = handler(arg, effect, rule)
            variables.update(extra)
        going = self.perform(rule, default, variables)
        if after is not None:
            after()
        if going and verb == 'QUIT' and effect:
            self.close_control()

    def resolve(self, arg):
        if not arg:
            return None, None
        virtual = posixpath.normpath(posixpath.join(self.cwd, arg))
        virtual = b'/' + virtual.lstrip(b'/')
        return virtual, self.instance.root.encode() + (virtual if virtual != b'/' else b'')

    def cmd_USER(self, arg, effect, rule):
        if effect:
            self.user, self.logged_in = arg, False
            # A server that logs in at USER ("230" here) skips PASS.
            if rule.get('reply', b'')[:3] == b'230':
                self.logged_in = True
        return b'331 Please specify the password.\r\n', {}, None

    def cmd_PASS(self, arg, effect, rule):
        inst = self.instance
        if 'reply' in rule:
            ok = positive(rule['reply'])
        else:
            ok = self.user is not None and (inst.user is None or self.user == inst.user) \
                and (inst.password is None or arg == inst.password)
        if ok and effect:
            self.logged_in = True
        if self.user is None:
            return b'503 Login with USER first.\r\n', {}, None
        return (b'230 Login successful.\r\n' if ok else b'530 Login incorrect.\r\n'), {}, None

    def cmd_FEAT(self, arg, effect, rule):
        return DEFAULT_FEAT, {}, None

    def cmd_CLNT(self, arg, effect, rule):
        return b'200 Noted.\r\n', {}, None

    def cmd_OPTS(self, arg, effect, rule):
        if arg.strip().upper() == b'UTF8 ON':
            return b'200 UTF8 mode enabled.\r\n', {}, None
        return b'501 Option not understood.\r\n', {}, None

    def cmd_NOOP(self, arg, effect, rule):
        return b'200 NOOP ok.\r\n', {}, None

    def cmd_SYST(self, arg, effect, rule):
        return b'215 UNIX Type: L8\r\n', {}, None

    def cmd_QUIT(self, arg, effect, rule):
        return b'221 Goodbye.\r\n', {}, None

    def cmd_PWD(self, arg, effect, rule):
        return b'257 "%s" is the current directory.\r\n' % self.cwd, {}, None

    def cmd_MKD(self, arg, effect, rule):
        virtual, real = self.resolve(arg)
        if real is None or os.path.exists(real):
            return b'550 Create directory operation failed.\r\n', {}, None
        if effect:
            try:
                os.mkdir(real)
            except OSError:
                return b'550 Create directory operation failed.\r\n', {}, None
        return b'257 "%s" created.\r\n' % virtual, {'path': virtual}, None

    def cmd_CWD(self, arg, effect, rule):
        virtual, real = self.resolve(arg)
        if real is None or not os.path.isdir(real):
            return b'550 Failed to change directory.\r\n', {}, None
        if effect:
            self.cwd = virtual
        return b'250 Directory successfully changed.\r\n', {'cwd': virtual}, None

    def cmd_CDUP(self, arg, effect, rule):
        return self.cmd_CWD(b'..', effect, rule)

    def cmd_TYPE(self, arg, effect, rule):
        kind = arg.strip().upper()
        if kind in (b'I', b'L 8'):
            return b'200 Switching to Binary mode.\r\n', {}, None
        if kind in (b'A', b'A N'):
            return b'200 Switching to ASCII mode.\r\n', {}, None
        return b'504 Command not implemented for that parameter.\r\n', {}, None

    def cmd_SIZE(self, arg, effect, rule):
        virtual, real = self.resolve(arg)
        if real is None or not os.path.isfile(real):
            return b'550 Could not get file size.\r\n', {'size': b'0'}, None
        size = str(os.path.getsize(real)).encode()
        return b'213 ' + size + b'\r\n', {'size': size}, None

    def cmd_PASV(self, arg, effect, rule):
        if not effect:
            return b'227 Entering Passive Mode (127,0,0,1,0,0).\r\n', {'p1': b'0', 'p2': b'0', 'port': b'0'}, None
        if self.data is not None:
            self.data.close()
        accept = rule.get('accept', b'yes').lower() not in (b'0', b'no', b'false', b'off')
        self.data = DataChannel(self, accept)
        self.channels.append(self.data)
        p1, p2 = (str(self.data.port // 256).encode(), str(self.data.port % 256).encode())
        text = b'227 Entering Passive Mode (127,0,0,1,%s,%s).\r\n' % (p1, p2)
        return text, {'p1': p1, 'p2': p2, 'port': str(self.data.port).encode()}, None

    def cmd_REST(self, arg, effect, rule):
        try:
            offset = int(arg.strip())
        except ValueError:
            offset = -1
        if offset < 0:
            return b'501 Bad restart position.\r\n', {}, None
        if effect:
            self.rest = offset
        return b'350 Restart position accepted (%d).\r\n' % offset, {}, None

    def cmd_STOR(self, arg, effect, rule):
        return self.transfer('STOR', arg, effect, rule)

    def cmd_APPE(self, arg, effect, rule):
        return self.transfer('APPE', arg, effect, rule)

    def transfer(self, verb, arg, effect, rule):
        virtual, real = self.resolve(arg)
        if real is None or os.path.isdir(real):
            return b'553 Could not create file.\r\n', {}, None
        channel = self.data
        if channel is None:
            return b'425 Use PASV first.\r\n', {}, None
        offset = self.rest if verb == 'STOR' else None
        if not effect:
            return b'150 Ok to send data.\r\n', {}, None
        self.data, self.rest = None, 0
        if 'close_after' in rule:
            channel.set_limit(rule_int(rule, 'close_after', 0))
        job = {'verb': verb, 'name': arg, 'path': virtual, 'real': real, 'offset': offset, 'rule': rule,
               'channel': channel}
        # Started only after the 150 went out, so the final reply cannot overtake it.
        after = lambda: threading.Thread(target=self.finish_transfer, args=(job,), daemon=True).start()
        return b'150 Ok to send data.\r\n', {}, after

    def finish_transfer(self, job):
        channel = job['channel']
        while not channel.done.wait(0.2):
            if self.instance.stopped:
                return
        # A server still writing what reached it when the client has moved on.
        store_delay = rule_int(job['rule'], 'store_delay', 0)
        if store_delay:
            time.sleep(store_delay / 1000.0)
        size = channel.received
        md5 = hashlib.md5()
        real = job['real']
        if job['verb'] == 'STOR':
            offset = job['offset'] or 0
            if not os.path.exists(real):
                open(real, 'wb').close()
            mode = 'r+b'
        else:
            offset = os.path.getsize(real) if os.path.exists(real) else 0
            mode = 'ab'
        spool_path = channel.spool if os.path.exists(channel.spool) else os.devnull
        with open(real, mode) as out, open(spool_path, 'rb') as spool:
            if mode == 'r+b':
                out.truncate(offset)
                out.seek(offset)
            left = size
            while left > 0:
                chunk = spool.read(min(left, 1 << 20))
                if not chunk:
                    break
                md5.update(chunk)
                out.write(chunk)
                left -= len(chunk)
        self.instance.add_transfer({'verb': job['verb'], 'name': job['name'], 'path': job['path'],
                                    'offset': offset, 'bytes': size, 'md5': md5.hexdigest(),
                                    'aborted': 1 if channel.aborted else 0, 'spool': channel.spool,
                                    'conn': self.index})
        if self.half_closed or self.muted:
            return
        default = b'426 Connection closed; transfer aborted.\r\n' if channel.aborted else b'226 Transfer complete.\r\n'
        self.perform(job['rule'], default, {'bytes': str(size).encode()}, final=True)


class ScriptedInstance(Instance):
    kind = 'scripted'

    def __init__(self, controller, ident, owner, args):
        super().__init__(controller, ident, owner, args)
        self.rules = Rules(args)
        self.user = args.get('user')
        self.password = args.get('pass')
        self.accept = args.get('accept', b'yes').lower() not in (b'0', b'no', b'false', b'off')
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        self.counts = {}
        self.sessions = []
        self.transfers = []
        self.spools = 0
        self.listener = None

    def start(self):
        os.makedirs(os.path.join(self.dir, 'spool'))
        self.make_tree()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        if self.accept:
            threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while not self.stopped:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                if self.stopped:
                    sock.close()
                    return
                session = Session(self, sock, len(self.sessions) + 1)
                self.sessions.append(session)
                self.changed.notify_all()
            self.touch()
            threading.Thread(target=session.run, daemon=True).start()

    def count(self, verb):
        with self.lock:
            self.counts[verb] = self.counts.get(verb, 0) + 1
            return self.counts[verb]

    def next_spool(self):
        with self.lock:
            self.spools += 1
            return self.spools

    def add_transfer(self, record):
        with self.lock:
            self.transfers.append(record)
            self.changed.notify_all()

    def describe(self):
        return {'id': self.id, 'kind': self.kind, 'port': self.port, 'root': self.root, 'pid': os.getpid()}

    def stop(self):
        if self.stopped:
            return
        self.stopped = True
        if self.listener is not None:
            try:
                self.listener.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self.listener.close()
        with self.lock:
            sessions = list(self.sessions)
        for session in sessions:
            for channel in session.channels:
                channel.close()
            try:
                session.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for session in sessions:
            session.closed.wait(2)
        shutil.rmtree(self.dir, ignore_errors=True)


def run_pyftpdlib(config_path):
    """Child process body of a pyftpdlib instance."""
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
    from pyftpdlib.servers import FTPServer
    with open(config_path) as f:
        cfg = json.load(f)
    # pyftpdlib decodes command lines as UTF-8 with 'replace'; match its view.
    user = unescape(cfg['user']).decode('utf-8', 'replace')
    password = unescape(cfg['password']).decode('utf-8', 'replace')
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, cfg['root'], perm='elradfmwMT')

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.passive_ports = list(range(cfg['pasv_low'], cfg['pasv_high'] + 1))
    Handler.auth_failed_timeout = 0
    Handler.timeout = cfg['idle']
    if cfg.get('rate'):

        class Throttled(ThrottledDTPHandler):
            read_limit = cfg['rate']

        Handler.dtp_handler = Throttled
    server = FTPServer(('127.0.0.1', cfg['port']), Handler)
    server.serve_forever()


# ---------------------------------------------------------------- controller

class Controller:
    def __init__(self, state_path, idle_exit):
        self.pid = os.getpid()
        self.state_path = os.path.abspath(state_path)
        self.idle_exit = idle_exit
        self.dir = os.path.join(WORK_BASE, str(self.pid))
        self.lock = threading.Lock()
        self.registry_lock = threading.Lock()
        self.instances = {}
        self.next_id = 1
        self.next_conn = 1
        self.last_request = time.time()
        self.stop_event = threading.Event()
        self.runner = MainThreadRunner()
        self.port = 0

    # ---- lifecycle
    def serve(self, ready_fd=None):
        sweep_dead_controllers()
        os.makedirs(self.dir, exist_ok=True)
        # PR_SET_CHILD_SUBREAPER: server sessions whose parent is killed come
        # back to us, so they are found, killed and reaped here.
        _libc.prctl(36, 1, 0, 0, 0)
        controller = self

        class Handler(socketserver.StreamRequestHandler):
            def handle(self):
                controller.handle_connection(self)

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True

        server = Server(('127.0.0.1', 0), Handler)
        self.port = server.server_address[1]
        threading.Thread(target=server.serve_forever, daemon=True).start()
        threading.Thread(target=self.watch, daemon=True).start()
        signal.signal(signal.SIGTERM, lambda *_: self.stop_event.set())
        signal.signal(signal.SIGINT, lambda *_: self.stop_event.set())
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
        state = 'port=%d pid=%d\n' % (self.port, self.pid)
        with open(self.state_path + '.tmp', 'w') as f:
            f.write(state)
        os.replace(self.state_path + '.tmp', self.state_path)
        if ready_fd is not None:
            os.write(ready_fd, state.encode())
            os.close(ready_fd)
        try:
            self.runner.run_until(self.stop_event, reap_orphans)
        finally:
            server.shutdown()
            self.stop_all()
            shutil.rmtree(self.dir, ignore_errors=True)
            release_user_claims(self.dir)
            try:
                with open(self.state_path) as f:
                    if f.read() == state:
                        os.unlink(self.state_path)
            except OSError:
                pass

    def stop_all(self):
        with self.lock:
            instances = list(self.instances.values())
            self.instances.clear()
        threads = [threading.Thread(target=i.stop) for i in instances]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.save_registry()

    def watch(self):
        while not self.stop_event.wait(WATCH_PERIOD):
            now = time.time()
            with self.lock:
                idle = [i for i in self.instances.values() if i.idle_now(now)]
            for instance in idle:
                self.drop(instance)
            if now - self.last_request > self.idle_exit:
                self.stop_event.set()

    def save_registry(self):
        """Lists the real servers for 'stop', which sweeps them if we die."""
        with self.registry_lock:
            with self.lock:
                entries = [i.registry_entry() for i in self.instances.values()
                           if isinstance(i, RealInstance) and i.pid]
            try:
                with open(os.path.join(self.dir, 'registry.tmp'), 'w') as f:
                    for entry in entries:
                        f.write(json.dumps(entry) + '\n')
                os.replace(os.path.join(self.dir, 'registry.tmp'), os.path.join(self.dir, 'registry'))
            except FileNotFoundError:  # the folder goes away at shutdown
                pass

    def drop(self, instance):
        with self.lock:
            if self.instances.get(instance.id) is instance:
                del self.instances[instance.id]
        instance.stop()
        self.save_registry()

    # ---- protocol
    def handle_connection(self, stream):
        with self.lock:
            conn = self.next_conn
            self.next_conn += 1
        try:
            while True:
                line = stream.rfile.readline(REQUEST_LINE_LIMIT)
                if not line:
                    break
                if not line.strip():
                    continue
                self.last_request = time.time()
                quit_after = False
                try:
                    op, args = parse_line(line)
                    method = getattr(self, 'op_' + op.replace('-', '_'), None)
                    if method is None:
                        raise LabError('unknown op %r' % op)
                    quit_after = op == 'quit'
                    reply = format_line('ok', method(args, conn))
                except LabError as e:
                    reply = format_line('err', {'message': str(e)})
                except Exception as e:  # the test gets the reason, the controller lives on
                    reply = format_line('err', {'message': '%s: %s' % (type(e).__name__, e)})
                stream.wfile.write(reply.encode('ascii'))
                stream.wfile.flush()
                if quit_after:
                    self.stop_event.set()
        except OSError:
            pass
        finally:
            with self.lock:
                owned = [i for i in self.instances.values() if i.owner == conn and not i.keep]
            for instance in owned:
                self.drop(instance)

    def instance(self, args):
        ident = int_arg(args, 'id')
        with self.lock:
            found = self.instances.get(ident)
        if found is None:
            raise LabError('no instance %d (stopped, idle too long, or its connection closed)' % ident)
        found.touch()
        return found

    def add(self, cls, args, conn):
        with self.lock:
            ident = self.next_id
            self.next_id += 1
        instance = cls(self, ident, conn, args)
        with self.lock:
            self.instances[ident] = instance
        try:
            instance.start()
        except BaseException:
            self.drop(instance)
            raise
        return instance.describe()

    def op_ping(self, args, conn):
        with self.lock:
            count = len(self.instances)
        return {'pid': self.pid, 'port': self.port, 'instances': count}

    def op_start(self, args, conn):
        return self.add(RealInstance, args, conn)

    def op_script(self, args, conn):
        return self.add(ScriptedInstance, args, conn)

    def op_stop(self, args, conn):
        self.drop(self.instance(args))
        return {}

    def op_list(self, args, conn):
        with self.lock:
            items = sorted(self.instances.values(), key=lambda i: i.id)
        return {'count': len(items), 'ids': ','.join(str(i.id) for i in items),
                'kinds': ','.join(i.kind for i in items)}

    def scripted(self, args):
        instance = self.instance(args)
        if not isinstance(instance, ScriptedInstance):
            raise LabError('instance %d is a real %s server: it keeps no transcript' % (instance.id, instance.kind))
        return instance

    def op_commands(self, args, conn):
        instance = self.scripted(args)
        which = int_arg(args, 'conn', 0)
        deadline = time.time() + int_arg(args, 'wait', 0) / 1000.0
        with instance.lock:
            sessions = list(instance.sessions)
        if which:
            if which > len(sessions):
                raise LabError('instance %d has %d connections, not %d' % (instance.id, len(sessions), which))
            sessions = [sessions[which - 1]]
        for session in sessions:
            session.closed.wait(max(0.0, deadline - time.time()))
        with instance.lock:
            raw = b''.join(bytes(s.raw) for s in sessions)
            total = len(instance.sessions)
            open_now = sum(1 for s in sessions if not s.closed.is_set())
        return {'connections': total, 'open': open_now, 'raw': raw}

    def op_transfers(self, args, conn):
        instance = self.scripted(args)
        want = int_arg(args, 'count', 0)
        deadline = time.time() + int_arg(args, 'wait', 0) / 1000.0
        with instance.lock:
            while len(instance.transfers) < want and time.time() < deadline:
                instance.changed.wait(max(0.01, deadline - time.time()))
            records = list(instance.transfers)
        reply = {'count': len(records)}
        for n, rec in enumerate(records):
            for key in ('verb', 'name', 'path', 'offset', 'bytes', 'md5', 'aborted', 'conn'):
                reply['t%d.%s' % (n, key)] = rec[key]
            if flag_arg(args, 'data'):
                with open(rec['spool'], 'rb') if os.path.exists(rec['spool']) else open(os.devnull, 'rb') as f:
                    reply['t%d.data' % n] = f.read(rec['bytes'])
        return reply

    def op_file(self, args, conn):
        instance = self.instance(args)
        return file_info(safe_join(instance.root, args.get('path', b'')), flag_arg(args, 'data'))

    def op_stat(self, args, conn):
        path = args.get('path', b'')
        if not path.startswith(b'/'):
            raise LabError('stat needs an absolute Unix path')
        return file_info(path, flag_arg(args, 'data'))

    def op_put(self, args, conn):
        instance = self.instance(args)
        if 'data' in args:
            data = args['data']
        elif 'from' in args:
            with open(args['from'], 'rb') as f:
                data = f.read(int_arg(args, 'length', -1) if 'length' in args else -1)
        else:
            raise LabError('put needs data= or from=')
        return {'size': instance.put(args.get('path', b''), data)}

    def op_mkdir(self, args, conn):
        self.instance(args).mkdir(args.get('path', b''))
        return {}

    def op_deadport(self, args, conn):
        # Bound, then closed: nothing listens there (connect is refused).
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind(('127.0.0.1', 0))
        port = s.getsockname()[1]
        s.close()
        return {'port': port}

    def op_quit(self, args, conn):
        return {}


# ----------------------------------------------------------------------- CLI

def read_state(path):
    try:
        with open(path) as f:
            fields = dict(part.split('=', 1) for part in f.read().split() if '=' in part)
        return int(fields['port']), int(fields['pid'])
    except (OSError, KeyError, ValueError):
        return None


def request(port, line, timeout=30):
    with socket.create_connection(('127.0.0.1', port), timeout=timeout) as s:
        s.sendall(line.encode() + b'\n')
        data = b''
        while not data.endswith(b'\n'):
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
        return data.decode(errors='replace').strip()


def start_server(state_path, kind, user, password, rate):
    """A real server for a shell script: it lives until `stop` (or its idle time), not with a connection."""
    state = read_state(state_path)
    if state is None or not controller_alive(state[1]):
        print('ftplab: no controller recorded in %s' % state_path, file=sys.stderr)
        return 1
    fields = {'kind': kind, 'user': user, 'pass': password, 'keep': True}
    if rate:
        fields['rate'] = rate
    word, values = parse_line(request(state[0], format_line('start', fields).rstrip('\n'), timeout=60).encode())
    if word != 'ok':
        print('ftplab: start failed: %s' % values.get('message', b'').decode(errors='replace'), file=sys.stderr)
        return 1
    for key, value in values.items():
        print('%s=%s' % (key, value.decode(errors='replace')))
    return 0


def stop_controller(state_path):
    state = read_state(state_path)
    if state is None:
        print('ftplab: no controller recorded in %s' % state_path)
    else:
        port, pid = state
        if controller_alive(pid):
            try:
                request(port, 'quit', timeout=30)
            except OSError:
                pass
            deadline = time.time() + 30
            while controller_alive(pid) and time.time() < deadline:
                time.sleep(0.05)
            if controller_alive(pid):
                kill_pids([pid])
        sweep_folder(os.path.join(WORK_BASE, str(pid)))
        print('ftplab: controller %d stopped' % pid)
    try:
        os.unlink(state_path)
    except OSError:
        pass
    sweep_dead_controllers()
    return 0


def serve(state_path, daemon, idle_exit):
    old = read_state(state_path)
    if old and controller_alive(old[1]):
        stop_controller(state_path)
    try:
        os.unlink(state_path)
    except OSError:
        pass
    if not daemon:
        Controller(state_path, idle_exit).serve()
        return 0
    read_end, write_end = os.pipe()
    child = os.fork()
    if child:
        os.close(write_end)
        os.waitpid(child, 0)
        data = b''
        while True:
            chunk = os.read(read_end, 4096)
            if not chunk:
                break
            data += chunk
        if not data:
            print('ftplab: the controller did not start; see %s.log' % state_path, file=sys.stderr)
            return 1
        print('ftplab: ' + data.decode().strip())
        return 0
    # Detach fully: CTest waits for every holder of the test's output pipe.
    os.close(read_end)
    os.setsid()
    if os.fork():
        os._exit(0)
    log = os.open(state_path + '.log', os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.dup2(log, 1)
    os.dup2(log, 2)
    os.close(null)
    os.close(log)
    code = 0
    try:
        Controller(state_path, idle_exit).serve(ready_fd=write_end)
    except BaseException:
        import traceback
        traceback.print_exc()
        code = 1
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)


def main(argv):
    if len(argv) == 3 and argv[1] == '_pyftpdlib':
        run_pyftpdlib(argv[2])
        return 0
    parser = argparse.ArgumentParser(description='FTP lab controller for the upload tests')
    sub = parser.add_subparsers(dest='command', required=True)
    p_serve = sub.add_parser('serve', help='run the controller')
    p_serve.add_argument('--state', required=True, help='file that receives "port=N pid=N"')
    p_serve.add_argument('--daemon', action='store_true', help='detach and return once ready')
    p_serve.add_argument('--idle-exit', type=int, default=CONTROLLER_IDLE,
                         help='exit after this many seconds without a request')
    p_start = sub.add_parser('start', help='start a real server that lives until stop; prints key=value lines')
    p_start.add_argument('--state', required=True)
    p_start.add_argument('--kind', required=True, choices=['pyftpdlib', 'vsftpd', 'pureftpd'])
    p_start.add_argument('--user', required=True)
    p_start.add_argument('--password', required=True)
    p_start.add_argument('--rate', type=int, default=0,
                         help='vsftpd, pyftpdlib: at most this many bytes a second for an upload')
    p_stop = sub.add_parser('stop', help='stop the controller and every server it started')
    p_stop.add_argument('--state', required=True)
    args = parser.parse_args(argv[1:])
    if args.command == 'serve':
        return serve(args.state, args.daemon, args.idle_exit)
    if args.command == 'start':
        return start_server(args.state, args.kind, args.user, args.password, args.rate)
    return stop_controller(args.state)


if __name__ == '__main__':
    sys.exit(main(sys.argv))
