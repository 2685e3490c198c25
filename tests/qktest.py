"""Helpers for the tests that drive the program given as first argument.
Scratch directories live under /var/tmp, so a test may bind-mount over /tmp."""
import contextlib
import datetime
import os
import re
import shutil
import socket
import sqlite3
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

PROGRAM = None
DIRS = ('Attach', 'Quillet_In', 'Quillet_Out', 'StyleSheets')
TITLES = (b" 1. Create temporary directory ... ", b" 2. Hot backup .db ... ",
          b" 3. Copy directories ... ", b" 4. Create .zip ... ",
          b" 4. Create final copy ... ")
OUTCOMES = {'C': rb'Complete \((\d+\.\d{6}) minutes\)', 'S': b'Skipped', 'E': b'Error'}
SUMMARY = rb'\nThe backup was successfully completed in (\d+\.\d{6}) minutes\.\n\n'
NOBODY = ('setpriv', '--reuid=65534', '--regid=65534', '--clear-groups')

# Entry times are local times; an odd offset shows a UTC/local mix-up.
ZONE_NAME = 'QKT-5:30'
ZONE = datetime.timezone(datetime.timedelta(hours=5, minutes=30))

ROWS = [(i, 'item %d' % i, bytes([i]) * 300) for i in range(1, 101)]
ROWS_SQL = 'SELECT id, name, data FROM items WHERE id <= 100 ORDER BY id'
FILES = {  # relative path: content, None for a directory
    'Attach/empty.dat': b'',
    'Attach/block.dat': bytes(range(256)) * 64,  # one read buffer exactly
    'Attach/noise.bin': os.urandom(100000),
    'Quillet_In/Grüße/日本 – €.txt': 'Grüße, €\n'.encode(),
    'Quillet_Out/2026/05/nested.txt': b'two levels down\n',
    'StyleSheets/unused': None,
}


def main():
    global PROGRAM
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()


