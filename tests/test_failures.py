"""Failing runs: exact reports, and nothing of the previous backup lost."""
import os
import shutil
import subprocess

import qktest
from qktest import DIRS

EXISTS = "The destination zip file or folder already exists. Use -f to overwrite it."
MISSING = "The backup cannot be completed because the %s directory does not exist."
UNKNOWN_DB = "An unknown error occurred when backing up the database. Retry the backup later."
ZIP_FAILED = "An error occurred when creating the backup zip file.\nZip module: "
FINAL_COPY = "An error occurred while copying the final project directory."


def touch(*parts):
    return lambda t: qktest.write(t.path(*parts), b'previous')


def remove(*parts):
    return lambda t: shutil.rmtree(t.path('proj', *parts))


def replace(name, data):
    def setup(t):
        path = t.path('proj', name)
        qktest.remove(path)
        if data is not None:
            qktest.write(path, data)
    return setup


def previous_directory(*names):
    def setup(t):
        for name in names:
            qktest.make_project(t.path(name))
    return setup


def both(first, second):
    def setup(t):
        first(t)
        second(t)
    return setup


def unreadable_attach(t):
    subprocess.run(['chown', '-R', '65534:65534', t.dir], check=True)
    os.chmod(t.path('proj', 'Attach'), 0)
    return {'prefix': qktest.NOBODY}


def read_only_working_directory(t):
    t.mount_tmpfs(t.path('ro'), '64k', ',ro')
    return {'cwd': t.path('ro')}


# Set-up, arguments, result code, message.
FAILURES = [
    (touch('out.zip'), ['proj', 'out'], 259, EXISTS),
    (touch('out.zip'), ['missing', 'out'], 259, EXISTS),
    (previous_directory('out'), ['-n', 'proj', 'out'], 259, EXISTS),
    (None, ['missing', 'out'], 260, "The source project does not exist."),
    (touch('out'), ['-f', '-n', 'missing', 'out'], 260,
     "The source project does not exist."),
    (read_only_working_directory, ['-t../missing', '../proj', '../out'], 261,
     "Creating a temporary directory failed."),
    (None, ['proj/qkproj.db', 'out'], 262,
     "The source file is not a valid Tarnwell project."),
    (previous_directory('out', 'out_OLD'), ['-f', '-n', 'proj', 'out'], 284,
     "An error occurred when attempting to rename the pre-existing destination folder."),
    (replace('qkproj.db', None), ['proj', 'out'], 516,
     "The backup cannot be completed because the source database file does not exist."),
    (both(previous_directory('out'), replace('qkproj.db', None)),
     ['-f', '-n', 'proj', 'out.zip'], 516,
     "The backup cannot be completed because the source database file does not exist."),
    (replace('qkproj.db', b'not a database\n' * 512), ['proj', 'out'], 523,
     "The backup cannot be completed because the source file is not a SQLite database."),
    *[(remove(name), ['proj', 'out'], 789 + i, MISSING % name)
      for i, name in enumerate(DIRS)],
    (unreadable_attach, ['proj', 'out'], 775,
     "Cannot read the Attach directory. Check the file permssions and retry the backup."),
    (replace('StyleSheets', b'a file'), ['proj', 'out'], 793,
     "An error occurred when copying the StyleSheets project directory."),
    (None, ['proj', 'nowhere/out'], 1050,
     ZIP_FAILED + "Unable to open zip file for compression.\nNo such file or directory"),
]


class Failures(qktest.Case):

    def assertFailed(self, result, code, zipped=True):
        out, err, status = result
        self.assertEqual(status, code & 0xFF, (out, err))
        self.assertTranscript(out, 'C' * (min(code >> 8, 4) - 1) + 'E', zipped)
        return err

    def test_failures(self):
        for setup, args, code, message in FAILURES:
            with self.subTest(code=code, args=args):
                self.reset()
                options = setup(self) if setup else None
                before = qktest.tree(self.dir)
                err = self.assertFailed(self.qk(*args, **(options or {})), code,
                                        '-n' not in args)
                self.assertEqual(err, ('\n' + message + '\n').encode())
                # A failed run leaves everything as it found it.
                self.assertEqual(qktest.tree(self.dir), before)

    def test_failed_archive_keeps_the_previous_one(self):
        self.mount_tmpfs(self.path('dest'), '256k')
        self.assertSucceeded(self.qk('proj', 'dest/a'))
        with open(self.path('dest', 'a.zip'), 'rb') as f:
            previous = f.read()
        qktest.write(self.path('proj', 'Attach', 'big'), os.urandom(1 << 20))
        err = self.assertFailed(self.qk('-f', 'proj', 'dest/a'), 1050)
        self.assertTrue(err.startswith(('\n' + ZIP_FAILED).encode()), err)
        self.assertEqual(os.listdir(self.path('dest')), ['a.zip'])
        with open(self.path('dest', 'a.zip'), 'rb') as f:
            self.assertEqual(f.read(), previous)

    def test_failed_final_copy_puts_the_previous_directory_back(self):
        self.mount_tmpfs(self.path('dest'), '256k')
        self.assertSucceeded(self.qk('-n', 'proj', 'dest/a'), zipped=False)
        previous = qktest.tree(self.path('dest'))
        qktest.write(self.path('proj', 'Attach', 'big'), os.urandom(1 << 20))
        err = self.assertFailed(self.qk('-f', '-n', 'proj', 'dest/a'), 1305, False)
        self.assertEqual(err, ('\n' + FINAL_COPY + '\n').encode())
        self.assertEqual(qktest.tree(self.path('dest')), previous)
        qktest.check_db(self, self.path('dest', 'a', 'qkproj.db'))

    def test_full_temporary_directory(self):
        # Size of the temporary file system, result code, message.
        for size, code, message in [
                ('16k', 513, UNKNOWN_DB),
                ('128k', 793, "An error occurred when copying the Attach project directory.")]:
            with self.subTest(size=size):
                self.reset()
                full = self.path('full' + size)
                self.mount_tmpfs(full, size)
                err = self.assertFailed(self.qk('-t' + full, 'proj', 'out'), code)
                self.assertEqual(err, ('\n' + message + '\n').encode())
                self.assertEqual(os.listdir(full), [])
                self.assertFalse(os.path.exists(self.path('out.zip')))


if __name__ == '__main__':
    qktest.main()
