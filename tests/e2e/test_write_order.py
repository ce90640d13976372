"""Write order under power loss: during a first-start pass every event data
record is synced to the disk (and the new data file's name with its folder)
before any value file of the checked entry that covers it is renamed into
place, each value file is synced before its rename, and the registry folder
is synced after an entry's renames before the next entry is recorded. The daemon's file-system
calls are recorded with strace inside the sandbox.
"""
import re
import unittest

from zavsandbox import DAEMON, PARAMS, open_sandbox

ENTRIES = [{'EventNumber': n, 'Class': 1, 'Code': 2, 'Severity': 'Critical', 'Repaired': 0,
            'Created': '2026-12-07T04:00:%02d' % n, 'Updated': '2026-12-07T04:00:%02d' % n,
            'Message': u'entry %d' % n, 'RecommendedAction': u'none'} for n in range(1, 6)]
CHECKED = ('READEVENTNUMBER', 'READEVENTCLASS', 'READEVENTCODE', 'READCREATED', 'READUPDATED', 'READREPAIRED')
# pid, call, arguments, result; an interrupted call is joined with its resumption.
CALL = re.compile(r'^(\d+) +(\w+)\((.*)\) += (-?\d+)')
UNFINISHED = re.compile(r'^(\d+) +(\w+)\((.*) <unfinished \.\.\.>$')
RESUMED = re.compile(r'^(\d+) +<\.\.\. (\w+) resumed>(.*)$')


def calls(text):
    pending = {}
    for line in text.splitlines():
        m = UNFINISHED.match(line)
        if m:
            pending[m.group(1)] = '%s %s(%s' % (m.group(1), m.group(2), m.group(3))
            continue
        m = RESUMED.match(line)
        if m and m.group(1) in pending:
            line = pending.pop(m.group(1)) + m.group(3)
        m = CALL.match(line)
        if m:
            yield m.group(2), m.group(3), int(m.group(4))


class WriteOrder(unittest.TestCase):
    def test_data_record_is_durable_before_its_checked_entry_is_stored(self):
        sb = open_sandbox(self)
        with sb:
            sb.preset()
            sb.write_scenario({'clock': '2026-12-07T05:00:00', 'entries': ENTRIES})
            sb.start_core()
            out = '/opt/kym/tolvex_sa/log/fs.strace'
            tracer = sb.spawn(['strace', '-f', '-qq', '-y', '-s', '256', '-o', out,
                               '-e', 'trace=%file,fsync,fdatasync,write', DAEMON])
            self.assertTrue(sb.wait_log('Wait', timeout=60), 'no first poll: %s' % sb.oplog())
            self.assertTrue(sb.stop())
            self.assertEqual(0, sb.wait_exit(tracer))
            text = sb.read('log/fs.strace')

        params = '/registry/HKEY_LOCAL_MACHINE/' + '/'.join(p.upper() for p in PARAMS.split('\\')) + '>'
        records = []         # per data record: the checked values renamed after it
        dat_synced = folder_synced = True
        log_folder_synced = False
        synced_files = set()
        for name, args, rc in calls(text):
            if name == 'write' and args.split(',', 1)[0].endswith('log/zavsmsel.log>'):
                self.assertTrue(folder_synced, 'record %d written before the registry folder was synced'
                                % (len(records) + 1))
                records.append([])
                dat_synced = False
            elif name == 'fdatasync' and 'log/zavsmsel.log>' in args and rc == 0:
                dat_synced = True
            elif name == 'fsync' and args.endswith(params) and rc == 0:
                folder_synced = True
            elif name == 'fsync' and args.endswith('/tolvex_sa/log>') and rc == 0:
                log_folder_synced = True
            elif name == 'fsync' and rc == 0:
                synced_files.add(args.split('<', 1)[-1].rstrip('>'))
            elif name.startswith('rename') and rc == 0:
                value = re.search(r'/V_(\w+)"\s*$', args)
                if value and value.group(1) in CHECKED:
                    self.assertTrue(records, 'a checked value stored before any record')
                    self.assertTrue(dat_synced, 'V_%s of record %d renamed before the record was synced'
                                    % (value.group(1), len(records)))
                    self.assertTrue(log_folder_synced, 'the new data file\'s folder was not synced')
                    self.assertIn(re.search(r'"([^"]+)"', args).group(1), synced_files,
                                  'V_%s renamed before its own sync' % value.group(1))
                    records[-1].append(value.group(1))
                    folder_synced = False
        self.assertEqual([sorted(CHECKED)] * len(ENTRIES), [sorted(r) for r in records], text[-3000:])
        self.assertTrue(folder_synced, 'the last entry was left without a folder sync')


if __name__ == '__main__':
    unittest.main()
