# -*- coding: utf-8 -*-
"""IPMI backend of the controller module zavsmsrv.py (Python 2.7 and 3,
standard library only; what the backends share is in zavcommon.py).

It reads the controller's System Event Log (SEL) with FreeIPMI's tools, in
band through the kernel's IPMI device (no credentials) or over the LAN, each
tool a child process killed past timeout. zavsmsrv.py keeps one Controller
for the life of the process, so the SEL read so far stays in memory: a poll
with nothing added or erased runs one tool and reads no record; a poll with
new records reads from the newest known one on. Settings, the password and
the tools' own time-outs go to the tools in a private 0600 configuration
file that lives only as long as the run; the password never enters a
command line, an environment, a log line or a reason.
"""
import os
import re
import signal
import subprocess
import tempfile
import threading
import time

from zavcommon import UNPLACED, Deadline, Failure, choice, epoch_text, native, placed, read_secret, \
    seconds, text_type

PRE_INIT = 0x20000000      # SEL stamps below this count from the controller's start, not 1970
RANGE_END = 65534          # the highest record ID the tools accept in a range
FULL_PERCENT = 80
RECORD_SIZE = 16
SEVERITIES = {'Nominal': 'OK', 'Warning': 'Warning', 'Critical': 'Critical', 'N/A': ''}
_ENV = {'PATH': '/usr/sbin:/usr/bin:/sbin:/bin', 'LC_ALL': 'C'}  # no HOME: no cache in a home folder
_BYTE = re.compile(r'\[([0-9A-Fa-f]{2})\]')
# The tool's complaints by what they mean; anything else is output not understood.
_COMPLAINTS = (
    (401, ('password', 'username', 'k_g', 'authentication')),
    (403, ('privilege',)),
    (503, ('connection timeout', 'session timeout', 'inband device', 'device not found', 'hostname',
           'connection refused', 'no route', 'network unreachable', 'system error')),
)


# -- the pure part: tool output to records, records to entries --------------------
def parse_hex_dump(text):
    """[(record ID, 16 record bytes)] in the SEL's order from ipmi-sel --hex-dump."""
    out = []
    for line in text.splitlines():
        if not line.strip():
            continue
        record = bytearray(int(b, 16) for b in _BYTE.findall(line))
        if len(record) != RECORD_SIZE:
            raise Failure(502, 'ipmi-sel printed a record not understood: %r' % line[:120])
        out.append((record[0] | record[1] << 8, bytes(record)))
    return out


def parse_events(text):
    """{record ID: (sensor name, event state, event text)} from the comma-separated
    output with the event state. Names and event texts may hold commas; the
    state is the first field after the date, time, name and type that is one."""
    out = {}
    for line in text.splitlines():
        if not line.strip():
            continue
        fields = line.split(',')
        states = [i for i in range(5, len(fields)) if fields[i] in SEVERITIES]
        if not fields[0].strip().isdigit() or not states:
            raise Failure(502, 'ipmi-sel printed a line not understood: %r' % line[:120])
        i = states[0]
        out[int(fields[0])] = (','.join(fields[3:i - 1]), fields[i], ','.join(fields[i + 1:]))
    return out


def parse_raw(text, command, size):
    """The data bytes of an ipmi-raw answer ("rcvd: <command> <completion code> <data>...")."""
    m = re.search(r'rcvd:((?:\s+[0-9A-Fa-f]{2})+)', text)
    data = bytearray(int(b, 16) for b in m.group(1).split()) if m else bytearray()
    if len(data) < 2 or data[0] != command:
        raise Failure(502, 'ipmi-raw printed an answer not understood: %r' % text.strip()[:120])
    if data[1] != 0:
        raise Failure(502, 'the controller answered command 0x%02X with completion code 0x%02X' % (command, data[1]))
    if len(data) < 2 + size:
        raise Failure(502, 'the answer to command 0x%02X is %d bytes short' % (command, 2 + size - len(data)))
    return data[2:]


def _word(data, at, size):
    return sum(data[at + i] << (8 * i) for i in range(size))


def real_stamp(stamp):
    """A SEL time stamp counting from 1970, or None (pre-init, unspecified)."""
    return stamp if stamp is not None and PRE_INIT <= stamp < 0xFFFFFFFF else None


def stamp_text(stamp, clock):
    """A real SEL stamp as UTC text; clock 'local': the controller counts in the host's zone."""
    if clock == 'local':
        stamp = int(time.mktime(time.gmtime(stamp)[:8] + (-1,)))
    return epoch_text(stamp)


def record_stamp(record):
    """System event and timestamped OEM records carry a stamp; others none."""
    record = bytearray(record)
    return _word(record, 3, 4) if record[2] == 0x02 or 0xC0 <= record[2] <= 0xDF else None


def class_code(record):
    """Sensor type; event/reading type << 8 | offset, direction bit cleared. UNPLACED
    for OEM records, OEM or reserved sensor types and type 0 with offset 0."""
    record = bytearray(record)
    if record[2] != 0x02:
        return UNPLACED
    return placed(record[10], (record[12] & 0x7F) << 8 | record[13] & 0x0F)


