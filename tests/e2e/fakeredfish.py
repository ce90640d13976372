"""A loopback Redfish service for the end-to-end Redfish test (Python 2.7
and 3). One manager with a SEL and a journal, one system with an event log;
every log serves the same entries. What it does wrong is set per test:

    fake = FakeRedfish(tls=cert_and_key or None)
    fake.entries = [entry(1, '2026-12-07T05:00:00Z'), ...]
    fake.knobs.update(page=50, paging='next')
    ... fake.url ... fake.requests ... fake.close()

knobs: page (members per page), paging ('next': nextLink, 'skip': only
Members@odata.count and $skip/$top, 'none': one page), repeat_next (every
nextLink names page 2), link_only (members as @odata.id links),
newest_first, expire_once (the first token is refused once: 401), delay
(seconds before every answer to a path containing delay_path), status
({path part: HTTP status}), body ({path part: raw body}), services (log
service ids offered), clock (LogService DateTime; None: only the manager's),
manager_clock.
"""
import json
import os
import re
import ssl
import subprocess
import threading
import time

try:
    from BaseHTTPServer import BaseHTTPRequestHandler, HTTPServer
    from SocketServer import ThreadingMixIn
    from urlparse import parse_qs, urlsplit
except ImportError:
    from http.server import BaseHTTPRequestHandler, HTTPServer
    from socketserver import ThreadingMixIn
    from urllib.parse import parse_qs, urlsplit

R = '/redfish/v1'
SERVICES = {'SEL': (R + '/Managers/bmc', 'SEL'), 'Journal': (R + '/Managers/bmc', 'Multiple'),
            'EventLog': (R + '/Systems/sys', 'Event')}
USER, PASSWORD = 'monitor', 'pa55-w0rd:secret'


def entry(ident, created, **fields):
    doc = {'Id': str(ident), 'Created': created, 'EntryType': 'Event', 'Severity': 'Warning',
           'Message': u'Entry %s' % ident, 'MessageId': 'ResourceEvent.1.0.ResourceErrorsDetected'}
    doc.update(fields)
    return dict((k, v) for k, v in doc.items() if v is not None)


def make_cert(folder):
    """A self-signed certificate for 127.0.0.1 made by openssl: (cert, key)."""
    cert, key = os.path.join(folder, 'cert.pem'), os.path.join(folder, 'key.pem')
    subprocess.check_call(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                           '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1',
                           '-keyout', key, '-out', cert], stdout=open(os.devnull, 'w'),
                          stderr=subprocess.STDOUT)
    return cert, key


