# -*- coding: utf-8 -*-
"""The controller module against a loopback Redfish service (Python 2.7 and 3):
a table of controller behaviours, each with the statuses and entries the
service must get, plus the field mapping and the refused settings."""
import os
import shutil
import socket
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, 'controller'))
import zavredfish  # noqa: E402
import zavsmsrv  # noqa: E402
from fakeredfish import PASSWORD, R, FakeRedfish, entry, make_cert  # noqa: E402

PY2 = sys.version_info[0] == 2
NARROW, WIDE = (str, type(u'')) if PY2 else (str, str)
SEL = R + '/Managers/bmc/LogServices/SEL'


def log(count, first=1):
    """count entries a minute apart, written in rotating offsets."""
    out = []
    for n in range(first, first + count):
        minute = n % 1440
        stamp = '2026-12-06T%02d:%02d:00' % (minute // 60, minute % 60)
        out.append(entry(n, stamp + ('Z', '+00:00', '.250Z', '')[n % 4]))
    return out


def read(path):
    with open(path) as f:
        return f.read()


def ordered(count):
    return sorted(range(1, count + 1), key=lambda n: (n % 1440, n))


MIXED = [  # written newest first by the fake; UTC times in the comments
    entry(7, '2026-12-07T11:00:00+06:00'),                 # 05:00
    entry(8, '2026-12-07T00:30:00-05:00'),                 # 05:30
    entry(9, '2026-12-07T04:59:59.999Z'),                  # 04:59:59
    entry(10, '2026-12-07T05:10:00'),                      # 05:10, no offset: UTC
]

# name, fake knobs, settings, expected: clock status, entries status, numbers (or a count), logins
CASES = [
    ('next links, newest first', dict(entries=log(120), newest_first=True), {}, (200, 200, ordered(120), 1)),
    ('$skip/$top only', dict(entries=log(120), paging='skip'), {}, (200, 200, ordered(120), 1)),
    ('$skip refused', dict(entries=log(120), paging='skip', status={'$skip': 400}), {}, (200, 200, 50, 1)),
    ('one page', dict(entries=log(60), paging='none'), {}, (200, 200, ordered(60), 1)),
    ('repeating next link', dict(entries=log(200), repeat_next=True), {}, (200, 200, 100, 1)),
    ('link-only members', dict(entries=log(30), link_only=True, page=7), {}, (200, 200, ordered(30), 1)),
    ('mixed offsets', dict(entries=MIXED, newest_first=True), {}, (200, 200, [9, 7, 10, 8], 1)),
    ('basic authentication', dict(entries=log(3)), dict(auth='basic'), (200, 200, ordered(3), 0)),
    ('token expired once', dict(entries=log(3), expire_once=True), {}, (200, 200, ordered(3), 2)),
    ('wrong password', dict(entries=log(3), password='other'), {}, (401, 401, None, 1)),
    ('no privilege', dict(status={'/Entries': 403}), {}, (200, 403, None, 1)),
    ('log service missing', {}, dict(log_service=R + '/Managers/bmc/LogServices/Nope'), (404, 404, None, 1)),
    ('server error', dict(status={'/Entries': 500}), {}, (200, 502, None, 1)),
    ('not JSON', dict(body={'/Entries': b'<html>busy</html>'}), {}, (200, 502, None, 1)),
    ('wrong shape', dict(body={'/Entries': b'{"Members": {"a": 1}}'}), {}, (200, 502, None, 1)),
    ('no clock anywhere', dict(entries=log(2), clock=None), {}, (502, 200, ordered(2), 1)),
    ('manager clock', dict(entries=log(2), clock=None, manager_clock='2026-12-07T06:00:00+01:00'), {},
     (200, 200, ordered(2), 1)),
    ('event log when no SEL', dict(entries=log(2), services=['Journal', 'EventLog']), {},
     (200, 200, ordered(2), 1)),
    ('no usable log', dict(services=['Journal']), {}, (404, 404, None, 1)),
    ('slower than the time-out', dict(delay=3, delay_path='/Entries'), dict(timeout=1), (200, 408, None, 1)),
    ('pages beyond the deadline', dict(entries=log(40), page=2, delay=0.3, delay_path='/Entries'),
     dict(deadline=2), (200, 504, None, 1)),
]


class ControllerModule(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix='zavctl-')
        cls.cert = make_cert(cls.tmp)
        cls.fake = FakeRedfish()

    @classmethod
    def tearDownClass(cls):
        cls.fake.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def configure(self, url, secret=PASSWORD, ini_mode=0o644, secret_mode=0o600, **settings):
        """Writes controller.ini and the password file and makes the module read them afresh."""
        ini, pw = os.path.join(self.tmp, 'controller.ini'), os.path.join(self.tmp, 'redfish.secret')
        values = dict(url=url, username='monitor', password_file=pw, timeout=5, deadline=20)
        values.update(settings)
        with open(ini, 'w') as f:
            f.write('[controller]\nbackend = redfish   ; a comment\n[redfish]\n')
            f.write(''.join('%s = %s\n' % kv for kv in values.items()))
        with open(pw, 'w') as f:
            f.write(secret + '\n')
        os.chmod(ini, ini_mode)
        os.chmod(pw, secret_mode)
        zavsmsrv.INI, zavsmsrv.LOG = ini, os.path.join(self.tmp, 'zavsmctl.log')
        if isinstance(zavsmsrv._backend, zavredfish.Controller):
            zavsmsrv._backend.close_session()
        zavsmsrv._backend = None

    def use(self, **knobs):
        self.fake.entries = knobs.pop('entries', [])
        self.fake.knobs = knobs
        self.fake.logins = 0
        del self.fake.requests[:]

    def test_each_controller_behaviour_gives_its_status_and_entries(self):
        for name, knobs, settings, (clock_status, iml_status, numbers, logins) in CASES:
            self.use(**knobs)
            self.configure(self.fake.url, **settings)
            clock = zavsmsrv.get_datetime()
            start = time.time()
            iml = zavsmsrv.get_iml()
            took = time.time() - start
            self.assertEqual((clock_status, iml_status), (clock[0], iml[0]), '%s: %s' % (name, zavsmsrv.last_error()))
            self.assertTrue(isinstance(clock[1], NARROW) and isinstance(iml[1], list), name)
            if clock_status == 200:
                self.assertEqual(19, len(clock[1]), name)
            if iml_status != 200:
                self.assertEqual([], iml[1], name)
                self.assertTrue(zavsmsrv.last_error(), name)
                # Bounded: a hung or slow controller never holds the service past the deadline.
                self.assertLess(took, min(settings.get('deadline', 20), settings.get('timeout', 5)) + 2, name)
            elif isinstance(numbers, int):
                self.assertEqual(numbers, len(iml[1]), name)
            else:
                self.assertEqual(numbers, [e['EventNumber'] for e in iml[1]], name)
            self.assertEqual(logins, self.fake.logins, name)
            if iml_status == 200:
                self.assertEqual('', zavsmsrv.last_error(), name)
            if clock_status != 200:
                continue
            # A second poll of the same process neither logs in nor discovers again.
            requests = len(self.fake.requests)
            zavsmsrv.get_datetime()
            again = self.fake.requests[requests:]
            self.assertFalse([r for r in again if r[0] == 'POST' or r[1].rstrip('/') == R], name)

    def test_fields_are_mapped_with_the_types_the_service_reads(self):
        self.use(entries=[
            entry(3, '2026-12-07T05:00:00+06:00', Modified='2026-12-07T06:15:30.5+06:00', Resolved=True,
                  Severity='Critical', Message=u'Lüfter 3 ausgefallen', Resolution=u'Replace fan 3'),
            entry('SEL-0x1f', '2026-12-06T22:00:00Z', EntryType='SEL', SensorType='Fan',
                  EntryCode='Lower Critical - going low', MessageId=None, Message=None, Severity=None,
                  ResolutionSteps=[{'ResolutionType': 'ReplaceComponent'}, {'ResolutionType': 'ResetReseat'}]),
            entry(5, '2026-12-07T00:00:00Z', MessageId='Oem', Created=None, Oem={'X': {'Class': '0x23'}}),
            entry(6, 'yesterday', MessageSeverity='OK', Severity=None),
        ])
        self.configure(self.fake.url)
        status, got = zavsmsrv.get_iml()
        self.assertEqual(200, status, zavsmsrv.last_error())
        registry = 0x40 + zavredfish.crc31('ResourceEvent') % 64
        key = 1 + zavredfish.crc31('ResourceErrorsDetected') % 65535
        self.assertEqual([
            {'EventNumber': 5, 'Repaired': 0, 'Severity': 'Warning', 'Message': u'Entry 5', 'Class': 0, 'Code': 0},
            {'EventNumber': 6, 'Repaired': 0, 'Severity': 'OK', 'Message': u'Entry 6', 'Class': registry,
             'Code': key},
            {'EventNumber': zavredfish.crc31('SEL-0x1f'), 'Repaired': 0, 'Created': '2026-12-06T22:00:00',
             'Updated': '2026-12-06T22:00:00', 'RecommendedAction': u'ReplaceComponent; ResetReseat',
             'Class': 0x04, 'Code': 0x0102},
            {'EventNumber': 3, 'Repaired': 1, 'Created': '2026-12-06T23:00:00', 'Updated': '2026-12-07T00:15:30',
             'Severity': 'Critical', 'Message': u'Lüfter 3 ausgefallen', 'RecommendedAction': u'Replace fan 3',
             'Class': registry, 'Code': key},
        ], got)
        for e in got:
            for k, v in e.items():
                expected = {'Message': WIDE, 'RecommendedAction': WIDE, 'Severity': NARROW, 'Created': NARROW,
                            'Updated': NARROW}.get(k, int)
                self.assertTrue(type(v) is expected, '%s is %s' % (k, type(v)))
        # Overrides: a number for every entry, or a property path that falls back where absent.
        self.configure(self.fake.url, **{'class': 'Oem.X.Class ; vendor field', 'code': '0x1A05'})
        got = dict((e['EventNumber'], (e['Class'], e['Code'])) for e in zavsmsrv.get_iml()[1])
        self.assertEqual({5: (0x23, 0x1A05), 6: (registry, 0x1A05), 3: (registry, 0x1A05),
                          zavredfish.crc31('SEL-0x1f'): (0x04, 0x1A05)}, got)
        # A class the service cannot take places nothing: 0 and 0, recorded, never reported.
        self.configure(self.fake.url, **{'class': '200'})
        self.assertEqual(set([(0, 0)]), set((e['Class'], e['Code']) for e in zavsmsrv.get_iml()[1]))

    def test_ten_thousand_entries_in_pages_of_fifty(self):
        self.use(entries=log(10000), page=50, newest_first=True)
        self.configure(self.fake.url)
        start = time.time()
        status, got = zavsmsrv.get_iml()
        took = time.time() - start
        self.assertEqual((200, 10000), (status, len(got)), zavsmsrv.last_error())
        self.assertEqual(ordered(10000), [e['EventNumber'] for e in got])
        sys.stderr.write('\n10000 entries in pages of 50: %.2f s (Python %d)\n' % (took, sys.version_info[0]))

    def test_tls_is_verified_unless_told_otherwise(self):
        fake = FakeRedfish(tls=self.cert)
        try:
            fake.entries = log(2)
            for settings, status in ((dict(), 503), (dict(ca_file=self.cert[0]), 200),
                                     (dict(verify_tls='no'), 200)):
                self.configure(fake.url, **settings)
                self.assertEqual(status, zavsmsrv.get_iml()[0], '%s: %s' % (settings, zavsmsrv.last_error()))
            self.assertIn('verify_tls = no', read(zavsmsrv.LOG))
        finally:
            fake.close()

    def test_unreachable_controllers_fail_with_a_connection_status(self):
        closed = socket.socket()
        closed.bind(('127.0.0.1', 0))
        port = closed.getsockname()[1]
        closed.close()
        for url in ('http://127.0.0.1:%d' % port, 'https://no-such-controller.invalid'):
            self.configure(url)
            self.assertEqual((503, 503), (zavsmsrv.get_datetime()[0], zavsmsrv.get_iml()[0]), url)

    def test_refused_login_is_not_retried_and_secrets_stay_out_of_the_logs(self):
        self.use(entries=log(2), password='Xy9-new-pw')
        self.configure(self.fake.url)
        self.assertEqual(401, zavsmsrv.get_iml()[0])
        self.assertEqual((401, 1), (zavsmsrv.get_iml()[0], self.fake.logins))
        self.assertIn('not tried again', zavsmsrv.last_error())
        # A new password file lifts the hold at once.
        os.remove(os.path.join(self.tmp, 'redfish.secret'))
        with open(os.path.join(self.tmp, 'redfish.secret'), 'w') as f:
            f.write('Xy9-new-pw\n')
        os.chmod(os.path.join(self.tmp, 'redfish.secret'), 0o600)
        self.assertEqual(200, zavsmsrv.get_iml()[0], zavsmsrv.last_error())
        text = read(zavsmsrv.LOG) + zavsmsrv.last_error()
        for secret in [PASSWORD, 'Xy9-new-pw'] + list(self.fake.tokens):
            self.assertNotIn(secret, text)

    def test_settings_other_users_may_change_or_read_are_refused(self):
        self.use(entries=log(2))
        for kwargs, needle in ((dict(ini_mode=0o664), 'controller.ini may be written'),
                               (dict(secret_mode=0o640), 'redfish.secret may be read'),
                               (dict(auth='digest'), 'auth'),
                               (dict(url='ftp://x'), 'url'),
                               (dict(timeout='soon'), 'timeout')):
            self.configure(kwargs.pop('url', self.fake.url), **kwargs)
            self.assertEqual((500, 500), (zavsmsrv.get_datetime()[0], zavsmsrv.get_iml()[0]), kwargs)
            self.assertIn(needle, zavsmsrv.last_error())
            self.assertEqual(0, self.fake.logins, kwargs)

    def test_times_in_any_offset_become_utc_texts_in_time_order(self):
        for text, utc in (('2026-12-07T05:00:00Z', '2026-12-07T05:00:00'),
                          ('2026-12-07T05:00:00.123456+06:00', '2026-12-06T23:00:00'),
                          ('2026-12-31T23:30:00-01:00', '2027-01-01T00:30:00'),
                          ('2026-12-07 05:00', '2026-12-07T05:00:00'),
                          ('2026-12-07T05:00:00+0530', '2026-12-06T23:30:00'),
                          ('2026-02-30T00:00:00Z', None), ('', None), (None, None), (17, None)):
            self.assertEqual(utc, zavredfish.utc_text(text), text)


if __name__ == '__main__':
    unittest.main()
