"""Self-test of the FTP lab: drives ftplab.py over its own protocol.

    cd tests/lab && /usr/bin/python3 -B -m unittest -v selftest

Real servers need root (vsftpd, pure-ftpd); everything runs on 127.0.0.1.
"""

import ftplib
import hashlib
import io
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import ftplab  # noqa: E402  (escape rules and process helpers)

PYTHON = '/usr/bin/python3'
FTPLAB = os.path.join(HERE, 'ftplab.py')
TIMEOUT = object()   # nothing arrived within the wait
CLOSED = b''         # the server closed its side
QUIET = 0.5          # how long "nothing arrives" is waited for
# The pause between the two writes of a split reply. Each piece must come in a receive of its own, so the
# gap has to outlast any lateness of the reading side on a loaded machine (a few tenths of a second there).
SPLIT_GAP = '2000'
USER = 'labself'     # a vsftpd system user of its own: no password race with other tests
PASSWORD = 'pa ss%word'


class LabError(Exception):
    pass


class Lab:
    """One connection to the controller; its servers live as long as it does."""

    def __init__(self, state):
        port, _ = ftplab.read_state(state)
        self.sock = socket.create_connection(('127.0.0.1', port), timeout=60)
        self.file = self.sock.makefile('rb')

    def __call__(self, op, **fields):
        return self.raw(' '.join([op] + ['%s=%s' % (k, ftplab.escape(v)) for k, v in fields.items()]))

    def raw(self, line):
        self.sock.sendall(line.encode() + b'\n')
        word, reply = ftplab.parse_line(self.file.readline())
        if word != 'ok':
            raise LabError(reply.get('message', b'').decode(errors='replace'))
        return reply

    def script(self, **rules):
        """Rules as keyword arguments: 'PASS__split' stands for PASS.split,
        'MKD_2__reply' for MKD#2.reply."""
        fields = {}
        for key, value in rules.items():
            key = key.replace('__', '.')
            key = re.sub(r'^([A-Za-z]+)_(\d+)\.', r'\1#\2.', key)
            fields[key] = value
        line = ' '.join(['script'] + ['%s=%s' % (k, ftplab.escape(v)) for k, v in fields.items()])
        reply = self.raw(line)
        return int(reply['id']), int(reply['port'])

    def close(self):
        self.file.close()
        self.sock.close()


def start_controller(tag):
    folder = tempfile.mkdtemp(prefix='ftplab-selftest-%s-' % tag)
    state = os.path.join(folder, 'lab.state')
    subprocess.run([PYTHON, FTPLAB, 'serve', '--state', state, '--daemon'], check=True, timeout=60,
                   stdout=subprocess.DEVNULL)
    return state, ftplab.read_state(state)[1]


def stop_controller(state):
    subprocess.run([PYTHON, FTPLAB, 'stop', '--state', state], check=True, timeout=90, stdout=subprocess.DEVNULL)


