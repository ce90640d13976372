# -*- coding: utf-8 -*-
"""Redfish backend of the controller module zavsmsrv.py (Python 2.7 and 3,
standard library only; what the backends share is in zavcommon.py).

zavsmsrv.py builds one Controller from data/controller.ini and keeps it for
the life of the process (the service imports the module once and calls it at
every poll), so the session token, the chosen LogService and a refused login
survive from poll to poll. Every public call returns (status, value) and
never raises; see zavcommon.STATUS for what a failing status means. The password and
the session token never enter a log line, a reason or an exception text.
"""
import base64
import datetime
import json
import re
import socket
import ssl
import threading
import time
import zlib

from zavcommon import Deadline, Failure, file_signature, first_line, native, placed, \
    read_secret, seconds, text_type, time_text

# -- compatibility of the HTTP client --------------------------------------------------
try:
    import httplib as http_client                      # Python 2
    from urlparse import urljoin, urlsplit

    def socket_file(sock):
        return socket._fileobject(sock, 'rb', 0)
except ImportError:
    import http.client as http_client
    import io
    from urllib.parse import urljoin, urlsplit

    def socket_file(sock):
        return io.BufferedReader(socket.SocketIO(sock, 'rb'))

LOGIN_HOLD = 600          # seconds a refused login is not retried (same password file)
ROOT = '/redfish/v1/'

# IPMI sensor type numbers of the Redfish SensorType names: the class of a SEL entry.
SENSOR_TYPES = {
    'Temperature': 0x01, 'Voltage': 0x02, 'Current': 0x03, 'Fan': 0x04,
    'Physical Chassis Security': 0x05, 'Platform Security Violation Attempt': 0x06,
    'Processor': 0x07, 'Power Supply / Converter': 0x08, 'PowerUnit': 0x09,
    'CoolingDevice': 0x0A, 'Other Units-based Sensor': 0x0B, 'Memory': 0x0C,
    'Drive Slot/Bay': 0x0D, 'POST Memory Resize': 0x0E, 'System Firmware Progress': 0x0F,
    'Event Logging Disabled': 0x10, 'System Event': 0x12, 'Critical Interrupt': 0x13,
    'Button/Switch': 0x14, 'Module/Board': 0x15, 'Microcontroller/Coprocessor': 0x16,
    'Add-in Card': 0x17, 'Chassis': 0x18, 'ChipSet': 0x19, 'Other FRU': 0x1A,
    'Cable/Interconnect': 0x1B, 'Terminator': 0x1C, 'SystemBoot/Restart': 0x1D,
    'Boot Error': 0x1E, 'BaseOSBoot/InstallationStatus': 0x1F, 'OS Stop/Shutdown': 0x20,
    'Slot/Connector': 0x21, 'System ACPI PowerState': 0x22, 'Watchdog': 0x23,
    'Platform Alert': 0x24, 'Entity Presence': 0x25, 'Monitor ASIC/IC': 0x26, 'LAN': 0x27,
    'Management Subsystem Health': 0x28, 'Battery': 0x29, 'Session Audit': 0x2A,
    'Version Change': 0x2B, 'FRUState': 0x2C,
}
# Redfish EntryCode names by IPMI event/reading type, in event offset order:
# the code of a SEL entry is reading type << 8 | offset.
_ENTRY_CODE_GROUPS = (
    (0x01, ['Lower Non-critical - going low', 'Lower Non-critical - going high',
            'Lower Critical - going low', 'Lower Critical - going high',
            'Lower Non-recoverable - going low', 'Lower Non-recoverable - going high',
            'Upper Non-critical - going low', 'Upper Non-critical - going high',
            'Upper Critical - going low', 'Upper Critical - going high',
            'Upper Non-recoverable - going low', 'Upper Non-recoverable - going high']),
    (0x02, ['Transition to Idle', 'Transition to Active', 'Transition to Busy']),
    (0x03, ['State Deasserted', 'State Asserted']),
    (0x04, ['Predictive Failure deasserted', 'Predictive Failure asserted']),
    (0x05, ['Limit Not Exceeded', 'Limit Exceeded']),
    (0x06, ['Performance Met', 'Performance Lags']),
    (0x07, ['Transition to OK', 'Transition to Non-Critical from OK',
            'Transition to Critical from less severe', 'Transition to Non-recoverable from less severe',
            'Transition to Non-Critical from more severe', 'Transition to Critical from Non-recoverable',
            'Transition to Non-recoverable', 'Monitor', 'Informational']),
    (0x08, ['Device Removed / Device Absent', 'Device Inserted / Device Present']),
    (0x09, ['Device Disabled', 'Device Enabled']),
    (0x0A, ['Transition to Running', 'Transition to In Test', 'Transition to Power Off',
            'Transition to On Line', 'Transition to Off Line', 'Transition to Off Duty',
            'Transition to Degraded', 'Transition to Power Save', 'Install Error']),
    (0x0B, ['Fully Redundant', 'Redundancy Lost', 'Redundancy Degraded',
            'Non-redundant:Sufficient Resources from Redundant',
            'Non-redundant:Sufficient Resources from Insufficient Resources',
            'Non-redundant:Insufficient Resources', 'Redundancy Degraded from Fully Redundant',
            'Redundancy Degraded from Non-redundant']),
    (0x0C, ['D0 Power State', 'D1 Power State', 'D2 Power State', 'D3 Power State']),
)
ENTRY_CODES = dict((name, group << 8 | offset)
                   for group, names in _ENTRY_CODE_GROUPS for offset, name in enumerate(names))
