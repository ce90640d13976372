"""The service's very first start, with an empty registry: every entry of the
controller's log is recorded, target entries updated before the service start
(the controller clock at the first poll) are not reported, later ones are
reported with their English message, and the registry then holds the newest
entry, the controller clock of the poll and the first-start flag.
"""
import os
import re
import unittest

from zavsandbox import PARAMS, open_sandbox

CLOCK = '2026-12-07T05:00:00.500'  # the controller's fraction of a second is cut off


def entry(number, klass, code, severity, created, updated, message, action, repaired=0):
    return {'EventNumber': number, 'Class': klass, 'Code': code, 'Severity': severity, 'Repaired': repaired,
            'Created': created, 'Updated': updated, 'Message': message, 'RecommendedAction': action}


ENTRIES = [
    entry(1, 0x01, 0x0002, 'Critical', '2026-12-07T04:00:00', '2026-12-07T04:00:00', u'Fan 1 failed',
          u'Replace fan 1'),
    entry(2, 0x02, 0x0001, 'Informational', '2026-12-07T05:00:00', '2026-12-07T05:00:00', u'Power restored', u''),
    entry(3, 0x01, 0x0002, 'Warning', '2026-12-07T04:59:00', '2026-12-07T05:00:00', u'Fan 2 slow', u'Check fan 2'),
    entry(4, 0x23, 0x1A05, 'Warning', '2026-12-07T05:00:10.250', '2026-12-07T05:00:10.250', u'Temperature high',
          u''),
    entry(5, 0x01, 0x0002, 'OK', '2026-12-07T04:00:00', '2026-12-07T05:00:15', u'Fan 1 replaced', u'Nothing to do',
          repaired=1),
    entry(6, 0x01, 0x0002, 'critical', '2026-12-07T05:00:16', '2026-12-07T05:00:16', u'Odd severity', u'None'),
    entry(7, 0x01, 0x0002, 'Critical', '2026-12-07T05:00:20', None, u'No update time', u'Look'),
    entry(123, 0x7F, 0xFFFF, 'OK', '2026-12-07T05:00:30', '2026-12-07T05:00:30', u'Newest', u''),
]

RECORDS = (
    b'01,0,Critical,01,02,2026-12-07 04:00:00,2026-12-07 04:00:00,Fan 1 failed,Replace fan 1,\n'
    b'02,0,Informational,02,01,2026-12-07 05:00:00,2026-12-07 05:00:00,Power restored,,\n'
    b'03,0,Warning,01,02,2026-12-07 05:00:00,2026-12-07 04:59:00,Fan 2 slow,Check fan 2,\n'
    b'04,0,Warning,23,1A05,2026-12-07 05:00:10,2026-12-07 05:00:10,Temperature high,,\n'
    b'05,1,OK,01,02,2026-12-07 05:00:15,2026-12-07 04:00:00,Fan 1 replaced,Nothing to do,\n'
    b'06,0,critical,01,02,2026-12-07 05:00:16,2026-12-07 05:00:16,Odd severity,None,\n'
    b'07,0,Critical,01,02,,2026-12-07 05:00:20,No update time,Look,\n'
    b'123,0,OK,7F,FFFF,2026-12-07 05:00:30,2026-12-07 05:00:30,Newest,,\n'
)

# (event ID, type, message) of every report, in the order of the log.
REPORTS = [
    ('0x80008102', 2, 'Date : 2026-12-07 05:00:00\nEvent Class : 0x01\nEvent Code : 0x02\nStatus : Warning\n'
                      'Description : Fan 2 slow\nRecommended Action : Check fan 2'),
    ('0x801AA305', 2, 'Date : 2026-12-07 05:00:10\nEvent Class : 0x23\nEvent Code : 0x1A05\nStatus : Warning\n'
                      'Description : Temperature high\n'),
    ('0x40008102', 4, 'Date : 2026-12-07 05:00:15\nEvent Class : 0x01\nEvent Code : 0x02\nStatus : Repaired\n'
                      'Description : Fan 1 replaced\n'),
]