def wait_until(predicate, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def refused(port):
    try:
        socket.create_connection(('127.0.0.1', port), timeout=2).close()
        return False
    except ConnectionRefusedError:
        return True
    except ConnectionResetError:
        # The listener was there for the handshake and closed before the connection was taken: not refused
        # yet (a poll asks again).
        return False


class Raw:
    """A client that reads one receive per reply, like the upload engine."""

    def __init__(self, port):
        self.sock = socket.create_connection(('127.0.0.1', port), timeout=5)

    def recv(self, wait=5.0):
        self.sock.settimeout(wait)
        try:
            return self.sock.recv(4096)
        except socket.timeout:
            return TIMEOUT
        except ConnectionResetError:
            return CLOSED

    def send(self, line):
        self.sock.sendall(line)

    def cmd(self, line, wait=5.0):
        self.send(line)
        return self.recv(wait)

    @staticmethod
    def data_port(reply):
        m = re.search(rb'(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)', reply)
        return int(m.group(5)) * 256 + int(m.group(6))

    def upload(self, name, data, verb=b'STOR', wait=5.0):
        """PASV, data connect, REST 0 + STOR (or APPE), data, close; returns the
        reply to the transfer command and the final reply."""
        data_sock = socket.create_connection(('127.0.0.1', self.data_port(self.cmd(b'PASV\r\n'))), timeout=5)
        if verb == b'STOR':
            self.cmd(b'REST 0\r\n')
        started = self.cmd(verb + b' ' + name + b'\r\n')
        try:
            data_sock.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass
        data_sock.close()
        return started, self.recv(wait)

    def close(self):
        self.sock.close()


def login(client):
    client.recv()
    client.cmd(b'USER u\r\n')
    return client.cmd(b'PASS p\r\n')


class LabCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.state, cls.controller = start_controller(cls.__name__)
        cls.lab = Lab(cls.state)

    @classmethod
    def tearDownClass(cls):
        cls.lab.close()
        stop_controller(cls.state)

    def raw(self, port):
        client = Raw(port)
        self.addCleanup(client.close)
        return client

    def transcript(self, ident, conn=0):
        return self.lab('commands', id=ident, conn=conn, wait=3000)['raw']

    def transfers(self, ident, count=0):
        reply = self.lab('transfers', id=ident, count=count, wait=3000, data=1)
        result = []
        for n in range(int(reply['count'])):
            result.append({k.split('.', 1)[1]: v for k, v in reply.items() if k.startswith('t%d.' % n)})
        return result


@unittest.skipUnless(os.geteuid() == 0, 'vsftpd and pure-ftpd need root')
class RealServerTests(LabCase):
    KINDS = ('pyftpdlib', 'vsftpd', 'pureftpd')

    def start(self, kind, user=USER, password=PASSWORD):
        reply = self.lab('start', kind=kind, user=user, **{'pass': password})
        return {k: v.decode() for k, v in reply.items()}

    def test_upload_and_resume(self):
        payload = os.urandom(300000)
        for kind in self.KINDS:
            with self.subTest(kind=kind):
                srv = self.start(kind)
                ftp = ftplib.FTP()
                ftp.connect('127.0.0.1', int(srv['port']), timeout=10)
                ftp.login(USER, PASSWORD)
                for folder in ('one', 'two'):
                    ftp.mkd(folder)
                    ftp.cwd(folder)
                with self.assertRaises(ftplib.error_perm):
                    ftp.mkd('../two')  # none of the servers accepts an existing folder
                ftp.voidcmd('TYPE I')
                reply = ftp.sendcmd('PASV')
                self.assertTrue(int(srv['pasv_low']) <= Raw.data_port(reply.encode()) <= int(srv['pasv_high']))
                ftp.storbinary('STOR part.bin', io.BytesIO(payload[:100000]))
                self.assertEqual(ftp.size('part.bin'), 100000)
                ftp.storbinary('APPE part.bin', io.BytesIO(payload[100000:]))
                self.assertEqual(ftp.size('part.bin'), len(payload))
                ftp.quit()
                info = self.lab('file', id=srv['id'], path='one/two/part.bin')
                self.assertEqual((info['exists'], int(info['size']), info['md5'].decode()),
                                 (b'1', len(payload), hashlib.md5(payload).hexdigest()))
                self.lab('stop', id=srv['id'])
                self.assertTrue(wait_until(lambda: not ftplab.alive(int(srv['pid'])), 5))
                self.assertFalse(os.path.exists(srv['root']))

    def test_seeded_file_resumes_with_appe(self):
        # A seeded file must belong to the server's user, or vsftpd cannot append.
        for kind in self.KINDS:
            with self.subTest(kind=kind):
                srv = self.start(kind)
                self.lab('put', id=srv['id'], path='in/seed.bin', data=b'hello')
                ftp = ftplib.FTP()
                ftp.connect('127.0.0.1', int(srv['port']), timeout=10)
                ftp.login(USER, PASSWORD)
                ftp.cwd('in')
                ftp.voidcmd('TYPE I')
                self.assertEqual(ftp.size('seed.bin'), 5)
                ftp.storbinary('APPE seed.bin', io.BytesIO(b' world'))
                ftp.quit()
                info = self.lab('file', id=srv['id'], path='in/seed.bin')
                self.assertEqual(info['md5'].decode(), hashlib.md5(b'hello world').hexdigest())
                self.lab('stop', id=srv['id'])

    def test_wrong_password_is_refused_at_once(self):
        # pure-ftpd delays a failed login by about 4 s on its own; left out here.
        for kind in ('pyftpdlib', 'vsftpd'):
            with self.subTest(kind=kind):
                srv = self.start(kind)
                client = self.raw(int(srv['port']))
                client.recv()
                client.cmd(b'USER ' + USER.encode() + b'\r\n')
                started = time.time()
                self.assertTrue(client.cmd(b'PASS wrong\r\n').startswith(b'530'))
                self.assertLess(time.time() - started, 1.5)
                client.close()
                self.lab('stop', id=srv['id'])

    def test_vsftpd_refuses_a_user_name_that_cannot_be_a_system_user(self):
        with self.assertRaisesRegex(LabError, 'system user'):
            self.start('vsftpd', user='Bad Name')

    def test_unknown_kind(self):
        with self.assertRaisesRegex(LabError, 'unknown server kind'):
            self.start('proftpd')


class ScriptedTests(LabCase):
    ENGINE_LINES = [b'USER u', b'PASS p', b'FEAT', b'CLNT 2.1.0.35379 ', b'OPTS UTF8 ON', b'PWD',
                    b'MKD a', b'cwd a', b'MKD b', b'cwd b', b'SIZE f.bin', b'PASV', b'type I', b'REST 0',
                    b'STOR f.bin', b'QUIT']

    def engine_exchange(self, port, payload):
        """The upload engine's exchange: one receive per reply, data connection
        built right after the 227, QUIT sent without reading its reply."""
        client = self.raw(port)
        replies = [client.recv()]
        data_sock = None
        for line in self.ENGINE_LINES:
            client.send(line + b'\r\n')
            if line == b'QUIT':
                break
            replies.append(client.recv())
            if line == b'PASV':
                data_sock = socket.create_connection(('127.0.0.1', client.data_port(replies[-1])))
            if line.startswith(b'STOR'):
                data_sock.sendall(payload)
                data_sock.close()
                replies.append(client.recv())
        client.close()
        return replies

    def test_default_exchange_transcript_and_data(self):
        ident, port = self.lab.script()
        payload = os.urandom(200000)
        replies = self.engine_exchange(port, payload)
        codes = [r[:3] for r in replies]
        self.assertEqual(codes, [b'220', b'331', b'230', b'211', b'200', b'200', b'257', b'257', b'250', b'257',
                                 b'250', b'550', b'227', b'200', b'350', b'150', b'226'])
        self.assertEqual(self.transcript(ident), b''.join(l + b'\r\n' for l in self.ENGINE_LINES))
        [record] = self.transfers(ident, 1)
        self.assertEqual((record['verb'], record['path'], int(record['bytes']), record['md5'].decode()),
                         (b'STOR', b'/a/b/f.bin', len(payload), hashlib.md5(payload).hexdigest()))
        self.assertEqual(record['data'], payload)
        info = self.lab('file', id=ident, path='a/b/f.bin')
        self.assertEqual(int(info['size']), len(payload))

    def test_resume_reports_size_and_appends(self):
        ident, port = self.lab.script()
        self.lab('put', id=ident, path='f.bin', data=b'hello')
        client = self.raw(port)
        login(client)
        self.assertEqual(client.cmd(b'SIZE f.bin\r\n'), b'213 5\r\n')
        started, final = client.upload(b'f.bin', b' world', verb=b'APPE')
        self.assertEqual((started[:3], final[:3]), (b'150', b'226'))
        self.assertEqual(self.lab('file', id=ident, path='f.bin', data=1)['data'], b'hello world')
        self.assertEqual(int(self.transfers(ident, 1)[0]['offset']), 5)
        # STOR replaces what APPE built.
        client.upload(b'f.bin', b'new')
        self.assertEqual(self.lab('file', id=ident, path='f.bin', data=1)['data'], b'new')

    def test_names_are_bytes(self):
        # Without OPTS UTF8 the engine sends names in the ANSI code page: GBK here.
        folder, name = '目录'.encode('gbk'), '中文.bin'.encode('gbk')
        ident, port = self.lab.script()
        client = self.raw(port)
        login(client)
        self.assertEqual(client.cmd(b'MKD ' + folder + b'\r\n')[:3], b'257')
        client.cmd(b'cwd ' + folder + b'\r\n')
        client.upload(name, b'payload')
        client.close()
        self.assertIn(b'STOR ' + name + b'\r\n', self.transcript(ident))
        self.assertEqual(self.lab('file', id=ident, path=folder + b'/' + name, data=1)['data'], b'payload')
        self.assertEqual(self.transfers(ident, 1)[0]['name'], name)

    # Each case: rules, then steps of (line to send or None, what must arrive).
    # An expectation is exact bytes of one receive, TIMEOUT or CLOSED; ('>=', s, x)
    # also asks that at least s seconds pass before x arrives; ('all', x) joins
    # receives until x is complete.
    CASES = [
        ('split reply', dict(PASS__split='3', PASS__gap=SPLIT_GAP),
         [(None, b'220 Korvane lab FTP server ready.\r\n'), (b'USER u\r\n', b'331 Please specify the password.\r\n'),
          (b'PASS p\r\n', b'230'), (None, ('>=', 0.2, b' Login successful.\r\n'))]),
        ('multi-line reply in one write', dict(FEAT__reply='211-Features:\r\n SIZE\r\n211 End\r\n'),
         [(None, None), (b'FEAT\r\n', b'211-Features:\r\n SIZE\r\n211 End\r\n')]),
        ('malformed reply goes out as given', dict(PWD__reply='garbage\n'),
         [(None, None), (b'USER u\r\n', None), (b'PASS p\r\n', None), (b'PWD\r\n', b'garbage\n')]),
        ('silent command, later ones answered', dict(CLNT__action='silent'),
         [(None, None), (b'CLNT 2.1.0.35379 \r\n', TIMEOUT), (b'NOOP\r\n', b'200 NOOP ok.\r\n')]),
        ('mute stops every reply', dict(CLNT__action='mute'),
         [(None, None), (b'CLNT x\r\n', TIMEOUT), (b'NOOP\r\n', TIMEOUT)]),
        ('close instead of replying', dict(PASS__action='close'),
         [(None, None), (b'USER u\r\n', None), (b'PASS p\r\n', CLOSED)]),
        ('reply then close', dict(USER__action='reply-close', USER__reply='421 Too many users.\r\n'),
         [(None, None), (b'USER u\r\n', b'421 Too many users.\r\n'), (None, CLOSED)]),
        ('delay', dict(PWD__delay='400'),
         [(None, None), (b'USER u\r\n', None), (b'PASS p\r\n', None), (b'PWD\r\n', ('>=', 0.35, b'257 "/" is the current directory.\r\n'))]),
        ('occurrence', dict(MKD_2__reply='550 Exists.\r\n'),
         [(None, None), (b'USER u\r\n', None), (b'PASS p\r\n', None), (b'MKD a\r\n', b'257 "/a" created.\r\n'),
          (b'MKD b\r\n', b'550 Exists.\r\n'), (b'MKD c\r\n', b'257 "/c" created.\r\n')]),
        ('split greeting', dict(GREETING__reply='220 Hi\r\n', GREETING__split='4', GREETING__gap=SPLIT_GAP),
         [(None, b'220 '), (None, ('>=', 0.2, b'Hi\r\n'))]),
        ('multi-line greeting', dict(GREETING__reply='220-Welcome\r\n220 Ready\r\n'),
         [(None, b'220-Welcome\r\n220 Ready\r\n')]),
        ('silent greeting, commands answered', dict(GREETING__action='silent'),
         [(None, TIMEOUT), (b'USER u\r\n', b'331 Please specify the password.\r\n')]),
        ('close on connect', dict(GREETING__action='close'), [(None, CLOSED)]),
        ('never accept', dict(accept='no'), [(None, TIMEOUT), (b'USER u\r\n', TIMEOUT)]),
        ('second connection only', dict(GREETING_2__action='close'), [(None, b'220 Korvane lab FTP server ready.\r\n')]),
        ('USER answered 230 logs in', dict(USER__reply='230 Welcome.\r\n'),
         [(None, None), (b'USER u\r\n', b'230 Welcome.\r\n'), (b'PWD\r\n', b'257 "/" is the current directory.\r\n')]),
        ('wrong credentials', dict(user='bob', **{'pass': 'pw'}),
         [(None, None), (b'USER bob\r\n', None), (b'PASS px\r\n', b'530 Login incorrect.\r\n'),
          (b'PASV\r\n', b'530 Please login with USER and PASS.\r\n'), (b'STOR f\r\n', b'530 Please login with USER and PASS.\r\n')]),
        ('refused PASS keeps the client out', dict(PASS__reply='530 No.\r\n'),
         [(None, None), (b'USER u\r\n', None), (b'PASS p\r\n', b'530 No.\r\n'), (b'PWD\r\n', b'530 Please login with USER and PASS.\r\n')]),
        ('lines answered in order, LF alone ends a line', {},
         [(None, None), (b'NOOP\nSYST\r\n', ('all', b'200 NOOP ok.\r\n215 UNIX Type: L8\r\n'))]),
    ]

    def test_control_overrides(self):
        for name, rules, steps in self.CASES:
            with self.subTest(case=name):
                ident, port = self.lab.script(**rules)
                client = self.raw(port)
                sent = b''
                for line, expect in steps:
                    if line is not None:
                        client.send(line)
                        sent += line
                    started = time.time()
                    wait = QUIET if expect is TIMEOUT else 5.0
                    got = client.recv(wait)
                    if isinstance(expect, tuple) and expect[0] == 'all':
                        while isinstance(got, bytes) and got and len(got) < len(expect[1]):
                            more = client.recv(wait)
                            got += more if isinstance(more, bytes) else b''
                        expect = expect[1]
                    if isinstance(expect, tuple):
                        self.assertGreaterEqual(time.time() - started, expect[1])
                        expect = expect[2]
                    if expect is not None:
                        self.assertEqual(got, expect)
                client.close()
                self.assertEqual(self.transcript(ident), b'' if rules.get('accept') == 'no' else sent)
                self.lab('stop', id=ident)

    def test_second_connection_uses_its_own_greeting_rule(self):
        ident, port = self.lab.script(GREETING_2__action='close')
        first, second = self.raw(port), self.raw(port)
        self.assertEqual(first.recv()[:3], b'220')
        self.assertEqual(second.recv(), CLOSED)
        second.send(b'USER late\r\n')  # recorded although nothing answers
        second.close()
        first.cmd(b'NOOP\r\n')
        first.close()
        self.assertEqual(self.transcript(ident, conn=1), b'NOOP\r\n')
        self.assertEqual(self.transcript(ident, conn=2), b'USER late\r\n')
        self.assertEqual(self.lab('commands', id=ident)['connections'], b'2')

    def test_placeholders_in_pasv_reply(self):
        ident, port = self.lab.script(PASV__reply='227 =127,0,0,1,{p1},{p2}\r\n')
        client = self.raw(port)
        login(client)
        started, final = client.upload(b'x.bin', b'abc')
        self.assertEqual((started[:3], final), (b'150', b'226 Transfer complete.\r\n'))

    TRANSFER_CASES = [
        ('custom final reply', dict(STOR__final='250 Stored.\r\n'), b'250 Stored.\r\n'),
        ('multi-line final', dict(STOR__final='226-One\r\n226 Two\r\n'), b'226-One\r\n226 Two\r\n'),
        ('no final reply', dict(STOR__final__action='none'), TIMEOUT),
        ('close after data', dict(STOR__final__action='close'), CLOSED),
        ('split final', dict(STOR__final__split='4', STOR__final__gap=SPLIT_GAP), b'226 '),
        ('delayed final', dict(STOR__final__delay='400'), ('>=', 0.35, b'226 Transfer complete.\r\n')),
    ]

    def test_final_reply_variants(self):
        for name, rules, expect in self.TRANSFER_CASES:
            with self.subTest(case=name):
                ident, port = self.lab.script(**rules)
                client = self.raw(port)
                login(client)
                started = time.time()
                _, final = client.upload(b'f.bin', b'x' * 1000, wait=QUIET if expect is TIMEOUT else 5.0)
                if isinstance(expect, tuple):
                    self.assertGreaterEqual(time.time() - started, expect[1])
                    expect = expect[2]
                self.assertEqual(final, expect)
                self.assertEqual(int(self.transfers(ident, 1)[0]['bytes']), 1000)
                if expect is TIMEOUT:
                    self.assertEqual(client.cmd(b'NOOP\r\n'), b'200 NOOP ok.\r\n')
                client.close()
                self.lab('stop', id=ident)

    def test_second_transfer_gets_its_own_final(self):
        ident, port = self.lab.script(STOR_2__final='451 Disk full.\r\n')
        client = self.raw(port)
        login(client)
        self.assertEqual(client.upload(b'a', b'1')[1], b'226 Transfer complete.\r\n')
        self.assertEqual(client.upload(b'b', b'2')[1], b'451 Disk full.\r\n')

    def test_data_connection_closed_early(self):
        ident, port = self.lab.script(STOR__close_after='1000')
        client = self.raw(port)
        login(client)
        _, final = client.upload(b'big.bin', os.urandom(4 << 20))
        self.assertEqual(final, b'426 Connection closed; transfer aborted.\r\n')
        [record] = self.transfers(ident, 1)
        self.assertEqual((int(record['bytes']), record['aborted']), (1000, b'1'))
        self.assertEqual(int(self.lab('file', id=ident, path='big.bin')['size']), 1000)

    def test_transfer_refusals(self):
        ident, port = self.lab.script(STOR__reply='553 Not allowed.\r\n', PASV_2__accept='no')
        client = self.raw(port)
        login(client)
        self.assertEqual(client.cmd(b'APPE f\r\n'), b'425 Use PASV first.\r\n')
        started, final = client.upload(b'f.bin', b'data', wait=QUIET)
        self.assertEqual((started, final), (b'553 Not allowed.\r\n', TIMEOUT))
        # The second listener never accepts: the connect lands in its backlog only.
        started, final = client.upload(b'g.bin', b'data', verb=b'APPE', wait=QUIET)
        self.assertEqual((started[:3], final), (b'150', TIMEOUT))
        self.assertEqual(self.transfers(ident), [])
        self.assertEqual(self.lab('file', id=ident, path='f.bin')['exists'], b'0')

    def test_bad_scripts_are_refused(self):
        for rules, message in [(dict(PASS__action='explode'), 'action is one of'),
                               (dict(PASS__colour='red'), 'unknown field'),
                               (dict(loudness='3'), 'unknown script key')]:
            with self.subTest(rules=rules):
                with self.assertRaisesRegex(LabError, message):
                    self.lab.script(**rules)

    def test_queries(self):
        with self.assertRaisesRegex(LabError, 'no instance'):
            self.lab('commands', id=9999)
        with self.assertRaisesRegex(LabError, 'leaves the server root'):
            ident, _ = self.lab.script()
            self.lab('file', id=ident, path='../../x')
        with tempfile.NamedTemporaryFile() as local:
            local.write(b'local bytes')
            local.flush()
            info = self.lab('stat', path=local.name)
            self.assertEqual(info['md5'].decode(), hashlib.md5(b'local bytes').hexdigest())
            ident, _ = self.lab.script()
            self.lab('put', id=ident, path='d/partial', **{'from': local.name, 'length': 5})
            self.assertEqual(self.lab('file', id=ident, path='d/partial', data=1)['data'], b'local')


class LifecycleTests(LabCase):
    def test_closing_the_connection_stops_its_servers(self):
        other = Lab(self.state)
        gone_id, gone_port = other.script()
        kept_id, kept_port = other.script(keep=1)
        real = None
        if os.geteuid() == 0:
            real = other('start', kind='vsftpd', user=USER, **{'pass': PASSWORD})
        other.close()
        self.assertTrue(wait_until(lambda: refused(gone_port), 5))
        if real is not None:
            self.assertTrue(wait_until(lambda: not ftplab.alive(int(real['pid'])), 5))
        self.assertFalse(refused(kept_port))
        self.lab('stop', id=kept_id)
        self.assertTrue(refused(kept_port))

    def test_stopping_a_server_leaves_the_others_whose_ids_begin_alike(self):
        # A controller of its own numbers its servers from 1: server 1's folder is a prefix of server 10's
        # folder, and stopping 1 must not take 10 along.
        state, _ = start_controller('prefix')
        self.addCleanup(stop_controller, state)
        lab = Lab(state)
        self.addCleanup(lab.close)
        started = {}
        for _ in range(10):
            reply = lab('start', kind='pyftpdlib', user=USER, **{'pass': PASSWORD})
            started[reply['id'].decode()] = int(reply['pid'])
        self.assertIn('1', started)
        self.assertIn('10', started)
        lab('stop', id='1')
        self.assertTrue(wait_until(lambda: not ftplab.alive(started['1']), 5))
        self.assertTrue(ftplab.alive(started['10']), 'server 10 went with server 1')

    def test_start_from_the_command_line_outlives_the_command(self):
        # For shell scripts (tools/demo.sh): the server stays after the command has ended, until stop.
        out = subprocess.run([PYTHON, FTPLAB, 'start', '--state', self.state, '--kind', 'pyftpdlib',
                              '--user', USER, '--password', PASSWORD, '--rate', '65536'],
                             check=True, timeout=60, stdout=subprocess.PIPE, text=True).stdout
        srv = dict(line.split('=', 1) for line in out.splitlines())
        payload = os.urandom(100000)
        ftp = ftplib.FTP()
        ftp.connect('127.0.0.1', int(srv['port']), timeout=10)
        ftp.login(USER, PASSWORD)
        ftp.storbinary('STOR f.bin', io.BytesIO(payload))
        ftp.quit()
        self.assertEqual(self.lab('file', id=srv['id'], path='f.bin')['md5'].decode(),
                         hashlib.md5(payload).hexdigest())
        self.assertTrue(os.path.isfile(os.path.join(srv['root'], 'f.bin')))
        self.lab('stop', id=srv['id'])
        self.assertTrue(wait_until(lambda: not ftplab.alive(int(srv['pid'])), 5))

    def test_rate_is_for_vsftpd_and_pyftpdlib_only(self):
        with self.assertRaisesRegex(LabError, 'vsftpd and pyftpdlib only'):
            self.lab('start', kind='pureftpd', user=USER, rate=1000, **{'pass': PASSWORD})

    def test_idle_instances_stop_by_themselves(self):
        ident, port = self.lab.script(idle=1)
        # Polled through the controller: a probe connection would count as activity.
        listed = lambda: str(ident) in self.lab('list')['ids'].decode().split(',')
        self.assertTrue(listed())
        self.assertTrue(wait_until(lambda: not listed(), 5))
        self.assertTrue(refused(port))
        with self.assertRaisesRegex(LabError, 'no instance'):
            self.lab('commands', id=ident)

    def test_stop_wakes_a_client_waiting_on_silence(self):
        ident, port = self.lab.script(GREETING__action='silent')
        client = self.raw(port)
        self.lab('stop', id=ident)
        self.assertEqual(client.recv(), CLOSED)

    def test_dead_port_refuses(self):
        self.assertTrue(refused(int(self.lab('deadport')['port'])))


@unittest.skipUnless(os.geteuid() == 0, 'vsftpd and pure-ftpd need root')
class ControllerStopTests(unittest.TestCase):
    """Stopping the controller, or killing it, leaves no process behind."""

    def populate(self, state):
        lab = Lab(state)
        self.addCleanup(lab.close)
        pids, clients = [], []
        for kind in ('pyftpdlib', 'vsftpd', 'pureftpd'):
            srv = lab('start', kind=kind, user=USER, **{'pass': PASSWORD}, keep=1)
            ftp = ftplib.FTP()
            ftp.connect('127.0.0.1', int(srv['port']), timeout=10)
            ftp.login(USER, PASSWORD)  # a session process stays open on the real servers
            clients.append(ftp)
            self.addCleanup(ftp.close)
            pids.append(int(srv['pid']))
        ident, port = lab.script(keep=1)
        client = Raw(port)
        self.addCleanup(client.close)
        clients.append(client)
        pids += ftplab.descendants(pids)
        return lab, pids, clients, port

    def assert_all_gone(self, pids, controller, state):
        self.assertTrue(wait_until(lambda: not any(ftplab.alive(p) for p in pids), 10),
                        [p for p in pids if ftplab.alive(p)])
        self.assertFalse(ftplab.alive(controller))
        self.assertFalse(os.path.exists(os.path.join(ftplab.WORK_BASE, str(controller))))
        self.assertFalse(os.path.exists(state))

    def test_stop(self):
        state, controller = start_controller('stop')
        lab, pids, clients, port = self.populate(state)
        self.assertGreater(len(pids), 3)
        stop_controller(state)
        self.assert_all_gone(pids, controller, state)
        self.assertTrue(refused(port))
        lab.close()

    def test_killed_controller_is_swept_by_stop(self):
        state, controller = start_controller('kill')
        lab, pids, clients, port = self.populate(state)
        os.kill(controller, signal.SIGKILL)
        stop_controller(state)
        self.assert_all_gone(pids, controller, state)
        lab.close()


if __name__ == '__main__':
    unittest.main()
