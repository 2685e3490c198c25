"""FIFOs, sockets and devices in a project are left out, never opened."""
import os
import socket
import stat
import subprocess
import time

import qktest


def add_special_files(attach):
    """A FIFO, a socket, a device that reads as empty, a link to the FIFO."""
    os.mkfifo(os.path.join(attach, 'fifo'))
    os.mknod(os.path.join(attach, 'null'), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(os.path.join(attach, 'socket'))
    os.mkdir(os.path.join(attach, 'links'))
    os.symlink('../fifo', os.path.join(attach, 'links', 'fifo'))
    return ['fifo', 'null', 'socket', 'links/fifo']


class SpecialFiles(qktest.Case):

    def test_special_files_are_skipped(self):
        for options in ([], ['-n']):
            with self.subTest(options=options):
                self.reset()
                attach = self.path('proj', 'Attach')
                special = add_special_files(attach)
                start = time.time()
                # An opened FIFO would block for ever: the timeout ends that.
                run = subprocess.run(
                    [qktest.PROGRAM, '-t' + self.tmp, *options, 'proj', 'out'],
                    cwd=self.dir, capture_output=True, timeout=60, check=False,
                    env=dict(os.environ, TZ=qktest.ZONE_NAME))
                window = (start, time.time())
                self.assertEqual(os.listdir(self.tmp), [])
                self.assertSucceeded((run.stdout, run.stderr, run.returncode),
                                     zipped=not options)
                # The backup is the project without them.
                for name in special:
                    os.remove(os.path.join(attach, name))
                if options:
                    qktest.check_directory(self, self.path('out'), self.project)
                else:
                    qktest.check_archive(self, self.path('out.zip'), self.project, window)


if __name__ == '__main__':
    qktest.main()