def _wide(value):
    return value if isinstance(value, text_type) else value.decode('utf-8', 'replace')


def map_records(records, events, clock, erase_stamp=None):
    """The entries the service reads, in the SEL's order. A record without a real
    time takes the nearest earlier record's, else the last erase time when real."""
    erase = real_stamp(erase_stamp)
    last = stamp_text(erase, clock) if erase else None
    out = []
    for number, record in records:
        stamp = real_stamp(record_stamp(record))
        if stamp:
            last = stamp_text(stamp, clock)
        name, state, event = events.get(number, (u'', u'', u''))
        name = _wide(name).strip()
        klass, code = class_code(record)
        entry = {'EventNumber': number, 'Class': klass, 'Code': code,
                 'Repaired': 1 if bytearray(record)[2] == 0x02 and bytearray(record)[12] & 0x80 else 0,
                 'Severity': native(SEVERITIES.get(state, '')),
                 'Message': (name + u' ' if name and name != u'N/A' else u'') + _wide(event).strip(),
                 'RecommendedAction': u''}
        if last:
            entry['Created'] = entry['Updated'] = last
        out.append(entry)
    return out


class Info(object):
    """What Get SEL Info says: the count, the last add and erase stamps, the fill."""

    def __init__(self, data):
        self.count, free = _word(data, 1, 2), _word(data, 3, 2)
        self.added, self.erased = _word(data, 5, 4), _word(data, 9, 4)
        self.overflow = bool(data[13] & 0x80)
        used = self.count * RECORD_SIZE
        self.percent = 100 * used // (used + free) if used + free else 100

    def key(self):
        return (self.count, self.added, self.erased)


# -- settings and the tools ---------------------------------------------------------
class Settings(object):
    """The [ipmi] section of controller.ini."""

    def __init__(self, get):
        self.driver = choice(get, 'driver', 'inband', ('inband', 'lan'))
        self.host = get('host') or ''
        self.username = get('username') or ''
        self.password_file = get('password_file') or ''
        self.privilege = choice(get, 'privilege', 'operator', ('user', 'operator', 'admin'))
        self.clock = choice(get, 'clock', 'utc', ('utc', 'local'))
        self.ipmi_sel = get('ipmi_sel') or '/usr/sbin/ipmi-sel'
        self.workaround_flags = (get('workaround_flags') or '').replace(',', ' ').split()
        self.timeout = seconds(get, 'timeout', 10)
        self.deadline = seconds(get, 'deadline', 30)
        if not os.path.isabs(self.ipmi_sel):
            raise Failure(500, 'ipmi_sel = %r: give the absolute path of the tool' % self.ipmi_sel)
        if not all(re.match(r'^[a-z0-9]+$', w) for w in self.workaround_flags):
            raise Failure(500, 'workaround_flags = %r: names separated by blanks or commas' % get('workaround_flags'))
        if self.driver == 'lan':
            if not re.match(r'^(\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9.:-]+)$', self.host):
                raise Failure(500, 'host = %r: a host name or address, optionally :port' % self.host)
            if not self.username or not self.password_file:
                raise Failure(500, 'driver = lan needs username and password_file')
        self.cache = (os.environ.get('CACHE_DIRECTORY') or '').split(':')[0] or os.path.join(
            os.path.dirname(os.path.abspath(__file__)), os.pardir, 'data', 'ipmi-cache')


def _run(argv, limit):
    """(exit status, output, errors) of one child, killed past limit with all it
    started (then None): a helper holding the pipes must not hold the call."""
    try:
        child = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 close_fds=True, env=_ENV, preexec_fn=os.setpgrp)
    except OSError as e:
        raise Failure(503, '%s cannot be run: %s (Debian package freeipmi-tools)' % (argv[0], e.strerror))
    box = []
    reader = threading.Thread(target=lambda: box.append(child.communicate()))
    reader.daemon = True
    reader.start()
    reader.join(limit)
    if reader.is_alive():
        try:
            os.killpg(child.pid, signal.SIGKILL)
        except OSError:
            pass
        reader.join()
        return None, b'', b''
    return child.returncode, box[0][0], box[0][1]


