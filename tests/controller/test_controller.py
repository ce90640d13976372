# -*- coding: utf-8 -*-
# The controller module (Python 2.7 and 3): the Redfish backend behind a fake HTTP connection,
# its own connection against loopback sockets, the entry mapping and zavsmsrv.py's backend choice.
import json
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, 'controller'))
import zavcommon  # noqa: E402
import zavredfish  # noqa: E402
import zavsmsrv  # noqa: E402

R, BMC, LOGIN = '/redfish/v1/', '/redfish/v1/Managers/bmc', '/redfish/v1/SessionService/Sessions'
LS, SEL, PASSWORD = BMC + '/LogServices', BMC + '/LogServices/SEL', 'pa55-w0rd:secret'


def log(count): return [{'Id': str(n), 'Created': '2026-12-06T10:%02d:00Z' % n} for n in range(1, count + 1)]


def site(entries, repeat=False, **routes):
    # One manager whose SEL serves entries three a page (repeat: every next link names page 2).
    out = {R: {'Managers': {'@odata.id': R + 'Managers'}}, R + 'Managers': {'Members': [{'@odata.id': BMC}]},
           BMC: {'LogServices': {'@odata.id': LS}}, LS: {'Members': [{'@odata.id': SEL, 'Id': 'SEL'}]},
           SEL: {'DateTime': '2026-12-07T06:00:00+01:00'}, LOGIN: (201, {}, {'X-Auth-Token': 'tok-7f3a'})}
    for i in range(0, max(len(entries), 1), 3):
        page = out[SEL + '/Entries' + ('?$skip=%d' % i if i else '')] = {'Members': entries[i:i + 3]}
        if i + 3 < len(entries):
            page['Members@odata.nextLink'] = SEL + '/Entries?$skip=%d' % (3 if repeat else i + 3)
    out.update(routes)
    return out


class Connection(object):
    # Stands in for the module's HTTP connection: answers from routes, each after delay seconds.
    routes, sent = {}, []

    def __init__(self, settings, context): self.sock, self.will_close = None, False

    def request(self, method, path, body, headers):
        Connection.sent.append((method, path))
        time.sleep(self.routes.get('delay', 0))
        answer = self.routes.get(path, (404, {}))
        if isinstance(answer, Exception):
            raise answer
        self.status, body, self.headers = (answer + ({},))[:3] if isinstance(answer, tuple) else (200, answer, {})
        self.data = body if isinstance(body, bytes) else json.dumps(body).encode('utf-8')

    def getresponse(self): return self

    def read(self): return self.data

    def getheader(self, name, default=None): return self.headers.get(name, default)

    def close(self): pass


MIXED = [{'Id': '10', 'Created': '2026-12-07T05:00:00'}, {'Id': '8', 'Created': '2026-12-07T00:30:00-05:00'},
         {'Id': '9', 'Created': '2026-12-07T04:59:59.9Z'}, {'Id': '7', 'Created': '2026-12-07T11:00:00+06:00'}]
NO_CLOCK = {SEL: {}}
# name, routes, settings, expected: clock status, entries status, event numbers, logins
CASES = [
    ('time order across offsets, ties by number', site(MIXED), {}, (200, 200, [9, 7, 10, 8], 1)),
    ('repeating next link', site(log(9), repeat=True), {}, (200, 200, [1, 2, 3, 4, 5, 6], 1)),
    ('slow pages past the deadline', site(log(90), delay=0.05), dict(deadline=1), (200, 504, None, 1)),
    ('basic authentication', site(log(1)), dict(auth='basic'), (200, 200, [1], 0)),
    ('login refused, held back', site(log(1), **{LOGIN: (401, {})}), {}, (401, 401, None, 1)),
    ('password file others may read', site(log(1)), dict(secret_mode=0o640), (500, 500, None, 0)),
    ('controller.ini others may write', site(log(1)), dict(ini_mode=0o664), (500, 500, None, 0)),
    ('no privilege', site(log(1), **{SEL + '/Entries': (403, {})}), {}, (200, 403, None, 1)),
    ('server error', site(log(1), **{SEL + '/Entries': (500, {})}), {}, (200, 502, None, 1)),
    ('not JSON', site(log(1), **{SEL + '/Entries': (200, b'<html>busy</html>')}), {}, (200, 502, None, 1)),
    ('no clock anywhere', site(log(1), **NO_CLOCK), {}, (502, 200, [1], 1)),
    ('manager clock', site(log(1), **dict(NO_CLOCK, **{BMC: dict(
        DateTime='2026-12-07T07:00+02:00', LogServices={'@odata.id': LS})})), {}, (200, 200, [1], 1)),
    ('no SEL or event log', site([], **{LS: {'Members': [{'@odata.id': LS + '/Audit', 'Id': 'Audit'}]}}), {},
     (404, 404, None, 1)),
    ('no answer within timeout', site(log(1), **{SEL + '/Entries': socket.timeout()}), {}, (200, 408, None, 1)),
    ('connection refused', site(log(1), **{R: socket.error(111, 'refused')}), {}, (503, 503, None, 1)),
]


