"""Command line: help, version, usage errors and how paths are taken."""
import os
import re
import resource
import time

import qktest
from qktest import HELP, VERSION

# Arguments (relative to the scratch directory), stdout, stderr, status.
USAGE = [
    ([], b'', HELP, 1),
    (['-d'] * 7, b'', HELP, 1),
    (['-d', '-f', '-n', '-f', '-d', 'proj', 'out'], b'', HELP, 1),
    (['proj'], b'', HELP, 1),
    (['-d', '-n', 'proj'], b'', HELP, 1),
    (['-h'], HELP, b'', 0),
    (['-H'], HELP, b'', 0),
    (['-help'], HELP, b'', 0),
    (['--help', '-x'], HELP, b'', 0),
    (['proj', 'out', '-h'], HELP, b'', 0),
    (['-h', '-x', 'a', 'b', 'c'], HELP, b'', 0),
    (['-x', '-h'], b'', HELP, 1),
    (['proj', 'out', 'third', '-h'], b'', HELP, 1),
    (['-v'], VERSION, b'', 0),
    (['-V', '-h'], VERSION, b'', 0),
    (['-version', 'proj', 'out'], VERSION, b'', 0),
    (['--version', 'proj', 'out'], VERSION, b'', 0),
    (['-x'], b'', HELP, 1),
    (['-?', 'proj', 'out'], b'', HELP, 1),
    (['--bogus', 'proj', 'out'], b'', HELP, 1),
    (['--', 'proj', 'out'], b'', HELP, 1),
    (['--HELP'], b'', HELP, 1),
    (['proj', 'out', 'third'], b'', HELP, 1),
    (['-', 'proj', 'out'], b'', HELP, 1),
    # An empty path is given, not missing: the job reports it.
    (['', 'out'], b'\nBackup is running (four steps):\n\n'
     b' 1. Create temporary directory ... Error\n',
     b'\nThe source or destination project path was empty.\n', 258 & 0xFF),
]

NOT_UTF8 = os.fsdecode(b'proj\xe9')

# Project directory name, working directory, arguments, database only, zipped.
PATHS = [
    ('-', '.', ['-', 'out'], False, True),
    ('proj', 'proj/Attach', ['..', '../../proj/../out'], False, True),
    ('proj', '.', ['-dX', 'proj', 'out'], True, True),
    ('proj', '.', ['-fn', 'proj', 'out'], False, False),
    ('proj', 'proj', ['-DN', '.', '../out.zip'], True, False),
    (NOT_UTF8, '.', [NOT_UTF8, 'out'], False, True),
    (NOT_UTF8, '.', ['-d', NOT_UTF8, 'out'], True, True),
]


def children_cpu():
    return sum(resource.getrusage(resource.RUSAGE_CHILDREN)[:2])  # user and system


class CommandLine(qktest.Case):

    def test_usage(self):
        for args, out, err, status in USAGE:
            with self.subTest(args=args):
                self.assertEqual(qktest.run(args, self.dir), (out, err, status))
                self.assertEqual(sorted(os.listdir(self.dir)), ['proj', 'tmp'])

    def test_paths_are_taken_from_the_working_directory(self):
        for name, cwd, args, db_only, zipped in PATHS:
            with self.subTest(args=args):
                self.reset()
                os.rename(self.project, self.path(name))
                self.assertSucceeded(self.qk(*args, cwd=self.path(cwd)),
                                     'CCSC' if db_only else 'CCCC', zipped)
                check = qktest.check_archive if zipped else qktest.check_directory
                check(self, self.path('out.zip' if zipped else 'out'), self.path(name),
                      db_only)
                self.assertEqual(sorted(os.listdir(self.dir)), sorted(
                    [name, 'out.zip' if zipped else 'out', 'tmp']))

    def test_deep_working_directory(self):
        # The project is named in full: SQLite opens no longer path than 512
        # bytes, while the destination is taken from the 4,000-byte directory.
        deep = self.path(*['d' * 199] * 20)
        os.makedirs(deep)
        self.assertGreater(len(deep), 4000)
        self.assertSucceeded(self.qk(self.project, 'out', cwd=deep))
        qktest.check_archive(self, os.path.join(deep, 'out.zip'), self.project)

    def test_working_directory_and_lock_wait(self):
        bound, here = self.path('bound'), self.path('here')
        os.mkdir(bound)
        os.mkdir(here)
        # The program is opened before /tmp is covered: it may live there.
        bind = ('unshare', '-m', 'sh', '-c',
                'exec 3<"$1" && mount --bind "$0" /tmp && shift && '
                'exec /proc/self/fd/3 "$@"', bound)
        copy = r'QKf[A-Za-z0-9]{6}'
        spent = 0  # processor time of the runs, which mostly wait on a lock
        # Temporary-files argument, working directory, watched directory,
        # name of the working copy, prefix.
        for i, (temp, cwd, watch, name, prefix) in enumerate([
                (None, here, bound, copy, bind),
                ('-t', here, here, copy, ()),
                ('-t' + here + '/', self.dir, here, copy, ()),
                ('-t' + 'here', self.dir, here, copy, ()),
                ('-t' + self.path('missing'), here, here, r'QKtemp\d+', ())]):
            with self.subTest(temp=temp, cwd=cwd):
                args = [a for a in (temp, self.project, self.path('out')) if a]
                # Under the lock step 2 waits, so the working copy stays visible.
                locker, seen = qktest.hold_lock(self.path('proj', 'qkproj.db'), 1), set()
                spent, start = spent - children_cpu(), time.time()
                result = qktest.run(args, cwd, prefix, watch, seen)
                spent, self.window = spent + children_cpu(), (start, time.time())
                locker.join()
                self.assertSucceeded(result)
                self.assertTrue([n for n in seen if re.fullmatch(name, n)], seen)
                self.assertEqual(os.listdir(watch), [])
                self.assertFalse(os.path.exists(self.path('missing')))
                # The copy is taken once the lock's transaction committed.
                qktest.check_archive(self, self.path('out.zip'), self.project, queries=[
                    ("SELECT count(*) FROM items WHERE name = 'under lock'", [(i + 1,)])])
                os.remove(self.path('out.zip'))
        # Waiting is not spinning: most of the locks' time the program sleeps.
        self.assertLess(spent, 5 / 2)

if __name__ == '__main__':
    qktest.main()
