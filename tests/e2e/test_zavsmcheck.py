"""zavsmcheck announces what the daemon then does: for each scenario step the
check runs first (and must leave every file of the install as it was), then
the daemon polls once on the same state, and its records and reports must be
exactly those announced. The conf and settings outputs are checked on a table
of files and registry values.
"""
import json
import os
import unittest

from zavsandbox import LOGKEY, PARAMS, open_sandbox

CHECK = '/opt/kym/tolvex_sa/bin/zavsmcheck'
TABLE = 'SOFTWARE\\KYM\\ZAVALERTMAN\\REPORTTABLE\\EVENTLOG\\APPLICATION\\ZAVCOMMONSERVICE\\'


def entry(number, klass, code, severity, created, updated, message, repaired=0):
    return {'EventNumber': number, 'Class': klass, 'Code': code, 'Severity': severity, 'Repaired': repaired,
            'Created': '2026-12-07T' + created, 'Updated': '2026-12-07T' + updated, 'Message': message,
            'RecommendedAction': u'Check it'}


FIRST = [entry(1, 0x01, 0x0002, 'OK', '04:00:00', '04:00:00', u'Fan 1 normal'),
         entry(2, 0x01, 0x0002, 'Critical', '04:10:00', '05:00:00', u'Fan 2 failed'),
         entry(3, 0x05, 0x0001, 'Warning', '04:20:00', '04:20:00', u'Not a target')]
# Restart: an old entry updated, new ones before the service start (past) and after it.
SECOND = FIRST[:1] + [dict(FIRST[1], Updated='2026-12-07T05:30:00'), FIRST[2],
                      entry(4, 0x23, 0x1A05, 'Critical', '05:40:00', '05:40:00', u'Temperature critical'),
                      entry(5, 0x23, 0x1A05, 'Warning', '06:00:05', '06:00:05', u'Temperature high')]
# The log was cleared: numbers start again, only time tells what is new.
THIRD = [entry(1, 0x23, 0x1A05, 'OK', '05:59:00', '05:59:00', u'Old, before the checked time'),
         entry(2, 0x01, 0x0002, 'Critical', '06:30:00', '06:30:00', u'Fan 2 failed again')]
# name, clock, entries, the state the check gives each entry
STEPS = [('first start', '05:00:00', FIRST, 'new new new'),
         ('restart', '06:00:00', SECOND, 'checked updated checked new new'),
         ('log cleared', '07:00:00', THIRD, 'checked new')]


def snapshot(sb):
    out = {}
    for top in ('registry', 'log', 'data'):
        for folder, _, files in os.walk(sb.path(top)):
            for name in files:
                with open(os.path.join(folder, name), 'rb') as f:
                    out[os.path.join(folder, name)] = f.read()
    return out


def first_text_hex(strings_hex):
    return next((h for h in strings_hex if h), '')


