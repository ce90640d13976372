"""Bad answers of the controller script module in a real run: a failing
status, a missing module and one that does not compile cost only their poll
(logged, nothing recorded or persisted) and the service keeps polling. Each
kind of bad answer is tried in-process by the bridge tests.
"""
import os
import shutil
import unittest

from zavsandbox import PARAMS, open_sandbox

STATE = ('CheckedTime', 'ServiceStart', 'ReadEventNumber', 'ReadCreated', 'ReadUpdated', 'ReadEventClass',
         'ReadEventCode', 'ReadRepaired')


def entry(number, severity, created, message, klass=1, code=2, repaired=0, action=u''):
    stamp = '2026-12-07T' + created
    return {'EventNumber': number, 'Class': klass, 'Code': code, 'Severity': severity, 'Repaired': repaired,
            'Created': stamp, 'Updated': stamp, 'Message': message, 'RecommendedAction': action}


MODULE_KEPT = object()

# scenario changes of one failing poll ("module": the controller module's
# text instead of the simulated controller, None: no module), the line it must leave in the operation log
FAILING_POLLS = [
    ({'iml_status': 500}, '[CallMethod],Error,Status=500'),
    ({'module': None}, '[PyImport_ImportModule],Error,NULL'),
    ({'module': 'def get_datetime(:\n'}, '[PyImport_ImportModule],Error,NULL'),
]


class BadControllerInput(unittest.TestCase):
    def sandbox(self):
        sb = open_sandbox(self)
        sb.preset(LogLevel=5, MonitorInterval=10)
        sb.write_conf('[00010002]\n')
        sb.start_core()
        return sb

    def replace_module(self, sb, text):
        """Replaces the controller module by `text` (None: removes it), or
        puts the original back (MODULE_KEPT)."""
        module = sb.path('bin/zavsmsrv.py')
        if not hasattr(self, 'original_module'):
            with open(module, 'rb') as f:
                self.original_module = f.read()
        # Compiled copies would stand in for a missing or broken module.
        for cached in (module + 'c', sb.path('bin/__pycache__')):
            if os.path.isdir(cached):
                shutil.rmtree(cached)
            elif os.path.exists(cached):
                os.remove(cached)
        if text is None:
            os.remove(module)
            return
        with open(module, 'wb') as f:
            f.write(self.original_module if text is MODULE_KEPT else text.encode())

    def state(self, sb):
        return (sb.datfile(), sb.indications(), dict((name, sb.get_reg(PARAMS, name)) for name in STATE))

    def assert_running_after(self, sb, waits):
        self.assertTrue(sb.wait_log('Wait', count=waits, timeout=60), 'no poll: %s' % sb.oplog()[-2000:])
        self.assertTrue(sb.daemon_pid(timeout=1), 'the daemon must keep running after a failed poll')

    def test_failed_polls_record_nothing_and_the_service_keeps_polling(self):
        with self.sandbox() as sb:
            # First start, first poll fails after the clock was read: nothing
            # is persisted, not even the first-start flag.
            good = [entry(1, 'Critical', '04:00:00', u'Fan 1 failed'),
                    entry(2, 'Critical', '05:00:05', u'Fan 2 failed')]
            sb.write_scenario({'clock': '2026-12-07T05:00:00', 'iml_status': 500, 'entries': good})
            self.assertEqual(0, sb.start())
            self.assert_running_after(sb, 1)
            self.assertIn('[CallMethod],Error,Status=500', sb.oplog_messages())
            self.assertEqual((b'', [], dict((name, None) for name in STATE)), self.state(sb))

            # The next poll of the same run works; the service start is the
            # clock of the first poll that read it (05:00:00), so entry 2 is
            # current and entry 1 a past entry of the first start.
            sb.write_scenario({'clock': '2026-12-07T05:00:10', 'entries': good})
            self.assert_running_after(sb, 2)
            self.assertTrue(sb.stop())
            self.assertEqual(
                b'01,0,Critical,01,02,2026-12-07 04:00:00,2026-12-07 04:00:00,Fan 1 failed,,\n'
                b'02,0,Critical,01,02,2026-12-07 05:00:05,2026-12-07 05:00:05,Fan 2 failed,,\n', sb.datfile())
            self.assertEqual(['0xC0008102'], [i['event_id'] for i in sb.indications()])
            self.assertEqual(1, sb.get_reg(PARAMS, 'ServiceStart'))
            self.assertEqual('2026-12-07 05:00:10', sb.get_reg(PARAMS, 'CheckedTime'))

            # Each failing poll after a restart: logged, nothing recorded,
            # nothing persisted, the service still running.
            for change, line in FAILING_POLLS:
                with self.subTest(change=change):
                    scenario = {'clock': '2026-12-07T06:00:00',
                                'entries': good + [entry(3, 'Critical', '05:30:00', u'Fan 3 failed')]}
                    scenario.update(change)
                    self.replace_module(sb, scenario.pop('module', MODULE_KEPT))
                    sb.write_scenario(scenario)
                    before = self.state(sb)
                    waits = sb.oplog_messages().count('Wait')
                    self.assertEqual(0, sb.start())
                    self.assert_running_after(sb, waits + 1)
                    self.assertIn(line, sb.oplog_messages()[-40:])
                    self.assertTrue(sb.stop())
                    self.assertEqual(before, self.state(sb))


if __name__ == '__main__':
    unittest.main()
