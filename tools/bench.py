#!/usr/bin/python3
"""Times the backup program against what an administrator would script.

Usage: bench.py PROGRAM [--cache DIR] [--runs N] [--baseline PROGRAM]
                [--out BENCHMARKS.md]

The projects are generated once from fixed seeds and kept under the cache
directory. Every timed figure alternates its contenders run by run and takes
medians, so load from other processes falls on both sides of a ratio. Peak
memory comes from /usr/bin/time -f %M around each child, never from this
process. Runs happen with the current directory in a scratch directory under
/var/tmp, which is removed at the end.
"""
import argparse
import datetime
import os
import random
import select
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

MB = 1000 * 1000
DIRS = ('Attach', 'Quillet_In', 'Quillet_Out', 'StyleSheets')
GENERATOR = 4  # bump when the projects change, so caches are rebuilt
SCRIPT_ZIP = ('sqlite3 "$1/qkproj.db" ".backup $2/qkproj.db" && '
              'cp -r "$1/Attach" "$1/Quillet_In" "$1/Quillet_Out" '
              '"$1/StyleSheets" "$2" && (cd "$2" && zip -qr -6 "$3" .) && '
              'rm -rf "$2"')
SCRIPT_COPY = ('sqlite3 "$1/qkproj.db" ".backup $2/qkproj.db" && '
               'cp -r "$1/Attach" "$1/Quillet_In" "$1/Quillet_Out" '
               '"$1/StyleSheets" "$2"')
SCRIPT_TEXT = {'zip': SCRIPT_ZIP, 'copy': SCRIPT_COPY}


# ---- project generation -------------------------------------------------