class ZavsmCheck(unittest.TestCase):
    def sandbox(self):
        return open_sandbox(self)

    def check(self, sb, *args):
        r = sb.run([CHECK, '--json'] + list(args), timeout=120)
        return r['rc'], [json.loads(line) for line in r['stdout'].splitlines() if line.strip()]

    def test_the_daemon_records_and_reports_what_the_check_announced(self):
        with self.sandbox() as sb:
            sb.preset(MonitorInterval=10)
            sb.write_conf('[00010002]\n[00231A05]\n')
            sb.create_key(TABLE + 'C01AA305\\DESTINATIONSETTING\\ID_LIST\\HALVERNREPORT')
            sb.create_key(TABLE + 'C01AA305\\EVENTSETTING')
            sb.set_reg(TABLE + 'C01AA305\\EVENTSETTING', 'AliveLevel', 'dword', 1)
            sb.start_core()
            kinds = set()
            for step, (name, clock, entries, states) in enumerate(STEPS):
                sb.write_scenario({'clock': '2026-12-07T' + clock, 'entries': entries})
                before = snapshot(sb)
                rc, out = self.check(sb, 'poll')
                self.assertEqual(0, rc, name)
                self.assertEqual(before, snapshot(sb), name + ': the check changed a file')
                summary, rows = out[-1], out[:-1]
                self.assertEqual('ok', summary['result'], name)
                self.assertEqual(states.split(), [r['state'] for r in rows], name)
                records, reports = len(sb.datfile().splitlines()), len(sb.indications())

                self.assertEqual(0, sb.start(), name)
                self.assertTrue(sb.wait_log('Wait', count=step + 1), name)
                self.assertTrue(sb.stop(), name)
                recorded = [int(r.split(b',')[0]) for r in sb.datfile().splitlines()[records:]]
                self.assertEqual([r['number'] for r in rows if r['recorded']], recorded, name)
                announced = [(r['event_id'], r['message_hex']) for r in rows if r['event_id'] != '0x00000000']
                delivered = [(i['event_id'], first_text_hex(i['hex'])) for i in sb.indications()[reports:]]
                self.assertEqual(announced, delivered, name)
                kinds.update((r['past'], r['halvern']) for r in rows if r['event_id'] != '0x00000000')
            # The steps reach current, past and remote-routed past reports.
            self.assertTrue({(False, False), (True, False), (True, True)} <= kinds, kinds)

            # Beside the running service (just after a poll, within its 10 s wait) the check
            # announces that service's next poll: everything current.
            self.assertEqual(0, sb.start())
            self.assertTrue(sb.wait_log('Wait', count=4))
            entries = THIRD + [entry(3, 0x01, 0x0002, 'Critical', '06:40:00', '06:40:00', u'Fan 3 failed')]
            sb.write_scenario({'clock': '2026-12-07T07:10:00', 'entries': entries})
            _, out = self.check(sb, 'poll')
            reports = len(sb.indications())
            self.assertTrue(sb.wait_log('Wait', count=5))
            self.assertTrue(out[-1]['service_running'])
            self.assertEqual([('0xC0008102', False)], [(r['event_id'], r['past']) for r in out[:-1] if r['recorded']])
            self.assertEqual(['0xC0008102'], [i['event_id'] for i in sb.indications()[reports:]])

    def test_conf_and_settings_show_what_start_up_would_take(self):
        cases = [  # definition file, rc, last object's expected fields
            ('[00010002]\nf=x\n[00231A05]\n[00010002]\n', 0, {'result': 'valid', 'sections': 3}),
            ('# c\n[00010002]\n\n[00000002]\n', 1, {'result': 'invalid', 'event_id': '0xC000238D', 'line': 4,
                                                   'message': 'Definition File(zavsmsrv.conf) Invalid',
                                                   'log': '[GetTargetEventInfo],Error,Read=00000002 Index = 01'}),
            ('[00010002]\n' * 513, 1, {'line': 513, 'log': '[GetTargetEventInfo],Error,Read=[00010002] Index = 512'}),
            (None, 1, {'message': 'Definition File(zavsmsrv.conf) Not Found',
                       'log': '[GetTargetEventInfo],Error,File Open'}),
        ]
        with self.sandbox() as sb:
            for text, code, expected in cases:
                if text is None:
                    os.unlink(sb.path('data/zavsmsrv.conf'))
                else:
                    sb.write_conf(text)
                rc, out = self.check(sb, 'conf')
                self.assertEqual(code, rc, text)
                self.assertEqual(expected, dict((k, out[-1].get(k)) for k in expected), text)
            sb.write_conf('[00010002]\n[00010003]\n[00010002]\n')
            _, out = self.check(sb, 'conf')
            self.assertEqual([None, None, 0], [o.get('duplicate_of') for o in out[:3]])

            sb.set_reg(PARAMS, 'MonitorInterval', 'dword', 3)
            sb.set_reg(LOGKEY, 'LogLevel', 'sz', 'five')
            sb.set_reg(PARAMS, 'MaxDatSize', 'dword', 4096)
            rc, out = self.check(sb, 'settings')
            self.assertEqual(0, rc)
            got = dict((o['name'], (o['effective'], o['source'])) for o in out)
            self.assertEqual(('10', 'clamped'), got['MonitorInterval'])
            self.assertEqual(('3', 'malformed'), got['LogLevel'])
            self.assertEqual(('4096', 'stored'), got['MaxDatSize'])
            self.assertEqual(('0', 'default'), got['ServiceStart'])
            self.assertEqual('imports', got['controller module'][1])
