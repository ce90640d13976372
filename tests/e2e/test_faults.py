"""Faults around the daemon: full and read-only file systems for the log, the
event data file and the registry, junk in registry values, a report library
that cannot be loaded or lacks its entry. The daemon never crashes, keeps
polling where it can, and says what failed where a log can still be written.
"""
import os
import shutil
import time
import unittest

from zavsandbox import PARAMS, open_sandbox

INST = '/opt/kym/tolvex_sa'
PARAMS_DIR = 'registry/HKEY_LOCAL_MACHINE/SYSTEM/CURRENTCONTROLSET/SERVICES/ZAVSYSTEMMANAGEMENTSERVICE/PARAMETERS'


def scenario(n=3):
    return {'clock': '2026-12-07T10:00:00', 'entries': [
        {'EventNumber': i, 'Class': 1, 'Code': 2, 'Severity': 'Critical', 'Repaired': 0,
         'Created': '2026-12-07T10:00:0%d' % i, 'Updated': '2026-12-07T10:00:0%d' % i,
         'Message': u'entry %d' % i, 'RecommendedAction': u'act'} for i in range(1, n + 1)]}


class Faults(unittest.TestCase):
    def sandbox(self):
        sb = open_sandbox(self)
        self.addCleanup(sb.close)
        sb.set_reg(PARAMS, 'MonitorInterval', 'dword', 10)
        sb.write_scenario(scenario())
        sb.start_core()
        return sb

    def mount(self, sb, *argv):
        r = sb.run(['mount'] + list(argv))
        self.assertEqual(0, r['rc'], r.get('stderr'))

    def run_one_poll(self, sb):
        self.assertEqual(0, sb.start())
        pid = sb.daemon_pid()
        self.assertIsNotNone(pid, 'the daemon did not stay up')
        return pid

    def test_full_log_disk_loses_lines_but_the_service_runs_and_stores_its_state(self):
        sb = self.sandbox()
        self.mount(sb, '-t', 'tmpfs', '-o', 'size=64k', 'zavfull', INST + '/log')
        sb.run(['sh', '-c', 'cat /dev/zero > %s/log/filler 2>/dev/null; true' % INST])
        self.run_one_poll(sb)
        end = time.time() + 60
        while time.time() < end and sb.get_reg(PARAMS, 'CheckedTime') is None:
            time.sleep(0.1)
        self.assertEqual('2026-12-07 10:00:00', sb.get_reg(PARAMS, 'CheckedTime'))
        self.assertEqual(3, sb.get_reg(PARAMS, 'ReadEventNumber'))
        self.assertEqual(1, len(sb.pids()), 'the daemon must still run with a full log disk')
        # Space again: logging resumes, the stop is clean. (The tmpfs is seen
        # only inside the namespace.)
        sb.run(['rm', '-f', INST + '/log/filler'])
        self.assertTrue(sb.stop())
        log = sb.run(['cat', INST + '/log/zavsmflw.log'])['stdout'].split('\n')
        self.assertIn('End', [line[20:] for line in log])

    def test_read_only_data_file_is_reported_with_the_error_code(self):
        sb = self.sandbox()
        dat = INST + '/log/zavsmsel.log'
        sb.run(['touch', dat])
        self.mount(sb, '--bind', dat, dat)
        self.mount(sb, '-o', 'remount,bind,ro', dat)
        self.run_one_poll(sb)
        self.assertTrue(sb.wait_log('Wait'))
        self.assertTrue(sb.stop())
        msgs = sb.oplog_messages()
        self.assertEqual(3, msgs.count('[WriteDat],Error,0x1E'), 'EROFS once per record')
        self.assertEqual(b'', sb.datfile())
        # The entries still count as checked: the record is what was lost.
        self.assertEqual(3, sb.get_reg(PARAMS, 'ReadEventNumber'))

    def test_full_registry_logs_each_failed_store_and_keeps_polling(self):
        sb = self.sandbox()
        sb.set_reg(PARAMS, 'ServiceStart', 'dword', 1)
        self.mount(sb, '-t', 'tmpfs', '-o', 'size=16k', 'zavreg', INST + '/' + PARAMS_DIR)
        sb.run(['sh', '-c', 'printf "dword:10\\n" > %s/%s/V_MONITORINTERVAL; printf "dword:1\\n" > %s/%s/V_SERVICESTART;'
                ' cat /dev/zero > %s/%s/filler 2>/dev/null; true' % (INST, PARAMS_DIR, INST, PARAMS_DIR, INST,
                                                                    PARAMS_DIR)])
        self.run_one_poll(sb)
        self.assertTrue(sb.wait_log('Wait', timeout=60))
        self.assertEqual(1, len(sb.pids()))
        self.assertTrue(sb.stop())
        msgs = sb.oplog_messages()
        self.assertIn('[SetCheckedImlInfo],Error,0x1C', msgs)
        self.assertIn('[SetCheckedTime],Error,0x1C', msgs)
        self.assertEqual(3, sb.datfile().count(b'\n'), 'every entry is still recorded')
        leftovers = [f for f in os.listdir(os.path.join(sb.inst, PARAMS_DIR)) if '.tmp' in f]
        self.assertEqual([], leftovers, 'a failed write removes its temporary file')

    def test_junk_in_registry_values_reads_as_missing(self):
        sb = self.sandbox()
        self.run_one_poll(sb)
        self.assertTrue(sb.wait_log('Wait', timeout=60))
        self.assertTrue(sb.stop())
        for name, junk in (('ReadEventNumber', b'dword:\xff\xfe\x00junk'), ('CheckedTime', b'\x00\x01\x02'),
                           ('MonitorInterval', b'dword:99999999999'), ('ReadCreated', b'')):
            with open(sb.value_file(PARAMS, name), 'wb') as f:
                f.write(junk)
        self.run_one_poll(sb)
        self.assertTrue(sb.wait_log('Wait', count=2, timeout=60))
        self.assertTrue(sb.stop())
        msgs = sb.oplog_messages()
        self.assertIn('Cycle=30000', msgs, 'a malformed interval gives the default')
        self.assertTrue(any(line.endswith(": <Can't get checked iml's Number. Regard as first start.")
                            for line in sb.trace().splitlines()))
        self.assertEqual(3, sb.get_reg(PARAMS, 'ReadEventNumber'), 'the next pass stores a sound value again')

    def test_report_library_unloadable_or_without_entry_stops_the_service(self):
        for content, line in ((b'not an ELF file', '[LoadReportFunc],Error,libstdalert.so'),
                              (None, '[GetProcAddress],Error,SendIndication')):
            sb = self.sandbox()
            lib = sb.path('lib/libstdalert.so')
            os.unlink(lib)
            if content is None:
                for cand in ('/lib/x86_64-linux-gnu/libm.so.6', '/usr/lib/x86_64-linux-gnu/libm.so.6'):
                    if os.path.exists(cand):
                        shutil.copy(cand, lib)
                        break
            else:
                with open(lib, 'wb') as f:
                    f.write(content)
            self.assertEqual(0, sb.start())
            self.assertTrue(sb.wait_gone(timeout=30), 'the service must end by itself')
            msgs = sb.oplog_messages()
            self.assertIn(line, msgs)
            self.assertNotIn('[ZavMonitoringThread],Start', msgs)
            self.assertEqual('End', [m for m in msgs if m][-1])


if __name__ == '__main__':
    unittest.main()
