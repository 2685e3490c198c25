"""The program as an administrator meets it: the command line, the working
directory, progress on a terminal, and the Debian package."""
import contextlib
import fcntl
import glob
import grp
import gzip
import hashlib
import os
import pty
import re
import resource
import subprocess
import termios
import tarfile
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
DOC = 'usr/share/doc/qkzarevivovorerevu/'
EXAMPLES = DOC + 'examples/'
# Source file and where the package puts it, compressed when named .gz.
SHIPPED = [('man/qkZareviVovoreRevu.1', 'usr/share/man/man1/qkZareviVovoreRevu.1.gz'),
           ('packaging/copyright', DOC + 'copyright'),
           ('packaging/changelog', DOC + 'changelog.gz'),
           ('contrib/qkZareviVovoreRevu.bash-completion',
            'usr/share/bash-completion/completions/qkZareviVovoreRevu'),
           ('contrib/qkZareviVovoreRevu@.service', EXAMPLES + 'qkZareviVovoreRevu@.service'),
           ('contrib/qkZareviVovoreRevu@.timer', EXAMPLES + 'qkZareviVovoreRevu@.timer'),
           ('contrib/qkZareviVovoreRevu.logrotate', EXAMPLES + 'qkZareviVovoreRevu.logrotate')]
PACKAGED = sorted(['usr/bin/qkZareviVovoreRevu'] + [target for _, target in SHIPPED])

# Arguments (relative to the scratch directory), stdout, stderr, status.
USAGE = [
    ([], b'', b'missing source project\n' + HELP, 1),
    (['-d', '-f', '-n', '-f', '-d', 'proj', 'out'], b'', b'too many arguments\n' + HELP, 1),
    (['-d', '-n', 'proj'], b'', b'missing destination\n' + HELP, 1),
    (['-help'], HELP, b'', 0),
    (['--help', '-x'], HELP, b'', 0),
    (['proj', 'out', '-h'], HELP, b'', 0),
    (['-x', '-h'], b'', b'unknown option -x\n' + HELP, 1),
    (['proj', 'out', 'third', '-h'], b'', b'unexpected argument third\n' + HELP, 1),
    (['-v'], VERSION, b'', 0),
    (['-V', '-h'], VERSION, b'', 0),
    (['--version', 'proj', 'out'], VERSION, b'', 0),
    (['--', 'proj', 'out'], b'', b'unknown option --\n' + HELP, 1),
    (['--HELP'], b'', b'unknown option --HELP\n' + HELP, 1),
    (['--hlep', 'proj', 'out'], b'', b'unknown option --hlep\n' + HELP, 1),
    (['-t', '/var/tmp', 'proj', 'out'], b'',
     b'-t needs its path without a space: -t/var/tmp\n' + HELP, 1),
]


