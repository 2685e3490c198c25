"""A live project whose server adds and removes files all the time: every run
succeeds, and its backup holds a consistent set of what existed."""
import os
import re
import shutil
import tempfile
import threading
import zipfile

import qktest

QUEUE = 'Quillet_In'
CHURNED = re.compile(r'Quillet_In/(q\d+|b\d+/?|b\d+/a|swap/?|swap/inside)$')


def content(i):
    return b'queue item %d\n' % i * (i % 50 + 1)


class Churn(qktest.Case):

    def churn(self, stop):
        """As a server does: files and batch directories written aside and
        renamed in, the oldest removed, and `swap` now a directory, now a file."""
        queue, staging = self.path('proj', QUEUE), self.path('staging')
        i = 0
        while not stop.is_set():
            i = self.changes = i + 1
            qktest.write(os.path.join(staging, 'q'), content(i))
            os.rename(os.path.join(staging, 'q'), os.path.join(queue, f'q{i}'))
            os.mkdir(os.path.join(staging, 'b'))
            qktest.write(os.path.join(staging, 'b', 'a'), content(i))
            os.rename(os.path.join(staging, 'b'), os.path.join(queue, f'b{i}'))
            if i > 3:
                os.remove(os.path.join(queue, f'q{i - 3}'))
                shutil.rmtree(os.path.join(queue, f'b{i - 3}'))
            swap = os.path.join(queue, 'swap')
            qktest.write(os.path.join(staging, 's'), b'inside')
            if os.path.isfile(swap):
                os.remove(swap)
                os.mkdir(swap)
                os.rename(os.path.join(staging, 's'), os.path.join(swap, 'inside'))
            else:
                shutil.rmtree(swap, ignore_errors=True)
                os.rename(os.path.join(staging, 's'), swap)

    def check_consistent(self, root, stable):
        """What root holds of the project: every stable entry, and churned
        entries only whole and as written."""
        got = qktest.tree(root)
        for name, data in stable.items():
            self.assertEqual(got.get(name, 0), data, name)
        for name, data in got.items():
            if name in stable:
                continue
            self.assertRegex(name, CHURNED)
            if data is None:
                continue
            number = re.search(r'(\d+)', name)
            self.assertEqual(data, b'inside' if 'swap' in name else content(int(number[1])),
                             name)
            self.assertIn(os.path.dirname(name), got)

    def test_backups_of_a_churning_project(self):
        os.mkdir(self.path('staging'))
        stable = qktest.tree(self.project)
        stop = threading.Event()
        writer = threading.Thread(target=self.churn, args=(stop,))
        writer.start()
        try:
            for run, options in enumerate([(), ('-n',)] * 4):
                with self.subTest(run=run, options=options):
                    result = self.qk('-f', *options, 'proj', 'out')
                    self.assertSucceeded(result, zipped=not options)
                    if options:
                        self.check_consistent(self.path('out'), stable)
                        continue
                    with zipfile.ZipFile(self.path('out.zip')) as z, \
                            tempfile.TemporaryDirectory(dir='/var/tmp') as scratch:
                        self.assertIsNone(z.testzip())
                        z.extractall(scratch)
                        self.check_consistent(scratch, stable)
        finally:
            stop.set()
            writer.join()
        self.assertGreater(self.changes, 100)

    def test_entries_gone_between_listing_and_copy_are_skipped(self):
        """The copy's open of a listed file or directory fails as if it had
        vanished (injected): the run succeeds without it."""
        log = self.path('trace.log')
        qktest.run(['-t' + self.tmp, 'proj', 'first'], self.dir,
                   ('strace', '-qq', '-o', log, '-e', 'trace=openat'))
        with open(log, errors='replace') as f:
            calls = f.read().splitlines()
        # Opened by name from its directory, the copy's open comes first.
        for target, gone in [('"nested.txt"', 'Quillet_Out/2026/05/nested.txt'),
                             ('"2026"', 'Quillet_Out/2026')]:
            with self.subTest(gone=gone):
                n = next(i for i, line in enumerate(calls, 1) if target in line)
                result = qktest.run(['-t' + self.tmp, '-f', 'proj', 'out'], self.dir, (
                    'strace', '-qq', '-o', '/dev/null', '-e', 'trace=openat',
                    '-e', f'inject=openat:error=ENOENT:when={n}'))
                self.assertSucceeded(result)
                with zipfile.ZipFile(self.path('out.zip')) as z:
                    names = set(z.namelist())
                want = {n + '/' if d is None else n for n, d in qktest.tree(self.project).items()
                        if not (n + '/').startswith(gone + '/')} | {'qkproj.db'}
                self.assertEqual(names, want)


if __name__ == '__main__':
    qktest.main()
