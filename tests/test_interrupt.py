"""Interrupted, killed and concurrent runs: the previous backup survives and
nothing of the run stays behind."""
import os
import signal
import sqlite3
import subprocess
import time

import qktest

MANY = 1500  # files enough in steps 3 and 4 that a run can be stopped inside them
LEFT = ['other', 'out', 'out.zip', 'proj', 'tmp']  # the scratch directory between runs


def pending(p, sig):
    with open(f'/proc/{p.pid}/status') as status:
        return any(int(line.split()[1], 16) >> (sig - 1) & 1 for line in status
                   if line.startswith(('SigPnd:', 'ShdPnd:')))


def finish(p):
    out, err = p.communicate(timeout=600)
    return p.out + out, err, p.returncode


class Interrupt(qktest.Case):

    def reset(self):
        """A bigger project, and previous backups out.zip and out."""
        super().reset()
        self.mount_tmpfs(self.path('other'), '128m')
        os.mkdir(self.path('proj', 'StyleSheets', 'many'))
        for i in range(MANY):
            qktest.write(self.path('proj', 'StyleSheets', 'many', str(i)), b''.join(
                b'%d line %d of the style sheets\n' % (i, j) for j in range(250)))
        self.before = {}
        for out, options in (('out.zip', []), ('out', ['-n'])):
            self.assertSucceeded(self.qk(*options, 'proj', 'out'), zipped=not options)
            self.before[out] = self.snapshot(self.path(out))

    def snapshot(self, out):
        return (qktest.read(out) if out.endswith('.zip') else
                (qktest.tree(out), qktest.read(os.path.join(out, 'qkproj.db'))))

    def start(self, zipped):
        """A -f run over a previous backup, its working directory on another
        file system than the destination's, so that the last step copies."""
        p = subprocess.Popen([qktest.PROGRAM, '-t' + self.path('other'), '-f',
                              *([] if zipped else ['-n']), 'proj', 'out'],
                             cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        p.out = b''
        return p

    def interrupted(self, sig, step, zipped):
        """A run given sig as `step`'s title appears, and again once it has taken
        the first (mid clean-up or sooner); tried until one is caught inside the step."""
        title = qktest.TITLES[step - 1 if step < 4 or zipped else 4]
        for _ in range(10):
            lock = sqlite3.connect(self.path('proj', 'qkproj.db'), isolation_level=None)
            if step == 2:  # the run waits on a locked database
                lock.execute('BEGIN EXCLUSIVE')
            p = self.start(zipped)
            while title not in p.out and (chunk := os.read(p.stdout.fileno(), 4096)):
                p.out += chunk
            os.kill(p.pid, sig)
            while sig != signal.SIGKILL and pending(p, sig):
                time.sleep(0.001)
            lock.close()
            os.kill(p.pid, sig)
            result = finish(p)
            if title + b'Complete' not in result[0]:
                return result
            self.reset()
        self.fail('no run could be stopped in step %d' % step)

    def test_signals_in_each_step(self):
        for step in (2, 3, 4):
            for i, sig in enumerate((signal.SIGINT, signal.SIGTERM, signal.SIGHUP)):
                zipped = (i + step) % 2 == 0
                with self.subTest(signal=sig.name, step=step, zipped=zipped):
                    stdout, err, status = self.interrupted(sig, step, zipped)
                    message = f'\nThe backup was interrupted by {sig.name} (signal {sig.value}).\n'
                    self.assertEqual((err, status), (message.encode(), 128 + sig), stdout)
                    self.assertTranscript(stdout, 'C' * (step - 1) + 'E', zipped)
                    for out, before in self.before.items():
                        self.assertEqual(self.snapshot(self.path(out)), before)
                    self.assertEqual(sorted(os.listdir(self.dir)), LEFT)
                    self.assertEqual(os.listdir(self.path('other')), [])

    def test_killed_runs_are_tidied_by_the_next(self):
        """Killed in step 3 or 4, or between the two renames of the swap:
        the next two runs succeed and leave only the backup."""
        for step in (3, 4, 'swap'):
            with self.subTest(step=step):
                left = LEFT
                if step == 'swap':
                    dead = subprocess.check_output(['sh', '-c', 'echo $$'], text=True).strip()
                    os.rename(self.path('out'), self.path(f'.out.qkold-{dead}'))
                    os.makedirs(self.path(f'.out.qknew-{dead}', 'Attach'))
                    qktest.write(self.path(f'.qkzip-{dead}-0'), b'partial')
                    # A live run's archive in the making stays.
                    live = f'.qkzip-{os.getpid()}-0'
                    qktest.write(self.path(live), b'in the making')
                    left = sorted(LEFT + [live])
                else:
                    self.assertEqual(self.interrupted(signal.SIGKILL, step, False)[2],
                                     -signal.SIGKILL)
                for _ in range(2):
                    self.assertSucceeded(self.qk('-f', '-n', 'proj', 'out'), zipped=False)
                    qktest.check_directory(self, self.path('out'), self.project)
                self.assertEqual(sorted(os.listdir(self.dir)), left)
        self.assertEqual(qktest.read(self.path(live)), b'in the making')

    def test_closed_output_stops_nothing(self):
        p = self.start(False)
        p.stdout.close()
        self.assertEqual((p.stderr.read(), p.wait()), (b'', 0))
        qktest.check_directory(self, self.path('out'), self.project)

    def test_concurrent_runs(self):
        """Each run succeeds or fails cleanly; the backup is whole after."""
        for _ in range(5):
            runs = [self.start(False) for _ in range(2)]
            for out, err, status in map(finish, runs):
                # The loser names what it found taken and why.
                self.assertIn((err[1:].partition(b'\n')[0], status), [(b'', 0), (
                    b'An error occurred while copying the final project directory.', 25)])
            qktest.check_directory(self, self.path('out'), self.project)
            self.assertEqual(sorted(os.listdir(self.dir)), LEFT)
        self.assertSucceeded(self.qk('-f', '-n', 'proj', 'out'), zipped=False)


if __name__ == '__main__':
    qktest.main()