# Sensor-specific events whose offset the entry does not carry (direction bit 0x80).
ENTRY_CODES.update({'Assert': 0x6F00, 'Deassert': 0x6F80})

_TIME = re.compile(r'^\s*(\d{4})-(\d\d)-(\d\d)[T ](\d\d):(\d\d)(?::(\d\d)(?:[.,]\d*)?)?'
                   r'\s*(?:([Zz])|([+-])(\d\d):?(\d\d)?)?\s*$')


def utc_text(value):
    """A Redfish time in any offset as UTC 'YYYY-MM-DDThh:mm:ss'; a time
    without an offset is taken as UTC. None when it is not a time."""
    if not isinstance(value, (str, text_type)):
        return None
    m = _TIME.match(value)
    if not m:
        return None
    y, mo, d, h, mi = [int(x) for x in m.group(1, 2, 3, 4, 5)]
    s = min(int(m.group(6) or 0), 59)                   # a leap second stays in its minute
    try:
        t = datetime.datetime(y, mo, d, h, mi, s)
        if m.group(8):
            minutes = int(m.group(9)) * 60 + int(m.group(10) or 0)
            t -= datetime.timedelta(minutes=minutes if m.group(8) == '+' else -minutes)
    except (ValueError, OverflowError):
        return None
    return time_text(t)


def crc31(text):
    """A stable 31-bit number for a text (never hash(): it changes per process)."""
    if isinstance(text, text_type):
        text = text.encode('utf-8')
    return zlib.crc32(text) & 0x7FFFFFFF


def event_number(raw):
    ident = raw.get('Id')
    if isinstance(ident, int) and not isinstance(ident, bool) and 0 <= ident <= 0x7FFFFFFF:
        return ident
    if not isinstance(ident, (str, text_type)) or not ident:
        ident = raw.get('@odata.id')
        if not isinstance(ident, (str, text_type)) or not ident:
            return 0
    if ident.isdigit() and len(ident) <= 10 and int(ident) <= 0x7FFFFFFF:
        return int(ident)
    return crc31(ident)


def default_class_code(raw):
    """SEL entries: class from SensorType, code from EntryCode. Event-registry
    entries: 'Registry.Version.Key' gives class 0x40 + crc(Registry) % 64 and
    code 1 + crc(Key) % 65535. Anything else: 0, 0 (unplaced)."""
    sensor = raw.get('SensorType')
    if raw.get('EntryType') == 'SEL' or sensor is not None:
        return SENSOR_TYPES.get(sensor, 0), ENTRY_CODES.get(raw.get('EntryCode'), 0)
    message_id = raw.get('MessageId')
    if isinstance(message_id, (str, text_type)):
        parts = message_id.split('.')
        if len(parts) >= 2 and parts[0] and parts[-1]:
            return 0x40 + crc31(parts[0]) % 64, 1 + crc31(parts[-1]) % 65535
    return 0, 0


