"""Failing runs: exact reports, and nothing of the previous backup lost."""
import os
import re
import subprocess

import qktest

EXISTS = "The destination zip file or folder already exists. Use -f to overwrite it."
MISSING = "The backup cannot be completed because the %s directory does not exist."
ZIP_FAILED = "An error occurred when creating the backup zip file.\nZip module: "
EMPTY = "The source or destination project path was empty."
NO_TEMP = "Creating a temporary directory failed."
REFUSED = "The destination must not be the source project, lie inside it or contain it."
NO_DIR = "The destination directory does not exist or cannot be written."
NOT_BACKUP = ("The destination folder is not a backup of a Tarnwell project. "
              "Nothing in it was changed.")
PROJECT = 'project'
BACKUP = 'backup'


def put(changes):
    """Puts bytes, a whole project (PROJECT) or nothing (None) at each path."""
    def setup(t):
        for rel, data in changes.items():
            path = t.path(rel)
            subprocess.run(['rm', '-rf', '--', path], check=True)
            if data == PROJECT:
                qktest.make_project(path)
            elif data == BACKUP:
                os.makedirs(path)
                qktest.write(os.path.join(path, 'qkproj.db'), b'db')
                for name in qktest.DIRS:
                    os.mkdir(os.path.join(path, name))
            elif data is not None:
                qktest.write(path, data)
    return setup


def unreadable(rel):
    """A run as nobody, who owns everything but may not read rel."""
    def setup(t):
        subprocess.run(['chown', '-R', '65534:65534', t.dir], check=True)
        os.chmod(t.path(rel), 0)
        return {'prefix': qktest.NOBODY}
    return setup


def holding(entries):
    """A destination directory out with these files (bytes) and directories (None)."""
    def setup(t):
        os.mkdir(t.path('out'))
        for name, data in entries.items():
            if data is None:
                os.mkdir(t.path('out', name))
            else:
                qktest.write(t.path('out', name), data)
    return setup


def unwritable_destination(t):
    os.mkdir(t.path('ro'), 0o555)
    subprocess.run(['chown', '-R', '65534:65534', t.dir], check=True)
    return {'prefix': qktest.NOBODY}


def read_only_working_directory(t):
    t.mount_tmpfs(t.path('ro'), '64k', ',ro')
    return {'cwd': t.path('ro')}


def damaged_database(t):
    """A previous archive, and pages in the middle of the table's tree
    overwritten, the header intact."""
    qktest.write(t.path('out.zip'), b'previous')
    with open(t.path('proj', 'qkproj.db'), 'r+b') as db:
        db.seek(5 * 4096)
        db.write(b'\xa5' * 2 * 4096)


def earlier_backup(*options):
    """A backup on a small file system, then a project that no longer fits."""
    def setup(t):
        t.mount_tmpfs(t.path('dest'), '256k')
        t.assertSucceeded(t.qk(*options, 'proj', 'dest/a'), zipped=not options)
        qktest.write(t.path('proj', 'Attach', 'big'), os.urandom(1 << 20))
    return setup


