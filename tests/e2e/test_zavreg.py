"""zavreg, the registry tool: round trips in the service's own format, files
written by hand, and clear failures with non-zero exits."""
import os
import shutil
import subprocess
import tempfile
import unittest

from zavsandbox import PARAMS, stage_dir

KEYDIR = 'HKEY_LOCAL_MACHINE/SYSTEM/CURRENTCONTROLSET/SERVICES/ZAVSYSTEMMANAGEMENTSERVICE/PARAMETERS'


class Zavreg(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix='zavreg-')
        self.addCleanup(shutil.rmtree, self.root, True)
        self.exe = os.path.join(stage_dir(), 'opt/kym/tolvex_sa/bin/zavreg')

    def reg(self, *args):
        return subprocess.run([self.exe, '--root', self.root] + [str(a) for a in args], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True)

    def value_file(self, name):
        return os.path.join(self.root, KEYDIR, 'V_' + name.upper())

    def test_create_set_get_list_delete(self):
        self.assertEqual(0, self.reg('create', PARAMS).returncode)
        self.assertEqual(0, self.reg('set', PARAMS, 'MonitorInterval', 'dword', '0x3C').returncode)
        self.assertEqual(0, self.reg('set', PARAMS, 'CheckedTime', 'sz', '2026-12-07 00:00:00').returncode)
        self.assertEqual('dword:60\n', open(self.value_file('MonitorInterval')).read())
        self.assertEqual('sz:2026-12-07 00:00:00\n', open(self.value_file('CheckedTime')).read())
        # Names are case-insensitive.
        self.assertEqual('dword 60\n', self.reg('get', PARAMS.lower(), 'monitorinterval').stdout)
        self.assertEqual('CHECKEDTIME sz 2026-12-07 00:00:00\nMONITORINTERVAL dword 60\n',
                         self.reg('list', PARAMS).stdout)
        self.assertEqual(0, self.reg('delete', PARAMS, 'CheckedTime').returncode)
        self.assertFalse(os.path.exists(self.value_file('CheckedTime')))
        self.assertEqual(1, self.reg('get', PARAMS, 'CheckedTime').returncode)
        self.assertEqual([], [f for f in os.listdir(os.path.dirname(self.value_file('x'))) if '.tmp' in f])

    def test_hand_written_files_read_back(self):
        self.reg('create', PARAMS)
        for content, shown in ((b'dword:60\n', 'dword 60\n'), (b'dword:60', 'dword 60\n'),
                               (b'dword:0xFFFFFFFF\n', 'dword 4294967295\n'), (b'sz:a b\n', 'sz a b\n'),
                               (b'expand_sz:%ZavDir%/log\n', 'expand_sz %ZavDir%/log\n')):
            with open(self.value_file('V'), 'wb') as f:
                f.write(content)
            r = self.reg('get', PARAMS, 'V')
            self.assertEqual((0, shown), (r.returncode, r.stdout), content)

    def test_failures_exit_non_zero_with_a_message(self):
        self.reg('create', PARAMS)
        cases = [
            (('get', 'NO\\SUCH\\KEY', 'X'), 1),
            (('get', PARAMS, 'Missing'), 1),
            (('set', PARAMS, 'X', 'dword', '-1'), 1),
            (('set', PARAMS, 'X', 'dword', '4294967296'), 1),
            (('set', PARAMS, 'X', 'dword', '12abc'), 1),
            (('set', PARAMS, 'X', 'sz', 'x' * 128), 1),
            (('set', PARAMS, 'X', 'qword', '1'), 2),
            (('set', PARAMS, 'X', 'dword'), 2),
            (('frobnicate', PARAMS), 2),
            (('get', '..\\..\\etc', 'passwd'), 1),
            ((), 2),
        ]
        for args, status in cases:
            r = self.reg(*args)
            self.assertEqual(status, r.returncode, args)
            self.assertTrue(r.stderr.strip(), 'no message for %r' % (args,))
        self.assertEqual(0, self.reg('set', PARAMS, 'X', 'sz', 'x' * 127).returncode)
        for junk in (b'', b'dword:', b'dword: 5', b'dwo', b'\xff\x00\x01', b'dword:5\n\n'):
            with open(self.value_file('J'), 'wb') as f:
                f.write(junk)
            r = self.reg('get', PARAMS, 'J')
            self.assertEqual(1, r.returncode, junk)
            self.assertIn('J', r.stderr)


if __name__ == '__main__':
    unittest.main()
