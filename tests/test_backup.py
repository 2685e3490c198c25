"""Successful runs: archive and directory backups, what they replace, and
what they grant."""
import os

import qktest

NOT_UTF8 = os.fsdecode(b'proj\xe9')

# Project directory name, working directory, arguments, path written, zipped,
# database only. A -f run replaces an earlier archive.
MODES = [
    ('-', '.', ['-', 'out'], 'out.zip', True, False),
    ('proj', 'proj/Attach', ['..', '../../proj/../out'], 'out.zip', True, False),
    ('proj', '.', ['-dX', 'proj', 'out'], 'out.zip', True, True),
    ('proj', '.', ['-fn', 'proj', 'out'], 'out', False, False),
    ('proj', 'proj', ['-DN', '.', '../out.ZIP'], 'out', False, True),
    (NOT_UTF8, '.', [NOT_UTF8, 'out'], 'out.zip', True, False),
    ('proj', '.', ['-f', 'proj', 'x.Zip'], 'x.Zip', True, False),
    ('proj', '.', ['-n', 'proj', 'x.zip.d'], 'x.zip.d', False, False),
    ('proj', '.', ['proj', 'x/'], 'x.zip', True, False),
    ('proj', '.', ['-n', 'proj', 'x.zip//'], 'x', False, False),
]

# Modes of the project and its database, options, an earlier archive's mode
# (None: none), whether the working directory is on another file system (the
# backup copied, not renamed, into place), then the backup's file and directory
# modes. No umask narrows them: what the backup withholds, the program does.
PERMISSIONS = [
    (0o755, 0o644, [], None, False, 0o644, None),
    (0o700, 0o600, [], None, False, 0o600, None),
    (0o750, 0o640, ['-n'], None, False, 0o640, 0o750),
    (0o755, 0o600, ['-n'], None, True, 0o600, 0o700),
    (0o755, 0o644, ['-f'], 0o600, False, 0o600, None),
    (0o750, 0o660, ['-f'], 0o664, False, 0o640, None),
]

def modes(root):
    """The permission bits of every file, and of every directory, below root."""
    walk = list(os.walk(root))
    return ({os.stat(os.path.join(top, n)).st_mode & 0o7777 for top, _, names in walk
             for n in names}, {os.stat(top).st_mode & 0o7777 for top, _, _ in walk})


class Backup(qktest.Case):

    def test_modes_and_destinations(self):
        for name, cwd, args, written, zipped, db_only in MODES:
            with self.subTest(args=args):
                self.reset()
                os.rename(self.project, self.path(name))
                if '-f' in args:
                    qktest.write(self.path(written), b'previous archive')
                self.assertSucceeded(self.qk(*args, cwd=self.path(cwd)),
                                     'CCSC' if db_only else 'CCCC', zipped)
                check = qktest.check_archive if zipped else qktest.check_directory
                check(self, self.path(written), self.path(name), db_only)
                # Nothing but the backup: no partial archive, no special file.
                self.assertEqual(sorted(os.listdir(self.dir)), sorted([name, written, 'tmp']))

    def test_a_backup_grants_no_more_than_its_project(self):
        self.addCleanup(os.umask, os.umask(0))
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
        before = qktest.tree(self.path('target')), qktest.tree(self.path('out_OLD'))
        self.assertSucceeded(self.qk('-f', '-n', 'proj', 'out.zip/'), zipped=False)
        qktest.check_directory(self, self.path('out'), self.project)
        self.assertEqual(sorted(os.listdir(self.dir)),
                         ['out', 'out_OLD', 'proj', 'target', 'tmp'])
        self.assertEqual((qktest.tree(self.path('target')), qktest.tree(self.path('out_OLD'))),
                         before)


if __name__ == '__main__':
    qktest.main()
