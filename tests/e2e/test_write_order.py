"""Write order under power loss, from the daemon's file-system calls (strace) during a first start:
each data record is synced (and the new data file's folder) before any value of the checked entry
covering it is renamed into place, each value file is synced before its rename, and the registry
folder is synced after an entry's renames, before the next record; the single values the poll stores at
its end (checked time, first-start flag) go the same durable way."""
import re
import unittest

from zavsandbox import DAEMON, PARAMS, open_sandbox

CHECKED = ('READEVENTNUMBER', 'READEVENTCLASS', 'READEVENTCODE', 'READCREATED', 'READUPDATED', 'READREPAIRED')
SINGLE = ('CHECKEDTIME', 'SERVICESTART')


def calls(text):
    """(call, arguments, result) in order; an interrupted call is joined with its resumption."""
    pending = {}
    for line in text.splitlines():
        m = re.match(r'^(\d+) +(\w+\(.*) <unfinished \.\.\.>$', line)
        if m:
            pending[m.group(1)] = m.group(2)
            continue
        m = re.match(r'^(\d+) +<\.\.\. \w+ resumed>(.*)$', line)
        if m and m.group(1) in pending:
            line = '%s %s%s' % (m.group(1), pending.pop(m.group(1)), m.group(2))
        m = re.match(r'^\d+ +(\w+)\((.*)\) += (-?\d+)', line)
        if m:
            yield m.group(1), m.group(2), int(m.group(3))


class WriteOrder(unittest.TestCase):
    def test_data_record_is_durable_before_its_checked_entry_is_stored(self):
        with open_sandbox(self) as sb:
            sb.preset()
            entries = [{'EventNumber': n, 'Class': 1, 'Code': 2, 'Severity': 'Critical', 'Repaired': 0,
                        'Created': '2026-12-07T04:00:%02d' % n, 'Updated': '2026-12-07T04:00:%02d' % n,
                        'Message': u'entry %d' % n, 'RecommendedAction': u'none'} for n in range(1, 6)]
            sb.write_scenario({'clock': '2026-12-07T05:00:00', 'entries': entries})
            sb.start_core()
            tracer = sb.spawn(['strace', '-f', '-qq', '-y', '-s', '256', '-o', '/opt/kym/tolvex_sa/log/fs.strace',
                               '-e', 'trace=%file,fsync,fdatasync,write', DAEMON])
            self.assertTrue(sb.wait_log('Wait', timeout=60), 'no first poll: %s' % sb.oplog())
            self.assertTrue(sb.stop())
            self.assertEqual(0, sb.wait_exit(tracer))
            text = sb.read('log/fs.strace')
        params = '/registry/HKEY_LOCAL_MACHINE/' + '/'.join(p.upper() for p in PARAMS.split('\\')) + '>'
        records, synced, singles = [], set(), []  # per record: the checked values renamed after it; files synced
        dat_synced = folder_synced = True
        log_folder_synced = False
        for name, args, rc in calls(text):
            if name == 'write' and args.split(',', 1)[0].endswith('log/zavsmsel.log>'):
                self.assertTrue(folder_synced, 'record %d written before the registry folder sync' % len(records))
                records.append([])
                dat_synced = False
            elif rc != 0:
                continue
            elif name == 'fdatasync' and 'log/zavsmsel.log>' in args:
                dat_synced = True
            elif name == 'fsync':
                folder_synced |= args.endswith(params)
                log_folder_synced |= args.endswith('/tolvex_sa/log>')
                synced.add(args.split('<', 1)[-1].rstrip('>'))
            elif name.startswith('rename'):
                value = re.search(r'/V_(\w+)"\s*$', args)
                if value and value.group(1) in SINGLE:
                    self.assertIn(re.search(r'"([^"]+)"', args).group(1), synced, 'V_%s unsynced' % value.group(1))
                    singles.append(value.group(1))
                    folder_synced = False
                elif value and value.group(1) in CHECKED:
                    self.assertTrue(records and dat_synced and log_folder_synced,
                                    'V_%s renamed before record %d and its folder were synced' % (value.group(1),
                                                                                                  len(records)))
                    self.assertIn(re.search(r'"([^"]+)"', args).group(1), synced, 'V_%s unsynced' % value.group(1))
                    records[-1].append(value.group(1))
                    folder_synced = False
        self.assertEqual([sorted(CHECKED)] * len(entries), [sorted(r) for r in records], text[-3000:])
        self.assertIn('CHECKEDTIME', singles, text[-3000:])
        self.assertTrue(folder_synced, 'the last value stored was left without a folder sync')


if __name__ == '__main__':
    unittest.main()