def configure(tmp, url='http://192.0.2.10', ini_mode=0o644, secret_mode=0o600, **settings):
    # controller.ini and the password file, read afresh by the module.
    ini, pw = os.path.join(tmp, 'controller.ini'), os.path.join(tmp, 'redfish.secret')
    values = dict(dict(url=url, username='monitor', password_file=pw, timeout=1, deadline=2), **settings)
    text = '[controller]\nbackend = redfish ; note\n[redfish]\n' + ''.join('%s = %s\n' % kv for kv in values.items())
    for path, content, mode in ((ini, text, ini_mode), (pw, PASSWORD + '\n', secret_mode)):
        with open(path, 'w') as f:
            f.write(content)
        os.chmod(path, mode)
    zavsmsrv.INI, zavcommon.LOG, zavsmsrv._backend = ini, os.path.join(tmp, 'zavsmctl.log'), None


class ControllerModule(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix='zavctl-')
        self.addCleanup(subprocess.call, ['rm', '-rf', self.tmp])
        self.addCleanup(setattr, zavredfish, '_Connection', zavredfish._Connection)

    def test_each_controller_behaviour_gives_its_status_and_entries(self):
        zavredfish._Connection = Connection
        for name, routes, settings, (clock_status, iml_status, numbers, logins) in CASES:
            Connection.routes, Connection.sent = routes, []
            configure(self.tmp, **settings)
            clock, iml = zavsmsrv.get_datetime(), zavsmsrv.get_iml()
            self.assertEqual((clock_status, iml_status, numbers or [], logins, iml_status != 200),
                             (clock[0], iml[0], [e['EventNumber'] for e in iml[1]],
                              [m for m, _ in Connection.sent].count('POST'), bool(zavsmsrv.last_error())),
                             '%s: %s' % (name, zavsmsrv.last_error()))
            self.assertEqual(clock_status == 200, clock[1] == '2026-12-07T05:00:00', name)
            with open(zavcommon.LOG) as f:
                self.assertNotIn(PASSWORD, f.read() + zavsmsrv.last_error(), name)
            del Connection.sent[:]  # a later poll neither logs in nor looks for the log again
            zavsmsrv.get_iml()
            self.assertFalse(clock_status == 200 and [p for m, p in Connection.sent if p in (LOGIN, R, LS)], name)

    def test_module_connection_verifies_tls_and_bounds_each_request(self):
        cert, key = os.path.join(self.tmp, 'cert.pem'), os.path.join(self.tmp, 'key.pem')
        subprocess.check_output(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=127.0.0.1',
                                 '-addext', 'subjectAltName=IP:127.0.0.1', '-keyout', key, '-out', cert],
                                stderr=subprocess.STDOUT)
        context = ssl.SSLContext(getattr(ssl, 'PROTOCOL_TLS_SERVER', ssl.PROTOCOL_SSLv23))
        context.load_cert_chain(cert, key)
        tls, mute, gone = socket.socket(), socket.socket(), socket.socket()
        for s in (tls, mute, gone):
            s.bind(('127.0.0.1', 0))
            s.listen(8)
            self.addCleanup(s.close)
        urls = ['http%s://127.0.0.1:%d' % (k, s.getsockname()[1]) for k, s in zip(('s', '', ''), (tls, mute, gone))]
        gone.close()

        def serve():  # the three https cases, each answered with an empty object: no log found, 404
            for _ in range(3):
                c = tls.accept()[0]
                try:
                    c = context.wrap_socket(c, server_side=True)
                    c.recv(65536)
                    c.sendall(b'HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}')
                except (ssl.SSLError, socket.error):
                    pass
                c.close()
        server = threading.Thread(target=serve)
        server.daemon = True
        server.start()
        for url, settings, status in ((urls[0], {}, 503), (urls[0], dict(ca_file=cert), 404), (urls[1], {}, 408),
                                      (urls[0], dict(verify_tls='no'), 404), (urls[2], {}, 503)):
            configure(self.tmp, url, auth='basic', **settings)
            self.assertEqual(status, zavsmsrv.get_iml()[0], '%s %s: %s' % (url, settings, zavsmsrv.last_error()))

    def test_backend_choice(self):
        zavsmsrv.INI, zavsmsrv._backend = os.path.join(self.tmp, 'none.ini'), None
        self.assertEqual((200, 3), (zavsmsrv.get_iml()[0], len(zavsmsrv.get_iml()[1])))  # no file: simulated
        for text, status in (('backend = sim', 200), ('backend = other', 500), ('[redfish', 500)):
            with open(zavsmsrv.INI, 'w') as f:
                f.write('[controller]\n%s\n' % text)
            zavsmsrv._backend, zavcommon._last_error = None, ''
            self.assertEqual((status, status, status == 500),
                             (zavsmsrv.get_datetime()[0], zavsmsrv.get_iml()[0], bool(zavsmsrv.last_error())), text)

    def test_entries_map_to_what_the_service_reads(self):
        types = dict(Message=type(u''), RecommendedAction=type(u''), Severity=str, Created=str, Updated=str)
        for raw, expected in (
            (dict(Id='3', Created='2026-12-07T05:00:00+06:00', Modified='2026-12-07T06:15:30.5+06:00', Resolved=True,
                  Severity='Critical', Message=u'Lüfter', Resolution=u'Tausch', MessageId='Fan.1.0.Errors'),
             dict(EventNumber=3, Created='2026-12-06T23:00:00', Updated='2026-12-07T00:15:30', Repaired=1,
                  Severity='Critical', Message=u'Lüfter', RecommendedAction=u'Tausch',
                  Class=0x59, Code=0x9229)),  # 0x40 + crc of the registry % 64, 1 + crc of the key
            (dict(Id='SEL-0x1f', EntryType='SEL', SensorType='Fan', EntryCode='Lower Critical - going low',
                  Resolved=False, ResolutionSteps=[{'ResolutionType': 'Replace'}, {'ResolutionType': 'Reseat'}]),
             dict(EventNumber=557208230, Repaired=0, RecommendedAction=u'Replace; Reseat', Class=4, Code=0x0102)),
            (dict(Id=5, SensorType='Fan', EntryCode='unknown', MessageSeverity='OK'),  # a class without a code
             dict(EventNumber=5, Repaired=0, Severity='OK', Class=0x7F, Code=0xFFFF)),
        ):
            got = zavredfish.map_entry(raw)
            self.assertEqual(expected, got)
            self.assertEqual([types.get(k, int) for k in got], [type(v) for v in got.values()])
        self.assertEqual(dict(EventNumber=6, Repaired=0, Class=0x23, Code=0x1A05),  # a property path, then a number
                         zavredfish.map_entry(dict(Id='6', Oem={'C': '0x23'}), ['Oem', 'C'], 0x1A05))

    def test_times_in_any_offset_become_utc_texts(self):
        for text, utc in (('2026-12-07T05:00:00Z', '2026-12-07T05:00:00'), ('2026-12-07 05:00', '2026-12-07T05:00:00'),
                          ('2026-12-07T05:00:00.1234+06:00', '2026-12-06T23:00:00'), ('2026-02-30T00:00:00Z', None),
                          ('2026-12-31T23:30:00-01:00', '2027-01-01T00:30:00'), ('yesterday', None),
                          ('2026-12-07T05:00:00+0530', '2026-12-06T23:30:00'), (None, None)):
            self.assertEqual(utc, zavredfish.utc_text(text), text)


if __name__ == '__main__':
    unittest.main()