class Controller(object):
    def __init__(self, settings, log):
        self.s, self.log = settings, log
        self.deadline = Deadline(settings.deadline)
        self.info = None                                 # the Info of the last list
        self.records = []                                # [(record ID, bytes)], the SEL's order
        self.events = {}                                 # record ID: (name, state, event text)
        self.entries = []
        self.full = False
        self.runs = 0                                    # tool runs, for the measurements

    # -- the tools --------------------------------------------------------------
    def _config(self):
        """A private FreeIPMI configuration file; its path. The caller removes it."""
        s, lines = self.s, []
        if s.driver == 'lan':
            password = read_secret(s.password_file)
            if not password or re.search(r'[\s#\\]', password + s.username):
                raise Failure(500, 'the user name or the password in %s is empty or holds a blank, "#" or '
                              '"\\", which the tools\' configuration file cannot carry' % s.password_file)
            session = max(int(s.timeout * 1000) - 500, int(s.timeout * 800))
            lines = ['driver-type LAN_2_0', 'username ' + s.username, 'password ' + password,
                     'privilege-level ' + s.privilege.upper(), 'session-timeout %d' % session,
                     'retransmission-timeout %d' % max(100, min(1000, session // 8))]
        else:
            lines = ['driver-type OPENIPMI']
        if s.workaround_flags:
            lines.append('workaround-flags ' + ' '.join(s.workaround_flags))
        fd, path = tempfile.mkstemp(prefix='.freeipmi-', dir=self._cache())
        with os.fdopen(fd, 'w') as f:
            f.write('\n'.join(lines) + '\n')
        return path

    def _cache(self):
        try:
            if not os.path.isdir(self.s.cache):
                os.makedirs(self.s.cache, 0o700)
        except OSError as e:
            raise Failure(500, 'the SDR cache folder %s cannot be made: %s' % (self.s.cache, e.strerror))
        return self.s.cache

    def _tool(self, name, args):
        """The output of one tool run, or the Failure its exit means."""
        tool = self.s.ipmi_sel if name == 'ipmi-sel' else os.path.join(os.path.dirname(self.s.ipmi_sel), name)
        if not os.access(tool, os.X_OK):
            raise Failure(503, '%s is missing or not executable (Debian package freeipmi-tools)' % tool)
        limit = min(self.s.timeout, self.deadline.left(name))
        config = self._config()
        try:
            argv = [tool, '--config-file=' + config] + (['-h', self.s.host] if self.s.driver == 'lan' else [])
            self.runs += 1
            status, out, err = _run(argv + args, limit)
        finally:
            os.unlink(config)
        if status is None:
            if limit < self.s.timeout:
                raise Failure(504, 'deadline of %gs reached during %s' % (self.s.deadline, name))
            raise Failure(408, '%s did not finish within timeout %gs' % (name, self.s.timeout))
        out, err = out.decode('utf-8', 'replace'), err.decode('utf-8', 'replace').strip()
        if status != 0:
            said = (err.splitlines() or ['exit status %d' % status])[-1][:200]
            for code, words in _COMPLAINTS:
                if any(w in said.lower() for w in words):
                    raise Failure(code, '%s: %s' % (name, said))
            raise Failure(502, '%s: %s' % (name, said))
        return out

    def _raw(self, command, size):
        return parse_raw(self._tool('ipmi-raw', ['0', '0x0a', '0x%02x' % command]), command, size)

    def _read(self, first):
        """Records from ID first on, with their texts; the hex dump first, so a
        record added between the two runs is left for the next poll."""
        cache = ['--quiet-cache', '--sdr-cache-directory=' + self._cache()] + (
            ['--display-range=%d-%d' % (first, RANGE_END)] if first else [])
        records = parse_hex_dump(self._tool('ipmi-sel', cache + ['--hex-dump', '--ignore-sdr-cache']))
        events = parse_events(self._tool('ipmi-sel', cache + [
            '--comma-separated-output', '--no-header-output', '--output-event-state'])) if records else {}
        lost = [n for n, _ in records if n not in events]
        if lost:
            raise Failure(502, 'the SEL changed during the read (record %d gone); read again at the next poll'
                          % lost[0])
        return records, events

    # -- the incremental rules -----------------------------------------------------------
    def _watch_fill(self, info):
        full = info.percent >= FULL_PERCENT or info.overflow
        if full != self.full:
            self.full = full
            self.log('warning', 'the SEL is %d%% full (%d records)%s' % (
                info.percent, info.count, ', new events are being lost' if info.overflow else '') if full else
                'the SEL is below %d%% full again (%d%%, %d records)' % (FULL_PERCENT, info.percent, info.count))

    def _newer(self, info):
        """The records read after the known ones, or None when the known ones are gone."""
        if self.info is None or not self.records or info.erased != self.info.erased or info.count < self.info.count:
            return None
        anchor = self.records[-1]
        records, events = self._read(anchor[0])
        if not records or records[0] != anchor or len(self.records) + len(records) - 1 != info.count:
            return None
        self.events.update(events)
        return self.records + records[1:]

    def _iml(self):
        info = Info(self._raw(0x40, 14))
        self._watch_fill(info)
        if self.info is not None and info.key() == self.info.key():
            return self.entries
        records = self._newer(info)
        if records is None:
            if self.info is not None:
                self.log('info', 'the SEL was cleared or rewritten: read whole again (%d records)' % info.count)
            records, self.events = self._read(None) if info.count else ([], {})
        self.records, self.info = records, info
        self.entries = map_records(records, self.events, self.s.clock, info.erased)
        return self.entries

    def _clock(self):
        stamp = _word(self._raw(0x48, 4), 0, 4)
        if not real_stamp(stamp):
            raise Failure(502, 'the controller\'s SEL clock is not set (pre-init, %d s since its start)' % stamp)
        return stamp_text(stamp, self.s.clock)

    # -- the two calls --------------------------------------------------------------
    def get_datetime(self):
        return self.deadline.run(self._clock, native(''), self.log)

    def get_iml(self):
        return self.deadline.run(self._iml, [], self.log)

    def close_session(self):
        """No session outlives a tool run."""