def write(path, data):
    with open(path, 'wb') as f:
        f.write(data)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def make_project(path):
    """The fixture's files and database, and in Attach what a backup leaves
    out without opening it: a FIFO (opened, it blocks), a socket, a device
    that reads as empty and a link to the FIFO."""
    for rel, data in FILES.items():
        full = os.path.join(path, rel)
        os.makedirs(full if data is None else os.path.dirname(full), exist_ok=True)
        if data is not None:
            write(full, data)
    attach = os.path.join(path, 'Attach')
    os.mkfifo(os.path.join(attach, 'fifo'))
    os.mknod(os.path.join(attach, 'null'), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(os.path.join(attach, 'socket'))
    os.mkdir(os.path.join(attach, 'links'))
    os.symlink('../fifo', os.path.join(attach, 'links', 'fifo'))
    with contextlib.closing(sqlite3.connect(os.path.join(path, 'qkproj.db'))) as db:
        db.execute('CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, data BLOB)')
        db.executemany('INSERT INTO items VALUES (?, ?, ?)', ROWS)
        db.commit()
    return path


def tree(root):
    """Relative path: bytes, or None for a directory; the database and specials aside."""
    root, found = os.fsencode(root), {}
    for top, dirs, files in os.walk(root):
        for name in dirs + files:
            full = os.path.join(top, name)
            if name in dirs or os.path.isfile(full):
                found[os.path.relpath(full, root).decode()] = None if name in dirs else read(full)
    found.pop('qkproj.db', None)
    return found


def run(args, cwd=None, prefix=(), watch=None, seen=None, stdout=subprocess.PIPE):
    """Runs the program; the names seen in watch meanwhile go into seen."""
    env = dict(os.environ, TZ=ZONE_NAME)
    if prefix[:1] == ('strace',):  # the leak checker cannot work under ptrace
        env['ASAN_OPTIONS'] = env.get('ASAN_OPTIONS', '') + ':detect_leaks=0'
    p = subprocess.Popen([*prefix, PROGRAM, *args], cwd=cwd, stdout=stdout,
                         stderr=subprocess.PIPE, env=env)
    while watch and p.poll() is None:
        seen.update(os.listdir(watch))
        time.sleep(0.005)
    out, err = p.communicate(timeout=600)
    return out, err, p.returncode


def hold_lock(path, seconds):
    """Holds an exclusive lock for seconds, then commits the row added under it."""
    db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    db.execute('BEGIN EXCLUSIVE')
    db.execute("INSERT INTO items (name) VALUES ('under lock')")
    timer = threading.Timer(seconds, lambda: (db.execute('COMMIT'), db.close()))
    timer.start()
    return timer


def assert_same_tree(tc, got, want):
    """Names the paths that differ: a diff of whole trees would take ages."""
    tc.assertEqual(sorted(p for p in got.keys() | want.keys()
                          if got.get(p, 0) != want.get(p, 0)), [])


def check_times(tc, path, project):
    """Every copied file and directory has its source's modification time."""
    for rel in tree(path):
        tc.assertEqual(os.stat(os.path.join(path, rel)).st_mtime_ns,
                       os.stat(os.path.join(project, rel)).st_mtime_ns, rel)


def zip_time(seconds):
    """What an entry keeps of a time: local, in steps of two seconds."""
    moment = datetime.datetime.fromtimestamp(int(seconds), ZONE).replace(tzinfo=None)
    return moment.replace(second=moment.second - moment.second % 2)


def check_directory(tc, path, project, db_only=False, queries=(), times=True):
    assert_same_tree(tc, tree(path), {} if db_only else tree(project))
    if times:
        check_times(tc, path, project)
    with contextlib.closing(sqlite3.connect(os.path.join(path, 'qkproj.db'))) as db:
        for sql, want in [('PRAGMA integrity_check', [('ok',)]), (ROWS_SQL, ROWS), *queries]:
            tc.assertEqual(db.execute(sql).fetchall(), want, sql)


def output(tc, *command):
    result = subprocess.run(command, capture_output=True,
                            env=dict(os.environ, LC_ALL='C.UTF-8'))
    tc.assertEqual((result.returncode, result.stderr), (0, b''), command)
    return result.stdout.decode()


def check_archive(tc, path, project, db_only=False, queries=()):
    """unzip restores the project; 7-Zip, bsdtar and zipfile list exactly its entries,
    with nothing to warn about; every header as written, each entry with its file's
    time and the database timed in tc.window."""
    want = {} if db_only else tree(project)
    names = sorted(['qkproj.db'] + [n + '/' if d is None else n for n, d in want.items()])
    with tempfile.TemporaryDirectory(dir='/var/tmp') as scratch:
        tc.assertEqual(output(tc, 'unzip', '-q', path, '-d', scratch), '')
        check_directory(tc, scratch, project, db_only, queries, times=False)
    seven = output(tc, '7z', 't', '-bb1', path)
    tc.assertIn('\nEverything is Ok\n', seven)
    tc.assertNotRegex(seven, '(?i)warning')
    lo, hi = (datetime.datetime.fromtimestamp(t, ZONE).replace(tzinfo=None)
              for t in (int(tc.window[0]) - 2, tc.window[1] + 1))
    with zipfile.ZipFile(path) as z, open(path, 'rb') as raw:
        infos = z.infolist()
        for reader, got in [('7z', re.findall('^T (.*)$', seven, re.M)),
                            ('bsdtar', output(tc, 'bsdtar', '-tf', path).splitlines()),
                            ('zipfile', [i.filename for i in infos])]:
            tc.assertEqual(sorted(got), names, reader)
        index = {info.filename: i for i, info in enumerate(infos)}
        for i, info in enumerate(infos):
            name = info.filename
            tc.assertLess(index.get(name.rstrip('/').rpartition('/')[0] + '/', -1), i, name)
            tc.assertEqual((info.compress_type, info.flag_bits),
                           (8, 0 if name.isascii() else 0x800), name)
            # The database is the snapshot's; the rest carry their own times.
            if name == 'qkproj.db':
                tc.assertTrue(lo <= datetime.datetime(*info.date_time) <= hi,
                              (name, info.date_time, lo, hi))
            else:
                tc.assertEqual(datetime.datetime(*info.date_time),
                               zip_time(os.stat(os.path.join(project, name)).st_mtime), name)
            # Every entry carries a zip64 extra field with its true sizes.
            raw.seek(info.header_offset)
            head = struct.unpack('<IHHHHHIIIHH', raw.read(30))
            tc.assertEqual(head[:2], (0x04034b50, 45), name)
            raw.seek(head[9], 1)
            tc.assertEqual(struct.unpack('<HHQQ', raw.read(20)),
                           (1, 16, info.file_size, info.compress_size), name)
    return len(infos)


class Case(unittest.TestCase):
    """A scratch directory with a project and an empty -t directory."""

    def setUp(self):
        self.dir, self.mounts = tempfile.mkdtemp(prefix='qke2-', dir='/var/tmp'), []
        self.addCleanup(shutil.rmtree, self.dir)
        self.addCleanup(self.unmount)
        self.reset()

    def reset(self):
        self.unmount()
        shutil.rmtree(self.dir)
        self.tmp = self.path('tmp')
        os.makedirs(self.tmp)
        os.chmod(self.dir, 0o755)  # for the runs as nobody
        self.project = make_project(self.path('proj'))

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def qk(self, *args, cwd=None, prefix=(), stdout=subprocess.PIPE):
        start = time.time()
        result = run(['-t' + self.tmp, *args], cwd or self.dir, prefix, stdout=stdout)
        self.window = (start, time.time())
        self.assertEqual(os.listdir(self.tmp), [])
        return result

    def mount_tmpfs(self, path, size, options=''):
        os.makedirs(path, exist_ok=True)
        subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=' + size + options,
                        'tmpfs', path], check=True)
        self.mounts.append(path)

    def unmount(self):
        while self.mounts:
            subprocess.run(['umount', self.mounts.pop()], check=True)

    def assertTranscript(self, out, outcomes, zipped=True):
        """Outcomes by step: C complete, S skipped, E error; whole seconds."""
        pattern = rb'\nBackup is running \(four steps\):\n'
        for title, outcome in zip(TITLES[:3] + (TITLES[3 if zipped else 4],), outcomes):
            pattern += b'\n' + re.escape(title) + OUTCOMES[outcome] + b'\n'
        match = re.fullmatch(pattern + (b'' if 'E' in outcomes else SUMMARY), out)
        self.assertIsNotNone(match, out)
        for sixtieths in (float(minutes) * 60 for minutes in match.groups()):
            self.assertAlmostEqual(sixtieths, round(sixtieths), delta=1e-3)

    def assertSucceeded(self, result, outcomes='CCCC', zipped=True):
        out, err, status = result
        self.assertEqual((err, status), (b'', 0), out)
        self.assertTranscript(out, outcomes, zipped)
