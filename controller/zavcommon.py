# -*- coding: utf-8 -*-
"""What the controller backends share (Python 2.7 and 3, standard library
only): controller.ini and its permission checks, the reason lines, the
status table, the deadline of one call and the class and code bounds.

zavsmsrv.py chooses the backend; the simulated controller (zavsim.py), the
Redfish backend (zavredfish.py) and the IPMI backend (zavipmi.py) sit beside
this file. Every public backend call returns (status, value) and never
raises; STATUS says what a failing status means.
"""
import datetime
import os
import stat
import syslog
import time

# -- compatibility: the interpreter's version is known here (and for HTTP in zavredfish.py)
try:
    import ConfigParser as configparser                 # Python 2
    text_type = unicode  # noqa: F821

    def native(value):
        """The interpreter's str: bytes under 2 (the service's "s" fields)."""
        return value.encode('utf-8') if isinstance(value, unicode) else value  # noqa: F821

    def new_parser():
        return configparser.RawConfigParser()           # strips " ;comment"
except ImportError:
    import configparser
    text_type = str

    def native(value):
        return value

    def new_parser():
        return configparser.RawConfigParser(inline_comment_prefixes=(';', '#'))

_HERE = os.path.dirname(os.path.abspath(__file__))
INI = os.path.join(_HERE, os.pardir, 'data', 'controller.ini')
LOG = os.path.join(_HERE, os.pardir, 'log', 'zavsmctl.log')
LOG_MAX = 1048576          # bytes before log rotates into log.1
BACKENDS = ('sim', 'redfish', 'ipmi')

STATUS = (
    (200, 'success'),
    (401, 'authentication refused (wrong user or password; Redfish: a login refused earlier and held back)'),
    (403, 'the account may not read this resource (IPMI: the privilege level is not granted)'),
    (404, 'Redfish: the log service or its entries not found (also: auto found no SEL or event log)'),
    (408, 'one request or command took longer than timeout'),
    (500, 'controller.ini or the password file refused or invalid'),
    (502, 'an answer that is not understood: an HTTP error other than 401/403/404, a body that is not '
          'the expected JSON, tool output of an unexpected form, no valid clock'),
    (503, 'no connection: refused, name not resolvable, no route, TLS failure, no in-band IPMI device, '
          'the reading tool missing'),
    (504, 'the whole call took longer than deadline'),
)
# An entry no mapping can place: recorded, reported only where the definition file names this pair.
UNPLACED = (0x7F, 0xFFFF)


class Failure(Exception):
    def __init__(self, status, reason, http=None):
        Exception.__init__(self, reason)
        self.status = status
        self.reason = reason
        self.http = http                                 # the controller's own HTTP status, if any


def placed(klass, code):
    """The class and code the service takes (1..127, 1..65535), else UNPLACED."""
    if isinstance(klass, int) and isinstance(code, int) and 1 <= klass <= 127 and 1 <= code <= 65535:
        return klass, code
    return UNPLACED


def time_text(t):
    """A datetime as the service's UTC text 'YYYY-MM-DDThh:mm:ss'."""
    return native('%04d-%02d-%02dT%02d:%02d:%02d' % (t.year, t.month, t.day, t.hour, t.minute, t.second))


def epoch_text(seconds):
    return time_text(datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds))


def first_line(e):
    text = str(e) or type(e).__name__
    return text.splitlines()[0] if text.splitlines() else text


# -- controller.ini and the files it names ------------------------------------
def check_file(path, secret):
    """Refuses a file that a user other than root or this process's user may
    write (or, when secret, read), or whose folder such a user may change."""
    me = os.geteuid()
    for place, folder in ((path, False), (os.path.dirname(os.path.abspath(path)), True)):
        try:
            st = os.stat(place)
        except OSError as e:
            raise Failure(500, '%s: %s' % (place, e.strerror))
        if st.st_uid not in (0, me):
            raise Failure(500, '%s is owned by uid %d, not root' % (place, st.st_uid))
        if folder:
            if st.st_mode & 0o022 and not st.st_mode & stat.S_ISVTX:
                raise Failure(500, 'folder %s may be changed by other users (chmod go-w)' % place)
        elif st.st_mode & (0o077 if secret else 0o022):
            raise Failure(500, '%s may be %s by other users (chmod %s)' % (
                place, 'read or written' if secret else 'written', 'go-rwx' if secret else 'go-w'))


