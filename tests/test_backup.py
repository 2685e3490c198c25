"""Successful runs: archive and directory backups and what they replace."""
import os
import struct

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

# Group-writable, unlike the files the database library makes itself.
UMASK = ('sh', '-c', 'umask 002 && exec "$0" "$@"')


# Modes of the project directory and its database, options, the mode of an
# earlier archive (None: none), then the modes the backup's files and
# directories get under umask 022.
PERMISSIONS = [
    (0o755, 0o644, [], None, 0o644, None),
    (0o700, 0o600, [], None, 0o600, None),
    (0o750, 0o640, ['-n'], None, 0o640, 0o750),
    (0o755, 0o600, ['-n'], None, 0o600, 0o700),
    (0o755, 0o644, ['-f'], 0o600, 0o600, None),
    (0o750, 0o660, ['-f'], 0o664, 0o640, None),
]


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


def run_with_temp(t, temp, out):
    return qktest.run(['-t' + temp, '-n', 'proj', out], t.dir, UMASK)


class Backup(qktest.Case):

    def check(self, path, zipped, db_only=False, project=None):
        project = project or self.project
        if zipped:
            return qktest.check_archive(self, path, project, self.window, db_only)
        qktest.check_directory(self, path, project, db_only)

    def test_modes_and_destination_suffix(self):
        for options, given, written, zipped, db_only in MODES:
            with self.subTest(options=options, given=given):
                self.reset()
                os.mkdir(self.path('out'))
                result = self.qk(*options, 'proj', 'out/' + given)
                self.assertSucceeded(result, 'CCSC' if db_only else 'CCCC', zipped)
                self.assertEqual(os.listdir(self.path('out')), [written])
                self.check(self.path('out', written), zipped, db_only)

    def test_a_backup_grants_no_more_than_its_project(self):
        old = os.umask(0o022)
        self.addCleanup(os.umask, old)
        for project, db, options, earlier, file_mode, dir_mode in PERMISSIONS:
            with self.subTest(project=oct(project), db=oct(db), options=options):
                self.reset()
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

    def test_overwrite_replaces_an_archive(self):
        qktest.write(self.path('out.zip'), b'previous archive')
        self.assertSucceeded(self.qk('-f', 'proj', 'out'))
        self.check(self.path('out.zip'), True)
        self.assertEqual(sorted(os.listdir(self.dir)), ['out.zip', 'proj', 'tmp'])

    def test_overwrite_replaces_a_backup_directory(self):
        """A foreign out_OLD is left alone; a link's target keeps its files."""
        for link in (False, True):
            with self.subTest(link=link):
                self.reset()
                previous = self.path('target' if link else 'out')
                os.makedirs(os.path.join(previous, 'Attach', 'stale'))
                qktest.write(os.path.join(previous, 'qkproj.db'), b'stale')
                if link:
                    os.symlink('target', self.path('out'))
                os.mkdir(self.path('out_OLD'))
                qktest.write(self.path('out_OLD', 'mine'), b'an administrator\'s')
                before = others(self.dir)
                self.assertSucceeded(self.qk('-f', '-n', 'proj', 'out.zip/'), zipped=False)
                self.check(self.path('out'), False)
                self.assertFalse(os.path.islink(self.path('out')))
                qktest.assert_same_tree(self, others(self.dir), before)

    def test_directory_modes_are_those_of_a_copy(self):
        """Renamed into place or copied across file systems: the same modes."""
        self.mount_tmpfs(self.path('other'), '16m')
        modes = []
        for temp, out in ((self.tmp, 'same'), (self.path('other'), 'across')):
            result = run_with_temp(self, temp, out)
            self.assertSucceeded(result, zipped=False)
            root = self.path(out)
            modes.append({os.path.relpath(top, root) + '/' + name:
                          oct(os.lstat(os.path.join(top, name)).st_mode & 0o7777)
                          for top, dirs, files in os.walk(root)
                          for name in dirs + files + ['.']})
            self.assertEqual(os.listdir(temp), [])
        self.assertEqual(modes[0], modes[1])
        mode = modes[0]
        self.assertEqual((mode['./.'], mode['./qkproj.db']),
                         (mode['./Attach'], mode['Attach/noise.bin']))

    def test_project_path_that_is_not_utf8(self):
        name = os.fsencode(self.dir) + b'/proj\xe9'
        os.rename(self.project, name)
        self.assertSucceeded(self.qk(b'-d', name, b'out'), 'CCSC')
        self.check(self.path('out.zip'), True, True, name)
        self.assertSucceeded(self.qk(name, b'out2'))
        self.check(self.path('out2.zip'), True, project=name)

    def test_more_entries_than_a_classic_archive_holds(self):
        attach = self.path('proj', 'Attach', 'many')
        os.mkdir(attach)
        for i in range(70000):
            qktest.write(os.path.join(attach, '%05d' % i), b'%d' % i)
        self.assertSucceeded(self.qk('proj', 'out'))
        # The fixture's 14 entries, the new directory and its files.
        self.assertEqual(self.check(self.path('out.zip'), True), 14 + 1 + 70000)
        qktest.check_readers(self, self.path('out.zip'), qktest.entry_names(self.project))
        # The zip64 end record with the true count, its locator, then the
        # classic end record, whose 16-bit counts are full.
        with open(self.path('out.zip'), 'rb') as raw:
            record = raw.seek(-98, os.SEEK_END)
            tail = struct.unpack('<I20xQQ16xI4xQ4xI4xHH10x', raw.read())
        self.assertEqual(tail, (0x06064b50, 70015, 70015, 0x07064b50, record,
                                0x06054b50, 0xFFFF, 0xFFFF))


if __name__ == '__main__':
    qktest.main()