class FirstStart(unittest.TestCase):
    def test_first_start_records_everything_and_reports_only_what_follows_the_service_start(self):
        sb = open_sandbox(self)
        with sb:
            sb.write_conf('[00010002]\n[00231A05]\n')
            sb.write_scenario({'clock': CLOCK, 'entries': ENTRIES})
            sb.start_core()
            self.assertEqual(0, sb.start())
            self.assertTrue(sb.wait_log('Wait', timeout=60), 'no first poll: %s' % sb.oplog())
            self.assertTrue(sb.stop())

            self.assertEqual(RECORDS, sb.datfile())
            got = [(i['event_id'], i['type'], i['strings'][0]) for i in sb.indications()]
            self.assertEqual(REPORTS, got)
            for i in sb.indications():
                self.assertEqual('ZAVCommonService', i['source'])
                self.assertEqual(2, i['count'])
                self.assertEqual([0, 2], i['reserved'])
                self.assertEqual(['', '', '', ''], i['strings'][1:])

            expected = {'ReadEventNumber': 123, 'ReadCreated': '2026-12-07 05:00:30',
                        'ReadUpdated': '2026-12-07 05:00:30', 'ReadEventClass': 0x7F, 'ReadEventCode': 0xFFFF,
                        'ReadRepaired': 0, 'CheckedTime': '2026-12-07 05:00:00', 'ServiceStart': 1}
            self.assertEqual(expected, dict((name, sb.get_reg(PARAMS, name)) for name in expected))

            # Value files in the shared format, replaced without leftovers.
            for name, value in expected.items():
                with open(sb.value_file(PARAMS, name), 'rb') as f:
                    data = f.read()
                typ = 'dword' if isinstance(value, int) else 'sz'
                self.assertRegex(data, ('^%s:%s\n?$' % (typ, re.escape(str(value)))).encode(), name)
            folder = os.path.dirname(sb.value_file(PARAMS, 'x'))
            self.assertEqual(sorted('V_' + n.upper() for n in expected), sorted(os.listdir(folder)))

            for line in sb.oplog().split('\n')[:-2]:
                self.assertRegex(line, r'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,[^\n]', 'time stamp of every line')
            messages = sb.oplog_messages()
            for line in ('Cycle=30000', 'JP=00', '[GetServiceStart],00', '[GetTargetEventInfo],01',
                         '[Py_Initialize],OK', 'StartTime=2026-12-07 05:00:00', '[SetServiceStart],OK'):
                self.assertIn(line, messages)
            summaries = [m[len('[CheckAndReportIml],'):] for m in messages if m.startswith('[CheckAndReportIml],')]
            self.assertEqual([r.split(b',')[:5] for r in RECORDS.splitlines()],
                             [s.encode().split(b',') for s in summaries])
            self.assertEqual(1, messages.count('Check'))
            self.assertFalse([m for m in messages if ',Error,' in m], 'error lines in the log')

    def test_first_start_flag_without_checked_entry_is_still_a_first_start(self):
        sb = open_sandbox(self)
        with sb:
            sb.preset()
            sb.set_reg(PARAMS, 'ServiceStart', 'dword', 1)
            sb.write_conf('[00010002]\n[00231A05]\n')
            sb.write_scenario({'clock': CLOCK, 'entries': ENTRIES})
            sb.start_core()
            self.assertEqual(0, sb.start())
            self.assertTrue(sb.wait_log('Wait', timeout=60))
            self.assertTrue(sb.stop())
            self.assertIn('[GetServiceStart],01', sb.oplog_messages())
            self.assertEqual(RECORDS, sb.datfile())
            self.assertEqual([r[0] for r in REPORTS], [i['event_id'] for i in sb.indications()],
                             'past entries are not reported when no checked entry was ever stored')


if __name__ == '__main__':
    unittest.main()
