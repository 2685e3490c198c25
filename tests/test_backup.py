"""Successful runs: archive and directory backups, what they replace, and
what they grant."""
import os
import sqlite3
import subprocess
import sys

import qktest

# Options, destination given, path written, zipped, database only.
MODES = [
    ([], 'x', 'x.zip', True, False),
    ([], 'X.ZIP', 'X.ZIP', True, False),
    (['-f'], 'x.Zip', 'x.Zip', True, False),
    (['-d'], 'x', 'x.zip', True, True),
    (['-n'], 'x.zip', 'x', False, False),
    (['-N', '-D'], 'x.ZIP', 'x', False, True),
    (['-n'], 'x.zip.d', 'x.zip.d', False, False),
    ([], 'x/', 'x.zip', True, False),
    (['-n'], 'x.zip//', 'x', False, False),
]

# Modes of the project directory and its database, options, the mode of an
# earlier archive (None: none), whether the working directory is on another
# file system (the backup directory copied, not renamed, into place), then
# the modes the backup's files and directories get. No umask narrows them:
# what the backup withholds, the program withholds itself.
PERMISSIONS = [
    (0o755, 0o644, [], None, False, 0o644, None),
    (0o700, 0o600, [], None, False, 0o600, None),
    (0o750, 0o640, ['-n'], None, False, 0o640, 0o750),
    (0o755, 0o600, ['-n'], None, True, 0o600, 0o700),
    (0o755, 0o644, ['-f'], 0o600, False, 0o600, None),
    (0o750, 0o660, ['-f'], 0o664, False, 0o640, None),
]

# Keeps totals equal to the sum of the details, one small commit at a time
# and one byte out for each, until the stop file appears.
WRITER = r'''
import os, random, sqlite3, sys, time
db = sqlite3.connect(sys.argv[1], timeout=60, isolation_level=None)
while not os.path.exists(sys.argv[2]):
    amount = random.randint(1, 1000)
    db.execute('BEGIN IMMEDIATE')
    db.execute('INSERT INTO detail (amount) VALUES (?)', (amount,))
    db.execute('UPDATE totals SET total = total + ? WHERE id = 1', (amount,))
    db.execute('COMMIT')
    os.write(1, b'.')
    time.sleep(0.003)
'''


def modes(root):
    """The permission bits of every file, and of every directory, below root."""
    files, dirs = set(), set()
    for top, subdirs, names in os.walk(root):
        dirs.update(os.stat(os.path.join(top, d)).st_mode & 0o7777 for d in subdirs + ['.'])
        files.update(os.stat(os.path.join(top, n)).st_mode & 0o7777 for n in names)
    return files, dirs


def others(root):
    """The tree outside the backup directory 'out'."""
    return {rel: data for rel, data in qktest.tree(root).items()
            if rel.split('/')[0] != 'out'}


class Backup(qktest.Case):

    def test_modes_and_destination_suffix(self):
        for options, given, written, zipped, db_only in MODES:
            with self.subTest(options=options, given=given):
                self.reset()
                os.mkdir(self.path('out'))
                if '-f' in options:
                    qktest.write(self.path('out', written), b'previous archive')
                result = self.qk(*options, 'proj', 'out/' + given)
                self.assertSucceeded(result, 'CCSC' if db_only else 'CCCC', zipped)
                # Nothing but the backup: no partial archive, no special file.
                self.assertEqual(os.listdir(self.path('out')), [written])
                check = qktest.check_archive if zipped else qktest.check_directory
                check(self, self.path('out', written), self.project, db_only)

    def test_a_backup_grants_no_more_than_its_project(self):
        old = os.umask(0)
        self.addCleanup(os.umask, old)
        for project, db, options, earlier, across, file_mode, dir_mode in PERMISSIONS:
            with self.subTest(project=oct(project), db=oct(db), options=options,
                              across=across):
                self.reset()
                if across:
                    self.mount_tmpfs(self.tmp, '16m')
                os.chmod(self.path('proj', 'qkproj.db'), db)
                os.chmod(self.project, project)
                if earlier is not None:
                    qktest.write(self.path('out.zip'), b'earlier')
                    os.chmod(self.path('out.zip'), earlier)
                self.assertSucceeded(self.qk(*options, 'proj', 'out'),
                                     zipped='-n' not in options)
                if dir_mode is None:
                    self.assertEqual(os.stat(self.path('out.zip')).st_mode & 0o7777,
                                     file_mode)
                else:
                    self.assertEqual(modes(self.path('out')), ({file_mode}, {dir_mode}))

    def test_overwrite_through_a_link_beside_a_foreign_old_copy(self):
        """The link is replaced, its target keeps its files, and an out_OLD
        this program did not make is left alone."""
        os.makedirs(self.path('target', 'Attach', 'stale'))
        qktest.write(self.path('target', 'qkproj.db'), b'stale')
        os.symlink('target', self.path('out'))
        os.mkdir(self.path('out_OLD'))
        qktest.write(self.path('out_OLD', 'mine'), b'an administrator\'s')
        before = others(self.dir)
        self.assertSucceeded(self.qk('-f', '-n', 'proj', 'out.zip/'), zipped=False)
        qktest.check_directory(self, self.path('out'), self.project)
        self.assertFalse(os.path.islink(self.path('out')))
        qktest.assert_same_tree(self, others(self.dir), before)

    def test_snapshot_under_steady_commits(self):
        path = self.path('proj', 'qkproj.db')
        with sqlite3.connect(path) as db:
            db.execute('CREATE TABLE filler (data BLOB)')
            db.executemany('INSERT INTO filler VALUES (randomblob(1000))', [()] * 26000)
            db.execute('CREATE TABLE detail (id INTEGER PRIMARY KEY, amount INTEGER)')
            db.execute('CREATE TABLE totals (id INTEGER PRIMARY KEY, total INTEGER)')
            db.execute('INSERT INTO totals VALUES (1, 0)')
        db.close()
        stop = self.path('stop')
        writer = subprocess.Popen([sys.executable, '-c', WRITER, path, stop],
                                  stdout=subprocess.PIPE)
        try:
            self.assertEqual(writer.stdout.read(1), b'.')
            result = self.qk('proj', 'out')
        finally:
            qktest.write(stop, b'')
            commits = 1 + len(writer.communicate()[0])
        self.assertSucceeded(result)
        # One consistent state from the middle of the writer's work.
        qktest.check_archive(self, self.path('out.zip'), self.project, queries=[(
            'SELECT (SELECT total FROM totals) = (SELECT sum(amount) FROM detail), '
            'count(*) > 0, count(*) < %d FROM detail' % commits, [(1, 1, 1)])])


if __name__ == '__main__':
    qktest.main()
