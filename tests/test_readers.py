"""Archives as common readers see them: every entry, no warning, names intact."""
import os
import subprocess
import tempfile
import zipfile

import qktest

NAMES = {  # added to the fixture project; None for a directory
    'Attach/café.txt': 'café\n'.encode(),
    'Attach/日本.txt': '日本\n'.encode(),
    'Attach/Grüße': None,
    'Attach/Grüße/Straße.txt': b'two\n',
}


class Readers(qktest.Case):

    def test_every_reader_lists_and_restores_every_name(self):
        for rel, data in NAMES.items():
            full = os.path.join(self.project, rel)
            if data is None:
                os.mkdir(full)
            else:
                qktest.write(full, data)
        self.assertSucceeded(self.qk('proj', 'out'))
        archive, want = self.path('out.zip'), qktest.tree(self.project)
        qktest.check_readers(self, archive, qktest.entry_names(self.project))
        utf8 = dict(os.environ, LC_ALL='C.UTF-8')
        for extract in (lambda to: subprocess.run(['unzip', '-q', archive, '-d', to],
                                                  check=True, env=utf8),
                        lambda to: zipfile.ZipFile(archive).extractall(to)):
            restored = tempfile.mkdtemp(dir=self.dir)
            extract(restored)
            qktest.assert_same_tree(self, qktest.tree(restored), want)


if __name__ == '__main__':
    qktest.main()