class Content:
    """Deterministic file bodies: text that deflates like prose, and random
    bytes framed like a JPEG, which do not deflate at all."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        vocabulary = [''.join(self.rng.choice('etaoinshrdlucmfwypvbgkqjxz')
                              for _ in range(self.rng.randint(2, 10)))
                      for _ in range(6000)]
        weights = [1.0 / (rank + 1) for rank in range(len(vocabulary))]
        words = self.rng.choices(vocabulary, weights, k=700000)
        for i in range(0, len(words), 14):
            words[i] = words[i].capitalize()
            words[i - 1] += '.\n' if i % 126 == 0 else '.'
        self.pool = ' '.join(words).encode()

    def text(self, size):
        out = bytearray()
        while len(out) < size:
            start = self.rng.randrange(len(self.pool) - 1)
            out += self.pool[start:start + size - len(out)]
        return bytes(out)

    def jpeg(self, size):
        header = (b'\xff\xd8\xff\xe0\x00\x10JFIF'
                  b'\x00\x01\x01\x00\x00\x01\x00\x01')
        body = self.rng.randbytes(max(size - len(header) - 2, 0))
        return (header + body + b'\xff\xd9')[:size]


def sizes(rng, count, total):
    """`count` sizes that vary threefold and add up to `total` exactly."""
    raw = [rng.uniform(0.5, 1.5) for _ in range(count)]
    scale = total / sum(raw)
    out = [int(r * scale) for r in raw]
    out[-1] += total - sum(out)
    return out


def make_database(path, content, size):
    db = sqlite3.connect(path)
    db.execute('PRAGMA journal_mode=OFF')
    db.execute('CREATE TABLE documents (id INTEGER PRIMARY KEY, title TEXT,'
               ' body TEXT)')
    db.execute('CREATE TABLE writer_log (id INTEGER PRIMARY KEY, at REAL)')
    written, row = 0, 0
    while written < size * 0.84:  # page and record overhead make up the rest
        body = content.text(content.rng.randint(500, 6000))
        row += 1
        db.execute('INSERT INTO documents VALUES (?, ?, ?)',
                   (row, 'Document %d' % row, body.decode()))
        written += len(body) + 20
    db.commit()
    db.close()


def write_files(root, content, files):
    """files: (relative directory, count, kind, total bytes) groups."""
    number = 0
    for directory, count, kind, total in files:
        for size in sizes(content.rng, count, total):
            number += 1
            sub = os.path.join(root, directory, '%02d' % (number % 37))
            os.makedirs(sub, exist_ok=True)
            name = 'item%05d.%s' % (number, 'jpg' if kind == 'jpeg' else 'txt')
            with open(os.path.join(sub, name), 'wb') as f:
                f.write(content.jpeg(size) if kind == 'jpeg'
                        else content.text(size))


# name: (seed, database bytes, file groups); the benchmark project holds
# 2,000 files and the database, 240 MB, 45% of it incompressible.
PROJECTS = {
    'benchmark': (1, 75 * MB, [
        ('Attach/photos', 400, 'jpeg', 108 * MB),
        ('Attach/documents', 500, 'text', 20 * MB),
        ('Quillet_In', 500, 'text', 16 * MB),
        ('Quillet_Out', 560, 'text', 18 * MB),
        ('StyleSheets', 40, 'text', 3 * MB)]),
    'files20k': (2, 2 * MB, [
        ('Attach', 4000, 'jpeg', 12 * MB),
        ('Attach/notes', 6000, 'text', 18 * MB),
        ('Quillet_In', 5000, 'text', 15 * MB),
        ('Quillet_Out', 4900, 'text', 15 * MB),
        ('StyleSheets', 100, 'text', 300000)]),
    'files40k': (3, 2 * MB, [
        ('Attach', 8000, 'jpeg', 24 * MB),
        ('Attach/notes', 12000, 'text', 36 * MB),
        ('Quillet_In', 10000, 'text', 30 * MB),
        ('Quillet_Out', 9800, 'text', 30 * MB),
        ('StyleSheets', 200, 'text', 600000)]),
    'tiny': (4, 0, [(d, 1, 'text', 100) for d in DIRS]),
}


def project(cache, name):
    """The project's path, generated unless the cache already holds it."""
    seed, db_size, files = PROJECTS[name]
    root = os.path.abspath(os.path.join(cache, name))
    stamp = os.path.join(root, '.generated')
    key = '%d %d %r\n' % (GENERATOR, seed, PROJECTS[name])
    if os.path.exists(stamp) and open(stamp).read() == key:
        return root
    if os.path.isdir(root):
        shutil.rmtree(root)
    print('generating the %s project in %s ...' % (name, root), flush=True)
    os.makedirs(root)
    for directory in DIRS:
        os.makedirs(os.path.join(root, directory))
    content = Content(seed)
    make_database(os.path.join(root, 'qkproj.db'), content, db_size)
    write_files(root, content, files)
    with open(stamp, 'w') as f:
        f.write(key)
    return root


def file_count(root):
    return sum(len(names) for _, _, names in os.walk(root)) - 1  # the stamp


# ---- child processes ----------------------------------------------------

class Runner:
    def __init__(self, scratch):
        self.scratch = scratch
        self.counter = 0

    def fresh(self, name):
        """A path in the scratch directory that does not exist yet."""
        self.counter += 1
        return os.path.join(self.scratch, '%s%d' % (name, self.counter))

    def timed(self, command):
        """Runs `command` under /usr/bin/time; (seconds, peak KiB)."""
        peak_file = self.fresh('peak')
        start = time.monotonic()
        done = subprocess.run(
            ['/usr/bin/time', '-f', '%M', '-o', peak_file] + command,
            cwd=self.scratch, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE)
        seconds = time.monotonic() - start
        if done.returncode != 0:
            sys.exit('bench: %s failed (%d): %s' % (
                ' '.join(command), done.returncode, done.stderr.decode()))
        with open(peak_file) as f:
            peak = int(f.read().split()[-1])
        os.unlink(peak_file)
        return seconds, peak

    def program(self, program, args, source, suffix):
        """One backup by the program; (seconds, peak KiB, output bytes)."""
        destination = self.fresh('out') + suffix
        seconds, peak = self.timed([program] + args + [source, destination])
        size = tree_size(destination)
        remove(destination)
        return seconds, peak, size

    def script(self, kind, source):
        work, archive = self.fresh('work'), self.fresh('out') + '.zip'
        os.mkdir(work)
        seconds, peak = self.timed(['sh', '-c', SCRIPT_TEXT[kind], 'sh',
                                    source, work, archive])
        size = tree_size(archive if kind == 'zip' else work)
        remove(archive)
        remove(work)
        return seconds, peak, size

    def deflate(self, source):
        seconds, peak = self.timed([sys.executable, os.path.abspath(__file__),
                                    '--deflate-pass', source])
        return seconds, peak, 0