def _rule(text):
    """A class or code setting: an int, a dotted property path, or None."""
    text = (text or '').strip()
    if not text:
        return None
    try:
        return int(text, 0)
    except ValueError:
        return text.split('.')


def _apply_rule(rule, raw):
    if isinstance(rule, int):
        return rule
    value = raw
    for part in rule:
        value = value.get(part) if isinstance(value, dict) else None
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    if isinstance(value, (str, text_type)):
        try:
            return int(value.strip(), 0)
        except ValueError:
            pass
    return None                                          # absent here: the default applies


def _text(value):
    if isinstance(value, bytes) and not isinstance(value, text_type):
        return value.decode('utf-8', 'replace')
    return value if isinstance(value, text_type) else None


def map_entry(raw, class_rule=None, code_rule=None):
    """One Redfish LogEntry as the dictionary the service reads."""
    out = {'EventNumber': event_number(raw),
           'Repaired': 1 if raw.get('Resolved') is True else 0}
    created = utc_text(raw.get('Created'))
    updated = utc_text(raw.get('Modified')) or created
    if created:
        out['Created'] = created
    if updated:
        out['Updated'] = updated
    severity = raw.get('Severity', raw.get('MessageSeverity'))
    if isinstance(severity, (str, text_type)):
        out['Severity'] = native(severity)
    message = _text(raw.get('Message'))
    if message is not None:
        out['Message'] = message
    action = _text(raw.get('Resolution'))
    steps = raw.get('ResolutionSteps')
    if action is None and isinstance(steps, list):
        action = u'; '.join(_text(s.get('ResolutionType')) for s in steps
                            if isinstance(s, dict) and _text(s.get('ResolutionType')))
    if action is not None:
        out['RecommendedAction'] = action
    klass, code = default_class_code(raw)
    for rule, index in ((class_rule, 0), (code_rule, 1)):
        value = _apply_rule(rule, raw) if rule is not None else None
        if value is not None:
            klass, code = (value, code) if index == 0 else (klass, value)
    out['Class'], out['Code'] = placed(klass, code)
    return out


class Settings(object):
    """The [redfish] section of controller.ini."""

    def __init__(self, get):
        url = get('url')
        parts = urlsplit(url or '')
        if parts.scheme not in ('http', 'https') or not parts.hostname:
            raise Failure(500, 'url = %r: give scheme://host[:port]' % (url or ''))
        if parts.username or parts.password:
            raise Failure(500, 'url must not hold a user or password: use username and password_file')
        self.scheme, self.host = parts.scheme, parts.hostname
        try:
            self.port = parts.port or (443 if self.scheme == 'https' else 80)
        except ValueError:
            raise Failure(500, 'url = %r: bad port' % url)
        self.log_service = get('log_service') or 'auto'
        self.username = get('username') or ''
        self.password_file = get('password_file') or ''
        self.auth = (get('auth') or 'session').lower()
        if self.auth not in ('session', 'basic'):
            raise Failure(500, 'auth = %r: session or basic' % self.auth)
        if not self.username or not self.password_file:
            raise Failure(500, 'username and password_file are needed')
        self.verify_tls = (get('verify_tls') or 'yes').lower() not in ('no', 'false', 'off', '0')
        self.ca_file = get('ca_file') or None
        self.timeout = seconds(get, 'timeout', 10)
        self.deadline = seconds(get, 'deadline', 60)
        self.class_rule = _rule(get('class'))
        self.code_rule = _rule(get('code'))



class _DeadlineSocket(object):
    """A socket whose every read and write ends by conn.until, so a request
    is bounded as a whole, not only per read (a controller that trickles)."""

    def __init__(self, sock, conn):
        self._sock, self._conn = sock, conn
        self._readers, self._closed = 0, False

    def _arm(self):
        left = self._conn.until - time.time()
        if left <= 0:
            raise socket.timeout('timed out')
        self._sock.settimeout(left)

    def recv(self, *args):
        self._arm()
        return self._sock.recv(*args)

    def recv_into(self, *args):
        self._arm()
        return self._sock.recv_into(*args)

    def sendall(self, *args):
        self._arm()
        return self._sock.sendall(*args)

    def makefile(self, *args):
        self._readers += 1
        return socket_file(self)

    def _decref_socketios(self):                         # Python 3: the response's reader closed
        self._readers -= 1
        if self._closed and self._readers <= 0:
            self._sock.close()

    def close(self):
        self._closed = True                              # a response still reading keeps it open
        if self._readers <= 0:
            self._sock.close()

    def __getattr__(self, name):
        return getattr(self._sock, name)


