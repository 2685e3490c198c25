"""Backups of a database that other processes use while the run goes on."""
import os
import resource
import sqlite3
import subprocess
import sys

import qktest

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
INVARIANT = ('SELECT (SELECT total FROM totals) = (SELECT sum(amount) FROM detail), '
             'count(*) > 0 FROM detail', [(1, 1)])


def cpu_of_children():
    return sum(resource.getrusage(resource.RUSAGE_CHILDREN)[:2])  # user and system


class Live(qktest.Case):

    def test_steady_commits_during_the_backup(self):
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
        # A snapshot from the middle of the writer's work.
        qktest.check_archive(self, self.path('out.zip'), self.project, self.window,
                             queries=[INVARIANT, (
            'SELECT count(*) < %d FROM detail' % commits, [(1,)])])

    def test_waits_for_an_exclusive_lock(self):
        seconds = 3
        locker = qktest.hold_lock(self.path('proj', 'qkproj.db'), seconds)
        cpu = cpu_of_children()
        result = self.qk('proj', 'out')
        cpu = cpu_of_children() - cpu
        locker.join()
        self.assertSucceeded(result)
        # The copy is taken after the lock's transaction committed.
        qktest.check_archive(self, self.path('out.zip'), self.project, self.window,
                             queries=[("SELECT name FROM items WHERE id > 100",
                                       [('under lock',)])])
        # Waiting is not spinning: most of the lock's time the program sleeps.
        self.assertLess(cpu, seconds / 2)


if __name__ == '__main__':
    qktest.main()
