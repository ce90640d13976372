"""The administrator's tools on the installed tree: zavsmcheck's definition-file and settings reports,
zavreg's failures. (What zavsmcheck announces of a poll is checked against the daemon in the scenarios.)
"""
import json
import unittest

from zavsandbox import LOGKEY, PARAMS, open_sandbox

CHECK = '/opt/kym/tolvex_sa/bin/zavsmcheck'


class Tools(unittest.TestCase):
    def check(self, sb, *args):
        r = sb.run([CHECK, '--json'] + list(args), timeout=120)
        return r['rc'], [json.loads(line) for line in r['stdout'].splitlines() if line.strip()]

    def test_conf_settings_and_zavreg_failures(self):
        with open_sandbox(self) as sb:
            sb.write_conf('[00010002]\n[00010003]\n[00010002]\n')
            rc, out = self.check(sb, 'conf')
            self.assertEqual((0, [None, None, 0]), (rc, [o.get('duplicate_of') for o in out[:3]]))
            sb.write_conf('# c\n[00010002]\n\n[00000002]\n')
            rc, out = self.check(sb, 'conf')
            self.assertEqual((1, 4, '[GetTargetEventInfo],Error,Read=00000002 Index = 01'), (rc, out[-1]['line'], out[-1]['log']))
            sb.set_reg(PARAMS, 'MonitorInterval', 'dword', 3)
            sb.set_reg(LOGKEY, 'LogLevel', 'sz', 'five')
            rc, out = self.check(sb, 'settings')
            got = dict((o['name'], (o['effective'], o['source'])) for o in out)
            self.assertEqual((0, ('10', 'clamped'), ('3', 'malformed'), ('0', 'default'), 'imports'),
                             (rc, got['MonitorInterval'], got['LogLevel'], got['ServiceStart'],
                              got['controller module'][1]))
            for args, status in ((('get', 'NO\\SUCH', 'X'), 1), (('get', PARAMS, 'Missing'), 1),
                                 (('set', PARAMS, 'X', 'dword', '4294967296'), 1), (('get', '..\\..\\etc', 'passwd'), 1),
                                 (('set', PARAMS, 'X', 'sz', 'x' * 128), 1), (('set', PARAMS, 'X', 'qword', '1'), 2), ((), 2)):
                r = sb.zavreg(*args)
                self.assertEqual((status, True), (r.returncode, bool(r.stderr.strip())), args)


if __name__ == '__main__':
    unittest.main()