def tree_size(path):
    if os.path.isfile(path):
        return os.path.getsize(path)
    return sum(os.path.getsize(os.path.join(d, n))
               for d, _, names in os.walk(path) for n in names)


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


def alternate(runs, contenders):
    """contenders: name -> callable giving a tuple; medians per field."""
    results = {name: [] for name in contenders}
    names = list(contenders)
    for run in range(runs):
        # Rotate who goes first, so neither side always runs on a warm disk.
        for name in names[run % len(names):] + names[:run % len(names)]:
            results[name].append(contenders[name]())
    return {name: tuple(statistics.median(field) for field in zip(*values))
            for name, values in results.items()}


# ---- the writer that waits on the backup --------------------------------

def writer_main(database):
    """Commits a row every 2 ms until a line arrives on stdin holding the
    window to judge; prints the longest and the number of commits in it."""
    db = sqlite3.connect(database, timeout=0, isolation_level=None)
    # Lock waits are the measure, not this machine's disk flushes.
    db.execute('PRAGMA synchronous=OFF')
    commits = []
    print('ready', flush=True)
    while not select.select([sys.stdin], [], [], 0)[0]:
        start = time.monotonic()
        db.execute('BEGIN IMMEDIATE')
        db.execute('INSERT INTO writer_log (at) VALUES (?)', (start,))
        while True:
            try:
                db.execute('COMMIT')
                break
            except sqlite3.OperationalError:  # a reader holds the file
                time.sleep(0.0002)
        commits.append((start, time.monotonic() - start))
        time.sleep(max(start + 0.002 - time.monotonic(), 0))
    first, last = (float(x) for x in sys.stdin.readline().split())
    waits = [wait for start, wait in commits if first <= start <= last]
    print(max(waits), len(waits))


