"""An archive of more entries than the classic end record can count."""
import os
import struct

import qktest


class ManyEntries(qktest.Case):

    def test_zip64_end_records(self):
        many = self.path('proj', 'Attach', 'many')
        os.mkdir(many)
        for i in range(70000):
            os.mknod(os.path.join(many, '%05d' % i))  # an empty file, one call
        self.assertSucceeded(self.qk('proj', 'out'))
        count = qktest.check_archive(self, self.path('out.zip'), self.project)
        # The zip64 end record with the true count, its locator, then the
        # classic end record, whose 16-bit counts are full.
        with open(self.path('out.zip'), 'rb') as raw:
            record = raw.seek(-98, os.SEEK_END)
            tail = struct.unpack('<I20xQQ16xI4xQ4xI4xHH10x', raw.read())
        self.assertEqual(tail, (0x06064b50, count, count, 0x07064b50, record,
                                0x06054b50, 0xFFFF, 0xFFFF))


if __name__ == '__main__':
    qktest.main()
