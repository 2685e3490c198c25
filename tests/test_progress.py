"""Progress on a terminal: shown while the long steps run, gone from the finished screen."""
import os
import pty
import subprocess

import qktest

BIG = 48 << 20  # attachments enough for several redraws in every step


def on_terminal(args, cwd):
    """Runs with standard output on a pseudo-terminal: raw bytes, stderr, status."""
    master, slave = pty.openpty()
    p = subprocess.Popen([qktest.PROGRAM, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                         stdout=slave, stderr=subprocess.PIPE,
                         env=dict(os.environ, TZ=qktest.ZONE_NAME))
    os.close(slave)
    raw = b''
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: the program has closed the terminal
            break
        if not chunk:
            break
        raw += chunk
    os.close(master)
    with p.stderr:
        return raw, p.stderr.read(), p.wait()


def screen(raw):
    """What the terminal shows once raw is written: overwrites applied."""
    lines, row, col = [bytearray()], 0, 0
    for byte in raw:
        if byte == 0x0d:
            col = 0
        elif byte == 0x0a:
            row += 1
            if row == len(lines):
                lines.append(bytearray())
        elif byte == 0x08:
            col = max(col - 1, 0)
        else:
            line = lines[row]
            line.extend(b' ' * (col + 1 - len(line)))
            line[col] = byte
            col += 1
    return b'\n'.join(bytes(line).rstrip(b' ') for line in lines)


class Progress(qktest.Case):

    def test_progress_is_erased_before_each_outcome(self):
        with open(self.path('proj', 'Attach', 'big.bin'), 'wb') as f:
            for _ in range(BIG >> 20):
                f.write(os.urandom(1 << 20))
        missing = self.path('proj', 'StyleSheets')
        # Arguments, outcomes, zipped, standard error; the last removes StyleSheets.
        for args, outcomes, zipped, err in [
                (['proj', 'a'], 'CCCC', True, b''),
                (['-n', 'proj', 'b'], 'CCCC', False, b''),
                (['-d', 'proj', 'c'], 'CCSC', True, b''),
                (['proj', 'd'], 'CCE', True,
                 b'\nThe backup cannot be completed because the StyleSheets '
                 b'directory does not exist.\n')]:
            with self.subTest(args=args):
                if outcomes.endswith('E'):
                    os.rename(missing, missing + '.away')
                raw, got_err, status = on_terminal(['-t' + self.tmp, *args], self.dir)
                self.assertEqual((got_err, status), (err, 792 & 0xFF if err else 0))
                self.assertIn(b'%', raw)
                self.assertTranscript(screen(raw), outcomes, zipped)
                self.assertEqual(os.listdir(self.tmp), [])


if __name__ == '__main__':
    qktest.main()
