"""Interrupted, killed and concurrent runs: the previous backup survives and
nothing of the run stays behind."""
import glob
import os
import signal
import sqlite3
import subprocess
import threading
import time

import qktest
from qktest import TITLES

# Enough work in steps 3 and 4 that a run can be stopped inside them.
MANY = 1500
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Run:
    """A run whose standard output is watched as it comes."""

    def __init__(self, args, cwd):
        self.p = subprocess.Popen([qktest.PROGRAM, *args], cwd=cwd,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out, self.eof = b'', False
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self.read)
        self.reader.start()

    def read(self):
        while True:
            chunk = os.read(self.p.stdout.fileno(), 4096)
            with self.changed:
                self.out += chunk
                self.eof = not chunk
                self.changed.notify_all()
            if not chunk:
                return

    def wait_for(self, text):
        with self.changed:
            self.changed.wait_for(lambda: text in self.out or self.eof, 120)
            return text in self.out

    def stop(self):
        os.kill(self.p.pid, signal.SIGSTOP)
        while qktest.read(f'/proc/{self.p.pid}/stat').rsplit(b')', 1)[1].split()[0] != b'T':
            time.sleep(0.001)

    def delivered(self, sig):
        """Whether the process has taken `sig` off its pending sets."""
        with open(f'/proc/{self.p.pid}/status') as status:
            masks = [int(line.split()[1], 16) for line in status
                     if line.startswith(('SigPnd:', 'ShdPnd:'))]
        return not any(mask >> (sig - 1) & 1 for mask in masks)

    def finish(self):
        err = self.p.stderr.read()
        self.p.wait(900)
        self.reader.join()
        self.p.stdout.close()
        self.p.stderr.close()
        return self.out, err, self.p.returncode


def files_under(path):
    return sum(len(files) for _, _, files in os.walk(path))


