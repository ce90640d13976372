"""The operation log's path setting in a real run: the install folder is
expanded and every line, the shutdown's included, goes to the file named.
"""
import time
import unittest

from zavsandbox import LOGKEY, open_sandbox


def entry(number):
    stamp = '2026-12-07T04:%02d:%02d' % (number // 60, number % 60)
    return {'EventNumber': number, 'Class': 1, 'Code': 2, 'Severity': 'Critical', 'Repaired': 0,
            'Created': stamp, 'Updated': stamp, 'Message': u'Fan %d failed' % number,
            'RecommendedAction': u'Change %d' % number}


class LogFiles(unittest.TestCase):
    def sandbox(self):
        return open_sandbox(self)

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


if __name__ == '__main__':
    unittest.main()
