# -*- coding: utf-8 -*-
# The controller module (Python 2.7 and 3): the Redfish backend behind a fake HTTP connection,
# its own connection against loopback sockets, the entry mapping and zavsmsrv.py's backend choice;
# the IPMI backend's mapping and incremental reads behind fake tool runs, its tools' failures, and
# the backend against a simulated IPMI controller on loopback.
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

_TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
sys.path[:0] = [os.path.join(_TOP, 'controller'), os.path.join(_TOP, 'scripts')]
import zavcommon  # noqa: E402
import zavipmi  # noqa: E402
import zavipmisim  # noqa: E402
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
        for text, status in (('backend = sim', 200), ('backend = other', 500), ('[redfish', 500),
                             ('backend = ipmi\n[ipmi]\ndriver = serial', 500),
                             ('backend = ipmi ; a comment\n[ipmi]\nworkaround_flags =  ; none\n'
                              'ipmi_sel = /nonexistent/ipmi-sel', 503)):
            with open(zavsmsrv.INI, 'w') as f:
                f.write('[controller]\n%s\n' % text)
            zavsmsrv._backend, zavcommon._last_error = None, ''
            self.assertEqual((status, status, status != 200),
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


# -- IPMI ------------------------------------------------------------------------------------
T0 = 0x6A583980                      # 2026-07-16T01:53:04 UTC
HOT, BIST, FAN = zavipmisim.INLET_HOT, zavipmisim.CPU_BIST, zavipmisim.FAN_LOW


def record(number, stamp, event=HOT, rtype=0x02):
    # 16 SEL record bytes: a system event (event: the bytes after the generator ID) or an OEM record.
    raw = [number & 0xFF, number >> 8, rtype] + [stamp >> s & 0xFF for s in (0, 8, 16, 24)] + (
        [0x20, 0] + list(event) if rtype == 0x02 else list(event))
    return number, bytes(bytearray((raw + [0] * 16)[:16]))


def le(value, size): return [value >> (8 * i) & 0xFF for i in range(size)]


class FakeSel(object):
    # The controller as the tools would print it; every tool run is kept in runs.
    def __init__(self):
        self.records, self.texts, self.runs, self.between, self.before_texts = [], {}, [], None, None
        self.added, self.erased, self.capacity, self.next = T0, T0 - 600, 100, 1

    def add(self, *events):
        for event in events:
            self.added += 1
            self.records.append(record(self.next, self.added, event))
            self.texts[self.next] = 'Sensor %d,Type,Critical,Event %d' % (self.next, self.next)
            self.next += 1

    def clear(self, restart=False, erase=True):
        self.records = []
        self.erased += 60 if erase else 0
        self.next = 1 if restart else self.next

    def run(self, argv, limit):
        tool, args = os.path.basename(argv[0]), argv[2:]
        self.runs.append((tool, [a for a in args if a.startswith('--display-range')]))
        if tool == 'ipmi-raw':
            data = le(T0 + 5, 4) if args[-1] == '0x48' else [0x51] + le(len(self.records), 2) + le(
                (self.capacity - len(self.records)) * 16, 2) + le(self.added, 4) + le(self.erased, 4) + [0x0A]
            return 0, ('rcvd: %s 00 %s\n' % (args[-1][2:], ' '.join('%02X' % b for b in data))).encode(), b''
        if self.between:
            self.between(self)
            self.between = None
        first = int(([a.split('=')[1].split('-')[0] for a in args if a.startswith('--display-range')] or ['0'])[0])
        shown = [r for r in self.records if r[0] >= first]
        if '--hex-dump' not in args and self.before_texts:
            self.before_texts(self)
            self.before_texts = None
            shown = [r for r in self.records if r[0] >= first]
        if '--hex-dump' in args:
            return 0, ''.join('RID:%s\n' % ' '.join('[%02X]' % b for b in bytearray(raw)) for _, raw in shown).encode(), b''
        return 0, ''.join('%d,Date,Time,%s\n' % (n, self.texts[n]) for n, _ in shown).encode(), b''


# name, steps: (change, event numbers returned (None: status 502), ipmi-sel runs with their range, reason line levels)
INCREMENTAL = [
    ('IDs that keep rising after a clear', [
        (lambda sel: sel.add(HOT, BIST, FAN), [1, 2, 3], [[], []], []),
        (lambda sel: None, [1, 2, 3], [], []),
        (lambda sel: sel.add(HOT, HOT), [1, 2, 3, 4, 5], [['--display-range=3-65534']] * 2, []),
        (lambda sel: (sel.clear(), sel.add(FAN)), [6], [[], []], ['info'])]),
    ('IDs that restart at 1 after a clear that keeps its erase time: the anchor changed', [
        (lambda sel: sel.add(HOT, BIST, FAN), [1, 2, 3], [[], []], []),
        (lambda sel: (sel.clear(restart=True, erase=False), sel.add(FAN, FAN, FAN, FAN)), [1, 2, 3, 4],
         [['--display-range=3-65534']] * 2 + [[], []], ['info'])]),
    ('a clear between the information and the read', [
        (lambda sel: sel.add(HOT, BIST), [1, 2], [[], []], []),
        (lambda sel: (sel.add(FAN), setattr(sel, 'between', lambda s: (s.clear(erase=False), s.add(HOT)))), [4],
         [['--display-range=2-65534']] * 2 + [[], []], ['info'])]),
    ('a clear between the two reads of one poll: nothing from it, the next poll reads whole', [
        (lambda sel: sel.add(HOT, BIST), [1, 2], [[], []], []),
        (lambda sel: (sel.add(FAN), setattr(sel, 'before_texts', lambda s: (s.clear(), s.add(HOT)))), None,
         [['--display-range=2-65534']] * 2, ['error']),
        (lambda sel: None, [4], [[], []], ['info'])]),
    ('the oldest record overwritten: counts disagree', [
        (lambda sel: sel.add(HOT, BIST), [1, 2], [[], []], []),
        (lambda sel: (sel.records.pop(0), sel.add(FAN)), [2, 3], [['--display-range=2-65534']] * 2 + [[], []],
         ['info'])]),
    ('a SEL filling up, then cleared', [
        (lambda sel: (setattr(sel, 'capacity', 5), sel.add(HOT, HOT, HOT)), [1, 2, 3], [[], []], []),
        (lambda sel: sel.add(HOT), [1, 2, 3, 4], [['--display-range=3-65534']] * 2, ['warning']),
        (lambda sel: sel.add(HOT), [1, 2, 3, 4, 5], [['--display-range=4-65534']] * 2, []),
        (lambda sel: sel.clear(), [], [], ['warning', 'info'])]),
]
# records, event texts, erase stamp, TZ (clock = local when set); expected per entry:
# (Created or None, Class, Code, Repaired, Severity, Message)
MAPPING = [
    ([record(1, 0x100), record(2, T0, BIST), record(3, 0x200, FAN), record(4, 0x04030201, range(13), 0xE0),
      record(5, T0 + 60, (0x04, 0x01, 0x30, 0x81, 0x59, 0, 0)), record(6, T0 + 61, (0x57, 1, 0, 1, 2, 3), 0xC1),
      record(7, T0 + 62, (0x04, 0xC5, 0x31, 0x6F, 0x02, 0, 0)), record(8, T0 + 63, (0x04, 0x07, 0x31, 0x00, 0x00, 0, 0)),
      record(9, T0 + 64, (0x04, 0x07, 0x48, 0xEF, 0x01, 0xFF, 0xFF))],
     {1: ('Inlet Temp', 'Critical', 'Upper Critical - going high'), 2: ('CPU1 Status', 'Critical', 'FRB1/BIST failure'),
      3: ('Fan 3', 'Warning', 'Lower Critical - going low'), 4: ('N/A', 'N/A', 'OEM defined = 00h'),
      5: ('Inlet Temp', 'Nominal', 'Upper Critical - going high'), 6: ('N/A', 'N/A', 'OEM defined = 01h'),
      7: ('CPU1 Status', 'N/A', 'Event Offset = 02h'), 8: ('CPU1 Status', 'N/A', 'Event Offset = 00h'),
      9: ('Sensor #72', 'Critical', 'Thermal Trip')}, 0x300, None,
     [(None, 0x01, 0x0109, 0, 'Critical', u'Inlet Temp Upper Critical - going high'),  # pre-init, no real erase
      ('2026-07-16T01:53:04', 0x07, 0x6F02, 0, 'Critical', u'CPU1 Status FRB1/BIST failure'),
      ('2026-07-16T01:53:04', 0x04, 0x0102, 0, 'Warning', u'Fan 3 Lower Critical - going low'),  # pre-init
      ('2026-07-16T01:53:04', 0x7F, 0xFFFF, 0, '', u'OEM defined = 00h'),  # OEM record without a stamp
      ('2026-07-16T01:54:04', 0x01, 0x0109, 1, 'OK', u'Inlet Temp Upper Critical - going high'),  # deassertion
      ('2026-07-16T01:54:05', 0x7F, 0xFFFF, 0, '', u'OEM defined = 01h'),  # timestamped OEM record
      ('2026-07-16T01:54:06', 0x7F, 0xFFFF, 0, '', u'CPU1 Status Event Offset = 02h'),  # OEM sensor type
      ('2026-07-16T01:54:07', 0x7F, 0xFFFF, 0, '', u'CPU1 Status Event Offset = 00h'),  # event type 0, offset 0
      ('2026-07-16T01:54:08', 0x07, 0x6F01, 1, 'Critical', u'Sensor #72 Thermal Trip')]),
    ([record(1, 0x100)], {1: ('Inlet, front', 'Warning', 'Upper Critical - going high, again')}, T0, None,
     [('2026-07-16T01:53:04', 0x01, 0x0109, 0, 'Warning', u'Inlet, front Upper Critical - going high, again')]),
    ([record(1, T0)], {}, None, 'JST-9', [('2026-07-15T16:53:04', 0x01, 0x0109, 0, '', u'')]),  # local clock
]


def ipmi_settings(tmp, **values):
    values = dict(dict(ipmi_sel=os.path.join(tmp, 'ipmi-sel'), timeout='2', deadline='5'), **values)
    os.environ['CACHE_DIRECTORY'] = os.path.join(tmp, 'cache')
    return zavipmi.Settings(lambda key: values.get(key))


class IpmiBackend(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix='zavipmi-')
        self.addCleanup(subprocess.call, ['rm', '-rf', self.tmp])
        self.addCleanup(setattr, zavipmi, '_run', zavipmi._run)
        self.lines = []
        for tool in ('ipmi-sel', 'ipmi-raw'):  # behind fake runs, the tools need only be there
            with open(os.path.join(self.tmp, tool), 'w') as f:
                f.write('#!/bin/sh\nexit 9\n')
            os.chmod(os.path.join(self.tmp, tool), 0o755)

    def log(self, level, text): self.lines.append((level, text))

    def test_records_map_to_what_the_service_reads(self):
        self.addCleanup(time.tzset)
        self.addCleanup(os.environ.__setitem__, 'TZ', os.environ.get('TZ', 'UTC'))
        for records, texts, erased, zone, expected in MAPPING:
            os.environ['TZ'] = zone or 'UTC'
            time.tzset()
            entries = zavipmi.map_records(records, texts, 'local' if zone else 'utc', erased)
            self.assertEqual(expected, [(e.get('Created'), e['Class'], e['Code'], e['Repaired'], e['Severity'],
                                         e['Message']) for e in entries])
            for e in entries:
                self.assertEqual((e.get('Created'), str, str, type(u''), type(u'')),
                                 (e.get('Updated'), type(e['Severity']), type(e.get('Created', '')),
                                  type(e['Message']), type(e['RecommendedAction'])))

    def test_polls_read_only_what_changed(self):
        for name, steps in INCREMENTAL:
            sel = FakeSel()
            zavipmi._run = sel.run
            controller = zavipmi.Controller(ipmi_settings(self.tmp), self.log)
            for index, (change, numbers, reads, levels) in enumerate(steps):
                change(sel)
                del sel.runs[:], self.lines[:]
                status, entries = controller.get_iml()
                self.assertEqual((200 if numbers is not None else 502, numbers or [],
                                  [('ipmi-raw', [])] + [('ipmi-sel', r) for r in reads], levels),
                                 (status, [e['EventNumber'] for e in entries], sel.runs, [l for l, _ in self.lines]),
                                 '%s, step %d: %s' % (name, index + 1, self.lines))
                self.assertEqual(zavipmi.map_records(sel.records, controller.events, 'utc', sel.erased)
                                 if numbers is not None else [], entries,
                                 '%s, step %d: not what a whole read gives' % (name, index + 1))

    def test_tool_failures_give_their_status(self):
        secret, seen = os.path.join(self.tmp, 'ipmi.secret'), os.path.join(self.tmp, 'seen')
        spy = ('for a in "$@"; do case $a in --config-file=*) f=${a#--config-file=}; stat -c %%a "$f" > %s; '
               'cat "$f" >> %s;; esac; done; echo "$@" >> %s; env >> %s\n') % ((seen,) * 4)
        lan = dict(driver='lan', host='192.0.2.10', username='monitor', password_file=secret)
        for name, script, mode, settings, status in (
            ('LAN: the password only in a private file', spy + 'echo "rcvd: 48 00 80 39 58 6A"', 0o755, lan, 200),
            ('pre-init clock', 'echo "rcvd: 48 00 10 00 00 00"', 0o755, {}, 502),
            ('unexpected output', 'echo "hello"', 0o755, {}, 502),
            ('completion code', 'echo "rcvd: 48 C1"', 0o755, {}, 502),
            ('wrong password', 'echo "ipmi-raw: password invalid" >&2; exit 1', 0o755, lan, 401),
            ('privilege', 'echo "ipmi-raw: privilege level cannot be obtained for this user" >&2; exit 1', 0o755,
             lan, 403),
            ('no in-band device', 'echo "ipmi-raw: could not find inband device" >&2; exit 1', 0o755, {}, 503),
            ('no route', 'echo "ipmi-raw: connection timeout" >&2; exit 1', 0o755, lan, 503),
            ('tool missing', None, 0, {}, 503),
            ('tool not executable', 'echo "rcvd: 48 00 80 39 58 6A"', 0o644, {}, 503),
            ('one command past its timeout', 'sleep 30', 0o755, dict(timeout='0.5'), 408),
            ('past the deadline', 'sleep 30', 0o755, dict(timeout='2', deadline='0.5'), 504),
            ('password file others may read', spy, 0o755, dict(lan, secret_mode='0644'), 500),
            ('a blank in the password', spy, 0o755, dict(lan, password='pa ss'), 500),
        ):
            tools = os.path.join(self.tmp, 'sbin')
            subprocess.call(['rm', '-rf', tools, seen])
            os.mkdir(tools)
            if script is not None:
                for tool in ('ipmi-sel', 'ipmi-raw'):
                    with open(os.path.join(tools, tool), 'w') as f:
                        f.write('#!/bin/sh\n' + script + '\n')
                    os.chmod(os.path.join(tools, tool), mode)
            with open(secret, 'w') as f:
                f.write(settings.get('password', PASSWORD) + '\n')
            os.chmod(secret, int(settings.get('secret_mode', '0600'), 8))
            controller = zavipmi.Controller(ipmi_settings(self.tmp, ipmi_sel=os.path.join(tools, 'ipmi-sel'),
                                                          **settings), self.log)
            started = time.time()
            clock_status, clock = controller.get_datetime()
            self.assertEqual(status, clock_status, '%s: %s' % (name, self.lines[-1:]))
            self.assertEqual(clock_status == 200, clock == '2026-07-16T01:53:04', name)
            self.assertLess(time.time() - started, 15, name)  # the call did not wait for a killed tool's helpers
            self.assertEqual([], os.listdir(os.path.join(self.tmp, 'cache')), name)  # no configuration file left
            spied = ''
            if os.path.exists(seen):
                with open(seen) as f:
                    spied = f.read()
            self.assertNotIn(PASSWORD, ''.join(t for _, t in self.lines) + spied.split('\n', 1)[-1].split(
                'username')[-1].split('\n', 2)[-1] if 'password ' in spied else spied, name)
            if clock_status == 200 and settings is lan:
                self.assertEqual('600', spied.split('\n')[0], name)
                self.assertIn('password ' + PASSWORD, spied, name)

    def test_against_a_simulated_controller(self):
        with zavipmisim.IpmiSim([HOT, BIST]) as sim:
            secret = os.path.join(self.tmp, 'ipmi.secret')
            for text, mode, name in ((zavipmisim.PASSWORD, 0o600, 'ipmi.secret'), ('wrong', 0o600, 'wrong.secret')):
                with open(os.path.join(self.tmp, name), 'w') as f:
                    f.write(text + '\n')
                os.chmod(os.path.join(self.tmp, name), mode)
            lan = dict(driver='lan', host=sim.host, username=zavipmisim.USER, password_file=secret,
                       workaround_flags='opensesspriv', ipmi_sel='/usr/sbin/ipmi-sel', timeout='1', deadline='4')
            controller = zavipmi.Controller(ipmi_settings(self.tmp, **lan), self.log)
            self.assertEqual(502, controller.get_datetime()[0], self.lines)  # the SEL clock starts pre-init
            sim.set_clock(T0)
            # change, event numbers, (class, code) of the last, times known, tool runs of get_iml
            for step, (change, numbers, last, timed, runs) in enumerate((
                (lambda: None, [1, 2], (0x07, 0x6F02), 0, 3),
                (lambda: None, [1, 2], (0x07, 0x6F02), 0, 1),
                (lambda: sim.add(FAN, zavipmisim.INLET_COOL), [1, 2, 3, 4], (0x01, 0x0109), 2, 3),
                (lambda: (sim.clear(), sim.add(BIST)), [5], (0x07, 0x6F02), 1, 3),
            )):
                change()
                before = controller.runs
                status, entries = controller.get_iml()
                self.assertEqual((200, numbers, last, timed, runs),
                                 (status, [e['EventNumber'] for e in entries], (entries[-1]['Class'], entries[-1]['Code']),
                                  len([e for e in entries if e.get('Created', '').startswith('2026-07-16T01:5')]),
                                  controller.runs - before), 'step %d: %s' % (step + 1, self.lines))
            self.assertEqual(u'CPU1 Status FRB1/BIST failure', entries[-1]['Message'])
            self.assertTrue(controller.get_datetime()[1].startswith('2026-07-16T01:5'))
            wrong = zavipmi.Controller(ipmi_settings(self.tmp, **dict(lan, password_file=os.path.join(
                self.tmp, 'wrong.secret'))), self.log)
            self.assertEqual(401, wrong.get_iml()[0], self.lines[-1:])
            sim.pause()
            started = time.time()
            self.assertIn(controller.get_iml()[0], (408, 503), self.lines[-1:])
            self.assertLess(time.time() - started, 10)  # within its deadline, not stuck on the silence
            sim.resume()


if __name__ == '__main__':
    unittest.main()