class Interrupt(qktest.Case):

    def reset(self):
        super().reset()
        self.mount_tmpfs(self.path('other'), '128m')
        os.mkdir(self.path('proj', 'StyleSheets', 'many'))
        for i in range(MANY):
            qktest.write(self.path('proj', 'StyleSheets', 'many', str(i)),
                         b''.join(b'%d line %d of the style sheets\n' % (i, j)
                                  for j in range(250)))

    def start(self, *args):
        """A run on another file system than the destination's, so that the
        last step copies rather than renames."""
        return Run(['-t' + self.path('other'), *args], self.dir)

    def previous(self, zipped):
        options = [] if zipped else ['-n']
        self.assertSucceeded(self.qk(*options, 'proj', 'out'), zipped=zipped)
        return self.path('out.zip' if zipped else 'out')

    def in_progress(self, run, step, out):
        """Whether the stopped run is still inside `step`'s work."""
        if step == 3:
            work = glob.glob(self.path('other', 'QKf*', 'StyleSheets'))
            return not work or files_under(work[0]) < MANY
        partial = glob.glob(self.path(f'.qkzip-{run.p.pid}-*'))
        if out.endswith('.zip'):
            return (os.stat(out).st_ino == self.inode and
                    all(os.path.getsize(p) < self.size * 0.9 for p in partial))
        built = self.path(f'.out.qknew-{run.p.pid}', 'StyleSheets')
        return (os.stat(out).st_ino == self.inode and
                not glob.glob(self.path('.out.qkold-*')) and
                files_under(built) < MANY)

    def stopped_in(self, step, zipped, args):
        """A run stopped inside step 3 or 4 over a previous backup, tried
        until one is caught there."""
        for _ in range(10):
            self.reset()
            out = self.previous(zipped)
            self.inode, self.size = os.stat(out).st_ino, os.path.getsize(out)
            before = self.snapshot(out)
            run = self.start(*args)
            run.wait_for(TITLES[step - 1 if step < 4 or zipped else 4])
            run.stop()
            if self.in_progress(run, step, out):
                return run, out, before
            run.p.kill()
            run.finish()
        self.fail('no run could be stopped in step %d' % step)

    def interrupted(self, sig, step, zipped):
        """Runs -f over a previous backup, with `sig` sent in `step`."""
        args = ['-f', *([] if zipped else ['-n']), 'proj', 'out']
        if step == 2:
            self.reset()
            out = self.previous(zipped)
            before = self.snapshot(out)
            lock = sqlite3.connect(self.path('proj', 'qkproj.db'), isolation_level=None)
            lock.execute('BEGIN EXCLUSIVE')
            run = self.start(*args)
            run.wait_for(TITLES[1])
            os.kill(run.p.pid, sig)
            while not run.delivered(sig):
                time.sleep(0.001)
            lock.execute('ROLLBACK')
            lock.close()
        else:
            run, out, before = self.stopped_in(step, zipped, args)
            os.kill(run.p.pid, sig)
            os.kill(run.p.pid, signal.SIGCONT)
        os.kill(run.p.pid, sig)  # a second one, mid clean-up or sooner
        return run.finish(), out, before

    def snapshot(self, out):
        return (qktest.read(out) if out.endswith('.zip') else
                (qktest.tree(out), qktest.read(os.path.join(out, 'qkproj.db'))))

    def test_signals_in_each_step(self):
        cases = [(sig, step, (i + step) % 2 == 0)
                 for step in (2, 3, 4) for i, sig in enumerate(SIGNALS)]
        for sig, step, zipped in cases:
            with self.subTest(signal=sig.name, step=step, zipped=zipped):
                (stdout, err, status), out, before = self.interrupted(sig, step, zipped)
                message = f'\nThe backup was interrupted by {sig.name} (signal {sig.value}).\n'
                self.assertEqual((err, status), (message.encode(), 128 + sig), stdout)
                self.assertTranscript(stdout, 'C' * (step - 1) + 'E', zipped)
                self.assertEqual(self.snapshot(out), before)
                self.assertEqual(sorted(os.listdir(self.dir)),
                                 sorted([os.path.basename(out), 'other', 'proj', 'tmp']))
                self.assertEqual(os.listdir(self.path('other')), [])

    def test_killed_runs_are_tidied_by_the_next(self):
        """Killed in step 3 or 4, or between the two renames of the swap:
        the next two runs succeed and leave only the backup."""
        for step in (3, 4, 'swap'):
            with self.subTest(step=step):
                if step == 'swap':
                    self.reset()
                    self.previous(False)
                    dead = subprocess.Popen(['true'])
                    dead.wait()
                    os.rename(self.path('out'), self.path(f'.out.qkold-{dead.pid}'))
                    os.makedirs(self.path(f'.out.qknew-{dead.pid}', 'Attach'))
                    qktest.write(self.path(f'.qkzip-{dead.pid}-0'), b'partial')
                    # A live run's archive in the making stays.
                    live = self.path(f'.qkzip-{os.getpid()}-0')
                    qktest.write(live, b'in the making')
                else:
                    run, _, _ = self.stopped_in(step, False, ['-f', '-n', 'proj', 'out'])
                    run.p.kill()
                    self.assertEqual(run.finish()[2], -signal.SIGKILL)
                    live = None
                for _ in range(2):
                    self.assertSucceeded(self.qk('-f', '-n', 'proj', 'out'), zipped=False)
                    qktest.check_directory(self, self.path('out'), self.project)
                left = {'out', 'other', 'proj', 'tmp'} | ({os.path.basename(live)} if live else set())
                self.assertEqual(set(os.listdir(self.dir)), left)
                if live:
                    self.assertEqual(qktest.read(live), b'in the making')

    def test_concurrent_runs(self):
        """Each run succeeds or fails cleanly; the backup is whole after."""
        self.previous(False)
        for _ in range(5):
            runs = [self.start('-f', '-n', 'proj', 'out') for _ in range(2)]
            for out, err, status in (run.finish() for run in runs):
                self.assertIn((err, status), [
                    (b'', 0),
                    (b'\nAn error occurred while copying the final project directory.\n', 25)])
            qktest.check_directory(self, self.path('out'), self.project)
            self.assertEqual(sorted(os.listdir(self.dir)), ['other', 'out', 'proj', 'tmp'])
        self.assertSucceeded(self.qk('-f', '-n', 'proj', 'out'), zipped=False)


if __name__ == '__main__':
    qktest.main()