class _Server(ThreadingMixIn, HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass                                             # a client that gave up on a slow answer


class FakeRedfish(object):
    def __init__(self, tls=None):
        self.entries = []
        self.knobs = {}
        self.requests = []
        self.tokens = set()
        self.logins = 0
        self.lock = threading.Lock()
        fake = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = 'HTTP/1.1'
            disable_nagle_algorithm = True

            def log_message(self, *args):
                pass

            def do_GET(self):
                fake._serve(self, 'GET')

            def do_POST(self):
                fake._serve(self, 'POST')

            def do_DELETE(self):
                fake._serve(self, 'DELETE')

        self.server = _Server(('127.0.0.1', 0), Handler)
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER if hasattr(ssl, 'PROTOCOL_TLS_SERVER')
                                 else ssl.PROTOCOL_SSLv23)
            ctx.load_cert_chain(*tls)
            self.server.socket = ctx.wrap_socket(self.server.socket, server_side=True)
        self.url = '%s://127.0.0.1:%d' % ('https' if tls else 'http', self.server.server_address[1])
        self.thread = threading.Thread(target=self.server.serve_forever)
        self.thread.daemon = True
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    def knob(self, name, default=None):
        return self.knobs.get(name, default)

    # -- answers --------------------------------------------------------------
    def _send(self, h, status, body, headers=()):
        data = body if isinstance(body, bytes) else json.dumps(body).encode('utf-8')
        h.send_response(status)
        for k, v in headers:
            h.send_header(k, v)
        h.send_header('Content-Type', 'application/json')
        h.send_header('Content-Length', str(len(data)))
        h.end_headers()
        h.wfile.write(data)

    def _serve(self, h, method):
        length = int(h.headers.get('Content-Length') or 0)
        body = h.rfile.read(length) if length else b''
        parts = urlsplit(h.path)
        path, query = parts.path.rstrip('/') or '/', parse_qs(parts.query)
        with self.lock:
            self.requests.append((method, h.path))
        if self.knob('delay') and self.knob('delay_path', '') in h.path:
            time.sleep(self.knob('delay'))
        for part, status in (self.knob('status') or {}).items():
            if part in h.path:
                return self._send(h, status, {'error': {'code': 'Base.1.0.GeneralError'}})
        for part, raw in (self.knob('body') or {}).items():
            if part in h.path:
                return self._send(h, 200, raw)
        if method == 'POST' and path == R + '/SessionService/Sessions':
            return self._login(h, body)
        if path != R and not self._authorised(h):
            return self._send(h, 401, {'error': {'code': 'Base.1.0.NoValidSession'}})
        if method == 'DELETE':
            self.tokens.discard(h.headers.get('X-Auth-Token'))
            return self._send(h, 204, b'')
        doc = self._document(path, query)
        if doc is None:
            return self._send(h, 404, {'error': {'code': 'Base.1.0.ResourceMissingAtURI'}})
        self._send(h, 200, doc)

    def _login(self, h, body):
        with self.lock:
            self.logins += 1
            try:
                creds = json.loads(body.decode('utf-8'))
            except ValueError:
                creds = {}
            if creds.get('UserName') != USER or creds.get('Password') != self.knob('password', PASSWORD):
                return self._send(h, 401, {'error': {'code': 'Base.1.0.InsufficientPrivilege'}})
            token = 'tok-%d-%s' % (self.logins, os.urandom(4).hex() if hasattr(b'', 'hex')
                                   else os.urandom(4).encode('hex'))
            self.tokens.add(token)
        self._send(h, 201, {'Id': str(self.logins)},
                   [('X-Auth-Token', token), ('Location', R + '/SessionService/Sessions/%d' % self.logins)])

    def _authorised(self, h):
        token = h.headers.get('X-Auth-Token')
        if token in self.tokens:
            if self.knob('expire_once'):
                self.knobs['expire_once'] = False
                self.tokens.discard(token)
                return False
            return True
        import base64
        basic = base64.b64encode(('%s:%s' % (USER, self.knob('password', PASSWORD))).encode('utf-8'))
        return h.headers.get('Authorization') == 'Basic ' + basic.decode('ascii')

    def _document(self, path, query):
        link = lambda p: {'@odata.id': p}                   # noqa: E731
        services = self.knob('services', ['Journal', 'SEL', 'EventLog'])
        if path == R:
            return {'Managers': link(R + '/Managers'), 'Systems': link(R + '/Systems'),
                    'SessionService': link(R + '/SessionService')}
        if path == R + '/Managers':
            return {'Members': [link(R + '/Managers/bmc')], 'Members@odata.count': 1}
        if path == R + '/Systems':
            return {'Members': [link(R + '/Systems/sys')], 'Members@odata.count': 1}
        if path in (R + '/Managers/bmc', R + '/Systems/sys'):
            doc = {'@odata.id': path, 'LogServices': link(path + '/LogServices')}
            if path.endswith('bmc') and self.knob('manager_clock'):
                doc['DateTime'] = self.knob('manager_clock')
            return doc
        m = re.match(r'^(.*)/LogServices(?:/([^/]+)(/Entries(?:/(.+))?)?)?$', path)
        if not m:
            return None
        owner, sid, entries, eid = m.groups()
        offered = [s for s in services if SERVICES[s][0] == owner]
        if sid is None:
            return {'Members': [link('%s/LogServices/%s' % (owner, s)) for s in offered]}
        if sid not in offered:
            return None
        base = '%s/LogServices/%s' % (owner, sid)
        if not entries:
            doc = {'@odata.id': base, 'Id': sid, 'LogEntryType': SERVICES[sid][1],
                   'Entries': link(base + '/Entries')}
            if self.knob('clock', '2026-12-07T06:00:00Z') is not None:
                doc['DateTime'] = self.knob('clock', '2026-12-07T06:00:00Z')
            return doc
        ordered = [dict(e, **{'@odata.id': '%s/Entries/%s' % (base, e['Id'])}) for e in
                   sorted(self.entries, key=lambda e: e.get('Created', ''), reverse=bool(self.knob('newest_first')))]
        if eid is not None:
            return next((e for e in ordered if e['Id'] == eid), None)
        page, paging = self.knob('page', 50), self.knob('paging', 'next')
        skip = int(query.get('$skip', ['0'])[0])
        top = int(query.get('$top', [str(page)])[0]) if paging != 'none' else len(ordered)
        chunk = ordered[skip:skip + min(top, page)] if paging != 'none' else ordered
        doc = {'Members@odata.count': len(ordered),
               'Members': [link(e['@odata.id']) if self.knob('link_only') else e for e in chunk]}
        following = page if self.knob('repeat_next') else skip + len(chunk)
        if paging == 'next' and following < len(ordered):
            doc['Members@odata.nextLink'] = '%s/Entries?$skip=%d' % (base, following)
        return doc
