"""A restart after a first run: only the new entries and the entries updated
since the last poll are recorded and reported, nothing twice. In the first pass
after the restart, target entries updated before the new service start are
reported under the past-report IDs (chosen by severity and by the alert
manager's report table), with the message as the second of five strings; the
next pass reports every entry as current.
"""
import copy
import unittest

from zavsandbox import PARAMS, open_sandbox

TABLE = 'SOFTWARE\\KYM\\ZAVALERTMAN\\REPORTTABLE\\EVENTLOG\\APPLICATION\\ZAVCOMMONSERVICE\\'


def entry(number, klass, code, severity, created, updated, message, action=u'', repaired=0):
    return {'EventNumber': number, 'Class': klass, 'Code': code, 'Severity': severity, 'Repaired': repaired,
            'Created': '2026-12-07T' + created, 'Updated': '2026-12-07T' + updated, 'Message': message,
            'RecommendedAction': action}


def message(updated, klass, code, status, text, action=''):
    out = 'Date : 2026-12-07 %s\nEvent Class : %s\nEvent Code : %s\nStatus : %s\nDescription : %s\n' % (
        updated, klass, code, status, text)
    return out + ('Recommended Action : ' + action if action else '')


FIRST = [
    entry(1, 0x01, 0x0002, 'OK', '04:00:00', '04:00:00', u'Fan 1 normal'),
    entry(2, 0x01, 0x0002, 'Critical', '04:10:00', '04:10:00', u'Fan 2 failed', u'Replace fan 2'),
    entry(3, 0x01, 0x0002, 'Warning', '04:20:00', '04:20:00', u'Fan 3 slow', u'Check fan 3'),
    entry(4, 0x01, 0x0002, 'Critical', '04:25:00', '04:25:00', u'Fan 4 failed', u'Replace fan 4'),
    entry(5, 0x23, 0x1A05, 'Warning', '04:30:00', '05:00:00', u'Temperature high'),
]