def _resolve(host, port, wait):
    """getaddrinfo has no time-out of its own: ask on a helper thread."""
    try:
        socket.inet_pton(socket.AF_INET6 if ':' in host else socket.AF_INET, host)
        return host
    except (socket.error, ValueError):
        pass
    box = []

    def ask():
        try:
            box.append(socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM)[0][4][0])
        except Exception as e:                           # noqa: BLE001 (reported below)
            box.append(e)
    helper = threading.Thread(target=ask)
    helper.daemon = True
    helper.start()
    helper.join(wait)
    if not box:
        raise socket.timeout('name lookup of %s timed out' % host)
    if isinstance(box[0], Exception):
        raise Failure(503, 'name %s not resolvable: %s' % (host, box[0]))
    return box[0]


class _Connection(http_client.HTTPConnection):
    def __init__(self, settings, context):
        http_client.HTTPConnection.__init__(self, settings.host, settings.port)
        self.settings, self.context, self.until = settings, context, 0

    def connect(self):
        left = self.until - time.time()
        if left <= 0:
            raise socket.timeout('timed out')
        sock = socket.create_connection((_resolve(self.host, self.port, left), self.port), left)
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self.context is not None:
                sock.settimeout(max(self.until - time.time(), 0.001))
                sock = self.context.wrap_socket(sock, server_hostname=self.host)
        except Exception:
            sock.close()
            raise
        self.sock = _DeadlineSocket(sock, self)


