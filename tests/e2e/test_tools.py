"""The administrator's tools on the installed tree.
zavsmcheck announces what the daemon then does: in each step the check runs first (and leaves every
file of the install as it was), then the daemon polls once on the same state and must record and
report exactly what was announced. zavreg round-trips values in the service's format and fails clearly.
"""
import json
import os
import unittest

from zavsandbox import LOGKEY, PARAMS, TABLE, open_sandbox

CHECK = '/opt/kym/tolvex_sa/bin/zavsmcheck'


def E(n, cls, code, sev, created, updated=None, msg=u'entry'):
    return {'EventNumber': n, 'Class': cls, 'Code': code, 'Severity': sev, 'Repaired': 0, 'Message': msg,
            'Created': '2026-12-07T' + created, 'Updated': '2026-12-07T' + (updated or created),
            'RecommendedAction': u'Check it'}


FIRST = [E(1, 1, 2, 'OK', '04:00:00'), E(2, 1, 2, 'Critical', '04:10:00', '05:00:00'), E(3, 5, 1, 'Warning', '04:20:00')]
# name, clock, entries, the state the check gives each entry
STEPS = [('first start', '05:00:00', FIRST, 'new new new'),
         ('restart', '06:00:00', FIRST[:1] + [dict(FIRST[1], Updated='2026-12-07T05:30:00'), FIRST[2],
                                              E(4, 0x23, 0x1A05, 'Critical', '05:40:00'),
                                              E(5, 0x23, 0x1A05, 'Warning', '06:00:05')],
          'checked updated checked new new'),
         ('log cleared', '07:00:00', [E(1, 0x23, 0x1A05, 'OK', '05:59:00'), E(2, 1, 2, 'Critical', '06:30:00')],
          'checked new')]


def snapshot(sb):
    out = {}
    for top in ('registry', 'log', 'data'):
        for folder, _, files in os.walk(sb.path(top)):
            for name in files:
                with open(os.path.join(folder, name), 'rb') as f:
                    out[os.path.join(folder, name)] = f.read()
    return out


class Tools(unittest.TestCase):
    def check(self, sb, *args):
        r = sb.run([CHECK, '--json'] + list(args), timeout=120)
        return r['rc'], [json.loads(line) for line in r['stdout'].splitlines() if line.strip()]

    def test_the_daemon_does_what_the_check_announced(self):
        with open_sandbox(self) as sb:
            sb.preset(MonitorInterval=10)
            sb.write_conf('[00010002]\n[00231A05]\n')
            for key in ('C01AA305\\DESTINATIONSETTING\\ID_LIST\\HALVERNREPORT', 'C01AA305\\EVENTSETTING'):
                sb.set_reg(TABLE + key, None, None, None)
            sb.set_reg(TABLE + 'C01AA305\\EVENTSETTING', 'AliveLevel', 'dword', 1)
            sb.start_core()
            kinds = set()
            for step, (name, clock, entries, states) in enumerate(STEPS):
                sb.write_scenario({'clock': '2026-12-07T' + clock, 'entries': entries})
                before = snapshot(sb)
                rc, out = self.check(sb, 'poll')
                self.assertEqual((0, 'ok'), (rc, out[-1]['result']), name)
                self.assertEqual(before, snapshot(sb), name + ': the check changed a file')
                rows = out[:-1]
                self.assertEqual(states.split(), [r['state'] for r in rows], name)
                records, reports = len(sb.datfile().splitlines()), len(sb.indications())
                self.assertEqual(0, sb.start(), name)
                self.assertTrue(sb.wait_log('Wait', count=step + 1) and sb.stop(), name)
                self.assertEqual([r['number'] for r in rows if r['recorded']],
                                 [int(r.split(b',')[0]) for r in sb.datfile().splitlines()[records:]], name)
                self.assertEqual([(r['event_id'], r['message_hex']) for r in rows if r['event_id'] != '0x00000000'],
                                 [(i['event_id'], next((h for h in i['hex'] if h), ''))
                                  for i in sb.indications()[reports:]], name)
                kinds.update((r['past'], r['halvern']) for r in rows if r['event_id'] != '0x00000000')
            self.assertTrue({(False, False), (True, False), (True, True)} <= kinds, kinds)
            # Beside the running service the check announces that service's next poll: all current.
            self.assertEqual(0, sb.start())
            self.assertTrue(sb.wait_log('Wait', count=4))
            sb.write_scenario({'clock': '2026-12-07T07:10:00', 'entries': STEPS[2][2] + [E(3, 1, 2, 'Critical', '06:40:00')]})
            _, out = self.check(sb, 'poll')
            reports = len(sb.indications())
            self.assertTrue(sb.wait_log('Wait', count=5))
            self.assertTrue(out[-1]['service_running'])
            self.assertEqual([('0xC0008102', False)], [(r['event_id'], r['past']) for r in out[:-1] if r['recorded']])
            self.assertEqual(['0xC0008102'], [i['event_id'] for i in sb.indications()[reports:]])

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