class Restart(unittest.TestCase):
    def records(self, sb):
        return sb.datfile().decode('ascii').splitlines()

    def test_restart_reports_only_new_and_updated_entries_with_past_report_ids_first(self):
        sb = open_sandbox(self)
        with sb:
            sb.preset(MonitorInterval=10)
            sb.write_conf('[00010002]\n[00231A05]\n')
            # Routed to the remote-report destination: Warning, Critical and
            # OK of 0x23/0x1A05, with AliveLevel 2, 0 and 3.
            for report_id, level in (('801AA305', 2), ('C01AA305', 0), ('401AA305', 3)):
                sb.create_key(TABLE + report_id + '\\DESTINATIONSETTING\\ID_LIST\\HALVERNREPORT')
                sb.create_key(TABLE + report_id + '\\EVENTSETTING')
                sb.set_reg(TABLE + report_id + '\\EVENTSETTING', 'AliveLevel', 'dword', level)
            sb.start_core()

            # First run (first start): everything recorded, the one entry
            # updated at the service start reported.
            sb.write_scenario({'clock': '2026-12-07T05:00:00', 'entries': FIRST})
            self.assertEqual(0, sb.start())
            self.assertTrue(sb.wait_log('Wait', timeout=60))
            self.assertTrue(sb.stop())
            self.assertEqual(5, len(self.records(sb)))
            self.assertEqual(['0x801AA305'], [i['event_id'] for i in sb.indications()])
            self.assertEqual(5, sb.get_reg(PARAMS, 'ReadEventNumber'))
            self.assertEqual('2026-12-07 05:00:00', sb.get_reg(PARAMS, 'CheckedTime'))

            # The controller goes on: old entries updated after the checked
            # time, new ones before and after the next service start.
            entries = copy.deepcopy(FIRST)
            entries[0]['Updated'] = '2026-12-07T05:20:00'
            entries[1]['Updated'] = '2026-12-07T05:30:00'
            entries[2]['Updated'] = '2026-12-07T05:00:00'  # exactly the checked time: updated
            entries += [
                entry(6, 0x23, 0x1A05, 'Warning', '05:50:00', '05:50:00', u'Temperature high again'),
                entry(7, 0x23, 0x1A05, 'Critical', '05:51:00', '05:51:00', u'Temperature critical', u'Shut down'),
                entry(8, 0x23, 0x1A05, 'OK', '05:52:00', '05:52:00', u'Temperature normal', u'None', repaired=1),
                entry(9, 0x01, 0x0002, 'Critical', '06:00:05', '06:00:05', u'Fan 9 failed', u'Replace fan 9'),
            ]
            sb.write_scenario({'clock': '2026-12-07T06:00:00', 'entries': entries})
            before = len(sb.indications())
            self.assertEqual(0, sb.start())
            self.assertTrue(sb.wait_log('Wait', count=2, timeout=60))

            self.assertEqual([
                '01,0,OK,01,02,2026-12-07 05:20:00,2026-12-07 04:00:00,Fan 1 normal,,',
                '02,0,Critical,01,02,2026-12-07 05:30:00,2026-12-07 04:10:00,Fan 2 failed,Replace fan 2,',
                '03,0,Warning,01,02,2026-12-07 05:00:00,2026-12-07 04:20:00,Fan 3 slow,Check fan 3,',
                '06,0,Warning,23,1A05,2026-12-07 05:50:00,2026-12-07 05:50:00,Temperature high again,,',
                '07,0,Critical,23,1A05,2026-12-07 05:51:00,2026-12-07 05:51:00,Temperature critical,Shut down,',
                '08,1,OK,23,1A05,2026-12-07 05:52:00,2026-12-07 05:52:00,Temperature normal,None,',
                '09,0,Critical,01,02,2026-12-07 06:00:05,2026-12-07 06:00:05,Fan 9 failed,Replace fan 9,',
            ], self.records(sb)[5:])
            past = [
                ('0x40000581', 4, message('05:20:00', '0x01', '0x02', 'OK', 'Fan 1 normal')),
                ('0xC000057F', 1, message('05:30:00', '0x01', '0x02', 'Critical', 'Fan 2 failed', 'Replace fan 2')),
                ('0x80000580', 2, message('05:00:00', '0x01', '0x02', 'Warning', 'Fan 3 slow', 'Check fan 3')),
                ('0x80000579', 2, message('05:50:00', '0x23', '0x1A05', 'Warning', 'Temperature high again')),
                ('0xC0000578', 1, message('05:51:00', '0x23', '0x1A05', 'Critical', 'Temperature critical',
                                          'Shut down')),
                ('0x40000585', 4, message('05:52:00', '0x23', '0x1A05', 'Repaired', 'Temperature normal')),
            ]
            reports = sb.indications()[before:]
            self.assertEqual([(p[0], p[1]) for p in past] + [('0xC0008102', 1)],
                             [(i['event_id'], i['type']) for i in reports])
            for (_, _, text), got in zip(past, reports):
                self.assertEqual(5, got['count'], got['event_id'])
                self.assertEqual(['', text, '', '', ''], got['strings'], got['event_id'])
            self.assertEqual(2, reports[-1]['count'])
            self.assertEqual([message('06:00:05', '0x01', '0x02', 'Critical', 'Fan 9 failed', 'Replace fan 9'),
                              '', '', '', ''], reports[-1]['strings'])
            self.assertEqual(9, sb.get_reg(PARAMS, 'ReadEventNumber'))
            self.assertEqual('2026-12-07 06:00:00', sb.get_reg(PARAMS, 'CheckedTime'))

            # The next pass of the same run: everything is current, also a new
            # entry updated before the service start; nothing comes twice.
            entries[4]['Updated'] = '2026-12-07T06:00:10'
            entries.append(entry(10, 0x01, 0x0002, 'Warning', '05:58:00', '05:58:00', u'Fan 10 slow'))
            sb.write_scenario({'clock': '2026-12-07T06:00:20', 'entries': entries})
            before = len(sb.indications())
            self.assertTrue(sb.wait_log('Wait', count=3, timeout=60), 'no second poll')
            self.assertTrue(sb.stop())
            self.assertEqual([
                '05,0,Warning,23,1A05,2026-12-07 06:00:10,2026-12-07 04:30:00,Temperature high,,',
                '10,0,Warning,01,02,2026-12-07 05:58:00,2026-12-07 05:58:00,Fan 10 slow,,',
            ], self.records(sb)[12:])
            reports = sb.indications()[before:]
            self.assertEqual([('0x801AA305', 2, 2), ('0x80008102', 2, 2)],
                             [(i['event_id'], i['type'], i['count']) for i in reports])
            self.assertEqual(message('05:58:00', '0x01', '0x02', 'Warning', 'Fan 10 slow'), reports[1]['strings'][0])
            self.assertEqual(10, sb.get_reg(PARAMS, 'ReadEventNumber'))
            self.assertEqual('2026-12-07 06:00:20', sb.get_reg(PARAMS, 'CheckedTime'))

            # Another restart in which only the checked entry has changed: it
            # is the newest, so it is handled although it is not new.
            entries[-1]['Updated'] = '2026-12-07T06:00:30'
            entries[-1]['Severity'] = 'Critical'
            sb.write_scenario({'clock': '2026-12-07T06:01:00', 'entries': entries})
            before = len(sb.indications())
            self.assertEqual(0, sb.start())
            self.assertTrue(sb.wait_log('Wait', count=4, timeout=60))
            self.assertTrue(sb.stop())
            self.assertEqual(['10,0,Critical,01,02,2026-12-07 06:00:30,2026-12-07 05:58:00,Fan 10 slow,,'],
                             self.records(sb)[14:])
            self.assertEqual([('0xC000057F', 5)], [(i['event_id'], i['count']) for i in sb.indications()[before:]])
            self.assertEqual('2026-12-07 06:00:30', sb.get_reg(PARAMS, 'ReadUpdated'))
            self.assertEqual('2026-12-07 06:01:00', sb.get_reg(PARAMS, 'CheckedTime'))
            self.assertFalse([m for m in sb.oplog_messages() if ',Error,' in m], 'error lines in the log')


if __name__ == '__main__':
    unittest.main()
