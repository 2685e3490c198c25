"""Every system call of a run failed, interrupted or killed in turn, as
strace injects it: status 0 only with a complete backup, otherwise a message;
the previous backup whole, the project untouched, and whatever a run leaves
removed by the next, which succeeds. `make test` runs a sample of the calls;
QK_TORTURE=all (`make torture`) runs every one."""
import collections
import contextlib
import os
import re
import sqlite3
import subprocess
import tempfile
import zipfile

import qktest

SYSCALLS = ('openat', 'read', 'write', 'pread64', 'pwrite64', 'fsync', 'syncfs',
            'rename', 'renameat2', 'link', 'mkdir', 'unlink', 'unlinkat', 'getdents64',
            'newfstatat', 'close', 'flock', 'utimensat', 'fchmod', 'access')
ERRORS = ('EIO', 'ENOSPC', 'EACCES')
EVERY = os.environ.get('QK_TORTURE') == 'all'
MODES = ((), ('-n',))
CALL = re.compile(r'^\d+ +(\w+)\((.*)')


def spread(count, points):
    """`points` call numbers spread over 1..count, first and last included."""
    if EVERY or count <= points:
        return list(range(1, count + 1))
    return sorted({1 + round(i * (count - 1) / (points - 1)) for i in range(points)})


class Torture(qktest.Case):

    def setUp(self):
        super().setUp()
        for mode in MODES:
            self.assertSucceeded(self.qk(*mode, 'proj', 'out'), zipped=not mode)
        self.project_before = self.snapshot_project()
        self.previous = {mode: self.snapshot(mode) for mode in MODES}

    def destination(self, mode):
        return self.path('out' if mode else 'out.zip')

    def snapshot_project(self):
        return qktest.tree(self.project), qktest.read(self.path('proj', 'qkproj.db'))

    def snapshot(self, mode, out=None):
        out = out or self.destination(mode)
        if not os.path.lexists(out):
            return None
        if not mode:
            return qktest.read(out)
        return qktest.tree(out), qktest.read(os.path.join(out, 'qkproj.db'))

    def complete(self, mode):
        """Whether the destination holds a whole backup of the project."""
        out, want = self.destination(mode), qktest.tree(self.project)
        with tempfile.TemporaryDirectory(dir='/var/tmp') as scratch:
            if mode:
                got, db = qktest.tree(out), os.path.join(out, 'qkproj.db')
            else:
                with zipfile.ZipFile(out) as z:
                    if z.testzip() is not None:
                        return False
                    z.extractall(scratch)
                got, db = qktest.tree(scratch), os.path.join(scratch, 'qkproj.db')
            if got != want or not os.path.isfile(db):
                return False
            with contextlib.closing(sqlite3.connect(db)) as c:
                return (c.execute('PRAGMA integrity_check').fetchall() == [('ok',)] and
                        c.execute(qktest.ROWS_SQL).fetchall() == qktest.ROWS)

    def strace(self, mode, *options):
        return qktest.run(['-t' + self.tmp, '-f', *mode, 'proj', 'out'], self.dir,
                          ('strace', '-f', '-qq', '-o', '/dev/null', *options))

    def trace(self, mode):
        """Each call of the run as (name, arguments), in order."""
        log = self.path('trace.log')
        qktest.run(['-t' + self.tmp, '-f', *mode, 'proj', 'out'], self.dir,
                   ('strace', '-f', '-qq', '-s', '64', '-o', log))
        with open(log, errors='replace') as f:
            calls = [m.groups() for m in map(CALL.match, f) if m]
        os.remove(log)
        self.previous[mode] = self.snapshot(mode)
        return calls

    def check_outcome(self, mode, result, killed):
        """The invariants of one disturbed run, then the next run's tidying."""
        out, err, status = result
        if status == 0:
            self.assertTrue(self.complete(mode), 'status 0 without a whole backup')
        else:
            self.assertEqual(status, -9 if killed else status)
            if not killed:
                self.assertRegex(err, rb'\S', 'a failure without a message')
            now = self.snapshot(mode)
            if now is None and killed:
                # Killed between the two renames: whole under its private name.
                kept = [n for n in os.listdir(self.dir) if n.startswith('.out.qkold-')]
                now = self.snapshot(mode, self.path(*kept[:1]))
            if now != self.previous[mode]:
                self.assertTrue(self.complete(mode), 'the previous backup was lost')
        self.assertEqual(self.snapshot_project(), self.project_before)
        self.assertSucceeded(self.qk('-f', *mode, 'proj', 'out'), zipped=not mode)
        self.assertEqual(sorted(os.listdir(self.dir)), ['out', 'out.zip', 'proj', 'tmp'])
        self.previous[mode] = self.snapshot(mode)

    def test_failed_and_killed_calls(self):
        outcomes = collections.Counter()
        for i, mode in enumerate(MODES):
            counts = collections.Counter(name for name, _ in self.trace(mode))
            for syscall in SYSCALLS:
                calls = spread(counts[syscall], 4)
                kills = spread(counts[syscall], 2)
                faults = [(f'error={ERRORS[(n + i) % 3]}', n) for n in calls]
                for action, n in faults + [('signal=KILL', n) for n in kills]:
                    with self.subTest(mode=mode, syscall=syscall, call=n, action=action):
                        result = self.strace(mode, '-e', f'trace={syscall}', '-e',
                                             f'inject={syscall}:{action}:when={n}')
                        self.check_outcome(mode, result, action == 'signal=KILL')
                        outcomes[action.partition('=')[2], result[2] == 0] += 1
        print('\nruns by injection (fault, status 0):', dict(outcomes))

    def test_interrupted_calls_of_our_own_are_retried(self):
        """EINTR without a signal, in the calls the program makes itself
        (steps 1, 3 and 4, the transcript aside): the run goes on."""
        for mode in MODES:
            calls, seen, own = self.trace(mode), collections.Counter(), []
            ours = False
            for name, arguments in calls:
                seen[name] += 1
                if name == 'write' and arguments.startswith('1,'):
                    ours = any(title.decode() in arguments for title in
                               (qktest.TITLES[0], *qktest.TITLES[2:]))
                    continue
                if ours and name in SYSCALLS:
                    own.append((name, seen[name]))
            by_name = collections.defaultdict(list)
            for name, n in own:
                by_name[name].append(n)
            for name, numbers in by_name.items():
                for n in [numbers[k - 1] for k in spread(len(numbers), 3)]:
                    with self.subTest(mode=mode, syscall=name, call=n):
                        result = self.strace(mode, '-e', f'trace={name}', '-e',
                                             f'inject={name}:error=EINTR:when={n}')
                        self.assertSucceeded(result, zipped=not mode)
                        self.assertTrue(self.complete(mode))


if __name__ == '__main__':
    qktest.main()
