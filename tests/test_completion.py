"""The bash completion: what it offers for each word of a command line, asked
as bash asks it, and what readline makes of it in an interactive shell."""
import contextlib
import os
import pty
import re
import subprocess

import qktest

COMPLETION = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'contrib',
                          'qkZareviVovoreRevu.bash-completion')
# Calls the completion function on the words given, the last one being
# completed, as bash does on a TAB; prints the replies, each ended by NUL.
ASK = ('source "$1" && shift && COMP_WORDS=("$@") && COMP_CWORD=$(($# - 1)) && '
       '_qkZareviVovoreRevu && for r in "${COMPREPLY[@]}"; do printf "%s\\0" "$r"; done')
# A program whose help lists long options, as later versions may: in the
# first column, after short ones, repeated, with values of several kinds.
FAKE = '''#!/bin/sh
[ "$1" = --help ] || { printf 'ARGS:'; printf '[%s]' "$@"; echo; exit 0; }
cat <<'EOF'
Tarnwell Native Database Backup Utility
  -t<path>           Path to use for temporary files.
  --keep=N           Keep N backups.
  --summary=FILE     Write a summary.
  --verify           Check the archive.
  -r, --restore=DIR  Restore into DIR.
  --help             This text.
See --bogus in the text.
EOF
'''
TREE = ['proj/Attach', 'proj/Quillet_In', 'proj/Quillet_Out', 'proj/StyleSheets',
        'tmp', 'My Dir', 'old.zip', 'a:b/c']
FILES = ['backup.zip', 'notes.txt', 'proj/qkproj.db']
DIRS = ['My Dir/', 'a:b/', 'old.zip/', 'proj/', 'tmp/']
SHORT = ['-d', '-f', '-n', '-t', '-h', '-v']

# Words after the command word (P the program, F the fake one), the last one
# being completed, split where bash splits them (at '=' and ':'); replies.
CASES = [
    ('P', [''], DIRS),
    ('P', ['pr'], ['proj/']),
    ('P', ['proj/'], ['proj/Attach/', 'proj/Quillet_In/', 'proj/Quillet_Out/',
                      'proj/StyleSheets/']),
    ('P', ['My\\ D'], ['My Dir/']),
    ('P', ['a', ':'], ['b/']),
    ('P', ['a', ':', 'b/'], ['b/c/']),
    ('P', ['nothing-here'], []),
    # The second path is the destination: a directory or a .zip archive.
    ('P', ['proj', ''], DIRS + ['backup.zip']),
    ('P', ['-f', '-t/var/tmp', 'proj', 'b'], ['backup.zip']),
    ('P', ['-', ''], DIRS + ['backup.zip']),
    ('P', ['proj', 'backup.zip', ''], []),
    # -t takes its directory in the same word.
    ('P', ['-t'], ['-t' + d for d in DIRS]),
    ('P', ['-tt'], ['-ttmp/']),
    ('P', ['-Tpr'], ['-Tproj/']),
    ('P', ['-ta', ':'], ['b/']),
    ('P', ['-ta', ':', 'b', ''], DIRS),
    ('P', ['-d', '-nproj/'], []),
    ('P', ['-'], SHORT + ['--help', '--version']),
    ('P', ['--'], ['--help', '--version']),
    ('P', ['--he'], ['--help']),
    ('P', ['--vers'], ['--version']),
    ('P', ['--x'], []),
    # Long options from the program's help; a value stops at '='.
    ('F', ['-'], SHORT + ['--help', '--version', '--keep=', '--summary=', '--verify',
                          '--restore=']),
    ('F', ['--'], ['--help', '--version', '--keep=', '--summary=', '--verify',
                   '--restore=']),
    ('F', ['--ver'], ['--version', '--verify']),
    ('F', ['--s'], ['--summary=']),
    ('F', ['--summary', '='], DIRS + ['backup.zip', 'notes.txt']),
    ('F', ['--summary', '=', 'no'], ['notes.txt']),
    ('F', ['--summary', '=', 'a', ':'], ['b/']),
    ('F', ['--summary=no'], ['--summary=notes.txt']),
    ('F', ['--restore', '=', ''], DIRS),
    ('F', ['--keep', '='], []),
    ('F', ['--bogus', '='], []),
    ('F', ['--summary', '=', 'notes.txt', ''], DIRS),
]

