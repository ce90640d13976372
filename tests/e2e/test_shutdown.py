"""SIGTERM at each stage of the daemon's life: in the wait between polls (at
the debug and at the default log level, with the shutdown order the operation
log shows), during start-up before the stop event exists, and during start-up
after it exists but before the monitoring thread runs. Every way ends the
process with status 0 and the operation log with "End" and an empty line.
"""
import time
import unittest

from zavsandbox import PARAMS, open_sandbox

CLOCK = '2026-12-07T05:00:00'
SCENARIO = {'clock': CLOCK, 'entries': [
    {'EventNumber': 1, 'Class': 1, 'Code': 2, 'Severity': 'Critical', 'Repaired': 0,
     'Created': '2026-12-07T05:00:01', 'Updated': '2026-12-07T05:00:01',
     'Message': u'Fan 1 failed', 'RecommendedAction': u'Replace fan 1'}]}


class Shutdown(unittest.TestCase):
    def start(self, sb):
        sb.write_conf('[00010002]\n')
        sb.write_scenario(SCENARIO)
        sb.start_core()
        self.assertEqual(0, sb.start())
        pid = sb.daemon_pid()
        self.assertIsNotNone(pid, 'the daemon did not start')
        return pid

    def stop_and_wait(self, sb, pid):
        self.assertTrue(sb.kill(pid, 15))
        self.assertEqual(0, sb.wait_exit(pid, timeout=60), 'the daemon must end with status 0 on SIGTERM')

    def assert_log_ends(self, sb, tail):
        self.assertTrue(sb.oplog().endswith(',End\n\n'), 'the log ends with "End" and an empty line: %r'
                        % sb.oplog()[-200:])
        self.assertEqual(tail + ['End', '', ''], sb.oplog_messages()[-len(tail) - 3:])

    def test_stop_in_the_wait_closes_everything_in_order_at_the_debug_level(self):
        with open_sandbox(self) as sb:
            sb.preset(LogLevel=5)
            pid = self.start(sb)
            self.assertTrue(sb.wait_log('Wait'))
            self.stop_and_wait(sb, pid)
            self.assert_log_ends(sb, ['Wait',
                                      '[ZavMonitoringThread],End',
                                      '[CloseHandle],Debug,MonitoringThread',
                                      '[CloseHandle],Debug,ServerStopEvent',
                                      '[CloseHandle],Debug,ExitThreadEvent',
                                      '[FreeLibrary],Debug,ReportLib'])

    def test_stop_in_the_wait_ends_at_once_at_the_default_level(self):
        with open_sandbox(self) as sb:
            # The longest interval: a wait of more than 2**31 ms that only the stop can end.
            sb.preset(LogLevel=3, MonitorInterval=4294967)
            pid = self.start(sb)
            self.assertTrue(sb.wait_log('Wait'))
            self.assertIn('Cycle=4294967000', sb.oplog_messages())
            time.sleep(2)
            self.assertEqual(1, sb.oplog_messages().count('Check'), 'the long wait ended by itself')
            self.assertEqual(CLOCK.replace('T', ' '), sb.get_reg(PARAMS, 'CheckedTime'),
                             'the poll before the wait is recorded')
            self.stop_and_wait(sb, pid)
            self.assert_log_ends(sb, ['Wait', '[ZavMonitoringThread],End'])
            self.assertNotIn(',Debug,', sb.oplog(), 'no debug line at level 3')
            self.assertEqual(1, sb.oplog_messages().count('Check'))

    def test_repeated_sigterm_stops_the_service_once(self):
        with open_sandbox(self) as sb:
            sb.preset(LogLevel=3)
            pid = self.start(sb)
            self.assertTrue(sb.wait_log('Wait'))
            for _ in range(5):
                sb.kill(pid, 15)
            self.assertEqual(0, sb.wait_exit(pid, timeout=60), 'the daemon must end with status 0')
            self.assert_log_ends(sb, ['Wait', '[ZavMonitoringThread],End'])
            self.assertEqual(1, sb.oplog_messages().count('End'))

    def check_stopped_before_polling(self, sb):
        messages = sb.oplog_messages()
        self.assertNotIn('Check', messages, 'a stop requested during start-up must prevent every poll')
        self.assertIn('[ZavMonitoringThread],Start', messages)
        self.assert_log_ends(sb, ['[ZavMonitoringThread],End'])
        self.assertIsNone(sb.get_reg(PARAMS, 'CheckedTime'))
        self.assertIsNone(sb.get_reg(PARAMS, 'ServiceStart'))
        self.assertEqual([], sb.indications())
        self.assertEqual(b'', sb.datfile())

    def test_stop_before_the_stop_event_exists_still_stops_the_service(self):
        with open_sandbox(self) as sb:
            # Empty registry: the log settings take some seconds of retries,
            # and the stop event is created only after them.
            pid = self.start(sb)
            self.assertTrue(sb.wait_sigterm_handler(pid), 'the SIGTERM handler was never set')
            self.assertEqual('', sb.oplog(), 'too late: the service has already written its first line')
            self.stop_and_wait(sb, pid)
            self.check_stopped_before_polling(sb)

    def test_stop_while_the_settings_are_read_ends_before_the_first_poll(self):
        with open_sandbox(self) as sb:
            pid = self.start(sb)
            # "Cycle=" comes after the stop event; the further settings still
            # take some seconds of retries before the thread starts.
            self.assertTrue(sb.wait_log('Cycle=30000', timeout=60))
            self.assertNotIn('[ZavMonitoringThread],Start', sb.oplog_messages(), 'too late: the thread runs')
            self.stop_and_wait(sb, pid)
            self.check_stopped_before_polling(sb)


if __name__ == '__main__':
    unittest.main()