DEEP = '/'.join(['d' * 100] * 5)
# Set-up, arguments, result code, message; in the message <dir> stands for
# the scratch directory and QKf* for the working directory's unique part.
FAILURES = [
    # Every first line as it always was; what and why on the next.
    (put({'out.zip': b'previous'}), ['missing', 'out'], 259,
     EXISTS + "\n<dir>/out.zip: File exists"),
    (put({'out': b'previous'}), ['-f', '-n', 'missing', 'out'], 260,
     "The source project does not exist.\n<dir>/missing: No such file or directory"),
    # Never the current directory instead.
    (read_only_working_directory, ['-t../missing', '../proj', '../out'], 261,
     NO_TEMP + "\n<dir>/ro/../missing: No such file or directory"),
    (None, ['-tproj/qkproj.db', 'proj', 'out'], 261,
     NO_TEMP + "\n<dir>/proj/qkproj.db: Not a directory"),
    (None, ['proj/qkproj.db', 'out'], 262,
     "The source file is not a valid Tarnwell project.\n<dir>/proj/qkproj.db: Not a directory"),
    (unreadable('proj'), ['proj', 'out'], 262,
     "The source file is not a valid Tarnwell project.\n<dir>/proj: Permission denied"),
    (unreadable('proj/qkproj.db'), ['proj', 'out'], 522,
     "The source database could not be opened. Check the file and retry the backup.\n"
     "<dir>/proj/qkproj.db: unable to open database file (Permission denied)"),
    (None, ['', 'out'], 258, EMPTY),
    (None, ['-n', 'proj', ''], 258, EMPTY),
    (put({'out': PROJECT}), ['-n', 'proj', 'out.zip//'], 259,
     EXISTS + "\n<dir>/out: File exists"),
    (put({'out': b'previous'}), ['-f', '-n', 'proj', 'out'], 284,
     "An error occurred when attempting to rename the pre-existing destination folder.\n"
     "<dir>/out: Not a directory"),
    # Never the project itself, nor anything in it or around it.
    (None, ['-f', '-n', 'proj', 'proj/Attach/'], 286,
     REFUSED + "\n<dir>/proj/Attach: the project is <dir>/proj"),
    (None, ['-f', 'proj', 'proj/../proj/Attach/b.zip'], 286,
     REFUSED + "\n<dir>/proj/../proj/Attach/b.zip: the project is <dir>/proj"),
    (None, ['-f', '-n', 'proj', '.'], 286, REFUSED + "\n<dir>: the project is <dir>/proj"),
    (lambda t: os.symlink('proj', t.path('link')), ['-f', '-n', 'proj', 'link'], 286,
     REFUSED + "\n<dir>/link: the project is <dir>/proj"),
    # Nor a working directory there.
    (lambda t: {'cwd': t.path('proj', 'Attach')},
     ['-t../../missing', '../../proj', '../../out'], 261,
     NO_TEMP + "\n<dir>/proj/Attach/../../missing: No such file or directory"),
    (None, ['-tproj/Attach', 'proj', 'out'], 261,
     NO_TEMP + "\n<dir>/proj/Attach: lies inside the source project or the destination"),
    (put({'out': BACKUP}), ['-f', '-n', '-tout/Attach', 'proj', 'out'], 261,
     NO_TEMP + "\n<dir>/out/Attach: lies inside the source project or the destination"),
    (put({'out': PROJECT, 'proj/qkproj.db': None}), ['-f', '-n', 'proj', 'out.zip'], 516,
     "The backup cannot be completed because the source database file does not exist.\n"
     "<dir>/proj/qkproj.db: No such file or directory"),
    (lambda t: t.mount_tmpfs(t.path('full'), '16k'), ['-tfull', 'proj', 'out'], 513,
     "An unknown error occurred when backing up the database. Retry the backup later.\n"
     "<dir>/full/QKf*/qkproj.db: database or disk is full"),
    (put({'proj/qkproj.db': b'not a database\n' * 512}), ['proj', 'out'], 523,
     "The backup cannot be completed because the source file is not a SQLite database.\n"
     "<dir>/proj/qkproj.db: file is not a database"),
    # A damaged database never replaces the previous archive.
    (damaged_database, ['-f', 'proj', 'out'], 521,
     "The backup cannot be completed because the source database file is corrupt.\n"
     "<dir>/proj/qkproj.db: Page 7: btreeInitPage() returns error code 11"),
    (lambda t: os.renames(t.project, t.path(DEEP, 'proj')), [DEEP + '/proj', 'out'], 522,
     "The source database could not be opened. Check the file and retry the backup.\n"
     f"<dir>/{DEEP}/proj/qkproj.db: SQLite opens no database whose path is longer "
     "than 504 bytes (its limit of 512 bytes less room for the journal's name)."),
    *[(put({'proj/' + name: None}), ['proj', 'out'], 789 + i,
       MISSING % name + f"\n<dir>/proj/{name}: No such file or directory")
      for i, name in enumerate(qktest.DIRS)],
    (unreadable('proj/Attach'), ['proj', 'out'], 775,
     "Cannot read the Attach directory. Check the file permssions and retry the backup.\n"
     "<dir>/proj/Attach: Permission denied"),
    (lambda t: t.mount_tmpfs(t.path('full'), '128k'), ['-tfull', 'proj', 'out'], 793,
     "An error occurred when copying the Attach project directory.\n"
     "<dir>/full/QKf*/Attach/noise.bin: No space left on device"),
    (put({'proj/StyleSheets': b'a file'}), ['proj', 'out'], 793,
     "An error occurred when copying the StyleSheets project directory.\n"
     "<dir>/proj/StyleSheets: Not a directory"),
    # The destination's directory is checked before anything is copied.
    (None, ['proj', 'nowhere/out'], 289, NO_DIR + "\n<dir>/nowhere: No such file or directory"),
    (put({'file': b'a file'}), ['-n', 'proj', 'file/out'], 289,
     NO_DIR + "\n<dir>/file: Not a directory"),
    (unwritable_destination, ['proj', 'ro/out'], 289, NO_DIR + "\n<dir>/ro: Permission denied"),
    # -f -n replaces a backup, never a directory that holds anything else.
    (holding({'qkproj.db': b'db', 'Attach': None, 'notes.txt': b'mine'}),
     ['-f', '-n', 'proj', 'out'], 288, NOT_BACKUP + "\n<dir>/out/notes.txt: not part of a backup"),
    (holding({'Attach': None, 'StyleSheets': None}), ['-f', '-n', 'proj', 'out/'], 288,
     NOT_BACKUP + "\n<dir>/out/qkproj.db: No such file or directory"),
    (holding({'qkproj.db': b'db', 'Attach': None, 'other-project': None}),
     ['-f', '-n', 'proj', 'out'], 288, NOT_BACKUP + "\n<dir>/out/other-project: not part of a backup"),
    (holding({'qkproj.db': b'db', 'Attach': b'not a directory'}),
     ['-f', '-n', 'proj', 'out'], 288, NOT_BACKUP + "\n<dir>/out/Attach: not part of a backup"),
    # The previous archive stays, and no part of the new one is left beside it.
    (earlier_backup(), ['-f', 'proj', 'dest/a'], 1050,
     ZIP_FAILED + "Unable to write file into zip archive.\n<dir>/dest/a.zip: No space left on device"),
    (earlier_backup('-n'), ['-f', '-n', 'proj', 'dest/a'], 1305,
     "An error occurred while copying the final project directory.\n"
     "<dir>/dest/.a.qknew-*/Attach/noise.bin: No space left on device"),
]


class Failures(qktest.Case):

    def test_failures(self):
        for setup, args, code, message in FAILURES:
            with self.subTest(code=code, args=args):
                self.reset()
                options = setup(self) if setup else None
                before = qktest.tree(self.dir)
                out, err, status = self.qk(*args, **(options or {}))
                err = re.sub(rb'/QKf\w{6}/', b'/QKf*/', err.replace(self.dir.encode(), b'<dir>'))
                err = re.sub(rb'\.qknew-\d+/', b'.qknew-*/', err)
                self.assertEqual((err, status), (f'\n{message}\n'.encode(), code & 0xFF), out)
                self.assertTranscript(out, 'C' * (min(code >> 8, 4) - 1) + 'E', '-n' not in args)
                # A failed run leaves everything as it found it.
                qktest.assert_same_tree(self, qktest.tree(self.dir), before)


if __name__ == '__main__':
    qktest.main()
