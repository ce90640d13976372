"""Crash consistency: the daemon is killed with SIGKILL at random moments of its passes over a log
that keeps growing and changing, and restarted, again and again. No entry is lost, no registry value
is torn, and no entry version is recorded again once a poll that held it has completed (re-recording
what a killed pass had handled is the cost of storing the checked time when a poll ends).
ZAV_KILLS sets the number of kills (default 30; the long run uses 200), ZAV_KILL_SEED the seed.
"""
import os
import random
import time
import unittest

from zavsandbox import PARAMS, Sandbox, wait_until


def stamp(seconds):
    return time.strftime('%Y-%m-%dT%H:%M:%S', time.gmtime(1796601600 + seconds))  # from 2026-12-07 00:00


class CrashKill(unittest.TestCase):
    def test_sigkill_at_random_moments_loses_nothing(self):
        kills = int(os.environ.get('ZAV_KILLS', '30'))
        rng = random.Random(int(os.environ.get('ZAV_KILL_SEED', '20261207')))
        with Sandbox() as sb:
            sb.preset(MonitorInterval=10, MaxDatSize=100000000, MaxLogSize=100000000)
            sb.write_conf('[007F0001]\n')  # nothing matches: this is about recording
            sb.start_core()
            entries, clock, completed = [], 1000, {}  # version -> data-file lines when a poll holding it completed
            for cycle in range(kills + 1):
                for _ in range(rng.randint(0, 5)):
                    clock += 1
                    n = len(entries) + 1
                    entries.append({'EventNumber': n, 'Class': 1, 'Code': 2, 'Severity': 'Critical', 'Repaired': 0,
                                    'Created': stamp(clock), 'Updated': stamp(clock), 'Message': u'entry %d' % n,
                                    'RecommendedAction': u'none'})
                for e in rng.sample(entries, min(len(entries), rng.randint(0, 2))):
                    clock += 1
                    e['Updated'] = stamp(clock)
                clock += 5  # the controller's clock is past every update of this cycle
                sb.write_scenario({'clock': stamp(clock), 'entries': entries})
                held = set((e['EventNumber'], e['Updated'].replace('T', ' ')) for e in entries)
                checks = sb.oplog_messages().count('Check')
                self.assertEqual(0, sb.start())
                if cycle == kills:
                    self.assertTrue(sb.wait_log('Wait', count=sb.oplog_messages().count('Wait') + 1, timeout=60))
                    self.assertTrue(sb.stop())
                else:
                    if rng.random() < 0.85:  # mostly inside the pass, which starts with "Check"
                        wait_until(lambda: sb.oplog_messages().count('Check') > checks, 30, 0.003)
                        time.sleep(rng.random() * 0.08)
                    else:
                        time.sleep(rng.random() * 0.2)
                    self.assertTrue(sb.stop(sig=9))
                if sb.get_reg(PARAMS, 'CheckedTime') == stamp(clock).replace('T', ' '):
                    for v in held:
                        completed.setdefault(v, sb.datfile().count(b'\n'))
            self.assertEqual(0, sb.zavreg('list', PARAMS).returncode, 'a value does not read back')
            for name in ('ReadEventNumber', 'ReadEventClass', 'ReadEventCode', 'ReadRepaired', 'ServiceStart'):
                self.assertIsInstance(sb.get_reg(PARAMS, name), int, name)
            for name in ('ReadCreated', 'ReadUpdated', 'CheckedTime'):
                self.assertEqual(19, len(sb.get_reg(PARAMS, name)), name)
            records = []
            for line in sb.datfile().splitlines():
                f = line.decode('ascii').split(',')
                self.assertEqual((10, ''), (len(f), f[9]), 'torn record %r' % line)
                records.append((int(f[0]), f[5]))
            final = set((e['EventNumber'], e['Updated'].replace('T', ' ')) for e in entries)
            self.assertEqual(set(), final - set(records), 'final versions never recorded')
            self.assertEqual([], [v for i, v in enumerate(records) if i >= completed.get(v, len(records))],
                             'recorded again after a completed poll held them')
            print('\nkills %d, entries %d, records %d, versions %d' % (kills, len(entries), len(records),
                                                                       len(set(records))))


if __name__ == '__main__':
    unittest.main()
