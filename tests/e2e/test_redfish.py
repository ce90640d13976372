"""The daemon with the installed controller module reading a loopback Redfish
service (the sandbox shares the host's network): a first start, new entries,
an updated entry reported again, a restart with past reports, and a
controller that stops answering while the service keeps running and stops
within the module's deadline."""
import os
import sys
import time
import unittest

from zavsandbox import PARAMS, open_sandbox

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, 'controller'))
from fakeredfish import PASSWORD, FakeRedfish, entry  # noqa: E402

TIMEOUT, DEADLINE = 2, 5
INI = """[controller]
backend = redfish
[redfish]
url = %s
log_service = auto
username = monitor
password_file = /opt/kym/tolvex_sa/data/redfish.secret
auth = session
timeout = %d
deadline = %d
"""


def fan(n, created, severity='Critical', **fields):
    """A SEL entry of a fan below its lower critical threshold: class 0x04, code 0x0102."""
    return entry(n, created, EntryType='SEL', SensorType='Fan', EntryCode='Lower Critical - going low',
                 MessageId=None, Severity=severity, Message=u'Fan %d below critical' % n,
                 Resolution=u'Replace fan %d' % n, **fields)


def record(n, severity, updated, created, repaired=0):
    return '%02d,%d,%s,04,102,2026-12-0%s,2026-12-0%s,Fan %d below critical,Replace fan %d,' % (
        n, repaired, severity, updated, created, n, n)


class RedfishController(unittest.TestCase):
    def setUp(self):
        self.fake = FakeRedfish()
        self.addCleanup(self.fake.close)
        self.fake.knobs = {'page': 2, 'newest_first': True}
        self.sb = open_sandbox(self)
        self.addCleanup(self.sb.close)

    def records(self):
        return self.sb.datfile().decode('ascii').splitlines()

    def ids(self, since=0):
        return [i['event_id'] for i in self.sb.indications()[since:]]

    def poll(self, count):
        self.assertTrue(self.sb.wait_log('Wait', count=count, timeout=60), 'poll %d missing: %s %s %s %s' % (
            count, os.listdir(self.sb.path('log')), self.sb.oplog()[-1500:], self.sb.trace()[-1500:],
            self.sb.read('log/zavsmctl.log')))

    def test_entries_flow_from_a_redfish_controller_and_a_silent_one_never_holds_the_service(self):
        sb, fake = self.sb, self.fake
        sb.preset(MonitorInterval=10)
        sb.write_conf('[00040102]\n')
        with open(sb.path('data/controller.ini'), 'w') as f:
            f.write(INI % (fake.url, TIMEOUT, DEADLINE))
        secret = sb.path('data/redfish.secret')
        with open(secret, 'w') as f:
            f.write(PASSWORD + '\n')
        os.chmod(secret, 0o600)
        sb.start_core()

        # First start: three past entries in three offsets, served newest first
        # two per page; recorded oldest first in UTC, none reported.
        fake.knobs['clock'] = '2026-12-07T06:00:00+06:00'
        fake.entries = [fan(1, '2026-12-06T23:00:00Z'), fan(2, '2026-12-06T18:30:00-05:00'),
                        fan(3, '2026-12-07T05:45:00+06:00')]
        self.assertEqual(0, sb.start())
        self.poll(1)
        self.assertEqual([record(1, 'Critical', '6 23:00:00', '6 23:00:00'),
                          record(2, 'Critical', '6 23:30:00', '6 23:30:00'),
                          record(3, 'Critical', '6 23:45:00', '6 23:45:00')], self.records())
        self.assertEqual([], self.ids())
        self.assertEqual('2026-12-07 00:00:00', sb.get_reg(PARAMS, 'CheckedTime'))

        # A new entry: recorded and reported.
        fake.knobs['clock'] = '2026-12-07T00:01:00Z'
        fake.entries.append(fan(4, '2026-12-07T00:00:30Z'))
        self.poll(2)
        self.assertEqual([record(4, 'Critical', '7 00:00:30', '7 00:00:30')], self.records()[3:])
        self.assertEqual(['0xC0018402'], self.ids())

        # An old entry resolved since: recorded and reported again.
        fake.knobs['clock'] = '2026-12-07T00:02:00Z'
        fake.entries[1].update(Modified='2026-12-07T06:01:30+06:00', Resolved=True, Severity='OK')
        self.poll(3)
        self.assertEqual([record(2, 'OK', '7 00:01:30', '6 23:30:00', repaired=1)], self.records()[4:])
        self.assertEqual(['0xC0018402', '0x40018402'], self.ids())
        self.assertTrue(sb.stop())

        # A restart: what changed while the service was down goes out as past reports.
        fake.knobs['clock'] = '2026-12-07T00:10:00Z'
        fake.entries[2]['Modified'] = '2026-12-07T00:06:00Z'
        fake.entries.append(fan(5, '2026-12-06T19:05:00-05:00'))
        self.assertEqual(0, sb.start())
        self.poll(4)
        self.assertEqual([record(3, 'Critical', '7 00:06:00', '6 23:45:00'),
                          record(5, 'Critical', '7 00:05:00', '7 00:05:00')], self.records()[5:])
        self.assertEqual(['0xC000057F', '0xC000057F'], self.ids(2))
        self.assertEqual(5, sb.get_reg(PARAMS, 'ReadEventNumber'))
        # One session and one log service search per process, not per poll.
        self.assertEqual(2, fake.logins)
        self.assertEqual(2, sb.read('log/zavsmctl.log').count('log service chosen: '
                                                               '/redfish/v1/Managers/bmc/LogServices/SEL'))

        # The controller stops answering: each poll fails within the time-out,
        # the service polls on, and a stop during a hanging request is served
        # within the deadline.
        fake.knobs.update(delay=3600, delay_path='')
        self.assertTrue(sb.wait_log('DateTime Status=408', timeout=30), sb.oplog()[-1500:])
        self.assertTrue(sb.daemon_pid(timeout=1), 'the service must keep running')
        self.assertIn('no answer to GET', sb.read('log/zavsmctl.log'))
        asked = len(fake.requests)
        deadline = time.time() + 30
        while len(fake.requests) == asked and time.time() < deadline:
            time.sleep(0.05)
        self.assertGreater(len(fake.requests), asked, 'no further poll')
        start = time.time()
        self.assertTrue(sb.stop(timeout=DEADLINE + 10))
        took = time.time() - start
        sys.stderr.write('\nstop during a hanging request: %.1f s\n' % took)
        self.assertLess(took, DEADLINE + 3)
        self.assertEqual(7, len(self.records()))
        self.assertFalse([m for m in sb.oplog_messages() if ',Error,' in m and 'Status=408' not in m],
                         'unexpected error lines')


if __name__ == '__main__':
    unittest.main()