def screen(raw):
    """What a terminal shows of raw: overwrites and erases to the line's end
    applied, blanks at line ends dropped."""
    shown = []
    for line in raw.split(b'\n'):
        cells, col = bytearray(), 0
        for part in re.split(rb'(\x1b\[K)', line):
            if part == b'\x1b[K':
                del cells[col:]
                continue
            for byte in part:
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
                    b'directory does not exist.\n' + self.path('proj', 'StyleSheets').encode() +
                    b': No such file or directory\n', 792 & 0xFF))
                self.assertIn(b'%', raw)
                self.assertTranscript(screen(raw), outcomes, zipped)

    def test_interrupt_on_a_terminal_leaves_the_title_and_error(self):
        """Ctrl-C typed at the terminal during step 4: the terminal echoes "^C"
        after the percentage, and the line still reads the title and "Error"."""
        qktest.write(self.path('proj', 'Attach', 'text'), os.urandom(48 << 20).hex().encode())
        master, slave = pty.openpty()
        p = subprocess.Popen(
            [qktest.PROGRAM, '-t' + self.tmp, 'proj', 'out'], cwd=self.dir, stdin=slave,
            stdout=slave, stderr=subprocess.PIPE, start_new_session=True,
            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        raw = b''
        while b'%' not in raw.partition(qktest.TITLES[3])[2]:
            raw += os.read(master, 4096)
        os.write(master, b'\x03')  # the terminal's interrupt character
        with contextlib.suppress(OSError):
            while chunk := os.read(master, 65536):  # EIO once all is read
                raw += chunk
        os.close(master)
        err, status = p.communicate(timeout=600)[1], p.returncode
        self.assertEqual((err, status), (b'\nThe backup was interrupted by SIGINT (signal 2).\n', 130))
        self.assertIn(b'^C', raw)
        self.assertEqual([line for line in screen(raw).split(b'\n') if line.strip()][-1],
                         qktest.TITLES[3] + b'Error')

    def test_unpacked_package_backs_up_a_project(self):
        # The build tree beside the program holds the packaging configuration.
        config = os.path.join(os.path.dirname(qktest.PROGRAM), 'CPackConfig.cmake')
        subprocess.run(['cpack', '--config', config, '-B', self.path('pkg')],
                       cwd=self.dir, check=True, stdout=subprocess.DEVNULL)
        deb, = glob.glob(self.path('pkg', 'qkzarevivovorerevu_1.5_*.deb'))
        os.chmod(self.path('pkg'), 0o755)
        lintian = subprocess.run([*qktest.NOBODY, 'lintian', '--fail-on', 'error,warning',
                                  deb], capture_output=True, env=dict(os.environ, HOME='/'))
        self.assertEqual((lintian.returncode, lintian.stdout, lintian.stderr), (0, b'', b''))
        depends = qktest.output(self, 'dpkg-deb', '-f', deb, 'Depends')
        self.assertLessEqual({'libsqlite3-0', 'libminizip1'},
                             set(re.findall(r'[a-z0-9.+-]+', depends)))
        with subprocess.Popen(['dpkg-deb', '--fsys-tarfile', deb],
                              stdout=subprocess.PIPE) as unpack, \
                tarfile.open(fileobj=unpack.stdout, mode='r|') as tar:
            members = {m.name.removeprefix('./').rstrip('/'): m for m in tar}
        self.assertEqual(sorted(p for p, m in members.items() if not m.isdir()), PACKAGED)
        for path, m in members.items():
            mode = 0o755 if m.isdir() or path == 'usr/bin/qkZareviVovoreRevu' else 0o644
            self.assertEqual((m.uid, m.gid, m.uname, m.gname, m.mode, m.type),
                             (0, 0, 'root', 'root', mode,
                              tarfile.DIRTYPE if m.isdir() else tarfile.REGTYPE), path)
        root = self.path('root')
        subprocess.run(['dpkg-deb', '-x', deb, root], check=True)
        subprocess.run(['dpkg-deb', '-e', deb, self.path('control')], check=True)
        self.assertEqual(sorted(qktest.read(self.path('control', 'md5sums')).splitlines()),
                         sorted(b'%s  %s' % (hashlib.md5(qktest.read(
                             os.path.join(root, p))).hexdigest().encode(), p.encode())
                                for p in PACKAGED))
        for source, target in SHIPPED:
            data = qktest.read(os.path.join(root, target))
            if target.endswith('.gz'):
                # gzip -9n: no name, no time, maximum compression.
                self.assertEqual(data[:10], b'\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03', target)
                data = gzip.decompress(data)
            self.assertEqual(data, qktest.read(os.path.join(SOURCE, source)), target)
        # Stripped, with its debugging information beside the package.
        program = os.path.join(root, 'usr/bin/qkZareviVovoreRevu')
        sections = qktest.output(self, 'readelf', '-SW', program)
        self.assertNotIn(' .symtab ', sections)
        self.assertNotIn(' .comment ', sections)
        self.assertIn(' .gnu_debuglink ', sections)
        # readelf misses the program interpreter there: its contents stayed behind.
        debug = subprocess.run(['readelf', '-SW', self.path('pkg', 'qkZareviVovoreRevu.debug')],
                               capture_output=True, check=True, text=True).stdout
        self.assertIn(' .symtab ', debug)
        self.assertIn(' .debug_info ', debug)
        qktest.PROGRAM, built = program, qktest.PROGRAM
        self.addCleanup(setattr, qktest, 'PROGRAM', built)
        self.assertSucceeded(self.qk(self.project, self.path('out')))

    def test_logrotate_example_rotates_the_cron_log(self):
        # The example's log is the one the cron line of the manual page writes.
        log = self.path('tarnwell-backup.log')
        config = qktest.read(os.path.join(SOURCE, 'contrib/qkZareviVovoreRevu.logrotate'))
        self.assertEqual(config.count(b'/var/log/tarnwell-backup.log {'), 1)
        qktest.write(self.path('logrotate.conf'),
                     config.replace(b'/var/log/tarnwell-backup.log', log.encode()))
        rotate = ['logrotate', '--force', '--state', self.path('state'),
                  self.path('logrotate.conf')]
        transcripts = []
        for night in range(3):
            with open(log, 'ab') as out:
                self.assertEqual(self.qk('-f', 'proj', 'out', stdout=out)[1:], (b'', 0))
            transcripts.append(qktest.read(log))
            self.assertEqual(subprocess.run(rotate, capture_output=True).returncode, 0)
            self.assertEqual(os.stat(log).st_size, 0)
            self.assertEqual((os.stat(log).st_mode & 0o7777, grp.getgrgid(os.stat(log).st_gid)
                              .gr_name), (0o640, 'adm'))
        # The newest rotation stays uncompressed: a run may still write to it.
        self.assertEqual(qktest.read(log + '.1'), transcripts[2])
        for n in (2, 3):
            with gzip.open('%s.%d.gz' % (log, n)) as old:
                self.assertEqual(old.read(), transcripts[3 - n])


if __name__ == '__main__':
    qktest.main()
