"""Report messages with Japanese texts on: the definition file's EUC-JP headline
for the entry's severity leads, the labels are Japanese and the entry's
Japanese texts arrive converted to EUC-JP. With Japanese texts off the same
definition file gives English messages without any headline.
"""
import unittest

from zavsandbox import open_sandbox

DATE = bytes.fromhex('C6FCBBFE203A20')
STATUS = bytes.fromhex('BEF5C2D6203A20')
DETAIL = bytes.fromhex('BEDCBAD9203A20')
ACTION = bytes.fromhex('C2D0BDE8203A20')


def euc(text):
    return text.encode('euc_jp')


CONF = (b'# headlines in EUC-JP\n[00010002]\nf=' + euc(u'ファン故障') + b'\nw=' + euc(u'ファン低下') + b'\ni='
        + euc(u'ファン回復') + b'\n\n[00231A05]\n')


def entry(number, klass, code, severity, updated, message, action, repaired=0):
    stamp = '2026-12-07T' + updated
    return {'EventNumber': number, 'Class': klass, 'Code': code, 'Severity': severity, 'Repaired': repaired,
            'Created': stamp, 'Updated': stamp, 'Message': message, 'RecommendedAction': action}


ENTRIES = [
    entry(1, 0x01, 0x0002, 'Critical', '05:00:01', u'ファン1が故障しました', u'ファン1を交換してください'),
    entry(2, 0x01, 0x0002, 'Warning', '05:00:02', u'ファン2の回転数が低下しました', u''),
    entry(3, 0x01, 0x0002, 'OK', '05:00:03', u'ファン1が回復しました', u'不要', repaired=1),
    entry(4, 0x01, 0x0002, 'OK', '05:00:04', u'ファン3は正常です', u'なし'),
    entry(5, 0x23, 0x1A05, 'Warning', '05:00:05', u'温度が上昇しました', u'空調を確認してください'),
]


def japanese(headline, updated, klass, code, status, message, action=u''):
    out = (euc(headline) + b'\n' if headline else b'') + DATE + b'2026-12-07 ' + updated.encode() + b'\n'
    out += b'Event Class : ' + klass + b'\nEvent Code : ' + code + b'\n' + STATUS + status + b'\n'
    out += DETAIL + euc(message) + b'\n'
    return out + (ACTION + euc(action) if action else b'')


class JapaneseMessages(unittest.TestCase):
    def run_service(self, japanese_on):
        sb = open_sandbox(self)
        with sb:
            sb.preset(JapaneseMessage=japanese_on)
            sb.write_conf(CONF, mode='wb')
            sb.write_scenario({'clock': '2026-12-07T05:00:00', 'entries': ENTRIES})
            sb.start_core()
            self.assertEqual(0, sb.start())
            self.assertTrue(sb.wait_log('Wait', timeout=60))
            self.assertTrue(sb.stop())
            self.assertIn('JP=%02d' % japanese_on, sb.oplog_messages())
            return sb.indications(), sb.datfile()

    def test_japanese_messages_lead_with_the_headline_in_euc_jp(self):
        reports, records = self.run_service(1)
        expected = [
            ('0xC0008102', japanese(u'ファン故障', '05:00:01', b'0x01', b'0x02', b'Critical', ENTRIES[0]['Message'],
                                    ENTRIES[0]['RecommendedAction'])),
            ('0x80008102', japanese(u'ファン低下', '05:00:02', b'0x01', b'0x02', b'Warning', ENTRIES[1]['Message'])),
            ('0x40008102', japanese(u'ファン回復', '05:00:03', b'0x01', b'0x02', b'Repaired', ENTRIES[2]['Message'])),
            ('0x40008102', japanese(u'ファン回復', '05:00:04', b'0x01', b'0x02', b'OK', ENTRIES[3]['Message'],
                                    ENTRIES[3]['RecommendedAction'])),
            ('0x801AA305', japanese(None, '05:00:05', b'0x23', b'0x1A05', b'Warning', ENTRIES[4]['Message'],
                                    ENTRIES[4]['RecommendedAction'])),
        ]
        self.assertEqual([(i, m.hex()) for i, m in expected], [(r['event_id'], r['hex'][0]) for r in reports])
        for r in reports:
            self.assertIsNone(r['strings'][0], 'an EUC-JP message is not UTF-8')
            self.assertEqual(2, r['count'])
        self.assertEqual(b'05,0,Warning,23,1A05,2026-12-07 05:00:05,2026-12-07 05:00:05,' + euc(u'温度が上昇しました')
                         + b',' + euc(u'空調を確認してください') + b',\n', records.split(b'\n', 4)[4])

    def test_english_messages_ignore_the_headlines(self):
        reports, _ = self.run_service(0)
        self.assertEqual(5, len(reports))
        first = bytes.fromhex(reports[0]['hex'][0])
        self.assertEqual(b'Date : 2026-12-07 05:00:01\nEvent Class : 0x01\nEvent Code : 0x02\nStatus : Critical\n'
                         b'Description : ' + euc(ENTRIES[0]['Message']) + b'\nRecommended Action : '
                         + euc(ENTRIES[0]['RecommendedAction']), first)
        for r in reports:
            self.assertTrue(bytes.fromhex(r['hex'][0]).startswith(b'Date : '), r['event_id'])


if __name__ == '__main__':
    unittest.main()
