"""The service's own files in a real run: the operation log's path and level
settings, and the size rotation of the event data file and of the operation
log (a file is rotated at the first write after its running count, line length
plus two per line, passed the limit; backups shift down to the configured
number and the oldest is dropped; no record is lost from the kept files).
"""
import os
import time
import unittest

from zavsandbox import LOGKEY, Sandbox, SandboxError


def entry(number):
    stamp = '2026-12-07T04:%02d:%02d' % (number // 60, number % 60)
    return {'EventNumber': number, 'Class': 1, 'Code': 2, 'Severity': 'Critical', 'Repaired': 0,
            'Created': stamp, 'Updated': stamp, 'Message': u'Fan %d failed' % number,
            'RecommendedAction': u'Change %d' % number}


def generations(records, limit):
    """Splits lines into files as the counting rule does, oldest file first."""
    files, count = [[]], 0
    for r in records:
        if count > limit:
            files.append([])
            count = 0
        files[-1].append(r)
        count += len(r) + 2
    return files


class LogFiles(unittest.TestCase):
    def sandbox(self):
        try:
            return Sandbox()
        except SandboxError as e:
            self.fail('the end-to-end sandbox cannot be made: %s' % e)

    def run_one_poll(self, sb, entries):
        sb.write_conf('[00010002]\n')
        sb.write_scenario({'clock': '2026-12-07T05:00:00', 'entries': entries})
        sb.start_core()
        self.assertEqual(0, sb.start())
        deadline = time.time() + 30
        while time.time() < deadline and not sb.datfile():
            time.sleep(0.05)
        self.assertTrue(sb.datfile(), 'no poll')
        self.assertTrue(sb.stop())

    def test_operation_log_path_expands_the_install_folder(self):
        with self.sandbox() as sb:
            sb.preset()
            sb.set_reg(LOGKEY, 'FilePath', 'expand_sz', '%ZavDir%/log/operation.log')
            self.run_one_poll(sb, [entry(1)])
            self.assertEqual('', sb.oplog())
            text = sb.read('log/operation.log')
            self.assertIn(',ZavDir=/opt/kym/tolvex_sa\n', text)
            self.assertTrue(text.endswith(',End\n\n'))

    def test_log_level_0_writes_nothing_and_9_writes_debug_lines(self):
        for level, debug in ((0, None), (9, True), (1, False)):
            with self.subTest(level=level):
                with self.sandbox() as sb:
                    sb.preset(LogLevel=level)
                    self.run_one_poll(sb, [entry(1)])
                    text = sb.oplog()
                    if debug is None:
                        self.assertFalse(os.path.exists(sb.path('log/zavsmflw.log')), text)
                    else:
                        self.assertEqual(debug, ',[WriteDat],Debug,Start\n' in text)
                        self.assertEqual(debug, ',Start\n' in text, 'level-3 lines at level %d' % level)

    def test_data_file_and_operation_log_rotate_by_size(self):
        with self.sandbox() as sb:
            # 100 is raised to 1024 for both files.
            sb.preset(MaxDatSize=100, NumberOfBackup=2, LogLevel=5, MaxLogSize=100, Generation=1)
            sb.write_conf('[007F0001]\n')
            # Records of 84 characters: 12 of them count 1032 and rotate the
            # file; counting one per line end instead (1020) would not.
            numbers = range(10, 70)
            entries = [entry(n) for n in numbers]
            sb.write_scenario({'clock': '2026-12-07T05:00:00', 'entries': entries})
            sb.start_core()
            self.assertEqual(0, sb.start())
            self.assertTrue(sb.wait_log('Wait', timeout=60))
            self.assertTrue(sb.stop())

            records = ['%02d,0,Critical,01,02,%s,%s,Fan %d failed,Change %d,'
                       % (n, e['Updated'].replace('T', ' '), e['Created'].replace('T', ' '), n, n)
                       for n, e in zip(numbers, entries)]
            self.assertEqual({84}, set(len(r) for r in records))
            files = generations(records, 1024)
            self.assertEqual(12, len(files[0]))
            self.assertGreater(len(files), 3, 'the test needs the oldest generation dropped')
            kept = {'log/zavsmsel.log': files[-1], 'log/zavsmsel.log1': files[-2], 'log/zavsmsel.log2': files[-3]}
            for name, lines in sorted(kept.items()):
                self.assertEqual(''.join(r + '\n' for r in lines), sb.read(name), name)
            self.assertFalse(os.path.exists(sb.path('log/zavsmsel.log3')))

            # One operation-log backup; the shutdown lines never rotate.
            self.assertFalse(os.path.exists(sb.path('log/zavsmflw.log2')))
            backup = sb.read('log/zavsmflw.log1').split('\n')[:-1]
            count = sum(len(line) + 2 for line in backup)
            self.assertGreater(count, 1024, 'the backup was rotated before its limit')
            self.assertLessEqual(count - len(backup[-1]) - 2, 1024, 'the backup was rotated late')
            self.assertEqual(['Wait', '[ZavMonitoringThread],End', '[CloseHandle],Debug,MonitoringThread',
                              '[CloseHandle],Debug,ServerStopEvent', '[CloseHandle],Debug,ExitThreadEvent',
                              '[FreeLibrary],Debug,ReportLib', 'End', '', ''], sb.oplog_messages()[-9:])


if __name__ == '__main__':
    unittest.main()