def writer_wait(runner, program, source):
    """Longest commit wait of the writer during a database-only backup."""
    copy = runner.fresh('live')
    os.mkdir(copy)
    for directory in DIRS:
        os.mkdir(os.path.join(copy, directory))
    shutil.copyfile(os.path.join(source, 'qkproj.db'),
                    os.path.join(copy, 'qkproj.db'))
    writer = subprocess.Popen([sys.executable, os.path.abspath(__file__),
                               '--writer', os.path.join(copy, 'qkproj.db')],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
    writer.stdout.readline()
    time.sleep(0.3)
    first = time.monotonic()
    seconds, _, _ = runner.program(program, ['-d', '-n'], copy, '')
    last = time.monotonic()
    out, _ = writer.communicate('%f %f\n' % (first, last))
    remove(copy)
    longest, commits = out.split()
    return float(longest), int(commits), seconds


def deflate_main(source):
    """Deflates every byte of the project once, as zlib's default does."""
    for directory, _, names in os.walk(source):
        for name in names:
            packer = zlib.compressobj(6, zlib.DEFLATED, -15)
            with open(os.path.join(directory, name), 'rb') as f:
                while True:
                    block = f.read(262144)
                    if not block:
                        break
                    packer.compress(block)
            packer.flush()


# ---- system calls -------------------------------------------------------

def syscalls(runner, command):
    """Total system calls of `command` and its children under strace -c."""
    summary = runner.fresh('strace')
    subprocess.run(['strace', '-f', '-c', '-o', summary] + command,
                   cwd=runner.scratch, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    with open(summary) as f:
        total = [line for line in f if line.rstrip().endswith('total')]
    os.unlink(summary)
    return int(total[-1].split()[3])


def syscalls_per_file(runner, program, source, files):
    figures = {}
    for label, args, kind in (('zip backup', [], 'zip'),
                              ('-n backup', ['-n'], 'copy')):
        destination = runner.fresh('out') + ('.zip' if kind == 'zip' else '')
        ours = syscalls(runner, [program] + args + [source, destination])
        remove(destination)
        work, archive = runner.fresh('work'), runner.fresh('out') + '.zip'
        os.mkdir(work)
        theirs = syscalls(runner, ['sh', '-c', SCRIPT_TEXT[kind], 'sh',
                                   source, work, archive])
        remove(work)
        remove(archive)
        figures[label] = (ours / files, theirs / files)
    return figures


# ---- figures ------------------------------------------------------------

class Report:
    def __init__(self, baseline):
        self.baseline = baseline
        self.rows = []

    def add(self, figure, ours, other, ratio, goal, limit, before=None):
        # A figure without a limit is shown for comparison only.
        holds = '—' if limit is None else 'yes' if ratio <= limit else 'NO'
        self.rows.append((figure, ours, other, '%.2f×' % ratio, goal, holds,
                          before))
        line = '%-44s %12s  vs %-26s %7.2f×  goal %-12s %s' % (
            figure, ours, other, ratio, goal, holds)
        if before is not None:
            line += '  (baseline %s)' % before
        print(line, flush=True)

    def markdown(self):
        head = '| figure | this build | compared with | ratio | goal | holds |'
        rule = '|---|---|---|---|---|---|'
        if self.baseline:
            head += ' baseline build |'
            rule += '---|'
        lines = [head, rule]
        for row in self.rows:
            cells = list(row[:6]) + ([row[6] or ''] if self.baseline else [])
            lines.append('| ' + ' | '.join(cells) + ' |')
        return '\n'.join(lines)


def seconds(value):
    return '%.2f s' % value


def mib(kib):
    return '%.1f MiB' % (kib / 1024)


def contenders(program, baseline, mine):
    """`mine` maps a name to a callable taking the program; the baseline
    build, when given, alternates with the others."""
    table = {name: (lambda f=f: f(program)) for name, f in mine.items()}
    if baseline:
        table['baseline'] = lambda: mine['ours'](baseline)
    return table


def bench_zip(report, runner, args, source):
    got = alternate(args.runs, contenders(args.program, args.baseline, {
        'ours': lambda p: runner.program(p, [], source, '.zip'),
        'script': lambda p: runner.script('zip', source),
        'deflate': lambda p: runner.deflate(source)}))
    ours, script, deflate = got['ours'], got['script'], got['deflate']
    base = got.get('baseline')
    report.add('zip backup, benchmark project', seconds(ours[0]),
               'script ' + seconds(script[0]), ours[0] / script[0], '≤ 0.80×',
               0.80, base and seconds(base[0]))
    report.add('zip backup vs deflating every byte once', seconds(ours[0]),
               'zlib pass ' + seconds(deflate[0]), ours[0] / deflate[0],
               '≤ 0.95×', 0.95)
    report.add('archive size', '%.1f MB' % (ours[2] / MB),
               'zip -6 %.1f MB' % (script[2] / MB), ours[2] / script[2],
               '≤ 1.005×', 1.005, base and '%.1f MB' % (base[2] / MB))
    report.add('peak memory, benchmark project', mib(ours[1]), '6 MiB',
               ours[1] / 6144, '≤ 1.00×', 1.0, base and mib(base[1]))


def bench_copy(report, runner, args, source):
    got = alternate(args.runs, contenders(args.program, args.baseline, {
        'ours': lambda p: runner.program(p, ['-n'], source, ''),
        'script': lambda p: runner.script('copy', source)}))
    ours, script, base = got['ours'], got['script'], got.get('baseline')
    report.add('-n backup, benchmark project', seconds(ours[0]),
               'script ' + seconds(script[0]), ours[0] / script[0], '≤ 1.10×',
               1.10, base and seconds(base[0]))


def bench_tiny(report, runner, args, source):
    got = alternate(args.runs, contenders(args.program, args.baseline, {
        'ours': lambda p: runner.program(p, [], source, '.zip')}))
    base = got.get('baseline')
    report.add('peak memory, tiny project', mib(got['ours'][1]), '6 MiB',
               got['ours'][1] / 6144, '≤ 1.00×', 1.0, base and mib(base[1]))


def bench_many(report, runner, args, small, large):
    # Both sizes alternate in one round, so their ratio sees the same load.
    def backup(program, source):
        return lambda: runner.program(program, [], source, '.zip')
    table = {'ours': backup(args.program, small),
             'script': lambda: runner.script('zip', small),
             'ours large': backup(args.program, large)}
    if args.baseline:
        table['baseline'] = backup(args.baseline, small)
        table['baseline large'] = backup(args.baseline, large)
    got = alternate(args.runs, table)
    ours, script, base = got['ours'], got['script'], got.get('baseline')
    large_ours, large_base = got['ours large'], got.get('baseline large')
    report.add('zip backup, %d files' % file_count(small), seconds(ours[0]),
               'script ' + seconds(script[0]), ours[0] / script[0], '≤ 1.10×',
               1.10, base and seconds(base[0]))
    report.add('zip backup, %d files' % file_count(large),
               seconds(large_ours[0]), seconds(ours[0]),
               large_ours[0] / ours[0], '≤ 2.20×', 2.20,
               base and seconds(large_base[0]))
    added = file_count(large) - file_count(small)
    per_file = (large_ours[1] - ours[1]) * 1024 / added
    before = base and '%.0f B' % ((large_base[1] - base[1]) * 1024 / added)
    report.add('peak memory per additional file', '%.0f B' % per_file,
               '120 B', per_file / 120, '≤ 1.00×', 1.0, before)


def bench_writer(report, runner, args, source):
    got = alternate(args.runs, contenders(args.program, args.baseline, {
        'ours': lambda p: writer_wait(runner, p, source)}))
    ours, base = got['ours'], got.get('baseline')
    if base:
        report.add('longest commit wait during step 2', '%.1f ms' % (
            ours[0] * 1000), 'baseline %.1f ms' % (base[0] * 1000),
            ours[0] / base[0], '≤ 1.00×', 1.0, '%.1f ms' % (base[0] * 1000))
    else:
        print('%-44s %9.1f ms  (%d commits; goal: no longer than the baseline'
              ' build, see --baseline)' % ('longest commit wait during step 2',
                                           ours[0] * 1000, ours[1]))
        report.rows.append(('longest commit wait during step 2', '%.1f ms' % (
            ours[0] * 1000), '', '', '≤ baseline', '?', None))


def bench_syscalls(report, runner, args, source):
    files = file_count(source)
    figures = syscalls_per_file(runner, args.program, source, files)
    before = (syscalls_per_file(runner, args.baseline, source, files)
              if args.baseline else {})
    for label, (ours, theirs) in figures.items():
        report.add('system calls per file, %s, %d files' % (label, files),
                   '%.1f' % ours,
                   'script %.1f' % theirs, ours / theirs, 'fewer', None,
                   '%.1f' % before[label][0] if label in before else None)


# ---- the report file ----------------------------------------------------

def machine(path):
    with open('/proc/cpuinfo') as f:
        models = [line.split(':', 1)[1].strip() for line in f
                  if line.startswith('model name')]
    mount = subprocess.run(['findmnt', '-no', 'SOURCE,FSTYPE', '-T', path],
                           capture_output=True, text=True).stdout.split()
    device = os.path.basename(mount[0]) if mount else '?'
    rotational = '/sys/block/%s/queue/rotational' % device
    kind = ''
    if os.path.exists(rotational):
        spins = open(rotational).read().strip() == '1'
        kind = ' (rotational)' if spins else ' (solid state)'
    return ('%d cores (nproc), %s; Linux %s; disk %s %s%s' % (
        os.cpu_count(), models[0] if models else '?', os.uname().release,
        mount[0] if mount else '?', mount[1] if len(mount) > 1 else '',
        kind))


BEGIN, END = '<!-- bench:begin -->', '<!-- bench:end -->'


def write_markdown(args, report, elapsed):
    section = '\n'.join([
        BEGIN,
        '## Latest run',
        '',
        '%s, %d runs per contender, alternated, medians; %.0f s in all.' % (
            datetime.datetime.now().strftime('%Y-%m-%d %H:%M'), args.runs,
            elapsed),
        '',
        'Machine: %s.' % machine(args.cache),
        '',
        report.markdown(),
        '',
        'Commands (`$P` the project, `$W` a fresh working directory, `$Z` the'
        ' archive, `$D` the backup directory):',
        '',
        '- ours, zip: `qkZareviVovoreRevu $P $Z`; `-n`: `qkZareviVovoreRevu'
        ' -n $P $D`; writer test: `qkZareviVovoreRevu -d -n $P $D`',
        '- script, zip: `%s`' % SCRIPT_ZIP.replace('"$1', '"$P').replace(
            '$2', '$W').replace('"$3"', '"$Z"').replace('$1', '$P'),
        '- script, `-n`: `%s`' % SCRIPT_COPY.replace('"$1', '"$P').replace(
            '$2', '$W').replace('$1', '$P'),
        '- zlib pass: every file of the project through'
        ' `zlib.compressobj(6, DEFLATED, -15)`, output discarded',
        '- peak memory: `/usr/bin/time -f %M` around each child process',
        '- commit wait: a second process commits one row every 2 ms'
        ' (`BEGIN IMMEDIATE`, insert, `COMMIT` retried every 0.2 ms while'
        ' busy, synchronous off) on a copy of the benchmark database; the'
        ' figure is the longest wait among commits begun during the backup',
        '- system calls: `strace -f -c`, total calls divided by the'
        ' project\'s files',
        END])
    text = ''
    if os.path.exists(args.out):
        text = open(args.out).read()
    if BEGIN in text and END in text:
        text = (text[:text.index(BEGIN)] + section +
                text[text.index(END) + len(END):])
    else:
        text = ('# Benchmarks\n\nWritten by `make bench` (tools/bench.py).\n\n'
                + section + '\n')
    with open(args.out, 'w') as f:
        f.write(text)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == '--writer':
        return writer_main(sys.argv[2])
    if len(sys.argv) == 3 and sys.argv[1] == '--deflate-pass':
        return deflate_main(sys.argv[2])
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('program')
    parser.add_argument('--cache', default='build/bench')
    parser.add_argument('--runs', type=int, default=3)
    parser.add_argument('--baseline', help='another build to run alongside')
    parser.add_argument('--out', default='BENCHMARKS.md')
    parser.add_argument('--only', help='comma-separated: zip,copy,tiny,many,'
                        'writer,syscalls')
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)
    args.baseline = args.baseline and os.path.abspath(args.baseline)
    args.cache = os.path.abspath(args.cache)
    args.out = os.path.abspath(args.out)
    wanted = args.only.split(',') if args.only else None
    started = time.monotonic()
    sources = {name: project(args.cache, name) for name in PROJECTS}
    scratch = tempfile.mkdtemp(prefix='qkbench.', dir='/var/tmp')
    try:
        runner, report = Runner(scratch), Report(args.baseline)
        steps = [('zip', bench_zip, ['benchmark']),
                 ('copy', bench_copy, ['benchmark']),
                 ('tiny', bench_tiny, ['tiny']),
                 ('many', bench_many, ['files20k', 'files40k']),
                 ('writer', bench_writer, ['benchmark']),
                 ('syscalls', bench_syscalls, ['files20k'])]
        for name, step, needs in steps:
            if wanted is None or name in wanted:
                step(report, runner, args, *[sources[n] for n in needs])
    finally:
        shutil.rmtree(scratch)
    write_markdown(args, report, time.monotonic() - started)
    print('wrote %s' % args.out)


if __name__ == '__main__':
    main()
