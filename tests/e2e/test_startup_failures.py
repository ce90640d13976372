"""Start-up failures that end the service by itself, in order, with status 0:
a missing or invalid definition file (reported as the service's own event) and
a missing report library. Neither starts the monitoring thread.
"""
import os
import time
import unittest

from zavsandbox import open_sandbox

NOT_FOUND = 'Definition File(zavsmsrv.conf) Not Found'
INVALID = 'Definition File(zavsmsrv.conf) Invalid'
CLOSE_EVENTS = ['[CloseHandle],Debug,ServerStopEvent', '[CloseHandle],Debug,ExitThreadEvent']
TAIL = CLOSE_EVENTS + ['[FreeLibrary],Debug,ReportLib', 'End', '', '']

# definition file (None: missing), error line after "[GetTargetEventInfo],Error,", event message
DEFINITION_CASES = [
    (None, 'File Open', NOT_FOUND),
    ('[xyz]\n', 'Read=xyz Index = 00', INVALID),
    ('f=Fan failure\n[00010002]\n', 'Read=f=Fan failure Index = -1', INVALID),
]


class StartupFailures(unittest.TestCase):
    def sandbox(self):
        sb = open_sandbox(self)
        sb.preset(LogLevel=5)
        return sb

    def run_to_its_end(self, sb):
        """Starts the daemon and waits until it has ended by itself."""
        core = sb.start_core()
        self.assertEqual(0, sb.start())
        deadline = time.time() + 30
        while time.time() < deadline:
            ended = dict((p, c) for p, c in sb.exits().items() if p != core)
            if ended and not sb.pids():
                self.assertEqual([0], list(ended.values()), 'exit status of the daemon')
                return
            time.sleep(0.05)
        self.fail('the daemon did not end by itself: %s' % sb.oplog()[-2000:])

    def assert_no_monitoring(self, sb):
        messages = sb.oplog_messages()
        self.assertNotIn('[ZavMonitoringThread],Start', messages)
        self.assertFalse([m for m in messages if 'MonitoringThread' in m], 'no thread was started')
        self.assertNotIn('Check', messages)

    def test_bad_definition_file_is_reported_and_ends_the_service(self):
        for conf, line, text in DEFINITION_CASES:
            with self.subTest(conf=conf):
                with self.sandbox() as sb:
                    if conf is None:
                        os.remove(sb.path('data/zavsmsrv.conf'))
                    else:
                        sb.write_conf(conf)
                    self.run_to_its_end(sb)
                    self.assertEqual([{'reserved': [0, 2], 'event_id': '0xC000238D', 'type': 1, 'count': 2,
                                       'source': 'ZAVSystemManagementService', 'strings': [text, '', '', '', ''],
                                       'hex': [text.encode().hex(), '', '', '', '']}], sb.indications())
                    messages = sb.oplog_messages()
                    self.assertEqual(['[GetTargetEventInfo],Error,' + line] + TAIL, messages[-len(TAIL) - 1:])
                    self.assert_no_monitoring(sb)

    def test_missing_report_library_ends_the_service_at_once(self):
        with self.sandbox() as sb:
            os.remove(sb.path('lib/libstdalert.so'))
            self.run_to_its_end(sb)
            messages = sb.oplog_messages()
            self.assertEqual(['[LoadReportFunc],Error,libstdalert.so', '[LoadReportFunc],Error,LoadReportFunc']
                             + CLOSE_EVENTS + ['End', '', ''], messages[-7:])
            self.assertFalse([m for m in messages if m.startswith('Cycle=')], 'settings read after the failure')
            self.assert_no_monitoring(sb)
            self.assertEqual([], sb.indications())


if __name__ == '__main__':
    unittest.main()
