# -*- coding: utf-8 -*-
"""Redfish transport and session (Python 2.7 and 3, standard library only):
sockets bounded as a whole by the call's deadline, TLS, the session login and
the hold on a refused login. The password and the session token never enter
a log line, a reason or an exception text."""
import base64
import json
import socket
import ssl
import threading
import time

from zavcommon import Deadline, Failure, file_signature, first_line, native, read_secret, text_type

# -- compatibility of the HTTP client --------------------------------------------------
try:
    import httplib as http_client                      # Python 2
    from urllib import quote
    from urlparse import urljoin, urlsplit

    def socket_file(sock):
        return socket._fileobject(sock, 'rb', 0)
except ImportError:
    import http.client as http_client
    import io
    from urllib.parse import quote, urljoin, urlsplit

    def socket_file(sock):
        return io.BufferedReader(socket.SocketIO(sock, 'rb'))

LOGIN_HOLD = 600          # seconds a refused login is not retried (same password file)
ROOT = '/redfish/v1/'


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


class Session(object):
    """One controller's connection and login; every request bounded by the
    time-out and by what is left of the current call's deadline."""

    def __init__(self, settings, log, connection=_Connection):
        self.s, self.log, self.connection = settings, log, connection
        self.conn = None
        self.token = self.session_uri = None
        self.refused = None                             # (password file signature, when)
        self.deadline = Deadline(settings.deadline)
        self.context = None
        if settings.scheme == 'https':
            if settings.verify_tls:
                self.context = ssl.create_default_context(cafile=settings.ca_file)
            else:
                self.context = ssl._create_unverified_context()
                log('warning', 'verify_tls = no: the controller %s is not authenticated' % settings.host)
        else:
            log('warning', 'plain http to %s: credentials travel unencrypted (lab use only)' % settings.host)

    def close(self):
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
                self.conn = self.connection(self.s, self.context)
            self.conn.until = now + limit
            try:
                self.conn.request(method, path, body, headers)
                resp = self.conn.getresponse()
                data = resp.read()
                if resp.getheader('connection', '').lower() == 'close' or resp.will_close:
                    self.close()
                return resp, data
            except socket.timeout:
                self.close()
                if limit < self.s.timeout:
                    raise Failure(504, 'deadline of %gs reached during %s %s' % (self.s.deadline, method, path))
                raise Failure(408, 'no answer to %s %s within timeout %gs' % (method, path, self.s.timeout))
            except Failure:
                self.close()
                raise
            except (ssl.SSLError, getattr(ssl, 'CertificateError', ssl.SSLError)) as e:
                self.close()
                raise Failure(503, 'TLS with %s failed: %s' % (self.s.host, first_line(e)))
            except (socket.error, http_client.HTTPException, EnvironmentError) as e:
                self.close()
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
        self.close()


def link_path(link, base):
    """The path and query of a link, also when the controller wrote it absolute or relative."""
    if not isinstance(link, (str, text_type)):
        raise Failure(502, 'a link is not a text: %r' % (link,))
    parts = urlsplit(urljoin(base, link))
    return native(parts.path + ('?' + parts.query if parts.query else ''))
