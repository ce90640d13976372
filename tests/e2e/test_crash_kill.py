"""Crash consistency: the daemon is killed with SIGKILL at random moments of
its passes over a controller log that keeps growing and being updated, and
restarted, again and again. Afterwards no entry is lost, no registry value is
torn or malformed, and no entry version (number and update time) is recorded
again once a poll that held it has completed. Re-recording what a killed pass
had already handled is the price of storing the checked time only when the
poll ends; the test counts it.

ZAV_KILLS sets the number of kills (default 30; the long run uses 200).
"""
import collections
import os
import random
import time
import unittest

from zavsandbox import LOGKEY, PARAMS, Sandbox


def stamp(seconds):
    base = time.mktime((2026, 12, 7, 0, 0, 0, 0, 0, -1))
    return time.strftime('%Y-%m-%dT%H:%M:%S', time.localtime(base + seconds))


class CrashKill(unittest.TestCase):
    def test_sigkill_at_random_moments_loses_nothing(self):
        kills = int(os.environ.get('ZAV_KILLS', '30'))
        rng = random.Random(int(os.environ.get('ZAV_KILL_SEED', '20261207')))
        with Sandbox() as sb:
            # Every setting present: no registry retries at start-up, so the
            # kills land in the poll rather than in the set-up.
            for name, value in (('MonitorInterval', 10), ('JapaneseMessage', 0), ('NumberOfBackup', 4),
                                ('MaxDatSize', 100000000)):
                sb.set_reg(PARAMS, name, 'dword', value)
            sb.set_reg(LOGKEY, 'FilePath', 'expand_sz', '/opt/kym/tolvex_sa/log/zavsmflw.log')
            for name, value in (('LogLevel', 3), ('Generation', 2), ('MaxLogSize', 100000000)):
                sb.set_reg(LOGKEY, name, 'dword', value)
            sb.write_conf('[007F0001]\n')  # a target nothing matches: this test is about recording
            sb.start_core()

            entries = []          # the controller's log, oldest first
            clock = 1000
            completed = {}        # version -> number of data-file lines when its poll had completed
            ever = set()
            for cycle in range(kills + 1):
                for _ in range(rng.randint(0, 5)):
                    clock += 1
                    n = len(entries) + 1
                    entries.append({'EventNumber': n, 'Class': 1, 'Code': 2, 'Severity': 'Critical',
                                    'Repaired': 0, 'Created': stamp(clock), 'Updated': stamp(clock),
                                    'Message': u'entry %d' % n, 'RecommendedAction': u'none'})
                    ever.add(n)
                for e in rng.sample(entries, min(len(entries), rng.randint(0, 2))):
                    clock += 1
                    e['Updated'] = stamp(clock)
                clock += 5  # the controller's clock is past every update of this cycle
                sb.write_scenario({'clock': stamp(clock), 'entries': entries})
                held = set((e['EventNumber'], e['Updated'].replace('T', ' ')) for e in entries)

                checks = self.count(sb, 'Check')
                self.assertEqual(0, sb.start())
                last = cycle == kills
                if last:
                    self.assertTrue(sb.wait_log('Wait', count=self.count(sb, 'Wait') + 1, timeout=60))
                    self.assertTrue(sb.stop())
                else:
                    # Mostly inside the pass (it starts with the "Check" line
                    # and lasts some tens of milliseconds), sometimes earlier.
                    if rng.random() < 0.85:
                        self.wait_checks(sb, checks + 1)
                        time.sleep(rng.random() * 0.08)
                    else:
                        time.sleep(rng.random() * 0.2)
                    self.assertTrue(sb.stop(sig=9))
                # A poll completed when the checked time is this cycle's clock.
                if sb.get_reg(PARAMS, 'CheckedTime') == stamp(clock).replace('T', ' '):
                    lines = sb.datfile().count(b'\n')
                    for v in held:
                        completed.setdefault(v, lines)

            self.check_registry(sb)
            records = self.records(sb)
            versions = collections.Counter((r[0], r[1]) for r in records)
            numbers = set(r[0] for r in records)
            self.assertEqual(ever, numbers & ever, 'entries never recorded: %s' % sorted(ever - numbers))
            final = set((e['EventNumber'], e['Updated'].replace('T', ' ')) for e in entries)
            missing = [v for v in final if versions[v] == 0]
            self.assertEqual([], missing, 'final versions not recorded')
            again = []
            for i, r in enumerate(records):
                v = (r[0], r[1])
                if v in completed and i >= completed[v]:
                    again.append(v)
            self.assertEqual([], again, 'recorded again after a completed poll held them')
            duplicates = sum(c - 1 for c in versions.values() if c > 1)
            print('\nkills %d, entries %d, records %d, versions %d, re-recorded after a killed pass %d'
                  % (kills, len(entries), len(records), len(versions), duplicates))

    @staticmethod
    def count(sb, message):
        return sum(1 for m in sb.oplog_messages() if m == message)

    def wait_checks(self, sb, n, timeout=30):
        deadline = time.time() + timeout
        while time.time() < deadline and self.count(sb, 'Check') < n:
            time.sleep(0.003)

    def records(self, sb):
        out = []
        for line in sb.datfile().split(b'\n'):
            if not line:
                continue
            f = line.decode('euc-jp').split(',')
            self.assertEqual(10, len(f), 'torn or malformed record: %r' % line)
            self.assertEqual('', f[9])
            out.append((int(f[0]), f[5]))
        return out

    def check_registry(self, sb):
        listing = sb.zavreg('list', PARAMS)
        self.assertEqual(0, listing.returncode, 'a value does not read back: %s' % listing.stderr)
        folder = os.path.dirname(sb.value_file(PARAMS, 'x'))
        leftovers = [f for f in os.listdir(folder) if '.tmp' in f]
        # A kill between a temporary file's creation and its rename leaves it
        # behind; it is never read as a value.
        for name in ('ReadEventNumber', 'ReadEventClass', 'ReadEventCode', 'ReadRepaired', 'ServiceStart'):
            self.assertIsInstance(sb.get_reg(PARAMS, name), int, name)
        for name in ('ReadCreated', 'ReadUpdated', 'CheckedTime'):
            value = sb.get_reg(PARAMS, name)
            self.assertEqual(19, len(value), '%s=%r' % (name, value))
        if leftovers:
            print('\ntemporary files left by kills: %d' % len(leftovers))


if __name__ == '__main__':
    unittest.main()
