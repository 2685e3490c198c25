"""The program as an administrator meets it: the command line, the working
directory, progress on a terminal, and the Debian package."""
import contextlib
import glob
import os
import pty
import re
import resource
import subprocess
import time

import qktest

HELP = (b"Tarnwell Native Database Backup Utility\n"
        b"Usage: ./qkZareviVovoreRevu [-d] [-f] [-n] [-t<path>] <source project> \n"
        b"       <backup.zip>\n"
        b"  -d                 Only back up the database file without attachments and\n"
        b"                     other external data.\n"
        b"  -f                 Overwrite backup.zip if it exists.\n"
        b"  -n                 Do not zip the backup directory.\n"
        b"  -t<path>           Path to use for temporary files. Defaults to the \n"
        b"                     operating system temp directory.\n"
        b"  <source project>   Full path to the project directory to back up.\n"
        b"  <backup.zip>       Full path and file name for the zip backup file.\n")
VERSION = (b"Tarnwell Native Database Backup Utility version 1.5\n"
           b"SQLite version 3.7.3\n")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..')
EXAMPLES = 'usr/share/doc/qkzarevivovorerevu/examples'

# Arguments (relative to the scratch directory), stdout, stderr, status.
USAGE = [
    ([], b'', HELP, 1),
    (['-d', '-f', '-n', '-f', '-d', 'proj', 'out'], b'', HELP, 1),
    (['-d', '-n', 'proj'], b'', HELP, 1),
    (['-help'], HELP, b'', 0),
    (['--help', '-x'], HELP, b'', 0),
    (['proj', 'out', '-h'], HELP, b'', 0),
    (['-x', '-h'], b'', HELP, 1),
    (['proj', 'out', 'third', '-h'], b'', HELP, 1),
    (['-v'], VERSION, b'', 0),
    (['-V', '-h'], VERSION, b'', 0),
    (['--version', 'proj', 'out'], VERSION, b'', 0),
    (['--', 'proj', 'out'], b'', HELP, 1),
    (['--HELP'], b'', HELP, 1),
]


def screen(raw):
    """What a terminal shows of raw: overwrites applied, blanks at line ends dropped."""
    shown = []
    for line in raw.split(b'\n'):
        cells, col = bytearray(), 0
        for byte in line:
            col = 0 if byte == 13 else col - (byte == 8)
            if byte not in b'\b\r':
                cells[col:col + 1], col = bytes([byte]), col + 1
        shown.append(bytes(cells).rstrip(b' '))
    return b'\n'.join(shown)


def children_cpu():
    return sum(resource.getrusage(resource.RUSAGE_CHILDREN)[:2])  # user and system


