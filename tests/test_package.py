"""The Debian package: built from the build tree, unpacked, and its program run."""
import os
import re
import subprocess

import qktest

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..')
EXAMPLES = 'usr/share/doc/qkzarevivovorerevu/examples'


class Package(qktest.Case):

    def test_unpacked_package_backs_up_a_project(self):
        # The build tree beside the program holds the packaging configuration.
        config = os.path.join(os.path.dirname(qktest.PROGRAM), 'CPackConfig.cmake')
        subprocess.run(['cpack', '--config', config, '-B', self.path('pkg')],
                       cwd=self.dir, check=True, stdout=subprocess.DEVNULL)
        debs = [n for n in os.listdir(self.path('pkg')) if n.endswith('.deb')]
        self.assertEqual(len(debs), 1, debs)
        self.assertRegex(debs[0], r'^qkzarevivovorerevu_1\.5_[a-z0-9]+\.deb$')
        deb, root = self.path('pkg', debs[0]), self.path('root')
        fields = subprocess.run(['dpkg-deb', '-f', deb, 'Package', 'Version', 'Depends'],
                                check=True, capture_output=True).stdout.decode()
        self.assertRegex(fields, r'^Package: qkzarevivovorerevu\nVersion: 1\.5\nDepends: ')
        depends = set(re.findall(r'(?:Depends: |, )([a-z0-9.+-]+)', fields))
        self.assertLessEqual({'libsqlite3-0', 'libminizip1'}, depends)
        subprocess.run(['dpkg-deb', '-x', deb, root], check=True)

        for rel, source in [('usr/share/man/man1/qkZareviVovoreRevu.1',
                             'man/qkZareviVovoreRevu.1'),
                            (EXAMPLES + '/qkZareviVovoreRevu@.service',
                             'contrib/qkZareviVovoreRevu@.service'),
                            (EXAMPLES + '/qkZareviVovoreRevu@.timer',
                             'contrib/qkZareviVovoreRevu@.timer')]:
            self.assertEqual(qktest.read(os.path.join(root, rel)),
                             qktest.read(os.path.join(SOURCE, source)), rel)

        qktest.PROGRAM, built = os.path.join(root, 'usr/bin/qkZareviVovoreRevu'), qktest.PROGRAM
        self.addCleanup(setattr, qktest, 'PROGRAM', built)
        self.assertEqual(qktest.run(['-v']), (qktest.VERSION, b'', 0))
        self.assertSucceeded(self.qk(self.project, self.path('out')))
        qktest.check_archive(self, self.path('out.zip'), self.project)


if __name__ == '__main__':
    qktest.main()