def read_secret(path):
    """The first line of a password file that only root may read."""
    check_file(path, secret=True)
    try:
        with open(path, 'rb') as f:
            return f.read().decode('utf-8').rstrip('\r\n')
    except (IOError, OSError, UnicodeDecodeError) as e:
        raise Failure(500, 'password file %s unreadable: %s' % (path, getattr(e, 'strerror', e)))


def file_signature(path):
    try:
        st = os.stat(path)
        return (st.st_mtime, st.st_size, st.st_ino)
    except OSError:
        return None


def read_ini(path):
    """(backend, get): get(key, section) is the stripped value or None.
    Raises Failure when the file is refused or names no known backend."""
    check_file(path, secret=False)
    parser = new_parser()
    try:
        if not parser.read(path):
            raise Failure(500, '%s cannot be read' % path)
    except configparser.Error as e:
        raise Failure(500, '%s: %s' % (path, str(e).splitlines()[0]))

    def get(key, section):
        try:
            value = parser.get(section, key).strip()
        except (configparser.NoSectionError, configparser.NoOptionError):
            return None
        return '' if value[:1] in (';', '#') else value  # an empty value before a comment, as Python 2 reads it
    backend = (get('backend', 'controller') or 'sim').lower()
    if backend not in BACKENDS:
        raise Failure(500, 'backend = %r: %s' % (backend, ' or '.join(BACKENDS)))
    return backend, get


def seconds(get, key, default):
    """A time-out setting: seconds, more than 0 and at most 3600."""
    text = get(key)
    try:
        value = float(text) if text else float(default)
    except ValueError:
        value = -1
    if not 0 < value <= 3600:
        raise Failure(500, '%s = %r: seconds, more than 0 and at most 3600' % (key, text))
    return value


def choice(get, key, default, allowed):
    value = (get(key) or default).lower()
    if value not in allowed:
        raise Failure(500, '%s = %r: %s' % (key, value, ' or '.join(allowed)))
    return value


# -- reason lines ----------------------------------------------------------------
_last_error = ''


def note(level, text):
    """One reason or milestone line: syslog and log/zavsmctl.log."""
    global _last_error
    if level == 'error':
        _last_error = text
    try:
        syslog.syslog(syslog.LOG_DAEMON | {'error': syslog.LOG_ERR, 'warning': syslog.LOG_WARNING}.get(
            level, syslog.LOG_INFO), 'zavsmsrv controller: ' + text)
    except Exception:                                    # noqa: BLE001 (no syslog: the file still has it)
        pass
    try:
        if os.path.getsize(LOG) > LOG_MAX:
            os.rename(LOG, LOG + '.1')
    except OSError:
        pass
    try:
        with open(LOG, 'a') as f:
            f.write('%s %s %s\n' % (time.strftime('%Y-%m-%d %H:%M:%S'), level, text))
    except (IOError, OSError):
        pass


def last_error():
    return _last_error


def clear_error():
    global _last_error
    _last_error = ''


# -- the deadline of one call -------------------------------------------------------
class Deadline(object):
    """One get_datetime or get_iml call is bounded as a whole."""

    def __init__(self, limit):
        self.limit, self.until = limit, 0

    def start(self):
        self.until = time.time() + self.limit

    def left(self, doing):
        """Seconds left; Failure 504 when none."""
        left = self.until - time.time()
        if left <= 0:
            raise Failure(504, 'deadline of %gs reached before %s' % (self.limit, doing))
        return left

    def run(self, work, empty, log, on_crash=None):
        """(200, work()) or (the failure's status, empty), its reason logged."""
        self.start()
        try:
            return 200, work()
        except Failure as e:
            log('error', e.reason)
            return e.status, empty
        except Exception as e:                           # noqa: BLE001 (a bug must not stop polling)
            if on_crash is not None:
                on_crash()
            log('error', 'unexpected %s: %s' % (type(e).__name__, first_line(e)))
            return 502, empty