# Typed into an interactive bash, TAB for TAB; what the command then got.
TYPED = [
    ('qkZareviVovoreRevu -t{tree}/t\t pr\t ba\t\n',
     '[-t{tree}/tmp/][proj/][backup.zip]'),
    ('qkZareviVovoreRevu -dfn My\t a:\t\n', '[-dfn][My Dir/][a:b/]'),
    ('{fake} --summary=no\t--k\t3 --res\ta\t\n',
     '[--summary=notes.txt][--keep=3][--restore=a:b/]'),
]


class Completion(qktest.Case):

    def setUp(self):
        super().setUp()
        self.tree = self.path('tree')
        for d in TREE:
            os.makedirs(os.path.join(self.tree, d))
        for f in FILES:
            qktest.write(os.path.join(self.tree, f), b'')
        self.fake = self.path('bin', 'fake')
        os.makedirs(os.path.dirname(self.fake))
        qktest.write(self.fake, FAKE.encode())
        os.chmod(self.fake, 0o755)

    def ask(self, command, words):
        result = subprocess.run(['bash', '--norc', '--noprofile', '-c', ASK, 'ask',
                                 COMPLETION, command, *words],
                                cwd=self.tree, capture_output=True)
        self.assertEqual((result.returncode, result.stderr), (0, b''), words)
        return result.stdout.decode().split('\0')[:-1]

    def test_replies(self):
        for command, words, want in CASES:
            with self.subTest(command=command, words=words):
                got = self.ask(qktest.PROGRAM if command == 'P' else self.fake, words)
                self.assertEqual(sorted(got), sorted(want))
                self.assertEqual(len(got), len(set(got)))

    def test_registered_for_the_command(self):
        result = subprocess.run(['bash', '--norc', '--noprofile', '-c',
                                 'source "$1" && complete -p qkZareviVovoreRevu', 'ask',
                                 COMPLETION], capture_output=True)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, b'complete -F _qkZareviVovoreRevu qkZareviVovoreRevu\n', b''))

    def test_interactive_shell(self):
        # The command is a function that shows its arguments, so the line
        # readline completed can be read back.
        rc = self.path('rc')
        qktest.write(rc, b'source "$QK_COMPLETION"\n'
                         b'complete -F _qkZareviVovoreRevu fake\n'
                         b'qkZareviVovoreRevu() { printf "ARGS:"; printf "[%s]" "$@"; echo; }\n')
        lines = ''.join(line for line, _ in TYPED).format(tree=self.tree, fake=self.fake)
        master, slave = pty.openpty()
        shell = subprocess.Popen(
            ['bash', '--rcfile', rc, '--noprofile', '-i'], cwd=self.tree,
            stdin=slave, stdout=slave, stderr=slave, start_new_session=True,
            env={'PATH': os.environ['PATH'], 'HOME': self.dir, 'TERM': 'dumb',
                 'INPUTRC': '/dev/null', 'PS1': '$ ', 'QK_COMPLETION': COMPLETION})
        os.close(slave)
        os.write(master, (lines + 'exit\n').encode())
        raw = b''
        with contextlib.suppress(OSError), open(master, 'rb', 0) as tty:
            while chunk := tty.read(65536):  # EIO once the shell has gone
                raw += chunk
        self.assertEqual(shell.wait(timeout=60), 0)
        got = re.findall(rb'^ARGS:(.*?)\r?$', raw, re.M)
        self.assertEqual([g.decode() for g in got],
                         [want.format(tree=self.tree) for _, want in TYPED], raw)


if __name__ == '__main__':
    qktest.main()