class CommandLine(qktest.Case):

    def test_usage(self):
        for args, out, err, status in USAGE:
            with self.subTest(args=args):
                self.assertEqual(qktest.run(args, self.dir), (out, err, status))
                self.assertEqual(sorted(os.listdir(self.dir)), ['proj', 'tmp'])

    def test_working_directory_and_lock_wait(self):
        bound, here, deep = self.path('bound'), self.path('here'), self.path(*['d' * 199] * 20)
        for path in (bound, here, deep):
            os.makedirs(path)
        # The program is opened before /tmp is covered: it may live there.
        bind = ('unshare', '-m', 'sh', '-c',
                'exec 3<"$1" && mount --bind "$0" /tmp && shift && '
                'exec /proc/self/fd/3 "$@"', bound)
        copy = r'QKf[A-Za-z0-9]{6}'
        spent = 0  # processor time of the runs, which mostly wait on a lock
        # -t argument, working directory, watched directory, working copy's name, prefix.
        for i, (temp, cwd, watch, name, prefix) in enumerate([
                (None, here, bound, copy, bind),
                ('-t', here, here, copy, ()),
                ('-there/', self.dir, here, copy, ()),
                # The project named in full (SQLite opens no path over 512 bytes), the
                # destination taken from the 4,000-byte working directory.
                ('-t' + here, deep, here, copy, ())]):
            with self.subTest(temp=temp, cwd=cwd[:40]):
                args = [a for a in (temp, self.project, 'out') if a]
                # Under the lock step 2 waits, so the working copy stays visible.
                locker, seen = qktest.hold_lock(self.path('proj', 'qkproj.db'), 1), set()
                spent, start = spent - children_cpu(), time.time()
                result = qktest.run(args, cwd, prefix, watch, seen)
                spent, self.window = spent + children_cpu(), (start, time.time())
                locker.join()
                self.assertSucceeded(result)
                self.assertTrue([n for n in seen if re.fullmatch(name, n)], seen)
                self.assertFalse(os.path.exists(self.path('missing')))
                # The copy is taken once the lock's transaction committed.
                out = os.path.join(cwd, 'out.zip')
                qktest.check_archive(self, out, self.project, queries=[
                    ("SELECT count(*) FROM items WHERE name = 'under lock'", [(i + 1,)])])
                os.remove(out)
                self.assertEqual(os.listdir(watch), [])
        # Waiting is not spinning: most of the locks' time the program sleeps.
        self.assertLess(spent, 5 / 2)

    def test_progress_is_erased_before_each_outcome(self):
        # Enough for several redraws in the long steps.
        qktest.write(self.path('proj', 'Attach', 'big.bin'), os.urandom(48 << 20))
        # Arguments, outcomes, zipped; the last run misses StyleSheets.
        for args, outcomes, zipped in [(['proj', 'a'], 'CCCC', True),
                                       (['-n', 'proj', 'b'], 'CCCC', False),
                                       (['proj', 'd'], 'CCE', True)]:
            with self.subTest(args=args):
                if outcomes.endswith('E'):
                    os.rename(self.path('proj', 'StyleSheets'), self.path('away'))
                master, slave = pty.openpty()
                _, err, status = self.qk(*args, stdout=slave)
                os.close(slave)
                raw = b''
                with contextlib.suppress(OSError), open(master, 'rb', 0) as tty:
                    while chunk := tty.read(65536):  # EIO once all is read
                        raw += chunk
                self.assertEqual((err, status), (b'', 0) if 'E' not in outcomes else (
                    b'\nThe backup cannot be completed because the StyleSheets '
                    b'directory does not exist.\n', 792 & 0xFF))
                self.assertIn(b'%', raw)
                self.assertTranscript(screen(raw), outcomes, zipped)

    def test_unpacked_package_backs_up_a_project(self):
        # The build tree beside the program holds the packaging configuration.
        config = os.path.join(os.path.dirname(qktest.PROGRAM), 'CPackConfig.cmake')
        subprocess.run(['cpack', '--config', config, '-B', self.path('pkg')],
                       cwd=self.dir, check=True, stdout=subprocess.DEVNULL)
        deb, = glob.glob(self.path('pkg', 'qkzarevivovorerevu_1.5_*.deb'))
        depends = qktest.output(self, 'dpkg-deb', '-f', deb, 'Depends')
        self.assertLessEqual({'libsqlite3-0', 'libminizip1'},
                             set(re.findall(r'[a-z0-9.+-]+', depends)))
        root = self.path('root')
        subprocess.run(['dpkg-deb', '-x', deb, root], check=True)
        for source, target in [('man/qkZareviVovoreRevu.1', 'usr/share/man/man1'),
                               ('contrib/qkZareviVovoreRevu@.service', EXAMPLES),
                               ('contrib/qkZareviVovoreRevu@.timer', EXAMPLES)]:
            self.assertEqual(qktest.read(os.path.join(root, target, os.path.basename(source))),
                             qktest.read(os.path.join(SOURCE, source)), source)
        qktest.PROGRAM, built = os.path.join(root, 'usr/bin/qkZareviVovoreRevu'), qktest.PROGRAM
        self.addCleanup(setattr, qktest, 'PROGRAM', built)
        self.assertSucceeded(self.qk(self.project, self.path('out')))


if __name__ == '__main__':
    qktest.main()