class Controller(object):
    def __init__(self, settings, log):
        self.s, self.log = settings, log
        self.conn = None
        self.token = self.session_uri = None
        self.refused = None                             # (password file signature, when)
        self.deadline = Deadline(settings.deadline)
        self.service = self.entries = self.manager = None
        self.context = None
        if settings.scheme == 'https':
            if settings.verify_tls:
                self.context = ssl.create_default_context(cafile=settings.ca_file)
            else:
                self.context = ssl._create_unverified_context()
                log('warning', 'verify_tls = no: the controller %s is not authenticated' % settings.host)
        else:
            log('warning', 'plain http to %s: credentials travel unencrypted (lab use only)' % settings.host)

    # -- HTTP ---------------------------------------------------------------
    def _close(self):
        if self.conn is not None:
            try:
                if self.conn.sock is not None:
                    self.conn.sock._sock.close()
                self.conn.close()
            except Exception:                            # noqa: BLE001 (already broken)
                pass
            self.conn = None

    def _send(self, method, path, body, headers):
        """One exchange, bounded by min(timeout, what is left of the deadline)."""
        now = time.time()
        limit = min(self.s.timeout, self.deadline.left('%s %s' % (method, path)))
        for attempt in (0, 1):
            fresh = self.conn is None
            if fresh:
                self.conn = _Connection(self.s, self.context)
            self.conn.until = now + limit
            try:
                self.conn.request(method, path, body, headers)
                resp = self.conn.getresponse()
                data = resp.read()
                if resp.getheader('connection', '').lower() == 'close' or resp.will_close:
                    self._close()
                return resp, data
            except socket.timeout:
                self._close()
                if limit < self.s.timeout:
                    raise Failure(504, 'deadline of %gs reached during %s %s' % (self.s.deadline, method, path))
                raise Failure(408, 'no answer to %s %s within timeout %gs' % (method, path, self.s.timeout))
            except Failure:
                self._close()
                raise
            except (ssl.SSLError, getattr(ssl, 'CertificateError', ssl.SSLError)) as e:
                self._close()
                raise Failure(503, 'TLS with %s failed: %s' % (self.s.host, first_line(e)))
            except (socket.error, http_client.HTTPException, EnvironmentError) as e:
                self._close()
                # A kept-alive connection the controller closed meanwhile: one fresh try.
                if fresh or attempt:
                    raise Failure(503, 'connection to %s:%d failed: %s' % (self.s.host, self.s.port,
                                                                           first_line(e)))

    def _password(self):
        return read_secret(self.s.password_file)

    def _signature(self):
        return file_signature(self.s.password_file)

    def _refuse_held(self):
        if self.refused and self.refused[0] == self._signature() and time.time() - self.refused[1] < LOGIN_HOLD:
            raise Failure(401, 'login as %s was refused at %s; not tried again until the password file '
                          'changes or %d minutes pass' % (self.s.username, time.strftime(
                              '%H:%M:%S', time.localtime(self.refused[1])), LOGIN_HOLD // 60))

    def _refused(self, what):
        self.refused = (self._signature(), time.time())
        raise Failure(401, '%s as %s refused by the controller' % (what, self.s.username))

    def _login(self):
        self._refuse_held()
        body = json.dumps({'UserName': self.s.username, 'Password': self._password()})
        resp, _ = self._send('POST', ROOT + 'SessionService/Sessions', body,
                             {'Content-Type': 'application/json', 'Accept': 'application/json'})
        if resp.status in (401, 403):
            self._refused('login')
        token = resp.getheader('X-Auth-Token')
        if resp.status not in (200, 201, 204) or not token:
            raise Failure(502, 'login answered HTTP %d%s' % (resp.status, '' if token else ' without a token'))
        self.token, self.session_uri = token, resp.getheader('Location')
        self.log('info', 'session opened for %s on %s' % (self.s.username, self.s.host))

    def _headers(self):
        headers = {'Accept': 'application/json', 'OData-Version': '4.0'}
        if self.s.auth == 'basic':
            self._refuse_held()
            pair = ('%s:%s' % (self.s.username, self._password())).encode('utf-8')
            headers['Authorization'] = 'Basic ' + base64.b64encode(pair).decode('ascii')
        else:
            if self.token is None:
                self._login()
            headers['X-Auth-Token'] = self.token
        return headers

    def get(self, path):
        """The JSON object at path (a dict), or Failure."""
        resp, data = self._send('GET', path, None, self._headers())
        if resp.status == 401 and self.s.auth == 'session':
            self.token = None                            # expired: log in once more, no more
            resp, data = self._send('GET', path, None, self._headers())
        if resp.status == 401:
            self._refused('basic authentication' if self.s.auth == 'basic' else 'request after a fresh login')
        if resp.status in (403, 404):
            raise Failure(resp.status, 'HTTP %d for %s' % (resp.status, path))
        if resp.status != 200:
            raise Failure(502, 'HTTP %d for %s' % (resp.status, path), resp.status)
        try:
            doc = json.loads(data.decode('utf-8'))
        except (ValueError, UnicodeDecodeError):
            raise Failure(502, 'the answer for %s is not JSON' % path)
        if not isinstance(doc, dict):
            raise Failure(502, 'the answer for %s is not a JSON object' % path)
        return doc

    # -- Redfish --------------------------------------------------------------
    def members(self, path, expand=True):
        """Every member of a collection: next links and $skip/$top pages, each
        link once; a page that brings nothing new ends the walk."""
        visited, seen, out = set([path]), set(), []
        doc = self.get(path)
        size = None
        while True:
            page = doc.get('Members')
            if not isinstance(page, list) or not all(isinstance(m, dict) for m in page):
                raise Failure(502, 'Members of %s is not a list of objects' % path)
            size = size or len(page)
            fresh = 0
            for m in page:
                key = m.get('@odata.id') or json.dumps(m, sort_keys=True)
                if key not in seen:
                    seen.add(key)
                    out.append(m)
                    fresh += 1
            link = doc.get('Members@odata.nextLink')
            total = doc.get('Members@odata.count')
            probe = not link and isinstance(total, int) and len(out) < total and size
            if probe:
                link = '%s%s$skip=%d&$top=%d' % (path, '&' if '?' in path else '?', len(out), size)
            if not fresh or not isinstance(link, (str, text_type)) or link in visited:
                break
            visited.add(link)
            try:
                doc = self.get(_path(link, path))
            except Failure as e:
                if probe and e.http in (400, 405, 501):
                    break                                # the service has no $skip: this was all
                raise
        if expand:
            out = [self.get(_path(m['@odata.id'], path)) if set(m) <= set(['@odata.id']) and m else m
                   for m in out]
        return out

    def _link(self, doc, key):
        value = doc.get(key)
        link = value.get('@odata.id') if isinstance(value, dict) else None
        return native(link) if isinstance(link, (str, text_type)) else None

    def _discover(self):
        root = self.get(ROOT)
        found = []
        for kind in ('Managers', 'Systems'):
            link = self._link(root, kind)
            if not link:
                continue
            for owner in self.members(link):
                services = self._link(owner, 'LogServices')
                if services:
                    found += [s for s in self.members(services) if s.get('@odata.id')]

        def pick(test):
            for s in found:
                ident = s.get('Id')
                if test(s.get('LogEntryType'), ident.upper() if isinstance(ident, (str, text_type)) else ''):
                    return s
        chosen = (pick(lambda t, i: t == 'SEL' or 'SEL' in i) or
                  pick(lambda t, i: t == 'Event' or 'EVENT' in i))
        if chosen is None:
            raise Failure(404, 'no SEL or event log among the log services (%s): set log_service' %
                          (', '.join(native(s['@odata.id']) for s in found) or 'none'))
        self.log('info', 'log service chosen: %s (%s)' % (native(chosen['@odata.id']),
                                                         chosen.get('LogEntryType') or chosen.get('Id')))
        return native(chosen['@odata.id'])

    def _log_service(self):
        if self.service is None:
            self.service = self.s.log_service if self.s.log_service != 'auto' else self._discover()
        try:
            doc = self.get(self.service)
        except Failure as e:
            if e.status == 404 and self.s.log_service == 'auto':
                self.service = self.entries = None       # find it again next time
            raise
        self.entries = self._link(doc, 'Entries') or self.service.rstrip('/') + '/Entries'
        return doc

    def _manager_clock(self):
        if self.manager is None:
            m = re.match(r'^(.*/Managers/[^/]+)/', self.service)
            if m:
                self.manager = m.group(1)
            else:
                managers = self.members(self._link(self.get(ROOT), 'Managers') or ROOT + 'Managers',
                                        expand=False)
                if not managers or not managers[0].get('@odata.id'):
                    raise Failure(404, 'no manager to read the clock from')
                self.manager = native(managers[0]['@odata.id'])
        return self.get(self.manager).get('DateTime')

    # -- the two calls ----------------------------------------------------------
    def _run(self, work, empty):
        return self.deadline.run(work, empty, self.log, self._close)

    def get_datetime(self):
        def work():
            doc = self._log_service()
            clock = utc_text(doc.get('DateTime')) or utc_text(self._manager_clock())
            if not clock:
                raise Failure(502, 'the controller clock cannot be read (no valid DateTime)')
            return clock
        return self._run(work, native(''))

    def get_iml(self):
        def work():
            if self.entries is None:
                self._log_service()
            try:
                raw = self.members(self.entries)
            except Failure as e:
                if e.status == 404:
                    self.entries = None
                raise
            out = [map_entry(r, self.s.class_rule, self.s.code_rule) for r in raw]
            out.sort(key=lambda e: (e.get('Created', ''), e['EventNumber']))
            return out
        return self._run(work, [])

    def close_session(self):
        """Ends the session at interpreter exit, so restarts do not fill the controller's session table."""
        if self.session_uri and self.token:
            self.deadline.until = time.time() + min(self.s.timeout, 3)
            try:
                self._send('DELETE', native(urljoin(ROOT, self.session_uri)), None,
                           {'X-Auth-Token': self.token})
            except Exception:                            # noqa: BLE001 (best effort)
                pass
            self.token = None
        self._close()


def _path(link, base):
    """The path and query of a link, also when the controller wrote it absolute or relative."""
    if not isinstance(link, (str, text_type)):
        raise Failure(502, 'a link is not a text: %r' % (link,))
    parts = urlsplit(urljoin(base, link))
    return native(parts.path + ('?' + parts.query if parts.query else ''))
