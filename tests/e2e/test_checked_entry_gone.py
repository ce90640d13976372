"""Restarts after the last checked entry has gone from the controller's log
(the log renumbered or cleared): the checked time decides where the new
entries begin, so nothing is lost and nothing comes twice. Without a checked
time the first poll only records its time, and the next one falls back on it.
"""
import unittest

from zavsandbox import PARAMS, open_sandbox


def entry(number, klass, code, severity, created, message):
    stamp = '2026-12-07T' + created
    return {'EventNumber': number, 'Class': klass, 'Code': code, 'Severity': severity, 'Repaired': 0,
            'Created': stamp, 'Updated': stamp, 'Message': message, 'RecommendedAction': u''}


def record(number, klass, code, severity, created, message):
    stamp = '2026-12-07 ' + created
    return '%02d,0,%s,%02X,%02X,%s,%s,%s,,' % (number, severity, klass, code, stamp, stamp, message)


class CheckedEntryGone(unittest.TestCase):
    def setUp(self):
        self.sb = open_sandbox(self)
        self.addCleanup(self.sb.close)
        self.sb.preset()
        self.sb.write_conf('[00010002]\n')
        self.sb.start_core()

    def run_once(self, clock, entries):
        """One daemon run with a first poll; the records and reports it added."""
        sb = self.sb
        records, reports, waits = len(sb.datfile().splitlines()), len(sb.indications()), self.count('Wait')
        sb.write_scenario({'clock': '2026-12-07T' + clock, 'entries': entries})
        self.assertEqual(0, sb.start())
        self.assertTrue(sb.wait_log('Wait', count=waits + 1, timeout=60), 'no poll')
        self.assertTrue(sb.stop())
        self.assertEqual('2026-12-07 ' + clock, sb.get_reg(PARAMS, 'CheckedTime'))
        return (sb.datfile().decode('ascii').splitlines()[records:],
                [(i['event_id'], i['strings'][1].split('\n')[0]) for i in sb.indications()[reports:]])

    def count(self, message):
        return self.sb.oplog_messages().count(message)

    def test_renumbered_or_cleared_log_falls_back_on_the_checked_time(self):
        first = [entry(1, 1, 2, 'Critical', '04:00:00', u'Fan 1 failed'),
                 entry(2, 1, 2, 'Warning', '04:10:00', u'Fan 2 slow'),
                 entry(3, 1, 2, 'Critical', '04:30:00', u'Fan 3 failed')]
        records, _ = self.run_once('05:00:00', first)
        self.assertEqual(3, len(records))

        # Renumbered: the old entries 2 and 3 come back as 1 and 2, and the
        # number 3 now belongs to a new entry.
        renumbered = [entry(1, 1, 2, 'Warning', '04:10:00', u'Fan 2 slow'),
                      entry(2, 1, 2, 'Critical', '04:30:00', u'Fan 3 failed'),
                      entry(3, 1, 2, 'Critical', '05:06:00', u'Fan 4 failed'),
                      entry(4, 1, 2, 'Warning', '05:08:00', u'Fan 5 slow')]
        records, reports = self.run_once('05:10:00', renumbered)
        self.assertEqual([record(3, 1, 2, 'Critical', '05:06:00', 'Fan 4 failed'),
                          record(4, 1, 2, 'Warning', '05:08:00', 'Fan 5 slow')], records)
        self.assertEqual([('0xC000057F', 'Date : 2026-12-07 05:06:00'), ('0x80000580', 'Date : 2026-12-07 05:08:00')],
                         reports)
        self.assertIn('[SearchNewEventNumber],Match Event Not Found', self.sb.oplog_messages())
        self.assertEqual(4, self.sb.get_reg(PARAMS, 'ReadEventNumber'))
        self.assertEqual('2026-12-07 05:08:00', self.sb.get_reg(PARAMS, 'ReadCreated'))

        # Cleared: numbering starts again at 1 and the checked number is gone.
        cleared = [entry(1, 2, 0x10, 'Informational', '05:15:00', u'Log cleared'),
                   entry(2, 1, 2, 'Critical', '05:16:00', u'Fan 6 failed')]
        records, reports = self.run_once('05:20:00', cleared)
        self.assertEqual([record(1, 2, 0x10, 'Informational', '05:15:00', 'Log cleared'),
                          record(2, 1, 2, 'Critical', '05:16:00', 'Fan 6 failed')], records)
        self.assertEqual([('0xC000057F', 'Date : 2026-12-07 05:16:00')], reports)
        self.assertEqual(2, self.sb.get_reg(PARAMS, 'ReadEventNumber'))
        self.assertEqual('2026-12-07 05:16:00', self.sb.get_reg(PARAMS, 'ReadCreated'))

    def test_without_checked_time_the_first_poll_only_records_its_time(self):
        sb = self.sb
        self.run_once('05:00:00', [entry(1, 1, 2, 'Critical', '04:00:00', u'Fan 1 failed')])
        self.assertEqual(0, sb.zavreg('delete', PARAMS, 'CheckedTime').returncode)

        # The checked entry is gone and no checked time is known: no pass.
        records, reports = self.run_once('05:30:00', [entry(1, 1, 2, 'Critical', '05:25:00', u'Fan 2 failed')])
        self.assertEqual(([], []), (records, reports))
        messages = sb.oplog_messages()
        self.assertIn('[SearchNewEventNumber],Checked Time Not Found', messages)
        self.assertEqual('2026-12-07 04:00:00', sb.get_reg(PARAMS, 'ReadCreated'), 'the checked entry is kept')

        # The next start has the time of that poll to fall back on.
        records, reports = self.run_once('05:40:00', [entry(1, 1, 2, 'Critical', '05:25:00', u'Fan 2 failed'),
                                                      entry(2, 1, 2, 'Critical', '05:35:00', u'Fan 3 failed')])
        self.assertEqual([record(2, 1, 2, 'Critical', '05:35:00', 'Fan 3 failed')], records)
        self.assertEqual([('0xC000057F', 'Date : 2026-12-07 05:35:00')], reports)


if __name__ == '__main__':
    unittest.main()
