"""Backups of a database that other processes use while the run goes on."""
import os
import resource
import sqlite3
import subprocess
import sys

import qktest

# Keeps totals equal to the sum of the details, one small commit at a time,
# until the stop file appears.
WRITER = r'''
import os, random, sqlite3, sys, time
db = sqlite3.connect(sys.argv[1], timeout=60, isolation_level=None)
commits = 0
while not os.path.exists(sys.argv[2]):
    amount = random.randint(1, 1000)
    db.execute('BEGIN IMMEDIATE')
    db.execute('INSERT INTO detail (amount) VALUES (?)', (amount,))
    db.execute('UPDATE totals SET total = total + ? WHERE id = 1', (amount,))
    db.execute('COMMIT')
    commits += 1
    if commits == 1:
        print('writing', flush=True)
    time.sleep(0.003)
print(commits, flush=True)
'''
INVARIANT = ('SELECT (SELECT total FROM totals) = (SELECT sum(amount) FROM detail), '
             'count(*) > 0 FROM detail', [(1, 1)])


def cpu_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


class Live(qktest.Case):

    def setUp(self):
        super().setUp()
        self.db = self.path('proj', 'qkproj.db')

    def test_steady_commits_during_the_backup(self):
        with sqlite3.connect(self.db) as db:
            db.execute('CREATE TABLE filler (data BLOB)')
            db.executemany('INSERT INTO filler VALUES (randomblob(1000))', [()] * 26000)
            db.execute('CREATE TABLE detail (id INTEGER PRIMARY KEY, amount INTEGER)')
            db.execute('CREATE TABLE totals (id INTEGER PRIMARY KEY, total INTEGER)')
            db.execute('INSERT INTO totals VALUES (1, 0)')
        db.close()
        self.assertGreater(os.path.getsize(self.db), 25 << 20)
        stop = self.path('stop')
        writer = subprocess.Popen([sys.executable, '-c', WRITER, self.db, stop],
                                  stdout=subprocess.PIPE)
        try:
            self.assertEqual(writer.stdout.readline(), b'writing\n')
            result = self.qk('proj', 'out')
        finally:
            qktest.write(stop, b'')
            commits = int(writer.communicate()[0])
        self.assertSucceeded(result)
        # A snapshot from the middle of the writer's work.
        qktest.check_archive(self, self.path('out.zip'), self.project, self.window,
                             queries=[INVARIANT, (
            'SELECT count(*) < %d FROM detail' % commits, [(1,)])])

    def test_waits_for_an_exclusive_lock(self):
        seconds = 3
        locker = qktest.hold_lock(self.db, seconds)
        cpu = cpu_of_children()
        result = self.qk('proj', 'out')
        cpu = cpu_of_children() - cpu
        locker.communicate()
        self.assertSucceeded(result)
        # The copy is taken after the lock's transaction committed.
        qktest.check_archive(self, self.path('out.zip'), self.project, self.window,
                             queries=[("SELECT name FROM items WHERE id > 100",
                                       [('under lock',)])])
        # Waiting is not spinning: most of the lock's time the program sleeps.
        self.assertLess(cpu, seconds / 2)


if __name__ == '__main__':
    qktest.main()
